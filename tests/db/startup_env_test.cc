// The runtime start-up without the database variables: the first missing
// variable is named, nothing is started, and the stop that follows stops
// nothing.  The viewer start-up reads no variables and its database open
// fails with its one message.
#include "src/support/runtime.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "src/support/settings.h"

namespace {

const char *const kVars[] = {"reportip", "reportlogin", "reportpassword", "reportdb"};

TEST(StartupEnv, FirstMissingVariableStopsTheStartUp) {
  for (int missing = 0; missing < 4; missing++) {
    SCOPED_TRACE(kVars[missing]);
    for (int i = 0; i < 4; i++) {
      if (i < missing) setenv(kVars[i], "x", 1);
      else unsetenv(kVars[i]);  // the first missing one is reported
    }
    reporter_settings s;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(support_kxreporter_initialize(&s), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, std::string("Environment variable ") + kVars[missing] + " not set.\n");
    EXPECT_EQ(out, "Could not initialize the environment\n");
    EXPECT_EQ(support_initialized, 0);
    EXPECT_EQ(support_db, 0);
    // Only what started is stopped: no service speaks.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(support_terminate(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

TEST(StartupEnv, AllVariablesAreRead) {
  setenv("reportip", "db.example", 1);
  setenv("reportlogin", "u", 1);
  setenv("reportpassword", "", 1);  // set, although empty
  setenv("reportdb", "d", 1);
  EXPECT_EQ(support_env_init(), 0);
  EXPECT_STREQ(support_db_ip, "db.example");
  EXPECT_STREQ(support_db_pass, "");
  EXPECT_STREQ(support_db_name, "d");
}

TEST(StartupEnv, ViewerStartUpReportsTheFailedOpenOnly) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(support_viewer_initialize(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Failed on Opening Database\n");
  EXPECT_EQ(support_initialized, 1);
  EXPECT_EQ(support_viewer_initialize(), -1);  // already initialised
  testing::internal::CaptureStderr();
  EXPECT_EQ(support_terminate(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(support_initialized, 0);
  // The registry was torn down: a second viewer start works again.
  testing::internal::CaptureStderr();
  EXPECT_EQ(support_viewer_initialize(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed on Opening Database\n");
  support_terminate();
}

}  // namespace
