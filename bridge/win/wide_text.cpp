#include "bridge/win/wide_text.h"

#include <windows.h>

#include <cwchar>

std::string Utf8(const wchar_t* text, size_t units) {
  if (text == nullptr || units == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), &out[0], n, nullptr, nullptr);
  return out;
}

std::string Utf8(const wchar_t* text) { return Utf8(text, text ? std::wcslen(text) : 0); }

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}
