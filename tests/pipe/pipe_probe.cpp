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
// And it plays clients the scenarios need in numbers or shapes ZARVOCTL
// does not make:
//
//   pipe-probe.exe send HEX        send one message of these bytes (e.g. 01
//       for a one-byte message) and print "reply: <text>";
//   pipe-probe.exe ask N IID       on one connection, send N requests for
//       transceiver IID (house code 1234 1111, address 1111, command 17)
//       one after another, and print "<ok> of <n> OK in <ms> ms, p50 <us>
//       us, p99 <us> us, max <us> us, last: <text>";
//   pipe-probe.exe drop-loop STOP-FILE   connect and drop without a request,
//       over and over, until the stop file exists; then print "dropped N".
//
// And for the events pipe, \\.\pipe\doraruzoz-events:
//
//   pipe-probe.exe hold-listeners N STOP-FILE   connect N listeners that
//       never read, as hold-clients does;
//   pipe-probe.exe read-later STOP-FILE   connect one listener, read nothing
//       until the stop file exists, then read what comes until nothing has
//       come for a second, and print "lines N" and every line that is not
//       a heard or sent line;
//   pipe-probe.exe hold-events-name STOP-FILE   hold the events pipe's name
//       with one instance of its own, as another program could;
//   pipe-probe.exe stamp-heard N   connect one listener and, for each of the
//       next N heard lines (or until nothing came for 10 s), print
//       "<QueryPerformanceCounter when the line was read> <its raw= hex>",
//       after a first line "frequency <counts per second>";
//   pipe-probe.exe stamp-state N   the same for the next N state lines of
//       FS20 entries learned by hearing: "<QueryPerformanceCounter> <the
//       house code's and address's 12 digits>";
//   pipe-probe.exe clock   print "frequency <counts per second>", then for
//       each line read on standard input, "<QueryPerformanceCounter>" at
//       once: a Linux script that stamps its question and the answer finds
//       the counter's offset from its own clock (the MQTT bridge's
//       benchmark), until standard input ends;
//   pipe-probe.exe greet N   connect a listener N times, one after the
//       other, read each greeting to its ready line and print "greeted in
//       <ms> ms: <lines> lines, <state lines> state lines" for each;
//   pipe-probe.exe drain-listeners N STOP-FILE   connect N listeners, each
//       on a thread of its own reading everything, until the stop file
//       exists; print "holding N" once all are connected, then "read B bytes".
//   pipe-probe.exe feed-events FILE STOP-FILE [impostor]   serve the events
//       pipe in the service's stead (owner LocalSystem; "impostor": default
//       security): every listener that connects gets FILE from its start
//       and then whatever is appended to it, until it leaves or the stop
//       file exists. A script writes the lines (an impostor's greeting)
//       for a pipe the real service does not serve. Prints "serving", then
//       "listener N" as each connects.
//
// And it stands in for a user at the console:
//
//   pipe-probe.exe ctrl-break MS COMMAND-LINE   start COMMAND-LINE in a new
//       process group on this console, press Ctrl+Break in it after MS
//       milliseconds, and print "ended N ms after the key, exit code E" (or
//       "still running N ms after the key" after 5 s, when it is ended).
//
// The service's pipe is owned by LocalSystem, and the client talks to no
// other; the stand-in servers therefore create theirs with that owner
// (Wine lets any program do so), except the impostor.
// One thread.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/pipe/stop_file.h"

