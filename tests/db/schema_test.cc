// The reporting schema runs every statement that the daemon issues, in the
// server's default SQL mode, with the lock sequences the daemon uses.
#include <cstdlib>
#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "tests/db/dbtest.h"

using kxtest::AdminConnection;
using kxtest::TestDatabase;

namespace {

class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KX_REQUIRE_DB();
    db_ = std::make_unique<TestDatabase>("schema");
    ASSERT_TRUE(db_->ok()) << db_->error();
    ASSERT_EQ(db_initialize(), -1);
    h_ = db_->open_handle();
    ASSERT_NE(h_, 0);
    admin_ = std::make_unique<AdminConnection>(db_->name());
    ASSERT_TRUE(admin_->ok()) << admin_->error();
    ASSERT_TRUE(admin_->exec(
        "insert into servers (id, ip, url, email_url, restricted) values (1,'10.0.0.1',NULL,NULL,0);"
        "insert into demand_reports (report_id, name, login, definition, next_run_time, email, ttl)"
        " values (1,'d1','alice','def',now() - interval 1 hour,'a@example.com',1);"
        "insert into scheduled_reports (report_id, name, login, definition, next_run_time, run_interval,"
        " edited, seen, email) values (1,'s1','alice','def',now() - interval 1 hour,86400,"
        " now() - interval 40 day, now() - interval 40 day,'a@example.com');"
        "insert into continuous_reports (report_id, name, login, definition, next_run_time, run_interval,"
        " report_table) values (1,'c1','bob','def',now() - interval 1 hour,3600,'cont_1');"
        "insert into run_on_servers values (1,1,1);"
        "insert into quota_groups values ('alice','staff');"
        "insert into quotas values ('staff', 1000), ('_global_', 5000);"
        "insert into settings (name, value) values ('report_maxsize','100000');"
        "insert into html_extensions values ('html'),('htm');"))
        << admin_->error();
  }
  void TearDown() override {
    if (h_) db_close(h_);
    db_terminate();
  }

  // Every statement must succeed; a failure names the statement.
  void ok(MYSQL *r, const char *what) { EXPECT_NE(r, nullptr) << what; }

  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<AdminConnection> admin_;
  int h_ = 0;
};

#define RUN(...) ok(db_query(h_, __VA_ARGS__), #__VA_ARGS__)

TEST_F(SchemaTest, MainLoopStatements) {
  const char *filter = "run.server is null or";
  const int sid = 1;
  RUN("select report_id, type, time from cancel_report where server=%d", sid);
  ASSERT_TRUE(admin_->exec("insert into cancel_report values (1,'d',unix_timestamp(),1)"));
  DB_RESULT *rs = db_execute2(h_, "select report_id, type, time from cancel_report where server=%d", sid);
  ASSERT_NE(rs, nullptr);
  long age = static_cast<long>(time(nullptr)) - atol(rs->fields[2]);
  EXPECT_LE(age, 5);  // Unix seconds, not a date-time text
  EXPECT_GE(age, -5);
  rs->close(rs);
  RUN("delete from cancel_report where report_id=%s and type='%s'", "1", "d");
  RUN("delete from file_reports where UNIX_TIMESTAMP(now())-UNIX_TIMESTAMP(last_read) > 3600");
  RUN("select fid, path from delete_files where server=%d", sid);
  RUN("delete from delete_files where fid=%s", "1");
  RUN("select count(*) from demand_reports rep left join run_on_servers run on rep.report_id = run.report_id AND run.type = 1 where (%s run.server=%d) and unix_timestamp(next_run_time)>0 and unix_timestamp(next_run_time)<unix_timestamp() and error_flag=0",
      filter, sid);
  RUN("select count(*) from scheduled_reports rep left join run_on_servers run on rep.report_id = run.report_id AND run.type = 2 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60 and error_flag=0",
      filter, sid);
  RUN("select count(*) from continuous_reports rep left join run_on_servers run on rep.report_id = run.report_id AND run.type = 3 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60 and error_flag=0",
      filter, sid);

  RUN("lock tables demand_reports as rep write, run_on_servers as run write");
  rs = db_execute2(h_, "select rep.report_id,name,login from demand_reports rep left join run_on_servers run on rep.report_id = run.report_id AND run.type = 1 where (%s run.server=%d) and unix_timestamp(next_run_time)>0  and unix_timestamp(next_run_time)<unix_timestamp()  and error_flag=0 order by next_run_time",
                   filter, sid);
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[1], "d1");
  rs->close(rs);
  RUN("update demand_reports as rep set status='%s', error_flag=1, server=%d where report_id=%d",
      "Started Processing [2026-01-01 00:00:00]", sid, 1);
  RUN("unlock tables");

  RUN("lock tables scheduled_reports as rep write, run_on_servers as run write");
  rs = db_execute2(h_, "select rep.report_id,unix_timestamp(next_run_time),name,login,run_interval from scheduled_reports rep left join run_on_servers run on rep.report_id = run.report_id AND run.type = 2 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60  and error_flag=0 order by run_interval, next_run_time",
                   filter, sid);
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[4], "86400");
  rs->close(rs);
  RUN("update scheduled_reports as rep set status='%s', error_flag=1, server=%d where report_id=%d",
      "Started", sid, 1);
  RUN("unlock tables");

  RUN("lock tables continuous_reports as rep write, run_on_servers as run write");
  rs = db_execute2(h_, "select rep.report_id,unix_timestamp(next_run_time),name,login,run_interval from continuous_reports rep left join run_on_servers run on rep.report_id = run.report_id AND run.type = 3 where (%s run.server=%d) and unix_timestamp(next_run_time)<unix_timestamp()-60  and error_flag=0 order by next_run_time",
                   "", sid);
  EXPECT_EQ(rs, nullptr);  // not assigned to this server, restricted filter
  RUN("update continuous_reports as rep set status='%s', error_flag=1, server=%d where report_id=%d",
      "Started", sid, 1);
  RUN("unlock tables");
}

