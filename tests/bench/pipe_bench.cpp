// pipe-bench: round trips through named pipes, measured from the client side.
//
//   pipe-bench.exe [--seconds S] [--rounds R] [--iid N] PIPE [BASELINE-PIPE]
//
// For each of four modes (1 or 4 clients; one persistent connection per
// client, or one connection per request) it sends 10-byte requests (instance
// N, default 0; house code 1111 1111, address 1111, command 17) and waits for
// each reply message, for R rounds of S seconds per pipe, the pipes taken in turn so
// that drift of the machine hits both alike. It prints requests per second
// and the p50 and p99 latency of a round trip (open and close included in the
// per-request mode) and, with a baseline, the ratio of the two throughputs.
// Any pipe name can be given, so the same program measures the test host,
// the service or a bare server.
//
// Threads: the main thread starts the client threads of one run and joins
// them; each client thread owns its handles and its latency list, which the
// main thread reads only after the join.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "core/request.h"
#include "tests/support/clock.h"

namespace {

enum Mode { kPersistent, kPerRequest };

struct BenchMode {
  const char* label;
  int clients;
  Mode mode;
};

const BenchMode kModes[] = {
    {"1 client,  persistent ", 1, kPersistent},
    {"4 clients, persistent ", 4, kPersistent},
    {"1 client,  per request", 1, kPerRequest},
    {"4 clients, per request", 4, kPerRequest},
};

uint8_t g_iid = 0;

double NowUs() { return NowMs() * 1000.0; }

PipeRequest BenchRequest() {
  PipeRequest r = {};
  r.iid = g_iid;
  r.hc1 = 1111;
  r.hc2 = 1111;
  r.addr = 1111;
  r.cmd = 17;
  return r;
}

HANDLE OpenPipe(const wchar_t* name) {
  for (;;) {
    HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (SetNamedPipeHandleState(pipe, &mode, NULL, NULL)) return pipe;
      CloseHandle(pipe);
      return INVALID_HANDLE_VALUE;
    }
    if (GetLastError() != ERROR_PIPE_BUSY) return INVALID_HANDLE_VALUE;
    if (!WaitNamedPipeW(name, 5000)) return INVALID_HANDLE_VALUE;
  }
}

bool RoundTrip(HANDLE pipe, const PipeRequest& request) {
  DWORD done = 0;
  if (!WriteFile(pipe, &request, sizeof request, &done, NULL) || done != sizeof request) {
    return false;
  }
  uint8_t reply[1024];
  return ReadFile(pipe, reply, sizeof reply, &done, NULL) && done > 0;
}

// One client thread's run.
struct ClientRun {
  const wchar_t* pipe;
  Mode mode;
  double deadlineUs;
  std::vector<float> latencyUs;
  int failures;
};

void RunClient(ClientRun& run) {
  const PipeRequest request = BenchRequest();
  HANDLE pipe = INVALID_HANDLE_VALUE;
  while (NowUs() < run.deadlineUs) {
    double start = NowUs();
    if (pipe == INVALID_HANDLE_VALUE) pipe = OpenPipe(run.pipe);
    bool ok = pipe != INVALID_HANDLE_VALUE && RoundTrip(pipe, request);
    if (pipe != INVALID_HANDLE_VALUE && (!ok || run.mode == kPerRequest)) {
      CloseHandle(pipe);
      pipe = INVALID_HANDLE_VALUE;
    }
    if (ok) {
      run.latencyUs.push_back(static_cast<float>(NowUs() - start));
    } else if (++run.failures > 1000) {
      break;
    }
  }
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
}

// What all rounds of one mode gave for one pipe.
struct Tally {
  std::vector<float> latencyUs;
  double elapsedUs = 0;
  int failures = 0;
};

