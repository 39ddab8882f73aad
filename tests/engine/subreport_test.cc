// Whole report runs from request logs to finished tables: detail levels
// with derived columns, a detail level without rows, spill passes, an
// unreached threshold, a queued level beyond the definition, and a
// two-level report over logs of all three formats whose tables are checked
// with reportpeek against counts made here from the records written.
#include "src/report/subreport.h"

#include <stdio.h>

#include <filesystem>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/report/kwsearch.h"
#include "tests/engine/derive_fixture.h"
#include "tests/engine/group_fixture.h"
#include "tests/fixtures/report_driver.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

using reportdrv::ReportDriver;
using reqlog::Format;

constexpr time_t T = 1200000000;  // 2008-01-10

void write_sb(const std::string &tag, const std::vector<reqlog::SbRecord> &recs) {
  reqlog::LogImage img = reqlog::sb_image(recs);
  for (const auto &r : recs) img.times.push_back(r.time);
  reqlog::write_log("../logs", std::string(reqlog::prefix(Format::SB)) + tag, img);
}

// What reportpeek -j prints of a table: its row count and per field id
// the column's sum.
struct Peek {
  long long total = -1;
  std::map<int, long long> sums;
};

// The quoted numbers of out between the first `from` and the next `to`.
std::vector<long long> quoted_numbers(const std::string &out, const std::string &from, const std::string &to) {
  std::vector<long long> v;
  size_t a = out.find(from);
  if (a == std::string::npos) return v;
  a += from.size();
  size_t b = out.find(to, a);
  std::string part = out.substr(a, b == std::string::npos ? std::string::npos : b - a);
  for (size_t q = part.find('"'); q != std::string::npos; q = part.find('"', q + 1)) {
    size_t e = part.find('"', q + 1);
    if (e == std::string::npos) break;
    v.push_back(std::stoll(part.substr(q + 1, e - q - 1)));
    q = e;
  }
  return v;
}

Peek peek(const std::string &path) {
  Peek p;
  std::string cmd = std::string(KX_BIN_DIR) + "/reportpeek -j '" + path + "' 2>&1";
  FILE *f = popen(cmd.c_str(), "r");
  if (!f) return p;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  if (pclose(f) != 0) return p;
  p.total = quoted_numbers(out, "\"total\" : ", "\n").empty() ? -1 : quoted_numbers(out, "\"total\" : ", "\n")[0];
  std::vector<long long> ids = quoted_numbers(out, "\"fields\" : [", "]");
  std::vector<long long> sums = quoted_numbers(out, "\"sum\" : [", "]");
  for (size_t i = 0; i < ids.size() && i < sums.size(); ++i) p.sums[static_cast<int>(ids[i])] = sums[i];
  return p;
}

// --- Detail levels -------------------------------------------------------------------

TEST(SubReport, DetailLevelDerivesHostAndDataWords) {
  reqlog::WorkDir wd;
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(12, static_cast<int32_t>(T));
  recs[3].uri = "no-scheme";  // no host can be derived
  write_sb("a", recs);
  ReportDriver d("[group]\ntype=DETAIL\ndetails=1,3,32,70\n", T, T + 100);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  grouptest::Table t = grouptest::read_table(d.root_file());
  ASSERT_TRUE(t.ok);
  ASSERT_EQ(t.header.size(), 4u);
  EXPECT_EQ(t.header[2], (std::pair<int, int>{32, 0x16}));
  EXPECT_EQ(t.header[3], (std::pair<int, int>{70, 0x16}));
  ASSERT_EQ(t.rows.size(), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(t.at(i, FIELD_URI), recs[i].uri);
    EXPECT_EQ(t.at(i, FIELD_USER), recs[i].user);
    EXPECT_EQ(t.at(i, 32), i == 3 ? "-" : "www.example" + std::to_string(i % 11) + ".com") << i;
    EXPECT_EQ(t.at(i, 70), "-") << i;  // no text events in a request log
  }
  EXPECT_EQ(d.rep->def->group[0]->threshold_reached, 1);
}

