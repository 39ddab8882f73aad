// Speed of the grouping engine on the report's main road: a standard binary
// request log of RECORDS records (1000 users, 2000 sites, two categories
// each) read through the request-log window and grouped
//   - one level by user (requests, allowed, denied),
//   - two levels: user, then domain with hits and bytes (the second level
//     run over every queued detail table, as the second stage does),
//   - one level by category,
// beside the bare standard binary reader and the bare window. Prints
// records per second and the peak resident memory after each run.
//
//   group_bench [RECORDS [CASE]]   (default 10000000; CASE: run only the
//                                   reports whose name contains it)
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/logfiles/logfile.h"
#include "src/report/definition.h"
#include "src/report/group.h"
#include "src/report/logfile_window.h"
#include "src/report/report.h"
#include "src/report/tfile.h"
#include "src/table/table.h"
#include "src/table/table_file.h"

namespace {

constexpr int32_t kT0 = 1700000000;
constexpr int kPerSecond = 10;

void put32(std::string *s, uint32_t v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  s->append(b, 4);
}

// base.log and base.ndx with n records, written in pieces.
void write_sb(const std::string &base, long n) {
  FILE *log = fopen((base + ".log").c_str(), "wb");
  FILE *ndx = fopen((base + ".ndx").c_str(), "wb");
  if (!log || !ndx) {
    fprintf(stderr, "cannot write %s\n", base.c_str());
    exit(1);
  }
  std::string rec, idx;
  uint64_t offset = 0, x = 88172645463325252ULL;
  for (long i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const unsigned user = static_cast<unsigned>(x % 1000), site = static_cast<unsigned>((x >> 20) % 2000);
    put32(&idx, static_cast<uint32_t>(offset));
    size_t before = rec.size();
    put32(&rec, static_cast<uint32_t>(kT0 + i / kPerSecond));
    put32(&rec, 0x0A000000u + (user & 0xFFFF));
    rec += "user";
    rec += std::to_string(user);
    rec += '\0';
    rec += "staff";
    rec += '\0';
    rec += static_cast<char>(1 + site % 90);
    rec += static_cast<char>(100 + user % 40);
    rec += '\0';
    rec += static_cast<char>(x % 7 == 0);
    rec += "http://www.site";
    rec += std::to_string(site);
    rec += ".example/path/page";
    rec += std::to_string(i % 13);
    rec += ".html";
    rec += '\0';
    offset += rec.size() - before;
    if (rec.size() > (1 << 20)) {
      fwrite(rec.data(), 1, rec.size(), log);
      fwrite(idx.data(), 1, idx.size(), ndx);
      rec.clear();
      idx.clear();
    }
  }
  fwrite(rec.data(), 1, rec.size(), log);
  fwrite(idx.data(), 1, idx.size(), ndx);
  fclose(log);
  fclose(ndx);
}

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

long peak_mib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024;
}

void report(const char *what, long n, double s, double base) {
  double rate = static_cast<double>(n) / s;
  printf("  %-44s %10ld records %7.2f Mrec/s", what, n, rate / 1e6);
  if (base > 0) printf("  (%.2f of bare reader)", rate / base);
  printf("  peak %ld MiB\n", peak_mib());
}

double bare_reader(const std::string &path, long *n) {
  LogFileReaderPtr r = LogFileTest(path.c_str(), 0, nullptr, nullptr);
  if (!r) {
    fprintf(stderr, "no reader for %s\n", path.c_str());
    exit(1);
  }
  RecordPtr row = r->methods->AllocateRecords(r, 4);
  auto t = std::chrono::steady_clock::now();
  *n = 0;
  time_t sum = 0;
  for (int rc = r->methods->GetFirstRec(r, row); rc == 0; rc = r->methods->GetNextRec(r, row)) {
    sum += r->methods->RecordTime(r, row);
    ++*n;
  }
  double s = since(t);
  if (sum == 1) fputc(' ', stderr);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
  return s;
}

struct Store {
  std::string dir;
  reporter_settings settings{};
  explicit Store(const std::string &d) : dir(d) {
    settings.reports_directory = strdup((d + "/reports/").c_str());
    settings.temp_directory = strdup((d + "/temp/").c_str());
  }
  ~Store() {
    free(settings.reports_directory);
    free(settings.temp_directory);
  }
};

