#include "src/support/settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/runtime/db.h"
#include "lib/base/kxlog.h"

reporter_settings settings;

namespace {

// Gives the heap directory text *dir a final "/" (an empty text stays
// empty: the start-up refuses it; null stays null, and so does a text that
// cannot grow, as with no memory).
void end_with_slash(char **dir) {
  if (!*dir) return;
  size_t n = strlen(*dir);
  if (n == 0 || (*dir)[n - 1] == '/') return;
  auto *grown = static_cast<char *>(realloc(*dir, n + 2));
  if (!grown) {
    free(*dir);
    *dir = nullptr;
    return;
  }
  grown[n] = '/';
  grown[n + 1] = '\0';
  *dir = grown;
}

void replace_text(char **field, const char *value) {
  free(*field);
  *field = value ? strdup(value) : nullptr;
}

// One numeric setting: the field it fills, the values it takes and the one
// an invalid text gets.
struct NumberKey {
  const char *name;
  int reporter_settings::*int_field;  // one of the two is set
  long long reporter_settings::*long_field;
  long long least, most;
  long long fallback;
};

constexpr long long kIntMax = INT_MAX;
constexpr long long kLongMax = LLONG_MAX;

// Every limit is read as "this many, 0 meaning none (or never)"; a count
// or delay below 0 means nothing, and a parallel count of 0 would build
// batches of no report.
const NumberKey kNumbers[] = {
    {"process_continuous_reports", &reporter_settings::process_continuous_reports, nullptr, 0, kIntMax, 0},
    {"process_demand_reports", &reporter_settings::process_demand_reports, nullptr, 0, kIntMax, 0},
    {"process_scheduled_reports", &reporter_settings::process_scheduled_reports, nullptr, 0, kIntMax, 0},
    {"concurrent_demand_reports", &reporter_settings::demand_count_max, nullptr, 0, kIntMax, 0},
    {"concurrent_scheduled_reports", &reporter_settings::scheduled_count_max, nullptr, 0, kIntMax, 0},
    {"concurrent_continuous_reports", &reporter_settings::continuous_count_max, nullptr, 0, kIntMax, 0},
    {"max_parallel_reports", &reporter_settings::max_parallel_reports, nullptr, 1, kIntMax, 1},
    {"max_instances", &reporter_settings::max_instances, nullptr, 0, kIntMax, 0},
    {"ip_type", &reporter_settings::ip_type, nullptr, 1, 3, 3},
    {"unused_warning_time", &reporter_settings::unused_warning_time, nullptr, 0, kIntMax, 0},
    {"unused_disable_time", &reporter_settings::unused_disable_time, nullptr, 0, kIntMax, 0},
    // Below 100 it becomes 100 after loading; an invalid text reads as that.
    {"topk_buffer_size", &reporter_settings::topk_buffer_size, nullptr, 0, kIntMax, 100},
    {"max_report_size", nullptr, &reporter_settings::max_report_size, 0, kLongMax, 0},
    {"max_temp_size", nullptr, &reporter_settings::max_temp_size, 0, kLongMax, 0},
    {"max_email_size", nullptr, &reporter_settings::max_email_size, 0, kLongMax, 0},
    {"report_maxsize", nullptr, &reporter_settings::report_maxsize, 0, kLongMax, 0},
};

// The value of a numeric row: the number when the text is one within the
// key's range, else the key's fallback, said in the message log (the
// administration's forms store any text).
long long number_of(const NumberKey &k, const char *value) {
  long long v = 0;
  if (reporter_setting_number(value, &v) && v >= k.least && v <= k.most) return v;
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: %s '%.64s' is not a valid value; %lld is used\n", k.name, value, k.fallback);
  return k.fallback;
}

void store(reporter_settings *s, const NumberKey &k, long long v) {
  if (k.int_field) s->*k.int_field = static_cast<int>(v);
  if (k.long_field) s->*k.long_field = v;
}

void apply_row(reporter_settings *s, const char *name, const char *value) {
  std::string_view n(name);
  // The directories take NULL as "not set"; every number skips a NULL.
  if (n == "report_dir") return replace_text(&s->reports_directory, value);
  if (n == "temp_dir") return replace_text(&s->temp_directory, value);
  if (!value) return;
  if (n == "concurrent_normal_reports") {
    // Both limits at once, with their range.
    static const NumberKey both = {"concurrent_normal_reports", nullptr, nullptr, 0, kIntMax, 0};
    s->demand_count_max = s->scheduled_count_max = static_cast<int>(number_of(both, value));
    return;
  }
  for (const auto &k : kNumbers) {
    if (n == k.name) return store(s, k, number_of(k, value));
  }
}

const char *onoff(int v) { return v ? "enabled" : "disabled"; }

}  // namespace

