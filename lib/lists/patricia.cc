#include "lib/lists/patricia.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::atomic<int> num_active_patricia{0};

namespace {

// A path holds at most one node per bit index 0..128.
constexpr int kStackSize = PATRICIA_MAXBITS + 1;

inline int family_bits(int family) {
  if (family == AF_INET) return 32;
  if (family == AF_INET6) return 128;
  return -1;
}

// Bit `bit` of the address bytes; indexes at or past the width read as 0.
inline bool bit_set(const uint8_t *addr, unsigned int bit, unsigned int maxbits) {
  if (bit >= maxbits) return false;
  return (addr[bit >> 3] & (0x80 >> (bit & 7))) != 0;
}

patricia_node_t *new_node(patricia_tree_t *tree, unsigned int bit, prefix_t *prefix) {
  auto *n = static_cast<patricia_node_t *>(calloc(1, sizeof(patricia_node_t)));
  if (!n) return nullptr;
  n->bit = bit;
  n->prefix = prefix;
  tree->num_active_node++;
  return n;
}

void free_node(patricia_tree_t *tree, patricia_node_t *n) {
  patricia_prefix_deref(n->prefix);
  free(n);
  tree->num_active_node--;
}

// Replaces old by repl in old's parent (or as the root).
void relink(patricia_tree_t *tree, patricia_node_t *old, patricia_node_t *repl) {
  patricia_node_t *parent = old->parent;
  if (!parent) tree->head = repl;
  else if (parent->r == old) parent->r = repl;
  else parent->l = repl;
  if (repl) repl->parent = parent;
}

}  // namespace

prefix_t *patricia_prefix_new(int family, const void *dest, int bitlen, prefix_t *fill) {
  int width = family_bits(family);
  if (width < 0 || !dest || !fill || bitlen < 0 || bitlen > width) return nullptr;
  memset(fill, 0, sizeof *fill);
  memcpy(fill->add.bytes, dest, static_cast<size_t>(width / 8));
  fill->family = static_cast<uint16_t>(family);
  fill->bitlen = static_cast<uint16_t>(bitlen);
  fill->ref_count = 0;
  return fill;
}

prefix_t *patricia_prefix_new2(int family, const void *dest, int bitlen, prefix_t *fill) {
  if (fill) return patricia_prefix_new(family, dest, bitlen, fill);
  auto *p = static_cast<prefix_t *>(calloc(1, sizeof(prefix_t)));
  if (!p) return nullptr;
  if (!patricia_prefix_new(family, dest, bitlen, p)) {
    free(p);
    return nullptr;
  }
  p->ref_count = 1;
  return p;
}

prefix_t *patricia_prefix_ref(prefix_t *prefix) {
  if (!prefix) return nullptr;
  if (prefix->ref_count == 0) {
    auto *p = static_cast<prefix_t *>(malloc(sizeof(prefix_t)));
    if (!p) return nullptr;
    *p = *prefix;
    p->ref_count = 1;
    return p;
  }
  prefix->ref_count++;
  return prefix;
}

void patricia_prefix_deref(prefix_t *prefix) {
  if (!prefix || prefix->ref_count <= 0) return;
  if (--prefix->ref_count == 0) free(prefix);
}

int comp_with_mask(const void *addr, const void *dest, unsigned int mask) {
  const uint8_t *a = static_cast<const uint8_t *>(addr);
  const uint8_t *d = static_cast<const uint8_t *>(dest);
  unsigned int n = mask / 8;
  if (memcmp(a, d, n) != 0) return 0;
  unsigned int rest = mask % 8;
  if (rest == 0) return 1;
  uint8_t m = static_cast<uint8_t>(0xff << (8 - rest));
  return ((a[n] ^ d[n]) & m) == 0 ? 1 : 0;
}

int prefix_match(const prefix_t *a, const prefix_t *b, unsigned int bits) {
  if (!a || !b) return 0;
  return comp_with_mask(a->add.bytes, b->add.bytes, bits);
}

