// The head that every table kind's own record begins with, and the kinds.
// Kept apart from the dispatcher (src/table/table.h) so that the kinds'
// modules need not include the module that dispatches to them.
#pragma once

#include "lib/record/record.h"

#define TABLE_READ 1   // READ_TBL
#define TABLE_WRITE 2  // WRITE_TBL
#define TABLE_LOGFILE 3  // LOGFILE_READ

// The head every kind's own record begins with (as its base).
struct TABLE {
  int type;            // TABLE_READ, TABLE_WRITE or TABLE_LOGFILE
  RECORD *rec;         // the current row, ended by an id-0 entry
  unsigned char *map;  // RECORD_MAP_SIZE bytes: field id -> index in rec
};
