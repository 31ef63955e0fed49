// Adding and removing transceivers as they are found or come and go.
//
// Threads: AddDevice and RemoveDevice run on the service main thread during
// the start-up walk and afterwards only on the service control thread, one
// call at a time; nothing else adds or removes records, so a duplicate test
// made before an append still holds when the append is done. The pipe server
// thread reads the table concurrently; every table access below goes through
// the table functions, which hold its guard. Opening and closing a
// transceiver take up to seconds (line set-up, the reader thread's stop
// handshake) and run outside the guard: a new record is opened before it is
// appended, and a leaving record is closed after it has been taken out, so no
// request ever reaches a record that is not fully open.
#include "devices/hotplug.h"

#include "core/trace.h"
#include "devices/device_channel.h"

const char HardwareIdTable[2][25] = {
    "USB\\VID_0403&PID_E0E8\\EL",
    "USB\\VID_0403&PID_F06F\\EL",
};

namespace {

bool IsTransceiver(const char* prefix) {
  for (const char* row : HardwareIdTable) {
    if (TextEqualsIgnoreCase(prefix, row)) return true;
  }
  return false;
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
  if (!IsTransceiver(prefix)) return kStatusOk;
  if (TableHasSerial(table, serial)) return kStatusOk;
  int count = TableCount(table);
  if (count >= kMaxDevices) {
    TraceHook("table full, refused serial number", serial);
    return kStatusOk;
  }
  DeviceRecord* record = CreateDeviceRecord(static_cast<uint8_t>(count));
  if (!record) return kStatusOk;
  // A failed open still takes a slot, so that requests for this position get
  // the driver's own status for it.
  DeviceStatus status = OpenDevice(serial, *record);
  if (!TableAppend(table, record)) {
    CloseDevice(record);
    return kStatusOk;
  }
  return status;
}

void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context) {
  TraceHook("removed prefix", prefix);
  TraceHook("removed serial number", serial);
  DeviceRecord* record = TableTakeBySerial(context.devices, serial);
  if (record) CloseDevice(record);
}
