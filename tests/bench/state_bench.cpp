// The state file's cost (run by scripts/bench-state.sh; not a test): a full
// state table of 1,024 FS20 entries, written as the service's worker thread
// writes it (the text taken under the state lock, then a new file, flushed,
// moved over the old one), timed in CPU (this thread's user and kernel
// time) and in wall time.
//
//   state-bench.exe FOLDER WRITES
//
// prints "entries N, file B bytes" and then, over WRITES writes, the CPU
// time per write (the thread's times over all writes, divided: their clock
// ticks far more coarsely than one write takes), the part of it taking the
// text, and the wall time per write (p50, max). One thread.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/frame.h"
#include "devices/state_keeper.h"
#include "service/state_store.h"

namespace {

char g_text[kStateTextMax];

double ThreadCpuMs() {
  FILETIME created, ended, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
}

double WallMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return now.QuadPart * 1000.0 / frequency.QuadPart;
}

// An on-for-timer to the entry's address, so that every entry's line is as
// long as an FS20 line gets in practice (with until= and then=).
void Note(uint32_t i, uint64_t nowMs) {
  Frame frame;
  PrepareFrame(frame, 0);
  BuildSendFrame(frame, 1, 0x12, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0x39, 0x4F);
  KeepSentState("EL000123", frame, nowMs);
}

double At(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[static_cast<size_t>(q * (v.size() - 1))];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    printf("usage: state-bench FOLDER WRITES\n");
    return 2;
  }
  const wchar_t* folder = argv[1];
  int writes = _wtoi(argv[2]);
  char why[512] = "";
  if (MakeStateFolder(folder, why, sizeof why) != 0) {
    printf("the folder cannot be used: %s\n", why);
    return 1;
  }
  // Far in the future: no timer runs out while the benchmark runs.
  uint64_t now = 4102444800000ull;
  for (uint32_t i = 0; i < kStateEntriesMax; ++i) Note(i, now);
  std::vector<double> wall;
  double cpuTotal = 0, textTotal = 0;
  size_t length = 0;
  for (int n = 0; n < writes; ++n) {
    Note(static_cast<uint32_t>(n) % kStateEntriesMax, now + n);  // one change, as the service sees them
    double cpu0 = ThreadCpuMs(), wall0 = WallMs();
    uint64_t mark = 0;
    if (!TakeStateText(g_text, sizeof g_text, length, mark)) {
      printf("no text taken\n");
      return 1;
    }
    double cpu1 = ThreadCpuMs();
    DWORD error = WriteStateFile(folder, g_text, length);
    if (error != 0) {
      printf("write failed: error %lu\n", error);
      return 1;
    }
    MarkStatesSaved(mark);
    cpuTotal += ThreadCpuMs() - cpu0;
    textTotal += cpu1 - cpu0;
    wall.push_back(WallMs() - wall0);
  }
  printf("entries %zu, file %zu bytes\n", StateCount(), length);
  printf("per write, over %d writes: CPU %.2f ms (of it taking the text %.2f ms); wall p50 %.2f ms,"
         " max %.2f ms\n",
         writes, cpuTotal / writes, textTotal / writes, At(wall, 0.5), At(wall, 1.0));
  return 0;
}
