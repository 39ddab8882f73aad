// External sort: key types and directions, runs and merges, ties, category
// display order, and what a failure leaves behind.
#include "src/report/sort.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lib/base/kxraii.h"
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

// A sort environment over a temporary folder: numbered temporary files in
// DIR/temp/, an error text kept, merges recorded.
struct SortFixture {
  TempDir dir{"kxsort"};
  std::string temp = dir.file("temp/");
  unsigned next = 0;
  unsigned names_left = UINT_MAX;  // names handed out before the namer runs dry
  std::string error;
  int sorting = -1;
  long long done = -1;
  int64_t charged = 0;
  int64_t limit = INT64_MAX;
  std::map<uint32_t, unsigned> order;  // category display positions
  std::vector<std::pair<std::vector<std::string>, std::string>> merges;
  sort_env env;

  SortFixture() {
    std::filesystem::create_directories(temp);
    env.next_temp_file = [this]() -> std::string {
      if (names_left == 0) return {};
      names_left--;
      return temp + std::to_string(++next);
    };
    env.clear_temp = [this] {
      std::error_code ec;
      for (auto &e : std::filesystem::directory_iterator(temp, ec)) std::filesystem::remove_all(e.path(), ec);
      next = 0;
    };
    env.error = [this](const std::string &t) { error = t; };
    env.sorting = &sorting;
    env.sort_done = &done;
    env.charge_temp = [this](int64_t n) {
      charged += n;
      if (charged > limit) {
        error = "over";
        return false;
      }
      return true;
    };
    env.on_merge = [this](const std::vector<std::string> &in, const std::string &out) {
      merges.emplace_back(in, out);
    };
  }

  int sort(const std::string &path, std::vector<sort_key> keys) {
    keys.push_back({0, 0});
    return sort_table_file(env, path.c_str(), keys);
  }

  size_t temp_files() const {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(temp, ec);
         it != std::filesystem::recursive_directory_iterator(); ++it)
      if (it->is_regular_file()) n++;
    return n;
  }
};

// One printed value per column: decimal numbers, texts, dotted addresses.
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
      } else if (s == STORT_INT64) {
        int64_t v;
        memcpy(&v, r.data, 8);
        row.push_back(std::to_string(v));
      } else if (s == STORT_INT128) {
        uint64_t lo, hi;
        memcpy(&lo, r.data, 8);
        memcpy(&hi, static_cast<const char *>(r.data) + 8, 8);
        row.push_back(std::to_string(hi) + ":" + std::to_string(lo));
      } else {
        row.push_back(std::to_string(record_value_uint(r)));
      }
    }
    out.push_back(std::move(row));
  }
  read_close(t);
  return out;
}

std::vector<std::string> column(const std::vector<std::vector<std::string>> &rows, size_t i) {
  std::vector<std::string> out;
  for (const auto &r : rows) out.push_back(r.at(i));
  return out;
}

TableRow counted(const std::string &user, int64_t requests, uint64_t seq) {
  return {tv_text(user), tv_num(static_cast<uint64_t>(requests)), tv_num(seq)};
}
const std::vector<TableColumn> kUserCounter = {{3, 0x16}, {9, 0x04}, {10, 0x04}};

// --- Keys ------------------------------------------------------------------

struct KeyCase {
  const char *name;
  TableColumn col;
  std::vector<fixtures::TableValue> values;  // in input order
  int8_t order;
  std::vector<std::string> expected;  // printed, sorted
};

TEST(SortKeys, EveryStorageAndDirection) {
  auto u128 = [](uint64_t hi, uint64_t lo) {
    fixtures::TableValue v = tv_num(lo);
    memcpy(v.raw + 8, &hi, 8);
    return v;
  };
  const std::vector<KeyCase> cases = {
      {"int8 asc", {6, 0x71}, {tv_num(200), tv_num(1), tv_num(0)}, 1, {"0", "1", "200"}},
      {"int16 desc", {55, 0x02}, {tv_num(2), tv_num(65535), tv_num(300)}, -1, {"65535", "300", "2"}},
      // Times past 2^31 would turn negative by a 32-bit subtraction.
      {"int32 time asc", {7, 0x43}, {tv_num(0xFFFFFFF0u), tv_num(1), tv_num(0x80000001u)}, 1,
       {"1", "2147483649", "4294967280"}},
      // 64-bit counters far apart overflow a subtraction.
      {"int64 asc extremes", {9, 0x04},
       {tv_num(static_cast<uint64_t>(INT64_MAX)), tv_num(static_cast<uint64_t>(-5)),
        tv_num(static_cast<uint64_t>(INT64_MIN))},
       1, {std::to_string(INT64_MIN), "-5", std::to_string(INT64_MAX)}},
      {"int64 desc", {9, 0x04}, {tv_num(2), tv_num(10), tv_num(9)}, -1, {"10", "9", "2"}},
      {"int128 high half first", {70, 0x05}, {u128(1, 0), u128(0, UINT64_MAX), u128(1, 1)}, 1,
       {"0:18446744073709551615", "1:0", "1:1"}},
      {"text asc", {3, 0x16}, {tv_text("bob"), tv_text("Bob"), tv_text(""), tv_text("bo")}, 1,
       {"", "Bob", "bo", "bob"}},
      {"text desc", {3, 0x16}, {tv_text("a"), tv_text("c"), tv_text("b")}, -1, {"c", "b", "a"}},
      {"address asc", {2, 0x57},
       {tv_ip("::1"), tv_ip("10.0.0.2"), tv_ip("9.255.255.255"), tv_ip("::"), tv_ip("255.0.0.1")}, 1,
       {"9.255.255.255", "10.0.0.2", "255.0.0.1", "::", "::1"}},
      {"address desc", {2, 0x57}, {tv_ip("10.0.0.1"), tv_ip("fe80::1"), tv_ip("10.0.0.3")}, -1,
       {"fe80::1", "10.0.0.3", "10.0.0.1"}},
      {"order 5 counts as ascending", {9, 0x04}, {tv_num(3), tv_num(1)}, 5, {"1", "3"}},
      {"order 0 counts as descending", {9, 0x04}, {tv_num(1), tv_num(3)}, 0, {"3", "1"}},
  };
  for (const KeyCase &c : cases) {
    SCOPED_TRACE(c.name);
    SortFixture f;
    std::string path = f.dir.file("t");
    std::vector<TableRow> rows;
    for (const auto &v : c.values) rows.push_back({v});
    ASSERT_TRUE(fixtures::write_table(path, {c.col}, rows));
    ASSERT_EQ(f.sort(path, {{c.col.id, c.order}}), -1) << f.error;
    EXPECT_EQ(column(read_rows(path), 0), c.expected);
  }
}

