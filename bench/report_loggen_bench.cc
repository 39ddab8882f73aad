// Deterministic request-log generator for the report benchmark
// (bench/report_bench.sh). From a seed it makes a few hundred users in
// groups, tens of thousands of domains with a Zipf-like popularity (a few
// blocked, so that 5-10% of the requests are denied), categories and byte
// counts at about 20 requests per second, and writes N records:
//
//   DIR/logs/kxlogger_requests_{bin,txt}_YYYYMMDD_HHMMSS.{log,ndx}
//       the request logs as the logger writes and rotates them;
//   DIR/squid/access.log
//       the same requests as a Squid native access log;
//   DIR/counts.json, DIR/counts.txt
//       what a report over the whole period must show: records, denied,
//       and per user the hits, denied hits, bytes and distinct domains;
//   DIR/definition.txt
//       the report the driver queues: users, then domains, over the period.
//
// Standard binary logs carry no byte counts; the text logs carry them as a
// bandwidth event (field 63 = 1, field 64 "IB:n;OB:m"). So the report's
// byte totals ("input_bytes", "output_bytes") cover the text files only,
// while "squid_bytes" is the size column of every Squid line.
//
// With --stages it instead takes the logs of DIR/logs (as made above) through
// the report engine in this process and prints where the time goes: the
// bare readers, the request-log window, the period filter, grouping by
// user and by domain, writing and sorting the tables.
//
//   report_loggen_bench --out DIR [--records N] [--seed S] [--start UNIX]
//       [--files K] [--format bin|txt|mixed] [--rate R] [--users U]
//       [--domains D] [--no-squid]
//   report_loggen_bench --stages DIR
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "lib/logfiles/logfile.h"
#include "src/report/definition.h"
#include "src/report/fields.h"
#include "src/report/filter.h"
#include "src/report/group.h"
#include "src/report/logfile_window.h"
#include "src/report/report.h"
#include "src/report/sort.h"
#include "src/report/tfile.h"
#include "src/table/table.h"

