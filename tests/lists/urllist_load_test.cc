#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/base/kxfile.h"
#include "lib/runtime/kxtime.h"
#include "lib/lists/urllist.h"
#include "lib/lists/urllist_lookup.h"
#include "tests/fixtures/tmpdir.h"

namespace {

constexpr time_t kNow = 1700000000;

myhash_t hash(const char *s) {
  myhash_t h;
  urllist_hash(s, static_cast<int>(strlen(s)), &h);
  return h;
}

// Runs each test in a fresh temporary folder.
class UrlListLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    current_time.store(kNow);
    ASSERT_TRUE(cwd_.ok());
    l_ = urllist_initialize(URLLIST_FLAG_NONE);
    ASSERT_NE(l_, nullptr);
  }
  void TearDown() override {
    urllist_terminate(l_);
  }

  static void write(const char *name, const std::string &text) {
    std::ofstream f(name, std::ios::binary);
    f << text;
  }

  // Action of the entry governing url ("-" when none): the action's name,
  // with the categories or the text for those actions.
  std::string look(const std::string &url, URLLIST *l = nullptr) {
    if (l == nullptr) l = l_;
    std::string text = url;
    int logged = url.find("://") != std::string::npos ? 1 : 0;
    URLLIST_EXPLODED_URL *u = urllist_explode_charset(text.data(), nullptr, logged, 0, nullptr);
    if (u == nullptr) return "explode failed";
    void *data = nullptr;
    std::string r = "-";
    if (urllist_lookup_data(l, u, &data) == 0) {
      auto *d = static_cast<URLLIST_ITEM_DATA *>(data);
      r = urllist_action_name(d);
      if (d->action == UA_TEXT) r += std::string(" ") + static_cast<const char *>(d->action_data);
      if (d->action == UA_CATEGORY) {
        auto *c = static_cast<const cat_t *>(d->action_data);
        for (uint32_t i = 0; i < c->num; ++i) r += (i == 0 ? " " : ",") + std::to_string(c->catnums[i]);
      }
    }
    urllist_free_urllist_exploded_url(u);
    return r;
  }

  TempDir dir_{"urllist_load"};
  CurrentDir cwd_{dir_.path()};
  URLLIST *l_ = nullptr;
};

}  // namespace

TEST_F(UrlListLoad, AddResultCodes) {
  struct {
    const char *url, *type, *act, *args;
    int want;
  } cases[] = {
      {"a.example", "U", "Z", nullptr, URLLIST_ERROR_ACTION},
      {"a.example", "U", "C", "x", URLLIST_ERROR_ACTION},
      {"a.example", "X", "D", nullptr, URLLIST_ERROR_TYPE},
      {"/(/", "R", "D", nullptr, URLLIST_ERROR_REGEXP},
      // Repetitions whose compiled form would take gigabytes are refused.
      {"/a++++++++++++++++++++++++++++++++++++++++/", "R", "D", nullptr, URLLIST_ERROR_REGEXP},
      {"/((a{100}){100}){100}/", "R", "D", nullptr, URLLIST_ERROR_REGEXP},
      // A back-reference makes every lookup's match exponential in the URL.
      {"/(a*)*b\\1/", "R", "D", nullptr, URLLIST_ERROR_REGEXP},
      {"/^(ads|track)+[0-9]{2,3}[.](gif|png)$/", "R", "D", nullptr, 0},
      {"/x{200}y+z*/", "R", "D", nullptr, 0},
      {"zz", "D", "D", nullptr, URLLIST_ERROR_URLEXPLODE},
      {"nosuchtype", "T", "D", nullptr, URLLIST_ERROR_EVENTTYPE},
      {"http:///x", "U", "D", nullptr, URLLIST_ERROR_URLEXPLODE},
      {"/x/", "Q", "D", nullptr, URLLIST_ERROR_URLEXPLODE},
      {"?q", "P", "D", nullptr, URLLIST_ERROR_URLEXPLODE},
      {"a.example", "U", "D", nullptr, 0},
      {"dup", "K", "D", nullptr, 0},
      {"dup", "K", "A", nullptr, 0},  // duplicate: 0, the first stays
  };
  for (const auto &c : cases)
    EXPECT_EQ(urllist_add(l_, c.url, c.type, c.act, c.args, 0), c.want) << c.url << " " << c.type << " " << c.act;
  EXPECT_EQ(urllist_add(nullptr, "a", "U", "D", nullptr, 0), URLLIST_ERROR_NULL);
  EXPECT_EQ(urllist_add(l_, nullptr, "U", "D", nullptr, 0), URLLIST_ERROR_NULL);
  EXPECT_EQ(urllist_add(l_, "a", "U", nullptr, nullptr, 0), URLLIST_ERROR_NULL);
  EXPECT_EQ(look("http://x.example/dup"), "deny");
  EXPECT_EQ(l_->total_count, static_cast<int>(std::size(cases)));
}

