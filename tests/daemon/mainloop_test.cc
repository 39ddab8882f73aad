// One pass of the main loop against the private MariaDB, on a given clock
// and with a worker-start step that records what it is handed.
#include "src/daemon/mainloop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/base/kxpath.h"
#include "lib/runtime/db.h"
#include "src/daemon/registry.h"
#include "src/report/report.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

time_t g_now = 0;
time_t fake_clock() { return g_now; }

struct Started {
  int kind;
  std::vector<int> ids;  // batch head first
};
std::vector<Started> g_started;
bool g_refuse_start = false;

// Takes the reports as a worker would; the worker "runs" on, so its kind's
// running count stays raised.
int record_worker(int kind, REPORT *rep) {
  if (g_refuse_start) return 1;
  Started s{kind, {}};
  int db = rep->db;
  while (rep) {
    s.ids.push_back(rep->report_id);
    REPORT *next = rep->next_task;
    free_report(rep);
    rep = next;
  }
  db_close(db);
  g_started.push_back(s);
  return 0;
}

const dispatch_ops kOps = {fake_clock, record_worker};

class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(tdb_.ok()) << tdb_.error();
    support_db = tdb_.open_handle();
    ASSERT_NE(support_db, 0);
    admin_ = std::make_unique<kxtest::AdminConnection>(tdb_.name());
    reporter_settings_reset(&settings);
    settings.server_id = 1;
    settings.restricted = 0;
    settings.reports_directory = strdup((store_.path() + "/").c_str());
    settings.demand_count_max = 5;
    settings.scheduled_count_max = 5;
    settings.continuous_count_max = 5;
    settings.max_parallel_reports = 3;
    // A second that is a multiple of 5 (waiting counts) and not of 3600.
    g_now = time(nullptr) / 3600 * 3600 + 605;
    state_ = main_loop_state_at(g_now);
    g_started.clear();
    g_refuse_start = false;
    demand_count = scheduled_count = continuous_count = 0;
    free(kxpath_path);
    kxpath_path = strdup(root_.path().c_str());
    mkdir(root_.file("logs").c_str(), 0755);
  }
  void TearDown() override {
    if (support_db) db_close(support_db);
    support_db = 0;
    reporter_settings_reset(&settings);
  }
  std::string q(const std::string &sql) { return admin_->scalar(sql); }

  kxtest::TestDatabase tdb_{"mainloop"};
  TempDir store_{"kxloopstore"};
  TempDir root_{"kxlooproot"};
  std::unique_ptr<kxtest::AdminConnection> admin_;
  main_loop_state state_;
};

TEST_F(MainLoopTest, DemandJobsClaimedOnceAndDueOnly) {
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login, next_run_time) VALUES "
                           "(1, 'a', 'u', now() - interval 5 second), (2, 'b', 'u', from_unixtime(0)), "
                           "(3, 'c', 'u', now() + interval 1 hour)"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].kind, 1);
  EXPECT_EQ(g_started[0].ids, std::vector<int>{1});
  EXPECT_EQ(demand_count.load(), 1);
  EXPECT_EQ(q("SELECT concat(error_flag, ',', server, ',', status) FROM demand_reports WHERE report_id=1")
                .rfind("1,1,Started Processing [", 0),
            0u);
  EXPECT_NE(log.find("Processing demand report 1 'a' (u)\n"), std::string::npos) << log;
  // Claimed rows are not taken again.
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  EXPECT_EQ(g_started.size(), 1u);
}

TEST_F(MainLoopTest, DemandMaxZeroStillCountsWaiting) {
  settings.demand_count_max = 0;
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login, next_run_time) VALUES "
                           "(1, 'a', 'u', now() - interval 5 second), (2, 'b', 'u', now() - interval 9 second)"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(g_started.empty());
  EXPECT_EQ(stats_num_dem_waiting, 2);
  EXPECT_EQ(stats_num_waiting, 2);
  EXPECT_NE(log.find("Waiting in queue: demand 2; scheduled 0; continuous 0\n"), std::string::npos) << log;
}

