#include "core/event_line.h"

#include <cstring>

namespace {

constexpr uint64_t kMsPerDay = 86400000;
// 10000-01-01T00:00:00.000Z less one millisecond.
constexpr uint64_t kLastWritableMs = 253402300799999;

// The longest line each part can make, to show that a heard line with all
// 255 raw bytes fits: TIME, IID ("2147483647"), SERIAL, and the fs20 fields,
// the longest of any kind.
constexpr size_t kTimeChars = 24;
constexpr size_t kIidChars = 10;
constexpr size_t kLongestName = sizeof "on-last-for-timer-then-previous" - 1;
constexpr size_t kFs20FieldChars = sizeof " kind=fs20 hc=12345678 addr=1234 cmd=FF name=" - 1 +
                                   kLongestName + sizeof " ext=FF timer=15360" - 1;
constexpr size_t kLongestHeard = kTimeChars + 1 + kIidChars + 1 + kEventSerialMax +
                                 sizeof " heard" - 1 + kFs20FieldChars + sizeof " raw=" - 1 +
                                 2 * kTelegramMaxBytes + 2;
static_assert(kLongestHeard <= kEventLineMax, "a heard frame of 255 bytes must fit one line");

// Appends to the caller's buffer, keeping room for CR LF and the NUL. Once
// something did not fit, everything after is refused and the line fails as a
// whole rather than going out cut in the middle of a field.
struct Writer {
  char* out;
  size_t cap;  // characters available before CR LF NUL
  size_t len;
  bool failed;
};

Writer Begin(char* out, size_t size) {
  if (size > kEventLineBufferSize) size = kEventLineBufferSize;
  Writer w{out, 0, 0, out == nullptr || size < 3};
  if (!w.failed) w.cap = size - 3;
  return w;
}

size_t Room(const Writer& w) { return w.failed ? 0 : w.cap - w.len; }

void PutN(Writer& w, const char* s, size_t n) {
  if (w.failed) return;
  if (n > Room(w)) {
    w.failed = true;
    return;
  }
  std::memcpy(w.out + w.len, s, n);
  w.len += n;
}

void Put(Writer& w, const char* s) { PutN(w, s, std::strlen(s)); }

void PutChar(Writer& w, char c) { PutN(w, &c, 1); }

void PutHex(Writer& w, uint8_t b) {
  static const char kDigits[] = "0123456789ABCDEF";
  char two[2] = {kDigits[b >> 4], kDigits[b & 0x0F]};
  PutN(w, two, 2);
}

void PutDecimal(Writer& w, uint64_t v) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  char text[20];
  for (size_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  PutN(w, text, n);
}

void PutNotation(Writer& w, uint8_t b) {
  uint16_t digits = ByteToNotation(b);
  char four[4];
  for (int i = 3; i >= 0; --i) {
    four[i] = static_cast<char>('0' + digits % 10);
    digits = static_cast<uint16_t>(digits / 10);
  }
  PutN(w, four, 4);
}

// " name=" before a field's value.
void Field(Writer& w, const char* name) {
  PutChar(w, ' ');
  Put(w, name);
  PutChar(w, '=');
}

void PutSerial(Writer& w, const char* serial) {
  if (serial == nullptr || serial[0] == '\0') {
    PutChar(w, '-');
    return;
  }
  for (size_t i = 0; i < kEventSerialMax && serial[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(serial[i]);
    PutChar(w, c >= 0x21 && c <= 0x7E ? static_cast<char>(c) : '?');
  }
}

void PutInstance(Writer& w, int32_t iid) {
  if (iid < 0) {
    PutChar(w, '-');
  } else {
    PutDecimal(w, static_cast<uint64_t>(iid));
  }
}

void PutPrefix(Writer& w, uint64_t timeMs, int32_t iid, const char* serial, const char* word) {
  char time[25];
  FormatEventTime(timeMs, time);
  PutN(w, time, kTimeChars);
  PutChar(w, ' ');
  PutInstance(w, iid);
  PutChar(w, ' ');
  PutSerial(w, serial);
  PutChar(w, ' ');
  Put(w, word);
}

// Seconds from 0.25 s units, without trailing zeros: 240 -> "60", 1 -> "0.25".
void PutQuarters(Writer& w, uint32_t quarters) {
  static const char* const kFractions[4] = {"", ".25", ".5", ".75"};
  PutDecimal(w, quarters / 4);
  Put(w, kFractions[quarters % 4]);
}

void PutFs20(Writer& w, const Fs20Fields& f) {
  Field(w, "hc");
  PutNotation(w, f.houseCode[0]);
  PutNotation(w, f.houseCode[1]);
  Field(w, "addr");
  PutNotation(w, f.address);
  Field(w, "cmd");
  PutHex(w, f.command);
  Field(w, "name");
  Put(w, Fs20CommandName(f.command));
  if (f.hasExtension) {
    Field(w, "ext");
    PutHex(w, f.extension);
    if (f.timerQuarters != 0) {
      Field(w, "timer");
      PutQuarters(w, f.timerQuarters);
    }
  }
}

// Last field of heard and sent lines. Cut only when the buffer is smaller
// than a full line's: whole bytes, then "...".
void PutRaw(Writer& w, const uint8_t* bytes, size_t n) {
  Field(w, "raw");
  if (w.failed) return;
  size_t room = Room(w);
  bool cut = 2 * n > room;
  if (cut) {
    if (room < 3) {
      w.failed = true;
      return;
    }
    n = (room - 3) / 2;
  }
  for (size_t i = 0; i < n; ++i) PutHex(w, bytes[i]);
  if (cut) Put(w, "...");
}

size_t Finish(Writer& w, size_t size) {
  if (w.failed) {
    if (w.out != nullptr && size > 0) w.out[0] = '\0';
    return 0;
  }
  w.out[w.len++] = '\r';
  w.out[w.len++] = '\n';
  w.out[w.len] = '\0';
  return w.len;
}

size_t PlainLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                 const char* word) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, word);
  return Finish(w, size);
}

