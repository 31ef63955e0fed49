#include "service/event_source.h"

#include <windows.h>

#include "service/event_log.h"

namespace {

const wchar_t kApplicationLog[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const wchar_t kSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZARVO Remote";

}  // namespace

bool InstallEventSource(const wchar_t* programPath) {
  if (!programPath || programPath[0] == L'\0' || wcschr(programPath, L';')) return false;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // The path goes in without quotes: the value is a list of files, and the
  // event log takes quotes as part of the file name.
  DWORD pathBytes = static_cast<DWORD>((wcslen(programPath) + 1) * sizeof(wchar_t));
  DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  bool ok = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(programPath), pathBytes) ==
                ERROR_SUCCESS &&
            RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) RemoveEventSource();  // leave no source without its texts
  return ok;
}

bool RemoveEventSource() {
  HKEY log = nullptr;
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kApplicationLog, 0, KEY_ALL_ACCESS, &log);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  LONG deleted = RegDeleteKeyW(log, kEventSourceName);
  RegCloseKey(log);
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}