TEST(SortKeys, LaterKeysBreakTiesAndMissingFieldsAreSkipped) {
  SortFixture f;
  std::string path = f.dir.file("t");
  ASSERT_TRUE(fixtures::write_table(path, kUserCounter,
                                    {counted("b", 5, 0), counted("a", 5, 1), counted("c", 7, 2), counted("a", 7, 3)}));
  // Field 54 is not in the table: the key is skipped.
  ASSERT_EQ(f.sort(path, {{54, 1}, {9, -1}, {3, 1}}), -1) << f.error;
  EXPECT_EQ(column(read_rows(path), 2), (std::vector<std::string>{"3", "2", "1", "0"}));
}

TEST(SortKeys, CompareIsThreeWayOnRows) {
  // Rows as the reader hands them out, values at odd offsets.
  unsigned char bytes[1 + 8 + 8];
  int64_t big = INT64_MAX, small = -1;
  memcpy(bytes + 1, &big, 8);
  memcpy(bytes + 9, &small, 8);
  RECORD a[2] = {{9, 0x04, 0, bytes + 1}, {0, 0, 0, nullptr}};
  RECORD b[2] = {{9, 0x04, 0, bytes + 9}, {0, 0, 0, nullptr}};
  std::vector<sort_key> asc = {{9, 1}, {0, 0}};
  sort_plan p = sort_make_plan(a, asc, nullptr);
  EXPECT_GT(sort_compare_rows(a, b, p), 0);
  EXPECT_LT(sort_compare_rows(b, a, p), 0);
  EXPECT_EQ(sort_compare_rows(a, a, p), 0);
}

