// The device channel on Windows: each transceiver's own thread, its reader
// thread, and opening and closing it.
//
// Threads and what they touch:
// - The transceiver thread (one per record, started by StartTransceiver
//   with a reference of its own) makes every driver call for its
//   transceiver except the reader's: it opens it (OpenDevice), writes the
//   requests queued for it (RunQueuedRequests), and closes it (ShutDevice)
//   when its record left the table. It alone owns the record's driver
//   handle, the reader thread's handle and the reader's events.
// - The reader thread (one per opened transceiver) is handed the record by
//   CreateThread. It waits on stopEvent and rxEvent and drains the driver
//   into the receive framing; the rx* fields are its alone.
// - Other threads only queue work and wake the transceiver thread through
//   workEvent (the pipe server thread, the control thread), or give up on a
//   call that hangs (the watchdog, transceiver_queue.h).
// A call that never returns holds up only its own transceiver thread. Its
// handle is never closed under it and the thread is never terminated: the
// thread's reference keeps the record alive until the call returns, and only
// then is the transceiver closed (and opened again if it is still plugged
// in). A reader call that never returns holds up the transceiver thread in
// its close in the same way: the watchdog sees the reader's stamp and gives
// up on the transceiver's requests; when the call returns, the reader wakes
// the transceiver thread, which closes and reopens it.
// Teardown order: the transceiver thread stops the reader thread and waits
// until it has ended, and only then closes the driver handle and the
// reader's events; then it sets closedEvent and drops its reference. The
// last reference frees the record's own events and memory.
#include "devices/device_channel.h"

#include <windows.h>

#include "core/frame.h"
#include "core/trace.h"
#include "devices/d2xx.h"
#include "devices/receive_framing.h"
#include "devices/send_frame.h"
#include "devices/transceiver_queue.h"

