// Report periods: a job's run-interval code and next run time give the period
// a scheduled or continuous report covers, the next run time to store back
// and the cutoff before which a continuous report's old rows go; a demand
// report's period comes from the date conditions of its filter, and filter
// dates relative to the period start are made absolute.
//
// All calendar arithmetic runs in a report_tz, the report's own time zone,
// loaded once per report from the system's zoneinfo or read from a POSIX
// rule text such as "CET-1CEST,M3.5.0,M10.5.0/3". Nothing here changes
// the process time zone (TZ) or depends on it after start-up, so reports in
// different zones run on different threads at once without a lock, and the
// log clock and status times of other threads keep the process zone.
#pragma once

#include <stdint.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include <absl/time/civil_time.h>
#include <absl/time/time.h>

// Run-interval codes (the same numbers as the time-grouping field ids).
#define PERIOD_MINUTE 19
#define PERIOD_5MINUTES 20
#define PERIOD_10MINUTES 21
#define PERIOD_30MINUTES 22
#define PERIOD_HOUR 23
#define PERIOD_2HOURS 24
#define PERIOD_6HOURS 25
#define PERIOD_12HOURS 26
#define PERIOD_DAY 27
#define PERIOD_2DAYS 28
#define PERIOD_WEEK_SUNDAY 29
#define PERIOD_MONTH 30
#define PERIOD_WEEK_MONDAY 37  // 38 to 42: Tuesday to Saturday
#define PERIOD_WEEK_SATURDAY 42

// Field ids and leaf operators of filter rules that the period code reads.
#define PERIOD_FIELD_DATE 7           // request time
#define PERIOD_FIELD_RELATIVE_DATE 31 // offset in seconds from the period start
#define PERIOD_OP_LESS 1
#define PERIOD_OP_LESS_EQUAL 2
#define PERIOD_OP_EQUAL 3
#define PERIOD_OP_GREATER_EQUAL 4
#define PERIOD_OP_GREATER 5

// A POSIX TZ rule text, read (period.cc).
struct report_tz_rule;

// One time zone for one report's local-time arithmetic. A value type: cheap
// to copy, immutable once loaded, safe to use from any number of threads.
// localtime and mktime give exactly what glibc's localtime_r and mktime give
// with TZ set to the zone's name (tm_isdst hints, skipped and repeated local
// times included), without touching TZ, taking a lock or allocating.
class report_tz {
 public:
  // UTC until loaded.
  report_tz();

  // Loads the zone that TZ=name would select: a zoneinfo name such as
  // "Europe/Berlin" (an optional leading ':' is ignored) or an absolute path
  // of a zoneinfo file; null selects the system zone (/etc/localtime), as an
  // unset TZ does, and "" UTC, as an empty TZ does. A name that names no
  // zoneinfo file is read as glibc reads a POSIX rule text: standard name
  // and offset, then optionally a daylight name, offset (default one hour
  // ahead) and the two change rules ("Jn", "n" or "Mm.w.d", each with an
  // optional "/time", which may be negative or past 24 hours); without
  // rules the changes are those of the United States since 2007
  // ("M3.2.0,M11.1.0"), as glibc gives them when no "posixrules" file
  // exists. A text that is not wholly such a rule returns false and keeps
  // the standard time it begins with, or UTC when it does not begin with
  // one (as glibc falls back to UTC); so do names with a ".." part and names
  // of anything but a regular file (a definition may not read outside the
  // zoneinfo folder or block the worker on a device). Takes Abseil's
  // zone-cache lock: call it when a report is set up, not per record.
  bool load(const char *name);

  // The zone of the process: what TZ named at the first call (the system
  // zone when unset). The daemon never changes TZ after start-up, so this is
  // the zone every thread's localtime_r uses. Thread-safe.
  static const report_tz &process();

  // The name given to load ("UTC" before), for messages.
  const std::string &name() const { return name_; }

  // localtime_r: breaks t into local time (all fields, tm_gmtoff and tm_zone
  // included; tm_zone lives as long as this zone or a copy of it). Returns
  // false, leaving *out unspecified, when the year does not fit struct tm.
  bool localtime(time_t t, struct tm *out) const;

