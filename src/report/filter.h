// Filter rules and thresholds: the operator language of the filter and
// threshold lines of report definitions, the rule tree it builds, the test of
// one row against a tree, the threshold test over a finished report table and
// the file-name tests that let the request-log window skip whole log files.
//
// A rule is a list of blank-separated tokens: operator, operand(s), operator,
// operand(s) ... (the terms of one rule are ORed), or for categories exactly
// "&list" / "$list". Operators and codes:
//   1 "<"  2 "<="  3 "=="  4 ">="  5 ">"  6 "!="  7 "%" contains
//   8 "&" any category of the set  9 "$" none of the set
//   10 "~" matches  11 "!~" does not match  12 "!%" does not contain
//   13 "?" contains as a word  14 "!?" does not contain as a word
//   "@ a b" gives (>= a) AND (<= b); "!@ a b" gives (< a) OR (> b).
//
// Trees are built only with the constructors below (they keep each node's
// parent link, which lets every walk here run without recursion and without
// allocating, however deep a long chain of filter lines makes the tree).
// A tree belongs to one report and is evaluated by the one thread that runs
// it; the per-leaf caches (file-name forms, pool numbers, the last time
// broken down) and the evaluation links are written by that thread only.
// Nothing here locks.
#pragma once

#include <stdint.h>
#include <time.h>

#include "lib/base/kxnet.h"
#include "lib/record/category.h"
#include "lib/record/record.h"

struct REPORT;
struct REPORT_DEFINITION;

// operation
#define FILTER_LEAF 0
#define FILTER_AND 1
#define FILTER_OR 2

// comparetype
#define FILTER_LT 1
#define FILTER_LE 2
#define FILTER_EQ 3
#define FILTER_GE 4
#define FILTER_GT 5
#define FILTER_NE 6
#define FILTER_CONTAINS 7
#define FILTER_CAT_ANY 8
#define FILTER_CAT_NONE 9
#define FILTER_MATCH 10
#define FILTER_NOMATCH 11
#define FILTER_NOTCONTAINS 12
#define FILTER_WORD 13
#define FILTER_NOTWORD 14

// Options of report_definition_add_filter.
#define FILTER_OPT_LOWER 1      // lower-case text values
#define FILTER_OPT_URLDECODE 2  // URL-decode text values

// What a leaf's data points at.
enum filter_value_kind {
  FILTER_VALUE_NONE = 0,
  FILTER_VALUE_NUMBER,    // uint64_t
  FILTER_VALUE_ADDRESS,   // ipfilter
  FILTER_VALUE_TEXT,      // NUL-terminated text
  FILTER_VALUE_REGEX,     // regex_t (codes 10 and 11)
  FILTER_VALUE_CATEGORY,  // cat_t
  FILTER_VALUE_DENIED,    // uint8_t: 1 denied, 0 allowed
};

// An address value: ip in row form (IPv4 as a host-order value), mask with
// family 0 for no mask (IPv4 mask as a host-order value, IPv6 mask as 16
// bytes).
struct ipfilter {
  kx_ipaddr ip;
  kx_ipaddr mask;
};

struct FILTER_RULE {
  int operation = FILTER_LEAF;
  FILTER_RULE *left = nullptr;
  FILTER_RULE *right = nullptr;
  int comparetype = 0;
  int datatype = 0;               // field id a leaf tests
  void *data = nullptr;           // owned value, by valuekind
  char *filename_substr = nullptr;  // cached file-name form of a text value
  int hashsize = 0;               // cached pool count (0: none cached)
  int hashchunk = 0;              // cached chunk for hashsize pools
  int hashoffset = 0;             // ... and the slice it was computed over
  int hashlength = 0;
  // Kept by the constructors.
  FILTER_RULE *parent = nullptr;
  filter_value_kind valuekind = FILTER_VALUE_NONE;
  // Leaves on 43, 44 and 45: the local day [day_from, day_to) of the last
  // conversion, when the zone's offset holds all that day, and its weekday
  // or month day, so a day of rows pays for one conversion.
  int64_t day_from = 0;
  int64_t day_to = 0;
  int64_t cached_part = 0;
  // Resolved from the leaf's field, operator and value when the tree is
  // linked, so that a row pays for no lookup by kind.
  uint8_t test = 0;         // how the leaf tests a row (filter.cc)
  uint8_t source = 0;       // field read when the row lacks datatype (0: none)
  uint8_t order_mask = 0;   // codes 1 to 6: bit 0 less, bit 1 equal, bit 2 greater
  bool cat_wide = false;    // a category value holds numbers of 256 and above
  uint64_t number = 0;      // a number value (cut to 32 bits for 7 and 33 to 35)
  uint64_t number_from = 0; // the values the operator holds for against number:
  uint64_t number_span = 0; // from .. from + span, or all others when outside
  bool number_outside = false;
  uint8_t text = 0;         // how the leaf tests a text (filter.cc)
  uint8_t verdicts = 0;     // category and denied-flag leaves: bit 0 the verdict when
                            // no number is in the set (the flag is 0), bit 1 when one is
  size_t text_len = 0;      // a text value's length
  // The search for a text value (filter.cc): its first byte sixteen times,
  // its second, its first sixteen bytes (zeros after its end) and a bit for
  // each of those that is the value's.
  alignas(16) unsigned char find_first[16] = {};
  alignas(16) unsigned char find_second[16] = {};
  alignas(16) unsigned char find_head[16] = {};
  unsigned find_mask = 0;
  uint64_t cat_low[4] = {}; // a category value's numbers below 256, as bits
  // Short-circuit links, set for the root the tree was last evaluated from
  // (`linked_for`): a leaf's next leaf when it is true and when it is false
  // (or the verdict), any node's first leaf in `entry`.
  FILTER_RULE *on_true = nullptr;
  FILTER_RULE *on_false = nullptr;
  FILTER_RULE *entry = nullptr;
  const FILTER_RULE *linked_for = nullptr;
};

