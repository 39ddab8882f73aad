#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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

namespace {

TEST(Base64, EncodeRoomAndRoundTrip) {
  struct {
    const char *text;
    int room;
    const char *want;
  } cases[] = {
      {"abc", 5, "YWJj"}, {"abcd", 9, "YWJjZA=="}, {"ab", 5, "YWI="}, {"abcdef", 9, "YWJjZGVm"},
      {"abcdef", 8, "YWJj"},  // the second group needs 5 bytes of room
      {"abc", 4, ""},         {"", 5, ""},
  };
  for (const auto &c : cases) {
    char out[32];
    memset(out, 'X', sizeof out);
    EXPECT_EQ(base64_encode(c.text, out, c.room), static_cast<int>(strlen(c.want))) << c.text;
    EXPECT_STREQ(out, c.want) << c.text;
  }
  // Binary data, NUL bytes included, decodes back.
  const unsigned char bin[] = {0, 0xFF, 0x10, 0, 7};
  char enc[16], dec[16];
  ASSERT_EQ(base64_encode_bin(bin, 5, enc, sizeof enc), 8);
  EXPECT_STREQ(enc, "AP8QAAc=");
  ASSERT_EQ(base64_decode_bin(enc, dec, sizeof dec), 6);  // the pad gives a NUL
  EXPECT_EQ(memcmp(dec, bin, 5), 0);
  EXPECT_EQ(base64_encode_bin(bin, 5, nullptr, 10), 0);
  char one[1] = {'X'};
  EXPECT_EQ(base64_encode("abc", one, 1), 0);
  EXPECT_EQ(one[0], '\0');
}

TEST(Base64, IsEncoded) {
  EXPECT_EQ(base64_isEncoded("YWJj", 4), 0);
  EXPECT_EQ(base64_isEncoded("YW+/==", 6), 0);
  EXPECT_EQ(base64_isEncoded("YW J", 4), 1);
  EXPECT_EQ(base64_isEncoded("YW J", 2), 0);  // only the first size count
  EXPECT_EQ(base64_isEncoded("YW", 4), 1);    // ends before size
  EXPECT_EQ(base64_isEncoded("a-b", 3), 1);
  EXPECT_EQ(base64_isEncoded(nullptr, 1), 1);
}

}  // namespace
