// Derived record fields and the value parsers of the grouping engine.
#include "src/report/fields.h"

#include <stdlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/report/kwsearch.h"
#include "tests/engine/derive_fixture.h"

namespace {

using enginetest::InstallRoot;
using enginetest::WindowRow;
using enginetest::write_file;

std::string take(char *p) {
  std::string s = p ? p : "<null>";
  free(p);
  return s;
}
std::string str(const char *p) { return p ? p : "<null>"; }

URLLIST *list_of(const std::vector<const char *> &entries) {
  URLLIST *l = urllist_initialize(URLLIST_FLAG_NONE);
  for (const char *e : entries) EXPECT_EQ(urllist_add(l, e, "U", "N", nullptr, 0), 0) << e;
  return l;
}

// A run with a domain definition of the lists kind: its own list and a
// "shared" one (owned by the test).
class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rep_ = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, nullptr);
    rep_->def = new REPORT_DEFINITION;
    rep_->def->domain = new DOMAIN_DEFINITION;
    rep_->def->domain->type = DOMAIN_TYPE_LISTS;
    rep_->def->domain->list = list_of({"co.uk"});
    global_ = list_of({"*.example.net", "com.au", "b.shop.co.uk"});
    rep_->def->domain->global_list = global_;
    terms_ = urllist_initialize(URLLIST_FLAG_NONE);
    EXPECT_EQ(urllist_add_line(terms_, "www.example.com/search U R q=([^&]*) $1", 0), 0);
    EXPECT_EQ(urllist_add_line(terms_, "search.example.org U R [?&]s=([^&]*) $1", 0), 0);
    rep_->searchterms = terms_;
  }
  void TearDown() override {
    free_report(rep_);
    urllist_terminate(global_);
    urllist_terminate(terms_);
  }
  DOMAIN_DEFINITION *dd() { return rep_->def->domain; }

  REPORT *rep_ = nullptr;
  URLLIST *global_ = nullptr;
  URLLIST *terms_ = nullptr;
};

TEST(Host, OfAUrl) {
  struct Case {
    const char *url, *host;
  } cases[] = {
      {"http://user@Host.Example.COM:8080/x", "host.example.com:8080"},
      {"https://a:b@c@D.com/", "d.com"},
      {"http://example.com?q=1", "example.com"},
      {"http://example.com#top", "example.com"},
      {"ftp://HOST", "host"},
      {"http:///path", ""},
      {"example.com/x", "<null>"},
  };
  for (const Case &c : cases) EXPECT_EQ(take(get_host(c.url)), c.host) << c.url;
  EXPECT_EQ(get_host(nullptr), nullptr);
}

// The host and the protocol as a byte-at-a-time reading of the URL finds
// them (URLs without the protocol-check suffix).
std::string host_read_bytewise(const std::string &url) {
  const size_t p = url.find("://");
  if (p == std::string::npos) return "<null>";
  size_t start = p + 3, q = start;
  for (; q < url.size() && url[q] != '/' && url[q] != '?' && url[q] != '#'; ++q)
    if (url[q] == '@') start = q + 1;
  std::string h = url.substr(start, q - start);
  for (char &c : h)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return h;
}
std::string protocol_read_bytewise(const std::string &url) {
  const size_t p = url.find("://");
  return p == std::string::npos ? "<null>" : url.substr(0, p);
}

TEST(Host, AtEveryPlaceInItsBlocks) {
  // The URL is read sixteen aligned bytes at a time: every start offset,
  // scheme, host and end crossing a block's edge, with bytes that would
  // match ("://", "@", "/") just before the URL and just after its NUL.
  std::vector<std::string> urls;
  const std::string long_host = std::string(20, 'w') + "@" + std::string(19, 'H') + ".Example.COM";
  for (const char *scheme : {"", "h", "http", "https", "a-very-long-scheme-name-xy"})
    for (const char *sep : {"://", ":/", ":"})
      for (const std::string &host : {std::string(), std::string("H"), std::string("Example.COM"),
                                     std::string("u@h.com"), std::string("a@b@C.d"), std::string(15, 'x'),
                                     std::string(16, 'Y'), std::string(17, 'z'), long_host})
        for (const char *tail : {"", "/", "?q", "#f", "/a@b://c/", "?x@y"})
          urls.push_back(std::string(scheme) + sep + host + tail);
  alignas(64) char buf[256];
  for (const std::string &url : urls)
    for (size_t at = 0; at < 32; ++at) {
      for (size_t i = 0; i < sizeof buf; ++i) buf[i] = "://@/"[i % 5];
      memcpy(buf + at, url.c_str(), url.size() + 1);
      const char *u = buf + at;
      ASSERT_EQ(take(get_host(u)), host_read_bytewise(url)) << at << " " << url;
      ASSERT_EQ(take(find_protocol(u)), protocol_read_bytewise(url)) << at << " " << url;
    }
}

