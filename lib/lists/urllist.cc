#include "lib/lists/urllist.h"

#include "lib/base/kxregex.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "lib/base/kxfile.h"
#include "lib/base/kxlog.h"
#include "lib/base/kxstring.h"
#include "lib/record/policyevent.h"
#include "lib/lists/urllist_lookup.h"

namespace {

// Holds the write lock of a locked list for one add.
class WriteHold {
 public:
  explicit WriteHold(URLLIST *l) : l_(l) {
    if (l_->flags & URLLIST_FLAG_LOCKED) rwl_writelock(&l_->lock);
  }
  ~WriteHold() {
    if (l_->flags & URLLIST_FLAG_LOCKED) rwl_writeunlock(&l_->lock);
  }
  WriteHold(const WriteHold &) = delete;
  WriteHold &operator=(const WriteHold &) = delete;

 private:
  URLLIST *l_;
};

URLLIST_ITEM_DATA *data_new(UrlAction action, void *action_data, time_t ttl) {
  auto *d = static_cast<URLLIST_ITEM_DATA *>(calloc(1, sizeof(URLLIST_ITEM_DATA)));
  if (d == nullptr) return nullptr;
  d->refcount = 0;
  d->ttl = ttl;
  d->action = action;
  d->action_data = action_data;
  return d;
}

void data_free(URLLIST_ITEM_DATA *d) {
  urllist_action_data_free(d);
  free(d);
}

// Drops one holder; the last one frees the data.
void data_release(URLLIST_ITEM_DATA *d) {
  if (d == nullptr) return;
  if (d->refcount > 0) --d->refcount;
  if (d->refcount == 0) data_free(d);
}

void data_release_fn(void *d) { data_release(static_cast<URLLIST_ITEM_DATA *>(d)); }

URLLIST_ITEM *node_new(const char *text, size_t len) {
  auto *n = static_cast<URLLIST_ITEM *>(calloc(1, offsetof(URLLIST_ITEM, item) + len + 1));
  if (n == nullptr) return nullptr;
  n->disbalance = ULD_NONE;
  n->itemtype = UP_NULL;
  if (len > 0) memcpy(n->item, text, len);
  n->item[len] = '\0';
  return n;
}

void query_item_free(URLLIST_QUERY_ITEM *q) {
  if (q == nullptr) return;
  free(q->querydata);
  free(q->hash);
  free(q->name_hash);
  data_release(q->data);
  free(q);
}

void query_tree_free(URLLIST_QUERY_TREE *t) {
  if (t == nullptr) return;
  for (URLLIST_QUERY_ITEM *q : t->querylist) query_item_free(q);
  delete t;
}

void node_contents_free(URLLIST_ITEM *n);

// Frees a sibling tree and everything below it without recursion.
void tree_free(URLLIST_ITEM *root) {
  std::vector<URLLIST_ITEM *> stack;
  if (root != nullptr) stack.push_back(root);
  while (!stack.empty()) {
    URLLIST_ITEM *n = stack.back();
    stack.pop_back();
    for (URLLIST_ITEM *c : {n->low, n->high, n->child, n->nocase_child, n->wildcard_child})
      if (c != nullptr) stack.push_back(c);
    query_tree_free(n->queryhead);
    query_tree_free(n->queryhead_nocase);
    data_release(n->data);
    free(n);
  }
}

// Frees what hangs below a node (not its siblings, not the node).
void node_contents_free(URLLIST_ITEM *n) {
  tree_free(n->child);
  tree_free(n->nocase_child);
  tree_free(n->wildcard_child);
  query_tree_free(n->queryhead);
  query_tree_free(n->queryhead_nocase);
  data_release(n->data);
  n->child = n->nocase_child = n->wildcard_child = nullptr;
  n->queryhead = n->queryhead_nocase = nullptr;
  n->data = nullptr;
}

// --- Sibling trees (AVL) ------------------------------------------------

// Order of siblings: other nodes by hash and type, then port nodes by their
// lower bound (and hash), so a port search can go by the port number.
struct NodeKey {
  int cls;
  uint64_t v;
  uint64_t h;
  int type;
};

NodeKey key_of(const URLLIST_ITEM *n) {
  if (n->itemtype == UP_PORT && n->nocase == 2) return {2, static_cast<uint64_t>(n->hash.city), 0, UP_PORT};
  if (n->itemtype == UP_PORT) return {1, n->port_lower, static_cast<uint64_t>(n->hash.city), UP_PORT};
  return {0, static_cast<uint64_t>(n->hash.city), 0, n->itemtype};
}

int key_cmp(const NodeKey &a, const NodeKey &b) {
  if (a.cls != b.cls) return a.cls < b.cls ? -1 : 1;
  if (a.v != b.v) return a.v < b.v ? -1 : 1;
  if (a.h != b.h) return a.h < b.h ? -1 : 1;
  if (a.type != b.type) return a.type < b.type ? -1 : 1;
  return 0;
}

void set_parent(URLLIST_ITEM *c, URLLIST_ITEM *p) {
  if (c != nullptr) c->parent = p;
}

// Rebalances t whose `near` side grew too high (near is low or high; far is
// the other side, heavy names the disbalance of each side). One routine
// serves both mirror images.
void fix_side(URLLIST_ITEM *&t, URLLIST_ITEM *URLLIST_ITEM::*near, URLLIST_ITEM *URLLIST_ITEM::*far,
              UL_DISBALANCE near_heavy, UL_DISBALANCE far_heavy) {
  URLLIST_ITEM *parent = t->parent;
  URLLIST_ITEM *a = t->*near;
  if (a->disbalance == near_heavy) {
    t->*near = a->*far;
    set_parent(t->*near, t);
    a->*far = t;
    t->parent = a;
    t->disbalance = ULD_NONE;
    a->disbalance = ULD_NONE;
    t = a;
  } else {
    URLLIST_ITEM *b = a->*far;
    a->*far = b->*near;
    set_parent(a->*far, a);
    t->*near = b->*far;
    set_parent(t->*near, t);
    b->*near = a;
    b->*far = t;
    a->parent = b;
    t->parent = b;
    t->disbalance = b->disbalance == near_heavy ? far_heavy : ULD_NONE;
    a->disbalance = b->disbalance == far_heavy ? near_heavy : ULD_NONE;
    b->disbalance = ULD_NONE;
    t = b;
  }
  t->parent = parent;
}

void fix_low(URLLIST_ITEM *&t) { fix_side(t, &URLLIST_ITEM::low, &URLLIST_ITEM::high, ULD_LOW, ULD_HIGH); }
void fix_high(URLLIST_ITEM *&t) { fix_side(t, &URLLIST_ITEM::high, &URLLIST_ITEM::low, ULD_HIGH, ULD_LOW); }

// Finds the sibling with key k below t, or inserts fresh (which must carry
// key k). grew tells the caller that the subtree got higher. Returns the
// node found or fresh.
URLLIST_ITEM *avl_insert(URLLIST_ITEM *&t, URLLIST_ITEM *parent, const NodeKey &k, URLLIST_ITEM *fresh,
                         bool &grew) {
  if (t == nullptr) {
    t = fresh;
    fresh->parent = parent;
    grew = true;
    return fresh;
  }
  int c = key_cmp(k, key_of(t));
  if (c == 0) {
    grew = false;
    return t;
  }
  URLLIST_ITEM *r;
  if (c < 0) {
    r = avl_insert(t->low, t, k, fresh, grew);
    if (grew) {
      if (t->disbalance == ULD_HIGH) {
        t->disbalance = ULD_NONE;
        grew = false;
      } else if (t->disbalance == ULD_NONE) {
        t->disbalance = ULD_LOW;
      } else {
        fix_low(t);
        grew = false;
      }
    }
  } else {
    r = avl_insert(t->high, t, k, fresh, grew);
    if (grew) {
      if (t->disbalance == ULD_LOW) {
        t->disbalance = ULD_NONE;
        grew = false;
      } else if (t->disbalance == ULD_NONE) {
        t->disbalance = ULD_HIGH;
      } else {
        fix_high(t);
        grew = false;
      }
    }
  }
  return r;
}

bool port_in_range(const URLLIST_ITEM *n, int port) {
  if (port == -1) return n->port_lower == 0 && n->port_upper == 65535;
  return port >= n->port_lower && port <= n->port_upper;
}

URLLIST_ITEM *avl_find(URLLIST_ITEM *t, const NodeKey &k) {
  while (t != nullptr) {
    int c = key_cmp(k, key_of(t));
    if (c == 0) return t;
    t = c < 0 ? t->low : t->high;
  }
  return nullptr;
}

// --- Adding tokens ------------------------------------------------------

// Copies made while adding one entry: data attached to them replaces the
// shared data instead of extending it.
using FreshSet = std::unordered_set<const void *>;

struct AddCtx {
  URLLIST *l;
  URLLIST_EXPLODED_URL *u;
  URLLIST_ITEM_DATA *data;
  int flags;       // entry-type flags
  bool replace;    // replace existing data
  FreshSet *fresh;
};

bool data_attachable(const URLLIST_ITEM_DATA *d) {
  // A replace action whose chain moved onto another entry has nothing to do.
  return !(d->action == UA_REGREPLACE && d->action_data == nullptr);
}

// Puts the entry's data into a node's or query entry's slot.
void attach(URLLIST_ITEM_DATA **slot, const void *owner, const AddCtx &c) {
  URLLIST_ITEM_DATA *d = c.data;
  if (!data_attachable(d)) return;
  if (*slot == nullptr) {
    *slot = d;
    ++d->refcount;
    return;
  }
  if (!c.replace || *slot == d) return;
  bool fresh = c.fresh != nullptr && c.fresh->count(owner) != 0;
  if (!fresh && (*slot)->action == UA_REGREPLACE && d->action == UA_REGREPLACE &&
      urllist_action_append_action_data(*slot, d) == 1) {
    (*slot)->ttl = d->ttl;
    return;
  }
  data_release(*slot);
  *slot = d;
  ++d->refcount;
}

myhash_t token_hash(const URLLIST_TOKEN *tk, int flags) {
  myhash_t h = tk->hash;
  bool hex = (flags & URLLIST_TYPE_HASH) || ((flags & URLLIST_TYPE_HOST_HASH) && tk->type == UP_HOST);
  if (hex && tk->type != UP_PORT) {
    myhash_t parsed;
    if (urllist_str2hash(tk->item, static_cast<int>(strlen(tk->item)), &parsed) == 0)
      h = parsed;
    else
      urllist_hash(tk->item, static_cast<int>(strlen(tk->item)), &h);
  }
  return h;
}

unsigned short port_number(const char *s, const char **end) {
  unsigned long v = 0;
  bool any = false;
  while (isdigit(static_cast<unsigned char>(*s))) {
    any = true;
    if (v <= 65535) v = v * 10 + static_cast<unsigned long>(*s - '0');
    ++s;
  }
  if (end != nullptr) *end = s;
  if (!any) return 0;
  return static_cast<unsigned short>(v > 65535 ? 65535 : v);
}

// A port given as a hash in a hashed list: matched by its hash, not by a
// port range.
bool hashed_port(const URLLIST_TOKEN *tk, int flags) {
  myhash_t h;
  return tk->type == UP_PORT && (flags & URLLIST_TYPE_HASH) &&
         urllist_str2hash(tk->item, static_cast<int>(strlen(tk->item)), &h) == 0;
}

URLLIST_ITEM *token_node(const URLLIST_TOKEN *tk, myhash_t h, bool nocase, bool hashed) {
  bool port = tk->type == UP_PORT;
  size_t len = port ? strlen(tk->item) : 0;
  URLLIST_ITEM *n = node_new(tk->item, len);
  if (n == nullptr) return nullptr;
  n->hash = h;
  n->itemtype = tk->type;
  n->nocase = nocase ? 1 : 0;
  if (port && hashed) {
    n->nocase = 2;
  } else if (port) {
    const char *end;
    n->port_lower = port_number(tk->item, &end);
    const char *dash = strchr(tk->item, '-');
    n->port_upper = dash != nullptr ? port_number(dash + 1, nullptr) : n->port_lower;
    if (n->port_upper < n->port_lower) n->port_upper = n->port_lower;
  }
  return n;
}

// Splits a query text into its elements (at '?', '&' and '#', empty ones
// dropped) in a private copy; the pointers point into *copy.
void query_elements(const char *text, std::string &copy, std::vector<const char *> &out) {
  copy = text;
  out.clear();
  char *p = copy.data();
  char *start = p;
  for (;; ++p) {
    char ch = *p;
    if (ch == '?' || ch == '&' || ch == '#' || ch == '\0') {
      *p = '\0';
      if (*start != '\0' && out.size() < URLLIST_MAX_QUERY_ELEMENTS) out.push_back(start);
      if (ch == '\0') break;
      start = p + 1;
    }
  }
}

int add_query(URLLIST_ITEM *node, const URLLIST_TOKEN *tk, const AddCtx &c) {
  bool nocase = (c.flags & URLLIST_TYPE_NOCASE) != 0;
  bool hex = (c.flags & URLLIST_TYPE_HASH) != 0;
  std::string copy;
  std::vector<const char *> el;
  query_elements(tk->item, copy, el);
  if (nocase && !hex)
    for (char &ch : copy) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  if (el.empty()) return URLLIST_SUCCESS;  // nothing to match on: no query entry
  auto *q = static_cast<URLLIST_QUERY_ITEM *>(calloc(1, sizeof(URLLIST_QUERY_ITEM)));
  if (q == nullptr) return URLLIST_ERROR_MEMORY;
  q->hash = static_cast<myhash_t *>(calloc(el.size(), sizeof(myhash_t)));
  q->name_hash = static_cast<myhash_t *>(calloc(el.size(), sizeof(myhash_t)));
  if (q->hash == nullptr || q->name_hash == nullptr) {
    query_item_free(q);
    return URLLIST_ERROR_MEMORY;
  }
  q->queryelements = el.size();
  for (size_t i = 0; i < el.size(); ++i) {
    const char *e = el[i];
    if (hex && urllist_str2hash(e, static_cast<int>(strlen(e)), &q->hash[i]) == 0) {
      q->name_hash[i] = q->hash[i];
      ++q->names;
    } else if (urllist_query_element_hash(e, &q->hash[i], &q->name_hash[i])) {
      ++q->names;
    }
  }
  for (size_t i = 0; i < el.size() && !(q->flags & URLLIST_QI_DUPS); ++i)
    for (size_t j = i + 1; j < el.size(); ++j)
      if (q->hash[i].city == q->hash[j].city) {
        q->flags |= URLLIST_QI_DUPS;
        break;
      }
  if (c.u->anchor != nullptr) q->flags |= URLLIST_QI_ANCHOR;
  if (nocase) q->flags |= URLLIST_QI_NOCASE;

  URLLIST_QUERY_TREE *&head = nocase ? node->queryhead_nocase : node->queryhead;
  if (head == nullptr) {
    head = new (std::nothrow) URLLIST_QUERY_TREE;
    if (head == nullptr) {
      query_item_free(q);
      return URLLIST_ERROR_MEMORY;
    }
  }
  if (URLLIST_QUERY_ITEM *same = urllist_query_find_exact(head, q)) {
    query_item_free(q);
    attach(&same->data, same, c);
    return URLLIST_SUCCESS;
  }
  try {
    head->querylist.push_back(q);
  } catch (...) {
    query_item_free(q);
    return URLLIST_ERROR_MEMORY;
  }
  try {
    for (size_t i = 0; i < q->queryelements; ++i) {
      bool seen = false;
      for (size_t j = 0; j < i; ++j) seen = seen || q->hash[j].city == q->hash[i].city;
      if (seen) continue;
      auto &vec = head->querytree[q->hash[i].city];
      auto at = vec.begin();
      for (; at != vec.end(); ++at) {
        const URLLIST_QUERY_ITEM *o = *at;
        if (o->queryelements < q->queryelements) break;
        if (o->queryelements == q->queryelements && o->names > q->names) break;
      }
      vec.insert(at, q);
    }
  } catch (...) {
    // Keep the index consistent: take the entry out again.
    for (auto &kv : head->querytree) std::erase(kv.second, q);
    head->querylist.pop_back();
    query_item_free(q);
    return URLLIST_ERROR_MEMORY;
  }
  attach(&q->data, q, c);
  return URLLIST_SUCCESS;
}

// Adds the entry's tokens from index i on below node. allow_empty: an entry
// without further tokens ends at node itself (IP items).
int add_tokens(URLLIST_ITEM *node, size_t i, const AddCtx &c, bool allow_empty) {
  URLLIST_TOKEN *tk = &c.u->tokens[i];
  if (tk->type == UP_NULL && !allow_empty) return URLLIST_ERROR_URLEXPLODE;
  bool nocase_entry = (c.flags & URLLIST_TYPE_NOCASE) != 0;
  URLLIST_ITEM *cur = node;
  for (; tk->type != UP_NULL && tk->type != UP_QUERY; ++tk) {
    myhash_t h = token_hash(tk, c.flags);
    bool wildcard = strcmp(tk->item, "*") == 0 || h.city == wildcard_hash.city ||
                    (tk->type == UP_PORT && c.u->num_port == -1);
    if (wildcard) {
      // One wildcard per token kind: "any label" and "any port" below the
      // same host must not stand for each other. The first is the node's
      // wildcard_child; others of other kinds are chained by high.
      URLLIST_ITEM **slot = &cur->wildcard_child;
      while (*slot != nullptr && (*slot)->itemtype != tk->type) slot = &(*slot)->high;
      if (*slot == nullptr) {
        *slot = token_node(tk, h, false, false);
        if (*slot == nullptr) return URLLIST_ERROR_MEMORY;
        (*slot)->parent = cur;
      }
      cur = *slot;
      continue;
    }
    bool nocase = nocase_entry && tk->type == UP_PATH;
    URLLIST_ITEM *&slot = (nocase && cur->nocase != 1) ? cur->nocase_child : cur->child;
    bool hashed = hashed_port(tk, c.flags);
    URLLIST_ITEM probe_key{};
    probe_key.hash = h;
    probe_key.itemtype = tk->type;
    if (tk->type == UP_PORT) probe_key.port_lower = port_number(tk->item, nullptr);
    if (hashed) probe_key.nocase = 2;
    NodeKey k = key_of(&probe_key);
    URLLIST_ITEM *found = avl_find(slot, k);
    if (found == nullptr) {
      URLLIST_ITEM *fresh = token_node(tk, h, nocase, hashed);
      if (fresh == nullptr) return URLLIST_ERROR_MEMORY;
      bool grew = false;
      found = avl_insert(slot, nullptr, k, fresh, grew);
    }
    cur = found;
  }
  if (tk->type == UP_QUERY) return add_query(cur, tk, c);
  attach(&cur->data, cur, c);
  return URLLIST_SUCCESS;
}

// --- IP items -----------------------------------------------------------

URLLIST_QUERY_TREE *query_tree_copy(const URLLIST_QUERY_TREE *t, FreshSet *fresh) {
  if (t == nullptr) return nullptr;
  auto *n = new URLLIST_QUERY_TREE;
  std::unordered_map<const URLLIST_QUERY_ITEM *, URLLIST_QUERY_ITEM *> map;
  for (const URLLIST_QUERY_ITEM *q : t->querylist) {
    auto *c = static_cast<URLLIST_QUERY_ITEM *>(calloc(1, sizeof(URLLIST_QUERY_ITEM)));
    if (c == nullptr) throw std::bad_alloc();
    *c = *q;
    c->querydata = nullptr;
    c->hash = static_cast<myhash_t *>(malloc(q->queryelements * sizeof(myhash_t)));
    c->name_hash = static_cast<myhash_t *>(malloc(q->queryelements * sizeof(myhash_t)));
    if (c->hash == nullptr || c->name_hash == nullptr) {
      c->data = nullptr;
      query_item_free(c);
      throw std::bad_alloc();
    }
    memcpy(c->hash, q->hash, q->queryelements * sizeof(myhash_t));
    memcpy(c->name_hash, q->name_hash, q->queryelements * sizeof(myhash_t));
    if (c->data != nullptr) ++c->data->refcount;
    n->querylist.push_back(c);
    map[q] = c;
    if (fresh != nullptr) fresh->insert(c);
  }
  for (const auto &kv : t->querytree) {
    auto &vec = n->querytree[kv.first];
    for (const URLLIST_QUERY_ITEM *q : kv.second) vec.push_back(map[q]);
  }
  return n;
}

// Deep copy of a sibling tree (shape kept), sharing data by reference count.
URLLIST_ITEM *tree_copy(const URLLIST_ITEM *t, URLLIST_ITEM *parent, FreshSet *fresh);

void contents_copy(URLLIST_ITEM *to, const URLLIST_ITEM *from, FreshSet *fresh) {
  to->data = from->data;
  if (to->data != nullptr) ++to->data->refcount;
  to->queryhead = query_tree_copy(from->queryhead, fresh);
  to->queryhead_nocase = query_tree_copy(from->queryhead_nocase, fresh);
  to->child = tree_copy(from->child, nullptr, fresh);
  to->nocase_child = tree_copy(from->nocase_child, nullptr, fresh);
  to->wildcard_child = tree_copy(from->wildcard_child, to, fresh);
}

URLLIST_ITEM *tree_copy(const URLLIST_ITEM *t, URLLIST_ITEM *parent, FreshSet *fresh) {
  if (t == nullptr) return nullptr;
  size_t len = strlen(t->item);
  URLLIST_ITEM *n = node_new(t->item, len);
  if (n == nullptr) throw std::bad_alloc();
  n->hash = t->hash;
  n->parent = parent;
  n->disbalance = t->disbalance;
  n->itemtype = t->itemtype;
  n->nocase = t->nocase;
  n->port_lower = t->port_lower;
  n->port_upper = t->port_upper;
  if (fresh != nullptr) fresh->insert(n);
  try {
    contents_copy(n, t, fresh);
    n->low = tree_copy(t->low, n, fresh);
    n->high = tree_copy(t->high, n, fresh);
  } catch (...) {
    tree_free(n);
    throw;
  }
  return n;
}

// A new IP item with text; a copy of cover's contents when given.
URLLIST_ITEM *ip_item_new(URLLIST *l, const std::string &text, const URLLIST_ITEM *cover, FreshSet *fresh) {
  URLLIST_ITEM *n = node_new(text.data(), text.size());
  if (n == nullptr) return nullptr;
  n->itemtype = UP_HOST;
  if (cover != nullptr) {
    fresh->insert(n);
    try {
      contents_copy(n, cover, fresh);
    } catch (...) {
      node_contents_free(n);
      free(n);
      return nullptr;
    }
  }
  n->low = l->ipitems;
  l->ipitems = n;
  return n;
}

std::string hash_key(const myhash_t &h) {
  char buf[17];
  urllist_hash2str(&h, buf, sizeof buf);
  return buf;
}

// The IP list under a scheme key, made on first use when create is set.
iphead *scheme_iplist(URLLIST *l, const myhash_t &scheme_hash, bool create) {
  if (l->iplists == nullptr) {
    if (!create) return nullptr;
    l->iplists = new (std::nothrow) urllist_iplist_map;
    if (l->iplists == nullptr) return nullptr;
  }
  std::string key = hash_key(scheme_hash);
  auto it = l->iplists->find(key);
  if (it != l->iplists->end()) return it->second;
  if (!create) return nullptr;
  iphead *h = iplist_init(nullptr, nullptr);
  if (h == nullptr) return nullptr;
  try {
    (*l->iplists)[key] = h;
  } catch (...) {
    iplist_terminate(h);
    return nullptr;
  }
  return h;
}

// The IP list an entry goes to: its scheme's, or the wildcard list.
iphead *iplist_for(URLLIST *l, const URLLIST_EXPLODED_URL *u) {
  if (u->scheme_hash.city == wildcard_hash.city) {
    if (l->wildcard_iplist == nullptr) l->wildcard_iplist = iplist_init(nullptr, nullptr);
    return l->wildcard_iplist;
  }
  return scheme_iplist(l, u->scheme_hash, true);
}

int iplist_code(int rc) {
  if (rc == IPLIST_ERR_TREE) {
    kxlog_send(KXLOG_ERROR, "urllist_add: iplist internal error\n");
    return URLLIST_ERROR_URLEXPLODE;
  }
  if (rc == IPLIST_ERR_NOMEM) return URLLIST_ERROR_MEMORY;
  return URLLIST_ERROR_URLEXPLODE;
}

bool all_zero(const kx_ipaddr &ip) {
  if (ip.family == AF_INET) return ip.addr.ip == 0;
  static const struct in6_addr any = IN6ADDR_ANY_INIT;
  return memcmp(&ip.addr.ip6, &any, sizeof any) == 0;
}

// Adds the entry's tokens after the host below the IP item of one block
// (ip/cidr), making the item when the block has none.
int add_ip_block(URLLIST *l, iphead *list, kx_ipaddr ip, int cidr, const std::string &text, size_t rest,
                 const AddCtx &c, bool range) {
  bool tail = c.u->tokens[rest].type != UP_NULL;
  void *exact = nullptr, *best = nullptr;
  patricia_node_t *place = iplist_get_overlapped(list, &ip, cidr, &exact, &best);
  if (range && place != nullptr) {
    void **inside = nullptr;
    int k = iplist_get_smaller_subnets(place, &ip, cidr, &inside);
    if (k < 0) return URLLIST_ERROR_MEMORY;
    AddCtx keep = c;
    keep.replace = false;
    int rc = URLLIST_SUCCESS;
    // Only entries without data of their own take the range's tokens: an
    // address listed with its own action keeps governing its URLs.
    for (int i = 0; i < k && rc == URLLIST_SUCCESS; ++i) {
      auto *in = static_cast<URLLIST_ITEM *>(inside[i]);
      if (in->data == nullptr) rc = add_tokens(in, rest, keep, true);
    }
    free(inside);
    if (rc != URLLIST_SUCCESS) return rc;
  }
  auto *item = static_cast<URLLIST_ITEM *>(exact);
  if (item == nullptr) {
    item = ip_item_new(l, text, tail ? static_cast<URLLIST_ITEM *>(best) : nullptr, c.fresh);
    if (item == nullptr) return URLLIST_ERROR_MEMORY;
    int rc = iplist_add_cidr(list, &ip, cidr, item);
    if (rc != IPLIST_SUCCESS) return iplist_code(rc);
  }
  return add_tokens(item, rest, c, true);
}

int add_ip_entry(URLLIST *l, const AddCtx &c, size_t rest) {
  URLLIST_EXPLODED_URL *u = c.u;
  std::string host(u->host, static_cast<size_t>(u->host_length > 0 ? u->host_length : 0));
  std::string text = u->hostHasBrackets ? "[" + host + "]" : host;
  kx_ipaddr lo{}, hi{};
  bool range;
  if (u->isIP) {
    lo = hi = u->ip;
    range = all_zero(u->ip);
    if (range) {
      if (u->ip.family == AF_INET)
        hi.addr.ip = 0xFFFFFFFFu;
      else
        memset(&hi.addr.ip6, 0xFF, sizeof hi.addr.ip6);
    }
  } else {
    range = true;
    if (iplist_rangestring_to_ips(host.c_str(), &lo, &hi) != 0 || lo.family != hi.family)
      return URLLIST_ERROR_URLEXPLODE;
    if (lo.family == AF_INET && ntohl(lo.addr.ip) > ntohl(hi.addr.ip)) std::swap(lo, hi);
  }
  iphead *list = iplist_for(l, u);
  if (list == nullptr) {
    kxlog_send(KXLOG_ERROR, "urllist_add: couldn't allocate an iplist\n");
    return URLLIST_ERROR_MEMORY;
  }
  if (!range) return add_ip_block(l, list, lo, lo.family == AF_INET ? 32 : 128, text, rest, c, false);
  ip_cidr blocks[MAX_SUBNETS_IN_RANGE];
  int n = iplist_iprange_to_subnets(&lo, &hi, blocks, MAX_SUBNETS_IN_RANGE);
  if (n < 0) {
    kxlog_send(KXLOG_ERROR, "urllist_add: divide range to subnets\n");
    return URLLIST_ERROR_URLEXPLODE;
  }
  for (int i = 0; i < n; ++i) {
    int rc = add_ip_block(l, list, blocks[i].ip, blocks[i].cidr, text, rest, c, true);
    if (rc != URLLIST_SUCCESS) return rc;
  }
  return URLLIST_SUCCESS;
}

// --- Entry kinds --------------------------------------------------------

struct Counter {
  int *loaded;
  int *total;
};

int add_url_kind(URLLIST *l, const char *url, char kind, int flags, URLLIST_ITEM_DATA *data) {
  Counter cnt{&l->loaded_url_count, &l->total_url_count};
  if (kind == 'Q') cnt = {&l->loaded_query_count, &l->total_query_count};
  if (kind == 'S') cnt = {&l->loaded_scheme_count, &l->total_scheme_count};
  if (kind == 'P') cnt = {&l->loaded_path_count, &l->total_path_count};
  ++*cnt.total;

  std::string text(url);
  if (kind == 'S' && text.find("://") == std::string::npos) text += "://";
  uint32_t catbuf[CAT_INITIAL_SIZE];
  cat_t cats{0, CAT_INITIAL_SIZE, catbuf};
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(text.data(), &cats, 0, flags, l->charset_data);
  if (u == nullptr) return cat_has(&cats, CATEGORY_MALFORMED_URL) ? URLLIST_ERROR_URLEXPLODE : URLLIST_ERROR_MEMORY;

  FreshSet fresh;
  AddCtx c{l, u, data, flags, true, &fresh};
  int rc;
  try {
    if (kind == 'P') {
      rc = u->path != nullptr ? add_tokens(&l->path_root, static_cast<size_t>(u->path - u->tokens), c, false)
                              : URLLIST_ERROR_URLEXPLODE;
    } else if (kind == 'Q') {
      rc = u->query != nullptr ? add_tokens(&l->query_root, static_cast<size_t>(u->query - u->tokens), c, false)
                               : URLLIST_ERROR_URLEXPLODE;
    } else {
      size_t rest = 0;
      while (u->tokens[rest].type == UP_PROTO || u->tokens[rest].type == UP_HOST) ++rest;
      bool ip_host = u->isIP != 0;
      if (!ip_host && u->domains_num > 0 && u->host != nullptr && u->host_length > 0)
        ip_host = iplist_hostname_is_ip_range(u->host, u->host_length, u->hostHasBrackets) == 1;
      if (ip_host) {
        rc = add_ip_entry(l, c, rest);
      } else {
        if (l->addcallback != nullptr && u->domains_num > 0 && !(flags & (URLLIST_TYPE_HASH | URLLIST_TYPE_HOST_HASH)))
          l->addcallback(l->addcallback_data, u);
        rc = add_tokens(&l->root, 0, c, false);
      }
    }
  } catch (...) {
    rc = URLLIST_ERROR_MEMORY;
  }
  urllist_free_urllist_exploded_url(u);
  if (rc == URLLIST_SUCCESS) {
    ++*cnt.loaded;
    ++l->loaded_count;
  }
  return rc;
}

// Nested or stacked repetitions cost glibc's regcomp memory exponential in
// the pattern's length; patterns past this many nodes are refused
// (lib/base/kxregex.h).
constexpr long long kRegexpMaxNodes = 100000;

// The pattern of a case-insensitive entry, matched against the lower-cased
// URL: its letters lower-cased, except the class escapes \W, \S and \B
// (outside brackets), which would otherwise turn into their opposites.
void lower_pattern(std::string &pat) {
  auto lower = [](char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); };
  bool bracket = false;
  for (size_t i = 0; i < pat.size(); ++i) {
    char &c = pat[i];
    if (bracket) {
      // A bracket expression is literal: "[:", "[=" and "[." open names
      // that run to their own closing pair.
      if (c == '[' && i + 1 < pat.size() && (pat[i + 1] == ':' || pat[i + 1] == '=' || pat[i + 1] == '.')) {
        const char close[] = {pat[i + 1], ']', '\0'};
        size_t end = pat.find(close, i + 2);
        size_t stop = end == std::string::npos ? pat.size() : end + 2;
        for (; i < stop; ++i) pat[i] = lower(pat[i]);
        --i;
      } else if (c == ']') {
        bracket = false;
      } else {
        c = lower(c);
      }
      continue;
    }
    if (c == '\\' && i + 1 < pat.size()) {
      char &n = pat[++i];
      if (n != 'W' && n != 'S' && n != 'B') n = lower(n);
      continue;
    }
    if (c == '[') {
      bracket = true;
      // "^" and a leading "]" belong to the expression.
      if (i + 1 < pat.size() && pat[i + 1] == '^') ++i;
      if (i + 1 < pat.size() && pat[i + 1] == ']') ++i;
      continue;
    }
    c = lower(c);
  }
}

