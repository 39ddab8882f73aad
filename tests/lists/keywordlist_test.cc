#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/lists/keywordlist.h"

namespace {

// Data values are the keywords' own texts, so answers are easy to name.
const char *lookup(KEYWORDLIST_TABLE *l, const char *text) {
  KEYWORDLIST_RESULT *r = keywordlist_lookup(l, text, nullptr, nullptr);
  return r ? static_cast<const char *>(r->data) : "-";
}

void *d(const char *s) { return const_cast<char *>(s); }

}  // namespace

TEST(KeywordList, WholeWordsWithoutSeparators) {
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_EQ(keywordlist_add_keyword(l, "cat", d("cat"), 1, 0), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "dog", d("dog"), 0, 0), 0);
  struct {
    const char *text, *want;
  } cases[] = {
      {"a/cat/b", "cat"}, {"cat/x", "cat"}, {"x/cat", "cat"}, {"cat", "cat"},
      {"concat", "-"},    {"cats", "-"},    {"hotdogs", "dog"}, {"", "-"},
      {"a cat b", "-"},  // a blank is not punctuation
      {"a\xc3" "cat", "-"},  // bytes from 0x80 up are not punctuation
  };
  for (auto c : cases) EXPECT_STREQ(lookup(l, c.text), c.want) << c.text;
  keywordlist_terminate(l);
}

TEST(KeywordList, WholeWordsWithSeparators) {
  KEYWORDLIST_TABLE *l = keywordlist_initialize("/ =", "/ &", nullptr);
  ASSERT_EQ(keywordlist_add_keyword(l, "cat", d("cat"), 1, 0), 0);
  struct {
    const char *text, *want;
  } cases[] = {
      {"a/cat/b", "cat"}, {"q=cat&x", "cat"}, {"cat", "cat"}, {"a.cat.b", "-"},
      {"a/cat.b", "-"},   {"x=cat", "cat"},   {"cat&", "cat"}, {"-cat/", "-"},
  };
  for (auto c : cases) EXPECT_STREQ(lookup(l, c.text), c.want) << c.text;
  keywordlist_terminate(l);
}

TEST(KeywordList, LongestWordFirstAndNormalisation) {
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_EQ(keywordlist_add_keyword(l, "sex", d("sex"), 0, 0), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "Sexy%20Pics", d("sexy pics"), 0, 0), 0);
  EXPECT_STREQ(lookup(l, "/sexy+pics/"), "sexy pics");
  EXPECT_STREQ(lookup(l, "/sexy/"), "sex");
  EXPECT_EQ(keywordlist_add_keyword(l, "SEX", d("again"), 0, 0), KEYWORDLIST_DUPLICATE_ENTRY);
  EXPECT_EQ(keywordlist_add_keyword(l, "", d("x"), 0, 0), KEYWORDLIST_INVALID_ARGS);
  EXPECT_EQ(keywordlist_add_keyword(l, "%00abc", d("x"), 0, 0), KEYWORDLIST_INVALID_ARGS);
  EXPECT_EQ(keywordlist_add_keyword(l, "x", nullptr, 0, 0), KEYWORDLIST_INVALID_ARGS);
  EXPECT_EQ(keywordlist_add_keyword(nullptr, "x", d("x"), 0, 0), KEYWORDLIST_INVALID_ARGS);
  EXPECT_EQ(l->count, 2);
  keywordlist_terminate(l);
}

TEST(KeywordList, Phrases) {
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_EQ(keywordlist_add_keyword(l, "big+cat", d("big+cat"), 0, 1), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "red", d("red"), 0, 0), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "blue+fish+!dog", d("blue+fish+!dog"), 0, 1), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "cow+^cowboy", d("cow+^cowboy"), 0, 1), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "one+two+three", d("one+two+three"), 0, 1), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "one+two", d("one+two"), 0, 1), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "go+go", d("go+go"), 0, 1), 0);
  struct {
    const char *text, *want;
  } cases[] = {
      {"the big red cat", "big+cat"},  // a completed phrase beats a single word
      {"cat big", "big+cat"},
      {"the red thing", "red"},
      {"big", "-"},
      {"blue fish", "blue+fish+!dog"},
      {"blue fish dog", "-"},
      {"dog blue fish", "-"},
      {"cowboy", "-"},         // the cow inside cowboy is hidden
      {"cowboy cow", "cow+^cowboy"},
      {"cow cowboy", "cow+^cowboy"},
      {"one two", "one+two"},
      {"one two three", "one+two+three"},
      {"three two one", "one+two+three"},
      {"go", "-"},             // the same word twice needs two occurrences
      {"go go", "go+go"},
  };
  for (auto c : cases) EXPECT_STREQ(lookup(l, c.text), c.want) << c.text;
  keywordlist_terminate(l);
}

