#include "lib/lists/urllist_lookup.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/kxstring.h"
#include "lib/record/policyevent.h"

#define WILDCARD_STACK_SIZE 32

namespace {

class ReadHold {
 public:
  explicit ReadHold(URLLIST *l) : l_(l) {
    if (l_->flags & URLLIST_FLAG_LOCKED) rwl_readlock(&l_->lock);
  }
  ~ReadHold() {
    if (l_->flags & URLLIST_FLAG_LOCKED) rwl_readunlock(&l_->lock);
  }
  ReadHold(const ReadHold &) = delete;
  ReadHold &operator=(const ReadHold &) = delete;

 private:
  URLLIST *l_;
};

char lower(char ch) { return static_cast<char>(tolower(static_cast<unsigned char>(ch))); }

// Offset of a token text inside the exploded URL's own copy, or -1.
long copy_offset(const URLLIST_EXPLODED_URL *u, const char *item) {
  const char *base = u->mangledURL;
  if (item < base || item > base + u->length) return -1;
  return item - base;
}

// The lower-cased text of a path token, kept in nocaseMangledURL at the
// token's own offset; null when it cannot be made.
const char *nocase_text(URLLIST_EXPLODED_URL *u, URLLIST_TOKEN *tk) {
  long off = copy_offset(u, tk->item);
  if (off < 0) return nullptr;
  if (u->nocaseMangledURL == nullptr) {
    u->nocaseMangledURL = static_cast<char *>(calloc(static_cast<size_t>(u->length) + 1, 1));
    if (u->nocaseMangledURL == nullptr) return nullptr;
  }
  char *dst = u->nocaseMangledURL + off;
  size_t len = strlen(tk->item);
  if (static_cast<size_t>(off) + len > static_cast<size_t>(u->length)) return nullptr;
  if (len > 0 && dst[0] == '\0')
    for (size_t i = 0; i < len; ++i) dst[i] = lower(tk->item[i]);
  return dst;
}

// --- The URL's query elements -------------------------------------------

// Splits text at '?', '&' and '#' (empty elements dropped) into one heap
// block: the pointer array (null-terminated) followed by the texts.
char **split_query(const char *text, bool lowercase, size_t *count) {
  size_t len = strlen(text);
  size_t n = 0;
  bool in = false;
  for (size_t i = 0; i < len; ++i) {
    char ch = text[i];
    bool sep = ch == '?' || ch == '&' || ch == '#';
    if (!sep && !in) ++n;
    in = !sep;
  }
  if (n > URLLIST_MAX_QUERY_ELEMENTS) n = URLLIST_MAX_QUERY_ELEMENTS;
  size_t head = (n + 1) * sizeof(char *);
  auto *block = static_cast<char **>(malloc(head + len + 1));
  if (block == nullptr) return nullptr;
  char *copy = reinterpret_cast<char *>(block) + head;
  for (size_t i = 0; i < len; ++i) copy[i] = lowercase ? lower(text[i]) : text[i];
  copy[len] = '\0';
  size_t k = 0;
  char *start = copy;
  for (char *p = copy;; ++p) {
    char ch = *p;
    if (ch == '?' || ch == '&' || ch == '#' || ch == '\0') {
      *p = '\0';
      if (*start != '\0' && k < n) block[k++] = start;
      if (ch == '\0') break;
      start = p + 1;
    }
  }
  block[k] = nullptr;
  *count = k;
  return block;
}

// Full and name hashes of elements, as the entries' elements are hashed. On
// no memory both arrays stay null, so a later call tries again.
bool hash_elements(char **el, size_t n, myhash_t **full, myhash_t **name) {
  *full = static_cast<myhash_t *>(malloc((n + 1) * sizeof(myhash_t)));
  *name = static_cast<myhash_t *>(malloc((n + 1) * sizeof(myhash_t)));
  if (*full == nullptr || *name == nullptr) {
    free(*full);
    free(*name);
    *full = *name = nullptr;
    return false;
  }
  for (size_t i = 0; i < n; ++i) urllist_query_element_hash(el[i], &(*full)[i], &(*name)[i]);
  return true;
}

// Makes the query work fields once per exploded URL. False when the URL
// has no query or memory runs out.
bool ensure_query(URLLIST_EXPLODED_URL *u) {
  if (u->query == nullptr) return false;
  if (u->query_name_hash_list_nocase != nullptr) return true;
  size_t n = 0, m = 0;
  if (u->query_list == nullptr) u->query_list = split_query(u->query->item, false, &n);
  if (u->query_list_nocase == nullptr) u->query_list_nocase = split_query(u->query->item, true, &m);
  if (u->query_list == nullptr || u->query_list_nocase == nullptr) return false;
  for (n = 0; u->query_list[n] != nullptr; ++n) {
  }
  u->queryelements = n;
  if (u->query_hash_list == nullptr &&
      !hash_elements(u->query_list, n, &u->query_hash_list, &u->query_name_hash_list))
    return false;
  return hash_elements(u->query_list_nocase, n, &u->query_hash_list_nocase, &u->query_name_hash_list_nocase);
}

struct QueryView {
  char **list;
  const myhash_t *full;
  const myhash_t *name;
  size_t n;
};

// The URL's query elements as written or lower-cased; ensure_query made them.
QueryView query_view(const URLLIST_EXPLODED_URL *u, bool nocase) {
  if (nocase)
    return QueryView{u->query_list_nocase, u->query_hash_list_nocase, u->query_name_hash_list_nocase,
                     u->queryelements};
  return QueryView{u->query_list, u->query_hash_list, u->query_name_hash_list, u->queryelements};
}

// Which URL element matched entry element j, and how.
struct ElementMatch {
  size_t index;
  bool by_name;
  bool wildcard;
};

// Whether every element of q is found among the URL's elements.
bool query_match(const URLLIST_QUERY_ITEM *q, const QueryView &v, std::vector<ElementMatch> *how) {
  thread_local std::vector<unsigned char> used;
  bool dups = (q->flags & URLLIST_QI_DUPS) != 0;
  if (dups) used.assign(v.n, 0);
  if (how != nullptr) how->assign(q->queryelements, ElementMatch{0, false, false});
  for (size_t j = 0; j < q->queryelements; ++j) {
    int64_t h = q->hash[j].city;
    if (h == wildcard_hash.city) {
      if (how != nullptr) (*how)[j].wildcard = true;
      continue;
    }
    bool name_only = h == q->name_hash[j].city;
    bool found = false;
    for (size_t i = 0; i < v.n && !found; ++i) {
      if (dups && used[i]) continue;
      bool full = v.full[i].city == h;
      bool by_name = !full && name_only && v.name[i].city == h;
      if (!full && !by_name) continue;
      found = true;
      if (dups) used[i] = 1;
      if (how != nullptr) (*how)[j] = ElementMatch{i, by_name, false};
    }
    if (!found) return false;
  }
  return true;
}

// The query entry under head that governs the URL, or null.
URLLIST_QUERY_ITEM *query_search(URLLIST_QUERY_TREE *head, const QueryView &v) {
  URLLIST_QUERY_ITEM *best = nullptr;
  for (size_t i = 0; i < v.n; ++i) {
    bool matched = false;
    for (int pass = 0; pass < 2 && !matched; ++pass) {
      if (pass == 1 && v.name[i].city == v.full[i].city) break;
      auto it = head->querytree.find(pass == 0 ? v.full[i].city : v.name[i].city);
      if (it == head->querytree.end()) continue;
      for (URLLIST_QUERY_ITEM *q : it->second) {
        if (!urllist_data_live(q->data)) continue;
        if (best != nullptr && q->queryelements <= best->queryelements) continue;
        if (query_match(q, v, nullptr)) {
          best = q;
          matched = true;
          break;
        }
      }
    }
  }
  return best;
}

// --- The tree walk -------------------------------------------------------

struct Part {
  UrlPart type;
  const char *text;
};

struct Walk {
  URLLIST_EXPLODED_URL *u;
  Part *parts;  // null when no entry text is wanted
  int nparts;
  URLLIST_ITEM_DATA *best;
  int best_parts;
  URLLIST_QUERY_ITEM *best_q;
  bool best_q_nocase;
};

struct StackEntry {
  URLLIST_ITEM *node;
  int tok;
  int nparts;
  bool wildcard;  // a wildcard child, else the root of a case-insensitive tree
};

void add_part(Walk &w, UrlPart type, const char *text) {
  if (w.parts != nullptr) w.parts[w.nparts] = Part{type, text};
  ++w.nparts;
}

// Query entries at a node; a match becomes the best match.
bool consult_queries(Walk &w, URLLIST_ITEM *node) {
  if (w.u->query == nullptr || (node->queryhead == nullptr && node->queryhead_nocase == nullptr)) return false;
  if (!ensure_query(w.u)) return false;
  for (int pass = 0; pass < 2; ++pass) {
    URLLIST_QUERY_TREE *head = pass == 0 ? node->queryhead : node->queryhead_nocase;
    if (head == nullptr) continue;
    if (URLLIST_QUERY_ITEM *q = query_search(head, query_view(w.u, pass == 1))) {
      w.best = q->data;
      w.best_parts = w.nparts;
      w.best_q = q;
      w.best_q_nocase = pass == 1;
      return true;
    }
  }
  return false;
}

void walk(Walk &w, URLLIST_ITEM *start, int t) {
  URLLIST_TOKEN *toks = w.u->tokens;
  StackEntry st[WILDCARD_STACK_SIZE];
  int sp = 0;
  auto push = [&](URLLIST_ITEM *n, int ti, bool wild) {
    if (n == nullptr || sp >= WILDCARD_STACK_SIZE) return;
    if (toks[ti].type == UP_NULL || toks[ti].type == UP_QUERY) return;
    if (wild) {
      // The wildcard of the token's kind (wildcards of other kinds are
      // chained by high).
      while (n != nullptr && n->itemtype != toks[ti].type) n = n->high;
      if (n == nullptr) return;
    }
    st[sp++] = StackEntry{n, ti, w.nparts, wild};
  };
  if (consult_queries(w, start)) sp = 0;
  push(start->wildcard_child, t, true);
  push(start->nocase_child, t, false);
  URLLIST_ITEM *tree = toks[t].type == UP_QUERY ? nullptr : start->child;
  for (;;) {
    URLLIST_ITEM *m = nullptr;
    bool via_wildcard = false;
    UrlPart tt = toks[t].type;
    if (tt == UP_QUERY) {
      if (w.best != nullptr || sp == 0) return;
    } else if (tt != UP_NULL) {
      m = urllist_tree_search(tree, w.u, &toks[t]);
    }
    while (m == nullptr) {
      if (sp == 0) return;
      StackEntry e = st[--sp];
      w.nparts = e.nparts;
      t = e.tok;
      if (e.wildcard) {
        // A wildcard stands for one token of its own kind.
        if (e.node->itemtype == toks[t].type) {
          m = e.node;
          via_wildcard = true;
        }
      } else {
        m = urllist_tree_search(e.node, w.u, &toks[t]);
      }
    }
    URLLIST_TOKEN *tk = &toks[t];
    if (w.parts != nullptr) {
      const char *text = tk->item;
      if (via_wildcard)
        text = (m->itemtype == UP_PORT && m->item[0] != '\0') ? m->item : "*";
      else if (tk->type == UP_PORT)
        text = m->item;
      else if (tk->type == UP_PATH && m->nocase) {
        const char *lc = nocase_text(w.u, tk);
        if (lc != nullptr) text = lc;
      }
      add_part(w, tk->type, text);
    } else {
      ++w.nparts;
    }
    if (urllist_data_live(m->data)) {
      w.best = m->data;
      w.best_parts = w.nparts;
      w.best_q = nullptr;
      sp = 0;
    }
    if (consult_queries(w, m)) sp = 0;
    int next = t + 1;
    push(m->wildcard_child, next, true);
    push(m->nocase_child, next, false);
    t = next;
    tree = m->child;
    if (tree == nullptr && m->wildcard_child == nullptr && m->nocase_child == nullptr &&
        (w.best != nullptr || sp == 0))
      return;
  }
}

// The first token after the scheme and host tokens.
int after_host(const URLLIST_EXPLODED_URL *u) {
  int i = 0;
  while (u->tokens[i].type == UP_PROTO || u->tokens[i].type == UP_HOST) ++i;
  return i;
}

void walk_from_ip_item(Walk &w, URLLIST_ITEM *item, const char *scheme_text) {
  w.nparts = 0;
  add_part(w, UP_PROTO, scheme_text);
  add_part(w, UP_HOST, item->item);
  if (urllist_data_live(item->data)) {
    w.best = item->data;
    w.best_parts = w.nparts;
    w.best_q = nullptr;
  }
  walk(w, item, after_host(w.u));
}

iphead *scheme_list(URLLIST *l, const myhash_t &scheme_hash) {
  if (scheme_hash.city == wildcard_hash.city) return l->wildcard_iplist;
  if (l->iplists == nullptr) return nullptr;
  char key[17];
  urllist_hash2str(&scheme_hash, key, sizeof key);
  auto it = l->iplists->find(std::string_view(key, 16));
  return it != l->iplists->end() ? it->second : nullptr;
}

void main_walk(URLLIST *l, Walk &w) {
  URLLIST_EXPLODED_URL *u = w.u;
  if (!u->isIP) {
    w.nparts = 0;
    walk(w, &l->root, 0);
    return;
  }
  iphead *list = scheme_list(l, u->scheme_hash);
  bool tried_wildcard = list != nullptr && list == l->wildcard_iplist;
  auto *item = list != nullptr ? static_cast<URLLIST_ITEM *>(iplist_find_data(list, &u->ip)) : nullptr;
  if (item != nullptr) {
    walk_from_ip_item(w, item, u->tokens[0].item != nullptr ? u->tokens[0].item : "*");
  } else {
    w.nparts = 0;
    walk(w, &l->root, 0);
  }
  if (w.best == nullptr && !tried_wildcard && l->wildcard_iplist != nullptr) {
    item = static_cast<URLLIST_ITEM *>(iplist_find_data(l->wildcard_iplist, &u->ip));
    if (item != nullptr) walk_from_ip_item(w, item, "*");
  }
}

// --- Entry texts --------------------------------------------------------

bool default_port(const char *scheme, const char *port) {
  return (strcmp(scheme, "http") == 0 && strcmp(port, "80") == 0) ||
         (strcmp(scheme, "https") == 0 && strcmp(port, "443") == 0) ||
         (strcmp(scheme, "*") == 0 && strcmp(port, "0-65535") == 0);
}

char *walk_text(const Walk &w) {
  std::string s;
  const Part *p = w.parts;
  int n = w.best_parts;
  int i = 0;
  const char *scheme = nullptr;
  if (i < n && p[i].type == UP_PROTO) {
    scheme = p[i].text;
    if (strcmp(scheme, "*") != 0) {
      s += scheme;
      s += "://";
    }
    ++i;
  }
  int h0 = i;
  while (i < n && p[i].type == UP_HOST) ++i;
  for (int k = i - 1; k >= h0; --k) {
    s += p[k].text;
    if (k > h0) s += '.';
  }
  for (; i < n; ++i) {
    if (p[i].type == UP_PORT) {
      if (scheme == nullptr || !default_port(scheme, p[i].text)) {
        s += ':';
        s += p[i].text;
      }
    } else if (p[i].type == UP_PATH) {
      s += '/';
      s += p[i].text;
    }
  }
  if (const URLLIST_QUERY_ITEM *q = w.best_q) {
    QueryView v = query_view(w.u, w.best_q_nocase);
    std::vector<ElementMatch> how;
    query_match(q, v, &how);
    bool anchor = (q->flags & URLLIST_QI_ANCHOR) != 0;
    for (size_t j = 0; j < q->queryelements; ++j) {
      if (anchor && j + 1 == q->queryelements)
        s += '#';
      else
        s += j == 0 ? '?' : '&';
      const ElementMatch &m = how[j];
      if (m.wildcard || m.index >= v.n) {
        s += '*';
        continue;
      }
      const char *e = v.list[m.index];
      if (m.by_name) {
        const char *eq = strchr(e, '=');
        s.append(e, eq != nullptr ? static_cast<size_t>(eq - e) : strlen(e));
      } else {
        s += e;
      }
    }
  }
  return strdup(s.c_str());
}

char *hex_text(const unsigned char *b, size_t n) {
  auto *s = static_cast<char *>(malloc(n * 2 + 1));
  if (s == nullptr) return nullptr;
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    s[2 * i] = digits[b[i] >> 4];
    s[2 * i + 1] = digits[b[i] & 15];
  }
  s[n * 2] = '\0';
  return s;
}

