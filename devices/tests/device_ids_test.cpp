#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices/hotplug.h"

namespace {

const char kGuid[] = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// Runs a splitter on a heap copy of exactly the text's bytes, into output
// buffers of exactly their size, so that the sanitizer builds catch any read
// or write outside them. The copy has no NUL when `terminated` is false.
struct Split {
  bool ok = false;
  std::string prefix, serial;
};

template <typename Splitter>
Split Run(Splitter splitter, const std::string& text, bool terminated = true) {
  std::vector<char> input(text.begin(), text.end());
  if (terminated) input.push_back('\0');
  std::unique_ptr<char[]> prefix(new char[kHardwareIdPrefixSize]);
  std::unique_ptr<char[]> serial(new char[kSerialTextSize]);
  std::memset(prefix.get(), 'x', kHardwareIdPrefixSize);
  std::memset(serial.get(), 'x', kSerialTextSize);
  Split s;
  s.ok = splitter(input.data(), prefix.get(), serial.get());
  EXPECT_NE(std::memchr(prefix.get(), '\0', kHardwareIdPrefixSize), nullptr) << text;
  EXPECT_NE(std::memchr(serial.get(), '\0', kSerialTextSize), nullptr) << text;
  s.prefix = prefix.get();
  s.serial = serial.get();
  if (!s.ok) {
    EXPECT_EQ(s.prefix, "") << text;
    EXPECT_EQ(s.serial, "") << text;
  }
  return s;
}

Split Id(const std::string& text, bool terminated = true) {
  return Run(SplitInstanceId, text, terminated);
}
Split Path(const std::string& text, bool terminated = true) {
  return Run(SplitDevicePath, text, terminated);
}

std::string PathOf(const std::string& body) { return "\\\\?\\" + body + "#" + kGuid; }

TEST(InstanceId, SplitsIntoPrefixAndSerialKeepingCase) {
  Split f06f = Id("USB\\VID_0403&PID_F06F\\EL000123");
  EXPECT_TRUE(f06f.ok);
  EXPECT_EQ(f06f.prefix, "USB\\VID_0403&PID_F06F\\EL");
  EXPECT_EQ(f06f.serial, "EL000123");
  Split e0e8 = Id("usb\\vid_0403&pid_e0e8\\eL000123");
  EXPECT_EQ(e0e8.prefix, "usb\\vid_0403&pid_e0e8\\eL");
  EXPECT_EQ(e0e8.serial, "eL000123");
  // Windows' own identifier for a device without a serial number.
  Split madeUp = Id("USB\\VID_0403&PID_F06F\\5&1A2B3C4D&0&1");
  EXPECT_EQ(madeUp.prefix, "USB\\VID_0403&PID_F06F\\5&");
  EXPECT_EQ(madeUp.serial, "5&1A2B3C4D&0&1");
}

TEST(InstanceId, AShortSerialGivesAShortPrefix) {
  EXPECT_EQ(Id("USB\\VID_0403&PID_F06F\\E").prefix, "USB\\VID_0403&PID_F06F\\E");
  Split none = Id("USB\\VID_0403&PID_F06F\\");
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.prefix, "USB\\VID_0403&PID_F06F\\");
  EXPECT_EQ(none.serial, "");
}

TEST(InstanceId, EveryCutOfAValidIdIsSplitOnlyOnceItHasABackslash) {
  const std::string id = "USB\\VID_0403&PID_F06F\\EL000123";
  for (size_t n = 0; n <= id.size(); ++n) {
    std::string cut = id.substr(0, n);
    Split s = Id(cut);
    EXPECT_EQ(s.ok, cut.find('\\') != std::string::npos) << cut;
    if (s.ok) {
      EXPECT_EQ(s.prefix + s.serial.substr(s.serial.size() < 2 ? s.serial.size() : 2), cut);
    }
  }
}

TEST(InstanceId, PartsTooLongForTheirBuffersAreRefused) {
  const std::string device = "USB\\VID_0403&PID_F06F\\";
  EXPECT_TRUE(Id(device + std::string(31, 'E')).ok);
  EXPECT_FALSE(Id(device + std::string(32, 'E')).ok);
  // 61 characters up to the backslash, then two of the serial number: 63.
  const std::string longDevice = std::string(60, 'U') + "\\";
  EXPECT_TRUE(Id(longDevice + "EL1").ok);
  EXPECT_EQ(Id(longDevice + "EL1").prefix.size(), 63u);
  EXPECT_FALSE(Id("U" + longDevice + "EL1").ok);
  EXPECT_FALSE(Id(std::string(255, 'A')).ok);
  EXPECT_FALSE(Id(std::string(254, 'A') + "\\").ok);
  // No NUL within the 256-byte form: not read past it.
  EXPECT_FALSE(Id(std::string(255, 'A') + "\\", false).ok);
}

