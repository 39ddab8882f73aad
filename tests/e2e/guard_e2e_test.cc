// The real daemon against the private MariaDB where one daemon must keep
// another off its install root, and where a setting could stall the queue.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

namespace fs = std::filesystem;

using kxtest::count_of;

std::vector<std::string> tree(const std::string &dir) { return kxtest::paths_below(dir); }

std::string group_def(time_t from, time_t to, const char *general = "") {
  return kxtest::definition_of(kxtest::kOneLevelDefinition, from, to, general);
}

class GuardE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    ASSERT_TRUE(d_.ok());
    ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('report_dir', '" + d_.store() +
                                "'), ('concurrent_demand_reports', '2'), ('concurrent_scheduled_reports', '2')"));
  }
  void TearDown() override {
    if (second_ > 0) {
      kill(second_, SIGKILL);
      waitpid(second_, nullptr, 0);
    }
    if (d_.running()) d_.stop(SIGTERM);
  }

  // A second kxreporter on the sandbox's install root and database, its
  // output in second_stdout.txt and second_stderr.txt; the same start as
  // the sandbox's own.
  bool start_second() {
    const std::string db = d_.admin().scalar("select database()");
    fflush(nullptr);
    second_ = fork();
    if (second_ < 0) return false;
    if (second_ == 0) {
      if (chdir((d_.root() + "/work").c_str()) != 0) _exit(127);
      setenv("KX_PATH", d_.root().c_str(), 1);
      setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1", 1);
      setenv("reportdb", db.c_str(), 1);
      setenv("reportip", "localhost", 1);
      setenv("reportlogin", kxtest::env_or("reportlogin", "root"), 1);
      setenv("reportpassword", kxtest::env_or("reportpassword", ""), 1);
      setenv("KX_EMAIL_RECORD", (d_.root() + "/mail.txt").c_str(), 1);
      std::string out = d_.root() + "/second_stdout.txt", err = d_.root() + "/second_stderr.txt";
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
      std::string prog = std::string(KX_BIN_DIR) + "/kxreporter";
      char *argv[] = {prog.data(), nullptr};
      execv(prog.c_str(), argv);
      _exit(127);
    }
    return true;
  }
  // The second daemon's exit code once it ended within the bound, else -1
  // (it is killed).
  int second_exit(int seconds = 120) {
    int status = 0;
    for (int i = 0; i < seconds * 10; i++) {
      if (waitpid(second_, &status, WNOHANG) == second_) {
        second_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(second_, SIGKILL);
    waitpid(second_, nullptr, 0);
    second_ = -1;
    return -1;
  }

  kxtest::DaemonSandbox d_{"guard"};
  pid_t second_ = -1;
};

class Guard : public GuardE2E, public ::testing::WithParamInterface<bool> {};

// A second daemon on the root of a running one ends at once with status 1
// and its reason, before it touches the queue or the store: the first
// one's claimed job is finished once, by the first, and every file stays.
// With or without the pid file's folder.
TEST_P(Guard, SecondDaemonOnOneRootRefusesToStart) {
  const bool pid_dir = GetParam();
  if (pid_dir) fs::create_directories(d_.root() + "/var/run");
  // The category script waits while the hold file exists, so the first
  // daemon's report is running (claimed) for as long as the test needs.
  const std::string hold = d_.root() + "/hold", held = d_.root() + "/held";
  kxtest::hold_category_script(d_.root(), "xx_HOLD", held, hold);
  { std::ofstream f(hold); }
  const time_t t0 = time(nullptr) - 7200;
  reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_1",
                    reqlog::sb_image(reqlog::sb_sample(50, static_cast<int32_t>(t0), 10)));
  ASSERT_TRUE(d_.admin().exec("insert into demand_reports (report_id, name, login, next_run_time, definition) values "
                              "(1, 'held', 'admin', now() - interval 2 second, '" +
                              group_def(t0, t0 + 600, "language=xx_HOLD\n") + "')"));
  ASSERT_TRUE(d_.start());
  ASSERT_TRUE(d_.wait_for_path(held)) << d_.log("error") << d_.log("message");
  const std::string claim = d_.admin().scalar("select concat(error_flag, '/', status) from demand_reports");
  ASSERT_EQ(claim.rfind("1/Started Processing [", 0), 0u) << claim;

  // Store folders the start-up clean-up of a daemon would remove: one of no
  // instance row, and a finished instance's.
  fs::create_directories(d_.store() + "9/9001");
  std::ofstream(d_.store() + "9/9001/root") << "x";
  fs::create_directories(d_.store() + "8/8001");
  std::ofstream(d_.store() + "8/8001/root") << "y";
  ASSERT_TRUE(d_.admin().exec("insert into demand_report_instance (report_id, path, server) values (8, '" +
                              d_.store() + "8/8001/', 5)"));
  const std::vector<std::string> before = tree(d_.store());

  ASSERT_TRUE(start_second());
  EXPECT_EQ(second_exit(), 1);
  const std::string err = kxtest::read_text_file(d_.root() + "/second_stderr.txt");
  const std::string reason = "is running on the install root '" + d_.root() + "'; not starting\n";
  EXPECT_NE(err.find("Another kxreporter"), std::string::npos) << err;
  EXPECT_NE(err.find(reason), std::string::npos) << err;
  EXPECT_TRUE(d_.wait_for_log("error", reason)) << d_.log("error");
  if (pid_dir) {
    EXPECT_NE(err.find("(pid " + std::to_string(d_.pid()) + ")"), std::string::npos) << err;
  }

  // Nothing of the first daemon's was touched.
  EXPECT_EQ(d_.admin().scalar("select concat(error_flag, '/', status) from demand_reports"), claim);
  for (const std::string &p : before) EXPECT_TRUE(fs::exists(p)) << p;
  if (pid_dir) {
    EXPECT_EQ(kxtest::read_text_file(d_.root() + "/var/run/kxreporter.pid"), std::to_string(d_.pid()));
  }
  EXPECT_TRUE(d_.running());

  // The first daemon finishes its job, once.
  fs::remove(hold);
  const std::string status = d_.wait_for_sql(
      "select status from demand_reports where report_id=1",
      [](const std::string &v) { return v.rfind("Processed Ok", 0) == 0 || v.rfind("Error", 0) == 0; }, 300);
  EXPECT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  EXPECT_EQ(d_.admin().scalar("select count(*) from demand_report_instance where report_id=1"), "1");
  EXPECT_TRUE(d_.wait_for_log("message", "Finish demand report 1\n", 120)) << d_.log("message");
  EXPECT_EQ(count_of(d_.log("message"), "Processing demand report 1 'held'"), 1u) << d_.log("message");
  for (const std::string &p : before) EXPECT_TRUE(fs::exists(p)) << p;
}

