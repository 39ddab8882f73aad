// Configuration store, typed readers with their unit words, module setting
// names and configuration files with includes.
#include "lib/runtime/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

#include "tests/fixtures/tmpdir.h"

namespace {

struct Store {
  configuration *c = config_configuration_create();
  ~Store() { config_configuration_free(c); }
  Store &add(const char *line) {
    EXPECT_EQ(0, config_configuration_add_line_verbatim(c, line));
    return *this;
  }
};

std::optional<long long> size_of(const char *line) {
  Store s;
  s.add(line);
  long long v = -42;
  if (config_parse_size(s.c, "v", &v) != 0) {
    EXPECT_EQ(-42, v);  // untouched on refusal
    return std::nullopt;
  }
  return v;
}

std::optional<long long> msec_of(const char *line) {
  Store s;
  s.add(line);
  long long v = -42;
  if (config_parse_msec(s.c, "v", &v) != 0) return std::nullopt;
  return v;
}

std::optional<int> sec_of(const char *line) {
  Store s;
  s.add(line);
  int v = -42;
  if (config_parse_sec(s.c, "v", &v) != 0) {
    EXPECT_EQ(-42, v);
    return std::nullopt;
  }
  return v;
}

const std::optional<long long> refused = std::nullopt;

TEST(ConfigTest, SizesWithUnitWords) {
  struct Case {
    const char *line;
    std::optional<long long> value;
  } cases[] = {
      {"v 10 kib", 10240},
      {"v 10kib", 10240},
      {"v 10KiB", 10240},
      {"v 10 kibx", refused},
      {"v 10kibx", refused},
      {"v 7", 7},
      {"v 2 KB", 2000},
      {"v 3 kbit", 375},
      {"v 1 mibit", 131072},
      {"v 2 gig", 2000000000LL},
      {"v 1 tebit", 137438953472LL},
      {"v 1 tebibytes", 1099511627776LL},
      {"v -3k", -3000},
      {"v 10  mb", 10000000},      // the first non-empty later word is the unit
      {"v 10 ", 10},               // trailing blank: an empty word, no unit
      {"v kb", refused},           // a unit word without digits
      {"v -kb", refused},
      {"v -", refused},
      {"v", refused},
      {"v 10 zz", refused},
      {"v 9000000000 tebibytes", refused},  // overflows 64 bits
      {"v 99999999999999999999", refused},  // the number itself overflows
      {"v 9223372036854775807", 9223372036854775807LL},
  };
  for (const auto &c : cases) EXPECT_EQ(c.value, size_of(c.line)) << c.line;
  EXPECT_EQ(refused, size_of("w 10"));  // missing setting
}

TEST(ConfigTest, DurationsWithUnitWords) {
  struct Case {
    const char *line;
    std::optional<long long> msec;
    std::optional<int> sec;
  } cases[] = {
      {"v 5 ms", 5, std::nullopt},  // millisecond words are refused as seconds
      {"v 2 m", 120000, 120},
      {"v 2min", 120000, 120},
      {"v 3", 3, 3},
      {"v 1 Hours", 3600000, 3600},
      {"v 1 d", 86400000, 86400},
      {"v 30000 days", 2592000000000LL, std::nullopt},  // seconds overflow an int
      {"v 9223372036854775807 s", std::nullopt, std::nullopt},
      {"v 4 fortnights", std::nullopt, std::nullopt},
      {"v sec", std::nullopt, std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.msec, msec_of(c.line)) << c.line;
    EXPECT_EQ(c.sec, sec_of(c.line)) << c.line;
  }
}

TEST(ConfigTest, BooleansAndIntegers) {
  struct Case {
    const char *word;
    int value;
  } cases[] = {{"yes", 1}, {"Y", 1}, {"ON", 1}, {"true", 1}, {"no", 0}, {"n", 0},
               {"Off", 0}, {"FALSE", 0}, {"2", 1}, {"0", 0}, {"maybe", 0}};
  for (const auto &c : cases) {
    Store s;
    std::string line = std::string("b ") + c.word;
    s.add(line.c_str());
    int v = -1;
    EXPECT_EQ(0, config_parse_boolean(s.c, "b", &v)) << c.word;
    EXPECT_EQ(c.value, v) << c.word;
  }
  Store s;
  s.add("i 12").add("x 12x").add("big 99999999999").add("e");
  int i = -1;
  long long ll = -1;
  EXPECT_EQ(0, config_parse_int(s.c, "i", &i));
  EXPECT_EQ(12, i);
  EXPECT_EQ(1, config_parse_int(s.c, "x", &i));
  EXPECT_EQ(1, config_parse_int(s.c, "big", &i));
  EXPECT_EQ(1, config_parse_int(s.c, "e", &i));
  EXPECT_EQ(1, config_parse_boolean(s.c, "e", &i));
  EXPECT_EQ(12, i);
  EXPECT_EQ(0, config_parse_longlong(s.c, "big", &ll));
  EXPECT_EQ(99999999999LL, ll);
}

TEST(ConfigTest, LinesWordsAndIndexes) {
  Store s;
  s.add("name first value").add("name second").add("trail a ").add("alone");
  EXPECT_STREQ("first", config_parse_string_index(s.c, "name", 0));
  EXPECT_STREQ("second", config_parse_string_index(s.c, "name", 1));
  EXPECT_EQ(nullptr, config_parse_string_index(s.c, "name", 2));
  EXPECT_EQ(nullptr, config_parse_string_index(s.c, "alone", 0));
  int count = 0;
  char **t = config_parse_tokens(s.c, "trail", &count);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(3, count);
  EXPECT_STREQ("", t[2]);  // a trailing blank gives an empty last word
  EXPECT_EQ(nullptr, t[3]);
  EXPECT_EQ(3, config_parse_token_count(s.c, "name"));
  EXPECT_EQ(0, config_parse_token_count(s.c, "none"));
  char *line = nullptr;
  ASSERT_EQ(0, config_parse_line(s.c, "name", &line));
  EXPECT_STREQ("first value", line);
  free(line);
  EXPECT_EQ(1, config_parse_line(s.c, "alone", &line));
  char *word = nullptr;
  ASSERT_EQ(0, config_parse_string(s.c, "name", &word));
  EXPECT_STREQ("first", word);
  free(word);

  EXPECT_EQ(0, config_configuration_remove_line(s.c, "name first value"));
  EXPECT_STREQ("second", config_parse_string_index(s.c, "name", 0));
  EXPECT_EQ(1, config_configuration_remove_line(s.c, "name first value"));

  EXPECT_EQ(0, config_configuration_add_line(s.c, "fmt %d%%", 50));
  EXPECT_STREQ("50%", config_parse_string_index(s.c, "fmt", 0));
  EXPECT_EQ(0, config_configuration_add_lines(s.c, "l1 a\nl2 b\n"));
  EXPECT_STREQ("b", config_parse_string_index(s.c, "l2", 0));
}

TEST(ConfigTest, PersistentLinesComeFirst) {
  ASSERT_EQ(0, config_persistant_add_line(strdup("program_name kxviewer")));
  EXPECT_EQ(1, config_persistant_add_line(nullptr));
  {
    Store s;
    s.add("program_name other");
    EXPECT_STREQ("kxviewer", config_parse_string_index(s.c, "program_name", 0));
    EXPECT_STREQ("other", config_parse_string_index(s.c, "program_name", 1));
  }
  config_persistant_terminate();
  Store s;
  EXPECT_EQ(nullptr, config_parse_string_index(s.c, "program_name", 0));
}

TEST(ConfigTest, AddressesPrintBackExactly) {
  Store s;
  s.add("a 10.1.2.3").add("z 010.1.2.3").add("six ::1").add("long ::0001").add("bad x");
  kx_ipaddr ip;
  ASSERT_EQ(0, config_parse_ipaddr(s.c, "a", &ip));
  EXPECT_EQ(AF_INET, ip.family);
  ASSERT_EQ(0, config_parse_ipaddr(s.c, "six", &ip));
  EXPECT_EQ(AF_INET6, ip.family);
  for (const char *name : {"z", "long", "bad", "missing"}) EXPECT_EQ(1, config_parse_ipaddr(s.c, name, &ip)) << name;
  char *dump = config_dump_ipaddr("listen", &ip);
  EXPECT_STREQ("listen ::1\n", dump);
  free(dump);
}

TEST(ConfigTest, HostNamesAndModuleSettings) {
  setenv("HOSTNAME", "hostA", 1);
  Store s;
  s.add("h1 $HOSTNAME").add("h2 web.example").add("h3 $IPADDR_lo").add("h4 $IPADDR_nosuchif9");
  s.add("kxlog->level 3").add("snmp_thread_stacksize 65536").add("kxlog_failure shutdown");
  char *out = nullptr;
  ASSERT_EQ(0, config_parse_string_hostname(s.c, "h1", &out));
  EXPECT_STREQ("hostA", out);
  free(out);
  ASSERT_EQ(0, config_parse_string_hostname(s.c, "missing", &out));
  EXPECT_STREQ("hostA", out);
  free(out);
  ASSERT_EQ(0, config_parse_string_hostname(s.c, "h2", &out));
  EXPECT_STREQ("web.example", out);
  free(out);
  ASSERT_EQ(0, config_parse_string_hostname(s.c, "h3", &out));
  EXPECT_STREQ("127.0.0.1", out);
  free(out);
  out = nullptr;
  EXPECT_EQ(1, config_parse_string_hostname(s.c, "h4", &out));
  EXPECT_EQ(nullptr, out);
  unsetenv("HOSTNAME");
  EXPECT_EQ(1, config_parse_denypagehost(s.c, &out));

  int level = 0;
  EXPECT_EQ(0, config_module_parse_int(s.c, "kxlog", "level", &level));
  EXPECT_EQ(3, level);
  EXPECT_EQ(1, config_module_parse_int(s.c, nullptr, "level", &level));
  EXPECT_STREQ("3", config_module_parse_string_index(s.c, "kxlog", "level", 0));

  size_t stack = 0;
  EXPECT_EQ(0, config_parse_thread_stacksize(s.c, "snmp", &stack));
  EXPECT_EQ(65536u, stack);
  EXPECT_EQ(1, config_parse_thread_stacksize(s.c, "other", &stack));
  EXPECT_EQ(static_cast<size_t>(CONFIG_DEFAULT_PTHREAD_STACKSIZE), stack);
  char *dump = config_dump_thread_stacksize("snmp", 65536);
  EXPECT_STREQ("snmp_thread_stacksize 65536\n", dump);
  free(dump);

  int fail = 0;
  EXPECT_EQ(0, config_parse_failure(s.c, "kxlog", &fail));
  EXPECT_EQ(CONFIG_FAIL_SHUTDOWN, fail);
  EXPECT_EQ(0, config_parse_failure(s.c, "other", &fail));
  EXPECT_EQ(CONFIG_FAIL_ALLOW, fail);
  EXPECT_EQ(1, config_parse_failure(s.c, nullptr, &fail));
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.empty()); }
  void write(const std::string &name, const std::string &text) { std::ofstream(dir + "/" + name) << text; }
  TempDir tmp{"kxconfig"};
  std::string dir = tmp.path();
};

