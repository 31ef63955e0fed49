// The one operation that writes a frame to a transceiver.
#pragma once

#include <cstdint>

#include "core/request.h"

struct DeviceRecord;
struct Frame;

// How long SendFrame waits, in all, for the transceiver to become ready
// before it gives up with kGateTimeoutStatus.
constexpr uint32_t kGateTimeoutMs = 3000;
// FT_IO_ERROR: the reply is "ZARVO i/o error.".
constexpr DeviceStatus kGateTimeoutStatus = 4;
// Polls made back to back before the gate starts sleeping 1 ms between them.
constexpr uint32_t kGateSpinPolls = 200;

// Writes the frame's `length` bytes. Before every write the modem status must
// read exactly 0x30 (CTS and DSR, no line errors); a write the driver
// completes in parts passes the gate again for the rest. A driver error ends
// it with that status; bytes already written are not recalled. A frame of
// length 0 succeeds without a driver call. Takes no lock. Runs on the
// transceiver's own thread; every driver call is stamped for the watchdog.
DeviceStatus SendFrame(DeviceRecord& record, const Frame& frame);
