// Speed of the request-log window. Two sets of log files in temporary log
// folders: six files of the three formats (standard binary, extended binary,
// text), and three standard binary files. Over each, a report period that
// starts inside the first file is read through the window bare and with a
// filter of five rules (user, denied, category, a text contains, a
// time-of-day range), in records per second beside the bare standard binary
// reader over the standard binary files of the set (and, for the mixed set,
// every file read bare by its own format's reader: the window's ceiling).
//
//   window_bench [RECORDS]   (records each window reads; default 2000000)
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/logfiles/logfile.h"
#include "src/report/filter.h"
#include "src/report/logfile_window.h"
#include "src/report/report.h"

namespace {

constexpr int32_t kT0 = 1700000000;
constexpr int kPerSecond = 10;  // records per second in every file

std::string le32(uint32_t v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  return std::string(b, 4);
}

std::string z(const std::string &s) { return s + std::string(1, '\0'); }

std::string ber(unsigned id, const std::string &c) {
  std::string len = c.size() < 128 ? std::string(1, static_cast<char>(c.size()))
                                   : std::string{'\x82', static_cast<char>(c.size() >> 8), static_cast<char>(c.size())};
  return std::string(1, static_cast<char>(id)) + len + c;
}

std::string ber_field(int id, int type, const std::string &name) {
  return ber(0x2A, ber(21, std::string(1, static_cast<char>(id))) + ber(22, name) +
                       ber(23, std::string(1, static_cast<char>(type))));
}

void write_all(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
  fclose(f);
}

// Writes NAME.log and NAME.ndx with n records; record i (its time t) is
// made by make(i, t).
template <class F>
void write_log(const std::string &base, const std::string &header, int n, int32_t t0, F make) {
  std::string log = header, ndx;
  log.reserve(100u * static_cast<size_t>(n));
  ndx.reserve(4u * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    ndx += le32(static_cast<uint32_t>(log.size()));
    log += make(i, t0 + i / kPerSecond);
  }
  write_all(base + ".log", log);
  write_all(base + ".ndx", ndx);
}

std::string url(int i) { return "http://www.example" + std::to_string(i % 1000) + ".com/path/index.html?q=" + std::to_string(i % 37); }
std::string user(int i) { return "user" + std::to_string(i % 100); }

void write_sb(const std::string &base, int n, int32_t t0) {
  write_log(base, "", n, t0, [](int i, int32_t t) {
    return le32(static_cast<uint32_t>(t)) + le32(0x0A000000u + static_cast<uint32_t>(i & 0xFF)) + z(user(i)) +
           z("staff") + z(std::string{'\x0C', '\x22'}) + std::string(1, static_cast<char>(i % 5 == 0)) + z(url(i));
  });
}

void write_eb(const std::string &base, int n, int32_t t0) {
  std::string fields = ber_field(7, 0x43, "DATE") + ber_field(2, 0x53, "IP") + ber_field(3, 0x16, "USER") +
                       ber_field(4, 0x16, "GROUP") + ber_field(5, 0x16, "CATS") + ber_field(6, 0x71, "DENIEDFLAG") +
                       ber_field(1, 0x16, "URI") + ber_field(65, 0x04, "INPUTBYTES");
  std::string header = le32(1) + ber(0x21, ber(0x22, fields) + ber(0x23, ""));
  write_log(base, header, n, t0, [](int i, int32_t t) {
    std::string bytes(8, '\0');
    bytes[0] = static_cast<char>(i);
    return le32(static_cast<uint32_t>(t)) + le32(0x0A000000u + static_cast<uint32_t>(i & 0xFF)) + z(user(i)) +
           z("staff") + z("12,34") + std::string(1, static_cast<char>(i % 5 == 0)) + z(url(i)) + bytes;
  });
}

void write_txt(const std::string &base, int n, int32_t t0) {
  write_log(base, "", n, t0, [](int i, int32_t t) {
    return std::to_string(t) + " " + url(i) + " 10.0.0." + std::to_string(i & 0xFF) + " " + user(i) + " staff " +
           std::to_string(i % 5 == 0) + " 12,34\n";
  });
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The bare reader over one file: records read into *n; seconds.
double bare_read(const std::string &path, long *n) {
  LogFileReaderPtr r = LogFileTest(path.c_str(), 0, nullptr, nullptr);
  if (!r) {
    fprintf(stderr, "no reader for %s\n", path.c_str());
    exit(1);
  }
  RecordPtr row = r->methods->AllocateRecords(r, 4);
  auto t = std::chrono::steady_clock::now();
  time_t sum = 0;
  for (int rc = r->methods->GetFirstRec(r, row); rc == 0; rc = r->methods->GetNextRec(r, row)) {
    sum += r->methods->RecordTime(r, row);
    ++*n;
  }
  double s = seconds_since(t);
  if (sum == 1) fprintf(stderr, " ");
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
  return s;
}

// One pass of the window, with or without the filter: records read into
// *n, passed into *passed; seconds (the opening included).
double window_read(REPORT *rep, bool filter, long *n, long *passed) {
  auto t = std::chrono::steady_clock::now();
  LOGFILE_READ *w = logfile_open(rep, 1);
  if (!w) {
    fprintf(stderr, "window did not open\n");
    exit(1);
  }
  *n = *passed = 0;
  while (logfile_next(w)) {
    ++*n;
    if (!filter || logfile_filter_record(rep, w->rec, w->map)) ++*passed;
  }
  logfile_close(w);
  return seconds_since(t);
}

FILTER_RULE *five_rules() {
  FILTER_RULE *f = nullptr;
  f = report_definition_add_filter("!= \"nobody\"", f, FIELD_USER, nullptr, nullptr, 0);
  f = report_definition_filter_add_denied(f, "FALSE");
  f = report_definition_add_filter("$ 99,100", f, FIELD_CATS, nullptr, nullptr, 0);
  f = report_definition_add_filter("% \"example\"", f, FIELD_URI, nullptr, nullptr, 0);
  f = report_definition_add_filter("@ 0 86399", f, FIELD_DAYTIME, nullptr, nullptr, 0);
  if (!f) {
    fprintf(stderr, "filter rejected\n");
    exit(1);
  }
  return f;
}

struct File {
  const char *name;
  void (*write)(const std::string &, int, int32_t);
  bool sb;
};

// Writes the files one after another in time (rotated logs) into dir/logs,
// works in dir/work, and prints the figures of one window over them.
void run_set(const char *title, const std::string &dir, const std::vector<File> &files, long total) {
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/work").c_str(), 0755);
  mkdir((dir + "/logs").c_str(), 0755);
  if (chdir((dir + "/work").c_str()) != 0) exit(1);
  int nfiles = static_cast<int>(files.size());
  // The period starts a tenth into the first file and ends with the last,
  // so the window reads `total` records.
  int per_file = static_cast<int>((total * 10) / (nfiles * 10 - 1));
  int32_t t = kT0;
  std::vector<std::string> sb_paths, all_paths;
  for (const File &f : files) {
    std::string base = dir + "/logs/" + f.name;
    f.write(base, per_file, t);
    if (f.sb) sb_paths.push_back(base + ".log");
    all_paths.push_back(base + ".log");
    t += per_file / kPerSecond;
  }
  REPORT rep{};
  REPORT_DEFINITION def{};
  rep.def = &def;
  rep.start = kT0 + per_file / kPerSecond / 10;
  rep.end = t;
  printf("\n%s: %d files of %d records\n", title, nfiles, per_file);

  // Bare readers: over the standard binary files (the yardstick), then
  // over every file with its own format's reader (the window's ceiling).
  auto bare = [](const std::vector<std::string> &paths, long *records) {
    double best = 1e9;
    for (int k = 0; k < 3; ++k) {
      long n = 0;
      double s = 0;
      for (const std::string &p : paths) s += bare_read(p, &n);
      if (s < best) best = s, *records = n;
    }
    return static_cast<double>(*records) / best;
  };
  // Measured before and after the windows (the best counts), so that the
  // write-back of the fresh files hurts neither side more than the other.
  long bare_n = 0, all_n = 0;
  double bare_rate = bare(sb_paths, &bare_n);
  double all_rate = sb_paths.size() != all_paths.size() ? bare(all_paths, &all_n) : 0;
  struct Figures {
    long n = 0, passed = 0;
    double rate = 0;
  } figures[2];
  for (bool filter : {false, true}) {
    def.filter = filter ? five_rules() : nullptr;
    Figures &f = figures[filter];
    double best = 1e9;
    for (int k = 0; k < 3; ++k) {
      double s = window_read(&rep, filter, &f.n, &f.passed);
      if (s < best) best = s;
    }
    f.rate = static_cast<double>(f.n) / best;
    free_filter_rule(def.filter);
    def.filter = nullptr;
  }
  bare_rate = std::max(bare_rate, bare(sb_paths, &bare_n));
  if (all_rate > 0) all_rate = std::max(all_rate, bare(all_paths, &all_n));

  printf("  %-32s %10ld records %8.2f Mrec/s\n", "bare standard binary reader", bare_n, bare_rate / 1e6);
  if (all_rate > 0)
    printf("  %-32s %10ld records %8.2f Mrec/s  (%.2f of bare standard binary)\n", "bare readers, every file", all_n,
           all_rate / 1e6, all_rate / bare_rate);
  for (bool filter : {false, true}) {
    const Figures &f = figures[filter];
    printf("  %-32s %10ld records %8.2f Mrec/s  (%.2f of bare standard binary; %ld passed)\n",
           filter ? "window + filter of five rules" : "window", f.n, f.rate / 1e6, f.rate / bare_rate, f.passed);
  }
}

}  // namespace

int main(int argc, char **argv) {
  long total = argc > 1 ? atol(argv[1]) : 2000000;
  if (total < 1000) total = 1000;
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  char tmpl[] = "/tmp/kxwindow_bench_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  std::string old_cwd = std::filesystem::current_path();
  struct utsname un;
  uname(&un);
  printf("window_bench: %ld records per window, %s %s %s, %ld CPUs\n", total, un.sysname, un.release, un.machine,
         sysconf(_SC_NPROCESSORS_ONLN));

  run_set("three formats", root + "/mixed",
          {{"kxlogger_requests_bin_1", write_sb, true},
           {"kxlogger_requests_ext_2", write_eb, false},
           {"kxlogger_requests_txt_3", write_txt, false},
           {"kxlogger_requests_bin_4", write_sb, true},
           {"kxlogger_requests_ext_5", write_eb, false},
           {"kxlogger_requests_txt_6", write_txt, false}},
          total);
  run_set("standard binary only", root + "/sb",
          {{"kxlogger_requests_bin_1", write_sb, true},
           {"kxlogger_requests_bin_2", write_sb, true},
           {"kxlogger_requests_bin_3", write_sb, true}},
          total);

  if (chdir(old_cwd.c_str()) != 0) return 1;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
