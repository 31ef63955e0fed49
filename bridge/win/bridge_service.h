// ZARVOMQTT.exe, the MQTT bridge of ZARVO Remote: a Windows service of its
// own that uses only the service's public interfaces (the events pipe and
// the command pipe) and a broker. This header joins its parts: the
// service's lifecycle, the loop that does the work, the event log, and the
// commands an administrator runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/admin_event.h"

constexpr wchar_t kBridgeServiceName[] = L"ZARVOMQTT";
constexpr wchar_t kBridgeDisplayName[] = L"ZARVO Remote MQTT bridge";
constexpr wchar_t kBridgeEventSource[] = L"ZARVO Remote MQTT bridge";
constexpr wchar_t kEventsPipePath[] = L"\\\\.\\pipe\\doraruzoz-events";
constexpr wchar_t kCommandPipePath[] = L"\\\\.\\pipe\\doraruzoz";

// What the service's control handler tells the loop. The handler sets a flag
// and then `wake`; the loop reads and clears the flags after every wake.
struct BridgeControl {
  HANDLE wake;                      // auto-reset
  std::atomic<bool> stop{false};
  std::atomic<bool> paramChange{false};
};

// The loop (bridge_loop.cpp): runs the bridge until `control.stop`, and
// returns 0, or the Win32 error it could not run past (no thread, no
// Winsock, no memory for the session).
DWORD RunBridge(BridgeControl& control);

// The service under the service control manager (bridge_service.cpp).
void WINAPI BridgeServiceMain(DWORD argc, LPWSTR* argv);

// The events' message ids and the writer's start (bridge_events.cpp).
uint32_t BridgeEventMessageId(AdminEvent event);
bool BridgeEventLogStart();

// The commands (install.cpp, config_command.cpp, forget.cpp); each returns
// the process's exit code: 0 on success, 1 on failure.
int BridgeInstall();
int BridgeUninstall();
int BridgeSetup();
int BridgeTeardown();
int BridgeConfig(int count, wchar_t** arguments);
int BridgeForget();

// True when the bridge's service is registered and not stopped.
bool BridgeServiceRunning();
