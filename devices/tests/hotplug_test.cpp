#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/frame.h"
#include "devices/hotplug.h"
#include "devices/tests/fake_channel.h"
#include "devices/transceiver_queue.h"

// Allocation failure on demand, for the one test that needs it: the nothrow
// form is what CreateDeviceRecord uses.
static std::atomic<bool> g_failAllocations{false};

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_failAllocations) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

class Hotplug : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakeChannel(context.devices); }
  void TearDown() override {
    DeviceRecord* out[kMaxDevices];
    int n = TableTakeAll(context.devices, out);
    for (int i = 0; i < n; ++i) ReleaseDeviceRecord(out[i]);
  }

  // What a device event would do: split the device path, then add or remove.
  void Arrive(const char* path) {
    char prefix[kHardwareIdPrefixSize];
    char serial[kSerialTextSize];
    if (SplitDevicePath(path, prefix, serial)) AddDevice(prefix, serial, context);
  }
  void Depart(const char* path) {
    char prefix[kHardwareIdPrefixSize];
    char serial[kSerialTextSize];
    if (SplitDevicePath(path, prefix, serial)) RemoveDevice(serial, prefix, context);
  }

  std::string SerialAt(int slot) { return context.devices.entries[slot]->serialNumber; }

  ServiceContext context{};
};

// Each takes its slot at once and is opened there by its own thread (the
// stand-in channel opens on the adding thread), never under the guard.
TEST_F(Hotplug, BothProductIdsTakeTheirSlotsInOrderAndAreOpenedThere) {
  ParseInstanceId("USB\\VID_0403&PID_F06F\\EL000123", context);
  ParseInstanceId("USB\\VID_0403&PID_E0E8\\EL000124", context);
  ASSERT_EQ(context.devices.count, 2);
  ASSERT_EQ(g_channel.opens.size(), 2u);
  EXPECT_EQ(g_channel.opens[0].serial, "EL000123");
  EXPECT_EQ(g_channel.opens[1].serial, "EL000124");
  EXPECT_EQ(context.devices.entries[0]->instance, 0);
  EXPECT_EQ(context.devices.entries[1]->instance, 1);
  for (const ChannelCall& open : g_channel.opens) {
    EXPECT_TRUE(open.guardWasFree);
    EXPECT_TRUE(open.recordWasInTable);
  }
}

TEST_F(Hotplug, OnlyTheTwoHardwareIdsWithSerialsBeginningElInAnyCaseAreAccepted) {
  const char* accepted[] = {
      "USB\\VID_0403&PID_F06F\\el000001",
      "USB\\VID_0403&PID_F06F\\eL000002",
      "usb\\vid_0403&pid_e0e8\\El000003",
  };
  const char* ignored[] = {
      "USB\\VID_0403&PID_F06F\\EX000004",
      "USB\\VID_0403&PID_F06F\\XEL00005",
      "USB\\VID_0403&PID_F06F\\E",
      "USB\\VID_0403&PID_F06F\\",
      "USB\\VID_0404&PID_F06F\\EL000006",
      "USB\\VID_0403&PID_6001\\EL000007",
      "USB\\VID_0403&PID_F06F&MI_00\\EL000008",
      "FTDIBUS\\VID_0403&PID_F06F\\EL000009",
      // No serial number of its own: Windows made the last part up.
      "USB\\VID_0403&PID_F06F\\5&1A2B3C4D&0&1",
      "EL000010",
  };
  for (const char* id : ignored) ParseInstanceId(id, context);
  EXPECT_EQ(context.devices.count, 0);
  EXPECT_TRUE(g_channel.opens.empty());
  for (const char* id : accepted) ParseInstanceId(id, context);
  ASSERT_EQ(context.devices.count, 3);
  // On the start-up path the serial number keeps the case it came in.
  EXPECT_EQ(g_channel.opens[0].serial, "el000001");
  EXPECT_EQ(g_channel.opens[2].serial, "El000003");
}