TEST_F(FieldsTest, DomainByLists) {
  struct Case {
    const char *host, *domain;
  } cases[] = {
      {"a.b.c.co.uk", "c.co.uk"},          // the definition's own list
      {"x.a.b.shop.co.uk", "shop.co.uk"},  // its own list first, though the shared one is deeper
      {"x.a.b.shop.com.au", "shop.com.au"},
      {"www.shop.com.au", "shop.com.au"},  // the shared list
      {"x.y.example.net", "x.y.example.net"},  // "*" stands for the label y
      {"www.example.com:8080", "example.com"},
      {"example.com", "example.com"},
      {"localhost", "localhost"},
      {"10.1.2.3:80", "10.1.2.3"},
      {"co.uk", "co.uk"},
      {"", ""},
      {":80", ""},
      {"[::1]:8080", "[::1]"},
      {"1.example.com", "example.com"},  // a name that begins with a digit
      {"1.2.3.4.5", "4.5"},
      {"255.255.255.255", "255.255.255.255"},
      {"a:b]:c", "a:b]"},  // the port begins after the first "]"
  };
  for (const Case &c : cases) EXPECT_EQ(take(extract_domain(c.host, dd())), c.domain) << c.host;
  EXPECT_EQ(extract_domain("a.com", nullptr), nullptr);
  EXPECT_EQ(extract_domain(nullptr, dd()), nullptr);
  EXPECT_EQ(take(get_domain("http://u@WWW.Shop.Co.UK:81/p", dd())), "shop.co.uk");
}

TEST_F(FieldsTest, TheHostKeepsItsPort) {
  // The caller's text is not cut.
  char host[] = "www.example.com:8080";
  EXPECT_EQ(take(extract_domain(host, dd())), "example.com");
  EXPECT_STREQ(host, "www.example.com:8080");
  // Nor is the row's field 32, in whichever order the fields are asked for.
  WindowRow row;
  row.set("http://user@WWW.Example.COM:8080/");
  EXPECT_EQ(str(find_domain(rep_, row.rec(), row.map())), "example.com");
  EXPECT_EQ(str(find_host(row.rec(), row.map())), "www.example.com:8080");
  EXPECT_EQ(str(row.value(FIELD_URIHOST)), "www.example.com:8080");
}

TEST_F(FieldsTest, DomainByRegularExpression) {
  DOMAIN_DEFINITION re;
  re.type = DOMAIN_TYPE_REGEXP;
  ASSERT_EQ(regcomp(&re.regexp, "([a-z]*)\\.example\\.(com|org)$", REG_EXTENDED), 0);
  re.regexp_set = true;
  struct Case {
    int part;
    const char *host, *domain;
  } cases[] = {
      {1, "www.shop.example.com", "shop"},
      {2, "www.shop.example.org:81", "org"},
      {0, "www.shop.example.com", "shop.example.com"},
      {3, "www.shop.example.com", "www.shop.example.com"},   // past the last capture group
      {99, "www.shop.example.com", "www.shop.example.com"},
      {1, "www..example.com", "www..example.com"},  // empty capture
      {1, "other.net", "other.net"},
      {1, "10.0.0.1", "10.0.0.1"},
  };
  for (const Case &c : cases) {
    re.regexp_part = c.part;
    EXPECT_EQ(take(extract_domain(c.host, &re)), c.domain) << c.part << " " << c.host;
  }
  regfree(&re.regexp);
  DOMAIN_DEFINITION other;
  other.type = 7;
  EXPECT_EQ(extract_domain("a.com", &other), nullptr);
}

