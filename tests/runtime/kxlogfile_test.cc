// The log files: names and line format, flushing by the maintenance task,
// rotation by size with numbered copies, rotation of all logs when the clock
// steps back, buffer limits, sessions, teardown under concurrent senders and
// the SIGTERM of a failed write. Each test works in a fresh temporary folder
// with ../logs beside its working directory; time comes from the simulated
// clock of the time service.
#include "lib/runtime/kxlogfile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/runtime/config.h"
#include "lib/runtime/kxsignal.h"
#include "lib/runtime/kxtime.h"
#include "lib/runtime/logsession.h"
#include "tests/fixtures/pass_counter.h"
#include "tests/fixtures/tmpdir.h"

namespace fs = std::filesystem;

namespace {

constexpr time_t kStart = 1700000000;

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void send_to(kxlog_t *l, const char *format, ...) __attribute__((format(printf, 2, 3)));
void send_to(kxlog_t *l, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  kxlog_send_filev(l, 5, format, ap);
  va_end(ap);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_FALSE(tmp.path().empty());
    root = tmp.path();
    fs::create_directory(root + "/work");
    fs::create_directory(root + "/logs");
    old_cwd = fs::current_path();
    fs::current_path(root + "/work");
    ASSERT_EQ(0, kxtime_sim_initialize(kStart));
  }
  void TearDown() override {
    kxlog_terminate();
    kxtime_terminate();
    fs::current_path(old_cwd);
  }
  // Starts the logging module from lines (standard error stays allowed).
  int start_logs(const std::string &extra = "") {
    configuration *c = config_configuration_create();
    config_configuration_add_lines(c, ("stderr_allowed yes\nprogram_name prog\n" + extra).c_str());
    int rc = kxlog_config_initialize(1, c, nullptr, nullptr);
    config_configuration_free(c);
    add_cron_task(0, PassCounter::task, &passes);
    return rc;
  }
  // Moves the simulated clock and waits for the cron pass it causes.
  void step(time_t t) {
    int before = passes.count();
    kxtime_sim_settime(t);
    ASSERT_TRUE(passes.wait_for(before + 1));
  }
  std::string logs(const std::string &name) { return root + "/logs/" + name; }
  TempDir tmp{"kxlogfile"};
  std::string root;
  fs::path old_cwd;
  PassCounter passes;
};

TEST_F(LogFileTest, FourLogsNamedFromProgramAndFlushedEverySecond) {
  ASSERT_EQ(0, start_logs());
  EXPECT_TRUE(fs::exists(logs("prog_error.log")));
  EXPECT_TRUE(fs::exists(logs("prog_message.log")));
  EXPECT_TRUE(fs::exists(logs("prog_remoteadmin.log")));
  EXPECT_FALSE(fs::exists(logs("prog_debug.log")));  // disabled by default
  EXPECT_FALSE(kxlog_debug_enabled());

  testing::internal::CaptureStderr();
  kxlog_send(KXLOG_MESSAGE, "hello %d%%\n", 42);
  kxlog_send(KXLOG_ERROR, "bad thing\n");
  kxlog_send(KXLOG_DEBUG, "dropped\n");  // disabled log: not on standard error either
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ("", slurp(logs("prog_message.log")));  // still buffered

  step(kStart + 1);
  EXPECT_EQ("2023-11-14 22:13:20 hello 42%\n", slurp(logs("prog_message.log")));
  EXPECT_EQ("2023-11-14 22:13:20 bad thing\n", slurp(logs("prog_error.log")));
}

TEST_F(LogFileTest, DumpShowsEffectiveSettings) {
  ASSERT_EQ(0, start_logs("log_remoteadmin_enabled 0\nlog_debug_enabled 1\nlog_debug_max_size 2 mib\n"
                          "log_debug_history -1\nlog_error_filename ../logs/e.log\n"));
  char *dump = kxlog_config_dump(nullptr, nullptr);
  EXPECT_STREQ(
      "log_syslog_enabled 0\nlog_remoteadmin_enabled 0\nlog_remoteadmin_filename ../logs/prog_remoteadmin.log\n"
      "log_remoteadmin_max_size 1000000\nlog_remoteadmin_history 5\nlog_message_enabled 1\n"
      "log_message_filename ../logs/prog_message.log\nlog_message_max_size 1000000\nlog_message_history 5\n"
      "log_debug_enabled 1\nlog_debug_filename ../logs/prog_debug.log\nlog_debug_max_size 2097152\n"
      "log_debug_history 0\nlog_error_enabled 1\nlog_error_filename ../logs/e.log\n"
      "log_error_max_size 1000000\nlog_error_history 5\n",
      dump);
  free(dump);
  EXPECT_TRUE(kxlog_debug_enabled());
  kxlog_terminate();
  dump = kxlog_config_dump(nullptr, nullptr);
  EXPECT_NE(nullptr, strstr(dump, "log_message_enabled 0\nlog_message_filename \nlog_message_max_size 0\n"));
  free(dump);
}