const char* KindToken(TelegramKind kind) {
  switch (kind) {
    case kTelegramSwitch: return "fs20";
    case kTelegramHeating: return "fht";
    case kTelegramSensor: return "hms";
    case kTelegramWeather: return "weather";
    case kTelegramAnswer: return "answer";
    case kTelegramBadCheck: return "badcheck";
    default: return "unknown";
  }
}

const char* SensorToken(HmsSensor sensor) {
  static const char* const kTokens[] = {"temp-hum", "temp", "water", "smoke", "door",
                                        "gas",      "co",   "fire",  "other"};
  return sensor <= kHmsOther ? kTokens[sensor] : "other";
}

const char* BatteryToken(HmsBattery battery) {
  switch (battery) {
    case kHmsBatteryLow: return "low";
    case kHmsBatteryNew: return "new";
    default: return "ok";
  }
}

}  // namespace

void FormatEventTime(uint64_t timeMs, char out[25]) {
  if (timeMs > kLastWritableMs) timeMs = kLastWritableMs;
  uint64_t days = timeMs / kMsPerDay;
  uint64_t msOfDay = timeMs % kMsPerDay;

  // Civil date from days since 1970-01-01, counting in 400-year eras that
  // start on 0000-03-01: with March first, the leap day is the era year's
  // last day, and month lengths repeat in a 153-day pattern of five months.
  uint64_t z = days + 719468;  // days since 0000-03-01
  uint64_t era = z / 146097;
  uint64_t dayOfEra = z - era * 146097;
  uint64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  uint64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  uint64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  uint64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  uint64_t fields[7] = {year,
                        month,
                        day,
                        msOfDay / 3600000,
                        msOfDay / 60000 % 60,
                        msOfDay / 1000 % 60,
                        msOfDay % 1000};
  static const uint8_t kWidths[7] = {4, 2, 2, 2, 2, 2, 3};
  static const char kAfter[7] = {'-', '-', 'T', ':', ':', '.', 'Z'};
  size_t at = 0;
  for (int f = 0; f < 7; ++f) {
    for (int i = kWidths[f] - 1; i >= 0; --i) {
      out[at + i] = static_cast<char>('0' + fields[f] % 10);
      fields[f] /= 10;
    }
    at += kWidths[f];
    out[at++] = kAfter[f];
  }
  out[at] = '\0';
}

