// Truncation: short tables, folding into 'other' and 'items' rows, detail
// levels, sub-report links and the emptiness test.
#include "src/report/truncate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/record/record.h"
#include "src/report/report.h"
#include "src/report/tfile.h"
#include "src/support/settings.h"
#include "src/table/table_file.h"
#include "tests/fixtures/report_table_writer.h"
#include "tests/fixtures/tmpdir.h"

namespace {

using fixtures::TableColumn;
using fixtures::TableRow;
using fixtures::tv_ip;
using fixtures::tv_num;
using fixtures::tv_text;

struct TruncFixture {
  TempDir dir{"kxtrunc"};
  std::string root = dir.file("r/");
  std::string temp = dir.file("t/");
  unsigned next = 0;
  bool names = true;
  std::string error;
  truncate_env env;

  TruncFixture() {
    std::filesystem::create_directories(root);
    std::filesystem::create_directories(temp);
    env.root_path = root;
    env.next_temp_file = [this]() -> std::string { return names ? temp + std::to_string(++next) : std::string(); };
    env.clear_temp = [this] {
      std::error_code ec;
      for (auto &e : std::filesystem::directory_iterator(temp, ec)) std::filesystem::remove_all(e.path(), ec);
    };
    env.error = [this](const std::string &t) { error = t; };
  }
  size_t temp_files() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(temp), {}));
  }
};

// Printed rows: numbers in decimal, texts, dotted addresses.
std::vector<std::vector<std::string>> read_rows(const std::string &path) {
  std::vector<std::vector<std::string>> out;
  READ_TBL *t = read_open(path.c_str());
  if (!t) return out;
  while (read_next(t)) {
    std::vector<std::string> row;
    for (int i = 0; i < t->field_count; i++) {
      const RECORD &r = t->rec[i];
      const unsigned s = StorageType(r.datatype);
      if (s == STORT_STR) {
        row.emplace_back(static_cast<const char *>(r.data));
      } else if (s == STORT_IPADDR) {
        char buf[KXNET_ADDRSTRLEN];
        const char *p = record_ip_ntop(static_cast<const kx_ipaddr *>(r.data), buf, sizeof buf);
        row.emplace_back(p ? p : "?");
      } else {
        row.push_back(std::to_string(static_cast<int64_t>(record_value_uint(r))));
      }
    }
    out.push_back(std::move(row));
  }
  read_close(t);
  return out;
}
using Rows = std::vector<std::vector<std::string>>;

// Packed bytes of the rows of a table, in order.
std::vector<int> row_sizes(const std::string &path) {
  std::vector<int> out;
  READ_TBL *t = read_open(path.c_str());
  while (t && read_next(t)) out.push_back(read_record_length(t));
  read_close(t);
  return out;
}

const std::vector<TableColumn> kSummary = {{3, 0x16}, {9, 0x04}, {10, 0x04}, {11, 0x04}};
TableRow summary(const std::string &user, uint64_t a, uint64_t b, uint64_t c) {
  return {tv_text(user), tv_num(a), tv_num(b), tv_num(c)};
}

TEST(Truncate, NRowsOrFewerAreCopiedUnchanged) {
  for (int n : {3, 4, 1000}) {
    SCOPED_TRACE(n);
    TruncFixture f;
    std::string path = f.root + "root";
    ASSERT_TRUE(fixtures::write_table(path, kSummary,
                                      {summary("a", 5, 4, 1), summary("b", 3, 3, 0), summary("c", 0, 0, 0)}));
    auto before = fixtures::read_file_bytes(path);
    long long removed = -1;
    ASSERT_EQ(truncate_table_file(f.env, path.c_str(), n, 1, &removed), -1) << f.error;
    EXPECT_EQ(fixtures::read_file_bytes(path), before);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(f.temp_files(), 0u);
  }
}

