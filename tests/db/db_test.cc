// The MySQL access layer against the private MariaDB server.
#include "lib/runtime/db.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/db/dbtest.h"

using kxtest::AdminConnection;
using kxtest::read_text_file;
using kxtest::TestDatabase;

namespace {

int count_of(const std::string &text, const std::string &word) {
  int n = 0;
  for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + 1)) n++;
  return n;
}

// The layer set up for one test; the schema database for the executable.
class DbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (kxtest::db_server_available()) db_ = new TestDatabase("db");
  }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(db_initialize(), -1); }
  void TearDown() override { db_terminate(); }

  // Opens the test database; fails the test when that is impossible.
  int open_db() {
    if (!db_ || !db_->ok()) {
      ADD_FAILURE() << "test database: " << (db_ ? db_->error() : "none");
      return 0;
    }
    return db_->open_handle();
  }
  static TestDatabase *db_;
};
TestDatabase *DbTest::db_ = nullptr;

TEST_F(DbTest, InitialiseTwiceAndTerminateTwice) {
  EXPECT_EQ(db_initialize(), 0);
  EXPECT_EQ(db_terminate(), -1);
  EXPECT_EQ(db_terminate(), 0);
  EXPECT_EQ(db_initialize(), -1);
}

TEST_F(DbTest, NullArgumentsAndBadHandlesFailWithoutConnecting) {
  EXPECT_EQ(db_open("db", "localhost", "user", nullptr), 0);
  EXPECT_EQ(db_open(nullptr, "localhost", "user", "pw"), 0);
  // Never-opened handles: nothing is run and nothing connects.
  testing::internal::CaptureStderr();
  EXPECT_EQ(db_query(1, "select 1"), nullptr);
  EXPECT_EQ(db_execute(1, "select 1"), nullptr);
  EXPECT_EQ(db_execute_0(0, "select 1"), nullptr);
  EXPECT_EQ(db_execute2(-3, "select %d", 1), nullptr);
  EXPECT_EQ(db_open_clone(1), 0);
  EXPECT_EQ(db_close(1), 0);
  EXPECT_EQ(db_reconnect_count(1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(DbTest, NotInitialisedLayerRefusesEverything) {
  db_terminate();
  EXPECT_EQ(db_open("db", "localhost", "user", "pw"), 0);
  EXPECT_EQ(db_close(1), 0);
  EXPECT_EQ(db_query(1, "select 1"), nullptr);
  ASSERT_EQ(db_initialize(), -1);
}

TEST(DbEscape, EscapesQuotesBackslashesAndControls) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"O'Brien", "O\\'Brien"},
      {"a\\b", "a\\\\b"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"t\tn\nr\rb\b", "t\\tn\\nr\\rb\\b"},
      {"", ""},
      {"plain \xc3\xa9t\xc3\xa9", "plain \xc3\xa9t\xc3\xa9"},
  };
  for (const auto &c : cases) {
    char *e = escape_encode(c.in);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, c.out) << c.in;
    free(e);
  }
  char *e = escape_encode(nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e, "");
  free(e);
}

TEST_F(DbTest, HandlesAreReusedAndClonesWork) {
  KX_REQUIRE_DB();
  int h1 = open_db();
  ASSERT_NE(h1, 0);
  int h2 = open_db();
  int h3 = open_db();
  EXPECT_EQ(h2, h1 + 1);
  EXPECT_EQ(h3, h1 + 2);
  EXPECT_EQ(db_close(h2), -1);
  EXPECT_EQ(db_close(h2), 0);  // already closed
  // A closed handle runs nothing.
  EXPECT_EQ(db_query(h2, "select 1"), nullptr);
  int again = db_open_clone(h1);
  EXPECT_EQ(again, h2);
  DB_RESULT *rs = db_execute(again, "select database()");
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[0], db_->name().c_str());
  rs->close(rs);
  EXPECT_EQ(db_open_clone(h1 + 100), 0);
}

