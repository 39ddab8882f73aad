#include "lib/base/kxstring.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

struct Freer {
  void operator()(void *p) const { free(p); }
};
using Heap = std::unique_ptr<char, Freer>;

std::string take(char *s) {
  Heap h(s);
  return s == nullptr ? std::string("<null>") : std::string(s);
}

std::vector<std::string> fields(char **arr) {
  std::vector<std::string> out;
  for (char **p = arr; p != nullptr && *p != nullptr; ++p) out.emplace_back(*p);
  free(arr);
  return out;
}

using V = std::vector<std::string>;

TEST(StringExplode, Cases) {
  struct Case {
    const char *text;
    char delim;
    int limit;
    V want;
  } cases[] = {
      {"a,,b", ',', 0, {"a", "", "b"}},
      {"", ',', 0, {""}},
      {",", ',', 0, {"", ""}},
      {"abc", ',', 0, {"abc"}},
      {"a b c d", ' ', 2, {"a", "b c d"}},
      {"a b c d", ' ', 1, {"a b c d"}},
      {"a b", ' ', 5, {"a", "b"}},
  };
  for (const auto &c : cases) {
    std::string buf = c.text;
    int num = -1;
    V got = c.limit == 0 ? fields(string_explode(buf.data(), c.delim))
                         : fields(string_explode_limit(buf.data(), c.delim, c.limit, &num));
    EXPECT_EQ(got, c.want) << c.text;
    if (c.limit != 0) {
      EXPECT_EQ(num, static_cast<int>(c.want.size())) << c.text;
    }
  }
  EXPECT_EQ(string_explode(nullptr, ','), nullptr);
}

TEST(StringExplode, Quotes) {
  struct Case {
    const char *text;
    V want;
  } cases[] = {
      {"url \"two words\" other", {"url", "\"two words\"", "other"}},
      {"a  b", {"a", "", "b"}},
      {"\"open quote runs on", {"\"open quote runs on"}},
      {"\"a\\\" b\" c", {"\"a\\\" b\"", "c"}},
      {"\"ends in backslash\\", {"\"ends in backslash\\"}},
      {"", {""}},
  };
  for (const auto &c : cases) {
    std::string buf = c.text;
    EXPECT_EQ(fields(string_explode_quotes(buf.data())), c.want) << c.text;
  }
}

