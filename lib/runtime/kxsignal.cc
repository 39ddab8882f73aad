#include "lib/runtime/kxsignal.h"

#include <atomic>
#include <csignal>
#include <pthread.h>

namespace {

pthread_mutex_t start_lock = PTHREAD_MUTEX_INITIALIZER;
bool running = false;
pthread_t waiter;
sigset_t wait_set;
int wake_signal = 0;
void (*signal_handler)(int) = nullptr;
std::atomic<int> stopping{0};

void *signal_waiter(void *) {
  for (;;) {
    int sig = 0;
    if (sigwait(&wait_set, &sig) != 0) continue;
    if (stopping.load()) break;
    signal_handler(sig);
  }
  return nullptr;
}

}  // namespace

int kxsignal_start(const int *signals, int count, void (*handler)(int sig)) {
  if (signals == nullptr || count < 1 || handler == nullptr) return 1;
  pthread_mutex_lock(&start_lock);
  if (running) {
    pthread_mutex_unlock(&start_lock);
    return 1;
  }
  sigemptyset(&wait_set);
  for (int i = 0; i < count; i++) sigaddset(&wait_set, signals[i]);
  wake_signal = signals[0];
  signal_handler = handler;
  stopping.store(0);
  if (pthread_sigmask(SIG_BLOCK, &wait_set, nullptr) != 0 ||
      pthread_create(&waiter, nullptr, signal_waiter, nullptr) != 0) {
    pthread_mutex_unlock(&start_lock);
    return 1;
  }
  running = true;
  pthread_mutex_unlock(&start_lock);
  return 0;
}

void kxsignal_stop() {
  pthread_mutex_lock(&start_lock);
  if (!running) {
    pthread_mutex_unlock(&start_lock);
    return;
  }
  stopping.store(1);
  pthread_kill(waiter, wake_signal);
  pthread_join(waiter, nullptr);
  running = false;
  pthread_mutex_unlock(&start_lock);
}
