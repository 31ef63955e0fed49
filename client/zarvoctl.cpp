// ZARVOCTL: sends one FS20 command to a ZARVO Remote service over its named
// pipe and prints the answer; exit code 0 on every path. Or, with -listen,
// prints every line of the service's events pipe as it comes, until Ctrl+C
// or the service ends; its exit code then says how it ended. One thread,
// and the console's control handler, which only sets g_quit.
#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <cwchar>

#include "client/command_line.h"
#include "client/reply_text.h"
#include "core/request.h"

namespace {

constexpr DWORD kBusyWaitMs = 20000;
// A reply takes at most a few seconds, even behind three other clients and a
// transceiver that is slow to become ready.
constexpr DWORD kReplyWaitMs = 30000;

PipeRequest g_request;  // zero until the arguments are stored
uint8_t g_reply[kReplyPieceBytes];

void PrintUsage() {
  printf("Usage: ZARVOCTL <ip> <iid> <hc1> <hc2> <addr> <cmd> <data>\n");
  printf("       ZARVOCTL <ip> -listen   print what the service hears and does, as it comes\n\n");
  printf("<ip>    ZARVO Remote Service IP-Address, dot (.) if localhost\n");
  printf("<iid>   instance id of ZARVO (0: first ZARVO, 1, second ZARVO, ...)\n");
  printf("<hc1>   house code high byte in FS20 standard notation\n");
  printf("<hc2>   house code low bye in FS20 standard notation\n");
  printf("<addr>  address of FS20 device in standard notation\n");
  printf("<cmd>   FS20 command byte\n");
  printf("<data>  additional data byte (duration, speed)\n\n");
}

// Opens the pipe, waiting while every instance is busy. Prints why it failed
// and returns INVALID_HANDLE_VALUE when it cannot.
HANDLE OpenPipe(const wchar_t* path) {
  for (;;) {
    // Identification only: a program that took the pipe name may learn who
    // we are, but cannot act with our account.
    HANDLE pipe = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION |
                                  FILE_FLAG_OVERLAPPED,
                              NULL);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) {
      printf("Failed to connect. Error %d\n", static_cast<int>(error));
      return INVALID_HANDLE_VALUE;
    }
    // Another client may take the freed instance first; then the open is
    // busy again and we wait again.
    if (!WaitNamedPipeW(path, kBusyWaitMs)) {
      printf("Too many simultanious connections.");
      return INVALID_HANDLE_VALUE;
    }
  }
}

// True when the pipe is owned by LocalSystem, as the service's pipe is. A
// program without administrator rights cannot create a pipe with that owner,
// so this tells the service from a program that took its name. Reading the
// owner needs only the read access every client has, also across the
// network.
bool OwnedByLocalSystem(HANDLE pipe) {
  PSID owner = NULL;
  PSECURITY_DESCRIPTOR descriptor = NULL;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL,
                      NULL, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  bool ok = owner && CreateWellKnownSid(WinLocalSystemSid, NULL, system, &size) &&
            EqualSid(owner, system);
  LocalFree(descriptor);
  return ok;
}

void SayNoReply() {
  printf("No reply from the service within %d seconds.\n", static_cast<int>(kReplyWaitMs / 1000));
}

// Waits for an overlapped operation on the pipe for at most kReplyWaitMs.
// Returns its result as the synchronous call would (with GetLastError), or
// FALSE with ERROR_TIMEOUT after cancelling it.
BOOL Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& count) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
  if (WaitForSingleObject(overlapped.hEvent, kReplyWaitMs) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, &overlapped, &count, TRUE);
    SetLastError(ERROR_TIMEOUT);
    return FALSE;
  }
  return GetOverlappedResult(pipe, &overlapped, &count, FALSE);
}

// Reads one reply message and prints its text with one line break. A message
// longer than the buffer arrives in pieces (ERROR_MORE_DATA), which are
// printed one after the other as one text.
void PrintReply(HANDLE pipe, OVERLAPPED& overlapped) {
  ReplyReader reader = {};
  bool printed = false;
  for (;;) {
    DWORD got = 0;
    BOOL ok = Finish(pipe, overlapped, ReadFile(pipe, g_reply, sizeof g_reply, &got, &overlapped),
                     got);
    DWORD error = ok ? 0 : GetLastError();
    bool more = error == ERROR_MORE_DATA;
    if (error == ERROR_TIMEOUT) {
      if (printed) fputws(L"\n", stdout);
      SayNoReply();
      return;
    }
    if (!ok && !more) break;  // the service dropped the connection
    wchar_t text[kReplyPieceTextUnits];
    TakeReplyText(reader, g_reply, got > sizeof g_reply ? sizeof g_reply : got, text,
                  kReplyPieceTextUnits);
    fputws(text, stdout);
    printed = true;
    if (!more) break;
  }
  if (printed) fputws(L"\n", stdout);
}

