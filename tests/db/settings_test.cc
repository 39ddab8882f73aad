// The daemon's settings loaded from rows of the `settings` table.
#include "src/support/settings.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "src/support/runtime.h"
#include "tests/db/dbtest.h"

using kxtest::AdminConnection;
using kxtest::TestDatabase;

namespace {

using Row = std::pair<std::string, std::optional<std::string>>;

class SettingsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (kxtest::db_server_available()) db_ = new TestDatabase("settings");
  }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(db_initialize(), -1);
    reporter_settings_reset(&settings);
  }
  void TearDown() override {
    reporter_settings_reset(&settings);
    support_db = 0;
    db_terminate();
  }

  // Replaces the table's rows (in this order) and loads the settings; the
  // summary lines are returned.
  std::string load(const std::vector<Row> &rows) {
    if (!db_ || !db_->ok()) {
      ADD_FAILURE() << "test database: " << (db_ ? db_->error() : "none");
      return "";
    }
    AdminConnection a(db_->name());
    std::string sql = "delete from settings;";
    for (const auto &r : rows)
      sql += "insert into settings (name, value) values ('" + r.first + "'," +
             (r.second ? "'" + *r.second + "'" : std::string("NULL")) + ");";
    EXPECT_TRUE(a.exec(sql)) << a.error();
    support_db = db_->open_handle();
    EXPECT_NE(support_db, 0);
    testing::internal::CaptureStderr();
    reporter_load_settings();
    std::string out = testing::internal::GetCapturedStderr();
    db_close(support_db);
    support_db = 0;
    return out;
  }
  static TestDatabase *db_;
};
TestDatabase *SettingsTest::db_ = nullptr;

std::string str(const char *s) { return s ? s : "(null)"; }

TEST_F(SettingsTest, OnlyAReportDirectoryKeepsEveryDefault) {
  KX_REQUIRE_DB();
  settings.server_id = 12;  // from the servers row, kept
  load({{"report_dir", "/srv/reports"}});
  EXPECT_EQ(settings.server_id, 12);
  EXPECT_EQ(settings.demand_count_max, 0);
  EXPECT_EQ(settings.scheduled_count_max, 0);
  EXPECT_EQ(settings.continuous_count_max, 0);
  EXPECT_EQ(settings.max_parallel_reports, 1);
  EXPECT_EQ(settings.ip_type, 3);
  EXPECT_EQ(settings.topk_buffer_size, 2000);
  EXPECT_EQ(settings.max_instances, 0);
  // Names are appended to both directories directly: both end with "/".
  EXPECT_EQ(str(settings.reports_directory), "/srv/reports/");
  EXPECT_EQ(str(settings.temp_directory), "/srv/reports/");
}

