// Top-k counter list: admission, absorption, replacement of the oldest
// lowest counter, counts raised by lookups, the read-out order, and the
// list's own bookkeeping under long random runs.
#include "src/report/topk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// A group record of the test: its key is its first member.
struct Item {
  int key;
};

std::vector<int> destroyed;

unsigned long hash_int(const void *key) { return *static_cast<const int *>(key); }
int compare_int(const void *a, const void *b) {
  const int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}
void destroy_item(void *data) {
  auto *item = static_cast<Item *>(data);
  destroyed.push_back(item->key);
  delete item;
}

// Offers a new key: -1, 1 or 0 as topk_list_add; an absorbed item is the
// caller's to destroy, as the grouping engine does.
int offer(topk_list_t *list, int key) {
  auto *item = new Item{key};
  const int r = topk_list_add(list, &item->key, item);
  if (r != -1) delete item;
  return r;
}

// Looks the key up (counting it) or offers it when absent.
int see(topk_list_t *list, int key) {
  if (topk_list_lookup(list, &key)) return -1;
  return offer(list, key);
}

// The read-out: (key, count) from the highest count down.
std::vector<std::pair<int, int64_t>> read_out(topk_list_t *list) {
  std::vector<std::pair<int, int64_t>> out;
  const int n = topk_list_num_counters(list);
  for (int i = 0; i < n; i++) {
    int64_t count = -1;
    auto *item = static_cast<Item *>(topk_list_get_counter(list, i, &count));
    if (item == nullptr) {
      ADD_FAILURE() << "rank " << i << " of " << n;
      break;
    }
    out.emplace_back(item->key, count);
  }
  return out;
}

using Readout = std::vector<std::pair<int, int64_t>>;

class TopkTest : public ::testing::Test {
 protected:
  void SetUp() override { destroyed.clear(); }
  void TearDown() override { topk_list_destroy(list_); }
  topk_list_t *make(int bound) {
    list_ = topk_list_init(bound, hash_int, compare_int, destroy_item);
    return list_;
  }
  topk_list_t *list_ = nullptr;
};

// The list's bookkeeping: groups in order with positive steps after the
// first, sizes that match their counters, every counter found by its key.
void check_invariants(topk_list_t *list) {
  int counted = 0, places = 0;
  for (topk_counter_group_t *g = list->head; g; g = g->next) {
    int n = 0;
    for (topk_counter_t *c = g->head; c; c = c->next) {
      ASSERT_EQ(c->group, g);
      // Reachable from its home slot without crossing a free slot.
      uint64_t i = c->hash & list->hash_mask;
      while (list->hash[i].counter != c) {
        ASSERT_NE(list->hash[i].counter, nullptr) << "counter lost from the hash";
        i = (i + 1) & list->hash_mask;
      }
      n++;
    }
    if (g == list->head) {
      ASSERT_GE(g->diff, 0);
      ASSERT_EQ(g->size, n + (list->max_counters - list->counters));
    } else {
      ASSERT_GE(g->diff, 1);
      ASSERT_GE(n, 1);
      ASSERT_EQ(g->size, n);
      ASSERT_EQ(g->prev->next, g);
    }
    counted += n;
    places += g->size;
  }
  ASSERT_EQ(counted, list->counters);
  ASSERT_EQ(places, list->max_counters);
  int in_hash = 0;
  for (const topk_slot &s : list->hash) in_hash += s.counter != nullptr;
  ASSERT_EQ(in_hash, list->counters);
}

TEST_F(TopkTest, NinthKeyOfEightIsAbsorbed) {
  topk_list_t *list = make(8);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->reuse_first_min, 1);
  for (int k = 1; k <= 8; k++) EXPECT_EQ(offer(list, k), -1) << k;
  EXPECT_EQ(offer(list, 9), 1);
  EXPECT_EQ(list->total, 9);
  EXPECT_EQ(list->head->diff, 0);
  EXPECT_EQ(list->max, 0);  // one group only: the highest count dropped
  EXPECT_TRUE(destroyed.empty());
  int nine = 9;
  EXPECT_EQ(topk_list_lookup(list, &nine), nullptr);
  const Readout r = read_out(list);
  ASSERT_EQ(r.size(), 8u);
  for (int i = 0; i < 8; i++) EXPECT_EQ(r[i].first, 8 - i);

  // The next new key replaces the oldest lowest counter and starts at 1.
  EXPECT_EQ(offer(list, 10), -1);
  EXPECT_EQ(destroyed, std::vector<int>{1});
  const Readout after = read_out(list);
  ASSERT_EQ(after.size(), 8u);
  EXPECT_EQ(after[0], std::make_pair(10, int64_t{1}));
  for (int i = 1; i < 8; i++) EXPECT_EQ(after[i], std::make_pair(9 - i, int64_t{0}));
  check_invariants(list);
}

