#include "core/win/service_setup.h"

namespace {

const wchar_t kApplicationLog[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

}  // namespace

bool QuoteProgramPath(const wchar_t* path, wchar_t (&quoted)[MAX_PATH]) {
  size_t length = lstrlenW(path);
  // Two quotes and the terminating zero.
  if (length + 3 > MAX_PATH) return false;
  quoted[0] = L'"';
  CopyMemory(quoted + 1, path, length * sizeof(wchar_t));
  quoted[length + 1] = L'"';
  quoted[length + 2] = 0;
  return true;
}

bool ReadProgramPath(ProgramPath& path) {
  DWORD length = GetModuleFileNameW(nullptr, path.plain, MAX_PATH);
  return length > 0 && length < MAX_PATH && QuoteProgramPath(path.plain, path.quoted);
}

SC_HANDLE CreateOrUpdateService(SC_HANDLE manager, const wchar_t* name, const ProgramPath& path,
                                CreateRecordFn create, UpdateRecordFn update, DWORD waitMs,
                                DWORD& error, bool& updated) {
  DWORD start = GetTickCount();
  updated = false;
  for (;;) {
    SC_HANDLE service = create(manager, path);
    error = service ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
      service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
      error = service ? ERROR_SUCCESS : GetLastError();
      if (service && !update(service, path)) {
        error = GetLastError();
        CloseServiceHandle(service);
        service = nullptr;
      }
      updated = service != nullptr;
    }
    if (service) return service;
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE || GetTickCount() - start >= waitMs) return nullptr;
    Sleep(200);
  }
}

void BuildFailureActions(SC_ACTION (&steps)[kFailureActionCount],
                         SERVICE_FAILURE_ACTIONSW& actions) {
  // Restart twice after 5 s; then, until a day without failures resets the
  // count, after a minute each time, so that a service that cannot start
  // does not spin.
  steps[0] = {SC_ACTION_RESTART, 5000};
  steps[1] = {SC_ACTION_RESTART, 5000};
  steps[2] = {SC_ACTION_RESTART, 60000};
  actions.dwResetPeriod = kFailureResetSeconds;
  actions.lpRebootMsg = nullptr;
  actions.lpCommand = nullptr;
  actions.cActions = kFailureActionCount;
  actions.lpsaActions = steps;
}

bool InstallEventSourceFor(const wchar_t* source, const wchar_t* programPath) {
  if (!programPath || programPath[0] == L'\0' || wcschr(programPath, L';')) return false;
  HKEY log = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kApplicationLog, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_CREATE_SUB_KEY, nullptr, &log, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  HKEY key = nullptr;
  LONG created = RegCreateKeyExW(log, source, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                 nullptr, &key, nullptr);
  RegCloseKey(log);
  if (created != ERROR_SUCCESS) return false;
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
  if (!ok) RemoveEventSourceFor(source);  // leave no source without its texts
  return ok;
}

bool RemoveEventSourceFor(const wchar_t* source) {
  HKEY log = nullptr;
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kApplicationLog, 0, KEY_ALL_ACCESS, &log);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  LONG deleted = RegDeleteKeyW(log, source);
  RegCloseKey(log);
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool StopServiceAndWait(SC_HANDLE service, DWORD waitMs) {
  DWORD start = GetTickCount();
  for (;;) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (status.dwCurrentState != SERVICE_STOP_PENDING &&
        status.dwCurrentState != SERVICE_START_PENDING) {
      ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    if (GetTickCount() - start >= waitMs) return false;
    Sleep(100);
  }
}

