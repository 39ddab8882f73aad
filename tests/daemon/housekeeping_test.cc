// Report store housekeeping against the private MariaDB and a store in a
// temporary folder.
#include "src/daemon/housekeeping.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
// True for a path that is itself a symbolic link.
bool is_link(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
// Occurrences of text in log.
int occurrences(const std::string &log, const std::string &text) {
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
  return n;
}

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
    free(settings.temp_directory);
    settings.temp_directory = nullptr;
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
  // An instance row of either kind ('d' demand, 's' scheduled).
  void add_instance(char kind, const std::string &path, long size, const std::string &started, int report_id = 1) {
    const std::string table = kind == 's' ? "scheduled_report_instance" : "demand_report_instance";
    ASSERT_TRUE(admin_->exec("INSERT INTO " + table + " (report_id, path, server, started_at, finished_at, size) VALUES (" +
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

// Links inside the store, at the first level, the second level and deeper,
// and instance rows whose paths run through them: what they point at stays.
TEST_F(HousekeepingTest, TheStoreWalkFollowsNoLink) {
  TempDir elsewhere_dir{"kxelsewhere"};
  const std::string elsewhere = elsewhere_dir.path() + "/";
  for (const char *d : {"a", "a/5001", "b", "c", "d", "d/9001"}) mkdir((elsewhere + d).c_str(), 0755);
  for (const char *f : {"a/5001/keep", "b/keep", "c/keep", "d/9001/keep"}) std::ofstream(elsewhere + f) << "k";
  ASSERT_EQ(symlink((elsewhere + "a").c_str(), (store_ + "5").c_str()), 0);
  mkdir((store_ + "6").c_str(), 0755);
  ASSERT_EQ(symlink((elsewhere + "b").c_str(), (store_ + "6/6001").c_str()), 0);
  std::string orphan = make_instance("7", "7001");
  ASSERT_EQ(symlink((elsewhere + "c").c_str(), (orphan + "link").c_str()), 0);
  ASSERT_EQ(symlink((elsewhere + "d").c_str(), (store_ + "9").c_str()), 0);
  // Expired rows whose paths run through the links.
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login, ttl) VALUES (1, 'r', 'u', 1)"));
  add_demand_instance(store_ + "9/9001/", 1, "now() - interval 3 day");
  add_demand_instance(store_ + "6/6001/", 1, "now() - interval 3 day");

  testing::internal::CaptureStderr();
  report_clean_report_dir(db_, store_.c_str());
  reporter_trim_reports(db_, store_.c_str());
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(exists(orphan));  // the orphan goes, its link as a link
  EXPECT_EQ(count("demand_report_instance"), "0");
  for (const char *f : {"a/5001/keep", "b/keep", "c/keep", "d/9001/keep"}) EXPECT_TRUE(exists(elsewhere + f)) << f;
  EXPECT_TRUE(is_link(store_ + "5"));
  EXPECT_TRUE(is_link(store_ + "9"));
}

// Only first- and second-level folders named by the store's own numbers are
// the clean-up's: everything else is left alone, with one line in the log.
TEST_F(HousekeepingTest, OnlyTheStoresNumberedFoldersGo) {
  std::string photo = make_instance("photos", "2024") + "1.tbl";
  std::string named = make_instance("8", "notes") + "1.tbl";
  std::string other_thousand = make_instance("8", "123") + "1.tbl";  // 123 lies in 0/
  std::string padded = make_instance("08", "8001") + "1.tbl";
  std::string padded_second = make_instance("8", "08001") + "1.tbl";
  std::string signed_second = make_instance("8", "+8001") + "1.tbl";
  std::ofstream(store_ + "notes.txt") << "n";
  mkdir((store_ + "empty").c_str(), 0755);
  mkdir((store_ + "4").c_str(), 0755);
  std::string orphan = make_instance("9", "9001");
  std::string zero = make_instance("0", "7");

  testing::internal::CaptureStderr();
  report_clean_report_dir(db_, store_.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(exists(orphan));
  EXPECT_FALSE(exists(zero));
  EXPECT_FALSE(exists(store_ + "4"));  // an empty numbered first level
  for (const std::string &p : {photo, named, other_thousand, padded, padded_second, signed_second,
                               store_ + "notes.txt", store_ + "empty"})
    EXPECT_TRUE(exists(p)) << p;
  EXPECT_EQ(occurrences(log, "not made by the report store"), 1) << log;
  EXPECT_EQ(occurrences(log, "\n"), 1) << log;

  // The next run says nothing new about the same entries.
  testing::internal::CaptureStderr();
  report_clean_report_dir(db_, store_.c_str());
  log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(occurrences(log, "not made by the report store"), 0) << log;
  EXPECT_TRUE(exists(photo));
}

// A total size limit or a quota that is 0, negative or not a number is no
// limit: nothing is deleted.
TEST_F(HousekeepingTest, AGarbledLimitDeletesNothing) {
  ASSERT_TRUE(admin_->exec("INSERT INTO demand_reports (report_id, name, login) VALUES (1, 'r', 'u'), (2, 'r', 'v');"
                           "INSERT INTO quota_groups (login, qgroup) VALUES ('u', 'g');"
                           "INSERT INTO quotas (qgroup, quota) VALUES ('g', -10), ('_global_', -10)"));
  std::string a = make_instance("1", "1001"), b = make_instance("1", "1002");
  add_demand_instance(a, 500, "now() - interval 2 hour", 1);
  add_demand_instance(b, 500, "now() - interval 1 hour", 2);
  ASSERT_TRUE(admin_->exec("INSERT INTO settings (name, value) VALUES ('report_maxsize', '')"));
  for (const char *value : {"0", "-1", "-1000", "abc", "12abc", "", " ", "1e3", "0x10"}) {
    ASSERT_TRUE(admin_->exec(std::string("UPDATE settings SET value='") + value + "' WHERE name='report_maxsize'"));
    testing::internal::CaptureStderr();
    reporter_trim_reports(db_, store_.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count("demand_report_instance"), "2") << "report_maxsize '" << value << "'\n" << log;
    EXPECT_TRUE(exists(a) && exists(b)) << value;
  }
  // A plain number with blanks around it is a limit.
  ASSERT_TRUE(admin_->exec("UPDATE settings SET value=' 1000 ' WHERE name='report_maxsize'"));
  testing::internal::CaptureStderr();
  reporter_trim_reports(db_, store_.c_str());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(count("demand_report_instance"), "1");
  EXPECT_FALSE(exists(a));
}

// A temporary folder inside the report store (its runs' folders are named by
// file numbers too) is not taken for orphan store folders, however its path
// is spelled.
TEST_F(HousekeepingTest, TheTemporaryFolderInsideTheStoreIsLeftAlone) {
  struct {
    const char *temp_dir;  // below the store
    const char *running;   // a run's temporary folder below the store
  } cases[] = {
      {"3/3001/", "3/3001/7/"},
      {"3//3001/./", "3/3001/8/"},
      {"3/", "3/3002/"},
      {"2/x/../", "2/2005/"},
  };
  for (const auto &c : cases) {
    free(settings.temp_directory);
    settings.temp_directory = strdup((store_ + c.temp_dir).c_str());
    std::string running = store_ + c.running;
    std::filesystem::create_directories(running);
    std::filesystem::create_directories(store_ + "2/x");
    std::ofstream(running + "1") << "t";
    std::string orphan = make_instance("9", "9001");
    testing::internal::CaptureStderr();
    report_clean_report_dir(db_, store_.c_str());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(exists(running + "1")) << c.temp_dir;
    EXPECT_FALSE(exists(orphan)) << c.temp_dir;
  }
}

// A report that saves its instance row and leaves the registry while the
// clean-up is between reading the rows and looking at the registry keeps its
// folder.
TEST_F(HousekeepingTest, AFinishingReportKeepsItsFolder) {
  std::string finishing = make_instance("4", "4001");
  REPORT rep;
  rep.report_type = 1;
  rep.report_id = 7;
  processed_reports_add(&rep);
  processed_reports_set_root_path(&rep, strdup(finishing.c_str()));

  // The scheduled list is read second: held back by a table lock, the
  // clean-up waits after reading the demand rows.
  kxtest::AdminConnection locker(tdb_.name());
  ASSERT_TRUE(locker.exec("LOCK TABLES scheduled_report_instance WRITE")) << locker.error();
  std::thread cleaner([&] { report_clean_report_dir(db_, store_.c_str()); });
  bool waiting = false;
  for (int i = 0; i < 600 && !waiting; i++) {
    waiting = admin_->scalar("SELECT count(*) FROM information_schema.processlist WHERE info LIKE "
                             "'select path from scheduled_report_instance%'") == "1";
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(waiting);
  // Meanwhile the report finishes: its row, then it leaves the registry.
  add_demand_instance(finishing, 1, "now()");
  processed_reports_del(&rep);
  ASSERT_TRUE(locker.exec("UNLOCK TABLES"));
  cleaner.join();
  EXPECT_TRUE(exists(finishing + "1.tbl"));
  free(rep.root_path);
  rep.root_path = nullptr;
}

// Trimming to a quota or to the total size limit, case by case: instances
// are (kind, size, hour of 2024-01-01 they started, owner), the remainder is
// listed oldest first as "d:size@hour,...|s:...".
TEST_F(HousekeepingTest, TrimmingCases) {
  struct Inst {
    char kind;
    long size;
    int hour;
    const char *login;
  };
  struct Case {
    const char *name;
    const char *quotas;   // INSERT INTO quotas values
    const char *maxsize;  // report_maxsize, or null
    std::vector<Inst> inst;
    const char *remain;
  } cases[] = {
      // 500 + 500 of one group in both lists exceed 900: the older goes.
      {"key in both lists", "('g', 1000)", nullptr, {{'d', 500, 1, "u"}, {'s', 500, 2, "u"}}, "d:|s:500@2"},
      // Each list alone stays under 90%: only their total exceeds it.
      {"key in both lists, two owners", "('g', 1000)", nullptr,
       {{'d', 450, 1, "u"}, {'s', 450, 2, "w"}, {'d', 100, 3, "w"}}, "d:100@3|s:450@2"},
      // A total exactly on 90% is not below it: one more goes.
      {"exactly on 90%", "('g', 1000)", nullptr, {{'d', 100, 1, "u"}, {'d', 300, 2, "u"}, {'d', 600, 3, "u"}},
       "d:600@3|s:"},
      // Equal start times: the scheduled instance goes first.
      {"tie", "('g', 1000)", nullptr, {{'d', 500, 4, "u"}, {'s', 500, 4, "u"}}, "d:500@4|s:"},
      // Owners without a quota group share the default quota, each on their
      // own; an owner of a group is left to the group's quota.
      {"default quota", "('g', 100000), ('_global_', 1000)", nullptr,
       {{'d', 400, 1, "v"}, {'s', 300, 2, "v"}, {'d', 300, 3, "v"}, {'d', 950, 1, "u"}, {'d', 800, 1, "x"}},
       "d:950@1,800@1,300@3|s:300@2"},
      {"size limit exactly on 90%", "", "1000", {{'d', 100, 1, "u"}, {'s', 300, 2, "v"}, {'d', 600, 3, "v"}},
       "d:600@3|s:"},
  };
  for (const Case &c : cases) {
    ASSERT_TRUE(admin_->exec("DELETE FROM demand_report_instance; DELETE FROM scheduled_report_instance;"
                             "DELETE FROM demand_reports; DELETE FROM scheduled_reports; DELETE FROM quotas;"
                             "DELETE FROM quota_groups; DELETE FROM settings;"
                             "INSERT INTO quota_groups (login, qgroup) VALUES ('u', 'g'), ('w', 'g');"
                             "INSERT INTO demand_reports (report_id, name, login) VALUES (1, 'r', 'u'), (2, 'r', 'v'),"
                             " (3, 'r', 'w'), (4, 'r', 'x');"
                             "INSERT INTO scheduled_reports (report_id, name, login) VALUES (1, 's', 'u'),"
                             " (2, 's', 'v'), (3, 's', 'w'), (4, 's', 'x')"))
        << admin_->error();
    if (*c.quotas) {
      ASSERT_TRUE(admin_->exec(std::string("INSERT INTO quotas (qgroup, quota) VALUES ") + c.quotas));
    }
    if (c.maxsize) {
      ASSERT_TRUE(admin_->exec(std::string("INSERT INTO settings (name, value) VALUES ('report_maxsize', '") +
                               c.maxsize + "')"));
    }
    int n = 0;
    for (const Inst &i : c.inst) {
      int report = !strcmp(i.login, "u") ? 1 : !strcmp(i.login, "v") ? 2 : !strcmp(i.login, "w") ? 3 : 4;
      std::string when = "'2024-01-01 0" + std::to_string(i.hour) + ":00:00'";
      add_instance(i.kind, store_ + "5/" + std::to_string(5000 + n++) + "/", i.size, when, report);
    }
    testing::internal::CaptureStderr();
    reporter_trim_reports(db_, store_.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    auto left = [&](const char *table) {
      std::string v = admin_->scalar(std::string("SELECT group_concat(concat(size, '@', hour(started_at)) ORDER BY "
                                                 "started_at, size DESC) FROM ") +
                                     table);
      return v == "NULL" ? std::string() : v;
    };
    EXPECT_EQ("d:" + left("demand_report_instance") + "|s:" + left("scheduled_report_instance"), c.remain)
        << c.name << "\n" << log;
  }
}

// The quota steps merge the demand and the scheduled sums of each key: a
// case-insensitive collation orders the keys otherwise than bytes do, and
// the merge still meets each key once.
TEST_F(HousekeepingTest, QuotasHoldUnderACaseInsensitiveCollation) {
  for (const char *table : {"quota_groups", "quotas", "demand_reports", "scheduled_reports"})
    ASSERT_TRUE(admin_->exec(std::string("ALTER TABLE ") + table +
                             " CONVERT TO CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci"))
        << admin_->error();
  // Groups 'a' and 'B', owners 'c' and 'D' on the default quota: 'B' sorts
  // before 'a' byte-wise and after it here.
  ASSERT_TRUE(admin_->exec("INSERT INTO quota_groups (login, qgroup) VALUES ('ua', 'a'), ('uB', 'B');"
                           "INSERT INTO quotas (qgroup, quota) VALUES ('a', 1000), ('B', 1000), ('_global_', 1000);"
                           "INSERT INTO demand_reports (report_id, name, login) VALUES (1, 'r', 'ua'), (2, 'r', 'uB'),"
                           " (3, 'r', 'c'), (4, 'r', 'D');"
                           "INSERT INTO scheduled_reports (report_id, name, login) VALUES (2, 's', 'uB'), (4, 's', 'D')"))
      << admin_->error();
  add_instance('d', store_ + "1/1001/", 10, "'2024-01-01 01:00:00'", 1);
  add_instance('d', store_ + "1/1002/", 500, "'2024-01-01 01:00:00'", 2);
  add_instance('s', store_ + "1/1003/", 500, "'2024-01-01 02:00:00'", 2);
  add_instance('d', store_ + "1/1004/", 10, "'2024-01-01 01:00:00'", 3);
  add_instance('d', store_ + "1/1005/", 500, "'2024-01-01 01:00:00'", 4);
  add_instance('s', store_ + "1/1006/", 500, "'2024-01-01 02:00:00'", 4);
  testing::internal::CaptureStderr();
  reporter_trim_reports(db_, store_.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  // Group B and owner D each lose their older instance.
  EXPECT_EQ(admin_->scalar("SELECT group_concat(path ORDER BY path) FROM demand_report_instance"),
            store_ + "1/1001/," + store_ + "1/1004/")
      << log;
  EXPECT_EQ(count("scheduled_report_instance"), "2") << log;
}

}  // namespace