TEST_F(MainLoopTest, ScheduledBatchesByIntervalAndTime) {
  ASSERT_TRUE(admin_->exec(
      "INSERT INTO scheduled_reports (report_id, name, login, next_run_time, run_interval) VALUES "
      "(1, 'a', 'u', now() - interval 1 hour, 23), (2, 'b', 'u', now() - interval 1 hour, 23),"
      "(3, 'c', 'u', now() - interval 1 hour, 23), (4, 'd', 'u', now() - interval 1 hour, 23),"
      "(5, 'e', 'u', now() - interval 1 hour, 27), (6, 'f', 'u', now() - interval 30 second, 23)"));
  // Both rows share one next run time to the second.
  ASSERT_TRUE(admin_->exec("UPDATE scheduled_reports SET next_run_time = (SELECT t FROM (SELECT min(next_run_time) t "
                           "FROM scheduled_reports) x) WHERE report_id <= 5"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 3u);
  for (auto &s : g_started) {
    EXPECT_EQ(s.kind, 2);
    std::sort(s.ids.begin(), s.ids.end());
  }
  EXPECT_EQ(g_started[0].ids, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(g_started[1].ids, (std::vector<int>{4}));
  EXPECT_EQ(g_started[2].ids, (std::vector<int>{5}));
  // Less than 60 seconds past: not yet.
  EXPECT_EQ(q("SELECT error_flag FROM scheduled_reports WHERE report_id=6"), "0");
  EXPECT_EQ(scheduled_count.load(), 3);
}

// A pass on a thread of its own. One that has not ended within the bound
// (a generous one) never will: it spins with the queue's table lock held,
// so the test fails and the process ends here.
bool pass_ends(main_loop_state *state) {
  std::packaged_task<bool()> task([state] { return reporter_main_pass(state, kOps); });
  std::future<bool> done = task.get_future();
  std::thread t(std::move(task));
  if (done.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    ADD_FAILURE() << "the pass does not end";
    fflush(nullptr);
    std::_Exit(1);
  }
  t.join();
  return done.get();
}

TEST_F(MainLoopTest, ParallelCountBelowOneStillDispatches) {
  ASSERT_TRUE(admin_->exec("INSERT INTO scheduled_reports (report_id, name, login, next_run_time, run_interval) "
                           "VALUES (1, 'a', 'u', now() - interval 1 hour, 23), (2, 'b', 'u', now() - interval 1 hour, "
                           "23)"));
  ASSERT_TRUE(admin_->exec("UPDATE scheduled_reports SET next_run_time = (SELECT t FROM (SELECT min(next_run_time) t "
                           "FROM scheduled_reports) x)"));
  for (int parallel : {0, -3}) {
    SCOPED_TRACE(parallel);
    ASSERT_TRUE(admin_->exec("UPDATE scheduled_reports SET error_flag=0"));
    g_started.clear();
    scheduled_count = 0;
    settings.max_parallel_reports = parallel;  // as if set past the loader
    testing::internal::CaptureStderr();
    EXPECT_TRUE(pass_ends(&state_));
    testing::internal::GetCapturedStderr();
    // Taken as 1: each job is a batch of its own.
    ASSERT_EQ(g_started.size(), 2u);
    EXPECT_EQ(g_started[0].ids.size(), 1u);
    EXPECT_EQ(g_started[1].ids.size(), 1u);
    EXPECT_EQ(q("SELECT count(*) FROM scheduled_reports WHERE error_flag=1"), "2");
  }
}

// One run interval but two next run times: two periods, so two batches.
TEST_F(MainLoopTest, ScheduledJobsOfOneIntervalAndTwoTimesAreTwoBatches) {
  ASSERT_TRUE(admin_->exec("INSERT INTO scheduled_reports (report_id, name, login, next_run_time, run_interval) "
                           "VALUES (1, 'a', 'u', now() - interval 2 hour, 23), (2, 'b', 'u', now() - interval 1 hour, "
                           "23), (3, 'c', 'u', now() - interval 2 hour, 23)"));
  ASSERT_TRUE(admin_->exec("UPDATE scheduled_reports SET next_run_time = (SELECT t FROM (SELECT min(next_run_time) t "
                           "FROM scheduled_reports) x) WHERE report_id IN (1, 3)"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 2u) << log;
  for (auto &s : g_started) std::sort(s.ids.begin(), s.ids.end());
  EXPECT_EQ(g_started[0].ids, (std::vector<int>{1, 3}));
  EXPECT_EQ(g_started[1].ids, (std::vector<int>{2}));
  EXPECT_EQ(scheduled_count.load(), 2);
}

// Continuous jobs: one worker each, due only past 60 seconds, up to the
// limit; the started counter stays.
TEST_F(MainLoopTest, ContinuousJobsOneWorkerEachWithinTheLimit) {
  settings.continuous_count_max = 2;
  ASSERT_TRUE(admin_->exec(
      "INSERT INTO continuous_reports (report_id, name, login, next_run_time, run_interval, report_table) VALUES "
      "(1, 'a', 'u', now() - interval 3 hour, 23, 't1'), (2, 'b', 'u', now() - interval 2 hour, 23, 't2'),"
      "(3, 'c', 'u', now() - interval 1 hour, 23, 't3'), (4, 'd', 'u', now() - interval 30 second, 23, 't4')"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 2u) << log;
  EXPECT_EQ(g_started[0].kind, 3);
  EXPECT_EQ(g_started[0].ids, std::vector<int>{1});
  EXPECT_EQ(g_started[1].kind, 3);
  EXPECT_EQ(g_started[1].ids, std::vector<int>{2});
  EXPECT_EQ(continuous_count.load(), 2);
  EXPECT_EQ(state_.started, 0);
  EXPECT_EQ(q("SELECT group_concat(report_id ORDER BY report_id) FROM continuous_reports WHERE error_flag=1 AND "
              "server=1"),
            "1,2");
  EXPECT_NE(log.find("Processing continuous report 1 'a' (u) for time "), std::string::npos) << log;
  // A worker ends: the next pass takes the third, never the one not yet due.
  continuous_count = 1;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 3u);
  EXPECT_EQ(g_started[2].ids, std::vector<int>{3});
  EXPECT_EQ(q("SELECT error_flag FROM continuous_reports WHERE report_id=4"), "0");
}

// The hourly unused-report step with delays longer than the clock has run
// (an admin's "practically never"): nothing is that old, so no report is
// stopped and no owner warned; a delay of 30 days stops the idle owner only.
TEST_F(MainLoopTest, UnusedDelaysLongerThanTheEpochStopNothing) {
  g_now = time(nullptr) / 3600 * 3600;  // the step runs on the hour
  ASSERT_TRUE(admin_->exec("INSERT INTO scheduled_reports (report_id, name, login, next_run_time, run_interval, "
                           "email, edited, seen) VALUES (1, 'a', 'busy', now() + interval 1 day, 27, 'b@x.example', "
                           "now(), now()), (2, 'b', 'idle', now() + interval 1 day, 27, '', now() - interval 90 day, "
                           "now() - interval 90 day)"));
  for (int days : {30000, 2147483647}) {
    SCOPED_TRACE(days);
    settings.unused_warning_time = settings.unused_disable_time = days;
    testing::internal::CaptureStderr();
    reporter_main_pass(&state_, kOps);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(q("SELECT group_concat(error_flag ORDER BY report_id) FROM scheduled_reports"), "0,0");
    EXPECT_EQ(q("SELECT count(*) FROM unused_warnings"), "0");
  }
  settings.unused_warning_time = 0;
  settings.unused_disable_time = 30;
  testing::internal::CaptureStderr();
  reporter_main_pass(&state_, kOps);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(q("SELECT group_concat(error_flag ORDER BY report_id) FROM scheduled_reports"), "0,3");
}

TEST_F(MainLoopTest, OneScheduledBatchWhenOnlyOneMayRun) {
  settings.scheduled_count_max = 1;
  ASSERT_TRUE(admin_->exec("INSERT INTO scheduled_reports (report_id, name, login, next_run_time, run_interval) "
                           "VALUES (1, 'a', 'u', now() - interval 2 hour, 23), (2, 'b', 'u', now() - interval 1 hour, "
                           "27)"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(q("SELECT error_flag FROM scheduled_reports WHERE report_id=2"), "0");
}

TEST_F(MainLoopTest, PoisonRowFailsAndTheQueueGoesOn) {
  ASSERT_TRUE(admin_->exec("ALTER TABLE demand_reports MODIFY name VARCHAR(255) NULL"));
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login, next_run_time) VALUES "
                           "(1, NULL, 'u', now() - interval 9 second), (2, 'good', 'u', now() - interval 5 second)"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(g_started.size(), 1u);
  EXPECT_EQ(g_started[0].ids, std::vector<int>{2});
  EXPECT_EQ(q("SELECT error_flag FROM demand_reports WHERE report_id=1"), "2");
}

TEST_F(MainLoopTest, WorkerThatCannotStartReleasesItsClaim) {
  g_refuse_start = true;
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login, next_run_time) VALUES "
                           "(1, 'a', 'u', now() - interval 9 second)"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(demand_count.load(), 0);
  EXPECT_EQ(q("SELECT concat(error_flag, '/', status) FROM demand_reports WHERE report_id=1"), "0/");
  // The lock is gone: the next pass takes the job.
  g_refuse_start = false;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(g_started.size(), 1u);
}

TEST_F(MainLoopTest, CancelRequestsAgeOut) {
  REPORT running;
  running.report_type = 1;
  running.report_id = 7;
  processed_reports_add(&running);
  ASSERT_TRUE(admin_->exec("INSERT INTO cancel_report (report_id, type, time, server) VALUES "
                           "(7, 'd', " + std::to_string(g_now) + ", 1), (8, 's', " + std::to_string(g_now) + ", 1)"));
  testing::internal::CaptureStderr();
  reporter_main_pass(&state_, kOps);
  EXPECT_EQ(running.cancel.load(), 1);
  EXPECT_EQ(q("SELECT group_concat(report_id) FROM cancel_report"), "8");
  g_now += 60;
  reporter_main_pass(&state_, kOps);
  EXPECT_EQ(q("SELECT count(*) FROM cancel_report"), "1");
  g_now += 1;
  reporter_main_pass(&state_, kOps);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(q("SELECT count(*) FROM cancel_report"), "0");
  processed_reports_del(&running);
}

TEST_F(MainLoopTest, MaintenanceAfterSixStartedReports) {
  std::string orphan = store_.path() + "/7/7123/";
  std::filesystem::create_directories(orphan);
  state_.started = 5;
  testing::internal::CaptureStderr();
  reporter_main_pass(&state_, kOps);
  EXPECT_TRUE(std::filesystem::exists(orphan));
  state_.started = 6;
  reporter_main_pass(&state_, kOps);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(std::filesystem::exists(orphan));
  EXPECT_EQ(state_.started, 0);
  EXPECT_EQ(state_.next_maintenance, g_now + 3600);
}

TEST_F(MainLoopTest, DeletionQueueRefusals) {
  std::string logs = root_.file("logs") + "/";
  std::string good = logs + "kxlogger_requests_bin_1.log";
  std::ofstream(good) << "x";
  std::string dir = logs + "kxlogger_requests_dir";
  mkdir(dir.c_str(), 0755);
  std::string victim = root_.file("victim");
  std::ofstream(victim) << "x";
  std::string sneaky = logs + "kxlogger_requests_x/../../victim";
  ASSERT_TRUE(admin_->exec("INSERT INTO delete_files (fid, path, server) VALUES (1, '" + good + "', 1), (2, '" +
                           dir + "', 1), (3, '/etc/passwd', 1), (4, '" + sneaky + "', 1), (5, '" + logs +
                           "kxlogger_requests_gone.log', 1)"));
  testing::internal::CaptureStderr();
  reporter_main_pass(&state_, kOps);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(std::filesystem::exists(good));
  EXPECT_TRUE(std::filesystem::exists(dir));
  EXPECT_TRUE(std::filesystem::exists(victim));
  EXPECT_TRUE(std::filesystem::exists("/etc/passwd"));
  EXPECT_EQ(q("SELECT count(*) FROM delete_files"), "0");
  EXPECT_NE(log.find("Can't remove file '/etc/passwd': wrong name\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Can't remove '" + dir + "': is not a regular file\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Can't remove file '" + sneaky + "': wrong name\n"), std::string::npos) << log;
}

}  // namespace
