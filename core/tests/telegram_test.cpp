#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
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
// sensor types and the battery flags of the types that carry them in T.
TEST(Telegram, SensorTypesAndBatteryStates) {
  const std::pair<uint8_t, HmsSensor> kTypes[] = {
      {0x50, kHmsTempHum}, {0x11, kHmsTemp},  {0x12, kHmsWater},
      {0x14, kHmsDoor},    {0x15, kHmsDoor},  {0x16, kHmsGas},
      {0x18, kHmsCarbonMonoxide}, {0x1E, kHmsBreaker}, {0x17, kHmsOther}};
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

Bytes Sensor(uint8_t type, Bytes values) {
  Bytes payload = {static_cast<uint8_t>((type & 0x0F) <= 1 ? 0x05 : 0x02), type, 0xA0, 0x01,
                   0x47, 0x3A, 0x00, 0x00};
  payload.insert(payload.end(), values.begin(), values.end());
  return Framed(0x04, payload);
}

// Types 0 and 1 send decimal digits and keep sign and battery in V1; the
// other types an alarm in V1's low nibble and the battery in T.
TEST(Telegram, SensorReadingsFromTheWorkedExamplesAndTheRightBatteryByte) {
  struct Case {
    uint8_t type;
    Bytes values;
    int temp;  // tenths; INT_MIN when there is none
    int hum;
    int alarm;  // -1 when there is none
    HmsBattery battery;
  };
  const int kNone = INT32_MIN;
  const Case kCases[] = {
      {0x10, {0x00, 0x12, 0x02, 0x33}, 212, 330, -1, kHmsBatteryOk},
      {0x10, {0x00, 0x18, 0x01, 0x00}, 118, 0, -1, kHmsBatteryOk},
      {0x11, {0x01, 0x10, 0x00, 0x00}, 10, kNone, -1, kHmsBatteryOk},
      {0x11, {0x81, 0x55, 0x00, 0x00}, -55, kNone, -1, kHmsBatteryOk},
      // T's battery bits mean nothing for these types; V1's do.
      {0xD0, {0x00, 0x12, 0x02, 0x33}, 212, 330, -1, kHmsBatteryOk},
      {0x10, {0x20, 0x12, 0x02, 0x33}, 212, 330, -1, kHmsBatteryLow},
      {0x11, {0xC1, 0x55, 0x00, 0x00}, -55, kNone, -1, kHmsBatteryNew},
      {0x10, {0x60, 0x99, 0x99, 0x99}, 999, 999, -1, kHmsBatteryLow},
      // A nibble above 9 is no digit: that reading is left out, not made up.
      {0x10, {0x00, 0x1A, 0x02, 0x33}, kNone, 330, -1, kHmsBatteryOk},
      {0x10, {0x00, 0x12, 0xF2, 0x33}, 212, kNone, -1, kHmsBatteryOk},
      {0x10, {0x00, 0x12, 0x0B, 0x33}, kNone, 330, -1, kHmsBatteryOk},
      {0x13, {0x03, 0x00, 0x00, 0x00}, kNone, kNone, 1, kHmsBatteryOk},
      {0x93, {0x10, 0x00, 0x00, 0x00}, kNone, kNone, 0, kHmsBatteryNew},
      {0x54, {0x01, 0x00, 0x00, 0x00}, kNone, kNone, 1, kHmsBatteryLow},
      {0x1E, {0x0F, 0x00, 0x00, 0x00}, kNone, kNone, 1, kHmsBatteryOk},
      {0x1F, {0x01, 0x00, 0x00, 0x00}, kNone, kNone, -1, kHmsBatteryOk},
  };
  for (const Case& c : kCases) {
    Telegram t = Decode(Sensor(c.type, c.values));
    ASSERT_EQ(t.kind, kTelegramSensor);
    const HmsReadings& r = t.hms.readings;
    std::string what = "type " + std::to_string(c.type) + " V1 " + std::to_string(c.values[0]);
    EXPECT_EQ(r.hasTemperature ? r.temperatureTenths : kNone, c.temp) << what;
    EXPECT_EQ(r.hasHumidity ? r.humidityTenths : kNone, c.hum) << what;
    EXPECT_EQ(r.hasAlarm ? r.alarm : -1, c.alarm) << what;
    EXPECT_EQ(t.hms.battery, c.battery) << what;
  }
}

TEST(Telegram, HeatingRegistersBecomeNamedReadings) {
  struct Case {
    uint8_t reg, status, value;
    FhtReading reading;
    int number;  // the reading's value: %, mode, tenths or warning bits
  };
  const Case kCases[] = {
      {0x00, 0xA6, 0x80, kFhtValve, 50},   {0x00, 0x26, 0xFF, kFhtValve, 100},
      {0x00, 0x26, 0x01, kFhtValve, 0},    {0x00, 0x26, 0x02, kFhtValve, 1},
      {0x08, 0xA0, 0x40, kFhtValve, 25},   {0x03, 0xA1, 0x00, kFhtValve, 100},
      {0x00, 0xA2, 0xFF, kFhtValve, 0},    {0x00, 0xA8, 0x10, kFhtNoReading, 0},
      {0x00, 0x2A, 0x10, kFhtNoReading, 0}, {0x00, 0xAC, 0x10, kFhtNoReading, 0},
      {0x09, 0xA6, 0x80, kFhtNoReading, 0}, {0x3E, 0x69, 0x00, kFhtMode, kFhtAuto},
      {0x3E, 0x69, 0x03, kFhtMode, kFhtHolidayShort}, {0x3E, 0x69, 0x04, kFhtNoReading, 0},
      {0x41, 0x69, 0x2A, kFhtDesired, 210}, {0x41, 0x69, 0x3D, kFhtDesired, 305},
      {0x42, 0x69, 0xD2, kFhtMeasuredLow, 0}, {0x43, 0x69, 0x00, kFhtMeasuredHigh, 0},
      {0x44, 0x69, 0x33, kFhtWarnings, 0x33}, {0x45, 0x69, 0x2A, kFhtNoReading, 0},
  };
  for (const Case& c : kCases) {
    Telegram t =
        Decode(Framed(0x04, {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34, c.reg, 0x00, c.status, c.value}));
    ASSERT_EQ(t.kind, kTelegramHeating);
    std::string what = "reg " + std::to_string(c.reg) + " status " + std::to_string(c.status);
    EXPECT_EQ(t.fht.reading, c.reading) << what;
    int number = 0;
    if (c.reading == kFhtValve) number = t.fht.valvePercent;
    if (c.reading == kFhtMode) number = t.fht.mode;
    if (c.reading == kFhtDesired) number = t.fht.desiredTenths;
    if (c.reading == kFhtWarnings) number = t.fht.warnings;
    EXPECT_EQ(number, c.number) << what;
  }
}

TEST(Telegram, WeatherReadingsFromTheWorkedExamplesAndTheFlags) {
  Bytes head = {0x40, 0x27, 0xA0, 0x01};
  auto weather = [&](Bytes b) {
    Bytes payload = head;
    payload.insert(payload.end(), b.begin(), b.end());
    Telegram t = Decode(Framed(0x04, payload));
    EXPECT_EQ(t.kind, kTelegramWeather);
    return t.weather.readings;
  };
  WeatherReadings r = weather({0x71, 0x21, 0x27, 0x30, 0x00, 0x00, 0x08});
  EXPECT_TRUE(r.hasTemperature && r.hasHumidity && r.hasWind);
  EXPECT_EQ(r.temperatureTenths, 212);
  EXPECT_EQ(r.humidity, 37);
  EXPECT_EQ(r.windTenths, 0);
  EXPECT_EQ(r.rainCount, 0);
  EXPECT_EQ(r.raining, 0);

  r = weather({0x71, 0x24, 0x00, 0x80, 0x00, 0x93, 0x59});
  EXPECT_EQ(r.temperatureTenths, 42);
  EXPECT_EQ(r.humidity, 80);
  EXPECT_EQ(r.windTenths, 0);
  EXPECT_EQ(r.rainCount, 1337);
  EXPECT_EQ(WeatherRainTenths(r.rainCount), 3409u);  // 340.935 l/m2
  EXPECT_EQ(WeatherRainTenths(4095), 10442u);

  // All flags: negative, wind over 100 km/h, raining; wind 12.3 + 100.
  r = weather({0x7E, 0x21, 0x27, 0x33, 0x21, 0x00, 0x00});
  EXPECT_EQ(r.temperatureTenths, -212);
  EXPECT_EQ(r.windTenths, 1123);
  EXPECT_EQ(r.raining, 1);
  // A nibble above 9 costs only the reading it belongs to.
  r = weather({0x71, 0xA1, 0x27, 0x3B, 0x00, 0xFF, 0xF0});
  EXPECT_FALSE(r.hasTemperature);
  EXPECT_TRUE(r.hasHumidity);
  EXPECT_FALSE(r.hasWind);
  EXPECT_EQ(r.rainCount, 0xF00 + 0xF0 + 0xF);
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
  Bytes whole = TableRow(11);
  Bytes cut(whole.begin(), whole.end() - 1);
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
