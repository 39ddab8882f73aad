// Report status, sizes and error texts.
//
// A failing step of a run records one numbered error text in the run
// ("Error NNNNN: (module) message"; a later text replaces an earlier one)
// and returns failure to its caller. The size totals charge every byte a run
// writes against the settings' max_report_size and max_temp_size. At the end
// of the run status_save writes the outcome into the job row.
//
// A run is used by one thread at a time; nothing here locks.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "src/report/report.h"

// The longest error text kept whole, in bytes. A longer one (an input
// quoted whole, such as a 90 KB expression) keeps its start and its end
// around "...", cut at UTF-8 character boundaries, so its number, module
// and the words after the quote are still there.
constexpr size_t kStatusErrorMax = 1024;

// Formats the text and makes it the run's error text, freeing any earlier
// one; a long text is shortened (kStatusErrorMax). A text that is already
// formatted is recorded with "%s" as the format. Nothing happens for a null
// run or format; when formatting fails the run is left without an error
// text.
void status_add_error(REPORT *rep, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Adds bytes (negative: gives bytes back) to size_report. When the new
// total is above a positive max_report_size, records "Error 10600: (status)
// Report File Size Limit <limit> Exceeded by <excess> bytes" and returns 0;
// otherwise -1. A limit of 0 (or below) is no limit. The bytes are added in
// both cases.
int status_add_report_size(REPORT *rep, long long bytes);

// The same for size_temp and max_temp_size ("Error 10601: (status)
// Temporary File Size Limit ...").
int status_add_temp_size(REPORT *rep, long long bytes);

// Writes the outcome of the run into its job row on connection db:
//  - with an error text: the report's files are removed, the text is
//    stored with error_flag 2;
//  - without error text and message: cancelled ("Stopped by user", flag 0;
//    a scheduled or continuous job stopped as unused, flag 3, keeps its
//    status and flag);
//  - otherwise: message with error_flag (same rule for flag 3).
// A text is cut to what the status column holds. When the row refuses it,
// that is logged and the text cut short (255 bytes) is saved instead, or
// else the flag alone, so that the job does not stay claimed. The outcome
// is logged once the row holds it. Returns 0, or the report kind when it is
// unknown (nothing written).
int status_save(REPORT *rep, int db, const char *message, int error_flag);

// Only the statement of a worded outcome (message with error_flag, as
// status_save writes it), for a caller that saves it inside a transaction
// of its own: true when it ran. Nothing is logged: once the transaction is
// committed the caller logs status_log_saved.
bool status_write_message(REPORT *rep, int db, const char *message, int error_flag);

// The line of a saved worded outcome: "Processed <kind> <id> '<message>'".
void status_log_saved(const REPORT *rep, const char *message);

// The catalogue text of format (one "%s") with t as local time
// "%Y-%m-%d %H:%M:%S": "Started Processing [%s]", "Processed Ok [%s]".
// Empty when formatting fails.
std::string status_text_at(const char *format, time_t t);

// Connects the report table writer to the runs: its IP storage from the
// run's settings and its header bytes charged to the run's limits (a file
// below the temporary directory counts as temporary). Idempotent, safe from
// any thread.
void status_install_table_hooks();
