#include "lib/base/kxregex.h"

#include <regex.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(KxRegex, SizeGuard) {
  struct {
    std::string pattern;
    long long max;
    bool refused;
  } cases[] = {
      {"^www\\.example\\.(com|org)/[a-z]+$", 2000, false},
      {"a{100}", 2000, false},
      {"(a{100}){100}", 2000, true},
      {"((a{100}){100}){100}", 100000, true},
      {std::string(40, 'a') + std::string(40, '+'), 100000, true},
      {std::string(100, '(') + "a" + std::string(100, ')'), 1000000, false},
      {std::string(101, '(') + "a" + std::string(101, ')'), 1000000, true},
      {"[[:alpha:]]{3}", 2000, false},
      {"", 2000, false},
  };
  for (const auto &c : cases) EXPECT_EQ(kxregex_too_large(c.pattern.c_str(), c.max), c.refused) << c.pattern;
  EXPECT_FALSE(kxregex_too_large(nullptr, 1));
}

TEST(KxRegex, BackReferences) {
  EXPECT_TRUE(kxregex_has_back_reference("(a)\\1"));
  EXPECT_FALSE(kxregex_has_back_reference("a\\.b"));
  EXPECT_FALSE(kxregex_has_back_reference("[\\1]"));
  EXPECT_TRUE(kxregex_refused("(a)\\1", 2000));
  EXPECT_TRUE(kxregex_refused("(a{100}){100}", 2000));
  EXPECT_FALSE(kxregex_refused("^a+b$", 2000));
}

std::string times(const std::string &unit, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += unit;
  return s;
}

// "d0[.]example|d1[.]example|..." with n names.
std::string names(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += i ? "|d" : "d";
    s += std::to_string(i);
    s += "[.]example";
  }
  return s;
}

// The text in one group; appended, since GCC 12's -Wrestrict misreads
// "(" + text at -O3.
std::string group(const std::string &text) {
  std::string s(1, '(');
  s += text;
  s += ')';
  return s;
}

