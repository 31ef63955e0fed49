#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/devices_ini.h"

namespace {

bool HasErrorOnLine(const std::vector<IniError>& errors, int line) {
  for (const IniError& e : errors) {
    if (e.line == line) return true;
  }
  return false;
}

// A file as Notepad saves it: BOM, CR LF, a name with an umlaut; good and
// bad lines mixed, every bad one reported by number and skipped.
TEST(DevicesIni, ReadsNotepadFileAndSkipsBadLinesWithTheirNumbers) {
  const std::string file =
      "\xEF\xBB\xBF# devices of the ground floor\r\n"     // 1
      "[bridge]\r\n"                                      // 2
      "autocreate = Sent\r\n"                             // 3
      "\r\n"                                              // 4
      "[fs20 12341111 1111]\r\n"                          // 5
      "name = K\xC3\xBC" "che\r\n"                        // 6
      "kind = switch\r\n"                                 // 7
      "transceiver = EL000123\r\n"                        // 8
      "; the neighbour's\r\n"                             // 9
      "[FS20 41421132 1114]\r\n"                          // 10
      "Ignore = yes\r\n"                                  // 11
      "kind = lamp\r\n"                                   // 12 bad kind
      "[fs20 12345111 1111]\r\n"                          // 13 digit 5
      "name = never seen\r\n"                             // 14 under a refused section
      "[sensor smoke Hallway upstairs]\r\n"               // 15
      "id = b16d\r\n"                                     // 16
      "[sensor door Terrace]\n"                           // 17
      "id = 12345\n"                                      // 18 bad id
      "kind = window\n"                                   // 19
      "colour = red\n"                                    // 20 unknown key
      "[heating 1a2b]\n"                                  // 21
      "name = Bad\n"                                      // 22
      "[weather EL000777]\n"                              // 23
      "ignore = maybe\n"                                  // 24 bad value
      "name = \xC3\x28\n"                                 // 25 not UTF-8
      "just words\n"                                      // 26
      "[fs20 12341111 1111]\n"                            // 27 duplicate
      "[garden]\n";                                       // 28 unknown section
  DevicesConfig c;
  std::vector<IniError> errors;
  EXPECT_FALSE(ParseDevicesIni(file.data(), file.size(), c, errors));

  EXPECT_EQ(c.autocreate, kAutoCreateSent);
  ASSERT_EQ(c.fs20.size(), 2u);
  EXPECT_EQ(c.fs20[0].hc, "12341111");
  EXPECT_EQ(c.fs20[0].addr, "1111");
  EXPECT_EQ(c.fs20[0].name, "K\xC3\xBC" "che");
  EXPECT_EQ(c.fs20[0].kind, kKindSwitch);
  EXPECT_EQ(c.fs20[0].transceiver, "EL000123");
  EXPECT_FALSE(c.fs20[0].ignore);
  EXPECT_TRUE(c.fs20[1].ignore);
  EXPECT_EQ(c.fs20[1].kind, kKindLight);
  ASSERT_EQ(c.sensors.size(), 2u);
  EXPECT_EQ(c.sensors[0].type, "smoke");
  EXPECT_EQ(c.sensors[0].name, "Hallway upstairs");
  EXPECT_EQ(c.sensors[0].id, "B16D");
  EXPECT_EQ(c.sensors[1].id, "");
  EXPECT_EQ(c.sensors[1].kind, kKindWindow);
  ASSERT_EQ(c.heating.size(), 1u);
  EXPECT_EQ(c.heating[0].key, "1A2B");
  EXPECT_EQ(c.heating[0].name, "Bad");
  ASSERT_EQ(c.weather.size(), 1u);
  EXPECT_FALSE(c.weather[0].ignore);
  EXPECT_EQ(c.weather[0].name, "");

  const int bad[] = {12, 13, 18, 20, 24, 25, 26, 27, 28};
  for (int line : bad) EXPECT_TRUE(HasErrorOnLine(errors, line)) << "line " << line;
  EXPECT_EQ(errors.size(), sizeof bad / sizeof bad[0]);
  EXPECT_FALSE(HasErrorOnLine(errors, 14)) << "a refused section's lines are skipped quietly";
  for (const IniError& e : errors) EXPECT_FALSE(e.text.empty());
}

TEST(DevicesIni, BoundsAreErrorsNotFailures) {
  DevicesConfig c;
  std::vector<IniError> errors;
  std::string huge(kDevicesIniMaxBytes + 1, '#');
  EXPECT_FALSE(ParseDevicesIni(huge.data(), huge.size(), c, errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].line, 0);

  errors.clear();
  std::string longLine = "[bridge]\nautocreate = none\n# " + std::string(5000, 'x') + "\n[fs20 11111111 1111]\n";
  EXPECT_FALSE(ParseDevicesIni(longLine.data(), longLine.size(), c, errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].line, 3);
  EXPECT_EQ(c.autocreate, kAutoCreateNone);
  EXPECT_EQ(c.fs20.size(), 1u);

  errors.clear();
  std::string many;
  for (int i = 0; i < 300; ++i) many += "nonsense\n";
  ParseDevicesIni(many.data(), many.size(), c, errors);
  EXPECT_EQ(errors.size(), kDevicesIniMaxErrors + 1);

  errors.clear();
  EXPECT_TRUE(ParseDevicesIni(nullptr, 0, c, errors));
  EXPECT_EQ(c.autocreate, kAutoCreateAll);
}

}  // namespace
