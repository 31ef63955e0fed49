// The service's state table as listeners see it: a greeting taken while
// states change agrees with the live state lines after it.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "core/event_hub.h"
#include "core/event_line.h"
#include "core/frame.h"
#include "core/state_file.h"
#include "devices/state_keeper.h"

namespace {

// Dims address `address` of house code 1234 1111 to `level` (1 .. 16).
void Dim(uint8_t address, uint8_t level, uint64_t nowMs) {
  Frame frame;
  PrepareFrame(frame, 0);
  BuildSendFrame(frame, 0, 0x1B, 0x00, address, level, 0);
  KeepSentState("EL000123", frame, nowMs);
}

// While a thread keeps changing four devices, listeners attach one after
// another: each greeting holds every device once, then the ready line, and
// each device's first live line starts from the level its greeting gave
// (before= that level), each later one from the line before: no change
// falls between the greeting and the live lines, none comes twice.
TEST(StateKeeper, AGreetingTakenWhileStatesChangeAgreesWithTheLiveLinesAfterIt) {
  ClearStates();
  for (uint8_t a = 0; a < 4; ++a) Dim(a, 1, 1000);
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (uint64_t i = 0; !stop; ++i) {
      // The test's own brake: a reader descheduled on a busy machine must
      // not turn this into a test of losing lines.
      if (EventHubGetStats().slots[0].queued > kListenerQueueLines / 2) {
        std::this_thread::yield();
        continue;
      }
      Dim(static_cast<uint8_t>(i % 4), static_cast<uint8_t>(1 + (i / 4) % 16), 2000 + i);
    }
  });
  auto rounds = [] {
    for (int round = 0; round < 100; ++round) {
      ASSERT_EQ(AttachWithStates(0, nullptr, nullptr), kEventHubOk);
      std::map<std::string, int> level;  // by "hc addr"
      bool ready = false;
      char out[kEventLineBufferSize];
      for (int live = 0; live < 40;) {
        size_t n = EventHubNext(0, out, sizeof out, nullptr);
        if (n == 0) continue;
        std::string line(out, n - 2);
        if (line.compare(24, 10, " - - ready") == 0) {
          ASSERT_FALSE(ready);
          ASSERT_EQ(level.size(), 4u) << "round " << round;
          ready = true;
          continue;
        }
        StateEntry e;
        ASSERT_TRUE(ParseStateLine(line.data(), line.size(), e)) << line;
        std::string key = line.substr(line.find(" hc="), 24);
        if (!ready) {
          ASSERT_EQ(level.count(key), 0u) << "twice in one greeting: " << line;
          level[key] = e.fs20.level;
          continue;
        }
        ASSERT_EQ(e.fs20.before, level[key]) << "round " << round << ": " << line;
        level[key] = e.fs20.level;
        ++live;
      }
      ASSERT_EQ(EventHubDetach(0), kEventHubOk);
    }
  };
  rounds();
  stop = true;
  changer.join();
  EXPECT_EQ(StateCount(), 4u);
  ClearStates();
}

}  // namespace