namespace {

constexpr uint32_t kBaudRate = 9600;
constexpr uint8_t kXon = 0x17;
constexpr uint8_t kXoff = 0x19;
constexpr uint32_t kDrainChunk = 256;
// How often an open that waits for an earlier record's handle looks again.
constexpr DWORD kPredecessorPollMs = 100;
// The stack each transceiver thread and reader thread reserves: 64
// transceivers, each with two threads, stuck ones included, take 8 MiB of
// a 32-bit process's 2 GiB. Neither thread keeps more than a frame or a
// drain chunk on its stack.
constexpr SIZE_T kThreadStackBytes = 64 * 1024;

void CloseIfSet(void*& handle) {
  if (handle) CloseHandle(static_cast<HANDLE>(handle));
  handle = nullptr;
}

HANDLE NewThread(LPTHREAD_START_ROUTINE routine, void* arg) {
  return CreateThread(nullptr, kThreadStackBytes, routine, arg,
                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

void TraceEeprom(const DeviceRecord& record) {
  TraceHook("vendor id", record.eeprom.VendorId);
  TraceHook("product id", record.eeprom.ProductId);
  TraceHook("manufacturer", record.manufacturer);
  TraceHook("manufacturer id", record.manufacturerId);
  TraceHook("description", record.description);
  TraceHook("serial number", record.serialNumber);
}

void SendStartupFrame(DeviceRecord& record, uint8_t row) {
  Frame frame;
  PrepareFrame(frame, record.instance);
  LoadTableFrame(frame, row);
  SendFrame(record, frame);
}

bool CloseAsked(DeviceRecord& record) {
  LockHold hold(record.lock);
  return record.closeAsked != 0;
}

// Opens the record's transceiver (again), once no earlier record of the
// same transceiver holds the driver handle or kPredecessorWaitMs have
// passed, and reports how it went. Returns false when a close was asked
// before the open could start.
bool OpenAndReport(DeviceRecord& record) {
  record.openStatus.store(kOpenPending, std::memory_order_release);
  // The driver refuses a second open of one transceiver: a record that left
  // the table while its call hung keeps the handle until the call returns.
  // Waiting for that without limit would leave this record's requests
  // waiting without limit too; after a while the open is tried anyway, and
  // a refusal is tried again when the earlier record lets go (ShutDevice).
  uint64_t since = MonotonicMs();
  while (OtherRecordHoldsHandle(&record, record.pathSerial) &&
         MonotonicMs() - since < kPredecessorWaitMs) {
    if (CloseAsked(record)) return false;
    Sleep(kPredecessorPollMs);
  }
  if (CloseAsked(record)) return false;
  OpenRecordAndReport(record);
  return true;
}

// A record of the same transceiver whose open was refused while this one
// held the handle is opened again now that it is free.
void ReopenFailedTwin(DeviceRecord& twin, void*) {
  if (RecordSlot(twin) >= 0) {
    twin.openEvent.store(kAdminTransceiverPluggedIn, std::memory_order_relaxed);
    AskTransceiverToReopen(twin);
  }
  ReleaseDeviceRecord(&twin);
}

// What ends a transceiver thread's serving: a close, or a reopen (asked, or
// after a call that hung has returned while the transceiver is still in
// the table).
enum ServeEnd { kServeClose, kServeReopen };

ServeEnd Serve(DeviceRecord& record) {
  for (;;) {
    RunQueuedRequests(record);
    if (ClearStuck(record)) {
      // The call the watchdog gave up on (this thread's, or the reader's)
      // has returned.
      return RecordSlot(record) >= 0 ? kServeReopen : kServeClose;
    }
    {
      LockHold hold(record.lock);
      if (record.closeAsked) return kServeClose;
      if (record.reopenAsked) {
        record.reopenAsked = 0;
        return kServeReopen;
      }
    }
    WaitForSingleObject(static_cast<HANDLE>(record.workEvent), INFINITE);
  }
}

// One per record; `arg` is its DeviceRecord, with a reference that is this
// thread's.
DWORD WINAPI TransceiverThread(void* arg) {
  DeviceRecord& record = *static_cast<DeviceRecord*>(arg);
  for (;;) {
    if (!OpenAndReport(record)) break;
    ServeEnd end = Serve(record);
    ShutDevice(record);
    // A reader call that hung while the transceiver was closed has returned
    // now: the close waited for it.
    if (ClearStuck(record) && RecordSlot(record) >= 0) end = kServeReopen;
    if (end == kServeClose) break;
    TraceHook("reopening instance", record.instance);
  }
  // Every path here has shut what it opened: a close asked before the open
  // leaves nothing open. Whatever is still queued is for a transceiver that
  // has gone.
  StopServing(record, kStatusDeviceNotFound);
  SetEvent(static_cast<HANDLE>(record.closedEvent));
  ReleaseDeviceRecord(&record);
  return 0;
}

DWORD WINAPI ReaderThread(void* arg);

}  // namespace

bool (*g_refuseTransceiverThread)(DeviceRecord& record) = nullptr;

DeviceStatus StartTransceiver(DeviceRecord& record) {
  bool refused = g_refuseTransceiverThread && g_refuseTransceiverThread(record);
  // Made once per record: a thread started again after a failed start
  // reuses them.
  if (!record.workEvent) record.workEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!record.closedEvent) record.closedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = nullptr;
  if (record.workEvent && record.closedEvent) {
    ResetEvent(static_cast<HANDLE>(record.closedEvent));
    HoldDeviceRecord(&record);  // the thread's; it is handed over here
    if (!refused) thread = NewThread(TransceiverThread, &record);
    if (!thread) {
      TraceHook("transceiver thread creation failed", GetLastError());
      ReleaseDeviceRecord(&record);
    }
  }
  if (!thread) {
    record.openStatus.store(FT_INSUFFICIENT_RESOURCES, std::memory_order_release);
    // Requests may have queued since the record became reachable: nobody
    // will write them.
    StopServing(record, FT_INSUFFICIENT_RESOURCES);
    // Nothing to wait for at the stop.
    if (record.closedEvent) SetEvent(static_cast<HANDLE>(record.closedEvent));
    return FT_INSUFFICIENT_RESOURCES;
  }
  // No handle is kept: the stop waits on closedEvent instead.
  CloseHandle(thread);
  return FT_OK;
}

void WakeTransceiver(DeviceRecord& record) {
  if (record.workEvent) SetEvent(static_cast<HANDLE>(record.workEvent));
}

DeviceStatus OpenDevice(const char* serial, DeviceRecord& record) {
  DeviceStatus status;
  {
    DriverCall call(record);
    status = FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &record.handle);
  }
  if (status != FT_OK) return status;
  record.handleLive.store(1, std::memory_order_release);

