// kxreporter: the reporting daemon. Starts the runtime in order, publishes
// its SNMP objects, keeps the report store, and runs the main loop until
// SIGTERM or SIGINT.
#include <libintl.h>
#include <locale.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/base/kxlog.h"
#include "lib/base/kxpath.h"
#include "lib/base/kxraii.h"
#include "lib/runtime/kxsignal.h"
#include "lib/runtime/kxtime.h"
#include "src/daemon/housekeeping.h"
#include "src/daemon/mainloop.h"
#include "src/daemon/registry.h"
#include "src/report/reportlists.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"

namespace {

const char kCopyright[] = "Copyright (c) Tallowmere. All rights reserved.";

// TZ at start (null when unset).
char *system_tz = nullptr;

// The pid file's path once written; removed again at the stop.
std::string pid_path;

void usage(const char *program) {
  printf("Usage: %s [options]\n\tNormally this daemon program is run by kxreporterctl script\n\t-h      display "
         "usage\n\t-v      display version\n\n",
         program);
}

void print_version() { printf("%s\n%s\n", version, kCopyright); }

// SIGTERM and SIGINT. Runs on the signal thread (never inside a signal
// handler), so it may log, lock and free. Running report threads are not
// waited for: what they still hold (shared lists, their own connections)
// stays theirs, and the database layer and the logs stay safe to call.
void reporter_exit(int sig) {
  kxlog_send(KXLOG_MESSAGE, "The reporter is stopped (%s signal)\n", strsignal(sig));
  if (!pid_path.empty()) unlink(pid_path.c_str());
  report_definition_terminate();
  terminate_snmp_support();
  support_terminate();  // flushes and closes the logs last
  fflush(stdout);
  _exit(0);
}

void reporter_signal(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      reporter_exit(sig);
      break;
    case SIGUSR1:
      reload_lists.store(1);
      break;
    default:  // SIGHUP and SIGUSR2 are ignored
      break;
  }
}

// A failure once the services run: they are stopped before the exit.
int fail_started(const char *message) {
  if (message) kxlog_send(KXLOG_ERROR, "%s", message);
  terminate_snmp_support();
  support_terminate();
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  kxpath_init();
  rlimit limit{107400, 107400};
  setrlimit(RLIMIT_NOFILE, &limit);

  if (kx_malloc_ptr<char> locale{kxpath_append("/locale/release")}) {
    setlocale(LC_ALL, "");
    bindtextdomain("Tallowmere", locale.get());
    textdomain("Tallowmere");
  }

  int opt;
  while ((opt = getopt(argc, argv, "?hv")) != -1) {
    switch (opt) {
      case 'v':
        print_version();
        return 0;
      default:  // -h and unknown options
        usage(argv[0]);
        print_version();
        return 0;
    }
  }

  // Signals are taken by a waiting thread; started before any other thread
  // so that every later thread has them blocked.
  static const int signals[] = {SIGHUP, SIGTERM, SIGINT, SIGUSR1, SIGUSR2};
  if (kxsignal_start(signals, 5, reporter_signal) != 0) {
    fprintf(stderr, "There was an error during initialization.\n");
    return 1;
  }

  printf("Starting Reporter Version %s, %s\n", "6.3.3", kCopyright);
  fflush(stdout);

  if (!support_kxreporter_initialize(&settings)) {
    support_terminate();
    fprintf(stderr, "There was an error during initialization.\n");
    return 1;
  }
  init_snmp_support();
  kxlog_send(KXLOG_MESSAGE, "Starting Report Generator\n");

  kx_malloc_ptr<char> pid_file{kxpath_append("/var/run/kxreporter.pid")};
  if (!pid_file) {
    fprintf(stderr, "Cannot allocate memory. (pidfile)\n");
    return fail_started(nullptr);
  }
  if (FILE *f = fopen(pid_file.get(), "w")) {
    fprintf(f, "%d", static_cast<int>(getpid()));
    if (fclose(f) == 0) pid_path = pid_file.get();
  }

  srand(static_cast<unsigned>(time(nullptr)));
  if (const char *tz = getenv("TZ")) system_tz = strdup(tz);

  reporter_cleanup_report_tables();
  reporter_cleanup_continuous(support_db);
  reporter_load_settings();
  if (!settings.reports_directory || !*settings.reports_directory) {
    if (!pid_path.empty()) unlink(pid_path.c_str());
    return fail_started("Report directory not set (table settings)\n");
  }
  report_definition_initialize();
  report_clean_report_dir(support_db, settings.reports_directory);
  reporter_trim_reports(support_db, settings.reports_directory);

  reporter_main_loop();
  return 0;
}