// Each case: a bound, keys seen in order (looked up, else offered), the
// results of the offers, the read-out and the list's counters.
struct Case {
  const char *what;
  int bound;
  std::vector<int> keys;
  std::vector<int> results;  // one per key: -1 admitted or counted, 1 absorbed
  Readout readout;
  int64_t max, offset;
  std::vector<int> destroyed;
};

const Case kCases[] = {
    {"three keys seen 3, 1 and 2 times read out by count", 8, {1, 2, 3, 1, 1, 3},
     {-1, -1, -1, -1, -1, -1}, {{1, 3}, {3, 2}, {2, 1}}, 3, 0, {}},
    {"equal counts read out newest first", 8, {5, 6, 7}, {-1, -1, -1},
     {{7, 1}, {6, 1}, {5, 1}}, 1, 0, {}},
    {"equal counts reached by lookups: the last to reach comes first", 8, {1, 2, 2, 1},
     {-1, -1, -1, -1}, {{1, 2}, {2, 2}}, 2, 0, {}},
    // Full, lowest count above the floor, more than bound/8 lowest
    // counters: only the lowest lose one (the next group's step grows).
    {"absorbed while many are lowest", 8, {1, 2, 3, 4, 5, 6, 7, 8, 8, 9},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, 1},
     {{8, 2}, {7, 0}, {6, 0}, {5, 0}, {4, 0}, {3, 0}, {2, 0}, {1, 0}}, 2, 0, {}},
    {"then a new key replaces the oldest lowest", 8, {1, 2, 3, 4, 5, 6, 7, 8, 8, 9, 10},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, 1, -1},
     {{8, 2}, {10, 1}, {7, 0}, {6, 0}, {5, 0}, {4, 0}, {3, 0}, {2, 0}}, 2, 0, {1}},
    // Full, only bound/8 lowest counters: all counters lose one at once
    // (offset), which the read-out from the highest count does not show.
    {"absorbed while few are lowest", 8, {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 9},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1},
     {{7, 2}, {6, 2}, {5, 2}, {4, 2}, {3, 2}, {2, 2}, {1, 2}, {8, 1}}, 2, 1, {}},
    {"then the lone lowest is replaced and joins the next count", 8,
     {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 9, 10},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, -1},
     {{10, 2}, {7, 2}, {6, 2}, {5, 2}, {4, 2}, {3, 2}, {2, 2}, {1, 2}}, 2, 1, {8}},
    // One counter: a new key is absorbed until it has worn the held count
    // down to the floor, then takes the place.
    {"a bound of one", 1, {1, 1, 2, 2, 2, 3}, {-1, -1, 1, 1, -1, 1}, {{2, 0}}, 0, 0, {1}},
};

TEST_F(TopkTest, ReplacementAndReadOutCases) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    topk_list_destroy(list_);
    destroyed.clear();
    topk_list_t *list = make(c.bound);
    ASSERT_NE(list, nullptr);
    std::vector<int> results;
    for (int k : c.keys) results.push_back(see(list, k));
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(read_out(list), c.readout);
    EXPECT_EQ(list->max, c.max);
    EXPECT_EQ(list->offset, c.offset);
    EXPECT_EQ(destroyed, c.destroyed);
    check_invariants(list);
  }
}

TEST_F(TopkTest, ReadOutCursorMovesBothWays) {
  topk_list_t *list = make(8);
  for (int k : {1, 2, 3, 1, 1, 3, 4}) see(list, k);
  const Readout all = read_out(list);  // 1:3, 3:2, 4:1, 2:1
  ASSERT_EQ(all.size(), 4u);
  ASSERT_EQ(topk_list_num_counters(list), 4);
  for (int i : {3, 0, 2, 1, 1, 3}) {
    int64_t count = -1;
    auto *item = static_cast<Item *>(topk_list_get_counter(list, i, &count));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::make_pair(item->key, count), all[i]) << i;
  }
  int64_t count = 77;
  EXPECT_EQ(topk_list_get_counter(list, 4, &count), nullptr);
  EXPECT_EQ(topk_list_get_counter(list, -1, &count), nullptr);
  EXPECT_EQ(count, 77);
}