TEST(Truncate, FoldsTheCutRowsIntoOtherAndItems) {
  TruncFixture f;
  std::string path = f.root + "root";
  ASSERT_TRUE(fixtures::write_table(path, kSummary,
                                    {summary("a", 50, 40, 10), summary("b", 30, 30, 0), summary("c", 7, 5, 2),
                                     summary("d", 4, 1, 3), summary("e", 0, 0, 0)}));
  auto sizes = row_sizes(path);
  long long removed = 0;
  ASSERT_EQ(truncate_table_file(f.env, path.c_str(), 2, 1, &removed), -1) << f.error;
  EXPECT_EQ(read_rows(path), (Rows{{"a", "50", "40", "10"},
                                   {"b", "30", "30", "0"},
                                   {"__", "11", "6", "5"},
                                   {"__", "2", "0", "0"}}));
  auto after = row_sizes(path);
  ASSERT_EQ(after.size(), 4u);
  // Rows c and d were dropped (e is empty); 'other' and 'items' were added.
  EXPECT_EQ(removed, sizes[2] + sizes[3] - after[2] - after[3]);
  EXPECT_EQ(f.temp_files(), 0u);
}

TEST(Truncate, OnlyEmptyRowsCutAddsNoFoldedRows) {
  TruncFixture f;
  std::string path = f.root + "root";
  ASSERT_TRUE(fixtures::write_table(path, kSummary, {summary("a", 1, 1, 0), summary("b", 0, 0, 0)}));
  long long removed = -1;
  ASSERT_EQ(truncate_table_file(f.env, path.c_str(), 1, 1, &removed), -1) << f.error;
  EXPECT_EQ(read_rows(path), (Rows{{"a", "1", "1", "0"}}));
  EXPECT_EQ(removed, 0);
}

TEST(Truncate, KeyOfTheFoldedRowsByType) {
  struct Case {
    TableColumn key;
    fixtures::TableValue value;
    std::string other_key;
  };
  const Case cases[] = {
      {{3, 0x16}, tv_text("x"), "__"},
      {{2, 0x57}, tv_ip("10.0.0.1"), "0.0.0.0"},
      {{7, 0x43}, tv_num(1700000000), "0"},
      {{8, 0x83}, tv_num(42), "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.other_key);
    TruncFixture f;
    std::string path = f.root + "root";
    ASSERT_TRUE(fixtures::write_table(path, {c.key, {9, 0x04}}, {{c.value, tv_num(3)}, {c.value, tv_num(4)}}));
    ASSERT_EQ(truncate_table_file(f.env, path.c_str(), 1, 1, nullptr), -1) << f.error;
    auto rows = read_rows(path);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1], (std::vector<std::string>{c.other_key, "4"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{c.other_key, "1"}));
  }
}

TEST(Truncate, DroppedSubReportLinksTakeTheirDetailTables) {
  TruncFixture f;
  std::string path = f.root + "root";
  std::filesystem::create_directories(f.root + "0");
  for (const char *name : {"0/5", "0/6", "0/7"}) fixtures::write_file_bytes(f.root + name, {2, 3, 0x16, 0});
  // Links that lead out of the report directory are never followed.
  std::string outside = f.dir.file("outside");
  fixtures::write_file_bytes(outside, {1});
  std::filesystem::create_directory_symlink(f.dir.path(), f.root + "up");
  const std::vector<TableColumn> cols = {{3, 0x16}, {18, 0x16}, {9, 0x04}};
  ASSERT_TRUE(fixtures::write_table(path, cols,
                                    {{tv_text("a"), tv_text("0/5"), tv_num(9)},
                                     {tv_text("b"), tv_text("0/6"), tv_num(5)},
                                     {tv_text("c"), tv_text("0/7"), tv_num(0)},
                                     {tv_text("d"), tv_text("../outside"), tv_num(1)},
                                     {tv_text("e"), tv_text(outside), tv_num(1)},
                                     {tv_text("f"), tv_text("up/outside"), tv_num(1)},
                                     {tv_text("g"), tv_text("0/./6"), tv_num(1)}}));
  ASSERT_EQ(truncate_table_file(f.env, path.c_str(), 1, 1, nullptr), -1) << f.error;
  EXPECT_TRUE(std::filesystem::exists(f.root + "0/5"));
  EXPECT_FALSE(std::filesystem::exists(f.root + "0/6"));
  EXPECT_FALSE(std::filesystem::exists(f.root + "0/7"));  // empty rows lose their links too
  EXPECT_TRUE(std::filesystem::exists(outside));
  // The folded count sits in the first counter, after the link.
  EXPECT_EQ(read_rows(path), (Rows{{"a", "0/5", "9"}, {"__", "", "9"}, {"__", "", "5"}}));
}