// Encoded keys must order exactly as the comparison does, at every byte:
// the run sort and the merges compare nothing else.
TEST(SortKeys, EncodedKeysOrderAsTheComparison) {
  struct Case {
    const char *name;
    std::vector<TableColumn> cols;
    std::vector<sort_key> keys;
    std::vector<TableRow> rows;  // compared pairwise
  };
  const std::string long_a(40, 'a');
  const std::vector<Case> cases = {
      {"int8 and int16", {{6, 0x71}, {55, 0x02}}, {{6, 1}, {55, -1}, {0, 0}},
       {{tv_num(0), tv_num(0)}, {tv_num(255), tv_num(1)}, {tv_num(255), tv_num(65535)}, {tv_num(1), tv_num(256)}}},
      {"int32 and int64 signs", {{7, 0x43}, {9, 0x04}}, {{9, 1}, {7, -1}, {0, 0}},
       {{tv_num(0x80000000u), tv_num(static_cast<uint64_t>(-1))},
        {tv_num(1), tv_num(static_cast<uint64_t>(INT64_MIN))},
        {tv_num(2), tv_num(static_cast<uint64_t>(INT64_MAX))},
        {tv_num(0), tv_num(0)},
        {tv_num(0xFFFFFFFFu), tv_num(0)}}},
      // A text that starts another sorts first, also when a later key
      // would say otherwise; texts alike in their first 8 bytes and beyond.
      {"texts then a counter", {{3, 0x16}, {9, 0x04}}, {{3, 1}, {9, 1}, {0, 0}},
       {{tv_text(""), tv_num(9)},
        {tv_text("ab"), tv_num(9)},
        {tv_text("abc"), tv_num(1)},
        {tv_text(long_a), tv_num(2)},
        {tv_text(long_a + "b"), tv_num(1)},
        {tv_text(long_a), tv_num(1)},
        {tv_text("\xff\x80"), tv_num(0)},
        {tv_text("aaaaaaaa"), tv_num(0)}}},
      {"texts descending then a counter", {{3, 0x16}, {9, 0x04}}, {{3, -1}, {9, 1}, {0, 0}},
       {{tv_text(""), tv_num(3)},
        {tv_text("ab"), tv_num(9)},
        {tv_text("abc"), tv_num(1)},
        {tv_text(long_a), tv_num(2)},
        {tv_text(long_a + "b"), tv_num(1)},
        {tv_text("\xff"), tv_num(0)}}},
      {"int128", {{70, 0x05}}, {{70, -1}, {0, 0}}, {{tv_num(5)}, {tv_num(UINT64_MAX)}, {tv_num(0)}}},
      {"addresses", {{2, 0x57}, {9, 0x04}}, {{2, 1}, {9, -1}, {0, 0}},
       {{tv_ip("10.0.0.1"), tv_num(1)},
        {tv_ip("10.0.0.1"), tv_num(2)},
        {tv_ip("9.0.0.1"), tv_num(1)},
        {tv_ip("::"), tv_num(1)},
        {tv_ip("fe80::1"), tv_num(1)},
        {tv_ip("255.255.255.255"), tv_num(0)}}},
      {"category ends the keys", {{8, 0x83}, {9, 0x04}}, {{8, -1}, {9, 1}, {0, 0}},
       {{tv_num(5), tv_num(1)}, {tv_num(6), tv_num(2)}, {tv_num(7), tv_num(3)}, {tv_num(99), tv_num(0)}}},
  };
  const std::function<unsigned(uint32_t)> position = [](uint32_t cat) {
    return cat == 99 ? 0u : cat == 7 ? 1u : 2u;  // 5 and 6 share a position
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir("kxsortkey");
    const std::string path = dir.file("t");
    ASSERT_TRUE(fixtures::write_table(path, c.cols, c.rows));
    READ_TBL *t = read_open(path.c_str());
    ASSERT_NE(t, nullptr);
    const sort_plan plan = sort_make_plan(t->rec, c.keys, &position);
    std::vector<kx_malloc_ptr<RECORD>> rows;
    std::vector<std::vector<unsigned char>> keys;
    while (RECORD *r = read_next_separate(t)) {
      rows.emplace_back(r);
      keys.emplace_back();
      sort_encode_key(r, plan, &keys.back());
    }
    read_close(t);
    ASSERT_EQ(rows.size(), c.rows.size());
    for (size_t i = 0; i < rows.size(); i++)
      for (size_t j = 0; j < rows.size(); j++) {
        const int want = sort_compare_rows(rows[i].get(), rows[j].get(), plan);
        const int got = keys[i] < keys[j] ? -1 : keys[j] < keys[i] ? 1 : 0;
        EXPECT_EQ(got, (want > 0) - (want < 0)) << "rows " << i << " and " << j;
      }
  }
}

// --- Category display order --------------------------------------------------

TEST(SortCategories, ByDisplayPositionAndEqualPositionsEndTheComparison) {
  SortFixture f;
  f.order = {{5, 3}, {6, 3}, {7, 1}, {8, 2}};
  f.env.category_position = [&f](uint32_t cat) {
    auto it = f.order.find(cat);
    return it == f.order.end() ? 0u : it->second;
  };
  std::string path = f.dir.file("t");
  // (category, requests): 5 and 6 share position 3; 99 has none (0).
  const std::vector<TableColumn> cols = {{8, 0x83}, {9, 0x04}};
  ASSERT_TRUE(fixtures::write_table(
      path, cols,
      {{tv_num(6), tv_num(1)}, {tv_num(5), tv_num(9)}, {tv_num(8), tv_num(1)}, {tv_num(99), tv_num(1)},
       {tv_num(7), tv_num(1)}, {tv_num(6), tv_num(5)}}));
  // The counter key would put 5 (9 requests) first among position 3; equal
  // positions end the comparison, so input order stays.
  ASSERT_EQ(f.sort(path, {{8, 1}, {9, -1}}), -1) << f.error;
  auto rows = read_rows(path);
  EXPECT_EQ(column(rows, 0), (std::vector<std::string>{"99", "7", "8", "6", "5", "6"}));
  EXPECT_EQ(column(rows, 1), (std::vector<std::string>{"1", "1", "1", "1", "9", "5"}));
}

TEST(SortCategories, WithoutAnOrderEveryCategoryIsEqual) {
  SortFixture f;  // no category_position
  std::string path = f.dir.file("t");
  ASSERT_TRUE(fixtures::write_table(path, {{8, 0x83}, {9, 0x04}},
                                    {{tv_num(9), tv_num(1)}, {tv_num(3), tv_num(2)}, {tv_num(5), tv_num(3)}}));
  ASSERT_EQ(f.sort(path, {{8, -1}, {9, -1}}), -1) << f.error;
  EXPECT_EQ(column(read_rows(path), 0), (std::vector<std::string>{"9", "3", "5"}));
}

// --- Runs and merges ---------------------------------------------------------

// A table of n rows with user "uK" (K = i % mod), requests i % 97 and the
// input position as the third column, written straight through the writer.
std::string write_counted(SortFixture &f, int n, int mod) {
  std::string path = f.dir.file("t");
  RECORD rec[4] = {{3, 0x16, 0, nullptr}, {9, 0x04, 0, nullptr}, {10, 0x04, 0, nullptr}, {0, 0, 0, nullptr}};
  WRITE_TBL *t = write_new_rec_ip(nullptr, path.c_str(), rec, TABLE_WRITE_BUFFER_SIZE, 3);
  EXPECT_NE(t, nullptr);
  if (!t) return path;
  for (int i = 0; i < n; i++) {
    std::string user = std::to_string(i % mod);
    user.insert(user.begin(), 'u');
    int64_t requests = i % 97, seq = i;
    rec[0].data = user.data();
    rec[1].data = &requests;
    rec[2].data = &seq;
    EXPECT_TRUE(write_next(t, rec, nullptr));
  }
  EXPECT_TRUE(write_close(t));
  return path;
}

