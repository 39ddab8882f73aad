#include "lib/logfiles/logfile_txt.h"
#include "lib/base/kxfile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "lib/base/kxstring.h"
#include "lib/logfiles/logfile_scan.h"

unsigned char TxtFields[] = {FIELD_DATE, FIELD_URI, FIELD_IP, FIELD_USER, FIELD_GROUP, FIELD_DENIED_FLAG,
                             FIELD_CATS, 0};
unsigned char TxtFieldTypes[] = {0x43, 0x16, 0x57, 0x16, 0x16, 0x71, 0x16, 0};
static char tx_date[] = "DATE", tx_uri[] = "URI", tx_ip[] = "IP", tx_user[] = "USER", tx_group[] = "GROUP",
            tx_denied[] = "DENIEDFLAG", tx_cats[] = "CATS";
char *TxtFieldNames[] = {tx_date, tx_uri, tx_ip, tx_user, tx_group, tx_denied, tx_cats, nullptr};

static constexpr int kTxtDefaultCount = 7;
static char kEmptyText[1] = {0};

static TxtLogReaderData *data_of(LogFileReaderPtr r) { return static_cast<TxtLogReaderData *>(r->prop); }

TxtLogReaderData::TxtLogReaderData(const char *name) : CommonReaderData(name, REQFILEUTILS_REQUEST_TYPE_TEXT) {}

TxtLogReaderData::~TxtLogReaderData() {
  free(field_names);
  free(field_names_str);
}

// --- Dates -------------------------------------------------------------------------

