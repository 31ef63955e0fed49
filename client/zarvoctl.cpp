// ZARVOCTL: sends one FS20 command to a ZARVO Remote service over its named
// pipe and prints the answer; exit code 0 on every path. Or, with -listen,
// prints every line of the service's events pipe as it comes, until Ctrl+C
// or the service ends; its exit code then says how it ended. With -state,
// prints the state lines of the events pipe's greeting and ends, with the
// exit codes of -listen. With -listen or -state
// the main thread reads the pipe and a writer thread writes the standard
// output, so that a blocked output cannot keep Ctrl+C from ending the
// program; the console's control handler only sets g_quit.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "client/command_line.h"
#include "client/reply_text.h"
#include "client/win/listen.h"
#include "client/win/pipe_owner.h"
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
  printf("       ZARVOCTL <ip> -listen   print what the service hears and does, as it comes\n");
  printf("       ZARVOCTL <ip> -state    print the state the service assumes for each device\n\n");
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

HANDLE g_quit = NULL;  // set by the console's control handler, with -listen

BOOL WINAPI OnConsoleControl(DWORD) {
  if (g_quit) SetEvent(g_quit);
  // Handled: the main thread ends the program with its own exit code.
  return TRUE;
}

void SayNoReply() {
  printf("No reply from the service within %d seconds.\n", static_cast<int>(kReplyWaitMs / 1000));
}

// Waits for an overlapped operation on the pipe for at most kReplyWaitMs.
// Returns its result as the synchronous call would (with GetLastError), or
// FALSE with ERROR_TIMEOUT after cancelling it. A read that ended at once
// with ERROR_MORE_DATA has completed all the same, but only the overlapped
// result says how many bytes it read (Wine leaves the call's count at 0).
BOOL Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& count) {
  if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
    return FALSE;
  }
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ListenCommand listen = ListenCommandOf(argc - 1, argv + 1);
  if (listen != kNoListenCommand) {
    g_quit = CreateEventW(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    int exit = ListenToEvents(argv[1], g_quit, GetStdHandle(STD_OUTPUT_HANDLE),
                              kListenSilenceLimitMs,
                              listen == kStateCommand ? kListenStates : kListenEverything);
    fflush(stderr);
    // Not a return through the runtime's exit: the writer thread may be
    // blocked in a write to stdout, and nothing is left to tidy.
    ExitProcess(static_cast<UINT>(exit));
  }
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
