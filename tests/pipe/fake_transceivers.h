// In-process simulated transceivers behind the service's device table, for
// the pipe tests and the benchmark host. Each table record's driver handle is
// a FakeDevice of devices/tests/fake_d2xx.h, whose FT_* functions are linked
// in place of the driver library.
#pragma once

#include "core/frame.h"
#include "devices/tests/fake_d2xx.h"

constexpr int kMaxFakeTransceivers = 8;

// The simulated transceivers; slot i stands behind table entry i. Their
// fields are read and written under their own `mu`, also by the pipe server
// thread through the FT_* functions.
extern FakeDevice g_fakeTransceivers[kMaxFakeTransceivers];

// Puts `count` records into g_context.devices, each answering at once
// (modem status ready, every write accepted in full). Returns false when the
// count is out of range or a record cannot be made.
bool InstallFakeTransceivers(int count);

// Frames written to transceiver `slot` so far: one driver write per frame,
// as every write is accepted in full.
int FakeFramesWritten(int slot);
// Copies frame `index` (0 for the first) written to transceiver `slot`.
// Returns false when there is no such frame.
bool FakeFrame(int slot, int index, uint8_t (&bytes)[kFrameBufferSize], uint32_t& length);