// --- The other steps ----------------------------------------------------

bool ensure_digest(URLLIST_EXPLODED_URL *u) {
  if (u->digest != nullptr) return true;
  if (u->url == nullptr) return false;
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  bool ok = EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1;
  size_t len = static_cast<size_t>(u->length > 0 ? u->length : 0);
  size_t head = static_cast<size_t>(u->host_url_length > 0 ? u->host_url_length : 0);
  if (head > len) head = len;
  char buf[256];
  for (size_t i = 0; ok && i < head; i += sizeof buf) {
    size_t k = std::min(sizeof buf, head - i);
    for (size_t j = 0; j < k; ++j) buf[j] = lower(u->url[i + j]);
    ok = EVP_DigestUpdate(ctx, buf, k) == 1;
  }
  if (ok && len > head) ok = EVP_DigestUpdate(ctx, u->url + head, len - head) == 1;
  ok = ok && EVP_DigestFinal_ex(ctx, md, &mdlen) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok || mdlen > 254) return false;
  u->digest = static_cast<unsigned char *>(malloc(mdlen + 1));
  if (u->digest == nullptr) return false;
  u->digest[0] = static_cast<unsigned char>(mdlen);
  memcpy(u->digest + 1, md, mdlen);
  return true;
}

char *normalised_copy(const char *s, size_t len) {
  char *c = strndup(s, len);
  if (c != nullptr) string_lowercase_url(c);
  return c;
}

