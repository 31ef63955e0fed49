// What becomes of each USB device the start-up walk finds: taken into use
// with the next instance number, or ignored and why. The service's walk and
// the "ZARVOSRV -l" listing both decide through here, so the listing shows
// the numbers the service gives at start. The decision whether a device is a
// transceiver at all is HardwareIdTable's, as for a device that is plugged in
// later.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devices/device_table.h"
#include "devices/hotplug.h"

enum DeviceVerdict : uint8_t {
  kDeviceAccepted,       // a transceiver; gets the next instance number
  kDeviceOtherVendor,    // not vendor id 0403: not listed, not reported
  kDeviceOtherProduct,   // vendor 0403, but no transceiver's product id
  kDeviceSerialNotEl,    // a transceiver's product id, serial not "EL..."
  kDeviceIdUnreadable,   // the instance id could not be read or split
  kDeviceDuplicate,      // same serial number as an earlier transceiver
  kDeviceTableFull,      // a transceiver beyond the 64 the table holds
};

constexpr size_t kProductIdSize = 8;  // at most 7 characters, normally 4

struct DeviceFinding {
  DeviceVerdict verdict;
  char productId[kProductIdSize];       // as in the id, e.g. "F06F"; "?" when unknown
  char prefix[kHardwareIdPrefixSize];   // the hardware-id prefix, for AddDevice
  char serial[kSerialTextSize];         // empty when the id could not be split
  int instance;                         // kDeviceAccepted: the instance number; else -1
  int sameAs;                           // kDeviceDuplicate: the earlier one's number
};

// The transceivers accepted so far in one walk, in instance-number order.
struct StartNumbering {
  char serials[kMaxDevices][kSerialTextSize];
  int count;
};

void StartNumberingReset(StartNumbering& numbering);

// Decides for one device of the walk, in the walk's order. `id` is the
// 8-bit instance id, or null when it could not be read. Accepted devices are
// numbered in `numbering`; everything else leaves it as it was.
void ClassifyStartDevice(const char* id, StartNumbering& numbering, DeviceFinding& finding);

// Why a device is ignored, as a short text for the listing and the events
// ("another product id", ...); "" for kDeviceAccepted.
const char* DeviceVerdictText(DeviceVerdict verdict);
