#include "libsearch/acsm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct report {
  std::string word;  // the pattern's identifier
  int index;
  int word_index;
  bool operator==(const report &) const = default;
};

int collect(void *id, void *, int index, void *data, void *, ACSM_STATE *state) {
  static_cast<std::vector<report> *>(data)->push_back(
      report{static_cast<const char *>(id), index, state->word_index});
  return 0;
}

// An automaton over the given words, each its own identifier.
class Matcher {
 public:
  explicit Matcher(const std::vector<const char *> &words) {
    acsm_ = acsmNew2(nullptr, nullptr, nullptr);
    for (const char *w : words) {
      EXPECT_EQ(acsmAddPattern2(acsm_, reinterpret_cast<const unsigned char *>(w),
                                static_cast<int>(std::strlen(w)), 1, 0, 0, 0,
                                const_cast<char *>(w), 0),
                0);
    }
    EXPECT_EQ(acsmCompile2(acsm_, nullptr, nullptr), 0);
  }
  ~Matcher() { acsmFree2(acsm_); }
  Matcher(const Matcher &) = delete;
  Matcher &operator=(const Matcher &) = delete;

  // Scans the pieces in turn with one scan state, then the flush string.
  std::vector<report> scan(const std::vector<std::string> &pieces, bool flush = true) const {
    std::vector<report> out;
    ACSM_STATE st{};
    for (const std::string &p : pieces) {
      acsmSearch2(acsm_, reinterpret_cast<const unsigned char *>(p.data()),
                  static_cast<int>(p.size()), collect, &out, &st);
    }
    if (flush) {
      static const unsigned char tail[2] = {' ', 0xBF};
      acsmSearch2(acsm_, tail, 2, collect, &out, &st);
    }
    return out;
  }
  std::vector<std::string> words(const std::string &text) const {
    std::vector<std::string> w;
    for (const report &r : scan({text})) {
      w.push_back(r.word);
    }
    return w;
  }
  ACSM_STRUCT2 *get() const { return acsm_; }

 private:
  ACSM_STRUCT2 *acsm_;
};

using words = std::vector<std::string>;

TEST(Matcher, WholeWordsOnly) {
  Matcher m({"FOO"});
  for (const char *text : {"foo bar", "x,foo.", "Foo", "\"foo\"", "  \t foo\n", "bar (foo)"}) {
    EXPECT_EQ(m.words(text), words{"FOO"}) << text;
  }
  // '-' is no separator: "foo-bar" is one word (the separator table holds).
  for (const char *text : {"food", "afoo", "foobar", "foo-bar", "fo o", ""}) {
    EXPECT_EQ(m.words(text), words{}) << text;
  }
}

TEST(Matcher, WordAtTheEndNeedsTheFlush) {
  Matcher m({"FOO"});
  EXPECT_EQ(m.scan({"Foo"}, false).size(), 0U);
  EXPECT_EQ(m.scan({"foo bar"}, false).size(), 1U);
}

TEST(Matcher, SeparatorsNeverGlueToWords) {
  Matcher m({"A , B", "FOO.BAR"});
  for (const char *text : {"a,b", "a, b", "a ,b", "x  a  ,  b y"}) {
    EXPECT_EQ(m.words(text), words{"A , B"}) << text;
  }
  EXPECT_EQ(m.words("foo.bar"), words{});
  EXPECT_EQ(m.words("a b"), words{});
}

TEST(Matcher, OnlyTheFrontEntryIsReported) {
  Matcher m({"B", "A B"});
  EXPECT_EQ(m.words("a b"), words{"B"});
  EXPECT_EQ(m.words("x b"), words{"B"});
}

TEST(Matcher, WhiteSpaceRunsAreOneBlank) {
  Matcher m({"HOT DOG"});
  EXPECT_EQ(m.words("hot dog"), words{"HOT DOG"});
  EXPECT_EQ(m.words("  hot \t\r\n  dog  "), words{"HOT DOG"});
  EXPECT_EQ(m.words("hot \"dog\""), words{"HOT DOG"});
  EXPECT_EQ(m.words("hot, dog"), words{});
}

TEST(Matcher, IndexIsEndMinusStoredLength) {
  Matcher m({"FOO"});
  // The match ends after "foo" at 5; the stored pattern " FOO " is 5 long.
  EXPECT_EQ(m.scan({"x,foo."}), (std::vector<report>{{"FOO", 0, 2}}));
  EXPECT_EQ(m.scan({"foo bar"}), (std::vector<report>{{"FOO", -2, 2}}));
  // Reported by the flush: the end is the flush string's start.
  EXPECT_EQ(m.scan({"bar foo"}), (std::vector<report>{{"FOO", -5, 3}}));
}

TEST(Matcher, SplitScanEqualsWholeScan) {
  Matcher m({"CAT", "HOT DOG", "A , B", "DOG"});
  const std::string text = "the hot  dog, a ,b and a cat; Cat\tdog.";
  const auto whole = m.scan({text});
  ASSERT_EQ(whole.size(), 5U);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    auto split = m.scan({text.substr(0, cut), text.substr(cut)});
    ASSERT_EQ(split.size(), whole.size()) << cut;
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(split[i].word, whole[i].word) << cut;
      EXPECT_EQ(split[i].word_index, whole[i].word_index) << cut;
    }
  }
}

TEST(Matcher, HighBytesAreWordBytes) {
  Matcher m({"CAF", "CAF\xE9"});
  EXPECT_EQ(m.words("caf\xE9 x"), words{"CAF\xE9"});
  EXPECT_EQ(m.words("caf\xA0"), words{});
}

TEST(Matcher, StopsWhenTheCallbackAsks) {
  Matcher m({"A", "B"});
  int calls = 0;
  auto stop = [](void *, void *, int, void *data, void *, ACSM_STATE *) {
    ++*static_cast<int *>(data);
    return 1;
  };
  ACSM_STATE st{};
  const char *text = "a b a b";
  EXPECT_EQ(acsmSearch2(m.get(), reinterpret_cast<const unsigned char *>(text), 7, stop, &calls,
                        &st),
            1);
  EXPECT_EQ(calls, 1);
}

TEST(Matcher, EdgeArguments) {
  Matcher m({"A"});
  EXPECT_EQ(acsmPatternCount2(m.get()), 1);
  EXPECT_EQ(acsmSearch2(m.get(), reinterpret_cast<const unsigned char *>("a b"), 3, collect,
                        nullptr, nullptr),
            0);
  ACSM_STRUCT2 *empty = acsmNew2(nullptr, nullptr, nullptr);
  ACSM_STATE st{};
  EXPECT_EQ(acsmSearch2(empty, reinterpret_cast<const unsigned char *>("a"), 1, collect, nullptr,
                        &st),
            0);  // not compiled
  ASSERT_EQ(acsmCompile2(empty, nullptr, nullptr), 0);
  std::vector<report> out;
  EXPECT_EQ(acsmSearch2(empty, reinterpret_cast<const unsigned char *>("a"), 1, collect, &out,
                        &st),
            0);
  EXPECT_EQ(acsmAddPattern2(empty, reinterpret_cast<const unsigned char *>("B"), 1, 1, 0, 0, 0,
                            nullptr, 0),
            -1);  // compiled automata take no more patterns
  acsmFree2(empty);
  acsmFree2(nullptr);
}

}  // namespace
