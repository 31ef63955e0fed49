// Cuts the byte stream a transceiver sends into frames and checks each one.
// Runs on the transceiver's reader thread, whose receive state it is.
#pragma once

#include <cstdint>

struct DeviceRecord;
struct Frame;

// Consumes `count` bytes, completing and checking as many frames as they end.
// Whatever the stream, nothing is written past the record's rxBuf. A length
// byte of 0 ends the frame at once (start and length byte only). A length
// byte above 0x1E cannot belong to a real frame: the start byte before it is
// dropped and the hunt for the next 0x81 goes on from the length byte itself,
// so a stray 0x81 costs no real frame after it. A frame is therefore at most
// 2 + 30 bytes.
void FeedReceiveParser(DeviceRecord& record, const uint8_t* bytes, uint16_t count);

// Sets `valid` to 1 when byte 0 is 0x81, byte 1 equals length - 2 and byte 3
// is the sum of bytes 4 to the end modulo 256 (the layout of every frame we
// send), else to 0; returns it.
int CheckReceivedFrame(Frame& frame);