namespace {

const wchar_t kPipe[] = L"\\\\.\\pipe\\doraruzoz";
const wchar_t kEventsPipe[] = L"\\\\.\\pipe\\doraruzoz-events";
constexpr int kMostHandles = 8;
constexpr DWORD kLongestHoldMs = 120000;

DWORD ConnectClient(HANDLE& pipe, const wchar_t* name = kPipe,
                    DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD busyWaitMs = 10000) {
  for (;;) {
    pipe = CreateFileW(name, access, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe != INVALID_HANDLE_VALUE) return 0;
    DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY || busyWaitMs == 0) return error;
    if (!WaitNamedPipeW(name, busyWaitMs)) return GetLastError();
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

// A reply message as text (UTF-16LE, up to its NUL), narrowed for printing.
void PrintReply(const uint8_t* reply, DWORD size) {
  printf("reply: ");
  for (DWORD i = 0; i + 1 < size; i += 2) {
    uint16_t c = static_cast<uint16_t>(reply[i] | (reply[i + 1] << 8));
    if (c == 0) break;
    putchar(c < 128 ? static_cast<char>(c) : '?');
  }
  printf("\n");
}

// One message, one reply, on a message-mode connection.
bool Exchange(HANDLE pipe, const uint8_t* message, DWORD size, uint8_t (&reply)[256],
              DWORD& replied) {
  DWORD done = 0;
  return WriteFile(pipe, message, size, &done, NULL) && done == size &&
         ReadFile(pipe, reply, sizeof reply, &replied, NULL);
}

HANDLE ConnectInMessageMode() {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DWORD error = ConnectClient(pipe);
  if (error != 0) {
    printf("failed, error %lu\n", error);
    return INVALID_HANDLE_VALUE;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, NULL, NULL);
  return pipe;
}

int Send(const wchar_t* hex) {
  uint8_t message[64];
  DWORD size = 0;
  for (; hex[0] && hex[1] && size < sizeof message; hex += 2) {
    wchar_t pair[3] = {hex[0], hex[1], 0};
    message[size++] = static_cast<uint8_t>(wcstoul(pair, nullptr, 16));
  }
  HANDLE pipe = ConnectInMessageMode();
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  uint8_t reply[256];
  DWORD replied = 0;
  bool ok = Exchange(pipe, message, size, reply, replied);
  if (ok) PrintReply(reply, replied);
  else printf("failed, error %lu\n", GetLastError());
  CloseHandle(pipe);
  return ok ? 0 : 1;
}

int Ask(int count, int iid) {
  uint8_t request[10] = {static_cast<uint8_t>(iid), 0, 0xD2, 0x04, 0x57, 0x04, 0x57, 0x04, 17, 0};
  HANDLE pipe = ConnectInMessageMode();
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  LARGE_INTEGER frequency, began, ended, sent, back;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&began);
  uint8_t reply[256];
  DWORD replied = 0;
  int ok = 0, done = 0;
  std::vector<double> us;
  us.reserve(count > 0 ? count : 0);
  for (; done < count; ++done) {
    QueryPerformanceCounter(&sent);
    if (!Exchange(pipe, request, sizeof request, reply, replied)) break;
    QueryPerformanceCounter(&back);
    us.push_back((back.QuadPart - sent.QuadPart) * 1e6 / frequency.QuadPart);
    ok += replied >= 6 && reply[0] == 'O' && reply[2] == 'K' && reply[4] == 0;
  }
  QueryPerformanceCounter(&ended);
  double ms = (ended.QuadPart - began.QuadPart) * 1000.0 / frequency.QuadPart;
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us.empty() ? 0.0 : us[static_cast<size_t>(q * (us.size() - 1))]; };
  printf("%d of %d OK in %.0f ms, p50 %.0f us, p99 %.0f us, max %.0f us, last: ", ok, count, ms,
         at(0.5), at(0.99), at(1.0));
  if (done > 0) PrintReply(reply, replied);
  else printf("none\n");
  CloseHandle(pipe);
  return done == count ? 0 : 1;
}

