// Cuts the byte stream a transceiver sends into frames and checks each one.
// Runs on the transceiver's reader thread, whose receive state it is.
#pragma once

#include <cstdint>

struct DeviceRecord;
struct Frame;

// Consumes `count` bytes, completing and checking as many frames as they end.
// Whatever the stream, nothing is written past the record's rxBuf: a frame is
// at most 2 + 255 bytes. A length byte of 0 ends the frame at once (start and
// length byte only). A frame longer than 255 bytes (length byte 254 or 255) is
// handed to the check cut to 255 bytes, which the check then rejects.
void FeedReceiveParser(DeviceRecord& record, const uint8_t* bytes, uint16_t count);

// Sets `valid` to 1 when byte 0 is 0x81, byte 1 equals length - 2 and byte 3
// is the sum of bytes 4 to the end modulo 256 (the layout of every frame we
// send), else to 0; returns it.
int CheckReceivedFrame(Frame& frame);
