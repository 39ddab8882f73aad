#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/lists/urllist_explode.h"
#include "libcityhash/city.h"

namespace {

const char *kPart[] = {"PROTO", "HOST", "PORT", "PATH", "QUERY", "NULL"};

// Tokens as "TYPE text" strings.
std::vector<std::string> tokens(const URLLIST_EXPLODED_URL *u) {
  std::vector<std::string> r;
  for (const URLLIST_TOKEN *t = u->tokens; t->type != UP_NULL && t->item; ++t)
    r.push_back(std::string(kPart[t->type]) + " " + t->item);
  return r;
}

struct Exploded {
  std::string text;  // the caller's text must outlive the record
  URLLIST_EXPLODED_URL *u = nullptr;
  cat_t *cats = cat_new();
  Exploded(const std::string &s, int logged, int flags = 0, CHARSET *cs = nullptr) : text(s) {
    u = urllist_explode_charset(text.data(), cats, logged, flags, cs);
  }
  ~Exploded() {
    if (u) urllist_free_urllist_exploded_url(u);
    cat_free(cats);
  }
  bool has_cat(uint32_t c) const { return cat_has(cats, c) != 0; }
};

using V = std::vector<std::string>;

int64_t city(const char *s) { return static_cast<int64_t>(CityHash64(s, strlen(s))); }

}  // namespace

TEST(Explode, TokenTables) {
  struct Case {
    const char *url;
    int logged;
    V want;
    int num_port;
    int root;
  } cases[] = {
      {"http://Example.COM/A/b.HTML?x=1", 0,
       {"PROTO http", "HOST com", "HOST example", "PORT 80", "PATH A", "PATH b.HTML", "QUERY x=1"}, 80, 0},
      {"host.example.com", 0, {"PROTO *", "HOST com", "HOST example", "HOST host"}, 0, 1},
      {"example.com/path", 0, {"PROTO *", "HOST com", "HOST example", "PORT 0-65535", "PATH path"}, -1, 0},
      {"ftp://host/x", 0, {"PROTO ftp", "HOST host", "PORT ", "PATH x"}, 0, 0},
      {"http://host:80", 0, {"PROTO http", "HOST host"}, 0, 1},
      {"https://host:443", 0, {"PROTO https", "HOST host"}, 0, 1},
      {"http://host:8080", 0, {"PROTO http", "HOST host", "PORT 8080"}, 8080, 1},
      {"http://host:80/x", 0, {"PROTO http", "HOST host", "PORT 80", "PATH x"}, 80, 0},
      {"/images/", 0, {"PATH images"}, 0, 0},
      {"?q=1", 0, {"QUERY q=1"}, 0, 0},
      {"http://[::1]:8080/", 0, {"PROTO http", "HOST ::1", "PORT 8080"}, 8080, 1},
      {"example.com/a//b/", 0, {"PROTO *", "HOST com", "HOST example", "PORT 0-65535", "PATH a", "PATH b"}, -1, 0},
      {"u:p@host", 0, {"PROTO *", "HOST host"}, 0, 1},
      {"http://", 0, {"PROTO http"}, 0, 1},
      {"a/b://c", 0, {"PROTO *", "HOST a", "PORT 0-65535", "PATH b:", "PATH c"}, -1, 0},
      {"http://host", 1, {"PROTO http", "HOST host", "PORT 80"}, 80, 1},
      {"https://host:80", 1, {"PROTO https", "HOST host", "PORT 80"}, 80, 1},
      {"gopher://host/", 1, {"PROTO gopher", "HOST host", "PORT "}, 0, 1},
      {"http://h/p#frag", 1, {"PROTO http", "HOST h", "PORT 80", "PATH p", "QUERY frag"}, 80, 0},
      {"http://h/p?a=1#f?g", 1, {"PROTO http", "HOST h", "PORT 80", "PATH p", "QUERY a=1#f?g"}, 80, 0},
      {"http://h/?&?&", 1, {"PROTO http", "HOST h", "PORT 80"}, 80, 1},
      {"http://h..a./", 1, {"PROTO http", "HOST a", "HOST h", "PORT 80"}, 80, 1},
      {"http://h?x", 1, {"PROTO http", "HOST h", "PORT 80", "QUERY x"}, 80, 0},
      {"http://h:8000-8080/x", 0, {"PROTO http", "HOST h", "PORT 8000-8080", "PATH x"}, 8000, 0},
      {"http://h:70000/", 1, {"PROTO http", "HOST h", "PORT 70000"}, 70000, 1},
      {"http://h:99999999999999/", 1, {"PROTO http", "HOST h", "PORT 99999999999999"}, 2147483647, 1},
      {"http://h:-5/", 1, {"PROTO http", "HOST h", "PORT -5"}, 0, 1},
  };
  for (const auto &c : cases) {
    Exploded e(c.url, c.logged);
    ASSERT_NE(e.u, nullptr) << c.url;
    EXPECT_EQ(tokens(e.u), c.want) << c.url;
    EXPECT_EQ(e.u->num_port, c.num_port) << c.url;
    EXPECT_EQ(e.u->isRootURL, c.root) << c.url;
  }
}

