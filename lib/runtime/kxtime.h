// Time service: a cached clock refreshed once a second by the time thread,
// and periodic (cron) tasks run by the cron thread, which the time thread
// wakes after each refresh. Also the starter of detached service threads.
//
// Until the service starts (and in the viewer tools, which never start it)
// the cached time is 0 and its text empty.
#pragma once

#include <atomic>
#include <ctime>
#include <pthread.h>

#include "lib/base/rwlock.h"

// Stack size of every thread started by kxtime_start_detached.
#define KXTIME_THREAD_STACKSIZE 2097152

// Cached current time in seconds, at most about one second old. Read it as a
// value (`time_t now = current_time;`); written only by the time service.
extern std::atomic<time_t> current_time;

// current_time as local time "%Y-%m-%d %H:%M:%S" (19 characters), written
// and read under current_time_str_lock (taken after a log's own mutex, never
// before it). Use kxtime_get_time_str for a copy.
extern char current_time_str[20];
extern pthread_mutex_t current_time_str_lock;
extern int current_time_len;

// 1 for the whole cron pass that follows a refresh that saw the clock step
// back (0 otherwise), so every task sees each step once.
extern std::atomic<int> kxtime_reset_time;

// Stack of the service threads.
extern size_t kxtime_thread_stacksize;

// Start time of the process, set by set_kxdstartuptime.
extern time_t kxdstartuptime;

// One periodic task. Tasks run in insertion order.
struct _crontask {
  time_t last_run_time;
  int interval;  // seconds; 0 = every pass
  void (*proc)(void *data);
  void *data;
  struct _crontask *next;
};
typedef struct _crontask *CronTaskPtr;

// Starts the time thread and the cron thread. 0 ok; 1 when already running
// or when a thread cannot be started (both logged at level 4).
int kxtime_initialize();

// Starts the service in simulated mode: only the cron thread runs, and the
// time moves only by kxtime_sim_settime / kxtime_sim_inctime. Same results
// as kxtime_initialize.
int kxtime_sim_initialize(time_t start);

// Sets the simulated time to t (respectively the current time plus delta),
// then wakes the cron thread for one pass. In normal mode only logs an error.
void kxtime_sim_settime(time_t t);
void kxtime_sim_inctime(time_t delta);

// Stops both threads, returns after they have ended, frees every cron task
// and marks the service stopped (a later start works again). Returns 0.
int kxtime_terminate();

// Starts func as a detached thread with a KXTIME_THREAD_STACKSIZE stack and
// returns once it runs. func receives a start lock (rwlock_t*): it must take
// its own lifetime hold (rwl_readlock of its lifetime lock) and then
// rwl_readunlock the start lock. 0 ok, 1 when the thread cannot be created.
int kxtime_start_detached(pthread_t *thread, void *(*func)(void *));

// Appends a task whose last run is now. Returns its handle, or null on
// allocation failure. A task runs at most once per second: on every pass for
// interval 0 or 1, else when current_time is a multiple of interval or more
// than interval seconds have passed since its last run.
// Neither add nor del may be called from inside a task (the list lock is
// held while tasks run); from other threads they wait for a running pass.
CronTaskPtr add_cron_task(int interval, void (*proc)(void *data), void *data);
// Removes and frees the task; an unknown handle is ignored.
void del_cron_task(CronTaskPtr task);

// Refreshes the cache from the system clock.
void kxtime_update_time();
// Stores now as the cached time. A time earlier than the cached one logs
// "Logger: Detected Clock Change! Rotating Log Files.\n" and flags the step
// for the next cron pass (kxtime_reset_time).
void kxtime_update_time_set(time_t now);

// Copies current_time_str (NUL-terminated, at most 19 characters) into out
// under its lock.
void kxtime_get_time_str(char out[20]);

// t as "%a, %d %b %Y %H:%M:%S %z" into buf (room for 100 bytes), or
// "Time not defined" for 0.
void calendar_time(char *buf, time_t t);

// Stores the current system time in kxdstartuptime.
void set_kxdstartuptime();
