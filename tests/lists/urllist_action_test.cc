#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/runtime/kxtime.h"
#include "lib/lists/urllist_action.h"

namespace {

// One parsed entry, freed at scope end.
struct Entry {
  URLLIST_ITEM_DATA d{};
  UrlAction parsed;
  Entry(const char *word, const char *args) {
    d.refcount = 1;
    parsed = urllist_action_parse_action(word, args, &d.action_data);
    d.action = parsed;
  }
  ~Entry() {
    if (parsed != UA_UNKNOWN && parsed != UA_ERROR) urllist_action_data_free(&d);
  }
  // Result code and rewritten URL ("" when none).
  std::pair<int, std::string> apply(const char *url) {
    char *out = nullptr;
    int rc = urllist_action_process_action(&d, nullptr, url, &out, nullptr);
    std::string s = out ? out : "";
    free(out);
    return {rc, s};
  }
  std::string dump() {
    char buf[512];
    urllist_action_dump_action(&d, buf, sizeof buf);
    return buf;
  }
};

using R = std::pair<int, std::string>;

// Captures what the module logs to standard error (no log files in tests).
struct StderrCapture {
  char path[32] = "/tmp/kxactXXXXXX";
  int saved = -1, fd = -1;
  StderrCapture() {
    fd = mkstemp(path);
    fflush(stderr);
    saved = dup(2);
    dup2(fd, 2);
  }
  std::string finish() {
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return s;
  }
};

}  // namespace

TEST(Action, QueryModificationTable) {
  struct {
    const char *word, *args, *url;
    R want;
  } cases[] = {
      {"Qa", "name=value", "/p", {4, "/p?name=value"}},
      {"Q", "name=value", "/p", {-1, ""}},
      {"Q", "-utm=", "/p?a=1&utm=2", {4, "/p?a=1"}},
      {"Q", "-utm=", "/p?utm=2", {4, "/p?"}},
      {"Q", "-utm=", "/p?utm=2&a=1", {4, "/p?a=1"}},
      {"Q", "-utm", "/p?x=1&utm=2&y=3", {4, "/p?x=1&y=3"}},
      {"Q", "+a=1", "/?a=1", {-1, ""}},
      {"Q", "+a=1", "/?a=2", {4, "/?a=1"}},
      {"Q", "a=1", "/?b=2", {4, "/?b=2&a=1"}},
      {"Q", "a=1 b=2", "/?", {4, "/?a=1&b=2"}},
      {"Q", "-a=1", "/?a=2", {-1, ""}},
      {"Q", "-a=1", "/?a=1&a=2", {4, "/?a=2"}},
      {"Q", "+a=1 +a=2", "/?a=2&a=3&a=1", {4, "/?a=2&a=1"}},
      // A parameter ends at a '&' that comes before the next '='.
      {"Q", "-flag", "/?flag&utm=2", {4, "/?utm=2"}},
      {"Q", "-utm", "/?flag&utm=2", {4, "/?flag"}},
      {"Q", "-flag", "/?utm=2&flag", {4, "/?utm=2"}},
      {"Q", "-x", "/?a=1&&b=2", {-1, ""}},
      {"Qa", "-x", "/p", {-1, ""}},
  };
  for (const auto &c : cases) {
    Entry e(c.word, c.args);
    ASSERT_EQ(e.parsed, UA_MODQUERY) << c.args;
    EXPECT_EQ(e.apply(c.url), c.want) << c.args << " on " << c.url;
  }
}

TEST(Action, QueryModificationParsing) {
  StderrCapture cap;
  Entry bare("Q", "name");
  std::string log = cap.finish();
  EXPECT_EQ(bare.parsed, UA_ERROR);
  EXPECT_NE(log.find("urllist: query modification for adding 'name' has no value, ignored\n"), std::string::npos);

  std::string many;
  for (int i = 0; i < 65; ++i) many += (i ? " p" : "p") + std::to_string(i) + "=1";
  StderrCapture cap2;
  Entry e("Q", many.c_str());
  log = cap2.finish();
  ASSERT_EQ(e.parsed, UA_MODQUERY);
  EXPECT_NE(log.find("urllist: too many query modifications (65) in '" + many + "', truncate to 64\n"),
            std::string::npos);
  auto *q = static_cast<QModData *>(e.d.action_data);
  EXPECT_EQ(q->num, 64);

  Entry m("Qa", "+a=1 -b a=2 -c=");
  auto *qm = static_cast<QModData *>(m.d.action_data);
  ASSERT_EQ(qm->num, 4);
  EXPECT_EQ(qm->options, URLLIST_QM_OP_ADDQUERY);
  EXPECT_EQ(qm->items[0].flags, URLLIST_QM_MORE_VALUES);
  EXPECT_EQ(qm->items[1].flags, URLLIST_QM_DELETE | URLLIST_QM_NAME_ONLY);
  EXPECT_EQ(qm->items[2].flags, 0);
  EXPECT_EQ(qm->items[3].name_len, 1);
  EXPECT_EQ(m.dump(), "Qa +a=1 -b a=2 -c=");
  EXPECT_EQ(Entry("QA", "a=1").dump(), "Q a=1");  // only a lower-case a adds queries
}

