// logpeek run as a program in a work folder with ../logs beside it: the
// listing, records of the three formats, start and count at and past the
// ends, the default run, and its texts and exit statuses.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <string>
#include <vector>

#include "tests/fixtures/reqlog_writer.h"

namespace {

using reqlog::Format;

constexpr int32_t T = 1200000000;  // 2008-01-10 21:20:00 UTC

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs logpeek with args in the current (work) folder and the test's TZ.
Outcome logpeek(const std::vector<std::string> &args, const std::string &root) {
  std::string out = root + "/stdout", err = root + "/stderr";
  std::string bin = std::string(KX_BIN_DIR) + "/logpeek";
  std::vector<char *> argv{bin.data()};
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  Outcome r;
  int ws = 0;
  if (pid > 0 && waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  r.out = reqlog::read_file(out);
  r.err = reqlog::read_file(err);
  return r;
}

constexpr const char *kFailedDb = "Failed on Opening Database\n";

class LogPeek : public ::testing::Test {
 protected:
  reqlog::WorkDir wd{"UTC0"};
  Outcome run(const std::vector<std::string> &args) { return logpeek(args, wd.root()); }
  std::string logs() const { return wd.logs(); }
};

const std::string kTxtFields = "+FIELDS DATE,URI,IP,USER,GROUP,DENIEDFLAG,CATS\n";

// The printed record i of reqlog::txt_sample(n, t0).
std::string txt_record(int i, int32_t t0 = T) {
  std::string n = std::to_string(i);
  return "+RECORD\nDATE " + reqlog::local_date(t0 + i) + "\nURI http://txt.example.net/" + n + "\nIP 10.1.2." + n +
         "\nUSER user" + std::to_string(i % 4) + "\nGROUP staff\nDENIEDFLAG " + (i % 2 ? "on" : "off") +
         "\nCATS 12,34\n+ENDRECORD\n";
}

std::string txt_records(int from, int to) {
  std::string s = kTxtFields;
  for (int i = from; i <= to; i++) s += txt_record(i);
  return s + "+END\n";
}

void set_mtime(const std::string &path, time_t t) {
  struct utimbuf times = {t, t};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

std::string size_of(const std::string &path) { return std::to_string(reqlog::filesize_of(path)); }

TEST_F(LogPeek, ListsEveryLogWithBoundsSizeAndCount) {
  std::string txt = reqlog::write_log(logs(), "kxlogger_requests_txt_t", reqlog::txt_sample(3, T));
  std::string ext = reqlog::write_log(logs(), "kxlogger_requests_ext_e", reqlog::eb_sample(4, T + 100));
  std::string bin = reqlog::write_log(logs(), "kxlogger_requests_bin_b", reqlog::sb_image(reqlog::sb_sample(5, T + 50)));
  // An empty log with an empty index, of the same start as the standard one.
  std::string empty = logs() + "/kxlogger_requests_txt_empty.log";
  reqlog::write_file(empty, "");
  reqlog::write_file(logs() + "/kxlogger_requests_txt_empty.ndx", "");
  set_mtime(empty, T + 50);
  // An empty log without an index.
  std::string bare = logs() + "/kxlogger_requests_bin_bare.log";
  reqlog::write_file(bare, "");
  set_mtime(bare, T + 200);
  // A log with records but no index: bounds unknown.
  std::string noindex = reqlog::write_log(logs(), "kxlogger_requests_bin_noindex",
                                          reqlog::sb_image(reqlog::sb_sample(2, T)), reqlog::Rep::None, false);
  // Neither a folder nor a file of another name is a log.
  ASSERT_EQ(mkdir((logs() + "/kxlogger_requests_bin_dir.log").c_str(), 0755), 0);
  reqlog::write_file(logs() + "/kxlogger_requests_bin_b.log.1", reqlog::read_file(bin));

  std::string t = std::to_string(T);
  Outcome r = run({"-d"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "0 0 " + size_of(noindex) + " -1 ../logs/kxlogger_requests_bin_noindex.log\n" +
                       t + " " + std::to_string(T + 2) + " " + size_of(txt) + " 3 ../logs/kxlogger_requests_txt_t.log\n" +
                       std::to_string(T + 50) + " " + std::to_string(T + 54) + " " + size_of(bin) +
                       " 5 ../logs/kxlogger_requests_bin_b.log\n" +
                       std::to_string(T + 50) + " " + std::to_string(T + 50) + " 0 0 ../logs/kxlogger_requests_txt_empty.log\n" +
                       std::to_string(T + 100) + " " + std::to_string(T + 103) + " " + size_of(ext) +
                       " 4 ../logs/kxlogger_requests_ext_e.log\n" +
                       std::to_string(T + 200) + " " + std::to_string(T + 200) + " 0 -1 ../logs/kxlogger_requests_bin_bare.log\n");
  EXPECT_EQ(r.err, kFailedDb);

  // No logs at all: an empty listing.
  reqlog::WorkDir other{"UTC0"};
  Outcome none = logpeek({"-d"}, other.root());
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "");
}

TEST_F(LogPeek, PrintsRecordsOfTheThreeFormats) {
  reqlog::write_log(logs(), "kxlogger_requests_bin_s", reqlog::sb_image(reqlog::sb_sample(3, T)));
  reqlog::write_log(logs(), "kxlogger_requests_ext_e", reqlog::eb_sample(3, T));
  reqlog::write_log(logs(), "kxlogger_requests_txt_t", reqlog::txt_sample(3, T));

  // Standard: the category field is printed as the layout types it (text),
  // whether the record holds number bytes (0x0C 0x22) or the list text.
  Outcome sb = run({"-f", "kxlogger_requests_bin_s.log", "-l", "2"});
  EXPECT_EQ(sb.status, 0);
  EXPECT_EQ(sb.out,
            "+FIELDS DATE,IP,USER,GROUP,CATS,DENIEDFLAG,URI\n"
            "+RECORD\nDATE 2008-01-10 21:20:00\nIP 10.0.0.1\nUSER user0\nGROUP guests\nCATS \x0c\x22\n"
            "DENIEDFLAG on\nURI http://www.example0.com/page/0\n+ENDRECORD\n"
            "+RECORD\nDATE 2008-01-10 21:20:01\nIP 10.0.0.2\nUSER user1\nGROUP staff\nCATS 12,34\n"
            "DENIEDFLAG off\nURI http://www.example1.com/page/1\n+ENDRECORD\n+END\n");
  EXPECT_EQ(sb.err, kFailedDb);

  Outcome eb = run({"-f", "kxlogger_requests_ext_e.log", "-s", "1", "-l", "1"});
  EXPECT_EQ(eb.status, 0);
  EXPECT_EQ(eb.out,
            "+FIELDS DATE,IP,USER,GROUP,CATS,DENIEDFLAG,URI,DSTIP,PEERIP,INPUTBYTES,METHOD,LOGGERID,TYPE\n"
            "+RECORD\nDATE 2008-01-10 21:20:01\nIP 192.168.0.1\nUSER user1\nGROUP staff\nCATS 12,34\n"
            "DENIEDFLAG on\nURI http://ext.example.org/1\nDSTIP 192.168.1.9\nPEERIP 2001:db8::1\n"
            "INPUTBYTES 1000\nMETHOD 2\nLOGGERID node-7\nTYPE 1\n+ENDRECORD\n+END\n");

  Outcome txt = run({"-f", "kxlogger_requests_txt_t.log", "-s", "2"});
  EXPECT_EQ(txt.status, 0);
  EXPECT_EQ(txt.out, txt_records(2, 2));
}

// Category bytes above 127 print as 128..255, a flag is on whenever it is
// not 0, and a character field stored as text prints its first character.
TEST_F(LogPeek, CategoryBytesUnsignedAndFlagsOnWhenNonZero) {
  std::vector<reqlog::EbField> fields = {{7, 0x43, "DATE"}, {5, 0x36, "CATS"}, {54, 0x26, "ALLCATS"},
                                         {6, 0x71, "DENIEDFLAG"}, {60, 0x71, "OTHERFLAG"}, {61, 0x61, "CHAR"},
                                         {62, 0x66, "CHARTEXT"}};
  std::string rec = reqlog::le32(static_cast<uint32_t>(T)) + reqlog::cstr("\xC8\x05\xFF") +
                    reqlog::cstr(std::string("\x80\x01\x7F", 3)) + "\x02" + std::string(1, '\0') + "x" +
                    reqlog::cstr("yes");
  reqlog::write_log(logs(), "kxlogger_requests_ext_c",
                    reqlog::eb_image(reqlog::eb_header(fields, {}), {rec}, {T}));
  std::vector<reqlog::SbRecord> sb = reqlog::sb_sample(2, T);
  sb[0].denied = 2;
  sb[1].denied = 255;
  reqlog::write_log(logs(), "kxlogger_requests_bin_f", reqlog::sb_image(sb));

  Outcome eb = run({"-f", "kxlogger_requests_ext_c.log"});
  EXPECT_EQ(eb.status, 0);
  EXPECT_EQ(eb.out,
            "+FIELDS DATE,CATS,ALLCATS,DENIEDFLAG,OTHERFLAG,CHAR,CHARTEXT\n+RECORD\nDATE 2008-01-10 21:20:00\n"
            "CATS 200,5,255\nALLCATS 128,1,127\nDENIEDFLAG on\nOTHERFLAG off\nCHAR x\nCHARTEXT y\n+ENDRECORD\n+END\n");

  Outcome flags = run({"-f", "kxlogger_requests_bin_f.log"});
  EXPECT_EQ(flags.status, 0);
  size_t first = flags.out.find("DENIEDFLAG ");
  size_t second = flags.out.find("DENIEDFLAG ", first + 1);
  ASSERT_NE(second, std::string::npos) << flags.out;
  EXPECT_EQ(flags.out.substr(first, 14), "DENIEDFLAG on\n");
  EXPECT_EQ(flags.out.substr(second, 14), "DENIEDFLAG on\n");
}

TEST_F(LogPeek, StartAndCountAtAndBeyondTheEnds) {
  reqlog::write_log(logs(), "kxlogger_requests_txt_ten", reqlog::txt_sample(10, T));
  const std::string wrong = kTxtFields + "-ERROR Wrong start record\n";
  const std::string nothing = kTxtFields + "+END\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{}, 0, txt_records(0, 9)},  // from the first, up to 100
      {{"-s", "0", "-l", "3"}, 0, txt_records(0, 2)},
      {{"-s", "9", "-l", "5"}, 0, txt_records(9, 9)},
      {{"-s", "4", "-l", "6"}, 0, txt_records(4, 9)},
      {{"-s", "-1", "-l", "1"}, 0, txt_records(9, 9)},
      {{"-s", "-3"}, 0, txt_records(7, 9)},
      {{"-s", "-10", "-l", "1"}, 0, txt_records(0, 0)},
      {{"-s", "-1000", "-l", "2"}, 0, txt_records(0, 1)},
      {{"-s", "10"}, 1, wrong},
      {{"-s", "11", "-l", "1"}, 1, wrong},
      {{"-s", "100000"}, 1, wrong},
      {{"-l", "0"}, 0, nothing},
      {{"-s", "9", "-l", "0"}, 0, nothing},
      {{"-l", "-5"}, 0, nothing},
      {{"-s", "10", "-l", "0"}, 1, wrong},  // the start record is read first
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-f", "kxlogger_requests_txt_ten.log"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome r = run(args);
    std::string shown;
    for (const std::string &a : c.args) shown += a + " ";
    EXPECT_EQ(r.status, c.status) << shown;
    EXPECT_EQ(r.out, c.out) << shown;
    EXPECT_EQ(r.err, kFailedDb) << shown;
  }
}

// -f without -l stops at the default count of 100 on a longer log.
TEST_F(LogPeek, FileRunPrintsTheDefaultCount) {
  reqlog::write_log(logs(), "kxlogger_requests_txt_long", reqlog::txt_sample(150, T));
  Outcome r = run({"-f", "kxlogger_requests_txt_long.log"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, txt_records(0, 99));
  Outcome later = run({"-f", "kxlogger_requests_txt_long.log", "-s", "120"});
  EXPECT_EQ(later.out, txt_records(120, 149));
}

// Without -f: the last 50 records of the log with the latest start (empty
// logs left out), whatever -s and -l say.
TEST_F(LogPeek, DefaultRunPrintsTheNewestLogsLastFifty) {
  reqlog::write_log(logs(), "kxlogger_requests_txt_zzz", reqlog::txt_sample(80, T));
  reqlog::write_log(logs(), "kxlogger_requests_bin_aaa", reqlog::sb_image(reqlog::sb_sample(60, T + 1000)));
  reqlog::write_file(logs() + "/kxlogger_requests_bin_empty.log", "");  // newest by time, but empty

  for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-s", "0", "-l", "1"}}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kFailedDb);
    ASSERT_EQ(r.out.rfind("+FIELDS DATE,IP,USER,GROUP,CATS,DENIEDFLAG,URI\n+RECORD\n", 0), 0u) << r.out;
    size_t records = 0;
    for (size_t at = r.out.find("+RECORD\n"); at != std::string::npos; at = r.out.find("+RECORD\n", at + 1))
      records++;
    EXPECT_EQ(records, 50u);
    EXPECT_NE(r.out.find("\nURI http://www.example10.com/page/10\n+ENDRECORD\n"), std::string::npos);
    EXPECT_EQ(r.out.find("/page/9\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nURI http://www.example4.com/page/59\n+ENDRECORD\n+END\n"), std::string::npos);
    EXPECT_EQ(r.out.size() - r.out.rfind("+END\n"), 5u);
  }

  // A newest log of fewer than 50 records is printed from its first.
  reqlog::write_log(logs(), "kxlogger_requests_txt_new", reqlog::txt_sample(3, T + 5000));
  Outcome few = run({});
  EXPECT_EQ(few.status, 0);
  EXPECT_EQ(few.out, kTxtFields + txt_record(0, T + 5000) + txt_record(1, T + 5000) + txt_record(2, T + 5000) +
                         "+END\n");
}

TEST_F(LogPeek, NoLogAndUsage) {
  const std::string usage = "Usage:\tlogpeek -f filename -s start_from_record -l records_to_read\n\tlogpeek -d\n";
  // Nothing to read: no logs, a missing or empty log, a file of no format.
  reqlog::write_file(logs() + "/kxlogger_requests_bin_empty.log", "");
  reqlog::write_file(logs() + "/kxlogger_requests_bin_junk.log", std::string("\x01\0\0\0junk", 8));
  // A pipe named like a log (opening it for reading would wait for a writer),
  // and a text log whose header lines do not parse (it has no layout).
  ASSERT_EQ(mkfifo((logs() + "/kxlogger_requests_bin_pipe.log").c_str(), 0644), 0);
  reqlog::write_file(logs() + "/kxlogger_requests_txt_badhead.log",
                     "1000000001 7:43 1:16\n1000000002 DATE\n" + std::to_string(T) + " http://x/\n");
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{}, {"-f", "kxlogger_requests_bin_missing.log"},
        {"-f", "kxlogger_requests_bin_empty.log"}, {"-f", "kxlogger_requests_bin_junk.log"},
        {"-f", "kxlogger_requests_bin_pipe.log"}, {"-f", "kxlogger_requests_txt_badhead.log"}, {"-s", "3"}}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "-ERROR No files\n");
    EXPECT_EQ(r.err, kFailedDb);
  }
  // No log folder at all.
  {
    reqlog::WorkDir bare{"UTC0"};
    ASSERT_EQ(rmdir(bare.logs().c_str()), 0);
    Outcome r = logpeek({}, bare.root());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "-ERROR No files\n");
  }
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-h"}, {"-?"}, {"-x"}, {"-h", "-d"}, {"-f"}}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, usage) << args[0];
    EXPECT_NE(r.err.find(kFailedDb), std::string::npos) << args[0];
  }
}

}  // namespace
