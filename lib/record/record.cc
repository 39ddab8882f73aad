#include "lib/record/record.h"

#include <stdlib.h>
#include <string.h>

const RecordFieldInfo record_field_table[] = {
    {1, "FIELD_URI", "URI", "url", 0x16, 0x16},
    {2, "FIELD_IP", "IP", "ip", 0x57, 0x53},
    {3, "FIELD_USER", "USER", "user", 0x16, 0x16},
    {4, "FIELD_GROUP", "GROUP", "group", 0x16, 0x16},
    {5, "FIELD_CATS", "CATS", "cats", 0x16, 0x36},
    {6, "FIELD_DENIED_FLAG", "DENIEDFLAG", "denied", 0x71, 0x71},
    {7, "FIELD_DATE", "DATE", "date", 0x43, 0x43},
    {8, "FIELD_CAT", "CAT", nullptr, 0x83, 0x83},
    {9, nullptr, "REQUESTCOUNT", nullptr, 0, 0x04},
    {10, nullptr, "REQUESTALLOWED", nullptr, 0, 0x04},
    {11, nullptr, "REQUESTDENIED", nullptr, 0, 0x04},
    {12, nullptr, "PAGESCOUNT", nullptr, 0, 0x04},
    {13, nullptr, "PAGESALLOWED", nullptr, 0, 0x04},
    {14, nullptr, "PAGESDENIED", nullptr, 0, 0x04},
    {15, nullptr, "FILESCOUNT", nullptr, 0, 0x04},
    {16, nullptr, "FILESALLOWED", nullptr, 0, 0x04},
    {17, nullptr, "FILESDENIED", nullptr, 0, 0x04},
    {18, nullptr, "SUBREPORTFILENAME", nullptr, 0, 0x16},
    {31, nullptr, "ADDITIONAL", "reldate", 0, 0},
    {32, nullptr, "URIHOST", "host", 0x16, 0x16},
    {33, nullptr, "REQUESTCOUNTPERCENT", nullptr, 0, 0x04},
    {34, nullptr, "PAGESCOUNTPERCENT", nullptr, 0, 0x04},
    {35, nullptr, "FILESCOUNTPERCENT", nullptr, 0, 0x04},
    {36, nullptr, "ADDITIONAL", nullptr, 0, 0},
    {43, nullptr, "ADDITIONAL", "daytime", 0, 0},
    {44, nullptr, "ADDITIONAL", "weekday", 0, 0},
    {45, nullptr, "ADDITIONAL", "monthday", 0, 0},
    {46, nullptr, "PROTOCOL", nullptr, 0x16, 0},
    {47, "FIELD_DST_IP", "DSTIP", "dstip", 0x57, 0},
    {48, nullptr, "URIDOMAIN", nullptr, 0x16, 0x16},
    {49, nullptr, "ADDITIONAL", nullptr, 0x01, 0},
    {50, "FIELD_PEER_IP", "ADDITIONAL", nullptr, 0x57, 0},
    {51, "FIELD_LOGGER_ID", "ADDITIONAL", nullptr, 0x16, 0},
    {52, "FIELD_LONGCATS", "ONLINETIME", nullptr, 0, 0x04},
    {53, nullptr, "SEARCHTERM", "search_terms", 0x16, 0},
    {54, "FIELD_ALL_CATS", "ALLCATS", nullptr, 0x16, 0},
    {55, "FIELD_HTTP_METHOD", "ADDITIONAL", nullptr, 0x01, 0},
    {56, "FIELD_HTTP_AGENT", "ADDITIONAL", nullptr, 0x16, 0},
    {57, "FIELD_HTTP_REF", "ADDITIONAL", nullptr, 0x16, 0},
    {58, "FIELD_POLICY", "ADDITIONAL", nullptr, 0x16, 0},
    {59, "FIELD_LOGFILE_TAG", "ADDITIONAL", nullptr, 0, 0},
    {60, nullptr, "CATSNUM", nullptr, 0x16, 0},
    {61, nullptr, "ALLCATSNUM", nullptr, 0x16, 0},
    {62, nullptr, "CAT", nullptr, 0x83, 0x83},
    {63, "FIELD_TYPE", "ADDITIONAL", nullptr, 0x03, 0},
    {64, "FIELD_DATA", "ADDITIONAL", nullptr, 0x16, 0},
    {65, nullptr, "INPUTBYTES", nullptr, 0, 0x04},
    {66, nullptr, "OUTPUTBYTES", nullptr, 0, 0x04},
    {67, "FIELD_MODULE", "ADDITIONAL", nullptr, 0x16, 0},
    {68, "FIELD_WORKSTATION", "ADDITIONAL", nullptr, 0x16, 0},
    {69, "FIELD_SCREENSHOT", "ADDITIONAL", nullptr, 0x16, 0},
    {70, nullptr, "ADDITIONAL", nullptr, 0x16, 0},
};
const size_t record_field_table_size = sizeof record_field_table / sizeof record_field_table[0];

