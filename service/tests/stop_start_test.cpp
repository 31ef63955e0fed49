// A stop while four clients keep requests in flight, then a start again, all
// in-process: ServiceStart finds the test prefix's two transceivers and
// starts the pipe server; ServiceStop closes and frees every record while
// the pipe server goes on serving. No request may reach a freed record:
// requests sent after the stop are answered "ZARVO device not found.", the
// driver sees no call on a closed handle, and after the second start (whose
// own pipe server thread ends at once, the first one serving on) requests
// are answered "OK" again.
//
// Threads: four client threads, each appending to its own list of
// exchanges, which the main thread reads after joining them; the main thread
// as the service's main and control thread (start and stop).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_table.h"
#include "devices/win/discovery.h"
#include "service/service.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/process_counts.h"

namespace {

constexpr int kClients = 4;
constexpr DWORD kExchangeTimeoutMs = 10000;

// A frame goes in three writes, each followed by busy polls (fewer in all
// than the gate spins before it starts to sleep), so a request spends a few
// milliseconds inside SendFrame: a stop in the middle of traffic meets one
// there.
const char kTransceivers[] =
    "device serial=EL000123 busy=60 chunk=4\n"
    "device serial=EL000777 pid=0xE0E8 busy=60 chunk=4\n";

struct Sent {
  double startMs;  // before the connection (per request) or the write
  double doneMs;
  Exchange result;
  std::wstring reply;
};

// Client `index` sends to transceiver index % 2 until told to stop; the
// first two keep one connection, the others connect for every request.
void Client(int index, const std::atomic<bool>& stop, std::vector<Sent>& log) {
  PipeClient client;
  PipeRequest request = StressRequest(static_cast<uint8_t>(index % 2));
  while (!stop) {
    Sent s;
    s.startMs = NowMs();
    if (index < 2) {
      if (client.pipe == INVALID_HANDLE_VALUE && !PipeClientOpen(client, kExchangeTimeoutMs)) {
        s.result = Exchange::kNoPipe;
      } else {
        s.result = PipeClientExchange(client, request, s.reply, kExchangeTimeoutMs);
        if (s.result != Exchange::kReply) PipeClientClose(client);
      }
    } else {
      s.result = ExchangeOnce(request, s.reply, kExchangeTimeoutMs);
    }
    s.doneMs = NowMs();
    log.push_back(s);
  }
  PipeClientClose(client);
}

std::vector<Sent> RunClients(DWORD forMs, double* stopBegin = nullptr,
                             double* stopEnd = nullptr, DWORD stopAfterMs = 0) {
  std::atomic<bool> stop{false};
  std::vector<Sent> logs[kClients];
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) clients.emplace_back(Client, i, std::cref(stop), std::ref(logs[i]));
  if (stopBegin) {
    Sleep(stopAfterMs);
    *stopBegin = NowMs();
    ServiceStop(g_context);
    *stopEnd = NowMs();
  }
  Sleep(forMs);
  stop = true;
  for (std::thread& t : clients) t.join();
  std::vector<Sent> all;
  for (auto& l : logs) all.insert(all.end(), l.begin(), l.end());
  return all;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The driver's log since `mark` shows no call on a handle it did not hand
// out or had closed ("?" as the serial), and no write to a transceiver
// between its close and its next open.
void ExpectNoCallOnAClosedHandle(uint64_t mark) {
  std::map<std::string, bool> open;
  int writes = 0, closes = 0;
  for (const std::string& line : SimLogSince(ProgramFolder(), mark)) {
    std::vector<std::string> f = SplitFields(line);
    ASSERT_GE(f.size(), 3u) << line;
    EXPECT_NE(f[0], "?") << "a call on a closed or unknown handle: " << line;
    if (f[1] == "open" && f[2] == "0") open[f[0]] = true;
    if (f[1] == "close") {
      open[f[0]] = false;
      ++closes;
    }
    if (f[1] == "write") {
      EXPECT_TRUE(open[f[0]]) << "a write after the close: " << line;
      ++writes;
    }
  }
  EXPECT_GT(writes, 0);
  EXPECT_GT(closes, 0);
}

TEST(StopStart, RequestsInFlightAtTheStopReachNoFreedRecordAndASecondStartServesAgain) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kTransceivers));
  uint64_t mark = SimLogMark(ProgramFolder());

  ASSERT_EQ(ServiceStart(g_context), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 2) << "the test prefix lists two transceivers";
  for (uint8_t iid : {0, 1}) {
    std::wstring reply;
    ASSERT_EQ(ExchangeOnce(StressRequest(iid), reply, kExchangeTimeoutMs), Exchange::kReply);
    ASSERT_EQ(reply, L"OK");
  }

  double stopBegin = 0, stopEnd = 0;
  std::vector<Sent> first = RunClients(300, &stopBegin, &stopEnd, 500);
  EXPECT_EQ(TableCount(g_context.devices), 0);
  int okBefore = 0, notFoundAfter = 0, inFlight = 0;
  for (const Sent& s : first) {
    ASSERT_EQ(s.result, Exchange::kReply) << ExchangeName(s.result);
    EXPECT_TRUE(s.reply == L"OK" || s.reply == L"ZARVO device not found.") << Narrow(s.reply);
    if (s.doneMs < stopBegin) {
      EXPECT_EQ(s.reply, L"OK");
      ++okBefore;
    } else if (s.startMs > stopEnd) {
      EXPECT_EQ(s.reply, L"ZARVO device not found.");
      ++notFoundAfter;
    } else {
      ++inFlight;
    }
  }
  std::printf("stop took %.0f ms; %d requests answered before it, %d in flight across it, "
              "%d sent after it\n", stopEnd - stopBegin, okBefore, inFlight, notFoundAfter);
  EXPECT_GT(okBefore, 0);
  EXPECT_GT(inFlight, 0);
  EXPECT_GT(notFoundAfter, 0);
  ExpectNoCallOnAClosedHandle(mark);

  // The second start: the transceivers come back, and its pipe server
  // thread ends at once (one server per process), so afterwards the process
  // runs the two transceivers' threads (each its own and a reader) more
  // than before and nothing else.
  int threadsBefore = ProcessThreadCount();
  ASSERT_EQ(ServiceStart(g_context), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 2);
  int threadsAfter = 0;
  for (int i = 0; i < 100 && (threadsAfter = ProcessThreadCount()) != threadsBefore + 4; ++i) {
    Sleep(20);
  }
  EXPECT_EQ(threadsAfter, threadsBefore + 4);

  std::vector<Sent> second = RunClients(300);
  int ok = 0;
  for (const Sent& s : second) {
    ASSERT_EQ(s.result, Exchange::kReply) << ExchangeName(s.result);
    EXPECT_EQ(s.reply, L"OK");
    ok += s.reply == L"OK";
  }
  std::printf("after the second start: %d requests, all OK\n", ok);
  EXPECT_GT(ok, 0);

  ServiceStop(g_context);
  EXPECT_EQ(TableCount(g_context.devices), 0);
  ExpectNoCallOnAClosedHandle(mark);
}