  // mktime: converts the local time in *tm (fields may be out of range;
  // tm_isdst 0 or 1 asks for standard or daylight time where a local time
  // occurs twice or must be moved, a negative value asks for neither) and
  // normalises *tm to the result. Returns -1 (with *tm unchanged) when no
  // time can be found, as mktime does. Where glibc's answer depends on its
  // previous call (a local time repeated or skipped without a change of the
  // daylight flag, as when a zone changes its standard offset), the answer
  // is the one glibc gives after a call for an earlier time.
  time_t mktime(struct tm *tm) const;

  // UTC offset in seconds east at t.
  long gmtoff(time_t t) const;

  // Per-record tests of a request time (fields 43, 44 and 45): seconds since
  // local midnight (hours x 3600 + minutes x 60 + seconds), weekday
  // (0 = Sunday) and day of the month of t.
  int daytime(time_t t) const;
  int weekday(time_t t) const;
  int monthday(time_t t) const;

 private:
  // One local-time conversion: the civil time, the offset, the daylight flag
  // and the abbreviation.
  struct civil_info {
    absl::CivilSecond cs;
    int offset;
    bool is_dst;
    const char *abbr;
  };
  civil_info info(int64_t t) const;

  // The instant of a local time taken with the offset in force before the
  // nearest change (Abseil's TimeInfo::pre).
  int64_t pre(const absl::CivilSecond &cs) const;

  // One local-time conversion: the civil time in seconds since 1970-01-01
  // 00:00:00 (as if UTC), the offset and the daylight flag.
  struct local_instant {
    int64_t civil;
    int offset;
    bool is_dst;
  };
  local_instant convert(int64_t t) const;

  absl::TimeZone zone_;
  std::shared_ptr<const report_tz_rule> rule_;  // set for a rule text: zone_ unused
  std::string name_;
};

struct REPORT;

// Sets rep->zone to the time zone its definition names (rep->def->tz), or to
// the process zone when it names none. Returns false when the named zone
// cannot be loaded: the run then uses UTC, as glibc does for such a TZ.
bool report_load_zone(REPORT *rep);

// A scheduled or continuous run's period in rep->zone from its job's next
// run time and interval code: sets rep->start and rep->end, replaces
// rep->next_run_time by the next run time to store back, and sets *cutoff.
// Returns -1, or 0 when no next run time came out (the caller records its
// "next run time" error; the run stays alive for it).
int report_calculate_period(REPORT *rep, time_t *cutoff);

// A demand run's period from the date conditions of its filter: sets
// rep->start and rep->end. Returns -1 when the period is usable, else 0 (the
// caller records "Date Range Not Found or Invalid").
int report_find_demand_period(REPORT *rep);

// Makes the relative dates of rep's filter absolute from rep->start.
void report_translate_relative_dates(REPORT *rep);

// The daylight-saving correction of one computed instant: when the offset at
// *time differs from gmtoffset by less than interval, *time moves by the
// difference, and by interval x direction more when the moved time then has
// gmtoffset.
void adjust_time(const report_tz &tz, time_t *time, int interval,
                 long gmtoffset, int direction);

// Moves *time to local 00:00 of the start day (0 Sunday .. 6 Saturday) of the
// week `change` weeks from the week of *time; that start may lie after *time
// when the start day falls later in the week. *time becomes 0 when it cannot
// be broken into local time.
void adjust_for_week(const report_tz &tz, time_t *time, int change,
                     int start_weekday);

// Moves *time to local 00:00 on the first of the month `change` months from
// the month of *time. *time becomes 0 when it cannot be broken into local time.
void adjust_for_month(const report_tz &tz, time_t *time, int change);

// Fixed-length intervals of `interval` seconds: aligns current down to the
// interval in local time (instant A) and sets *start = one interval before A,
// *end = A - 1, *next = one interval after A and *cutoff = cutoff_intervals
// before A, each corrected for a daylight-saving change in between. When
// current cannot be broken into local time, *start, *end and *next become 0
// and *cutoff is left alone.
void calculate_times_int(const report_tz &tz, time_t current, int interval,
                         int cutoff_intervals, time_t *start, time_t *end,
                         time_t *next, time_t *cutoff);

