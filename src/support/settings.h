// The daemon's operating settings: the process-wide record `settings`, its
// built-in defaults, and the loader that fills it from the database table
// `settings` once at start-up.  `server_id` and `restricted` come from this
// server's row of `servers` (support_start, runtime.h).
//
// The record is written only by the main thread before any report thread
// exists; afterwards every thread reads it without a lock.
#pragma once

struct reporter_settings {
  int server_id = 0;
  int restricted = 0;  // non-zero: only jobs assigned to this server
  int process_continuous_reports = 0;  // loaded and logged only
  int process_demand_reports = 0;
  int process_scheduled_reports = 0;
  int demand_count_max = 0;  // most worker threads of each kind at once
  int scheduled_count_max = 0;
  int continuous_count_max = 0;
  int max_parallel_reports = 1;  // scheduled reports sharing one worker
  char *reports_directory = nullptr;  // owned; ends with "/" once loaded
  char *temp_directory = nullptr;     // owned; ends with "/" once loaded
  long long max_report_size = 0;
  long long max_temp_size = 0;
  long long max_email_size = 0;
  long long report_maxsize = 0;
  int max_instances = 0;  // 0 = no limit
  int ip_type = 3;        // 1 four bytes, 2 sixteen bytes, 3 family byte + address
  int unused_warning_time = 0;  // days; below 1 = never
  int unused_disable_time = 0;
  int topk_buffer_size = 2000;  // at least 100
};

// The daemon's settings.
extern reporter_settings settings;

// Fills s from "select name, value from settings" on connection db: every
// field except server_id and restricted starts again from its default, rows
// are applied in result order (a later row of a name wins; NULL values and
// unknown names are ignored; a numeric text that is not a number within the
// setting's range gets the default, said in one message line), then the rules after loading are applied and
// the summary is logged at level 1. A failed or empty query leaves the
// defaults. (reporter_load_settings in src/support/runtime.h does this for
// `settings` on the main connection.)
void reporter_load_settings_from(int db, reporter_settings *s);

// True when text is one whole decimal integer (blanks around it and a sign
// allowed) within the range of long long, stored in *value; false for any
// other text (empty, "abc", "3x", "2.5", too large), leaving *value alone.
// Every numeric setting is read with it.
bool reporter_setting_number(const char *text, long long *value);

// Frees the two directory texts of s and sets every field to its default.
void reporter_settings_reset(reporter_settings *s);