TEST_F(TopkTest, EdgesOfTheInterface) {
  EXPECT_EQ(topk_list_init(0, hash_int, compare_int, destroy_item), nullptr);
  EXPECT_EQ(topk_list_init(-5, hash_int, compare_int, destroy_item), nullptr);
  EXPECT_EQ(topk_list_init(8, nullptr, compare_int, destroy_item), nullptr);
  topk_list_t *list = make(4);
  int64_t count;
  // No cursor before the first count, nothing in an empty list.
  EXPECT_EQ(topk_list_get_counter(list, 0, &count), nullptr);
  EXPECT_EQ(topk_list_num_counters(list), 0);
  EXPECT_EQ(topk_list_get_counter(list, 0, &count), nullptr);
  int key = 3;
  EXPECT_EQ(topk_list_lookup(list, &key), nullptr);
  Item item{3};
  EXPECT_EQ(topk_list_add(nullptr, &item.key, &item), 0);
  EXPECT_EQ(topk_list_add(list, nullptr, &item), 0);
  EXPECT_EQ(topk_list_num_counters(nullptr), 0);
  topk_list_destroy(nullptr);
}

TEST_F(TopkTest, DestroyReleasesEveryHeldRecordOnce) {
  topk_list_t *list = make(16);
  std::mt19937 rng(7);
  int evicted = 0;
  for (int i = 0; i < 5000; i++) {
    const size_t before = destroyed.size();
    see(list, static_cast<int>(rng() % 40));
    evicted += static_cast<int>(destroyed.size() - before);
  }
  const int held = topk_list_num_counters(list);
  std::vector<int> keys;
  for (const auto &kc : read_out(list)) keys.push_back(kc.first);
  destroyed.clear();
  topk_list_destroy(list_);
  list_ = nullptr;
  EXPECT_EQ(static_cast<int>(destroyed.size()), held);
  std::sort(keys.begin(), keys.end());
  std::sort(destroyed.begin(), destroyed.end());
  EXPECT_EQ(destroyed, keys);
  EXPECT_GT(evicted, 0);
}

// Below the bound nothing is lost: counts are exact, ordered by count and,
// among equal counts, by the time each reached its count, latest first.
TEST_F(TopkTest, ExactWhileNotFull) {
  topk_list_t *list = make(64);
  std::mt19937 rng(11);
  std::map<int, std::pair<int64_t, int>> exact;  // key -> count, when reached
  for (int step = 0; step < 20000; step++) {
    const int key = static_cast<int>(rng() % 50);
    see(list, key);
    auto &e = exact[key];
    e.first++;
    e.second = step;
  }
  std::vector<std::pair<std::pair<int64_t, int>, int>> order;
  for (const auto &[k, e] : exact) order.push_back({e, k});
  std::sort(order.rbegin(), order.rend());
  Readout want;
  for (const auto &[e, k] : order) want.emplace_back(k, e.first);
  EXPECT_EQ(read_out(list), want);
  EXPECT_EQ(list->total, static_cast<int64_t>(exact.size()));
  check_invariants(list);
}

// A skewed stream through a small list: the bookkeeping holds at every
// step, the read-out never rises, and the most frequent keys are kept.
TEST_F(TopkTest, SkewedStreamKeepsHeavyKeys) {
  topk_list_t *list = make(100);
  std::mt19937 rng(3);
  std::vector<int> keys;
  for (int i = 0; i < 60000; i++) {
    // Keys 0..9 take half the stream; the rest is spread over 100000 keys.
    const int key = rng() % 2 ? static_cast<int>(rng() % 10) : 10 + static_cast<int>(rng() % 100000);
    see(list, key);
    if (i % 997 == 0) {
      check_invariants(list);
      if (HasFatalFailure()) return;
    }
  }
  check_invariants(list);
  const Readout r = read_out(list);
  ASSERT_EQ(r.size(), 100u);
  for (size_t i = 1; i < r.size(); i++) EXPECT_LE(r[i].second, r[i - 1].second);
  std::vector<int> top;
  for (int i = 0; i < 10; i++) top.push_back(r[i].first);
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

// Keys that collide in a weak hash (multiples of the table size) still
// find their counters, also after evictions moved entries around.
TEST_F(TopkTest, CollidingKeysStayFindable) {
  topk_list_t *list = make(32);
  for (int round = 0; round < 50; round++)
    for (int i = 0; i < 40; i++) see(list, i * 4096);
  check_invariants(list);
  for (const auto &kc : read_out(list)) {
    int key = kc.first;
    EXPECT_NE(topk_list_lookup(list, &key), nullptr) << key;
  }
}

}  // namespace
