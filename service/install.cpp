// The two command operations: register or delete the service, and publish
// or withdraw the pipe in the "NullSessionPipes" list so that anonymous
// network clients may open it. They run in a console process of their own.
#include <cstdio>

#include "core/request.h"
#include "service/event_source.h"
#include "service/pipe_list.h"
#include "service/service.h"

namespace {

const wchar_t kLanmanParameters[] = L"System\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
const wchar_t kNullSessionPipes[] = L"NullSessionPipes";

const wchar_t* PipeName() { return reinterpret_cast<const wchar_t*>(kPipeLeafName); }

// The published pipe list, read whole into the working buffer.
struct PipeListValue {
  HKEY key = nullptr;
  uint8_t buffer[kPipeListBufferSize];
  uint32_t size = 0;
};

// Opens the key (creating it if missing) and reads the value. False, with
// nothing to change, when the key cannot be opened, the value is missing or
// larger than the buffer, or is not a multi-string list.
bool ReadPipeList(PipeListValue& list) {
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLanmanParameters, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &list.key, nullptr) != ERROR_SUCCESS) {
    list.key = nullptr;
    return false;
  }
  DWORD type = 0;
  DWORD size = sizeof list.buffer;
  if (RegQueryValueExW(list.key, kNullSessionPipes, nullptr, &type, list.buffer, &size) !=
          ERROR_SUCCESS ||
      type != REG_MULTI_SZ) {
    return false;
  }
  list.size = size;
  return true;
}

void WritePipeList(const PipeListValue& list) {
  RegSetValueExW(list.key, kNullSessionPipes, 0, REG_MULTI_SZ, list.buffer, list.size);
}

void ClosePipeList(PipeListValue& list) {
  if (list.key) RegCloseKey(list.key);
  list.key = nullptr;
}

}  // namespace

void AddNullSessionPipe() {
  PipeListValue list;
  if (ReadPipeList(list) &&
      PipeListAdd(list.buffer, list.size, reinterpret_cast<const char16_t*>(PipeName()))) {
    WritePipeList(list);
  }
  ClosePipeList(list);
}

void RemoveNullSessionPipe() {
  PipeListValue list;
  if (ReadPipeList(list) &&
      PipeListRemove(list.buffer, list.size, reinterpret_cast<const char16_t*>(PipeName()))) {
    WritePipeList(list);
  }
  ClosePipeList(list);
}

int InstallService() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A path that filled the buffer was cut: registering it would start a
  // program that does not exist.
  bool ok = length > 0 && length < MAX_PATH;
  if (ok) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = nullptr;
    if (manager) {
      service = CreateServiceW(manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                               SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr, nullptr,
                               nullptr);
      CloseServiceHandle(manager);
    }
    ok = service != nullptr;
    if (service) CloseServiceHandle(service);
  }
  if (!ok) {
    std::printf("Failed to install ZARVO Remote Service.\n");
    return 0;
  }
  AddNullSessionPipe();
  if (!InstallEventSource(path)) {
    std::printf("Event source \"ZARVO Remote\" not registered: events will show without texts.\n");
  }
  std::printf("ZARVO Remote Service successfully installed.\n");
  return 1;
}

int UninstallService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  bool ok = false;
  if (manager) {
    SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE);
    CloseServiceHandle(manager);
    if (service) {
      ok = DeleteService(service) != FALSE;
      CloseServiceHandle(service);
    }
  }
  if (!ok) {
    std::printf("Failed to remove ZARVO Remote service.\n");
    return 0;
  }
  RemoveNullSessionPipe();
  if (!RemoveEventSource()) {
    std::printf("Event source \"ZARVO Remote\" not removed from the Application log.\n");
  }
  std::printf("ZARVO Remote service successfully removed.\n");
  return 1;
}
