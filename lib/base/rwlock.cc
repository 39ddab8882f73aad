#include "lib/base/rwlock.h"

#include <cerrno>

namespace {

// Cancellation clean-ups: a cancelled waiter leaves the counters as they were
// before it started waiting and releases the mutex the wait reacquired.
void read_cleanup(void *arg) {
  auto *rwl = static_cast<rwlock_t *>(arg);
  rwl->r_wait--;
  pthread_mutex_unlock(&rwl->mutex);
}

void write_cleanup(void *arg) {
  auto *rwl = static_cast<rwlock_t *>(arg);
  rwl->w_wait--;
  pthread_mutex_unlock(&rwl->mutex);
}

void upgrade_cleanup(void *arg) {
  auto *rwl = static_cast<rwlock_t *>(arg);
  rwl->w_wait--;
  rwl->u_wait--;
  rwl->r_active++;
  pthread_mutex_unlock(&rwl->mutex);
}

// Wakes after a write hold ended (unlock or downgrade); mutex held.
int wake_after_write(rwlock_t *rwl) {
  if (rwl->w_wait > 0) {
    return rwl->u_wait > 0 ? pthread_cond_broadcast(&rwl->write) : pthread_cond_signal(&rwl->write);
  }
  if (rwl->r_wait > 0) return pthread_cond_broadcast(&rwl->read);
  return 0;
}

}  // namespace

int rwl_init_internal(rwlock_t *rwl, const char *, int) {
  rwl->r_active = rwl->w_active = 0;
  rwl->r_wait = rwl->w_wait = rwl->u_wait = 0;
  int status = pthread_mutex_init(&rwl->mutex, nullptr);
  if (status != 0) return status;
  status = pthread_cond_init(&rwl->read, nullptr);
  if (status != 0) {
    pthread_mutex_destroy(&rwl->mutex);
    return status;
  }
  status = pthread_cond_init(&rwl->write, nullptr);
  if (status != 0) {
    pthread_cond_destroy(&rwl->read);
    pthread_mutex_destroy(&rwl->mutex);
    return status;
  }
  rwl->valid = RWLOCK_VALID;
  return 0;
}

int rwl_destroy(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  if (rwl->r_active > 0 || rwl->w_active || rwl->r_wait > 0 || rwl->w_wait > 0) {
    pthread_mutex_unlock(&rwl->mutex);
    return EBUSY;
  }
  rwl->valid = 0;
  status = pthread_mutex_unlock(&rwl->mutex);
  if (status != 0) return status;
  int s1 = pthread_mutex_destroy(&rwl->mutex);
  int s2 = pthread_cond_destroy(&rwl->read);
  int s3 = pthread_cond_destroy(&rwl->write);
  return s1 != 0 ? s1 : (s2 != 0 ? s2 : s3);
}

int rwl_readlock(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  if (rwl->w_active || rwl->w_wait > 0) {
    rwl->r_wait++;
    pthread_cleanup_push(read_cleanup, rwl);
    while (rwl->w_active || rwl->w_wait > 0) {
      status = pthread_cond_wait(&rwl->read, &rwl->mutex);
      if (status != 0) break;
    }
    pthread_cleanup_pop(0);
    rwl->r_wait--;
  }
  if (status == 0) rwl->r_active++;
  pthread_mutex_unlock(&rwl->mutex);
  return status;
}

int rwl_readtrylock(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  int result = 0;
  if (rwl->w_active)
    result = EBUSY;
  else
    rwl->r_active++;
  status = pthread_mutex_unlock(&rwl->mutex);
  return status != 0 ? status : result;
}

int rwl_readunlock(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  int wake = 0;
  rwl->r_active--;
  if (rwl->r_active == 0 && rwl->w_wait > 0) {
    wake = rwl->u_wait > 0 ? pthread_cond_broadcast(&rwl->write) : pthread_cond_signal(&rwl->write);
  }
  status = pthread_mutex_unlock(&rwl->mutex);
  return wake != 0 ? wake : status;
}

int rwl_writelock(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  if (rwl->w_active || rwl->r_active > 0 || rwl->u_wait > 0) {
    rwl->w_wait++;
    pthread_cleanup_push(write_cleanup, rwl);
    while (rwl->w_active || rwl->r_active > 0 || rwl->u_wait > 0) {
      status = pthread_cond_wait(&rwl->write, &rwl->mutex);
      if (status != 0) break;
    }
    pthread_cleanup_pop(0);
    rwl->w_wait--;
  }
  if (status == 0) rwl->w_active = 1;
  pthread_mutex_unlock(&rwl->mutex);
  return status;
}

int rwl_writetrylock(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  int result = 0;
  if (rwl->w_active || rwl->r_active > 0)
    result = EBUSY;
  else
    rwl->w_active = 1;
  status = pthread_mutex_unlock(&rwl->mutex);
  return status != 0 ? status : result;
}

int rwl_writeunlock(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  rwl->w_active = 0;
  int wake = wake_after_write(rwl);
  status = pthread_mutex_unlock(&rwl->mutex);
  return wake != 0 ? wake : status;
}

int rwl_upgrade(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  if (rwl->w_active || rwl->r_active > 1) {
    rwl->w_wait++;
    rwl->u_wait++;
    rwl->r_active--;
    pthread_cleanup_push(upgrade_cleanup, rwl);
    while (rwl->w_active || rwl->r_active > 0) {
      status = pthread_cond_wait(&rwl->write, &rwl->mutex);
      if (status != 0) break;
    }
    pthread_cleanup_pop(0);
    rwl->w_wait--;
    rwl->u_wait--;
    rwl->r_active++;
  }
  if (status == 0) {
    rwl->w_active = 1;
    rwl->r_active--;
  }
  pthread_mutex_unlock(&rwl->mutex);
  return status;
}

int rwl_downgrade(rwlock_t *rwl) {
  if (rwl->valid != RWLOCK_VALID) return EINVAL;
  int status = pthread_mutex_lock(&rwl->mutex);
  if (status != 0) return status;
  rwl->w_active = 0;
  rwl->r_active++;
  int wake = wake_after_write(rwl);
  status = pthread_mutex_unlock(&rwl->mutex);
  return wake != 0 ? wake : status;
}

void rwl_print(void) {}
