#include "client/command_line.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

int32_t ArgumentValue(const wchar_t* text) {
  long value = std::wcstol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool BuildPipeRequest(int count, const wchar_t* const* args, PipeRequest& request) {
  if (count < kFewestArguments || count > kMostArguments) return false;
  std::memset(&request, 0, sizeof request);
  // Unsigned conversion keeps the low bits: -1 becomes 255 or 65535.
  request.iid = static_cast<uint8_t>(static_cast<uint32_t>(ArgumentValue(args[1])));
  request.hc1 = static_cast<uint16_t>(static_cast<uint32_t>(ArgumentValue(args[2])));
  request.hc2 = static_cast<uint16_t>(static_cast<uint32_t>(ArgumentValue(args[3])));
  request.addr = static_cast<uint16_t>(static_cast<uint32_t>(ArgumentValue(args[4])));
  request.cmd = static_cast<uint8_t>(static_cast<uint32_t>(ArgumentValue(args[5])));
  if (count == kMostArguments) {
    request.data = static_cast<uint8_t>(static_cast<uint32_t>(ArgumentValue(args[6])));
  }
  return true;
}

namespace {

// \\<host>\pipe\<leaf><suffix>, or false when it does not fit.
bool FormatPath(const wchar_t* host, const wchar_t* suffix, wchar_t* path, size_t units) {
  static const wchar_t kPrefix[] = L"\\\\";
  static const wchar_t kMiddle[] = L"\\pipe\\";
  size_t hostUnits = std::wcslen(host);
  size_t leafUnits = sizeof kPipeLeafName / sizeof kPipeLeafName[0] - 1;
  size_t needed = 2 + hostUnits + 6 + leafUnits + std::wcslen(suffix) + 1;
  if (units == 0) return false;
  path[0] = L'\0';
  if (needed > units) return false;
  wchar_t* at = path;
  for (const wchar_t* p = kPrefix; *p; ++p) *at++ = *p;
  for (size_t i = 0; i < hostUnits; ++i) *at++ = host[i];
  for (const wchar_t* p = kMiddle; *p; ++p) *at++ = *p;
  for (size_t i = 0; i < leafUnits; ++i) *at++ = static_cast<wchar_t>(kPipeLeafName[i]);
  for (const wchar_t* p = suffix; *p; ++p) *at++ = *p;
  *at = L'\0';
  return true;
}

}  // namespace

bool FormatPipePath(const wchar_t* host, wchar_t* path, size_t units) {
  return FormatPath(host, L"", path, units);
}

bool FormatEventsPipePath(const wchar_t* host, wchar_t* path, size_t units) {
  return FormatPath(host, L"-events", path, units);
}

namespace {

// "-word" or "/word", the word's letters in either case.
bool IsSwitch(const wchar_t* arg, const wchar_t* word) {
  if (*arg != L'-' && *arg != L'/') return false;
  for (++arg; *word; ++arg, ++word) {
    wchar_t c = *arg >= L'A' && *arg <= L'Z' ? static_cast<wchar_t>(*arg - L'A' + L'a') : *arg;
    if (c != *word) return false;
  }
  return *arg == L'\0';
}

}  // namespace

ListenCommand ListenCommandOf(int count, const wchar_t* const* args) {
  if (count != 2) return kNoListenCommand;
  if (IsSwitch(args[1], L"listen")) return kListenCommand;
  if (IsSwitch(args[1], L"state")) return kStateCommand;
  return kNoListenCommand;
}