namespace {

// --- Deterministic randomness (own generator: the same logs on every
// platform and library) -----------------------------------------------------

uint64_t splitmix64(uint64_t &s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (uint64_t &w : s_) w = splitmix64(seed);
  }
  uint64_t next() {  // xoshiro256**
    const uint64_t r = rotl(s_[1] * 5, 7) * 9, t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return r;
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
  int64_t between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo + 1))); }
  // Roughly log-uniform in [lo, hi]: many small values, some large.
  int64_t log_between(int64_t lo, int64_t hi) {
    double v = std::exp(std::log(static_cast<double>(lo)) + unit() * (std::log(static_cast<double>(hi)) - std::log(static_cast<double>(lo))));
    return std::clamp(static_cast<int64_t>(v), lo, hi);
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

// Picks an index by weight: a cumulative table and a binary search.
class Picker {
 public:
  explicit Picker(const std::vector<double> &w) : cum_(w.size()) {
    double sum = 0;
    for (size_t i = 0; i < w.size(); ++i) cum_[i] = sum += w[i];
    for (double &c : cum_) c /= sum;
  }
  size_t pick(Rng &r) const {
    size_t i = static_cast<size_t>(std::upper_bound(cum_.begin(), cum_.end(), r.unit()) - cum_.begin());
    return std::min(i, cum_.size() - 1);
  }
  double share(size_t i) const { return cum_[i] - (i ? cum_[i - 1] : 0.0); }

 private:
  std::vector<double> cum_;
};

// --- The population ---------------------------------------------------------

const char *const kGroups[] = {"admins", "sales",   "engineering", "support", "finance", "marketing",
                               "legal",  "hr",      "operations",  "research", "students", "guests"};
constexpr int kGroupCount = sizeof kGroups / sizeof kGroups[0];
const char *const kSyllables[] = {"ka", "mo", "ri", "tu", "ne", "sa", "lo", "vi", "de", "pa",
                                  "zu", "ge", "ho", "mi", "ta", "be", "ro", "ni", "fa", "ly"};
const char *const kTlds[] = {"com", "com", "com", "com", "net", "org", "de", "io", "info", "eu"};
const char *const kSubhosts[] = {"www.", "www.", "www.", "www.", "www.", "", "", "static.", "img.", "cdn.", "api.", "m."};

struct User {
  std::string name;
  std::string group;
  bool exempt;   // the admins pass blocked sites
  uint32_t ip;   // host-order value
  std::string ip_text;
};

struct Domain {
  std::string name;  // the last two labels: what the report groups by
  std::string cats_bytes;  // category numbers, one per byte
  std::string cats_text;   // the same as "12,34"
  bool blocked = false;
  bool https = false;
};

// Paths of one request: (path, Squid content type, kind of size).
struct PathKind {
  const char *fmt;
  const char *mime;
  int64_t lo, hi;  // bytes received
};
const PathKind kPaths[] = {
    {"/", "text/html", 3000, 80000},
    {"/index.html", "text/html", 3000, 80000},
    {"/news/article%u.html", "text/html", 8000, 120000},
    {"/img/p%u.jpg", "image/jpeg", 5000, 400000},
    {"/static/app%u.js", "application/javascript", 2000, 300000},
    {"/css/site%u.css", "text/css", 1000, 60000},
    {"/search?q=w%u", "text/html", 5000, 60000},
    {"/api/v1/items/%u", "application/json", 200, 8000},
    {"/video/seg%u.ts", "video/mp2t", 100000, 2000000},
};
constexpr int kPathCount = sizeof kPaths / sizeof kPaths[0];

struct Options {
  std::string out;
  long long records = 200000;
  uint64_t seed = 1;
  int64_t start = 1767571200;  // 2026-01-05 00:00:00 UTC
  int files = 0;               // 0: by the number of records
  std::string format = "mixed";
  int rate = 20;
  int users = 300;
  int domains = 30000;
  bool squid = true;
  std::string stages;
};

[[noreturn]] void die(const std::string &msg) {
  fprintf(stderr, "report_loggen_bench: %s\n", msg.c_str());
  exit(1);
}

// A buffered output file; dies on any write failure (a benchmark with a
// half-written log would measure nothing useful).
class Out {
 public:
  explicit Out(const std::string &path) : path_(path), f_(fopen(path.c_str(), "wb")) {
    if (!f_) die("cannot create " + path + ": " + strerror(errno));
    buf_.reserve(kChunk + 4096);
  }
  Out(const Out &) = delete;
  Out &operator=(const Out &) = delete;
  ~Out() { close(); }
  void add(std::string_view s) {
    buf_.append(s);
    written_ += s.size();
    if (buf_.size() >= kChunk) flush();
  }
  void add_char(char c) { add(std::string_view(&c, 1)); }
  void add_le32(uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    add(std::string_view(b, 4));
  }
  uint64_t size() const { return written_; }
  void close() {
    if (!f_) return;
    flush();
    if (fclose(f_) != 0) die("cannot write " + path_);
    f_ = nullptr;
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  void flush() {
    if (!buf_.empty() && fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) die("cannot write " + path_);
    buf_.clear();
  }
  std::string path_;
  FILE *f_;
  std::string buf_;
  uint64_t written_ = 0;
};

std::string utc_stamp(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  tm tmv{};
  gmtime_r(&tt, &tmv);
  char b[32];
  strftime(b, sizeof b, "%Y%m%d_%H%M%S", &tmv);
  return b;
}

std::string ip_text(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." + std::to_string((ip >> 8) & 255) + "." +
         std::to_string(ip & 255);
}

std::string json_text(const std::string &s) {
  std::string o = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o + "\"";
}

struct Counts {
  long long hits = 0, denied = 0, input_bytes = 0, output_bytes = 0, squid_bytes = 0;
};

// One log file being written: the .log and its .ndx of 32-bit offsets.
struct LogOut {
  LogOut(const std::string &base, bool text) : text(text), log(base + ".log"), ndx(base + ".ndx") {
    if (text) {
      // The layout: the default seven fields, then the event type (63)
      // and its data (64), which carry the byte counts.
      log.add("1000000001 7:43 1:16 2:57 3:16 4:16 6:71 5:16 3f:03 40:16\n");
      log.add("1000000002 DATE URI IP USER GROUP DENIEDFLAG CATS TYPE DATA\n");
    }
  }
  void begin_record() {
    if (log.size() > UINT32_MAX) die("a log file grew past 4 GiB (use more --files)");
    ndx.add_le32(static_cast<uint32_t>(log.size()));
    ++records;
  }
  bool text;
  Out log, ndx;
  long long records = 0;
};

std::string bench_definition(long long start, long long end);

int generate(const Options &o) {
  namespace fs = std::filesystem;
  if (o.records < 1) die("--records must be at least 1");
  if (o.users < 1 || o.domains < 20 || o.rate < 1) die("--users, --domains (at least 20) and --rate must be positive");
  if (o.format != "bin" && o.format != "txt" && o.format != "mixed") die("--format is bin, txt or mixed");
  std::error_code ec;
  fs::create_directories(o.out + "/logs", ec);
  if (o.squid) fs::create_directories(o.out + "/squid", ec);
  if (!fs::is_directory(o.out + "/logs")) die("cannot create " + o.out + "/logs");
  for (const auto &e : fs::directory_iterator(o.out + "/logs"))
    if (e.path().filename().string().rfind("kxlogger_requests", 0) == 0) die(o.out + "/logs already holds request logs");

  Rng rng(o.seed);

  // Users: names, groups, addresses; activity falls off with the index.
  std::vector<User> users(static_cast<size_t>(o.users));
  std::vector<double> user_w(users.size());
  for (size_t u = 0; u < users.size(); ++u) {
    char name[32];
    snprintf(name, sizeof name, "user%03zu", u + 1);
    int g = static_cast<int>((u * 7 + rng.below(3)) % kGroupCount);
    users[u].name = name;
    users[u].group = kGroups[g];
    users[u].exempt = g == 0;
    users[u].ip = (10u << 24) | (1u << 16) | (static_cast<uint32_t>(u / 200) << 8) | static_cast<uint32_t>(u % 200 + 10);
    users[u].ip_text = ip_text(users[u].ip);
    user_w[u] = 1.0 / std::pow(static_cast<double>(u) + 2.0, 0.7);
  }
  Picker user_pick(user_w);

  // Domains: Zipf popularity by rank; one or two categories each.
  std::vector<Domain> domains(static_cast<size_t>(o.domains));
  std::vector<double> dom_w(domains.size());
  for (size_t k = 0; k < domains.size(); ++k) {
    Domain &d = domains[k];
    d.name = std::string(kSyllables[k % 20]) + kSyllables[(k / 20) % 20] + kSyllables[(k * 7 + 3) % 20] +
             std::to_string(k / 400) + "." + kTlds[rng.below(10)];
    int ncat = 1 + static_cast<int>(rng.below(2));
    for (int c = 0; c < ncat; ++c) {
      unsigned cat = 1 + static_cast<unsigned>(rng.below(80));
      if (d.cats_bytes.find(static_cast<char>(cat)) != std::string::npos) continue;
      d.cats_bytes += static_cast<char>(cat);
      if (!d.cats_text.empty()) d.cats_text += ",";
      d.cats_text += std::to_string(cat);
    }
    d.https = rng.below(10) < 6;
    dom_w[k] = 1.0 / (static_cast<double>(k) + 1.0);
  }
  Picker dom_pick(dom_w);
  // Blocked sites: random ones outside the top 20 until they draw 7.5% of
  // the requests; the admins pass them, so about 7% are denied.
  {
    std::vector<size_t> order;
    for (size_t k = 20; k < domains.size(); ++k) order.push_back(k);
    for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[rng.below(i)]);
    double mass = 0;
    for (size_t k : order) {
      if (mass >= 0.075) break;
      if (mass + dom_pick.share(k) > 0.09) continue;
      domains[k].blocked = true;
      mass += dom_pick.share(k);
      // Blocked sites get a category of their own range (gambling, adult...).
      domains[k].cats_bytes = std::string(1, static_cast<char>(90 + k % 10));
      domains[k].cats_text = std::to_string(90 + k % 10);
    }
  }

  int files = o.files > 0 ? o.files : static_cast<int>(std::clamp(o.records / 500000 + 2, 2LL, 24LL));
  const long long per_file = (o.records + files - 1) / files;

  std::vector<Counts> per_user(users.size());
  std::vector<char> dom_seen(domains.size(), 0);
  // Which domains each user visited: the rows of that user's domain table.
  const size_t words = (domains.size() + 63) / 64;
  std::vector<uint64_t> user_dom(users.size() * words, 0);
  Counts total;
  std::vector<std::string> file_names;
  std::unique_ptr<LogOut> cur;
  std::unique_ptr<Out> squid;
  if (o.squid) squid = std::make_unique<Out>(o.out + "/squid/access.log");

  int64_t t = o.start;
  int in_second = 0, second_quota = static_cast<int>(rng.between(o.rate / 2, o.rate + o.rate / 2));
  int file_index = 0;
  std::string url, line;
  char path[96], sq[512];
  url.reserve(256);
  line.reserve(512);
  const auto t0 = std::chrono::steady_clock::now();

  for (long long i = 0; i < o.records; ++i) {
    if (in_second >= second_quota) {  // next second, and maybe no request at all in it
      t += 1 + (rng.below(50) == 0 ? 1 : 0);
      in_second = 0;
      second_quota = std::max(1, static_cast<int>(rng.between(o.rate / 2, o.rate + o.rate / 2)));
    }
    // Rotation on a second's boundary once the file has its share.
    if (!cur || (cur->records >= per_file && in_second == 0)) {
      bool text = o.format == "txt" || (o.format == "mixed" && file_index % 2 == 1);
      std::string name = std::string(text ? "kxlogger_requests_txt_" : "kxlogger_requests_bin_") + utc_stamp(t);
      cur.reset();  // closes the previous file first
      cur = std::make_unique<LogOut>(o.out + "/logs/" + name, text);
      file_names.push_back(name + ".log");
      ++file_index;
    }
    ++in_second;

    const size_t u = user_pick.pick(rng);
    const size_t k = dom_pick.pick(rng);
    const User &us = users[u];
    const Domain &d = domains[k];
    const PathKind &pk = kPaths[rng.below(kPathCount)];
    snprintf(path, sizeof path, pk.fmt, static_cast<unsigned>(rng.below(5000)));
    const char *sub = kSubhosts[rng.below(sizeof kSubhosts / sizeof kSubhosts[0])];
    url.assign(d.https ? "https://" : "http://").append(sub).append(d.name).append(path);
    const bool denied = d.blocked && !us.exempt;
    const int64_t ib = denied ? rng.between(1200, 1800) : rng.log_between(pk.lo, pk.hi);
    const int64_t ob = rng.between(300, 1500);

    cur->begin_record();
    if (!cur->text) {
      cur->log.add_le32(static_cast<uint32_t>(t));
      cur->log.add_le32(us.ip);
      cur->log.add(std::string_view(us.name.c_str(), us.name.size() + 1));
      cur->log.add(std::string_view(us.group.c_str(), us.group.size() + 1));
      cur->log.add(std::string_view(d.cats_bytes.c_str(), d.cats_bytes.size() + 1));
      cur->log.add_char(denied ? 1 : 0);
      cur->log.add(std::string_view(url.c_str(), url.size() + 1));
    } else {
      line.assign(std::to_string(t)).append(" ").append(url).append(" ").append(us.ip_text).append(" ");
      line.append(us.name).append(" ").append(us.group).append(denied ? " 1 " : " 0 ").append(d.cats_text);
      line.append(" 1 IB:").append(std::to_string(ib)).append(";OB:").append(std::to_string(ob)).append("\n");
      cur->log.add(line);
    }

    Counts &c = per_user[u];
    ++c.hits;
    ++total.hits;
    if (denied) ++c.denied, ++total.denied;
    if (cur->text) {
      c.input_bytes += ib, total.input_bytes += ib;
      c.output_bytes += ob, total.output_bytes += ob;
    }
    c.squid_bytes += ib, total.squid_bytes += ib;
    dom_seen[k] = 1;
    user_dom[u * words + k / 64] |= uint64_t{1} << (k % 64);

    if (squid) {
      // Squid native: time.ms elapsed client code/status bytes method URL
      // user hierarchy/peer type. HTTPS goes through CONNECT host:443.
      const unsigned ms = static_cast<unsigned>(rng.below(1000));
      const unsigned elapsed = static_cast<unsigned>(rng.log_between(2, 30000));
      std::string host = std::string(sub) + d.name;
      int n;
      if (denied)
        n = snprintf(sq, sizeof sq, "%lld.%03u %6u %s TCP_DENIED/403 %lld %s %s%s %s HIER_NONE/- text/html\n",
                     static_cast<long long>(t), ms, elapsed, us.ip_text.c_str(), static_cast<long long>(ib),
                     d.https ? "CONNECT" : "GET", d.https ? host.c_str() : url.c_str(), d.https ? ":443" : "",
                     us.name.c_str());
      else if (d.https)
        n = snprintf(sq, sizeof sq, "%lld.%03u %6u %s TCP_TUNNEL/200 %lld CONNECT %s:443 %s HIER_DIRECT/203.0.113.%u -\n",
                     static_cast<long long>(t), ms, elapsed, us.ip_text.c_str(), static_cast<long long>(ib), host.c_str(),
                     us.name.c_str(), static_cast<unsigned>(k % 250 + 1));
      else
        n = snprintf(sq, sizeof sq, "%lld.%03u %6u %s TCP_MISS/200 %lld GET %s %s HIER_DIRECT/203.0.113.%u %s\n",
                     static_cast<long long>(t), ms, elapsed, us.ip_text.c_str(), static_cast<long long>(ib), url.c_str(),
                     us.name.c_str(), static_cast<unsigned>(k % 250 + 1), pk.mime);
      squid->add(std::string_view(sq, static_cast<size_t>(std::min<int>(n, static_cast<int>(sizeof sq) - 1))));
    }
  }
  cur.reset();
  if (squid) squid->close();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const int64_t end = t;
  long long distinct = std::count(dom_seen.begin(), dom_seen.end(), 1);
  auto user_domains = [&](size_t u) {
    long long n = 0;
    for (size_t w = 0; w < words; ++w) n += __builtin_popcountll(user_dom[u * words + w]);
    return n;
  };

  // The counts, as JSON for the driver and as text for people.
  {
    std::ofstream js(o.out + "/counts.json");
    js << "{\n  \"records\": " << total.hits << ",\n  \"denied\": " << total.denied
       << ",\n  \"input_bytes\": " << total.input_bytes << ",\n  \"output_bytes\": " << total.output_bytes
       << ",\n  \"squid_bytes\": " << total.squid_bytes << ",\n  \"start\": " << o.start << ",\n  \"end\": " << end
       << ",\n  \"seed\": " << o.seed << ",\n  \"format\": " << json_text(o.format)
       << ",\n  \"distinct_domains\": " << distinct << ",\n  \"files\": [";
    for (size_t f = 0; f < file_names.size(); ++f) js << (f ? ", " : "") << json_text(file_names[f]);
    js << "],\n  \"users\": {";
    bool first = true;
    for (size_t u = 0; u < users.size(); ++u) {
      const Counts &c = per_user[u];
      if (c.hits == 0) continue;
      js << (first ? "\n" : ",\n") << "    " << json_text(users[u].name) << ": {\"hits\": " << c.hits
         << ", \"denied\": " << c.denied << ", \"input_bytes\": " << c.input_bytes << ", \"output_bytes\": " << c.output_bytes
         << ", \"squid_bytes\": " << c.squid_bytes << ", \"domains\": " << user_domains(u) << "}";
      first = false;
    }
    js << "\n  }\n}\n";
    if (!js) die("cannot write counts.json");
    std::ofstream tx(o.out + "/counts.txt");
    tx << "# user hits denied input_bytes output_bytes squid_bytes domains\n";
    for (size_t u = 0; u < users.size(); ++u) {
      const Counts &c = per_user[u];
      if (c.hits)
        tx << users[u].name << ' ' << c.hits << ' ' << c.denied << ' ' << c.input_bytes << ' ' << c.output_bytes << ' '
           << c.squid_bytes << ' ' << user_domains(u) << '\n';
    }
    tx << "TOTAL " << total.hits << ' ' << total.denied << ' ' << total.input_bytes << ' ' << total.output_bytes << ' '
       << total.squid_bytes << '\n';
    if (!tx) die("cannot write counts.txt");
    std::ofstream def(o.out + "/definition.txt");
    def << bench_definition(static_cast<long long>(o.start), static_cast<long long>(end));
    if (!def) die("cannot write definition.txt");
  }

  long active = static_cast<long>(std::count_if(per_user.begin(), per_user.end(), [](const Counts &c) { return c.hits > 0; }));
  printf("records %lld\ndenied %lld (%.2f%%)\nusers %ld\ndistinct_domains %lld\ninput_bytes %lld\noutput_bytes %lld\n"
         "squid_bytes %lld\nstart %lld\nend %lld\nfiles %zu (%s)\ngenerated_in %.2f s (%.0f records/s)\n",
         total.hits, total.denied, 100.0 * static_cast<double>(total.denied) / static_cast<double>(total.hits), active,
         distinct, total.input_bytes, total.output_bytes, total.squid_bytes, static_cast<long long>(o.start),
         static_cast<long long>(end), file_names.size(), o.format.c_str(), secs, static_cast<double>(total.hits) / secs);
  return 0;
}

// --- Stage rates over the generated logs --------------------------------------

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

long long peak_kib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Every file through its own reader; records into *n; seconds.
double bare_pass(const std::vector<std::string> &paths, long long *n) {
  *n = 0;
  auto t = std::chrono::steady_clock::now();
  time_t sum = 0;
  for (const std::string &p : paths) {
    LogFileReaderPtr r = LogFileTest(p.c_str(), 0, nullptr, nullptr);
    if (!r) die("no reader takes " + p);
    RecordPtr row = r->methods->AllocateRecords(r, 4);
    if (!row) die("no memory");
    for (int rc = r->methods->GetFirstRec(r, row); rc == 0; rc = r->methods->GetNextRec(r, row)) {
      sum += r->methods->RecordTime(r, row);
      ++*n;
    }
    r->methods->FreeRecords(r, row);
    r->methods->FreeReader(r);
  }
  double s = seconds_since(t);
  if (sum == 1) fputc(' ', stderr);  // keeps the loop from being optimised away
  return s;
}

double window_pass(REPORT *rep, bool filter, long long *n, long long *passed) {
  auto t = std::chrono::steady_clock::now();
  LOGFILE_READ *w = logfile_open(rep, 1);
  if (!w) die("the window did not open");
  *n = *passed = 0;
  while (logfile_next(w)) {
    ++*n;
    if (!filter || logfile_filter_record(rep, w->rec, w->map)) ++*passed;
  }
  logfile_close(w);
  return seconds_since(t);
}

long long json_number(const std::string &js, const char *key) {
  size_t p = js.find(std::string("\"") + key + "\":");
  if (p == std::string::npos) die(std::string("counts.json has no ") + key);
  return atoll(js.c_str() + p + strlen(key) + 3);
}

// The report's definition over [start, end]: users, then each user's
// domains, with hits, denied and bytes, ordered by hits. The domain is the
// host's last two labels (the shared domain list, when loaded, names
// longer suffixes). The driver queues this text as the demand job.
std::string bench_definition(long long start, long long end) {
  return "[general]\nversion=1\n"
         "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,11,65,66\norderby=9,-1\n"
         "[group]\ntype=SUMMARY\ngroupby=48\nsummary=9,11,65,66\norderby=9,-1\n"
         "[static_filter]\ndate=@ " +
         std::to_string(start) + " " + std::to_string(end) +
         "\n"
         "[fields metadata precompiled]\n48=|*\n";
}

[[noreturn]] void engine_failed(REPORT *rep, const char *what) {
  die(std::string(what) + " failed: " + (rep && rep->error ? rep->error : "?"));
}

struct StageTimes {
  double group0 = 0, write0 = 0, group1 = 0, write1 = 0, sort = 0;
  long long sums[4] = {0, 0, 0, 0};  // the users' table: hits, denied, input and output bytes
  long long passed = 0, groups0 = 0, tables1 = 0, rows1 = 0, groups1 = 0, spilled1 = 0, passes1 = 0;
};

// Writes the tree of the current level into its output and frees it.
double write_groups(REPORT *rep, long long *records) {
  auto t = std::chrono::steady_clock::now();
  int64_t bytes = 0, recs = 0;
  if (!group_write(rep, &bytes, &recs)) engine_failed(rep, "group_write");
  GROUP_TREE *gl = rep->groups;
  rep->groups = nullptr;
  if (!group_terminate(gl)) engine_failed(rep, "group_terminate");
  *records += recs;
  return seconds_since(t);
}

// Writes the tree of the current level and closes it with its output.
double write_level(REPORT *rep, long long *records) {
  auto t = std::chrono::steady_clock::now();
  write_groups(rep, records);
  table_close(rep->output);
  rep->output = nullptr;
  return seconds_since(t);
}

// The report's road through the engine, stage by stage, in this process:
// window + filter + users (writing each user's detail rows), the users'
// table, each queued detail table grouped by domain, then every table
// sorted by its order. Rows past a level's group limit are spilled and
// grouped in further passes, as the daemon's second stage does.
StageTimes engine_pass(const std::string &dir, long long start, long long end) {
  namespace fs = std::filesystem;
  StageTimes st;
  const std::string store = dir + "/stages-store";
  std::error_code ec;
  fs::remove_all(store, ec);
  reporter_settings settings{};
  std::string reports = store + "/reports/", temp = store + "/temp/";
  settings.reports_directory = reports.data();
  settings.temp_directory = temp.data();
  settings.ip_type = 3;
  REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "bench", "bench", 0, 0, 1, &settings);
  if (!rep) die("no memory");
  rep->file_id = 1;
  rep->type_hints = get_type_hints();
  const std::string definition = bench_definition(start, end);
  if (report_definition_interpret_definition(rep, definition.c_str()) != -1) engine_failed(rep, "the definition");
  rep->root_path = tfile_create_root_path(rep, 1);
  rep->temp_path = tfile_create_temp_path(rep, 1);
  rep->start = static_cast<time_t>(start);
  rep->end = static_cast<time_t>(end);
  std::string queue = store + "/process";
  rep->index_fd = open(queue.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0600);
  if (rep->index_fd < 0) die("cannot create " + queue);
  unlink(queue.c_str());
  const std::string root = std::string(rep->root_path) + "root";

  auto t = std::chrono::steady_clock::now();
  TABLE *w = table_open(TABLE_LOGFILE, rep, nullptr, nullptr, 1, 0);
  if (!w) engine_failed(rep, "the window");
  rep->groups = group_initialize(rep, 0, GROUP_MAX_GROUPS, w->rec, w->map);
  if (!rep->groups) engine_failed(rep, "group_initialize");
  rep->output = group_open_output(rep->groups, rep, root.c_str());
  if (!rep->output) engine_failed(rep, "group_open_output");
  while (table_read_record(w)) {
    if (!logfile_filter_record(rep, w->rec, w->map)) continue;
    ++st.passed;
    int r = group_add_record(rep->groups, w->rec, w->map, rep->index_fd, w, rep, rep->output);
    if (r == 1) engine_failed(rep, "group_add_record");
    if (r == 2 && !group_save_spill_record(rep, rep->groups, w->rec, w->map)) engine_failed(rep, "spill");
  }
  table_close(w);
  st.group0 = seconds_since(t);
  st.write0 = write_level(rep, &st.groups0);

  // The queued detail tables, each grouped by domain into its own table.
  std::vector<std::string> outputs{root};
  t = std::chrono::steady_clock::now();
  std::string bytes;
  char buf[65536];
  ssize_t got;
  off_t pos = 0;
  while ((got = pread(rep->index_fd, buf, sizeof buf, pos)) > 0) bytes.append(buf, static_cast<size_t>(got)), pos += got;
  for (size_t i = 0; i < bytes.size();) {
    size_t z = bytes.find('\0', i);
    if (z == std::string::npos || z + 5 > bytes.size()) die("a damaged queue entry");
    std::string path = bytes.substr(i, z - i);
    int32_t level;
    memcpy(&level, bytes.data() + z + 1, 4);
    i = z + 5;
    // The table, then the rows it spilled past the group limit, grouped in
    // further passes as the daemon does: each pass writes its groups and
    // spills what it cannot hold.
    std::string input = path;
    outputs.push_back(path + ".out");
    for (bool first = true;; first = false) {
      TABLE *in = table_open(TABLE_READ, rep, input.c_str(), nullptr, 0, 0);
      if (!in) engine_failed(rep, first ? "a detail table" : "a spill table");
      rep->groups = group_initialize(rep, level, GROUP_MAX_GROUPS, in->rec, in->map);
      if (!rep->groups) engine_failed(rep, "group_initialize");
      if (first) {
        rep->output = group_open_output(rep->groups, rep, outputs.back().c_str());
        if (!rep->output) engine_failed(rep, "group_open_output");
      } else {
        ++st.passes1;
      }
      while (table_read_record(in)) {
        if (first) ++st.rows1;
        int r = group_add_record(rep->groups, in->rec, in->map, -1, in, rep, rep->output);
        if (r == 1) engine_failed(rep, "group_add_record");
        if (r == 2) {
          ++st.spilled1;
          if (!group_save_spill_record(rep, rep->groups, in->rec, in->map)) engine_failed(rep, "spill");
        }
      }
      table_close(in);
      if (!first) unlink(input.c_str());
      if (!rep->spill) break;
      st.write1 += write_groups(rep, &st.groups1);
      table_close(rep->spill);
      rep->spill = nullptr;
      input = rep->spill_file_name;
      free(rep->spill_file_name);
      rep->spill_file_name = nullptr;
    }
    ++st.tables1;
    st.write1 += write_level(rep, &st.groups1);
  }
  st.group1 = seconds_since(t) - st.write1;

  t = std::chrono::steady_clock::now();
  for (size_t i = 0; i < outputs.size(); ++i) {
    SORT_OPTION *keys = rep->def->group[i == 0 ? 0 : 1]->orderby;
    if (!sort_table(rep, outputs[i].c_str(), keys)) engine_failed(rep, "sort_table");
  }
  st.sort = seconds_since(t);

  // The users' table summed, for the check against the generated counts.
  TABLE *users = table_open(TABLE_READ, rep, root.c_str(), nullptr, 0, 0);
  if (!users) engine_failed(rep, "reading the users' table");
  const int fields[4] = {FIELD_REQUESTCOUNT, FIELD_REQUESTDENIED, FIELD_INPUTBYTES, FIELD_OUTPUTBYTES};
  while (table_read_record(users))
    for (int k = 0; k < 4; ++k) {
      const Record &e = users->rec[users->map[fields[k]]];
      if (e.type == fields[k] && e.data) {
        int64_t v;
        memcpy(&v, e.data, sizeof v);
        st.sums[k] += v;
      }
    }
  table_close(users);
  close(rep->index_fd);
  rep->index_fd = -1;
  settings.reports_directory = settings.temp_directory = nullptr;
  rep->settings = nullptr;
  free_report(rep);
  fs::remove_all(store, ec);
  return st;
}

