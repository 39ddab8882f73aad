// The extended binary request-log format: a self-describing header in a
// small subset of ASN.1 BER, then packed records.
//
//   offset 0     4 bytes: a signed value below THRESHOLD_DATE (tells the file
//                from a standard binary log)
//   offset 4     the header: one BER element (tag 1) holding the per-record
//                fields (tag 2) and the constant fields (tag 3), each a list
//                of FIELD elements (tag 10) with CODE (21), NAME (22),
//                TYPE (23) and, for constants, INTVALUE (24), LNGVALUE (25)
//                or STRVALUE (26)
//   data_begin   records: the per-record fields in header order, integers
//                little-endian
//
// A row holds the per-record fields, then the constant fields (whose data
// points at the header's values). IP fields (ids 2, 47, 50) have type 0x57
// and the row's own kx_ipaddr (IPv4 as a host-order value; IPv4-mapped IPv6
// becomes IPv4).
#pragma once

#include <string>
#include <vector>

#include "lib/logfiles/logfile_format.h"

extern const LogFileReaderMethods EBMethods;

// --- The BER decoder ---------------------------------------------------------

enum data_type {
  DATA_TYPE_COMP = 0,  // unknown tag: content read as text
  DATA_TYPE_I8 = 1,
  DATA_TYPE_I16 = 2,
  DATA_TYPE_I32 = 3,
  DATA_TYPE_I64 = 4,
  DATA_TYPE_PTR = 5,   // text
};

#define SUCCESS 0
#define ERR_READ (-2)    // a byte could not be read
#define ERR_LENGTH (-3)  // an element overruns its parent (or is malformed)
#define ERR_ALLOC (-4)

#define TAG_CLASS 0xC0
#define INIT_EXTENT 10   // children room at first
#define EXTENT 10        // and its growth step
#define ASN1_MAX_DEPTH 8 // nesting allowed below the root
#define ASN1_MAX_ELEMENT (1 << 20)  // largest header accepted

struct _node {
  int type = 0;                      // the tag
  int constructed = 0;               // non-zero: content is children
  data_type data_type_ = DATA_TYPE_COMP;
  union {
    char *tstring;                   // COMP, PTR: owned; null for no text
    unsigned char tbyte;
    int tint;                        // I16, I32
    long long tlonglong;
  } u{};
  int chnum = 0;
  int challoc = 0;
  _node **children = nullptr;
};
typedef _node *ASNNodePtr;

// Data type of a tag, as the caller's format defines it.
typedef data_type (*asn1GetTypeFunc)(int tag);

// Reads one element at fd's position. The element must lie inside the file
// and within ASN1_MAX_ELEMENT bytes; lengths are 1 to 4 bytes; nesting is
// bounded. Returns SUCCESS with the tree in *result (free with
// asn1NodeFree) and fd positioned after the element, or ERR_READ (the file
// ends inside the element), ERR_LENGTH (a child overruns its parent, or a
// malformed length, deep nesting or an element over the limit) or ERR_ALLOC
// (nothing allocated remains).
int asn1ReadData(ASNNodePtr *result, int fd, asn1GetTypeFunc getType);

// The same from memory: [p, p + len). *used receives the element's bytes.
int asn1ReadMemory(ASNNodePtr *result, const unsigned char *p, size_t len, asn1GetTypeFunc getType,
                   size_t *used);

// Frees a tree with its texts (null-safe).
void asn1NodeFree(ASNNodePtr node);

// --- Header tags ---------------------------------------------------------------

#define HEADER_TAG 1
#define FIELDS_TAG 2
#define STAT_FIELDS_TAG 3
#define FIELD_TAG 10
#define CODE_TAG 21
#define NAME_TAG 22
#define TYPE_TAG 23
#define INTVALUE_TAG 24
#define LNGVALUE_TAG 25
#define STRVALUE_TAG 26

data_type EBHeaderGetType(int tag);

// --- The reader ----------------------------------------------------------------

// How one per-record field is read, worked out from its id and type when
// the header is parsed.
struct EbStep {
  enum Kind : unsigned char { kFixed, kText, kIp4, kIp16, kIpFamily } kind = kFixed;
  unsigned char size = 0;  // bytes of a kFixed field
};

struct ExtBinLogReaderData : CommonReaderData {
  ExtBinLogReaderData(const char *name, off_t begin);
  ~ExtBinLogReaderData() override;

  off_t data_begin = 0;           // offset after the header
  int date_field = -1;            // index of the first field with id 7
  int stat_fields_offset = 0;     // fields stored in each record
  char **field_names = nullptr;   // null-terminated, owned (names_store)
  void **field_values = nullptr;  // one per constant field, null-terminated

  std::vector<unsigned char> own_fields, own_ftypes;
  std::vector<std::string> names_store;
  std::vector<char *> names_ptrs;
  std::vector<std::vector<unsigned char>> values_store;  // zero-padded values
  std::vector<void *> values_ptrs;
  std::vector<EbStep> steps;  // one per per-record field
};

// Parses a decoded header tree into d's layout. 0, or -1 (d keeps none).
int EBParseHeader(ExtBinLogReaderData *d, ASNNodePtr root);
// Reads the header at offset 4 of the .log, parses it and sets data_begin.
// 0 or -1.
int EBGetHeader(ExtBinLogReaderData *d);
// Frees the layout.
void EBFreeHeaderInfo(ExtBinLogReaderData *d);

// The reader of an extended binary log, or null: names starting with
// REQFILEUTILS_REQUEST_TYPE_BINARY_EXT_PREFIX whose first 4 bytes are below
// THRESHOLD_DATE and whose header decodes and parses (or an empty file when
// loadZeroSize is non-zero).
LogFileReaderPtr KXExtBinaryFileTest(const char *filename, int loadZeroSize,
                                     ReqFileFilterFunc filter_func, void *filter);

// An extended binary reader of filename (copied) whose records start at
// data_begin; null when out of memory.
LogFileReaderPtr CreateExtBinaryReader(const char *filename, off_t data_begin);