int ReadLater(const wchar_t* stopFile) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DWORD error = ConnectClient(pipe, kEventsPipe, GENERIC_READ, 0);
  if (error != 0) {
    printf("failed, error %lu\n", error);
    return 1;
  }
  printf("holding 1\n");
  fflush(stdout);
  WaitForStopFile(stopFile, kLongestHoldMs);
  static char text[1 << 20];
  size_t have = 0;
  DWORD quietSince = GetTickCount();
  while (GetTickCount() - quietSince < 1000 && have + 4096 < sizeof text) {
    DWORD waiting = 0, got = 0;
    if (!PeekNamedPipe(pipe, NULL, 0, NULL, &waiting, NULL)) break;
    if (waiting == 0) {
      Sleep(10);
      continue;
    }
    if (!ReadFile(pipe, text + have, 4096, &got, NULL)) break;
    have += got;
    quietSince = GetTickCount();
  }
  int lines = 0;
  for (size_t at = 0, start = 0; at < have; ++at) {
    if (text[at] != '\n') continue;
    ++lines;
    std::string line(text + start, at + 1 - start);
    if (line.find(" heard ") == std::string::npos && line.find(" sent ") == std::string::npos) {
      printf("%s", line.c_str());
    }
    start = at + 1;
  }
  printf("lines %d\n", lines);
  CloseHandle(pipe);
  return 0;
}

int Clock() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  printf("frequency %lld\n", frequency.QuadPart);
  fflush(stdout);
  char line[64];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    QueryPerformanceCounter(&now);
    printf("%lld\n", now.QuadPart);
    fflush(stdout);
  }
  return 0;
}

// `stateLines`: stamps the state lines of FS20 entries learned by hearing,
// with their key, instead of the heard lines with their bytes.
int StampHeard(int count, bool stateLines) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DWORD error = ConnectClient(pipe, kEventsPipe, GENERIC_READ);
  if (error != 0) {
    printf("failed, error %lu\n", error);
    return 1;
  }
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  printf("frequency %lld\n", frequency.QuadPart);
  fflush(stdout);
  std::string pending;
  char chunk[4096];
  int stamped = 0;
  DWORD lastMs = GetTickCount();
  while (stamped < count && GetTickCount() - lastMs < 10000) {
    DWORD waiting = 0, got = 0;
    if (!PeekNamedPipe(pipe, NULL, 0, NULL, &waiting, NULL)) break;
    if (waiting == 0) {
      Sleep(0);
      continue;
    }
    if (!ReadFile(pipe, chunk, sizeof chunk, &got, NULL)) break;
    QueryPerformanceCounter(&now);
    lastMs = GetTickCount();
    pending.append(chunk, got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (stateLines) {
        size_t hc = line.find(" state kind=fs20 hc=");
        if (hc == std::string::npos || line.find(" by=heard ") == std::string::npos) continue;
        // " state kind=fs20 hc=12341111 addr=1111": the 8 and 4 digits.
        std::string key = line.substr(hc + 20, 8) + line.substr(hc + 34, 4);
        printf("%lld %s\n", now.QuadPart, key.c_str());
        ++stamped;
        continue;
      }
      size_t raw = line.find(" raw=");
      if (line.find(" heard ") == std::string::npos || raw == std::string::npos) continue;
      std::string hex = line.substr(raw + 5);
      while (!hex.empty() && (hex.back() == '\r' || hex.back() == ' ')) hex.pop_back();
      printf("%lld %s\n", now.QuadPart, hex.c_str());
      ++stamped;
    }
  }
  CloseHandle(pipe);
  return stamped == count ? 0 : 1;
}

int Greet(int times) {
  LARGE_INTEGER frequency, began, ended;
  QueryPerformanceFrequency(&frequency);
  for (int i = 0; i < times; ++i) {
    QueryPerformanceCounter(&began);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD error = ConnectClient(pipe, kEventsPipe, GENERIC_READ);
    if (error != 0) {
      printf("failed, error %lu\n", error);
      return 1;
    }
    std::string pending;
    char chunk[65536];
    int lines = 0, states = 0;
    bool ready = false;
    DWORD got = 0;
    while (!ready && ReadFile(pipe, chunk, sizeof chunk, &got, NULL)) {
      pending.append(chunk, got);
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        ++lines;
        if (end > 35 && pending.compare(24, 11, " - - state ") == 0) ++states;
        if (end > 34 && pending.compare(24, 10, " - - ready") == 0) ready = true;
        pending.erase(0, end + 1);
      }
    }
    QueryPerformanceCounter(&ended);
    CloseHandle(pipe);
    if (!ready) {
      printf("no ready line after %d lines\n", lines);
      return 1;
    }
    printf("greeted in %.1f ms: %d lines, %d state lines\n",
           (ended.QuadPart - began.QuadPart) * 1000.0 / frequency.QuadPart, lines, states);
    fflush(stdout);
  }
  return 0;
}

