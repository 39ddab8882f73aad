#include "lib/lists/urllist_explode.h"

#include <arpa/inet.h>
#include <idna.h>
#include <stringprep.h>
#include <sys/socket.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libcityhash/city.h"

int max_domain_segments = 1000;
int max_path_segments = 5000;

namespace {

myhash_t hash_of(const char *s) {
  myhash_t h;
  urllist_hash(s, static_cast<int>(strlen(s)), &h);
  return h;
}

// A scheme text shared by every list entry without one.
char wildcard_scheme[] = "*";

struct urllist_privateips {
  in_addr_t ip;
  in_addr_t subnet;
};

// Network order values of the private IPv4 networks.
const urllist_privateips privateIP[5] = {
    {htonl(0xC0A80000u), htonl(0xFFFF0000u)},  // 192.168.0.0/16
    {htonl(0x0A000000u), htonl(0xFF000000u)},  // 10.0.0.0/8
    {htonl(0xAC100000u), htonl(0xFFF00000u)},  // 172.16.0.0/12
    {htonl(0xA9FE0000u), htonl(0xFFFF0000u)},  // 169.254.0.0/16
    {htonl(0x7F000000u), htonl(0xFF000000u)},  // 127.0.0.0/8
};

bool private_v4(in_addr_t ip) {
  for (const auto &row : privateIP)
    if ((ip & row.subnet) == row.ip) return true;
  return false;
}

void lower_in_place(char *s) {
  for (; *s; ++s) *s = static_cast<char>(tolower(static_cast<unsigned char>(*s)));
}

// Per-thread work arrays for the label and segment pointers: grown once,
// then reused by every call of the thread.
std::vector<char *> &label_work() {
  thread_local std::vector<char *> v;
  return v;
}
std::vector<char *> &segment_work() {
  thread_local std::vector<char *> v;
  return v;
}

URLLIST_EXPLODED_URL *fail(URLLIST_EXPLODED_URL *u, cat_t *cats) {
  URLLIST_EXPLODE_SET_CATS(cats, CATEGORY_MALFORMED_URL);
  if (u) urllist_free_urllist_exploded_url(u);
  return nullptr;
}

}  // namespace

const myhash_t wildcard_hash = hash_of("*");
const myhash_t http_hash = hash_of("http");
const myhash_t https_hash = hash_of("https");

void urllist_hash(const char *token, int len, myhash_t *hash) {
  if (!hash) return;
  if (len < 0) len = 0;
  hash->city = static_cast<int64_t>(CityHash64(token, static_cast<size_t>(len)));
}

int urllist_hash2str(const myhash_t *h, char *hashstr, int len) {
  // 16 digits and the terminating NUL.
  if (!h || !hashstr || len < 17) return -1;
  static const char digits[] = "0123456789abcdef";
  uint64_t v = static_cast<uint64_t>(h->city);
  for (int i = 0; i < 8; ++i) {
    unsigned b = static_cast<unsigned>((v >> (8 * i)) & 0xff);
    hashstr[2 * i] = digits[b >> 4];
    hashstr[2 * i + 1] = digits[b & 0xf];
  }
  hashstr[16] = '\0';
  return 0;
}

int urllist_str2hash(const char *hashstr, int len, myhash_t *h) {
  if (!h) return -1;
  if (!hashstr || len != 16) {
    h->city = 0;
    return -1;
  }
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    int hi = 0, lo = 0;
    for (int k = 0; k < 2; ++k) {
      char c = hashstr[2 * i + k];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else {
        h->city = 0;
        return -1;
      }
      (k == 0 ? hi : lo) = d;
    }
    v |= static_cast<uint64_t>(hi * 16 + lo) << (8 * i);
  }
  h->city = static_cast<int64_t>(v);
  return 0;
}

