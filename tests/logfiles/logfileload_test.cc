// The list of the request logs of a time window: order, totals, window
// edges, filters, and what is not a log.
#include "lib/logfiles/logfileload.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

using reqlog::Format;

constexpr time_t T = 1200000000;  // 2008-01-10, a time every format can hold
constexpr time_t kForever = 2147483647;

std::vector<int64_t> seconds(time_t from, int n, int step = 1) {
  std::vector<int64_t> v;
  for (int i = 0; i < n; i++) v.push_back(from + i * step);
  return v;
}

// Entries of the list as "name:start:end:records", in list order.
std::vector<std::string> entries(const ReqLogFiles *list) {
  std::vector<std::string> out;
  for (const ReqLogFile *f = list->head; f; f = f->next) {
    std::string name = f->filename;
    EXPECT_EQ(name.rfind("../logs/", 0), 0u) << name;
    out.push_back(name.substr(8) + ":" + std::to_string(f->start - T) + ":" + std::to_string(f->end - T) + ":" +
                  std::to_string(f->records));
  }
  return out;
}

// The list links both ways and its totals are those of its entries.
void expect_consistent(const ReqLogFiles *list) {
  int count = 0;
  int64_t records = 0;
  off_t megs = 0;
  const ReqLogFile *prev = nullptr;
  for (const ReqLogFile *f = list->head; f; prev = f, f = f->next) {
    EXPECT_EQ(f->prev, prev);
    EXPECT_NE(f->reader, nullptr);
    EXPECT_EQ(f->bytes, reqlog::filesize_of(f->filename));
    count++;
    records += f->records;
    megs += f->bytes / 1048576;
  }
  EXPECT_EQ(list->count, count);
  EXPECT_EQ(list->records, records);
  EXPECT_EQ(list->megs, megs);
  EXPECT_EQ(list->current, list->head);
}

struct ListDeleter {
  void operator()(ReqLogFiles *l) const { logfileload_free(l); }
};
using List = std::unique_ptr<ReqLogFiles, ListDeleter>;

List load(time_t from, time_t to, int zero = 0, int type = REQFILEUTILS_REQUEST_TYPE_ALL,
          ReqFileFilterFunc func = nullptr, void *filter = nullptr) {
  return List(logfileload_init(from, to, zero, type, func, filter));
}

// An empty log (with an empty index) whose bounds, its modification time,
// are t.
std::string write_empty(const std::string &dir, Format f, const std::string &tag, time_t t) {
  std::string base = dir + "/" + reqlog::prefix(f) + tag;
  std::string path = base + ".log";
  reqlog::write_file(path, "");
  reqlog::write_file(base + ".ndx", "");
  struct utimbuf times = {t, t};
  EXPECT_EQ(utime(path.c_str(), &times), 0);
  return path;
}

TEST(LogFileLoad, ListsLogsOfAllFormatsByStartWithTotals) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::SB, "b", seconds(T + 100, 5));
  reqlog::write_times(wd.logs(), Format::TXT, "t", seconds(T, 10));
  reqlog::write_times(wd.logs(), Format::EB, "e", seconds(T + 50, 8, 2));
  List list = load(0, kForever);
  ASSERT_TRUE(list);
  EXPECT_EQ(entries(list.get()),
            (std::vector<std::string>{"kxlogger_requests_txt_t.log:0:9:10", "kxlogger_requests_ext_e.log:50:64:8",
                                      "kxlogger_requests_bin_b.log:100:104:5"}));
  EXPECT_EQ(list->count, 3);
  EXPECT_EQ(list->records, 23);
  EXPECT_EQ(list->megs, 0);
  expect_consistent(list.get());
  EXPECT_EQ(logfileload_last(list.get()), list->head->next->next);
}

