// The events pipe's thread.
//
// Each instance is a Listener record: two OVERLAPPEDs, its state, the lines
// it is writing. The pipe is duplex although listeners only read: every
// connected listener has a read outstanding, which completes when the
// listener goes, so that its place is free at once rather than at the next
// line written to it (the access list lets listeners read only; bytes a
// listener with write rights sends are read and thrown away). The thread
// waits on its stop event, the hub's wake event and the events of every
// connect, write and read outstanding, taking the listeners in turn so that
// no one starves the others, with a timeout for the next `alive` line or a
// resting instance. A connected listener with no write outstanding is handed
// what is queued for it at once, as many whole lines as one write of
// kWriteBatchBytes holds (under load one write carries many lines, and the
// listener reads them all the same); one whose write is outstanding gets
// nothing more until it completes. Publishers set the wake event only when
// the thread has not been woken yet (g_wakePending), so that a burst of
// lines costs one wake, not one per line.
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
void (*g_eventsInstancesMade)() = nullptr;

namespace {

constexpr DWORD kEventsBufferSize = 64 * 1024;
constexpr size_t kWriteBatchBytes = 16 * 1024;
// An instance whose connect failed (other than by a listener being there
// already) listens again after this long, so that a lasting failure cannot
// spin the thread.
constexpr DWORD kConnectRestMs = 100;

enum ListenerState { kConnecting, kIdle, kWriting, kResting };

struct Listener {
  OVERLAPPED overlapped;  // connects and writes; hEvent: the instance's own, manual-reset
  OVERLAPPED readOverlapped;  // the read that notices the listener go; its own event
  HANDLE pipe;
  ListenerState state;
  bool reading;           // a read is outstanding on readOverlapped
  char lines[kWriteBatchBytes];  // the whole lines being written
  DWORD length;           // bytes of `lines` still to be written
  char readBuffer[256];   // whatever a listener sends; thrown away
  ULONGLONG lastWriteMs;  // when a write to this listener last completed
  ULONGLONG restUntilMs;  // kResting: when to listen again
  bool connectedAtOnce;   // kConnecting: a listener was there before the connect
};

Listener g_listeners[kEventsInstanceCount];
HANDLE g_wake = nullptr;  // auto-reset; set after lines were published
// Manual-reset, set by StopEventsPipe; the thread then closes every instance
// and ends.
HANDLE g_stop = nullptr;
HANDLE g_thread = nullptr;  // for the stop to wait on
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

HANDLE NewManualEvent(HANDLE& event) {
  if (!event) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// Creates the eight instances, the first as the name's first instance.
// Returns 0, or the error of the one that failed, having closed the others.
DWORD CreateInstances() {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, g_descriptor, FALSE};
  for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
    Listener& l = g_listeners[i];
    if (!NewManualEvent(l.overlapped.hEvent) || !NewManualEvent(l.readOverlapped.hEvent)) {
      DWORD error = GetLastError();
      CloseAll();
      return error;
    }
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (i == 0) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    l.pipe = CreateNamedPipeW(kEventsPipeName, openMode,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                              kEventsInstanceCount, kEventsBufferSize, sizeof l.readBuffer, 0,
                              &attributes);
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
  if (error == ERROR_PIPE_CONNECTED) {
    // A listener already there: nothing is outstanding, and the OVERLAPPED
    // holds no result; the next wait selects the instance and attaches it.
    l.connectedAtOnce = true;
    SetEvent(l.overlapped.hEvent);
    return;
  }
  // A listener that came and went before the connect (ERROR_NO_DATA), or a
  // failure: the instance rests, then listens again.
  TraceHook("events ConnectNamedPipe failed", error);
  DisconnectNamedPipe(l.pipe);
  l.state = kResting;
  l.restUntilMs = GetTickCount64() + kConnectRestMs;
}

// Waits for an operation of ours to end after it was cancelled.
void Reap(Listener& l, OVERLAPPED& overlapped) {
  DWORD done = 0;
  GetOverlappedResult(l.pipe, &overlapped, &done, TRUE);
}

// The listener has gone (or failed): its queue goes, and the instance
// listens again.
void Drop(DWORD index) {
  Listener& l = g_listeners[index];
  if (l.state == kWriting || l.reading) CancelIoEx(l.pipe, nullptr);
  if (l.state == kWriting) Reap(l, l.overlapped);
  if (l.reading) Reap(l, l.readOverlapped);
  l.reading = false;
  l.length = 0;
  EventHubDetach(static_cast<int>(index));
  DisconnectNamedPipe(l.pipe);
  Listen(l);
}

// Posts the read that completes when the listener goes. False when it has
// gone already.
bool PostRead(Listener& l) {
  for (;;) {
    ResetEvent(l.readOverlapped.hEvent);
    DWORD got = 0;
    if (ReadFile(l.pipe, l.readBuffer, sizeof l.readBuffer, &got, &l.readOverlapped)) {
      continue;  // bytes a listener sent: thrown away
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      l.reading = true;
      return true;
    }
    if (error == ERROR_MORE_DATA) continue;
    l.reading = false;
    return false;
  }
}

void Greet(EventGreeting& greeting, void*) { WriteEventsGreeting(g_context.devices, greeting); }

// A connect completed: the listener's queue starts with its greeting. The
// table's guard is held around the attach, so that the `present` lines and
// the `plugged` and `pulled` lines published under the same guard agree.
void Attach(DWORD index) {
  Listener& l = g_listeners[index];
  l.connectedAtOnce = false;
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
  l.length = 0;
  l.lastWriteMs = GetTickCount64();
  if (!PostRead(l)) Drop(index);
}

// Writes what is left in l.lines to the listener, for as long as the writes
// complete at once. False when the listener has gone: then nothing of a
// line is left half written behind.
bool Write(DWORD index) {
  Listener& l = g_listeners[index];
  while (l.length > 0) {
    ResetEvent(l.overlapped.hEvent);
    DWORD done = 0;
    if (!WriteFile(l.pipe, l.lines, l.length, &done, &l.overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      l.state = kWriting;
      return true;
    }
    if (done == 0 || done > l.length) return false;
    // A byte pipe may take part of a write: the rest goes next, so that no
    // listener ever gets half a line.
    std::memmove(l.lines, l.lines + done, l.length - done);
    l.length -= done;
    l.lastWriteMs = GetTickCount64();
  }
  return true;
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
// kEventAliveIdleMs, and listens again on every instance whose rest is
// over; returns how long until the next of either is due.
DWORD KeepAlive(ULONGLONG now) {
  ULONGLONG next = ~0ull;
  for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
    Listener& l = g_listeners[i];
    if (l.state == kResting) {
      if (l.restUntilMs <= now) {
        Listen(l);
      } else if (l.restUntilMs < next) {
        next = l.restUntilMs;
      }
      continue;
    }
    if (l.state != kIdle) continue;
    if (now - l.lastWriteMs >= kEventAliveIdleMs) {
      l.length = static_cast<DWORD>(
          FormatAliveLine(l.lines, sizeof l.lines, UtcNowMs(), kNoInstance, nullptr));
      if (!Write(i)) {
        Drop(i);
        continue;
      }
      l.lastWriteMs = now;
    }
    if (l.state == kIdle) {
      ULONGLONG due = l.lastWriteMs + kEventAliveIdleMs;
      if (due < next) next = due;
    }
  }
  if (next == ~0ull) return INFINITE;
  return next <= now ? 0 : static_cast<DWORD>(next - now);
}

// Collects what completed on instance `index`'s connect or write.
void Complete(DWORD index) {
  Listener& l = g_listeners[index];
  if (l.state == kConnecting) {
    DWORD done = 0;
    // Nothing was outstanding for a listener that was there before the
    // connect: the OVERLAPPED holds no result of its own then.
    if (!l.connectedAtOnce && !GetOverlappedResult(l.pipe, &l.overlapped, &done, FALSE) &&
        GetLastError() != ERROR_PIPE_CONNECTED) {
      DisconnectNamedPipe(l.pipe);
      Listen(l);
      return;
    }
    Attach(index);
  } else if (l.state == kWriting) {
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(l.pipe, &l.overlapped, &done, FALSE);
    if (!ok || done == 0 || done > l.length) {
      Drop(index);
      return;
    }
    l.state = kIdle;
    l.lastWriteMs = GetTickCount64();
    std::memmove(l.lines, l.lines + done, l.length - done);
    l.length -= done;
    if (!Write(index)) {
      Drop(index);
      return;
    }
  }
  if (l.state == kIdle) Pump(index);
}

// The read outstanding on instance `index` completed: the listener has
// gone, or sent something, which is thrown away.
void CompleteRead(DWORD index) {
  Listener& l = g_listeners[index];
  DWORD got = 0;
  BOOL ok = GetOverlappedResult(l.pipe, &l.readOverlapped, &got, FALSE);
  l.reading = false;
  if (!ok && GetLastError() != ERROR_MORE_DATA) {
    Drop(index);
    return;
  }
  if (!PostRead(l)) Drop(index);
}

// What one entry of the wait stands for.
struct WaitEntry {
  enum Kind { kWake, kOperation, kRead } kind;
  DWORD index;
};

// Returns when the stop is asked.
void Serve() {
  DWORD turn = 0;  // the listener whose events come first in the next wait
  for (;;) {
    HANDLE waits[2 * kEventsInstanceCount + 2];
    WaitEntry entries[2 * kEventsInstanceCount + 2];
    DWORD n = 0;
    waits[n] = g_stop;
    entries[n++] = {WaitEntry::kWake, 0};
    // A wait returns the first signalled event of its array: the listeners
    // take turns at the front, and the wake comes after them, so that
    // neither a busy listener nor a stream of publications starves the rest.
    for (DWORD k = 0; k < kEventsInstanceCount; ++k) {
      DWORD i = (turn + k) % kEventsInstanceCount;
      const Listener& l = g_listeners[i];
      if (l.state == kConnecting || l.state == kWriting) {
        waits[n] = l.overlapped.hEvent;
        entries[n++] = {WaitEntry::kOperation, i};
      }
      if (l.reading) {
        waits[n] = l.readOverlapped.hEvent;
        entries[n++] = {WaitEntry::kRead, i};
      }
    }
    waits[n] = g_wake;
    entries[n++] = {WaitEntry::kWake, 0};
    DWORD timeout = KeepAlive(GetTickCount64());
    DWORD woke = WaitForMultipleObjects(n, waits, FALSE, timeout);
    if (woke == WAIT_TIMEOUT) continue;
    if (woke == WAIT_OBJECT_0) return;
    if (woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + n) {
      const WaitEntry& e = entries[woke - WAIT_OBJECT_0];
      if (e.kind == WaitEntry::kWake) {
        InterlockedExchange(&g_wakePending, 0);
        for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
          if (g_listeners[i].state == kIdle) Pump(i);
        }
      } else {
        turn = (e.index + 1) % kEventsInstanceCount;
        if (e.kind == WaitEntry::kRead) {
          CompleteRead(e.index);
        } else {
          Complete(e.index);
        }
      }
    } else {
      // Cannot happen while this thread alone owns the handles; do not spin.
      TraceHook("events pipe wait failed", GetLastError());
      if (WaitForSingleObject(g_stop, 100) == WAIT_OBJECT_0) return;
    }
  }
}

// Ends every listener's connection and closes the instances, once nothing
// of ours is outstanding on them.
void Close() {
  for (DWORD i = 0; i < kEventsInstanceCount; ++i) {
    Listener& l = g_listeners[i];
    if (!l.pipe) continue;
    bool connecting = l.state == kConnecting && !l.connectedAtOnce;
    CancelIoEx(l.pipe, nullptr);
    if (connecting || l.state == kWriting) Reap(l, l.overlapped);
    if (l.reading) Reap(l, l.readOverlapped);
    l.reading = false;
    l.length = 0;
    l.state = kConnecting;
    EventHubDetach(static_cast<int>(i));
    DisconnectNamedPipe(l.pipe);
  }
  CloseAll();
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
    if (WaitForSingleObject(g_stop, kEventsRetryMs) == WAIT_OBJECT_0) return 0;
  }
  if (reported) ReportAdminEvent(kAdminEventsPipeServed);
  if (g_eventsInstancesMade) g_eventsInstancesMade();
  for (Listener& l : g_listeners) Listen(l);
  InterlockedExchange(&g_serving, 1);
  Serve();
  InterlockedExchange(&g_serving, 0);
  Close();
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
  // Kept for the thread's retries; one of an earlier start is replaced.
  if (g_descriptor) LocalFree(g_descriptor);
  g_descriptor = security.descriptor;
  if (!g_wake) g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_stop) g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_wake || !g_stop) {
    InterlockedExchange(&g_started, 0);
    return GetLastError();
  }
  ResetEvent(g_stop);
  SetEventHubWake(Wake, g_wake);
  g_thread = CreateThread(nullptr, 0, EventsPipeThread, nullptr, 0, nullptr);
  if (!g_thread) {
    DWORD failed = GetLastError();
    SetEventHubWake(nullptr, nullptr);
    InterlockedExchange(&g_started, 0);
    return failed;
  }
  return 0;
}

void StopEventsPipe() {
  if (!g_thread) return;
  SetEvent(g_stop);
  WaitForSingleObject(g_thread, INFINITE);
  CloseHandle(g_thread);
  g_thread = nullptr;
  InterlockedExchange(&g_started, 0);
}

bool EventsPipeServing() { return g_serving != 0; }
