#include "lib/base/kxfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fixtures/tmpdir.h"

namespace {

// Each test runs in its own fresh folder under /tmp, removed afterwards.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cwd_.ok()); }
  static void write(const std::string &name, const std::string &data) {
    std::ofstream(name, std::ios::binary) << data;
  }
  static std::vector<std::string> lines_of(const std::string &name) {
    std::vector<std::string> out;
    file_buffer *b = file_buffer_open(name.c_str());
    EXPECT_NE(b, nullptr);
    while (file_buffer_read_string(b) == 0) out.emplace_back(b->line);
    EXPECT_EQ(file_buffer_read_string(b), 1);  // stays at the end
    file_buffer_close(b);
    return out;
  }
  TempDir tmp_{"kxfile_test"};
  std::string dir_ = tmp_.path();
  CurrentDir cwd_{dir_};
};

using V = std::vector<std::string>;

TEST_F(FileTest, BufferLines) {
  struct Case {
    std::string data;
    V want;
  } cases[] = {
      {"a\r\nb\n\nc", {"a", "b", "", "c"}},  // a last line without newline is kept
      {"x\n", {"x"}},
      {"", {}},
      {"\r\n\r", {"", "\r"}},
      {std::string("a\nb\0c\nd\n", 8), {"a", "b", "d"}},  // NUL hides only its own line's tail
  };
  int i = 0;
  for (const auto &c : cases) {
    std::string name = "f";
    name += std::to_string(i++);
    write(name, c.data);
    EXPECT_EQ(lines_of(name), c.want) << name;
  }
  EXPECT_EQ(file_buffer_open("missing"), nullptr);
  EXPECT_EQ(file_buffer_read_string(nullptr), 1);
  file_buffer_close(nullptr);
}

TEST_F(FileTest, BufferLongLinesGrow) {
  std::string data;
  V want;
  for (int i = 0; i < 40; ++i) {
    want.push_back(std::string(static_cast<size_t>(3000 * i + 1), static_cast<char>('a' + i % 26)));
    data += want.back() + "\n";
  }
  data += "tail";
  want.push_back("tail");
  write("big", data);
  EXPECT_EQ(lines_of("big"), want);

  file_buffer *b = file_buffer_open("big");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->buffer_size, 32768);
  EXPECT_EQ(b->buffer_chunk_size, FILE_BUFFER_SIZE);
  EXPECT_EQ(file_buffer_read_all(b), 0);
  EXPECT_EQ(std::string(b->buffer, static_cast<size_t>(b->buffer_len)), data);
  file_buffer_close(b);
}

TEST_F(FileTest, NulSeparatedStrings) {
  std::string longer(1200, 'q');
  write("names", std::string("first\0", 6) + longer + std::string("\0\x01\x02", 3) + "unterminated");
  int fd = open("names", O_RDONLY);
  ASSERT_GE(fd, 0);
  char *s = file_read_string_fd(fd);
  EXPECT_STREQ(s, "first");
  free(s);
  s = file_read_string_fd(fd);
  EXPECT_EQ(std::string(s), longer);
  free(s);
  char bin[2];
  ASSERT_EQ(read(fd, bin, 2), 2);  // the descriptor stands just after the NUL
  EXPECT_EQ(bin[0], 1);
  EXPECT_EQ(file_read_string_fd(fd), nullptr);
  close(fd);

  write("lines", "one\r\ntwo\nthree");
  FILE *f = fopen("lines", "r");
  ASSERT_NE(f, nullptr);
  char *l = file_read_string(f);
  EXPECT_STREQ(l, "one");
  free(l);
  l = file_read_string(f);
  EXPECT_STREQ(l, "two");
  free(l);
  EXPECT_EQ(file_read_string(f), nullptr);
  fclose(f);
}

TEST_F(FileTest, StatsAndDirs) {
  write("five", "12345");
  EXPECT_EQ(file_size("five"), 5);
  EXPECT_EQ(file_size("none"), -1);
  EXPECT_EQ(file_exists("five"), 0);
  EXPECT_EQ(file_exists("none"), -1);
  EXPECT_GT(file_last_accessed("five"), 0);
  EXPECT_EQ(dir_exists("five"), KXFALSE);
  EXPECT_EQ(dir_exists(nullptr), KXFALSE);
  EXPECT_EQ(dir_create("d"), KXTRUE);
  EXPECT_EQ(dir_create("d"), KXFALSE);
  EXPECT_EQ(dir_create("x/y"), KXFALSE);
  EXPECT_EQ(dir_exists("d"), KXTRUE);
  int size = -1;
  char *all = file_read_all_size("five", &size);
  EXPECT_STREQ(all, "12345");
  EXPECT_EQ(size, 5);
  free(all);
  EXPECT_EQ(file_read_all("none"), nullptr);
}

