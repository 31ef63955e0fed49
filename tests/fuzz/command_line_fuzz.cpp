// The client's argument conversion and pipe-path formatting on arbitrary
// command lines.
//
// Input: byte 0 picks how many arguments are passed (0 to 8), byte 1 the size
// of a second, smaller pipe-path buffer (0 to 255 units); the rest is the
// arguments, separated by zero bytes. Each byte below 0x80 is that ASCII
// character; a byte from 0x80 up stands for one of sixteen wide characters
// outside ASCII (spaces, digits and signs of other scripts, the highest
// units), which the runtime's wcstol may or may not take as white space or
// digits.
//
// Invariants: each field holds the low 8 or 16 bits of its argument's value
// as decimal wcstol gives it, clamped to the signed 32-bit range (for ASCII
// arguments also checked against a conversion written here on its own
// terms); the reserved byte is 0 and data is 0 without a seventh argument;
// fewer than six or more than seven arguments leave the request untouched;
// only two arguments can be a listening form.
// The pipe path is \\<host>\pipe\doraruzoz when it fits its buffer and
// otherwise only its first unit is written (an empty text); nothing is ever
// written outside the buffer (exactly sized, so the sanitizers see any
// overrun, and sentinel-filled, so a write past the terminator shows too).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "client/command_line.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Wide characters for input bytes from 0x80 up.
const wchar_t kWideUnits[16] = {
    0x00A0,  // no-break space
    0x1680,  // ogham space mark
    0x2000,  // en quad
    0x3000,  // ideographic space
    0x0660,  // Arabic-Indic digit zero
    0x0669,  // Arabic-Indic digit nine
    0xFF10,  // fullwidth digit zero
    0xFF19,  // fullwidth digit nine
    0xFF0B,  // fullwidth plus sign
    0xFF0D,  // fullwidth hyphen-minus
    0x2212,  // minus sign
    0x00B2,  // superscript two
    0x00FF,  // the highest 8-bit unit
    0xD800,  // a lone surrogate
    0xFFFF,  // the highest 16-bit unit
    0x0085,  // next line
};

constexpr wchar_t kSentinel = 0x5A5A;

bool AsciiSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

bool IsAscii(const std::wstring& s) {
  for (wchar_t c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Decimal conversion of an ASCII text, from the rules alone: white space,
// one sign, digits up to the first other character, 0 without digits, and
// values past the signed 32-bit range held at its ends.
int32_t ReferenceValue(const std::wstring& s) {
  size_t i = 0;
  while (i < s.size() && AsciiSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = s[i++] == L'-';
  int64_t magnitude = 0;
  for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
    magnitude = magnitude * 10 + (s[i] - L'0');
    if (magnitude > (int64_t{1} << 32)) magnitude = int64_t{1} << 32;  // past either end
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// What the runtime's own wcstol makes of the text, clamped the same way.
int32_t RuntimeValue(const std::wstring& s) {
  long value = std::wcstol(s.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int32_t CheckedValue(const std::wstring& s) {
  int32_t value = ArgumentValue(s.c_str());
  FUZZ_CHECK(value == RuntimeValue(s));
  if (IsAscii(s)) FUZZ_CHECK(value == ReferenceValue(s));
  return value;
}

void CheckPipePath(const std::wstring& host, size_t units) {
  std::unique_ptr<wchar_t[]> path(new wchar_t[units ? units : 1]);
  for (size_t i = 0; i < units; ++i) path[i] = kSentinel;
  bool ok = FormatPipePath(host.c_str(), path.get(), units);
  const std::wstring expected = L"\\\\" + host + L"\\pipe\\doraruzoz";
  bool fits = expected.size() + 1 <= units;
  FUZZ_CHECK(ok == fits);
  if (units == kPipePathUnits) FUZZ_CHECK(fits == (host.size() <= kLongestHostName));
  if (ok) {
    FUZZ_CHECK(std::wmemcmp(path.get(), expected.c_str(), expected.size() + 1) == 0);
    for (size_t i = expected.size() + 1; i < units; ++i) FUZZ_CHECK(path[i] == kSentinel);
    return;
  }
  if (units == 0) return;
  FUZZ_CHECK(path[0] == L'\0');
  for (size_t i = 1; i < units; ++i) FUZZ_CHECK(path[i] == kSentinel);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  int count = data[0] % 9;
  size_t smallUnits = data[1];

  std::vector<std::wstring> args(1);
  for (size_t i = 2; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(b < 0x80 ? static_cast<wchar_t>(b) : kWideUnits[b & 15]);
    }
  }
  while (args.size() < static_cast<size_t>(count)) args.emplace_back();
  std::vector<const wchar_t*> argv;
  for (int i = 0; i < count; ++i) argv.push_back(args[i].c_str());

  PipeRequest request;
  std::memset(&request, 0xEE, sizeof request);
  bool built = BuildPipeRequest(count, argv.data(), request);
  FUZZ_CHECK(built == (count == 6 || count == 7));
  if (!built) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&request);
    for (size_t i = 0; i < sizeof request; ++i) FUZZ_CHECK(bytes[i] == 0xEE);
  } else {
    FUZZ_CHECK(request.iid == static_cast<uint8_t>(static_cast<uint32_t>(CheckedValue(args[1]))));
    FUZZ_CHECK(request.reserved == 0);
    FUZZ_CHECK(request.hc1 == static_cast<uint16_t>(static_cast<uint32_t>(CheckedValue(args[2]))));
    FUZZ_CHECK(request.hc2 == static_cast<uint16_t>(static_cast<uint32_t>(CheckedValue(args[3]))));
    FUZZ_CHECK(request.addr == static_cast<uint16_t>(static_cast<uint32_t>(CheckedValue(args[4]))));
    FUZZ_CHECK(request.cmd == static_cast<uint8_t>(static_cast<uint32_t>(CheckedValue(args[5]))));
    uint8_t data7 = count == 7 ? static_cast<uint8_t>(static_cast<uint32_t>(CheckedValue(args[6]))) : 0;
    FUZZ_CHECK(request.data == data7);
  }

  // A listening form is two arguments, never a request.
  ListenCommand listen = ListenCommandOf(count, argv.data());
  FUZZ_CHECK(listen == kNoListenCommand || (count == 2 && !built));

  // The first argument is the host, whatever the count.
  CheckPipePath(args[0], kPipePathUnits);
  CheckPipePath(args[0], smallUnits);
  return 0;
}