TEST_F(LogFileTest, SizeLimitsAreClamped) {
  struct Case {
    long long asked, kept;
  } cases[] = {{50000, 100000}, {99999, 100000}, {100000, 100000}, {2000000000, 1000000000}};
  for (const auto &c : cases) {
    kxlog_t *l = kxlog_create(logs("c.log").c_str(), c.asked, -3, 1);
    ASSERT_NE(nullptr, l);
    EXPECT_EQ(c.kept, l->max_size) << c.asked;
    EXPECT_EQ(0, l->history);
    kxlog_destroy(l);
  }
}

// Numbered lines through four rotations: the current file and its three
// copies hold an unbroken tail of the lines, oldest copy first.
TEST_F(LogFileTest, RotationBySizeKeepsNumberedHistory) {
  kxlog_t *l = kxlog_create(logs("r.log").c_str(), 100000, 3, 1);
  ASSERT_NE(nullptr, l);
  std::string pad(980, 'x');
  int lines = 0;
  int rotations = 0;
  long long before = 0;
  while (rotations < 4) {
    before = l->size + l->buff_size;
    send_to(l, "%06d %s\n", lines++, pad.c_str());
    if (l->size + l->buff_size < before) rotations++;
  }
  // The message that reached the limit was the last one before the rotation;
  // it and the entries pending with it went on into the new file.
  kxlog_flush(l);
  for (const char *suffix : {"", ".0", ".1", ".2"}) EXPECT_TRUE(fs::exists(logs("r.log") + suffix)) << suffix;
  EXPECT_FALSE(fs::exists(logs("r.log.3")));

  std::string all = slurp(logs("r.log.2")) + slurp(logs("r.log.1")) + slurp(logs("r.log.0")) + slurp(logs("r.log"));
  std::istringstream in(all);
  std::string line;
  int expect = -1;
  while (std::getline(in, line)) {
    int n = std::stoi(line.substr(20, 6));
    if (expect >= 0) {
      ASSERT_EQ(expect, n);
    }
    expect = n + 1;
  }
  EXPECT_EQ(lines, expect);
  for (const char *suffix : {".0", ".1"}) {
    auto size = fs::file_size(logs("r.log") + suffix);
    // Rotated when size and pending reached the limit; the pending part moved on.
    EXPECT_GT(size, 100000u - KXLOG_WRITE_BUFFER - 1000);
    EXPECT_LT(size, 100000u);
  }
  kxlog_destroy(l);
}

TEST_F(LogFileTest, HistoryZeroStartsEmptyFile) {
  kxlog_t *l = kxlog_create(logs("h.log").c_str(), 100000, 0, 1);
  send_to(l, "old\n");
  kxlog_flush(l);
  send_to(l, "pending\n");
  kxlog_rotate_file_unlocked(l);
  EXPECT_EQ("", slurp(logs("h.log")));
  EXPECT_FALSE(fs::exists(logs("h.log.0")));
  kxlog_flush(l);
  EXPECT_EQ(" pending\n", slurp(logs("h.log")).substr(19));
  kxlog_destroy(l);
}

TEST_F(LogFileTest, ClockSetBackRotatesAllLogs) {
  ASSERT_EQ(0, start_logs());
  kxlog_send(KXLOG_MESSAGE, "before\n");
  kxlog_send(KXLOG_ERROR, "error before\n");
  step(kStart + 1);
  step(kStart);  // the clock steps back one second
  step(kStart + 1);
  EXPECT_EQ("2023-11-14 22:13:20 before\n", slurp(logs("prog_message.log.0")));
  EXPECT_EQ("2023-11-14 22:13:20 error before\n", slurp(logs("prog_error.log.0")));
  EXPECT_TRUE(fs::exists(logs("prog_remoteadmin.log.0")));
  std::string now = slurp(logs("prog_message.log"));
  EXPECT_NE(std::string::npos, now.find(" Logger: Detected Clock Change! Rotating Log Files.\n")) << now;
  EXPECT_NE(std::string::npos, now.find(" Rotated log file ../logs/prog_message.log\n")) << now;
  EXPECT_NE(std::string::npos, now.find(" All Log files rotated forcefully.\n")) << now;
  EXPECT_FALSE(fs::exists(logs("prog_message.log.1")));  // rotated once only
}