CHARSET *urllist_init_charset(const char *charset) {
  if (!charset) return nullptr;
  auto *c = static_cast<CHARSET *>(calloc(1, sizeof(CHARSET)));
  if (!c) return nullptr;
  c->charset = strdup(charset);
  if (!c->charset) {
    free(c);
    return nullptr;
  }
  c->flags = URLLIST_IDN_TO_ASCII;
  if (strncmp(charset, "UTF-8", 5) != 0) c->flags |= URLLIST_ANY_TO_UTF8;
  return c;
}

void urllist_free_charset(CHARSET *charset) {
  if (!charset) return;
  free(charset->charset);
  free(charset);
}

int urllist_isPrivateIP(const kx_ipaddr *ip) {
  if (!ip) return 0;
  if (ip->family == AF_INET) return private_v4(ip->addr.ip) ? 1 : 0;
  if (ip->family != AF_INET6) return 0;
  const uint8_t *b = ip->addr.ip6.s6_addr;
  static const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (memcmp(b, loopback, 16) == 0) return 1;
  uint16_t first = static_cast<uint16_t>((b[0] << 8) | b[1]);
  if ((first & 0xFE80) == 0xFE80) return 1;  // site/link local
  if ((b[0] & 0xFC) == 0xFC) return 1;       // unique local
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(b, mapped, 12) == 0) {
    in_addr_t v4;
    memcpy(&v4, b + 12, 4);
    return private_v4(v4) ? 1 : 0;
  }
  return 0;
}

URLLIST_EXPLODED_URL *urllist_new_urllist_exploded_url(char *url) {
  if (!url) return nullptr;
  size_t len = strlen(url);
  auto *u = static_cast<URLLIST_EXPLODED_URL *>(calloc(1, sizeof(URLLIST_EXPLODED_URL) + len + 1));
  if (!u) return nullptr;
  char *copy = u->mangledURL;
  memcpy(copy, url, len + 1);
  u->url = url;
  u->host = url;
  u->length = static_cast<int>(len);
  return u;
}

void urllist_free_urllist_exploded_url(URLLIST_EXPLODED_URL *u) {
  if (u->query_free) u->query_free(u);
  free(u->tokens);
  free(u->query_list);
  free(u->query_list_nocase);
  free(u->query_hash_list);
  free(u->query_hash_list_nocase);
  free(u->query_name_hash_list);
  free(u->query_name_hash_list_nocase);
  free(u->nocaseURL);
  free(u->nocaseMangledURL);
  free(u->digest);
  free(u->asciihost);
  free(u->mangled_asciihost);
  free(u);
}

void urllist_idntoascii(char *idn_host, URLLIST_EXPLODED_URL *u, CHARSET *cs) {
  if (!idn_host || !u || !cs || !(cs->flags & URLLIST_IDN_TO_ASCII)) return;
  char *utf8 = nullptr;
  const char *input = idn_host;
  if ((cs->flags & URLLIST_ANY_TO_UTF8) && cs->charset) {
    utf8 = stringprep_convert(idn_host, "UTF-8", cs->charset);
    if (utf8) input = utf8;
  }
  char *out = nullptr;
  int rc = idna_to_ascii_8z(input, &out, 0);
  free(utf8);
  if (rc != IDNA_SUCCESS || !out) {
    free(out);
    return;
  }
  size_t hl = strlen(idn_host);
  if (strlen(out) == hl && strncmp(out, idn_host, hl) == 0) {
    free(out);
    return;
  }
  char *copy = strdup(out);
  if (!copy) {
    free(out);
    return;
  }
  free(u->asciihost);
  free(u->mangled_asciihost);
  u->asciihost = out;
  u->mangled_asciihost = copy;
}

