#include "src/report/continuous.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/runtime/db.h"
#include "src/report/group.h"

bool continuous_table_name_valid(const char *name) {
  if (!name) return false;
  // What the server takes as a table name between backquotes: UTF-8 text
  // of characters from U+0001 to U+FFFF, at most 64 of them, not ending in
  // white space. A backquote would end the quoting. The date-index table
  // appends "_di", hence 61.
  constexpr size_t kMaxChars = 64 - 3;
  size_t chars = 0;
  const auto *p = reinterpret_cast<const unsigned char *>(name);
  unsigned char last = 0;
  while (*p) {
    const unsigned char c = *p;
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      len = 1;
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else {
      return false;  // four-byte characters lie beyond U+FFFF
    }
    for (size_t i = 1; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms and UTF-16 surrogates are not characters.
    if ((len == 2 && cp < 0x80) || (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)))) return false;
    if (cp == '`') return false;
    if (++chars > kMaxChars) return false;
    last = c;
    p += len;
  }
  return chars > 0 && !(last < 0x80 && isspace(last));
}

namespace {

const char *column_of(int field) {
  switch (field) {
    case 9: return ", request_count bigint not null";
    case 10: return ", request_allowed bigint not null";
    case 11: return ", request_denied bigint not null";
    case 12: return ", pages_count bigint not null";
    case 13: return ", pages_allowed bigint not null";
    case 14: return ", pages_denied bigint not null";
    case 15: return ", files_count bigint not null";
    case 16: return ", files_allowed bigint not null";
    case 17: return ", files_denied bigint not null";
    case 52: return ", online_time bigint not null";
    case 65: return ", input_bytes bigint not null";
    case 66: return ", output_bytes bigint not null";
    default: return nullptr;
  }
}

template <class T>
T load(const void *p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

void append_num(std::string *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append_num(std::string *s, const char *format, ...) {
  char buf[64];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n > 0) s->append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

// One value of a group row as SQL text. False when memory runs out.
bool append_value(std::string *s, const Record &r) {
  const unsigned pt = PrintType(r.datatype), st = StorageType(r.datatype);
  if (!r.data) return true;
  if (pt == PTYPE_CHAR) {
    append_num(s, ",'%c'", load<char>(r.data));
  } else if (pt == PTYPE_STRING && st == STORT_STR) {
    char *e = escape_encode(static_cast<const char *>(r.data));
    if (!e) return false;
    *s += ",'";
    *s += e;
    *s += "'";
    free(e);
  } else if (pt == PTYPE_IP) {
    kx_ipaddr ip;
    char text[KXNET_ADDRSTRLEN];
    if (record_value_address(r, &ip) && record_ip_ntop(&ip, text, sizeof text)) {
      *s += ",'";
      *s += text;
      *s += "'";
    }
  } else if (pt == PTYPE_BOOL) {
    bool set = record_value_uint(r) != 0;
    if (r.type == FIELD_DENIED_FLAG) *s += set ? ",'Denied'" : ",'Allowed'";
    else *s += set ? ",'T'" : ",'F'";
  } else if (pt == PTYPE_CAT) {
    append_num(s, ",'%u'", static_cast<unsigned>(record_value_uint(r)));
  } else {
    switch (st) {
      case STORT_INT8: append_num(s, ",'%d'", static_cast<int>(load<uint8_t>(r.data))); break;
      case STORT_INT16: append_num(s, ",'%d'", static_cast<int>(load<uint16_t>(r.data))); break;
      case STORT_INT32: append_num(s, ",'%u'", load<uint32_t>(r.data)); break;
      case STORT_INT64: append_num(s, ",%" PRId64, load<int64_t>(r.data)); break;
      case STORT_STR: {
        // A category byte list: its numbers.
        *s += ",'";
        bool first = true;
        for (const unsigned char *b = static_cast<const unsigned char *>(r.data); *b; ++b) {
          append_num(s, first ? "%u" : ",%u", static_cast<unsigned>(*b));
          first = false;
        }
        *s += "'";
        break;
      }
      default: break;
    }
  }
  return true;
}

}  // namespace

int group_write_db_recursive(GROUP_INDEX *i, REPORT *rep, int db) {
  // Smaller keys, then greater keys, then the node; an explicit stack (a
  // tree of keys that arrived sorted is a list).
  struct frame {
    GROUP_INDEX *node;
    int stage;
  };
  std::vector<frame> todo;
  try {
    if (i) todo.push_back({i, 0});
    while (!todo.empty()) {
      frame &f = todo.back();
      GROUP_INDEX *node = f.node;
      if (f.stage == 0) {
        f.stage = 1;
        if (node->low) todo.push_back({node->low, 0});
        continue;
      }
      if (f.stage == 1) {
        f.stage = 2;
        if (node->high) todo.push_back({node->high, 0});
        continue;
      }
      todo.pop_back();
      std::string sql = "insert into `";
      sql += rep->table;
      sql += "` values (";
      append_num(&sql, "%lld", static_cast<long long>(rep->start));
      for (const RECORD *r = node->rec; r->type; ++r)
        if (!append_value(&sql, *r)) return 0;
      sql += ")";
      if (!db_query(db, "%s", sql.c_str())) return 0;
    }
  } catch (const std::bad_alloc &) {
    return 0;
  }
  return -1;
}

int group_write_db(GROUP_TREE *gl, REPORT *rep, int db) {
  if (!gl || !rep) return 0;
  // The name comes from the job row: one the server would not take between
  // backquotes never reaches SQL.
  if (!continuous_table_name_valid(rep->table)) {
    kxlog_send(KXLOG_ERROR, "Continuous report %d: result table name is not valid\n", rep->report_id);
    return 0;
  }
  try {
    std::string create = "create table if not exists `";
    create += rep->table;
    create += "` ( date bigint not null, groupby text not null";
    const REPORT_GROUP *g = rep->def && rep->def->group ? rep->def->group[0] : nullptr;
    for (const unsigned char *s = g ? g->summary : nullptr; s && *s; ++s)
      if (const char *col = column_of(*s)) create += col;
    create += ",index (date)) ENGINE=MyISAM";
    if (!db_query(db, "%s", create.c_str())) return 0;
    if (!db_query(db, "create table if not exists `%s_di` ( date bigint primary key ) ENGINE=MyISAM", rep->table))
      return 0;
  } catch (const std::bad_alloc &) {
    return 0;
  }
  // A period already present is not added again; the failed insert says so.
  db_query(db, "insert into `%s_di` values (%lld)", rep->table, static_cast<long long>(rep->start));
  if (gl->topk) {
    int n = topk_list_num_counters(gl->topk);
    for (int i = 0; i < n; ++i) {
      int64_t count;
      auto *item = static_cast<GROUP_INDEX *>(topk_list_get_counter(gl->topk, i, &count));
      if (!item) break;
      // One record at a time: the item's own subtree links are unused.
      GROUP_INDEX copy = *item;
      copy.low = copy.high = nullptr;
      if (!group_write_db_recursive(&copy, rep, db)) return 0;
    }
    return -1;
  }
  // Time buckets: those finished, then the open one.
  for (GROUP_INDEX *bucket : gl->finished)
    if (!group_write_db_recursive(bucket, rep, db)) return 0;
  if (!group_link_tree(gl)) return 0;
  if (!gl->trunk) return -1;
  return group_write_db_recursive(gl->trunk, rep, db);
}
