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
#include "devices/device_channel.h"
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

int CountEvents(AdminEvent event, const char* serial = nullptr) {
  int n = 0;
  for (const Recorded& r : RecordedEvents()) {
    n += r.event == event && (!serial || (!r.inserts.empty() && r.inserts[0] == serial));
  }
  return n;
}

// Waits until the transceiver has reported `count` opens (an open is
// reported once the record counts as open, its status published first).
// The open status alone cannot tell: it still reads OK from before a hang
// until the reopen marks it pending again.
bool WaitForOpenReports(const char* serial, int count, DWORD ms) {
  for (DWORD waited = 0; waited <= ms; waited += 10) {
    if (CountEvents(kAdminTransceiverPluggedIn, serial) >= count) return true;
    Sleep(10);
  }
  return false;
}

int SlotOf(const char* serial) { return TableFindSerial(g_context.devices, serial); }

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

// Has every transceiver closed as the stop does, and expects the process's
// handles and threads back where they were.
void StopAndExpectCountsBack(DWORD handles, int threads) {
  ServiceStop(g_context);
  TableReopen(g_context.devices);
  EXPECT_TRUE(CountsReturnTo(handles, threads))
      << "handles " << handles << " -> " << ProcessHandleCount() << ", threads " << threads
      << " -> " << ProcessThreadCount();
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
  // All three opened before the log is marked: the opens run on the
  // transceivers' own threads, in any order.
  ASSERT_TRUE(WaitForOpens(5000));

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
  int opened = CountEvents(kAdminTransceiverPluggedIn, "EL000123");
  started = NowMs();
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstBackWithout777));
  ASSERT_TRUE(WaitForOpenReports("EL000123", opened + 1, 10000));
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

  StopAndExpectCountsBack(handlesBefore, threadsBefore);
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

// The administrator replugs a transceiver whose call is stuck, as the guide
// advises, and the driver does not let the call go. The new record must
// not wait for the old one's handle without limit: its requests are served
// once it gives up waiting and the driver lets it open (or answered with
// the driver's refusal), never left waiting. When the old call finally
// returns, the old record closes and nothing is left over.
TEST(StuckTransceiver, AReplugWhileItsCallIsStuckDoesNotLeaveTheNewRecordWaiting) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123 hangpulled=1\n"
                                              "device serial=EL000555\n"));
  SetAdminEventSink(RecordAdminEvent);
  ClearRecordedEvents();
  SetRequestOutcomeSink(Collect);
  DWORD handlesBefore = 0;
  int threadsBefore = 0;
  SettledCounts(handlesBefore, threadsBefore);
  ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  ASSERT_TRUE(WaitForOpenReports("EL000123", 1, 5000));

  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123 hang=1 hangpulled=1\n"
                                              "device serial=EL000555\n"));
  ASSERT_EQ(Submit(0, 50), -1);

  // Pulled out and plugged in again before the watchdog looks; the old
  // call goes on hanging.
  uint64_t mark = SimLogMark(ProgramFolder());
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000555\n"));
  WaitForSimLog(ProgramFolder(), mark, "pulled", 1, 5000);
  EXPECT_EQ(DepartTransceiver("EL000123"), 0u);
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123 hangpulled=1\n"
                                              "device serial=EL000555\n"));
  EXPECT_EQ(ArriveTransceiver("EL000123"), 0u);
  int slot = SlotOf("EL000123");
  ASSERT_EQ(slot, 1) << "the new record comes last";
  Sleep(400);
  EXPECT_EQ(CheckStuckTransceivers(MonotonicMs(), 300), 1);
  EXPECT_EQ(Outcome(50, 0), FT_IO_ERROR);
  // The event names the stuck record's own slot: none, it left the table;
  // not the slot of the new record with the same serial number.
  std::vector<std::string> stuckSlots;
  for (const Recorded& r : RecordedEvents()) {
    if (r.event == kAdminTransceiverStuck && r.inserts.size() > 1) stuckSlots.push_back(r.inserts[1]);
  }
  EXPECT_EQ(stuckSlots, std::vector<std::string>{"none"});
  double asked = NowMs();
  ASSERT_EQ(Submit(static_cast<uint8_t>(slot), 51), -1) << "waits behind its open";
  int64_t outcome = Outcome(51, static_cast<DWORD>(kPredecessorWaitMs + 5000));
  double waited = NowMs() - asked;
  std::printf("a request to a transceiver replugged while its old call hung: %lld after %.0f ms\n",
              static_cast<long long>(outcome), waited);
  EXPECT_EQ(outcome, 0) << "the new record opened and served it";
  EXPECT_LE(waited, kPredecessorWaitMs + 3000.0);

  // The old call returns at last: the old record closes; the new one serves on.
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123\n"
                                              "device serial=EL000555\n"));
  ASSERT_EQ(Submit(static_cast<uint8_t>(slot), 52), -1);
  EXPECT_EQ(Outcome(52, 5000), 0);
  StopAndExpectCountsBack(handlesBefore, threadsBefore);
  SetAdminEventSink(nullptr);
}

