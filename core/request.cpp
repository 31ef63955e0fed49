#include "core/request.h"

#include <cstring>

namespace {

const char* const kReplyTexts[] = {
    "OK",
    "ZARVO device handle invalid.",
    "ZARVO device not found.",
    "ZARVO device not opened.",
    "ZARVO i/o error.",
    "Insufficient resources.",
    "Invalid parameter.",
    "Invalid baud rate.",
    "ZARVO device not opened for erase.",
    "ZARVO device not opened for write.",
    "Failed to write to ZARVO device.",
    "EEPROM read failed.",
    "EEPROM write failed.",
    "EEPROM erase failed.",
    "EEPROM not present.",
    "EEPROM not programmed.",
    "Invalid arguments.",
    "Not supported.",
};
const char kOtherError[] = "Other error.";
constexpr DeviceStatus kTextCount = sizeof kReplyTexts / sizeof kReplyTexts[0];

}  // namespace

const char* ReplyText(DeviceStatus status) {
  return status < kTextCount ? kReplyTexts[status] : kOtherError;
}

uint32_t EncodeReply(DeviceStatus status, uint8_t* reply, size_t capacity) {
  const char* text = ReplyText(status);
  size_t chars = std::strlen(text);
  size_t bytes = (chars + 1) * 2;
  if (bytes > capacity) return 0;
  // Every reply text is ASCII, so each character is one UTF-16 code unit.
  for (size_t i = 0; i <= chars; ++i) {
    reply[2 * i] = static_cast<uint8_t>(text[i]);
    reply[2 * i + 1] = 0;
  }
  return static_cast<uint32_t>(bytes);
}
