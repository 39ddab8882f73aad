// The shared domain list, search-term list and category orders.
#include "src/report/reportlists.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/lists/urllist_lookup.h"
#include "src/report/fields.h"
#include "tests/engine/derive_fixture.h"

namespace {

namespace fs = std::filesystem;
using enginetest::InstallRoot;
using enginetest::LogCapture;
using enginetest::read_file;
using enginetest::write_file;

std::string domain_of(REPORT *rep, const char *host) {
  char *d = extract_domain(host, rep->def->domain);
  std::string s = d ? d : "<null>";
  free(d);
  return s;
}

class ReportListsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (REPORT *r : reps_) free_report(r);
    report_definition_terminate();
  }
  // A run whose definition derives domains from the shared list only, in
  // the given language (null: the default).
  REPORT *report(const char *lang = nullptr) {
    REPORT *r = new_report_initialize(REPORT_DEMAND, static_cast<int>(reps_.size()) + 1, "n", "o", 0, 0, 0, nullptr);
    r->def = new REPORT_DEFINITION;
    if (lang) r->def->lang = strdup(lang);
    r->def->domain = new DOMAIN_DEFINITION;
    r->def->domain->type = DOMAIN_TYPE_LISTS;
    r->def->domain->global_list = report_definition_get_domain_global_list(r);
    reps_.push_back(r);
    return r;
  }
  void drop(REPORT *r) {
    std::erase(reps_, r);
    free_report(r);
  }
  std::string domains_file() const { return root_.lists() + "/reportdomains.dat"; }
  std::string terms_file() const { return root_.lists() + "/reportsearchterms.dat"; }

  InstallRoot root_;
  std::vector<REPORT *> reps_;
};

TEST_F(ReportListsTest, ListsLoadFromTheInstallRoot) {
  write_file(domains_file(), "co.uk\ncom.au\n\n");
  write_file(terms_file(), "# search engines\nwww.example.com/search U R q=([^&]*) $1\n");
  LogCapture log;
  EXPECT_EQ(report_definition_initialize(), -1);
  EXPECT_EQ(log.count("1 Domain List loaded: 2 entries"), 1) << log.joined();
  EXPECT_EQ(log.count("1 Search Terms List loaded: 1 entries"), 1) << log.joined();
  REPORT *r = report();
  ASSERT_NE(r->def->domain->global_list, nullptr);
  EXPECT_EQ(domain_of(r, "a.b.shop.co.uk"), "shop.co.uk");
  EXPECT_NE(report_definition_get_search_terms_list(r), nullptr);
  // The same reference on the second call.
  EXPECT_EQ(report_definition_get_domain_global_list(r), r->def->domain->global_list);
  // The loaded search-term list gives the terms of a row.
  r->searchterms = report_definition_get_search_terms_list(r);
  enginetest::WindowRow row;
  row.set("http://www.example.com/search?q=Fresh+Bread&lang=en");
  EXPECT_STREQ(find_search_terms(r, row.rec(), row.map()), "fresh bread");
  EXPECT_STREQ(find_domain(r, row.rec(), row.map()), "example.com");
}

TEST_F(ReportListsTest, MissingFilesGiveNoLists) {
  LogCapture log;
  report_definition_initialize();
  EXPECT_EQ(log.count("1 No Domain List loaded"), 1);
  EXPECT_EQ(log.count("1 No Search Terms List loaded"), 1);
  REPORT *r = report();
  EXPECT_EQ(r->def->domain->global_list, nullptr);
  EXPECT_EQ(report_definition_get_search_terms_list(r), nullptr);
  // Without a list the last two labels are the domain.
  EXPECT_EQ(domain_of(r, "a.b.shop.co.uk"), "co.uk");
}

TEST_F(ReportListsTest, ARefusedDomainEntryIsLoggedAndLoadingGoesOn) {
  write_file(domains_file(), "http:///x\nco.uk\n");
  LogCapture log;
  report_definition_initialize();
  EXPECT_EQ(log.count("4 Can't add entry 'http:///x' to domain list"), 1) << log.joined();
  EXPECT_EQ(log.count("Domain List loaded: 1 entries"), 1) << log.joined();
}