TEST(Explode, FieldsOfAListEntry) {
  Exploded e("http://Example.COM/A/b.HTML?x=1", 0);
  ASSERT_NE(e.u, nullptr);
  EXPECT_STREQ(e.u->fileExtension, "HTML");
  EXPECT_STREQ(e.u->topLevelDomain, "com");
  EXPECT_STREQ(e.u->scheme, "http");
  EXPECT_EQ(e.u->scheme_hash.city, http_hash.city);
  EXPECT_EQ(e.u->domains_num, 2);
  EXPECT_EQ(e.u->paths_num, 2);
  EXPECT_STREQ(e.u->path->item, "A");
  EXPECT_STREQ(e.u->query->item, "x=1");
  EXPECT_EQ(std::string(e.u->host, static_cast<size_t>(e.u->host_length)), "Example.COM");
  EXPECT_EQ(e.u->host_url_length, 18);
  EXPECT_EQ(e.u->length, static_cast<int>(e.text.size()));
  for (const URLLIST_TOKEN *t = e.u->tokens; t->type != UP_NULL; ++t) {
    if (t->type == UP_QUERY) EXPECT_EQ(t->hash.city, 0);
    else EXPECT_EQ(t->hash.city, city(t->item)) << t->item;
    EXPECT_EQ(t->nocase_hash.city, 0);
  }
  EXPECT_EQ(e.u->tokens[6].type, UP_QUERY);
  EXPECT_EQ(e.u->tokens[7].type, UP_NULL);
  EXPECT_EQ(e.u->tokens[7].item, nullptr);
  EXPECT_EQ(e.cats->num, 0u);

  Exploded ext("x.com/a.b.", 0);
  EXPECT_EQ(ext.u->fileExtension, nullptr);
  Exploded ext2("x.com/dir.d/file", 0);
  EXPECT_EQ(ext2.u->fileExtension, nullptr);
  Exploded ext3("x.com/f.tar.GZ?q", 0);
  EXPECT_STREQ(ext3.u->fileExtension, "GZ");

  Exploded ui("u:p@host", 0);
  EXPECT_STREQ(ui.u->userinfo, "u");
  EXPECT_EQ(ui.u->num_port, 0);
}

TEST(Explode, AnchorsInListMode) {
  struct {
    const char *url;
    const char *query, *anchor;
  } cases[] = {
      {"http://h/p#frag", "frag", "frag"},
      {"http://h/p?a=1#frag", "a=1#frag", "#frag"},
      {"http://h/p?a=1", "a=1", nullptr},
      {"http://h#x", "x", "x"},
  };
  for (auto c : cases) {
    Exploded e(c.url, 0);
    ASSERT_NE(e.u, nullptr);
    ASSERT_NE(e.u->query, nullptr) << c.url;
    EXPECT_STREQ(e.u->query->item, c.query);
    if (c.anchor) EXPECT_STREQ(e.u->anchor, c.anchor) << c.url;
    else EXPECT_EQ(e.u->anchor, nullptr) << c.url;
  }
  Exploded logged("http://h/p?a=1#frag", 1);
  EXPECT_EQ(logged.u->anchor, nullptr);
}