// What glibc's compiler spends on long runs of empty-matching pieces and on
// loops over them grows with the square of their number (and faster): those
// are refused, however short the text; long texts of plain pieces are not.
TEST(KxRegex, RefusesWhatExplodesNotWhatIsLong) {
  const long long kNodes = 1000000;
  struct {
    std::string pattern;
    bool refused;
  } cases[] = {
      {times("a*", 2000), false},
      {times("x?", 5000), true},
      {times("a{0,3}", 2000), true},
      {times("x*?", 300), false},
      {"(a*)*", true},                   // a loop of empty steps
      {times("a**", 1000), true},        // stacked
      {times("(a|b*)", 2000), true},
      {times("a*b", 20000), false},      // runs of one
      {times("([a-z]+[.])*", 1000), false},
      {times("([a-z]+[.])*", 3000), true},
      {times("(a+)+", 2000), false},
      {times("x*?", 1300), true},        // a quantifier over one that may match nothing
      {times("$", 200), false},
      {times("$", 500), true},           // anchors in a run: copies of closures per anchor
      {times("\\b", 20), false},
      {times("\\b", 40), true},
      {times("\\ba*", 300), true},
      {times("$a", 5000), false},
      {times("(a*){2}", 100), false},    // bounded: copies, no loop
      {times("b*?a|", 2000), true},      // quantifiers over empty matches in every alternative
      {times("b*?a|", 500), false},
      {times("(b$)?", 600), true},       // every anchor in a run copies the rest of it
      {times("b*?$", 75), true},
      {times("b*?$", 30), false},
      {times("\\ba|", 1800), true},     // a "\b" in every alternative
      {times("$a|", 1800), false},
      {group(names(2000)), false},  // a flat alternation: the square of its branches
      {group(names(5000)), true},
      {std::string(100000, 'a'), false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(kxregex_refused(c.pattern.c_str(), kNodes), c.refused) << c.pattern.substr(0, 60) << " ("
                                                                     << c.pattern.size() << ")";
}

TEST(KxRegex, EmptyLoops) {
  for (const char *p : {"(a*)*", "a**", "a*+", "(x|y?)+", "(^)*", "($|a)*", "(\\b){2,}", "((a?b?)c?)*",
                        "(a*){1,}", "x(()|y)*"})
    EXPECT_TRUE(kxregex_has_empty_loop(p)) << p;
  for (const char *p : {"a*", "(a+)*", "([a-z]+[.])*", "a*?", "(a*){3}", "(a*)?", "a+*", "[*]*", "\\**",
                        "(a|b)+", "{2,}", "x{2,}"})
    EXPECT_FALSE(kxregex_has_empty_loop(p)) << p;
  EXPECT_FALSE(kxregex_has_empty_loop(nullptr));
  EXPECT_TRUE(kxregex_refused("^(.*)*$", 1000000));
}

struct Compiled {
  regex_t re;
  int rc;
  Compiled(const std::string &pattern, int flags, int *group = nullptr)
      : rc(kxregex_compile(&re, pattern.c_str(), flags, 1000000, group)) {}
  ~Compiled() {
    if (rc == 0) regfree(&re);
  }
  bool matches(const char *text) const { return regexec(&re, text, 0, nullptr, 0) == 0; }
  std::string group(const char *text, int n) const {
    std::vector<regmatch_t> m(static_cast<size_t>(n) + 1);
    if (regexec(&re, text, m.size(), m.data(), 0) != 0 || m[n].rm_so < 0) return "-";
    return std::string(text + m[n].rm_so, static_cast<size_t>(m[n].rm_eo - m[n].rm_so));
  }
};

// Long alternations compile as a tree of groups: 5000 names (about 80 KB)
// compile in a moment and match as written, with and without captures.
TEST(KxRegex, LongAlternationsCompileAndMatch) {
  const struct {
    std::string pattern;
    const char *last;  // the last name
    bool anchored;
  } patterns[] = {
      {std::string("^(.*[.])?(").append(names(5000)).append(")$"), "d4999.example", true},
      {names(5000), "d4999.example", false},
      {names(20) + "|zq", "d19.example", false},
  };
  for (int flags : {REG_EXTENDED | REG_NOSUB, REG_EXTENDED, REG_EXTENDED | REG_ICASE}) {
    for (const auto &p : patterns) {
      SCOPED_TRACE(std::to_string(flags) + " " + p.pattern.substr(0, 30));
      Compiled c(p.pattern, flags);
      ASSERT_EQ(c.rc, 0);
      EXPECT_TRUE(c.matches("d0.example"));
      EXPECT_TRUE(c.matches(p.last));
      EXPECT_TRUE(c.matches("www.d12.example"));
      EXPECT_EQ(c.matches("D7.EXAMPLE"), (flags & REG_ICASE) != 0);
      EXPECT_FALSE(c.matches("d5000.example"));
      EXPECT_FALSE(c.matches("d1.exampl"));
      EXPECT_EQ(c.matches("d7.examples"), !p.anchored);
    }
  }
  // Branches without a group: the groups after them get their new numbers.
  const std::string p = std::string("^(www[.])?(").append(names(300)).append(")[.](com|org)(/.*)?$");
  for (int n = 0; n <= 4; ++n) {
    int group = n;
    Compiled c(p, REG_EXTENDED, &group);
    ASSERT_EQ(c.rc, 0);
    const char *url = "www.d123.example.org/x";
    const char *want[] = {url, "www.", "d123.example", "org", "/x"};
    EXPECT_EQ(c.group(url, group), want[n]) << n;
  }
  // Branches with groups of their own are left as written when captures count.
  const std::string own = std::string("^(").append(times("(a)b|", 300)).append("(c))$");
  int group = 302;
  Compiled c(own, REG_EXTENDED, &group);
  ASSERT_EQ(c.rc, 0);
  EXPECT_EQ(group, 302);
  EXPECT_EQ(c.group("c", group), "c");
  // A text that does not compile keeps its error; refused ones give REG_ESPACE.
  EXPECT_EQ(Compiled(std::string("(").append(names(100)).append("|("), REG_EXTENDED).rc, REG_EPAREN);
  EXPECT_EQ(Compiled(names(100) + ")", REG_EXTENDED | REG_NOSUB).rc, 0);  // a lone ")" is literal
  EXPECT_EQ(Compiled(times("(a*)*", 1000), REG_EXTENDED).rc, REG_ESPACE);
  EXPECT_EQ(Compiled(names(5000).append("|(a*)*"), REG_EXTENDED | REG_NOSUB).rc, REG_ESPACE);
  EXPECT_EQ(Compiled("(a)\\1", REG_EXTENDED).rc, REG_ESPACE);
}

}  // namespace
