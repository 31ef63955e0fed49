#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/event_line.h"
#include "core/frame.h"
#include "core/telegram.h"
#include "core/tests/framed.h"

namespace {

const uint64_t kLeapDay = 1709210096789;  // 2024-02-29T12:34:56.789Z
const std::string kT = "2024-02-29T12:34:56.789Z";


std::string Heard(const Bytes& frame, int32_t iid = 3, const char* serial = "EL000127",
                  size_t size = kEventLineBufferSize) {
  Telegram t;
  DecodeTelegram(frame.data(), frame.size(), t);
  char line[kEventLineBufferSize + 16];
  std::memset(line, '#', sizeof line);
  size_t n = FormatHeardLine(line, size, kLeapDay, iid, serial, t);
  EXPECT_EQ(line[size], '#') << "written past the buffer";
  EXPECT_EQ(n, std::strlen(line));
  return line;
}

std::string Sent(const Frame& f) {
  char line[kEventLineBufferSize];
  size_t n = FormatSentLine(line, sizeof line, kLeapDay, 0, "EL000126", f);
  EXPECT_EQ(n, std::strlen(line));
  return line;
}

TEST(EventLine, ExactLinesForEveryWord) {
  Bytes row11(&FrameTable[11][1], &FrameTable[11][1] + FrameTable[11][0]);
  EXPECT_EQ(Heard(row11), kT + " 3 EL000127 heard kind=fs20 hc=41421132 addr=1111 cmd=3A "
                               "name=on-last-for-timer ext=4F timer=60 "
                               "raw=810C04020101A001CD0900003A4F\r\n");
  EXPECT_EQ(Heard({0x81, 0x0E, 0x04, 0xD7, 0x02, 0x13, 0xA0, 0x01, 0xB1, 0x6D, 0x00, 0x00, 0x03,
                   0x00, 0x00, 0x00}),
            kT + " 3 EL000127 heard kind=hms id=B16D sensor=smoke type=3 battery=ok "
                 "value=03000000 alarm=1 raw=810E04D70213A001B16D000003000000\r\n");
  EXPECT_EQ(Heard(Framed(0x04, {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34, 0x41, 0x00, 0x26, 0x2A})),
            kT + " 3 EL000127 heard kind=fht code=1234 reg=41 status=26 value=2A desired=21.0 "
                 "raw=810C048A0909A00112344100262A\r\n");
  EXPECT_EQ(Heard(Framed(0xC9, {0x01, 0x02, 0x84})),
            kT + " 3 EL000127 heard kind=answer code=84 raw=8105C987010284\r\n");
  EXPECT_EQ(Heard(Framed(0x04, {0x40, 0x27, 0xA0, 0x01, 1, 2, 3, 4, 5, 6, 7})),
            kT + " 3 EL000127 heard kind=weather temp=2.0 hum=3 wind=50.4 rain=24.5 raining=0 "
                 "rain-count=96 raw=810D04244027A00101020304050607\r\n");
  EXPECT_EQ(Heard(Framed(0x33, {0x01})), kT + " 3 EL000127 heard kind=unknown raw=8103330101\r\n");
  EXPECT_EQ(Heard({0x81, 0x00}), kT + " 3 EL000127 heard kind=badcheck raw=8100\r\n");

  Frame f;
  PrepareFrame(f, 0);
  BuildSendFrame(f, 0, 0x1B, 0x00, 0x03, 0x11, 0);
  EXPECT_EQ(Sent(f), kT + " 0 EL000126 sent hc=12341111 addr=1114 cmd=11 name=on "
                          "raw=810904330201011B000311\r\n");
  BuildSendFrame(f, 1, 0xCD, 0x09, 0x00, 0x39, 0x01);
  EXPECT_EQ(Sent(f), kT + " 0 EL000126 sent hc=41421132 addr=1111 cmd=39 name=on-100-for-timer "
                          "ext=01 timer=0.25 raw=810A0414020101CD09003901\r\n");
  f.length = 3;  // not a send frame: what went out is still on record
  EXPECT_EQ(Sent(f), kT + " 0 EL000126 sent raw=810A04\r\n");

  char line[kEventLineBufferSize];
  FormatPluggedLine(line, sizeof line, kLeapDay, 2, "EL000128");
  EXPECT_EQ(std::string(line), kT + " 2 EL000128 plugged\r\n");
  FormatPresentLine(line, sizeof line, kLeapDay, 1, "EL000127");
  EXPECT_EQ(std::string(line), kT + " 1 EL000127 present\r\n");
  const EventMove moved[] = {{"EL000127", 1, 0}, {"EL000128", 2, 1}};
  FormatPulledLine(line, sizeof line, kLeapDay, 0, "EL000126", moved, 2);
  EXPECT_EQ(std::string(line), kT + " 0 EL000126 pulled moved=EL000127:1>0,EL000128:2>1\r\n");
  FormatPulledLine(line, sizeof line, kLeapDay, 1, "EL000127", nullptr, 0);
  EXPECT_EQ(std::string(line), kT + " 1 EL000127 pulled moved=none\r\n");
  FormatLostLine(line, sizeof line, kLeapDay, kNoInstance, nullptr, 17);
  EXPECT_EQ(std::string(line), kT + " - - lost count=17\r\n");
  FormatAliveLine(line, sizeof line, kLeapDay, kNoInstance, "");
  EXPECT_EQ(std::string(line), kT + " - - alive\r\n");
  EXPECT_EQ(FormatFormatLine(line, sizeof line, kLeapDay), 63u);
  EXPECT_EQ(std::string(line), kT + " - - format id=zarvo-events version=1\r\n");
}

// The decoded readings come after the fields scripts already read and
// before raw=, in the units of the state lines.
TEST(EventLine, HeardLinesCarryTheReadingsBeforeRaw) {
  const Bytes kHeating = {0x09, 0x09, 0xA0, 0x01, 0x12, 0x34};
  auto heating = [&](uint8_t reg, uint8_t status, uint8_t value) {
    Bytes p = kHeating;
    p.insert(p.end(), {reg, 0x00, status, value});
    return Framed(0x04, p);
  };
  const std::pair<Bytes, std::string> kCases[] = {
      {Framed(0x04, {0x05, 0x10, 0xA0, 0x01, 0x47, 0x3A, 0x00, 0x00, 0x00, 0x12, 0x02, 0x33}),
       "sensor=temp-hum type=0 battery=ok value=00120233 temp=21.2 hum=33.0 raw="},
      {Framed(0x04, {0x05, 0x11, 0xA0, 0x01, 0x8E, 0x63, 0x00, 0x00, 0x81, 0x55, 0x00, 0x00}),
       "type=1 battery=ok value=81550000 temp=-5.5 raw="},
      {Framed(0x04, {0x02, 0x1E, 0xA0, 0x01, 0x8E, 0x63, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}),
       "sensor=breaker type=E battery=ok value=01000000 alarm=1 raw="},
      {heating(0x00, 0xA6, 0x80), "value=80 valve=50 raw="},
      {heating(0x3E, 0x69, 0x02), "value=02 mode=holiday raw="},
      {heating(0x44, 0x69, 0x33), "value=33 window=open battery=low cold=1 window-sensor=fault raw="},
      {heating(0x44, 0x69, 0x00), "value=00 window=closed battery=ok cold=0 window-sensor=ok raw="},
      {heating(0x42, 0x69, 0xD2), "value=D2 raw="},
      {heating(0x00, 0xA8, 0x10), "value=10 raw="},
      {Framed(0x04, {0x40, 0x27, 0xA0, 0x01, 0x71, 0x24, 0x00, 0x80, 0x00, 0x93, 0x59}),
       "kind=weather temp=4.2 hum=80 wind=0.0 rain=340.9 raining=0 rain-count=1337 raw="},
      {Framed(0x04, {0x40, 0x27, 0xA0, 0x01, 0x7A, 0x2A, 0x20, 0x30, 0x00, 0x00, 0x00}),
       "kind=weather hum=30 wind=0.0 rain=0.0 raining=1 rain-count=0 raw="},
  };
  for (const auto& [frame, fields] : kCases) {
    std::string line = Heard(frame);
    EXPECT_NE(line.find(" " + fields), std::string::npos) << line;
  }
}

// Against a plain day-by-day calendar walk over every day the format can
// write.
TEST(EventLine, TimeOfEveryDayFrom1970To9999) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int y = 1970, m = 1, d = 1;
  char got[25];
  char want[64];
  for (uint64_t day = 0; y <= 9999; ++day) {
    FormatEventTime(day * 86400000 + 86399999, got);
    std::snprintf(want, sizeof want, "%04d-%02d-%02dT23:59:59.999Z", y, m, d);
    ASSERT_STREQ(got, want) << "day " << day;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int length = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
    if (++d > length) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
    }
  }
  FormatEventTime(0, got);
  EXPECT_STREQ(got, "1970-01-01T00:00:00.000Z");
  FormatEventTime(UINT64_MAX, got);
  EXPECT_STREQ(got, "9999-12-31T23:59:59.999Z");
}

