#include <gtest/gtest.h>

#include <string>

#include "devices/device_classify.h"

namespace {

// One start-up walk over the devices the machine might show, in the order
// SetupAPI gives them: numbers go to transceivers only, in that order.
TEST(DeviceClassify, StartWalkNumbersTransceiversAndSaysWhyOthersAreIgnored) {
  StartNumbering numbering;
  StartNumberingReset(numbering);
  struct Case {
    const char* id;
    DeviceVerdict verdict;
    int instance;
    const char* product;
    const char* serial;
  } cases[] = {
      {"USB\\VID_046D&PID_C077\\5&1A2B", kDeviceOtherVendor, -1, "?", ""},
      {"USB\\VID_0403&PID_F06F\\EL000123", kDeviceAccepted, 0, "F06F", "EL000123"},
      {"USB\\VID_0403&PID_6001\\A9K2XQ1P", kDeviceOtherProduct, -1, "6001", "A9K2XQ1P"},
      {"usb\\vid_0403&pid_e0e8\\el000777", kDeviceAccepted, 1, "e0e8", "el000777"},
      {"USB\\VID_0403&PID_E0E8\\XX000001", kDeviceSerialNotEl, -1, "E0E8", "XX000001"},
      {"USB\\VID_0403&PID_F06F\\E", kDeviceSerialNotEl, -1, "F06F", "E"},
      {"USB\\VID_0403&PID_F06F&MI_00\\EL000999", kDeviceOtherProduct, -1, "F06F", "EL000999"},
      {"USB\\VID_0403&PID_F06F\\EL000777", kDeviceDuplicate, -1, "F06F", "EL000777"},
      {"USB\\VID_0403&PID_F06F\\EL01234567890123456789012345678901", kDeviceIdUnreadable, -1,
       "F06F", ""},
      {"USB\\VID_0403&PID_F06F", kDeviceIdUnreadable, -1, "?", ""},
      {nullptr, kDeviceIdUnreadable, -1, "?", ""},
      {"USB\\VID_0403&PID_F06F\\EL000555", kDeviceAccepted, 2, "F06F", "EL000555"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id ? c.id : "(unreadable)");
    DeviceFinding finding;
    ClassifyStartDevice(c.id, numbering, finding);
    EXPECT_EQ(finding.verdict, c.verdict);
    EXPECT_EQ(finding.instance, c.instance);
    EXPECT_STREQ(finding.productId, c.product);
    EXPECT_STREQ(finding.serial, c.serial);
    if (c.verdict == kDeviceDuplicate) {
      EXPECT_EQ(finding.sameAs, 1);
    }
    EXPECT_EQ(c.verdict == kDeviceAccepted, std::string(DeviceVerdictText(c.verdict)).empty());
  }
  EXPECT_EQ(numbering.count, 3);
}

TEST(DeviceClassify, TheSixtyFifthTransceiverIsRefused) {
  StartNumbering numbering;
  StartNumberingReset(numbering);
  DeviceFinding finding;
  for (int i = 0; i < 65; ++i) {
    std::string id = "USB\\VID_0403&PID_F06F\\EL" + std::to_string(100000 + i);
    ClassifyStartDevice(id.c_str(), numbering, finding);
    EXPECT_EQ(finding.verdict, i < 64 ? kDeviceAccepted : kDeviceTableFull) << i;
  }
  EXPECT_EQ(finding.instance, -1);
  EXPECT_STREQ(DeviceVerdictText(finding.verdict), "more than 64 transceivers");
}

}  // namespace