TEST(DevicePath, SplitsIntoUpperCasePrefixAndSerial) {
  Split s = Path(PathOf("USB#VID_0403&PID_F06F#EL000123"));
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.prefix, "USB\\VID_0403&PID_F06F\\EL");
  EXPECT_EQ(s.serial, "EL000123");
  Split lower = Path("\\\\?\\usb#vid_0403&pid_e0e8#el000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(lower.prefix, "USB\\VID_0403&PID_E0E8\\EL");
  EXPECT_EQ(lower.serial, "EL000123");
  Split madeUp = Path(PathOf("USB#VID_0403&PID_F06F#5&1a2b3c4d&0&1"));
  EXPECT_EQ(madeUp.prefix, "USB\\VID_0403&PID_F06F\\5&");
  EXPECT_EQ(madeUp.serial, "5&1A2B3C4D&0&1");
}

TEST(DevicePath, TextsMissingTheirMarksAreRefused) {
  EXPECT_FALSE(Path("").ok);
  EXPECT_FALSE(Path("USB#VID_0403&PID_F06F#EL000123#{GUID}").ok);  // no backslash
  EXPECT_FALSE(Path("\\\\?\\USB_VID_0403&PID_F06F_EL000123_{GUID}").ok);  // no '#'
  EXPECT_FALSE(Path("\\\\?\\USB_VID_0403&PID_F06F_EL000123#{GUID}").ok);  // one '#'
  // The backslash must come before the '#' that starts the serial number.
  EXPECT_FALSE(Path("USB#VID_0403&PID_F06F#EL\\000123#{GUID}").ok);
}

TEST(DevicePath, EveryCutOfAValidPathIsSafeAndAcceptedOnlyWhole) {
  const std::string path = PathOf("USB#VID_0403&PID_F06F#EL000123");
  const size_t whole = path.find('{');  // everything up to the last '#'
  for (size_t n = 0; n <= path.size(); ++n) {
    Split s = Path(path.substr(0, n));
    bool accepted = s.ok && s.prefix == "USB\\VID_0403&PID_F06F\\EL" && s.serial == "EL000123";
    EXPECT_EQ(accepted, n >= whole) << n;
  }
}

TEST(DevicePath, The255thCharacterIsReadAndThe256thNever) {
  std::string path = "\\\\?\\USB#VID_0403&PID_F06F#EL000123#{";
  path += std::string(255 - path.size(), 'G');
  EXPECT_TRUE(Path(path).ok);
  EXPECT_FALSE(Path(path + "G").ok);
  EXPECT_FALSE(Path(path + "G", false).ok);
  EXPECT_TRUE(Path(PathOf("USB#VID_0403&PID_F06F#" + std::string(31, 'E'))).ok);
  EXPECT_FALSE(Path(PathOf("USB#VID_0403&PID_F06F#" + std::string(32, 'E'))).ok);
  EXPECT_TRUE(Path(PathOf(std::string(60, 'U') + "#EL1")).ok);
  EXPECT_FALSE(Path(PathOf(std::string(61, 'U') + "#EL1")).ok);
}

TEST(NarrowText, ConvertsUnitsUpToFFAndRefusesTheRest) {
  const uint16_t latin[] = {'E', 'L', 0xE9, 0xFF, 0};
  char out[8];
  ASSERT_TRUE(NarrowText(latin, 5, out, sizeof out));
  EXPECT_STREQ(out, "EL\xE9\xFF");
  const uint16_t wide[] = {'E', 0x100, 'L', 0};
  EXPECT_FALSE(NarrowText(wide, 4, out, sizeof out));
  EXPECT_STREQ(out, "");
}

TEST(NarrowText, NeedsItsNulWithinBothLimits) {
  const uint16_t text[] = {'A', 'B', 'C', 0};
  std::unique_ptr<char[]> out(new char[4]);
  EXPECT_TRUE(NarrowText(text, 4, out.get(), 4));
  EXPECT_FALSE(NarrowText(text, 3, out.get(), 4));  // the NUL is past `units`
  EXPECT_FALSE(NarrowText(text, 4, out.get(), 3));  // and here past `size`
  EXPECT_FALSE(NarrowText(text, 0, out.get(), 0));
}

}  // namespace