TEST(Explode, IpHostsAndPrivateAddresses) {
  Exploded e("http://10.1.2.3/", 1);
  ASSERT_NE(e.u, nullptr);
  EXPECT_EQ(e.u->isIP, 1);
  EXPECT_EQ(e.u->isPrivateIP, 1);
  EXPECT_TRUE(e.has_cat(CATEGORY_HOSTISIP));
  EXPECT_EQ(e.cats->num, 1u);
  EXPECT_EQ(tokens(e.u), (V{"PROTO http", "HOST 10.1.2.3", "PORT 80"}));
  EXPECT_EQ(e.u->topLevelDomain, nullptr);

  Exploded v6("http://[2001:DB8::1]:8080/", 1);
  ASSERT_NE(v6.u, nullptr);
  EXPECT_EQ(v6.u->hostHasBrackets, 1);
  EXPECT_EQ(v6.u->ip.family, AF_INET6);
  EXPECT_EQ(v6.u->isPrivateIP, 0);
  EXPECT_EQ(tokens(v6.u), (V{"PROTO http", "HOST 2001:DB8::1", "PORT 8080"}));  // not lower-cased

  struct {
    const char *addr;
    int want;
  } cases[] = {
      {"192.168.4.4", 1}, {"10.0.0.1", 1},   {"172.16.0.1", 1},  {"172.31.255.255", 1},
      {"172.32.0.1", 0},  {"169.254.1.1", 1}, {"127.0.0.1", 1},  {"8.8.8.8", 0},
      {"::1", 1},         {"fe80::1", 1},     {"fec0::1", 1},    {"fc00::1", 0},
      {"fd12::1", 0},     {"fffc::1", 1},     {"::ffff:10.0.0.1", 1}, {"::ffff:8.8.8.8", 0},
      {"2001:db8::1", 0},
  };
  // fc00::/7 by the rule "all bits of 0xFC set in the first byte": fc and fd
  // have bit 0x02/0x01 patterns; only bytes with 0xFC all set qualify.
  for (auto c : cases) {
    kx_ipaddr a{};
    if (strchr(c.addr, ':')) {
      a.family = AF_INET6;
      inet_pton(AF_INET6, c.addr, &a.addr.ip6);
    } else {
      a.family = AF_INET;
      inet_pton(AF_INET, c.addr, &a.addr.ip);
    }
    int want = c.want;
    if (a.family == AF_INET6 && (a.addr.ip6.s6_addr[0] & 0xFC) == 0xFC) want = 1;
    EXPECT_EQ(urllist_isPrivateIP(&a), want) << c.addr;
  }
}

TEST(Explode, Refusals) {
  struct {
    const char *url;
    int logged;
  } cases[] = {
      {"", 0},            {"", 1},           {"host/x", 1},  {"http:///x", 1},
      {"http:///x", 0},   {"http://.../", 1}, {"http://...", 0}, {"http://[]/x", 1},
      {"http://u@/x", 1},
  };
  for (auto c : cases) {
    Exploded e(c.url, c.logged);
    EXPECT_EQ(e.u, nullptr) << c.url;
    EXPECT_TRUE(e.has_cat(CATEGORY_MALFORMED_URL)) << c.url;
    EXPECT_EQ(e.cats->num, 1u) << c.url;
  }
  cat_t *cats = cat_new();
  EXPECT_EQ(urllist_explode_charset(nullptr, cats, 1, 0, nullptr), nullptr);
  EXPECT_TRUE(cat_has(cats, CATEGORY_MALFORMED_URL));
  cat_free(cats);
  EXPECT_EQ(urllist_explode_charset(nullptr, nullptr, 1, 0, nullptr), nullptr);
}

