// The bridge's events reader against a pipe server of the test's own: lines
// cut anywhere come out whole and in order, an overlong line is skipped, a
// silent connection is given up and made again, a pipe not owned by
// LocalSystem is refused, and a stop ends the thread at once.
#include "bridge/win/events_reader.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Server {
  wchar_t path[64];
  bool serviceOwned;
  std::vector<std::string> chunks;  // written one by one to each listener
  HANDLE thread = nullptr;
  HANDLE done = nullptr;            // manual-reset: the test is over
  volatile LONG listeners = 0;
};

DWORD WINAPI Serve(void* arg) {
  Server& s = *static_cast<Server*>(arg);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  if (s.serviceOwned) {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                         &attributes.lpSecurityDescriptor, nullptr);
  }
  while (WaitForSingleObject(s.done, 0) == WAIT_TIMEOUT) {
    HANDLE pipe = CreateNamedPipeW(s.path, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 0, 0,
                                   s.serviceOwned ? &attributes : nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
      InterlockedIncrement(&s.listeners);
      for (const std::string& c : s.chunks) {
        DWORD written = 0;
        WriteFile(pipe, c.data(), static_cast<DWORD>(c.size()), &written, nullptr);
        Sleep(20);
      }
      // Silent from here: the reader gives the connection up, and the next
      // instance takes its new one.
      WaitForSingleObject(s.done, 1000);
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
  }
  return 0;
}

void StartServer(Server& s, const wchar_t* name, bool serviceOwned) {
  swprintf(s.path, 64, L"\\\\.\\pipe\\%ls-%lu", name, GetCurrentProcessId());
  s.serviceOwned = serviceOwned;
  s.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  s.thread = CreateThread(nullptr, 0, Serve, &s, 0, nullptr);
  Sleep(50);
}

// Waits until `count` items have come (or 5 s passed) and returns them all.
std::vector<EventsItem> Collect(EventsReader& r, size_t count, DWORD limitMs = 5000) {
  std::vector<EventsItem> items;
  ULONGLONG began = GetTickCount64();
  while (items.size() < count && GetTickCount64() - began < limitMs) {
    WaitForSingleObject(r.ready, 100);
    EventsReaderTake(r, items);
  }
  return items;
}

TEST(EventsReader, LinesComeWholeAndInOrderAndASilentConnectionIsMadeAgain) {
  Server s;
  s.chunks = {"2026 - - format\r\n20", "26 0 EL000123 pres", "ent\r\n" + std::string(5000, 'x') + "\r\nlast\n"};
  StartServer(s, L"zarvo-reader-test", true);
  EventsReader r{};
  ASSERT_TRUE(EventsReaderStart(r, s.path, 600));
  std::vector<EventsItem> items = Collect(r, 6);
  ASSERT_GE(items.size(), 6u);
  EXPECT_EQ(items[0].kind, kEventsConnected);
  EXPECT_EQ(items[1].kind, kEventsLine);
  EXPECT_EQ(items[1].text, "2026 - - format");
  EXPECT_EQ(items[2].text, "2026 0 EL000123 present");
  EXPECT_EQ(items[3].text, "last") << "the overlong line is skipped, not cut into pieces";
  EXPECT_EQ(items[4].kind, kEventsLost) << "silent for longer than the limit";
  EXPECT_EQ(items[5].kind, kEventsConnected) << "and connected again";

  ULONGLONG began = GetTickCount64();
  EventsReaderStop(r, 2000);
  EXPECT_EQ(r.thread, nullptr) << "the thread ended";
  EXPECT_LT(GetTickCount64() - began, 1000u);
  SetEvent(s.done);
  WaitForSingleObject(s.thread, 5000);
}

TEST(EventsReader, APipeNotOwnedByLocalSystemIsRefusedOnce) {
  Server s;
  s.chunks = {"2026 - - format\r\n"};
  StartServer(s, L"zarvo-impostor-test", false);
  EventsReader r{};
  ASSERT_TRUE(EventsReaderStart(r, s.path, 600));
  std::vector<EventsItem> items = Collect(r, 2, 1500);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].kind, kEventsRefused);
  EXPECT_NE(items[0].text.find("zarvo-impostor-test"), std::string::npos);
  EventsReaderStop(r, 2000);
  SetEvent(s.done);
  // The server waits in ConnectNamedPipe for nobody: let it go with the
  // process.
}

}  // namespace
