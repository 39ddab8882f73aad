// The real daemon end to end against the private MariaDB: request logs in
// its ../logs, jobs in the queue, finished tables in its store, rows and
// mails through the stand-in script; also the faults a daemon meets (a bad
// definition, a poison row, a cancel, a stop during a report).
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/record/record.h"
#include "src/table/table.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

// A table file's rows as (key text, counters by field id).
struct Row {
  std::string key;
  std::map<int, long long> counters;
  std::string link;  // field 18
};

std::vector<Row> read_table(const std::string &path) {
  std::vector<Row> rows;
  TABLE *t = table_open(TABLE_READ, nullptr, path.c_str(), nullptr, 0, 0);
  if (!t) return rows;
  while (table_read_record(t) == -1) {
    Row r;
    for (RECORD *e = t->rec; e->type; e++) {
      if (e == t->rec) {
        const char *text = record_value_text(*e);
        r.key = text ? text : std::to_string(record_value_uint(*e));
      } else if (e->type == 18) {
        const char *text = record_value_text(*e);
        r.link = text ? text : "";
      } else {
        r.counters[e->type] = static_cast<long long>(record_value_uint(*e));
      }
    }
    rows.push_back(r);
  }
  table_close(t);
  return rows;
}

class E2E : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(d_.ok());
    ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('report_dir', '" + d_.store() +
                                "'), ('temp_dir', '" + d_.root() + "/tmp/'), "
                                "('process_demand_reports', '1'), ('process_scheduled_reports', '1'), "
                                "('process_continuous_reports', '1'), ('concurrent_demand_reports', '2'), "
                                "('concurrent_scheduled_reports', '2'), ('concurrent_continuous_reports', '2'), "
                                "('max_parallel_reports', '3')"));
    std::filesystem::create_directories(d_.root() + "/tmp");
  }
  void TearDown() override {
    if (d_.running()) d_.stop(SIGTERM);
  }

  // n standard binary records from t0, 10 seconds apart, as one log.
  std::vector<reqlog::SbRecord> write_logs(int n, time_t t0, const std::string &name = "kxlogger_requests_bin_1") {
    auto recs = reqlog::sb_sample(n, static_cast<int32_t>(t0), 10);
    reqlog::write_log(d_.root() + "/logs", name, reqlog::sb_image(recs));
    return recs;
  }

  template <typename Pred>
  std::string wait_for(const std::string &sql, Pred pred, int seconds = 60) {
    return d_.wait_for_sql(sql, pred, seconds);
  }
  std::string wait_status(const std::string &table, int id, const std::string &prefix, int seconds = 60) {
    return wait_for(
        "select status from " + table + " where report_id=" + std::to_string(id),
        [&](const std::string &v) { return v.rfind(prefix, 0) == 0 || v.rfind("Error", 0) == 0; }, seconds);
  }

  kxtest::DaemonSandbox d_{"e2e"};
};

std::string two_level(time_t from, time_t to) { return kxtest::definition_of(kxtest::kTwoLevelDefinition, from, to); }

