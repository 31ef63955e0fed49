#include <gtest/gtest.h>

#include <chrono>

#include "core/frame.h"
#include "devices/device_table.h"
#include "devices/send_frame.h"
#include "devices/tests/fake_d2xx.h"

namespace {

struct Rig {
  FakeDevice device;
  DeviceRecord* record = CreateDeviceRecord(3);
  Frame frame;
  Rig() {
    record->handle = AsHandle(device);
    PrepareFrame(frame, 3);
    LoadTableFrame(frame, kStartupFrameRow1);
  }
  ~Rig() { FreeDeviceRecord(record); }
  std::vector<uint8_t> FrameBytes() const {
    return std::vector<uint8_t>(frame.bytes, frame.bytes + frame.length);
  }
};

TEST(Gate, OnlyExactly0x30OpensIt) {
  Rig rig;
  rig.device.modemSequence = {0x10, 0x20, 0x31, 0x230, 0x00, 0x30};
  EXPECT_EQ(SendFrame(*rig.record, rig.frame), 0u);
  EXPECT_EQ(rig.device.polls, 6);
  EXPECT_EQ(rig.device.written, rig.FrameBytes());
}

TEST(Gate, APartialWritePassesTheGateAgainAndResumesWhereItEnded) {
  Rig rig;
  rig.device.chunk = 5;
  rig.device.modemSequence = {0x30, 0x20, 0x20, 0x30};
  EXPECT_EQ(SendFrame(*rig.record, rig.frame), 0u);
  EXPECT_EQ(rig.device.writeSizes, (std::vector<uint32_t>{8, 3}));
  EXPECT_EQ(rig.device.written, rig.FrameBytes());
  EXPECT_EQ(rig.device.polls, 4);
}

TEST(Gate, AnEmptyFrameMakesNoDriverCall) {
  Rig rig;
  rig.frame.length = 0;
  EXPECT_EQ(SendFrame(*rig.record, rig.frame), 0u);
  EXPECT_EQ(rig.device.polls, 0);
  EXPECT_EQ(rig.device.writes, 0);
}

TEST(Gate, AFailingPollOrWriteEndsWithItsStatus) {
  Rig rig;
  rig.device.pollStatus = FT_IO_ERROR;
  EXPECT_EQ(SendFrame(*rig.record, rig.frame), FT_IO_ERROR);
  EXPECT_EQ(rig.device.writes, 0);

  Rig second;
  second.device.writeStatus = 10;
  EXPECT_EQ(SendFrame(*second.record, second.frame), 10u);
  EXPECT_EQ(second.device.writes, 1);
}

TEST(Gate, AnErrorAfterAPartialWriteIsReportedAndNothingIsRecalled) {
  Rig rig;
  rig.device.chunk = 5;
  rig.device.writeStatusSequence = {FT_OK, 10};
  EXPECT_EQ(SendFrame(*rig.record, rig.frame), 10u);
  EXPECT_EQ(rig.device.writes, 2);
  std::vector<uint8_t> firstPart = rig.FrameBytes();
  firstPart.resize(5);
  EXPECT_EQ(rig.device.written, firstPart);
}

TEST(Gate, ATransceiverThatNeverBecomesReadyIsGivenUpAtTheBound) {
  Rig rig;
  rig.device.modemAfter = 0x20;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendFrame(*rig.record, rig.frame), kGateTimeoutStatus);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
  EXPECT_GE(took, static_cast<long long>(kGateTimeoutMs) - 50);
  EXPECT_LT(took, static_cast<long long>(kGateTimeoutMs) + 2000);
  EXPECT_EQ(rig.device.writes, 0);
  // It slept between polls instead of spinning: far fewer polls than a
  // busy loop would make in three seconds.
  EXPECT_LT(rig.device.polls, 10000);
}

}  // namespace
