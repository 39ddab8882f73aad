// Continuous-report database output: a continuous report's groups are
// appended to its result table (named by the job's report_table) and its
// period start to the date-index table of the same name followed by "_di",
// both created when missing (ENGINE=MyISAM):
//   `NAME` (date bigint not null, groupby text not null, one bigint column
//          per counter of the first level's summary: request_count,
//          request_allowed, request_denied, pages_count, pages_allowed,
//          pages_denied, files_count, files_allowed, files_denied,
//          online_time, input_bytes, output_bytes; index (date))
//   `NAME_di` (date bigint primary key)
// A row: the period start, the group key as text, the counters in row order.
// The name is checked before any statement and always backquoted, so it may
// hold any character the server takes there ("report-7.results").
#pragma once

#include "src/report/group.h"

// True when name may be used as a continuous report's result table: what
// the server takes between backquotes, for the name and for the name
// followed by "_di": 1 to 61 characters of U+0001 to U+FFFF in UTF-8, no
// backquote, no white space at the end. Any other name never reaches SQL.
bool continuous_table_name_valid(const char *name);

// Inserts the rows of one subtree on db: smaller keys, greater keys, then
// the node. -1, or 0 at the first failed insert (earlier rows stay).
int group_write_db_recursive(GROUP_INDEX *i, REPORT *rep, int db);

// group_write_db (declared in src/report/group.h) is defined here.
