// The worked examples of docs/definitions.md, as a user runs them: the SQL
// blocks of the page, read from the page itself, queue the jobs; the real
// kxreporter runs them over a text request log (the generator's layout, with
// bandwidth events) against the private MariaDB; every row of every result
// is checked against counts made here from the records written.
#include <arpa/inet.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/record/record.h"
#include "src/table/table.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

// --- The page -----------------------------------------------------------------

// The ```sql block after each "<!-- example: NAME -->" line.
std::map<std::string, std::string> page_examples() {
  std::map<std::string, std::string> out;
  std::istringstream in(kxtest::read_text_file(std::string(KX_SOURCE_DIR) + "/docs/definitions.md"));
  std::string line, name, sql;
  enum { kText, kMarked, kBlock } state = kText;
  const std::string marker = "<!-- example: ";
  while (std::getline(in, line)) {
    if (state == kText && line.rfind(marker, 0) == 0) {
      name = line.substr(marker.size(), line.find(" -->") - marker.size());
      state = kMarked;
    } else if (state == kMarked && line == "```sql") {
      sql.clear();
      state = kBlock;
    } else if (state == kBlock && line == "```") {
      out[name] = sql;
      state = kText;
    } else if (state == kBlock) {
      sql += line + "\n";
    }
  }
  return out;
}

// --- The request log ------------------------------------------------------------

struct Req {
  int64_t t;
  std::string url, ip, user, group;
  bool denied;
  std::string cats;  // "1,8"
  int64_t in, out;   // the bandwidth event's bytes
};

std::string host_of(const std::string &url) {
  size_t p = url.find("://");
  if (p == std::string::npos) return "-";
  size_t start = p + 3, end = start;
  for (; end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#'; ++end)
    if (url[end] == '@') start = end + 1;
  std::string h = url.substr(start, end - start);
  std::transform(h.begin(), h.end(), h.begin(), [](unsigned char c) { return std::tolower(c); });
  return h;
}

// The domain by "48=|*,co.uk" without a shared list: the matched suffix
// and one label more, else the last two labels; the port cut first.
std::string domain_of(const std::string &url) {
  std::string h = host_of(url);
  h = h.substr(0, h.find(':'));
  auto labels = [&](int n) {
    size_t at = h.size();
    for (int i = 0; i < n && at != std::string::npos; ++i) at = at == 0 ? std::string::npos : h.rfind('.', at - 1);
    return at == std::string::npos ? h : h.substr(at + 1);
  };
  const std::string suffix = ".co.uk";
  bool under = h.size() > suffix.size() && h.compare(h.size() - suffix.size(), suffix.size(), suffix) == 0;
  return labels(under ? 3 : 2);
}

std::set<unsigned> cats_of(const std::string &text) {
  std::set<unsigned> s;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) s.insert(static_cast<unsigned>(std::stoul(item)));
  return s;
}

const char *const kUrls[] = {
    "https://www.example.com/index.html",
    "http://news.example.org/world/today.html?id=7",
    "https://cdn.example.net/static/app.js",
    "https://shop.example.co.uk/basket",
    "http://www.other.co.uk/",
    "http://joe@WWW.Example.COM:8080/login",
    "https://ads.tracker.test/pixel.gif",
    "http://www.casino.example.co.uk/play",
};
const char *const kCats[] = {"1", "2,4", "6", "1,8", "4", "1", "8", "2,6"};
bool blocked(size_t url) { return url == 6 || url == 7; }

std::string user_name(int u) {
  std::string n = std::to_string(u + 1);
  return "u" + std::string(n.size() < 3 ? 3 - n.size() : 0, '0') + n;
}
std::string group_of(int u) { return u < 40 ? "staff" : u < 100 ? "guests" : "admins"; }

Req make(int64_t t, int u, size_t url, int64_t in) {
  Req r;
  r.t = t;
  r.url = kUrls[url];
  r.ip = "10.1." + std::to_string(u / 200) + "." + std::to_string(u % 200 + 10);
  r.user = user_name(u);
  r.group = group_of(u);
  r.denied = blocked(url) && r.group != "admins";  // the admins pass every site
  r.cats = kCats[url];
  r.in = in;
  r.out = 100 + (in % 900);
  return r;
}