static time_t local_time(int year, int mon, int day, int hour, int min, int sec) {
  struct tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

time_t TxtTimeCache::convert_slow(long long k, int year, int mon, int day, int hour, int min, int sec) {
  if (k != key) {
    key = k;
    has_text = false;
    base = local_time(year, mon, day, hour, 0, 0);
    // An hour the clock does not jump in maps linearly onto its seconds.
    linear = base != -1 && local_time(year, mon, day, hour, 59, 59) - base == 3599;
  }
  if (linear) return base + min * 60 + sec;
  return local_time(year, mon, day, hour, min, sec);
}

// Reads 1 to maxd decimal digits at p (not past end) into *v; the count.
static int digits(const char *p, const char *end, int maxd, int *v) {
  int n = 0, x = 0;
  while (p + n < end && n < maxd && p[n] >= '0' && p[n] <= '9') x = x * 10 + (p[n++] - '0');
  *v = x;
  return n;
}

// "A<sep>B<sep>C" at [p, end): A of up to first_width digits, B and C of up
// to 2. Where C ends, or null.
static const char *three_numbers(const char *p, const char *end, int first_width, char sep, int *a, int *b,
                                 int *c) {
  int n = digits(p, end, first_width, a);
  if (n == 0 || p + n >= end || p[n] != sep) return nullptr;
  p += n + 1;
  if ((n = digits(p, end, 2, b)) == 0 || p + n >= end || p[n] != sep) return nullptr;
  p += n + 1;
  if ((n = digits(p, end, 2, c)) == 0) return nullptr;
  return p + n;
}

// "%Y-%m-%d" at [p, end): 0 or -1.
static int parse_day(const char *p, const char *end, int *y, int *mo, int *d) {
  p = three_numbers(p, end, 4, '-', y, mo, d);
  if (!p) return -1;
  if (p < end && p[0] >= '0' && p[0] <= '9') return -1;
  return *mo >= 1 && *mo <= 12 && *d >= 1 && *d <= 31 ? 0 : -1;
}

// "%H:%M:%S" at [p, end): 0 or -1.
static int parse_clock(const char *p, const char *end, int *h, int *mi, int *s) {
  if (!three_numbers(p, end, 2, ':', h, mi, s)) return -1;
  return *h <= 23 && *mi <= 59 && *s <= 60 ? 0 : -1;
}

// Unix seconds at [p, end) when the text is a number above 1000000000; -1.
static time_t unix_seconds(const char *p, const char *end) {
  long long v = 0;
  int n = 0;
  while (p + n < end && p[n] >= '0' && p[n] <= '9') {
    if (n == 18) return -1;  // beyond any time this system handles
    v = v * 10 + (p[n++] - '0');
  }
  return n > 0 && v > 1000000000LL ? static_cast<time_t>(v) : -1;
}

// The value of the eight ASCII digits at p, or -1 when one is not a digit.
static inline long long eight_digits(const unsigned char *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  // Every byte 0x30 to 0x39: high nibble 3, and still 3 after adding 6.
  if ((v & 0xF0F0F0F0F0F0F0F0ULL) != 0x3030303030303030ULL ||
      ((v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) != 0x3030303030303030ULL)
    return -1;
  v -= 0x3030303030303030ULL;
  v = v * 10 + (v >> 8);  // pairs of digits in every other byte
  v = ((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32)) +
       ((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32))) >>
      32;
  return static_cast<long long>(v);
}

static inline bool is_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The two-digit number at p; -1 when either is not a digit.
static inline int two_digits(const unsigned char *p) {
  return is_digit(p[0]) && is_digit(p[1]) ? (p[0] - '0') * 10 + (p[1] - '0') : -1;
}

void TxtTimeCache::remember_text(const unsigned char *p) {
  if (!linear || p[4] != '-' || p[7] != '-' || p[10] != ' ') return;
  int y1 = two_digits(p), y2 = two_digits(p + 2), mo = two_digits(p + 5), d = two_digits(p + 8),
      h = two_digits(p + 11);
  if ((y1 | y2 | mo | d | h) < 0 || (((y1 * 100LL + y2) * 100 + mo) * 100 + d) * 100 + h != key) return;
  memcpy(&text_head, p, 8);
  memcpy(&text_tail, p + 5, 8);
  has_text = true;
}

time_t TxtTimeCache::same_hour(const unsigned char *p) const {
  uint64_t head, tail;
  memcpy(&head, p, 8);
  memcpy(&tail, p + 5, 8);
  if (!has_text || head != text_head || tail != text_tail || p[13] != ':' || p[16] != ':') return -1;
  int mi = two_digits(p + 14), s = two_digits(p + 17);
  unsigned char after = p[19];
  if (mi < 0 || s < 0 || mi > 59 || s > 60 || (after != ' ' && after != '\n' && after != 0)) return -1;
  return base + mi * 60 + s;
}

// A date token at [p, e): as unix_seconds, with the usual ten digits read
// at once (ten bytes that are not all digits start with a number too small).
static inline time_t token_seconds(const unsigned char *p, const unsigned char *e) {
  if (e - p == 10) {
    long long hi = eight_digits(p);
    int lo = two_digits(p + 8);
    long long v = hi >= 0 && lo >= 0 ? hi * 100 + lo : -1;
    return v > 1000000000LL ? static_cast<time_t>(v) : -1;
  }
  return unix_seconds(reinterpret_cast<const char *>(p), reinterpret_cast<const char *>(e));
}

// A "%Y-%m-%d" token at [p, e): as parse_day, the common "YYYY-MM-DD" read
// at fixed places.
static inline bool day_token(const unsigned char *p, const unsigned char *e, int *y, int *mo, int *d) {
  if (e - p == 10 && p[4] == '-' && p[7] == '-') {
    int y1 = two_digits(p), y2 = two_digits(p + 2), m = two_digits(p + 5), dd = two_digits(p + 8);
    if ((y1 | y2 | m | dd) >= 0) {
      *y = y1 * 100 + y2;
      *mo = m;
      *d = dd;
      return m >= 1 && m <= 12 && dd >= 1 && dd <= 31;
    }
  }
  return parse_day(reinterpret_cast<const char *>(p), reinterpret_cast<const char *>(e), y, mo, d) == 0;
}

// The "%H:%M:%S" token of a date at [p, e) (at most 8 bytes): as
// parse_clock, the common "HH:MM:SS" read at fixed places.
static inline bool clock_token(const unsigned char *p, const unsigned char *e, int *h, int *mi, int *s) {
  if (e - p == 8 && p[2] == ':' && p[5] == ':') {
    int hh = two_digits(p), mm = two_digits(p + 3), ss = two_digits(p + 6);
    if ((hh | mm | ss) >= 0) {
      *h = hh;
      *mi = mm;
      *s = ss;
      return hh <= 23 && mm <= 59 && ss <= 60;
    }
  }
  return e - p <= 8 && parse_clock(reinterpret_cast<const char *>(p), reinterpret_cast<const char *>(e), h, mi, s) == 0;
}

time_t get_text_date(const char *p, int len) {
  if (!p || len <= 0) return -1;
  const char *end = p + (len < DATE_LENGTH ? len : DATE_LENGTH);
  const char *q = p;
  while (q < end && *q >= '0' && *q <= '9') ++q;
  if (q > p && q < end && (*q == ' ' || *q == '\n')) {
    time_t t = unix_seconds(p, q);
    if (t != -1) return t;
  }
  int y, mo, d, h, mi, s;
  const char *blank = static_cast<const char *>(memchr(p, ' ', static_cast<size_t>(end - p)));
  if (!blank || parse_day(p, blank, &y, &mo, &d) != 0 || parse_clock(blank + 1, end, &h, &mi, &s) != 0)
    return -1;
  return local_time(y, mo, d, h, mi, s);
}

// --- Header ----------------------------------------------------------------------------

static void install_default(TxtLogReaderData *d) {
  d->field_count = kTxtDefaultCount;
  d->fields = TxtFields;
  d->ftypes = TxtFieldTypes;
  d->field_names = nullptr;
  d->has_header_layout = false;
  d->data_begin = 0;
}

static int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One hexadecimal byte at *p (1 or 2 digits, within end): 0 or -1.
static int hexbyte(const char **p, const char *end, int *v) {
  int x = 0, n = 0, h;
  while (*p < end && (h = hexval(**p)) >= 0) {
    if (++n > 2) return -1;
    x = x * 16 + h;
    ++*p;
  }
  *v = x;
  return n > 0 ? 0 : -1;
}

int TxtGetHeader(TxtLogReaderData *d) {
  int fd = open(d->filename, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[BUFF_SIZE];
  ssize_t n = file_pread_full(fd, buf, sizeof buf, 0);
  if (n < 0) {
    close(fd);
    return -1;
  }
  // The default layout is for files without a header, never for a header
  // that does not parse.
  if (get_text_date(buf, static_cast<int>(n)) != CODES_HEADER_TIMESTAMP) {
    close(fd);
    install_default(d);
    return 0;
  }
  int rc = -1;
  std::vector<unsigned char> ids, types;
  const char *nl = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(n)));
  const char *p = static_cast<const char *>(memchr(buf, ' ', static_cast<size_t>(n)));
  if (nl && p && p < nl) {
    int colons = 0;
    for (const char *q = buf; q < nl; ++q) colons += *q == ':';
    bool ok = colons >= 1 && colons <= LOGFILE_MAX_FIELDS;
    while (ok && *p == ' ') {
      ++p;
      int id, type;
      if (hexbyte(&p, nl, &id) != 0 || id == 0 || p >= nl || *p != ':') {
        ok = false;
        break;
      }
      ++p;
      if (hexbyte(&p, nl, &type) != 0) {
        ok = false;
        break;
      }
      ids.push_back(static_cast<unsigned char>(id));
      types.push_back(static_cast<unsigned char>(type));
      if (p == nl) break;
    }
    // Every record starts with its time.
    ok = ok && p == nl && static_cast<int>(ids.size()) == colons && ids[0] == FIELD_DATE &&
         PrintType(types[0]) == PTYPE_TIMESTAMP;
    if (ok) {
      off_t l2 = nl - buf + 1;
      char buf2[BUFF_SIZE];
      ssize_t m = file_pread_full(fd, buf2, sizeof buf2, l2);
      const char *nl2 = m > 0 ? static_cast<const char *>(memchr(buf2, '\n', static_cast<size_t>(m))) : nullptr;
      const char *blank = nl2 ? static_cast<const char *>(memchr(buf2, ' ', static_cast<size_t>(nl2 - buf2))) : nullptr;
      if (nl2 && blank && get_text_date(buf2, static_cast<int>(nl2 - buf2 + 1)) == NAMES_HEADER_TIMESTAMP) {
        size_t len = static_cast<size_t>(nl2 - (blank + 1));
        char *copy = static_cast<char *>(malloc(len + 1));
        char **names = nullptr;
        if (copy) {
          memcpy(copy, blank + 1, len);
          copy[len] = 0;
          names = string_explode(copy, ' ');
        }
        int count = 0;
        while (names && names[count]) ++count;
        if (names && count == colons) {
          free(d->field_names);
          free(d->field_names_str);
          d->own_fields = ids;
          d->own_fields.push_back(0);
          d->own_ftypes = types;
          d->own_ftypes.push_back(0);
          d->fields = d->own_fields.data();
          d->ftypes = d->own_ftypes.data();
          d->field_names_str = copy;
          d->field_names = names;
          d->field_count = colons;
          d->has_header_layout = true;
          d->data_begin = l2 + (nl2 - buf2) + 1;
          rc = 0;
        } else {
          free(names);
          free(copy);
        }
      }
    }
  }
  close(fd);
  return rc;
}