// The run (from 1) that input row seq went into.
int run_of(const std::string &seq) { return static_cast<int>(std::stoll(seq) / SORT_RUN_ROWS) + 1; }

// The runs first..last in order.
std::vector<int> runs(int first, int last) {
  std::vector<int> v;
  for (int k = first; k <= last; k++) v.push_back(k);
  return v;
}
std::vector<int> operator+(std::vector<int> a, const std::vector<int> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Rows of write_counted sorted by requests descending, then user: rows
// equal on both keys come run by run in run_order (their order within one
// run is free).
void expect_sorted(const std::vector<std::vector<std::string>> &rows, const std::vector<int> &run_order) {
  std::map<int, size_t> rank;
  for (size_t i = 0; i < run_order.size(); i++) rank[run_order[i]] = i;
  for (size_t i = 1; i < rows.size(); i++) {
    const auto &a = rows[i - 1], &b = rows[i];
    int64_t ra = std::stoll(a[1]), rb = std::stoll(b[1]);
    ASSERT_GE(ra, rb) << "row " << i;
    if (ra != rb) continue;
    ASSERT_LE(a[0], b[0]) << "row " << i;
    if (a[0] == b[0]) {
      ASSERT_LE(rank.at(run_of(a[2])), rank.at(run_of(b[2])))
          << "tie of runs " << run_of(a[2]) << " and " << run_of(b[2]) << " at row " << i;
    }
  }
}

TEST(SortRuns, RowCountsAroundOneRun) {
  struct Case {
    int rows;
    size_t merges;
    std::vector<int> run_order;  // how rows equal on every key follow their runs
  };
  const Case cases[] = {{1, 0, {1}},
                        {10000, 0, {1}},
                        {10001, 1, {1, 2}},
                        {20000, 1, {1, 2}},
                        // Runs 1-10 merged, then run 11 with that merge.
                        {100001, 2, runs(11, 11) + runs(1, 10)}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rows);
    SortFixture f;
    std::string path = write_counted(f, c.rows, 13);
    ASSERT_EQ(f.sort(path, {{9, -1}, {3, 1}}), -1) << f.error;
    EXPECT_EQ(f.merges.size(), c.merges);
    auto rows = read_rows(path);
    ASSERT_EQ(rows.size(), static_cast<size_t>(c.rows));
    expect_sorted(rows, c.run_order);
    EXPECT_EQ(f.done, c.rows);
    EXPECT_EQ(f.sorting, 0);
    EXPECT_EQ(f.temp_files(), 0u);
    EXPECT_EQ(f.charged, 0);
  }
}

TEST(SortRuns, TheQueueIsMergedTenAtATimeFromItsFront) {
  SortFixture f;
  std::string path = write_counted(f, 25 * SORT_RUN_ROWS, 1);
  ASSERT_EQ(f.sort(path, {{3, 1}}), -1) << f.error;
  // Name 1 is the queue; runs are 2..26. Runs 1-10 and 11-20 are merged,
  // then runs 21-25 with the two merged files that the queue holds by then.
  auto run = [&f](int k) { return f.temp + std::to_string(k + 1); };
  ASSERT_EQ(f.merges.size(), 3u);
  std::vector<std::string> first, second, third;
  for (int k = 1; k <= 10; k++) first.push_back(run(k));
  for (int k = 11; k <= 20; k++) second.push_back(run(k));
  for (int k = 21; k <= 25; k++) third.push_back(run(k));
  third.push_back(f.merges[0].second);
  third.push_back(f.merges[1].second);
  EXPECT_EQ(f.merges[0].first, first);
  EXPECT_EQ(f.merges[1].first, second);
  EXPECT_EQ(f.merges[2].first, third);
  // Every row has the same key: the runs come in the order of the last
  // merge, each run's rows together.
  auto seq = column(read_rows(path), 2);
  ASSERT_EQ(seq.size(), 25u * SORT_RUN_ROWS);
  const std::vector<int> order = runs(21, 25) + runs(1, 10) + runs(11, 20);
  for (size_t i = 0; i < seq.size(); i++) ASSERT_EQ(run_of(seq[i]), order[i / SORT_RUN_ROWS]) << "row " << i;
  EXPECT_EQ(f.temp_files(), 0u);
}