TEST(LogFileLoad, WindowEdgesAndRecordsWithin) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::TXT, "a", seconds(T, 10));       // T .. T+9
  reqlog::write_times(wd.logs(), Format::SB, "b", seconds(T + 20, 10));   // T+20 .. T+29
  struct Case {
    time_t from, to;
    std::vector<std::string> want;
  } cases[] = {
      // Touching at one instant on either side counts.
      {T + 9, T + 20, {"kxlogger_requests_txt_a.log:0:9:1", "kxlogger_requests_bin_b.log:20:29:1"}},
      {T + 5, T + 25, {"kxlogger_requests_txt_a.log:0:9:5", "kxlogger_requests_bin_b.log:20:29:6"}},
      {T - 100, T, {"kxlogger_requests_txt_a.log:0:9:1"}},
      {T + 29, T + 100, {"kxlogger_requests_bin_b.log:20:29:1"}},
      // Between and beside the logs: an empty list, not a failure.
      {T + 10, T + 19, {}},
      {T - 100, T - 1, {}},
      {T + 30, T + 100, {}},
      {T + 7, T + 3, {}},  // inverted, within the first log
  };
  for (const Case &c : cases) {
    List list = load(c.from, c.to);
    ASSERT_TRUE(list);
    EXPECT_EQ(entries(list.get()), c.want) << "window " << c.from - T << ".." << c.to - T;
    expect_consistent(list.get());
    EXPECT_EQ(list->head == nullptr, c.want.empty());
    EXPECT_EQ(logfileload_last(list.get()) == nullptr, c.want.empty());
  }
}

// Whichever of the two the directory yields first, the log holding data goes
// before the empty one of the same start.
TEST(LogFileLoad, SameStartPutsTheNonEmptyLogFirst) {
  for (bool empty_first : {true, false}) {
    reqlog::WorkDir wd;
    if (empty_first) write_empty(wd.logs(), Format::TXT, "z", T + 5);
    reqlog::write_times(wd.logs(), Format::SB, "n", seconds(T + 5, 3));
    if (!empty_first) write_empty(wd.logs(), Format::TXT, "z", T + 5);
    reqlog::write_times(wd.logs(), Format::EB, "early", seconds(T, 2));
    write_empty(wd.logs(), Format::SB, "late", T + 6);

    List list = load(0, kForever, 1);
    ASSERT_TRUE(list);
    EXPECT_EQ(entries(list.get()),
              (std::vector<std::string>{"kxlogger_requests_ext_early.log:0:1:2", "kxlogger_requests_bin_n.log:5:7:3",
                                        "kxlogger_requests_txt_z.log:5:5:0", "kxlogger_requests_bin_late.log:6:6:0"}));
    expect_consistent(list.get());

    // Without empty files only the two with data are listed.
    List data_only = load(0, kForever, 0);
    ASSERT_TRUE(data_only);
    EXPECT_EQ(entries(data_only.get()), (std::vector<std::string>{"kxlogger_requests_ext_early.log:0:1:2",
                                                                  "kxlogger_requests_bin_n.log:5:7:3"}));
  }
}