TEST_F(UrlListLoad, GuessesTheKindWithoutATypeWord) {
  ASSERT_EQ(urllist_add(l_, "|ab+c|", nullptr, "T", "R", 0), 0);
  ASSERT_EQ(urllist_add(l_, "http://g.example/p", nullptr, "T", "U", 0), 0);
  ASSERT_EQ(urllist_add(l_, ".zip", "", "T", "E", 0), 0);
  ASSERT_EQ(urllist_add(l_, "word", nullptr, "T", "K", 0), 0);
  EXPECT_EQ(l_->loaded_regexp_count, 1);
  EXPECT_EQ(l_->loaded_url_count, 1);
  EXPECT_EQ(l_->loaded_ext_count, 1);
  EXPECT_EQ(l_->loaded_keyword_count, 1);
  EXPECT_EQ(look("http://x.example/abbc"), "text R");
  EXPECT_EQ(look("http://g.example/p/q"), "text U");
  EXPECT_EQ(look("http://x.example/f.ZIP"), "text E");
  EXPECT_EQ(look("http://x.example/sword"), "text K");
}

TEST_F(UrlListLoad, TreeShapes) {
  ASSERT_EQ(urllist_add(l_, "host.example.com", "U", "N", nullptr, 0), 0);
  EXPECT_EQ(l_->loaded_url_count, 1);
  URLLIST_ITEM *w = l_->root.wildcard_child;
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->hash.city, wildcard_hash.city);
  EXPECT_EQ(w->itemtype, UP_PROTO);
  ASSERT_NE(w->child, nullptr);
  EXPECT_EQ(w->child->hash.city, hash("com").city);
  ASSERT_NE(w->child->child, nullptr);
  URLLIST_ITEM *example = w->child->child;
  EXPECT_EQ(example->hash.city, hash("example").city);
  ASSERT_NE(example->child, nullptr);
  EXPECT_EQ(example->child->hash.city, hash("host").city);
  ASSERT_NE(example->child->data, nullptr);
  EXPECT_EQ(example->child->data->action, UA_NONE);
  EXPECT_EQ(example->data, nullptr);

  ASSERT_EQ(urllist_add(l_, "*.example.com", "U", "D", nullptr, 0), 0);
  ASSERT_NE(example->wildcard_child, nullptr);
  EXPECT_EQ(example->wildcard_child->hash.city, wildcard_hash.city);

  ASSERT_EQ(urllist_add(l_, "example.com:8000-8080/x", "U", "D", nullptr, 0), 0);
  ASSERT_EQ(urllist_add(l_, "example.com/x", "U", "D", nullptr, 0), 0);
  URLLIST_ITEM *port = nullptr;
  for (URLLIST_ITEM *n = example->child; n != nullptr; n = n->high)
    if (n->itemtype == UP_PORT) port = n;
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->port_lower, 8000);
  EXPECT_EQ(port->port_upper, 8080);
  EXPECT_STREQ(port->item, "8000-8080");
  ASSERT_NE(example->wildcard_child, nullptr);

  ASSERT_EQ(urllist_add(l_, "Example.com/Path", "Uc", "D", nullptr, 0), 0);
  // The all-ports wildcard is kept apart from the label wildcard.
  URLLIST_ITEM *portwild = example->wildcard_child->high;
  ASSERT_NE(portwild, nullptr);
  EXPECT_EQ(portwild->itemtype, UP_PORT);
  EXPECT_STREQ(portwild->item, "0-65535");
  ASSERT_NE(portwild->nocase_child, nullptr);
  EXPECT_EQ(portwild->nocase_child->hash.city, hash("path").city);
  EXPECT_EQ(portwild->nocase_child->nocase, 1);

  ASSERT_EQ(urllist_add(l_, "/ads/", "P", "D", nullptr, 0), 0);
  ASSERT_NE(l_->path_root.child, nullptr);
  EXPECT_EQ(l_->path_root.child->hash.city, hash("ads").city);
  ASSERT_EQ(urllist_add(l_, "?utm_source", "Q", "D", nullptr, 0), 0);
  ASSERT_NE(l_->query_root.queryhead, nullptr);
  ASSERT_EQ(l_->query_root.queryhead->querylist.size(), 1u);
  EXPECT_EQ(l_->query_root.queryhead->querylist[0]->names, 1);
  EXPECT_EQ(l_->loaded_path_count, 1);
  EXPECT_EQ(l_->loaded_query_count, 1);
}