TEST_F(ReportListsTest, AReloadWhileAReportHoldsTheOldList) {
  write_file(domains_file(), "co.uk\n");
  report_definition_initialize();
  REPORT *old_holder = report();
  std::weak_ptr<loaded_list> old_list = old_holder->domains_list;
  write_file(domains_file(), "b.shop.co.uk\n");
  report_definition_reload_lists();
  // The holder's list is still the old one, and still usable.
  EXPECT_FALSE(old_list.expired());
  EXPECT_EQ(domain_of(old_holder, "x.a.b.shop.co.uk"), "shop.co.uk");
  REPORT *fresh = report();
  EXPECT_EQ(domain_of(fresh, "x.a.b.shop.co.uk"), "a.b.shop.co.uk");
  // The stop path leaves what running reports hold alone.
  report_definition_terminate();
  EXPECT_EQ(domain_of(old_holder, "x.a.b.shop.co.uk"), "shop.co.uk");
  EXPECT_EQ(domain_of(fresh, "x.a.b.shop.co.uk"), "a.b.shop.co.uk");
  // The last holder frees it.
  drop(old_holder);
  EXPECT_TRUE(old_list.expired());
}

TEST_F(ReportListsTest, ADomainFileThatAppearsIsTakenAtTheReload) {
  report_definition_initialize();
  REPORT *before = report();
  EXPECT_EQ(before->def->domain->global_list, nullptr);
  write_file(domains_file(), "co.uk\n");
  report_definition_reload_lists();
  EXPECT_NE(report()->def->domain->global_list, nullptr);
  // A report that found none takes a reference when it asks again.
  EXPECT_NE(report_definition_get_domain_global_list(before), nullptr);
}

TEST_F(ReportListsTest, AFailedReloadKeepsTheCurrentList) {
  write_file(domains_file(), "co.uk\n");
  write_file(terms_file(), "www.example.com/search U R q=([^&]*) $1\n");
  report_definition_initialize();
  fs::remove(domains_file());
  fs::remove(terms_file());
  LogCapture log;
  report_definition_reload_lists();
  EXPECT_EQ(log.count("4 Can not reload domains list"), 1) << log.joined();
  EXPECT_EQ(log.count("4 Can not reload search terms list"), 1) << log.joined();
  REPORT *r = report();
  EXPECT_NE(r->def->domain->global_list, nullptr);
  EXPECT_NE(report_definition_get_search_terms_list(r), nullptr);
}

TEST_F(ReportListsTest, ReportsTakeReferencesWhileTheMainThreadReloads) {
  write_file(domains_file(), "co.uk\n");
  report_definition_initialize();
  std::vector<std::thread> workers;
  std::atomic<int> found{0};
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&found] {
      for (int i = 0; i < 200; ++i) {
        REPORT *r = new_report_initialize(REPORT_DEMAND, i, "n", "o", 0, 0, 0, nullptr);
        // Every reload replaces the list with one of the same entry: a
        // report always holds a list, and it always finds the entry.
        URLLIST *l = report_definition_get_domain_global_list(r);
        char host[] = "www.shop.co.uk";
        URLLIST_EXPLODED_URL *u = l ? urllist_explode_charset(host, nullptr, 0, 0, nullptr) : nullptr;
        if (u) {
          if (urllist_lookup_data(l, u, nullptr) == 0) found++;
          urllist_free_urllist_exploded_url(u);
        }
        free_report(r);
      }
    });
  }
  for (int i = 0; i < 20; ++i) report_definition_reload_lists();
  for (auto &w : workers) w.join();
  EXPECT_EQ(found.load(), 4 * 200);
}

// --- Category groups and orders ---------------------------------------------

