// Module registry: initialise, dump and terminate order, and the load cycle.
#include "lib/runtime/kxpolicy.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/runtime/config.h"
#include "tests/fixtures/tmpdir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> calls;

int init_a(int, configuration *, void *, void *) { return calls.push_back("init a"), 0; }
int init_b(int, configuration *c, void *, void *) {
  calls.push_back("init b");
  return config_parse_string_index(c, "b_ok", 0) != nullptr ? 0 : 1;
}
int init_c(int, configuration *, void *, void *) { return calls.push_back("init c"), 0; }
char *dump_a(configuration *, void *) { return strdup("a_setting 1\n"); }
char *dump_none(configuration *, void *) { return nullptr; }
void term_a(int, void *) { calls.push_back("term a"); }
void term_b(int, void *) { calls.push_back("term b"); }
void term_d(int, void *) { calls.push_back("term d"); }

// True when text holds head, then digits "." digits, then tail.
bool has_stamp(const std::string &text, const std::string &head, const std::string &tail) {
  auto digits = [&text](size_t p) {
    while (p < text.size() && isdigit(static_cast<unsigned char>(text[p]))) ++p;
    return p;
  };
  for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
    size_t p = at + head.size();
    size_t q = digits(p);
    if (q == p || q >= text.size() || text[q] != '.') continue;
    size_t r = digits(q + 1);
    if (r > q + 1 && text.compare(r, tail.size(), tail) == 0) return true;
  }
  return false;
}

class PolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    ASSERT_FALSE(tmp.path().empty());
    root = tmp.path();
    fs::create_directories(root + "/work");
    fs::create_directories(root + "/var/run");
    old_cwd = fs::current_path();
    fs::current_path(root + "/work");
    ASSERT_EQ(0, kxpolicy_module_init());
    ASSERT_EQ(1, kxpolicy_module_init());
    ASSERT_EQ(0, kxpolicy_module_append("a", init_a, dump_a, term_a));
    ASSERT_EQ(0, kxpolicy_module_append("b", init_b, dump_none, term_b));
    ASSERT_EQ(0, kxpolicy_module_append("c", init_c, nullptr, nullptr));
    ASSERT_EQ(0, kxpolicy_module_append("d", nullptr, nullptr, term_d));
  }
  void TearDown() override {
    kxpolicy_module_terminate();
    fs::current_path(old_cwd);
  }
  TempDir tmp{"kxpolicy"};
  std::string root;
  fs::path old_cwd;
};

TEST_F(PolicyTest, InitialiseInOrderTerminateInReverse) {
  configuration *c = config_configuration_create();
  EXPECT_EQ(1, kxpolicy_module_config_initialize(1, c, nullptr, nullptr));  // b fails, c still runs
  kxpolicy_module_config_terminate(1, nullptr);
  EXPECT_EQ((std::vector<std::string>{"init a", "init b", "init c", "term d", "term b", "term a"}), calls);
  config_configuration_free(c);
}

TEST_F(PolicyTest, DumpWritesEveryModuleText) {
  configuration *c = config_configuration_create();
  config_configuration_add_line(c, "program_name prog");
  EXPECT_EQ(1, kxpolicy_module_config_dump("/etc/some/kx.conf", c, nullptr, 1));  // b gave no text
  std::ifstream in(root + "/var/run/prog.kx.conf.failed");
  std::ostringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  EXPECT_EQ(0u, text.find("# Module Configuration Dump Start: "));
  EXPECT_NE(std::string::npos, text.find("\n# running configuration file /etc/some/kx.conf\n# Module Dump a: "));
  EXPECT_NE(std::string::npos, text.find("\na_setting 1\n# Module Dump b: "));
  EXPECT_NE(std::string::npos, text.find("\n# no configuration\n# Module Configuration Dump Complete: "));
  EXPECT_EQ(std::string::npos, text.find("Module Dump c"));
  // Every stamp is seconds.microseconds.
  EXPECT_TRUE(has_stamp(text, "# Module Configuration Dump Start: ", "\n")) << text;
  EXPECT_TRUE(has_stamp(text, "\n# Module Dump a: ", "\na_setting 1\n")) << text;
  EXPECT_TRUE(has_stamp(text, "\n# Module Configuration Dump Complete: ", "\n")) << text;

  config_configuration_add_line(c, "module_config_dump false");
  fs::remove(root + "/var/run/prog.kx.conf");
  EXPECT_EQ(0, kxpolicy_module_config_dump("kx.conf", c, nullptr, 0));
  EXPECT_FALSE(fs::exists(root + "/var/run/prog.kx.conf"));
  config_configuration_free(c);
}

TEST_F(PolicyTest, LoadCycleStampsAndFails) {
  std::ofstream(root + "/good.conf") << "program_name prog\nb_ok 1\n";
  std::ofstream(root + "/bad.conf") << "program_name prog\n";
  TallowmerePolicy *p1 = kxpolicy_load((root + "/good.conf").c_str(), nullptr, 1);
  ASSERT_NE(nullptr, p1);
  EXPECT_EQ((std::vector<std::string>{"term d", "term b", "term a", "init a", "init b", "init c"}), calls);
  EXPECT_TRUE(fs::exists(root + "/var/run/prog.good.conf"));
  EXPECT_GE(p1->loadid.loadtime.tv_usec, 0);
  EXPECT_LT(p1->loadid.loadtime.tv_usec, 1000000);

  calls.clear();
  EXPECT_EQ(nullptr, kxpolicy_load((root + "/bad.conf").c_str(), nullptr, 1));
  EXPECT_TRUE(fs::exists(root + "/var/run/prog.bad.conf.failed"));
  // Terminated, initialised, then terminated again when the record is freed.
  EXPECT_EQ(9u, calls.size());
  EXPECT_EQ(nullptr, kxpolicy_load((root + "/none.conf").c_str(), nullptr, 1));

  TallowmerePolicy *p2 = kxpolicy_init();
  kxpolicy_loadid copy;
  kxpolicy_loadid_copy(&copy, &p1->loadid);
  EXPECT_EQ(0, kxpolicy_loadid_cmp(&copy, &p1->loadid));
  EXPECT_EQ(1, kxpolicy_loadid_cmp(&p2->loadid, &p1->loadid));
  EXPECT_GT(p2->loadid.loadid, p1->loadid.loadid);
  kxpolicy_loadid_zero(&copy);
  EXPECT_EQ(0.0, copy.loadid);
  kxpolicy_free(p1, 1);
  kxpolicy_free(p2, 1);
}

}  // namespace
