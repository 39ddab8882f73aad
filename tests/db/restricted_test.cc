// Which jobs of the shared queue a server takes and counts, against the
// private MariaDB: a server that is not restricted runs the jobs assigned to
// no server and those assigned to it; a restricted one only those assigned
// to it; neither touches a job assigned only to another server. One pass of
// the daemon's own loop per case, with a worker-start step that records the
// jobs it is handed.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/base/kxpath.h"
#include "lib/runtime/db.h"
#include "src/daemon/mainloop.h"
#include "src/daemon/registry.h"
#include "src/report/report.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

time_t g_now = 0;
time_t fake_clock() { return g_now; }

// Job ids handed to workers, by kind (1 demand, 2 scheduled, 3 continuous).
std::map<int, std::set<int>> g_taken;

int record_worker(int kind, REPORT *rep) {
  int db = rep->db;
  while (rep) {
    g_taken[kind].insert(rep->report_id);
    REPORT *next = rep->next_task;
    free_report(rep);
    rep = next;
  }
  db_close(db);
  return 0;
}

const dispatch_ops kOps = {fake_clock, record_worker};

const char *const kTables[] = {nullptr, "demand_reports", "scheduled_reports", "continuous_reports"};

class Restricted : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(tdb_.ok()) << tdb_.error();
    support_db = tdb_.open_handle();
    ASSERT_NE(support_db, 0);
    admin_ = std::make_unique<kxtest::AdminConnection>(tdb_.name());
    reporter_settings_reset(&settings);
    settings.server_id = 1;
    settings.restricted = GetParam();
    settings.reports_directory = strdup((store_.path() + "/").c_str());
    settings.max_parallel_reports = 10;
    // A second that is a multiple of 5 (the waiting counts) and not of 3600.
    g_now = time(nullptr) / 3600 * 3600 + 605;
    g_taken.clear();
    demand_count = scheduled_count = continuous_count = 0;
    free(kxpath_path);
    kxpath_path = strdup(root_.path().c_str());
    mkdir(root_.file("logs").c_str(), 0755);
    state_ = main_loop_state_at(g_now);
  }
  void TearDown() override {
    if (support_db) db_close(support_db);
    support_db = 0;
    reporter_settings_reset(&settings);
  }
  void set_limits(int n) {
    settings.demand_count_max = settings.scheduled_count_max = settings.continuous_count_max = n;
  }

  kxtest::TestDatabase tdb_{"restricted"};
  TempDir store_{"kxrestrstore"};
  TempDir root_{"kxrestrroot"};
  std::unique_ptr<kxtest::AdminConnection> admin_;
  main_loop_state state_;
};

// Jobs 1 to 6 of every kind (numbered 11-16, 21-26 and 31-36, so a row of
// another kind names no job of that kind), all due:
//   1 assigned to no server          4 assigned to servers 1 and 2
//   2 assigned to this server (1)    5 only a row of another kind, for 2
//   3 assigned to server 2           6 a row of another kind for 1, its own for 2
TEST_P(Restricted, ClaimsAndCountsFollowTheAssignments) {
  for (int kind = 1; kind <= 3; kind++) {
    // One run interval and one next run time: the scheduled ones make one batch.
    const bool interval = kind != 1;
    std::string rows;
    for (int id = 1; id <= 6; id++) {
      if (id > 1) rows += ",";
      // Appended piece by piece: GCC 12 reads "(" + text as a false -Wrestrict.
      rows += '(';
      rows += std::to_string(10 * kind + id);
      rows += ", 'r', 'u', from_unixtime(";
      rows += std::to_string(time(nullptr) / 60 * 60 - 600);
      rows += interval ? "), 23)" : "))";
    }
    ASSERT_TRUE(admin_->exec(std::string("insert into ") + kTables[kind] + " (report_id, name, login, next_run_time" +
                             (interval ? ", run_interval" : "") + ") values " + rows))
        << admin_->error();
    const int other = kind % 3 + 1;
    auto assign = [&](int id, int type, int server) {
      return "(" + std::to_string(10 * kind + id) + "," + std::to_string(type) + "," + std::to_string(server) + ")";
    };
    ASSERT_TRUE(admin_->exec("insert into run_on_servers (report_id, type, server) values " + assign(2, kind, 1) + "," +
                             assign(3, kind, 2) + "," + assign(4, kind, 1) + "," + assign(4, kind, 2) + "," +
                             assign(5, other, 2) + "," + assign(6, other, 1) + "," + assign(6, kind, 2)))
        << admin_->error();
  }
  const std::vector<int> mine = GetParam() ? std::vector<int>{2, 4} : std::vector<int>{1, 2, 4, 5};

  // Nothing may run: every job is only counted.
  set_limits(0);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(g_taken.empty());
  const int n = static_cast<int>(mine.size());
  EXPECT_EQ(stats_num_dem_waiting, n);
  EXPECT_EQ(stats_num_sched_waiting, n);
  EXPECT_EQ(stats_num_cont_waiting, n);
  EXPECT_EQ(stats_num_waiting, 3 * n);

  // Room for all: each kind takes its own jobs, once, and leaves the others.
  set_limits(10);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  ASSERT_TRUE(reporter_main_pass(&state_, kOps));
  testing::internal::GetCapturedStderr();
  for (int kind = 1; kind <= 3; kind++) {
    SCOPED_TRACE(kTables[kind]);
    std::set<int> want;
    std::string ids;
    for (int id : mine) {
      want.insert(10 * kind + id);
      ids += (ids.empty() ? "" : ",") + std::to_string(10 * kind + id);
    }
    EXPECT_EQ(g_taken[kind], want);
    EXPECT_EQ(admin_->scalar(std::string("select group_concat(report_id order by report_id) from ") + kTables[kind] +
                             " where error_flag=1 and server=1"),
              ids);
    EXPECT_EQ(admin_->scalar(std::string("select count(*) from ") + kTables[kind] +
                             " where error_flag=0 and server is null"),
              std::to_string(6 - n));
  }
}

INSTANTIATE_TEST_SUITE_P(Server, Restricted, ::testing::Values(0, 1),
                         [](const auto &info) { return info.param ? std::string("Restricted") : std::string("Open"); });

}  // namespace
