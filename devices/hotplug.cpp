// Adding and removing transceivers as they are found or come and go.
//
// Threads: AddDevice and RemoveDevice run on the service main thread during
// the start-up walk and afterwards only on the service control thread, one
// call at a time; nothing else adds or removes records, so a duplicate test
// made before an append still holds when it is done. Neither calls the
// driver: a new record takes its slot at once and its own thread opens it;
// a leaving record is taken out and its own thread closes it. The pipe
// server thread reads the table concurrently, and the stop may empty it;
// every table access below goes through the table functions, which hold its
// guard.
#include "devices/hotplug.h"

#include <cstring>

#include "core/trace.h"
#include "devices/device_channel.h"
#include "devices/transceiver_queue.h"

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

}  // namespace

void ParseInstanceId(const char* id, ServiceContext& context) {
  char prefix[kHardwareIdPrefixSize];
  char serial[kSerialTextSize];
  if (SplitInstanceId(id, prefix, serial)) AddDevice(prefix, serial, context);
}

AddOutcome AddDevice(const char* prefix, const char* serial, ServiceContext& context,
                     AdminEvent openEvent) {
  DeviceTable& table = context.devices;
  TraceHook("offered serial number", serial);
  if (!IsTransceiverPrefix(prefix)) return kAddIgnored;
  SerialMatch match = TableMatchSerial(table, serial);
  if (match == kSerialOpen) return kAddIgnored;
  if (match == kSerialDead) {
    // A new record in the same slot would have to wait for the old one's
    // handle anyway: the old record's own thread opens it again instead, or
    // a new thread when its thread could not be started.
    DeviceRecord* dead = TableHoldBySerial(table, serial);
    if (!dead) return kAddIgnored;
    dead->openEvent.store(openEvent, std::memory_order_relaxed);
    bool serving;
    {
      LockHold hold(dead->lock);
      serving = dead->serving != 0;
      dead->serving = 1;
    }
    AddOutcome outcome = kAddReopening;
    if (serving) {
      AskTransceiverToReopen(*dead);
    } else if (StartTransceiver(*dead) != kStatusOk) {
      ReportOpenOutcome(*dead, FT_INSUFFICIENT_RESOURCES);
      outcome = kAddRefused;
    }
    ReleaseDeviceRecord(dead);
    return outcome;
  }
  int count = TableCount(table);
  if (count >= kMaxDevices) {
    TraceHook("table full, refused serial number", serial);
    return kAddTableFull;
  }
  DeviceRecord* record = NewRecord(static_cast<uint8_t>(count), serial);
  if (!record) return kAddRefused;
  record->openEvent.store(openEvent, std::memory_order_relaxed);
  record->table = &table;
  record->openStatus.store(kOpenPending, std::memory_order_relaxed);
  // The thread is started after the append, so that its open report finds
  // the slot; a request meanwhile queues for it, and is answered should the
  // thread fail to start. A reference of our own keeps the record until
  // then.
  record->serving = 1;
  HoldDeviceRecord(record);
  if (!TableAppend(table, record)) {
    ReleaseDeviceRecord(record);
    ReleaseDeviceRecord(record);
    return kAddRefused;
  }
  DeviceStatus started = StartTransceiver(*record);
  if (started != kStatusOk) ReportOpenOutcome(*record, started);
  ReleaseDeviceRecord(record);
  return started == kStatusOk ? kAddOpening : kAddRefused;
}

void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context) {
  TraceHook("removed prefix", prefix);
  TraceHook("removed serial number", serial);
  DeviceRecord* record = TableTakeBySerial(context.devices, serial);
  if (!record) return;
  AskTransceiverToClose(*record);
  ReleaseDeviceRecord(record);
}
