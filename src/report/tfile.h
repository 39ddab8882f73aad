// Report store paths and numbered files.
//
// Layout (the settings' directories end with "/"):
//   root directory of file number id:  reports_directory + "<id/1000>/<id>/"
//   temporary directory:               temp_directory + "<id>/" when the two
//                                      settings differ, else root + "temp/"
//   main result table, processing file: root + "root", root + "process"
//   numbered report file n:            root + "<n/1000>/<n>"
//   numbered temporary file n:         temp + "<n/1000>/<n>"
// Numbers run from 1 to TFILE_MAX_NUMBER. Directories are made on demand.
//
// Every returned path is a new heap string the caller frees with free().
// A run is used by one thread at a time; nothing here locks.
#pragma once

#include "src/report/report.h"

#define TFILE_MAX_NUMBER 1999999

// dir + subdir + file as a new string, after making every directory named
// by a prefix of dir + subdir that ends at a "/" (a "/" in the first
// character excepted). A directory that cannot be made is not reported
// here: the later open fails. Null arguments count as empty texts. Null
// only when memory runs out.
char *tfile_make_path_valid(const char *dir, const char *subdir, const char *file);

// Makes the root directory of file number id and returns its path. Null
// when the run has no report directory or memory runs out.
char *tfile_create_root_path(REPORT *rep, int id);

// The temporary directory path of file number id. With a temporary
// directory of its own it is made here; when it lies inside the root
// directory, the root directory is made (and kept in rep->root_path) when
// the run has none yet, and "temp/" itself is made with the first
// temporary file. Null when a directory setting is missing or memory runs
// out.
char *tfile_create_temp_path(REPORT *rep, int id);

// root_path + "root" and root_path + "process"; null without a root path.
char *tfile_root_file(REPORT *rep);
char *tfile_process_file(REPORT *rep);

// Advance the counter and return the path of the new numbered file, its
// subdirectory made. Null when the new number is above TFILE_MAX_NUMBER
// (the counter has still advanced) or the run has no such directory.
char *tfile_next_rep_file(REPORT *rep);
char *tfile_next_temp_file(REPORT *rep);

// Restarts the temporary numbers at 1 and removes the temporary directory
// with everything in it. Returns -1 when it was cleared, 0 when it was
// refused: no temporary path, or one that does not lie strictly inside the
// configured report or temporary directory.
int tfile_clear_temp(REPORT *rep);

// Removes the root directory with everything in it; -1 done, 0 refused as
// for tfile_clear_temp (the run has no directory yet: nothing happens).
int tfile_clear_report(REPORT *rep);

// -1 when path ends with "/", has no "." or ".." component and lies
// strictly below one of the run's configured store directories; else 0.
int tfile_path_inside_store(const REPORT *rep, const char *path);
