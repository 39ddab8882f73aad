// URL parsing into exploded URLs: a URL split into scheme, host labels (top
// level first), port, path segments and query, each a token with the 64-bit
// CityHash64 value under which URL lists store and find entries.
//
// The same parser reads list entries (list mode) and URLs as logged.
// Parsing keeps no shared state: any number of threads may explode URLs at
// once (the label and segment work arrays are per thread).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/record/category.h"
#include "lib/base/kxnet.h"

typedef enum _urlpart {
  UP_PROTO = 0,
  UP_HOST = 1,
  UP_PORT = 2,
  UP_PATH = 3,
  UP_QUERY = 4,
  UP_NULL = 5  // terminator
} UrlPart;

// A token hash: CityHash64 of the token text, or a value given in hex.
typedef struct _myhash_t {
  int64_t city;
} myhash_t;

// Entry-type flags of URL lists that change how a text is parsed.
#define URLLIST_TYPE_NOCASE 1     // lower-case the whole text first
#define URLLIST_TYPE_HASH 2       // every token is given as 16 hex digits
#define URLLIST_TYPE_HOST_HASH 4  // host tokens only are given in hex
#define URLLIST_TYPE_ALL_PORTS 8  // a missing port means every port

// Character set flags.
#define URLLIST_IDN_TO_ASCII 1
#define URLLIST_ANY_TO_UTF8 2

typedef struct _charset {
  int flags;      // URLLIST_IDN_TO_ASCII, URLLIST_ANY_TO_UTF8
  char *charset;  // owned copy of the name
} CHARSET;

typedef struct _urllist_token {
  myhash_t hash;         // hash of item
  myhash_t nocase_hash;  // hash of the lower-cased text; filled by lookups, 0 until then
  UrlPart type;
  char *item;  // NUL-terminated text inside the exploded URL; null only in the terminator
} URLLIST_TOKEN;

struct _urllist_exploded_url;
// Releases the lookup's query work sets (query_tree, query_tree_nocase,
// query_foundlist); set by the code that fills them.
typedef void (*urllist_query_free_fn)(struct _urllist_exploded_url *urlinfo);

typedef struct _urllist_exploded_url {
  unsigned char isIP;             // the host is an IP literal
  unsigned char isPrivateIP;      // and a private one
  unsigned char isRootURL;        // no path segment and no query
  unsigned char hostHasBrackets;  // the host was written in [ ]
  kx_ipaddr ip;                   // the host's address when isIP
  char *fileExtension;   // after the last '.' of the last path segment, or null
  char *topLevelDomain;  // the first host token's text (not for IP hosts), or null
  char *anchor;          // list mode: the fragment (see the parser), or null
  char *scheme;
  myhash_t scheme_hash;
  char *userinfo;  // text before the '@' of the authority, or null
  int num_port;    // the port; -1 all ports; 0 none applies
  char *url;       // the caller's text (not copied; must outlive this record)
  int length;      // its length
  char *host;      // the host inside url (not NUL-terminated there) or the ASCII host
  int host_length;
  int host_url_length;  // length of url up to the end of the authority
  int domains_num;      // host tokens
  int paths_num;        // path tokens
  URLLIST_TOKEN *tokens;  // every token, ended by a UP_NULL token
  URLLIST_TOKEN *path;    // first path token, or null
  URLLIST_TOKEN *query;   // the query token, or null
  // Work fields of lookups: null/0 after parsing. The arrays are freed with
  // free(); the three work sets through query_free.
  void *query_tree;
  void *query_tree_nocase;
  void *query_foundlist;
  char **query_list;
  char **query_list_nocase;
  myhash_t *query_hash_list;
  myhash_t *query_hash_list_nocase;
  myhash_t *query_name_hash_list;
  myhash_t *query_name_hash_list_nocase;
  size_t queryelements;
  urllist_query_free_fn query_free;
  char portstr[8];          // a default port text ("80", "443", "0-65535" or empty)
  char *nocaseURL;          // lower-cased copies made by lookups
  char *nocaseMangledURL;
  unsigned char *digest;    // SHA-1 digest made by lookups
  char *asciihost;          // ASCII form of an internationalised host
  char *mangled_asciihost;  // its copy cut into labels
  char mangledURL[1];       // own copy of the URL, cut into the token texts
} URLLIST_EXPLODED_URL;