TEST_F(FieldsTest, SearchTerms) {
  struct Case {
    const char *url, *terms;
  } cases[] = {
      {"http://www.example.com/search?q=Red+Shoes%21&x=1", "red shoes!"},
      {"http://www.example.com/search?x=1", "<null>"},
      {"http://search.example.org/find?a=1&s=%41BC", "abc"},
      {"http://www.example.com/other?q=x", "<null>"},
      {"http://elsewhere.com/search?q=x", "<null>"},
  };
  for (const Case &c : cases) EXPECT_EQ(take(get_search_terms(c.url, rep_)), c.terms) << c.url;
  rep_->searchterms = nullptr;
  EXPECT_EQ(get_search_terms(cases[0].url, rep_), nullptr);
}

TEST_F(FieldsTest, DerivedOnFirstUseAndStoredInTheRow) {
  WindowRow row;
  row.set("http://www.Example.com/search?q=Kites");
  EXPECT_EQ(str(find_search_terms(rep_, row.rec(), row.map())), "kites");
  const char *first = row.value(FIELD_SEARCHTERM);
  EXPECT_EQ(find_search_terms(rep_, row.rec(), row.map()), first);  // no second derivation
  EXPECT_EQ(str(find_domain(rep_, row.rec(), row.map())), "example.com");
  EXPECT_EQ(str(row.value(FIELD_URIHOST)), "www.example.com");
  // Nothing derived is "-"; no URL is nothing to derive from.
  row.set("no scheme here");
  EXPECT_EQ(str(find_host(row.rec(), row.map())), "-");
  EXPECT_EQ(str(find_search_terms(rep_, row.rec(), row.map())), "-");
  row.set(nullptr);
  EXPECT_EQ(find_host(row.rec(), row.map()), nullptr);
  EXPECT_EQ(find_domain(rep_, row.rec(), row.map()), nullptr);
  EXPECT_EQ(find_search_terms(rep_, row.rec(), row.map()), nullptr);
  EXPECT_EQ(find_data_words(rep_, row.rec(), row.map()), nullptr);
  EXPECT_EQ(str(get_host_save(row.rec(), row.map())), "-");
  EXPECT_EQ(str(row.value(FIELD_URIHOST)), "-");
}

TEST_F(FieldsTest, ARowWithoutTheEntryGetsTheValueOnly) {
  std::string url = "http://www.shop.co.uk/";
  RECORD rec[] = {{FIELD_URI, 0x16, 0, url.data()}, {}};
  unsigned char map[RECORD_MAP_SIZE];
  record_build_map(map, rec);
  EXPECT_EQ(str(find_host(rec, map)), "www.shop.co.uk");
  EXPECT_EQ(str(find_domain(rep_, rec, map)), "shop.co.uk");
  EXPECT_EQ(rec[1].type, 0);
  EXPECT_EQ(rec[1].data, nullptr);
}

TEST_F(FieldsTest, EachRunOfABatchDerivesItsOwnDomain) {
  REPORT *other = new_report_initialize(REPORT_SCHEDULED, 2, "n", "o", 0, 0, 0, nullptr);
  other->def = new REPORT_DEFINITION;
  other->def->domain = new DOMAIN_DEFINITION;
  other->def->domain->type = DOMAIN_TYPE_LISTS;
  other->def->domain->list = list_of({"shop.co.uk"});
  WindowRow row;
  row.set("http://a.b.shop.co.uk/");
  EXPECT_EQ(str(find_domain(rep_, row.rec(), row.map())), "shop.co.uk");
  EXPECT_EQ(str(find_domain(other, row.rec(), row.map())), "b.shop.co.uk");
  EXPECT_EQ(str(find_domain(rep_, row.rec(), row.map())), "shop.co.uk");
  // The other run has no search-term list: its "-" is its own.
  EXPECT_EQ(str(find_search_terms(other, row.rec(), row.map())), "-");
  row.set("http://www.example.com/search?q=a");
  EXPECT_EQ(str(find_search_terms(other, row.rec(), row.map())), "-");
  EXPECT_EQ(str(find_search_terms(rep_, row.rec(), row.map())), "a");
  free_report(other);
}

TEST_F(FieldsTest, DataWordsOnlyForTextEvents) {
  InstallRoot root;
  write_file(root.path() + "/kw.txt", "pets x dog\ngambling x poker\n");
  kwsearch_engine *e = kwsearch_new_engine();
  ASSERT_EQ(kwsearch_load_file(e, "/kw.txt"), 0);
  rep_->keyword_search_engine.reset(e, kwsearch_destroy_engine);
  struct Case {
    int type;
    const char *data, *words;
  } cases[] = {
      {8, "a dog plays poker", "\"dog\":\"pets\", \"poker\":\"gambling\""},
      {8, "nothing", "-"},
      {1, "a dog plays poker", "<null>"},
      {-1, nullptr, "<null>"},
  };
  WindowRow row;
  for (const Case &c : cases) {
    row.set("http://x.com/", c.type, c.data);
    EXPECT_EQ(str(find_data_words(rep_, row.rec(), row.map())), c.words) << c.type << " " << str(c.data);
  }
  row.set("http://x.com/", 1, "dog");
  EXPECT_EQ(str(get_data_words_save(rep_, row.rec(), row.map())), "-");
}

