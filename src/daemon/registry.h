// The state that the main thread, the report workers and the SNMP agent
// thread meet in: the registry of running demand and scheduled reports, the
// three running-thread counters, the daemon's statistics, and the SNMP
// objects that publish them.
//
// The registry does not own its reports. Every registry operation holds
// processed_reports_lock for its whole walk; the SNMP table handler copies
// what it shows of a report while it holds the lock, so a report that
// unregisters (and is then freed by its worker) is never read afterwards.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct REPORT;

// The private-enterprise number of the SNMP subtree 1.3.6.1.4.1.E.1.6.
constexpr unsigned kReporterEnterpriseNumber = 47263;

// --- Registry of running reports -----------------------------------------------

extern REPORT *processed_reports_head;
extern REPORT *processed_reports_tail;
extern pthread_mutex_t processed_reports_lock;

// Appends rep at the tail (its next_report is cleared). Returns 0; -1 for a
// null report. From then on the store publishes root paths through
// processed_reports_set_root_path (tfile_set_root_path_setter).
int processed_reports_add(REPORT *rep);
// Unlinks rep when registered (head, middle or tail); absent reports are
// ignored. Returns 0.
int processed_reports_del(REPORT *rep);
// -1 when a registered report's root_path equals dir, else 0. Reports that
// have no root path yet are skipped.
int processed_reports_dir_lookup(const char *dir);
// -1 when a registered report's root_path begins with the first len bytes of
// dir, else 0. Reports without a root path are skipped.
int processed_reports_dir_lookup_len(const char *dir, int len);
// Sets cancel on the first registered report of that id and kind and
// returns -1; 0 when there is none.
int processed_reports_cancel(int id, int type);
// The first registered report of that id and kind, or null. The pointer is
// only safe to use while the caller knows the report cannot end (its own
// worker); other threads use processed_reports_snapshot.
REPORT *processed_reports_get_report(int id, int type);
// Among registered reports of that kind with an id greater than id, the one
// with the smallest id, or null (same caution as above).
REPORT *processed_reports_get_next_report(int id, int type);
// Sets rep's root_path to path (owned by rep from then on; the old one is
// freed) under the registry lock, so the directory look-ups never see it
// half set.
void processed_reports_set_root_path(REPORT *rep, char *path);

// The root paths of the registered reports that have one, copied under the
// lock.
std::vector<std::string> processed_reports_root_paths();

// What the SNMP table shows of one running report, copied under the lock.
struct report_process_row {
  int type = 0;
  int id = 0;
  int percent = 0;          // 0..100
  time_t process_start = 0;
  long long size_report = 0;
  long long size_temp = 0;
  int sort = 0;
};
// The row of the report (id, type) — exact (next == false) or, with next ==
// true, the registered report of that kind with the smallest id greater than
// id. True when one was found.
bool processed_reports_snapshot(int id, int type, bool next, report_process_row *row);

// Percent done as the table shows it: done/todo times 100, plus 0.5,
// truncated; 0 when todo is 0.
int report_percent_done(long long done, long long todo);
// "%02lu:%02lu:%02lu" of the seconds from start to now (0 when now < start).
void report_elapsed_text(time_t start, time_t now, char *out, size_t size);

// --- Running-thread counters ---------------------------------------------------

// Worker and second-stage threads of each kind. Raised by the main loop
// before a worker starts (and by a worker for each second stage), lowered
// once by each such thread when it ends. Atomics: the main loop reads them
// without a lock.
extern std::atomic<int> demand_count;
extern std::atomic<int> scheduled_count;
extern std::atomic<int> continuous_count;
void demand_count_add(int n);
void scheduled_count_add(int n);
void continuous_count_add(int n);

// --- Statistics ----------------------------------------------------------------

// Atomics: counted up by the workers, set by the main loop, read by the SNMP
// agent thread, none of them waiting for another. (stats_lock is kept for
// callers that need several of them to move together.)
extern pthread_mutex_t stats_lock;
extern std::atomic<int> stats_num_dem_processed;
extern std::atomic<int> stats_num_sched_processed;
extern std::atomic<int> stats_num_cont_processed;
extern std::atomic<int> stats_num_mail_sent;
extern std::atomic<int> stats_num_rep_errors;
// Set by the main loop each pass.
extern std::atomic<int> stats_num_dem_waiting;
extern std::atomic<int> stats_num_sched_waiting;
extern std::atomic<int> stats_num_cont_waiting;
extern std::atomic<int> stats_num_waiting;
// Seconds since the epoch; 0 until the first report.
extern std::atomic<time_t> stats_last_report_started;
extern std::atomic<time_t> stats_last_report_finished;
// Published, never set by this system.
extern int64_t logfiles_start, logfiles_end, logfiles_size, logfiles_records;

// Adds 1 to *counter.
void stats_count(std::atomic<int> *counter);

// The version text of the daemon (SNMP .10 and -v).
extern const char *version;

// --- SNMP ----------------------------------------------------------------------

// Registers the scalars, the nine statistics and the reportProcess table
// under 1.3.6.1.4.1.E.1.6. A registration that fails is skipped. The
// statistics are answered by this module's handler, which loads the
// atomics (the agent's own integer handler would read them as plain ints).
void init_snmp_support();
// Withdraws what init_snmp_support registered (before the agent stops).
void terminate_snmp_support();
