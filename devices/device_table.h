// The transceiver record, the table of transceivers and the service's one
// global context.
//
// Threads and what guards what:
// - Every transceiver has a thread of its own (devices/win/device_channel.cpp)
//   that makes every driver call for it but the reader's: the open, the line
//   set-up, the start-up frames, each request's frame and the close. Nobody
//   else calls the driver for it, so nobody else ever waits behind it.
// - The table (`entries`, `count`, `closed`) is changed on the service
//   control thread (device events, stop) and, at start, on the service main
//   thread (discovery); it is read on the pipe server thread for every
//   request. `DeviceTable::guard` serialises all of that. It covers lookups
//   and the table only, never a driver call.
// - Records live as long as their last user (see `refs`): taking a record
//   out of the table only drops the table's reference. The last drop frees
//   the record's events and memory and never calls the driver: the driver
//   handle is closed by the transceiver's own thread before it lets go.
// - A record's request queue and its state words (`serving`, `stuck`,
//   `closeAsked`, `reopenAsked`, the request in hand) are guarded by the
//   record's `lock`: the pipe server thread queues (and withdraws a request
//   it has answered itself), the transceiver thread takes and answers, the
//   watchdog gives up on a stuck transceiver's requests.
// - Every driver call is stamped (DriverCall): the transceiver thread's in
//   `sender`, the reader thread's in `reader`. The watchdog judges a call by
//   its stamp and confirms its verdict under the record's lock by the call's
//   sequence number, so a call that returned meanwhile is never taken for
//   the next one.
// - A record's receive state (`rx*`) is touched only by its reader thread,
//   under the record's `rxLock`.
// - Every record ever made is on one list (the registry) until it is freed,
//   so that the watchdog finds also those that left the table while stuck.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/admin_event.h"
#include "core/fault_limiter.h"
#include "core/frame.h"
#include "core/lock.h"
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
// The open status of a record whose transceiver thread has not finished
// opening it yet. No driver status has this value.
constexpr uint32_t kOpenPending = 0xFFFFFFFFu;
// Requests one transceiver holds at most. Each pipe instance has at most one
// request out at a time, so four would do; the rest is headroom.
constexpr uint32_t kTransceiverQueueSize = 8;
// One driver call that has not returned after this long makes its
// transceiver stuck (see CheckStuckTransceivers).
constexpr uint64_t kStuckCallLimitMs = 10000;
// How long a new record's open waits for an earlier record of the same
// transceiver (one that left the table while its call hung) to let go of the
// driver handle. Then it tries the open anyway, and the driver says whether
// the transceiver is free; a refused open is tried again when the earlier
// record closes its handle.
constexpr uint64_t kPredecessorWaitMs = kStuckCallLimitMs;

// The stamp of the driver calls one thread makes for a record. `sequence`
// is odd while a call runs and changes at every start and end; `startedMs`
// is the start of the call in flight (MonotonicMs), 0 between calls. Both are
// written by the calling thread alone, read by the watchdog.
struct DriverCallStamp {
  std::atomic<uint32_t> sequence;
  std::atomic<uint64_t> startedMs;
};

// A request waiting for its transceiver: the frame to write and the pipe
// server's tag, which names the pipe instance and connection to answer.
struct QueuedRequest {
  Frame frame;
  uint64_t tag;
};

struct DeviceTable;

