#include "libsearch/acsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
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

namespace {

// One storage form of the automaton.
struct form {
  int format, fsa, compress, sparse_nodes, band_zeros;
};

void PrintTo(const form &f, std::ostream *os) {
  *os << "format" << f.format << "_fsa" << f.fsa << "_c" << f.compress << "_n" << f.sparse_nodes << "_z"
      << f.band_zeros;
}

// An automaton of the patterns, each its own identifier, in one form.
ACSM_STRUCT2 *compiled(const form &f, const std::vector<const char *> &patterns) {
  ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
  EXPECT_EQ(acsmSelectFormat2(a, f.format), 0);
  EXPECT_EQ(acsmSelectFSA2(a, f.fsa), 0);
  EXPECT_EQ(acsmCompressStates(a, f.compress), 0);
  EXPECT_EQ(acsmSetMaxSparseElements2(a, f.sparse_nodes), 0);
  EXPECT_EQ(acsmSetMaxSparseBandZeros2(a, f.band_zeros), 0);
  for (const char *w : patterns)
    EXPECT_EQ(acsmAddPattern2(a, reinterpret_cast<const unsigned char *>(w), static_cast<int>(strlen(w)), 1, 0, 0,
                              0, const_cast<char *>(w), 0),
              0);
  EXPECT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
  return a;
}

// All reports of the texts, scanned whole and split in two, under one form.
std::vector<report> scan_all(const form &f, const std::vector<const char *> &patterns,
                             const std::vector<std::string> &texts) {
  ACSM_STRUCT2 *a = compiled(f, patterns);
  std::vector<report> out;
  static const unsigned char tail[2] = {' ', 0xBF};
  for (const std::string &t : texts) {
    for (size_t cut : {t.size(), t.size() / 2}) {
      ACSM_STATE st{};
      acsmSearch2(a, reinterpret_cast<const unsigned char *>(t.data()), static_cast<int>(cut), collect, &out, &st);
      if (cut < t.size())
        acsmSearch2(a, reinterpret_cast<const unsigned char *>(t.data() + cut), static_cast<int>(t.size() - cut),
                    collect, &out, &st);
      acsmSearch2(a, tail, 2, collect, &out, &st);
    }
  }
  acsmFree2(a);
  return out;
}

const std::vector<const char *> kPatterns = {"CAT", "HOT DOG", "A , B", "DOG", "B", "A B", "CAF\xC9", "X",
                                             "CATALOGUE", "DOGS"};
const std::vector<std::string> kTexts = {
    "the hot  dog, a ,b and a cat; Cat\tdog.", "catalogue of dogs (dog) x", "a b", "x,x.x;x", "caf\xe9 cat",
    "\"hot\" \"dog\"", "nothing here", "",
};

class Forms : public ::testing::TestWithParam<form> {};

TEST_P(Forms, SameReportsAsTheFullFormat) {
  const auto full = scan_all({ACF_FULL, FSA_DFA, 0, 256, 10}, kPatterns, kTexts);
  ASSERT_GT(full.size(), 10U);
  EXPECT_EQ(scan_all(GetParam(), kPatterns, kTexts), full);
}

// A callback that records reports and asks to stop at the limit-th.
struct stopping {
  std::vector<report> seen;
  size_t limit;
};
int collect_until(void *id, void *tree, int index, void *data, void *neg, ACSM_STATE *state) {
  auto *s = static_cast<stopping *>(data);
  collect(id, tree, index, &s->seen, neg, state);
  return s->seen.size() >= s->limit ? 1 : 0;
}

// Per stop point: the reports, the count returned and the scan state left.
std::vector<std::tuple<std::vector<report>, int, std::vector<int>>> stop_runs(const form &f) {
  ACSM_STRUCT2 *a = compiled(f, kPatterns);
  std::vector<std::tuple<std::vector<report>, int, std::vector<int>>> out;
  const std::string &text = kTexts[0];
  for (size_t limit = 1; limit <= 6; ++limit) {
    stopping s{{}, limit};
    ACSM_STATE st{};
    const int n = acsmSearch2(a, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()),
                              collect_until, &s, &st);
    out.emplace_back(s.seen, n, std::vector<int>{st.state, st.letter, st.prep_sep, st.word_index});
  }
  acsmFree2(a);
  return out;
}

