// The request-log window: time order across files and formats, the tie
// rules, positioning at the period start, files that leave the window, the
// derived fields of each row, the file-name prefilter and kind 3 of the
// table dispatcher.
#include "src/report/logfile_window.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "lib/lists/mdburl.h"
#include "src/report/filter.h"
#include "src/report/report.h"
#include "src/table/table.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

using reqlog::Format;

constexpr time_t T = 1200000000;  // 2008-01-10, a time every format can hold

// A log of format f whose record i has time times[i] and the URL
// "http://TAG/i", so a row tells which file and record it came from.
void write_tagged(Format f, const std::string &name, const std::string &tag, const std::vector<int64_t> &times,
                  reqlog::Rep rep = reqlog::Rep::None, bool with_index = true) {
  reqlog::LogImage img;
  switch (f) {
    case Format::SB: {
      std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(static_cast<int>(times.size()), 0);
      for (size_t i = 0; i < recs.size(); ++i) {
        recs[i].time = static_cast<int32_t>(times[i]);
        recs[i].uri = "http://" + tag + "/" + std::to_string(i);
      }
      img = reqlog::sb_image(recs);
      break;
    }
    case Format::EB: {
      std::vector<std::string> recs;
      for (size_t i = 0; i < times.size(); ++i)
        recs.push_back(reqlog::eb_sample_record(static_cast<int32_t>(times[i]), 0xC0A80001u, "u",
                                                "http://" + tag + "/" + std::to_string(i), i));
      img = reqlog::eb_image(reqlog::eb_header(reqlog::eb_sample_fields(), reqlog::eb_sample_constants()), recs,
                             times);
      break;
    }
    case Format::TXT: {
      std::vector<std::string> lines;
      for (size_t i = 0; i < times.size(); ++i)
        lines.push_back(std::to_string(times[i]) + " http://" + tag + "/" + std::to_string(i) + " 10.0.0.1 u g 0 1,2");
      img = reqlog::txt_image("", lines, times);
      break;
    }
  }
  img.times = times;
  reqlog::write_log("../logs", std::string(reqlog::prefix(f)) + name, img, rep, with_index);
}

std::vector<int64_t> at(std::initializer_list<int> offsets) {
  std::vector<int64_t> v;
  for (int o : offsets) v.push_back(T + o);
  return v;
}

// A report of the period [T + from, T + to] with an optional filter tree.
struct TestReport {
  REPORT rep{};
  REPORT_DEFINITION def{};
  TestReport(int from, int to, FILTER_RULE *filter = nullptr) {
    rep.start = T + from;
    rep.end = T + to;
    def.filter = filter;
    rep.def = &def;
  }
  ~TestReport() { free_filter_rule(def.filter); }
};

// "TAG/i@offset" of the current row.
std::string row_id(const TABLE *t) {
  const Record *uri = record_find(t->rec, t->map, FIELD_URI);
  const Record *date = record_find(t->rec, t->map, FIELD_DATE);
  if (!uri || !date) return "?";
  std::string u = record_value_text(*uri) ? record_value_text(*uri) : "";
  if (u.rfind("http://", 0) == 0) u = u.substr(7);
  return u + "@" + std::to_string(static_cast<int64_t>(record_value_uint(*date)) - T);
}

// Every row of the window, then the window closed.
std::vector<std::string> read_all(LOGFILE_READ *w) {
  std::vector<std::string> out;
  while (logfile_next(w)) out.push_back(row_id(w));
  EXPECT_EQ(logfile_next(w), 0);  // stays at the end
  logfile_close(w);
  return out;
}

using Rows = std::vector<std::string>;

class Window : public ::testing::TestWithParam<Format> {
 protected:
  reqlog::WorkDir wd;
};

TEST_P(Window, NoFileCoversThePeriodGivesAnEmptyWindow) {
  write_tagged(GetParam(), "a", "a", at({0, 1, 2}));
  write_tagged(GetParam(), "b", "b", at({100, 101}));
  TestReport r(10, 50);
  r.rep.recs_todo = 99;
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(r.rep.recs_todo, 0);
  EXPECT_EQ(w->nextfile, nullptr);
  ASSERT_NE(w->rec, nullptr);
  EXPECT_EQ(w->rec[0].type, 0);
  EXPECT_EQ(read_all(w), Rows{});
}

