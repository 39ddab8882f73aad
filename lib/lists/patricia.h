// Patricia tries (path-compressed radix trees over address bits) of 32 bits
// for IPv4 or 128 bits for IPv6, mapping prefixes to caller data.
//
// Bit i of an address is bit (7 - i % 8) of byte i / 8. A tree is not
// locked: it is filled by one thread and may then be searched by many (the
// searches allocate nothing; search prefixes live in the caller's storage).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cassert>
#include <cstdint>

#define PATRICIA_MAXBITS 128

typedef struct _prefix_t {
  uint16_t family;  // AF_INET (2) or AF_INET6 (10)
  uint16_t bitlen;  // prefix length
  int ref_count;    // 0: lives in the caller's storage (copied when a node takes it)
  union {
    struct in_addr sin;
    struct in6_addr sin6;
    uint8_t bytes[16];
  } add;  // network order
} prefix_t;

struct _patricia_tree_t;

typedef struct _patricia_node_t {
  unsigned int bit;  // bit tested here; equals the prefix length when prefix is set
  prefix_t *prefix;  // null for a glue node
  struct _patricia_node_t *l, *r;  // children for bit 0 and 1
  struct _patricia_node_t *parent;
  void *data;   // caller data; always null in glue nodes
  void *user1;  // spare
} patricia_node_t;

// Optional filter of best-match searches: a node is accepted only when it
// returns non-zero.
typedef int (*patricia_match_fn)(patricia_node_t *node);
// Data release function of patricia_terminate.
typedef void (*patricia_data_fn)(void *data);
// Walk callback: prefix, data, caller argument.
typedef void (*patricia_walk_fn)(prefix_t *prefix, void *data, void *arg);
// Pre-order callback: prefix, data.
typedef void (*patricia_process_fn)(prefix_t *prefix, void *data);

typedef struct _patricia_tree_t {
  patricia_node_t *head;
  unsigned int maxbits;  // 32 or 128
  int num_active_node;   // nodes, glue nodes included
  patricia_match_fn match_func;
} patricia_tree_t;

// Live trees of the process (created minus terminated).
extern std::atomic<int> num_active_patricia;

// --- Prefixes ----------------------------------------------------------

// Fills *fill (ref_count 0) with family, the first 4 or 16 bytes of dest and
// bitlen; null for another family or a bitlen above the family's width.
prefix_t *patricia_prefix_new(int family, const void *dest, int bitlen, prefix_t *fill);

// As patricia_prefix_new, but with fill null a new heap prefix with
// ref_count 1 is made (free with patricia_prefix_deref).
prefix_t *patricia_prefix_new2(int family, const void *dest, int bitlen, prefix_t *fill);

// A holder's reference: a caller-storage prefix (ref_count 0) is copied into
// a new heap prefix; a heap prefix gets one more holder. Null on no memory.
prefix_t *patricia_prefix_ref(prefix_t *prefix);

// Drops one holder of a heap prefix and frees it at 0; null and
// caller-storage prefixes are ignored.
void patricia_prefix_deref(prefix_t *prefix);

// 1 when addr and dest agree on their first mask bits, else 0.
int comp_with_mask(const void *addr, const void *dest, unsigned int mask);

// 1 when the two prefixes agree on the first bits bits.
int prefix_match(const prefix_t *a, const prefix_t *b, unsigned int bits);

// Text of a prefix into the caller's buf (size bytes): "%d.%d.%d.%d" or the
// IPv6 text, with "/%d" when with_len; "(Null)" for a null prefix. Returns
// buf (an empty text when it does not fit), or null for a null buf.
char *prefix_toa2x(const prefix_t *prefix, char *buf, int size, int with_len);
char *prefix_toa2(const prefix_t *prefix, char *buf, int size);  // without length
char *prefix_toa(const prefix_t *prefix, char *buf, int size);   // same

// --- Trees -------------------------------------------------------------

// A new empty tree of maxbits (at most 128) bits; null on no memory or a
// bad width.
patricia_tree_t *patricia_init(int maxbits);

