#include "lib/record/record.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(RecordLayout, EntryIsSixteenBytes) {
  EXPECT_EQ(sizeof(Record), 16u);
  EXPECT_EQ(offsetof(Record, type), 0u);
  EXPECT_EQ(offsetof(Record, datatype), 1u);
  EXPECT_EQ(offsetof(Record, flags), 2u);
  EXPECT_EQ(offsetof(Record, data), 8u);
  EXPECT_EQ(RECORD_FLAG_OWNED, 1);
}

TEST(RecordTypeByte, PrintAndStorageNibbles) {
  struct Case {
    unsigned t, print, storage;
    size_t fixed;
  } cases[] = {
      {0x57, PTYPE_IP, STORT_IPADDR, 0},     {0x53, PTYPE_IP, STORT_INT32, 4},
      {0x16, PTYPE_STRING, STORT_STR, 0},    {0x36, PTYPE_CATS, STORT_STR, 0},
      {0x43, PTYPE_TIMESTAMP, STORT_INT32, 4}, {0x71, PTYPE_BOOL, STORT_INT8, 1},
      {0x83, PTYPE_CAT, STORT_INT32, 4},     {0x04, PTYPE_UNDEFINED, STORT_INT64, 8},
      {0x25, PTYPE_OCTETS, STORT_INT128, 16}, {0x62, PTYPE_CHAR, STORT_INT16, 2},
      {0x00, PTYPE_UNDEFINED, STORT_UNKNOWN, 0}, {0x1F, PTYPE_STRING, 15, 0},
      {0x38, PTYPE_CATS, 8, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(static_cast<unsigned>(PrintType(c.t)), c.print) << std::hex << c.t;
    EXPECT_EQ(static_cast<unsigned>(StorageType(c.t)), c.storage) << std::hex << c.t;
    EXPECT_EQ(record_fixed_size(c.t), c.fixed) << std::hex << c.t;
  }
  EXPECT_EQ(PTYPE_DATE, PTYPE_TIMESTAMP);
  EXPECT_TRUE(StorageType(0x1F) & STORT_BYTE_FLAG);
  EXPECT_FALSE(StorageType(0x17) & STORT_BYTE_FLAG);
}

// --- The field-id table ------------------------------------------------------

TEST(RecordFields, PrintedNames) {
  struct Case {
    unsigned id;
    const char *name;
  } cases[] = {
      {1, "URI"},        {2, "IP"},          {6, "DENIEDFLAG"},         {7, "DATE"},
      {8, "CAT"},        {62, "CAT"},        {60, "CATSNUM"},           {61, "ALLCATSNUM"},
      {52, "ONLINETIME"}, {47, "DSTIP"},     {18, "SUBREPORTFILENAME"}, {53, "SEARCHTERM"},
      {33, "REQUESTCOUNTPERCENT"}, {66, "OUTPUTBYTES"}, {50, "ADDITIONAL"}, {19, "ADDITIONAL"},
      {31, "ADDITIONAL"}, {70, "ADDITIONAL"}, {0, "ADDITIONAL"},         {200, "ADDITIONAL"},
  };
  for (const auto &c : cases) EXPECT_STREQ(record_field_name(c.id), c.name) << c.id;
}

TEST(RecordFields, MacrosMatchTheTable) {
  struct Case {
    unsigned id;
    const char *macro;
  } cases[] = {
      {FIELD_URI, "FIELD_URI"},           {FIELD_IP, "FIELD_IP"},
      {FIELD_DENIED_FLAG, "FIELD_DENIED_FLAG"}, {FIELD_DATE, "FIELD_DATE"},
      {FIELD_LONGCATS, "FIELD_LONGCATS"}, {FIELD_ALL_CATS, "FIELD_ALL_CATS"},
      {FIELD_LOGFILE_TAG, "FIELD_LOGFILE_TAG"}, {FIELD_SCREENSHOT, "FIELD_SCREENSHOT"},
  };
  for (const auto &c : cases) {
    const RecordFieldInfo *info = record_field_info(c.id);
    ASSERT_NE(info, nullptr) << c.macro;
    EXPECT_STREQ(info->macro, c.macro);
  }
  EXPECT_EQ(FIELD_LONGCATS, 52);
  EXPECT_EQ(FIELD_ONLINETIME, FIELD_LONGCATS);
  EXPECT_EQ(FIELD_SCREENSHOT, 69);
  size_t with_macro = 0;
  std::set<unsigned> ids;
  unsigned prev = 0;
  for (size_t i = 0; i < record_field_table_size; ++i) {
    const RecordFieldInfo &f = record_field_table[i];
    EXPECT_GT(f.id, prev) << "table is in ascending id order";
    prev = f.id;
    ASSERT_NE(f.name, nullptr);
    if (f.macro) ++with_macro;
  }
  EXPECT_EQ(with_macro, static_cast<size_t>(FIELD_CODE_COUNT));
  EXPECT_EQ(record_field_info(19), nullptr);
  EXPECT_EQ(record_field_info(0), nullptr);
}

TEST(RecordFields, LookupByNameAndFilterKey) {
  struct Case {
    const char *text;
    int by_name, by_key;
  } cases[] = {
      {"URI", 1, -1},          {"CAT", 8, -1},        {"ONLINETIME", 52, -1},
      {"ADDITIONAL", -1, -1},  {"url", -1, 1},        {"reldate", -1, 31},
      {"search_terms", -1, 53}, {"dstip", -1, 47},    {"monthday", -1, 45},
      {"URL", -1, -1},         {"", -1, -1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(record_field_by_name(c.text), c.by_name) << c.text;
    EXPECT_EQ(record_field_by_key(c.text), c.by_key) << c.text;
  }
  EXPECT_EQ(record_field_by_name(nullptr), -1);
  EXPECT_EQ(record_field_by_key(nullptr), -1);
}

TEST(RecordFields, VersionOneTypesOfEveryId) {
  // Fixed types of a version-1 report table, as its format lists them.
  auto expected = [](unsigned id) -> unsigned {
    switch (id) {
      case 1: case 3: case 4: case 18: case 32: case 48: return 0x16;
      case 2: return 0x53;
      case 5: return 0x36;
      case 6: return 0x71;
      case 7: return 0x43;
      case 8: case 62: return 0x83;
      case 33: case 34: case 35: case 52: case 65: case 66: return 0x04;
      default: return id >= 9 && id <= 17 ? 0x04 : 0x00;
    }
  };
  for (unsigned id = 0; id < 256; ++id) EXPECT_EQ(record_v1_type(id), expected(id)) << id;
}

// --- Type hints ------------------------------------------------------------

TEST(RecordTypeHints, ExactSequence) {
  const unsigned pairs[][2] = {
      {1, 0x16},  {2, 0x57},  {3, 0x16},  {4, 0x16},  {5, 0x16},  {6, 0x71},  {7, 0x43},  {8, 0x83},
      {62, 0x83}, {47, 0x57}, {50, 0x57}, {51, 0x16}, {32, 0x16}, {46, 0x16}, {48, 0x16}, {49, 0x01},
      {53, 0x16}, {54, 0x16}, {55, 0x01}, {56, 0x16}, {57, 0x16}, {58, 0x16}, {49, 0x01}, {60, 0x16},
      {61, 0x16}, {63, 0x03}, {64, 0x16}, {67, 0x16}, {68, 0x16}, {69, 0x16}, {70, 0x16},
  };
  size_t n = sizeof pairs / sizeof pairs[0];
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(type_hints[i].type, pairs[i][0]) << i;
    EXPECT_EQ(type_hints[i].datatype, pairs[i][1]) << i;
    EXPECT_EQ(type_hints[i].flags, 0) << i;
    EXPECT_EQ(type_hints[i].data, nullptr) << i;
  }
  EXPECT_EQ(type_hints[n].type, 0);
}

TEST(RecordTypeHints, LookupAgreesWithTheFieldTable) {
  EXPECT_EQ(record_type_hint(2), 0x57);
  EXPECT_EQ(record_type_hint(49), 0x01);
  EXPECT_EQ(record_type_hint(59), 0);  // the log-file tag has no hint
  EXPECT_EQ(record_type_hint(9), 0);   // nor have counters
  EXPECT_EQ(record_type_hint(0), 0);
  for (unsigned id = 1; id < 256; ++id) {
    const RecordFieldInfo *f = record_field_info(id);
    EXPECT_EQ(record_type_hint(id), f ? f->hint : 0) << id;
  }
}

// --- Rows and field maps -----------------------------------------------------

TEST(RecordMap, AbsentIdsReachATypeZeroEntry) {
  // A reader's row: three fields, a derived field, the terminator and a
  // spare zeroed entry.
  kx_ipaddr ip;
  kxnet_defaultip(&ip);
  std::vector<Record> row = {
      {7, 0x43, 0, nullptr}, {2, 0x57, 0, &ip}, {3, 0x16, 0, nullptr}, {32, 0x16, RECORD_FLAG_OWNED, nullptr},
      {0, 0, 0, nullptr},    {0, 0, 0, nullptr},
  };
  RecordMap map;
  ASSERT_EQ(record_build_map(map, row.data()), 4);
  EXPECT_EQ(record_count(row.data()), 4);
  struct Case {
    unsigned id;
    int index;  // -1: absent
  } cases[] = {{7, 0}, {2, 1}, {3, 2}, {32, 3}, {5, -1}, {1, -1}, {0, -1}, {255, -1}};
  for (const auto &c : cases) {
    Record *e = record_get(row.data(), map, c.id);
    if (c.index >= 0) {
      EXPECT_EQ(e, &row[static_cast<size_t>(c.index)]) << c.id;
      EXPECT_EQ(e->type, c.id);
      EXPECT_EQ(record_find(row.data(), map, c.id), e);
    } else {
      EXPECT_EQ(e->type, 0) << c.id << " must not reach another field";
      EXPECT_EQ(e, &row[4]) << c.id;
      EXPECT_EQ(record_find(row.data(), map, c.id), nullptr) << c.id;
    }
  }
  const Record *crow = row.data();
  EXPECT_EQ(record_find(crow, map, 2)->data, &ip);
}

TEST(RecordMap, LaterDuplicateWinsAndLongRowsFail) {
  std::vector<Record> row = {{5, 0x16, 0, nullptr}, {5, 0x36, 0, nullptr}, {0, 0, 0, nullptr}};
  RecordMap map;
  ASSERT_EQ(record_build_map(map, row.data()), 2);
  EXPECT_EQ(record_get(row.data(), map, 5), &row[1]);

  // 256 fields: the terminator would need index 256.
  std::vector<Record> longrow(257, Record{9, 0x04, 0, nullptr});
  longrow.back() = Record{0, 0, 0, nullptr};
  memset(map, 0xAB, sizeof map);
  EXPECT_EQ(record_build_map(map, longrow.data()), -1);
  EXPECT_EQ(map[9], 0xAB) << "a failed build leaves the map alone";
  // 255 fields still fit.
  std::vector<Record> maxrow(256, Record{9, 0x04, 0, nullptr});
  maxrow.back() = Record{0, 0, 0, nullptr};
  EXPECT_EQ(record_build_map(map, maxrow.data()), 255);
  EXPECT_EQ(record_get(maxrow.data(), map, 10)->type, 0);

  EXPECT_EQ(record_build_map(nullptr, row.data()), -1);
  EXPECT_EQ(record_build_map(map, nullptr), -1);
  EXPECT_EQ(record_count(nullptr), 0);
}

TEST(RecordOwned, FreesOnlyOwnedData) {
  char text[] = "kept";
  std::vector<Record> row = {
      {1, 0x16, 0, text},
      {32, 0x16, RECORD_FLAG_OWNED, strdup("host")},
      {48, 0x16, RECORD_FLAG_OWNED, nullptr},
      {53, 0x16, RECORD_FLAG_OWNED, strdup("terms")},
      {0, 0, 0, nullptr},
  };
  record_free_owned(row.data());
  EXPECT_EQ(row[0].data, text);
  EXPECT_EQ(row[1].data, nullptr);
  EXPECT_EQ(row[2].data, nullptr);
  EXPECT_EQ(row[3].data, nullptr);
  EXPECT_EQ(row[1].flags, RECORD_FLAG_OWNED) << "the entry keeps owning what it gets next";
  // From an index on, as the table readers do for entries after their own.
  row[1].data = strdup("again");
  row[3].data = strdup("again");
  record_free_owned(&row[2]);
  EXPECT_NE(row[1].data, nullptr);
  EXPECT_EQ(row[3].data, nullptr);
  record_free_owned(row.data());
  record_free_owned(nullptr);
}

// --- IP values in rows -------------------------------------------------------

TEST(RecordIp, StoredIPv6BytesAndHostOrder) {
  struct Case {
    const char *text;
    int family;
    uint32_t v4;  // host-order value for family 2
  } cases[] = {
      {"::ffff:10.1.2.3", AF_INET, (10u << 24) + (1u << 16) + (2u << 8) + 3u},
      {"::ffff:255.255.255.255", AF_INET, 0xFFFFFFFFu},
      {"2001:db8::7", AF_INET6, 0},
      {"::10.1.2.3", AF_INET6, 0},  // IPv4-compatible, not mapped
      {"::", AF_INET6, 0},
  };
  for (const auto &c : cases) {
    kx_ipaddr parsed;
    ASSERT_EQ(kxnet_aton(c.text, &parsed), 0) << c.text;
    kx_ipaddr ip;
    record_ip_from_ipv6(&ip, parsed.addr.ip6.s6_addr);
    EXPECT_EQ(ip.family, c.family) << c.text;
    if (c.family == AF_INET)
      EXPECT_EQ(ip.addr.ip, c.v4) << c.text;
    else
      EXPECT_EQ(memcmp(&ip.addr.ip6, &parsed.addr.ip6, 16), 0) << c.text;
  }
  kx_ipaddr v4;
  ASSERT_EQ(kxnet_aton("10.1.2.3", &v4), 0);
  record_ip_to_host_order(&v4);
  EXPECT_EQ(v4.addr.ip, 0x0A010203u);
  kx_ipaddr v6;
  ASSERT_EQ(kxnet_aton("::1", &v6), 0);
  kx_ipaddr before = v6;
  record_ip_to_host_order(&v6);
  EXPECT_EQ(memcmp(&before, &v6, sizeof v6), 0);
  record_ip_to_host_order(nullptr);
}

TEST(RecordIp, PrintsRowFormValues) {
  struct Case {
    int family;
    uint32_t v4;
    const char *v6;
    const char *expected;
  } cases[] = {
      {AF_INET, 0x0A010203u, nullptr, "10.1.2.3"},
      {AF_INET, 0xFFFFFFFFu, nullptr, "255.255.255.255"},
      {AF_INET6, 0, "2001:db8::7", "2001:db8::7"},
      {0, 0, nullptr, nullptr},
  };
  for (const auto &c : cases) {
    kx_ipaddr ip;
    memset(&ip, 0, sizeof ip);
    if (c.v6) {
      ASSERT_EQ(kxnet_aton(c.v6, &ip), 0);
    }
    ip.family = c.family;
    if (c.family == AF_INET) ip.addr.ip = c.v4;
    char buf[KXNET_ADDRSTRLEN];
    const char *r = record_ip_ntop(&ip, buf, sizeof buf);
    if (c.expected)
      EXPECT_STREQ(r, c.expected);
    else
      EXPECT_EQ(r, nullptr);
  }
  kx_ipaddr v4;
  memset(&v4, 0, sizeof v4);
  v4.family = AF_INET;
  v4.addr.ip = 0x0A010203u;
  char small[8];
  EXPECT_EQ(record_ip_ntop(&v4, small, sizeof small), nullptr);
  EXPECT_EQ(record_ip_ntop(nullptr, small, sizeof small), nullptr);
}

// --- Values by storage type --------------------------------------------------

TEST(RecordValue, IntegersByStorageAtAnyOffset) {
  // Bytes 1..16 of the buffer: odd offsets, as inside a packed row.
  unsigned char buf[24];
  for (int i = 0; i < 24; i++) buf[i] = static_cast<unsigned char>(0x11 * (i % 15 + 1));
  struct Case {
    uint8_t datatype;
    size_t size;
    uint64_t value;
  } cases[] = {
      {0x00, 1, 0x22},                    // storage 0: one byte
      {0x01, 1, 0x22},
      {0x02, 2, 0x3322},
      {0x03, 4, 0x55443322},
      {0x04, 8, 0x9988776655443322ull},
      {0x05, 16, 0x9988776655443322ull},  // the low 64 bits of 16 bytes
      {0x0B, 1, 0x22},                    // a one-byte storage code
      {0x16, 0, 0},                       // text
      {0x57, 0, 0},                       // address
  };
  for (const auto &c : cases) {
    Record r{1, c.datatype, 0, buf + 1};
    EXPECT_EQ(record_value_size(c.datatype), c.size) << int(c.datatype);
    EXPECT_EQ(record_value_uint(r), c.value) << int(c.datatype);
    Record none{1, c.datatype, 0, nullptr};
    EXPECT_EQ(record_value_uint(none), 0u) << int(c.datatype);
  }
}

TEST(RecordValue, TextsOnlyOfTextStorage) {
  char text[] = "abc";
  EXPECT_STREQ(record_value_text(Record{3, 0x16, 0, text}), "abc");
  EXPECT_EQ(record_value_text(Record{3, 0x16, 0, nullptr}), nullptr);
  EXPECT_EQ(record_value_text(Record{3, 0x14, 0, text}), nullptr);
  EXPECT_EQ(record_value_text(Record{3, 0x57, 0, text}), nullptr);
}

TEST(RecordValue, AddressesOfEveryAddressStorage) {
  kx_ipaddr stored;
  ASSERT_EQ(kxnet_aton("2001:db8::9", &stored), 0);
  unsigned char v4[5] = {0, 0x03, 0x02, 0x01, 0x0A};  // host-order 10.1.2.3 at offset 1
  unsigned char mapped[17] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 2, 4};
  unsigned char v6[17];
  memcpy(v6 + 1, stored.addr.ip6.s6_addr, 16);
  char text[] = "10.1.2.3";
  struct Case {
    Record r;
    const char *expected;  // null: no address
  } cases[] = {
      {{2, 0x57, 0, &stored}, "2001:db8::9"},
      {{2, 0x53, 0, v4 + 1}, "10.1.2.3"},
      {{2, 0x55, 0, mapped + 1}, "10.1.2.4"},
      {{2, 0x55, 0, v6 + 1}, "2001:db8::9"},
      {{2, 0x57, 0, nullptr}, nullptr},
      {{2, 0x53, 0, nullptr}, nullptr},
      {{2, 0x55, 0, nullptr}, nullptr},
      {{2, 0x56, 0, text}, nullptr},
      {{2, 0x54, 0, v6 + 1}, nullptr},
  };
  for (const auto &c : cases) {
    kx_ipaddr ip;
    memset(&ip, 0x5A, sizeof ip);
    bool got = record_value_address(c.r, &ip);
    EXPECT_EQ(got, c.expected != nullptr) << int(c.r.datatype);
    if (!c.expected) {
      static const kx_ipaddr zero{};
      EXPECT_EQ(memcmp(&ip, &zero, sizeof ip), 0) << int(c.r.datatype);
      continue;
    }
    char buf[KXNET_ADDRSTRLEN];
    EXPECT_STREQ(record_ip_ntop(&ip, buf, sizeof buf), c.expected);
  }
}

}  // namespace
