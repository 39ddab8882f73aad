// The report store's directories compared as the system names them, and
// removal that follows no link.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "lib/base/kxfile.h"
#include "src/report/report.h"
#include "src/report/tfile.h"
#include "src/support/settings.h"
#include "tests/fixtures/tmpdir.h"

namespace {

namespace fs = std::filesystem;

bool exists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

class TfileStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    base_ = tmp_.path() + "/";
    fs::create_directories(base_ + "r");
    fs::create_directories(base_ + "outside/0/7");
    std::ofstream(base_ + "outside/keep") << "k";
    std::ofstream(base_ + "outside/0/7/keep") << "k";
  }
  void TearDown() override {
    free_report(rep_);
    reporter_settings_reset(&s_);
  }
  void use(const std::string &reports, const std::string &temp, int id) {
    reporter_settings_reset(&s_);
    s_.reports_directory = strdup((base_ + reports).c_str());
    s_.temp_directory = strdup((base_ + temp).c_str());
    free_report(rep_);
    rep_ = new_report_initialize(REPORT_DEMAND, 1, "n", "o", 0, 0, 0, &s_);
    ASSERT_NE(rep_, nullptr);
    ASSERT_NE(tfile_take_root_path(rep_, id), nullptr);
    rep_->temp_path = tfile_create_temp_path(rep_, id);
    ASSERT_NE(rep_->temp_path, nullptr);
  }
  // p with the test's folder taken off the front.
  std::string rel(const char *p) const {
    std::string s = p ? p : "<null>";
    return s.rfind(base_, 0) == 0 ? s.substr(base_.size()) : s;
  }

  TempDir tmp_{"kxtfilestore"};
  std::string base_;
  reporter_settings s_;
  REPORT *rep_ = nullptr;
};

// A temporary directory that is the report directory under another
// spelling, or that would put the run's folder at or inside one of the
// store's numbered folders, is not one of its own: the run's temporary
// files go to root + "temp/".
TEST_F(TfileStore, TheTemporaryDirectoryIsComparedAsARealPath) {
  ASSERT_EQ(symlink((base_ + "r").c_str(), (base_ + "rlink").c_str()), 0);
  fs::create_directories(base_ + "x");
  struct {
    const char *temp;
    int id;
    const char *want;
  } cases[] = {
      {"r//", 7, "r/0/7/temp/"},          {"r/./", 7, "r/0/7/temp/"},     {"x/../r/", 7, "r/0/7/temp/"},
      {"rlink/", 7, "r/0/7/temp/"},        {"r", 7, "r/0/7/temp/"},        {"r/0/", 7, "r/0/7/temp/"},
      {"r/5/", 5123, "r/5/5123/temp/"},    {"r/5/", 7, "r/0/7/temp/"},     {"r/5/5001/", 7, "r/0/7/temp/"},
      {"r/tmp/", 7, "r/tmp/7/"},           {"t/", 7, "t/7/"},              {"t", 1234, "t/1234/"},
  };
  for (const auto &c : cases) {
    use("r/", c.temp, c.id);
    EXPECT_EQ(rel(rep_->temp_path), c.want) << "temp_dir " << c.temp;
  }
  // The issue in practice: clearing the temporary folder of file 7 with
  // temp_dir "r//" leaves the first-level store folder 7 (instances
  // 7000-7999) alone.
  fs::create_directories(base_ + "r/7/7001");
  std::ofstream(base_ + "r/7/7001/root") << "kept";
  use("r/", "r//", 7);
  EXPECT_EQ(tfile_clear_temp(rep_), -1);
  EXPECT_TRUE(exists(base_ + "r/7/7001/root"));
}

