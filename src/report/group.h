// The grouping engine: one SUMMARY level of a report turns its filtered
// input rows into group records, one per distinct value of the level's
// group-by field, each carrying the level's counters.
//
//   GROUP_TREE *gl = group_initialize(rep, level, 5000, input->rec, input->map);
//   rep->output = group_open_output(gl, rep, file);
//   for each filtered row: switch (group_add_record(gl, row, map, rep->index_fd, input, rep, rep->output))
//     0 counted or skipped, 1 failed (the run holds its error text),
//     2 the group limit is reached: the caller spills the row (group_save_spill_record)
//   rep->groups = gl; group_write(rep, &bytes, &recs); group_terminate(gl);
//
// Group records hang in an unbalanced binary search tree whose shape gives
// the written order (node, smaller keys, greater keys); that order is what
// users see in unsorted tables and what the report queue file numbers, so
// it never changes. Finding a group does not walk the tree: a hash index
// beside it maps a key to its record, and the tree links are made when the
// level is written, from the keys in order and the order of insertion (the
// tree plain insertion gives: every subtree has its earliest record on top;
// group_link_tree). Counting a row into an existing group allocates nothing.
//
// Category levels (group-by 5, 54, 60, 61) count a row once under each of
// its categories; time-bucket levels (group-by 19 to 30) write each bucket
// as the rows pass its end, or keep it for the database when the level has
// no output table (src/report/group_cat.cc). A level with top-k
// keeps its groups in a top-k list instead of the tree (src/report/topk.h).
//
// A tree belongs to one report thread; nothing here locks. Bucket starts
// use the run's own time zone (rep->zone), never the process TZ.
#pragma once

#include <stdint.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/record/category.h"
#include "lib/record/record.h"
#include "src/report/fields.h"
#include "src/report/report.h"
#include "src/report/topk.h"

// Group limits the callers pass.
#define GROUP_MAX_GROUPS 5000
#define GROUP_MAX_GROUPS_CONTINUOUS 1000
// Write buffer of a group's next-level detail table (8096, as the record
// files of the second stage have always had).
#define GROUP_DETAIL_BUFFER_SIZE 8096

// Analysis mask bits of summary fields.
#define GROUP_ANALYZE_ALLOWED 1    // 10, 11 (and 13, 14, 16, 17)
#define GROUP_ANALYZE_PAGES 2      // 12, 15, 34, 35 (and 13, 14, 16, 17)
#define GROUP_ANALYZE_BROWSE 4     // 52
#define GROUP_ANALYZE_BANDWIDTH 8  // 65, 66

// Request property bits of field 49.
#define GROUP_PROP_DENIED 1
#define GROUP_PROP_PAGE 2
#define GROUP_PROP_FILE 4

struct GROUP_TREE;

// One group record.
struct GROUP_INDEX {
  GROUP_INDEX *high = nullptr;  // keys comparing greater
  GROUP_INDEX *low = nullptr;   // keys comparing smaller
  // The output row: an entry per field of the tree's `fields` and the
  // terminator. The record, its key value, its counters, this row and the
  // sub-report link text are one block (the record at its start, aligned to
  // a cache line), so counting a row touches few cache lines: the key and
  // the counters after it start a line of their own.
  RECORD *rec = nullptr;
  TABLE *tbl = nullptr;   // writer of the next-level detail table, when saved
  long long detail_temp = 0;     // temporary bytes charged for that table
  REPORT *rep = nullptr;
  int writesize = 0;      // bytes charged to the report size
  bool pooled = false;    // the block belongs to the tree's chunks (freed with them)
  uint32_t browse_start = 0, browse_end = 0;  // the open browse-time window
  int64_t *counters = nullptr;  // one per counter field of the row, zeroed

  GROUP_TREE *tree = nullptr;
  const void *key = nullptr;     // rec[0].data
  uint64_t hash = 0;             // hash of the key
  char *detail_file = nullptr;   // path of the detail table (malloc), when saved
};

// Where a record's key lies in its block: right after the record, on a
// cache line boundary (group_make_summary), so an index probe finds it
// without reading the record. The key is zero-padded to a multiple of
// eight bytes and the counters follow it.
#define GROUP_KEY_OFFSET ((sizeof(GROUP_INDEX) + 63) & ~static_cast<size_t>(63))
#define GROUP_BLOCK_ALIGN 64
inline const void *group_key_of(const GROUP_INDEX *g) { return reinterpret_cast<const char *>(g) + GROUP_KEY_OFFSET; }

// What one input row contributes.
struct GROUP_ANALYZE {
  int32_t request_count, request_allowed, request_denied;
  int32_t pages_count, pages_allowed, pages_denied;
  int32_t files_count, files_allowed, files_denied;
  uint32_t browse_start, browse_end;
  bandwidth_stats bandwidth;
};

