#include "src/report/status.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>

#include <string>
#include <string_view>

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

int hook_ip_type(const REPORT *rep) { return rep->settings ? rep->settings->ip_type : 3; }

int hook_charge_header(REPORT *rep, const char *name, int64_t bytes) {
  bool temp = rep->temp_path && name && strncmp(name, rep->temp_path, strlen(rep->temp_path)) == 0;
  return temp ? status_add_temp_size(rep, bytes) : status_add_report_size(rep, bytes);
}

const report_table_hooks table_hooks = {hook_ip_type, hook_charge_header};

// What the status column (TEXT) holds, and the short text saved when the
// row refuses a longer one.
constexpr size_t kStatusColumnBytes = 65535;
constexpr size_t kStatusShortBytes = 255;
// A shortened error text: its start, "...", its end.
constexpr size_t kErrorTailBytes = 192;
constexpr char kEllipsis[] = "...";

bool continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The longest start of text of at most n bytes that ends before a
// character.
std::string_view cut_start(std::string_view text, size_t n) {
  if (text.size() <= n) return text;
  while (n > 0 && continuation_byte(text[n])) n--;
  return text.substr(0, n);
}

// The longest end of text of at most n bytes that begins with a character.
std::string_view cut_end(std::string_view text, size_t n) {
  if (text.size() <= n) return text;
  size_t at = text.size() - n;
  while (at < text.size() && continuation_byte(text[at])) at++;
  return text.substr(at);
}

// How the job row records an outcome.
enum class outcome { failed, cancelled, worded };

// The update of rep's job row for the outcome with text (null: the status
// is left as it is) and flag. A scheduled or continuous job stopped as
// unused (flag 3) keeps its status and flag, except when it failed.
bool write_outcome(REPORT *rep, int db, outcome how, const char *text, int flag) {
  const int server = rep->settings ? rep->settings->server_id : 0;
  const bool keep_unused = how != outcome::failed && rep->report_type != REPORT_DEMAND;
  std::string set;
  if (text) {
    const std::string escaped = db_escaped(text);
    set = keep_unused ? "status=if(error_flag=3,status,'" + escaped + "'), " : "status='" + escaped + "', ";
  }
  const std::string f = std::to_string(flag);
  set += keep_unused ? "error_flag=if(error_flag=3,3," + f + ")" : "error_flag=" + f;
  // A stopped demand job is not due again.
  if (how == outcome::cancelled && rep->report_type == REPORT_DEMAND) set += ", next_run_time=0";
  return db_query(db, "update %s set %s, server=%d where report_id=%d", kind_table(rep->report_type), set.c_str(),
                  server, rep->report_id) != nullptr;
}

enum class saved { nothing, flag, text };

// Saves the outcome: the text as far as the column holds it; when the row
// refuses that, the text cut short; then the flag alone. Each refusal is
// logged.
saved save_outcome(REPORT *rep, int db, outcome how, std::string_view text, int flag) {
  const char *word = kind_word(rep->report_type);
  const std::string full(cut_start(text, kStatusColumnBytes));
  if (write_outcome(rep, db, how, full.c_str(), flag)) return saved::text;
  const std::string brief(cut_start(text, kStatusShortBytes));
  if (brief != full) {
    kxlog_send(KXLOG_ERROR, "Could not save the status of %s %d: a short text is saved instead\n", word,
               rep->report_id);
    if (write_outcome(rep, db, how, brief.c_str(), flag)) return saved::text;
  }
  kxlog_send(KXLOG_ERROR, "Could not save the status of %s %d '%s': its flag alone is saved\n", word, rep->report_id,
             brief.c_str());
  if (write_outcome(rep, db, how, nullptr, flag)) return saved::flag;
  kxlog_send(KXLOG_ERROR, "Could not save the outcome of %s %d: its job stays claimed\n", word, rep->report_id);
  return saved::nothing;
}

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
  if (n < 0 || static_cast<size_t>(n) <= kStatusErrorMax) return;
  // An input quoted whole: keep the start (number, module, message) and the
  // end (the words after the quote).
  const std::string_view all(text, static_cast<size_t>(n));
  const std::string_view tail = cut_end(all, kErrorTailBytes);
  const std::string_view head = cut_start(all, kStatusErrorMax - tail.size() - (sizeof kEllipsis - 1));
  std::string shorter;
  shorter.reserve(kStatusErrorMax);
  shorter.append(head).append(kEllipsis).append(tail);
  char *copy = strdup(shorter.c_str());
  if (!copy) return;  // the whole text stays
  free(text);
  rep->error = copy;
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

  if (rep->error) {
    // A run that failed before it had a directory has nothing to remove.
    tfile_clear_report(rep);
    kxlog_send(KXLOG_ERROR, "Error processing %s %d '%s'\n", word, rep->report_id, rep->error);
    save_outcome(rep, db, outcome::failed, rep->error, 2);
    return 0;
  }
  if (!message) {
    if (save_outcome(rep, db, outcome::cancelled, "Stopped by user", 0) == saved::text)
      kxlog_send(KXLOG_MESSAGE, "Canceled %s %d\n", word, rep->report_id);
    return 0;
  }
  if (save_outcome(rep, db, outcome::worded, message, error_flag) == saved::text) status_log_saved(rep, message);
  return 0;
}

bool status_write_message(REPORT *rep, int db, const char *message, int error_flag) {
  if (!rep || !message || !kind_word(rep->report_type)) return false;
  return write_outcome(rep, db, outcome::worded, std::string(cut_start(message, kStatusColumnBytes)).c_str(),
                       error_flag);
}

void status_log_saved(const REPORT *rep, const char *message) {
  const char *word = rep ? kind_word(rep->report_type) : nullptr;
  if (!word) return;
  kxlog_send(KXLOG_MESSAGE, "Processed %s %d '%s'\n", word, rep->report_id, message ? message : "");
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
