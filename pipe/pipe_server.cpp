// The overlapped four-instance pipe server.
//
// Threads and what they touch:
// - CreatePipeInstances makes g_instances and g_events on the starting
//   thread before the server thread exists; CreateThread hands them over.
//   From then on PipeServerThread alone owns them: it serves them with one
//   WaitForMultipleObjects and, if it ends early, closes them. No other
//   thread reads them, so there is no lock.
// - HandleRequest runs on this thread, one request at a time; it reads the
//   device table (changed by the service control thread) under the table's
//   guard and writes to a transceiver before the reply goes out.
// - The starter's PipeServerStart record is written once by this thread,
//   before it sets the record's event; the starter owns the record.
//
// The platform clears an instance's event when an overlapped operation on it
// starts and sets it when the operation completes, at once or later. So one
// wait sees every completion. An operation that completed at once goes down
// the same path as a late one: its outcome is in the instance's state, and
// its next step is started by the same StartOperation, right away (see Serve).
#include "pipe/pipe_server.h"

#include "core/handle_request.h"
#include "core/trace.h"
#include "pipe/pipe_security.h"

const wchar_t kPipeName[] = L"\\\\.\\pipe\\doraruzoz";

namespace {

PipeInstance g_instances[kPipeInstanceCount];
HANDLE g_events[kPipeInstanceCount];  // the wait array, in instance order
LONG g_started = 0;                   // one server per process
bool g_created = false;               // CreatePipeInstances succeeded
LONG g_serving = 0;                   // the server thread listens and serves
void (*g_onFailure)(DWORD error) = nullptr;

// After this many connections in a row that ended without a request served,
// an instance pauses before it listens again, so that one that keeps failing
// cannot spin the server thread.
constexpr DWORD kFailuresBeforePause = 8;
constexpr DWORD kFailurePauseMs = 50;
constexpr DWORD kTimedOut = kPipeInstanceCount + 1;

enum CollectResult { kCollected, kDropped };

void Report(PipeServerStart* start, DWORD status) {
  if (!start) return;
  start->status = status;
  SetEvent(start->ready);  // after this the record is the starter's again
}

// Starts every instance listening; the first client may connect from here.
void ListenOnAll() {
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    PipeInstance& instance = g_instances[i];
    instance.pending = ListenForClient(instance);
    instance.state = instance.pending ? Connecting : Reading;
  }
}

bool IsConnected(const PipeInstance& instance) { return instance.state != Connecting; }

// Early end: closing the instances refuses new clients and breaks the
// connection of any client still waiting. The pipes go first, so that their
// outstanding operations end (writing only into the static records) while
// the events they signal still exist.
void CloseInstances() {
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    if (g_instances[i].pipe) CloseHandle(g_instances[i].pipe);
    g_instances[i].pipe = NULL;
  }
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    if (g_events[i]) CloseHandle(g_events[i]);
    g_events[i] = NULL;
    g_instances[i].overlapped.hEvent = NULL;
  }
  g_created = false;
}

// Collects the result of the operation that was outstanding on instance
// `index` and moves it to its next state.
CollectResult CollectCompletion(DWORD index) {
  PipeInstance& instance = g_instances[index];
  DWORD count = 0;
  BOOL ok = GetOverlappedResult(instance.pipe, &instance.overlapped, &count, FALSE);
  switch (instance.state) {
    case Connecting:
      // A connection that failed is one client's loss, not the server's:
      // the instance listens again.
      if (!ok) {
        TraceHook("connection failed", GetLastError());
        break;
      }
      instance.state = Reading;
      instance.lastActivityMs = GetTickCount64();
      return kCollected;
    case Reading:
      // A failure here is also a message longer than the request
      // (ERROR_MORE_DATA) or a client that has gone.
      if (!ok || count == 0) break;
      instance.state = Writing;
      instance.lastActivityMs = GetTickCount64();
      return kCollected;
    case Writing:
      if (!ok || count != instance.bytesToWrite) break;
      instance.state = Reading;
      instance.lastActivityMs = GetTickCount64();
      instance.failuresInARow = 0;
      return kCollected;
  }
  ReconnectInstance(index);
  return kDropped;
}