TEST_P(Window, RowsOfOneSecondStayWithOneFileAndTiesGoToTheEarlierFile) {
  write_tagged(GetParam(), "a", "a", at({10, 11, 11, 12}));
  write_tagged(GetParam(), "b", "b", at({11, 11, 12}));
  TestReport r(0, 100);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(r.rep.recs_todo, 7);
  EXPECT_EQ(read_all(w), (Rows{"a/0@10", "a/1@11", "a/2@11", "b/0@11", "b/1@11", "a/3@12", "b/2@12"}));
}

TEST_P(Window, InterleavedFilesComeOutInTimeOrder) {
  write_tagged(GetParam(), "a", "a", at({10, 20, 21}));
  write_tagged(GetParam(), "b", "b", at({5, 21, 21, 30}));
  TestReport r(0, 100);
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"b/0@5", "a/0@10", "a/1@20", "b/1@21", "b/2@21", "a/2@21", "b/3@30"}));
}

TEST_P(Window, AFileStartingBeforeThePeriodIsPositionedAtItsStart) {
  write_tagged(GetParam(), "a", "a", at({0, 5, 10, 15, 20}));
  write_tagged(GetParam(), "b", "b", at({12, 40}));
  TestReport r(10, 30);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(r.rep.recs_todo, 4);
  EXPECT_EQ(r.rep.recs_done, 0);
  // Before the first read the head shows the first file's row.
  ASSERT_NE(w->nextfile, nullptr);
  EXPECT_EQ(w->rec, w->nextfile->rec);
  EXPECT_EQ(w->headrec, w->nextfile->rec);
  EXPECT_EQ(read_all(w), (Rows{"a/2@10", "b/0@12", "a/3@15", "a/4@20"}));
}

TEST_P(Window, AFileWhoseFirstRecordInRangeIsPastThePeriodEndIsLeftOut) {
  write_tagged(GetParam(), "a", "a", at({0, 100}));
  write_tagged(GetParam(), "b", "b", at({50}));
  TestReport r(40, 60);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  ASSERT_NE(w->nextfile, nullptr);
  EXPECT_EQ(w->nextfile->nextfile, nullptr);  // only b is in the window
  EXPECT_EQ(read_all(w), Rows{"b/0@50"});
}

TEST_P(Window, RowsPastThePeriodEndEndTheirFile) {
  write_tagged(GetParam(), "a", "a", at({10, 20, 30, 40}));
  write_tagged(GetParam(), "b", "b", at({25, 26, 60}));
  TestReport r(0, 30);
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"a/0@10", "a/1@20", "b/0@25", "b/1@26", "a/2@30"}));
}

TEST_P(Window, EveryRowCarriesFourEmptyDerivedFieldsClearedBetweenRows) {
  write_tagged(GetParam(), "a", "a", at({1, 2, 2}));
  write_tagged(GetParam(), "b", "b", at({2, 3}));
  TestReport r(0, 100);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  int rows = 0;
  while (logfile_next(w)) {
    ++rows;
    auto *node = static_cast<LOGFILE_READ *>(w->lastread);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(w->rec, node->rec);
    const unsigned char ids[] = {FIELD_URIHOST, FIELD_URIDOMAIN, FIELD_SEARCHTERM, FIELD_DATAWORDS};
    for (int i = 0; i < 4; ++i) {
      Record *e = record_find(w->rec, w->map, ids[i]);
      ASSERT_NE(e, nullptr) << int(ids[i]);
      EXPECT_EQ(e - w->rec, node->field_count + i);
      EXPECT_EQ(e->datatype, 0x16);
      EXPECT_EQ(e->flags & RECORD_FLAG_OWNED, RECORD_FLAG_OWNED);
      EXPECT_EQ(e->data, nullptr) << "row " << rows << " field " << int(ids[i]);
      // What the derived-field code would store; the window frees it.
      e->data = strdup("www.example.com");
    }
    EXPECT_EQ(w->rec[node->field_count + 4].type, 0);
    EXPECT_EQ(w->map[0xFF], node->field_count + 4);  // an absent id
  }
  EXPECT_EQ(rows, 5);
  logfile_close(w);
}