TEST(LogFileLoad, OnlyRegularFilesNamedLikeLogsCount) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::SB, "real", seconds(T, 2));
  // Folders named like logs of each format, one holding a log of its own.
  for (const char *dir : {"kxlogger_requests_bin_dir.log", "kxlogger_requests_txt_dir.log",
                          "kxlogger_requests_ext_dir.log", "kxlogger_requestsdir.log"})
    ASSERT_EQ(mkdir((wd.logs() + "/" + dir).c_str(), 0755), 0);
  reqlog::write_times(wd.logs() + "/kxlogger_requests_bin_dir.log", Format::SB, "inner", seconds(T, 2));
  // A pipe named like a log: opening it would wait for a writer for ever.
  ASSERT_EQ(mkfifo((wd.logs() + "/kxlogger_requests_txt_pipe.log").c_str(), 0644), 0);
  // A copy of a log under another name, and a log of no known format.
  std::string bytes = reqlog::read_file(wd.logs() + "/kxlogger_requests_bin_real.log");
  reqlog::write_file(wd.logs() + "/kxlogger_requests_bin_copy.log.old", bytes);
  reqlog::write_file(wd.logs() + "/other_bin.log", bytes);
  reqlog::write_file(wd.logs() + "/kxlogger_requests_bin_short.log", "ab");
  // A symbolic link to a log is followed; one to a folder is not a log.
  ASSERT_EQ(symlink("kxlogger_requests_bin_real.log", (wd.logs() + "/kxlogger_requests_bin_link.log").c_str()), 0);
  ASSERT_EQ(symlink("kxlogger_requests_txt_dir.log", (wd.logs() + "/kxlogger_requests_txt_dlink.log").c_str()), 0);

  for (int zero : {0, 1}) {
    List list = load(0, kForever, zero);
    ASSERT_TRUE(list);
    std::vector<std::string> names;
    for (const ReqLogFile *f = list->head; f; f = f->next) names.push_back(f->filename);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"../logs/kxlogger_requests_bin_link.log",
                                               "../logs/kxlogger_requests_bin_real.log"}))
        << "empty files " << zero;
  }
}

// What the listing says in the message log (level 1), captured.
std::string g_messages;
int capture(int level, const char *format, va_list ap) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, format, ap);
  if (level == KXLOG_MESSAGE) g_messages += buf;
  return 1;
}
struct CaptureMessages {
  CaptureMessages() {
    g_messages.clear();
    kxlog_set_sink(capture);
  }
  ~CaptureMessages() { kxlog_set_sink(nullptr); }
};

// A log whose data was cut short while its index stayed whole (of each
// format), and one whose last index entries lead past its end, stay listed
// with the records that can be read, and the listing names each of them
// once in the message log; a whole log is not named.
TEST(LogFileLoad, CutLogsAreListedWithTheirReadableRecordsAndNamed) {
  reqlog::WorkDir wd;
  for (Format f : {Format::SB, Format::EB, Format::TXT}) {
    reqlog::LogImage img = reqlog::image_with_times(f, seconds(T, 10, 10));  // T .. T+90
    std::string log = reqlog::write_log(wd.logs(), std::string(reqlog::prefix(f)) + "cut", img);
    reqlog::truncate_file(log, reqlog::record_offset(img, 4) + 3);  // records 0-3 whole, 4 cut
  }
  std::string ndx = reqlog::write_times(wd.logs(), Format::SB, "past", seconds(T + 5, 3));
  ndx.replace(ndx.size() - 4, 4, ".ndx");
  reqlog::write_file(ndx, reqlog::read_file(ndx) + reqlog::le32(0x7FFFFFF0));
  reqlog::write_times(wd.logs(), Format::SB, "whole", seconds(T + 1, 2));

  CaptureMessages messages;
  List list = load(T + 10, kForever);
  ASSERT_TRUE(list);
  std::vector<std::string> got = entries(list.get());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"kxlogger_requests_bin_cut.log:0:30:3", "kxlogger_requests_ext_cut.log:0:30:3",
                                           "kxlogger_requests_txt_cut.log:0:30:3"}));
  list = load(0, kForever);
  ASSERT_TRUE(list);
  got = entries(list.get());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"kxlogger_requests_bin_cut.log:0:30:4", "kxlogger_requests_bin_past.log:5:7:3",
                                           "kxlogger_requests_bin_whole.log:1:2:2",
                                           "kxlogger_requests_ext_cut.log:0:30:4",
                                           "kxlogger_requests_txt_cut.log:0:30:4"}));
  expect_consistent(list.get());
  // Each listing that holds a damaged log names it once.
  struct Named {
    std::string text;
    int times;
  } named[] = {
      {"Request log ../logs/kxlogger_requests_bin_cut.log is damaged: 4 of its 10 indexed records can be read\n", 2},
      {"Request log ../logs/kxlogger_requests_ext_cut.log is damaged: 4 of its 10 indexed records can be read\n", 2},
      {"Request log ../logs/kxlogger_requests_txt_cut.log is damaged: 4 of its 10 indexed records can be read\n", 2},
      {"Request log ../logs/kxlogger_requests_bin_past.log is damaged: 3 of its 4 indexed records can be read\n", 1},
  };
  for (const Named &n : named) {
    int times = 0;
    for (size_t at = g_messages.find(n.text); at != std::string::npos; at = g_messages.find(n.text, at + 1)) times++;
    EXPECT_EQ(times, n.times) << n.text << g_messages;
  }
  EXPECT_EQ(g_messages.find("whole"), std::string::npos) << g_messages;
}

