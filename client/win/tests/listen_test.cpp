// Listening under conditions a user meets: every listener place taken, an
// output nobody reads, a connection that goes silent. Ctrl+C (here: the quit
// event the console handler sets) ends it within a second in every state.
// The test serves the events pipe itself, owned by LocalSystem as the
// service's is (Wine lets any program set that owner).
//
// Threads: the test thread plays the service; ListenToEvents runs on a
// thread of its own, whose result the test collects.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/win/listen.h"

namespace {

const wchar_t kEventsPipe[] = L"\\\\.\\pipe\\doraruzoz-events";

// One instance of the events pipe as the service would create it.
HANDLE ServeOneInstance() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                       &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE pipe = CreateNamedPipeW(kEventsPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                 4096, 256, 0, &attributes);
  LocalFree(descriptor);
  return pipe;
}

// ListenToEvents on a thread of its own; Wait() gives its exit code and how
// long after `since` it came, or -1 when it did not come within `ms`.
struct Listening {
  HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> exit{-1};
  std::atomic<ULONGLONG> endedMs{0};
  std::thread thread;

  Listening(HANDLE out, DWORD silenceMs = kListenSilenceLimitMs) {
    thread = std::thread([this, out, silenceMs] {
      exit = ListenToEvents(L".", quit, out, silenceMs);
      endedMs = GetTickCount64();
    });
  }
  int Wait(DWORD ms) {
    for (DWORD waited = 0; exit < 0 && waited < ms; waited += 10) Sleep(10);
    return exit;
  }
  ~Listening() {
    SetEvent(quit);
    thread.join();
    CloseHandle(quit);
  }
};

HANDLE Null() {
  return CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(Listen, QuitEndsTheWaitForAFreeListenerPlace) {
  HANDLE server = ServeOneInstance();
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  // Another listener takes the only place.
  HANDLE other = CreateFileW(kEventsPipe, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  HANDLE out = Null();
  Listening listening(out);
  Sleep(700);
  EXPECT_EQ(listening.exit.load(), -1) << "still waiting for a place";
  ULONGLONG pressed = GetTickCount64();
  SetEvent(listening.quit);
  EXPECT_EQ(listening.Wait(2000), kListenStopped);
  EXPECT_LE(listening.endedMs - pressed, 1000u);
  CloseHandle(other);
  CloseHandle(server);
  CloseHandle(out);
}

TEST(Listen, QuitEndsItWhileNobodyReadsTheOutput) {
  HANDLE server = ServeOneInstance();
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  // An output pipe whose reader never reads: it fills, and the next write
  // blocks.
  HANDLE outRead = nullptr, outWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&outRead, &outWrite, nullptr, 4096));
  Listening listening(outWrite);
  ASSERT_TRUE(ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
  // Lines, far more than the output pipe holds, until the service's own
  // writes block too.
  std::thread service([server] {
    char line[] = "2026-12-08T10:15:43.000Z - - alive\r\n";
    DWORD written = 0;
    while (WriteFile(server, line, sizeof line - 1, &written, nullptr)) {
    }
  });
  Sleep(1000);
  EXPECT_EQ(listening.exit.load(), -1) << "blocked in its output";
  ULONGLONG pressed = GetTickCount64();
  SetEvent(listening.quit);
  EXPECT_EQ(listening.Wait(2000), kListenStopped);
  EXPECT_LE(listening.endedMs - pressed, 1000u);
  DisconnectNamedPipe(server);
  CloseHandle(server);
  service.join();
  // The writer thread left blocked gets its write back as a failure.
  CloseHandle(outRead);
}

TEST(Listen, AConnectionThatGoesSilentIsTakenAsBrokenAndAServiceThatGoesAsEnded) {
  HANDLE out = Null();
  {
    HANDLE server = ServeOneInstance();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Listening listening(out, 1500);
    ULONGLONG began = GetTickCount64();
    ASSERT_TRUE(ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
    EXPECT_EQ(listening.Wait(5000), kListenEnded);
    EXPECT_GE(listening.endedMs - began, 1400u) << "not before the silence limit";
    CloseHandle(server);
  }
  {
    HANDLE server = ServeOneInstance();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Listening listening(out);
    ASSERT_TRUE(ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
    Sleep(200);
    CloseHandle(server);
    EXPECT_EQ(listening.Wait(3000), kListenEnded);
  }
  CloseHandle(out);
}

}  // namespace
