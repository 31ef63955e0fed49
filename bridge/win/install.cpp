// Installing and removing the bridge's service. "-i" and "-u" for an
// administrator at a prompt; "-setup" and "-teardown" for the installer
// package, idempotent. The service runs as NT AUTHORITY\LocalService with a
// service SID of its own (SERVICE_SID_TYPE_UNRESTRICTED), which the
// settings key's access list names; it starts with Windows once a broker is
// configured, and is left to be started by hand until then. It has no
// dependency on ZARVO Remote: it reconnects when that service comes back.
#include <cstdio>

#include "bridge/win/bridge_service.h"
#include "bridge/win/settings_store.h"
#include "core/win/service_setup.h"

namespace {

constexpr wchar_t kAccount[] = L"NT AUTHORITY\\LocalService";
constexpr DWORD kStopWaitMs = 30000;
constexpr DWORD kDeletionWaitMs = 10000;

const wchar_t kDescription[] =
    L"Publishes what ZARVO Remote's transceivers hear and send to an MQTT broker, with Home Assistant "
    L"discovery, and switches FS20 devices on the commands it receives from there.";

bool BrokerConfigured() {
  StoredSettings stored;
  DWORD retry = 0;
  return ReadStoredSettings(stored, retry) == ERROR_SUCCESS && stored.has[kSettingBroker] &&
         !stored.value[kSettingBroker].empty();
}

DWORD StartType() { return BrokerConfigured() ? SERVICE_AUTO_START : SERVICE_DEMAND_START; }

SC_HANDLE Create(SC_HANDLE manager, const ProgramPath& path) {
  return CreateServiceW(manager, kBridgeServiceName, kBridgeDisplayName, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, StartType(), SERVICE_ERROR_NORMAL, path.quoted, nullptr,
                        nullptr, nullptr, kAccount, L"");
}

bool Update(SC_HANDLE service, const ProgramPath& path) {
  return ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, StartType(), SERVICE_ERROR_NORMAL, path.quoted,
                              nullptr, nullptr, nullptr, kAccount, L"", kBridgeDisplayName) != FALSE;
}

// What the service works without: each refusal is one line, and the
// installation goes on (Wine refuses some of these).
void Complete(SC_HANDLE service, const ProgramPath& path) {
  wchar_t description[sizeof kDescription / sizeof kDescription[0]];
  lstrcpyW(description, kDescription);
  SERVICE_DESCRIPTIONW text{description};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text)) {
    std::printf("Could not set the service description (error %lu).\n", GetLastError());
  }
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
    std::printf("Could not give the service its own SID (error %lu): a narrowed PipeSecurity must then admit "
                "LocalService.\n",
                GetLastError());
  }
  SC_ACTION steps[kFailureActionCount];
  SERVICE_FAILURE_ACTIONSW actions;
  BuildFailureActions(steps, actions);
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
    std::printf("Could not set the service recovery (error %lu).\n", GetLastError());
  }
  if (!InstallEventSourceFor(kBridgeEventSource, path.plain)) {
    std::printf("Event source \"ZARVO Remote MQTT bridge\" not registered: events will show without texts.\n");
  }
}

void Withdraw() {
  if (!RemoveEventSourceFor(kBridgeEventSource)) {
    std::printf("Event source \"ZARVO Remote MQTT bridge\" not removed from the Application log.\n");
  }
}

}  // namespace

bool BridgeServiceRunning() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceW(manager, kBridgeServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  bool running = service && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return running;
}

int BridgeInstall() {
  ProgramPath path;
  SC_HANDLE service = nullptr;
  DWORD error = ERROR_BUFFER_OVERFLOW;
  if (ReadProgramPath(path)) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) {
      service = Create(manager, path);
      error = service ? 0 : GetLastError();
      CloseServiceHandle(manager);
    } else {
      error = GetLastError();
    }
  }
  if (!service) {
    std::printf("Failed to install the ZARVO Remote MQTT bridge (error %lu).\n", error);
    return 1;
  }
  Complete(service, path);
  CloseServiceHandle(service);
  std::printf("The ZARVO Remote MQTT bridge is installed (service ZARVOMQTT, %s).\n",
              BrokerConfigured() ? "starts with Windows" : "started by hand until a broker is set");
  return 0;
}

int BridgeUninstall() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  DWORD error = manager ? 0 : GetLastError();
  bool ok = false;
  if (manager) {
    SC_HANDLE service = OpenServiceW(manager, kBridgeServiceName, DELETE);
    CloseServiceHandle(manager);
    if (service) {
      ok = DeleteService(service) != FALSE;
      if (!ok) error = GetLastError();
      CloseServiceHandle(service);
    } else {
      error = GetLastError();
    }
  }
  if (!ok) {
    std::printf("Failed to remove the ZARVO Remote MQTT bridge (error %lu).\n", error);
    return 1;
  }
  Withdraw();
  std::printf("The ZARVO Remote MQTT bridge is removed; a running bridge goes once it has stopped.\n");
  return 0;
}

int BridgeSetup() {
  ProgramPath path;
  if (!ReadProgramPath(path)) {
    std::printf("Failed to set up the ZARVO Remote MQTT bridge: the program's path is too long.\n");
    return 1;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    std::printf("Failed to set up the ZARVO Remote MQTT bridge (error %lu).\n", GetLastError());
    return 1;
  }
  DWORD error = 0;
  bool updated = false;
  SC_HANDLE service =
      CreateOrUpdateService(manager, kBridgeServiceName, path, Create, Update, kDeletionWaitMs, error, updated);
  CloseServiceHandle(manager);
  if (!service) {
    std::printf("Failed to set up the ZARVO Remote MQTT bridge (error %lu).\n", error);
    return 1;
  }
  Complete(service, path);
  // The package leaves starting to the program: a bridge without a broker
  // stays stopped.
  if (BrokerConfigured()) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED &&
        !StartServiceW(service, 0, nullptr)) {
      std::printf("The bridge did not start (error %lu); see its events.\n", GetLastError());
    } else {
      std::printf("The ZARVO Remote MQTT bridge is set up and running.\n");
    }
  } else {
    std::printf("The ZARVO Remote MQTT bridge is set up; it starts once a broker is set (ZARVOMQTT -config "
                "broker=...).\n");
  }
  CloseServiceHandle(service);
  return 0;
}

int BridgeTeardown() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::printf("Failed to remove the ZARVO Remote MQTT bridge (error %lu).\n", GetLastError());
    return 1;
  }
  DWORD error = 0;
  SC_HANDLE service = OpenServiceW(manager, kBridgeServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service) {
    if (!StopServiceAndWait(service, kStopWaitMs)) {
      std::printf("The bridge did not stop in time; it goes once it has stopped.\n");
    }
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) error = GetLastError();
    CloseServiceHandle(service);
  } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    error = GetLastError();
  }
  CloseServiceHandle(manager);
  if (error != 0) {
    std::printf("Failed to remove the ZARVO Remote MQTT bridge (error %lu).\n", error);
    return 1;
  }
  Withdraw();
  std::printf("The ZARVO Remote MQTT bridge is removed.\n");
  return 0;
}
