#include "lib/logfiles/logfile_sb.h"
#include "lib/base/kxfile.h"

#include "lib/base/kxendian.h"
#include "lib/logfiles/logfile_format.h"
#include "lib/logfiles/logfile_scan.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

unsigned char SBFields[] = {FIELD_DATE, FIELD_IP, FIELD_USER, FIELD_GROUP, FIELD_CATS, FIELD_DENIED_FLAG,
                            FIELD_URI, 0};
unsigned char SBFTypes[] = {0x43, 0x57, 0x16, 0x16, 0x16, 0x71, 0x16, 0};
static char sb_date[] = "DATE", sb_ip[] = "IP", sb_user[] = "USER", sb_group[] = "GROUP", sb_cats[] = "CATS",
            sb_denied[] = "DENIEDFLAG", sb_uri[] = "URI";
char *SBFNames[] = {sb_date, sb_ip, sb_user, sb_group, sb_cats, sb_denied, sb_uri, nullptr};

static constexpr int kSBFieldCount = 7;

static CommonReaderData *data_of(LogFileReaderPtr r) { return r->prop; }

// The length of a NUL-terminated text at p (with its NUL), or 0 when the
// NUL is not within the valid bytes.
static inline long text_len(unsigned char *p, unsigned char *end) {
  const unsigned char *z = logfile_find_nul(p, end);
  return z ? z - p + 1 : 0;
}

// Sets the CATS entry by the form the record holds at c.
static inline void set_cats(Record &e, unsigned char *c) {
  if (c[0] == LOGGER_CATSTR_PREFIX) {
    e.datatype = 0x16;
    e.data = c + 1;
  } else {
    e.datatype = 0x36;
    e.data = c;
  }
}

// A record whose four texts all end within the 64 bytes after its fixed
// part (most do): one mask of those bytes' NULs gives every text's end, with
// no scan per text. The length, or 0 when the record is not of that kind.
static inline long sb_decode_short(RecordPtr row, unsigned char *p, unsigned char *end) {
#if defined(__SSE2__)
  if (end - p < 8 + 64) return 0;
  unsigned char *q = p + 8;
  uint64_t m = logfile_nul_mask64(q);
  // Three NULs at least (the fourth is looked for past the flag byte); no
  // population count, which without a target flag is a library call.
  uint64_t rest = m & (m - 1);
  if (!(rest & (rest - 1))) return 0;
  unsigned u = static_cast<unsigned>(__builtin_ctzll(m));
  m &= m - 1;
  unsigned g = static_cast<unsigned>(__builtin_ctzll(m));
  m &= m - 1;
  unsigned c = static_cast<unsigned>(__builtin_ctzll(m));
  // The DENIEDFLAG byte after the CATS text may itself be 0.
  unsigned flag = c + 1;
  if (flag >= 63) return 0;
  m &= ~((uint64_t{2} << flag) - 1);
  if (!m) return 0;
  unsigned z = static_cast<unsigned>(__builtin_ctzll(m));
  auto *ip = static_cast<kx_ipaddr *>(row[1].data);
  row[0].data = p;
  ip->family = AF_INET;
  ip->addr.ip = kx_le32(p + 4);
  row[2].data = q;
  row[3].data = q + u + 1;
  set_cats(row[4], q + g + 1);
  row[5].data = q + flag;
  row[6].data = q + flag + 1;
  return 8 + static_cast<long>(z) + 1;
#else
  (void)row;
  (void)p;
  (void)end;
  return 0;
#endif
}

