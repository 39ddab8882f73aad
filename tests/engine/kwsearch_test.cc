// The shared keyword search engine and the data-words text.
#include "src/report/kwsearch.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/lists/serialcrypt.h"
#include "src/report/fields.h"
#include "tests/engine/derive_fixture.h"

namespace {

namespace fs = std::filesystem;
using enginetest::InstallRoot;
using enginetest::LogCapture;
using enginetest::write_file;

std::string words(const kwsearch_engine *e, const char *text) {
  char *w = kwsearch_get_words(e, text);
  std::string s = w ? w : "<null>";
  free(w);
  return s;
}

const char *kKeywords =
    "# category  unused  query\n"
    "\n"
    "gambling x casino OR poker\n"
    "weapons\tx\tgun -toy\n"
    "onlyname\n"
    "broken x (unclosed\n"
    "pets 1 dog\n";

class KwsearchTest : public ::testing::Test {
 protected:
  void TearDown() override { kwsearch_terminate(); }

  // The keyword list at the install root as the enciphered file the
  // engine loads by default.
  void write_enciphered(const std::string &text) {
    std::string plain = root_.path() + "/kw.bz2";
    std::vector<char> packed(text.size() * 2 + 600);
    unsigned int len = static_cast<unsigned int>(packed.size());
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(packed.data(), &len, const_cast<char *>(text.data()),
                                       static_cast<unsigned int>(text.size()), 9, 0, 0),
              BZ_OK);
    write_file(plain, std::string(packed.data(), len));
    std::string out = root_.lists() + "/kxproxykwscan.kxz";
    std::fflush(stdout);
    int saved = dup(1);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, 1);
    close(fd);
    int rc = serialcrypt_encrypt_file(plain.c_str());
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    ASSERT_EQ(rc, 1);
  }

  InstallRoot root_;
};

TEST_F(KwsearchTest, PlainKeywordFile) {
  write_file(root_.path() + "/kw.txt", kKeywords);
  kwsearch_engine *e = kwsearch_new_engine();
  ASSERT_NE(e, nullptr);
  LogCapture log;
  EXPECT_EQ(kwsearch_load_file(e, "/kw.txt"), 0);
  // A line with only a category name adds the name and refuses the query.
  EXPECT_EQ(log.count("4 kw_search_all_line: Can't add keyword/query 'onlyname'"), 1) << log.joined();
  EXPECT_EQ(log.count("4 kw_search_all_line: Can't add keyword/query 'broken x (unclosed'"), 1) << log.joined();
  EXPECT_EQ(log.count("1 kw_search_load_file: 5 lines loaded from the file " + root_.path() + "/kw.txt"), 1)
      << log.joined();
  struct Case {
    const char *text;
    const char *words;
  } cases[] = {
      {"Play POKER at the casino", "\"POKER\":\"gambling\", \"casino\":\"gambling\""},
      {"a dog and a gun", "\"dog\":\"pets\", \"gun\":\"weapons\""},
      {"a toy gun", "\"toy\":\"weapons\", \"gun\":\"weapons\""},
      {"dog", "\"dog\":\"pets\""},
      {"nothing here", "<null>"},
      {"", "<null>"},
  };
  for (const Case &c : cases) EXPECT_EQ(words(e, c.text), c.words) << c.text;
  EXPECT_EQ(kwsearch_get_words(e, nullptr), nullptr);
  EXPECT_EQ(kwsearch_get_words(nullptr, "dog"), nullptr);
  kwsearch_destroy_engine(e);
}

TEST_F(KwsearchTest, ManyWordsMakeOneExactText) {
  // Long category names and many words: the text is sized from its pieces.
  std::string list, text, want;
  for (int i = 0; i < 40; ++i) {
    std::string word = "w" + std::to_string(i) + "x";
    std::string cat = std::string(30 + i, 'c') + std::to_string(i);
    list += cat + " x " + word + "\n";
    text += word + " ";
    want += std::string(i ? ", " : "") + "\"" + word + "\":\"" + cat + "\"";
  }
  write_file(root_.path() + "/many.txt", list);
  kwsearch_engine *e = kwsearch_new_engine();
  ASSERT_EQ(kwsearch_load_file(e, "/many.txt"), 0);
  EXPECT_EQ(words(e, text.c_str()), want);
  kwsearch_destroy_engine(e);
}

TEST_F(KwsearchTest, AMissingPlainFileGivesAnEngineThatFindsNothing) {
  kwsearch_engine *e = kwsearch_new_engine();
  LogCapture log;
  EXPECT_EQ(kwsearch_load_file(e, "/none.txt"), 0);
  EXPECT_EQ(log.count("4 kw_search_load_file: Can't open the keyword file /none.txt: No such file or directory."), 1)
      << log.joined();
  EXPECT_EQ(words(e, "dog"), "<null>");
  kwsearch_destroy_engine(e);
}

