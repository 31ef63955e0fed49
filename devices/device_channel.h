// The life of one transceiver behind its record: its own thread, which opens
// and configures it, sends the start-up frames, writes the requests queued
// for it and closes it again; and its reader thread, which drains what it
// receives. Implemented for Windows in devices/win/; the unit tests link a
// stand-in that does the same work on the calling thread.
#pragma once

#include "core/request.h"
#include "devices/device_table.h"

// Starts the record's transceiver thread, which takes a reference of its own
// and opens the transceiver with the serial number the record arrived with
// (waiting first, for at most kPredecessorWaitMs, while another record of
// that serial number still holds the driver handle), reports the open (the
// record's openEvent, or the failure), then serves its queue until it is
// asked to close. The caller has set the record's `serving` already, so that
// requests queue for the thread from the moment the record is reachable.
// Returns 0, or FT_INSUFFICIENT_RESOURCES when the thread or its events
// could not be made: then the record's open status says so, the requests
// queued meanwhile are answered with it, and a later arrival of the
// transceiver starts a thread again.
DeviceStatus StartTransceiver(DeviceRecord& record);

// Tests only: when set, called as a transceiver thread is about to be
// started (the record is in its slot, no thread runs for it yet); a true
// result makes the thread's creation fail as if the system had refused it.
extern bool (*g_refuseTransceiverThread)(DeviceRecord& record);

// Wakes the record's transceiver thread: a request was queued, or a close or
// reopen was asked (see transceiver_queue.h).
void WakeTransceiver(DeviceRecord& record);

// Opens the transceiver with this serial number into `record` and configures
// it (9600 baud, 8N1, no flow control, XON 0x17, XOFF 0x19), reads its EEPROM
// strings into the record, starts its reader thread and sends FrameTable rows
// 0 and 2 (status, switch telegrams forwarded) and 4 (sensor telegrams
// forwarded). Returns 0, or the status of the first open or configuration call
// that failed (the rest is then left undone). Runs on the transceiver thread
// (or a test's), every driver call stamped for the watchdog.
DeviceStatus OpenDevice(const char* serial, DeviceRecord& record);

// Ends the reader thread (waiting until it has ended, however long a driver
// call it is inside takes), then closes the driver handle and the reader's
// events, and asks any record of the same transceiver whose open was
// refused meanwhile to open again. The record stays usable for another
// OpenDevice. Transceiver thread (or a test's) only.
void ShutDevice(DeviceRecord& record);

// ShutDevice, then DisposeDeviceRecord: for a record a test opened itself
// and never shared.
void CloseDevice(DeviceRecord* record);

// Frees the record's own events and its memory; never calls the driver.
// Called by ReleaseDeviceRecord for the last reference.
void DisposeDeviceRecord(DeviceRecord* record);

// Reads everything the driver holds for the transceiver, in chunks of at
// most 256 bytes, into the receive framing. Reader thread only.
DeviceStatus DrainDevice(DeviceRecord& record);