TEST_F(ConfigFileTest, ReadsLinesCommentsAndIncludes) {
  write("main.conf",
        "# comment\n\n   indented %s\r\nbefore 1\ninclude sub.conf\ninclude missing.conf\nafter 2\n");
  write("sub.conf", "inner yes\n");
  Store s;
  ASSERT_EQ(0, config_configuration_readfile(s.c, (dir + "/main.conf").c_str()));
  EXPECT_STREQ("%s", config_parse_string_index(s.c, "indented", 0));  // verbatim, not a format
  EXPECT_STREQ("yes", config_parse_string_index(s.c, "inner", 0));
  EXPECT_STREQ("2", config_parse_string_index(s.c, "after", 0));
  EXPECT_EQ(1, config_configuration_readfile(s.c, (dir + "/none.conf").c_str()));
  EXPECT_EQ(1, config_configuration_readfile(s.c, dir.c_str()));  // a folder is no configuration
}

TEST_F(ConfigFileTest, LastLineWithoutNewlineIsKept) {
  write("tail.conf", "first 1\nlast 2");
  Store s;
  ASSERT_EQ(0, config_configuration_readfile(s.c, (dir + "/tail.conf").c_str()));
  EXPECT_STREQ("1", config_parse_string_index(s.c, "first", 0));
  EXPECT_STREQ("2", config_parse_string_index(s.c, "last", 0));
}

