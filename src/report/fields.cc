#include "src/report/fields.h"

#include <arpa/inet.h>
#include <regex.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/base64.h"
#include "lib/lists/urllist_lookup.h"
#include "src/report/kwsearch.h"

// --- The run's cache ---------------------------------------------------------

namespace {

// A direct-mapped table: a key's slot is fixed by its hash, a new key takes
// the slot over. Bounded by construction; a lookup allocates nothing, and a
// slot reuses its strings' room when it is taken over.
struct derive_cache {
  struct slot {
    size_t hash = 0;
    bool used = false;
    bool has_value = false;
    std::string key;
    std::string value;
  };
  std::vector<slot> slots;

  slot *at(size_t slots_wanted, size_t h) {
    if (slots.empty()) slots.resize(slots_wanted);
    return &slots[h & (slots.size() - 1)];
  }
};

}  // namespace

struct report_field_cache {
  size_t slots = FIELDS_CACHE_SLOTS;
  derive_cache domains;
  derive_cache terms;
};

void report_field_cache_deleter::operator()(report_field_cache *c) const { delete c; }

namespace {

char *heap_copy(std::string_view s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (!p) return nullptr;
  memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

void ascii_lower(char *s) {
  for (; *s; ++s)
    if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s - 'A' + 'a');
}

report_field_cache *cache_of(REPORT *rep) {
  if (!rep->field_cache) rep->field_cache.reset(new (std::nothrow) report_field_cache);
  return rep->field_cache.get();
}

// A derived text: a view valid at least until the next derivation of its
// kind by the same run (into the run's cache, or a static text), or a heap
// string the receiver takes over.
struct derived_text {
  const char *view = nullptr;
  char *owned = nullptr;
};

// The value of key from the cache, or compute(key) stored in it. A hit
// allocates nothing; without a cache slot the computed heap string is
// handed over.
template <typename Compute>
derived_text cached_text(REPORT *rep, derive_cache report_field_cache::*which, const char *key, Compute compute) {
  std::string_view k(key);
  report_field_cache *c = k.size() <= FIELDS_CACHE_MAX_KEY ? cache_of(rep) : nullptr;
  if (!c) return {nullptr, compute(key)};
  size_t h = std::hash<std::string_view>{}(k);
  derive_cache::slot *s;
  try {
    s = (c->*which).at(c->slots, h);
  } catch (const std::bad_alloc &) {
    return {nullptr, compute(key)};
  }
  if (s->used && s->hash == h && s->key == k) return {s->has_value ? s->value.c_str() : nullptr, nullptr};
  char *v = compute(key);
  try {
    s->used = false;
    s->key.assign(k);
    s->value.assign(v ? v : "");
    s->hash = h;
    s->has_value = v != nullptr;
    s->used = true;
  } catch (const std::bad_alloc &) {
    s->used = false;
    return {nullptr, v};
  }
  free(v);
  return {s->has_value ? s->value.c_str() : nullptr, nullptr};
}

// As cached_text, always as a new heap string (or null).
template <typename Compute>
char *cached(REPORT *rep, derive_cache report_field_cache::*which, const char *key, Compute compute) {
  derived_text t = cached_text(rep, which, key, compute);
  return t.owned ? t.owned : t.view ? heap_copy(t.view) : nullptr;
}

// --- Rows ------------------------------------------------------------------

constexpr int kStampShift = 1;  // above RECORD_FLAG_OWNED

Record *entry_of(RECORD *row, const unsigned char *map, int id) {
  Record *e = &row[map[id]];
  return e->type == id ? e : nullptr;
}

const char *text_of(RECORD *row, const unsigned char *map, int id) {
  const Record *e = entry_of(row, map, id);
  if (!e || !e->data || StorageType(e->datatype) != STORT_STR) return nullptr;
  return static_cast<const char *>(e->data);
}


// A value derived by another run (same row, another report of a batch).
bool foreign(const Record *e, const REPORT *rep) {
  // A value the input itself gave carries no stamp.
  const unsigned stamp = e->flags >> kStampShift;
  return stamp != 0 && stamp != (rep ? rep->derive_stamp : 0u);
}

// Stores a derived text in the row's entry of id and returns it: a heap
// string is owned by the entry, a view (or "-" for nothing) is not copied;
// the table that hands out the row clears the entry before its next row.
// Without such an entry the text goes to this thread's scratch text of the
// field. Null only when memory runs out.
const char *save(RECORD *row, const unsigned char *map, int id, derived_text value, uint16_t stamp) {
  const char *text = value.owned ? value.owned : value.view ? value.view : FIELDS_NONE;
  Record *e = entry_of(row, map, id);
  if (!e) {
    thread_local std::array<std::string, 4> scratch;
    size_t slot = id == FIELD_URIHOST ? 0 : id == FIELD_URIDOMAIN ? 1 : id == FIELD_SEARCHTERM ? 2 : 3;
    try {
      scratch[slot].assign(text);
    } catch (const std::bad_alloc &) {
      free(value.owned);
      return nullptr;
    }
    free(value.owned);
    return scratch[slot].c_str();
  }
  if ((e->flags & RECORD_FLAG_OWNED) && e->data) free(e->data);
  e->data = const_cast<char *>(text);
  e->flags = static_cast<uint16_t>((value.owned ? RECORD_FLAG_OWNED : 0) | (stamp << kStampShift));
  return text;
}

const char *save(RECORD *row, const unsigned char *map, int id, char *owned, uint16_t stamp) {
  return save(row, map, id, derived_text{nullptr, owned}, stamp);
}

uint16_t stamp_of(const REPORT *rep) { return rep ? rep->derive_stamp : 0; }

const char *event_text(RECORD *row, const unsigned char *map) {
  // The event type in whatever integer storage the log gives it.
  const Record *t = entry_of(row, map, FIELD_TYPE);
  if (!t || !t->data || record_value_size(t->datatype) == 0 || record_value_uint(*t) != 8) return nullptr;
  return text_of(row, map, FIELD_DATA);
}

}  // namespace