// A log whose data was cut short inside a record while its index stayed
// whole: its whole records come out, also when it starts before the period
// and must be positioned, and they are counted in the records to do.
TEST_P(Window, ACutLogShowsTheRecordsItCanRead) {
  write_tagged(GetParam(), "a", "a", at({10, 20, 30, 40, 50, 60}));
  write_tagged(GetParam(), "b", "b", at({15, 35}));
  // Cut three bytes into the fifth record, which starts where a log of the
  // first four ends.
  const std::string a = std::string("../logs/") + reqlog::prefix(GetParam()) + "a";
  write_tagged(GetParam(), "a", "a", at({10, 20, 30, 40}));
  const long four = reqlog::filesize_of(a + ".log");
  write_tagged(GetParam(), "a", "a", at({10, 20, 30, 40, 50, 60}));
  reqlog::truncate_file(a + ".log", four + 3);
  struct Case {
    int from, to;
    long long todo;
    Rows rows;
  } cases[] = {
      {0, 100, 6, {"a/0@10", "b/0@15", "a/1@20", "a/2@30", "b/1@35", "a/3@40"}},
      {25, 100, 3, {"a/2@30", "b/1@35", "a/3@40"}},
      {40, 100, 1, {"a/3@40"}},
      {41, 100, 0, {}},
  };
  for (const Case &c : cases) {
    TestReport r(c.from, c.to);
    LOGFILE_READ *w = logfile_open(&r.rep, 1);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(r.rep.recs_todo, c.todo) << c.from;
    EXPECT_EQ(read_all(w), c.rows) << c.from;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Window, ::testing::Values(Format::SB, Format::EB, Format::TXT));

class WindowMixed : public ::testing::Test {
 protected:
  reqlog::WorkDir wd;
};

TEST_F(WindowMixed, ThreeFormatsMergeIntoOneStream) {
  write_tagged(Format::SB, "s", "s", at({1, 4, 7}));
  write_tagged(Format::EB, "e", "e", at({2, 4, 8}));
  write_tagged(Format::TXT, "t", "t", at({3, 4, 9}));
  TestReport r(2, 8);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(r.rep.recs_todo, 7);
  EXPECT_EQ(read_all(w), (Rows{"e/0@2", "t/0@3", "s/1@4", "e/1@4", "t/1@4", "s/2@7", "e/2@8"}));
}

// Closing frees every reader once whatever was read before: nothing, part
// of the window, all of it, or past its end (the sanitizer builds check).
TEST_F(WindowMixed, CloseAfterAnyNumberOfReads) {
  write_tagged(Format::SB, "s", "s", at({1, 2, 3}));
  write_tagged(Format::EB, "e", "e", at({2, 3}));
  write_tagged(Format::TXT, "t", "t", at({0, 5}));
  TestReport r(1, 4);
  for (int reads : {0, 1, 2, 3, 4, 5, 6, 10}) {
    LOGFILE_READ *w = logfile_open(&r.rep, 1);
    ASSERT_NE(w, nullptr);
    int got = 0;
    for (int i = 0; i < reads; ++i) {
      if (!logfile_next(w)) break;
      ++got;
      record_find(w->rec, w->map, FIELD_URIHOST)->data = strdup("x");
    }
    EXPECT_EQ(got, reads < 5 ? reads : 5) << reads;
    EXPECT_EQ(logfile_close(w), -1);
  }
}

// Once a file has left the window the head never shows its row or map.
TEST_F(WindowMixed, TheHeadNeverPointsIntoAFileThatLeft) {
  write_tagged(Format::SB, "s", "s", at({1}));
  write_tagged(Format::TXT, "t", "t", at({2, 3}));
  TestReport r(0, 10);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(logfile_next(w), -1);
  EXPECT_EQ(row_id(w), "s/0@1");
  ASSERT_EQ(logfile_next(w), -1);  // s ended and left
  EXPECT_EQ(row_id(w), "t/0@2");
  EXPECT_EQ(w->nextfile->nextfile, nullptr);
  EXPECT_EQ(w->headrec, w->empty_row);
  ASSERT_EQ(logfile_next(w), -1);
  EXPECT_EQ(logfile_next(w), 0);
  EXPECT_EQ(w->nextfile, nullptr);
  EXPECT_EQ(w->lastread, nullptr);
  EXPECT_EQ(w->rec, w->empty_row);
  EXPECT_EQ(w->map, w->empty_map);
  EXPECT_EQ(record_find(w->rec, w->map, FIELD_URI), nullptr);
  logfile_close(w);
}

TEST_F(WindowMixed, FilesThatCannotBePositionedOrReadLeaveTheWindowSilently) {
  write_tagged(Format::SB, "s", "s", at({1, 2, 6}));
  // No index: its bounds come from the date cache, the search fails.
  write_tagged(Format::EB, "e", "e", at({0, 5}), reqlog::Rep::Fresh, false);
  // Its second record is cut short; the date cache matches the cut file.
  write_tagged(Format::TXT, "t", "t", at({3, 4}));
  std::string t = "../logs/kxlogger_requests_txt_t";
  long size = reqlog::filesize_of(t + ".log") - 10;
  reqlog::truncate_file(t + ".log", size);
  reqlog::write_file(t + ".rep", reqlog::le32(T + 3) + reqlog::le32(T + 4) + reqlog::le32(static_cast<uint32_t>(size)));
  TestReport r(1, 10);
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"s/0@1", "s/1@2", "t/0@3", "s/2@6"}));
}

