// The overlapped four-instance pipe server.
//
// Threads and what they touch:
// - CreatePipeInstances makes g_instances and g_events on the starting
//   thread before the server thread exists; CreateThread hands them over.
//   From then on PipeServerThread alone owns them: it serves them with one
//   WaitForMultipleObjects and, if it ends early, closes them. No other
//   thread reads them, so there is no lock.
// - HandleRequest runs on this thread: it looks the transceiver up in the
//   device table (under the table's guard) and queues the request on that
//   transceiver's own thread, or answers it at once. The instance then
//   waits, reading nothing more, while the server goes on with the others.
// - The transceiver threads (and the watchdog, for a stuck transceiver)
//   post each outcome, tagged with its instance and that connection's
//   generation, into g_mailbox under its lock and set its event; this
//   thread collects them and writes the replies. An outcome for a
//   connection that has ended meanwhile is dropped.
// - The starter's PipeServerStart record is written once by this thread,
//   before it sets the record's event; the starter owns the record.
// - StopPipeServer, on the service's stopping thread, sets g_stopEvent and
//   waits for the thread (g_thread) to end; the thread closes the instances
//   itself before it ends.
//
// The platform clears an instance's event when an overlapped operation on it
// starts and sets it when the operation completes, at once or later. So one
// wait sees every completion. An operation that completed at once goes down
// the same path as a late one: its outcome is in the instance's state, and
// its next step is started by the same StartOperation, right away (see Serve).
#include "pipe/pipe_server.h"

#include <atomic>
#include <cstring>

#include "core/handle_request.h"
#include "core/lock.h"
#include "core/trace.h"
#include "devices/transceiver_queue.h"
#include "pipe/pipe_security.h"

const wchar_t kPipeName[] = L"\\\\.\\pipe\\doraruzoz";

namespace {

static_assert(kPipeInstanceCount <= kTransceiverQueueSize,
              "a transceiver can hold one request of every instance");

PipeInstance g_instances[kPipeInstanceCount];
HANDLE g_events[kPipeInstanceCount];  // the instances' events, in instance order
LONG g_started = 0;                   // one server at a time
bool g_created = false;               // CreatePipeInstances succeeded
LONG g_serving = 0;                   // the server thread listens and serves
void (*g_onFailure)(DWORD error) = nullptr;
// Manual-reset, made once: set by StopPipeServer, cleared by a new start.
HANDLE g_stopEvent = nullptr;
// The running server thread, a handle of the server's own for the stop to
// wait on; closed by the stop.
HANDLE g_thread = nullptr;
// The stop's flush time, for the thread to read once it has seen the stop.
std::atomic<DWORD> g_stopFlushMs{0};

// After this many connections in a row that ended without a request served,
// an instance rests before it listens again, so that one that keeps failing
// cannot spin the server thread; the other instances are served meanwhile.
constexpr DWORD kFailuresBeforePause = 8;
constexpr DWORD kFailurePauseMs = 50;
constexpr DWORD kTimedOut = kPipeInstanceCount + 1;
constexpr DWORD kOutcomesReady = kPipeInstanceCount + 2;
constexpr DWORD kStopAsked = kPipeInstanceCount + 3;

// Outcomes on their way back from the transceiver threads. At most one
// request per instance is out at a time, so the mailbox never holds more
// than kPipeInstanceCount; the rest is headroom.
struct Outcome {
  uint64_t tag;
  DeviceStatus status;
};
constexpr uint32_t kMailboxSize = 64;
struct Mailbox {
  Lock lock;  // guards `outcomes` and `count`
  Outcome outcomes[kMailboxSize];
  uint32_t count;
  HANDLE event;  // auto-reset; set after every post; made once, never closed
};
Mailbox g_mailbox;
DWORD g_serverThreadId = 0;  // the pipe server thread, once it runs

uint64_t Tag(DWORD index, uint32_t generation) {
  return (static_cast<uint64_t>(generation) << 8) | index;
}

// The request outcome sink: any thread. The server thread itself posts only
// while it hands a request over (a transceiver that answers on the caller's
// thread, as the test host's do), and Dispatch looks at the mailbox right
// after: it needs no wake, which would cost it a wait.
void PostOutcome(uint64_t tag, DeviceStatus status) {
  {
    LockHold hold(g_mailbox.lock);
    if (g_mailbox.count < kMailboxSize) {
      g_mailbox.outcomes[g_mailbox.count++] = {tag, status};
    } else {
      TraceHook("outcome mailbox full", static_cast<uint32_t>(tag & 0xFF));
    }
  }
  if (GetCurrentThreadId() != g_serverThreadId) SetEvent(g_mailbox.event);
}

// Takes the outcome with this tag out of the mailbox, if it is there.
// Sets the mailbox's event when others remain, so that the wait sees them.
bool TakeOutcome(uint64_t tag, DeviceStatus& status) {
  bool found = false, others = false;
  {
    LockHold hold(g_mailbox.lock);
    for (uint32_t k = 0; k < g_mailbox.count; ++k) {
      if (g_mailbox.outcomes[k].tag != tag) continue;
      status = g_mailbox.outcomes[k].status;
      g_mailbox.outcomes[k] = g_mailbox.outcomes[--g_mailbox.count];
      found = true;
      break;
    }
    others = g_mailbox.count > 0;
  }
  if (others) SetEvent(g_mailbox.event);
  return found;
}

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

bool IsConnected(const PipeInstance& instance) {
  return instance.state != Connecting && instance.state != Resting;
}

// A message has been read: its request goes to its transceiver, or its
// reply is ready at once.
void Dispatch(DWORD index) {
  PipeInstance& instance = g_instances[index];
  instance.lastActivityMs = GetTickCount64();
  uint64_t tag = Tag(index, instance.generation);
  bool queued = HandleRequest(instance.request, instance.bytesRead, tag, instance.reply,
                              instance.bytesToWrite);
  // An outcome decided while the request was handed over is written at
  // once, like an answer the handing over gave itself.
  DeviceStatus status = 0;
  if (queued && TakeOutcome(tag, status)) {
    instance.bytesToWrite = EncodeReply(status, instance.reply, kReplyBufferSize);
    queued = false;
  }
  instance.state = queued ? Waiting : Writing;
  if (queued) instance.answerDueMs = GetTickCount64() + kPipeAnswerLimitMs;
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
      instance.bytesRead = count;
      Dispatch(index);
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
      // A short message must never be completed with an earlier one's bytes.
      std::memset(&instance.request, 0, sizeof instance.request);
      instance.bytesRead = 0;
      done = ReadFile(instance.pipe, &instance.request, kPipeRequestSize,
                      &instance.bytesRead, &instance.overlapped);
      if (done && instance.bytesRead != 0) {
        instance.pending = FALSE;
        Dispatch(index);
        return true;
      }
      break;
    case Writing: {
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
      // Connecting always has its connect outstanding; Waiting and Resting
      // have nothing to start.
      return false;
  }
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    instance.pending = TRUE;
    return false;
  }
  // An empty message, a longer one, a gone client, or a short write.
  ReconnectInstance(index);
  return false;
}