// Height of a sibling tree, checking on the way that it is ordered by hash,
// its parent links are right and every node is balanced as it says.
int checked_height(const URLLIST_ITEM *n, const URLLIST_ITEM *parent, uint64_t lo, uint64_t hi, int *bad) {
  if (n == nullptr) return 0;
  const auto h = static_cast<uint64_t>(n->hash.city);
  if (n->parent != parent || h < lo || h > hi) ++*bad;
  int low = checked_height(n->low, n, lo, h == 0 ? 0 : h - 1, bad);
  int high = checked_height(n->high, n, h + 1, hi, bad);
  UL_DISBALANCE want = low > high ? ULD_LOW : low < high ? ULD_HIGH : ULD_NONE;
  if (low - high > 1 || high - low > 1 || n->disbalance != want) ++*bad;
  return 1 + std::max(low, high);
}

TEST_F(UrlListLoad, SiblingTreesStayBalancedAndFindEverything) {
  // Ascending, descending and shuffled insertions take every rotation.
  std::vector<int> order(3000);
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::vector<std::vector<int>> orders{order, {order.rbegin(), order.rend()}, order};
  std::mt19937 rng(7);
  std::shuffle(orders[2].begin(), orders[2].end(), rng);
  for (const auto &o : orders) {
    urllist_terminate(l_);
    l_ = urllist_initialize(URLLIST_FLAG_NONE);
    ASSERT_NE(l_, nullptr);
    for (int i : o)
      ASSERT_EQ(urllist_add(l_, (std::string("h") += std::to_string(i) += ".example.com").c_str(), "U", "D", nullptr, 0), 0);
    URLLIST_ITEM *example = l_->root.wildcard_child->child->child;
    ASSERT_NE(example, nullptr);
    const URLLIST_ITEM *top = example->child;
    int bad = 0;
    int height = checked_height(top, top->parent, 0, UINT64_MAX, &bad);
    EXPECT_EQ(bad, 0);
    EXPECT_LE(height, 17);  // an AVL tree of 3000 nodes is at most 1.44 log2(3001) high
    for (int i = 0; i < 3000; i += 7) EXPECT_EQ(look("http://h" + std::to_string(i) + ".example.com/"), "deny") << i;
    EXPECT_EQ(look("http://h3000.example.com/"), "-");
  }
}