int add_regexp(URLLIST *l, const char *text, bool nocase, URLLIST_ITEM_DATA *data) {
  ++l->total_regexp_count;
  std::string pat(text);
  size_t n = pat.size();
  if (n >= 4 && (pat[0] == '|' || pat[0] == '/' || pat[0] == '\'') && pat[n - 1] == pat[0]) pat = pat.substr(1, n - 2);
  if (nocase) lower_pattern(pat);
  // Every URL looked up runs these expressions.
  if (kxregex_refused(pat.c_str(), kRegexpMaxNodes)) return URLLIST_ERROR_REGEXP;
  auto *re = static_cast<URLLIST_RE_ITEM *>(calloc(1, sizeof(URLLIST_RE_ITEM)));
  if (re == nullptr) return URLLIST_ERROR_MEMORY;
  re->strexp = strdup(pat.c_str());
  if (re->strexp == nullptr) {
    free(re);
    return URLLIST_ERROR_MEMORY;
  }
  int rc = regcomp(&re->exp, re->strexp, REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    free(re->strexp);
    free(re);
    return rc == REG_ESPACE ? URLLIST_ERROR_MEMORY : URLLIST_ERROR_REGEXP;
  }
  re->nocase = nocase ? 1 : 0;
  re->data = data;
  data->refcount = 1;
  if (l->regexp_tail != nullptr)
    l->regexp_tail->next = re;
  else
    l->regexp = re;
  l->regexp_tail = re;
  ++l->loaded_regexp_count;
  ++l->loaded_count;
  return URLLIST_SUCCESS;
}