typedef int (*group_compare_fn)(const void *a, const void *b);
typedef unsigned long (*group_hash_fn)(const void *key);

// How an entry of a detail or spill row finds its value when the input row
// lacks the entry's own field but holds its source field (resolved when the
// layout is built).
enum : uint8_t {
  GROUP_FROM_NONE,     // the source is the field itself
  GROUP_FROM_DERIVED,  // host, protocol, domain, search terms, data words
  GROUP_FROM_CATS,     // category numbers from the source's list
  GROUP_FROM_REFUSED,  // no derivation: the row cannot be prepared
  GROUP_FROM_PROPS,    // field 49: the row's request bits
};

// A row layout of next-level detail or spill rows (built once per tree).
struct group_layout {
  std::vector<RECORD> rec;   // the entries and the terminator
  std::vector<uint8_t> src;  // per entry the source field of its id
  std::vector<uint8_t> from;      // per entry GROUP_FROM_*
  std::vector<const void *> none; // per entry the value of a row without either field
  uint8_t props = 0;         // the field-49 value the layout owns
  // A decimal category text per entry (filled when the input holds a
  // category byte list), each GROUP_CATTEXT_SIZE bytes.
  std::vector<std::vector<char>> cattext;
  int analyze_mask = 0;      // bits 1 and 2 of the levels' summary masks
  // Every entry is an integer of 1 to 16 bytes or a text: a written row's
  // size is then its charged length (no address or one-byte kinds).
  bool sized_by_writer = false;
};
#define GROUP_CATTEXT_SIZE 763

// How a counter of a group row grows with one analysis.
struct group_counter_op {
  uint8_t what;  // GROUP_OP_*
  uint8_t index; // into counters
};

struct GROUP_TREE {
  GROUP_INDEX *trunk = nullptr;  // root (set by group_link_tree); time buckets: the one open bucket
  int record_count = 0;
  std::vector<unsigned char> fields;  // output field ids, ended by 0
  int save_details = 0;
  int max_groups = 0;
  int32_t start_time = 0, next_time = 0;  // time buckets
  int group_type = 0;
  int source_type = 0;
  int group_datatype = 0;
  int group_level = 0;
  int analyze_mask = 0;
  int spill_analyze_mask = 0;
  std::unique_ptr<group_layout> spill;    // this level onward (spillsrc: spill->src)
  std::unique_ptr<group_layout> datarec;  // the next level onward (datasrcrec: datarec->src)
  group_compare_fn compare = nullptr;
  group_hash_fn hash = nullptr;
  topk_list_t *topk = nullptr;

  // Beside the tree.
  int output_code = 0;     // group_get_output_type(group_type)
  int counter_count = 0;   // counter fields of the row
  std::vector<group_counter_op> ops;
  int browse_index = -1;   // counter index of field 52, -1 without
  // Hash index: open addressing, a power of two, at most half used (homes
  // by the low bits of GROUP_INDEX::hash). A slot holds the high half of
  // the hash and, for texts, the length: a probe reads a record's key (on
  // the line of the counters a count reads next) only when both match.
  struct slot {
    uint32_t tag;  // hash >> 32
    uint32_t len;  // text keys: bytes before the NUL
    GROUP_INDEX *item;
  };
  std::vector<slot> slots;
  std::vector<GROUP_INDEX *> all;  // every record of the tree, in insertion order
  RECORD *output_layout = nullptr; // the output table's template row (malloc)
  cat_t *catset = nullptr;         // the row's categories (category levels), reused
  bool terminating = false;        // group_terminate runs: top-k frees keep their files
  bool close_failed = false;       // a top-k record's detail table failed to close
  REPORT *rep = nullptr;           // the run
  long long bucket_length = 0;     // time buckets: 0 for code 30
  // Time buckets of a level without an output table (continuous reports):
  // the finished buckets in time order, written with the open one.
  std::vector<GROUP_INDEX *> finished;
  // Record blocks of a level that frees its records only with the tree
  // (neither top-k nor time buckets), carved in turn from chunks of
  // GROUP_CHUNK_SIZE bytes; the chunks go back to the thread's spares.
  std::vector<char *> chunks;
  size_t chunk_used = 0;  // bytes taken of the last chunk
};
#define GROUP_CHUNK_SIZE 65536

// --- Set-up, counting, writing ---------------------------------------------

// A new tree for the definition's group level grp_pos (counted from 0), with
// the group limit max_groups; rec/map (the input table's current row) give
// the type bytes of the input. Null (nothing recorded) when the level does
// not exist or is not SUMMARY, a layout cannot be built (its error text is
// recorded) or memory runs out. Free with group_terminate.
GROUP_TREE *group_initialize(REPORT *rep, int grp_pos, int max_groups, RECORD *rec, unsigned char *map);

