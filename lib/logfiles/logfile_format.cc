#include "lib/logfiles/logfile_format.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "lib/base/kxendian.h"
#include "lib/base/kxfile.h"
#include "lib/base/kxraii.h"
#include "lib/logfiles/logfile_scan.h"

// Slack after the buffer's capacity, always zero, so that a consumer reading
// a fixed-size value or scanning a block at the very end of the valid bytes
// stays in memory the buffer owns.
static constexpr int kBufferSlack = LOGFILE_SCAN_SLACK;

int CheckFileName(const char *path, const char *prefix) {
  if (!path || !prefix) return 0;
  const char *slash = strrchr(path, '/');
  const char *base = slash ? slash + 1 : path;
  return strncmp(base, prefix, strlen(prefix)) == 0;
}

off_t filesize(const char *path) { return path ? static_cast<off_t>(file_size(path)) : -1; }

int logfile_open_candidate(const char *path) {
  if (!path) return -1;
  kx_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return fd.release();
}

CommonReaderData::CommonReaderData(const char *name, int type) : file_type(type) {
  start = 0;
  end = 0;
  filename = strdup(name);
}

CommonReaderData::~CommonReaderData() {
  logfile_close(this);
  free(filename);
}

// --- Small file helpers --------------------------------------------------------

// Path of a sibling file: the .log path with its last four characters
// replaced by ext.
static std::string sibling(const CommonReaderData *d, const char *ext) {
  std::string s(d->filename);
  if (s.size() >= 4) s.resize(s.size() - 4);
  return s + ext;
}

// Reads exactly len bytes at off; 0 or -1.
static int pread_full(int fd, void *buf, size_t len, off_t off) {
  return file_pread_full(fd, buf, len, off) == static_cast<ssize_t>(len) ? 0 : -1;
}

static kx_fd open_read(const std::string &path) { return kx_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)); }

// Number of index entries behind an open NAME.ndx; -1 when it cannot be
// examined. A partly written last entry does not count.
static off_t ndx_entries(int ndxfd) {
  struct stat st;
  if (fstat(ndxfd, &st) != 0) return -1;
  return st.st_size / NDX_REC_SIZE;
}

// The .log offset of index entry i (0-based); 0 or -1. The position is
// computed in 64 bits.
static int ndx_entry(int ndxfd, off_t i, off_t *offset) {
  unsigned char b[NDX_REC_SIZE];
  if (i < 0 || pread_full(ndxfd, b, sizeof b, i * static_cast<off_t>(NDX_REC_SIZE)) != 0) return -1;
  *offset = static_cast<off_t>(kx_le32(b));
  return 0;
}

int logfile_first_indexed_time(CommonReaderData *d, int logfd, int ndxfd,
                               int (*time_at)(CommonReaderData *d, int fd, off_t offset, time_t *t), time_t *t) {
  off_t first = 0;
  if (ndx_entry(ndxfd, 0, &first) != 0) return -1;
  return time_at(d, logfd, first, t);
}

// --- The read buffer --------------------------------------------------------------

void logfile_free_buffer(LogReadCursor *c) {
  free(c->buffer);
  c->buffer = nullptr;
  c->buffer_size = 0;
  c->buffer_capacity = 0;
  c->current = nullptr;
  c->next = nullptr;
}

void logfile_close(CommonReaderData *d) {
  logfile_free_buffer(d);
  if (d->fd >= 0) close(d->fd);
  d->fd = -1;
}

int logfile_walk_at(int fd, off_t offset, long (*walk)(void *ctx, unsigned char *p, unsigned char *end),
                    void *ctx) {
  if (fd < 0 || offset < 0) return -1;
  // Most records are short: a small first read, then larger ones.
  for (size_t want = 1024;; want = std::min<size_t>(want * 16, INPUT_RECORD_MAXSIZE)) {
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[want + kBufferSlack]());
    if (!buf) return -1;
    ssize_t n = file_pread_full(fd, buf.get(), want, offset);
    if (n <= 0) return -1;
    long len = walk(ctx, buf.get(), buf.get() + n);
    if (len > 0) return 0;
    // The file ends within the record, or the record is over the limit.
    if (len != LOGFILE_NEED_MORE || static_cast<size_t>(n) < want || want >= INPUT_RECORD_MAXSIZE) return -1;
  }
}