char *prefix_toa2x(const prefix_t *prefix, char *buf, int size, int with_len) {
  if (!buf || size <= 0) return nullptr;
  char text[INET6_ADDRSTRLEN + 8];
  if (!prefix) {
    snprintf(text, sizeof text, "(Null)");
  } else if (prefix->family == AF_INET) {
    const uint8_t *a = prefix->add.bytes;
    if (with_len)
      snprintf(text, sizeof text, "%d.%d.%d.%d/%d", a[0], a[1], a[2], a[3], prefix->bitlen);
    else
      snprintf(text, sizeof text, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  } else if (prefix->family == AF_INET6) {
    char a[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &prefix->add.sin6, a, sizeof a)) a[0] = '\0';
    if (with_len) snprintf(text, sizeof text, "%s/%d", a, prefix->bitlen);
    else snprintf(text, sizeof text, "%s", a);
  } else {
    text[0] = '\0';
  }
  if (strlen(text) >= static_cast<size_t>(size)) buf[0] = '\0';
  else strcpy(buf, text);
  return buf;
}

char *prefix_toa2(const prefix_t *prefix, char *buf, int size) { return prefix_toa2x(prefix, buf, size, 0); }
char *prefix_toa(const prefix_t *prefix, char *buf, int size) { return prefix_toa2x(prefix, buf, size, 0); }

patricia_tree_t *patricia_init(int maxbits) {
  if (maxbits < 0 || maxbits > PATRICIA_MAXBITS) return nullptr;
  auto *t = static_cast<patricia_tree_t *>(calloc(1, sizeof(patricia_tree_t)));
  if (!t) return nullptr;
  t->maxbits = static_cast<unsigned int>(maxbits);
  num_active_patricia++;
  return t;
}

void patricia_terminate(patricia_tree_t *tree, patricia_data_fn data_fn) {
  if (!tree) return;
  patricia_preorder(tree->head, [&](patricia_node_t *n) {
    if (n->prefix && n->data && data_fn) data_fn(n->data);
    free_node(tree, n);
    return true;
  });
  assert(tree->num_active_node == 0);
  free(tree);
  num_active_patricia--;
}

patricia_node_t *patricia_lookup(patricia_tree_t *tree, prefix_t *prefix) {
  if (!tree || !prefix || prefix->bitlen > tree->maxbits) return nullptr;
  const unsigned int maxbits = tree->maxbits;
  const uint8_t *addr = prefix->add.bytes;
  const unsigned int bitlen = prefix->bitlen;

  if (!tree->head) {
    prefix_t *p = patricia_prefix_ref(prefix);
    if (!p) return nullptr;
    patricia_node_t *n = new_node(tree, bitlen, p);
    if (!n) {
      patricia_prefix_deref(p);
      return nullptr;
    }
    tree->head = n;
    return n;
  }

  patricia_node_t *node = tree->head;
  while (node->bit < bitlen || !node->prefix) {
    patricia_node_t *next = bit_set(addr, node->bit, maxbits) ? node->r : node->l;
    if (!next) break;
    node = next;
  }
  assert(node->prefix);

  const uint8_t *test_addr = node->prefix->add.bytes;
  unsigned int check_bit = node->bit < bitlen ? node->bit : bitlen;
  unsigned int differ_bit = 0;
  for (unsigned int i = 0; i * 8 < check_bit; ++i) {
    uint8_t r = addr[i] ^ test_addr[i];
    if (r == 0) {
      differ_bit = (i + 1) * 8;
      continue;
    }
    unsigned int j = 0;
    while (j < 8 && !(r & (0x80 >> j))) ++j;
    differ_bit = i * 8 + j;
    break;
  }
  if (differ_bit > check_bit) differ_bit = check_bit;

  patricia_node_t *parent = node->parent;
  while (parent && parent->bit >= differ_bit) {
    node = parent;
    parent = node->parent;
  }

  if (differ_bit == bitlen && node->bit == bitlen) {
    if (node->prefix) return node;
    prefix_t *p = patricia_prefix_ref(prefix);
    if (!p) return nullptr;
    node->prefix = p;
    return node;
  }

  prefix_t *p = patricia_prefix_ref(prefix);
  if (!p) return nullptr;
  patricia_node_t *added = new_node(tree, bitlen, p);
  if (!added) {
    patricia_prefix_deref(p);
    return nullptr;
  }

  if (node->bit == differ_bit) {
    added->parent = node;
    if (bit_set(addr, node->bit, maxbits)) {
      assert(!node->r);
      node->r = added;
    } else {
      assert(!node->l);
      node->l = added;
    }
    return added;
  }

  if (bitlen == differ_bit) {
    if (bit_set(test_addr, bitlen, maxbits)) added->r = node;
    else added->l = node;
    relink(tree, node, added);
    node->parent = added;
    return added;
  }

  patricia_node_t *glue = new_node(tree, differ_bit, nullptr);
  if (!glue) {
    free_node(tree, added);
    return nullptr;
  }
  if (bit_set(addr, differ_bit, maxbits)) {
    glue->r = added;
    glue->l = node;
  } else {
    glue->r = node;
    glue->l = added;
  }
  relink(tree, node, glue);
  added->parent = glue;
  node->parent = glue;
  return added;
}