TEST(SortRuns, TiedRowsFollowTheMergeSchedule) {
  {
    // 100,001 rows of one key: runs 1-10 are merged, then the last run (the
    // last row alone) with that merge, so the last row comes first.
    SortFixture f;
    std::string path = write_counted(f, 10 * SORT_RUN_ROWS + 1, 1);
    ASSERT_EQ(f.sort(path, {{3, 1}}), -1) << f.error;
    auto seq = column(read_rows(path), 2);
    ASSERT_EQ(seq.size(), 10u * SORT_RUN_ROWS + 1);
    EXPECT_EQ(seq[0], "100000");
    for (size_t i = 1; i < seq.size(); i++)
      ASSERT_EQ(run_of(seq[i]), static_cast<int>((i - 1) / SORT_RUN_ROWS) + 1) << "row " << i;
  }
  {
    // 101 runs: ten merges of ten, run 101 with the first nine merged files,
    // then the tenth with that.
    SortFixture f;
    std::string path = write_counted(f, 101 * SORT_RUN_ROWS - 7, 5);
    ASSERT_EQ(f.sort(path, {{9, -1}, {3, 1}}), -1) << f.error;
    ASSERT_EQ(f.merges.size(), 12u);
    for (const auto &m : f.merges) EXPECT_LE(m.first.size(), static_cast<size_t>(SORT_MERGE_WAY));
    auto rows = read_rows(path);
    ASSERT_EQ(rows.size(), 101u * SORT_RUN_ROWS - 7);
    expect_sorted(rows, runs(91, 100) + runs(101, 101) + runs(1, 90));
  }
}

TEST(SortRuns, EmptyInputIsLeftAsItWas) {
  SortFixture f;
  std::string path = f.dir.file("t");
  ASSERT_TRUE(fixtures::write_table(path, kUserCounter, {}));
  auto before = fixtures::read_file_bytes(path);
  ASSERT_EQ(f.sort(path, {{9, 1}}), -1) << f.error;
  EXPECT_EQ(fixtures::read_file_bytes(path), before);
  EXPECT_EQ(f.temp_files(), 0u);
  EXPECT_EQ(f.charged, 0);
}

TEST(SortRuns, AddressesKeepTheirFamilyThroughRuns) {
  SortFixture f;
  std::string path = f.dir.file("t");
  std::vector<TableRow> rows;
  for (int i = 0; i < 15000; i++)
    rows.push_back({i % 2 ? tv_ip("2001:db8::7") : tv_ip("10.1.2.3"), tv_num(static_cast<uint64_t>(i))});
  ASSERT_TRUE(fixtures::write_table(path, {{2, 0x57}, {9, 0x04}}, rows, 3));
  ASSERT_EQ(f.sort(path, {{2, -1}}), -1) << f.error;
  auto out = read_rows(path);
  ASSERT_EQ(out.size(), 15000u);
  EXPECT_EQ(out.front()[0], "2001:db8::7");
  EXPECT_EQ(out.back()[0], "10.1.2.3");
  EXPECT_EQ(out[7499][0], "2001:db8::7");
  EXPECT_EQ(out[7500][0], "10.1.2.3");
}

// Rows of several runs with texts alike far past their first 8 bytes or
// about 8 bytes long, a few longer than the reader's first buffer, and many
// ties: the result is the file the writer makes of the rows stably sorted
// (three runs merged at once keep ties in input order).
TEST(SortRuns, LongKeysAndRowsComeOutAsTheWriterWritesThemSorted) {
  struct Row {
    std::string user;
    uint64_t requests, seq;
  };
  const std::string shared = "a-user-name-with-a-long-shared-start/";
  struct Case {
    const char *name;
    std::function<std::string(uint64_t)> user;
  };
  const Case cases[] = {
      {"every key starts alike", [&](uint64_t i) { return shared + std::to_string(i * 7919 % 53); }},
      {"mixed lengths", [&](uint64_t i) {
         if (i % 5000 == 17) return std::string(40000 + i, 'a');  // longer than a read chunk
         if (i % 4999 == 3) return std::string();
         if (i % 7 == 5) return std::string(6 + i % 4, 'k');  // 6 to 9 bytes: around the 8 compared first
         return shared + std::to_string(i * 7919 % 53);
       }},
  };
  const std::vector<TableColumn> cols = {{3, 0x16}, {9, 0x04}, {10, 0x04}};
  auto table = [](const std::vector<Row> &rows) {
    std::vector<TableRow> out;
    for (const Row &r : rows) out.push_back({tv_text(r.user), tv_num(r.requests), tv_num(r.seq)});
    return out;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SortFixture f;
    std::vector<Row> input;
    for (uint64_t i = 0; i < 25000; i++) input.push_back({c.user(i), i % 5, i});
    std::string path = f.dir.file("t");
    ASSERT_TRUE(fixtures::write_table(path, cols, table(input)));
    ASSERT_EQ(f.sort(path, {{3, 1}, {9, -1}}), -1) << f.error;
    EXPECT_EQ(f.merges.size(), 1u);

    std::vector<Row> sorted = input;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Row &a, const Row &b) {
      return a.user != b.user ? a.user < b.user : a.requests > b.requests;
    });
    const std::string expected = f.dir.file("expected");
    ASSERT_TRUE(fixtures::write_table(expected, cols, table(sorted)));
    EXPECT_TRUE(fixtures::read_file_bytes(path) == fixtures::read_file_bytes(expected));
  }
}

