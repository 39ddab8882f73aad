// E-mail notification through the web administration's script
// "bin/kxreporter_email.php" below the install root, and the hourly
// warnings and stopping of scheduled reports that nobody uses.
//
// The daemon speaks no mail protocol: it runs the script through the shell
// with every argument shell-quoted and reads the first line of its answer
// ("OK:" sent, "ERR:" and an error text).
#pragma once

#include <ctime>

struct REPORT;
struct reporter_settings;

// Command forms: the install root, the id or quoted address, the quoted
// language or key, and the web-server argument (email_url).
#define EMAIL_CMD_DEMAND "%s/bin/kxreporter_email.php -i d%s -lang %s -webserver %s"
#define EMAIL_CMD_SCHEDULED "%s/bin/kxreporter_email.php -i s%s -lang %s -webserver %s"
#define EMAIL_CMD_TEST "%s/bin/kxreporter_email.php -test -mailto %s -lang %s -webserver %s"
#define EMAIL_CMD_WARNING "%s/bin/kxreporter_email.php -warning -mailto %s -key %s -webserver %s"

// Runs the mail command of form `command` (one of the above) with id (the
// second argument, already safe for the shell: an integer text or a quoted
// address) and lang (quoted here). rep may be null; it only names the report
// in error messages. Counts a sent mail in stats_num_mail_sent. Blocks until
// the script's first line is read and the pipe closed.
void send_email(const char *command, const char *id, const char *lang, REPORT *rep);

// The e-mail test job id of kind type (1 demand, 2 scheduled; other kinds do
// nothing): mails the job's address (when not empty) in language lang, then
// deletes the job.
void process_email_test(int id, int type, int db, const char *lang);

// The hourly search for owners of unused scheduled reports, at time now:
// warns those idle for unused_warning_time days (when above 0) and stops the
// reports of those idle for unused_disable_time days (when 1 or more).
void reporter_process_unused_reports(int db, reporter_settings *settings, time_t now);
// As above at the current time.
void reporter_process_unused_reports(int db, reporter_settings *settings);
