#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "core/event_line.h"
#include "core/frame.h"
#include "core/state_file.h"
#include "core/state_table.h"
#include "core/tests/framed.h"

namespace {

const uint64_t kT0 = 1796724906544;  // 2026-12-08T10:15:06.544Z

void Append(const char* line, size_t length, void* context) {
  static_cast<std::string*>(context)->append(line, length);
}

std::string Snapshot(const StateTable& table) {
  std::string text;
  StateSnapshot(table, Append, &text);
  return text;
}

StateFileResult Restore(StateTable& table, const std::string& text, uint64_t nowMs) {
  return RestoreStateFile(table, reinterpret_cast<const uint8_t*>(text.data()), text.size(), nowMs);
}

void Send(StateTable& table, uint64_t ms, uint8_t addr, uint8_t cmd, int ext) {
  Frame f;
  PrepareFrame(f, 0);
  BuildSendFrame(f, ext >= 0, 0x1B, 0x00, addr, cmd, static_cast<uint8_t>(ext));
  StateNoteSent(table, ms, "EL000123", f, nullptr, nullptr);
}

void Hear(StateTable& table, uint64_t ms, const Bytes& payload, const char* via) {
  Bytes frame = Framed(0x04, payload);
  Telegram t;
  DecodeTelegram(frame.data(), frame.size(), t);
  StateNoteHeard(table, ms, via, t, nullptr, nullptr);
}

TEST(StateFile, ASnapshotComesBackRestoredWithItsTimersAndRunOutTimersApplied) {
  std::unique_ptr<StateTable> table(new StateTable());
  Send(*table, kT0, 0x00, 0x11, -1);
  Send(*table, kT0, 0x01, 0x08, -1);
  Send(*table, kT0, 0x01, 0x39, 0x4F);  // 16 now, 0 in 60 s
  Send(*table, kT0, 0x02, 0x3E, 0x4F);  // the last level now, unknown in 60 s
  Hear(*table, kT0, {0x05, 0x10, 0xA0, 0x01, 0x47, 0x3A, 0x00, 0x00, 0x00, 0x12, 0x02, 0x33}, "EL1");
  Hear(*table, kT0, {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34, 0x44, 0x00, 0x69, 0x21}, "EL1");
  Hear(*table, kT0, {0x40, 0x27, 0xA0, 0x01, 0x71, 0x24, 0x00, 0x80, 0x00, 0x93, 0x59}, "E L\x01");
  std::string written = Snapshot(*table);
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 6);
  EXPECT_NE(written.find("via=E?L?"), std::string::npos);

  std::unique_ptr<StateTable> back(new StateTable());
  StateFileResult r = Restore(*back, written, kT0 + 59999);
  EXPECT_EQ(r.restored, 6u);
  EXPECT_EQ(r.bad, 0u);
  EXPECT_EQ(r.timersApplied, 0u);
  std::string restored = Snapshot(*back);
  EXPECT_EQ(restored, std::regex_replace(written, std::regex("by=\\w+"), "by=restored"));
  uint64_t due = 0;
  ASSERT_TRUE(StateNextTimer(*back, due));
  EXPECT_EQ(due, kT0 + 60000);
  EXPECT_EQ(Restore(*back, restored, kT0).bad, 0u);
  EXPECT_EQ(Snapshot(*back), restored) << "reading what was read gives the same";

  // The service was down when both timers ran out: each is applied, learned
  // when it ran out, and stays by=restored.
  r = Restore(*back, written, kT0 + 3600000);
  EXPECT_EQ(r.timersApplied, 2u);
  EXPECT_FALSE(StateNextTimer(*back, due));
  std::string later = Snapshot(*back);
  EXPECT_NE(later.find("2026-12-08T10:16:06.544Z - - state kind=fs20 hc=12341111 addr=1112 level=0 "
                       "pct=0 before=16 by=restored via=EL000123 last=16\r\n"),
            std::string::npos)
      << later;
  EXPECT_NE(later.find("2026-12-08T10:16:06.544Z - - state kind=fs20 hc=12341111 addr=1113 "
                       "level=unknown before=16 by=restored via=EL000123 last=16\r\n"),
            std::string::npos)
      << later;
}

const std::string kFs20 =
    "2026-12-08T10:15:06.544Z - - state kind=fs20 hc=12341111 addr=1111 level=16 pct=100 before=0 "
    "by=sent via=EL000123 last=16";
const std::string kHms =
    "2026-12-08T10:15:06.544Z - - state kind=hms id=473A sensor=temp-hum type=0 battery=ok "
    "temp=21.2 hum=33.0 by=heard via=EL000777";
