#include "lib/base/kxnet.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <string>

#include "lib/base/kxlog.h"
#include "lib/base/kxstring.h"

namespace {

const char kIfInet6Path[] = "/proc/net/if_inet6";

// Longest line of the IPv6 interface file that is taken as a whole.
constexpr int kIfInet6LineMax = 127;

// Closes a descriptor on scope exit, keeping errno of the failure before it.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) {
      int saved = errno;
      close(fd);
      errno = saved;
    }
  }
};

bool starts_with_lo(const char *name) { return name[0] == 'l' && name[1] == 'o'; }

// One qualifying address of the walk: logged, then offered to cb. True when
// cb asks to stop.
bool offer_address(const char *name, const char *text, getifip_callback cb, void *data) {
  kxlog_send(KXLOG_DEBUG, "Interfaces IP List found interface %s: IP Address:  %s\n", name, text);
  return cb && cb(name, text, data) != 0;
}

bool parse_address(const char *text, kx_ipaddr *ip) {
  kx_ipaddr tmp;
  memset(&tmp, 0, sizeof tmp);
  if (inet_pton(AF_INET, text, &tmp.addr.ip) == 1) {
    tmp.family = AF_INET;
    *ip = tmp;
    return true;
  }
  memset(&tmp, 0, sizeof tmp);
  if (inet_pton(AF_INET6, text, &tmp.addr.ip6) == 1) {
    tmp.family = AF_INET6;
    *ip = tmp;
    return true;
  }
  return false;
}

int ipv6_mask_bits(const char *text) {
  int bits = 0;
  char prev = 0;
  for (const char *p = text; *p; prev = *p, ++p) {
    switch (*p) {
      case 'f':
        bits += 4;
        break;
      case 'e':
        return bits + 3 > 128 ? -1 : bits + 3;
      case 'c':
        return bits + 2 > 128 ? -1 : bits + 2;
      case '8':
        return bits + 1 > 128 ? -1 : bits + 1;
      case '0':
      case ' ':
        return bits > 128 ? -1 : bits;
      case ':':
        if (prev == ':') return bits > 128 ? -1 : bits;
        break;
      default:
        return -1;
    }
    if (bits > 128) return -1;
  }
  return bits;
}

int ipv4_mask_bits(const char *text) {
  int bits = 0;
  const char *p = text;
  for (;;) {
    if (!isdigit(static_cast<unsigned char>(*p))) return -1;
    unsigned long value = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
      value = value * 10 + static_cast<unsigned long>(*p - '0');
      if (value > 255) return -1;
      ++p;
    }
    bool last = *p != '.';
    if (last && *p != '\0' && !isspace(static_cast<unsigned char>(*p))) return -1;
    int add;
    bool ends = true;
    switch (value) {
      case 255: add = 8; ends = last; break;
      case 254: add = 7; break;
      case 252: add = 6; break;
      case 248: add = 5; break;
      case 240: add = 4; break;
      case 224: add = 3; break;
      case 192: add = 2; break;
      case 128: add = 1; break;
      case 0: add = 0; break;
      default: return -1;
    }
    bits += add;
    if (bits > 32) return -1;
    if (ends) return bits;
    ++p;  // past the '.'
  }
}

}  // namespace