const Record type_hints[] = {
    {1, 0x16, 0, nullptr},  {2, 0x57, 0, nullptr},  {3, 0x16, 0, nullptr},  {4, 0x16, 0, nullptr},
    {5, 0x16, 0, nullptr},  {6, 0x71, 0, nullptr},  {7, 0x43, 0, nullptr},  {8, 0x83, 0, nullptr},
    {62, 0x83, 0, nullptr}, {47, 0x57, 0, nullptr}, {50, 0x57, 0, nullptr}, {51, 0x16, 0, nullptr},
    {32, 0x16, 0, nullptr}, {46, 0x16, 0, nullptr}, {48, 0x16, 0, nullptr}, {49, 0x01, 0, nullptr},
    {53, 0x16, 0, nullptr}, {54, 0x16, 0, nullptr}, {55, 0x01, 0, nullptr}, {56, 0x16, 0, nullptr},
    {57, 0x16, 0, nullptr}, {58, 0x16, 0, nullptr}, {49, 0x01, 0, nullptr}, {60, 0x16, 0, nullptr},
    {61, 0x16, 0, nullptr}, {63, 0x03, 0, nullptr}, {64, 0x16, 0, nullptr}, {67, 0x16, 0, nullptr},
    {68, 0x16, 0, nullptr}, {69, 0x16, 0, nullptr}, {70, 0x16, 0, nullptr}, {0, 0, 0, nullptr},
};

size_t record_fixed_size(unsigned datatype) {
  switch (StorageType(datatype)) {
    case STORT_INT8: return 1;
    case STORT_INT16: return 2;
    case STORT_INT32: return 4;
    case STORT_INT64: return 8;
    case STORT_INT128: return 16;
    default: return 0;
  }
}

size_t record_value_size(unsigned datatype) {
  unsigned s = StorageType(datatype);
  if (s == STORT_UNKNOWN || (s & STORT_BYTE_FLAG)) return 1;
  return record_fixed_size(datatype);
}

