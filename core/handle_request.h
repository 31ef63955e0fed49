// Turns one client request into an FS20 send frame and hands it to the
// chosen transceiver's own thread, or answers it at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/request.h"

// Reads the request as it came: `size` bytes of one message. A message
// shorter than a PipeRequest is answered "Invalid parameter." and sends
// nothing: its missing bytes are no client's. Otherwise builds the FS20 send
// frame for transceiver `iid` and queues it there with `tag`
// (TableSubmitRequest). Returns true when it was queued: the outcome comes
// later through the request outcome sink with `tag`, and the reply is then
// EncodeReply of its status. Returns false when it was answered at once:
// `reply` (kReplyBufferSize bytes) holds the reply text as UTF-16LE with its
// NUL and `bytesToWrite` its size. Never calls the driver.
bool HandleRequest(const PipeRequest& request, size_t size, uint64_t tag, uint8_t* reply,
                   uint32_t& bytesToWrite);
