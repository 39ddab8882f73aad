// Time service: the cached clock, the cron passes (driven by the simulated
// clock, so no test waits for wall-clock seconds except the one that checks
// the real time thread), the backward-clock flag and the thread start.
#include "lib/runtime/kxtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "tests/fixtures/pass_counter.h"

namespace {

// Records the cached time and the backward-clock flag of each run.
struct Recorder {
  std::mutex m;
  std::vector<time_t> runs;
  std::vector<int> flags;
  static void task(void *data) {
    auto *self = static_cast<Recorder *>(data);
    std::lock_guard<std::mutex> g(self->m);
    self->runs.push_back(current_time.load());
    self->flags.push_back(kxtime_reset_time.load());
  }
  std::vector<time_t> times() {
    std::lock_guard<std::mutex> g(m);
    return runs;
  }
};

// A multiple of 3600 far from now.
constexpr time_t kHour = 1700000000 - 1700000000 % 3600;

class SimTimeTest : public ::testing::Test {
 protected:
  void TearDown() override { kxtime_terminate(); }
  // Moves the simulated clock and waits for the pass it triggers.
  void step(time_t t) {
    int before = passes.count();
    kxtime_sim_settime(t);
    ASSERT_TRUE(passes.wait_for(before + 1));
  }
  PassCounter passes;
};

TEST_F(SimTimeTest, IntervalsDecideWhichTasksRun) {
  ASSERT_EQ(0, kxtime_sim_initialize(kHour - 30));
  Recorder every0, every1, hourly;
  add_cron_task(0, Recorder::task, &every0);
  add_cron_task(1, Recorder::task, &every1);
  add_cron_task(3600, Recorder::task, &hourly);
  add_cron_task(0, PassCounter::task, &passes);
  for (time_t t : {kHour - 29, kHour - 1, kHour, kHour + 1, kHour + 3599, kHour + 3600}) step(t);
  EXPECT_EQ(6u, every0.times().size());
  EXPECT_EQ(6u, every1.times().size());
  EXPECT_EQ((std::vector<time_t>{kHour, kHour + 3600}), hourly.times());
}

TEST_F(SimTimeTest, TaskRunsAtMostOncePerSecond) {
  ASSERT_EQ(0, kxtime_sim_initialize(kHour));
  Recorder r;
  add_cron_task(0, Recorder::task, &r);
  add_cron_task(0, PassCounter::task, &passes);
  step(kHour + 1);
  int before = passes.count();
  kxtime_sim_settime(kHour + 1);  // a second pass in the same second
  kxtime_sim_settime(kHour + 2);
  ASSERT_TRUE(passes.wait_for(before + 1));
  EXPECT_EQ((std::vector<time_t>{kHour + 1, kHour + 2}), r.times());
  // Setting the current second again and stepping forward is no step back.
  std::lock_guard<std::mutex> g(r.m);
  EXPECT_EQ((std::vector<int>{0, 0}), r.flags);
}

TEST_F(SimTimeTest, BackwardStepIsFlaggedForOnePass) {
  ASSERT_EQ(0, kxtime_sim_initialize(kHour));
  Recorder r;
  add_cron_task(0, Recorder::task, &r);
  add_cron_task(0, PassCounter::task, &passes);
  step(kHour + 1);
  EXPECT_EQ(0, kxtime_reset_time.load());
  step(kHour - 59);  // the clock set back by a minute
  step(kHour - 58);
  std::lock_guard<std::mutex> g(r.m);
  EXPECT_EQ((std::vector<int>{0, 1, 0}), r.flags);
  EXPECT_EQ((std::vector<time_t>{kHour + 1, kHour - 59, kHour - 58}), r.runs);
}

// Holds its first run until released, so that a pass lasts as long as a
// test needs.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, released = false;
  static void task(void *data) {
    auto *self = static_cast<Gate *>(data);
    std::unique_lock<std::mutex> g(self->m);
    self->entered = true;
    self->cv.notify_all();
    self->cv.wait_for(g, std::chrono::seconds(10), [&] { return self->released; });
  }
  bool wait_entered() {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::seconds(10), [&] { return entered; });
  }
  void release() {
    std::lock_guard<std::mutex> g(m);
    released = true;
    cv.notify_all();
  }
};

