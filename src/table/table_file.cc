// Report table files: writer and reader.
#include "src/table/table_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <memory>
#include <new>

#include "lib/base/kxendian.h"
#include "lib/base/kxfile.h"
#include "lib/base/kxraii.h"
#include "lib/base/kxstring.h"

static_assert(std::endian::native == std::endian::little,
              "rows are decoded in place: integers in the file are little-endian");

namespace {

// How a field travels (table_field_plan::kind). Each fixed size is a kind of
// its own so that the writer copies it with a size known at compile time.
enum : uint8_t {
  PLAN_1 = 1,  // one byte: storage 1, and storage 0 or a nibble with bit 3
  PLAN_2,      // `size` bytes (2, 4, 8, 16)
  PLAN_4,
  PLAN_8,
  PLAN_16,
  PLAN_STR,    // text and its NUL
  PLAN_IP4,    // 4 bytes, the IPv4 value in host order
  PLAN_IP6,    // 16 bytes, network order
  PLAN_IPFAM,  // family byte, then 4 or 16 bytes
};

constexpr uint8_t kIpHeaderType[4] = {0x53, 0x53, 0x55, 0x57};

// What a null entry of a fixed-size field writes.
constexpr unsigned char kZeros[16] = {};

table_field_plan fixed_or_byte(unsigned datatype) {
  switch (record_fixed_size(datatype)) {
    case 2: return {PLAN_2, 2, -1};
    case 4: return {PLAN_4, 4, -1};
    case 8: return {PLAN_8, 8, -1};
    case 16: return {PLAN_16, 16, -1};
  }
  if (StorageType(datatype) == STORT_STR) return {PLAN_STR, 0, -1};
  return {PLAN_1, 1, -1};
}

// The address a writer stores for an entry: the entry's own, or the default
// address when it has none.
kx_ipaddr ip_of(const void *data) {
  kx_ipaddr ip;
  if (data) {
    memcpy(&ip, data, sizeof ip);
  } else {
    memset(&ip, 0, sizeof ip);
    kxnet_defaultip(&ip);
  }
  return ip;
}

// The IPv4 value written for an address: its own, or 255.255.255.255 for any
// other family.
uint32_t ipv4_or_default(const kx_ipaddr &ip) { return ip.family == AF_INET ? ip.addr.ip : 0xFFFFFFFFu; }

#if defined(__SSE2__)
// Bit i set when the byte at p + i is NUL; p is 16-byte aligned.
inline unsigned nul_bits(const char *p) { return byte_bits(text_block(p), '\0'); }
#endif

// strlen without a call, an aligned block at a step (see text_block).
inline size_t text_length(const char *s) {
#if defined(__SSE2__)
  const uintptr_t skip = reinterpret_cast<uintptr_t>(s) & 15;
  const char *p = s - skip;
  unsigned m = nul_bits(p) >> skip;
  if (m) return static_cast<size_t>(__builtin_ctz(m));
  do p += 16;
  while (!(m = nul_bits(p)));
  return static_cast<size_t>(p - s) + static_cast<size_t>(__builtin_ctz(m));
#else
  return strlen(s);
#endif
}

template <size_t N>
unsigned char *put_fixed(const void *data, unsigned char *out) {
  memcpy(out, data ? data : kZeros, N);
  return out + N;
}

// Encodes one field at out and returns the end of what it wrote; *len is the
// text's length (without its NUL), read for a text only. out has room for
// the field (at most 17 bytes when it is not a text).
[[gnu::always_inline]] inline unsigned char *encode_field(const table_field_plan &p, const void *data, const size_t *len,
                                                          unsigned char *out) {
  switch (p.kind) {
    case PLAN_1:
      *out = data ? *static_cast<const unsigned char *>(data) : 0;
      return out + 1;
    case PLAN_2: return put_fixed<2>(data, out);
    case PLAN_4: return put_fixed<4>(data, out);
    case PLAN_8: return put_fixed<8>(data, out);
    case PLAN_16: return put_fixed<16>(data, out);
    case PLAN_STR:
      memcpy(out, data ? data : "", *len + 1);
      return out + *len + 1;
    case PLAN_IP4:
      kx_put_le32(out, ipv4_or_default(ip_of(data)));
      return out + 4;
    case PLAN_IP6: {
      const kx_ipaddr ip = ip_of(data);
      if (ip.family == AF_INET6) {
        memcpy(out, &ip.addr.ip6, 16);
      } else {
        // IPv4 (and any other family, as the default address) goes in mapped.
        const uint32_t v = ipv4_or_default(ip);
        memset(out, 0, 10);
        out[10] = out[11] = 0xFF;
        out[12] = static_cast<unsigned char>(v >> 24);
        out[13] = static_cast<unsigned char>(v >> 16);
        out[14] = static_cast<unsigned char>(v >> 8);
        out[15] = static_cast<unsigned char>(v);
      }
      return out + 16;
    }
    case PLAN_IPFAM: {
      const kx_ipaddr ip = ip_of(data);
      if (ip.family == AF_INET6) {
        out[0] = AF_INET6;
        memcpy(out + 1, &ip.addr.ip6, 16);
        return out + 17;
      }
      out[0] = AF_INET;
      kx_put_le32(out + 1, ipv4_or_default(ip));
      return out + 5;
    }
  }
  return out;
}

bool flush(WRITE_TBL *t) {
  int n = t->buff_next;
  t->buff_next = 0;
  return n == 0 || file_write_all(t->table_fd, t->buff.data(), static_cast<size_t>(n));
}

// Frees what a caller left owned in the spare entry after the row's fields.
void free_spare(READ_TBL *t) {
  RECORD &spare = t->records[t->field_count];
  if ((spare.flags & RECORD_FLAG_OWNED) && spare.data) {
    free(spare.data);
    spare.data = nullptr;
  }
}

// Ends the table after its last row or a failure: no data stays reachable.
void end_table(READ_TBL *t) {
  t->ended = true;
  std::vector<unsigned char>().swap(t->buffer);
  t->buffer_size = 0;
  t->current = t->next = 0;
  for (int i = 0; i < t->field_count; i++) t->records[i].data = nullptr;
}

// Decodes the row at t->next; returns the offset after it, or -1 when the
// valid bytes end before it does.
int decode_row(READ_TBL *t) {
  const unsigned char *b = t->buffer.data();
  const int end = t->buffer_size;
  int pos = t->next;
  RECORD *rec = t->records.data();
  for (int i = 0; i < t->field_count; i++) {
    const table_field_plan &p = t->plan[i];
    switch (p.kind) {
      case PLAN_1:
      case PLAN_2:
      case PLAN_4:
      case PLAN_8:
      case PLAN_16:
        if (end - pos < p.size) return -1;
        rec[i].data = const_cast<unsigned char *>(b + pos);
        pos += p.size;
        break;
      case PLAN_STR: {
        const void *nul = memchr(b + pos, 0, static_cast<size_t>(end - pos));
        if (!nul) return -1;
        rec[i].data = const_cast<unsigned char *>(b + pos);
        pos = static_cast<int>(static_cast<const unsigned char *>(nul) - b) + 1;
        break;
      }
      case PLAN_IP4:
      case PLAN_IP6:
      case PLAN_IPFAM: {
        kx_ipaddr &ip = t->ips[p.ip];
        bool v4 = p.kind == PLAN_IP4;
        if (p.kind == PLAN_IPFAM) {
          if (end - pos < 1) return -1;
          v4 = b[pos] == AF_INET;
          pos++;
        }
        if (end - pos < (v4 ? 4 : 16)) return -1;
        memset(&ip, 0, sizeof ip);
        if (v4) {
          ip.family = AF_INET;
          ip.addr.ip = kx_le32(b + pos);
          pos += 4;
        } else {
          record_ip_from_ipv6(&ip, b + pos);
          pos += 16;
        }
        rec[i].data = &ip;
        break;
      }
    }
  }
  return pos;
}

}  // namespace