TEST_F(Hotplug, ALowerCaseDevicePathArrivesUpperCased) {
  Arrive("\\\\?\\usb#vid_0403&pid_f06f#el000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  ASSERT_EQ(context.devices.count, 1);
  EXPECT_EQ(g_channel.opens[0].serial, "EL000123");
}

TEST_F(Hotplug, ASerialNumberAlreadyInTheTableInAnyCaseAddsNothing) {
  ParseInstanceId("USB\\VID_0403&PID_F06F\\el000123", context);
  Arrive("\\\\?\\USB#VID_0403&PID_F06F#EL000123#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
  // The same serial number under the other product id is the same transceiver.
  ParseInstanceId("USB\\VID_0403&PID_E0E8\\eL000123", context);
  EXPECT_EQ(context.devices.count, 1);
  EXPECT_EQ(g_channel.opens.size(), 1u);
}

// P, Q and R in slots 0 to 2; Q leaves, S arrives.
TEST_F(Hotplug, RemovalClosesTheGapAndAnArrivalTakesTheNextSlot) {
  ParseInstanceId("USB\\VID_0403&PID_F06F\\ELPPPP", context);
  ParseInstanceId("USB\\VID_0403&PID_F06F\\ELQQQQ", context);
  ParseInstanceId("USB\\VID_0403&PID_F06F\\ELRRRR", context);
  DeviceRecord* p = context.devices.entries[0];
  DeviceRecord* r = context.devices.entries[2];

  // Matched by serial number alone: the product id of the event differs.
  RemoveDevice("elqqqq", "USB\\VID_0403&PID_E0E8\\EL", context);
  ASSERT_EQ(context.devices.count, 2);
  EXPECT_EQ(context.devices.entries[0], p);
  EXPECT_EQ(context.devices.entries[1], r);
  EXPECT_EQ(r->instance, 2);
  ASSERT_EQ(g_channel.closes.size(), 1u);
  EXPECT_EQ(g_channel.closes[0].serial, "ELQQQQ");
  EXPECT_TRUE(g_channel.closes[0].guardWasFree);

  Arrive("\\\\?\\USB#VID_0403&PID_F06F#ELSSSS#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
  ASSERT_EQ(context.devices.count, 3);
  EXPECT_EQ(SerialAt(2), "ELSSSS");
  EXPECT_EQ(context.devices.entries[2]->instance, 2);

  // A request for position 1 now reaches R.
  Frame frame;
  PrepareFrame(frame, 1);
  LoadTableFrame(frame, 2);
  EXPECT_EQ(SendNow(context.devices, 1, frame), 0u);
  EXPECT_EQ(g_channel.devices["ELRRRR"]->written.size(), frame.length);
  EXPECT_TRUE(g_channel.devices["ELQQQQ"]->written.empty());

  // Taking out the last entry only lowers the count.
  Depart("\\\\?\\USB#VID_0403&PID_F06F#ELSSSS#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
  ASSERT_EQ(context.devices.count, 2);
  EXPECT_EQ(context.devices.entries[0], p);
  EXPECT_EQ(context.devices.entries[1], r);
}

TEST_F(Hotplug, RemovingASerialNumberNotInTheTableChangesNothing) {
  ParseInstanceId("USB\\VID_0403&PID_F06F\\EL000001", context);
  RemoveDevice("EL000002", "USB\\VID_0403&PID_F06F\\EL", context);
  RemoveDevice("EL00000", "USB\\VID_0403&PID_F06F\\EL", context);
  RemoveDevice("", "", context);
  EXPECT_EQ(context.devices.count, 1);
  EXPECT_TRUE(g_channel.closes.empty());
}

// P, X and R arrive; X's open fails, and it is plugged in again and again.
// Each arrival has X's own record opened again in slot 1, its old handle
// closed first; P and R keep their slots. Once X opens, a further arrival
// is a duplicate.
TEST_F(Hotplug, ReplugsOfATransceiverThatFailsToOpenReopenItsRecordInItsSlot) {
  const char* xPath = "\\\\?\\USB#VID_0403&PID_F06F#ELXXXX#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
  g_channel.failOpen.insert("ELXXXX");
  ParseInstanceId("USB\\VID_0403&PID_F06F\\ELPPPP", context);
  EXPECT_EQ(AddDevice("USB\\VID_0403&PID_F06F\\EL", "ELXXXX", context), kAddOpening);
  ParseInstanceId("USB\\VID_0403&PID_F06F\\ELRRRR", context);
  ASSERT_EQ(context.devices.count, 3);
  DeviceRecord* p = context.devices.entries[0];
  DeviceRecord* x = context.devices.entries[1];
  DeviceRecord* r = context.devices.entries[2];
  EXPECT_EQ(x->openStatus.load(), FT_DEVICE_NOT_OPENED);

  Frame frame;
  PrepareFrame(frame, 1);
  LoadTableFrame(frame, 2);
  for (int replug = 1; replug <= 3; ++replug) {
    // The driver's own answer for a handle that was never opened.
    EXPECT_EQ(SendNow(context.devices, 1, frame), FT_INVALID_HANDLE);
    Arrive(xPath);
    ASSERT_EQ(context.devices.count, 3);
    EXPECT_EQ(context.devices.entries[0], p);
    EXPECT_EQ(context.devices.entries[1], x) << "the same record, opened again";
    EXPECT_EQ(context.devices.entries[2], r);
    ASSERT_EQ(g_channel.closes.size(), static_cast<size_t>(replug));
    EXPECT_EQ(g_channel.closedRecords.back(), x);
    EXPECT_TRUE(g_channel.opens.back().guardWasFree);
    EXPECT_TRUE(g_channel.opens.back().recordWasInTable);
  }

  g_channel.failOpen.clear();
  EXPECT_EQ(AddDevice("USB\\VID_0403&PID_F06F\\EL", "ELXXXX", context), kAddReopening);
  ASSERT_EQ(context.devices.count, 3);
  EXPECT_EQ(context.devices.entries[1], x);
  EXPECT_EQ(SerialAt(1), "ELXXXX");
  EXPECT_EQ(SendNow(context.devices, 1, frame), 0u);
  EXPECT_EQ(g_channel.devices["ELXXXX"]->written.size(), frame.length);

  // Open now: a further arrival is a duplicate, and nothing else was closed.
  size_t opens = g_channel.opens.size();
  EXPECT_EQ(AddDevice("USB\\VID_0403&PID_F06F\\EL", "ELXXXX", context), kAddIgnored);
  EXPECT_EQ(g_channel.opens.size(), opens);
  EXPECT_EQ(g_channel.closes.size(), 4u);
}

// A dead record leaves with its transceiver's departure, matched by the
// serial number of the path it arrived with; and a stop during a reopen
// leaves the record to its thread, which closes it once the open has ended.
TEST_F(Hotplug, ADeadRecordIsRemovedByItsPathsSerialAndAStopNeverClosesAnOpeningRecord) {
  g_channel.failOpen.insert("EL000999");
  const char* path = "\\\\?\\USB#VID_0403&PID_F06F#el000999#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
  ParseInstanceId("USB\\VID_0403&PID_F06F\\el000999", context);
  ParseInstanceId("USB\\VID_0403&PID_F06F\\EL000001", context);
  ASSERT_EQ(context.devices.count, 2);
  EXPECT_EQ(SerialAt(0), "") << "no EEPROM serial number";
  EXPECT_TRUE(TableHasSerial(context.devices, "EL000999"));

  Depart(path);
  ASSERT_EQ(context.devices.count, 1);
  EXPECT_EQ(SerialAt(0), "EL000001");
  ASSERT_EQ(g_channel.closes.size(), 1u);
  EXPECT_EQ(g_channel.closes[0].serial, "el000999");

  // Dead again in slot 1; its next arrival meets a stop during the open.
  Arrive(path);
  ASSERT_EQ(context.devices.count, 2);
  g_channel.failOpen.clear();
  DeviceRecord* opening = nullptr;
  g_channel.duringOpen = [&](DeviceRecord& record) {
    opening = &record;
    TableClose(context.devices);
    DeviceRecord* out[kMaxDevices];
    int n = TableTakeAll(context.devices, out);
    for (int i = 0; i < n; ++i) {
      AskTransceiverToClose(*out[i]);
      ReleaseDeviceRecord(out[i]);
    }
  };
  size_t closes = g_channel.closes.size();
  EXPECT_EQ(AddDevice("USB\\VID_0403&PID_F06F\\EL", "EL000999", context), kAddReopening);
  EXPECT_EQ(context.devices.count, 0);
  ASSERT_EQ(g_channel.closes.size(), closes + 3) << "the dead one, the other, the opened one";
  EXPECT_EQ(g_channel.closedRecords.back(), opening) << "closed only once its open had ended";
  EXPECT_EQ(g_channel.closes.back().serial, "EL000999");

  // A closed table takes no arrival: nothing is left that nobody closes.
  g_channel.duringOpen = nullptr;
  EXPECT_EQ(AddDevice("USB\\VID_0403&PID_F06F\\EL", "EL000002", context), kAddRefused);
  EXPECT_EQ(context.devices.count, 0);
  TableReopen(context.devices);
}

TEST_F(Hotplug, ASixtyFifthTransceiverIsRefusedBeforeAnythingIsCreated) {
  char serial[kSerialTextSize];
  for (int i = 0; i < kMaxDevices; ++i) {
    std::snprintf(serial, sizeof serial, "EL%06d", i);
    AddDevice("USB\\VID_0403&PID_F06F\\EL", serial, context);
  }
  ASSERT_EQ(context.devices.count, kMaxDevices);
  EXPECT_EQ(context.devices.entries[kMaxDevices - 1]->instance, kMaxDevices - 1);
  EXPECT_EQ(AddDevice("USB\\VID_0403&PID_F06F\\EL", "EL999999", context), kAddTableFull);
  EXPECT_EQ(context.devices.count, kMaxDevices);
  EXPECT_EQ(g_channel.opens.size(), static_cast<size_t>(kMaxDevices));

  // Room again after a removal.
  RemoveDevice("EL000000", "", context);
  AddDevice("USB\\VID_0403&PID_F06F\\EL", "EL999999", context);
  EXPECT_EQ(context.devices.count, kMaxDevices);
  EXPECT_EQ(SerialAt(kMaxDevices - 1), "EL999999");
}

TEST_F(Hotplug, ARecordThatCannotBeAllocatedAddsNothing) {
  g_failAllocations = true;
  AddOutcome outcome = AddDevice("USB\\VID_0403&PID_F06F\\EL", "EL000001", context);
  g_failAllocations = false;
  EXPECT_EQ(outcome, kAddRefused);
  EXPECT_EQ(context.devices.count, 0);
  EXPECT_TRUE(g_channel.opens.empty());
  // The next arrival of the same transceiver is not taken for a duplicate.
  AddDevice("USB\\VID_0403&PID_F06F\\EL", "EL000001", context);
  EXPECT_EQ(context.devices.count, 1);
}

}  // namespace