bool reporter_setting_number(const char *text, long long *value) {
  if (!text) return false;
  const char *p = text;
  while (*p == ' ' || *p == '\t') p++;
  const char *digits = p + (*p == '+' || *p == '-');
  if (*digits < '0' || *digits > '9') return false;
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(p, &end, 10);
  if (errno == ERANGE) return false;
  while (*end == ' ' || *end == '\t') end++;
  if (*end) return false;
  *value = v;
  return true;
}

void reporter_settings_reset(reporter_settings *s) {
  free(s->reports_directory);
  free(s->temp_directory);
  *s = reporter_settings{};
}

void reporter_load_settings_from(int db, reporter_settings *s) {
  int server_id = s->server_id;
  int restricted = s->restricted;
  reporter_settings_reset(s);
  s->server_id = server_id;
  s->restricted = restricted;

  DB_RESULT *rs = db_execute(db, "select name, value from settings");
  if (rs) {
    for (; rs->eof == 0; rs->movenext(rs)) {
      if (rs->fields[0]) apply_row(s, rs->fields[0], rs->fields[1]);
    }
    rs->close(rs);
  }

  // Names are appended to both directories directly, so both end with "/".
  end_with_slash(&s->reports_directory);
  if (!s->temp_directory || !*s->temp_directory) replace_text(&s->temp_directory, s->reports_directory);
  end_with_slash(&s->temp_directory);
  if (s->topk_buffer_size <= 99) s->topk_buffer_size = 100;

  kxlog_send(KXLOG_MESSAGE, "SETTINGS: server ID %d\n", s->server_id);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: %s",
             s->restricted ? "restricted for selected reports\n" : "can serve all reports (is not restricted)\n");
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: continuous report processing %s\n", onoff(s->process_continuous_reports));
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: demand report processing %s\n", onoff(s->process_demand_reports));
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: scheduled report processing %s\n", onoff(s->process_scheduled_reports));
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum concurrent demand reports - %d\n", s->demand_count_max);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum concurrent scheduled reports - %d\n", s->scheduled_count_max);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum concurrent continuous reports - %d\n", s->continuous_count_max);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum parallel reports per thread - %d\n", s->max_parallel_reports);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: reports directory - '%s'\n",
             s->reports_directory ? s->reports_directory : "");
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: temp files directory - '%s'\n", s->temp_directory ? s->temp_directory : "");
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum report size - %lld\n", s->max_report_size);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum temporary file size - %lld\n", s->max_temp_size);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum email message size - %lld\n", s->max_email_size);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum size of all reports - %lld\n", s->report_maxsize);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: maximum report instances - %d\n", s->max_instances);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: IP address type - %d\n", s->ip_type);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: unused reports warning delay (days) - %d\n", s->unused_warning_time);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: unused reports disable delay (days) - %d\n", s->unused_disable_time);
  kxlog_send(KXLOG_MESSAGE, "SETTINGS: fast Top N grouping buffer size - %d\n", s->topk_buffer_size);
}

