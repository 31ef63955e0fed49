// The pipe-list editor on random buffers and sizes, checked against a walk of
// the list written here on its own terms.
//
// Input: an operation byte (bit 0: remove rather than add; bit 1: a name of
// the input's own instead of the pipe name), two bytes of size (little-endian,
// taken modulo 1100 so that sizes past the buffer come up too), for an own
// name a length byte and that many UTF-16LE units, then the buffer's bytes
// (the rest of the 1024 bytes stays zero).
//
// Invariants: nothing outside the 1024-byte buffer is touched (the sanitizers
// watch that); a refused edit leaves buffer and size exactly as they were; an
// edit is refused only for data that is not a whole list, a name already
// present (add) or absent (remove), or a list the name would not fit; after an
// add every entry is still there, in order, with the name after them; after a
// remove exactly the first matching entry is gone; the size moves by exactly
// the name's bytes with its terminator; data after the closing empty string is
// kept.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/request.h"
#include "service/pipe_list.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Walk {
  bool whole = false;  // a list closed within the size read
  std::vector<std::u16string> entries;
  std::vector<uint8_t> after;  // bytes after the closing empty string
};

Walk Read(const uint8_t* buffer, uint32_t size) {
  Walk w;
  if (size == 0) {
    w.whole = true;
    return w;
  }
  if (size % 2 != 0 || size > kPipeListBufferSize) return w;
  std::u16string current;
  for (uint32_t at = 0; at + 2 <= size; at += 2) {
    char16_t unit = static_cast<char16_t>(buffer[at] | (buffer[at + 1] << 8));
    if (unit != 0) {
      current.push_back(unit);
    } else if (!current.empty()) {
      w.entries.push_back(current);
      current.clear();
    } else {
      w.whole = true;
      w.after.assign(buffer + at + 2, buffer + size);
      return w;
    }
  }
  return w;
}

bool SameIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char16_t>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char16_t>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  bool remove = data[0] & 1;
  bool ownName = data[0] & 2;
  uint32_t listSize = static_cast<uint32_t>(data[1] | (data[2] << 8)) % 1100;
  size_t at = 3;
  std::u16string name(kPipeLeafName);
  if (ownName && at < size) {
    size_t units = data[at++] % 600;
    name.clear();
    for (size_t i = 0; i < units && at + 1 < size; ++i, at += 2) {
      char16_t unit = static_cast<char16_t>(data[at] | (data[at + 1] << 8));
      name.push_back(unit ? unit : u'a');
    }
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPipeListBufferSize]());
  size_t fill = size - at < kPipeListBufferSize ? size - at : kPipeListBufferSize;
  std::memcpy(buffer.get(), data + at, fill);
  std::vector<uint8_t> before(buffer.get(), buffer.get() + kPipeListBufferSize);

  Walk old = Read(buffer.get(), listSize);
  uint32_t newSize = listSize;
  bool changed = remove ? PipeListRemove(buffer.get(), newSize, name.c_str())
                        : PipeListAdd(buffer.get(), newSize, name.c_str());
  uint32_t nameBytes = static_cast<uint32_t>(name.size() + 1) * 2;

  size_t match = old.entries.size();
  for (size_t i = 0; i < old.entries.size() && match == old.entries.size(); ++i) {
    if (SameIgnoringAsciiCase(old.entries[i], name)) match = i;
  }
  bool present = match < old.entries.size();
  uint32_t base = listSize == 0 ? 2 : listSize;

  if (!changed) {
    FUZZ_CHECK(newSize == listSize);
    FUZZ_CHECK(std::memcmp(before.data(), buffer.get(), kPipeListBufferSize) == 0);
    if (name.empty() || !old.whole) return 0;
    if (remove) FUZZ_CHECK(!present);
    if (!remove) FUZZ_CHECK(present || base + nameBytes > kPipeListBufferSize);
    return 0;
  }

  FUZZ_CHECK(old.whole && !name.empty());
  Walk now = Read(buffer.get(), newSize);
  FUZZ_CHECK(now.whole);
  FUZZ_CHECK(now.after == old.after);
  std::vector<std::u16string> expected = old.entries;
  if (remove) {
    FUZZ_CHECK(present);
    FUZZ_CHECK(newSize == listSize - nameBytes);
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(match));
  } else {
    FUZZ_CHECK(!present);
    FUZZ_CHECK(newSize == base + nameBytes && newSize <= kPipeListBufferSize);
    expected.push_back(name);
  }
  FUZZ_CHECK(now.entries == expected);
  return 0;
}
