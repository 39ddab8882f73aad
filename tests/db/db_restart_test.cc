// A statement issued while the server is down waits for it: the layer
// reconnects when the server is back and the caller sees success.  The
// test runs a MariaDB server of its own (the shared test server must not
// be stopped under the other tests), so the client library is pointed at
// its socket before it starts.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

std::string os_user() {
  passwd *pw = getpwuid(getuid());
  return pw ? pw->pw_name : "root";
}

class PrivateServer {
 public:
  PrivateServer() {
    std::string user = getuid() == 0 ? " --user=root" : "";
    // A temporary folder of its own: servers installed side by side never meet in /tmp.
    std::filesystem::create_directories(dir_ + "/tmp");
    std::string cmd = "mariadb-install-db --no-defaults --datadir=" + dir_ + "/data --tmpdir=" + dir_ + "/tmp" + user +
                      " --auth-root-authentication-method=socket --skip-test-db >" + dir_ +
                      "/install.log 2>&1";
    installed_ = system(cmd.c_str()) == 0;
  }
  ~PrivateServer() {
    stop();
  }
  bool installed() const { return installed_; }
  std::string socket() const { return dir_ + "/mysqld.sock"; }

  // Starts the server and waits until it answers.
  bool start() {
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      // The server speaks to its own log, not to the test's output.
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::string datadir = "--datadir=" + dir_ + "/data";
      std::string sock = "--socket=" + socket();
      std::string pidfile = "--pid-file=" + dir_ + "/mysqld.pid";
      std::string log = "--log-error=" + dir_ + "/error.log";
      std::string tmp = "--tmpdir=" + dir_ + "/tmp";
      if (getuid() == 0)
        execlp("mariadbd", "mariadbd", "--no-defaults", datadir.c_str(), sock.c_str(), pidfile.c_str(),
               log.c_str(), tmp.c_str(), "--skip-networking", "--innodb-buffer-pool-size=16M", "--user=root", nullptr);
      else
        execlp("mariadbd", "mariadbd", "--no-defaults", datadir.c_str(), sock.c_str(), pidfile.c_str(),
               log.c_str(), tmp.c_str(), "--skip-networking", "--innodb-buffer-pool-size=16M", nullptr);
      _exit(127);
    }
    for (int i = 0; i < 300; i++) {
      MYSQL *m = mysql_init(nullptr);
      bool up = mysql_real_connect(m, "localhost", os_user().c_str(), "", nullptr, 0, socket().c_str(), 0);
      mysql_close(m);
      if (up) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  TempDir tmp_{"kxdbrestart"};
  std::string dir_ = tmp_.path();
  pid_t pid_ = -1;
  bool installed_ = false;
};

TEST(DbRestart, StatementWaitsForTheServerAndSucceeds) {
  KX_REQUIRE_DB();  // the same tools as the shared test server
  PrivateServer server;
  ASSERT_TRUE(server.installed());
  // The client library reads the socket once, when it starts.
  setenv("MYSQL_UNIX_PORT", server.socket().c_str(), 1);
  ASSERT_TRUE(server.start());
  ASSERT_EQ(db_initialize(), -1);
  int h = db_open("mysql", "localhost", os_user().c_str(), "");
  ASSERT_NE(h, 0);
  DB_RESULT *rs = db_execute(h, "select 1");
  ASSERT_NE(rs, nullptr);
  rs->close(rs);

  server.stop();
  testing::internal::CaptureStderr();
  std::atomic<bool> done{false};
  std::string answer;
  std::thread t([&] {
    DB_RESULT *r = db_execute(h, "select 6 * 7");
    if (r) {
      answer = r->fields[0];
      r->close(r);
    }
    done = true;
  });
  // Once the statement has seen the lost session, bring the server back.
  while (db_reconnect_count(h) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  ASSERT_TRUE(server.start());
  t.join();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, "42");
  EXPECT_EQ(db_reconnect_count(h), 1u);
  // The failed reconnect is reported once for the statement.
  std::string msg = "Could not connect to database.  (ip=localhost  user=" + os_user() + "  db name=mysql)\n";
  EXPECT_EQ(err, msg);
  db_close(h);
  db_terminate();
}

}  // namespace
