// A transceiver stuck inside the driver: the simulated library blocks every
// write and modem-status poll of a transceiver whose line says hang=1, until
// the line loses that key or goes. The stuck transceiver must hold up
// nobody: not requests to the others, not device events, not the stop. Once
// the watchdog gives up on its call, its requests are answered "ZARVO i/o
// error." at once; when the call returns, the transceiver is closed and,
// still plugged in, opened again.
//
// Threads: the test plays the pipe server (it queues requests and collects
// their outcomes through its own sink), the control thread (device events,
// stop) and the watchdog; each transceiver has its own threads, as in the
// service.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle_request.h"
#include "core/tests/event_recorder.h"
#include "devices/device_table.h"
#include "devices/transceiver_queue.h"
#include "service/service.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/process_counts.h"

namespace {

const char kThree[] =
    "device serial=EL000123\n"
    "device serial=EL000777 pid=0xE0E8\n"
    "device serial=EL000555\n";
const char kFirstHangs[] =
    "device serial=EL000123 hang=1\n"
    "device serial=EL000777 pid=0xE0E8\n"
    "device serial=EL000555\n";
const char kFirstBackWithout777[] =
    "device serial=EL000123\n"
    "device serial=EL000555\n";

// Outcomes by tag, as the pipe server's mailbox would get them.
std::mutex g_mu;
std::map<uint64_t, DeviceStatus> g_outcomes;
void Collect(uint64_t tag, DeviceStatus status) {
  std::lock_guard<std::mutex> hold(g_mu);
  g_outcomes[tag] = status;
}

// Queues a request with `tag`; returns the status when it was answered at
// once, else -1.
int64_t Submit(uint8_t iid, uint64_t tag) {
  uint8_t reply[kReplyBufferSize];
  uint32_t bytes = 0;
  PipeRequest request = StressRequest(iid);
  if (HandleRequest(request, sizeof request, tag, reply, bytes)) return -1;
  return reply[0] == 'O' ? 0 : 1;  // only "OK" starts with O
}

// Waits up to `ms` for the outcome of `tag`; -1 when none came.
int64_t Outcome(uint64_t tag, DWORD ms) {
  for (DWORD waited = 0; waited <= ms; waited += 5) {
    {
      std::lock_guard<std::mutex> hold(g_mu);
      auto it = g_outcomes.find(tag);
      if (it != g_outcomes.end()) return it->second;
    }
    Sleep(5);
  }
  return -1;
}

bool WaitUntil(bool (*done)(), DWORD ms) {
  for (DWORD waited = 0; waited <= ms; waited += 10) {
    if (done()) return true;
    Sleep(10);
  }
  return false;
}

bool FirstIsOpen() {
  std::lock_guard<std::mutex> hold(g_context.devices.guard);
  return g_context.devices.count > 0 &&
         g_context.devices.entries[0]->openStatus.load() == kStatusOk;
}

int CountEvents(AdminEvent event) {
  int n = 0;
  for (const Recorded& r : RecordedEvents()) n += r.event == event;
  return n;
}

// The counts once they have stopped changing: a transceiver thread lets go
// of its record's last events just after the stop has seen it close.
void SettledCounts(DWORD& handles, int& threads) {
  handles = ProcessHandleCount();
  threads = ProcessThreadCount();
  for (int same = 0; same < 10;) {
    Sleep(20);
    DWORD h = ProcessHandleCount();
    int t = ProcessThreadCount();
    same = (h == handles && t == threads) ? same + 1 : 0;
    handles = h;
    threads = t;
  }
}

bool CountsReturnTo(DWORD handles, int threads) {
  for (int i = 0; i < 300; ++i) {
    if (ProcessHandleCount() == handles && ProcessThreadCount() == threads) return true;
    Sleep(10);
  }
  return false;
}

TEST(StuckTransceiver, IsIsolatedAndIsOpenedAgainWhenItsCallReturns) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kThree));
  SetAdminEventSink(RecordAdminEvent);
  SetRequestOutcomeSink(Collect);
  // Warm-up: what a first open and close set up for good (the library's
  // log, the runtime's records of threads) is then in the baseline.
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  ASSERT_EQ(Submit(0, 1), -1);
  ASSERT_EQ(Outcome(1, 5000), 0);
  ServiceStop(g_context);
  TableReopen(g_context.devices);
  DWORD handlesBefore = 0;
  int threadsBefore = 0;
  SettledCounts(handlesBefore, threadsBefore);

  ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
  ASSERT_EQ(ArriveTransceiver("EL000777", L"E0E8"), 0u);
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 3);
  ASSERT_EQ(Submit(0, 10), -1) << "queued behind its open";
  ASSERT_EQ(Outcome(10, 5000), 0);

  // Hung only now: the start-up frames poll the modem status too.
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstHangs));
  uint64_t mark = SimLogMark(ProgramFolder());
  ASSERT_EQ(Submit(0, 20), -1);
  ASSERT_EQ(Submit(0, 21), -1);
  // The others are served meanwhile, at once.
  double started = NowMs();
  ASSERT_EQ(Submit(1, 22), -1);
  EXPECT_EQ(Outcome(22, 2000), 0);
  EXPECT_EQ(Outcome(20, 0), -1) << "still inside the driver";
  double healthy = NowMs() - started;

  // Past the limit (here 300 ms instead of 10 s), the watchdog gives up.
  Sleep(400);
  EXPECT_EQ(CheckStuckTransceivers(MonotonicMs(), 300), 1);
  EXPECT_EQ(Outcome(20, 0), FT_IO_ERROR);
  EXPECT_EQ(Outcome(21, 0), FT_IO_ERROR);
  EXPECT_EQ(Submit(0, 23), 1) << "answered at once";
  EXPECT_EQ(CountEvents(kAdminTransceiverStuck), 1);

  // A device event does not wait for it.
  started = NowMs();
  EXPECT_EQ(DepartTransceiver("EL000777", L"E0E8"), 0u);
  double removal = NowMs() - started;
  EXPECT_EQ(TableCount(g_context.devices), 2);

  // The call returns: closed, then opened again in its slot, and served.
  started = NowMs();
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstBackWithout777));
  WaitForSimLog(ProgramFolder(), mark, "open", 1, 5000);
  ASSERT_TRUE(WaitUntil(FirstIsOpen, 5000));
  double reopened = NowMs() - started;
  ASSERT_EQ(Submit(0, 30), -1);
  EXPECT_EQ(Outcome(30, 5000), 0);
  EXPECT_EQ(CountEvents(kAdminTransceiverReturned), 1);
  std::vector<std::string> lines;
  for (const std::string& line : SimLogSince(ProgramFolder(), mark)) {
    std::vector<std::string> f = SplitFields(line);
    if (f.size() > 2 && (f[1] == "close" || f[1] == "open")) lines.push_back(f[0] + " " + f[1]);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"EL000777 close", "EL000123 close", "EL000123 open"}));
  std::printf("with a transceiver stuck in the driver: a healthy one answered in %.0f ms, a "
              "removal took %.0f ms; reopened %.0f ms after the call returned\n",
              healthy, removal, reopened);
  EXPECT_LE(healthy, 1000.0);
  EXPECT_LE(removal, 1000.0);

  ServiceStop(g_context);
  TableReopen(g_context.devices);
  EXPECT_TRUE(CountsReturnTo(handlesBefore, threadsBefore))
      << "handles " << handlesBefore << " -> " << ProcessHandleCount() << ", threads "
      << threadsBefore << " -> " << ProcessThreadCount();
  SetAdminEventSink(nullptr);
}

