#include "bridge/win/events_reader.h"

#include <cstdio>
#include <cwchar>

#include "client/win/pipe_owner.h"

namespace {

// A line longer than this is no line of the service's: it is skipped up to
// its end rather than buffered.
constexpr size_t kLongestLine = 4096;
// How long a refused pipe is left alone before the next look.
constexpr DWORD kRefusedRetryMs = 5000;

void Post(EventsReader& r, EventsItemKind kind, std::string text) {
  AcquireSRWLockExclusive(&r.lock);
  bool take = kind != kEventsLine || r.items.size() < kEventsQueueMax;
  if (take) {
    r.items.push_back(EventsItem{kind, std::move(text)});
  } else {
    ++r.dropped;
  }
  ReleaseSRWLockExclusive(&r.lock);
  if (take) SetEvent(r.ready);
}

// Splits what was read into lines. `partial` holds the start of a line that
// has not ended yet; `skipping` is set while an overlong line runs on.
void TakeBytes(EventsReader& r, const char* bytes, DWORD count, std::string& partial, bool& skipping) {
  for (DWORD i = 0; i < count; ++i) {
    char c = bytes[i];
    if (c == '\n') {
      if (!skipping) {
        while (!partial.empty() && partial.back() == '\r') partial.pop_back();
        Post(r, kEventsLine, std::move(partial));
      }
      partial.clear();
      skipping = false;
    } else if (!skipping) {
      partial.push_back(c);
      if (partial.size() > kLongestLine) {
        partial.clear();
        skipping = true;
      }
    }
  }
}

// Reads lines until the connection ends. Returns why it ended, or null when
// the thread is to stop.
const char* Relay(EventsReader& r, HANDLE pipe) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return "no event for reading";
  HANDLE waits[3] = {overlapped.hEvent, r.stop, r.reconnect};
  static char buffer[4096];
  std::string partial;
  bool skipping = false;
  const char* why = nullptr;
  ULONGLONG heard = GetTickCount64();
  for (;;) {
    DWORD got = 0;
    ResetEvent(overlapped.hEvent);
    BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &got, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      ULONGLONG quiet = GetTickCount64() - heard;
      DWORD left = quiet >= r.silenceLimitMs ? 0 : static_cast<DWORD>(r.silenceLimitMs - quiet);
      DWORD woke = WaitForMultipleObjects(3, waits, FALSE, left);
      if (woke != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, &overlapped, &got, TRUE);
        if (woke == WAIT_TIMEOUT) {
          why = "no line from the service for 75 seconds";
        } else if (woke == WAIT_OBJECT_0 + 2) {
          why = "the bridge connects again for its new settings";
        }
        break;
      }
      ok = GetOverlappedResult(pipe, &overlapped, &got, FALSE);
    }
    if (!ok && GetLastError() != ERROR_MORE_DATA) {
      why = "the service ended the connection (it stopped, or the connection broke)";
      break;
    }
    heard = GetTickCount64();
    TakeBytes(r, buffer, got, partial, skipping);
  }
  CloseHandle(overlapped.hEvent);
  return why;
}

DWORD WINAPI ReaderThread(void* arg) {
  EventsReader& r = *static_cast<EventsReader*>(arg);
  bool refusedSaid = false;
  for (;;) {
    if (WaitForSingleObject(r.stop, 0) == WAIT_OBJECT_0) break;
    // Identification only: whoever is at the other end cannot act with our
    // account.
    HANDLE pipe = CreateFileW(r.path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      // Not there (the service is stopped) or every listener place taken.
      WaitForSingleObject(r.stop, kEventsRetryMs);
      continue;
    }
    if (!OwnedByLocalSystem(pipe)) {
      CloseHandle(pipe);
      if (!refusedSaid) {
        char path[128];
        std::snprintf(path, sizeof path, "%ls", r.path);
        Post(r, kEventsRefused, path);
      }
      refusedSaid = true;
      WaitForSingleObject(r.stop, kRefusedRetryMs);
      continue;
    }
    refusedSaid = false;
    Post(r, kEventsConnected, std::string());
    const char* why = Relay(r, pipe);
    CloseHandle(pipe);
    if (!why) break;
    Post(r, kEventsLost, why);
  }
  return 0;
}

}  // namespace

bool EventsReaderStart(EventsReader& r, const wchar_t* path, DWORD silenceLimitMs) {
  InitializeSRWLock(&r.lock);
  r.items.clear();
  r.dropped = 0;
  r.silenceLimitMs = silenceLimitMs;
  std::swprintf(r.path, sizeof r.path / sizeof r.path[0], L"%ls", path);
  r.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  r.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  r.reconnect = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  r.thread = (r.ready && r.stop && r.reconnect)
                 ? CreateThread(nullptr, 64 * 1024, ReaderThread, &r, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                 : nullptr;
  if (r.thread) return true;
  for (HANDLE h : {r.ready, r.stop, r.reconnect}) {
    if (h) CloseHandle(h);
  }
  r.ready = r.stop = r.reconnect = nullptr;
  return false;
}

uint64_t EventsReaderTake(EventsReader& r, std::vector<EventsItem>& out) {
  AcquireSRWLockExclusive(&r.lock);
  for (EventsItem& item : r.items) out.push_back(std::move(item));
  r.items.clear();
  uint64_t dropped = r.dropped;
  r.dropped = 0;
  ReleaseSRWLockExclusive(&r.lock);
  return dropped;
}

void EventsReaderStop(EventsReader& r, DWORD timeoutMs) {
  if (!r.thread) return;
  SetEvent(r.stop);
  if (WaitForSingleObject(r.thread, timeoutMs) != WAIT_OBJECT_0) {
    // Still inside a call that ignores the stop: the record and its handles
    // stay for it; the process ends soon after.
    return;
  }
  CloseHandle(r.thread);
  CloseHandle(r.ready);
  CloseHandle(r.stop);
  CloseHandle(r.reconnect);
  r.thread = r.ready = r.stop = r.reconnect = nullptr;
}
