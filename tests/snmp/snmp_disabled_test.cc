// An agent whose port is taken runs disabled: the start succeeds without a
// thread, and the stop still completes.  A start without any agent name
// fails before the library is touched.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "lib/runtime/config.h"
#include "lib/runtime/kxsnmp.h"
#include "tests/snmp/snmptest.h"

namespace {

TEST(SnmpDisabled, NoAgentNameFailsTheStart) {
  configuration *config = config_configuration_create();
  ASSERT_NE(config, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp_lib_config_initialize(1, config, nullptr, nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "SNMP: Could not parse snmp_agent or program_name from configuration\n");
  EXPECT_EQ(snmp_lib_config_initialize(0, config, nullptr, nullptr), 0);  // not at start-up: nothing
  config_configuration_free(config);
  EXPECT_FALSE(snmp_lib_running());
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp_lib_terminate(), 0);  // nothing was started: nothing to stop
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // Nothing is registered without an agent.
  int v = 1;
  testing::internal::CaptureStderr();
  EXPECT_NE(snmp_lib_add_int("early", &v, 1, 3, 6, 1, 4, 1, 99999, 9, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "SNMP: Failed to Register early\n");
}

TEST(SnmpDisabled, TakenPortDisablesTheAgent) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  kxtest::SnmpSandbox box("kxbusy-snmp", ntohs(a.sin_port));

  configuration *config = config_configuration_create();
  ASSERT_NE(config, nullptr);
  ASSERT_EQ(config_configuration_add_line(config, "snmp_agent kxbusy-snmp"), 0);
  ASSERT_EQ(config_configuration_add_line(config, "program_name ignored"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp_lib_config_initialize(1, config, nullptr, nullptr), 0);
  std::string err = testing::internal::GetCapturedStderr();
  config_configuration_free(config);
  EXPECT_NE(err.find("SNMP: Failed to bind to port, SNMP service disabled\n"), std::string::npos) << err;
  EXPECT_FALSE(snmp_lib_running());
  char *dump = snmp_lib_config_dump(nullptr, nullptr);
  ASSERT_NE(dump, nullptr);
  EXPECT_NE(std::string(dump).find("snmp_agent kxbusy-snmp\n"), std::string::npos);
  free(dump);
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp_lib_terminate(), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("SNMP: service stopped successfully.\n"),
            std::string::npos);
  close(s);
}

}  // namespace
