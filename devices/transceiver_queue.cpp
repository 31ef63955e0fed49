#include "devices/transceiver_queue.h"

#include <atomic>
#include <cstring>

#include "core/admin_event.h"
#include "core/trace.h"
#include "devices/device_channel.h"
#include "devices/send_frame.h"
#include "devices/transceiver_events.h"

namespace {

std::atomic<RequestOutcomeSink> g_outcomeSink{nullptr};

void Deliver(uint64_t tag, DeviceStatus status) {
  RequestOutcomeSink sink = g_outcomeSink.load(std::memory_order_acquire);
  if (sink) sink(tag, status);
}

// A failed send becomes an event for the administrator, at most one a
// minute per transceiver, with how many were left out meanwhile.
void ReportSendFault(DeviceRecord& record, DeviceStatus status) {
  uint32_t leftOut = 0;
  if (!FaultLimiterAdmit(record.faults, MonotonicMs(), &leftOut)) return;
  int slot = RecordSlot(record);
  if (slot < 0) return;
  char serial[kPathSerialSize];
  RecordSerial(record, serial);
  DecimalText instance = Decimal(static_cast<uint32_t>(slot));
  if (record.gateTimedOut) {
    ReportAdminEvent(kAdminTransceiverNotReady, {serial, instance.text, Decimal(leftOut).text});
  } else {
    ReportAdminEvent(kAdminWriteFailed, {serial, instance.text, ReplyText(status),
                                         Decimal(status).text, Decimal(leftOut).text});
  }
}

// The requests a stuck transceiver owed, collected under its lock and
// answered after it.
struct Owed {
  uint64_t tags[kTransceiverQueueSize + 1];
  uint32_t count = 0;
};

// Takes every queued request (and the one in hand, if `withCurrent` and
// still owed) off the record. Called under the record's lock.
void TakeOwed(DeviceRecord& record, bool withCurrent, Owed& owed) {
  if (withCurrent && record.currentOwed) {
    owed.tags[owed.count++] = record.currentTag;
    record.currentOwed = 0;
  }
  while (record.queueCount > 0) {
    owed.tags[owed.count++] = record.queue[record.queueHead].tag;
    record.queueHead = (record.queueHead + 1) % kTransceiverQueueSize;
    --record.queueCount;
  }
}

void AnswerOwed(const Owed& owed, DeviceStatus status) {
  for (uint32_t i = 0; i < owed.count; ++i) Deliver(owed.tags[i], status);
}

// What the watchdog found, reported once it has let go of the registry.
struct StuckFinding {
  char serial[kPathSerialSize];
  DeviceTable* table;  // tables outlive their records
};
struct StuckScan {
  uint64_t nowMs;
  uint64_t limitMs;
  StuckFinding found[kMaxDevices];
  int count;
  int more;  // stuck beyond what `found` holds: answered, not reported
};

void ScanForStuck(DeviceRecord& record, void* user) {
  StuckScan& scan = *static_cast<StuckScan*>(user);
  uint64_t started = record.callStartedMs.load(std::memory_order_acquire);
  if (started == 0 || scan.nowMs < started || scan.nowMs - started <= scan.limitMs) return;
  Owed owed;
  {
    LockHold hold(record.lock);
    if (record.stuck) return;
    record.stuck = 1;
    record.stuckCallMs = started;
    TakeOwed(record, true, owed);
  }
  // The sink never blocks, so answering under the registry's lock is safe.
  AnswerOwed(owed, FT_IO_ERROR);
  if (scan.count >= kMaxDevices) {
    ++scan.more;
    return;
  }
  StuckFinding& finding = scan.found[scan.count++];
  std::memcpy(finding.serial, record.pathSerial, kPathSerialSize);
  finding.serial[kPathSerialSize - 1] = '\0';
  finding.table = record.table ? record.table : &g_context.devices;
}

// A slot as an event's text ("none" once gone).
DecimalText SlotText(int slot) {
  if (slot < 0) {
    DecimalText none;
    std::strcpy(none.text, "none");
    return none;
  }
  return Decimal(static_cast<uint32_t>(slot));
}

}  // namespace

void SetRequestOutcomeSink(RequestOutcomeSink sink) {
  g_outcomeSink.store(sink, std::memory_order_release);
}

