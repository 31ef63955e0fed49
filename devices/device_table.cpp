#include "devices/device_table.h"

#include <chrono>
#include <cstring>
#include <new>

#include "core/request.h"
#include "devices/device_channel.h"
#include "devices/transceiver_events.h"

ServiceContext g_context;

namespace {

// The registry of every record not yet freed (see the header).
Lock g_registryLock;
DeviceRecord* g_registryHead = nullptr;

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

// The EEPROM's serial number, or the one the record arrived with when the
// EEPROM gave none. A record still opening is known by the latter alone,
// since OpenDevice may be writing the former.
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

namespace {

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
  r->openEvent.store(kAdminTransceiverInUse, std::memory_order_relaxed);
  r->instance = instance;
  r->eeprom.Signature1 = 0x00000000;
  r->eeprom.Signature2 = 0xFFFFFFFF;
  r->eeprom.Manufacturer = r->manufacturer;
  r->eeprom.ManufacturerId = r->manufacturerId;
  r->eeprom.Description = r->description;
  r->eeprom.SerialNumber = r->serialNumber;
  LockHold hold(g_registryLock);
  r->registryNext = g_registryHead;
  if (g_registryHead) g_registryHead->registryPrev = r;
  g_registryHead = r;
  return r;
}

void FreeDeviceRecord(DeviceRecord* record) {
  if (!record) return;
  {
    LockHold hold(g_registryLock);
    if (record->registryPrev) record->registryPrev->registryNext = record->registryNext;
    if (record->registryNext) record->registryNext->registryPrev = record->registryPrev;
    if (g_registryHead == record) g_registryHead = record->registryNext;
  }
  delete record;
}

void ForEachRecord(void (*visit)(DeviceRecord& record, void* user), void* user) {
  LockHold hold(g_registryLock);
  for (DeviceRecord* r = g_registryHead; r; r = r->registryNext) visit(*r, user);
}

bool OtherRecordHoldsHandle(const DeviceRecord* self, const char* serial) {
  LockHold hold(g_registryLock);
  for (DeviceRecord* r = g_registryHead; r; r = r->registryNext) {
    if (r != self && r->handleLive.load(std::memory_order_acquire) &&
        TextEqualsIgnoreCase(r->pathSerial, serial)) {
      return true;
    }
  }
  return false;
}

int ForEachFailedTwin(const char* serial, const DeviceRecord* except,
                      void (*visit)(DeviceRecord& record, void* user), void* user) {
  // Collected under the registry's lock, visited after it: a visit may take
  // the record's lock or the table's guard.
  DeviceRecord* twins[kMaxDevices];
  int n = 0;
  {
    LockHold hold(g_registryLock);
    for (DeviceRecord* r = g_registryHead; r && n < kMaxDevices; r = r->registryNext) {
      if (r == except || !TextEqualsIgnoreCase(r->pathSerial, serial)) continue;
      uint32_t status = r->openStatus.load(std::memory_order_acquire);
      if (status == kStatusOk || status == kOpenPending) continue;
      if (TryHoldDeviceRecord(r)) twins[n++] = r;
    }
  }
  for (int i = 0; i < n; ++i) visit(*twins[i], user);
  return n;
}

DriverCall::DriverCall(DriverCallStamp& stamp) : stamp_(stamp) {
  // The start first: a watchdog that sees the odd number finds its time.
  stamp_.startedMs.store(MonotonicMs(), std::memory_order_release);
  stamp_.sequence.fetch_add(1, std::memory_order_acq_rel);
}

DriverCall::~DriverCall() {
  stamp_.sequence.fetch_add(1, std::memory_order_acq_rel);
  stamp_.startedMs.store(0, std::memory_order_release);
}

void HoldDeviceRecord(DeviceRecord* record) {
  record->refs.fetch_add(1, std::memory_order_relaxed);
}

bool TryHoldDeviceRecord(DeviceRecord* record) {
  int32_t refs = record->refs.load(std::memory_order_relaxed);
  while (refs > 0) {
    if (record->refs.compare_exchange_weak(refs, refs + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

void ReleaseDeviceRecord(DeviceRecord* record) {
  if (!record) return;
  // acq_rel: whatever the other holders did to the record happens before the
  // last one closes it.
  if (record->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) DisposeDeviceRecord(record);
}

bool TableAppend(DeviceTable& table, DeviceRecord* record) {
  LockHold hold(table.guard);
  if (table.closed || table.count >= kMaxDevices) return false;
  table.entries[table.count] = record;
  ++table.count;
  PublishPlugged(table, table.count - 1);
  return true;
}

int TableCount(DeviceTable& table) {
  LockHold hold(table.guard);
  return table.count;
}

void TableClose(DeviceTable& table) {
  LockHold hold(table.guard);
  table.closed = 1;
}

void TableReopen(DeviceTable& table) {
  LockHold hold(table.guard);
  table.closed = 0;
}

SerialMatch TableMatchSerial(DeviceTable& table, const char* serial) {
  LockHold hold(table.guard);
  int slot = FindSerial(table, serial);
  if (slot < 0) return kSerialAbsent;
  uint32_t status = table.entries[slot]->openStatus.load(std::memory_order_acquire);
  return (status == kStatusOk || status == kOpenPending) ? kSerialOpen : kSerialDead;
}

bool TableHasSerial(DeviceTable& table, const char* serial) {
  return TableMatchSerial(table, serial) != kSerialAbsent;
}

DeviceRecord* TableTakeBySerial(DeviceTable& table, const char* serial) {
  LockHold hold(table.guard);
  int slot = FindSerial(table, serial);
  if (slot < 0) return nullptr;
  PublishPulled(table, slot);
  DeviceRecord* taken = table.entries[slot];
  --table.count;
  for (int i = slot; i < table.count; ++i) table.entries[i] = table.entries[i + 1];
  table.entries[table.count] = nullptr;
  return taken;
}

int TableTakeAll(DeviceTable& table, DeviceRecord* out[kMaxDevices]) {
  LockHold hold(table.guard);
  int n = table.count;
  for (int i = 0; i < n; ++i) {
    out[i] = table.entries[i];
    table.entries[i] = nullptr;
  }
  table.count = 0;
  return n;
}

DeviceRecord* TableHoldBySerial(DeviceTable& table, const char* serial) {
  LockHold hold(table.guard);
  int slot = FindSerial(table, serial);
  if (slot < 0) return nullptr;
  HoldDeviceRecord(table.entries[slot]);
  return table.entries[slot];
}

int TableSlotOf(DeviceTable& table, const DeviceRecord* record) {
  LockHold hold(table.guard);
  for (int i = 0; i < table.count; ++i) {
    if (table.entries[i] == record) return i;
  }
  return -1;
}

int RecordSlot(const DeviceRecord& record) {
  return TableSlotOf(record.table ? *record.table : g_context.devices, &record);
}

int TableFindSerial(DeviceTable& table, const char* serial) {
  LockHold hold(table.guard);
  return FindSerial(table, serial);
}

int TableSerials(DeviceTable& table, char out[kMaxDevices][kPathSerialSize]) {
  LockHold hold(table.guard);
  for (int i = 0; i < table.count; ++i) RecordSerial(*table.entries[i], out[i]);
  return table.count;
}

uint64_t MonotonicMs() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  // +1: 0 means "no call" in the stamp.
  return static_cast<uint64_t>(
             std::chrono::duration_cast<std::chrono::milliseconds>(since).count()) + 1;
}