// A date cache that claims an earlier start than the first record: the
// file is chosen by its claimed start, then takes its place by the time of
// the record it really holds.
TEST_F(WindowMixed, AFileWhoseFirstRecordIsLaterThanItsStartWaitsItsTurn) {
  write_tagged(Format::SB, "b", "b", at({20, 30}));
  write_tagged(Format::TXT, "a", "a", at({10, 15}));
  std::string b = "../logs/kxlogger_requests_bin_b";
  reqlog::write_file(b + ".rep", reqlog::le32(T + 5) + reqlog::le32(T + 30) +
                                     reqlog::le32(static_cast<uint32_t>(reqlog::filesize_of(b + ".log"))));
  TestReport r(0, 100);
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"a/0@10", "a/1@15", "b/0@20", "b/1@30"}));
}

TEST_F(WindowMixed, NoLogFolderGivesAnEmptyWindow) {
  std::error_code ec;
  std::filesystem::remove_all(wd.logs(), ec);
  TestReport r(0, 10);
  r.rep.recs_todo = 5;
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(r.rep.recs_todo, 0);
  EXPECT_EQ(read_all(w), Rows{});
}

TEST_F(WindowMixed, NullArgumentsAreRefused) {
  EXPECT_EQ(logfile_open(nullptr, 1), nullptr);
  EXPECT_EQ(logfile_next(nullptr), 0);
  EXPECT_EQ(logfile_close(nullptr), -1);
}

TEST_F(WindowMixed, TheDispatcherOpensAWindowAsKind3) {
  write_tagged(Format::SB, "s", "s", at({1, 3}));
  write_tagged(Format::EB, "e", "e", at({2}));
  logfile_window_install();
  TestReport r(0, 10);
  EXPECT_EQ(table_open(TABLE_LOGFILE, &r.rep, nullptr, nullptr, 0, 0), nullptr);  // no database
  EXPECT_EQ(table_open(TABLE_LOGFILE, nullptr, nullptr, nullptr, 1, 0), nullptr);
  TABLE *t = table_open(TABLE_LOGFILE, &r.rep, nullptr, nullptr, 1, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->type, TABLE_LOGFILE);
  Rows got;
  while (table_read_record(t)) got.push_back(row_id(t));
  EXPECT_EQ(table_read_record(t), 0);
  EXPECT_EQ(table_write_record(t, t->rec, nullptr), 0);
  EXPECT_EQ(table_read_record_separate(t), nullptr);
  EXPECT_EQ(table_close(t), -1);
  EXPECT_EQ(got, (Rows{"s/0@1", "e/0@2", "s/1@3"}));
}

