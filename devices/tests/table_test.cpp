#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/frame.h"
#include "devices/device_table.h"
#include "devices/tests/fake_d2xx.h"

namespace {

DeviceRecord* Make(DeviceTable& table, const char* serial) {
  DeviceRecord* r = CreateDeviceRecord(static_cast<uint8_t>(TableCount(table)));
  std::snprintf(r->serialNumber, sizeof r->serialNumber, "%s", serial);
  return r;
}

void Empty(DeviceTable& table) {
  DeviceRecord* out[kMaxDevices];
  int n = TableTakeAll(table, out);
  for (int i = 0; i < n; ++i) FreeDeviceRecord(out[i]);
}

TEST(Record, EepromIsPresetToFillTheRecordsOwnBuffers) {
  DeviceRecord* r = CreateDeviceRecord(9);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->instance, 9);
  EXPECT_EQ(r->eeprom.Signature1, 0x00000000u);
  EXPECT_EQ(r->eeprom.Signature2, 0xFFFFFFFFu);
  EXPECT_EQ(r->eeprom.Manufacturer, r->manufacturer);
  EXPECT_EQ(r->eeprom.ManufacturerId, r->manufacturerId);
  EXPECT_EQ(r->eeprom.Description, r->description);
  EXPECT_EQ(r->eeprom.SerialNumber, r->serialNumber);
  EXPECT_EQ(r->handle, nullptr);
  EXPECT_EQ(r->rxState, 0);
  EXPECT_EQ(r->serialNumber[0], '\0');
  FreeDeviceRecord(r);
}

TEST(Table, RemovalFromTheMiddleShiftsLaterRecordsAndKeepsTheirInstance) {
  DeviceTable table{};
  DeviceRecord* a = Make(table, "EL000001");
  ASSERT_TRUE(TableAppend(table, a));
  DeviceRecord* b = Make(table, "EL000002");
  ASSERT_TRUE(TableAppend(table, b));
  DeviceRecord* c = Make(table, "EL000003");
  ASSERT_TRUE(TableAppend(table, c));

  EXPECT_EQ(TableTakeBySerial(table, "el000002"), b);
  FreeDeviceRecord(b);
  EXPECT_EQ(table.count, 2);
  EXPECT_EQ(table.entries[0], a);
  EXPECT_EQ(table.entries[1], c);
  EXPECT_EQ(c->instance, 2);
  EXPECT_EQ(table.entries[2], nullptr);

  EXPECT_EQ(TableTakeBySerial(table, "EL000009"), nullptr);
  EXPECT_EQ(table.count, 2);
  Empty(table);
}

TEST(Table, ARecordWithoutSerialNumberIsNeverMatched) {
  DeviceTable table{};
  ASSERT_TRUE(TableAppend(table, Make(table, "")));
  EXPECT_FALSE(TableHasSerial(table, ""));
  EXPECT_EQ(TableTakeBySerial(table, ""), nullptr);
  EXPECT_TRUE(TableAppend(table, Make(table, "EL1")));
  EXPECT_TRUE(TableHasSerial(table, "eL1"));
  EXPECT_FALSE(TableHasSerial(table, "EL"));
  EXPECT_FALSE(TableHasSerial(table, "EL12"));
  Empty(table);
}

TEST(Table, ASerialFilledToTheLastByteIsStillCompared) {
  DeviceTable table{};
  DeviceRecord* r = Make(table, "");
  std::memset(r->serialNumber, 'A', sizeof r->serialNumber);  // no terminator
  ASSERT_TRUE(TableAppend(table, r));
  EXPECT_TRUE(TableHasSerial(table, "aaaaaaaaaaaaaaaa"));
  EXPECT_FALSE(TableHasSerial(table, "AAAAAAAAAAAAAAAAA"));
  Empty(table);
}

TEST(Table, ASixtyFifthRecordIsRefused) {
  DeviceTable table{};
  for (int i = 0; i < kMaxDevices; ++i) ASSERT_TRUE(TableAppend(table, Make(table, "")));
  DeviceRecord* extra = Make(table, "");
  EXPECT_FALSE(TableAppend(table, extra));
  EXPECT_EQ(table.count, kMaxDevices);
  FreeDeviceRecord(extra);
  DeviceRecord* out[kMaxDevices];
  EXPECT_EQ(TableTakeAll(table, out), kMaxDevices);
  EXPECT_EQ(table.count, 0);
  for (DeviceRecord* r : out) FreeDeviceRecord(r);
}

TEST(Table, TakeAllKeepsSlotOrder) {
  DeviceTable table{};
  DeviceRecord* a = Make(table, "A");
  DeviceRecord* b = Make(table, "B");
  TableAppend(table, a);
  TableAppend(table, b);
  DeviceRecord* out[kMaxDevices];
  ASSERT_EQ(TableTakeAll(table, out), 2);
  EXPECT_EQ(out[0], a);
  EXPECT_EQ(out[1], b);
  FreeDeviceRecord(a);
  FreeDeviceRecord(b);
}

// A request in flight holds the table's guard until its write is done, so a
// concurrent removal only gets the record afterwards and frees nothing that
// the request still writes to.
TEST(Table, RemovalWaitsForTheRequestWritingToTheRecord) {
  DeviceTable table{};
  FakeDevice device;
  device.modemSequence = std::deque<uint32_t>(300, 0x20);  // a slow gate
  DeviceRecord* r = Make(table, "EL7");
  r->handle = AsHandle(device);
  TableAppend(table, r);

  Frame frame;
  PrepareFrame(frame, 0);
  LoadTableFrame(frame, 2);
  std::atomic<bool> sent{false};
  std::thread request([&] {
    EXPECT_EQ(TableSendFrame(table, 0, frame), 0u);
    sent = true;
  });
  for (;;) {
    std::lock_guard<std::mutex> hold(device.mu);
    if (device.polls > 0) break;
  }
  DeviceRecord* taken = TableTakeBySerial(table, "EL7");
  {
    // The whole frame was written before the removal got the record.
    std::lock_guard<std::mutex> hold(device.mu);
    EXPECT_EQ(device.written.size(), 7u);
  }
  EXPECT_EQ(taken, r);
  request.join();
  EXPECT_TRUE(sent.load());
  FreeDeviceRecord(taken);
  EXPECT_EQ(TableSendFrame(table, 0, frame), 2u);
}

}  // namespace
