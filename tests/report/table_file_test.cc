// Report table files: writer and reader round trips, exact bytes, old
// version, limits and damaged files.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lib/record/record.h"
#include "src/table/table_file.h"
#include "tests/fixtures/report_table_writer.h"

using namespace fixtures;
using Bytes = std::vector<unsigned char>;

namespace {

uint64_t num(const RECORD &r, size_t n) {
  uint64_t v = 0;
  memcpy(&v, r.data, n);
  return v;
}

std::string ip_text(const RECORD &r) {
  const kx_ipaddr *ip = static_cast<const kx_ipaddr *>(r.data);
  char buf[64] = "?";
  if (ip->family == AF_INET) {
    in_addr a{htonl(ip->addr.ip)};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
  } else if (ip->family == AF_INET6) {
    inet_ntop(AF_INET6, &ip->addr.ip6, buf, sizeof buf);
  }
  return buf;
}

// Every row of a table as text, one line per row; "-" when it cannot open.
std::string dump(const std::string &path, int *rows = nullptr) {
  READ_TBL *t = read_open(path.c_str());
  if (!t) return "-";
  std::string out;
  int n = 0;
  while (read_next(t)) {
    n++;
    for (int i = 0; i < t->field_count; i++) {
      const RECORD &r = t->rec[i];
      out += i ? " " : "";
      if (PrintType(r.datatype) == PTYPE_IP && StorageType(r.datatype) == STORT_IPADDR)
        out += ip_text(r);
      else if (StorageType(r.datatype) == STORT_STR)
        ((out += '\'') += static_cast<const char *>(r.data)) += '\'';
      else if (StorageType(r.datatype) == STORT_INT128)
        out += std::to_string(num(r, 8)) + "/" + std::to_string(num(RECORD{0, 0, 0, static_cast<char *>(r.data) + 8}, 8));
      else
        out += std::to_string(num(r, std::max<size_t>(1, record_fixed_size(r.datatype))));
    }
    out += "\n";
  }
  read_close(t);
  if (rows) *rows = n;
  return out;
}


}  // namespace

// Each IP storage, through the buffer and straight to the file.
TEST(TableFile, RoundTripByIpStorage) {
  TableTempDir dir;
  struct Case {
    int ip_type;
    int buff_size;
    const char *v6;  // what 2001:db8::1 reads back as
    int size1;       // bytes of the first row
  } cases[] = {
      {1, 131072, "255.255.255.255", 49}, {2, 131072, "2001:db8::1", 61}, {3, 131072, "2001:db8::1", 50},
      {1, 7, "255.255.255.255", 49},      {3, 7, "2001:db8::1", 50},      {9, 131072, "255.255.255.255", 49},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "ip_type " << c.ip_type << " buffer " << c.buff_size);
    ASSERT_TRUE(write_mixed_table("t.tbl", c.ip_type));
    std::string want = std::string("'alice' 10.1.2.3 1 1700000000 7 4660 3735928559 1099511627776 5/0 '\x01\x02'\n") +
                       "'' " + c.v6 + " 0 0 0 0 0 0 0/0 ''\n" +
                       "'' 255.255.255.255 0 0 0 0 0 0 0/0 ''\n";
    EXPECT_EQ(dump("t.tbl"), want);

    READ_TBL *t = read_open("t.tbl");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->ip_type, c.ip_type == 9 ? 1 : c.ip_type);
    EXPECT_EQ(t->rec[1].datatype, 0x57);
    EXPECT_EQ(read_record_length(t), 0);
    ASSERT_TRUE(read_next(t));
    EXPECT_EQ(read_record_length(t), c.size1);
    EXPECT_EQ(t->rec[t->map[7]].type, 7);
    EXPECT_EQ(t->rec[t->map[100]].type, 0);  // an absent id finds the terminator
    read_close(t);
  }
}

