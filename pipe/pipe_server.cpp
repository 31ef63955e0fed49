// The overlapped four-instance pipe server.
//
// Threads and what they touch:
// - PipeServerThread alone owns g_instances and g_events: it creates them,
//   serves them with one WaitForMultipleObjects and, if it ends early, closes
//   them. No other thread reads them, so there is no lock.
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

const wchar_t kPipeName[] = L"\\\\.\\pipe\\doraruzoz";

namespace {

PipeInstance g_instances[kPipeInstanceCount];
HANDLE g_events[kPipeInstanceCount];  // the wait array, in instance order
LONG g_started = 0;                   // one server per process

enum CollectResult { kCollected, kDropped, kServerFails };

void Report(PipeServerStart* start, DWORD status) {
  if (!start) return;
  start->status = status;
  SetEvent(start->ready);  // after this the record is the starter's again
}

// Creates the events and instances in order and starts each listening.
// Returns 0, or the error of the creation that failed.
DWORD CreateInstances() {
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    PipeInstance& instance = g_instances[i];
    HANDLE event = CreateEventW(NULL, TRUE, TRUE, NULL);
    if (!event) {
      DWORD error = GetLastError();
      TraceHook("CreateEventW failed", error);
      return error;
    }
    g_events[i] = event;
    instance.overlapped.hEvent = event;
    HANDLE pipe = CreateNamedPipeW(
        kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kPipeInstanceCount,
        kPipeBufferSize, kPipeBufferSize, kPipeDefaultTimeoutMs, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      TraceHook("CreateNamedPipeW failed", error);
      return error;
    }
    instance.pipe = pipe;
    instance.pending = ListenForClient(instance);
    instance.state = instance.pending ? Connecting : Reading;
  }
  return 0;
}

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
}

// Collects the result of the operation that was outstanding on instance
// `index` and moves it to its next state.
CollectResult CollectCompletion(DWORD index) {
  PipeInstance& instance = g_instances[index];
  DWORD count = 0;
  BOOL ok = GetOverlappedResult(instance.pipe, &instance.overlapped, &count, FALSE);
  switch (instance.state) {
    case Connecting:
      if (!ok) {
        TraceHook("connection failed", GetLastError());
        return kServerFails;
      }
      instance.state = Reading;
      return kCollected;
    case Reading:
      // A failure here is also a message longer than the request
      // (ERROR_MORE_DATA) or a client that has gone.
      if (!ok || count == 0) break;
      instance.state = Writing;
      return kCollected;
    case Writing:
      if (!ok || count != instance.bytesToWrite) break;
      instance.state = Reading;
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

// Waits until an instance is ready and returns its index, or
// kPipeInstanceCount when the wait failed. The wait returns the first ready
// event of its array, so the array starts with the instance after `first`
// and wraps around: among ready instances the one served longest ago goes
// first. With the plain instance order, clients that keep the lower
// instances busy would starve a client on a higher one for as long as they
// kept sending.
DWORD WaitForReadyInstance(DWORD first) {
  HANDLE order[kPipeInstanceCount];
  for (DWORD k = 0; k < kPipeInstanceCount; ++k) {
    order[k] = g_events[(first + k) % kPipeInstanceCount];
  }
  DWORD which = WaitForMultipleObjects(kPipeInstanceCount, order, FALSE, INFINITE);
  if (which >= WAIT_OBJECT_0 + kPipeInstanceCount) return kPipeInstanceCount;
  return (first + which - WAIT_OBJECT_0) % kPipeInstanceCount;
}

// Returns only when the server cannot go on.
void Serve() {
  DWORD first = 0;  // where the next wait's round begins
  for (;;) {
    DWORD index = WaitForReadyInstance(first);
    if (index == kPipeInstanceCount) {
      TraceHook("pipe server", "wait failed");
      return;
    }
    first = (index + 1) % kPipeInstanceCount;
    PipeInstance& instance = g_instances[index];
    if (instance.pending) {
      CollectResult result = CollectCompletion(index);
      if (result == kServerFails) return;
      if (result == kDropped) continue;
    }
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
  instance.pending = ListenForClient(instance);
  instance.state = instance.pending ? Connecting : Reading;
}

DWORD WINAPI PipeServerThread(LPVOID parameter) {
  PipeServerStart* start = static_cast<PipeServerStart*>(parameter);
  if (InterlockedExchange(&g_started, 1) != 0) {
    Report(start, ERROR_ALREADY_EXISTS);
    return 0;
  }
  DWORD error = CreateInstances();
  if (error != 0) {
    CloseInstances();
    Report(start, error);
    return 0;
  }
  Report(start, 0);
  Serve();
  CloseInstances();
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