TEST(Action, ReplaceActions) {
  struct {
    const char *word, *args, *url;
    R want;
  } cases[] = {
      {"S", "ab x", "abab", {4, "xx"}},
      {"S", "ab x", "cd", {-1, ""}},
      {"S", "a aa", "aaa", {4, "aaaaaa"}},  // replaced text is never searched again
      {"S", "ab  ignored", "xaby", {4, "xy"}},
      {"R", "q=([^&]*) $1", "/s?q=a+b&x", {4, "a+b"}},
      {"Ru", "q=([^&]*) $1", "/s?q=a+b&x", {4, "a b"}},
      {"RU", "q=([^&]*) $1", "/s?q=a%41&x", {4, "aA"}},
      {"Rb", "q=([^&]*) $1", "/s?q=aGVsbG8=&x", {4, "hello"}},
      {"R", "q=([^&]*) $5", "/s?q=a&x", {-1, ""}},
      {"R", "q=([^&]*) <$1>$$x$", "/s?q=a", {4, "<a>$$x$"}},
      {"R", "(x)? [$1]", "abc", {4, "[]"}},
      {"R", "^(.*)$ $1", "same", {-1, ""}},
      {"R", "zzz $0", "abc", {-1, ""}},
      {"R", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)(o)(p)(q)(r)(s)(t) $1", "abcdefghijklmnopqrst", {-1, ""}},
      {"R", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)(o)(p)(q)(r)(s) $19$10", "abcdefghijklmnopqrs", {4, "sj"}},
  };
  for (const auto &c : cases) {
    Entry e(c.word, c.args);
    ASSERT_NE(e.parsed, UA_ERROR) << c.args;
    EXPECT_EQ(e.apply(c.url), c.want) << c.word << " " << c.args << " on " << c.url;
  }
}

TEST(Action, ParseTable) {
  StderrCapture cap;
  struct {
    const char *word, *args;
    UrlAction want;
  } cases[] = {
      {"N", nullptr, UA_NONE},    {"d", "x", UA_DENY},       {"A", "", UA_ALLOW},
      {"C", "5,3,5,x,7", UA_CATEGORY}, {"C", "x", UA_ERROR}, {"C", nullptr, UA_ERROR},
      {"S", "ab", UA_ERROR},      {"S", " x", UA_ERROR},     {"S", nullptr, UA_ERROR},
      {"R", "a( x", UA_ERROR},    {"R", "abc", UA_ERROR},    {"T", "", UA_ERROR},
      {"T", "some text", UA_TEXT}, {"H", "", UA_ERROR},      {"H", "5abc", UA_ERROR},
      {"H", "3 abc x", UA_ERROR}, {"H", "99999999999999999999 a", UA_ERROR},
      {"L", "12", UA_LIST},       {"L", "12x", UA_ERROR},    {"L", "", UA_LIST},
      {"L", nullptr, UA_ERROR},   {"L", "12 more", UA_LIST}, {"X", "a", UA_UNKNOWN},
      {"", "a", UA_UNKNOWN},      {nullptr, "a", UA_UNKNOWN}, {"Q", "", UA_ERROR},
  };
  for (auto c : cases) {
    Entry e(c.word, c.args);
    EXPECT_EQ(e.parsed, c.want) << (c.word ? c.word : "(null)") << " " << (c.args ? c.args : "(null)");
    if (c.want == UA_UNKNOWN || c.want == UA_ERROR) {
      EXPECT_EQ(e.d.action_data, nullptr);
    }
  }
  std::string log = cap.finish();
  EXPECT_NE(log.find("urllist: error compiling pcre \"a(\" regex \""), std::string::npos);
  EXPECT_NE(log.find("\" at char 2\n"), std::string::npos);

  Entry c("C", "5,3,5,x,7");
  auto *set = static_cast<cat_t *>(c.d.action_data);
  ASSERT_EQ(set->num, 2u);
  EXPECT_EQ(set->catnums[0], 3u);
  EXPECT_EQ(set->catnums[1], 5u);
}

