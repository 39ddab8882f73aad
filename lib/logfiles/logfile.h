// Request log files: one reader object for the three formats (standard
// binary, extended binary, text), the recognition of a file's format, the
// record index (NAME.ndx) and the date cache (NAME.rep).
//
// Files of one log, in REQFILEUTILS_REQUEST_PATH:
//   NAME.log  the records, in the format's layout
//   NAME.ndx  one unsigned 32-bit little-endian .log offset per record
//   NAME.rep  12 bytes, each a 32-bit little-endian value: time of the first
//             record, time of the last record, size of NAME.log when these
//             were taken (the date cache; the only file this system writes)
//
// A reader is made by LogFileTest (or a format's tester) and used through
// its table of 18 operations:
//
//   LogFileReaderPtr r = LogFileTest(path, 0, nullptr, nullptr);
//   RecordPtr row = r->methods->AllocateRecords(r, 0);
//   for (int rc = r->methods->GetFirstRec(r, row); rc == 0;
//        rc = r->methods->GetNextRec(r, row)) { ... }
//   r->methods->FreeRecords(r, row);
//   r->methods->FreeReader(r);
//
// Operations returning int give 0 for success and -1 for failure; nothing is
// logged. A decoded row's entries point into the reader's read buffer (or at
// value storage of the row) and stay valid until the next read. A reader
// belongs to one thread at a time and takes no lock.
#pragma once

#include <sys/types.h>
#include <time.h>

#include "lib/record/record.h"

// --- Names and constants -------------------------------------------------

#define REQFILEUTILS_REQUEST_PATH "../logs/"
#define LOGFILE_EXT ".log"
#define NDXFILE_EXT ".ndx"
#define REPFILE_EXT ".rep"
#define NDX_REC_SIZE 4

// File types (GetFileType); ALL selects every type where a caller filters.
#define REQFILEUTILS_REQUEST_TYPE_ALL (-1)
#define REQFILEUTILS_REQUEST_TYPE_BINARY 1
#define REQFILEUTILS_REQUEST_TYPE_TEXT 2
#define REQFILEUTILS_REQUEST_TYPE_BINARY_EXT 3

// File-name prefixes, tested on the part after the last "/". The older
// prefix begins the other three too and means standard binary.
#define REQFILEUTILS_REQUEST_TYPE_BINARY_PREFIX "kxlogger_requests_bin_"
#define REQFILEUTILS_REQUEST_TYPE_BINARY_EXT_PREFIX "kxlogger_requests_ext_"
#define REQFILEUTILS_REQUEST_TYPE_TEXT_PREFIX "kxlogger_requests_txt_"
#define REQFILEUTILS_OLD_REQUEST_TYPE_BINARY_PREFIX "kxlogger_requests"

// First request time a standard binary log can hold (2000-01-01); the
// extended format's first 4 bytes are below it.
#define THRESHOLD_DATE 946702800
// Read extent of the read buffer, and the largest record it grows to hold.
#define EXTENT_SIZE 32768
#define INPUT_RECORD_MAXSIZE 524288

// Most fields a layout may declare: a row of them with the request-log
// window's four derived fields and its terminator still fits the one-byte
// field map (indexes up to 255).
#define LOGFILE_MAX_FIELDS 251

// --- The reader ------------------------------------------------------------

struct CommonReaderData;
struct LogFileReader;
typedef LogFileReader *LogFileReaderPtr;

// 0 rejects the file before its content is read.
typedef int (*ReqFileFilterFunc)(const char *filename, void *filter);

// Time of the first and of the last record; 0 while unknown.
struct LogFileTimeBounds {
  time_t start;
  time_t end;
};

