// Which USB devices are transceivers, and keeping the device table in step
// with the transceivers that are plugged in. The text handling and the
// accept/duplicate/remove decisions are platform-free; the SetupAPI walk and
// the device-event entry live in devices/win/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/request.h"
#include "devices/device_table.h"
#include "devices/send_frame.h"

constexpr size_t kHardwareIdPrefixSize = 64;  // at most 63 characters
constexpr size_t kSerialTextSize = 32;        // at most 31 characters
constexpr size_t kNarrowTextSize = 256;       // 8-bit instance id or path
static_assert(kSerialTextSize == kPathSerialSize, "a record keeps the serial it arrived with");

// The two accepted hardware-id prefixes, tried in this order.
extern const char HardwareIdTable[2][25];

// True when a hardware-id prefix is a row of HardwareIdTable (ignoring case).
bool IsTransceiverPrefix(const char* prefix);

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

// What AddDevice did with an offered device.
enum AddOutcome : int {
  kAddIgnored = 0,     // not a transceiver, or one the table has already
  kAddOpening = 1,     // a new slot; its own thread opens it and reports how
  kAddReopening = 2,   // its record had failed to open: opened again in place
  kAddTableFull = 3,   // all 64 slots are taken
  kAddRefused = 4,     // no memory or no thread, or the stop closed the table
};

// Offers a device. A transceiver (`prefix` equals a row of HardwareIdTable)
// whose serial number is not in the table gets a record in the next slot at
// once, in the order offered, marked as opening; its own thread then opens
// it and reports `openEvent` (in use at start, plugged in later) or the
// failure. A transceiver whose record in the table failed to open is opened
// again in that same slot. Never calls the driver itself, so the control
// thread and ServiceMain never wait for a transceiver.
AddOutcome AddDevice(const char* prefix, const char* serial, ServiceContext& context,
                     AdminEvent openEvent = kAdminTransceiverInUse);

// Takes the first record with this serial number (the EEPROM's, or the one it
// arrived with when the EEPROM gave none) out of the table, closing the gap,
// asks its thread to close it, and releases the table's reference. Returns
// at once: the close runs on the transceiver's own thread. `prefix` is for
// the trace only.
void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context);
