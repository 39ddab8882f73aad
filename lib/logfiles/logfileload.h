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
// failing record count leaves the entry's `records` at 0. A log cut short
// (its index lists records its .log does not hold whole) is listed with the
// bounds and records of what it holds (LogFileReadable), and named in the
// message log: "Request log PATH is damaged: N of its M indexed records
// can be read".
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

// --- Statistics and removal ----------------------------------------------------------
//
// Deleting touches the users' request logs, so it is held to the logs
// folder: a path must be REQFILEUTILS_REQUEST_PATH followed by a plain file
// name ending in ".log" (no "/", not "." or ".."), only regular files are
// removed, and a symbolic link is never followed nor removed. Every failure
// is logged at level 4 ("logfileload: ...").

// Over every non-empty log of the folder whose format is logType (-1: any):
// the earliest start and latest end of the logs whose bounds are known, the
// total size of the .log files and the total records up to now. Each out
// pointer may be null. 0 (zeros when there is no log), or -1 when the folder
// cannot be opened or memory runs out.
int logfileload_filestats(int logType, time_t *start, time_t *end, off_t *size, int64_t *records);

// Unlinks entry from list (moving `current` to the next entry when it
// pointed there), frees its reader, name and the entry, and lowers `count`;
// the totals stay. 0, or -1 when entry is not in list.
int logfileload_remove(ReqLogFiles *list, ReqLogFile *entry);

// logfileload_remove of the first entry whose filename equals name; -1 when
// there is none.
int logfileload_remove_by_name(ReqLogFiles *list, const char *name);

// Deletes the .log of path (REQFILEUTILS_REQUEST_PATH + NAME.log) and its
// .ndx and .rep, those that exist. 0 when every file present was removed
// (the .log must be present); -1 for a path outside the folder, a file that
// is not a regular file (left alone), or a failed removal.
int logfileload_unlink_file(const char *path);

// logfileload_unlink_file of the entry's .log.
int logfileload_unlink(const ReqLogFile *entry);

// From `current` on: deletes the files of every entry with 0 records and
// removes the entry; an entry whose files could not all be deleted stays
// listed. 0, or -1 when some deletion failed.
int logfileload_cleanup(ReqLogFiles *list);

// logfileload_cleanup, then from `current` on, oldest first, deletes and
// removes entries until `count` is at most history (entries whose deletion
// fails stay and are passed over). 0, or -1 when some deletion failed, count
// is still above history, or history is negative.
int logfileload_rotate(ReqLogFiles *list, int history);
