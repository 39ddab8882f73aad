// Report table files: one table of rows behind a short header.
//
// File layout (integers little-endian): a version byte (2 written; 1 or 2
// read), the header, then the rows packed one after another.
//  - Version 2 header: (field id, type byte) pairs in row order, ended by a
//    single 0 byte; it ends within the 512 bytes after the version byte.
//  - Version 1 header: field ids only, ended by 0; each id has a fixed type
//    (record_v1_type).
//  - A row holds each field by its storage type: 1, 2, 4, 8 or 16 bytes, a
//    text with its NUL, an IP address by its header type (0x53: 4 bytes
//    host-order value; 0x55: 16 bytes network order; 0x57: a family byte,
//    then 4 or 16 bytes); storage 0 and storage nibbles with bit 3 set take
//    one byte.
//
// Values inside rows handed out here sit at arbitrary byte offsets: read
// integers with memcpy, never through a cast pointer. IP fields are the
// exception: their data is an aligned kx_ipaddr (IPv4 as a host-order value).
//
// A table belongs to one thread; nothing here locks.
#pragma once

#include <stdint.h>

#include <array>
#include <vector>

#include "lib/base/kxnet.h"
#include "lib/record/record.h"
#include "src/table/report_fwd.h"
#include "src/table/table_head.h"

// Buffer size callers pass to write_new_rec unless they have a reason not to.
#define TABLE_WRITE_BUFFER_SIZE 131072
// Initial read buffer and its growth step; the largest row the reader takes.
#define TABLE_READ_CHUNK 32768
#define TABLE_READ_MAX 524288
// The header must end within this many bytes after the version byte.
#define TABLE_HEADER_MAX 512

// IP storage of a table (the daemon setting ip_type).
#define TABLE_IP_V4 1      // 4 bytes, header type 0x53
#define TABLE_IP_V6 2      // 16 bytes, header type 0x55
#define TABLE_IP_FAMILY 3  // family byte + 4 or 16 bytes, header type 0x57

// How one field travels in a row; built once per table from its header.
struct table_field_plan {
  uint8_t kind;   // see table_file.cc
  uint8_t size;   // bytes of a fixed-size kind
  int16_t ip;     // index into the table's kx_ipaddr values, -1 for others
};

// Kind 2: a report table file being written.
struct WRITE_TBL : TABLE {
  int table_fd = -1;
  int field_count = 0;
  int ip_type = TABLE_IP_FAMILY;     // 1, 2 or 3 (other settings count as 1)
  std::vector<unsigned char> buff;   // the write buffer, buff_size bytes
  int buff_size = 0;
  int buff_next = 0;                 // bytes waiting in buff
  std::vector<table_field_plan> plan;
  size_t fixed_bytes = 0;            // row bytes of the fields whose size never varies
  std::vector<uint8_t> texts;        // indices of the text fields
  std::vector<uint8_t> families;     // indices of the family-byte address fields
};

// Kind 1: a report table file being read. `rec` has field_count + 1 entries
// (the last one id 0) with the header's ids and types; IP fields are
// presented as type 0x57 with data pointing at their own kx_ipaddr.
struct READ_TBL : TABLE {
  int table_fd = -1;
  int field_count = 0;
  int ip_type = 0;                   // 0 when the header declares no IP field
  int version = 0;
  std::vector<unsigned char> buffer; // the read buffer (its size is its capacity)
  int buffer_size = 0;               // valid bytes in buffer
  int current = 0;                   // offset of the row last read
  int next = 0;                      // offset of the next row
  bool ended = false;                // end of table reached or a failure seen
  std::vector<RECORD> records;       // storage of rec
  std::array<unsigned char, RECORD_MAP_SIZE> field_map{};  // storage of map
  std::vector<kx_ipaddr> ips;        // one per IP field
  std::vector<table_field_plan> plan;
};

// --- Writing ---------------------------------------------------------------

// Creates (truncating) the file `name` (mode 0644) and writes version 2 and
// the header of the fields of rec up to its id-0 entry; IP fields (storage 7)
// are declared with the header type of the run's IP storage (report_table_ip_type).
// The header bytes are charged to rep (report_table_charge_header). buff_size
// is the write buffer (TABLE_WRITE_BUFFER_SIZE normally; rows larger than it
// go straight to the file). rep may be null. rec is only read; the table
// keeps the pointer as its `rec`.
// Returns the table (close with write_close), or null when name or rec is
// null, rec declares no field or more than 255, declares an address (print
// type 0x50) whose storage is not 3, 5 or 7, the file cannot be made, the
// header cannot be written or charged, or memory runs out; a file that was
// created is then removed.
WRITE_TBL *write_new_rec(REPORT *rep, const char *name, RECORD *rec, int buff_size);