REPORT *new_run(Store &store, const char *definition, int file_id) {
  REPORT *rep = new_report_initialize(REPORT_SCHEDULED, file_id, "bench", "bench", 0, 0, 1, &store.settings);
  rep->file_id = file_id;
  rep->type_hints = type_hints;
  if (report_definition_interpret_definition(rep, definition) != -1) {
    fprintf(stderr, "definition refused: %s\n", rep->error ? rep->error : "?");
    exit(1);
  }
  rep->root_path = tfile_create_root_path(rep, file_id);
  rep->temp_path = tfile_create_temp_path(rep, file_id);
  rep->start = kT0;
  rep->end = kT0 + 2000000000 / kPerSecond;
  return rep;
}

void fail(REPORT *rep, const char *what) {
  fprintf(stderr, "%s failed: %s\n", what, rep->error ? rep->error : "?");
  exit(1);
}

// One summary level over an open input table; returns rows read.
long group_level(REPORT *rep, TABLE *in, int level, const std::string &out) {
  rep->groups = group_initialize(rep, level, GROUP_MAX_GROUPS, in->rec, in->map);
  if (!rep->groups) fail(rep, "group_initialize");
  rep->output = group_open_output(rep->groups, rep, out.c_str());
  if (!rep->output) fail(rep, "group_open_output");
  long n = 0;
  while (table_read_record(in)) {
    ++n;
    int r = group_add_record(rep->groups, in->rec, in->map, rep->index_fd, in, rep, rep->output);
    if (r == 1) fail(rep, "group_add_record");
    if (r == 2 && !group_save_spill_record(rep, rep->groups, in->rec, in->map)) fail(rep, "spill");
  }
  int64_t bytes, recs;
  if (!group_write(rep, &bytes, &recs)) fail(rep, "group_write");
  GROUP_TREE *gl = rep->groups;
  rep->groups = nullptr;
  if (!group_terminate(gl)) fail(rep, "group_terminate");
  table_close(rep->output);
  rep->output = nullptr;
  return n;
}

// Level 0 over the window, then every queued table at its level.
double run_report(Store &store, const char *definition, int file_id, long *records, double *second_stage) {
  REPORT *rep = new_run(store, definition, file_id);
  char tmpl[] = "/tmp/kxgroup_queueXXXXXX";
  rep->index_fd = mkstemp(tmpl);
  unlink(tmpl);
  auto t = std::chrono::steady_clock::now();
  TABLE *w = table_open(TABLE_LOGFILE, rep, nullptr, nullptr, 1, 0);
  if (!w) fail(rep, "window");
  *records = group_level(rep, w, 0, std::string(rep->root_path) + "root");
  table_close(w);
  const auto stage2 = std::chrono::steady_clock::now();
  // The second stage: queue entries in order.
  off_t pos = 0;
  std::string bytes;
  char buf[65536];
  ssize_t got;
  while ((got = pread(rep->index_fd, buf, sizeof buf, pos)) > 0) {
    bytes.append(buf, static_cast<size_t>(got));
    pos += got;
  }
  size_t i = 0;
  while (i < bytes.size()) {
    size_t z = bytes.find('\0', i);
    std::string path = bytes.substr(i, z - i);
    int32_t level;
    memcpy(&level, bytes.data() + z + 1, 4);
    i = z + 5;
    TABLE *in = table_open(TABLE_READ, rep, path.c_str(), nullptr, 0, 0);
    if (!in) fail(rep, "detail table");
    std::string out = path + ".out";
    group_level(rep, in, level, out);
    table_close(in);
  }
  double s = since(t);
  *second_stage = since(stage2);
  close(rep->index_fd);
  rep->index_fd = -1;
  // The store is removed at the end: ext4 slows down creating files right
  // after many were deleted, which is not what is measured here.
  free_report(rep);
  return s;
}

double bare_window(Store &store, long *n) {
  REPORT *rep = new_run(store, "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n", 1);
  auto t = std::chrono::steady_clock::now();
  TABLE *w = table_open(TABLE_LOGFILE, rep, nullptr, nullptr, 1, 0);
  *n = 0;
  while (table_read_record(w)) ++*n;
  table_close(w);
  double s = since(t);
  free_report(rep);
  return s;
}

