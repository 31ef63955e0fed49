// Finding the transceivers present at start (SetupAPI) and following device
// events, on top of the platform-free decisions of devices/hotplug.h.
#pragma once

#include <windows.h>
#include <dbt.h>

#include "devices/device_table.h"
#include "devices/hotplug.h"

// GUID_DEVINTERFACE_USB_DEVICE: walked at start and used as the device
// notification filter.
extern const GUID kUsbDeviceInterfaceClass;

// One device of a walk: its 8-bit instance id, or null when the id could
// not be read, with the Win32 error that says why.
typedef void (*UsbDeviceVisitor)(const char* id, DWORD error, void* user);

// Walks the present USB device interfaces and calls `visit` for each device,
// in SetupAPI's order. Returns ERROR_SUCCESS, or the error with which the
// list could not be made (nothing was visited then).
DWORD WalkUsbDevices(UsbDeviceVisitor visit, void* user);

// The start-up walk: decides for each device (devices/device_classify.h),
// offers transceivers to AddDevice, and reports what became of each device
// of vendor id 0403 as an administrator event. Runs once, on the ServiceMain
// thread, after the device notifications were registered and before the
// pipe server starts.
void EnumeratePresentDevices(ServiceContext& context);

// Tests only: called as the start-up walk begins, before it lists anything.
extern void (*g_startWalkBegins)(ServiceContext& context);

// Walks the present devices again (the service's control 128): a
// transceiver the table lacks is added as plugged in, and one in the table
// that is no longer listed is removed as pulled out, as the device events
// would have done. For a notification that never came. Service control
// thread.
void RescanDevices(ServiceContext& context);

// Splits the device path of an interface event into upper-cased prefix and
// serial number. Does nothing when a buffer is missing; leaves both empty
// when the path cannot be used.
void ParseInterfaceName(const DEV_BROADCAST_DEVICEINTERFACE_W* event,
                        char prefix[kHardwareIdPrefixSize], char serial[kSerialTextSize]);

// Adds an arriving transceiver and reports it (plugged in with its instance
// number, not opened, or beyond the 64), removes a departed one; every other
// event is ignored. Always returns NO_ERROR. Runs on the service control
// thread.
DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData, ServiceContext& context);
