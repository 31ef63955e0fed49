#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/handle_request.h"
#include "core/request.h"
#include "devices/device_table.h"
#include "devices/tests/fake_channel.h"
#include "devices/tests/fake_d2xx.h"

namespace {

// The reply as 8-bit text, checking that it is UTF-16LE with a terminator
// exactly where the byte count says.
std::string Decode(const uint8_t* reply, uint32_t bytes) {
  EXPECT_EQ(bytes % 2, 0u);
  EXPECT_GE(bytes, 2u);
  std::string text;
  for (uint32_t i = 0; i + 2 < bytes; i += 2) {
    EXPECT_EQ(reply[i + 1], 0);
    EXPECT_NE(reply[i], 0);
    text.push_back(static_cast<char>(reply[i]));
  }
  EXPECT_EQ(reply[bytes - 2], 0);
  EXPECT_EQ(reply[bytes - 1], 0);
  return text;
}

TEST(Replies, EveryStatusHasItsText) {
  const char* expected[] = {
      "OK", "ZARVO device handle invalid.", "ZARVO device not found.",
      "ZARVO device not opened.", "ZARVO i/o error.", "Insufficient resources.",
      "Invalid parameter.", "Invalid baud rate.",
      "ZARVO device not opened for erase.", "ZARVO device not opened for write.",
      "Failed to write to ZARVO device.", "EEPROM read failed.",
      "EEPROM write failed.", "EEPROM erase failed.", "EEPROM not present.",
      "EEPROM not programmed.", "Invalid arguments.", "Not supported."};
  size_t longest = 0;
  for (DeviceStatus s = 0; s < 18; ++s) {
    uint8_t reply[kReplyBufferSize];
    uint32_t n = EncodeReply(s, reply, sizeof reply);
    EXPECT_EQ(Decode(reply, n), expected[s]);
    longest = std::max<size_t>(longest, n);
  }
  EXPECT_EQ(longest, kLongestReplyBytes);
}

TEST(Replies, EighteenAndAboveAreOtherError) {
  for (DeviceStatus s : {18u, 19u, 255u, 0xFFFFFFFFu}) {
    uint8_t reply[kReplyBufferSize];
    uint32_t n = EncodeReply(s, reply, sizeof reply);
    EXPECT_EQ(Decode(reply, n), "Other error.");
  }
}

TEST(Replies, OkIsSixBytesAndASmallBufferGetsNothing) {
  uint8_t reply[kReplyBufferSize];
  EXPECT_EQ(EncodeReply(0, reply, sizeof reply), 6u);
  std::memset(reply, 0xAA, sizeof reply);
  EXPECT_EQ(EncodeReply(0, reply, 5), 0u);
  EXPECT_EQ(reply[0], 0xAA);
}

class HandleRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceRecord* gone[kMaxDevices];
    int n = TableTakeAll(g_context.devices, gone);
    for (int i = 0; i < n; ++i) ReleaseDeviceRecord(gone[i]);
  }
  void TearDown() override { SetUp(); }

  DeviceRecord* Attach(FakeDevice& device) {
    DeviceRecord* r = CreateDeviceRecord(static_cast<uint8_t>(TableCount(g_context.devices)));
    r->handle = AsHandle(device);
    MarkServing(*r);
    EXPECT_TRUE(TableAppend(g_context.devices, r));
    return r;
  }

  std::string Send(const PipeRequest& request) {
    uint8_t reply[kReplyBufferSize];
    uint32_t bytes = 0;
    HandleRequestNow(request, reply, bytes);
    return Decode(reply, bytes);
  }
};

PipeRequest Request(uint8_t iid, uint8_t data = 0) {
  PipeRequest r{};
  r.iid = iid;
  r.hc1 = 1234;
  r.hc2 = 1111;
  r.addr = 1111;
  r.cmd = 0x11;
  r.data = data;
  return r;
}

TEST_F(HandleRequestTest, WithNoTransceiverEveryRequestIsNotFound) {
  EXPECT_EQ(Send(Request(0)), "ZARVO device not found.");
  EXPECT_EQ(Send(Request(255)), "ZARVO device not found.");
}

TEST_F(HandleRequestTest, RelaysTheFrameToTheChosenTransceiver) {
  FakeDevice a, b;
  Attach(a);
  Attach(b);
  EXPECT_EQ(Send(Request(1)), "OK");
  EXPECT_TRUE(a.written.empty());
  EXPECT_EQ(b.written, (std::vector<uint8_t>{0x81, 0x09, 0x04, 0x30, 0x02, 0x01,
                                              0x01, 0x1B, 0x00, 0x00, 0x11}));
  EXPECT_EQ(Send(Request(0, 5)), "OK");
  ASSERT_EQ(a.written.size(), 12u);
  EXPECT_EQ(a.written[1], 0x0A);
  EXPECT_EQ(a.written[11], 0x05);
}

TEST_F(HandleRequestTest, AnIidAtOrPastTheCountTouchesNoTransceiver) {
  FakeDevice a;
  Attach(a);
  EXPECT_EQ(Send(Request(1)), "ZARVO device not found.");
  EXPECT_EQ(a.polls, 0);
  EXPECT_EQ(a.writes, 0);
}

TEST_F(HandleRequestTest, TheReservedByteHasNoEffect) {
  FakeDevice a;
  Attach(a);
  PipeRequest r = Request(0);
  r.reserved = 0xA5;
  EXPECT_EQ(Send(r), "OK");
  EXPECT_EQ(a.written.size(), 11u);
  EXPECT_EQ(a.written[3], 0x30);
}

TEST_F(HandleRequestTest, DriverStatusesBecomeTheirTexts) {
  FakeDevice a;
  Attach(a);
  a.writeStatus = FT_IO_ERROR;
  EXPECT_EQ(Send(Request(0)), "ZARVO i/o error.");
  a.writeStatus = 18;
  EXPECT_EQ(Send(Request(0)), "Other error.");
  a.writeStatus = FT_OK;
  a.pollStatus = FT_INVALID_HANDLE;
  EXPECT_EQ(Send(Request(0)), "ZARVO device handle invalid.");
}

TEST_F(HandleRequestTest, ARequestAfterTheTableWasEmptiedIsNotFound) {
  FakeDevice a;
  Attach(a);
  EXPECT_EQ(Send(Request(0)), "OK");
  DeviceRecord* taken[kMaxDevices];
  int n = TableTakeAll(g_context.devices, taken);
  ASSERT_EQ(n, 1);
  ReleaseDeviceRecord(taken[0]);
  EXPECT_EQ(Send(Request(0)), "ZARVO device not found.");
  EXPECT_EQ(a.writes, 1);
}

}  // namespace
