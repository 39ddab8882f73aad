// The table dispatcher: one entry point per operation, switched on the kind.
#include "src/table/table.h"

#include <atomic>

#include "src/table/table_file.h"

namespace {

// Set once by the report engine (std::atomic: a window may be opened on any
// report thread).
std::atomic<const table_logfile_ops *> logfile_ops{nullptr};

TABLE *logfile_window_open(REPORT *rep, int db) {
  const table_logfile_ops *ops = logfile_ops.load();
  return ops ? ops->open(rep, db) : nullptr;
}

int logfile_window_next(TABLE *t) {
  const table_logfile_ops *ops = logfile_ops.load();
  return ops ? ops->next(t) : 0;
}

int logfile_window_close(TABLE *t) {
  const table_logfile_ops *ops = logfile_ops.load();
  if (ops) return ops->close(t);
  delete t;
  return -1;
}

}  // namespace

void table_set_logfile_ops(const table_logfile_ops *ops) { logfile_ops.store(ops); }

TABLE *table_open(int kind, REPORT *rep, const char *name, RECORD *rec, int db, int buff_size) {
  switch (kind) {
    case TABLE_READ:
      return name ? read_open(name) : nullptr;
    case TABLE_WRITE:
      return name ? write_new_rec(rep, name, rec, buff_size) : nullptr;
    case TABLE_LOGFILE:
      return rep && db != 0 ? logfile_window_open(rep, db) : nullptr;
    default:
      return nullptr;
  }
}

int table_read_record(TABLE *t) {
  if (!t) return 0;
  switch (t->type) {
    case TABLE_READ:
      return read_next(static_cast<READ_TBL *>(t));
    case TABLE_LOGFILE:
      return logfile_window_next(t);
    default:
      return 0;
  }
}

RECORD *table_read_record_separate(TABLE *t) {
  if (!t || t->type != TABLE_READ) return nullptr;
  return read_next_separate(static_cast<READ_TBL *>(t));
}

int table_write_record(TABLE *t, RECORD *rec, int64_t *written) {
  if (!t || t->type != TABLE_WRITE) return 0;
  return write_next(static_cast<WRITE_TBL *>(t), rec, written);
}

int table_close(TABLE *t) {
  if (!t) return 0;
  switch (t->type) {
    case TABLE_READ:
      read_close(static_cast<READ_TBL *>(t));
      return -1;
    case TABLE_WRITE:
      return write_close(static_cast<WRITE_TBL *>(t));
    case TABLE_LOGFILE:
      return logfile_window_close(t);
    default:
      delete t;
      return 0;
  }
}
