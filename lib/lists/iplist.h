// IP prefix lists: IPv4 and IPv6 prefixes mapped to caller data, with
// longest-prefix, exact, overlap and contained-prefix questions, and the
// splitting of address ranges into CIDR blocks.
//
// A list is filled by one thread and is read-only once published; searches
// allocate nothing and may run in parallel. Addresses are kx_ipaddr values
// parsed from text (network order).
#pragma once

#include "lib/base/kxnet.h"
#include "lib/lists/patricia.h"

#define IPLIST_SUCCESS 0
#define IPLIST_ERR_INVAL (-1)  // bad address, prefix length or text
#define IPLIST_ERR_EXIST (-2)  // the exact prefix is already listed
#define IPLIST_ERR_TREE (-3)   // the tree could not take the prefix
#define IPLIST_ERR_NOMEM (-4)  // no memory, or no list

// The most blocks a range is split into by the URL lists.
#define MAX_SUBNETS_IN_RANGE 256

typedef void (*iplist_free_fn)(void *data);

typedef struct _iphead {
  patricia_tree_t *head_ipv4;  // 32 bits
  patricia_tree_t *head_ipv6;  // 128 bits
  iplist_free_fn free_func;    // applied to data of deleted entries and at teardown; may be null
} iphead;

// One CIDR block of a split range.
typedef struct _ip_cidr {
  kx_ipaddr ip;      // first address of the block
  kx_ipaddr subnet;  // not set by the splitter
  int cidr;          // prefix length
  void *data;        // not set by the splitter
} ip_cidr;

// A new list with two empty trees; both functions may be null (match_func
// filters longest-prefix answers). Null on no memory.
iphead *iplist_init(iplist_free_fn free_func, patricia_match_fn match_func);

// Frees both trees (free_func on every entry's data) and the list; null-safe.
void iplist_terminate(iphead *list);

// Data of the longest prefix containing ip, or null (also for a null list or
// another family).
void *iplist_find_data(iphead *list, const kx_ipaddr *ip);
void *iplist_ipv4_find_data(iphead *list, in_addr_t ip);
void *iplist_ipv6_find_data(iphead *list, const struct in6_addr *ip);

// 0 when some prefix contains ip, 1 when none or no list, -1 for another family.
int iplist_find(iphead *list, const kx_ipaddr *ip);
int iplist_ipv4_find(iphead *list, in_addr_t ip);
int iplist_ipv6_find(iphead *list, const struct in6_addr *ip);

// Data of exactly ip/cidr (the address is masked first), or null.
void *iplist_find_exact_data(iphead *list, const kx_ipaddr *ip, int cidr);

// Adds ip/cidr with data (the address masked to cidr bits; the IPv6 form
// masks the caller's storage). IPLIST_ codes; another family gives 0 and
// adds nothing.
int iplist_add_cidr(iphead *list, kx_ipaddr *ip, int cidr, void *data);
int iplist_ipv4_add_cidr(iphead *list, in_addr_t ip, int cidr, void *data);
int iplist_ipv6_add_cidr(iphead *list, struct in6_addr *ip, int cidr, void *data);

// Removes ip/cidr, applying free_func to its data: 0 deleted, 1 not found
// (also another family), -1 bad length, -4 no list.
int iplist_delete_cidr(iphead *list, kx_ipaddr *ip, int cidr);
int iplist_ipv4_delete_cidr(iphead *list, in_addr_t ip, int cidr);
int iplist_ipv6_delete_cidr(iphead *list, struct in6_addr *ip, int cidr);

// IPv4 network with a dotted mask (network order) that must be one of the
// 33 contiguous masks, else -1.
int iplist_add_subnet(iphead *list, in_addr_t ip, in_addr_t mask, void *data);
int iplist_delete_subnet(iphead *list, in_addr_t ip, in_addr_t mask);

