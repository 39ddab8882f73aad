// The request-log window: a k-way merge by time over the readers of the log
// files of a report's period.
#include "src/report/logfile_window.h"

#include <stdlib.h>
#include <string.h>

#include <limits>
#include <new>
#include <string>

#include "lib/logfiles/logfileload.h"
#include "src/report/filter.h"
#include "src/report/report.h"
#include "src/table/table.h"

namespace {

// The derived fields every row of the window carries, in row order.
constexpr unsigned char kDerived[] = {FIELD_URIHOST, FIELD_URIDOMAIN, FIELD_SEARCHTERM, FIELD_DATAWORDS};
constexpr int kDerivedCount = static_cast<int>(sizeof kDerived);
constexpr unsigned char kDerivedType = PTYPE_STRING | STORT_STR;  // 0x16

// Shows the head's own empty row: used whenever no file row may be shown.
void show_empty(LOGFILE_READ *head) {
  head->rec = head->empty_row;
  head->map = head->empty_map;
}

// Frees a file node with everything it owns: the derived values and any
// other owned data of its row, the row, the reader.
void free_node(LOGFILE_READ *node) {
  if (node->reader) {
    if (node->rec) {
      record_free_owned(node->rec);
      node->reader->methods->FreeRecords(node->reader, node->rec);
    }
    node->reader->methods->FreeReader(node->reader);
  }
  delete node;
}

// Takes a file node out of the window and frees it. Nothing of the head is
// left pointing into it: a row or map it showed is replaced by the empty
// row, and it stops being the file read last.
void remove_node(LOGFILE_READ *head, LOGFILE_READ *node) {
  if (node->prevfile) node->prevfile->nextfile = node->nextfile;
  if (node->nextfile) node->nextfile->prevfile = node->prevfile;
  if (head->rec == node->rec || head->map == node->map) show_empty(head);
  if (head->headrec == node->rec) head->headrec = head->empty_row;
  if (head->lastread == node) head->lastread = nullptr;
  free_node(node);
}

// Makes the node's row array and map: the reader's fields, the four empty
// derived fields, the id-0 entry. False when the reader gives no row or its
// layout leaves no room for them.
bool make_row(LOGFILE_READ *node) {
  LogFileReaderPtr r = node->reader;
  node->field_count = r->methods->GetFieldsNumber(r);
  if (node->field_count < 0 || node->field_count + kDerivedCount > RECORD_MAP_SIZE - 1) return false;
  node->rec = r->methods->AllocateRecords(r, kDerivedCount);
  if (!node->rec) return false;
  for (int i = 0; i < kDerivedCount; ++i) {
    RECORD &e = node->rec[node->field_count + i];
    e.type = kDerived[i];
    e.datatype = kDerivedType;
    e.flags = RECORD_FLAG_OWNED;
    e.data = nullptr;
  }
  node->rec[node->field_count + kDerivedCount] = RECORD{};
  node->map = node->field_map;
  return record_build_map(node->map, node->rec) == node->field_count + kDerivedCount;
}

int table_next(TABLE *t) { return logfile_next(t); }
int table_close_window(TABLE *t) { return logfile_close(t); }
TABLE *table_open_window(REPORT *rep, int db) { return logfile_open(rep, db); }

const table_logfile_ops kOps = {table_open_window, table_next, table_close_window};

// A decimal number by the leading-digits rule (an optional sign, then
// digits; none gives 0), without overflow.
long leading_number(const char *s) {
  char *end = nullptr;
  long v = strtol(s, &end, 10);
  return end == s ? 0 : v;
}

// The "_hash_" marker: KIND_CHUNK_SKIPPED_POOLS after it.
int hash_marker(const char *after, FILTER_RULE *tree) {
  const char *u1 = strchr(after, '_');
  if (!u1) return 1;
  const char *u2 = strchr(u1 + 1, '_');
  if (!u2) return 1;
  const char *u3 = strchr(u2 + 1, '_');
  if (!u3) return 1;
  std::string kind(after, static_cast<size_t>(u1 - after));
  long chunk = leading_number(u1 + 1);
  long pools = leading_number(u3 + 1);

  int field = 0;
  long length = 0, offset = 0;
  // "group" and "username" carry a prefix length and an optional "-" and
  // offset: the dash only separates them ("username8-4": 8 characters after
  // the first 4); an offset counted from the end carries its own sign
  // ("username8--4": the last 4).
  auto length_offset = [&](size_t word) {
    const char *p = kind.c_str() + word;
    length = leading_number(p);
    if (const char *dash = strchr(p, '-')) offset = leading_number(dash + 1);
  };
  if (kind.compare(0, 5, "group") == 0) {
    field = FIELD_GROUP;
    length_offset(5);
  } else if (kind.compare(0, 8, "username") == 0) {
    field = FIELD_USER;
    length_offset(8);
  } else if (kind.compare(0, 2, "ip") == 0) {
    field = FIELD_IP;
    length = leading_number(kind.c_str() + 2);
    if (length < 0) return 1;  // no bit count to hash by
  } else if (kind.compare(0, 3, "url") == 0) {
    field = FIELD_URI;
  } else if (kind.compare(0, 6, "denied") == 0) {
    field = FIELD_DENIED_FLAG;
  } else {
    return 1;
  }
  // No pools, or a chunk past them, says nothing about the file's rows.
  if (pools < 1 || pools < chunk || chunk < -0x7fffffff || pools > 0x7fffffff) return 1;
  if (length < -0x7fffffff || length > 0x7fffffff || offset < -0x7fffffff || offset > 0x7fffffff) return 1;
  return check_filename_hash_filter_recursive(tree, field, static_cast<int>(offset), static_cast<int>(length),
                                              static_cast<int>(pools), static_cast<int>(chunk));
}

// The "_group_" and "_tag_" markers: NAME_ after it.
int name_marker(const char *after, FILTER_RULE *tree, int field) {
  const char *u = strchr(after, '_');
  if (!u) return 1;
  std::string name(after, static_cast<size_t>(u - after));
  return check_filename_filter_recursive(tree, field, name.c_str());
}

}  // namespace

