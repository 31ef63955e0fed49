// The events pipe's thread.
//
// Each instance is a Listener record: its OVERLAPPED, its state, the lines
// it is writing. The thread waits on the hub's wake event, on the event of
// every instance with a connect or write outstanding, and with a timeout
// for the next `alive` line. A connected listener with no write outstanding
// is handed what is queued for it at once, as many whole lines as one
// write of kWriteBatchBytes holds (under load one write carries many lines,
// and the listener reads them all the same); one whose write is
// outstanding gets nothing more until it completes. Publishers set the
// wake event only when the thread has not been woken yet (g_wakePending),
// so that a burst of lines costs one wake, not one per line.
#include "pipe/events_pipe.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/admin_event.h"
#include "core/event_line.h"
#include "core/trace.h"
#include "core/win/error_text.h"
#include "devices/device_table.h"
#include "devices/transceiver_events.h"
#include "pipe/pipe_security.h"

const wchar_t kEventsPipeName[] = L"\\\\.\\pipe\\doraruzoz-events";

namespace {

constexpr DWORD kEventsBufferSize = 64 * 1024;
constexpr size_t kWriteBatchBytes = 16 * 1024;

enum ListenerState { kConnecting, kIdle, kWriting };

struct Listener {
  OVERLAPPED overlapped;  // hEvent: the instance's own, manual-reset
  HANDLE pipe;
  ListenerState state;
  char lines[kWriteBatchBytes];  // the whole lines being written
  DWORD length;
  ULONGLONG lastWriteMs;  // when a write to this listener last completed
  bool connectedAtOnce;   // kConnecting: a listener was there before the connect
};

Listener g_listeners[kEventsInstanceCount];
HANDLE g_wake = nullptr;  // auto-reset; set after lines were published
// Set by the first publisher after the thread last woke; the thread clears
// it before it looks at the queues, so no line is left without a wake.
LONG g_wakePending = 0;
PSECURITY_DESCRIPTOR g_descriptor = nullptr;  // the thread's, for its life
LONG g_started = 0;
LONG g_serving = 0;

void Wake(void* event) {
  if (InterlockedExchange(&g_wakePending, 1) == 0) SetEvent(static_cast<HANDLE>(event));
}

void CloseAll() {
  for (Listener& l : g_listeners) {
    if (l.pipe) CloseHandle(l.pipe);
    l.pipe = nullptr;
  }
}

// Creates the eight instances, the first as the name's first instance.
// Returns 0, or the error of the one that failed, having closed the others.
DWORD CreateInstances() {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, g_descriptor, FALSE};
  for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
    Listener& l = g_listeners[i];
    if (!l.overlapped.hEvent) l.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!l.overlapped.hEvent) {
      DWORD error = GetLastError();
      CloseAll();
      return error;
    }
    DWORD openMode = PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED;
    if (i == 0) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    l.pipe = CreateNamedPipeW(kEventsPipeName, openMode,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                              kEventsInstanceCount, kEventsBufferSize, 0, 0, &attributes);
    if (l.pipe == INVALID_HANDLE_VALUE) {
      l.pipe = nullptr;
      DWORD error = GetLastError();
      CloseAll();
      return error;
    }
  }
  return 0;
}

void Listen(Listener& l) {
  ResetEvent(l.overlapped.hEvent);
  l.state = kConnecting;
  l.connectedAtOnce = false;
  if (ConnectNamedPipe(l.pipe, &l.overlapped)) return;  // the event is set
  DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) return;
  l.connectedAtOnce = error == ERROR_PIPE_CONNECTED;
  // A listener already there, or a failure: either way the next wait selects
  // this instance, and the attach or the first write settles which.
  if (error != ERROR_PIPE_CONNECTED) TraceHook("events ConnectNamedPipe failed", error);
  SetEvent(l.overlapped.hEvent);
}

