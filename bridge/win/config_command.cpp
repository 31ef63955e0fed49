// ZARVOMQTT -config [key=value ...]: sets the bridge's settings from an
// elevated prompt (all of them checked first: one bad value changes
// nothing), and tells a running bridge with SERVICE_CONTROL_PARAMCHANGE.
// Without arguments it prints the settings and the bridge's service SID,
// which an administrator who narrows PipeSecurity must keep in. The
// password is never printed.
#include <cstdio>
#include <string>
#include <vector>

#include "bridge/bridge_settings.h"
#include "bridge/topic_level.h"
#include "bridge/win/bridge_service.h"
#include "bridge/win/service_sid.h"
#include "bridge/win/settings_store.h"
#include "bridge/win/wide_text.h"

namespace {

struct Change {
  BridgeSettingKey key;
  std::string value;
  bool remove;
};

void PrintSettings(const wchar_t* sid) {
  StoredSettings stored;
  DWORD retry = 0;
  LONG read = ReadStoredSettings(stored, retry);
  std::printf("Settings of the ZARVO Remote MQTT bridge (HKLM\\SOFTWARE\\ZARVO Remote\\MQTT):\n");
  if (read != ERROR_SUCCESS) {
    std::printf("  cannot be read (error %ld): run this from an elevated prompt.\n", read);
  } else {
    std::string node = MakeNodeName(ComputerNameText());
    BridgeSettings defaults;
    const char* const kDefaults[kSettingCount] = {"not set", "none", "none", defaults.prefix.c_str(),
                                                  node.c_str(), defaults.discovery.c_str(), defaults.birth.c_str()};
    for (int k = 0; k < kSettingCount; ++k) {
      const char* name = BridgeSettingName(static_cast<BridgeSettingKey>(k));
      if (k == kSettingPassword) {
        std::printf("  %-10s %s\n", name, stored.has[k] && !stored.value[k].empty() ? "(set)" : "(not set)");
      } else if (stored.has[k] && (!stored.value[k].empty() || k == kSettingDiscovery || k == kSettingBirth)) {
        std::printf("  %-10s %s\n", name, stored.value[k].empty() ? "(empty: off)" : stored.value[k].c_str());
      } else {
        std::printf("  %-10s (%s%s)\n", name, k == kSettingBroker ? "" : "default: ", kDefaults[k]);
      }
    }
    EffectiveSettings effective;
    std::string setting, reason;
    if (ResolveSettings(stored, ComputerNameText(), effective, setting, reason)) {
      std::printf("Topics under %s/%s/, client id %s.\n", effective.bridge.prefix.c_str(),
                  effective.bridge.node.c_str(), effective.clientId.c_str());
    } else {
      std::printf("The bridge cannot use these settings: %s: %s.\n", setting.c_str(), reason.c_str());
    }
  }
  std::printf("Service SID of the bridge (NT SERVICE\\ZARVOMQTT): %ls\n", sid);
}

bool TellRunningBridge() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceW(manager, kBridgeServiceName, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS);
  bool told = false;
  SERVICE_STATUS status{};
  if (service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) {
    told = ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status) != FALSE;
    if (!told) std::printf("The running bridge could not be told (error %lu): restart it.\n", GetLastError());
  }
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return told;
}

}  // namespace

int BridgeConfig(int count, wchar_t** arguments) {
  wchar_t sid[kServiceSidTextUnits];
  if (!ServiceSidText(kBridgeServiceName, sid)) {
    std::printf("The bridge's service SID cannot be computed: SHA-1 is not available (error %lu).\n",
                GetLastError());
    return 1;
  }
  if (count == 0) {
    PrintSettings(sid);
    return 0;
  }
  std::vector<Change> changes;
  for (int i = 0; i < count; ++i) {
    Change c{};
    std::string reason;
    std::string argument = Utf8(arguments[i]);
    if (!ParseConfigArgument(argument, c.key, c.value, reason) ||
        !CheckSettingValue(c.key, c.value, c.remove, reason)) {
      // The value is not echoed: it may be the password.
      std::string name = argument.substr(0, argument.find('='));
      std::printf("%s: %s. Nothing was changed.\n", name.c_str(), reason.c_str());
      return 1;
    }
    changes.push_back(c);
  }
  HKEY key = nullptr;
  bool secured = false;
  LONG opened = OpenSettingsForWriting(sid, &key, secured);
  if (opened != ERROR_SUCCESS) {
    std::printf("HKLM\\SOFTWARE\\ZARVO Remote\\MQTT cannot be written (error %ld): run this from an elevated "
                "prompt. Nothing was changed.\n",
                opened);
    return 1;
  }
  if (!secured) {
    std::printf("The settings key's access list could not be set: other users of this computer may read "
                "the broker's password.\n");
  }
  int failed = 0;
  for (const Change& c : changes) {
    const char* name = BridgeSettingName(c.key);
    LONG written = WriteStoredSetting(key, c.key, c.value, c.remove);
    if (written != ERROR_SUCCESS) {
      std::printf("%s: not stored (error %ld).\n", name, written);
      ++failed;
    } else if (c.key == kSettingPassword) {
      std::printf("password %s\n", c.remove ? "removed" : "set");
    } else if (c.remove) {
      std::printf("%s removed: its default applies\n", name);
    } else {
      std::printf("%s = %s\n", name, c.value.c_str());
    }
  }
  RegCloseKey(key);
  if (failed > 0) return 1;
  StoredSettings stored;
  DWORD retry = 0;
  EffectiveSettings effective;
  std::string setting, reason;
  if (ReadStoredSettings(stored, retry) == ERROR_SUCCESS &&
      !ResolveSettings(stored, ComputerNameText(), effective, setting, reason)) {
    std::printf("The bridge cannot use the settings yet: %s: %s.\n", setting.c_str(), reason.c_str());
  }
  if (TellRunningBridge()) {
    std::printf("The running bridge was told; it reconnects if the broker settings changed.\n");
  }
  return 0;
}