TEST_P(Forms, StopsWhereTheFullFormatStops) {
  const auto full = stop_runs({ACF_FULL, FSA_DFA, 0, 256, 10});
  ASSERT_EQ(std::get<0>(full.back()).size(), 5U);  // the text has five, so the last run ends unstopped
  EXPECT_EQ(stop_runs(GetParam()), full);
}

INSTANTIATE_TEST_SUITE_P(
    Matcher, Forms,
    ::testing::Values(form{ACF_FULL, FSA_NFA, 0, 256, 10}, form{ACF_FULL, FSA_DFA, 1, 256, 10},
                      form{ACF_FULL, FSA_NFA, 1, 256, 10}, form{ACF_SPARSE, FSA_DFA, 0, 256, 10},
                      form{ACF_SPARSE, FSA_DFA, 0, 2, 10}, form{ACF_SPARSE, FSA_NFA, 1, 256, 10},
                      form{ACF_BANDED, FSA_DFA, 0, 256, 10}, form{ACF_BANDED, FSA_NFA, 1, 256, 10},
                      form{ACF_SPARSEBANDS, FSA_DFA, 0, 256, 0}, form{ACF_SPARSEBANDS, FSA_DFA, 1, 256, 10},
                      form{ACF_SPARSEBANDS, FSA_NFA, 0, 256, 3}),
    [](const ::testing::TestParamInfo<form> &info) {
      std::ostringstream os;
      PrintTo(info.param, &os);
      return os.str();
    });

TEST(Matcher, CompressionPicksTheCellWidth) {
  ACSM_STRUCT2 *small = acsmNew2(nullptr, nullptr, nullptr);
  ASSERT_EQ(acsmCompressStates(small, 1), 0);
  acsmAddPattern2(small, reinterpret_cast<const unsigned char *>("CAT"), 3, 1, 0, 0, 0, nullptr, 0);
  ASSERT_EQ(acsmCompile2(small, nullptr, nullptr), 0);
  EXPECT_EQ(small->sizeofstate, 1);
  acsmFree2(small);

  // More than 254 states need two bytes a cell.
  ACSM_STRUCT2 *big = acsmNew2(nullptr, nullptr, nullptr);
  ASSERT_EQ(acsmCompressStates(big, 1), 0);
  std::vector<std::string> words;
  // Words that share little: two letters, then six digits.
  for (int i = 0; i < 100; ++i)
    words.push_back(std::string{static_cast<char>('A' + i % 26), static_cast<char>('A' + i / 26)} +
                    std::to_string(100000 + (i * 7919) % 900000));
  for (const std::string &w : words)
    acsmAddPattern2(big, reinterpret_cast<const unsigned char *>(w.data()), static_cast<int>(w.size()), 1, 0, 0, 0,
                    const_cast<char *>(w.c_str()), 0);
  ASSERT_EQ(acsmCompile2(big, nullptr, nullptr), 0);
  EXPECT_GT(big->acsmNumStates, 254);
  EXPECT_EQ(big->sizeofstate, 2);
  std::vector<report> out;
  ACSM_STATE st{};
  const std::string text = words[42] + " x " + words[99] + " zz999999 ";
  acsmSearch2(big, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()), collect,
              &out, &st);
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0].word, words[42]);
  EXPECT_EQ(out[1].word, words[99]);
  acsmFree2(big);
}

TEST(Matcher, QueueFormatReportsDistinctMatchesWithIndexZero) {
  ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
  ASSERT_EQ(acsmSelectFormat2(a, ACF_FULLQ), 0);
  for (const char *w : {"CAT", "DOG"})
    acsmAddPattern2(a, reinterpret_cast<const unsigned char *>(w), 3, 1, 0, 0, 0, const_cast<char *>(w), 0);
  ASSERT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
  std::vector<report> out;
  ACSM_STATE st{};
  const std::string text = "cat dog cat dog x";
  EXPECT_EQ(acsmSearch2(a, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()),
                        collect, &out, &st),
            2);
  ASSERT_EQ(out.size(), 2U);  // each match list once, at the end of the call
  EXPECT_EQ(out[0].word, "CAT");
  EXPECT_EQ(out[0].index, 0);
  EXPECT_EQ(out[1].word, "DOG");
  acsmFree2(a);
}

