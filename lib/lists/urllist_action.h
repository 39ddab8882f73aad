// List-entry actions: what a URL list says about a URL that matches one of
// its entries (allow, deny, categories, another list, or a rewritten URL,
// text or header lines), parsed once from the list file, applied on hits.
//
// Parsing runs while the list is being loaded; applying only reads the
// action data and returns fresh results, so any number of threads may apply
// the actions of a published list at once.
#pragma once

#include <pcre.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "lib/record/category.h"

typedef enum _urlaction {
  UA_NONE = 0,
  UA_DENY = 1,
  UA_ALLOW = 2,
  UA_CATEGORY = 3,
  UA_MODQUERY = 4,
  UA_REPLACE = 5,
  UA_REGREPLACE = 6,
  UA_TEXT = 7,
  UA_HEADER = 8,
  UA_LIST = 9,
  UA_UNKNOWN = 10,  // parse results only, never stored
  UA_ERROR = 11
} UrlAction;

// The data of one list entry.
typedef struct _urllist_item_data {
  unsigned int refcount;  // list nodes sharing it (counted and freed by the URL list)
  time_t ttl;             // absolute expiry in Unix seconds; 0 or negative: never
  UrlAction action;
  void *action_data;  // by action: cat_t*, QModData*, SnRData*, RegRData*, char*,
                      // HdrData*, or the list number itself (UA_LIST)
} URLLIST_ITEM_DATA;

#define MAX_QUERY_MOD 64
#define MATCH_VECTOR_SIZE 60  // ints of the PCRE match vector: 20 pairs

#define URLLIST_QM_OP_ADDQUERY 1  // add a query to a URL that has none

#define URLLIST_QM_DELETE 1       // remove
#define URLLIST_QM_NAME_ONLY 2    // remove whatever the value
#define URLLIST_QM_MORE_VALUES 4  // a later item has the same name

// Markers of header lines, for their users (passed through here).
#define ULA_HDR_DEL '-'
#define ULA_HDR_ADD '+'
#define ULA_HDR_REPLACE '?'

typedef struct _qmoditem {
  int flags;         // URLLIST_QM_
  int name_len;      // 0: an item without a value, which takes no part
  int complete_len;
  char *name;        // in search_string
  char *complete;    // in add_string, after any leading '+' or '-'
} QModItem;

typedef struct _qmoddata {
  int num;
  int options;          // URLLIST_QM_OP_ADDQUERY
  char *search_string;  // argument copy, each name cut at its '='
  char *add_string;     // argument copy split at blanks: each item's name=value
  QModItem *items;
} QModData;

typedef struct _snrdata {
  int search_len, replace_len;
  char *search;   // argument copy cut at the first blank
  char *replace;  // the second field, in the same copy
} SnRData;

typedef struct _regrdata {
  char *regexp;     // argument copy cut at the first blank: the expression
  pcre *pattern;    // compiled
  char *replace;    // the replacement template, in the same copy
  int postprocess;  // 'b' Base64-decode, 'u' URL-decode the result; else 0 or inert
  struct _regrdata *next;
} RegRData;

typedef struct _hdrdata {
  int num;       // lines
  int size;      // bytes of the result block
  char **lines;  // num + 1 pointers into text, null-terminated
  int *len;      // line lengths
  char *text;    // argument copy, lines cut in place
} HdrData;

// Decides one name=value pair of a URL's query under the query
// modification q: name is the pair's name (name_len bytes) and value its
// value text from the '=' on (value_len bytes, 0 when the pair has none).
// Items are tried in order; one applies when its name is exactly the pair's
// (items with name_len 0 never do). A delete item removes the pair when it
// is name-only or its value equals the pair's, else leaves it; an add item
// whose value equals the pair's marks used[i] (it is not added again) and
// keeps the pair, one with another value removes the pair (it gives way to
// the item's value). After an outcome the search goes on only while the
// item has URLLIST_QM_MORE_VALUES. used holds at least MAX_QUERY_MOD flags.
// 1 when the pair is removed, 0 when it stays.
int urllist_action_find_mod_pair(const QModData *q, const char *name, size_t name_len, const char *value,
                                 size_t value_len, bool *used);

// The action of an action word's first letter (either case); UA_UNKNOWN for
// any other letter or an empty word.
UrlAction urllist_action_parse_action_type(const char *action_str);

// Parses an action word and its argument text (args may be null: missing).
// Returns the action and sets *data (null for actions without data), or
// UA_UNKNOWN (unknown letter) or UA_ERROR (bad or missing argument, no
// memory) with *data null and nothing kept.
UrlAction urllist_action_parse_action(const char *action_str, const char *args, void **data);

// Applies the entry's action. Results: 1 allow, 2 deny, 3 categories merged
// into cat, 4 *ret_url = a new heap string (rewritten URL or text; the caller
// frees it), 5 *ret_hdr = a new null-terminated line array in one block (the
// caller frees the block), 6 list; -1 for no action, a missing pointer, an
// unchanged URL or no memory (outputs untouched).
int urllist_action_process_action(const URLLIST_ITEM_DATA *urllist_data, cat_t *cat, const char *url,
                                  char **ret_url, char ***ret_hdr);

// Frees action_data by action (not the entry data itself) and clears it.
void urllist_action_data_free(URLLIST_ITEM_DATA *data);

// When both are UA_REGREPLACE: moves data2's chain onto the end of data1's,
// leaves data2 without data and returns 1; else 0.
int urllist_action_append_action_data(URLLIST_ITEM_DATA *data1, URLLIST_ITEM_DATA *data2);

// 1 when ttl is positive and earlier than current_time, else 0.
int urllist_action_expired(const URLLIST_ITEM_DATA *data);

void *urllist_action_get_raw_data(const URLLIST_ITEM_DATA *data);
void urllist_action_set_raw_data(URLLIST_ITEM_DATA *data, void *raw);

// For UA_CATEGORY merges the entry's numbers into cat (when given) and
// returns 1; else 0.
int urllist_action_get_category(const URLLIST_ITEM_DATA *data, cat_t *cat);

// Static name: "no_action", "deny", ... "list"; "unknown" otherwise.
const char *urllist_action_name(const URLLIST_ITEM_DATA *data);

// Writes the action in list-file form (it parses back to the same action)
// into buffer, at most size bytes, always terminated when size > 0.
void urllist_action_dump_action(const URLLIST_ITEM_DATA *data, char *buffer, size_t size);
