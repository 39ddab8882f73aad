// The one call every module reports through, and its levels.
//
// Until the logging module has created the log files (and in the viewer
// tools, which never create them) a message goes to standard error as it is
// formatted, without a time stamp; debug messages are then dropped.
#pragma once

#include <cstdarg>

#define KXLOG_MESSAGE 1
#define KXLOG_REMOTEADMIN 2
#define KXLOG_DEBUG 3
#define KXLOG_ERROR 4
#define KXLOG_WARNING 4
#define KXLOG_EMERG 4

struct kxlog_t;  // one log file; owned by the logging module

// The four logs; null until the logging module creates them and again after
// its shutdown.
extern kxlog_t *kxlog_message;
extern kxlog_t *kxlog_remoteadmin;
extern kxlog_t *kxlog_debug;
extern kxlog_t *kxlog_error;

// Set by the logging module's start-up when standard error is not allowed;
// kept for the life of the process.
extern int kxlog_silent_mode;

// printf-style; callers end their text with "\n" (nothing is added).
// Any level other than 1 to 4 is ignored.
void kxlog_send(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void kxlog_send_va(int level, const char *format, va_list ap);