size_t FormatHeardLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                       const Telegram& t) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "heard");
  Field(w, "kind");
  Put(w, KindToken(t.kind));
  switch (t.kind) {
    case kTelegramSwitch:
      PutFs20(w, t.fs20);
      break;
    case kTelegramHeating:
      Field(w, "code");
      PutHex(w, t.fht.code[0]);
      PutHex(w, t.fht.code[1]);
      Field(w, "reg");
      PutHex(w, t.fht.reg);
      Field(w, "status");
      PutHex(w, t.fht.status);
      Field(w, "value");
      PutHex(w, t.fht.value);
      break;
    case kTelegramSensor:
      Field(w, "id");
      PutHex(w, t.hms.id[0]);
      PutHex(w, t.hms.id[1]);
      Field(w, "sensor");
      Put(w, SensorToken(t.hms.sensor));
      Field(w, "type");
      PutChar(w, "0123456789ABCDEF"[t.hms.typeByte & 0x0F]);
      Field(w, "battery");
      Put(w, BatteryToken(t.hms.battery));
      Field(w, "value");
      for (uint8_t v : t.hms.values) PutHex(w, v);
      break;
    case kTelegramAnswer:
      if (t.answer.hasCode) {
        Field(w, "code");
        PutHex(w, t.answer.code);
      }
      break;
    default:
      break;
  }
  PutRaw(w, t.raw, t.rawLength);
  return Finish(w, size);
}

size_t FormatSentLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                      const Frame& frame) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "sent");
  Fs20Fields f;
  if (DecodeSendFrame(frame.bytes, frame.length, f)) PutFs20(w, f);
  PutRaw(w, frame.bytes, frame.length);
  return Finish(w, size);
}

size_t FormatPluggedLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial) {
  return PlainLine(out, size, timeMs, iid, serial, "plugged");
}

size_t FormatPresentLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial) {
  return PlainLine(out, size, timeMs, iid, serial, "present");
}

size_t FormatAliveLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial) {
  return PlainLine(out, size, timeMs, iid, serial, "alive");
}

size_t FormatLostLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                      uint64_t count) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "lost");
  Field(w, "count");
  PutDecimal(w, count);
  return Finish(w, size);
}

size_t FormatFormatLine(char* out, size_t size, uint64_t timeMs) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, kNoInstance, nullptr, "format");
  Put(w, " id=zarvo-events version=1");
  return Finish(w, size);
}

size_t FormatPulledLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                        const EventMove* moved, size_t movedCount) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "pulled");
  Field(w, "moved");
  if (moved == nullptr || movedCount == 0) {
    Put(w, "none");
    return Finish(w, size);
  }
  for (size_t i = 0; i < movedCount && !w.failed; ++i) {
    // Each entry is tried on a scratch line first; it goes in only when the
    // ",..." that may have to follow it still fits after it.
    char entry[kEventSerialMax + 32];
    Writer e = {entry, sizeof entry, 0, false};
    if (i > 0) PutChar(e, ',');
    PutSerial(e, moved[i].serial);
    PutChar(e, ':');
    PutInstance(e, moved[i].from);
    PutChar(e, '>');
    PutInstance(e, moved[i].to);
    size_t reserve = i + 1 < movedCount ? 4 : 0;
    if (e.len + reserve <= Room(w)) {
      PutN(w, entry, e.len);
    } else {
      Put(w, i > 0 ? ",..." : "...");
      break;
    }
  }
  return Finish(w, size);
}
