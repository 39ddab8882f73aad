// 64-bit counters answered as Counter64, and the rate and average statistics
// updated once a minute by their cron task, read back with snmpget from the
// in-process agent; the simulated clock drives the minutes.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/kxsnmp.h"
#include "lib/runtime/kxtime.h"
#include "tests/fixtures/pass_counter.h"
#include "tests/snmp/snmptest.h"

namespace {

constexpr time_t kHour = 1700000000 - 1700000000 % 3600;

uint64_t g_big = 0x100000002ULL;
unsigned long g_hits = 0;
unsigned long g_sum = 0, g_count = 0;
snmp_rate_stats g_rate;
snmp_average_stats g_avg;

TEST(SnmpStats, Counter64AndMinuteStatistics) {
  ASSERT_EQ(0, kxtime_sim_initialize(kHour - 10));
  kxtest::SnmpSandbox box("kxtest-stats");
  ASSERT_GT(box.port(), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(snmp_lib_init("kxtest-stats"), 0);
  std::string started = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(snmp_lib_running()) << started;

  ASSERT_EQ(snmp_lib_add_counter64("bigCounter", &g_big, 1, 3, 6, 1, 4, 1, 99999, 3, 1, 0), 0);
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.3.1"), "4294967298");
  g_big = 0xFFFFFFFFFFFFFFFFULL;  // read at every request
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.3.1"), "18446744073709551615");
  testing::internal::CaptureStderr();
  EXPECT_NE(snmp_lib_add_counter64("bigAgain", &g_big, 1, 3, 6, 1, 4, 1, 99999, 3, 1, 0), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("SNMP: Duplicate Bind bigAgain\n"), std::string::npos);
  EXPECT_EQ(snmp_lib_del_int("bigCounter", 1, 3, 6, 1, 4, 1, 99999, 3, 1, 0), 0);
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.3.1"), "18446744073709551615");  // still registered

  EXPECT_EQ(snmp_add_rate_calc(0, &g_hits, &g_rate), 1);
  EXPECT_EQ(snmp_add_rate_calc(60, nullptr, &g_rate), 1);
  EXPECT_EQ(snmp_add_avg_calc(120, &g_sum, nullptr, &g_avg), 1);
  ASSERT_EQ(snmp_add_rate_calc(60, &g_hits, &g_rate), 0);
  ASSERT_EQ(snmp_add_avg_calc(120, &g_sum, &g_count, &g_avg), 0);
  ASSERT_EQ(snmp_lib_add_int("rateAverage", &g_rate.average, 1, 3, 6, 1, 4, 1, 99999, 3, 2, 0), 0);
  ASSERT_EQ(snmp_lib_add_int("avgLast", &g_avg.last, 1, 3, 6, 1, 4, 1, 99999, 3, 3, 0), 0);

  PassCounter passes;
  add_cron_task(0, PassCounter::task, &passes);
  auto step = [&](time_t t) {
    int before = passes.count();
    kxtime_sim_settime(t);
    ASSERT_TRUE(passes.wait_for(before + 1));
  };
  // Minute m (1 to 12) adds m * 10 hits, 100 to the sum and 2 to the count.
  for (int m = 1; m <= 12; ++m) {
    g_hits += static_cast<unsigned long>(m) * 10;
    g_sum += 100;
    g_count += 2;
    step(kHour + 60 * (m - 1));
    if (m == 2) {
      EXPECT_EQ(g_rate.num, 2);
      EXPECT_EQ(g_rate.last, 20);
      EXPECT_EQ(g_avg.num, 1);  // every 120 seconds only
      EXPECT_EQ(g_avg.last, 50);
      step(kHour + 90);  // not a whole minute: nothing changes
      EXPECT_EQ(g_rate.num, 2);
    }
  }
  // The ring keeps the last ten values, 30 to 120: the minimum was searched
  // again when 10 and 20 were overwritten.
  EXPECT_EQ(g_rate.num, RATE_HISTORY_SIZE);
  EXPECT_EQ(g_rate.last, 120);
  EXPECT_EQ(g_rate.min, 30);
  EXPECT_EQ(g_rate.max, 120);
  EXPECT_EQ(g_rate.sum, 750);
  EXPECT_EQ(g_rate.average, 75);
  EXPECT_EQ(g_avg.num, 6);
  EXPECT_EQ(g_avg.average, 50);
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.3.2"), "75");
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.3.3"), "50");

  // The sum and count of minute 12 are taken at the next even minute; then
  // a count that did not grow gives 0.
  step(kHour + 60 * 12);
  EXPECT_EQ(g_avg.last, 50);
  step(kHour + 60 * 13);
  step(kHour + 60 * 14);
  EXPECT_EQ(g_avg.last, 0);
  EXPECT_EQ(g_avg.num, 8);
  EXPECT_EQ(g_avg.min, 0);
  EXPECT_EQ(g_avg.max, 50);
  EXPECT_EQ(g_avg.average, 350 / 8);

  // The stop drops the entries and their task: the statistics stay as they were.
  snmp_rate_stats before = g_rate;
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp_lib_terminate(), 0);
  testing::internal::GetCapturedStderr();
  g_hits += 1000;
  step(kHour + 60 * 15);
  EXPECT_EQ(g_rate.last, before.last);
  EXPECT_EQ(g_rate.pos, before.pos);
  kxtime_terminate();
}

}  // namespace
