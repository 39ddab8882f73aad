#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/runtime/kxtime.h"
#include "lib/base/sha1.h"
#include "lib/lists/urllist.h"
#include "lib/lists/urllist_lookup.h"

namespace {

constexpr time_t kNow = 1700000000;

struct Entry {
  const char *text;
  const char *type;
  const char *tag;  // the entry's action is the text action with this tag
  time_t ttl = 0;
};

// A list owned by the test.
struct List {
  URLLIST *l;
  explicit List(int flags = URLLIST_FLAG_NONE) : l(urllist_initialize(flags)) {}
  ~List() { urllist_terminate(l); }
  List(const List &) = delete;
  List &operator=(const List &) = delete;
  int add(const Entry &e) { return urllist_add(l, e.text, e.type, "T", e.tag, e.ttl); }
};

std::string tag_of(const void *data) {
  auto *d = static_cast<const URLLIST_ITEM_DATA *>(data);
  if (d->action == UA_TEXT) return static_cast<const char *>(d->action_data);
  return urllist_action_name(d);
}

// "<tag> <entry text>" of the entry that governs url, or "-".
// logged: the URL is exploded as logged (with "://"), else in list mode.
std::string look(URLLIST *l, const std::string &url, int logged = 1) {
  std::string text = url;
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(text.data(), nullptr, logged, 0, nullptr);
  if (u == nullptr) return "explode failed";
  void *data = nullptr;
  char *listurl = nullptr;
  std::string r = "-";
  if (urllist_lookup_diag(l, u, &data, &listurl) == 0) {
    r = tag_of(data) + " " + (listurl != nullptr ? listurl : "(null)");
  }
  free(listurl);
  // The data-only lookup must agree with the diagnostic one.
  void *data2 = nullptr;
  int rc2 = urllist_lookup_data(l, u, &data2);
  if ((rc2 == 0) != (r != "-") || (rc2 == 0 && data2 != data)) r += " (lookup_data disagrees)";
  urllist_free_urllist_exploded_url(u);
  return r;
}

class UrlListTest : public ::testing::Test {
 protected:
  void SetUp() override { current_time.store(kNow); }
};

struct Case {
  std::vector<Entry> entries;
  std::vector<std::pair<std::string, std::string>> lookups;  // URL (logged when it holds "://"), expected
};

void run_cases(const std::vector<Case> &cases, int flags = URLLIST_FLAG_NONE) {
  for (size_t i = 0; i < cases.size(); ++i) {
    List list(flags);
    for (const Entry &e : cases[i].entries) ASSERT_EQ(list.add(e), 0) << "case " << i << " entry " << e.text;
    for (const auto &[url, want] : cases[i].lookups) {
      int logged = url.find("://") != std::string::npos ? 1 : 0;
      EXPECT_EQ(look(list.l, url, logged), want) << "case " << i << " url " << url;
    }
  }
}

}  // namespace

