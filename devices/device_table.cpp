#include "devices/device_table.h"

#include <cstring>
#include <new>

#include "core/frame.h"
#include "core/request.h"
#include "devices/send_frame.h"

ServiceContext g_context;

namespace {

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Index of the first live record with this serial number, or -1.
int FindSerial(const DeviceTable& table, const char* serial) {
  if (serial[0] == '\0') return -1;
  for (int i = 0; i < table.count; ++i) {
    const DeviceRecord* r = table.entries[i];
    // The EEPROM read may leave the buffer without a terminator.
    char own[kSerialNumberSize + 1];
    std::memcpy(own, r->serialNumber, kSerialNumberSize);
    own[kSerialNumberSize] = '\0';
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

bool TableHasSerial(DeviceTable& table, const char* serial) {
  std::lock_guard<std::mutex> hold(table.guard);
  return FindSerial(table, serial) >= 0;
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

uint32_t TableSendFrame(DeviceTable& table, uint8_t iid, const Frame& frame) {
  std::lock_guard<std::mutex> hold(table.guard);
  if (iid >= table.count) return kStatusDeviceNotFound;
  return SendFrame(*table.entries[iid], frame);
}