TEST_F(E2E, DemandReportThroughBothStages) {
  const time_t t0 = time(nullptr) - 7200;
  auto recs = write_logs(100, t0);
  ASSERT_TRUE(d_.admin().exec("insert into demand_reports (report_id, name, login, email, next_run_time, "
                              "definition) values (1, 'Top users', 'admin', 'admin@x.example', now() - interval 2 "
                              "second, '" +
                              two_level(t0, t0 + 2000) + "')"));
  ASSERT_TRUE(d_.start());
  std::string status = wait_status("demand_reports", 1, "Processed Ok");
  ASSERT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error") << d_.log("message");

  std::string path = d_.admin().scalar("select path from demand_report_instance where report_id=1");
  ASSERT_EQ(path.rfind(d_.store(), 0), 0u) << path;
  EXPECT_EQ(d_.admin().scalar("select next_run_time from demand_reports where report_id=1"), "0000-00-00 00:00:00");

  // Totals counted here from the records written, not by the engine.
  std::map<std::string, long long> hits, denied;
  for (const auto &r : recs)
    if (r.time <= t0 + 2000) {
      hits[r.user]++;
      denied[r.user] += r.denied;
    }
  auto root = read_table(path + "root");
  ASSERT_EQ(root.size(), hits.size());
  long long previous = -1;
  for (const Row &row : root) {
    EXPECT_EQ(row.counters.at(9), hits[row.key]) << row.key;
    EXPECT_EQ(row.counters.at(11), denied[row.key]) << row.key;
    EXPECT_EQ(row.counters.at(10), hits[row.key] - denied[row.key]) << row.key;
    if (previous >= 0) {
      EXPECT_LE(row.counters.at(9), previous);  // ordered by hits, descending
    }
    previous = row.counters.at(9);
    // The second level: the user's domains, adding up to the user's hits.
    ASSERT_FALSE(row.link.empty()) << row.key;
    long long sum = 0;
    for (const Row &sub : read_table(path + row.link)) {
      EXPECT_EQ(sub.key.rfind("example", 0), 0u) << sub.key;  // www.exampleN.com -> exampleN.com
      sum += sub.counters.at(9);
    }
    EXPECT_EQ(sum, hits[row.key]) << row.key;
  }

  // The mail names the new instance.
  std::string rid = d_.admin().scalar("select rid from demand_report_instance where report_id=1");
  // The mail goes out after the status is saved: the run's last line follows it.
  ASSERT_TRUE(d_.wait_for_log("message", "Finish demand report 1\n"));
  EXPECT_NE(kxtest::read_text_file(d_.root() + "/mail.txt").find("d" + rid + "\n"), std::string::npos);
  EXPECT_TRUE(d_.wait_for_log("message", "Finish demand report 1\n"));
}

TEST_F(E2E, ScheduledBatchOfThree) {
  // Daily reports due at today's midnight cover yesterday.
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  const time_t midnight = mktime(&tm);
  write_logs(300, midnight - 86400 + 3600);
  std::string def =
      "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\nuser=== \"user1\"\n";
  for (int id = 1; id <= 3; id++)
    ASSERT_TRUE(d_.admin().exec("insert into scheduled_reports (report_id, name, login, next_run_time, run_interval, "
                                "definition) values (" +
                                std::to_string(id) + ", 's', 'admin', from_unixtime(" + std::to_string(midnight) +
                                "), 27, '" + def + "')"));
  ASSERT_TRUE(d_.start());
  for (int id = 1; id <= 3; id++)
    EXPECT_EQ(wait_status("scheduled_reports", id, "Processed Ok").rfind("Processed Ok", 0), 0u) << d_.log("error");
  EXPECT_EQ(d_.admin().scalar("select count(*) from scheduled_report_instance"), "3");
  // The next run is a day later.
  EXPECT_EQ(d_.admin().scalar("select count(*) from scheduled_reports where unix_timestamp(next_run_time)=" +
                              std::to_string(midnight + 86400)),
            "3");
}

TEST_F(E2E, BadDefinitionAndPoisonRowDoNotBlockTheQueue) {
  const time_t t0 = time(nullptr) - 7200;
  write_logs(50, t0);
  ASSERT_TRUE(d_.admin().exec("ALTER TABLE demand_reports MODIFY name VARCHAR(255) NULL"));
  ASSERT_TRUE(d_.admin().exec(
      "insert into demand_reports (report_id, name, login, next_run_time, definition) values "
      "(1, NULL, 'admin', now() - interval 9 second, 'x'),"
      "(2, 'bad', 'admin', now() - interval 8 second, '[general]\nversion=1\n'),"
      "(3, 'good', 'admin', now() - interval 7 second, '" +
      two_level(t0, t0 + 600) + "')"));
  ASSERT_TRUE(d_.start());
  EXPECT_EQ(wait_status("demand_reports", 3, "Processed Ok").rfind("Processed Ok", 0), 0u) << d_.log("error");
  EXPECT_EQ(d_.admin().scalar("select error_flag from demand_reports where report_id=1"), "2");
  EXPECT_EQ(wait_status("demand_reports", 2, "Error"), "Error 10106: (def) No report groups found");
  EXPECT_EQ(d_.admin().scalar("select error_flag from demand_reports where report_id=2"), "2");
}