class CategoryTest : public ReportListsTest {
 protected:
  std::string script_dir() const { return root_.bin(); }
  void output(const std::string &lang, const std::string &text) {
    write_file(script_dir() + "/categories." + lang, text);
  }
  int calls(const std::string &lang) const {
    std::string log = read_file(script_dir() + "/calls.log");
    int n = 0;
    size_t pos = 0;
    while ((pos = log.find(lang + "\n", pos)) != std::string::npos) {
      if (pos == 0 || log[pos - 1] == '\n') ++n;
      pos += lang.size() + 1;
    }
    return n;
  }
};

TEST_F(CategoryTest, GroupsAndTheDefaultOrderFromTheScript) {
  LogCapture log;
  report_definition_initialize();
  EXPECT_EQ(log.count("1 Category Group mapping loaded: 5 entries"), 1) << log.joined();
  REPORT *r = report();
  report_definition_get_category_groups(r);
  ASSERT_NE(r->category_groups, nullptr);
  struct Case {
    uint32_t cat;
    std::vector<uint32_t> groups;  // with the final 0; empty: not in the map
  } cases[] = {{1, {1000, 0}}, {2, {1000, 1001, 0}}, {3, {}}, {4, {1001, 0}}, {6, {1002, 0}}, {10, {}}};
  for (const Case &c : cases) {
    auto it = r->category_groups->find(c.cat);
    if (c.groups.empty()) {
      EXPECT_EQ(it, r->category_groups->end()) << c.cat;
    } else {
      ASSERT_NE(it, r->category_groups->end()) << c.cat;
      EXPECT_EQ(it->second, c.groups) << c.cat;
    }
  }
  report_definition_get_category_ordering(r);
  ASSERT_NE(r->cats, nullptr);
  for (uint32_t cat = 1; cat <= 10; ++cat) EXPECT_EQ(r->cats->at(cat), cat);
}

TEST_F(CategoryTest, SeventeenGroupsKeepSixteen) {
  std::string line = "3";
  for (int g = 1; g <= 17; ++g) (line += ' ') += std::to_string(g);
  output("en_US", line + "\n4 1\n");
  LogCapture log;
  report_definition_initialize();
  EXPECT_EQ(log.count("Too many groups for the category 3"), 1) << log.joined();
  REPORT *r = report();
  report_definition_get_category_groups(r);
  std::vector<uint32_t> want;
  for (uint32_t g = 1; g <= 16; ++g) want.push_back(g);
  want.push_back(0);
  EXPECT_EQ(r->category_groups->at(3), want);
  EXPECT_EQ(r->category_groups->at(4), (std::vector<uint32_t>{1, 0}));
  // Sixteen exactly is no excess.
  line = "3";
  for (int g = 1; g <= 16; ++g) (line += ' ') += std::to_string(g);
  output("en_US", line + "\n");
  report_definition_terminate();
  LogCapture again;
  report_definition_initialize();
  EXPECT_EQ(again.count("Too many groups"), 0) << again.joined();
}

TEST_F(CategoryTest, LongLinesAreReadWhole) {
  // Read in short pieces, the zeros would make a line of their own.
  output("en_US", std::string(70, '0') + "20 7\n21\n");
  output("de_DE", std::string(200, '0') + "21\n20\n");
  report_definition_initialize();
  REPORT *r = report();
  report_definition_get_category_ordering(r);
  report_definition_get_category_groups(r);
  EXPECT_EQ(*r->cats, (category_order_map{{20, 1}, {21, 2}}));
  EXPECT_EQ(r->category_groups->at(20), (std::vector<uint32_t>{7, 0}));
  REPORT *d = report("de_DE");
  report_definition_get_category_ordering(d);
  ASSERT_NE(d->cats, nullptr);
  EXPECT_EQ(*d->cats, (category_order_map{{21, 1}, {20, 2}}));
}