TEST_F(UrlListLoad, IpEntriesGoToTheirSchemesLists) {
  ASSERT_EQ(urllist_add(l_, "10.0.0.0-10.0.0.255", "U", "D", nullptr, 0), 0);
  ASSERT_NE(l_->wildcard_iplist, nullptr);
  kx_ipaddr net{};
  net.family = AF_INET;
  inet_pton(AF_INET, "10.0.0.0", &net.addr.ip);
  auto *item = static_cast<URLLIST_ITEM *>(iplist_find_exact_data(l_->wildcard_iplist, &net, 24));
  ASSERT_NE(item, nullptr);
  EXPECT_STREQ(item->item, "10.0.0.0-10.0.0.255");

  ASSERT_EQ(urllist_add(l_, "http://10.0.0.5", "U", "A", nullptr, 0), 0);
  iphead *http = urllist_find_iplist_for_scheme(l_, "http");
  ASSERT_NE(http, nullptr);
  kx_ipaddr one{};
  one.family = AF_INET;
  inet_pton(AF_INET, "10.0.0.5", &one.addr.ip);
  EXPECT_NE(iplist_find_exact_data(http, &one, 32), nullptr);
  EXPECT_EQ(urllist_find_iplist_for_scheme(l_, "https"), nullptr);

  // The longest IPv6 text in brackets is kept whole.
  const char *longest = "[ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.254]";
  ASSERT_EQ(urllist_add(l_, longest, "U", "T", "V6", 0), 0);
  std::string url = std::string("http://") + longest + "/x";
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(url.data(), nullptr, 1, 0, nullptr);
  ASSERT_NE(u, nullptr);
  char *text = nullptr;
  ASSERT_EQ(urllist_lookup_diag(l_, u, nullptr, &text), 0);
  EXPECT_STREQ(text, longest);
  free(text);
  urllist_free_urllist_exploded_url(u);

  // A reversed IPv4 range is put in order.
  ASSERT_EQ(urllist_add(l_, "192.0.2.20-192.0.2.10", "U", "A", nullptr, 0), 0);
  EXPECT_EQ(look("http://192.0.2.15/"), "allow");
  EXPECT_EQ(look("http://192.0.2.21/"), "-");
}

TEST_F(UrlListLoad, RangeBlockWithoutActionIsNoMatch) {
  // 10.0.0.1 has a replace chain; the range 10.0.0.1-10.0.0.2 splits into
  // two blocks, and its chain moves onto the existing entry of the first.
  ASSERT_EQ(urllist_add(l_, "10.0.0.1", "U", "R", "a b", 0), 0);
  ASSERT_EQ(urllist_add(l_, "10.0.0.1-10.0.0.2", "U", "R", "c d", 0), 0);
  ASSERT_EQ(urllist_add(l_, "*", "N", "D", nullptr, 0), 0);
  EXPECT_EQ(look("http://10.0.0.2/"), "deny");  // the default, not an entry without data
  std::string url = "http://10.0.0.1/";
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(url.data(), nullptr, 1, 0, nullptr);
  void *d = nullptr;
  ASSERT_EQ(urllist_lookup_data(l_, u, &d), 0);
  auto *data = static_cast<URLLIST_ITEM_DATA *>(d);
  ASSERT_EQ(data->action, UA_REGREPLACE);
  auto *chain = static_cast<RegRData *>(data->action_data);
  ASSERT_NE(chain, nullptr);
  ASSERT_NE(chain->next, nullptr);
  EXPECT_STREQ(chain->next->regexp, "c");
  urllist_free_urllist_exploded_url(u);
}

