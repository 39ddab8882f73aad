// What the three format readers share: the read buffer and its cursor,
// the common reader state, the hooks a format gives the shared algorithms,
// and those algorithms (index search, date cache, record stepping).
// Callers of the readers need only lib/logfiles/logfile.h.
#pragma once

#include <sys/types.h>
#include <time.h>

#include "lib/logfiles/logfile.h"

// Non-zero when the part of path after its last "/" starts with prefix.
int CheckFileName(const char *path, const char *prefix);

// Size of the file, -1 when it cannot be examined.
off_t filesize(const char *path);

// Opens a file for a format tester: read-only and close-on-exec, without
// waiting (a pipe named like a log would block the open until a writer
// came), and only when it is a regular file. The descriptor, or -1.
int logfile_open_candidate(const char *path);

// --- Reader state (for the format readers) ----------------------------------

// The read buffer and its position in the .log.
struct LogReadCursor {
  int fd = -1;                      // descriptor of the .log; -1 while closed
  unsigned char *buffer = nullptr;  // null until first needed
  int buffer_size = 0;              // valid bytes in the buffer
  int buffer_capacity = 0;          // bytes allocated (EXTENT_SIZE steps)
  off_t buffer_offset = 0;          // .log offset of the buffer's first byte
  unsigned char *current = nullptr; // start of the record decoded last
  unsigned char *next = nullptr;    // parse position
  off_t current_offset = -1;        // .log offset of `current`
};

struct LogFormatHooks;

// The state every format keeps (the standard binary reader's whole state).
struct CommonReaderData : LogFileTimeBounds, LogReadCursor {
  CommonReaderData(const char *name, int type);
  virtual ~CommonReaderData();
  CommonReaderData(const CommonReaderData &) = delete;
  CommonReaderData &operator=(const CommonReaderData &) = delete;

  char *filename = nullptr;         // own copy of the .log path
  off_t filesize = 0;               // .log size as last seen
  int field_count = 0;              // 0 while the layout is unknown
  int file_type = 0;
  unsigned char *fields = nullptr;  // ids in record order, 0-terminated
  unsigned char *ftypes = nullptr;  // type bytes in record order
  const LogFormatHooks *hooks = nullptr;  // the format's (set by its reader's maker)

  // The readable part of the log, as last found: of `indexed` index
  // entries, the first `readable` lead to whole records; trusted while the
  // index and the .log keep the sizes they had (`indexed` -1: not found).
  off_t indexed = -1;
  off_t readable = 0;
  off_t readable_logsize = -1;
};
typedef CommonReaderData BinLogReaderData;

// What the shared algorithms need of a format.
struct LogFormatHooks {
  // Makes the layout known (reads the header); 0 or -1. Null: always known.
  int (*layout)(CommonReaderData *d);
  // Offset of the first record (0, or after the header).
  off_t (*first_offset)(CommonReaderData *d);
  // Decodes one record from p (at most end - p valid bytes) into row:
  // returns its length (> 0), LOGFILE_NEED_MORE when it reaches past end, or
  // LOGFILE_CORRUPT.
  long (*decode)(CommonReaderData *d, RecordPtr row, unsigned char *p, unsigned char *end);
  // The time of the record at a .log offset, read through fd without
  // disturbing the reader's buffer; 0 or -1.
  int (*time_at)(CommonReaderData *d, int fd, off_t offset, time_t *t);
  // The first record's time (the standard format reads it at offset 0, the
  // others at the first index entry); 0 or -1.
  int (*first_time)(CommonReaderData *d, int logfd, int ndxfd, time_t *t);
  // The time of the record at a .log offset when the whole record is in
  // the file (a log cut short ends inside its last record, or before it),
  // read through fd without disturbing the reader's buffer; 0 or -1.
  int (*whole_at)(CommonReaderData *d, int fd, off_t offset, time_t *t);
};