int FileNameFilter(const char *filename, void *filter) {
  if (!filename) return 1;
  auto *tree = static_cast<FILTER_RULE *>(filter);
  const char *slash = strrchr(filename, '/');
  const char *base = slash ? slash + 1 : filename;
  if (const char *m = strstr(base, "_hash_")) return hash_marker(m + 6, tree);
  if (const char *m = strstr(base, "_group_")) return name_marker(m + 7, tree, FIELD_GROUP);
  if (const char *m = strstr(base, "_tag_")) return name_marker(m + 5, tree, FIELD_LOGFILE_TAG);
  return 1;
}

LOGFILE_READ *logfile_open(REPORT *rep, int /*db*/) {
  if (!rep) return nullptr;
  auto *head = new (std::nothrow) LOGFILE_READ;
  if (!head) return nullptr;
  head->type = TABLE_LOGFILE;
  head->start = rep->start;
  head->end = rep->end;
  show_empty(head);
  head->headrec = head->empty_row;

  // A scheduled batch reads the logs once for all its reports, so no one
  // report's filter may drop a file.
  bool batch = rep->prev_task || rep->next_task;
  FILTER_RULE *tree = rep->def ? rep->def->filter : nullptr;
  ReqLogFiles *list = logfileload_init(rep->start, rep->end, 0, REQFILEUTILS_REQUEST_TYPE_ALL,
                                       batch ? nullptr : FileNameFilter, batch ? nullptr : tree);
  rep->recs_done = 0;
  if (!list) {
    rep->recs_todo = 0;
    return head;
  }

  LOGFILE_READ *last = head;
  for (ReqLogFile *f = list->head; f; f = f->next) {
    if (!f->reader) continue;
    auto *node = new (std::nothrow) LOGFILE_READ;
    if (!node) {
      logfileload_free(list);
      logfile_close(head);
      return nullptr;
    }
    node->type = TABLE_LOGFILE;
    node->reader = f->reader;
    f->reader = nullptr;
    node->prevfile = last;
    last->nextfile = node;
    last = node;
    if (!make_row(node)) {
      // A layout the window cannot hold (or no memory for the row): the
      // file is dropped like one that cannot be read.
      last = node->prevfile;
      remove_node(head, node);
      continue;
    }
    node->start = node->current_time = f->start;
    node->end = f->end;
    if (f->start >= rep->start) {
      node->opened = 0;
      continue;
    }
    LogFileReaderPtr r = node->reader;
    time_t t = 0;
    if (r->methods->GetRecByTime(r, node->rec, rep->start) != 0 ||
        (t = r->methods->RecordTime(r, node->rec)) > rep->end) {
      last = node->prevfile;
      remove_node(head, node);
      continue;
    }
    node->current_time = t;
    node->opened = 1;
  }
  if (head->nextfile) {
    head->rec = head->headrec = head->nextfile->rec;
    head->map = head->nextfile->map;
  }
  rep->recs_todo = list->records;
  logfileload_free(list);
  return head;
}