TEST_F(FieldsTest, CachedDerivationEqualsTheUncachedOne) {
  std::vector<std::string> urls;
  const char *hosts[] = {"www.example.com", "WWW.EXAMPLE.COM:8080", "a.b.c.co.uk", "shop.co.uk",
                         "x.a.b.shop.co.uk", "m.shop.com.au", "x.y.example.net", "example.net",
                         "10.1.2.3", "10.1.2.3:8080", "[2001:db8::1]:443", "localhost",
                         "user@mail.example.org", "a..b.com", "", "www.example.com.",
                         "search.example.org", "www.example.com"};
  const char *paths[] = {"/", "/search?q=Blue+Sky", "/search?q=Blue+Sky&p=2", "/find?s=x%20y", "?s=1", ""};
  for (const char *h : hosts)
    for (const char *p : paths) urls.push_back(std::string("http://") + h + p);
  urls.push_back("not a url");
  std::mt19937 rng(7);
  for (size_t slots : {size_t(FIELDS_CACHE_SLOTS), size_t(4), size_t(1)}) {
    report_field_cache_set_size(rep_, slots);
    WindowRow row;
    for (int pass = 0; pass < 3; ++pass) {
      std::shuffle(urls.begin(), urls.end(), rng);
      for (const std::string &u : urls) {
        row.set(u.c_str());
        char *host = get_host(u.c_str());
        std::string want_domain = host ? take(extract_domain(host, dd())) : "<null>";
        free(host);
        if (want_domain == "<null>") want_domain = "-";
        std::string want_terms = take(get_search_terms(u.c_str(), rep_));
        if (want_terms == "<null>") want_terms = "-";
        EXPECT_EQ(str(find_domain(rep_, row.rec(), row.map())), want_domain) << slots << " " << u;
        EXPECT_EQ(str(find_search_terms(rep_, row.rec(), row.map())), want_terms) << slots << " " << u;
      }
    }
  }
}

// A run of its own with the given domain definition (owned by the caller).
REPORT *run_with(DOMAIN_DEFINITION *dd) {
  REPORT *r = new_report_initialize(REPORT_SCHEDULED, 3, "n", "o", 0, 0, 0, nullptr);
  r->def = new REPORT_DEFINITION;
  r->def->domain = dd;
  return r;
}