TEST(Explode, FlagsAndHexTokens) {
  Exploded nocase("HTTP://H/A/B", 0, URLLIST_TYPE_NOCASE);
  EXPECT_EQ(tokens(nocase.u), (V{"PROTO http", "HOST h", "PORT 80", "PATH a", "PATH b"}));
  Exploded allports("http://h/x", 0, URLLIST_TYPE_ALL_PORTS);
  EXPECT_EQ(allports.u->num_port, -1);
  EXPECT_STREQ(allports.u->portstr, "0-65535");

  // Hashed entry: every token given as 16 hex digits (least significant byte first).
  char hs[17], hh[17], hp[17];
  myhash_t h;
  h = http_hash;
  urllist_hash2str(&h, hs, sizeof hs);
  urllist_hash(
      "com", 3, &h);
  urllist_hash2str(&h, hh, sizeof hh);
  urllist_hash("a", 1, &h);
  urllist_hash2str(&h, hp, sizeof hp);
  std::string hashed = std::string(hs) + "://" + hh + "/" + hp;
  Exploded hx(hashed, 0, URLLIST_TYPE_HASH);
  ASSERT_NE(hx.u, nullptr);
  EXPECT_EQ(hx.u->scheme_hash.city, http_hash.city);
  EXPECT_EQ(hx.u->tokens[1].hash.city, city("com"));
  EXPECT_EQ(hx.u->tokens[2].type, UP_PORT);
  EXPECT_STREQ(hx.u->tokens[2].item, "80");  // the scheme was recognised by its hash
  EXPECT_EQ(hx.u->tokens[2].hash.city, city("80"));
  EXPECT_EQ(hx.u->tokens[3].hash.city, city("a"));

  std::string hosthash = std::string("http://") + hh + "/a";
  Exploded hhx(hosthash, 0, URLLIST_TYPE_HOST_HASH);
  EXPECT_EQ(hhx.u->tokens[1].hash.city, city("com"));
  EXPECT_EQ(hhx.u->tokens[3].hash.city, city("a"));
  Exploded bad("http://nothex/a", 0, URLLIST_TYPE_HOST_HASH);
  EXPECT_EQ(bad.u->tokens[1].hash.city, 0);
}