// Text entries: "a.b.c.d" or "a.b.c.d/len" (0.0.0.0 always gets length 0,
// a missing length means 32; 255.255.255.255 is an address like any other),
// or an IPv6 text with an optional "/len" (:: gets length 0, a missing
// length means 128). iplist_add_string takes IPv6 when the text holds ':'.
int iplist_add_string(iphead *list, const char *text, void *data);
int iplist_ipv4_add_string(iphead *list, const char *text, void *data);
int iplist_ipv6_add_string(iphead *list, const char *text, void *data);

// 0 when text is four dot-separated decimal digit runs, optionally followed
// by '/' and decimal digits; -1 otherwise.
int iplist_ipaddr_check(const char *text);

// Parses "address[/len]" (either family) into ip and cidr (default the full
// width). 0, or -1.
int iplist_subnetstring_to_ip_and_cidr(const char *text, kx_ipaddr *ip, int *cidr);

// 1 when the first len characters (or up to a NUL) of host have the form of
// an address range with exactly one '-', else 0. ipv6: the host was given in
// square brackets.
int iplist_hostname_is_ip_range(const char *host, int len, int ipv6);

// Splits "low-high" into two addresses. 0, or -1 when there is no '-', the
// low part is 47 characters or longer, or a side is not an address.
int iplist_rangestring_to_ips(const char *text, kx_ipaddr *low, kx_ipaddr *high);

// Splits low..high into the fewest CIDR blocks, in address order, into out
// (size entries). Returns the number of blocks, or -1 with errno EINVAL
// (high below low, no array, mixed or unknown families) or ENOMEM (the
// range needs more blocks than out holds). Two IPv4 ends use 32-bit blocks,
// anything else the 128-bit splitter on the address bytes.
int iplist_iprange_to_subnets(const kx_ipaddr *low, const kx_ipaddr *high, ip_cidr *out, int size);

// As above with blocks of at most 2^maxbits addresses.
int iplist_iprange_to_subnets_limited(const kx_ipaddr *low, const kx_ipaddr *high, ip_cidr *out,
                                      int size, int maxbits);

// The two splitters behind them, with blocks of at most 2^maxbits addresses
// (capped at the width): IPv4 on host-order values, IPv6 on addresses in
// network order. Same results and errno values.
int iplist_ipv4_iprange_to_subnets(uint32_t low, uint32_t high, ip_cidr *out, int size, int maxbits);
int iplist_ipv6_iprange_to_subnets(const struct in6_addr *low, const struct in6_addr *high, ip_cidr *out,
                                   int size, int maxbits);

// Adds (or deletes) every block of a range with data; the first failing
// code, or 0. Splitting failures give -1.
int iplist_add_range(iphead *list, const kx_ipaddr *low, const kx_ipaddr *high, void *data);
int iplist_delete_range(iphead *list, const kx_ipaddr *low, const kx_ipaddr *high);

// The smallest bit count (up to 128) whose block size 2^bits reaches size.
int iplist_subnet_size_to_bits(uint64_t size);

// Overlap question for ip/cidr (masked in a copy): *exact = data of the
// identical prefix, *best = data of the longest strictly shorter prefix
// containing it (each null when none; either pointer may be null). Returns
// the place node for iplist_get_smaller_subnets (null for an empty tree,
// a null list, another family or a bad length).
patricia_node_t *iplist_get_overlapped(iphead *list, const kx_ipaddr *ip, int cidr, void **exact,
                                       void **best);

// Entries strictly inside ip/cidr in the subtree of start (pre-order):
// their count, with their data in a new array *out (null when 0; the caller
// frees it), or -1 on no memory. A null start gives 0.
int iplist_get_smaller_subnets(patricia_node_t *start, const kx_ipaddr *ip, int cidr, void ***out);

// Calls fn(prefix, data, arg) for every entry, IPv4 tree first, each in
// order; returns the count.
int iplist_walk(iphead *list, patricia_walk_fn fn, void *arg);
