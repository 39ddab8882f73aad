// Report status: error texts, size limits, the outcome in the job row, and
// the report table writer's hooks into the run.
#include "src/report/status.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "src/report/tfile.h"
#include "src/table/table_file.h"
#include "tests/db/dbtest.h"
#include "tests/engine/derive_fixture.h"
#include "tests/fixtures/tmpdir.h"

namespace {

namespace fs = std::filesystem;
using enginetest::LogCapture;
using kxtest::AdminConnection;
using kxtest::TestDatabase;

class StatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_.max_report_size = 100;
    s_.max_temp_size = 50;
    s_.server_id = 4;
    rep_ = new_report_initialize(REPORT_DEMAND, 17, "name", "owner", 0, 0, 0, &s_);
    ASSERT_NE(rep_, nullptr);
  }
  void TearDown() override {
    free_report(rep_);
    reporter_settings_reset(&s_);
  }
  reporter_settings s_;
  REPORT *rep_ = nullptr;
};

TEST_F(StatusTest, ALaterErrorReplacesAnEarlierOne) {
  status_add_error(rep_, "Error %05d: (sort) Unable to open input file", 10001);
  EXPECT_STREQ(rep_->error, "Error 10001: (sort) Unable to open input file");
  status_add_error(rep_, "Error 10164: (def) Could not all %s to domain list", "a.com");
  EXPECT_STREQ(rep_->error, "Error 10164: (def) Could not all a.com to domain list");
  // A recorded text with conversions in it goes through "%s" untouched.
  std::string again = "Error 10101: (def) 100% %s %n";
  status_add_error(rep_, "%s", again.c_str());
  EXPECT_EQ(std::string(rep_->error), again);
  status_add_error(nullptr, "x");
  status_add_error(rep_, nullptr);
  EXPECT_EQ(std::string(rep_->error), again);
}

TEST_F(StatusTest, SizeLimits) {
  struct Step {
    bool temp;
    long long bytes;
    int result;
    const char *error;  // null: none expected
  } steps[] = {
      {false, 60, -1, nullptr},
      {false, 40, -1, nullptr},  // exactly the limit passes
      {false, 1, 0, "Error 10600: (status) Report File Size Limit 100 Exceeded by 1 bytes"},
      {false, -31, -1, nullptr},  // given back
      {true, 50, -1, nullptr},
      {true, 25, 0, "Error 10601: (status) Temporary File Size Limit 50 Exceeded by 25 bytes"},
  };
  for (const Step &st : steps) {
    free(rep_->error);
    rep_->error = nullptr;
    int r = st.temp ? status_add_temp_size(rep_, st.bytes) : status_add_report_size(rep_, st.bytes);
    EXPECT_EQ(r, st.result) << st.bytes;
    if (st.error) {
      ASSERT_NE(rep_->error, nullptr);
      EXPECT_STREQ(rep_->error, st.error);
    } else {
      EXPECT_EQ(rep_->error, nullptr);
    }
  }
  EXPECT_EQ(rep_->size_report, 70);
  EXPECT_EQ(rep_->size_temp, 75);
}

// A long text (an input quoted whole) keeps its start and its end, cut at
// character boundaries, so the numbered start and the words after the
// quote survive.
TEST_F(StatusTest, LongTextsKeepTheirStartAndEnd) {
  const std::string head = "Error 10153: (def) Invalid regular expression '";
  const std::string tail = "' in the filter";
  struct Case {
    std::string input;  // quoted between head and tail
    bool shortened;
  } cases[] = {
      {"(a", false},
      {std::string(kStatusErrorMax - head.size() - tail.size(), 'x'), false},
      {std::string(kStatusErrorMax - head.size() - tail.size() + 1, 'x'), true},
      {std::string(90 * 1024, '('), true},
      // Two-, three- and four-byte characters in every position of a cut.
      {[] {
         std::string t;
         for (int i = 0; i < 3000; i++) t += i % 3 == 0 ? "\xc3\xa9" : i % 3 == 1 ? "\xe2\x82\xac" : "\xf0\x9f\x98\x80";
         return t;
       }(),
       true},
      {"x" + std::string(1500, 'y') + "\xe2\x82\xac", true},
  };
  for (const Case &c : cases) {
    status_add_error(rep_, "Error 10153: (def) Invalid regular expression '%s' in the filter", c.input.c_str());
    ASSERT_NE(rep_->error, nullptr);
    const std::string e = rep_->error;
    if (!c.shortened) {
      EXPECT_EQ(e, head + c.input + tail);
      continue;
    }
    EXPECT_LE(e.size(), kStatusErrorMax) << c.input.size();
    EXPECT_GT(e.size(), kStatusErrorMax - 8) << c.input.size();
    EXPECT_EQ(e.rfind(head, 0), 0u) << e;
    EXPECT_EQ(e.substr(e.size() - tail.size()), tail) << e;
    EXPECT_NE(e.find("..."), std::string::npos);
    // Whole characters only: every lead byte has all its continuation bytes.
    for (size_t i = 0; i < e.size();) {
      unsigned char b = static_cast<unsigned char>(e[i]);
      size_t len = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 0;
      ASSERT_NE(len, 0u) << "a continuation byte starts a character at " << i;
      for (size_t k = 1; k < len; k++)
        ASSERT_EQ(static_cast<unsigned char>(e[i + k]) & 0xc0, 0x80) << "a character cut at " << i;
      i += len;
    }
  }
}