// A reader stuck inside the driver is watched like the transceiver's own
// calls: its transceiver's requests are answered "ZARVO i/o error." once it
// is over the limit, and once the read returns the transceiver is closed
// and opened again in its slot, and serves; it never stays dead.
TEST(StuckTransceiver, AReaderStuckInTheDriverIsGivenUpOnAndTheTransceiverComesBack) {
  const char kHearing[] = "device serial=EL000123 hearseq=0\n";
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kHearing));
  SetAdminEventSink(RecordAdminEvent);
  ClearRecordedEvents();
  SetRequestOutcomeSink(Collect);
  ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
  ASSERT_TRUE(WaitForOpenReports("EL000123", 1, 5000));
  ASSERT_EQ(Submit(0, 60), -1);
  ASSERT_EQ(Outcome(60, 5000), 0);

  // Its reads hang; a telegram heard wakes the reader into one.
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123 hearseq=0 hangread=1\n"));
  ASSERT_TRUE(SimHear(ProgramFolder(), "device serial=EL000123 hearseq=0 hangread=1\n", "EL000123",
                      {0x81, 0x03, 0x33, 0x01, 0x01}));
  Sleep(500);
  EXPECT_EQ(CheckStuckTransceivers(MonotonicMs(), 300), 1) << "the reader's call is watched";
  ASSERT_EQ(Submit(0, 61), 1) << "answered at once while the read hangs";
  EXPECT_EQ(CountEvents(kAdminTransceiverStuck, "EL000123"), 1);

  // The read returns: closed, opened again, serving.
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kHearing));
  ASSERT_TRUE(WaitForOpenReports("EL000123", 2, 10000)) << "opened again";
  EXPECT_EQ(CountEvents(kAdminTransceiverReturned, "EL000123"), 1);
  ASSERT_EQ(Submit(0, 62), -1);
  EXPECT_EQ(Outcome(62, 5000), 0);
  ServiceStop(g_context);
  TableReopen(g_context.devices);
  SetAdminEventSink(nullptr);
}

// A request in the moment after a plug-in, before the transceiver's thread
// runs, waits behind the open; when the thread cannot be made, the requests
// queued meanwhile are answered with that, and the transceiver's next
// arrival gets it a thread.
uint64_t g_hookTag = 0;
bool g_refuseThread = false;
bool RequestBeforeTheThreadStarts(DeviceRecord& record) {
  if (g_hookTag != 0) {
    EXPECT_EQ(Submit(record.instance, g_hookTag), -1) << "queued";
  }
  return g_refuseThread;
}

TEST(StuckTransceiver, ARequestRightAfterAPlugInWaitsForTheThreadOrIsAnsweredWhenThereIsNone) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123\ndevice serial=EL000555\n"));
  SetRequestOutcomeSink(Collect);
  g_refuseTransceiverThread = RequestBeforeTheThreadStarts;
  g_hookTag = 70;
  g_refuseThread = false;
  ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
  EXPECT_EQ(Outcome(70, 5000), 0) << "written once its thread had opened it";

  g_hookTag = 71;
  g_refuseThread = true;
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  EXPECT_EQ(Outcome(71, 1000), FT_INSUFFICIENT_RESOURCES) << "answered when no thread came";

  g_hookTag = 0;
  g_refuseThread = false;
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u) << "plugged in again";
  ASSERT_EQ(TableCount(g_context.devices), 2) << "in its own slot";
  ASSERT_EQ(Submit(1, 72), -1);
  EXPECT_EQ(Outcome(72, 5000), 0) << "it has a thread now";
  g_refuseTransceiverThread = nullptr;
  ServiceStop(g_context);
  TableReopen(g_context.devices);
}

}  // namespace
