// The service's life under the service control manager.
//
// Threads:
// - the dispatcher runs ServiceMain on a thread of its own; it reports
//   START_PENDING, starts the service's worker thread and the system
//   (ServiceStart) and ends after reporting SERVICE_RUNNING, or
//   SERVICE_STOPPED with the error when the start failed;
// - the main thread, inside StartServiceCtrlDispatcherW, runs
//   ServiceControlHandler one control at a time: device events, pause,
//   continue, interrogate, stop. The service manager waits for the handler
//   itself, so a stop only reports STOP_PENDING there and hands the work to
//   the worker thread;
// - the worker thread waits for a stop (asked by the handler, or by the
//   service itself when its pipe server fails) and carries it out: it has
//   every transceiver closed on its own thread, reporting STOP_PENDING
//   checkpoints, then reports SERVICE_STOPPED. Meanwhile it is the watchdog:
//   every half second it looks for a transceiver stuck inside the driver,
//   which is then isolated (transceiver_queue.h), never a reason to stop;
//   and at the same wake it runs out the state table's due timers and
//   writes the state file when it is due (state_store.h), so that no timer
//   needs a thread of its own;
// - the pipe server thread and the events pipe's thread serve until the
//   stop ends them; each transceiver has a thread of its own and a reader
//   thread. Neither ServiceMain nor the control handler ever calls the
//   driver, so neither waits for a transceiver.
// `g_context.status` is written by all of these, always under g_statusLock,
// which also covers each report. The device table is shared with the pipe
// server thread and guarded by its own lock (device_table.h).
#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <cstring>

#include "core/admin_event.h"
#include "core/lock.h"
#include "core/trace.h"
#include "core/version.h"
#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "devices/state_keeper.h"
#include "devices/transceiver_events.h"
#include "devices/transceiver_queue.h"
#include "devices/win/discovery.h"
#include "pipe/events_pipe.h"
#include "pipe/pipe_security.h"
#include "pipe/pipe_server.h"
#include "service/event_log.h"
#include "service/service.h"
#include "service/state_store.h"

namespace {

// Own process and share process together, as the service has always
// reported itself; the registration says own process.
constexpr DWORD kReportedServiceType = SERVICE_WIN32;
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
// Wait hints: how long the service manager is to wait for the next
// checkpoint. A start step is the pipe's creation or the device walk.
constexpr DWORD kStartStepHintMs = 10000;
// The stop reports a checkpoint every second while transceivers close.
constexpr DWORD kStopStepHintMs = 8000;
constexpr DWORD kStopSliceMs = 1000;
// However many transceivers hang, the stop reports SERVICE_STOPPED after
// this long; what is still open then ends with the process.
constexpr ULONGLONG kStopBudgetMs = 20000;

static_assert(sizeof(ServiceStatusBlock) == sizeof(SERVICE_STATUS),
              "the status block is laid out as SERVICE_STATUS");

Lock g_statusLock;            // g_context.status and its reports
HANDLE g_stopEvent = nullptr;       // set to have the worker thread stop the service
std::atomic<bool> g_stopping{false};  // a stop has begun: device events are ignored
std::atomic<DWORD> g_stopError{0};  // the Win32 exit code the stop reports
// Why the service stops itself, for its event (static text).
std::atomic<const char*> g_stopReason{""};
// How long the stop waits for the event log writer to write what is queued.
constexpr uint32_t kEventLogFlushMs = 2000;
// How long the stop gives the last replies to go out before the pipe closes.
constexpr DWORD kReplyFlushMs = 500;
// A control of our own (128 to 255 are the services'): walk the USB devices
// again and add or remove transceivers whose device event never came.
constexpr DWORD kControlRescanDevices = 128;

// Reports an error event with the error's number, then `reason`, or the
// system's text for the error when there is none.
void ReportError(AdminEvent event, DWORD error, const char* reason = nullptr) {
  char text[256];
  if (!reason) Win32ErrorText(error, text, sizeof text);
  ReportAdminEvent(event, {Decimal(error).text, reason ? reason : text});
}

// How often the worker thread looks for a stuck transceiver and runs out
// the state table's timers: a stuck one is found at most this long after it
// passed kStuckCallLimitMs, a timer runs out at most this long after its time.
constexpr DWORD kWatchdogPeriodMs = 500;

// Reports the status block as it stands; the caller holds g_statusLock.
void ReportLocked(ServiceContext& context) {
  if (!context.statusHandle) return;
  SERVICE_STATUS status;
  std::memcpy(&status, &context.status, sizeof status);
  SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(context.statusHandle), &status);
}

