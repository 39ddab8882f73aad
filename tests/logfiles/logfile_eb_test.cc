// The extended binary format: the BER header, constant fields, address
// forms, and the headers the tester refuses.
#include "lib/logfiles/logfile_eb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include "tests/fixtures/reqlog_writer.h"

using reqlog::EbField;

namespace {

constexpr int32_t T = 1700000000;

struct EbLog : ::testing::Test {
  reqlog::WorkDir wd;
  const std::string path = "../logs/kxlogger_requests_ext_t.log";
  void put(const std::string &bytes) { reqlog::write_file(wd.logs() + "/kxlogger_requests_ext_t.log", bytes); }
  LogFileReaderPtr test() { return LogFileTest(path.c_str(), 0, nullptr, nullptr); }
};

TEST_F(EbLog, SampleLayoutAndRecords) {
  reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t", reqlog::eb_sample(3, T));
  LogFileReaderPtr r = test();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->methods->GetFileType(r), REQFILEUTILS_REQUEST_TYPE_BINARY_EXT);
  ASSERT_EQ(r->methods->GetFieldsNumber(r), 13);  // 11 per record (the child array grew once), 2 constant
  EXPECT_STREQ(r->methods->GetFieldsNames(r)[11], "LOGGERID");
  EXPECT_EQ(r->methods->GetFieldsNames(r)[13], nullptr);
  EXPECT_EQ(r->methods->GetFieldsList(r)[12], 63);
  EXPECT_EQ(r->methods->GetFieldsList(r)[13], 0);
  RecordPtr row = r->methods->AllocateRecords(r, 4);
  ASSERT_TRUE(row);
  EXPECT_EQ(row[1].datatype, 0x57);  // addresses get the address type
  EXPECT_EQ(row[17].type, 0);

  reqlog::LogImage img = reqlog::eb_sample(3, T);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(i == 0 ? r->methods->GetFirstRec(r, row) : r->methods->GetNextRec(r, row), 0);
    EXPECT_EQ(r->methods->RecordTime(r, row), T + i);
    EXPECT_EQ(r->methods->RecordOffset(r), reqlog::record_offset(img, static_cast<size_t>(i)));
    auto *ip = static_cast<kx_ipaddr *>(row[1].data);
    EXPECT_EQ(ip->family, AF_INET);
    EXPECT_EQ(ip->addr.ip, 0xC0A80000u + static_cast<uint32_t>(i));
    EXPECT_STREQ(static_cast<const char *>(row[2].data), ("user" + std::to_string(i)).c_str());
    auto *dst = static_cast<kx_ipaddr *>(row[7].data);  // IPv4-mapped IPv6
    EXPECT_EQ(dst->family, AF_INET);
    EXPECT_EQ(dst->addr.ip, 0xC0A80109u);
    auto *peer = static_cast<kx_ipaddr *>(row[8].data);  // family byte and 16 bytes
    EXPECT_EQ(peer->family, AF_INET6);
    EXPECT_EQ(peer->addr.ip6.s6_addr[15], 1);
    uint64_t bytes;
    memcpy(&bytes, row[9].data, 8);
    EXPECT_EQ(bytes, static_cast<uint64_t>(i) * 1000);
    EXPECT_EQ(*static_cast<unsigned char *>(row[10].data), 2);
    EXPECT_STREQ(static_cast<const char *>(row[11].data), "node-7");  // constant
    int32_t type;
    memcpy(&type, row[12].data, 4);
    EXPECT_EQ(type, 1);
  }
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

TEST_F(EbLog, AddressForms) {
  std::vector<EbField> per = {{7, 0x44, "DATE"}, {2, 0x57, "IP"}, {47, 0x57, "DST"}};
  std::string header = reqlog::eb_header(per, {});
  std::string v4 = std::string(1, '\x02') + reqlog::le32(0x0A000001);
  std::string v6 = std::string(1, '\x0A') + std::string(10, '\0') + "\xFF\xFF" + "\x01\x02\x03\x04";
  reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t",
                    reqlog::eb_image(header, {reqlog::le64(T) + v4 + v6}, {T}));
  LogFileReaderPtr r = test();
  ASSERT_TRUE(r);
  RecordPtr row = r->methods->AllocateRecords(r, 0);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  EXPECT_EQ(r->methods->RecordTime(r, row), T);  // 64-bit time
  EXPECT_EQ(static_cast<kx_ipaddr *>(row[1].data)->addr.ip, 0x0A000001u);
  EXPECT_EQ(static_cast<kx_ipaddr *>(row[2].data)->family, AF_INET);
  EXPECT_EQ(static_cast<kx_ipaddr *>(row[2].data)->addr.ip, 0x01020304u);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

