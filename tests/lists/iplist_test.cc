#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "lib/lists/iplist.h"

namespace {

kx_ipaddr ip(const char *text) {
  kx_ipaddr a{};
  if (strchr(text, ':')) {
    a.family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, text, &a.addr.ip6), 1) << text;
  } else {
    a.family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, text, &a.addr.ip), 1) << text;
  }
  return a;
}

std::string text(const ip_cidr &c) {
  char buf[64];
  inet_ntop(c.ip.family, c.ip.family == AF_INET ? static_cast<const void *>(&c.ip.addr.ip)
                                                : static_cast<const void *>(&c.ip.addr.ip6),
            buf, sizeof buf);
  return std::string(buf) + "/" + std::to_string(c.cidr);
}

std::vector<std::string> split(const char *lo, const char *hi, int size = MAX_SUBNETS_IN_RANGE) {
  kx_ipaddr l = ip(lo), h = ip(hi);
  std::vector<ip_cidr> out(static_cast<size_t>(size) + 1);
  int n = iplist_iprange_to_subnets(&l, &h, out.data(), size);
  std::vector<std::string> r;
  if (n < 0) {
    r.push_back(errno == ENOMEM ? "ENOMEM" : errno == EINVAL ? "EINVAL" : "error");
    return r;
  }
  for (int i = 0; i < n; ++i) r.push_back(text(out[static_cast<size_t>(i)]));
  return r;
}

using V = std::vector<std::string>;

int tag(void *p) { return static_cast<int>(reinterpret_cast<intptr_t>(p)); }
void *data(int v) { return reinterpret_cast<void *>(static_cast<intptr_t>(v)); }

}  // namespace