bool TableSubmitRequest(DeviceTable& table, uint8_t iid, const Frame& frame, uint64_t tag,
                        DeviceStatus* status) {
  DeviceRecord* record = nullptr;
  {
    std::lock_guard<std::mutex> hold(table.guard);
    if (iid >= table.count) {
      *status = kStatusDeviceNotFound;
      return false;
    }
    record = table.entries[iid];
    HoldDeviceRecord(record);
  }
  bool queued = false;
  {
    LockHold hold(record->lock);
    if (record->stuck) {
      *status = FT_IO_ERROR;
    } else if (!record->threadRunning) {
      uint32_t open = record->openStatus.load(std::memory_order_acquire);
      *status = open == kOpenPending || open == kStatusOk ? FT_DEVICE_NOT_OPENED : open;
    } else if (record->queueCount >= kTransceiverQueueSize) {
      *status = FT_INSUFFICIENT_RESOURCES;
    } else {
      uint32_t at = (record->queueHead + record->queueCount) % kTransceiverQueueSize;
      record->queue[at].frame = frame;
      record->queue[at].tag = tag;
      ++record->queueCount;
      queued = true;
    }
  }
  if (queued) WakeTransceiver(*record);
  ReleaseDeviceRecord(record);
  return queued;
}

void RunQueuedRequests(DeviceRecord& record) {
  Frame frame;
  for (;;) {
    {
      LockHold hold(record.lock);
      if (record.stuck || record.closeAsked || record.reopenAsked || record.queueCount == 0) return;
      QueuedRequest& next = record.queue[record.queueHead];
      frame = next.frame;
      record.currentTag = next.tag;
      record.currentOwed = 1;
      record.queueHead = (record.queueHead + 1) % kTransceiverQueueSize;
      --record.queueCount;
    }
    // A record whose open failed still writes through the driver, so that
    // its requests get the driver's own status for it.
    DeviceStatus status = SendFrame(record, frame);
    if (status == kStatusOk) {
      PublishSent(record, frame);
    } else {
      ReportSendFault(record, status);
    }
    uint64_t tag = 0;
    bool owed = false;
    {
      LockHold hold(record.lock);
      owed = record.currentOwed != 0;
      tag = record.currentTag;
      record.currentOwed = 0;
    }
    // Not owed any more when the watchdog answered it while the call hung.
    if (owed) Deliver(tag, status);
  }
}

void AnswerQueuedRequests(DeviceRecord& record, DeviceStatus status) {
  Owed owed;
  {
    LockHold hold(record.lock);
    TakeOwed(record, false, owed);
  }
  AnswerOwed(owed, status);
}

void AskTransceiverToClose(DeviceRecord& record) {
  {
    LockHold hold(record.lock);
    record.closeAsked = 1;
  }
  WakeTransceiver(record);
}

void AskTransceiverToReopen(DeviceRecord& record) {
  {
    LockHold hold(record.lock);
    record.reopenAsked = 1;
  }
  WakeTransceiver(record);
}

bool TransceiverStuck(DeviceRecord& record) {
  LockHold hold(record.lock);
  return record.stuck != 0;
}

int CheckStuckTransceivers(uint64_t nowMs, uint64_t limitMs) {
  static StuckScan scan;  // one watchdog thread; too big for its stack
  scan.nowMs = nowMs;
  scan.limitMs = limitMs;
  scan.count = 0;
  scan.more = 0;
  ForEachRecord(ScanForStuck, &scan);
  for (int i = 0; i < scan.count; ++i) {
    const char* serial = scan.found[i].serial;
    int slot = TableFindSerial(*scan.found[i].table, serial);
    ReportAdminEvent(kAdminTransceiverStuck,
                     {serial, SlotText(slot).text, Decimal(limitMs / 1000).text});
  }
  return scan.count + scan.more;
}

bool ClearStuck(DeviceRecord& record) {
  uint64_t since = 0;
  {
    LockHold hold(record.lock);
    if (!record.stuck) return false;
    record.stuck = 0;
    since = record.stuckCallMs;
  }
  uint64_t now = MonotonicMs();
  uint64_t seconds = now > since ? (now - since) / 1000 : 0;
  ReportAdminEvent(kAdminTransceiverReturned,
                   {record.pathSerial, SlotText(RecordSlot(record)).text, Decimal(seconds).text});
  return true;
}

void OpenRecordAndReport(DeviceRecord& record) {
  record.openStatus.store(kOpenPending, std::memory_order_release);
  DeviceStatus status = OpenDevice(record.pathSerial, record);
  // Release order: the handle and the EEPROM strings are in place before a
  // match can see the record as open.
  record.openStatus.store(status, std::memory_order_release);
  ReportOpenOutcome(record, status);
}

void ReportOpenOutcome(DeviceRecord& record, DeviceStatus status) {
  int slot = RecordSlot(record);
  if (slot < 0) return;
  DecimalText instance = Decimal(static_cast<uint32_t>(slot));
  if (status == kStatusOk) {
    ReportAdminEvent(record.openEvent.load(std::memory_order_relaxed), {record.pathSerial, instance.text});
  } else {
    ReportAdminEvent(kAdminTransceiverNotOpened,
                     {record.pathSerial, instance.text, ReplyText(status), Decimal(status).text});
  }
  TraceHook("opened instance", static_cast<uint32_t>(slot));
}
