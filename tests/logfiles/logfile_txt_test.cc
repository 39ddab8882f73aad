// The text format: header lines, the default layout, both date forms, token
// types, and malformed headers.
#include "lib/logfiles/logfile_txt.h"

#include <gtest/gtest.h>
#include <string.h>

#include "tests/fixtures/reqlog_writer.h"

namespace {

constexpr int64_t T = 1700000000;

struct TxtLog : ::testing::Test {
  reqlog::WorkDir wd;
  LogFileReaderPtr r = nullptr;
  RecordPtr row = nullptr;
  // Writes the log (header bytes + lines) and opens it; the row is made.
  void open(const std::string &header, const std::vector<std::string> &lines) {
    std::vector<int64_t> times(lines.size(), T);
    reqlog::write_log(wd.logs(), "kxlogger_requests_txt_t", reqlog::txt_image(header, lines, times));
    r = LogFileTest("../logs/kxlogger_requests_txt_t.log", 0, nullptr, nullptr);
    ASSERT_TRUE(r);
    row = r->methods->AllocateRecords(r, 0);
  }
  void TearDown() override {
    if (r) {
      r->methods->FreeRecords(r, row);
      r->methods->FreeReader(r);
    }
  }
  time_t when() { return r->methods->RecordTime(r, row); }
  static std::string str(const Record &e) { return static_cast<const char *>(e.data); }
  static kx_ipaddr ip(const Record &e) { return *static_cast<kx_ipaddr *>(e.data); }
};

TEST_F(TxtLog, DefaultLayoutWithBothDateForms) {
  std::string date = reqlog::local_date(T + 5);
  open("", {std::to_string(T) + " http://a/1 10.1.2.3 alice staff 1 12,34",
            date + " http://a/2 2001:db8::7 bob guests 0 5",
            "999999999 http://a/3 ::ffff:10.9.8.7 carl g 0 1"});
  ASSERT_TRUE(row);
  EXPECT_EQ(r->methods->GetFieldsNumber(r), 7);
  EXPECT_STREQ(r->methods->GetFieldsNames(r)[1], "URI");
  EXPECT_EQ(r->methods->GetFileType(r), REQFILEUTILS_REQUEST_TYPE_TEXT);

  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  EXPECT_EQ(when(), T);
  EXPECT_EQ(str(row[1]), "http://a/1");
  EXPECT_EQ(ip(row[2]).family, AF_INET);
  EXPECT_EQ(ip(row[2]).addr.ip, 0x0A010203u);
  EXPECT_EQ(str(row[3]), "alice");
  EXPECT_EQ(str(row[4]), "staff");
  EXPECT_EQ(*static_cast<unsigned char *>(row[5].data), 1);
  EXPECT_EQ(str(row[6]), "12,34");

  ASSERT_EQ(r->methods->GetNextRec(r, row), 0);
  EXPECT_EQ(when(), T + 5);  // date and time of day, local time
  EXPECT_EQ(str(row[1]), "http://a/2");
  EXPECT_EQ(ip(row[2]).family, AF_INET6);
  EXPECT_EQ(str(row[6]), "5");

  ASSERT_EQ(r->methods->GetNextRec(r, row), 0);
  EXPECT_EQ(when(), -1);  // no valid time
  EXPECT_EQ(str(row[1]), "http://a/3");
  EXPECT_EQ(ip(row[2]).family, AF_INET);  // IPv4-mapped becomes IPv4
  EXPECT_EQ(ip(row[2]).addr.ip, 0x0A090807u);
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
}

TEST_F(TxtLog, HeaderDeclaresTheLayout) {
  std::string header = reqlog::txt_header({{7, 0x43}, {1, 0x16}}, {"WHEN", "WHERE"});
  open(header, {std::to_string(T) + " http://h/1", std::to_string(T + 1) + " http://h/2"});
  ASSERT_TRUE(row);
  EXPECT_EQ(r->methods->GetFieldsNumber(r), 2);
  EXPECT_STREQ(r->methods->GetFieldsNames(r)[0], "WHEN");
  EXPECT_STREQ(r->methods->GetFieldsNames(r)[1], "WHERE");
  EXPECT_EQ(r->methods->GetFieldsNames(r)[2], nullptr);
  EXPECT_EQ(r->methods->GetFieldsList(r)[1], 1);
  EXPECT_EQ(row[1].type, 1);
  EXPECT_EQ(row[2].type, 0);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  EXPECT_EQ(r->methods->RecordOffset(r), static_cast<off_t>(header.size()));
  EXPECT_EQ(str(row[1]), "http://h/1");
  ASSERT_EQ(r->methods->GetNextRec(r, row), 0);
  EXPECT_EQ(when(), T + 1);
}

TEST_F(TxtLog, NumbersByStorageTypeAndUnevenLines) {
  std::string header = reqlog::txt_header({{7, 0x43}, {6, 0x71}, {63, 0x03}, {65, 0x04}, {3, 0x16}},
                                          {"DATE", "D", "TYPE", "IN", "USER"});
  open(header, {std::to_string(T) + " 1 70000 12345678901 ann extra tokens",
                std::to_string(T + 1) + " 0 -5",
                std::to_string(T + 2) + " 1 2 3 bo"});
  ASSERT_TRUE(row);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  int32_t i32;
  int64_t i64;
  memcpy(&i32, row[2].data, 4);
  memcpy(&i64, row[3].data, 8);
  EXPECT_EQ(*static_cast<unsigned char *>(row[1].data), 1);
  EXPECT_EQ(i32, 70000);
  EXPECT_EQ(i64, 12345678901LL);
  EXPECT_EQ(str(row[4]), "ann");  // the tokens after the layout are skipped
  ASSERT_EQ(r->methods->GetNextRec(r, row), 0);  // a short line: the rest is empty
  EXPECT_EQ(when(), T + 1);
  memcpy(&i32, row[2].data, 4);
  EXPECT_EQ(i32, -5);
  EXPECT_EQ(str(row[4]), "");
  ASSERT_EQ(r->methods->GetNextRec(r, row), 0);  // still in step with the lines
  EXPECT_EQ(when(), T + 2);
  EXPECT_EQ(str(row[4]), "bo");
}

TEST_F(TxtLog, ShortFileHasTheDefaultLayout) {
  reqlog::write_file(wd.logs() + "/kxlogger_requests_txt_s.log", std::to_string(T) + " a b\n");
  LogFileReaderPtr s = CreateTextFileReader("../logs/kxlogger_requests_txt_s.log");
  RecordPtr srow = s->methods->AllocateRecords(s, 0);
  ASSERT_TRUE(srow);
  EXPECT_EQ(s->methods->GetFieldsNumber(s), 7);
  ASSERT_EQ(s->methods->GetFirstRec(s, srow), 0);
  EXPECT_EQ(s->methods->RecordTime(s, srow), T);
  EXPECT_STREQ(static_cast<const char *>(srow[1].data), "a");
  s->methods->FreeRecords(s, srow);
  s->methods->FreeReader(s);
}

// A header line that is not one yields no layout, not the default one.
TEST_F(TxtLog, MalformedHeadersLeaveNoLayout) {
  const std::string names = "\n1000000002 DATE URI\n";
  const std::string cases[] = {
      "1000000001 7:43 1:16\n1000000002 DATE\n",            // fewer names than codes
      "1000000001 7:43 1:16\n1000000002 DATE URI EXTRA\n",  // more names
      "1000000001 7:43 1:16\n1000000002 DATE URI",          // names line without its newline
      "1000000001 7:43 1:16\n1000000003 DATE URI\n",        // not the names line
      "1000000001 7:43 x:16" + names,                       // not hexadecimal
      "1000000001 7:43 0:16" + names,                       // id 0 would end the row
      "1000000001 7:43 1:123" + names,                      // type over one byte
      "1000000001 1:16 7:43" + names,                       // time is not first
      "1000000001 7:43  1:16" + names,                      // two blanks
      "1000000001 7:43 1:16 \n1000000002 DATE URI\n",       // blank before the newline
      "1000000001 " + std::string(1100, 'x'),               // no end of line in 1024 bytes
  };
  for (const std::string &h : cases) {
    SCOPED_TRACE(h.substr(0, 60));
    reqlog::write_file(wd.logs() + "/kxlogger_requests_txt_m.log", h + std::to_string(T) + " http://x/\n");
    LogFileReaderPtr m = LogFileTest("../logs/kxlogger_requests_txt_m.log", 0, nullptr, nullptr);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->methods->GetFieldsNumber(m), 0);
    EXPECT_EQ(m->methods->GetFieldsNames(m), nullptr);
    EXPECT_EQ(m->methods->AllocateRecords(m, 0), nullptr);
    Record dummy[8] = {};
    EXPECT_EQ(m->methods->GetFirstRec(m, dummy), -1);
    m->methods->FreeReader(m);
  }
}

