// Loading a report run's definition from the reporting database: the page
// extensions, the definition text of the job row, a report file number from
// the table `global`, the parse, the category order and the store paths.
//
// Runs in the worker thread on the run's own connection (rep->db).
#pragma once

#include <time.h>

#include "src/report/report.h"

// Loads and parses the definition of rep's job. Returns 1 on success, 0 on
// failure; the reason is the run's error text (10100 to 10103, or a parse
// error), except when the extensions array cannot be allocated, which
// leaves no text. report_date does not affect the load. A file number, once
// taken, is never given back, even when the parse fails afterwards.
int load_report_definition(REPORT *rep, time_t report_date);

// Reads the page extensions ("select extension from html_extensions order
// by extension") into rep->html_extensions: NULL rows are skipped and the
// list is sorted with strcasecmp, the comparison report_is_html_extension
// searches with (the server's order is not relied on). Any earlier list is
// freed. -1 on success (also for an empty table or a failed query: no
// extensions); 0 when memory runs out (rep keeps no list).
int report_load_html_extensions(REPORT *rep);

// Whether ext (without its dot, any case) is one of rep's page extensions:
// a binary search with strcasecmp over the sorted list. False for null.
bool report_is_html_extension(const REPORT *rep, const char *ext);

// Frees rep->html_extensions and their strings; null-safe.
void report_free_html_extensions(REPORT *rep);

// Takes the next report file number on db: "lock tables global write",
// "select next_rep_file from global", "update global set
// next_rep_file=next_rep_file+1", "unlock tables". The unlock follows the
// lock on every path. When the connection was replaced by a reconnect
// during the sequence (the table lock went with the old session) the whole
// sequence runs again, at most 5 times. Returns the number read (the
// first column as an integer), or 0 without a row, on a failed statement or
// when the lock could not be kept.
int report_take_file_number(int db);
