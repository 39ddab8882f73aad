// The extension list: file extensions (compared without case) mapped to
// caller data, in a fixed number of hash buckets.
//
// Filled while its owner loads and then only read; lookups take no lock and
// may run in parallel.
#pragma once

#include "lib/base/kxfile.h"

typedef void (*extlist_free_fn)(void *data);

typedef struct _extlist_item {
  char *item;  // the extension, lower-cased heap copy; null ends a bucket
  void *data;  // the caller's data, never null
} EXTLIST_ITEM;

typedef struct _extlist_table {
  int hash_count;             // buckets; 0 makes a list that holds nothing
  extlist_free_fn free_func;  // applied to each item's data at teardown; may be null
  EXTLIST_ITEM **hash;        // hash_count buckets, each ended by an item with a null text
} EXTLIST_TABLE;

// Bucket of ext: its first up to four characters (no more than the bucket
// count), lower-cased, as bytes 0 to 3 of a little-endian 32-bit value,
// modulo the bucket count; 0 for a list without buckets or null arguments.
int extlist_create_hash(const EXTLIST_TABLE *list, const char *ext);

// A new list of hash_count (negative: 0) empty buckets; null on no memory.
EXTLIST_TABLE *extlist_initialize(int hash_count, extlist_free_fn free_func);

// Appends ext (copied, lower-cased) with data to its bucket; an extension
// may be listed twice, the first wins. 0, or -1 for a null list, extension
// or data, an empty extension, a list without buckets, or no memory.
int extlist_add_item(EXTLIST_TABLE *list, const char *ext, void *data);

// Data of the first item equal to ext without case, or null (also for a null
// or empty ext or a list without buckets).
void *extlist_lookup(EXTLIST_TABLE *list, const char *ext);

// As extlist_lookup; on a hit *text (when given) receives a new heap copy of
// the listed extension (the caller frees it; null when the copy fails).
void *extlist_lookup_diag(EXTLIST_TABLE *list, const char *ext, char **text);

// Frees every item, applies free_func to every item's data, frees the list;
// null is ignored.
void extlist_terminate(EXTLIST_TABLE *list);

// Adds ext with a new category set (a cat_t*) parsed from a comma-separated
// list of decimal numbers. 0, or -1 (an empty set among the failures); 0
// for a list without buckets.
int extlist_add_category_item(EXTLIST_TABLE *list, const char *ext, const char *cats);

// Each line's first blank-separated field is added with the data value 1.
// Returns the number of items added (0 for a list without buckets), -1 when
// the file cannot be opened.
int extlist_add_file_buffer(EXTLIST_TABLE *list, file_buffer *fb);
int extlist_add_file(EXTLIST_TABLE *list, const char *filename);

// Each line holds an extension and a category list as its first two
// blank-separated fields. Results as above.
int extlist_add_category_file_buffer(EXTLIST_TABLE *list, file_buffer *fb);
int extlist_add_category_file(EXTLIST_TABLE *list, const char *filename);