// Keywords, regular expressions and the default entry over url and its
// normalised copy (made on demand into *nocase).
int string_steps(URLLIST *l, const char *url, char **nocase, size_t len, URLLIST_ITEM_DATA **found, char **text) {
  auto need_nocase = [&]() -> const char * {
    if (*nocase == nullptr) *nocase = normalised_copy(url, len);
    return *nocase;
  };
  if (l->keyword_list != nullptr) {
    const char *nc = need_nocase();
    if (nc == nullptr) return 1;
    KEYWORDLIST_RESULT *r = keywordlist_lookup(l->keyword_list, nc, nullptr, nullptr);
    if (r != nullptr && urllist_data_live(static_cast<URLLIST_ITEM_DATA *>(r->data))) {
      *found = static_cast<URLLIST_ITEM_DATA *>(r->data);
      if (text != nullptr) {
        *text = strdup(r->item);
        if (*text != nullptr) string_replace(*text, ' ', '+');
      }
      return 0;
    }
  }
  for (URLLIST_RE_ITEM *re = l->regexp; re != nullptr; re = re->next) {
    if (!urllist_data_live(re->data)) continue;
    const char *subject = url;
    if (re->nocase) {
      subject = need_nocase();
      if (subject == nullptr) continue;
    }
    if (regexec(&re->exp, subject, 0, nullptr, 0) == 0) {
      *found = re->data;
      if (text != nullptr) {
        std::string t;
        t.reserve(strlen(re->strexp) + 2);
        t.append(1, '/').append(re->strexp).append(1, '/');
        *text = strdup(t.c_str());
      }
      return 0;
    }
  }
  if (!(l->flags & URLLIST_FLAG_NO_DEF_ACTION) && urllist_data_live(l->default_data)) {
    *found = l->default_data;
    if (text != nullptr) *text = strdup("*");
    return 0;
  }
  return 1;
}