static int txt_layout(CommonReaderData *cd) {
  auto *d = static_cast<TxtLogReaderData *>(cd);
  if (d->field_count) return 0;
  return TxtGetHeader(d);
}

// --- Records ----------------------------------------------------------------------------

// How a token is decoded, by its field's type byte.
enum TxtKind : unsigned char { kTime, kAddress, kText, kInt8, kInt16, kInt32, kInt64, kNoNumber };

static constexpr TxtKind kind_of(unsigned type) {
  switch (PrintType(type)) {
    case PTYPE_TIMESTAMP:
      return kTime;
    case PTYPE_IP:
      return kAddress;
    case PTYPE_STRING:
      return kText;
    default:
      break;
  }
  switch (StorageType(type)) {
    case STORT_INT8:
      return kInt8;
    case STORT_INT16:
      return kInt16;
    case STORT_INT32:
      return kInt32;
    case STORT_INT64:
      return kInt64;
    default:
      return kNoNumber;  // stored as 0
  }
}

struct TxtKinds {
  TxtKind of[256];
  constexpr TxtKinds() : of() {
    for (unsigned t = 0; t < 256; ++t) of[t] = kind_of(t);
  }
};
static constexpr TxtKinds kKinds;

// A number's 8 bytes: the value in the low bytes its kind keeps, the rest 0.
static void store_number(void *dst, TxtKind kind, long long v) {
  unsigned char b[8] = {};
  switch (kind) {
    case kInt8: {
      int8_t x = static_cast<int8_t>(v);
      memcpy(b, &x, 1);
      break;
    }
    case kInt16: {
      int16_t x = static_cast<int16_t>(v);
      memcpy(b, &x, 2);
      break;
    }
    case kInt32: {
      int32_t x = static_cast<int32_t>(v);
      memcpy(b, &x, 4);
      break;
    }
    case kInt64:
      memcpy(b, &v, 8);
      break;
    default:
      break;
  }
  memcpy(dst, b, 8);
}