TEST_F(SettingsTest, TableOfRows) {
  KX_REQUIRE_DB();
  struct Case {
    const char *what;
    std::vector<Row> rows;
    std::string reports, temp;
    int demand, scheduled, topk, ip_type, instances;
    long long report_size;
  } cases[] = {
      {"temp_dir gets a slash", {{"report_dir", "/r/"}, {"temp_dir", "/t"}}, "/r/", "/t/", 0, 0, 2000, 3, 0, 0},
      {"empty temp_dir is the report dir", {{"report_dir", "/r"}, {"temp_dir", ""}}, "/r/", "/r/", 0, 0, 2000, 3, 0, 0},
      {"later row wins", {{"report_dir", "/a"}, {"report_dir", "/b"}}, "/b/", "/b/", 0, 0, 2000, 3, 0, 0},
      {"names are case-sensitive", {{"Report_Dir", "/x"}, {"report_dir", "/r"}, {"MAX_INSTANCES", "4"}},
       "/r/", "/r/", 0, 0, 2000, 3, 0, 0},
      {"normal after demand", {{"concurrent_demand_reports", "4"}, {"concurrent_normal_reports", "2"}},
       "(null)", "(null)", 2, 2, 2000, 3, 0, 0},
      {"demand after normal", {{"concurrent_normal_reports", "2"}, {"concurrent_demand_reports", "4"}},
       "(null)", "(null)", 4, 2, 2000, 3, 0, 0},
      {"topk 50", {{"topk_buffer_size", "50"}}, "(null)", "(null)", 0, 0, 100, 3, 0, 0},
      {"topk 99", {{"topk_buffer_size", "99"}}, "(null)", "(null)", 0, 0, 100, 3, 0, 0},
      {"topk 101", {{"topk_buffer_size", "101"}}, "(null)", "(null)", 0, 0, 101, 3, 0, 0},
      {"topk 0", {{"topk_buffer_size", "0"}}, "(null)", "(null)", 0, 0, 100, 3, 0, 0},
      {"topk not a number", {{"topk_buffer_size", "lots"}}, "(null)", "(null)", 0, 0, 100, 3, 0, 0},
      {"ip_type 1", {{"ip_type", "1"}}, "(null)", "(null)", 0, 0, 2000, 1, 0, 0},
      {"ip_type 7", {{"ip_type", "7"}}, "(null)", "(null)", 0, 0, 2000, 3, 0, 0},
      {"ip_type 0", {{"ip_type", "0"}}, "(null)", "(null)", 0, 0, 2000, 3, 0, 0},
      {"64-bit sizes", {{"max_report_size", "5000000000"}, {"max_instances", "9"}}, "(null)", "(null)", 0, 0,
       2000, 3, 9, 5000000000LL},
      {"NULL values are absent",
       {{"max_instances", "5"}, {"max_instances", std::nullopt}, {"ip_type", std::nullopt},
        {"topk_buffer_size", std::nullopt}, {"concurrent_normal_reports", std::nullopt},
        {"max_report_size", std::nullopt}, {"unknown_key", std::nullopt}},
       "(null)", "(null)", 0, 0, 2000, 3, 5, 0},
      {"NULL report_dir clears it", {{"report_dir", "/r"}, {"report_dir", std::nullopt}, {"temp_dir", std::nullopt}},
       "(null)", "(null)", 0, 0, 2000, 3, 0, 0},
  };
  for (const auto &c : cases) {
    load(c.rows);
    SCOPED_TRACE(c.what);
    EXPECT_EQ(str(settings.reports_directory), c.reports);
    EXPECT_EQ(str(settings.temp_directory), c.temp);
    EXPECT_EQ(settings.demand_count_max, c.demand);
    EXPECT_EQ(settings.scheduled_count_max, c.scheduled);
    EXPECT_EQ(settings.topk_buffer_size, c.topk);
    EXPECT_EQ(settings.ip_type, c.ip_type);
    EXPECT_EQ(settings.max_instances, c.instances);
    EXPECT_EQ(settings.max_report_size, c.report_size);
  }
}

// A number that is not a whole decimal, or is outside what its setting
// means, gets the setting's default and one message line; a valid value
// (blanks around it and a sign allowed) none.
TEST_F(SettingsTest, GarbledNumbersTakeTheirDefaultWithALine) {
  KX_REQUIRE_DB();
  using Get = long long (*)(const reporter_settings &);
  const Get parallel = [](const reporter_settings &s) -> long long { return s.max_parallel_reports; };
  const Get demand = [](const reporter_settings &s) -> long long { return s.demand_count_max; };
  const Get scheduled = [](const reporter_settings &s) -> long long { return s.scheduled_count_max; };
  const Get continuous = [](const reporter_settings &s) -> long long { return s.continuous_count_max; };
  const Get process = [](const reporter_settings &s) -> long long { return s.process_demand_reports; };
  const Get report_size = [](const reporter_settings &s) { return s.max_report_size; };
  const Get temp_size = [](const reporter_settings &s) { return s.max_temp_size; };
  const Get email_size = [](const reporter_settings &s) { return s.max_email_size; };
  const Get maxsize = [](const reporter_settings &s) { return s.report_maxsize; };
  const Get instances = [](const reporter_settings &s) -> long long { return s.max_instances; };
  const Get ip = [](const reporter_settings &s) -> long long { return s.ip_type; };
  const Get warning = [](const reporter_settings &s) -> long long { return s.unused_warning_time; };
  const Get disable = [](const reporter_settings &s) -> long long { return s.unused_disable_time; };
  const Get topk = [](const reporter_settings &s) -> long long { return s.topk_buffer_size; };
  struct Case {
    const char *name, *value;
    Get get;
    long long want;
    bool line;  // the value is refused with a message line
  } cases[] = {
      {"max_parallel_reports", "0", parallel, 1, true},
      {"max_parallel_reports", "-2", parallel, 1, true},
      {"max_parallel_reports", "abc", parallel, 1, true},
      {"max_parallel_reports", "", parallel, 1, true},
      {"max_parallel_reports", "3x", parallel, 1, true},
      {"max_parallel_reports", "2.5", parallel, 1, true},
      {"max_parallel_reports", "99999999999", parallel, 1, true},
      {"max_parallel_reports", " 4 ", parallel, 4, false},
      {"max_parallel_reports", "+2", parallel, 2, false},
      {"concurrent_demand_reports", "abc", demand, 0, true},
      {"concurrent_demand_reports", "-1", demand, 0, true},
      {"concurrent_demand_reports", "3", demand, 3, false},
      {"concurrent_scheduled_reports", "-4", scheduled, 0, true},
      {"concurrent_continuous_reports", "x", continuous, 0, true},
      {"concurrent_normal_reports", "abc", scheduled, 0, true},
      {"process_demand_reports", "yes", process, 0, true},
      {"process_demand_reports", "-1", process, 0, true},
      {"max_report_size", "-5", report_size, 0, true},
      {"max_report_size", "1e9", report_size, 0, true},
      {"max_report_size", "5000000000", report_size, 5000000000LL, false},
      {"max_temp_size", "abc", temp_size, 0, true},
      {"max_email_size", "-1", email_size, 0, true},
      {"report_maxsize", "-1", maxsize, 0, true},
      {"report_maxsize", "lots", maxsize, 0, true},
      {"report_maxsize", "99999999999999999999", maxsize, 0, true},
      {"report_maxsize", "0", maxsize, 0, false},
      {"max_instances", "-2", instances, 0, true},
      {"ip_type", "abc", ip, 3, true},
      {"ip_type", "7", ip, 3, true},
      {"ip_type", "2", ip, 2, false},
      {"unused_warning_time", "-1", warning, 0, true},
      {"unused_warning_time", "soon", warning, 0, true},
      {"unused_disable_time", "-30", disable, 0, true},
      {"unused_disable_time", "99999999999", disable, 0, true},
      {"topk_buffer_size", "-5", topk, 100, true},
      {"topk_buffer_size", "lots", topk, 100, true},
      {"topk_buffer_size", "50", topk, 100, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.name) + "='" + c.value + "'");
    std::string out = load({{"report_dir", "/r"}, {c.name, c.value}});
    EXPECT_EQ(c.get(settings), c.want);
    const std::string line = std::string("SETTINGS: ") + c.name + " '" + c.value + "' is not a valid value; " +
                             std::to_string(c.want) + " is used\n";
    if (c.line) {
      EXPECT_NE(out.find(line), std::string::npos) << out;
    } else {
      EXPECT_EQ(out.find("is not a valid value"), std::string::npos) << out;
    }
  }
  // Both limits of concurrent_normal_reports fall back.
  load({{"concurrent_demand_reports", "4"}, {"concurrent_normal_reports", "-1"}});
  EXPECT_EQ(settings.demand_count_max, 0);
  EXPECT_EQ(settings.scheduled_count_max, 0);
}