// A plug-in whose open hangs (its start-up frames poll a modem that never
// answers) holds up neither the control handler nor the stop; the stop
// leaves it behind, and its thread ends once the call returns.
TEST(StuckTransceiver, AnOpenThatHangsHoldsUpNeitherTheHandlerNorTheStop) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000999 hang=1\n"
                                              "device serial=EL000555\n"));
  SetRequestOutcomeSink(Collect);
  DWORD handlesBefore = 0;
  int threadsBefore = 0;
  SettledCounts(handlesBefore, threadsBefore);
  uint64_t mark = SimLogMark(ProgramFolder());
  double started = NowMs();
  ASSERT_EQ(ArriveTransceiver("EL000999"), 0u);
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  double arrivals = NowMs() - started;
  WaitForSimLog(ProgramFolder(), mark, "open", 2, 5000);
  ASSERT_EQ(Submit(1, 40), -1);
  EXPECT_EQ(Outcome(40, 3000), 0) << "the other one is served";
  ASSERT_EQ(Submit(0, 41), -1) << "waits behind the open";

  started = NowMs();
  ServiceStop(g_context);
  double stop = NowMs() - started;
  TableReopen(g_context.devices);
  EXPECT_EQ(Outcome(41, 0), FT_IO_ERROR) << "given up on during the stop";
  std::printf("arrivals %.0f ms; stop with an open stuck inside the driver %.0f ms\n", arrivals,
              stop);
  EXPECT_LE(arrivals, 1000.0);
  EXPECT_LE(stop, kStuckCallLimitMs + 3000.0);

  // Pulled out: the hung call fails, and the thread closes and ends.
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000555\n"));
  EXPECT_TRUE(CountsReturnTo(handlesBefore, threadsBefore))
      << "handles " << handlesBefore << " -> " << ProcessHandleCount() << ", threads "
      << threadsBefore << " -> " << ProcessThreadCount();
}

}  // namespace
