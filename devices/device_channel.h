// The life of one transceiver behind its record: open and configure it,
// start its reader thread, send the two start-up frames, drain what it
// receives, and close it again. Implemented for Windows in devices/win/.
#pragma once

#include "core/request.h"
#include "devices/device_table.h"

// Opens the transceiver with this serial number into `record` and configures
// it (9600 baud, 8N1, no flow control, XON 0x17, XOFF 0x19), reads its EEPROM
// strings into the record, starts its reader thread and sends FrameTable rows
// 0 and 2. Returns 0, or the status of the first open or configuration call
// that failed (the rest is then left undone).
DeviceStatus OpenDevice(const char* serial, DeviceRecord& record);

// Reads everything the driver holds for the transceiver, in chunks of at
// most 256 bytes, into the receive framing. Called with the record's lock
// held, on its reader thread.
DeviceStatus DrainDevice(DeviceRecord& record);

// Closes the transceiver, ends its reader thread (waiting until it has
// ended), closes its events and frees the record. Called by
// ReleaseDeviceRecord once nobody holds the record any more (the record is
// then out of the table and no request uses it), on the thread that let go
// of it last: the control thread, the adding thread or the pipe server
// thread.
void CloseDevice(DeviceRecord* record);