TEST_F(UrlListLoad, ReplaceChainsGrowAndLaterEntriesOverride) {
  ASSERT_EQ(urllist_add(l_, "example.com", "U", "R", "a x", 0), 0);
  ASSERT_EQ(urllist_add(l_, "example.com", "U", "R", "b y", kNow + 50), 0);
  ASSERT_EQ(urllist_add(l_, "example.com", "U", "R", "c z", kNow + 60), 0);
  std::string url = "http://example.com/";
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(url.data(), nullptr, 1, 0, nullptr);
  void *d = nullptr;
  ASSERT_EQ(urllist_lookup_data(l_, u, &d), 0);
  auto *data = static_cast<URLLIST_ITEM_DATA *>(d);
  int n = 0;
  for (auto *r = static_cast<RegRData *>(data->action_data); r != nullptr; r = r->next) ++n;
  EXPECT_EQ(n, 3);
  EXPECT_EQ(data->ttl, kNow + 60);
  urllist_free_urllist_exploded_url(u);
  ASSERT_EQ(urllist_add(l_, "example.com", "U", "A", nullptr, 0), 0);
  EXPECT_EQ(look("http://example.com/"), "allow");
}

TEST_F(UrlListLoad, TimesToLiveBeyondThirtyTwoBits) {
  time_t far = static_cast<time_t>(INT_MAX) + 1000;
  current_time.store(static_cast<time_t>(INT_MAX) + 10);
  cat_t *c = cat_new();
  cat_add(c, 4);
  ASSERT_EQ(urllist_add_category(l_, "far.example", "U", c, far), 0);
  ASSERT_EQ(urllist_add_category(l_, "past.example", "U", c, static_cast<time_t>(INT_MAX)), 0);
  cat_free(c);
  EXPECT_EQ(look("http://far.example/"), "category 4");
  EXPECT_EQ(look("http://past.example/"), "-");
}

TEST_F(UrlListLoad, FileHints) {
  const std::string body =
      "# comment\n"
      "\n"
      "one.example\n"
      "a.example 1\n"
      "b.example 0\n"
      "c.example U A\n"
      "d.example U C\n"
      "e.example U A x\n"
      "f.example U C 5\n"
      "g.example U T hello world\n";
  write("list.txt", body);
  struct {
    int hint;
    std::vector<std::pair<const char *, const char *>> want;
  } cases[] = {
      {URLLIST_FILE_HINT_ALL_DENY,
       {{"one.example", "-"}, {"a.example", "deny"}, {"c.example", "deny"}, {"f.example", "deny"}}},
      {URLLIST_FILE_HINT_ALL_ALLOW, {{"a.example", "allow"}, {"d.example", "allow"}, {"g.example", "allow"}}},
      {URLLIST_FILE_HINT_ALLOW_DENY,
       {{"a.example", "allow"},
        {"b.example", "deny"},
        {"c.example", "allow"},
        {"d.example", "-"},
        {"e.example", "allow"},
        {"f.example", "-"},
        {"g.example", "-"}}},
      {URLLIST_FILE_HINT_ONLY_CATEGORY,
       {{"a.example", "category 1"}, {"b.example", "category 0"}, {"c.example", "-"}, {"f.example", "category 5"}}},
      {URLLIST_FILE_HINT_ALL_URL, {{"a.example", "category 1"}, {"c.example", "allow"}, {"f.example", "category 5"}}},
      {0,
       {{"a.example", "category 1"},
        {"b.example", "category 0"},
        {"c.example", "allow"},
        {"g.example", "text hello world"}}},
  };
  for (const auto &c : cases) {
    URLLIST *l = urllist_initialize(URLLIST_FLAG_NONE);
    ASSERT_EQ(urllist_add_file(l, "list.txt", c.hint), 0);
    for (const auto &[host, want] : c.want) {
      EXPECT_EQ(look(std::string("http://") + host + "/", l), want) << "hint " << c.hint << " " << host;
    }
    urllist_terminate(l);
  }
  EXPECT_EQ(urllist_add_file(l_, "missing.txt", 0), URLLIST_ERROR_FILE);
  EXPECT_EQ(urllist_add_file(l_, nullptr, 0), URLLIST_ERROR_NULL);
  EXPECT_EQ(urllist_add_file(nullptr, "list.txt", 0), URLLIST_ERROR_NULL);
}