TEST_F(SchemaTest, WorkerAndStatusStatements) {
  const int sid = 1;
  RUN("lock tables demand_report_instance write, demand_reports write");
  RUN("insert into demand_report_instance (report_id, path, server, started_at, finished_at, size, security_key) values (%d,'%s',%d,from_unixtime(unix_timestamp()-%d),now(),%lli,'%s')",
      1, "/srv/reports/a/b/", sid, 30, 12345LL, "key1");
  RUN("select count(*) from demand_report_instance where report_id=%d", 1);
  RUN("delete from demand_report_instance  where report_id=%d order by finished_at limit %d", 1, 0);
  DB_RESULT *rs = db_execute2(h_, "select email, last_insert_id() from demand_reports where report_id=%d", 1);
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[0], "a@example.com");
  EXPECT_STRNE(rs->fields[1], "0");
  rs->close(rs);
  RUN("update demand_reports set next_run_time=0 where report_id=%d", 1);
  RUN("unlock tables");
  // A done demand job is no longer due.
  EXPECT_EQ(admin_->scalar("select count(*) from demand_reports where unix_timestamp(next_run_time)>0"), "0");

  RUN("lock tables scheduled_report_instance write, scheduled_reports write");
  RUN("insert into scheduled_report_instance (report_id, path, server, started_at, finished_at, size, security_key, report_date) values (%d,'%s',%d,from_unixtime(unix_timestamp()-%d),now(),%lli,'%s',from_unixtime(%li))",
      1, "/srv/reports/s/1/", sid, 5, 999LL, "key2", 1700000000L);
  RUN("select count(*) from scheduled_report_instance where report_id=%d", 1);
  RUN("delete from scheduled_report_instance where report_id=%d order by finished_at limit %d", 1, 0);
  RUN("select email,last_insert_id() from scheduled_reports where report_id=%d", 1);
  RUN("update scheduled_reports set next_run_time=from_unixtime(%li) where report_id=%d", 1700086400L, 1);
  RUN("unlock tables");
  EXPECT_EQ(admin_->scalar("select unix_timestamp(report_date) from scheduled_report_instance"), "1700000000");

  RUN("select report_table from continuous_reports where report_id=%d", 1);
  RUN("update continuous_reports set next_run_time=from_unixtime(%li) where report_id=%d", 1700000000L, 1);

  // Error texts with paths are longer than 255 characters; the job must
  // still be marked failed.
  std::string long_error = "Error 10001: (sort) Unable to open input file /" + std::string(600, 'p');
  RUN("update demand_reports set status='%s', error_flag=2, server=%d where report_id=%d", long_error.c_str(), sid, 1);
  RUN("update scheduled_reports set status='%s', error_flag=2, server=%d where report_id=%d", long_error.c_str(), sid, 1);
  RUN("update continuous_reports set status='%s', error_flag=2, server=%d where report_id=%d", long_error.c_str(), sid, 1);
  EXPECT_EQ(admin_->scalar("select length(status) from demand_reports where report_id=1"),
            std::to_string(long_error.size()));
  EXPECT_EQ(admin_->scalar("select error_flag from continuous_reports where report_id=1"), "2");
  RUN("update demand_reports set status='%s', error_flag=%d, next_run_time=0, server=%d where report_id=%d", "Stopped by user", 0, sid, 1);
  RUN("update scheduled_reports set status=if(error_flag=3,status,'%s'), error_flag=if(error_flag=3,3,%d), server=%d where report_id=%d", "Stopped by user", 0, sid, 1);
  RUN("update continuous_reports set status=if(error_flag=3,status,'%s'), error_flag=if(error_flag=3,3,%d), server=%d where report_id=%d", "Stopped by user", 0, sid, 1);
  RUN("update demand_reports set status='%s', error_flag=%d, server=%d where report_id=%d", "Processed Ok [x]", 0, sid, 1);
}

