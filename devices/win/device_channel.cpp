// The device channel on Windows: opening a transceiver, its reader thread,
// and closing it.
//
// Threads and what they touch:
// - OpenDevice runs on the thread that adds the transceiver (the service
//   main thread at start, the control thread for device events). CloseDevice
//   runs on whichever thread let go of the record last (ReleaseDeviceRecord):
//   the control thread (removal, stop), the adding thread (a record that
//   could not be appended), or the pipe server thread (a request that was
//   still writing when its record left the table). The reference that
//   AddDevice holds until the open has ended keeps the two from ever running
//   at once for one record. They own the record's handle, events and thread
//   handle.
// - The reader thread (one per opened transceiver) is handed the record by
//   CreateThread. It waits on rxEvent and stopEvent, and drains the driver
//   into the receive framing under the record's `lock`; the rx* fields are
//   its alone.
// - SendFrame may write to the same handle from the pipe server thread at any
//   time while a request holds the record; the driver serialises that.
// Teardown order: CloseDevice stops the reader thread and waits until it has
// ended, and only then closes the driver handle, the events and the thread
// handle, and frees the record. So no drain ever runs on a closed handle, and
// no thread touches a freed record or a closed event.
#include "devices/device_channel.h"

#include <windows.h>

#include "core/frame.h"
#include "core/trace.h"
#include "devices/d2xx.h"
#include "devices/receive_framing.h"
#include "devices/send_frame.h"

namespace {

constexpr uint32_t kBaudRate = 9600;
constexpr uint8_t kXon = 0x17;
constexpr uint8_t kXoff = 0x19;
constexpr uint32_t kDrainChunk = 256;
// How long CloseDevice waits for a reader thread to end. A thread that has
// not ended by then is stuck inside the driver: its record, events and
// thread handle are then left alone for good rather than freed under it.
constexpr DWORD kReaderStopTimeoutMs = 5000;

void CloseIfSet(void*& handle) {
  if (handle) CloseHandle(static_cast<HANDLE>(handle));
  handle = nullptr;
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

DWORD WINAPI ReaderThread(void* record);

}  // namespace

DeviceStatus OpenDevice(const char* serial, DeviceRecord& record) {
  // The record's lock is a std::mutex, ready since the record was made.
  DeviceStatus status =
      FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &record.handle);
  if (status != FT_OK) return status;

  // A failure here leaves the handle open (CloseDevice closes it) and makes
  // nothing else: no events, no reader thread, no start-up frames.
  status = FT_SetBaudRate(record.handle, kBaudRate);
  if (status != FT_OK) return status;
  status = FT_SetDataCharacteristics(record.handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
  if (status != FT_OK) return status;
  status = FT_SetFlowControl(record.handle, FT_FLOW_NONE, kXon, kXoff);
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
  FT_EE_Read(record.handle, &record.eeprom);
  TraceEeprom(record);

  record.notifyArmed = 1;
  FT_SetEventNotification(record.handle, FT_EVENT_RXCHAR, record.rxEvent);

  // The record goes to the new thread here; it stays valid until
  // CloseDevice has seen the thread end.
  record.readerThread = CreateThread(nullptr, 0, ReaderThread, &record, 0, nullptr);
  if (!record.readerThread) {
    TraceHook("reader thread creation failed", GetLastError());
    // Take the event back from the driver before closing it, so the driver
    // never signals a handle value that may by then name something else.
    FT_SetEventNotification(record.handle, 0, nullptr);
    record.notifyArmed = 0;
    CloseIfSet(record.rxEvent);
    CloseIfSet(record.stopEvent);
    return FT_INSUFFICIENT_RESOURCES;
  }

  SendStartupFrame(record, kStartupFrameRow1);
  SendStartupFrame(record, kStartupFrameRow2);
  return FT_OK;
}

DeviceStatus DrainDevice(DeviceRecord& record) {
  uint32_t waiting = 0;
  if (FT_GetQueueStatus(record.handle, &waiting) != FT_OK) waiting = 0;
  uint8_t buffer[kDrainChunk];
  while (waiting > 0) {
    uint32_t want = waiting < kDrainChunk ? waiting : kDrainChunk;
    uint32_t got = 0;
    DeviceStatus status = FT_Read(record.handle, buffer, want, &got);
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
  // rxEvent first: when both are set, pending bytes are drained before the
  // stop is seen on the next wait (the auto-reset stopEvent stays set).
  HANDLE events[2] = {record.rxEvent, record.stopEvent};
  for (;;) {
    DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      std::lock_guard<std::mutex> hold(record.lock);
      DrainDevice(record);
    } else if (woke == WAIT_OBJECT_0 + 1) {
      // The acknowledgement of the stop handshake. CloseDevice waits for
      // this thread itself, but the signal costs nothing and keeps the
      // handshake whole for anyone who waits on the event.
      SetEvent(record.stopEvent);
      return 0;
    } else if (woke == WAIT_FAILED) {
      // Cannot happen while CloseDevice keeps the events open until this
      // thread ended; should it, do not spin a core.
      Sleep(1);
    }
  }
}

}  // namespace

void CloseDevice(DeviceRecord* record) {
  if (!record) return;
  record->closing = 1;
  if (record->readerThread) {
    SetEvent(static_cast<HANDLE>(record->stopEvent));
    if (WaitForSingleObject(static_cast<HANDLE>(record->readerThread), kReaderStopTimeoutMs) !=
        WAIT_OBJECT_0) {
      // Stuck inside the driver: freeing anything it uses would be worse
      // than leaving one transceiver's resources behind.
      TraceHook("reader thread did not end", record->instance);
      return;
    }
    CloseIfSet(record->readerThread);
  }
  // A record whose open failed has no handle; there is nothing to close.
  if (record->handle) FT_Close(record->handle);
  record->handle = nullptr;
  CloseIfSet(record->stopEvent);
  CloseIfSet(record->rxEvent);
  FreeDeviceRecord(record);
}
