// Adding and removing transceivers as they are found or come and go.
//
// Threads: AddDevice and RemoveDevice run on the service main thread during
// the start-up walk and afterwards only on the service control thread, one
// call at a time; nothing else adds, replaces or removes single records, so
// a duplicate test made before an append or a replacement still holds when
// it is done. The pipe server thread reads the table concurrently, and the
// stop may empty it; every table access below goes through the table
// functions, which hold its guard. Opening and closing a transceiver take up
// to seconds (line set-up, start-up frames, the reader thread's stop
// handshake) and run outside the guard: a new record is opened before it is
// appended; a replacement sits in its slot marked as opening, which requests
// answer without touching it; a leaving record is released after it has
// been taken out, and closed by whoever lets go of it last. AddDevice holds
// its own reference to a replacement it opens in the table until the open
// has ended, so a stop that empties the table meanwhile never closes a
// record under an open.
#include "devices/hotplug.h"

#include <cstring>

#include "core/trace.h"
#include "devices/device_channel.h"

const char HardwareIdTable[2][25] = {
    "USB\\VID_0403&PID_E0E8\\EL",
    "USB\\VID_0403&PID_F06F\\EL",
};

bool IsTransceiverPrefix(const char* prefix) {
  for (const char* row : HardwareIdTable) {
    if (TextEqualsIgnoreCase(prefix, row)) return true;
  }
  return false;
}

namespace {

// A new record that remembers the serial number it arrived with; the
// caller holds its one reference.
DeviceRecord* NewRecord(uint8_t instance, const char* serial) {
  DeviceRecord* record = CreateDeviceRecord(instance);
  if (!record) return nullptr;
  size_t n = std::strlen(serial);
  if (n >= kPathSerialSize) n = kPathSerialSize - 1;
  std::memcpy(record->pathSerial, serial, n);
  record->pathSerial[n] = '\0';
  return record;
}

DeviceStatus Open(const char* serial, DeviceRecord& record, ServiceContext& context) {
  if (context.progress) context.progress(context, kOpenWaitHintMs);
  DeviceStatus status = OpenDevice(serial, record);
  // Release order: the handle and the EEPROM strings are in place before a
  // request or a match can see the record as open.
  record.openStatus.store(status, std::memory_order_release);
  return status;
}

// The arrival of a transceiver whose record failed to open: a new record
// takes the dead one's slot, so the slots after it keep their numbers and
// replugging never piles up dead records.
DeviceStatus ReplaceDeadDevice(const char* serial, ServiceContext& context) {
  DeviceRecord* fresh = NewRecord(0, serial);
  if (!fresh) return kStatusOk;
  // One reference for the table, one kept here until the open has ended.
  HoldDeviceRecord(fresh);
  DeviceRecord* dead = TableReplaceDead(context.devices, serial, fresh);
  if (!dead) {
    // Cannot happen while this thread alone adds and removes; drop it unopened.
    ReleaseDeviceRecord(fresh);
    ReleaseDeviceRecord(fresh);
    return kStatusOk;
  }
  TraceHook("replacing the dead record in slot", fresh->instance);
  // The driver refuses to open a device twice: the dead record's handle, if
  // its open got that far, must be closed first. A request that still holds
  // it delays that close until it ends; the open below then fails and the
  // next arrival tries again.
  ReleaseDeviceRecord(dead);
  DeviceStatus status = Open(serial, *fresh, context);
  ReleaseDeviceRecord(fresh);
  return status;
}

}  // namespace

void ParseInstanceId(const char* id, ServiceContext& context) {
  char prefix[kHardwareIdPrefixSize];
  char serial[kSerialTextSize];
  if (SplitInstanceId(id, prefix, serial)) AddDevice(prefix, serial, context);
}

DeviceStatus AddDevice(const char* prefix, const char* serial, ServiceContext& context) {
  DeviceTable& table = context.devices;
  TraceHook("offered serial number", serial);
  if (!IsTransceiverPrefix(prefix)) return kStatusOk;
  SerialMatch match = TableMatchSerial(table, serial);
  if (match == kSerialOpen) return kStatusOk;
  if (match == kSerialDead) return ReplaceDeadDevice(serial, context);
  int count = TableCount(table);
  if (count >= kMaxDevices) {
    TraceHook("table full, refused serial number", serial);
    return kStatusOk;
  }
  DeviceRecord* record = NewRecord(static_cast<uint8_t>(count), serial);
  if (!record) return kStatusOk;
  // A failed open still takes a slot, so that requests for this position get
  // the driver's own status for it.
  DeviceStatus status = Open(serial, *record, context);
  // The append takes over the only reference; without it, closing the record
  // is up to us.
  if (!TableAppend(table, record)) {
    ReleaseDeviceRecord(record);
    return kStatusOk;
  }
  return status;
}

void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context) {
  TraceHook("removed prefix", prefix);
  TraceHook("removed serial number", serial);
  ReleaseDeviceRecord(TableTakeBySerial(context.devices, serial));
}
