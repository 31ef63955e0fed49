// The bridge's listener on ZARVO Remote's events pipe
// (\\.\pipe\doraruzoz-events): connects, refuses a pipe whose owner is not
// LocalSystem (whoever holds the name while the service is down could feed
// false states), reads the lines and hands them to the loop in order,
// together with the connection's coming and going. 75 s without a byte (the
// service writes `alive` after 30 s of silence) counts as the service gone;
// then, and whenever the pipe breaks or is not there, it connects again
// every second until the service is back.
//
// Threads: the reader thread owns the pipe handle and its buffer. It and
// the loop thread share `items` (the queue, at most kEventsQueueMax) and
// `dropped`, under `lock`; `ready` (auto-reset) tells the loop there is
// something to take. `reconnect` is set by the loop to drop the connection
// and take a fresh greeting; `stop` ends the thread (EventsReaderStop waits
// for it).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

constexpr DWORD kEventsSilenceLimitMs = 75000;
constexpr DWORD kEventsRetryMs = 1000;
// A queue this long means the loop is not taking lines at all; later lines
// are dropped and counted rather than filling memory.
constexpr size_t kEventsQueueMax = 20000;

enum EventsItemKind : uint8_t {
  kEventsConnected = 0,  // a connection began: its greeting follows
  kEventsLine,           // one line, without its line end
  kEventsLost,           // the connection ended: text says why
  kEventsRefused,        // a pipe not owned by LocalSystem was refused (once until connected again)
};

struct EventsItem {
  EventsItemKind kind;
  std::string text;
};

struct EventsReader {
  SRWLOCK lock;
  std::deque<EventsItem> items;  // lock
  uint64_t dropped;              // lock: lines dropped because the queue was full
  HANDLE ready;                  // auto-reset: items were added
  HANDLE stop;                   // manual-reset: end the thread
  HANDLE reconnect;              // auto-reset: end this connection and connect again
  HANDLE thread;
  DWORD silenceLimitMs;
  wchar_t path[64];
};

// Starts the reader thread on `path`. False when a handle or the thread
// could not be made.
bool EventsReaderStart(EventsReader& r, const wchar_t* path, DWORD silenceLimitMs = kEventsSilenceLimitMs);
// Moves everything queued into `out` (appended) and returns how many lines
// were dropped since the last call.
uint64_t EventsReaderTake(EventsReader& r, std::vector<EventsItem>& out);
// Ends the thread, waiting at most `timeoutMs`; then closes the handles.
void EventsReaderStop(EventsReader& r, DWORD timeoutMs);
