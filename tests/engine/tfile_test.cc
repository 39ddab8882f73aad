// Report store paths and numbered files.
#include "src/report/tfile.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/engine/derive_fixture.h"
#include "tests/fixtures/tmpdir.h"

namespace {

namespace fs = std::filesystem;
using enginetest::write_file;

std::string take(char *p) {
  std::string s = p ? p : "<null>";
  free(p);
  return s;
}

bool is_dir(const std::string &p) { return fs::is_directory(p); }

class TfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    reports_ = tmp_.path() + "/r/";
    fs::create_directories(reports_);
    set_dirs(reports_, reports_);
  }
  void TearDown() override {
    free_report(rep_);
    reporter_settings_reset(&s_);
  }
  void set_dirs(const std::string &reports, const std::string &temp) {
    free(s_.reports_directory);
    free(s_.temp_directory);
    s_.reports_directory = strdup(reports.c_str());
    s_.temp_directory = strdup(temp.c_str());
    free_report(rep_);
    rep_ = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, &s_);
    ASSERT_NE(rep_, nullptr);
  }

  TempDir tmp_{"kxtfile"};
  std::string reports_;
  reporter_settings s_;
  REPORT *rep_ = nullptr;
};

TEST_F(TfileTest, LayoutOfTheReportStore) {
  struct Case {
    int id;
    const char *root;
  } cases[] = {{123456, "123/123456/"}, {7, "0/7/"}, {999, "0/999/"}, {1000, "1/1000/"}, {0, "0/0/"}};
  for (const Case &c : cases) {
    std::string root = take(tfile_create_root_path(rep_, c.id));
    EXPECT_EQ(root, reports_ + c.root) << c.id;
    EXPECT_TRUE(is_dir(root)) << root;
  }
}

TEST_F(TfileTest, NumberedReportFilesShareSubdirectoriesByThousands) {
  rep_->root_path = tfile_create_root_path(rep_, 123456);
  std::string first = take(tfile_next_rep_file(rep_));
  EXPECT_EQ(first, reports_ + "123/123456/0/1");
  EXPECT_TRUE(is_dir(reports_ + "123/123456/0"));
  rep_->cur_rep_count = 1499;
  EXPECT_EQ(take(tfile_next_rep_file(rep_)), reports_ + "123/123456/1/1500");
  EXPECT_TRUE(is_dir(reports_ + "123/123456/1"));
  EXPECT_EQ(take(tfile_root_file(rep_)), reports_ + "123/123456/root");
  EXPECT_EQ(take(tfile_process_file(rep_)), reports_ + "123/123456/process");
}

TEST_F(TfileTest, NumbersEndAtTheLastOne) {
  rep_->root_path = tfile_create_root_path(rep_, 5);
  rep_->temp_path = tfile_create_temp_path(rep_, 5);
  rep_->cur_rep_count = TFILE_MAX_NUMBER - 1;
  EXPECT_EQ(take(tfile_next_rep_file(rep_)), reports_ + "0/5/1999/1999999");
  EXPECT_EQ(tfile_next_rep_file(rep_), nullptr);
  EXPECT_EQ(rep_->cur_rep_count, 2000000u);
  rep_->cur_temp_count = TFILE_MAX_NUMBER;
  EXPECT_EQ(tfile_next_temp_file(rep_), nullptr);
  EXPECT_EQ(rep_->cur_temp_count, 2000000u);
}

TEST_F(TfileTest, SharedTemporaryDirectoryLiesInTheRoot) {
  // The run has no root yet: asking for the temporary path makes it.
  std::string temp = take(tfile_create_temp_path(rep_, 7));
  EXPECT_EQ(temp, reports_ + "0/7/temp/");
  ASSERT_NE(rep_->root_path, nullptr);
  EXPECT_EQ(std::string(rep_->root_path), reports_ + "0/7/");
  EXPECT_TRUE(is_dir(reports_ + "0/7/"));
  EXPECT_FALSE(is_dir(temp));  // made with the first temporary file
  rep_->temp_path = strdup(temp.c_str());
  EXPECT_EQ(take(tfile_next_temp_file(rep_)), temp + "0/1");
  EXPECT_TRUE(is_dir(temp + "0"));
}

TEST_F(TfileTest, SeparateTemporaryDirectory) {
  std::string t = tmp_.path() + "/t/";
  set_dirs(reports_, t);
  std::string temp = take(tfile_create_temp_path(rep_, 7));
  EXPECT_EQ(temp, t + "7/");
  EXPECT_TRUE(is_dir(temp));
  EXPECT_EQ(rep_->root_path, nullptr);
}

