#include "tests/ftd2xx-sim/sim_script.h"

#include <windows.h>

namespace {

// Later than every modification time this process gave the file before.
ULONGLONG g_lastStamp = 0;

HANDLE OpenForReading(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::wstring ProgramFolder() {
  wchar_t path[1024];
  DWORD n = GetModuleFileNameW(nullptr, path, 1024);
  std::wstring s(path, n);
  return s.substr(0, s.find_last_of(L'\\') + 1);
}

bool WriteSimConfig(const std::wstring& folder, const std::string& text) {
  std::wstring temp = folder + L"ftd2xx-sim.txt.new";
  HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG stamp = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  if (stamp <= g_lastStamp) stamp = g_lastStamp + 10000;  // 1 ms on
  g_lastStamp = stamp;
  FILETIME t{static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
  ok = ok && SetFileTime(f, nullptr, nullptr, &t);
  CloseHandle(f);
  std::wstring path = folder + L"ftd2xx-sim.txt";
  if (!ok) return false;
  // The library's watcher thread reads the file a moment after each change,
  // and a file that is open cannot be renamed over: wait that moment out.
  for (int tries = 0;; ++tries) {
    if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || tries == 1000) {
      return false;
    }
    Sleep(1);
  }
}

bool SimHear(const std::wstring& folder, const std::string& config, const std::string& serial,
             const std::vector<uint8_t>& bytes) {
  static uint32_t hearSeq = 0;
  if (bytes.empty()) return false;
  std::string key = "serial=" + serial;
  for (size_t at = config.find(key); at != std::string::npos; at = config.find(key, at + 1)) {
    size_t end = at + key.size();
    bool wordStart = at > 0 && (config[at - 1] == ' ' || config[at - 1] == '\t');
    bool wordEnd = end == config.size() || std::string(" \t\r\n#").find(config[end]) != std::string::npos;
    if (!wordStart || !wordEnd) continue;
    std::string hex = HexBytes(bytes.data(), bytes.size());
    for (char& c : hex) c = c == ' ' ? ':' : c;
    // At the line's end, before any comment: a later key of the same name
    // would win.
    size_t lineEnd = config.find_first_of("#\r\n", end);
    if (lineEnd == std::string::npos) lineEnd = config.size();
    std::string text = config;
    text.insert(lineEnd, " hear=" + hex + " hearseq=" + std::to_string(++hearSeq));
    return WriteSimConfig(folder, text);
  }
  return false;
}

uint64_t SimLogMark(const std::wstring& folder) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  std::wstring path = folder + L"ftd2xx-sim.log";
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
  return (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

std::vector<std::string> SimLogSince(const std::wstring& folder, uint64_t mark) {
  std::vector<std::string> lines;
  HANDLE f = OpenForReading(folder + L"ftd2xx-sim.log");
  if (f == INVALID_HANDLE_VALUE) return lines;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(mark);
  std::string text;
  if (SetFilePointerEx(f, at, nullptr, FILE_BEGIN)) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  }
  CloseHandle(f);
  // A line still being written has no line end yet; it is left for later.
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> WaitForSimLog(const std::wstring& folder, uint64_t mark,
                                       const std::string& operation, size_t count,
                                       uint32_t timeoutMs) {
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    std::vector<std::string> lines = SimLogSince(folder, mark);
    size_t seen = 0;
    for (const std::string& line : lines) {
      std::vector<std::string> f = SplitFields(line);
      if (f.size() > 1 && f[1] == operation) ++seen;
    }
    if (seen >= count || GetTickCount64() >= deadline) return lines;
    Sleep(2);
  }
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = line.find(' ', start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    if (i) s += ' ';
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}