TEST(Truncate, LinkChecks) {
  TempDir d{"kxlink"};
  std::string root = d.file("r/");
  std::filesystem::create_directories(root + "3");
  std::filesystem::create_directory_symlink(d.path(), root + "out");
  struct Case {
    const char *link;
    bool inside;
  };
  for (Case c : {Case{"3/3456", true}, Case{"root", true}, Case{"", false}, Case{"/etc/passwd", false},
                 Case{"../x", false}, Case{"3/../../x", false}, Case{"3//4", false}, Case{"./3/4", false},
                 Case{"out/x", false}, Case{"9/1", false}}) {
    SCOPED_TRACE(c.link);
    EXPECT_EQ(truncate_link_inside(root, c.link), c.inside);
  }
  EXPECT_FALSE(truncate_link_inside(d.file("r"), "3/3456"));  // the root must end with "/"
}

TEST(Truncate, DetailLevelKeepsTheFirstRowsAndAddsNothing) {
  TruncFixture f;
  std::string path = f.root + "root";
  const std::vector<TableColumn> cols = {{1, 0x16}, {2, 0x57}, {7, 0x43}, {32, 0x16}};
  std::vector<TableRow> rows;
  for (int i = 0; i < 15; i++)
    rows.push_back({tv_text("http://h" + std::to_string(i) + "/"), tv_ip(i % 2 ? "2001:db8::1" : "10.0.0.1"),
                    tv_num(static_cast<uint64_t>(1000 + i)), tv_text(i == 14 ? "" : "h")});
  // The last row holds nothing after its key: it does not count as dropped bytes.
  rows[14] = {tv_text("http://last/"), tv_ip("0.0.0.0"), tv_num(0), tv_text("")};
  ASSERT_TRUE(fixtures::write_table(path, cols, rows));
  auto sizes = row_sizes(path);
  long long removed = 0;
  ASSERT_EQ(truncate_table_file(f.env, path.c_str(), 10, 0, &removed), -1) << f.error;
  auto out = read_rows(path);
  ASSERT_EQ(out.size(), 10u);
  EXPECT_EQ(out[9][0], "http://h9/");
  EXPECT_EQ(out[9][1], "2001:db8::1");
  EXPECT_EQ(removed, sizes[10] + sizes[11] + sizes[12] + sizes[13]);
}

