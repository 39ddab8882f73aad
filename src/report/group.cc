#include "src/report/group.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "src/report/group_record.h"
#include "src/report/report_load.h"
#include "src/report/status.h"
#include "src/table/table.h"
#include "src/table/table_file.h"

// --- The code tables ----------------------------------------------------------

int group_get_output_type(int g) {
  if (g == FIELD_CATS || g == FIELD_ALL_CATS) return FIELD_CAT;
  if (g == FIELD_CATSNUM || g == FIELD_ALLCATSNUM) return FIELD_CATNUM;
  if (g >= FIELD_TIMEBUCKET_FIRST && g <= FIELD_TIMEBUCKET_LAST) return FIELD_DATE;
  return g;
}

int group_get_source_type(int g) {
  switch (g) {
    case FIELD_CATSNUM: return FIELD_CATS;
    case FIELD_ALLCATSNUM: return FIELD_ALL_CATS;
    case FIELD_URIHOST:
    case FIELD_PROTOCOL:
    case FIELD_URIDOMAIN:
    case FIELD_SEARCHTERM: return FIELD_URI;
    case FIELD_DATAWORDS: return FIELD_DATA;
    default: break;
  }
  if (g >= FIELD_TIMEBUCKET_FIRST && g <= FIELD_TIMEBUCKET_LAST) return FIELD_DATE;
  return g;
}

int group_get_input_type(int g) {
  if (g >= FIELD_TIMEBUCKET_FIRST && g <= FIELD_TIMEBUCKET_LAST) return FIELD_DATE;
  return g;
}

int group_get_analyze_mask(int f) {
  switch (f) {
    case 10: case 11: return GROUP_ANALYZE_ALLOWED;
    case 12: case 15: case 34: case 35: return GROUP_ANALYZE_PAGES;
    case 13: case 14: case 16: case 17: return GROUP_ANALYZE_ALLOWED | GROUP_ANALYZE_PAGES;
    case 52: return GROUP_ANALYZE_BROWSE;
    case 65: case 66: return GROUP_ANALYZE_BANDWIDTH;
    default: return 0;
  }
}

bool group_is_counter(int f) {
  return (f >= 9 && f <= 17) || (f >= 33 && f <= 35) || f == 52 || f == 65 || f == 66;
}