int kxnet_aton(const char *text, kx_ipaddr *ip) {
  if (!ip) return -1;
  if (!text) {
    kxnet_defaultip(ip);
    return -1;
  }
  if (parse_address(text, ip)) return 0;
  // Retry once without trailing whitespace (the first character is kept, so
  // leading whitespace never becomes acceptable).
  size_t len = strlen(text);
  size_t end = len;
  while (end > 1 && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (end < len) {
    std::string copy(text, end);
    if (parse_address(copy.c_str(), ip)) return 0;
  }
  kxnet_defaultip(ip);
  return -1;
}

kx_ipaddr *kxnet_addr(const char *text, kx_ipaddr *ip) {
  kxnet_aton(text, ip);
  return ip;
}

void kxnet_defaultip(kx_ipaddr *ip) {
  if (!ip) return;
  memset(ip, 0, sizeof *ip);
  ip->family = AF_INET;
  ip->addr.ip = 0xFFFFFFFFu;
}

int kxnet_isdefaultip(const kx_ipaddr *ip) {
  if (!ip) return 1;
  return ip->family == AF_INET && ip->addr.ip == 0xFFFFFFFFu;
}

const char *kxnet_ntop(const kx_ipaddr *ip, char *buf, int size) {
  if (!ip || !buf || size <= 0) return nullptr;
  if (ip->family != AF_INET && ip->family != AF_INET6) return nullptr;
  return inet_ntop(ip->family, &ip->addr, buf, static_cast<socklen_t>(size));
}

char *kxnet_ntoa(const kx_ipaddr *ip) {
  char text[KXNET_ADDRSTRLEN];
  if (!kxnet_ntop(ip, text, sizeof text)) return nullptr;
  return strdup(text);
}

char *kxnet_ntohost(const kx_ipaddr *ip, char *buf, int size) {
  if (!ip || !buf || size <= 0) return nullptr;
  buf[0] = '\0';
  if (ip->family == AF_INET) {
    if (!inet_ntop(AF_INET, &ip->addr.ip, buf, static_cast<socklen_t>(size))) {
      buf[0] = '\0';
      return nullptr;
    }
    return buf;
  }
  if (ip->family == AF_INET6) {
    // "[" + text + "]" + NUL: the text gets size - 2 bytes with its NUL, so
    // the closing bracket and the NUL always fit.
    if (size < 4) return nullptr;
    if (!inet_ntop(AF_INET6, &ip->addr.ip6, buf + 1, static_cast<socklen_t>(size - 2))) {
      buf[0] = '\0';
      return nullptr;
    }
    buf[0] = '[';
    size_t len = strlen(buf);
    buf[len] = ']';
    buf[len + 1] = '\0';
    return buf;
  }
  return nullptr;
}

int kxnet_compare(const kx_ipaddr *a, const kx_ipaddr *b) {
  if (!a || !b) return 1;
  if (a->family != b->family) return 1;
  if (a->family == AF_INET) return a->addr.ip == b->addr.ip ? 0 : 1;
  if (a->family == AF_INET6) return memcmp(&a->addr.ip6, &b->addr.ip6, 16) == 0 ? 0 : 1;
  return 0;
}

int kxnet_fallin_range(const kx_ipaddr *ip, const kx_ipaddr *net, const kx_ipaddr *mask) {
  if (!ip || !net || !mask) return 1;
  if (ip->family != net->family || mask->family != ip->family) return 1;
  size_t n;
  if (ip->family == AF_INET)
    n = 4;
  else if (ip->family == AF_INET6)
    n = 16;
  else
    return 1;
  const auto *a = reinterpret_cast<const unsigned char *>(&ip->addr);
  const auto *m = reinterpret_cast<const unsigned char *>(&mask->addr);
  const auto *w = reinterpret_cast<const unsigned char *>(&net->addr);
  for (size_t i = 0; i < n; ++i)
    if ((a[i] & m[i]) != w[i]) return 1;
  return 0;
}

uint32_t kxnet_hash_input(const kx_ipaddr *ip) {
  if (!ip) return 0;
  if (ip->family == AF_INET) return ip->addr.ip;
  if (ip->family == AF_INET6) return 2u * ip->addr.ip6.s6_addr[15];
  return 0;
}

void kxnet_singleip_subnet(const kx_ipaddr *ip, kx_ipaddr *mask) {
  if (!mask) return;
  if (ip && ip->family == AF_INET) {
    kxnet_aton("255.255.255.255", mask);
  } else if (ip && ip->family == AF_INET6) {
    kxnet_aton("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", mask);
  } else {
    kxnet_defaultip(mask);
  }
}

int kxnet_netmask_to_cidr(const char *text) {
  if (!text) return 32;
  if (strchr(text, ':')) return ipv6_mask_bits(text);
  return ipv4_mask_bits(text);
}

int kxif_get_ifreq(const char *ifname, struct ifreq *ifr) {
  if (!ifr || !ifname || ifname[0] == '\0' || strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ) {
    errno = EINVAL;
    return -1;
  }
  memset(ifr, 0, sizeof *ifr);
  memcpy(ifr->ifr_name, ifname, strlen(ifname) + 1);
  ifr->ifr_addr.sa_family = AF_INET;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  FdCloser closer{fd};
  if (ioctl(fd, SIOCGIFADDR, ifr) < 0) return -1;
  return 0;
}

int kxif_get_ipv4_addr(const char *ifname, struct in_addr *addr) {
  if (!addr) {
    errno = EINVAL;
    return -1;
  }
  struct ifreq ifr;
  if (kxif_get_ifreq(ifname, &ifr) != 0) return -1;
  if (ifr.ifr_addr.sa_family != AF_INET) {
    errno = EPROTO;
    return -1;
  }
  struct sockaddr_in sin;
  memcpy(&sin, &ifr.ifr_addr, sizeof sin);
  *addr = sin.sin_addr;
  return 0;
}

int getifip_foreach_ip(getifip_callback cb, void *data) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    kxlog_send(KXLOG_ERROR, "Failed to create socket for interfaces IP list: %s\n", strerror(errno));
    return 1;
  }
  FdCloser closer{fd};

  std::unique_ptr<char, decltype(&free)> buffer(static_cast<char *>(malloc(INTERFACES_BUFFER_SIZE)),
                                                &free);
  if (!buffer) {
    kxlog_send(KXLOG_ERROR, "Could not allocate buffer for interface list\n");
    return 1;
  }
  memset(buffer.get(), 0, INTERFACES_BUFFER_SIZE);
  struct ifconf ifc;
  memset(&ifc, 0, sizeof ifc);
  ifc.ifc_len = INTERFACES_BUFFER_SIZE;
  ifc.ifc_buf = buffer.get();
  if (ioctl(fd, SIOCGIFCONF, &ifc) < 0) {
    kxlog_send(KXLOG_ERROR, "interfaces IP list ioctl(SIOCGIFCONF) error: %s\n", strerror(errno));
    return 1;
  }

  int len = ifc.ifc_len;
  if (len < 0) len = 0;
  if (len > INTERFACES_BUFFER_SIZE) len = INTERFACES_BUFFER_SIZE;
  size_t count = static_cast<size_t>(len) / sizeof(struct ifreq);
  for (size_t i = 0; i < count; ++i) {
    struct ifreq ifr;
    memcpy(&ifr, buffer.get() + i * sizeof(struct ifreq), sizeof ifr);
    char name[IFNAMSIZ + 1];
    size_t nlen = strnlen(ifr.ifr_name, IFNAMSIZ);
    memcpy(name, ifr.ifr_name, nlen);
    name[nlen] = '\0';
    if (starts_with_lo(name)) continue;
    if (ifr.ifr_addr.sa_family != AF_INET) continue;
    struct sockaddr_in sin;
    memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    char text[KXNET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text)) continue;
    if (offer_address(name, text, cb, data)) return 0;
  }

  return getifip_foreach_ipv6(kIfInet6Path, cb, data);
}