// Addresses a writer would not have written as they are (a mapped IPv4 in
// the 17-byte form, an unknown family byte, two IP storages in one table)
// come out of a sort as the writer writes them, as when every row went
// through it.
TEST(SortRuns, AddressesComeOutAsTheWriterWritesThem) {
  auto le64 = [](std::vector<unsigned char> &b, uint64_t v) {
    for (int i = 0; i < 8; i++) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  auto v6 = [](std::vector<unsigned char> &b, const char *text) {
    in6_addr a;
    ASSERT_EQ(inet_pton(AF_INET6, text, &a), 1);
    b.insert(b.end(), a.s6_addr, a.s6_addr + 16);
  };
  struct Case {
    const char *name;
    std::vector<unsigned char> file;
    std::vector<TableColumn> cols;
    std::vector<TableRow> sorted;
    int ip_type;
  };
  std::vector<Case> cases;
  {
    // One family-byte address: rows by counter 3, 1, 2.
    std::vector<unsigned char> b = {2, 2, 0x57, 9, 0x04, 0};
    b.push_back(AF_INET6);
    v6(b, "::ffff:1.2.3.4");
    le64(b, 3);
    b.push_back(0);  // no known family: 16 bytes follow
    v6(b, "2001:db8::5");
    le64(b, 1);
    b.push_back(AF_INET);
    le64(b, 0x0A000001);  // 10.0.0.1, host order: its 4 bytes are the low half
    b.resize(b.size() - 4);
    le64(b, 2);
    cases.push_back({"family byte", b, {{2, 0x57}, {9, 0x04}},
                     {{tv_ip("2001:db8::5"), tv_num(1)}, {tv_ip("10.0.0.1"), tv_num(2)}, {tv_ip("1.2.3.4"), tv_num(3)}},
                     3});
  }
  {
    // An IPv4 field and an IPv6 field: the table is rewritten in the
    // storage of its last address field.
    std::vector<unsigned char> b = {2, 2, 0x53, 47, 0x55, 9, 0x04, 0};
    for (uint64_t n : {2u, 1u}) {
      const unsigned char ip4[4] = {static_cast<unsigned char>(n), 0, 0, 10};  // 10.0.0.n, host order
      b.insert(b.end(), ip4, ip4 + 4);
      v6(b, n == 2 ? "fe80::2" : "::ffff:9.9.9.9");
      le64(b, n);
    }
    cases.push_back({"two storages", b, {{2, 0x57}, {47, 0x57}, {9, 0x04}},
                     {{tv_ip("10.0.0.1"), tv_ip("9.9.9.9"), tv_num(1)}, {tv_ip("10.0.0.2"), tv_ip("fe80::2"), tv_num(2)}},
                     2});
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SortFixture f;
    const std::string path = f.dir.file("t"), expected = f.dir.file("expected");
    ASSERT_TRUE(fixtures::write_file_bytes(path, c.file));
    ASSERT_EQ(f.sort(path, {{9, 1}}), -1) << f.error;
    ASSERT_TRUE(fixtures::write_table(expected, c.cols, c.sorted, c.ip_type));
    EXPECT_TRUE(fixtures::read_file_bytes(path) == fixtures::read_file_bytes(expected));
  }
}

// A table whose address fields have two storages is rewritten in one: an
// IPv6 address kept in an IPv4 field becomes the default address, so the
// keys a merge reads are not the keys its runs were sorted by. Every row
// here has one IPv6 address and users of a shared start; the merge must
// still order them by user, ties by run.
TEST(SortRuns, KeysChangedByTheRewriteAreMergedByTheirNewValues) {
  SortFixture f;
  std::vector<unsigned char> b = {2, 2, 0x55, 47, 0x53, 3, 0x16, 0};
  in6_addr a6;
  ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::1", &a6), 1);
  std::vector<TableRow> sorted_rows;
  std::vector<std::pair<std::string, int>> users;
  for (int i = 0; i < 15000; i++) {
    b.insert(b.end(), a6.s6_addr, a6.s6_addr + 16);
    const unsigned char ip4[4] = {static_cast<unsigned char>(i), 0, 0, 10};
    b.insert(b.end(), ip4, ip4 + 4);
    const std::string user = "user-" + std::to_string(i * 7919 % 1000);
    b.insert(b.end(), user.begin(), user.end());
    b.push_back(0);
    users.emplace_back(user, i);
  }
  std::stable_sort(users.begin(), users.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
  for (const auto &[user, i] : users) {
    kx_ipaddr v4{};
    v4.family = AF_INET;
    v4.addr.ip = 0x0A000000u | static_cast<uint8_t>(i);
    fixtures::TableValue ip4;
    ip4.kind = fixtures::TableValue::ADDRESS;
    ip4.ip = v4;
    sorted_rows.push_back({tv_ip("2001:db8::1"), ip4, tv_text(user)});
  }
  const std::string path = f.dir.file("t"), expected = f.dir.file("expected");
  ASSERT_TRUE(fixtures::write_file_bytes(path, b));
  ASSERT_EQ(f.sort(path, {{2, 1}, {3, 1}}), -1) << f.error;
  EXPECT_EQ(f.merges.size(), 1u);
  ASSERT_TRUE(fixtures::write_table(expected, {{2, 0x57}, {47, 0x57}, {3, 0x16}}, sorted_rows, 1));
  EXPECT_TRUE(fixtures::read_file_bytes(path) == fixtures::read_file_bytes(expected));
}

// Rows given as bytes land in the file as write_next would put them, around
// every edge of the write buffer: a row that fills it exactly, one byte
// over, one larger than the whole buffer, an empty text.
TEST(SortRuns, RowBytesAroundTheWriteBuffer) {
  TempDir dir("kxsortraw");
  const std::vector<TableColumn> cols = {{3, 0x16}};
  std::vector<TableRow> rows;
  for (size_t len : {7u, 15u, 16u, 0u, 40u, 3u, 15u, 1u}) rows.push_back({tv_text(std::string(len, 'x'))});
  const std::string source = dir.file("source"), expected = dir.file("expected"), out = dir.file("out");
  ASSERT_TRUE(fixtures::write_table(source, cols, rows));
  ASSERT_TRUE(fixtures::write_table(expected, cols, rows, 3, 16));
  READ_TBL *in = read_open(source.c_str());
  ASSERT_NE(in, nullptr);
  std::vector<RECORD> layout(in->rec, in->rec + in->field_count + 1);
  WRITE_TBL *w = write_new_rec_ip(nullptr, out.c_str(), layout.data(), 16, 3);
  ASSERT_NE(w, nullptr);
  size_t len;
  EXPECT_EQ(read_row_bytes(in, &len), nullptr);
  EXPECT_EQ(len, 0u);
  while (read_next(in)) {
    const unsigned char *row = read_row_bytes(in, &len);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(static_cast<int>(len), read_record_length(in));
    EXPECT_EQ(write_row_bytes(w, row, len), -1);
  }
  EXPECT_EQ(read_row_bytes(in, &len), nullptr);
  read_close(in);
  ASSERT_EQ(write_close(w), -1);
  EXPECT_TRUE(fixtures::read_file_bytes(out) == fixtures::read_file_bytes(expected));
}

// --- Failures ----------------------------------------------------------------

TEST(SortFailures, EachLeavesNoFileBehind) {
  struct Case {
    const char *name;
    int rows;
    unsigned names;  // temporary names handed out before the namer runs dry
    const char *error;
  };
  const Case cases[] = {
      {"no queue name", 10, 0, "Error 10002: (sort) Error creating temporary filename"},
      {"no run name", 25000, 2, "Error 10012: (sort) Error creating temporary filename"},
      {"no merge name", 25000, 4, "Error 10006: (sort) Unable to create new report file"},
      // 13 runs: the second merge (runs 11-13 and the first merged file).
      {"no name for the second merge", 125000, 15, "Error 10006: (sort) Unable to create new report file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SortFixture f;
    f.names_left = c.names;
    std::string path = write_counted(f, c.rows, 3);
    EXPECT_EQ(f.sort(path, {{3, 1}}), 0);
    EXPECT_EQ(f.error, c.error);
    EXPECT_EQ(f.temp_files(), 0u);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(f.sorting, 0);
  }
}

TEST(SortFailures, InputThatDoesNotOpen) {
  SortFixture f;
  std::string path = f.dir.file("t");
  fixtures::write_file_bytes(path, {3, 1, 0x16, 0});  // version 3
  EXPECT_EQ(f.sort(path, {{1, 1}}), 0);
  EXPECT_EQ(f.error, "Error 10001: (sort) Unable to open input file");
  EXPECT_EQ(f.temp_files(), 0u);
}

TEST(SortFailures, QueueThatCannotBeCreated) {
  SortFixture f;
  std::string path = write_counted(f, 10, 3);
  f.env.next_temp_file = [&f] { return f.dir.file("missing/queue"); };
  EXPECT_EQ(f.sort(path, {{1, 1}}), 0);
  EXPECT_EQ(f.error, "Error 10003: (sort) Unable to open report processing queue file " + f.dir.file("missing/queue") +
                         ": No such file or directory");
}

TEST(SortFailures, InputSizeOverTheTemporaryLimit) {
  SortFixture f;
  std::string path = write_counted(f, 1000, 3);
  f.limit = 100;
  EXPECT_EQ(f.sort(path, {{3, 1}}), 0);
  EXPECT_EQ(f.error, "over");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(f.temp_files(), 0u);
}

TEST(SortFailures, ADamagedRunIsNotMergedSilently) {
  SortFixture f;
  std::string path = write_counted(f, 15000, 3);
  // Cut the second run short just before the merge reads it.
  f.env.on_merge = [&f](const std::vector<std::string> &in, const std::string &) {
    (void)f;
    ASSERT_EQ(in.size(), 2u);
    ::truncate(in[1].c_str(), 100);
  };
  EXPECT_EQ(f.sort(path, {{3, 1}}), 0);
  EXPECT_EQ(f.error, "Error 10007: (sort) Unable to read report file");
  EXPECT_EQ(f.temp_files(), 0u);
}

// --- Through the report run ---------------------------------------------------

class SortReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    s_.reports_directory = strdup((tmp_.path() + "/r/").c_str());
    s_.temp_directory = strdup((tmp_.path() + "/t/").c_str());
    std::filesystem::create_directories(tmp_.path() + "/r");
    std::filesystem::create_directories(tmp_.path() + "/t");
    rep_ = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, &s_);
    ASSERT_NE(rep_, nullptr);
    rep_->root_path = tfile_create_root_path(rep_, 42);
    rep_->temp_path = tfile_create_temp_path(rep_, 42);
    ASSERT_NE(rep_->root_path, nullptr);
    ASSERT_NE(rep_->temp_path, nullptr);
    rep_->cats = &order_;
  }
  void TearDown() override {
    free_report(rep_);
    reporter_settings_reset(&s_);
  }
  std::string root_file() const { return std::string(rep_->root_path) + "root"; }
  size_t temp_files() const {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(rep_->temp_path, ec);
         it != std::filesystem::recursive_directory_iterator(); ++it)
      if (it->is_regular_file()) n++;
    return n;
  }

  TempDir tmp_{"kxsortrep"};
  reporter_settings s_;
  REPORT *rep_ = nullptr;
  category_order_map order_;
};

