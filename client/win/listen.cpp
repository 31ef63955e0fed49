#include "client/win/listen.h"

#include <cstdio>
#include <cstring>

#include "client/command_line.h"
#include "client/win/pipe_owner.h"
#include "core/event_line.h"

namespace {

// How often a wait for a free listener place looks at Ctrl+C.
constexpr DWORD kBusySliceMs = 250;

// Writes to the output as it is, no text-mode translation; false when
// whoever read it has gone.
bool WriteOut(HANDLE out, const char* bytes, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(out, bytes, count, &written, NULL) || written == 0) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

// The output is written on a thread of its own: a write to a console or a
// pipe whose reader does not read blocks, and `quit` must end the listening
// all the same. The reading thread hands over one buffer at a time and waits
// for it to be written, or for `quit`. A writer left blocked keeps its
// record (it is never freed; the process ends soon after).
struct Writer {
  HANDLE out;
  HANDLE ready;    // auto-reset: a buffer was handed over
  HANDLE written;  // auto-reset: it was written (or the reader has gone)
  const char* bytes;
  DWORD count;
  bool failed;     // the output's reader has gone
  char buffer[4096];  // what the reading thread read last
};

DWORD WINAPI WriterThread(void* arg) {
  Writer& w = *static_cast<Writer*>(arg);
  for (;;) {
    WaitForSingleObject(w.ready, INFINITE);
    if (!WriteOut(w.out, w.bytes, w.count)) w.failed = true;
    SetEvent(w.written);
  }
}

// False when `quit` came first or the output's reader has gone.
bool WriteLines(Writer& w, HANDLE quit, const char* bytes, DWORD count) {
  w.bytes = bytes;
  w.count = count;
  SetEvent(w.ready);
  HANDLE waits[2] = {w.written, quit};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return false;
  return !w.failed;
}

// Opens the events pipe, waiting while every listener place is taken, for
// at most kListenBusyWaitMs; `quit` ends the wait at once.
// INVALID_HANDLE_VALUE with the exit code in `exit` when it could not.
HANDLE OpenEventsPipe(const wchar_t* path, HANDLE quit, int& exit) {
  ULONGLONG began = GetTickCount64();
  for (;;) {
    HANDLE pipe = CreateFileW(path, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED,
                              NULL);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY) {
      if (GetTickCount64() - began >= kListenBusyWaitMs) {
        fprintf(stderr, "All listeners of the service are taken; none became free within %d seconds.\n",
                static_cast<int>(kListenBusyWaitMs / 1000));
        exit = kListenBusy;
        return INVALID_HANDLE_VALUE;
      }
      // In short slices, so that Ctrl+C is seen meanwhile.
      WaitNamedPipeW(path, kBusySliceMs);
      if (WaitForSingleObject(quit, 0) == WAIT_OBJECT_0) {
        exit = kListenStopped;
        return INVALID_HANDLE_VALUE;
      }
      continue;
    }
    wchar_t text[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                   text, 256, NULL);
    fprintf(stderr, "Failed to connect to the events pipe. Error %d: %ls\n",
            static_cast<int>(error), text);
    exit = kListenNoPipe;
    return INVALID_HANDLE_VALUE;
  }
}

// Picks the greeting's state lines out of what is read, for -state: bytes
// are gathered into whole lines across reads; a line longer than the
// grammar allows is passed over to its end. Reading thread only.
struct StateFilter {
  char line[kEventLineMax];
  size_t length;
  bool overlong;  // the line being gathered is passed over
  bool ready;     // the greeting's end was seen
  char out[sizeof Writer::buffer + kEventLineMax];  // the state lines of one read
};

// "TIME - - WORD ...": the word of a line that belongs to no transceiver.
bool HasWord(const char* line, size_t length, const char* word) {
  constexpr size_t kTime = 24;
  size_t n = std::strlen(word);
  return length > kTime + 5 + n && std::memcmp(line + kTime, " - - ", 5) == 0 &&
         std::memcmp(line + kTime + 5, word, n) == 0 &&
         (line[kTime + 5 + n] == ' ' || line[kTime + 5 + n] == '\r' ||
          line[kTime + 5 + n] == '\n');
}

// Takes `count` read bytes; returns how many bytes of state lines it put in
// `f.out`. Stops at the ready line.
DWORD FilterStates(StateFilter& f, const char* bytes, DWORD count) {
  DWORD out = 0;
  for (DWORD i = 0; i < count && !f.ready; ++i) {
    char c = bytes[i];
    if (!f.overlong) {
      if (f.length == sizeof f.line) {
        f.overlong = true;
      } else {
        f.line[f.length++] = c;
      }
    }
    if (c != '\n') continue;
    if (!f.overlong) {
      if (HasWord(f.line, f.length, "state")) {
        std::memcpy(f.out + out, f.line, f.length);
        out += static_cast<DWORD>(f.length);
      } else if (HasWord(f.line, f.length, "ready")) {
        f.ready = true;
      }
    }
    f.length = 0;
    f.overlong = false;
  }
  return out;
}

