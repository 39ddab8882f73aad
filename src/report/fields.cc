#include "src/report/fields.h"

#include <arpa/inet.h>
#include <regex.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/base64.h"
#include "lib/base/kxstring.h"
#include "lib/lists/urllist_lookup.h"
#include "src/report/kwsearch.h"

// --- Keys -------------------------------------------------------------------

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;

// The eight bytes of w with A-Z lowercased, the others unchanged.
inline uint64_t lower_word(uint64_t w) {
  const uint64_t low7 = w & (0x7f * kOnes);
  const uint64_t from_a = low7 + (0x80 - 'A') * kOnes;  // high bit: byte >= 'A'
  const uint64_t past_z = low7 + (0x7f - 'Z') * kOnes;  // high bit: byte > 'Z'
  const uint64_t upper = from_a & ~past_z & ~w & (0x80 * kOnes);
  return w | (upper >> 2);
}

inline uint64_t load8(const char *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}

inline uint64_t load4(const char *p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}

// The n (< 8) bytes at p as a word, the missing bytes 0, read without
// touching a byte past them and without narrow stores to build the word.
inline uint64_t load_short(const char *p, size_t n) {
  if (n >= 4) return load4(p) | (load4(p + n - 4) << (8 * (n - 4)));
  if (n == 0) return 0;
  const auto b = [p](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i); };
  return b(0) | b(n / 2) | b(n - 1);
}

// The word at p + i of a text of n bytes: eight bytes, or the rest.
inline uint64_t word_at(const char *p, size_t i, size_t n) {
  return n - i >= 8 ? load8(p + i) : load_short(p + i, n - i);
}

// The lowercased bytes of a key of at most sixteen bytes as two words: the
// first eight and the last eight (overlapping), or for a shorter key its
// bytes and 0. They hold every byte, so they compare the key whole.
struct short_key {
  uint64_t head, tail;
};

inline short_key short_key_of(const char *p, size_t n) {
  if (n >= 8) return {lower_word(load8(p)), lower_word(load8(p + n - 8))};
  return {lower_word(load_short(p, n)), 0};
}

// Whether the n (<= 16) bytes at text are k's.
inline bool short_key_is(const short_key &k, const char *text, size_t n) {
  if (n >= 8) return load8(text) == k.head && load8(text + n - 8) == k.tail;
  return load_short(text, n) == k.head;
}

// Both halves of the 128-bit product folded together: every bit of a and b
// reaches the low bits a table's slot is chosen by.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

constexpr uint64_t kSeed = 0xa0761d6478bd642fULL, kMix = 0xe7037ed1a0b428dbULL;

inline uint64_t short_key_hash(const short_key &k, uint64_t seed) {
  return fold_multiply(k.head ^ kMix, k.tail ^ seed);
}

// A hash of the lowercased bytes: a host and the same host in capitals
// share a slot, so a URL's host bytes find the host a slot holds without
// being copied first. Sixteen bytes take one multiply, which is most hosts.
uint64_t key_hash(std::string_view k) {
  const char *p = k.data();
  size_t n = k.size();
  uint64_t seed = kSeed ^ n;
  if (n > 16) {
    for (; n > 16; p += 16, n -= 16) seed = fold_multiply(lower_word(load8(p)) ^ kMix, lower_word(load8(p + 8)) ^ seed);
    // The last sixteen bytes, overlapping the words already taken.
    p -= 16 - n;
    n = 16;
  }
  return short_key_hash(short_key_of(p, n), seed);
}

// Whether lowercase(raw) is lower (both raw.size() bytes long).
bool equals_lowered(std::string_view raw, const char *lower) {
  for (size_t i = 0; i < raw.size(); i += 8)
    if (lower_word(word_at(raw.data(), i, raw.size())) != word_at(lower, i, raw.size())) return false;
  return true;
}