TEST(TxtDate, Forms) {
  reqlog::WorkDir wd;
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {{"1700000000 rest", true}, {"1000000000 rest", false}, {"999 x", false},
               {"1700000000", false},  // no separator within the bytes given
               {"2023-11-14 22:13:20 x", true}, {"2023-13-14 22:13:20", false}, {"2023-11-14 25:13:20", false},
               {"2023-11-14", false},   {"", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    time_t t = get_text_date(c.text.data(), static_cast<int>(c.text.size()));
    EXPECT_EQ(t != -1, c.valid);
  }
  EXPECT_EQ(get_text_date("1700000000 ", 11), 1700000000);
  EXPECT_EQ(get_text_date("2023-11-14 23:13:20", 19), 1700000000);  // CET
}

// The cached hour bases give what mktime gives, across both clock changes.
TEST(TxtTimeCache, MatchesMktimeAcrossClockChanges) {
  reqlog::WorkDir wd;
  TxtTimeCache cache;
  const time_t starts[] = {1774746000 - 7200, 1792890000 - 7200};  // 2026-03-29, 2026-10-25 around 01:00 UTC
  for (time_t s : starts) {
    for (time_t t = s; t < s + 4 * 3600; t += 599) {
      struct tm tm;
      localtime_r(&t, &tm);
      struct tm copy = tm;
      copy.tm_isdst = -1;
      time_t expect = mktime(&copy);
      EXPECT_EQ(cache.convert(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec), expect)
          << t;
    }
  }
}

}  // namespace
