#include "lib/runtime/kxlogfile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "lib/runtime/config.h"
#include "lib/base/kxfile.h"
#include "lib/runtime/kxtime.h"
#include "lib/runtime/logsession.h"

kxlog_t *kxlog_message = nullptr;
kxlog_t *kxlog_remoteadmin = nullptr;
kxlog_t *kxlog_debug = nullptr;
kxlog_t *kxlog_error = nullptr;
int kxlog_syslog_enabled = 0;

namespace {

// The four log pointers are published under kxlog_send's publication lock:
// senders hold it shared while they use a log, the teardown takes it
// exclusively to unpublish the logs before destroying them, so no sender
// ever touches a destroyed log.
using read_guard = kxlog_read_guard;

void pointers_wrlock() { kxlog_publish_lock(); }

// Set while a SIGTERM has been requested or the logs are being torn down.
std::atomic<int> terminating{0};

CronTaskPtr kxlog_maintenance_task = nullptr;

pthread_mutex_t memory_lock = PTHREAD_MUTEX_INITIALIZER;
time_t memory_last_report = 0;
int memory_failures = 0;
bool memory_reported = false;

kxlog_t **slot_of_level(int level) {
  switch (level) {
    case KXLOG_MESSAGE: return &kxlog_message;
    case KXLOG_REMOTEADMIN: return &kxlog_remoteadmin;
    case KXLOG_DEBUG: return &kxlog_debug;
    case KXLOG_ERROR: return &kxlog_error;
    default: return nullptr;
  }
}

int priority_of_level(int level) {
  switch (level) {
    case KXLOG_MESSAGE: return LOG_NOTICE;
    case KXLOG_REMOTEADMIN: return LOG_WARNING;
    case KXLOG_DEBUG: return LOG_DEBUG;
    default: return LOG_ERR;
  }
}

void request_termination() {
  if (terminating.exchange(1) == 0) kill(getpid(), SIGTERM);
}

int open_log_file(const char *name) { return open(name, O_WRONLY | O_CREAT | O_APPEND, 0644); }

// Appends one entry; caller holds l->lock and l has an open file.
void append_entry(kxlog_t *l, int priority, const char *format, va_list ap) {
  const int start = l->buff_size;
  for (int attempt = 0; attempt < 2; attempt++) {
    int pending = l->buff_size;
    if (pending + current_time_len + 2 <= KXLOG_WRITE_BUFFER) {
      char stamp[20];
      kxtime_get_time_str(stamp);
      int stamp_len = static_cast<int>(strlen(stamp));
      memcpy(l->buff + pending, stamp, stamp_len);
      l->buff[pending + stamp_len] = ' ';
      char *text = l->buff + pending + stamp_len + 1;
      // Room after the stamp and its blank, so the text never runs past the buffer.
      int room = KXLOG_WRITE_BUFFER - pending - stamp_len - 1;
      va_list copy;
      va_copy(copy, ap);
      int len = vsnprintf(text, room, format, copy);
      va_end(copy);
      if (len >= 0 && len < room) {
        logsession_set_insert(l->sessions, text, len);
        l->buff_size = pending + stamp_len + 1 + len;
        kxlog_syslog(priority, text);
        return;
      }
    }
    l->buff_size = start;
    kxlog_flush_unlocked(l);
  }
  // Too long even for an empty buffer: dropped.
}

// Rotates l (caller holds its lock); true when it was rotated.
bool rotate_unlocked(kxlog_t *l) {
  if (!l->enabled || l->fd < 0) return false;
  char from[KXLOG_NAMEBUFFER_SIZE];
  char to[KXLOG_NAMEBUFFER_SIZE];
  auto numbered = [l](char *buf, int i) {
    int n = snprintf(buf, KXLOG_NAMEBUFFER_SIZE, "%s.%d", l->name, i);
    return n > 0 && n < KXLOG_NAMEBUFFER_SIZE;  // never rename to a cut-off name
  };
  if (l->history == 0) {
    close(l->fd);
    unlink(l->name);
  } else {
    for (int i = l->history - 1; i >= 1; i--) {
      if (numbered(from, i - 1) && numbered(to, i)) rename(from, to);
    }
    if (numbered(to, 0)) rename(l->name, to);
    close(l->fd);
  }
  l->fd = open_log_file(l->name);
  l->size = 0;
  if (l->fd < 0) request_termination();
  return true;
}

enum class Sent { kTaken, kNoFile };

// Appends one entry to l under its mutex and rotates it when it reaches
// max_size. kNoFile (nothing written) when l is disabled or has no file; a
// message that cannot take the mutex is dropped (kTaken), never written
// past the lock.
Sent send_locked(kxlog_t *l, int priority, const char *format, va_list ap) {
  if (pthread_mutex_lock(&l->lock) != 0) return Sent::kTaken;
  bool writable = l->enabled && l->fd >= 0;
  if (writable) {
    append_entry(l, priority, format, ap);
    if (l->size + l->buff_size >= l->max_size) rotate_unlocked(l);
  }
  pthread_mutex_unlock(&l->lock);
  return writable ? Sent::kTaken : Sent::kNoFile;
}

kxlog_t *make_log(configuration *config, const char *level, const char *program, int enabled_default) {
  int enabled = enabled_default;
  long long max_size = 1000000;
  int history = 5;
  char *filename = nullptr;
  std::string key = std::string("log_") + level;
  config_parse_boolean(config, (key + "_enabled").c_str(), &enabled);
  config_parse_size(config, (key + "_max_size").c_str(), &max_size);
  config_parse_int(config, (key + "_history").c_str(), &history);
  std::string name;
  if (config_parse_string(config, (key + "_filename").c_str(), &filename) == 0) {
    name = filename;
    free(filename);
  } else {
    name = std::string("../logs/") + program + "_" + level + ".log";
  }
  return kxlog_create(name.c_str(), max_size, history, enabled);
}

void maintenance_task(void *data) { kxlog_maintenance(data); }

}  // namespace

