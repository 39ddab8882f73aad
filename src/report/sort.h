// External sort of report table files.
//
// A table may hold far more rows than fit in memory, so it is cut into runs
// of at most SORT_RUN_ROWS rows, each sorted in memory and written as a
// numbered temporary table; the runs are listed in a queue file and merged
// SORT_MERGE_WAY at a time until one file is left, which takes the input's
// place. At most SORT_RUN_ROWS rows are held at once, plus one current row
// per run during a merge; every file is read and written through the
// buffered report table reader and writer. Rows travel as their bytes and
// are ordered by their keys encoded into memcmp order (sort_encode_key):
// in full as a run is read, and in a merge only the 8 bytes after those all
// its files share, the whole keys when two rows tie on them. No row is
// rebuilt field by field.
//
// Order: the keys in list order, each three-way on its value's own storage
// type (never by subtraction); a category key (field 8) by the report's
// display position, where equal positions end the comparison.
//
// Merging: the queue lists the runs in the order they were written; each
// merge takes up to SORT_MERGE_WAY paths from its front and appends the
// merged file to its end, until one path is left (25 runs: 1-10, 11-20,
// then 21-25 with both merged files). Rows equal on every key come from the
// earlier path of a merge first, so which of several tied rows leads (and
// survives a truncation) follows that schedule; within one run their order
// is not promised.
//
// A sort belongs to the thread of its report run; nothing here locks.
#pragma once

#include <stdint.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "lib/record/record.h"
#include "src/table/report_fwd.h"

#define SORT_RUN_ROWS 10000
#define SORT_MERGE_WAY 10

// One sort key: a field id (0 ends a list) and a direction (above 0
// ascending, anything else descending).
struct sort_key {
  uint8_t field;
  int8_t order;
};

// What one sort needs from the report run around it. Every callback may be
// empty, meaning: no temporary names (the sort then fails), nothing to
// clear, no category order (every category at position 0), no size limit,
// no error text kept, nobody watching merges.
struct sort_env {
  // Passed to the table writer (IP storage, header charges); may be null.
  REPORT *rep = nullptr;
  // A new numbered temporary file path; empty when none is left.
  std::function<std::string()> next_temp_file;
  // Removes every file of the run's temporary directory.
  std::function<void()> clear_temp;
  // Display position (1-based) of a category; 0 when it has none.
  std::function<unsigned(uint32_t)> category_position;
  // Charges bytes (negative: gives back) to the temporary size; false once
  // the limit is passed (the charge has then recorded its own error text).
  std::function<bool(int64_t)> charge_temp;
  // Records a failure's error text.
  std::function<void(const std::string &)> error;
  // Sort progress of the run: 1 while sorting, else 0; rows sorted so far.
  int *sorting = nullptr;
  long long *sort_done = nullptr;
  // Told of each merge: the files merged, in the order they are merged,
  // and the file they become.
  std::function<void(const std::vector<std::string> &, const std::string &)> on_merge;
};

// Keys compiled against one table layout: entry indexes and storage types
// found once, so that comparing two rows looks nothing up.
struct sort_plan {
  struct key {
    int index;        // entry in the row
    uint8_t storage;  // storage type of the entry
    bool category;    // field 8: compared by display position
    bool descending;
  };
  std::vector<key> keys;
  const std::function<unsigned(uint32_t)> *category_position = nullptr;  // may be null
};

// Compiles keys (up to the first field 0) against layout, a row ended by an
// id-0 entry. A key whose field the layout lacks, or whose storage is 0 or
// has bit 3 set (and is not a category key), is left out. category_position
// (may be null or empty) must outlive the plan.
sort_plan sort_make_plan(const RECORD *layout, std::span<const sort_key> keys,
                         const std::function<unsigned(uint32_t)> *category_position);

// Three-way comparison of two rows of the layout the plan was made for:
// negative when a sorts before b, 0 when equal on every key, else positive.
int sort_compare_rows(const RECORD *a, const RECORD *b, const sort_plan &plan);

// Appends to out the row's keys by the plan as bytes whose order (memcmp,
// a shorter key first when one is the start of the other) is the order of
// sort_compare_rows: two rows' keys are equal exactly when it returns 0.
// Every entry the plan names must carry data (as rows of a table do).
void sort_encode_key(const RECORD *row, const sort_plan &plan, std::vector<unsigned char> *out);

// Sorts rows in memory by the plan; stable.
void sort_rows(std::span<RECORD *> rows, const sort_plan &plan);

// Sorts the report table file at path in place. Returns -1 on success; 0 on
// failure, after env.error got the text ("Error 100NN: (sort) ..."), every
// open table and the queue were closed, the rows held were freed, every
// temporary file of this sort and the input file were removed and
// env.clear_temp ran: a failed sort leaves no result file. An input without
// rows is left as it was. The input's size is charged to the temporary size
// while the sort runs and given back when it succeeds.
int sort_table_file(const sort_env &env, const char *path, std::span<const sort_key> keys);

// --- The report run's entry points -------------------------------------------
//
// These take the temporary names, the category display order (rep->cats),
// the size charges, the error texts and the progress (rep->sort,
// rep->sort_done) from the run. Key lists are SORT_OPTION arrays ended by
// field 0; a null list has no keys (the order stays as it is).
struct SORT_OPTION;

// The environment of a sort for rep, which must outlive it.
sort_env sort_report_env(REPORT *rep);

// Sorts the report table file at path in place (sort_table_file with the
// run's environment): -1 on success, 0 with the error text in rep.
int sort_table(REPORT *rep, const char *path, SORT_OPTION *keys);

// Sorts rows[first..last] (malloc'ed rows, each freed here and set to null,
// also on failure) in memory, writes them as one run with the layout fields
// (ended by id 0) to the run's next temporary file, and appends the run's
// path with its NUL to the queue descriptor. -1, or 0 with the error text
// in rep.
int sort_records(RECORD **rows, int first, int last, SORT_OPTION *keys, REPORT *rep, RECORD *fields, int queue_fd);

// Sorts rows[first..last] in memory; stable.
void sort_fields(RECORD **rows, int first, int last, SORT_OPTION *keys, REPORT *rep);

// Three-way comparison of two rows of one layout by keys; rep (may be null)
// gives the category display order.
int sort_record_compare(RECORD *r1, RECORD *r2, SORT_OPTION *keys, REPORT *rep);

// Moves the file from to the path to, replacing it: a rename, or where the
// two lie on different file systems a copy that is then removed. False
// (errno set) when the file could not be moved; a partial copy is removed.
bool sort_move_file(const char *from, const char *to);
