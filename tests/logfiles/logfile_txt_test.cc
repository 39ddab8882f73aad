// The text format: header lines, the default layout, both date forms, token
// types, and malformed headers.
#include "lib/logfiles/logfile_txt.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <string.h>
#include <time.h>

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
    r = nullptr;
    row = nullptr;
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

// Local time of a calendar date as mktime takes it (out-of-range days roll
// over, an hour the clock skips or repeats as mktime settles it).
time_t local(int y, int mo, int d, int h, int mi, int s) {
  struct tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// Date tokens of every form, regular and odd: the time each line gets, and
// the token that then lands in URI (a date with a time of day takes two
// tokens, whether or not the time of day is valid).
TEST_F(TxtLog, DateTokensRegularAndOdd) {
  struct Case {
    std::string date;
    time_t expect;
    std::string uri;  // "U" for the URI written after the date
  } cases[] = {
      {"1700000000", T, "U"},
      {"1700000000abc", T, "U"},
      {"0170000000", -1, "U"},
      {"17000000x0", -1, "U"},
      {"1000000000", -1, "U"},
      {"1000000001", 1000000001, "U"},
      {"170000000012345678", 170000000012345678, "U"},
      {"1700000000123456789", -1, "U"},
      {"2023-11-14 23:13:20", T, "U"},
      {"2023-1-4 2:3:4", local(2023, 1, 4, 2, 3, 4), "U"},
      {"2023-11-14 22:13:2", local(2023, 11, 14, 22, 13, 2), "U"},
      {"2023-11-14x 10:00:00", local(2023, 11, 14, 10, 0, 0), "U"},
      {"2023-02-31 10:00:00", local(2023, 2, 31, 10, 0, 0), "U"},
      {"2023-11-14 23:59:60", local(2023, 11, 14, 23, 59, 60), "U"},
      {"2026-03-29 02:30:00", local(2026, 3, 29, 2, 30, 0), "U"},  // skipped hour
      {"2026-10-25 02:30:00", local(2026, 10, 25, 2, 30, 0), "U"},  // repeated hour
      {"2026-10-25 03:00:00", local(2026, 10, 25, 3, 0, 0), "U"},
      {"9999-12-31 23:59:59", local(9999, 12, 31, 23, 59, 59), "U"},
      {"2023-11-14 22:13:200", -1, "U"},  // the time of day is still taken
      {"2023-11-14 24:00:00", -1, "U"},
      {"2023-11-14 23:60:00", -1, "U"},
      {"2023-11-14 2a:00:00", -1, "U"},
      {"2023-11-14", -1, "10.1.2.3"},        // the URI is taken as its time of day
      {"2023-11-14T22:13:20", -1, "10.1.2.3"},
      {"2023-11-145 10:00:00", -1, "10:00:00"},  // not a date: one token
      {"2023-13-14 10:00:00", -1, "10:00:00"},
      {"2023-00-14 10:00:00", -1, "10:00:00"},
      {"2023-11-32 10:00:00", -1, "10:00:00"},
      {"02023-11-14 10:00:00", -1, "10:00:00"},
      {std::string("2023-11-14\0" "23:13:20", 19), -1, "23:13:20"},  // NUL ends a token, not a date
      {"", -1, "U"},
  };
  std::vector<std::string> lines;
  for (const Case &c : cases) lines.push_back(c.date + " U 10.1.2.3 u g 1 c");
  open("", lines);
  ASSERT_TRUE(row);
  int rc = r->methods->GetFirstRec(r, row);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.date);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(when(), c.expect);
    EXPECT_EQ(str(row[1]), c.uri);
    rc = r->methods->GetNextRec(r, row);
  }
  EXPECT_EQ(rc, -1);
}

