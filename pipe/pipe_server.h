// The service's overlapped named-pipe server: one thread serves the four
// instances of \\.\pipe\doraruzoz, reads one PipeRequest per message, hands
// it to its transceiver's own thread through HandleRequest and writes the
// reply back as one message once the outcome has come back.
//
// Threads: the instances are created by CreatePipeInstances, on the thread
// that starts the service, before the server thread exists; from then on
// PipeServerThread is the only thread that touches the PipeInstance records,
// their events and the wait array. They live in static storage for the life
// of the process and need no lock. Outcomes come back from the transceiver
// threads through a small mailbox of the server's, under its own lock, and
// wake the server thread through the mailbox's event.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/request.h"

constexpr DWORD kPipeInstanceCount = 4;
constexpr DWORD kPipeRequestSize = sizeof(PipeRequest);
constexpr DWORD kPipeBufferSize = 8192;         // each way, and the reply buffer
constexpr DWORD kPipeDefaultTimeoutMs = 5000;   // for WaitNamedPipeW's default wait
// While all four instances are connected, a connection with no completed
// read or write for this long is closed, so that a waiting client gets in
// within its 20-second wait.
constexpr DWORD kPipeIdleLimitMs = 10000;
// A request handed to its transceiver is answered within this long, whatever
// the transceiver's threads are doing: past it the server takes the request
// back (it is then never written) and answers "ZARVO i/o error." itself. The
// watchdog normally answers first, after the stuck-call limit of 10 s.
constexpr DWORD kPipeAnswerLimitMs = 11000;
extern const wchar_t kPipeName[];               // L"\\\\.\\pipe\\doraruzoz"

static_assert(kReplyBufferSize == kPipeBufferSize,
              "a reply always fits the pipe's outbound buffer");

// PipeInstance::state
enum PipeState : uint32_t { Connecting = 0, Reading = 1, Writing = 2, Waiting = 3, Resting = 4 };

// One pipe instance. Server thread only.
//   state       pending clear                  pending set
//   Connecting  (does not occur)               ConnectNamedPipe outstanding
//   Reading     read to start when next served  read outstanding
//   Writing     reply to write when next served write outstanding
//   Waiting     its request is with its transceiver; nothing is read
//               until the outcome comes back, or answerDueMs passes
//   Resting     disconnected after repeated failures; listens again at
//               restUntilMs, while the others are served
struct PipeInstance {
  OVERLAPPED overlapped;  // every connect, read and write; hEvent = the instance's event
  HANDLE pipe;
  PipeRequest request;    // every read lands here; cleared before each read
  DWORD bytesRead;        // size of the message read last
  uint8_t reply[kReplyBufferSize];  // UTF-16LE text with its NUL
  uint32_t bytesToWrite;  // reply size; a completed write must report exactly this
  uint32_t state;         // PipeState
  BOOL pending;           // an operation was started and its completion not yet collected
  ULONGLONG lastActivityMs;  // when a connect, read or write last completed
  DWORD failuresInARow;      // connections that ended without a request served
  // Counts this instance's connections: an outcome is for the connection
  // whose generation its tag carries, and dropped once that one has ended.
  uint32_t generation;
  ULONGLONG restUntilMs;  // Resting: when to listen again
  ULONGLONG answerDueMs;  // Waiting: when the server answers the request itself
};

// Optional start record. A starter that needs to know when clients can
// connect passes one as the thread parameter; NULL is fine too. The thread
// writes `status` once, then sets `ready`, and never touches the record again,
// so the starter may free it (and close its event) as soon as `ready` is set.
struct PipeServerStart {
  HANDLE ready;   // event of the starter's; set once all four instances listen, or the thread ended
  DWORD status;   // 0: serving; otherwise the Windows error that ended the thread
};

// Creates the four instances of the pipe with this security descriptor
// (NULL: the default one of pipe_security.h), the first with
// FILE_FLAG_FIRST_PIPE_INSTANCE, so that the service never joins a pipe that
// another program created; none listens yet, so clients wait (busy) until the
// server thread starts. Creating all four at once leaves no instance for
// anyone else to create. Returns 0, or the error of the creation that failed
// (ERROR_ACCESS_DENIED or ERROR_PIPE_BUSY when the name is taken), having
// closed what it made. Call it once, before PipeServerThread runs.
DWORD CreatePipeInstances(PSECURITY_DESCRIPTOR descriptor);

// True while this process's server thread serves its instances.
bool PipeServerServing();

// Called on the server thread when it cannot go on (its wait fails), with
// the error, just before the thread ends; the service stops itself then.
// Set it before the thread starts.
void SetPipeServerFailureHandler(void (*handler)(DWORD error));

// Thread routine: creates the four instances if CreatePipeInstances has not,
// starts them listening and serves them until StopPipeServer or the process
// ends. A failed
// connect, read or write recycles that instance (disconnect, listen again on
// the same handle; an instance that keeps failing rests a little first,
// while the others are served). The thread never sleeps and never calls the
// driver. Returns 0 when it ends
// early: the instances could not be created, or the wait failed. Before
// returning it closes every instance and event, so clients are refused
// (ERROR_FILE_NOT_FOUND) rather than left waiting for a reply. Runs once per
// process at a time; a second start while one serves ends at once with
// ERROR_ALREADY_EXISTS.
DWORD WINAPI PipeServerThread(LPVOID parameter);

// Ends the server thread, for the service's stop: outcomes that came back
// are written, requests still with their transceivers are answered "ZARVO
// device not found." (the transceivers are gone by then), replies are given
// up to `flushMs` to go out, then every instance is closed, so that the pipe
// name is free as soon as this returns, and the thread ends. Waits until it
// has; returns at once when no server runs. Another thread than the
// server's; a new start may follow.
void StopPipeServer(DWORD flushMs);

// Drops the client of instance `index` (0 to 3), if any, and listens again.
// Server thread only.
void ReconnectInstance(DWORD index);

// Starts listening on one instance. TRUE while the connection is pending;
// FALSE when a client is already there (or ConnectNamedPipe failed otherwise),
// in which case the instance's event is set so that the next wait selects it
// and its first read settles what happened. Server thread only.
BOOL ListenForClient(PipeInstance& instance);

// Convenience for starters: runs PipeServerThread on a new thread and waits
// until it serves or has ended. Returns 0 when serving, else the error that
// ended it (or the error of the event or thread creation). `thread`, when not
// null, receives the thread handle, which the caller then owns.
DWORD StartPipeServer(HANDLE* thread);