TEST_F(E2E, ContinuousReportRowsInItsTable) {
  const time_t now = time(nullptr);
  // An hourly continuous report due at the start of this hour covers the last one.
  const time_t hour = now / 3600 * 3600;
  write_logs(200, hour - 3600 + 5);
  std::string def = "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n";
  ASSERT_TRUE(d_.admin().exec("insert into continuous_reports (report_id, name, login, next_run_time, run_interval, "
                              "report_table, definition) values (1, 'c', 'admin', from_unixtime(" +
                              std::to_string(hour) + "), 23, 'cont_users', '" + def + "')"));
  ASSERT_TRUE(d_.start());
  EXPECT_EQ(wait_status("continuous_reports", 1, "Processed Ok").rfind("Processed Ok", 0), 0u) << d_.log("error");
  EXPECT_NE(d_.admin().scalar("select count(*) from cont_users"), "0");
  EXPECT_EQ(d_.admin().scalar("select count(*) from cont_users_di"), "1");
}

TEST_F(E2E, StopDuringAReportAndTheJobCompletesAfterRestart) {
  const time_t t0 = time(nullptr) - 86400;
  // The report's language is looked up with the category script while the
  // job runs; this one waits while the hold file exists, so the stop comes
  // during the report however fast or slow the machine is.
  const std::string hold = d_.root() + "/hold", held = d_.root() + "/held";
  kxtest::hold_category_script(d_.root(), "xx_HOLD", held, hold);
  { std::ofstream f(hold); }
  auto recs = reqlog::sb_sample(200, static_cast<int32_t>(t0), 1);
  for (size_t i = 0; i < recs.size(); i++) {
    recs[i].user = "u";
    recs[i].user += std::to_string(i);
  }
  reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_1", reqlog::sb_image(recs));
  const std::string def = kxtest::definition_of(kxtest::kTwoLevelDefinition, t0, t0 + 86400, "language=xx_HOLD\n");
  ASSERT_TRUE(d_.admin().exec("insert into demand_reports (report_id, name, login, next_run_time, definition) values "
                              "(1, 'r', 'admin', now() - interval 2 second, '" + def + "')"));
  ASSERT_TRUE(d_.start());
  ASSERT_TRUE(d_.wait_for_path(held)) << d_.log("error") << d_.log("message");
  EXPECT_EQ(d_.admin().scalar("select error_flag from demand_reports where report_id=1"), "1");
  int status = d_.stop(SIGTERM);
  std::filesystem::remove(hold);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Stopped in the middle: claimed, no outcome, no instance.
  EXPECT_EQ(d_.admin().scalar("select error_flag from demand_reports where report_id=1"), "1");
  EXPECT_EQ(d_.admin().scalar("select count(*) from demand_report_instance where report_id=1"), "0");
  // Released at the next start, then done exactly once.
  ASSERT_TRUE(d_.start());
  EXPECT_EQ(wait_status("demand_reports", 1, "Processed Ok", 100).rfind("Processed Ok", 0), 0u) << d_.log("error");
  EXPECT_EQ(d_.admin().scalar("select count(*) from demand_report_instance where report_id=1"), "1");
  // Every user's table was made: the second run did the whole report.
  std::string path = d_.admin().scalar("select path from demand_report_instance where report_id=1");
  auto root = read_table(path + "root");
  EXPECT_EQ(root.size(), recs.size()) << path;
  for (const Row &row : root) EXPECT_EQ(read_table(path + row.link).size(), 1u) << row.key;
}

}  // namespace