LOGFILE_DECODER static long sb_decode(CommonReaderData *, RecordPtr row, unsigned char *p, unsigned char *end) {
  unsigned char *s = p;
  if (end - p < 8) return LOGFILE_NEED_MORE;
  if (!row[1].data) return LOGFILE_CORRUPT;
  if (long n = sb_decode_short(row, p, end)) return n;
  row[0].data = p;  // DATE
  auto *ip = static_cast<kx_ipaddr *>(row[1].data);
  ip->family = AF_INET;
  ip->addr.ip = kx_le32(p + 4);
  p += 8;
  long n;
  if (!(n = text_len(p, end))) return LOGFILE_NEED_MORE;  // USER
  row[2].data = p;
  p += n;
  if (!(n = text_len(p, end))) return LOGFILE_NEED_MORE;  // GROUP
  row[3].data = p;
  p += n;
  if (!(n = text_len(p, end))) return LOGFILE_NEED_MORE;  // CATS
  set_cats(row[4], p);
  p += n;
  if (end - p < 1) return LOGFILE_NEED_MORE;  // DENIEDFLAG
  row[5].data = p;
  p += 1;
  if (!(n = text_len(p, end))) return LOGFILE_NEED_MORE;  // URI
  row[6].data = p;
  p += n;
  return p - s;
}

// The 4-byte time at offset.
static int sb_time_at(CommonReaderData *, int fd, off_t offset, time_t *t) {
  unsigned char b[4];
  if (file_pread_full(fd, b, sizeof b, offset) != static_cast<ssize_t>(sizeof b)) return -1;
  *t = static_cast<int32_t>(kx_le32(b));
  return 0;
}

static int sb_first_time(CommonReaderData *d, int logfd, int, time_t *t) { return sb_time_at(d, logfd, 0, t); }

static off_t sb_first_offset(CommonReaderData *) { return 0; }

// A record decoded apart from the reader, into a row of its own.
struct SbProbe {
  CommonReaderData *d;
  Record row[kSBFieldCount + 1];
  kx_ipaddr ip;
  time_t t;
};

static long sb_probe(void *ctx, unsigned char *p, unsigned char *end) {
  auto *pr = static_cast<SbProbe *>(ctx);
  long n = sb_decode(pr->d, pr->row, p, end);
  if (n > 0) pr->t = static_cast<int32_t>(kx_le32(p));
  return n;
}

static int sb_whole_at(CommonReaderData *d, int fd, off_t offset, time_t *t) {
  SbProbe pr{d, {}, {}, 0};
  pr.row[1].data = &pr.ip;
  if (logfile_walk_at(fd, offset, sb_probe, &pr) != 0) return -1;
  *t = pr.t;
  return 0;
}

static const LogFormatHooks kSBHooks = {nullptr, sb_first_offset, sb_decode, sb_time_at, sb_first_time, sb_whole_at};

// --- The operations ------------------------------------------------------------------

static LogFileTimeBounds *SBGetTimeBounds(LogFileReaderPtr r) { return logfile_time_bounds(data_of(r), &kSBHooks); }
static off_t SBGetFileSize(LogFileReaderPtr r) { return data_of(r)->filesize; }
static int SBGetFirstRec(LogFileReaderPtr r, RecordPtr row) { return logfile_first_rec(data_of(r), &kSBHooks, row); }
static int SBGetNextRec(LogFileReaderPtr r, RecordPtr row) {
  return logfile_next_rec_as<sb_decode>(data_of(r), &kSBHooks, row);
}
static int SBGetRecByTime(LogFileReaderPtr r, RecordPtr row, time_t t) {
  return logfile_rec_by_time(data_of(r), &kSBHooks, row, t);
}
static int SBGetRecByNumber(LogFileReaderPtr r, RecordPtr row, off_t n) {
  return logfile_rec_by_number(data_of(r), &kSBHooks, row, n);
}
static time_t SBRecordTime(LogFileReaderPtr, RecordPtr row) {
  if (!row || !row[0].data) return -1;
  return static_cast<int32_t>(kx_le32(static_cast<const unsigned char *>(row[0].data)));
}
static off_t SBRecordOffset(LogFileReaderPtr r) { return logfile_record_offset(data_of(r)); }
static int SBGetFieldsNumber(LogFileReaderPtr) { return kSBFieldCount; }
static unsigned char *SBGetFieldsList(LogFileReaderPtr) { return SBFields; }
static char **SBGetFieldsNames(LogFileReaderPtr) { return SBFNames; }
static unsigned char *SBGetFieldsPrintTypes(LogFileReaderPtr) { return SBFTypes; }

