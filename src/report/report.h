// The report run (REPORT) and the parsed-definition records that hang from
// it. A run is created by the main loop when it claims a job, filled and
// used by the one worker thread that runs it, and freed by free_report when
// the run ends. Only the shared lists, maps and keyword engine it references
// are shared with other threads; the run holds its own reference to each, so
// a reload or the stop path never frees one that the run still uses.
#pragma once

#include <regex.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "lib/lists/urllist.h"
#include "lib/record/category.h"
#include "lib/record/record.h"
#include "src/report/period.h"
#include "src/support/settings.h"

// Report kinds.
#define REPORT_DEMAND 1
#define REPORT_SCHEDULED 2
#define REPORT_CONTINUOUS 3

// Shared objects a run references (src/report/reportlists.h,
// src/report/kwsearch.h) and the run's own derivation cache
// (src/report/fields.h).
struct FILTER_RULE;  // src/report/filter.h
struct GROUP_TREE;   // the grouping engine
struct TABLE;        // src/table/table_head.h
struct loaded_list;
struct kwsearch_engine;
struct report_field_cache;
struct report_field_cache_deleter {
  void operator()(report_field_cache *c) const;  // defined in fields.cc
};

// Category number -> 1-based display position in one language.
using category_order_map = std::map<uint32_t, uint32_t>;
// Category number -> its group numbers, the vector ended by a 0 (so that
// data() is a 0-terminated array), for the categories that have groups.
using category_group_map = std::map<uint32_t, std::vector<uint32_t>>;

// How a definition derives the domain of a host.
#define DOMAIN_TYPE_LISTS 1
#define DOMAIN_TYPE_REGEXP 2
struct DOMAIN_DEFINITION {
  int type = 0;               // DOMAIN_TYPE_LISTS or DOMAIN_TYPE_REGEXP
  regex_t regexp{};           // compiled (REG_EXTENDED, with captures) when regexp_set
  bool regexp_set = false;
  int regexp_part = 0;        // capture group that gives the domain; 0 = whole match
  URLLIST *list = nullptr;    // the definition's own domains, owned (may be null)
  URLLIST *global_list = nullptr;  // the shared domain list, not owned (may be null)
};

// One sort key of a group level; an array of them ends with field 0.
struct SORT_OPTION {
  unsigned char field;  // field id
  signed char order;    // 1 ascending, -1 descending
};

// One view of a group level's results (what the web interface draws); a
// list in text order. Plain data: a node and its field ids are one malloc
// block, freed with report_definition_free_view_options.
#define VIEW_BAR_3D 0
#define VIEW_BAR_2D 1
#define VIEW_LINE 2
#define VIEW_PIE 3
#define VIEW_SUMMARY 4
#define VIEW_DETAIL 5
#define VIEW_LAYOUT 6
#define VIEW_RAW 7
struct VIEW_OPTION {
  VIEW_OPTION *next;
  int type;  // VIEW_*
  int recs, trendline, show_details, show_totals, legend_type, clickable_flag, bar_type, show_count,
      include_parents, horizontal, show_headers, trendfields;
  unsigned char *fields;  // field ids ended by 0, in the node's own block
};

// One group level of a definition.
#define GROUP_TYPE_SUMMARY 1
#define GROUP_TYPE_DETAIL 2
struct REPORT_GROUP {
  int type = 0;                      // GROUP_TYPE_SUMMARY, GROUP_TYPE_DETAIL (0: invalid)
  unsigned char groupby = 0;         // field id of the key
  unsigned char *summary = nullptr;  // malloc, 0-terminated field ids
  int catgroup = 0;                  // category-group restriction
  int topk = 0;                      // size of the top-k list, 0: none
  unsigned char *details = nullptr;  // malloc, 0-terminated field ids
  SORT_OPTION *orderby = nullptr;    // malloc, ended by field 0; null: no order
  VIEW_OPTION *view = nullptr;       // owned list
  FILTER_RULE *threshold = nullptr;  // owned tree
  int threshold_reached = 0;         // set by the level's processing
};

// The parsed definition of a report.
struct REPORT_DEFINITION {
  DOMAIN_DEFINITION *domain = nullptr;  // owned, or none
  char *lang = nullptr;                 // owned; null means "en_US"
  FILTER_RULE *filter = nullptr;        // owned filter tree; null: every record passes
  cat_t *cat_filter = nullptr;          // owned: categories of the last category rule
  REPORT_GROUP **group = nullptr;       // owned, null-terminated, in text order
  char *tz = nullptr;                   // owned report time zone, or none
  int btime = 0;                        // browse-time interval (metadata key "52")
  int cats_group_option = 0;            // low byte the option, the bits above a category
  int email_test = 0;                   // non-zero for an e-mail test
};

