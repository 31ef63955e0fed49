// A transceiver whose modem status never reads ready (DSR without CTS):
// the request for it is answered "ZARVO i/o error." once the gate's bound
// (3 s) has passed, while the clients of the other transceiver are served
// at once meanwhile: the gate holds up only its own transceiver's thread. A
// removal of that transceiver meanwhile takes it out at once, without
// waiting for the request.
//
// Threads: one client thread per request, each writing only its own result,
// which the main thread reads after joining it; the main thread as the
// service control thread (device events).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "devices/send_frame.h"
#include "pipe/pipe_server.h"
#include "service/service.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"

namespace {

constexpr DWORD kExchangeTimeoutMs = 10000;
const char kBothReady[] =
    "device serial=EL000123\n"
    "device serial=EL000777 pid=0xE0E8\n";
const char kFirstNeverReady[] =
    "device serial=EL000123 modem=0x20\n"
    "device serial=EL000777 pid=0xE0E8\n";

struct Asked {
  double startMs = 0;
  double doneMs = 0;
  Exchange result = Exchange::kNoPipe;
  std::wstring reply;
};

void Ask(uint8_t iid, bool persistent, Asked& out) {
  out.startMs = NowMs();
  if (persistent) {
    PipeClient client;
    if (PipeClientOpen(client, kExchangeTimeoutMs)) {
      out.result = PipeClientExchange(client, StressRequest(iid), out.reply, kExchangeTimeoutMs);
      PipeClientClose(client);
    }
  } else {
    out.result = ExchangeOnce(StressRequest(iid), out.reply, kExchangeTimeoutMs);
  }
  out.doneMs = NowMs();
}

class ClosedGate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(StartPipeServer(nullptr), 0u); }

  // EL000123 in slot 0, EL000777 in slot 1, both ready at first: the
  // start-up frames go out at once.
  void SetUp() override {
    ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kBothReady));
    ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
    ASSERT_EQ(ArriveTransceiver("EL000777", L"E0E8"), 0u);
    ASSERT_EQ(TableCount(g_context.devices), 2);
    for (uint8_t iid : {0, 1}) {
      std::wstring reply;
      ASSERT_EQ(ExchangeOnce(StressRequest(iid), reply, kExchangeTimeoutMs), Exchange::kReply);
      ASSERT_EQ(reply, L"OK");
    }
  }

  void TearDown() override {
    ServiceStop(g_context);
    TableReopen(g_context.devices);
  }
};

TEST_F(ClosedGate, RequestIsAnsweredIoErrorWithinTheBoundAndTheOthersAreServedMeanwhile) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstNeverReady));
  uint64_t mark = SimLogMark(ProgramFolder());

  Asked stuck;
  std::thread first(Ask, 0, false, std::ref(stuck));
  Sleep(300);  // its request is at the gate now
  Asked others[3];
  std::vector<std::thread> queued;
  for (int i = 0; i < 3; ++i) queued.emplace_back(Ask, 1, i == 0, std::ref(others[i]));
  first.join();
  for (std::thread& t : queued) t.join();

  ASSERT_EQ(stuck.result, Exchange::kReply) << ExchangeName(stuck.result);
  EXPECT_EQ(stuck.reply, L"ZARVO i/o error.");
  double took = stuck.doneMs - stuck.startMs;
  std::printf("the request at the closed gate was answered after %.0f ms\n", took);
  EXPECT_GE(took, kGateTimeoutMs - 50.0);
  EXPECT_LE(took, kGateTimeoutMs + 1000.0);
  for (const Asked& a : others) {
    ASSERT_EQ(a.result, Exchange::kReply) << ExchangeName(a.result);
    EXPECT_EQ(a.reply, L"OK");
    // Served while the gate still holds the first transceiver.
    EXPECT_LT(a.doneMs, stuck.doneMs);
    EXPECT_LE(a.doneMs - a.startMs, 1000.0);
    std::printf("a client of the other transceiver was answered in %.0f ms\n",
                a.doneMs - a.startMs);
  }
  // Nothing was written to the transceiver whose gate stayed closed.
  for (const std::string& line : SimLogSince(ProgramFolder(), mark)) {
    std::vector<std::string> f = SplitFields(line);
    EXPECT_FALSE(f.size() > 1 && f[0] == "EL000123" && f[1] == "write") << line;
  }
}

TEST_F(ClosedGate, RemovalMeanwhileTakesTheTransceiverOutWithoutWaitingForTheRequest) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), kFirstNeverReady));
  Asked stuck;
  std::thread first(Ask, 0, true, std::ref(stuck));
  Sleep(300);
  double started = NowMs();
  EXPECT_EQ(DepartTransceiver("EL000123"), 0u);
  double took = NowMs() - started;
  first.join();
  std::printf("the removal returned after %.0f ms\n", took);
  EXPECT_LE(took, 1000.0) << "the request at the gate holds no guard";
  ASSERT_EQ(stuck.result, Exchange::kReply) << ExchangeName(stuck.result);
  EXPECT_EQ(stuck.reply, L"ZARVO i/o error.");
  ASSERT_EQ(TableCount(g_context.devices), 1);
  // EL000777 moved down to slot 0.
  std::wstring reply;
  ASSERT_EQ(ExchangeOnce(StressRequest(0), reply, kExchangeTimeoutMs), Exchange::kReply);
  EXPECT_EQ(reply, L"OK");
}

}  // namespace