TEST(KeywordList, CandidateEnteredOnceAndCancelledLater) {
  // big+cat+!dog completes at "cat" and is a candidate; a skip word that
  // follows would re-enter it; the negative word cancels it afterwards.
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_EQ(keywordlist_add_keyword(l, "big+cat+!dog+^zzz", d("p"), 0, 1), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "aa+bb+cc", d("longer"), 0, 1), 0);
  EXPECT_STREQ(lookup(l, "aa big cat zzz zzz"), "p");
  EXPECT_STREQ(lookup(l, "aa big cat zzz dog"), "-");
  keywordlist_terminate(l);
}

TEST(KeywordList, RestrictedPhrasesAndMixedWords) {
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_EQ(keywordlist_add_keyword(l, "a+b", d("a+b"), 1, 1), 0);
  EXPECT_EQ(keywordlist_add_keyword(l, "a", d("a"), 0, 0), 0);  // the word existed only in a phrase
  EXPECT_EQ(keywordlist_add_keyword(l, "a", d("a2"), 0, 0), KEYWORDLIST_DUPLICATE_ENTRY);
  EXPECT_EQ(keywordlist_add_keyword(l, "+", d("x"), 0, 1), KEYWORDLIST_INVALID_ARGS);
  EXPECT_EQ(keywordlist_add_keyword(l, "!x+^y", d("x"), 0, 1), KEYWORDLIST_INVALID_ARGS);
  EXPECT_EQ(keywordlist_add_keyword(l, "+solo+", d("solo"), 0, 1), 0);
  EXPECT_STREQ(lookup(l, "x/a/b/y"), "a+b");
  EXPECT_STREQ(lookup(l, "xab"), "a");      // single word anywhere; the phrase wants whole words
  EXPECT_STREQ(lookup(l, "xsolox"), "solo");
  keywordlist_terminate(l);
}

TEST(KeywordList, CheckFunctionAndTeardown) {
  static int freed = 0;
  freed = 0;
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, [](void *) { ++freed; });
  ASSERT_EQ(keywordlist_add_keyword(l, "ab", d("ab"), 0, 0), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "abc", d("abc"), 0, 0), 0);
  ASSERT_EQ(keywordlist_add_keyword(l, "x+y", d("x+y"), 0, 1), 0);
  auto reject_abc = [](void *, void *data) { return strcmp(static_cast<char *>(data), "abc") != 0 ? 1 : 0; };
  KEYWORDLIST_RESULT *r = keywordlist_lookup(l, "zabcz", reject_abc, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->item, "ab");
  keywordlist_terminate(l);
  EXPECT_EQ(freed, 3);
}

TEST(KeywordList, TrieOfAWordIsItsFirstByte) {
  EXPECT_EQ(keywordlist_generate_hash("cat"), 'c');
  EXPECT_EQ(keywordlist_generate_hash("\xE9t\xE9"), 0xE9);
  EXPECT_EQ(keywordlist_generate_hash(""), 0);
  EXPECT_EQ(keywordlist_generate_hash(nullptr), 0);
  KEYWORDLIST_TABLE *l = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_NE(l, nullptr);
  static int d = 1;
  ASSERT_EQ(keywordlist_add_keyword(l, "\xE9t\xE9", &d, 0, 0), KEYWORDLIST_SUCCESS);
  EXPECT_NE(l->keywords[0xE9], nullptr);
  EXPECT_EQ(l->keywords['c'], nullptr);
  keywordlist_terminate(l);
}
