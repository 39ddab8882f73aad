// The in-process master agent answers snmpget and snmpwalk run as real
// processes, while other threads register and change objects.
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lib/runtime/config.h"
#include "lib/runtime/kxsnmp.h"
#include "tests/snmp/snmptest.h"

namespace {

int g_value = 42;
int g_other = 5;
int g_late = 0;

// One agent per process: the library starts once.
TEST(SnmpAgent, ServesObjectsChangesAndStops) {
  kxtest::SnmpSandbox box("kxtest-snmp");
  ASSERT_GT(box.port(), 0);

  // The agent name comes from program_name when snmp_agent is unset.
  configuration *config = config_configuration_create();
  ASSERT_NE(config, nullptr);
  ASSERT_EQ(config_configuration_add_line(config, "program_name kxtest"), 0);
  ASSERT_EQ(config_configuration_add_line(config, "snmp_thread_stacksize 1048576"), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(snmp_lib_config_initialize(1, config, nullptr, nullptr), 0);
  std::string started = testing::internal::GetCapturedStderr();
  config_configuration_free(config);
  ASSERT_TRUE(snmp_lib_running()) << started;
  EXPECT_NE(started.find("SNMP: Service Started for agent kxtest-snmp.\n"), std::string::npos) << started;

  char *dump = snmp_lib_config_dump(nullptr, nullptr);
  ASSERT_NE(dump, nullptr);
  EXPECT_STREQ(dump,
               "snmp_thread_stacksize 1048576\n# snmp_agent can be generated from program_name in "
               "format program_name-snmp\nsnmp_agent kxtest-snmp\n");
  free(dump);

  ASSERT_EQ(snmp_lib_add_int("testValue", &g_value, 1, 3, 6, 1, 4, 1, 99999, 1, 1, 0), 0);
  ASSERT_EQ(snmp_lib_add_int("otherValue", &g_other, 1, 3, 6, 1, 4, 1, 99999, 1, 2, 0), 0);
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.1.1"), "42");

  g_value = -17;  // the caller only updates the int
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.1.1"), "-17");

  std::string walk = box.walk(".1.3.6.1.4.1.99999.1");
  EXPECT_NE(walk.find(".1.3.6.1.4.1.99999.1.1 -17"), std::string::npos) << walk;
  EXPECT_NE(walk.find(".1.3.6.1.4.1.99999.1.2 5"), std::string::npos) << walk;

  // The same identifier twice.
  testing::internal::CaptureStderr();
  EXPECT_NE(snmp_lib_add_int("testValueAgain", &g_other, 1, 3, 6, 1, 4, 1, 99999, 1, 1, 0), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("SNMP: Duplicate Bind testValueAgain\n"),
            std::string::npos);
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.1.1"), "-17");

  // Another thread registers while the agent thread serves requests.
  std::thread t([] {
    g_late = 1234;
    snmp_lib_add_int("lateValue", &g_late, 1, 3, 6, 1, 4, 1, 99999, 2, 1, 0);
  });
  t.join();
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.2.1"), "1234");

  testing::internal::CaptureStderr();
  snmp_lib_config_terminate(1, nullptr);
  std::string stopped = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(snmp_lib_running());
  EXPECT_NE(stopped.find("SNMP: service stopped successfully.\n"), std::string::npos) << stopped;
  // Nobody answers any more.
  EXPECT_EQ(box.get(".1.3.6.1.4.1.99999.1.1", 1).find("-17"), std::string::npos);
  // A second stop does nothing.
  EXPECT_EQ(snmp_lib_terminate(), 0);
}

}  // namespace
