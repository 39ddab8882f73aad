// The grouping engine: code tables, keys of rows without the group field,
// the group limit, page and file classification, counters, the written
// order of the insertion tree, category levels, time buckets and top-k.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/report/group.h"
#include "src/report/status.h"
#include "tests/engine/group_fixture.h"

namespace {

using grouptest::Row;
using grouptest::GroupRun;

std::string summary(int groupby, const std::string &fields) {
  return grouptest::join("[group]\ntype=SUMMARY\ngroupby=", std::to_string(groupby), "\nsummary=", fields, "\n");
}

// --- Code tables -------------------------------------------------------------------

TEST(GroupCodes, MappingTable) {
  struct Case {
    int code, output, source, input;
  } cases[] = {
      {5, 8, 5, 5},     {54, 8, 54, 54},  {60, 62, 5, 60},  {61, 62, 54, 61}, {19, 7, 7, 7},
      {30, 7, 7, 7},    {32, 32, 1, 32},  {46, 46, 1, 46},  {48, 48, 1, 48},  {53, 53, 1, 53},
      {70, 70, 64, 70}, {3, 3, 3, 3},     {7, 7, 7, 7},     {2, 2, 2, 2},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(group_get_output_type(c.code), c.output) << c.code;
    EXPECT_EQ(group_get_source_type(c.code), c.source) << c.code;
    EXPECT_EQ(group_get_input_type(c.code), c.input) << c.code;
  }
  struct Mask {
    int field, mask;
  } masks[] = {{9, 0}, {10, 1}, {11, 1}, {12, 2}, {15, 2}, {34, 2}, {35, 2}, {13, 3}, {14, 3},
               {16, 3}, {17, 3}, {52, 4}, {65, 8}, {66, 8}, {33, 0}, {3, 0}};
  for (const Mask &m : masks) EXPECT_EQ(group_get_analyze_mask(m.field), m.mask) << m.field;
}

TEST(GroupCodes, Comparisons) {
  int16_t a16 = -5, b16 = 3;
  EXPECT_LT(group_get_compare_func(0x02)(&a16, &b16), 0);  // int16 signed
  uint32_t a32 = 0x80000000u, b32 = 1;
  EXPECT_GT(group_get_compare_func(0x03)(&a32, &b32), 0);  // int32 unsigned
  uint8_t a8 = 200, b8 = 100;
  EXPECT_GT(group_get_compare_func(0x01)(&a8, &b8), 0);
  EXPECT_LT(group_get_compare_func(0x16)("abc", "abd"), 0);
  EXPECT_EQ(group_get_compare_func(0x16)("abc", "abc"), 0);
  kx_ipaddr v4{}, v6{};
  v4.family = AF_INET;
  v4.addr.ip = 0xFFFFFFFF;
  v6.family = AF_INET6;
  EXPECT_LT(group_get_compare_func(0x57)(&v4, &v6), 0);  // family first
  kx_ipaddr v4b = v4;
  v4b.addr.ip = 1;
  EXPECT_GT(group_get_compare_func(0x57)(&v4, &v4b), 0);
  EXPECT_EQ(group_get_compare_func(0x08)(&a8, &b8), 0);  // bit 3: no order
}

// A key value of `width` bytes at the start of a buffer whose other bytes
// (which neither the comparison nor the hash may read) are `fill`.
struct KeyBuf {
  alignas(8) unsigned char b[24];
  KeyBuf(const unsigned char *value, size_t width, unsigned char fill) {
    memset(b, fill, sizeof b);
    memcpy(b, value, width);
  }
};

TEST(GroupCodes, HashesFollowTheComparison) {
  struct Case {
    const char *name;
    int type;
    size_t width;  // bytes of the value
  } cases[] = {{"int8", 0x01, 1}, {"int16", 0x02, 2}, {"int32", 0x03, 4}, {"int64", 0x04, 8}, {"int128", 0x05, 16}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    group_hash_fn hash = group_get_hash_function(c.type);
    group_compare_fn cmp = group_get_compare_func(c.type);
    std::set<unsigned long> seen;
    for (uint64_t v = 0; v < 1000; ++v) {
      // Distinct values (odd multipliers keep them distinct in every
      // width), spread over all bytes of the value.
      const uint64_t halves[2] = {v * 0x9E3779B97F4A7C15ULL, v * 0xC2B2AE3D27D4EB4FULL};
      const auto *value = reinterpret_cast<const unsigned char *>(halves);
      KeyBuf a(value, c.width, 0x00), b(value, c.width, 0xA5);
      ASSERT_EQ(cmp(a.b, b.b), 0);
      ASSERT_EQ(hash(a.b), hash(b.b)) << v;
      seen.insert(hash(a.b));
    }
    // Distinct values spread: every byte value, and nearly every other.
    EXPECT_GE(seen.size(), c.width == 1 ? 256u : 990u);
  }
  // The values of the small integer types and of 128-bit values (the two
  // halves XOR-ed) are their own hashes.
  const uint64_t halves[2] = {0x1122334455667788ULL, 0x0F0F0F0F00000000ULL};
  KeyBuf k(reinterpret_cast<const unsigned char *>(halves), 16, 0x5A);
  EXPECT_EQ(group_get_hash_function(0x01)(k.b), 0x88u);
  EXPECT_EQ(group_get_hash_function(0x02)(k.b), 0x7788u);
  EXPECT_EQ(group_get_hash_function(0x04)(k.b), 0x1122334455667788UL);
  EXPECT_EQ(group_get_hash_function(0x05)(k.b), 0x1122334455667788UL ^ 0x0F0F0F0F00000000UL);

  // Texts by their characters, wherever they lie.
  group_hash_fn text = group_get_hash_function(0x16);
  std::set<unsigned long> texts;
  for (int i = 0; i < 1000; ++i) {
    std::string a = "user" + std::to_string(i), b = a;
    ASSERT_NE(static_cast<const void *>(a.c_str()), static_cast<const void *>(b.c_str()));
    ASSERT_EQ(text(a.c_str()), text(b.c_str())) << a;
    texts.insert(text(a.c_str()));
  }
  EXPECT_GE(texts.size(), 990u);

  // Addresses: an IPv4 address by its 32-bit value alone, whatever the
  // bytes after it hold; others by all 16 bytes.
  group_hash_fn ip = group_get_hash_function(0x57);
  group_compare_fn ipcmp = group_get_compare_func(0x57);
  std::set<unsigned long> v4, v6;
  for (uint32_t i = 0; i < 1000; ++i) {
    kx_ipaddr a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0xA5, sizeof b);
    a.family = b.family = AF_INET;
    a.addr.ip = b.addr.ip = 0x0A000000u + i * 257u;
    ASSERT_EQ(ipcmp(&a, &b), 0);
    ASSERT_EQ(ip(&a), ip(&b)) << i;
    v4.insert(ip(&a));
    kx_ipaddr c;
    memset(&c, 0, sizeof c);
    c.family = AF_INET6;
    c.addr.ip6.s6_addr[0] = 0x20;
    c.addr.ip6.s6_addr[15] = static_cast<uint8_t>(i);
    c.addr.ip6.s6_addr[9] = static_cast<uint8_t>(i >> 8);
    v6.insert(ip(&c));
  }
  EXPECT_GE(v4.size(), 990u);
  EXPECT_GE(v6.size(), 990u);
}