bool any_child(const URLLIST_ITEM *n) {
  return n->child != nullptr || n->nocase_child != nullptr || n->wildcard_child != nullptr;
}

int tree_steps(URLLIST *l, URLLIST_EXPLODED_URL *u, bool want_text, bool only_main, URLLIST_ITEM_DATA **found,
               char **text) {
  size_t ntok = 0;
  while (u->tokens != nullptr && u->tokens[ntok].type != UP_NULL) ++ntok;
  // One part per token and the terminator; kept per thread between lookups.
  thread_local std::vector<Part> parts;
  if (want_text && parts.size() < ntok + 1) parts.resize(ntok + 1, Part{UP_NULL, nullptr});
  Walk w{u, want_text ? parts.data() : nullptr, 0, nullptr, 0, nullptr, false};
  auto done = [&]() {
    if (w.best == nullptr) return false;
    *found = w.best;
    if (want_text) *text = walk_text(w);
    return true;
  };
  if (!only_main) {
    if (u->path != nullptr && any_child(&l->path_root)) {
      walk(w, &l->path_root, static_cast<int>(u->path - u->tokens));
      if (done()) return 0;
    }
    if (u->query != nullptr && (l->query_root.queryhead != nullptr || l->query_root.queryhead_nocase != nullptr)) {
      w.nparts = 0;
      walk(w, &l->query_root, static_cast<int>(u->query - u->tokens));
      if (done()) return 0;
    }
  }
  if (ntok > 0) {
    main_walk(l, w);
    if (done()) return 0;
  }
  return 1;
}

