// One way to read and write rows: the TABLE head and its dispatcher.
//
// Three kinds share the head: 1 a report table file opened for reading
// (READ_TBL, src/table_file.h), 2 a new report table file being written
// (WRITE_TBL), 3 the request-log window of a report's period (LOGFILE_READ).
// After each successful read callers use `rec` and `map` directly; both
// belong to the table and stay valid until the next read or the close.
//
// A table belongs to the thread that opened it; nothing here locks.
#pragma once

#include <stdint.h>

#include "lib/record/record.h"
#include "src/table/report_fwd.h"

#include "src/table/table_head.h"

// Opens a table of the given kind:
//  1: reads the report table file `name` (needs name);
//  2: creates the report table file `name` with the fields of `rec` up to
//     its id-0 entry and a write buffer of buff_size bytes (needs name; rep
//     may be null: see write_new_rec);
//  3: the request-log window of rep's period (needs rep and db != 0).
// Returns a table of that kind, or null when a required argument is missing,
// the kind is unknown or the opening fails. Close with table_close.
TABLE *table_open(int kind, REPORT *rep, const char *name, RECORD *rec, int db, int buff_size);

// Reads the next row into t->rec (t->map stays valid). -1 when a row was
// read, 0 at the end, on failure, for a writer or a null table.
int table_read_record(TABLE *t);

// Kind 1 only: the next row as one malloc'ed block that outlives the table
// (free it with free()); null at the end, on failure and for other kinds.
RECORD *table_read_record_separate(TABLE *t);

// Kind 2 only: writes (or buffers) one row; *written (when not null) gets its
// size in bytes. -1 on success; 0 when a write failed and for other kinds.
int table_write_record(TABLE *t, RECORD *rec, int64_t *written);

// Closes and frees the table. Kind 1 and 3: -1. Kind 2: -1 when every
// buffered byte reached the file, else 0. Any other kind: the head alone is
// freed (it must have been made with `new TABLE`) and 0 is returned. A null
// table gives 0.
int table_close(TABLE *t);

// The request-log window (kind 3) belongs to the report engine, which stands
// above these tables; it hands its three operations over once, before any
// window is opened. Until then opening kind 3 fails.
struct table_logfile_ops {
  TABLE *(*open)(REPORT *rep, int db);  // null on failure
  int (*next)(TABLE *t);                // as table_read_record
  int (*close)(TABLE *t);               // frees t; -1
};
// ops must outlive every window; null withdraws them.
void table_set_logfile_ops(const table_logfile_ops *ops);
