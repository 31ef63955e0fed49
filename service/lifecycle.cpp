// The service's life under the service control manager.
//
// Threads:
// - the dispatcher runs ServiceMain on a thread of its own; it starts the
//   system (ServiceStart) and ends after reporting SERVICE_RUNNING;
// - the main thread, inside StartServiceCtrlDispatcherW, runs
//   ServiceControlHandler one control at a time: device events, pause,
//   continue, interrogate, stop;
// - the pipe server thread serves requests for the life of the process and is
//   never stopped; one reader thread per open transceiver.
// `g_context.status` is written by ServiceMain until the SERVICE_RUNNING
// report and by the control handler after it. The device table is shared
// with the pipe server thread and guarded by its own lock (device_table.h).
#include <windows.h>
#include <dbt.h>

#include <cstring>

#include "core/trace.h"
#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "devices/win/discovery.h"
#include "pipe/pipe_server.h"
#include "service/service.h"

namespace {

// Own process and share process together, as the service has always
// reported itself; the registration says own process.
constexpr DWORD kReportedServiceType = SERVICE_WIN32;
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;

static_assert(sizeof(ServiceStatusBlock) == sizeof(SERVICE_STATUS),
              "the status block is laid out as SERVICE_STATUS");

void ReportStatus(ServiceContext& context) {
  SERVICE_STATUS status;
  std::memcpy(&status, &context.status, sizeof status);
  SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(context.statusHandle), &status);
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceContext& context = g_context;
  context.status.serviceType = kReportedServiceType;
  context.status.currentState = SERVICE_START_PENDING;
  context.status.controlsAccepted = kControlsAccepted;
  context.status.win32ExitCode = 0;
  context.status.serviceSpecificExitCode = 0;
  context.status.checkPoint = 0;
  context.status.waitHint = 0;

  context.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ServiceControlHandler, nullptr);
  if (!context.statusHandle) return;

  ServiceStart(context);

  context.status.checkPoint = 0;
  context.status.waitHint = 0;
  context.status.currentState = SERVICE_RUNNING;
  ReportStatus(context);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  ServiceContext& context = g_context;
  DWORD result = NO_ERROR;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ServiceStop(context);
      context.status.win32ExitCode = 0;
      context.status.currentState = SERVICE_STOPPED;
      context.status.checkPoint = 0;
      context.status.waitHint = 0;
      break;
    case SERVICE_CONTROL_PAUSE:
      context.status.currentState = SERVICE_PAUSED;
      break;
    case SERVICE_CONTROL_CONTINUE:
      context.status.currentState = SERVICE_RUNNING;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case SERVICE_CONTROL_DEVICEEVENT:
      result = OnDeviceEvent(eventType, eventData, context);
      break;
    default:
      result = ERROR_CALL_NOT_IMPLEMENTED;
      break;
  }
  ReportStatus(context);
  return result;
}

DWORD ServiceStart(ServiceContext& context) {
  EnumeratePresentDevices(context);

  // Wait until the pipe's four instances listen, so that a client started
  // right after the SERVICE_RUNNING report finds the pipe. The thread itself
  // is never stopped or waited for; no handle to it is kept.
  DWORD serving = StartPipeServer(nullptr);
  if (serving != 0) TraceHook("pipe server not serving", serving);

  DEV_BROADCAST_DEVICEINTERFACE_W filter;
  std::memset(&filter, 0, sizeof filter);
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterfaceClass;
  context.notifyHandle = RegisterDeviceNotificationW(
      static_cast<HANDLE>(context.statusHandle), &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
  return NO_ERROR;
}

void ServiceStop(ServiceContext& context) {
  if (context.notifyHandle) {
    UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(context.notifyHandle));
    context.notifyHandle = nullptr;
  }
  // Empty the table first, under its lock: a request in flight finishes its
  // write, then closes its record itself if it was last, and every later
  // request is answered "ZARVO device not found." instead of reaching a freed record.
  // The pipe server thread goes on running until the process ends.
  DeviceRecord* records[kMaxDevices];
  int n = TableTakeAll(context.devices, records);
  for (int i = 0; i < n; ++i) ReleaseDeviceRecord(records[i]);
}