TEST_F(FieldsTest, TheHostTableGivesTheUncachedHostAndDomain) {
  std::vector<std::string> hosts = {
      "www.example.com", "WWW.EXAMPLE.COM", "Www.Example.Com:8080",
      "WWW.EXAMPLE.COM:8080",       // host, NUL, domain and NUL fill the inline room exactly
      "www.example.com:12345",      // one byte more
      "www.shop.example.com:8080",  // the domain after the host has no inline room
      "u@Host.Example.ORG", "10.1.2.3", "10.1.2.3:80", "[2001:db8::1]:443", "",
      "A[b]`c{d}~@Z.Example.COM", "\xC3\x89t\xC3\xA9.EXAMPLE.com", "x.y.Example.NET"};
  // Every length around the eight-byte steps, the same host with its last
  // byte in capitals, and hosts one byte away from it.
  const std::string letters = "abcdefgh.ijklmnop.qrstu";
  for (size_t n = 1; n <= letters.size(); ++n) {
    hosts.push_back(letters.substr(0, n));
    hosts.push_back(letters.substr(0, n - 1) + static_cast<char>(letters[n - 1] & ~0x20));
    for (size_t i = 0; i < n; ++i) {
      std::string other = letters.substr(0, n);
      other[i] = '9';
      hosts.push_back(other);
    }
  }
  for (size_t n : {31, 32, 33, 34, 300, 512, 513, 600}) hosts.push_back(std::string(n - 12, 'w') + ".example.com");

  DOMAIN_DEFINITION plain;
  plain.type = DOMAIN_TYPE_LISTS;
  auto *re = new DOMAIN_DEFINITION;
  re->type = DOMAIN_TYPE_REGEXP;
  ASSERT_EQ(regcomp(&re->regexp, "([a-z]*)\\.example\\.(com|org)", REG_EXTENDED), 0);
  re->regexp_set = true;
  re->regexp_part = 1;  // a part inside the host, not its tail
  REPORT *plain_run = run_with(new DOMAIN_DEFINITION(plain));
  REPORT *re_run = run_with(re);
  REPORT *runs[] = {rep_, plain_run, re_run};

  WindowRow row;
  auto check = [&](const std::string &h, size_t slots) {
    const std::string url = "http://" + h + "/p?q=1";
    row.set(url.c_str());
    const std::string want_host = take(get_host(url.c_str()));
    // The runs of a batch take the row in turn, each twice: the second
    // time from the table.
    for (int again = 0; again < 2; ++again)
      for (REPORT *r : runs) {
        char *host = get_host(url.c_str());
        std::string want = take(extract_domain(host, r->def->domain));
        free(host);
        EXPECT_EQ(str(find_domain(r, row.rec(), row.map())), want) << slots << " " << h;
        EXPECT_EQ(str(find_host(row.rec(), row.map())), want_host) << slots << " " << h;
        row.set(url.c_str());
      }
  };
  // The inline room's edge, in a slot that has not grown yet.
  for (const char *h : {"WWW.EXAMPLE.COM:8080", "www.example.com:12345", "www.shop.example.com:8080"}) {
    fields_set_thread_host_slots(1);
    check(h, 1);
  }
  std::mt19937 rng(11);
  for (size_t slots : {size_t(FIELDS_HOST_SLOTS), size_t(2), size_t(1)}) {
    fields_set_thread_host_slots(slots);
    for (int pass = 0; pass < 2; ++pass) {
      std::shuffle(hosts.begin(), hosts.end(), rng);
      for (const std::string &h : hosts) check(h, slots);
    }
  }
  fields_set_thread_host_slots(FIELDS_HOST_SLOTS);
  regfree(&re->regexp);
  free_report(plain_run);
  free_report(re_run);
}

TEST_F(FieldsTest, AHostFromTheInputKeepsItsOwnDomain) {
  // The table holds www.example.com; a host the input gives in capitals is
  // not that host, and its domain is its own.
  WindowRow row;
  row.set("http://www.example.com/");
  EXPECT_EQ(str(find_domain(rep_, row.rec(), row.map())), "example.com");
  std::string url = "http://www.example.com/", given = "WWW.Example.COM";
  RECORD rec[] = {{FIELD_URI, 0x16, 0, url.data()},
                  {FIELD_URIHOST, 0x16, 0, given.data()},
                  {FIELD_URIDOMAIN, 0x16, RECORD_FLAG_OWNED, nullptr},
                  {}};
  unsigned char map[RECORD_MAP_SIZE];
  record_build_map(map, rec);
  EXPECT_EQ(str(find_domain(rep_, rec, map)), "Example.COM");
  EXPECT_EQ(str(find_host(rec, map)), "WWW.Example.COM");
  record_free_owned(rec);
}

TEST(Protocol, OfAUrl) {
  struct Case {
    const char *url, *protocol;
  } cases[] = {
      {"https://www.example.com/", "https"},
      {"ftp://host:21/x", "ftp"},
      {"http://ftp.host1.proto.check.tallowmere.invalid/", "ftp.host1"},
      {"http://ftp.host1.proto.check.tallowmere.invalid:8080", "ftp.host1"},
      {"http://ftp.host1.proto.check.tallowmere.invalid", "ftp.host1"},
      {"http://host1.proto.check.tallowmere.invalid/", "<null>"},
      {"no colon", "<null>"},
      {"host:80", "<null>"},
  };
  EXPECT_EQ(strlen(FIELDS_PROTOCOL_SUFFIX), 31u);
  for (const Case &c : cases) EXPECT_EQ(take(find_protocol(c.url)), c.protocol) << c.url;
}