// Makes the buffer at least cap bytes (keeping its content and the
// positions of current and next); 0 or -1 (the buffer is unchanged).
static int reserve_buffer(LogReadCursor *c, int cap) {
  if (c->buffer && c->buffer_capacity >= cap) return 0;
  ptrdiff_t cur = c->current ? c->current - c->buffer : -1;
  ptrdiff_t nxt = c->next ? c->next - c->buffer : 0;
  auto *nb = static_cast<unsigned char *>(realloc(c->buffer, static_cast<size_t>(cap) + kBufferSlack));
  if (!nb) return -1;
  memset(nb + cap, 0, kBufferSlack);
  c->buffer = nb;
  c->buffer_capacity = cap;
  c->current = cur >= 0 ? nb + cur : nullptr;
  c->next = nb + nxt;
  return 0;
}

// Zeroes the bytes right after the valid ones (the slack at least).
static void clear_after_valid(LogReadCursor *c) {
  memset(c->buffer + c->buffer_size, 0, kBufferSlack);
}

int logfile_read_at(LogReadCursor *c, off_t offset) {
  if (c->fd < 0 || offset < 0) return -1;
  if (!c->buffer && reserve_buffer(c, EXTENT_SIZE) != 0) return -1;
  ssize_t n = file_pread_full(c->fd, c->buffer, EXTENT_SIZE, offset);
  c->buffer_offset = offset;
  c->current = nullptr;
  c->next = c->buffer;
  if (n <= 0) {
    c->buffer_size = 0;
    return -1;
  }
  c->buffer_size = static_cast<int>(n);
  clear_after_valid(c);
  return 0;
}

int adjust_read_buffer(LogReadCursor *c) {
  if (!c->buffer || c->fd < 0) return -1;
  if (c->next != c->buffer) {
    // Move the unread tail to the front; the record starts there now.
    int tail = static_cast<int>(c->buffer + c->buffer_size - c->next);
    c->buffer_offset += c->next - c->buffer;
    memmove(c->buffer, c->next, static_cast<size_t>(tail));
    c->buffer_size = tail;
    c->next = c->buffer;
    c->current = nullptr;
  } else if (c->buffer_size == c->buffer_capacity) {
    // The record fills the buffer: grow it by one extent, up to the limit.
    if (c->buffer_capacity + EXTENT_SIZE > INPUT_RECORD_MAXSIZE ||
        reserve_buffer(c, c->buffer_capacity + EXTENT_SIZE) != 0) {
      logfile_free_buffer(c);
      return -1;
    }
  }
  ssize_t n = file_pread_full(c->fd, c->buffer + c->buffer_size,
                         static_cast<size_t>(c->buffer_capacity - c->buffer_size),
                         c->buffer_offset + c->buffer_size);
  if (n <= 0) {
    logfile_free_buffer(c);
    return -1;
  }
  c->buffer_size += static_cast<int>(n);
  clear_after_valid(c);
  return 0;
}

int logfile_decode(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row) {
  if (!row) return -1;
  for (;;) {
    // A buffer freed at the end of the file or on a failure stays freed: the
    // next read fails without touching it.
    if (!d->buffer || !d->next) return -1;
    long n = h->decode(d, row, d->next, d->buffer + d->buffer_size);
    if (n > 0) {
      logfile_took_record(d, n);
      return 0;
    }
    if (n != LOGFILE_NEED_MORE) {
      logfile_free_buffer(d);
      return -1;
    }
    if (adjust_read_buffer(d) != 0) return -1;
  }
}

static int open_log(CommonReaderData *d) {
  if (d->fd >= 0) return 0;
  d->fd = open(d->filename, O_RDONLY | O_CLOEXEC);
  return d->fd >= 0 ? 0 : -1;
}

// A positioned read: the record at offset, decoded into row.
static int read_record_at(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row, off_t offset) {
  if (open_log(d) != 0) return -1;
  if (logfile_read_at(d, offset) != 0) {
    logfile_free_buffer(d);
    return -1;
  }
  return logfile_decode(d, h, row);
}

// --- The 18 operations' shared parts -------------------------------------------------

int logfile_first_rec(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row) {
  if (!row) return -1;
  if (h->layout && h->layout(d) != 0) return -1;
  if (d->fd >= 0) return logfile_decode(d, h, row);
  return read_record_at(d, h, row, h->first_offset(d));
}

int logfile_next_rec(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row) {
  if (d->fd < 0) return -1;
  return logfile_decode(d, h, row);
}

// --- The readable part of a log ------------------------------------------------------

// Whether index entry i leads to a whole record; its time into *t.
static bool entry_whole(CommonReaderData *d, const LogFormatHooks *h, int logfd, int ndxfd, off_t i, time_t *t) {
  off_t off;
  return ndx_entry(ndxfd, i, &off) == 0 && h->whole_at(d, logfd, off, t) == 0;
}