TEST_F(FileTest, ClearAllKeepsWhatLinksPointTo) {
  // Outside the tree: a file and a directory that links inside must survive.
  ASSERT_EQ(mkdir("outside", 0777), 0);
  write("outside/keep", "k");
  ASSERT_EQ(mkdir("tree", 0777), 0);
  ASSERT_EQ(mkdir("tree/sub", 0777), 0);
  ASSERT_EQ(mkdir("tree/sub/deeper", 0777), 0);
  write("tree/a", "1");
  write("tree/sub/deeper/b", "2");
  std::string outside = dir_ + "/outside";
  ASSERT_EQ(symlink(outside.c_str(), "tree/sub/link_dir"), 0);
  ASSERT_EQ(symlink((outside + "/keep").c_str(), "tree/link_file"), 0);
  ASSERT_EQ(symlink("/nonexistent/dangling", "tree/dangling"), 0);

  std::string tree = dir_ + "/tree/";
  file_clear_all(tree.c_str());
  EXPECT_EQ(dir_exists("tree"), KXFALSE);
  struct stat st;
  EXPECT_EQ(lstat("tree", &st), -1);
  EXPECT_EQ(file_exists("outside/keep"), 0);
  EXPECT_EQ(dir_exists("outside"), KXTRUE);
}

TEST_F(FileTest, ClearAllIgnoresShortAndSkipsOverlong) {
  file_clear_all(nullptr);
  file_clear_all("/tm/");
  file_clear_all("abc/");  // 4 characters: ignored
  ASSERT_EQ(mkdir("abc", 0777), 0);
  file_clear_all("abc/");
  EXPECT_EQ(dir_exists("abc"), KXTRUE);

  // A path of 1970 characters: its entry with a long name does not fit
  // 2000 bytes and stays, so the directory itself stays too.
  std::string path = dir_ + "/";
  while (path.size() < 1970) {
    size_t part = std::min<size_t>(100, 1970 - path.size() - 1);
    path += std::string(part, 'p') + "/";
    ASSERT_EQ(mkdir(path.c_str(), 0777), 0) << path.size();
  }
  ASSERT_EQ(path.size(), 1970u);
  std::string deep = path + std::string(40, 'n');
  write(deep, "x");
  write(path + "s", "y");
  std::string top = dir_ + "/" + std::string(100, 'p') + "/";
  file_clear_all(top.c_str());
  EXPECT_EQ(file_exists(deep.c_str()), 0);
  EXPECT_EQ(file_exists((path + "s").c_str()), -1);
  EXPECT_EQ(dir_exists(top.c_str()), KXTRUE);
}

}  // namespace

namespace {

TEST_F(FileTest, WholeTextLineSplitterAndLineCounts) {
  write("lines", "a\r\nb\n\nc");
  int size = 0;
  char *all = file_read_all_size("lines", &size);
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(size, 7);
  char *next = all, *line = nullptr;
  V got;
  while (file_read_all_string(&next, &line) == 0) got.emplace_back(line);
  EXPECT_EQ(got, (V{"a", "b", "", "c"}));
  EXPECT_EQ(file_read_all_string(&next, &line), 1);
  EXPECT_EQ(file_read_all_string(nullptr, &line), 1);
  free(all);

  file_buffer *b = file_buffer_open("lines");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(file_buffer_line_count(b), 0);  // nothing read yet
  ASSERT_EQ(file_buffer_read_all(b), 0);
  EXPECT_EQ(file_buffer_line_count(b), 3);
  file_buffer_close(b);
  EXPECT_EQ(file_buffer_line_count(nullptr), 0);

  // file_line_count counts what file_read_string returns and rewinds.
  FILE *f = file_open("lines", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fgetc(f), 'a');
  EXPECT_EQ(file_line_count(f), 3);  // c has no newline
  EXPECT_EQ(ftell(f), 0);
  fclose(f);
  EXPECT_EQ(file_line_count(nullptr), -1);
  EXPECT_EQ(file_open("missing/none", "r"), nullptr);
}

}  // namespace