// 3000 requests of 120 users over 2026-01-05 (UTC) and one on either side;
// 290 over the day before day_end; 182 over the hour before hour_end.
std::vector<Req> requests(int64_t day_end, int64_t hour_end) {
  std::vector<Req> v;
  const int64_t d0 = 1767571200;
  v.push_back(make(d0 - 1, 0, 0, 500));
  for (int i = 0; i < 3000; ++i) {
    int u = (i * 7 + i / 13) % 120;
    v.push_back(make(d0 + 28LL * i, u, static_cast<size_t>((i * 5 + u) % 8), 1000 + 37LL * u + 3 * (i % 11)));
  }
  v.push_back(make(d0 + 86400, 1, 1, 500));
  const int64_t y = day_end - 86400;
  v.push_back(make(y - 1, 2, 2, 700));
  for (int i = 0; i < 288; ++i) v.push_back(make(y + 300LL * i + 17, i % 50, static_cast<size_t>(i % 8), 2000 + i));
  v.push_back(make(day_end, 3, 3, 700));
  const int64_t h = hour_end - 3600;
  v.push_back(make(h - 1, 4, 4, 900));
  for (int i = 0; i < 180; ++i) v.push_back(make(h + 20LL * i, (i * 3) % 120, static_cast<size_t>(i % 8), 3000 + i));
  v.push_back(make(hour_end, 5, 5, 900));
  std::stable_sort(v.begin(), v.end(), [](const Req &a, const Req &b) { return a.t < b.t; });
  return v;
}

// One text log in the layout the generator of bench/ writes: the seven
// default fields, then the event type (1, a bandwidth event) and its data.
void write_text_log(const std::string &dir, const std::vector<Req> &reqs) {
  const std::string header =
      reqlog::txt_header({{7, 0x43}, {1, 0x16}, {2, 0x57}, {3, 0x16}, {4, 0x16}, {6, 0x71}, {5, 0x16}, {63, 0x03}, {64, 0x16}},
                         {"DATE", "URI", "IP", "USER", "GROUP", "DENIEDFLAG", "CATS", "TYPE", "DATA"});
  std::vector<std::string> lines;
  std::vector<int64_t> times;
  for (const Req &r : reqs) {
    lines.push_back(std::to_string(r.t) + " " + r.url + " " + r.ip + " " + r.user + " " + r.group + " " +
                    (r.denied ? "1" : "0") + " " + r.cats + " 1 IB:" + std::to_string(r.in) +
                    ";OB:" + std::to_string(r.out));
    times.push_back(r.t);
  }
  reqlog::write_log(dir, "kxlogger_requests_txt_docs", reqlog::txt_image(header, lines, times));
}

// --- Report tables ---------------------------------------------------------------

// A row as field id -> value text (numbers in decimal, addresses dotted).
using Row = std::map<int, std::string>;

std::vector<Row> read_table(const std::string &path) {
  std::vector<Row> rows;
  TABLE *t = table_open(TABLE_READ, nullptr, path.c_str(), nullptr, 0, 0);
  if (!t) return rows;
  while (table_read_record(t) == -1) {
    Row r;
    for (RECORD *e = t->rec; e->type; e++) {
      kx_ipaddr ip;
      char text[64];
      if (const char *s = record_value_text(*e))
        r[e->type] = s;
      else if (PrintType(e->datatype) == PTYPE_IP && record_value_address(*e, &ip) && record_ip_ntop(&ip, text, sizeof text))
        r[e->type] = text;
      else
        r[e->type] = std::to_string(record_value_uint(*e));
    }
    rows.push_back(r);
  }
  table_close(t);
  return rows;
}

long long num(const Row &r, int id) { return r.count(id) ? std::stoll(r.at(id)) : -1; }

struct Sums {
  long long hits = 0, allowed = 0, denied = 0, in = 0, out = 0;
  void add(const Req &q) {
    ++hits;
    (q.denied ? denied : allowed)++;
    in += q.in;
    out += q.out;
  }
};