TEST_F(SortReportTest, SortsInPlaceWithTheRunsOrderAndProgress) {
  order_ = {{30, 1}, {20, 2}, {10, 3}};
  std::vector<TableRow> rows;
  for (int i = 0; i < 25000; i++)
    rows.push_back({tv_num(static_cast<uint64_t>(10 * (1 + i % 3))), tv_num(static_cast<uint64_t>(i))});
  ASSERT_TRUE(fixtures::write_table(root_file(), {{8, 0x83}, {9, 0x04}}, rows));
  SORT_OPTION keys[] = {{8, 1}, {0, 0}};
  ASSERT_EQ(sort_table(rep_, root_file().c_str(), keys), -1) << (rep_->error ? rep_->error : "");
  auto out = read_rows(root_file());
  ASSERT_EQ(out.size(), 25000u);
  EXPECT_EQ(out.front()[0], "30");
  EXPECT_EQ(out.back()[0], "10");
  EXPECT_EQ(out[8332][0], "30");
  EXPECT_EQ(out[8333][0], "20");
  EXPECT_EQ(out[8333][1], "1");  // ties in input order
  EXPECT_EQ(rep_->sort, 0);
  EXPECT_EQ(rep_->sort_done, 25000);
  EXPECT_EQ(rep_->error, nullptr);
  EXPECT_EQ(temp_files(), 0u);
  EXPECT_EQ(rep_->cur_temp_count, 0u);
}