// Reads the lines as they come and hands them (or, for kListenStates, the
// greeting's state lines) to the writer, until `quit`, the service ends the
// connection, it stays silent too long, the output's reader goes, or the
// greeting has ended (kListenStates).
int Relay(HANDLE pipe, HANDLE quit, Writer& writer, DWORD silenceLimitMs, ListenWhat what) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (!overlapped.hEvent) return kListenNoPipe;
  HANDLE waits[2] = {overlapped.hEvent, quit};
  int exit = kListenStopped;
  char* buffer = writer.buffer;
  // Never freed, as the writer: a writer left blocked may still write from it.
  StateFilter* filter = what == kListenStates ? new StateFilter() : nullptr;
  ULONGLONG heard = GetTickCount64();  // when the last bytes came
  for (;;) {
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, buffer, sizeof writer.buffer, &got, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      ULONGLONG quiet = GetTickCount64() - heard;
      DWORD left = quiet >= silenceLimitMs ? 0 : static_cast<DWORD>(silenceLimitMs - quiet);
      DWORD woke = WaitForMultipleObjects(2, waits, FALSE, left);
      if (woke != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, &overlapped, &got, TRUE);
        if (woke == WAIT_TIMEOUT) {
          fprintf(stderr, "No line from the service for %d seconds: the connection is taken as "
                          "broken.\n",
                  static_cast<int>(silenceLimitMs / 1000));
          exit = kListenEnded;
        }
        break;
      }
      ok = GetOverlappedResult(pipe, &overlapped, &got, FALSE);
    }
    if (!ok) {
      fprintf(stderr, "The service ended the connection: it stopped, or the connection broke.\n");
      exit = kListenEnded;
      break;
    }
    heard = GetTickCount64();
    if (what == kListenStates) {
      DWORD states = FilterStates(*filter, buffer, got);
      if (states > 0 && !WriteLines(writer, quit, filter->out, states)) break;
      if (filter->ready) break;
    } else if (got > 0 && !WriteLines(writer, quit, buffer, got)) {
      break;
    }
    if (WaitForSingleObject(quit, 0) == WAIT_OBJECT_0) break;
  }
  CloseHandle(overlapped.hEvent);
  return exit;
}

}  // namespace

int ListenToEvents(const wchar_t* host, HANDLE quit, HANDLE out, DWORD silenceLimitMs,
                   ListenWhat what) {
  fprintf(stderr, "\nZARVOCTL - Client Application for ZARVO Remote Service access\n");
  if (what == kListenStates) {
    fprintf(stderr, "Prints the state a ZARVO Remote service assumes for each device it knows.\n\n");
  } else {
    fprintf(stderr, "Prints the lines of a ZARVO Remote service's events pipe as they come.\n\n");
  }
  wchar_t path[kPipePathUnits];
  if (!FormatEventsPipePath(host, path, kPipePathUnits)) {
    fprintf(stderr, "The <ip> argument is too long: at most %d characters.\n",
            static_cast<int>(kLongestHostName - 7));
    return kListenNoPipe;
  }
  // Never freed: a writer left blocked in its write still uses it.
  Writer* writer = new Writer();
  writer->out = out;
  writer->ready = CreateEventW(NULL, FALSE, FALSE, NULL);
  writer->written = CreateEventW(NULL, FALSE, FALSE, NULL);
  if (!quit || !writer->ready || !writer->written) return kListenNoPipe;
  int exit = kListenStopped;
  HANDLE pipe = OpenEventsPipe(path, quit, exit);
  if (pipe == INVALID_HANDLE_VALUE) return exit;
  if (!OwnedByLocalSystem(pipe)) {
    fprintf(stderr, "Refused: the events pipe is not owned by LocalSystem, so it is not the ZARVO "
                    "Remote service.\n");
    CloseHandle(pipe);
    return kListenRefused;
  }
  HANDLE thread = CreateThread(NULL, 64 * 1024, WriterThread, writer,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (!thread) {
    CloseHandle(pipe);
    return kListenNoPipe;
  }
  CloseHandle(thread);
  exit = Relay(pipe, quit, *writer, silenceLimitMs, what);
  CloseHandle(pipe);
  return exit;
}
