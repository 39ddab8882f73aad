// Continuous-report database output: a continuous report's groups appended
// to its result table and its period to the date-index table, read back
// from the private MariaDB server.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "src/daemon/housekeeping.h"
#include "src/report/continuous.h"
#include "src/report/group.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/engine/group_fixture.h"

namespace {

using grouptest::GroupRun;
using grouptest::Row;
using kxtest::AdminConnection;
using kxtest::TestDatabase;

class ContinuousTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (kxtest::db_server_available()) db_ = new TestDatabase("cont");
  }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override {
    if (!kxtest::db_server_available()) GTEST_SKIP() << "no test database server";
    ASSERT_TRUE(db_ && db_->ok()) << (db_ ? db_->error() : "none");
    ASSERT_EQ(db_initialize(), -1);
    handle_ = db_->open_handle();
    ASSERT_NE(handle_, 0);
    admin_ = std::make_unique<AdminConnection>(db_->name());
    ASSERT_TRUE(admin_->ok()) << admin_->error();
  }
  void TearDown() override {
    if (admin_) admin_->exec("drop table if exists contrep, contrep_di");
    if (handle_) db_terminate();
  }

  // A continuous run grouping rows at one level, its table "contrep" and
  // its period start `start`.
  std::unique_ptr<GroupRun> run(const std::string &definition, time_t start, const char *table = "contrep") {
    auto r = std::make_unique<GroupRun>(definition, REPORT_CONTINUOUS);
    r->rep->table = strdup(table);
    r->rep->start = start;
    return r;
  }
  GROUP_TREE *tree(GroupRun &r, Row &typed) {
    r.rep->groups = group_initialize(r.rep, 0, GROUP_MAX_GROUPS_CONTINUOUS, typed.rec(), typed.map());
    return r.rep->groups;
  }
  int add(GroupRun &r, Row &row) {
    return group_add_record(r.rep->groups, row.rec(), row.map(), -1, nullptr, r.rep, nullptr);
  }

  // Every row of a statement, columns joined by "|".
  std::vector<std::string> rows(const std::string &sql) {
    std::vector<std::string> out;
    MYSQL *m = admin_->raw();
    if (mysql_query(m, sql.c_str()) != 0) {
      out.push_back(grouptest::join("<error: ", mysql_error(m), ">"));
      return out;
    }
    MYSQL_RES *res = mysql_store_result(m);
    if (!res) return out;
    unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      std::string line;
      for (unsigned i = 0; i < n; ++i) {
        if (i) line += "|";
        line += row[i] ? row[i] : "NULL";
      }
      out.push_back(line);
    }
    mysql_free_result(res);
    return out;
  }

  // name as the text of an SQL string literal.
  static std::string escaped(const std::string &name) {
    std::string out;
    for (char c : name) {
      if (c == '\'' || c == '\\') out += c;
      out += c;
    }
    return out;
  }

  static TestDatabase *db_;
  int handle_ = 0;
  std::unique_ptr<AdminConnection> admin_;
};

TestDatabase *ContinuousTest::db_ = nullptr;

const char kByUser[] = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,10,11\n";

TEST_F(ContinuousTest, GroupsAreAppendedInTheirOrderWithTheDateIndex) {
  auto r = run(kByUser, 1700000000);
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(tree(*r, typed), nullptr);
  struct In {
    const char *user;
    int denied;
  } in[] = {{"m", 0}, {"d", 1}, {"x", 0}, {"m", 1}, {"a", 0}, {"o'neil", 0}};
  for (const In &i : in) {
    Row row;
    row.text(FIELD_USER, i.user).num(FIELD_DENIED_FLAG, i.denied, 0x71);
    ASSERT_EQ(add(*r, row), 0);
  }
  ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
  // Smaller keys, greater keys, then the node: a, d, o'neil, x, m.
  EXPECT_EQ(rows("select * from contrep"),
            (std::vector<std::string>{"1700000000|a|1|1|0", "1700000000|d|1|0|1", "1700000000|o'neil|1|1|0",
                                      "1700000000|x|1|1|0", "1700000000|m|2|1|1"}));
  EXPECT_EQ(rows("select * from contrep_di"), (std::vector<std::string>{"1700000000"}));
  EXPECT_EQ(rows("select column_name from information_schema.columns where table_schema=database() and "
                 "table_name='contrep' order by ordinal_position"),
            (std::vector<std::string>{"date", "groupby", "request_count", "request_allowed", "request_denied"}));
  EXPECT_EQ(rows("select engine from information_schema.tables where table_schema=database() and "
                 "table_name in ('contrep','contrep_di')"),
            (std::vector<std::string>{"MyISAM", "MyISAM"}));
}