uint64_t record_value_uint(const Record &r) {
  size_t n = record_value_size(r.datatype);
  if (!r.data || n == 0) return 0;
  if (n > 8) n = 8;
  const unsigned char *p = static_cast<const unsigned char *>(r.data);
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

const char *record_value_text(const Record &r) {
  return r.data && StorageType(r.datatype) == STORT_STR ? static_cast<const char *>(r.data) : nullptr;
}

bool record_value_address(const Record &r, kx_ipaddr *ip) {
  memset(ip, 0, sizeof *ip);
  if (!r.data) return false;
  switch (StorageType(r.datatype)) {
    case STORT_IPADDR:
      memcpy(ip, r.data, sizeof *ip);
      return true;
    case STORT_INT32:
      ip->family = AF_INET;
      ip->addr.ip = static_cast<in_addr_t>(record_value_uint(r));
      return true;
    case STORT_INT128:
      record_ip_from_ipv6(ip, static_cast<const unsigned char *>(r.data));
      return true;
    default:
      return false;
  }
}

const RecordFieldInfo *record_field_info(unsigned id) {
  for (size_t i = 0; i < record_field_table_size; ++i)
    if (record_field_table[i].id == id) return &record_field_table[i];
  return nullptr;
}

const char *record_field_name(unsigned id) {
  const RecordFieldInfo *info = record_field_info(id);
  return info ? info->name : "ADDITIONAL";
}

int record_field_by_name(const char *name) {
  if (!name || strcmp(name, "ADDITIONAL") == 0) return -1;
  for (size_t i = 0; i < record_field_table_size; ++i)
    if (strcmp(record_field_table[i].name, name) == 0) return record_field_table[i].id;
  return -1;
}

int record_field_by_key(const char *key) {
  if (!key) return -1;
  for (size_t i = 0; i < record_field_table_size; ++i) {
    const char *k = record_field_table[i].filter_key;
    if (k && strcmp(k, key) == 0) return record_field_table[i].id;
  }
  return -1;
}

uint8_t record_v1_type(unsigned id) {
  const RecordFieldInfo *info = record_field_info(id);
  return info ? info->v1_type : 0;
}

uint8_t record_type_hint(unsigned id) {
  if (id == 0) return 0;
  for (const Record *h = type_hints; h->type != 0; ++h)
    if (h->type == id) return h->datatype;
  return 0;
}

int record_count(const Record *row) {
  if (!row) return 0;
  int n = 0;
  while (row[n].type != 0) ++n;
  return n;
}

int record_build_map(unsigned char *map, const Record *row) {
  if (!map || !row) return -1;
  int end = record_count(row);
  if (end > 255) return -1;
  memset(map, end, RECORD_MAP_SIZE);
  for (int i = 0; i < end; ++i) map[row[i].type] = static_cast<unsigned char>(i);
  return end;
}

Record *record_find(RecordPtr row, const unsigned char *map, unsigned id) {
  if (!row || !map || id == 0 || id > 255) return nullptr;
  Record *e = row + map[id];
  return e->type == id ? e : nullptr;
}

const Record *record_find(const Record *row, const unsigned char *map, unsigned id) {
  return record_find(const_cast<Record *>(row), map, id);
}

void record_free_owned(Record *from) {
  if (!from) return;
  for (Record *e = from; e->type != 0; ++e) {
    if ((e->flags & RECORD_FLAG_OWNED) && e->data) {
      free(e->data);
      e->data = nullptr;
    }
  }
}

void record_ip_to_host_order(kx_ipaddr *ip) {
  if (ip && ip->family == AF_INET) ip->addr.ip = ntohl(ip->addr.ip);
}

void record_ip_from_ipv6(kx_ipaddr *ip, const unsigned char *bytes16) {
  static const unsigned char mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  memset(ip, 0, sizeof *ip);
  if (memcmp(bytes16, mapped_prefix, sizeof mapped_prefix) == 0) {
    ip->family = AF_INET;
    ip->addr.ip = static_cast<in_addr_t>(bytes16[12]) << 24 | static_cast<in_addr_t>(bytes16[13]) << 16 |
                  static_cast<in_addr_t>(bytes16[14]) << 8 | static_cast<in_addr_t>(bytes16[15]);
    return;
  }
  ip->family = AF_INET6;
  memcpy(&ip->addr.ip6, bytes16, 16);
}

const char *record_ip_ntop(const kx_ipaddr *ip, char *buf, int size) {
  if (!ip) return nullptr;
  if (ip->family != AF_INET) return kxnet_ntop(ip, buf, size);
  kx_ipaddr net = *ip;
  net.addr.ip = htonl(ip->addr.ip);
  return kxnet_ntop(&net, buf, size);
}