TEST(Matcher, QueueReportsWhenFullAndAtTheEnd) {
  ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
  ASSERT_EQ(acsmSelectFormat2(a, ACF_FULLQ), 0);
  std::vector<std::string> words;
  std::string text;
  for (int i = 0; i < AC_MAX_INQ + 8; ++i) {
    // Appended, not "W" + ...: GCC 12's -Wrestrict misreads that at -O3.
    std::string w(1, 'W');
    w += std::to_string(i);
    words.push_back(w);
    text += words.back() + " ";
  }
  text += "w0 w1 w0 x";
  for (const std::string &w : words)
    acsmAddPattern2(a, reinterpret_cast<const unsigned char *>(w.data()), static_cast<int>(w.size()), 1, 0, 0, 0,
                    const_cast<char *>(w.c_str()), 0);
  ASSERT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
  // The first AC_MAX_INQ distinct ones as the queue fills, then at the end
  // the eight left and the two met again after the queue was emptied.
  std::vector<std::string> expected(words.begin(), words.end());
  expected.insert(expected.end(), {"W0", "W1"});
  for (size_t limit : {expected.size() + 1, size_t{5}, size_t{AC_MAX_INQ + 3}}) {
    stopping s{{}, limit};
    ACSM_STATE st{};
    const int n = acsmSearch2(a, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()),
                              collect_until, &s, &st);
    const size_t want = std::min(limit, expected.size());
    EXPECT_EQ(n, static_cast<int>(want)) << limit;
    std::vector<std::string> got;
    for (const report &r : s.seen) {
      got.push_back(r.word);
      EXPECT_EQ(r.index, 0);
    }
    EXPECT_EQ(got, std::vector<std::string>(expected.begin(), expected.begin() + static_cast<long>(want))) << limit;
    // The full queue is reported while the scan sits after the word that
    // filled it; the end-of-call reports come after the whole text.
    EXPECT_EQ(s.seen.back().word_index, limit <= AC_MAX_INQ ? AC_MAX_INQ + 1 : AC_MAX_INQ + 12) << limit;
  }
  acsmFree2(a);
}

TEST(Matcher, BothAddersStoreEveryField) {
  const struct {
    bool key;
    const char *given;
    std::string stored;
  } cases[] = {
      {false, "Cat\"s", " CAT S "},  // blanks around, upper case, the quote a blank
      {true, "Cat\"s", "Cat\"s"},   // as given
      {false, "", "  "},
      {true, "", ""},
  };
  for (const auto &c : cases) {
    ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
    auto *pat = reinterpret_cast<const unsigned char *>(c.given);
    const int n = static_cast<int>(strlen(c.given));
    auto *add = c.key ? acsmAddKey2 : acsmAddPattern2;
    int id = 0;
    ASSERT_EQ(add(a, pat, n, 1, 2, 3, 4, &id, 5), 0);
    ASSERT_EQ(add(a, pat, n, 0, 0, 0, 0, nullptr, 0), 0);  // no duplicate check
    EXPECT_EQ(acsmPatternCount2(a), 2);
    ASSERT_EQ(a->acsmPatterns.size(), 2U);
    const ACSM_PATTERN2 &p = *a->acsmPatterns[0];
    EXPECT_EQ(p.patrn, c.stored) << c.given;
    EXPECT_EQ(p.casepatrn, c.given);
    EXPECT_EQ(p.n, static_cast<int>(c.stored.size()));
    EXPECT_EQ(std::vector<int>({p.nocase, p.offset, p.depth, p.negative, p.iid}), std::vector<int>({1, 2, 3, 4, 5}));
    EXPECT_EQ(p.udata, &id);
    EXPECT_EQ(a->acsmPatterns[1]->udata, nullptr);
    // Bad arguments, and an automaton already compiled, add nothing.
    EXPECT_EQ(add(nullptr, pat, n, 0, 0, 0, 0, nullptr, 0), -1);
    EXPECT_EQ(add(a, pat, -1, 0, 0, 0, 0, nullptr, 0), -1);
    EXPECT_EQ(add(a, nullptr, 1, 0, 0, 0, 0, nullptr, 0), -1);
    ASSERT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
    EXPECT_EQ(add(a, pat, n, 0, 0, 0, 0, nullptr, 0), -1);
    EXPECT_EQ(acsmPatternCount2(a), 2);
    acsmFree2(a);
  }
}

