#include "lib/runtime/kxtime.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "lib/base/kxlog.h"

std::atomic<time_t> current_time{0};
char current_time_str[20] = "";
pthread_mutex_t current_time_str_lock = PTHREAD_MUTEX_INITIALIZER;
int current_time_len = 19;
std::atomic<int> kxtime_reset_time{0};
size_t kxtime_thread_stacksize = KXTIME_THREAD_STACKSIZE;
time_t kxdstartuptime = 0;

namespace {

CronTaskPtr crontab = nullptr;
pthread_mutex_t crontab_lock = PTHREAD_MUTEX_INITIALIZER;

// The cron thread runs one pass for every new tick; counting ticks (rather
// than waiting on the bare condition) loses no wake-up that comes while a
// pass is running.
pthread_mutex_t cron_cond_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cron_cond = PTHREAD_COND_INITIALIZER;
unsigned long cron_tick = 0;

// The time thread sleeps on a monotonic clock, so setting the wall clock
// back does not stall its ticks.
pthread_mutex_t kxtime_manager_cond_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t kxtime_manager_cond;
pthread_once_t manager_cond_once = PTHREAD_ONCE_INIT;

rwlock_t kxtime_thread_lock = RWL_INITIALIZER;
rwlock_t kxtime_cron_thread_lock = RWL_INITIALIZER;

std::atomic<int> kxtime_exit{0};
std::atomic<int> kxtime_initialized{0};
std::atomic<int> kxtime_simulated{0};
// A backward step seen by a refresh and not yet shown to a cron pass.
std::atomic<int> reset_pending{0};

// Serialises start and stop.
pthread_mutex_t service_lock = PTHREAD_MUTEX_INITIALIZER;

void init_manager_cond() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&kxtime_manager_cond, &attr);
  pthread_condattr_destroy(&attr);
}

void store_time(time_t now) {
  current_time.store(now);
  struct tm tm;
  char text[sizeof current_time_str];
  if (localtime_r(&now, &tm) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
    text[0] = '\0';  // a year beyond four digits does not fit: no stamp
  pthread_mutex_lock(&current_time_str_lock);
  memcpy(current_time_str, text, sizeof text);
  pthread_mutex_unlock(&current_time_str_lock);
}

void wake_cron() {
  pthread_mutex_lock(&cron_cond_lock);
  cron_tick++;
  pthread_cond_signal(&cron_cond);
  pthread_mutex_unlock(&cron_cond_lock);
}

bool task_due(const _crontask *task, time_t now) {
  if (task->last_run_time == now) return false;  // at most once per second
  if (task->interval <= 1) return true;
  return now % task->interval == 0 || task->last_run_time + task->interval < now;
}

void *kxtime_manager(void *arg) {
  rwl_readlock(&kxtime_thread_lock);
  rwl_readunlock(static_cast<rwlock_t *>(arg));
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  while (!kxtime_exit.load()) {
    next.tv_sec += 1;
    // Refresh before waking the cron thread, so its pass sees this second.
    kxtime_update_time();
    wake_cron();
    pthread_mutex_lock(&kxtime_manager_cond_lock);
    while (!kxtime_exit.load()) {
      int rc = pthread_cond_timedwait(&kxtime_manager_cond, &kxtime_manager_cond_lock, &next);
      if (rc == ETIMEDOUT) break;
    }
    pthread_mutex_unlock(&kxtime_manager_cond_lock);
    struct timespec mono;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    if (mono.tv_sec > next.tv_sec + 1) next = mono;  // fell behind: no burst of ticks
  }
  rwl_readunlock(&kxtime_thread_lock);
  return nullptr;
}

void *kxtime_cron_manager(void *arg) {
  rwl_readlock(&kxtime_cron_thread_lock);
  // Ticks from the moment the start returns count.
  pthread_mutex_lock(&cron_cond_lock);
  unsigned long seen = cron_tick;
  pthread_mutex_unlock(&cron_cond_lock);
  rwl_readunlock(static_cast<rwlock_t *>(arg));
  for (;;) {
    pthread_mutex_lock(&cron_cond_lock);
    while (!kxtime_exit.load() && cron_tick == seen) pthread_cond_wait(&cron_cond, &cron_cond_lock);
    bool leave = kxtime_exit.load() != 0;
    seen = cron_tick;
    pthread_mutex_unlock(&cron_cond_lock);
    if (leave) break;

    // The flag holds still for the whole pass: a step seen while a pass runs
    // is shown to the next pass only, so no task sees one step twice.
    kxtime_reset_time.store(reset_pending.exchange(0));
    pthread_mutex_lock(&crontab_lock);
    time_t now = current_time.load();
    for (CronTaskPtr task = crontab; task != nullptr; task = task->next) {
      if (!task_due(task, now)) continue;
      task->last_run_time = now;
      task->proc(task->data);
    }
    pthread_mutex_unlock(&crontab_lock);
    kxtime_reset_time.store(0);
  }
  rwl_readunlock(&kxtime_cron_thread_lock);
  return nullptr;
}

// Wakes both service threads to leave and returns once each thread that
// runs has released its lifetime hold (at once for one not started).
// Caller has set kxtime_exit.
void join_threads() {
  pthread_mutex_lock(&cron_cond_lock);
  pthread_cond_broadcast(&cron_cond);
  pthread_mutex_unlock(&cron_cond_lock);
  pthread_mutex_lock(&kxtime_manager_cond_lock);
  pthread_cond_broadcast(&kxtime_manager_cond);
  pthread_mutex_unlock(&kxtime_manager_cond_lock);
  rwl_writelock(&kxtime_thread_lock);
  rwl_writeunlock(&kxtime_thread_lock);
  rwl_writelock(&kxtime_cron_thread_lock);
  rwl_writeunlock(&kxtime_cron_thread_lock);
}

int start_service(bool simulated, time_t start) {
  pthread_mutex_lock(&service_lock);
  if (kxtime_initialized.load()) {
    pthread_mutex_unlock(&service_lock);
    kxlog_send(KXLOG_ERROR, "attempted re-initialize of kxtime\n");
    return 1;
  }
  pthread_once(&manager_cond_once, init_manager_cond);
  kxtime_exit.store(0);
  reset_pending.store(0);
  kxtime_reset_time.store(0);
  store_time(simulated ? start : time(nullptr));
  kxtime_simulated.store(simulated ? 1 : 0);
  pthread_t thread;
  bool failed = !simulated && kxtime_start_detached(&thread, kxtime_manager) != 0;
  if (!failed) failed = kxtime_start_detached(&thread, kxtime_cron_manager) != 0;
  if (failed) {
    // The time thread may have started before the cron thread failed.
    kxtime_exit.store(1);
    join_threads();
    kxtime_exit.store(0);
    pthread_mutex_unlock(&service_lock);
    kxlog_send(KXLOG_ERROR, "Time Service failed to start.\n");
    return 1;
  }
  kxtime_initialized.store(1);
  pthread_mutex_unlock(&service_lock);
  return 0;
}

}  // namespace

