// Reader-writer lock with writer preference, upgrade and downgrade.
//
// A reader waits as soon as one writer waits, so readers cannot starve
// writers; an upgrading reader is served before writers already waiting.
// Holds are not owned by threads: any thread may release a read hold that
// another took (the service-thread start and stop handshakes rely on it).
//
// Every operation returns 0 on success, EINVAL when the lock is not
// initialised (or destroyed), EBUSY where stated, or the error number of a
// failing pthread call.
#pragma once

#include <pthread.h>

#define RWLOCK_VALID 0xfacade

struct rwlock_tag {
  pthread_mutex_t mutex;
  pthread_cond_t read;   // readers wait here
  pthread_cond_t write;  // writers and upgraders wait here
  int valid;             // RWLOCK_VALID while usable
  int r_active;          // read holds outstanding
  int w_active;          // 1 while a writer holds the lock
  int r_wait;            // readers waiting
  int w_wait;            // writers waiting, upgraders included
  int u_wait;            // upgraders waiting
};
typedef struct rwlock_tag rwlock_t;

#define RWL_INITIALIZER \
  { PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER, RWLOCK_VALID, 0, 0, 0, 0, 0 }

#define rwl_init(rwl) rwl_init_internal((rwl), nullptr, -1)

// Initialises a lock (file and line are not used).
int rwl_init_internal(rwlock_t *rwl, const char *file, int line);
// EBUSY while held or waited for (the lock then stays usable).
int rwl_destroy(rwlock_t *rwl);
int rwl_readlock(rwlock_t *rwl);
// EBUSY when a writer holds the lock; waiting writers do not matter.
int rwl_readtrylock(rwlock_t *rwl);
int rwl_readunlock(rwlock_t *rwl);
int rwl_writelock(rwlock_t *rwl);
// EBUSY when a writer or any reader holds the lock.
int rwl_writetrylock(rwlock_t *rwl);
int rwl_writeunlock(rwlock_t *rwl);
// Turns the caller's read hold into the write hold.
int rwl_upgrade(rwlock_t *rwl);
// Turns the caller's write hold into a read hold.
int rwl_downgrade(rwlock_t *rwl);
// Does nothing; kept for callers that dump lock state.
void rwl_print(void);