// --- Hooks into the report run ------------------------------------------------

namespace {
// Installed by the report engine when it is linked in; this library never
// names the engine's symbols (reportpeek links only this one).
std::atomic<const report_table_hooks *> table_hooks{nullptr};
}  // namespace

void report_table_set_hooks(const report_table_hooks *hooks) {
  table_hooks.store(hooks, std::memory_order_release);
}

int report_table_ip_type(const REPORT *rep) {
  const report_table_hooks *h = table_hooks.load(std::memory_order_acquire);
  if (!rep || !h || !h->ip_type) return TABLE_IP_FAMILY;
  return h->ip_type(rep);
}

int report_table_charge_header(REPORT *rep, const char *name, int64_t bytes) {
  const report_table_hooks *h = table_hooks.load(std::memory_order_acquire);
  if (!rep || !h || !h->charge_header) return -1;
  return h->charge_header(rep, name, bytes);
}

// --- Writing ---------------------------------------------------------------

WRITE_TBL *write_new_rec(REPORT *rep, const char *name, RECORD *rec, int buff_size) {
  return write_new_rec_ip(rep, name, rec, buff_size, report_table_ip_type(rep));
}

WRITE_TBL *write_new_rec_ip(REPORT *rep, const char *name, RECORD *rec, int buff_size, int ip_type) {
  if (!name || !rec) return nullptr;
  int count = 0;
  for (; rec[count].type != 0; count++) {
    if (count >= 255) return nullptr;
    // An address declared with a storage the reader cannot decode would make
    // the whole table unreadable: refuse it before any file exists.
    const uint8_t type = rec[count].datatype;
    if (PrintType(type) == PTYPE_IP && StorageType(type) != STORT_INT32 && StorageType(type) != STORT_INT128 &&
        StorageType(type) != STORT_IPADDR)
      return nullptr;
  }
  if (count == 0) return nullptr;
  if (ip_type != TABLE_IP_V6 && ip_type != TABLE_IP_FAMILY) ip_type = TABLE_IP_V4;
  if (buff_size < 0) buff_size = 0;

  kx_fd fd(::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.valid()) return nullptr;
  std::unique_ptr<WRITE_TBL> t;
  bool made = false;
  try {
    t.reset(new WRITE_TBL);
    t->buff.resize(static_cast<size_t>(buff_size));
    t->plan.reserve(static_cast<size_t>(count));
    std::vector<unsigned char> header;
    header.reserve(2 * static_cast<size_t>(count) + 2);
    header.push_back(2);
    for (int i = 0; i < count; i++) {
      uint8_t type = rec[i].datatype;
      if (StorageType(type) == STORT_IPADDR) {
        type = kIpHeaderType[ip_type];
        t->plan.push_back({static_cast<uint8_t>(ip_type == TABLE_IP_V4   ? PLAN_IP4
                                                : ip_type == TABLE_IP_V6 ? PLAN_IP6
                                                                         : PLAN_IPFAM),
                           0, -1});
      } else {
        t->plan.push_back(fixed_or_byte(type));
      }
      // What each row's size needs from its values, resolved here once.
      switch (t->plan.back().kind) {
        case PLAN_STR: t->texts.push_back(static_cast<uint8_t>(i)); break;
        case PLAN_IPFAM: t->families.push_back(static_cast<uint8_t>(i)); break;
        case PLAN_IP4: t->fixed_bytes += 4; break;
        case PLAN_IP6: t->fixed_bytes += 16; break;
        default: t->fixed_bytes += t->plan.back().size; break;
      }
      header.push_back(rec[i].type);
      header.push_back(type);
    }
    header.push_back(0);
    made = file_write_all(fd.get(), header.data(), header.size()) &&
           report_table_charge_header(rep, name, static_cast<int64_t>(header.size()));
  } catch (const std::bad_alloc &) {
  }
  if (!made) {
    // No table is left behind half made.
    fd.reset();
    ::unlink(name);
    return nullptr;
  }
  t->type = TABLE_WRITE;
  t->rec = rec;
  t->map = nullptr;
  t->table_fd = fd.release();
  t->field_count = count;
  t->ip_type = ip_type;
  t->buff_size = buff_size;
  t->buff_next = 0;
  return t.release();
}