namespace {

TEST_F(E2E, DemandWithoutDateRangeAndThresholdsDecideTheMail) {
  const time_t t0 = time(nullptr) - 7200;
  write_logs(50, t0);
  char range[96];
  snprintf(range, sizeof range, "date=@ %lld %lld\n", static_cast<long long>(t0), static_cast<long long>(t0 + 600));
  const std::string group = "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n";
  ASSERT_TRUE(d_.admin().exec(
      "insert into demand_reports (report_id, name, login, email, next_run_time, definition) values "
      "(1, 'no dates', 'admin', '', now() - interval 9 second, '" + group +
      "[static_filter]\nuser=== \"user1\"\n'),"
      "(2, 'unreached', 'admin', 'a@x.example', now() - interval 8 second, '" + group +
      "threshold=request_count:> 1000000\n[static_filter]\n" + range + "'),"
      "(3, 'reached', 'admin', 'b@x.example', now() - interval 7 second, '" + group +
      "threshold=request_count:>= 1\n[static_filter]\n" + range + "')"));
  ASSERT_TRUE(d_.start());
  EXPECT_EQ(wait_status("demand_reports", 1, "Error"), "Error 10431: (process) Date Range Not Found or Invalid");
  EXPECT_EQ(wait_status("demand_reports", 2, "Processed Ok").rfind("Processed Ok", 0), 0u) << d_.log("error");
  EXPECT_EQ(wait_status("demand_reports", 3, "Processed Ok").rfind("Processed Ok", 0), 0u) << d_.log("error");
  // Only the report whose threshold was reached mails.
  std::string rid3 = d_.admin().scalar("select rid from demand_report_instance where report_id=3");
  std::string rid2 = d_.admin().scalar("select rid from demand_report_instance where report_id=2");
  // The mails go out after the status is saved: the run's last line follows them.
  ASSERT_TRUE(d_.wait_for_log("message", "Finish demand report 2\n"));
  ASSERT_TRUE(d_.wait_for_log("message", "Finish demand report 3\n"));
  std::string mails = kxtest::read_text_file(d_.root() + "/mail.txt");
  EXPECT_NE(mails.find("d" + rid3 + "\n"), std::string::npos) << mails;
  EXPECT_EQ(mails.find("d" + rid2 + "\n"), std::string::npos) << mails;
}

TEST_F(E2E, InstanceLimitDropsTheOldest) {
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  const time_t midnight = mktime(&tm);
  write_logs(20, midnight - 86400 + 3600);
  ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('max_instances', '5')"));
  for (int i = 1; i <= 5; i++)
    ASSERT_TRUE(d_.admin().exec("insert into scheduled_report_instance (report_id, path, server, started_at, "
                                "finished_at) values (1, '/nowhere/', 5, now() - interval " +
                                std::to_string(10 - i) + " day, now() - interval " + std::to_string(10 - i) + " day)"));
  ASSERT_TRUE(d_.admin().exec("insert into scheduled_reports (report_id, name, login, next_run_time, run_interval, "
                              "definition) values (1, 'daily', 'admin', from_unixtime(" +
                              std::to_string(midnight) +
                              "), 27, '[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n')"));
  ASSERT_TRUE(d_.start());
  EXPECT_EQ(wait_status("scheduled_reports", 1, "Processed Ok").rfind("Processed Ok", 0), 0u) << d_.log("error");
  EXPECT_EQ(d_.admin().scalar("select count(*) from scheduled_report_instance"), "5");
  // The oldest (nine days) went; the new one stays.
  EXPECT_EQ(d_.admin().scalar("select count(*) from scheduled_report_instance where finished_at < now() - interval 8 "
                              "day - interval 12 hour"),
            "0");
  EXPECT_TRUE(d_.wait_for_log("message", "Delete 1 oldest instances of scheduled report 1 'daily' (admin) that exceed "
                                         "max number of instances (5)\n"));
}

}  // namespace
