#include "bridge/win/command_client.h"

#include <cstdio>
#include <cwchar>

#include "bridge/win/wide_text.h"
#include "client/reply_text.h"
#include "client/win/pipe_owner.h"

namespace {

constexpr DWORD kBusySliceMs = 250;
const DWORD kStopped = ERROR_OPERATION_ABORTED;

struct Connection {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  bool used = false;  // a request went over it already
};

void Close(Connection& k) {
  if (k.pipe != INVALID_HANDLE_VALUE) CloseHandle(k.pipe);
  k.pipe = INVALID_HANDLE_VALUE;
  k.used = false;
}

// Waits for an overlapped call on the pipe, at most `timeoutMs`, or until
// the stop. Returns its result as the synchronous call would; FALSE with
// ERROR_TIMEOUT or kStopped after cancelling it.
BOOL Finish(CommandClient& c, Connection& k, BOOL started, DWORD& count, DWORD timeoutMs) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
  HANDLE waits[2] = {k.overlapped.hEvent, c.stop};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
  if (woke != WAIT_OBJECT_0) {
    CancelIo(k.pipe);
    GetOverlappedResult(k.pipe, &k.overlapped, &count, TRUE);
    SetLastError(woke == WAIT_TIMEOUT ? ERROR_TIMEOUT : kStopped);
    return FALSE;
  }
  return GetOverlappedResult(k.pipe, &k.overlapped, &count, FALSE);
}

// Opens the pipe, waiting while every instance is busy. False with the
// reply text in `why` when it cannot.
bool Open(CommandClient& c, Connection& k, std::string& why) {
  ULONGLONG began = GetTickCount64();
  for (;;) {
    HANDLE pipe = CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      if (!OwnedByLocalSystem(pipe)) {
        CloseHandle(pipe);
        AcquireSRWLockExclusive(&c.lock);
        c.refusedOwner = true;
        ReleaseSRWLockExclusive(&c.lock);
        why = "Refused: the command pipe is not owned by LocalSystem, so it is not ZARVO Remote; nothing "
              "was sent.";
        return false;
      }
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        char text[120];
        std::snprintf(text, sizeof text, "The command pipe could not be set up (error %lu); nothing was sent.",
                      GetLastError());
        CloseHandle(pipe);
        why = text;
        return false;
      }
      k.pipe = pipe;
      k.used = false;
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) {
      char text[120];
      std::snprintf(text, sizeof text, "ZARVO Remote is not reachable (error %lu); nothing was sent.", error);
      why = text;
      return false;
    }
    if (GetTickCount64() - began >= kCommandBusyWaitMs) {
      why = "ZARVO Remote's connections stayed busy for 20 seconds; nothing was sent.";
      return false;
    }
    WaitNamedPipeW(c.path, kBusySliceMs);
    if (WaitForSingleObject(c.stop, 0) == WAIT_OBJECT_0) {
      why = "The bridge is stopping; nothing was sent.";
      return false;
    }
  }
}

// Reads one reply message, whose text may come in pieces (ERROR_MORE_DATA).
bool ReadReply(CommandClient& c, Connection& k, std::string& text, DWORD& error) {
  static uint8_t piece[kReplyPieceBytes];
  ReplyReader reader = {};
  std::wstring wide;
  for (;;) {
    DWORD got = 0;
    BOOL ok = Finish(c, k, ReadFile(k.pipe, piece, sizeof piece, &got, &k.overlapped), got, kCommandReplyWaitMs);
    error = ok ? 0 : GetLastError();
    bool more = error == ERROR_MORE_DATA;
    if (!ok && !more) return false;
    wchar_t units[kReplyPieceTextUnits];
    size_t n = TakeReplyText(reader, piece, got > sizeof piece ? sizeof piece : got, units, kReplyPieceTextUnits);
    wide.append(units, n);
    if (!more) break;
  }
  text = Utf8(wide.c_str(), wide.size());
  return true;
}

