#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/event_hub.h"

namespace {

size_t FormatLost(uint64_t count, char* out, size_t size) {
  return static_cast<size_t>(std::snprintf(out, size, "T - - lost count=%" PRIu64 "\r\n", count));
}

EventHubStatus Publish(const std::string& line) { return PublishEventLine(line.data(), line.size()); }

// Every line waiting for `slot`, in order; no more than a full queue and
// its `lost` line can be waiting.
std::vector<std::string> Drain(int slot) {
  std::vector<std::string> lines;
  char out[kEventLineBuffer];
  while (size_t n = EventHubNext(slot, out, sizeof out, FormatLost)) {
    lines.emplace_back(out, n);
    if (lines.size() > kListenerQueueLines + 1) break;
  }
  return lines;
}

// Greets with the lines of a std::vector<std::string>.
void GreetWith(EventGreeting& greeting, void* context) {
  for (const std::string& line : *static_cast<std::vector<std::string>*>(context)) {
    EventGreetingLine(greeting, line.data(), line.size());
  }
}

std::atomic<int> g_wakes{0};
void CountWake(void*) { ++g_wakes; }

class EventHub : public ::testing::Test {
 protected:
  void TearDown() override {
    SetEventHubWake(nullptr, nullptr);
    for (int slot = 0; slot < kEventListenerCount; ++slot) EventHubDetach(slot);
  }
};

TEST_F(EventHub, ListenerThatNeverReadsLosesItsOldestLinesAndIsToldHowMany) {
  std::vector<std::string> greeting{"T - - format id=zarvo-events version=1\r\n"};
  ASSERT_EQ(EventHubAttach(0, GreetWith, &greeting), kEventHubOk);
  SetEventHubWake(CountWake, nullptr);
  g_wakes = 0;

  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> publishers;
  for (int t = 0; t < kThreads; ++t) {
    publishers.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Finishing at all shows the publishers never wait on the listener.
        ASSERT_EQ(Publish("T 0 EL00000" + std::to_string(t) + " heard seq=" + std::to_string(i) + "\r\n"),
                  kEventHubOk);
      }
    });
  }
  for (std::thread& p : publishers) p.join();
  EXPECT_EQ(g_wakes.load(), kThreads * kPerThread);

  std::vector<std::string> lines = Drain(0);
  const uint64_t lost = 1 + kThreads * kPerThread - kListenerQueueLines;
  ASSERT_EQ(lines.size(), 1 + kListenerQueueLines);
  EXPECT_EQ(lines[0], "T - - lost count=" + std::to_string(lost) + "\r\n");
  // The newest 1,000 in order: each thread's lines that were kept are the
  // end of its sequence, without a gap.
  int next[kThreads];
  for (int t = 0; t < kThreads; ++t) next[t] = -1;
  for (size_t i = 1; i < lines.size(); ++i) {
    int t = -1;
    int seq = -1;
    ASSERT_EQ(std::sscanf(lines[i].c_str(), "T 0 EL00000%d heard seq=%d", &t, &seq), 2) << lines[i];
    if (next[t] != -1) {
      EXPECT_EQ(seq, next[t]) << lines[i];
    }
    next[t] = seq + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(next[t] == -1 || next[t] == kPerThread) << t;

  EventHubSlotStats stats = EventHubGetStats().slots[0];
  EXPECT_EQ(stats.lost, lost);
  EXPECT_EQ(stats.lostNow, 0u);
  EXPECT_EQ(stats.queued, 0u);
}

// What the greeting of this scenario reads while a publisher runs: how many
// lines the publisher has begun to publish.
std::atomic<int> g_begun{0};

void GreetWithBegun(EventGreeting& greeting, void*) {
  std::string line = "T - - present begun=" + std::to_string(g_begun.load()) + "\r\n";
  EventGreetingLine(greeting, line.data(), line.size());
}

TEST_F(EventHub, ListenerAttachedWhilePublishingGetsEveryLineAfterItsGreetingOnce) {
  g_begun = 0;
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    while (!stop) {
      // The test's own brake, so that a reader descheduled on a busy
      // machine does not make this a test of losing lines.
      EventHubStats stats = EventHubGetStats();
      if (stats.slots[1].queued + stats.slots[2].queued > kListenerQueueLines / 2) {
        std::this_thread::yield();
        continue;
      }
      int n = ++g_begun;
      Publish("T 0 EL000123 heard n=" + std::to_string(n) + "\r\n");
    }
  });

  // Attach, check, detach and attach again, on two slots in turn. When the
  // greeting read `begun`, lines up to begun - 1 had been published and
  // line `begun` perhaps not yet: the live lines start at one of the two,
  // and go on without a gap or a repeat.
  for (int round = 0; round < 200; ++round) {
    int slot = 1 + round % 2;
    ASSERT_EQ(EventHubAttach(slot, GreetWithBegun, nullptr), kEventHubOk);
    char out[kEventLineBuffer];
    int begun = -1;
    int expected = 0;
    for (int seen = 0; seen < 50;) {
      size_t n = EventHubNext(slot, out, sizeof out, FormatLost);
      if (n == 0) continue;
      ++seen;
      if (begun < 0) {
        ASSERT_EQ(std::sscanf(out, "T - - present begun=%d", &begun), 1) << out;
        continue;
      }
      int got = 0;
      ASSERT_EQ(std::sscanf(out, "T 0 EL000123 heard n=%d", &got), 1) << out;
      if (expected == 0) {
        ASSERT_TRUE(got == begun || got == begun + 1) << "begun " << begun << ", first " << got;
      } else {
        ASSERT_EQ(got, expected) << "round " << round;
      }
      expected = got + 1;
    }
    ASSERT_EQ(EventHubDetach(slot), kEventHubOk);
  }
  stop = true;
  publisher.join();
}