// Of the count entries of the index, how many from the first on lead to
// whole records. A log is cut at its end, so the whole records come first:
// the last entry is tried, and only when it fails is the first one that
// fails searched for. Kept in d while both files keep their sizes, so that
// a reader probes a damaged log once. Needs the layout.
static off_t readable_entries(CommonReaderData *d, const LogFormatHooks *h, int logfd, int ndxfd, off_t count) {
  struct stat st;
  const off_t logsize = fstat(logfd, &st) == 0 ? st.st_size : -1;
  if (logsize >= 0 && d->indexed == count && d->readable_logsize == logsize) return d->readable;
  time_t t;
  off_t k = count;
  if (count > 0 && !entry_whole(d, h, logfd, ndxfd, count - 1, &t)) {
    off_t lo = -1, hi = count - 1;  // entry lo is whole (-1: none is), entry hi is not
    while (hi - lo > 1) {
      off_t mid = lo + (hi - lo) / 2;
      if (entry_whole(d, h, logfd, ndxfd, mid, &t))
        lo = mid;
      else
        hi = mid;
    }
    k = lo + 1;
  }
  d->indexed = count;
  d->readable = k;
  d->readable_logsize = logsize;
  return k;
}

int logfile_readable(CommonReaderData *d, const LogFormatHooks *h, off_t *indexed, off_t *readable) {
  if (!d || !h) return -1;
  if (h->layout && h->layout(d) != 0) return -1;
  kx_fd logfd(open(d->filename, O_RDONLY | O_CLOEXEC));
  kx_fd ndx = open_read(sibling(d, NDXFILE_EXT));
  if (!logfd.valid() || !ndx.valid()) return -1;
  off_t count = ndx_entries(ndx.get());
  if (count < 0) return -1;
  off_t k = readable_entries(d, h, logfd.get(), ndx.get(), count);
  if (indexed) *indexed = count;
  if (readable) *readable = k;
  return 0;
}

// The first record number whose time is at or after t, and its offset:
// 0; 1 when t is after the last record (*recno = the number of records);
// -1 when a read failed.
static int search_time(CommonReaderData *d, const LogFormatHooks *h, time_t t, off_t *offset,
                       off_t *recno) {
  bool was_open = d->fd >= 0;
  if (open_log(d) != 0) return -1;
  kx_fd ndx = open_read(sibling(d, NDXFILE_EXT));
  if (!ndx.valid()) {
    if (!was_open) logfile_close(d);
    return -1;
  }
  int rc = -1;
  off_t count = ndx_entries(ndx.get());
  // Only the records that can be read are searched.
  if (count >= 0) count = readable_entries(d, h, d->fd, ndx.get(), count);
  if (count >= 0) {
    off_t lo = 0, hi = count - 1;
    bool ok = true;
    while (lo <= hi) {
      off_t mid = lo + (hi - lo) / 2;
      off_t off;
      time_t rt;
      if (ndx_entry(ndx.get(), mid, &off) != 0 || h->time_at(d, d->fd, off, &rt) != 0) {
        ok = false;
        break;
      }
      if (rt < t)
        lo = mid + 1;
      else
        hi = mid - 1;
    }
    if (ok && lo >= count) {
      *recno = count;
      rc = 1;
    } else if (ok && ndx_entry(ndx.get(), lo, offset) == 0) {
      *recno = lo;
      rc = 0;
    }
  }
  ndx.reset();
  // A failed search leaves a closed log closed, so that GetFirstRec still
  // starts from the beginning.
  if (rc != 0 && !was_open) logfile_close(d);
  return rc;
}

int logfile_rec_by_time(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row, time_t t) {
  if (!row) return -1;
  if (h->layout && h->layout(d) != 0) return -1;
  off_t offset, recno;
  if (search_time(d, h, t, &offset, &recno) != 0) return -1;
  return read_record_at(d, h, row, offset);
}

int logfile_rec_by_number(CommonReaderData *d, const LogFormatHooks *h, RecordPtr row, off_t n) {
  if (!row) return -1;
  if (h->layout && h->layout(d) != 0) return -1;
  kx_fd ndx = open_read(sibling(d, NDXFILE_EXT));
  if (!ndx.valid()) return -1;
  off_t count = ndx_entries(ndx.get());
  off_t offset = 0;
  int rc = -1;
  if (count >= 0) {
    // Record numbers, not byte positions: no multiplication can overflow,
    // and a partly written last entry is never read.
    off_t i = n;
    if (n < 0) i = n < -count ? 0 : count + n;
    if (i < count && ndx_entry(ndx.get(), i, &offset) == 0) rc = 0;
  }
  ndx.reset();
  if (rc != 0) return -1;
  return read_record_at(d, h, row, offset);
}

