// The lists and maps all report runs share: the domain list and the
// search-term list (URL lists loaded from the install root, replaced on a
// reload), the category groups and the per-language category orders learned
// from the web administration's category script.
//
// Files below the install root: REPORT_DOMAIN_LIST_FILE (one URL-list entry
// per line), REPORT_SEARCH_TERMS_FILE (list-file syntax) and the script
// REPORT_CATEGORY_SCRIPT, run with one language argument; it prints one line
// per category in display order: the category number, then its group
// numbers, each after one blank.
//
// Sharing: a run takes a reference (a shared_ptr it keeps in the REPORT)
// under loaded_lists_lock, a reload swaps the current list under the same
// lock, and the list is freed by whoever drops the last reference: a reload
// or the stop path never frees a list a running report still holds, and no
// list is ever freed twice. A published list is never changed. The category
// maps are guarded by one mutex and held by runs the same way.
#pragma once

#include <memory>

#include "src/report/report.h"

#define REPORT_DOMAIN_LIST_FILE "/var/lib/lists/reportdomains.dat"
#define REPORT_SEARCH_TERMS_FILE "/var/lib/lists/reportsearchterms.dat"
#define REPORT_CATEGORY_SCRIPT "/webadmin/bin/kxreporter_get_categories.php"
#define REPORT_DEFAULT_LANGUAGE "en_US"
#define REPORT_CATEGORY_MAX_GROUPS 16

// One shared URL list (created without its own lock; read-only once
// published). Frees the list when the last reference goes.
struct loaded_list {
  URLLIST *list = nullptr;  // owned
  loaded_list() = default;
  loaded_list(const loaded_list &) = delete;
  loaded_list &operator=(const loaded_list &) = delete;
  ~loaded_list() { urllist_terminate(list); }
};

// Loads both lists and the category groups with the "en_US" order. Called
// once at start-up before the first report (again after
// report_definition_terminate). Returns -1 (a missing file is not a
// failure: that list is then absent).
int report_definition_initialize();

// Loads both lists afresh and makes each current (a failed load keeps the
// current list, logged), then reloads the keyword engine. Category groups
// and orders are not reloaded. Main thread.
void report_definition_reload_lists();

// Drops the current lists, both category maps and the keyword engine.
// Whatever a running report still holds stays valid until it is freed.
void report_definition_terminate();

// The URL list of the run's reference, taking the reference (the current
// list, possibly none) on first call. Null when none is loaded.
URLLIST *report_definition_get_domain_global_list(REPORT *rep);
URLLIST *report_definition_get_search_terms_list(REPORT *rep);

// Sets rep->cats to the order map of the definition's language (def->lang,
// "en_US" when none), running the category script once for a language not
// seen before. A language outside letters, digits and "_-.@" is refused
// (logged) and the run gets no order; so does a run when the category maps
// were never loaded or the script fails.
void report_definition_get_category_ordering(REPORT *rep);

// Sets rep->category_groups to the shared group map (none when loading
// failed).
void report_definition_get_category_groups(REPORT *rep);

// A new loaded_list holding an empty URL list of flags 0; null when memory
// runs out. Free it with report_definition_loaded_list_terminate.
loaded_list *report_definition_new_loaded_list();
void report_definition_loaded_list_terminate(loaded_list *list);

// Load a fresh list from its file; none (null) when the file is missing or
// memory runs out (logged).
std::shared_ptr<loaded_list> report_definition_load_domain_list();
std::shared_ptr<loaded_list> report_definition_load_search_terms_list();

// Runs the script for "en_US" and builds the category groups and the
// category-order maps with the "en_US" order. 0 on success; -1 on failure,
// which leaves neither map.
int report_definition_load_category_groups();

// One line of the category script's output: a line that begins with a
// category number gets the next position (*position, counted from 1) in
// order and, when groups is given and the number is followed by
// blank-separated group numbers, its groups (at most
// REPORT_CATEGORY_MAX_GROUPS; more are logged and dropped). Other lines
// are ignored. Throws std::bad_alloc.
void report_definition_parse_category_line(const char *line, uint32_t *position, category_order_map *order,
                                           category_group_map *groups);

// The key order of the category maps.
int report_definition_cat_cmp(uint32_t a, uint32_t b);

// True when lang is a non-empty text of letters, digits, "_", "-", "." and
// "@" only: a language that may be handed to the script.
bool report_language_is_safe(const char *lang);
