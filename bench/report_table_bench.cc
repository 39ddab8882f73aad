// Writes and reads back a table of one million summary rows (a user name and
// counters) and prints rows per second and MB/s for each direction, the best
// of five runs (other work on the machine only ever slows a run down).
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/record/record.h"
#include "src/table/table_file.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Steps the seven digits at name + 4 ("user0000000@example.org") to the next
// number, as printf's "%07ld" would give it, without a printf per row: the
// figures are the table's, not the formatting's. Wraps after 9999999.
void next_name(char *name) {
  for (int i = 10; i >= 4; i--) {
    if (name[i] != '9') {
      name[i]++;
      return;
    }
    name[i] = '0';
  }
}

}  // namespace

int main(int argc, char **argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
  char dir[] = "/tmp/kxbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/summary.tbl";

  int64_t counts[3] = {0, 0, 0};
  char user[64];
  RECORD rec[5] = {};
  rec[0] = {FIELD_USER, PTYPE_STRING | STORT_STR, 0, user};
  rec[1] = {FIELD_REQUESTCOUNT, STORT_INT64, 0, &counts[0]};
  rec[2] = {FIELD_REQUESTALLOWED, STORT_INT64, 0, &counts[1]};
  rec[3] = {FIELD_REQUESTDENIED, STORT_INT64, 0, &counts[2]};
  rec[4] = {0, 0, 0, nullptr};

  double wsec = 0, rsec = 0;
  long seen = 0;
  int64_t bytes = 0, sum = 0;
  for (int run = 0; run < 5; run++) {
    std::snprintf(user, sizeof user, "user%07d@example.org", 0);
    unlink(path.c_str());  // dropping the last run's pages is not the writer's work
    auto start = std::chrono::steady_clock::now();
    WRITE_TBL *w = write_new_rec(nullptr, path.c_str(), rec, TABLE_WRITE_BUFFER_SIZE);
    if (w == nullptr) return 1;
    bytes = 0;
    for (long i = 0; i < rows; i++) {
      counts[0] = i * 3;
      counts[1] = i * 2;
      counts[2] = i;
      int64_t written = 0;
      if (!write_next(w, rec, &written)) return 1;
      bytes += written;
      next_name(user);
    }
    if (!write_close(w)) return 1;
    const double w1 = seconds_since(start);

    start = std::chrono::steady_clock::now();
    READ_TBL *r = read_open(path.c_str());
    if (r == nullptr) return 1;
    seen = 0;
    sum = 0;
    while (read_next(r)) {
      int64_t v;
      std::memcpy(&v, r->rec[1].data, sizeof v);
      sum += v;
      seen++;
    }
    read_close(r);
    const double r1 = seconds_since(start);
    if (run == 0 || w1 < wsec) wsec = w1;
    if (run == 0 || r1 < rsec) rsec = r1;
  }

  struct utsname u {};
  uname(&u);
  std::printf("machine: %s %s, %ld cores\n", u.sysname, u.machine, sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("rows: %ld, %.1f MB (checksum %lld)\n", seen, bytes / 1e6, static_cast<long long>(sum));
  std::printf("best of 5 runs\n");
  std::printf("write: %.0f rows/s, %.1f MB/s\n", rows / wsec, bytes / 1e6 / wsec);
  std::printf("read:  %.0f rows/s, %.1f MB/s\n", seen / rsec, bytes / 1e6 / rsec);
  unlink(path.c_str());
  rmdir(dir);
  return seen == rows ? 0 : 1;
}
