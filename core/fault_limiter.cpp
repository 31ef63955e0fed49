#include "core/fault_limiter.h"

bool FaultLimiterAdmit(FaultLimiter& limiter, uint64_t nowMs, uint32_t* leftOut) {
  LockHold hold(limiter.lock);
  bool due = !limiter.admittedOnce || (nowMs >= limiter.lastAdmitMs &&
                                       nowMs - limiter.lastAdmitMs >= kFaultReportIntervalMs);
  if (!due) {
    // Saturate rather than wrap: four billion refusals still read as many.
    if (limiter.leftOut != UINT32_MAX) ++limiter.leftOut;
    return false;
  }
  if (leftOut) *leftOut = limiter.leftOut;
  limiter.leftOut = 0;
  limiter.lastAdmitMs = nowMs;
  limiter.admittedOnce = true;
  return true;
}
