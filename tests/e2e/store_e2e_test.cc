// The real daemon keeps what its report store did not make: links in the
// store are never followed, folders not named by the store's numbers stay, a
// garbled total size limit deletes nothing, and a temporary directory that
// is the store under another spelling is not taken for a store folder.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"
#include "tests/fixtures/tmpdir.h"

namespace {

namespace fs = std::filesystem;

bool exists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(d_.ok());
    fs::create_directories(d_.root() + "/tmp");
  }
  void TearDown() override {
    if (d_.running()) d_.stop(SIGTERM);
  }

  void configure(const std::map<std::string, std::string> &extra) {
    std::map<std::string, std::string> s = {{"report_dir", d_.store()},
                                            {"temp_dir", d_.root() + "/tmp/"},
                                            {"process_demand_reports", "1"},
                                            {"concurrent_demand_reports", "1"},
                                            {"max_parallel_reports", "1"}};
    for (const auto &[k, v] : extra) s[k] = v;
    std::string sql = "insert into settings (name, value) values ";
    for (const auto &[k, v] : s) sql += std::string(sql.back() == ')' ? "," : "") + "('" + k + "', '" + v + "')";
    ASSERT_TRUE(d_.admin().exec(sql)) << d_.admin().error();
  }

  // A folder of the store (relative path) with one file in it.
  std::string folder(const std::string &rel) {
    std::string dir = d_.store() + rel;
    fs::create_directories(dir);
    std::ofstream(dir + "/1.tbl") << "x";
    return dir + "/1.tbl";
  }
  void instance_row(const std::string &rel, long size) {
    ASSERT_TRUE(d_.admin().exec("insert into demand_report_instance (report_id, path, server, started_at, "
                                "finished_at, size) values (99, '" +
                                d_.store() + rel + "', 5, now() - interval 1 day, now() - interval 1 day, " +
                                std::to_string(size) + ")"))
        << d_.admin().error();
  }

  // Runs one small demand report; the daemon's start-up clean-up and trim
  // are over once its status is saved. The job's status.
  std::string run_one_report() {
    const time_t t0 = time(nullptr) - 7200;
    reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_1",
                      reqlog::sb_image(reqlog::sb_sample(20, static_cast<int32_t>(t0), 10)));
    const std::string def = "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n"
                            "[static_filter]\ndate=@ " +
                            std::to_string(t0) + " " + std::to_string(t0 + 1000) + "\n";
    EXPECT_TRUE(d_.admin().exec("insert into demand_reports (report_id, name, login, next_run_time, definition) "
                                "values (1, 'r1', 'admin', now() - interval 2 second, '" +
                                def + "')"))
        << d_.admin().error();
    if (!d_.start()) return "<no start>";
    return d_.wait_for_sql(
        "select status from demand_reports where report_id=1 and error_flag<>1 and status<>''",
        [](const std::string &v) { return !v.empty(); }, 120);
  }

  kxtest::DaemonSandbox d_{"store"};
};

TEST_F(Store, StartUpKeepsWhatTheStoreDidNotMake) {
  // report_maxsize -1 once deleted every instance of the server.
  configure({{"report_maxsize", "-1"}});
  TempDir elsewhere_dir{"kxelsewhere"};
  const std::string elsewhere = elsewhere_dir.path() + "/";
  for (const char *d : {"a/5001", "b", "c"}) fs::create_directories(elsewhere + d);
  for (const char *f : {"a/5001/keep", "b/keep", "c/keep"}) std::ofstream(elsewhere + f) << "k";
  ASSERT_EQ(symlink((elsewhere + "a").c_str(), (d_.store() + "5").c_str()), 0);
  fs::create_directories(d_.store() + "6");
  ASSERT_EQ(symlink((elsewhere + "b").c_str(), (d_.store() + "6/6001").c_str()), 0);
  const std::string orphan = folder("7/7001");
  ASSERT_EQ(symlink((elsewhere + "c").c_str(), (d_.store() + "7/7001/link").c_str()), 0);
  const std::string photo = folder("photos/2024");
  const std::string named = folder("8/notes");
  const std::string kept1 = folder("2/2001"), kept2 = folder("2/2002");
  instance_row("2/2001/", 5000);
  instance_row("2/2002/", 5000);

  const std::string status = run_one_report();
  ASSERT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  EXPECT_FALSE(exists(orphan));
  for (const char *f : {"a/5001/keep", "b/keep", "c/keep"}) EXPECT_TRUE(exists(elsewhere + f)) << f;
  for (const std::string &p : {photo, named, kept1, kept2}) EXPECT_TRUE(exists(p)) << p;
  EXPECT_EQ(d_.admin().scalar("select count(*) from demand_report_instance where report_id=99"), "2");
  EXPECT_TRUE(d_.wait_for_log("message", "not made by the report store")) << d_.log("message");
  EXPECT_EQ(kxtest::count_of(d_.log("message"), "not made by the report store"), 1u) << d_.log("message");
  EXPECT_TRUE(d_.running());
}

// temp_dir "<store>/" beside report_dir "<store>": clearing the temporary
// folder of file 7 once removed the first-level store folder 7.
TEST_F(Store, ATemporaryDirectorySpelledOtherwiseIsNotAStoreFolder) {
  configure({{"temp_dir", d_.store() + "/"}});
  ASSERT_TRUE(d_.admin().exec("update global set next_rep_file=7"));
  const std::string owned = folder("7/7001");
  instance_row("7/7001/", 10);

  const std::string status = run_one_report();
  ASSERT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  EXPECT_TRUE(exists(owned));
  EXPECT_EQ(d_.admin().scalar("select path from demand_report_instance where report_id=1"), d_.store() + "0/7/");
  EXPECT_TRUE(exists(d_.store() + "0/7/root"));
  EXPECT_FALSE(exists(d_.store() + "0/7/temp"));
  EXPECT_TRUE(d_.running());
}

}  // namespace
