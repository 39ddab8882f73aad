// scripts/testdb.sh as a user runs it: "start" makes a database that "stop"
// keeps and a second "start" serves again, "destroy" removes it; and as the
// test scripts source it: a temporary server whose folder testdb_stop
// removes. Each case runs its own server in a folder of its own, never the
// one the other tests use.
#include <stdio.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/fixtures/tmpdir.h"

namespace {

struct Shell {
  int status = -1;
  std::string out;
};

// Runs a bash script text in the source tree with the variables of any
// outer test database removed (so nothing here can reach that server).
Shell bash(const std::string &script) {
  std::string cmd = "cd '" + std::string(KX_SOURCE_DIR) +
                    "' && env -u TESTDB_DIR -u MYSQL_UNIX_PORT -u reportip -u reportlogin -u reportpassword "
                    "-u reportdb bash -c '" +
                    script + "' 2>&1";
  Shell r;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

bool have_mariadb() { return bash("command -v mariadb-install-db && command -v mariadbd").status == 0; }

class TestDb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_mariadb()) GTEST_SKIP() << "mariadb-install-db or mariadbd is not installed";
    ASSERT_FALSE(dir_.path().empty());
  }
  // A command line of the script over this test's own database folder.
  std::string cli(const std::string &word) const {
    return "KX_TESTDB_DIR=" + db() + " bash scripts/testdb.sh " + word;
  }
  // Runs sql through the client on the server that "start" printed.
  std::string with_server(const std::string &sql) const {
    return "eval \"$(" + cli("start") + ")\" && mariadb --no-defaults -u \"$reportlogin\" -p\"$reportpassword\" -N -B " +
           "\"$reportdb\" -e \"" + sql + "\"";
  }
  std::string db() const { return dir_.path() + "/db"; }

  TempDir dir_{"kxtestdbcase"};
};

TEST_F(TestDb, StopKeepsTheDatabaseAndDestroyRemovesIt) {
  Shell first = bash(with_server("create table kept (x int); insert into kept values (7); select x from kept"));
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("7\n"), std::string::npos) << first.out;

  Shell stop = bash(cli("stop"));
  EXPECT_EQ(stop.status, 0) << stop.out;
  EXPECT_TRUE(std::filesystem::exists(db())) << "stop removed the database folder";
  // Stopped means stopped: the client finds no server on the socket.
  Shell down = bash("mariadb --no-defaults --socket=" + db() + "/mysqld.sock -e \"select 1\"");
  EXPECT_NE(down.status, 0) << down.out;

  // The same database again, with its rows; a second start while it runs
  // only prints the variables.
  Shell again = bash(with_server("select x from kept"));
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_NE(again.out.find("7\n"), std::string::npos) << again.out;
  Shell twice = bash(with_server("select count(*) from kept"));
  EXPECT_EQ(twice.status, 0) << twice.out;
  EXPECT_NE(twice.out.find("1\n"), std::string::npos) << twice.out;

  Shell destroy = bash(cli("destroy"));
  EXPECT_EQ(destroy.status, 0) << destroy.out;
  EXPECT_FALSE(std::filesystem::exists(db())) << "destroy left the database folder";
  // Nothing left to stop or destroy is no error.
  EXPECT_EQ(bash(cli("stop")).status, 0);
  EXPECT_EQ(bash(cli("destroy")).status, 0);
  EXPECT_EQ(bash(cli("bogus")).status, 2);
}

TEST_F(TestDb, SourcedServerIsTemporary) {
  // As scripts/test.sh and the demo use it: testdb_stop (their exit trap)
  // stops the server and removes its folder.
  Shell r = bash(
      "source scripts/testdb.sh && testdb_start 2>/dev/null && d=$TESTDB_DIR && "
      "mariadb --no-defaults -u \"$reportlogin\" -p\"$reportpassword\" -N -B \"$reportdb\" "
      "-e \"select count(*) from global\" && testdb_stop && echo \"folder $d\" && test ! -e \"$d\" && echo gone");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("folder /tmp/kxtestdb."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("gone\n"), std::string::npos) << r.out;
}

}  // namespace
