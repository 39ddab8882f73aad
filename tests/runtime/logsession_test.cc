// Log sessions: ring, filters, truncation, expiry.
#include "lib/runtime/logsession.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lib/runtime/kxtime.h"

namespace {

std::vector<std::string> sample(logsession_set_t *set, const char *name, unsigned *overflow = nullptr) {
  std::vector<std::string> out;
  logsession_sample_t *s = logsession_set_sample(set, name);
  if (s == nullptr) return out;
  for (int i = 0; i < s->size; i++) out.emplace_back(s->entries[i]);
  if (overflow != nullptr) *overflow = s->overflow;
  logsession_sample_destroy(s);
  return out;
}

struct Set {
  logsession_set_t *set = logsession_set_create(LOGSESSION_SET_LOCKED, nullptr, nullptr, nullptr, nullptr);
  ~Set() { logsession_set_destroy(set); }
  void insert(const std::string &s) { logsession_set_insert(set, s.c_str(), static_cast<int>(s.size())); }
};

TEST(LogsessionTest, EmptySetIgnoresInsertAndFlush) {
  Set s;
  s.insert("line\n");
  logsession_set_flush(s.set);
  EXPECT_EQ(0, logsession_set_get_count(s.set));
  EXPECT_EQ(nullptr, logsession_set_sample(s.set, "none"));
}

TEST(LogsessionTest, RingKeepsNewestInOrderAndCountsOverflow) {
  Set s;
  ASSERT_EQ(0, logsession_set_add(s.set, "ring", nullptr, nullptr, 3, 100));
  EXPECT_EQ(-1, logsession_set_add(s.set, "ring", nullptr, nullptr, 3, 100));
  for (int i = 1; i <= 5; i++) s.insert("line " + std::to_string(i) + "\n");
  unsigned overflow = 0;
  EXPECT_EQ((std::vector<std::string>{"line 3\n", "line 4\n", "line 5\n"}), sample(s.set, "ring", &overflow));
  EXPECT_EQ(2u, overflow);
  s.insert("line 6\n");
  EXPECT_EQ((std::vector<std::string>{"line 6\n"}), sample(s.set, "ring", &overflow));
  EXPECT_EQ(0u, overflow);
  EXPECT_EQ(0, logsession_set_remove(s.set, "ring"));
  EXPECT_EQ(-1, logsession_set_remove(s.set, "ring"));
}

TEST(LogsessionTest, FiltersMatchNegateAndCut) {
  Set s;
  ASSERT_EQ(0, logsession_set_add(s.set, "f", "x=1 filter=alpha filter=beta filter=!gamma filter=", nullptr, 10, 12));
  s.insert("ALPHA one\nsecond line");
  s.insert("beta but gamma\n");
  s.insert("delta\n");
  s.insert("beta is a long line\n");
  s.insert("alpha, long again\nshort");  // the first line is cut
  EXPECT_EQ((std::vector<std::string>{"ALPHA one\n", "beta is ...", "alpha, l..."}), sample(s.set, "f"));
  // An expression that does not compile leaves the session without a filter.
  ASSERT_EQ(0, logsession_set_add(s.set, "bad", "filter=(", nullptr, 2, 100));
  // So does a bad negate expression beside a good match one (which is freed).
  ASSERT_EQ(0, logsession_set_add(s.set, "badnegate", "filter=ok filter=!(", nullptr, 2, 100));
  s.insert("anything\n");
  EXPECT_EQ((std::vector<std::string>{"anything\n"}), sample(s.set, "bad"));
  EXPECT_EQ((std::vector<std::string>{"anything\n"}), sample(s.set, "badnegate"));
}

TEST(LogsessionTest, UnsampledSessionExpiresAfterSixtySeconds) {
  kxtime_update_time_set(1000);
  Set s;
  ASSERT_EQ(0, logsession_set_add(s.set, "a", nullptr, nullptr, 2, 100));
  ASSERT_EQ(0, logsession_set_add(s.set, "b", nullptr, nullptr, 2, 100));
  kxtime_update_time_set(1030);
  sample(s.set, "b");
  kxtime_update_time_set(1060);
  logsession_set_flush(s.set);
  EXPECT_EQ(2, logsession_set_get_count(s.set));
  kxtime_update_time_set(1061);
  logsession_set_flush(s.set);
  EXPECT_EQ(nullptr, logsession_set_find(s.set, "a"));
  EXPECT_NE(nullptr, logsession_set_find(s.set, "b"));
  EXPECT_EQ(1, logsession_set_get_count(s.set));
}

}  // namespace

namespace {

// Binary records of these tests: a port number and a user name.
struct Rec {
  int port;
  char user[16];
};
struct PortQuery {
  int port;
};
int freed_queries = 0;

int match_port(void *query, const void *record, int) {
  return static_cast<const Rec *>(record)->port == static_cast<PortQuery *>(query)->port;
}
char *rec_text(const void *record, int, char *buff, int size) {
  const Rec *r = static_cast<const Rec *>(record);
  if (r->port < 0) return nullptr;  // not convertible
  snprintf(buff, static_cast<size_t>(size), "port=%d user=%s\n", r->port, r->user);
  return buff;
}
void free_query(void *q) {
  ++freed_queries;
  delete static_cast<PortQuery *>(q);
}

TEST(LogsessionTest, BinaryRecordsMatchedAndTurnedToText) {
  logsession_set_t *set = logsession_set_create(LOGSESSION_SET_LOCKED, free_query, match_port, rec_text, nullptr);
  ASSERT_NE(nullptr, set);
  ASSERT_EQ(0, logsession_set_add(set, "port80", nullptr, new PortQuery{80}, 4, 100));
  ASSERT_EQ(0, logsession_set_add(set, "alice", "filter=user=alice", nullptr, 4, 12));
  EXPECT_NE(nullptr, logsession_set_find(set, "port80")->record_buff);
  Rec recs[] = {{80, "alice"}, {443, "alice"}, {80, "bob"}, {-1, "alice"}, {22, "carol"}};
  for (const Rec &r : recs) logsession_set_insert_binary(set, &r, sizeof r);
  EXPECT_EQ((std::vector<std::string>{"port=80 user=alice\n", "port=80 user=bob\n"}), sample(set, "port80"));
  // The text filter, and the entry cut to the session's buffer size.
  EXPECT_EQ((std::vector<std::string>{"port=80 ...", "port=443..."}), sample(set, "alice"));
  logsession_set_insert_binary(set, nullptr, 4);
  EXPECT_TRUE(sample(set, "port80").empty());
  logsession_set_destroy(set);
  EXPECT_EQ(1, freed_queries);

  // A set without a converter takes no binary record; its sessions have no
  // record buffer.
  logsession_set_t *plain = logsession_set_create(LOGSESSION_SET_UNLOCKED, nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(0, logsession_set_add(plain, "all", nullptr, nullptr, 2, 100));
  EXPECT_EQ(nullptr, logsession_set_find(plain, "all")->record_buff);
  logsession_set_insert_binary(plain, &recs[0], sizeof recs[0]);
  EXPECT_TRUE(sample(plain, "all").empty());
  logsession_set_destroy(plain);
}

}  // namespace