int getifip_foreach_ipv6(const char *path, getifip_callback cb, void *data) {
  if (!path) return 0;
  FILE *f = fopen(path, "r");
  if (!f) return 0;  // no IPv6 on this host
  std::unique_ptr<FILE, decltype(&fclose)> file(f, &fclose);
  char line[kIfInet6LineMax + 2];  // the text, its newline and the NUL
  while (fgets(line, sizeof line, file.get())) {
    size_t llen = strlen(line);
    if (llen > 0 && line[llen - 1] == '\n') {
      line[--llen] = '\0';
    } else if (!feof(file.get())) {
      // Longer than any line of this file can be: drop the rest of it so
      // that its tail is not read as a line of its own.
      int c;
      while ((c = fgetc(file.get())) != EOF && c != '\n') {
      }
      continue;
    }
    // Also drop any other trailing blanks or a carriage return, so the
    // interface name is exactly the last word.
    while (llen > 0 && isspace(static_cast<unsigned char>(line[llen - 1]))) line[--llen] = '\0';
    const char *blank = strrchr(line, ' ');
    const char *tab = strrchr(line, '\t');
    if (!blank || (tab && tab > blank)) blank = tab;
    if (!blank) continue;
    const char *name = blank + 1;
    if (name[0] == '\0' || starts_with_lo(name)) continue;
    // 32 hex digits, then a blank: anything else is not an address line.
    if (llen <= 32 || (line[32] != ' ' && line[32] != '\t')) continue;
    struct in6_addr a6;
    bool ok = true;
    for (int i = 0; i < 16 && ok; ++i) {
      int hi = string_hex_digit(line[2 * i]);
      int lo = string_hex_digit(line[2 * i + 1]);
      if (hi < 0 || lo < 0) ok = false;
      else a6.s6_addr[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (!ok) continue;
    char text[KXNET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &a6, text, sizeof text)) continue;
    if (offer_address(name, text, cb, data)) return 0;
  }
  return 0;
}

int getifip_get_ip_list_callback(const char * /*ifname*/, const char *ip, void *data) {
  auto *list = static_cast<getifip_get_ip_list_callback_data *>(data);
  if (!list || !ip || !list->ptr || list->size <= 0) return 0;
  size_t len = strlen(ip);
  // Quotes, an optional comma and the NUL: address length + 4 always covers
  // the item and its terminator.
  if (len + 4 > static_cast<size_t>(list->size)) {
    kxlog_send(KXLOG_ERROR, "IP list: too many IP addresses, no buffer space for %s\n", ip);
    return 0;
  }
  int n = snprintf(list->ptr, static_cast<size_t>(list->size), list->ptr == list->str ? "'%s'" : ",'%s'",
                   ip);
  list->ptr += n;
  list->size -= n;
  return 0;
}

int getifip_get_ip_list(char *buf, int size) {
  if (!buf || size < 1) return 1;
  buf[0] = '\0';
  getifip_get_ip_list_callback_data list{buf, buf, size};
  return getifip_foreach_ip(getifip_get_ip_list_callback, &list);
}

void kxtimespec(struct timespec *ts, long seconds, long milliseconds) {
  if (!ts) return;
  clock_gettime(CLOCK_REALTIME, ts);
  ts->tv_sec += seconds + milliseconds / 1000;
  ts->tv_nsec += (milliseconds % 1000) * 1000000L;
  if (ts->tv_nsec >= 1000000000L) {
    ts->tv_sec += 1;
    ts->tv_nsec -= 1000000000L;
  } else if (ts->tv_nsec < 0) {
    ts->tv_sec -= 1;
    ts->tv_nsec += 1000000000L;
  }
}

void kxusleep(unsigned long microseconds) {
  struct timespec req;
  req.tv_sec = static_cast<time_t>(microseconds / 1000000UL);
  req.tv_nsec = static_cast<long>(microseconds % 1000000UL) * 1000L;
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}
