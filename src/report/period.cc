#include "src/report/period.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
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

// A POSIX TZ rule text as glibc's tzset reads it.
struct report_tz_rule {
  // One change: the day ("Jn" julian1, "n" julian0, "Mm.w.d" month) and the
  // local time of day it happens at.
  struct change {
    enum { julian1, julian0, month } type = month;
    int64_t d = 0, m = 0, n = 0;
    int64_t secs = 7200;
  };
  std::string std_abbr, dst_abbr;
  int std_offset = 0;  // seconds east of UTC
  int dst_offset = 0;
  bool has_dst = false;
  change start, end;  // into daylight time (standard clock), out of it (daylight clock)

  bool is_dst(int64_t t) const;
};

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits as a number, saturated; false when there is none.
bool read_number(std::string_view &s, int64_t *out) {
  if (s.empty() || !is_digit(s.front())) return false;
  int64_t v = 0;
  while (!s.empty() && is_digit(s.front())) {
    if (v < 1000000) v = v * 10 + (s.front() - '0');
    s.remove_prefix(1);
  }
  *out = v;
  return true;
}

// "hh[:mm[:ss]]" as three numbers.
bool read_clock(std::string_view &s, int64_t *hh, int64_t *mm, int64_t *ss) {
  *mm = *ss = 0;
  if (!read_number(s, hh)) return false;
  if (s.size() >= 2 && s[0] == ':' && is_digit(s[1])) {
    s.remove_prefix(1);
    read_number(s, mm);
    if (s.size() >= 2 && s[0] == ':' && is_digit(s[1])) {
      s.remove_prefix(1);
      read_number(s, ss);
    }
  }
  return true;
}

// A zone name: three or more letters, or "<...>" of three or more letters,
// digits, '+' and '-'.
bool read_name(std::string_view &s, std::string *out) {
  size_t n = 0;
  while (n < s.size() && is_alpha(s[n])) ++n;
  if (n >= 3) {
    out->assign(s.substr(0, n));
    s.remove_prefix(n);
    return true;
  }
  if (s.empty() || s.front() != '<') return false;
  n = 1;
  while (n < s.size() && (is_alpha(s[n]) || is_digit(s[n]) || s[n] == '+' || s[n] == '-')) ++n;
  if (n >= s.size() || s[n] != '>' || n - 1 < 3) return false;
  out->assign(s.substr(1, n - 1));
  s.remove_prefix(n + 1);
  return true;
}

// An offset "[+-]hh[:mm[:ss]]" west of UTC, as seconds east (glibc caps the
// fields at 24, 59 and 59).
bool read_offset(std::string_view &s, int *east) {
  std::string_view t = s;
  int sign = -1;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    sign = t.front() == '-' ? 1 : -1;
    t.remove_prefix(1);
  }
  int64_t hh, mm, ss;
  if (!read_clock(t, &hh, &mm, &ss)) return false;
  *east = sign * static_cast<int>(std::min<int64_t>(ss, 59) + std::min<int64_t>(mm, 59) * 60 +
                                  std::min<int64_t>(hh, 24) * 3600);
  s = t;
  return true;
}

// A change rule "Jn", "n" or "Mm.w.d" with an optional "/[-]hh[:mm[:ss]]".
bool read_change(std::string_view &s, report_tz_rule::change *c) {
  if (s.empty()) return false;
  if (s.front() == 'J' || is_digit(s.front())) {
    const bool one = s.front() == 'J';
    if (one) s.remove_prefix(1);
    if (!read_number(s, &c->d) || c->d > 365 || (one && c->d == 0)) return false;
    c->type = one ? report_tz_rule::change::julian1 : report_tz_rule::change::julian0;
  } else if (s.front() == 'M') {
    s.remove_prefix(1);
    c->type = report_tz_rule::change::month;
    if (!read_number(s, &c->m) || s.empty() || s.front() != '.') return false;
    s.remove_prefix(1);
    if (!read_number(s, &c->n) || s.empty() || s.front() != '.') return false;
    s.remove_prefix(1);
    if (!read_number(s, &c->d)) return false;
    if (c->m < 1 || c->m > 12 || c->n < 1 || c->n > 5 || c->d > 6) return false;
  } else {
    return false;
  }
  c->secs = 7200;
  if (!s.empty() && s.front() == '/') {
    s.remove_prefix(1);
    const bool negative = !s.empty() && s.front() == '-';
    if (negative) s.remove_prefix(1);
    int64_t hh, mm, ss;
    if (!read_clock(s, &hh, &mm, &ss)) return false;
    c->secs = (negative ? -1 : 1) * (hh * 3600 + mm * 60 + ss);
  }
  return true;
}