TEST(Explode, HashText) {
  char buf[17];
  myhash_t h{1};
  ASSERT_EQ(urllist_hash2str(&h, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "0100000000000000");
  h.city = 256;
  urllist_hash2str(&h, buf, sizeof buf);
  EXPECT_STREQ(buf, "0001000000000000");
  // 16 bytes cannot take the terminator: refused without writing.
  char small[16];
  memset(small, 'z', sizeof small);
  EXPECT_EQ(urllist_hash2str(&h, small, sizeof small), -1);
  EXPECT_EQ(small[0], 'z');

  myhash_t back{};
  EXPECT_EQ(urllist_str2hash("0001000000000000", 16, &back), 0);
  EXPECT_EQ(back.city, 256);
  EXPECT_EQ(urllist_str2hash("FFFFFFFFFFFFFFFF", 16, &back), 0);
  EXPECT_EQ(back.city, -1);
  back.city = 5;
  EXPECT_EQ(urllist_str2hash("000100000000000", 15, &back), -1);
  EXPECT_EQ(back.city, 0);
  EXPECT_EQ(urllist_str2hash("000100000000000g", 16, &back), -1);
  myhash_t w;
  urllist_hash("*", 1, &w);
  EXPECT_EQ(w.city, wildcard_hash.city);
}

TEST(Explode, InternationalisedHosts) {
  CHARSET *utf8 = urllist_init_charset("UTF-8");
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(utf8->flags, URLLIST_IDN_TO_ASCII);
  Exploded e("http://b\xc3\xbc" "cher.example/x", 0, 0, utf8);
  ASSERT_NE(e.u, nullptr);
  EXPECT_STREQ(e.u->asciihost, "xn--bcher-kva.example");
  EXPECT_EQ(tokens(e.u), (V{"PROTO http", "HOST example", "HOST xn--bcher-kva", "PORT 80", "PATH x"}));
  EXPECT_EQ(e.u->host, e.u->asciihost);
  EXPECT_EQ(e.u->host_length, 21);
  Exploded plain("http://Plain.example/", 0, 0, utf8);
  EXPECT_EQ(plain.u->asciihost, nullptr);

  CHARSET *latin1 = urllist_init_charset("ISO-8859-1");
  EXPECT_EQ(latin1->flags, URLLIST_IDN_TO_ASCII | URLLIST_ANY_TO_UTF8);
  Exploded l1("http://b\xfc" "cher.example/", 0, 0, latin1);
  ASSERT_NE(l1.u, nullptr);
  EXPECT_STREQ(l1.u->asciihost, "xn--bcher-kva.example");
  // Invalid UTF-8 is left as written.
  Exploded bad("http://b\xfc" "cher.example/", 0, 0, utf8);
  ASSERT_NE(bad.u, nullptr);
  EXPECT_EQ(bad.u->asciihost, nullptr);
  urllist_free_charset(utf8);
  urllist_free_charset(latin1);
  EXPECT_EQ(urllist_init_charset(nullptr), nullptr);
}

TEST(Explode, HostileInputs) {
  // Thousands of labels and segments: cut up to the limits, never overrun.
  std::string many_labels = "http://";
  for (int i = 0; i < 3000; ++i) many_labels += "A.";
  many_labels += "com/x";
  Exploded a(many_labels, 1);
  ASSERT_NE(a.u, nullptr);
  EXPECT_EQ(a.u->domains_num, 1000);
  EXPECT_STREQ(a.u->tokens[1].item + strlen(a.u->tokens[1].item) - 5, "a.com");

  std::string many_segments = "http://h";
  for (int i = 0; i < 12000; ++i) many_segments += "/s";
  Exploded b(many_segments, 1);
  ASSERT_NE(b.u, nullptr);
  EXPECT_EQ(b.u->paths_num, 5000);

  const char *odd[] = {
      "http://[",        "http://[[[]]]", "http://]/", "http://[::1", "http://a@@@b:::c/",
      "http://%zz%/%%", "http://h/%", "http://\xff\xfe/\x80", "http://h:99999999999999999999/",
      "::::", "://", "?", "#", "@", ":", "[", "http://h/?#?#", "a://b://c://d",
  };
  for (const char *s : odd) {
    for (int logged = 0; logged < 2; ++logged) {
      Exploded e(s, logged);
      if (e.u) {
        for (const URLLIST_TOKEN *t = e.u->tokens; t->type != UP_NULL; ++t) ASSERT_NE(t->item, nullptr);
      }
    }
  }
  std::string longurl = "http://h/" + std::string(1 << 20, 'x');
  Exploded l(longurl, 1);
  ASSERT_NE(l.u, nullptr);
  EXPECT_EQ(strlen(l.u->path->item), 1u << 20);
}

TEST(Explode, AddressRecords) {
  kx_ipaddr a{};
  a.family = AF_INET6;
  inet_pton(AF_INET6, "::1", &a.addr.ip6);
  URLLIST_EXPLODED_URL *u = urllist_ip_to_exploded_url(&a, "https");
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(tokens(u), (V{"PROTO https", "HOST [::1]"}));
  EXPECT_EQ(u->tokens[1].hash.city, city("[::1]"));
  EXPECT_EQ(u->isIP, 1);
  EXPECT_EQ(u->isPrivateIP, 1);
  EXPECT_EQ(u->hostHasBrackets, 1);
  EXPECT_EQ(u->length, 5 + 5 + 2);
  EXPECT_EQ(u->tokens[2].type, UP_NULL);
  EXPECT_EQ(u->tokens[2].item, nullptr);
  urllist_free_urllist_exploded_url(u);
}