// The listener has gone (or failed): its queue goes, and the instance
// listens again.
void Drop(DWORD index) {
  Listener& l = g_listeners[index];
  if (l.state == kWriting) {
    CancelIoEx(l.pipe, &l.overlapped);
    DWORD done = 0;
    GetOverlappedResult(l.pipe, &l.overlapped, &done, TRUE);
  }
  EventHubDetach(static_cast<int>(index));
  DisconnectNamedPipe(l.pipe);
  Listen(l);
}

void Greet(EventGreeting& greeting, void*) { WriteEventsGreeting(g_context.devices, greeting); }

// A connect completed: the listener's queue starts with its greeting. The
// table's guard is held around the attach, so that the `present` lines and
// the `plugged` and `pulled` lines published under the same guard agree.
void Attach(DWORD index) {
  Listener& l = g_listeners[index];
  EventHubStatus status;
  {
    std::lock_guard<std::mutex> hold(g_context.devices.guard);
    status = EventHubAttach(static_cast<int>(index), Greet, nullptr);
  }
  if (status != kEventHubOk) {
    TraceHook("events listener not attached", static_cast<uint32_t>(status));
    DisconnectNamedPipe(l.pipe);
    Listen(l);
    return;
  }
  l.state = kIdle;
  l.lastWriteMs = GetTickCount64();
}

// Writes what is in l.lines to the listener. False when the listener has
// gone.
bool Write(DWORD index) {
  Listener& l = g_listeners[index];
  ResetEvent(l.overlapped.hEvent);
  DWORD done = 0;
  if (WriteFile(l.pipe, l.lines, l.length, &done, &l.overlapped)) {
    l.lastWriteMs = GetTickCount64();
    return true;
  }
  if (GetLastError() == ERROR_IO_PENDING) {
    l.state = kWriting;
    return true;
  }
  return false;
}

// Hands an idle listener its next lines, as many as one write holds; more
// follow when that write has completed.
void Pump(DWORD index) {
  Listener& l = g_listeners[index];
  if (l.state != kIdle) return;
  l.length = 0;
  while (sizeof l.lines - l.length >= kEventLineBufferSize) {
    size_t n = EventHubNext(static_cast<int>(index), l.lines + l.length,
                            sizeof l.lines - l.length, FormatLostNow);
    if (n == 0) break;
    l.length += static_cast<DWORD>(n);
  }
  if (l.length == 0) return;
  if (!Write(index)) {
    Drop(index);
    return;
  }
  // Written at once, and more may be waiting: come back after the others
  // had their turn.
  if (l.state == kIdle) SetEvent(g_wake);
}

// Writes an `alive` line to every idle listener nothing was written to for
// kEventAliveIdleMs; returns how long until the next one is due.
DWORD KeepAlive(ULONGLONG now) {
  ULONGLONG next = ~0ull;
  for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
    Listener& l = g_listeners[i];
    if (l.state != kIdle) continue;
    if (now - l.lastWriteMs >= kEventAliveIdleMs) {
      l.length = static_cast<DWORD>(
          FormatAliveLine(l.lines, sizeof l.lines, UtcNowMs(), kNoInstance, nullptr));
      // A listener that has gone is found here.
      if (!Write(i)) {
        Drop(i);
        continue;
      }
    }
    if (l.state == kIdle) {
      ULONGLONG due = l.lastWriteMs + kEventAliveIdleMs;
      if (due < next) next = due;
    }
  }
  if (next == ~0ull) return INFINITE;
  return next <= now ? 0 : static_cast<DWORD>(next - now);
}