void SetState(ServiceContext& context, DWORD state, DWORD waitHint) {
  LockHold hold(g_statusLock);
  // Once a stop has begun, only its own reports may follow: a late RUNNING
  // or a pause must not tell the service manager the stop was undone.
  DWORD now = context.status.currentState;
  if ((now == SERVICE_STOP_PENDING || now == SERVICE_STOPPED) && state != SERVICE_STOP_PENDING &&
      state != SERVICE_STOPPED && g_stopping) {
    return;
  }
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  context.status.currentState = state;
  context.status.controlsAccepted = pending || state == SERVICE_STOPPED ? 0 : kControlsAccepted;
  context.status.checkPoint = pending ? 1 : 0;
  context.status.waitHint = pending ? waitHint : 0;
  ReportLocked(context);
}

// One more step of a pending start or stop is under way: a higher checkpoint
// and the time it may take. Nothing is reported in any other state.
void Progress(ServiceContext& context, uint32_t waitHint) {
  LockHold hold(g_statusLock);
  DWORD state = context.status.currentState;
  if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) return;
  ++context.status.checkPoint;
  context.status.waitHint = waitHint;
  ReportLocked(context);
}

void ReportStopped(ServiceContext& context, DWORD exitCode) {
  LockHold hold(g_statusLock);
  context.status.currentState = SERVICE_STOPPED;
  context.status.controlsAccepted = 0;
  context.status.win32ExitCode = exitCode;
  context.status.checkPoint = 0;
  context.status.waitHint = 0;
  ReportLocked(context);
}

// Begins a stop once: STOP_PENDING, and the worker thread is woken. False
// when a stop had begun already.
bool BeginStop(ServiceContext& context, DWORD exitCode, const char* reason = "") {
  if (g_stopping.exchange(true)) return false;
  g_stopError = exitCode;
  g_stopReason = reason;
  SetState(context, SERVICE_STOP_PENDING, kStopStepHintMs);
  if (g_stopEvent) SetEvent(g_stopEvent);
  return true;
}

// The pipe server's thread ends: without it nobody is served, so the service
// stops itself with the error, and the service manager's recovery restarts
// it.
void OnPipeServerFailed(DWORD error) {
  TraceHook("pipe server failed", error);
  error = error != 0 ? error : ERROR_BROKEN_PIPE;
  ReportError(kAdminPipeServerFailing, error);
  BeginStop(g_context, error, "the pipe server cannot go on");
}

// The end of a stop: its event, the state file written, the pipes closed,
// what the event log still holds, then the report that lets the process
// end. The state file is written once the transceivers are closed (no
// telegram changes the state any more) and before the event log closes, for
// its events. The pipes close before STOPPED: on Windows a thread caught
// inside a kernel driver keeps the process, and with it every handle it
// has, alive after STOPPED, and a restart would then find both names taken.
void FinishStop(ServiceContext& context, DWORD exitCode, const char* reason) {
  if (exitCode == 0) {
    ReportAdminEvent(kAdminServiceStopping);
  } else {
    ReportError(kAdminServiceStoppingOnError, exitCode, reason[0] ? reason : nullptr);
  }
  StateStoreStop();
  StopPipeServer(kReplyFlushMs);
  StopEventsPipe();
  EventLogStop(kEventLogFlushMs);
  ReportStopped(context, exitCode);
}

void UnregisterDeviceEvents(ServiceContext& context) {
  if (context.notifyHandle) {
    UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(context.notifyHandle));
    context.notifyHandle = nullptr;
  }
}