// --- Building ----------------------------------------------------------

// A new leaf owning value (of the given kind; the caller gives up value even
// on failure, when it is released). Null when memory runs out.
FILTER_RULE *new_filter_data_node(int comparetype, int datatype, void *value,
                                  filter_value_kind kind);

// A new AND (1) or OR (2) node over left and right (both may be null, an
// empty side passes). Null, with both children released, when memory runs
// out or kind is neither.
FILTER_RULE *new_filter_op_node(int kind, FILTER_RULE *left, FILTER_RULE *right);

// new when old is null, else a new node of kind with left = new and
// right = old; both released and null returned when that fails. A null new
// gives old.
FILTER_RULE *report_definition_add_to_filter(FILTER_RULE *old, FILTER_RULE *newf, int kind);

// Releases the tree (values, compiled expressions, category sets, cached
// file-name texts). Null-safe; no recursion.
void free_filter_rule(FILTER_RULE *tree);

// Parses one rule for field id `field` and returns prev AND the rule (prev
// on the left), or null when the rule is rejected; prev is consumed either
// way (released on rejection). options: FILTER_OPT_LOWER | FILTER_OPT_URLDECODE.
// def (may be null) gets its cat_filter replaced by the numbers of a
// category rule on 5, 54, 60 or 61; rep (may be null) gets the error texts
// of invalid expressions and failed decodes, and the search-term list for a
// rule on 53.
// A number operand is read as strtoull reads it (blanks, an optional sign,
// a minus negating in 64 bits), but refused with text after its digits or a
// value past 64 bits. Refused besides what the language forbids: an address
// prefix that is not a decimal above 0; a category list that is empty, holds
// a number past 32 bits or more than 4096 numbers; a regular expression that
// kxregex_compile refuses (back-references, programs whose size or closures
// explode), compiled in the "C" locale, so it matches bytes.
FILTER_RULE *report_definition_add_filter(const char *text, FILTER_RULE *prev, int field,
                                          REPORT_DEFINITION *def, REPORT *rep, int options);

// "TRUE" gives a leaf == 1 on field 6, "FALSE" == 0, joined with AND after
// prev; any other text (or null) releases prev and returns null.
FILTER_RULE *report_definition_filter_add_denied(FILTER_RULE *prev, const char *text);

// The category leaf of list (numbers separated by ",") with operator "&"
// (code 8) or "$" (code 9), for field, joined with AND after prev; the
// numbers also replace def's cat_filter when field is 5, 54, 60 or 61.
// Null (prev released) for an empty or unreadable list or another operator.
FILTER_RULE *report_definition_filter_add_cats(FILTER_RULE *prev, const char *list, int op,
                                               REPORT_DEFINITION *def, int field);

// Sorts bytes[from .. to] (inclusive) ascending in place.
void report_definition_sort_cats(unsigned char *bytes, int from, int to);

// 1 when some leaf of the tree tests field (no recursion).
int filter_tree_has_field(const FILTER_RULE *tree, int field);

// --- Evaluation --------------------------------------------------------

// 1 when row passes tree, else 0. The first evaluation from a root (and
// the first after a subtree of it was evaluated on its own) links the tree's
// nodes in place and resolves its leaves; later ones follow the links.
// REQUIRES: a leaf is not changed between evaluations from the same root
// (translate relative dates before the first one). map is row's field map; totals (may be
// null) the column totals of the percent fields 33 to 35, indexed like the
// row's entries (totals[map[field]]); rownum the row's number
// (from 1) for the order field 36; partial the verdict of a leaf whose field
// and source field the row lacks. rep (may be null) gives the report time
// zone for 43 to 45 (the process zone without one) and what the derived
// fields 32, 48, 53 and 70 need. Allocates nothing except what a derived
// field stores in the row.
int check_filter_recursive(REPORT *rep, FILTER_RULE *tree, RECORD *row, unsigned char *map,
                           const int64_t *totals, int64_t rownum, int partial);

// Whether some row of the report table file `name` passes the threshold
// tree: *reached is cleared, then set when a row passes. Returns -1, or 0
// when the table cannot be opened.
int check_threshold(int *reached, const char *name, FILTER_RULE *threshold, REPORT *rep);

// --- File-name tests ---------------------------------------------------

// Whether a log file whose name carries `text` for field may hold a
// matching row: false only when an "==" leaf on field, its text written with
// "_" and "/" as "-", differs from text and the tree's logic needs it.
int check_filename_filter_recursive(FILTER_RULE *tree, int field, const char *text);

// As above for a file that holds chunk `chunk` of `pools` pools of field,
// hashed over (offset, length): an "==" leaf on field whose value falls in
// another chunk is false; a value without a computable chunk is true.
int check_filename_hash_filter_recursive(FILTER_RULE *tree, int field, int offset, int length,
                                         int pools, int chunk);

// Computes the chunk of leaf's value among pools pools over (offset,
// length), caches pools and chunk in the leaf and returns 1; 0 when the
// value gives no chunk (other fields, a slice past the value, a bit length
// past the address, a mask that hides hashed bits, pools below 1).
int filter_calc_hash(FILTER_RULE *leaf, int offset, int length, int pools);
