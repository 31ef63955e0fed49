// pipe-probe: takes up the pipe's capacity from outside, for the integration
// scripts.
//
//   pipe-probe.exe hold-clients N STOP-FILE     connect N clients to
//       \\.\pipe\doraruzoz and keep them connected, silent;
//   pipe-probe.exe busy-clients N STOP-FILE     the same, but every client
//       sends a request and reads its reply once a second, so none is idle;
//   pipe-probe.exe hold-instances N STOP-FILE   create N server instances of
//       \\.\pipe\doraruzoz with the service's settings, before it starts;
//
// it prints "holding N" once everything is in place (or "failed, error E"),
// keeps it until the stop file exists (at most 120 s), closes it all and
// prints "released". And it stands in for a server whose replies the client
// must cut and join with care:
//
//   pipe-probe.exe answer N        serve one client: answer its request with
//       N text units (A to Z over and over), a NUL and three more letters;
//   pipe-probe.exe answer-open N   the same with the N units alone, no NUL.
//   pipe-probe.exe mute            serve one client: read its request and
//       never answer, until the client leaves;
//   pipe-probe.exe impostor        hold the name as another program would
//       (default security, so not owned by LocalSystem), answer "OK" to
//       whatever comes, and print at the end what it received.
//
// The service's pipe is owned by LocalSystem, and the client talks to no
// other; the stand-in servers therefore create theirs with that owner
// (Wine lets any program do so), except the impostor.
// One thread.
#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "tests/pipe/stop_file.h"

namespace {

const wchar_t kPipe[] = L"\\\\.\\pipe\\doraruzoz";
constexpr int kMostHandles = 8;
constexpr DWORD kLongestHoldMs = 120000;

DWORD ConnectClient(HANDLE& pipe) {
  for (;;) {
    pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe != INVALID_HANDLE_VALUE) return 0;
    DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) return error;
    if (!WaitNamedPipeW(kPipe, 10000)) return GetLastError();
  }
}

// Owner LocalSystem, as the service's own pipe.
SECURITY_ATTRIBUTES* ServiceLikeSecurity() {
  static SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (!attributes.lpSecurityDescriptor &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"O:SYG:SYD:(A;;GA;;;WD)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor, NULL)) {
    return nullptr;
  }
  return &attributes;
}

// Keeps the held clients busy: each sends a request and reads its reply.
void ExchangeOnEach(HANDLE* handles, int count) {
  static const uint8_t request[10] = {0, 0, 0x57, 0x04, 0x57, 0x04, 0x57, 0x04, 17, 0};
  for (int i = 0; i < count; ++i) {
    DWORD mode = PIPE_READMODE_MESSAGE, done = 0;
    uint8_t reply[256];
    SetNamedPipeHandleState(handles[i], &mode, NULL, NULL);
    if (WriteFile(handles[i], request, sizeof request, &done, NULL)) {
      ReadFile(handles[i], reply, sizeof reply, &done, NULL);
    }
  }
}

DWORD CreateInstance(HANDLE& pipe) {
  pipe = CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 4,
                          8192, 8192, 5000, ServiceLikeSecurity());
  return pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

// Serves one client of a one-instance pipe with a crafted reply.
// `impostor`: default security; otherwise the service's owner. `mute`: no
// reply at all.
int Answer(int units, bool terminated, bool impostor = false, bool mute = false) {
  static uint16_t reply[4096];
  if (units < 0 || units > 4000) return 2;
  int n = 0;
  for (; n < units; ++n) reply[n] = static_cast<uint16_t>('A' + n % 26);
  if (terminated) {
    reply[n++] = 0;
    for (const char* c = "XYZ"; *c; ++c) reply[n++] = static_cast<uint16_t>(*c);
  }
  HANDLE pipe = CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                 8192, 8192, 5000, impostor ? NULL : ServiceLikeSecurity());
  if (pipe == INVALID_HANDLE_VALUE) {
    printf("failed, error %lu\n", GetLastError());
    return 1;
  }
  printf("holding 1\n");
  fflush(stdout);
  uint8_t request[64];
  DWORD done = 0, received = 0;
  if ((ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) &&
      ReadFile(pipe, request, sizeof request, &done, NULL)) {
    received += done;
    if (!mute) WriteFile(pipe, reply, n * 2, &done, NULL);
    // Keep the instance until the client has read the reply and gone.
    while (ReadFile(pipe, request, sizeof request, &done, NULL)) received += done;
  }
  CloseHandle(pipe);
  printf("released, received %lu bytes\n", received);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"answer") == 0) {
    return Answer(static_cast<int>(wcstol(argv[2], nullptr, 10)), true);
  }
  if (argc == 3 && wcscmp(argv[1], L"answer-open") == 0) {
    return Answer(static_cast<int>(wcstol(argv[2], nullptr, 10)), false);
  }
  if (argc == 2 && wcscmp(argv[1], L"impostor") == 0) return Answer(2, true, true);
  if (argc == 2 && wcscmp(argv[1], L"mute") == 0) return Answer(0, true, false, true);
  if (argc != 4) {
    printf("usage: pipe-probe hold-clients|busy-clients|hold-instances N STOP-FILE\n"
           "       pipe-probe answer|answer-open N\n"
           "       pipe-probe impostor|mute\n");
    return 2;
  }
  bool busy = wcscmp(argv[1], L"busy-clients") == 0;
  bool clients = busy || wcscmp(argv[1], L"hold-clients") == 0;
  int count = static_cast<int>(wcstol(argv[2], nullptr, 10));
  if (count < 1 || count > kMostHandles) return 2;

  HANDLE handles[kMostHandles];
  int held = 0;
  DWORD error = 0;
  for (; held < count; ++held) {
    HANDLE h = INVALID_HANDLE_VALUE;
    error = clients ? ConnectClient(h) : CreateInstance(h);
    if (error != 0) break;
    handles[held] = h;
  }
  if (error != 0) {
    printf("failed, error %lu\n", error);
  } else {
    printf("holding %d\n", held);
  }
  fflush(stdout);
  if (busy && error == 0) {
    for (DWORD began = GetTickCount(); GetTickCount() - began < kLongestHoldMs;) {
      if (StopFileExists(argv[3])) break;
      ExchangeOnEach(handles, held);
      Sleep(1000);
    }
  } else {
    WaitForStopFile(argv[3], kLongestHoldMs);
  }
  for (int i = 0; i < held; ++i) CloseHandle(handles[i]);
  printf("released\n");
  return error == 0 ? 0 : 1;
}