// --- Keys ------------------------------------------------------------------------------

TEST(GroupKeys, TextsOfEveryLengthFindTheirOwnGroups) {
  // Lengths around the index's 4, 8 and 16 first bytes: each text, the
  // same text with its last byte changed, and the text one byte longer
  // (texts that are the start of another), each counted a known number of
  // times. Lookups take copies in blocks of exactly their size, so a read
  // past a text's NUL is caught by the sanitizer builds.
  GroupRun run(summary(3, "9"));
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  GROUP_TREE *gl = run.tree(0, GROUP_MAX_GROUPS, typed);
  ASSERT_NE(gl, nullptr);
  std::vector<std::pair<std::string, int>> keys;
  const std::string base = "abcdefghijklmnopqrstuvwxyz0123456789ABCD\xC3\xA9\x7F\xFF";
  for (size_t n = 0; n <= 24; ++n) {
    std::string k = base.substr(0, n);
    keys.push_back({k, 1 + static_cast<int>(n % 3)});
    if (n) {
      std::string other = k;
      other.back() = static_cast<char>(other.back() ^ 0x20);
      keys.push_back({other, 2});
    }
  }
  keys.push_back({base, 3});
  for (const auto &[key, times] : keys)
    for (int i = 0; i < times; ++i) {
      Row row;
      row.text(FIELD_USER, key);
      ASSERT_EQ(run.add(row), 0) << key;
    }
  EXPECT_EQ(gl->record_count, static_cast<int>(keys.size()));
  for (const auto &[key, times] : keys) {
    char *copy = static_cast<char *>(malloc(key.size() + 1));
    memcpy(copy, key.c_str(), key.size() + 1);
    GROUP_INDEX *g = group_lookup(gl, copy);
    ASSERT_NE(g, nullptr) << key;
    EXPECT_STREQ(static_cast<const char *>(g->key), key.c_str());
    EXPECT_EQ(g->counters[0], times) << key;
    free(copy);
  }
}

TEST(GroupKeys, MissingFieldGivesDefaultValue) {
  struct Case {
    const char *name;
    int groupby;
    uint8_t type;
    std::string expect;
  } cases[] = {
      {"string", 3, 0x16, "-"},
      {"address", 2, 0x57, "255.255.255.255"},
      {"number", 6, 0x71, "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GroupRun run(summary(c.groupby, "9"));
    Row typed;
    typed.empty(static_cast<uint8_t>(c.groupby), c.type);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    Row row;  // neither the field nor its source
    row.text(FIELD_URI, "http://a.example/");
    EXPECT_EQ(run.add(row), 0);
    EXPECT_EQ(run.add(row), 0);
    run.write();
    auto t = grouptest::read_table(run.output());
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.rows[0][0], c.expect);
    EXPECT_EQ(t.at(0, 9), "2");
  }
}

TEST(GroupKeys, MissingOrDashSearchTermsAndDataWordsAreNotCounted) {
  for (int code : {FIELD_SEARCHTERM, FIELD_DATAWORDS}) {
    SCOPED_TRACE(code);
    GroupRun run(summary(code, "9"));
    Row typed;
    typed.derived();
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    Row none;  // no source field at all
    none.text(FIELD_USER, "u");
    EXPECT_EQ(run.add(none), 0);
    Row dash;  // the derived value is "-"
    dash.text(static_cast<uint8_t>(code), "-");
    EXPECT_EQ(run.add(dash), 0);
    Row underived;  // a URL without terms, data without words
    underived.text(FIELD_URI, "http://a.example/x").num(FIELD_TYPE, 1, 0x03).text(FIELD_DATA, "IB:1;OB:2").derived();
    EXPECT_EQ(run.add(underived), 0);
    Row real;
    real.text(static_cast<uint8_t>(code), "blue shoes");
    EXPECT_EQ(run.add(real), 0);
    EXPECT_EQ(run.rep->groups->record_count, 1);
  }
}

