#include "lib/logfiles/logfile_eb.h"
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

static ExtBinLogReaderData *data_of(LogFileReaderPtr r) { return static_cast<ExtBinLogReaderData *>(r->prop); }

// --- The BER decoder ------------------------------------------------------------------

void asn1NodeFree(ASNNodePtr node) {
  if (!node) return;
  for (int i = 0; i < node->chnum; ++i) asn1NodeFree(node->children[i]);
  free(node->children);
  if (!node->constructed && (node->data_type_ == DATA_TYPE_COMP || node->data_type_ == DATA_TYPE_PTR))
    free(node->u.tstring);
  delete node;
}

static int add_child(ASNNodePtr parent, ASNNodePtr child) {
  if (parent->chnum == parent->challoc) {
    int n = parent->challoc ? parent->challoc + EXTENT : INIT_EXTENT;
    auto **c = static_cast<ASNNodePtr *>(realloc(parent->children, static_cast<size_t>(n) * sizeof(ASNNodePtr)));
    if (!c) return ERR_ALLOC;
    parent->children = c;
    parent->challoc = n;
  }
  parent->children[parent->chnum++] = child;
  return SUCCESS;
}

// Identifier and length at [p, lim): the tag, constructed flag, content
// length and header size. SUCCESS, ERR_READ (cut short) or ERR_LENGTH.
static int read_head(const unsigned char *p, const unsigned char *lim, int *tag, int *constructed, size_t *len,
                     size_t *head) {
  const unsigned char *s = p;
  if (p >= lim) return ERR_READ;
  unsigned char id = *p++;
  *constructed = (id & 0x20) != 0;
  *tag = id & 0x1F;
  if (*tag == 0x1F) {
    if (p >= lim) return ERR_READ;
    *tag = *p++;
  }
  if (p >= lim) return ERR_READ;
  unsigned char b = *p++;
  if (b < 0x80) {
    *len = b;
  } else {
    int n = b - 0x80;
    if (n < 1 || n > 4) return ERR_LENGTH;  // indefinite or oversized lengths
    size_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (p >= lim) return ERR_READ;
      v = v << 8 | *p++;
    }
    *len = v;
  }
  *head = static_cast<size_t>(p - s);
  return SUCCESS;
}

static size_t fixed_size(data_type t) {
  switch (t) {
    case DATA_TYPE_I8:
      return 1;
    case DATA_TYPE_I16:
      return 2;
    case DATA_TYPE_I32:
      return 4;
    case DATA_TYPE_I64:
      return 8;
    default:
      return 0;
  }
}

// Bytes a whole element at [p, lim) takes; SUCCESS or an error.
static int element_size(const unsigned char *p, const unsigned char *lim, asn1GetTypeFunc getType, size_t *size) {
  int tag, constructed;
  size_t len, head;
  int rc = read_head(p, lim, &tag, &constructed, &len, &head);
  if (rc != SUCCESS) return rc;
  size_t fs = constructed ? 0 : fixed_size(getType(tag));
  // A number is read at its type's size whatever its length says.
  *size = head + (fs ? fs : len);
  return SUCCESS;
}