TEST_F(UrlListLoad, CategoryLinesReplaceAndDigitFieldsAreSkipped) {
  write("cats.txt",
        "example.com 1\n"
        "example.com 2\n"
        "site.example 5 12,14\n");
  // As URL entries the later line replaces the earlier one.
  ASSERT_EQ(urllist_add_file(l_, "cats.txt", URLLIST_FILE_HINT_ALL_URL), 0);
  EXPECT_EQ(look("http://example.com/"), "category 2");
  EXPECT_EQ(look("http://site.example/"), "category 12,14");
  // Without a hint such items are guessed to be keywords: the first stays.
  URLLIST *kw = urllist_initialize(URLLIST_FLAG_NONE);
  ASSERT_EQ(urllist_add_file(kw, "cats.txt", 0), 0);
  EXPECT_EQ(kw->loaded_keyword_count, 2);
  EXPECT_EQ(look("http://example.com/", kw), "category 1");
  EXPECT_EQ(look("http://site.example/", kw), "category 12,14");
  urllist_terminate(kw);
}

TEST_F(UrlListLoad, EveryEntryTypePlainAndHashed) {
  write("plain.txt",
        "http://example.com/a U D\n"
        "https://secure.example.org U A\n"
        "http://example.com:8080/p?q=1 U C 5\n"
        "http://example.com/b?x&y U T both\n"
        "http://example.com/CaSe Uc T nocase\n"
        "ftp S T scheme\n"
        "/ads/ P T path\n"
        "?utm_source Q T query\n"
        "|^http://re\\.example/| R T re\n"
        "/SHOUT/ Rc T re-nocase\n"
        ".exe E T ext\n"
        "word K T kw\n"
        "whole W T whole\n"
        "big+cat k T phrase\n"
        "red+dog w T wphrase\n"
        "virus T T event\n"
        "10.1.0.0-10.1.0.255 U T range\n"
        "* N T default\n");
  ASSERT_EQ(urllist_add_file(l_, "plain.txt", 0), 0);
  EXPECT_EQ(l_->loaded_count, 18);
  EXPECT_EQ(l_->total_count, 18);
  struct {
    const char *url, *want;
  } cases[] = {
      {"http://example.com/a/z", "deny"},
      {"https://secure.example.org/", "allow"},
      {"http://example.com:8080/p?q=1&r=2", "category 5"},
      {"http://example.com:8080/p?q=2", "text default"},
      {"http://example.com/b?y=1&x=2", "text both"},
      {"http://example.com/cAsE", "text nocase"},
      {"ftp://files.example/x", "text scheme"},
      {"http://any.example/ads/1", "text path"},
      {"http://any.example/x?utm_source=a", "text query"},
      {"http://re.example/x", "text re"},
      {"http://x.example/ShOuT", "text re-nocase"},
      {"http://x.example/setup.exe", "text ext"},
      {"http://x.example/swordfish", "text kw"},
      {"http://x.example/a/whole/b", "text whole"},
      {"http://x.example/wholesale", "text default"},
      {"http://x.example/cat/big", "text phrase"},
      {"http://x.example/dog+red", "text wphrase"},
      {"http://10.1.0.77/", "text range"},
      {"http://nothing.example/", "text default"},
  };
  for (const auto &c : cases) EXPECT_EQ(look(c.url), c.want) << c.url;
  void *d = nullptr;
  EXPECT_EQ(urllist_lookup_num_data(l_, 3, &d), 0);

  // The dump writes the entries with a scheme as hashed lines that load back.
  FILE *f = fopen("dump.txt", "w");
  ASSERT_NE(f, nullptr);
  urllist_dump_file(l_, f);
  fclose(f);
  std::ifstream in("dump.txt");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string dump = ss.str();
  EXPECT_NE(dump.find(" Uh D\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find(" Uh C 5\n"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("example"), std::string::npos) << dump;
  auto hex = [](const char *t) {
    myhash_t h = hash(t);
    char buf[17];
    urllist_hash2str(&h, buf, sizeof buf);
    return std::string(buf);
  };
  const std::string first = hex("http") + "://" + hex("example") + "." + hex("com") + ":" + hex("80") + "/" + hex("a") + " Uh D\n";
  EXPECT_NE(dump.find(first), std::string::npos) << dump;
  const std::string query = hex("http") + "://" + hex("example") + "." + hex("com") + ":" + hex("8080") + "/" +
                            hex("p") + "?" + hex("q=1") + " Uh C 5\n";
  EXPECT_NE(dump.find(query), std::string::npos) << dump;
  URLLIST *hashed = urllist_initialize(URLLIST_FLAG_NONE);
  ASSERT_EQ(urllist_add_file(hashed, "dump.txt", 0), 0);
  EXPECT_EQ(hashed->loaded_count, hashed->total_count);
  for (const char *url : {"http://example.com/a/z", "https://secure.example.org/", "http://example.com:8080/p?q=1&r=2",
                          "http://example.com/b?y=1&x=2"})
    EXPECT_EQ(look(url, hashed), look(url)) << url;
  urllist_terminate(hashed);
}

TEST_F(UrlListLoad, BrokenAndHostileFilesLoadWhatTheyCan) {
  std::string body;
  body += "bad.example U Z\n";
  body += "/(/ R D\n";
  body += "x.example Y D\n";
  body += "zz D D\n";
  body += "nosuch T D\n";
  body += "0.0.0.1-255.255.255.254 U D\n";
  body += "[::1-\n";
  body += "[::1-::5] U D\n";
  body += "? Q D\n";
  body += "x.example U C\n";
  body += "x.example U H 5 abc\n";
  body += std::string(200000, 'a') + " U D\n";
  std::string deep = "deep.example";
  for (int i = 0; i < 7000; ++i) deep += "/s" + std::to_string(i);
  body += deep + " U A\n";
  std::string labels;
  for (int i = 0; i < 3000; ++i) (labels += 'l') += std::to_string(i) += '.';
  body += labels + "example U A\n";
  std::string query = "q.example/p?";
  for (int i = 0; i < 6000; ++i) (query += 'k') += std::to_string(i) += "=v&";
  body += query + " U A\n";
  body += "((((((((((((((((((((a))))))))))))))))))) R D\n";
  body += std::string("\x01\x02\xff\xfe U D\n");
  body += "good.example U A";  // no final newline
  write("broken.txt", body);
  ASSERT_EQ(urllist_add_file(l_, "broken.txt", 0), 0);
  EXPECT_EQ(look("http://deep.example/s0/s1/s2"), "-");
  EXPECT_EQ(look("http://[::3]/"), "deny");
  EXPECT_EQ(look("http://" + labels + "example/"), "allow");
  EXPECT_LT(l_->loaded_count, l_->total_count);

  // A deep range entry is copied under a more specific address.
  std::string deeprange = "10.9.0.0-10.9.0.255";
  for (int i = 0; i < 6000; ++i) deeprange += "/d";
  ASSERT_EQ(urllist_add(l_, deeprange.c_str(), "U", "D", nullptr, 0), 0);
  ASSERT_EQ(urllist_add(l_, "10.9.0.7/other", "U", "A", nullptr, 0), 0);
  EXPECT_EQ(look("http://10.9.0.7/other"), "allow");
  EXPECT_EQ(look("http://10.9.0.7" + deeprange.substr(strlen("10.9.0.0-10.9.0.255"))), "deny");

  // The dump of a very deep entry stays within its buffer.
  std::string longest = "http://long.example";
  for (int i = 0; i < 3000; ++i) longest += "/segment";
  ASSERT_EQ(urllist_add(l_, longest.c_str(), "U", "D", nullptr, 0), 0);
  FILE *f = fopen("dump.txt", "w");
  ASSERT_NE(f, nullptr);
  urllist_dump_file(l_, f);
  fclose(f);
  EXPECT_GT(file_size("dump.txt"), 3000 * 17);
}

TEST_F(UrlListLoad, BufferPiecesMakeLines) {
  char *buf = nullptr;
  int size = 0;
  ASSERT_EQ(urllist_add_buffer(l_, "a.example U A\nb.exa", &buf, &size, 0), 0);
  EXPECT_EQ(look("http://a.example/"), "allow");
  EXPECT_EQ(look("http://b.example/"), "-");
  EXPECT_EQ(std::string(buf, static_cast<size_t>(size)), "b.exa");
  ASSERT_EQ(urllist_add_buffer(l_, "mple U D\r\n# note\n\nc.example U A\n", &buf, &size, 0), 0);
  EXPECT_EQ(look("http://b.example/"), "deny");
  EXPECT_EQ(look("http://c.example/"), "allow");
  EXPECT_EQ(size, 0);
  free(buf);
  EXPECT_EQ(urllist_add_line(l_, "d.example U A", 0), 0);
  EXPECT_EQ(urllist_add_line(l_, "only-one-field", 0), 0);
  EXPECT_EQ(look("http://d.example/"), "allow");
}

TEST_F(UrlListLoad, CallbacksSeeTheirEntries) {
  struct Seen {
    int urls = 0, actions = 0;
  } seen;
  urllist_set_addcallback(
      l_, [](void *d, URLLIST_EXPLODED_URL *) { return ++static_cast<Seen *>(d)->urls; }, &seen);
  urllist_set_add_action_callback(
      l_, [](void *d, URLLIST_ITEM_DATA *) { return ++static_cast<Seen *>(d)->actions > 2 ? -1 : 0; }, &seen);
  EXPECT_EQ(urllist_add(l_, "a.example", "U", "A", nullptr, 0), 0);
  EXPECT_EQ(urllist_add(l_, "word", "K", "A", nullptr, 0), 0);
  EXPECT_EQ(urllist_add(l_, "b.example", "U", "A", nullptr, 0), URLLIST_ERROR_MEMORY);
  EXPECT_EQ(seen.urls, 2);
  EXPECT_EQ(seen.actions, 3);
  EXPECT_EQ(look("http://b.example/"), "allow");  // the entry stays
  int offset = 0, number = 0;
  std::string url = "http://a.example/x/y";
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(url.data(), nullptr, 1, 0, nullptr);
  EXPECT_EQ(urllist_parent_url_path_offset_number(u, &offset, &number), 0);
  EXPECT_EQ(offset, 4);
  EXPECT_EQ(number, 2);
  urllist_free_urllist_exploded_url(u);
}

TEST_F(UrlListLoad, LogTextsOfFailedLines) {
  struct {
    const char *line;
    int hint;
    std::vector<std::string> want;
  } cases[] = {
      {"a.example U Z", 0,
       {"urllist_add: failed to add url 'a.example' unknown action 'Z'\n",
        "urllist_add_file: failed to add item 'a.example' type: 'U' action: 'Z'\n"}},
      {"a.example U C x", 0,
       {"urllist_add: failed to add url 'a.example' bad action argument 'x' for action 'C'\n",
        "urllist_add_file: failed to add item 'a.example' type: 'U' action: 'C x'\n"}},
      {"http:///x U D", 0,
       {"urllist_add: failed to add url 'http:///x'\n",
        "urllist_add_file: failed to add item 'http:///x' type: 'U' action: 'D'\n"}},
      {"a.example x", 0, {"urllist_add_file: failed to add url 'a.example' with categories 'x'\n"}},
      {"dup 1", 0, {}},
      {"dup 2", 0, {"urllist_add: Duplicate keyword entry 'dup'\n"}},
  };
  for (const auto &c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(urllist_add_line(l_, c.line, c.hint), 0);
    std::string got = ::testing::internal::GetCapturedStderr();
    std::string want;
    for (const auto &w : c.want) want += w;
    EXPECT_EQ(got, want) << c.line;
  }
}
