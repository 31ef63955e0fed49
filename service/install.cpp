// Installing and removing the service: register it (or update an existing
// registration), give it its description and recovery, and publish or
// withdraw the pipe in the "NullSessionPipes" list so that anonymous network
// clients may open it. Two pairs of switches share this code: "-i"/"-u" for
// an administrator at a prompt, and "-setup"/"-teardown" for installer
// packages, which need idempotent steps and an exit code of 0 for success.
// Both run in a console process of their own.
#include <cstdio>

#include "core/request.h"
#include "service/event_source.h"
#include "service/pipe_list.h"
#include "service/service.h"
#include "service/state_store.h"

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

namespace {

// The registration that both installing switches write.
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS;
constexpr DWORD kStartType = SERVICE_AUTO_START;
constexpr DWORD kErrorControl = SERVICE_ERROR_NORMAL;

// How long "-teardown" waits for a running service to stop before it
// deletes it anyway (it then goes once it has stopped). A stop is bounded
// well below this; Windows Installer waits as long for its own stops.
constexpr DWORD kStopWaitMs = 30000;

// How long "-setup" waits for a registration still marked for deletion to
// go (a service removed while running goes only once it has stopped).
constexpr DWORD kDeletionWaitMs = 10000;

const wchar_t kServiceDescription[] =
    L"Switches FS20 radio home-automation devices through the USB radio transceivers "
    L"attached to this computer, on request of programs on this computer or the network "
    L"(named pipe doraruzoz). If stopped, those requests fail.";

SC_HANDLE CreateServiceRecord(SC_HANDLE manager, const ProgramPath& path) {
  return CreateServiceW(manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                        kServiceType, kStartType, kErrorControl, path.quoted, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
}

// An existing registration gets what CreateServiceRecord would have written;
// the account and the dependencies stay as the administrator left them.
bool UpdateServiceRecord(SC_HANDLE service, const ProgramPath& path) {
  return ChangeServiceConfigW(service, kServiceType, kStartType, kErrorControl, path.quoted,
                              nullptr, nullptr, nullptr, nullptr, nullptr,
                              kServiceDisplayName) != FALSE;
}

// The description and the recovery. The service works without them (Wine,
// for one, refuses the flag), so a failure is reported and installation
// goes on.
void ConfigureDescriptionAndRecovery(SC_HANDLE service) {
  wchar_t description[sizeof kServiceDescription / sizeof kServiceDescription[0]];
  lstrcpyW(description, kServiceDescription);
  SERVICE_DESCRIPTIONW text{description};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text)) {
    std::printf("Could not set the service description (error %lu).\n", GetLastError());
  }
  SC_ACTION steps[kFailureActionCount];
  SERVICE_FAILURE_ACTIONSW actions;
  BuildFailureActions(steps, actions);
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
    std::printf("Could not set the service recovery (error %lu).\n", GetLastError());
  }
  // Without the flag only a crash counts as a failure; with it, so does a
  // stop with a non-zero exit code, which is how the service reports that
  // it cannot go on.
  SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
    std::printf("Could not set the service's failure-actions flag (error %lu).\n",
                GetLastError());
  }
}

// The state file's folder, made here with its protected access list (the
// service makes it too when it is missing, but a user may make one first:
// the earlier it exists, the better). One that cannot be used is only
// reported: the service then keeps its state in memory.
void MakeStateFolderForService() {
  wchar_t folder[MAX_PATH];
  char why[512] = "";
  if (!StateFolderPath(folder)) {
    std::printf("State folder not made: the common application data folder is not known.\n");
  } else if (MakeStateFolder(folder, why, sizeof why) != 0) {
    std::printf("State folder %ls not used: %s. The service will keep its state in memory "
                "only; remove the folder and install again.\n",
                folder, why);
  }
}

// Everything installation writes once the service is registered: the one
// place both installing switches go through.
void CompleteInstallation(SC_HANDLE service, const ProgramPath& path) {
  ConfigureDescriptionAndRecovery(service);
  AddNullSessionPipe();
  // The message file is the program without quotes: the value is a list
  // separated by ';'.
  if (!InstallEventSource(path.plain)) {
    std::printf("Event source \"ZARVO Remote\" not registered: events will show without texts.\n");
  }
  MakeStateFolderForService();
}

// Everything removal takes away besides the service's registration: the one
// place both removing switches go through. HKLM\SOFTWARE\ZARVO Remote
// stays: the administrator's PipeSecurity lives there and must outlive a
// reinstall.
void WithdrawInstallation() {
  RemoveNullSessionPipe();
  if (!RemoveEventSource()) {
    std::printf("Event source \"ZARVO Remote\" not removed from the Application log.\n");
  }
}

}  // namespace

int InstallService() {
  ProgramPath path;
  SC_HANDLE service = nullptr;
  if (ReadProgramPath(path)) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) {
      service = CreateServiceRecord(manager, path);
      CloseServiceHandle(manager);
    }
  }
  if (!service) {
    std::printf("Failed to install ZARVO Remote Service.\n");
    return 0;
  }
  CompleteInstallation(service, path);
  CloseServiceHandle(service);
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
  WithdrawInstallation();
  std::printf("ZARVO Remote service successfully removed.\n");
  return 1;
}

int SetupService() {
  ProgramPath path;
  if (!ReadProgramPath(path)) {
    std::printf("Failed to set up ZARVO Remote Service: the program's path is too long.\n");
    return 1;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    std::printf("Failed to set up ZARVO Remote Service (error %lu).\n", GetLastError());
    return 1;
  }
  DWORD error = ERROR_SUCCESS;
  bool updated = false;
  SC_HANDLE service = CreateOrUpdateService(manager, kServiceName, path, CreateServiceRecord,
                                            UpdateServiceRecord, kDeletionWaitMs, error, updated);
  CloseServiceHandle(manager);
  if (!service) {
    std::printf("Failed to set up ZARVO Remote Service (error %lu).\n", error);
    return 1;
  }
  CompleteInstallation(service, path);
  CloseServiceHandle(service);
  std::printf(updated ? "ZARVO Remote Service updated.\n" : "ZARVO Remote Service installed.\n");
  return 0;
}

int TeardownService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::printf("Failed to remove ZARVO Remote Service (error %lu).\n", GetLastError());
    return 1;
  }
  DWORD error = ERROR_SUCCESS;
  SC_HANDLE service =
      OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service) {
    // Stopped first, so that the installer can replace or remove the
    // program's file at once.
    if (!StopServiceAndWait(service, kStopWaitMs)) {
      std::printf("ZARVO Remote Service did not stop in time; it goes once it has stopped.\n");
    }
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      error = GetLastError();
    }
    CloseServiceHandle(service);
  } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    error = GetLastError();
  }
  CloseServiceHandle(manager);
  if (error != ERROR_SUCCESS) {
    std::printf("Failed to remove ZARVO Remote Service (error %lu).\n", error);
    return 1;
  }
  WithdrawInstallation();
  std::printf("ZARVO Remote Service removed.\n");
  return 0;
}