int add_ext(URLLIST *l, const char *text, URLLIST_ITEM_DATA *data) {
  ++l->total_ext_count;
  if (l->ext_list == nullptr) l->ext_list = extlist_initialize(EXT_HASH_SIZE, data_release_fn);
  if (l->ext_list == nullptr) return URLLIST_ERROR_EXTLIST;
  if (*text == '.') ++text;
  data->refcount = 1;
  if (extlist_add_item(l->ext_list, text, data) != 0) {
    data->refcount = 0;
    return URLLIST_ERROR_EXTLIST;
  }
  ++l->loaded_ext_count;
  ++l->loaded_count;
  return URLLIST_SUCCESS;
}

int add_keyword(URLLIST *l, const char *text, char kind, URLLIST_ITEM_DATA *data) {
  Counter cnt{&l->loaded_keyword_count, &l->total_keyword_count};
  if (kind == 'W') cnt = {&l->loaded_word_count, &l->total_word_count};
  if (kind == 'k') cnt = {&l->loaded_multi_keyword_count, &l->total_multi_keyword_count};
  if (kind == 'w') cnt = {&l->loaded_multi_word_count, &l->total_multi_word_count};
  ++*cnt.total;
  if (l->keyword_list == nullptr) l->keyword_list = keywordlist_initialize(nullptr, nullptr, data_release_fn);
  if (l->keyword_list == nullptr) return URLLIST_ERROR_MEMORY;
  int restricted = (kind == 'W' || kind == 'w') ? 1 : 0;
  int multi = (kind == 'k' || kind == 'w') ? 1 : 0;
  data->refcount = 1;
  int rc = keywordlist_add_keyword(l->keyword_list, text, data, restricted, multi);
  if (rc != KEYWORDLIST_SUCCESS) {
    data->refcount = 0;
    if (rc == KEYWORDLIST_DUPLICATE_ENTRY) {
      kxlog_send(KXLOG_ERROR, "urllist_add: Duplicate keyword entry '%s'\n", text);
      return URLLIST_DUPLICATE_ENTRY;
    }
    return rc == KEYWORDLIST_MEMORY_ERROR ? URLLIST_ERROR_MEMORY : URLLIST_ERROR_KEYWORDLIST;
  }
  ++*cnt.loaded;
  ++l->loaded_count;
  return URLLIST_SUCCESS;
}

