// SetupAPI walk at service start and device-event dispatch.
//
// EnumeratePresentDevices runs on the ServiceMain thread before the pipe
// server and the device notifications exist; OnDeviceEvent runs on the
// service control thread, one control at a time. Both change the device
// table only through AddDevice and RemoveDevice, which take its lock.
#include "devices/win/discovery.h"

#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "core/trace.h"

const GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace {

constexpr DWORD kInstanceIdUnits = 256;
// A walk whose SetupDiEnumDeviceInfo keeps failing with anything but
// ERROR_NO_MORE_ITEMS gives up after this many failures in a row.
constexpr DWORD kMaxEnumFailuresInARow = 256;

}  // namespace

void EnumeratePresentDevices(ServiceContext& context) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) {
    TraceHook("device list not created", GetLastError());
    return;
  }
  HDEVINFO present = SetupDiGetClassDevsExW(&kUsbDeviceInterfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, list,
                                            nullptr, nullptr);
  if (present == INVALID_HANDLE_VALUE) {
    TraceHook("present devices not listed", GetLastError());
    SetupDiDestroyDeviceInfoList(list);
    return;
  }

  SP_DEVINFO_DATA info;
  info.cbSize = sizeof info;
  DWORD failuresInARow = 0;
  for (DWORD index = 0;; ++index) {
    if (!SetupDiEnumDeviceInfo(list, index, &info)) {
      DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_ITEMS) break;
      TraceHook("device not enumerated", error);
      if (++failuresInARow >= kMaxEnumFailuresInARow) break;
      continue;
    }
    failuresInARow = 0;
    wchar_t id[kInstanceIdUnits];
    if (!SetupDiGetDeviceInstanceIdW(list, &info, id, kInstanceIdUnits, nullptr)) {
      TraceHook("instance id not read", GetLastError());
      continue;  // a device whose id cannot be read is skipped
    }
    char narrow[kNarrowTextSize];
    if (!NarrowText(reinterpret_cast<const uint16_t*>(id), kInstanceIdUnits, narrow,
                    sizeof narrow)) {
      continue;
    }
    ParseInstanceId(narrow, context);
  }
  SetupDiDestroyDeviceInfoList(list);
}

void ParseInterfaceName(const DEV_BROADCAST_DEVICEINTERFACE_W* event,
                        char prefix[kHardwareIdPrefixSize], char serial[kSerialTextSize]) {
  if (!prefix || !serial) return;
  prefix[0] = '\0';
  serial[0] = '\0';
  // The name runs to the end of the event data, whose size the event states.
  constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (!event || event->dbcc_size <= kNameOffset) return;
  size_t units = (event->dbcc_size - kNameOffset) / sizeof(wchar_t);
  char path[kNarrowTextSize];
  if (!NarrowText(reinterpret_cast<const uint16_t*>(event->dbcc_name), units, path,
                  sizeof path)) {
    return;
  }
  if (!SplitDevicePath(path, prefix, serial)) {
    prefix[0] = '\0';
    serial[0] = '\0';
  }
}

DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData, ServiceContext& context) {
  const DEV_BROADCAST_HDR* header = static_cast<const DEV_BROADCAST_HDR*>(eventData);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return NO_ERROR;
  if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) return NO_ERROR;

  char prefix[kHardwareIdPrefixSize];
  char serial[kSerialTextSize];
  ParseInterfaceName(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header), prefix,
                     serial);
  if (serial[0] == '\0') return NO_ERROR;  // a path that could not be used
  if (eventType == DBT_DEVICEARRIVAL) {
    AddDevice(prefix, serial, context);
  } else {
    RemoveDevice(serial, prefix, context);
  }
  return NO_ERROR;
}