// Dates after a line of the same hour, whose day and hour are then known by
// their text: regular and odd times of day read as they do after any other
// line, and hours the clock jumps in are never taken as known.
TEST_F(TxtLog, DatesInTheHourOfTheLineBefore) {
  const std::string rest = " U 10.1.2.3 u g 1 c";
  struct Case {
    std::string before, date;
    time_t expect;
    std::string uri;  // "U" for the URI written after the date
    std::string after;
  } cases[] = {
      {"2023-11-14 23:00:00", "2023-11-14 23:13:20", T, "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:13:20", T, "", ""},  // a short line
      {"2023-11-14 23:00:00", std::string("2023-11-14 23:13:20\0U", 21), T, "U", " 10.1.2.3 u g 1 c"},
      {"2023-11-14 23:00:00", "2023-11-14 23:59:60", local(2023, 11, 14, 23, 59, 60), "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:13:2", local(2023, 11, 14, 23, 13, 2), "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:1:20", local(2023, 11, 14, 23, 1, 20), "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:13:200", -1, "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:60:00", -1, "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:5a:00", -1, "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23:13-20", -1, "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14 23", -1, "U", rest},
      {"2023-11-14 23:00:00", "2023-11-14x23:13:20", -1, "10.1.2.3", rest},
      {"2023-11-14 23:00:00", std::string("2023-11-14\0" "23:13:20", 19), -1, "23:13:20", rest},
      {"2023-11-14 23:00:00", "2023-11-14 22:13:20", local(2023, 11, 14, 22, 13, 20), "U", rest},
      {"2023-11-14 23:00:00", "2023-11-15 23:13:20", local(2023, 11, 15, 23, 13, 20), "U", rest},
      {"2023-11-14 23:13:2", "2023-11-14 23:13:20", T, "U", rest},
      {"2026-03-29 02:10:00", "2026-03-29 02:30:00", local(2026, 3, 29, 2, 30, 0), "U", rest},  // skipped hour
      {"2026-10-25 02:10:00", "2026-10-25 02:30:00", local(2026, 10, 25, 2, 30, 0), "U", rest},  // repeated hour
  };
  std::vector<std::string> lines;
  for (const Case &c : cases) {
    lines.push_back(c.before + rest);
    lines.push_back(c.date + c.after);
  }
  open("", lines);
  ASSERT_TRUE(row);
  int rc = r->methods->GetFirstRec(r, row);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.date);
    int y, mo, d, h, mi, s;
    ASSERT_EQ(sscanf(c.before.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(when(), local(y, mo, d, h, mi, s));
    ASSERT_EQ(r->methods->GetNextRec(r, row), 0);
    EXPECT_EQ(when(), c.expect);
    EXPECT_EQ(str(row[1]), c.uri);
    rc = r->methods->GetNextRec(r, row);
  }
  EXPECT_EQ(rc, -1);
}

// A date in a known hour cut by the end of the first read at every place
// (the first line fills the read but for the cut bytes): the line is read
// again whole after the refill.
TEST_F(TxtLog, KnownHourDateCutByTheReadEnd) {
  const std::string rest = " U 10.1.2.3 u g 1 c";
  for (int cut = 0; cut <= 22; ++cut) {
    SCOPED_TRACE(cut);
    std::string first = "2023-11-14 23:00:00 ";
    first += std::string(EXTENT_SIZE - cut - first.size() - rest.size() - 1, 'x') + rest;
    TearDown();
    open("", {first, "2023-11-14 23:13:20" + rest});
    ASSERT_TRUE(row);
    ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
    EXPECT_EQ(r->methods->RecordOffset(r), 0);
    ASSERT_EQ(r->methods->GetNextRec(r, row), 0);
    EXPECT_EQ(r->methods->RecordOffset(r), EXTENT_SIZE - cut);
    EXPECT_EQ(when(), T);
    EXPECT_EQ(str(row[1]), "U");
    EXPECT_EQ(str(row[6]), "c");
    EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
  }
}

// Address tokens: dotted IPv4 of every length, what is not one (the
// default address), IPv6, and what only the general parser takes.
TEST_F(TxtLog, AddressTokensRegularAndOdd) {
  kx_ipaddr none;
  kxnet_defaultip(&none);
  struct Case {
    std::string text;
    int family;
    uint32_t v4;
  } cases[] = {
      {"10.1.2.3", AF_INET, 0x0A010203u},
      {"1.2.3.4", AF_INET, 0x01020304u},
      {"0.0.0.0", AF_INET, 0},
      {"255.255.255.255", AF_INET, 0xFFFFFFFFu},
      {"123.213.231.199", AF_INET, 0x7BD5E7C7u},
      {"9.87.250.6", AF_INET, 0x0957FA06u},
      {"1.2.3.4\t", AF_INET, 0x01020304u},  // trailing white space
      {"::ffff:10.9.8.7", AF_INET, 0x0A090807u},
      {"2001:db8::7", AF_INET6, 0},
      {"::1", AF_INET6, 0},
      {"256.1.1.1", AF_INET, none.addr.ip},
      {"1.2.3.256", AF_INET, none.addr.ip},
      {"01.2.3.4", AF_INET, none.addr.ip},
      {"1.2.3.04", AF_INET, none.addr.ip},
      {"1.2.3", AF_INET, none.addr.ip},
      {"1.2.3.4.5", AF_INET, none.addr.ip},
      {"1.2.3.4x", AF_INET, none.addr.ip},
      {"1234.1.1.1", AF_INET, none.addr.ip},
      {"1..2.3", AF_INET, none.addr.ip},
      {".1.2.3", AF_INET, none.addr.ip},
      {"1.2.3.", AF_INET, none.addr.ip},
      {"123.123.123.1234", AF_INET, none.addr.ip},
      {"1.2.3.4/24", AF_INET, none.addr.ip},
      {"", AF_INET, none.addr.ip},
  };
  std::vector<std::string> lines;
  for (const Case &c : cases) lines.push_back(std::to_string(T) + " U " + c.text + " u g 1 c");
  open("", lines);
  ASSERT_TRUE(row);
  int rc = r->methods->GetFirstRec(r, row);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ip(row[2]).family, c.family);
    if (c.family == AF_INET) {
      EXPECT_EQ(ip(row[2]).addr.ip, c.v4);
    }
    EXPECT_EQ(str(row[3]), "u");
    rc = r->methods->GetNextRec(r, row);
  }
  EXPECT_EQ(rc, -1);
}

