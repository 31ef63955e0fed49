#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/event_line.h"
#include "core/frame.h"
#include "core/fs20_level.h"
#include "core/state_table.h"
#include "core/telegram.h"
#include "core/tests/framed.h"

namespace {

const uint64_t kT0 = 1796724906544;  // 2026-12-08T10:15:06.544Z
const uint8_t U = kLevelUnknown;

struct Table {
  std::unique_ptr<StateTable> table{new StateTable()};
  std::vector<std::string> lines;

  static void Sink(const char* line, size_t length, void* context) {
    EXPECT_EQ(line[length], '\0');
    static_cast<Table*>(context)->lines.emplace_back(line, length);
  }
  bool Send(uint64_t ms, uint8_t addr, uint8_t cmd, int ext = -1, const char* via = "EL000123") {
    Frame f;
    PrepareFrame(f, 0);
    BuildSendFrame(f, ext >= 0, 0x1B, 0x00, addr, cmd, static_cast<uint8_t>(ext));
    return StateNoteSent(*table, ms, via, f, Sink, this);
  }
  bool Hear(uint64_t ms, const Bytes& payload, const char* via = "EL000777") {
    Bytes frame = Framed(0x04, payload);
    Telegram t;
    DecodeTelegram(frame.data(), frame.size(), t);
    return StateNoteHeard(*table, ms, via, t, Sink, this);
  }
  bool HearSwitch(uint64_t ms, uint8_t addr, uint8_t cmd, const char* via = "EL000777") {
    return Hear(ms, {0x01, 0x01, 0xA0, 0x01, 0x1B, 0x00, addr, 0x00, cmd}, via);
  }
  std::string Last() const { return lines.empty() ? "" : lines.back(); }
  size_t Fire(uint64_t ms) { return StateFireTimers(*table, ms, Sink, this); }
};

std::string Field(const std::string& line, const std::string& name) {
  size_t at = line.find(" " + name + "=");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return line.substr(at, line.find_first_of(" \r", at) - at);
}

// Every command byte, from off (last level 7), from 5 and from unknown, with
// a 60 s extension byte; the flag bits change nothing.
TEST(Fs20Level, EveryCommandByteFromOffFromALevelAndFromUnknown) {
  struct Row {
    uint8_t cmd;
    uint8_t now[3];
    uint8_t then[3];  // after the timer; U for "no timer" where timed is false
    bool timed;
  };
  const Row kRows[] = {
      {0x00, {0, 0, 0}, {}, false},     {0x11, {7, 5, 16}, {}, false},
      {0x12, {7, 0, U}, {}, false},     {0x13, {1, 6, U}, {}, false},
      {0x14, {0, 4, U}, {}, false},     {0x15, {0, 5, U}, {}, false},
      {0x16, {0, 5, U}, {}, false},     {0x17, {0, 5, U}, {}, false},
      {0x18, {0, 0, 0}, {0, 5, U}, true}, {0x19, {16, 16, 16}, {0, 0, 0}, true},
      {0x1A, {7, 5, 16}, {0, 0, 0}, true}, {0x1B, {U, U, U}, {}, false},
      {0x1C, {0, 5, U}, {}, false},     {0x1D, {0, 5, U}, {}, false},
      {0x1E, {7, 5, 16}, {0, 5, U}, true}, {0x1F, {16, 16, 16}, {0, 5, U}, true},
  };
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  for (uint8_t level = 1; level <= 16; ++level) rows.push_back({level, {level, level, level}, {}, false});
  for (const Row& row : rows) {
    for (uint8_t flags : {0x20, 0x60, 0xA0}) {
      for (int start = 0; start < 3; ++start) {
        Fs20State s;
        InitFs20State(s, 0x1B, 0x00, 0x00);
        if (start == 0) ApplyFs20Command(s, 0x07, 0, 0, kT0), ApplyFs20Command(s, 0x00, 0, 0, kT0);
        if (start == 1) ApplyFs20Command(s, 0x05, 0, 0, kT0);
        uint8_t was = s.level;
        ApplyFs20Command(s, static_cast<uint8_t>(row.cmd | flags), 1, 0x4F, kT0);
        std::string what = "cmd " + std::to_string(row.cmd) + " flags " +
                           std::to_string(flags) + " start " + std::to_string(start);
        EXPECT_EQ(s.level, row.now[start]) << what;
        EXPECT_EQ(s.before, was) << what;
        EXPECT_EQ(s.timerPending, row.timed ? 1 : 0) << what;
        if (row.timed) {
          EXPECT_EQ(s.then, row.then[start]) << what;
          EXPECT_EQ(s.untilMs, kT0 + 60000) << what;
          RunOutFs20Timer(s);
          EXPECT_EQ(s.level, row.then[start]) << what;
        }
      }
    }
  }
  // The edges of dimming, and `on` after a reset.
  Fs20State s;
  InitFs20State(s, 0, 0, 0);
  ApplyFs20Command(s, 0x10, 0, 0, kT0);
  ApplyFs20Command(s, 0x13, 0, 0, kT0);
  EXPECT_EQ(s.level, 16);
  ApplyFs20Command(s, 0x03, 0, 0, kT0);
  ApplyFs20Command(s, 0x1B, 0, 0, kT0);
  ApplyFs20Command(s, 0x11, 0, 0, kT0);
  EXPECT_EQ(s.level, 16);
}

TEST(StateTable, TimersFromTheExtensionByteRunOutAndAreCancelledByALaterCommand) {
  Table t;
  // For-timer commands without an extension byte, or with a low nibble of
  // 0, schedule nothing; a dim level with one sets the level only.
  uint64_t due = 0;
  EXPECT_TRUE(t.Send(kT0, 0x00, 0x19));
  EXPECT_TRUE(t.Send(kT0, 0x01, 0x39, 0x40));
  EXPECT_TRUE(t.Send(kT0, 0x02, 0x28, 0x4F));
  EXPECT_EQ(Field(t.Last(), "level"), "8");
  EXPECT_FALSE(StateNextTimer(*t.table, due));

  const std::pair<uint8_t, uint64_t> kTimers[] = {{0x4F, 60000}, {0xCF, 15360000}, {0xFF, 15360000}};
  for (auto [ext, ms] : kTimers) {
    t.Send(kT0, 0x03, 0x39, ext);
    EXPECT_EQ(t.Last(), "2026-12-08T10:15:06.544Z - - state kind=fs20 hc=12341111 addr=1114 "
                        "level=16 pct=100 before=" + std::string(ext == 0x4F ? "unknown" : "16") +
                        " by=sent via=EL000123 until=" + [&] {
                          char time[25];
                          FormatEventTime(kT0 + ms, time);
                          return std::string(time);
                        }() + " then=0 last=16\r\n");
    ASSERT_TRUE(StateNextTimer(*t.table, due));
    EXPECT_EQ(due, kT0 + ms);
  }
  EXPECT_EQ(t.Fire(due - 1), 0u);
  size_t before = t.lines.size();
  EXPECT_EQ(t.Fire(due + 400), 1u);
  ASSERT_EQ(t.lines.size(), before + 1);
  EXPECT_EQ(Field(t.Last(), "by"), "timer");
  EXPECT_EQ(Field(t.Last(), "level"), "0");
  EXPECT_EQ(Field(t.Last(), "before"), "16");
  EXPECT_EQ(Field(t.Last(), "via"), "EL000123");
  EXPECT_EQ(t.Last().substr(0, 24), [&] {
    char time[25];
    FormatEventTime(due, time);
    return std::string(time);
  }()) << "a timer's change is learned when it ran out";
  EXPECT_FALSE(StateNextTimer(*t.table, due));

  // Two pending, one cancelled by a later command (a repeat of it heard
  // changes nothing, so cancels nothing), the other runs out.
  t.Send(kT0, 0x04, 0x3E, 0x4F);
  t.Send(kT0, 0x05, 0x3E, 0x4F);
  t.Send(kT0 + 1000, 0x05, 0x00);
  EXPECT_EQ(Field(t.Last(), "until"), "");
  EXPECT_EQ(t.Fire(kT0 + 60000), 1u);
  EXPECT_EQ(Field(t.Last(), "addr"), "1121");
  EXPECT_EQ(Field(t.Last(), "level"), "unknown") << "the level before was unknown";
}

TEST(StateTable, RepeatsAndOurOwnCommandsHeardBackChangeTheStateOnce) {
  Table t;
  // A toggle held down: copies 150 ms apart fold into the first, however
  // long the chain; one 250 ms after the last is a new press.
  t.Send(kT0, 0x00, 0x00);
  EXPECT_TRUE(t.HearSwitch(kT0 + 1000, 0x00, 0x12));
  EXPECT_FALSE(t.HearSwitch(kT0 + 1150, 0x00, 0x12));
  EXPECT_FALSE(t.HearSwitch(kT0 + 1300, 0x00, 0x12, "EL000888"));  // another transceiver
  EXPECT_EQ(Field(t.Last(), "level"), "16");
  EXPECT_TRUE(t.HearSwitch(kT0 + 1550, 0x00, 0x12));
  EXPECT_EQ(Field(t.Last(), "level"), "0");
  EXPECT_EQ(Field(t.Last(), "by"), "heard");
  EXPECT_EQ(Field(t.Last(), "via"), "EL000777");
  // Another command within 200 ms is no repeat.
  EXPECT_TRUE(t.HearSwitch(kT0 + 1600, 0x00, 0x11));
  EXPECT_EQ(t.lines.size(), 4u);

  // Our own toggle heard back 100 ms later, by any transceiver, is not a
  // second toggle; 600 ms later it is someone's.
  EXPECT_TRUE(t.Send(kT0 + 5000, 0x00, 0x12));
  EXPECT_EQ(Field(t.Last(), "level"), "0");
  EXPECT_FALSE(t.HearSwitch(kT0 + 5100, 0x00, 0x12, "EL000888"));
  EXPECT_TRUE(t.HearSwitch(kT0 + 5600, 0x00, 0x12));
  EXPECT_EQ(Field(t.Last(), "level"), "16");
  // Sent commands always apply, even twice in a row.
  EXPECT_TRUE(t.Send(kT0 + 5700, 0x00, 0x12));
  EXPECT_TRUE(t.Send(kT0 + 5710, 0x00, 0x12));
  // A receiver's answer (0x80) is its own report.
  EXPECT_TRUE(t.HearSwitch(kT0 + 9000, 0x00, 0x80));
  EXPECT_EQ(Field(t.Last(), "by"), "answer");
  EXPECT_EQ(Field(t.Last(), "level"), "0");
}

TEST(StateTable, GroupAddressesAreAddressesOfTheirOwn) {
  Table t;
  t.Send(kT0, 0x03, 0x11);
  for (uint8_t group : {0xF0, 0x0F, 0xFF}) EXPECT_TRUE(t.HearSwitch(kT0 + 1000, group, 0x00));
  EXPECT_EQ(StateEntryCount(*t.table), 4u);
  StateSnapshot(*t.table, Table::Sink, &t);
  std::vector<std::string> levels;
  for (size_t i = 4; i < t.lines.size(); ++i) {
    levels.push_back(Field(t.lines[i], "addr") + "=" + Field(t.lines[i], "level"));
  }
  EXPECT_EQ(levels, (std::vector<std::string>{"1114=16", "1144=0", "4411=0", "4444=0"}));
}

TEST(StateTable, SensorsHeatingAndWeatherFromTheWorkedExamples) {
  Table t;
  EXPECT_TRUE(t.Hear(kT0, {0x05, 0x10, 0xA0, 0x01, 0x47, 0x3A, 0x00, 0x00, 0x00, 0x12, 0x02, 0x33}));
  EXPECT_EQ(t.Last(), "2026-12-08T10:15:06.544Z - - state kind=hms id=473A sensor=temp-hum type=0 "
                      "battery=ok temp=21.2 hum=33.0 by=heard via=EL000777\r\n");
  EXPECT_TRUE(t.Hear(kT0 + 60000, {0x05, 0x10, 0xA0, 0x01, 0x47, 0x3A, 0x00, 0x00, 0x20, 0x18, 0x01, 0x00}));
  EXPECT_EQ(Field(t.Last(), "temp") + " " + Field(t.Last(), "hum") + " " + Field(t.Last(), "battery"),
            "11.8 0.0 low");
  t.Hear(kT0, {0x05, 0x11, 0xA0, 0x01, 0x8E, 0x63, 0x00, 0x00, 0x81, 0x55, 0x00, 0x00});
  EXPECT_EQ(Field(t.Last(), "temp"), "-5.5");
  t.Hear(kT0, {0x02, 0x1E, 0xA0, 0x01, 0x8E, 0x63, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
  EXPECT_EQ(Field(t.Last(), "sensor") + " " + Field(t.Last(), "alarm"), "breaker 1");
  EXPECT_EQ(StateEntryCount(*t.table), 3u) << "sensors are kept by id and type";

  // Heating: the measured temperature waits for its second byte; valve 1
  // is no reading of the entry's; a unit's first telegram makes its entry.
  auto heating = [&](uint64_t ms, uint8_t reg, uint8_t status, uint8_t value) {
    return t.Hear(ms, {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34, reg, 0x00, status, value});
  };
  EXPECT_TRUE(heating(kT0, 0x42, 0x69, 0xD2));
  EXPECT_EQ(Field(t.Last(), "measured"), "");
  size_t lines = t.lines.size();
  EXPECT_FALSE(heating(kT0 + 1000, 0x01, 0xA6, 0x80));
  EXPECT_TRUE(heating(kT0 + 2000, 0x43, 0x69, 0x00));
  EXPECT_EQ(Field(t.Last(), "measured"), "21.0");
  EXPECT_FALSE(heating(kT0 + 3000, 0x43, 0x69, 0x01)) << "a high byte alone joins no old low byte";
  EXPECT_TRUE(heating(kT0 + 4000, 0x00, 0xA6, 0x80));
  EXPECT_TRUE(heating(kT0 + 5000, 0x41, 0x69, 0x2A));
  EXPECT_TRUE(heating(kT0 + 6000, 0x3E, 0x69, 0x01));
  EXPECT_TRUE(heating(kT0 + 7000, 0x44, 0x69, 0x21));
  EXPECT_EQ(t.lines.size(), lines + 5);
  EXPECT_EQ(t.Last(), "2026-12-08T10:15:13.544Z - - state kind=fht code=1234 measured=21.0 "
                      "desired=21.0 valve=50 mode=manual window=open battery=low cold=0 "
                      "window-sensor=ok by=heard via=EL000777\r\n");

  // Weather, by the transceiver that heard it.
  const Bytes kStation = {0x40, 0x27, 0xA0, 0x01};
  Bytes first = kStation, second = kStation;
  first.insert(first.end(), {0x71, 0x21, 0x27, 0x30, 0x00, 0x00, 0x08});
  second.insert(second.end(), {0x71, 0x24, 0x00, 0x80, 0x00, 0x93, 0x59});
  EXPECT_TRUE(t.Hear(kT0, first));
  EXPECT_EQ(t.Last(), "2026-12-08T10:15:06.544Z - - state kind=weather temp=21.2 hum=37 wind=0.0 "
                      "rain=0.0 raining=0 rain-count=0 by=heard via=EL000777\r\n");
  EXPECT_FALSE(t.Hear(kT0 + 100, first));
  EXPECT_TRUE(t.Hear(kT0 + 100, first, "EL000888"));
  EXPECT_TRUE(t.Hear(kT0 + 150000, second));
  EXPECT_EQ(Field(t.Last(), "temp") + " " + Field(t.Last(), "hum") + " " + Field(t.Last(), "rain"),
            "4.2 80 340.9");
  EXPECT_EQ(StateEntryCount(*t.table), 6u);
}

TEST(StateTable, AFullTableForgetsTheEntryChangedLongestAgo) {
  Table t;
  auto key = [](size_t i) {
    StateEntry k{};
    k.kind = kStateFs20;
    k.fs20.houseCode[0] = static_cast<uint8_t>(i >> 8);
    k.fs20.address = static_cast<uint8_t>(i);
    return k;
  };
  Frame f;
  for (size_t i = 0; i < kStateEntriesMax; ++i) {
    PrepareFrame(f, 0);
    BuildSendFrame(f, 0, static_cast<uint8_t>(i >> 8), 0x00, static_cast<uint8_t>(i), 0x11, 0);
    ASSERT_TRUE(StateNoteSent(*t.table, kT0 + i, "EL000123", f, nullptr, nullptr));
  }
  EXPECT_EQ(StateEntryCount(*t.table), kStateEntriesMax);
  BuildSendFrame(f, 0, 0x00, 0x00, 0x00, 0x00, 0);
  StateNoteSent(*t.table, kT0 + 5000, "EL000123", f, nullptr, nullptr);  // 0 is now the newest
  EXPECT_EQ(StateForgottenCount(*t.table), 0u);
  EXPECT_TRUE(t.Hear(kT0 + 6000, {0x05, 0x10, 0xA0, 0x01, 0x47, 0x3A, 0x00, 0x00, 0x00, 0x12, 0x02, 0x33}));
  EXPECT_TRUE(t.Hear(kT0 + 6000, {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34, 0x41, 0x00, 0x69, 0x2A}));
  EXPECT_EQ(StateForgottenCount(*t.table), 2u);
  EXPECT_EQ(StateEntryCount(*t.table), kStateEntriesMax);
  EXPECT_NE(StateFindEntry(*t.table, key(0)), nullptr);
  EXPECT_EQ(StateFindEntry(*t.table, key(1)), nullptr);
  EXPECT_EQ(StateFindEntry(*t.table, key(2)), nullptr);
  EXPECT_NE(StateFindEntry(*t.table, key(3)), nullptr);
  EXPECT_EQ(t.lines.size(), 2u) << "a forgotten entry gives no line of its own";
}

}  // namespace
