// Program entry of ZARVOMQTT, the MQTT bridge: with a command it installs,
// removes, configures or cleans up after the bridge; without one it hands
// the main thread to the service control dispatcher, which is how the
// service control manager starts it.
#include <windows.h>

#include <cstdio>

#include "bridge/win/bridge_service.h"
#include "core/version.h"

namespace {

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

// "-x" or "/x", letters in either case.
bool IsSwitch(const wchar_t* arg, const wchar_t* name) {
  if (arg[0] != L'-' && arg[0] != L'/') return false;
  ++arg;
  for (; *arg && *name; ++arg, ++name) {
    if (AsciiLower(*arg) != *name) return false;
  }
  return *arg == *name;
}

void PrintUsage() {
  std::printf("Usage: ZARVOMQTT -i | -u | -config [key=value ...] | -forget\n\n");
  std::printf("  -i        install the bridge as the service ZARVOMQTT (\"ZARVO Remote MQTT bridge\")\n");
  std::printf("  -u        remove it (its settings stay)\n");
  std::printf("  -config   without arguments: print the settings and the bridge's service SID\n");
  std::printf("            with key=value: set them (broker, user, password, prefix, node, discovery, birth);\n");
  std::printf("            an empty value removes a setting; a running bridge is told\n");
  std::printf("  -forget   (bridge stopped) remove every retained topic of this bridge from the broker\n\n");
  std::printf("Start and stop it with NET START ZARVOMQTT and NET STOP ZARVOMQTT.\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2) {
    std::printf("ZARVOMQTT - ZARVO Remote MQTT bridge %s\n", ZARVO_VERSION_TEXT);
    const wchar_t* option = argv[1];
    int result = 1;
    if (IsSwitch(option, L"i") && argc == 2) {
      result = BridgeInstall();
    } else if (IsSwitch(option, L"u") && argc == 2) {
      result = BridgeUninstall();
    } else if (IsSwitch(option, L"setup") && argc == 2) {
      // For the installer package; not in the usage text.
      result = BridgeSetup();
    } else if (IsSwitch(option, L"teardown") && argc == 2) {
      result = BridgeTeardown();
    } else if (IsSwitch(option, L"config")) {
      result = BridgeConfig(argc - 2, argv + 2);
    } else if (IsSwitch(option, L"forget") && argc == 2) {
      result = BridgeForget();
    } else {
      PrintUsage();
    }
    std::fflush(stdout);
    return result;
  }
  wchar_t name[sizeof kBridgeServiceName / sizeof kBridgeServiceName[0]];
  lstrcpyW(name, kBridgeServiceName);
  SERVICE_TABLE_ENTRYW table[] = {{name, BridgeServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD error = GetLastError();
    PrintUsage();
    std::fflush(stdout);
    return static_cast<int>(error);
  }
  // The service has reported SERVICE_STOPPED. A reader left inside a call
  // keeps its record: ending here without running destructors means it
  // never meets freed memory.
  ExitProcess(0);
}