static int decode(const unsigned char *p, const unsigned char *lim, int depth, asn1GetTypeFunc getType,
                  ASNNodePtr *out, size_t *used) {
  int tag, constructed;
  size_t len, head;
  // Bytes missing where the data ends are a short read; inside a parent, the
  // element overruns it.
  const int short_rc = depth > 0 ? ERR_LENGTH : ERR_READ;
  int rc = read_head(p, lim, &tag, &constructed, &len, &head);
  if (rc == ERR_READ) rc = short_rc;
  if (rc != SUCCESS) return rc;
  p += head;
  size_t room = static_cast<size_t>(lim - p);
  auto *node = new (std::nothrow) _node;
  if (!node) return ERR_ALLOC;
  node->type = tag;
  node->constructed = constructed;
  if (constructed) {
    if (len > room || depth >= ASN1_MAX_DEPTH) {
      delete node;
      return len > room ? short_rc : ERR_LENGTH;
    }
    const unsigned char *q = p, *e = p + len;
    while (q < e) {
      ASNNodePtr child;
      size_t n;
      if ((rc = decode(q, e, depth + 1, getType, &child, &n)) == SUCCESS && (rc = add_child(node, child)) != SUCCESS)
        asn1NodeFree(child);
      if (rc != SUCCESS) {
        asn1NodeFree(node);
        return rc;
      }
      q += n;
    }
    *used = head + len;
  } else {
    data_type dt = getType(tag);
    node->data_type_ = dt;
    size_t fs = fixed_size(dt);
    size_t n = fs ? fs : len;
    if (n > room) {
      delete node;
      return short_rc;
    }
    unsigned long long v = 0;
    for (size_t i = 0; i < fs; ++i) v = v << 8 | p[i];  // most significant first
    switch (dt) {
      case DATA_TYPE_I8:
        node->u.tbyte = static_cast<unsigned char>(v);
        break;
      case DATA_TYPE_I16:
        node->u.tint = static_cast<int16_t>(v);
        break;
      case DATA_TYPE_I32:
        node->u.tint = static_cast<int32_t>(v);
        break;
      case DATA_TYPE_I64:
        node->u.tlonglong = static_cast<long long>(v);
        break;
      default:
        if (len > 0) {
          node->u.tstring = static_cast<char *>(malloc(len + 1));
          if (!node->u.tstring) {
            delete node;
            return ERR_ALLOC;
          }
          memcpy(node->u.tstring, p, len);
          node->u.tstring[len] = 0;
        }
        break;
    }
    *used = head + n;
  }
  *out = node;
  return SUCCESS;
}

int asn1ReadMemory(ASNNodePtr *result, const unsigned char *p, size_t len, asn1GetTypeFunc getType, size_t *used) {
  if (!result || !p || !getType) return ERR_READ;
  *result = nullptr;
  size_t n = 0;
  int rc = decode(p, p + len, 0, getType, result, &n);
  if (rc == SUCCESS && used) *used = n;
  return rc;
}

int asn1ReadData(ASNNodePtr *result, int fd, asn1GetTypeFunc getType) {
  if (!result || !getType) return ERR_READ;
  *result = nullptr;
  off_t pos = lseek(fd, 0, SEEK_CUR);
  struct stat st;
  if (pos < 0 || fstat(fd, &st) != 0) return ERR_READ;
  unsigned char head[8];
  ssize_t got = file_pread_full(fd, head, sizeof head, pos);
  if (got <= 0) return ERR_READ;
  size_t size;
  int rc = element_size(head, head + got, getType, &size);
  if (rc != SUCCESS) return rc;
  // The element must lie inside the file (else its last bytes cannot be
  // read) and within the size a header may have.
  if (static_cast<off_t>(size) > st.st_size - pos) return ERR_READ;
  if (size > ASN1_MAX_ELEMENT) return ERR_LENGTH;
  auto *buf = static_cast<unsigned char *>(malloc(size));
  if (!buf) return ERR_ALLOC;
  ssize_t have = file_pread_full(fd, buf, size, pos);
  size_t used = 0;
  rc = have == static_cast<ssize_t>(size) ? asn1ReadMemory(result, buf, size, getType, &used) : ERR_READ;
  free(buf);
  if (rc == SUCCESS) lseek(fd, pos + static_cast<off_t>(used), SEEK_SET);
  return rc;
}

data_type EBHeaderGetType(int tag) {
  switch (tag) {
    case CODE_TAG:
    case TYPE_TAG:
      return DATA_TYPE_I8;
    case NAME_TAG:
    case STRVALUE_TAG:
      return DATA_TYPE_PTR;
    case INTVALUE_TAG:
      return DATA_TYPE_I32;
    case LNGVALUE_TAG:
      return DATA_TYPE_I64;
    default:
      return DATA_TYPE_COMP;
  }
}