// The exact bytes of a two-field table in each IP storage.
TEST(TableFile, ExactBytes) {
  TableTempDir dir;

  struct Case {
    int ip_type;
    Bytes file;
  } cases[] = {
      {1, {2, 2, 0x53, 9, 0x04, 0, 0x03, 0x02, 0x01, 0x0A, 7, 0, 0, 0, 0, 0, 0, 0}},
      {2, {2, 2, 0x55, 9, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x0A, 0x01, 0x02, 0x03, 7, 0, 0, 0, 0, 0, 0, 0}},
      {3, {2, 2, 0x57, 9, 0x04, 0, 2, 0x03, 0x02, 0x01, 0x0A, 7, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ip_type);
    ASSERT_TRUE(write_table("x.tbl", {{2, 0x57}, {9, 0x04}}, {{tv_ip("10.1.2.3"), tv_num(7)}}, c.ip_type));
    EXPECT_EQ(read_file_bytes("x.tbl"), c.file);
    EXPECT_EQ(dump("x.tbl"), "10.1.2.3 7\n");
  }
  // The size a row is charged with is what lands in the file.
  RECORD rec[] = {{3, 0x16, 0, nullptr}, {2, 0x57, 0, nullptr}, {0, 0, 0, nullptr}};
  WRITE_TBL *w = write_new_rec(nullptr, "y.tbl", rec, TABLE_WRITE_BUFFER_SIZE);
  ASSERT_NE(w, nullptr);
  kx_ipaddr ip;
  kxnet_aton("::1", &ip);
  char user[] = "bob";
  rec[0].data = user;
  rec[1].data = &ip;
  int64_t written = 0;
  EXPECT_EQ(write_next(w, rec, &written), -1);
  EXPECT_EQ(written, 4 + 17);
  EXPECT_EQ(write_close(w), -1);
  EXPECT_EQ(read_file_bytes("y.tbl").size(), 6u + 21u);
}

// Storage 0 and storage nibbles with bit 3 take one byte on both sides.
TEST(TableFile, OneByteStoragesStayInStep) {
  TableTempDir dir;
  ASSERT_TRUE(write_table("b.tbl", {{40, 0x00}, {41, 0x18}, {42, 0x7F}, {9, 0x04}},
                          {{tv_num(5), tv_num(6), tv_none(), tv_num(99)}, {tv_num(1), tv_num(2), tv_num(3), tv_num(4)}}));
  EXPECT_EQ(read_file_bytes("b.tbl").size(), 10u + 2 * 11u);
  EXPECT_EQ(dump("b.tbl"), "5 6 0 99\n1 2 3 4\n");
}

TEST(TableFile, VersionOne) {
  TableTempDir dir;
  ASSERT_TRUE(write_file_bytes("v1.tbl", v1_table_bytes({3, 2, 9, 99, 5}, {{tv_text("ann"), tv_num(0x0A010203), tv_num(12),
                                                                           tv_num(8), tv_text("\x04\x05")}})));
  READ_TBL *t = read_open("v1.tbl");
  ASSERT_NE(t, nullptr);
  const uint8_t types[] = {0x16, 0x53, 0x04, 0x00, 0x36};
  for (int i = 0; i < 5; i++) EXPECT_EQ(t->rec[i].datatype, types[i]);
  ASSERT_TRUE(read_next(t));
  EXPECT_EQ(num(t->rec[1], 4), 0x0A010203u);  // a plain 4-byte integer
  EXPECT_EQ(num(t->rec[3], 1), 8u);
  EXPECT_STREQ(static_cast<const char *>(t->rec[4].data), "\x04\x05");
  EXPECT_FALSE(read_next(t));
  read_close(t);
}

TEST(TableFile, OpenRefusesBadHeaders) {
  TableTempDir dir;
  Bytes fields255{2}, fields256{2}, ids256{1};
  for (int i = 0; i < 255; i++) fields255.insert(fields255.end(), {static_cast<unsigned char>(i % 250 + 1), 0x01});
  fields256 = fields255;
  fields256.insert(fields256.end(), {3, 0x01});
  fields255.push_back(0);
  fields256.push_back(0);
  for (int i = 0; i < 256; i++) ids256.push_back(3);
  ids256.push_back(0);
  Bytes ids255(ids256.begin(), ids256.end() - 2);
  ids255.push_back(0);
  struct Case {
    const char *what;
    Bytes file;
    bool opens;
  } cases[] = {
      {"empty", {}, false},
      {"version only", {2}, false},
      {"version 3", {3, 9, 0x04, 0}, false},
      {"version 0", {0, 9, 0x04, 0}, false},
      {"no field", {2, 0}, false},
      {"no field, v1", {1, 0}, false},
      {"unterminated", {2, 9, 0x04, 10}, false},
      {"type byte missing", {2, 9}, false},
      {"ip nibble 1", {2, 2, 0x51, 0}, false},
      {"ip nibble 4", {2, 2, 0x54, 0}, false},
      {"storage 7 not an ip", {2, 3, 0x17, 0}, false},
      {"255 fields", fields255, true},
      {"256 fields", fields256, false},
      {"255 ids, v1", ids255, true},
      {"256 ids, v1", ids256, false},
      {"one field", {2, 9, 0x04, 0}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(write_file_bytes("h.tbl", c.file));
    READ_TBL *t = read_open("h.tbl");
    EXPECT_EQ(t != nullptr, c.opens);
    if (t) {
      EXPECT_FALSE(read_next(t));  // no rows in any of them
      EXPECT_FALSE(read_next(t));
    }
    read_close(t);
  }
  EXPECT_EQ(read_open("missing.tbl"), nullptr);
  EXPECT_EQ(read_open(nullptr), nullptr);
}

// Each IP field is read by its own declared storage.
TEST(TableFile, MixedIpStoragesInOneHeader) {
  TableTempDir dir;
  Bytes file = {2, 2, 0x53, 47, 0x55, 50, 0x57, 0, 0x03, 0x02, 0x01, 0x0A};
  Bytes v6(16, 0);
  v6[15] = 1;
  file.insert(file.end(), v6.begin(), v6.end());
  file.insert(file.end(), {2, 4, 3, 2, 1});
  ASSERT_TRUE(write_file_bytes("m.tbl", file));
  EXPECT_EQ(dump("m.tbl"), "10.1.2.3 ::1 1.2.3.4\n");
}

TEST(TableFile, WriterRefusals) {
  TableTempDir dir;
  RECORD none[] = {{0, 0, 0, nullptr}};
  EXPECT_EQ(write_new_rec(nullptr, "n.tbl", none, 100), nullptr);
  EXPECT_EQ(read_file_bytes("n.tbl").size(), 0u);
  RECORD one[] = {{9, 0x04, 0, nullptr}, {0, 0, 0, nullptr}};
  EXPECT_EQ(write_new_rec(nullptr, "no/such/dir.tbl", one, 100), nullptr);
  EXPECT_EQ(write_new_rec(nullptr, nullptr, one, 100), nullptr);
  std::vector<RECORD> many(257, RECORD{3, 0x16, 0, nullptr});
  many.back() = RECORD{0, 0, 0, nullptr};
  EXPECT_EQ(write_new_rec(nullptr, "many.tbl", many.data(), 100), nullptr);
  EXPECT_EQ(write_next(nullptr, one, nullptr), 0);
  EXPECT_EQ(write_close(nullptr), 0);

  // An address whose storage the reader has no decoding for is refused up
  // front, never written into a table that cannot be read back.
  struct Case {
    uint8_t type;
    bool made;
  } addresses[] = {{0x51, false}, {0x54, false}, {0x56, false}, {0x58, false}, {0x5F, false},
                   {0x53, true},  {0x55, true},  {0x57, true},  {0x07, true}};
  for (const Case &c : addresses) {
    SCOPED_TRACE(testing::Message() << std::hex << int{c.type});
    ::unlink("a.tbl");
    RECORD rec[] = {{47, c.type, 0, nullptr}, {9, 0x04, 0, nullptr}, {0, 0, 0, nullptr}};
    WRITE_TBL *w = write_new_rec(nullptr, "a.tbl", rec, 100);
    EXPECT_EQ(w != nullptr, c.made);
    if (!w) {
      EXPECT_NE(::access("a.tbl", F_OK), 0);
      continue;
    }
    EXPECT_EQ(write_next(w, rec, nullptr), -1);  // null data: the default address
    EXPECT_EQ(write_close(w), -1);
    READ_TBL *t = read_open("a.tbl");
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(read_next(t));
    EXPECT_FALSE(read_next(t));
    read_close(t);
  }
}

// Rows beyond the first read buffer grow it; past 512 KiB the table ends.
TEST(TableFile, LargeRows) {
  TableTempDir dir;
  const std::string big(40000, 'b');
  const std::string limit(TABLE_READ_MAX - 1, 'l');  // with its NUL: exactly the largest row
  const std::string huge(TABLE_READ_MAX, 'h');
  ASSERT_TRUE(write_table("l.tbl", {{3, 0x16}},
                          {{tv_text("a")}, {tv_text(big)}, {tv_text("c")}, {tv_text(limit)}, {tv_text("d")},
                           {tv_text(huge)}, {tv_text("e")}}));
  READ_TBL *t = read_open("l.tbl");
  ASSERT_NE(t, nullptr);
  std::vector<std::string> got;
  while (read_next(t)) got.push_back(static_cast<const char *>(t->rec[0].data));
  read_close(t);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[1], big);
  EXPECT_EQ(got[3], limit);
  EXPECT_EQ(got[4], "d");
}

TEST(TableFile, SeparateRowsOutliveTheTable) {
  TableTempDir dir;
  ASSERT_TRUE(write_table("s.tbl", {{3, 0x16}, {2, 0x57}, {9, 0x04}},
                          {{tv_text("ann"), tv_ip("::ffff:10.1.2.3"), tv_num(3)}, {tv_text("bo"), tv_ip("::2"), tv_num(4)}}));
  READ_TBL *t = read_open("s.tbl");
  ASSERT_NE(t, nullptr);
  RECORD *a = read_next_separate(t);
  RECORD *b = read_next_separate(t);
  EXPECT_EQ(read_next_separate(t), nullptr);
  read_close(t);
  ASSERT_TRUE(a && b);
  EXPECT_STREQ(static_cast<const char *>(a[0].data), "ann");
  EXPECT_EQ(ip_text(a[1]), "10.1.2.3");  // stored mapped, read as IPv4
  EXPECT_EQ(num(a[2], 8), 3u);
  EXPECT_STREQ(static_cast<const char *>(b[0].data), "bo");
  EXPECT_EQ(ip_text(b[1]), "::2");
  EXPECT_EQ(b[3].type, 0);
  EXPECT_EQ(b[3].data, nullptr);
  free(a);
  free(b);
}

// Cut anywhere, a table gives its whole rows and no more.
TEST(TableFile, CutAtEveryByte) {
  TableTempDir dir;
  ASSERT_TRUE(write_mixed_table("full.tbl", 3));
  const Bytes full = read_file_bytes("full.tbl");
  std::vector<size_t> row_ends;
  READ_TBL *t = read_open("full.tbl");
  ASSERT_NE(t, nullptr);
  size_t at = 22;  // version, 10 pairs and the 0
  while (read_next(t)) row_ends.push_back(at += static_cast<size_t>(read_record_length(t)));
  read_close(t);
  ASSERT_EQ(row_ends.size(), 3u);
  ASSERT_EQ(row_ends.back(), full.size());
  for (size_t keep = 0; keep <= full.size(); keep++) {
    SCOPED_TRACE(keep);
    ASSERT_TRUE(write_file_bytes("cut.tbl", truncated(full, keep)));
    int rows = -1;
    std::string text = dump("cut.tbl", &rows);
    if (keep < 22) {
      EXPECT_EQ(text, "-");
      continue;
    }
    int whole = 0;
    for (size_t e : row_ends) whole += e <= keep;
    EXPECT_EQ(rows, whole);
  }
}

// Garbled headers open or not, but reading always ends.
TEST(TableFile, FlippedHeaderBytes) {
  TableTempDir dir;
  ASSERT_TRUE(write_mixed_table("full.tbl", 3));
  const Bytes full = read_file_bytes("full.tbl");
  for (size_t at = 0; at < 22; at++) {
    for (unsigned char mask : {0x01, 0x08, 0x40, 0x80, 0xFF}) {
      ASSERT_TRUE(write_file_bytes("f.tbl", flipped(full, at, mask)));
      READ_TBL *r = read_open("f.tbl");
      if (!r) continue;
      size_t rows = 0;
      while (read_next(r)) ASSERT_LE(++rows, full.size());
      RECORD *sep = read_next_separate(r);
      EXPECT_EQ(sep, nullptr);
      read_close(r);
    }
  }
}

// Many rows of varied length cross the write buffer and the read buffer
// boundaries again and again.
TEST(TableFile, ManyRowsAcrossBufferBoundaries) {
  TableTempDir dir;
  std::vector<TableRow> rows;
  for (int i = 0; i < 6000; i++)
    rows.push_back({tv_text(std::string(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26))),
                    tv_ip(i % 2 ? "10.0.0.1" : "fe80::1"), tv_num(static_cast<uint64_t>(i))});
  for (int buff_size : {TABLE_WRITE_BUFFER_SIZE, 100, 0}) {
    SCOPED_TRACE(buff_size);
    ASSERT_TRUE(write_table("many.tbl", {{3, 0x16}, {2, 0x57}, {9, 0x04}}, rows, 3, buff_size));
    READ_TBL *t = read_open("many.tbl");
    ASSERT_NE(t, nullptr);
    int i = 0;
    for (; read_next(t); i++) {
      ASSERT_EQ(strlen(static_cast<const char *>(t->rec[0].data)), static_cast<size_t>(i % 97));
      ASSERT_EQ(ip_text(t->rec[1]), i % 2 ? "10.0.0.1" : "fe80::1");
      ASSERT_EQ(num(t->rec[2], 8), static_cast<uint64_t>(i));
    }
    read_close(t);
    EXPECT_EQ(i, 6000);
  }
}