int reject_marked(const char *name, void *mark) {
  return std::string(name).find(static_cast<const char *>(mark)) == std::string::npos;
}

TEST(LogFileLoad, TypeAndNameFilters) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::SB, "b", seconds(T + 2, 1));
  reqlog::write_times(wd.logs(), Format::TXT, "t", seconds(T + 1, 1));
  reqlog::write_times(wd.logs(), Format::EB, "e", seconds(T, 1));
  reqlog::write_times(wd.logs(), Format::EB, "skip", seconds(T + 3, 1));
  struct Case {
    int type;
    std::vector<std::string> want;
  } cases[] = {
      {REQFILEUTILS_REQUEST_TYPE_BINARY, {"kxlogger_requests_bin_b.log:2:2:1"}},
      {REQFILEUTILS_REQUEST_TYPE_TEXT, {"kxlogger_requests_txt_t.log:1:1:1"}},
      {REQFILEUTILS_REQUEST_TYPE_BINARY_EXT,
       {"kxlogger_requests_ext_e.log:0:0:1", "kxlogger_requests_ext_skip.log:3:3:1"}},
      {REQFILEUTILS_REQUEST_TYPE_ALL,
       {"kxlogger_requests_ext_e.log:0:0:1", "kxlogger_requests_txt_t.log:1:1:1", "kxlogger_requests_bin_b.log:2:2:1",
        "kxlogger_requests_ext_skip.log:3:3:1"}},
  };
  for (const Case &c : cases) {
    List list = load(0, kForever, 0, c.type);
    ASSERT_TRUE(list);
    EXPECT_EQ(entries(list.get()), c.want) << "type " << c.type;
  }
  char mark[] = "_skip";
  List filtered = load(0, kForever, 0, REQFILEUTILS_REQUEST_TYPE_BINARY_EXT, reject_marked, mark);
  ASSERT_TRUE(filtered);
  EXPECT_EQ(entries(filtered.get()), (std::vector<std::string>{"kxlogger_requests_ext_e.log:0:0:1"}));
}

// A log without its index has unknown bounds (0): it is listed only by a
// window from 0, with no records counted.
TEST(LogFileLoad, LogWithoutIndex) {
  reqlog::WorkDir wd;
  reqlog::write_log(wd.logs(), "kxlogger_requests_bin_noindex", reqlog::sb_image(reqlog::sb_sample(4, T)),
                    reqlog::Rep::None, false);
  reqlog::write_times(wd.logs(), Format::TXT, "t", seconds(T, 3));
  List all = load(0, kForever);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->count, 2);
  EXPECT_STREQ(all->head->filename, "../logs/kxlogger_requests_bin_noindex.log");
  EXPECT_EQ(all->head->start, 0);
  EXPECT_EQ(all->head->end, 0);
  EXPECT_EQ(all->head->records, 0);
  EXPECT_GT(all->head->bytes, 0);
  EXPECT_EQ(all->records, 3);
  expect_consistent(all.get());

  List later = load(1, kForever);
  ASSERT_TRUE(later);
  EXPECT_EQ(entries(later.get()), (std::vector<std::string>{"kxlogger_requests_txt_t.log:0:2:3"}));
}

