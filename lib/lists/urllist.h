// URL lists: entries (URLs as trees of token hashes, path-only and
// query-only URLs, IP addresses and ranges, SHA-1 digests, file extensions,
// keywords, regular expressions, policy event types and one default entry),
// each with an action, loaded from list files and looked up for URLs.
//
// Model and loading live here; lookups, the entry texts of diagnostic
// lookups and the dump in lib/lists/urllist_lookup.h.
//
// A list created with URLLIST_FLAG_LOCKED takes its reader-writer lock for
// every add (write) and every lookup (read). Without the flag it does no
// locking: fill it from one thread, then share it read-only.
//
// Entry data (URLLIST_ITEM_DATA) is owned by the list: tree nodes share one
// record by reference count; the other kinds own theirs alone.
#pragma once

#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/record/category.h"
#include "lib/lists/extlist.h"
#include "lib/lists/iplist.h"
#include "lib/lists/keywordlist.h"
#include "lib/base/rwlock.h"
#include "lib/lists/urllist_action.h"
#include "lib/lists/urllist_explode.h"

// Result codes.
#define URLLIST_SUCCESS 0
#define URLLIST_ERROR_NULL (-1)
#define URLLIST_ERROR_MEMORY (-2)
#define URLLIST_ERROR_URLEXPLODE (-3)
#define URLLIST_ERROR_FILE (-4)
#define URLLIST_ERROR_REGEXP (-5)
#define URLLIST_ERROR_TYPE (-6)
#define URLLIST_ERROR_EXTLIST (-7)
#define URLLIST_ERROR_KEYWORDLIST (-8)
#define URLLIST_ERROR_ACTION (-9)
#define URLLIST_ERROR_EVENTTYPE (-9)
#define URLLIST_DUPLICATE_ENTRY (-10)
#define URLLIST_ERROR_SERIALCRYPT (-11)

#define EXT_HASH_SIZE 50

// List flags.
#define URLLIST_FLAG_NONE 0
#define URLLIST_FLAG_LOCKED 1         // the list has its reader-writer lock
#define URLLIST_FLAG_NO_DEF_ACTION 2  // lookups ignore the default entry

// Hints of list files: which action a line without one gets.
#define URLLIST_FILE_HINT_ALL_DENY 1
#define URLLIST_FILE_HINT_ALL_ALLOW 2
#define URLLIST_FILE_HINT_ALLOW_DENY 3
#define URLLIST_FILE_HINT_ONLY_CATEGORY 4
#define URLLIST_FILE_HINT_ALL_URL 5

// Query entry flags.
#define URLLIST_QI_DUPS 1    // an element occurs twice
#define URLLIST_QI_NOCASE 2  // case-insensitive
#define URLLIST_QI_ANCHOR 4  // the entry text had an anchor

typedef enum _ul_disbalance { ULD_LOW = 0, ULD_NONE = 1, ULD_HIGH = 2 } UL_DISBALANCE;

struct _urllist_query_tree;

// One tree node. Nodes are allocated with room for their trailing text.
typedef struct _urllist_item {
  myhash_t hash;  // the token's hash (of the lower-cased text in a case-insensitive node)
  struct _urllist_item *parent, *high, *low;  // place in the sibling tree (AVL)
  struct _urllist_item *child;           // tree of exact children
  struct _urllist_item *nocase_child;    // tree of case-insensitive first path segments
  struct _urllist_item *wildcard_child;  // the child for "*" or for all ports (further kinds chained by high)
  URLLIST_ITEM_DATA *data;               // the entry ending here, or null
  struct _urllist_query_tree *queryhead, *queryhead_nocase;  // query entries ending here
  UL_DISBALANCE disbalance;
  UrlPart itemtype;
  short nocase;  // 1 in a case-insensitive entry's path nodes; 2 in a port node given as a hash
  unsigned short port_lower, port_upper;  // a port node's range
  char item[1];  // port nodes: the port text; IP items: the address or range text; else ""
} URLLIST_ITEM;

// A query entry.
typedef struct _urllist_query_item {
  int flags;  // URLLIST_QI_
  int names;  // name-only elements
  char *querydata;  // null once built
  myhash_t *hash;       // full hash per element
  myhash_t *name_hash;  // name hash per element (equal to hash for name-only ones)
  size_t queryelements;
  URLLIST_ITEM_DATA *data;
} URLLIST_QUERY_ITEM;

// Query entries ending at one node.
typedef struct _urllist_query_tree {
  // element hash -> the items holding that element, more elements first
  std::unordered_map<int64_t, std::vector<URLLIST_QUERY_ITEM *>> querytree;
  std::vector<URLLIST_QUERY_ITEM *> querylist;  // every item; owns them
} URLLIST_QUERY_TREE;

// A regular-expression entry.
typedef struct _urllist_re_item {
  struct _urllist_re_item *next;
  URLLIST_ITEM_DATA *data;
  regex_t exp;
  int nocase;
  char *strexp;  // the pattern text
} URLLIST_RE_ITEM;

// Digests (a length byte and the bytes) -> entry data.
typedef std::map<std::string, URLLIST_ITEM_DATA *, std::less<>> urllist_digest_tree;
// Scheme keys (16 hex digits of the scheme hash) -> IP lists.
typedef std::map<std::string, iphead *, std::less<>> urllist_iplist_map;

typedef int (*urllist_add_callback_fn)(void *data, URLLIST_EXPLODED_URL *urlinfo);
typedef int (*urllist_add_action_callback_fn)(void *data, URLLIST_ITEM_DATA *entry);
typedef void (*urllist_delete_data_fn)(void *data);

