// The events pipe and the command pipe in this process, with listeners and
// clients of the test's own: a listener that was there before its
// instance listened keeps its connection through writes that complete
// late; a listener that leaves frees its place at once; a stop frees both
// names.
//
// Threads: each pipe has its thread, as in the service; the test thread
// plays the listeners and publishes lines as the transceivers would.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/event_hub.h"
#include "pipe/events_pipe.h"
#include "pipe/pipe_server.h"

namespace {

HANDLE ConnectListener(DWORD waitMs) {
  ULONGLONG began = GetTickCount64();
  for (;;) {
    HANDLE h = CreateFileW(kEventsPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    DWORD error = GetLastError();
    ULONGLONG spent = GetTickCount64() - began;
    if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) || spent >= waitMs) return h;
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kEventsPipeName, static_cast<DWORD>(waitMs - spent));
    } else {
      Sleep(10);
    }
  }
}

// Reads until `text` has come, within `ms`; false when the connection broke
// or the time ran out. What was read is appended to `seen`.
bool ReadUntil(HANDLE h, const std::string& text, DWORD ms, std::string& seen) {
  ULONGLONG began = GetTickCount64();
  OVERLAPPED o = {};
  o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char buffer[4096];
  bool found = false;
  while (!found) {
    ULONGLONG spent = GetTickCount64() - began;
    if (spent >= ms) break;
    DWORD got = 0;
    ResetEvent(o.hEvent);
    if (!ReadFile(h, buffer, sizeof buffer, &got, &o)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(o.hEvent, static_cast<DWORD>(ms - spent)) != WAIT_OBJECT_0) {
        CancelIo(h);
        GetOverlappedResult(h, &o, &got, TRUE);
        break;
      }
      if (!GetOverlappedResult(h, &o, &got, FALSE)) break;
    }
    seen.append(buffer, got);
    found = seen.find(text) != std::string::npos;
  }
  CloseHandle(o.hEvent);
  return found;
}

std::string Line(int i) {
  char line[200];
  int n = std::snprintf(line, sizeof line,
                        "2026-12-08T10:15:00.000Z - - heard kind=unknown raw=%08X%0120d\r\n", i, 0);
  return std::string(line, n);
}

void Publish(const std::string& line) { PublishEventLine(line.data(), line.size()); }

std::vector<HANDLE> g_early;  // listeners connected before the thread listened

TEST(EventsPipe, AListenerThereBeforeItsInstanceListenedOutlivesAWriteThatCompletesLate) {
  g_eventsInstancesMade = [] {
    HANDLE h = CreateFileW(kEventsPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) g_early.push_back(h);
  };
  ASSERT_EQ(StartEventsPipe(), 0u);
  for (int i = 0; i < 500 && !EventsPipeServing(); ++i) Sleep(10);
  ASSERT_EQ(g_early.size(), 1u) << "a listener was there before the connect";
  HANDLE early = g_early[0];
  std::string seen;
  ASSERT_TRUE(ReadUntil(early, " format ", 5000, seen)) << "greeted";

  // Far more than the pipe's buffer holds while the listener reads nothing:
  // a write pends, and completes once the listener reads again.
  for (int i = 0; i < 3000; ++i) Publish(Line(i));
  Sleep(500);
  EXPECT_TRUE(ReadUntil(early, Line(2999), 15000, seen)) << "the last line came";
  Publish(Line(3000));
  EXPECT_TRUE(ReadUntil(early, Line(3000), 5000, seen)) << "and the listener is still connected";
  CloseHandle(early);
}

TEST(EventsPipe, AListenerThatLeavesFreesItsPlaceWithinASecond) {
  ASSERT_TRUE(EventsPipeServing());
  std::vector<HANDLE> eight;
  for (int i = 0; i < kEventListenerCount; ++i) {
    HANDLE h = ConnectListener(5000);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "listener " << i;
    std::string seen;
    ASSERT_TRUE(ReadUntil(h, " format ", 5000, seen)) << "listener " << i << " greeted";
    eight.push_back(h);
  }
  HANDLE ninth = CreateFileW(kEventsPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(ninth, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

  // Two leave on a quiet service: nothing is written to them.
  CloseHandle(eight[2]);
  CloseHandle(eight[5]);
  ULONGLONG left = GetTickCount64();
  for (int k : {2, 5}) {
    eight[k] = ConnectListener(1000);
    EXPECT_NE(eight[k], INVALID_HANDLE_VALUE) << "a place was free within a second";
  }
  std::printf("two places freed and taken again %llu ms after their listeners left\n",
              static_cast<unsigned long long>(GetTickCount64() - left));
  for (HANDLE h : eight) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
}

TEST(EventsPipe, AStopFreesBothPipeNames) {
  ASSERT_EQ(StartPipeServer(nullptr), 0u);
  HANDLE listener = ConnectListener(5000);
  ASSERT_NE(listener, INVALID_HANDLE_VALUE);
  std::string seen;
  ASSERT_TRUE(ReadUntil(listener, " format ", 5000, seen));

  StopPipeServer(500);
  StopEventsPipe();
  HANDLE command = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
  EXPECT_EQ(command, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the command pipe is gone";
  HANDLE events = CreateFileW(kEventsPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(events, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the events pipe is gone";
  EXPECT_FALSE(ReadUntil(listener, "\n", 1000, seen)) << "the listener's connection ended";
  CloseHandle(listener);

  // A new start serves both names again.
  ASSERT_EQ(StartPipeServer(nullptr), 0u);
  ASSERT_EQ(StartEventsPipe(), 0u);
  listener = ConnectListener(5000);
  EXPECT_NE(listener, INVALID_HANDLE_VALUE);
  if (listener != INVALID_HANDLE_VALUE) CloseHandle(listener);
  StopPipeServer(0);
  StopEventsPipe();
}

}  // namespace