int full_lookup(URLLIST *l, URLLIST_EXPLODED_URL *u, void **ret_data, char **listurl) {
  URLLIST_ITEM_DATA *found = nullptr;
  char *text = nullptr;
  char **tp = listurl != nullptr ? &text : nullptr;
  int rc = tree_steps(l, u, listurl != nullptr, false, &found, &text);
  if (rc != 0 && l->digest_list != nullptr && !l->digest_list->empty() && ensure_digest(u)) {
    std::string_view key(reinterpret_cast<const char *>(u->digest), u->digest[0] + 1u);
    auto it = l->digest_list->find(key);
    if (it != l->digest_list->end() && urllist_data_live(it->second)) {
      found = it->second;
      if (tp != nullptr) text = hex_text(u->digest + 1, u->digest[0]);
      rc = 0;
    }
  }
  if (rc != 0 && l->ext_list != nullptr && u->fileExtension != nullptr) {
    char *t = nullptr;
    auto *d = static_cast<URLLIST_ITEM_DATA *>(extlist_lookup_diag(l->ext_list, u->fileExtension, tp ? &t : nullptr));
    if (urllist_data_live(d)) {
      found = d;
      text = t;
      rc = 0;
    } else {
      free(t);
    }
  }
  if (rc != 0) rc = string_steps(l, u->url, &u->nocaseURL, static_cast<size_t>(u->length), &found, tp);
  if (rc != 0) return 1;
  if (ret_data != nullptr) *ret_data = found;
  if (listurl != nullptr) *listurl = text;
  return 0;
}