TEST(GroupKeys, HostAndDomainFromTheUrl) {
  GroupRun run(summary(FIELD_URIHOST, "9"));
  Row typed;
  typed.derived();
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  for (const char *url : {"http://WWW.A.example/x", "http://www.a.example/y", "https://b.example"}) {
    Row row;
    row.text(FIELD_URI, url).derived();
    EXPECT_EQ(run.add(row), 0);
  }
  run.write();
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[0][0], "www.a.example");
  EXPECT_EQ(t.rows[0][1], "2");
  EXPECT_EQ(t.rows[1][0], "b.example");
}

TEST(GroupRecords, RecordsInChunksAndOnTheirOwnKeepTheirKeysAndCounts) {
  // Enough records for several chunks, keys too long for a chunk among
  // them, and a second tree on chunks the first gave back to the thread.
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    GroupRun run(summary(3, "9,11"));
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    GROUP_TREE *gl = run.tree(0, GROUP_MAX_GROUPS, typed);
    ASSERT_NE(gl, nullptr);
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) keys.push_back(grouptest::join("user", std::to_string(i * 7 + pass)));
    keys.push_back(std::string(GROUP_CHUNK_SIZE / 4, 'x'));
    keys.push_back(std::string(GROUP_CHUNK_SIZE, 'y'));
    keys.push_back("");
    for (size_t i = 0; i < keys.size(); ++i)
      for (size_t t = 0; t < 1 + i % 3; ++t) {
        Row row;
        row.text(FIELD_USER, keys[i]).num(FIELD_DENIED_FLAG, t % 2, 0x01);
        ASSERT_EQ(run.add(row), 0);
      }
    EXPECT_EQ(gl->record_count, static_cast<int>(keys.size()));
    for (size_t i = 0; i < keys.size(); ++i) {
      GROUP_INDEX *g = group_lookup(gl, keys[i].c_str());
      ASSERT_NE(g, nullptr) << i;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(g) % GROUP_BLOCK_ALIGN, 0u);
      EXPECT_EQ(g->counters[0], static_cast<int64_t>(1 + i % 3)) << i;
      EXPECT_EQ(g->counters[1], static_cast<int64_t>((1 + i % 3) / 2)) << i;
      EXPECT_EQ(static_cast<const char *>(g->key), keys[i]);
    }
    run.write();
    EXPECT_EQ(grouptest::read_table(run.output()).rows.size(), keys.size());
  }
}

TEST(GroupLimit, TheNextDistinctValuePastTheLimitReturnsTwo) {
  struct Case {
    int kind, limit;
  } cases[] = {{REPORT_SCHEDULED, GROUP_MAX_GROUPS}, {REPORT_CONTINUOUS, GROUP_MAX_GROUPS_CONTINUOUS}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.limit);
    GroupRun run(summary(3, "9"), c.kind);
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    GROUP_TREE *gl = group_initialize(run.rep, 0, c.limit, typed.rec(), typed.map());
    ASSERT_NE(gl, nullptr);
    run.rep->groups = gl;
    for (int i = 0; i < c.limit; ++i) {
      Row row;
      row.text(FIELD_USER, grouptest::join("user", std::to_string(i)));
      ASSERT_EQ(group_add_record(gl, row.rec(), row.map(), -1, nullptr, run.rep, nullptr), 0) << i;
    }
    Row extra;
    extra.text(FIELD_USER, "one too many");
    EXPECT_EQ(group_add_record(gl, extra.rec(), extra.map(), -1, nullptr, run.rep, nullptr), 2);
    EXPECT_EQ(gl->record_count, c.limit);
    const char *key = "one too many";
    EXPECT_EQ(group_lookup(gl, key), nullptr);
    Row known;  // an existing group is still counted
    known.text(FIELD_USER, "user7");
    EXPECT_EQ(group_add_record(gl, known.rec(), known.map(), -1, nullptr, run.rep, nullptr), 0);
    EXPECT_EQ(group_lookup(gl, "user7")->counters[0], 2);
  }
}

// --- Analysis --------------------------------------------------------------------------

char **extensions(std::vector<const char *> list) {
  char **a = static_cast<char **>(calloc(list.size(), sizeof(char *)));
  for (size_t i = 0; i < list.size(); ++i) a[i] = strdup(list[i]);
  return a;
}

TEST(GroupAnalysis, PagesAndFiles) {
  GroupRun run(summary(3, "9"));
  run.rep->html_extensions = extensions({"htm", "html", "php"});
  run.rep->html_extensions_size = 3;
  struct Case {
    const char *url;
    int kind;  // 0 neither, 1 page, 2 file
  } cases[] = {
      {"http://host.example", 1},              // a host without a path
      {"http://host.example/", 1},
      {"http://host.example/dir/", 1},         // trailing slash
      {"http://host.example/dir/readme", 1},   // no extension
      {"http://host.example/a/index.html", 1},
      {"http://host.example/a/INDEX.HTM", 1},
      {"http://host.example/a/b.gif?x.html", 2},  // the query is not examined
      {"http://host.example/a/b.gif#x.html", 2},
      {"http://host.example/a.b/c", 1},        // the dot lies before the last slash
      {"http://host.example/x.php?y=1", 1},
      {"http://host.example/x.tar.gz", 2},
      {"", 0},
      {"?only=query", 0},
  };
  for (const Case &c : cases) EXPECT_EQ(group_classify_url(run.rep, c.url), c.kind) << c.url;
  run.rep->html_extensions_size = 0;  // gif is no page extension, with or without a list
  EXPECT_EQ(group_classify_url(run.rep, "http://h/b.gif?x.html"), 2);
  run.rep->html_extensions_size = 3;
}

