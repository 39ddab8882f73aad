// The reader-writer lock with real threads. Threads are ordered by
// handshakes on the lock's own counters (a waiter is known to wait once it
// has counted itself), never by sleeping.
#include "lib/base/rwlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Bounded wait for a state of the lock, read under its mutex.
bool wait_for(rwlock_t *rwl, const std::function<bool(const rwlock_t &)> &pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pthread_mutex_lock(&rwl->mutex);
    bool ok = pred(*rwl);
    pthread_mutex_unlock(&rwl->mutex);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

struct Order {
  std::mutex m;
  std::vector<std::string> seen;
  void add(const std::string &s) {
    std::lock_guard<std::mutex> g(m);
    seen.push_back(s);
  }
};

TEST(RwlockTest, ZeroFilledLockAnswersEinval) {
  rwlock_t rwl;
  memset(&rwl, 0, sizeof rwl);
  using op = int (*)(rwlock_t *);
  for (op f : {rwl_destroy, rwl_readlock, rwl_readtrylock, rwl_readunlock, rwl_writelock, rwl_writetrylock,
               rwl_writeunlock, rwl_upgrade, rwl_downgrade})
    EXPECT_EQ(EINVAL, f(&rwl));
}

TEST(RwlockTest, DestroyRefusesBusyLockAndKeepsItUsable) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  ASSERT_EQ(0, rwl_readlock(&rwl));
  EXPECT_EQ(EBUSY, rwl_destroy(&rwl));
  EXPECT_EQ(EBUSY, rwl_writetrylock(&rwl));
  EXPECT_EQ(0, rwl_readunlock(&rwl));
  EXPECT_EQ(0, rwl_writetrylock(&rwl));
  EXPECT_EQ(EBUSY, rwl_readtrylock(&rwl));
  EXPECT_EQ(0, rwl_writeunlock(&rwl));
  EXPECT_EQ(0, rwl_destroy(&rwl));
  EXPECT_EQ(EINVAL, rwl_readlock(&rwl));
}

TEST(RwlockTest, StaticInitialiserGivesUsableLock) {
  rwlock_t rwl = RWL_INITIALIZER;
  EXPECT_EQ(0, rwl_writelock(&rwl));
  EXPECT_EQ(0, rwl_writeunlock(&rwl));
}

// One reader inside, a writer waiting: a new reader waits until the writer
// has come and gone, while a try-lock gets in at once.
TEST(RwlockTest, WaitingWriterGoesBeforeNewReaders) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  Order order;
  std::promise<void> release_writer;
  ASSERT_EQ(0, rwl_readlock(&rwl));

  std::thread writer([&] {
    EXPECT_EQ(0, rwl_writelock(&rwl));
    order.add("writer");
    release_writer.get_future().wait();
    EXPECT_EQ(0, rwl_writeunlock(&rwl));
  });
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.w_wait == 1; }));

  EXPECT_EQ(0, rwl_readtrylock(&rwl));  // waiting writers do not stop a try
  std::thread reader([&] {
    EXPECT_EQ(0, rwl_readlock(&rwl));
    order.add("reader");
    EXPECT_EQ(0, rwl_readunlock(&rwl));
  });
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.r_wait == 1; }));

  EXPECT_EQ(0, rwl_readunlock(&rwl));
  EXPECT_EQ(0, rwl_readunlock(&rwl));
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.w_active == 1; }));
  // The writer holds the lock; the reader still waits.
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.r_wait == 1 && l.r_active == 0; }));
  release_writer.set_value();
  writer.join();
  reader.join();
  EXPECT_EQ((std::vector<std::string>{"writer", "reader"}), order.seen);
  EXPECT_EQ(0, rwl_destroy(&rwl));
}

