// Two kxreporter processes as two reporting servers on one database and one
// queue. Each runs in a network namespace of its own with a veth pair whose
// address names its server row, and in a mount namespace of its own in
// which its private store and temporary folders stand at the paths the
// shared settings give (each server keeps its own disk). Skipped where the
// machine allows no such namespaces: two daemons on the host would both be
// the same 'localhost' server.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/db/dbtest.h"
#include "tests/fixtures/reqlog_writer.h"
#include "tests/fixtures/tmpdir.h"

namespace {

namespace fs = std::filesystem;

constexpr int kNoNamespace = 77;

// One reporting server: its install root (logs, work, store, tmp, agent
// configuration) and its daemon process.
class Server {
 public:
  Server(int id, std::string address) : id_(id), address_(std::move(address)) {
    for (const char *d : {"logs", "work", "bin", "store", "tmp", "webadmin/bin", "snmp/persist"})
      fs::create_directories(root() + "/" + d);
    fs::create_symlink(std::string(KX_SOURCE_DIR) + "/tests/fixtures/webadmin/kxreporter_get_categories.php",
                       root() + "/webadmin/bin/kxreporter_get_categories.php");
    fs::create_symlink(std::string(KX_SOURCE_DIR) + "/scripts/standins/kxreporter_email.php",
                       root() + "/bin/kxreporter_email.php");
    // The agent listens in the server's own namespace.
    std::ofstream(root() + "/snmp/kxreporter-snmp.conf") << "agentaddress udp:127.0.0.1:16161\n";
  }
  ~Server() { stop(); }

  int id() const { return id_; }
  const std::string &address() const { return address_; }
  const std::string &root() const { return dir_.path(); }

