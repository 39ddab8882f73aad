#include "lib/lists/iplist.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

typedef unsigned __int128 u128;

// Clears every bit of the len bytes of addr after the first bits bits.
void mask_bytes(uint8_t *addr, int len, int bits) {
  for (int i = 0; i < len; ++i) {
    int keep = bits - i * 8;
    if (keep >= 8) continue;
    addr[i] = keep <= 0 ? 0 : static_cast<uint8_t>(addr[i] & (0xff << (8 - keep)));
  }
}

patricia_tree_t *tree_of(iphead *list, int family) {
  if (!list) return nullptr;
  if (family == AF_INET) return list->head_ipv4;
  if (family == AF_INET6) return list->head_ipv6;
  return nullptr;
}

int family_width(int family) { return family == AF_INET ? 32 : family == AF_INET6 ? 128 : -1; }

// Adds the masked address bytes; the IPLIST_ codes.
int add_prefix(iphead *list, int family, const uint8_t *bytes, int cidr, void *data) {
  patricia_tree_t *tree = tree_of(list, family);
  if (!tree) return IPLIST_ERR_NOMEM;
  prefix_t p;
  if (!patricia_prefix_new(family, bytes, cidr, &p)) return IPLIST_ERR_INVAL;
  if (patricia_search_exact(tree, &p)) return IPLIST_ERR_EXIST;
  patricia_node_t *n = patricia_lookup(tree, &p);
  if (!n) return IPLIST_ERR_TREE;
  n->data = data;
  return IPLIST_SUCCESS;
}

int delete_prefix(iphead *list, int family, const uint8_t *bytes, int cidr) {
  patricia_tree_t *tree = tree_of(list, family);
  if (!tree) return IPLIST_ERR_NOMEM;
  prefix_t p;
  if (!patricia_prefix_new(family, bytes, cidr, &p)) return IPLIST_ERR_INVAL;
  patricia_node_t *n = patricia_search_exact(tree, &p);
  if (!n) return 1;
  if (n->data && list->free_func) list->free_func(n->data);
  n->data = nullptr;
  patricia_remove(tree, n);
  return 0;
}

void *find_best(iphead *list, int family, const void *bytes) {
  patricia_tree_t *tree = tree_of(list, family);
  if (!tree) return nullptr;
  prefix_t p;
  if (!patricia_prefix_new(family, bytes, family_width(family), &p)) return nullptr;
  patricia_node_t *n = patricia_search_best(tree, &p);
  return n ? n->data : nullptr;
}

int find_any(iphead *list, int family, const void *bytes) {
  patricia_tree_t *tree = tree_of(list, family);
  if (!tree) return 1;
  prefix_t p;
  if (!patricia_prefix_new(family, bytes, family_width(family), &p)) return 1;
  return patricia_search_best(tree, &p) ? 0 : 1;
}

const uint8_t *ip_bytes(const kx_ipaddr *ip) {
  return ip->family == AF_INET ? reinterpret_cast<const uint8_t *>(&ip->addr.ip)
                               : reinterpret_cast<const uint8_t *>(&ip->addr.ip6);
}

u128 to_u128(const uint8_t *b) {
  u128 v = 0;
  for (int i = 0; i < 16; ++i) v = (v << 8) | b[i];
  return v;
}

