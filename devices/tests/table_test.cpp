#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/frame.h"
#include "devices/device_table.h"
#include "devices/tests/fake_channel.h"
#include "devices/tests/fake_d2xx.h"

namespace {

DeviceRecord* Make(DeviceTable& table, const char* serial) {
  DeviceRecord* r = CreateDeviceRecord(static_cast<uint8_t>(TableCount(table)));
  std::snprintf(r->serialNumber, sizeof r->serialNumber, "%s", serial);
  return r;
}

// As the stop does: take every record out and drop the table's references.
void Empty(DeviceTable& table) {
  DeviceRecord* out[kMaxDevices];
  int n = TableTakeAll(table, out);
  for (int i = 0; i < n; ++i) ReleaseDeviceRecord(out[i]);
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
  ReleaseDeviceRecord(b);
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
  for (DeviceRecord* r : out) ReleaseDeviceRecord(r);
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
  ReleaseDeviceRecord(a);
  ReleaseDeviceRecord(b);
}

// Two transceivers; a request to the first is held inside the driver (the
// test holds the fake device's lock, so its modem-status poll waits there).
// Meanwhile the guard is free: the watchdog sees the request, the first
// transceiver is removed and the rest of the table is emptied as the stop
// does. Only the held record stays open, and the request
// closes it, once, when it comes back from the driver.
TEST(Table, ARequestInsideTheDriverKeepsItsRecordAliveAndItsLastReleaseClosesIt) {
  DeviceTable table{};
  ResetFakeChannel(table);
  FakeDevice held;
  DeviceRecord* a = Make(table, "EL7");
  a->handle = AsHandle(held);
  TableAppend(table, a);
  DeviceRecord* b = Make(table, "");  // no EEPROM serial: known by its path's
  std::snprintf(b->pathSerial, sizeof b->pathSerial, "%s", "EL8");
  TableAppend(table, b);

  Frame frame;
  PrepareFrame(frame, 0);
  LoadTableFrame(frame, 2);
  char serial[kPathSerialSize] = "unset";
  int slot = -1;
  EXPECT_FALSE(TableStuckRequest(table, MonotonicMs() + 100000, 0, serial, &slot));

  std::unique_lock<std::mutex> inDriver(held.mu);
  std::atomic<uint32_t> status{99};
  std::thread request([&] { status = TableSendFrame(table, 0, frame); });
  while (table.sendStartedMs.load() == 0) std::this_thread::yield();
  uint64_t began = table.sendStartedMs.load();

  EXPECT_FALSE(TableStuckRequest(table, began + 1000, 1000, serial, &slot)) << "not over the limit";
  EXPECT_TRUE(TableStuckRequest(table, began + 1001, 1000, serial, &slot));
  EXPECT_STREQ(serial, "EL7");
  EXPECT_EQ(slot, 0);

  EXPECT_EQ(TableTakeBySerial(table, "el7"), a);
  ReleaseDeviceRecord(a);
  EXPECT_EQ(table.count, 1);
  Empty(table);
  EXPECT_EQ(TableSendFrame(table, 0, frame), 2u) << "device not found";
  ASSERT_EQ(g_channel.closes.size(), 1u) << "only the record nobody holds is closed";
  EXPECT_EQ(g_channel.closedRecords[0], b);
  EXPECT_EQ(g_channel.closes[0].serial, "EL8");

  inDriver.unlock();
  request.join();
  EXPECT_EQ(status.load(), 0u);
  EXPECT_EQ(held.written.size(), frame.length) << "the whole frame went to the held record";
  ASSERT_EQ(g_channel.closes.size(), 2u);
  EXPECT_EQ(g_channel.closedRecords[1], a);
  EXPECT_TRUE(g_channel.closes[1].guardWasFree);
  EXPECT_EQ(table.sendStartedMs.load(), 0u);
  EXPECT_FALSE(TableStuckRequest(table, MonotonicMs() + 100000, 0, serial, &slot));
  g_channel.table = nullptr;
}

TEST(Table, TheMonotonicClockNeverGoesBackAndIsNeverZero) {
  uint64_t first = MonotonicMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint64_t second = MonotonicMs();
  EXPECT_GT(first, 0u);
  EXPECT_GE(second, first + 15);
}

}  // namespace