// Takes the instance's next steps for as long as they complete at once, for
// up to one reply: once a reply went out and the next read was started, or
// the instance was dropped or waits for its transceiver, the wait decides
// again, so a client that sends requests without waiting for replies cannot
// hold the thread. Under Wine every wait is a round trip to the wineserver,
// as dear as the read or write itself, so taking each step at a selection
// of its own would cost a request several waits instead of one.
void Advance(DWORD index) {
  bool replied = false;
  for (;;) {
    bool writes = g_instances[index].state == Writing;
    if (!StartOperation(index) || replied) break;
    replied = writes;
  }
}

// Writes the replies whose outcomes have come back.
void DeliverOutcomes() {
  Outcome taken[kMailboxSize];
  uint32_t n = 0;
  {
    LockHold hold(g_mailbox.lock);
    n = g_mailbox.count;
    std::memcpy(taken, g_mailbox.outcomes, n * sizeof taken[0]);
    g_mailbox.count = 0;
  }
  for (uint32_t k = 0; k < n; ++k) {
    DWORD index = static_cast<DWORD>(taken[k].tag & 0xFF);
    uint32_t generation = static_cast<uint32_t>(taken[k].tag >> 8);
    if (index >= kPipeInstanceCount) continue;
    PipeInstance& instance = g_instances[index];
    // For a connection that has ended, or a request already answered.
    if (instance.state != Waiting || instance.generation != generation) continue;
    instance.bytesToWrite = EncodeReply(taken[k].status, instance.reply, kReplyBufferSize);
    instance.state = Writing;
    Advance(index);
  }
}

// How long the next wait may last: until the first resting instance is due
// to listen again, a waiting request is due to be answered, or, while all
// four instances are connected, until the connection idle longest is due to
// be closed. A connection waiting for its transceiver is never idle.
// INFINITE when none is ahead.
DWORD NextWaitMs(ULONGLONG now) {
  ULONGLONG due = ~0ull;
  ULONGLONG oldest = ~0ull;
  bool allConnected = true;
  for (const PipeInstance& instance : g_instances) {
    if (instance.state == Resting && instance.restUntilMs < due) due = instance.restUntilMs;
    if (instance.state == Waiting && instance.answerDueMs < due) due = instance.answerDueMs;
    if (!IsConnected(instance)) allConnected = false;
    if (instance.state != Waiting && instance.lastActivityMs < oldest) {
      oldest = instance.lastActivityMs;
    }
  }
  if (allConnected && oldest != ~0ull && oldest + kPipeIdleLimitMs < due) {
    due = oldest + kPipeIdleLimitMs;
  }
  if (due == ~0ull) return INFINITE;
  return due <= now ? 0 : static_cast<DWORD>(due - now);
}