// Entries never run past the 32 KiB buffer: the room for the text leaves
// out the time stamp and its blank; an entry that does not fit flushes the
// buffer and is formatted again from a fresh copy of its arguments.
TEST_F(LogFileTest, EntriesFitTheBufferExactly) {
  kxtime_sim_settime(kStart);
  kxlog_t *l = kxlog_create(logs("b.log").c_str(), 1000000, 1, 1);
  send_to(l, "%s\n", std::string(79, 'a').c_str());
  ASSERT_EQ(100, l->buff_size);
  // Fits the room that forgets the stamp, not the real room: must move on.
  std::string big(KXLOG_WRITE_BUFFER - 100 - 11, 'b');
  send_to(l, "%s%d\n", big.c_str(), 7);
  EXPECT_EQ(20 + static_cast<int>(big.size()) + 2, l->buff_size);
  EXPECT_EQ(100u, fs::file_size(logs("b.log")));
  kxlog_flush(l);
  std::string text = slurp(logs("b.log"));
  EXPECT_EQ(std::string("2023-11-14 22:13:20 ") + big + "7\n", text.substr(100));

  // The longest entry of an empty buffer fits; one byte more is dropped.
  std::string longest(KXLOG_WRITE_BUFFER - 20 - 1, 'c');
  send_to(l, "%s", longest.c_str());
  EXPECT_EQ(KXLOG_WRITE_BUFFER - 1, l->buff_size);
  kxlog_flush(l);
  send_to(l, "%s", (longest + "d").c_str());
  EXPECT_EQ(0, l->buff_size);
  kxlog_destroy(l);
}

TEST_F(LogFileTest, SessionsCaptureMatchingLinesAndExpire) {
  ASSERT_EQ(0, start_logs("log_remoteadmin_enabled 0\n"));
  EXPECT_EQ(-1, kxlog_logsession_create("kxd_remoteadmin", "s", "", 3, 100));
  EXPECT_EQ(-1, kxlog_logsession_create("kxd_other", "s", "", 3, 100));
  ASSERT_EQ(0, kxlog_logsession_create("kxd_message", "s", "filter=keep filter=!skip", 3, 100));
  EXPECT_EQ(-1, kxlog_logsession_create("kxd_message", "s", "", 3, 100));
  kxlog_send(KXLOG_MESSAGE, "keep one\n");
  kxlog_send(KXLOG_MESSAGE, "other\n");
  kxlog_send(KXLOG_MESSAGE, "keep but skip\n");
  kxlog_send(KXLOG_MESSAGE, "KEEP two\n");
  logsession_sample_t *s = kxlog_logsession_sample("kxd_message", "s");
  ASSERT_NE(nullptr, s);
  ASSERT_EQ(2, s->size);
  EXPECT_STREQ("keep one\n", s->entries[0]);
  EXPECT_STREQ("KEEP two\n", s->entries[1]);
  logsession_sample_destroy(s);

  step(kStart + 60);
  ASSERT_NE(nullptr, (s = kxlog_logsession_sample("kxd_message", "s")));  // sampled at kStart
  logsession_sample_destroy(s);
  step(kStart + 121);  // more than 60 seconds since the last sample
  EXPECT_EQ(nullptr, kxlog_logsession_sample("kxd_message", "s"));
  EXPECT_EQ(0, kxlog_logsession_destroy("kxd_message", "s"));
  EXPECT_EQ(1, kxlog_logsession_destroy("kxd_nothing", "s"));
  // The refusals name the log as the caller did.
  std::string errors = slurp(logs("prog_error.log"));
  EXPECT_NE(std::string::npos, errors.find(" kxlog_create_session: log kxd_remoteadmin is disabled\n")) << errors;
  EXPECT_NE(std::string::npos, errors.find(" kxlog_create_session: unknown log type -1\n")) << errors;
}

