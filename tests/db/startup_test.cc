// The daemon's whole runtime start-up against the private server: time
// service, logs (in ../logs of a temporary working folder), the SNMP agent
// on a private port, the database layer and this server's row; then
// support_start again for the server-row cases, and the stop.
#include "src/support/runtime.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/db.h"
#include "lib/runtime/kxsnmp.h"
#include "src/support/settings.h"
#include "tests/db/dbtest.h"
#include "tests/snmp/snmptest.h"

using kxtest::AdminConnection;
using kxtest::TestDatabase;

namespace {

TEST(Startup, DaemonStartUpFindsItsRowAndStopsCleanly) {
  KX_REQUIRE_DB();
  TestDatabase db("startup");
  ASSERT_TRUE(db.ok()) << db.error();
  AdminConnection admin(db.name());
  ASSERT_TRUE(admin.ok()) << admin.error();
  // No interface address of this host is in the table; the database host is
  // "localhost", so the row of ip "localhost" is this server's.
  ASSERT_TRUE(admin.exec("insert into servers (id, ip, url, email_url, restricted) values "
                         "(5, 'localhost', NULL, NULL, 1), (6, '192.0.2.200', 'http://other', NULL, 0)"))
      << admin.error();

  setenv("reportdb", db.name().c_str(), 1);
  setenv("reportip", "localhost", 1);
  kxtest::SnmpSandbox snmp("kxreporter-snmp");
  std::string root = snmp.dir();
  std::filesystem::create_directories(root + "/logs");
  std::filesystem::create_directories(root + "/work");
  std::string old_cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir((root + "/work").c_str()), 0);

  reporter_settings s;
  testing::internal::CaptureStdout();
  ASSERT_EQ(support_kxreporter_initialize(&s), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(support_initialized, 1);
  EXPECT_NE(support_db, 0);
  EXPECT_EQ(s.server_id, 5);
  EXPECT_EQ(s.restricted, 1);
  // Formed from the ip column, quoted for the shell like the other forms.
  EXPECT_STREQ(email_url, "'http://localhost:8080/zididevuzizazo'");
  EXPECT_EQ(support_kxreporter_initialize(&s), -1);  // already running

  // The agent runs under the daemon's name.
  EXPECT_NE(snmp.get(".1.3.6.1.2.1.1.1.0").find("Linux"), std::string::npos);

  // The main connection serves the settings.
  ASSERT_TRUE(admin.exec("insert into settings (name, value) values ('report_dir', '/srv/rep')"));
  reporter_load_settings();
  EXPECT_STREQ(settings.reports_directory, "/srv/rep/");
  reporter_settings_reset(&settings);

  struct Case {
    const char *row;
    int id, restricted;
    const char *url;
  } cases[] = {
      {"(7, 'localhost', 'http://mail.example/x', 'http://web', NULL)", 7, 0, "'http://mail.example/x'"},
      {"(8, '127.0.0.1', '', 'http://web/it''s', 2)", 8, 2, "'http://web/it'\\''s'"},
      {"(9, 'localhost', NULL, '', 0)", 9, 0, "'http://localhost:8080/zididevuzizazo'"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.row);
    ASSERT_TRUE(admin.exec(std::string("delete from servers; insert into servers (id, ip, email_url, url, "
                                       "restricted) values ") + c.row))
        << admin.error();
    reporter_settings r;
    r.restricted = 99;
    int old_db = support_db;
    EXPECT_EQ(support_start(&r), -1);
    EXPECT_EQ(r.server_id, c.id);
    EXPECT_EQ(r.restricted, c.restricted);
    EXPECT_STREQ(email_url, c.url);
    EXPECT_EQ(support_db, old_db);  // the earlier main connection was closed and its slot reused
  }
  // Without settings only the e-mail argument is filled.
  EXPECT_EQ(support_start(nullptr), -1);

  ASSERT_TRUE(admin.exec("delete from servers"));
  reporter_settings none;
  EXPECT_EQ(support_start(&none), 0);
  EXPECT_EQ(none.server_id, 0);

  // A report thread that still sends a mail during the stop holds the text.
  const char *held = email_url;
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(support_terminate(), 0);
  EXPECT_EQ(support_initialized, 0);
  EXPECT_EQ(support_db, 0);
  EXPECT_EQ(email_url, nullptr);
  EXPECT_STREQ(held, "'http://localhost:8080/zididevuzizazo'");
  EXPECT_FALSE(snmp_lib_running());

  // The logs are flushed and closed by the stop.
  std::string error_log = kxtest::read_text_file(root + "/logs/kxreporter_error.log");
  std::string message_log = kxtest::read_text_file(root + "/logs/kxreporter_message.log");
  EXPECT_NE(error_log.find(" This server is not configured in the 'servers' table\n"), std::string::npos)
      << error_log;
  EXPECT_NE(error_log.find("is included in the reporter database on localhost\n"), std::string::npos) << error_log;
  EXPECT_NE(message_log.find(" ERROR: This server is not configured in the 'servers' table\n"), std::string::npos)
      << message_log;
  EXPECT_NE(message_log.find("SNMP: Service Started for agent kxreporter-snmp.\n"), std::string::npos)
      << message_log;
  EXPECT_NE(message_log.find("SNMP: service stopped successfully.\n"), std::string::npos) << message_log;
  ASSERT_EQ(chdir(old_cwd.c_str()), 0);
}

}  // namespace
