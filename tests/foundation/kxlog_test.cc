#include "lib/base/kxlog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// No sink is published in this test program, so every message follows the no-log
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

// A sink sees each message once; what it refuses follows the no-log rules
// (-1: its log cannot be written, so even debug reaches standard error).
int sink_answer = 1;
int sink_calls = 0;
int test_sink(int, const char *, va_list) {
  sink_calls++;
  return sink_answer;
}

TEST(KxlogSink, AnswersDecideStderr) {
  kxlog_set_sink(test_sink);
  struct Case {
    int answer, level;
    const char *want;
  } cases[] = {
      {1, KXLOG_ERROR, ""},
      {0, KXLOG_ERROR, "msg 7 x\n"},
      {0, KXLOG_DEBUG, ""},
      {-1, KXLOG_DEBUG, "msg 7 x\n"},
  };
  for (const auto &c : cases) {
    sink_answer = c.answer;
    sink_calls = 0;
    EXPECT_EQ(sent_to_stderr(c.level, 0), c.want) << c.answer << "/" << c.level;
    EXPECT_EQ(sink_calls, 1);
  }
  kxlog_set_sink(nullptr);
}

}  // namespace