// --- The sink behind kxlog_send ---------------------------------------------

// Runs with the publication lock held shared (by kxlog_send).
static int log_sink(int level, const char *format, va_list ap) {
  kxlog_t **slot = slot_of_level(level);
  kxlog_t *l = slot != nullptr ? *slot : nullptr;
  if (l == nullptr) return 0;
  if (!l->enabled) return 1;
  return send_locked(l, priority_of_level(level), format, ap) == Sent::kTaken ? 1 : -1;
}

void kxlog_send_filev(kxlog_t *l, int priority, const char *format, va_list ap) {
  if (l == nullptr || format == nullptr) return;
  send_locked(l, priority, format, ap);
}

// --- Logs ---------------------------------------------------------------------

kxlog_t *kxlog_create(const char *filename, long long max_size, int history, int enabled) {
  if (filename == nullptr) return nullptr;
  auto *l = new (std::nothrow) kxlog_t();
  if (l == nullptr) return nullptr;
  l->fd = -1;
  if (pthread_mutex_init(&l->lock, nullptr) != 0) {
    delete l;
    return nullptr;
  }
  l->name = strdup(filename);
  l->sessions = logsession_set_create(LOGSESSION_SET_LOCKED, nullptr, nullptr, nullptr, nullptr);
  if (l->name == nullptr || l->sessions == nullptr) {
    kxlog_destroy(l);
    return nullptr;
  }
  l->enabled = enabled ? 1 : 0;
  if (l->enabled) {
    l->fd = open_log_file(l->name);
    if (l->fd < 0) {
      kxlog_send(KXLOG_ERROR, "Could not open log file %s\n", l->name);
    } else {
      struct stat st;
      l->size = fstat(l->fd, &st) == 0 ? st.st_size : 0;
    }
  }
  if (max_size <= 99999) {
    kxlog_send(KXLOG_MESSAGE, "CAUTION: %s max_size is less than 100000, set to 100000.\n", l->name);
    max_size = 100000;
  } else if (max_size > 1000000000) {
    kxlog_send(KXLOG_MESSAGE, "CAUTION: %s max_size is larger than 1g, set to 1g\n", l->name);
    max_size = 1000000000;
  }
  if (history < 0) {
    kxlog_send(KXLOG_MESSAGE, "CAUTION: %s history less than zero, set to zero\n", l->name);
    history = 0;
  }
  l->max_size = max_size;
  l->history = history;
  return l;
}

void kxlog_destroy(kxlog_t *l) {
  if (l == nullptr) return;
  pthread_mutex_lock(&l->lock);
  kxlog_flush_unlocked(l);
  if (l->fd >= 0) close(l->fd);
  l->fd = -1;
  free(l->name);
  l->name = nullptr;
  logsession_set_destroy(l->sessions);
  l->sessions = nullptr;
  pthread_mutex_unlock(&l->lock);
  pthread_mutex_destroy(&l->lock);
  delete l;
}

