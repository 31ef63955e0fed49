// ZARVOCTL: sends one FS20 command to a ZARVO Remote service over its named
// pipe and prints the answer. One thread; exit code 0 on every path.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "client/command_line.h"
#include "client/reply_text.h"
#include "core/request.h"

namespace {

constexpr DWORD kBusyWaitMs = 20000;

PipeRequest g_request;  // zero until the arguments are stored
uint8_t g_reply[kReplyPieceBytes];

void PrintUsage() {
  printf("Usage: ZARVOCTL <ip> <iid> <hc1> <hc2> <addr> <cmd> <data>\n\n");
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
    HANDLE pipe = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
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

// Reads one reply message and prints its text with one line break. A message
// longer than the buffer arrives in pieces (ERROR_MORE_DATA), which are
// printed one after the other as one text.
void PrintReply(HANDLE pipe) {
  ReplyReader reader = {};
  bool printed = false;
  for (;;) {
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, g_reply, sizeof g_reply, &got, NULL);
    bool more = !ok && GetLastError() == ERROR_MORE_DATA;
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
  DWORD mode = PIPE_READMODE_MESSAGE;
  DWORD written = 0;
  if (SetNamedPipeHandleState(pipe, &mode, NULL, NULL) &&
      WriteFile(pipe, &g_request, sizeof g_request, &written, NULL)) {
    PrintReply(pipe);
  }
  CloseHandle(pipe);
  return 0;
}