TEST_F(SchemaTest, DefinitionLoadingStatements) {
  RUN("select extension from html_extensions order by extension");
  RUN("select definition from demand_reports where report_id=%d", 1);
  RUN("select definition from scheduled_reports where report_id=%d", 1);
  RUN("select definition from continuous_reports where report_id=%d", 1);
  RUN("lock tables global write");
  DB_RESULT *rs = db_execute(h_, "select next_rep_file from global");
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->record_count, 1u);
  EXPECT_GT(atoi(rs->fields[0]), 0);
  rs->close(rs);
  RUN("update global set next_rep_file=next_rep_file+1");
  RUN("unlock tables");
  // global holds one row only.
  EXPECT_FALSE(admin_->exec("insert into global (id, next_rep_file) values (2, 5)"));
  EXPECT_EQ(admin_->scalar("select count(*) from global"), "1");
}

TEST_F(SchemaTest, HousekeepingStatements) {
  const int sid = 1;
  ASSERT_TRUE(admin_->exec(
      "insert into demand_report_instance (report_id, path, server, started_at, finished_at, size)"
      " values (1,'/r/a/1/',1,now() - interval 3 day,now() - interval 3 day,900);"
      "insert into scheduled_report_instance (report_id, path, server, started_at, finished_at, size,"
      " report_date) values (1,'/r/b/1/',1,now(),now(),700,now());"
      "update demand_reports set error_flag=1, server=7;"
      "update continuous_reports set error_flag=1, server=1;"
      "insert into cancel_report values (5,'s',0,9);"));
  RUN("update demand_reports set error_flag=0,status='' where error_flag=1 and server=%d", sid);
  RUN("update scheduled_reports set error_flag=0,status='' where error_flag=1 and server=%d", sid);
  RUN("update demand_reports set error_flag=0, status='' where error_flag=1 and server NOT IN (select id from servers)");
  RUN("update scheduled_reports set error_flag=0, status='' where error_flag=1 and server NOT IN (select id from servers)");
  RUN("delete from cancel_report where server NOT IN (select id from servers)");
  EXPECT_EQ(admin_->scalar("select error_flag from demand_reports"), "0");
  EXPECT_EQ(admin_->scalar("select count(*) from cancel_report"), "0");
  RUN("select report_table,next_run_time from continuous_reports where error_flag=1 and server=%d", sid);
  RUN("update continuous_reports set error_flag=0 where error_flag=1 and server=%d", sid);
  RUN("select report_table,next_run_time from continuous_reports where error_flag=1 and server NOT IN (select id from servers)");
  RUN("update continuous_reports set error_flag=0 where error_flag=1 and server NOT IN (select id from servers)");
  RUN("select path from demand_report_instance order by path");
  RUN("select path from scheduled_report_instance order by path");

  RUN("lock tables demand_reports write, demand_report_instance write, scheduled_reports write, scheduled_report_instance write");
  DB_RESULT *rs = db_execute2(h_, "SELECT rid, unix_timestamp(started_at), size, path, name, login FROM demand_report_instance LEFT JOIN demand_reports USING (report_id) WHERE ttl != 0 AND DATE_ADD(finished_at, INTERVAL ttl DAY) < NOW() AND demand_report_instance.server=%d", sid);
  ASSERT_NE(rs, nullptr);  // ttl 1 day, finished 3 days ago
  EXPECT_STREQ(rs->fields[3], "/r/a/1/");
  rs->close(rs);
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) WHERE ttl != 0 AND DATE_ADD(finished_at, INTERVAL ttl DAY) < NOW() AND scheduled_report_instance.server=%d", sid);
  RUN("unlock tables");

  RUN("lock tables quota_groups write, quotas write, demand_reports write, demand_report_instance write, scheduled_reports write, scheduled_report_instance write");
  rs = db_execute2(h_, "SELECT qgroup, sum(size), quota FROM demand_report_instance LEFT JOIN demand_reports USING (report_id) LEFT JOIN quota_groups USING (login) LEFT JOIN quotas USING (qgroup) WHERE quota IS NOT NULL AND demand_report_instance.server=%d GROUP BY qgroup ORDER BY qgroup", sid);
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[0], "staff");
  EXPECT_STREQ(rs->fields[1], "900");
  EXPECT_STREQ(rs->fields[2], "1000");
  rs->close(rs);
  RUN("SELECT qgroup, sum(size), quota FROM scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) LEFT JOIN quota_groups USING (login) LEFT JOIN quotas USING (qgroup) WHERE quota IS NOT NULL AND scheduled_report_instance.server=%d GROUP BY qgroup ORDER BY qgroup", sid);
  RUN("unlock tables");
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login FROM demand_report_instance LEFT JOIN demand_reports USING (report_id) LEFT JOIN quota_groups USING (login) WHERE qgroup='%s' AND demand_report_instance.server=%d ORDER BY started_at", "staff", sid);
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) LEFT JOIN quota_groups USING (login) WHERE qgroup='%s' AND scheduled_report_instance.server=%d ORDER BY started_at", "staff", sid);
  RUN("select quota from quotas where qgroup='_global_'");

  RUN("lock tables quota_groups write, quotas write, demand_reports write, demand_reports AS demand_rpt write, demand_report_instance write, scheduled_reports write, scheduled_reports AS scheduled_rpt write,  scheduled_report_instance write");
  RUN("SELECT login, sum(size), %lld FROM demand_report_instance LEFT JOIN demand_reports USING (report_id) WHERE login IN ( SELECT DISTINCT login FROM demand_reports AS demand_rpt LEFT JOIN quota_groups USING (login) LEFT JOIN quotas USING (qgroup) WHERE quota IS NULL) AND demand_report_instance.server=%d GROUP BY login ORDER BY login", 5000LL, sid);
  RUN("SELECT login, sum(size), %lld FROM scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) WHERE login IN ( SELECT DISTINCT login FROM scheduled_reports AS scheduled_rpt LEFT JOIN quota_groups USING (login) LEFT JOIN quotas USING (qgroup) WHERE quota IS NULL) AND scheduled_report_instance.server=%d GROUP BY login ORDER BY login", 5000LL, sid);
  RUN("unlock tables");
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login FROM demand_report_instance LEFT JOIN demand_reports USING (report_id) WHERE login='%s' AND demand_report_instance.server=%d ORDER BY started_at", "alice", sid);
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM scheduled_report_instance LEFT JOIN scheduled_reports USING (report_id) WHERE login='%s' AND scheduled_report_instance.server=%d ORDER BY started_at", "alice", sid);

  RUN("select value from settings where name='report_maxsize'");
  RUN("select sum(size) from demand_report_instance where server=%d", sid);
  RUN("select sum(size) from scheduled_report_instance where server=%d", sid);
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login FROM demand_report_instance inst LEFT JOIN demand_reports USING (report_id) WHERE inst.server=%d ORDER BY started_at", sid);
  RUN("SELECT rid, unix_timestamp(started_at), size, path, name, login, report_date FROM scheduled_report_instance inst LEFT JOIN scheduled_reports USING (report_id) WHERE inst.server=%d ORDER BY started_at", sid);
  RUN("delete from demand_report_instance where rid=%s", "1");
  RUN("delete from scheduled_report_instance where rid=%s", "1");
}