TEST_F(UrlListTest, PrecedenceAndDiagnosticTexts) {
  std::vector<Case> cases = {
      // Deeper host entries override shallower ones.
      {{{"example.com", "U", "A"}, {"host.example.com", "U", "B"}},
       {{"http://host.example.com/x", "B host.example.com"},
        {"http://mail.example.com", "A example.com"},
        {"http://example.com/", "A example.com"},
        {"http://example.org/", "-"}}},
      // A wildcard label stands for one label next to example.
      {{{"*.example.com", "U", "W"}},
       {{"http://a.example.com/", "W *.example.com"},
        {"http://a.b.example.com/", "W *.example.com"},
        {"http://example.com/", "-"},
        {"example.com", "-"},
        {"a.example.com", "W *.example.com"}}},
      // The label wildcard and the all-ports wildcard below one host stay apart.
      {{{"*.example.com", "U", "W"}, {"example.com/x", "U", "X"}},
       {{"http://example.com/x", "X example.com/x"},
        {"http://a.example.com/x", "W *.example.com"},
        {"http://example.com/y", "-"}}},
      // Case-insensitive path entries.
      {{{"example.com/path", "Uc", "C"}},
       {{"http://example.com/PATH", "C example.com/path"}, {"http://example.com/Path/x", "C example.com/path"}}},
      {{{"example.com/path", "U", "S"}}, {{"http://example.com/PATH", "-"}, {"http://example.com/path", "S example.com/path"}}},
      // Port ranges at their edges.
      {{{"example.com:8000-8080", "U", "P"}},
       {{"http://example.com:8080/", "P example.com:8000-8080"},
        {"http://example.com:8000/", "P example.com:8000-8080"},
        {"http://example.com:8081/", "-"},
        {"http://example.com:7999/", "-"},
        {"http://example.com/", "-"}}},
      {{{"example.com:8080", "U", "Q"}},
       {{"http://example.com:8080/a", "Q example.com:8080"}, {"http://example.com:8081/a", "-"}}},
      // A port beyond 65535 falls into no range, not into one starting at 0.
      {{{"example.com:0-100/x", "U", "Z"}},
       {{"http://example.com:50/x", "Z example.com:0-100/x"}, {"http://example.com:70000/x", "-"}}},
      // Query subsets.
      {{{"search.example.com/find?q", "U", "Q"}},
       {{"http://search.example.com/find?x=1&q=abc", "Q search.example.com/find?q"},
        {"http://search.example.com/find?x=1", "-"},
        {"http://search.example.com/find", "-"}}},
      {{{"example.com/s?a&b=2", "U", "Q"}, {"example.com/s", "U", "S"}},
       {{"http://example.com/s?b=2&c=3&a=1", "Q example.com/s?a&b=2"},
        {"http://example.com/s?a=1", "S example.com/s"},
        {"http://example.com/s?b=3&a", "S example.com/s"}}},
      // Case-insensitive query entries match the lower-cased elements; the
      // case-sensitive one only the text as written.
      {{{"example.com/s?Token", "Uc", "CQ"}, {"example.com/t?Token", "U", "SQ"}},
       {{"http://example.com/s?x=1&TOKEN=abc", "CQ example.com/s?token"},
        {"http://example.com/t?TOKEN=abc", "-"},
        {"http://example.com/t?Token=abc", "SQ example.com/t?Token"}}},
      // The entry with more elements wins.
      {{{"example.com/s?a", "U", "ONE"}, {"example.com/s?a&b", "U", "TWO"}},
       {{"http://example.com/s?a=1&b=2", "TWO example.com/s?a&b"}, {"http://example.com/s?a=1", "ONE example.com/s?a"}}},
      // The larger entry is reached only through a later element of the URL.
      {{{"example.com/s?a", "U", "ONE"}, {"example.com/s?b&c", "U", "TWO"}},
       {{"http://example.com/s?a=1&b=2&c=3", "TWO example.com/s?b&c"},
        {"http://example.com/s?a=1&b=2", "ONE example.com/s?a"}}},
      // An explicit scheme is the exact way; the entry without scheme the wildcard one.
      {{{"http://example.com", "U", "E"}, {"example.com", "U", "W"}},
       {{"http://example.com/", "E http://example.com"}, {"https://example.com/", "W example.com"}}},
      // Deeper paths override shallower ones.
      {{{"example.com/a", "U", "A"}, {"example.com/a/b", "U", "B"}},
       {{"http://example.com/a/b/c", "B example.com/a/b"},
        {"http://example.com/a/x", "A example.com/a"},
        {"http://example.com/x", "-"}}},
      // Exact, then case-insensitive, then wildcard alternatives.
      {{{"example.com/Path", "U", "X"}, {"example.com/path", "Uc", "C"}, {"example.com/*", "U", "W"}},
       {{"http://example.com/Path", "X example.com/Path"},
        {"http://example.com/PATH", "C example.com/path"},
        {"http://example.com/other", "W example.com/*"}}},
      // Expired entries fall through to what lies beneath.
      {{{"example.com", "U", "A"}, {"host.example.com", "U", "OLD", kNow - 1}},
       {{"http://host.example.com/", "A example.com"}}},
      {{{"example.com", "U", "A"}, {"host.example.com", "U", "EDGE", kNow}},
       {{"http://host.example.com/", "EDGE host.example.com"}}},
      {{{"example.com", "U", "OLD", kNow - 100}, {"x", "N", "DEF"}}, {{"http://example.com/", "DEF *"}}},
      // IP addresses and ranges.
      {{{"10.0.0.0-10.0.0.255", "U", "R"}, {"http://10.0.0.5", "U", "S"}},
       {{"http://10.0.0.5/", "S http://10.0.0.5"},
        {"http://10.0.0.7/", "R 10.0.0.0-10.0.0.255"},
        {"https://10.0.0.5/", "R 10.0.0.0-10.0.0.255"},
        {"http://10.0.1.1/", "-"},
        {"10.0.0.255", "R 10.0.0.0-10.0.0.255"}}},
      {{{"10.0.0.0-10.0.0.255/ads", "U", "A"}, {"10.0.0.5/x", "U", "B"}},
       {{"http://10.0.0.9/ads/x", "A 10.0.0.0-10.0.0.255/ads"},
        {"http://10.0.0.5/ads", "A 10.0.0.5/ads"},
        {"http://10.0.0.5/x", "B 10.0.0.5/x"},
        {"http://10.0.0.9/x", "-"}}},
      // An address listed with an action of its own keeps it for the paths
      // that a later range adds; a range-only address takes the range's.
      {{{"10.0.0.5", "U", "A"}, {"10.0.0.0-10.0.0.255/x", "U", "D"}},
       {{"http://10.0.0.5/x", "A 10.0.0.5"},
        {"http://10.0.0.5/", "A 10.0.0.5"},
        {"http://10.0.0.6/x", "D 10.0.0.0-10.0.0.255/x"},
        {"http://10.0.0.6/", "-"}}},
      {{{"10.0.0.1-10.0.0.6", "U", "R"}},
       {{"http://10.0.0.1/", "R 10.0.0.1-10.0.0.6"},
        {"http://10.0.0.6/", "R 10.0.0.1-10.0.0.6"},
        {"http://10.0.0.0/", "-"},
        {"http://10.0.0.7/", "-"}}},
      {{{"[2001:db8::1]", "U", "V6"}, {"[2001:db8::100-2001:db8::1ff]", "U", "R6"}},
       {{"http://[2001:db8::1]/", "V6 [2001:db8::1]"},
        {"http://[2001:db8::180]:8080/", "R6 [2001:db8::100-2001:db8::1ff]"},
        {"http://[2001:db8::2]/", "-"}}},
      {{{"0.0.0.0", "U", "ALL"}}, {{"http://192.0.2.1/", "ALL 0.0.0.0"}}},
      // Host-only lookups of the domain lists.
      {{{"example.co.uk", "U", "D"}}, {{"host.example.co.uk", "D example.co.uk"}, {"co.uk", "-"}}},
      // Path-only and query-only trees, schemes.
      {{{"/ads/", "P", "P"}, {"?utm_source", "Q", "Q"}, {"ftp", "S", "S"}},
       {{"http://any.example/ads/banner", "P /ads"},
        {"http://a.example/x?utm_source=1", "Q ?utm_source"},
        {"ftp://host/x", "S ftp://"},
        {"http://a.example/x", "-"}}},
      // Strings: keywords, regular expressions, extensions, the default entry.
      {{{"bad word", "K", "K"}, {"/ab+c/", "R", "R"}, {".exe", "E", "E"}, {"*", "N", "N"}},
       {{"http://x.example/a%20Bad+Word", "K bad+word"},
        {"http://x.example/abbbc", "R /ab+c/"},
        {"http://x.example/a/setup.EXE", "E exe"},
        {"http://x.example/", "N *"}}},
      {{{"/AB+C/", "Rc", "RC"}}, {{"http://x.example/ABBC", "RC /ab+c/"}}},
      // A case-insensitive pattern keeps its class escapes: \W stays "not a
      // word character" rather than turning into \w; letters in brackets
      // and escaped letters are lowered with the rest.
      {{{"/\\WFOO\\W/", "Rc", "W"}}, {{"http://x.example/a-Foo-b", "W /\\Wfoo\\W/"}, {"http://x.example/aFOOb", "-"}}},
      {{{"/X[^A-C]\\Y\\S/", "Rc", "B"}},
       {{"http://x.example/XDY!", "B /x[^a-c]\\y\\S/"}, {"http://x.example/xay!", "-"}, {"http://x.example/xdy7", "B /x[^a-c]\\y\\S/"}}},
  };
  run_cases(cases);
}