std::string Serve(CommandClient& c, Connection& k, const PipeRequest& request) {
  std::string why;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (k.pipe == INVALID_HANDLE_VALUE && !Open(c, k, why)) return why;
    bool reused = k.used;
    DWORD written = 0;
    BOOL sent = Finish(c, k, WriteFile(k.pipe, &request, sizeof request, &written, &k.overlapped), written,
                       kCommandReplyWaitMs);
    if (!sent) {
      DWORD error = GetLastError();
      Close(k);
      if (error == kStopped) return "The bridge is stopping; nothing was sent.";
      // A kept connection the service has closed meanwhile (it restarted,
      // or dropped an idle client): nothing of the request went out, so it
      // is sent once more on a new connection.
      if (reused && attempt == 0) continue;
      char text[120];
      std::snprintf(text, sizeof text, "The command could not be written to ZARVO Remote (error %lu).", error);
      return text;
    }
    k.used = true;
    std::string reply;
    DWORD error = 0;
    if (ReadReply(c, k, reply, error)) return reply;
    Close(k);
    if (error == ERROR_TIMEOUT) return "No reply from ZARVO Remote within 30 seconds.";
    if (error == kStopped) return "The bridge stopped before ZARVO Remote answered.";
    return "The connection to ZARVO Remote ended before it answered; the command may have been sent.";
  }
  return why;
}

DWORD WINAPI ClientThread(void* arg) {
  CommandClient& c = *static_cast<CommandClient*>(arg);
  Connection k;
  k.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE waits[2] = {c.work, c.stop};
  for (;;) {
    AcquireSRWLockExclusive(&c.lock);
    bool have = !c.jobs.empty();
    CommandJob job{};
    if (have) {
      job = c.jobs.front();
      c.jobs.pop_front();
    }
    ReleaseSRWLockExclusive(&c.lock);
    if (!have) {
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) break;
      continue;
    }
    std::string text = k.overlapped.hEvent ? Serve(c, k, job.request) : "No event for the pipe; nothing was sent.";
    AcquireSRWLockExclusive(&c.lock);
    c.replies.push_back(CommandReply{job.handle, std::move(text)});
    ReleaseSRWLockExclusive(&c.lock);
    SetEvent(c.done);
    if (WaitForSingleObject(c.stop, 0) == WAIT_OBJECT_0) break;
  }
  Close(k);
  if (k.overlapped.hEvent) CloseHandle(k.overlapped.hEvent);
  return 0;
}

}  // namespace

bool CommandClientStart(CommandClient& c, const wchar_t* path) {
  InitializeSRWLock(&c.lock);
  c.jobs.clear();
  c.replies.clear();
  c.refusedOwner = false;
  std::swprintf(c.path, sizeof c.path / sizeof c.path[0], L"%ls", path);
  c.work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  c.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  c.thread = (c.work && c.done && c.stop)
                 ? CreateThread(nullptr, 64 * 1024, ClientThread, &c, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                 : nullptr;
  if (c.thread) return true;
  for (HANDLE h : {c.work, c.done, c.stop}) {
    if (h) CloseHandle(h);
  }
  c.work = c.done = c.stop = nullptr;
  return false;
}

void CommandClientSubmit(CommandClient& c, const CommandJob& job) {
  AcquireSRWLockExclusive(&c.lock);
  c.jobs.push_back(job);
  ReleaseSRWLockExclusive(&c.lock);
  SetEvent(c.work);
}

bool CommandClientTake(CommandClient& c, std::vector<CommandReply>& out) {
  AcquireSRWLockExclusive(&c.lock);
  for (CommandReply& r : c.replies) out.push_back(std::move(r));
  c.replies.clear();
  bool refused = c.refusedOwner;
  c.refusedOwner = false;
  ReleaseSRWLockExclusive(&c.lock);
  return refused;
}

void CommandClientStop(CommandClient& c, DWORD timeoutMs) {
  if (!c.thread) return;
  SetEvent(c.stop);
  if (WaitForSingleObject(c.thread, timeoutMs) != WAIT_OBJECT_0) return;  // left to the process's end
  CloseHandle(c.thread);
  CloseHandle(c.work);
  CloseHandle(c.done);
  CloseHandle(c.stop);
  c.thread = c.work = c.done = c.stop = nullptr;
}