TEST(Action, ResultsOfEveryAction) {
  cat_t *cat = cat_new();
  cat_add(cat, 4);
  Entry c("C", "5,3");
  EXPECT_EQ(urllist_action_process_action(&c.d, cat, nullptr, nullptr, nullptr), 3);
  EXPECT_EQ(cat->num, 3u);
  EXPECT_EQ(urllist_action_process_action(&c.d, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(urllist_action_get_category(&c.d, cat), 1);
  cat_free(cat);

  Entry a("A", nullptr), d("D", nullptr), n("N", nullptr), l("L", "12");
  EXPECT_EQ(a.apply("x").first, 1);
  EXPECT_EQ(d.apply("x").first, 2);
  EXPECT_EQ(n.apply("x").first, -1);
  EXPECT_EQ(l.apply("x").first, 6);
  EXPECT_EQ(reinterpret_cast<intptr_t>(urllist_action_get_raw_data(&l.d)), 12);
  EXPECT_EQ(urllist_action_get_category(&l.d, nullptr), 0);

  Entry t("T", "blocked page");
  EXPECT_EQ(t.apply(nullptr), (R{4, "blocked page"}));
  Entry s("S", "a b");
  char *out = nullptr;
  EXPECT_EQ(urllist_action_process_action(&s.d, nullptr, "a", nullptr, nullptr), -1);
  EXPECT_EQ(urllist_action_process_action(&s.d, nullptr, nullptr, &out, nullptr), -1);
  EXPECT_EQ(out, nullptr);

  struct {
    const char *args;
    std::vector<std::string> lines;
  } hdrs[] = {
      {"3 abc 2 de", {"abc", "de"}},
      {"X-Test: a b", {"X-Test: a b"}},
      {"3abc2de", {"abc", "de"}},
      {"0 1 x", {"", "x"}},
      {"5 12345", {"12345"}},
  };
  for (const auto &h : hdrs) {
    Entry e("H", h.args);
    ASSERT_EQ(e.parsed, UA_HEADER) << h.args;
    char **lines = nullptr;
    ASSERT_EQ(urllist_action_process_action(&e.d, nullptr, nullptr, nullptr, &lines), 5);
    std::vector<std::string> got;
    for (char **p = lines; *p; ++p) got.push_back(*p);
    free(lines);
    EXPECT_EQ(got, h.lines) << h.args;
  }
}

TEST(Action, DumpsParseBack) {
  const char *entries[][2] = {
      {"N", nullptr},          {"D", nullptr},        {"A", nullptr},     {"C", "7,3,5"},
      {"Qa", "+a=1 -b x=2"},   {"S", "ab x"},         {"R", "q=(.*) $1"}, {"Rb", "q=(.*) $1"},
      {"Ru", "q=(.*) $1"},     {"T", "a text here"},  {"H", "X-A: b c"},  {"H", "3 abc 2 de"},
      {"H", "5 12345"},        {"L", "12"},           {"L", "-3"},
  };
  for (auto &e : entries) {
    Entry first(e[0], e[1]);
    ASSERT_NE(first.parsed, UA_ERROR) << e[0];
    std::string dumped = first.dump();
    std::string word = dumped.substr(0, dumped.find(' '));
    std::string args = dumped.find(' ') == std::string::npos ? "" : dumped.substr(dumped.find(' ') + 1);
    Entry again(word.c_str(), args.c_str());
    EXPECT_EQ(again.parsed, first.parsed) << dumped;
    EXPECT_EQ(again.dump(), dumped);
  }
  EXPECT_EQ(Entry("C", "7,3,5").dump(), "C 3,5,7");
  EXPECT_EQ(Entry("L", "12").dump(), "L 12");
  EXPECT_EQ(Entry("RB", "x y").dump(), "Rb x y");
  EXPECT_EQ(Entry("H", "3 abc 2 de").dump(), "H 3 abc 2 de");
  URLLIST_ITEM_DATA odd{};
  odd.action = UA_ERROR;
  char buf[16];
  urllist_action_dump_action(&odd, buf, sizeof buf);
  EXPECT_STREQ(buf, "unknown");
  // A small buffer is cut and terminated.
  Entry t("T", "a long text that does not fit");
  urllist_action_dump_action(&t.d, buf, sizeof buf);
  EXPECT_EQ(strlen(buf), 15u);
}

TEST(Action, NamesExpiryAndAppending) {
  const char *names[] = {"no_action", "deny", "allow", "category", "modify_query", "search_replace",
                         "regexp_replace", "text", "header", "list", "unknown", "unknown"};
  for (int i = 0; i <= 11; ++i) {
    URLLIST_ITEM_DATA d{};
    d.action = static_cast<UrlAction>(i);
    EXPECT_STREQ(urllist_action_name(&d), names[i]);
  }
  time_t saved = current_time.load();
  current_time = 1000;
  URLLIST_ITEM_DATA d{};
  struct {
    time_t ttl;
    int want;
  } ttls[] = {{0, 0}, {-5, 0}, {999, 1}, {1000, 0}, {1001, 0}};
  for (auto t : ttls) {
    d.ttl = t.ttl;
    EXPECT_EQ(urllist_action_expired(&d), t.want) << t.ttl;
  }
  current_time = saved;

  Entry r1("R", "^/a(.*) A$1"), r2("R", "^/b(.*) B$1"), r3("R", "^/(.*) C$1");
  EXPECT_EQ(urllist_action_append_action_data(&r1.d, &r2.d), 1);
  EXPECT_EQ(r2.d.action_data, nullptr);
  EXPECT_EQ(urllist_action_append_action_data(&r1.d, &r3.d), 1);
  EXPECT_EQ(r1.apply("/ax"), (R{4, "Ax"}));
  EXPECT_EQ(r1.apply("/bx"), (R{4, "Bx"}));
  EXPECT_EQ(r1.apply("/cx"), (R{4, "Ccx"}));
  Entry s("S", "a b");
  EXPECT_EQ(urllist_action_append_action_data(&r1.d, &s.d), 0);
  EXPECT_NE(s.d.action_data, nullptr);
}

namespace {

// One pair decided against the items of a parsed query modification.
struct PairCase {
  const char *args, *name, *value;  // value from the '=' on, "" for none
  int removed;
  std::vector<int> used;  // items marked used
};

TEST(Action, FindModPairDecidesOnePair) {
  const PairCase cases[] = {
      {"-utm=", "utm", "=2", 1, {}},          // name-only delete
      {"-utm", "utm", "", 1, {}},
      {"-a=1", "a", "=1", 1, {}},             // delete of this value
      {"-a=1", "a", "=2", 0, {}},             // another value stays
      {"-a=1", "ab", "=1", 0, {}},            // names must match exactly
      {"+a=1", "a", "=1", 0, {0}},            // already there: kept, not added again
      {"+a=1", "a", "=2", 1, {}},             // gives way to the item's value
      {"a=1 a=2", "a", "=2", 0, {1}},         // more values: the second item holds it
      {"a=1 a=2", "a", "=3", 1, {}},
      {"-a=1 +a=2", "a", "=2", 0, {1}},       // a later item of the name is tried too
      {"-a=1 x=1", "a", "=2", 0, {}},         // the outcome of the last applicable item
      {"x=1 -a=5", "a", "=5", 1, {}},
      {"x=1", "a", "=1", 0, {}},              // no item applies
  };
  for (const PairCase &c : cases) {
    Entry e("Q", c.args);
    ASSERT_EQ(e.parsed, UA_MODQUERY) << c.args;
    bool used[MAX_QUERY_MOD] = {};
    auto *q = static_cast<QModData *>(e.d.action_data);
    EXPECT_EQ(urllist_action_find_mod_pair(q, c.name, strlen(c.name), c.value, strlen(c.value), used), c.removed)
        << c.args << " on " << c.name << c.value;
    std::vector<int> marked;
    for (int i = 0; i < MAX_QUERY_MOD; ++i)
      if (used[i]) marked.push_back(i);
    EXPECT_EQ(marked, c.used) << c.args << " on " << c.name << c.value;
  }
  bool used[MAX_QUERY_MOD] = {};
  EXPECT_EQ(urllist_action_find_mod_pair(nullptr, "a", 1, "", 0, used), 0);
}

}  // namespace
