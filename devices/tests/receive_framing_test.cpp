#include <gtest/gtest.h>

#include <vector>

#include "core/frame.h"
#include "devices/device_table.h"
#include "devices/receive_framing.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Parser {
  DeviceRecord* record = CreateDeviceRecord(4);
  ~Parser() { FreeDeviceRecord(record); }
  void Feed(const Bytes& b) {
    FeedReceiveParser(*record, b.data(), static_cast<uint16_t>(b.size()));
  }
  // The last completed frame is still in rxBuf right after delivery.
  Bytes Held() const { return Bytes(record->rxBuf, record->rxBuf + record->rxCount); }
};

// Feeds byte by byte and counts deliveries: a byte that takes the parser
// from collecting back to hunting completed a frame, and so does a zero
// length byte after the start byte. (A long length byte also takes it from
// start seen back to hunting, but drops the start byte: no frame.)
int FramesIn(const Bytes& stream, Bytes* last = nullptr) {
  Parser p;
  int frames = 0;
  for (size_t i = 0; i < stream.size(); ++i) {
    int before = p.record->rxState;
    p.Feed(Bytes{stream[i]});
    bool delivered = (before == 2 && p.record->rxState == 0) || (before == 1 && stream[i] == 0);
    if (delivered) {
      ++frames;
      if (last) *last = p.Held();
    }
  }
  return frames;
}

const Bytes kStream = {0x00, 0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99};
const Bytes kFrame = {0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99};

TEST(ReceiveFraming, LeadingNoiseIsSkippedAndOneFrameIsCut) {
  Bytes got;
  EXPECT_EQ(FramesIn(kStream, &got), 1);
  EXPECT_EQ(got, kFrame);
}

TEST(ReceiveFraming, AFrameSplitAtAnyPositionIsTheSameFrame) {
  for (size_t split = 0; split <= kStream.size(); ++split) {
    Parser p;
    p.Feed(Bytes(kStream.begin(), kStream.begin() + split));
    p.Feed(Bytes(kStream.begin() + split, kStream.end()));
    EXPECT_EQ(p.record->rxState, 0) << "split " << split;
    EXPECT_EQ(p.Held(), kFrame) << "split " << split;
  }
}

TEST(ReceiveFraming, TwoFramesBackToBackInOneChunk) {
  Bytes two = kFrame;
  Bytes row2 = {0x81, 0x05, 0x04, 0x60, 0xC9, 0x01, 0x96};
  two.insert(two.end(), row2.begin(), row2.end());
  Bytes last;
  EXPECT_EQ(FramesIn(two, &last), 2);
  EXPECT_EQ(last, row2);
  for (size_t split = 0; split <= two.size(); ++split) {
    Parser p;
    p.Feed(Bytes(two.begin(), two.begin() + split));
    p.Feed(Bytes(two.begin() + split, two.end()));
    EXPECT_EQ(p.Held(), row2) << "split " << split;
  }
}

TEST(ReceiveFraming, AZeroLengthByteEndsTheFrameAtOnce) {
  Bytes last;
  EXPECT_EQ(FramesIn({0x81, 0x00, 0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99}, &last), 2);
  EXPECT_EQ(last, kFrame);
}

TEST(ReceiveFraming, LengthBytesAboveThirtyNeverStartAFrame) {
  for (uint8_t len : {uint8_t(0x1F), uint8_t(253), uint8_t(254), uint8_t(255)}) {
    Bytes s = {0x81, len};
    s.resize(2 + len, 0x81);  // a body full of start bytes
    s.push_back(0x81);        // the next frame begins
    EXPECT_EQ(FramesIn(s), 0) << int(len);
    Parser p;
    p.Feed(s);
    EXPECT_EQ(p.record->rxState, 1) << int(len);
    EXPECT_EQ(p.record->rxCount, 1) << int(len);
  }
  // 0x1E is still a frame, collected whole.
  Bytes longest = {0x81, 0x1E};
  longest.resize(2 + 0x1E, 0x81);
  Bytes got;
  EXPECT_EQ(FramesIn(longest, &got), 1);
  EXPECT_EQ(got, longest);
}

TEST(ReceiveFraming, AStrayStartByteWithALongLengthCostsNoRealFrame) {
  // A 0x81 whose "length" 0x81 is itself the start of a frame, then a stray
  // start byte with a long length, then the next frame.
  Bytes row2 = {0x81, 0x05, 0x04, 0x60, 0xC9, 0x01, 0x96};
  Bytes stream = {0x81};
  stream.insert(stream.end(), kFrame.begin(), kFrame.end());
  stream.insert(stream.end(), {0x81, 0xF0});
  stream.insert(stream.end(), row2.begin(), row2.end());
  Bytes last;
  EXPECT_EQ(FramesIn(stream, &last), 2);
  EXPECT_EQ(last, row2);
  Parser p;
  p.Feed(Bytes(stream.begin(), stream.begin() + 1 + kFrame.size()));
  EXPECT_EQ(p.Held(), kFrame);
}

TEST(ReceiveFraming, EndlessBytesNeverRunPastTheBuffer) {
  Parser p;
  Bytes chunk(65535);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7 + 0x81);
  for (int round = 0; round < 20; ++round) {
    p.Feed(chunk);
    ASSERT_LE(p.record->rxCount, 2 + 255);
  }
}

Frame FrameOf(const Bytes& b) {
  Frame f;
  PrepareFrame(f, 1);
  std::copy(b.begin(), b.end(), f.bytes);
  f.length = static_cast<uint8_t>(b.size());
  return f;
}

TEST(CheckReceived, AcceptsTheLayoutOfEverySentFrame) {
  Frame f = FrameOf(kFrame);
  EXPECT_EQ(CheckReceivedFrame(f), 1);
  EXPECT_EQ(f.valid, 1);
  for (uint8_t row = 0; row < kFrameTableRows; ++row) {
    if (row == kSendTemplateRow || row == 7 || row == 8) continue;  // placeholders
    Frame t;
    PrepareFrame(t, 0);
    LoadTableFrame(t, row);
    EXPECT_EQ(CheckReceivedFrame(t), 1) << "row " << int(row);
  }
}

TEST(CheckReceived, RejectsBadStartLengthOrChecksum) {
  Bytes badSum = kFrame;
  badSum[3] ^= 1;
  Bytes badLen = kFrame;
  badLen[1] = 4;
  Bytes badStart = kFrame;
  badStart[0] = 0x80;
  for (const Bytes& b : {badSum, badLen, badStart, Bytes{0x81, 0x00}, Bytes{0x81, 0x01, 0x04}}) {
    Frame f = FrameOf(b);
    f.valid = 1;
    EXPECT_EQ(CheckReceivedFrame(f), 0);
    EXPECT_EQ(f.valid, 0);
  }
}

}  // namespace