// --- Filters -----------------------------------------------------------------------

FILTER_RULE *rule(const char *text, int field, FILTER_RULE *prev = nullptr) {
  FILTER_RULE *f = report_definition_add_filter(text, prev, field, nullptr, nullptr, 0);
  EXPECT_NE(f, nullptr) << text;
  return f;
}

TEST_F(WindowMixed, FilterRecordAppliesTheDefinitionsFilter) {
  write_tagged(Format::SB, "s", "s", at({1, 2, 3}));
  TestReport r(0, 10, rule("% \"/1\"", FIELD_URI));
  TestReport none(0, 10);
  LOGFILE_READ *w = logfile_open(&r.rep, 1);
  ASSERT_NE(w, nullptr);
  Rows passed;
  while (logfile_next(w)) {
    EXPECT_EQ(logfile_filter_record(&none.rep, w->rec, w->map), 1);
    if (logfile_filter_record(&r.rep, w->rec, w->map)) passed.push_back(row_id(w));
  }
  logfile_close(w);
  EXPECT_EQ(passed, Rows{"s/1@2"});
  EXPECT_EQ(logfile_filter_record(nullptr, nullptr, nullptr), 1);
}

// The hashed chunk of a text value among pools, as the lists compute it.
int text_chunk(const std::string &value, int pools) {
  return static_cast<int>(mdburl_poolid(value.c_str(), static_cast<int>(value.size()), pools));
}

TEST(FileNameFilter, NamesWithoutMarkersOrPartsAreKept) {
  FILTER_RULE *f = rule("== \"staff\"", FIELD_GROUP);
  for (const char *name : {"../logs/kxlogger_requests_bin_a.log", "kxlogger_requests_bin_group_staff.log",
                           "kxlogger_requests_bin_tag_x.log", "kxlogger_requests_bin_hash_group_1.log",
                           "kxlogger_requests_bin_hash_group_1_x.log", "kxlogger_requests_bin_hash_color_1_x_8.log",
                           "kxlogger_requests_bin_hash_group_9_x_8.log", "kxlogger_requests_bin_hash_group_0_x_0.log",
                           "kxlogger_requests_bin_hash_group_0_x_-3.log"})
    EXPECT_NE(FileNameFilter(name, f), 0) << name;
  EXPECT_NE(FileNameFilter("kxlogger_requests_bin_group_sales_1.log", nullptr), 0);
  EXPECT_NE(FileNameFilter(nullptr, f), 0);
  free_filter_rule(f);
}

// Names are outside input: every cut of a marked name, huge numbers and
// empty parts give an answer, never a crash; a cut name keeps its file.
TEST(FileNameFilter, CutAndOddNamesAreSafe) {
  FILTER_RULE *f = rule("== \"http://a/\"", FIELD_URI);
  f = rule("== \"staff\"", FIELD_GROUP, f);
  f = rule("== 10.0.0.0/8", FIELD_IP, f);
  f = rule("== \"bob\"", FIELD_USER, f);
  for (std::string full : {"kxlogger_requests_bin_hash_username8-4_3_p_8", "kxlogger_requests_bin_hash_ip24_3_p_8",
                           "kxlogger_requests_bin_group_staff_1", "kxlogger_requests_bin_tag_n_1"}) {
    for (size_t n = 0; n < full.size(); ++n) {
      std::string cut = full.substr(0, n);
      if (std::count(cut.begin(), cut.end(), '_') < std::count(full.begin(), full.end(), '_')) {
        EXPECT_NE(FileNameFilter(cut.c_str(), f), 0) << cut;
      }
    }
  }
  for (const char *name :
       {"_hash_", "_hash__", "_hash____", "_hash_group99999999999999999999999_1_x_8",
        "_hash_username-99999999999999999999_1_x_8", "_hash_ip999999999999_0_x_1", "_hash_ip-5_0_x_1",
        "_hash_url_99999999999999999999_x_99999999999999999999", "_hash_url_-99999999999999999999_x_8",
        "_group_", "_group__", "_tag__", "_hash_denied_1_p_1"})
    (void)FileNameFilter(name, f);
  std::string longname = "kxlogger_requests_bin_group_" + std::string(100000, 'g') + "_1.log";
  EXPECT_EQ(FileNameFilter(longname.c_str(), f), 0);  // not "staff"
  free_filter_rule(f);
}

