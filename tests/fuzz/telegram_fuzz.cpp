// Received frames decoded and written as listener lines, from arbitrary
// bytes.
//
// Input: byte 0 the instance number (0xFF for none), byte 1 the length of
// the serial number that follows, the serial number, one byte for the size
// of a second, small line buffer, 8 bytes of time (milliseconds, little
// endian), and the rest the frame. Missing parts are zero.
//
// Invariants: DecodeTelegram refuses only lengths 0 and above 255, keeps the
// bytes it was given, and decodes nothing from a frame that fails the check.
// Every line written into a full buffer is whole: ASCII from 0x20 to 0x7E,
// CR LF at its end and nowhere else, a NUL after, at most 1,024 characters;
// heard and sent lines end with all the frame's bytes in hex. A small buffer
// (exactly sized, so the sanitizers see an overrun) holds either such a line
// or an empty string.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/event_line.h"
#include "core/frame.h"
#include "core/state_file.h"
#include "core/state_table.h"
#include "core/telegram.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckLine(const char* line, size_t n, size_t size) {
  FUZZ_CHECK(n < size);
  FUZZ_CHECK(line[n] == '\0');
  if (n == 0) return;
  FUZZ_CHECK(n <= kEventLineMax && n >= 4);
  FUZZ_CHECK(line[n - 2] == '\r' && line[n - 1] == '\n');
  for (size_t i = 0; i + 2 < n; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    FUZZ_CHECK(c >= 0x20 && c <= 0x7E);
  }
}

void CheckRawEnds(const char* line, size_t n, const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string want = " raw=";
  for (size_t i = 0; i < length; ++i) {
    want += kDigits[bytes[i] >> 4];
    want += kDigits[bytes[i] & 0x0F];
  }
  want += "\r\n";
  FUZZ_CHECK(n >= want.size() && std::memcmp(line + n - want.size(), want.data(), want.size()) == 0);
}

void CheckReadings(const Telegram& t) {
  const HmsReadings& h = t.hms.readings;
  FUZZ_CHECK(!h.hasTemperature || (h.temperatureTenths >= -999 && h.temperatureTenths <= 999));
  FUZZ_CHECK(!h.hasHumidity || h.humidityTenths <= 999);
  FUZZ_CHECK(h.alarm <= 1);
  FUZZ_CHECK(t.fht.valvePercent <= 100);
  const WeatherReadings& w = t.weather.readings;
  FUZZ_CHECK(!w.hasTemperature || (w.temperatureTenths >= -999 && w.temperatureTenths <= 999));
  FUZZ_CHECK(!w.hasHumidity || w.humidity <= 99);
  FUZZ_CHECK(!w.hasWind || w.windTenths <= 1999);
  FUZZ_CHECK(w.rainCount <= 4095 && w.raining <= 1);
}

void CheckStateLine(const char* line, size_t n, void*) {
  CheckLine(line, n, n + 1);
  FUZZ_CHECK(n > 0);
  StateEntry entry;
  FUZZ_CHECK(ParseStateLine(line, n - 2, entry));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  uint8_t iidByte = next();
  int32_t iid = iidByte == 0xFF ? kNoInstance : iidByte;
  size_t serialLength = next();
  if (serialLength > size - at) serialLength = size - at;
  std::string serial(reinterpret_cast<const char*>(data + at), serialLength);
  at += serialLength;
  size_t smallSize = next();
  uint64_t timeMs = 0;
  for (int i = 0; i < 8; ++i) timeMs |= static_cast<uint64_t>(next()) << (8 * i);
  // An exact copy of the frame, so that a read past its end is caught.
  std::vector<uint8_t> frame(data + at, data + size);

  std::unique_ptr<Telegram> t(new Telegram());
  bool decoded = DecodeTelegram(frame.data(), frame.size(), *t);
  FUZZ_CHECK(decoded == (!frame.empty() && frame.size() <= 255));
  if (decoded) {
    FUZZ_CHECK(t->rawLength == frame.size());
    FUZZ_CHECK(std::memcmp(t->raw, frame.data(), frame.size()) == 0);
    FUZZ_CHECK(t->kind <= kTelegramBadCheck);
    bool passes = frame.size() >= 4 && frame[0] == 0x81 && frame[1] == frame.size() - 2 &&
                  frame[3] == FrameChecksum(frame.data(), 4, frame.size());
    FUZZ_CHECK(passes == (t->kind != kTelegramBadCheck));
  }

  CheckReadings(*t);

  char line[kEventLineBufferSize];
  std::vector<char> small(smallSize + 1);
  size_t n = FormatHeardLine(line, sizeof line, timeMs, iid, serial.c_str(), *t);
  CheckLine(line, n, sizeof line);
  FUZZ_CHECK(n > 0);
  CheckRawEnds(line, n, t->raw, t->rawLength);
  n = FormatHeardLine(small.data(), small.size(), timeMs, iid, serial.c_str(), *t);
  CheckLine(small.data(), n, small.size());

  std::unique_ptr<Frame> sent(new Frame());
  PrepareFrame(*sent, 0);
  size_t sentLength = frame.size() > 255 ? 255 : frame.size();
  if (sentLength > 0) std::memcpy(sent->bytes, frame.data(), sentLength);
  sent->length = static_cast<uint8_t>(sentLength);
  n = FormatSentLine(line, sizeof line, timeMs, iid, serial.c_str(), *sent);
  CheckLine(line, n, sizeof line);
  FUZZ_CHECK(n > 0);
  CheckRawEnds(line, n, sent->bytes, sent->length);

  static StateTable* table = new StateTable();
  StateTableClear(*table);
  StateNoteSent(*table, timeMs, serial.c_str(), *sent, CheckStateLine, nullptr);
  StateNoteHeard(*table, timeMs, serial.c_str(), *t, CheckStateLine, nullptr);
  StateNoteHeard(*table, timeMs + 300, serial.c_str(), *t, CheckStateLine, nullptr);
  StateFireTimers(*table, UINT64_MAX, CheckStateLine, nullptr);
  StateSnapshot(*table, CheckStateLine, nullptr);

  // The serial number, cut at commas, as the transceivers that moved down.
  std::vector<std::string> parts(1);
  for (char c : serial) {
    if (c == ',') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  std::vector<EventMove> moves;
  for (size_t i = 0; i < parts.size(); ++i) {
    moves.push_back({parts[i].c_str(), static_cast<int32_t>(i) - 1, static_cast<int32_t>(i) - 2});
  }
  n = FormatPulledLine(line, sizeof line, timeMs, iid, serial.c_str(), moves.data(), moves.size());
  CheckLine(line, n, sizeof line);
  FUZZ_CHECK(n > 0);
  n = FormatPulledLine(small.data(), small.size(), timeMs, iid, serial.c_str(), moves.data(),
                       moves.size());
  CheckLine(small.data(), n, small.size());

  n = FormatLostLine(line, sizeof line, timeMs, iid, serial.c_str(), timeMs);
  CheckLine(line, n, sizeof line);
  FUZZ_CHECK(n > 0);
  n = FormatFormatLine(small.data(), small.size(), timeMs);
  CheckLine(small.data(), n, small.size());
  return 0;
}