TEST(SubReport, ADetailOnlyReportShowsEachRowsDerivedDomain) {
  reqlog::WorkDir wd;
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(6, static_cast<int32_t>(T));
  recs[1].uri = "http://a.b.shop.co.uk/x";  // a listed suffix and one label more
  recs[2].uri = "https://Img.Pets.Example.org:8443/y.gif";
  recs[3].uri = "http://intranet/";
  recs[4].uri = "no-scheme";  // no host, no domain
  write_sb("a", recs);
  ReportDriver d("[group]\ntype=DETAIL\ndetails=1,48\n[fields metadata precompiled]\n48=|co.uk\n", T, T + 100);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  grouptest::Table t = grouptest::read_table(d.root_file());
  ASSERT_TRUE(t.ok);
  ASSERT_EQ(t.header.size(), 2u);
  EXPECT_EQ(t.header[1], (std::pair<int, int>{48, 0x16}));
  const char *want[] = {"example0.com", "shop.co.uk", "example.org", "intranet", "-", "example5.com"};
  ASSERT_EQ(t.rows.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(t.at(i, FIELD_URI), recs[i].uri);
    EXPECT_EQ(t.at(i, 48), want[i]) << recs[i].uri;
  }
}

TEST(SubReport, DetailLevelDataWordsOfTextEvents) {
  enginetest::InstallRoot root;
  enginetest::write_file(root.path() + "/kw.txt", "pets x dog\ngambling x poker\n");
  reqlog::WorkDir wd;
  using reqlog::EbField;
  std::vector<EbField> per = {{7, 0x43, "DATE"}, {1, 0x16, "URI"}, {3, 0x16, "USER"}, {64, 0x16, "DATA"}};
  std::vector<EbField> constants = {EbField{63, 0x03, "TYPE", EbField::Int, 8, ""}};
  struct In {
    const char *uri, *data, *host, *words;
  } in[] = {
      {"http://Pets.Example.com/a", "a dog plays poker", "pets.example.com", "\"dog\":\"pets\", \"poker\":\"gambling\""},
      {"http://b.example.org/", "nothing", "b.example.org", "-"},
      {"plain", "poker night", "-", "\"poker\":\"gambling\""},
  };
  std::vector<std::string> recs;
  std::vector<int64_t> times;
  for (size_t i = 0; i < std::size(in); ++i) {
    times.push_back(T + static_cast<int64_t>(i));
    recs.push_back(reqlog::le32(static_cast<uint32_t>(T + i)) + reqlog::cstr(in[i].uri) + reqlog::cstr("u") +
                   reqlog::cstr(in[i].data));
  }
  reqlog::write_log("../logs", std::string(reqlog::prefix(Format::EB)) + "ev",
                    reqlog::eb_image(reqlog::eb_header(per, constants), recs, times));
  ReportDriver d("[group]\ntype=DETAIL\ndetails=1,32,70\n", T, T + 100);
  ASSERT_TRUE(d.parsed()) << d.error();
  kwsearch_engine *e = kwsearch_new_engine();
  ASSERT_EQ(kwsearch_load_file(e, "/kw.txt"), 0);
  d.rep->keyword_search_engine.reset(e, kwsearch_destroy_engine);
  ASSERT_EQ(d.run(), -1) << d.error();
  grouptest::Table t = grouptest::read_table(d.root_file());
  ASSERT_EQ(t.rows.size(), std::size(in));
  for (size_t i = 0; i < std::size(in); ++i) {
    EXPECT_EQ(t.at(i, FIELD_URI), in[i].uri);
    EXPECT_EQ(t.at(i, 32), in[i].host) << i;
    EXPECT_EQ(t.at(i, 70), in[i].words) << i;
  }
}

TEST(SubReport, DetailLevelOverAllThreeFormatsKeepsEachValue) {
  reqlog::WorkDir wd;
  std::vector<std::pair<std::string, std::string>> want;  // (user, address) in time order
  std::vector<reqlog::SbRecord> sb = reqlog::sb_sample(3, static_cast<int32_t>(T));
  for (size_t i = 0; i < sb.size(); ++i) want.push_back({sb[i].user, "10.0.0." + std::to_string(i % 250 + 1)});
  write_sb("a", sb);
  reqlog::write_log("../logs", std::string(reqlog::prefix(Format::EB)) + "b",
                    reqlog::eb_sample(3, static_cast<int32_t>(T + 100)));
  for (int i = 0; i < 3; ++i) want.push_back({"user" + std::to_string(i % 5), "192.168.0." + std::to_string(i % 200)});
  reqlog::write_log("../logs", std::string(reqlog::prefix(Format::TXT)) + "c",
                    reqlog::txt_sample(3, static_cast<int32_t>(T + 200)));
  for (int i = 0; i < 3; ++i) want.push_back({"user" + std::to_string(i % 4), "10.1.2." + std::to_string(i % 250)});
  ReportDriver d("[group]\ntype=DETAIL\ndetails=3,2\n", T, T + 1000);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  grouptest::Table t = grouptest::read_table(d.root_file());
  ASSERT_EQ(t.rows.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(t.at(i, FIELD_USER), want[i].first) << i;
    EXPECT_EQ(t.at(i, FIELD_IP), want[i].second) << i;
  }
}

