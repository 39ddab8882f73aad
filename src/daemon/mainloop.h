// The daemon's main loop: one pass of work a second, for ever. A pass serves
// cancel requests, runs store maintenance when due, deletes the request logs
// queued for deletion, refreshes the waiting counts, warns about unused
// reports, reloads the shared lists on request, and claims due demand,
// scheduled and continuous jobs, starting a worker for each demand job, each
// batch of scheduled jobs and each continuous job within the limits.
//
// Jobs are claimed under a table write lock on the main connection, and each
// claim is conditional on the row still being ready (error_flag 0), so a job
// is never taken twice even when the server connection was lost and its
// locks with it; a lost lock starts the kind's sequence again.
#pragma once

#include <atomic>
#include <ctime>
#include <string>

struct REPORT;

// Set by SIGUSR1; the next pass clears it and reloads the shared lists.
extern std::atomic<int> reload_lists;

// What a pass takes from outside: its clock and its worker-start step.
struct dispatch_ops {
  // Seconds since the epoch; read at each step.
  time_t (*now)();
  // Starts the worker of a claimed report: kind 1 a demand report, 2 the head
  // of a scheduled batch (the others linked through next_task), 3 a
  // continuous report. The kind's running count has been raised already;
  // once started, the worker owns the reports and their connection and
  // lowers the count once when it ends. Returns 0 when started; otherwise
  // the reports stay the caller's.
  int (*start_worker)(int kind, REPORT *rep);
};

// The loop's own state (main thread only).
struct main_loop_state {
  time_t next_maintenance = 0;  // maintenance is due after this
  int started = 0;              // demand and scheduled reports since the last maintenance
  std::string job_filter;       // "run.server is null or" unless restricted
  int waiting[3] = {0, 0, 0};   // demand, scheduled, continuous
  int published[3] = {0, 0, 0};
};

// The state at start-up time now: maintenance due an hour later, the job
// filter from the settings' restricted flag.
main_loop_state main_loop_state_at(time_t now);

// One pass. Returns false when the rest of the pass was skipped after a
// report run could not be created or started.
bool reporter_main_pass(main_loop_state *state, const dispatch_ops &ops);

// 1 when name may be deleted by the deletion queue: a regular file (or a
// missing one) directly in the install root's logs folder whose name begins
// "kxlogger_requests_", with no "/" or ".." after that prefix; else 0.
int check_del_filename(const char *name);

// The daemon's workers: run_reports / run_continuous_report on detached
// threads.
extern const dispatch_ops kDaemonDispatch;

// Runs a pass, then sleeps a second; never returns.
void reporter_main_loop();