int logfile_next(TABLE *t) {
  if (!t || t->type != TABLE_LOGFILE) return 0;
  auto *head = static_cast<LOGFILE_READ *>(t);
  LOGFILE_READ *node = head->lastread;

  // Advance the file whose row went out last; rows of one second keep
  // coming from it while its time stays.
  if (node) {
    LogFileReaderPtr r = node->reader;
    time_t tm = 0;
    if (r->methods->GetNextRec(r, node->rec) != 0 || (tm = r->methods->RecordTime(r, node->rec)) > head->end) {
      remove_node(head, node);
      node = nullptr;
    } else {
      node->current_time = tm;
      if (tm != head->current_time) node = nullptr;
    }
  }

  // Otherwise the file with the earliest pending time; on a tie the one
  // earlier in the list. Files start in list order, so the scan stops at
  // the first that starts after the best time so far.
  while (!node) {
    LOGFILE_READ *best = nullptr;
    time_t best_time = head->end < std::numeric_limits<time_t>::max() ? head->end + 1 : head->end;
    for (LOGFILE_READ *n = head->nextfile; n && n->start <= best_time; n = n->nextfile) {
      if (n->current_time < best_time) {
        best = n;
        best_time = n->current_time;
      }
    }
    if (!best) {
      head->lastread = nullptr;
      show_empty(head);
      return 0;
    }
    if (best->opened) {
      node = best;
      break;
    }
    LogFileReaderPtr r = best->reader;
    time_t tm = 0;
    if (r->methods->GetFirstRec(r, best->rec) != 0 || (tm = r->methods->RecordTime(r, best->rec)) > head->end) {
      remove_node(head, best);
      continue;
    }
    best->opened = 1;
    best->current_time = tm;
    // The first record normally lies at the file's start; when the bounds
    // said otherwise, choose again with the record's real time.
    if (tm == best_time) node = best;
  }

  head->lastread = node;
  head->current_time = node->current_time;
  head->rec = node->rec;
  head->map = node->map;
  // The derived values of the row before belong to it, not to this one.
  // A derived entry holds its own text (owned) or a view the derivation
  // keeps; either way it is empty again.
  RECORD *derived = node->rec + node->field_count;
  if (derived[0].data || derived[1].data || derived[2].data || derived[3].data) {
    record_free_owned(derived);
    for (int i = 0; i < 4; i++) derived[i].data = nullptr;
  }
  return -1;
}

int logfile_close(TABLE *t) {
  if (!t) return -1;
  auto *head = static_cast<LOGFILE_READ *>(t);
  LOGFILE_READ *n = head->nextfile;
  while (n) {
    LOGFILE_READ *next = n->nextfile;
    free_node(n);
    n = next;
  }
  delete head;
  return -1;
}

int logfile_filter_record(REPORT *rep, RECORD *row, unsigned char *map) {
  if (!rep || !rep->def || !rep->def->filter) return 1;
  return check_filter_recursive(rep, rep->def->filter, row, map, nullptr, 0, 0);
}

void logfile_window_install() { table_set_logfile_ops(&kOps); }