struct DeviceRecord {
  // References, each dropped with ReleaseDeviceRecord: the table's while the
  // record is in a live slot (TableAppend is handed it by the creator; the
  // Take functions hand it on to their caller); the transceiver thread's
  // from its start to its end; and short ones taken under the table's guard
  // by a lookup (a request being queued, a reopen being asked). The drop
  // that takes the count to zero frees the record (DisposeDeviceRecord).
  std::atomic<int32_t> refs;
  // kOpenPending until the transceiver thread has opened it (and again
  // while it reopens it); then 0, or the status of the call that failed.
  // Written by the transceiver thread with release order.
  std::atomic<uint32_t> openStatus;
  // The serial number from the instance id or device path the transceiver
  // arrived with. Written before the record becomes reachable, then fixed.
  // Removal and duplicate checks use it when the EEPROM gave none.
  char pathSerial[kPathSerialSize];
  // Which event reports the outcome of the open: in use (found at start)
  // or plugged in. Set before the thread starts, and by a new arrival that
  // asks for a reopen while the thread may be reporting.
  std::atomic<AdminEvent> openEvent;
  // The table the record was added to (null: g_context's), for the slot
  // its events name. Set before the thread starts, then fixed.
  DeviceTable* table;
  FT_HANDLE handle;   // transceiver thread only (and a test's own opens)
  void* rxEvent;      // auto-reset event the driver signals on received data
  void* stopEvent;    // auto-reset event that ends the reader thread
  void* workEvent;    // auto-reset: a request queued, a close or a reopen asked
  // Manual-reset, set by the transceiver thread once it has closed the
  // driver handle and is about to end; the stop waits for it.
  void* closedEvent;
  int32_t notifyArmed;  // 1 once the driver was asked to signal rxEvent
  // 1 while the driver handle is open; a new record for the same serial
  // number waits for it to clear before it opens (the driver refuses a
  // second open). Written by the transceiver thread.
  std::atomic<int32_t> handleLive;
  // The driver calls of the transceiver thread and of the reader thread.
  DriverCallStamp sender;
  DriverCallStamp reader;
  // Set by the watchdog while it has given up on a call of the reader
  // thread; the reader wakes the transceiver thread when that call returns.
  std::atomic<int32_t> readerStuck;
  // Receive state: reader thread only, under `rxLock` while it drains (so
  // that a test can look at it between drains).
  Lock rxLock;
  uint8_t rxBuf[kRxBufferSize];
  uint16_t rxCount;      // bytes stored in rxBuf
  uint16_t rxExpected;   // the length byte of the frame being received
  uint16_t rxBodyCount;  // bytes received after the length byte
  int32_t rxState;       // 0 hunting, 1 start byte seen, 2 collecting
  // EEPROM strings, filled through `eeprom`'s pointers by OpenDevice; read
  // by other threads only once `openStatus` is no longer kOpenPending.
  char serialNumber[kSerialNumberSize];
  char manufacturer[kManufacturerSize];
  char manufacturerId[kManufacturerIdSize];
  char description[kDescriptionSize];
  uint8_t instance;  // table slot at creation; trace and frames only
  FtProgramData eeprom;
  // Written by SendFrame for its caller, the transceiver thread: 1 when the
  // last send gave up because the transceiver never became ready.
  int32_t gateTimedOut;
  // Paces this transceiver's fault events to one a minute.
  FaultLimiter faults;
  // The reader thread, kept so that the transceiver thread can wait until
  // it has ended before it closes the handle. Transceiver thread only.
  void* readerThread;

  // Guarded by `lock`:
  Lock lock;
  QueuedRequest queue[kTransceiverQueueSize];  // ring, oldest at queueHead
  uint32_t queueHead;
  uint32_t queueCount;
  // The request the transceiver thread is writing, and whether it still
  // owes its answer (the watchdog may answer it first, for a stuck call).
  uint64_t currentTag;
  int32_t currentOwed;
  // A transceiver thread runs, or is being started, and will serve the
  // queue: requests queue from the moment the record is in the table. Set
  // by whoever starts the thread, before the record becomes reachable;
  // cleared by the thread at its end, or by a start that failed (which
  // answers what was queued meanwhile).
  int32_t serving;
  int32_t stuck;          // the watchdog gave up on a call in flight
  int32_t stuckByReader;  // ... a call of the reader thread
  uint32_t stuckSequence; // that call's sequence number (its stamp's)
  uint64_t stuckCallMs;   // that call's start
  int32_t closeAsked;     // the record left the table: close and end
  int32_t reopenAsked;    // the transceiver arrived again: reopen in place

  // The registry of every record not yet freed; guarded by its own lock.
  DeviceRecord* registryPrev;
  DeviceRecord* registryNext;
};

struct DeviceTable {
  DeviceRecord* entries[kMaxDevices];  // slots 0..count-1 live, in arrival order
  int32_t count;
  // Set by the stop before it takes every record: nothing is appended any
  // more, so an arrival racing the stop cannot leave a record nobody
  // closes. Cleared by TableReopen at the next start.
  int32_t closed;
  Lock guard;  // see the file comment
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
  DeviceTable devices;
};

// The one global of the service program.
extern ServiceContext g_context;