int kxlog_check(kxlog_t *l) {
  if (l == nullptr) return 1;
  pthread_mutex_lock(&l->lock);
  int missing = l->enabled && l->fd < 0;
  pthread_mutex_unlock(&l->lock);
  return missing;
}

void kxlog_flush_unlocked(kxlog_t *l) {
  if (l == nullptr || !l->enabled || l->fd < 0) return;
  l->size += l->buff_size;
  if (l->buff_size == 0) return;
  bool ok = file_write_all(l->fd, l->buff, static_cast<size_t>(l->buff_size));
  l->buff_size = 0;
  if (!ok) {
    kxlog_syslog(LOG_ERR, "Error writing log file to disk. Terminate program.");
    request_termination();
  }
}

void kxlog_flush(kxlog_t *l) {
  if (l == nullptr || pthread_mutex_lock(&l->lock) != 0) return;
  kxlog_flush_unlocked(l);
  pthread_mutex_unlock(&l->lock);
}

void kxlog_flush_all() {
  read_guard guard;
  for (kxlog_t *l : {kxlog_message, kxlog_remoteadmin, kxlog_debug, kxlog_error}) kxlog_flush(l);
}

void kxlog_rotate_file_unlocked(kxlog_t *l) {
  if (l != nullptr) rotate_unlocked(l);
}

void kxlog_rotate_file(kxlog_t *l) {
  if (l == nullptr || pthread_mutex_lock(&l->lock) != 0) return;
  bool rotated = rotate_unlocked(l);
  std::string name = rotated ? l->name : "";
  pthread_mutex_unlock(&l->lock);
  if (rotated) kxlog_send(KXLOG_MESSAGE, "Rotated log file %s\n", name.c_str());
}

void kxlog_rotate_all() {
  std::vector<std::string> rotated;
  {
    read_guard guard;
    for (kxlog_t *l : {kxlog_message, kxlog_remoteadmin, kxlog_debug, kxlog_error}) {
      if (l == nullptr || pthread_mutex_lock(&l->lock) != 0) continue;
      if (rotate_unlocked(l)) rotated.emplace_back(l->name);
      pthread_mutex_unlock(&l->lock);
    }
  }
  for (const auto &name : rotated) kxlog_send(KXLOG_MESSAGE, "Rotated log file %s\n", name.c_str());
}

int kxlog_maintenance(void *) {
  if (kxtime_reset_time.load()) {
    kxlog_rotate_all();
    kxlog_send(KXLOG_MESSAGE, "All Log files rotated forcefully.\n");
    return 0;
  }
  {
    read_guard guard;
    for (kxlog_t *l : {kxlog_message, kxlog_remoteadmin, kxlog_debug, kxlog_error})
      if (l != nullptr) logsession_set_flush(l->sessions);
  }
  kxlog_flush_all();
  return 0;
}

void kxlog_syslog(int priority, const char *line) {
  // Passed as an argument, never as the format, so "%" arrives unchanged.
  if (kxlog_syslog_enabled && line != nullptr) syslog(priority, "%s", line);
}

int kxlog_debug_enabled() {
  read_guard guard;
  return kxlog_debug != nullptr && kxlog_debug->enabled;
}

void kxlog_memory_error__(const char *file, int line) {
  pthread_mutex_lock(&memory_lock);
  time_t now = current_time.load();
  // A clock set back counts as the interval having passed.
  if (memory_reported && now >= memory_last_report && now - memory_last_report < KXLOG_MEMORY_MESSAGE_INTERVAL) {
    memory_failures++;
    pthread_mutex_unlock(&memory_lock);
    return;
  }
  int failures = memory_failures;
  memory_last_report = now;
  memory_reported = true;
  memory_failures = 0;
  pthread_mutex_unlock(&memory_lock);
  if (failures > 0)
    kxlog_send(KXLOG_ERROR, "Failed to allocate memory in file %s line %d (failed %d times in last %d seconds)\n",
               file, line, failures, KXLOG_MEMORY_MESSAGE_INTERVAL);
  else
    kxlog_send(KXLOG_ERROR, "Failed to allocate memory in file %s line %d\n", file, line);
}

// --- Module life cycle --------------------------------------------------------