TEST_F(SortReportTest, FailuresAreRecordedInTheRun) {
  ASSERT_TRUE(fixtures::write_table(root_file(), kUserCounter, {counted("a", 1, 0), counted("b", 2, 1)}));
  SORT_OPTION keys[] = {{9, -1}, {0, 0}};
  rep_->cur_temp_count = TFILE_MAX_NUMBER;  // no temporary name is left
  EXPECT_EQ(sort_table(rep_, root_file().c_str(), keys), 0);
  ASSERT_NE(rep_->error, nullptr);
  EXPECT_STREQ(rep_->error, "Error 10002: (sort) Error creating temporary filename");
  EXPECT_FALSE(std::filesystem::exists(root_file()));
  EXPECT_EQ(rep_->sort, 0);
}

TEST_F(SortReportTest, InputOverTheTemporaryLimit) {
  ASSERT_TRUE(fixtures::write_table(root_file(), kUserCounter, {counted("a", 1, 0), counted("b", 2, 1)}));
  const long long size = static_cast<long long>(std::filesystem::file_size(root_file()));
  s_.max_temp_size = size - 1;
  SORT_OPTION keys[] = {{9, -1}, {0, 0}};
  EXPECT_EQ(sort_table(rep_, root_file().c_str(), keys), 0);
  ASSERT_NE(rep_->error, nullptr);
  EXPECT_EQ(std::string(rep_->error), "Error 10601: (status) Temporary File Size Limit " + std::to_string(size - 1) +
                                           " Exceeded by 1 bytes");
}

TEST_F(SortReportTest, RowLevelEntryPoints) {
  const std::vector<TableColumn> cols = {{3, 0x16}, {9, 0x04}};
  ASSERT_TRUE(fixtures::write_table(root_file(), cols, {{tv_text("b"), tv_num(2)}, {tv_text("a"), tv_num(10)},
                                                        {tv_text("c"), tv_num(9)}}));
  READ_TBL *t = read_open(root_file().c_str());
  ASSERT_NE(t, nullptr);
  std::vector<RECORD *> rows;
  while (RECORD *r = read_next_separate(t)) rows.push_back(r);
  std::vector<RECORD> layout(t->rec, t->rec + t->field_count + 1);
  read_close(t);
  ASSERT_EQ(rows.size(), 3u);
  SORT_OPTION desc[] = {{9, -1}, {0, 0}};
  EXPECT_LT(sort_record_compare(rows[1], rows[2], desc, rep_), 0);  // 10 before 9
  EXPECT_GT(sort_record_compare(rows[0], rows[2], desc, rep_), 0);  // 2 after 9
  sort_fields(rows.data(), 0, 2, desc, rep_);
  EXPECT_STREQ(static_cast<const char *>(rows[0]->data), "a");
  EXPECT_STREQ(static_cast<const char *>(rows[2]->data), "b");

  std::string queue = tmp_.path() + "/queue";
  kx_fd q(::open(queue.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0664));
  ASSERT_TRUE(q.valid());
  SORT_OPTION asc[] = {{3, 1}, {0, 0}};
  ASSERT_EQ(sort_records(rows.data(), 0, 2, asc, rep_, layout.data(), q.get()), -1);
  for (RECORD *r : rows) EXPECT_EQ(r, nullptr);  // freed
  auto bytes = fixtures::read_file_bytes(queue);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.back(), 0);
  std::string run(bytes.begin(), bytes.end() - 1);
  EXPECT_EQ(column(read_rows(run), 0), (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