TEST_F(ConfigFileTest, IncludeCycleStopsAtDepthLimit) {
  write("loop.conf", "seen 1\ninclude loop.conf\n");
  Store s;
  ASSERT_EQ(0, config_configuration_readfile(s.c, (dir + "/loop.conf").c_str()));
  EXPECT_EQ(nullptr, config_parse_string_index(s.c, "seen", CONFIG_MAX_INCLUDE_DEPTH + 1));
  EXPECT_STREQ("1", config_parse_string_index(s.c, "seen", CONFIG_MAX_INCLUDE_DEPTH));
}

}  // namespace

namespace {

TEST(ConfigCpuInfo, ParsesAndDumpsAffinityPriorityAndScheduler) {
  configuration *c = config_configuration_create();
  ASSERT_NE(c, nullptr);
  config_configuration_add_lines(c,
                                 "w_thread_affinity 0 3  x 1024 7\nw_thread_priority 5\nw_thread_scheduler sched_rr\n"
                                 "a_thread_affinity 2 all 5\nb_thread_scheduler SCHED_IDLE\n");
  kxcpuinfo info;
  kxcpuinfo_init(&info);
  ASSERT_EQ(config_parse_cpuinfo(c, "w_", &info), 0);
  EXPECT_EQ(info.affinity_all, 0);
  EXPECT_EQ(CPU_COUNT(&info.affinity_set), 3);  // 1024 counts but names no CPU
  EXPECT_TRUE(CPU_ISSET(3, &info.affinity_set));
  EXPECT_EQ(info.priority_set, 1);
  EXPECT_EQ(info.priority, 5);
  EXPECT_EQ(info.scheduler_set, 1);
  EXPECT_EQ(info.scheduler, KXCPUINFO_SCHED_RR);
  char *dump = config_dump_cpuinfo("w_", &info);
  EXPECT_STREQ(dump, "w_thread_affinity 0 3 7\nw_thread_priority 5\nw_thread_scheduler SCHED_RR\n");
  free(dump);

  kxcpuinfo all;
  kxcpuinfo_init(&all);
  ASSERT_EQ(config_parse_cpuinfo(c, "a_", &all), 0);
  EXPECT_EQ(all.affinity_all, 1);
  EXPECT_EQ(CPU_COUNT(&all.affinity_set), KXCPUINFO_MAX_CPUS);
  dump = config_dump_cpuinfo("a_", &all);
  EXPECT_STREQ(dump, "a_thread_affinity ALL\n");
  free(dump);

  // An unknown scheduler word and missing settings read nothing.
  kxcpuinfo none;
  kxcpuinfo_init(&none);
  EXPECT_EQ(config_parse_cpuinfo(c, "b_", &none), 1);
  EXPECT_EQ(none.scheduler_set, 0);
  EXPECT_EQ(config_parse_cpuinfo(c, "zz_", &none), 1);
  EXPECT_EQ(config_parse_cpuinfo(nullptr, "w_", &none), 1);
  EXPECT_EQ(config_dump_cpuinfo(nullptr, &none), nullptr);
  config_configuration_free(c);
}

}  // namespace