// The period [*start, *end] (both inclusive) before report_date for the run
// interval code, the next run time and the cutoff. An unknown code sets
// *start, *end and *next_run_time to 0 (the caller reports the failure) and
// leaves *cutoff_time alone.
void calculate_times(const report_tz &tz, time_t report_date, int run_interval,
                     time_t *start, time_t *end, time_t *next_run_time,
                     time_t *cutoff_time);

// The period of a scheduled or continuous run: calculate_times for the job's
// next run time and interval code. Returns -1 when a next run time came out,
// 0 when it is 0 (unknown code, unusable time: the caller records its error).
int report_scheduled_period(const report_tz &tz, time_t next_run_time,
                            int run_interval, time_t *start, time_t *end,
                            time_t *new_next_run_time, time_t *cutoff_time);

// One relative-date leaf made absolute: the field becomes the request time
// and the value period_start plus the signed 32-bit offset the leaf holds in
// the low bits of its value.
void relative_date_to_absolute(int *datatype, uint64_t *value,
                               time_t period_start);

// One request-time leaf's share of a demand period: "<" and "<=" raise *end,
// "==" raises *end and lowers *start, ">=" and ">" lower *start (a bound of 0
// is taken by any value); other operators change nothing.
void date_extremes_leaf(int comparetype, uint64_t value, time_t *start,
                        time_t *end);

// Whether a demand period read from a filter is usable: both bounds non-zero
// and the end not before the start.
bool demand_period_valid(time_t start, time_t end);

// The filter walks below take any rule-tree node type with the members of
// the filter language's rule: `operation` (0 leaf, 1 AND, 2 OR), `left`,
// `right`, `comparetype`, `datatype` and `data` (for the date fields 7 and 31
// a pointer to the leaf's unsigned 64-bit value). They keep an explicit stack,
// so a long chain of filter lines cannot exhaust the thread's stack.

// Every leaf on the relative date (field 31) becomes a request-time leaf
// (field 7) with the absolute time report_start + its offset.
template <class Rule>
void translate_relative_dates(Rule *filter, time_t report_start) {
  std::vector<Rule *> todo;
  if (filter) todo.push_back(filter);
  while (!todo.empty()) {
    Rule *node = todo.back();
    todo.pop_back();
    if (node->operation == 0) {
      if (node->datatype == PERIOD_FIELD_RELATIVE_DATE && node->data)
        relative_date_to_absolute(&node->datatype,
                                  static_cast<uint64_t *>(node->data),
                                  report_start);
      continue;
    }
    // Right pushed first so the left side is walked first.
    if (node->right) todo.push_back(node->right);
    if (node->left) todo.push_back(node->left);
  }
}

// The demand period from the request-time leaves of a filter: *start the
// smallest lower bound, *end the largest upper bound found anywhere in the
// tree, whatever AND and OR join them; both 0 when the filter has none.
template <class Rule>
void find_date_extremes(Rule *filter, time_t *start, time_t *end) {
  *start = 0;
  *end = 0;
  std::vector<Rule *> todo;
  if (filter) todo.push_back(filter);
  while (!todo.empty()) {
    Rule *node = todo.back();
    todo.pop_back();
    if (node->operation == 0) {
      if (node->datatype == PERIOD_FIELD_DATE && node->data)
        date_extremes_leaf(node->comparetype,
                           *static_cast<const uint64_t *>(node->data), start,
                           end);
      continue;
    }
    if (node->right) todo.push_back(node->right);
    if (node->left) todo.push_back(node->left);
  }
}

// A demand report's period from its filter. Returns -1 when it is usable,
// 0 otherwise (the caller records "Date Range Not Found or Invalid"); the
// bounds are stored either way.
template <class Rule>
int report_demand_period(Rule *filter, time_t *start, time_t *end) {
  find_date_extremes(filter, start, end);
  return demand_period_valid(*start, *end) ? -1 : 0;
}
