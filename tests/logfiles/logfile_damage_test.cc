// Damaged logs of every format: cut at any point, index entries pointing
// past the end or partly written. Each read fails cleanly or succeeds.
#include "lib/logfiles/logfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/fixtures/reqlog_writer.h"

using reqlog::Format;

namespace {

constexpr int64_t T = 1700000000;

class Damaged : public ::testing::TestWithParam<Format> {
 protected:
  reqlog::WorkDir wd;
  std::string name() const { return std::string(reqlog::prefix(GetParam())) + "d"; }
  std::string log() const { return wd.logs() + "/" + name() + ".log"; }
  std::string ndx() const { return wd.logs() + "/" + name() + ".ndx"; }
  std::string rel() const { return "../logs/" + name() + ".log"; }
};

INSTANTIATE_TEST_SUITE_P(Formats, Damaged, ::testing::Values(Format::SB, Format::EB, Format::TXT),
                         [](const auto &info) {
                           return std::string(info.param == Format::SB ? "SB" : info.param == Format::EB ? "EB" : "TXT");
                         });

// Records read in order from the reader of path (-1 when none is made).
int read_all(const std::string &path) {
  LogFileReaderPtr r = LogFileTest(path.c_str(), 0, nullptr, nullptr);
  if (!r) return -1;
  RecordPtr row = r->methods->AllocateRecords(r, 4);
  int n = 0;
  if (row) {
    for (int rc = r->methods->GetFirstRec(r, row); rc == 0; rc = r->methods->GetNextRec(r, row)) ++n;
    EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
    // The positioned reads and counts stay within the file too.
    for (off_t k : {off_t{0}, off_t{-1}, off_t{5}}) r->methods->GetRecByNumber(r, row, k);
    r->methods->GetRecByTime(r, row, T + 3);
    off_t c;
    r->methods->GetReportRecordsNumber(r, T + 1, T + 4, &c);
    r->methods->GetTimeBounds(r);
  }
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
  return n;
}

TEST_P(Damaged, CutAtEveryPoint) {
  std::vector<int64_t> times;
  for (int i = 0; i < 6; ++i) times.push_back(T + i);
  reqlog::LogImage img = reqlog::image_with_times(GetParam(), times);
  std::string full = reqlog::read_file(reqlog::write_log(wd.logs(), name(), img));
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    SCOPED_TRACE(cut);
    reqlog::write_file(log(), full.substr(0, cut));
    unlink((wd.logs() + "/" + name() + ".rep").c_str());
    int whole = 0;
    for (size_t i = 0; i < img.records.size(); ++i)
      whole += static_cast<size_t>(reqlog::record_offset(img, i + 1)) <= cut;
    int n = read_all(rel());
    // Once its first record is whole the log is recognised; before, it may
    // not be.
    if (whole > 0) {
      EXPECT_GE(n, 0);
    }
    if (n >= 0) {
      EXPECT_EQ(n, whole);  // never a record that was cut
    }
  }
}