int add_digest(URLLIST *l, const char *text, URLLIST_ITEM_DATA *data) {
  ++l->total_digest_count;
  size_t n = strlen(text) / 2;
  if (n > 254) n = 254;
  if (n == 0) return URLLIST_ERROR_URLEXPLODE;
  std::string key(n + 1, '\0');
  key[0] = static_cast<char>(n);
  if (string_hex_to_bin(text, reinterpret_cast<unsigned char *>(key.data() + 1), static_cast<int>(n)) != 0)
    return URLLIST_ERROR_URLEXPLODE;
  if (l->digest_list == nullptr) l->digest_list = new (std::nothrow) urllist_digest_tree;
  if (l->digest_list == nullptr) return URLLIST_ERROR_MEMORY;
  try {
    URLLIST_ITEM_DATA *&slot = (*l->digest_list)[key];
    data_release(slot);
    slot = data;
  } catch (...) {
    return URLLIST_ERROR_MEMORY;
  }
  data->refcount = 1;
  ++l->loaded_digest_count;
  ++l->loaded_count;
  return URLLIST_SUCCESS;
}

int add_eventtype(URLLIST *l, const char *text, URLLIST_ITEM_DATA *data) {
  ++l->total_eventtype_count;
  int t = policyevent_aton(text);
  if (t < 0 || t >= PREQ_NUM) return URLLIST_ERROR_EVENTTYPE;
  if (l->event_types_data == nullptr)
    l->event_types_data = static_cast<URLLIST_ITEM_DATA **>(calloc(PREQ_NUM, sizeof(URLLIST_ITEM_DATA *)));
  if (l->event_types_data == nullptr) return URLLIST_ERROR_MEMORY;
  if (l->event_types_data[t] != nullptr) return URLLIST_DUPLICATE_ENTRY;
  l->event_types_data[t] = data;
  data->refcount = 1;
  ++l->loaded_eventtype_count;
  ++l->loaded_count;
  return URLLIST_SUCCESS;
}

