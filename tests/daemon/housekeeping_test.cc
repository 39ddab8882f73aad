// Report store housekeeping against the private MariaDB and a store in a
// temporary folder.
#include "src/daemon/housekeeping.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "src/daemon/registry.h"
#include "src/report/report.h"
#include "src/support/runtime.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

TEST(HousekeepingPaths, InsideTheStoreOnly) {
  struct {
    const char *path, *dir;
    bool inside;
  } cases[] = {
      {"/store/7/7123/", "/store/", true},
      {"/store/", "/store/", false},
      {"/other/7/7123/", "/store/", false},
      {"/store/7/../../etc/", "/store/", false},
      {"/store/7/..", "/store/", false},
      {"/store/7/a..b/", "/store/", true},
      {nullptr, "/store/", false},
      {"/store/7/", "", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(housekeeping_path_inside(c.path, c.dir), c.inside) << (c.path ? c.path : "(null)");
}

TEST(HousekeepingPaths, LookupDirectory) {
  const char *sorted[] = {"/s/1/a/", "/s/1/b/", "/s/2/c/", "/s/3/d/"};
  char **dirs = const_cast<char **>(sorted);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/1/a/"), 0);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/3/d/"), 3);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/2/c/"), 2);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/1/b/"), 1);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/0/"), -1);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/9/"), -1);
  EXPECT_EQ(reporter_lookup_directory(dirs, 4, "/s/2/b/"), -1);
  EXPECT_EQ(reporter_lookup_directory(nullptr, 0, "/s/1/a/"), -1);
}

class HousekeepingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(tdb_.ok()) << tdb_.error();
    db_ = tdb_.open_handle();
    ASSERT_NE(db_, 0);
    admin_ = std::make_unique<kxtest::AdminConnection>(tdb_.name());
    settings.server_id = 1;
    store_ = store_dir_.path() + "/";
  }
  void TearDown() override {
    if (db_) db_close(db_);
  }
  // An instance directory with one file in it.
  std::string make_instance(const std::string &first, const std::string &second) {
    std::string a = store_ + first + "/";
    mkdir(a.c_str(), 0755);
    std::string b = a + second + "/";
    mkdir(b.c_str(), 0755);
    std::ofstream(b + "1.tbl") << "x";
    return b;
  }
  void add_demand_instance(const std::string &path, long size, const std::string &started, int report_id = 1) {
    ASSERT_TRUE(admin_->exec("INSERT INTO demand_report_instance (report_id, path, server, started_at, finished_at, "
                             "size) VALUES (" +
                             std::to_string(report_id) + ", '" + path + "', 1, " + started + ", " + started + ", " +
                             std::to_string(size) + ")"))
        << admin_->error();
  }
  std::string count(const char *table) { return admin_->scalar(std::string("SELECT count(*) FROM ") + table); }

  kxtest::TestDatabase tdb_{"housekeeping"};
  TempDir store_dir_{"kxstore"};
  std::string store_;
  int db_ = 0;
  std::unique_ptr<kxtest::AdminConnection> admin_;
};

TEST_F(HousekeepingTest, UnownedDirectoriesGoOverTwoRuns) {
  std::string orphan = make_instance("7", "7123");
  std::string owned = make_instance("8", "8001");
  std::string running = make_instance("9", "9001");
  add_demand_instance(owned, 1, "now()");
  REPORT rep;
  rep.report_type = 1;
  rep.report_id = 42;
  processed_reports_add(&rep);
  processed_reports_set_root_path(&rep, strdup(running.c_str()));

  report_clean_report_dir(db_, store_.c_str());
  EXPECT_FALSE(exists(orphan));
  EXPECT_TRUE(exists(store_ + "7"));  // emptied now, removed by the next run
  EXPECT_TRUE(exists(owned + "1.tbl"));
  EXPECT_TRUE(exists(running + "1.tbl"));

  report_clean_report_dir(db_, store_.c_str());
  EXPECT_FALSE(exists(store_ + "7"));
  EXPECT_TRUE(exists(owned));
  EXPECT_TRUE(exists(running));
  processed_reports_del(&rep);
  free(rep.root_path);
  rep.root_path = nullptr;
}

