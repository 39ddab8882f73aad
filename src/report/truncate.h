// Truncation of a sorted report table file to its first N rows.
//
// A summary level folds the rows it cuts into two extra rows, so that the
// totals stay whole: an 'other' row holding the sums of their counters,
// then an 'items' row holding how many of them were not empty. A detail
// level simply drops them. A dropped row that links a sub-report (field 18)
// takes its detail table with it; the link is followed only when it names a
// file inside the report directory.
//
// A truncation belongs to the thread of its report run; nothing here locks.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

#include "lib/record/record.h"
#include "src/table/report_fwd.h"

// What one truncation needs from the report run around it; an empty
// callback means: no temporary names (the truncation then fails), nothing
// to clear, no error text kept.
struct truncate_env {
  // Passed to the table writer (IP storage, header charges); may be null.
  REPORT *rep = nullptr;
  // A new numbered temporary file path; empty when none is left.
  std::function<std::string()> next_temp_file;
  // Removes every file of the run's temporary directory.
  std::function<void()> clear_temp;
  // Records a failure's error text.
  std::function<void(const std::string &)> error;
  // The report directory (ends with "/"); sub-report links are relative to
  // it. Empty: no detail table is removed.
  std::string root_path;
};

// Rewrites the report table file at path with its first max_records rows;
// with others non-zero the rows past them are folded into an 'other' and an
// 'items' row (written only when at least one folded row was not empty).
// *removed (when not null) gets the packed bytes of the non-empty rows
// dropped, less the bytes of the 'other' and 'items' rows written.
// Returns -1 on success; 0 on failure with the text ("Error 107NN:
// (truncate) ...") given to env.error, the tables closed and the temporary
// directory cleared; the input then stays as it was.
int truncate_table_file(const truncate_env &env, const char *path, int max_records, int others, long long *removed);

// The report run's entry point: truncate_table_file with the run's
// temporary names, its temporary directory cleared, its report directory
// for the links and the error text recorded in rep. The caller subtracts
// *removed from the run's written size.
int truncate_report(REPORT *rep, const char *path, int max_records, int others, long long *removed);

// True when every entry after the key (entry 0), other than a sub-report
// link (field 18), holds nothing by its own type: a number of value 0, an
// empty text, the address 0.0.0.0 or ::. Requires a row ended by an id-0
// entry.
bool truncate_row_is_empty(const RECORD *row);

// True when link, taken relative to the directory root (ending with "/"),
// names a file inside it: a relative path without empty, "." or ".."
// components whose directory, with links resolved, lies inside root.
bool truncate_link_inside(const std::string &root, const char *link);