// A stop carried out to the end (the handler's, here without a worker
// thread) closes both pipes before it reports STOPPED: a thread caught in a
// kernel driver may keep the process alive on Windows, and its pipes must
// not keep their names from the next start. A start registers for device
// events before it walks the devices, so that one plugged in meanwhile is
// not missed.
bool g_registeredBeforeTheWalk = false;

TEST(StopStart, AStopClosesBothPipesAndAStartRegistersForDeviceEventsBeforeItsWalk) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kTransceivers));
  // No service manager here: a stand-in status handle, so that the start
  // registers (Wine accepts the registration and never delivers an event).
  g_context.statusHandle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234));
  g_startWalkBegins = [](ServiceContext& context) {
    g_registeredBeforeTheWalk = context.notifyHandle != nullptr;
  };
  ASSERT_EQ(ServiceStart(g_context), 0u);
  g_startWalkBegins = nullptr;
  EXPECT_TRUE(g_registeredBeforeTheWalk);
  g_context.statusHandle = nullptr;
  std::wstring reply;
  ASSERT_EQ(ExchangeOnce(StressRequest(0), reply, kExchangeTimeoutMs), Exchange::kReply);

  g_context.status.currentState = SERVICE_RUNNING;
  ASSERT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(g_context.notifyHandle, nullptr);
  for (const wchar_t* name : {L"\\\\.\\pipe\\doraruzoz", L"\\\\.\\pipe\\doraruzoz-events"}) {
    HANDLE h = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << Narrow(name);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Narrow(name) << " is gone";
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }

  ASSERT_EQ(ServiceStart(g_context), 0u) << "a new start has both names again";
  ASSERT_EQ(ExchangeOnce(StressRequest(0), reply, kExchangeTimeoutMs), Exchange::kReply);
  EXPECT_EQ(reply, L"OK");
  ServiceStop(g_context);
}

}  // namespace
