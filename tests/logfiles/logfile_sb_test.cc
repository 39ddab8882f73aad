// The standard binary format: field decoding, the two category forms, and
// the read buffer's refill and growth.
#include "lib/logfiles/logfile_sb.h"

#include <gtest/gtest.h>
#include <string.h>

#include "tests/fixtures/reqlog_writer.h"

namespace {

constexpr int32_t T = 1700000000;

struct SbLog : ::testing::Test {
  reqlog::WorkDir wd;
  LogFileReaderPtr r = nullptr;
  RecordPtr row = nullptr;
  void open(const std::vector<reqlog::SbRecord> &recs) {
    reqlog::write_log(wd.logs(), "kxlogger_requests_bin_t", reqlog::sb_image(recs));
    r = LogFileTest("../logs/kxlogger_requests_bin_t.log", 0, nullptr, nullptr);
    ASSERT_TRUE(r);
    row = r->methods->AllocateRecords(r, 2);
    ASSERT_TRUE(row);
  }
  void TearDown() override {
    if (r) {
      r->methods->FreeRecords(r, row);
      r->methods->FreeReader(r);
    }
  }
  static std::string str(const Record &e) { return static_cast<const char *>(e.data); }
};

TEST_F(SbLog, DecodesEveryField) {
  reqlog::SbRecord a;
  a.time = T;
  a.ip = 0x0A010203;  // 10.1.2.3
  a.user = "alice";
  a.group = "staff";
  a.cats = "12,34";
  a.cats_text = true;
  a.denied = 1;
  a.uri = "http://example.com/x";
  reqlog::SbRecord b = a;
  b.cats = std::string{'\x0C', '\x22'};
  b.cats_text = false;
  b.denied = 0;
  b.user = "";
  open({a, b});
  EXPECT_EQ(r->methods->GetFieldsNumber(r), 7);
  EXPECT_EQ(r->methods->GetFileType(r), REQFILEUTILS_REQUEST_TYPE_BINARY);
  EXPECT_STREQ(r->methods->GetFieldsNames(r)[5], "DENIEDFLAG");
  EXPECT_EQ(r->methods->GetFieldsPrintTypes(r)[4], 0x16);
  // The row: 7 fields, 2 extra entries and the terminator, all id 0 after.
  const unsigned char ids[] = {7, 2, 3, 4, 5, 6, 1, 0, 0, 0};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(row[i].type, ids[i]) << i;

  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  EXPECT_EQ(r->methods->RecordTime(r, row), T);
  auto *ip = static_cast<kx_ipaddr *>(row[1].data);
  EXPECT_EQ(ip->family, AF_INET);
  EXPECT_EQ(ip->addr.ip, 0x0A010203u);
  EXPECT_EQ(str(row[2]), "alice");
  EXPECT_EQ(str(row[3]), "staff");
  EXPECT_EQ(row[4].datatype, 0x16);
  EXPECT_EQ(str(row[4]), "12,34");
  EXPECT_EQ(*static_cast<unsigned char *>(row[5].data), 1);
  EXPECT_EQ(str(row[6]), "http://example.com/x");

  ASSERT_EQ(r->methods->GetNextRec(r, row), 0);
  EXPECT_EQ(row[4].datatype, 0x36);
  EXPECT_EQ(str(row[4]), "\x0C\x22");
  EXPECT_EQ(str(row[2]), "");
  EXPECT_EQ(*static_cast<unsigned char *>(row[5].data), 0);
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
}

// Records of the given URI lengths read back in order.
void expect_round_trip(SbLog &t, const std::vector<size_t> &uri_lengths) {
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(static_cast<int>(uri_lengths.size()), T);
  for (size_t i = 0; i < recs.size(); ++i) recs[i].uri = std::string(uri_lengths[i], static_cast<char>('a' + i % 26));
  t.open(recs);
  reqlog::LogImage img = reqlog::sb_image(recs);
  size_t n = 0;
  for (int rc = t.r->methods->GetFirstRec(t.r, t.row); rc == 0; rc = t.r->methods->GetNextRec(t.r, t.row), ++n) {
    ASSERT_LT(n, recs.size());
    EXPECT_EQ(strlen(static_cast<const char *>(t.row[6].data)), uri_lengths[n]);
    EXPECT_EQ(t.r->methods->RecordOffset(t.r), reqlog::record_offset(img, n));
  }
  EXPECT_EQ(n, recs.size());
}

TEST_F(SbLog, RefillsAcrossTheExtentBoundary) {
  expect_round_trip(*this, std::vector<size_t>(200, 700));  // about 4 extents
}

TEST_F(SbLog, RecordEndingAtTheExtentEnd) {
  // Fixed part of a sample record: 8 + "userN\0" 6 + group 6 or 7 + cats + 1 + NUL.
  reqlog::SbRecord probe = reqlog::sb_sample(1, T)[0];
  probe.uri = "";
  size_t fixed = reqlog::sb_record(probe).size();
  expect_round_trip(*this, {EXTENT_SIZE - fixed, 10, 20});
}

TEST_F(SbLog, TextEndingOnEachOfTheLastBytesOfTheExtent) {
  // The first record's URI ends 0 to 20 bytes before the extent's end, so the
  // next record's texts straddle it at every offset of a wide scan.
  reqlog::SbRecord probe = reqlog::sb_sample(1, T)[0];
  probe.uri = "";
  size_t fixed = reqlog::sb_record(probe).size();
  for (size_t k = 0; k <= 20; ++k) {
    SCOPED_TRACE(k);
    TearDown();
    r = nullptr;
    expect_round_trip(*this, {EXTENT_SIZE - fixed - k, 3, 17, 40});
  }
}

TEST_F(SbLog, EveryFieldOfRecordsWhoseTextsEndAroundSixtyFourBytes) {
  // Text lengths that put the last NUL just before, on and after the 64th
  // byte past the fixed part, empty texts, both category forms and both
  // flag values (a 0 flag is a NUL between two texts).
  std::vector<reqlog::SbRecord> recs;
  for (int i = 0; i < 120; ++i) {
    reqlog::SbRecord a;
    a.time = T + i;
    a.ip = 0x0A000000u + static_cast<uint32_t>(i);
    a.user = std::string(static_cast<size_t>(i % 3 == 0 ? 0 : i % 7), 'u');
    a.group = std::string(static_cast<size_t>(i % 5), 'g');
    a.cats_text = i % 2 == 0;
    a.cats = a.cats_text ? std::string(static_cast<size_t>(i % 4), '7') : std::string(static_cast<size_t>(i % 3), '\x05');
    a.denied = static_cast<uint8_t>(i % 2 ? 0 : 1 + i % 3);
    a.uri = std::string(static_cast<size_t>(40 + i % 40), static_cast<char>('a' + i % 26));
    recs.push_back(a);
  }
  open(recs);
  size_t n = 0;
  for (int rc = r->methods->GetFirstRec(r, row); rc == 0; rc = r->methods->GetNextRec(r, row), ++n) {
    ASSERT_LT(n, recs.size());
    const reqlog::SbRecord &a = recs[n];
    SCOPED_TRACE(n);
    EXPECT_EQ(r->methods->RecordTime(r, row), a.time);
    EXPECT_EQ(static_cast<kx_ipaddr *>(row[1].data)->addr.ip, a.ip);
    EXPECT_EQ(str(row[2]), a.user);
    EXPECT_EQ(str(row[3]), a.group);
    EXPECT_EQ(row[4].datatype, a.cats_text ? 0x16 : 0x36);
    EXPECT_EQ(str(row[4]), a.cats);
    EXPECT_EQ(*static_cast<unsigned char *>(row[5].data), a.denied);
    EXPECT_EQ(str(row[6]), a.uri);
  }
  EXPECT_EQ(n, recs.size());
}

TEST_F(SbLog, GrowsForLargeRecordsUpToTheLimit) {
  expect_round_trip(*this, {300000, 10, INPUT_RECORD_MAXSIZE - 100, 5});
}

TEST_F(SbLog, RecordOverTheLimitFails) {
  std::vector<reqlog::SbRecord> recs = reqlog::sb_sample(3, T);
  recs[1].uri = std::string(INPUT_RECORD_MAXSIZE, 'x');
  open(recs);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
  // A positioned read starts afresh.
  ASSERT_EQ(r->methods->GetRecByNumber(r, row, 2), 0);
  EXPECT_EQ(r->methods->RecordTime(r, row), T + 2);
}

}  // namespace
