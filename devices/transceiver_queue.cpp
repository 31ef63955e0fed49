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

// What the watchdog found: the records it gave up on, each with a
// reference, reported once it has let go of the registry.
struct StuckScan {
  uint64_t nowMs;
  uint64_t limitMs;
  DeviceRecord* found[kMaxDevices];
  int count;
  int more;  // stuck beyond what `found` holds: answered, not reported
};

// A call over the limit, as sighted now, or false.
bool OverLimit(const DriverCallStamp& stamp, const StuckScan& scan, CallSighting& seen) {
  if (!SightCall(stamp, seen)) return false;
  return scan.nowMs >= seen.startedMs && scan.nowMs - seen.startedMs > scan.limitMs;
}

void ScanForStuck(DeviceRecord& record, void* user) {
  StuckScan& scan = *static_cast<StuckScan*>(user);
  CallSighting seen;
  bool byReader = false;
  if (OverLimit(record.sender, scan, seen)) {
    byReader = false;
  } else if (OverLimit(record.reader, scan, seen)) {
    byReader = true;
  } else {
    return;
  }
  if (!GiveUpOnCall(record, byReader, seen)) return;
  if (scan.count < kMaxDevices && TryHoldDeviceRecord(&record)) {
    scan.found[scan.count++] = &record;
  } else {
    ++scan.more;
  }
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

bool SightCall(const DriverCallStamp& stamp, CallSighting& seen) {
  seen.sequence = stamp.sequence.load(std::memory_order_acquire);
  if ((seen.sequence & 1) == 0) return false;
  seen.startedMs = stamp.startedMs.load(std::memory_order_acquire);
  // The start read belongs to the call sighted only if no call began or
  // ended in between.
  return seen.startedMs != 0 && stamp.sequence.load(std::memory_order_acquire) == seen.sequence;
}

bool GiveUpOnCall(DeviceRecord& record, bool byReader, const CallSighting& seen) {
  Owed owed;
  {
    LockHold hold(record.lock);
    if (record.stuck) return false;
    const DriverCallStamp& stamp = byReader ? record.reader : record.sender;
    // The call sighted has returned meanwhile (and perhaps the next one
    // began, for the next request): nothing is given up on.
    if (stamp.sequence.load(std::memory_order_acquire) != seen.sequence) return false;
    record.stuck = 1;
    record.stuckByReader = byReader ? 1 : 0;
    record.stuckSequence = seen.sequence;
    record.stuckCallMs = seen.startedMs;
    if (byReader) record.readerStuck.store(1, std::memory_order_release);
    // The request in hand is given up on only when its own call hangs; a
    // hanging reader leaves it to the transceiver thread, which is not stuck
    // and answers it as it ends.
    TakeOwed(record, !byReader, owed);
  }
  AnswerOwed(owed, FT_IO_ERROR);
  return true;
}

bool TableSubmitRequest(DeviceTable& table, uint8_t iid, const Frame& frame, uint64_t tag,
                        DeviceStatus* status) {
  DeviceRecord* record = nullptr;
  {
    LockHold hold(table.guard);
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
    } else if (!record->serving) {
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

void StopServing(DeviceRecord& record, DeviceStatus status) {
  Owed owed;
  {
    LockHold hold(record.lock);
    record.serving = 0;
    TakeOwed(record, false, owed);
  }
  AnswerOwed(owed, status);
}

namespace {

struct WithdrawSearch {
  uint64_t tag;
  Withdrawal found;
};

void WithdrawFrom(DeviceRecord& record, void* user) {
  WithdrawSearch& search = *static_cast<WithdrawSearch*>(user);
  if (search.found != kNotHeld) return;
  LockHold hold(record.lock);
  if (record.currentOwed && record.currentTag == search.tag) {
    record.currentOwed = 0;
    search.found = kWithdrawnInCall;
    return;
  }
  for (uint32_t k = 0; k < record.queueCount; ++k) {
    uint32_t at = (record.queueHead + k) % kTransceiverQueueSize;
    if (record.queue[at].tag != search.tag) continue;
    // Close the gap, keeping the order of the others.
    for (uint32_t j = k; j + 1 < record.queueCount; ++j) {
      record.queue[(record.queueHead + j) % kTransceiverQueueSize] =
          record.queue[(record.queueHead + j + 1) % kTransceiverQueueSize];
    }
    --record.queueCount;
    search.found = kWithdrawn;
    return;
  }
}

}  // namespace

Withdrawal WithdrawRequest(uint64_t tag) {
  WithdrawSearch search{tag, kNotHeld};
  // Record locks are taken under the registry's lock here; nothing takes
  // them the other way round.
  ForEachRecord(WithdrawFrom, &search);
  return search.found;
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
    DeviceRecord* record = scan.found[i];
    // Its own slot: after a replug the serial number may name a new record
    // while this one, out of the table, is still stuck.
    ReportAdminEvent(kAdminTransceiverStuck, {record->pathSerial, SlotText(RecordSlot(*record)).text,
                                              Decimal(limitMs / 1000).text});
    ReleaseDeviceRecord(record);
  }
  return scan.count + scan.more;
}

bool ClearStuck(DeviceRecord& record) {
  uint64_t since = 0;
  {
    LockHold hold(record.lock);
    if (!record.stuck) return false;
    if (record.stuckByReader &&
        record.reader.sequence.load(std::memory_order_acquire) == record.stuckSequence) {
      return false;  // the reader's call still hangs
    }
    record.stuck = 0;
    record.stuckByReader = 0;
    record.readerStuck.store(0, std::memory_order_release);
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
