#include "lib/lists/serialcrypt.h"

#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/tmpdir.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string bzip2(const std::string &text) {
  std::vector<char> out(text.size() + text.size() / 100 + 700);
  auto len = static_cast<unsigned>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char *>(text.data()),
                                     static_cast<unsigned>(text.size()), 9, 0, 0),
            BZ_OK);
  return std::string(out.data(), len);
}

// Runs fn with standard output sent to path; returns fn's result.
int with_stdout_to(const std::string &path, const std::function<int()> &fn) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  dup2(fd, 1);
  close(fd);
  const int r = fn();
  std::fflush(stdout);
  std::clearerr(stdout);
  dup2(saved, 1);
  close(saved);
  return r;
}

std::string hex(const unsigned char *p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

int collect(char *line, void *data) {
  static_cast<std::vector<std::string> *>(data)->emplace_back(line);
  return 0;
}

struct read_result {
  int code;
  std::vector<std::string> lines;
};

read_result read_list(const std::string &path) {
  read_result r;
  r.code = serialcrypt_add_file(path.c_str(), collect, &r.lines);
  return r;
}

class Enciphered : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cwd_.ok()); }

  // An enciphered list of text, made the way the product ships them:
  // bzip2, then the project's encipher utility.
  std::string make_list(const std::string &text, const std::string &name = "list.kxz") {
    write_file(name + ".bz2", bzip2(text));
    EXPECT_EQ(with_stdout_to(name, [&] { return serialcrypt_encrypt_file((name + ".bz2").c_str()); }),
              1);
    return name;
  }

  TempDir dir_{"kxz_test"};
  CurrentDir cwd_{dir_.path()};
};

TEST_F(Enciphered, RoundTrips) {
  const std::string long_line(5000, 'x');
  std::string many;
  std::vector<std::string> many_lines;
  for (int i = 0; i < 3000; ++i) {  // lines straddle the 1024-byte pieces
    many_lines.push_back("keyword number " + std::to_string(i * 7919));
    many += many_lines.back() + "\n";
  }
  struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"one\ntwo\n", {"one", "two"}},
      {"crlf\r\nline\r\n", {"crlf\r", "line\r"}},
      {"a\n" + long_line + "\nb\n", {"a", long_line, "b"}},
      {"\n\nx\n", {"", "", "x"}},
      {many, many_lines},
      {"", {}},
  };
  for (const auto &c : cases) {
    read_result r = read_list(make_list(c.text));
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.lines, c.lines);
  }
}

TEST_F(Enciphered, UnterminatedLastLineIsDropped) {
  read_result r = read_list(make_list("first\nsecond\nno end"));
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"first", "second"}));
}

TEST_F(Enciphered, NulInsideTheTextLosesNoLines) {
  read_result r = read_list(make_list(std::string("a\nb\0c\nd\n", 8)));
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"a", "b", "d"}));
}

TEST_F(Enciphered, HighlyCompressedTextIsDeliveredWhole) {
  // Megabytes of output from a few hundred bytes of input: the decompressor
  // must be drained, not only fed.
  std::string text;
  for (int i = 0; i < 100000; ++i) {
    text += "same line again\n";
  }
  text += "the last one\n";
  read_result r = read_list(make_list(text));
  EXPECT_EQ(r.code, -1);
  ASSERT_EQ(r.lines.size(), 100001U);
  EXPECT_EQ(r.lines.back(), "the last one");
}

