// reportpeek run as a program on tables written by the fixture writer.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/fixtures/report_table_writer.h"

using namespace fixtures;

namespace {

struct PeekRun {
  std::string out;
  int status;
};

// Runs reportpeek with args (TZ=UTC, standard error dropped).
PeekRun peek(const std::vector<std::string> &args) {
  std::string cmd = "TZ=UTC " KX_BIN_DIR "/reportpeek";
  for (const std::string &a : args) {
    cmd += " '";
    for (char c : a) cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
    cmd += "'";
  }
  cmd += " 2>/dev/null";
  PeekRun r{"", -1};
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

void expect_run(const std::vector<std::string> &args, const std::string &out, int status = 0) {
  PeekRun r = peek(args);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.status, status);
}

class Reportpeek : public testing::Test {
 protected:
  TableTempDir dir;
};

}  // namespace

TEST_F(Reportpeek, ExampleInEveryMode) {
  ASSERT_TRUE(write_example_table("ex.tbl"));
  expect_run({"ex.tbl"},
             "+TOTAL 3\n"
             "+FIELDS USER,SUBREPORTFILENAME,REQUESTCOUNT,REQUESTCOUNTPERCENT,REQUESTDENIED,INPUTBYTES,DATE\n"
             "+SUM 3=0,18=0,9=200,33=100,11=16,65=1638400,7=0\n"
             "+REC\n3 alice\n18 r/0000001.tbl\n9 120\n33 60.00\n11 4\n65 1048576\n7 1700000000\n+END\n"
             "+REC\n3 bob\n18 r/0000002.tbl\n9 60\n33 30.00\n11 12\n65 524288\n7 1700003600\n+END\n"
             "+REC\n3 carol \"cc\"\n18 r/0000003.tbl\n9 20\n33 10.00\n11 0\n65 65536\n7 1700007200\n+END\n");
  expect_run({"-j", "-c", "ex.tbl"},
             "\"alice\",\"120\",\"60.00%\",\"4\",\"1048576\",\"2023-11-14 22:13:20\"\n"
             "\"bob\",\"60\",\"30.00%\",\"12\",\"524288\",\"2023-11-14 23:13:20\"\n"
             "\"carol \"\"cc\"\"\",\"20\",\"10.00%\",\"0\",\"65536\",\"2023-11-15 00:13:20\"\n");
  expect_run({"-c", "-j", "-r", "2", "ex.tbl"},
             "{ \"total\" : \"3\",\n"
             "  \"fields\" : [ \"3\", \"18\", \"9\", \"33\", \"11\", \"65\", \"7\" ],\n"
             "  \"names\" : [ \"USER\", \"SUBREPORTFILENAME\", \"REQUESTCOUNT\", \"REQUESTCOUNTPERCENT\", "
             "\"REQUESTDENIED\", \"INPUTBYTES\", \"DATE\" ],\n"
             "  \"sum\" : [  \"0\", \"0\", \"200\", \"100\", \"16\", \"1638400\", \"0\" ],\n"
             "  \"records\" : [\n"
             "    {\"3\" : \"alice\", \"18\" : \"r/0000001.tbl\", \"9\" : \"120\", \"33\" : \"60.00\", \"11\" : \"4\", "
             "\"65\" : \"1048576\", \"7\" : \"1700000000\"},\n"
             "    {\"3\" : \"bob\", \"18\" : \"r/0000002.tbl\", \"9\" : \"60\", \"33\" : \"30.00\", \"11\" : \"12\", "
             "\"65\" : \"524288\", \"7\" : \"1700003600\"}\n"
             "  ]\n}\n");
}

TEST_F(Reportpeek, TruncatedSummaryTotalsAndItemsRow) {
  ASSERT_TRUE(write_truncated_summary("sum.tbl"));
  PeekRun r = peek({"sum.tbl"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find("+REC")),
            "+TOTAL 50\n+FIELDS USER,REQUESTCOUNT,REQUESTCOUNTPERCENT\n+SUM 3=0,9=80,33=100\n");
  size_t recs = 0;
  for (size_t at = 0; (at = r.out.find("+REC\n", at)) != std::string::npos; at++) recs++;
  EXPECT_EQ(recs, 11u);
  EXPECT_NE(r.out.find("+REC\n3 user0\n9 10\n33 12.50\n+END\n"), std::string::npos);
  EXPECT_NE(r.out.find("+REC\n3 __\n9 25\n33 31.25\n+END\n"), std::string::npos);
  expect_run({"-c", "-r", "1", "sum.tbl"}, "\"user0\",\"10\",\"12.50%\"\n");
}