TEST_F(UrlListTest, NoDefaultActionFlagHidesTheDefaultEntry) {
  List plain, nodef(URLLIST_FLAG_NO_DEF_ACTION);
  for (List *l : {&plain, &nodef}) ASSERT_EQ(l->add({"*", "N", "DEF"}), 0);
  EXPECT_EQ(look(plain.l, "http://a.example/"), "DEF *");
  EXPECT_EQ(look(nodef.l, "http://a.example/"), "-");
}

TEST_F(UrlListTest, DigestAndEventTypeEntries) {
  List list;
  // The digest covers the URL with its host part lower-cased.
  const char *url = "http://example.com/X?q";
  char md[SHA1HashSize];
  ASSERT_EQ(calcsha1(url, static_cast<int>(strlen(url)), md), 0);
  char hex[2 * SHA1HashSize + 1];
  for (int i = 0; i < SHA1HashSize; ++i) snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned char>(md[i]));
  ASSERT_EQ(list.add({hex, "D", "DG"}), 0);
  EXPECT_EQ(look(list.l, "http://EXAMPLE.COM/X?q"), std::string("DG ") + hex);
  EXPECT_EQ(look(list.l, "http://example.com/x?q"), "-");

  ASSERT_EQ(list.add({"virus", "T", "V"}), 0);
  void *d = nullptr;
  char *text = nullptr;
  ASSERT_EQ(urllist_lookup_num_diag(list.l, 3, &d, &text), 0);
  EXPECT_EQ(tag_of(d), "V");
  EXPECT_STREQ(text, "virus");
  free(text);
  EXPECT_EQ(urllist_lookup_num_data(list.l, 4, &d), 1);
  EXPECT_EQ(urllist_lookup_num_data(list.l, 9, &d), 1);
  EXPECT_EQ(urllist_lookup_num_data(list.l, -1, &d), 1);
  // A second entry for the same type leaves the first.
  EXPECT_EQ(list.add({"Virus", "T", "V2"}), 0);
  ASSERT_EQ(urllist_lookup_num_data(list.l, 3, &d), 0);
  EXPECT_EQ(tag_of(d), "V");
}

