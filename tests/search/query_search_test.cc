#include "libsearch/query_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

struct listed {
  std::string word;  // the text at the offset, rule-word length long
  std::string data;
  int offset;
  bool operator==(const listed &) const = default;
};

std::ostream &operator<<(std::ostream &os, const listed &l) {
  return os << "{" << l.word << "," << l.data << "," << l.offset << "}";
}

class Engine {
 public:
  // Rules as (query, data) pairs; data strings live as long as the engine.
  explicit Engine(std::initializer_list<std::pair<const char *, const char *>> rules) {
    engine_ = query_search_engine_new(0);
    EXPECT_NE(engine_, nullptr);
    for (const auto &[query, data] : rules) {
      EXPECT_EQ(query_add_rule(engine_, query, const_cast<char *>(data), 0), 0) << query;
    }
    EXPECT_EQ(query_search_engine_compile(engine_), 0);
  }
  ~Engine() { query_search_engine_destroy(engine_); }
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  std::vector<listed> search(const std::string &text) const {
    std::vector<listed> out;
    query_search_state *st = query_search_state_new(engine_);
    EXPECT_NE(st, nullptr);
    query_search_allwords_result *r =
        query_search_allwords(engine_, text.data(), static_cast<int>(text.size()), st);
    if (r != nullptr) {
      EXPECT_EQ(r->num, static_cast<int>(r->words.size()));
      for (const auto &w : r->words) {
        const int start = w.offset < 0 ? w.offset + static_cast<int>(text.size()) : w.offset;
        EXPECT_GE(start, 0);
        EXPECT_LE(start, static_cast<int>(text.size()));
        out.push_back(listed{text.substr(static_cast<size_t>(start), static_cast<size_t>(w.len)),
                             static_cast<const char *>(w.data), w.offset});
      }
    }
    query_search_state_destroy(st);
    return out;
  }
  query_search_engine *get() const { return engine_; }

 private:
  query_search_engine *engine_;
};

using listing = std::vector<listed>;

TEST(Search, FirstOccurrenceOncePerRuleInRuleOrder) {
  Engine e({{"cat dog", "A"}, {"dog", "B"}});
  EXPECT_EQ(e.search("Hot dog, cat and dog"),
            (listing{{"dog", "A", 4}, {"dog", "B", 4}, {"cat", "A", 9}}));
}

TEST(Search, LastWordIsCountedBackFromTheEnd) {
  Engine e({{"dogs", "A"}});
  EXPECT_EQ(e.search("I like cats and dogs"), (listing{{"dogs", "A", -4}}));
  EXPECT_EQ(e.search("dogs"), (listing{{"dogs", "A", -4}}));
  // Trailing blanks: the offset still names the word's first byte.
  EXPECT_EQ(e.search("dogs  \n"), (listing{{"dogs", "A", -7}}));
}

TEST(Search, OffsetsFollowTheTextsOwnSpacing) {
  Engine e({{"\"a,b\"", "P"}, {"\"hot dog\"", "H"}});
  EXPECT_EQ(e.search("a,b x"), (listing{{"a,b x", "P", 0}}));
  EXPECT_EQ(e.search("x a  ,  b y"), (listing{{"a  , ", "P", 2}}));
  EXPECT_EQ(e.search("see a,b"), (listing{{"a,b", "P", -3}}));
  EXPECT_EQ(e.search("hot\t\tdog!"), (listing{{"hot\t\tdo", "H", 0}}));
  EXPECT_EQ(e.search("\"hot\" dog."), (listing{{"hot\" do", "H", 1}}));
}

TEST(Search, WordsDifferingInCaseShareOneEntry) {
  Engine e({{"Dog", "A"}, {"DOG", "B"}});
  ASSERT_EQ(e.get()->allwords.size(), 1U);
  const auto &wd = *e.get()->allwords.begin()->second;
  EXPECT_EQ(e.get()->allwords.begin()->first, "DOG");
  EXPECT_EQ(wd.size, 2);
  EXPECT_EQ(e.search("a dOg here"), (listing{{"dOg", "A", 2}, {"dOg", "B", 2}}));
}

