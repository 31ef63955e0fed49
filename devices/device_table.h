// The transceiver record, the table of transceivers and the service's one
// global context.
//
// Threads and what guards what:
// - The table (`entries`, `count`) is changed on the service control thread
//   (device events, stop) and, at start, on the service main thread
//   (discovery); it is read on the pipe server thread for every request.
//   `DeviceTable::guard` serialises all of that. It covers lookups and the
//   table only, never a driver call: a request looks its record up and takes
//   a reference under the guard, lets go of the guard, writes its frame, and
//   drops the reference. So a write that blocks inside the driver holds up
//   neither a device event nor the stop.
// - Records live as long as their last user (see `refs`): taking a record
//   out of the table only drops the table's reference, and whoever drops the
//   last one closes and frees the record with CloseDevice, be it the removal,
//   the stop or the request that was still writing to it.
// - A record's receive state (`rx*`) is touched only by its reader thread,
//   under the record's `lock`.
// - The driver handle and the EEPROM strings are written by OpenDevice
//   before the record's open status says it is open (or failed), and closed
//   by CloseDevice once nobody holds the record any more. A request never
//   touches a record whose open is still under way.
// - The stamp of the request inside SendFrame (`sendStartedMs`) is written
//   by the pipe server thread and read by a watchdog on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/fault_limiter.h"
#include "devices/d2xx.h"

constexpr int kMaxDevices = 64;
constexpr size_t kSerialNumberSize = 16;
constexpr size_t kManufacturerSize = 32;
constexpr size_t kManufacturerIdSize = 16;
constexpr size_t kDescriptionSize = 64;
constexpr size_t kRxBufferSize = 512;
// The serial number from an instance id or device path: at most 31
// characters (the size of hotplug.h's kSerialTextSize).
constexpr size_t kPathSerialSize = 32;
// The open status of a record put into a dead record's slot whose open has
// not ended yet. No driver status has this value.
constexpr uint32_t kOpenPending = 0xFFFFFFFFu;

struct DeviceRecord {
  // References, each dropped with ReleaseDeviceRecord: the table's while the
  // record is in a live slot (TableAppend and TableReplaceDead are handed it
  // by the creator; the Take functions hand it on to their caller); AddDevice's
  // own while it opens a replacement that already sits in the table; and
  // each request's, taken under the table's guard at its lookup and dropped
  // at the end of its SendFrame. The drop that takes the count to zero
  // closes and frees the record with CloseDevice.
  std::atomic<int32_t> refs;
  // 0 once open; the status of the call that failed for a dead record; and
  // kOpenPending while a replacement opens in a dead record's slot. Written
  // by the adding thread (before the append, or after the open with release
  // order); requests read it under the guard with acquire order.
  std::atomic<uint32_t> openStatus;
  // The serial number from the instance id or device path the transceiver
  // arrived with. Written before the record becomes reachable, then fixed.
  // Removal and duplicate checks use it when the EEPROM gave none.
  char pathSerial[kPathSerialSize];
  FT_HANDLE handle;   // set by OpenDevice's open call; closed by CloseDevice
  void* rxEvent;      // auto-reset event the driver signals on received data
  void* stopEvent;    // auto-reset event for the reader-thread stop handshake
  int32_t notifyArmed;  // 1 once the driver was asked to signal rxEvent
  int32_t closing;      // 1 once CloseDevice has begun
  // Receive state: reader thread only, under `lock`.
  uint8_t rxBuf[kRxBufferSize];
  uint16_t rxCount;      // bytes stored in rxBuf
  uint16_t rxExpected;   // the length byte of the frame being received
  uint16_t rxBodyCount;  // bytes received after the length byte
  std::mutex lock;       // held by the reader thread while it drains
  int32_t rxState;       // 0 hunting, 1 start byte seen, 2 collecting
  // EEPROM strings, filled through `eeprom`'s pointers by OpenDevice; read
  // by other threads only once `openStatus` is no longer kOpenPending.
  char serialNumber[kSerialNumberSize];
  char manufacturer[kManufacturerSize];
  char manufacturerId[kManufacturerIdSize];
  char description[kDescriptionSize];
  uint8_t instance;  // table slot at creation (or replacement); trace only
  FtProgramData eeprom;
  // Written by SendFrame for its caller: 1 when the last send gave up
  // because the transceiver never became ready, 0 otherwise. One sender at
  // a time: the opening thread's start-up frames, then the pipe server's.
  int32_t gateTimedOut;
  // Paces this transceiver's fault events to one a minute; the pipe server
  // thread reports them after a failed send.
  FaultLimiter faults;
  // The reader thread, kept so that CloseDevice can wait until it has ended
  // before it closes the events and frees the record. OpenDevice and
  // CloseDevice only.
  void* readerThread;
};

struct DeviceTable {
  DeviceRecord* entries[kMaxDevices];  // slots 0..count-1 live, in arrival order
  int32_t count;
  std::mutex guard;  // see the file comment
  // The request inside SendFrame, if any. Only the pipe server thread sends
  // requests, one at a time, so one stamp covers them all. It writes all
  // three under the guard when its SendFrame begins and clears the stamp
  // when it ends; a watchdog reads them with TableStuckRequest.
  std::atomic<uint64_t> sendStartedMs;  // MonotonicMs() at the start; 0 none
  char sendSerial[kPathSerialSize];     // the transceiver's serial number, a copy
  int32_t sendSlot;                     // the request's slot
};