TEST_F(ContinuousTest, AnEmptyPeriodCreatesBothTablesAndOnlyTheDate) {
  auto r = run(kByUser, 1700003600);
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(tree(*r, typed), nullptr);
  ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
  EXPECT_EQ(rows("select count(*) from contrep"), (std::vector<std::string>{"0"}));
  EXPECT_EQ(rows("select * from contrep_di"), (std::vector<std::string>{"1700003600"}));
}

TEST_F(ContinuousTest, TwoRunsOfOnePeriodAddRowsTwiceAndOneDate) {
  for (int pass = 0; pass < 2; ++pass) {
    auto r = run(kByUser, 1700007200);
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    ASSERT_NE(tree(*r, typed), nullptr);
    Row row;
    row.text(FIELD_USER, "u").num(FIELD_DENIED_FLAG, 0, 0x71);
    ASSERT_EQ(add(*r, row), 0);
    ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
  }
  EXPECT_EQ(rows("select * from contrep"),
            (std::vector<std::string>{"1700007200|u|1|1|0", "1700007200|u|1|1|0"}));
  EXPECT_EQ(rows("select * from contrep_di"), (std::vector<std::string>{"1700007200"}));
}

TEST_F(ContinuousTest, KeyTypesAsText) {
  // Each key value is met a different number of times, so a value written
  // under the wrong label shows in the counts.
  struct Case {
    const char *name;
    int groupby;
    std::vector<std::string> expect;
  } cases[] = {
      {"denied flag", 6, {"5|Allowed|1", "5|Denied|2"}},
      {"address", 2, {"5|10.1.2.3|1", "5|10.9.8.7|2"}},
      {"category", 5, {"5|3|1", "5|9|2"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    admin_->exec("drop table if exists contrep, contrep_di");
    auto r = run(grouptest::join("[group]\ntype=SUMMARY\ngroupby=", std::to_string(c.groupby), "\nsummary=9\n"), 5);
    Row typed;
    typed.empty(FIELD_DENIED_FLAG, 0x71).empty(FIELD_IP, 0x57).empty(FIELD_CATS, 0x36);
    ASSERT_NE(tree(*r, typed), nullptr);
    for (int denied : {0, 1, 1}) {
      Row row;
      if (c.groupby == 5) row.cats({denied ? 9u : 3u});
      row.num(FIELD_DENIED_FLAG, static_cast<uint64_t>(denied), 0x71).ip4(FIELD_IP, denied ? 0x0A090807 : 0x0A010203);
      ASSERT_EQ(add(*r, row), 0);
    }
    ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
    EXPECT_EQ(rows("select * from contrep order by groupby"), c.expect);
  }
}

TEST_F(ContinuousTest, TimeBucketsAreRowsOfTheirPeriod) {
  // One-minute buckets from the period start: each finished bucket is a
  // row of the run's period, keyed by the bucket's start, the empty ones
  // between records too; a record on a bucket's start opens that bucket.
  const time_t start = 1700000000 - 1700000000 % 60;
  auto r = run("[group]\ntype=SUMMARY\ngroupby=19\nsummary=9,11\n", start);
  Row typed;
  typed.empty(FIELD_DATE, 0x43);
  ASSERT_NE(tree(*r, typed), nullptr);
  for (time_t t : {start + 5, start + 59, start + 60, start + 185}) {
    Row row;
    row.num(FIELD_DATE, static_cast<uint64_t>(t), 0x43).num(FIELD_DENIED_FLAG, t == start + 60, 0x71);
    ASSERT_EQ(add(*r, row), 0) << (r->rep->error ? r->rep->error : "");
  }
  ASSERT_EQ(r->rep->error, nullptr);
  ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
  const std::string s = std::to_string(start);
  auto key = [start](int minutes) { return std::to_string(start + 60 * minutes); };
  EXPECT_EQ(rows("select * from contrep"),
            (std::vector<std::string>{grouptest::join(s, "|", key(0), "|2|0"), grouptest::join(s, "|", key(1), "|1|1"),
                                      grouptest::join(s, "|", key(2), "|0|0"), grouptest::join(s, "|", key(3), "|1|0")}));
  EXPECT_EQ(rows("select * from contrep_di"), (std::vector<std::string>{s}));
}

TEST_F(ContinuousTest, EveryNameTheServerTakesInBackquotesIsATableName) {
  // 61 characters at most: the date-index table adds "_di" to 64.
  const std::string longest(61, 'a'), wide = [] {
    std::string s;
    for (int i = 0; i < 61; ++i) s += "\xc3\xa4";  // 61 times U+00E4
    return s;
  }();
  for (const std::string &name : {std::string("report-7.results"), std::string("o'neil"), std::string("a b"),
                                   std::string("x%sy"), std::string("a\\b"), std::string(" lead"),
                                   std::string("\xe5\x90\x8d\xef\xbf\xbf"), longest, wide}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(continuous_table_name_valid(name.c_str()));
    auto r = run(kByUser, 77, name.c_str());
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    ASSERT_NE(tree(*r, typed), nullptr);
    Row row;
    row.text(FIELD_USER, "u").num(FIELD_DENIED_FLAG, 1, 0x71);
    ASSERT_EQ(add(*r, row), 0);
    ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
    EXPECT_EQ(rows("select * from `" + name + "`"), (std::vector<std::string>{"77|u|1|0|1"}));
    EXPECT_EQ(rows("select * from `" + name + "_di`"), (std::vector<std::string>{"77"}));
    EXPECT_EQ(rows("select count(*) from information_schema.tables where table_schema=database() and "
                   "table_name in ('" + grouptest::join(escaped(name), "','", escaped(name), "_di')")),
              (std::vector<std::string>{"2"}));
    admin_->exec("drop table if exists `" + name + "`, `" + name + "_di`");
  }
}

TEST_F(ContinuousTest, ANameTheServerRefusesNeverReachesSql) {
  const std::string tables = "select count(*) from information_schema.tables where table_schema=database()";
  auto before = rows(tables);
  for (const std::string &name :
       {std::string(), std::string("a`b"), std::string("x; drop table global`"), std::string("trail "),
        std::string("tab\t"), std::string("line\n"), std::string(62, 'a'), std::string("\xf0\x9f\x98\x80"),
        std::string("a\xc3"), std::string("\xc0\xaf"), std::string("\xed\xa0\x80")}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(continuous_table_name_valid(name.c_str()));
    auto r = run(kByUser, 1, name.c_str());
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    ASSERT_NE(tree(*r, typed), nullptr);
    EXPECT_EQ(group_write_db(r->rep->groups, r->rep, handle_), 0);
  }
  EXPECT_EQ(rows(tables), before);
  EXPECT_FALSE(continuous_table_name_valid(nullptr));
}

TEST_F(ContinuousTest, StartUpDropsTheRowsOfInterruptedRunsAndReleasesThem) {
  // Hourly jobs whose next run was 10:00 UTC: the interrupted run covered
  // the hour from 09:00 in UTC, from 08:30 UTC in a zone of +05:30.
  const long long next = std::stoll(admin_->scalar("select unix_timestamp('2026-06-01 10:00:00')"));
  const long long utc = next - next % 3600 - 3600, india = utc - 1800;
  struct Job {
    int id, flag, server;
    const char *table, *zone;
    long long interrupted;  // period start of the interrupted run
    bool released;          // its rows go and it is ready again
  } jobs[] = {
      {1, 1, 1, "cont-a", "UTC", utc, true},             // this server
      {2, 1, 99, "cont.b", "Asia/Kolkata", india, true},  // a server that is gone
      {3, 1, 2, "cont_c", "UTC", utc, false},            // another server's running job
      {4, 0, 1, "cont_d", "UTC", utc, false},            // not claimed
  };
  ASSERT_TRUE(admin_->exec("delete from servers; delete from continuous_reports;"
                           "insert into servers (id, ip) values (1, '10.9.9.1'), (2, '10.9.9.2')"))
      << admin_->error();
  for (const Job &j : jobs) {
    const std::string t = j.table, id = std::to_string(j.id);
    const std::string mine = std::to_string(j.interrupted), before = std::to_string(j.interrupted - 3600);
    ASSERT_TRUE(admin_->exec(
        "insert into continuous_reports (report_id, definition, error_flag, server, next_run_time, run_interval, "
        "report_table) values (" + id + ", '[general]\\ntimezone=" + j.zone + "\\n[group]\\ntype=SUMMARY\\n"
        "groupby=3\\nsummary=9\\n', " + std::to_string(j.flag) + ", " + std::to_string(j.server) +
        ", from_unixtime(" + std::to_string(next) + "), 23, '" + t + "');"
        "create table `" + t + "` (date bigint not null, groupby text not null, request_count bigint not null);"
        "create table `" + t + "_di` (date bigint primary key);"
        "insert into `" + t + "` values (" + before + ", 'u', 1), (" + mine + ", 'u', 2), (" + mine + ", 'v', 3);"
        "insert into `" + t + "_di` values (" + before + "), (" + mine + ")"))
        << admin_->error();
  }
  // A claimed job whose table name the server would refuse is released too.
  ASSERT_TRUE(admin_->exec("insert into continuous_reports (report_id, error_flag, server, next_run_time, "
                           "run_interval, report_table) values (5, 1, 1, from_unixtime(" +
                           std::to_string(next) + "), 23, 'bad`name')"))
      << admin_->error();
  settings.server_id = 1;
  reporter_cleanup_continuous(handle_);
  for (const Job &j : jobs) {
    SCOPED_TRACE(j.table);
    const std::string t = j.table;
    const std::string mine = std::to_string(j.interrupted), before = std::to_string(j.interrupted - 3600);
    const std::vector<std::string> kept =
        j.released ? std::vector<std::string>{before + "|u|1"}
                   : std::vector<std::string>{before + "|u|1", mine + "|u|2", mine + "|v|3"};
    EXPECT_EQ(rows("select * from `" + t + "` order by date, groupby"), kept);
    const std::vector<std::string> dates =
        j.released ? std::vector<std::string>{before} : std::vector<std::string>{before, mine};
    EXPECT_EQ(rows("select * from `" + t + "_di` order by date"), dates);
    EXPECT_EQ(rows("select error_flag from continuous_reports where report_id=" + std::to_string(j.id)),
              (std::vector<std::string>{j.released ? "0" : std::to_string(j.flag)}));
    admin_->exec("drop table if exists `" + t + "`, `" + t + "_di`");
  }
  EXPECT_EQ(rows("select error_flag from continuous_reports where report_id=5"), (std::vector<std::string>{"0"}));
}

TEST_F(ContinuousTest, TopkLevelsWriteTheirSurvivors) {
  auto r = run("[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\ntopk=1\n", 9);
  r->rep->settings->topk_buffer_size = 2;
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(tree(*r, typed), nullptr);
  for (const char *u : {"a", "a", "b", "c"}) {
    Row row;
    row.text(FIELD_USER, u);
    ASSERT_EQ(add(*r, row), 0);
  }
  ASSERT_EQ(group_write_db(r->rep->groups, r->rep, handle_), -1);
  EXPECT_EQ(rows("select groupby, request_count from contrep order by groupby"),
            (std::vector<std::string>{"a|2", "b|1"}));
}

}  // namespace