TEST_F(StatusTest, AZeroLimitIsNoLimit) {
  // What a fresh install has: no settings rows, both limits 0.
  s_.max_report_size = 0;
  s_.max_temp_size = 0;
  EXPECT_EQ(status_add_report_size(rep_, 1LL << 40), -1);
  EXPECT_EQ(status_add_temp_size(rep_, 1LL << 40), -1);
  EXPECT_EQ(rep_->error, nullptr);
  rep_->settings = nullptr;
  EXPECT_EQ(status_add_report_size(rep_, 5), -1);
}

TEST_F(StatusTest, TableWriterUsesTheRunsSettings) {
  TempDir dir("kxstatus");
  s_.reports_directory = strdup((dir.path() + "/").c_str());
  s_.temp_directory = strdup((dir.path() + "/t/").c_str());
  rep_->temp_path = tfile_create_temp_path(rep_, 3);
  kx_ipaddr ip{};
  RECORD rec[] = {{FIELD_IP, 0x57, 0, &ip}, {}};
  struct Case {
    int ip_type;
    unsigned char header_type;
  } cases[] = {{1, 0x53}, {2, 0x55}, {3, 0x57}};
  for (const Case &c : cases) {
    s_.ip_type = c.ip_type;
    std::string name = dir.path() + "/ip" + std::to_string(c.ip_type);
    WRITE_TBL *t = write_new_rec(rep_, name.c_str(), rec, TABLE_WRITE_BUFFER_SIZE);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(write_close(t), -1);
    std::string bytes = enginetest::read_file(name);
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[2]), c.header_type) << c.ip_type;
  }
  // Each header (version, one pair, the end byte: 4 bytes) was charged to
  // the report; a file below the temporary directory to the temporary total.
  EXPECT_EQ(rep_->size_report, 12);
  std::string temp = std::string(rep_->temp_path) + "tbl";
  WRITE_TBL *t = write_new_rec(rep_, temp.c_str(), rec, TABLE_WRITE_BUFFER_SIZE);
  ASSERT_NE(t, nullptr);
  write_close(t);
  EXPECT_EQ(rep_->size_temp, 4);
  // A header past the limit fails the writer and leaves no file.
  rep_->size_report = 98;
  std::string over = dir.path() + "/over";
  EXPECT_EQ(write_new_rec(rep_, over.c_str(), rec, TABLE_WRITE_BUFFER_SIZE), nullptr);
  EXPECT_FALSE(fs::exists(over));
  ASSERT_NE(rep_->error, nullptr);
  EXPECT_STREQ(rep_->error, "Error 10600: (status) Report File Size Limit 100 Exceeded by 2 bytes");
  // A null run keeps the writer's defaults.
  std::string plain = dir.path() + "/plain";
  t = write_new_rec(nullptr, plain.c_str(), rec, TABLE_WRITE_BUFFER_SIZE);
  ASSERT_NE(t, nullptr);
  write_close(t);
  EXPECT_EQ(static_cast<unsigned char>(enginetest::read_file(plain)[2]), 0x57);
}

// --- The job row ----------------------------------------------------------

class StatusSaveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (kxtest::db_server_available()) db_ = new TestDatabase("status");
  }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(db_ && db_->ok()) << (db_ ? db_->error() : "");
    ASSERT_EQ(db_initialize(), -1);
    handle_ = db_->open_handle();
    ASSERT_NE(handle_, 0);
    s_.server_id = 9;
  }
  void TearDown() override {
    if (handle_) db_close(handle_);
    db_terminate();
    reporter_settings_reset(&s_);
  }

  static const char *table(int kind) {
    return kind == 1 ? "demand_reports" : kind == 2 ? "scheduled_reports" : "continuous_reports";
  }
  // A fresh job row of kind with the given flag; its id.
  int job(int kind, int flag) {
    AdminConnection a(db_->name());
    std::string t = table(kind);
    EXPECT_TRUE(a.exec("insert into " + t +
                       " (name, login, status, error_flag, server, next_run_time) values "
                       "('j', 'u', 'Started Processing [x]', " +
                       std::to_string(flag) + ", 1, '2026-01-02 03:04:05')"))
        << a.error();
    return std::stoi(a.scalar("select max(report_id) from " + t));
  }
  std::string row(int kind, int id) {
    AdminConnection a(db_->name());
    std::string t = table(kind);
    std::string w = " from " + t + " where report_id=" + std::to_string(id);
    return a.scalar("select concat(status, '|', error_flag, '|', server)" + w) + "|" +
           a.scalar("select unix_timestamp(next_run_time) = 0 or next_run_time = 0" + w);
  }

  static TestDatabase *db_;
  int handle_ = 0;
  reporter_settings s_;
};
TestDatabase *StatusSaveTest::db_ = nullptr;