// Most host labels and path segments that are cut apart.
extern int max_domain_segments;  // 1000
extern int max_path_segments;    // 5000

// Hashes of "*", "http" and "https".
extern const myhash_t wildcard_hash;
extern const myhash_t http_hash;
extern const myhash_t https_hash;

// Clears cats (when given) and adds the category c.
#define URLLIST_EXPLODE_SET_CATS(cats, c) \
  do {                                    \
    if ((cats) != nullptr) {              \
      cat_clear(cats);                    \
      cat_add((cats), (c));               \
    }                                     \
  } while (0)

#define urllist_explode(url, cats, for_list) urllist_explode_charset((url), (cats), (for_list), 0, nullptr)
#define urllist_explode_hash(url, cats, for_list, flags) \
  urllist_explode_charset((url), (cats), (for_list), (flags), nullptr)

// Parses url. not_list_url 0: a list entry (or a report-engine lookup);
// non-zero: a URL as logged. flags: URLLIST_TYPE_ bits. cats (may be null)
// is cleared and receives 247 for a malformed URL or 244 for an IP host.
// charset_data (may be null) enables IDN conversion. Returns a new exploded
// URL (free with urllist_free_urllist_exploded_url; url must outlive it), or
// null for a null or empty URL, a logged URL without "://", an empty host
// where one is needed, a host of only empty labels (all with 247), or no
// memory.
URLLIST_EXPLODED_URL *urllist_explode_charset(char *url, cat_t *cats, int not_list_url, int flags,
                                              CHARSET *charset_data);

// Frees everything the record owns and the record; urlinfo must not be null.
void urllist_free_urllist_exploded_url(URLLIST_EXPLODED_URL *urlinfo);

// A zeroed record with url copied into mangledURL, url and host set to the
// caller's text and length to its length. Null on no memory or null url.
URLLIST_EXPLODED_URL *urllist_new_urllist_exploded_url(char *url);

// 1 when ip is a private address (RFC 1918, link-local, loopback; IPv6
// loopback, fe80::/10-style, fc00::/7-style and mapped private IPv4), else 0.
int urllist_isPrivateIP(const kx_ipaddr *ip);

// IDN conversion of idn_host (NUL-terminated) into urlinfo->asciihost and
// mangled_asciihost when it changes the host; failures leave them null.
void urllist_idntoascii(char *idn_host, URLLIST_EXPLODED_URL *urlinfo, CHARSET *charset_data);

// An exploded URL for an address without parsing: tokens scheme and host
// text (IPv6 in brackets) and the terminator. Null on failure.
URLLIST_EXPLODED_URL *urllist_ip_to_exploded_url(const kx_ipaddr *ip, const char *scheme);

// A character set record (flag 1, and flag 2 unless the name starts with
// "UTF-8"); null for a null name or no memory. Free with urllist_free_charset.
CHARSET *urllist_init_charset(const char *charset);
void urllist_free_charset(CHARSET *charset);

// hash->city = CityHash64 of len bytes of token.
void urllist_hash(const char *token, int len, myhash_t *hash);

// Writes the 8 bytes of the value in memory order as 16 lower-case hex
// digits and a NUL into hashstr (len bytes). -1 without writing when len is
// below 17, else 0.
int urllist_hash2str(const myhash_t *h, char *hashstr, int len);

// The inverse: len must be 16 (else the hash is set to 0 and -1 returned);
// a character that is not a hex digit gives -1 (hash then 0); else 0.
int urllist_str2hash(const char *hashstr, int len, myhash_t *h);
