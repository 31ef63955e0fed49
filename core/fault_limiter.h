// At most one report a minute for a repeating fault of one transceiver (not
// ready in time, driver errors on writing), so that a client hammering a dead
// transceiver cannot flood the event log. The reports left out meanwhile are
// counted and go with the next report that is let through.
//
// Threads: any number of threads may call FaultLimiterAdmit on one limiter
// at once; its own lock serialises them. Requests to one transceiver already
// come one at a time (on that transceiver's own thread), so the lock is never
// contended in practice; it is there so that the limiter is correct on its
// own. Counts left out after the last admitted report are reported with the
// next fault of that transceiver, or not at all when none comes.
#pragma once

#include <cstdint>
#include "core/lock.h"

constexpr uint64_t kFaultReportIntervalMs = 60 * 1000;

struct FaultLimiter {
  Lock lock;                 // guards the three fields below
  bool admittedOnce = false;  // a report was let through at lastAdmitMs
  uint64_t lastAdmitMs = 0;  // clock of the last admitted report
  uint32_t leftOut = 0;      // reports refused since then
};

// True when a report at `nowMs` (a monotonic millisecond clock, such as
// GetTickCount64) may be written: the first one, and then one at least
// kFaultReportIntervalMs after the last admitted. On true, *leftOut (when
// not null) receives how many were refused since the last admitted report,
// and that count starts again at 0; on false the refusal is counted. A clock
// that went backwards counts as no time passed.
bool FaultLimiterAdmit(FaultLimiter& limiter, uint64_t nowMs, uint32_t* leftOut);
