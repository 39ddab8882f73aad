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
  EXPECT_EQ(r->methods->GetRecByTime(r, row, T + 4), -1);  // a probe lands past the end
  ASSERT_EQ(r->methods->GetRecByTime(r, row, T + 2), 0);   // the probes stay before it
  EXPECT_EQ(r->methods->GetTimeBounds(r)->end, 0);         // unknown, and not cached
  EXPECT_EQ(reqlog::filesize_of(wd.logs() + "/" + name() + ".rep"), -1);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
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