TEST(EventLine, SerialNumbersAreWrittenAsPrintableAscii) {
  EXPECT_EQ(Heard({0x81, 0x00}, 5, "A B\x7F\xC3\xA9"),
            kT + " 5 A?B??? heard kind=badcheck raw=8100\r\n");
  EXPECT_EQ(Heard({0x81, 0x00}, -7, ""), kT + " - - heard kind=badcheck raw=8100\r\n");
  std::string longSerial(100, 'S');
  EXPECT_EQ(Heard({0x81, 0x00}, 5, longSerial.c_str()),
            kT + " 5 " + std::string(kEventSerialMax, 'S') + " heard kind=badcheck raw=8100\r\n");
}

TEST(EventLine, LongestLinesFitAndSmallBuffersCutOnlyWholeBytes) {
  Bytes longest = Framed(0x04, Bytes(251, 0xAB));
  std::string serial(kEventSerialMax, 'S');
  std::string full = Heard(longest, INT32_MAX, serial.c_str());
  ASSERT_LE(full.size(), kEventLineMax);
  std::string hex;
  char two[3];
  for (uint8_t b : longest) {
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  ASSERT_EQ(full.substr(full.size() - 2 * 255 - 2), hex + "\r\n");

  // A buffer of 200: the fields, then as many whole raw bytes as fit, "...".
  std::string cut = Heard(longest, INT32_MAX, serial.c_str(), 200);
  ASSERT_GE(cut.size(), 198u);
  ASSERT_LE(cut.size(), 199u);
  size_t raw = cut.find(" raw=") + 5;
  size_t hexChars = cut.size() - raw - 5;  // "..." and CR LF
  EXPECT_EQ(hexChars % 2, 0u);
  EXPECT_EQ(cut.substr(0, raw + hexChars), full.substr(0, raw + hexChars));
  EXPECT_EQ(cut.substr(cut.size() - 5), "...\r\n");
  // Too small even for the fields: nothing, and an empty string.
  EXPECT_EQ(Heard(longest, 3, "EL000127", 60), "");

  // 64 transceivers with long serials moving down: whole entries, then ",...".
  std::vector<std::string> serials;
  std::vector<EventMove> moves;
  for (int i = 0; i < 64; ++i) serials.push_back(std::string(60, 'A' + i % 26) + std::to_string(i));
  for (int i = 0; i < 64; ++i) moves.push_back({serials[i].c_str(), i + 1, i});
  char line[kEventLineBufferSize];
  size_t n = FormatPulledLine(line, sizeof line, kLeapDay, 0, "EL", moves.data(), moves.size());
  ASSERT_GT(n, 0u);
  ASSERT_LE(n, kEventLineMax);
  std::string pulled(line);
  ASSERT_EQ(pulled.substr(pulled.size() - 6), ",...\r\n");
  std::string list = pulled.substr(pulled.find("moved=") + 6);
  std::string expected;
  for (int i = 0; expected.size() + 6 < list.size(); ++i) {
    expected += (i ? "," : "") + serials[i] + ":" + std::to_string(i + 1) + ">" + std::to_string(i);
  }
  EXPECT_EQ(list, expected + ",...\r\n");
}

}  // namespace
