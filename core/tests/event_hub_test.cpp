#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/event_hub.h"

namespace {

using Lines = std::vector<std::string>;

size_t FormatLost(uint64_t count, char* out, size_t size) {
  int n = std::snprintf(out, size, "T - - lost count=%llu\r\n", static_cast<unsigned long long>(count));
  return static_cast<size_t>(n);
}

EventHubStatus Publish(const std::string& line) { return PublishEventLine(line.data(), line.size()); }

// Every line waiting for `slot`; never more than a full greeting buffer, a
// full queue and its `lost` line.
Lines Drain(int slot) {
  Lines lines;
  char out[kEventLineBufferSize];
  while (size_t n = EventHubNext(slot, out, sizeof out, FormatLost)) {
    lines.emplace_back(out, n);
    if (lines.size() > kGreetingBytes / 2 + kListenerQueueLines + 1) break;
  }
  return lines;
}

void GreetWith(EventGreeting& greeting, void* lines) {
  for (const std::string& line : *static_cast<Lines*>(lines)) {
    EventGreetingLine(greeting, line.data(), line.size());
  }
}

const std::string kFormat = "T - - format id=zarvo-events version=1\r\n";
Lines g_format{kFormat};
std::atomic<int> g_wakes{0};
std::atomic<int> g_begun{0};

class EventHub : public ::testing::Test {
 protected:
  void TearDown() override {
    SetEventHubWake(nullptr, nullptr);
    for (int slot = 0; slot < kEventListenerCount; ++slot) EventHubDetach(slot);
  }
};

TEST_F(EventHub, ListenerThatNeverReadsLosesItsOldestLinesAndIsToldHowMany) {
  ASSERT_EQ(EventHubAttach(0, GreetWith, &g_format), kEventHubOk);
  SetEventHubWake([](void*) { ++g_wakes; }, nullptr);
  g_wakes = 0;
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<std::thread> publishers;
  for (int t = 0; t < kThreads; ++t) {
    publishers.emplace_back([t] {
      // Finishing at all shows that the publishers never wait on the listener.
      for (int i = 0; i < kPerThread; ++i) {
        Publish("T 0 S" + std::to_string(t) + " heard n=" + std::to_string(i) + "\r\n");
      }
    });
  }
  for (std::thread& p : publishers) p.join();
  EXPECT_EQ(g_wakes.load(), kThreads * kPerThread);

  // The greeting is kept whole; only live lines are lost.
  Lines lines = Drain(0);
  const uint64_t lost = kThreads * kPerThread - kListenerQueueLines;
  ASSERT_EQ(lines.size(), 2 + kListenerQueueLines);
  EXPECT_EQ(lines[0], kFormat);
  EXPECT_EQ(lines[1], "T - - lost count=" + std::to_string(lost) + "\r\n");
  // The newest 1,000 in order: what was kept of each thread's lines is the
  // end of its sequence, without a gap.
  int next[kThreads] = {-1, -1, -1, -1};
  for (size_t i = 2; i < lines.size(); ++i) {
    int t = 0, n = 0;
    ASSERT_EQ(std::sscanf(lines[i].c_str(), "T 0 S%d heard n=%d", &t, &n), 2) << lines[i];
    EXPECT_TRUE(next[t] == -1 || n == next[t]) << lines[i];
    next[t] = n + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(next[t] == -1 || next[t] == kPerThread) << t;
  EXPECT_EQ(EventHubGetStats().slots[0].lost, lost);
}

TEST_F(EventHub, ListenerAttachedWhilePublishingGetsEveryLineAfterItsGreetingOnce) {
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    while (!stop) {
      // The test's own brake, so that a reader descheduled on a busy machine
      // does not make this a test of losing lines.
      EventHubStats stats = EventHubGetStats();
      if (stats.slots[1].queued + stats.slots[2].queued > kListenerQueueLines / 2) {
        std::this_thread::yield();
        continue;
      }
      Publish("T 0 S heard n=" + std::to_string(++g_begun) + "\r\n");
    }
  });
  // When the greeting read g_begun, lines up to begun - 1 were published and
  // line `begun` perhaps not yet: the live lines start at one of the two and
  // go on without a gap or a repeat. Two slots in turn, detached and attached again.
  auto greet = [](EventGreeting& greeting, void*) {
    std::string line = "T - - present begun=" + std::to_string(g_begun.load()) + "\r\n";
    EventGreetingLine(greeting, line.data(), line.size());
  };
  // A failed assertion leaves the lambda, and the publisher is still joined.
  auto rounds = [&] {
    for (int round = 0; round < 200; ++round) {
      int slot = 1 + round % 2;
      ASSERT_EQ(EventHubAttach(slot, greet, nullptr), kEventHubOk);
      char out[kEventLineBufferSize];
      int begun = -1, expected = -1;
      for (int seen = 0; seen < 50;) {
        if (EventHubNext(slot, out, sizeof out, FormatLost) == 0) continue;
        int got = 0;
        if (seen++ == 0) {
          ASSERT_EQ(std::sscanf(out, "T - - present begun=%d", &begun), 1) << out;
          continue;
        }
        ASSERT_EQ(std::sscanf(out, "T 0 S heard n=%d", &got), 1) << out;
        ASSERT_TRUE(expected < 0 ? got == begun || got == begun + 1 : got == expected)
            << "round " << round << ": begun " << begun << ", expected " << expected << ", got " << got;
        expected = got + 1;
      }
      ASSERT_EQ(EventHubDetach(slot), kEventHubOk);
    }
  };
  rounds();
  stop = true;
  publisher.join();
}

