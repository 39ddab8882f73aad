#include "src/daemon/housekeeping.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/base/kxraii.h"
#include "lib/runtime/db.h"
#include "src/daemon/registry.h"
#include "src/report/continuous.h"
#include "src/report/period.h"
#include "src/report/tfile.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"

namespace {

const char *col(DB_RESULT *rs, int i) { return rs && rs->eof == 0 && rs->fields[i] ? rs->fields[i] : nullptr; }
const char *text(DB_RESULT *rs, int i) {
  const char *v = col(rs, i);
  return v ? v : "";
}
long long integer(DB_RESULT *rs, int i) {
  const char *v = col(rs, i);
  return v ? strtoll(v, nullptr, 10) : 0;
}

// Runs reads under "lock tables ... write" and always unlocks. A session lost
// by a reconnect takes its locks with it: the sequence then starts again
// (a few times at most), so nothing is read unlocked.
template <typename Reads>
bool under_table_locks(int db, const char *lock_sql, Reads reads) {
  for (int attempt = 0; attempt < 3; attempt++) {
    unsigned long before = db_reconnect_count(db);
    if (!db_query(db, "%s", lock_sql)) {
      db_query(db, "unlock tables");
      return false;
    }
    reads();
    db_query(db, "unlock tables");
    if (db_reconnect_count(db) == before) return true;
  }
  return false;
}

// Removes an instance directory when it lies inside the report directory,
// following no link below the report directory.
void remove_instance_path(const char *path, const char *report_dir) {
  if (!housekeeping_path_inside(path, report_dir)) return;
  std::string dir(path);
  if (dir.back() != '/') dir += '/';
  tfile_clear_below(report_dir, dir.c_str());
}

// A limit as the settings table or a quota row holds it: a plain decimal
// number (blanks around it and a "+" allowed). Anything else, and 0 or
// less, is no limit (0): a garbled value must never empty the store.
long long limit_value(const char *v) {
  if (!v) return 0;
  while (*v == ' ' || *v == '\t') v++;
  if (*v == '+') v++;
  if (*v < '0' || *v > '9') return 0;
  errno = 0;
  char *end = nullptr;
  long long n = strtoll(v, &end, 10);
  if (errno != 0) return 0;
  while (*end == ' ' || *end == '\t') end++;
  return *end == '\0' && n > 0 ? n : 0;
}

// A file number's decimal text as the store writes it ("%d", no sign, no
// leading zero); -1 for anything else.
long long store_number(const char *name) {
  if (!name || name[0] < '0' || name[0] > '9' || (name[0] == '0' && name[1] != '\0')) return -1;
  long long n = 0;
  for (const char *p = name; *p; p++) {
    if (*p < '0' || *p > '9' || n > INT32_MAX / 10) return -1;
    n = n * 10 + (*p - '0');
  }
  return n <= INT32_MAX ? n : -1;
}

// One line in the message log about the entries of the report directory that
// the store did not make and so left alone; said again only when they change.
void log_left_alone(std::vector<std::string> names) {
  static std::string last;
  std::sort(names.begin(), names.end());
  std::string line;
  if (!names.empty()) {
    std::string shown;
    for (size_t i = 0; i < names.size() && i < 5; i++) shown += (i ? ", " : "") + names[i];
    if (names.size() > 5) shown += ", ...";
    line = "Report directory cleaning left alone " + std::to_string(names.size()) +
           " entries not made by the report store: " + shown + "\n";
  }
  if (line == last) return;
  last = line;
  if (!line.empty()) kxlog_send(KXLOG_MESSAGE, "%s", line.c_str());
}

// Deletes the current instance row of rs (demand when scheduled is false).
void delete_one(int db, DB_RESULT *rs, bool scheduled, const char *report_dir) {
  remove_instance_path(col(rs, 3), report_dir);
  db_query(db, scheduled ? "delete from scheduled_report_instance where rid=%lld"
                         : "delete from demand_report_instance where rid=%lld",
           integer(rs, 0));
}

std::vector<std::string> read_paths(int db, const char *sql, const char *error) {
  std::vector<std::string> out;
  DB_RESULT *rs = db_execute_0(db, sql);
  if (!rs) {
    kxlog_send(KXLOG_ERROR, "%s", error);
    throw std::runtime_error("abort");
  }
  for (int eof = rs->eof; eof == 0; eof = rs->movenext(rs))
    if (rs->fields[0]) out.emplace_back(rs->fields[0]);
  rs->close(rs);
  return out;
}

// The report's own zone: the "timezone" key of the definition's "[general]"
// section; without one, the daemon's zone.
std::string continuous_definition_timezone(const char *definition) {
  const char *tz = getenv("TZ");
  std::string zone = tz ? tz : "";
  bool has_zone = tz != nullptr;
  bool general = false;
  for (const char *p = definition; p && *p;) {
    const char *e = strchr(p, '\n');
    std::string line(p, e ? static_cast<size_t>(e - p) : strlen(p));
    p = e ? e + 1 : nullptr;
    size_t a = line.find_first_not_of(" \t\r");
    size_t b = line.find_last_not_of(" \t\r");
    line = a == std::string::npos ? "" : line.substr(a, b - a + 1);
    if (!line.empty() && line[0] == '[') {
      general = line == "[general]";
      continue;
    }
    size_t eq = line.find('=');
    if (!general || eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key != "timezone") continue;
    zone = line.substr(eq + 1);
    zone.erase(0, zone.find_first_not_of(" \t"));
    has_zone = true;
  }
  return has_zone ? zone : std::string();
}

// The start of the period that a continuous run with this next run time and
// interval computes, in the report's zone; 0 when there is none.
time_t continuous_interrupted_period_start(time_t next_run_time, int run_interval, const char *definition) {
  report_tz tz;
  std::string zone = continuous_definition_timezone(definition);
  // No zone anywhere: the system's, as an unset TZ gives.
  tz.load(zone.empty() && !getenv("TZ") ? nullptr : zone.c_str());
  time_t start = 0, end = 0, next = 0, cutoff = 0;
  if (!report_scheduled_period(tz, next_run_time, run_interval, &start, &end, &next, &cutoff)) return 0;
  return start;
}

bool in_sorted(const std::vector<std::string> &v, const std::string &item) {
  return std::binary_search(v.begin(), v.end(), item,
                            [](const std::string &a, const std::string &b) { return strcmp(a.c_str(), b.c_str()) < 0; });
}

}  // namespace

