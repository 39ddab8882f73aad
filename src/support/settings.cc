#include "src/support/settings.h"

#include <cstdlib>
#include <cstring>
#include <string>

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

void apply_row(reporter_settings *s, const char *name, const char *value) {
  std::string_view n(name);
  // The directories take NULL as "not set"; every number skips a NULL.
  if (n == "report_dir") return replace_text(&s->reports_directory, value);
  if (n == "temp_dir") return replace_text(&s->temp_directory, value);
  if (!value) return;
  struct IntKey {
    const char *name;
    int reporter_settings::*field;
  };
  static const IntKey ints[] = {
      {"process_continuous_reports", &reporter_settings::process_continuous_reports},
      {"process_demand_reports", &reporter_settings::process_demand_reports},
      {"process_scheduled_reports", &reporter_settings::process_scheduled_reports},
      {"concurrent_demand_reports", &reporter_settings::demand_count_max},
      {"concurrent_scheduled_reports", &reporter_settings::scheduled_count_max},
      {"concurrent_continuous_reports", &reporter_settings::continuous_count_max},
      {"max_parallel_reports", &reporter_settings::max_parallel_reports},
      {"max_instances", &reporter_settings::max_instances},
      {"ip_type", &reporter_settings::ip_type},
      {"unused_warning_time", &reporter_settings::unused_warning_time},
      {"unused_disable_time", &reporter_settings::unused_disable_time},
      {"topk_buffer_size", &reporter_settings::topk_buffer_size},
  };
  struct LongKey {
    const char *name;
    long long reporter_settings::*field;
  };
  static const LongKey longs[] = {
      {"max_report_size", &reporter_settings::max_report_size},
      {"max_temp_size", &reporter_settings::max_temp_size},
      {"max_email_size", &reporter_settings::max_email_size},
      {"report_maxsize", &reporter_settings::report_maxsize},
  };
  if (n == "concurrent_normal_reports") {
    s->demand_count_max = s->scheduled_count_max = atoi(value);
    return;
  }
  for (const auto &k : ints) {
    if (n == k.name) {
      s->*k.field = atoi(value);
      return;
    }
  }
  for (const auto &k : longs) {
    if (n == k.name) {
      s->*k.field = atoll(value);
      return;
    }
  }
}

const char *onoff(int v) { return v ? "enabled" : "disabled"; }

}  // namespace

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
  if (s->ip_type < 1 || s->ip_type > 3) s->ip_type = 3;

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