URLLIST_EXPLODED_URL *urllist_explode_charset(char *url, cat_t *cats, int not_list_url, int flags,
                                              CHARSET *charset_data) {
  if (!url || !*url) return fail(nullptr, cats);
  const bool list_mode = not_list_url == 0;
  URLLIST_EXPLODED_URL *u = urllist_new_urllist_exploded_url(url);
  if (!u) return nullptr;
  char *const copy = u->mangledURL;
  const size_t len = static_cast<size_t>(u->length);
  if (flags & URLLIST_TYPE_NOCASE) lower_in_place(copy);

  // Scheme.
  bool explicit_scheme = false;
  char *pos = copy;
  char *sep = strstr(copy, "://");
  if (sep && list_mode) {
    for (char *p = copy; p < sep; ++p)
      if (*p == '/' || *p == '?') {
        sep = nullptr;
        break;
      }
  }
  if (sep) {
    *sep = '\0';
    lower_in_place(copy);
    u->scheme = copy;
    explicit_scheme = true;
    pos = sep + 3;
    if (flags & URLLIST_TYPE_HASH) urllist_str2hash(copy, static_cast<int>(strlen(copy)), &u->scheme_hash);
    else u->scheme_hash = hash_of(copy);
  } else if (!list_mode) {
    return fail(u, cats);
  } else {
    u->scheme = wildcard_scheme;
    u->scheme_hash = wildcard_hash;
  }

  // Authority.
  char *host = pos;
  char *port_text = nullptr;
  char *path = nullptr;
  char *query = nullptr;
  char query_sep = 0;
  char *end_of_authority = nullptr;
  char *const end = copy + len;
  for (char *q = pos; q < end && *q != '\0';) {
    char c = *q;
    if (c == '@') {
      *q = '\0';
      u->userinfo = host;
      host = q + 1;
      port_text = nullptr;
      ++q;
    } else if (c == '[') {
      host = q + 1;
      u->hostHasBrackets = 1;
      char *rb = static_cast<char *>(memchr(host, ']', static_cast<size_t>(end - host)));
      if (!rb) {
        q = end;
        break;
      }
      *rb = '\0';
      q = rb + 1;
    } else if (c == ':') {
      *q = '\0';
      port_text = q + 1;
      ++q;
    } else if (c == '/') {
      *q = '\0';
      end_of_authority = q;
      path = q + 1;
      break;
    } else if (c == '?' || c == '#') {
      *q = '\0';
      end_of_authority = q;
      query = q + 1;
      query_sep = c;
      break;
    } else {
      ++q;
    }
  }
  u->host_url_length = end_of_authority ? static_cast<int>(end_of_authority - copy) : u->length;

  // Path up to the query.
  if (path) {
    for (char *q = path; q < end; ++q) {
      if (*q == '?' || *q == '#') {
        query_sep = *q;
        *q = '\0';
        query = q + 1;
        break;
      }
    }
  }
  if (query) {
    if (list_mode) {
      u->anchor = query_sep == '#' ? query : strchr(query, '#');
    }
    bool only_separators = true;
    for (char *q = query; *q; ++q)
      if (*q != '?' && *q != '&') only_separators = false;
    if (only_separators) {  // also the empty query
      query = nullptr;
      if (u->anchor && !*u->anchor) u->anchor = nullptr;
    }
  }
  if (!query) u->anchor = nullptr;

  // Host: IP literal, IDN, labels.
  size_t host_len = strlen(host);
  const size_t host_offset = static_cast<size_t>(host - copy);
  std::vector<char *> &labels = label_work();
  labels.clear();
  if (host_len > 0) {
    struct in_addr a4;
    if (inet_aton(host, &a4) != 0) {
      u->isIP = 1;
      u->ip.family = AF_INET;
      u->ip.addr.ip = a4.s_addr;
    } else if (inet_pton(AF_INET6, host, &u->ip.addr.ip6) == 1) {
      u->isIP = 1;
      u->ip.family = AF_INET6;
    }
    if (u->isIP) {
      URLLIST_EXPLODE_SET_CATS(cats, CATEGORY_HOSTISIP);
      u->isPrivateIP = static_cast<unsigned char>(urllist_isPrivateIP(&u->ip));
      labels.push_back(host);
      u->host = url + host_offset;
      u->host_length = static_cast<int>(host_len);
    } else {
      char *cut = host;
      if (charset_data && (charset_data->flags & URLLIST_IDN_TO_ASCII)) {
        urllist_idntoascii(host, u, charset_data);
        if (u->mangled_asciihost) cut = u->mangled_asciihost;
      }
      if (u->asciihost) {
        u->host = u->asciihost;
        u->host_length = static_cast<int>(strlen(u->asciihost));
      } else {
        u->host = url + host_offset;
        u->host_length = static_cast<int>(host_len);
      }
      const size_t max_labels = max_domain_segments > 0 ? static_cast<size_t>(max_domain_segments) : 1;
      char *label = cut;
      for (char *q = cut;; ++q) {
        if (*q == '.' && labels.size() + 1 < max_labels) {
          *q = '\0';
          labels.push_back(label);
          label = q + 1;
        } else if (*q == '\0') {
          labels.push_back(label);
          break;
        }
      }
      for (char *l : labels) lower_in_place(l);
    }
  } else {
    u->host = url + host_offset;
    u->host_length = 0;
  }

  // Path segments.
  std::vector<char *> &segments = segment_work();
  segments.clear();
  if (path) {
    const size_t max_segs = max_path_segments > 0 ? static_cast<size_t>(max_path_segments) : 1;
    char *seg = path;
    for (char *q = path;; ++q) {
      if (*q == '/' && segments.size() + 1 < max_segs) {
        *q = '\0';
        if (*seg) segments.push_back(seg);
        seg = q + 1;
      } else if (*q == '\0') {
        if (*seg) segments.push_back(seg);
        break;
      }
    }
  }

  size_t nonempty_labels = 0;
  for (char *l : labels)
    if (*l) ++nonempty_labels;
  if (host_len == 0) {
    if (!list_mode || (explicit_scheme && !segments.empty())) return fail(u, cats);
  } else if (nonempty_labels == 0) {
    return fail(u, cats);
  }

  // Port.
  const bool hex = (flags & URLLIST_TYPE_HASH) != 0;
  auto scheme_is = [&](const char *name, const myhash_t &h) {
    return hex ? u->scheme_hash.city == h.city : strcmp(u->scheme, name) == 0;
  };
  char *port_token = nullptr;
  if (port_text) {
    bool keep = !list_mode || !segments.empty() ||
                !((scheme_is("http", http_hash) && strcmp(port_text, "80") == 0) ||
                  (scheme_is("https", https_hash) && strcmp(port_text, "443") == 0));
    if (keep) {
      port_token = port_text;
      // The leading number as written: a port beyond 65535 must match no
      // port range (0 would fall into ranges that start at 0).
      long v = strtol(port_text, nullptr, 10);
      u->num_port = v <= 0 ? 0 : v > INT_MAX ? INT_MAX : static_cast<int>(v);
    }
  } else if (!list_mode || (host_len > 0 && !segments.empty())) {
    if ((flags & URLLIST_TYPE_ALL_PORTS) || scheme_is("*", wildcard_hash)) {
      strcpy(u->portstr, "0-65535");
      u->num_port = -1;
    } else if (scheme_is("http", http_hash)) {
      strcpy(u->portstr, "80");
      u->num_port = 80;
    } else if (scheme_is("https", https_hash)) {
      strcpy(u->portstr, "443");
      u->num_port = 443;
    } else {
      u->portstr[0] = '\0';
      u->num_port = 0;
    }
    port_token = u->portstr;
  }

  // Tokens: one per part plus the terminator.
  const bool proto = explicit_scheme || nonempty_labels > 0;
  size_t ntok = (proto ? 1 : 0) + nonempty_labels + (port_token ? 1 : 0) + segments.size() + (query ? 1 : 0) + 1;
  u->tokens = static_cast<URLLIST_TOKEN *>(calloc(ntok, sizeof(URLLIST_TOKEN)));
  if (!u->tokens) {
    urllist_free_urllist_exploded_url(u);
    return nullptr;
  }
  URLLIST_TOKEN *t = u->tokens;
  auto hash_token = [&](URLLIST_TOKEN *tok, bool hex_text) {
    if (hex_text) {
      if (urllist_str2hash(tok->item, static_cast<int>(strlen(tok->item)), &tok->hash) != 0) tok->hash.city = 0;
    } else {
      tok->hash = hash_of(tok->item);
    }
  };
  if (proto) {
    t->type = UP_PROTO;
    t->item = u->scheme;
    t->hash = u->scheme_hash;
    ++t;
  }
  const bool hex_host = hex || (flags & URLLIST_TYPE_HOST_HASH);
  for (size_t i = labels.size(); i-- > 0;) {
    if (!*labels[i]) continue;
    t->type = UP_HOST;
    t->item = labels[i];
    hash_token(t, hex_host);
    if (!u->topLevelDomain && !u->isIP) u->topLevelDomain = t->item;
    ++u->domains_num;
    ++t;
  }
  if (port_token) {
    t->type = UP_PORT;
    t->item = port_token;
    if (hex && urllist_str2hash(t->item, static_cast<int>(strlen(t->item)), &t->hash) == 0) u->num_port = 0;
    else t->hash = hash_of(t->item);
    ++t;
  }
  for (char *s : segments) {
    t->type = UP_PATH;
    t->item = s;
    hash_token(t, hex);
    if (!u->path) u->path = t;
    ++u->paths_num;
    ++t;
  }
  if (query) {
    t->type = UP_QUERY;
    t->item = query;
    u->query = t;
    ++t;
  }
  t->type = UP_NULL;
  t->item = nullptr;

  u->isRootURL = (segments.empty() && !query) ? 1 : 0;
  if (!segments.empty()) {
    char *dot = strrchr(segments.back(), '.');
    if (dot && dot[1]) u->fileExtension = dot + 1;
  }
  return u;
}

