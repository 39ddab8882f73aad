// The record model: one row of the system (a decoded request, a report table
// row, a group result) is an array of Record entries, one per field, ended
// by an entry whose type (field id) is 0. Each field is named by a one-byte
// field id and typed by a one-byte type byte (print type in the high nibble,
// storage type in the low nibble).
//
// Lookups by id go through a field map of 256 bytes: entry = row[map[id]];
// the field is present when that entry's type equals id. An id the row lacks
// maps to an entry whose type is 0 (the terminator or a spare entry), so a
// lookup never fails.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "lib/base/kxnet.h"

// --- One field of a row --------------------------------------------------

// Flag bit 0: data points to memory this entry owns. The holder of the row
// frees it and sets data to null before the entry is reused.
#define RECORD_FLAG_OWNED 0x0001

struct Record {
  uint8_t type;      // field id; 0 ends an array
  uint8_t datatype;  // type byte
  uint16_t flags;    // RECORD_FLAG_OWNED
  void *data;        // the value by storage type; null when the field has none
};
typedef Record RECORD;
typedef Record *RecordPtr;

static_assert(sizeof(Record) == 16, "Record is 1+1+2 bytes and a pointer");

// --- Type byte -------------------------------------------------------------

#define PrintType(t) ((t) & 0xF0)
#define StorageType(t) ((t) & 0x0F)

// Print types (high nibble).
#define PTYPE_UNDEFINED 0x00  // counters in report tables
#define PTYPE_STRING 0x10
#define PTYPE_OCTETS 0x20
#define PTYPE_CATS 0x30       // category numbers, one per byte, NUL-terminated
#define PTYPE_TIMESTAMP 0x40  // Unix seconds
#define PTYPE_DATE 0x40
#define PTYPE_IP 0x50
#define PTYPE_CHAR 0x60
#define PTYPE_BOOL 0x70
#define PTYPE_CAT 0x80        // one category number

// Storage types (low nibble): what data points at in memory (integers
// little-endian).
#define STORT_UNKNOWN 0  // a byte (one byte in a report table row too)
#define STORT_INT8 1
#define STORT_INT16 2
#define STORT_INT32 3
#define STORT_INT64 4
#define STORT_INT128 5   // 16 bytes
#define STORT_STR 6      // NUL-terminated text
#define STORT_IPADDR 7   // a kx_ipaddr

// A storage nibble with bit 3 set (8 to 15) stands for a one-byte value in
// the request-log and report-table readers.
#define STORT_BYTE_FLAG 0x08

// Bytes of a fixed-size storage type (1 to 5) of a type byte: 1, 2, 4, 8, 16;
// 0 for every other storage type (strings, IP, 0, bit 3 set).
size_t record_fixed_size(unsigned datatype);

// --- Reading a value by its storage type ------------------------------------
//
// Values inside rows may sit at any byte offset: these read them by bytes,
// never through a cast pointer, and give a neutral answer for an entry
// without data.

// Bytes a value of the type byte's storage holds in place: 1, 2, 4, 8, 16
// for storage 1 to 5, 1 for storage 0 and for the one-byte storages 8 to
// 15, 0 for texts and addresses.
size_t record_value_size(unsigned datatype);

// The unsigned little-endian value of an entry held in place (the low 64
// bits of a 16-byte value); 0 for texts, addresses and null data.
uint64_t record_value_uint(const Record &r);

// The text of a storage-6 entry; null for other storage and null data.
const char *record_value_text(const Record &r);

// The address of an entry in row form (IPv4 as a host-order value) into
// *ip: a kx_ipaddr (storage 7), a 4-byte IPv4 value (storage 3) or 16
// stored IPv6 bytes (storage 5). False, with *ip zeroed, for other storage
// and null data. Requires ip non-null.
bool record_value_address(const Record &r, kx_ipaddr *ip);

// --- Field ids -------------------------------------------------------------

// Ids that request log files can carry.
#define FIELD_URI 1
#define FIELD_IP 2
#define FIELD_USER 3
#define FIELD_GROUP 4
#define FIELD_CATS 5
#define FIELD_DENIED_FLAG 6
#define FIELD_DATE 7
#define FIELD_CAT 8
#define FIELD_DST_IP 47
#define FIELD_PEER_IP 50
#define FIELD_LOGGER_ID 51
#define FIELD_LONGCATS 52  // in report tables: the online-time counter
#define FIELD_ALL_CATS 54
#define FIELD_HTTP_METHOD 55
#define FIELD_HTTP_AGENT 56
#define FIELD_HTTP_REF 57
#define FIELD_POLICY 58
#define FIELD_LOGFILE_TAG 59
#define FIELD_TYPE 63
#define FIELD_DATA 64
#define FIELD_MODULE 67
#define FIELD_WORKSTATION 68
#define FIELD_SCREENSHOT 69
#define FIELD_CODE_COUNT 23  // number of the request-log ids above

