#include "src/daemon/mail.h"

#include <libintl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/base/kxpath.h"
#include "lib/base/kxraii.h"
#include "lib/base/kxstring.h"
#include "lib/runtime/db.h"
#include "lib/runtime/kxtime.h"
#include "src/daemon/registry.h"
#include "src/report/report.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"

namespace {

const char *kind_word(const REPORT *rep) { return rep->report_type == 1 ? "demand" : "scheduled"; }

// A copy of the results' texts: the statements that follow run on the same
// connection.
std::vector<std::string> column_values(DB_RESULT *rs) {
  std::vector<std::string> out;
  if (!rs) return out;
  for (int more = rs->eof; more == 0; more = rs->movenext(rs))
    out.emplace_back(rs->fields[0] ? rs->fields[0] : "");
  rs->close(rs);
  return out;
}

}  // namespace

void send_email(const char *command, const char *id, const char *lang, REPORT *rep) {
  kx_malloc_ptr<char> quoted_lang(string_escapeshellarg(lang ? lang : ""));
  char *cmd = nullptr;
  if (!quoted_lang || !command ||
      asprintf(&cmd, command, kxpath_path ? kxpath_path : "", id ? id : "", quoted_lang.get(),
               email_url ? email_url : "''") < 0) {
    kxlog_send(KXLOG_ERROR, "Can not allocate email command string\n");
    return;
  }
  kx_malloc_ptr<char> command_text(cmd);
  FILE *pipe = popen(command_text.get(), "r");
  if (!pipe) {
    if (rep)
      kxlog_send(KXLOG_ERROR, "Could not run email sending script for %s report %d '%s'\n", kind_word(rep),
                 rep->report_id, rep->name ? rep->name : "");
    else
      kxlog_send(KXLOG_ERROR, "Could not run email sending script\n");
    return;
  }
  char line[1024];
  bool got = fgets(line, 1023, pipe) != nullptr;
  // Drain the rest so the script never blocks on a full pipe before it ends.
  char sink[4096];
  while (fread(sink, 1, sizeof sink, pipe) > 0) {
  }
  pclose(pipe);
  if (!got) return;
  if (strncmp(line, "OK:", 3) == 0) {
    stats_count(&stats_num_mail_sent);
  } else if (strncmp(line, "ERR:", 4) == 0) {
    for (char *p = line; *p; p++)
      if (*p == '\n' || *p == '\r') *p = ' ';
    if (rep)
      kxlog_send(KXLOG_ERROR, "Email sending error for %s report %d '%s': %s\n", kind_word(rep), rep->report_id,
                 rep->name ? rep->name : "", line + 4);
    else
      kxlog_send(KXLOG_ERROR, "Email sending error: %s\n", line + 4);
  }
}

void process_email_test(int id, int type, int db, const char *lang) {
  const char *table = type == 1 ? "demand_reports" : type == 2 ? "scheduled_reports" : nullptr;
  if (!table) return;
  std::vector<std::string> emails = column_values(db_execute2(db, "select email from %s where report_id=%d", table, id));
  if (!emails.empty() && !emails[0].empty()) {
    kx_malloc_ptr<char> address(string_escapeshellarg(emails[0].c_str()));
    if (address) send_email(EMAIL_CMD_TEST, address.get(), lang, nullptr);
  }
  db_query(db, "delete from %s where report_id=%d", table, id);
}

void reporter_process_unused_reports(int db, reporter_settings *s, time_t now) {
  if (!s) return;
  // A delay that reaches back before the epoch finds nothing that old (and
  // its cut-off must not wrap round to a time after every report's use).
  const auto cutoff = [now](int days) { return now - static_cast<time_t>(days) * 86400; };
  if (s->unused_warning_time > 0 && cutoff(s->unused_warning_time) > 0) {
    unsigned long t = static_cast<unsigned long>(cutoff(s->unused_warning_time));
    std::vector<std::string> owners = column_values(db_execute2(
        db,
        "SELECT times.login  FROM     (SELECT login, max(UNIX_TIMESTAMP(edited)) as edited, "
        "max(UNIX_TIMESTAMP(seen)) as seen, max(email != '') as has_email      FROM scheduled_reports WHERE "
        "error_flag = 0 OR error_flag = 1 GROUP by login) times  LEFT JOIN unused_warnings USING (login)  WHERE "
        "seen < %lu AND edited < %lu AND has_email IS TRUE AND `date` IS NULL",
        t, t));
    for (const std::string &login : owners) {
      const std::string login_sql = db_escaped(login.c_str());
      std::vector<std::string> emails = column_values(
          db_execute2(db, "SELECT DISTINCT email FROM scheduled_reports WHERE login = '%s'", login_sql.c_str()));
      for (const std::string &email : emails) {
        if (email.empty()) continue;
        kx_malloc_ptr<char> key(string_security_key());
        kx_malloc_ptr<char> address(string_escapeshellarg(email.c_str()));
        if (!key || !address) break;
        send_email(EMAIL_CMD_WARNING, address.get(), key.get(), nullptr);
        db_query(db, "INSERT INTO unused_warnings (`login`, `email`, `key`) VALUES ('%s', '%s', '%s')",
                 login_sql.c_str(), db_escaped(email.c_str()).c_str(), db_escaped(key.get()).c_str());
        kxlog_send(KXLOG_MESSAGE, "Unused reports Warning for account: %s sent to %s\n", login.c_str(), email.c_str());
      }
    }
  }
  if (s->unused_disable_time >= 1 && cutoff(s->unused_disable_time) > 0) {
    unsigned long t = static_cast<unsigned long>(cutoff(s->unused_disable_time));
    std::vector<std::string> owners = column_values(db_execute2(
        db,
        "SELECT * FROM (SELECT login, max(UNIX_TIMESTAMP(edited)) as edited, max(UNIX_TIMESTAMP(seen)) as seen    "
        "FROM scheduled_reports WHERE error_flag = 0 OR error_flag = 1 GROUP by login) times WHERE seen < %lu AND "
        "edited < %lu",
        t, t));
    const std::string status = db_escaped(dgettext("Tallowmere", "Stopped temporarily"));
    for (const std::string &login : owners) {
      const std::string login_sql = db_escaped(login.c_str());
      db_query(db, "UPDATE scheduled_reports SET error_flag = 3, status ='%s' WHERE login = '%s'", status.c_str(),
               login_sql.c_str());
      db_query(db, "DELETE FROM unused_warnings WHERE login = '%s'", login_sql.c_str());
      kxlog_send(KXLOG_MESSAGE, "Temporary disable Unused reports for account: %s\n", login.c_str());
    }
  }
}

void reporter_process_unused_reports(int db, reporter_settings *s) {
  time_t now = current_time.load();
  reporter_process_unused_reports(db, s, now ? now : time(nullptr));
}