TEST(GroupAnalysis, CountersOfOneLevel) {
  GroupRun run(summary(3, "9,10,11,12,13,14,15,16,17") + "[fields metadata precompiled]\n52=60\n");
  run.rep->html_extensions = extensions({"html"});
  run.rep->html_extensions_size = 1;
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  struct In {
    const char *url;
    int denied;
  } in[] = {{"http://h/a.html", 0}, {"http://h/a.gif", 1}, {"http://h/", 1}, {"http://h/b.zip", 0}};
  for (const In &r : in) {
    Row row;
    row.text(FIELD_USER, "u").num(FIELD_DENIED_FLAG, r.denied, 0x71).text(FIELD_URI, r.url);
    ASSERT_EQ(run.add(row), 0);
  }
  run.write();
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 1u);
  const char *expect[] = {"u", "4", "2", "2", "2", "1", "1", "2", "1", "1"};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(t.rows[0][i], expect[i]) << i;
}

TEST(GroupAnalysis, RequestPropertyBitsDecideAlone) {
  GroupRun run(summary(3, "10,11,12,13,14,15,16,17"));
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  // Field 49 says allowed page; the denied flag and the URL (a file) say
  // otherwise and are not consulted.
  Row row;
  row.text(FIELD_USER, "u").num(FIELD_REQUEST_PROPS, GROUP_PROP_PAGE, 0x01).num(FIELD_DENIED_FLAG, 1, 0x71).text(
      FIELD_URI, "http://h/x.zip");
  ASSERT_EQ(run.add(row), 0);
  Row denied_file;
  denied_file.text(FIELD_USER, "u").num(FIELD_REQUEST_PROPS, GROUP_PROP_DENIED | GROUP_PROP_FILE, 0x01);
  ASSERT_EQ(run.add(denied_file), 0);
  run.write();
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.at(0, 10), "1");
  EXPECT_EQ(t.at(0, 11), "1");
  EXPECT_EQ(t.at(0, 12), "1");
  EXPECT_EQ(t.at(0, 13), "1");
  EXPECT_EQ(t.at(0, 14), "0");
  EXPECT_EQ(t.at(0, 15), "1");
  EXPECT_EQ(t.at(0, 16), "0");
  EXPECT_EQ(t.at(0, 17), "1");
}

TEST(GroupAnalysis, BrowseTimeAndBandwidth) {
  GroupRun run(summary(3, "9,52,65,66") + "[fields metadata precompiled]\n52=60\n");
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  // Windows of 60 s: [1000,1070] (1000 and 1010), then [2000,2060].
  for (uint32_t t : {1000u, 1010u, 2000u}) {
    Row row;
    row.text(FIELD_USER, "u").num(FIELD_DATE, t, 0x43).num(FIELD_TYPE, 1, 0x03).text(FIELD_DATA, "IB:100;OB:250");
    ASSERT_EQ(run.add(row), 0);
  }
  Row not_bandwidth;  // event type 8: no byte counts
  not_bandwidth.text(FIELD_USER, "u").num(FIELD_DATE, 2001, 0x43).num(FIELD_TYPE, 8, 0x03).text(FIELD_DATA,
                                                                                                "IB:7;OB:7");
  ASSERT_EQ(run.add(not_bandwidth), 0);
  run.write();
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.at(0, 9), "4");
  EXPECT_EQ(t.at(0, 52), std::to_string(70 + 61));
  EXPECT_EQ(t.at(0, 65), "300");
  EXPECT_EQ(t.at(0, 66), "750");
}

TEST(GroupWrite, ZeroCounterRecordsAreSkippedExceptSubReportLinks) {
  {
    GroupRun run(summary(3, "11"));  // denied requests only
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    for (auto [user, denied] : std::vector<std::pair<const char *, int>>{{"a", 0}, {"b", 1}, {"c", 0}}) {
      Row row;
      row.text(FIELD_USER, user).num(FIELD_DENIED_FLAG, denied, 0x71);
      ASSERT_EQ(run.add(row), 0);
    }
    auto [bytes, recs] = run.write();
    auto t = grouptest::read_table(run.output());
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.rows[0][0], "b");
    EXPECT_EQ(recs, 1);
    EXPECT_EQ(bytes, 2 + 8);
  }
  {
    GroupRun run(summary(3, "11") + summary(48, "9"));
    run.rep->index_fd = grouptest::open_queue(run.path());
    Row typed;
    typed.empty(FIELD_USER, 0x16).derived();
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    for (auto [user, denied] : std::vector<std::pair<const char *, int>>{{"a", 0}, {"b", 1}}) {
      Row row;
      row.text(FIELD_USER, user).num(FIELD_DENIED_FLAG, denied, 0x71).text(FIELD_URI, "http://x.example/").derived();
      ASSERT_EQ(run.add(row), 0);
    }
    auto [bytes, recs] = run.write();
    auto t = grouptest::read_table(run.output());
    ASSERT_EQ(t.rows.size(), 2u);  // "a" is a link: written, not counted
    EXPECT_EQ(recs, 1);
  }
}

// --- Written order ------------------------------------------------------------------------

// A plain unbalanced binary search tree under a three-way comparison
// (strcmp for texts), written node, smaller keys, greater keys.
template <class Key>
struct PlainTree {
  struct Node {
    Key key;
    int low = -1, high = -1;
  };
  explicit PlainTree(std::function<int(const Key &, const Key &)> c) : cmp(std::move(c)) {}
  std::function<int(const Key &, const Key &)> cmp;
  std::vector<Node> nodes;
  void insert(const Key &k) {
    if (nodes.empty()) {
      nodes.push_back({k});
      return;
    }
    int at = 0;
    for (;;) {
      int c = cmp(k, nodes[at].key);
      if (c == 0) return;
      int &next = c < 0 ? nodes[at].low : nodes[at].high;
      if (next < 0) {
        next = static_cast<int>(nodes.size());
        nodes.push_back({k});
        return;
      }
      at = next;
    }
  }
  std::vector<Key> order() const {
    std::vector<Key> out;
    std::vector<int> todo;
    if (!nodes.empty()) todo.push_back(0);
    while (!todo.empty()) {
      int i = todo.back();
      todo.pop_back();
      out.push_back(nodes[i].key);
      if (nodes[i].high >= 0) todo.push_back(nodes[i].high);
      if (nodes[i].low >= 0) todo.push_back(nodes[i].low);
    }
    return out;
  }
};