TEST(Search, NothingFound) {
  Engine e({{"cat", "A"}});
  EXPECT_EQ(e.search(""), listing{});
  EXPECT_EQ(e.search("dog catalogue"), listing{});
  Engine none({});
  EXPECT_EQ(none.search("cat"), listing{});
}

TEST(Search, OperatorsPlayNoPart) {
  Engine e({{"a -b", "R"}, {"dog dog", "D"}, {"x AND (y OR z^2) AND w~3", "X"}});
  EXPECT_EQ(e.search("b"), (listing{{"b", "R", -1}}));
  EXPECT_EQ(e.search("dog"), (listing{{"dog", "D", -3}, {"dog", "D", -3}}));
  EXPECT_EQ(e.search("w z q"), (listing{{"w", "X", 0}, {"z", "X", 2}}));
}

TEST(Search, MalformedRulesAddNothing) {
  query_search_engine *e = query_search_engine_new(0);
  ASSERT_NE(e, nullptr);
  char data[] = "D";
  EXPECT_EQ(query_add_rule(e, "a (b", data, 0), -3);
  EXPECT_EQ(query_add_rule(e, "a)", data, 0), -3);
  EXPECT_EQ(query_add_rule(e, "\"open", data, 0), -2);
  EXPECT_EQ(query_add_rule(e, "end\\", data, 0), -1);
  EXPECT_EQ(query_add_rule(e, "   ", data, 0), 0);
  EXPECT_TRUE(e->allwords.empty());
  EXPECT_EQ(query_add_rule(e, "ok", data, 0), 0);
  ASSERT_EQ(query_search_engine_compile(e), 0);
  EXPECT_EQ(query_add_rule(e, "late", data, 0), -1);  // compiled: no more rules
  EXPECT_NE(query_search_engine_compile(e), 0);
  query_search_engine_destroy(e);
  query_search_engine_destroy(nullptr);
}

TEST(Search, UncompiledEngineFindsNothing) {
  query_search_engine *e = query_search_engine_new(2);
  ASSERT_NE(e, nullptr);
  char data[] = "D";
  ASSERT_EQ(query_add_rule(e, "cat", data, 0), 0);
  query_search_state *st = query_search_state_new(e);
  EXPECT_EQ(query_search_allwords(e, "cat", 3, st), nullptr);
  query_search_state_destroy(st);
  query_search_engine_destroy(e);
}

// Several threads search one engine while others create matchers: run
// under ThreadSanitizer, this shows that nothing shared is written.
TEST(Search, ThreadsShareOneEngine) {
  std::vector<std::pair<std::string, std::string>> rules;
  for (int i = 0; i < 300; ++i) {
    rules.emplace_back("w" + std::to_string(i) + " \"p" + std::to_string(i) + ", q\"",
                       "c" + std::to_string(i % 7));
  }
  query_search_engine *e = query_search_engine_new(0);
  ASSERT_NE(e, nullptr);
  for (auto &[q, d] : rules) {
    ASSERT_EQ(query_add_rule(e, q.c_str(), d.data(), 0), 0);
  }
  ASSERT_EQ(query_search_engine_compile(e), 0);
  std::string text;
  for (int i = 0; i < 300; i += 3) {
    text += "W" + std::to_string(i) + " and p" + std::to_string(i + 1) + ",q; ";
  }
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 40; ++round) {
        if (t == 0) {
          acsmFree2(acsmNew2(nullptr, nullptr, nullptr));
        }
        query_search_state *st = query_search_state_new(e);
        auto *r = query_search_allwords(e, text.data(), static_cast<int>(text.size()), st);
        if (r == nullptr || r->num != 200) {
          ++bad;
        }
        query_search_state_destroy(st);
      }
    });
  }
  for (auto &th : threads) {
    th.join();
  }
  EXPECT_EQ(bad.load(), 0);
  query_search_engine_destroy(e);
}

}  // namespace
