#include "src/report/group_record.h"

#include <arpa/inet.h>
#include <libintl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "lib/base/kxendian.h"
#include "lib/base/kxfile.h"
#include "src/report/status.h"
#include "src/report/tfile.h"
#include "src/table/table.h"
#include "src/table/table_file.h"

namespace {

const uint64_t kZero[2] = {0, 0};

const kx_ipaddr *default_ip() {
  static const kx_ipaddr ip = [] {
    kx_ipaddr v{};
    kxnet_defaultip(&v);
    return v;
  }();
  return &ip;
}

uint8_t hint_of(const REPORT *rep, int id) {
  const Record *hints = rep && rep->type_hints ? rep->type_hints : type_hints;
  for (const Record *h = hints; h->type; ++h)
    if (h->type == id) return h->datatype;
  return 0;
}

size_t align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// How an entry of id is made from its source field.
uint8_t source_step(int id) {
  if (id == FIELD_REQUEST_PROPS) return GROUP_FROM_PROPS;
  if (group_get_source_type(id) == id) return GROUP_FROM_NONE;
  switch (id) {
    case FIELD_URIHOST:
    case FIELD_URIDOMAIN:
    case FIELD_SEARCHTERM:
    case FIELD_DATAWORDS:
    case FIELD_PROTOCOL: return GROUP_FROM_DERIVED;
    case FIELD_CATSNUM:
    case FIELD_ALLCATSNUM: return GROUP_FROM_CATS;
    default: return GROUP_FROM_REFUSED;
  }
}

// The value an entry of the type byte takes for a row without its field.
const void *value_of_none(uint8_t type) {
  switch (StorageType(type)) {
    case STORT_STR: return FIELDS_NONE;
    case STORT_IPADDR: return default_ip();
    default: return kZero;
  }
}

}  // namespace

uint32_t group_display_category(const REPORT *rep, uint32_t cat) {
  if (!rep || !rep->cats || cat == 0) return cat;
  return rep->cats->count(cat) ? cat : rep->default_cat;
}

char *group_category_text(const unsigned char *bytes, char *buf, size_t size) {
  if (!buf || size == 0) return buf;
  size_t len = 0;
  buf[0] = '\0';
  for (const unsigned char *b = bytes; b && *b; ++b) {
    char num[8];
    int n = snprintf(num, sizeof num, "%s%u", len ? "," : "", static_cast<unsigned>(*b));
    // A number that does not fit whole ends the text at the last boundary.
    if (n < 0 || len + static_cast<size_t>(n) + 1 > size) break;
    memcpy(buf + len, num, static_cast<size_t>(n) + 1);
    len += static_cast<size_t>(n);
  }
  return buf;
}

// --- Group records -------------------------------------------------------------------

