// The request logs of a time window: every log of REQFILEUTILS_REQUEST_PATH
// ("../logs/", relative to the working directory) that some format reader
// recognises and whose time bounds meet the window, in a list sorted by start
// time, with the records each holds within the window and the list's totals.
//
//   ReqLogFiles *list = logfileload_init(from, to, 0, REQFILEUTILS_REQUEST_TYPE_ALL,
//                                        nullptr, nullptr);
//   for (ReqLogFile *f = list ? list->head : nullptr; f; f = f->next) { ... }
//   logfileload_free(list);
//
// The list owns the readers of its entries. A caller that keeps a reader
// sets the entry's `reader` to null before the list is freed, and then owns
// it (free it with its FreeReader). A list belongs to one thread.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include "lib/logfiles/logfile.h"

// One log of the list.
struct ReqLogFile {
  LogFileReaderPtr reader = nullptr;  // owned; null once a caller took it over
  char *filename = nullptr;           // "../logs/" + file name, owned (malloc)
  time_t start = 0;                   // the log's time bounds (0 while unknown)
  time_t end = 0;
  ReqLogFile *next = nullptr;
  ReqLogFile *prev = nullptr;
  off_t bytes = 0;                    // size of the .log
  off_t records = 0;                  // records of the log within the window
};
typedef ReqLogFile *ReqLogFilePtr;

// The list: ascending `start`; a non-empty log with the same start as one
// already listed goes before it, an empty one (0 bytes) after it.
struct ReqLogFiles {
  ReqLogFilePtr head = nullptr;
  ReqLogFilePtr current = nullptr;  // cursor; head after listing
  int count = 0;                    // entries
  off_t megs = 0;                   // sum of each entry's bytes / 1048576, rounded down
  int64_t records = 0;              // sum of the entries' records
};
typedef ReqLogFiles *ReqLogFilesPtr;

// The logs of the window [start, end]. Only regular files whose names end in
// ".log" are considered; LogFileTest (with loadZeroSize, filter_func and
// filter) must make a reader for them, and with logType other than
// REQFILEUTILS_REQUEST_TYPE_ALL (-1) its GetFileType must equal logType. A
// log lies outside the window when end < its start or its end < start; a log
// whose bounds are unknown (0) thus only meets windows starting at 0, and
// a window with end < start meets none. A
// failing record count leaves the entry's `records` at 0.
// Returns the list (possibly empty; `current` = `head`), or null when memory
// runs out or the directory cannot be opened. Free it with logfileload_free.
ReqLogFiles *logfileload_init(time_t start, time_t end, int loadZeroSize, int logType,
                              ReqFileFilterFunc filter_func, void *filter);

// Frees every entry (its reader through FreeReader when not null, its file
// name) and the list. Null is accepted.
void logfileload_free(ReqLogFiles *list);

// The last entry reached from `current` by following `next` (after listing:
// the log with the latest start); null for a null list or cursor. The entry
// stays the list's.
ReqLogFilePtr logfileload_last(ReqLogFiles *list);