int kxlog_initialize() {
  if (kxlog_syslog_enabled) openlog(nullptr, 0, LOG_USER);
  struct check {
    kxlog_t *l;
    const char *message;
  };
  kxlog_t *logs[4];
  {
    read_guard guard;
    logs[0] = kxlog_message;
    logs[1] = kxlog_remoteadmin;
    logs[2] = kxlog_debug;
    logs[3] = kxlog_error;
  }
  const check checks[] = {{logs[0], "Failed to open message log file %s\n"},
                          {logs[1], "Failed to open remoteadmin log file %s\n"},
                          {logs[2], "Failed to open debug log file %s\n"},
                          {logs[3], "Failed to open error log file %s\n"}};
  int failed = 0;
  for (const auto &c : checks) {
    if (kxlog_check(c.l)) {
      failed = 1;
      kxlog_send(KXLOG_ERROR, c.message, c.l != nullptr && c.l->name != nullptr ? c.l->name : "(no filename)");
    }
  }
  if (kxlog_reinit() != 0) return 1;
  return failed;
}

int kxlog_reinit() {
  del_cron_task(kxlog_maintenance_task);
  kxlog_maintenance_task = add_cron_task(1, maintenance_task, nullptr);
  if (kxlog_maintenance_task == nullptr) {
    kxlog_send(KXLOG_ERROR, "Error adding kxlog maintenance task\n");
    return 1;
  }
  return 0;
}

void kxlog_terminate() {
  terminating.store(1);
  kxlog_send(KXLOG_MESSAGE, "Shutdown Completed\n");
  // Waits for a running maintenance pass; none starts afterwards.
  del_cron_task(kxlog_maintenance_task);
  kxlog_maintenance_task = nullptr;
  // Unpublish first: a sender still inside a log finishes before this
  // returns, and later senders find no log.
  pointers_wrlock();
  kxlog_t *logs[4] = {kxlog_remoteadmin, kxlog_message, kxlog_debug, kxlog_error};
  kxlog_message = kxlog_remoteadmin = kxlog_debug = kxlog_error = nullptr;
  kxlog_publish_unlock();
  for (kxlog_t *l : logs) kxlog_destroy(l);
  if (kxlog_syslog_enabled) closelog();
  kxlog_syslog_enabled = 0;
  terminating.store(0);
}

int kxlog_config_initialize(int onStartup, configuration *config, void *, void *) {
  if (!onStartup) return 0;
  kxlog_set_sink(log_sink);
  int allowed = 0;
  config_parse_boolean(config, "stderr_allowed", &allowed);
  if (!allowed) {
    pointers_wrlock();
    kxlog_silent_mode = 1;
    kxlog_publish_unlock();
  }
  char *program = nullptr;
  if (config_parse_string(config, "program_name", &program) != 0) {
    kxlog_send(KXLOG_MESSAGE,
               "Could not get program name from configuration.  Required for log file name generation.\n");
    return 1;
  }
  int syslog_on = 0;
  config_parse_int(config, "log_syslog_enabled", &syslog_on);
  kxlog_t *error = make_log(config, "error", program, 1);
  kxlog_t *message = make_log(config, "message", program, 1);
  kxlog_t *remoteadmin = make_log(config, "remoteadmin", program, 1);
  kxlog_t *debug = make_log(config, "debug", program, 0);
  free(program);
  if (error == nullptr || message == nullptr || remoteadmin == nullptr || debug == nullptr) {
    auto state = [](kxlog_t *l) { return l != nullptr ? "opened" : "errored"; };
    kxlog_send(KXLOG_ERROR,
               "Error occurred while initializing the logs, message log %s, remoteadmin log %s, debug log %s error log %s\n",
               state(message), state(remoteadmin), state(debug), state(error));
    for (kxlog_t *l : {error, message, remoteadmin, debug}) kxlog_destroy(l);
    return 1;
  }
  pointers_wrlock();
  kxlog_t *old[4] = {kxlog_message, kxlog_remoteadmin, kxlog_debug, kxlog_error};
  kxlog_syslog_enabled = syslog_on != 0;
  kxlog_error = error;
  kxlog_message = message;
  kxlog_remoteadmin = remoteadmin;
  kxlog_debug = debug;
  kxlog_publish_unlock();
  for (kxlog_t *l : old) kxlog_destroy(l);
  if (kxlog_initialize() != 0 && kxlog_silent_mode) {
    kxlog_send(KXLOG_ERROR, "Failed to initialize log files and silent mode is disabled\n");
    return 1;
  }
  return 0;
}