int urlonly_lookup(URLLIST *l, URLLIST_EXPLODED_URL *u, void **ret_data, char **listurl) {
  URLLIST_ITEM_DATA *found = nullptr;
  char *text = nullptr;
  if (tree_steps(l, u, listurl != nullptr, true, &found, &text) != 0) return 1;
  if (ret_data != nullptr) *ret_data = found;
  if (listurl != nullptr) *listurl = text;
  return 0;
}

// --- Dump ---------------------------------------------------------------

void dump_node_text(std::string &buf, const URLLIST_ITEM *n) {
  char hex[17];
  urllist_hash2str(&n->hash, hex, sizeof hex);
  switch (n->itemtype) {
    case UP_PROTO:
      buf += hex;
      buf += "://";
      break;
    case UP_HOST:
      buf += hex;
      buf += '.';
      break;
    case UP_PORT:
      buf += ':';
      buf += hex;
      break;
    case UP_PATH:
      buf += '/';
      buf += hex;
      break;
    default:
      buf += '?';
      buf += hex;
      break;
  }
}

// The buffer with its host labels in their usual order.
std::string dump_prefix(const std::string &buf) {
  size_t s = buf.find("://");
  size_t hstart = s == std::string::npos ? 0 : s + 3;
  size_t rest = buf.find_first_of(":/", hstart);
  if (rest == std::string::npos) rest = buf.size();
  std::string out = buf.substr(0, hstart);
  std::vector<std::string_view> labels;
  std::string_view hosts(buf.data() + hstart, rest - hstart);
  while (!hosts.empty()) {
    size_t dot = hosts.find('.');
    labels.push_back(hosts.substr(0, dot));
    hosts = dot == std::string_view::npos ? std::string_view() : hosts.substr(dot + 1);
  }
  for (size_t k = labels.size(); k-- > 0;) {
    out += labels[k];
    if (k > 0) out += '.';
  }
  out.append(buf, rest, std::string::npos);
  return out;
}