// --- Header ----------------------------------------------------------------------------

static bool is_ip_id(unsigned id) { return id == FIELD_IP || id == FIELD_DST_IP || id == FIELD_PEER_IP; }

// Bytes a value of this type byte occupies in memory for a reader of the
// row; 0 for types no constant can fill (addresses).
static size_t need_bytes(unsigned type) {
  unsigned st = StorageType(type);
  if (st & STORT_BYTE_FLAG || st <= STORT_INT8) return 1;
  switch (st) {
    case STORT_INT16:
      return 2;
    case STORT_INT32:
      return 4;
    case STORT_INT64:
      return 8;
    case STORT_INT128:
      return 16;
    case STORT_STR:
      return 1;
    default:
      return 0;
  }
}

ExtBinLogReaderData::ExtBinLogReaderData(const char *name, off_t begin)
    : CommonReaderData(name, REQFILEUTILS_REQUEST_TYPE_BINARY_EXT), data_begin(begin) {}

ExtBinLogReaderData::~ExtBinLogReaderData() { EBFreeHeaderInfo(this); }

void EBFreeHeaderInfo(ExtBinLogReaderData *d) {
  d->field_count = 0;
  d->stat_fields_offset = 0;
  d->date_field = -1;
  d->fields = d->ftypes = nullptr;
  d->field_names = nullptr;
  d->field_values = nullptr;
  d->own_fields.clear();
  d->own_ftypes.clear();
  d->names_store.clear();
  d->names_ptrs.clear();
  d->values_store.clear();
  d->values_ptrs.clear();
  d->steps.clear();
}

// The step reading a per-record field of this id and type.
static EbStep step_of(unsigned id, unsigned type) {
  unsigned st = StorageType(type);
  EbStep s;
  if (is_ip_id(id)) {
    s.kind = st == STORT_INT128 ? EbStep::kIp16 : st == STORT_IPADDR ? EbStep::kIpFamily : EbStep::kIp4;
  } else if (st & STORT_BYTE_FLAG || st <= STORT_INT8) {
    s.size = 1;
  } else if (st == STORT_STR) {
    s.kind = EbStep::kText;
  } else {
    // Storage 2 to 5: the header admits no other (storage 7 only for
    // addresses).
    s.size = static_cast<unsigned char>(record_fixed_size(type));
  }
  return s;
}

namespace {
struct FieldDef {
  int id = -1, type = -1;
  const char *name = nullptr;
  std::vector<unsigned char> value;
  bool has_value = false, value_is_text = false;
};
}  // namespace

static bool parse_field(ASNNodePtr f, bool constant, FieldDef *out) {
  if (f->type != FIELD_TAG || !f->constructed) return false;
  for (int i = 0; i < f->chnum; ++i) {
    ASNNodePtr c = f->children[i];
    bool leaf = !c->constructed;
    switch (c->type) {
      case CODE_TAG:
        if (!leaf) return false;
        out->id = c->u.tbyte;
        break;
      case TYPE_TAG:
        if (!leaf) return false;
        out->type = c->u.tbyte;
        break;
      case NAME_TAG:
        if (!leaf || !c->u.tstring) return false;
        out->name = c->u.tstring;
        break;
      case INTVALUE_TAG:
      case LNGVALUE_TAG:
      case STRVALUE_TAG:
        if (!constant) break;
        if (!leaf) return false;
        out->has_value = true;
        out->value_is_text = c->type == STRVALUE_TAG;
        if (c->type == INTVALUE_TAG) {
          int32_t v = c->u.tint;
          out->value.assign(reinterpret_cast<unsigned char *>(&v), reinterpret_cast<unsigned char *>(&v) + 4);
        } else if (c->type == LNGVALUE_TAG) {
          int64_t v = c->u.tlonglong;
          out->value.assign(reinterpret_cast<unsigned char *>(&v), reinterpret_cast<unsigned char *>(&v) + 8);
        } else {
          const char *s = c->u.tstring ? c->u.tstring : "";
          out->value.assign(s, s + strlen(s) + 1);
        }
        break;
      default:
        break;
    }
  }
  // Every field names its id (never 0, the row terminator), type and name.
  if (out->id <= 0 || out->type < 0 || !out->name) return false;
  if (!constant) return StorageType(out->type) != STORT_IPADDR || is_ip_id(static_cast<unsigned>(out->id));
  if (!out->has_value) return false;
  size_t need = need_bytes(static_cast<unsigned>(out->type));
  if (need == 0 || out->value.size() < need) return false;
  return StorageType(out->type) != STORT_STR || out->value_is_text;
}

