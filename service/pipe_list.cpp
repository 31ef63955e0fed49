#include "service/pipe_list.h"

#include <cstring>

// The list is whatever the registry holds, written by any program: it is
// walked only within `size`, read unit by unit from its bytes (little-endian,
// no alignment assumed), and any data that is not a whole list is left as it
// is rather than guessed at.

namespace {

constexpr uint32_t kUnit = 2;

uint16_t UnitAt(const uint8_t* buffer, uint32_t offset) {
  return static_cast<uint16_t>(buffer[offset] | (buffer[offset + 1] << 8));
}

uint16_t FoldAscii(uint16_t unit) {
  return (unit >= 'A' && unit <= 'Z') ? static_cast<uint16_t>(unit - 'A' + 'a') : unit;
}

uint32_t NameUnits(const char16_t* name) {
  uint32_t n = 0;
  while (name[n] != 0 && n < kPipeListBufferSize) ++n;
  return n;
}

// Where one entry starts and the byte after its terminating zero unit.
struct Entry {
  uint32_t start;
  uint32_t next;
};

// Walks the list up to its closing empty string. Returns false when `size`
// is odd or past the buffer, or when an entry or the closing empty string
// does not end within `size`. On success `closing` is the offset of the
// closing empty string and `match`, when an entry equals `name` ignoring
// ASCII case, the first such entry (match.next is 0 otherwise).
bool WalkList(const uint8_t* buffer, uint32_t size, const char16_t* name, uint32_t nameUnits,
              uint32_t& closing, Entry& match) {
  match = Entry{0, 0};
  if (size % kUnit != 0 || size > kPipeListBufferSize) return false;
  uint32_t at = 0;
  for (;;) {
    if (at + kUnit > size) return false;
    if (UnitAt(buffer, at) == 0) break;
    uint32_t start = at;
    bool same = true;
    uint32_t i = 0;
    for (; at + kUnit <= size; at += kUnit, ++i) {
      uint16_t unit = UnitAt(buffer, at);
      if (unit == 0) break;
      if (i >= nameUnits || FoldAscii(unit) != FoldAscii(static_cast<uint16_t>(name[i]))) {
        same = false;
      }
    }
    if (at + kUnit > size) return false;  // the entry runs to the end unterminated
    at += kUnit;
    if (same && i == nameUnits && match.next == 0) match = Entry{start, at};
  }
  closing = at;
  return true;
}

}  // namespace

bool PipeListAdd(uint8_t* buffer, uint32_t& size, const char16_t* name) {
  uint32_t nameUnits = NameUnits(name);
  if (nameUnits == 0) return false;
  uint32_t nameBytes = (nameUnits + 1) * kUnit;
  // A value with no data is an empty list: just its closing empty string.
  uint8_t empty[kUnit] = {0, 0};
  const uint8_t* list = size == 0 ? empty : buffer;
  uint32_t listSize = size == 0 ? kUnit : size;

  uint32_t closing = 0;
  Entry match;
  if (!WalkList(list, listSize, name, nameUnits, closing, match)) return false;
  if (match.next != 0) return false;
  if (listSize + nameBytes > kPipeListBufferSize) return false;

  // The name goes where the closing empty string stands; that string and
  // anything stored after it move up, so no byte of the old value is lost.
  if (size == 0) std::memcpy(buffer, empty, kUnit);
  std::memmove(buffer + closing + nameBytes, buffer + closing, listSize - closing);
  for (uint32_t i = 0; i <= nameUnits; ++i) {
    uint16_t unit = i < nameUnits ? static_cast<uint16_t>(name[i]) : 0;
    buffer[closing + i * kUnit] = static_cast<uint8_t>(unit & 0xFF);
    buffer[closing + i * kUnit + 1] = static_cast<uint8_t>(unit >> 8);
  }
  size = listSize + nameBytes;
  return true;
}

bool PipeListRemove(uint8_t* buffer, uint32_t& size, const char16_t* name) {
  uint32_t nameUnits = NameUnits(name);
  if (nameUnits == 0 || size == 0) return false;
  uint32_t closing = 0;
  Entry match;
  if (!WalkList(buffer, size, name, nameUnits, closing, match)) return false;
  if (match.next == 0) return false;
  std::memmove(buffer + match.start, buffer + match.next, size - match.next);
  uint32_t removed = match.next - match.start;
  std::memset(buffer + size - removed, 0, removed);
  size -= removed;
  return true;
}