TEST_F(CategoryTest, ANewLanguageRunsTheScriptOnce) {
  write_file(script_dir() + "/calls.log", "");
  report_definition_initialize();
  REPORT *a = report("fr_FR");
  REPORT *b = report("fr_FR");
  report_definition_get_category_ordering(a);
  report_definition_get_category_ordering(b);
  ASSERT_NE(a->cats, nullptr);
  EXPECT_EQ(a->cats, b->cats);
  EXPECT_EQ(calls("fr_FR"), 1);
  EXPECT_EQ(calls("en_US"), 1);
  // The built-in other-language order is the reverse.
  EXPECT_EQ(a->cats->at(10), 1u);
  EXPECT_EQ(a->cats->at(1), 10u);
}

TEST_F(CategoryTest, LanguagesReachTheScriptAsOneArgumentOrNotAtAll) {
  write_file(script_dir() + "/calls.log", "");
  output("sr_RS@latin", "5\n6\n");
  output("en_US.UTF-8", "6\n5\n");
  report_definition_initialize();
  struct Case {
    const char *lang;
    bool ordered;
  } cases[] = {
      {"sr_RS@latin", true},
      {"en_US.UTF-8", true},
      {"x'; touch pwned; '", false},
      {"$(touch pwned)", false},
      {"de DE", false},
      {"../../bin/sh", false},
      {"", false},
  };
  for (const Case &c : cases) {
    LogCapture log;
    REPORT *r = report(c.lang);
    report_definition_get_category_ordering(r);
    EXPECT_EQ(r->cats != nullptr, c.ordered) << c.lang;
    if (!c.ordered) {
      EXPECT_EQ(log.count("Refused the language"), 1) << c.lang << log.joined();
    }
  }
  EXPECT_EQ(calls("sr_RS@latin"), 1);
  EXPECT_EQ(calls("en_US.UTF-8"), 1);
  std::string all = read_file(script_dir() + "/calls.log");
  EXPECT_EQ(all, "en_US\nsr_RS@latin\nen_US.UTF-8\n");
  for (const std::string &dir : std::vector<std::string>{".", script_dir(), root_.path()})
    EXPECT_FALSE(fs::exists(dir + "/pwned")) << dir;
  REPORT *sr = report("sr_RS@latin");
  report_definition_get_category_ordering(sr);
  EXPECT_EQ(*sr->cats, (category_order_map{{5, 1}, {6, 2}}));
}

TEST_F(CategoryTest, NoScriptNoGroupsNoOrders) {
  fs::remove(script_dir() + "/kxreporter_get_categories.php");
  LogCapture log;
  report_definition_initialize();
  EXPECT_EQ(log.count("4 Can not run '" + root_.bin() + "/kxreporter_get_categories.php' for category mapping"), 1)
      << log.joined();
  REPORT *r = report();
  report_definition_get_category_groups(r);
  report_definition_get_category_ordering(r);
  EXPECT_EQ(r->category_groups, nullptr);
  EXPECT_EQ(r->cats, nullptr);
}

TEST_F(CategoryTest, RunningReportsKeepTheirMapsAtTheStop) {
  report_definition_initialize();
  REPORT *r = report("it_IT");
  report_definition_get_category_ordering(r);
  report_definition_get_category_groups(r);
  report_definition_terminate();
  ASSERT_NE(r->cats, nullptr);
  EXPECT_EQ(r->cats->at(1), 10u);
  EXPECT_EQ(r->category_groups->at(2).size(), 3u);
}

TEST(CategoryCmp, NumericOrder) {
  // Every pair of numbers around the edges of the 32-bit range, where a
  // difference taken as a signed int turns its sign.
  const uint32_t nums[] = {0, 1, 2, 7, 106, 0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 4000000000u,
                           0xFFFFFFFEu, 0xFFFFFFFFu};
  for (uint32_t a : nums)
    for (uint32_t b : nums) {
      const int c = report_definition_cat_cmp(a, b);
      EXPECT_EQ((c > 0) - (c < 0), (a > b) - (a < b)) << a << " " << b;
    }
}

}  // namespace