void patricia_remove(patricia_tree_t *tree, patricia_node_t *node) {
  if (!tree || !node) return;
  if (node->l && node->r) {
    // Still needed to join its subtrees: becomes a glue node.
    patricia_prefix_deref(node->prefix);
    node->prefix = nullptr;
    node->data = nullptr;
    return;
  }
  if (!node->l && !node->r) {
    patricia_node_t *parent = node->parent;
    free_node(tree, node);
    if (!parent) {
      tree->head = nullptr;
      return;
    }
    patricia_node_t *child;
    if (parent->r == node) {
      parent->r = nullptr;
      child = parent->l;
    } else {
      parent->l = nullptr;
      child = parent->r;
    }
    if (parent->prefix) return;
    // A glue node left with one child is replaced by it.
    assert(child);
    relink(tree, parent, child);
    free_node(tree, parent);
    return;
  }
  patricia_node_t *child = node->r ? node->r : node->l;
  relink(tree, node, child);
  free_node(tree, node);
}

patricia_node_t *patricia_search_exact(patricia_tree_t *tree, const prefix_t *prefix) {
  if (!tree || !prefix || prefix->bitlen > tree->maxbits) return nullptr;
  const uint8_t *addr = prefix->add.bytes;
  const unsigned int bitlen = prefix->bitlen;
  patricia_node_t *node = tree->head;
  while (node && node->bit < bitlen)
    node = bit_set(addr, node->bit, tree->maxbits) ? node->r : node->l;
  if (!node || node->bit != bitlen || !node->prefix) return nullptr;
  return comp_with_mask(node->prefix->add.bytes, addr, bitlen) ? node : nullptr;
}

patricia_node_t *patricia_search_best2(patricia_tree_t *tree, const prefix_t *prefix, int inclusive) {
  if (!tree || !prefix || prefix->bitlen > tree->maxbits) return nullptr;
  const uint8_t *addr = prefix->add.bytes;
  const unsigned int bitlen = prefix->bitlen;
  patricia_node_t *stack[kStackSize];
  int cnt = 0;
  patricia_node_t *node = tree->head;
  while (node && node->bit < bitlen) {
    if (node->prefix) stack[cnt++] = node;
    node = bit_set(addr, node->bit, tree->maxbits) ? node->r : node->l;
  }
  if (inclusive && node && node->prefix && node->bit == bitlen) stack[cnt++] = node;
  while (--cnt >= 0) {
    node = stack[cnt];
    if (comp_with_mask(node->prefix->add.bytes, addr, node->prefix->bitlen) &&
        (!tree->match_func || tree->match_func(node)))
      return node;
  }
  return nullptr;
}

patricia_node_t *patricia_search_best(patricia_tree_t *tree, const prefix_t *prefix) {
  return patricia_search_best2(tree, prefix, 1);
}

patricia_node_t *patricia_search_best_exact(patricia_tree_t *tree, const prefix_t *prefix,
                                            patricia_node_t **exact, patricia_node_t **best) {
  if (exact) *exact = nullptr;
  if (best) *best = nullptr;
  if (!tree || !prefix || prefix->bitlen > tree->maxbits || !tree->head) return nullptr;
  const uint8_t *addr = prefix->add.bytes;
  const unsigned int bitlen = prefix->bitlen;
  patricia_node_t *stack[kStackSize];
  int cnt = 0;
  patricia_node_t *place = nullptr;
  patricia_node_t *node = tree->head;
  while (node && node->bit < bitlen) {
    if (node->prefix) stack[cnt++] = node;
    place = node;
    node = bit_set(addr, node->bit, tree->maxbits) ? node->r : node->l;
  }
  if (node && node->bit == bitlen && node->prefix &&
      comp_with_mask(node->prefix->add.bytes, addr, bitlen)) {
    place = node;
    if (exact) *exact = node;
  }
  // No node above the length: the whole tree lies below the question.
  if (!place) place = tree->head;
  while (--cnt >= 0) {
    patricia_node_t *n = stack[cnt];
    if (comp_with_mask(n->prefix->add.bytes, addr, n->prefix->bitlen)) {
      if (best) *best = n;
      break;
    }
  }
  return place;
}

