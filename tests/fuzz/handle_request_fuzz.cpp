// HandleRequest on random 10-byte requests, written by the stand-in for the
// transceiver's own thread (devices/tests/fake_channel.h), against a
// scripted driver that answers with random statuses, partial and
// over-reported writes and a transceiver that is not ready.
//
// Input: one byte for the number of transceivers (0 to 4), the ten request
// bytes, then the driver's script, one step per driver call (see NextStep).
//
// Invariants: the reply is exactly one of the reply texts, UTF-16LE with its
// NUL, and bytesToWrite is (characters + 1) * 2; it is the text of the status
// the driver gave first that was not success (SendFrame stops there), "OK"
// when all succeeded, "ZARVO device not found." when iid names no
// transceiver; only the chosen transceiver is written to, the bytes it
// accepted are the start of the FS20 send frame in order, and the whole frame
// after "OK".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/frame.h"
#include "core/handle_request.h"
#include "core/request.h"
#include "devices/d2xx.h"
#include "devices/device_table.h"
#include "devices/tests/fake_channel.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const char* const kTexts[] = {
    "OK", "ZARVO device handle invalid.", "ZARVO device not found.",
    "ZARVO device not opened.", "ZARVO i/o error.", "Insufficient resources.",
    "Invalid parameter.", "Invalid baud rate.",
    "ZARVO device not opened for erase.", "ZARVO device not opened for write.",
    "Failed to write to ZARVO device.", "EEPROM read failed.",
    "EEPROM write failed.", "EEPROM erase failed.", "EEPROM not present.",
    "EEPROM not programmed.", "Invalid arguments.", "Not supported.",
    "Other error.",
};
constexpr size_t kTextCount = sizeof kTexts / sizeof kTexts[0];
constexpr int kMaxTransceivers = 4;
// Not-ready polls and zero-byte writes per input; beyond it the driver is
// ready and accepts everything, so a run never reaches the gate's sleeping
// phase or its deadline.
constexpr int kFruitlessBudget = 100;

struct Script {
  const uint8_t* data;
  size_t size;
  size_t at;
  int fruitless;
  bool failed;            // a call has returned a status other than success
  FT_STATUS firstFailure;
  std::vector<uint8_t> accepted[kMaxTransceivers];
  int calls[kMaxTransceivers];
};
Script g_script;
int g_handles[kMaxTransceivers];  // the handles are pointers to these

enum class Step { kSucceed, kFruitless, kPartial, kOverReport, kFail };

struct Decision {
  Step step;
  uint32_t value;
};

uint8_t TakeByte(uint8_t otherwise) {
  return g_script.at < g_script.size ? g_script.data[g_script.at++] : otherwise;
}

// One script step: 00-7F succeed, 80-9F not ready / accept nothing,
// A0-BF accept part, C0-DF report more written than given, E0-FE fail with
// status 1 to 31, FF fail with the 32-bit status in the next four bytes.
Decision NextStep() {
  uint8_t b = TakeByte(0);
  if (b < 0x80) return {Step::kSucceed, 0};
  if (b < 0xA0) return {Step::kFruitless, b};
  if (b < 0xC0) return {Step::kPartial, static_cast<uint32_t>(b & 0x1F)};
  if (b < 0xE0) return {Step::kOverReport, static_cast<uint32_t>(b & 0x1F) + 1};
  uint32_t status = b - 0xDF;
  if (b == 0xFF) {
    status = 0;
    for (int i = 0; i < 4; ++i) status |= static_cast<uint32_t>(TakeByte(0)) << (8 * i);
    if (status == FT_OK) return {Step::kSucceed, 0};
  }
  return {Step::kFail, status};
}

int Index(FT_HANDLE h) {
  int i = static_cast<int>(static_cast<int*>(h) - g_handles);
  FUZZ_CHECK(i >= 0 && i < kMaxTransceivers);
  return i;
}

FT_STATUS Returned(FT_STATUS status) {
  if (status != FT_OK && !g_script.failed) {
    g_script.failed = true;
    g_script.firstFailure = status;
  }
  return status;
}

}  // namespace

