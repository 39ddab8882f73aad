// Signals taken on an ordinary thread.
#include "lib/runtime/kxsignal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {

std::atomic<int> received{0};
std::atomic<bool> on_main{true};
pthread_t main_thread;

void handler(int sig) {
  on_main.store(pthread_equal(pthread_self(), main_thread) != 0);
  received.store(sig);
}

int child() {
  main_thread = pthread_self();
  int sigs[] = {SIGTERM, SIGINT};
  if (kxsignal_start(sigs, 2, handler) != 0) return 2;
  if (kxsignal_start(sigs, 2, handler) != 1) return 3;  // one waiter per process
  kill(getpid(), SIGINT);
  for (int i = 0; i < 10000 && received.load() == 0; i++) usleep(1000);
  kxsignal_stop();
  return received.load() == SIGINT && !on_main.load() ? 0 : 4;
}

TEST(KxsignalTest, HandlerRunsOnWaiterThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(child()), testing::ExitedWithCode(0), "");
}

}  // namespace
