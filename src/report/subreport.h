// One group level of one report run: start, the per-record steps, the
// closing of a summary group, the spill passes, finalisation (sort,
// truncation, threshold) and termination, and process_sub_report, which runs
// a whole deeper level from a queued sub-report table for the second stage.
//
// Level 0 reads the request-log window (the caller's input table); each
// deeper level reads a sub-report table that the level above wrote and
// queued, and writes its result under that table's name. A summary level
// groups and counts rows; a detail level copies them column by column.
//
// Every function returns -1 on success and 0 on failure, with the error text
// then recorded in the run. A run belongs to one thread.
#pragma once

#include "src/report/report.h"

struct TABLE;

// Starts level group_offset (from 0) of rep's definition. With a filename
// (a deeper level) the file is moved to a temporary name and read from
// there, and the output is written under filename; without one (level 0)
// input is the caller's table and the output is the report's root file.
int process_sub_report_start(REPORT *rep, const char *filename, int group_offset, TABLE *input);

// One input row of a summary level: counted in the level's groups, or
// spilled when the group limit is reached (then recs_done is lowered by one,
// since the spill pass counts the row again).
int process_sub_report_record_summary(REPORT *rep, RECORD *inrec, unsigned char *inmap);

// One input row of a detail level: copied into the output row (missing
// values as their defaults), charged to the report size and written.
int process_sub_report_record_detail(REPORT *rep, RECORD *inrec, unsigned char *inmap);

// Closes the input, writes the groups and releases the tree.
int process_sub_report_close_summary_group(REPORT *rep);

// Groups the spilled rows in further passes until no pass spills.
int process_sub_report_process_spill(REPORT *rep, int group_offset);

// Closes the output, sorts it by the level's order, truncates it to the
// definition's record limit and tests the level's threshold.
int process_sub_report_finalize(REPORT *rep);

// Releases what the level holds and clears the temporary files: -1 for a
// summary or detail level, 0 for any other type.
int process_sub_report_terminate(REPORT *rep);

// Runs the level of one queued sub-report table to its finished table. A set
// cancel flag or a failed record step ends the level at once and returns -1
// (the second stage goes on with its next entry); a failed spill pass or
// finalisation returns 0.
int process_sub_report(REPORT *rep, const char *filename, int group_offset);

// The second stage's walk of the report queue file (rep->index_fd_read): each
// entry (a NUL-terminated sub-report table path and its 32-bit level) is
// processed with process_sub_report; entries appended meanwhile (deeper
// levels) are read in turn, so the levels go breadth first. An entry whose
// file cannot be read is skipped. Returns -1 at the end of the queue; 0 when
// an entry is cut short ("Error 10438") or a level fails.
int process_report_queue(REPORT *rep);
