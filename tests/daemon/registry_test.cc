// The registry of running reports, its progress figures, and the SNMP
// objects read back with snmpwalk/snmpget from the in-process agent.
#include "src/daemon/registry.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/runtime/config.h"
#include "lib/runtime/kxsnmp.h"
#include "src/report/report.h"
#include "src/report/tfile.h"
#include "tests/snmp/snmptest.h"

namespace {

struct Job {
  explicit Job(int type, int id, const char *root = nullptr) {
    r.report_type = type;
    r.report_id = id;
    if (root) r.root_path = strdup(root);
  }
  ~Job() {
    processed_reports_del(&r);
    free(r.root_path);
  }
  REPORT r;
};

TEST(Registry, AddDeleteLookupCancel) {
  Job a(1, 5, "/store/1/15/"), b(2, 3), c(2, 9, "/store/2/29/");
  for (REPORT *r : {&a.r, &b.r, &c.r}) ASSERT_EQ(processed_reports_add(r), 0);
  EXPECT_EQ(processed_reports_get_report(3, 2), &b.r);
  EXPECT_EQ(processed_reports_get_report(3, 1), nullptr);
  EXPECT_EQ(processed_reports_get_next_report(3, 2), &c.r);
  EXPECT_EQ(processed_reports_get_next_report(0, 1), &a.r);
  EXPECT_EQ(processed_reports_get_next_report(9, 2), nullptr);

  // A report without a root path yet is skipped by the directory look-ups.
  EXPECT_EQ(processed_reports_dir_lookup("/store/1/15/"), -1);
  EXPECT_EQ(processed_reports_dir_lookup("/store/1/"), 0);
  EXPECT_EQ(processed_reports_dir_lookup_len("/store/2/", 9), -1);
  EXPECT_EQ(processed_reports_dir_lookup_len("/store/3/", 9), 0);
  processed_reports_set_root_path(&b.r, strdup("/store/2/23/"));
  EXPECT_EQ(processed_reports_dir_lookup("/store/2/23/"), -1);

  EXPECT_EQ(processed_reports_cancel(9, 2), -1);
  EXPECT_EQ(c.r.cancel.load(), 1);
  // Continuous reports are never registered.
  EXPECT_EQ(processed_reports_cancel(9, 3), 0);

  // Unlinking the middle, then the tail, keeps the list whole.
  processed_reports_del(&b.r);
  EXPECT_EQ(processed_reports_get_report(3, 2), nullptr);
  processed_reports_del(&c.r);
  EXPECT_EQ(processed_reports_tail, &a.r);
  Job d(1, 7);
  processed_reports_add(&d.r);
  EXPECT_EQ(a.r.next_report, &d.r);
  processed_reports_del(&b.r);  // absent: ignored
  EXPECT_EQ(processed_reports_head, &a.r);
}

TEST(Registry, PercentAndElapsed) {
  struct {
    long long done, todo;
    int want;
  } cases[] = {{0, 0, 0}, {5, 0, 0}, {1, 3, 33}, {2, 3, 67}, {3, 3, 100}};
  for (const auto &c : cases) EXPECT_EQ(report_percent_done(c.done, c.todo), c.want) << c.done << "/" << c.todo;
  char text[32];
  report_elapsed_text(1000, 1000 + 3725, text, sizeof text);
  EXPECT_STREQ(text, "01:02:05");
  report_elapsed_text(1000, 999, text, sizeof text);
  EXPECT_STREQ(text, "00:00:00");
}

// Workers count up and down from several threads while another thread
// reads: every count lands (and, under ThreadSanitizer, no access races).
TEST(Registry, CountersAreShared) {
  constexpr int kThreads = 4, kRounds = 20000;
  const int errors = stats_num_rep_errors.load();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    long long seen = 0;
    while (!done.load()) seen += demand_count.load() + stats_num_rep_errors.load() + stats_num_waiting.load();
    EXPECT_GE(seen, 0);
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; t++)
    workers.emplace_back([t] {
      for (int i = 0; i < kRounds; i++) {
        demand_count_add(1);
        stats_count(&stats_num_rep_errors);
        stats_num_waiting = t * kRounds + i;  // as the main loop sets it
      }
    });
  for (std::thread &w : workers) w.join();
  EXPECT_EQ(demand_count.load(), kThreads * kRounds);
  EXPECT_EQ(stats_num_rep_errors.load(), errors + kThreads * kRounds);
  for (int i = 0; i < kThreads * kRounds; i++) demand_count_add(-1);
  done = true;
  reader.join();
  EXPECT_EQ(demand_count.load(), 0);
  stats_num_waiting = 0;
}