TEST_F(DbTest, FailedOpenLogsAndGivesItsSlotBack) {
  KX_REQUIRE_DB();
  int h1 = open_db();
  ASSERT_NE(h1, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(db_open(db_->name().c_str(), "localhost", "no_such_user", "x"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Could not connect to database.  (ip=localhost  user=no_such_user  db name=" +
                     db_->name() + ")\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(open_db(), h1 + 1);
}

TEST_F(DbTest, ResultSetsStandOnTheirFirstRow) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  ASSERT_NE(db_query(h, "delete from settings"), nullptr);
  ASSERT_NE(db_query(h, "insert into settings (name, value) values ('a','1'),('b',NULL),('c','333')"),
            nullptr);
  DB_RESULT *rs = db_execute2(h, "select name, value from settings where name<>'%s' order by id", "zz");
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->record_count, 3u);
  std::vector<std::string> seen;
  while (rs->eof == 0) {
    seen.push_back(std::string(rs->fields[0]) + "=" + (rs->fields[1] ? rs->fields[1] : "(null)"));
    if (rs->fields[1]) {
      EXPECT_EQ(rs->lengths[1], strlen(rs->fields[1]));
    }
    rs->movenext(rs);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "b=(null)", "c=333"}));
  EXPECT_EQ(rs->fields, nullptr);
  EXPECT_EQ(rs->lengths, nullptr);
  EXPECT_EQ(rs->movenext(rs), -1);  // stays at the end
  rs->close(rs);
}

TEST_F(DbTest, EmptyResult) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  const char *q = "select name from settings where name='no such name'";
  EXPECT_EQ(db_execute(h, q), nullptr);
  DB_RESULT *rs = db_execute_0(h, q);
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->record_count, 0u);
  EXPECT_EQ(rs->eof, -1);
  EXPECT_EQ(rs->fields, nullptr);
  rs->close(rs);
}

TEST_F(DbTest, UpdateRunsButGivesNoResultSet) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  AdminConnection admin(db_->name());
  ASSERT_TRUE(admin.ok()) << admin.error();
  std::string before = admin.scalar("select next_rep_file from global");
  testing::internal::CaptureStderr();
  EXPECT_EQ(db_execute(h, "update global set next_rep_file=next_rep_file+1"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(admin.scalar("select next_rep_file from global"), std::to_string(std::stoi(before) + 1));
  EXPECT_NE(db_query(h, "update global set next_rep_file=%d", 7), nullptr);
  EXPECT_EQ(admin.scalar("select next_rep_file from global"), "7");
  // A select through db_query leaves the connection usable.
  EXPECT_NE(db_query(h, "select * from settings"), nullptr);
  EXPECT_NE(db_query(h, "select 1"), nullptr);
}

TEST_F(DbTest, SyntaxErrorIsReportedOnceWithoutRetry) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(db_execute(h, "selec nothing frm nowhere"), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(err, "DB Error: '"), 1) << err;
  EXPECT_NE(err.find("sql='selec nothing frm nowhere'\n"), std::string::npos) << err;
  EXPECT_EQ(db_reconnect_count(h), 0u);
  // The connection is still good.
  DB_RESULT *rs = db_execute(h, "select 2");
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[0], "2");
  rs->close(rs);
}

TEST_F(DbTest, KilledConnectionIsReplacedAndTheStatementSucceeds) {
  KX_REQUIRE_DB();
  int h = open_db();
  int killer = open_db();
  ASSERT_NE(h, 0);
  ASSERT_NE(killer, 0);
  DB_RESULT *rs = db_execute(h, "select connection_id()");
  ASSERT_NE(rs, nullptr);
  std::string id = rs->fields[0];
  rs->close(rs);
  // The session's table lock goes with it.
  ASSERT_NE(db_query(h, "lock tables global write"), nullptr);
  ASSERT_NE(db_query(killer, "kill %s", id.c_str()), nullptr);
  unsigned long before = db_reconnect_count(h);
  rs = db_execute(h, "select connection_id(), next_rep_file from global");
  ASSERT_NE(rs, nullptr);
  EXPECT_NE(std::string(rs->fields[0]), id);
  rs->close(rs);
  EXPECT_EQ(db_reconnect_count(h), before + 1);
  EXPECT_EQ(db_reconnect_count(killer), 0u);
  // The new session holds no lock: another connection writes at once.
  EXPECT_NE(db_query(killer, "update global set next_rep_file=next_rep_file+1"), nullptr);
}