TEST(Truncate, EmptinessReadsEachEntryByItsType) {
  struct Entry {
    uint8_t id, type;
    std::vector<unsigned char> bytes;  // the value as it sits in a row
  };
  auto ip = [](const char *text) {
    kx_ipaddr a{};
    kxnet_aton(text, &a);
    record_ip_to_host_order(&a);
    std::vector<unsigned char> b(sizeof a);
    memcpy(b.data(), &a, sizeof a);
    return b;
  };
  struct Case {
    const char *name;
    std::vector<Entry> after_key;
    bool empty;
  };
  const std::vector<Case> cases = {
      {"zero counters",
       {{9, 0x04, std::vector<unsigned char>(8, 0)}, {10, 0x04, std::vector<unsigned char>(8, 0)}},
       true},
      {"a counter", {{9, 0x04, {0, 0, 0, 0, 0, 0, 0, 1}}}, false},
      {"a link only", {{18, 0x16, {'1', '/', '2', 0}}, {9, 0x04, std::vector<unsigned char>(8, 0)}}, true},
      // A text is judged by its content, whatever bytes follow its NUL.
      {"empty text", {{32, 0x16, {0, 'x', 'y', 'z', 1, 1, 1, 1}}}, true},
      {"a text", {{32, 0x16, {'-', 0, 0, 0, 0, 0, 0, 0}}}, false},
      {"address 0.0.0.0", {{2, 0x57, ip("0.0.0.0")}}, true},
      {"address ::", {{2, 0x57, ip("::")}}, true},
      {"address ::1", {{2, 0x57, ip("::1")}}, false},
      {"address 10.0.0.1", {{2, 0x57, ip("10.0.0.1")}}, false},
      {"128-bit high half", {{70, 0x05, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}, false},
      {"a byte", {{6, 0x71, {1}}}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<unsigned char>> store;
    store.reserve(c.after_key.size() + 1);
    std::vector<RECORD> row;
    store.push_back({'k', 0});
    row.push_back({3, 0x16, 0, store.back().data()});
    for (const Entry &e : c.after_key) {
      store.push_back(e.bytes);
      row.push_back({e.id, e.type, 0, store.back().data()});
    }
    row.push_back({0, 0, 0, nullptr});
    EXPECT_EQ(truncate_row_is_empty(row.data()), c.empty);
  }
}

TEST(TruncateFailures, InputStaysAsItWas) {
  TruncFixture f;
  std::string path = f.root + "root";
  ASSERT_TRUE(fixtures::write_table(path, kSummary, {summary("a", 1, 1, 0), summary("b", 2, 2, 0)}));
  auto before = fixtures::read_file_bytes(path);

  f.names = false;
  EXPECT_EQ(truncate_table_file(f.env, path.c_str(), 1, 1, nullptr), 0);
  EXPECT_EQ(f.error, "Error 10702: (truncate) Unable to create new report file");
  EXPECT_EQ(fixtures::read_file_bytes(path), before);

  f.names = true;
  f.env.next_temp_file = [&f] { return f.dir.file("no/such/dir/file"); };
  EXPECT_EQ(truncate_table_file(f.env, path.c_str(), 1, 1, nullptr), 0);
  EXPECT_EQ(f.error, "Error 10702: (truncate) Unable to create new report file");
  EXPECT_EQ(fixtures::read_file_bytes(path), before);

  std::string missing = f.root + "missing";
  EXPECT_EQ(truncate_table_file(f.env, missing.c_str(), 1, 1, nullptr), 0);
  EXPECT_EQ(f.error, "Error 10701: (truncate) Unable to open input file");
  EXPECT_EQ(f.temp_files(), 0u);
}

TEST(TruncateReport, ThroughTheRun) {
  TempDir tmp{"kxtruncrep"};
  reporter_settings s;
  s.reports_directory = strdup((tmp.path() + "/r/").c_str());
  s.temp_directory = strdup((tmp.path() + "/r/").c_str());  // temporary files below the root
  std::filesystem::create_directories(tmp.path() + "/r");
  REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, &s);
  ASSERT_NE(rep, nullptr);
  rep->root_path = tfile_create_root_path(rep, 7);
  rep->temp_path = tfile_create_temp_path(rep, 7);
  const std::string root = rep->root_path;
  // Two detail tables named like the grouping engine names them.
  std::vector<std::string> links;
  for (int i = 0; i < 2; i++) {
    char *p = tfile_next_rep_file(rep);
    ASSERT_NE(p, nullptr);
    fixtures::write_file_bytes(p, {2, 3, 0x16, 0});
    links.push_back(std::string(p).substr(root.size()));
    free(p);
  }
  std::string path = root + "root";
  ASSERT_TRUE(fixtures::write_table(path, {{3, 0x16}, {18, 0x16}, {9, 0x04}},
                                    {{tv_text("a"), tv_text(links[0]), tv_num(3)},
                                     {tv_text("b"), tv_text(links[1]), tv_num(2)}}));
  long long removed = 0;
  EXPECT_EQ(truncate_report(rep, path.c_str(), 1, 1, &removed), -1);
  EXPECT_EQ(rep->error, nullptr);
  EXPECT_TRUE(std::filesystem::exists(root + links[0]));
  EXPECT_FALSE(std::filesystem::exists(root + links[1]));
  EXPECT_EQ(read_rows(path), (Rows{{"a", links[0], "3"}, {"__", "", "2"}, {"__", "", "1"}}));
  EXPECT_FALSE(std::filesystem::exists(root + "temp/0/1"));

  std::string missing = root + "missing";
  EXPECT_EQ(truncate_report(rep, missing.c_str(), 1, 1, &removed), 0);
  ASSERT_NE(rep->error, nullptr);
  EXPECT_STREQ(rep->error, "Error 10701: (truncate) Unable to open input file");
  free_report(rep);
  reporter_settings_reset(&s);
}

}  // namespace