int EBParseHeader(ExtBinLogReaderData *d, ASNNodePtr root) {
  EBFreeHeaderInfo(d);
  if (!root || root->type != HEADER_TAG || !root->constructed) return -1;
  ASNNodePtr per = nullptr, stat = nullptr;
  for (int i = 0; i < root->chnum; ++i) {
    ASNNodePtr c = root->children[i];
    if (c->type == FIELDS_TAG) per = c;
    if (c->type == STAT_FIELDS_TAG) stat = c;
  }
  if (!per || !stat || !per->constructed || !stat->constructed) return -1;
  // Records of no bytes cannot be read; a row must fit the field map.
  if (per->chnum < 1 || per->chnum + stat->chnum > LOGFILE_MAX_FIELDS) return -1;
  std::vector<FieldDef> defs(static_cast<size_t>(per->chnum + stat->chnum));
  for (int i = 0; i < per->chnum; ++i)
    if (!parse_field(per->children[i], false, &defs[static_cast<size_t>(i)])) return -1;
  for (int i = 0; i < stat->chnum; ++i)
    if (!parse_field(stat->children[i], true, &defs[static_cast<size_t>(per->chnum + i)])) return -1;
  int date = -1;
  for (size_t i = 0; i < defs.size() && date < 0; ++i)
    if (defs[i].id == FIELD_DATE) date = static_cast<int>(i);
  if (date < 0) return -1;
  unsigned dst = StorageType(static_cast<unsigned>(defs[static_cast<size_t>(date)].type));
  if (dst != STORT_INT32 && dst != STORT_INT64) return -1;

  for (const FieldDef &f : defs) {
    d->own_fields.push_back(static_cast<unsigned char>(f.id));
    d->own_ftypes.push_back(static_cast<unsigned char>(f.type));
    d->names_store.emplace_back(f.name);
    if (&f - defs.data() >= per->chnum) {
      // Zero-padded, so a reader taking the value by its type never reads
      // past it.
      std::vector<unsigned char> v = f.value;
      if (v.size() < sizeof(kx_ipaddr) + 4) v.resize(sizeof(kx_ipaddr) + 4, 0);
      d->values_store.push_back(std::move(v));
    }
  }
  d->own_fields.push_back(0);
  d->own_ftypes.push_back(0);
  for (std::string &s : d->names_store) d->names_ptrs.push_back(s.data());
  d->names_ptrs.push_back(nullptr);
  for (auto &v : d->values_store) d->values_ptrs.push_back(v.data());
  d->values_ptrs.push_back(nullptr);
  d->fields = d->own_fields.data();
  d->ftypes = d->own_ftypes.data();
  d->field_names = d->names_ptrs.data();
  d->field_values = d->values_ptrs.data();
  for (int i = 0; i < per->chnum; ++i) d->steps.push_back(step_of(d->fields[i], d->ftypes[i]));
  d->stat_fields_offset = per->chnum;
  d->date_field = date;
  d->field_count = static_cast<int>(defs.size());
  return 0;
}

