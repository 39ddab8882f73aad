// Group records, next-level detail tables, the report queue file and spill
// rows of the grouping engine (src/report/group.h).
//
// Report queue file: an anonymous temporary file of the run (rep->index_fd
// for writing), a sequence of entries without header or count, each
//   path   the absolute path of a next-level detail table, NUL-terminated
//   level  int32, little-endian: the group level the table feeds (the
//          writing level's index + 1)
// appended as groups are created (a top-k level appends its survivors' when
// it writes, so an evicted group never leaves an entry behind).
//
// Detail and spill rows: a layout built once per tree from the group levels
// from a start level to the last; per record its entries point at the input
// row's values, at values derived from them (stored in the row by
// src/report/fields.h), at the layout's own field-49 byte and category
// texts, or at fixed defaults, so filling a row allocates nothing.
#pragma once

#include <stdint.h>

#include <memory>

#include "src/report/group.h"

// A new group record of gl for the key value *data (storage form), with a
// next-level detail table (write buffer buff_size) and a queue entry on
// index_fd when gl saves details. Charges its size to the report size.
// Null on failure (a detail-table or size error is recorded; the caller
// records its own text when the run has none).
GROUP_INDEX *group_make_summary(GROUP_TREE *gl, TABLE *input, int buff_size, REPORT *rep, const void *data,
                                int index_fd);

// Frees a group record that is not (or no longer) in its tree: its detail
// table is closed; unless its tree is being terminated the table's file is
// removed and the record's charged sizes given back. The top-k destructor.
void group_destroy_item(void *data);

// Appends the queue entry of item's detail table (level gl->group_level + 1)
// to index_fd and charges its bytes to the temporary size. -1, or 0 when the
// charge or the write failed. Nothing to do (-1) without a table or fd.
int group_write_queue_entry(REPORT *rep, GROUP_TREE *gl, GROUP_INDEX *item, int index_fd);

// The layout of rows for the levels from grp_pos on, typed from rec/map and
// the type hints; *mask gets bits 1 and 2 of the levels' analysis masks.
// Null on failure ("Error 10301: (group) Unknown group type %d" recorded
// for a level that is neither SUMMARY nor DETAIL; nothing for memory).
std::unique_ptr<group_layout> group_init_spill_record(REPORT *rep, int grp_pos, RECORD *rec, unsigned char *map,
                                                      int *mask);

// Points every entry of layout at its value for one input row. -1, or 0
// with "Error 10304: (group) Error preparing next group data from source
// field" recorded when a derivation fails.
// `known`, when given, is the row's analysis already made with at least the
// layout's mask (the record step analyses once for both uses).
int group_prep_temp_data(RECORD *rec, unsigned char *map, group_layout *layout, REPORT *rep, GROUP_TREE *gl,
                         const GROUP_ANALYZE *known = nullptr);

// The value of entry id derived from the row's source field: host (32),
// protocol (46, from the URL), domain (48), search terms (53), data words
// (70), the categories of 5 or 54 as text (60, 61). "-" when a known
// derivation gives nothing; null for any other id. The text stays valid
// until the row is read past (protocol: until the next call).
const char *get_temp_data_from_source(REPORT *rep, int id, RECORD *rec, unsigned char *map);

// Writes one next-level detail row of the input row into item's table,
// charging its length to the temporary size. -1, or 0 ("Error 10307:
// (group) Error when writing a next group level record" or a size error).
int save_temp_data(RECORD *rec, unsigned char *map, REPORT *rep, GROUP_TREE *gl, GROUP_INDEX *item,
                   const GROUP_ANALYZE *known = nullptr);
// The detail row already prepared in gl->datarec (group_prep_temp_data)
// written to item's detail table; the layout is not reset. For a row counted
// under several groups (categories), prepared once. -1 or 0.
int save_prepared_temp_data(REPORT *rep, GROUP_TREE *gl, GROUP_INDEX *item);
// The mask a row's analysis needs for the level and its detail rows.
int group_record_mask(const GROUP_TREE *gl);

// Writes one spill row of the input row to the run's spill table, opening
// it on first use (its name in rep->spill_file_name). -1, or 0 with 10409,
// 10410, 10439 or a size error recorded.
int group_save_spill_record(REPORT *rep, GROUP_TREE *gl, RECORD *rec, unsigned char *map);

// Clears the values of a layout's entries.
void group_reset_temp_data(group_layout *layout);

// The request property bits (GROUP_PROP_*) of a row, by gl's
// spill_analyze_mask.
uint8_t make_request_prop_data(REPORT *rep, GROUP_TREE *gl, RECORD *rec, unsigned char *map);

// The category numbers of a byte list as "3,17,200" into buf (size bytes,
// NUL-terminated); a number that does not fit, with its comma, is left out
// and ends the text. Returns buf.
char *group_category_text(const unsigned char *bytes, char *buf, size_t size);

// Frees a group record with its table (closed), file name and counters;
// the file stays (a block of the tree's chunks is released with the tree).
// false when the table failed to close.
bool group_free_item(GROUP_INDEX *item);

// A block of size bytes for a new group record of gl, aligned to
// GROUP_BLOCK_ALIGN: from the tree's chunks when gl frees its records only
// as a whole (*pooled set), else its own allocation. Null when memory runs
// out.
void *group_record_block(GROUP_TREE *gl, size_t size, bool *pooled);

// Gives the tree's chunks back to the thread's spares (or frees them).
void group_release_chunks(GROUP_TREE *gl);

// The category a group of an output-8/62 level is kept under: the run's
// default category for a non-zero number outside the run's display order
// (when it has one), else the number itself.
uint32_t group_display_category(const REPORT *rep, uint32_t cat);