// Ids of the report engine.
#define FIELD_REQUESTCOUNT 9
#define FIELD_REQUESTALLOWED 10
#define FIELD_REQUESTDENIED 11
#define FIELD_PAGESCOUNT 12
#define FIELD_PAGESALLOWED 13
#define FIELD_PAGESDENIED 14
#define FIELD_FILESCOUNT 15
#define FIELD_FILESALLOWED 16
#define FIELD_FILESDENIED 17
#define FIELD_SUBREPORTFILENAME 18
#define FIELD_TIMEBUCKET_FIRST 19  // time-bucket group-by codes 19 to 30
#define FIELD_TIMEBUCKET_LAST 30
#define FIELD_RELDATE 31
#define FIELD_URIHOST 32
#define FIELD_REQUESTCOUNTPERCENT 33
#define FIELD_PAGESCOUNTPERCENT 34
#define FIELD_FILESCOUNTPERCENT 35
#define FIELD_ORDER 36
#define FIELD_DAYTIME 43
#define FIELD_WEEKDAY 44
#define FIELD_MONTHDAY 45
#define FIELD_PROTOCOL 46
#define FIELD_URIDOMAIN 48
#define FIELD_REQUEST_PROPS 49  // grouping rows: 1 denied, 2 page, 4 file
#define FIELD_ONLINETIME 52
#define FIELD_SEARCHTERM 53
#define FIELD_CATSNUM 60
#define FIELD_ALLCATSNUM 61
#define FIELD_CATNUM 62
#define FIELD_INPUTBYTES 65
#define FIELD_OUTPUTBYTES 66
#define FIELD_DATAWORDS 70

// One row of the field-id table.
struct RecordFieldInfo {
  uint8_t id;
  const char *macro;       // request-log macro name, null when none
  const char *name;        // column name printed by the report viewer
  const char *filter_key;  // key of report-definition filters, null when none
  uint8_t hint;            // type hint, 0 when none
  uint8_t v1_type;         // type in a version-1 report table file (0x00 default)
};

// The field-id table, in ascending id order, and its number of rows.
extern const RecordFieldInfo record_field_table[];
extern const size_t record_field_table_size;

// The table row of an id; null for an id the table does not list.
const RecordFieldInfo *record_field_info(unsigned id);

// Column name of an id ("ADDITIONAL" for ids without a name of their own).
// Never null; static text.
const char *record_field_name(unsigned id);

// The lowest id printed under name (exact, case-sensitive), or -1 when no id
// is (also for null and for "ADDITIONAL").
int record_field_by_name(const char *name);

// The id a filter key names (exact, case-sensitive), or -1 when none (also
// for null). Decimal keys are the caller's business.
int record_field_by_key(const char *key);

// Type a version-1 report table file gives the id (0x00 for unlisted ids).
uint8_t record_v1_type(unsigned id);

// --- Type hints ------------------------------------------------------------

// (field id, type byte) pairs giving a field's type where the input does
// not; flags 0 and data null in every entry; ended by an entry with id 0.
// Static for the life of the process; never freed or changed.
extern const Record type_hints[];

// The first hint of id in type_hints, or 0 when the id has none.
uint8_t record_type_hint(unsigned id);

// --- Rows and field maps ---------------------------------------------------

#define RECORD_MAP_SIZE 256
typedef unsigned char RecordMap[RECORD_MAP_SIZE];

// Entries before the id-0 terminator. Requires a terminated row (null: 0).
int record_count(const Record *row);

// Fills map (RECORD_MAP_SIZE bytes) for row: every id first maps to the
// index of the terminator, then each entry's id (in order, so a later entry
// of the same id wins) to its index. Returns the terminator's index, or -1
// (map untouched) for a null argument or a row too long for one-byte indexes
// (terminator beyond index 255).
int record_build_map(unsigned char *map, const Record *row);

// The entry map[id] names: the field when it is present, else an entry of
// type 0. Requires map built for row.
inline Record *record_get(RecordPtr row, const unsigned char *map, unsigned id) {
  return row + map[id & 0xFF];
}
inline const Record *record_get(const Record *row, const unsigned char *map, unsigned id) {
  return row + map[id & 0xFF];
}

// The entry of id, or null when the row does not hold it (or id is 0).
Record *record_find(RecordPtr row, const unsigned char *map, unsigned id);
const Record *record_find(const Record *row, const unsigned char *map, unsigned id);

// Frees the data of every entry from `from` up to the terminator whose
// RECORD_FLAG_OWNED bit is set (free()), and sets that data to null; the
// flag stays so the entry keeps owning what it is given next. Null: no-op.
void record_free_owned(Record *from);

// --- IP values inside rows -------------------------------------------------

// An IPv4 address parsed from text (network order) turned into the row form
// (host-order value). Other families are left alone. Null: no-op.
void record_ip_to_host_order(kx_ipaddr *ip);

// The row form of 16 stored IPv6 bytes (network order): family 10 with the
// bytes, except an IPv4-mapped address (::ffff:a.b.c.d), which becomes
// family 2 with the host-order value of a.b.c.d. Requires both non-null.
void record_ip_from_ipv6(kx_ipaddr *ip, const unsigned char *bytes16);

// Text of an IP value in row form (IPv4 as a host-order value) into buf:
// dotted IPv4 or IPv6 notation. Returns buf, or null for another family, a
// null argument or too small a buffer (KXNET_ADDRSTRLEN always suffices).
const char *record_ip_ntop(const kx_ipaddr *ip, char *buf, int size);
