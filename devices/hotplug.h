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

// The wait hint AddDevice hands the progress callback: the open and the line
// set-up (well under a second on a working transceiver) and the two start-up
// frames, each of which may wait the full modem-status bound.
constexpr uint32_t kOpenWaitHintMs = 2 * kGateTimeoutMs + 4000;

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

// Adds the transceiver when `prefix` equals a row of HardwareIdTable and
// `serial` is not in the table yet: creates its record (remembering
// `serial`), calls the context's progress callback, opens it with
// OpenDevice, then appends it. A transceiver whose record in the table is
// dead (its open failed) gets a new record in that same slot instead: the
// new record goes in marked as opening, the dead one is released (which
// closes its handle unless a request still holds it), and the new one is
// opened outside the guard and then marked open or failed. Returns
// OpenDevice's status for an added or replaced transceiver, 0 otherwise.
DeviceStatus AddDevice(const char* prefix, const char* serial, ServiceContext& context);

// Takes the first record with this serial number (the EEPROM's, or the one it
// arrived with when the EEPROM gave none) out of the table, closing the gap,
// and releases the table's reference: the record is closed now, or by the
// request still using it when that one ends. `prefix` is for the trace only.
void RemoveDevice(const char* serial, const char* prefix, ServiceContext& context);