// An IPv4 address with its family byte as the last field of the record: a
// record cut by one byte is not returned, and one whose address lies across
// the 32 KiB read boundary is read whole, wherever the boundary falls in it.
TEST_F(EbLog, LastFieldAddressCutAndAcrossTheReadBoundary) {
  std::vector<EbField> per = {{7, 0x43, "DATE"}, {1, 0x16, "URI"}, {2, 0x57, "IP"}};
  std::string header = reqlog::eb_header(per, {});
  auto record = [](int i, size_t uri_len) {
    return reqlog::le32(static_cast<uint32_t>(T + i)) + reqlog::cstr(std::string(uri_len, 'u')) +
           std::string(1, '\x02') + reqlog::le32(0x0A000000u + static_cast<uint32_t>(i));
  };
  // Records after the first are 105 bytes; the family byte of record 301
  // lies `before` bytes ahead of the boundary.
  constexpr int kRecords = 320;
  for (int before = 1; before <= 5; ++before) {
    SCOPED_TRACE(before);
    size_t first_uri = EXTENT_SIZE - static_cast<size_t>(before) - 300 * 105 - 100 - 10;
    std::vector<std::string> records;
    std::vector<int64_t> times;
    for (int i = 0; i < kRecords; ++i) {
      records.push_back(record(i, i == 0 ? first_uri : 95));
      times.push_back(T + i);
    }
    reqlog::LogImage img = reqlog::eb_image(header, records, times);
    ASSERT_EQ(reqlog::record_offset(img, 301) + 4 + 96 - reqlog::record_offset(img, 0),
              EXTENT_SIZE - before);
    reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t", img);
    LogFileReaderPtr r = test();
    ASSERT_TRUE(r);
    RecordPtr row = r->methods->AllocateRecords(r, 0);
    ASSERT_TRUE(row);
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_EQ(i == 0 ? r->methods->GetFirstRec(r, row) : r->methods->GetNextRec(r, row), 0) << i;
      auto *ip = static_cast<kx_ipaddr *>(row[2].data);
      ASSERT_EQ(ip->family, AF_INET) << i;
      ASSERT_EQ(ip->addr.ip, 0x0A000000u + static_cast<uint32_t>(i)) << i;
    }
    EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
    r->methods->FreeRecords(r, row);
    r->methods->FreeReader(r);
  }

  // The last record without the last byte of its address.
  reqlog::LogImage two = reqlog::eb_image(header, {record(0, 3), record(1, 3)}, {T, T + 1});
  std::string log = reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t", two);
  reqlog::truncate_file(log, reqlog::filesize_of(log) - 1);
  LogFileReaderPtr r = test();
  ASSERT_TRUE(r);
  RecordPtr row = r->methods->AllocateRecords(r, 0);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  EXPECT_EQ(static_cast<kx_ipaddr *>(row[2].data)->addr.ip, 0x0A000000u);
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

