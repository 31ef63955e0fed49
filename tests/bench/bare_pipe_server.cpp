// bare-pipe-server: the benchmark's yardstick. A plain overlapped
// four-instance message pipe server that answers every 10-byte message with
// the fixed 6-byte reply "OK" (UTF-16LE with its NUL) and does nothing else,
// so that the pipe server's figures can be set against what the platform
// itself costs.
//
//   bare-pipe-server.exe PIPE-NAME STOP-FILE
//
// Prints "bare server ready" once its four instances listen, and ends when
// the stop file exists. One thread; operations that complete at once are
// carried on at once, without another wait, up to one reply per selection.
// It serves its clients in turn, as the service does: a server that kept
// serving whichever client answered fastest would serve one client at a time
// while the others wait, and be no yardstick for a service that must not.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "tests/pipe/stop_file.h"

namespace {

constexpr DWORD kInstances = 4;
constexpr DWORD kRequestSize = 10;
const uint8_t kReply[] = {'O', 0, 'K', 0, 0, 0};

enum Step { kListen, kRead, kWrite };

struct Instance {
  OVERLAPPED overlapped;
  HANDLE pipe;
  uint8_t request[16];
  Step step;
};

Instance g_instances[kInstances];
HANDLE g_events[kInstances];

// Starts `step` on the instance. Returns true when it is outstanding;
// otherwise `ok` and `count` hold its outcome.
bool Issue(Instance& in, Step step, BOOL& ok, DWORD& count) {
  in.step = step;
  count = 0;
  switch (step) {
    case kListen:
      ok = ConnectNamedPipe(in.pipe, &in.overlapped);
      if (!ok && GetLastError() == ERROR_PIPE_CONNECTED) ok = TRUE;
      break;
    case kRead:
      ok = ReadFile(in.pipe, in.request, sizeof in.request, &count, &in.overlapped);
      break;
    case kWrite:
      ok = WriteFile(in.pipe, kReply, sizeof kReply, &count, &in.overlapped);
      break;
  }
  return !ok && GetLastError() == ERROR_IO_PENDING;
}

// Takes the outcome of the instance's current step and goes on until a step
// is outstanding, or until a reply went out and the next read was started:
// like the service, one reply per selection, then the wait serves the other
// instances first. (A read that completed at once has set the event; one
// that failed at once has not, so it is dealt with here.)
void Advance(Instance& in, BOOL ok, DWORD count) {
  for (;;) {
    Step next = kListen;
    switch (in.step) {
      case kListen: next = ok ? kRead : kListen; break;
      case kRead: next = ok && count == kRequestSize ? kWrite : kListen; break;
      case kWrite: next = ok && count == sizeof kReply ? kRead : kListen; break;
    }
    if (next == kListen) DisconnectNamedPipe(in.pipe);
    bool replied = in.step == kWrite && next == kRead;
    if (Issue(in, next, ok, count) || (replied && ok)) return;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    printf("usage: bare-pipe-server PIPE-NAME STOP-FILE\n");
    return 2;
  }
  for (DWORD i = 0; i < kInstances; ++i) {
    Instance& in = g_instances[i];
    g_events[i] = CreateEventW(NULL, TRUE, TRUE, NULL);
    in.overlapped.hEvent = g_events[i];
    in.pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               kInstances, 8192, 8192, 5000, NULL);
    if (!g_events[i] || in.pipe == INVALID_HANDLE_VALUE) {
      printf("bare server failed, error %lu\n", GetLastError());
      return 1;
    }
    BOOL ok = FALSE;
    DWORD count = 0;
    if (!Issue(in, kListen, ok, count)) Advance(in, ok, count);
  }
  printf("bare server ready\n");
  fflush(stdout);

  // Ready instances are served in turn, as the service serves them: the
  // wait's array starts after the instance served last. A wait in plain
  // instance order would serve one busy client at a time and leave the
  // others waiting, which is cheaper but no service to measure against.
  DWORD first = 0;
  for (;;) {
    HANDLE order[kInstances];
    for (DWORD k = 0; k < kInstances; ++k) order[k] = g_events[(first + k) % kInstances];
    DWORD which = WaitForMultipleObjects(kInstances, order, FALSE, 200);
    if (which == WAIT_TIMEOUT) {
      if (StopFileExists(argv[2])) break;
      continue;
    }
    if (which >= WAIT_OBJECT_0 + kInstances) return 1;
    DWORD index = (first + which - WAIT_OBJECT_0) % kInstances;
    first = (index + 1) % kInstances;
    Instance& in = g_instances[index];
    DWORD count = 0;
    BOOL ok = GetOverlappedResult(in.pipe, &in.overlapped, &count, FALSE);
    Advance(in, ok, count);
  }
  return 0;
}
