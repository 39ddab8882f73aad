// Loading a report's definition from the reporting database: page
// extensions, the definition text, the report file number under the table
// lock, the store paths. Runs against the private MariaDB server.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "src/report/definition.h"
#include "src/report/report.h"
#include "src/report/report_load.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

using kxtest::AdminConnection;
using kxtest::TestDatabase;

const char kDemand[] = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\ndate=>= 100\n";
const char kScheduled[] = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n";

class ReportLoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (kxtest::db_server_available()) db_ = new TestDatabase("load");
  }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }

  void SetUp() override {
    if (!kxtest::db_server_available()) GTEST_SKIP() << "no test database server";
    ASSERT_TRUE(db_ && db_->ok()) << (db_ ? db_->error() : "none");
    ASSERT_EQ(db_initialize(), -1);
    handle_ = db_->open_handle();
    ASSERT_NE(handle_, 0);
    admin_ = std::make_unique<AdminConnection>(db_->name());
    ASSERT_TRUE(admin_->ok()) << admin_->error();
    ASSERT_TRUE(admin_->exec("delete from demand_reports; delete from scheduled_reports; "
                             "delete from continuous_reports; delete from html_extensions; "
                             "delete from global; insert into global (id, next_rep_file) values (1, 7)"))
        << admin_->error();
    ASSERT_FALSE(store_.path().empty());
    settings_.reports_directory = strdup((store_.path() + "/reports/").c_str());
    settings_.temp_directory = strdup((store_.path() + "/temp/").c_str());
  }

  void TearDown() override {
    free_report(rep_);
    free(settings_.reports_directory);
    free(settings_.temp_directory);
    settings_.reports_directory = settings_.temp_directory = nullptr;
    if (handle_) db_terminate();
  }

  // A job row of kind with the definition text (null: SQL NULL); the run
  // for it in rep_.
  void job(int kind, const char *definition) {
    const char *table = kind == REPORT_DEMAND      ? "demand_reports"
                        : kind == REPORT_SCHEDULED ? "scheduled_reports"
                                                   : "continuous_reports";
    std::string value = "NULL";
    if (definition) {
      char *e = escape_encode(definition);
      value = std::string("'") + e + "'";
      free(e);
    }
    ASSERT_TRUE(admin_->exec(std::string("insert into ") + table +
                             " (report_id, name, login, definition) values (5, 'n', 'o', " + value + ")"))
        << admin_->error();
    rep_ = new_report_initialize(kind, 5, "n", "o", 0, 0, handle_, &settings_);
    ASSERT_NE(rep_, nullptr);
  }

  std::string error() const { return rep_ && rep_->error ? rep_->error : ""; }
  std::string next_number() { return admin_->scalar("select next_rep_file from global"); }

  // Whether another session can write the table global at once (no lock
  // of the run's session is left on it).
  bool global_unlocked() {
    AdminConnection other(db_->name());
    return other.exec("set session lock_wait_timeout=3; update global set id=id");
  }

  static TestDatabase *db_;
  int handle_ = 0;
  std::unique_ptr<AdminConnection> admin_;
  TempDir store_{"kxload"};
  reporter_settings settings_;
  REPORT *rep_ = nullptr;
};
TestDatabase *ReportLoadTest::db_ = nullptr;

TEST_F(ReportLoadTest, DemandReportLoads) {
  job(REPORT_DEMAND, kDemand);
  ASSERT_EQ(load_report_definition(rep_, 0), 1) << error();
  EXPECT_EQ(error(), "");
  EXPECT_EQ(rep_->file_id, 7);
  EXPECT_EQ(next_number(), "8");
  ASSERT_NE(rep_->def, nullptr);
  EXPECT_EQ(rep_->type_hints, type_hints);
  EXPECT_EQ(rep_->html_extensions_size, 0);  // an empty table: none, and the load goes on
  ASSERT_NE(rep_->root_path, nullptr);
  ASSERT_NE(rep_->temp_path, nullptr);
  EXPECT_EQ(std::string(rep_->root_path), store_.path() + "/reports/0/7/");
  EXPECT_EQ(std::string(rep_->temp_path), store_.path() + "/temp/7/");
  EXPECT_TRUE(global_unlocked());
}