GROUP_INDEX *group_make_summary(GROUP_TREE *gl, TABLE *, int buff_size, REPORT *rep, const void *data,
                                int index_fd) {
  if (!gl || !rep || !data) return nullptr;
  const size_t value_size = group_value_size(gl->group_datatype, data);
  if (value_size == 0) return nullptr;  // a key of this type cannot be grouped

  char *file = nullptr;
  const char *link = "";
  if (gl->save_details) {
    file = tfile_next_rep_file(rep);
    if (!file) return nullptr;
    link = file;
    size_t root = rep->root_path ? strlen(rep->root_path) : 0;
    if (root && strncmp(file, rep->root_path, root) == 0) link = file + root;
  }
  const size_t fields = gl->fields.size() - 1;
  const size_t link_size = strlen(link) + 1;
  const size_t head = GROUP_KEY_OFFSET;
  const size_t counter_bytes = sizeof(int64_t) * static_cast<size_t>(gl->counter_count);
  const size_t rows = align8(sizeof(RECORD) * (fields + 1));
  bool pooled = false;
  char *mem = static_cast<char *>(
      group_record_block(gl, head + counter_bytes + rows + align8(value_size) + link_size, &pooled));
  if (!mem) {
    free(file);
    return nullptr;
  }
  auto *item = new (mem) GROUP_INDEX;
  item->pooled = pooled;
  // The key and the counters first, beside the record: they are what a
  // lookup and a count touch.
  char *key = mem + head;
  auto *counters = reinterpret_cast<int64_t *>(key + align8(value_size));
  memset(counters, 0, counter_bytes);
  char *block = reinterpret_cast<char *>(counters) + counter_bytes;
  item->tree = gl;
  item->rep = rep;
  item->rec = reinterpret_cast<RECORD *>(block);
  item->counters = counters;
  item->detail_file = file;
  item->writesize = static_cast<int>(value_size + 8 * static_cast<size_t>(gl->counter_count) + link_size);
  if (!status_add_report_size(rep, item->writesize)) {
    group_free_item(item);
    return nullptr;
  }

  char *link_text = block + rows;
  memcpy(key, data, value_size);
  // Zero to the counters: the index compares a short text key by words.
  memset(key + value_size, 0, align8(value_size) - value_size);
  if (StorageType(gl->group_datatype) == STORT_INT32 &&
      (gl->output_code == FIELD_CAT || gl->output_code == FIELD_CATNUM)) {
    uint32_t cat;
    memcpy(&cat, key, 4);
    cat = group_display_category(rep, cat);
    memcpy(key, &cat, 4);
  }
  memcpy(link_text, link, link_size);
  item->key = key;
  RECORD *rec = item->rec;
  rec[0] = RECORD{static_cast<uint8_t>(gl->output_code), static_cast<uint8_t>(gl->group_datatype), 0, key};
  int k = 0;
  for (size_t i = 1; i < fields; ++i) {
    int f = gl->fields[i];
    if (group_is_counter(f)) rec[i] = RECORD{static_cast<uint8_t>(f), 0x04, 0, &counters[k++]};
    else if (f == FIELD_SUBREPORTFILENAME) rec[i] = RECORD{static_cast<uint8_t>(f), 0x16, 0, link_text};
    else rec[i] = RECORD{static_cast<uint8_t>(f), 0, 0, nullptr};
  }
  rec[fields] = RECORD{0, 0, 0, nullptr};

  if (gl->save_details) {
    item->tbl = table_open(TABLE_WRITE, rep, file, gl->datarec->rec.data(), 0, buff_size);
    if (!item->tbl) {
      status_add_error(rep, "%s", "Error 10315: (group) Unable to open file for next level grouping data");
      status_add_report_size(rep, -item->writesize);
      group_free_item(item);
      return nullptr;
    }
    // A top-k level queues its survivors when it writes: a group it turns
    // down or evicts later leaves no entry behind.
    if (!gl->topk && !group_write_queue_entry(rep, gl, item, index_fd)) {
      status_add_report_size(rep, -item->writesize);
      table_close(item->tbl);
      item->tbl = nullptr;
      unlink(file);
      group_free_item(item);
      return nullptr;
    }
  }
  return item;
}

namespace {

// A thread's spare chunks: the second stage makes a tree per detail table,
// and fresh chunks would be faulted in anew each time. Kept up to this many.
constexpr size_t kSpareChunksMax = 64;
struct chunk_spares {
  std::vector<char *> chunks;
  ~chunk_spares() {
    for (char *c : chunks) free(c);
  }
};
thread_local chunk_spares spares;

// Whether gl frees its records only with the tree.
bool frees_as_whole(const GROUP_TREE *gl) {
  return !gl->topk && !(gl->group_type >= FIELD_TIMEBUCKET_FIRST && gl->group_type <= FIELD_TIMEBUCKET_LAST);
}

}  // namespace