bool housekeeping_path_inside(const char *path, const char *report_dir) {
  if (!path || !report_dir || !*report_dir) return false;
  size_t n = strlen(report_dir);
  if (strncmp(path, report_dir, n) != 0 || strlen(path) <= n) return false;
  // No ".." component anywhere: "x/../y" could leave the store.
  for (const char *p = path; (p = strstr(p, "..")) != nullptr; p += 2) {
    bool starts = p == path || p[-1] == '/';
    bool ends = p[2] == '\0' || p[2] == '/';
    if (starts && ends) return false;
  }
  return true;
}

void reporter_cleanup_report_tables() {
  int db = support_db;
  int server = settings.server_id;
  db_query(db, "update demand_reports set error_flag=0,status='' where error_flag=1 and server=%d", server);
  db_query(db, "update scheduled_reports set error_flag=0,status='' where error_flag=1 and server=%d", server);
  db_query(db,
           "update demand_reports set error_flag=0, status='' where error_flag=1 and server NOT IN (select id from "
           "servers)");
  db_query(db,
           "update scheduled_reports set error_flag=0, status='' where error_flag=1 and server NOT IN (select id "
           "from servers)");
  db_query(db, "delete from cancel_report where server NOT IN (select id from servers)");
}

void reporter_cleanup_continuous(int db) {
  int server = settings.server_id;
  // The interrupted runs wrote rows for the period they computed from their
  // next run time; the writer stores that period's start as an integer in
  // `date`, so that is what goes.
  auto drop_rows = [db](DB_RESULT *rs) {
    if (!rs) return;
    struct job {
      std::string table;
      time_t start;
    };
    std::vector<job> jobs;
    for (int eof = rs->eof; eof == 0; eof = rs->movenext(rs)) {
      if (!rs->fields[0] || !rs->fields[1]) continue;
      time_t start = continuous_interrupted_period_start(
          static_cast<time_t>(strtoll(rs->fields[1], nullptr, 10)), rs->fields[2] ? atoi(rs->fields[2]) : 0,
          rs->fields[3]);
      if (start > 0) jobs.push_back({rs->fields[0], start});
    }
    rs->close(rs);
    for (const job &j : jobs) {
      if (!continuous_table_name_valid(j.table.c_str())) continue;
      db_query(db, "delete from `%s` where date=%lld", j.table.c_str(), static_cast<long long>(j.start));
      db_query(db, "delete from `%s_di` where date=%lld", j.table.c_str(), static_cast<long long>(j.start));
    }
  };
  drop_rows(db_execute2(db,
                        "select report_table,unix_timestamp(next_run_time),run_interval,definition from "
                        "continuous_reports where error_flag=1 and server=%d",
                        server));
  db_query(db, "update continuous_reports set error_flag=0 where error_flag=1 and server=%d", server);
  drop_rows(db_execute2(db,
                        "select report_table,unix_timestamp(next_run_time),run_interval,definition from "
                        "continuous_reports where error_flag=1 and server NOT IN (select id from servers)"));
  db_query(db, "update continuous_reports set error_flag=0 where error_flag=1 and server NOT IN (select id from servers)");
}