TEST(StringText, ExtractFromQuotes) {
  struct Case {
    const char *in, *want;
  } cases[] = {
      {"\"hello world\"", "hello world"},
      {"\"say \\\"hi\\\"\"", "say \"hi\""},
      {"a\\tb\\\\c", "a\tb\\c"},
      {"keep\\q", "keep\\q"},
      {"end\\", "end\\"},
      {"", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(take(string_extract_from_quotes(c.in)), c.want) << c.in;
}

TEST(StringText, LowercaseUrl) {
  struct Case {
    const char *in, *want;
  } cases[] = {
      {"HTTP://Example.COM/%41b", "http://example.com/ab"},
      {"a%20b c", "a+b+c"},
      {"bad%4Gescape", "bad%4gescape"},
      {"end%", "end%"},
      {"end%4", "end%4"},
      {"%", "%"},
      {"", ""},
  };
  for (const auto &c : cases) {
    std::string buf = c.in;
    string_lowercase_url(buf.data());
    EXPECT_STREQ(buf.c_str(), c.want) << c.in;
  }
}

TEST(StringText, ReplaceStringGlobal) {
  struct Case {
    const char *str, *find, *rep, *want;
  } cases[] = {
      {"aaa", "a", "bb", "bbbbbb"},
      {"abcabc", "bc", "", "aa"},
      {"aaaa", "aa", "x", "xx"},
      {"none", "zz", "y", "none"},
      {"text", "", "y", "text"},  // an empty search text must not loop
      {"", "a", "b", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(take(string_replace_string_global(c.str, c.find, c.rep)), c.want);
  EXPECT_EQ(string_replace_string_global(nullptr, "a", "b"), nullptr);
  EXPECT_EQ(take(string_replace_string("aXaX", "X", "-")), "a-aX");
}

TEST(StringText, EscapeShellArg) {
  struct Case {
    const char *in, *want;
  } cases[] = {
      {"it's", "'it'\\''s'"},
      {"plain", "'plain'"},
      {"", "''"},
      {nullptr, "''"},
  };
  for (const auto &c : cases) EXPECT_EQ(take(string_escapeshellarg(c.in)), c.want);
}

TEST(StringText, Trim) {
  struct Case {
    const char *in, *left, *right;
  } cases[] = {
      {"  a b \t\n", "a b \t\n", "  a b"},
      {"", "", ""},
      {" ", "", ""},
      {"x", "x", "x"},
  };
  for (const auto &c : cases) {
    std::string buf = c.in;
    EXPECT_STREQ(string_ltrim(buf.data()), c.left);
    EXPECT_STREQ(string_rtrim(buf.data()), c.right);
  }
  EXPECT_EQ(string_ltrim(nullptr), nullptr);
  EXPECT_EQ(string_rtrim(nullptr), nullptr);
}

TEST(StringText, TruncateWithDots) {
  struct Case {
    const char *in;
    int size;
    const char *want;
  } cases[] = {
      {"short", 10, "short"}, {"exactly10!", 10, "exactl..."}, {"abcdefghijkl", 8, "abcd..."},
      {"abcdef", 4, "..."},   {"abcdef", 2, "."},             {"abcdef", 0, ""},
      {"", 0, ""},            {"", 1, ""},
  };
  for (const auto &c : cases) {
    std::string got = take(string_truncate_withdots(c.in, c.size));
    EXPECT_EQ(got, c.want) << c.in << " " << c.size;
    if (c.size > 0) {
      EXPECT_LT(got.size(), static_cast<size_t>(c.size));
    }
  }
}

TEST(StringText, AppendAndAdd) {
  char *s = string_add(nullptr, "ab");
  s = string_append(s, "cdef", 2);
  s = string_add(s, nullptr);
  EXPECT_EQ(take(s), "abcd");

  STRING *st = str_new();
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->allocated, 1000);
  std::string big(2500, 'x');
  EXPECT_EQ(str_add(st, "%s-%d", big.c_str(), 7), -1);
  EXPECT_EQ(str_add(st, "!"), -1);
  EXPECT_EQ(std::string(st->data), big + "-7!");
  EXPECT_EQ(st->length, 2503);
  EXPECT_EQ(st->allocated, 1000 + 2502 + 3000);
  str_free(st);
}

TEST(StringText, HexToBin) {
  unsigned char out[4] = {0, 0, 0, 0};
  EXPECT_EQ(string_hex_to_bin("0aFf1", out, 4), 0);
  EXPECT_EQ(out[0], 0x0a);
  EXPECT_EQ(out[1], 0xff);
  EXPECT_EQ(out[2], 0x10);
  EXPECT_EQ(string_hex_to_bin("12345678ab", out, 2), 0);
  EXPECT_EQ(out[1], 0x34);
  EXPECT_EQ(out[2], 0x10);  // beyond size: untouched
  EXPECT_EQ(string_hex_to_bin("1z", out, 4), 1);
  EXPECT_EQ(string_hex_to_bin("abcdzz", out, 2), 0);  // text after the filled bytes is not read
  EXPECT_EQ(out[1], 0xcd);
  EXPECT_EQ(string_hex_to_bin(nullptr, out, 4), 1);
  EXPECT_EQ(string_hex_to_bin("11", out, 0), 1);
}

TEST(StringText, NumbersCaseAndImplode) {
  std::unique_ptr<uint64_t, Freer> n(string_extract_number("18446744073709551615"));
  EXPECT_EQ(*n, UINT64_MAX);
  std::unique_ptr<int64_t, Freer> m(string_extract_number_signed("-42x"));
  EXPECT_EQ(*m, -42);
  std::string up = "MiXeD";
  EXPECT_EQ(string_tolower(up.data()), 0);
  EXPECT_EQ(up, "mixed");
  EXPECT_EQ(string_tolower(nullptr), 0);
  std::string r = "a.b.c";
  EXPECT_STREQ(string_replace(r.data(), '.', '/'), "a/b/c");
  const char *items[] = {"x", "y", "z", nullptr};
  EXPECT_EQ(take(string_implode(const_cast<char **>(items), ',')), "x,y,z,");
  EXPECT_EQ(take(string_nimplode(const_cast<char **>(items), ';', 2)), "x;y;");
  EXPECT_EQ(string_count_string_occurences("aaaa", "aa"), 2);
  EXPECT_EQ(string_count_string_occurences("aaaa", ""), 0);
}

TEST(StringText, SecurityKey) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string key = take(string_security_key());
    ASSERT_EQ(key.size(), 20u);
    EXPECT_EQ(key.find_first_not_of(alphabet), std::string::npos) << key;
    seen.insert(key);
  }
  EXPECT_EQ(seen.size(), 50u);  // no fixed or repeating sequence
}

}  // namespace