// The changes glibc takes when a text names daylight time without rules
// and no "posixrules" file is read: the United States' since 2007.
void default_changes(report_tz_rule *r) {
  r->start = {report_tz_rule::change::month, 0, 3, 2, 7200};
  r->end = {report_tz_rule::change::month, 0, 11, 1, 7200};
}

// Reads a rule text; null when it does not begin with a standard name and
// offset. *whole tells whether all of it was read; when not, only the
// standard time is kept.
std::shared_ptr<report_tz_rule> read_rule(std::string_view s, bool *whole) {
  *whole = false;
  auto r = std::make_shared<report_tz_rule>();
  if (!read_name(s, &r->std_abbr) || !read_offset(s, &r->std_offset)) return nullptr;
  r->dst_abbr = r->std_abbr;
  r->dst_offset = r->std_offset;
  if (s.empty()) {
    *whole = true;
    return r;
  }
  report_tz_rule d = *r;
  if (!read_name(s, &d.dst_abbr)) return r;
  d.dst_offset = d.std_offset + 3600;
  if (!s.empty() && s.front() != ',' && !read_offset(s, &d.dst_offset)) return r;
  d.has_dst = true;
  if (s.empty() || s == ",") {
    default_changes(&d);
  } else {
    if (s.front() != ',') return r;
    s.remove_prefix(1);
    if (!read_change(s, &d.start)) return r;
    if (s.empty()) {
      d.end = {report_tz_rule::change::month, 0, 11, 1, 7200};  // glibc's default end
    } else {
      if (s.front() != ',') return r;
      s.remove_prefix(1);
      if (!read_change(s, &d.end) || !s.empty()) return r;
    }
  }
  *r = d;
  *whole = true;
  return r;
}

// The instant of a change in the given year, as glibc's compute_change
// gives it (years up to 1970 count from 1970-01-01).
int64_t change_time(const report_tz_rule::change &c, int64_t year, int offset) {
  int64_t t = 0;
  if (year > 1970)
    t = ((year - 1970) * 365 + ((year - 1) / 4 - 1970 / 4) - ((year - 1) / 100 - 1970 / 100) +
         ((year - 1) / 400 - 1970 / 400)) *
        86400;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  static const int kMonthYearDay[2][13] = {
      {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
      {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};
  switch (c.type) {
    case report_tz_rule::change::julian1:
      t += (c.d - 1) * 86400;
      if (c.d >= 60 && leap) t += 86400;
      break;
    case report_tz_rule::change::julian0:
      t += c.d * 86400;
      break;
    case report_tz_rule::change::month: {
      const int *before = &kMonthYearDay[leap ? 1 : 0][c.m - 1];
      t += static_cast<int64_t>(before[0]) * 86400;
      // Zeller's congruence: the weekday of the month's first day.
      const int64_t m1 = (c.m + 9) % 12 + 1;
      const int64_t yy0 = c.m <= 2 ? year - 1 : year;
      const int64_t yy1 = yy0 / 100, yy2 = yy0 % 100;
      int64_t dow = ((26 * m1 - 2) / 10 + 1 + yy2 + yy2 / 4 + yy1 / 4 - 2 * yy1) % 7;
      if (dow < 0) dow += 7;
      int64_t d = c.d - dow;
      if (d < 0) d += 7;
      for (int64_t i = 1; i < c.n; ++i) {
        if (d + 7 >= before[1] - before[0]) break;
        d += 7;
      }
      t += d * 86400;
      break;
    }
  }
  return t - offset + c.secs;
}

}  // namespace

// Daylight time as glibc's tz_compute decides it: the changes of the UTC
// year of t, the end before the start meaning the southern hemisphere.
bool report_tz_rule::is_dst(int64_t t) const {
  if (!has_dst) return false;
  const int64_t year = absl::ToCivilSecond(absl::FromUnixSeconds(t), absl::UTCTimeZone()).year();
  if (year < -2000000000LL || year > 2000000000LL) return false;  // past struct tm anyway
  const int64_t on = change_time(start, year, std_offset);
  const int64_t off = change_time(end, year, dst_offset);
  return on > off ? (t < off || t >= on) : (t >= on && t < off);
}

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
  rule_.reset();
  if (name != nullptr && want.empty()) {
    // An empty TZ (or a lone ':') means UTC.
    zone_ = absl::UTCTimeZone();
    return true;
  }
  const std::string file = name ? std::string(want) : "/etc/localtime";
  if (zone_file_ok(file) && absl::LoadTimeZone(file, &zone_)) return true;
  zone_ = absl::UTCTimeZone();
  // No zone file by that name: glibc reads the text as a POSIX rule.
  if (name == nullptr) return false;
  bool whole = false;
  rule_ = read_rule(want, &whole);
  return rule_ != nullptr && whole;
}