typedef struct _urllist {
  URLLIST_ITEM root, path_root, query_root;  // roots of the main, path-only and query-only trees
  URLLIST_RE_ITEM *regexp, *regexp_tail;
  EXTLIST_TABLE *ext_list;          // made on first use
  KEYWORDLIST_TABLE *keyword_list;  // made on first use
  urllist_digest_tree *digest_list;  // made on first use
  URLLIST_ITEM_DATA *default_data;
  URLLIST_ITEM_DATA **event_types_data;  // 9 slots, made on first use
  int flags;
  int loaded_count, total_count;
  int loaded_url_count, total_url_count;
  int loaded_scheme_count, total_scheme_count;
  int loaded_path_count, total_path_count;
  int loaded_query_count, total_query_count;
  int loaded_regexp_count, total_regexp_count;
  int loaded_ext_count, total_ext_count;
  int loaded_keyword_count, total_keyword_count;
  int loaded_multi_keyword_count, total_multi_keyword_count;
  int loaded_word_count, total_word_count;
  int loaded_multi_word_count, total_multi_word_count;
  int loaded_digest_count, total_digest_count;
  int loaded_eventtype_count, total_eventtype_count;
  urllist_iplist_map *iplists;  // scheme key (hex of the scheme hash) -> IP list
  iphead *wildcard_iplist;             // IP entries without scheme
  URLLIST_ITEM *ipitems;               // every IP item, newest first, linked by low; owned
  rwlock_t lock;
  urllist_add_callback_fn addcallback;
  void *addcallback_data;
  urllist_add_action_callback_fn add_action_callback;
  void *add_action_callback_data;
  urllist_delete_data_fn delete_data;  // stored only
  CHARSET *charset_data;
} URLLIST;

// A new empty list with flags (URLLIST_FLAG_); null on no memory.
URLLIST *urllist_initialize(int flags);
// As urllist_initialize, also storing delete_data and, for a non-null
// charset name, a character set enabling IDN conversion of entry hosts.
URLLIST *urllist_with_charset_initialize(int flags, const char *charset);
URLLIST *urllist_with_extra_initialize(int flags, urllist_delete_data_fn delete_data, const char *charset);
URLLIST *urllist_with_data_initialize(int flags, urllist_delete_data_fn delete_data);

// Frees the list and everything it owns; null-safe. No lookup may run.
void urllist_terminate(URLLIST *l);

// Adds entry url of type word type (null or empty: guessed from the text)
// with the action act and its argument args (may be null); ttl is the
// absolute expiry (0 or less: never). 0 (also for a duplicate), -1 for a
// null l, url or act, -9 for an unknown action or bad argument, else the
// negative code of the failing step. Nothing is kept from the arguments.
int urllist_add(URLLIST *l, const char *url, const char *type, const char *act, const char *args, time_t ttl);
// As urllist_add with the category action of the text categories ("1,5");
// -2 when it yields no category.
int urllist_add_category_string(URLLIST *l, const char *item, const char *type, const char *categories,
                                time_t ttl);
// As urllist_add with a copy of cat; -1 when it cannot be copied.
int urllist_add_category(URLLIST *l, const char *url, const char *type, const cat_t *cat, time_t ttl);
// As urllist_add with action UA_NONE and data as the action data (stays the
// caller's: the list never frees it).
int urllist_add_data(URLLIST *l, const char *url, const char *type, void *data, time_t ttl);

// Adds every line of a text list file (lines starting with '#' and empty
// lines skipped). 0 when read to its end, -1 for a null l or file, -4 when
// it cannot be opened, -2 when a line cannot be split (reading stops).
int urllist_add_file(URLLIST *l, const char *file, int hint);
// Appends newbuf to the caller's growing heap buffer (*buffer, *bufferSize
// its text length; *buffer may start null), adds every complete line as
// urllist_add_file does and keeps the unfinished last line at the buffer's
// start. 0, -1 for null arguments, -2 when a line cannot be split or
// memory runs out. The caller frees *buffer.
int urllist_add_buffer(URLLIST *l, const char *newbuf, char **buffer, int *bufferSize, int hint);
// Adds one list-file line (see the hint table of the loader). -2 when the
// line cannot be split, else 0 whether or not its entry was added.
int urllist_add_line(URLLIST *l, const char *line, int hint);

// Sets (func null: clears) the callback called with data and the exploded
// entry before each main-tree entry with a plain-text host is added; the
// exploded URL is only valid during the call. Null l is ignored.
void urllist_set_addcallback(URLLIST *l, urllist_add_callback_fn func, void *data);
// Sets the callback called with data and the entry's data after each entry
// the list took; a negative return turns the add into a memory failure.
// data stays the caller's. Null l is ignored.
void urllist_set_add_action_callback(URLLIST *l, urllist_add_action_callback_fn func, void *data);

// The default entry's data (owned by the list), or null.
URLLIST_ITEM_DATA *urllist_get_default_data(URLLIST *l);

// *offset = domains_num + 2, *number = paths_num; 1 when the URL has no path
// token, else 0.
int urllist_parent_url_path_offset_number(const URLLIST_EXPLODED_URL *info, int *offset, int *number);

// The IP list of a scheme (looked up by the hex text of its hash), or a new
// one for urllist_add_iplist_for_scheme; null when absent or on failure.
iphead *urllist_find_iplist_for_scheme(URLLIST *l, const char *scheme);
iphead *urllist_add_iplist_for_scheme(URLLIST *l, const char *scheme);