int reporter_lookup_directory(char **dirs, int size, const char *item) {
  if (!dirs || size <= 0 || !item) return -1;
  int c = strcmp(item, dirs[0]);
  if (c < 0) return -1;
  if (c == 0) return 0;
  c = strcmp(item, dirs[size - 1]);
  if (c > 0) return -1;
  if (c == 0) return size - 1;
  int lo = 0, hi = size - 1;
  while (hi - lo > 1) {
    int mid = lo + (hi - lo) / 2;
    c = strcmp(item, dirs[mid]);
    if (c == 0) return mid;
    if (c < 0)
      hi = mid;
    else
      lo = mid;
  }
  return -1;
}

void report_clean_report_dir(int db, const char *report_dir) {
  if (!report_dir || !*report_dir) return;
  // 1. The store's folders: first-level names N and second-level names M
  // with M / 1000 == N, real folders (no links), and none of them the
  // temporary directory, inside it or holding it. Everything else is not
  // the store's.
  const std::string real_store = tfile_real_dir(report_dir);
  const std::string real_temp = tfile_real_dir(settings.temp_directory);
  const bool temp_inside =
      !real_temp.empty() && real_temp != real_store && tfile_dir_within(real_temp, real_store);
  auto temp_related = [&](const std::string &rel) {
    if (!temp_inside) return false;
    const std::string real = real_store + rel;
    return tfile_dir_within(real, real_temp) || tfile_dir_within(real_temp, real);
  };
  struct first_level {
    std::string path;  // report_dir + first + "/"
    bool empty = true;
    std::vector<std::string> children;
  };
  std::vector<first_level> tree;
  std::vector<std::string> foreign;
  {
    kx_dir_ptr top{opendir(report_dir)};
    if (!top) return;
    const int top_fd = dirfd(top.get());
    while (dirent *e = readdir(top.get())) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      const std::string first = e->d_name;
      struct stat st;
      const long long n = store_number(e->d_name);
      if (n < 0 || fstatat(top_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        foreign.push_back(first);
        continue;
      }
      if (temp_related(first + "/")) continue;
      int fd = openat(top_fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      kx_dir_ptr inner{fd >= 0 ? fdopendir(fd) : nullptr};
      if (!inner) {
        if (fd >= 0) close(fd);
        continue;
      }
      first_level f;
      f.path = std::string(report_dir) + first + "/";
      while (dirent *c = readdir(inner.get())) {
        if (!strcmp(c->d_name, ".") || !strcmp(c->d_name, "..")) continue;
        f.empty = false;
        const std::string rel = first + "/" + c->d_name;
        const long long m = store_number(c->d_name);
        if (m < 0 || m / 1000 != n || fstatat(dirfd(inner.get()), c->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode)) {
          foreign.push_back(rel);
          continue;
        }
        if (temp_related(rel + "/")) continue;
        f.children.push_back(f.path + c->d_name + "/");
      }
      tree.push_back(std::move(f));
    }
  }
  log_left_alone(std::move(foreign));
  // 2. The running reports, before the rows: a report that saves its row and
  // leaves the registry while the rows are read is in this list or has its
  // row read. (A report publishes its root path before it makes the folder,
  // so every folder listed above that a report owns is covered.)
  std::vector<std::string> running = processed_reports_root_paths();
  auto bytewise = [](const std::string &a, const std::string &b) { return strcmp(a.c_str(), b.c_str()) < 0; };
  std::sort(running.begin(), running.end(), bytewise);
  // 3. The rows.
  std::vector<std::string> demand, scheduled;
  try {
    demand = read_paths(db, "select path from demand_report_instance order by path",
                        "Error reading demand reports filelist from database\n");
    scheduled = read_paths(db, "select path from scheduled_report_instance order by path",
                           "Error reading scheduled reports filelist from database\n");
  } catch (const std::exception &) {
    kxlog_send(KXLOG_ERROR, "Report directory cleaning aborted\n");
    return;
  }
  // The database orders by its collation; the look-up needs byte order.
  std::sort(demand.begin(), demand.end(), bytewise);
  std::sort(scheduled.begin(), scheduled.end(), bytewise);
  for (const first_level &f : tree) {
    for (const std::string &child : f.children) {
      if (in_sorted(demand, child) || in_sorted(scheduled, child) || in_sorted(running, child)) continue;
      if (processed_reports_dir_lookup(child.c_str())) continue;
      if (!housekeeping_path_inside(child.c_str(), report_dir)) continue;
      tfile_clear_below(report_dir, child.c_str());
    }
    if (f.empty && !processed_reports_dir_lookup_len(f.path.c_str(), static_cast<int>(f.path.size()))) {
      std::string name = f.path.substr(0, f.path.size() - 1);
      rmdir(name.c_str());
    }
  }
}

void delete_instances_by_list(int db, DB_RESULT *rs1, DB_RESULT *rs2, const char *report_dir) {
  for (int eof = rs1 ? rs1->eof : -1; eof == 0; eof = rs1->movenext(rs1)) {
    delete_one(db, rs1, false, report_dir);
    kxlog_send(KXLOG_MESSAGE, "Delete instance of demand report '%s' (%s) that is expired\n", text(rs1, 4),
               text(rs1, 5));
  }
  for (int eof = rs2 ? rs2->eof : -1; eof == 0; eof = rs2->movenext(rs2)) {
    delete_one(db, rs2, true, report_dir);
    kxlog_send(KXLOG_MESSAGE, "Delete instance of scheduled report '%s' (%s) for %s that is expired\n", text(rs2, 4),
               text(rs2, 5), text(rs2, 6));
  }
}

void delete_report_instances(int db, DB_RESULT *rs1, DB_RESULT *rs2, long size, long maxsize, const char *report_dir,
                             const char *limit_name) {
  auto live = [](DB_RESULT *rs) { return rs && rs->eof == 0; };
  while ((live(rs1) || live(rs2)) && size >= maxsize) {
    bool scheduled;
    if (live(rs1) && live(rs2)) {
      auto t1 = static_cast<uint32_t>(integer(rs1, 1));
      auto t2 = static_cast<uint32_t>(integer(rs2, 1));
      scheduled = t2 <= t1;
    } else {
      scheduled = live(rs2);
    }
    DB_RESULT *rs = scheduled ? rs2 : rs1;
    size -= static_cast<long>(integer(rs, 2));
    delete_one(db, rs, scheduled, report_dir);
    if (scheduled)
      kxlog_send(KXLOG_MESSAGE, "Delete instance of scheduled report '%s' (%s) for %s that exceeds %s: %llu\n",
                 text(rs, 4), text(rs, 5), text(rs, 6), limit_name, static_cast<unsigned long long>(maxsize));
    else
      kxlog_send(KXLOG_MESSAGE, "Delete instance of demand report '%s' (%s) that exceeds %s: %llu\n", text(rs, 4),
                 text(rs, 5), limit_name, static_cast<unsigned long long>(maxsize));
    rs->movenext(rs);
  }
}

namespace {

// One row of a sum list: key (quota group or owner), sum of sizes, quota.
struct sum_row {
  std::string key;
  long long sum;
  long long quota;
};

// The rows of a sum list in byte order of the key: the database sorts by
// its collation, which need not agree with bytes (or with the other list).
std::vector<sum_row> sorted_sums(DB_RESULT *rs) {
  std::vector<sum_row> rows;
  for (int eof = rs ? rs->eof : -1; eof == 0; eof = rs->movenext(rs))
    rows.push_back({text(rs, 0), integer(rs, 1), limit_value(col(rs, 2))});
  std::stable_sort(rows.begin(), rows.end(),
                   [](const sum_row &a, const sum_row &b) { return strcmp(a.key.c_str(), b.key.c_str()) < 0; });
  return rows;
}

}  // namespace

void check_sum_and_delete(int db, DB_RESULT *rs1, DB_RESULT *rs2, const char *sql_get_list_1,
                          const char *sql_get_list_2, const char *report_dir, const char *limit_type) {
  const std::vector<sum_row> l1 = sorted_sums(rs1), l2 = sorted_sums(rs2);
  size_t i1 = 0, i2 = 0;
  while (i1 < l1.size() || i2 < l2.size()) {
    int c;
    if (i1 < l1.size() && i2 < l2.size())
      c = strcmp(l1[i1].key.c_str(), l2[i2].key.c_str());
    else
      c = i1 < l1.size() ? -1 : 1;
    const bool in1 = c <= 0, in2 = c >= 0;
    const std::string &key = in1 ? l1[i1].key : l2[i2].key;
    const long long total = (in1 ? l1[i1].sum : 0) + (in2 ? l2[i2].sum : 0);
    const long long quota = in1 ? l1[i1].quota : l2[i2].quota;
    // A quota of 0 or below (or garbled) is no quota.
    const auto limit = static_cast<long long>(static_cast<double>(quota) * 0.9);
    if (limit > 0 && total > limit) {
      const std::string k = db_escaped(key.c_str());
      db_result_ptr list1(in1 ? db_execute2(db, sql_get_list_1, k.c_str(), settings.server_id) : nullptr);
      db_result_ptr list2(in2 ? db_execute2(db, sql_get_list_2, k.c_str(), settings.server_id) : nullptr);
      delete_report_instances(db, list1.get(), list2.get(), static_cast<long>(total), static_cast<long>(limit),
                              report_dir, limit_type);
    }
    if (in1) i1++;
    if (in2) i2++;
  }
}

void reporter_trim_reports(int db, const char *report_dir) {
  const int server = settings.server_id;
  // 1. Expiry.
  {
    db_result_ptr d, s;
    under_table_locks(db,
                      "lock tables demand_reports write, demand_report_instance write, scheduled_reports write, "
                      "scheduled_report_instance write",
                      [&] {
                        d.reset(db_execute2(db,
                                            "SELECT rid, unix_timestamp(started_at), size, path, name, login FROM "
                                            "demand_report_instance LEFT JOIN demand_reports USING (report_id) WHERE "
                                            "ttl != 0 AND DATE_ADD(finished_at, INTERVAL ttl DAY) < NOW() AND "
                                            "demand_report_instance.server=%d",
                                            server));
                        s.reset(db_execute2(db,
                                            "SELECT rid, unix_timestamp(started_at), size, path, name, login, "
                                            "report_date FROM scheduled_report_instance LEFT JOIN scheduled_reports "
                                            "USING (report_id) WHERE ttl != 0 AND DATE_ADD(finished_at, INTERVAL ttl "
                                            "DAY) < NOW() AND scheduled_report_instance.server=%d",
                                            server));
                      });
    delete_instances_by_list(db, d.get(), s.get(), report_dir);
  }
  // 2. Group quotas.
  {
    db_result_ptr d, s;
    under_table_locks(db,
                      "lock tables quota_groups write, quotas write, demand_reports write, demand_report_instance "
                      "write, scheduled_reports write, scheduled_report_instance write",
                      [&] {
                        d.reset(db_execute2(db,
                                            "SELECT qgroup, sum(size), quota FROM demand_report_instance LEFT JOIN "
                                            "demand_reports USING (report_id) LEFT JOIN quota_groups USING (login) "
                                            "LEFT JOIN quotas USING (qgroup) WHERE quota IS NOT NULL AND "
                                            "demand_report_instance.server=%d GROUP BY qgroup ORDER BY qgroup",
                                            server));
                        s.reset(db_execute2(db,
                                            "SELECT qgroup, sum(size), quota FROM scheduled_report_instance LEFT JOIN "
                                            "scheduled_reports USING (report_id) LEFT JOIN quota_groups USING (login) "
                                            "LEFT JOIN quotas USING (qgroup) WHERE quota IS NOT NULL AND "
                                            "scheduled_report_instance.server=%d GROUP BY qgroup ORDER BY qgroup",
                                            server));
                      });
    check_sum_and_delete(db, d.get(), s.get(),
                         "SELECT rid, unix_timestamp(started_at), size, path, name, login FROM demand_report_instance "
                         "LEFT JOIN demand_reports USING (report_id) LEFT JOIN quota_groups USING (login) WHERE "
                         "qgroup='%s' AND demand_report_instance.server=%d ORDER BY started_at",
                         "SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM "
                         "scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) LEFT JOIN "
                         "quota_groups USING (login) WHERE qgroup='%s' AND scheduled_report_instance.server=%d ORDER "
                         "BY started_at",
                         report_dir, "90% of user/group quota");
  }
  // 3. Default quota.
  {
    long long quota = 0;
    if (db_result_ptr q{db_execute(db, "select quota from quotas where qgroup='_global_'")})
      quota = limit_value(col(q.get(), 0));
    if (quota > 0) {
      db_result_ptr d, s;
      under_table_locks(
          db,
          "lock tables quota_groups write, quotas write, demand_reports write, demand_reports AS demand_rpt write, "
          "demand_report_instance write, scheduled_reports write, scheduled_reports AS scheduled_rpt write,  "
          "scheduled_report_instance write",
          [&] {
            d.reset(db_execute2(db,
                                "SELECT login, sum(size), %lld FROM demand_report_instance LEFT JOIN demand_reports "
                                "USING (report_id) WHERE login IN ( SELECT DISTINCT login FROM demand_reports AS "
                                "demand_rpt LEFT JOIN quota_groups USING (login) LEFT JOIN quotas USING (qgroup) WHERE "
                                "quota IS NULL) AND demand_report_instance.server=%d GROUP BY login ORDER BY login",
                                quota, server));
            s.reset(db_execute2(db,
                                "SELECT login, sum(size), %lld FROM scheduled_report_instance LEFT JOIN "
                                "scheduled_reports USING (report_id) WHERE login IN ( SELECT DISTINCT login FROM "
                                "scheduled_reports AS scheduled_rpt LEFT JOIN quota_groups USING (login) LEFT JOIN "
                                "quotas USING (qgroup) WHERE quota IS NULL) AND scheduled_report_instance.server=%d "
                                "GROUP BY login ORDER BY login",
                                quota, server));
          });
      check_sum_and_delete(db, d.get(), s.get(),
                           "SELECT rid, unix_timestamp(started_at), size, path, name, login FROM "
                           "demand_report_instance LEFT JOIN demand_reports USING (report_id) WHERE login='%s' AND "
                           "demand_report_instance.server=%d ORDER BY started_at",
                           "SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM "
                           "scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) WHERE login='%s' "
                           "AND scheduled_report_instance.server=%d ORDER BY started_at",
                           report_dir, "90% of default quota");
    }
  }
  // 4. Total size.
  {
    long long maxsize = 0;
    if (db_result_ptr v{db_execute(db, "select value from settings where name='report_maxsize'")})
      maxsize = limit_value(col(v.get(), 0));
    if (maxsize <= 0) return;
    long long sum = 0;
    if (db_result_ptr a{db_execute2(db, "select sum(size) from demand_report_instance where server=%d", server)})
      sum += integer(a.get(), 0);
    if (db_result_ptr b{db_execute2(db, "select sum(size) from scheduled_report_instance where server=%d", server)})
      sum += integer(b.get(), 0);
    auto limit = static_cast<long long>(static_cast<double>(maxsize) * 0.9);
    if (sum < limit) return;
    db_result_ptr d{db_execute2(db,
                             "SELECT rid, unix_timestamp(started_at), size, path, name, login FROM "
                             "demand_report_instance inst LEFT JOIN demand_reports USING (report_id) WHERE "
                             "inst.server=%d ORDER BY started_at",
                             server)};
    db_result_ptr s{db_execute2(db,
                             "SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM "
                             "scheduled_report_instance inst LEFT JOIN scheduled_reports USING (report_id) WHERE "
                             "inst.server=%d ORDER BY started_at",
                             server)};
    delete_report_instances(db, d.get(), s.get(), static_cast<long>(sum), static_cast<long>(limit), report_dir,
                            "90% of all reports disk space limit");
  }
}