// The service status block, laid out word for word as SERVICE_STATUS.
struct ServiceStatusBlock {
  uint32_t serviceType;
  uint32_t currentState;
  uint32_t controlsAccepted;
  uint32_t win32ExitCode;
  uint32_t serviceSpecificExitCode;
  uint32_t checkPoint;
  uint32_t waitHint;
};

struct ServiceContext {
  ServiceStatusBlock status;  // service host only
  void* statusHandle;         // SERVICE_STATUS_HANDLE; service host only
  void* notifyHandle;         // HDEVNOTIFY; service host only
  // Called by AddDevice, on the adding thread, right before it opens a
  // transceiver, with how long the open, the line set-up and the start-up
  // frames may take; the service host reports its start as pending with
  // that wait hint. Null: nobody is told.
  void (*progress)(ServiceContext& context, uint32_t waitHintMs);
  DeviceTable devices;
};

// The one global of the service program.
extern ServiceContext g_context;

// Allocates a record as a new arrival needs it: everything zero (the open
// status too, until AddDevice sets it), `instance` set, and the EEPROM
// record preset with its signatures and its string pointers aimed at the
// record's own buffers.
// Returns null when memory is out; else the record with one reference, the
// caller's.
DeviceRecord* CreateDeviceRecord(uint8_t instance);
// Frees a record's memory (nothing else is released). Only CloseDevice, or
// a test that made the record and never shared it, calls it.
void FreeDeviceRecord(DeviceRecord* record);
// Takes one more reference; only for a caller that holds one already (or
// holds the guard while the record is in the table).
void HoldDeviceRecord(DeviceRecord* record);
// Drops one reference; the drop that takes the count to zero closes and
// frees the record with CloseDevice, on the calling thread. Null is ignored.
void ReleaseDeviceRecord(DeviceRecord* record);

// Appends a record after the last live slot, which takes over the caller's
// reference. Returns false, and leaves the table as it was (the reference
// still the caller's), when all 64 slots are taken.
bool TableAppend(DeviceTable& table, DeviceRecord* record);
// Number of live slots, read under the guard.
int TableCount(DeviceTable& table);

// How a serial number stands in the table. A record is known by its EEPROM
// serial number, or by the serial number it arrived with when the EEPROM gave
// none (or its open has not got that far); matched ignoring ASCII case.
enum SerialMatch : int {
  kSerialAbsent = 0,  // no live record has it (an empty serial never matches)
  kSerialOpen = 1,    // the first match is open, or opening in its slot
  kSerialDead = 2,    // the first match failed to open
};
SerialMatch TableMatchSerial(DeviceTable& table, const char* serial);
// True when TableMatchSerial finds the serial number, open or dead.
bool TableHasSerial(DeviceTable& table, const char* serial);
// Takes the first live record with this serial number out of the table,
// moving later records down one slot, and returns it with the table's
// reference, now the caller's to release; null when none matches.
DeviceRecord* TableTakeBySerial(DeviceTable& table, const char* serial);
// Takes every record out of the table, in slot order, into `out`, each with
// the table's reference, now the caller's to release; returns how many.
// Afterwards the table is empty.
int TableTakeAll(DeviceTable& table, DeviceRecord* out[kMaxDevices]);
// When the first record with this serial number is dead, puts `fresh` into
// its slot, marked kOpenPending, with `instance` set to the slot and one of
// the caller's references handed to the table, and returns the dead record
// with the table's reference, now the caller's to release. Otherwise
// changes nothing and returns null.
DeviceRecord* TableReplaceDead(DeviceTable& table, const char* serial, DeviceRecord* fresh);
// Writes a frame to the transceiver in slot `iid`: the lookup and a
// reference under the guard, the write outside it. kStatusDeviceNotFound (2)
// when the slot is not live, FT_DEVICE_NOT_OPENED (3) without any driver
// call when its record is still opening. Stamps the table for the watchdog
// while SendFrame runs. Called by one thread at a time (the pipe server).
uint32_t TableSendFrame(DeviceTable& table, uint8_t iid, const struct Frame& frame);
// True when a request has been inside SendFrame for more than `limitMs` at
// `nowMs` (MonotonicMs()); then `serial` holds its transceiver's serial
// number and `slot` its slot. Takes the guard briefly; never waits for a
// driver call. Safe on any thread.
bool TableStuckRequest(DeviceTable& table, uint64_t nowMs, uint64_t limitMs,
                       char serial[kPathSerialSize], int* slot);

// The slot of the first live record known by this serial number (as
// TableMatchSerial matches), or -1.
int TableFindSerial(DeviceTable& table, const char* serial);

// Copies the serial number each live slot is known by (the EEPROM's, or
// the one it arrived with) into `out`, in slot order; returns how many.
int TableSerials(DeviceTable& table, char out[kMaxDevices][kPathSerialSize]);

// Milliseconds of a clock that never goes back (not the time of day), for
// the request stamp and its watchdog. Never 0.
uint64_t MonotonicMs();

// Equality of two 8-bit texts ignoring the case of ASCII letters only.
bool TextEqualsIgnoreCase(const char* a, const char* b);