// A text is measured right up to its NUL even when that NUL is the last byte
// before an unreadable page, at every length and alignment.
TEST(TableFile, TextsEndingAtAPageEdge) {
  TableTempDir dir;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char *edge = static_cast<char *>(map) + page;  // the first byte that cannot be read
  ASSERT_EQ(mprotect(edge, page, PROT_NONE), 0);

  RECORD rec[] = {{3, 0x16, 0, nullptr}, {9, 0x04, 0, nullptr}, {0, 0, 0, nullptr}};
  WRITE_TBL *w = write_new_rec(nullptr, "p.tbl", rec, 100);
  ASSERT_NE(w, nullptr);
  uint64_t n = 0;
  rec[1].data = &n;
  std::vector<std::string> want;
  for (size_t len = 0; len <= 70; len++) {
    char *text = edge - len - 1;
    memset(text, static_cast<int>('a' + len % 26), len);
    text[len] = 0;
    rec[0].data = text;
    int64_t written = 0;
    ASSERT_EQ(write_next(w, rec, &written), -1);
    EXPECT_EQ(written, static_cast<int64_t>(len + 1 + 8)) << len;
    want.push_back(text);
    n++;
  }
  EXPECT_EQ(write_close(w), -1);
  munmap(map, 2 * page);

  READ_TBL *t = read_open("p.tbl");
  ASSERT_NE(t, nullptr);
  size_t i = 0;
  for (; read_next(t); i++) {
    ASSERT_LT(i, want.size());
    EXPECT_EQ(static_cast<const char *>(t->rec[0].data), want[i]);
    EXPECT_EQ(num(t->rec[1], 8), i);
  }
  read_close(t);
  EXPECT_EQ(i, want.size());
}