struct Drainer {
  HANDLE pipe;
  unsigned long long bytes;  // added to by its reader thread, interlocked
  char buffer[16384];
};

// Reads everything, blocked in ReadFile between lines, until the pipe
// breaks or the process ends.
DWORD WINAPI Drain(LPVOID arg) {
  Drainer& d = *static_cast<Drainer*>(arg);
  DWORD got = 0;
  while (ReadFile(d.pipe, d.buffer, sizeof d.buffer, &got, NULL)) {
    InterlockedExchangeAdd64(reinterpret_cast<LONG64*>(&d.bytes), got);
  }
  return 0;
}

int DrainListeners(int count, const wchar_t* stopFile) {
  static Drainer drainers[kMostHandles];
  if (count < 1 || count > kMostHandles) return 2;
  for (int i = 0; i < count; ++i) {
    DWORD error = ConnectClient(drainers[i].pipe, kEventsPipe, GENERIC_READ, 0);
    if (error != 0) {
      printf("failed, error %lu\n", error);
      return 1;
    }
  }
  for (int i = 0; i < count; ++i) CloseHandle(CreateThread(NULL, 0, Drain, &drainers[i], 0, NULL));
  printf("holding %d\n", count);
  fflush(stdout);
  WaitForStopFile(stopFile, kLongestHoldMs);
  unsigned long long total = 0;
  for (int i = 0; i < count; ++i) {
    total += InterlockedCompareExchange64(reinterpret_cast<LONG64*>(&drainers[i].bytes), 0, 0);
  }
  printf("read %llu bytes\n", total);
  fflush(stdout);
  // The readers are still blocked in ReadFile: ending the process ends them.
  ExitProcess(0);
}

int HoldEventsName(const wchar_t* stopFile) {
  HANDLE pipe = CreateNamedPipeW(kEventsPipe, PIPE_ACCESS_OUTBOUND,
                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 0, 0, NULL);
  if (pipe == INVALID_HANDLE_VALUE) {
    printf("failed, error %lu\n", GetLastError());
    return 1;
  }
  printf("holding 1\n");
  fflush(stdout);
  WaitForStopFile(stopFile, kLongestHoldMs);
  CloseHandle(pipe);
  printf("released\n");
  return 0;
}

struct Feed {
  HANDLE pipe;
  const wchar_t* file;
  const wchar_t* stopFile;
};

