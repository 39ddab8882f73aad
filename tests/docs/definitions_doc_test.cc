// docs/definitions.md against the code, so that the page cannot drift: its
// field table (names, filter keys, type bytes, and which fields a summary
// level, a detail level and a group-by take, asked of the parser itself),
// its threshold names, and its list of the "(def)" error texts (every text
// the sources can record, word for word).
//
// KX_PRINT_FIELD_TABLE=1 prints the table as the code gives it (with the
// page's meanings), to paste into the page after a change of the model.
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/record/record.h"
#include "src/report/definition.h"
#include "src/report/filter.h"
#include "src/report/report.h"
#include "tests/db/dbtest.h"

namespace {

std::string page() { return kxtest::read_text_file(std::string(KX_SOURCE_DIR) + "/docs/definitions.md"); }

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The cells of the table rows between "<!-- NAME: begin -->" and
// "<!-- NAME: end -->" (header and rule rows left out), backticks removed.
std::vector<std::vector<std::string>> table(const std::string &text, const std::string &name) {
  std::vector<std::vector<std::string>> rows;
  size_t from = text.find("<!-- " + name + ": begin -->");
  size_t to = text.find("<!-- " + name + ": end -->");
  if (from == std::string::npos || to == std::string::npos || to < from) return rows;
  std::istringstream in(text.substr(from, to - from));
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.rfind("|", 0) != 0) continue;
    if (header) {  // the first table line names the columns
      header = false;
      continue;
    }
    if (line.find("---") != std::string::npos) continue;
    std::vector<std::string> cells;
    std::string cell;
    for (size_t i = 1; i < line.size(); ++i) {
      if (line[i] == '|' && line[i - 1] != '\\') {
        cells.push_back(trim(cell));
        cell.clear();
      } else if (line[i] != '`' && !(line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|')) {
        cell += line[i];
      }
    }
    rows.push_back(cells);
  }
  return rows;
}

// A parsed definition of a report kind.
class Parsed {
 public:
  Parsed(int kind, const std::string &text) {
    rep_ = new_report_initialize(kind, 1, "name", "owner", 0, 0, 0, nullptr);
    ok_ = report_definition_interpret_definition(rep_, text.c_str()) == -1 && rep_->error == nullptr;
  }
  ~Parsed() { free_report(rep_); }
  Parsed(const Parsed &) = delete;
  Parsed &operator=(const Parsed &) = delete;
  bool ok() const { return ok_; }
  REPORT *rep() const { return rep_; }

 private:
  REPORT *rep_;
  bool ok_;
};

const char kPeriod[] = "[static_filter]\ndate=@ 1767571200 1767657599\n";

bool summary_takes(int id) {
  return Parsed(REPORT_DEMAND, "[group]\ntype=SUMMARY\ngroupby=3\nsummary=" + std::to_string(id) + "\n" + kPeriod)
      .ok();
}
bool detail_takes(int id) {
  return Parsed(REPORT_DEMAND, "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[group]\ntype=DETAIL\ndetails=" +
                                   std::to_string(id) + "\n" + kPeriod)
      .ok();
}
// A detail column the parser takes is typed by the type hints, or else only
// by the input rows: a log that carries the field ("logs"; otherwise the
// run fails with 10125).
std::string detail_text(int id) {
  if (!detail_takes(id)) return "no";
  return record_type_hint(static_cast<unsigned>(id)) != 0 ? "yes" : "logs";
}
// A group key needs a value type (the type hints); the exclusions are the
// fields that are never a record's own value to group by: the request time
// (grouped by its buckets 19 to 30), the one-category outputs of category
// grouping (8, 62) and the grouping engine's own property bits (49).
bool groupable(int id) {
  if (id >= 19 && id <= 30) return true;
  if (id == 7 || id == 8 || id == 62 || id == 49) return false;
  return record_type_hint(static_cast<unsigned>(id)) != 0;
}
std::string type_text(int id) {
  uint8_t t = record_type_hint(static_cast<unsigned>(id));
  if (t == 0) t = record_v1_type(static_cast<unsigned>(id));
  if (t == 0) return "-";
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02x", t);
  return buf;
}
std::string yes(bool b) { return b ? "yes" : "no"; }

struct Expected {
  std::string id, name, key, type, summary, detail, group;
};

std::vector<Expected> expected_rows() {
  std::vector<Expected> out;
  bool buckets = false;
  for (size_t i = 0; i < record_field_table_size; ++i) {
    const RecordFieldInfo &f = record_field_table[i];
    if (f.id > 30 && !buckets) {
      out.push_back({"19-30", "ADDITIONAL", "-", type_text(19), yes(summary_takes(19)), detail_text(19),
                     yes(groupable(19))});
      buckets = true;
    }
    out.push_back({std::to_string(f.id), f.name, f.filter_key ? f.filter_key : "-", type_text(f.id),
                   yes(summary_takes(f.id)), detail_text(f.id), yes(groupable(f.id))});
  }
  return out;
}

