#include "lib/kxlog.h"

#include <cstdio>

kxlog_t *kxlog_message = nullptr;
kxlog_t *kxlog_remoteadmin = nullptr;
kxlog_t *kxlog_debug = nullptr;
kxlog_t *kxlog_error = nullptr;
int kxlog_silent_mode = 0;

void kxlog_send(int level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kxlog_send_va(level, format, ap);
  va_end(ap);
}

void kxlog_send_va(int level, const char *format, va_list ap) {
  kxlog_t *log = nullptr;
  switch (level) {
    case KXLOG_MESSAGE: log = kxlog_message; break;
    case KXLOG_REMOTEADMIN: log = kxlog_remoteadmin; break;
    case KXLOG_DEBUG: log = kxlog_debug; break;
    case KXLOG_ERROR: log = kxlog_error; break;
    default: return;
  }
  // The log files themselves come with the logging module; until then every
  // message follows the no-log rules.
  if (kxlog_silent_mode) return;
  if (log == nullptr && level == KXLOG_DEBUG) return;
  vfprintf(stderr, format, ap);
}