// Number tokens, in and out of range of each storage: digits past what a
// 64-bit value holds are dropped, each storage keeps its low bytes.
TEST_F(TxtLog, NumberTokensInAndOutOfRange) {
  struct Case {
    std::string text;
    int64_t value;
  } cases[] = {
      {"127", 127},
      {"128", 128},
      {"-129", -129},
      {"32768", 32768},
      {"65536", 65536},
      {"2147483648", 2147483648LL},
      {"-2147483649", -2147483649LL},
      {"576460752303423487", 576460752303423487LL},
      {"5764607523034234879", 5764607523034234879LL},
      {"9223372036854775807", 922337203685477580LL},
      {"-9223372036854775808", -922337203685477580LL},
      {"18446744073709551616", 1844674407370955161LL},
      {"99999999999999999999999", 999999999999999999LL},
      {"12abc", 12},
      {"abc", 0},
      {"-", 0},
      {"--5", 0},
      {"+5", 0},
      {"-0", 0},
      {"", 0},
  };
  std::string header = reqlog::txt_header({{7, 0x43}, {63, 0x71}, {64, 0x02}, {65, 0x03}, {66, 0x04}, {67, 0x08}},
                                          {"DATE", "A", "B", "C", "D", "E"});
  std::vector<std::string> lines;
  for (const Case &c : cases) {
    std::string line = std::to_string(T);
    for (int k = 0; k < 5; ++k) line += " " + c.text;
    lines.push_back(line);
  }
  open(header, lines);
  ASSERT_TRUE(row);
  int rc = r->methods->GetFirstRec(r, row);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(rc, 0);
    int64_t v[5];
    for (int k = 0; k < 5; ++k) memcpy(&v[k], row[1 + k].data, 8);
    EXPECT_EQ(v[0], static_cast<uint8_t>(static_cast<int8_t>(c.value)));
    EXPECT_EQ(v[1], static_cast<uint16_t>(static_cast<int16_t>(c.value)));
    EXPECT_EQ(v[2], static_cast<uint32_t>(static_cast<int32_t>(c.value)));
    EXPECT_EQ(v[3], c.value);
    EXPECT_EQ(v[4], 0);  // a storage that holds no number
    rc = r->methods->GetNextRec(r, row);
  }
  EXPECT_EQ(rc, -1);
}

// Tokens ending at every offset of a line (separators fall on each side of
// every 64-byte step of the scan), lines crossing the read buffer's ends at
// many places, lines longer than the buffer, and a last line cut short.
TEST_F(TxtLog, EveryTokenEndAndBufferEdge) {
  const int n = 3000;
  auto uri = [](int i) {
    return i % 500 == 7 ? std::string(40000 + i, 'L') : "http://u/" + std::string(static_cast<size_t>(i % 150), 'x');
  };
  auto addr = [](int i) {
    return std::to_string(i % 256) + "." + std::to_string(i % 7) + "." + std::to_string(i % 100 * 2) + "." +
           std::to_string(i % 13 * 19);
  };
  std::vector<std::string> lines;
  for (int i = 0; i < n; ++i) {
    std::string date = i % 2 ? std::to_string(T + i) : reqlog::local_date(T + i);
    lines.push_back(date + " " + uri(i) + " " + addr(i) + " u" + std::to_string(i % 71) + " " +
                    std::string(static_cast<size_t>(i % 67), 'g') + " " + std::to_string(i % 2) + " c" +
                    std::to_string(i));
  }
  std::vector<int64_t> times(lines.size(), T);
  auto img = reqlog::txt_image("", lines, times);
  img.records.push_back(std::to_string(T) + " http://cut/ 1.2.3.4");  // no newline: not a record yet
  img.times.push_back(T);
  reqlog::write_log(wd.logs(), "kxlogger_requests_txt_t", img);
  r = LogFileTest("../logs/kxlogger_requests_txt_t.log", 0, nullptr, nullptr);
  ASSERT_TRUE(r);
  row = r->methods->AllocateRecords(r, 0);
  ASSERT_TRUE(row);
  int rc = r->methods->GetFirstRec(r, row);
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(when(), T + i);
    ASSERT_EQ(str(row[1]), uri(i));
    kx_ipaddr a;
    ASSERT_EQ(kxnet_aton(addr(i).c_str(), &a), 0);
    ASSERT_EQ(ip(row[2]).addr.ip, ntohl(a.addr.ip));
    ASSERT_EQ(str(row[3]), "u" + std::to_string(i % 71));
    ASSERT_EQ(str(row[4]), std::string(static_cast<size_t>(i % 67), 'g'));
    ASSERT_EQ(*static_cast<unsigned char *>(row[5].data), i % 2);
    ASSERT_EQ(str(row[6]), "c" + std::to_string(i));
    rc = r->methods->GetNextRec(r, row);
  }
  EXPECT_EQ(rc, -1);
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
