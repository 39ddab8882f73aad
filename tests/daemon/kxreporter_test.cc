// kxreporter as a process: options, start-up order and failures, the pid
// file, and its signals.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"

namespace {

int exit_code(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

TEST(Kxreporter, HelpAndVersion) {
  kxtest::DaemonSandbox d("kxrep_opts");
  ASSERT_TRUE(d.start({"-v"}));
  EXPECT_EQ(exit_code(d.wait_exit()), 0);
  std::string v = d.stdout_text();
  EXPECT_EQ(v.rfind("Tallowmere Reporter 6.3.3 64-bit Build: ", 0), 0u) << v;
  EXPECT_EQ(std::count(v.begin(), v.end(), '\n'), 2);

  ASSERT_TRUE(d.start({"-h"}));
  EXPECT_EQ(exit_code(d.wait_exit()), 0);
  std::string h = d.stdout_text();
  EXPECT_NE(h.find("\tNormally this daemon program is run by kxreporterctl script\n\t-h      display usage\n"),
            std::string::npos)
      << h;
  EXPECT_NE(h.find(v), std::string::npos) << h;  // then what -v prints
}

TEST(Kxreporter, MissingReportDirectoryEndsStartUp) {
  KX_REQUIRE_DB();
  kxtest::DaemonSandbox d("kxrep_nodir");
  ASSERT_TRUE(d.ok());
  ASSERT_TRUE(d.start());
  EXPECT_EQ(exit_code(d.wait_exit()), 1);
  EXPECT_NE(d.log("error").find("Report directory not set (table settings)\n"), std::string::npos) << d.log("error");
  EXPECT_NE(d.stdout_text().find("Starting Reporter Version 6.3.3, "), std::string::npos);
}

TEST(Kxreporter, RunsWithoutPidDirectoryAndStopsOnSignals) {
  KX_REQUIRE_DB();
  kxtest::DaemonSandbox d("kxrep_run");
  ASSERT_TRUE(d.ok());
  ASSERT_TRUE(d.admin().exec("insert into settings (name, value) values ('report_dir', '" + d.store() + "')"));
  // No var/run below the install root: the pid file cannot be written.
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_for_log("message", "Starting Report Generator\n")) << d.log("message") << d.stderr_text();
  EXPECT_TRUE(d.running());
  kill(d.pid(), SIGHUP);  // ignored
  // SIGUSR1 reloads the lists: a domain list that appeared meanwhile is read.
  std::filesystem::create_directories(d.root() + "/var/lib/lists");
  std::ofstream(d.root() + "/var/lib/lists/reportdomains.dat") << "co.uk\nco.jp\n";
  kill(d.pid(), SIGUSR1);
  EXPECT_TRUE(d.wait_for_log("message", "Domain List loaded: 2 entries\n")) << d.log("message");
  EXPECT_TRUE(d.running());
  EXPECT_EQ(exit_code(d.stop(SIGTERM)), 0);
  EXPECT_NE(d.log("message").find("The reporter is stopped (Terminated signal)\n"), std::string::npos)
      << d.log("message");
}

TEST(Kxreporter, PidFileWrittenAndRemoved) {
  KX_REQUIRE_DB();
  kxtest::DaemonSandbox d("kxrep_pid");
  ASSERT_TRUE(d.ok());
  std::filesystem::create_directories(d.root() + "/var/run");
  ASSERT_TRUE(d.admin().exec("insert into settings (name, value) values ('report_dir', '" + d.store() + "')"));
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_for_log("message", "Starting Report Generator\n")) << d.stderr_text();
  std::string pid_file = d.root() + "/var/run/kxreporter.pid";
  for (int i = 0; i < 50 && kxtest::read_text_file(pid_file).empty(); i++) usleep(100000);
  EXPECT_EQ(kxtest::read_text_file(pid_file), std::to_string(d.pid()));
  EXPECT_EQ(exit_code(d.stop(SIGINT)), 0);
  EXPECT_FALSE(std::filesystem::exists(pid_file));
  EXPECT_NE(d.log("message").find("The reporter is stopped (Interrupt signal)\n"), std::string::npos);
}

// A pid file that is a link is not followed: what it points at keeps its
// bytes, and the daemon runs (held by its lock on the install root).
TEST(Kxreporter, PidFileLinkIsNotFollowed) {
  KX_REQUIRE_DB();
  kxtest::DaemonSandbox d("kxrep_pidlink");
  ASSERT_TRUE(d.ok());
  std::filesystem::create_directories(d.root() + "/var/run");
  const std::string victim = d.root() + "/victim.txt";
  std::ofstream(victim) << "keep me";
  std::filesystem::create_symlink(victim, d.root() + "/var/run/kxreporter.pid");
  ASSERT_TRUE(d.admin().exec("insert into settings (name, value) values ('report_dir', '" + d.store() + "')"));
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_for_log("message", "Starting Report Generator\n")) << d.stderr_text();
  ASSERT_TRUE(d.wait_for_log("message", "SETTINGS: server ID 5\n")) << d.log("message") << d.log("error");
  EXPECT_TRUE(d.running());
  EXPECT_EQ(kxtest::read_text_file(victim), "keep me");
  EXPECT_EQ(exit_code(d.stop(SIGTERM)), 0);
  EXPECT_EQ(kxtest::read_text_file(victim), "keep me");
}

}  // namespace