TEST_F(Enciphered, BadFilesFail) {
  std::string text;
  for (int i = 0; i < 500; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  const std::string good = read_file(make_list(text));
  ASSERT_GT(good.size(), 64U);

  write_file("empty.kxz", "");
  EXPECT_EQ(read_list("empty.kxz").code, 0);

  write_file("cut8.kxz", good.substr(0, good.size() - 8));
  EXPECT_EQ(read_list("cut8.kxz").code, 0);
  write_file("cut3.kxz", good.substr(0, good.size() - 3));
  EXPECT_EQ(read_list("cut3.kxz").code, 0);
  write_file("half.kxz", good.substr(0, good.size() / 2 / 8 * 8));
  EXPECT_EQ(read_list("half.kxz").code, 0);

  // A whole ciphertext of a bzip2 stream that stops early: the lines
  // before the cut are delivered, but the list is not whole.
  const std::string packed = bzip2(text);
  write_file("short.bz2", packed.substr(0, packed.size() - 12));
  EXPECT_EQ(with_stdout_to("short.kxz", [] { return serialcrypt_encrypt_file("short.bz2"); }), 1);
  EXPECT_EQ(read_list("short.kxz").code, 0);

  // Enciphered but not compressed.
  write_file("plain.txt", "just text\n");
  EXPECT_EQ(with_stdout_to("plain.kxz", [] { return serialcrypt_encrypt_file("plain.txt"); }), 1);
  EXPECT_EQ(read_list("plain.kxz").code, 0);

  // Another key.
  unsigned char saved[16];
  std::memcpy(saved, serialcrypt_key, 16);
  serialcrypt_key[0] ^= 0x55;
  make_list(text, "otherkey.kxz");
  std::memcpy(serialcrypt_key, saved, 16);
  read_result r = read_list("otherkey.kxz");
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(r.lines.empty());

  EXPECT_EQ(read_list("missing.kxz").code, 0);
  EXPECT_EQ(read_list(".").code, 0);  // a directory reads as an error
}

TEST_F(Enciphered, CallbackStop) {
  const std::string list = make_list("one\ntwo\nthree\n");
  int calls = 0;
  auto stop = [](char *, void *data) {
    ++*static_cast<int *>(data);
    return 1;
  };
  EXPECT_EQ(serialcrypt_add_file(list.c_str(), stop, &calls), 0);
  EXPECT_EQ(calls, 1);
}

TEST_F(Enciphered, DashReadsStandardInput) {
  const std::string list = make_list("from\nstdin\n");
  EXPECT_EXIT(
      {
        const int fd = open(list.c_str(), O_RDONLY);
        dup2(fd, 0);
        close(fd);
        std::vector<std::string> lines;
        const int r = serialcrypt_add_file("-", collect, &lines);
        std::_Exit(r == -1 && lines == std::vector<std::string>{"from", "stdin"} ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Enciphered, DecipherUtility) {
  const std::string text = "alpha\nbeta\n";
  const std::string list = make_list(text);
  EXPECT_EQ(with_stdout_to("out.bz2", [&] { return serialcrypt_decrypt_file(list.c_str()); }), 1);
  EXPECT_EQ(read_file("out.bz2"), bzip2(text));

  write_file("broken", read_file(list).substr(0, 13));
  EXPECT_EQ(with_stdout_to("out2", [] { return serialcrypt_decrypt_file("broken"); }), 0);
  EXPECT_EQ(with_stdout_to("out3", [] { return serialcrypt_decrypt_file("missing"); }), 0);
  EXPECT_EQ(read_file("out3"), "Could not open file missing\n");
}

TEST_F(Enciphered, FailedWritesAreFailures) {
  const std::string list = make_list("alpha\nbeta\n");
  EXPECT_EQ(with_stdout_to("/dev/full", [&] { return serialcrypt_decrypt_file(list.c_str()); }), 0);
  EXPECT_EQ(with_stdout_to("/dev/full", [&] { return serialcrypt_encrypt_file(list.c_str()); }), 0);
}

// The format is plain bzip2 under OpenSSL's Blowfish-CBC: the command-line
// tools read what the utility writes and write what the reader reads.
TEST_F(Enciphered, MatchesTheCommandLineTools) {
  if (std::system("command -v bzip2 >/dev/null && command -v openssl >/dev/null") != 0) {
    GTEST_SKIP() << "bzip2 or openssl missing";
  }
  const std::string k = hex(serialcrypt_key, 16);
  const std::string iv = hex(serialcrypt_iv, 8);
  const std::string enc = "openssl enc -bf-cbc -K " + k + " -iv " + iv +
                          " -provider legacy -provider default";
  std::string text;
  for (int i = 0; i < 400; ++i) {
    text += "cross check " + std::to_string(i) + "\r\n";
  }
  write_file("text", text);

  ASSERT_EQ(std::system(("bzip2 -c text | " + enc + " > cli.kxz").c_str()), 0);
  read_result r = read_list("cli.kxz");
  EXPECT_EQ(r.code, -1);
  ASSERT_EQ(r.lines.size(), 400U);
  EXPECT_EQ(r.lines[399], "cross check 399\r");

  const std::string ours = make_list(text);
  ASSERT_EQ(std::system((enc + " -d -in " + ours + " | bzip2 -dc > back").c_str()), 0);
  EXPECT_EQ(read_file("back"), text);
  // Same bzip2 bytes, same key and IV: the same ciphertext.
  ASSERT_EQ(std::system(("bzip2 -c text > text.bz2 && " + enc + " -in text.bz2 > cli2.kxz").c_str()),
            0);
  EXPECT_EQ(with_stdout_to("ours2.kxz", [] { return serialcrypt_encrypt_file("text.bz2"); }), 1);
  EXPECT_EQ(read_file("ours2.kxz"), read_file("cli2.kxz"));
}

TEST_F(Enciphered, ThreadsReadAtOnce) {
  std::string text;
  for (int i = 0; i < 2000; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  const std::string list = make_list(text);
  std::vector<read_result> results(4);
  std::vector<std::thread> threads;
  for (auto &r : results) {
    threads.emplace_back([&list, &r] { r = read_list(list); });
  }
  for (auto &t : threads) {
    t.join();
  }
  for (const auto &r : results) {
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.lines.size(), 2000U);
  }
}

TEST(SerialcryptPieces, AddBufferKeepsTheRest) {
  std::string carry;
  std::vector<std::string> lines;
  EXPECT_EQ(serialcrypt_add_buffer("ab\ncd", &carry, collect, &lines), -1);
  EXPECT_EQ(carry, "cd");
  EXPECT_EQ(serialcrypt_add_buffer("e\n\nf", &carry, collect, &lines), -1);
  EXPECT_EQ(carry, "f");
  EXPECT_EQ(lines, (std::vector<std::string>{"ab", "cde", ""}));
}

TEST(SerialcryptPieces, Bz2ReadArguments) {
  serialcrypt_stream s;
  char out[16];
  EXPECT_EQ(serialcrypt_bz2_read(nullptr, nullptr, 0, out, 16), -1);
  ASSERT_EQ(serialcrypt_bz2_init(&s), 0);
  EXPECT_EQ(serialcrypt_bz2_read(&s, nullptr, 0, nullptr, 16), -1);
  EXPECT_EQ(serialcrypt_bz2_read(&s, nullptr, 0, out, -1), -1);
  EXPECT_EQ(serialcrypt_bz2_read(&s, nullptr, 0, out, 16), 0);
  EXPECT_EQ(serialcrypt_bz2_read(&s, "nonsense", 8, out, 16), -1);
}

}  // namespace