const std::string kWeather =
    "2026-12-08T10:15:06.544Z - - state kind=weather temp=21.2 hum=37 wind=0.0 rain=0.0 raining=0 "
    "rain-count=0 by=heard via=EL000777";

std::string Swap(const std::string& line, const std::string& from, const std::string& to) {
  size_t at = line.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return line.substr(0, at) + to + line.substr(at + from.size());
}

TEST(StateFile, ADamagedFileCostsOnlyItsBadLines) {
  const std::string kBad[] = {
      "garbage",
      std::string(5000, 'x'),
      std::string(kEventLineMax - 2, 'y'),
      Swap(kFs20, "kind=fs20", "kind=x10"),
      Swap(kFs20, "level=16", "level=17"),
      Swap(kFs20, "pct=100", "pct=99"),
      Swap(kFs20, "last=16", "last=0"),
      Swap(kFs20, "hc=12341111", "hc=12351111"),
      Swap(kFs20, " last=16", ""),
      Swap(kFs20, "last=16", "last=16 until=2026-12-08T10:16:06.544Z"),
      Swap(kFs20, "2026-12-08", "2026-02-29"),
      Swap(kFs20, "by=sent", "by=sent by=sent"),
      Swap(kFs20, "by=sent ", "by=sent  "),
      Swap(kFs20, "via=EL000123", "via=" + std::string(32, 'E')),
      Swap(kFs20, "via=EL000", std::string("via=EL\0", 7)),
      Swap(kFs20, "via=EL000", "via=EL\xC3\xA9"),
      Swap(kFs20, "state", "heard"),
      Swap(kHms, "sensor=temp-hum", "sensor=smoke"),
      Swap(kHms, "temp=21.2", "temp=100.0"),
      Swap(kHms, "temp=21.2", "temp=21"),
      Swap(kWeather, "rain=0.0", "rain=0.1"),
      Swap(kWeather, " raining=0", ""),
      "2026-12-08T10:15:06.544Z - - state kind=fht code=1234 window=open by=heard via=-",
  };
  // Good lines among the bad, an empty line, LF alone, a duplicate key, and
  // a last line cut short.
  std::string text = kFs20 + "\r\n";
  for (const std::string& bad : kBad) {
    StateEntry entry;
    EXPECT_FALSE(ParseStateLine(bad.data(), bad.size(), entry)) << bad;
    text += bad + "\r\n";
  }
  text += "\r\n" + kHms + "\n" + kFs20 + "\r\n" + kWeather + "\r\n" + kHms.substr(0, 60);
  std::unique_ptr<StateTable> table(new StateTable());
  StateFileResult r = Restore(*table, text, kT0);
  EXPECT_EQ(r.restored, 3u);
  EXPECT_EQ(r.bad, std::size(kBad) + 2) << "the duplicate and the line without its end";
  EXPECT_EQ(Snapshot(*table), std::regex_replace(kFs20 + "\r\n" + kHms + "\r\n" + kWeather + "\r\n",
                                                 std::regex("by=\\w+"), "by=restored"));

  // 10 MB of junk before the good lines: bounded time, the good lines kept.
  std::string junk(10 << 20, '\0');
  std::mt19937 random(20);
  for (char& c : junk) c = static_cast<char>(random() % 97 == 0 ? '\n' : random());
  junk += "\n" + kHms + "\r\n" + std::string(3 << 20, 'z') + "\n" + kWeather + "\r\n";
  auto start = std::chrono::steady_clock::now();
  r = Restore(*table, junk, kT0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(r.restored, 2u);
  EXPECT_GT(r.bad, 1000u);
}

TEST(StateFile, TimesReadBackAsTheyWereWritten) {
  char text[25];
  uint64_t back = 0;
  for (uint64_t ms = 0; ms <= 253402300799999; ms += 86400000ull * 997 + 3723004) {
    FormatEventTime(ms, text);
    ASSERT_TRUE(ParseEventTime(text, 24, back)) << text;
    ASSERT_EQ(back, ms) << text;
  }
  for (const char* bad : {"1969-12-31T23:59:59.999Z", "2023-02-29T00:00:00.000Z",
                          "2024-13-01T00:00:00.000Z", "2024-04-31T00:00:00.000Z",
                          "2024-01-01T24:00:00.000Z", "2024-01-01 00:00:00.000Z",
                          "2024-01-01T00:00:00.000"}) {
    EXPECT_FALSE(ParseEventTime(bad, std::strlen(bad), back)) << bad;
  }
  EXPECT_TRUE(ParseEventTime("2000-02-29T00:00:00.000Z", 24, back));
}

}  // namespace