int patricia_walk(patricia_tree_t *tree, patricia_walk_fn fn, void *arg) {
  if (!tree) return 0;
  patricia_node_t *stack[kStackSize];
  int sp = 0, count = 0;
  patricia_node_t *n = tree->head;
  while (n || sp > 0) {
    while (n) {
      assert(sp < kStackSize);
      stack[sp++] = n;
      n = n->l;
    }
    n = stack[--sp];
    if (n->prefix) {
      if (fn) fn(n->prefix, n->data, arg);
      ++count;
    }
    n = n->r;
  }
  return count;
}

void patricia_process(patricia_tree_t *tree, patricia_process_fn fn) {
  if (!tree || !fn) return;
  patricia_preorder(tree->head, [&](patricia_node_t *n) {
    if (n->prefix) fn(n->prefix, n->data);
    return true;
  });
}

namespace {

int add_bytes(patricia_tree_t *tree, int family, const void *addr, int bitlen, void *data) {
  prefix_t p;
  if (!patricia_prefix_new(family, addr, bitlen, &p)) return 1;
  patricia_node_t *n = patricia_lookup(tree, &p);
  if (!n) return 1;
  n->data = data;
  return 0;
}

patricia_node_t *find_bytes(patricia_tree_t *tree, int family, const void *addr) {
  prefix_t p;
  if (!patricia_prefix_new(family, addr, family == AF_INET ? 32 : 128, &p)) return nullptr;
  return patricia_search_best(tree, &p);
}

patricia_node_t *exact_bytes(patricia_tree_t *tree, int family, const void *addr, int bitlen) {
  prefix_t p;
  if (!patricia_prefix_new(family, addr, bitlen, &p)) return nullptr;
  return patricia_search_exact(tree, &p);
}

int delete_bytes(patricia_tree_t *tree, int family, const void *addr, int bitlen, void **data) {
  patricia_node_t *n = exact_bytes(tree, family, addr, bitlen);
  if (!n) return 1;
  if (data) *data = n->data;
  patricia_remove(tree, n);
  return 0;
}

}  // namespace

int patricia_add(patricia_tree_t *tree, struct in_addr addr, int bitlen, void *data) {
  return add_bytes(tree, AF_INET, &addr, bitlen, data);
}
int patricia_find(patricia_tree_t *tree, struct in_addr addr) {
  return find_bytes(tree, AF_INET, &addr) ? 0 : 1;
}
void *patricia_find_data(patricia_tree_t *tree, struct in_addr addr) {
  patricia_node_t *n = find_bytes(tree, AF_INET, &addr);
  return n ? n->data : nullptr;
}
int patricia_find_exact(patricia_tree_t *tree, struct in_addr addr, int bitlen) {
  return exact_bytes(tree, AF_INET, &addr, bitlen) ? 0 : 1;
}
void *patricia_find_exact_data(patricia_tree_t *tree, struct in_addr addr, int bitlen) {
  patricia_node_t *n = exact_bytes(tree, AF_INET, &addr, bitlen);
  return n ? n->data : nullptr;
}
int patricia_delete(patricia_tree_t *tree, struct in_addr addr, int bitlen, void **data) {
  return delete_bytes(tree, AF_INET, &addr, bitlen, data);
}

int patricia_ipv6_add(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen, void *data) {
  return add_bytes(tree, AF_INET6, addr, bitlen, data);
}
int patricia_ipv6_find(patricia_tree_t *tree, const struct in6_addr *addr) {
  return find_bytes(tree, AF_INET6, addr) ? 0 : 1;
}
void *patricia_ipv6_find_data(patricia_tree_t *tree, const struct in6_addr *addr) {
  patricia_node_t *n = find_bytes(tree, AF_INET6, addr);
  return n ? n->data : nullptr;
}
int patricia_ipv6_find_exact(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen) {
  return exact_bytes(tree, AF_INET6, addr, bitlen) ? 0 : 1;
}
void *patricia_ipv6_find_exact_data(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen) {
  patricia_node_t *n = exact_bytes(tree, AF_INET6, addr, bitlen);
  return n ? n->data : nullptr;
}
int patricia_ipv6_delete(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen, void **data) {
  return delete_bytes(tree, AF_INET6, addr, bitlen, data);
}