int stages(const std::string &dir_arg) {
  namespace fs = std::filesystem;
  const std::string dir = fs::absolute(dir_arg).string();  // the window runs from dir/work
  std::ifstream in(dir + "/counts.json");
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string js = ss.str();
  const long long start = json_number(js, "start"), end = json_number(js, "end");
  std::vector<std::string> paths;
  for (const auto &e : fs::directory_iterator(dir + "/logs"))
    if (e.path().extension() == ".log" && e.path().filename().string().rfind("kxlogger_requests", 0) == 0)
      paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) die("no request logs in " + dir + "/logs");
  // The window reads "../logs/" from the working folder.
  fs::create_directories(dir + "/work");
  if (chdir((dir + "/work").c_str()) != 0) die("cannot enter " + dir + "/work");
  logfile_window_install();

  auto best_of = [](int runs, auto &&pass) {
    double best = 1e30;
    for (int k = 0; k < runs; ++k) best = std::min(best, pass());
    return best;
  };
  long long n = 0, passed = 0;
  printf("stages over %s/logs (%zu files; each stage best of 3 passes, from the page cache)\n", dir.c_str(),
         paths.size());
  const double bare = best_of(3, [&] { return bare_pass(paths, &n); });
  const long long records = n;

  REPORT rep{};
  REPORT_DEFINITION def{};
  rep.def = &def;
  rep.start = static_cast<time_t>(start);
  rep.end = static_cast<time_t>(end);
  const double window = best_of(3, [&] { return window_pass(&rep, false, &n, &passed); });
  const std::string rule = "@ " + std::to_string(start) + " " + std::to_string(end);
  def.filter = report_definition_add_filter(rule.c_str(), nullptr, FIELD_DATE, nullptr, nullptr, 0);
  if (!def.filter) die("the period filter was rejected");
  const double filtered = best_of(3, [&] { return window_pass(&rep, true, &n, &passed); });
  free_filter_rule(def.filter);
  def.filter = nullptr;

  // The engine's stages best of three passes too, each stage on its own.
  StageTimes st = engine_pass(dir, start, end);
  for (int k = 1; k < 3; ++k) {
    const StageTimes again = engine_pass(dir, start, end);
    st.group0 = std::min(st.group0, again.group0);
    st.write0 = std::min(st.write0, again.write0);
    st.group1 = std::min(st.group1, again.group1);
    st.write1 = std::min(st.write1, again.write1);
    st.sort = std::min(st.sort, again.sort);
  }
  // Rates are of the N input records, so the stages compare directly.
  auto row = [&](const char *stage, double s, const char *note) {
    if (s > 0.0005)
      printf("  %-36s %9.3f s %9.2f Mrec/s  %s\n", stage, s, static_cast<double>(records) / s / 1e6, note);
    else
      printf("  %-36s %9.3f s %9s        %s\n", stage, s, "-", note);
  };
  char note[160];
  row("read: bare readers, every file", bare, "");
  row("read: window (k-way merge, rows)", window, "");
  snprintf(note, sizeof note, "(%lld passed)", passed);
  row("filter: period filter", std::max(0.0, filtered - window), note);
  snprintf(note, sizeof note, "(%lld users; detail rows written for the next level)", st.groups0);
  row("group: users", std::max(0.0, st.group0 - filtered), note);
  row("write: users' table", st.write0, "");
  snprintf(note, sizeof note, "(%lld tables, %lld rows in, %lld out; %lld rows spilled over %lld passes)",
           st.tables1, st.rows1, st.groups1, st.spilled1, st.passes1);
  row("group: domains of each user", st.group1, note);
  row("write: domain tables", st.write1, "");
  row("sort: every table by hits", st.sort, "");
  const double total = st.group0 + st.write0 + st.group1 + st.write1 + st.sort;
  row("all stages (best of each)", total, "");
  printf("  peak memory %lld KiB\n", peak_kib());
  const char *keys[4] = {"records", "denied", "input_bytes", "output_bytes"};
  bool same = true;
  for (int k = 0; k < 4; ++k) same = same && st.sums[k] == json_number(js, keys[k]);
  printf("  users' table totals: hits %lld, denied %lld, input bytes %lld, output bytes %lld: %s\n", st.sums[0],
         st.sums[1], st.sums[2], st.sums[3], same ? "as generated" : "DIFFERENT from counts.json");
  return same ? 0 : 1;
}

void usage() {
  fputs("usage: report_loggen_bench --out DIR [--records N] [--seed S] [--start UNIX] [--files K]\n"
        "           [--format bin|txt|mixed] [--rate R] [--users U] [--domains D] [--no-squid]\n"
        "       report_loggen_bench --stages DIR\n",
        stderr);
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        die(a + " needs a value");
      }
      return argv[++i];
    };
    if (a == "--out") o.out = value();
    else if (a == "--records") o.records = atoll(value().c_str());
    else if (a == "--seed") o.seed = strtoull(value().c_str(), nullptr, 10);
    else if (a == "--start") o.start = atoll(value().c_str());
    else if (a == "--files") o.files = atoi(value().c_str());
    else if (a == "--format") o.format = value();
    else if (a == "--rate") o.rate = atoi(value().c_str());
    else if (a == "--users") o.users = atoi(value().c_str());
    else if (a == "--domains") o.domains = atoi(value().c_str());
    else if (a == "--no-squid") o.squid = false;
    else if (a == "--stages") o.stages = value();
    else {
      usage();
      return 2;
    }
  }
  if (!o.stages.empty()) return stages(o.stages);
  if (o.out.empty()) {
    usage();
    return 2;
  }
  return generate(o);
}
