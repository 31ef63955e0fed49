// Turns one client request into an FS20 send frame, writes it to the chosen
// transceiver and leaves the matching reply text.
#pragma once

#include <cstdint>

#include "core/request.h"

// Reads the ten request bytes as they stand, relays the command to transceiver
// `iid` of the service's table (if that slot is live) and writes the reply as
// UTF-16LE with its NUL into `reply` (kReplyBufferSize bytes), its size into
// `bytesToWrite`. Always produces exactly one of the reply texts. Runs on the
// pipe server thread; returns only after the frame was written.
void HandleRequest(const PipeRequest& request, uint8_t* reply, uint32_t& bytesToWrite);