// The file's bytes never depend on the write buffer: rows that fill it
// exactly, pass it by one byte, or are larger than it all land the same.
TEST(TableFile, BytesDoNotDependOnTheBuffer) {
  TableTempDir dir;
  // Rows of the layout below take 13 + text + 5 or 17 bytes.
  const std::vector<TableColumn> columns = {{3, 0x16}, {2, 0x57}, {9, 0x04}, {8, 0x81}, {55, 0x02}, {6, 0x71}};
  std::vector<TableRow> rows;
  for (size_t len : {0, 1, 15, 16, 17, 18, 19, 35, 36, 37, 100, 5000, 0, 18})
    rows.push_back({tv_text(std::string(len, 'x')), tv_ip(len % 2 ? "10.0.0.1" : "fe80::1"), tv_num(len),
                    tv_num(len % 7), tv_num(0x0102), tv_num(3)});
  rows.push_back({tv_none(), tv_none(), tv_none(), tv_none(), tv_none(), tv_none()});
  ASSERT_TRUE(write_table("ref.tbl", columns, rows));
  const Bytes ref = read_file_bytes("ref.tbl");
  for (int buff_size : {0, 1, 17, 18, 36, 37, 54, 55, 8096}) {
    SCOPED_TRACE(buff_size);
    ASSERT_TRUE(write_table("b.tbl", columns, rows, 3, buff_size));
    EXPECT_EQ(read_file_bytes("b.tbl"), ref);
  }
  int n = 0;
  dump("ref.tbl", &n);
  EXPECT_EQ(n, static_cast<int>(rows.size()));
}