TEST_F(Reportpeek, ValueTypesCategoriesAndEscapes) {
  ASSERT_TRUE(write_table("v.tbl", {{8, 0x83}, {5, 0x36}, {6, 0x71}, {55, 0x61}, {7, 0x43}, {2, 0x57}, {3, 0x16}, {36, 0x03}},
                          {
                              {tv_num(1), tv_text("\x01\x02\x03"), tv_num(2), tv_num('G'), tv_num(86400),
                               tv_ip("10.1.2.3"), tv_text("a\tb\x01\xc3\xa9\"\\"), tv_num(3)},
                              {tv_num(255), tv_text("\xff" "abc"), tv_num(0), tv_num('"'), tv_num(0),
                               tv_ip("2001:db8::5"), tv_none(), tv_num(0)},
                          }));
  expect_run({"-m", "zero,one,,three", "v.tbl"},
             "+TOTAL 2\n+FIELDS CAT,CATS,DENIEDFLAG,ADDITIONAL,DATE,IP,USER,ADDITIONAL\n"
             "+SUM 8=0,5=0,6=0,55=0,7=0,2=0,3=0,36=3\n"
             "+REC\n8 one\n5 one,2,three\n6 on\n55 G\n7 86400\n2 10.1.2.3\n3 a\tb\x01\xc3\xa9\"\\\n36 3\n+END\n"
             "+REC\n8 255\n5 \xff" "abc\n6 off\n55 \"\n7 0\n2 2001:db8::5\n3 \n36 0\n+END\n");
  expect_run({"-c", "-m", "zero,one,,three", "v.tbl"},
             "\"one\",\"one,2,three\",\"Denied\",\"G\",\"1970-01-02 00:00:00\",\"10.1.2.3\","
             "\"a\tb\x01\xc3\xa9\"\"\\\",\"3\"\n"
             "\"255\",\"\xff" "abc\",\"Allowed\",\"\"\"\",\"1970-01-01 00:00:00\",\"2001:db8::5\",\"\",\"0\"\n");
  PeekRun j = peek({"-j", "v.tbl"});
  EXPECT_NE(j.out.find("    {\"8\" : \"1\", \"5\" : \"1,2,3\"\n, \"6\" : \"on\", \"55\" : \"G\", \"7\" : \"86400\", "
                       "\"2\" : \"10.1.2.3\", \"3\" : \"a\\tb\\u0001\xc3\xa9\\\"\\\\\", \"36\" : \"3\"},\n"),
            std::string::npos)
      << j.out;
  EXPECT_NE(j.out.find("\"5\" : \"\xff" "abc\", \"6\" : \"off\", \"55\" : \"\\\"\""), std::string::npos) << j.out;
}

// Times and category numbers are shown as 32 bits whatever the field's width.
TEST_F(Reportpeek, WideTimesAndCategories) {
  ASSERT_TRUE(write_table("w.tbl", {{8, 0x85}, {7, 0x45}, {62, 0x84}, {36, 0x44}},
                          {{tv_num(2), tv_num(86400), tv_num(1), tv_num(0x100000005ull)}}));
  expect_run({"-m", "zero,one,two", "w.tbl"},
             "+TOTAL 1\n+FIELDS CAT,DATE,CAT,ADDITIONAL\n+SUM 8=0,7=0,62=0,36=0\n"
             "+REC\n8 two\n7 86400\n62 one\n36 5\n+END\n");
  expect_run({"-c", "w.tbl"}, "\"2\",\"1970-01-02 00:00:00\",\"1\",\"1970-01-01 00:00:05\"\n");
}

// A 16-byte flag or character is read by its low bytes, as logpeek reads it.
TEST_F(Reportpeek, WideFlagsAndCharacters) {
  ASSERT_TRUE(write_table("f.tbl", {{6, 0x75}, {55, 0x65}}, {{tv_num(1), tv_num('G')}, {tv_num(0), tv_num('"')}}));
  expect_run({"f.tbl"},
             "+TOTAL 2\n+FIELDS DENIEDFLAG,ADDITIONAL\n+SUM 6=0,55=0\n"
             "+REC\n6 on\n55 G\n+END\n+REC\n6 off\n55 \"\n+END\n");
  expect_run({"-c", "f.tbl"}, "\"Denied\",\"G\"\n\"Allowed\",\"\"\"\"\n");
}

TEST_F(Reportpeek, EmptyTableInJson) {
  ASSERT_TRUE(write_table("e.tbl", {{3, 0x16}, {9, 0x04}}, {}));
  expect_run({"-j", "e.tbl"},
             "{ \"total\" : \"0\",\n  \"fields\" : [ \"3\", \"9\" ],\n  \"names\" : [ \"USER\", \"REQUESTCOUNT\" ],\n"
             "  \"sum\" : [  \"0\", \"0\" ],\n  \"records\" : [\n\n  ]\n}\n");
  expect_run({"-c", "e.tbl"}, "");
}

