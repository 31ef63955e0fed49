// The receive parser fed a byte stream in chunks of random sizes.
//
// Input: chunks, each a length byte n and then n stream bytes; a length byte
// of 0xFF takes the rest of the input as one chunk.
//
// Invariants: after every chunk the parser's state is one it can be in
// (hunting, start byte seen, or collecting with fewer body bytes than the
// length byte asked for, which is never above 0x1E) and rxCount never points
// past rxBuf; and the way the stream is cut into chunks changes nothing: the
// same bytes fed in one chunk leave the same state.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "devices/device_table.h"
#include "devices/receive_framing.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckState(const DeviceRecord& r) {
  FUZZ_CHECK(r.rxState >= 0 && r.rxState <= 2);
  FUZZ_CHECK(r.rxCount <= 2 + 255 && r.rxCount <= kRxBufferSize);
  if (r.rxState == 1) FUZZ_CHECK(r.rxCount == 1 && r.rxBuf[0] == 0x81);
  if (r.rxState == 2) {
    FUZZ_CHECK(r.rxBodyCount < r.rxExpected && r.rxExpected <= 0x1E);
    FUZZ_CHECK(r.rxCount == 2 + r.rxBodyCount);
    FUZZ_CHECK(r.rxBuf[0] == 0x81 && r.rxBuf[1] == r.rxExpected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<DeviceRecord> chunked(new DeviceRecord());
  std::vector<uint8_t> stream;
  size_t at = 0;
  while (at < size) {
    size_t n = data[at++];
    if (n == 0xFF || n > size - at) n = size - at;
    if (n > UINT16_MAX) n = UINT16_MAX;
    // A copy of exactly the chunk, so that a read past it is caught.
    std::vector<uint8_t> chunk(data + at, data + at + n);
    FeedReceiveParser(*chunked, chunk.data(), static_cast<uint16_t>(n));
    CheckState(*chunked);
    stream.insert(stream.end(), chunk.begin(), chunk.end());
    at += n;
  }

  if (stream.size() > UINT16_MAX) return 0;
  std::unique_ptr<DeviceRecord> whole(new DeviceRecord());
  FeedReceiveParser(*whole, stream.data(), static_cast<uint16_t>(stream.size()));
  CheckState(*whole);
  FUZZ_CHECK(whole->rxState == chunked->rxState);
  FUZZ_CHECK(whole->rxCount == chunked->rxCount);
  FUZZ_CHECK(whole->rxExpected == chunked->rxExpected);
  FUZZ_CHECK(whole->rxBodyCount == chunked->rxBodyCount);
  FUZZ_CHECK(std::memcmp(whole->rxBuf, chunked->rxBuf, whole->rxCount) == 0);
  return 0;
}