TEST(GroupOrder, WrittenOrderIsThatOfThePlainInsertionTree) {
  std::vector<std::string> sorted, random, reversed, zigzag;
  for (int i = 0; i < GROUP_MAX_GROUPS; ++i) {
    char k[16];
    snprintf(k, sizeof k, "user%05d", i);
    sorted.push_back(k);
  }
  reversed.assign(sorted.rbegin(), sorted.rend());
  random = sorted;
  std::mt19937 rng(17);
  std::shuffle(random.begin(), random.end(), rng);
  for (size_t i = 0; i < 400; ++i) zigzag.push_back(i % 2 ? sorted[i / 2] : sorted[sorted.size() - 1 - i / 2]);
  // Texts around eight bytes: the empty text, texts that are the start of
  // another, equal first eight bytes, bytes above 0x7F.
  std::vector<std::string> edges = {"abcdefgh", "", "abcdefg", "abcdefghi", "abcdefgh\xC3\xA9", "abcdefgg",
                                    "abcdefgi", "\xC3\xA9t\xC3\xA9", "\x7F", "a", "ABCDEFGHIJ", "abcdefghh",
                                    "abcdefgha", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF" "a", "zz"};
  // The edges again among enough other keys that a list is no longer
  // sorted by insertion: texts sharing their first eight bytes with an edge.
  std::vector<std::string> many_edges = edges;
  for (int i = 0; i < 200; ++i) many_edges.push_back(i % 2 ? "abcdefgh" + std::to_string(i) : sorted[i * 7]);
  std::shuffle(many_edges.begin() + edges.size() / 2, many_edges.end(), rng);
  struct Case {
    const char *name;
    const std::vector<std::string> *keys;
  } cases[] = {{"sorted", &sorted}, {"random", &random}, {"reversed", &reversed}, {"zigzag", &zigzag},
               {"edges", &edges},   {"edges among many", &many_edges}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GroupRun run(summary(3, "9"));
    Row typed;
    typed.empty(FIELD_USER, 0x16);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    PlainTree<std::string> plain(
        [](const std::string &a, const std::string &b) { return strcmp(a.c_str(), b.c_str()); });
    // Every key twice, the second pass in another order: repeats find
    // their groups without changing the tree.
    for (const std::string &k : *c.keys) {
      Row row;
      row.text(FIELD_USER, k);
      ASSERT_EQ(run.add(row), 0);
      plain.insert(k);
    }
    for (size_t i = c.keys->size(); i-- > 0;) {
      Row row;
      row.text(FIELD_USER, (*c.keys)[i]);
      ASSERT_EQ(run.add(row), 0);
    }
    run.write();
    auto t = grouptest::read_table(run.output());
    std::vector<std::string> written;
    for (auto &r : t.rows) {
      written.push_back(r[0]);
      EXPECT_EQ(r[1], "2");
    }
    EXPECT_EQ(written, plain.order());
  }
}

TEST(GroupOrder, IntegerKeysFollowTheirComparison) {
  // Field 7 (int32, unsigned order) as a plain key.
  GroupRun run(summary(7, "9"));
  Row typed;
  typed.empty(FIELD_DATE, 0x43);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  for (uint32_t v : {50u, 0x90000000u, 10u, 70u, 60u}) {
    Row row;
    row.num(FIELD_DATE, v, 0x43);
    ASSERT_EQ(run.add(row), 0);
  }
  run.write();
  auto t = grouptest::read_table(run.output());
  std::vector<std::string> got;
  for (auto &r : t.rows) got.push_back(r[0]);
  // 50; low 10; high 0x90000000 with low 70, whose low is 60.
  EXPECT_EQ(got, (std::vector<std::string>{"50", "10", std::to_string(0x90000000u), "70", "60"}));
}

TEST(GroupOrder, IntegerKeysOfEveryWidthFollowTheInsertionTree) {
  // Enough keys for lists that are not sorted by insertion; the ends and the
  // sign boundaries of each width among them.
  std::mt19937_64 rng(29);
  std::vector<uint64_t> values = {0, ~0ULL, 0x80, 0x7F, 0x8000, 0x7FFF, 0x80000000u, 0x7FFFFFFF,
                                  1ULL << 63, (1ULL << 63) - 1, 1};
  for (int i = 0; i < 300; ++i) values.push_back(i % 3 ? rng() : rng() % 100);
  for (uint8_t type : {0x01, 0x02, 0x03, 0x04}) {
    SCOPED_TRACE(type);
    const size_t width = record_fixed_size(type);
    const group_compare_fn cmp = group_get_compare_func(type);
    GroupRun run(summary(7, "9"));
    Row typed;
    typed.empty(FIELD_DATE, type);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    // The plain insertion tree over the keys as the level stores them.
    PlainTree<uint64_t> plain([cmp](const uint64_t &x, const uint64_t &y) { return cmp(&x, &y); });
    for (uint64_t v : values) {
      uint64_t key = 0;
      memcpy(&key, &v, width);
      Row row;
      row.num(FIELD_DATE, v, type);
      ASSERT_EQ(run.add(row), 0);
      plain.insert(key);
    }
    std::vector<std::string> want;
    for (uint64_t key : plain.order()) {
      Record r{FIELD_DATE, type, 0, &key};
      want.push_back(grouptest::value_text(r));
    }
    run.write();
    auto t = grouptest::read_table(run.output());
    std::vector<std::string> got;
    for (auto &r : t.rows) got.push_back(r[0]);
    EXPECT_EQ(got, want);
  }
}

// --- Categories ------------------------------------------------------------------------------

// The rows of a category level as written: a row's categories are made
// groups in ascending order, so the written order (node, smaller, greater
// of the insertion tree) follows from that.
std::vector<std::pair<std::string, std::string>> cat_rows(GroupRun &run) {
  run.write();
  auto t = grouptest::read_table(run.output());
  std::vector<std::pair<std::string, std::string>> out;
  for (auto &r : t.rows) out.push_back({r[0], r[1]});
  return out;
}

using CatCounts = std::vector<std::pair<std::string, std::string>>;

TEST(GroupCategories, FilterModesAndTheOneCategorySwitch) {
  struct Case {
    const char *name;
    std::string extra;  // definition lines
    bool filter;
    std::vector<std::vector<unsigned>> rows;
    CatCounts expect;
  } cases[] = {
      {"no option", "", true, {{3, 5, 9}}, {{"3", "1"}, {"5", "1"}, {"9", "1"}}},
      {"mode 1 keeps the filter's", "catoption=1\n", true, {{3, 5, 9}}, {{"5", "1"}}},
      {"mode 2 drops the filter's", "catoption=2\n", true, {{3, 5, 9}}, {{"3", "1"}, {"9", "1"}}},
      {"mode 1 without filter drops all", "catoption=1\n", false, {{3, 5, 9}}, {}},
      // 106 is made first, 7 hangs below it.
      {"one-category switch", "catoption=0,1\n", false, {{3, 5}, {7}}, {{"106", "1"}, {"7", "1"}}},
      {"repeated numbers count once", "", false, {{4, 4, 4}}, {{"4", "1"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GroupRun run(grouptest::join("[group]\ntype=SUMMARY\ngroupby=5\nsummary=9\n", c.extra));
    if (c.filter) {
      cat_free(run.rep->def->cat_filter);
      run.rep->def->cat_filter = cat_new();
      cat_add(run.rep->def->cat_filter, 5);
      cat_add(run.rep->def->cat_filter, 7);
    }
    Row typed;
    typed.empty(FIELD_CATS, 0x36);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    for (auto &cats : c.rows) {
      Row row;
      row.cats(cats);
      ASSERT_EQ(run.add(row), 0);
    }
    EXPECT_EQ(cat_rows(run), c.expect);
  }
}

TEST(GroupCategories, ARowsCategoriesAreMadeInAscendingOrder) {
  // Two levels: the order in which groups are made gives the numbers of
  // their detail tables and the order of the queue entries; the written
  // order is that of the insertion tree.
  for (uint8_t type : {uint8_t{0x36}, uint8_t{0x16}}) {
    SCOPED_TRACE(type);
    GroupRun run("[group]\ntype=SUMMARY\ngroupby=5\nsummary=9\n[group]\ntype=DETAIL\ndetails=3\n");
    run.rep->index_fd = grouptest::open_queue(run.path());
    run.rep->cur_rep_count = 1099;  // the first group's table is number 1100
    Row typed;
    typed.empty(FIELD_CATS, type).empty(FIELD_USER, 0x16);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    for (auto [cats, user] : std::vector<std::pair<std::vector<unsigned>, const char *>>{{{9, 3, 5}, "a"}, {{7, 1}, "b"}}) {
      Row row;
      if (type == 0x36) {
        row.cats(cats);
      } else {
        std::string text;
        for (unsigned c : cats) text += (text.empty() ? "" : ",") + std::to_string(c);
        row.text(FIELD_CATS, text);
      }
      row.text(FIELD_USER, user);
      ASSERT_EQ(run.add(row), 0) << (run.rep->error ? run.rep->error : "");
    }
    run.write();
    ASSERT_EQ(group_terminate(run.rep->groups), -1);
    run.rep->groups = nullptr;
    // Made 3, 5, 9, then 1, 7: 3 on top, 1 below it, 5 above with 9 above
    // that and 7 below 9.
    auto t = grouptest::read_table(run.output());
    std::vector<std::vector<std::string>> want = {
        {"3", "1/1100", "1"}, {"1", "1/1103", "1"}, {"5", "1/1101", "1"}, {"9", "1/1102", "1"}, {"7", "1/1104", "1"}};
    EXPECT_EQ(t.rows, want);
    auto queue = grouptest::read_queue(run.rep->index_fd);
    const std::string root = run.rep->root_path;
    ASSERT_EQ(queue.size(), 5u);
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(queue[static_cast<size_t>(i)], (std::pair<std::string, int32_t>{root + "1/" + std::to_string(1100 + i), 1}));
    EXPECT_EQ(grouptest::read_table(root + "1/1102").rows, (std::vector<std::vector<std::string>>{{"a"}}));
    EXPECT_EQ(grouptest::read_table(root + "1/1103").rows, (std::vector<std::vector<std::string>>{{"b"}}));
  }
}

TEST(GroupCategories, TextListsAndRowsWithoutCategories) {
  GroupRun run("[group]\ntype=SUMMARY\ngroupby=60\nsummary=9\n");
  Row typed;
  typed.empty(FIELD_CATS, 0x16);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  EXPECT_EQ(run.rep->groups->output_code, FIELD_CATNUM);
  EXPECT_EQ(run.rep->groups->group_datatype, 0x83);
  Row text;
  text.text(FIELD_CATS, "5,,9,x1");
  ASSERT_EQ(run.add(text), 0);
  Row none;  // no category field: the default category
  none.text(FIELD_USER, "u");
  ASSERT_EQ(run.add(none), 0);
  EXPECT_EQ(cat_rows(run), (CatCounts{{"5", "1"}, {"9", "1"}, {"106", "1"}}));
}

TEST(GroupCategories, CategoryGroupsAndTheDefaultCategory) {
  category_group_map groups{{3, {1, 0}}, {5, {2, 0}}, {106, {1, 2, 0}}};
  struct Case {
    const char *name;
    const category_group_map *map;
    int catgroup;
    CatCounts expect;
  } cases[] = {
      // 9 has no entry in the map: counted as the default category.
      {"map", &groups, 0, {{"3", "1"}, {"5", "1"}, {"106", "1"}}},
      {"map and group 2", &groups, 2, {{"5", "1"}, {"106", "1"}}},
      // Without a map every category stands for itself.
      {"no map", nullptr, 0, {{"3", "1"}, {"5", "1"}, {"9", "1"}}},
      {"no map, group 2", nullptr, 2, {{"3", "1"}, {"5", "1"}, {"9", "1"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GroupRun run("[group]\ntype=SUMMARY\ngroupby=5\nsummary=9\n");
    run.rep->category_groups = c.map;
    run.rep->def->group[0]->catgroup = c.catgroup;
    Row typed;
    typed.empty(FIELD_CATS, 0x36);
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    Row row;
    row.cats({3, 5, 9});
    ASSERT_EQ(run.add(row), 0);
    EXPECT_EQ(cat_rows(run), c.expect);
  }
}

TEST(GroupCategories, UnknownCategoriesOfTheDisplayOrderShareTheDefault) {
  GroupRun run("[group]\ntype=SUMMARY\ngroupby=5\nsummary=9\n");
  category_order_map order{{3, 1}, {106, 2}};
  run.rep->cats = &order;
  Row typed;
  typed.empty(FIELD_CATS, 0x36);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  for (auto cats : std::vector<std::vector<unsigned>>{{3, 77, 78}, {79}}) {
    Row row;
    row.cats(cats);
    ASSERT_EQ(run.add(row), 0) << (run.rep->error ? run.rep->error : "");
  }
  // 77 and 78 both stand for 106: the first row counts there once.
  EXPECT_EQ(cat_rows(run), (CatCounts{{"3", "1"}, {"106", "2"}}));
}

// A level of one category per row: categories outside the display order
// all count under the default, however often they come and whichever
// comes first.
TEST(GroupCategories, OneCategoryLevelsCountUnknownCategoriesUnderTheDefault) {
  GroupRun run("[group]\ntype=SUMMARY\ngroupby=8\nsummary=9\n");
  category_order_map order{{3, 1}, {106, 2}};
  run.rep->cats = &order;
  Row typed;
  typed.empty(FIELD_CAT, 0x83);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  for (unsigned c : {77u, 3u, 77u, 78u, 106u}) {
    Row row;
    row.num(FIELD_CAT, c, 0x83);
    ASSERT_EQ(run.add(row), 0) << c << ": " << (run.rep->error ? run.rep->error : "");
  }
  CatCounts rows = cat_rows(run);
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (CatCounts{{"106", "4"}, {"3", "1"}}));
}

// --- Time buckets ------------------------------------------------------------------------------

time_t at(const report_tz &tz, int y, int mo, int d, int h, int mi, int s) {
  struct tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return tz.mktime(&tm);
}

TEST(GroupTime, BucketStartsAndLengths) {
  report_tz tz;
  ASSERT_TRUE(tz.load("Europe/Berlin"));
  struct Case {
    int code;
    time_t t, start, next;
  } cases[] = {
      // Aligned to the whole minute of the time, not to five minutes.
      {20, at(tz, 2026, 6, 1, 10, 17, 42), at(tz, 2026, 6, 1, 10, 17, 0), at(tz, 2026, 6, 1, 10, 22, 0)},
      {19, at(tz, 2026, 6, 1, 10, 17, 42), at(tz, 2026, 6, 1, 10, 17, 0), at(tz, 2026, 6, 1, 10, 18, 0)},
      {23, at(tz, 2026, 6, 1, 10, 17, 42), at(tz, 2026, 6, 1, 10, 0, 0), at(tz, 2026, 6, 1, 11, 0, 0)},
      {26, at(tz, 2026, 6, 1, 10, 17, 42), at(tz, 2026, 6, 1, 10, 0, 0), at(tz, 2026, 6, 1, 22, 0, 0)},
      {27, at(tz, 2026, 6, 1, 10, 17, 42), at(tz, 2026, 6, 1, 0, 0, 0), at(tz, 2026, 6, 2, 0, 0, 0)},
      {29, at(tz, 2026, 6, 3, 10, 17, 42), at(tz, 2026, 6, 3, 0, 0, 0), at(tz, 2026, 6, 10, 0, 0, 0)},
      {30, at(tz, 2026, 6, 17, 10, 17, 42), at(tz, 2026, 6, 1, 0, 0, 0), at(tz, 2026, 7, 1, 0, 0, 0)},
      // The day of a spring change: midnight is still standard time.
      {27, at(tz, 2026, 3, 29, 12, 0, 0), at(tz, 2026, 3, 29, 0, 0, 0), at(tz, 2026, 3, 30, 1, 0, 0)},
      // A month across the change starts at local midnight again.
      {30, at(tz, 2026, 3, 10, 12, 0, 0), at(tz, 2026, 3, 1, 0, 0, 0), at(tz, 2026, 4, 1, 0, 0, 0)},
      {18, 1000, 0, 0},
      {31, 1000, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    time_t start = group_date_start_time(tz, c.t, c.code);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(group_date_next_time(tz, start, c.code), c.next);
  }
  EXPECT_EQ(group_date_next_time(tz, 0, 20), 300);
  EXPECT_EQ(group_date_next_time(tz, 0, 29), 604800);
  EXPECT_EQ(group_date_next_time(tz, 0, 30), 0);
  // 31 January and a month: the normalised date, 3 March (not a leap year).
  EXPECT_EQ(group_date_next_time(tz, at(tz, 2026, 1, 31, 0, 0, 0), 30), at(tz, 2026, 3, 3, 0, 0, 0));
}

TEST(GroupTime, BucketsAreWrittenAsTheRecordsPassThem) {
  const char *zone = "Europe/Berlin";
  GroupRun run("[group]\ntype=SUMMARY\ngroupby=20\nsummary=9\n", REPORT_SCHEDULED, zone);
  const report_tz &tz = run.rep->zone;
  run.rep->start = at(tz, 2026, 6, 1, 10, 17, 42);
  Row typed;
  typed.empty(FIELD_DATE, 0x43);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  const time_t b0 = at(tz, 2026, 6, 1, 10, 17, 0);
  EXPECT_EQ(run.rep->groups->start_time, b0);
  EXPECT_EQ(run.rep->groups->next_time, b0 + 300);
  // Two in the first bucket, one exactly on the second bucket's start
  // (counted there), then one two buckets on: the second bucket and an
  // empty one are written before it is counted.
  for (time_t t : {b0 + 42, b0 + 299, b0 + 300, b0 + 3 * 300 + 5}) {
    Row row;
    row.num(FIELD_DATE, static_cast<uint64_t>(t), 0x43);
    ASSERT_EQ(run.add(row), 0);
  }
  EXPECT_EQ(run.rep->sort_todo, 3);
  EXPECT_EQ(run.rep->recs_done, 3);
  run.write();
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 4u);
  const char *counts[] = {"2", "1", "0", "1"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(t.rows[i][0], std::to_string(b0 + 300 * i));
    EXPECT_EQ(t.rows[i][1], counts[i]);
  }
}

TEST(GroupTime, DayBucketsKeepTheirLengthAcrossADaylightSavingChange) {
  GroupRun run("[group]\ntype=SUMMARY\ngroupby=27\nsummary=9\n", REPORT_SCHEDULED, "Europe/Berlin");
  const report_tz &tz = run.rep->zone;
  run.rep->start = at(tz, 2026, 3, 28, 9, 0, 0);
  Row typed;
  typed.empty(FIELD_DATE, 0x43);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  const time_t d0 = at(tz, 2026, 3, 28, 0, 0, 0);
  for (time_t t : {d0 + 100, d0 + 86400 + 100, d0 + 2 * 86400 + 100}) {
    Row row;
    row.num(FIELD_DATE, static_cast<uint64_t>(t), 0x43);
    ASSERT_EQ(run.add(row), 0);
  }
  run.write();
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 3u);
  // Fixed lengths: the bucket after the change starts at 01:00 local.
  EXPECT_EQ(t.rows[2][0], std::to_string(at(tz, 2026, 3, 30, 1, 0, 0)));
}

TEST(GroupTime, TheLastBucketIsSkippedWhenEmpty) {
  GroupRun run("[group]\ntype=SUMMARY\ngroupby=19\nsummary=11\n");
  run.rep->start = 1'700'000'000;
  Row typed;
  typed.empty(FIELD_DATE, 0x43);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  Row row;
  row.num(FIELD_DATE, 1'700'000'000, 0x43).num(FIELD_DENIED_FLAG, 0, 0x71);
  ASSERT_EQ(run.add(row), 0);
  auto [bytes, recs] = run.write();
  EXPECT_EQ(recs, 0);
  EXPECT_EQ(grouptest::read_table(run.output()).rows.size(), 0u);
}

// --- Top-k -----------------------------------------------------------------------------------------

TEST(GroupTopk, TurnedDownAndEvictedGroupsLeaveNoFilesOrQueueEntries) {
  GroupRun run(summary(3, "9") + "topk=1\n" + summary(48, "9"));
  run.rep->settings->topk_buffer_size = 8;
  run.rep->index_fd = grouptest::open_queue(run.path());
  Row typed;
  typed.empty(FIELD_USER, 0x16).derived();
  GROUP_TREE *gl = run.tree(0, GROUP_MAX_GROUPS, typed);
  ASSERT_NE(gl, nullptr);
  ASSERT_NE(gl->topk, nullptr);
  auto add = [&](const std::string &user) {
    Row row;
    row.text(FIELD_USER, user).text(FIELD_URI, grouptest::join("http://www.", user, ".example/")).derived();
    return run.add(row);
  };
  // "a" seen three times; then nine new users: the ninth is turned down,
  // the tenth evicts the oldest lowest.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(add("a"), 0);
  for (int i = 1; i <= 9; ++i) ASSERT_EQ(add(grouptest::join("u", std::to_string(i))), 0);  // never 2
  ASSERT_EQ(add("u10"), 0);
  long long size_before = run.rep->size_report;
  run.write();
  // Survivors are queued when written; every queued table exists and no
  // other detail table is left.
  auto queue = grouptest::read_queue(run.rep->index_fd);
  EXPECT_EQ(queue.size(), 8u);
  std::set<std::string> queued;
  for (auto &[path, level] : queue) {
    EXPECT_EQ(level, 1);
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
    queued.insert(path);
  }
  int files = 0;
  for (auto &e : std::filesystem::recursive_directory_iterator(run.rep->root_path))
    if (e.is_regular_file() && e.path().filename() != "root") {
      ++files;
      EXPECT_TRUE(queued.count(e.path().string())) << e.path();
    }
  EXPECT_EQ(files, 8);
  auto t = grouptest::read_table(run.output());
  ASSERT_EQ(t.rows.size(), 8u);
  EXPECT_EQ(t.rows[0][0], "a");  // the highest count first
  EXPECT_EQ(t.rows[0][2], "3");
  EXPECT_GT(size_before, 0);
}

}  // namespace