TEST_F(SettingsTest, SummaryLines) {
  KX_REQUIRE_DB();
  settings.server_id = 3;
  settings.restricted = 1;
  std::string out = load({{"report_dir", "/srv/r"},
                          {"process_demand_reports", "1"},
                          {"concurrent_continuous_reports", "2"},
                          {"max_parallel_reports", "5"},
                          {"max_temp_size", "77"},
                          {"max_email_size", "88"},
                          {"report_maxsize", "99"},
                          {"unused_warning_time", "30"},
                          {"unused_disable_time", "60"}});
  EXPECT_EQ(out,
            "SETTINGS: server ID 3\n"
            "SETTINGS: restricted for selected reports\n"
            "SETTINGS: continuous report processing disabled\n"
            "SETTINGS: demand report processing enabled\n"
            "SETTINGS: scheduled report processing disabled\n"
            "SETTINGS: maximum concurrent demand reports - 0\n"
            "SETTINGS: maximum concurrent scheduled reports - 0\n"
            "SETTINGS: maximum concurrent continuous reports - 2\n"
            "SETTINGS: maximum parallel reports per thread - 5\n"
            "SETTINGS: reports directory - '/srv/r/'\n"
            "SETTINGS: temp files directory - '/srv/r/'\n"
            "SETTINGS: maximum report size - 0\n"
            "SETTINGS: maximum temporary file size - 77\n"
            "SETTINGS: maximum email message size - 88\n"
            "SETTINGS: maximum size of all reports - 99\n"
            "SETTINGS: maximum report instances - 0\n"
            "SETTINGS: IP address type - 3\n"
            "SETTINGS: unused reports warning delay (days) - 30\n"
            "SETTINGS: unused reports disable delay (days) - 60\n"
            "SETTINGS: fast Top N grouping buffer size - 2000\n");
}

TEST_F(SettingsTest, NoConnectionLeavesTheDefaults) {
  settings.max_parallel_reports = 9;  // not a default: the load starts again from the defaults
  support_db = 0;
  testing::internal::CaptureStderr();
  reporter_load_settings();
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(settings.max_parallel_reports, 1);
  EXPECT_EQ(settings.reports_directory, nullptr);
  EXPECT_NE(out.find("SETTINGS: can serve all reports (is not restricted)\n"), std::string::npos);
  EXPECT_NE(out.find("SETTINGS: reports directory - ''\n"), std::string::npos);
}

}  // namespace
