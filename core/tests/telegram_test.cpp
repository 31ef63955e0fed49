#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/frame.h"
#include "core/telegram.h"
#include "core/tests/framed.h"

namespace {

// Decodes from a copy of exactly `length` bytes, so that a read past the
// frame is caught by the sanitizer build.
Telegram Decode(const Bytes& frame) {
  std::vector<uint8_t> exact(frame);
  Telegram t;
  EXPECT_TRUE(DecodeTelegram(exact.data(), exact.size(), t));
  EXPECT_EQ(Bytes(t.raw, t.raw + t.rawLength), frame) << "the raw bytes are always kept";
  return t;
}

Bytes TableRow(uint8_t row) {
  return Bytes(&FrameTable[row][1], &FrameTable[row][1] + FrameTable[row][0]);
}

const Bytes kSmoke = {0x81, 0x0E, 0x04, 0xD7, 0x02, 0x13, 0xA0, 0x01,
                      0xB1, 0x6D, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};

TEST(Telegram, SwitchWithoutExtensionUnderEveryRadioTypeByte) {
  for (uint8_t type : {0x04, 0x09, 0x0C, 0x0D}) {
    Telegram t = Decode(Framed(type, {0x01, 0x01, 0xA0, 0x01, 0x12, 0x34, 0x03, 0x00, 0x11}));
    ASSERT_EQ(t.kind, kTelegramSwitch) << int(type);
    EXPECT_EQ(ByteToNotation(t.fs20.houseCode[0]), 1213);
    EXPECT_EQ(ByteToNotation(t.fs20.houseCode[1]), 1421);
    EXPECT_EQ(ByteToNotation(t.fs20.address), 1114);
    EXPECT_EQ(t.fs20.command, 0x11);
    EXPECT_EQ(t.fs20.hasExtension, 0);
  }
  // A trailing byte is no extension unless the command says so; flags stay.
  Telegram t = Decode(Framed(0x04, {0x01, 0x01, 0xA0, 0x01, 0x12, 0x34, 0x03, 0x00, 0xD1, 0x4F}));
  EXPECT_EQ(t.fs20.command, 0xD1);
  EXPECT_STREQ(Fs20CommandName(t.fs20.command), "on");
  EXPECT_EQ(t.fs20.hasExtension, 0);
  // The extension flag without the byte: no extension, no read past the end.
  t = Decode(Framed(0x04, {0x01, 0x01, 0xA0, 0x01, 0x12, 0x34, 0x03, 0x00, 0x3A}));
  EXPECT_EQ(t.kind, kTelegramSwitch);
  EXPECT_EQ(t.fs20.hasExtension, 0);
}

// The smoke example's fields are checked in its exact line; here the other
// sensor types and the battery nibble.
TEST(Telegram, SensorTypesAndBatteryStates) {
  const std::pair<uint8_t, HmsSensor> kTypes[] = {
      {0x50, kHmsTempHum}, {0x11, kHmsTemp},  {0x12, kHmsWater},
      {0x14, kHmsDoor},    {0x15, kHmsDoor},  {0x16, kHmsGas},
      {0x18, kHmsCarbonMonoxide}, {0x1E, kHmsFire}, {0x17, kHmsOther}};
  const std::pair<uint8_t, HmsBattery> kBatteries[] = {
      {0x13, kHmsBatteryOk}, {0x53, kHmsBatteryLow}, {0x93, kHmsBatteryNew}, {0xD3, kHmsBatteryLow}};
  Bytes payload(kSmoke.begin() + 4, kSmoke.end());
  for (auto [type, sensor] : kTypes) {
    payload[1] = type;
    EXPECT_EQ(Decode(Framed(0x04, payload)).hms.sensor, sensor) << int(type);
  }
  for (auto [type, battery] : kBatteries) {
    payload[1] = type;
    EXPECT_EQ(Decode(Framed(0x04, payload)).hms.battery, battery) << int(type);
  }
}

TEST(Telegram, CommandNamesAndTimers) {
  const char* const kNames[32] = {
      "off", "dim-1", "dim-2", "dim-3", "dim-4", "dim-5", "dim-6", "dim-7", "dim-8", "dim-9",
      "dim-10", "dim-11", "dim-12", "dim-13", "dim-14", "dim-15", "dim-16", "on", "toggle",
      "dim-up", "dim-down", "dim-up-down", "timer-program", "send-status", "off-for-timer",
      "on-100-for-timer", "on-last-for-timer", "reset", "ramp-on-time", "ramp-off-time",
      "on-last-for-timer-then-previous", "on-100-for-timer-then-previous"};
  for (unsigned cmd = 0; cmd < 256; ++cmd) {
    EXPECT_STREQ(Fs20CommandName(static_cast<uint8_t>(cmd)), kNames[cmd & 0x1F]) << cmd;
  }
  EXPECT_EQ(Fs20TimerQuarters(0x00), 0u);             // low nibble 0: no timer
  EXPECT_EQ(Fs20TimerQuarters(0x4F), 60u * 4);        // 2^4 x 15 x 0.25 s
  EXPECT_EQ(Fs20TimerQuarters(0xCF), 15360u * 4);     // 2^12 x 15 x 0.25 s
  EXPECT_EQ(Fs20TimerQuarters(0xFF), 15360u * 4);     // 2^15 counts as 2^12
  EXPECT_EQ(Fs20TimerQuarters(0xF0), 0u);
  EXPECT_EQ(Fs20TimerQuarters(0x01), 1u);
}

TEST(Telegram, NotationIsTheInverseOfNotationToByte) {
  EXPECT_EQ(ByteToNotation(0xCD), 4142);
  EXPECT_EQ(ByteToNotation(0x09), 1132);
  for (unsigned b = 0; b < 256; ++b) {
    EXPECT_EQ(NotationToByte(ByteToNotation(static_cast<uint8_t>(b))), b);
  }
}

TEST(Telegram, UnknownLayoutsAndTruncatedPayloadsAreKeptRaw) {
  EXPECT_EQ(Decode(Framed(0x05, {0x01, 0x01, 0xA0, 0x01, 0x12, 0x34, 0x03, 0x00, 0x11})).kind,
            kTelegramUnknown);
  EXPECT_EQ(Decode(Framed(0x04, {0x03, 0x03, 0xA0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0})).kind,
            kTelegramUnknown);
  EXPECT_EQ(Decode(Framed(0x04, {})).kind, kTelegramUnknown);
  EXPECT_EQ(Decode(TableRow(1)).kind, kTelegramUnknown);  // 04 but payload C9 01 99
  // An answer is an answer even without the 01 02 that carries a code.
  Telegram answer = Decode(TableRow(0));
  EXPECT_EQ(answer.kind, kTelegramAnswer);
  EXPECT_EQ(answer.answer.hasCode, 0);
  // Every payload cut short of its layout, with a matching length byte and
  // checksum, is unknown rather than half decoded.
  const Bytes row11 = TableRow(11);
  const Bytes kFull[] = {
      Bytes(row11.begin() + 4, row11.begin() + 13),
      Bytes(kSmoke.begin() + 4, kSmoke.end()),
      {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34, 0x41, 0x00, 0x26, 0x2A},
      {0x40, 0x27, 0xA0, 0x01, 1, 2, 3, 4, 5, 6, 7}};
  for (const Bytes& full : kFull) {
    EXPECT_NE(Decode(Framed(0x04, full)).kind, kTelegramUnknown);
    for (size_t n = 0; n < full.size(); ++n) {
      EXPECT_EQ(Decode(Framed(0x04, Bytes(full.begin(), full.begin() + n))).kind,
                kTelegramUnknown)
          << "payload cut to " << n;
    }
  }
}

TEST(Telegram, FailedChecksAreNeverDecoded) {
  Bytes badSum = TableRow(11);
  badSum[3] ^= 1;
  Bytes badLength = TableRow(11);
  badLength[1] = 0x0B;
  Bytes badStart = TableRow(11);
  badStart[0] = 0x80;
  Bytes cut = TableRow(11);
  cut.pop_back();
  for (const Bytes& b : {badSum, badLength, badStart, cut, Bytes{0x81}, Bytes{0x81, 0x00},
                         Bytes{0x81, 0x01, 0x04}}) {
    Telegram t = Decode(b);
    EXPECT_EQ(t.kind, kTelegramBadCheck);
    EXPECT_EQ(t.fs20.command, 0) << "nothing decoded";
  }
  Telegram t;
  uint8_t big[256] = {0x81};
  EXPECT_FALSE(DecodeTelegram(big, 0, t));
  EXPECT_FALSE(DecodeTelegram(big, 256, t));
  EXPECT_EQ(t.rawLength, 0);
  // The longest frame a record holds: 255 bytes, checked and kept.
  Bytes longest = Framed(0x04, Bytes(251, 0x11));
  EXPECT_EQ(Decode(longest).kind, kTelegramUnknown);
}

}  // namespace
