// The second stage's reading of the report queue: entries of every path
// length, many more than one read takes, entries whose tables are gone, and
// a queue that ends inside an entry.
#include "src/report/subreport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/fixtures/report_driver.h"
#include "tests/fixtures/reqlog_writer.h"

namespace {

constexpr time_t T = 1200000000;
constexpr char kTwoLevels[] = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[group]\ntype=SUMMARY\ngroupby=32\nsummary=9\n";

std::string entry(const std::string &path, int32_t level) {
  std::string e = path;
  e += '\0';
  e.append(reinterpret_cast<const char *>(&level), sizeof level);
  return e;
}

// Runs the second stage's queue over the bytes given as the queue file.
int run_queue(reportdrv::ReportDriver &d, const std::string &bytes) {
  const std::string name = d.store() + "/queue";
  int w = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(w, 0);
  EXPECT_EQ(write(w, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(w);
  d.rep->index_fd_read = open(name.c_str(), O_RDONLY);
  EXPECT_GE(d.rep->index_fd_read, 0);
  return process_report_queue(d.rep);
}

// Paths of every length from 1 to 700 bytes, none of them there: each is
// skipped, wherever it falls against the reads.
std::string missing_entries() {
  std::string q;
  for (int n = 1; n <= 700; ++n) q += entry("/nonexistent/" + std::string(static_cast<size_t>(n), 'p'), 1);
  return q;
}

TEST(ReportQueue, EntriesWhoseTablesAreGoneAreSkippedToTheEnd) {
  reqlog::WorkDir wd;
  reportdrv::ReportDriver d(kTwoLevels, T, T + 10);
  ASSERT_TRUE(d.parsed()) << d.error();
  EXPECT_EQ(run_queue(d, missing_entries()), -1) << d.error();
  EXPECT_EQ(d.error(), "");
  reportdrv::ReportDriver empty(kTwoLevels, T, T + 10);
  EXPECT_EQ(run_queue(empty, ""), -1) << empty.error();
}

TEST(ReportQueue, AQueueThatEndsInsideAnEntryIsAnError) {
  reqlog::WorkDir wd;
  const std::string whole = entry("/nonexistent/last", 1);
  // Cut after the path's first bytes, after its NUL, inside the level.
  for (size_t keep : {size_t{5}, size_t{18}, size_t{20}}) {
    reportdrv::ReportDriver d(kTwoLevels, T, T + 10);
    ASSERT_TRUE(d.parsed()) << d.error();
    EXPECT_EQ(run_queue(d, missing_entries() + whole.substr(0, keep)), 0) << keep;
    EXPECT_EQ(d.error(), "Error 10438: (process) Error reading from report queue file") << keep;
  }
}

}  // namespace