// Waits for a stop, and meanwhile watches for a transceiver stuck inside
// the driver, runs out the state table's timers and writes its file.
DWORD WINAPI WorkerThread(LPVOID) {
  while (WaitForSingleObject(g_stopEvent, kWatchdogPeriodMs) == WAIT_TIMEOUT) {
    CheckStuckTransceivers(MonotonicMs(), kStuckCallLimitMs);
    TendStates(UtcNowMs());
    StateStoreTick(MonotonicMs());
  }
  ServiceStop(g_context);
  FinishStop(g_context, g_stopError, g_stopReason);
  return 0;
}

// Has every transceiver closed on its own thread and waits, reporting a
// checkpoint a second, until each has closed its driver handle, is stuck
// inside the driver (it is then left behind), or `budgetMs` has run out.
// Then drops the references.
void CloseTransceivers(ServiceContext& context, DeviceRecord* records[kMaxDevices], int n,
                       ULONGLONG budgetMs) {
  for (int i = 0; i < n; ++i) AskTransceiverToClose(*records[i]);
  ULONGLONG began = GetTickCount64();
  for (;;) {
    HANDLE open[kMaxDevices];
    DWORD waiting = 0;
    for (int i = 0; i < n; ++i) {
      HANDLE closed = static_cast<HANDLE>(records[i]->closedEvent);
      if (!closed || WaitForSingleObject(closed, 0) == WAIT_OBJECT_0) continue;
      if (TransceiverStuck(*records[i])) continue;
      open[waiting++] = closed;
    }
    ULONGLONG spent = GetTickCount64() - began;
    if (waiting == 0) break;
    if (spent >= budgetMs) {
      TraceHook("stop left transceivers open", waiting);
      break;
    }
    Progress(context, kStopStepHintMs);
    ULONGLONG left = budgetMs - spent;
    WaitForMultipleObjects(waiting, open, TRUE,
                           static_cast<DWORD>(left < kStopSliceMs ? left : kStopSliceMs));
    // A close that hangs is found here as at any other time.
    CheckStuckTransceivers(MonotonicMs(), kStuckCallLimitMs);
  }
  for (int i = 0; i < n; ++i) ReleaseDeviceRecord(records[i]);
}