void *group_record_block(GROUP_TREE *gl, size_t size, bool *pooled) {
  size = (size + GROUP_BLOCK_ALIGN - 1) & ~static_cast<size_t>(GROUP_BLOCK_ALIGN - 1);
  *pooled = false;
  if (!frees_as_whole(gl) || size > GROUP_CHUNK_SIZE / 4) return aligned_alloc(GROUP_BLOCK_ALIGN, size);
  if (gl->chunks.empty() || gl->chunk_used + size > GROUP_CHUNK_SIZE) {
    char *chunk = nullptr;
    try {
      gl->chunks.reserve(gl->chunks.size() + 1);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
    if (!spares.chunks.empty()) {
      chunk = spares.chunks.back();
      spares.chunks.pop_back();
    } else {
      chunk = static_cast<char *>(aligned_alloc(GROUP_BLOCK_ALIGN, GROUP_CHUNK_SIZE));
      if (!chunk) return nullptr;
    }
    gl->chunks.push_back(chunk);
    gl->chunk_used = 0;
  }
  char *block = gl->chunks.back() + gl->chunk_used;
  gl->chunk_used += size;
  *pooled = true;
  return block;
}

void group_release_chunks(GROUP_TREE *gl) {
  for (char *chunk : gl->chunks) {
    if (spares.chunks.size() < kSpareChunksMax) {
      try {
        spares.chunks.push_back(chunk);
        continue;
      } catch (const std::bad_alloc &) {
      }
    }
    free(chunk);
  }
  gl->chunks.clear();
  gl->chunk_used = 0;
}

int group_write_queue_entry(REPORT *rep, GROUP_TREE *gl, GROUP_INDEX *item, int index_fd) {
  if (!item->detail_file || index_fd < 0) return -1;
  size_t n = strlen(item->detail_file) + 1;
  if (!status_add_temp_size(rep, static_cast<long long>(n) + 4)) return 0;
  item->detail_temp += static_cast<long long>(n) + 4;
  std::string entry;
  try {
    entry.assign(item->detail_file, n);
    unsigned char level[4];
    kx_put_le32(level, static_cast<uint32_t>(gl->group_level + 1));
    entry.append(reinterpret_cast<const char *>(level), 4);
  } catch (const std::bad_alloc &) {
    return 0;
  }
  return file_write_all(index_fd, entry.data(), entry.size()) ? -1 : 0;
}

void group_destroy_item(void *data) {
  auto *item = static_cast<GROUP_INDEX *>(data);
  if (!item) return;
  GROUP_TREE *gl = item->tree;
  if (!gl || !gl->terminating) {
    // Turned down or evicted: nothing will link to its detail table.
    if (item->tbl) table_close(item->tbl);
    item->tbl = nullptr;
    if (item->detail_file) unlink(item->detail_file);
    if (item->rep) {
      status_add_report_size(item->rep, -item->writesize);
      if (item->detail_temp) status_add_temp_size(item->rep, -item->detail_temp);
    }
  }
  if (!group_free_item(item) && gl) gl->close_failed = true;
}

// --- Layouts -------------------------------------------------------------------------

std::unique_ptr<group_layout> group_init_spill_record(REPORT *rep, int grp_pos, RECORD *rec, unsigned char *map,
                                                      int *mask) {
  if (mask) *mask = 0;
  if (!rep || !rep->def || !rep->def->group) return nullptr;
  std::unique_ptr<group_layout> layout;
  try {
    layout = std::make_unique<group_layout>();
    std::vector<uint8_t> ids;
    auto has = [&ids](int id) {
      for (uint8_t x : ids)
        if (x == id) return true;
      return false;
    };
    auto add = [&ids, &has](int id) {
      if (id > 0 && id < 256 && !has(id)) ids.push_back(static_cast<uint8_t>(id));
    };
    int m = 0;
    REPORT_GROUP **groups = rep->def->group;
    for (int i = 0; i < grp_pos; ++i)
      if (!groups[i]) return nullptr;
    for (int i = grp_pos; groups[i]; ++i) {
      const REPORT_GROUP *g = groups[i];
      if (g->type == GROUP_TYPE_DETAIL) {
        for (const unsigned char *d = g->details; d && *d; ++d) {
          int src = group_get_source_type(*d);
          if (has(*d) || (src != *d && has(src))) continue;
          add(*d);
        }
      } else if (g->type == GROUP_TYPE_SUMMARY) {
        int in = group_get_input_type(g->groupby), src = group_get_source_type(g->groupby);
        if (!has(in) && !has(src)) add(in);
        for (const unsigned char *s = g->summary; s && *s; ++s) {
          m |= group_get_analyze_mask(*s);
          switch (*s) {
            case 9: case 33: break;
            case 52: add(FIELD_DATE); break;
            case 65: case 66: add(FIELD_TYPE); add(FIELD_DATA); break;
            default: add(FIELD_REQUEST_PROPS); break;
          }
        }
      } else {
        status_add_error(rep, "Error 10301: (group) Unknown group type %d", g->type);
        return nullptr;
      }
    }
    if (ids.size() > 255) return nullptr;
    layout->analyze_mask = m & (GROUP_ANALYZE_ALLOWED | GROUP_ANALYZE_PAGES);
    layout->rec.assign(ids.size() + 1, RECORD{0, 0, 0, nullptr});
    layout->src.assign(ids.size() + 1, 0);
    layout->cattext.resize(ids.size());
    layout->from.assign(ids.size(), GROUP_FROM_NONE);
    layout->none.assign(ids.size(), nullptr);
    for (size_t i = 0; i < ids.size(); ++i) {
      int id = ids[i];
      uint8_t type = hint_of(rep, id);
      const Record *e = rec && map ? record_find(rec, map, id) : nullptr;
      if (e && e->datatype) type = e->datatype;
      if (id == FIELD_REQUEST_PROPS) type = 0x01;
      // A category byte list travels as decimal text (the field's text form).
      if (PrintType(type) == PTYPE_CATS) type = 0x16;
      layout->rec[i] = RECORD{static_cast<uint8_t>(id), type, 0, nullptr};
      layout->src[i] = static_cast<uint8_t>(group_get_source_type(id));
      if (id == FIELD_CATS || id == FIELD_CATSNUM || id == FIELD_ALLCATSNUM) layout->cattext[i].assign(GROUP_CATTEXT_SIZE, '\0');
      layout->from[i] = source_step(id);
      layout->none[i] = value_of_none(type);
    }
    layout->sized_by_writer = true;
    for (size_t i = 0; i < ids.size(); ++i) {
      const unsigned st = StorageType(layout->rec[i].datatype);
      if (st & STORT_BYTE_FLAG || !(st == STORT_STR || (st >= STORT_INT8 && st <= STORT_INT128)))
        layout->sized_by_writer = false;
    }
    if (mask) *mask = layout->analyze_mask;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return layout;
}

namespace {

// The text of a category list field (5 or 54) as it stands: its own text,
// or null for a byte list or no value.
const char *list_text(RECORD *rec, unsigned char *map, int id) {
  const Record *s = record_find(rec, map, id);
  return s && s->data && StorageType(s->datatype) == STORT_STR ? static_cast<const char *>(s->data) : nullptr;
}

}  // namespace

const char *get_temp_data_from_source(REPORT *rep, int id, RECORD *rec, unsigned char *map) {
  const char *v = nullptr;
  switch (source_step(id)) {
    case GROUP_FROM_DERIVED: v = find_derived(rep, rec, map, id); break;
    case GROUP_FROM_CATS: v = list_text(rec, map, group_get_source_type(id)); break;
    default: return nullptr;
  }
  return v ? v : FIELDS_NONE;
}

namespace {

uint8_t prop_bits(const GROUP_ANALYZE &a) {
  uint8_t bits = 0;
  if (a.request_denied) bits |= GROUP_PROP_DENIED;
  if (a.pages_count) bits |= GROUP_PROP_PAGE;
  if (a.files_count) bits |= GROUP_PROP_FILE;
  return bits;
}

uint8_t props_of(REPORT *rep, GROUP_TREE *gl, RECORD *rec, unsigned char *map, int mask) {
  GROUP_ANALYZE a;
  group_analyze_record(rec, map, &a, gl, rep, mask);
  return prop_bits(a);
}

}  // namespace

uint8_t make_request_prop_data(REPORT *rep, GROUP_TREE *gl, RECORD *rec, unsigned char *map) {
  return props_of(rep, gl, rec, map, gl ? gl->spill_analyze_mask : 0);
}

int group_record_mask(const GROUP_TREE *gl) {
  return gl->analyze_mask | (gl->datarec ? gl->datarec->analyze_mask : 0);
}

int group_prep_temp_data(RECORD *rec, unsigned char *map, group_layout *layout, REPORT *rep, GROUP_TREE *gl,
                         const GROUP_ANALYZE *known) {
  RECORD *out = layout->rec.data();
  for (size_t i = 0; out[i].type; ++i) {
    const int id = out[i].type;
    const uint8_t from = layout->from[i];
    if (from == GROUP_FROM_PROPS) {
      layout->props = known ? prop_bits(*known) : props_of(rep, gl, rec, map, layout->analyze_mask);
      out[i].data = &layout->props;
      continue;
    }
    const Record &e = rec[map[id]];
    if (e.type == id && e.data) {
      if (PrintType(e.datatype) == PTYPE_CATS && !layout->cattext[i].empty())
        out[i].data = group_category_text(static_cast<const unsigned char *>(e.data), layout->cattext[i].data(),
                                          GROUP_CATTEXT_SIZE);
      else
        out[i].data = e.data;
      continue;
    }
    const int src = layout->src[i];
    const Record &s = rec[map[src]];
    if (from == GROUP_FROM_NONE || s.type != src || !s.data) {
      out[i].data = const_cast<void *>(layout->none[i]);
      continue;
    }
    const char *v = nullptr;
    switch (from) {
      case GROUP_FROM_DERIVED:
        v = find_derived(rep, rec, map, id);
        break;
      case GROUP_FROM_CATS:
        if (PrintType(s.datatype) == PTYPE_CATS) {
          v = group_category_text(static_cast<const unsigned char *>(s.data), layout->cattext[i].data(),
                                  GROUP_CATTEXT_SIZE);
          out[i].data = const_cast<char *>(v);
          continue;
        }
        v = StorageType(s.datatype) == STORT_STR ? static_cast<const char *>(s.data) : nullptr;
        break;
      default:
        status_add_error(rep, "%s", "Error 10304: (group) Error preparing next group data from source field");
        group_reset_temp_data(layout);
        return 0;
    }
    out[i].data = const_cast<char *>(v ? v : FIELDS_NONE);
  }
  return -1;
}

void group_reset_temp_data(group_layout *layout) {
  if (!layout) return;
  for (RECORD &r : layout->rec) r.data = nullptr;
}

int save_prepared_temp_data(REPORT *rep, GROUP_TREE *gl, GROUP_INDEX *item) {
  if (!gl->datarec || !item->tbl) return -1;
  group_layout *layout = gl->datarec.get();
  int64_t written = 0;
  if (!table_write_record(item->tbl, layout->rec.data(), &written)) {
    status_add_error(rep, "%s", "Error 10307: (group) Error when writing a next group level record");
    return 0;
  }
  // The writer measured the row's texts: its size is the charge when the
  // layout has no kinds the two count apart. A row past the size limit
  // fails the run, whose tables go with it.
  const long long len =
      layout->sized_by_writer ? written : record_length(layout->rec.data(), report_table_ip_type(rep));
  if (!status_add_temp_size(rep, len)) return 0;
  item->detail_temp += len;
  return -1;
}

int save_temp_data(RECORD *rec, unsigned char *map, REPORT *rep, GROUP_TREE *gl, GROUP_INDEX *item,
                   const GROUP_ANALYZE *known) {
  if (!gl->datarec) return -1;
  group_layout *layout = gl->datarec.get();
  // Prepared before the record is read (its table is always open).
  if (!group_prep_temp_data(rec, map, layout, rep, gl, known)) return 0;
  int ok = save_prepared_temp_data(rep, gl, item);
  group_reset_temp_data(layout);
  return ok;
}

int group_save_spill_record(REPORT *rep, GROUP_TREE *gl, RECORD *rec, unsigned char *map) {
  if (!rep || !gl || !gl->spill) return 0;
  group_layout *layout = gl->spill.get();
  if (!group_prep_temp_data(rec, map, layout, rep, gl)) return 0;
  int ok = -1;
  if (!rep->spill) {
    char *name = tfile_next_temp_file(rep);
    if (!name) {
      status_add_error(rep, "%s", dgettext("Tallowmere", "Error 10409: (process) Unable to create report temp filename"));
      group_reset_temp_data(layout);
      return 0;
    }
    free(rep->spill_file_name);
    rep->spill_file_name = name;
    // The writer charges the header it writes (two bytes a field and two).
    rep->spill = table_open(TABLE_WRITE, rep, name, layout->rec.data(), 0, TABLE_WRITE_BUFFER_SIZE);
    if (!rep->spill) {
      if (!rep->error) status_add_error(rep, "%s", dgettext("Tallowmere", "Error 10410: (process) Unable to open a report file"));
      ok = 0;
    }
  }
  if (ok) {
    long long len = record_length(layout->rec.data(), report_table_ip_type(rep));
    ok = status_add_temp_size(rep, len);
    if (ok && !table_write_record(rep->spill, layout->rec.data(), nullptr)) {
      status_add_error(rep, "%s", dgettext("Tallowmere", "Error 10439: (process) Unable to write to a temporary report file"));
      ok = 0;
    }
  }
  group_reset_temp_data(layout);
  return ok ? -1 : 0;
}