// Frees every node and prefix, applying data_fn (when set) to the data of
// every prefixed node that has data, then the tree; null is ignored.
void patricia_terminate(patricia_tree_t *tree, patricia_data_fn data_fn);

// Finds the node of prefix, inserting it when absent (the tree then holds
// its own reference). Null for a prefix longer than the tree's width or on
// no memory (the tree is then unchanged).
patricia_node_t *patricia_lookup(patricia_tree_t *tree, prefix_t *prefix);

// Unlinks node (its data is the caller's to release first).
void patricia_remove(patricia_tree_t *tree, patricia_node_t *node);

// Node of exactly prefix, or null.
patricia_node_t *patricia_search_exact(patricia_tree_t *tree, const prefix_t *prefix);

// Node of the longest stored prefix that contains prefix (prefix itself
// counted only when inclusive), accepted by match_func; or null.
patricia_node_t *patricia_search_best2(patricia_tree_t *tree, const prefix_t *prefix, int inclusive);
patricia_node_t *patricia_search_best(patricia_tree_t *tree, const prefix_t *prefix);

// One descent answering overlap questions: *exact the node of prefix (or
// null), *best the node of the longest strictly shorter stored prefix that
// contains it (or null; match_func not consulted). Returns the place node:
// the exact node when present, else the last node on the search path whose
// bit is below the prefix length, else the root (null only for an empty
// tree).
patricia_node_t *patricia_search_best_exact(patricia_tree_t *tree, const prefix_t *prefix,
                                            patricia_node_t **exact, patricia_node_t **best);

// Calls fn for every prefixed node in order (left subtree, node, right);
// returns the count.
int patricia_walk(patricia_tree_t *tree, patricia_walk_fn fn, void *arg);

// Calls fn for every prefixed node in pre-order.
void patricia_process(patricia_tree_t *tree, patricia_process_fn fn);

// Visits start and every node below it (none for a null start), each node
// before its children, without recursion.  A node's children are read
// before visit(node) runs, so visit may free the node.  visit returns false
// to stop the walk; the result is then false, else true.
template <typename Visit>
bool patricia_preorder(patricia_node_t *start, Visit &&visit) {
  // Pending right children: at most one per node on the path, so per bit.
  patricia_node_t *stack[PATRICIA_MAXBITS + 1];
  int sp = 0;
  patricia_node_t *n = start;
  while (n) {
    patricia_node_t *l = n->l, *r = n->r;
    if (!visit(n)) return false;
    if (l) {
      if (r) {
        assert(sp < PATRICIA_MAXBITS + 1);
        stack[sp++] = r;
      }
      n = l;
    } else if (r) {
      n = r;
    } else {
      n = sp > 0 ? stack[--sp] : nullptr;
    }
  }
  return true;
}

// --- Address wrappers (IPv4 addresses in network order) ----------------

// Stores data under addr/bitlen (replacing the data of an existing
// prefix). 0, or 1 when the tree could not take it.
int patricia_add(patricia_tree_t *tree, struct in_addr addr, int bitlen, void *data);
// 0 when some prefix contains addr (a /32 search), 1 when none.
int patricia_find(patricia_tree_t *tree, struct in_addr addr);
void *patricia_find_data(patricia_tree_t *tree, struct in_addr addr);
// 0 when addr/bitlen is stored, 1 when not.
int patricia_find_exact(patricia_tree_t *tree, struct in_addr addr, int bitlen);
void *patricia_find_exact_data(patricia_tree_t *tree, struct in_addr addr, int bitlen);
// Removes addr/bitlen, returning its data through *data (when given).
// 0 removed, 1 not found.
int patricia_delete(patricia_tree_t *tree, struct in_addr addr, int bitlen, void **data);

int patricia_ipv6_add(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen, void *data);
int patricia_ipv6_find(patricia_tree_t *tree, const struct in6_addr *addr);
void *patricia_ipv6_find_data(patricia_tree_t *tree, const struct in6_addr *addr);
int patricia_ipv6_find_exact(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen);
void *patricia_ipv6_find_exact_data(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen);
int patricia_ipv6_delete(patricia_tree_t *tree, const struct in6_addr *addr, int bitlen, void **data);