TEST(LogFileLoad, MegsSumsEachLogRoundedDown) {
  reqlog::WorkDir wd;
  // Two standard logs of a little over 1.5 MiB each: 1 + 1, not 3.
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(1500, static_cast<int32_t>(T));
  for (auto &r : recs) r.uri += std::string(1024, 'x');
  reqlog::LogImage img = reqlog::sb_image(recs);
  reqlog::write_log(wd.logs(), "kxlogger_requests_bin_big1", img);
  reqlog::write_log(wd.logs(), "kxlogger_requests_bin_big2", img);
  List list = load(0, kForever);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->count, 2);
  EXPECT_GT(list->head->bytes, 1572864);
  EXPECT_LT(list->head->bytes, 2 * 1048576);
  EXPECT_EQ(list->megs, 2);
  EXPECT_EQ(list->records, 3000);
}

TEST(LogFileLoad, LastFollowsTheCursorAndReadersCanBeTakenOver) {
  EXPECT_EQ(logfileload_last(nullptr), nullptr);
  logfileload_free(nullptr);

  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::SB, "1", seconds(T, 2));
  reqlog::write_times(wd.logs(), Format::TXT, "2", seconds(T + 10, 4));
  reqlog::write_times(wd.logs(), Format::EB, "3", seconds(T + 20, 6));
  ReqLogFiles *list = logfileload_init(0, kForever, 0, REQFILEUTILS_REQUEST_TYPE_ALL, nullptr, nullptr);
  ASSERT_NE(list, nullptr);
  ReqLogFile *last = logfileload_last(list);
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(last->filename, "../logs/kxlogger_requests_ext_3.log");
  list->current = list->head->next;
  EXPECT_EQ(logfileload_last(list), last);
  list->current = nullptr;
  EXPECT_EQ(logfileload_last(list), nullptr);

  // The caller keeps the newest log's reader past the list.
  LogFileReaderPtr kept = last->reader;
  last->reader = nullptr;
  logfileload_free(list);
  off_t n = 0;
  EXPECT_EQ(kept->methods->GetRecordsNumber(kept, &n), 0);
  EXPECT_EQ(n, 6);
  RecordPtr row = kept->methods->AllocateRecords(kept, 0);
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(kept->methods->GetRecByNumber(kept, row, -1), 0);
  EXPECT_EQ(kept->methods->RecordTime(kept, row), T + 25);
  kept->methods->FreeRecords(kept, row);
  kept->methods->FreeReader(kept);
}

TEST(LogFileLoad, NoLogDirectoryGivesNull) {
  reqlog::WorkDir wd;
  ASSERT_EQ(rmdir(wd.logs().c_str()), 0);
  EXPECT_EQ(logfileload_init(0, kForever, 1, REQFILEUTILS_REQUEST_TYPE_ALL, nullptr, nullptr), nullptr);
}

}  // namespace

namespace {

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string base_of(const std::string &dir, Format f, const std::string &tag) {
  return dir + "/" + reqlog::prefix(f) + tag;
}

TEST(LogFileLoad, FileStatsOverEveryNonEmptyLog) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::TXT, "a", seconds(T, 10));
  reqlog::write_times(wd.logs(), Format::SB, "b", seconds(T + 20, 10));
  write_empty(wd.logs(), Format::TXT, "z", T + 500);
  time_t start = 0, end = 0;
  off_t size = 0;
  int64_t records = 0;
  ASSERT_EQ(logfileload_filestats(REQFILEUTILS_REQUEST_TYPE_ALL, &start, &end, &size, &records), 0);
  EXPECT_EQ(start, T);
  EXPECT_EQ(end, T + 29);  // the empty log is not loaded
  EXPECT_EQ(size, reqlog::filesize_of(base_of(wd.logs(), Format::TXT, "a") + ".log") +
                      reqlog::filesize_of(base_of(wd.logs(), Format::SB, "b") + ".log"));
  EXPECT_EQ(records, 20);
  ASSERT_EQ(logfileload_filestats(REQFILEUTILS_REQUEST_TYPE_BINARY, &start, &end, nullptr, &records), 0);
  EXPECT_EQ(start, T + 20);
  EXPECT_EQ(records, 10);
}

