#include "src/report/status.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>

#include "lib/base/kxlog.h"
#include "lib/base/kxraii.h"
#include "lib/runtime/db.h"
#include "src/report/fields.h"
#include "src/report/tfile.h"
#include "src/table/table_file.h"

namespace {

const char *kind_word(int kind) {
  switch (kind) {
    case REPORT_DEMAND: return "demand report";
    case REPORT_SCHEDULED: return "scheduled report";
    case REPORT_CONTINUOUS: return "continuous report";
    default: return nullptr;
  }
}

const char *kind_table(int kind) {
  switch (kind) {
    case REPORT_DEMAND: return "demand_reports";
    case REPORT_SCHEDULED: return "scheduled_reports";
    default: return "continuous_reports";
  }
}

// Adds bytes to *total; records the numbered text when a positive limit is
// passed. A limit of 0 is what a fresh install has (no settings row): it
// means no limit, as the store's own limit does.
int charge(REPORT *rep, long long *total, long long limit, const char *format, long long bytes) {
  *total += bytes;
  if (limit <= 0 || *total <= limit) return -1;
  status_add_error(rep, format, static_cast<unsigned long long>(limit),
                   static_cast<unsigned long long>(*total - limit));
  return 0;
}

// The statement of a scheduled or continuous job: a job that was stopped
// as unused (flag 3) keeps its status and flag.
void save_keeping_unused(REPORT *rep, int db, int server, const char *escaped, int flag) {
  db_query(db,
           "update %s set status=if(error_flag=3,status,'%s'), error_flag=if(error_flag=3,3,%d), server=%d "
           "where report_id=%d",
           kind_table(rep->report_type), escaped, flag, server, rep->report_id);
}

int hook_ip_type(const REPORT *rep) { return rep->settings ? rep->settings->ip_type : 3; }

int hook_charge_header(REPORT *rep, const char *name, int64_t bytes) {
  bool temp = rep->temp_path && name && strncmp(name, rep->temp_path, strlen(rep->temp_path)) == 0;
  return temp ? status_add_temp_size(rep, bytes) : status_add_report_size(rep, bytes);
}

const report_table_hooks table_hooks = {hook_ip_type, hook_charge_header};

}  // namespace

void status_add_error(REPORT *rep, const char *format, ...) {
  if (!rep || !format) return;
  va_list ap;
  va_start(ap, format);
  char *text = nullptr;
  int n = vasprintf(&text, format, ap);
  va_end(ap);
  free(rep->error);
  rep->error = n < 0 ? nullptr : text;
}

int status_add_report_size(REPORT *rep, long long bytes) {
  if (!rep) return -1;
  long long limit = rep->settings ? rep->settings->max_report_size : 0;
  return charge(rep, &rep->size_report, limit,
                "Error 10600: (status) Report File Size Limit %llu Exceeded by %llu bytes", bytes);
}

int status_add_temp_size(REPORT *rep, long long bytes) {
  if (!rep) return -1;
  long long limit = rep->settings ? rep->settings->max_temp_size : 0;
  return charge(rep, &rep->size_temp, limit,
                "Error 10601: (status) Temporary File Size Limit %llu Exceeded by %llu bytes", bytes);
}

int status_save(REPORT *rep, int db, const char *message, int error_flag) {
  if (!rep) return 0;
  const char *word = kind_word(rep->report_type);
  if (!word) return rep->report_type;
  int server = rep->settings ? rep->settings->server_id : 0;

  if (rep->error) {
    // A run that failed before it had a directory has nothing to remove.
    tfile_clear_report(rep);
    kxlog_send(KXLOG_ERROR, "Error processing %s %d '%s'\n", word, rep->report_id, rep->error);
    kx_malloc_ptr<char> text(escape_encode(rep->error));
    if (!text) return 0;
    db_query(db, "update %s set status='%s', error_flag=2, server=%d where report_id=%d",
             kind_table(rep->report_type), text.get(), server, rep->report_id);
    return 0;
  }
  if (!message) {
    kxlog_send(KXLOG_MESSAGE, "Canceled %s %d\n", word, rep->report_id);
    if (rep->report_type == REPORT_DEMAND) {
      db_query(db,
               "update demand_reports set status='%s', error_flag=%d, next_run_time=0, server=%d where "
               "report_id=%d",
               "Stopped by user", 0, server, rep->report_id);
    } else {
      save_keeping_unused(rep, db, server, "Stopped by user", 0);
    }
    return 0;
  }
  kx_malloc_ptr<char> text(escape_encode(message));
  if (!text) return 0;
  kxlog_send(KXLOG_MESSAGE, "Processed %s %d '%s'\n", word, rep->report_id, message);
  if (rep->report_type == REPORT_DEMAND) {
    db_query(db, "update demand_reports set status='%s', error_flag=%d, server=%d where report_id=%d",
             text.get(), error_flag, server, rep->report_id);
  } else {
    save_keeping_unused(rep, db, server, text.get(), error_flag);
  }
  return 0;
}

void status_install_table_hooks() { report_table_set_hooks(&table_hooks); }

std::string status_text_at(const char *format, time_t t) {
  char when[32];
  format_date_time(t, when, sizeof when);
  char *text = nullptr;
  if (asprintf(&text, dgettext("Tallowmere", format), when) < 0) return std::string();
  std::string out(text);
  free(text);
  return out;
}