TEST_F(EventHub, ListenersShareLinesNotGreetingsAndADetachedSlotStartsAfresh) {
  Lines withPresent{kFormat, "T 0 EL000123 present\r\n"};
  ASSERT_EQ(EventHubAttach(3, GreetWith, &withPresent), kEventHubOk);
  ASSERT_EQ(EventHubAttach(5, GreetWith, &g_format), kEventHubOk);
  EXPECT_EQ(EventHubAttach(5, GreetWith, &g_format), kEventHubSlotBusy);
  Publish("T 1 EL000777 plugged\r\n");
  EXPECT_EQ(Drain(3), (Lines{kFormat, withPresent[1], "T 1 EL000777 plugged\r\n"}));
  EXPECT_EQ(Drain(5), (Lines{kFormat, "T 1 EL000777 plugged\r\n"}));

  // Lines pending for a listener that went go with it.
  Publish("T 1 EL000777 pulled moved=none\r\n");
  ASSERT_EQ(EventHubDetach(3), kEventHubOk);
  Publish("T 0 EL000123 heard raw=82\r\n");
  EXPECT_TRUE(Drain(3).empty());
  ASSERT_EQ(EventHubAttach(3, GreetWith, &g_format), kEventHubOk);
  Publish("T 0 EL000123 heard raw=83\r\n");
  EXPECT_EQ(Drain(3), (Lines{kFormat, "T 0 EL000123 heard raw=83\r\n"}));
  EXPECT_EQ(Drain(5).size(), 3u);
}

// A greeting as long as a full state table makes it (longer than a queue)
// reaches a listener that reads nothing while twice a queue of live lines
// come: every greeting line, in order, then the `lost` line, then the
// newest live lines. A greeting that does not fit its buffer fails the
// attach and leaves nothing behind.
TEST_F(EventHub, AGreetingLongerThanAQueueIsNeverCutByASlowListener) {
  Lines greeting{kFormat};
  for (int i = 0; i < 64; ++i) {
    greeting.push_back("T " + std::to_string(i) + " EL" + std::to_string(100000 + i) + " present\r\n");
  }
  for (int i = 0; i < 1024; ++i) {
    // About as long as the longest state lines.
    greeting.push_back("T - - state kind=fs20 n=" + std::to_string(i) + " " + std::string(200, 'x') + "\r\n");
  }
  greeting.push_back("T - - ready\r\n");
  ASSERT_EQ(EventHubAttach(7, GreetWith, &greeting), kEventHubOk);
  EXPECT_EQ(EventHubGetStats().slots[7].queued, greeting.size());
  const int live = 2 * kListenerQueueLines;
  for (int i = 0; i < live; ++i) Publish("T 0 S heard n=" + std::to_string(i) + "\r\n");

  Lines lines = Drain(7);
  ASSERT_EQ(lines.size(), greeting.size() + 1 + kListenerQueueLines);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + greeting.size()), greeting);
  const int lost = live - kListenerQueueLines;
  EXPECT_EQ(lines[greeting.size()], "T - - lost count=" + std::to_string(lost) + "\r\n");
  EXPECT_EQ(lines[greeting.size() + 1], "T 0 S heard n=" + std::to_string(lost) + "\r\n");
  EXPECT_EQ(lines.back(), "T 0 S heard n=" + std::to_string(live - 1) + "\r\n");
  ASSERT_EQ(EventHubDetach(7), kEventHubOk);

  // One line too many for the buffer: no greeting at all, not a cut one.
  std::string line = std::string(kEventLineMax - 2, 'y') + "\r\n";
  Lines tooLong(kGreetingBytes / line.size() + 1, line);
  EXPECT_EQ(EventHubAttach(7, GreetWith, &tooLong), kEventHubGreetingFull);
  EXPECT_FALSE(EventHubGetStats().slots[7].attached);
  Publish("T 0 S heard n=after\r\n");
  ASSERT_EQ(EventHubAttach(7, GreetWith, &g_format), kEventHubOk);
  EXPECT_EQ(Drain(7), Lines{kFormat});
}

TEST_F(EventHub, RefusesWhatWouldBreakAListenersLinesAndLeavesTheQueuesAsTheyWere) {
  ASSERT_EQ(EventHubAttach(4, GreetWith, &g_format), kEventHubOk);
  uint64_t refused = EventHubGetStats().refused;
  std::string longest = std::string(kEventLineMax - 2, 'x') + "\r\n";
  EXPECT_EQ(Publish(longest), kEventHubOk);
  for (std::string bad : {"x" + longest, std::string("no end"), std::string("two\r\nlines\r\n"),
                          std::string("nul\0in\r\n", 8), std::string("caf\xE9\r\n")}) {
    EXPECT_EQ(Publish(bad), kEventHubBadLine) << bad;
  }
  EXPECT_EQ(PublishEventLine(nullptr, 5), kEventHubBadLine);
  EXPECT_EQ(EventHubGetStats().refused, refused + 6);

  // A bad greeting line fails the attach as a whole; a line offered outside
  // a greeting writer touches no queue; a buffer too small takes nothing.
  Lines badGreeting{kFormat, "broken"};
  EXPECT_EQ(EventHubAttach(6, GreetWith, &badGreeting), kEventHubBadLine);
  EXPECT_FALSE(EventHubGetStats().slots[6].attached);
  EventGreeting forged{4, kEventHubOk};
  EXPECT_EQ(EventGreetingLine(forged, kFormat.data(), kFormat.size()), kEventHubNotGreeting);
  char small[kEventLineMax];
  EXPECT_EQ(EventHubNext(4, small, sizeof small, FormatLost), 0u);
  EXPECT_EQ(EventHubAttach(-1, nullptr, nullptr), kEventHubBadSlot);
  EXPECT_EQ(Drain(4), (Lines{kFormat, longest}));
}

}  // namespace