INSTANTIATE_TEST_SUITE_P(PidFolder, Guard, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "Present" : "Absent"; });

// A pid file left by a daemon that is gone, naming a process that lives
// (this test), does not block the next start; the file then names it.
TEST_F(GuardE2E, StalePidFileDoesNotBlock) {
  fs::create_directories(d_.root() + "/var/run");
  const std::string pid_file = d_.root() + "/var/run/kxreporter.pid";
  std::ofstream(pid_file) << getpid();
  ASSERT_TRUE(d_.start());
  ASSERT_TRUE(d_.wait_for_log("message", "Starting Report Generator\n")) << d_.stderr_text() << d_.log("error");
  std::string text;
  for (int i = 0; i < 600 && text != std::to_string(d_.pid()) && d_.running(); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    text = kxtest::read_text_file(pid_file);
  }
  EXPECT_EQ(text, std::to_string(d_.pid()));
  EXPECT_TRUE(d_.running()) << d_.stderr_text() << d_.log("error");
  EXPECT_EQ(d_.stderr_text().find("Another kxreporter"), std::string::npos) << d_.stderr_text();
}

// max_parallel_reports 0 is taken as 1: the scheduled job runs, and the
// web administration's own statements on the queue table never wait out
// a lock (the pass gives the lock back each second).
TEST_F(GuardE2E, ParallelCountZeroStillRunsTheJobAndFreesTheQueue) {
  ASSERT_TRUE(d_.admin().exec("insert into settings (name, value) values ('max_parallel_reports', '0')"));
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  const time_t midnight = mktime(&tm);
  reqlog::write_log(d_.root() + "/logs", "kxlogger_requests_bin_1",
                    reqlog::sb_image(reqlog::sb_sample(30, static_cast<int32_t>(midnight - 86400 + 3600), 10)));
  ASSERT_TRUE(d_.admin().exec("insert into scheduled_reports (report_id, name, login, next_run_time, run_interval, "
                              "definition) values (1, 'daily', 'admin', from_unixtime(" +
                              std::to_string(midnight) +
                              "), 27, '[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n')"));
  // The administration's statements wait at most this long for a lock, far
  // longer than one pass holds the queue's.
  ASSERT_TRUE(d_.admin().exec("set session lock_wait_timeout=30, innodb_lock_wait_timeout=30"));
  ASSERT_TRUE(d_.start());
  EXPECT_TRUE(d_.wait_for_log("message", "SETTINGS: max_parallel_reports '0' is not a valid value; 1 is used\n"))
      << d_.log("message");
  // Until the status is saved; a statement that waited out its lock ends
  // the wait with that error.
  std::string status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  while (std::chrono::steady_clock::now() < deadline && d_.running()) {
    status = d_.admin().scalar("select status from scheduled_reports where report_id=1");
    if (status.rfind("Processed Ok", 0) == 0 || status.rfind("Error", 0) == 0 || status.rfind("<error", 0) == 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d_.log("error");
  for (int i = 0; i < 5; i++) {
    EXPECT_TRUE(d_.admin().exec("update scheduled_reports set seen=now() where report_id=1")) << d_.admin().error();
    EXPECT_EQ(d_.admin().scalar("select count(*) from scheduled_reports"), "1") << d_.admin().error();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(d_.running());
}

}  // namespace