static long long parse_number(const unsigned char *p, const unsigned char *e) {
  bool neg = p < e && *p == '-';
  if (neg) ++p;
  unsigned long long v = 0;
  while (p < e && *p >= '0' && *p <= '9') {
    if (v < (1ULL << 59)) v = v * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  return neg ? -static_cast<long long>(v) : static_cast<long long>(v);
}

// Bits of the first n (at most 16) bytes at p: the dots in *dots, the
// decimal digits in *digits. Reads 16 bytes.
static inline void dots_and_digits(const unsigned char *p, int n, unsigned *dots, unsigned *digits) {
  unsigned in = (1u << n) - 1;
#if defined(__SSE2__)
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i x = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  *dots = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('.')))) & in;
  *digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(9)), x))) & in;
#else
  unsigned a = 0, b = 0;
  for (int i = 0; i < n; ++i) {
    a |= static_cast<unsigned>(p[i] == '.') << i;
    b |= static_cast<unsigned>(is_digit(p[i])) << i;
  }
  *dots = a;
  *digits = b;
#endif
}

// The value of the dotted field of 1 to 3 digits at p; -1 for more digits
// than it may have, a leading zero or a value over 255.
static inline int quad_field(const unsigned char *p, int len) {
  int one = p[0] - '0', two = one * 10 + (p[1] - '0'), three = two * 10 + (p[2] - '0');
  int v = len == 1 ? one : len == 2 ? two : three;
  return len < 1 || len > 3 || (len > 1 && one == 0) || v > 255 ? -1 : v;
}