// Answers the waiting request of instance `index` itself, with `status`,
// once it has taken it back from its transceiver: a request taken back
// before it was written is never written. One that no record holds any more
// has its outcome on the way (or in the mailbox already): that is written
// instead, when it comes.
void AnswerInstead(DWORD index, DeviceStatus status) {
  PipeInstance& instance = g_instances[index];
  uint64_t tag = Tag(index, instance.generation);
  DeviceStatus outcome = 0;
  if (TakeOutcome(tag, outcome)) {
    status = outcome;
  } else if (WithdrawRequest(tag) == kNotHeld) {
    // Posted any moment now by whoever took it; the mailbox wakes us.
    instance.answerDueMs = GetTickCount64() + kFailurePauseMs;
    return;
  }
  TraceHook("request answered by the pipe server on instance", index);
  instance.bytesToWrite = EncodeReply(status, instance.reply, kReplyBufferSize);
  instance.state = Writing;
  Advance(index);
}

// Answers every request that has waited past its time.
void AnswerOverdue(ULONGLONG now) {
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    if (g_instances[i].state == Waiting && g_instances[i].answerDueMs <= now) {
      AnswerInstead(i, FT_IO_ERROR);
    }
  }
}

// Starts listening again on every resting instance whose rest is over.
void WakeRested(ULONGLONG now) {
  for (PipeInstance& instance : g_instances) {
    if (instance.state != Resting || instance.restUntilMs > now) continue;
    instance.pending = ListenForClient(instance);
    instance.state = instance.pending ? Connecting : Reading;
  }
}

// Closes the connection that has been idle longest, while all four are
// connected and it is due. Its read (or write) is still outstanding on the
// instance's OVERLAPPED: it is cancelled and its end collected before the
// instance listens again with the same OVERLAPPED. A read that completed
// meanwhile is served, not dropped.
void DropLongestIdle(ULONGLONG now) {
  DWORD oldest = kPipeInstanceCount;
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    const PipeInstance& instance = g_instances[i];
    if (!IsConnected(instance)) return;
    if (instance.state == Waiting) continue;
    if (oldest == kPipeInstanceCount ||
        instance.lastActivityMs < g_instances[oldest].lastActivityMs) {
      oldest = i;
    }
  }
  if (oldest == kPipeInstanceCount) return;
  PipeInstance& instance = g_instances[oldest];
  if (now < instance.lastActivityMs + kPipeIdleLimitMs) return;
  TraceHook("idle connection closed on instance", oldest);
  if (instance.pending) {
    CancelIoEx(instance.pipe, &instance.overlapped);
    DWORD count = 0;
    BOOL ok = GetOverlappedResult(instance.pipe, &instance.overlapped, &count, TRUE);
    instance.pending = FALSE;
    if (ok && count > 0 && instance.state == Reading) {
      instance.bytesRead = count;
      Dispatch(oldest);
      Advance(oldest);
      return;
    }
  }
  ReconnectInstance(oldest);
}

// Waits until outcomes have come back (kOutcomesReady) or an instance is
// ready (its index); kTimedOut when the wait ran out (see NextWaitMs),
// kPipeInstanceCount when it failed. The mailbox's event comes first: its
// outcomes are cheap to deliver and their clients have waited longest. The
// wait returns the first ready event of its array, so the instances follow
// starting with the one after `first`, wrapping around: among ready
// instances the one served longest ago goes first. With the plain instance
// order, clients that keep the lower instances busy would starve a client
// on a higher one for as long as they kept sending.
DWORD WaitForReadyInstance(DWORD first, DWORD timeoutMs) {
  HANDLE order[kPipeInstanceCount + 2];
  order[0] = g_stopEvent;
  order[1] = g_mailbox.event;
  for (DWORD k = 0; k < kPipeInstanceCount; ++k) {
    order[k + 2] = g_events[(first + k) % kPipeInstanceCount];
  }
  DWORD which = WaitForMultipleObjects(kPipeInstanceCount + 2, order, FALSE, timeoutMs);
  if (which == WAIT_TIMEOUT) return kTimedOut;
  if (which >= WAIT_OBJECT_0 + kPipeInstanceCount + 2) return kPipeInstanceCount;
  if (which == WAIT_OBJECT_0) return kStopAsked;
  if (which == WAIT_OBJECT_0 + 1) return kOutcomesReady;
  return (first + which - WAIT_OBJECT_0 - 2) % kPipeInstanceCount;
}

