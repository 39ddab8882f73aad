// URL list lookups: the live entry that governs a URL, the text of that
// entry for diagnostic lookups, and the dump of a list's main tree.
//
// Every lookup returns 0 when an entry was found and 1 when not (also for a
// null list or URL). ret_data and listurl may be null; a returned entry
// text is a new heap string the caller frees. An entry whose ttl is
// positive and earlier than current_time is expired and treated as absent.
//
// A lookup writes derived values (lower-cased hashes and texts, query
// element hashes, digest, normalised URL) into the exploded URL, computed at
// most once per exploded URL: one exploded URL must not be looked up by two
// threads at once; the list itself is only read.
#pragma once

#include <cstdio>

#include "lib/lists/urllist.h"

// Full order: path-only tree, query-only tree, main tree (IP hosts from
// their IP lists), digest, extension, keywords, regular expressions, default.
int urllist_lookup_data(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data);
int urllist_lookup_diag(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data, char **listurl);
// As urllist_lookup_data without taking the lock; for callers that hold it.
int urllist_lookup_data_unlocked(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data);
// The main-tree walk only.
int urllist_lookup_data_urlonly(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data);
int urllist_lookup_diag_urlonly(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data, char **listurl);

// For a text that is not a URL: keywords, regular expressions, default.
// The normalised copy of str is taken from *nocase_str when set, else made
// and handed back in *nocase_str (when nocase_str is given; the caller
// frees it) or freed.
int urllist_lookup_string_data(URLLIST *l, const char *str, char **nocase_str, void **ret_data);
int urllist_lookup_string_diag(URLLIST *l, const char *str, char **nocase_str, void **ret_data, char **listurl);

// The event-type entry of policy event type index (0 to 8); the entry text
// is the type's name.
int urllist_lookup_num_data(URLLIST *l, int index, void **data);
int urllist_lookup_num_diag(URLLIST *l, int index, void **data, char **listurl);

// Full lookup, then the entry's categories merged into cat_buff; 0 only
// when an entry was found and it is a category entry.
int urllist_lookup_category(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, cat_t *cat_buff);

// Prints the entries of the main tree that have a scheme to standard output
// as hashed list lines ("<hashes> Uh <action>").
void urllist_dump(URLLIST *l);
// As urllist_dump into out.
void urllist_dump_file(URLLIST *l, FILE *out);

// --- Shared with the loader -------------------------------------------

// Live entry data: present, not expired, and with an action that can act.
bool urllist_data_live(const URLLIST_ITEM_DATA *d);

// The node of the sibling tree rooted at root that matches token tk, or
// null (case-insensitive trees compare lower-cased hashes; port nodes take
// the URL's port number within their range).
URLLIST_ITEM *urllist_tree_search(URLLIST_ITEM *root, URLLIST_EXPLODED_URL *urlinfo, URLLIST_TOKEN *tk);

// The token's lower-cased hash, computed on first use (for tokens of the
// authority it is the hash itself).
myhash_t urllist_token_nocase_hash(URLLIST_EXPLODED_URL *urlinfo, URLLIST_TOKEN *tk);

// Most elements a query text (of an entry or of a URL) is split into.
constexpr size_t URLLIST_MAX_QUERY_ELEMENTS = 4999;

// Full and name hashes of the query element e (NUL-terminated): an element
// without '=' or ending in its only '=' is a name alone, and both hashes are
// then the name's. Returns whether it is a name alone.
bool urllist_query_element_hash(const char *e, myhash_t *full, myhash_t *name);

// The query entry under head with exactly the elements of q (full hashes,
// same count), or null.
URLLIST_QUERY_ITEM *urllist_query_find_exact(URLLIST_QUERY_TREE *head, const URLLIST_QUERY_ITEM *q);