char guess_kind(const char *url) {
  size_t n = strlen(url);
  char f = url[0];
  if (n > 0 && (f == '|' || f == '/' || f == '\'') && url[n - 1] == f) return 'R';
  if (strstr(url, "://") != nullptr) return 'U';
  if (f == '.') return 'E';
  return 'K';
}

// The common step of every add: the entry's kind from the type word, the
// kind's own add, then the add-action callback. The data is freed when
// nothing took it.
int add_entry(URLLIST *l, const char *url, const char *type, URLLIST_ITEM_DATA *data) {
  char kind = (type == nullptr || *type == '\0') ? guess_kind(url) : type[0];
  int flags = 0;
  bool any_flag = false;
  if (type != nullptr && *type != '\0') {
    for (const char *p = type + 1; *p; ++p) {
      any_flag = true;
      if (*p == 'c') flags |= URLLIST_TYPE_NOCASE;
      if (*p == 'h') flags |= URLLIST_TYPE_HASH;
      if (*p == 'p') flags |= URLLIST_TYPE_ALL_PORTS;
    }
  }
  int rc;
  switch (kind) {
    case 'N':
      data_release(l->default_data);
      l->default_data = data;
      data->refcount = 1;
      ++l->loaded_count;
      rc = URLLIST_SUCCESS;
      break;
    case 'R':
      rc = add_regexp(l, url, any_flag, data);
      break;
    case 'E':
      rc = add_ext(l, url, data);
      break;
    case 'K':
    case 'W':
    case 'k':
    case 'w':
      rc = add_keyword(l, url, kind, data);
      break;
    case 'D':
      rc = add_digest(l, url, data);
      break;
    case 'T':
      rc = add_eventtype(l, url, data);
      break;
    case 'S':
    case 'P':
    case 'Q':
    case 'U':
      rc = add_url_kind(l, url, kind, flags, data);
      break;
    default:
      rc = URLLIST_ERROR_TYPE;
      break;
  }
  if (rc == URLLIST_SUCCESS && l->add_action_callback != nullptr &&
      l->add_action_callback(l->add_action_callback_data, data) < 0)
    rc = URLLIST_ERROR_MEMORY;
  if (data->refcount == 0) data_free(data);
  if (rc == URLLIST_DUPLICATE_ENTRY) rc = URLLIST_SUCCESS;
  return rc;
}