TEST(FileNameFilter, GroupAndTagNamesAreTestedAgainstEqualityLeaves) {
  FILTER_RULE *f = rule("== \"staff\"", FIELD_GROUP);
  FILTER_RULE *g = rule("== \"node_7\"", FIELD_LOGFILE_TAG);
  struct Case {
    const char *name;
    FILTER_RULE *filter;
    bool kept;
  } cases[] = {
      {"../logs/kxlogger_requests_bin_group_staff_1.log", f, true},
      {"../logs/kxlogger_requests_bin_group_sales_1.log", f, false},
      {"../logs/kxlogger_requests_bin_tag_node-7_1.log", f, true},  // no leaf on 59
      {"../logs/kxlogger_requests_bin_tag_node-7_1.log", g, true},  // "_" written as "-"
      {"../logs/kxlogger_requests_bin_tag_node-8_1.log", g, false},
      {"../logs/kxlogger_requests_bin_group_staff_1.log", g, true},
  };
  for (const Case &c : cases) EXPECT_EQ(FileNameFilter(c.name, c.filter) != 0, c.kept) << c.name;
  free_filter_rule(f);
  free_filter_rule(g);
}

TEST(FileNameFilter, HashedNamesKeepOnlyTheChunkOfTheValue) {
  const int pools = 8;
  int url = text_chunk("http://www.example.com/", pools);
  int user = text_chunk("ali", pools);  // the first 3 characters of "alice"
  int tail = text_chunk("ce", pools);   // the last 2
  FILTER_RULE *fu = rule("== \"http://www.example.com/\"", FIELD_URI);
  FILTER_RULE *fn = rule("== \"alice\"", FIELD_USER);
  auto name = [](const std::string &kind, int chunk) {
    return "../logs/kxlogger_requests_ext_hash_" + kind + "_" + std::to_string(chunk) + "_p_8.log";
  };
  EXPECT_NE(FileNameFilter(name("url", url).c_str(), fu), 0);
  EXPECT_EQ(FileNameFilter(name("url", (url + 1) % pools).c_str(), fu), 0);
  EXPECT_NE(FileNameFilter(name("username3", user).c_str(), fn), 0);
  EXPECT_EQ(FileNameFilter(name("username3", (user + 1) % pools).c_str(), fn), 0);
  EXPECT_NE(FileNameFilter(name("username0--2", tail).c_str(), fn), 0);
  EXPECT_EQ(FileNameFilter(name("username0--2", (tail + 1) % pools).c_str(), fn), 0);
  // A leaf on another field says nothing about the file.
  EXPECT_NE(FileNameFilter(name("url", (url + 1) % pools).c_str(), fn), 0);
  free_filter_rule(fu);
  free_filter_rule(fn);
}

