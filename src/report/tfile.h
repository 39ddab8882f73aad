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
// The two directories are compared as the system names them (links, "." and
// ".." resolved, doubled "/" dropped): a temporary directory that is the
// report directory under another spelling, or that would put a run's
// temporary folder at or inside one of the store's numbered folders, is not
// taken for a directory of its own (the run then uses root + "temp/").
//
// Removal never follows a symbolic link below the configured directory: a
// link is removed as a link, what it points at stays.
//
// Every returned path is a new heap string the caller frees with free().
// A run is used by one thread at a time; its root path is published through
// the setter below, so that threads that look at registered runs may read it.
#pragma once

#include <string>
#include <string_view>

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

// Sets rep->root_path to the root directory of file number id (the old one
// is freed) and then makes the directory: a store clean-up that finds the
// directory already finds the run's claim on it. Returns rep->root_path;
// null as for tfile_create_root_path.
char *tfile_take_root_path(REPORT *rep, int id);

// Sets rep->root_path to path (owned by rep from then on; the old one is
// freed) through the installed setter. The daemon installs one that stores
// under the lock of its registry of running reports; without one it is a
// plain store.
using tfile_root_path_setter = void (*)(REPORT *rep, char *path);
void tfile_set_root_path_setter(tfile_root_path_setter setter);
void tfile_set_root_path(REPORT *rep, char *path);

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

// Removes the folder path (which lies strictly below base, both as
// configured) with everything in it, walking down from base without
// following a symbolic link: a link on the way ends the walk with nothing
// removed, a link at the end is removed as a link. -1 when the walk reached
// the entry (removed, or already gone), 0 when it was refused: path not
// below base, a "." or ".." component, or a link or missing folder on the
// way.
int tfile_clear_below(const char *base, const char *path);

// dir as the system names it: absolute, no empty, "." or ".." components,
// links resolved as far as the path exists (the rest taken as written);
// ends with "/". Empty for a null or empty dir or when the current folder
// cannot be read.
std::string tfile_real_dir(const char *dir);

// True when the directory inner is outer or lies below it (both ending with
// "/", as tfile_real_dir gives them).
bool tfile_dir_within(std::string_view inner, std::string_view outer);