TEST(SubReport, DetailLevelWithoutRowsLeavesAnEmptyTable) {
  reqlog::WorkDir wd;
  write_sb("a", reqlog::sb_sample(5, static_cast<int32_t>(T)));
  ReportDriver d("[group]\ntype=DETAIL\ndetails=1,32\n", T + 1000, T + 2000);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  EXPECT_EQ(d.window_rows(), 0);
  grouptest::Table t = grouptest::read_table(d.root_file());
  ASSERT_TRUE(t.ok) << "no table at " << d.root_file();
  EXPECT_EQ(t.rows.size(), 0u);
  EXPECT_EQ(peek(d.root_file()).total, 0);
}

// --- Spill ---------------------------------------------------------------------------

TEST(SubReport, SpillPassesCountEveryRowOnceAndGiveTheUnspilledTotals) {
  reqlog::WorkDir wd;
  const int n = 12000;  // distinct URLs: more than two trees' worth of groups
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(n, static_cast<int32_t>(T), 0);
  long long denied = 0;
  for (const auto &r : recs) denied += r.denied;
  write_sb("a", recs);

  ReportDriver spill("[group]\ntype=SUMMARY\ngroupby=1\nsummary=9,11\n", T, T + 10);
  ASSERT_TRUE(spill.parsed()) << spill.error();
  ASSERT_EQ(spill.run(), -1) << spill.error();
  EXPECT_TRUE(spill.spilled());
  EXPECT_EQ(spill.window_rows(), n);
  EXPECT_EQ(spill.rep->recs_done, n);
  Peek a = peek(spill.root_file());
  EXPECT_EQ(a.total, n);
  EXPECT_EQ(a.sums[9], n);
  EXPECT_EQ(a.sums[11], denied);
  // Every URL once, each counted once.
  grouptest::Table t = grouptest::read_table(spill.root_file());
  std::set<std::string> urls;
  for (size_t i = 0; i < t.rows.size(); ++i) {
    urls.insert(t.at(i, FIELD_URI));
    EXPECT_EQ(t.at(i, 9), "1");
  }
  EXPECT_EQ(urls.size(), static_cast<size_t>(n));
  // Nothing of the passes is left behind.
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::exists(spill.temp_path(), ec) && !std::filesystem::is_empty(spill.temp_path(), ec));

  ReportDriver plain("[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,11\n", T, T + 10);
  ASSERT_EQ(plain.run(), -1) << plain.error();
  EXPECT_FALSE(plain.spilled());
  EXPECT_EQ(plain.rep->recs_done, n);
  Peek b = peek(plain.root_file());
  EXPECT_EQ(b.total, 7);
  EXPECT_EQ(b.sums[9], a.sums[9]);
  EXPECT_EQ(b.sums[11], a.sums[11]);
}

TEST(SubReport, QueuedDetailLevelCopiesEachGroupsRows) {
  reqlog::WorkDir wd;
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(40, static_cast<int32_t>(T));
  write_sb("a", recs);
  std::map<std::string, std::multiset<std::string>> want;  // user -> URLs
  for (const auto &r : recs) want[r.user].insert(r.uri);
  ReportDriver d("[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[group]\ntype=DETAIL\ndetails=1,32\n", T, T + 100);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  EXPECT_EQ(d.level0_done(), 40);
  EXPECT_EQ(d.rep->recs_done, 80);  // every row once more in its user's table
  grouptest::Table top = grouptest::read_table(d.root_file());
  ASSERT_EQ(top.rows.size(), want.size());
  for (size_t i = 0; i < top.rows.size(); ++i) {
    const std::string user = top.at(i, FIELD_USER);
    grouptest::Table rows = grouptest::read_table(d.root_path() + top.at(i, FIELD_SUBREPORTFILENAME));
    ASSERT_TRUE(rows.ok) << user;
    std::multiset<std::string> got;
    for (size_t k = 0; k < rows.rows.size(); ++k) {
      got.insert(rows.at(k, FIELD_URI));
      EXPECT_EQ(rows.at(k, 32).rfind("www.example", 0), 0u) << rows.at(k, 32);
    }
    EXPECT_EQ(got, want[user]) << user;
  }
  std::error_code ec;
  EXPECT_TRUE(!std::filesystem::exists(d.temp_path(), ec) || std::filesystem::is_empty(d.temp_path(), ec));
}