// Starts what the instance's state asks for. Returns true when the operation
// completed at once: `pending` is clear, the outcome is in `state`, and the
// event is set. Returns false when it is outstanding or the instance was
// dropped.
bool StartOperation(DWORD index) {
  PipeInstance& instance = g_instances[index];
  BOOL done = FALSE;
  switch (instance.state) {
    case Reading:
      done = ReadFile(instance.pipe, &instance.request, kPipeRequestSize,
                      &instance.bytesRead, &instance.overlapped);
      if (done && instance.bytesRead != 0) {
        instance.pending = FALSE;
        instance.state = Writing;
        instance.lastActivityMs = GetTickCount64();
        return true;
      }
      break;
    case Writing: {
      HandleRequest(instance.request, instance.reply, instance.bytesToWrite);
      DWORD count = 0;
      done = WriteFile(instance.pipe, instance.reply, instance.bytesToWrite, &count,
                       &instance.overlapped);
      if (done && count == instance.bytesToWrite) {
        instance.pending = FALSE;
        instance.state = Reading;
        instance.lastActivityMs = GetTickCount64();
        instance.failuresInARow = 0;
        return true;
      }
      break;
    }
    default:
      return false;  // Connecting always has its connect outstanding
  }
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    instance.pending = TRUE;
    return false;
  }
  // An empty message, a longer one, a gone client, or a short write.
  ReconnectInstance(index);
  return false;
}

// How long the next wait may last before the longest idle connection is
// due to be closed: INFINITE while an instance is free (then idle
// connections stay open), else until the oldest activity is
// kPipeIdleLimitMs old.
DWORD IdleWaitMs(ULONGLONG now) {
  ULONGLONG oldest = ~0ull;
  for (const PipeInstance& instance : g_instances) {
    if (!IsConnected(instance)) return INFINITE;
    if (instance.lastActivityMs < oldest) oldest = instance.lastActivityMs;
  }
  ULONGLONG due = oldest + kPipeIdleLimitMs;
  return due <= now ? 0 : static_cast<DWORD>(due - now);
}

// Closes the connection that has been idle longest. Its read (or write) is
// still outstanding on the instance's OVERLAPPED: it is cancelled and its
// end collected before the instance listens again with the same OVERLAPPED.
void DropLongestIdle() {
  DWORD oldest = 0;
  for (DWORD i = 1; i < kPipeInstanceCount; ++i) {
    if (g_instances[i].lastActivityMs < g_instances[oldest].lastActivityMs) oldest = i;
  }
  PipeInstance& instance = g_instances[oldest];
  TraceHook("idle connection closed on instance", oldest);
  if (instance.pending) {
    CancelIoEx(instance.pipe, &instance.overlapped);
    DWORD count = 0;
    GetOverlappedResult(instance.pipe, &instance.overlapped, &count, TRUE);
    instance.pending = FALSE;
  }
  ReconnectInstance(oldest);
}

// Waits until an instance is ready and returns its index; kTimedOut when the
// wait ran out (see IdleWaitMs), kPipeInstanceCount when it failed. The wait
// returns the first ready event of its array, so the array starts with the
// instance after `first` and wraps around: among ready instances the one
// served longest ago goes first. With the plain instance order, clients that
// keep the lower instances busy would starve a client on a higher one for as
// long as they kept sending.
DWORD WaitForReadyInstance(DWORD first, DWORD timeoutMs) {
  HANDLE order[kPipeInstanceCount];
  for (DWORD k = 0; k < kPipeInstanceCount; ++k) {
    order[k] = g_events[(first + k) % kPipeInstanceCount];
  }
  DWORD which = WaitForMultipleObjects(kPipeInstanceCount, order, FALSE, timeoutMs);
  if (which == WAIT_TIMEOUT) return kTimedOut;
  if (which >= WAIT_OBJECT_0 + kPipeInstanceCount) return kPipeInstanceCount;
  return (first + which - WAIT_OBJECT_0) % kPipeInstanceCount;
}

// Returns only when the server cannot go on, with the error.
DWORD Serve() {
  DWORD first = 0;  // where the next wait's round begins
  for (;;) {
    DWORD index = WaitForReadyInstance(first, IdleWaitMs(GetTickCount64()));
    if (index == kTimedOut) {
      DropLongestIdle();
      continue;
    }
    if (index == kPipeInstanceCount) {
      DWORD error = GetLastError();
      TraceHook("pipe server wait failed", error);
      return error != 0 ? error : ERROR_INVALID_HANDLE;
    }
    first = (index + 1) % kPipeInstanceCount;
    PipeInstance& instance = g_instances[index];
    if (instance.pending && CollectCompletion(index) == kDropped) continue;
    // An operation that completed at once has set the event, and a later
    // wait would select this instance again. Under Wine every wait is a round
    // trip to the wineserver, as dear as the read or write itself, so taking
    // each step at a selection of its own would cost a request two or three
    // waits instead of one. The instance's next step is therefore taken at
    // once, through the same StartOperation, for up to one reply per
    // selection: once a reply went out and the next read was started, or the
    // instance was dropped, the wait decides again, so a client that sends
    // requests without waiting for replies cannot hold the thread.
    bool replied = false;
    for (;;) {
      bool writes = instance.state == Writing;
      if (!StartOperation(index) || replied) break;
      replied = writes;
    }
  }
}

}  // namespace

