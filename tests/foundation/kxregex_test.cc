#include "lib/base/kxregex.h"

#include <string>

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

}  // namespace