TEST_F(TfileTest, ClearingTheTemporaryDirectoryRestartsItsNumbers) {
  rep_->root_path = tfile_create_root_path(rep_, 9);
  rep_->temp_path = tfile_create_temp_path(rep_, 9);
  std::string a = take(tfile_next_temp_file(rep_));
  std::string b = take(tfile_next_temp_file(rep_));
  write_file(a, "x");
  write_file(b, "y");
  write_file(reports_ + "0/9/root", "keep");
  EXPECT_EQ(tfile_clear_temp(rep_), -1);
  EXPECT_FALSE(fs::exists(a));
  EXPECT_FALSE(fs::exists(b));
  EXPECT_TRUE(fs::exists(reports_ + "0/9/root"));
  EXPECT_EQ(take(tfile_next_temp_file(rep_)), std::string(rep_->temp_path) + "0/1");
}

TEST_F(TfileTest, ClearingTheReportRemovesItsDirectory) {
  rep_->root_path = tfile_create_root_path(rep_, 11);
  write_file(reports_ + "0/11/root", "r");
  write_file(reports_ + "0/12/root", "other report");
  EXPECT_EQ(tfile_clear_report(rep_), -1);
  EXPECT_FALSE(fs::exists(reports_ + "0/11"));
  EXPECT_TRUE(fs::exists(reports_ + "0/12/root"));
}

TEST_F(TfileTest, ClearingRefusesPathsOutsideTheStore) {
  std::string outside = tmp_.path() + "/outside/";
  write_file(outside + "precious", "p");
  struct Case {
    const char *what;
    std::string path;
    bool null_path;
  } cases[] = {
      {"no path", "", true},
      {"empty path", "", false},
      {"outside the store", outside, false},
      {"the store itself", reports_, false},
      {"back out of the store", reports_ + "../outside/", false},
      {"a dot component", reports_ + "./", false},
      {"no final slash", reports_ + "0/11", false},
  };
  for (const Case &c : cases) {
    free(rep_->root_path);
    free(rep_->temp_path);
    rep_->root_path = c.null_path ? nullptr : strdup(c.path.c_str());
    rep_->temp_path = c.null_path ? nullptr : strdup(c.path.c_str());
    EXPECT_EQ(tfile_clear_report(rep_), 0) << c.what;
    EXPECT_EQ(tfile_clear_temp(rep_), 0) << c.what;
    EXPECT_TRUE(fs::exists(outside + "precious")) << c.what;
    EXPECT_TRUE(is_dir(reports_)) << c.what;
  }
  // A run without settings refuses too.
  rep_->settings = nullptr;
  free(rep_->root_path);
  rep_->root_path = strdup((reports_ + "0/1/").c_str());
  EXPECT_EQ(tfile_clear_report(rep_), 0);
}

TEST_F(TfileTest, MakePathValidMakesEveryDirectoryOnTheWay) {
  std::string base = tmp_.path() + "/a/b/";
  EXPECT_EQ(take(tfile_make_path_valid(base.c_str(), "c/d/", "f")), base + "c/d/f");
  EXPECT_TRUE(is_dir(base + "c/d"));
  EXPECT_FALSE(fs::exists(base + "c/d/f"));
  // Folders that exist already are kept; a folder removed below one that
  // exists is made again.
  fs::remove(base + "c/d");
  EXPECT_EQ(take(tfile_make_path_valid(base.c_str(), "c/d/", "g")), base + "c/d/g");
  EXPECT_EQ(take(tfile_make_path_valid(base.c_str(), "c/d/", "g")), base + "c/d/g");
  EXPECT_TRUE(is_dir(base + "c/d"));
  // Null parts count as empty texts.
  EXPECT_EQ(take(tfile_make_path_valid(nullptr, nullptr, nullptr)), "");
  EXPECT_EQ(take(tfile_make_path_valid("rel", nullptr, "x")), "relx");
}

TEST_F(TfileTest, NoDirectorySettingNoPath) {
  reporter_settings none;
  rep_->settings = &none;
  EXPECT_EQ(tfile_create_root_path(rep_, 1), nullptr);
  EXPECT_EQ(tfile_create_temp_path(rep_, 1), nullptr);
  EXPECT_EQ(tfile_root_file(rep_), nullptr);
  EXPECT_EQ(tfile_next_rep_file(rep_), nullptr);
  rep_->settings = &s_;
}

}  // namespace
