// The real kxreporter as a child process against the private MariaDB: a
// database of its own with this server's row, an install root with the
// stand-in scripts, a working folder whose ../logs receives the logs, and an
// SNMP agent configuration on a free loopback port.
#pragma once

#include <signal.h>
#include <sys/stat.h>
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

#include "tests/db/dbtest.h"
#include "tests/snmp/snmptest.h"

namespace kxtest {

// Waits below are upper bounds on events, never speed checks: the sanitizer
// builds run several times slower, so their bounds are longer.
constexpr int wait_scale() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 5;
#else
  return 1;
#endif
}

// Definitions the daemon tests queue: users and their hits, or users then
// each user's derived domains; the period is the date filter's two times.
inline constexpr char kOneLevelDefinition[] =
    "[general]\nversion=1\n"
    "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n"
    "[static_filter]\ndate=@ %lld %lld\n";
inline constexpr char kTwoLevelDefinition[] =
    "[general]\nversion=1\n"
    "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,10,11\norderby=9,-1\n"
    "[group]\ntype=SUMMARY\ngroupby=48\nsummary=9\norderby=9,-1\n"
    "[static_filter]\ndate=@ %lld %lld\n"
    "[fields metadata precompiled]\n48=|*\n";

// format with the period from..to; general lines go to the [general] section.
inline std::string definition_of(const char *format, time_t from, time_t to, const std::string &general = "") {
  char buf[512];
  snprintf(buf, sizeof buf, format, static_cast<long long>(from), static_cast<long long>(to));
  std::string def = buf;
  if (!general.empty()) def.insert(def.find("[group]"), general);
  return def;
}

// Every path below dir (all of them, or only the regular files).
inline std::vector<std::string> paths_below(const std::string &dir, bool regular_only = false) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (!regular_only || it->is_regular_file()) out.push_back(it->path().string());
  return out;
}
inline std::vector<std::string> files_below(const std::string &dir) { return paths_below(dir, true); }

// How often what stands in text, occurrences apart.
inline size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
  return n;
}