TEST_F(HousekeepingTest, ExpiryByTtl) {
  std::string old3 = make_instance("1", "11");
  std::string old0 = make_instance("1", "12");
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login, ttl) VALUES (1, 'r1', 'u', 3), "
                           "(2, 'r2', 'u', 0)"));
  add_demand_instance(old3, 10, "now() - interval 4 day", 1);
  add_demand_instance(old0, 10, "now() - interval 400 day", 2);
  testing::internal::CaptureStderr();
  reporter_trim_reports(db_, store_.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(exists(old3));
  EXPECT_TRUE(exists(old0));
  EXPECT_EQ(count("demand_report_instance"), "1");
  EXPECT_NE(log.find("Delete instance of demand report 'r1' (u) that is expired\n"), std::string::npos) << log;
}

TEST_F(HousekeepingTest, GroupQuotaDeletesOldestBelowNinetyPercent) {
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login) VALUES (1, 'r', 'u');"
                           "INSERT INTO quota_groups (login, qgroup) VALUES ('u', 'g''1');"
                           "INSERT INTO quotas (qgroup, quota) VALUES ('g''1', 1000)"));
  std::string a = make_instance("2", "21"), b = make_instance("2", "22"), c = make_instance("2", "23");
  add_demand_instance(a, 400, "now() - interval 3 hour");
  add_demand_instance(b, 300, "now() - interval 2 hour");
  add_demand_instance(c, 300, "now() - interval 1 hour");
  testing::internal::CaptureStderr();
  reporter_trim_reports(db_, store_.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(exists(a));
  EXPECT_TRUE(exists(b));
  EXPECT_TRUE(exists(c));
  EXPECT_EQ(admin_->scalar("SELECT sum(size) FROM demand_report_instance"), "600");
  EXPECT_NE(log.find("that exceeds 90% of user/group quota: 900\n"), std::string::npos) << log;
}

TEST_F(HousekeepingTest, TotalSizeLimitAndPathsOutsideTheStore) {
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login) VALUES (1, 'r', 'u')"));
  TempDir outside_dir{"kxoutside"};
  std::string outside = outside_dir.path() + "/keep/";
  mkdir(outside.c_str(), 0755);
  std::ofstream(outside + "1.tbl") << "x";
  std::string inside = make_instance("3", "31");
  add_demand_instance(outside, 500, "now() - interval 2 hour");
  add_demand_instance(inside, 500, "now() - interval 1 hour");

  // report_maxsize absent, then 0: no trim.
  reporter_trim_reports(db_, store_.c_str());
  EXPECT_EQ(count("demand_report_instance"), "2");
  ASSERT_TRUE(admin_->exec("INSERT INTO settings (name, value) VALUES ('report_maxsize', '0')"));
  reporter_trim_reports(db_, store_.c_str());
  EXPECT_EQ(count("demand_report_instance"), "2");

  // 1000 >= 90% of 1000: the oldest (outside the store) loses its row only.
  ASSERT_TRUE(admin_->exec("UPDATE settings SET value='1000' WHERE name='report_maxsize'"));
  testing::internal::CaptureStderr();
  reporter_trim_reports(db_, store_.c_str());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(count("demand_report_instance"), "1");
  EXPECT_TRUE(exists(outside + "1.tbl"));
  EXPECT_TRUE(exists(inside));
}

TEST_F(HousekeepingTest, StartUpReleasesClaimedJobs) {
  ASSERT_TRUE(admin_->exec("INSERT INTO servers (id, ip) VALUES (1, '10.9.9.1');"
                           "INSERT INTO demand_reports (report_id, error_flag, server, status) VALUES "
                           "(1, 1, 1, 'x'), (2, 1, 99, 'x'), (3, 1, 2, 'x'), (4, 2, 1, 'failed');"
                           "INSERT INTO servers (id, ip) VALUES (2, '10.9.9.2')"));
  int saved = support_db;
  support_db = db_;
  reporter_cleanup_report_tables();
  support_db = saved;
  EXPECT_EQ(admin_->scalar("SELECT group_concat(report_id ORDER BY report_id) FROM demand_reports WHERE "
                           "error_flag=0 AND status=''"),
            "1,2");
  EXPECT_EQ(admin_->scalar("SELECT error_flag FROM demand_reports WHERE report_id=3"), "1");
  EXPECT_EQ(admin_->scalar("SELECT error_flag FROM demand_reports WHERE report_id=4"), "2");
}

}  // namespace
