#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bridge/set_payload.h"
#include "core/telegram.h"

namespace {

struct Accepted {
  const char* payload;
  uint8_t cmd;
  uint8_t extension;
};

TEST(SetPayload, EveryAcceptedFormGivesItsCommandByte) {
  const Accepted cases[] = {
      {"ON", 0x11, 0},
      {"off", 0x00, 0},
      {" TOGGLE\r\n", 0x12, 0},
      {"{\"state\":\"ON\"}", 0x11, 0},
      {"{\"state\":\"ON\",\"brightness\":8}", 0x08, 0},
      {"{\"state\":\"ON\",\"brightness\":16,\"transition\":2,\"flash\":\"short\"}", 0x10, 0},
      {"{\"brightness\":1}", 0x01, 0},
      {"{\"state\":\"OFF\",\"brightness\":8}", 0x00, 0},
      {"{\"state\":\"on\",\"brightness\":4.0}", 0x04, 0},
      {"{\"state\":\"ON\",\"brightness\":0}", 0x01, 0},
      {"{\"brightness\":0}", 0x00, 0},
      {"dim-16", 0x10, 0},
      {"dim-up", 0x13, 0},
      {"on-100-for-timer-then-previous", 0x1F, 0},
      {"on-100-for-timer 60", 0x39, 0x4F},
      {"off-for-timer 0.25", 0x38, 0x01},
      {"on-last-for-timer 0.3", 0x3A, 0x02},  // rounded up to 0.5 s
      {"ramp-on-time 15360", 0x3C, 0xCF},
      {"ON-LAST-FOR-TIMER-THEN-PREVIOUS   4.75", 0x3E, 0x1A},  // 19 quarters: 2 x 10 = 5 s
  };
  for (const Accepted& c : cases) {
    SetCommand out{0xEE, 0xEE};
    std::string reason;
    EXPECT_TRUE(ParseSetPayload(c.payload, std::strlen(c.payload), out, reason)) << c.payload << ": " << reason;
    EXPECT_EQ(out.cmd, c.cmd) << c.payload;
    EXPECT_EQ(out.extension, c.extension) << c.payload;
  }
  // Every name of the events grammar is a command of its own byte.
  for (uint8_t cmd = 0; cmd <= kFs20CommandMask; ++cmd) {
    const char* name = Fs20CommandName(cmd);
    SetCommand out{};
    std::string reason;
    ASSERT_TRUE(ParseSetPayload(name, std::strlen(name), out, reason)) << name;
    EXPECT_EQ(out.cmd, cmd) << name;
  }
}

TEST(SetPayload, RefusedPayloadsSayWhyAndGiveNoCommand) {
  const std::string tooLong = "{\"state\":\"ON\",\"x\":\"" + std::string(240, 'a') + "\"}";
  ASSERT_GT(tooLong.size(), kSetPayloadMax);
  const std::string cases[] = {
      "",        "   ",         "ONN",       "{",           "{\"state\":1}",  "{\"state\":\"DIM\"}",
      "[1,2]",   "\"ON\"",       "{}",        "{\"brightness\":17}", "{\"brightness\":-1}",
      "{\"brightness\":2.5}", "{\"brightness\":\"8\"}", "on 60", "toggle 5", "on-100-for-timer 0",
      "on-100-for-timer 15361", "on-100-for-timer -5", "on-100-for-timer 1e3",
      "on-100-for-timer 60 60", "on-100-for-timer 1.2345", tooLong, std::string("ON\0X", 4),
  };
  for (const std::string& c : cases) {
    SetCommand out{};
    std::string reason;
    EXPECT_FALSE(ParseSetPayload(c.data(), c.size(), out, reason)) << c;
    EXPECT_FALSE(reason.empty()) << c;
    EXPECT_EQ(out.cmd, 0) << c;
    EXPECT_EQ(out.extension, 0) << c;
  }
}

// The extension byte is the smallest time FS20 can express that is not
// shorter than asked, checked against every byte for every time.
TEST(SetPayload, TimerExtensionIsTheSmallestTimeNotShorter) {
  for (uint32_t q = 1; q <= kLongestTimerQuarters; ++q) {
    uint8_t ext = TimerExtensionFor(q);
    uint32_t got = Fs20TimerQuarters(ext);
    ASSERT_GE(got, q) << q;
    for (unsigned b = 0; b < 256; b += 1) {
      if ((b >> 4) > 12) continue;
      uint32_t t = Fs20TimerQuarters(static_cast<uint8_t>(b));
      ASSERT_FALSE(t >= q && t < got) << "quarters " << q << ": 0x" << std::hex << b << " is closer";
    }
    if (q > 4096) q += 7;  // the long times in steps, to keep the run short
  }
  EXPECT_EQ(TimerExtensionFor(0), 0);
  EXPECT_EQ(TimerExtensionFor(kLongestTimerQuarters + 1), 0);
}

}  // namespace
