// A request stuck inside the driver: the simulated library blocks every
// write and modem-status poll of a transceiver whose line says hang=1, until
// the line is removed. Neither the removal of another transceiver nor the
// stop may wait for that request; the stuck record stays open for it, and
// once its transceiver is pulled out the request comes back with the
// driver's error and its release, the last one, closes the record.
//
// Threads: one thread plays the pipe server and runs the stuck request,
// writing only its own result, which the main thread reads after joining
// it; the main thread as the service control thread (device events, stop)
// and as the watchdog.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/handle_request.h"
#include "devices/device_table.h"
#include "devices/send_frame.h"
#include "service/service.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/process_counts.h"

namespace {

// How long a device event or the stop may take while a request is stuck:
// the modem-status bound and a margin.
constexpr double kHeldUpAtMostMs = kGateTimeoutMs + 500.0;

const char kThree[] =
    "device serial=EL000123\n"
    "device serial=EL000777 pid=0xE0E8\n"
    "device serial=EL000555\n";
const char kFirstHangs[] =
    "device serial=EL000123 hang=1\n"
    "device serial=EL000777 pid=0xE0E8\n"
    "device serial=EL000555\n";
const char kFirstPulledOut[] =
    "device serial=EL000777 pid=0xE0E8\n"
    "device serial=EL000555\n";

std::wstring Ask(uint8_t iid) {
  uint8_t reply[kReplyBufferSize];
  uint32_t bytes = 0;
  HandleRequest(StressRequest(iid), reply, bytes);
  std::wstring text;
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    wchar_t c = static_cast<wchar_t>(reply[i] | (reply[i + 1] << 8));
    if (c == L'\0') break;
    text += c;
  }
  return text;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The "close" lines of the driver's log since `mark`.
std::vector<std::string> Closes(uint64_t mark) {
  std::vector<std::string> closes;
  for (const std::string& line : SimLogSince(ProgramFolder(), mark)) {
    std::vector<std::string> f = SplitFields(line);
    if (f.size() > 1 && f[1] == "close") closes.push_back(f[0] + " close " + f[2]);
  }
  return closes;
}

bool CountsReturnTo(DWORD handles, int threads) {
  for (int i = 0; i < 200; ++i) {
    if (ProcessHandleCount() == handles && ProcessThreadCount() == threads) return true;
    Sleep(10);
  }
  return false;
}

TEST(StuckRequest, NeitherARemovalNorTheStopWaitsForItAndItsReleaseClosesTheRecord) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kThree));
  // Warm-up: what a first open and close set up for good (the library's
  // log, the runtime's records of threads) is then in the baseline.
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  ASSERT_EQ(Ask(0), L"OK");
  ASSERT_EQ(DepartTransceiver("EL000555"), 0u);
  DWORD handlesBefore = ProcessHandleCount();
  int threadsBefore = ProcessThreadCount();

  ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
  ASSERT_EQ(ArriveTransceiver("EL000777", L"E0E8"), 0u);
  ASSERT_EQ(ArriveTransceiver("EL000555"), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 3);
  ASSERT_EQ(Ask(0), L"OK");

  // Hung only now: the start-up frames poll the modem status too.
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstHangs));
  uint64_t mark = SimLogMark(ProgramFolder());
  std::wstring stuckReply;
  std::atomic<bool> returned{false};
  std::thread pipeServer([&] {
    stuckReply = Ask(0);
    returned = true;
  });
  while (g_context.devices.sendStartedMs.load() == 0) Sleep(1);
  Sleep(300);
  char serial[kPathSerialSize] = "";
  int slot = -1;
  ASSERT_TRUE(TableStuckRequest(g_context.devices, MonotonicMs(), 200, serial, &slot));
  EXPECT_STREQ(serial, "EL000123");
  EXPECT_EQ(slot, 0);

  double started = NowMs();
  EXPECT_EQ(DepartTransceiver("EL000777", L"E0E8"), 0u);
  double removal = NowMs() - started;
  EXPECT_EQ(TableCount(g_context.devices), 2);

  started = NowMs();
  ServiceStop(g_context);
  double stop = NowMs() - started;
  std::printf("with a request stuck in the driver: removal %.0f ms, stop %.0f ms\n", removal,
              stop);
  EXPECT_LE(removal, kHeldUpAtMostMs);
  EXPECT_LE(stop, kHeldUpAtMostMs);
  EXPECT_EQ(TableCount(g_context.devices), 0);
  EXPECT_EQ(Ask(0), L"ZARVO device not found.");
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(Closes(mark), (std::vector<std::string>{"EL000777 close 0", "EL000555 close 0"}))
      << "the stuck record stays open for its request";

  // Pulled out: the blocked poll fails, the request answers with the
  // driver's error, and its release closes the record it alone held.
  started = NowMs();
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstPulledOut));
  pipeServer.join();
  std::printf("the stuck request returned %.0f ms after the pull-out\n", NowMs() - started);
  EXPECT_EQ(Narrow(stuckReply), "ZARVO i/o error.");
  EXPECT_EQ(Closes(mark), (std::vector<std::string>{"EL000777 close 0", "EL000555 close 0",
                                                    "EL000123 close 4"}));
  EXPECT_FALSE(TableStuckRequest(g_context.devices, MonotonicMs() + 100000, 0, serial, &slot));
  EXPECT_TRUE(CountsReturnTo(handlesBefore, threadsBefore))
      << "handles " << handlesBefore << " -> " << ProcessHandleCount() << ", threads "
      << threadsBefore << " -> " << ProcessThreadCount();
}

}  // namespace