// --- The test ---------------------------------------------------------------------

constexpr int64_t kDay0 = 1767571200, kDay1 = kDay0 + 86399;

// One daemon runs the six jobs for the whole suite; each test checks one.
struct SuiteRun {
  kxtest::DaemonSandbox d{"docs"};
  std::vector<Req> reqs;
  int64_t day_end = 0, hour_end = 0;
  std::string failure;  // why the jobs did not all finish
};

const std::map<std::string, std::string> kJobs = {{"Denied requests per user and domain", "demand"},
                                                  {"Top 100 users by bytes", "demand"},
                                                  {"Requests per hour", "scheduled"},
                                                  {"Requests per category", "demand"},
                                                  {"Staff requests in detail", "demand"},
                                                  {"Traffic by group", "continuous"}};

std::string start_run(SuiteRun &r) {
  if (!r.d.ok()) return "no sandbox database";
  // The daemon's periods and the database's curdate() and now() in one zone.
  setenv("TZ", "UTC", 1);
  tzset();
  auto &a = r.d.admin();
  if (!a.exec("set time_zone = '+00:00'") ||
      !a.exec("insert into settings (name, value) values ('report_dir', '" + r.d.store() + "'), ('temp_dir', '" +
              r.d.root() + "/tmp/'), ('concurrent_demand_reports', '3'), ('concurrent_scheduled_reports', '2'), "
                           "('concurrent_continuous_reports', '2')"))
    return "settings: " + a.error();
  std::filesystem::create_directories(r.d.root() + "/tmp");
  const auto examples = page_examples();
  const std::vector<std::string> names = {"denied-per-user",   "top-users-by-bytes",       "requests-per-hour",
                                          "categories",        "staff-requests-in-detail", "traffic-by-group"};
  if (examples.size() != names.size()) return "the page has " + std::to_string(examples.size()) + " examples";
  for (const std::string &n : names) {
    if (!examples.count(n)) return "the page lacks the example " + n;
    if (!a.exec(examples.at(n))) return n + ": " + a.error();
  }
  // The periods of the scheduled and continuous jobs, as queued.
  r.day_end = std::stoll(a.scalar("select unix_timestamp(next_run_time) from scheduled_reports"));
  r.hour_end = std::stoll(a.scalar("select unix_timestamp(next_run_time) from continuous_reports"));
  r.reqs = requests(r.day_end, r.hour_end);
  write_text_log(r.d.root() + "/logs", r.reqs);
  if (!r.d.start()) return "the daemon did not start";
  for (const auto &[name, kind] : kJobs) {
    std::string status = r.d.wait_for_sql(
        "select status from " + kind + "_reports where name='" + name + "'",
        [](const std::string &v) { return v.rfind("Processed Ok", 0) == 0 || v.rfind("Error", 0) == 0; }, 240);
    if (status.rfind("Processed Ok [", 0) != 0) return name + ": " + status + "\n" + r.d.log("error");
  }
  return "";
}

class Examples : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!kxtest::db_server_available()) return;
    run_ = new SuiteRun;
    run_->failure = start_run(*run_);
  }
  static void TearDownTestSuite() {
    if (run_ && run_->d.running()) run_->d.stop(SIGTERM);
    delete run_;
    run_ = nullptr;
  }
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_NE(run_, nullptr);
    ASSERT_EQ(run_->failure, "");
  }

  static bool in(const Req &q, int64_t from, int64_t to) { return q.t >= from && q.t <= to; }
  const std::vector<Req> &reqs() const { return run_->reqs; }
  kxtest::AdminConnection &admin() { return run_->d.admin(); }
  std::string instance(const std::string &kind, const std::string &name) {
    return admin().scalar("select path from " + kind + "_report_instance i join " + kind +
                          "_reports r using (report_id) where r.name='" + name + "'");
  }

  static SuiteRun *run_;
};
SuiteRun *Examples::run_ = nullptr;

