#include "devices/send_frame.h"

#include <chrono>

#include "core/frame.h"
#include "core/lock.h"
#include "core/trace.h"
#include "devices/d2xx.h"
#include "devices/device_table.h"

namespace {

using Clock = std::chrono::steady_clock;

// Paces the waits of one SendFrame: the first polls run back to back, since a
// transceiver is normally ready at once; after that each fruitless poll sleeps
// 1 ms so that a transceiver that stays busy does not burn a core, and the
// whole send gives up at the deadline.
struct GatePacer {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kGateTimeoutMs);
  uint32_t fruitless = 0;
  bool expired = false;  // the deadline passed: the send gave up waiting

  // Returns false once the deadline has passed.
  bool WaitBeforeRetry() {
    if (++fruitless > kGateSpinPolls) {
      SleepMs(1);
    }
    expired = Clock::now() >= deadline;
    return !expired;
  }
};

// Polls until the modem status reads exactly 0x30. Each poll is a driver
// call of its own for the watchdog: a gate that stays shut is many short
// calls, not one that hangs.
DeviceStatus PassGate(DeviceRecord& record, GatePacer& pacer) {
  for (;;) {
    uint32_t modem = 0;
    FT_STATUS status;
    {
      DriverCall call(record);
      status = FT_GetModemStatus(record.handle, &modem);
    }
    if (status != FT_OK) return status;
    if (modem == FT_MODEM_READY) return FT_OK;
    if (!pacer.WaitBeforeRetry()) return kGateTimeoutStatus;
  }
}

}  // namespace

DeviceStatus SendFrame(DeviceRecord& record, const Frame& frame) {
  record.gateTimedOut = 0;
  uint32_t remaining = frame.length;
  if (remaining == 0) return FT_OK;

  GatePacer pacer;
  DeviceStatus status = FT_OK;
  while (remaining > 0) {
    status = PassGate(record, pacer);
    if (status != FT_OK) {
      record.gateTimedOut = pacer.expired ? 1 : 0;
      return status;
    }
    uint32_t written = 0;
    uint8_t* from = const_cast<uint8_t*>(frame.bytes) + (frame.length - remaining);
    {
      DriverCall call(record);
      status = FT_Write(record.handle, from, remaining, &written);
    }
    if (status != FT_OK) return status;
    // A driver that reports more than it was given must not wrap the count.
    remaining -= written < remaining ? written : remaining;
    // A write that moved nothing counts as a fruitless wait, so a driver that
    // keeps accepting zero bytes still ends at the deadline.
    if (written == 0 && !pacer.WaitBeforeRetry()) {
      record.gateTimedOut = 1;
      return kGateTimeoutStatus;
    }
  }
  TraceHook("sent to instance", record.instance);
  return status;
}