TEST(DefinitionsPage, FieldTableIsTheRecordModels) {
  const auto rows = table(page(), "fields");
  const auto want = expected_rows();
  std::map<std::string, std::string> meaning;
  for (const auto &r : rows)
    if (r.size() >= 8) meaning[r[0]] = r[7];
  if (getenv("KX_PRINT_FIELD_TABLE")) {
    printf("| id | name | filter key | type | summary | detail | group by | meaning |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    for (const Expected &e : want)
      printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", e.id.c_str(), e.name.c_str(),
             e.key == "-" ? "-" : ("`" + e.key + "`").c_str(), e.type.c_str(), e.summary.c_str(), e.detail.c_str(),
             e.group.c_str(), meaning.count(e.id) ? meaning[e.id].c_str() : "?");
  }
  ASSERT_EQ(rows.size(), want.size()) << "run with KX_PRINT_FIELD_TABLE=1 for the table of this tree";
  for (size_t i = 0; i < want.size(); ++i) {
    const auto &r = rows[i];
    const Expected &e = want[i];
    ASSERT_EQ(r.size(), 8u) << "row " << i;
    EXPECT_EQ(r[0], e.id);
    EXPECT_EQ(r[1], e.name) << "id " << e.id;
    EXPECT_EQ(r[2], e.key) << "id " << e.id;
    EXPECT_EQ(r[3], e.type) << "id " << e.id;
    EXPECT_EQ(r[4], e.summary) << "summary, id " << e.id;
    EXPECT_EQ(r[5], e.detail) << "detail, id " << e.id;
    EXPECT_EQ(r[6], e.group) << "group by, id " << e.id;
    EXPECT_FALSE(r[7].empty() || r[7] == "?") << "id " << e.id << " has no meaning";
  }
}

// A rule each kind of value takes; one of them loads for every key.
const char *const kRules[] = {"== 1", "== \"x\"", "== 10.0.0.1", "& 1", "TRUE"};

bool filter_key_tests(const std::string &key, int field) {
  for (const char *rule : kRules) {
    // A demand report needs an absolute date, a scheduled one refuses it.
    const bool date = field == 7;
    Parsed p(date ? REPORT_DEMAND : REPORT_SCHEDULED,
             "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\n" + key + "=" + rule + "\n");
    if (p.ok()) return filter_tree_has_field(p.rep()->def->filter, field) != 0;
  }
  return false;
}

TEST(DefinitionsPage, FilterKeysLoadOnTheirFields) {
  int keys = 0;
  for (const auto &r : table(page(), "fields")) {
    if (r.size() < 3 || r[2] == "-") continue;
    ++keys;
    EXPECT_TRUE(filter_key_tests(r[2], atoi(r[0].c_str()))) << r[2];
  }
  EXPECT_GE(keys, 10);
  // Any whole number names that field; anything else is refused.
  EXPECT_TRUE(filter_key_tests("55", 55));
  Parsed unknown(REPORT_SCHEDULED, "[group]\ntype=SUMMARY\ngroupby=3\n[static_filter]\nhostname=== \"x\"\n");
  EXPECT_FALSE(unknown.ok());
  // The event type takes names in one-operand rules, numbers in ranges.
  const std::string group = "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\n[static_filter]\n";
  EXPECT_TRUE(Parsed(REPORT_SCHEDULED, group + "63=== bandwidth\n").ok());
  EXPECT_FALSE(Parsed(REPORT_SCHEDULED, group + "63=== 1\n").ok());
  EXPECT_TRUE(Parsed(REPORT_SCHEDULED, group + "63=@ 1 1\n").ok());
}

TEST(DefinitionsPage, ThresholdNamesLoadOnTheirFields) {
  const auto rows = table(page(), "thresholds");
  ASSERT_GE(rows.size(), 25u);
  for (const auto &r : rows) {
    ASSERT_EQ(r.size(), 3u);
    const std::string &name = r[0];
    const int field = atoi(r[1].c_str());
    bool loaded = false;
    for (const char *rule : kRules) {
      Parsed p(REPORT_DEMAND,
               "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9\nthreshold=" + name + ":" + rule + "\n" + kPeriod);
      if (!p.ok()) continue;
      loaded = true;
      EXPECT_TRUE(filter_tree_has_field(p.rep()->def->group[0]->threshold, field)) << name;
      break;
    }
    EXPECT_TRUE(loaded) << name;
  }
  Parsed unknown(REPORT_DEMAND, std::string("[group]\ntype=SUMMARY\ngroupby=3\nthreshold=hits:>= 1\n") + kPeriod);
  EXPECT_EQ(std::string(unknown.rep()->error ? unknown.rep()->error : ""),
            "Error 10151: (def) Unknown threshold field: hits");
}

// Every "Error NNNNN: (def) ..." literal of the sources, with adjacent
// literals joined.
std::set<std::string> source_def_errors() {
  std::set<std::string> out;
  for (const char *file : {"definition.cc", "filter.cc", "report_load.cc"}) {
    std::string src = kxtest::read_text_file(std::string(KX_SOURCE_DIR) + "/src/report/" + file);
    src = std::regex_replace(src, std::regex("\"\\s*\\n\\s*\""), "");
    const std::regex lit("\"Error (1[0-9]{4}): \\(def\\) ([^\"]*)\"");
    for (auto it = std::sregex_iterator(src.begin(), src.end(), lit); it != std::sregex_iterator(); ++it)
      out.insert((*it)[1].str() + " " + (*it)[2].str());
  }
  return out;
}

TEST(DefinitionsPage, ListsEveryDefinitionErrorText) {
  std::set<std::string> listed;
  for (const auto &r : table(page(), "errors")) {
    ASSERT_EQ(r.size(), 3u) << (r.empty() ? "" : r[0]);
    EXPECT_FALSE(r[2].empty()) << r[0] << " says nothing about the fix";
    listed.insert(r[0] + " " + r[1]);
  }
  const std::set<std::string> code = source_def_errors();
  ASSERT_GE(code.size(), 50u);
  for (const std::string &e : code) EXPECT_TRUE(listed.count(e)) << "not on the page: " << e;
  for (const std::string &e : listed) EXPECT_TRUE(code.count(e)) << "not in the code: " << e;
}

}  // namespace