// Collects what completed on instance `index`.
void Complete(DWORD index) {
  Listener& l = g_listeners[index];
  DWORD done = 0;
  // Nothing was outstanding for a listener that was there before the
  // connect: the OVERLAPPED holds no result of its own then.
  BOOL ok = l.connectedAtOnce || GetOverlappedResult(l.pipe, &l.overlapped, &done, FALSE);
  if (l.state == kConnecting) {
    if (!ok && GetLastError() != ERROR_PIPE_CONNECTED) {
      DisconnectNamedPipe(l.pipe);
      Listen(l);
      return;
    }
    Attach(index);
  } else if (l.state == kWriting) {
    if (!ok || done == 0 || done > l.length) {
      Drop(index);
      return;
    }
    l.state = kIdle;
    l.lastWriteMs = GetTickCount64();
    // A byte pipe may take part of a write: the rest goes next, so that no
    // listener ever gets half a line.
    if (done < l.length) {
      std::memmove(l.lines, l.lines + done, l.length - done);
      l.length -= done;
      if (!Write(index)) {
        Drop(index);
        return;
      }
    }
  }
  if (l.state == kIdle) Pump(index);
}

void Serve() {
  for (;;) {
    HANDLE waits[kEventsInstanceCount + 1];
    DWORD which[kEventsInstanceCount + 1];
    DWORD n = 0;
    waits[n++] = g_wake;
    for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
      if (g_listeners[i].state == kIdle) continue;
      which[n] = i;
      waits[n++] = g_listeners[i].overlapped.hEvent;
    }
    DWORD timeout = KeepAlive(GetTickCount64());
    DWORD woke = WaitForMultipleObjects(n, waits, FALSE, timeout);
    if (woke == WAIT_TIMEOUT) continue;
    if (woke == WAIT_OBJECT_0) {
      InterlockedExchange(&g_wakePending, 0);
      for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
        if (g_listeners[i].state == kIdle) Pump(i);
      }
    } else if (woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + n) {
      Complete(which[woke - WAIT_OBJECT_0]);
    } else {
      // Cannot happen while this thread alone owns the handles; do not spin.
      TraceHook("events pipe wait failed", GetLastError());
      Sleep(100);
    }
  }
}

DWORD WINAPI EventsPipeThread(void*) {
  bool reported = false;
  for (;;) {
    DWORD error = CreateInstances();
    if (error == 0) break;
    // Another program holds the name (or the system is short of
    // something): commands go on; try again later.
    if (!reported) {
      char text[256];
      Win32ErrorText(error, text, sizeof text);
      ReportAdminEvent(kAdminEventsPipeNotServed, {Decimal(error).text, text});
      reported = true;
    }
    Sleep(kEventsRetryMs);
  }
  if (reported) ReportAdminEvent(kAdminEventsPipeServed);
  for (Listener& l : g_listeners) Listen(l);
  InterlockedExchange(&g_serving, 1);
  Serve();
  return 0;
}

}  // namespace

DWORD StartEventsPipe() {
  if (InterlockedExchange(&g_started, 1) != 0) return 0;
  PipeSecurity security;
  DWORD error = LoadPipeSecurity(security, kEventsPipeSecurityValue, kDefaultEventsPipeSddl);
  if (error != 0) {
    char value[400], reason[400], why[900];
    WideText(security.value, value, sizeof value);
    WideText(security.reason, reason, sizeof reason);
    ReportAdminEvent(kAdminPipeSecurityRejected, {value, reason});
    std::snprintf(why, sizeof why, "the setting %s was rejected", value);
    ReportAdminEvent(kAdminEventsPipeNotServed, {Decimal(error).text, why});
    InterlockedExchange(&g_started, 0);
    return error;
  }
  g_descriptor = security.descriptor;  // kept for the thread's retries
  g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_wake) return GetLastError();
  SetEventHubWake(Wake, g_wake);
  HANDLE thread = CreateThread(nullptr, 0, EventsPipeThread, nullptr, 0, nullptr);
  if (!thread) {
    DWORD failed = GetLastError();
    SetEventHubWake(nullptr, nullptr);
    return failed;
  }
  CloseHandle(thread);
  return 0;
}

bool EventsPipeServing() { return g_serving != 0; }
