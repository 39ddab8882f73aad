// Cancelling scheduled jobs through the real daemon and MariaDB: the
// administration files a row in cancel_report; the daemon stops the run of
// a report that is running and leaves waiting jobs as they are.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

namespace fs = std::filesystem;

class Cancel : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(d_.ok());
    // A second server, elsewhere.
    ASSERT_TRUE(d_.admin().exec("insert into servers (id, ip) values (6, '10.213.7.10')"));
    fs::create_directories(temp());
    ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('report_dir', '" + d_.store() +
                                "'), ('temp_dir', '" + temp() +
                                "'), ('concurrent_demand_reports', '2'), ('concurrent_scheduled_reports', '2'), "
                                "('max_parallel_reports', '1')"));
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    midnight_ = mktime(&tm);
    // Yesterday's records, which a daily job due at midnight reads.
    reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_1",
                      reqlog::sb_image(reqlog::sb_sample(50, static_cast<int32_t>(midnight_ - 86400 + 60), 10)));
  }
  void TearDown() override {
    if (d_.running()) d_.stop(SIGTERM);
  }

  std::string temp() const { return d_.root() + "/tmp/"; }
  std::string scalar(const std::string &sql) { return d_.admin().scalar(sql); }

  // A daily scheduled job due at due.
  void schedule(int id, time_t due, const std::string &general = "") {
    const std::string def = "[general]\nversion=1\n" + general + "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n";
    ASSERT_TRUE(d_.admin().exec("insert into scheduled_reports (report_id, name, login, next_run_time, run_interval, "
                                "definition) values (" +
                                std::to_string(id) + ", 'daily', 'admin', from_unixtime(" + std::to_string(due) +
                                "), 27, '" + def + "')"))
        << d_.admin().error();
  }
  void request_cancel(int id, const std::string &time_sql, int server = 5) {
    ASSERT_TRUE(d_.admin().exec("insert into cancel_report (report_id, type, time, server) values (" +
                                std::to_string(id) + ", 's', " + time_sql + ", " + std::to_string(server) + ")"))
        << d_.admin().error();
  }
  std::string wait_for(const std::string &sql, const std::string &want, int seconds = 60) {
    return d_.wait_for_sql(sql, [&](const std::string &v) { return v == want; }, seconds);
  }
  // Two whole passes of the main loop have run from here on: an old cancel
  // request for no report goes in the first pass that reads it.
  void two_passes() {
    for (int i = 0; i < 2; i++) {
      ASSERT_TRUE(d_.admin().exec("insert into cancel_report (report_id, type, time, server) values "
                                  "(999, 'd', 0, 5)"));
      ASSERT_EQ(wait_for("select count(*) from cancel_report where report_id=999", "0"), "0");
    }
  }

  kxtest::DaemonSandbox d_{"cancel"};
  time_t midnight_ = 0;
};

TEST_F(Cancel, WaitingJobKeepsItsRowAndOnlyOldRequestsGo) {
  // Jobs 1 and 2 wait for tomorrow.
  schedule(1, midnight_ + 86400);
  schedule(2, midnight_ + 86400);
  request_cancel(1, "unix_timestamp() - 120");
  request_cancel(2, "unix_timestamp()");
  request_cancel(3, "unix_timestamp() - 120", 6);  // another server's request
  ASSERT_TRUE(d_.start());
  ASSERT_EQ(wait_for("select count(*) from cancel_report where report_id=1 and server=5", "0"), "0")
      << d_.log("error");
  // Read in the same pass: the request for job 2 is younger than a minute
  // and waits for a run; the other server's request is not this server's.
  EXPECT_EQ(scalar("select count(*) from cancel_report where report_id=2"), "1");
  EXPECT_EQ(scalar("select count(*) from cancel_report where server=6"), "1");
  // Nothing of the jobs changed.
  EXPECT_EQ(scalar("select group_concat(concat(error_flag, '/', ifnull(status, ''), '/', "
                   "unix_timestamp(next_run_time)) order by report_id) from scheduled_reports"),
            "0//" + std::to_string(midnight_ + 86400) + ",0//" + std::to_string(midnight_ + 86400));

  // Job 1 falls due later: the request that went is no cancel of that run.
  ASSERT_TRUE(d_.admin().exec("update scheduled_reports set next_run_time=from_unixtime(" + std::to_string(midnight_) +
                              ") where report_id=1"));
  const std::string status = d_.wait_for_sql(
      "select status from scheduled_reports where report_id=1",
      [](const std::string &v) { return v.rfind("Processed Ok", 0) == 0 || v.rfind("Error", 0) == 0 || v == "Stopped by user"; });
  EXPECT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  EXPECT_EQ(scalar("select count(*) from scheduled_report_instance where report_id=1"), "1");
  EXPECT_EQ(kxtest::count_of(d_.log("message"), "Canceled"), 0u) << d_.log("message");
}

TEST_F(Cancel, RunningJobStopsWithoutInstanceAndWaitsForItsNextPeriod) {
  const std::string hold = d_.root() + "/hold", held = d_.root() + "/held";
  kxtest::hold_category_script(d_.root(), "xx_HOLD", held, hold);
  { std::ofstream f(hold); }
  schedule(3, midnight_, "language=xx_HOLD\n");
  ASSERT_TRUE(d_.start());
  ASSERT_TRUE(d_.wait_for_path(held)) << d_.log("error") << d_.log("message");
  EXPECT_EQ(scalar("select concat(error_flag, '/', server) from scheduled_reports where report_id=3"), "1/5");

  // The request reaches the running report and goes in the same pass.
  request_cancel(3, "unix_timestamp()");
  EXPECT_EQ(wait_for("select count(*) from cancel_report", "0"), "0") << d_.log("error");
  fs::remove(hold);

  EXPECT_EQ(wait_for("select status from scheduled_reports where report_id=3", "Stopped by user"), "Stopped by user")
      << d_.log("error") << d_.log("message");
  ASSERT_TRUE(d_.wait_for_log("message", "Canceled scheduled report 3\n"));
  // Released, not failed; due again at its next period, not at once.
  EXPECT_EQ(scalar("select concat(error_flag, '/', server, '/', unix_timestamp(next_run_time)) from "
                   "scheduled_reports where report_id=3"),
            "0/5/" + std::to_string(midnight_ + 86400));
  EXPECT_EQ(scalar("select count(*) from scheduled_report_instance"), "0");
  EXPECT_TRUE(kxtest::files_below(temp()).empty());

  // Later passes leave it alone: it ran once.
  two_passes();
  EXPECT_EQ(scalar("select concat(error_flag, '/', status) from scheduled_reports where report_id=3"),
            "0/Stopped by user");
  const std::string log = d_.log("message");
  EXPECT_EQ(kxtest::count_of(log, "Processing scheduled report 3 "), 1u) << log;
  EXPECT_EQ(kxtest::count_of(log, "Canceled scheduled report 3\n"), 1u) << log;
  EXPECT_EQ(d_.log("error").find("scheduled report 3"), std::string::npos) << d_.log("error");

  // What the stopped run wrote belongs to no instance: it stays until the
  // store cleaning, here the one at the next start.
  EXPECT_FALSE(kxtest::files_below(d_.store()).empty());
  d_.stop(SIGTERM);
  ASSERT_TRUE(d_.start());
  two_passes();
  EXPECT_TRUE(kxtest::files_below(d_.store()).empty());
}

}  // namespace