int write_next(WRITE_TBL *t, RECORD *rec, int64_t *written) {
  if (!t || !rec) return 0;
  // Only texts and family-byte addresses vary in size; a text's length, taken
  // once, both sizes the row and bounds its copy. At most 255 fields.
  size_t lens[255];
  size_t size = t->fixed_bytes;
  for (uint8_t i : t->texts) {
    const char *text = static_cast<const char *>(rec[i].data);
    lens[i] = text ? text_length(text) : 0;
    size += lens[i] + 1;
  }
  for (uint8_t i : t->families) size += ip_of(rec[i].data).family == AF_INET6 ? 17 : 5;

  const size_t cap = static_cast<size_t>(t->buff_size);
  if (t->buff_next > 0 && static_cast<size_t>(t->buff_next) + size > cap) {
    if (!flush(t)) return 0;
  }
  const table_field_plan *plan = t->plan.data();
  const int count = t->field_count;
  if (size > cap) {
    // Too large for the buffer: texts go straight from the row, the other
    // fields (at most 17 bytes) through a small buffer.
    unsigned char small[17];
    for (int i = 0; i < count; i++) {
      const void *data = rec[i].data;
      bool ok = plan[i].kind == PLAN_STR && data
                    ? file_write_all(t->table_fd, data, lens[i] + 1)
                    : file_write_all(t->table_fd, small,
                                     static_cast<size_t>(encode_field(plan[i], data, &lens[i], small) - small));
      if (!ok) return 0;
    }
  } else {
    unsigned char *out = t->buff.data() + t->buff_next;
    for (int i = 0; i < count; i++) out = encode_field(plan[i], rec[i].data, &lens[i], out);
    t->buff_next += static_cast<int>(size);
  }
  if (written) *written = static_cast<int64_t>(size);
  return -1;
}

