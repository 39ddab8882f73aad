// "cmake --install" of this build into a temporary prefix puts the three
// programs, their manual pages, the reporting schema and the documents
// where a packager expects them (the GNU install folders), and the
// installed programs run. Each manual page names the options its program's
// usage text lists.
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/db/dbtest.h"
#include "tests/fixtures/tmpdir.h"

namespace {

struct Output {
  int status = -1;
  std::string text;
};

Output run(const std::string &cmd) {
  Output o;
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return o;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
  int st = pclose(p);
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return o;
}

bool executable(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
}

const char *const kPrograms[] = {"kxreporter", "reportpeek", "logpeek"};

class Install : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (run("command -v cmake").status != 0) return;
    prefix_ = new TempDir("kxinstall");
    const std::string build = std::filesystem::path(KX_BIN_DIR).parent_path().string();
    installed_ = run("cmake --install '" + build + "' --prefix '" + prefix_->path() + "'");
  }
  static void TearDownTestSuite() {
    delete prefix_;
    prefix_ = nullptr;
  }
  void SetUp() override {
    if (!prefix_) GTEST_SKIP() << "cmake is not on the PATH";
    ASSERT_EQ(installed_.status, 0) << installed_.text;
  }
  static std::string at(const std::string &rel) { return prefix_->path() + "/" + rel; }

  static TempDir *prefix_;
  static Output installed_;
};
TempDir *Install::prefix_ = nullptr;
Output Install::installed_;

TEST_F(Install, ProgramsPagesSchemaAndDocuments) {
  for (const char *p : kPrograms) {
    EXPECT_TRUE(executable(at(std::string("bin/") + p))) << p << "\n" << installed_.text;
    EXPECT_TRUE(std::filesystem::is_regular_file(at(std::string("share/man/man1/") + p + ".1"))) << p;
  }
  EXPECT_EQ(kxtest::read_text_file(at("share/kxreporter/reporting.sql")),
            kxtest::read_text_file(std::string(KX_SOURCE_DIR) + "/sql/reporting.sql"));
  for (const char *d : {"README.md", "definitions.md", "operations.md"})
    EXPECT_TRUE(std::filesystem::is_regular_file(at(std::string("share/doc/kxreporter/") + d))) << d;
  // Nothing of the test suite goes with it.
  EXPECT_FALSE(std::filesystem::exists(at("bin/write_example_logs")));
  EXPECT_FALSE(std::filesystem::exists(at("lib")));
}

TEST_F(Install, InstalledProgramsRunAndTheirPagesNameEveryOption) {
  for (const char *p : kPrograms) {
    Output usage = run("'" + at(std::string("bin/") + p) + "' -h");
    EXPECT_EQ(usage.status, 0) << p << "\n" << usage.text;
    const std::string page = kxtest::read_text_file(at(std::string("share/man/man1/") + p + ".1"));
    EXPECT_NE(page.find(std::string(".TH ") + (p[0] == 'k' ? "KXREPORTER" : p[0] == 'r' ? "REPORTPEEK" : "LOGPEEK")),
              std::string::npos)
        << p;
    // Every "-X" of the usage text is described as "\-X" in the page.
    std::set<std::string> options;
    const std::regex opt("(^|[\\t ])-([A-Za-z])\\b");
    for (auto it = std::sregex_iterator(usage.text.begin(), usage.text.end(), opt); it != std::sregex_iterator(); ++it)
      options.insert((*it)[2]);
    EXPECT_GE(options.size(), 2u) << p << "\n" << usage.text;
    for (const std::string &o : options)
      EXPECT_NE(page.find("\\-" + o), std::string::npos) << p << " page lacks -" << o;
  }
}

}  // namespace
