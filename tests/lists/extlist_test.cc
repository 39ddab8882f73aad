#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "lib/record/category.h"
#include "lib/lists/extlist.h"
#include "tests/fixtures/tmpdir.h"

namespace {

void *data(intptr_t v) { return reinterpret_cast<void *>(v); }
int freed = 0;
void count_free(void *) { ++freed; }

}  // namespace

TEST(ExtList, CaseFoldingAndFirstWins) {
  freed = 0;
  EXTLIST_TABLE *l = extlist_initialize(50, count_free);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(extlist_add_item(l, "JPG", data(1)), 0);
  EXPECT_EQ(extlist_add_item(l, "jpg", data(2)), 0);  // listed twice; the first wins
  EXPECT_EQ(extlist_add_item(l, "jpeg", data(3)), 0);
  EXPECT_EQ(extlist_add_item(l, "exe", data(4)), 0);
  struct {
    const char *ext;
    intptr_t want;
  } cases[] = {{"jpg", 1}, {"JpG", 1}, {"jpeg", 3}, {"JPEG", 3}, {"jp", 0}, {"jpgx", 0},
               {"EXE", 4}, {"", 0},    {"gif", 0}};
  for (auto c : cases) EXPECT_EQ(extlist_lookup(l, c.ext), data(c.want)) << c.ext;
  EXPECT_EQ(extlist_lookup(l, nullptr), nullptr);
  char *text = nullptr;
  EXPECT_EQ(extlist_lookup_diag(l, "Jpeg", &text), data(3));
  EXPECT_STREQ(text, "jpeg");
  free(text);
  EXPECT_EQ(extlist_add_item(l, "", data(5)), -1);
  EXPECT_EQ(extlist_add_item(l, "png", nullptr), -1);
  EXPECT_EQ(extlist_add_item(nullptr, "png", data(5)), -1);
  extlist_terminate(l);
  EXPECT_EQ(freed, 4);
}

TEST(ExtList, WithoutBucketsHoldsNothing) {
  for (int n : {0, -5}) {
    EXTLIST_TABLE *l = extlist_initialize(n, nullptr);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->hash_count, 0);
    EXPECT_EQ(extlist_add_item(l, "jpg", data(1)), -1);
    EXPECT_EQ(extlist_lookup(l, "jpg"), nullptr);
    EXPECT_EQ(extlist_add_category_item(l, "jpg", "1,2"), 0);
    extlist_terminate(l);
  }
  // One bucket: every extension lands in it.
  EXTLIST_TABLE *one = extlist_initialize(1, nullptr);
  EXPECT_EQ(extlist_add_item(one, "a", data(1)), 0);
  EXPECT_EQ(extlist_add_item(one, "bcdef", data(2)), 0);
  EXPECT_EQ(extlist_lookup(one, "BCDEF"), data(2));
  extlist_terminate(one);
}

TEST(ExtList, CategoryItemsAndFiles) {
  EXTLIST_TABLE *l = extlist_initialize(50, [](void *d) { cat_free(static_cast<cat_t *>(d)); });
  EXPECT_EQ(extlist_add_category_item(l, "mp3", "7,3,7,x"), 0);
  EXPECT_EQ(extlist_add_category_item(l, "wav", "x"), -1);
  auto *c = static_cast<cat_t *>(extlist_lookup(l, "MP3"));
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->num, 2u);
  EXPECT_EQ(c->catnums[0], 3u);
  EXPECT_EQ(c->catnums[1], 7u);

  TempDir dir("kxext");
  CurrentDir cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  std::string f = "cats.txt";
  FILE *fp = fopen(f.c_str(), "w");
  fputs("avi 12,13\n\nmov\tbad\nmkv 5", fp);
  fclose(fp);
  EXPECT_EQ(extlist_add_category_file(l, f.c_str()), 2);
  EXPECT_NE(extlist_lookup(l, "mkv"), nullptr);
  EXPECT_EQ(extlist_lookup(l, "mov"), nullptr);
  EXPECT_EQ(extlist_add_category_file(l, "/nonexistent/x"), -1);
  extlist_terminate(l);

  EXTLIST_TABLE *plain = extlist_initialize(10, nullptr);
  EXPECT_EQ(extlist_add_file(plain, f.c_str()), 3);
  EXPECT_EQ(extlist_lookup(plain, "mov"), data(1));
  extlist_terminate(plain);
}

TEST(ExtList, BucketOfAnExtension) {
  EXTLIST_TABLE *l = extlist_initialize(50, nullptr);
  ASSERT_NE(l, nullptr);
  // "jpg" as little-endian bytes: 'j' | 'p' << 8 | 'g' << 16.
  const uint32_t jpg = 'j' | ('p' << 8) | ('g' << 16);
  EXPECT_EQ(extlist_create_hash(l, "jpg"), static_cast<int>(jpg % 50));
  EXPECT_EQ(extlist_create_hash(l, "JPG"), extlist_create_hash(l, "jpg"));
  // Only the first four characters count.
  EXPECT_EQ(extlist_create_hash(l, "jpeg2000"), extlist_create_hash(l, "jpeg"));
  EXPECT_EQ(extlist_create_hash(l, ""), 0);
  extlist_terminate(l);
  // No more characters than buckets.
  EXTLIST_TABLE *two = extlist_initialize(2, nullptr);
  EXPECT_EQ(extlist_create_hash(two, "ab"), static_cast<int>(('a' | ('b' << 8)) % 2));
  EXPECT_EQ(extlist_create_hash(two, "abcd"), extlist_create_hash(two, "ab"));
  extlist_terminate(two);
  EXTLIST_TABLE *none = extlist_initialize(0, nullptr);
  EXPECT_EQ(extlist_create_hash(none, "jpg"), 0);
  extlist_terminate(none);
  EXPECT_EQ(extlist_create_hash(nullptr, "jpg"), 0);
}