// Dotted IPv4 as the address parser takes it (four fields of 1 to 3
// digits up to 255, no leading zeros) into a host-order value; false for
// anything else. The token's dots and digits are found in one step, and
// the fields then read where the dots put them. Reads 16 bytes from p.
static bool dotted_quad(const unsigned char *p, const unsigned char *e, uint32_t *v) {
  int n = static_cast<int>(e - p);
  if (n < 7 || n > 15) return false;
  unsigned dots, digits;
  dots_and_digits(p, n, &dots, &digits);
  if ((dots | digits) != (1u << n) - 1 || !dots) return false;
  int d1 = __builtin_ctz(dots);
  dots &= dots - 1;
  if (!dots) return false;
  int d2 = __builtin_ctz(dots);
  dots &= dots - 1;
  if (!dots) return false;
  int d3 = __builtin_ctz(dots);
  if (dots & (dots - 1)) return false;
  int a = quad_field(p, d1), b = quad_field(p + d1 + 1, d2 - d1 - 1), c = quad_field(p + d2 + 1, d3 - d2 - 1),
      d = quad_field(p + d3 + 1, n - d3 - 1);
  if ((a | b | c | d) < 0) return false;
  *v = static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(c) << 8 |
       static_cast<uint32_t>(d);
  return true;
}

static void parse_ip(kx_ipaddr *ip, const unsigned char *p, const unsigned char *e) {
  uint32_t v;
  if (dotted_quad(p, e, &v)) {
    ip->family = AF_INET;
    ip->addr.ip = v;
    return;
  }
  char text[64];
  size_t len = static_cast<size_t>(e - p);
  if (len >= sizeof text) {
    kxnet_defaultip(ip);
    return;
  }
  memcpy(text, p, len);
  text[len] = 0;
  if (kxnet_aton(text, ip) != 0) return;
  if (ip->family == AF_INET) {
    record_ip_to_host_order(ip);
  } else {
    unsigned char b[16];
    memcpy(b, &ip->addr.ip6, 16);
    record_ip_from_ipv6(ip, b);
  }
}

static void empty_value(Record &e, unsigned type) {
  switch (PrintType(type)) {
    case PTYPE_STRING:
      e.data = kEmptyText;
      break;
    case PTYPE_IP:
      if (e.data) kxnet_defaultip(static_cast<kx_ipaddr *>(e.data));
      break;
    case PTYPE_TIMESTAMP: {
      int64_t t = -1;
      if (e.data) memcpy(e.data, &t, 8);
      break;
    }
    default:
      if (e.data) memset(e.data, 0, 8);
      break;
  }
}

LOGFILE_DECODER static long txt_decode(CommonReaderData *cd, RecordPtr row, unsigned char *p, unsigned char *end) {
  auto *d = static_cast<TxtLogReaderData *>(cd);
  unsigned char *s = p;
  LogfileSeparators seps(p, end);
  // Held apart from d: the NULs written into the line could alias its fields.
  const int count = d->field_count;
  const unsigned char *types = d->ftypes;
  int i = 0;
  for (; i < count; ++i) {
    Record &e = row[i];
    unsigned char *te = seps.next();
    if (te == end) return LOGFILE_NEED_MORE;
    unsigned char sep = *te;
    TxtKind kind = kKinds.of[types[i]];
    if (kind == kText) {
      e.data = p;
      *te = 0;
    } else if (!e.data) {
      return LOGFILE_CORRUPT;
    } else if (kind == kTime) {
      time_t t = token_seconds(p, te);
      int y, mo, dd, h, mi, sc;
      time_t known = t == -1 && sep == ' ' && te - p == 10 ? d->time_cache.same_hour(p) : -1;
      if (known != -1) {  // the hour of the lines before: its time of day is the next token
        te = seps.next();
        if (te == end) return LOGFILE_NEED_MORE;
        sep = *te;
        t = known;
      } else if (t == -1 && sep == ' ' && day_token(p, te, &y, &mo, &dd)) {
        unsigned char *t2 = te + 1;
        te = seps.next();
        if (te == end) return LOGFILE_NEED_MORE;
        sep = *te;
        if (clock_token(t2, te, &h, &mi, &sc)) {
          t = d->time_cache.convert(y, mo, dd, h, mi, sc);
          d->time_cache.remember_text(p);
        }
      }
      int64_t v = t;
      memcpy(e.data, &v, 8);
    } else if (kind == kAddress) {
      parse_ip(static_cast<kx_ipaddr *>(e.data), p, te);
    } else {
      store_number(e.data, kind, parse_number(p, te));
    }
    p = te + 1;
    if (sep == '\n') {  // a short line: the missing fields are empty
      while (++i < count) empty_value(row[i], types[i]);
      return p - s;
    }
  }
  // Tokens beyond the layout are skipped with their line.
  auto *nl = static_cast<unsigned char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
  if (!nl) return LOGFILE_NEED_MORE;
  p = nl + 1;
  return p - s;
}

