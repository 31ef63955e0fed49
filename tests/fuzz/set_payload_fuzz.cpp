// The set payload parser on arbitrary bytes, and the engine taking the same
// bytes from a set topic.
//
// Invariants: an accepted payload gives a command byte below 0x20 without an
// extension byte, or a timed command with 0x20 and a non-zero timer byte
// whose time is at most 15,360 s; a refused one gives a reason in printable
// ASCII and a zeroed command; anything over 256 bytes is refused. The engine,
// with the service up and a transceiver present, writes exactly one request
// for an accepted payload (with that command and timer byte) and none for a
// refused one, and answers a refused one with a result.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/bridge_core.h"
#include "bridge/set_payload.h"
#include "core/telegram.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

BridgeCore* ReadyCore() {
  static BridgeCore* core = [] {
    BridgeCore* c = new BridgeCore;
    BridgeSettings s;
    s.node = "fuzz";
    std::string reason;
    FUZZ_CHECK(BridgeInit(*c, s, reason));
    BridgeOutput out;
    BridgeOnConnected(*c, out);
    BridgeServiceUp(*c, out);
    const char present[] = "2026-12-08T10:15:00.120Z 0 EL000777 present";
    BridgeOnLine(*c, present, sizeof present - 1, out);
    return c;
  }();
  return core;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  SetCommand out{0xEE, 0xEE};
  std::string reason;
  bool ok = ParseSetPayload(text, size, out, reason);
  if (size > kSetPayloadMax) FUZZ_CHECK(!ok);
  if (ok) {
    FUZZ_CHECK(reason.empty());
    if (out.extension == 0) {
      FUZZ_CHECK(out.cmd <= kFs20CommandMask);
    } else {
      FUZZ_CHECK((out.cmd & ~kFs20ExtensionFlag) <= kFs20CommandMask);
      FUZZ_CHECK(out.cmd & kFs20ExtensionFlag);
      uint32_t quarters = Fs20TimerQuarters(out.extension);
      FUZZ_CHECK(quarters > 0 && quarters <= kLongestTimerQuarters);
      FUZZ_CHECK((out.extension >> 4) <= 12);
    }
  } else {
    FUZZ_CHECK(!reason.empty());
    for (char c : reason) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    FUZZ_CHECK(out.cmd == 0 && out.extension == 0);
  }

  BridgeCore& core = *ReadyCore();
  BridgeOutput result;
  BridgeOnMessage(core, "zarvo/fuzz/fs20/12341111-1111/set", text, size, false, 0, 0, result);
  if (ok) {
    FUZZ_CHECK(result.requests.size() == 1);
    FUZZ_CHECK(result.requests[0].request.cmd == out.cmd);
    FUZZ_CHECK(result.requests[0].request.data == out.extension);
    BridgeOnReply(core, result.requests[0].handle, "OK.", result);
  } else {
    FUZZ_CHECK(result.requests.empty());
    bool answered = false;
    for (const Publication& p : result.publications) {
      answered = answered || p.topic == "zarvo/fuzz/fs20/12341111-1111/result";
    }
    FUZZ_CHECK(answered);
  }
  FUZZ_CHECK(core.pending.empty());
  return 0;
}