// One listener of feed-events: the file from its start, then what is
// appended, whole lines only (a line the script is still writing waits).
DWORD WINAPI FeedListener(void* arg) {
  Feed feed = *static_cast<Feed*>(arg);
  delete static_cast<Feed*>(arg);
  uint64_t offset = 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  while (!StopFileExists(feed.stopFile)) {
    char buffer[4096];
    DWORD got = 0;
    HANDLE in = CreateFileW(feed.file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, 0, NULL);
    if (in != INVALID_HANDLE_VALUE) {
      LARGE_INTEGER at;
      at.QuadPart = static_cast<LONGLONG>(offset);
      SetFilePointerEx(in, at, NULL, FILE_BEGIN);
      if (!ReadFile(in, buffer, sizeof buffer, &got, NULL)) got = 0;
      while (got > 0 && buffer[got - 1] != '\n') --got;
      CloseHandle(in);
    }
    if (got == 0) {
      Sleep(20);
      continue;
    }
    DWORD done = 0;
    ResetEvent(overlapped.hEvent);
    BOOL ok = WriteFile(feed.pipe, buffer, got, &done, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(feed.pipe, &overlapped, &done, TRUE);
    if (!ok) break;  // the listener left
    offset += got;
  }
  CloseHandle(overlapped.hEvent);
  CloseHandle(feed.pipe);
  return 0;
}

int FeedEvents(const wchar_t* file, const wchar_t* stopFile, bool impostor) {
  printf("serving\n");
  fflush(stdout);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  int listeners = 0;
  while (!StopFileExists(stopFile)) {
    HANDLE pipe = CreateNamedPipeW(kEventsPipe, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 65536, 0, 0,
                                   impostor ? NULL : ServiceLikeSecurity());
    if (pipe == INVALID_HANDLE_VALUE) {
      printf("failed, error %lu\n", GetLastError());
      return 1;
    }
    ResetEvent(overlapped.hEvent);
    bool connected = ConnectNamedPipe(pipe, &overlapped) || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && GetLastError() == ERROR_IO_PENDING) {
      while (WaitForSingleObject(overlapped.hEvent, 50) == WAIT_TIMEOUT && !StopFileExists(stopFile)) {
      }
      DWORD unused = 0;
      connected = !StopFileExists(stopFile) && GetOverlappedResult(pipe, &overlapped, &unused, FALSE);
    }
    if (!connected) {
      CancelIo(pipe);
      CloseHandle(pipe);
      continue;
    }
    printf("listener %d\n", ++listeners);
    fflush(stdout);
    HANDLE thread = CreateThread(NULL, 0, FeedListener, new Feed{pipe, file, stopFile}, 0, NULL);
    if (thread) CloseHandle(thread);
  }
  printf("released\n");
  fflush(stdout);
  ExitProcess(0);
}

int DropLoop(const wchar_t* stopFile) {
  int dropped = 0;
  for (DWORD began = GetTickCount(); GetTickCount() - began < kLongestHoldMs;) {
    if (StopFileExists(stopFile)) break;
    HANDLE pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                              NULL);
    if (pipe != INVALID_HANDLE_VALUE) {
      CloseHandle(pipe);
      ++dropped;
    } else if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipe, 100);
    } else {
      Sleep(1);
    }
  }
  printf("dropped %d\n", dropped);
  return 0;
}

}  // namespace

