#include "lib/base/kxfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
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

namespace {

// The full-transfer loops, driven through the cases that make one call move
// less than asked: a pipe that holds less than the request, a signal that
// interrupts a blocked call, the end of the file and the file size limit.

std::atomic<int> interrupts{0};
void count_interrupt(int) { interrupts.fetch_add(1); }

// A pipe whose blocked readers and writers a signal interrupts (the handler
// is installed without SA_RESTART, so the call returns early).
class InterruptedPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction sa {};
    sa.sa_handler = count_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_), 0);
    ASSERT_EQ(pipe(fds_), 0);
    // One page: a few kilobytes fill it.
    ASSERT_GT(fcntl(fds_[1], F_SETPIPE_SZ, 4096), 0);
    capacity_ = fcntl(fds_[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity_, 0);
  }
  void TearDown() override {
    close_end(0);
    close_end(1);
    sigaction(SIGUSR1, &old_, nullptr);
  }
  void close_end(int i) {
    if (fds_[i] >= 0) close(fds_[i]);
    fds_[i] = -1;
  }

  // Waits until the thread tid sleeps in the system call nr (a generous
  // bound on an event, not a measure of speed); false at once when the
  // thread has finished its work instead.
  bool blocked_in(pid_t tid, long nr) const {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    for (int i = 0; i < 60000 && !finished_.load(); ++i) {
      std::ifstream in(path);
      long got = -1;
      if (in >> got && got == nr) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  // Interrupts the call the thread tid sleeps in and waits for the handler.
  bool interrupt(pid_t tid, long nr) const {
    if (!blocked_in(tid, nr)) return false;
    const int before = interrupts.load();
    if (syscall(SYS_tgkill, getpid(), tid, SIGUSR1) != 0) return false;
    for (int i = 0; i < 60000 && interrupts.load() == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return interrupts.load() != before;
  }
  int held() const {
    int n = -1;
    return ioctl(fds_[0], FIONREAD, &n) == 0 ? n : -1;
  }

  int fds_[2] = {-1, -1};
  int capacity_ = 0;
  std::atomic<bool> finished_{false};  // set by the thread under test when it is done
  struct sigaction old_ {};
};

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  return s;
}

TEST_F(InterruptedPipe, ReadFullGathersShortAndInterruptedReads) {
  const std::string data = pattern(3000, 1);
  std::string got(4000, '\0');
  std::promise<pid_t> tid;
  auto reader = std::async(std::launch::async, [&] {
    tid.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
    const ssize_t first = file_read_full(fds_[0], got.data(), 2000);
    const ssize_t rest = file_read_full(fds_[0], got.data() + 2000, 2000);
    finished_.store(true);
    return std::make_pair(first, rest);
  });
  const pid_t t = tid.get_future().get();
  // Interrupted before any byte, then a piece at a time: the first call
  // must not return before it has all 2000 bytes.
  ASSERT_TRUE(interrupt(t, SYS_read));
  ASSERT_TRUE(file_write_all(fds_[1], data.data(), 700));
  ASSERT_TRUE(interrupt(t, SYS_read));
  ASSERT_TRUE(file_write_all(fds_[1], data.data() + 700, 700));
  ASSERT_TRUE(blocked_in(t, SYS_read));
  ASSERT_TRUE(file_write_all(fds_[1], data.data() + 1400, 1600));
  // The second call gets the 1000 bytes left and then the end of the file.
  ASSERT_TRUE(interrupt(t, SYS_read));
  close_end(1);
  const auto [first, rest] = reader.get();
  EXPECT_EQ(first, 2000);
  EXPECT_EQ(rest, 1000);
  EXPECT_EQ(got.substr(0, 3000), data);
}

TEST_F(InterruptedPipe, WriteAllResumesAfterShortAndInterruptedWrites) {
  // Fill the pipe, so that the writer blocks at once.
  ASSERT_EQ(fcntl(fds_[1], F_SETFL, O_NONBLOCK), 0);
  const std::string fill = pattern(static_cast<size_t>(capacity_), 2);
  ASSERT_EQ(write(fds_[1], fill.data(), fill.size()), capacity_);
  ASSERT_EQ(fcntl(fds_[1], F_SETFL, 0), 0);

  const std::string data = pattern(static_cast<size_t>(capacity_) * 5 + 123, 3);
  std::promise<pid_t> tid;
  auto writer = std::async(std::launch::async, [&] {
    tid.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
    const bool ok = file_write_all(fds_[1], data.data(), data.size());
    finished_.store(true);
    return ok;
  });
  const pid_t t = tid.get_future().get();
  std::string out;
  auto take = [&](size_t n) {
    std::string piece(n, '\0');
    ASSERT_EQ(file_read_full(fds_[0], piece.data(), n), static_cast<ssize_t>(n));
    out += piece;
  };
  // Interrupted before any byte went: nothing written, the call retried.
  ASSERT_TRUE(interrupt(t, SYS_write));
  // Room for one page: the writer fills it and sleeps again; interrupted
  // now, its call returns that page as a short write.
  take(static_cast<size_t>(capacity_));
  for (int i = 0; i < 60000 && held() < capacity_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(held(), capacity_);
  ASSERT_TRUE(interrupt(t, SYS_write));
  take(fill.size() + data.size() - out.size());
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(out, fill + data);
}

TEST_F(FileTest, PositionedTransfersLeaveThePositionAlone) {
  write("f", "0123456789");
  const int fd = open("f", O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
  char buf[32] = {};
  // Past the end: what there is, read once (the next read at the end gives 0).
  EXPECT_EQ(file_pread_full(fd, buf, sizeof buf, 4), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(file_pread_full(fd, buf, sizeof buf, 10), 0);
  EXPECT_TRUE(file_pwrite_all(fd, "xy", 2, 8));
  EXPECT_TRUE(file_pwrite_all(fd, "Z", 1, 12));  // leaves a hole
  EXPECT_TRUE(file_pwrite_all(fd, "", 0, 0));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
  // The plain ones read and write at the position and move it.
  EXPECT_EQ(file_read_full(fd, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_TRUE(file_write_all(fd, "ab", 2));
  EXPECT_TRUE(file_write_all(fd, "", 0));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 9);
  EXPECT_EQ(file_read_full(fd, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), std::string("y\0\0Z", 4));
  EXPECT_EQ(file_read_full(fd, buf, sizeof buf), 0);
  close(fd);
  {
    std::ifstream in("f", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("0123456ab" "y\0\0Z", 13));
  }

  // Errors: a descriptor that is not open, and one open the other way.
  EXPECT_EQ(file_read_full(fd, buf, 4), -1);
  EXPECT_EQ(file_pread_full(fd, buf, 4, 0), -1);
  EXPECT_FALSE(file_write_all(fd, "a", 1));
  EXPECT_FALSE(file_pwrite_all(fd, "a", 1, 0));
  const int ro = open("f", O_RDONLY);
  ASSERT_GE(ro, 0);
  EXPECT_FALSE(file_write_all(ro, "a", 1));
  EXPECT_FALSE(file_pwrite_all(ro, "a", 1, 0));
  close(ro);
}

// A source whose second page cannot be read: each writer's first call
// writes the first page and stops short, the next call from the second page
// fails, so the writer gives false with exactly the first page written.
TEST_F(FileTest, WritesStopAtAnUnreadableSourceByte) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto *src = static_cast<char *>(map);
  const std::string first = pattern(page, 5);
  memcpy(src, first.data(), page);
  ASSERT_EQ(mprotect(src + page, page, PROT_NONE), 0);
  const struct {
    const char *name;
    bool (*write)(int fd, const void *data, size_t n);
    size_t at;  // where the bytes land
  } writers[] = {
      {"plain", [](int fd, const void *d, size_t n) { return file_write_all(fd, d, n); }, 0},
      {"positioned", [](int fd, const void *d, size_t n) { return file_pwrite_all(fd, d, n, 100); }, 100},
  };
  for (const auto &w : writers) {
    const int fd = open(w.name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(w.write(fd, src, 2 * page)) << w.name;
    close(fd);
    std::ifstream in(w.name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(w.at, '\0') + first) << w.name;
  }
  munmap(map, 2 * page);
}

// A file size limit of 10000 bytes cuts a write that crosses it short and
// refuses the next: both writers must stop with false, the bytes up to the
// limit written where they belong. Run in a child (the limit is the
// process's); the exit code names the first step that went wrong.
[[noreturn]] void write_past_the_limit(const std::string &data) {
  alarm(120);  // a writer that loops for ever fails the test
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim {};
  lim.rlim_cur = lim.rlim_max = 10000;
  if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(2);
  const int a = open("plain", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int b = open("positioned", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (a < 0 || b < 0) _exit(3);
  if (file_write_all(a, data.data(), data.size())) _exit(4);
  if (file_pwrite_all(b, data.data(), data.size(), 4000)) _exit(5);
  _exit(0);
}

TEST_F(FileTest, WritesStopAtTheFileSizeLimit) {
  const std::string data = pattern(20000, 4);
  EXPECT_EXIT(write_past_the_limit(data), ::testing::ExitedWithCode(0), "");
  std::ifstream plain("plain", std::ios::binary), positioned("positioned", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(plain), {}), data.substr(0, 10000));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(positioned), {}),
            std::string(4000, '\0') + data.substr(0, 6000));
}

}  // namespace
