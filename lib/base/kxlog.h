// The one call every module reports through, and its levels.
//
// Until a logging module publishes a sink (and in the viewer tools, which
// never do) a message goes to standard error as it is formatted, without a
// time stamp; debug messages are then dropped. The logging module of the
// runtime (lib/runtime/kxlogfile.h) publishes the sink that writes the four
// log files.
#pragma once

#include <cstdarg>

#define KXLOG_MESSAGE 1
#define KXLOG_REMOTEADMIN 2
#define KXLOG_DEBUG 3
#define KXLOG_ERROR 4
#define KXLOG_WARNING 4
#define KXLOG_EMERG 4

// Set when standard error is not allowed; written under the publication
// lock (kxlog_publish_lock), kept for the life of the process.
extern int kxlog_silent_mode;

// printf-style; callers end their text with "\n" (nothing is added).
// Any level other than 1 to 4 is ignored. Safe from any thread, also while
// a sink is being replaced or withdrawn.
void kxlog_send(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void kxlog_send_va(int level, const char *format, va_list ap);

// A sink takes one message of a level 1-4. It returns 1 when the message was
// taken (written, or dropped by its log's own rule), 0 when it has no log for
// the level and -1 when the level's log exists but cannot be written; in the
// last two cases the no-log rules above apply (debug is dropped only when no
// log exists). The sink is given a copy of the arguments.
using kxlog_sink_fn = int (*)(int level, const char *format, va_list ap);

// The publication lock: kxlog_send holds it shared while it calls the sink;
// a module takes it exclusively (kxlog_publish_lock/unlock) to swap what its
// sink reads, so no sender still uses what it then destroys. Writers are
// preferred. A thread that holds it shared (a message logged from inside a
// sink) may take it shared again through kxlog_read_guard.
void kxlog_publish_lock();
void kxlog_publish_unlock();
// Installs (or, with null, withdraws) the sink; takes the lock itself.
void kxlog_set_sink(kxlog_sink_fn sink);

// Holds the publication lock shared for a scope, re-entrantly per thread.
class kxlog_read_guard {
 public:
  kxlog_read_guard();
  ~kxlog_read_guard();
  kxlog_read_guard(const kxlog_read_guard &) = delete;
  kxlog_read_guard &operator=(const kxlog_read_guard &) = delete;
};
