// Requests on their way to a transceiver, and the watch for a transceiver
// stuck inside the driver.
//
// Threads:
// - the pipe server thread queues a request (TableSubmitRequest) and goes
//   on serving its other instances; it never calls the driver;
// - the transceiver's own thread takes the requests one by one, in the
//   order they came, writes each frame and hands the outcome back through
//   the outcome sink (RunQueuedRequests);
// - the watchdog (the service's worker thread, twice a second) finds a
//   transceiver whose driver call (its own thread's or its reader's) has
//   not returned after kStuckCallLimitMs, answers its waiting requests
//   "ZARVO i/o error." at once and from then on every new one too
//   (CheckStuckTransceivers), so that nobody waits on it;
// - the pipe server thread itself, for a request that waited too long
//   whatever the transceiver's threads are doing, withdraws it and answers
//   it (WithdrawRequest);
// - the outcome sink runs on whichever of these decided the outcome.
// Each request is answered exactly once: the record's lock decides between
// the transceiver thread, the watchdog and the pipe server thread. A request
// answered before its frame went out is never written afterwards; only the
// one already inside a driver call when it was answered may still go out.
#pragma once

#include <cstdint>

#include "core/frame.h"
#include "core/request.h"
#include "devices/device_table.h"

// Receives the outcome of a queued request, with the tag it was queued
// with. Must not block: the pipe server's sink posts it and wakes its thread.
typedef void (*RequestOutcomeSink)(uint64_t tag, DeviceStatus status);

// Sets the sink (null: outcomes are dropped). Set it before any request is
// queued.
void SetRequestOutcomeSink(RequestOutcomeSink sink);

// Queues `frame` for the transceiver in slot `iid`. Returns true when it was
// queued: its outcome comes through the sink, later or even before this
// returns. Returns false when it is answered at once, with *status:
// kStatusDeviceNotFound (2) when the slot is not live, FT_IO_ERROR (4) when
// the transceiver is stuck, its open status when it has no thread to write
// it, FT_INSUFFICIENT_RESOURCES (5) when its queue is full.
bool TableSubmitRequest(DeviceTable& table, uint8_t iid, const Frame& frame, uint64_t tag,
                        DeviceStatus* status);

// Transceiver thread: writes the queued requests in order and answers each
// through the sink, until the queue is empty, a close or reopen is asked,
// or the watchdog found the transceiver stuck.
void RunQueuedRequests(DeviceRecord& record);

// Answers every request still queued with `status` (a closing transceiver:
// kStatusDeviceNotFound, as for a transceiver that has gone).
void AnswerQueuedRequests(DeviceRecord& record, DeviceStatus status);

// The record's thread will not serve it (it ended, or could not be
// started): new requests are answered at once from its open status, and
// those queued meanwhile are answered with `status`.
void StopServing(DeviceRecord& record, DeviceStatus status);

// What WithdrawRequest found.
enum Withdrawal : int {
  kWithdrawn = 0,       // taken back before it was written: it never goes out
  kWithdrawnInCall = 1, // it was being written: answered, its call goes on
  kNotHeld = 2,         // no record holds it: its outcome is on its way
};

// The pipe server thread gives up on the request queued with `tag`: takes
// it from the record that holds it, so that nobody else answers it and it
// is never written if it has not been. The caller then answers it.
Withdrawal WithdrawRequest(uint64_t tag);

// Asks the transceiver thread to close the transceiver and end (it left the
// table), or to open it again in place (it arrived again after a failed
// open), and wakes it.
void AskTransceiverToClose(DeviceRecord& record);
void AskTransceiverToReopen(DeviceRecord& record);

// The watchdog: every transceiver whose thread or reader thread has been
// inside one driver call for more than `limitMs` at `nowMs` becomes stuck,
// once: its waiting requests and the one in hand are answered FT_IO_ERROR,
// and an event says so. Returns how many became stuck.
int CheckStuckTransceivers(uint64_t nowMs, uint64_t limitMs);

// What the watchdog saw of one call, and its verdict on it: the call is
// given up on only if, under the record's lock, the stamp still shows that
// very call (the same sequence number). Exposed for the tests of that race.
struct CallSighting {
  uint32_t sequence;
  uint64_t startedMs;
};
bool SightCall(const DriverCallStamp& stamp, CallSighting& seen);
bool GiveUpOnCall(DeviceRecord& record, bool byReader, const CallSighting& seen);

// Transceiver thread, after a call the watchdog gave up on has returned:
// the transceiver is not stuck any more; reports the event that says so.
// Returns true when it had been stuck and the call has returned (a reader's
// call that still hangs keeps it stuck).
bool ClearStuck(DeviceRecord& record);

// True while the watchdog has given up on the record's call in flight.
bool TransceiverStuck(DeviceRecord& record);

// Transceiver thread: opens the record's transceiver (OpenDevice with the
// serial number it arrived with), marked as opening until then, publishes
// the open status and reports how it ended (ReportOpenOutcome).
void OpenRecordAndReport(DeviceRecord& record);

// Reports how an open ended: the record's openEvent with its slot, or the
// failure with the driver's status. Nothing when it left the table.
void ReportOpenOutcome(DeviceRecord& record, DeviceStatus status);