// Denied requests per user, then per domain.
TEST_F(Examples, DeniedPerUserThenDomain) {
  std::map<std::string, long long> users;
  std::map<std::string, std::map<std::string, long long>> domains;
  for (const Req &q : reqs())
    if (in(q, kDay0, kDay1) && q.denied) {
      users[q.user]++;
      domains[q.user][domain_of(q.url)]++;
    }
  ASSERT_GE(users.size(), 50u);
  const std::string dir = instance("demand", "Denied requests per user and domain");
  auto root = read_table(dir + "root");
  ASSERT_EQ(root.size(), users.size());
  long long last = -1;
  for (const Row &r : root) {
    EXPECT_EQ(num(r, 9), users[r.at(3)]) << r.at(3);
    if (last >= 0) {
      EXPECT_LE(num(r, 9), last);
    }
    last = num(r, 9);
    std::map<std::string, long long> got;
    for (const Row &s : read_table(dir + r.at(18))) got[s.at(48)] = num(s, 9);
    EXPECT_EQ(got, domains[r.at(3)]) << r.at(3);
  }
  // The definition's own list entry co.uk makes a domain of three labels.
  bool own_entry = false;
  for (const auto &[user, d] : domains) own_entry |= d.count("example.co.uk") > 0;
  EXPECT_TRUE(own_entry);
}

// The top 100 users by bytes, the rest folded.
TEST_F(Examples, TopUsersByBytes) {
  std::map<std::string, Sums> users;
  for (const Req &q : reqs())
    if (in(q, kDay0, kDay1)) users[q.user].add(q);
  ASSERT_EQ(users.size(), 120u);
  auto root = read_table(instance("demand", "Top 100 users by bytes") + "root");
  ASSERT_EQ(root.size(), 102u);  // 100 users, the 'other' and the 'items' row
  std::set<std::string> kept;
  long long last = -1, lowest_kept = -1;
  for (size_t i = 0; i < 100; ++i) {
    const Row &r = root[i];
    const Sums &s = users.at(r.at(3));
    EXPECT_EQ(num(r, 65), s.in) << r.at(3);
    EXPECT_EQ(num(r, 66), s.out) << r.at(3);
    EXPECT_EQ(num(r, 9), s.hits) << r.at(3);
    if (last >= 0) {
      EXPECT_LE(num(r, 65), last);
    }
    last = lowest_kept = num(r, 65);
    kept.insert(r.at(3));
  }
  Sums folded;
  long long folded_users = 0;
  for (const auto &[user, s] : users) {
    if (kept.count(user)) continue;
    EXPECT_LE(s.in, lowest_kept) << user;
    folded.in += s.in, folded.out += s.out, folded.hits += s.hits, ++folded_users;
  }
  EXPECT_EQ(root[100].at(3), "__");
  EXPECT_EQ(num(root[100], 65), folded.in);
  EXPECT_EQ(num(root[100], 66), folded.out);
  EXPECT_EQ(num(root[100], 9), folded.hits);
  EXPECT_EQ(root[101].at(3), "__");
  EXPECT_EQ(num(root[101], 65), folded_users);  // the 'items' row counts the folded rows
}

// Requests per hour of yesterday.
TEST_F(Examples, RequestsPerHour) {
  const int64_t y = run_->day_end - 86400;
  std::map<int64_t, Sums> hours;
  for (const Req &q : reqs())
    if (in(q, y, run_->day_end - 1)) hours[y + (q.t - y) / 3600 * 3600].add(q);
  ASSERT_EQ(hours.size(), 24u);
  auto root = read_table(instance("scheduled", "Requests per hour") + "root");
  ASSERT_EQ(root.size(), 24u);
  for (size_t i = 0; i < root.size(); ++i) {
    const Row &r = root[i];
    const int64_t start = y + 3600 * static_cast<int64_t>(i);
    EXPECT_EQ(num(r, 7), start);
    EXPECT_EQ(num(r, 9), hours[start].hits) << i;
    EXPECT_EQ(num(r, 10), hours[start].allowed) << i;
    EXPECT_EQ(num(r, 11), hours[start].denied) << i;
    EXPECT_EQ(num(r, 65), hours[start].in) << i;
  }
  // The next run is a day later.
  EXPECT_EQ(admin().scalar("select unix_timestamp(next_run_time) from scheduled_reports"),
            std::to_string(run_->day_end + 86400));
}

