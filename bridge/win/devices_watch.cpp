#include "bridge/win/devices_watch.h"

#include <shlobj.h>

#include <cwchar>

namespace {

struct Stamp {
  bool exists;
  FILETIME written;
  uint64_t size;
};

Stamp StampOf(const wchar_t* path) {
  Stamp s{};
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
    s.exists = true;
    s.written = data.ftLastWriteTime;
    s.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return s;
}

bool Same(const DevicesWatch& w, const Stamp& s) {
  if (!w.known || w.exists != s.exists) return false;
  if (!s.exists) return true;
  return w.size == s.size && CompareFileTime(&w.written, &s.written) == 0;
}

void Watch(DevicesWatch& w, uint64_t nowMs) {
  if (w.change != INVALID_HANDLE_VALUE) return;
  w.change = FindFirstChangeNotificationW(
      w.folder, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
  w.pollAtMs = w.change == INVALID_HANDLE_VALUE ? nowMs + kDevicesPollMs : 0;
}

}  // namespace

bool DevicesWatchInit(DevicesWatch& w, uint64_t nowMs) {
  w.change = INVALID_HANDLE_VALUE;
  w.known = false;
  w.exists = false;
  w.size = 0;
  w.written = FILETIME{};
  w.settleAtMs = 0;
  w.pollAtMs = 0;
  // The folder Windows names ProgramData, asked of the shell: a service's
  // environment need not say it (Wine's gives its services another one).
  wchar_t data[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK) {
    DWORD n = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
  }
  if (wcslen(data) >= MAX_PATH - 40) return false;
  std::swprintf(w.folder, MAX_PATH, L"%ls\\ZARVO Remote", data);
  std::swprintf(w.path, MAX_PATH, L"%ls\\devices.ini", w.folder);
  Watch(w, nowMs);
  return true;
}

void DevicesWatchClose(DevicesWatch& w) {
  if (w.change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(w.change);
  w.change = INVALID_HANDLE_VALUE;
}

HANDLE DevicesWatchHandle(const DevicesWatch& w) {
  return w.change == INVALID_HANDLE_VALUE ? nullptr : w.change;
}

DWORD DevicesWatchWaitMs(const DevicesWatch& w, uint64_t nowMs) {
  uint64_t due = w.settleAtMs ? w.settleAtMs : w.pollAtMs;
  if (due == 0) return INFINITE;
  return due > nowMs ? static_cast<DWORD>(due - nowMs) : 0;
}

bool DevicesWatchPoll(DevicesWatch& w, uint64_t nowMs, bool signalled) {
  if (signalled && w.change != INVALID_HANDLE_VALUE) {
    if (!FindNextChangeNotification(w.change)) {
      // The folder went: look for it again by the clock.
      FindCloseChangeNotification(w.change);
      w.change = INVALID_HANDLE_VALUE;
      w.pollAtMs = nowMs + kDevicesPollMs;
    }
    // Every change puts the read off again until the writer is done.
    w.settleAtMs = nowMs + kDevicesSettleMs;
    return false;
  }
  bool due = false;
  if (w.settleAtMs && nowMs >= w.settleAtMs) {
    w.settleAtMs = 0;
    due = true;
  }
  if (w.pollAtMs && nowMs >= w.pollAtMs) {
    w.pollAtMs = nowMs + kDevicesPollMs;
    Watch(w, nowMs);
    due = true;
  }
  return due && !Same(w, StampOf(w.path));
}

DWORD DevicesWatchRead(DevicesWatch& w, size_t limit, std::string& bytes) {
  bytes.clear();
  Stamp before = StampOf(w.path);
  w.known = true;
  w.exists = before.exists;
  w.written = before.written;
  w.size = before.size;
  // Shared for writing and deleting: an editor saving meanwhile is not
  // refused; its change is noticed and read again.
  HANDLE file = CreateFileW(w.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : GetLastError();
  DWORD result = ERROR_SUCCESS;
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      result = GetLastError();
      break;
    }
    if (got == 0) break;
    bytes.append(buffer, got);
    // Past the limit is enough for the parser to refuse the file as a whole.
    if (bytes.size() > limit) break;
  }
  CloseHandle(file);
  return result;
}