void dump_queries(FILE *out, const std::string &prefix, const URLLIST_QUERY_TREE *head, const char *type) {
  if (head == nullptr) return;
  char action[1024];
  for (const URLLIST_QUERY_ITEM *q : head->querylist) {
    if (q->data == nullptr) continue;
    std::string line = prefix;
    char hex[17];
    for (size_t j = 0; j < q->queryelements; ++j) {
      urllist_hash2str(&q->hash[j], hex, sizeof hex);
      line += '?';
      line += hex;
    }
    urllist_action_dump_action(q->data, action, sizeof action);
    fprintf(out, "%s %s %s\n", line.c_str(), type, action);
  }
}

void dump_tree(URLLIST *l, FILE *out) {
  struct Entry {
    const URLLIST_ITEM *node;
    size_t len;
  };
  std::vector<Entry> stack;
  std::string buf;
  char action[1024];
  if (l->root.child != nullptr) stack.push_back({l->root.child, 0});
  while (!stack.empty()) {
    Entry e = stack.back();
    stack.pop_back();
    const URLLIST_ITEM *n = e.node;
    buf.resize(e.len);
    if (n->low != nullptr) stack.push_back({n->low, e.len});
    if (n->high != nullptr) stack.push_back({n->high, e.len});
    dump_node_text(buf, n);
    std::string prefix;
    if (n->data != nullptr || n->queryhead != nullptr || n->queryhead_nocase != nullptr) prefix = dump_prefix(buf);
    if (n->data != nullptr) {
      urllist_action_dump_action(n->data, action, sizeof action);
      fprintf(out, "%s Uh %s\n", prefix.c_str(), action);
    }
    dump_queries(out, prefix, n->queryhead, "Uh");
    dump_queries(out, prefix, n->queryhead_nocase, "Uch");
    if (n->nocase_child != nullptr) stack.push_back({n->nocase_child, buf.size()});
    if (n->child != nullptr) stack.push_back({n->child, buf.size()});
  }
}

}  // namespace

// --- Shared with the loader ---------------------------------------------

bool urllist_data_live(const URLLIST_ITEM_DATA *d) {
  if (d == nullptr || urllist_action_expired(d)) return false;
  return !(d->action == UA_REGREPLACE && d->action_data == nullptr);
}

myhash_t urllist_token_nocase_hash(URLLIST_EXPLODED_URL *u, URLLIST_TOKEN *tk) {
  if (tk->nocase_hash.city != 0) return tk->nocase_hash;
  if (tk->type != UP_PATH) {
    tk->nocase_hash = tk->hash;
    return tk->hash;
  }
  const char *lc = nocase_text(u, tk);
  if (lc == nullptr) {
    std::string tmp(tk->item);
    for (char &ch : tmp) ch = lower(ch);
    myhash_t h;
    urllist_hash(tmp.data(), static_cast<int>(tmp.size()), &h);
    return h;
  }
  urllist_hash(lc, static_cast<int>(strlen(tk->item)), &tk->nocase_hash);
  return tk->nocase_hash;
}

bool urllist_query_element_hash(const char *e, myhash_t *full, myhash_t *name) {
  int len = static_cast<int>(strlen(e));
  const char *eq = strchr(e, '=');
  if (eq == nullptr || (eq[1] == '\0' && eq == strrchr(e, '='))) {
    urllist_hash(e, eq == nullptr ? len : static_cast<int>(eq - e), full);
    *name = *full;
    return true;
  }
  urllist_hash(e, len, full);
  urllist_hash(e, static_cast<int>(eq - e), name);
  return false;
}