TEST_F(Reportpeek, OldVersionAddress) {
  ASSERT_TRUE(write_file_bytes("v1.tbl", v1_table_bytes({2, 9}, {{tv_num(0x0A010203), tv_num(4)}})));
  expect_run({"-c", "v1.tbl"}, "\"10.1.2.3\",\"4\"\n");
}

TEST_F(Reportpeek, SubReportLookUps) {
  ASSERT_TRUE(write_example_table("ex.tbl"));
  ASSERT_TRUE(write_truncated_summary("sum.tbl"));
  ASSERT_TRUE(write_table("ip.tbl", {{2, 0x57}, {18, 0x16}, {9, 0x04}},
                          {{tv_ip("10.0.0.1"), tv_text("a.tbl"), tv_num(1)}, {tv_ip("::1"), tv_text("b.tbl"), tv_num(2)}}));
  ASSERT_TRUE(write_table("flag.tbl", {{6, 0x71}, {18, 0x16}},
                          {{tv_num(0), tv_text("allowed.tbl")}, {tv_num(1), tv_text("denied.tbl")}}));
  ASSERT_TRUE(write_table("date.tbl", {{7, 0x43}, {18, 0x16}},
                          {{tv_num(5), tv_text("five.tbl")}, {tv_num(1700000000), tv_text("late.tbl")}}));
  struct Case {
    std::vector<std::string> args;
    const char *out;
  } cases[] = {
      {{"-s", "0", "ex.tbl"}, "r/0000001.tbl\n"},
      {{"-j", "-s", "2", "ex.tbl"}, "r/0000003.tbl\n"},
      {{"-s", "3", "ex.tbl"}, ""},
      {{"-s", "0", "sum.tbl"}, ""},
      {{"-S", "bob", "ex.tbl"}, "r/0000002.tbl\n"},
      {{"-S", "nobody", "ex.tbl"}, "-\n"},
      {{"-S", "user1", "sum.tbl"}, "-\n"},
      {{"-S", "10.0.0.1", "ip.tbl"}, "a.tbl\n"},
      {{"-S", "::1", "ip.tbl"}, "b.tbl\n"},
      {{"-S", "10.0.0.9", "ip.tbl"}, "-\n"},
      {{"-S", "on", "flag.tbl"}, "denied.tbl\n"},
      {{"-S", "off", "flag.tbl"}, "allowed.tbl\n"},
      {{"-S", "1700000000", "date.tbl"}, "late.tbl\n"},
      {{"-S", "6", "date.tbl"}, "-\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 2]);
    expect_run(c.args, c.out);
  }
}

TEST_F(Reportpeek, ErrorsAndUsage) {
  ASSERT_TRUE(write_file_bytes("nofield.tbl", {2, 0}));
  ASSERT_TRUE(write_example_table("ex.tbl"));
  std::vector<unsigned char> cut = read_file_bytes("ex.tbl");
  cut.resize(cut.size() - 3);  // the last row loses its end
  ASSERT_TRUE(write_file_bytes("cut.tbl", cut));
  const std::string usage =
      "Usage:\treportpeek [options] filename\n\t-h\t\tDisplay this help.\n\t-m categories\tthe category names list\n"
      "\t-c\t\tCSV format\n\t-j\t\tJSON format\t\n\t-s number\tN-th subreport file name\t\n"
      "\t-S string\tsubreport that match the string\t\n\t-r number\tlimit the number of records\t\n";
  expect_run({}, "-ERROR Report file name is missing\n", 0);
  expect_run({"-j"}, "{ \"error\" : \"Report file name is missing\" }\n", 0);
  expect_run({"missing.tbl"}, "-ERROR Can't open the report file 'missing.tbl':\n", 1);
  expect_run({"-j", "a\"b\\c.tbl"}, "{ \"error\" : \"Can't open the report file 'a\\\"b\\\\c.tbl':\" }\n", 1);
  expect_run({"-S", "x", "nofield.tbl"}, "-ERROR Can't open the report file 'nofield.tbl':\n", 1);
  expect_run({"-h"}, usage, 0);
  expect_run({"-x", "ex.tbl"}, usage, 0);
  PeekRun r = peek({"-c", "cut.tbl"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\"alice\",\"120\",\"66.67%\",\"4\",\"1048576\",\"2023-11-14 22:13:20\"\n"
            "\"bob\",\"60\",\"33.33%\",\"12\",\"524288\",\"2023-11-14 23:13:20\"\n");
}
