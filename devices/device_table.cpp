#include "devices/device_table.h"

#include <chrono>
#include <cstring>
#include <new>

#include "core/admin_event.h"
#include "core/frame.h"
#include "core/request.h"
#include "devices/device_channel.h"
#include "devices/send_frame.h"

ServiceContext g_context;

namespace {

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The serial number a record is known by, terminated: the EEPROM's, or the
// one it arrived with when the EEPROM gave none. A record still opening is
// known by the latter alone, since OpenDevice may be writing the former.
// Called under the guard.
void RecordSerial(const DeviceRecord& r, char out[kPathSerialSize]) {
  static_assert(kSerialNumberSize < kPathSerialSize, "room for the terminator");
  out[0] = '\0';
  if (r.openStatus.load(std::memory_order_acquire) != kOpenPending) {
    // The EEPROM read may leave the buffer without a terminator.
    std::memcpy(out, r.serialNumber, kSerialNumberSize);
    out[kSerialNumberSize] = '\0';
  }
  if (out[0] == '\0') {
    std::memcpy(out, r.pathSerial, kPathSerialSize);
    out[kPathSerialSize - 1] = '\0';
  }
}

// Index of the first live record known by this serial number, or -1.
int FindSerial(const DeviceTable& table, const char* serial) {
  if (serial[0] == '\0') return -1;
  for (int i = 0; i < table.count; ++i) {
    char own[kPathSerialSize];
    RecordSerial(*table.entries[i], own);
    if (own[0] != '\0' && TextEqualsIgnoreCase(own, serial)) return i;
  }
  return -1;
}

}  // namespace

bool TextEqualsIgnoreCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

DeviceRecord* CreateDeviceRecord(uint8_t instance) {
  DeviceRecord* r = new (std::nothrow) DeviceRecord();
  if (!r) return nullptr;
  r->refs.store(1, std::memory_order_relaxed);
  r->instance = instance;
  r->eeprom.Signature1 = 0x00000000;
  r->eeprom.Signature2 = 0xFFFFFFFF;
  r->eeprom.Manufacturer = r->manufacturer;
  r->eeprom.ManufacturerId = r->manufacturerId;
  r->eeprom.Description = r->description;
  r->eeprom.SerialNumber = r->serialNumber;
  return r;
}

void FreeDeviceRecord(DeviceRecord* record) { delete record; }