void CloseAllTransceivers(ServiceContext& context) {
  TableClose(context.devices);
  DeviceRecord* records[kMaxDevices];
  int n = TableTakeAll(context.devices, records);
  CloseTransceivers(context, records, n, kStopBudgetMs);
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceContext& context = g_context;
  {
    LockHold hold(g_statusLock);
    context.status.serviceType = kReportedServiceType;
    context.status.currentState = SERVICE_START_PENDING;
    context.status.controlsAccepted = 0;
    context.status.win32ExitCode = 0;
    context.status.serviceSpecificExitCode = 0;
    context.status.checkPoint = 0;
    context.status.waitHint = 0;
  }
  // A second start in one process begins afresh.
  g_stopping = false;
  g_stopError = 0;
  g_stopReason = "";
  if (g_stopEvent) ResetEvent(g_stopEvent);
  context.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ServiceControlHandler, nullptr);
  if (!context.statusHandle) return;
  SetState(context, SERVICE_START_PENDING, kStartStepHintMs);
  EventLogStart();
  ReportAdminEvent(kAdminServiceStarted, {ZARVO_VERSION_TEXT});

  DWORD error = 0;
  if (!g_stopEvent) g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE worker = g_stopEvent ? CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr) : nullptr;
  if (!worker) error = GetLastError();
  if (error == 0) error = ServiceStart(context);
  if (error != 0) {
    // Nothing is left running that could serve: the worker thread, if it
    // started, waits for a stop that never comes and ends with the process.
    g_stopping = true;
    FinishStop(context, error, "the service could not start");
  } else {
    SetState(context, SERVICE_RUNNING, 0);
  }
  if (worker) CloseHandle(worker);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  ServiceContext& context = g_context;
  DWORD state;
  {
    LockHold hold(g_statusLock);
    state = context.status.currentState;
  }
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                 state == SERVICE_STOPPED;
  DWORD result = NO_ERROR;
  // After STOPPED the status handle must not be used again; a control that
  // arrives that late changes nothing.
  if (state == SERVICE_STOPPED) {
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  switch (control) {
    case SERVICE_CONTROL_STOP:
      if (pending) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      if (!g_stopEvent) {
        // No worker thread (the handler driven without ServiceMain): stop here.
        g_stopping = true;
        ServiceStop(context);
        FinishStop(context, 0, "");
        return NO_ERROR;
      }
      BeginStop(context, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      if (pending) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      SetState(context, control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED : SERVICE_RUNNING, 0);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case SERVICE_CONTROL_DEVICEEVENT:
      // Once a stop has begun, the transceivers are being closed: an arrival
      // must not open one again.
      if (!g_stopping) result = OnDeviceEvent(eventType, eventData, context);
      break;
    case kControlRescanDevices:
      if (pending) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      if (!g_stopping) RescanDevices(context);
      break;
    default:
      result = ERROR_CALL_NOT_IMPLEMENTED;
      break;
  }
  LockHold hold(g_statusLock);
  if (context.status.currentState != SERVICE_STOPPED) ReportLocked(context);
  return result;
}

DWORD ServiceStart(ServiceContext& context) {
  // The state file is read back before any transceiver can hear a telegram
  // and before any listener can be greeted.
  StateStoreStart(nullptr, UtcNowMs());
  // The pipe name first, before the slow work: a name another program holds
  // fails the start at once, and clients wait (the instances do not listen
  // yet) instead of being refused while the transceivers are opened.
  PipeSecurity security;
  DWORD error = LoadPipeSecurity(security);
  if (error != 0) {
    char value[400], reason[400];
    WideText(security.value, value, sizeof value);
    WideText(security.reason, reason, sizeof reason);
    ReportAdminEvent(kAdminPipeSecurityRejected, {value, reason});
    return error;
  }
  error = CreatePipeInstances(security.descriptor);
  FreePipeSecurity(security);
  bool serving = error == ERROR_ALREADY_EXISTS && PipeServerServing();
  if (error != 0 && !serving) {
    ReportError(kAdminPipeNotCreated, error);
    return error;
  }
  Progress(context, kStartStepHintMs);

  // Device events first, then the walk: a transceiver plugged in while the
  // walk runs is then either in the walk or in an event (the walk and the
  // events take turns, discovery.cpp), never in neither.
  TableReopen(context.devices);
  if (context.statusHandle) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterfaceClass;
    context.notifyHandle = RegisterDeviceNotificationW(
        static_cast<HANDLE>(context.statusHandle), &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
  }

  // Each transceiver takes its slot at once and is opened on its own
  // thread, so the walk is quick whatever the transceivers do; a request
  // for one still opening waits behind its open.
  EnumeratePresentDevices(context);

  // Requests are served only now, with the transceivers in the table. The
  // stop ends the server thread.
  if (!serving) {
    SetPipeServerFailureHandler(OnPipeServerFailed);
    error = StartPipeServer(nullptr);
    if (error != 0) {
      ReportError(kAdminPipeNotCreated, error);
      UnregisterDeviceEvents(context);
      CloseAllTransceivers(context);
      return error;
    }
  }

  // Listeners are an extra: a setting that refuses the events pipe, or a
  // name another program holds, leaves commands served (the events pipe
  // reports it and, for a held name, tries again on its own).
  StartEventsPipe();
  return NO_ERROR;
}

void ServiceStop(ServiceContext& context) {
  UnregisterDeviceEvents(context);
  // Empty the table first, under its lock: every request after this point is
  // answered "ZARVO device not found." instead of reaching a closing record,
  // and an arrival racing the stop is refused. The pipe server thread goes
  // on running until the process ends. A transceiver stuck inside the driver
  // is left behind; its thread closes it if the call ever returns before the
  // process ends.
  CloseAllTransceivers(context);
}