URLLIST *list_new(int flags) {
  auto *l = static_cast<URLLIST *>(calloc(1, sizeof(URLLIST)));
  if (l == nullptr) return nullptr;
  l->flags = flags;
  for (URLLIST_ITEM *r : {&l->root, &l->path_root, &l->query_root}) {
    r->disbalance = ULD_NONE;
    r->itemtype = UP_NULL;
  }
  if ((flags & URLLIST_FLAG_LOCKED) && rwl_init(&l->lock) != 0) {
    free(l);
    return nullptr;
  }
  return l;
}

}  // namespace

URLLIST_ITEM *urllist_tree_search(URLLIST_ITEM *root, URLLIST_EXPLODED_URL *u, URLLIST_TOKEN *tk) {
  if (root == nullptr) return nullptr;
  URLLIST_ITEM *n = root;
  if (tk->type == UP_PORT) {
    int port = u->num_port;
    while (n != nullptr) {
      if (n->itemtype != UP_PORT) {
        n = n->high;  // port nodes sort after all others
      } else if (n->nocase == 2) {
        n = n->low;  // hashed ports sort after the ranges
      } else if (port_in_range(n, port)) {
        return n;
      } else {
        n = port < n->port_lower ? n->low : n->high;
      }
    }
    return avl_find(root, NodeKey{2, static_cast<uint64_t>(tk->hash.city), 0, UP_PORT});
  }
  myhash_t h = root->nocase == 1 ? urllist_token_nocase_hash(u, tk) : tk->hash;
  return avl_find(root, NodeKey{0, static_cast<uint64_t>(h.city), 0, tk->type});
}