BOOL ListenForClient(PipeInstance& instance) {
  if (!ConnectNamedPipe(instance.pipe, &instance.overlapped)) {
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return TRUE;
    if (error != ERROR_PIPE_CONNECTED) TraceHook("ConnectNamedPipe failed", error);
  } else {
    TraceHook("ConnectNamedPipe returned at once", 0u);
  }
  instance.lastActivityMs = GetTickCount64();
  // Taken as a client that connected at once. ConnectNamedPipe may have
  // cleared the event without completing anything, and an instance whose
  // event stays clear would never be served again; setting it makes the next
  // wait select this instance, whose read then either serves the client or
  // fails and reconnects.
  if (!SetEvent(instance.overlapped.hEvent)) TraceHook("SetEvent failed", GetLastError());
  return FALSE;
}

void ReconnectInstance(DWORD index) {
  if (index >= kPipeInstanceCount) return;
  PipeInstance& instance = g_instances[index];
  if (!DisconnectNamedPipe(instance.pipe)) {
    TraceHook("DisconnectNamedPipe failed", GetLastError());
  }
  // A connection that ends without a request served counts as a failure; an
  // instance that keeps failing (a broken handle, a client that connects and
  // drops over and over) pauses before it listens again.
  if (++instance.failuresInARow >= kFailuresBeforePause) Sleep(kFailurePauseMs);
  instance.pending = ListenForClient(instance);
  instance.state = instance.pending ? Connecting : Reading;
}

namespace {

DWORD MakeInstances(PSECURITY_DESCRIPTOR descriptor) {
  PipeSecurity fallback = {};
  if (!descriptor) {
    DWORD error = ParsePipeSecurity(kDefaultPipeSddl, fallback);
    if (error != 0) return error;
    descriptor = fallback.descriptor;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  DWORD error = 0;
  for (DWORD i = 0; i < kPipeInstanceCount && error == 0; ++i) {
    PipeInstance& instance = g_instances[i];
    HANDLE event = CreateEventW(NULL, TRUE, TRUE, NULL);
    if (!event) {
      error = GetLastError();
      TraceHook("CreateEventW failed", error);
      break;
    }
    g_events[i] = event;
    instance.overlapped.hEvent = event;
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (i == 0) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE pipe = CreateNamedPipeW(kPipeName, openMode,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   kPipeInstanceCount, kPipeBufferSize, kPipeBufferSize,
                                   kPipeDefaultTimeoutMs, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      TraceHook("CreateNamedPipeW failed", error);
      break;
    }
    instance.pipe = pipe;
  }
  FreePipeSecurity(fallback);
  if (error != 0) {
    CloseInstances();
    return error;
  }
  g_created = true;
  return 0;
}

}  // namespace

DWORD CreatePipeInstances(PSECURITY_DESCRIPTOR descriptor) {
  if (g_created || g_started) return ERROR_ALREADY_EXISTS;
  return MakeInstances(descriptor);
}

void SetPipeServerFailureHandler(void (*handler)(DWORD error)) { g_onFailure = handler; }

bool PipeServerServing() { return g_serving != 0; }

DWORD WINAPI PipeServerThread(LPVOID parameter) {
  PipeServerStart* start = static_cast<PipeServerStart*>(parameter);
  if (InterlockedExchange(&g_started, 1) != 0) {
    Report(start, ERROR_ALREADY_EXISTS);
    return 0;
  }
  DWORD error = g_created ? 0 : MakeInstances(NULL);
  if (error != 0) {
    Report(start, error);
    return 0;
  }
  ListenOnAll();
  InterlockedExchange(&g_serving, 1);
  Report(start, 0);
  error = Serve();
  InterlockedExchange(&g_serving, 0);
  CloseInstances();
  if (g_onFailure) g_onFailure(error);
  return 0;
}

DWORD StartPipeServer(HANDLE* thread) {
  if (thread) *thread = NULL;
  PipeServerStart start = {CreateEventW(NULL, TRUE, FALSE, NULL), 0};
  if (!start.ready) return GetLastError();
  HANDLE handle = CreateThread(NULL, 0, PipeServerThread, &start, 0, NULL);
  if (!handle) {
    DWORD error = GetLastError();
    CloseHandle(start.ready);
    return error;
  }
  // The thread reports on every path before it ends, so this wait is bounded
  // by the creation of four pipes.
  WaitForSingleObject(start.ready, INFINITE);
  CloseHandle(start.ready);
  if (thread) {
    *thread = handle;
  } else {
    CloseHandle(handle);
  }
  return start.status;
}