static int txt_time_at(CommonReaderData *, int fd, off_t offset, time_t *t) {
  char b[DATE_LENGTH];
  ssize_t n = file_pread_full(fd, b, sizeof b, offset);
  if (n < 10) return -1;
  time_t v = get_text_date(b, static_cast<int>(n));
  if (v == -1) return -1;
  *t = v;
  return 0;
}

static int txt_first_time(CommonReaderData *d, int logfd, int ndxfd, time_t *t) {
  return logfile_first_indexed_time(d, logfd, ndxfd, txt_time_at, t);
}

static off_t txt_first_offset(CommonReaderData *d) { return static_cast<TxtLogReaderData *>(d)->data_begin; }

// A record is its line: whole once its "\n" is in the file.
static long txt_line(void *, unsigned char *p, unsigned char *end) {
  const void *nl = memchr(p, '\n', static_cast<size_t>(end - p));
  return nl ? static_cast<const unsigned char *>(nl) - p + 1 : LOGFILE_NEED_MORE;
}

static int txt_whole_at(CommonReaderData *d, int fd, off_t offset, time_t *t) {
  if (txt_time_at(d, fd, offset, t) != 0) return -1;
  return logfile_walk_at(fd, offset, txt_line, nullptr);
}

static const LogFormatHooks kTxtHooks = {txt_layout, txt_first_offset, txt_decode, txt_time_at, txt_first_time,
                                         txt_whole_at};

// --- The operations -----------------------------------------------------------------------

static LogFileTimeBounds *TxtGetTimeBounds(LogFileReaderPtr r) { return logfile_time_bounds(data_of(r), &kTxtHooks); }
static off_t TxtGetFileSize(LogFileReaderPtr r) { return data_of(r)->filesize; }
static int TxtGetFirstRec(LogFileReaderPtr r, RecordPtr row) { return logfile_first_rec(data_of(r), &kTxtHooks, row); }
static int TxtGetNextRec(LogFileReaderPtr r, RecordPtr row) {
  return logfile_next_rec_as<txt_decode>(data_of(r), &kTxtHooks, row);
}
static int TxtGetRecByTime(LogFileReaderPtr r, RecordPtr row, time_t t) {
  return logfile_rec_by_time(data_of(r), &kTxtHooks, row, t);
}
static int TxtGetRecByNumber(LogFileReaderPtr r, RecordPtr row, off_t n) {
  return logfile_rec_by_number(data_of(r), &kTxtHooks, row, n);
}
static time_t TxtRecordTime(LogFileReaderPtr, RecordPtr row) {
  if (!row || !row[0].data) return -1;
  int64_t v;
  memcpy(&v, row[0].data, 8);
  return static_cast<time_t>(v);
}
static off_t TxtRecordOffset(LogFileReaderPtr r) { return logfile_record_offset(data_of(r)); }
static int TxtGetFieldsNumber(LogFileReaderPtr r) {
  txt_layout(data_of(r));
  return data_of(r)->field_count;
}
static unsigned char *TxtGetFieldsList(LogFileReaderPtr r) {
  txt_layout(data_of(r));
  return data_of(r)->fields;
}
static char **TxtGetFieldsNames(LogFileReaderPtr r) {
  TxtLogReaderData *d = data_of(r);
  txt_layout(d);
  if (!d->field_count) return nullptr;
  return d->has_header_layout ? d->field_names : TxtFieldNames;
}
static unsigned char *TxtGetFieldsPrintTypes(LogFileReaderPtr r) {
  txt_layout(data_of(r));
  return data_of(r)->ftypes;
}