// The "-" after the prefix length only separates the offset: "username8-4"
// hashes 8 characters after the first 4, and an offset counted from the end
// carries its own sign ("username8--4": the last 4, then at most 8).
TEST(FileNameFilter, TheOffsetFollowsTheDashWithItsOwnSign) {
  const int pools = 16;
  const std::string user = "corp-alice.smith", group = "sales-north-emea";
  ASSERT_NE(text_chunk(user.substr(4, 8), pools), text_chunk(user.substr(user.size() - 4), pools));
  ASSERT_NE(text_chunk(group.substr(6, 5), pools), text_chunk(group.substr(group.size() - 6, 5), pools));
  FILTER_RULE *fu = rule("== \"corp-alice.smith\"", FIELD_USER);
  FILTER_RULE *fg = rule("== \"sales-north-emea\"", FIELD_GROUP);
  struct Case {
    std::string kind;
    FILTER_RULE *filter;
    std::string part;  // what the file's writer hashed
  } cases[] = {
      {"username8-4", fu, user.substr(4, 8)},
      {"username0-5", fu, user.substr(5)},
      {"username8--4", fu, user.substr(user.size() - 4)},
      {"username3--6", fu, user.substr(user.size() - 6, 3)},
      {"username8", fu, user.substr(0, 8)},
      {"username0", fu, user},
      {"group5-6", fg, group.substr(6, 5)},
      {"group5--6", fg, group.substr(group.size() - 6, 5)},
  };
  for (const Case &c : cases) {
    const int chunk = text_chunk(c.part, pools);
    auto name = [&](int k) {
      return "../logs/kxlogger_requests_bin_hash_" + c.kind + "_" + std::to_string(k) + "_p_16.log";
    };
    EXPECT_NE(FileNameFilter(name(chunk).c_str(), c.filter), 0) << c.kind;
    EXPECT_EQ(FileNameFilter(name((chunk + 1) % pools).c_str(), c.filter), 0) << c.kind;
  }
  // Skipping the whole value leaves nothing to hash: no pool is ruled out.
  for (int k = 0; k < pools; k++) {
    std::string n = "kxlogger_requests_bin_hash_group0-16_" + std::to_string(k) + "_p_16.log";
    EXPECT_NE(FileNameFilter(n.c_str(), fg), 0) << n;
  }
  free_filter_rule(fu);
  free_filter_rule(fg);
}

TEST(FileNameFilter, DeniedAndAddressNames) {
  FILTER_RULE *denied = report_definition_filter_add_denied(nullptr, "TRUE");
  ASSERT_NE(denied, nullptr);
  EXPECT_NE(FileNameFilter("kxlogger_requests_bin_hash_denied_1_p_2.log", denied), 0);
  EXPECT_EQ(FileNameFilter("kxlogger_requests_bin_hash_denied_0_p_2.log", denied), 0);
  free_filter_rule(denied);
  // 10.1.2.3 with 16 bits hashed: (10 + 1) mod 4 = 3.
  FILTER_RULE *ip = rule("== 10.1.2.3", FIELD_IP);
  EXPECT_NE(FileNameFilter("kxlogger_requests_bin_hash_ip16_3_p_4.log", ip), 0);
  EXPECT_EQ(FileNameFilter("kxlogger_requests_bin_hash_ip16_2_p_4.log", ip), 0);
  free_filter_rule(ip);
}

// The log a writer hashed by "username8-4" for the filter's user is read;
// the other pool's log is skipped.
TEST_F(WindowMixed, ThePrefilterKeepsTheLogOfTheUsersPool) {
  const std::string user = "corp-alice.smith";
  const int chunk = text_chunk(user.substr(4, 8), 16);
  write_tagged(Format::SB, "hash_username8-4_" + std::to_string(chunk) + "_p_16", "mine", at({1, 3}));
  write_tagged(Format::SB, "hash_username8-4_" + std::to_string((chunk + 1) % 16) + "_p_16", "other", at({2}));
  TestReport r(0, 10, rule("== \"corp-alice.smith\"", FIELD_USER));
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"mine/0@1", "mine/1@3"}));
  EXPECT_EQ(r.rep.recs_todo, 2);
}

TEST_F(WindowMixed, ThePrefilterSkipsFilesExceptInAScheduledBatch) {
  write_tagged(Format::SB, "group_staff_1", "staff", at({1, 3}));
  write_tagged(Format::SB, "group_sales_1", "sales", at({2}));
  TestReport r(0, 10, rule("== \"staff\"", FIELD_GROUP));
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"staff/0@1", "staff/1@3"}));
  EXPECT_EQ(r.rep.recs_todo, 2);
  REPORT other{};
  r.rep.next_task = &other;  // a batch reads every file
  EXPECT_EQ(read_all(logfile_open(&r.rep, 1)), (Rows{"staff/0@1", "sales/0@2", "staff/1@3"}));
  EXPECT_EQ(r.rep.recs_todo, 3);
}

}  // namespace
