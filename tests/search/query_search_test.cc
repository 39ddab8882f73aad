#include "libsearch/query_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <tuple>
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
    std::string n = std::to_string(i);
    std::string q = "w";
    q += n;
    q += " \"p";
    q += n;
    q += ", q\"";
    std::string d = "c";
    d += std::to_string(i % 7);
    rules.emplace_back(q, d);
  }
  query_search_engine *e = query_search_engine_new(0);
  ASSERT_NE(e, nullptr);
  for (auto &[q, d] : rules) {
    ASSERT_EQ(query_add_rule(e, q.c_str(), d.data(), 0), 0);
  }
  ASSERT_EQ(query_search_engine_compile(e), 0);
  std::string text;
  for (int i = 0; i < 300; i += 3) {
    text += 'W';
    text += std::to_string(i);
    text += " and p";
    text += std::to_string(i + 1);
    text += ",q; ";
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

namespace {

// An engine of templates (their weights) and rules (query, data, template).
struct RuleEngine {
  query_search_engine *e;
  RuleEngine(std::initializer_list<int> weights, std::initializer_list<std::tuple<const char *, const char *, int>> rules,
             int proximity = 0) {
    e = query_search_engine_new(static_cast<int>(weights.size()));
    EXPECT_NE(e, nullptr);
    int i = 0;
    for (int w : weights) query_search_engine_set_template_info(e, i++, w, const_cast<char *>("T"));
    if (proximity > 0) {
      EXPECT_EQ(query_search_engine_set(e, 1, proximity), 0);
    }
    for (const auto &[query, data, index] : rules)
      EXPECT_EQ(query_add_rule(e, query, const_cast<char *>(data), index), 0) << query;
    EXPECT_EQ(query_search_engine_compile(e), 0);
  }
  ~RuleEngine() { query_search_engine_destroy(e); }
  // Per template: "" when not found, else the recorded data joined by ','.
  std::vector<std::string> run(query_search_state *st, const std::string &text) const {
    query_search(e, text.data(), static_cast<int>(text.size()), st);
    std::vector<std::string> out;
    const query_search_result *r = query_search_state_all_results(st);
    for (int t = 0; t < e->template_num; ++t) {
      std::string s;
      if (r[t].found) {
        for (int i = 0; i < r[t].num; ++i) (s += i ? "," : "") += static_cast<const char *>(r[t].queries[i]);
      }
      out.push_back(s);
    }
    return out;
  }
  std::vector<std::string> run(const std::string &text) const {
    query_search_state *st = query_search_state_new(e);
    auto out = run(st, text);
    query_search_state_destroy(st);
    return out;
  }
};

using S = std::vector<std::string>;

TEST(RuleSearch, OperatorsAndWeightsDecideTheTemplates) {
  RuleEngine r({2, 1}, {{"cat AND dog", "A", 0}, {"bird", "B", 1}, {"fish^3", "C", 0}, {"mouse", "D", 0},
                        {"cat -owl", "E", 1}});
  EXPECT_EQ(r.run("a cat and a dog"), (S{"A", ""}));  // AND of two words weighs 2
  // The NOT under E's AND only passes its word through: E needs both words.
  EXPECT_EQ(r.run("cat owl"), (S{"", "E"}));
  EXPECT_EQ(r.run("a dog"), (S{"", ""}));
  EXPECT_EQ(r.run("bird"), (S{"", "B"}));  // the text's last word, reported by the flush
  EXPECT_EQ(r.run("one fish"), (S{"C", ""}));
  EXPECT_EQ(r.run("mouse"), (S{"", ""}));  // weight 1 is below template 0's 2
  EXPECT_EQ(r.run("fish dog cat bird"), (S{"C,A", "B"}));
  EXPECT_EQ(r.run(""), (S{"", ""}));
}

TEST(RuleSearch, ProximityForgetsWordsSeenTooLongAgo) {
  // Proximity 1 with two children: a child seen more than 2 words ago is
  // forgotten.
  RuleEngine r({0}, {{"big AND cat", "P", 0}}, 1);
  EXPECT_EQ(r.run("big cat"), (S{"P"}));
  EXPECT_EQ(r.run("big x cat"), (S{"P"}));
  EXPECT_EQ(r.run("big x y z cat"), (S{""}));
  EXPECT_EQ(r.run("big x y z big cat"), (S{"P"}));
  RuleEngine far({0}, {{"big AND cat", "P", 0}});
  EXPECT_EQ(far.run("big x y z cat"), (S{"P"}));
}

TEST(RuleSearch, StopResetAndResultIndex) {
  RuleEngine r({0, 0}, {{"cat", "A", 0}, {"dog", "B", 1}});
  query_search_state *st = query_search_state_new(r.e);
  ASSERT_NE(st, nullptr);
  query_search_state_set_stop(st, 1);
  EXPECT_EQ(r.run(st, "dog cat dog"), (S{"", "B"}));  // ends at the first result
  EXPECT_EQ(query_search_state_result_index(st), 1);
  EXPECT_EQ(st->found, 1);
  query_search_state_reset(st);
  EXPECT_EQ(st->found, 0);
  query_search_state_set_stop(st, 0);
  EXPECT_EQ(r.run(st, "dog cat x"), (S{"A", "B"}));
  EXPECT_EQ(query_search_state_result_index(st), 0);
  query_search_state_reset(st);
  EXPECT_EQ(r.run(st, "nothing"), (S{"", ""}));
  query_search_state_destroy(st);
}

TEST(RuleSearch, CountsReportsAndTheEndOfTheLastWord) {
  RuleEngine r({0}, {{"cat", "A", 0}, {"dog", "B", 0}});
  const struct {
    const char *text;
    int reports;  // the flush's report included
    int offset;   // where the last word reported ends
  } cases[] = {
      {"a cat x", 1, 5}, {"cat, dog x", 2, 8}, {"a dog", 1, 5}, {"x dog cat", 2, 9}, {"none", 0, 0},
      {"cat, dog  ", 2, 10},  // reported by the flush: the text's length
  };
  for (const auto &c : cases) {
    query_search_state *st = query_search_state_new(r.e);
    EXPECT_EQ(query_search(r.e, c.text, static_cast<int>(strlen(c.text)), st), c.reports) << c.text;
    EXPECT_EQ(st->offset, c.offset) << c.text;
    query_search_state_destroy(st);
  }
}

TEST(RuleSearch, BothSearchesRefuseBadArguments) {
  RuleEngine r({0}, {{"cat", "A", 0}});
  query_search_engine *open = query_search_engine_new(0);
  ASSERT_NE(open, nullptr);
  ASSERT_EQ(query_add_rule(open, "cat", const_cast<char *>("A"), 0), 0);  // never compiled
  query_search_state *st = query_search_state_new(r.e);
  const struct {
    const query_search_engine *engine;
    const char *text;
    int len;
    query_search_state *state;
  } cases[] = {
      {nullptr, "cat", 3, st}, {r.e, "cat", 3, nullptr}, {open, "cat", 3, st}, {r.e, "cat", -1, st}, {r.e, nullptr, 3, st},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(query_search(c.engine, c.text, c.len, c.state), -1);
    EXPECT_EQ(query_search_allwords(c.engine, c.text, c.len, c.state), nullptr);
    EXPECT_EQ(st->found, 0);
  }
  // A null text of no bytes is an empty text: only the flush is scanned.
  EXPECT_EQ(query_search(r.e, nullptr, 0, st), 0);
  EXPECT_EQ(query_search_allwords(r.e, nullptr, 0, st), nullptr);
  query_search_state_reset(st);
  EXPECT_EQ(query_search(r.e, "cat", 3, st), 1);
  query_search_state_destroy(st);
  query_search_engine_destroy(open);
}

TEST(RuleSearch, TemplatesAndSettings) {
  query_search_engine *e = query_search_engine_new(2);
  ASSERT_NE(e, nullptr);
  static int data = 5;
  query_search_engine_set_template_info(e, 1, 3, &data);
  query_search_engine_set_template_info(e, 2, 3, &data);  // no such template: ignored
  EXPECT_EQ(query_search_engine_get_template_data(e, 1), &data);
  EXPECT_EQ(query_search_engine_get_template_data(e, 0), nullptr);
  EXPECT_EQ(query_search_engine_get_template_data(e, 2), nullptr);
  EXPECT_EQ(e->templates[1].weight, 3);
  EXPECT_EQ(query_search_engine_set(e, 0, 2), 0);  // banded rows
  EXPECT_EQ(e->acsm->acsmFormat, ACF_BANDED);
  EXPECT_EQ(query_search_engine_set(e, 0, 4), -1);
  EXPECT_EQ(query_search_engine_set(e, 1, 0), -1);
  EXPECT_EQ(query_search_engine_set(e, 7, 1), -1);
  ASSERT_EQ(query_add_rule(e, "cat^3", const_cast<char *>("X"), 1), 0);
  ASSERT_EQ(query_search_engine_compile(e), 0);
  EXPECT_EQ(query_search_engine_set(e, 0, 1), -1);  // too late
  query_search_state *st = query_search_state_new(e);
  const char text[] = "a cat";
  EXPECT_GE(query_search(e, text, 5, st), 1);
  EXPECT_TRUE(query_search_state_all_results(st)[1].found);
  EXPECT_EQ(query_search(nullptr, text, 5, st), -1);
  query_search_state_destroy(st);
  query_search_engine_destroy(e);
}

}  // namespace
