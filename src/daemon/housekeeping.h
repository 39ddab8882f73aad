// Report store housekeeping: finished reports live as instances (a
// directory in the report store and a row in demand_report_instance or
// scheduled_report_instance); this keeps the two in step and within their
// limits. Runs on the main thread, on the main connection, while report
// threads run: directories of running reports are protected through the
// registry of running reports.
//
// Nothing is removed from disk unless its path lies inside the report
// directory (it begins with it and holds no ".." component); the row of an
// instance whose path lies outside still goes. Below the report directory
// no symbolic link is followed: a link is at most removed as a link.
#pragma once

#include <ctime>

struct DB_RESULT;

// Start-up: releases the demand and scheduled jobs that this server, or a
// server that no longer exists, left claimed, and drops their cancel rows.
void reporter_cleanup_report_tables();
// Start-up: releases the continuous jobs left claimed the same way, first
// deleting the rows that their interrupted runs wrote for the period that was
// being computed.
void reporter_cleanup_continuous(int db);

// Removes the instance directories (report_dir/A/B/) that no instance row
// and no running report owns, and first-level directories found empty. Only
// what the store's numbering makes is touched: a first-level folder named by
// a number N ("%d", no sign or leading zero) and, in it, folders named by a
// number M with M / 1000 == N; links, files, other names and the temporary
// directory (when it lies inside the store: itself, what holds it and what
// is in it) are left alone, named in one message-log line (repeated only
// when they change). No link is followed. The directories are listed
// first, then the running reports are read, then the rows: a report that
// saves its row and leaves the registry meanwhile keeps its directory.
void report_clean_report_dir(int db, const char *report_dir);

// Index of item in the sorted array dirs of size entries (byte-wise order),
// -1 when absent or for a null array.
int reporter_lookup_directory(char **dirs, int size, const char *item);

// Expiry (ttl), group quotas, the default quota and the total size limit.
// A limit of 0 or below, or one that is not a plain number, is no limit.
// The two sum lists of a quota step are merged in byte order of their keys,
// whatever order the database's collation gave them.
void reporter_trim_reports(int db, const char *report_dir);

// The deletion steps (rows as read by reporter_trim_reports: rid, started_at,
// size, path, name, login[, report_date]); the lists are not closed here.
void delete_instances_by_list(int db, DB_RESULT *rs1, DB_RESULT *rs2, const char *report_dir);
void delete_report_instances(int db, DB_RESULT *rs1, DB_RESULT *rs2, long size, long maxsize, const char *report_dir,
                             const char *limit_name);
void check_sum_and_delete(int db, DB_RESULT *rs1, DB_RESULT *rs2, const char *sql_get_list_1,
                          const char *sql_get_list_2, const char *report_dir, const char *limit_type);

// True when path may be removed: it begins with report_dir (non-empty), is
// longer than it, and has no ".." component.
bool housekeeping_path_inside(const char *path, const char *report_dir);
