// The request-log window: every request log file that covers a report's
// period, read as one stream of rows in time order (the third TABLE kind).
//
//   logfile_window_install();              // once, before the first window
//   TABLE *w = table_open(TABLE_LOGFILE, rep, nullptr, nullptr, db, 0);
//   while (table_read_record(w)) { ... w->rec, w->map ... }
//   table_close(w);
//
// The window is a k-way merge over the files' readers. Each file has its own
// row array: the reader's fields, then four derived fields (32 host,
// 48 domain, 53 search terms, 70 data words; type 0x16, owned, empty), then
// the id-0 entry. A row is handed out in place (no copy) and stays valid
// until the next read or the close; its derived fields are empty when it is
// handed out and are filled on demand by the derived-field code.
//
// A window belongs to the thread that opened it; nothing here locks.
#pragma once

#include <time.h>

#include "lib/logfiles/logfile.h"
#include "lib/record/record.h"
#include "src/table/table_head.h"

struct REPORT;

// One node of the window. The first node (the head, the TABLE the caller
// holds) has no reader: its start/end are the report period, `lastread` the
// file whose row was handed out last and `current_time` that row's time.
// Every other node stands for one log file, linked in the order of the log
// list (ascending file start).
struct LOGFILE_READ : TABLE {
  LogFileReaderPtr reader = nullptr;  // owned (file nodes only)
  int field_count = 0;                // the reader's own fields
  int opened = 0;                     // 1: rec holds a decoded record not yet handed out or read past
  time_t start = 0;                   // head: period start; file: the file's first time
  time_t end = 0;                     // head: period end; file: the file's last time
  time_t current_time = 0;            // file: time of its pending record (its start until opened)
  LOGFILE_READ *lastread = nullptr;   // head only
  LOGFILE_READ *nextfile = nullptr;
  LOGFILE_READ *prevfile = nullptr;
  RECORD *headrec = nullptr;          // head only: the row it showed when opened
  RecordMap field_map{};              // storage of map (file nodes)
  RECORD empty_row[1]{};              // head only: shown when no file row is current
  RecordMap empty_map{};              // head only: every id -> the empty row's terminator
};

// Opens the window of rep's period (rep->start .. rep->end, both inclusive).
// Lists the log files of the period (the file-name prefilter applies unless
// rep belongs to a scheduled batch), positions files that start before the
// period at its first record in range, and sets rep->recs_todo to the
// records of the period and rep->recs_done to 0. A period that no file
// covers gives an empty window. Before the first read `rec`/`map` show the
// first file's (undecoded) row, so callers can see its fields; without
// files an empty row. db is not used here (the dispatcher requires it).
// Returns the head, or null when rep is null or memory runs out. Close
// with logfile_close.
LOGFILE_READ *logfile_open(REPORT *rep, int db);

// Makes the next row of the window current in t->rec / t->map. Returns -1
// when a row was made current, 0 at the end (and on every later call; `rec`
// then shows an empty row). Files that end or cannot be read leave the
// window silently. Allocates nothing.
int logfile_next(TABLE *t);

// Frees the window: every remaining reader once, the rows with their
// derived values, the nodes and the head. Accepts null. Returns -1.
int logfile_close(TABLE *t);

// 1 when row (with its field map) passes the filter of rep's definition
// (no filter, no definition or no report: 1), else 0.
int logfile_filter_record(REPORT *rep, RECORD *row, unsigned char *map);

// The file-name prefilter (a ReqFileFilterFunc): non-zero to keep the log
// file, 0 when filter (a FILTER_RULE tree, may be null) shows the file
// cannot hold a matching record. The name is tested for "_hash_", then
// "_group_", then "_tag_"; the first marker found decides, and a name
// without a marker, or whose marker is not followed by its parts, is kept.
int FileNameFilter(const char *filename, void *filter);

// Hands the window's operations to the table dispatcher (kind 3). Call
// once where the engine starts (tests call it too); calling again is
// harmless.
void logfile_window_install();
