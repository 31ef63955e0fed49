#include <gtest/gtest.h>

#include <vector>

#include "core/frame.h"

namespace {

std::vector<uint8_t> Bytes(const Frame& f) {
  return std::vector<uint8_t>(f.bytes, f.bytes + f.length);
}

Frame Fresh() {
  Frame f;
  PrepareFrame(f, 7);
  return f;
}

TEST(SendFrame, HouseCode1234_1111Address1111Command11WithoutData) {
  Frame f = Fresh();
  BuildSendFrame(f, 0, NotationToByte(1234), NotationToByte(1111),
                 NotationToByte(1111), 0x11, 0);
  EXPECT_EQ(Bytes(f), (std::vector<uint8_t>{0x81, 0x09, 0x04, 0x30, 0x02, 0x01,
                                             0x01, 0x1B, 0x00, 0x00, 0x11}));
  EXPECT_EQ(f.instance, 7);
  // Byte 11 lies outside the frame and keeps the template's placeholder.
  EXPECT_EQ(f.bytes[11], 0xFF);
}

TEST(SendFrame, DataByteMakesATwelveByteFrame) {
  Frame f = Fresh();
  BuildSendFrame(f, 1, 0x1B, 0x00, 0x00, 0x11, 0x05);
  EXPECT_EQ(Bytes(f), (std::vector<uint8_t>{0x81, 0x0A, 0x04, 0x35, 0x02, 0x01,
                                             0x01, 0x1B, 0x00, 0x00, 0x11, 0x05}));
}

TEST(SendFrame, ChecksumKeepsOnlyTheLowEightBits) {
  Frame f = Fresh();
  BuildSendFrame(f, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF);
  // 02 + 01 + 01 + 5 * FF = 0x4FF
  EXPECT_EQ(f.bytes[3], 0xFF);
  BuildSendFrame(f, 0, 0x80, 0x80, 0x00, 0x00, 0);
  // 02 + 01 + 01 + 80 + 80 = 0x104
  EXPECT_EQ(f.bytes[3], 0x04);
}

TEST(Notation, DigitsOneToFourAreBaseFourDigits) {
  EXPECT_EQ(NotationToByte(1111), 0x00);
  EXPECT_EQ(NotationToByte(1234), 0x1B);
  EXPECT_EQ(NotationToByte(4321), 0xE4);
  EXPECT_EQ(NotationToByte(4444), 0xFF);
  EXPECT_EQ(NotationToByte(2222), 0x55);
  EXPECT_EQ(NotationToByte(3333), 0xAA);
  EXPECT_EQ(NotationToByte(4411), 0xF0);
  EXPECT_EQ(NotationToByte(12), 0x01);
  EXPECT_EQ(NotationToByte(44), 0x0F);
}

TEST(Notation, OtherValuesFollowTheSameArithmetic) {
  EXPECT_EQ(NotationToByte(0), 0x00);
  EXPECT_EQ(NotationToByte(65535), 0x4C);
  EXPECT_EQ(NotationToByte(10), 0x09);
  EXPECT_EQ(NotationToByte(5), 0x04);
  // The weight wraps to 0 after four digits: a fifth digit adds nothing.
  EXPECT_EQ(NotationToByte(11111), 0x00);
  EXPECT_EQ(NotationToByte(12341), 0x6C);
}

TEST(FrameTableRows, StartUpFramesAreRowsZeroAndTwo) {
  Frame f = Fresh();
  LoadTableFrame(f, kStartupFrameRow1);
  EXPECT_EQ(Bytes(f), (std::vector<uint8_t>{0x81, 0x06, 0xC9, 0x8C, 0x02, 0x01, 0x1F, 0x6A}));
  LoadTableFrame(f, kStartupFrameRow2);
  EXPECT_EQ(Bytes(f), (std::vector<uint8_t>{0x81, 0x05, 0x04, 0x60, 0xC9, 0x01, 0x96}));
}

TEST(FrameTableRows, EveryRowStartsWithTheStartByteAndFitsItsLength) {
  for (uint8_t row = 0; row < kFrameTableRows; ++row) {
    uint8_t length = FrameTable[row][0];
    ASSERT_GE(length, 7) << "row " << int(row);
    ASSERT_LE(length, 16 + 1) << "row " << int(row);
    EXPECT_EQ(FrameTable[row][1], kFrameStart) << "row " << int(row);
    for (size_t i = 1 + length; i < kFrameTableRowSize; ++i)
      EXPECT_EQ(FrameTable[row][i], 0) << "row " << int(row) << " tail " << i;
  }
}

TEST(FrameTableRows, ARowPastTheTableChangesNothing) {
  Frame f = Fresh();
  LoadTableFrame(f, 12);
  EXPECT_EQ(f.length, 0);
  EXPECT_EQ(f.bytes[0], 0);
}

}  // namespace
