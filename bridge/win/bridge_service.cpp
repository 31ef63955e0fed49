// The bridge's life under the service control manager.
//
// Threads:
// - the dispatcher runs BridgeServiceMain on a thread of its own: it starts
//   the event log writer and the loop's thread, reports SERVICE_RUNNING and
//   returns;
// - the main thread, inside StartServiceCtrlDispatcherW, runs the control
//   handler one control at a time: a stop (or shutdown) reports
//   STOP_PENDING, sets the flag and wakes the loop; PARAMCHANGE sets its flag
//   and wakes the loop; the handler itself never waits;
// - the loop's thread (RunBridge) does the work and, once it has returned,
//   reports SERVICE_STOPPED.
// `g_status` and each report are guarded by g_statusLock.
#include <windows.h>

#include "bridge/win/bridge_service.h"
#include "core/admin_event.h"
#include "core/lock.h"
#include "core/version.h"
#include "core/win/error_text.h"
#include "core/win/event_log.h"

namespace {

constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
// The stop ends within 5 s: the goodbye to the broker gets 3, the threads
// and the event log the rest.
constexpr DWORD kStopHintMs = 5000;
constexpr uint32_t kEventLogFlushMs = 1000;

Lock g_statusLock;
SERVICE_STATUS g_status{};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
BridgeControl g_control;

void SetState(DWORD state, DWORD exitCode = 0, DWORD waitHint = 0) {
  LockHold hold(g_statusLock);
  // After STOPPED the handle must not be used again, and once a stop has
  // begun a late RUNNING must not undo it.
  if (g_status.dwCurrentState == SERVICE_STOPPED && state != SERVICE_START_PENDING) return;
  if (g_status.dwCurrentState == SERVICE_STOP_PENDING && state == SERVICE_RUNNING) return;
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = pending || state == SERVICE_STOPPED ? 0 : kControlsAccepted;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwServiceSpecificExitCode = 0;
  g_status.dwCheckPoint = pending ? 1 : 0;
  g_status.dwWaitHint = waitHint;
  if (g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
}

void Finish(DWORD error, const char* reason) {
  if (error == 0) {
    ReportAdminEvent(kBridgeStopping);
  } else {
    char text[256];
    if (!reason) Win32ErrorText(error, text, sizeof text);
    ReportAdminEvent(kBridgeStoppingOnError, {Decimal(error).text, reason ? reason : text});
  }
  EventLogStop(kEventLogFlushMs);
  SetState(SERVICE_STOPPED, error);
}

DWORD WINAPI LoopThread(void*) {
  DWORD error = RunBridge(g_control);
  Finish(error, nullptr);
  return 0;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      {
        LockHold hold(g_statusLock);
        if (g_status.dwCurrentState == SERVICE_STOPPED || g_status.dwCurrentState == SERVICE_STOP_PENDING) {
          return NO_ERROR;
        }
      }
      SetState(SERVICE_STOP_PENDING, 0, kStopHintMs);
      g_control.stop = true;
      SetEvent(g_control.wake);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_PARAMCHANGE:
      g_control.paramChange = true;
      SetEvent(g_control.wake);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
  LockHold hold(g_statusLock);
  if (g_status.dwCurrentState != SERVICE_STOPPED && g_statusHandle) SetServiceStatus(g_statusHandle, &g_status);
  return NO_ERROR;
}

}  // namespace

void WINAPI BridgeServiceMain(DWORD, LPWSTR*) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(kBridgeServiceName, ControlHandler, nullptr);
  if (!g_statusHandle) return;
  SetState(SERVICE_START_PENDING, 0, 3000);
  BridgeEventLogStart();
  ReportAdminEvent(kBridgeStarted, {ZARVO_VERSION_TEXT});
  g_control.stop = false;
  g_control.paramChange = false;
  if (!g_control.wake) g_control.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = g_control.wake ? CreateThread(nullptr, 0, LoopThread, nullptr, 0, nullptr) : nullptr;
  if (!thread) {
    Finish(GetLastError(), "the bridge's thread could not be started");
    return;
  }
  CloseHandle(thread);
  SetState(SERVICE_RUNNING);
}