TEST(SubReport, QueuedLevelSpillsAndCountsEveryRowOnce) {
  reqlog::WorkDir wd;
  const int n = 12000;  // 8000 distinct URLs of group "staff": the second level spills
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(n, static_cast<int32_t>(T), 0);
  std::map<std::string, long long> per_group;
  for (const auto &r : recs) per_group[r.group]++;
  write_sb("a", recs);
  ReportDriver d("[group]\ntype=SUMMARY\ngroupby=4\nsummary=9\n[group]\ntype=SUMMARY\ngroupby=1\nsummary=9\n", T,
                 T + 10);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  EXPECT_FALSE(d.spilled());
  EXPECT_EQ(d.level0_done(), n);
  EXPECT_EQ(d.rep->recs_done, 2LL * n);
  grouptest::Table top = grouptest::read_table(d.root_file());
  ASSERT_EQ(top.rows.size(), per_group.size());
  for (size_t i = 0; i < top.rows.size(); ++i) {
    const std::string group = top.at(i, FIELD_GROUP);
    Peek p = peek(d.root_path() + top.at(i, FIELD_SUBREPORTFILENAME));
    EXPECT_EQ(p.total, per_group[group]) << group;  // every URL is distinct
    EXPECT_EQ(p.sums[9], per_group[group]) << group;
  }
}

// --- Thresholds and levels ----------------------------------------------------------------

TEST(SubReport, ThresholdDecidesThresholdReached) {
  reqlog::WorkDir wd;
  write_sb("a", reqlog::sb_sample(20, static_cast<int32_t>(T)));
  struct Case {
    const char *threshold;
    int reached;
  } cases[] = {{"request_count:>= 1000000", 0}, {"request_count:>= 3", 1}, {nullptr, 1}};
  for (const Case &c : cases) {
    std::string def = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n";
    if (c.threshold) def += std::string("threshold=") + c.threshold + "\n";
    ReportDriver d(def, T, T + 100);
    ASSERT_TRUE(d.parsed()) << d.error();
    ASSERT_EQ(d.run(), -1) << d.error();
    EXPECT_EQ(d.rep->def->group[0]->threshold_reached, c.reached) << (c.threshold ? c.threshold : "none");
    EXPECT_EQ(peek(d.root_file()).sums[9], 20);
  }
}

TEST(SubReport, QueuedLevelBeyondTheDefinitionIsRefused) {
  reqlog::WorkDir wd;
  ReportDriver d("[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[group]\ntype=SUMMARY\ngroupby=32\nsummary=9\n", T,
                 T + 10);
  ASSERT_TRUE(d.parsed()) << d.error();
  std::string file = d.root_path() + "1/1";
  EXPECT_EQ(process_sub_report(d.rep, file.c_str(), 2), 0);
  EXPECT_EQ(d.error(), "Error 10400: (process) Invalid group level");
}