TEST_F(StatusSaveTest, ThreeKindsThreeOutcomes) {
  enum Outcome { FAILED, CANCELLED, DONE };
  struct Case {
    int kind;
    Outcome outcome;
    int start_flag;
    const char *expect;  // status|error_flag|server|next_run_time cleared
    const char *log;
  } cases[] = {
      {1, FAILED, 1, "Error 10401: (process) Unable to open log file|2|9|0", "4 Error processing demand report"},
      {2, FAILED, 1, "Error 10401: (process) Unable to open log file|2|9|0", "4 Error processing scheduled report"},
      {3, FAILED, 1, "Error 10401: (process) Unable to open log file|2|9|0", "4 Error processing continuous report"},
      {1, CANCELLED, 1, "Stopped by user|0|9|1", "1 Canceled demand report"},
      {2, CANCELLED, 1, "Stopped by user|0|9|0", "1 Canceled scheduled report"},
      {3, CANCELLED, 1, "Stopped by user|0|9|0", "1 Canceled continuous report"},
      {1, DONE, 1, "Processed Ok [2026-01-01 00:00:00]|0|9|0", "1 Processed demand report"},
      {2, DONE, 1, "Processed Ok [2026-01-01 00:00:00]|0|9|0", "1 Processed scheduled report"},
      {3, DONE, 1, "Processed Ok [2026-01-01 00:00:00]|0|9|0", "1 Processed continuous report"},
      // A job the daemon stopped as unused keeps its status and flag 3.
      {2, CANCELLED, 3, "Started Processing [x]|3|9|0", "1 Canceled scheduled report"},
      {3, DONE, 3, "Started Processing [x]|3|9|0", "1 Processed continuous report"},
      // ... but an error still fails it.
      {2, FAILED, 3, "Error 10401: (process) Unable to open log file|2|9|0", "4 Error processing scheduled report"},
  };
  for (const Case &c : cases) {
    int id = job(c.kind, c.start_flag);
    REPORT *rep = new_report_initialize(c.kind, id, "j", "u", 0, 0, handle_, &s_);
    ASSERT_NE(rep, nullptr);
    if (c.outcome == FAILED) status_add_error(rep, "%s", "Error 10401: (process) Unable to open log file");
    LogCapture log;
    EXPECT_EQ(status_save(rep, handle_, c.outcome == DONE ? "Processed Ok [2026-01-01 00:00:00]" : nullptr, 0),
              0);
    EXPECT_EQ(row(c.kind, id), c.expect) << c.kind << " " << c.outcome << " " << c.start_flag;
    EXPECT_EQ(log.count(c.log + std::string(" ") + std::to_string(id)), 1) << log.joined();
    free_report(rep);
  }
}

TEST_F(StatusSaveTest, TextsAreStoredEscaped) {
  int id = job(1, 1);
  REPORT *rep = new_report_initialize(REPORT_DEMAND, id, "j", "u", 0, 0, handle_, &s_);
  status_add_error(rep, "Error 10164: (def) Could not all %s to domain list", "it's\\bad");
  status_save(rep, handle_, nullptr, 0);
  EXPECT_EQ(row(1, id), "Error 10164: (def) Could not all it's\\bad to domain list|2|9|0");
  free_report(rep);
  // The last of two errors is the one stored.
  id = job(2, 1);
  rep = new_report_initialize(REPORT_SCHEDULED, id, "j", "u", 0, 0, handle_, &s_);
  status_add_error(rep, "%s", "Error 10001: (sort) Unable to open input file");
  status_add_error(rep, "%s", "Error 10701: (truncate) Unable to open input file");
  status_save(rep, handle_, nullptr, 0);
  EXPECT_EQ(row(2, id), "Error 10701: (truncate) Unable to open input file|2|9|0");
  // A worded outcome with a quote.
  free(rep->error);
  rep->error = nullptr;
  status_save(rep, handle_, "Stopped temporarily 'now'", 0);
  EXPECT_EQ(row(2, id), "Stopped temporarily 'now'|0|9|0");
  free_report(rep);
}

