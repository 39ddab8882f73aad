#include "lib/base/kxlog.h"

#include <cstdio>
#include <pthread.h>

int kxlog_silent_mode = 0;

namespace {

pthread_rwlock_t publication_lock;
pthread_once_t publication_once = PTHREAD_ONCE_INIT;
thread_local int publication_depth = 0;
kxlog_sink_fn current_sink = nullptr;

void init_publication_lock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  // A stream of senders must not hold off a module that swaps its logs.
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&publication_lock, &attr);
  pthread_rwlockattr_destroy(&attr);
}

}  // namespace

kxlog_read_guard::kxlog_read_guard() {
  if (publication_depth++ == 0) {
    pthread_once(&publication_once, init_publication_lock);
    pthread_rwlock_rdlock(&publication_lock);
  }
}

kxlog_read_guard::~kxlog_read_guard() {
  if (--publication_depth == 0) pthread_rwlock_unlock(&publication_lock);
}

void kxlog_publish_lock() {
  pthread_once(&publication_once, init_publication_lock);
  pthread_rwlock_wrlock(&publication_lock);
}

void kxlog_publish_unlock() { pthread_rwlock_unlock(&publication_lock); }

void kxlog_set_sink(kxlog_sink_fn sink) {
  kxlog_publish_lock();
  current_sink = sink;
  kxlog_publish_unlock();
}

void kxlog_send(int level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kxlog_send_va(level, format, ap);
  va_end(ap);
}

void kxlog_send_va(int level, const char *format, va_list ap) {
  if (level < KXLOG_MESSAGE || level > KXLOG_ERROR || format == nullptr) return;
  int taken = 0;
  int silent;
  {
    kxlog_read_guard guard;
    silent = kxlog_silent_mode;
    if (current_sink != nullptr) {
      // The sink gets its own copy: ap may still go to standard error.
      va_list copy;
      va_copy(copy, ap);
      taken = current_sink(level, format, copy);
      va_end(copy);
    }
  }
  if (taken == 1 || silent) return;
  if (taken == 0 && level == KXLOG_DEBUG) return;
  vfprintf(stderr, format, ap);
}