int write_close(WRITE_TBL *t) {
  if (!t) return 0;
  bool ok = flush(t);
  if (::close(t->table_fd) != 0) ok = false;
  delete t;
  return ok ? -1 : 0;
}

// --- Reading ---------------------------------------------------------------

READ_TBL *read_open(const char *name) {
  if (!name) return nullptr;
  kx_fd fd(::open(name, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return nullptr;
  std::unique_ptr<READ_TBL> t;
  try {
    unsigned char head[1 + TABLE_HEADER_MAX];
    ssize_t n = file_read_full(fd.get(), head, sizeof head);
    if (n < 2 || (head[0] != 1 && head[0] != 2)) throw 0;
    const int version = head[0];
    const int avail = static_cast<int>(n);

    std::vector<std::pair<uint8_t, uint8_t>> fields;
    int end = -1;  // offset of the header's 0 byte
    for (int i = 1; i < avail;) {
      if (head[i] == 0) {
        end = i;
        break;
      }
      if (version == 1) {
        fields.emplace_back(head[i], record_v1_type(head[i]));
        i += 1;
      } else {
        if (i + 1 >= avail) break;  // the type byte lies beyond the header's room
        fields.emplace_back(head[i], head[i + 1]);
        i += 2;
      }
    }
    if (end < 0 || fields.empty() || fields.size() > 255) throw 0;

    t.reset(new READ_TBL);
    t->version = version;
    t->field_count = static_cast<int>(fields.size());
    t->records.assign(fields.size() + 1, RECORD{0, 0, 0, nullptr});
    t->plan.reserve(fields.size());
    int ip_count = 0;
    for (size_t i = 0; i < fields.size(); i++) {
      auto [id, type] = fields[i];
      table_field_plan p;
      if (version == 2 && PrintType(type) == PTYPE_IP) {
        // Each address is decoded by its own declared storage.
        switch (StorageType(type)) {
          case 3: p = {PLAN_IP4, 0, 0}; t->ip_type = TABLE_IP_V4; break;
          case 5: p = {PLAN_IP6, 0, 0}; t->ip_type = TABLE_IP_V6; break;
          case 7: p = {PLAN_IPFAM, 0, 0}; t->ip_type = TABLE_IP_FAMILY; break;
          default: throw 0;
        }
        p.ip = static_cast<int16_t>(ip_count++);
        type = 0x57;
      } else if (StorageType(type) == STORT_IPADDR) {
        throw 0;  // an address declared as something else has no decoding
      } else {
        p = fixed_or_byte(type);
      }
      t->plan.push_back(p);
      t->records[i].type = id;
      t->records[i].datatype = type;
    }
    t->ips.assign(static_cast<size_t>(ip_count), kx_ipaddr{});
    t->field_map.fill(static_cast<unsigned char>(t->field_count));
    for (int i = 0; i < t->field_count; i++) t->field_map[t->records[i].type] = static_cast<unsigned char>(i);

    if (::lseek(fd.get(), end + 1, SEEK_SET) != end + 1) throw 0;
    t->buffer.resize(TABLE_READ_CHUNK);
    ssize_t got = file_read_full(fd.get(), t->buffer.data(), t->buffer.size());
    if (got < 0) throw 0;
    t->buffer_size = static_cast<int>(got);
  } catch (...) {
    return nullptr;
  }
  t->type = TABLE_READ;
  t->table_fd = fd.release();
  t->rec = t->records.data();
  t->map = t->field_map.data();
  return t.release();
}

int read_next(READ_TBL *t) {
  if (!t || t->ended) return 0;
  try {
    for (;;) {
      int after = decode_row(t);
      if (after >= 0) {
        t->current = t->next;
        t->next = after;
        free_spare(t);
        return -1;
      }
      ssize_t got;
      if (t->next == 0) {
        // The row fills the whole buffer: grow it, within the row limit.
        if (t->buffer.size() + TABLE_READ_CHUNK > TABLE_READ_MAX) break;
        t->buffer.resize(t->buffer.size() + TABLE_READ_CHUNK);
        got = file_read_full(t->table_fd, t->buffer.data() + t->buffer_size, TABLE_READ_CHUNK);
      } else {
        int tail = t->buffer_size - t->next;
        memmove(t->buffer.data(), t->buffer.data() + t->next, static_cast<size_t>(tail));
        t->buffer_size = tail;
        t->current = t->next = 0;
        got = file_read_full(t->table_fd, t->buffer.data() + tail, t->buffer.size() - static_cast<size_t>(tail));
      }
      if (got <= 0) break;
      t->buffer_size += static_cast<int>(got);
    }
  } catch (const std::bad_alloc &) {
  }
  end_table(t);
  return 0;
}

RECORD *read_next_separate(READ_TBL *t) {
  if (!read_next(t)) return nullptr;
  const size_t entries = static_cast<size_t>(t->field_count) + 1;
  const size_t head = entries * sizeof(RECORD);
  const size_t len = static_cast<size_t>(t->next - t->current);
  const size_t ip_at = (head + len + alignof(kx_ipaddr) - 1) / alignof(kx_ipaddr) * alignof(kx_ipaddr);
  const size_t total = ip_at + t->ips.size() * sizeof(kx_ipaddr);
  unsigned char *block = static_cast<unsigned char *>(malloc(total));
  if (!block) return nullptr;
  RECORD *out = reinterpret_cast<RECORD *>(block);
  unsigned char *bytes = block + head;
  kx_ipaddr *ips = reinterpret_cast<kx_ipaddr *>(block + ip_at);
  const unsigned char *row = t->buffer.data() + t->current;
  memcpy(bytes, row, len);
  if (!t->ips.empty()) memcpy(ips, t->ips.data(), t->ips.size() * sizeof(kx_ipaddr));
  for (int i = 0; i < t->field_count; i++) {
    const RECORD &r = t->records[i];
    out[i].type = r.type;
    out[i].datatype = r.datatype;
    out[i].flags = 0;
    if (t->plan[i].ip >= 0)
      out[i].data = &ips[t->plan[i].ip];
    else
      out[i].data = bytes + (static_cast<const unsigned char *>(r.data) - row);
  }
  out[t->field_count] = RECORD{0, 0, 0, nullptr};
  return out;
}

int read_record_length(READ_TBL *t) { return t ? t->next - t->current : 0; }

void read_close(READ_TBL *t) {
  if (!t) return;
  free_spare(t);
  ::close(t->table_fd);
  delete t;
}

// --- Rows as bytes -----------------------------------------------------------

const unsigned char *read_row_bytes(const READ_TBL *t, size_t *len) {
  if (!t || t->ended || t->next == t->current) {
    *len = 0;
    return nullptr;
  }
  *len = static_cast<size_t>(t->next - t->current);
  return t->buffer.data() + t->current;
}

void read_row_encoded(const READ_TBL *t, int ip_type, std::vector<unsigned char> *out) {
  size_t len;
  const unsigned char *row = read_row_bytes(t, &len);
  if (t->ips.empty()) {
    out->insert(out->end(), row, row + len);
    return;
  }
  // A writer normalises addresses (mapped IPv4, unknown families, the
  // table's one IP storage): the row is rebuilt as it would write it.
  const uint8_t ip_kind = ip_type == TABLE_IP_V6 ? PLAN_IP6 : ip_type == TABLE_IP_FAMILY ? PLAN_IPFAM : PLAN_IP4;
  for (int i = 0; i < t->field_count; i++) {
    table_field_plan p = t->plan[i];
    const void *data = t->records[i].data;
    if (p.ip >= 0) p = {ip_kind, 0, -1};
    const size_t len = p.kind == PLAN_STR && data ? text_length(static_cast<const char *>(data)) : 0;
    // Room for the text and its NUL, or for any other field (at most 17).
    const size_t at = out->size();
    out->resize(at + len + 17);
    const unsigned char *end = encode_field(p, data, &len, out->data() + at);
    out->resize(static_cast<size_t>(end - out->data()));
  }
}

int write_row_bytes(WRITE_TBL *t, const unsigned char *row, size_t len) {
  if (!t || (!row && len)) return 0;
  const size_t cap = static_cast<size_t>(t->buff_size);
  if (t->buff_next > 0 && static_cast<size_t>(t->buff_next) + len > cap) {
    if (!flush(t)) return 0;
  }
  if (len > cap) return file_write_all(t->table_fd, row, len) ? -1 : 0;
  memcpy(t->buff.data() + t->buff_next, row, len);
  t->buff_next += static_cast<int>(len);
  return -1;
}
