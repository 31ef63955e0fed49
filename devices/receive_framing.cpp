#include "devices/receive_framing.h"

#include <cstring>

#include "core/frame.h"
#include "core/trace.h"
#include "devices/device_table.h"
#include "devices/transceiver_events.h"

namespace {

enum RxState : int32_t { kHunting = 0, kStartSeen = 1, kCollecting = 2 };

// Real frames are at most about 20 bytes; 0x1E leaves room to spare and still
// catches a stream that is out of step before it swallows the next frames.
constexpr uint8_t kMaxLengthByte = 0x1E;

void DeliverFrame(DeviceRecord& record) {
  Frame frame;
  PrepareFrame(frame, record.instance);
  uint16_t n = record.rxCount > 255 ? 255 : record.rxCount;
  std::memcpy(frame.bytes, record.rxBuf, n);
  frame.length = static_cast<uint8_t>(n);
  CheckReceivedFrame(frame);
  // Passed on checked or not: a frame that fails the check goes out raw,
  // marked as failing, never decoded.
  PublishHeard(record, frame);
}

}  // namespace

void FeedReceiveParser(DeviceRecord& record, const uint8_t* bytes, uint16_t count) {
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    if (record.rxState == kStartSeen && b > kMaxLengthByte) {
      // No transceiver frame is that long: the 0x81 was a byte inside
      // something else, or the stream lost bytes. Collecting up to 255 bytes
      // would swallow the real frames that follow, so drop the start byte and
      // look at this byte again as a possible start.
      record.rxState = kHunting;
    }
    switch (record.rxState) {
      case kStartSeen:
        record.rxExpected = b;
        record.rxBodyCount = 0;
        record.rxBuf[record.rxCount++] = b;
        if (b == 0) {
          DeliverFrame(record);
          record.rxState = kHunting;
        } else {
          record.rxState = kCollecting;
        }
        break;
      case kCollecting:
        // rxExpected is at most kMaxLengthByte, so rxCount stays below 2 + 255.
        record.rxBuf[record.rxCount++] = b;
        if (++record.rxBodyCount >= record.rxExpected) {
          DeliverFrame(record);
          record.rxState = kHunting;
        }
        break;
      default:  // hunting, or a state the record should never hold
        record.rxCount = 0;
        record.rxBodyCount = 0;
        record.rxExpected = 0;
        record.rxState = kHunting;
        if (b == kFrameStart) {
          record.rxBuf[0] = b;
          record.rxCount = 1;
          record.rxState = kStartSeen;
        }
        break;
    }
  }
}

int CheckReceivedFrame(Frame& frame) {
  frame.valid = 0;
  bool ok = frame.length >= 4 && frame.bytes[0] == kFrameStart &&
            frame.bytes[1] == static_cast<uint8_t>(frame.length - 2) &&
            frame.bytes[3] == FrameChecksum(frame.bytes, 4, frame.length);
  TraceHook("received on instance", frame.instance);
  TraceHook("frame class", ok && frame.bytes[2] == 0x04 ? "WIRELESS" : "UNKNOWN");
  if (!ok) return 0;
  frame.valid = 1;
  return 1;
}