TEST(Matcher, SettersRefuseValuesOutOfRangeAndAfterCompiling) {
  ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
  EXPECT_EQ(acsmSelectFormat2(a, 5), -1);
  EXPECT_EQ(acsmSelectFSA2(a, 3), -1);
  EXPECT_EQ(acsmSetAlphabetSize2(a, 257), -1);
  EXPECT_EQ(acsmSetMaxSparseElements2(a, 0), -1);
  EXPECT_EQ(acsmSetMaxSparseBandZeros2(a, -1), -1);
  EXPECT_EQ(a->acsmFormat, ACF_FULL);
  EXPECT_EQ(acsmSelectFSA2(a, FSA_TRIE), 0);  // a kind that scans nothing
  acsmAddPattern2(a, reinterpret_cast<const unsigned char *>("A"), 1, 1, 0, 0, 0, nullptr, 0);
  ASSERT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
  ACSM_STATE st{};
  EXPECT_EQ(acsmSearch2(a, reinterpret_cast<const unsigned char *>("a b"), 3, collect, nullptr, &st), 0);
  EXPECT_EQ(acsmSelectFormat2(a, ACF_SPARSE), -1);
  EXPECT_EQ(acsmCompressStates(a, 1), -1);
  acsmFree2(a);
}

TEST(Matcher, BytesBeyondTheAlphabetHaveNoTransition) {
  ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
  ASSERT_EQ(acsmSetAlphabetSize2(a, 128), 0);
  for (const char *w : {"CAF\xC9", "CAT"})
    acsmAddPattern2(a, reinterpret_cast<const unsigned char *>(w), static_cast<int>(strlen(w)), 1, 0, 0, 0,
                    const_cast<char *>(w), 0);
  ASSERT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
  std::vector<report> out;
  ACSM_STATE st{};
  const std::string text = "caf\xe9 cat x";
  acsmSearch2(a, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()), collect, &out,
              &st);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].word, "CAT");
  acsmFree2(a);
}

TEST(Matcher, KeysAreStoredAsGiven) {
  ACSM_STRUCT2 *a = acsmNew2(nullptr, nullptr, nullptr);
  // The scan feeds blanks around words, so a key " CAT " matches like the
  // pattern CAT, and a lower-case key never does.
  acsmAddKey2(a, reinterpret_cast<const unsigned char *>(" CAT "), 5, 0, 0, 0, 0, const_cast<char *>("K"), 0);
  acsmAddKey2(a, reinterpret_cast<const unsigned char *>(" dog "), 5, 0, 0, 0, 0, const_cast<char *>("L"), 0);
  ASSERT_EQ(acsmCompile2(a, nullptr, nullptr), 0);
  EXPECT_EQ(a->acsmPatterns[0]->n, 5);
  std::vector<report> out;
  ACSM_STATE st{};
  const std::string text = "a cat dog b";
  acsmSearch2(a, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()), collect, &out,
              &st);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].word, "K");
  acsmFree2(a);
}

int tree_calls = 0, freed_trees = 0;
int build(void *, void **tree) {
  ++tree_calls;
  *tree = new int(7);
  return 0;
}
int neg(void *, void **) { return 0; }
void free_tree(void **tree) {
  ++freed_trees;
  delete static_cast<int *>(*tree);
}

std::string printed;
int print_to_string(const char *format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  printed += buf;
  return n;
}

TEST(Matcher, TreesPrintersAndCounters) {
  printed.clear();
  acsmSetDebug(1, print_to_string);
  acsm_summary_info before = acsmSummary2();
  ACSM_STRUCT2 *a = acsmNew2(nullptr, free_tree, nullptr);
  for (const char *w : {"CAT", "DOG"})
    acsmAddPattern2(a, reinterpret_cast<const unsigned char *>(w), 3, 1, 0, 0, 0, const_cast<char *>(w), 0);
  ASSERT_EQ(acsmCompile2(a, build, neg), 0);
  EXPECT_EQ(tree_calls, 2);
  acsm_summary_info after = acsmSummary2();
  EXPECT_EQ(after.num_instances, before.num_instances + 1);
  EXPECT_EQ(after.num_patterns, before.num_patterns + 2);
  EXPECT_EQ(after.num_states, before.num_states + a->acsmNumStates);
  EXPECT_GT(after.memory_bytes, before.memory_bytes);
  acsmPrintInfo2(a);
  acsmPrintSummaryInfo2();
  EXPECT_NE(printed.find("| Patterns         : 2\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("| Storage Format   : Full\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Summary"), std::string::npos) << printed;
  acsmFree2(a);
  EXPECT_EQ(freed_trees, 2);
  EXPECT_EQ(acsmSummary2().memory_bytes, before.memory_bytes);
  acsmSetDebug(0, nullptr);
}

}  // namespace