TEST(Category, ListsIntoSets) {
  struct Case {
    uint8_t type;
    const char *value;
    std::vector<uint32_t> set;
  } cases[] = {
      {0x16, "5,,9,x1", {5, 9}},
      {0x16, "3,1,3", {1, 3}},
      {0x16, "12a,5", {12}},
      {0x16, "", {}},
      {0x16, ",7", {7}},
      {0x16, "99999999999,4", {4}},
      {0x36, "\x05\x09\x05", {5, 9}},
      {0x36, "", {}},
  };
  for (const Case &c : cases) {
    cat_t *set = cat_new();
    get_category(set, c.type, c.value);
    std::vector<uint32_t> got(set->catnums, set->catnums + set->num);
    EXPECT_EQ(got, c.set) << c.value;
    cat_free(set);
  }
  get_category(nullptr, 0x16, "1");
  // A full set grows.
  cat_t *set = cat_new();
  std::string many;
  for (int i = 1; i <= 25; ++i) many += std::to_string(i) + ",";
  get_category(set, 0x16, many.c_str());
  EXPECT_EQ(set->num, 25u);
  cat_free(set);
}

TEST(Bandwidth, InputAndOutputBytes) {
  struct Case {
    const char *text;
    int64_t in, out;
  } cases[] = {
      {"IB:100;OB:250", 100, 250},  {"IB:100", 0, 0},       {"OB:5;IB:7", 7, 5},
      {"IB:1x;OB:2", 0, 0},         {"IB:;OB:2", 0, 0},     {"foo IB:3;bar OB:4", 3, 4},
      {"IB:99999999999999999999;OB:1", 0, 0}, {"", 0, 0},
  };
  for (const Case &c : cases) {
    bandwidth_stats b{-1, -1};
    get_bandwidth_stats(c.text, &b);
    EXPECT_EQ(b.input_bytes, c.in) << c.text;
    EXPECT_EQ(b.output_bytes, c.out) << c.text;
  }
  bandwidth_stats b{-1, -1};
  get_bandwidth_stats(nullptr, &b);
  EXPECT_EQ(b.input_bytes, 0);
}

TEST(RecordLength, PackedSizeByStorage) {
  uint8_t i8 = 1;
  uint16_t i16 = 2;
  uint32_t i32 = 3;
  uint64_t i64 = 4;
  unsigned char i128[16] = {};
  char text[] = "abc";
  kx_ipaddr v4{}, v6{};
  v4.family = AF_INET;
  v6.family = AF_INET6;
  unsigned char byte = 9;
  RECORD row[] = {{9, 0x01, 0, &i8},       {10, 0x02, 0, &i16},     {11, 0x03, 0, &i32},
                  {12, 0x04, 0, &i64},     {13, 0x05, 0, i128},     {1, 0x16, 0, text},
                  {2, 0x57, 0, &v4},       {47, 0x57, 0, &v6},      {55, 0x00, 0, &byte},
                  {56, 0x19, 0, &byte},    {3, 0x16, 0, nullptr},   {4, 0x16, 0, text},
                  {}};
  // 1+2+4+8+16+4 = 35 before the addresses; the entry without a value ends it.
  struct Case {
    int ip_type;
    long long bytes;
  } cases[] = {{1, 35 + 4 + 4}, {2, 35 + 16 + 16}, {3, 35 + 5 + 17}, {7, 35 + 4 + 4}};
  for (const Case &c : cases) EXPECT_EQ(record_length(row, c.ip_type), c.bytes) << c.ip_type;
  EXPECT_EQ(record_length(nullptr, 3), 0);
}

// The engine hands out the record layer's table (whose entries its own test
// checks one by one), whole: 31 hints up to the terminator, each the hint
// the field table gives.
TEST(TypeHints, TheTable) {
  const Record *h = get_type_hints();
  ASSERT_EQ(h, type_hints);
  int n = 0;
  for (; n < 64 && h[n].type != 0; ++n) {
    EXPECT_EQ(h[n].datatype, record_type_hint(h[n].type)) << n;
    EXPECT_EQ(h[n].data, nullptr) << n;
  }
  EXPECT_EQ(n, 31);
}

TEST(DateTime, LocalTimeText) {
  // No other thread runs while the zone is set.
  setenv("TZ", "UTC", 1);
  tzset();
  char buf[32];
  EXPECT_EQ(format_date_time(0, buf, sizeof buf), 19u);
  EXPECT_STREQ(buf, "1970-01-01 00:00:00");
  EXPECT_EQ(format_date_time(1700000000, buf, sizeof buf), 19u);
  EXPECT_STREQ(buf, "2023-11-14 22:13:20");
  char small[10];
  EXPECT_EQ(format_date_time(0, small, sizeof small), 0u);
}

}  // namespace
