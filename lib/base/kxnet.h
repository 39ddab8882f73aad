// IP address values, their text forms, and the addresses of this host's
// network interfaces.
//
// An address parsed from text holds its bytes as inet_pton gives them
// (network order). Request-log and report-table rows keep an IPv4 address as
// a host-order 32-bit value in the same `ip` member; those modules convert.
//
// Every function here is reentrant; none keeps state between calls.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <time.h>

typedef struct _kx_ipaddr {
  int family;  // AF_INET (2) or AF_INET6 (10)
  union {
    in_addr_t ip;          // IPv4
    struct in6_addr ip6;   // IPv6, network order
  } addr;
} kx_ipaddr;

static_assert(sizeof(kx_ipaddr) == 20, "kx_ipaddr is stored and copied as 20 bytes");

// Room for the text of any address (INET6_ADDRSTRLEN).
#define KXNET_ADDRSTRLEN 46

// Room for 128 interface entries of SIOCGIFCONF.
#define INTERFACES_BUFFER_SIZE 5120

// --- Parsing and the default address -------------------------------------

// Parses text as IPv4 (family 2), or failing that IPv6 (family 10), as
// inet_pton accepts them. Trailing whitespace is dropped and the text tried
// once more; leading whitespace is refused.
// Requires ip non-null. Returns 0, or -1 with *ip set to the default address
// (also -1 for a null text).
int kxnet_aton(const char *text, kx_ipaddr *ip);

// kxnet_aton, returning ip (the default address when text is not one).
kx_ipaddr *kxnet_addr(const char *text, kx_ipaddr *ip);

// Sets the default ("no address") value: AF_INET with all 32 bits set
// (255.255.255.255). A null ip is ignored.
void kxnet_defaultip(kx_ipaddr *ip);

// Non-zero when ip is the default address (null counts as default).
int kxnet_isdefaultip(const kx_ipaddr *ip);

// --- Printing ------------------------------------------------------------

// inet_ntop of the address in its own family into buf (size bytes).
// Returns buf, or null for another family, a null argument or too small a
// buffer.
const char *kxnet_ntop(const kx_ipaddr *ip, char *buf, int size);

// New heap text (free with free()) of the address; null for another family,
// a null ip or no memory.
char *kxnet_ntoa(const kx_ipaddr *ip);

// The address as the host part of a URL: IPv4 dotted, IPv6 between square
// brackets. Returns buf, or null for another family, a null argument or a
// buffer too small for the whole text (buf then holds an empty string when
// size > 0).
char *kxnet_ntohost(const kx_ipaddr *ip, char *buf, int size);

// --- Comparison and ranges -----------------------------------------------

// 0 when both have the same family and the same 4 (IPv4) or 16 (IPv6)
// address bytes, else 1. Two addresses of another family compare equal when
// their families match. Null arguments compare unequal (1).
int kxnet_compare(const kx_ipaddr *a, const kx_ipaddr *b);

// 0 when ip, net and mask share one family and ip AND mask equals net byte
// for byte, else 1.
int kxnet_fallin_range(const kx_ipaddr *ip, const kx_ipaddr *net, const kx_ipaddr *mask);

// Hash input of an address: the 32-bit IPv4 value as held, or twice the last
// byte of an IPv6 address; 0 for another family or null.
uint32_t kxnet_hash_input(const kx_ipaddr *ip);

// Sets *mask to the all-ones mask of ip's family (255.255.255.255 or
// ffff:...:ffff). For another family (or a null ip) mask gets the default
// address. A null mask is ignored.
void kxnet_singleip_subnet(const kx_ipaddr *ip, kx_ipaddr *mask);

// Prefix length of a mask text: 32 for null; an IPv6 mask (lower-case hex)
// when the text holds ":", else an IPv4 dotted mask. The scan ends at the
// first partial group or zero; -1 for any other text or a length above 32
// (IPv4) or 128 (IPv6).
int kxnet_netmask_to_cidr(const char *text);

// --- Interfaces ----------------------------------------------------------

// SIOCGIFADDR query of the named interface into *ifr (the name is copied into
// ifr->ifr_name). Returns 0, or -1 with errno set (EINVAL for a null ifr, or a
// null, empty or 16-character-or-longer name).
int kxif_get_ifreq(const char *ifname, struct ifreq *ifr);

// The IPv4 address (network order) of the named interface into *addr.
// Returns 0, or -1 with errno set: EINVAL when addr is null, EPROTO when the
// interface's address is not IPv4, else the query's errno.
int kxif_get_ipv4_addr(const char *ifname, struct in_addr *addr);

// List-building state of one getifip_get_ip_list call.
typedef struct getifip_get_ip_list_callback_data {
  char *str;  // start of the caller's buffer
  char *ptr;  // where the next item goes (always at a NUL)
  int size;   // bytes still free after ptr, the NUL at ptr included
} getifip_get_ip_list_callback_data;

// Called once per qualifying address: interface name and address text.
// A non-zero result stops the walk.
typedef int (*getifip_callback)(const char *ifname, const char *ip, void *data);

// Walks this host's addresses: first the IPv4 addresses of SIOCGIFCONF in
// kernel order, then the IPv6 addresses of /proc/net/if_inet6 (a missing file
// is not an error); interfaces whose names start with "lo" are skipped.
// Each address is logged at debug level and passed to cb.
// Returns 0, or 1 when the interfaces could not be listed (logged).
int getifip_foreach_ip(getifip_callback cb, void *data);

// The IPv6 half of the walk, over a file in the format of /proc/net/if_inet6
// (32 hex digits of address first, the interface name as the last word).
// Lines longer than 127 characters, lines without a full address and lines of
// "lo" interfaces are skipped. A missing file (or null path) is not an error.
// Returns 0.
int getifip_foreach_ipv6(const char *path, getifip_callback cb, void *data);

// The list builder used by getifip_get_ip_list: appends "'ip'" (",'ip'" from
// the second item on) at data->ptr when it fits with its NUL in data->size;
// otherwise logs "IP list: too many IP addresses, no buffer space for %s\n"
// at error level and leaves the list as it was. Always returns 0 (the walk
// goes on). data is a getifip_get_ip_list_callback_data*.
int getifip_get_ip_list_callback(const char *ifname, const char *ip, void *data);

// This host's addresses as an SQL IN list ("'a','b'") into buf (size bytes,
// always NUL-terminated when size > 0; the empty string when none qualifies).
// Never writes past buf + size. Returns 0, or 1 on failure (also for a null
// buf or size < 1).
int getifip_get_ip_list(char *buf, int size);

// --- Time helpers of this library ----------------------------------------

// Absolute CLOCK_REALTIME time of now plus seconds and milliseconds (as used
// with pthread_cond_timedwait). A null ts is ignored.
void kxtimespec(struct timespec *ts, long seconds, long milliseconds);

// Sleeps the given number of microseconds (resumes after signals).
void kxusleep(unsigned long microseconds);