void copy_lowered(char *to, std::string_view from) {
  size_t i = 0;
  for (; i + 8 <= from.size(); i += 8) {
    const uint64_t w = lower_word(load8(from.data() + i));
    memcpy(to + i, &w, 8);
  }
  for (; i < from.size(); ++i) {
    const char c = from[i];
    to[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
}

// --- The run's cache ---------------------------------------------------------

// A direct-mapped table: a key's slot is fixed by its hash, a new key takes
// the slot over. Bounded by construction; a lookup allocates nothing, and a
// slot reuses its strings' room when it is taken over.
struct derive_cache {
  struct slot {
    uint64_t hash = 0;
    bool used = false;
    bool has_value = false;
    std::string key;
    std::string value;
  };
  std::vector<slot> slots;

  slot *at(size_t slots_wanted, uint64_t h) {
    if (slots.empty()) slots.resize(slots_wanted);
    return &slots[h & (slots.size() - 1)];
  }
};

}  // namespace

struct report_field_cache {
  size_t slots = FIELDS_CACHE_SLOTS;
  // Tells this cache's domains apart in the threads' host tables; a new
  // number whenever the cache is emptied, never reused.
  uint64_t id = next_id();
  derive_cache domains;
  derive_cache terms;

  static uint64_t next_id() {
    static std::atomic<uint64_t> last{0};
    return ++last;
  }
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

// What a derivation gives the cache: text (no data(): nothing derived),
// held in heap when heap is set (the cache frees it).
struct computed {
  std::string_view text;
  char *heap = nullptr;
};

computed computed_heap(char *p) { return p ? computed{p, p} : computed{}; }

// The value of key (of hash key_hash(key)) from the cache, or compute()
// stored in it. A hit allocates nothing; without a cache slot the computed
// text is handed over as a heap string.
template <typename Compute>
derived_text cached_text(REPORT *rep, derive_cache report_field_cache::*which, std::string_view k, uint64_t h,
                         Compute compute) {
  report_field_cache *c = k.size() <= FIELDS_CACHE_MAX_KEY ? cache_of(rep) : nullptr;
  derive_cache::slot *s = nullptr;
  if (c) {
    try {
      s = (c->*which).at(c->slots, h);
    } catch (const std::bad_alloc &) {
      s = nullptr;
    }
  }
  if (s && s->used && s->hash == h && s->key == k) return {s->has_value ? s->value.c_str() : nullptr, nullptr};
  computed v = compute();
  if (s) {
    try {
      s->used = false;
      s->key.assign(k);
      s->value.assign(v.text.data() ? v.text : std::string_view());
      s->hash = h;
      s->has_value = v.text.data() != nullptr;
      s->used = true;
      free(v.heap);
      return {s->has_value ? s->value.c_str() : nullptr, nullptr};
    } catch (const std::bad_alloc &) {
      s->used = false;
    }
  }
  if (!v.text.data() || v.heap) return {nullptr, v.heap};
  return {nullptr, heap_copy(v.text)};
}

// As cached_text, always as a new heap string (or null).
template <typename Compute>
char *cached(REPORT *rep, derive_cache report_field_cache::*which, std::string_view k, Compute compute) {
  derived_text t = cached_text(rep, which, k, key_hash(k), compute);
  return t.owned ? t.owned : t.view ? heap_copy(t.view) : nullptr;
}

// --- This thread's hosts -----------------------------------------------------

// A direct-mapped table keyed by the lowercased host: a slot holds the host
// text and the domain the run that asked last derived from it, so a row's
// host and domain are views of one slot found with one hash of the URL's
// host bytes. A slot is taken over only by a later host of the same slot,
// and a row has one host, so the views stay valid while the row is worked
// on. The table belongs to the thread, not to a run: a run of a batch may
// end while the others still work on the row its host came from.
struct alignas(64) host_slot {
  uint64_t hash = 0;
  uint64_t domain_run = 0;  // id of the run cache the domain is of; 0: none
  std::unique_ptr<char[]> big;  // the text when it outgrew the inline room
  uint16_t len = 0;
  int16_t domain_at = -1;  // the domain's offset in the text; -1: none derived
  uint16_t room = 0;       // of big
  bool used = false;
  // The host and its NUL; a domain that is not a tail of the host (a part
  // cut by a regular expression, or before a port) follows when there is
  // room.
  char inline_text[33];

  char *text() { return big ? big.get() : inline_text; }
  size_t capacity() const { return big ? room : sizeof inline_text; }
};
static_assert(sizeof(host_slot) == 64, "a host slot is one cache line");
static_assert(FIELDS_CACHE_MAX_KEY * 2 + 2 <= UINT16_MAX, "offsets in a slot fit 16 bits");

struct host_table {
  std::unique_ptr<host_slot[]> slots;
  size_t size = FIELDS_HOST_SLOTS;
  host_slot *last = nullptr;  // the slot of this thread's latest host
};

thread_local host_table hosts;

// The slot holding the host of raw (the URL's bytes, lowercased in the
// slot), taken over when it holds another; null when the host is too long
// or memory runs out.
host_slot *host_slot_of(std::string_view raw) {
  if (raw.size() > FIELDS_CACHE_MAX_KEY) return nullptr;
  host_table &t = hosts;
  if (!t.slots) {
    t.slots.reset(new (std::nothrow) host_slot[t.size]);
    if (!t.slots) return nullptr;
  }
  // Most hosts are at most sixteen bytes: their two words give the hash
  // and compare them with the slot's text.
  const size_t n = raw.size();
  const bool short_host = n <= 16;
  const short_key k = short_host ? short_key_of(raw.data(), n) : short_key{};
  const uint64_t h = short_host ? short_key_hash(k, kSeed ^ n) : key_hash(raw);
  host_slot *s = &t.slots[h & (t.size - 1)];
  if (!(s->used && s->hash == h && s->len == n &&
        (short_host ? short_key_is(k, s->text(), n) : equals_lowered(raw, s->text())))) {
    if (raw.size() + 1 > s->capacity()) {
      // Room for a domain as long as the host as well: a slot grows once.
      const size_t need = 2 * raw.size() + 2;
      char *p = new (std::nothrow) char[need];
      if (!p) return nullptr;
      s->big.reset(p);
      s->room = static_cast<uint16_t>(need);
    }
    char *text = s->text();
    copy_lowered(text, raw);
    text[raw.size()] = '\0';
    s->hash = h;
    s->len = static_cast<uint16_t>(raw.size());
    s->domain_run = 0;
    s->domain_at = -1;
    s->used = true;
  }
  t.last = s;
  return s;
}

// The slot whose host text is host, or null.
host_slot *host_slot_holding(const char *host) {
  host_table &t = hosts;
  if (t.last && t.last->text() == host) return t.last;  // the usual case: this row's host
  if (!t.slots) return nullptr;
  const size_t n = strlen(host);
  if (n > FIELDS_CACHE_MAX_KEY) return nullptr;
  const uint64_t h = key_hash(std::string_view(host, n));
  host_slot *s = &t.slots[h & (t.size - 1)];
  return s->used && s->hash == h && s->len == n && memcmp(s->text(), host, n) == 0 ? s : nullptr;
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

// Stores a derived text in e, the row's entry of id, and returns it: a heap
// string is owned by the entry, a view (or "-" for nothing) is not copied;
// the table that hands out the row clears the entry before its next row.
// Without such an entry (null e) the text goes to this thread's scratch
// text of the field. Null only when memory runs out.
const char *save_in(Record *e, int id, derived_text value, uint16_t stamp) {
  const char *text = value.owned ? value.owned : value.view ? value.view : FIELDS_NONE;
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

// As save_in, e the row's entry of id.
const char *save(RECORD *row, const unsigned char *map, int id, derived_text value, uint16_t stamp) {
  return save_in(entry_of(row, map, id), id, value, stamp);
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

// What the scans of a URL need of one of its aligned sixteen-byte blocks,
// one bit per byte.
struct url_block {
  unsigned nul, colon, slash, at;
  unsigned end;  // NUL, "/", "?" or "#": where a host ends
};

// The block at p (16-byte aligned); callers mask off the bits of the bytes
// around the text (see text_block).
inline url_block url_block_at(const char *p) {
#if defined(__SSE2__)
  const __m128i v = text_block(p);
  const unsigned nul = byte_bits(v, '\0'), slash = byte_bits(v, '/');
  return {nul, byte_bits(v, ':'), slash, byte_bits(v, '@'), nul | slash | byte_bits(v, '?') | byte_bits(v, '#')};
#else
  url_block b{};
  for (unsigned i = 0; i < 16; ++i) {
    const char c = p[i];
    b.nul |= unsigned{c == '\0'} << i;
    b.colon |= unsigned{c == ':'} << i;
    b.slash |= unsigned{c == '/'} << i;
    b.at |= unsigned{c == '@'} << i;
    b.end |= unsigned{c == '\0' || c == '/' || c == '?' || c == '#'} << i;
  }
  return b;
#endif
}

// The first block of the text at s, without the bits of the bytes before s.
inline url_block first_block(const char *s, const char **base) {
  const unsigned skip = reinterpret_cast<uintptr_t>(s) & 15;
  *base = s - skip;
  url_block b = url_block_at(*base);
  const unsigned keep = 0xFFFFu << skip;
  b.nul &= keep, b.colon &= keep, b.slash &= keep, b.at &= keep, b.end &= keep;
  return b;
}

// The lowest set bit's mask minus one: the bits before it (all for 0).
inline unsigned before_lowest(unsigned m) { return m ? (m & -m) - 1 : ~0u; }

// The first "://" of url, or null; sixteen bytes at a step.
const char *scheme_end(const char *url) {
  const char *base;
  url_block b = first_block(url, &base);
  for (;; base += 16) {
    // The slashes of a "://" may be in the next block, which is read only
    // when this one has no NUL (nothing past it can match).
    url_block next{};
    if (!b.nul) next = url_block_at(base + 16);
    const uint32_t slashes = b.slash | next.slash << 16;
    const uint32_t hit = b.colon & (slashes >> 1) & (slashes >> 2) & before_lowest(b.nul);
    if (hit) return base + __builtin_ctz(hit);
    if (b.nul) return nullptr;
    b = next;
  }
}

// The host part of url as it stands (user info cut, not yet lowercased);
// no data() when url has no "://". It ends at the first "/", "?", "#" or
// the end, and starts after the last "@" before that.
std::string_view host_part(const char *url) {
  if (!url) return {};
  const char *p = scheme_end(url);
  if (!p) return {};
  const char *start = p + 3, *base;
  for (url_block b = first_block(start, &base);; b = url_block_at(base += 16)) {
    const unsigned at = b.at & before_lowest(b.end);
    if (at) start = base + 32 - __builtin_clz(at);
    if (b.end) return std::string_view(start, static_cast<size_t>(base + __builtin_ctz(b.end) - start));
  }
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

// The index of the last "." of host[1..hc], or 0 without one (hc when it
// is not positive).
long last_dot(std::string_view host, long hc) {
  if (hc <= 0) return hc;
  const void *p = memrchr(host.data() + 1, '.', static_cast<size_t>(hc));
  return p ? static_cast<const char *>(p) - host.data() : 0;
}

// The domain of host (port cut, NUL after it) by the lists: the matched
// entry's suffix plus one label, or the last two labels without a match.
// A part of host.
std::string_view domain_by_lists(std::string_view host, const DOMAIN_DEFINITION *dd) {
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
    hc = last_dot(host, hc);
    if (hc > 0) --hc;
  }
  free(listurl);
  hc = last_dot(host, hc);
  if (hc >= 0 && hc < n && host[static_cast<size_t>(hc)] == '.') ++hc;
  if (hc < 0) hc = 0;
  return host.substr(static_cast<size_t>(hc));
}

// As domain_by_lists, by the definition's regular expression (the whole
// host when it does not match). Throws bad_alloc.
std::string_view domain_by_regexp(std::string_view host, const DOMAIN_DEFINITION *dd) {
  if (!dd->regexp_set || dd->regexp_part < 0 || static_cast<size_t>(dd->regexp_part) > dd->regexp.re_nsub)
    return host;
  const size_t want = static_cast<size_t>(dd->regexp_part) + 1;
  std::array<regmatch_t, 32> small;
  std::vector<regmatch_t> big;
  regmatch_t *pm = small.data();
  if (want > small.size()) {
    big.resize(want);
    pm = big.data();
  }
  if (regexec(&dd->regexp, host.data(), want, pm, 0) == 0) {
    const regmatch_t &m = pm[want - 1];
    if (m.rm_so >= 0 && m.rm_eo > m.rm_so)
      return host.substr(static_cast<size_t>(m.rm_so), static_cast<size_t>(m.rm_eo - m.rm_so));
  }
  return host;
}

// The domain of host (n bytes, NUL after them) by the definition: a part of
// host, or with a port a part of this thread's copy of host without it
// (valid until the next call on this thread); no data() for none. Throws
// bad_alloc.
std::string_view domain_of(const char *host, size_t n, const DOMAIN_DEFINITION *dd) {
  if (n == 0) return std::string_view(host, 0);
  std::string_view h(host, n);
  // The port is cut from a copy: the caller's host (often the row's field
  // 32) keeps it. Most hosts have no ":" at all.
  if (memchr(host, ':', n)) {
    const size_t from = h.find(']');
    const size_t colon = h.find(':', from == std::string_view::npos ? 0 : from);
    if (colon != std::string_view::npos) {
      thread_local std::string cut;
      cut.assign(host, colon);
      h = cut;
    }
  }
  // A dotted IPv4 address begins with a digit; a name rarely does.
  in_addr a;
  if (!h.empty() && h[0] >= '0' && h[0] <= '9' && inet_pton(AF_INET, h.data(), &a) == 1) return h;
  switch (dd->type) {
    case DOMAIN_TYPE_LISTS: return domain_by_lists(h, dd);
    case DOMAIN_TYPE_REGEXP: return domain_by_regexp(h, dd);
    default: return {};
  }
}

computed computed_domain(const char *host, size_t n, const DOMAIN_DEFINITION *dd) {
  try {
    return computed{domain_of(host, n, dd)};
  } catch (const std::bad_alloc &) {
    return {};
  }
}

}  // namespace

char *extract_domain(const char *host, const DOMAIN_DEFINITION *dd) {
  if (!dd || !host) return nullptr;
  std::string_view d = computed_domain(host, strlen(host), dd).text;
  return d.data() ? heap_copy(d) : nullptr;
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
  const char *s = scheme_end(url);
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
  const size_t n = strlen(host);
  return cached(rep, &report_field_cache::domains, std::string_view(host, n),
                [&] { return computed_domain(host, n, dd); });
}

char *report_search_terms_of_url(REPORT *rep, const char *url) {
  if (!rep || !rep->searchterms || !url) return nullptr;
  return cached(rep, &report_field_cache::terms, url, [&] { return computed_heap(get_search_terms(url, rep)); });
}

void report_field_cache_set_size(REPORT *rep, size_t slots) {
  if (!rep) return;
  size_t n = 1;
  while (n < slots) n <<= 1;
  report_field_cache *c = cache_of(rep);
  if (!c) return;
  c->slots = n;
  c->id = report_field_cache::next_id();
  c->domains.slots.clear();
  c->terms.slots.clear();
}

void fields_set_thread_host_slots(size_t slots) {
  size_t n = 1;
  while (n < slots) n <<= 1;
  hosts.slots.reset();
  hosts.size = n;
  hosts.last = nullptr;
}

// --- Cached derivations on a row ---------------------------------------------

namespace {

// The host of url, the row's field 1, stored in e, the row's entry of 32,
// by save_in.
const char *host_save(Record *e, const char *url) {
  std::string_view part = host_part(url);
  derived_text h;
  if (part.data()) {
    host_slot *s = host_slot_of(part);
    h.view = s ? s->text() : host_view(part);
    if (!h.view) return nullptr;  // out of memory
  }
  return save_in(e, FIELD_URIHOST, h, 0);
}

// The row's host: its entry's, or derived from url (field 1, not null).
const char *row_host(RECORD *row, const unsigned char *map, const char *url) {
  Record *e = entry_of(row, map, FIELD_URIHOST);
  if (e && e->data) return static_cast<const char *>(e->data);
  return host_save(e, url);
}

}  // namespace

const char *get_host_save(RECORD *row, const unsigned char *map) {
  return host_save(entry_of(row, map, FIELD_URIHOST), text_of(row, map, FIELD_URI));
}

namespace {

// The domain of a row's host for run rep: from the host's slot when the run
// asked there before, else derived (through the run's cache when that
// means a list lookup or a regular expression) and kept in the slot for the
// run's next row of that host.
derived_text row_domain(REPORT *rep, const DOMAIN_DEFINITION *dd, const char *host) {
  host_slot *s = host_slot_holding(host);
  report_field_cache *c = s ? cache_of(rep) : nullptr;
  if (!c) {
    const std::string_view k(host);
    return cached_text(rep, &report_field_cache::domains, k, key_hash(k),
                       [&] { return computed_domain(host, k.size(), dd); });
  }
  char *text = s->text();
  if (s->domain_run == c->id) return {s->domain_at < 0 ? nullptr : text + s->domain_at, nullptr};
  // The last two labels cost less than a second table's lookup.
  const bool plain = dd->type == DOMAIN_TYPE_LISTS && !dd->list && !dd->global_list;
  std::string_view v;
  bool stable = false;  // v lives in the run's cache (else until the next derivation)
  if (plain) {
    v = computed_domain(text, s->len, dd).text;
  } else {
    derived_text d = cached_text(rep, &report_field_cache::domains, std::string_view(text, s->len), s->hash,
                                 [&] { return computed_domain(text, s->len, dd); });
    if (d.owned) return d;
    if (d.view) v = d.view, stable = true;
  }
  int16_t at = -1;
  if (v.data()) {
    const size_t n = v.size();
    // Usually v is the host's own tail (no port to cut): no need to compare.
    const char *end = text + s->len;
    if (n <= s->len && (v.data() + n == end || memcmp(end - n, v.data(), n) == 0)) {
      at = static_cast<int16_t>(s->len - n);  // the usual domain: the host's tail
    } else if (s->len + 1 + n + 1 <= s->capacity()) {
      at = static_cast<int16_t>(s->len + 1);
      memcpy(text + at, v.data(), n);
      text[at + n] = '\0';
    } else {
      return stable ? derived_text{v.data(), nullptr} : derived_text{nullptr, heap_copy(v)};
    }
  }
  s->domain_at = at;
  s->domain_run = c->id;
  return {at < 0 ? nullptr : text + at, nullptr};
}

}  // namespace

namespace {

// The domain of the row for rep, from url (its field 1; null: none), stored
// in e, the row's entry of 48, by save_in.
const char *domain_save(REPORT *rep, RECORD *row, const unsigned char *map, Record *e, const char *url) {
  const char *host = url ? row_host(row, map, url) : nullptr;
  const DOMAIN_DEFINITION *dd = rep && rep->def ? rep->def->domain : nullptr;
  derived_text d;
  if (dd && host) d = row_domain(rep, dd, host);
  return save_in(e, FIELD_URIDOMAIN, d, stamp_of(rep));
}

}  // namespace

const char *get_domain_save(REPORT *rep, RECORD *row, const unsigned char *map) {
  return domain_save(rep, row, map, entry_of(row, map, FIELD_URIDOMAIN), text_of(row, map, FIELD_URI));
}

const char *get_search_terms_save(REPORT *rep, RECORD *row, const unsigned char *map) {
  const char *url = text_of(row, map, FIELD_URI);
  derived_text t;
  if (rep && rep->searchterms && url) {
    std::string_view u(url);
    t = cached_text(rep, &report_field_cache::terms, u, key_hash(u),
                    [&] { return computed_heap(get_search_terms(url, rep)); });
  }
  return save(row, map, FIELD_SEARCHTERM, t, stamp_of(rep));
}

const char *get_data_words_save(REPORT *rep, RECORD *row, const unsigned char *map) {
  const char *text = event_text(row, map);
  return save(row, map, FIELD_DATAWORDS, text ? get_data_words(text, rep) : nullptr, 0);
}

const char *find_host(RECORD *row, const unsigned char *map) {
  const char *url = text_of(row, map, FIELD_URI);
  Record *e = entry_of(row, map, FIELD_URIHOST);
  if (e && e->data) return static_cast<const char *>(e->data);
  return url ? host_save(e, url) : nullptr;
}

const char *find_domain(REPORT *rep, RECORD *row, const unsigned char *map) {
  Record *e = entry_of(row, map, FIELD_URIDOMAIN);
  if (e && e->data && !foreign(e, rep)) return static_cast<const char *>(e->data);
  const char *url = text_of(row, map, FIELD_URI);
  return url ? domain_save(rep, row, map, e, url) : nullptr;
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
