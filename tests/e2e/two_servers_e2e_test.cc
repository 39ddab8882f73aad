// Four kxreporter processes as four reporting servers on one database and
// one queue. Each runs in a network namespace of its own with a veth pair
// whose address names its server row, and in a mount namespace of its own in
// which its private store and temporary folders stand at the paths the
// shared settings give (each server keeps its own disk). Skipped where the
// machine allows no such namespaces: daemons on the host would all be the
// same 'localhost' server.
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
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"
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

// Jobs of one INSERT statement, "(id, ...), ..." from ids first..last.
std::string job_rows(int first, int last, const std::string &def) {
  std::string sql;
  for (int id = first; id <= last; id++) {
    if (id > first) sql += ',';
    sql += "(" + std::to_string(id) + ", 'r', 'admin', now() - interval 2 second, '" + def + "')";
  }
  return sql;
}

// How many times each demand job was claimed, from the servers' message logs.
std::map<int, int> claims(const std::vector<Server *> &servers) {
  static const std::regex line("Processing demand report ([0-9]+) '");
  std::map<int, int> out;
  for (const Server *s : servers) {
    const std::string log = s->log("message");
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) out[std::stoi((*it)[1])]++;
  }
  return out;
}

TEST(FourServers, SharedQueueEachJobOnceAndRestrictionsHold) {
  KX_REQUIRE_DB();
  if (geteuid() != 0) GTEST_SKIP() << "no private network and mount namespaces without root";
  kxtest::TestDatabase db("four");
  ASSERT_TRUE(db.ok()) << db.error();
  kxtest::AdminConnection admin(db.name());
  TempDir shared("kxshared");
  const std::string store = shared.path() + "/store/", tmp = shared.path() + "/tmp/";
  fs::create_directories(store);
  fs::create_directories(tmp);

  // Server 4 is restricted: it runs only the jobs assigned to it.
  Server s1(1, "10.213.9.1"), s2(2, "10.213.9.2"), s3(3, "10.213.9.3"), s4(4, "10.213.9.4");
  const std::vector<Server *> servers = {&s1, &s2, &s3, &s4};
  ASSERT_TRUE(admin.exec("insert into servers (id, ip, restricted) values (1, '10.213.9.1', 0), (2, '10.213.9.2', 0), "
                         "(3, '10.213.9.3', 0), (4, '10.213.9.4', 1)"));
  ASSERT_TRUE(admin.exec("insert into settings (name, value) values ('report_dir', '" + store + "'), ('temp_dir', '" +
                         tmp + "'), ('process_demand_reports', '1'), ('concurrent_demand_reports', '20')"));

  const time_t t0 = time(nullptr) - 7200;
  auto image = reqlog::sb_image(reqlog::sb_sample(30, static_cast<int32_t>(t0), 10));
  for (Server *s : servers) reqlog::write_log(s->root() + "/logs", "kxlogger_requests_bin_1", image);

  // 1,000 small jobs: ids 1 to 100 assigned 25 to each server, 101 to 120
  // to servers 1 and 2 both, the rest to none (so never to server 4).
  const int jobs = 1000;
  char def[256];
  snprintf(def, sizeof def,
           "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\ndate=@ %lld %lld\n",
           static_cast<long long>(t0), static_cast<long long>(t0 + 1000));
  for (int first = 1; first <= jobs; first += 250)
    ASSERT_TRUE(admin.exec("insert into demand_reports (report_id, name, login, next_run_time, definition) values " +
                           job_rows(first, first + 249, def)))
        << admin.error();
  std::string sql = "insert into run_on_servers (report_id, type, server) values ";
  for (int id = 1; id <= 100; id++) sql += "(" + std::to_string(id) + ", 1, " + std::to_string((id - 1) / 25 + 1) + "),";
  for (int id = 101; id <= 120; id++) sql += "(" + std::to_string(id) + ", 1, 1), (" + std::to_string(id) + ", 1, 2),";
  sql.pop_back();
  ASSERT_TRUE(admin.exec(sql)) << admin.error();

  const auto started = std::chrono::steady_clock::now();
  for (Server *s : servers) ASSERT_TRUE(s->start(db.name(), store, tmp));

  // Waits on progress, not on speed: the run may take as long as it needs
  // while jobs keep finishing, and fails only when none finishes within a
  // generous bound. A child that cannot have its namespaces ends with
  // kNoNamespace, however late: the test then cannot run here.
  const auto stall = std::chrono::seconds(120 * kxtest::wait_scale());
  auto last_progress = std::chrono::steady_clock::now();
  std::string done, before;
  bool ended = false;
  for (;;) {
    for (Server *s : servers)
      if (s->exited() == kNoNamespace)
        GTEST_SKIP() << "no private network namespace with a veth pair, or no private mount namespace, here";
    done = admin.scalar("select count(*) from demand_reports where status like 'Processed Ok%'");
    for (Server *s : servers) ended = ended || s->exited() >= 0;
    if (done == std::to_string(jobs) || ended) break;
    if (done != before) {
      before = done;
      last_progress = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_progress > stall) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string errors;
  for (const Server *s : servers) errors += "server " + std::to_string(s->id()) + ":\n" + s->log("error");
  ASSERT_EQ(done, std::to_string(jobs)) << errors;
  EXPECT_FALSE(ended) << "a daemon ended\n" << errors;
  for (const Server *s : servers)
    EXPECT_NE(s->log("message").find("SETTINGS: server ID " + std::to_string(s->id()) + "\n"), std::string::npos)
        << s->log("message");
  // All stopped: nothing can run a job a second time after the counts.
  for (Server *s : servers) s->stop();

  // Each job claimed once and finished once, by a server that may run it,
  // into that server's store.
  std::map<int, int> claimed = claims(servers);
  int once = 0;
  for (int id = 1; id <= jobs; id++) once += claimed[id] == 1;
  EXPECT_EQ(once, jobs);
  EXPECT_EQ(claimed.size(), static_cast<size_t>(jobs));
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance"), std::to_string(jobs));
  EXPECT_EQ(admin.scalar("select count(distinct report_id) from demand_report_instance"), std::to_string(jobs));
  // Assigned jobs ran on a server they name; server 4 ran only its own.
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance i where exists (select 1 from run_on_servers r "
                         "where r.report_id=i.report_id and r.type=1) and not exists (select 1 from run_on_servers r "
                         "where r.report_id=i.report_id and r.type=1 and r.server=i.server)"),
            "0");
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance where server=4"), "25");
  EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance where server=4 and report_id between 76 and 100"),
            "25");
  for (int k = 1; k <= 4; k++)
    EXPECT_EQ(admin.scalar("select count(*) from demand_report_instance where server=" + std::to_string(k) +
                           " and report_id between " + std::to_string(25 * k - 24) + " and " + std::to_string(25 * k)),
              "25")
        << k;
  EXPECT_EQ(admin.scalar("select count(*) from demand_reports d where d.server is null or d.server not between 1 and 4"),
            "0");
  std::map<int, const Server *> by_id;
  for (const Server *s : servers) by_id[s->id()] = s;
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

  // What the one database served, for the record (never a pass condition).
  std::string share;
  for (int k = 1; k <= 4; k++) {
    std::string n = admin.scalar("select count(*) from demand_report_instance where server=" + std::to_string(k));
    share += " server" + std::to_string(k) + "=" + n;
    RecordProperty("jobs_server_" + std::to_string(k), n);
  }
  char rate[64];
  snprintf(rate, sizeof rate, "%.1f", jobs / seconds);
  RecordProperty("jobs_per_second", rate);
  printf("four servers, one database: %d jobs in %.1f s, %s jobs per second;%s\n", jobs, seconds, rate,
         share.c_str());
}

}  // namespace