report_tz::civil_info report_tz::info(int64_t t) const {
  if (rule_ == nullptr) {
    const absl::TimeZone::CivilInfo ci = zone_.At(absl::FromUnixSeconds(t));
    return civil_info{ci.cs, ci.offset, ci.is_dst, ci.zone_abbr};
  }
  const bool dst = rule_->is_dst(t);
  const int offset = dst ? rule_->dst_offset : rule_->std_offset;
  // Through absl::Time, which saturates where t + offset would overflow.
  const absl::CivilSecond cs =
      absl::ToCivilSecond(absl::FromUnixSeconds(t) + absl::Seconds(offset), absl::UTCTimeZone());
  return civil_info{cs, offset, dst, dst ? rule_->dst_abbr.c_str() : rule_->std_abbr.c_str()};
}

int64_t report_tz::pre(const absl::CivilSecond &cs) const {
  if (rule_ == nullptr) return absl::ToUnixSeconds(zone_.At(cs).pre);
  // Two offsets: the earlier reading lies before any change near cs, so its
  // offset is the one in force before that change (or the only one).
  const int64_t civil = cs - kEpoch;
  const int ahead = std::max(rule_->std_offset, rule_->dst_offset);
  return civil - info(civil - ahead).offset;
}

report_tz::local_instant report_tz::convert(int64_t t) const {
  const civil_info ci = info(t);
  return local_instant{ci.cs - kEpoch, ci.offset, ci.is_dst};
}

bool report_tz::localtime(time_t t, struct tm *out) const {
  const civil_info ci = info(t);
  return fill_tm(ci.cs, ci.offset, ci.is_dst, ci.abbr, out);
}

long report_tz::gmtoff(time_t t) const { return info(t).offset; }

int report_tz::daytime(time_t t) const {
  const absl::CivilSecond cs = info(t).cs;
  return cs.hour() * 3600 + cs.minute() * 60 + cs.second();
}

int report_tz::weekday(time_t t) const {
  const absl::CivilDay day(info(t).cs);
  return (static_cast<int>(absl::GetWeekday(day)) + 1) % 7;
}

int report_tz::monthday(time_t t) const { return info(t).cs.day(); }

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
  const int64_t t0 = pre(absl::CivilSecond(kEpoch + want));
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
    const civil_info ci = info(t);
    struct tm out;
    if (!fill_tm(ci.cs, ci.offset, ci.is_dst, ci.abbr, &out)) return -1;
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
