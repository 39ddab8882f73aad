#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/base/base64.h"
#include "lib/base/kxpath.h"
#include "lib/record/policyevent.h"

namespace {

TEST(Base64, Decode) {
  struct Case {
    const char *text;
    int room;
    std::string want;
    int ret;
  } cases[] = {
      {"YWJj", 5, "abc", 3},
      {"YWJj", 4, "", 0},
      {"YWJjZGVm", 8, "abcdef", 6},
      {"YWJjZGVm", 7, "abc", 3},
      {"YW\nJj ZA==", 16, std::string("abcd\0\0", 6), 4},
      {"YWJjZ", 16, "abc", 3},  // incomplete last group dropped
      {"", 16, "", 0},
      {"!!!!", 16, "", 0},
      {"+/8=", 16, "\xfb\xff", 2},  // the last two digits of the alphabet
  };
  for (const auto &c : cases) {
    char out[32];
    memset(out, 'X', sizeof(out));
    EXPECT_EQ(base64_decode(c.text, out, c.room), c.ret) << c.text;
    EXPECT_EQ(std::string(out, c.want.size()), c.want) << c.text;
    EXPECT_EQ(out[c.want.size()], '\0') << c.text;
    EXPECT_EQ(out[c.room], 'X') << c.text;  // nothing written past the room
  }
  char out[8] = "keep";
  EXPECT_EQ(base64_decode(nullptr, out, 8), 0);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(base64_decode("YWJj", out, 0), 0);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(base64_decode_bin("ZA==", out, 8), 3);
  EXPECT_STREQ(base64_code, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(UrlDecode, Cases) {
  struct Case {
    const char *in;
    std::string want;
  } cases[] = {
      {"a+b%41%", "a bA"},
      {"%4a%4A", "JJ"},
      {"x%4", "x4"},
      {"%", ""},
      {"", ""},
      {"%00z", std::string("\0z", 2)},
  };
  for (const auto &c : cases) {
    char *got = kxurldecode(c.in);
    ASSERT_NE(got, nullptr);
    // The decoded text may hold a NUL; compare through the expected length.
    EXPECT_EQ(std::string(got, c.want.size()), c.want) << c.in;
    EXPECT_EQ(got[c.want.size()], '\0') << c.in;
    free(got);
  }
  EXPECT_EQ(kxurldecode(nullptr), nullptr);
}

TEST(PolicyEvent, Names) {
  struct Case {
    const char *name;
    int type;
  } cases[] = {{"Keywords", 8}, {"key", -1}, {"POLICY", 0}, {"interim", 2}, {"auth", 4}, {"", -1}, {nullptr, -1}};
  for (const auto &c : cases) EXPECT_EQ(policyevent_aton(c.name), c.type) << (c.name ? c.name : "null");
  EXPECT_STREQ(policyevent_ntoa(9), "???");
  EXPECT_STREQ(policyevent_ntoa(-1), "???");
  EXPECT_STREQ(policyevent_ntoa(PREQ_UNKNOWN_PROTO), "unknown");
  EXPECT_EQ(policyevent_names[PREQ_NUM], nullptr);
}

TEST(KxPath, DefaultRootAndJoin) {
  unsetenv("KX_PATH");
  kxpath_init();
  EXPECT_STREQ(kxpath_path, "/usr/local/tallowmere");
  EXPECT_STREQ(getenv("KX_PATH"), "/usr/local/tallowmere");
  char *a = kxpath_append("var/run");
  char *b = kxpath_append("/var/run");
  EXPECT_STREQ(a, "/usr/local/tallowmere/var/run");
  EXPECT_STREQ(b, "/usr/local/tallowmere/var/run");
  free(a);
  free(b);
  setenv("KX_PATH", "/opt/x", 1);
  kxpath_init();
  char *c = kxpath_append("lists");
  EXPECT_STREQ(c, "/opt/x/lists");
  free(c);
}

}  // namespace
