// Four clients with 2000 requests each through the real pipe server, while
// transceivers arrive and depart through the control handler and their
// simulated driver fails at random: every request gets exactly one whole
// reply, and it is one of the reply texts; nothing hangs; once every
// transceiver is gone the process holds as many handles and threads as
// before.
//
// Threads:
// - four client threads, each with its own pipe connection(s) and tally;
// - the fault thread, which alone writes ftd2xx-sim.txt: it re-rolls the
//   present transceivers' faults (write status, busy polls, write chunks,
//   modem status, answers) and pulls transceivers out (their line goes) and
//   plugs them in again; which lines are present it tells the control
//   thread through `g_present`;
// - the test's main thread as the service control thread: it hands the
//   control handler the arrivals and removals that follow the lines (and a
//   few that do not), one at a time, as the dispatcher would.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "pipe/pipe_server.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/process_counts.h"

namespace {

constexpr int kClients = 4;
constexpr int kRequestsPerClient = 2000;
// Generous: a request can queue behind three others that each wait out a
// closed gate (3 s) only if the fault thread stopped re-rolling; beyond
// this the service has hung.
constexpr DWORD kExchangeTimeoutMs = 20000;
// The whole run normally takes seconds. Past this the clients are told to
// stop, so that a service that has stopped serving fails the test with the
// clients' progress instead of running into the harness's time-out.
constexpr double kRunBudgetMs = 75000;

struct Transceiver {
  const char* serial;
  const wchar_t* pid;
  const char* pidText;
};
const Transceiver kTransceivers[] = {{"EL000123", L"F06F", "F06F"},
                                     {"EL000777", L"E0E8", "E0E8"},
                                     {"EL000999", L"F06F", "F06F"},
                                     {"EL000555", L"E0E8", "E0E8"}};
constexpr int kTransceiverCount = sizeof kTransceivers / sizeof kTransceivers[0];

// One transceiver's line in ftd2xx-sim.txt.
struct Line {
  bool present = true;
  uint32_t open = 0, write = 0, busy = 0, chunk = 0, modem = 0x30;
  bool answers = false;
};

// Which lines are in the file: written by the fault thread, read by the
// control thread.
std::atomic<bool> g_present[kTransceiverCount];

std::string ConfigText(const Line (&lines)[kTransceiverCount]) {
  std::ostringstream text;
  for (int i = 0; i < kTransceiverCount; ++i) {
    const Line& l = lines[i];
    if (!l.present) continue;
    text << "device serial=" << kTransceivers[i].serial << " pid=0x" << kTransceivers[i].pidText
         << " open=" << l.open << " write=" << l.write << " busy=" << l.busy
         << " chunk=" << l.chunk << " modem=" << l.modem;
    if (l.answers) text << " answer=8105046300C901";
    text << "\n";
  }
  return text.str();
}

void RerollFaults(Line& l, std::mt19937& rng) {
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  l.write = 0;
  if (chance(12)) {
    static const uint32_t kStatuses[] = {1, 3, 4, 5, 10, 16, 17, 18, 19, 0xFFFFFFFF};
    l.write = kStatuses[rng() % (sizeof kStatuses / sizeof kStatuses[0])];
  }
  l.busy = chance(30) ? rng() % 300 : 0;
  l.chunk = chance(30) ? 1 + rng() % 11 : 0;
  l.modem = 0x30;
  if (chance(10)) {
    static const uint32_t kNotReady[] = {0x20, 0x10, 0x31, 0x1030, 0};
    l.modem = kNotReady[rng() % (sizeof kNotReady / sizeof kNotReady[0])];
  }
  l.answers = chance(30);
}

// The fault thread: rewrites the configuration every few milliseconds.
void FaultLoop(std::atomic<bool>& stop, uint32_t seed, std::atomic<int>& rewrites) {
  std::mt19937 rng(seed);
  std::wstring folder = ProgramFolder();
  Line lines[kTransceiverCount];
  int openFailures = 0;
  while (!stop) {
    int which = static_cast<int>(rng() % kTransceiverCount);
    Line& l = lines[which];
    int roll = static_cast<int>(rng() % 100);
    if (roll < 8 && l.present) {
      l.present = false;  // pulled out: every call on its handle fails from now on
    } else if (roll < 20 && !l.present) {
      l = Line();  // plugged in again, healthy at first
      // Now and then one that will not open. Its record stays in the table
      // without a serial number until the stop, so only a few.
      if (openFailures < 2 && rng() % 100 < 5) {
        l.open = (rng() % 2) ? 4 : 18;
        ++openFailures;
      }
    } else if (l.present) {
      RerollFaults(l, rng);
    }
    // The line goes before the control thread hears of it, and comes back
    // before it may act on it.
    if (!l.present) g_present[which] = false;
    WriteSimConfig(folder, ConfigText(lines));
    if (l.present) g_present[which] = true;
    ++rewrites;
    Sleep(3 + rng() % 10);
  }
}

// Set when the run is over budget; each client stops before its next request.
std::atomic<bool> g_abandon{false};

struct ClientTally {
  std::atomic<int> made{0};  // requests sent so far; read by the control thread
  std::map<std::wstring, int> replies;
  std::map<std::string, int> failures;
  std::string firstFailure;
  double slowestMs = 0;
};

void ClientLoop(int index, uint32_t seed, ClientTally& tally) {
  std::mt19937 rng(seed);
  bool persistent = index < 2;
  PipeClient client;
  for (int n = 0; n < kRequestsPerClient && !g_abandon; ++n) {
    tally.made = n + 1;
    PipeRequest request = StressRequest(static_cast<uint8_t>(rng() % 5),
                                        static_cast<uint8_t>(rng() % 2 ? rng() % 256 : 0));
    std::wstring reply;
    double started = NowMs();
    Exchange e;
    if (persistent) {
      if (client.pipe == INVALID_HANDLE_VALUE && !PipeClientOpen(client, kExchangeTimeoutMs)) {
        e = Exchange::kNoPipe;
      } else {
        e = PipeClientExchange(client, request, reply, kExchangeTimeoutMs);
        if (e != Exchange::kReply) PipeClientClose(client);
      }
    } else {
      e = ExchangeOnce(request, reply, kExchangeTimeoutMs);
    }
    double took = NowMs() - started;
    if (took > tally.slowestMs) tally.slowestMs = took;
    if (e == Exchange::kReply && IsReplyText(reply)) {
      ++tally.replies[reply];
      continue;
    }
    std::string what = e == Exchange::kReply ? "not a reply text" : ExchangeName(e);
    if (tally.firstFailure.empty()) {
      tally.firstFailure = "client " + std::to_string(index) + " request " + std::to_string(n) +
                           ": " + what + " '" + std::string(reply.begin(), reply.end()) + "'";
    }
    ++tally.failures[what];
  }
  // A second reply to the last request would have nothing to be caught by.
  if (client.pipe != INVALID_HANDLE_VALUE) {
    Sleep(20);
    DWORD waiting = 0;
    if (PeekNamedPipe(client.pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting != 0) {
      ++tally.failures[ExchangeName(Exchange::kUnasked)];
    }
  }
  PipeClientClose(client);
}

// Takes out whatever device events left in the table, as the stop does.
// Returns how many there were: a record whose open failed is removed by the
// serial number it arrived with, so after every transceiver's departure
// there should be none.
int TakeOutTheRest() {
  DeviceRecord* records[kMaxDevices];
  int n = TableTakeAll(g_context.devices, records);
  for (int i = 0; i < n; ++i) ReleaseDeviceRecord(records[i]);
  return n;
}

void DepartAll() {
  for (const Transceiver& t : kTransceivers) DepartTransceiver(t.serial, t.pid);
}

// Waits for the counts to come back (a closed handle or an ended thread may
// be released a moment later), then returns them.
void SettledCounts(DWORD wantHandles, int wantThreads, DWORD& handles, int& threads) {
  double deadline = NowMs() + 5000;
  do {
    handles = ProcessHandleCount();
    threads = ProcessThreadCount();
    if (handles == wantHandles && threads == wantThreads) return;
    Sleep(50);
  } while (NowMs() < deadline);
}

uint32_t Seed() {
  const char* fixed = std::getenv("ZARVO_STRESS_SEED");
  if (fixed) return static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10));
  return GetTickCount() ^ (GetCurrentProcessId() << 16);
}

