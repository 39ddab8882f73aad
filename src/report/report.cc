#include "src/report/report.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "src/report/fields.h"
#include "src/report/kwsearch.h"
#include "src/report/report_load.h"
#include "src/report/reportlists.h"
#include "src/report/status.h"

namespace {

// 15 bits: the stamp shares the flags of a row entry with the owned bit.
uint16_t next_derive_stamp() {
  static std::atomic<unsigned> counter{0};
  unsigned n = counter.fetch_add(1, std::memory_order_relaxed);
  return static_cast<uint16_t>(n % 0x7FFF + 1);
}

}  // namespace

REPORT *new_report_initialize(int report_type, int report_id, const char *name, const char *owner,
                              time_t next_run_time, int run_interval, int db, reporter_settings *settings) {
  if (!name || !owner) return nullptr;
  status_install_table_hooks();
  REPORT *rep = new (std::nothrow) REPORT;
  if (!rep) return nullptr;
  rep->name = strdup(name);
  rep->owner = strdup(owner);
  if (!rep->name || !rep->owner) {
    free_report(rep);
    return nullptr;
  }
  rep->report_type = report_type;
  rep->report_id = report_id;
  rep->next_run_time = next_run_time;
  rep->run_interval = run_interval;
  rep->db = db;
  rep->settings = settings;
  rep->process_start = time(nullptr);
  rep->derive_stamp = next_derive_stamp();
  return rep;
}

void free_domain_definition(DOMAIN_DEFINITION *dd) {
  if (!dd) return;
  urllist_terminate(dd->list);
  if (dd->regexp_set) regfree(&dd->regexp);
  delete dd;
}

// free_report_definition is in src/report/definition.cc, with the parser
// that builds what it frees.

void free_report(REPORT *rep) {
  if (!rep) return;
  free(rep->name);
  free(rep->owner);
  free(rep->root_path);
  free(rep->temp_path);
  free(rep->error);
  free(rep->table);
  report_free_html_extensions(rep);
  free_report_definition(rep->def);
  // Members release the shared references: the last holder of a list or
  // engine that a reload replaced frees it here.
  delete rep;
}
