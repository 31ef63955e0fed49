// A scripted stand-in for the driver library, linked into unit tests in place
// of FTD2XX.dll. Every handle it knows is a FakeDevice*; tests state a
// transceiver's modem-status sequence, write behaviour and received bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "devices/d2xx.h"

struct FakeDevice {
  // Modem status: the sequence is read first, one value per poll, then
  // `modemAfter` for ever.
  std::deque<uint32_t> modemSequence;
  uint32_t modemAfter = FT_MODEM_READY;
  FT_STATUS pollStatus = FT_OK;
  // Writes: each call accepts at most `chunk` bytes (0: all) and returns
  // `writeStatus`; a status other than 0 accepts nothing.
  uint32_t chunk = 0;
  FT_STATUS writeStatus = FT_OK;
  std::deque<FT_STATUS> writeStatusSequence;  // used before writeStatus
  // Received bytes waiting to be read.
  std::deque<uint8_t> rx;

  // What happened.
  std::vector<uint8_t> written;
  std::vector<uint32_t> writeSizes;  // bytes offered per write call
  int polls = 0;
  int writes = 0;
  std::mutex mu;
};

inline FT_HANDLE AsHandle(FakeDevice& d) { return &d; }
