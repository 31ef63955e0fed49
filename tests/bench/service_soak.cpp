// service-soak: the service's own threads in one process for a long run,
// against the simulated driver library beside the program: the real pipe
// server, the control handler and every transceiver's threads. Four clients
// send requests on persistent connections to two transceivers that stay,
// while the main thread plugs a third one in and pulls it out again, over
// and over, as the control handler gets it from Windows. Prints the
// process's handles, threads and private bytes after a warm-up and at the
// end; they must stay flat (within 1 %). A benchmark to run by hand
// (scripts/bench-soak.sh), not a test.
//
//   service-soak.exe [REQUESTS [CYCLES]]     defaults 1000000 and 10000
//
// Threads: four client threads, each with its own connection and counters,
// read by the main thread after the join; the main thread as the control
// thread.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_table.h"
#include "pipe/pipe_server.h"
#include "service/service.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/process_counts.h"

namespace {

constexpr int kClients = 4;

struct Figures {
  DWORD handles;
  int threads;
  SIZE_T privateBytes;  // Windows' private bytes; Wine reports 0
  SIZE_T commitBytes;   // the commit charge (PagefileUsage)
  SIZE_T workingSet;
};

Figures Snapshot() {
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                       sizeof memory);
  return {ProcessHandleCount(), ProcessThreadCount(), memory.PrivateUsage, memory.PagefileUsage,
          memory.WorkingSetSize};
}

// The figures once the handle count has stopped changing: a transceiver
// thread lets go of its record's events just after it has closed.
Figures Measure() {
  Figures f = Snapshot();
  for (int same = 0, tries = 0; same < 10 && tries < 500; ++tries) {
    Sleep(20);
    Figures g = Snapshot();
    same = g.handles == f.handles && g.threads == f.threads ? same + 1 : 0;
    f = g;
  }
  return f;
}

void Print(const char* when, const Figures& f) {
  std::printf("%-6s handles %5lu  threads %3d  private bytes %10llu  commit %10llu  working set "
              "%10llu\n",
              when, f.handles, f.threads, static_cast<unsigned long long>(f.privateBytes),
              static_cast<unsigned long long>(f.commitBytes),
              static_cast<unsigned long long>(f.workingSet));
}

double Change(double from, double to) { return from == 0 ? 0 : (to - from) * 100.0 / from; }

// Plugs the third transceiver in and pulls it out `cycles` times.
void Cycle(int cycles) {
  for (int i = 0; i < cycles; ++i) {
    ArriveTransceiver("EL000999");
    DepartTransceiver("EL000999");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  long long requests = argc > 1 ? std::wcstoll(argv[1], nullptr, 10) : 1000000;
  int cycles = argc > 2 ? static_cast<int>(std::wcstol(argv[2], nullptr, 10)) : 10000;
  if (!WriteSimConfig(ProgramFolder(), "device serial=EL000123\n"
                                       "device serial=EL000777 pid=0xE0E8\n"
                                       "device serial=EL000999\n")) {
    std::printf("cannot write the simulated driver's configuration\n");
    return 1;
  }
  if (StartPipeServer(nullptr) != 0) {
    std::printf("the pipe server did not start\n");
    return 1;
  }
  ArriveTransceiver("EL000123");
  ArriveTransceiver("EL000777", L"E0E8");
  WaitForOpens(10000);

  std::atomic<long long> left{0};
  std::atomic<long long> ok{0}, failed{0};
  auto client = [&](int which) {
    PipeClient connection;
    if (!PipeClientOpen(connection, 20000)) {
      ++failed;
      return;
    }
    PipeRequest request = StressRequest(static_cast<uint8_t>(which % 2));
    while (left.fetch_sub(1) > 0) {
      std::wstring reply;
      if (PipeClientExchange(connection, request, reply, 20000) == Exchange::kReply &&
          reply == L"OK") {
        ++ok;
      } else {
        ++failed;
      }
    }
    PipeClientClose(connection);
  };
  auto run = [&](long long count, int plugCycles) {
    left = count;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) clients.emplace_back(client, i);
    Cycle(plugCycles);
    for (std::thread& t : clients) t.join();
  };

  // Warm-up: what the first requests and cycles set up for good (the
  // driver's log, the runtime's thread records, the pipe's buffers).
  run(2000, 20);
  WaitForOpens(10000);
  Sleep(500);
  Figures start = Measure();
  Print("start", start);
  ok = 0;
  failed = 0;
  double began = NowMs();
  run(requests, cycles);
  double took = NowMs() - began;
  WaitForOpens(10000);
  Sleep(500);
  Figures end = Measure();
  Print("end", end);
  std::printf("%lld requests (%lld OK, %lld failed) and %d plug-in/pull-out cycles in %.1f s\n",
              requests, ok.load(), failed.load(), cycles, took / 1000.0);
  std::printf("change: handles %+.2f %%, threads %+.2f %%, private bytes %+.2f %%, commit %+.2f "
              "%%, working set %+.2f %% (target: within 1 %%)\n",
              Change(start.handles, end.handles), Change(start.threads, end.threads),
              Change(static_cast<double>(start.privateBytes), static_cast<double>(end.privateBytes)),
              Change(static_cast<double>(start.commitBytes), static_cast<double>(end.commitBytes)),
              Change(static_cast<double>(start.workingSet), static_cast<double>(end.workingSet)));
  ServiceStop(g_context);
  return 0;
}
