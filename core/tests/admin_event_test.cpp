#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/admin_event.h"
#include "core/tests/event_recorder.h"
#include "core/fault_limiter.h"

namespace {


class AdminEvents : public ::testing::Test {
 protected:
  void SetUp() override { g_recorded.clear(); }
  void TearDown() override { SetAdminEventSink(nullptr); }
};

TEST_F(AdminEvents, ReachTheSinkWithExactlyTheInsertsTheEventTakes) {
  ReportAdminEvent(kAdminTransceiverInUse, {"EL000123", "0"});
  EXPECT_TRUE(g_recorded.empty()) << "no sink set: nothing happens";

  SetAdminEventSink(RecordAdminEvent);
  ReportAdminEvent(kAdminTransceiverInUse, {"EL000123", Decimal(7u).text});
  // Too few, a null, and too many: the sink always gets the event's count.
  ReportAdminEvent(kAdminTransceiverNotOpened, {"EL000777", nullptr});
  ReportAdminEvent(kAdminServiceStarted, {"1.0.0", "extra"});
  ReportAdminEvent(kAdminServiceStopping);
  ASSERT_EQ(g_recorded.size(), 4u);
  EXPECT_EQ(g_recorded[0].inserts, (std::vector<std::string>{"EL000123", "7"}));
  EXPECT_EQ(g_recorded[1].inserts, (std::vector<std::string>{"EL000777", "", "", ""}));
  EXPECT_EQ(g_recorded[2].inserts, (std::vector<std::string>{"1.0.0"}));
  EXPECT_TRUE(g_recorded[3].inserts.empty());

  SetAdminEventSink(nullptr);
  ReportAdminEvent(kAdminServiceStopping);
  EXPECT_EQ(g_recorded.size(), 4u);
}

TEST_F(AdminEvents, TableListsEachEventOnceWithinTheInsertLimit) {
  for (size_t i = 0; i < kAdminEventCount; ++i) {
    EXPECT_LE(kAdminEvents[i].inserts, kAdminMaxInserts) << kAdminEvents[i].name;
    for (size_t j = i + 1; j < kAdminEventCount; ++j) {
      EXPECT_NE(kAdminEvents[i].event, kAdminEvents[j].event) << kAdminEvents[j].name;
    }
  }
  EXPECT_EQ(AdminEventInserts(static_cast<AdminEvent>(999)), 0u);
}

TEST_F(AdminEvents, DecimalTextCoversTheWholeRange) {
  EXPECT_STREQ(Decimal(0u).text, "0");
  EXPECT_STREQ(Decimal(63u).text, "63");
  EXPECT_STREQ(Decimal(UINT64_MAX).text, "18446744073709551615");
}

TEST_F(AdminEvents, MovedDownNamesEveryLaterSlotOrNone) {
  const char* serials[] = {"EL000123", "EL000777", "EL000999", "EL000555"};
  char out[128];
  FormatMovedDown(serials, 4, 1, out, sizeof out);
  EXPECT_STREQ(out, "EL000999 from 2 to 1; EL000555 from 3 to 2");
  FormatMovedDown(serials, 4, 3, out, sizeof out);
  EXPECT_STREQ(out, "none");
  FormatMovedDown(serials, 1, 0, out, sizeof out);
  EXPECT_STREQ(out, "none");

  // A buffer too small for all: whole entries, then "...", never past the end.
  char small[32];
  std::memset(small, 'x', sizeof small);
  FormatMovedDown(serials, 4, 0, small, 31);
  EXPECT_STREQ(small, "EL000777 from 1 to 0...");
  EXPECT_EQ(small[31], 'x');

  // 64 transceivers, the first pulled out: fits the sink's insert size.
  std::vector<std::string> many;
  std::vector<const char*> pointers;
  for (int i = 0; i < 64; ++i) many.push_back("EL" + std::to_string(100000 + i));
  for (auto& s : many) pointers.push_back(s.c_str());
  char big[2048];
  FormatMovedDown(pointers.data(), 64, 0, big, sizeof big);
  EXPECT_NE(std::string(big).find("EL100063 from 63 to 62"), std::string::npos);
}

// A transceiver that never gets ready: a report per request for ten
// minutes, one request every 100 ms.
TEST(FaultLimiterTest, OneReportAMinuteWithTheCountLeftOut) {
  FaultLimiter limiter;
  std::vector<std::pair<uint64_t, uint32_t>> admitted;
  for (uint64_t now = 5000; now < 5000 + 10 * 60 * 1000; now += 100) {
    uint32_t leftOut = 12345;
    if (FaultLimiterAdmit(limiter, now, &leftOut)) admitted.push_back({now, leftOut});
  }
  ASSERT_EQ(admitted.size(), 10u);
  EXPECT_EQ(admitted[0], (std::pair<uint64_t, uint32_t>{5000, 0}));
  for (size_t i = 1; i < admitted.size(); ++i) {
    EXPECT_EQ(admitted[i].first, 5000 + i * 60000);
    EXPECT_EQ(admitted[i].second, 599u);
  }
}

TEST(FaultLimiterTest, QuietTimeAndAClockGoingBack) {
  FaultLimiter limiter;
  uint32_t leftOut = 0;
  EXPECT_TRUE(FaultLimiterAdmit(limiter, 0, &leftOut));  // a clock at 0 is a time like any
  EXPECT_FALSE(FaultLimiterAdmit(limiter, 59999, &leftOut));
  EXPECT_FALSE(FaultLimiterAdmit(limiter, 10, nullptr));  // backwards: no time passed
  EXPECT_TRUE(FaultLimiterAdmit(limiter, 3600000, &leftOut));  // after an hour's quiet
  EXPECT_EQ(leftOut, 2u);
  EXPECT_FALSE(FaultLimiterAdmit(limiter, 3600001, nullptr));
  EXPECT_TRUE(FaultLimiterAdmit(limiter, 3660000, &leftOut));
  EXPECT_EQ(leftOut, 1u);
}

TEST(FaultLimiterTest, ConcurrentCallersLoseNoCount) {
  FaultLimiter limiter;
  uint32_t first = 0;
  ASSERT_TRUE(FaultLimiterAdmit(limiter, 1000, &first));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&limiter] {
      for (int i = 0; i < 10000; ++i) FaultLimiterAdmit(limiter, 2000, nullptr);
    });
  }
  for (auto& t : threads) t.join();
  uint32_t leftOut = 0;
  ASSERT_TRUE(FaultLimiterAdmit(limiter, 61000, &leftOut));
  EXPECT_EQ(leftOut, 40000u);
}

}  // namespace