// A step seen while a pass runs (a pass longer than a second) reaches every
// task once: the log maintenance never rotates twice for one step.
TEST_F(SimTimeTest, StepDuringAPassIsSeenOnceByEveryTask) {
  ASSERT_EQ(0, kxtime_sim_initialize(kHour));
  Gate gate;
  Recorder r;
  add_cron_task(0, Gate::task, &gate);
  add_cron_task(0, Recorder::task, &r);
  add_cron_task(0, PassCounter::task, &passes);
  kxtime_sim_settime(kHour + 1);
  ASSERT_TRUE(gate.wait_entered());
  kxtime_sim_settime(kHour - 59);  // the clock set back while the pass runs
  gate.release();
  ASSERT_TRUE(passes.wait_for(2));
  step(kHour - 58);
  std::lock_guard<std::mutex> g(r.m);
  EXPECT_EQ((std::vector<int>{0, 1, 0}), r.flags);
}

TEST_F(SimTimeTest, DeletedTaskStopsAndSecondDeleteDoesNothing) {
  ASSERT_EQ(0, kxtime_sim_initialize(kHour));
  Recorder r;
  CronTaskPtr task = add_cron_task(0, Recorder::task, &r);
  add_cron_task(0, PassCounter::task, &passes);
  step(kHour + 1);
  del_cron_task(task);
  del_cron_task(task);  // already removed: ignored (the handle is only compared)
  step(kHour + 2);
  EXPECT_EQ(1u, r.times().size());
}

TEST_F(SimTimeTest, CachedTimeText) {
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_EQ(0, kxtime_sim_initialize(86400 * 365));
  char text[20];
  kxtime_get_time_str(text);
  EXPECT_STREQ("1971-01-01 00:00:00", text);
  EXPECT_EQ(19, current_time_len);
  kxtime_sim_inctime(61);
  EXPECT_EQ(86400 * 365 + 61, current_time.load());
  kxtime_get_time_str(text);
  EXPECT_STREQ("1971-01-01 00:01:01", text);
  char buf[100];
  calendar_time(buf, 0);
  EXPECT_STREQ("Time not defined", buf);
  calendar_time(buf, 86400 * 365);
  EXPECT_STREQ("Fri, 01 Jan 1971 00:00:00 +0000", buf);
}

TEST(KxtimeTest, RealServiceStartsStopsAndRestarts) {
  ASSERT_EQ(0, kxtime_initialize());
  time_t now = time(nullptr);
  EXPECT_LE(std::abs(static_cast<long>(current_time.load() - now)), 1);
  char text[20];
  kxtime_get_time_str(text);
  EXPECT_EQ(19u, strlen(text));
  EXPECT_EQ(1, kxtime_initialize());  // a second start is refused
  EXPECT_EQ(1, kxtime_sim_initialize(5));

  // The time thread ticks every second and wakes the cron thread.
  PassCounter passes;
  add_cron_task(1, PassCounter::task, &passes);
  EXPECT_TRUE(passes.wait_for(2));
  EXPECT_EQ(0, kxtime_terminate());
  int after = passes.count();
  // The tasks were freed by the stop: after the restart a pass runs (a new
  // task counts it) without the old task.
  ASSERT_EQ(0, kxtime_initialize());
  PassCounter fresh;
  add_cron_task(1, PassCounter::task, &fresh);
  EXPECT_TRUE(fresh.wait_for(1));
  EXPECT_EQ(0, kxtime_terminate());
  EXPECT_EQ(after, passes.count());
}

rwlock_t lifetime = RWL_INITIALIZER;
std::atomic<int> started{0};

void *service(void *arg) {
  rwl_readlock(&lifetime);
  started.store(1);
  rwl_readunlock(static_cast<rwlock_t *>(arg));
  rwl_readunlock(&lifetime);
  return nullptr;
}

TEST(KxtimeTest, StartDetachedReturnsOnceThreadRuns) {
  pthread_t thread;
  ASSERT_EQ(0, kxtime_start_detached(&thread, service));
  EXPECT_EQ(1, started.load());
  rwl_writelock(&lifetime);  // the thread has ended its lifetime hold
  rwl_writeunlock(&lifetime);
}

}  // namespace