// Requests per category.
TEST_F(Examples, Categories) {
  std::map<unsigned, Sums> cats;
  for (const Req &q : reqs())
    if (in(q, kDay0, kDay1))
      for (unsigned c : cats_of(q.cats)) cats[c].add(q);
  auto root = read_table(instance("demand", "Requests per category") + "root");
  ASSERT_EQ(root.size(), cats.size());
  long long last = -1;
  for (const Row &r : root) {
    const unsigned c = static_cast<unsigned>(num(r, 8));
    ASSERT_TRUE(cats.count(c)) << c;
    EXPECT_EQ(num(r, 9), cats[c].hits) << c;
    EXPECT_EQ(num(r, 11), cats[c].denied) << c;
    EXPECT_EQ(num(r, 33), cats[c].hits) << c;  // shown as a share by the readers
    if (last >= 0) {
      EXPECT_LE(num(r, 9), last);
    }
    last = num(r, 9);
  }
}

// The staff's requests in detail.
TEST_F(Examples, StaffRequestsInDetail) {
  std::map<std::string, std::vector<const Req *>> staff;
  for (const Req &q : reqs())
    if (in(q, kDay0, kDay1) && q.group == "staff") staff[q.user].push_back(&q);
  ASSERT_EQ(staff.size(), 40u);
  const std::string dir = instance("demand", "Staff requests in detail");
  auto root = read_table(dir + "root");
  ASSERT_EQ(root.size(), staff.size());
  bool port_seen = false;
  for (const Row &r : root) {
    const auto &mine = staff.at(r.at(3));
    long long denied = std::count_if(mine.begin(), mine.end(), [](const Req *q) { return q->denied; });
    EXPECT_EQ(num(r, 9), static_cast<long long>(mine.size()));
    EXPECT_EQ(num(r, 11), denied);
    auto rows = read_table(dir + r.at(18));
    ASSERT_EQ(rows.size(), mine.size()) << r.at(3);
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(num(rows[i], 7), mine[i]->t);
      EXPECT_EQ(rows[i].at(32), host_of(mine[i]->url));
      EXPECT_EQ(num(rows[i], 6), mine[i]->denied ? 1 : 0);
      EXPECT_EQ(rows[i].at(1), mine[i]->url);
      port_seen |= rows[i].at(32) == "www.example.com:8080";
    }
  }
  EXPECT_TRUE(port_seen);
}

// The continuous report's rows in its table.
TEST_F(Examples, TrafficByGroup) {
  const int64_t h = run_->hour_end - 3600;
  std::map<std::string, Sums> groups;
  for (const Req &q : reqs())
    if (in(q, h, run_->hour_end - 1)) groups[q.group].add(q);
  MYSQL *m = admin().raw();
  ASSERT_EQ(mysql_query(m, "select date, groupby, request_count, request_denied, input_bytes, output_bytes "
                           "from traffic_by_group order by groupby"),
            0)
      << mysql_error(m);
  std::vector<std::vector<std::string>> rows;
  if (MYSQL_RES *res = mysql_store_result(m)) {
    while (MYSQL_ROW row = mysql_fetch_row(res)) rows.push_back({row[0], row[1], row[2], row[3], row[4], row[5]});
    mysql_free_result(res);
  }
  ASSERT_EQ(rows.size(), groups.size());
  for (const auto &row : rows) {
    EXPECT_EQ(std::stoll(row[0]), h);
    ASSERT_TRUE(groups.count(row[1])) << row[1];
    const Sums &s = groups[row[1]];
    EXPECT_EQ(std::stoll(row[2]), s.hits) << row[1];
    EXPECT_EQ(std::stoll(row[3]), s.denied) << row[1];
    EXPECT_EQ(std::stoll(row[4]), s.in) << row[1];
    EXPECT_EQ(std::stoll(row[5]), s.out) << row[1];
  }
  EXPECT_EQ(admin().scalar("select group_concat(date) from traffic_by_group_di"), std::to_string(h));
}

}  // namespace
