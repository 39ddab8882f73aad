#include "src/report/period.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include <absl/time/civil_time.h>

#include "src/report/filter.h"
#include "src/report/report.h"

namespace {

const absl::CivilSecond kEpoch(1970, 1, 1, 0, 0, 0);

// Local time of a civil second (with the conversion's offset and flags) as a
// struct tm; false when the year does not fit tm_year.
bool fill_tm(const absl::CivilSecond &cs, int offset, bool is_dst,
             const char *abbr, struct tm *out) {
  const int64_t year = cs.year() - 1900;
  if (year < INT_MIN || year > INT_MAX) return false;
  const absl::CivilDay day(cs);
  out->tm_year = static_cast<int>(year);
  out->tm_mon = cs.month() - 1;
  out->tm_mday = cs.day();
  out->tm_hour = cs.hour();
  out->tm_min = cs.minute();
  out->tm_sec = cs.second();
  // absl counts weekdays from Monday = 0, struct tm from Sunday = 0.
  out->tm_wday = (static_cast<int>(absl::GetWeekday(day)) + 1) % 7;
  out->tm_yday = absl::GetYearDay(day) - 1;
  out->tm_isdst = is_dst ? 1 : 0;
  out->tm_gmtoff = offset;
  out->tm_zone = abbr;
  return true;
}

// Local time fields as seconds since 1970-01-01 00:00:00 read as UTC; out of
// range fields carry over as mktime carries them (months into years, then
// days, hours, minutes and seconds linearly).
int64_t civil_seconds(int year, int mon, int mday, int hour, int min, int sec) {
  const absl::CivilSecond cs(static_cast<int64_t>(year) + 1900,
                             static_cast<int64_t>(mon) + 1, mday, hour, min,
                             sec);
  return cs - kEpoch;
}

// Zone names come from report definitions: refuse ".." parts and anything
// but a regular file, so a name can neither climb out of the zoneinfo folder
// nor leave the worker blocked reading a device or a pipe.
bool zone_file_ok(const std::string &name) {
  if (name.empty() || name.size() > PATH_MAX) return false;
  size_t from = 0;
  while (from <= name.size()) {
    size_t to = name.find('/', from);
    if (to == std::string::npos) to = name.size();
    if (name.compare(from, to - from, "..") == 0) return false;
    from = to + 1;
  }
  std::string path = name;
  if (name.front() != '/') {
    const char *dir = getenv("TZDIR");
    path = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + name;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

report_tz::report_tz() : zone_(absl::UTCTimeZone()), name_("UTC") {}

const report_tz &report_tz::process() {
  static const report_tz zone = [] {
    report_tz z;
    z.load(getenv("TZ"));
    return z;
  }();
  return zone;
}

bool report_tz::load(const char *name) {
  std::string_view want = name ? std::string_view(name) : std::string_view();
  if (!want.empty() && want.front() == ':') want.remove_prefix(1);
  name_ = name ? std::string(name) : std::string();
  if (name != nullptr && want.empty()) {
    // An empty TZ (or a lone ':') means UTC.
    zone_ = absl::UTCTimeZone();
    return true;
  }
  const std::string file = name ? std::string(want) : "/etc/localtime";
  if (zone_file_ok(file) && absl::LoadTimeZone(file, &zone_)) return true;
  zone_ = absl::UTCTimeZone();
  return false;
}

report_tz::local_instant report_tz::convert(int64_t t) const {
  const absl::TimeZone::CivilInfo ci = zone_.At(absl::FromUnixSeconds(t));
  return local_instant{ci.cs - kEpoch, ci.offset, ci.is_dst};
}

bool report_tz::localtime(time_t t, struct tm *out) const {
  const absl::TimeZone::CivilInfo ci = zone_.At(absl::FromUnixSeconds(t));
  return fill_tm(ci.cs, ci.offset, ci.is_dst, ci.zone_abbr, out);
}

long report_tz::gmtoff(time_t t) const {
  return zone_.At(absl::FromUnixSeconds(t)).offset;
}

int report_tz::daytime(time_t t) const {
  const absl::CivilSecond cs = zone_.At(absl::FromUnixSeconds(t)).cs;
  return cs.hour() * 3600 + cs.minute() * 60 + cs.second();
}

int report_tz::weekday(time_t t) const {
  const absl::CivilDay day(zone_.At(absl::FromUnixSeconds(t)).cs);
  return (static_cast<int>(absl::GetWeekday(day)) + 1) % 7;
}

int report_tz::monthday(time_t t) const {
  return zone_.At(absl::FromUnixSeconds(t)).cs.day();
}

// The search of glibc's mktime, step for step, so that every result (an
// isdst hint that names the other side of a change, a local time skipped by
// a spring change, a repeated autumn hour) is the one localtime_r/mktime
// under TZ would give.
time_t report_tz::mktime(struct tm *tp) const {
  const int sec_requested = tp->tm_sec;
  // Seconds outside 0..59 are searched as 0 or 59 and added back at the end.
  const int sec = std::clamp(sec_requested, 0, 59);
  const int isdst = tp->tm_isdst;
  const int64_t want = civil_seconds(tp->tm_year, tp->tm_mon, tp->tm_mday,
                                     tp->tm_hour, tp->tm_min, sec);

  // glibc starts from the offset its previous call found. Starting from the
  // offset before the nearest change gives the same results without
  // depending on earlier calls; where glibc's own answer does depend on them
  // (a local time repeated without a change of the daylight flag), it is
  // the earlier of the two times, as glibc gives after a call for an
  // earlier time.
  const int64_t t0 = absl::ToUnixSeconds(
      zone_.At(absl::CivilSecond(kEpoch + want)).pre);
  int64_t t = t0, t1 = t0, t2 = t0;
  bool dst2 = false;
  int remaining_probes = 6;
  local_instant at = convert(t);
  for (;;) {
    const int64_t dt = want - at.civil;
    if (dt == 0) break;
    if (t == t1 && t != t2 &&
        (isdst < 0 ? !dst2 : (isdst != 0) != at.is_dst)) {
      // Oscillating between two times around a skipped local time: keep the
      // one whose daylight flag differs from the hint or, without a hint,
      // the one reached from standard time, as glibc does.
      goto found;
    }
    if (--remaining_probes == 0) return -1;
    t1 = t2;
    t2 = t;
    t += dt;
    dst2 = at.is_dst;
    at = convert(t);
  }

  if (isdst >= 0 && (isdst != 0) != at.is_dst) {
    // The time exists only with the other flag here: take the offset of the
    // nearest time (probing a week at a time, earlier first, up to about
    // seven years away) that has the wanted flag, else assume a daylight
    // saving of one hour.
    const int64_t stride = 601200;
    const int64_t delta_bound = 457243200 / 2 + stride;
    for (int64_t delta = stride; delta < delta_bound; delta += stride) {
      for (int direction = -1; direction <= 1; direction += 2) {
        const local_instant probe = convert(t + delta * direction);
        if ((isdst != 0) == probe.is_dst) {
          t = want - probe.offset;
          goto found;
        }
      }
    }
    t += 3600 * (static_cast<int>(isdst == 0) - static_cast<int>(!at.is_dst));
  }

found:
  if (sec_requested != sec) t += static_cast<int64_t>(sec_requested) - sec;
  {
    const absl::TimeZone::CivilInfo ci = zone_.At(absl::FromUnixSeconds(t));
    struct tm out;
    if (!fill_tm(ci.cs, ci.offset, ci.is_dst, ci.zone_abbr, &out)) return -1;
    *tp = out;
  }
  return t;
}

namespace {

bool same_local_time(const struct tm &a, const struct tm &b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon &&
         a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// mktime of a local time aligned down from an instant whose daylight flag is
// the hint in tm_isdst. When a change lies between the aligned time and that
// instant (a daily run at 10:00 on the day of the spring change), the hint
// names the wrong side and mktime lands an hour before the aligned time; the
// other hint is tried then and kept when it lands on the aligned time.
time_t mktime_aligned(const report_tz &tz, struct tm *tm) {
  const struct tm wanted = *tm;
  const time_t t = tz.mktime(tm);
  if (t == -1 || same_local_time(*tm, wanted) || wanted.tm_isdst < 0) return t;
  struct tm other = wanted;
  other.tm_isdst = wanted.tm_isdst ? 0 : 1;
  const time_t t2 = tz.mktime(&other);
  if (t2 == -1 || !same_local_time(other, wanted)) return t;
  *tm = other;
  return t2;
}

}  // namespace

void adjust_time(const report_tz &tz, time_t *time, int interval,
                 long gmtoffset, int direction) {
  struct tm tm;
  if (!tz.localtime(*time, &tm)) return;
  if (tm.tm_gmtoff == gmtoffset) return;
  const int32_t diff = static_cast<int32_t>(tm.tm_gmtoff - gmtoffset);
  if (std::abs(static_cast<int64_t>(diff)) >= interval) return;
  *time -= diff;
  if (tz.localtime(*time, &tm) && tm.tm_gmtoff == gmtoffset)
    *time += static_cast<time_t>(interval) * direction;
}

void adjust_for_week(const report_tz &tz, time_t *time, int change,
                     int start_weekday) {
  struct tm tm;
  if (!tz.localtime(*time, &tm)) {
    *time = 0;
    return;
  }
  const long reference = tm.tm_gmtoff;
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_mday = tm.tm_mday + start_weekday - tm.tm_wday + 7 * change;
  *time = tz.mktime(&tm);
  adjust_time(tz, time, 604800, reference, change <= 0 ? -1 : 1);
}

void adjust_for_month(const report_tz &tz, time_t *time, int change) {
  struct tm tm;
  if (!tz.localtime(*time, &tm)) {
    *time = 0;
    return;
  }
  const long reference = tm.tm_gmtoff;
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_mday = 1;
  tm.tm_mon += change;
  *time = tz.mktime(&tm);
  adjust_time(tz, time, 2592000, reference, change <= 0 ? -1 : 1);
}

void calculate_times_int(const report_tz &tz, time_t current, int interval,
                         int cutoff_intervals, time_t *start, time_t *end,
                         time_t *next, time_t *cutoff) {
  struct tm tm;
  if (interval <= 0 || !tz.localtime(current, &tm)) {
    *start = 0;
    *end = 0;
    *next = 0;
    return;
  }
  tm.tm_sec = 0;
  if (interval < 3600) {
    tm.tm_min -= tm.tm_min % std::max(1, interval / 60);
  } else {
    tm.tm_min = 0;
    if (interval < 86400)
      tm.tm_hour -= tm.tm_hour % (interval / 3600);
    else
      tm.tm_hour = 0;
  }
  const time_t aligned = mktime_aligned(tz, &tm);
  const long reference = tz.gmtoff(aligned);

  *end = aligned - 1;
  *start = aligned - interval;
  adjust_time(tz, start, interval, reference, -1);
  *next = aligned + interval;
  adjust_time(tz, next, interval, reference, 1);
  *cutoff = aligned - static_cast<time_t>(interval) * cutoff_intervals;
  adjust_time(tz, cutoff, interval, reference, -1);
}

void calculate_times(const report_tz &tz, time_t report_date, int run_interval,
                     time_t *start, time_t *end, time_t *next_run_time,
                     time_t *cutoff_time) {
  struct fixed {
    int code, seconds, cutoff;
  };
  static constexpr fixed kFixed[] = {
      {PERIOD_MINUTE, 60, 300},      {PERIOD_5MINUTES, 300, 300},
      {PERIOD_10MINUTES, 600, 300},  {PERIOD_30MINUTES, 1800, 300},
      {PERIOD_HOUR, 3600, 300},      {PERIOD_2HOURS, 7200, 300},
      {PERIOD_6HOURS, 21600, 300},   {PERIOD_12HOURS, 43200, 300},
      {PERIOD_DAY, 86400, 365},      {PERIOD_2DAYS, 172800, 365},
  };
  for (const fixed &f : kFixed) {
    if (f.code == run_interval) {
      calculate_times_int(tz, report_date, f.seconds, f.cutoff, start, end,
                          next_run_time, cutoff_time);
      return;
    }
  }

  const bool week = run_interval == PERIOD_WEEK_SUNDAY ||
                    (run_interval >= PERIOD_WEEK_MONDAY &&
                     run_interval <= PERIOD_WEEK_SATURDAY);
  if (!week && run_interval != PERIOD_MONTH) {
    *start = 0;
    *end = 0;
    *next_run_time = 0;
    return;
  }
  const int weekday = run_interval == PERIOD_WEEK_SUNDAY
                          ? 0
                          : run_interval - PERIOD_WEEK_MONDAY + 1;
  auto step = [&](int change) {
    time_t t = report_date;
    if (week)
      adjust_for_week(tz, &t, change, weekday);
    else
      adjust_for_month(tz, &t, change);
    return t;
  };
  *start = step(-1);
  *end = step(0) - 1;
  *next_run_time = step(1);
  *cutoff_time = step(-300);
}

int report_scheduled_period(const report_tz &tz, time_t next_run_time,
                            int run_interval, time_t *start, time_t *end,
                            time_t *new_next_run_time, time_t *cutoff_time) {
  calculate_times(tz, next_run_time, run_interval, start, end,
                  new_next_run_time, cutoff_time);
  return *new_next_run_time != 0 ? -1 : 0;
}

void relative_date_to_absolute(int *datatype, uint64_t *value,
                               time_t period_start) {
  const int32_t offset = static_cast<int32_t>(static_cast<uint32_t>(*value));
  *datatype = PERIOD_FIELD_DATE;
  *value = static_cast<uint64_t>(period_start + offset);
}

void date_extremes_leaf(int comparetype, uint64_t value, time_t *start,
                        time_t *end) {
  const time_t v = static_cast<time_t>(value);
  const bool upper = comparetype == PERIOD_OP_LESS ||
                     comparetype == PERIOD_OP_LESS_EQUAL ||
                     comparetype == PERIOD_OP_EQUAL;
  const bool lower = comparetype == PERIOD_OP_EQUAL ||
                     comparetype == PERIOD_OP_GREATER_EQUAL ||
                     comparetype == PERIOD_OP_GREATER;
  if (upper && (*end == 0 || *end < v)) *end = v;
  if (lower && (*start == 0 || *start > v)) *start = v;
}

bool demand_period_valid(time_t start, time_t end) {
  return start != 0 && end != 0 && end >= start;
}

bool report_load_zone(REPORT *rep) {
  const char *name = rep->def ? rep->def->tz : nullptr;
  if (name == nullptr) {
    rep->zone = report_tz::process();
    return true;
  }
  return rep->zone.load(name);
}

int report_calculate_period(REPORT *rep, time_t *cutoff) {
  time_t next = 0;
  const int ok = report_scheduled_period(rep->zone, rep->next_run_time, rep->run_interval,
                                         &rep->start, &rep->end, &next, cutoff);
  rep->next_run_time = next;
  return ok;
}

int report_find_demand_period(REPORT *rep) {
  return report_demand_period(rep->def ? rep->def->filter : nullptr, &rep->start, &rep->end);
}

void report_translate_relative_dates(REPORT *rep) {
  if (rep->def) translate_relative_dates(rep->def->filter, rep->start);
}