TEST_F(DbTest, EscapedTextsAndFourByteCharactersSurviveTheRoundTrip) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  const char *texts[] = {"O'Brien", "back\\slash\\", "quote\" and '", "line\nbreak\ttab\r",
                         "emoji \xf0\x9f\x98\x80 and \xe2\x82\xac", "' or 1=1 -- "};
  for (const char *t : texts) {
    char *e = escape_encode(t);
    ASSERT_NE(e, nullptr);
    ASSERT_NE(db_query(h, "insert into settings (name, value) values ('escape_probe', '%s')", e), nullptr);
    free(e);
    DB_RESULT *rs =
        db_execute(h, "select value from settings where name='escape_probe' order by id desc limit 1");
    ASSERT_NE(rs, nullptr);
    EXPECT_STREQ(rs->fields[0], t);
    rs->close(rs);
  }
}

TEST_F(DbTest, ThreadsOpenCloneAndCloseWhileOthersRun) {
  KX_REQUIRE_DB();
  int main_h = open_db();
  ASSERT_NE(main_h, 0);
  std::vector<std::thread> threads;
  std::vector<int> good(8, 0);
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; i++) {
        int h = db_open_clone(main_h);
        if (!h) return;
        DB_RESULT *rs = db_execute2(h, "select %d + %d", t, i);
        if (rs && std::atoi(rs->fields[0]) == t + i) good[t]++;
        if (rs) rs->close(rs);
        db_close(h);
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < 8; t++) EXPECT_EQ(good[t], 10) << "thread " << t;
}

// The daemon stops its runtime while the main loop and report threads may be
// inside a statement: the statement ends normally, nothing is freed under
// it, and afterwards the handle is refused.
TEST_F(DbTest, TerminateWhileAStatementRuns) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  AdminConnection admin;
  ASSERT_TRUE(admin.ok()) << admin.error();
  MYSQL *result = nullptr;
  std::thread worker([&] { result = db_query(h, "select sleep(2) as kx_terminate_probe"); });
  // Until the server runs it (bounded).
  const char *probe =
      "select count(*) from information_schema.processlist where info like 'select sleep(2) as kx_terminate_probe%'";
  bool running = false;
  for (int i = 0; i < 500 && !running; i++) {
    running = admin.scalar(probe) == "1";
    if (!running) usleep(10000);
  }
  EXPECT_TRUE(running);
  EXPECT_EQ(db_terminate(), -1);
  worker.join();
  EXPECT_NE(result, nullptr);
  EXPECT_EQ(db_query(h, "select 1"), nullptr);
  // The connection went with the statement's end; a new start-up reuses its slot.
  EXPECT_EQ(db_initialize(), -1);
  EXPECT_EQ(db_query(h, "select 1"), nullptr);
  EXPECT_EQ(open_db(), h);
}

// A session lost inside a transaction took the transaction's statements with
// it: the statement is not run again on the new session (where it would
// commit alone); it fails, and the caller starts its sequence again.
TEST_F(DbTest, LostSessionInsideATransactionIsNotRunAgain) {
  KX_REQUIRE_DB();
  int h = open_db();
  int killer = open_db();
  ASSERT_NE(h, 0);
  ASSERT_NE(killer, 0);
  AdminConnection admin(db_->name());
  ASSERT_TRUE(admin.exec("create table txn_probe (v int) engine=InnoDB")) << admin.error();
  db_result_ptr id{db_execute(h, "select connection_id()")};
  ASSERT_NE(id, nullptr);
  ASSERT_NE(db_query(h, "set autocommit=0"), nullptr);
  ASSERT_NE(db_query(h, "insert into txn_probe values (1)"), nullptr);
  ASSERT_NE(db_query(killer, "kill %s", id->fields[0]), nullptr);
  const unsigned long before = db_reconnect_count(h);
  testing::internal::CaptureStderr();
  EXPECT_EQ(db_query(h, "insert into txn_probe values (2)"), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("sql='insert into txn_probe values (2)'"), std::string::npos) << err;
  EXPECT_EQ(db_reconnect_count(h), before + 1);
  EXPECT_EQ(admin.scalar("select count(*) from txn_probe"), "0");
  // The handle goes on with a new session, in autocommit again.
  ASSERT_NE(db_query(h, "insert into txn_probe values (3)"), nullptr);
  EXPECT_EQ(admin.scalar("select group_concat(v) from txn_probe"), "3");
  EXPECT_EQ(admin.scalar("select count(*) from txn_probe"), "1");
}

