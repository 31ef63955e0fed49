// SetupAPI walk at service start (also the "ZARVOSRV -l" listing's walk)
// and device-event dispatch.
//
// EnumeratePresentDevices runs on the ServiceMain thread, after the device
// notifications were registered (so that a transceiver plugged in during
// the walk is not missed) and before the pipe server starts; OnDeviceEvent
// and RescanDevices run on the service control thread, one control at a
// time, and so may meet the start's walk. g_hotplugGuard makes each walk and
// each event one step: the duplicate tests and the slot numbers a removal
// reports hold for the whole of it. All of them change the device table only
// through AddDevice and RemoveDevice, which take its lock and never call the
// driver: each transceiver's own thread opens and closes it and reports how
// its open ended.
#include "devices/win/discovery.h"

#include <setupapi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/admin_event.h"
#include "core/lock.h"
#include "core/trace.h"
#include "devices/device_classify.h"
#include "core/win/error_text.h"

const GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace {

constexpr DWORD kInstanceIdUnits = 256;
// A walk whose SetupDiEnumDeviceInfo keeps failing with anything but
// ERROR_NO_MORE_ITEMS gives up after this many failures in a row.
constexpr DWORD kMaxEnumFailuresInARow = 256;

Lock g_hotplugGuard;  // see the file comment

}  // namespace

DWORD WalkUsbDevices(UsbDeviceVisitor visit, void* user) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    TraceHook("device list not created", error);
    return error;
  }
  HDEVINFO present = SetupDiGetClassDevsExW(&kUsbDeviceInterfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, list,
                                            nullptr, nullptr);
  if (present == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    TraceHook("present devices not listed", error);
    SetupDiDestroyDeviceInfoList(list);
    return error;
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
      DWORD error = GetLastError();
      TraceHook("instance id not read", error);
      visit(nullptr, error, user);
      continue;
    }
    char narrow[kNarrowTextSize];
    if (!NarrowText(reinterpret_cast<const uint16_t*>(id), kInstanceIdUnits, narrow,
                    sizeof narrow)) {
      // Characters beyond 8 bits: no transceiver's id has them.
      visit(nullptr, ERROR_NO_UNICODE_TRANSLATION, user);
      continue;
    }
    visit(narrow, ERROR_SUCCESS, user);
  }
  SetupDiDestroyDeviceInfoList(list);
  return ERROR_SUCCESS;
}

