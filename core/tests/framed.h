// Received frames for tests: a payload wrapped with the start byte, the
// length byte and the checksum the transceiver gives it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/frame.h"

using Bytes = std::vector<uint8_t>;

inline Bytes Framed(uint8_t type, const Bytes& payload) {
  Bytes f(4 + payload.size());
  f[0] = kFrameStart;
  f[1] = static_cast<uint8_t>(payload.size() + 2);
  f[2] = type;
  std::copy(payload.begin(), payload.end(), f.begin() + 4);
  f[3] = FrameChecksum(f.data(), 4, f.size());
  return f;
}