TEST_F(StatusSaveTest, AFailedRunLosesItsFilesOnly) {
  TempDir dir("kxstatus");
  s_.reports_directory = strdup((dir.path() + "/").c_str());
  s_.temp_directory = strdup((dir.path() + "/").c_str());
  enginetest::write_file(dir.path() + "/0/2/root", "other");
  int id = job(1, 1);
  REPORT *rep = new_report_initialize(REPORT_DEMAND, id, "j", "u", 0, 0, handle_, &s_);
  rep->root_path = tfile_create_root_path(rep, 1);
  enginetest::write_file(std::string(rep->root_path) + "root", "mine");
  status_add_error(rep, "%s", "Error 10001: (sort) Unable to open input file");
  status_save(rep, handle_, nullptr, 0);
  EXPECT_FALSE(fs::exists(dir.path() + "/0/1"));
  EXPECT_TRUE(fs::exists(dir.path() + "/0/2/root"));
  free_report(rep);
  // A run that failed before it had a directory removes nothing.
  id = job(1, 1);
  rep = new_report_initialize(REPORT_DEMAND, id, "j", "u", 0, 0, handle_, &s_);
  status_add_error(rep, "%s", "Error 10101: (def) Error retrieving the report definition from db");
  status_save(rep, handle_, nullptr, 0);
  EXPECT_TRUE(fs::exists(dir.path() + "/0/2/root"));
  EXPECT_EQ(row(1, id), "Error 10101: (def) Error retrieving the report definition from db|2|9|0");
  free_report(rep);
}

// An outcome the job row refuses whole is saved as a short text, or at
// least as its flag, so that no job stays claimed; each refusal is logged,
// and the success line only once the row holds it.
TEST_F(StatusSaveTest, AnOutcomeTheRowRefusesIsSavedShortOrAsItsFlag) {
  AdminConnection a(db_->name());
  const std::string long_error = "Error 10153: (def) Invalid regular expression '" + std::string(700, 'q') +
                                 "\xc3\xa9' in the filter";
  std::string wide;  // more than the column holds, in two-byte characters
  for (int i = 0; i < 35000; i++) wide += "\xc3\xa9";
  struct Case {
    const char *refuse;  // the condition of a trigger that refuses the new row
    const char *error;   // null: a worded outcome
    std::string message;
    std::string status;  // what the row holds afterwards
    const char *flag;
    int could_not;  // "Could not save" lines
    int processed;  // "Processed demand report" lines
  } cases[] = {
      // A column narrower than the text: the short text fits.
      {"char_length(new.status) > 300", long_error.c_str(), "", long_error.substr(0, 255), "2", 1, 0},
      // No text at all: the flag alone releases the job.
      {"new.status <> old.status", long_error.c_str(), "", "Started Processing [x]", "2", 2, 0},
      {"new.status <> old.status", nullptr, "Processed Ok [2026-01-01 00:00:00]", "Started Processing [x]", "0", 1,
       0},
      // The longest start of the text that the column holds.
      {"false", nullptr, wide, wide.substr(0, 65534), "0", 0, 1},
  };
  for (const Case &c : cases) {
    ASSERT_TRUE(a.exec(std::string("drop trigger if exists refuse_status;"
                                   "create trigger refuse_status before update on demand_reports for each row "
                                   "if ") +
                       c.refuse + " then signal sqlstate '45000' set message_text='refused'; end if"))
        << a.error();
    int id = job(1, 1);
    REPORT *rep = new_report_initialize(REPORT_DEMAND, id, "j", "u", 0, 0, handle_, &s_);
    ASSERT_NE(rep, nullptr);
    if (c.error) status_add_error(rep, "%s", c.error);
    LogCapture log;
    status_save(rep, handle_, c.error ? nullptr : c.message.c_str(), 0);
    const std::string where = " from demand_reports where report_id=" + std::to_string(id);
    const std::string status = a.scalar("select status" + where);
    EXPECT_TRUE(status == c.status) << c.refuse << ": " << status.size() << " bytes: " << status.substr(0, 80);
    EXPECT_EQ(a.scalar("select error_flag" + where), c.flag) << c.refuse;
    EXPECT_EQ(log.count("Could not save"), c.could_not) << c.refuse << log.joined();
    EXPECT_EQ(log.count("Processed demand report " + std::to_string(id)), c.processed) << c.refuse;
    free_report(rep);
  }
  ASSERT_TRUE(a.exec("drop trigger refuse_status"));
}

TEST_F(StatusSaveTest, UnknownKindWritesNothing) {
  int id = job(1, 1);
  REPORT *rep = new_report_initialize(7, id, "j", "u", 0, 0, handle_, &s_);
  EXPECT_EQ(status_save(rep, handle_, "Processed Ok [x]", 0), 7);
  EXPECT_EQ(row(1, id), "Started Processing [x]|1|1|0");
  free_report(rep);
}

}  // namespace