// A deadlock or a lock wait timeout rolled an autocommit statement back
// whole: the layer runs it again a bounded number of times. Inside a
// transaction the caller's earlier statements may be gone with it: no retry.
TEST_F(DbTest, DeadlocksAndLockWaitsAreRetriedABoundedNumberOfTimes) {
  KX_REQUIRE_DB();
  int h = open_db();
  ASSERT_NE(h, 0);
  AdminConnection admin(db_->name());
  // The tries are counted in a table that no rollback undoes.
  ASSERT_TRUE(admin.exec("create table lock_tries (n int, fail int) engine=MyISAM;"
                         "insert into lock_tries values (0, 0);"
                         "create table lock_probe (v int) engine=InnoDB"))
      << admin.error();
  struct Case {
    int error;
    int failures;      // how many tries the server refuses
    bool transaction;  // autocommit off
    bool ok;
    int tries;
  } cases[] = {
      {1213, 2, false, true, 3},
      {1205, 2, false, true, 3},
      {1213, 100, false, false, 1 + kDbLockRetries},
      {1205, 100, false, false, 1 + kDbLockRetries},
      {1213, 1, true, false, 1},
      {1205, 1, true, false, 1},
  };
  for (const Case &c : cases) {
    const std::string trace = std::to_string(c.error) + " x" + std::to_string(c.failures) +
                              (c.transaction ? " in a transaction" : "");
    ASSERT_TRUE(admin.exec("drop trigger if exists lock_refuse;"
                           "create trigger lock_refuse before insert on lock_probe for each row begin "
                           "update lock_tries set n=n+1; "
                           "if (select n from lock_tries) <= (select fail from lock_tries) then "
                           "signal sqlstate '40001' set mysql_errno=" +
                           std::to_string(c.error) + ", message_text='refused'; end if; end;"
                           "delete from lock_probe; update lock_tries set n=0, fail=" +
                           std::to_string(c.failures)))
        << admin.error();
    if (c.transaction) {
      ASSERT_NE(db_query(h, "set autocommit=0"), nullptr);
    }
    testing::internal::CaptureStderr();
    MYSQL *r = db_query(h, "insert into lock_probe values (7)");
    const unsigned int error = db_last_error(h);
    std::string err = testing::internal::GetCapturedStderr();
    if (c.transaction) {
      db_query(h, "commit");
      db_query(h, "set autocommit=1");
    }
    EXPECT_EQ(r != nullptr, c.ok) << trace;
    EXPECT_EQ(admin.scalar("select n from lock_tries"), std::to_string(c.tries)) << trace;
    EXPECT_EQ(admin.scalar("select count(*) from lock_probe"), c.ok ? "1" : "0") << trace;
    // A retried statement that lands says nothing; one that does not, once.
    EXPECT_EQ(count_of(err, "DB Error: '"), c.ok ? 0 : 1) << trace << err;
    EXPECT_EQ(error, c.ok ? 0u : static_cast<unsigned>(c.error)) << trace;
  }
}

// A text that could not be escaped for want of memory never reaches the
// server as an empty text: the statement that holds it fails.
TEST_F(DbTest, AnUnescapableTextFailsTheStatement) {
  KX_REQUIRE_DB();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator reserves far more address space than the limit leaves";
#endif
  AdminConnection admin(db_->name());
  ASSERT_TRUE(admin.ok()) << admin.error();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A connection of the child's own, then an address space too small for
    // the escaped copy of a 64 MB text.
    int h = open_db();
    std::string big(64u << 20, 'a');
    std::string status = read_text_file("/proc/self/status");
    size_t at = status.find("\nVmSize:");
    if (!h || at == std::string::npos) _exit(2);
    rlim_t kb = strtoull(status.c_str() + at + 8, nullptr, 10);
    struct rlimit lim = {(kb + (32u << 10)) << 10, (kb + (32u << 10)) << 10};
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    if (escape_encode(big.c_str()) != nullptr) _exit(4);
    std::string e = db_escaped(big.c_str());
    if (db_query(h, "insert into settings (name, value) values ('unescaped', '%s')", e.c_str()) != nullptr) _exit(6);
    if (db_execute2(h, "select count(*) from settings where value='%s'", e.c_str()) != nullptr) _exit(7);
    // Statements without it still run.
    if (db_query(h, "insert into settings (name, value) values ('unescaped', 'after')") == nullptr) _exit(8);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(admin.scalar("select group_concat(value) from settings where name='unescaped'"), "after");
}

}  // namespace
