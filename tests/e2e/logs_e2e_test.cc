// Request logs as the daemon meets them: a log whose data was cut short
// while its index stayed whole is reported with the records it still holds,
// and the message log names it.
#include <signal.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/table/table.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

// Hits by user (field 9) of a finished SUMMARY table grouped by user.
std::map<std::string, long long> hits_by_user(const std::string &path) {
  std::map<std::string, long long> out;
  TABLE *t = table_open(TABLE_READ, nullptr, path.c_str(), nullptr, 0, 0);
  if (!t) return out;
  while (table_read_record(t) == -1) {
    const char *user = record_value_text(t->rec[0]);
    for (RECORD *e = t->rec; e->type; e++)
      if (e->type == 9) out[user ? user : ""] = static_cast<long long>(record_value_uint(*e));
  }
  table_close(t);
  return out;
}

TEST(Logs, ACutLogIsReportedWithTheRecordsItHoldsAndNamed) {
  KX_REQUIRE_DB();
  kxtest::DaemonSandbox d("logs");
  ASSERT_TRUE(d.ok());
  ASSERT_TRUE(d.admin().exec("insert into settings (name, value) values ('report_dir', '" + d.store() +
                             "'), ('temp_dir', '" + d.root() + "/tmp/'), ('process_demand_reports', '1'), ('concurrent_demand_reports', '2')"));
  std::filesystem::create_directories(d.root() + "/tmp");

  // Two logs of 40 records, the second one's data cut inside its record 25
  // (its index still lists all 40).
  const time_t t0 = time(nullptr) - 7200;
  auto whole = reqlog::sb_sample(40, static_cast<int32_t>(t0), 10);
  auto cut = reqlog::sb_sample(40, static_cast<int32_t>(t0 + 5), 10);
  reqlog::write_log(d.root() + "/logs", "kxlogger_requests_bin_1", reqlog::sb_image(whole));
  reqlog::LogImage img = reqlog::sb_image(cut);
  std::string cut_log = reqlog::write_log(d.root() + "/logs", "kxlogger_requests_bin_2", img);
  reqlog::truncate_file(cut_log, reqlog::record_offset(img, 25) + 5);

  // Counted here from the records written: all of the first log, the 25
  // whole records of the second.
  std::map<std::string, long long> want;
  for (const auto &r : whole) want[r.user]++;
  for (size_t i = 0; i < 25; i++) want[cut[i].user]++;

  char def[256];
  snprintf(def, sizeof def,
           "[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\ndate=@ %lld %lld\n",
           static_cast<long long>(t0), static_cast<long long>(t0 + 1000));
  ASSERT_TRUE(d.admin().exec(
      "insert into demand_reports (report_id, name, login, next_run_time, definition) values (1, 'users', 'admin', "
      "now() - interval 2 second, '" +
      std::string(def) + "')"));
  ASSERT_TRUE(d.start());
  std::string status = d.wait_for_sql(
      "select status from demand_reports where report_id=1",
      [](const std::string &v) { return v.rfind("Processed Ok", 0) == 0 || v.rfind("Error", 0) == 0; });
  ASSERT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d.log("error") << d.log("message");

  std::string path = d.admin().scalar("select path from demand_report_instance where report_id=1");
  ASSERT_EQ(path.rfind(d.store(), 0), 0u) << path;
  EXPECT_EQ(hits_by_user(path + "root"), want);
  EXPECT_TRUE(d.wait_for_log("message",
                             "Request log ../logs/kxlogger_requests_bin_2.log is damaged: 25 of its 40 indexed "
                             "records can be read\n"))
      << d.log("message");
  EXPECT_EQ(d.log("message").find("kxlogger_requests_bin_1"), std::string::npos) << d.log("message");
  d.stop(SIGTERM);
}

}  // namespace