// --- Plain derivations -------------------------------------------------------

namespace {

// The host part of url as it stands (user info cut, not yet lowercased);
// no data() when url has no "://".
std::string_view host_part(const char *url) {
  if (!url) return {};
  const char *p = strstr(url, "://");
  if (!p) return {};
  const char *start = p + 3, *q = start;
  for (; *q && *q != '/' && *q != '?' && *q != '#'; ++q)
    if (*q == '@') start = q + 1;
  return std::string_view(start, static_cast<size_t>(q - start));
}

// The lowercased host h in one of this thread's reused texts, so a
// row's host costs no allocation once the texts have grown: a view valid
// until kHostTexts more hosts are derived on this thread, far beyond the
// one row a run works on at a time.
constexpr size_t kHostTexts = 64;

const char *host_view(std::string_view h) {
  thread_local std::array<std::string, kHostTexts> texts;
  thread_local size_t next = 0;
  std::string &t = texts[next++ % kHostTexts];
  try {
    t.assign(h);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  ascii_lower(t.data());
  return t.c_str();
}

}  // namespace

char *get_host(const char *url) {
  std::string_view h = host_part(url);
  if (!h.data()) return nullptr;
  char *host = heap_copy(h);
  if (host) ascii_lower(host);
  return host;
}

namespace {

// The domain of host (port cut) by the lists: the matched entry's suffix
// plus one label, or the last two labels without a match.
char *domain_by_lists(const std::string &host, const DOMAIN_DEFINITION *dd) {
  char *listurl = nullptr;
  // Without a list there is nothing to look up: the last two labels.
  URLLIST_EXPLODED_URL *u = nullptr;
  if (dd->list || dd->global_list) {
    std::vector<char> work(host.begin(), host.end());
    work.push_back('\0');
    u = urllist_explode_charset(work.data(), nullptr, 0, 0, nullptr);
  }
  if (u) {
    if (urllist_lookup_diag(dd->list, u, nullptr, &listurl) != 0 || !listurl) {
      free(listurl);
      listurl = nullptr;
      if (urllist_lookup_diag(dd->global_list, u, nullptr, &listurl) != 0) {
        free(listurl);
        listurl = nullptr;
      }
    }
    urllist_free_urllist_exploded_url(u);
  }
  const long n = static_cast<long>(host.size());
  long hc = n - 1;
  if (listurl && *listurl) {
    const char *e = listurl;
    long ec = static_cast<long>(strlen(e)) - 1;
    // Walk back in step; a "*" in the entry stands for a whole label.
    while (e[ec] != '/' && hc > 0 && ec > 0) {
      --hc;
      if (!(e[ec] == '*' && host[static_cast<size_t>(hc)] != '.')) --ec;
    }
    if (ec == 0) {
      if (hc > 0) --hc;
      if (hc > 0 && host[static_cast<size_t>(hc)] == '.') --hc;
    }
  } else {
    while (hc > 0 && host[static_cast<size_t>(hc)] != '.') --hc;
    if (hc > 0) --hc;
  }
  free(listurl);
  while (hc > 0 && host[static_cast<size_t>(hc)] != '.') --hc;
  if (hc >= 0 && hc < n && host[static_cast<size_t>(hc)] == '.') ++hc;
  if (hc < 0) hc = 0;
  return heap_copy(std::string_view(host).substr(static_cast<size_t>(hc)));
}

char *domain_by_regexp(const std::string &host, const DOMAIN_DEFINITION *dd) {
  if (!dd->regexp_set || dd->regexp_part < 0 || static_cast<size_t>(dd->regexp_part) > dd->regexp.re_nsub)
    return heap_copy(host);
  const size_t want = static_cast<size_t>(dd->regexp_part) + 1;
  std::array<regmatch_t, 32> small;
  std::vector<regmatch_t> big;
  regmatch_t *pm = small.data();
  if (want > small.size()) {
    try {
      big.resize(want);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
    pm = big.data();
  }
  if (regexec(&dd->regexp, host.c_str(), want, pm, 0) == 0) {
    const regmatch_t &m = pm[want - 1];
    if (m.rm_so >= 0 && m.rm_eo > m.rm_so)
      return heap_copy(std::string_view(host).substr(static_cast<size_t>(m.rm_so),
                                                     static_cast<size_t>(m.rm_eo - m.rm_so)));
  }
  return heap_copy(host);
}

}  // namespace

char *extract_domain(const char *host, const DOMAIN_DEFINITION *dd) {
  if (!dd || !host) return nullptr;
  if (!*host) return heap_copy("");
  std::string h;
  try {
    // The port is cut from a copy: the caller's host (often the row's
    // field 32) keeps it.
    std::string_view v(host);
    size_t from = v.find(']');
    size_t colon = v.find(':', from == std::string_view::npos ? 0 : from);
    h.assign(v.substr(0, colon));
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  in_addr a;
  if (inet_pton(AF_INET, h.c_str(), &a) == 1) return heap_copy(h);
  try {
    switch (dd->type) {
      case DOMAIN_TYPE_LISTS: return domain_by_lists(h, dd);
      case DOMAIN_TYPE_REGEXP: return domain_by_regexp(h, dd);
      default: return nullptr;
    }
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

char *get_domain(const char *url, const DOMAIN_DEFINITION *dd) {
  if (!dd) return nullptr;
  char *host = get_host(url);
  if (!host) return nullptr;
  char *d = extract_domain(host, dd);
  free(host);
  return d;
}

char *get_search_terms(const char *url, REPORT *rep) {
  if (!rep || !rep->searchterms || !url || !*url) return nullptr;
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(const_cast<char *>(url), nullptr, 0, 0, nullptr);
  if (!u) return nullptr;
  char *terms = nullptr;
  void *data = nullptr;
  if (urllist_lookup_data(rep->searchterms, u, &data) == 0 && data) {
    char *ret = nullptr;
    if (urllist_action_process_action(static_cast<URLLIST_ITEM_DATA *>(data), nullptr, url, &ret, nullptr) ==
            4 &&
        ret) {
      char *decoded = kxurldecode(ret);
      if (decoded) {
        free(ret);
        ret = decoded;
      }
      ascii_lower(ret);
      terms = ret;
    }
  }
  urllist_free_urllist_exploded_url(u);
  return terms;
}

char *get_data_words(const char *text, REPORT *rep) {
  if (!rep || !text) return nullptr;
  if (!rep->keyword_search_engine) rep->keyword_search_engine = kwsearch_get_engine();
  return kwsearch_get_words(rep->keyword_search_engine.get(), text);
}

std::string_view find_protocol_view(const char *url) {
  if (!url) return {};
  const char *colon = strrchr(url, ':');
  if (!colon) return {};
  const char *end = colon[1] == '/' ? url + strlen(url) : colon;
  if (end > url && end[-1] == '/') --end;
  const size_t sl = sizeof(FIELDS_PROTOCOL_SUFFIX) - 1;
  if (static_cast<size_t>(end - url) >= sl && memcmp(end - sl, FIELDS_PROTOCOL_SUFFIX, sl) == 0) {
    const char *suffix = end - sl;
    const char *p = suffix - 1;
    while (p >= url && *p != '.') --p;
    if (p < url) return {};
    --p;
    while (p >= url && *p != '.' && *p != '/') --p;
    return std::string_view(p + 1, static_cast<size_t>(suffix - (p + 1)));
  }
  const char *s = strstr(url, "://");
  if (!s) return {};
  return std::string_view(url, static_cast<size_t>(s - url));
}

char *find_protocol(const char *url) {
  std::string_view v = find_protocol_view(url);
  return v.data() ? heap_copy(v) : nullptr;
}

char *report_domain_of_host(REPORT *rep, const char *host) {
  const DOMAIN_DEFINITION *dd = rep && rep->def ? rep->def->domain : nullptr;
  if (!dd || !host) return nullptr;
  return cached(rep, &report_field_cache::domains, host, [dd](const char *h) { return extract_domain(h, dd); });
}

char *report_search_terms_of_url(REPORT *rep, const char *url) {
  if (!rep || !rep->searchterms || !url) return nullptr;
  return cached(rep, &report_field_cache::terms, url, [rep](const char *u) { return get_search_terms(u, rep); });
}

void report_field_cache_set_size(REPORT *rep, size_t slots) {
  if (!rep) return;
  size_t n = 1;
  while (n < slots) n <<= 1;
  report_field_cache *c = cache_of(rep);
  if (!c) return;
  c->slots = n;
  c->domains.slots.clear();
  c->terms.slots.clear();
}

// --- Cached derivations on a row ---------------------------------------------

const char *get_host_save(RECORD *row, const unsigned char *map) {
  std::string_view part = host_part(text_of(row, map, FIELD_URI));
  derived_text h;
  if (part.data()) {
    h.view = host_view(part);
    if (!h.view) return nullptr;  // out of memory
  }
  return save(row, map, FIELD_URIHOST, h, 0);
}

const char *get_domain_save(REPORT *rep, RECORD *row, const unsigned char *map) {
  const char *host = text_of(row, map, FIELD_URI) ? find_host(row, map) : nullptr;
  const DOMAIN_DEFINITION *dd = rep && rep->def ? rep->def->domain : nullptr;
  derived_text d;
  if (dd && host) d = cached_text(rep, &report_field_cache::domains, host, [dd](const char *h) { return extract_domain(h, dd); });
  return save(row, map, FIELD_URIDOMAIN, d, stamp_of(rep));
}

const char *get_search_terms_save(REPORT *rep, RECORD *row, const unsigned char *map) {
  const char *url = text_of(row, map, FIELD_URI);
  derived_text t;
  if (rep && rep->searchterms && url)
    t = cached_text(rep, &report_field_cache::terms, url, [rep](const char *u) { return get_search_terms(u, rep); });
  return save(row, map, FIELD_SEARCHTERM, t, stamp_of(rep));
}

const char *get_data_words_save(REPORT *rep, RECORD *row, const unsigned char *map) {
  const char *text = event_text(row, map);
  return save(row, map, FIELD_DATAWORDS, text ? get_data_words(text, rep) : nullptr, 0);
}

const char *find_host(RECORD *row, const unsigned char *map) {
  const Record *e = entry_of(row, map, FIELD_URIHOST);
  if (e && e->data) return static_cast<const char *>(e->data);
  if (!text_of(row, map, FIELD_URI)) return nullptr;
  return get_host_save(row, map);
}

const char *find_domain(REPORT *rep, RECORD *row, const unsigned char *map) {
  const Record *e = entry_of(row, map, FIELD_URIDOMAIN);
  if (e && e->data && !foreign(e, rep)) return static_cast<const char *>(e->data);
  if (!text_of(row, map, FIELD_URI)) return nullptr;
  return get_domain_save(rep, row, map);
}

const char *find_search_terms(REPORT *rep, RECORD *row, const unsigned char *map) {
  const Record *e = entry_of(row, map, FIELD_SEARCHTERM);
  if (e && e->data && !foreign(e, rep)) return static_cast<const char *>(e->data);
  if (!text_of(row, map, FIELD_URI)) return nullptr;
  return get_search_terms_save(rep, row, map);
}

const char *find_data_words(REPORT *rep, RECORD *row, const unsigned char *map) {
  const Record *e = entry_of(row, map, FIELD_DATAWORDS);
  if (e && e->data) return static_cast<const char *>(e->data);
  if (!event_text(row, map)) return nullptr;
  return get_data_words_save(rep, row, map);
}

const char *find_derived(REPORT *rep, RECORD *row, const unsigned char *map, int id) {
  switch (id) {
    case FIELD_URIHOST: return find_host(row, map);
    case FIELD_URIDOMAIN: return find_domain(rep, row, map);
    case FIELD_SEARCHTERM: return find_search_terms(rep, row, map);
    case FIELD_DATAWORDS: return find_data_words(rep, row, map);
    case FIELD_PROTOCOL: {
      std::string_view v = find_protocol_view(text_of(row, map, FIELD_URI));
      if (!v.data()) return nullptr;
      thread_local std::string scratch;
      try {
        scratch.assign(v);
      } catch (const std::bad_alloc &) {
        return nullptr;
      }
      return scratch.c_str();
    }
    default: return nullptr;
  }
}

// --- Utilities ----------------------------------------------------------------

void get_category(cat_t *set, uint8_t type, const void *value) {
  if (!set || !value) return;
  cat_for_each_listed(static_cast<const char *>(value), PrintType(type) == PTYPE_STRING, [set](uint32_t n) {
    cat_add(set, n);
    return false;
  });
}

namespace {

bool number_after(const char *text, const char *tag, int64_t *out) {
  const char *p = strstr(text, tag);
  if (!p) return false;
  p += strlen(tag);
  if (*p < '0' || *p > '9') return false;
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > (INT64_MAX - (*p - '0')) / 10) return false;
    v = v * 10 + (*p - '0');
  }
  if (*p != ';' && *p != '\0') return false;
  *out = v;
  return true;
}

}  // namespace

void get_bandwidth_stats(const char *text, bandwidth_stats *out) {
  if (!out) return;
  out->input_bytes = out->output_bytes = 0;
  int64_t in, o;
  if (!text || !number_after(text, "IB:", &in) || !number_after(text, "OB:", &o)) return;
  out->input_bytes = in;
  out->output_bytes = o;
}

long long record_length(const RECORD *row, int ip_type) {
  if (!row) return 0;
  long long n = 0;
  for (const Record *e = row; e->type != 0 && e->data; ++e) {
    unsigned st = StorageType(e->datatype);
    if (st & STORT_BYTE_FLAG) continue;
    switch (st) {
      case STORT_INT8: n += 1; break;
      case STORT_INT16: n += 2; break;
      case STORT_INT32: n += 4; break;
      case STORT_INT64: n += 8; break;
      case STORT_INT128: n += 16; break;
      case STORT_STR: n += static_cast<long long>(strlen(static_cast<const char *>(e->data))) + 1; break;
      case STORT_IPADDR:
        if (ip_type == 2) n += 16;
        else if (ip_type == 3) n += static_cast<const kx_ipaddr *>(e->data)->family == AF_INET6 ? 17 : 5;
        else n += 4;
        break;
      default: break;
    }
  }
  return n;
}

const Record *get_type_hints() { return type_hints; }

size_t format_date_time(time_t t, char *buf, size_t size) {
  if (!buf || size == 0) return 0;
  struct tm tm;
  if (!localtime_r(&t, &tm)) {
    buf[0] = '\0';
    return 0;
  }
  return strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm);
}