namespace {

// The entry of id, or null: record_find inlined for the per-row path.
inline const Record *entry(const RECORD *rec, const unsigned char *map, int id) {
  const Record *e = rec + map[id];
  return e->type == id ? e : nullptr;
}

// A small integer value (storage 1 to 4) read in place, else the general
// reader.
inline uint64_t small_value(const Record &r) {
  switch (StorageType(r.datatype)) {
    case STORT_INT8: return *static_cast<const uint8_t *>(r.data);
    case STORT_INT16: { uint16_t v; memcpy(&v, r.data, 2); return v; }
    case STORT_INT32: { uint32_t v; memcpy(&v, r.data, 4); return v; }
    default: return record_value_uint(r);
  }
}

template <class T>
T load(const void *p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
int three_way(T a, T b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

int cmp_zero(const void *, const void *) { return 0; }
int cmp_int8(const void *a, const void *b) { return three_way(load<uint8_t>(a), load<uint8_t>(b)); }
int cmp_int16(const void *a, const void *b) { return three_way(load<int16_t>(a), load<int16_t>(b)); }
int cmp_int32(const void *a, const void *b) { return three_way(load<uint32_t>(a), load<uint32_t>(b)); }
int cmp_int64(const void *a, const void *b) { return three_way(load<int64_t>(a), load<int64_t>(b)); }
int cmp_words(const unsigned char *a, const unsigned char *b) {
  for (int i = 0; i < 16; i += 4) {
    int c = three_way(load<uint32_t>(a + i), load<uint32_t>(b + i));
    if (c) return c;
  }
  return 0;
}
int cmp_int128(const void *a, const void *b) {
  return cmp_words(static_cast<const unsigned char *>(a), static_cast<const unsigned char *>(b));
}
int cmp_str(const void *a, const void *b) {
  int c = strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}
int cmp_ip(const void *a, const void *b) {
  const kx_ipaddr *x = static_cast<const kx_ipaddr *>(a), *y = static_cast<const kx_ipaddr *>(b);
  int c = three_way(x->family, y->family);
  if (c) return c;
  if (x->family == AF_INET) return three_way(static_cast<uint32_t>(x->addr.ip), static_cast<uint32_t>(y->addr.ip));
  return cmp_words(reinterpret_cast<const unsigned char *>(&x->addr), reinterpret_cast<const unsigned char *>(&y->addr));
}

// An integer hash in the manner of the old container library: the value
// spread by a multiply; the index mixes further.
unsigned long hash_int_value(uint32_t v) { return static_cast<unsigned long>(v) * 2654435761UL; }

unsigned long hash_int8(const void *k) { return load<uint8_t>(k); }
unsigned long hash_int16(const void *k) { return static_cast<unsigned long>(static_cast<uint16_t>(load<int16_t>(k))); }
unsigned long hash_int32(const void *k) { return hash_int_value(load<uint32_t>(k)); }
unsigned long hash_int64(const void *k) { return static_cast<unsigned long>(load<uint64_t>(k)); }
unsigned long hash_bytes16(const unsigned char *p) { return static_cast<unsigned long>(load<uint64_t>(p) ^ load<uint64_t>(p + 8)); }
unsigned long hash_int128(const void *k) { return hash_bytes16(static_cast<const unsigned char *>(k)); }
// Eight bytes at a time: user names and hosts are short, and this runs
// once per input row.
unsigned long hash_text(const unsigned char *p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  while (n >= 8) {
    h = (h ^ load<uint64_t>(p)) * 0xff51afd7ed558ccdULL;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  // The last bytes gathered in a register (a short copy through memory
  // would stall the load that follows it).
  uint64_t tail = 0;
  for (size_t i = 0; i < n; ++i) tail |= static_cast<uint64_t>(p[i]) << (8 * i);
  h = (h ^ tail) * 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 32;
  return static_cast<unsigned long>(h);
}
unsigned long hash_str(const void *k) {
  const char *p = static_cast<const char *>(k);
  return hash_text(reinterpret_cast<const unsigned char *>(p), strlen(p));
}
unsigned long hash_ip(const void *k) {
  const kx_ipaddr *ip = static_cast<const kx_ipaddr *>(k);
  if (ip->family == AF_INET) return hash_int_value(static_cast<uint32_t>(ip->addr.ip));
  return hash_bytes16(reinterpret_cast<const unsigned char *>(&ip->addr));
}

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

group_hash_fn group_get_hash_function(int datatype) {
  unsigned st = StorageType(datatype);
  switch (st) {
    case STORT_INT8: return hash_int8;
    case STORT_INT16: return hash_int16;
    case STORT_INT32: return hash_int32;
    case STORT_INT64: return hash_int64;
    case STORT_INT128: return hash_int128;
    case STORT_STR: return hash_str;
    case STORT_IPADDR: return hash_ip;
    default: return hash_int32;
  }
}

group_compare_fn group_get_compare_func(int datatype) {
  switch (StorageType(datatype)) {
    case STORT_INT8: return cmp_int8;
    case STORT_INT16: return cmp_int16;
    case STORT_INT32: return cmp_int32;
    case STORT_INT64: return cmp_int64;
    case STORT_INT128: return cmp_int128;
    case STORT_STR: return cmp_str;
    case STORT_IPADDR: return cmp_ip;
    default: return cmp_zero;
  }
}

size_t group_value_size(int datatype, const void *data) {
  switch (StorageType(datatype)) {
    case STORT_INT8: return 1;
    case STORT_INT16: return 2;
    case STORT_INT32: return 4;
    case STORT_INT64: return 8;
    case STORT_INT128: return 16;
    case STORT_STR: return data ? strlen(static_cast<const char *>(data)) + 1 : 0;
    case STORT_IPADDR: return sizeof(kx_ipaddr);
    default: return 0;
  }
}

// --- The index beside the tree ---------------------------------------------------

namespace {

enum : uint8_t {
  OP_REQUESTS, OP_ALLOWED, OP_DENIED, OP_PAGES, OP_PAGES_ALLOWED, OP_PAGES_DENIED,
  OP_FILES, OP_FILES_ALLOWED, OP_FILES_DENIED, OP_INPUT, OP_OUTPUT, OP_BROWSE, OP_NONE,
};

uint8_t counter_op(int f) {
  switch (f) {
    case 9: case 33: return OP_REQUESTS;
    case 10: return OP_ALLOWED;
    case 11: return OP_DENIED;
    case 12: case 34: return OP_PAGES;
    case 13: return OP_PAGES_ALLOWED;
    case 14: return OP_PAGES_DENIED;
    case 15: case 35: return OP_FILES;
    case 16: return OP_FILES_ALLOWED;
    case 17: return OP_FILES_DENIED;
    case 65: return OP_INPUT;
    case 66: return OP_OUTPUT;
    case 52: return OP_BROWSE;
    default: return OP_NONE;
  }
}

// What a probe of the index needs of a key: its hash and, for a text, its
// length and first bytes (taken in the same pass).
struct key_probe {
  uint64_t hash;
  size_t len;
  uint64_t head[2];
};

bool text_keys(const GROUP_TREE *gl) { return gl->hash == hash_str; }

// The first 16 bytes of a text of n bytes, zero-padded, read as words in
// registers and never past the text's NUL (a copy through memory would
// stall the loads of the comparison that follows).
void text_head(const char *p, size_t n, uint64_t head[2]) {
  if (n >= 16) {
    head[0] = load<uint64_t>(p);
    head[1] = load<uint64_t>(p + 8);
  } else if (n >= 8) {
    head[0] = load<uint64_t>(p);
    head[1] = n == 8 ? 0 : load<uint64_t>(p + n - 8) >> (8 * (16 - n));
  } else if (n >= 4) {
    // Two overlapping words: the shared bytes are the same in both.
    const uint64_t a = load<uint32_t>(p), b = load<uint32_t>(p + n - 4);
    head[0] = a | (b << (8 * (n - 4)));
    head[1] = 0;
  } else {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    head[0] = v;
    head[1] = 0;
  }
}

key_probe probe_of(const GROUP_TREE *gl, const void *key) {
  key_probe k{};
  if (text_keys(gl)) {
    const char *p = static_cast<const char *>(key);
    k.len = strlen(p);
    text_head(p, k.len, k.head);
    // A text of up to 16 bytes is hashed from its head words alone.
    k.hash = k.len <= 16 ? mix((k.head[0] ^ k.len) * 0x9E3779B97F4A7C15ULL ^ k.head[1] * 0xc4ceb9fe1a85ec53ULL)
                         : mix(hash_text(reinterpret_cast<const unsigned char *>(p), k.len));
  } else {
    k.hash = mix(gl->hash(key));
  }
  return k;
}

GROUP_TREE::slot slot_of(GROUP_INDEX *item, const key_probe &k) {
  return GROUP_TREE::slot{static_cast<uint32_t>(k.hash >> 32), static_cast<uint32_t>(k.len), item};
}

// Whether a record's text key (zero-padded to its eight-byte size) equals
// the probed text of the same length.
bool same_text(const GROUP_INDEX *item, const void *key, const key_probe &k) {
  const char *kept = static_cast<const char *>(group_key_of(item));
  if (k.len < 8) return load<uint64_t>(kept) == k.head[0];
  if (k.len < 16) return ((load<uint64_t>(kept) ^ k.head[0]) | (load<uint64_t>(kept + 8) ^ k.head[1])) == 0;
  return memcmp(kept, key, k.len) == 0;
}

GROUP_INDEX *index_find(const GROUP_TREE *gl, const void *key, const key_probe &k) {
  if (gl->slots.empty()) return nullptr;
  const size_t mask = gl->slots.size() - 1;
  const GROUP_TREE::slot *slots = gl->slots.data();
  const uint32_t tag = static_cast<uint32_t>(k.hash >> 32);
  if (text_keys(gl)) {
    // Text keys (users, hosts, domains) are the common case: a short one is
    // compared as the words already read.
    for (size_t i = k.hash & mask;; i = (i + 1) & mask) {
      const GROUP_TREE::slot &s = slots[i];
      if (!s.item) return nullptr;
      if (s.tag == tag && s.len == k.len && same_text(s.item, key, k)) return s.item;
    }
  }
  for (size_t i = k.hash & mask;; i = (i + 1) & mask) {
    const GROUP_TREE::slot &s = slots[i];
    if (!s.item) return nullptr;
    if (s.tag == tag && gl->compare(group_key_of(s.item), key) == 0) return s.item;
  }
}

void index_put(std::vector<GROUP_TREE::slot> &slots, const GROUP_TREE::slot &in) {
  const size_t mask = slots.size() - 1;
  size_t i = in.item->hash & mask;
  while (slots[i].item) i = (i + 1) & mask;
  slots[i] = in;
}

// A thread's emptied index of its last tree: the second stage makes a tree
// per detail table, and a fresh table each time would be zeroed and paged
// in anew. Kept up to this many slots.
constexpr size_t kSpareSlotsMax = size_t{1} << 16;
thread_local std::vector<GROUP_TREE::slot> spare_slots;

// Empties the used slots of an index in place. Clearing from each key's
// home slot up to the next empty one reaches every used slot: the first
// clearing that enters a key's run finds it whole and goes past the key.
void index_clear(std::vector<GROUP_TREE::slot> &slots, const std::vector<GROUP_INDEX *> &all) {
  if (slots.empty()) return;
  if (all.size() * 4 >= slots.size()) {
    std::fill(slots.begin(), slots.end(), GROUP_TREE::slot{});
    return;
  }
  const size_t mask = slots.size() - 1;
  for (const GROUP_INDEX *g : all)
    for (size_t i = g->hash & mask; slots[i].item; i = (i + 1) & mask) slots[i] = GROUP_TREE::slot{};
}

// Keeps at most half of the slots used. Runs when a group is added (which
// allocates anyway), never per row. Throws std::bad_alloc.
void index_reserve(GROUP_TREE *gl, size_t groups) {
  if (groups * 2 <= gl->slots.size()) return;
  if (gl->slots.empty() && !spare_slots.empty()) {
    gl->slots.swap(spare_slots);
    if (groups * 2 <= gl->slots.size()) return;
  }
  size_t n = gl->slots.empty() ? 64 : gl->slots.size();
  while (groups * 2 > n) n *= 2;
  std::vector<GROUP_TREE::slot> fresh(n, GROUP_TREE::slot{});
  for (const GROUP_TREE::slot &s : gl->slots)
    if (s.item) index_put(fresh, s);
  gl->slots.swap(fresh);
}

// Files a new record under its known probe. -1, or 0 when memory runs out.
int index_add(GROUP_TREE *gl, GROUP_INDEX *item, const key_probe &k) {
  try {
    index_reserve(gl, gl->all.size() + 1);
    gl->all.push_back(item);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  item->hash = k.hash;
  index_put(gl->slots, slot_of(item, k));
  gl->record_count++;
  return -1;
}

// Gives the tree's index back to the thread, emptied.
void index_release(GROUP_TREE *gl) {
  if (gl->slots.empty() || gl->slots.size() > kSpareSlotsMax || gl->slots.size() <= spare_slots.size()) return;
  index_clear(gl->slots, gl->all);
  spare_slots.swap(gl->slots);
}

}  // namespace

GROUP_INDEX *group_lookup(GROUP_TREE *gl, const void *data) {
  if (!gl || !data) return nullptr;
  if (gl->topk) return static_cast<GROUP_INDEX *>(topk_list_lookup(gl->topk, data));
  return index_find(gl, data, probe_of(gl, data));
}

int group_add(GROUP_TREE *gl, GROUP_INDEX *item) {
  if (!gl || !item || !item->key) return 0;
  const key_probe k = probe_of(gl, item->key);
  item->hash = k.hash;
  if (gl->topk) {
    int r = topk_list_add(gl->topk, item->key, item);
    if (r == -1) gl->record_count++;
    return r;
  }
  if (index_find(gl, item->key, k)) return 0;
  return index_add(gl, item, k);
}

// --- Set-up ---------------------------------------------------------------------

namespace {

bool is_category_code(int g) {
  return g == FIELD_CATS || g == FIELD_ALL_CATS || g == FIELD_CATSNUM || g == FIELD_ALLCATSNUM;
}

uint8_t hint_of(const REPORT *rep, int id) {
  const Record *hints = rep->type_hints ? rep->type_hints : type_hints;
  for (const Record *h = hints; h->type; ++h)
    if (h->type == id) return h->datatype;
  return 0;
}

}  // namespace

GROUP_TREE *group_initialize(REPORT *rep, int grp_pos, int max_groups, RECORD *rec, unsigned char *map) {
  if (!rep || !rep->def || !rep->def->group || grp_pos < 0) return nullptr;
  REPORT_GROUP **groups = rep->def->group;
  for (int i = 0; i < grp_pos; ++i)
    if (!groups[i]) return nullptr;
  REPORT_GROUP *g = groups[grp_pos];
  if (!g || g->type != GROUP_TYPE_SUMMARY) return nullptr;

  GROUP_TREE *gl = new (std::nothrow) GROUP_TREE;
  if (!gl) return nullptr;
  try {
    gl->rep = rep;
    gl->group_level = grp_pos;
    gl->max_groups = max_groups;
    gl->save_details = groups[grp_pos + 1] ? 1 : 0;
    gl->group_type = g->groupby;
    gl->output_code = group_get_output_type(g->groupby);
    gl->source_type = group_get_source_type(g->groupby);

    if (g->groupby >= FIELD_TIMEBUCKET_FIRST && g->groupby <= FIELD_TIMEBUCKET_LAST) {
      // The run's own zone: another report may run in another zone at once.
      gl->start_time = static_cast<int32_t>(group_date_start_time(rep->zone, rep->start, g->groupby));
      gl->next_time = static_cast<int32_t>(group_date_next_time(rep->zone, gl->start_time, g->groupby));
      gl->bucket_length = group_date_next_time(rep->zone, 0, g->groupby);
    }

    if (gl->save_details) {
      int ignored = 0;
      gl->datarec = group_init_spill_record(rep, grp_pos + 1, rec, map, &ignored);
      if (!gl->datarec) {
        group_terminate(gl);
        return nullptr;
      }
    }

    gl->fields.push_back(static_cast<unsigned char>(gl->output_code));
    if (gl->save_details) gl->fields.push_back(FIELD_SUBREPORTFILENAME);
    for (const unsigned char *s = g->summary; s && *s; ++s) {
      gl->fields.push_back(*s);
      gl->analyze_mask |= group_get_analyze_mask(*s);
    }
    gl->fields.push_back(0);
    for (size_t i = 1; gl->fields[i]; ++i) {
      int f = gl->fields[i];
      if (!group_is_counter(f)) continue;
      if (f == FIELD_ONLINETIME && gl->browse_index < 0) gl->browse_index = gl->counter_count;
      gl->ops.push_back({counter_op(f), static_cast<uint8_t>(gl->counter_count)});
      gl->counter_count++;
    }

    if (is_category_code(g->groupby)) {
      gl->group_datatype = 0x83;
    } else {
      const Record *e = rec && map ? record_find(rec, map, gl->output_code) : nullptr;
      gl->group_datatype = e && e->datatype ? e->datatype : hint_of(rep, gl->output_code);
    }
    gl->compare = group_get_compare_func(gl->group_datatype);
    gl->hash = group_get_hash_function(gl->group_datatype);
    if (is_category_code(g->groupby)) {
      gl->catset = cat_new();
      if (!gl->catset) throw std::bad_alloc();
    }

    if (g->topk) {
      int bound = rep->settings && rep->settings->topk_buffer_size > 0 ? rep->settings->topk_buffer_size : g->topk;
      gl->topk = topk_list_init(bound, gl->hash, gl->compare, group_destroy_item);
      if (!gl->topk) throw std::bad_alloc();
      return gl;  // a top-k level never spills
    }
    gl->spill = group_init_spill_record(rep, grp_pos, rec, map, &gl->spill_analyze_mask);
    if (!gl->spill) {
      group_terminate(gl);
      return nullptr;
    }
  } catch (const std::bad_alloc &) {
    group_terminate(gl);
    return nullptr;
  }
  return gl;
}

// --- Record analysis ---------------------------------------------------------------

int group_classify_url(REPORT *rep, const char *url) {
  if (!url) return 0;
  size_t n = strcspn(url, "?#");
  if (n == 0) return 0;
  if (url[n - 1] == '/') return 1;
  // The last "/" before the end: the second slash after "scheme:" means a
  // URL without a path (a page).
  const char *slash = nullptr;
  for (size_t i = n; i-- > 0;)
    if (url[i] == '/') {
      slash = url + i;
      break;
    }
  if (slash && slash - url >= 2 && slash[-1] == '/' && slash[-2] == ':') return 1;
  const char *dot = nullptr;
  for (size_t i = n; i-- > 0;) {
    if (url[i] == '/') break;
    if (url[i] == '.') {
      dot = url + i;
      break;
    }
  }
  if (!dot) return 1;
  size_t len = static_cast<size_t>(url + n - (dot + 1));
  char ext[128];
  if (len >= sizeof ext) return 2;  // longer than any page extension
  memcpy(ext, dot + 1, len);
  ext[len] = '\0';
  return report_is_html_extension(rep, ext) ? 1 : 2;
}

void group_analyze_record(RECORD *rec, unsigned char *map, GROUP_ANALYZE *out, GROUP_TREE *, REPORT *rep,
                          int mask) {
  *out = GROUP_ANALYZE{};
  out->request_count = 1;
  if (mask & GROUP_ANALYZE_BROWSE) {
    const Record *e = entry(rec, map, FIELD_DATE);
    if (e && e->data) {
      out->browse_start = static_cast<uint32_t>(small_value(*e));
      int btime = rep && rep->def ? rep->def->btime : 0;
      out->browse_end = out->browse_start + static_cast<uint32_t>(btime);
    }
  }
  if (mask & GROUP_ANALYZE_BANDWIDTH) {
    const Record *t = entry(rec, map, FIELD_TYPE);
    const Record *d = entry(rec, map, FIELD_DATA);
    if (t && t->data && d && d->data && small_value(*t) == 1)
      get_bandwidth_stats(record_value_text(*d), &out->bandwidth);
  }
  if (!(mask & (GROUP_ANALYZE_ALLOWED | GROUP_ANALYZE_PAGES))) return;
  const Record *props = entry(rec, map, FIELD_REQUEST_PROPS);
  if (props && props->data) {
    unsigned bits = static_cast<unsigned>(small_value(*props));
    bool denied = bits & GROUP_PROP_DENIED;
    out->request_allowed = !denied;
    out->request_denied = denied;
    if (bits & GROUP_PROP_PAGE) {
      out->pages_count = 1;
      out->pages_allowed = !denied;
      out->pages_denied = denied;
    }
    if (bits & GROUP_PROP_FILE) {
      out->files_count = 1;
      out->files_allowed = !denied;
      out->files_denied = denied;
    }
    return;
  }
  if (mask & GROUP_ANALYZE_ALLOWED) {
    const Record *e = entry(rec, map, FIELD_DENIED_FLAG);
    if (e && e->data) {
      bool denied = small_value(*e) != 0;
      out->request_denied = denied;
      out->request_allowed = !denied;
    }
  }
  if (mask & GROUP_ANALYZE_PAGES) {
    const Record *e = entry(rec, map, FIELD_URI);
    int kind = e && e->data ? group_classify_url(rep, record_value_text(*e)) : 0;
    if (kind == 1) {
      out->pages_count = 1;
      out->pages_allowed = out->request_allowed;
      out->pages_denied = out->request_denied;
    } else if (kind == 2) {
      out->files_count = 1;
      out->files_allowed = out->request_allowed;
      out->files_denied = out->request_denied;
    }
  }
}

namespace {

// Adds one analysis to the counters c of item in gl.
void add_counters(const GROUP_TREE *gl, GROUP_INDEX *item, int64_t *c, const GROUP_ANALYZE *a) {
  // What each kind of counter adds, by OP_*: one indexed add per counter.
  const int64_t add[OP_NONE] = {a->request_count, a->request_allowed, a->request_denied, a->pages_count,
                                a->pages_allowed, a->pages_denied, a->files_count, a->files_allowed,
                                a->files_denied, a->bandwidth.input_bytes, a->bandwidth.output_bytes, 0};
  for (const group_counter_op &op : gl->ops) {
    if (op.what < OP_BROWSE) {
      c[op.index] += add[op.what];
    } else if (op.what == OP_BROWSE) {
      if (item->browse_end < a->browse_start) {
        c[op.index] += item->browse_end - item->browse_start;
        item->browse_start = a->browse_start;
      }
      item->browse_end = a->browse_end;
    }
  }
}

}  // namespace

void group_increase_summaries(GROUP_INDEX *item, const GROUP_ANALYZE *a) {
  add_counters(item->tree, item, item->counters, a);
}

// --- Counting one record ------------------------------------------------------------

namespace {

// The key of a row in the level's storage form. Values from rows sit at
// any offset and a window may mix file formats, so integers are copied
// into the tree's scratch and an address held as a 32-bit value becomes a
// kx_ipaddr; a value of another storage counts as no data.
struct key_scratch {
  uint64_t num[2];
  kx_ipaddr ip;
};

const void *default_key(int datatype, key_scratch *s) {
  switch (StorageType(datatype)) {
    case STORT_STR: return FIELDS_NONE;
    case STORT_IPADDR: kxnet_defaultip(&s->ip); return &s->ip;
    default: s->num[0] = s->num[1] = 0; return s->num;
  }
}

const void *key_from_entry(const Record *e, int datatype, key_scratch *s) {
  unsigned want = StorageType(datatype), have = StorageType(e->datatype);
  switch (want) {
    case STORT_STR:
      return have == STORT_STR ? e->data : nullptr;
    case STORT_IPADDR:
      if (have == STORT_IPADDR) return e->data;
      if (record_value_address(*e, &s->ip)) return &s->ip;
      return nullptr;
    case STORT_INT128:
      if (have != STORT_INT128) return nullptr;
      memcpy(s->num, e->data, 16);
      return s->num;
    case STORT_INT8: case STORT_INT16: case STORT_INT32: case STORT_INT64: {
      if (have == STORT_STR || have == STORT_IPADDR || have == STORT_INT128) return nullptr;
      uint64_t v = small_value(*e);
      s->num[0] = 0;
      memcpy(s->num, &v, record_fixed_size(want));
      return s->num;
    }
    default:
      return nullptr;
  }
}

void undo_group(GROUP_INDEX *item) { group_destroy_item(item); }

}  // namespace

int group_add_record(GROUP_TREE *gl, RECORD *rec, unsigned char *map, int index_fd, TABLE *input, REPORT *rep,
                     TABLE *output) {
  if (!gl || !rec || !map || !rep) return 1;
  if (gl->source_type == FIELD_CATS || gl->source_type == FIELD_ALL_CATS)
    return group_add_category_record(gl, rec, map, index_fd, input, rep);
  if (gl->group_type >= FIELD_TIMEBUCKET_FIRST && gl->group_type <= FIELD_TIMEBUCKET_LAST)
    return group_add_time_record(gl, rec, map, index_fd, input, rep, output);

  key_scratch scratch;
  const int code = gl->output_code;
  const Record *e = entry(rec, map, code);
  bool key_is_code = e && e->data;
  if (!key_is_code) {
    e = entry(rec, map, gl->source_type);
    if (e && !e->data) e = nullptr;
  }
  const void *key = nullptr;
  if (!e) {
    if (code == FIELD_SEARCHTERM || code == FIELD_DATAWORDS) return 0;
    key = default_key(gl->group_datatype, &scratch);
  } else {
    switch (code) {
      case FIELD_URIHOST: key = find_host(rec, map); break;
      case FIELD_URIDOMAIN: key = find_domain(rep, rec, map); break;
      case FIELD_PROTOCOL:
        if (key_is_code) {
          key = record_value_text(*e);
        } else {
          key = find_derived(rep, rec, map, FIELD_PROTOCOL);
        }
        break;
      case FIELD_SEARCHTERM:
      case FIELD_DATAWORDS: {
        const char *v = code == FIELD_SEARCHTERM ? find_search_terms(rep, rec, map) : find_data_words(rep, rec, map);
        if (!v || !*v || strcmp(v, FIELDS_NONE) == 0) return 0;
        key = v;
        break;
      }
      default: key = key_from_entry(e, gl->group_datatype, &scratch); break;
    }
    if (!key) key = default_key(gl->group_datatype, &scratch);
  }

  // A category outside the run's display order is counted under the
  // default: it is looked up there, as its group is made there.
  uint32_t shown;
  if (StorageType(gl->group_datatype) == STORT_INT32 && (code == FIELD_CAT || code == FIELD_CATNUM)) {
    memcpy(&shown, key, 4);
    shown = group_display_category(rep, shown);
    key = &shown;
  }

  // The key is hashed once: the probe serves the lookup and the insertion.
  const key_probe k = gl->topk ? key_probe{} : probe_of(gl, key);
  GROUP_INDEX *item = gl->topk ? group_lookup(gl, key) : index_find(gl, key, k);
  if (!item) {
    if (!gl->topk && gl->record_count >= gl->max_groups) return 2;
    item = group_make_summary(gl, input, GROUP_DETAIL_BUFFER_SIZE, rep, key, index_fd);
    if (!item) {
      if (!rep->error) status_add_error(rep, "%s", "Error 10312: (group) Unable to make summary group record");
      return 1;
    }
    int r = gl->topk ? group_add(gl, item) : index_add(gl, item, k);
    if (r == 0) {
      undo_group(item);
      status_add_error(rep, "%s", "Error 10306: (group) Unable to add summary record to group list");
      return 1;
    }
    if (r == 1) {
      // Turned down by the top-k list: its detail table goes with it.
      undo_group(item);
      return 0;
    }
  }
  // The counters follow the key in the record's block; they are read only
  // after the row's analysis and detail values, and fetched meanwhile.
  const size_t key_size = gl->topk || !text_keys(gl) ? group_value_size(gl->group_datatype, key) : k.len + 1;
  int64_t *counters = reinterpret_cast<int64_t *>(reinterpret_cast<char *>(item) + GROUP_KEY_OFFSET +
                                                  ((key_size + 7) & ~static_cast<size_t>(7)));
  __builtin_prefetch(counters, 1);
  if (gl->counter_count > 1) __builtin_prefetch(counters + gl->counter_count - 1, 1);
  // One analysis serves the counters and the detail row's request bits.
  GROUP_ANALYZE a;
  group_analyze_record(rec, map, &a, gl, rep, group_record_mask(gl));
  if (gl->save_details) {
    if (!save_temp_data(rec, map, rep, gl, item, &a)) return 1;
    rep->recs_todo++;
  }
  add_counters(gl, item, counters, &a);
  return 0;
}

// --- Output --------------------------------------------------------------------------

TABLE *group_open_output(GROUP_TREE *gl, REPORT *rep, const char *file_name) {
  if (!gl || !file_name) return nullptr;
  size_t n = gl->fields.size();  // the terminator included
  if (!gl->output_layout) {
    gl->output_layout = static_cast<RECORD *>(calloc(n, sizeof(RECORD)));
    if (!gl->output_layout) return nullptr;
    for (size_t i = 0; i + 1 < n; ++i) {
      int f = gl->fields[i];
      gl->output_layout[i].type = static_cast<uint8_t>(f);
      gl->output_layout[i].datatype = i == 0                       ? static_cast<uint8_t>(gl->group_datatype)
                                      : group_is_counter(f)        ? 0x04
                                      : f == FIELD_SUBREPORTFILENAME ? 0x16
                                                                   : 0;
    }
  }
  return table_open(TABLE_WRITE, rep, file_name, gl->output_layout, 0, TABLE_WRITE_BUFFER_SIZE);
}

namespace {

// Closes the open browse window of the record into its counter.
void close_browse(GROUP_INDEX *item) {
  const GROUP_TREE *gl = item->tree;
  if (gl->browse_index < 0) return;
  item->counters[gl->browse_index] += item->browse_end - item->browse_start;
  item->browse_start = item->browse_end;
}

// -1 written (or skipped), 0 failed.
int write_one(GROUP_TREE *gl, TABLE *out, GROUP_INDEX *item, int64_t *written, int64_t *recs) {
  close_browse(item);
  bool any = false;
  for (int i = 0; i < gl->counter_count; ++i)
    if (item->counters[i]) {
      any = true;
      break;
    }
  bool link = gl->fields.size() > 2 && gl->fields[1] == FIELD_SUBREPORTFILENAME;
  if (!any && !link) return -1;
  int64_t n = 0;
  if (!table_write_record(out, item->rec, &n)) return 0;
  if (any) {
    *written += n;
    ++*recs;
  }
  return -1;
}

}  // namespace

namespace {

// An entry of the write-time sort: the key's first eight bytes (texts) or
// its value (integers) as an unsigned number in the key's order.
struct ordered {
  uint64_t prefix;
  uint32_t at;  // the record's place in the tree's insertion order
};

// The key's order as an unsigned number, for integer keys whose whole value
// fits in one (false for other kinds).
bool integer_prefix(int datatype, const void *key, uint64_t *out) {
  switch (StorageType(datatype)) {
    case STORT_INT8: *out = load<uint8_t>(key); return true;
    case STORT_INT16: *out = static_cast<uint16_t>(load<int16_t>(key)) ^ 0x8000u; return true;
    case STORT_INT32: *out = load<uint32_t>(key); return true;
    case STORT_INT64: *out = static_cast<uint64_t>(load<int64_t>(key)) ^ (1ULL << 63); return true;
    default: return false;
  }
}

// Orders v by prefix: a byte-wise radix sort, passes whose byte is the same
// in every entry skipped; small lists by insertion. Keys are distinct, so
// the order of equal prefixes is settled by the caller.
void sort_by_prefix(std::vector<ordered> &v, std::vector<ordered> &tmp) {
  const size_t n = v.size();
  if (n < 64) {
    for (size_t i = 1; i < n; ++i) {
      ordered x = v[i];
      size_t j = i;
      for (; j > 0 && v[j - 1].prefix > x.prefix; --j) v[j] = v[j - 1];
      v[j] = x;
    }
    return;
  }
  static thread_local uint32_t counts[8][256];
  memset(counts, 0, sizeof counts);
  for (const ordered &e : v)
    for (int b = 0; b < 8; ++b) ++counts[b][(e.prefix >> (8 * b)) & 0xFF];
  tmp.resize(n);
  ordered *from = v.data(), *to = tmp.data();
  for (int b = 0; b < 8; ++b) {
    uint32_t *c = counts[b];
    if (c[(from[0].prefix >> (8 * b)) & 0xFF] == n) continue;
    uint32_t at = 0;
    for (int i = 0; i < 256; ++i) {
      uint32_t k = c[i];
      c[i] = at;
      at += k;
    }
    for (size_t i = 0; i < n; ++i) to[c[(from[i].prefix >> (8 * b)) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != v.data()) memcpy(v.data(), from, n * sizeof(ordered));
}

}  // namespace

int group_link_tree(GROUP_TREE *gl) {
  if (!gl) return 0;
  if (gl->topk || (gl->group_type >= FIELD_TIMEBUCKET_FIRST && gl->group_type <= FIELD_TIMEBUCKET_LAST)) return -1;
  // The tree plain insertion builds is the one whose keys are in search
  // order and whose every subtree has its earliest-inserted record at the
  // top: built here from the sorted records with a stack, in linear time
  // after the sort.
  // Texts and integers are sorted by a number in the key's order (a text's
  // first eight bytes, an integer's value), so the sort reads neither the
  // record nor the key; only texts equal in those bytes compare the rest.
  // The vectors are kept per thread: a report writes many levels.
  // An entry names its record by its place in `all` (the insertion order),
  // so neither the sort nor the linking reads a record's own fields; a
  // key is read where it lies, zero-padded to its eight-byte size.
  static thread_local std::vector<ordered> entries, tmp;
  static thread_local std::vector<uint32_t> stack;
  const std::vector<GROUP_INDEX *> &all = gl->all;
  const size_t n = all.size();
  try {
    entries.clear();
    entries.reserve(n);
    stack.clear();
    stack.reserve(n);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  const bool texts = text_keys(gl);
  uint64_t probe = 0;
  const bool integers = !texts && n && integer_prefix(gl->group_datatype, group_key_of(all[0]), &probe);
  for (size_t i = 0; i < n; ++i) {
    const void *key = group_key_of(all[i]);
    uint64_t prefix = 0;
    if (texts) prefix = __builtin_bswap64(load<uint64_t>(key));
    else if (integers) integer_prefix(gl->group_datatype, key, &prefix);
    entries.push_back({prefix, static_cast<uint32_t>(i)});
  }
  auto key_at = [&all](const ordered &e) { return static_cast<const char *>(group_key_of(all[e.at])); };
  if (texts || integers) {
    try {
      sort_by_prefix(entries, tmp);
    } catch (const std::bad_alloc &) {
      return 0;
    }
    // Texts of eight or more bytes equal in the first eight: by the rest.
    for (size_t i = 0; texts && i < n;) {
      size_t j = i + 1;
      while (j < n && entries[j].prefix == entries[i].prefix) ++j;
      if (j - i > 1 && (entries[i].prefix & 0xFF))
        std::sort(entries.begin() + i, entries.begin() + j,
                  [&key_at](const ordered &a, const ordered &b) { return strcmp(key_at(a) + 8, key_at(b) + 8) < 0; });
      i = j;
    }
  } else {
    const group_compare_fn cmp = gl->compare;
    std::sort(entries.begin(), entries.end(),
              [cmp, &key_at](const ordered &a, const ordered &b) { return cmp(key_at(a), key_at(b)) < 0; });
  }
  for (const ordered &e : entries) {
    GROUP_INDEX *x = all[e.at];
    GROUP_INDEX *last = nullptr;
    while (!stack.empty() && stack.back() > e.at) {
      last = all[stack.back()];
      stack.pop_back();
    }
    x->low = last;
    x->high = nullptr;
    if (!stack.empty()) all[stack.back()]->high = x;
    stack.push_back(e.at);
  }
  gl->trunk = stack.empty() ? nullptr : all[stack.front()];
  return -1;
}

int group_write(REPORT *rep, int64_t *written, int64_t *written_recs) {
  int64_t bytes = 0, recs = 0;
  if (written) *written = 0;
  if (written_recs) *written_recs = 0;
  if (!rep || !rep->groups) return 0;
  GROUP_TREE *gl = rep->groups;
  TABLE *out = rep->output;
  if (gl->topk) {
    int n = topk_list_num_counters(gl->topk);
    for (int i = 0; i < n; ++i) {
      int64_t count = 0;
      GROUP_INDEX *item = static_cast<GROUP_INDEX *>(topk_list_get_counter(gl->topk, i, &count));
      if (!item) break;
      if (!group_write_queue_entry(rep, gl, item, rep->index_fd)) return 0;
      if (!write_one(gl, out, item, &bytes, &recs)) return 0;
    }
  } else {
    // Node, then its smaller keys, then its greater keys; an explicit stack,
    // since keys that arrived sorted make the tree a list (kept per thread,
    // as a report writes many levels).
    static thread_local std::vector<GROUP_INDEX *> todo;
    try {
      todo.clear();
      todo.reserve(gl->all.size() + 1);
    } catch (const std::bad_alloc &) {
      return 0;
    }
    if (!group_link_tree(gl)) return 0;
    if (gl->trunk) todo.push_back(gl->trunk);
    while (!todo.empty()) {
      GROUP_INDEX *item = todo.back();
      todo.pop_back();
      if (!write_one(gl, out, item, &bytes, &recs)) return 0;
      if (item->high) todo.push_back(item->high);
      if (item->low) todo.push_back(item->low);
    }
  }
  if (written) *written = bytes;
  if (written_recs) *written_recs = recs;
  return -1;
}

namespace {

bool free_item(GROUP_INDEX *item) {
  bool ok = true;
  if (item->tbl) ok = table_close(item->tbl) != 0;
  free(item->detail_file);
  const bool pooled = item->pooled;
  item->~GROUP_INDEX();
  if (!pooled) free(item);  // the block of the record, its counters, row, key and link
  return ok;
}

}  // namespace

int group_terminate(GROUP_TREE *gl) {
  if (!gl) return -1;
  gl->terminating = true;
  bool ok = true;
  index_release(gl);  // reads the records' hashes
  if (gl->topk) {
    topk_list_destroy(gl->topk);
    gl->topk = nullptr;
    ok = !gl->close_failed;
  }
  for (GROUP_INDEX *item : gl->all) ok = free_item(item) && ok;
  // A time bucket's open record and the finished ones kept are not in `all`.
  for (GROUP_INDEX *item : gl->finished) ok = free_item(item) && ok;
  if (gl->trunk && gl->group_type >= FIELD_TIMEBUCKET_FIRST && gl->group_type <= FIELD_TIMEBUCKET_LAST)
    ok = free_item(gl->trunk) && ok;
  group_release_chunks(gl);
  cat_free(gl->catset);
  // The output table may outlive the tree (spill passes keep it open); a
  // writer never reads its template row after opening, so it is let go.
  if (gl->rep && gl->rep->output && gl->rep->output->rec == gl->output_layout) gl->rep->output->rec = nullptr;
  free(gl->output_layout);
  delete gl;
  return ok ? -1 : 0;
}

bool group_free_item(GROUP_INDEX *item) { return free_item(item); }
