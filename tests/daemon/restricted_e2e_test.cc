// A restricted server through the real daemon, without a private network:
// the daemon finds its server row by one of this machine's own interface
// addresses (over the localhost row), reads the row's restricted flag, and
// then takes only the jobs assigned to it in run_on_servers.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "lib/base/kxnet.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

// The first address of this machine's interface list, without its quotes;
// empty when the machine has none but loopback.
std::string first_interface_address() {
  char list[6272];
  list[0] = '\0';
  if (getifip_get_ip_list(list, sizeof list) != 0 || list[0] != '\'') return "";
  const std::string text = list + 1;
  return text.substr(0, text.find('\''));
}

TEST(RestrictedDaemon, TakesOnlyTheJobsAssignedToItsRow) {
  KX_REQUIRE_DB();
  const std::string address = first_interface_address();
  if (address.empty()) GTEST_SKIP() << "no interface address but loopback here";
  kxtest::DaemonSandbox d("restrictd");
  ASSERT_TRUE(d.ok());
  // Row 5 (localhost) is the sandbox's; row 7 holds this machine's address
  // and is restricted; row 6 is a server elsewhere.
  ASSERT_TRUE(d.admin().exec("insert into servers (id, ip, restricted) values (7, '" + address +
                             "', 1), (6, '10.213.7.10', 1)"))
      << d.admin().error();
  ASSERT_TRUE(d.admin().exec("insert into settings (name, value) values ('report_dir', '" + d.store() +
                             "'), ('concurrent_demand_reports', '4')"));
  const time_t t0 = time(nullptr) - 7200;
  reqlog::write_log(d.root() + "/logs", "kxlogger_requests_bin_1",
                    reqlog::sb_image(reqlog::sb_sample(20, static_cast<int32_t>(t0), 10)));
  // Job 1 is assigned to no server, 2 to row 7, 3 to row 5, 4 to row 6.
  const std::string def = kxtest::definition_of(kxtest::kOneLevelDefinition, t0, t0 + 600);
  std::string rows;
  for (int id = 1; id <= 4; id++)
    rows += (id > 1 ? "," : "") + std::string("(") + std::to_string(id) +
            ", 'r', 'admin', now() - interval 2 second, '" + def + "')";
  ASSERT_TRUE(d.admin().exec("insert into demand_reports (report_id, name, login, next_run_time, definition) values " +
                             rows))
      << d.admin().error();
  ASSERT_TRUE(d.admin().exec("insert into run_on_servers (report_id, type, server) values (2, 1, 7), (3, 1, 5), "
                             "(4, 1, 6), (1, 2, 7)"));
  ASSERT_TRUE(d.start());
  const std::string status = d.wait_for_sql("select status from demand_reports where report_id=2", [](const std::string &v) {
    return v.rfind("Processed Ok", 0) == 0 || v.rfind("Error", 0) == 0;
  });
  EXPECT_EQ(status.rfind("Processed Ok [", 0), 0u) << status << d.log("error") << d.log("message");
  EXPECT_TRUE(d.wait_for_log("message", "SETTINGS: server ID 7\n")) << d.log("message");
  EXPECT_TRUE(d.wait_for_log("message", "SETTINGS: restricted for selected reports\n")) << d.log("message");
  // The pass that took job 2 read the others with it and left them.
  EXPECT_EQ(d.admin().scalar("select group_concat(concat(report_id, ':', error_flag, '/', ifnull(server, '-')) order "
                             "by report_id) from demand_reports where report_id<>2"),
            "1:0/-,3:0/-,4:0/-");
  EXPECT_EQ(d.admin().scalar("select group_concat(report_id) from demand_report_instance"), "2");
}

}  // namespace