int logfile_records_number(CommonReaderData *d, off_t *n) {
  kx_fd ndx = open_read(sibling(d, NDXFILE_EXT));
  off_t count = ndx.valid() ? ndx_entries(ndx.get()) : -1;
  if (count < 0) return -1;
  if (n) *n = count;
  return 0;
}

off_t logfile_record_offset(const CommonReaderData *d) { return d->current_offset; }

// --- Date cache and time bounds ----------------------------------------------------------

int GetDatesFromREPFile(CommonReaderData *d) {
  off_t size = filesize(d->filename);
  if (size <= 0) return -1;
  d->filesize = size;
  unsigned char b[12];
  kx_fd fd = open_read(sibling(d, REPFILE_EXT));
  if (!fd.valid() || pread_full(fd.get(), b, sizeof b, 0) != 0 || kx_le32(b + 8) != static_cast<uint32_t>(size))
    return -1;
  d->start = static_cast<int32_t>(kx_le32(b));
  d->end = static_cast<int32_t>(kx_le32(b + 4));
  return 0;
}

void SaveDatesToREPFile(CommonReaderData *d, off_t size) {
  const std::string rep = sibling(d, REPFILE_EXT);
  kx_fd fd(open(rep.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return;
  unsigned char b[12];
  kx_put_le32(b, static_cast<uint32_t>(d->start));
  kx_put_le32(b + 4, static_cast<uint32_t>(d->end));
  kx_put_le32(b + 8, static_cast<uint32_t>(size));
  // A cache written in part would be read back as valid bounds next time.
  bool written = file_pwrite_all(fd.get(), b, sizeof b, 0);
  fd.reset();
  if (!written) unlink(rep.c_str());
}

LogFileTimeBounds *logfile_time_bounds(CommonReaderData *d, const LogFormatHooks *h) {
  if (d->end != 0) return d;
  if (GetDatesFromREPFile(d) == 0 && d->end != 0) return d;
  d->start = d->end = 0;

  // The size is taken before the index is read: should the log grow
  // meanwhile, the cache then holds a size the log no longer has, never new
  // bounds' size with old bounds.
  off_t size = filesize(d->filename);
  if (size > 0 && (!h->layout || h->layout(d) == 0)) {
    kx_fd logfd(open(d->filename, O_RDONLY | O_CLOEXEC));
    kx_fd ndx = open_read(sibling(d, NDXFILE_EXT));
    if (logfd.valid() && ndx.valid()) {
      time_t first, last;
      off_t count = ndx_entries(ndx.get());
      // The last record is the last one that can be read: a log cut short
      // keeps the bounds of what it holds. Only a whole log's bounds are
      // cached, so a damaged one is found damaged at every listing.
      off_t whole = count > 0 ? readable_entries(d, h, logfd.get(), ndx.get(), count) : 0;
      if (whole > 0 && h->first_time(d, logfd.get(), ndx.get(), &first) == 0 &&
          entry_whole(d, h, logfd.get(), ndx.get(), whole - 1, &last)) {
        d->start = first;
        d->end = last;
        d->filesize = size;
        if (whole == count) SaveDatesToREPFile(d, size);
      }
    }
  }
  if (d->end == 0) {
    struct stat st;
    if (stat(d->filename, &st) == 0) {
      d->filesize = st.st_size;
      if (st.st_size == 0) d->start = d->end = st.st_mtime;
    }
  }
  return d;
}

int logfile_report_records(CommonReaderData *d, const LogFormatHooks *h, time_t start, time_t end,
                           off_t *n) {
  int rc = -1;
  off_t from = 0, to = 0, off;
  if (d->end == 0) logfile_time_bounds(d, h);
  // Counted up to the last record that can be read.
  if (logfile_readable(d, h, nullptr, &to) == 0) {
    rc = 0;
    // The first record at or after start, and the first one after end.
    if (start > d->start && search_time(d, h, start, &off, &from) < 0) rc = -1;
    if (rc == 0 && end < d->end) {
      off_t past;
      if (end == static_cast<time_t>(INT64_MAX) || search_time(d, h, end + 1, &off, &past) < 0)
        rc = -1;
      else
        to = past;
    }
    if (rc == 0 && n) *n = to > from ? to - from : 0;
  }
  logfile_close(d);
  return rc;
}