TEST(IpRange, SplitsIntoCidrBlocks) {
  struct {
    const char *lo, *hi;
    V want;
  } cases[] = {
      {"10.0.0.0", "10.0.0.255", {"10.0.0.0/24"}},
      {"10.0.0.1", "10.0.0.6", {"10.0.0.1/32", "10.0.0.2/31", "10.0.0.4/31", "10.0.0.6/32"}},
      {"0.0.0.0", "255.255.255.255", {"0.0.0.0/0"}},
      {"255.255.255.254", "255.255.255.255", {"255.255.255.254/31"}},
      {"255.255.255.255", "255.255.255.255", {"255.255.255.255/32"}},
      {"128.0.0.0", "255.255.255.255", {"128.0.0.0/1"}},
      {"10.0.0.5", "10.0.0.5", {"10.0.0.5/32"}},
      {"10.0.0.6", "10.0.0.5", {"EINVAL"}},
      {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", {"::/0"}},
      {"2001:db8::", "2001:db8::ff", {"2001:db8::/120"}},
      {"2001:db8::1", "2001:db8::2", {"2001:db8::1/128", "2001:db8::2/128"}},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"}},
      {"::2", "::1", {"EINVAL"}},
  };
  for (const auto &c : cases) EXPECT_EQ(split(c.lo, c.hi), c.want) << c.lo << "-" << c.hi;
  // 0.0.0.1 - 255.255.255.254 needs 62 blocks; 0.0.0.1-0.0.4.0 more than 4.
  EXPECT_EQ(split("0.0.0.1", "255.255.255.254").size(), 62u);
  EXPECT_EQ(split("0.0.0.1", "0.0.4.0", 4), V{"ENOMEM"});
  EXPECT_EQ(split("::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", 253), V{"ENOMEM"});
  EXPECT_EQ(split("::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", 254).size(), 254u);
  kx_ipaddr l = ip("1.2.3.4"), h = ip("1.2.3.5");
  EXPECT_EQ(iplist_iprange_to_subnets(&l, &h, nullptr, 10), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(IpRange, HostTextForms) {
  struct {
    const char *host;
    int ipv6, want;
  } cases[] = {
      {"1.2.3.4-1.2.3.9", 0, 1},  {"1.2.3.4-1.2.3.5-1.2.3.6", 0, 0}, {"1.2.3.4", 0, 0},
      {"0x0a.0.0.1-012.0.0.9", 0, 1}, {"1.2.3.4-", 0, 0},           {"-1.2.3.4", 0, 0},
      {"1.2..3-4", 0, 0},         {"1.2.3.4-a", 0, 0},             {"010.1-09", 0, 0},
      {"2001:db8::1-2001:db8::9", 1, 1}, {"2001:db8::1", 1, 0},     {"[::1-::9]", 0, 1},
      {"[::1-::9-::a]", 0, 0},    {"::g-::1", 1, 0},               {"", 0, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(iplist_hostname_is_ip_range(c.host, static_cast<int>(strlen(c.host)), c.ipv6), c.want)
        << c.host;
  // Only the given length counts.
  EXPECT_EQ(iplist_hostname_is_ip_range("1.2.3.4-1.2.3.9/x", 15, 0), 1);

  kx_ipaddr lo, hi;
  EXPECT_EQ(iplist_rangestring_to_ips("10.0.0.1-10.0.0.9", &lo, &hi), 0);
  EXPECT_EQ(lo.addr.ip, ip("10.0.0.1").addr.ip);
  EXPECT_EQ(hi.addr.ip, ip("10.0.0.9").addr.ip);
  EXPECT_EQ(iplist_rangestring_to_ips("10.0.0.1", &lo, &hi), -1);
  EXPECT_EQ(iplist_rangestring_to_ips("x-10.0.0.1", &lo, &hi), -1);
  std::string longlow(47, '1');
  EXPECT_EQ(iplist_rangestring_to_ips((longlow + "-1.2.3.4").c_str(), &lo, &hi), -1);
}

TEST(IpList, AddMasksAndRefusesDuplicates) {
  iphead *l = iplist_init(nullptr, nullptr);
  ASSERT_NE(l, nullptr);
  kx_ipaddr a = ip("10.1.2.3");
  EXPECT_EQ(iplist_add_cidr(l, &a, 8, data(1)), IPLIST_SUCCESS);
  kx_ipaddr b = ip("10.9.9.9");
  EXPECT_EQ(iplist_add_cidr(l, &b, 8, data(2)), IPLIST_ERR_EXIST);
  kx_ipaddr net = ip("10.0.0.0");
  EXPECT_EQ(tag(iplist_find_exact_data(l, &net, 8)), 1);
  EXPECT_EQ(iplist_add_cidr(l, &a, 33, data(3)), IPLIST_ERR_INVAL);
  EXPECT_EQ(iplist_add_cidr(l, &a, -1, data(3)), IPLIST_ERR_INVAL);
  kx_ipaddr odd{};
  odd.family = 99;
  EXPECT_EQ(iplist_add_cidr(l, &odd, 8, data(3)), 0);
  EXPECT_EQ(iplist_find_data(l, &odd), nullptr);
  EXPECT_EQ(iplist_add_cidr(nullptr, &a, 8, data(3)), IPLIST_ERR_NOMEM);

  kx_ipaddr v6 = ip("2001:db8:ff::");
  EXPECT_EQ(iplist_add_cidr(l, &v6, 16, data(4)), IPLIST_SUCCESS);
  kx_ipaddr want6 = ip("2001::");
  EXPECT_EQ(memcmp(&v6.addr.ip6, &want6.addr.ip6, 16), 0);  // caller storage masked
  kx_ipaddr probe = ip("2001:ffff::1");
  EXPECT_EQ(tag(iplist_find_data(l, &probe)), 4);
  kx_ipaddr miss = ip("2002::1");
  EXPECT_EQ(iplist_find_data(l, &miss), nullptr);
  iplist_terminate(l);
}

TEST(IpList, TextEntries) {
  iphead *l = iplist_init(nullptr, nullptr);
  struct {
    const char *text;
    int rc;
  } cases[] = {
      {"192.168.1.0/24", 0}, {"192.168.1.7/24", IPLIST_ERR_EXIST}, {"255.255.255.255", 0},
      {"0.0.0.0", 0},        {"0.0.0.0/0", IPLIST_ERR_EXIST},      {"1.2.3.0/0", IPLIST_ERR_INVAL},
      {"1.2.3.4/33", IPLIST_ERR_INVAL}, {"1.2.3", IPLIST_ERR_INVAL}, {"1.2.3.4/", IPLIST_ERR_INVAL},
      {"1.2.3.256", IPLIST_ERR_INVAL}, {"a.b.c.d", IPLIST_ERR_INVAL},
      {"2001:db8::/32", 0},  {"2001:db8::1", 0}, {"::", 0}, {"2001:db8::/129", IPLIST_ERR_INVAL},
      {"2001:zz::", IPLIST_ERR_INVAL},
  };
  for (const auto &c : cases) EXPECT_EQ(iplist_add_string(l, c.text, data(1)), c.rc) << c.text;
  kx_ipaddr bcast = ip("255.255.255.255");
  EXPECT_EQ(iplist_find_exact_data(l, &bcast, 32), data(1));
  EXPECT_EQ(iplist_ipv4_add_string(nullptr, "1.2.3.4", data(1)), IPLIST_ERR_NOMEM);
  EXPECT_EQ(iplist_add_subnet(l, ip("172.16.0.0").addr.ip, ip("255.240.0.0").addr.ip, data(2)), 0);
  EXPECT_EQ(iplist_add_subnet(l, ip("172.32.0.0").addr.ip, ip("255.0.255.0").addr.ip, data(2)),
            IPLIST_ERR_INVAL);
  kx_ipaddr in = ip("172.20.1.1");
  EXPECT_EQ(tag(iplist_find_data(l, &in)), 2);

  char buf[64];
  prefix_t p;
  uint8_t bytes[4] = {10, 1, 0, 0};
  patricia_prefix_new(AF_INET, bytes, 16, &p);
  EXPECT_STREQ(prefix_toa2x(&p, buf, sizeof buf, 1), "10.1.0.0/16");
  EXPECT_STREQ(prefix_toa2x(&p, buf, sizeof buf, 0), "10.1.0.0");
  EXPECT_STREQ(prefix_toa2x(nullptr, buf, sizeof buf, 1), "(Null)");
  EXPECT_STREQ(prefix_toa2x(&p, buf, 5, 1), "");  // does not fit
  iplist_terminate(l);
}

TEST(IpList, OverlapAndContainedQuestions) {
  iphead *l = iplist_init(nullptr, nullptr);
  kx_ipaddr a8 = ip("10.0.0.0"), a16 = ip("10.1.0.0"), a24 = ip("10.1.2.0");
  ASSERT_EQ(iplist_add_cidr(l, &a8, 8, data(8)), 0);
  ASSERT_EQ(iplist_add_cidr(l, &a16, 16, data(16)), 0);

  void *exact, *best;
  iplist_get_overlapped(l, &a16, 16, &exact, &best);
  EXPECT_EQ(tag(exact), 16);
  EXPECT_EQ(tag(best), 8);

  patricia_node_t *place = iplist_get_overlapped(l, &a24, 24, &exact, &best);
  EXPECT_EQ(exact, nullptr);
  EXPECT_EQ(tag(best), 16);
  void **inside = nullptr;
  EXPECT_EQ(iplist_get_smaller_subnets(place, &a24, 24, &inside), 0);
  EXPECT_EQ(inside, nullptr);

  place = iplist_get_overlapped(l, &a8, 8, &exact, &best);
  EXPECT_EQ(tag(exact), 8);
  EXPECT_EQ(best, nullptr);
  ASSERT_EQ(iplist_get_smaller_subnets(place, &a8, 8, &inside), 1);
  EXPECT_EQ(tag(inside[0]), 16);
  free(inside);

  // A tree whose only entries lie inside the question.
  iphead *m = iplist_init(nullptr, nullptr);
  kx_ipaddr b1 = ip("10.1.1.0"), b2 = ip("10.1.2.0"), b3 = ip("11.0.0.0");
  iplist_add_cidr(m, &b1, 24, data(1));
  iplist_add_cidr(m, &b2, 24, data(2));
  iplist_add_cidr(m, &b3, 24, data(3));
  place = iplist_get_overlapped(m, &a8, 8, &exact, &best);
  ASSERT_NE(place, nullptr);
  EXPECT_EQ(iplist_get_smaller_subnets(place, &a8, 8, &inside), 2);
  free(inside);
  EXPECT_EQ(iplist_get_overlapped(nullptr, &a8, 8, &exact, &best), nullptr);
  iplist_terminate(m);
  iplist_terminate(l);
}

namespace {

int freed_count = 0;
void count_free(void *) { ++freed_count; }

struct Entry {
  int family;
  std::vector<uint8_t> bytes;
  int len;
  bool operator<(const Entry &o) const {
    return std::tie(family, bytes, len) < std::tie(o.family, o.bytes, o.len);
  }
};

bool agree(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, int bits) {
  return comp_with_mask(a.data(), b.data(), static_cast<unsigned>(bits)) != 0;
}

std::vector<uint8_t> masked(std::vector<uint8_t> b, int len) {
  for (size_t i = 0; i < b.size(); ++i) {
    int keep = len - static_cast<int>(i) * 8;
    if (keep >= 8) continue;
    b[i] = keep <= 0 ? 0 : static_cast<uint8_t>(b[i] & (0xff << (8 - keep)));
  }
  return b;
}

kx_ipaddr to_ip(int family, const std::vector<uint8_t> &b) {
  kx_ipaddr a{};
  a.family = family;
  memcpy(family == AF_INET ? static_cast<void *>(&a.addr.ip) : static_cast<void *>(&a.addr.ip6),
         b.data(), b.size());
  return a;
}

}  // namespace

// Random inserts, deletes and questions against a brute-force model.
TEST(IpList, RandomRunAgreesWithModel) {
  freed_count = 0;
  iphead *l = iplist_init(count_free, nullptr);
  std::map<Entry, int> model;
  std::mt19937 rng(12345);
  int next_tag = 1, deleted = 0;
  auto random_addr = [&](int family) {
    std::vector<uint8_t> b(family == AF_INET ? 4 : 16, 0);
    // Few distinct leading bits so prefixes nest and collide often.
    b[0] = static_cast<uint8_t>(rng() % 2 ? 10 : 11);
    b[1] = static_cast<uint8_t>(rng() % 4);
    for (size_t i = 2; i < b.size(); ++i) b[i] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 0);
    return b;
  };
  for (int step = 0; step < 20000; ++step) {
    int family = rng() % 3 == 0 ? AF_INET6 : AF_INET;
    int width = family == AF_INET ? 32 : 128;
    auto addr = random_addr(family);
    int len = static_cast<int>(rng() % static_cast<unsigned>(width + 1));
    Entry key{family, masked(addr, len), len};
    kx_ipaddr a = to_ip(family, addr);
    switch (rng() % 4) {
      case 0:
      case 1: {  // insert
        int rc = iplist_add_cidr(l, &a, len, data(next_tag));
        if (model.count(key)) {
          ASSERT_EQ(rc, IPLIST_ERR_EXIST);
        } else {
          ASSERT_EQ(rc, 0);
          model[key] = next_tag;
        }
        ++next_tag;
        break;
      }
      case 2: {  // delete
        int rc = iplist_delete_cidr(l, &a, len);
        if (model.count(key)) {
          ASSERT_EQ(rc, 0);
          model.erase(key);
          ++deleted;
        } else {
          ASSERT_EQ(rc, 1);
        }
        break;
      }
      default: {  // questions
        int best_len = -1, want_best = 0, want_exact = 0, want_strict = 0, strict_len = -1;
        std::set<int> want_inside;
        for (const auto &[e, t] : model) {
          if (e.family != family) continue;
          if (agree(e.bytes, addr, e.len) && e.len > best_len) {
            best_len = e.len;
            want_best = t;
          }
          if (e.len == len && agree(e.bytes, key.bytes, len)) want_exact = t;
          if (e.len < len && agree(e.bytes, key.bytes, e.len) && e.len > strict_len) {
            strict_len = e.len;
            want_strict = t;
          }
          if (e.len > len && agree(e.bytes, key.bytes, len)) want_inside.insert(t);
        }
        ASSERT_EQ(tag(iplist_find_data(l, &a)), want_best);
        ASSERT_EQ(iplist_find(l, &a), want_best ? 0 : 1);
        ASSERT_EQ(tag(iplist_find_exact_data(l, &a, len)), want_exact);
        void *exact, *best;
        patricia_node_t *place = iplist_get_overlapped(l, &a, len, &exact, &best);
        ASSERT_EQ(tag(exact), want_exact);
        ASSERT_EQ(tag(best), want_strict);
        void **inside = nullptr;
        int n = iplist_get_smaller_subnets(place, &a, len, &inside);
        std::set<int> got;
        for (int i = 0; i < n; ++i) got.insert(tag(inside[i]));
        free(inside);
        ASSERT_EQ(got, want_inside) << "step " << step;
      }
    }
  }
  EXPECT_EQ(iplist_walk(l, nullptr, nullptr), static_cast<int>(model.size()));
  EXPECT_EQ(freed_count, deleted);
  int before = num_active_patricia.load();
  iplist_terminate(l);
  EXPECT_EQ(num_active_patricia.load(), before - 2);
  EXPECT_EQ(freed_count, deleted + static_cast<int>(model.size()));
}

TEST(Patricia, WalkIsInOrderAndRemovalKeepsNodeCounts) {
  patricia_tree_t *t = patricia_init(32);
  const char *nets[] = {"10.0.0.0", "10.128.0.0", "10.64.0.0", "192.168.0.0", "0.0.0.0"};
  int lens[] = {8, 9, 10, 16, 0};
  for (int i = 0; i < 5; ++i) {
    struct in_addr a;
    inet_pton(AF_INET, nets[i], &a);
    ASSERT_EQ(patricia_add(t, a, lens[i], data(i + 1)), 0);
  }
  std::vector<std::string> seen;
  patricia_walk(
      t,
      [](prefix_t *p, void *, void *arg) {
        char buf[64];
        static_cast<std::vector<std::string> *>(arg)->push_back(prefix_toa2x(p, buf, sizeof buf, 1));
      },
      &seen);
  // In order: a node comes between its left (bit 0) and right subtrees.
  EXPECT_EQ(seen, (V{"10.64.0.0/10", "10.0.0.0/8", "10.128.0.0/9", "0.0.0.0/0", "192.168.0.0/16"}));
  struct in_addr a;
  inet_pton(AF_INET, "10.70.1.1", &a);
  EXPECT_EQ(tag(patricia_find_data(t, a)), 3);
  for (int i = 0; i < 5; ++i) {
    struct in_addr n;
    inet_pton(AF_INET, nets[i], &n);
    ASSERT_EQ(patricia_delete(t, n, lens[i], nullptr), 0);
    ASSERT_EQ(patricia_find_exact(t, n, lens[i]), 1);
  }
  EXPECT_EQ(t->num_active_node, 0);
  EXPECT_EQ(t->head, nullptr);
  patricia_terminate(t, nullptr);
}

namespace {

// addr with bit i (from the most significant bit of the first byte) flipped.
kx_ipaddr flip(kx_ipaddr a, int i) {
  auto *bytes = a.family == AF_INET ? reinterpret_cast<uint8_t *>(&a.addr.ip) : a.addr.ip6.s6_addr;
  bytes[i / 8] ^= static_cast<uint8_t>(0x80u >> (i % 8));
  return a;
}

}  // namespace

// A prefix covers an address that differs from it only after its length and
// not one that differs in its last bit, for lengths that end inside a byte.
TEST(IpList, PrefixLengthsEndingInsideAByte) {
  struct {
    const char *addr;
    int len;
  } cases[] = {{"10.20.30.40", 1},  {"10.20.30.40", 3},  {"10.20.30.40", 7},  {"10.20.30.40", 9},
               {"10.20.30.40", 12}, {"10.20.30.40", 15}, {"10.20.30.40", 17}, {"10.20.30.40", 22},
               {"10.20.30.40", 25}, {"10.20.30.40", 31}, {"2001:db8:abcd::1", 13},
               {"2001:db8:abcd::1", 45}, {"2001:db8:abcd::1", 63}, {"2001:db8:abcd::1", 127}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.addr) + "/" + std::to_string(c.len));
    kx_ipaddr base = ip(c.addr);
    const int width = base.family == AF_INET ? 32 : 128;
    kx_ipaddr stored = base;
    iphead *l = iplist_init(nullptr, nullptr);
    ASSERT_EQ(iplist_add_cidr(l, &stored, c.len, data(7)), IPLIST_SUCCESS);
    kx_ipaddr inside = flip(base, c.len);        // first bit after the prefix
    kx_ipaddr outside = flip(base, c.len - 1);   // last bit of the prefix
    EXPECT_EQ(tag(iplist_find_data(l, &base)), 7);
    EXPECT_EQ(tag(iplist_find_data(l, &inside)), 7);
    EXPECT_EQ(iplist_find_data(l, &outside), nullptr);
    EXPECT_EQ(iplist_find(l, &outside), 1);
    EXPECT_EQ(tag(iplist_find_exact_data(l, &inside, c.len)), 7);
    EXPECT_EQ(iplist_find_exact_data(l, &outside, c.len), nullptr);
    iplist_terminate(l);

    // The trie itself, through its address wrappers.
    patricia_tree_t *t = patricia_init(static_cast<unsigned>(width));
    if (base.family == AF_INET) {
      struct in_addr b{base.addr.ip}, in{inside.addr.ip}, out{outside.addr.ip};
      ASSERT_EQ(patricia_add(t, b, c.len, data(9)), 0);
      EXPECT_EQ(tag(patricia_find_data(t, in)), 9);
      EXPECT_EQ(patricia_find_data(t, out), nullptr);
      EXPECT_EQ(tag(patricia_find_exact_data(t, in, c.len)), 9);
      EXPECT_EQ(patricia_find_exact_data(t, out, c.len), nullptr);
    } else {
      ASSERT_EQ(patricia_ipv6_add(t, &base.addr.ip6, c.len, data(9)), 0);
      EXPECT_EQ(tag(patricia_ipv6_find_data(t, &inside.addr.ip6)), 9);
      EXPECT_EQ(patricia_ipv6_find_data(t, &outside.addr.ip6), nullptr);
    }
    patricia_terminate(t, nullptr);
  }
}

TEST(IpRange, SplittersOfEachFamily) {
  ip_cidr out[8];
  // 10.0.0.1-10.0.0.6 in host order.
  ASSERT_EQ(iplist_ipv4_iprange_to_subnets(0x0A000001u, 0x0A000006u, out, 8, 32), 4);
  EXPECT_EQ(text(out[0]), "10.0.0.1/32");
  EXPECT_EQ(text(out[1]), "10.0.0.2/31");
  EXPECT_EQ(text(out[3]), "10.0.0.6/32");
  // A cap of 1 bit allows blocks of two addresses at most.
  ASSERT_EQ(iplist_ipv4_iprange_to_subnets(0x0A000000u, 0x0A000003u, out, 8, 1), 2);
  EXPECT_EQ(text(out[0]), "10.0.0.0/31");
  EXPECT_EQ(text(out[1]), "10.0.0.2/31");
  ASSERT_EQ(iplist_ipv4_iprange_to_subnets(0, 0xFFFFFFFFu, out, 1, 32), 1);
  EXPECT_EQ(text(out[0]), "0.0.0.0/0");
  EXPECT_EQ(iplist_ipv4_iprange_to_subnets(6, 5, out, 8, 32), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(iplist_ipv4_iprange_to_subnets(1, 6, out, 2, 32), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(iplist_ipv4_iprange_to_subnets(1, 6, nullptr, 2, 32), -1);
  EXPECT_EQ(errno, EINVAL);

  kx_ipaddr lo = ip("2001:db8::"), hi = ip("2001:db8::1ff");
  ASSERT_EQ(iplist_ipv6_iprange_to_subnets(&lo.addr.ip6, &hi.addr.ip6, out, 8, 128), 1);
  EXPECT_EQ(text(out[0]), "2001:db8::/119");
  ASSERT_EQ(iplist_ipv6_iprange_to_subnets(&lo.addr.ip6, &hi.addr.ip6, out, 8, 8), 2);
  EXPECT_EQ(text(out[1]), "2001:db8::100/120");
  EXPECT_EQ(iplist_ipv6_iprange_to_subnets(&hi.addr.ip6, &lo.addr.ip6, out, 8, 128), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(iplist_ipv6_iprange_to_subnets(nullptr, &hi.addr.ip6, out, 8, 128), -1);
}