URLLIST_EXPLODED_URL *urllist_ip_to_exploded_url(const kx_ipaddr *ip, const char *scheme) {
  if (!ip || !scheme) return nullptr;
  char hosttext[KXNET_ADDRSTRLEN + 3];
  if (!kxnet_ntohost(ip, hosttext, sizeof hosttext)) return nullptr;
  size_t sl = strlen(scheme), hl = strlen(hosttext);
  auto *u = static_cast<URLLIST_EXPLODED_URL *>(calloc(1, sizeof(URLLIST_EXPLODED_URL) + sl + hl + 2));
  if (!u) return nullptr;
  char *m = u->mangledURL;
  memcpy(m, scheme, sl + 1);
  memcpy(m + sl + 1, hosttext, hl + 1);
  u->tokens = static_cast<URLLIST_TOKEN *>(calloc(3, sizeof(URLLIST_TOKEN)));
  if (!u->tokens) {
    free(u);
    return nullptr;
  }
  u->scheme = m;
  u->scheme_hash = hash_of(m);
  u->tokens[0].type = UP_PROTO;
  u->tokens[0].item = m;
  u->tokens[0].hash = u->scheme_hash;
  u->tokens[1].type = UP_HOST;
  u->tokens[1].item = m + sl + 1;
  u->tokens[1].hash = hash_of(m + sl + 1);
  u->tokens[2].type = UP_NULL;  // the same terminator as parsed URLs have
  u->host = m + sl + 1;
  u->host_length = static_cast<int>(hl);
  u->ip = *ip;
  u->isIP = 1;
  u->isPrivateIP = static_cast<unsigned char>(urllist_isPrivateIP(ip));
  u->isRootURL = 1;
  u->hostHasBrackets = ip->family == AF_INET6 ? 1 : 0;
  u->domains_num = 1;
  u->length = static_cast<int>(sl + hl + 2);
  return u;
}