TEST_F(UrlListTest, StringLookupsShareTheNormalisedCopy) {
  List list;
  ASSERT_EQ(list.add({"big+cat", "k", "PH"}), 0);
  ASSERT_EQ(list.add({"^x[0-9]+$", "R", "RE"}), 0);
  char *nc = nullptr;
  void *d = nullptr;
  char *text = nullptr;
  ASSERT_EQ(urllist_lookup_string_diag(list.l, "The BIG red Cat", &nc, &d, &text), 0);
  EXPECT_EQ(tag_of(d), "PH");
  EXPECT_STREQ(text, "big+cat");
  EXPECT_STREQ(nc, "the+big+red+cat");
  free(text);
  free(nc);
  EXPECT_EQ(urllist_lookup_string_data(list.l, "x123", nullptr, &d), 0);
  EXPECT_EQ(tag_of(d), "RE");
  EXPECT_EQ(urllist_lookup_string_data(list.l, "y", nullptr, &d), 1);
}

TEST_F(UrlListTest, CategoryLookup) {
  List list;
  ASSERT_EQ(urllist_add_category_string(list.l, "example.com", "U", "7,3", 0), 0);
  ASSERT_EQ(list.add({"other.com", "U", "T"}), 0);
  cat_t *cats = cat_new();
  std::string a = "http://www.example.com/", b = "http://other.com/";
  URLLIST_EXPLODED_URL *ua = urllist_explode_charset(a.data(), nullptr, 1, 0, nullptr);
  URLLIST_EXPLODED_URL *ub = urllist_explode_charset(b.data(), nullptr, 1, 0, nullptr);
  EXPECT_EQ(urllist_lookup_category(list.l, ua, cats), 0);
  EXPECT_EQ(cats->num, 2u);
  EXPECT_TRUE(cat_has(cats, 3) && cat_has(cats, 7));
  EXPECT_EQ(urllist_lookup_category(list.l, ub, cats), 1);
  EXPECT_EQ(urllist_lookup_category(nullptr, ub, cats), 1);
  EXPECT_EQ(urllist_lookup_data(list.l, nullptr, nullptr), 1);
  urllist_free_urllist_exploded_url(ua);
  urllist_free_urllist_exploded_url(ub);
  cat_free(cats);
}

TEST_F(UrlListTest, LockedListServesParallelReaders) {
  List list(URLLIST_FLAG_LOCKED);
  for (int i = 0; i < 200; ++i) {
    std::string e = "host" + std::to_string(i) + ".example.com";
    ASSERT_EQ(urllist_add(list.l, e.c_str(), "U", "A", nullptr, 0), 0);
  }
  std::vector<std::thread> threads;
  std::vector<int> hits(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        std::string url = "http://host" + std::to_string(i) + ".example.com/x";
        URLLIST_EXPLODED_URL *u = urllist_explode_charset(url.data(), nullptr, 1, 0, nullptr);
        if (urllist_lookup_data(list.l, u, nullptr) == 0) ++hits[static_cast<size_t>(t)];
        urllist_free_urllist_exploded_url(u);
      }
    });
  for (auto &th : threads) th.join();
  for (int h : hits) EXPECT_EQ(h, 200);
}
