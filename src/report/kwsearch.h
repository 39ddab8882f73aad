// The keyword search engine all report runs share: one rule per line of the
// keyword list file, the line's category name as the rule's data. A run
// asks for the data words of a text: the listed words that occur in it,
// each with its category.
//
// Keyword file KWSEARCH_FILE below the install root: a name ending in
// ".kxz" is read through the enciphered reader, any other as plain lines.
// A line: category name, blanks or tabs, an unused word, blanks or tabs,
// then the query. Empty lines and lines beginning with "#" are skipped.
//
// Sharing: the current engine is handed out as a shared_ptr taken under
// current_engine_lock; a reload swaps it under the same lock, so an engine
// is destroyed exactly once, by whoever drops the last reference, and never
// while a run still holds it. A compiled engine is read-only: any number of
// threads search it at once, each with its own search state.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "libsearch/query_search.h"

#define KWSEARCH_FILE "/var/lib/lists/kxproxykwscan.kxz"

struct kwsearch_engine {
  query_search_engine *engine = nullptr;  // owned
  std::deque<std::string> details;        // category names; rules point at them
  kwsearch_engine() = default;
  kwsearch_engine(const kwsearch_engine &) = delete;
  kwsearch_engine &operator=(const kwsearch_engine &) = delete;
  ~kwsearch_engine() { query_search_engine_destroy(engine); }
};

// What the line callback gets.
struct kwsearch_cb_data {
  query_search_engine *engine;
  std::deque<std::string> *details;
};

// A reference to the current engine, loading it on first use. Null when
// none can be loaded; after a failed first load no load is tried again
// until a reload succeeds.
std::shared_ptr<kwsearch_engine> kwsearch_get_engine();

// Gives a reference back (the last holder of a replaced engine destroys it).
void kwsearch_release_engine(std::shared_ptr<kwsearch_engine> &engine);

// Loads a fresh engine from the keyword file and makes it current; a failed
// load keeps the current engine (logged). 0 on success, 1 on failure.
int kwsearch_reload_file();

// Drops the current engine and clears the load-failed flag (shutdown).
void kwsearch_terminate();

// The data-words text of text: for each word reported, in report order and
// separated by ", ": "<the text's word>":"<category>". A new heap text the
// caller frees, or null when no keyword occurs, engine or text is null, or
// memory runs out.
char *kwsearch_get_words(const kwsearch_engine *engine, const char *text);

// An empty engine (no templates), or null when memory runs out (logged).
// Destroy it with kwsearch_destroy_engine.
kwsearch_engine *kwsearch_new_engine();
void kwsearch_destroy_engine(kwsearch_engine *engine);

// Loads the file (a name below the install root) into the engine and
// compiles it. A file that cannot be opened gives an engine without rules
// (success); a failed enciphered read keeps the lines delivered. 0 on
// success, 1 on failure (memory, compilation).
int kwsearch_load_file(kwsearch_engine *engine, const char *file);

// Adds one keyword line (cb_data: a kwsearch_cb_data). 0 to go on (also for
// a skipped or refused line, logged), -1 when memory runs out.
int kwsearch_add_line(char *line, void *cb_data);