// Texts of every length between fixed fields full of NUL bytes: text ends
// fall on each side of every 64-byte step of the scan, records cross the
// read buffer's ends at many places, one text is longer than the buffer,
// and the last record is cut inside a text.
TEST_F(EbLog, TextsOfEveryLengthBetweenFixedFields) {
  std::vector<EbField> per = {{7, 0x43, "DATE"}, {3, 0x16, "USER"}, {65, 0x04, "BYTES"}, {4, 0x16, "GROUP"},
                              {2, 0x53, "IP"},   {1, 0x16, "URI"},  {6, 0x71, "DENIED"}};
  std::string header = reqlog::eb_header(per, {});
  auto user = [](int i) { return std::string(static_cast<size_t>(i % 131), 'a'); };
  auto group = [](int i) { return std::string(static_cast<size_t>(i % 7 == 0 ? 0 : i % 67), 'g'); };
  auto uri = [](int i) { return i == 777 ? std::string(40000, 'L') : "u" + std::string(static_cast<size_t>(i % 97), 'x'); };
  auto bytes = [](int i) { return static_cast<uint64_t>(i % 3) << 40; };  // mostly NUL bytes
  auto record = [&](int i) {
    std::string b(8, '\0');
    uint64_t v = bytes(i);
    memcpy(&b[0], &v, 8);
    return reqlog::le32(static_cast<uint32_t>(T + i)) + reqlog::cstr(user(i)) + b + reqlog::cstr(group(i)) +
           reqlog::le32(static_cast<uint32_t>(i & 1)) + reqlog::cstr(uri(i)) + std::string(1, static_cast<char>(i & 1));
  };
  constexpr int kRecords = 2000;
  std::vector<std::string> records;
  std::vector<int64_t> times;
  for (int i = 0; i < kRecords; ++i) {
    records.push_back(record(i));
    times.push_back(T + i);
  }
  std::string cut = record(kRecords);
  records.push_back(cut.substr(0, 4 + user(kRecords).size() / 2));  // ends inside USER
  times.push_back(T + kRecords);
  reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t", reqlog::eb_image(header, records, times));
  LogFileReaderPtr r = test();
  ASSERT_TRUE(r);
  RecordPtr row = r->methods->AllocateRecords(r, 0);
  ASSERT_TRUE(row);
  for (int i = 0; i < kRecords; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(i == 0 ? r->methods->GetFirstRec(r, row) : r->methods->GetNextRec(r, row), 0);
    ASSERT_EQ(r->methods->RecordTime(r, row), T + i);
    ASSERT_EQ(static_cast<const char *>(row[1].data), user(i));
    uint64_t v;
    memcpy(&v, row[2].data, 8);
    ASSERT_EQ(v, bytes(i));
    ASSERT_EQ(static_cast<const char *>(row[3].data), group(i));
    ASSERT_EQ(static_cast<kx_ipaddr *>(row[4].data)->addr.ip, static_cast<uint32_t>(i & 1));
    ASSERT_EQ(static_cast<const char *>(row[5].data), uri(i));
    ASSERT_EQ(*static_cast<unsigned char *>(row[6].data), i & 1);
  }
  EXPECT_EQ(r->methods->GetNextRec(r, row), -1);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

TEST_F(EbLog, IntValueIsReadAsFourBytes) {
  // The INTVALUE says length 1 but four bytes follow, as the logger writes.
  std::string field = reqlog::ber_num(21, 63, 1) + reqlog::ber_text(22, "TYPE") + reqlog::ber_num(23, 0x03, 1) +
                      std::string("\x18\x01\x00\x00\x01\x02", 6);
  std::string header = reqlog::le32(1) + reqlog::ber_cons(1, reqlog::ber_cons(2, reqlog::eb_field({7, 0x43, "DATE"})) +
                                                                   reqlog::ber_cons(3, reqlog::ber_cons(10, field)));
  reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t", reqlog::eb_image(header, {reqlog::le32(T)}, {T}));
  LogFileReaderPtr r = test();
  ASSERT_TRUE(r);
  RecordPtr row = r->methods->AllocateRecords(r, 0);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);
  int32_t v;
  memcpy(&v, row[1].data, 4);
  EXPECT_EQ(v, 0x0102);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

TEST_F(EbLog, RefusedHeaders) {
  EbField date{7, 0x43, "DATE"}, uri{1, 0x16, "URI"};
  auto with_rest = [](const std::string &root) { return reqlog::le32(1) + root + reqlog::le32(T) + "x"; };
  auto hdr = [&](const std::vector<EbField> &per, const std::vector<EbField> &cons) {
    return reqlog::eb_header(per, cons) + reqlog::le32(T) + "x";
  };
  std::vector<EbField> many;
  many.push_back(date);
  for (int i = 0; i < LOGFILE_MAX_FIELDS; ++i) many.push_back({3, 0x16, "U"});
  struct Case {
    const char *why;
    std::string bytes;
  } cases[] = {
      {"no constant list", with_rest(reqlog::ber_cons(1, reqlog::ber_cons(2, reqlog::eb_field(date))))},
      {"no per-record list", with_rest(reqlog::ber_cons(1, reqlog::ber_cons(3, "")))},
      {"no date", hdr({uri}, {})},
      {"id 0", hdr({date, {0, 0x16, "Z"}}, {})},
      {"date of one byte", hdr({{7, 0x41, "DATE"}}, {})},
      {"constant without value", hdr({date}, {{51, 0x16, "L"}})},
      {"int value for 64-bit storage", hdr({date}, {{65, 0x04, "N", EbField::Int, 5}})},
      {"number for a text", hdr({date}, {{51, 0x16, "L", EbField::Long, 5}})},
      {"address constant", hdr({date}, {{2, 0x57, "IP", EbField::Int, 5}})},
      {"address storage for another id", hdr({date, {3, 0x17, "U"}}, {})},
      {"name without text", hdr({date, {1, 0x16, ""}}, {})},
      {"too many fields", hdr(many, {})},
      {"not the header tag", with_rest(reqlog::ber_cons(4, reqlog::ber_cons(2, reqlog::eb_field(date)) +
                                                              reqlog::ber_cons(3, "")))},
      {"five length bytes", reqlog::le32(1) + std::string("\x21\x85\x00\x00\x00\x00\x04", 7) + "abcd"},
      {"indefinite length", reqlog::le32(1) + std::string("\x21\x80\x00\x00", 4)},
      {"past the end of the file", reqlog::le32(1) + std::string("\x21\x82\x10\x00", 4) + "abc"},
      {"child overruns its parent", with_rest(std::string("\x21\x03\x22\x05\x00", 5))},
      {"deep nesting", with_rest([] {
         std::string e = reqlog::ber_cons(10, "");
         for (int i = 0; i < 12; ++i) e = reqlog::ber_cons(10, e);
         return reqlog::ber_cons(1, reqlog::ber_cons(2, e) + reqlog::ber_cons(3, ""));
       }())},
      {"magic is a request time", reqlog::le32(THRESHOLD_DATE) + reqlog::eb_header({date}, {}).substr(4)},
      {"too short", std::string("\x01\x00", 2)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    put(c.bytes);
    LogFileReaderPtr r = KXExtBinaryFileTest(path.c_str(), 0, nullptr, nullptr);
    EXPECT_EQ(r, nullptr);
    if (r) r->methods->FreeReader(r);
  }
  // And the limits themselves are fine.
  many.resize(many.size() - 3);
  put(hdr(many, {{65, 0x04, "N", EbField::Long, 5}, {51, 0x16, "L", EbField::Text, 0, "x"}}));
  LogFileReaderPtr r = KXExtBinaryFileTest(path.c_str(), 0, nullptr, nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->methods->GetFieldsNumber(r), LOGFILE_MAX_FIELDS);
  r->methods->FreeReader(r);
}

TEST_F(EbLog, EmptyLogLearnsItsHeaderLater) {
  put("");
  LogFileReaderPtr r = LogFileTest(path.c_str(), 1, nullptr, nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->methods->GetFieldsNumber(r), 0);
  EXPECT_EQ(r->methods->AllocateRecords(r, 0), nullptr);
  reqlog::write_log(wd.logs(), "kxlogger_requests_ext_t", reqlog::eb_sample(2, T));
  RecordPtr row = r->methods->AllocateRecords(r, 0);
  ASSERT_TRUE(row);
  ASSERT_EQ(r->methods->GetFirstRec(r, row), 0);  // from after the header
  EXPECT_EQ(r->methods->RecordTime(r, row), T);
  r->methods->FreeRecords(r, row);
  r->methods->FreeReader(r);
}

TEST(Asn1, TagsLengthsAndTexts) {
  std::string e = reqlog::ber_cons(1, std::string("\x1F\x40\x03" "abc", 6) + reqlog::ber_num(21, 9, 1) +
                                          std::string("\x96\x00", 2));
  ASNNodePtr root = nullptr;
  size_t used = 0;
  ASSERT_EQ(asn1ReadMemory(&root, reinterpret_cast<const unsigned char *>(e.data()), e.size(), EBHeaderGetType, &used),
            SUCCESS);
  EXPECT_EQ(used, e.size());
  ASSERT_EQ(root->chnum, 3);
  EXPECT_EQ(root->children[0]->type, 0x40);  // the tag in the next byte
  EXPECT_STREQ(root->children[0]->u.tstring, "abc");
  EXPECT_EQ(root->children[1]->u.tbyte, 9);
  EXPECT_EQ(root->children[2]->type, 22);  // class bits ignored
  EXPECT_EQ(root->children[2]->u.tstring, nullptr);  // no text for length 0
  asn1NodeFree(root);
  // Data that ends inside the element is a short read; a child reaching past
  // its parent overruns it.
  struct Bad {
    std::string bytes;
    int rc;
  } bad[] = {
      {e.substr(0, e.size() - 1), ERR_READ},
      {e.substr(0, 1), ERR_READ},
      {std::string("\x21\x03\x16\x05\x00", 5), ERR_LENGTH},  // a NAME of 5 bytes in 3
      {std::string("\x21\x02\x15\x01", 4), ERR_LENGTH},       // a 1-byte number cut by its parent
      {std::string("\x21\x80\x00\x00", 4), ERR_LENGTH},       // indefinite length
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.rc);
    EXPECT_EQ(asn1ReadMemory(&root, reinterpret_cast<const unsigned char *>(b.bytes.data()), b.bytes.size(),
                             EBHeaderGetType, &used),
              b.rc);
    EXPECT_EQ(root, nullptr);
  }
  // From a file: one cut inside the element cannot be read whole.
  reqlog::WorkDir wd;
  std::string path = wd.root() + "/element";
  for (const Bad &b : {Bad{e, SUCCESS}, Bad{e.substr(0, e.size() - 1), ERR_READ}, Bad{"", ERR_READ}}) {
    SCOPED_TRACE(b.bytes.size());
    reqlog::write_file(path, b.bytes);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(asn1ReadData(&root, fd, EBHeaderGetType), b.rc);
    EXPECT_EQ(root != nullptr, b.rc == SUCCESS);
    if (b.rc == SUCCESS) {
      EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(e.size()));
    }
    asn1NodeFree(root);
    close(fd);
  }
}

}  // namespace