// Counts one filtered row. 0 counted or skipped, 1 failed (error text in
// rep), 2 the group limit is reached and the row has no group yet (never for
// top-k, category or time-bucket levels). index_fd is the report queue file
// (-1: none, as for a continuous report); output is used by time buckets.
int group_add_record(GROUP_TREE *gl, RECORD *rec, unsigned char *map, int index_fd, TABLE *input, REPORT *rep,
                     TABLE *output);

// The group record whose key compares equal to *data (a value in the key's
// storage form), or null. A top-k level counts the lookup.
GROUP_INDEX *group_lookup(GROUP_TREE *gl, const void *data);

// Inserts a new group record: -1 inserted, 1 the top-k list absorbed it
// (the caller destroys it), 0 failed (an equal key is present, or memory).
int group_add(GROUP_TREE *gl, GROUP_INDEX *item);

// Sets trunk and every record's low and high links to the tree that
// inserting the records one by one into an unbalanced binary search tree
// (in their insertion order) gives. -1, or 0 when memory runs out. Nothing
// to do (-1) for top-k and time-bucket levels.
int group_link_tree(GROUP_TREE *gl);

// Opens the level's report table writer on file_name (buffer 131072) with
// the row layout of `fields`. Null on failure (no text recorded).
TABLE *group_open_output(GROUP_TREE *gl, REPORT *rep, const char *file_name);

// Writes every group record of rep->groups to rep->output: top-k levels
// from the highest count down, else the tree node first, then its smaller,
// then its greater keys. A record with a zero in every counter is skipped,
// except a sub-report link (field 18), which is written but not counted.
// *written / *written_recs get the bytes and records written. -1, or 0 on a
// write failure. Top-k levels append their survivors' queue entries here.
int group_write(REPORT *rep, int64_t *written, int64_t *written_recs);

// Frees the tree: records, counters, detail tables (closed; kept on disk),
// the top-k list and the layouts. 0 when a detail table failed to close,
// else -1. Null-safe (-1).
int group_terminate(GROUP_TREE *gl);

// Fills *out from one row with mask (GROUP_ANALYZE_*).
void group_analyze_record(RECORD *rec, unsigned char *map, GROUP_ANALYZE *out, GROUP_TREE *gl, REPORT *rep,
                          int mask);

// Adds one analysis to a group record.
void group_increase_summaries(GROUP_INDEX *item, const GROUP_ANALYZE *a);

// Whether a URL (up to its "?" or "#") names a page (1), a file (2) or
// neither (0, an empty part), by rep's page extensions.
int group_classify_url(REPORT *rep, const char *url);

// --- The code tables --------------------------------------------------------

int group_get_output_type(int group_by);
int group_get_source_type(int group_by);
int group_get_input_type(int group_by);
int group_get_analyze_mask(int field);
group_hash_fn group_get_hash_function(int datatype);
group_compare_fn group_get_compare_func(int datatype);

// Bytes a key value of the type byte takes (1, 2, 4, 8, 16, string length
// + 1, 20 for an address); 0 for a type that cannot be grouped (storage 0,
// bit 3 set, unknown). data is needed for strings only.
size_t group_value_size(int datatype, const void *data);

// Whether a field id is a counter field (9 to 17, 33 to 35, 52, 65, 66).
bool group_is_counter(int field);

// --- Time buckets (src/report/group_cat.cc) ---------------------------------

// Start of the bucket of code (19 to 30) that contains t, in tz; 0 for
// another code or when t cannot be converted.
time_t group_date_start_time(const report_tz &tz, time_t t, int code);
// The next bucket start after start; with start 0 the bucket length for
// codes 19 to 29 (0 for 30 and other codes).
time_t group_date_next_time(const report_tz &tz, time_t start, int code);
// Normalises *tm through a converted copy; its daylight flag is kept.
void adjust_for_time_change(const report_tz &tz, struct tm *tm);

// The two roads of group_add_record for category and time-bucket levels
// (0 or 1).
int group_add_category_record(GROUP_TREE *gl, RECORD *rec, unsigned char *map, int index_fd, TABLE *input,
                              REPORT *rep);
int group_add_time_record(GROUP_TREE *gl, RECORD *rec, unsigned char *map, int index_fd, TABLE *input,
                          REPORT *rep, TABLE *output);

// --- Continuous reports (src/report/continuous.cc) ---------------------------

// Appends the groups of gl to the continuous report's result table and its
// period start to the date-index table (both created when missing) on db.
// A time-bucket level gives one row per bucket, in time order, each with
// the period start as its date and the bucket start as its key.
// -1, or 0 on a failure (an invalid table name among them; the caller
// records its error).
int group_write_db(GROUP_TREE *gl, REPORT *rep, int db);

// Group records, detail layouts, the queue file and spill rows.
#include "src/report/group_record.h"