  // A failure here leaves the handle open (ShutDevice closes it) and makes
  // nothing else: no events, no reader thread, no start-up frames.
  {
    DriverCall call(record);
    status = FT_SetBaudRate(record.handle, kBaudRate);
  }
  if (status != FT_OK) return status;
  {
    DriverCall call(record);
    status = FT_SetDataCharacteristics(record.handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
  }
  if (status != FT_OK) return status;
  {
    DriverCall call(record);
    status = FT_SetFlowControl(record.handle, FT_FLOW_NONE, kXon, kXoff);
  }
  if (status != FT_OK) return status;

  record.rxEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  record.stopEvent = record.rxEvent ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : nullptr;
  if (!record.rxEvent || !record.stopEvent) {
    TraceHook("event creation failed", GetLastError());
    CloseIfSet(record.rxEvent);
    CloseIfSet(record.stopEvent);
    return FT_INSUFFICIENT_RESOURCES;
  }

  // Fills the record's own string buffers through the pointers preset at
  // creation; a failed read leaves them empty, which nothing relies on.
  {
    DriverCall call(record);
    FT_EE_Read(record.handle, &record.eeprom);
  }
  TraceEeprom(record);

  record.notifyArmed = 1;
  {
    DriverCall call(record);
    FT_SetEventNotification(record.handle, FT_EVENT_RXCHAR, record.rxEvent);
  }

  // The record goes to the new thread here; it stays valid until
  // ShutDevice has seen the thread end.
  record.readerThread = NewThread(ReaderThread, &record);
  if (!record.readerThread) {
    TraceHook("reader thread creation failed", GetLastError());
    // Take the event back from the driver before closing it, so the driver
    // never signals a handle value that may by then name something else.
    {
      DriverCall call(record);
      FT_SetEventNotification(record.handle, 0, nullptr);
    }
    record.notifyArmed = 0;
    CloseIfSet(record.rxEvent);
    CloseIfSet(record.stopEvent);
    return FT_INSUFFICIENT_RESOURCES;
  }

  SendStartupFrame(record, kStartupFrameRow1);
  SendStartupFrame(record, kStartupFrameRow2);
  SendStartupFrame(record, kSensorStartupFrameRow);
  return FT_OK;
}

DeviceStatus DrainDevice(DeviceRecord& record) {
  uint32_t waiting = 0;
  FT_STATUS queued;
  {
    DriverCall call(record.reader);
    queued = FT_GetQueueStatus(record.handle, &waiting);
  }
  if (queued != FT_OK) waiting = 0;
  uint8_t buffer[kDrainChunk];
  while (waiting > 0) {
    uint32_t want = waiting < kDrainChunk ? waiting : kDrainChunk;
    uint32_t got = 0;
    DeviceStatus status;
    {
      DriverCall call(record.reader);
      status = FT_Read(record.handle, buffer, want, &got);
    }
    if (status != FT_OK) return status;
    // A read that returns nothing would otherwise loop here for ever; what
    // is still queued comes with the next signal.
    if (got == 0) break;
    if (got > want) got = want;
    FeedReceiveParser(record, buffer, static_cast<uint16_t>(got));
    waiting -= got;
  }
  return FT_OK;
}

namespace {

// One per opened transceiver; `arg` is its DeviceRecord.
DWORD WINAPI ReaderThread(void* arg) {
  DeviceRecord& record = *static_cast<DeviceRecord*>(arg);
  // stopEvent first: a wait returns the first signalled event of its array,
  // so a transceiver that never stops sending cannot keep the stop from
  // being seen.
  HANDLE events[2] = {record.stopEvent, record.rxEvent};
  for (;;) {
    DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      return 0;
    } else if (woke == WAIT_OBJECT_0 + 1) {
      {
        LockHold hold(record.rxLock);
        DrainDevice(record);
      }
      // A call of ours the watchdog gave up on has returned: the
      // transceiver thread closes and reopens the transceiver.
      if (record.readerStuck.load(std::memory_order_acquire)) WakeTransceiver(record);
    } else if (woke == WAIT_FAILED) {
      // Cannot happen while ShutDevice keeps the events open until this
      // thread ended; should it, do not spin a core.
      Sleep(1);
    }
  }
}

}  // namespace

void ShutDevice(DeviceRecord& record) {
  if (record.readerThread) {
    SetEvent(static_cast<HANDLE>(record.stopEvent));
    // A reader inside a driver call that hangs is waited for as long as it
    // takes: closing the handle or the events under it is never done. The
    // watchdog sees the reader's call meanwhile and gives up on the
    // transceiver's requests, and the stop leaves it behind.
    WaitForSingleObject(static_cast<HANDLE>(record.readerThread), INFINITE);
    CloseIfSet(record.readerThread);
  }
  // A record whose open failed has no handle; there is nothing to close.
  if (record.handle) {
    DriverCall call(record);
    FT_Close(record.handle);
  }
  record.handle = nullptr;
  record.handleLive.store(0, std::memory_order_release);
  record.notifyArmed = 0;
  CloseIfSet(record.stopEvent);
  CloseIfSet(record.rxEvent);
  // A reopen starts hunting for a frame afresh.
  record.rxState = 0;
  record.rxCount = 0;
  ForEachFailedTwin(record.pathSerial, &record, ReopenFailedTwin, nullptr);
}

void CloseDevice(DeviceRecord* record) {
  if (!record) return;
  ShutDevice(*record);
  DisposeDeviceRecord(record);
}

void DisposeDeviceRecord(DeviceRecord* record) {
  if (!record) return;
  CloseIfSet(record->workEvent);
  CloseIfSet(record->closedEvent);
  FreeDeviceRecord(record);
}
