#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/frame.h"
#include "devices/device_table.h"
#include "devices/transceiver_queue.h"
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

// A request is held inside the driver (the test holds the fake device's
// lock, so the transceiver's modem-status poll waits there) while a second
// one queues behind it. The watchdog gives up on the call once it is over
// the limit: both are answered "i/o error" at once, exactly once, and a new
// request is answered so without queueing. When the held call returns, its
// result reaches nobody; once the transceiver is no longer stuck, requests
// are written again.
TEST(Transceiver, AStuckCallIsGivenUpOnOnceAndItsLateReturnAnswersNobody) {
  static std::mutex outcomesMu;
  static std::vector<std::pair<uint64_t, DeviceStatus>> outcomes;
  outcomes.clear();
  DeviceTable table{};
  ResetFakeChannel(table);
  FakeDevice held;
  DeviceRecord* a = Make(table, "EL7");
  a->handle = AsHandle(held);
  a->table = &table;
  MarkServing(*a);
  TableAppend(table, a);
  SetRequestOutcomeSink([](uint64_t tag, DeviceStatus status) {
    std::lock_guard<std::mutex> hold(outcomesMu);
    outcomes.push_back({tag, status});
  });
  auto answered = [] {
    std::lock_guard<std::mutex> hold(outcomesMu);
    return outcomes;
  };

  Frame frame;
  PrepareFrame(frame, 0);
  LoadTableFrame(frame, 2);
  DeviceStatus status = 99;
  std::unique_lock<std::mutex> inDriver(held.mu);
  // The stand-in channel writes on the thread that queues: this one plays
  // the transceiver's own thread.
  std::thread writer([&] { TableSubmitRequest(table, 0, frame, 1, &status); });
  while (a->sender.startedMs.load() == 0) std::this_thread::yield();
  uint64_t began = a->sender.startedMs.load();
  EXPECT_TRUE(TableSubmitRequest(table, 0, frame, 2, &status)) << "queued behind the held one";

  EXPECT_EQ(CheckStuckTransceivers(began + 1000, 1000), 0) << "not over the limit";
  EXPECT_EQ(CheckStuckTransceivers(began + 1001, 1000), 1);
  EXPECT_EQ(CheckStuckTransceivers(began + 5000, 1000), 0) << "given up on once";
  EXPECT_EQ(answered(), (std::vector<std::pair<uint64_t, DeviceStatus>>{{1, FT_IO_ERROR},
                                                                         {2, FT_IO_ERROR}}));
  EXPECT_FALSE(TableSubmitRequest(table, 0, frame, 3, &status));
  EXPECT_EQ(status, FT_IO_ERROR);

  inDriver.unlock();
  writer.join();
  EXPECT_EQ(held.written.size(), frame.length) << "the held call did write its frame";
  EXPECT_EQ(answered().size(), 2u) << "its late result reaches nobody";

  EXPECT_TRUE(ClearStuck(*a));
  EXPECT_FALSE(ClearStuck(*a));
  EXPECT_EQ(SendNow(table, 0, frame), 0u);
  EXPECT_EQ(held.written.size(), 2u * frame.length);
  Empty(table);
  SetRequestOutcomeSink(nullptr);
  g_channel.table = nullptr;
}

// The watchdog sights a call over the limit, and before it takes the
// record's lock the call returns and the next request's call begins. Its
// verdict is on the call it sighted: it gives up on nothing, and the next
// request, whose frame is about to go out, is not answered "i/o error".
TEST(Transceiver, AWatchdogVerdictOnACallThatReturnedMeanwhileGivesUpOnNothing) {
  DeviceTable table{};
  ResetFakeChannel(table);
  DeviceRecord* a = Make(table, "EL8");
  a->table = &table;
  MarkServing(*a);
  TableAppend(table, a);
  static std::vector<uint64_t> answered;
  answered.clear();
  SetRequestOutcomeSink([](uint64_t tag, DeviceStatus) { answered.push_back(tag); });

  CallSighting seen{};
  {
    LockHold hold(a->lock);
    a->currentTag = 1;
    a->currentOwed = 1;
  }
  {
    DriverCall first(*a);
    ASSERT_TRUE(SightCall(a->sender, seen)) << "the watchdog sees the call in flight";
  }
  // Request 1 answered by its thread; request 2 in hand, its call begins.
  {
    LockHold hold(a->lock);
    a->currentOwed = 0;
    a->currentTag = 2;
    a->currentOwed = 1;
  }
  {
    DriverCall second(*a);
    EXPECT_FALSE(GiveUpOnCall(*a, false, seen)) << "a verdict on another call";
    EXPECT_FALSE(TransceiverStuck(*a));
    EXPECT_TRUE(answered.empty()) << "request 2 is still its thread's to answer";
    // A sighting of the call now in flight is a valid verdict.
    CallSighting now{};
    ASSERT_TRUE(SightCall(a->sender, now));
    EXPECT_TRUE(GiveUpOnCall(*a, false, now));
    EXPECT_EQ(answered, std::vector<uint64_t>{2});
  }
  EXPECT_TRUE(ClearStuck(*a));
  Empty(table);
  SetRequestOutcomeSink(nullptr);
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
