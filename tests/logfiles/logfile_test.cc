// The reader interface over all three formats: reading in order, by time
// and by number, record counts of a period, time bounds and the date cache.
#include "lib/logfiles/logfile.h"
#include "lib/logfiles/logfile_format.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>

#include <memory>

#include "tests/fixtures/reqlog_writer.h"

using reqlog::Format;
using reqlog::Rep;

namespace {

constexpr int64_t T = 1700000000;  // a time the text format takes as Unix seconds

struct Reader {
  LogFileReaderPtr r = nullptr;
  RecordPtr row = nullptr;
  explicit Reader(const std::string &path, int zero = 0) {
    r = LogFileTest(path.c_str(), zero, nullptr, nullptr);
    if (r) row = r->methods->AllocateRecords(r, 0);
  }
  ~Reader() {
    if (r) {
      r->methods->FreeRecords(r, row);
      r->methods->FreeReader(r);
    }
  }
  const LogFileReaderMethods *m() const { return r->methods; }
};

class AllFormats : public ::testing::TestWithParam<Format> {
 protected:
  reqlog::WorkDir wd;
  std::string write(const std::vector<int64_t> &times, Rep rep = Rep::None, const std::string &tag = "a") {
    return reqlog::write_times(wd.logs(), GetParam(), tag, times, rep);
  }
  std::string path(const std::string &tag = "a") { return "../logs/" + std::string(reqlog::prefix(GetParam())) + tag + ".log"; }
};

INSTANTIATE_TEST_SUITE_P(Formats, AllFormats, ::testing::Values(Format::SB, Format::EB, Format::TXT),
                         [](const auto &info) {
                           return std::string(info.param == Format::SB ? "SB" : info.param == Format::EB ? "EB" : "TXT");
                         });

TEST_P(AllFormats, ReadsInOrderWithTimesAndOffsets) {
  std::vector<int64_t> times;
  for (int i = 0; i < 50; ++i) times.push_back(T + i * 3);
  reqlog::LogImage img = reqlog::image_with_times(GetParam(), times);
  write(times);
  Reader rd(path());
  ASSERT_TRUE(rd.r && rd.row);
  int n = 0;
  for (int rc = rd.m()->GetFirstRec(rd.r, rd.row); rc == 0; rc = rd.m()->GetNextRec(rd.r, rd.row), ++n) {
    ASSERT_LT(n, 50);
    EXPECT_EQ(rd.m()->RecordTime(rd.r, rd.row), times[static_cast<size_t>(n)]);
    // Offsets are right for formats with a header too.
    EXPECT_EQ(rd.m()->RecordOffset(rd.r), reqlog::record_offset(img, static_cast<size_t>(n)));
  }
  EXPECT_EQ(n, 50);
  // The buffer is gone at the end: every further read fails.
  EXPECT_EQ(rd.m()->GetNextRec(rd.r, rd.row), -1);
  EXPECT_EQ(rd.m()->GetFirstRec(rd.r, rd.row), -1);
  off_t count = 0;
  EXPECT_EQ(rd.m()->GetRecordsNumber(rd.r, &count), 0);
  EXPECT_EQ(count, 50);
}

// Records at 10, 20, 20, 30 (after T).
TEST_P(AllFormats, SearchByTime) {
  write({T + 10, T + 20, T + 20, T + 30});
  reqlog::LogImage img = reqlog::image_with_times(GetParam(), {T + 10, T + 20, T + 20, T + 30});
  Reader rd(path());
  ASSERT_TRUE(rd.r);
  // A failed search leaves the log closed: the first record still comes first.
  EXPECT_EQ(rd.m()->GetRecByTime(rd.r, rd.row, T + 31), -1);
  ASSERT_EQ(rd.m()->GetFirstRec(rd.r, rd.row), 0);
  EXPECT_EQ(rd.m()->RecordTime(rd.r, rd.row), T + 10);
  struct Case {
    int64_t t;
    int rec;  // -1: fails
  } cases[] = {{0, 0}, {T + 10, 0}, {T + 15, 1}, {T + 20, 1}, {T + 21, 3}, {T + 30, 3}, {T + 31, -1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.t - T);
    if (c.rec < 0) {
      EXPECT_EQ(rd.m()->GetRecByTime(rd.r, rd.row, c.t), -1);
      continue;
    }
    ASSERT_EQ(rd.m()->GetRecByTime(rd.r, rd.row, c.t), 0);
    EXPECT_EQ(rd.m()->RecordOffset(rd.r), reqlog::record_offset(img, static_cast<size_t>(c.rec)));
  }
  // Reading goes on after a positioned record.
  ASSERT_EQ(rd.m()->GetRecByTime(rd.r, rd.row, T + 20), 0);
  ASSERT_EQ(rd.m()->GetNextRec(rd.r, rd.row), 0);
  EXPECT_EQ(rd.m()->RecordOffset(rd.r), reqlog::record_offset(img, 2));
}

TEST_P(AllFormats, RecordsOfAPeriod) {
  write({T + 10, T + 20, T + 20, T + 30});
  Reader rd(path());
  ASSERT_TRUE(rd.r);
  struct Case {
    int64_t s, e, n;
  } cases[] = {{T + 15, T + 25, 2}, {0, T + 25, 3},      {T + 15, T + 100, 3}, {T + 20, T + 20, 2},
               {0, T + 9, 0},       {T + 31, T + 40, 0}, {0, T + 100, 4},      {T + 30, T + 30, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.s - T << ".." << c.e - T);
    off_t n = -5;
    ASSERT_EQ(rd.m()->GetReportRecordsNumber(rd.r, c.s, c.e, &n), 0);
    EXPECT_EQ(n, c.n);
  }
  // The count leaves the reader closed: the first record is read afresh.
  ASSERT_EQ(rd.m()->GetFirstRec(rd.r, rd.row), 0);
  EXPECT_EQ(rd.m()->RecordTime(rd.r, rd.row), T + 10);
}

TEST_P(AllFormats, RecordByNumber) {
  std::vector<int64_t> times;
  for (int i = 0; i < 10; ++i) times.push_back(T + i);
  write(times);
  Reader rd(path());
  ASSERT_TRUE(rd.r);
  struct Case {
    off_t n;
    int64_t rec;  // -1: fails
  } cases[] = {{0, 0},
               {3, 3},
               {9, 9},
               {-1, 9},
               {-10, 0},
               {-1000, 0},
               {10, -1},
               {INT64_MAX, -1},
               {INT64_MIN, 0},
               {int64_t{1} << 62, -1},
               {(int64_t{1} << 30) + 3, -1}};  // x 4 overflows 32 bits
  for (const Case &c : cases) {
    SCOPED_TRACE(c.n);
    if (c.rec < 0) {
      EXPECT_EQ(rd.m()->GetRecByNumber(rd.r, rd.row, c.n), -1);
      continue;
    }
    ASSERT_EQ(rd.m()->GetRecByNumber(rd.r, rd.row, c.n), 0);
    EXPECT_EQ(rd.m()->RecordTime(rd.r, rd.row), T + c.rec);
  }
}

TEST_P(AllFormats, TimeBoundsFromIndexWriteTheDateCache) {
  std::string log = write({T + 10, T + 20, T + 30});
  std::string rep = log.substr(0, log.size() - 4) + ".rep";
  {
    Reader rd(path());
    ASSERT_TRUE(rd.r);
    LogFileTimeBounds *b = rd.m()->GetTimeBounds(rd.r);
    EXPECT_EQ(b->start, T + 10);
    EXPECT_EQ(b->end, T + 30);
    EXPECT_EQ(rd.m()->GetFileSize(rd.r), reqlog::filesize_of(log));
  }
  EXPECT_EQ(reqlog::read_file(rep), reqlog::le32(T + 10) + reqlog::le32(T + 30) +
                                        reqlog::le32(static_cast<uint32_t>(reqlog::filesize_of(log))));
  // A cache that matches the size is trusted as it is.
  reqlog::write_file(rep, reqlog::le32(T + 1) + reqlog::le32(T + 2) +
                              reqlog::le32(static_cast<uint32_t>(reqlog::filesize_of(log))));
  {
    Reader rd(path());
    LogFileTimeBounds *b = rd.m()->GetTimeBounds(rd.r);
    EXPECT_EQ(b->start, T + 1);
    EXPECT_EQ(b->end, T + 2);
  }
}

TEST_P(AllFormats, StaleDateCacheIsRewritten) {
  std::string log = write({T + 10, T + 20, T + 30}, Rep::Stale);
  std::string rep = log.substr(0, log.size() - 4) + ".rep";
  Reader rd(path());
  ASSERT_TRUE(rd.r);
  LogFileTimeBounds *b = rd.m()->GetTimeBounds(rd.r);
  EXPECT_EQ(b->start, T + 10);
  EXPECT_EQ(b->end, T + 30);
  EXPECT_EQ(reqlog::read_file(rep).substr(0, 8), reqlog::le32(T + 10) + reqlog::le32(T + 30));
}

TEST_P(AllFormats, FreshDateCacheIsUsed) {
  write({T + 10, T + 20, T + 30}, Rep::Fresh);
  Reader rd(path());
  ASSERT_TRUE(rd.r);
  EXPECT_EQ(rd.m()->GetTimeBounds(rd.r)->end, T + 30);
}

TEST_P(AllFormats, EmptyLogHasItsModificationTime) {
  reqlog::write_log(wd.logs(), std::string(reqlog::prefix(GetParam())) + "a", reqlog::LogImage{});
  Reader rd(path(), 1);
  ASSERT_TRUE(rd.r);
  struct stat st;
  ASSERT_EQ(stat(path().c_str(), &st), 0);
  LogFileTimeBounds *b = rd.m()->GetTimeBounds(rd.r);
  EXPECT_EQ(b->start, st.st_mtime);
  EXPECT_EQ(b->end, st.st_mtime);
  off_t n = -1;
  EXPECT_EQ(rd.m()->GetRecordsNumber(rd.r, &n), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(rd.m()->GetRecByNumber(rd.r, rd.row, -1), -1);
  EXPECT_EQ(rd.m()->GetFirstRec(rd.r, rd.row), -1);
}

TEST_P(AllFormats, MissingIndex) {
  reqlog::write_log(wd.logs(), std::string(reqlog::prefix(GetParam())) + "a",
                    reqlog::image_with_times(GetParam(), {T + 1, T + 2}), Rep::None, false);
  Reader rd(path());
  ASSERT_TRUE(rd.r);
  EXPECT_EQ(rd.m()->GetTimeBounds(rd.r)->end, 0);
  off_t n;
  EXPECT_EQ(rd.m()->GetRecordsNumber(rd.r, &n), -1);
  EXPECT_EQ(rd.m()->GetRecByTime(rd.r, rd.row, T), -1);
  EXPECT_EQ(rd.m()->GetReportRecordsNumber(rd.r, 0, T + 5, &n), -1);
  // Reading in order needs no index.
  ASSERT_EQ(rd.m()->GetFirstRec(rd.r, rd.row), 0);
  ASSERT_EQ(rd.m()->GetNextRec(rd.r, rd.row), 0);
  EXPECT_EQ(rd.m()->RecordTime(rd.r, rd.row), T + 2);
}

// --- Detection ----------------------------------------------------------------------------------

struct Detect : ::testing::Test {
  reqlog::WorkDir wd;
  int type_of(const std::string &name, int zero = 0) {
    LogFileReaderPtr r = LogFileTest(("../logs/" + name).c_str(), zero, nullptr, nullptr);
    if (!r) return 0;
    int t = r->methods->GetFileType(r);
    r->methods->FreeReader(r);
    return t;
  }
  void put(const std::string &name, const std::string &bytes) { reqlog::write_file(wd.logs() + "/" + name, bytes); }
};

TEST_F(Detect, ByNameAndContent) {
  std::string sb = reqlog::sb_record(reqlog::sb_sample(1, static_cast<int32_t>(T))[0]);
  std::string eb = reqlog::eb_sample(1, static_cast<int32_t>(T)).header;
  std::string txt = std::to_string(T) + " http://a/ 10.0.0.1 u g 0 1\n";
  put("kxlogger_requests_bin_1.log", sb);
  put("kxlogger_requests_1.log", sb);
  put("kxlogger_requests_ext_1.log", eb);
  put("kxlogger_requests_txt_1.log", txt);
  put("kxlogger_requests_txt_2.log", sb);  // declined as text, taken by the older prefix
  put("other_1.log", sb);
  put("kxlogger_requests_bin_2.log", txt);
  put("kxlogger_requests_bin_3.log", reqlog::le32(THRESHOLD_DATE - 1) + "rest of a record");
  put("kxlogger_requests_bin_4.log", reqlog::le32(THRESHOLD_DATE) + "rest");
  put("kxlogger_requests_bin_5.log", sb.substr(0, 3));  // too short for a time
  put("kxlogger_requests_ext_2.log", reqlog::le32(THRESHOLD_DATE) + eb.substr(4));
  EXPECT_EQ(type_of("kxlogger_requests_bin_1.log"), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_EQ(type_of("kxlogger_requests_1.log"), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_EQ(type_of("kxlogger_requests_ext_1.log"), REQFILEUTILS_REQUEST_TYPE_BINARY_EXT);
  EXPECT_EQ(type_of("kxlogger_requests_txt_1.log"), REQFILEUTILS_REQUEST_TYPE_TEXT);
  EXPECT_EQ(type_of("kxlogger_requests_txt_2.log"), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_EQ(type_of("other_1.log"), 0);
  EXPECT_EQ(type_of("kxlogger_requests_bin_2.log"), 0);
  EXPECT_EQ(type_of("kxlogger_requests_bin_3.log"), 0);
  EXPECT_EQ(type_of("kxlogger_requests_bin_4.log"), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_EQ(type_of("kxlogger_requests_bin_5.log"), 0);
  // An extended name whose first value is a request time is not extended;
  // the older prefix then takes it as standard binary.
  EXPECT_EQ(type_of("kxlogger_requests_ext_2.log"), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_EQ(type_of("kxlogger_requests_missing.log"), 0);
}

TEST_F(Detect, EmptyFilesOnlyWhenAsked) {
  for (const char *n : {"kxlogger_requests_bin_e.log", "kxlogger_requests_ext_e.log", "kxlogger_requests_txt_e.log"})
    put(n, "");
  EXPECT_EQ(type_of("kxlogger_requests_bin_e.log"), 0);
  EXPECT_EQ(type_of("kxlogger_requests_bin_e.log", 1), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_EQ(type_of("kxlogger_requests_ext_e.log", 1), REQFILEUTILS_REQUEST_TYPE_BINARY_EXT);
  EXPECT_EQ(type_of("kxlogger_requests_txt_e.log", 1), REQFILEUTILS_REQUEST_TYPE_TEXT);
}

// Only regular files are logs: a pipe named like one is refused at once (a
// blocking open would wait for a writer for ever), and so is a folder, even
// when empty files are asked for.
TEST_F(Detect, OnlyRegularFiles) {
  for (const char *n : {"kxlogger_requests_bin_p.log", "kxlogger_requests_ext_p.log", "kxlogger_requests_txt_p.log",
                        "kxlogger_requests_p.log"})
    ASSERT_EQ(mkfifo((wd.logs() + "/" + n).c_str(), 0644), 0) << n;
  for (const char *n : {"kxlogger_requests_bin_d.log", "kxlogger_requests_ext_d.log", "kxlogger_requests_txt_d.log"})
    ASSERT_EQ(mkdir((wd.logs() + "/" + n).c_str(), 0755), 0) << n;
  for (int zero : {0, 1}) {
    SCOPED_TRACE(zero);
    for (const char *n : {"kxlogger_requests_bin_p.log", "kxlogger_requests_ext_p.log", "kxlogger_requests_txt_p.log",
                          "kxlogger_requests_p.log", "kxlogger_requests_bin_d.log", "kxlogger_requests_ext_d.log",
                          "kxlogger_requests_txt_d.log"})
      EXPECT_EQ(type_of(n, zero), 0) << n;
  }
}

int reject_all(const char *, void *seen) {
  ++*static_cast<int *>(seen);
  return 0;
}

TEST_F(Detect, FilterDecidesBeforeContent) {
  put("kxlogger_requests_bin_1.log", reqlog::sb_record(reqlog::sb_sample(1, static_cast<int32_t>(T))[0]));
  int seen = 0;
  EXPECT_EQ(LogFileTest("../logs/kxlogger_requests_bin_1.log", 0, reject_all, &seen), nullptr);
  EXPECT_EQ(seen, 1);  // only the testers whose prefix matched asked
  EXPECT_TRUE(CheckFileName("../logs/kxlogger_requests_bin_1.log", "kxlogger_requests_bin_"));
  EXPECT_FALSE(CheckFileName("kxlogger_requests_bin_/x.log", "kxlogger_requests_bin_"));
  EXPECT_EQ(filesize("../logs/none.log"), -1);
}

}  // namespace
