// Which USB devices are transceivers, and keeping the device table in step
// with the transceivers that are plugged in. The text handling and the
// accept/duplicate/remove decisions are platform-free; the SetupAPI walk and
// the device-event entry live in devices/win/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/request.h"
#include "devices/device_table.h"

constexpr size_t kHardwareIdPrefixSize = 64;  // at most 63 characters
constexpr size_t kSerialTextSize = 32;        // at most 31 characters
constexpr size_t kNarrowTextSize = 256;       // 8-bit instance id or path

// The two accepted hardware-id prefixes, tried in this order.
extern const char HardwareIdTable[2][25];

// Adds the transceiver when `prefix` equals a row of HardwareIdTable and
// `serial` is not in the table yet: creates its record, opens it with
// OpenDevice, then appends it. Returns OpenDevice's status for an added
// transceiver, 0 otherwise.
DeviceStatus AddDevice(const char* prefix, const char* serial, ServiceContext& context);

// Takes the first record with this serial number out of the table, closing
// the gap, and closes it with CloseDevice. `prefix` is for the trace only.
void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context);