char *kxlog_config_dump(configuration *, void *) {
  read_guard guard;
  auto en = [](kxlog_t *l) { return l != nullptr ? l->enabled : 0; };
  auto nm = [](kxlog_t *l) { return l != nullptr && l->name != nullptr ? l->name : ""; };
  auto mx = [](kxlog_t *l) { return l != nullptr ? l->max_size : 0LL; };
  auto hi = [](kxlog_t *l) { return l != nullptr ? l->history : 0; };
  char *out = nullptr;
  int n = asprintf(&out,
                   "log_syslog_enabled %d\nlog_remoteadmin_enabled %d\nlog_remoteadmin_filename %s\n"
                   "log_remoteadmin_max_size %lld\nlog_remoteadmin_history %d\nlog_message_enabled %d\n"
                   "log_message_filename %s\nlog_message_max_size %lld\nlog_message_history %d\n"
                   "log_debug_enabled %d\nlog_debug_filename %s\nlog_debug_max_size %lld\nlog_debug_history %d\n"
                   "log_error_enabled %d\nlog_error_filename %s\nlog_error_max_size %lld\nlog_error_history %d\n",
                   kxlog_syslog_enabled, en(kxlog_remoteadmin), nm(kxlog_remoteadmin), mx(kxlog_remoteadmin),
                   hi(kxlog_remoteadmin), en(kxlog_message), nm(kxlog_message), mx(kxlog_message),
                   hi(kxlog_message), en(kxlog_debug), nm(kxlog_debug), mx(kxlog_debug), hi(kxlog_debug),
                   en(kxlog_error), nm(kxlog_error), mx(kxlog_error), hi(kxlog_error));
  return n < 0 ? nullptr : out;
}

void kxlog_config_terminate(int onShutdown, void *) {
  if (onShutdown) kxlog_terminate();
}

// --- Log sessions -------------------------------------------------------------

int kxlog_get_type(const char *name) {
  if (name == nullptr) return -1;
  if (strcmp(name, "kxd_message") == 0) return KXLOG_MESSAGE;
  if (strcmp(name, "kxd_remoteadmin") == 0) return KXLOG_REMOTEADMIN;
  if (strcmp(name, "kxd_debug") == 0) return KXLOG_DEBUG;
  if (strcmp(name, "kxd_error") == 0) return KXLOG_ERROR;
  return -1;
}

kxlog_t *kxlog_get_by_type(int level) {
  kxlog_t **slot = slot_of_level(level);
  if (slot == nullptr) return nullptr;
  read_guard guard;
  return *slot;
}

int kxlog_logsession_create(const char *log_name, const char *session_name, const char *query,
                            int max_entries, int buffer_size) {
  int type = kxlog_get_type(log_name);
  kxlog_t **slot = slot_of_level(type);
  std::string disabled;
  int result = -1;
  bool unknown = false;
  {
    read_guard guard;
    kxlog_t *l = slot != nullptr ? *slot : nullptr;
    if (l == nullptr)
      unknown = true;
    else if (!l->enabled)
      disabled = log_name;
    else
      result = logsession_set_add(l->sessions, session_name, query, nullptr, max_entries, buffer_size);
  }
  if (unknown) kxlog_send(KXLOG_ERROR, "kxlog_create_session: unknown log type %d\n", type);
  if (!disabled.empty()) kxlog_send(KXLOG_ERROR, "kxlog_create_session: log %s is disabled\n", disabled.c_str());
  return result;
}

int kxlog_logsession_destroy(const char *log_name, const char *session_name) {
  kxlog_t **slot = slot_of_level(kxlog_get_type(log_name));
  read_guard guard;
  kxlog_t *l = slot != nullptr ? *slot : nullptr;
  if (l == nullptr) return 1;
  logsession_set_remove(l->sessions, session_name);
  return 0;
}

logsession_sample_t *kxlog_logsession_sample(const char *log_name, const char *session_name) {
  kxlog_t **slot = slot_of_level(kxlog_get_type(log_name));
  read_guard guard;
  kxlog_t *l = slot != nullptr ? *slot : nullptr;
  if (l == nullptr) return nullptr;
  return logsession_set_sample(l->sessions, session_name);
}
