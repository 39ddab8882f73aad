// Report periods: the run-interval table in a report's own zone, the zone's
// conversions against glibc's localtime_r/mktime under TZ, two reports in
// different zones on two threads, and the filter dates of demand periods.
#include "src/report/period.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <absl/time/civil_time.h>
#include <absl/time/time.h>

#include "src/report/filter.h"
#include "src/report/report.h"

namespace {

report_tz zone(const char *name) {
  report_tz tz;
  EXPECT_TRUE(tz.load(name)) << name;
  return tz;
}

// "YYYY-MM-DD hh:mm:ss" in the zone (a time that occurs once there).
time_t at(const char *zone_name, const char *text) {
  absl::TimeZone z;
  EXPECT_TRUE(absl::LoadTimeZone(zone_name, &z));
  absl::Time t;
  std::string err;
  EXPECT_TRUE(absl::ParseTime("%Y-%m-%d %H:%M:%S", text, z, &t, &err)) << text << err;
  return absl::ToUnixSeconds(t);
}

// t in the zone with its offset, to read failures easily.
std::string show(const char *zone_name, time_t t) {
  absl::TimeZone z;
  EXPECT_TRUE(absl::LoadTimeZone(zone_name, &z));
  return absl::FormatTime("%Y-%m-%d %H:%M:%S %z", absl::FromUnixSeconds(t), z);
}

// Sets TZ for glibc's own conversions and restores it after.
class ScopedTZ {
 public:
  // Null unsets TZ.
  explicit ScopedTZ(const char *value) {
    if (const char *old = getenv("TZ")) old_ = old;
    if (value) setenv("TZ", value, 1); else unsetenv("TZ");
    tzset();
  }
  ~ScopedTZ() {
    if (old_) setenv("TZ", old_->c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

// ---- The run-interval table ---------------------------------------------

struct PeriodCase {
  const char *zone;
  int code;
  const char *date;  // the job's next run time, local
  const char *start, *end, *next, *cutoff;  // with their offsets
};

const char kCet[] = "CET-1CEST,M3.5.0,M10.5.0/3";

const PeriodCase kPeriods[] = {
    // Hours, minutes.
    {"Europe/Berlin", 23, "2026-06-10 10:17:45", "2026-06-10 09:00:00 +0200",
     "2026-06-10 09:59:59 +0200", "2026-06-10 11:00:00 +0200", "2026-05-28 22:00:00 +0200"},
    {"Europe/Berlin", 20, "2026-06-10 10:17:45", "2026-06-10 10:10:00 +0200",
     "2026-06-10 10:14:59 +0200", "2026-06-10 10:20:00 +0200", "2026-06-09 09:15:00 +0200"},
    {"Europe/Berlin", 19, "2026-06-10 10:17:45", "2026-06-10 10:16:00 +0200",
     "2026-06-10 10:16:59 +0200", "2026-06-10 10:18:00 +0200", "2026-06-10 05:17:00 +0200"},
    {"Europe/Berlin", 21, "2026-06-10 10:17:45", "2026-06-10 10:00:00 +0200",
     "2026-06-10 10:09:59 +0200", "2026-06-10 10:20:00 +0200", "2026-06-08 08:10:00 +0200"},
    {"Europe/Berlin", 22, "2026-06-10 10:47:00", "2026-06-10 10:00:00 +0200",
     "2026-06-10 10:29:59 +0200", "2026-06-10 11:00:00 +0200", "2026-06-04 04:30:00 +0200"},
    {"Europe/Berlin", 24, "2026-06-10 11:17:45", "2026-06-10 08:00:00 +0200",
     "2026-06-10 09:59:59 +0200", "2026-06-10 12:00:00 +0200", "2026-05-16 10:00:00 +0200"},
    {"Europe/Berlin", 25, "2026-06-10 11:17:45", "2026-06-10 00:00:00 +0200",
     "2026-06-10 05:59:59 +0200", "2026-06-10 12:00:00 +0200", "2026-03-27 06:00:00 +0100"},
    {"Europe/Berlin", 26, "2026-06-10 11:17:45", "2026-06-09 12:00:00 +0200",
     "2026-06-09 23:59:59 +0200", "2026-06-10 12:00:00 +0200", "2026-01-11 00:00:00 +0100"},
    // Days: the previous local midnight on both sides of the spring and the
    // autumn change, also for a run late on the day of the spring change.
    {"Europe/Berlin", 27, "2026-03-30 00:00:00", "2026-03-29 00:00:00 +0100",
     "2026-03-29 23:59:59 +0200", "2026-03-31 00:00:00 +0200", "2025-03-30 00:00:00 +0100"},
    {"Europe/Berlin", 27, "2026-03-29 10:00:00", "2026-03-28 00:00:00 +0100",
     "2026-03-28 23:59:59 +0100", "2026-03-30 00:00:00 +0200", "2025-03-29 00:00:00 +0100"},
    {"Europe/Berlin", 27, "2026-10-26 00:00:00", "2026-10-25 00:00:00 +0200",
     "2026-10-25 23:59:59 +0100", "2026-10-27 00:00:00 +0100", "2025-10-26 00:00:00 +0200"},
    {"Europe/Berlin", 28, "2026-06-10 11:17:45", "2026-06-08 00:00:00 +0200",
     "2026-06-09 23:59:59 +0200", "2026-06-12 00:00:00 +0200", "2024-06-10 00:00:00 +0200"},
    // The repeated autumn hour: the hour before 02:00 standard time is the
    // first 02:00 (summer time).
    {"Europe/Berlin", 23, "2026-10-25 02:30:00 +0100", "2026-10-25 02:00:00 +0200",
     "2026-10-25 02:59:59 +0200", "2026-10-25 03:00:00 +0100", "2026-10-12 15:00:00 +0200"},
    // Weeks: from a Monday, the week before; a start day later in the week
    // than the instant (Saturday weeks, a Wednesday) gives the week that
    // holds the instant.
    {"Europe/Berlin", 37, "2026-06-08 00:00:00", "2026-06-01 00:00:00 +0200",
     "2026-06-07 23:59:59 +0200", "2026-06-15 00:00:00 +0200", "2020-09-07 00:00:00 +0200"},
    {"Europe/Berlin", 42, "2026-06-10 12:00:00", "2026-06-06 00:00:00 +0200",
     "2026-06-12 23:59:59 +0200", "2026-06-20 00:00:00 +0200", "2020-09-12 00:00:00 +0200"},
    {"Europe/Berlin", 29, "2026-04-01 08:00:00", "2026-03-22 00:00:00 +0100",
     "2026-03-28 23:59:59 +0100", "2026-04-05 00:00:00 +0200", "2020-06-28 00:00:00 +0200"},
    {"Europe/Berlin", 37, "2026-03-30 00:00:00", "2026-03-23 00:00:00 +0100",
     "2026-03-29 23:59:59 +0200", "2026-04-06 00:00:00 +0200", "2020-06-29 00:00:00 +0200"},
    // Months: February of a common and of a leap year; the next month
    // after the spring change.
    {"Europe/Berlin", 30, "2026-03-15 12:00:00", "2026-02-01 00:00:00 +0100",
     "2026-02-28 23:59:59 +0100", "2026-04-01 00:00:00 +0200", "2001-03-01 00:00:00 +0100"},
    {"Europe/Berlin", 30, "2024-03-15 12:00:00", "2024-02-01 00:00:00 +0100",
     "2024-02-29 23:59:59 +0100", "2024-04-01 00:00:00 +0200", "1999-03-01 00:00:00 +0100"},
    {"Europe/Berlin", 30, "2026-01-10 00:00:00", "2025-12-01 00:00:00 +0100",
     "2025-12-31 23:59:59 +0100", "2026-02-01 00:00:00 +0100", "2001-01-01 00:00:00 +0100"},
    // Other zones: the southern spring, half-hour offsets.
    {"Australia/Sydney", 27, "2026-10-05 00:00:00", "2026-10-04 00:00:00 +1000",
     "2026-10-04 23:59:59 +1100", "2026-10-06 00:00:00 +1100", "2025-10-05 00:00:00 +1000"},
    {"Asia/Kolkata", 23, "2026-06-10 10:17:45", "2026-06-10 09:00:00 +0530",
     "2026-06-10 09:59:59 +0530", "2026-06-10 11:00:00 +0530", "2026-05-28 22:00:00 +0530"},
    {"America/New_York", 27, "2026-03-09 00:00:00", "2026-03-08 00:00:00 -0500",
     "2026-03-08 23:59:59 -0400", "2026-03-10 00:00:00 -0400", "2025-03-09 00:00:00 -0500"},
    // The days of the changes in three zones. New York: the hour after the
    // spring change starts at 01:00 standard time (the skipped hour has no
    // run); the autumn hour repeated; midnights; a week holding the change.
    {"America/New_York", 23, "2026-03-08 03:30:00", "2026-03-08 01:00:00 -0500",
     "2026-03-08 01:59:59 -0500", "2026-03-08 04:00:00 -0400", "2026-02-23 14:00:00 -0500"},
    {"America/New_York", 23, "2026-11-01 01:30:00 -0500", "2026-11-01 01:00:00 -0400",
     "2026-11-01 01:59:59 -0400", "2026-11-01 02:00:00 -0500", "2026-10-19 14:00:00 -0400"},
    {"America/New_York", 27, "2026-11-02 00:00:00", "2026-11-01 00:00:00 -0400",
     "2026-11-01 23:59:59 -0500", "2026-11-03 00:00:00 -0500", "2025-11-02 00:00:00 -0400"},
    {"America/New_York", 29, "2026-03-10 12:00:00", "2026-03-01 00:00:00 -0500",
     "2026-03-07 23:59:59 -0500", "2026-03-15 00:00:00 -0400", "2020-06-07 00:00:00 -0400"},
    // Sydney: the southern autumn (03:00 back to 02:00) and spring.
    {"Australia/Sydney", 23, "2026-04-05 02:30:00 +1000", "2026-04-05 02:00:00 +1100",
     "2026-04-05 02:59:59 +1100", "2026-04-05 03:00:00 +1000", "2026-03-23 15:00:00 +1100"},
    {"Australia/Sydney", 27, "2026-04-06 00:00:00", "2026-04-05 00:00:00 +1100",
     "2026-04-05 23:59:59 +1000", "2026-04-07 00:00:00 +1000", "2025-04-06 00:00:00 +1100"},
    {"Australia/Sydney", 23, "2026-10-04 03:30:00", "2026-10-04 01:00:00 +1000",
     "2026-10-04 01:59:59 +1000", "2026-10-04 04:00:00 +1100", "2026-09-21 14:00:00 +1000"},
    {"Australia/Sydney", 30, "2026-04-15 12:00:00", "2026-03-01 00:00:00 +1100",
     "2026-03-31 23:59:59 +1100", "2026-05-01 00:00:00 +1000", "2001-04-01 00:00:00 +1000"},
    // Central Europe as a POSIX rule text: the periods of Berlin's rows.
    {kCet, 27, "2026-03-30 00:00:00 +0200", "2026-03-29 00:00:00 +0100",
     "2026-03-29 23:59:59 +0200", "2026-03-31 00:00:00 +0200", "2025-03-30 00:00:00 +0100"},
    {kCet, 27, "2026-03-29 10:00:00 +0200", "2026-03-28 00:00:00 +0100",
     "2026-03-28 23:59:59 +0100", "2026-03-30 00:00:00 +0200", "2025-03-29 00:00:00 +0100"},
    {kCet, 27, "2026-10-26 00:00:00 +0100", "2026-10-25 00:00:00 +0200",
     "2026-10-25 23:59:59 +0100", "2026-10-27 00:00:00 +0100", "2025-10-26 00:00:00 +0200"},
    {kCet, 23, "2026-10-25 02:30:00 +0100", "2026-10-25 02:00:00 +0200",
     "2026-10-25 02:59:59 +0200", "2026-10-25 03:00:00 +0100", "2026-10-12 15:00:00 +0200"},
    {kCet, 23, "2026-03-29 03:30:00 +0200", "2026-03-29 01:00:00 +0100",
     "2026-03-29 01:59:59 +0100", "2026-03-29 04:00:00 +0200", "2026-03-16 14:00:00 +0100"},
    {kCet, 37, "2026-03-30 00:00:00 +0200", "2026-03-23 00:00:00 +0100",
     "2026-03-29 23:59:59 +0200", "2026-04-06 00:00:00 +0200", "2020-06-29 00:00:00 +0200"},
    {kCet, 30, "2026-03-15 12:00:00 +0100", "2026-02-01 00:00:00 +0100",
     "2026-02-28 23:59:59 +0100", "2026-04-01 00:00:00 +0200", "2001-03-01 00:00:00 +0100"},
};

time_t parse_with_offset(const char *text) {
  absl::Time t;
  std::string err;
  EXPECT_TRUE(absl::ParseTime("%Y-%m-%d %H:%M:%S %z", text, &t, &err)) << text << err;
  return absl::ToUnixSeconds(t);
}

// t with the offset the zone gives it, for messages.
std::string show(const report_tz &tz, time_t t) {
  return absl::FormatTime("%Y-%m-%d %H:%M:%S %z", absl::FromUnixSeconds(t),
                          absl::FixedTimeZone(static_cast<int>(tz.gmtoff(t))));
}

TEST(PeriodTest, RunIntervalTable) {
  for (const PeriodCase &c : kPeriods) {
    SCOPED_TRACE(std::string(c.zone) + " code " + std::to_string(c.code) + " " + c.date);
    const report_tz tz = zone(c.zone);
    const time_t date = strlen(c.date) > 19 ? parse_with_offset(c.date) : at(c.zone, c.date);
    time_t start = 1, end = 1, next = 1, cutoff = 1;
    calculate_times(tz, date, c.code, &start, &end, &next, &cutoff);
    EXPECT_EQ(start, parse_with_offset(c.start)) << show(tz, start) << " for " << c.start;
    EXPECT_EQ(end, parse_with_offset(c.end)) << show(tz, end) << " for " << c.end;
    EXPECT_EQ(next, parse_with_offset(c.next)) << show(tz, next) << " for " << c.next;
    EXPECT_EQ(cutoff, parse_with_offset(c.cutoff)) << show(tz, cutoff) << " for " << c.cutoff;
  }
}

TEST(PeriodTest, UnknownCodeGivesZerosAndKeepsCutoff) {
  const report_tz tz = zone("Europe/Berlin");
  for (int code : {0, 18, 31, 36, 43, 99, -1}) {
    time_t start = 5, end = 5, next = 5, cutoff = 12345;
    calculate_times(tz, at("Europe/Berlin", "2026-06-10 10:17:45"), code, &start, &end, &next,
                    &cutoff);
    EXPECT_EQ(start, 0) << code;
    EXPECT_EQ(end, 0) << code;
    EXPECT_EQ(next, 0) << code;
    EXPECT_EQ(cutoff, 12345) << code;
    time_t s, e, n, k = 7;
    EXPECT_EQ(report_scheduled_period(tz, 1781079465, code, &s, &e, &n, &k), 0);
  }
  time_t s, e, n, k;
  EXPECT_EQ(report_scheduled_period(tz, 1781079465, 27, &s, &e, &n, &k), -1);
  EXPECT_GT(n, 1781079465);
}

// The same job in two zones: the period follows each report's own zone.
TEST(PeriodTest, SameInstantDifferentZones) {
  const time_t t = at("UTC", "2026-06-10 03:30:00");
  time_t s1, e1, n1, k1, s2, e2, n2, k2;
  calculate_times(zone("Europe/Berlin"), t, 27, &s1, &e1, &n1, &k1);
  calculate_times(zone("America/New_York"), t, 27, &s2, &e2, &n2, &k2);
  EXPECT_EQ(show("Europe/Berlin", s1), "2026-06-09 00:00:00 +0200");
  EXPECT_EQ(show("America/New_York", s2), "2026-06-08 00:00:00 -0400");
}

// ---- The zone against glibc under TZ ------------------------------------

// The period functions as written with glibc's conversions in the process
// zone: the oracle for the zone-per-report versions.
namespace glibc {

bool same_local(const struct tm &a, const struct tm &b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

void adjust_time(time_t *time, int interval, long r, int direction) {
  struct tm tm;
  if (!localtime_r(time, &tm) || tm.tm_gmtoff == r) return;
  const int32_t d = static_cast<int32_t>(tm.tm_gmtoff - r);
  if (llabs(d) >= interval) return;
  *time -= d;
  if (localtime_r(time, &tm) && tm.tm_gmtoff == r) *time += static_cast<time_t>(interval) * direction;
}

void adjust(time_t *time, int change, int weekday, bool week) {
  struct tm tm;
  if (!localtime_r(time, &tm)) {
    *time = 0;
    return;
  }
  const long r = tm.tm_gmtoff;
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  if (week) {
    tm.tm_mday += weekday - tm.tm_wday + 7 * change;
  } else {
    tm.tm_mday = 1;
    tm.tm_mon += change;
  }
  *time = mktime(&tm);
  adjust_time(time, week ? 604800 : 2592000, r, change <= 0 ? -1 : 1);
}

void calculate_times(time_t date, int code, time_t *start, time_t *end, time_t *next,
                     time_t *cutoff) {
  static const int seconds[] = {60, 300, 600, 1800, 3600, 7200, 21600, 43200, 86400, 172800};
  if (code >= 19 && code <= 28) {
    const int interval = seconds[code - 19];
    struct tm tm;
    localtime_r(&date, &tm);
    tm.tm_sec = 0;
    if (interval < 3600) {
      tm.tm_min -= tm.tm_min % (interval / 60);
    } else {
      tm.tm_min = 0;
      if (interval < 86400) tm.tm_hour -= tm.tm_hour % (interval / 3600); else tm.tm_hour = 0;
    }
    // The hint of the aligned instant, tried the other way when it lands
    // off the aligned local time.
    const struct tm wanted = tm;
    time_t a = mktime(&tm);
    if (!same_local(tm, wanted)) {
      struct tm other = wanted;
      other.tm_isdst = !wanted.tm_isdst;
      const time_t b = mktime(&other);
      if (b != -1 && same_local(other, wanted)) a = b;
    }
    struct tm atm;
    localtime_r(&a, &atm);
    const long r = atm.tm_gmtoff;
    *end = a - 1;
    *start = a - interval;
    adjust_time(start, interval, r, -1);
    *next = a + interval;
    adjust_time(next, interval, r, 1);
    *cutoff = a - static_cast<time_t>(interval) * (code >= 27 ? 365 : 300);
    adjust_time(cutoff, interval, r, -1);
    return;
  }
  const bool week = code == 29 || (code >= 37 && code <= 42);
  const int weekday = code == 29 ? 0 : code - 36;
  time_t t = date;
  adjust(&t, -1, weekday, week);
  *start = t;
  t = date;
  adjust(&t, 0, weekday, week);
  *end = t - 1;
  t = date;
  adjust(&t, 1, weekday, week);
  *next = t;
  t = date;
  adjust(&t, -300, weekday, week);
  *cutoff = t;
}

}  // namespace glibc

// Zones whose changes all move the daylight flag: where a zone changes its
// standard offset (Europe/Moscow in 2011 and 2014) glibc's mktime answers
// from the offset of its previous call, in any thread, so no fixed result
// equals it there; the zone then takes the earlier of two repeated times.
// Then POSIX rule texts: fixed offsets, rules of every form (month, week and
// day; Julian days with and without February 29; days counted from 0),
// negative and late change times, daylight time behind standard time, the
// southern hemisphere, minutes and seconds in offsets.
const char *const kZones[] = {
    "Europe/Berlin",      "America/New_York", "Australia/Sydney", "Australia/Lord_Howe",
    "America/Sao_Paulo",  "Asia/Kolkata",     "Pacific/Chatham",  "UTC",
    "America/Santiago",   "Europe/London",    "America/Havana",   "Asia/Tehran",
    "Africa/Casablanca",
    "UTC-5", "GMT-2", "<+03>-3", ":UTC-5", "AAA-25", "<+0545>-5:45", "<-0330>3:30",
    kCet, "EST5EDT,M3.2.0,M11.1.0", "AEST-10AEDT,M10.1.0,M4.1.0/3",
    "NZST-12NZDT-13,M9.5.0/2:00:00,M4.1.0/3:00:00", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",
    "IST-1GMT0,M10.5.0,M3.5.0/1", "AAA3BBB,J60/2,J300/2", "AAA3BBB,59,300", "AAA3BBB,J1/0,J365/25",
    "AAA3BBB,M3.2.0/170,M11.1.0", "XST3XDT4:30,M3.2.0/2:30:15,M11.1.0/1",
    "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", "WART4WARST,J1/0,J365/25", "CET-1CEST,M3.5.0",
};

// Instants worth comparing in a zone, with TZ set to it: around every change
// from 2018 to 2028 (every 37 minutes over the day before and after), and a
// spread over 2010 to 2030. glibc finds the changes, so rule texts get them
// too.
std::vector<time_t> instants_of() {
  std::vector<time_t> out;
  const time_t first = 1514764800, last = 1830297600;  // 2018 to 2028
  auto offset = [](time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return std::make_pair(tm.tm_gmtoff, tm.tm_isdst);
  };
  for (time_t t = first; t < last; t += 3600) {
    if (offset(t) == offset(t + 3600)) continue;
    time_t lo = t, hi = t + 3600;  // the change lies in (lo, hi]
    while (hi - lo > 1) {
      const time_t mid = lo + (hi - lo) / 2;
      (offset(mid) == offset(lo) ? lo : hi) = mid;
    }
    for (int64_t d = -86400; d <= 86400; d += 37 * 60) out.push_back(hi + d);
  }
  for (time_t s = 1262304000; s < 1893456000; s += 86400 * 29 + 7919) out.push_back(s);
  return out;
}

bool same_tm(const struct tm &a, const struct tm &b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec &&
         a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday && a.tm_isdst == b.tm_isdst &&
         a.tm_gmtoff == b.tm_gmtoff && strcmp(a.tm_zone, b.tm_zone) == 0;
}

TEST(ReportZoneTest, ConversionsEqualGlibcUnderTZ) {
  for (const char *name : kZones) {
    SCOPED_TRACE(name);
    const report_tz tz = zone(name);
    ScopedTZ scoped(name);
    int failures = 0;
    for (time_t t : instants_of()) {
      struct tm a, b;
      ASSERT_TRUE(localtime_r(&t, &a));
      ASSERT_TRUE(tz.localtime(t, &b));
      if (!same_tm(a, b) && failures++ < 5) ADD_FAILURE() << "localtime " << t;
      const int daytime = a.tm_hour * 3600 + a.tm_min * 60 + a.tm_sec;
      if ((tz.daytime(t) != daytime || tz.weekday(t) != a.tm_wday ||
           tz.monthday(t) != a.tm_mday || tz.gmtoff(t) != a.tm_gmtoff) &&
          failures++ < 5)
        ADD_FAILURE() << "fields " << t;
      // mktime of nearby local times with each daylight hint: skipped
      // and repeated times, hints naming the other side of a change.
      for (int hint = -1; hint <= 1; hint++) {
        for (int minutes : {-150, -60, -45, -30, 0, 30, 60, 90, 1440}) {
          struct tm want = a;
          want.tm_min += minutes;
          want.tm_isdst = hint;
          struct tm ours = want;
          // glibc starts from the offset of its previous call, which
          // decides a local time repeated without a change of the
          // daylight flag: a call for the day before makes that the
          // earlier time, as the zone gives it.
          struct tm day_before = want;
          day_before.tm_mday -= 1;
          mktime(&day_before);
          const time_t r1 = mktime(&want);
          const time_t r2 = tz.mktime(&ours);
          if ((r1 != r2 || (r1 != -1 && !same_tm(want, ours))) && failures++ < 5)
            ADD_FAILURE() << "mktime " << t << " " << minutes << " hint " << hint << ": glibc "
                          << r1 << " ours " << r2;
        }
      }
    }
    EXPECT_EQ(failures, 0);
  }
}

// Times whose year does not fit struct tm fail as glibc's do; the period
// functions then give their failure values instead of garbage.
TEST(ReportZoneTest, TimesBeyondStructTmFail) {
  const report_tz tz = zone("Europe/Berlin");
  ScopedTZ scoped("Europe/Berlin");
  for (time_t t : {INT64_MAX, INT64_MIN, INT64_MAX / 2, INT64_MIN / 2}) {
    struct tm a, b;
    EXPECT_EQ(localtime_r(&t, &a) != nullptr, tz.localtime(t, &b)) << t;
    EXPECT_FALSE(tz.localtime(t, &b)) << t;
    time_t start = 1, end = 1, next = 1, cutoff = 7;
    calculate_times(tz, t, 23, &start, &end, &next, &cutoff);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 0);
    EXPECT_EQ(next, 0);
    EXPECT_EQ(cutoff, 7);
    time_t w = t;
    adjust_for_week(tz, &w, -1, 1);
    EXPECT_EQ(w, 0);
  }
  // The last representable year converts; one month more does not.
  for (int mon : {11, 12}) {
    struct tm ours {};
    ours.tm_year = INT_MAX;
    ours.tm_mon = mon;
    ours.tm_mday = mon == 11 ? 31 : 1;
    ours.tm_hour = 23;
    ours.tm_isdst = 0;
    struct tm theirs = ours;
    const time_t r = tz.mktime(&ours);
    EXPECT_EQ(r, mktime(&theirs)) << mon;
    EXPECT_EQ(r == -1, mon == 12);
    EXPECT_EQ(ours.tm_year, INT_MAX);
  }
  struct tm low {};
  low.tm_year = INT_MIN;
  low.tm_mon = -5;
  low.tm_isdst = 0;
  EXPECT_EQ(tz.mktime(&low), -1);
}

TEST(ReportZoneTest, LoadNames) {
  report_tz tz;
  EXPECT_EQ(tz.gmtoff(1781079465), 0);  // UTC until loaded
  EXPECT_TRUE(tz.load(":Europe/Berlin"));
  EXPECT_EQ(tz.gmtoff(1781079465), 7200);
  EXPECT_TRUE(tz.load("/usr/share/zoneinfo/Asia/Kolkata"));
  EXPECT_EQ(tz.gmtoff(1781079465), 19800);
  EXPECT_TRUE(tz.load(""));
  EXPECT_EQ(tz.gmtoff(1781079465), 0);
  EXPECT_FALSE(tz.load("No/Such_Zone"));
  EXPECT_EQ(tz.gmtoff(1781079465), 0);
  // Names that climb out of the zoneinfo folder or name no regular file.
  EXPECT_TRUE(tz.load("Europe/Berlin"));
  for (const char *bad : {"../../../etc/passwd", "Europe/../Europe/Berlin", "..", "/dev/zero",
                          "/dev/stdin", "/usr/share/zoneinfo", "Europe"}) {
    EXPECT_FALSE(tz.load(bad)) << bad;
    EXPECT_EQ(tz.gmtoff(1781079465), 0) << bad;
  }
  EXPECT_FALSE(tz.load(std::string(5000, 'a').c_str()));
  // POSIX rule texts, as TZ reads them where no zone file has the name.
  const struct {
    const char *text;
    bool ok;
    long summer, winter;  // offsets on 2026-06-10 and 2026-01-10
  } rules[] = {
      {"UTC-5", true, 18000, 18000},
      {"GMT-2", true, 7200, 7200},
      {"<+03>-3", true, 10800, 10800},
      {"CET-1CEST,M3.5.0,M10.5.0/3", true, 7200, 3600},
      {"<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", true, -7200, -10800},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", true, 36000, 39600},
      {"AAA3BBB", true, -7200, -10800},  // daylight time with the default rules
      {"CET-1CEST,M3.5.0", true, 7200, 3600},  // and the default end (November)
      // Not wholly a rule text: the standard time read, if any.
      {"UTC-5 ", false, 18000, 18000},
      {"CET-1CEST,M13.5.0,M10.5.0", false, 3600, 3600},
      {"CET-1CEST,M3.5.0,M10.5.0/3x", false, 3600, 3600},
      {"AB-1", false, 0, 0},
      {"XYZ", false, 0, 0},
      {"<AB>-1", false, 0, 0},
  };
  for (const auto &r : rules) {
    EXPECT_EQ(tz.load(r.text), r.ok) << r.text;
    EXPECT_EQ(tz.gmtoff(1781079465), r.summer) << r.text;
    EXPECT_EQ(tz.gmtoff(1768003200), r.winter) << r.text;
    EXPECT_EQ(tz.name(), r.text);
  }
  // No name: the system zone, as an unset TZ.
  ASSERT_TRUE(tz.load(nullptr));
  ScopedTZ unset(nullptr);
  for (time_t t : {time_t(1781079465), time_t(1767225600)}) {
    struct tm tm;
    localtime_r(&t, &tm);
    EXPECT_EQ(tz.gmtoff(t), tm.tm_gmtoff);
  }
}

// ---- Two reports, two zones, two threads --------------------------------

struct ZoneRun {
  const char *name;
  std::vector<time_t> dates;
  std::vector<time_t> expected;  // start, end, next, cutoff per date and code
  std::vector<int> fields;       // daytime, weekday, monthday per date
};

constexpr int kThreadCodes[] = {23, 27, 29, 30, 37};

ZoneRun prepare(const char *name) {
  ZoneRun run{name, {}, {}, {}};
  for (time_t t = at("UTC", "2026-03-20 00:00:00"); t < at("UTC", "2026-04-05 00:00:00");
       t += 2437)
    run.dates.push_back(t);
  ScopedTZ scoped(name);
  for (time_t t : run.dates) {
    for (int code : kThreadCodes) {
      time_t s, e, n, k;
      glibc::calculate_times(t, code, &s, &e, &n, &k);
      run.expected.insert(run.expected.end(), {s, e, n, k});
    }
    struct tm tm;
    localtime_r(&t, &tm);
    run.fields.insert(run.fields.end(),
                      {tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, tm.tm_wday, tm.tm_mday});
  }
  return run;
}

// Each thread sets up its report's zone and works through its dates while
// the other does the same in another zone; neither may see the other's zone,
// and the process zone stays as it was for everyone else.
TEST(ReportZoneThreadTest, TwoReportsInTwoZonesOnTwoThreads) {
  // A zoneinfo zone and a rule text, each with a change in the dates.
  const ZoneRun runs[2] = {prepare("Europe/Berlin"), prepare("AEST-10AEDT,M10.1.0,M4.1.0/3")};
  std::atomic<int> mismatches{0};
  std::atomic<int> ready{0};
  auto work = [&](const ZoneRun &run) {
    // The report as a worker sets it up: its definition names the zone.
    REPORT rep;
    REPORT_DEFINITION def;
    std::string tz_name = run.name;
    def.tz = tz_name.data();
    rep.def = &def;
    if (!report_load_zone(&rep)) mismatches++;
    ready++;
    while (ready.load() < 2) std::this_thread::yield();
    for (int round = 0; round < 3; round++) {
      size_t i = 0, f = 0;
      for (time_t t : run.dates) {
        for (int code : kThreadCodes) {
          rep.next_run_time = t;
          rep.run_interval = code;
          time_t k = 0;
          if (report_calculate_period(&rep, &k) != -1 || rep.start != run.expected[i] ||
              rep.end != run.expected[i + 1] || rep.next_run_time != run.expected[i + 2] ||
              k != run.expected[i + 3])
            mismatches++;
          i += 4;
        }
        // The day-time, weekday and month-day tests of its records.
        if (rep.zone.daytime(t) != run.fields[f] || rep.zone.weekday(t) != run.fields[f + 1] ||
            rep.zone.monthday(t) != run.fields[f + 2])
          mismatches++;
        f += 3;
      }
    }
    rep.def = nullptr;
    def.tz = nullptr;
  };
  // The process zone, as the log clock and status times of other threads
  // see it.
  const time_t probe = at("UTC", "2026-07-01 12:00:00");
  struct tm before;
  localtime_r(&probe, &before);
  std::thread a(work, std::cref(runs[0]));
  std::thread b(work, std::cref(runs[1]));
  int clock_changes = 0;
  while (ready.load() < 2) std::this_thread::yield();
  for (int i = 0; i < 2000; i++) {
    struct tm now;
    localtime_r(&probe, &now);
    if (now.tm_gmtoff != before.tm_gmtoff || now.tm_hour != before.tm_hour) clock_changes++;
  }
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(clock_changes, 0);
}

// ---- A run's period ------------------------------------------------------

TEST(ReportPeriodTest, ScheduledRunInItsZone) {
  REPORT rep;
  REPORT_DEFINITION def;
  std::string name = "Europe/Berlin";
  def.tz = name.data();
  rep.def = &def;
  ASSERT_TRUE(report_load_zone(&rep));
  rep.next_run_time = at("Europe/Berlin", "2026-03-30 00:00:00");
  rep.run_interval = 27;
  time_t cutoff = 0;
  EXPECT_EQ(report_calculate_period(&rep, &cutoff), -1);
  EXPECT_EQ(show("Europe/Berlin", rep.start), "2026-03-29 00:00:00 +0100");
  EXPECT_EQ(show("Europe/Berlin", rep.end), "2026-03-29 23:59:59 +0200");
  EXPECT_EQ(show("Europe/Berlin", rep.next_run_time), "2026-03-31 00:00:00 +0200");
  EXPECT_EQ(show("Europe/Berlin", cutoff), "2025-03-30 00:00:00 +0100");

  // An unknown interval code: no next run time, the run left for its caller
  // to record the error on.
  rep.next_run_time = at("Europe/Berlin", "2026-03-30 00:00:00");
  rep.run_interval = 99;
  cutoff = 42;
  EXPECT_EQ(report_calculate_period(&rep, &cutoff), 0);
  EXPECT_EQ(rep.next_run_time, 0);
  EXPECT_EQ(cutoff, 42);
  EXPECT_EQ(rep.def, &def);

  // A zone that cannot be loaded gives UTC; no zone gives the process zone.
  std::string bad = "Nowhere/Atlantis";
  def.tz = bad.data();
  EXPECT_FALSE(report_load_zone(&rep));
  EXPECT_EQ(rep.zone.gmtoff(1781079465), 0);
  def.tz = nullptr;
  EXPECT_TRUE(report_load_zone(&rep));
  EXPECT_EQ(rep.zone.gmtoff(1781079465), report_tz::process().gmtoff(1781079465));
  rep.def = nullptr;
}

// ---- Filter dates --------------------------------------------------------

// A rule tree built by hand (the filter's own constructors are not needed to
// walk one).
class Tree {
 public:
  FILTER_RULE *leaf(int op, int field, uint64_t value) {
    auto *n = new FILTER_RULE;
    n->comparetype = op;
    n->datatype = field;
    auto *v = new uint64_t(value);
    values_.push_back(v);
    n->data = v;
    nodes_.push_back(n);
    return n;
  }
  FILTER_RULE *node(int kind, FILTER_RULE *l, FILTER_RULE *r) {
    auto *n = new FILTER_RULE;
    n->operation = kind;
    n->left = l;
    n->right = r;
    nodes_.push_back(n);
    return n;
  }
  ~Tree() {
    for (auto *n : nodes_) {
      n->data = nullptr;
      delete n;
    }
    for (auto *v : values_) delete v;
  }

 private:
  std::vector<FILTER_RULE *> nodes_;
  std::vector<uint64_t *> values_;
};

TEST(DemandPeriodTest, DateExtremes) {
  const time_t A = 1781000000, B = 1781086400, C = 1780000000, D = 1782000000;
  struct Case {
    const char *what;
    std::function<FILTER_RULE *(Tree &)> build;
    time_t start, end;
    int valid;
  } cases[] = {
      {"at least A and below B",
       [&](Tree &t) { return t.node(1, t.leaf(4, 7, A), t.leaf(1, 7, B)); }, A, B, -1},
      {"no date condition", [&](Tree &t) { return t.node(1, t.leaf(3, 3, 5), t.leaf(8, 5, 1)); },
       0, 0, 0},
      {"empty filter", [&](Tree &) { return static_cast<FILTER_RULE *>(nullptr); }, 0, 0, 0},
      {"equal sets both bounds", [&](Tree &t) { return t.leaf(3, 7, A); }, A, A, -1},
      {"only a lower bound", [&](Tree &t) { return t.leaf(5, 7, A); }, A, 0, 0},
      {"two ranges joined by OR span both",
       [&](Tree &t) {
         return t.node(2, t.node(1, t.leaf(4, 7, A), t.leaf(2, 7, B)),
                       t.node(1, t.leaf(4, 7, C), t.leaf(2, 7, D)));
       },
       C, D, -1},
      {"not-equal is no bound", [&](Tree &t) { return t.node(1, t.leaf(6, 7, A), t.leaf(2, 7, B)); },
       0, B, 0},
      {"end before start",
       [&](Tree &t) { return t.node(1, t.leaf(4, 7, B), t.leaf(2, 7, A)); }, B, A, 0},
      {"relative dates are not request times", [&](Tree &t) { return t.leaf(4, 31, A); }, 0, 0, 0},
  };
  for (const Case &c : cases) {
    Tree t;
    FILTER_RULE *f = c.build(t);
    time_t start = 99, end = 99;
    EXPECT_EQ(report_demand_period(f, &start, &end), c.valid) << c.what;
    EXPECT_EQ(start, c.start) << c.what;
    EXPECT_EQ(end, c.end) << c.what;
  }
}

TEST(DemandPeriodTest, RelativeDatesBecomeAbsolute) {
  const time_t S = 1781000000;
  Tree t;
  FILTER_RULE *minus_day = t.leaf(4, 31, static_cast<uint64_t>(-86400LL));
  FILTER_RULE *plus_hour = t.leaf(2, 31, 3600);
  // The offset counts in its low 32 bits, also when written as their
  // unsigned value.
  FILTER_RULE *minus_week = t.leaf(6, 31, 4294967296ULL - 604800);
  FILTER_RULE *other = t.leaf(3, 9, 77);
  FILTER_RULE *absolute = t.leaf(5, 7, S - 10);
  FILTER_RULE *root = t.node(1, t.node(2, minus_day, other),
                             t.node(1, absolute, t.node(2, plus_hour, minus_week)));
  translate_relative_dates(root, S);
  EXPECT_EQ(minus_day->datatype, 7);
  EXPECT_EQ(*static_cast<uint64_t *>(minus_day->data), static_cast<uint64_t>(S - 86400));
  EXPECT_EQ(plus_hour->datatype, 7);
  EXPECT_EQ(*static_cast<uint64_t *>(plus_hour->data), static_cast<uint64_t>(S + 3600));
  EXPECT_EQ(minus_week->datatype, 7);
  EXPECT_EQ(*static_cast<uint64_t *>(minus_week->data), static_cast<uint64_t>(S - 604800));
  EXPECT_EQ(other->datatype, 9);
  EXPECT_EQ(*static_cast<uint64_t *>(other->data), 77u);
  EXPECT_EQ(*static_cast<uint64_t *>(absolute->data), static_cast<uint64_t>(S - 10));
  // The relative bounds now take part in the demand period.
  time_t start, end;
  EXPECT_EQ(report_demand_period(root, &start, &end), -1);
  EXPECT_EQ(start, S - 86400);
  EXPECT_EQ(end, S + 3600);
}

TEST(DemandPeriodTest, RunTakesItsPeriodFromItsFilter) {
  const time_t A = 1781000000, B = 1781086400;
  Tree t;
  REPORT rep;
  REPORT_DEFINITION def;
  rep.def = &def;
  def.filter = t.node(1, t.leaf(4, 7, A), t.node(1, t.leaf(1, 7, B), t.leaf(4, 31, 0)));
  EXPECT_EQ(report_find_demand_period(&rep), -1);
  EXPECT_EQ(rep.start, A);
  EXPECT_EQ(rep.end, B);
  report_translate_relative_dates(&rep);
  EXPECT_EQ(def.filter->right->right->datatype, 7);
  EXPECT_EQ(*static_cast<uint64_t *>(def.filter->right->right->data), static_cast<uint64_t>(A));
  def.filter = t.leaf(3, 3, 1);
  EXPECT_EQ(report_find_demand_period(&rep), 0);
  EXPECT_EQ(rep.start, 0);
  EXPECT_EQ(rep.end, 0);
  def.filter = nullptr;
  rep.def = nullptr;
}

// Filter lines as a definition writes them, read by the filter language.
TEST(DemandPeriodTest, PeriodFromParsedFilterLines) {
  FILTER_RULE *f = report_definition_add_filter("@ 1781000000 1781086399", nullptr, 7, nullptr,
                                                nullptr, 0);
  ASSERT_NE(f, nullptr);
  f = report_definition_add_filter(">= 4294880896", f, 31, nullptr, nullptr, 0);
  ASSERT_NE(f, nullptr);
  time_t start, end;
  EXPECT_EQ(report_demand_period(f, &start, &end), -1);
  EXPECT_EQ(start, 1781000000);
  EXPECT_EQ(end, 1781086399);
  // A scheduled run's relative bound a day before its period start.
  translate_relative_dates(f, 1781000000);
  EXPECT_EQ(report_demand_period(f, &start, &end), -1);
  EXPECT_EQ(start, 1781000000 - 86400);
  EXPECT_EQ(end, 1781086399);
  free_filter_rule(f);
}

// A definition with very many filter lines is a long left-leaning chain.
TEST(DemandPeriodTest, LongChainsWalkWithoutRecursion) {
  Tree t;
  FILTER_RULE *root = t.leaf(4, 31, 0);
  for (int i = 0; i < 200000; i++) root = t.node(1, root, t.leaf(3, 3, i));
  root = t.node(1, root, t.leaf(2, 7, 1781000000));
  translate_relative_dates(root, 1780000000);
  time_t start, end;
  EXPECT_EQ(report_demand_period(root, &start, &end), -1);
  EXPECT_EQ(start, 1780000000);
  EXPECT_EQ(end, 1781000000);
}

}  // namespace
