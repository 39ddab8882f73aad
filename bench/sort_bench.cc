// Sorts a table of summary rows (a user name and three counters; 5 million
// rows unless the first argument says otherwise) first by its request
// counter descending, then by the user name, through the external sort, and
// prints rows per second for each and the peak memory of the process.
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/record/record.h"
#include "src/report/sort.h"
#include "src/table/table_file.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// User and system CPU seconds of the process so far: on a shared machine
// they show the sort's own cost when the wall clock does not.
double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long peak_kib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Checks the order a sort promised, reading the result back.
bool check(const std::string &path, long rows, bool by_counter) {
  READ_TBL *t = read_open(path.c_str());
  if (!t) return false;
  long seen = 0;
  int64_t last_count = INT64_MAX;
  std::string last_user;
  bool ok = true;
  while (read_next(t)) {
    int64_t count;
    std::memcpy(&count, t->rec[1].data, 8);
    std::string user = static_cast<const char *>(t->rec[0].data);
    if (by_counter ? count > last_count : (seen > 0 && user < last_user)) ok = false;
    last_count = count;
    last_user = std::move(user);
    seen++;
  }
  read_close(t);
  return ok && seen == rows;
}

}  // namespace

int main(int argc, char **argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 5000000;
  char dir[] = "/tmp/kxsortbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/summary.tbl";
  const std::string temp = std::string(dir) + "/temp/";
  std::filesystem::create_directories(temp);

  // Users in a scrambled order, counters with many ties.
  int64_t counts[3] = {0, 0, 0};
  char user[64];
  RECORD rec[5] = {};
  rec[0] = {FIELD_USER, PTYPE_STRING | STORT_STR, 0, user};
  rec[1] = {FIELD_REQUESTCOUNT, STORT_INT64, 0, &counts[0]};
  rec[2] = {FIELD_REQUESTALLOWED, STORT_INT64, 0, &counts[1]};
  rec[3] = {FIELD_REQUESTDENIED, STORT_INT64, 0, &counts[2]};
  rec[4] = {0, 0, 0, nullptr};
  WRITE_TBL *w = write_new_rec(nullptr, path.c_str(), rec, TABLE_WRITE_BUFFER_SIZE);
  if (w == nullptr) return 1;
  uint64_t x = 88172645463325252ull;
  for (long i = 0; i < rows; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::snprintf(user, sizeof user, "user%010llu@example.org", static_cast<unsigned long long>(x % 10000000000ull));
    counts[0] = static_cast<int64_t>(x % 100000);
    counts[1] = counts[0] / 2;
    counts[2] = counts[0] - counts[1];
    if (!write_next(w, rec, nullptr)) return 1;
  }
  if (!write_close(w)) return 1;
  const long long file_bytes = static_cast<long long>(std::filesystem::file_size(path));
  const long base_kib = peak_kib();

  unsigned next = 0;
  sort_env env;
  env.next_temp_file = [&]() { return temp + std::to_string(++next); };
  env.clear_temp = [&]() {
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(temp, ec)) std::filesystem::remove_all(e.path(), ec);
    next = 0;
  };
  std::string error;
  env.error = [&](const std::string &t) { error = t; };
  size_t merges = 0;
  env.on_merge = [&](const std::vector<std::string> &, const std::string &) { merges++; };

  utsname u{};
  uname(&u);
  std::printf("machine: %s %s, %ld cpus\n", u.machine, u.release, sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("table: %ld rows, %.1f MB\n", rows, file_bytes / 1e6);

  struct Pass {
    const char *name;
    std::vector<sort_key> keys;
    bool by_counter;
  } passes[] = {{"requests descending", {{FIELD_REQUESTCOUNT, -1}, {0, 0}}, true},
                {"user ascending", {{FIELD_USER, 1}, {0, 0}}, false}};
  for (const Pass &p : passes) {
    merges = 0;
    auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    if (!sort_table_file(env, path.c_str(), p.keys)) {
      std::fprintf(stderr, "sort failed: %s\n", error.c_str());
      return 1;
    }
    const double sec = seconds_since(start);
    const double cpu = cpu_seconds() - cpu_start;
    const bool ok = check(path, rows, p.by_counter);
    std::printf("sort by %-20s %6.2f s  %10.0f rows/s  %7.1f MB/s  cpu %5.2f s (%10.0f rows/cpu-s)  %zu merges  %s\n",
                p.name, sec, rows / sec, file_bytes / 1e6 / sec, cpu, rows / cpu, merges,
                ok ? "order checked" : "ORDER WRONG");
    if (!ok) return 1;
  }
  std::printf("peak memory: %ld KiB (%ld KiB before sorting)\n", peak_kib(), base_kib);
  std::filesystem::remove_all(dir);
  return 0;
}