void RunRound(const wchar_t* pipe, const BenchMode& bench, double seconds, Tally& tally) {
  std::vector<ClientRun> runs(bench.clients);
  double start = NowUs();
  for (ClientRun& run : runs) {
    run.pipe = pipe;
    run.mode = bench.mode;
    run.deadlineUs = start + seconds * 1e6;
    run.latencyUs.reserve(static_cast<size_t>(seconds * 20000));
    run.failures = 0;
  }
  std::vector<std::thread> threads;
  for (ClientRun& run : runs) threads.emplace_back(RunClient, std::ref(run));
  for (std::thread& t : threads) t.join();
  tally.elapsedUs += NowUs() - start;
  for (ClientRun& run : runs) {
    tally.latencyUs.insert(tally.latencyUs.end(), run.latencyUs.begin(), run.latencyUs.end());
    tally.failures += run.failures;
  }
}

struct Figures {
  double perSecond;
  double p50;
  double p99;
};

Figures Summarise(Tally& tally) {
  Figures f = {0, 0, 0};
  size_t n = tally.latencyUs.size();
  if (n == 0 || tally.elapsedUs <= 0) return f;
  std::sort(tally.latencyUs.begin(), tally.latencyUs.end());
  f.perSecond = static_cast<double>(n) * 1e6 / tally.elapsedUs;
  f.p50 = tally.latencyUs[n / 2];
  f.p99 = tally.latencyUs[std::min(n - 1, n * 99 / 100)];
  return f;
}

std::string Narrow(const wchar_t* text) {
  std::string s;
  for (; *text; ++text) s.push_back(*text < 128 ? static_cast<char>(*text) : '?');
  return s;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  double seconds = 1.0;
  int rounds = 3;
  std::vector<const wchar_t*> pipes;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--seconds") == 0 && i + 1 < argc) {
      seconds = wcstod(argv[++i], nullptr);
    } else if (wcscmp(argv[i], L"--rounds") == 0 && i + 1 < argc) {
      rounds = static_cast<int>(wcstol(argv[++i], nullptr, 10));
    } else if (wcscmp(argv[i], L"--iid") == 0 && i + 1 < argc) {
      g_iid = static_cast<uint8_t>(wcstol(argv[++i], nullptr, 10));
    } else {
      pipes.push_back(argv[i]);
    }
  }
  if (pipes.empty() || pipes.size() > 2 || seconds <= 0 || rounds < 1) {
    printf("usage: pipe-bench [--seconds S] [--rounds R] [--iid N] PIPE [BASELINE-PIPE]\n");
    return 2;
  }

  printf("Round trips of a 10-byte request for instance %d and its reply; %d round(s) of %.1f s "
         "per mode and pipe.\n", g_iid, rounds, seconds);
  for (size_t p = 0; p < pipes.size(); ++p) {
    printf("  %s: %s\n", p == 0 ? "measured" : "baseline", Narrow(pipes[p]).c_str());
  }
  printf("\n%-22s | %27s |", "mode", "measured: req/s p50 p99 us");
  if (pipes.size() == 2) printf(" %27s | %s", "baseline: req/s p50 p99 us", "ratio");
  printf("\n");
  fflush(stdout);

  for (const BenchMode& bench : kModes) {
    Tally tallies[2];
    for (int r = 0; r < rounds; ++r) {
      for (size_t k = 0; k < pipes.size(); ++k) {
        size_t p = (r % 2 == 0) ? k : pipes.size() - 1 - k;  // alternate who goes first
        RunRound(pipes[p], bench, seconds, tallies[p]);
      }
    }
    Figures f[2];
    for (size_t p = 0; p < pipes.size(); ++p) f[p] = Summarise(tallies[p]);
    printf("%-22s | %9.0f %8.0f %8.0f |", bench.label, f[0].perSecond, f[0].p50, f[0].p99);
    if (pipes.size() == 2) {
      double ratio = f[1].perSecond > 0 ? f[0].perSecond / f[1].perSecond : 0;
      printf(" %9.0f %8.0f %8.0f | %5.2f%s", f[1].perSecond, f[1].p50, f[1].p99, ratio,
             ratio < 0.8 ? "  (below 0.8)" : "");
    }
    int failures = tallies[0].failures + tallies[1].failures;
    if (failures) printf("  [%d failed round trips]", failures);
    printf("\n");
    fflush(stdout);
  }
  return 0;
}