// Replaces the category script below root with one that, for language
// lang, creates the file held and then waits while the file hold exists:
// a report in that language stays in its run until the test removes hold,
// however fast or slow the machine is. Other languages answer at once.
inline void hold_category_script(const std::string &root, const std::string &lang, const std::string &held,
                                 const std::string &hold) {
  const std::string script = root + "/webadmin/bin/kxreporter_get_categories.php";
  std::filesystem::remove(script);
  {
    std::ofstream f(script);
    f << "#!/bin/sh\n"
         "if [ \"$1\" = \"" << lang << "\" ]; then\n"
         "  : > '" << held << "'\n"
         "  while [ -e '" << hold << "' ]; do sleep 0.1; done\n"
         "fi\n"
         "printf '1\\n2\\n3\\n'\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

class DaemonSandbox {
 public:
  explicit DaemonSandbox(const std::string &tag) : db_(tag), snmp_("kxreporter-snmp") {
    root_ = snmp_.dir();
    std::filesystem::create_directories(root_ + "/logs");
    std::filesystem::create_directories(root_ + "/work");
    std::filesystem::create_directories(root_ + "/bin");
    std::filesystem::create_directories(root_ + "/store");
    std::filesystem::create_directories(root_ + "/webadmin/bin");
    std::filesystem::create_symlink(std::string(KX_SOURCE_DIR) + "/tests/fixtures/webadmin/kxreporter_get_categories.php",
                                    root_ + "/webadmin/bin/kxreporter_get_categories.php");
    std::filesystem::create_symlink(std::string(KX_SOURCE_DIR) + "/scripts/standins/kxreporter_email.php",
                                    root_ + "/bin/kxreporter_email.php");
    if (!db_.ok()) return;
    admin_ = std::make_unique<AdminConnection>(db_.name());
    ok_ = admin_->ok() && admin_->exec("insert into servers (id, ip) values (5, 'localhost')");
  }
  ~DaemonSandbox() { stop(SIGKILL); }

  bool ok() const { return ok_; }
  AdminConnection &admin() { return *admin_; }
  const std::string &root() const { return root_; }
  std::string store() const { return root_ + "/store/"; }
  const SnmpSandbox &snmp() const { return snmp_; }

  // Starts the daemon with args; false when fork fails.
  bool start(const std::vector<std::string> &args = {}) {
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (chdir((root_ + "/work").c_str()) != 0) _exit(127);
      setenv("KX_PATH", root_.c_str(), 1);
      // The daemon ends with _exit on its signals and keeps its lists for
      // the life of the process: leak reports at its exit say nothing.
      setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1", 1);
      setenv("reportdb", db_.name().c_str(), 1);
      setenv("reportip", "localhost", 1);
      setenv("reportlogin", env_or("reportlogin", "root"), 1);
      setenv("reportpassword", env_or("reportpassword", ""), 1);
      setenv("KX_EMAIL_RECORD", (root_ + "/mail.txt").c_str(), 1);
      std::string out = root_ + "/stdout.txt", err = root_ + "/stderr.txt";
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
      std::vector<char *> argv;
      std::string prog = std::string(KX_BIN_DIR) + "/kxreporter";
      argv.push_back(prog.data());
      std::vector<std::string> copy = args;
      for (auto &a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
    return true;
  }

  // Waits up to seconds, while the daemon runs, until path exists (the
  // held file of hold_category_script: the report is in its run).
  bool wait_for_path(const std::string &path, int seconds = 120) {
    for (int i = 0; i < seconds * 10 * wait_scale() && running(); i++) {
      if (std::filesystem::exists(path)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::filesystem::exists(path);
  }

  // Waits up to seconds for the text in the log file of that level name
  // ("message", "error", ...).
  bool wait_for_log(const std::string &level, const std::string &text, int seconds = 20) {
    for (int i = 0; i < seconds * 10 * wait_scale(); i++) {
      if (log(level).find(text) != std::string::npos) return true;
      if (!running()) return log(level).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // Waits up to seconds until the text stands at least n times in the log
  // of that level; whether it does.
  bool wait_for_log_count(const std::string &level, const std::string &text, size_t n, int seconds = 20) {
    for (int i = 0; i < seconds * 10 * wait_scale(); i++) {
      if (count_of(log(level), text) >= n) return true;
      if (!running()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return count_of(log(level), text) >= n;
  }
  // Waits until the scalar of sql satisfies pred, up to seconds, or until
  // the daemon has ended; the last value read.
  template <typename Pred>
  std::string wait_for_sql(const std::string &sql, Pred pred, int seconds = 60) {
    std::string v;
    for (int i = 0; i < seconds * 10 * wait_scale(); i++) {
      v = admin_->scalar(sql);
      if (pred(v)) return v;
      if (!running()) return admin_->scalar(sql);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return v;
  }
  std::string log(const std::string &level) const {
    return read_text_file(root_ + "/logs/kxreporter_" + level + ".log");
  }
  std::string stdout_text() const { return read_text_file(root_ + "/stdout.txt"); }
  std::string stderr_text() const { return read_text_file(root_ + "/stderr.txt"); }

  bool running() {
    if (pid_ <= 0) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = status;
      pid_ = -1;
      return false;
    }
    return true;
  }
  // Sends sig and waits up to seconds for the exit; the wait status, or -1.
  int stop(int sig = SIGTERM, int seconds = 20) {
    if (pid_ <= 0) return status_;
    kill(pid_, sig);
    return wait_exit(seconds);
  }
  int wait_exit(int seconds = 20) {
    for (int i = 0; i < seconds * 10 * wait_scale() && running(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
      return -1;
    }
    return status_;
  }
  pid_t pid() const { return pid_; }

 private:
  TestDatabase db_;
  SnmpSandbox snmp_;
  std::string root_;
  std::unique_ptr<AdminConnection> admin_;
  bool ok_ = false;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace kxtest