TEST_F(EventHub, ListenersShareLinesButNotGreetingsAndADetachedSlotStartsAfresh) {
  std::vector<std::string> a{"T - - format id=zarvo-events version=1\r\n", "T 0 EL000123 present\r\n"};
  std::vector<std::string> b{"T - - format id=zarvo-events version=1\r\n"};
  ASSERT_EQ(EventHubAttach(3, GreetWith, &a), kEventHubOk);
  ASSERT_EQ(EventHubAttach(5, GreetWith, &b), kEventHubOk);
  EXPECT_EQ(EventHubAttach(5, GreetWith, &b), kEventHubSlotBusy);
  Publish("T 0 EL000123 heard kind=unknown raw=81\r\n");
  Publish("T 1 EL000777 plugged\r\n");

  std::vector<std::string> onA = Drain(3);
  std::vector<std::string> onB = Drain(5);
  ASSERT_EQ(onA.size(), 4u);
  ASSERT_EQ(onB.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(onA.begin() + 2, onA.end()),
            std::vector<std::string>(onB.begin() + 1, onB.end()));
  EXPECT_EQ(onA[1], a[1]);

  // Lines pending for a listener that went are gone with it; the next
  // listener on that slot starts with its own greeting and the lines after.
  Publish("T 1 EL000777 pulled moved=none\r\n");
  ASSERT_EQ(EventHubDetach(3), kEventHubOk);
  Publish("T 0 EL000123 heard kind=unknown raw=82\r\n");
  EXPECT_TRUE(Drain(3).empty());
  ASSERT_EQ(EventHubAttach(3, GreetWith, &b), kEventHubOk);
  Publish("T 0 EL000123 heard kind=unknown raw=83\r\n");
  EXPECT_EQ(Drain(3), (std::vector<std::string>{b[0], "T 0 EL000123 heard kind=unknown raw=83\r\n"}));
  EXPECT_EQ(Drain(5).size(), 3u);
}

TEST_F(EventHub, RefusesWhatWouldBreakAListenersLinesAndLeavesTheQueuesAsTheyWere) {
  std::vector<std::string> greeting{"T - - format id=zarvo-events version=1\r\n"};
  ASSERT_EQ(EventHubAttach(4, GreetWith, &greeting), kEventHubOk);
  uint64_t refused = EventHubGetStats().refused;

  std::string longest = std::string(kEventLineMax - 2, 'x') + "\r\n";
  std::string tooLong = std::string(kEventLineMax - 1, 'x') + "\r\n";
  EXPECT_EQ(Publish(longest), kEventHubOk);
  EXPECT_EQ(Publish(tooLong), kEventHubBadLine);
  EXPECT_EQ(Publish("no line end"), kEventHubBadLine);
  EXPECT_EQ(Publish("two\r\nlines\r\n"), kEventHubBadLine);
  EXPECT_EQ(Publish(std::string("nul\0inside\r\n", 12)), kEventHubBadLine);
  EXPECT_EQ(Publish("caf\xE9\r\n"), kEventHubBadLine);
  EXPECT_EQ(PublishEventLine(nullptr, 5), kEventHubBadLine);
  EXPECT_EQ(EventHubGetStats().refused, refused + 6);
  EXPECT_EQ(Drain(4), (std::vector<std::string>{greeting[0], longest}));

  // A bad greeting line fails the attach as a whole; a line offered outside
  // a greeting writer touches no queue.
  std::vector<std::string> bad{"T - - format id=zarvo-events version=1\r\n", "broken"};
  EXPECT_EQ(EventHubAttach(6, GreetWith, &bad), kEventHubBadLine);
  EXPECT_FALSE(EventHubGetStats().slots[6].attached);
  EventGreeting forged{4, kEventHubOk};
  EXPECT_EQ(EventGreetingLine(forged, greeting[0].data(), greeting[0].size()), kEventHubNotGreeting);

  Publish("T - - alive\r\n");
  char small[kEventLineMax];
  EXPECT_EQ(EventHubNext(4, small, sizeof small, FormatLost), 0u) << "a buffer too small takes nothing";
  EXPECT_EQ(EventHubNext(kEventListenerCount, small, sizeof small, FormatLost), 0u);
  EXPECT_EQ(EventHubAttach(-1, nullptr, nullptr), kEventHubBadSlot);
  EXPECT_EQ(EventHubDetach(kEventListenerCount), kEventHubBadSlot);
  EXPECT_EQ(Drain(4), (std::vector<std::string>{"T - - alive\r\n"}));
}

}  // namespace
