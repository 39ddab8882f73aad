// kxreporter: the reporting daemon. Starts the runtime in order, publishes
// its SNMP objects, keeps the report store, and runs the main loop until
// SIGTERM or SIGINT.
#include <fcntl.h>
#include <libintl.h>
#include <locale.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// One daemon per install root. The install root itself and the pid file
// are each held under an exclusive flock for the life of the process (the
// descriptors are never closed; the kernel lets go at the exit, however it
// comes), so a pid file left by a daemon that died blocks nothing. The root
// is locked too because the pid file's folder may be missing or unwritable,
// which leaves the start-up going on without a pid file.
int root_lock_fd = -1;
int pid_lock_fd = -1;

enum class lock_result { taken, held, unavailable };

lock_result lock_fd(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return lock_result::taken;
  return errno == EWOULDBLOCK ? lock_result::held : lock_result::unavailable;
}

lock_result lock_install_root() {
  int fd = open(kxpath_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return lock_result::unavailable;
  lock_result r = lock_fd(fd);
  if (r == lock_result::taken) {
    root_lock_fd = fd;
  } else {
    close(fd);
  }
  return r;
}

// Opens the pid file without truncating it (a running daemon's number stays
// until the lock is ours) and locks it. A daemon that stopped between our
// open and our lock has removed the file it held: then the file now at the
// path is the one to lock.
lock_result lock_pid_file(const char *path) {
  for (int attempt = 0; attempt < 5; attempt++) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return lock_result::unavailable;
    lock_result r = lock_fd(fd);
    if (r != lock_result::taken) {
      close(fd);
      return r;
    }
    struct stat held, now;
    if (fstat(fd, &held) == 0 && stat(path, &now) == 0 && held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
      pid_lock_fd = fd;
      return r;
    }
    close(fd);
  }
  return lock_result::unavailable;
}

// The pid text of the pid file (empty when it has none).
std::string pid_in(const char *path) {
  std::string text;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return text;
  char buf[32];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  for (ssize_t i = 0; i < n && buf[i] >= '0' && buf[i] <= '9'; i++) text += buf[i];
  return text;
}

// Writes the process id into the locked pid file, in decimal without a
// newline.
bool write_pid(int fd) {
  const std::string text = std::to_string(static_cast<int>(getpid()));
  return ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
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
  // Before anything of the queue or the store is touched: a second daemon
  // would release the first one's claimed jobs and clean its store under it.
  lock_result root = lock_install_root();
  lock_result pid = root == lock_result::held ? lock_result::held : lock_pid_file(pid_file.get());
  if (root == lock_result::held || pid == lock_result::held) {
    const std::string holder = pid_in(pid_file.get());
    const std::string line = std::string("Another kxreporter") + (holder.empty() ? "" : " (pid " + holder + ")") +
                             " is running on the install root '" + kxpath_path + "'; not starting\n";
    fputs(line.c_str(), stderr);
    return fail_started(line.c_str());
  }
  if (pid == lock_result::taken && write_pid(pid_lock_fd)) pid_path = pid_file.get();
  if (root != lock_result::taken && pid != lock_result::taken)
    kxlog_send(KXLOG_MESSAGE, "Neither the install root nor the pid file can be locked: a second daemon on this "
                              "install root would not be refused\n");

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
