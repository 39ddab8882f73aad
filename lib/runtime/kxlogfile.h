// The logging module: the four log files behind kxlog_send
// (lib/base/kxlog.h), which it serves through the sink it publishes.
//
// Once created, each level has its own file with a 32 KiB buffer and a
// mutex; a cron task flushes the buffers every second; a log is rotated by
// size into numbered copies (NAME.0 newest ... NAME.<history-1> oldest), and
// all are rotated when the clock steps back. Each line is the cached local
// time "%Y-%m-%d %H:%M:%S", one blank and the caller's text. A failed write
// sends SIGTERM to the own process once.
#pragma once

#include <cstdarg>
#include <pthread.h>

#include "lib/base/kxlog.h"

#define KXLOG_WRITE_BUFFER 32768
#define KXLOG_NAMEBUFFER_SIZE 512
#define KXLOG_MEMORY_MESSAGE_INTERVAL 60

struct configuration;
struct logsession_set_t;
struct logsession_sample_t;

// One log file. Every field but name, max_size, history and enabled (fixed at
// creation) is guarded by lock.
struct kxlog_t {
  char *name;                      // owned copy of the file name
  int fd;                          // -1 while no file is open
  int buff_size;                   // bytes pending in buff
  char buff[KXLOG_WRITE_BUFFER];
  pthread_mutex_t lock;
  long long size;                  // bytes already in the file (0 after a rotation)
  long long max_size;              // rotation threshold, 100000..1000000000
  int history;                     // rotated copies kept
  int enabled;                     // 0: every message of this level is dropped
  logsession_set_t *sessions;
};
typedef kxlog_t LOG_LOGFILE;

// The four logs; null until the logging module creates them and again after
// its shutdown.
extern kxlog_t *kxlog_message;
extern kxlog_t *kxlog_remoteadmin;
extern kxlog_t *kxlog_debug;
extern kxlog_t *kxlog_error;

// Non-zero while messages are mirrored to syslog.
extern int kxlog_syslog_enabled;

// --- Module callbacks ---------------------------------------------------

// Creates the four logs from config (keys stderr_allowed, program_name,
// log_syslog_enabled, log_<level>_enabled/_filename/_max_size/_history).
// Does nothing unless onStartup is non-zero. 0 success, 1 failure.
int kxlog_config_initialize(int onStartup, configuration *config, void *policy, void *db);
// New heap text (free()) of the module's 17 settings in configuration syntax.
char *kxlog_config_dump(configuration *config, void *policy);
// kxlog_terminate when onShutdown is non-zero.
void kxlog_config_terminate(int onShutdown, void *policy);

// --- Logs -----------------------------------------------------------------

// A new log; when enabled its file is opened (append, create, 0644; a
// failure is logged and leaves the log without a file). max_size is clamped
// to 100000..1000000000 and a negative history becomes 0 (with a CAUTION
// message). Null on allocation failure.
kxlog_t *kxlog_create(const char *filename, long long max_size, int history, int enabled);
// Flushes, closes and frees the log; null-safe. The log must no longer be
// reachable through the four pointers.
void kxlog_destroy(kxlog_t *l);
// True when l is null, or enabled without an open file.
int kxlog_check(kxlog_t *l);
// Appends one formatted entry to l under its mutex (syslog priority for the
// mirror), rotating it when it reaches max_size.
void kxlog_send_filev(kxlog_t *l, int priority, const char *format, va_list ap);

// Opens syslog when mirroring, reports logs without a file, adds the
// maintenance task. 0, or 1 when a log failed or the task cannot be added.
int kxlog_initialize();
// Removes the maintenance task and adds it again. 0, or 1.
int kxlog_reinit();
// Logs "Shutdown Completed\n", stops maintenance, destroys the four logs.
void kxlog_terminate();

void kxlog_flush(kxlog_t *l);           // takes l's mutex
void kxlog_flush_unlocked(kxlog_t *l);  // caller holds l's mutex
void kxlog_flush_all();
void kxlog_rotate_file(kxlog_t *l);     // takes l's mutex, then logs "Rotated log file %s\n"
void kxlog_rotate_file_unlocked(kxlog_t *l);
void kxlog_rotate_all();
// The cron task: rotates everything after a backward clock step, else
// flushes the session sets and the logs. Returns 0.
int kxlog_maintenance(void *data);
// Mirrors line unchanged to syslog when mirroring is on.
void kxlog_syslog(int priority, const char *line);
// True when the debug log exists and is enabled.
int kxlog_debug_enabled();

// Rate-limited report of an allocation failure (at most one message a minute).
void kxlog_memory_error__(const char *file, int line);
#define sendMemoryMessage() kxlog_memory_error__(__FILE__, __LINE__)

// "kxd_message" 1, "kxd_remoteadmin" 2, "kxd_debug" 3, "kxd_error" 4, else -1.
int kxlog_get_type(const char *name);
// The log of a level 1-4, or null.
kxlog_t *kxlog_get_by_type(int level);

// Log sessions on a log named as for kxlog_get_type.
int kxlog_logsession_create(const char *log_name, const char *session_name, const char *query,
                            int max_entries, int buffer_size);
int kxlog_logsession_destroy(const char *log_name, const char *session_name);
logsession_sample_t *kxlog_logsession_sample(const char *log_name, const char *session_name);
