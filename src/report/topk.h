// Top-k counter list: keeps the (approximately) most frequent groups of a
// SUMMARY level in one pass with a fixed amount of memory, in place of the
// level's group tree.
//
// Counts are never stored, only the differences between neighbouring counter
// groups (all counters of a group share one count; groups stand in ascending
// order of count), so raising a count, absorbing an item and evicting a
// lowest counter touch at most two groups. While the list is not full, its
// free places count as members of the first group.
//
// Every counter, counter group and hash slot is allocated by topk_list_init;
// adding, looking up and evicting allocate nothing afterwards, so the list
// can sit on the per-record path. A list belongs to one thread; nothing here
// locks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// The key type's functions (those of the group tree: a hash of the key and
// a comparison giving 0 for equal keys) and the destructor of a counter's
// data (the group record).
typedef unsigned long (*topk_hash_fn)(const void *key);
typedef int (*topk_compare_fn)(const void *a, const void *b);
typedef void (*topk_destroy_fn)(void *data);

struct topk_counter_group_t;

struct topk_counter_t {
  const void *key = nullptr;  // the group key inside the group record
  void *data = nullptr;       // the group record
  topk_counter_group_t *group = nullptr;
  topk_counter_t *prev = nullptr;  // neighbours in the group, arrival order
  topk_counter_t *next = nullptr;
  uint64_t hash = 0;               // mixed hash of key
};

struct topk_counter_group_t {
  // This group's count minus the count of the group before it; for the
  // first group its count relative to the list's offset.
  int64_t diff = 1;
  int size = 0;  // counters in the group (the first group: free places too)
  topk_counter_t *head = nullptr;  // oldest arrival
  topk_counter_t *tail = nullptr;  // newest arrival
  topk_counter_group_t *prev = nullptr;
  topk_counter_group_t *next = nullptr;
};

// One slot of the key hash: open addressing, linear probing, deletion by
// moving later entries back (so no tombstones pile up).
struct topk_slot {
  topk_counter_t *counter = nullptr;
};

struct topk_list_t {
  std::vector<topk_slot> hash;  // a power of two, at least 2 x max_counters
  uint64_t hash_mask = 0;
  topk_hash_fn hash_fn = nullptr;
  topk_compare_fn compare_fn = nullptr;
  int max_counters = 0;
  int reuse_first_min = 0;  // max_counters / 8
  int counters = 0;         // counters in use
  int64_t max = 1;          // count of the highest group
  int64_t offset = 0;       // decrements applied to all counters at once
  int64_t total = 0;        // items accepted or absorbed
  topk_counter_group_t *head = nullptr;  // lowest count
  topk_counter_group_t *tail = nullptr;  // highest count
  topk_destroy_fn destroy_data = nullptr;
  // Read-out cursor: position (0 = lowest) of pos_counter, whose count is
  // pos_value; position -1 until topk_list_num_counters places it.
  int position = -1;
  topk_counter_t *pos_counter = nullptr;
  int64_t pos_value = 0;
  // Storage of every counter and group; free groups are chained by `next`.
  std::vector<topk_counter_t> counter_store;
  std::vector<topk_counter_group_t> group_store;
  topk_counter_group_t *free_groups = nullptr;
};

// A new list of at most `bound` counters (bound at least 1) using the key
// type's hash and comparison; destroy (may be null) releases a counter's data
// when it is evicted or the list is destroyed. Null when bound is below 1,
// a function is missing or memory fails. The caller frees it with
// topk_list_destroy.
topk_list_t *topk_list_init(int bound, topk_hash_fn hash, topk_compare_fn compare,
                            topk_destroy_fn destroy);

// Offers a new group whose key (pointing into data) is not in the list yet.
// Returns -1 when it was admitted (the list owns data from then on: a free
// place, or the oldest lowest counter evicted, its data destroyed), 1 when
// it was absorbed instead (the lowest counts drop by one; the caller keeps
// data and destroys it), 0 on failure (null list or key; data untouched).
// The list has room for every counter and group it can need, so a valid
// offer never fails. REQUIRES: key is not in the list (topk_list_lookup
// first).
int topk_list_add(topk_list_t *list, const void *key, void *data);

// The data of the counter with that key, after adding 1 to its count; null
// when absent (or list null).
void *topk_list_lookup(topk_list_t *list, const void *key);

// Number of counters; also places the read-out cursor on the highest one.
int topk_list_num_counters(topk_list_t *list);

// Data and count (*count) of the counter at rank index (0 = highest count;
// among equal counts the one that reached the count last comes first). The
// cursor walks from where it stands, so reading ranks in order is linear.
// REQUIRES: topk_list_num_counters was called after the last change. Null
// (and *count untouched) when index is out of range or the cursor unset.
void *topk_list_get_counter(topk_list_t *list, int index, int64_t *count);

// Frees every counter, calling destroy_data for each counter's data, then
// the hash and the list. Null-safe.
void topk_list_destroy(topk_list_t *list);