static void TxtFreeReader(LogFileReaderPtr r) {
  if (!r) return;
  delete data_of(r);
  delete r;
}

// Value storage of a field by its type: none for strings, a kx_ipaddr for
// addresses, else room for the 8-byte value and for whatever its storage
// type makes a reader of the row read (a NUL after text).
static size_t storage_size(unsigned type) {
  if (PrintType(type) == PTYPE_STRING) return 0;
  if (PrintType(type) == PTYPE_IP) return sizeof(kx_ipaddr) + 4;
  switch (StorageType(type)) {
    case STORT_INT128:
    case STORT_STR:
      return 16;
    case STORT_IPADDR:
      return 24;
    default:
      return 8;
  }
}

static RecordPtr TxtAllocateRecords(LogFileReaderPtr r, int extra) {
  TxtLogReaderData *d = data_of(r);
  if (txt_layout(d) != 0 || extra < 0 || extra > 255) return nullptr;
  size_t entries = static_cast<size_t>(d->field_count + extra + 1);
  size_t storage = 0;
  for (int i = 0; i < d->field_count; ++i) storage += storage_size(d->ftypes[i]);
  auto *row = static_cast<RecordPtr>(calloc(1, entries * sizeof(Record) + storage));
  if (!row) return nullptr;
  auto *store = reinterpret_cast<unsigned char *>(row + entries);
  for (int i = 0; i < d->field_count; ++i) {
    row[i].type = d->fields[i];
    row[i].datatype = d->ftypes[i];
    size_t sz = storage_size(d->ftypes[i]);
    if (PrintType(d->ftypes[i]) == PTYPE_IP) {
      row[i].datatype = 0x57;
      kxnet_defaultip(reinterpret_cast<kx_ipaddr *>(store));
    }
    if (sz) row[i].data = store;
    store += sz;
  }
  return row;
}

static void TxtFreeRecords(LogFileReaderPtr, RecordPtr row) { free(row); }
static int TxtGetRecordsNumber(LogFileReaderPtr r, off_t *n) { return logfile_records_number(data_of(r), n); }
static int TxtGetFileType(LogFileReaderPtr r) { return data_of(r)->file_type; }
static int TxtGetReportRecordsNumber(LogFileReaderPtr r, time_t start, time_t end, off_t *n) {
  return logfile_report_records(data_of(r), &kTxtHooks, start, end, n);
}

const LogFileReaderMethods TxtMethods = {
    TxtGetTimeBounds,    TxtGetFileSize,         TxtGetFirstRec,  TxtGetNextRec,      TxtGetRecByTime,
    TxtGetRecByNumber,   TxtRecordTime,          TxtRecordOffset, TxtGetFieldsNumber, TxtGetFieldsList,
    TxtGetFieldsNames,   TxtGetFieldsPrintTypes, TxtFreeReader,   TxtAllocateRecords, TxtFreeRecords,
    TxtGetRecordsNumber, TxtGetFileType,         TxtGetReportRecordsNumber,
};

LogFileReaderPtr CreateTextFileReader(const char *filename) {
  if (!filename) return nullptr;
  auto *d = new (std::nothrow) TxtLogReaderData(filename);
  if (!d) return nullptr;
  if (!d->filename) {
    delete d;
    return nullptr;
  }
  d->hooks = &kTxtHooks;
  auto *r = new (std::nothrow) LogFileReader{&TxtMethods, d};
  if (!r) delete d;
  return r;
}

LogFileReaderPtr KXTextLogFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                                   void *filter) {
  if (!filename || !CheckFileName(filename, REQFILEUTILS_REQUEST_TYPE_TEXT_PREFIX)) return nullptr;
  if (filter_func && !filter_func(filename, filter)) return nullptr;
  int fd = logfile_open_candidate(filename);
  if (fd < 0) return nullptr;
  char b[DATE_LENGTH];
  ssize_t n = file_pread_full(fd, b, sizeof b, 0);
  close(fd);
  bool accept = (n == 0 && loadZeroSize) || (n == DATE_LENGTH && get_text_date(b, DATE_LENGTH) != -1);
  return accept ? CreateTextFileReader(filename) : nullptr;
}