void HoldDeviceRecord(DeviceRecord* record) {
  record->refs.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseDeviceRecord(DeviceRecord* record) {
  if (!record) return;
  // acq_rel: whatever the other holders did to the record happens before the
  // last one closes it.
  if (record->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) CloseDevice(record);
}

bool TableAppend(DeviceTable& table, DeviceRecord* record) {
  std::lock_guard<std::mutex> hold(table.guard);
  if (table.count >= kMaxDevices) return false;
  table.entries[table.count] = record;
  ++table.count;
  return true;
}

int TableCount(DeviceTable& table) {
  std::lock_guard<std::mutex> hold(table.guard);
  return table.count;
}

SerialMatch TableMatchSerial(DeviceTable& table, const char* serial) {
  std::lock_guard<std::mutex> hold(table.guard);
  int slot = FindSerial(table, serial);
  if (slot < 0) return kSerialAbsent;
  uint32_t status = table.entries[slot]->openStatus.load(std::memory_order_acquire);
  return (status == kStatusOk || status == kOpenPending) ? kSerialOpen : kSerialDead;
}

bool TableHasSerial(DeviceTable& table, const char* serial) {
  return TableMatchSerial(table, serial) != kSerialAbsent;
}

DeviceRecord* TableTakeBySerial(DeviceTable& table, const char* serial) {
  std::lock_guard<std::mutex> hold(table.guard);
  int slot = FindSerial(table, serial);
  if (slot < 0) return nullptr;
  DeviceRecord* taken = table.entries[slot];
  --table.count;
  for (int i = slot; i < table.count; ++i) table.entries[i] = table.entries[i + 1];
  table.entries[table.count] = nullptr;
  return taken;
}

int TableTakeAll(DeviceTable& table, DeviceRecord* out[kMaxDevices]) {
  std::lock_guard<std::mutex> hold(table.guard);
  int n = table.count;
  for (int i = 0; i < n; ++i) {
    out[i] = table.entries[i];
    table.entries[i] = nullptr;
  }
  table.count = 0;
  return n;
}

DeviceRecord* TableReplaceDead(DeviceTable& table, const char* serial, DeviceRecord* fresh) {
  std::lock_guard<std::mutex> hold(table.guard);
  int slot = FindSerial(table, serial);
  if (slot < 0) return nullptr;
  DeviceRecord* dead = table.entries[slot];
  uint32_t status = dead->openStatus.load(std::memory_order_acquire);
  if (status == kStatusOk || status == kOpenPending) return nullptr;
  fresh->instance = static_cast<uint8_t>(slot);
  fresh->openStatus.store(kOpenPending, std::memory_order_relaxed);
  table.entries[slot] = fresh;
  return dead;
}

int TableFindSerial(DeviceTable& table, const char* serial) {
  std::lock_guard<std::mutex> hold(table.guard);
  return FindSerial(table, serial);
}

int TableSerials(DeviceTable& table, char out[kMaxDevices][kPathSerialSize]) {
  std::lock_guard<std::mutex> hold(table.guard);
  for (int i = 0; i < table.count; ++i) RecordSerial(*table.entries[i], out[i]);
  return table.count;
}

namespace {

// A failed send becomes an event for the administrator, at most one a
// minute per transceiver, with how many were left out meanwhile.
void ReportSendFault(DeviceRecord& record, const char* serial, int slot, DeviceStatus status) {
  uint32_t leftOut = 0;
  if (!FaultLimiterAdmit(record.faults, MonotonicMs(), &leftOut)) return;
  DecimalText instance = Decimal(static_cast<uint32_t>(slot));
  if (record.gateTimedOut) {
    ReportAdminEvent(kAdminTransceiverNotReady, {serial, instance.text, Decimal(leftOut).text});
  } else {
    ReportAdminEvent(kAdminWriteFailed, {serial, instance.text, ReplyText(status),
                                         Decimal(status).text, Decimal(leftOut).text});
  }
}

}  // namespace

uint32_t TableSendFrame(DeviceTable& table, uint8_t iid, const Frame& frame) {
  DeviceRecord* record = nullptr;
  {
    std::lock_guard<std::mutex> hold(table.guard);
    if (iid >= table.count) return kStatusDeviceNotFound;
    record = table.entries[iid];
    // Its handle is being made on another thread: no driver call may use it.
    if (record->openStatus.load(std::memory_order_acquire) == kOpenPending) {
      return FT_DEVICE_NOT_OPENED;
    }
    HoldDeviceRecord(record);
    RecordSerial(*record, table.sendSerial);
    table.sendSlot = iid;
    table.sendStartedMs.store(MonotonicMs(), std::memory_order_release);
  }
  DeviceStatus status = SendFrame(*record, frame);
  table.sendStartedMs.store(0, std::memory_order_release);
  // The copies are this thread's own: only it writes them, under the guard.
  if (status != kStatusOk) ReportSendFault(*record, table.sendSerial, iid, status);
  // Last here when the record left the table meanwhile: then this closes it.
  ReleaseDeviceRecord(record);
  return status;
}

bool TableStuckRequest(DeviceTable& table, uint64_t nowMs, uint64_t limitMs,
                       char serial[kPathSerialSize], int* slot) {
  std::lock_guard<std::mutex> hold(table.guard);
  // Read under the guard, so the stamp and the copies belong to one request.
  uint64_t started = table.sendStartedMs.load(std::memory_order_acquire);
  if (started == 0 || nowMs < started || nowMs - started <= limitMs) return false;
  if (serial) std::memcpy(serial, table.sendSerial, kPathSerialSize);
  if (slot) *slot = table.sendSlot;
  return true;
}

uint64_t MonotonicMs() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  // +1: 0 means "no request" in the stamp.
  return static_cast<uint64_t>(
             std::chrono::duration_cast<std::chrono::milliseconds>(since).count()) + 1;
}
