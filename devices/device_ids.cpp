// Turning the texts Windows gives for a USB device (its instance id, or the
// device path of an interface event) into the hardware-id prefix and the
// serial number that decide whether it is a transceiver.
//
// Every text here may come from a device we know nothing about, so each scan
// is bounded by the text's own length and each copy by its buffer: a text of
// another form is refused and the device ignored, never read or written past.
#include <cstring>

#include "devices/hotplug.h"

namespace {

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Length of an 8-bit id or path, or kNarrowTextSize when it has no NUL within
// that many bytes: such a text is longer than Windows ever makes them.
size_t BoundedLength(const char* text) {
  size_t length = 0;
  while (length < kNarrowTextSize && text[length] != '\0') ++length;
  return length;
}

constexpr size_t kNone = static_cast<size_t>(-1);

// Index of the last `c` in text[from, to), or kNone.
size_t LastIndexOf(const char* text, size_t from, size_t to, char c) {
  for (size_t i = to; i > from; --i) {
    if (text[i - 1] == c) return i - 1;
  }
  return kNone;
}

// Copies `length` bytes and a NUL when they fit `size`.
bool CopyPart(const char* from, size_t length, char* out, size_t size) {
  if (length >= size) return false;
  std::memcpy(out, from, length);
  out[length] = '\0';
  return true;
}

// The prefix runs to the separator before the serial number and the serial
// number's first two characters, fewer when it is shorter (such a prefix
// matches no row).
bool CopyPrefixAndSerial(const char* text, size_t separator, size_t end,
                         char prefix[kHardwareIdPrefixSize], char serial[kSerialTextSize]) {
  size_t serialLength = end - separator - 1;
  size_t prefixLength = separator + 1 + (serialLength < 2 ? serialLength : 2);
  return CopyPart(text + separator + 1, serialLength, serial, kSerialTextSize) &&
         CopyPart(text, prefixLength, prefix, kHardwareIdPrefixSize);
}

void Clear(char prefix[kHardwareIdPrefixSize], char serial[kSerialTextSize]) {
  prefix[0] = '\0';
  serial[0] = '\0';
}

}  // namespace

bool NarrowText(const uint16_t* text, size_t units, char* out, size_t size) {
  size_t limit = units < size ? units : size;
  for (size_t i = 0; i < limit; ++i) {
    if (text[i] > 0xFF) break;
    out[i] = static_cast<char>(text[i]);
    if (text[i] == 0) return true;
  }
  if (size > 0) out[0] = '\0';
  return false;
}

bool SplitInstanceId(const char* id, char prefix[kHardwareIdPrefixSize],
                     char serial[kSerialTextSize]) {
  size_t length = BoundedLength(id);
  if (length < kNarrowTextSize) {
    size_t last = LastIndexOf(id, 0, length, '\\');
    if (last != kNone && CopyPrefixAndSerial(id, last, length, prefix, serial)) return true;
  }
  Clear(prefix, serial);
  return false;
}

bool SplitDevicePath(const char* path, char prefix[kHardwareIdPrefixSize],
                     char serial[kSerialTextSize]) {
  // \\?\USB#VID_0403&PID_F06F#EL000123#{guid}: the instance id lies between
  // the backslash that ends the four leading characters and the last '#',
  // with each of its own backslashes written as '#'.
  char text[kNarrowTextSize];
  size_t length = BoundedLength(path);
  if (length < kNarrowTextSize) {
    for (size_t i = 0; i < length; ++i) text[i] = AsciiUpper(path[i]);
    size_t end = LastIndexOf(text, 0, length, '#');
    size_t lead = end == kNone ? kNone : LastIndexOf(text, 0, end, '\\');
    size_t mark = lead == kNone ? kNone : LastIndexOf(text, lead + 1, end, '#');
    if (mark != kNone) {
      size_t start = lead + 1;
      for (size_t i = start; i < end; ++i) {
        if (text[i] == '#') text[i] = '\\';
      }
      if (CopyPrefixAndSerial(text + start, mark - start, end - start, prefix, serial)) return true;
    }
  }
  Clear(prefix, serial);
  return false;
}