// Reads and parses the header at offset 4 of an open descriptor; the
// offset after it into *begin. 0 or -1.
static int read_header(ExtBinLogReaderData *d, int fd, off_t *begin) {
  if (lseek(fd, 4, SEEK_SET) != 4) return -1;
  ASNNodePtr root = nullptr;
  if (asn1ReadData(&root, fd, EBHeaderGetType) != SUCCESS) return -1;
  int rc = EBParseHeader(d, root);
  asn1NodeFree(root);
  off_t pos = lseek(fd, 0, SEEK_CUR);
  if (rc != 0 || pos < 0) {
    EBFreeHeaderInfo(d);
    return -1;
  }
  *begin = pos;
  return 0;
}

int EBGetHeader(ExtBinLogReaderData *d) {
  int fd = open(d->filename, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  unsigned char b[4];
  off_t begin = 0;
  int rc = -1;
  if (file_pread_full(fd, b, 4, 0) == 4 && static_cast<int32_t>(kx_le32(b)) < THRESHOLD_DATE)
    rc = read_header(d, fd, &begin);
  close(fd);
  // A log that was empty when its reader was made learns where its records
  // start here.
  if (rc == 0) d->data_begin = begin;
  return rc;
}

static int eb_layout(CommonReaderData *cd) {
  auto *d = static_cast<ExtBinLogReaderData *>(cd);
  if (d->field_count) return 0;
  return EBGetHeader(d);
}

// --- Records -------------------------------------------------------------------------------

static time_t date_value(unsigned type, const unsigned char *p) {
  if (StorageType(type) == STORT_INT64) return static_cast<time_t>(kx_le64(p));
  return static_cast<int32_t>(kx_le32(p));
}

// Walks the per-record fields at p; with a row, decodes them into it. The
// record's time into *t when t is given.
static long eb_walk(ExtBinLogReaderData *d, RecordPtr row, unsigned char *p, unsigned char *end, time_t *t) {
  unsigned char *s = p;
  const EbStep *steps = d->steps.data();
  const int count = d->stat_fields_offset;
  LogfileNuls nuls(end);
  for (int i = 0; i < count; ++i) {
    long avail = end - p;
    long n;
    switch (steps[i].kind) {
      case EbStep::kFixed:
        n = steps[i].size;
        break;
      case EbStep::kText: {
        const unsigned char *z = nuls.find(p);
        if (!z) return LOGFILE_NEED_MORE;
        n = z - p + 1;
        break;
      }
      default: {
        kx_ipaddr tmp;
        kx_ipaddr *ip = row ? static_cast<kx_ipaddr *>(row[i].data) : &tmp;
        if (!ip) return LOGFILE_CORRUPT;
        if (steps[i].kind == EbStep::kIp16) {
          if (avail < 16) return LOGFILE_NEED_MORE;
          record_ip_from_ipv6(ip, p);
          p += 16;
        } else if (steps[i].kind == EbStep::kIpFamily) {
          if (avail < 1) return LOGFILE_NEED_MORE;
          if (p[0] == AF_INET) {
            if (avail < 5) return LOGFILE_NEED_MORE;
            ip->family = AF_INET;
            ip->addr.ip = kx_le32(p + 1);
            p += 5;
          } else {
            if (avail < 17) return LOGFILE_NEED_MORE;
            record_ip_from_ipv6(ip, p + 1);
            p += 17;
          }
        } else {
          if (avail < 4) return LOGFILE_NEED_MORE;
          ip->family = AF_INET;
          ip->addr.ip = kx_le32(p);
          p += 4;
        }
        continue;
      }
    }
    if (avail < n) return LOGFILE_NEED_MORE;
    if (row) row[i].data = p;
    if (t && i == d->date_field) *t = date_value(d->ftypes[i], p);
    p += n;
  }
  if (t && d->date_field >= d->stat_fields_offset)
    *t = date_value(d->ftypes[d->date_field],
                    static_cast<const unsigned char *>(d->field_values[d->date_field - d->stat_fields_offset]));
  return p - s;
}

LOGFILE_DECODER static long eb_decode(CommonReaderData *cd, RecordPtr row, unsigned char *p, unsigned char *end) {
  return eb_walk(static_cast<ExtBinLogReaderData *>(cd), row, p, end, nullptr);
}

struct EbProbe {
  ExtBinLogReaderData *d;
  time_t *t;
};

static long eb_probe(void *ctx, unsigned char *p, unsigned char *end) {
  auto *pr = static_cast<EbProbe *>(ctx);
  return eb_walk(pr->d, nullptr, p, end, pr->t);
}

// Time of the record at offset, read with a buffer of its own so the
// reader's position is left alone. The record is walked whole, so this is
// also the format's test of a whole record.
static int eb_time_at(CommonReaderData *cd, int fd, off_t offset, time_t *t) {
  auto *d = static_cast<ExtBinLogReaderData *>(cd);
  if (!d->field_count) return -1;
  EbProbe pr{d, t};
  return logfile_walk_at(fd, offset, eb_probe, &pr);
}

static int eb_first_time(CommonReaderData *d, int logfd, int ndxfd, time_t *t) {
  return logfile_first_indexed_time(d, logfd, ndxfd, eb_time_at, t);
}

static off_t eb_first_offset(CommonReaderData *d) { return static_cast<ExtBinLogReaderData *>(d)->data_begin; }

static const LogFormatHooks kEBHooks = {eb_layout, eb_first_offset, eb_decode, eb_time_at, eb_first_time, eb_time_at};

// --- The operations -----------------------------------------------------------------------------

static LogFileTimeBounds *EBGetTimeBounds(LogFileReaderPtr r) { return logfile_time_bounds(data_of(r), &kEBHooks); }
static off_t EBGetFileSize(LogFileReaderPtr r) { return data_of(r)->filesize; }
static int EBGetFirstRec(LogFileReaderPtr r, RecordPtr row) { return logfile_first_rec(data_of(r), &kEBHooks, row); }
static int EBGetNextRec(LogFileReaderPtr r, RecordPtr row) {
  return logfile_next_rec_as<eb_decode>(data_of(r), &kEBHooks, row);
}
static int EBGetRecByTime(LogFileReaderPtr r, RecordPtr row, time_t t) {
  return logfile_rec_by_time(data_of(r), &kEBHooks, row, t);
}
static int EBGetRecByNumber(LogFileReaderPtr r, RecordPtr row, off_t n) {
  return logfile_rec_by_number(data_of(r), &kEBHooks, row, n);
}
static time_t EBRecordTime(LogFileReaderPtr r, RecordPtr row) {
  ExtBinLogReaderData *d = data_of(r);
  if (!row || d->date_field < 0 || !row[d->date_field].data) return -1;
  return date_value(d->ftypes[d->date_field], static_cast<const unsigned char *>(row[d->date_field].data));
}
static off_t EBRecordOffset(LogFileReaderPtr r) { return logfile_record_offset(data_of(r)); }
static int EBGetFieldsNumber(LogFileReaderPtr r) {
  eb_layout(data_of(r));
  return data_of(r)->field_count;
}
static unsigned char *EBGetFieldsList(LogFileReaderPtr r) {
  eb_layout(data_of(r));
  return data_of(r)->fields;
}
static char **EBGetFieldsNames(LogFileReaderPtr r) {
  eb_layout(data_of(r));
  return data_of(r)->field_names;
}
static unsigned char *EBGetFieldsPrintTypes(LogFileReaderPtr r) {
  eb_layout(data_of(r));
  return data_of(r)->ftypes;
}

static void EBFreeReader(LogFileReaderPtr r) {
  if (!r) return;
  delete data_of(r);
  delete r;
}

// One block: the entries, then one kx_ipaddr per per-record address field.
static RecordPtr EBAllocateRecords(LogFileReaderPtr r, int extra) {
  ExtBinLogReaderData *d = data_of(r);
  if (eb_layout(d) != 0 || extra < 0 || extra > 255) return nullptr;
  size_t entries = static_cast<size_t>(d->field_count + extra + 1);
  size_t ips = 0;
  for (int i = 0; i < d->stat_fields_offset; ++i) ips += is_ip_id(d->fields[i]);
  auto *row = static_cast<RecordPtr>(calloc(1, entries * sizeof(Record) + ips * sizeof(kx_ipaddr)));
  if (!row) return nullptr;
  auto *ip = reinterpret_cast<kx_ipaddr *>(row + entries);
  for (int i = 0; i < d->field_count; ++i) {
    row[i].type = d->fields[i];
    row[i].datatype = d->ftypes[i];
    if (i >= d->stat_fields_offset) {
      row[i].data = d->field_values[i - d->stat_fields_offset];
    } else if (is_ip_id(d->fields[i])) {
      row[i].datatype = 0x57;
      kxnet_defaultip(ip);
      row[i].data = ip++;
    }
  }
  return row;
}

static void EBFreeRecords(LogFileReaderPtr, RecordPtr row) { free(row); }
static int EBGetRecordsNumber(LogFileReaderPtr r, off_t *n) { return logfile_records_number(data_of(r), n); }
static int EBGetFileType(LogFileReaderPtr r) { return data_of(r)->file_type; }
static int EBGetReportRecordsNumber(LogFileReaderPtr r, time_t start, time_t end, off_t *n) {
  return logfile_report_records(data_of(r), &kEBHooks, start, end, n);
}

const LogFileReaderMethods EBMethods = {
    EBGetTimeBounds,    EBGetFileSize,         EBGetFirstRec,  EBGetNextRec,      EBGetRecByTime,
    EBGetRecByNumber,   EBRecordTime,          EBRecordOffset, EBGetFieldsNumber, EBGetFieldsList,
    EBGetFieldsNames,   EBGetFieldsPrintTypes, EBFreeReader,   EBAllocateRecords, EBFreeRecords,
    EBGetRecordsNumber, EBGetFileType,         EBGetReportRecordsNumber,
};

LogFileReaderPtr CreateExtBinaryReader(const char *filename, off_t data_begin) {
  if (!filename) return nullptr;
  auto *d = new (std::nothrow) ExtBinLogReaderData(filename, data_begin);
  if (!d) return nullptr;
  if (!d->filename) {
    delete d;
    return nullptr;
  }
  d->hooks = &kEBHooks;
  auto *r = new (std::nothrow) LogFileReader{&EBMethods, d};
  if (!r) delete d;
  return r;
}

LogFileReaderPtr KXExtBinaryFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                                     void *filter) {
  if (!filename || !CheckFileName(filename, REQFILEUTILS_REQUEST_TYPE_BINARY_EXT_PREFIX)) return nullptr;
  if (filter_func && !filter_func(filename, filter)) return nullptr;
  int fd = logfile_open_candidate(filename);
  if (fd < 0) return nullptr;
  unsigned char b[4];
  ssize_t n = file_pread_full(fd, b, sizeof b, 0);
  LogFileReaderPtr r = nullptr;
  if (n == 0) {
    if (loadZeroSize) r = CreateExtBinaryReader(filename, 0);
  } else if (n == 4 && static_cast<int32_t>(kx_le32(b)) < THRESHOLD_DATE) {
    // The header is parsed here and kept: a file whose header cannot be read
    // is not taken as an extended log.
    off_t begin;
    r = CreateExtBinaryReader(filename, 0);
    if (r && read_header(data_of(r), fd, &begin) == 0) {
      data_of(r)->data_begin = begin;
    } else if (r) {
      EBFreeReader(r);
      r = nullptr;
    }
  }
  close(fd);
  return r;
}