namespace {

struct StartWalk {
  ServiceContext* context;
  StartNumbering numbering;
  // A rescan: transceivers new to the table count as plugged in, ignored
  // devices are not reported again, and the serial numbers found are kept.
  bool rescan;
  char found[kMaxDevices][kSerialTextSize];
  int foundCount;
};

void ReportIgnored(const char* id, DWORD error, const DeviceFinding& finding) {
  switch (finding.verdict) {
    case kDeviceAccepted:
    case kDeviceOtherVendor:
      return;
    case kDeviceOtherProduct:
    case kDeviceSerialNotEl:
    case kDeviceDuplicate:
      ReportAdminEvent(kAdminDeviceIgnored,
                       {id, finding.productId, DeviceVerdictText(finding.verdict)});
      return;
    case kDeviceIdUnreadable: {
      char why[256];
      if (id) {
        std::strcpy(why, "it has another form than USB\\VID_0403&PID_xxxx\\serial");
      } else {
        DecimalText number = Decimal(error);
        char text[200];
        Win32ErrorText(error, text, sizeof text);
        std::snprintf(why, sizeof why, "%s (error %s)", text, number.text);
      }
      ReportAdminEvent(kAdminDeviceIdUnreadable, {id ? id : "?", why});
      return;
    }
    case kDeviceTableFull:
      ReportAdminEvent(kAdminTooManyTransceivers, {finding.serial, Decimal(kMaxDevices).text});
      return;
  }
}

// Offers a transceiver to AddDevice. Its own thread reports the open
// (`openEvent`, or the failure) with the slot it took; only a full table is
// reported here.
void AddAndReport(const char* prefix, const char* serial, ServiceContext& context,
                  AdminEvent openEvent) {
  if (AddDevice(prefix, serial, context, openEvent) == kAddTableFull) {
    ReportAdminEvent(kAdminTooManyTransceivers, {serial, Decimal(kMaxDevices).text});
  }
}

// Removes a departed transceiver and reports which slot it had and which
// transceivers moved down. The caller holds g_hotplugGuard, so the copy
// taken before the removal names the slots as they were.
void RemoveAndReport(const char* prefix, const char* serial, ServiceContext& context) {
  static char serials[kMaxDevices][kPathSerialSize];
  int count = TableSerials(context.devices, serials);
  int slot = TableFindSerial(context.devices, serial);
  RemoveDevice(serial, prefix, context);
  if (slot < 0) return;
  const char* names[kMaxDevices];
  for (int i = 0; i < count; ++i) names[i] = serials[i];
  static char moved[2048];
  FormatMovedDown(names, count, slot, moved, sizeof moved);
  ReportAdminEvent(kAdminTransceiverPulledOut, {serials[slot], Decimal(slot).text, moved});
}

void OfferAtStart(const char* id, DWORD error, void* user) {
  StartWalk& walk = *static_cast<StartWalk*>(user);
  DeviceFinding finding;
  ClassifyStartDevice(id, walk.numbering, finding);
  if (finding.verdict == kDeviceAccepted) {
    if (walk.rescan && walk.foundCount < kMaxDevices) {
      std::memcpy(walk.found[walk.foundCount++], finding.serial, kSerialTextSize);
    }
    AddAndReport(finding.prefix, finding.serial, *walk.context,
                 walk.rescan ? kAdminTransceiverPluggedIn : kAdminTransceiverInUse);
  } else if (!walk.rescan) {
    ReportIgnored(id, error, finding);
  }
}

DWORD Walk(StartWalk& walk) {
  StartNumberingReset(walk.numbering);
  walk.foundCount = 0;
  return WalkUsbDevices(OfferAtStart, &walk);
}

}  // namespace

void (*g_startWalkBegins)(ServiceContext& context) = nullptr;

void EnumeratePresentDevices(ServiceContext& context) {
  LockHold hold(g_hotplugGuard);
  if (g_startWalkBegins) g_startWalkBegins(context);
  static StartWalk walk;  // one walk at a time, under the guard
  walk.context = &context;
  walk.rescan = false;
  DWORD error = Walk(walk);
  if (error != ERROR_SUCCESS) {
    char text[200];
    Win32ErrorText(error, text, sizeof text);
    ReportAdminEvent(kAdminDevicesNotListed, {Decimal(error).text, text});
  }
}

void RescanDevices(ServiceContext& context) {
  LockHold hold(g_hotplugGuard);
  static StartWalk walk;
  walk.context = &context;
  walk.rescan = true;
  if (Walk(walk) != ERROR_SUCCESS) return;  // nothing known: nothing removed
  static char serials[kMaxDevices][kPathSerialSize];
  int count = TableSerials(context.devices, serials);
  // From the last slot down, so that the slots of those still to be looked
  // at do not move.
  for (int i = count - 1; i >= 0; --i) {
    bool present = false;
    for (int k = 0; k < walk.foundCount && !present; ++k) {
      present = TextEqualsIgnoreCase(walk.found[k], serials[i]);
    }
    if (!present) RemoveAndReport("", serials[i], context);
  }
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
  LockHold hold(g_hotplugGuard);
  if (eventType == DBT_DEVICEARRIVAL) {
    AddAndReport(prefix, serial, context, kAdminTransceiverPluggedIn);
  } else {
    RemoveAndReport(prefix, serial, context);
  }
  return NO_ERROR;
}