static void SBFreeReader(LogFileReaderPtr r) {
  if (!r) return;
  delete r->prop;
  delete r;
}

// One block: the entries, then the IP entry's address.
static RecordPtr SBAllocateRecords(LogFileReaderPtr, int extra) {
  if (extra < 0 || extra > 255) return nullptr;
  size_t entries = static_cast<size_t>(kSBFieldCount + extra + 1);
  auto *row = static_cast<RecordPtr>(calloc(1, entries * sizeof(Record) + sizeof(kx_ipaddr)));
  if (!row) return nullptr;
  for (int i = 0; i < kSBFieldCount; ++i) {
    row[i].type = SBFields[i];
    row[i].datatype = SBFTypes[i];
  }
  auto *ip = reinterpret_cast<kx_ipaddr *>(row + entries);
  kxnet_defaultip(ip);
  row[1].data = ip;
  return row;
}

static void SBFreeRecords(LogFileReaderPtr, RecordPtr row) { free(row); }
static int SBGetRecordsNumber(LogFileReaderPtr r, off_t *n) { return logfile_records_number(data_of(r), n); }
static int SBGetFileType(LogFileReaderPtr r) { return data_of(r)->file_type; }
static int SBGetReportRecordsNumber(LogFileReaderPtr r, time_t start, time_t end, off_t *n) {
  return logfile_report_records(data_of(r), &kSBHooks, start, end, n);
}

const LogFileReaderMethods SBMethods = {
    SBGetTimeBounds,   SBGetFileSize,        SBGetFirstRec,   SBGetNextRec,       SBGetRecByTime,
    SBGetRecByNumber,  SBRecordTime,         SBRecordOffset,  SBGetFieldsNumber,  SBGetFieldsList,
    SBGetFieldsNames,  SBGetFieldsPrintTypes, SBFreeReader,   SBAllocateRecords,  SBFreeRecords,
    SBGetRecordsNumber, SBGetFileType,       SBGetReportRecordsNumber,
};

LogFileReaderPtr CreateBinaryReader(const char *filename) {
  if (!filename) return nullptr;
  auto *d = new (std::nothrow) CommonReaderData(filename, REQFILEUTILS_REQUEST_TYPE_BINARY);
  if (!d) return nullptr;
  if (!d->filename) {
    delete d;
    return nullptr;
  }
  d->hooks = &kSBHooks;
  d->field_count = kSBFieldCount;
  d->fields = SBFields;
  d->ftypes = SBFTypes;
  auto *r = new (std::nothrow) LogFileReader{&SBMethods, d};
  if (!r) delete d;
  return r;
}

LogFileReaderPtr KXBinaryFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                                  void *filter) {
  if (!filename) return nullptr;
  if (!CheckFileName(filename, REQFILEUTILS_REQUEST_TYPE_BINARY_PREFIX) &&
      !CheckFileName(filename, REQFILEUTILS_OLD_REQUEST_TYPE_BINARY_PREFIX))
    return nullptr;
  if (filter_func && !filter_func(filename, filter)) return nullptr;
  int fd = logfile_open_candidate(filename);
  if (fd < 0) return nullptr;
  unsigned char b[4];
  ssize_t n = file_pread_full(fd, b, sizeof b, 0);
  struct stat st;
  bool empty = n == 0 && fstat(fd, &st) == 0 && st.st_size == 0;
  close(fd);
  // A file too short for a first time value holds no record.
  bool accept = empty ? loadZeroSize != 0
                      : n == static_cast<ssize_t>(sizeof b) &&
                            static_cast<int32_t>(kx_le32(b)) > THRESHOLD_DATE - 1;
  return accept ? CreateBinaryReader(filename) : nullptr;
}
