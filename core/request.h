// The pipe protocol shared by the service and the client: one 10-byte
// PipeRequest per message in, one UTF-16LE status text with its terminating
// NUL per message out.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct PipeRequest {
  uint8_t iid;       // transceiver: index into the device table
  uint8_t reserved;  // sent as 0, ignored
  uint16_t hc1;      // house code high byte, FS20 notation as typed (1234)
  uint16_t hc2;      // house code low byte, FS20 notation
  uint16_t addr;     // device address, FS20 notation
  uint8_t cmd;       // FS20 command byte, sent unchanged
  uint8_t data;      // extra data byte; 0 means none
};
#pragma pack(pop)

// The record travels as it lies in memory on a little-endian machine.
static_assert(sizeof(PipeRequest) == 10, "PipeRequest is 10 bytes on the wire");
static_assert(offsetof(PipeRequest, iid) == 0, "iid at 0");
static_assert(offsetof(PipeRequest, reserved) == 1, "reserved at 1");
static_assert(offsetof(PipeRequest, hc1) == 2, "hc1 at 2");
static_assert(offsetof(PipeRequest, hc2) == 4, "hc2 at 4");
static_assert(offsetof(PipeRequest, addr) == 6, "addr at 6");
static_assert(offsetof(PipeRequest, cmd) == 8, "cmd at 8");
static_assert(offsetof(PipeRequest, data) == 9, "data at 9");

// The driver library's status code (0 = success), passed upward unchanged.
typedef uint32_t DeviceStatus;
constexpr DeviceStatus kStatusOk = 0;
constexpr DeviceStatus kStatusDeviceNotFound = 2;

// Size of the reply buffer, in bytes (the pipe's outbound buffer size).
constexpr size_t kReplyBufferSize = 8192;
// The longest reply text with its terminator, in bytes.
constexpr size_t kLongestReplyBytes = 70;

// The pipe's last path component, e.g. \\.\pipe\doraruzoz.
constexpr char16_t kPipeLeafName[] = u"doraruzoz";

// The reply text for a status; 18 and above give "Other error.".
const char* ReplyText(DeviceStatus status);

// Writes the reply for `status` as UTF-16LE with its terminating NUL into
// `reply` and returns its size in bytes, (characters + 1) * 2. Writes nothing
// and returns 0 when `capacity` is too small (never with kReplyBufferSize).
uint32_t EncodeReply(DeviceStatus status, uint8_t* reply, size_t capacity);