TEST(RwlockTest, OnlyReaderUpgradesAtOnce) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  ASSERT_EQ(0, rwl_readlock(&rwl));
  ASSERT_EQ(0, rwl_upgrade(&rwl));
  EXPECT_EQ(1, rwl.w_active);
  EXPECT_EQ(0, rwl.r_active);
  EXPECT_EQ(EBUSY, rwl_readtrylock(&rwl));
  EXPECT_EQ(0, rwl_writeunlock(&rwl));
  EXPECT_EQ(0, rwl_destroy(&rwl));
}

// An upgrader waits for the other reader, then gets the lock before a
// writer that was already waiting.
TEST(RwlockTest, UpgraderGoesBeforeWaitingWriter) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  Order order;
  ASSERT_EQ(0, rwl_readlock(&rwl));  // the other reader, held by this thread

  std::promise<void> upgrader_reading;
  std::thread upgrader([&] {
    EXPECT_EQ(0, rwl_readlock(&rwl));
    upgrader_reading.set_value();
    EXPECT_EQ(0, rwl_upgrade(&rwl));
    order.add("upgrader");
    EXPECT_EQ(0, rwl_writeunlock(&rwl));
  });
  upgrader_reading.get_future().wait();
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.u_wait == 1; }));

  std::thread writer([&] {
    EXPECT_EQ(0, rwl_writelock(&rwl));
    order.add("writer");
    EXPECT_EQ(0, rwl_writeunlock(&rwl));
  });
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.w_wait == 2; }));

  EXPECT_EQ(0, rwl_readunlock(&rwl));
  upgrader.join();
  writer.join();
  EXPECT_EQ((std::vector<std::string>{"upgrader", "writer"}), order.seen);
  EXPECT_EQ(0, rwl_destroy(&rwl));
}

TEST(RwlockTest, TwoReadersUpgradingAreServedInTurn) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  std::atomic<int> holding{0};
  std::atomic<int> writers_inside{0};
  std::atomic<int> max_inside{0};
  auto body = [&] {
    EXPECT_EQ(0, rwl_readlock(&rwl));
    holding++;
    while (holding.load() < 2) std::this_thread::yield();  // both hold a read
    EXPECT_EQ(0, rwl_upgrade(&rwl));
    int inside = ++writers_inside;
    if (inside > max_inside.load()) max_inside.store(inside);
    writers_inside--;
    EXPECT_EQ(0, rwl_writeunlock(&rwl));
  };
  std::thread a(body), b(body);
  a.join();
  b.join();
  EXPECT_EQ(1, max_inside.load());
  EXPECT_EQ(0, rwl_destroy(&rwl));
}

TEST(RwlockTest, DowngradeLetsWaitingReadersIn) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  ASSERT_EQ(0, rwl_writelock(&rwl));
  std::thread reader([&] {
    EXPECT_EQ(0, rwl_readlock(&rwl));
    EXPECT_EQ(0, rwl_readunlock(&rwl));
  });
  ASSERT_TRUE(wait_for(&rwl, [](const rwlock_t &l) { return l.r_wait == 1; }));
  EXPECT_EQ(0, rwl_downgrade(&rwl));
  reader.join();  // got in while this thread still reads
  EXPECT_EQ(1, rwl.r_active);
  EXPECT_EQ(0, rwl_readunlock(&rwl));
  EXPECT_EQ(0, rwl_destroy(&rwl));
}

// Holds are not owned: another thread may release a read hold (the
// service-thread start handshake relies on it).
TEST(RwlockTest, AnotherThreadReleasesReadHold) {
  rwlock_t rwl;
  ASSERT_EQ(0, rwl_init(&rwl));
  ASSERT_EQ(0, rwl_readlock(&rwl));
  std::thread t([&] { EXPECT_EQ(0, rwl_readunlock(&rwl)); });
  EXPECT_EQ(0, rwl_writelock(&rwl));
  t.join();
  EXPECT_EQ(0, rwl_writeunlock(&rwl));
  EXPECT_EQ(0, rwl_destroy(&rwl));
}

}  // namespace
