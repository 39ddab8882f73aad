#include "src/daemon/registry.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/base/kxraii.h"
#include "lib/runtime/kxsnmp.h"
#include "src/report/report.h"
#include "src/report/tfile.h"

REPORT *processed_reports_head = nullptr;
REPORT *processed_reports_tail = nullptr;
pthread_mutex_t processed_reports_lock = PTHREAD_MUTEX_INITIALIZER;

std::atomic<int> demand_count{0};
std::atomic<int> scheduled_count{0};
std::atomic<int> continuous_count{0};

pthread_mutex_t stats_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> stats_num_dem_processed{0};
std::atomic<int> stats_num_sched_processed{0};
std::atomic<int> stats_num_cont_processed{0};
std::atomic<int> stats_num_mail_sent{0};
std::atomic<int> stats_num_rep_errors{0};
std::atomic<int> stats_num_dem_waiting{0};
std::atomic<int> stats_num_sched_waiting{0};
std::atomic<int> stats_num_cont_waiting{0};
std::atomic<int> stats_num_waiting{0};
std::atomic<time_t> stats_last_report_started{0};
std::atomic<time_t> stats_last_report_finished{0};
int64_t logfiles_start = 0, logfiles_end = 0, logfiles_size = 0, logfiles_records = 0;

const char *version = "Tallowmere Reporter 6.3.3 64-bit Build: " __DATE__ " " __TIME__;

namespace {

// 1.3.6.1.4.1.E.1.6
const oid kBase[] = {1, 3, 6, 1, 4, 1, kReporterEnterpriseNumber, 1, 6};
constexpr size_t kBaseLen = sizeof kBase / sizeof kBase[0];

std::vector<netsnmp_handler_registration *> registrations;
// The table's index description: the agent does not free it with the table.
netsnmp_table_registration_info *table_info = nullptr;

}  // namespace

// --- Registry ----------------------------------------------------------------------

int processed_reports_add(REPORT *rep) {
  if (!rep) return -1;
  // The root path of a registered report is read by other threads (the
  // store clean-up): it is set under this lock from now on.
  tfile_set_root_path_setter(processed_reports_set_root_path);
  kx_mutex_guard guard(&processed_reports_lock);
  rep->next_report = nullptr;
  if (processed_reports_tail)
    processed_reports_tail->next_report = rep;
  else
    processed_reports_head = rep;
  processed_reports_tail = rep;
  return 0;
}

int processed_reports_del(REPORT *rep) {
  if (!rep) return 0;
  kx_mutex_guard guard(&processed_reports_lock);
  REPORT *prev = nullptr;
  for (REPORT *r = processed_reports_head; r; prev = r, r = r->next_report) {
    if (r != rep) continue;
    if (prev)
      prev->next_report = r->next_report;
    else
      processed_reports_head = r->next_report;
    if (processed_reports_tail == r) processed_reports_tail = prev;
    r->next_report = nullptr;
    break;
  }
  return 0;
}

int processed_reports_dir_lookup(const char *dir) {
  if (!dir) return 0;
  kx_mutex_guard guard(&processed_reports_lock);
  for (REPORT *r = processed_reports_head; r; r = r->next_report)
    if (r->root_path && strcmp(r->root_path, dir) == 0) return -1;
  return 0;
}

int processed_reports_dir_lookup_len(const char *dir, int len) {
  if (!dir || len < 0) return 0;
  kx_mutex_guard guard(&processed_reports_lock);
  for (REPORT *r = processed_reports_head; r; r = r->next_report)
    if (r->root_path && strncmp(r->root_path, dir, static_cast<size_t>(len)) == 0) return -1;
  return 0;
}

std::vector<std::string> processed_reports_root_paths() {
  std::vector<std::string> out;
  kx_mutex_guard guard(&processed_reports_lock);
  for (REPORT *r = processed_reports_head; r; r = r->next_report)
    if (r->root_path) out.emplace_back(r->root_path);
  return out;
}

int processed_reports_cancel(int id, int type) {
  kx_mutex_guard guard(&processed_reports_lock);
  for (REPORT *r = processed_reports_head; r; r = r->next_report) {
    if (r->report_id == id && r->report_type == type) {
      r->cancel = 1;
      return -1;
    }
  }
  return 0;
}

namespace {

REPORT *find_locked(int id, int type) {
  for (REPORT *r = processed_reports_head; r; r = r->next_report)
    if (r->report_id == id && r->report_type == type) return r;
  return nullptr;
}

REPORT *find_next_locked(int id, int type) {
  REPORT *best = nullptr;
  for (REPORT *r = processed_reports_head; r; r = r->next_report)
    if (r->report_type == type && r->report_id > id && (!best || r->report_id < best->report_id)) best = r;
  return best;
}

}  // namespace

REPORT *processed_reports_get_report(int id, int type) {
  kx_mutex_guard guard(&processed_reports_lock);
  return find_locked(id, type);
}

REPORT *processed_reports_get_next_report(int id, int type) {
  kx_mutex_guard guard(&processed_reports_lock);
  return find_next_locked(id, type);
}