void from_u128(u128 v, uint8_t *b) {
  for (int i = 15; i >= 0; --i) {
    b[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

// The largest k <= cap with begin a multiple of 2^k and begin + 2^k - 1 <=
// high, for width-bit values held in 128 bits.
int block_bits(u128 begin, u128 high, int cap, int width) {
  for (int k = cap; k > 0; --k) {
    if (k >= width) {
      // The whole space: only from 0 to the all-ones value.
      u128 all = width == 128 ? ~static_cast<u128>(0) : ((static_cast<u128>(1) << width) - 1);
      if (begin == 0 && high == all) return k;
      continue;
    }
    u128 size = static_cast<u128>(1) << k;
    if ((begin & (size - 1)) == 0 && high - begin >= size - 1) return k;
  }
  return 0;
}

int split_range(int family, u128 low, u128 high, ip_cidr *out, int size, int cap) {
  const int width = family == AF_INET ? 32 : 128;
  const u128 all = width == 128 ? ~static_cast<u128>(0) : ((static_cast<u128>(1) << width) - 1);
  if (!out || high < low || size < 0) {
    errno = EINVAL;
    return -1;
  }
  if (cap > width) cap = width;
  if (cap < 0) cap = 0;
  int count = 0;
  u128 begin = low;
  bool covered = false;
  while (count < size) {
    int k = block_bits(begin, high, cap, width);
    ip_cidr *c = &out[count++];
    memset(c, 0, sizeof *c);
    c->ip.family = family;
    if (family == AF_INET) c->ip.addr.ip = htonl(static_cast<uint32_t>(begin));
    else from_u128(begin, reinterpret_cast<uint8_t *>(&c->ip.addr.ip6));
    c->cidr = width - k;
    u128 last = k >= width ? all : begin + ((static_cast<u128>(1) << k) - 1);
    if (last >= high || last == all) {
      covered = true;
      break;
    }
    begin = last + 1;
  }
  if (!covered) {
    errno = ENOMEM;
    return -1;
  }
  return count;
}

bool is_hex(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first cidr bits of the address (width bits wide), the rest zero, into b.
void masked_copy(const kx_ipaddr *ip, int width, int cidr, uint8_t *b) {
  memcpy(b, ip_bytes(ip), static_cast<size_t>(width / 8));
  mask_bytes(b, width / 8, cidr);
}

// The list's tree for the address's family, with *p the prefix of the
// address's first cidr bits; null when there is no such tree or cidr does
// not fit the family (p is then unset).
patricia_tree_t *masked_prefix(iphead *list, const kx_ipaddr *ip, int cidr, prefix_t *p) {
  patricia_tree_t *tree = tree_of(list, ip->family);
  int width = family_width(ip->family);
  if (!tree || cidr < 0 || cidr > width) return nullptr;
  uint8_t b[16];
  masked_copy(ip, width, cidr, b);
  return patricia_prefix_new(ip->family, b, cidr, p) ? tree : nullptr;
}

}  // namespace

iphead *iplist_init(iplist_free_fn free_func, patricia_match_fn match_func) {
  auto *l = static_cast<iphead *>(calloc(1, sizeof(iphead)));
  if (!l) return nullptr;
  l->head_ipv4 = patricia_init(32);
  l->head_ipv6 = patricia_init(128);
  if (!l->head_ipv4 || !l->head_ipv6) {
    patricia_terminate(l->head_ipv4, nullptr);
    patricia_terminate(l->head_ipv6, nullptr);
    free(l);
    return nullptr;
  }
  l->head_ipv4->match_func = match_func;
  l->head_ipv6->match_func = match_func;
  l->free_func = free_func;
  return l;
}

void iplist_terminate(iphead *list) {
  if (!list) return;
  patricia_terminate(list->head_ipv4, list->free_func);
  patricia_terminate(list->head_ipv6, list->free_func);
  free(list);
}

void *iplist_find_data(iphead *list, const kx_ipaddr *ip) {
  if (!list || !ip) return nullptr;
  if (ip->family != AF_INET && ip->family != AF_INET6) return nullptr;
  return find_best(list, ip->family, ip_bytes(ip));
}

void *iplist_ipv4_find_data(iphead *list, in_addr_t ip) { return find_best(list, AF_INET, &ip); }

void *iplist_ipv6_find_data(iphead *list, const struct in6_addr *ip) {
  return ip ? find_best(list, AF_INET6, ip) : nullptr;
}

int iplist_find(iphead *list, const kx_ipaddr *ip) {
  if (!list || !ip) return 1;
  if (ip->family != AF_INET && ip->family != AF_INET6) return -1;
  return find_any(list, ip->family, ip_bytes(ip));
}

int iplist_ipv4_find(iphead *list, in_addr_t ip) { return find_any(list, AF_INET, &ip); }

int iplist_ipv6_find(iphead *list, const struct in6_addr *ip) {
  return ip ? find_any(list, AF_INET6, ip) : 1;
}

void *iplist_find_exact_data(iphead *list, const kx_ipaddr *ip, int cidr) {
  if (!ip) return nullptr;
  prefix_t p;
  patricia_tree_t *tree = masked_prefix(list, ip, cidr, &p);
  if (!tree) return nullptr;
  patricia_node_t *n = patricia_search_exact(tree, &p);
  return n ? n->data : nullptr;
}

int iplist_ipv4_add_cidr(iphead *list, in_addr_t ip, int cidr, void *data) {
  if (cidr < 0 || cidr > 32) return IPLIST_ERR_INVAL;
  if (!list) return IPLIST_ERR_NOMEM;
  uint8_t *b = reinterpret_cast<uint8_t *>(&ip);
  mask_bytes(b, 4, cidr);
  return add_prefix(list, AF_INET, b, cidr, data);
}

int iplist_ipv6_add_cidr(iphead *list, struct in6_addr *ip, int cidr, void *data) {
  if (!ip || cidr < 0 || cidr > 128) return IPLIST_ERR_INVAL;
  if (!list) return IPLIST_ERR_NOMEM;
  uint8_t *b = reinterpret_cast<uint8_t *>(ip);
  mask_bytes(b, 16, cidr);
  return add_prefix(list, AF_INET6, b, cidr, data);
}

int iplist_add_cidr(iphead *list, kx_ipaddr *ip, int cidr, void *data) {
  if (!ip) return IPLIST_ERR_INVAL;
  if (ip->family == AF_INET) return iplist_ipv4_add_cidr(list, ip->addr.ip, cidr, data);
  if (ip->family == AF_INET6) return iplist_ipv6_add_cidr(list, &ip->addr.ip6, cidr, data);
  return 0;
}

int iplist_ipv4_delete_cidr(iphead *list, in_addr_t ip, int cidr) {
  if (cidr < 0 || cidr > 32) return IPLIST_ERR_INVAL;
  if (!list) return IPLIST_ERR_NOMEM;
  uint8_t *b = reinterpret_cast<uint8_t *>(&ip);
  mask_bytes(b, 4, cidr);
  return delete_prefix(list, AF_INET, b, cidr);
}

int iplist_ipv6_delete_cidr(iphead *list, struct in6_addr *ip, int cidr) {
  if (!ip || cidr < 0 || cidr > 128) return IPLIST_ERR_INVAL;
  if (!list) return IPLIST_ERR_NOMEM;
  uint8_t b[16];
  memcpy(b, ip, 16);
  mask_bytes(b, 16, cidr);
  return delete_prefix(list, AF_INET6, b, cidr);
}

int iplist_delete_cidr(iphead *list, kx_ipaddr *ip, int cidr) {
  if (!ip) return 1;
  if (ip->family == AF_INET) return iplist_ipv4_delete_cidr(list, ip->addr.ip, cidr);
  if (ip->family == AF_INET6) return iplist_ipv6_delete_cidr(list, &ip->addr.ip6, cidr);
  return 1;
}

namespace {

int mask_to_cidr(in_addr_t mask) {
  uint32_t m = ntohl(mask);
  uint32_t inv = ~m;
  if ((inv & (inv + 1)) != 0) return -1;  // not contiguous
  return __builtin_popcount(m);
}

}  // namespace

int iplist_add_subnet(iphead *list, in_addr_t ip, in_addr_t mask, void *data) {
  int cidr = mask_to_cidr(mask);
  if (cidr < 0) return IPLIST_ERR_INVAL;
  return iplist_ipv4_add_cidr(list, ip, cidr, data);
}

int iplist_delete_subnet(iphead *list, in_addr_t ip, in_addr_t mask) {
  int cidr = mask_to_cidr(mask);
  if (cidr < 0) return IPLIST_ERR_INVAL;
  return iplist_ipv4_delete_cidr(list, ip, cidr);
}

int iplist_ipaddr_check(const char *text) {
  if (!text) return -1;
  const char *p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return -1;
      ++p;
    }
    if (!is_digit(*p)) return -1;
    while (is_digit(*p)) ++p;
  }
  if (*p == '\0') return 0;
  if (*p != '/') return -1;
  ++p;
  if (!is_digit(*p)) return -1;
  while (is_digit(*p)) ++p;
  return *p == '\0' ? 0 : -1;
}

namespace {

// Splits "addr[/len]" into addr (at most maxaddr characters) and a length
// (default_len when absent). False for a bad text.
bool split_prefix_text(const char *text, char *addr, size_t maxaddr, int maxlen, int default_len,
                       int *len) {
  const char *slash = strchr(text, '/');
  size_t alen = slash ? static_cast<size_t>(slash - text) : strlen(text);
  if (alen == 0 || alen > maxaddr) return false;
  memcpy(addr, text, alen);
  addr[alen] = '\0';
  *len = default_len;
  if (slash) {
    const char *d = slash + 1;
    if (!is_digit(*d) || strlen(d) > 3) return false;
    for (const char *q = d; *q; ++q)
      if (!is_digit(*q)) return false;
    *len = atoi(d);
    if (*len > maxlen) return false;
  }
  return true;
}

}  // namespace

int iplist_ipv4_add_string(iphead *list, const char *text, void *data) {
  if (!list) return IPLIST_ERR_NOMEM;
  if (iplist_ipaddr_check(text) != 0) return IPLIST_ERR_INVAL;
  char addr[20];
  int len = 32;
  if (!split_prefix_text(text, addr, 16, 32, 32, &len)) return IPLIST_ERR_INVAL;
  struct in_addr a;
  // inet_aton (not inet_addr): 255.255.255.255 is a valid address here.
  if (inet_aton(addr, &a) == 0) return IPLIST_ERR_INVAL;
  if (a.s_addr == 0) len = 0;
  else if (len == 0) return IPLIST_ERR_INVAL;
  return iplist_ipv4_add_cidr(list, a.s_addr, len, data);
}

int iplist_ipv6_add_string(iphead *list, const char *text, void *data) {
  if (!list) return IPLIST_ERR_NOMEM;
  if (!text) return IPLIST_ERR_INVAL;
  char addr[INET6_ADDRSTRLEN + 2];
  int len = 128;
  if (!split_prefix_text(text, addr, INET6_ADDRSTRLEN, 128, 128, &len)) return IPLIST_ERR_INVAL;
  struct in6_addr a;
  if (inet_pton(AF_INET6, addr, &a) != 1) return IPLIST_ERR_INVAL;
  static const struct in6_addr any = IN6ADDR_ANY_INIT;
  if (memcmp(&a, &any, sizeof a) == 0) len = 0;
  return iplist_ipv6_add_cidr(list, &a, len, data);
}

int iplist_add_string(iphead *list, const char *text, void *data) {
  if (!text) return IPLIST_ERR_INVAL;
  return strchr(text, ':') ? iplist_ipv6_add_string(list, text, data)
                           : iplist_ipv4_add_string(list, text, data);
}

int iplist_subnetstring_to_ip_and_cidr(const char *text, kx_ipaddr *ip, int *cidr) {
  if (!text || !ip || !cidr) return -1;
  char addr[INET6_ADDRSTRLEN + 2];
  bool v6 = strchr(text, ':') != nullptr;
  int width = v6 ? 128 : 32;
  int len;
  if (!split_prefix_text(text, addr, INET6_ADDRSTRLEN, width, width, &len)) return -1;
  memset(ip, 0, sizeof *ip);
  if (v6) {
    if (inet_pton(AF_INET6, addr, &ip->addr.ip6) != 1) return -1;
    ip->family = AF_INET6;
  } else {
    struct in_addr a;
    if (inet_aton(addr, &a) == 0) return -1;
    ip->family = AF_INET;
    ip->addr.ip = a.s_addr;
  }
  *cidr = len;
  return 0;
}

int iplist_hostname_is_ip_range(const char *host, int len, int ipv6) {
  if (!host || len <= 0) return 0;
  int i = 0;
  auto at = [&](int k) -> char { return k < len ? host[k] : '\0'; };
  int dashes = 0;
  if (!ipv6 && at(0) == '[') {
    ipv6 = 1;
    i = 1;
  }
  if (ipv6) {
    for (; at(i) != '\0'; ++i) {
      char c = at(i);
      if (c == '-') ++dashes;
      else if (c == ']' && at(i + 1) == '\0') break;
      else if (!is_hex(c) && c != ':' && c != '.') return 0;
    }
    return dashes == 1 ? 1 : 0;
  }
  if (!is_digit(at(0))) return 0;
  for (;;) {
    // One number: 0x hex, 0-prefixed octal, or decimal.
    if (at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X')) {
      i += 2;
      if (!is_hex(at(i))) return 0;
      while (is_hex(at(i))) ++i;
    } else if (at(i) == '0') {
      while (at(i) >= '0' && at(i) <= '7') ++i;
    } else {
      while (is_digit(at(i))) ++i;
    }
    char c = at(i);
    if (c == '\0') break;
    if (c != '.' && c != '-') return 0;
    if (c == '-') ++dashes;
    ++i;
    if (!is_digit(at(i))) return 0;
  }
  return dashes == 1 ? 1 : 0;
}

int iplist_rangestring_to_ips(const char *text, kx_ipaddr *low, kx_ipaddr *high) {
  if (!text || !low || !high) return -1;
  const char *dash = strchr(text, '-');
  if (!dash) return -1;
  size_t n = static_cast<size_t>(dash - text);
  if (n >= 47) return -1;
  char buf[48];
  memcpy(buf, text, n);
  buf[n] = '\0';
  if (kxnet_aton(buf, low) != 0) return -1;
  if (kxnet_aton(dash + 1, high) != 0) return -1;
  return 0;
}

int iplist_iprange_to_subnets_limited(const kx_ipaddr *low, const kx_ipaddr *high, ip_cidr *out,
                                      int size, int maxbits) {
  if (!low || !high || !out) {
    errno = EINVAL;
    return -1;
  }
  if (low->family == AF_INET && high->family == AF_INET)
    return iplist_ipv4_iprange_to_subnets(ntohl(low->addr.ip), ntohl(high->addr.ip), out, size, maxbits);
  if (low->family != AF_INET6 || high->family != AF_INET6) {
    errno = EINVAL;
    return -1;
  }
  return iplist_ipv6_iprange_to_subnets(&low->addr.ip6, &high->addr.ip6, out, size, maxbits);
}

int iplist_ipv4_iprange_to_subnets(uint32_t low, uint32_t high, ip_cidr *out, int size, int maxbits) {
  return split_range(AF_INET, low, high, out, size, maxbits > 32 ? 32 : maxbits);
}

int iplist_ipv6_iprange_to_subnets(const struct in6_addr *low, const struct in6_addr *high, ip_cidr *out,
                                   int size, int maxbits) {
  if (!low || !high) {
    errno = EINVAL;
    return -1;
  }
  return split_range(AF_INET6, to_u128(low->s6_addr), to_u128(high->s6_addr), out, size,
                     maxbits > 128 ? 128 : maxbits);
}

int iplist_iprange_to_subnets(const kx_ipaddr *low, const kx_ipaddr *high, ip_cidr *out, int size) {
  return iplist_iprange_to_subnets_limited(low, high, out, size, 128);
}

int iplist_add_range(iphead *list, const kx_ipaddr *low, const kx_ipaddr *high, void *data) {
  ip_cidr blocks[MAX_SUBNETS_IN_RANGE];
  int n = iplist_iprange_to_subnets(low, high, blocks, MAX_SUBNETS_IN_RANGE);
  if (n < 0) return IPLIST_ERR_INVAL;
  for (int i = 0; i < n; ++i) {
    int rc = iplist_add_cidr(list, &blocks[i].ip, blocks[i].cidr, data);
    if (rc != 0) return rc;
  }
  return 0;
}

int iplist_delete_range(iphead *list, const kx_ipaddr *low, const kx_ipaddr *high) {
  ip_cidr blocks[MAX_SUBNETS_IN_RANGE];
  int n = iplist_iprange_to_subnets(low, high, blocks, MAX_SUBNETS_IN_RANGE);
  if (n < 0) return IPLIST_ERR_INVAL;
  for (int i = 0; i < n; ++i) {
    int rc = iplist_delete_cidr(list, &blocks[i].ip, blocks[i].cidr);
    if (rc != 0) return rc;
  }
  return 0;
}

int iplist_subnet_size_to_bits(uint64_t size) {
  int bits = 0;
  while (bits < 64 && (static_cast<uint64_t>(1) << bits) < size) ++bits;
  return bits;
}

patricia_node_t *iplist_get_overlapped(iphead *list, const kx_ipaddr *ip, int cidr, void **exact,
                                       void **best) {
  if (exact) *exact = nullptr;
  if (best) *best = nullptr;
  if (!ip) return nullptr;
  prefix_t p;
  patricia_tree_t *tree = masked_prefix(list, ip, cidr, &p);
  if (!tree) return nullptr;
  patricia_node_t *en = nullptr, *bn = nullptr;
  patricia_node_t *place = patricia_search_best_exact(tree, &p, &en, &bn);
  if (exact && en) *exact = en->data;
  if (best && bn) *best = bn->data;
  return place;
}

int iplist_get_smaller_subnets(patricia_node_t *start, const kx_ipaddr *ip, int cidr, void ***out) {
  if (out) *out = nullptr;
  if (!start || !ip || !out) return 0;
  int width = family_width(ip->family);
  if (width < 0 || cidr < 0 || cidr > width) return 0;
  uint8_t b[16];
  masked_copy(ip, width, cidr, b);

  void **arr = nullptr;
  int count = 0, room = 0;
  bool whole = patricia_preorder(start, [&](patricia_node_t *n) {
    // Strictly inside: longer than the question and agreeing on its bits
    // (the start itself when it is the question's own prefix is not).
    if (n->prefix && n->prefix->bitlen > cidr && comp_with_mask(n->prefix->add.bytes, b, cidr)) {
      if (count == room) {
        auto *grown = static_cast<void **>(realloc(arr, (static_cast<size_t>(room) + 32) * sizeof(void *)));
        if (!grown) return false;
        arr = grown;
        room += 32;
      }
      arr[count++] = n->data;
    }
    return true;
  });
  if (!whole) {
    free(arr);
    return -1;
  }
  *out = arr;
  return count;
}

int iplist_walk(iphead *list, patricia_walk_fn fn, void *arg) {
  if (!list) return 0;
  return patricia_walk(list->head_ipv4, fn, arg) + patricia_walk(list->head_ipv6, fn, arg);
}
