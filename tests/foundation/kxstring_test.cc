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

namespace {

TEST(KxString, UnescapeStringAndChar) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"a\\tb", "a\tb"},         {"\\101\\x42c", "ABc"},   {"\\7\\08", "\a"},  // \0 ends the text
      {"\\1012", "A2"},          {"\\x4g", "\x04g"},       {"\\xz", "xz"},
      {"\\q\\\\\\\"", "q\\\""}, {"end\\", "end\\"},       {"\\b\\f\\n\\r", "\b\f\n\r"},
      {"", ""},
  };
  for (const auto &c : cases) {
    std::string buf = c.in;
    EXPECT_EQ(std::string(string_unescape_string(buf.data())), c.out) << c.in;
  }
  EXPECT_EQ(string_unescape_string(nullptr), nullptr);
  char out = 0;
  EXPECT_EQ(string_unescape_char("377x", &out), 3);
  EXPECT_EQ(static_cast<unsigned char>(out), 0xFF);
  EXPECT_EQ(string_unescape_char("x41", &out), 3);
  EXPECT_EQ(out, 'A');
  EXPECT_EQ(string_unescape_char("n", &out), 1);
  EXPECT_EQ(out, '\n');
  EXPECT_EQ(string_unescape_char("", &out), 0);
  EXPECT_EQ(string_unescape_char(nullptr, &out), 0);
}

TEST(KxString, ExtractIp) {
  struct {
    const char *text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"10.1.2.3", true, 0x0A010203u}, {"255.255.255.255", true, 0xFFFFFFFFu}, {"0.0.0.0", true, 0},
      {"1.2.3", false, 0},             {"1.2.3.4.5", false, 0},                 {"1.2.3.256", false, 0},
      {"1.2..4", false, 0},            {"1.2.3.4 ", false, 0},                  {"a.b.c.d", false, 0},
      {"1.2.3.0004", false, 0},        {"", false, 0},
  };
  for (const auto &c : cases) {
    uint32_t *v = string_extract_ip(c.text);
    EXPECT_EQ(v != nullptr, c.ok) << c.text;
    if (v != nullptr) {
      EXPECT_EQ(*v, c.value) << c.text;
    }
    free(v);
  }
  EXPECT_EQ(string_extract_ip(nullptr), nullptr);
}

TEST(KxString, HtmlEntities) {
  EXPECT_EQ(take(string_html_entities("a&b \"<c>\"")), "a&amp;b &quot;&lt;c&gt;&quot;");
  EXPECT_EQ(take(string_html_entities("\xA0\xA9\xC6\xE9\xF7\xFE\xFF\x7F")),
            "&nbsp;&copy;&AElig;&eacute;&divide;&thorn;\xFF\x7F");
  EXPECT_EQ(take(string_html_entities("")), "");
  EXPECT_EQ(string_html_entities(nullptr), nullptr);
}

TEST(KxString, CountOccurrencesWithLengths) {
  const char text[] = "abab\0ab";  // a NUL inside counts as any byte
  EXPECT_EQ(string_count_string_occurences_l(text, 7, "ab", 2), 3);
  EXPECT_EQ(string_count_string_occurences_l(text, 4, "ab", 2), 2);
  EXPECT_EQ(string_count_string_occurences_l(text, 3, "ab", 2), 1);
  EXPECT_EQ(string_count_string_occurences_l("aaaa", 4, "aa", 2), 2);  // not overlapping
  EXPECT_EQ(string_count_string_occurences_l("b\0a", 3, "\0a", 2), 1);
  EXPECT_EQ(string_count_string_occurences_l("abc", 3, "", 0), 0);
  EXPECT_EQ(string_count_string_occurences_l(nullptr, 3, "a", 1), 0);
  EXPECT_EQ(string_count_string_occurences_l("abc", -1, "a", 1), 0);
}

}  // namespace