void processed_reports_set_root_path(REPORT *rep, char *path) {
  if (!rep) {
    free(path);
    return;
  }
  char *old;
  {
    kx_mutex_guard guard(&processed_reports_lock);
    old = rep->root_path;
    rep->root_path = path;
  }
  free(old);
}

int report_percent_done(long long done, long long todo) {
  if (todo == 0) return 0;
  return static_cast<int>(static_cast<double>(done) / static_cast<double>(todo) * 100.0 + 0.5);
}

void report_elapsed_text(time_t start, time_t now, char *out, size_t size) {
  unsigned long s = now > start ? static_cast<unsigned long>(now - start) : 0;
  snprintf(out, size, "%02lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
}

bool processed_reports_snapshot(int id, int type, bool next, report_process_row *row) {
  kx_mutex_guard guard(&processed_reports_lock);
  REPORT *r = next ? find_next_locked(id, type) : find_locked(id, type);
  if (!r) return false;
  row->type = r->report_type;
  row->id = r->report_id;
  row->sort = r->sort;
  long long done = r->sort ? static_cast<long long>(r->sort_done) : static_cast<long long>(r->recs_done);
  long long todo = r->sort ? static_cast<long long>(r->sort_todo) : static_cast<long long>(r->recs_todo);
  row->percent = report_percent_done(done, todo);
  row->process_start = r->process_start;
  row->size_report = r->size_report;
  row->size_temp = r->size_temp;
  return true;
}

// --- Counters and statistics -----------------------------------------------------------

void demand_count_add(int n) { demand_count.fetch_add(n); }
void scheduled_count_add(int n) { scheduled_count.fetch_add(n); }
void continuous_count_add(int n) { continuous_count.fetch_add(n); }

void stats_count(std::atomic<int> *counter) { counter->fetch_add(1); }

// --- SNMP --------------------------------------------------------------------------

namespace {

void set_string(netsnmp_request_info *req, const std::string &s) {
  snmp_set_var_typed_value(req->requestvb, ASN_OCTET_STR, s.data(), s.size());
}

void set_integer(netsnmp_request_info *req, long v) {
  snmp_set_var_typed_value(req->requestvb, ASN_INTEGER, &v, sizeof v);
}

void set_counter64(netsnmp_request_info *req, long long v) {
  counter64 c;
  auto u = static_cast<unsigned long long>(v);
  c.high = static_cast<u_long>(u >> 32);
  c.low = static_cast<u_long>(u & 0xFFFFFFFFu);
  snmp_set_var_typed_value(req->requestvb, ASN_COUNTER64, &c, sizeof c);
}

// The nine integer statistics, .1 to .9.
const struct {
  const char *name;
  std::atomic<int> *var;
} statistics[] = {
    {"numDemandProcessed", &stats_num_dem_processed},   {"numScheduledProcessed", &stats_num_sched_processed},
    {"numContinuousProcessed", &stats_num_cont_processed}, {"numMailSent", &stats_num_mail_sent},
    {"numReportError", &stats_num_rep_errors},          {"numDemandWaiting", &stats_num_dem_waiting},
    {"numScheduledWaiting", &stats_num_sched_waiting},  {"numContinuousWaiting", &stats_num_cont_waiting},
    {"numWaiting", &stats_num_waiting},
};

std::string time_text(time_t t, const char *format) {
  struct tm tm;
  char buf[128];
  if (!localtime_r(&t, &tm) || strftime(buf, sizeof buf, format, &tm) == 0) return "-";
  return buf;
}

std::string last_time_text(time_t t) { return t == 0 ? "-" : time_text(t, "%a, %d %b %Y %H:%M:%S"); }

int snmp_request_handler(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                         netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  if (reqinfo->mode != MODE_GET && reqinfo->mode != MODE_GETNEXT) return SNMP_ERR_NOERROR;
  oid which = reginfo->rootoid[reginfo->rootoid_len - 1];
  for (netsnmp_request_info *req = requests; req; req = req->next) {
    if (which >= 1 && which <= 9) {
      set_integer(req, statistics[which - 1].var->load());
      continue;
    }
    switch (which) {
      case 10: set_string(req, version ? version : ""); break;
      case 11: set_string(req, time_text(time(nullptr), "%a, %d %b %Y %H:%M:%S %z")); break;
      case 12: set_string(req, last_time_text(stats_last_report_started.load())); break;
      case 13: set_string(req, last_time_text(stats_last_report_finished.load())); break;
      case 14: set_integer(req, static_cast<long>(logfiles_start)); break;
      case 15: set_integer(req, static_cast<long>(logfiles_end)); break;
      case 16: set_integer(req, static_cast<long>(logfiles_size)); break;
      case 17: set_integer(req, static_cast<long>(logfiles_records)); break;
      default: break;
    }
  }
  return SNMP_ERR_NOERROR;
}

void fill_column(netsnmp_request_info *req, int column, const report_process_row &row) {
  switch (column) {
    case 1: set_integer(req, row.type); break;
    case 2: set_integer(req, row.id); break;
    case 3: set_integer(req, row.percent); break;
    case 4: {
      char text[64];
      if (row.process_start)
        report_elapsed_text(row.process_start, time(nullptr), text, sizeof text);
      else
        snprintf(text, sizeof text, "00:00:00");
      set_string(req, text);
      break;
    }
    case 5: set_counter64(req, row.size_report); break;
    case 6: set_counter64(req, row.size_temp); break;
    case 7: set_integer(req, row.sort); break;
    default: break;
  }
}

// Finds the entry after (column, kind, id) in the table's column-major order.
bool next_entry(int *column, int *kind, int *id, report_process_row *row) {
  int c = *column < 1 ? 1 : *column;
  int k = *column < 1 ? 0 : *kind;
  int i = *column < 1 ? 0 : *id;
  for (; c <= 7; c++, k = 1, i = 0) {
    for (; k <= 3; k++, i = 0) {
      if (processed_reports_snapshot(i, k, true, row)) {
        *column = c;
        *kind = k;
        *id = row->id;
        return true;
      }
    }
  }
  return false;
}

int snmp_report_table_handler(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                              netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  for (netsnmp_request_info *req = requests; req; req = req->next) {
    netsnmp_table_request_info *ti = netsnmp_extract_table_info(req);
    if (!ti) continue;
    int column = static_cast<int>(ti->colnum);
    int kind = 0, id = 0;
    netsnmp_variable_list *ix = ti->indexes;
    if (ix && ti->number_indexes >= 1 && ix->val.integer) kind = static_cast<int>(*ix->val.integer);
    if (ix && ix->next_variable && ti->number_indexes >= 2 && ix->next_variable->val.integer)
      id = static_cast<int>(*ix->next_variable->val.integer);
    report_process_row row;
    if (reqinfo->mode == MODE_GET) {
      if (!processed_reports_snapshot(id, kind, false, &row)) {
        row = report_process_row{};
        row.type = kind;
        row.id = id;
      }
      fill_column(req, column, row);
    } else if (reqinfo->mode == MODE_GETNEXT) {
      if (ti->number_indexes < 2) id = 0;
      if (ti->number_indexes < 1) kind = 0;
      if (!next_entry(&column, &kind, &id, &row)) return SNMP_ERR_NOERROR;
      std::vector<oid> name(reginfo->rootoid, reginfo->rootoid + reginfo->rootoid_len);
      name.push_back(1);
      name.push_back(static_cast<oid>(column));
      name.push_back(static_cast<oid>(kind));
      name.push_back(static_cast<oid>(id));
      snmp_set_var_objid(req->requestvb, name.data(), name.size());
      fill_column(req, column, row);
    }
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

void init_snmp_support() {
  // Without a running agent (SNMP disabled) there is nothing to register with.
  if (!snmp_lib_running()) return;
  snmp_lib_guard guard;
  static const struct {
    const char *name;
    oid sub;
  } scalars[] = {
      {statistics[0].name, 1},      {statistics[1].name, 2},    {statistics[2].name, 3},
      {statistics[3].name, 4},      {statistics[4].name, 5},    {statistics[5].name, 6},
      {statistics[6].name, 7},      {statistics[7].name, 8},    {statistics[8].name, 9},
      {"reporterVersion", 10},      {"reporterCurrenTime", 11}, {"lastReportStartTime", 12},
      {"lastReportFinishTime", 13}, {"logFilesStart", 14},      {"logFilesEnd", 15},
      {"logFilesSize", 16},         {"logFilesRecords", 17},
  };
  for (const auto &s : scalars) {
    oid name[kBaseLen + 1];
    memcpy(name, kBase, sizeof kBase);
    name[kBaseLen] = s.sub;
    netsnmp_handler_registration *reg =
        netsnmp_create_handler_registration(s.name, snmp_request_handler, name, kBaseLen + 1, HANDLER_CAN_RONLY);
    if (reg && netsnmp_register_instance(reg) == MIB_REGISTERED_OK) registrations.push_back(reg);
  }

  oid table[kBaseLen + 1];
  memcpy(table, kBase, sizeof kBase);
  table[kBaseLen] = 20;
  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      "reportProcess", snmp_report_table_handler, table, kBaseLen + 1, HANDLER_CAN_RONLY);
  netsnmp_table_registration_info *info = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  if (reg && info) {
    netsnmp_table_helper_add_indexes(info, ASN_INTEGER, ASN_INTEGER, 0);
    info->min_column = 1;
    info->max_column = 7;
    if (netsnmp_register_table(reg, info) == MIB_REGISTERED_OK) {
      registrations.push_back(reg);
      table_info = info;
    }
  }
}

void terminate_snmp_support() {
  snmp_lib_guard guard;
  for (netsnmp_handler_registration *reg : registrations) netsnmp_unregister_handler(reg);
  registrations.clear();
  if (table_info) netsnmp_table_registration_info_free(table_info);
  table_info = nullptr;
}
