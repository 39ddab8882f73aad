#include "src/report/report_load.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/record/record.h"
#include "lib/runtime/db.h"
#include "src/report/definition.h"
#include "src/report/reportlists.h"
#include "src/report/status.h"
#include "src/report/tfile.h"

namespace {

bool ci_less(const char *a, const char *b) { return strcasecmp(a, b) < 0; }

// How often the file-number sequence is begun again after a reconnect.
constexpr int kFileNumberAttempts = 5;

}  // namespace

void report_free_html_extensions(REPORT *rep) {
  if (rep == nullptr) return;
  for (int i = 0; i < rep->html_extensions_size; ++i) free(rep->html_extensions[i]);
  free(rep->html_extensions);
  rep->html_extensions = nullptr;
  rep->html_extensions_size = 0;
}

int report_load_html_extensions(REPORT *rep) {
  report_free_html_extensions(rep);
  DB_RESULT *rs = db_execute(rep->db, "select extension from html_extensions order by extension");
  db_result_ptr closer{rs};
  if (rs == nullptr) return -1;  // no rows: no extensions
  auto **list = static_cast<char **>(calloc(rs->record_count + 1, sizeof(char *)));
  if (list == nullptr) return 0;
  int n = 0;
  for (; rs->eof == 0; rs->movenext(rs)) {
    // A NULL row names no extension; an entry of null would be compared.
    if (rs->fields == nullptr || rs->fields[0] == nullptr) continue;
    if (static_cast<unsigned long>(n) >= rs->record_count) break;
    char *copy = strdup(rs->fields[0]);
    if (copy == nullptr) {
      for (int i = 0; i < n; ++i) free(list[i]);
      free(list);
      return 0;
    }
    list[n++] = copy;
  }
  // The server's collation decides its order; the search below needs the
  // order of its own comparison.
  std::sort(list, list + n, ci_less);
  rep->html_extensions = list;
  rep->html_extensions_size = n;
  return -1;
}

bool report_is_html_extension(const REPORT *rep, const char *ext) {
  if (rep == nullptr || ext == nullptr || rep->html_extensions == nullptr) return false;
  char **begin = rep->html_extensions;
  char **end = begin + rep->html_extensions_size;
  char **it = std::lower_bound(begin, end, ext, ci_less);
  return it != end && strcasecmp(*it, ext) == 0;
}

int report_take_file_number(int db) {
  for (int attempt = 0; attempt < kFileNumberAttempts; ++attempt) {
    const unsigned long sessions = db_reconnect_count(db);
    if (db_query(db, "lock tables global write") == nullptr) {
      // Whatever the failure left behind, no lock of this session stays.
      db_query(db, "unlock tables");
      if (db_reconnect_count(db) != sessions) continue;
      return 0;
    }
    int number = 0;
    if (DB_RESULT *rs = db_execute(db, "select next_rep_file from global")) {
      if (rs->fields && rs->fields[0]) number = atoi(rs->fields[0]);
      rs->close(rs);
    }
    const bool updated = db_query(db, "update global set next_rep_file=next_rep_file+1") != nullptr;
    const bool same_session = db_reconnect_count(db) == sessions;
    db_query(db, "unlock tables");
    if (!same_session) continue;  // the lock was lost midway: begin again
    return updated ? number : 0;
  }
  return 0;
}

int load_report_definition(REPORT *rep, time_t report_date) {
  (void)report_date;
  if (rep == nullptr) return 0;
  // 1. Page extensions.
  if (!report_load_html_extensions(rep)) return 0;
  // 2. The definition text.
  const char *table = rep->report_type == REPORT_DEMAND      ? "demand_reports"
                      : rep->report_type == REPORT_SCHEDULED ? "scheduled_reports"
                      : rep->report_type == REPORT_CONTINUOUS ? "continuous_reports"
                                                              : nullptr;
  DB_RESULT *rs = nullptr;
  if (table != nullptr)
    rs = db_execute2(rep->db, "select definition from %s where report_id=%d", table, rep->report_id);
  if (rs == nullptr) {
    status_add_error(rep, "Error 10101: (def) Error retrieving the report definition from db");
    return 0;
  }
  char *text = rs->fields && rs->fields[0] ? strdup(rs->fields[0]) : nullptr;
  rs->close(rs);
  if (text == nullptr) {
    status_add_error(rep, "Error 10100: (def) Memory Allocation Error");
    return 0;
  }
  // 3. A report file number.
  rep->file_id = report_take_file_number(rep->db);
  if (rep->file_id == 0) {
    free(text);
    status_add_error(rep, "Error 10102: (def) Error retrieving the next report ID");
    return 0;
  }
  // 4. Shared tables the parse and the run use.
  rep->type_hints = type_hints;
  report_definition_get_category_groups(rep);
  // 5. The parse.
  report_definition_interpret_definition(rep, text);
  free(text);
  if (rep->error != nullptr || rep->def == nullptr) return 0;
  // 6. The category order of the definition's language.
  report_definition_get_category_ordering(rep);
  // 7. Store paths (continuous reports write to the database).
  if (rep->report_type == REPORT_CONTINUOUS) return 1;
  tfile_take_root_path(rep, rep->file_id);
  if (rep->root_path != nullptr) {
    free(rep->temp_path);
    rep->temp_path = tfile_create_temp_path(rep, rep->file_id);
  }
  if (rep->root_path == nullptr || rep->temp_path == nullptr) {
    status_add_error(rep, "Error 10103: (def) Memory Allocation Error");
    return 0;
  }
  return 1;
}