TEST(LogFileLoad, FileStatsWithoutFolderOrLogs) {
  reqlog::WorkDir wd;
  time_t start = 1, end = 1;
  int64_t records = 1;
  ASSERT_EQ(logfileload_filestats(REQFILEUTILS_REQUEST_TYPE_ALL, &start, &end, nullptr, &records), 0);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, 0);
  EXPECT_EQ(records, 0);
  ASSERT_EQ(rmdir(wd.logs().c_str()), 0);
  EXPECT_EQ(logfileload_filestats(REQFILEUTILS_REQUEST_TYPE_ALL, &start, &end, nullptr, &records), -1);
}

TEST(LogFileLoad, RemoveMovesTheCursorAndKeepsTotals) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::TXT, "a", seconds(T, 3));
  reqlog::write_times(wd.logs(), Format::SB, "b", seconds(T + 20, 4));
  reqlog::write_times(wd.logs(), Format::EB, "c", seconds(T + 40, 5));
  List list = load(0, kForever);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->count, 3);
  ReqLogFile *first = list->head;
  ReqLogFile *second = first->next;
  ASSERT_EQ(logfileload_remove(list.get(), first), 0);
  EXPECT_EQ(list->head, second);
  EXPECT_EQ(list->current, second);
  EXPECT_EQ(second->prev, nullptr);
  EXPECT_EQ(list->count, 2);
  EXPECT_EQ(list->records, 12);  // totals stay
  EXPECT_EQ(logfileload_remove_by_name(list.get(), "../logs/kxlogger_requests_ext_c.log"), 0);
  EXPECT_EQ(second->next, nullptr);
  EXPECT_EQ(list->count, 1);
  EXPECT_EQ(logfileload_remove_by_name(list.get(), "../logs/kxlogger_requests_ext_c.log"), -1);
  ReqLogFile stranger;
  EXPECT_EQ(logfileload_remove(list.get(), &stranger), -1);
  EXPECT_EQ(logfileload_remove(nullptr, second), -1);
  EXPECT_EQ(entries(list.get()), (std::vector<std::string>{"kxlogger_requests_bin_b.log:20:23:4"}));
  // Nothing was deleted.
  EXPECT_TRUE(exists(base_of(wd.logs(), Format::TXT, "a") + ".log"));
}

