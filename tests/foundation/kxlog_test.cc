#include "lib/kxlog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// No log exists in this test program, so every message follows the no-log
// rules: standard error as formatted, debug dropped, silent mode drops all.
std::string sent_to_stderr(int level, int silent) {
  int saved = kxlog_silent_mode;
  kxlog_silent_mode = silent;
  testing::internal::CaptureStderr();
  kxlog_send(level, "msg %d %s\n", 7, "x");
  std::string got = testing::internal::GetCapturedStderr();
  kxlog_silent_mode = saved;
  return got;
}

TEST(KxlogNoLog, Rules) {
  ASSERT_EQ(kxlog_error, nullptr);
  struct Case {
    int level, silent;
    const char *want;
  } cases[] = {
      {0, 0, ""},
      {5, 0, ""},
      {-1, 0, ""},
      {KXLOG_ERROR, 0, "msg 7 x\n"},  // exactly as formatted, no time stamp
      {KXLOG_MESSAGE, 0, "msg 7 x\n"},
      {KXLOG_REMOTEADMIN, 0, "msg 7 x\n"},
      {KXLOG_DEBUG, 0, ""},
      {KXLOG_ERROR, 1, ""},
      {KXLOG_MESSAGE, 1, ""},
  };
  for (const auto &c : cases) EXPECT_EQ(sent_to_stderr(c.level, c.silent), c.want) << c.level << "/" << c.silent;
}

}  // namespace