TEST_P(Damaged, IndexPastTheEnd) {
  std::vector<int64_t> times = {T + 1, T + 2, T + 3};
  reqlog::write_times(wd.logs(), GetParam(), "d", times);
  // Two entries far past the end and a partly written one.
  reqlog::write_file(ndx(), reqlog::read_file(ndx()) + reqlog::le32(0x7FFFFFF0) + reqlog::le32(0xFFFFFFFF) + "\x01\x02");
  LogFileReaderPtr r = LogFileTest(rel().c_str(), 0, nullptr, nullptr);
  ASSERT_TRUE(r);
  RecordPtr row = r->methods->AllocateRecords(r, 0);
  off_t n;
  ASSERT_EQ(r->methods->GetRecordsNumber(r, &n), 0);
  EXPECT_EQ(n, 5);  // the partial entry does not count
  EXPECT_EQ(r->methods->GetRecByNumber(r, row, -1), -1);
  EXPECT_EQ(r->methods->GetRecByNumber(r, row, 3), -1);
  ASSERT_EQ(r->methods->GetRecByNumber(r, row, 2), 0);
  EXPECT_EQ(r->methods->RecordTime(r, row), T + 3);
  EXPECT_EQ(r->methods->GetRecByTime(r, row, T + 4), -1);  // past the last record that can be read
  ASSERT_EQ(r->methods->GetRecByTime(r, row, T + 2), 0);
  EXPECT_EQ(r->methods->RecordTime(r, row), T + 2);
  ASSERT_EQ(r->methods->GetRecByTime(r, row, T + 3), 0);
  EXPECT_EQ(r->methods->RecordTime(r, row), T + 3);
  // The bounds and counts are those of the records that can be read; a
  // damaged log gets no date cache.
  EXPECT_EQ(r->methods->GetTimeBounds(r)->start, T + 1);
  EXPECT_EQ(r->methods->GetTimeBounds(r)->end, T + 3);
  EXPECT_EQ(reqlog::filesize_of(wd.logs() + "/" + name() + ".rep"), -1);
  off_t in = -1;
  ASSERT_EQ(r->methods->GetReportRecordsNumber(r, 0, T + 100, &in), 0);
  EXPECT_EQ(in, 3);
  ASSERT_EQ(r->methods->GetReportRecordsNumber(r, T + 2, T + 100, &in), 0);
  EXPECT_EQ(in, 2);
  off_t indexed = -1, readable = -1;
  ASSERT_EQ(LogFileReadable(r, &indexed, &readable), 0);
  EXPECT_EQ(indexed, 5);
  EXPECT_EQ(readable, 3);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

// A log whose data was cut short while its index stayed whole keeps what
// it can show: its bounds, counts and searches are those of its whole
// records, from the first on, and it says how many of its indexed records
// can be read.
TEST_P(Damaged, CutDataKeepsTheBoundsAndCountsOfItsWholeRecords) {
  std::vector<int64_t> times;
  for (int i = 0; i < 6; ++i) times.push_back(T + 10 * i);
  reqlog::LogImage img = reqlog::image_with_times(GetParam(), times);
  std::string full = reqlog::read_file(reqlog::write_log(wd.logs(), name(), img));
  const std::string rep = wd.logs() + "/" + name() + ".rep";
  for (size_t cut = static_cast<size_t>(reqlog::record_offset(img, 1)); cut <= full.size(); ++cut) {
    SCOPED_TRACE(cut);
    reqlog::write_file(log(), full.substr(0, cut));
    unlink(rep.c_str());
    off_t whole = 0;
    for (size_t i = 0; i < img.records.size(); ++i)
      whole += static_cast<size_t>(reqlog::record_offset(img, i + 1)) <= cut;
    const int64_t last = times[static_cast<size_t>(whole) - 1];
    LogFileReaderPtr r = LogFileTest(rel().c_str(), 0, nullptr, nullptr);
    ASSERT_TRUE(r);
    const LogFileReaderMethods *m = r->methods;
    EXPECT_EQ(m->GetTimeBounds(r)->start, T);
    EXPECT_EQ(m->GetTimeBounds(r)->end, last);
    // Only a whole log's bounds are cached.
    EXPECT_EQ(reqlog::filesize_of(rep) > 0, whole == 6);
    off_t n = -1;
    ASSERT_EQ(m->GetReportRecordsNumber(r, 0, T + 1000, &n), 0);
    EXPECT_EQ(n, whole);
    ASSERT_EQ(m->GetReportRecordsNumber(r, T + 5, T + 1000, &n), 0);
    EXPECT_EQ(n, whole - 1);
    ASSERT_EQ(m->GetReportRecordsNumber(r, T + 5, last - 1, &n), 0);
    EXPECT_EQ(n, whole - 2 > 0 ? whole - 2 : 0);
    off_t indexed = -1, readable = -1;
    ASSERT_EQ(LogFileReadable(r, &indexed, &readable), 0);
    EXPECT_EQ(indexed, 6);
    EXPECT_EQ(readable, whole);
    RecordPtr row = m->AllocateRecords(r, 0);
    ASSERT_TRUE(row);
    ASSERT_EQ(m->GetRecByTime(r, row, last), 0);
    EXPECT_EQ(m->RecordTime(r, row), last);
    EXPECT_EQ(m->GetRecByTime(r, row, last + 1), -1);
    m->FreeRecords(r, row);
    m->FreeReader(r);
  }
}

TEST_P(Damaged, GarbageBytes) {
  // Logs whose records are noise after a valid start.
  reqlog::LogImage img = reqlog::image_with_times(GetParam(), {T + 1});
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 70000; ++i) {
    x = x * 1103515245 + 12345;
    noise += static_cast<char>(x >> 24);
  }
  img.records.push_back(noise);
  img.times.push_back(T + 2);
  reqlog::write_log(wd.logs(), name(), img);
  EXPECT_GE(read_all(rel()), 1);
}

}  // namespace