URLLIST *urllist_initialize(int flags) { return list_new(flags); }

URLLIST *urllist_with_extra_initialize(int flags, urllist_delete_data_fn delete_data, const char *charset) {
  URLLIST *l = list_new(flags);
  if (l == nullptr) return nullptr;
  l->delete_data = delete_data;
  if (charset != nullptr) {
    l->charset_data = urllist_init_charset(charset);
    if (l->charset_data == nullptr) {
      urllist_terminate(l);
      return nullptr;
    }
  }
  return l;
}

URLLIST *urllist_with_charset_initialize(int flags, const char *charset) {
  return urllist_with_extra_initialize(flags, nullptr, charset);
}

URLLIST *urllist_with_data_initialize(int flags, urllist_delete_data_fn delete_data) {
  return urllist_with_extra_initialize(flags, delete_data, nullptr);
}

void urllist_terminate(URLLIST *l) {
  if (l == nullptr) return;
  for (URLLIST_ITEM *r : {&l->root, &l->path_root, &l->query_root}) node_contents_free(r);
  for (URLLIST_ITEM *n = l->ipitems; n != nullptr;) {
    URLLIST_ITEM *next = n->low;
    node_contents_free(n);
    free(n);
    n = next;
  }
  for (URLLIST_RE_ITEM *re = l->regexp; re != nullptr;) {
    URLLIST_RE_ITEM *next = re->next;
    regfree(&re->exp);
    free(re->strexp);
    data_release(re->data);
    free(re);
    re = next;
  }
  extlist_terminate(l->ext_list);
  keywordlist_terminate(l->keyword_list);
  if (l->iplists != nullptr) {
    for (auto &kv : *l->iplists) iplist_terminate(kv.second);
    delete l->iplists;
  }
  iplist_terminate(l->wildcard_iplist);
  if (l->digest_list != nullptr) {
    for (auto &kv : *l->digest_list) data_release(kv.second);
    delete l->digest_list;
  }
  data_release(l->default_data);
  if (l->event_types_data != nullptr) {
    for (int i = 0; i < PREQ_NUM; ++i) data_release(l->event_types_data[i]);
    free(l->event_types_data);
  }
  if (l->flags & URLLIST_FLAG_LOCKED) rwl_destroy(&l->lock);
  urllist_free_charset(l->charset_data);
  free(l);
}

int urllist_add(URLLIST *l, const char *url, const char *type, const char *act, const char *args, time_t ttl) {
  if (l == nullptr || url == nullptr || act == nullptr) return URLLIST_ERROR_NULL;
  WriteHold hold(l);
  ++l->total_count;
  void *adata = nullptr;
  UrlAction a = urllist_action_parse_action(act, args, &adata);
  if (a == UA_UNKNOWN) {
    kxlog_send(KXLOG_ERROR, "urllist_add: failed to add url '%s' unknown action '%s'\n", url, act);
    return URLLIST_ERROR_ACTION;
  }
  if (a == UA_ERROR) {
    kxlog_send(KXLOG_ERROR, "urllist_add: failed to add url '%s' bad action argument '%s' for action '%s'\n", url,
               args != nullptr ? args : "", act);
    return URLLIST_ERROR_ACTION;
  }
  URLLIST_ITEM_DATA *d = data_new(a, adata, ttl);
  if (d == nullptr) {
    URLLIST_ITEM_DATA tmp{0, 0, a, adata};
    urllist_action_data_free(&tmp);
    kxlog_send(KXLOG_ERROR, "urllist_add: failed to add url '%s'\n", url);
    return URLLIST_ERROR_MEMORY;
  }
  int rc = add_entry(l, url, type, d);
  if (rc != URLLIST_SUCCESS) kxlog_send(KXLOG_ERROR, "urllist_add: failed to add url '%s'\n", url);
  return rc;
}

int urllist_add_category_string(URLLIST *l, const char *item, const char *type, const char *categories, time_t ttl) {
  if (l == nullptr || item == nullptr) return URLLIST_ERROR_NULL;
  WriteHold hold(l);
  ++l->total_count;
  void *adata = nullptr;
  UrlAction a = urllist_action_parse_action("C", categories, &adata);
  if (a != UA_CATEGORY || adata == nullptr) return URLLIST_ERROR_MEMORY;
  URLLIST_ITEM_DATA *d = data_new(UA_CATEGORY, adata, ttl);
  if (d == nullptr) {
    cat_free(static_cast<cat_t *>(adata));
    return URLLIST_ERROR_MEMORY;
  }
  return add_entry(l, item, type, d);
}

int urllist_add_category(URLLIST *l, const char *url, const char *type, const cat_t *cat, time_t ttl) {
  if (l == nullptr || url == nullptr || cat == nullptr) return URLLIST_ERROR_NULL;
  WriteHold hold(l);
  ++l->total_count;
  cat_t *copy = cat_dup(cat);
  if (copy == nullptr) return URLLIST_ERROR_NULL;
  URLLIST_ITEM_DATA *d = data_new(UA_CATEGORY, copy, ttl);
  if (d == nullptr) {
    cat_free(copy);
    return URLLIST_ERROR_MEMORY;
  }
  return add_entry(l, url, type, d);
}

