// ZARVOCTL <host> -listen: prints the lines of a ZARVO Remote service's
// events pipe as they come; ZARVOCTL <host> -state: prints the state lines
// of its greeting and ends.
//
// Threads: the calling thread opens the pipe and reads it; a writer thread
// of its own writes to the output, so that an output nobody reads (a
// blocked console, a pipe whose reader stopped) cannot keep `quit` from
// ending the listening. That thread may still be blocked in its write when
// ListenToEvents returns: the caller ends the process (ExitProcess), which
// takes it along.
#pragma once

#include <windows.h>

// How listening ended; ZARVOCTL's exit codes.
enum ListenExit {
  kListenStopped = 0,  // `quit` was set (Ctrl+C, Ctrl+Break, the console closed), or the output's reader went
  kListenEnded = 1,    // the service ended the connection, or it went silent
  kListenBusy = 2,     // all listener places taken for kListenBusyWaitMs
  kListenRefused = 3,  // the pipe is not the service's
  kListenNoPipe = 4,   // the pipe could not be opened
};

constexpr DWORD kListenBusyWaitMs = 20000;
// The service writes an `alive` line after 30 s without another: a
// connection that stays silent this long has broken without a word (a
// remote machine gone).
constexpr DWORD kListenSilenceLimitMs = 75000;

// What is copied to the output.
enum ListenWhat {
  kListenEverything = 0,  // every line, as it comes, until one of the ends
  kListenStates = 1,      // the greeting's `state` lines; ends with
                          // kListenStopped at its `ready` line
};

// Connects to \\<host>\pipe\doraruzoz-events (waiting up to
// kListenBusyWaitMs while every listener place is taken), refuses a pipe
// not owned by LocalSystem, and copies what it reads to `out` until one of
// the ListenExit ends. Messages for the user go to the standard error.
// `quit` (manual-reset) ends it within a fraction of a second in every
// state. `silenceLimitMs` is kListenSilenceLimitMs but for tests.
int ListenToEvents(const wchar_t* host, HANDLE quit, HANDLE out,
                   DWORD silenceLimitMs = kListenSilenceLimitMs,
                   ListenWhat what = kListenEverything);