// Allocates a record as a new arrival needs it: everything zero (the open
// status too, until AddDevice marks it as opening), `instance` set, the EEPROM record preset with its
// signatures and its string pointers aimed at the record's own buffers, and
// the record on the registry.
// Returns null when memory is out; else the record with one reference, the
// caller's.
DeviceRecord* CreateDeviceRecord(uint8_t instance);
// Takes the record off the registry and frees its memory (nothing else is
// released). Only DisposeDeviceRecord, or a test that made the record and
// never shared it, calls it.
void FreeDeviceRecord(DeviceRecord* record);
// Takes one more reference; only for a caller that holds one already (or
// holds the guard while the record is in the table).
void HoldDeviceRecord(DeviceRecord* record);
// Takes one more reference unless the last one is gone already (the record
// is being freed); for the registry's visitors, which reach records that
// nobody lent them. True when it took one.
bool TryHoldDeviceRecord(DeviceRecord* record);
// Drops one reference; the drop that takes the count to zero frees the
// record with DisposeDeviceRecord, on the calling thread, without any driver
// call. Null is ignored.
void ReleaseDeviceRecord(DeviceRecord* record);

// Appends a record after the last live slot, which takes over the caller's
// reference. Returns false, and leaves the table as it was (the reference
// still the caller's), when all 64 slots are taken or the table is closed.
bool TableAppend(DeviceTable& table, DeviceRecord* record);
// Number of live slots, read under the guard.
int TableCount(DeviceTable& table);
// Closes the table for appends (the stop, before it takes every record), or
// opens it again (a new start).
void TableClose(DeviceTable& table);
void TableReopen(DeviceTable& table);

// How a serial number stands in the table. A record is known by its EEPROM
// serial number, or by the serial number it arrived with when the EEPROM gave
// none (or its open has not got that far); matched ignoring ASCII case.
enum SerialMatch : int {
  kSerialAbsent = 0,  // no live record has it (an empty serial never matches)
  kSerialOpen = 1,    // the first match is open, opening, or stuck
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
// The first live record with this serial number, with a reference for the
// caller to release; null when none matches.
DeviceRecord* TableHoldBySerial(DeviceTable& table, const char* serial);
// The slot that holds `record` now, or -1 when it left the table.
int TableSlotOf(DeviceTable& table, const DeviceRecord* record);
// The same, in the table the record was added to.
int RecordSlot(const DeviceRecord& record);

// The slot of the first live record known by this serial number (as
// TableMatchSerial matches), or -1.
int TableFindSerial(DeviceTable& table, const char* serial);

// Copies the serial number each live slot is known by (the EEPROM's, or
// the one it arrived with) into `out`, in slot order; returns how many.
int TableSerials(DeviceTable& table, char out[kMaxDevices][kPathSerialSize]);

// The serial number a record is known by (see SerialMatch), terminated.
void RecordSerial(const DeviceRecord& record, char out[kPathSerialSize]);

// Calls `visit` for every record not yet freed, in or out of the table,
// under the registry's lock: `visit` must not block, nor take the table's
// guard, nor drop references.
void ForEachRecord(void (*visit)(DeviceRecord& record, void* user), void* user);
// True when a record other than `self` that arrived with this serial number
// still has its driver handle open.
bool OtherRecordHoldsHandle(const DeviceRecord* self, const char* serial);

// Marks a driver call for the watchdog in the transceiver thread's stamp
// (or, with the reader's, in the reader thread's): the call's start and an
// odd sequence number while it runs, 0 and the next even number after.
class DriverCall {
 public:
  explicit DriverCall(DeviceRecord& record) : DriverCall(record.sender) {}
  explicit DriverCall(DriverCallStamp& stamp);
  ~DriverCall();
  DriverCall(const DriverCall&) = delete;
  DriverCall& operator=(const DriverCall&) = delete;

 private:
  DriverCallStamp& stamp_;
};

// Calls `visit`, outside the registry's lock, for every record other than
// `except` that arrived with this serial number and whose open failed (a
// status, not pending): the records a predecessor may have kept from the
// driver handle. Each comes with a reference, which `visit` must release.
// Returns how many.
int ForEachFailedTwin(const char* serial, const DeviceRecord* except,
                      void (*visit)(DeviceRecord& record, void* user), void* user);

// Milliseconds of a clock that never goes back (not the time of day), for
// the call stamps and the watchdog. Never 0.
uint64_t MonotonicMs();

// Equality of two 8-bit texts ignoring the case of ASCII letters only.
bool TextEqualsIgnoreCase(const char* a, const char* b);