TEST_F(SchemaTest, PathsAndGroupsSortByteWise) {
  // The daemon bisects and merges these results with byte comparisons.
  ASSERT_TRUE(admin_->exec(
      "insert into demand_report_instance (report_id, path) values"
      " (1,'/r/B/'),(1,'/r/a/'),(1,'/r/a\t/'),(1,'/r/a /'),(1,'/r/_/');"));
  DB_RESULT *rs = db_execute(h_, "select path from demand_report_instance order by path");
  ASSERT_NE(rs, nullptr);
  std::vector<std::string> got;
  for (; rs->eof == 0; rs->movenext(rs)) got.emplace_back(rs->fields[0]);
  rs->close(rs);
  std::vector<std::string> sorted = got;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(got, sorted);
}

TEST_F(SchemaTest, MailAndUnusedReportStatements) {
  RUN("select email from %s where report_id=%d", "demand_reports", 1);
  unsigned long t = static_cast<unsigned long>(time(nullptr)) - 30UL * 86400;
  DB_RESULT *rs = db_execute2(h_, "SELECT times.login  FROM     (SELECT login, max(UNIX_TIMESTAMP(edited)) as edited, max(UNIX_TIMESTAMP(seen)) as seen, max(email != '') as has_email      FROM scheduled_reports WHERE error_flag = 0 OR error_flag = 1 GROUP by login) times  LEFT JOIN unused_warnings USING (login)  WHERE seen < %lu AND edited < %lu AND has_email IS TRUE AND `date` IS NULL", t, t);
  ASSERT_NE(rs, nullptr);
  EXPECT_STREQ(rs->fields[0], "alice");
  rs->close(rs);
  RUN("SELECT DISTINCT email FROM scheduled_reports WHERE login = '%s'", "alice");
  RUN("INSERT INTO unused_warnings (`login`, `email`, `key`) VALUES ('%s', '%s', '%s')", "alice", "a@example.com", "k");
  // The warning is dated by the server: the owner is not warned again.
  EXPECT_NE(admin_->scalar("select `date` from unused_warnings"), "NULL");
  EXPECT_EQ(db_execute2(h_, "SELECT times.login  FROM     (SELECT login, max(UNIX_TIMESTAMP(edited)) as edited, max(UNIX_TIMESTAMP(seen)) as seen, max(email != '') as has_email      FROM scheduled_reports WHERE error_flag = 0 OR error_flag = 1 GROUP by login) times  LEFT JOIN unused_warnings USING (login)  WHERE seen < %lu AND edited < %lu AND has_email IS TRUE AND `date` IS NULL", t, t),
            nullptr);
  RUN("SELECT * FROM (SELECT login, max(UNIX_TIMESTAMP(edited)) as edited, max(UNIX_TIMESTAMP(seen)) as seen    FROM scheduled_reports WHERE error_flag = 0 OR error_flag = 1 GROUP by login) times WHERE seen < %lu AND edited < %lu", t, t);
  RUN("UPDATE scheduled_reports SET error_flag = 3, status ='%s' WHERE login = '%s'", "Stopped temporarily", "alice");
  RUN("DELETE FROM unused_warnings WHERE login = '%s'", "alice");
  RUN("delete from %s where report_id=%d", "demand_reports", 1);
}

TEST_F(SchemaTest, ServerIdentificationStatements) {
  RUN("select id, email_url, url, ip, restricted from servers where ip in (%s)", "'10.0.0.1','::1'");
  RUN("select id, email_url, url, ip, restricted from servers where ip='localhost' or ip='127.0.0.1' ");
  RUN("select name, value from settings");
}

}  // namespace