#define LOGFILE_NEED_MORE (-2L)
#define LOGFILE_CORRUPT (-3L)

// --- Shared routines (for the format readers) --------------------------------

// Reads the stored bounds when NAME.rep matches the .log's size (d->filesize
// is set to that size first when the .log is not empty). 0 when the bounds
// were taken from it, -1 otherwise.
int GetDatesFromREPFile(CommonReaderData *d);
// Writes NAME.rep (d->start, d->end, size); failures are ignored.
void SaveDatesToREPFile(CommonReaderData *d, off_t size);

// Refills the buffer for the record at c->next (see logfile.cc). 0, or -1
// with the buffer freed (end of file, a record over INPUT_RECORD_MAXSIZE, no
// memory).
int adjust_read_buffer(LogReadCursor *c);
// Reads EXTENT_SIZE bytes at offset into the buffer (allocating it when
// needed) and sets the parse position to its start. 0, or -1 (nothing read).
int logfile_read_at(LogReadCursor *c, off_t offset);
// Frees the read buffer.
void logfile_free_buffer(LogReadCursor *c);
// Decodes the record at the parse position (refilling as needed) and moves
// past it. -1 when the buffer is gone or the record cannot be read (the
// buffer is then freed).
int logfile_decode(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row);

// The operations the three formats share, given their hooks.
LogFileTimeBounds *logfile_time_bounds(CommonReaderData *d, const LogFormatHooks *h);
int logfile_first_rec(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row);
int logfile_next_rec(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row);
// Moves the read position past a decoded record of n bytes at d->next.
inline void logfile_took_record(CommonReaderData *d, long n) {
  d->current = d->next;
  d->current_offset = d->buffer_offset + (d->current - d->buffer);
  d->next += n;
}
// logfile_next_rec with the format's decoder called directly while the
// record lies within the buffer; refills and failures take the shared way.
template <long (*Decode)(CommonReaderData *, RecordPtr, unsigned char *, unsigned char *)>
inline int logfile_next_rec_as(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row) {
  if (d->fd >= 0 && row && d->buffer && d->next) {
    if (long n = Decode(d, row, d->next, d->buffer + d->buffer_size); n > 0) {
      logfile_took_record(d, n);
      return 0;
    }
  }
  return logfile_next_rec(d, h, row);
}
int logfile_rec_by_time(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row, time_t t);
int logfile_rec_by_number(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row, off_t n);
int logfile_records_number(CommonReaderData *d, off_t *n);
int logfile_report_records(CommonReaderData *d, const LogFormatHooks *h, time_t start, time_t end,
                           off_t *n);
off_t logfile_record_offset(const CommonReaderData *d);
// A first_time hook for the formats whose index entry 0 holds the first
// record's .log offset: the time there, read with time_at; 0 or -1.
int logfile_first_indexed_time(CommonReaderData *d, int logfd, int ndxfd,
                               int (*time_at)(CommonReaderData *d, int fd, off_t offset, time_t *t), time_t *t);
// Closes the .log and frees the read buffer.
void logfile_close(CommonReaderData *d);

// Walks the record at a .log offset through fd in a buffer of its own
// (the reader's is left alone): walk gets the bytes from the offset on and
// returns the record's length (> 0), LOGFILE_NEED_MORE when it reaches past
// them, or LOGFILE_CORRUPT; more bytes are read while it needs more, up to
// INPUT_RECORD_MAXSIZE. 0 when it took a record, -1 otherwise. The bytes
// may be changed by walk; a zeroed slack follows them.
int logfile_walk_at(int fd, off_t offset, long (*walk)(void *ctx, unsigned char *p, unsigned char *end),
                    void *ctx);

// LogFileReadable for the formats (also used by their bounds, searches and
// counts): the index entries and the readable ones; 0 or -1.
int logfile_readable(CommonReaderData *d, const LogFormatHooks *h, off_t *indexed, off_t *readable);