// The grouping step alone: n rows of 1000 users held in memory, counted
// into a one-level user report (9,10,11); seconds.
double grouping_alone(Store &store, long n) {
  REPORT *rep = new_run(store, "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,10,11\n", 2);
  const int users = 1000, rows_held = 4096;
  std::vector<std::string> names;
  for (int u = 0; u < users; ++u) names.push_back("user" + std::to_string(u));
  std::vector<std::vector<RECORD>> rows(rows_held);
  std::vector<uint8_t> denied(rows_held);
  std::vector<std::array<unsigned char, RECORD_MAP_SIZE>> maps(rows_held);
  uint64_t x = 88172645463325252ULL;
  for (int i = 0; i < rows_held; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    denied[i] = x % 7 == 0;
    rows[i] = {{FIELD_USER, 0x16, 0, const_cast<char *>(names[x % users].c_str())},
               {FIELD_DENIED_FLAG, 0x71, 0, &denied[i]},
               {0, 0, 0, nullptr}};
    record_build_map(maps[i].data(), rows[i].data());
  }
  GROUP_TREE *gl = group_initialize(rep, 0, GROUP_MAX_GROUPS, rows[0].data(), maps[0].data());
  auto t = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) {
    const int k = static_cast<int>(i & (rows_held - 1));
    if (group_add_record(gl, rows[k].data(), maps[k].data(), -1, nullptr, rep, nullptr) != 0) fail(rep, "count");
  }
  double s = since(t);
  group_terminate(gl);
  free_report(rep);
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  long total = argc > 1 ? atol(argv[1]) : 10000000;
  if (total < 1000) total = 1000;
  setenv("TZ", "UTC", 1);
  // TMPDIR chooses the file system of the logs and the report store.
  std::string tmpl = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  tmpl += "/kxgroup_bench_XXXXXX";
  if (!mkdtemp(tmpl.data())) return 1;
  const std::string root = tmpl;
  const std::string old_cwd = std::filesystem::current_path();
  mkdir((root + "/work").c_str(), 0755);
  mkdir((root + "/logs").c_str(), 0755);
  if (chdir((root + "/work").c_str()) != 0) return 1;
  struct utsname un;
  uname(&un);
  printf("group_bench: %ld records in %s, %s %s %s, %ld CPUs, one thread\n", total, root.c_str(), un.sysname,
         un.release, un.machine, sysconf(_SC_NPROCESSORS_ONLN));
  const std::string log = root + "/logs/kxlogger_requests_bin_1";
  write_sb(log, total);
  logfile_window_install();
  Store store(root + "/store");

  long n = 0;
  double best = 1e9;
  for (int k = 0; k < 2; ++k) best = std::min(best, bare_reader(log + ".log", &n));
  const double base = static_cast<double>(n) / best;
  report("bare standard binary reader", n, best, 0);
  best = 1e9;
  for (int k = 0; k < 2; ++k) best = std::min(best, bare_window(store, &n));
  report("window", n, best, base);

  best = 1e9;
  for (int k = 0; k < 3; ++k) best = std::min(best, grouping_alone(store, total));
  report("grouping alone: user (9,10,11), rows in memory", total, best, 0);

  struct Case {
    const char *name, *definition;
  } cases[] = {
      {"one level: user (9,10,11)", "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,10,11\n"},
      {"two levels: user, then domain (9,65,66)",
       "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[group]\ntype=SUMMARY\ngroupby=48\nsummary=9,65,66\n"
       "[fields metadata precompiled]\n48=|co.uk\n"},
      {"one level: category (9)", "[group]\ntype=SUMMARY\ngroupby=5\nsummary=9\n"},
  };
  int id = 10;
  for (const Case &c : cases) {
    if (argc > 2 && !strstr(c.name, argv[2])) continue;
    best = 1e9;
    double stage2 = 0;
    for (int k = 0; k < 3; ++k) {
      double second = 0, s = run_report(store, c.definition, id++, &n, &second);
      if (s < best) best = s, stage2 = second;
    }
    report(c.name, n, best, base);
    if (stage2 > 0.001) printf("    of which the second stage (queued detail tables): %.2f s of %.2f s\n", stage2, best);
  }

  if (chdir(old_cwd.c_str()) != 0) return 1;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