TEST(LogFileLoad, UnlinkActsOnlyOnRegularFilesInsideTheFolder) {
  reqlog::WorkDir wd;
  const std::string a = base_of(wd.logs(), Format::TXT, "a");
  reqlog::write_times(wd.logs(), Format::TXT, "a", seconds(T, 3));
  reqlog::write_file(a + ".rep", std::string(12, '\0'));
  const std::string outside = wd.root() + "/precious.log";
  reqlog::write_file(outside, "keep me");
  ASSERT_EQ(mkdir((wd.logs() + "/sub").c_str(), 0755), 0);
  reqlog::write_file(wd.logs() + "/sub/x.log", "x");

  testing::internal::CaptureStderr();
  for (const char *bad : {"../precious.log", "../logs/../precious.log", "../logs/sub/x.log", "../logs/x.txt",
                          "../logs/.log", "../logs/", "logs/x.log"})
    EXPECT_EQ(logfileload_unlink_file(bad), -1) << bad;
  EXPECT_EQ(logfileload_unlink_file((wd.logs() + "/kxlogger_requests_txt_a.log").c_str()), -1);  // absolute
  EXPECT_EQ(logfileload_unlink_file("../logs/missing.log"), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("logfileload: ../precious.log is not a log of ../logs/, not removed"), std::string::npos) << err;
  EXPECT_NE(err.find("logfileload: ../logs/missing.log does not exist"), std::string::npos) << err;
  EXPECT_TRUE(exists(outside));
  EXPECT_TRUE(exists(wd.logs() + "/sub/x.log"));
  EXPECT_TRUE(exists(a + ".log"));

  // A log and its companions.
  EXPECT_EQ(logfileload_unlink_file("../logs/kxlogger_requests_txt_a.log"), 0);
  for (const char *ext : {".log", ".ndx", ".rep"}) EXPECT_FALSE(exists(a + ext)) << ext;

  // Links are neither followed nor removed, and each is reported.
  ASSERT_EQ(symlink(outside.c_str(), (wd.logs() + "/link.log").c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(logfileload_unlink_file("../logs/link.log"), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("logfileload: ../logs/link.log is not a regular file, not removed"), std::string::npos) << err;
  EXPECT_TRUE(exists(wd.logs() + "/link.log"));
  EXPECT_EQ(reqlog::read_file(outside), "keep me");

  reqlog::write_file(wd.logs() + "/b.log", "b");
  ASSERT_EQ(symlink(outside.c_str(), (wd.logs() + "/b.ndx").c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(logfileload_unlink_file("../logs/b.log"), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(exists(wd.logs() + "/b.log"));
  EXPECT_TRUE(exists(wd.logs() + "/b.ndx"));
  EXPECT_EQ(reqlog::read_file(outside), "keep me");
  EXPECT_EQ(logfileload_unlink(nullptr), -1);
}

TEST(LogFileLoad, CleanupAndRotateDeleteOldestFirst) {
  reqlog::WorkDir wd;
  reqlog::write_times(wd.logs(), Format::TXT, "g", seconds(T, 2, 100));  // T and T+100: none in the window
  reqlog::write_times(wd.logs(), Format::SB, "x", seconds(T + 30, 10));
  reqlog::write_times(wd.logs(), Format::EB, "y", seconds(T + 40, 10));
  reqlog::write_times(wd.logs(), Format::TXT, "z", seconds(T + 50, 10));
  {
    List list = load(T + 30, T + 59);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->count, 4);
    EXPECT_EQ(logfileload_cleanup(list.get()), 0);
    EXPECT_EQ(list->count, 3);
    EXPECT_FALSE(exists(base_of(wd.logs(), Format::TXT, "g") + ".log"));
    EXPECT_FALSE(exists(base_of(wd.logs(), Format::TXT, "g") + ".ndx"));
    EXPECT_EQ(logfileload_rotate(list.get(), 2), 0);
    EXPECT_EQ(entries(list.get()), (std::vector<std::string>{"kxlogger_requests_ext_y.log:40:49:10",
                                                             "kxlogger_requests_txt_z.log:50:59:10"}));
    EXPECT_FALSE(exists(base_of(wd.logs(), Format::SB, "x") + ".log"));
    EXPECT_TRUE(exists(base_of(wd.logs(), Format::EB, "y") + ".log"));
    EXPECT_EQ(logfileload_rotate(list.get(), -1), -1);
  }
  // An entry whose files cannot all go stays listed; the rest still go.
  const std::string y = base_of(wd.logs(), Format::EB, "y");
  const std::string kept_index = wd.root() + "/y.ndx";
  ASSERT_EQ(rename((y + ".ndx").c_str(), kept_index.c_str()), 0);
  ASSERT_EQ(symlink(kept_index.c_str(), (y + ".ndx").c_str()), 0);
  List list = load(0, kForever);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->count, 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(logfileload_rotate(list.get(), 0), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("is not a regular file"), std::string::npos) << err;
  EXPECT_EQ(list->count, 1);
  EXPECT_EQ(std::string(list->head->filename), "../logs/kxlogger_requests_ext_y.log");
  EXPECT_FALSE(exists(base_of(wd.logs(), Format::TXT, "z") + ".log"));
  EXPECT_TRUE(exists(kept_index));
}

}  // namespace