TEST_F(ReportLoadTest, ContinuousReportHasNoPaths) {
  job(REPORT_CONTINUOUS, kScheduled);
  ASSERT_EQ(load_report_definition(rep_, 0), 1) << error();
  EXPECT_EQ(rep_->file_id, 7);
  EXPECT_EQ(rep_->root_path, nullptr);
  EXPECT_EQ(rep_->temp_path, nullptr);
}

TEST_F(ReportLoadTest, FailuresAndTheirTexts) {
  struct {
    const char *what;
    int kind;
    const char *definition;  // null: SQL NULL; "-": no job row
    const char *global;      // statements run before the load
    const char *error;
    const char *number_after;
  } cases[] = {
      {"NULL definition", REPORT_DEMAND, nullptr, "", "Error 10100: (def) Memory Allocation Error", "7"},
      {"no job row", REPORT_SCHEDULED, "-", "",
       "Error 10101: (def) Error retrieving the report definition from db", "7"},
      {"empty global", REPORT_DEMAND, kDemand, "delete from global",
       "Error 10102: (def) Error retrieving the next report ID", ""},
      {"zero in global", REPORT_DEMAND, kDemand, "update global set next_rep_file=0",
       "Error 10102: (def) Error retrieving the next report ID", "1"},
      {"parse error takes a number", REPORT_SCHEDULED, kDemand, "",
       "Error 10136: (def) Scheduled reports cannot contain absolute dates", "8"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(admin_->exec("delete from demand_reports; delete from scheduled_reports; delete from global; "
                             "insert into global (id, next_rep_file) values (1, 7)"));
    if (*c.global) {
      ASSERT_TRUE(admin_->exec(c.global)) << admin_->error();
    }
    free_report(rep_);
    rep_ = nullptr;
    if (c.definition && strcmp(c.definition, "-") == 0) {
      rep_ = new_report_initialize(c.kind, 5, "n", "o", 0, 0, handle_, &settings_);
    } else {
      job(c.kind, c.definition);
    }
    ASSERT_NE(rep_, nullptr);
    EXPECT_EQ(load_report_definition(rep_, 0), 0);
    EXPECT_EQ(error(), c.error);
    EXPECT_EQ(next_number(), c.number_after);
    EXPECT_TRUE(global_unlocked());
  }
}

TEST_F(ReportLoadTest, ExtensionsSortedAndSearchedWithoutCase) {
  // A table that allows NULL rows, as an older schema might.
  ASSERT_TRUE(admin_->exec("alter table html_extensions drop primary key, modify extension varchar(64) null; "
                           "insert into html_extensions values ('php'), (NULL), ('HTM'), ('html'), "
                           "('Asp'), (NULL), ('_x')"))
      << admin_->error();
  job(REPORT_DEMAND, kDemand);
  ASSERT_EQ(load_report_definition(rep_, 0), 1) << error();
  ASSERT_EQ(rep_->html_extensions_size, 5);
  const char *order[] = {"_x", "Asp", "HTM", "html", "php"};
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(rep_->html_extensions[i], order[i]);
  for (const char *yes : {"htm", "HTML", "PHP", "asp", "_X"}) {
    EXPECT_TRUE(report_is_html_extension(rep_, yes)) << yes;
  }
  for (const char *no : {"", "jpg", "ht", "phps"}) {
    EXPECT_FALSE(report_is_html_extension(rep_, no)) << no;
  }
  EXPECT_FALSE(report_is_html_extension(rep_, nullptr));
  ASSERT_TRUE(admin_->exec("delete from html_extensions; alter table html_extensions "
                           "modify extension varchar(64) not null, add primary key (extension)"))
      << admin_->error();
}

TEST_F(ReportLoadTest, FileNumberSequenceRestartsAfterALostLock) {
  DB_RESULT *rs = db_execute(handle_, "select connection_id()");
  ASSERT_NE(rs, nullptr);
  std::string id = rs->fields[0];
  rs->close(rs);
  ASSERT_TRUE(admin_->exec("kill " + id));
  const unsigned long before = db_reconnect_count(handle_);
  // The first statement finds the session gone; the sequence that began
  // before the reconnect runs again on the new session.
  EXPECT_EQ(report_take_file_number(handle_), 8);
  EXPECT_GT(db_reconnect_count(handle_), before);
  EXPECT_EQ(next_number(), "9");
  EXPECT_TRUE(global_unlocked());
  // Without a reconnect one number is taken.
  EXPECT_EQ(report_take_file_number(handle_), 9);
  EXPECT_EQ(next_number(), "10");
}

}  // namespace