TEST(SubReport, ALimitThatCutsAnEarlyGroupLeavesTheLaterGroupsTheirLevel) {
  reqlog::WorkDir wd;
  // Users in the order their groups are made: "first" with one request,
  // then "second" with three and "third" with two. Ordered by requests and
  // cut to two rows, the first group's table goes before the second stage
  // meets its queue entry; the two after it still get their level.
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(6, static_cast<int32_t>(T));
  const char *users[] = {"first", "second", "third", "second", "third", "second"};
  for (size_t i = 0; i < recs.size(); ++i) {
    recs[i].user = users[i];
    recs[i].uri = "http://h" + std::to_string(i % 3) + ".example/" + std::to_string(i);
  }
  write_sb("a", recs);
  ReportDriver d("[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\norderby=9,-1\nview=bar_2d!3,9!2!0\n"
                 "[group]\ntype=SUMMARY\ngroupby=32\nsummary=9\n",
                 T, T + 100);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  grouptest::Table top = grouptest::read_table(d.root_file());
  ASSERT_EQ(top.rows.size(), 4u);  // two rows, then 'other' and 'items'
  EXPECT_EQ(top.at(0, FIELD_USER), "second");
  EXPECT_EQ(top.at(1, FIELD_USER), "third");
  const std::map<std::string, std::map<std::string, std::string>> want = {
      {"second", {{"h0.example", "1"}, {"h1.example", "1"}, {"h2.example", "1"}}},
      {"third", {{"h1.example", "1"}, {"h2.example", "1"}}}};
  for (size_t i = 0; i < 2; ++i) {
    const std::string user = top.at(i, FIELD_USER);
    grouptest::Table hosts = grouptest::read_table(d.root_path() + top.at(i, FIELD_SUBREPORTFILENAME));
    ASSERT_TRUE(hosts.ok) << user;
    // A second-level table: hosts and their counts, not the raw rows.
    ASSERT_EQ(hosts.header.size(), 2u) << user;
    EXPECT_EQ(hosts.header[0].first, 32) << user;
    std::map<std::string, std::string> got;
    for (size_t k = 0; k < hosts.rows.size(); ++k) got[hosts.at(k, 32)] = hosts.at(k, 9);
    EXPECT_EQ(got, want.at(user)) << user;
  }
}

// --- The whole road ---------------------------------------------------------------------

TEST(SubReport, TwoLevelsOverAllThreeFormats) {
  reqlog::WorkDir wd;
  // Independent counts: user -> host -> requests, from the records written.
  std::map<std::string, std::map<std::string, long long>> want;
  std::vector<reqlog::SbRecord> sb = reqlog::sb_sample(30, static_cast<int32_t>(T));
  for (size_t i = 0; i < sb.size(); ++i) want[sb[i].user]["www.example" + std::to_string(i % 11) + ".com"]++;
  write_sb("a", sb);
  reqlog::LogImage eb = reqlog::eb_sample(20, static_cast<int32_t>(T + 100));
  reqlog::write_log("../logs", std::string(reqlog::prefix(Format::EB)) + "b", eb);
  for (int i = 0; i < 20; ++i) want["user" + std::to_string(i % 5)]["ext.example.org"]++;
  reqlog::LogImage txt = reqlog::txt_sample(25, static_cast<int32_t>(T + 200));
  reqlog::write_log("../logs", std::string(reqlog::prefix(Format::TXT)) + "c", txt);
  for (int i = 0; i < 25; ++i) want["user" + std::to_string(i % 4)]["txt.example.net"]++;

  ReportDriver d("[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[group]\ntype=SUMMARY\ngroupby=32\nsummary=9\n", T,
                 T + 1000);
  ASSERT_TRUE(d.parsed()) << d.error();
  ASSERT_EQ(d.run(), -1) << d.error();
  EXPECT_EQ(d.window_rows(), 75);

  Peek top = peek(d.root_file());
  EXPECT_EQ(top.total, static_cast<long long>(want.size()));
  EXPECT_EQ(top.sums[9], 75);
  grouptest::Table t = grouptest::read_table(d.root_file());
  ASSERT_EQ(t.rows.size(), want.size());
  std::set<std::string> seen;
  for (size_t i = 0; i < t.rows.size(); ++i) {
    const std::string user = t.at(i, FIELD_USER);
    ASSERT_TRUE(want.count(user)) << user;
    seen.insert(user);
    long long user_total = 0;
    for (const auto &h : want[user]) user_total += h.second;
    EXPECT_EQ(t.at(i, 9), std::to_string(user_total)) << user;
    const std::string sub = d.root_path() + t.at(i, FIELD_SUBREPORTFILENAME);
    Peek level1 = peek(sub);
    EXPECT_EQ(level1.total, static_cast<long long>(want[user].size())) << user << " " << sub;
    EXPECT_EQ(level1.sums[9], user_total) << user;
    grouptest::Table hosts = grouptest::read_table(sub);
    ASSERT_TRUE(hosts.ok) << sub;
    std::map<std::string, long long> got;
    for (size_t k = 0; k < hosts.rows.size(); ++k) got[hosts.at(k, 32)] += std::stoll(hosts.at(k, 9));
    EXPECT_EQ(got, want[user]) << user;
  }
  EXPECT_EQ(seen.size(), want.size());
}

}  // namespace
