#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/air_budget.h"

namespace {

constexpr uint64_t kHour = kAirBudgetWindowMs;

// Sends `count` commands from `startMs` on, `stepMs` apart; returns how many
// warnings came.
int Send(AirBudget& budget, const char* serial, int count, uint64_t startMs, uint64_t stepMs) {
  int warnings = 0;
  for (int i = 0; i < count; ++i) warnings += AirBudgetCount(budget, serial, startMs + i * stepMs);
  return warnings;
}

TEST(AirBudget, WarnsOnceAnHourWhenMoreThan160CommandsFellWithinTheLastHour) {
  auto budget = std::make_unique<AirBudget>();
  // 160 commands a second apart: at the mark, not past it.
  EXPECT_EQ(Send(*budget, "EL000123", 160, 0, 1000), 0);
  // The 161st exactly an hour after the first: the first no longer counts.
  EXPECT_FALSE(AirBudgetCount(*budget, "EL000123", kHour));
  // One more, and 161 fell within the hour (1 s .. 1 h + 500 ms).
  EXPECT_TRUE(AirBudgetCount(*budget, "EL000123", kHour + 500));
  const uint64_t warnedAt = kHour + 500;
  // Still past the mark, but warned within the hour: silent until an hour
  // after the warning, then once again.
  EXPECT_EQ(Send(*budget, "EL000123", 359, warnedAt + 10000, 10000), 0);
  EXPECT_FALSE(AirBudgetCount(*budget, "EL000123", warnedAt + kHour - 1));
  EXPECT_TRUE(AirBudgetCount(*budget, "EL000123", warnedAt + kHour));
  EXPECT_FALSE(AirBudgetCount(*budget, "EL000123", warnedAt + kHour + 1));
  // After a quiet hour the count starts over.
  EXPECT_EQ(Send(*budget, "EL000123", 160, warnedAt + 3 * kHour, 1), 0);
  EXPECT_TRUE(AirBudgetCount(*budget, "EL000123", warnedAt + 3 * kHour + 160));
}

TEST(AirBudget, CountsEachTransceiverApartWhateverTheCaseOfItsSerialAndFromManyThreads) {
  auto budget = std::make_unique<AirBudget>();
  EXPECT_EQ(Send(*budget, "EL000999", 160, 0, 1), 0);
  // Four threads send 100 each through one transceiver, spelling its serial
  // in two ways: exactly one warning among the 400.
  std::atomic<int> warnings{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] { warnings += Send(*budget, t % 2 ? "abc123" : "ABC123", 100, 1000, 1); });
  }
  for (std::thread& s : senders) s.join();
  EXPECT_EQ(warnings.load(), 1);
  // The other transceiver's 160 did not count towards it, nor its warning.
  EXPECT_TRUE(AirBudgetCount(*budget, "el000999", 2000));
  // A serial that differs only past the ASCII letters is another one.
  EXPECT_FALSE(AirBudgetCount(*budget, "EL000999\xC4", 2000));
  // A missing serial is counted, as the empty one.
  EXPECT_EQ(Send(*budget, nullptr, 160, 0, 1), 0);
  EXPECT_TRUE(AirBudgetCount(*budget, "", 200));
}

TEST(AirBudget, FullTableGivesTheLeastRecentlyUsedEntryToANewSerial) {
  auto budget = std::make_unique<AirBudget>();
  EXPECT_EQ(Send(*budget, "A", 160, 0, 1), 0);
  EXPECT_EQ(Send(*budget, "B", 160, 0, 1), 0);
  for (size_t i = 0; i < kAirBudgetSerials - 2; ++i) {
    EXPECT_FALSE(AirBudgetCount(*budget, ("S" + std::to_string(i)).c_str(), 500));
  }
  // The table is full. A, used again now, keeps its count; B, now the least
  // recently used, gives its entry to C and starts again from nothing.
  EXPECT_TRUE(AirBudgetCount(*budget, "A", 600));
  EXPECT_FALSE(AirBudgetCount(*budget, "C", 600));
  EXPECT_FALSE(AirBudgetCount(*budget, "B", 600));
  EXPECT_EQ(Send(*budget, "B", 159, 601, 1), 0);
  EXPECT_TRUE(AirBudgetCount(*budget, "B", 800));
}

}  // namespace
