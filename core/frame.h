// Transceiver frames: the in-memory record, the predefined frames and the FS20
// send command.
//
// Wire layout of every frame we send:
//   byte 0   start byte 0x81
//   byte 1   number of bytes after byte 1 (total length - 2)
//   byte 2   frame type
//   byte 3   checksum: sum of bytes 4..end, modulo 256
//   byte 4.. payload
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kFrameStart = 0x81;
constexpr size_t kFrameBufferSize = 512;

struct Frame {
  uint8_t bytes[kFrameBufferSize];
  uint8_t length;    // meaningful bytes in `bytes`; 8-bit, so at most 255
  int32_t valid;     // 1 once a received frame passed CheckReceivedFrame
  uint8_t instance;  // transceiver the frame belongs to
};

// Zeroes the frame and tags it with a transceiver instance number.
void PrepareFrame(Frame& frame, uint8_t instance);

constexpr size_t kFrameTableRows = 12;
constexpr size_t kFrameTableRowSize = 17;  // length byte + 16 frame bytes

// Rows 0, 2 and 4 are the start-up frames, row 6 the FS20 send template.
extern const uint8_t FrameTable[kFrameTableRows][kFrameTableRowSize];
constexpr uint8_t kStartupFrameRow1 = 0;
constexpr uint8_t kStartupFrameRow2 = 2;
// The third start-up frame: the transceiver starts forwarding the sensor
// telegrams it hears (smoke, water, door contacts); row 3 would stop it.
constexpr uint8_t kSensorStartupFrameRow = 4;
constexpr uint8_t kSendTemplateRow = 6;

// Copies a predefined frame. Rows past the table leave the frame untouched.
void LoadTableFrame(Frame& frame, uint8_t row);

// Fills `frame` with the FS20 send command: 11 bytes, or 12 when hasData is
// non-zero (then `data` is the last byte).
void BuildSendFrame(Frame& frame, uint8_t hasData, uint8_t hc1, uint8_t hc2,
                    uint8_t addr, uint8_t cmd, uint8_t data);

// FS20 standard notation (digits 1-4 as a decimal number, e.g. 1234) to the
// byte on the air. Other digits are converted by the same arithmetic, and
// digits past the fourth add nothing.
uint8_t NotationToByte(uint16_t value);

// Sum modulo 256 of bytes [from, to) of a frame buffer.
uint8_t FrameChecksum(const uint8_t* bytes, size_t from, size_t to);