TEST(ChurnStress, EveryRequestGetsOneReplyTextWhileTransceiversComeGoAndFail) {
  const uint32_t seed = Seed();
  std::printf("seed %u (ZARVO_STRESS_SEED=%u repeats this run)\n", seed, seed);
  std::wstring folder = ProgramFolder();
  {
    Line healthy[kTransceiverCount];
    ASSERT_TRUE(WriteSimConfig(folder, ConfigText(healthy)));
  }
  ASSERT_EQ(StartPipeServer(nullptr), 0u);

  // Warm-up, so that what a first use sets up for good is in the baseline:
  // the simulator's log file; the runtime's record of a thread that was not
  // started by it, made when such a thread first sleeps (here the pipe
  // server thread in the gate's pacing, and this thread in the start-up
  // frames of a slow transceiver); the wait event of the table's guard, made
  // at its first contention (forced here by holding the guard while a
  // request comes in); and the client threads' runtime records.
  {
    Line slow[kTransceiverCount];
    slow[0].busy = 400;
    ASSERT_TRUE(WriteSimConfig(folder, ConfigText(slow)));
  }
  ASSERT_EQ(ArriveTransceiver("EL000123"), 0u);
  {
    std::vector<std::thread> warm;
    LockAcquire(g_context.devices.guard);
    for (int i = 0; i < kClients + 1; ++i) {
      warm.emplace_back([i] {
        std::wstring reply;
        PipeClient c;
        if (i < 2 && PipeClientOpen(c, 5000)) {
          PipeClientExchange(c, StressRequest(0), reply, 5000);
          PipeClientClose(c);
        } else {
          ExchangeOnce(StressRequest(0), reply, 5000);
        }
      });
    }
    Sleep(100);
    LockRelease(g_context.devices.guard);
    for (std::thread& t : warm) t.join();
  }
  DepartAll();
  ASSERT_EQ(TakeOutTheRest(), 0);
  Sleep(200);
  const DWORD handlesBefore = ProcessHandleCount();
  const std::vector<ProcessHandleEntry> handleListBefore = ProcessHandles(GetCurrentProcessId());
  const int threadsBefore = ProcessThreadCount();
  std::printf("before: %lu handles, %d threads\n", handlesBefore, threadsBefore);
  ASSERT_GT(handlesBefore, 0u);
  ASSERT_GT(threadsBefore, 0);

  for (std::atomic<bool>& p : g_present) p = true;
  std::atomic<bool> stopFaults{false};
  std::atomic<int> rewrites{0};
  std::thread faults(FaultLoop, std::ref(stopFaults), seed + 1, std::ref(rewrites));

  std::atomic<int> clientsDone{0};
  ClientTally tallies[kClients];
  std::vector<std::thread> clients;
  double started = NowMs();
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      ClientLoop(i, seed + 100 + i, tallies[i]);
      ++clientsDone;
    });
  }

  // The service control thread: device events that follow the lines, and
  // now and then one that does not (a removal of a working transceiver, a
  // second arrival).
  std::mt19937 rng(seed + 2);
  bool inTable[kTransceiverCount] = {false, false, false, false};
  int arrivals = 0, removals = 0, maxCount = 0;
  while (clientsDone < kClients) {
    if (!g_abandon && NowMs() - started > kRunBudgetMs) {
      g_abandon = true;
      std::string progress;
      for (int c = 0; c < kClients; ++c) {
        progress += " client " + std::to_string(c) + ": " + std::to_string(tallies[c].made.load()) +
                    " requests;";
      }
      ADD_FAILURE() << "still running after " << kRunBudgetMs / 1000 << " s;" << progress;
    }
    int i = static_cast<int>(rng() % kTransceiverCount);
    bool present = g_present[i];
    bool odd = rng() % 100 < 10;
    // A second arrival only of one in the table: it changes nothing for an
    // open record and replaces a dead one in its slot.
    bool known = TableHasSerial(g_context.devices, kTransceivers[i].serial);
    if ((present && !inTable[i]) || (odd && known && rng() % 2)) {
      EXPECT_EQ(ArriveTransceiver(kTransceivers[i].serial, kTransceivers[i].pid), 0u);
      inTable[i] = true;
      ++arrivals;
    } else if ((!present && inTable[i]) || (odd && inTable[i])) {
      EXPECT_EQ(DepartTransceiver(kTransceivers[i].serial, kTransceivers[i].pid), 0u);
      inTable[i] = false;
      ++removals;
    }
    int count = TableCount(g_context.devices);
    if (count > maxCount) maxCount = count;
    Sleep(2 + rng() % 6);
  }
  for (std::thread& t : clients) t.join();
  double took = NowMs() - started;
  stopFaults = true;
  faults.join();

  std::map<std::wstring, int> replies;
  int answered = 0, failed = 0;
  double slowest = 0;
  for (ClientTally& t : tallies) {
    for (auto& r : t.replies) {
      replies[r.first] += r.second;
      answered += r.second;
    }
    for (auto& f : t.failures) failed += f.second;
    if (!t.firstFailure.empty()) ADD_FAILURE() << t.firstFailure;
    if (t.slowestMs > slowest) slowest = t.slowestMs;
  }
  std::printf("%d requests in %.1f s (slowest %.0f ms); %d arrivals, %d removals, %d rewrites "
              "of the driver's configuration, at most %d transceivers in the table\n",
              answered + failed, took / 1000, slowest, arrivals, removals, rewrites.load(),
              maxCount);
  for (auto& r : replies) {
    std::printf("  %5d  %s\n", r.second, std::string(r.first.begin(), r.first.end()).c_str());
  }
  EXPECT_EQ(answered, kClients * kRequestsPerClient);
  EXPECT_EQ(failed, 0);
  // The faults really happened, and the working path still worked.
  EXPECT_GT(replies[L"OK"], 0);
  EXPECT_GT(replies[L"ZARVO device not found."], 0);
  EXPECT_GT(replies[L"ZARVO i/o error."], 0);
  EXPECT_GT(arrivals, 20);
  EXPECT_GT(removals, 20);

  // A healthy transceiver still works after all that.
  {
    Line healthy[kTransceiverCount];
    ASSERT_TRUE(WriteSimConfig(folder, ConfigText(healthy)));
  }
  DepartAll();
  EXPECT_EQ(TakeOutTheRest(), 0) << "a record whose open failed outlived its departure";
  ASSERT_EQ(ArriveTransceiver("EL000999"), 0u);
  std::wstring reply;
  ASSERT_EQ(ExchangeOnce(StressRequest(0), reply, 5000), Exchange::kReply);
  EXPECT_EQ(reply, L"OK");

  DepartAll();
  int leftovers = TakeOutTheRest();
  EXPECT_EQ(leftovers, 0) << "a working transceiver's removal left its record behind";
  DWORD handlesAfter = 0;
  int threadsAfter = 0;
  SettledCounts(handlesBefore, threadsBefore, handlesAfter, threadsAfter);
  std::printf("after: %lu handles, %d threads\n", handlesAfter, threadsAfter);
  EXPECT_EQ(handlesAfter, handlesBefore) << "new:\n" << HandlesAddedSince(handleListBefore);
  EXPECT_EQ(threadsAfter, threadsBefore);
}

}  // namespace