TEST_F(TfileStore, RealDirectories) {
  ASSERT_EQ(symlink((base_ + "r").c_str(), (base_ + "rlink").c_str()), 0);
  struct {
    std::string dir, want;
  } cases[] = {
      {base_ + "r", base_ + "r/"},
      {base_ + "r//.//", base_ + "r/"},
      {base_ + "rlink/new/../", base_ + "r/"},
      {base_ + "rlink/new/more/../x", base_ + "r/new/x/"},
      {"/", "/"},
  };
  for (const auto &c : cases) EXPECT_EQ(tfile_real_dir(c.dir.c_str()), c.want) << c.dir;
  EXPECT_EQ(tfile_real_dir(nullptr), "");
  EXPECT_EQ(tfile_real_dir(""), "");
  EXPECT_TRUE(tfile_dir_within("/a/b/", "/a/"));
  EXPECT_TRUE(tfile_dir_within("/a/", "/a/"));
  EXPECT_FALSE(tfile_dir_within("/ab/", "/a/"));
  EXPECT_FALSE(tfile_dir_within("/a/", "/a/b/"));
}

// Clearing a run's folders removes a link inside them as a link, a root
// folder that is a link as a link, and nothing at all through a link on the
// way down from the store directory.
TEST_F(TfileStore, ClearingFollowsNoLink) {
  const std::string outside = base_ + "outside";
  use("r/", "t/", 7);
  std::ofstream(std::string(rep_->root_path) + "root") << "r";
  ASSERT_EQ(symlink(outside.c_str(), (std::string(rep_->root_path) + "link").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (std::string(rep_->temp_path) + "link").c_str()), 0);
  EXPECT_EQ(tfile_clear_temp(rep_), -1);
  EXPECT_EQ(tfile_clear_report(rep_), -1);
  EXPECT_FALSE(exists(rep_->root_path));
  EXPECT_FALSE(exists(rep_->temp_path));

  // The root folder itself a link.
  fs::create_directories(base_ + "r/0");
  ASSERT_EQ(symlink(outside.c_str(), (base_ + "r/0/8").c_str()), 0);
  free(rep_->root_path);
  rep_->root_path = strdup((base_ + "r/0/8/").c_str());
  EXPECT_EQ(tfile_clear_report(rep_), -1);
  EXPECT_FALSE(exists(base_ + "r/0/8"));

  // A link on the way: refused.
  ASSERT_EQ(symlink(outside.c_str(), (base_ + "r/9").c_str()), 0);
  EXPECT_EQ(tfile_clear_below((base_ + "r/").c_str(), (base_ + "r/9/0/").c_str()), 0);
  EXPECT_EQ(tfile_clear_below((base_ + "r/").c_str(), (base_ + "r/9/0/7/").c_str()), 0);
  EXPECT_TRUE(exists(base_ + "r/9"));

  EXPECT_TRUE(exists(outside + "/keep"));
  EXPECT_TRUE(exists(outside + "/0/7/keep"));
  // Outside the base, or with a "." or ".." on the way: refused.
  EXPECT_EQ(tfile_clear_below((base_ + "r/").c_str(), (base_ + "outside/0/").c_str()), 0);
  EXPECT_EQ(tfile_clear_below((base_ + "r/").c_str(), (base_ + "r/../outside/0/").c_str()), 0);
  EXPECT_EQ(tfile_clear_below((base_ + "r/").c_str(), (base_ + "r/./0/").c_str()), 0);
  EXPECT_EQ(tfile_clear_below((base_ + "r/").c_str(), (base_ + "r/").c_str()), 0);
  EXPECT_TRUE(exists(outside + "/0/7/keep"));
}

// The general removal too: a folder path whose last component is a link
// loses the link only.
TEST_F(TfileStore, ClearAllRemovesALinkAsALink) {
  const std::string outside = base_ + "outside";
  ASSERT_EQ(symlink(outside.c_str(), (base_ + "r/link").c_str()), 0);
  file_clear_all((base_ + "r/link/").c_str());
  EXPECT_FALSE(exists(base_ + "r/link"));
  EXPECT_TRUE(exists(outside + "/keep"));
  EXPECT_TRUE(exists(outside + "/0/7/keep"));
  // A real folder still goes with everything in it.
  fs::create_directories(base_ + "r/d/e");
  std::ofstream(base_ + "r/d/e/f") << "f";
  file_clear_all((base_ + "r/d/").c_str());
  EXPECT_FALSE(exists(base_ + "r/d"));
  EXPECT_TRUE(exists(base_ + "r"));
}

}  // namespace
