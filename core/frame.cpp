#include "core/frame.h"

#include <cstring>

const uint8_t FrameTable[kFrameTableRows][kFrameTableRowSize] = {
    {8, 0x81, 0x06, 0xC9, 0x8C, 0x02, 0x01, 0x1F, 0x6A},
    {7, 0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99},
    {7, 0x81, 0x05, 0x04, 0x60, 0xC9, 0x01, 0x96},
    {7, 0x81, 0x05, 0x04, 0x61, 0xC9, 0x01, 0x97},
    {7, 0x81, 0x05, 0x04, 0x50, 0xC9, 0x01, 0x86},
    {13, 0x81, 0x0B, 0x04, 0xD7, 0x02, 0x01, 0x83, 0x03, 0x84, 0x66, 0xFF, 0x66,
     0xFF},
    {17, 0x81, 0xFF, 0x04, 0xFF, 0x02, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
     0xFF, 0x00, 0x00, 0x00},
    {12, 0x81, 0x0A, 0xC9, 0xBF, 0x02, 0x01, 0x61, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {11, 0x81, 0x09, 0x04, 0x4E, 0xC9, 0x01, 0x83, 0xFF, 0x01, 0x01, 0xFF},
    {10, 0x81, 0x08, 0x04, 0xAF, 0xC9, 0x01, 0x84, 0x57, 0x02, 0x08},
    {7, 0x81, 0x05, 0x04, 0x4F, 0xC9, 0x01, 0x85},
    {14, 0x81, 0x0C, 0x04, 0x02, 0x01, 0x01, 0xA0, 0x01, 0xCD, 0x09, 0x00, 0x00,
     0x3A, 0x4F},
};

void PrepareFrame(Frame& frame, uint8_t instance) {
  std::memset(frame.bytes, 0, sizeof frame.bytes);
  frame.length = 0;
  frame.valid = 0;
  frame.instance = instance;
}

void LoadTableFrame(Frame& frame, uint8_t row) {
  if (row >= kFrameTableRows) return;
  std::memcpy(frame.bytes, &FrameTable[row][1], kFrameTableRowSize - 1);
  frame.length = FrameTable[row][0];
}

uint8_t FrameChecksum(const uint8_t* bytes, size_t from, size_t to) {
  uint8_t sum = 0;
  for (size_t i = from; i < to; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

void BuildSendFrame(Frame& frame, uint8_t hasData, uint8_t hc1, uint8_t hc2,
                    uint8_t addr, uint8_t cmd, uint8_t data) {
  std::memcpy(frame.bytes, &FrameTable[kSendTemplateRow][1],
              kFrameTableRowSize - 1);
  frame.bytes[7] = hc1;
  frame.bytes[8] = hc2;
  frame.bytes[9] = addr;
  frame.bytes[10] = cmd;
  frame.length = 11;
  if (hasData) {
    frame.bytes[11] = data;
    frame.length = 12;
  }
  frame.bytes[1] = static_cast<uint8_t>(frame.length - 2);
  frame.bytes[3] = FrameChecksum(frame.bytes, 4, frame.length);
}

uint8_t NotationToByte(uint16_t value) {
  uint8_t result = 0;
  uint8_t weight = 1;
  unsigned v = value;
  while (v > 0) {
    unsigned q = (v - 1) / 10;
    unsigned r = (v - 1) % 10;
    result = static_cast<uint8_t>(result + r * weight);
    weight = static_cast<uint8_t>(weight * 4);
    v = q;
  }
  return result;
}