// Starts a program in a process group of its own (Ctrl+Break reaches the
// group alone), presses Ctrl+Break in it and times its end.
int CtrlBreak(DWORD afterMs, const wchar_t* commandLine) {
  // The child shares our console; without one of our own, make one.
  if (!GetConsoleWindow()) AllocConsole();
  wchar_t line[2048];
  wcsncpy(line, commandLine, 2047);
  line[2047] = L'\0';
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                      nullptr, &startup, &child)) {
    printf("failed, error %lu\n", GetLastError());
    return 1;
  }
  Sleep(afterMs);
  ULONGLONG pressed = GetTickCount64();
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.dwProcessId)) {
    printf("key not sent, error %lu\n", GetLastError());
  }
  int rc = 0;
  if (WaitForSingleObject(child.hProcess, 5000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    printf("ended %llu ms after the key, exit code %lu\n",
           static_cast<unsigned long long>(GetTickCount64() - pressed), code);
  } else {
    printf("still running %llu ms after the key\n",
           static_cast<unsigned long long>(GetTickCount64() - pressed));
    TerminateProcess(child.hProcess, 99);
    rc = 1;
  }
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  return rc;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"ctrl-break") == 0) {
    return CtrlBreak(static_cast<DWORD>(_wtoi(argv[2])), argv[3]);
  }
  if (argc == 3 && wcscmp(argv[1], L"send") == 0) return Send(argv[2]);
  if (argc == 4 && wcscmp(argv[1], L"ask") == 0) {
    return Ask(static_cast<int>(wcstol(argv[2], nullptr, 10)),
               static_cast<int>(wcstol(argv[3], nullptr, 10)));
  }
  if (argc == 3 && wcscmp(argv[1], L"drop-loop") == 0) return DropLoop(argv[2]);
  if (argc == 3 && wcscmp(argv[1], L"read-later") == 0) return ReadLater(argv[2]);
  if (argc == 3 && wcscmp(argv[1], L"hold-events-name") == 0) return HoldEventsName(argv[2]);
  if ((argc == 4 || argc == 5) && wcscmp(argv[1], L"feed-events") == 0) {
    return FeedEvents(argv[2], argv[3], argc == 5 && wcscmp(argv[4], L"impostor") == 0);
  }
  if (argc == 3 && wcscmp(argv[1], L"stamp-heard") == 0) {
    return StampHeard(static_cast<int>(wcstol(argv[2], nullptr, 10)), false);
  }
  if (argc == 3 && wcscmp(argv[1], L"stamp-state") == 0) {
    return StampHeard(static_cast<int>(wcstol(argv[2], nullptr, 10)), true);
  }
  if (argc == 2 && wcscmp(argv[1], L"clock") == 0) return Clock();
  if (argc == 3 && wcscmp(argv[1], L"greet") == 0) {
    return Greet(static_cast<int>(wcstol(argv[2], nullptr, 10)));
  }
  if (argc == 4 && wcscmp(argv[1], L"drain-listeners") == 0) {
    return DrainListeners(static_cast<int>(wcstol(argv[2], nullptr, 10)), argv[3]);
  }
  if (argc == 3 && wcscmp(argv[1], L"answer") == 0) {
    return Answer(static_cast<int>(wcstol(argv[2], nullptr, 10)), true);
  }
  if (argc == 3 && wcscmp(argv[1], L"answer-open") == 0) {
    return Answer(static_cast<int>(wcstol(argv[2], nullptr, 10)), false);
  }
  if (argc == 2 && wcscmp(argv[1], L"impostor") == 0) return Answer(2, true, true);
  if (argc == 2 && wcscmp(argv[1], L"mute") == 0) return Answer(0, true, false, true);
  if (argc != 4) {
    printf("usage: pipe-probe hold-clients|busy-clients|hold-instances|hold-listeners N STOP-FILE\n"
           "       pipe-probe answer|answer-open N\n"
           "       pipe-probe impostor|mute\n"
           "       pipe-probe send HEX | ask N IID | drop-loop STOP-FILE\n"
           "       pipe-probe read-later STOP-FILE\n"
           "       pipe-probe hold-events-name STOP-FILE | stamp-heard N | stamp-state N\n"
           "       pipe-probe greet N | clock\n"
           "       pipe-probe drain-listeners N STOP-FILE\n");
    return 2;
  }
  bool busy = wcscmp(argv[1], L"busy-clients") == 0;
  bool listeners = wcscmp(argv[1], L"hold-listeners") == 0;
  bool clients = busy || listeners || wcscmp(argv[1], L"hold-clients") == 0;
  int count = static_cast<int>(wcstol(argv[2], nullptr, 10));
  if (count < 1 || count > kMostHandles) return 2;

  HANDLE handles[kMostHandles];
  int held = 0;
  DWORD error = 0;
  for (; held < count; ++held) {
    HANDLE h = INVALID_HANDLE_VALUE;
    if (listeners) {
      error = ConnectClient(h, kEventsPipe, GENERIC_READ, 0);
    } else {
      error = clients ? ConnectClient(h) : CreateInstance(h);
    }
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
  } else if (error == 0) {
    WaitForStopFile(argv[3], kLongestHoldMs);
  }
  for (int i = 0; i < held; ++i) CloseHandle(handles[i]);
  printf("released\n");
  return error == 0 ? 0 : 1;
}