TEST_F(KwsearchTest, EncipheredKeywordFileIsTheDefault) {
  write_enciphered(kKeywords);
  std::shared_ptr<kwsearch_engine> e = kwsearch_get_engine();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(words(e.get(), "my dog plays poker"), "\"dog\":\"pets\", \"poker\":\"gambling\"");
  // Later requests share the engine.
  EXPECT_EQ(kwsearch_get_engine(), e);
  kwsearch_release_engine(e);
  EXPECT_EQ(e, nullptr);
}

TEST_F(KwsearchTest, ARunTakesTheEngineOnItsFirstDataWords) {
  write_enciphered(kKeywords);
  REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, nullptr);
  enginetest::WindowRow row;
  row.set("http://x.com/", 8, "a gun and a dog");
  EXPECT_EQ(rep->keyword_search_engine, nullptr);
  EXPECT_STREQ(find_data_words(rep, row.rec(), row.map()), "\"gun\":\"weapons\", \"dog\":\"pets\"");
  ASSERT_NE(rep->keyword_search_engine, nullptr);
  std::weak_ptr<kwsearch_engine> held = rep->keyword_search_engine;
  // The run's reference outlives a reload and the stop; its release frees.
  write_enciphered("cats x cat\n");
  kwsearch_reload_file();
  kwsearch_terminate();
  row.set("http://x.com/", 8, "a dog");
  EXPECT_STREQ(find_data_words(rep, row.rec(), row.map()), "\"dog\":\"pets\"");
  free_report(rep);
  EXPECT_TRUE(held.expired());
}

TEST_F(KwsearchTest, ADamagedEncipheredFileKeepsTheLinesDelivered) {
  write_file(root_.lists() + "/kxproxykwscan.kxz", "not a ciphertext at all");
  LogCapture log;
  std::shared_ptr<kwsearch_engine> e = kwsearch_get_engine();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(log.count("4 kw_search_load_file: failed loading encrypted file " + root_.lists() +
                      "/kxproxykwscan.kxz"),
            1)
      << log.joined();
  EXPECT_EQ(words(e.get(), "dog"), "<null>");
}

TEST_F(KwsearchTest, AReloadWhileTwoReportsHoldTheOldEngine) {
  write_enciphered("pets x dog\n");
  std::shared_ptr<kwsearch_engine> a = kwsearch_get_engine();
  std::shared_ptr<kwsearch_engine> b = kwsearch_get_engine();
  std::weak_ptr<kwsearch_engine> old = a;
  write_enciphered("cats x cat\n");
  EXPECT_EQ(kwsearch_reload_file(), 0);
  std::shared_ptr<kwsearch_engine> fresh = kwsearch_get_engine();
  EXPECT_NE(fresh, a);
  EXPECT_EQ(words(fresh.get(), "cat and dog"), "\"cat\":\"cats\"");
  EXPECT_EQ(words(a.get(), "cat and dog"), "\"dog\":\"pets\"");
  kwsearch_release_engine(a);
  EXPECT_FALSE(old.expired());
  EXPECT_EQ(words(b.get(), "a dog"), "\"dog\":\"pets\"");
  kwsearch_release_engine(b);
  EXPECT_TRUE(old.expired());
}

TEST_F(KwsearchTest, SearchesWhileTheMainThreadReloads) {
  write_enciphered("pets x dog\n");
  std::shared_ptr<kwsearch_engine> first = kwsearch_get_engine();
  std::weak_ptr<kwsearch_engine> first_seen = first;
  kwsearch_release_engine(first);
  // Every reload replaces the engine with one of the same list: a search
  // always has an engine, and it always finds the word.
  std::atomic<int> found{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&found] {
      for (int i = 0; i < 100; ++i) {
        std::shared_ptr<kwsearch_engine> e = kwsearch_get_engine();
        if (words(e.get(), "my dog") == "\"dog\":\"pets\"") found++;
        kwsearch_release_engine(e);
      }
    });
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(kwsearch_reload_file(), 0);
  for (auto &w : workers) w.join();
  EXPECT_EQ(found.load(), 4 * 100);
  // The reloads did replace the engine, and the old ones are gone.
  EXPECT_TRUE(first_seen.expired());
  std::shared_ptr<kwsearch_engine> last = kwsearch_get_engine();
  EXPECT_EQ(words(last.get(), "my dog"), "\"dog\":\"pets\"");
  kwsearch_release_engine(last);
}

}  // namespace