// A running report's root path is set by its worker while the main thread's
// store clean-up looks registered reports up: the path is published under
// the registry lock (ThreadSanitizer sees a plain store race).
TEST(Registry, RootPathsArePublishedUnderTheLock) {
  Job job(1, 11);
  processed_reports_add(&job.r);
  const std::string a = "/store/0/11/", b = "/store/0/12/";
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 2000; i++) tfile_set_root_path(&job.r, strdup((i % 2 ? b : a).c_str()));
    done = true;
  });
  int found = 0;
  while (!done.load()) {
    found += processed_reports_dir_lookup(a.c_str()) ? 1 : 0;
    for (const std::string &p : processed_reports_root_paths()) EXPECT_TRUE(p == a || p == b) << p;
  }
  worker.join();
  EXPECT_GE(found, 0);
  EXPECT_EQ(processed_reports_dir_lookup(b.c_str()), -1);
  EXPECT_EQ(processed_reports_root_paths(), std::vector<std::string>{b});
}

const std::string kBase = ".1.3.6.1.4.1." + std::to_string(kReporterEnterpriseNumber) + ".1.6";

// One agent per process: the library starts once.
TEST(RegistrySnmp, WalkOrderAndFormats) {
  kxtest::SnmpSandbox box("kxtest-registry");
  ASSERT_GT(box.port(), 0);
  configuration *config = config_configuration_create();
  ASSERT_EQ(config_configuration_add_line(config, "program_name kxtest-registry"), 0);
  ASSERT_EQ(config_configuration_add_line(config, "snmp_agent kxtest-registry"), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(snmp_lib_config_initialize(1, config, nullptr, nullptr), 0);
  std::string started = testing::internal::GetCapturedStderr();
  config_configuration_free(config);
  ASSERT_TRUE(snmp_lib_running()) << started;
  init_snmp_support();

  // Before any report has run.
  EXPECT_EQ(box.get(kBase + ".12"), "\"-\"");
  EXPECT_EQ(box.get(kBase + ".14"), "0");
  EXPECT_NE(box.get(kBase + ".10").find("Tallowmere Reporter 6.3.3 64-bit Build: "), std::string::npos);
  stats_count(&stats_num_mail_sent);
  EXPECT_EQ(box.get(kBase + ".4"), "1");
  // The agent thread answers while workers count and the main loop sets the
  // waiting figures: the answers are the live values.
  {
    const int errors = stats_num_rep_errors.load();
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++)
      workers.emplace_back([] {
        for (int i = 0; i < 500; i++) stats_count(&stats_num_rep_errors);
      });
    for (int i = 0; i < 3; i++) {
      stats_num_sched_waiting = 40 + i;
      EXPECT_EQ(box.get(kBase + ".7"), std::to_string(40 + i));
      EXPECT_NE(box.get(kBase + ".5").find_first_of("0123456789"), std::string::npos);
    }
    for (std::thread &w : workers) w.join();
    EXPECT_EQ(box.get(kBase + ".5"), std::to_string(errors + 2000));
    stats_num_sched_waiting = 0;
  }

  Job a(1, 5), b(2, 3), c(2, 9);
  a.r.recs_todo = 3;
  a.r.recs_done = 1;
  b.r.sort = 1;
  b.r.sort_todo = 3;
  b.r.sort_done = 2;
  b.r.recs_todo = 10;  // not shown while sorting
  c.r.size_report = 5000000000LL;
  c.r.process_start = time(nullptr) - 3725;
  for (REPORT *r : {&c.r, &a.r, &b.r}) processed_reports_add(r);

  std::string walk = box.walk(kBase + ".20");
  // Column-major: each column lists (1,5), (2,3), (2,9).
  std::string want;
  const std::string t = kBase + ".20.1.";
  for (int col = 1; col <= 7; col++)
    for (const char *ix : {".1.5", ".2.3", ".2.9"}) want += t + std::to_string(col) + ix + "\n";
  std::string names;
  size_t pos = 0;
  while (pos < walk.size()) {
    size_t end = walk.find('\n', pos);
    std::string line = walk.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    names += line.substr(0, line.find(' ')) + "\n";
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  EXPECT_EQ(names, want) << walk;
  EXPECT_NE(walk.find(t + "3.1.5 33"), std::string::npos) << walk;
  EXPECT_NE(walk.find(t + "3.2.3 67"), std::string::npos) << walk;
  EXPECT_NE(walk.find(t + "4.2.9 \"01:02:0"), std::string::npos) << walk;
  EXPECT_NE(walk.find(t + "5.2.9 5000000000"), std::string::npos) << walk;
  EXPECT_NE(walk.find(t + "7.2.3 1"), std::string::npos) << walk;

  // A GET of a report that is not registered answers its index and zeros.
  EXPECT_EQ(box.get(t + "2.1.77"), "77");
  EXPECT_EQ(box.get(t + "3.1.77"), "0");
  EXPECT_EQ(box.get(t + "4.1.77"), "\"00:00:00\"");

  // A report that unregisters disappears from the next walk.
  processed_reports_del(&b.r);
  walk = box.walk(kBase + ".20");
  EXPECT_EQ(walk.find(".2.3 "), std::string::npos) << walk;
  EXPECT_NE(walk.find(t + "1.1.5 1"), std::string::npos) << walk;
  EXPECT_NE(walk.find(t + "2.2.9 9"), std::string::npos) << walk;

  terminate_snmp_support();
  testing::internal::CaptureStderr();
  snmp_lib_config_terminate(1, nullptr);
  testing::internal::GetCapturedStderr();
}

}  // namespace