// The stop: what came back is written, what is still out is answered, and
// the replies get `flushMs` to go out before the instances are closed.
void Wind(DWORD flushMs) {
  DeliverOutcomes();
  for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
    if (g_instances[i].state == Waiting) AnswerInstead(i, kStatusDeviceNotFound);
  }
  ULONGLONG until = GetTickCount64() + flushMs;
  for (;;) {
    HANDLE writing[kPipeInstanceCount];
    DWORD n = 0;
    for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
      if (g_instances[i].state == Writing && g_instances[i].pending) writing[n++] = g_events[i];
    }
    ULONGLONG now = GetTickCount64();
    if (n == 0 || now >= until) return;
    DWORD which = WaitForMultipleObjects(n, writing, FALSE, static_cast<DWORD>(until - now));
    if (which >= WAIT_OBJECT_0 + n) return;
    for (DWORD i = 0; i < kPipeInstanceCount; ++i) {
      if (g_events[i] != writing[which - WAIT_OBJECT_0]) continue;
      // Collected so that the next look sees it done; the client reads its
      // reply and then finds the pipe closed.
      DWORD count = 0;
      GetOverlappedResult(g_instances[i].pipe, &g_instances[i].overlapped, &count, FALSE);
      g_instances[i].pending = FALSE;
      g_instances[i].state = Reading;
    }
  }
}

// Returns when the stop was asked (0), or when the server cannot go on,
// with the error.
DWORD Serve() {
  DWORD first = 0;  // where the next wait's round begins
  for (;;) {
    DWORD index = WaitForReadyInstance(first, NextWaitMs(GetTickCount64()));
    if (index == kStopAsked) return 0;
    if (index == kTimedOut) {
      ULONGLONG now = GetTickCount64();
      WakeRested(now);
      AnswerOverdue(now);
      DropLongestIdle(now);
      continue;
    }
    if (index == kOutcomesReady) {
      DeliverOutcomes();
      continue;
    }
    if (index == kPipeInstanceCount) {
      DWORD error = GetLastError();
      TraceHook("pipe server wait failed", error);
      return error != 0 ? error : ERROR_INVALID_HANDLE;
    }
    first = (index + 1) % kPipeInstanceCount;
    PipeInstance& instance = g_instances[index];
    // A resting or waiting instance's event may still be set from its last
    // operation; there is nothing to collect or start for it.
    if (instance.state == Resting || instance.state == Waiting) {
      ResetEvent(g_events[index]);
      continue;
    }
    if (instance.pending && CollectCompletion(index) == kDropped) continue;
    Advance(index);
  }
}

}  // namespace

BOOL ListenForClient(PipeInstance& instance) {
  // A new connection: outcomes still on their way for the last one are
  // dropped when they arrive.
  ++instance.generation;
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
  // drops over and over) rests before it listens again. The server thread
  // goes on serving the other instances meanwhile.
  if (++instance.failuresInARow >= kFailuresBeforePause) {
    ++instance.generation;
    instance.pending = FALSE;
    instance.state = Resting;
    instance.restUntilMs = GetTickCount64() + kFailurePauseMs;
    ResetEvent(instance.overlapped.hEvent);
    return;
  }
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
  if (!g_mailbox.event) g_mailbox.event = CreateEventW(NULL, FALSE, FALSE, NULL);
  if (!g_stopEvent) g_stopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (!g_mailbox.event || !g_stopEvent) {
    error = GetLastError();
    FreePipeSecurity(fallback);
    return error;
  }
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
    InterlockedExchange(&g_started, 0);
    Report(start, error);
    return 0;
  }
  // Outcomes of an earlier run are for connections that have ended.
  {
    LockHold hold(g_mailbox.lock);
    g_mailbox.count = 0;
  }
  ResetEvent(g_stopEvent);
  g_serverThreadId = GetCurrentThreadId();
  SetRequestOutcomeSink(PostOutcome);
  ListenOnAll();
  InterlockedExchange(&g_serving, 1);
  Report(start, 0);
  error = Serve();
  InterlockedExchange(&g_serving, 0);
  if (error == 0) Wind(g_stopFlushMs.load());
  CloseInstances();
  if (error != 0 && g_onFailure) g_onFailure(error);
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
  if (start.status == 0) {
    // The stop's own handle, so that it can wait for this thread to end.
    HANDLE own = NULL;
    if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, SYNCHRONIZE, FALSE,
                        0)) {
      if (g_thread) CloseHandle(g_thread);
      g_thread = own;
    }
  }
  if (thread) {
    *thread = handle;
  } else {
    CloseHandle(handle);
  }
  return start.status;
}

void StopPipeServer(DWORD flushMs) {
  if (!g_thread) return;
  g_stopFlushMs.store(flushMs);
  SetEvent(g_stopEvent);
  WaitForSingleObject(g_thread, INFINITE);
  CloseHandle(g_thread);
  g_thread = NULL;
  InterlockedExchange(&g_started, 0);
}