extern "C" {

FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE h, uint32_t* modem) {
  ++g_script.calls[Index(h)];
  Decision d = NextStep();
  *modem = FT_MODEM_READY;
  if (d.step == Step::kFail) return Returned(d.value);
  // Any other line state keeps the gate shut, also 0x30 with more bits.
  if (d.step == Step::kFruitless && ++g_script.fruitless <= kFruitlessBudget) {
    *modem = (d.value & 1) ? 0x20 : 0x30 | (d.value << 4);
  }
  return FT_OK;
}

FT_STATUS FT_API FT_Write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* written) {
  int i = Index(h);
  ++g_script.calls[i];
  *written = 0;
  Decision d = NextStep();
  if (d.step == Step::kFail) return Returned(d.value);
  uint32_t take = n;
  if (d.step == Step::kFruitless) take = 0;
  if (d.step == Step::kPartial) take = d.value % (n + 1);
  if (take == 0 && ++g_script.fruitless > kFruitlessBudget) take = n;
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  g_script.accepted[i].insert(g_script.accepted[i].end(), bytes, bytes + take);
  *written = d.step == Step::kOverReport ? n + d.value : take;
  return FT_OK;
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + sizeof(PipeRequest)) return 0;
  int transceivers = data[0] % (kMaxTransceivers + 1);
  PipeRequest request;
  std::memcpy(&request, data + 1, sizeof request);
  g_script = Script();
  g_script.data = data + 1 + sizeof request;
  g_script.size = size - 1 - sizeof request;

  DeviceTable& table = g_context.devices;
  for (int i = 0; i < transceivers; ++i) {
    DeviceRecord* r = CreateDeviceRecord(static_cast<uint8_t>(i));
    FUZZ_CHECK(r != nullptr);
    r->handle = &g_handles[i];
    MarkServing(*r);
    FUZZ_CHECK(TableAppend(table, r));
  }

  std::vector<uint8_t> reply(kReplyBufferSize, 0xEE);
  uint32_t bytesToWrite = 0xDEADBEEF;
  // The stand-in channel writes the frame on this thread, before the call
  // returns, as the transceiver's own thread would before its answer.
  HandleRequestNow(request, reply.data(), bytesToWrite);

  DeviceRecord* taken[kMaxDevices];
  int n = TableTakeAll(table, taken);
  FUZZ_CHECK(n == transceivers);
  for (int i = 0; i < n; ++i) ReleaseDeviceRecord(taken[i]);

  // The reply.
  size_t match = kTextCount;
  for (size_t t = 0; t < kTextCount; ++t) {
    size_t chars = std::strlen(kTexts[t]);
    if (bytesToWrite != (chars + 1) * 2) continue;
    bool same = true;
    for (size_t c = 0; c <= chars; ++c) {
      same = same && reply[2 * c] == static_cast<uint8_t>(kTexts[t][c]) && reply[2 * c + 1] == 0;
    }
    if (same) match = t;
  }
  FUZZ_CHECK(match < kTextCount);
  for (size_t b = bytesToWrite; b < reply.size(); ++b) FUZZ_CHECK(reply[b] == 0xEE);

  DeviceStatus expected = 0;
  if (request.iid >= transceivers) {
    expected = kStatusDeviceNotFound;
  } else if (g_script.failed) {
    expected = g_script.firstFailure;
  }
  FUZZ_CHECK(match == (expected < kTextCount - 1 ? expected : kTextCount - 1));

  // The transceivers.
  Frame frame;
  PrepareFrame(frame, request.iid);
  BuildSendFrame(frame, request.data != 0, NotationToByte(request.hc1),
                 NotationToByte(request.hc2), NotationToByte(request.addr),
                 request.cmd, request.data);
  FUZZ_CHECK(frame.length == (request.data != 0 ? 12 : 11));
  for (int i = 0; i < kMaxTransceivers; ++i) {
    const std::vector<uint8_t>& got = g_script.accepted[i];
    if (i != request.iid || i >= transceivers) {
      FUZZ_CHECK(g_script.calls[i] == 0);
      continue;
    }
    FUZZ_CHECK(got.size() <= frame.length);
    FUZZ_CHECK(got.empty() || std::memcmp(got.data(), frame.bytes, got.size()) == 0);
    if (expected == 0) FUZZ_CHECK(got.size() == frame.length);
  }
  return 0;
}