URLLIST_QUERY_ITEM *urllist_query_find_exact(URLLIST_QUERY_TREE *head, const URLLIST_QUERY_ITEM *q) {
  if (head == nullptr || q == nullptr || q->queryelements == 0) return nullptr;
  auto it = head->querytree.find(q->hash[0].city);
  if (it == head->querytree.end()) return nullptr;
  for (URLLIST_QUERY_ITEM *o : it->second) {
    if (o->queryelements != q->queryelements) continue;
    // Same multiset of full hashes.
    std::vector<int64_t> a(q->queryelements), b(o->queryelements);
    for (size_t i = 0; i < q->queryelements; ++i) {
      a[i] = q->hash[i].city;
      b[i] = o->hash[i].city;
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    if (a == b) return o;
  }
  return nullptr;
}

// --- Lookups ------------------------------------------------------------

int urllist_lookup_data_unlocked(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data) {
  if (l == nullptr || urlinfo == nullptr) return 1;
  return full_lookup(l, urlinfo, ret_data, nullptr);
}

int urllist_lookup_data(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data) {
  if (l == nullptr || urlinfo == nullptr) return 1;
  ReadHold hold(l);
  return full_lookup(l, urlinfo, ret_data, nullptr);
}

int urllist_lookup_diag(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data, char **listurl) {
  if (l == nullptr || urlinfo == nullptr) return 1;
  ReadHold hold(l);
  return full_lookup(l, urlinfo, ret_data, listurl);
}

int urllist_lookup_data_urlonly(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data) {
  if (l == nullptr || urlinfo == nullptr) return 1;
  ReadHold hold(l);
  return urlonly_lookup(l, urlinfo, ret_data, nullptr);
}

int urllist_lookup_diag_urlonly(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, void **ret_data, char **listurl) {
  if (l == nullptr || urlinfo == nullptr) return 1;
  ReadHold hold(l);
  return urlonly_lookup(l, urlinfo, ret_data, listurl);
}

int urllist_lookup_string_diag(URLLIST *l, const char *str, char **nocase_str, void **ret_data, char **listurl) {
  if (l == nullptr || str == nullptr) return 1;
  ReadHold hold(l);
  char *own = nocase_str != nullptr ? *nocase_str : nullptr;
  URLLIST_ITEM_DATA *found = nullptr;
  char *text = nullptr;
  int rc = string_steps(l, str, &own, strlen(str), &found, listurl != nullptr ? &text : nullptr);
  if (nocase_str != nullptr)
    *nocase_str = own;
  else
    free(own);
  if (rc != 0) return 1;
  if (ret_data != nullptr) *ret_data = found;
  if (listurl != nullptr) *listurl = text;
  return 0;
}

int urllist_lookup_string_data(URLLIST *l, const char *str, char **nocase_str, void **ret_data) {
  return urllist_lookup_string_diag(l, str, nocase_str, ret_data, nullptr);
}

int urllist_lookup_num_diag(URLLIST *l, int index, void **data, char **listurl) {
  if (l == nullptr || index < 0 || index > PREQ_MAX_NUMBER) return 1;
  ReadHold hold(l);
  if (l->event_types_data == nullptr || !urllist_data_live(l->event_types_data[index])) return 1;
  if (data != nullptr) *data = l->event_types_data[index];
  if (listurl != nullptr) *listurl = strdup(policyevent_ntoa(index));
  return 0;
}

int urllist_lookup_num_data(URLLIST *l, int index, void **data) { return urllist_lookup_num_diag(l, index, data, nullptr); }

int urllist_lookup_category(URLLIST *l, URLLIST_EXPLODED_URL *urlinfo, cat_t *cat_buff) {
  if (l == nullptr || urlinfo == nullptr) return 1;
  ReadHold hold(l);
  void *d = nullptr;
  if (full_lookup(l, urlinfo, &d, nullptr) != 0) return 1;
  return urllist_action_get_category(static_cast<URLLIST_ITEM_DATA *>(d), cat_buff) == 1 ? 0 : 1;
}

void urllist_dump_file(URLLIST *l, FILE *out) {
  if (l == nullptr || out == nullptr) return;
  ReadHold hold(l);
  dump_tree(l, out);
}

void urllist_dump(URLLIST *l) { urllist_dump_file(l, stdout); }