  // Starts the daemon in its namespaces, its store and tmp folders mounted
  // at the shared paths.
  bool start(const std::string &db, const std::string &shared_store, const std::string &shared_tmp) {
    fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) _exit(child(db, shared_store, shared_tmp));
    return true;
  }
  // The child's exit status once it ended (-1 while it runs).
  int exited() {
    if (pid_ <= 0) return status_;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return pid_ > 0 ? -1 : status_;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && exited() < 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  std::string log(const std::string &level) const {
    return kxtest::read_text_file(root() + "/logs/kxreporter_" + level + ".log");
  }

 private:
  static bool sh(const std::string &cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

  int child(const std::string &db, const std::string &shared_store, const std::string &shared_tmp) {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return kNoNamespace;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kNoNamespace;
    if (mount((root() + "/store").c_str(), shared_store.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount((root() + "/tmp").c_str(), shared_tmp.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return kNoNamespace;
    if (!sh("ip link add kxv0 type veth peer name kxv1") || !sh("ip addr add " + address_ + "/24 dev kxv0") ||
        !sh("ip link set kxv0 up") || !sh("ip link set kxv1 up") || !sh("ip link set lo up"))
      return kNoNamespace;
    if (chdir((root() + "/work").c_str()) != 0) return 127;
    setenv("KX_PATH", root().c_str(), 1);
    setenv("reportdb", db.c_str(), 1);
    setenv("reportip", "localhost", 1);  // the socket: same server for both
    setenv("reportlogin", kxtest::env_or("reportlogin", "root"), 1);
    setenv("reportpassword", kxtest::env_or("reportpassword", ""), 1);
    setenv("SNMPCONFPATH", (root() + "/snmp").c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", (root() + "/snmp/persist").c_str(), 1);
    setenv("KX_EMAIL_RECORD", (root() + "/mail.txt").c_str(), 1);
    if (!freopen((root() + "/stdout.txt").c_str(), "w", stdout) ||
        !freopen((root() + "/stderr.txt").c_str(), "w", stderr))
      return 127;
    std::string prog = std::string(KX_BIN_DIR) + "/kxreporter";
    char *argv[] = {prog.data(), nullptr};
    execv(prog.c_str(), argv);
    return 127;
  }

  int id_;
  std::string address_;
  TempDir dir_{"kxserver"};
  pid_t pid_ = -1;
  int status_ = -1;
};

TEST(TwoServers, SharedQueueEachJobOnceAndRestrictionsHold) {
  KX_REQUIRE_DB();
  if (geteuid() != 0) GTEST_SKIP() << "no private network and mount namespaces without root";
  kxtest::TestDatabase db("two");
  ASSERT_TRUE(db.ok()) << db.error();
  kxtest::AdminConnection admin(db.name());
  TempDir shared("kxshared");
  const std::string store = shared.path() + "/store/", tmp = shared.path() + "/tmp/";
  fs::create_directories(store);
  fs::create_directories(tmp);

  Server a(1, "10.213.9.1"), b(2, "10.213.9.2");
  ASSERT_TRUE(admin.exec("insert into servers (id, ip) values (1, '10.213.9.1'), (2, '10.213.9.2')"));
  ASSERT_TRUE(admin.exec("insert into settings (name, value) values ('report_dir', '" + store + "'), ('temp_dir', '" +
                         tmp + "'), ('process_demand_reports', '1'), ('concurrent_demand_reports', '10')"));

  const time_t t0 = time(nullptr) - 7200;
  auto image = reqlog::sb_image(reqlog::sb_sample(30, static_cast<int32_t>(t0), 10));
  for (Server *s : {&a, &b}) reqlog::write_log(s->root() + "/logs", "kxlogger_requests_bin_1", image);

  // 200 jobs: ids 1 to 20 only for server 1, 21 to 40 only for server 2.
  const int jobs = 200;
  char def[256];
  snprintf(def, sizeof def,
           "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\ndate=@ %lld %lld\n",
           static_cast<long long>(t0), static_cast<long long>(t0 + 1000));
  std::string sql = "insert into demand_reports (report_id, name, login, next_run_time, definition) values ";
  for (int id = 1; id <= jobs; id++) {
    if (id > 1) sql += ',';
    sql += '(';
    sql += std::to_string(id);
    sql += ", 'r', 'admin', now() - interval 2 second, '";
    sql += def;
    sql += "')";
  }
  ASSERT_TRUE(admin.exec(sql)) << admin.error();
  sql = "insert into run_on_servers (report_id, type, server) values ";
  for (int id = 1; id <= 40; id++) {
    if (id > 1) sql += ',';
    sql += '(';
    sql += std::to_string(id);
    sql += id <= 20 ? ", 1, 1)" : ", 1, 2)";
  }
  ASSERT_TRUE(admin.exec(sql)) << admin.error();

  ASSERT_TRUE(a.start(db.name(), store, tmp));
  ASSERT_TRUE(b.start(db.name(), store, tmp));

  // A child that cannot have its namespaces ends with kNoNamespace, however
  // late: the test then cannot run here.
  std::string done;
  for (int i = 0; i < 1200; i++) {
    if (a.exited() == kNoNamespace || b.exited() == kNoNamespace)
      GTEST_SKIP() << "no private network namespace with a veth pair, or no private mount namespace, here";
    done = admin.scalar("select count(*) from demand_reports where status like 'Processed Ok%'");
    if (done == std::to_string(jobs) || a.exited() >= 0 || b.exited() >= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(done, std::to_string(jobs)) << "server 1:\n" << a.log("error") << "server 2:\n" << b.log("error");
  // Both found their own rows.
  EXPECT_NE(a.log("message").find("SETTINGS: server ID 1\n"), std::string::npos) << a.log("message");
  EXPECT_NE(b.log("message").find("SETTINGS: server ID 2\n"), std::string::npos) << b.log("message");
  EXPECT_TRUE(a.exited() < 0 && b.exited() < 0) << "a daemon ended";
  // Both stopped: nothing can run a job a second time after the counts.
  a.stop();
  b.stop();

  // Each job exactly once, by a server that may run it, into that server's store.
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance"), std::to_string(jobs));
  EXPECT_EQ(admin.scalar("select count(distinct report_id) from demand_report_instance"), std::to_string(jobs));
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance i join run_on_servers r using (report_id) "
                         "where i.server<>r.server"),
            "0");
  EXPECT_EQ(admin.scalar("select count(*) from demand_reports d join run_on_servers r using (report_id) "
                         "where d.server<>r.server"),
            "0");
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance where server=1 and report_id between 1 and 20"),
            "20");
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance where server=2 and report_id between 21 and 40"),
            "20");
  std::map<int, const Server *> by_id = {{1, &a}, {2, &b}};
  kxtest::AdminConnection rows(db.name());
  MYSQL *m = rows.raw();
  ASSERT_EQ(mysql_query(m, "select server, path from demand_report_instance"), 0);
  MYSQL_RES *r = mysql_store_result(m);
  ASSERT_NE(r, nullptr);
  int in_own_store = 0;
  while (MYSQL_ROW row = mysql_fetch_row(r)) {
    std::string path = row[1] ? row[1] : "";
    const Server *s = row[0] ? by_id[atoi(row[0])] : nullptr;
    if (s && path.rfind(store, 0) == 0 && fs::exists(s->root() + "/store/" + path.substr(store.size()) + "root"))
      in_own_store++;
  }
  mysql_free_result(r);
  EXPECT_EQ(in_own_store, jobs);
  const std::string by_a = admin.scalar("select count(*) from demand_report_instance where server=1");
  RecordProperty("jobs_server_1", by_a);
}

}  // namespace