int kxtime_initialize() { return start_service(false, 0); }

int kxtime_sim_initialize(time_t start) { return start_service(true, start); }

void kxtime_sim_settime(time_t t) {
  if (!kxtime_simulated.load()) {
    kxlog_send(KXLOG_ERROR, "kxtime_sim_settime: kxtime is not in simulated mode");
    return;
  }
  kxtime_update_time_set(t);
  wake_cron();
}

void kxtime_sim_inctime(time_t delta) {
  if (!kxtime_simulated.load()) {
    kxlog_send(KXLOG_ERROR, "kxtime_sim_inctime: kxtime is not in simulated mode");
    return;
  }
  kxtime_update_time_set(current_time.load() + delta);
  wake_cron();
}

int kxtime_terminate() {
  pthread_mutex_lock(&service_lock);
  if (!kxtime_initialized.load()) {
    pthread_mutex_unlock(&service_lock);
    return 0;
  }
  kxtime_exit.store(1);
  join_threads();
  pthread_mutex_lock(&crontab_lock);
  while (crontab != nullptr) {
    CronTaskPtr next = crontab->next;
    delete crontab;
    crontab = next;
  }
  pthread_mutex_unlock(&crontab_lock);
  kxtime_exit.store(0);
  kxtime_simulated.store(0);
  kxtime_initialized.store(0);
  pthread_mutex_unlock(&service_lock);
  return 0;
}

int kxtime_start_detached(pthread_t *thread, void *(*func)(void *)) {
  rwlock_t start;
  if (rwl_init(&start) != 0) return 1;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    rwl_destroy(&start);
    return 1;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kxtime_thread_stacksize);
  rwl_readlock(&start);
  pthread_t tid;
  if (pthread_create(&tid, &attr, func, &start) != 0) {
    pthread_attr_destroy(&attr);
    rwl_readunlock(&start);
    rwl_destroy(&start);
    return 1;
  }
  if (thread != nullptr) *thread = tid;
  // Returns once the thread has taken its lifetime hold and let go of ours.
  rwl_writelock(&start);
  rwl_writeunlock(&start);
  pthread_attr_destroy(&attr);
  rwl_destroy(&start);
  return 0;
}

CronTaskPtr add_cron_task(int interval, void (*proc)(void *data), void *data) {
  if (proc == nullptr) return nullptr;
  auto *task = new (std::nothrow) _crontask;
  if (task == nullptr) return nullptr;
  task->last_run_time = current_time.load();
  task->interval = interval < 0 ? 0 : interval;
  task->proc = proc;
  task->data = data;
  task->next = nullptr;
  pthread_mutex_lock(&crontab_lock);
  CronTaskPtr *tail = &crontab;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = task;
  pthread_mutex_unlock(&crontab_lock);
  return task;
}

void del_cron_task(CronTaskPtr task) {
  if (task == nullptr) return;
  pthread_mutex_lock(&crontab_lock);
  for (CronTaskPtr *p = &crontab; *p != nullptr; p = &(*p)->next) {
    if (*p == task) {
      *p = task->next;
      delete task;
      break;
    }
  }
  pthread_mutex_unlock(&crontab_lock);
}

void kxtime_update_time() { kxtime_update_time_set(time(nullptr)); }

void kxtime_update_time_set(time_t now) {
  if (now < current_time.load()) {
    kxlog_send(KXLOG_MESSAGE, "Logger: Detected Clock Change! Rotating Log Files.\n");
    reset_pending.store(1);  // shown to the next cron pass
  }
  store_time(now);
}

void kxtime_get_time_str(char out[20]) {
  pthread_mutex_lock(&current_time_str_lock);
  memcpy(out, current_time_str, sizeof current_time_str);
  pthread_mutex_unlock(&current_time_str_lock);
  out[19] = '\0';
}

void calendar_time(char *buf, time_t t) {
  if (t == 0) {
    snprintf(buf, 100, "Time not defined");
    return;
  }
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr || strftime(buf, 100, "%a, %d %b %Y %H:%M:%S %z", &tm) == 0) buf[0] = '\0';
}

void set_kxdstartuptime() { kxdstartuptime = time(nullptr); }
