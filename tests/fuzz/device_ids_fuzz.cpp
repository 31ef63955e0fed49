// The instance-id and device-path splitters, and the UTF-16 conversion in
// front of them, on arbitrary text.
//
// Input: the text itself, used three ways: as an 8-bit text (with a NUL
// added; cut to 256 bytes without one when longer), and as UTF-16LE units
// converted by NarrowText and then split.
//
// Invariants: nothing is read or written outside the input and the exactly
// sized output buffers (the sanitizers watch that); outputs are NUL-terminated
// within their buffers, the prefix at most 63 and the serial number at most 31
// characters; a refused text leaves both empty; an instance id splits into a
// start of itself and its text after the last backslash; a device path gives
// upper-case parts without '#'; and an instance id written as a device path
// splits into the same parts, upper-cased.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices/hotplug.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Parts {
  bool ok;
  std::string prefix;
  std::string serial;
};

template <typename Splitter>
Parts Run(Splitter splitter, const char* text) {
  std::unique_ptr<char[]> prefix(new char[kHardwareIdPrefixSize]);
  std::unique_ptr<char[]> serial(new char[kSerialTextSize]);
  std::memset(prefix.get(), 'x', kHardwareIdPrefixSize);
  std::memset(serial.get(), 'x', kSerialTextSize);
  bool ok = splitter(text, prefix.get(), serial.get());
  FUZZ_CHECK(std::memchr(prefix.get(), '\0', kHardwareIdPrefixSize) != nullptr);
  FUZZ_CHECK(std::memchr(serial.get(), '\0', kSerialTextSize) != nullptr);
  Parts p{ok, prefix.get(), serial.get()};
  FUZZ_CHECK(p.prefix.size() <= 63 && p.serial.size() <= 31);
  if (!ok) FUZZ_CHECK(p.prefix.empty() && p.serial.empty());
  return p;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

void CheckInstanceId(const std::string& id, const Parts& p) {
  if (!p.ok) return;
  FUZZ_CHECK(id.size() <= 255);
  size_t last = id.rfind('\\');
  FUZZ_CHECK(last != std::string::npos);
  FUZZ_CHECK(p.serial == id.substr(last + 1));
  FUZZ_CHECK(p.prefix == id.substr(0, last + 1 + (p.serial.size() < 2 ? p.serial.size() : 2)));
}

void CheckDevicePath(const Parts& p) {
  if (!p.ok) return;
  for (const std::string* s : {&p.prefix, &p.serial}) {
    FUZZ_CHECK(s->find('#') == std::string::npos);
    FUZZ_CHECK(*s == Upper(*s));
  }
  FUZZ_CHECK(p.serial.find('\\') == std::string::npos);
}

// Splits `text` both ways. The text is either NUL-terminated or 256 bytes
// without a NUL.
void SplitBoth(const char* text) {
  Parts id = Run(SplitInstanceId, text);
  Parts path = Run(SplitDevicePath, text);
  CheckDevicePath(path);
  size_t length = 0;
  while (length < kNarrowTextSize && text[length] != '\0') ++length;
  if (length == kNarrowTextSize) {
    FUZZ_CHECK(!id.ok && !path.ok);
    return;
  }
  std::string s(text);
  CheckInstanceId(s, id);

  // The same device as an interface event names it.
  if (!id.ok || s.find('#') != std::string::npos) return;
  std::string asPath = "\\\\?\\" + s + "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
  for (size_t i = 4; i < 4 + s.size(); ++i) {
    if (asPath[i] == '\\') asPath[i] = '#';
  }
  if (asPath.size() > 255) return;
  Parts again = Run(SplitDevicePath, asPath.c_str());
  FUZZ_CHECK(again.ok);
  FUZZ_CHECK(again.prefix == Upper(id.prefix) && again.serial == Upper(id.serial));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As 8-bit text, in a buffer of exactly its bytes and a NUL.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  SplitBoth(text.data());
  // A text that fills the 256-byte form without a NUL.
  if (size >= kNarrowTextSize) {
    std::unique_ptr<char[]> full(new char[kNarrowTextSize]);
    std::memcpy(full.get(), data, kNarrowTextSize);
    if (!std::memchr(full.get(), '\0', kNarrowTextSize)) SplitBoth(full.get());
  }

  // As UTF-16 units, converted into buffers of 256 bytes and of fewer.
  size_t units = size / 2;
  std::unique_ptr<uint16_t[]> wide(new uint16_t[units ? units : 1]);
  for (size_t i = 0; i < units; ++i) wide[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  for (size_t outSize : {kNarrowTextSize, size % kNarrowTextSize}) {
    std::unique_ptr<char[]> narrow(new char[outSize ? outSize : 1]);
    bool ok = NarrowText(wide.get(), units, narrow.get(), outSize);
    if (!ok) {
      if (outSize > 0) FUZZ_CHECK(narrow[0] == '\0');
      continue;
    }
    const void* nul = std::memchr(narrow.get(), '\0', outSize);
    FUZZ_CHECK(nul != nullptr);
    size_t length = static_cast<size_t>(static_cast<const char*>(nul) - narrow.get());
    FUZZ_CHECK(length < units);
    for (size_t i = 0; i < length; ++i) {
      FUZZ_CHECK(wide[i] != 0 && wide[i] <= 0xFF && static_cast<uint8_t>(narrow[i]) == wide[i]);
    }
    FUZZ_CHECK(wide[length] == 0);
    if (outSize == kNarrowTextSize) SplitBoth(narrow.get());
  }
  return 0;
}