// write_new_rec with the IP storage given (1, 2 or 3; other values count as
// 1) in place of the run's setting.
WRITE_TBL *write_new_rec_ip(REPORT *rep, const char *name, RECORD *rec, int buff_size, int ip_type);

// Writes or buffers one row: the first field_count entries of rec, each by
// the table's field types; a null data writes 0, an empty text or the
// default address 255.255.255.255. *written (when not null) gets the row's
// size in bytes. -1 on success, 0 when a write to the file failed (or a null
// argument).
int write_next(WRITE_TBL *t, RECORD *rec, int64_t *written);

// Writes what is buffered, closes the file and frees the table (null-safe).
// -1 when every buffered byte reached the file, 0 otherwise.
int write_close(WRITE_TBL *t);

// --- Reading ---------------------------------------------------------------

// Opens a table positioned before its first row. Null when name is null, the
// file cannot be opened, the version is not 1 or 2, no header follows, the
// header does not end within 512 bytes, declares no field or more than 255,
// declares an IP field (print type 0x50) whose storage is not 3, 5 or 7 or a
// storage-7 field that is not an IP field, or memory runs out.
READ_TBL *read_open(const char *name);

// Decodes the next row into t->rec: -1, or 0 at the end of the file, on a
// truncated or oversized (over 524288 bytes) last row, a read error or no
// memory; after a 0 every later call returns 0. The entries' data stay valid
// until the next call (they point into the read buffer). A value a caller
// left in the id-0 entry with RECORD_FLAG_OWNED is freed by the next row
// read and by read_close.
int read_next(READ_TBL *t);

// Reads the next row and returns a copy that stays valid: one malloc'ed block
// holding field_count + 1 entries (ids and types of the table, flags 0, the
// last entry id 0 with null data), the row's bytes and the IP values. Free
// it with one free(). Null at the end or when memory runs out.
RECORD *read_next_separate(READ_TBL *t);

// Bytes of the row last read (0 before the first row).
int read_record_length(READ_TBL *t);

// Closes the file and frees the table (null-safe).
void read_close(READ_TBL *t);

// --- Hooks into the report run ---------------------------------------------

// The IP storage setting of the run; TABLE_IP_FAMILY (the daemon's default,
// which loses no address) for a null run.
int report_table_ip_type(const REPORT *rep);

// Charges bytes a table writer put into the file `name` to the run's size
// limits. -1 while within them (always for a null run), 0 when a limit is
// passed (the run then holds its error text).
int report_table_charge_header(REPORT *rep, const char *name, int64_t bytes);

// What the report engine supplies for the two calls above. Without hooks
// (reportpeek, or before the engine installs them) and for a null run they
// give TABLE_IP_FAMILY and -1. hooks must stay valid for the process.
struct report_table_hooks {
  int (*ip_type)(const REPORT *rep);
  int (*charge_header)(REPORT *rep, const char *name, int64_t bytes);
};
void report_table_set_hooks(const report_table_hooks *hooks);

// --- Rows as bytes -----------------------------------------------------------
//
// For callers that move whole rows from table to table without looking at
// every field (the external sort).

// The bytes of the row last read by read_next, as the file holds them, and
// their count in *len (not null); they stay valid until the next read. Null
// with *len 0 before the first row and after the end.
const unsigned char *read_row_bytes(const READ_TBL *t, size_t *len);

// Appends to out the row last read by read_next encoded as a table written
// with the IP storage ip_type (1, 2 or 3; other values count as 1) holds it:
// the file's own bytes when the table has no address field, else each
// address written as write_next writes it. REQUIRES: a row was read and the
// table has not ended.
void read_row_encoded(const READ_TBL *t, int ip_type, std::vector<unsigned char> *out);

// Writes or buffers one row given as bytes, as they are. REQUIRES: the bytes
// encode the table's fields as write_next writes them (e.g. a row read from
// a table of the same fields and IP storage that a writer made). -1, or 0
// when a write to the file failed (or a null table).
int write_row_bytes(WRITE_TBL *t, const unsigned char *row, size_t len);
