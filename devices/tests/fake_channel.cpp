#include "devices/tests/fake_channel.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "devices/device_channel.h"

FakeChannel g_channel;

namespace {

std::string Upper(const char* text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

ChannelCall Observe(const std::string& serial, DeviceRecord* record) {
  ChannelCall call{serial, record->instance, false, false};
  if (DeviceTable* table = g_channel.table) {
    call.guardWasFree = table->guard.try_lock();
    if (call.guardWasFree) {
      for (int i = 0; i < table->count; ++i) {
        if (table->entries[i] == record) call.recordWasInTable = true;
      }
      table->guard.unlock();
    }
  }
  return call;
}

}  // namespace

void ResetFakeChannel(DeviceTable& table) {
  g_channel.table = &table;
  g_channel.failOpen.clear();
  g_channel.duringOpen = nullptr;
  std::lock_guard<std::mutex> hold(g_channel.mu);
  g_channel.opens.clear();
  g_channel.closes.clear();
  g_channel.closedRecords.clear();
  g_channel.devices.clear();
}

DeviceStatus OpenDevice(const char* serial, DeviceRecord& record) {
  {
    ChannelCall call = Observe(serial, &record);
    std::lock_guard<std::mutex> hold(g_channel.mu);
    g_channel.opens.push_back(call);
  }
  if (g_channel.duringOpen) g_channel.duringOpen(record);
  std::string id = Upper(serial);
  if (g_channel.failOpen.count(id)) return FT_DEVICE_NOT_OPENED;
  std::unique_ptr<FakeDevice>& device = g_channel.devices[id];
  if (!device) device.reset(new FakeDevice);
  record.handle = AsHandle(*device);
  std::snprintf(record.serialNumber, sizeof record.serialNumber, "%s", id.c_str());
  return FT_OK;
}

DeviceStatus DrainDevice(DeviceRecord&) { return FT_OK; }

void CloseDevice(DeviceRecord* record) {
  // Known by the EEPROM serial number (which may fill its buffer without a
  // terminator), else by the one it arrived with.
  std::string serial(record->serialNumber, strnlen(record->serialNumber, kSerialNumberSize));
  if (serial.empty()) serial = record->pathSerial;
  ChannelCall call = Observe(serial, record);
  {
    std::lock_guard<std::mutex> hold(g_channel.mu);
    g_channel.closes.push_back(call);
    g_channel.closedRecords.push_back(record);
  }
  FreeDeviceRecord(record);
}
