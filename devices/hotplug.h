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

// UTF-16 to 8-bit text as the "C" locale converts it: each unit up to 0xFF
// becomes one byte of the same value. Reads at most `units` units and stops
// after the NUL. Returns false, the text unusable, when a unit is above 0xFF
// or when no NUL comes within `units` units and `size` bytes.
bool NarrowText(const uint16_t* text, size_t units, char* out, size_t size);

// Splits an instance id such as USB\VID_0403&PID_F06F\EL000123 into the
// hardware-id prefix USB\VID_0403&PID_F06F\EL and the serial number
// EL000123, keeping their case. Returns false, and the device is ignored,
// when the text breaks that form (no backslash, parts too long for their
// buffers).
bool SplitInstanceId(const char* id, char prefix[kHardwareIdPrefixSize],
                     char serial[kSerialTextSize]);

// Splits a device path such as \\?\USB#VID_0403&PID_F06F#EL000123#{guid}
// (8-bit) into the upper-cased prefix USB\VID_0403&PID_F06F\EL and serial
// number EL000123. Returns false, and the device is ignored, when the path
// breaks that form.
bool SplitDevicePath(const char* path, char prefix[kHardwareIdPrefixSize],
                     char serial[kSerialTextSize]);

// The start-up path: splits an 8-bit instance id and offers the device to
// AddDevice.
void ParseInstanceId(const char* id, ServiceContext& context);

// Adds the transceiver when `prefix` equals a row of HardwareIdTable and
// `serial` is not in the table yet: creates its record, opens it with
// OpenDevice, then appends it. Returns OpenDevice's status for an added
// transceiver, 0 otherwise.
DeviceStatus AddDevice(const char* prefix, const char* serial, ServiceContext& context);

// Takes the first record with this serial number out of the table, closing
// the gap, and closes it with CloseDevice. `prefix` is for the trace only.
void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context);