// The 18 operations, in this order.
struct LogFileReaderMethods {
  // 1. Time bounds, taken once per reader (from NAME.rep while it matches the
  // .log's size, else from the index, rewriting NAME.rep). Never null; the
  // pair belongs to the reader. Unknown bounds are 0.
  LogFileTimeBounds *(*GetTimeBounds)(LogFileReaderPtr r);
  // 2. Size of the .log as last seen (0 before the time bounds are taken).
  off_t (*GetFileSize)(LogFileReaderPtr r);
  // 3. The first record into row (opening the .log when it is closed; when
  // it is already open, the record at the parse position). 0, or -1 at the
  // end or on failure.
  int (*GetFirstRec)(LogFileReaderPtr r, RecordPtr row);
  // 4. The record at the parse position (after the one decoded last).
  int (*GetNextRec)(LogFileReaderPtr r, RecordPtr row);
  // 5. The first record whose time is at or after t; -1 when t is after the
  // last record or the index cannot be read.
  int (*GetRecByTime)(LogFileReaderPtr r, RecordPtr row, time_t t);
  // 6. Record number n (0 = first; negative counts from the end, -1 = last;
  // a number before the first gives the first). -1 when n is at or past the
  // number of records.
  int (*GetRecByNumber)(LogFileReaderPtr r, RecordPtr row, off_t n);
  // 7. Time of the record decoded into row.
  time_t (*RecordTime)(LogFileReaderPtr r, RecordPtr row);
  // 8. .log offset of the record decoded last.
  off_t (*RecordOffset)(LogFileReaderPtr r);
  // 9.-12. The layout: number of fields, their ids (0-terminated), names
  // (null-terminated) and type bytes. Owned by the reader; do not modify.
  int (*GetFieldsNumber)(LogFileReaderPtr r);
  unsigned char *(*GetFieldsList)(LogFileReaderPtr r);
  char **(*GetFieldsNames)(LogFileReaderPtr r);
  unsigned char *(*GetFieldsPrintTypes)(LogFileReaderPtr r);
  // 13. Closes the .log and frees the reader with all it owns (null-safe).
  void (*FreeReader)(LogFileReaderPtr r);
  // 14. A zeroed row of GetFieldsNumber + extra + 1 entries carrying the
  // layout's ids and type bytes, with the value storage the format needs;
  // the extra entries and the terminator have id 0. Null on failure (also
  // when the layout cannot be read). Free it with FreeRecords of the same
  // reader, before the reader.
  RecordPtr (*AllocateRecords)(LogFileReaderPtr r, int extra);
  // 15. Frees a row made by AllocateRecords (null-safe). Data that the
  // caller put into entries (RECORD_FLAG_OWNED) is the caller's to free.
  void (*FreeRecords)(LogFileReaderPtr r, RecordPtr row);
  // 16. Records in the log (size of NAME.ndx / 4) into *n; -1 when NAME.ndx
  // cannot be opened.
  int (*GetRecordsNumber)(LogFileReaderPtr r, off_t *n);
  // 17. REQFILEUTILS_REQUEST_TYPE_BINARY, _TEXT or _BINARY_EXT.
  int (*GetFileType)(LogFileReaderPtr r);
  // 18. Number of records whose time lies in [start, end] into *n; 0 or -1.
  // Closes the .log and frees the read buffer afterwards in every case.
  int (*GetReportRecordsNumber)(LogFileReaderPtr r, time_t start, time_t end, off_t *n);
};

struct LogFileReader {
  const LogFileReaderMethods *methods;
  CommonReaderData *prop;  // the format's state
};

// A format tester: the reader for a file of its format, or null.
typedef LogFileReaderPtr (*LogFileTestFunc)(const char *filename, int loadZeroSize,
                                            ReqFileFilterFunc filter_func, void *filter);

// The testers in the order LogFileTest tries them (text, extended binary,
// standard binary), ended by null.
extern const LogFileTestFunc LogFileTesters[];

// The reader of the first tester in LogFileTesters that accepts the file,
// or null. A tester accepts a file only when its base name starts with the
// format's prefix, filter_func (when given) returns non-zero for
// (filename, filter), the file opens, and either it is empty and
// loadZeroSize is non-zero or its first bytes fit the format. The caller
// owns the reader and frees it with its FreeReader.
LogFileReaderPtr LogFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                             void *filter);

// How much of a log can be read: the entries of its index into *indexed,
// and how many of them, from the first on, lead to whole records in the
// .log into *readable (fewer when the .log was cut short or its last
// entries lead past its end). The bounds, searches and counts of the
// reader stand on those records alone. Either pointer may be null. 0, or
// -1 when the index or the layout cannot be read.
int LogFileReadable(LogFileReaderPtr r, off_t *indexed, off_t *readable);