TEST_F(LogFileTest, MemoryFailuresAreReportedOncePerMinute) {
  ASSERT_EQ(0, start_logs());
  kxlog_memory_error__("a.cc", 1);
  kxlog_memory_error__("a.cc", 2);
  kxlog_memory_error__("a.cc", 3);
  step(kStart + 59);
  kxlog_memory_error__("a.cc", 4);
  step(kStart + 60);
  kxlog_memory_error__("a.cc", 5);
  step(kStart + 61);
  EXPECT_EQ(
      "2023-11-14 22:13:20 Failed to allocate memory in file a.cc line 1\n"
      "2023-11-14 22:14:20 Failed to allocate memory in file a.cc line 5 (failed 3 times in last 60 seconds)\n",
      slurp(logs("prog_error.log")));
}

// Senders keep logging while the logs are torn down: each message either
// reaches its log first or follows the no-log rules (a dropped debug message
// here), never a destroyed log.
TEST_F(LogFileTest, TeardownUnderConcurrentSenders) {
  ASSERT_EQ(0, start_logs("log_debug_enabled 1\n"));
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; i++) {
    senders.emplace_back([&] {
      while (!stop.load()) {
        kxlog_send(KXLOG_DEBUG, "report thread %d\n", sent.fetch_add(1));
      }
    });
  }
  while (sent.load() < 2000) std::this_thread::yield();
  kxlog_terminate();
  int at_teardown = sent.load();
  while (sent.load() < at_teardown + 2000) std::this_thread::yield();
  stop.store(true);
  for (auto &t : senders) t.join();
  EXPECT_EQ(nullptr, kxlog_debug);
  std::string text = slurp(logs("prog_debug.log"));
  EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 1000);
  EXPECT_EQ('\n', text.back());  // whole entries only
}

TEST_F(LogFileTest, MissingLogFolderInSilentModeFailsStart) {
  // Silent mode stays set for the process: run it in a child.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        fs::remove_all(root + "/logs");
        configuration *c = config_configuration_create();
        config_configuration_add_line(c, "program_name prog");
        int rc = kxlog_config_initialize(1, c, nullptr, nullptr);
        int status = rc == 1 && kxlog_silent_mode == 1 && kxlog_check(kxlog_message) ? 0 : 1;
        // The child ran the fixture's set-up itself and leaves by _exit,
        // past the tear-down: it removes its own folder.
        fs::current_path("/");
        fs::remove_all(root);
        _exit(status);
      },
      testing::ExitedWithCode(0), "");
}

std::atomic<int> term_signals{0};
void on_term(int sig) {
  if (sig == SIGTERM) term_signals++;
}

int failed_write_child() {
  int sigs[] = {SIGTERM, SIGINT};
  if (kxsignal_start(sigs, 2, on_term) != 0) return 2;
  kxlog_t *l = kxlog_create("/dev/full", 1000000, 1, 1);
  if (l == nullptr || l->fd < 0) return 3;
  send_to(l, "lost\n");
  kxlog_flush(l);
  send_to(l, "lost again\n");
  kxlog_flush(l);
  for (int i = 0; i < 10000 && term_signals.load() == 0; i++) usleep(1000);
  kxsignal_stop();
  return term_signals.load() == 1 ? 0 : 4;
}

// A failed write raises SIGTERM once; the daemon takes it on an ordinary
// thread through the signal waiter. No fixture: the waiter must start before
// any other thread.
TEST(LogFileSignalTest, FailedWriteRaisesSigtermOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(failed_write_child()), testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

// A message that cannot take its log's mutex is dropped: neither written
// later nor sent to standard error.
TEST_F(LogFileTest, MessageThatCannotTakeTheLockIsDropped) {
#if defined(__SANITIZE_THREAD__)
  // The test sends while it holds the log's mutex itself, an order the
  // code never takes; the thread checker would rightly flag it.
  GTEST_SKIP() << "holds a log mutex while sending";
#endif
  ASSERT_EQ(0, start_logs());
  kxlog_t *l = kxlog_message;
  ASSERT_NE(nullptr, l);
  // An error-checking mutex already held by this thread refuses a second
  // lock instead of blocking.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_destroy(&l->lock);
  ASSERT_EQ(0, pthread_mutex_init(&l->lock, &attr));
  pthread_mutexattr_destroy(&attr);
  ASSERT_EQ(0, pthread_mutex_lock(&l->lock));
  testing::internal::CaptureStderr();
  kxlog_send(KXLOG_MESSAGE, "lost while locked\n");
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  pthread_mutex_unlock(&l->lock);
  kxlog_send(KXLOG_MESSAGE, "kept\n");
  step(kStart + 1);
  EXPECT_EQ("2023-11-14 22:13:20 kept\n", slurp(logs("prog_message.log")));
}

}  // namespace