struct REPORT {
  reporter_settings *settings = nullptr;  // the daemon's, not owned
  int report_id = 0;
  int report_type = 0;  // REPORT_DEMAND, REPORT_SCHEDULED, REPORT_CONTINUOUS
  int file_id = 0;      // names the run's store directories
  int db = 0;           // database handle of the run
  char *root_path = nullptr;  // owned: instance directory, ends with "/"
  char *temp_path = nullptr;  // owned: temporary directory, ends with "/"
  char *name = nullptr;       // owned copies of the job's name and login
  char *owner = nullptr;
  REPORT_DEFINITION *def = nullptr;  // owned
  char *table = nullptr;             // owned: result table name of a continuous report
  // Owned: the file extensions of html_extensions (pages, not files),
  // sorted by strcasecmp; search them with report_is_html_extension.
  char **html_extensions = nullptr;
  int html_extensions_size = 0;

  URLLIST *searchterms = nullptr;  // the shared search-term list when needed, not owned
  const category_order_map *cats = nullptr;            // order of the definition's language
  const category_group_map *category_groups = nullptr;  // shared group map, or none
  const Record *type_hints = nullptr;                   // not owned
  uint32_t default_cat = 0;

  // References this run holds (given back by free_report).
  std::shared_ptr<loaded_list> domains_list;
  std::shared_ptr<loaded_list> search_terms_list;
  std::shared_ptr<kwsearch_engine> keyword_search_engine;
  std::shared_ptr<const category_order_map> cats_ref;
  std::shared_ptr<const category_group_map> category_groups_ref;

  time_t start = 0, end = 0;  // report period
  time_t next_run_time = 0;
  int run_interval = 0;
  // The run's time zone for its period, buckets and day-time tests
  // (report_load_zone); never the process TZ.
  report_tz zone = report_tz::process();
  time_t process_start = 0;

  char *error = nullptr;  // owned: the recorded error text, null while none
  long long size_report = 0, size_written = 0, size_temp = 0;
  unsigned int cur_rep_count = 0, cur_temp_count = 0;
  std::atomic<int> cancel{0};  // set by the main loop, read by the worker
  int index_fd = -1, index_fd_read = -1;
  long long recs_todo = 0, recs_done = 0;  // progress: records of the period, records read
  REPORT *prev_task = nullptr;  // neighbours in a scheduled batch
  REPORT *next_task = nullptr;
  REPORT *next_report = nullptr;  // link in the registry of running reports
  int sort = 0;                    // 1 while the external sort runs
  long long sort_todo = 0, sort_done = 0;  // sort progress (rows)

  // State of the step being run; opened and closed by the steps themselves.
  REPORT_GROUP *group_def = nullptr;  // the group level being processed
  GROUP_TREE *groups = nullptr;       // grouping state of a summary level
  TABLE *input = nullptr, *output = nullptr, *spill = nullptr;
  char *input_file_name = nullptr, *output_file_name = nullptr, *spill_file_name = nullptr;
  RECORD *outrec = nullptr;            // output row of a detail level
  unsigned char *srctypes = nullptr;  // per output column the input field it copies

  // Tells this run's derived values in a shared row from another run's
  // (reports of a scheduled batch read the same rows); never 0.
  uint16_t derive_stamp = 0;
  // Host-to-domain and URL-to-search-terms results of this run, bounded.
  std::unique_ptr<report_field_cache, report_field_cache_deleter> field_cache;
};

// A new run with the given values, copies of name and owner, both queue
// descriptors -1 and process_start = now. Null when name or owner is null or
// memory runs out (nothing is left allocated). Also connects the report
// table writer to the runs' settings and size limits.
REPORT *new_report_initialize(int report_type, int report_id, const char *name, const char *owner,
                              time_t next_run_time, int run_interval, int db, reporter_settings *settings);

// Frees the run and everything it owns, and gives back its references to
// the shared lists, maps and keyword engine (the last holder of a replaced
// one frees it). Null-safe.
void free_report(REPORT *rep);

// Frees a definition and everything it owns (src/report/definition.cc).
// Null-safe.
void free_report_definition(REPORT_DEFINITION *def);

// Frees a domain definition: its own list and its expression. Null-safe.
void free_domain_definition(DOMAIN_DEFINITION *dd);
