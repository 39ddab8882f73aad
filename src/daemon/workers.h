// The report worker threads: a demand report or a batch of scheduled reports
// read over one pass of the request logs (run_reports), the second stage of
// a report with more than one group level or a spilled grouping
// (run_report_step2), and a continuous report written into MySQL tables
// (run_continuous_report).
//
// Each thread owns the reports and the connection it is given and frees
// them; it lowers its kind's running count once when it ends. A report's
// outcome is saved in its job row whatever happens, except for an e-mail
// test, which only mails and deletes its job.
#pragma once

struct REPORT;

// Thread functions; each returns null.
void *run_reports(void *head);
void *run_report_step2(void *rep);
void *run_continuous_report(void *rep);

// -1 when the report is ready to read records; 0 when it ended (its outcome
// is saved; the caller frees it).
int initialize_report(REPORT *rep);
// Records the outcome of a demand or scheduled report (instance row, limits,
// next run, mail, status) and takes it out of the registry.
void finalize_report(REPORT *rep);
// Groups the period of a continuous report and writes it to its tables on
// db: -1, or 0 with the error text set.
int process_continuous_report(REPORT *rep, int db);

// Starts the worker of a claimed report on a detached thread (the main
// loop's worker-start step): 0 when started, else 1 (nothing was started).
int start_report_worker(int kind, REPORT *rep);
