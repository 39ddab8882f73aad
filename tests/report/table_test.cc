// The table dispatcher over the report table kinds.
#include <gtest/gtest.h>
#include <string.h>

#include "src/table/table.h"
#include "src/table/table_file.h"
#include "tests/fixtures/report_table_writer.h"

using namespace fixtures;

TEST(Table, RefusesMissingArgumentsAndUnknownKinds) {
  TableTempDir dir;
  RECORD rec[] = {{9, 0x04, 0, nullptr}, {0, 0, 0, nullptr}};
  EXPECT_EQ(table_open(TABLE_READ, nullptr, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(table_open(TABLE_WRITE, nullptr, nullptr, rec, 0, 100), nullptr);
  EXPECT_EQ(table_open(TABLE_LOGFILE, nullptr, "x", rec, 1, 0), nullptr);
  EXPECT_EQ(table_open(TABLE_LOGFILE, reinterpret_cast<REPORT *>(rec), "x", rec, 0, 0), nullptr);
  EXPECT_EQ(table_open(0, nullptr, "x", rec, 1, 100), nullptr);
  EXPECT_EQ(table_open(4, nullptr, "x", rec, 1, 100), nullptr);
  EXPECT_EQ(table_read_record(nullptr), 0);
  EXPECT_EQ(table_close(nullptr), 0);
}

TEST(Table, WritesAndReadsThroughTheKinds) {
  TableTempDir dir;
  RECORD rec[] = {{3, 0x16, 0, nullptr}, {9, 0x04, 0, nullptr}, {0, 0, 0, nullptr}};
  TABLE *w = table_open(TABLE_WRITE, nullptr, "d.tbl", rec, 0, TABLE_WRITE_BUFFER_SIZE);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->type, TABLE_WRITE);
  EXPECT_EQ(table_read_record(w), 0);
  EXPECT_EQ(table_read_record_separate(w), nullptr);
  char user[] = "ann";
  int64_t count = 42, written = 0;
  rec[0].data = user;
  rec[1].data = &count;
  EXPECT_EQ(table_write_record(w, rec, &written), -1);
  EXPECT_EQ(written, 12);
  EXPECT_EQ(table_write_record(w, rec, nullptr), -1);
  EXPECT_EQ(table_close(w), -1);

  TABLE *r = table_open(TABLE_READ, nullptr, "d.tbl", nullptr, 0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->type, TABLE_READ);
  EXPECT_EQ(table_write_record(r, rec, &written), 0);
  ASSERT_EQ(table_read_record(r), -1);
  EXPECT_STREQ(static_cast<const char *>(r->rec[r->map[3]].data), "ann");
  int64_t got = 0;
  memcpy(&got, r->rec[r->map[9]].data, 8);
  EXPECT_EQ(got, 42);
  RECORD *sep = table_read_record_separate(r);
  ASSERT_NE(sep, nullptr);
  EXPECT_STREQ(static_cast<const char *>(sep[0].data), "ann");
  free(sep);
  EXPECT_EQ(table_read_record(r), 0);
  EXPECT_EQ(table_close(r), -1);
}

TEST(Table, CloseOfAnUnknownKindFreesTheHead) {
  TABLE *t = new TABLE{99, nullptr, nullptr};
  EXPECT_EQ(table_close(t), 0);
}