int urllist_add_data(URLLIST *l, const char *url, const char *type, void *data, time_t ttl) {
  if (l == nullptr || url == nullptr) return URLLIST_ERROR_NULL;
  WriteHold hold(l);
  ++l->total_count;
  URLLIST_ITEM_DATA *d = data_new(UA_NONE, data, ttl);
  int rc = d != nullptr ? add_entry(l, url, type, d) : URLLIST_ERROR_MEMORY;
  if (rc != URLLIST_SUCCESS) kxlog_send(KXLOG_ERROR, "urllist_add: failed to add url '%s'\n", url);
  return rc;
}

int urllist_add_line(URLLIST *l, const char *line, int hint) {
  if (l == nullptr || line == nullptr) return URLLIST_ERROR_NULL;
  char *copy = strdup(line);
  if (copy == nullptr) return URLLIST_ERROR_MEMORY;
  int n = 0;
  char **f = string_explode_limit(copy, ' ', 4, &n);
  if (f == nullptr) {
    free(copy);
    return URLLIST_ERROR_MEMORY;
  }
  const char *item = f[0];
  if (n == 3 && isdigit(static_cast<unsigned char>(f[1][0]))) {
    // "item N X": the number is not used.
    f[1] = f[2];
    n = 2;
  }
  if (n == 2) {
    const char *x = f[1];
    int rc;
    switch (hint) {
      case URLLIST_FILE_HINT_ALL_DENY:
        rc = urllist_add(l, item, nullptr, "D", nullptr, -1);
        break;
      case URLLIST_FILE_HINT_ALL_ALLOW:
        rc = urllist_add(l, item, nullptr, "A", nullptr, -1);
        break;
      case URLLIST_FILE_HINT_ALLOW_DENY:
        rc = urllist_add(l, item, nullptr, x[0] == '1' ? "A" : "D", nullptr, -1);
        break;
      case URLLIST_FILE_HINT_ALL_URL:
        rc = urllist_add(l, item, "U", "C", x, -1);
        break;
      default:
        rc = urllist_add_category_string(l, item, nullptr, x, -1);
        break;
    }
    if (rc != URLLIST_SUCCESS)
      kxlog_send(KXLOG_ERROR, "urllist_add_file: failed to add url '%s' with categories '%s'\n", item, x);
  } else if (n == 3 || n == 4) {
    const char *type = f[1], *act = f[2], *args = n == 4 ? f[3] : nullptr;
    bool ad = act[0] == 'A' || act[0] == 'D';
    bool go = true;
    const char *use_act = act, *use_args = args;
    switch (hint) {
      case URLLIST_FILE_HINT_ALL_DENY:
        use_act = "D";
        use_args = nullptr;
        break;
      case URLLIST_FILE_HINT_ALL_ALLOW:
        use_act = "A";
        use_args = nullptr;
        break;
      case URLLIST_FILE_HINT_ALLOW_DENY:
        go = ad;
        break;
      case URLLIST_FILE_HINT_ONLY_CATEGORY:
        go = n == 4 && act[0] == 'C';
        break;
      default:
        break;
    }
    if (go && urllist_add(l, item, type, use_act, use_args, -1) != URLLIST_SUCCESS) {
      if (n == 3)
        kxlog_send(KXLOG_ERROR, "urllist_add_file: failed to add item '%s' type: '%s' action: '%s'\n", item, type,
                   act);
      else
        kxlog_send(KXLOG_ERROR, "urllist_add_file: failed to add item '%s' type: '%s' action: '%s %s'\n", item,
                   type, act, args);
    }
  }
  free(f);
  free(copy);
  return URLLIST_SUCCESS;
}

namespace {
bool skipped_line(const char *line) { return line[0] == '\0' || line[0] == '#'; }
}  // namespace

int urllist_add_file(URLLIST *l, const char *file, int hint) {
  if (l == nullptr || file == nullptr) return URLLIST_ERROR_NULL;
  file_buffer *fb = file_buffer_open(file);
  if (fb == nullptr) return URLLIST_ERROR_FILE;
  int rc = URLLIST_SUCCESS;
  while (file_buffer_read_string(fb) == 0) {
    if (skipped_line(fb->line)) continue;
    if (urllist_add_line(l, fb->line, hint) == URLLIST_ERROR_MEMORY) {
      rc = URLLIST_ERROR_MEMORY;
      break;
    }
  }
  file_buffer_close(fb);
  return rc;
}

int urllist_add_buffer(URLLIST *l, const char *newbuf, char **buffer, int *bufferSize, int hint) {
  if (l == nullptr || newbuf == nullptr || buffer == nullptr || bufferSize == nullptr) return URLLIST_ERROR_NULL;
  size_t held = *buffer != nullptr && *bufferSize > 0 ? static_cast<size_t>(*bufferSize) : 0;
  size_t more = strlen(newbuf);
  auto *grown = static_cast<char *>(realloc(*buffer, held + more + 1));
  if (grown == nullptr) return URLLIST_ERROR_MEMORY;
  memcpy(grown + held, newbuf, more);
  grown[held + more] = '\0';
  *buffer = grown;
  size_t len = held + more;
  size_t start = 0;
  int rc = URLLIST_SUCCESS;
  for (size_t i = 0; i < len; ++i) {
    if (grown[i] != '\n') continue;
    grown[i] = '\0';
    const char *line = grown + start;
    start = i + 1;
    if (skipped_line(line)) continue;
    if (urllist_add_line(l, line, hint) == URLLIST_ERROR_MEMORY) {
      rc = URLLIST_ERROR_MEMORY;
      break;
    }
  }
  memmove(grown, grown + start, len - start);
  grown[len - start] = '\0';
  *bufferSize = static_cast<int>(len - start);
  return rc;
}

void urllist_set_addcallback(URLLIST *l, urllist_add_callback_fn func, void *data) {
  if (l == nullptr) return;
  l->addcallback = func;
  l->addcallback_data = data;
}

void urllist_set_add_action_callback(URLLIST *l, urllist_add_action_callback_fn func, void *data) {
  if (l == nullptr) return;
  l->add_action_callback = func;
  l->add_action_callback_data = data;
}

URLLIST_ITEM_DATA *urllist_get_default_data(URLLIST *l) { return l != nullptr ? l->default_data : nullptr; }

int urllist_parent_url_path_offset_number(const URLLIST_EXPLODED_URL *info, int *offset, int *number) {
  if (info == nullptr) return 1;
  if (offset != nullptr) *offset = info->domains_num + 2;
  if (number != nullptr) *number = info->paths_num;
  return info->path == nullptr ? 1 : 0;
}

iphead *urllist_find_iplist_for_scheme(URLLIST *l, const char *scheme) {
  if (l == nullptr || scheme == nullptr) return nullptr;
  myhash_t h;
  urllist_hash(scheme, static_cast<int>(strlen(scheme)), &h);
  return scheme_iplist(l, h, false);
}

iphead *urllist_add_iplist_for_scheme(URLLIST *l, const char *scheme) {
  if (l == nullptr || scheme == nullptr) return nullptr;
  myhash_t h;
  urllist_hash(scheme, static_cast<int>(strlen(scheme)), &h);
  return scheme_iplist(l, h, true);
}