// The listening form's exit codes.
enum ListenExit {
  kListenStopped = 0,     // Ctrl+C, Ctrl+Break, the console closed, or stdout's reader gone
  kListenEnded = 1,       // the service ended the connection
  kListenBusy = 2,        // all listeners taken for kBusyWaitMs
  kListenRefused = 3,     // the pipe is not the service's
  kListenNoPipe = 4,      // the pipe could not be opened
};

HANDLE g_quit = NULL;  // set by the console's control handler

BOOL WINAPI OnConsoleControl(DWORD) {
  if (g_quit) SetEvent(g_quit);
  // Handled: the main thread ends the program with its own exit code.
  return TRUE;
}

// Writes to stdout as it is, no text-mode translation; false when whoever
// read stdout has gone.
bool WriteOut(const char* bytes, DWORD count) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(out, bytes, count, &written, NULL) || written == 0) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

int Listen(const wchar_t* host) {
  fprintf(stderr, "\nZARVOCTL - Client Application for ZARVO Remote Service access\n");
  fprintf(stderr, "Prints the lines of a ZARVO Remote service's events pipe as they come.\n\n");
  wchar_t path[kPipePathUnits];
  if (!FormatEventsPipePath(host, path, kPipePathUnits)) {
    fprintf(stderr, "The <ip> argument is too long: at most %d characters.\n",
            static_cast<int>(kLongestHostName - 7));
    return kListenNoPipe;
  }
  g_quit = CreateEventW(NULL, TRUE, FALSE, NULL);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (;;) {
    pipe = CreateFileW(path, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED, NULL);
    if (pipe != INVALID_HANDLE_VALUE) break;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY) {
      if (WaitNamedPipeW(path, kBusyWaitMs)) continue;
      fprintf(stderr, "All listeners of the service are taken; none became free within %d seconds.\n",
              static_cast<int>(kBusyWaitMs / 1000));
      return kListenBusy;
    }
    wchar_t text[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                   text, 256, NULL);
    fprintf(stderr, "Failed to connect to the events pipe. Error %d: %ls\n",
            static_cast<int>(error), text);
    return kListenNoPipe;
  }
  if (!OwnedByLocalSystem(pipe)) {
    fprintf(stderr, "Refused: the events pipe is not owned by LocalSystem, so it is not the ZARVO "
                    "Remote service.\n");
    CloseHandle(pipe);
    return kListenRefused;
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE waits[2] = {overlapped.hEvent, g_quit};
  static char buffer[4096];
  for (;;) {
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &got, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, &overlapped, &got, TRUE);
        CloseHandle(pipe);
        return kListenStopped;
      }
      ok = GetOverlappedResult(pipe, &overlapped, &got, FALSE);
    }
    if (!ok) {
      fprintf(stderr, "The service ended the connection: it stopped, or the connection broke.\n");
      CloseHandle(pipe);
      return kListenEnded;
    }
    if (!WriteOut(buffer, got)) {
      CloseHandle(pipe);
      return kListenStopped;
    }
    if (WaitForSingleObject(g_quit, 0) == WAIT_OBJECT_0) {
      CloseHandle(pipe);
      return kListenStopped;
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (IsListenCommand(argc - 1, argv + 1)) return Listen(argv[1]);
  printf("\nZARVOCTL - Client Application for ZARVO Remote Service access\n");
  printf("Relays FS20 commands to a ZARVO Remote service over its named pipe.\n\n");

  if (!BuildPipeRequest(argc - 1, argv + 1, g_request)) {
    PrintUsage();
    return 0;
  }
  wchar_t path[kPipePathUnits];
  if (!FormatPipePath(argv[1], path, kPipePathUnits)) {
    printf("The <ip> argument is too long: at most %d characters.\n",
           static_cast<int>(kLongestHostName));
    return 0;
  }

  HANDLE pipe = OpenPipe(path);
  if (pipe == INVALID_HANDLE_VALUE) return 0;
  if (!OwnedByLocalSystem(pipe)) {
    printf("Refused: the pipe is not owned by LocalSystem, so it is not the ZARVO Remote "
           "service; nothing was sent.\n");
    CloseHandle(pipe);
    return 0;
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  DWORD mode = PIPE_READMODE_MESSAGE;
  DWORD written = 0;
  if (overlapped.hEvent && SetNamedPipeHandleState(pipe, &mode, NULL, NULL)) {
    BOOL sent = Finish(pipe, overlapped,
                       WriteFile(pipe, &g_request, sizeof g_request, &written, &overlapped),
                       written);
    if (sent) {
      PrintReply(pipe, overlapped);
    } else if (GetLastError() == ERROR_TIMEOUT) {
      SayNoReply();
    }
  }
  if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
  CloseHandle(pipe);
  return 0;
}
