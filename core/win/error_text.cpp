#include "core/win/error_text.h"

#include <windows.h>

#include <cstring>

namespace {

void CopyText(const char* text, char* out, size_t size) {
  size_t n = std::strlen(text);
  if (n >= size) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

}  // namespace

void WideText(const wchar_t* text, char* out, size_t size) {
  if (size == 0) return;
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(size), nullptr, nullptr) <=
      0) {
    out[0] = '\0';
  }
  out[size - 1] = '\0';
}

void Win32ErrorText(uint32_t error, char* out, size_t size) {
  if (size == 0) return;
  wchar_t text[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text / sizeof text[0], nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' ||
                   text[n - 1] == L'.')) {
    --n;
  }
  if (n == 0) {
    CopyText("unknown error", out, size);
    return;
  }
  text[n] = L'\0';
  WideText(text, out, size);
  if (out[0] == '\0') CopyText("unknown error", out, size);
}
