// Group records, next-level detail tables, the report queue file and spill
// rows: a two-level report read back level by level, detail values derived
// from their sources, category texts, and spill passes that give the same
// totals as a run without spill.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/report/group.h"
#include "tests/engine/group_fixture.h"

namespace {

using grouptest::Row;
using grouptest::GroupRun;

std::string summary(int groupby, const std::string &fields) {
  return grouptest::join("[group]\ntype=SUMMARY\ngroupby=", std::to_string(groupby), "\nsummary=", fields, "\n");
}

void use_domain_lists(GroupRun &run) {
  auto *d = new DOMAIN_DEFINITION;
  d->type = DOMAIN_TYPE_LISTS;
  run.rep->def->domain = d;
}

TEST(GroupDetail, TwoLevelsWriteLinksDetailTablesAndQueueEntries) {
  GroupRun run(summary(3, "9") + summary(48, "9,65"));
  use_domain_lists(run);
  run.rep->index_fd = grouptest::open_queue(run.path());
  run.rep->cur_rep_count = 3455;  // the first group's table is number 3456
  Row typed;
  typed.empty(FIELD_USER, 0x16).derived();
  GROUP_TREE *gl = run.tree(0, GROUP_MAX_GROUPS, typed);
  ASSERT_NE(gl, nullptr);
  EXPECT_EQ(gl->save_details, 1);
  struct In {
    const char *user, *url;
  } in[] = {{"bob", "http://www.a.example/x"}, {"amy", "http://b.example/"}, {"bob", "http://img.a.example/y.gif"}};
  for (const In &r : in) {
    Row row;
    row.text(FIELD_USER, r.user).text(FIELD_URI, r.url).derived();
    ASSERT_EQ(run.add(row), 0) << (run.rep->error ? run.rep->error : "");
  }
  EXPECT_EQ(run.rep->recs_todo, 3);
  run.write();
  ASSERT_EQ(group_terminate(run.rep->groups), -1);  // closes the detail tables
  run.rep->groups = nullptr;

  auto top = grouptest::read_table(run.output());
  ASSERT_EQ(top.header.size(), 3u);
  EXPECT_EQ(top.header[0], (std::pair<int, int>{3, 0x16}));
  EXPECT_EQ(top.header[1], (std::pair<int, int>{18, 0x16}));
  EXPECT_EQ(top.header[2], (std::pair<int, int>{9, 0x04}));
  ASSERT_EQ(top.rows.size(), 2u);
  EXPECT_EQ(top.rows[0], (std::vector<std::string>{"bob", "3/3456", "2"}));
  EXPECT_EQ(top.rows[1], (std::vector<std::string>{"amy", "3/3457", "1"}));

  auto queue = grouptest::read_queue(run.rep->index_fd);
  const std::string root = run.rep->root_path;
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue[0], (std::pair<std::string, int32_t>{root + "3/3456", 1}));
  EXPECT_EQ(queue[1], (std::pair<std::string, int32_t>{root + "3/3457", 1}));

  // bob's detail table: the domain (derived) and what 65 needs.
  auto bob = grouptest::read_table(queue[0].first);
  ASSERT_EQ(bob.header.size(), 3u);
  EXPECT_EQ(bob.header[0].first, FIELD_URIDOMAIN);
  EXPECT_EQ(bob.header[1].first, FIELD_TYPE);
  EXPECT_EQ(bob.header[2].first, FIELD_DATA);
  ASSERT_EQ(bob.rows.size(), 2u);
  EXPECT_EQ(bob.rows[0][0], "a.example");
  EXPECT_EQ(bob.rows[1][0], "a.example");
  EXPECT_EQ(bob.rows[0][1], "0");
  EXPECT_EQ(bob.rows[0][2], "-");

  // The second level over bob's table, as the second stage runs it.
  READ_TBL *in2 = read_open(queue[0].first.c_str());
  ASSERT_NE(in2, nullptr);
  GROUP_TREE *g2 = group_initialize(run.rep, 1, GROUP_MAX_GROUPS, in2->rec, in2->map);
  ASSERT_NE(g2, nullptr);
  EXPECT_EQ(g2->save_details, 0);
  run.rep->groups = g2;
  std::string out2 = run.path() + "/level2";
  run.rep->output = group_open_output(g2, run.rep, out2.c_str());
  while (read_next(in2)) ASSERT_EQ(group_add_record(g2, in2->rec, in2->map, -1, nullptr, run.rep, run.rep->output), 0);
  read_close(in2);
  run.write();
  auto level2 = grouptest::read_table(out2);
  ASSERT_EQ(level2.rows.size(), 1u);
  EXPECT_EQ(level2.rows[0], (std::vector<std::string>{"a.example", "2", "0"}));
}

TEST(GroupDetail, TheTemporarySizeHoldsTheQueueEntriesAndDetailRowLengths) {
  // Texts and integers only (the writer's size is the charge), then with
  // an address and a one-byte kind beside them.
  struct Case {
    const char *name, *next;
  } cases[] = {{"texts and integers", "[group]\ntype=SUMMARY\ngroupby=48\nsummary=9,11,65\n"},
               {"an address", "[group]\ntype=DETAIL\ndetails=2,48,7,4\n"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GroupRun run(summary(3, "9") + c.next);
    run.rep->index_fd = grouptest::open_queue(run.path());
    Row typed;
    typed.empty(FIELD_USER, 0x16).ip4(2, 0).num(7, 0, 0x03).num(4, 0, 0x09).derived();
    ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
    const long long before = run.rep->size_temp;
    for (int i = 0; i < 300; ++i) {
      Row row;
      row.text(FIELD_USER, grouptest::join("u", std::to_string(i % 7)))
          .text(FIELD_URI, grouptest::join("http://h", std::string(static_cast<size_t>(i % 40), 'x'), ".example/"))
          .ip4(2, 0x0A000001u + static_cast<uint32_t>(i))
          .num(7, static_cast<uint64_t>(i), 0x03)
          .num(4, static_cast<uint64_t>(i % 2), 0x09)
          .derived();
      ASSERT_EQ(run.add(row), 0) << (run.rep->error ? run.rep->error : "");
    }
    run.write();
    ASSERT_EQ(group_terminate(run.rep->groups), -1);
    run.rep->groups = nullptr;
    // Each queue entry, and each detail row by its length as read back.
    long long charged = 0;
    for (const auto &[path, level] : grouptest::read_queue(run.rep->index_fd)) {
      charged += static_cast<long long>(path.size() + 5);
      READ_TBL *t = read_open(path.c_str());
      ASSERT_NE(t, nullptr);
      while (read_next(t)) charged += record_length(t->rec, report_table_ip_type(run.rep));
      read_close(t);
    }
    EXPECT_EQ(run.rep->size_temp - before, charged);
  }
}

// Writes the level, closes its detail tables and reads back the one table
// it queued (no rows when it queued another number of them).
grouptest::Table only_detail_table(GroupRun &run) {
  run.write();
  EXPECT_EQ(group_terminate(run.rep->groups), -1);
  run.rep->groups = nullptr;
  auto queue = grouptest::read_queue(run.rep->index_fd);
  EXPECT_EQ(queue.size(), 1u);
  return queue.size() == 1 ? grouptest::read_table(queue[0].first) : grouptest::Table{};
}

TEST(GroupDetail, DetailValuesFromTheirSources) {
  GroupRun run(summary(3, "9") + summary(32, "9") + summary(5, "9"));
  run.rep->index_fd = grouptest::open_queue(run.path());
  Row typed;
  typed.empty(FIELD_USER, 0x16).empty(FIELD_CATS, 0x36);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  // No host field: from the URL; no URL: "-". Categories as bytes become
  // their decimal text.
  Row with_url;
  with_url.text(FIELD_USER, "u").text(FIELD_URI, "http://Me@WWW.Example.com:8080/a").cats({3, 17, 200});
  ASSERT_EQ(run.add(with_url), 0);
  Row without;
  without.text(FIELD_USER, "u");
  ASSERT_EQ(run.add(without), 0);
  auto t = only_detail_table(run);
  ASSERT_EQ(t.header.size(), 2u);
  EXPECT_EQ(t.header[0], (std::pair<int, int>{32, 0x16}));
  EXPECT_EQ(t.header[1], (std::pair<int, int>{5, 0x16}));
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[0], (std::vector<std::string>{"www.example.com:8080", "3,17,200"}));
  EXPECT_EQ(t.rows[1], (std::vector<std::string>{"-", "-"}));
}

TEST(GroupDetail, EntriesWithoutTheirFieldComeFromTheSourceByKind) {
  // 60 and 61 from a byte list or a text list, 46 derived from the URL,
  // 4 with no derivation: each from its source, "-" or 0 without one.
  GroupRun run(summary(3, "9") + "[group]\ntype=DETAIL\ndetails=60,61,46,4,7\n");
  run.rep->index_fd = grouptest::open_queue(run.path());
  Row typed;
  typed.empty(FIELD_USER, 0x16).empty(FIELD_DATE, 0x43);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  Row full;
  full.text(FIELD_USER, "u").cats({3, 17}).text(FIELD_ALL_CATS, "4,5").text(FIELD_URI, "https://x.example/").text(
      FIELD_GROUP, "staff").num(FIELD_DATE, 1700000000, 0x43);
  ASSERT_EQ(run.add(full), 0);
  Row text_lists;
  text_lists.text(FIELD_USER, "u").text(FIELD_CATS, "8,9").text(FIELD_URI, "ftp://y.example/a");
  ASSERT_EQ(run.add(text_lists), 0);
  Row bare;
  bare.text(FIELD_USER, "u");
  ASSERT_EQ(run.add(bare), 0);
  auto t = only_detail_table(run);
  ASSERT_EQ(t.header.size(), 5u);
  ASSERT_EQ(t.rows.size(), 3u);
  EXPECT_EQ(t.rows[0], (std::vector<std::string>{"3,17", "4,5", "https", "staff", "1700000000"}));
  EXPECT_EQ(t.rows[1][0], "8,9");
  EXPECT_EQ(t.rows[1][2], "ftp");
  EXPECT_EQ(t.rows[2], (std::vector<std::string>{"-", "-", "-", "-", "0"}));
}

TEST(GroupDetail, AnEntryWithoutADerivationFailsTheRow) {
  // A time-bucket code in a detail level has the date as its source but no
  // derivation: a row with a date cannot be prepared.
  GroupRun run(summary(3, "9") + "[group]\ntype=DETAIL\ndetails=7\n");
  run.rep->def->group[1]->details[0] = 20;  // definitions refuse it; a layout must too
  run.rep->index_fd = grouptest::open_queue(run.path());
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  ASSERT_NE(run.tree(0, GROUP_MAX_GROUPS, typed), nullptr);
  Row undated;
  undated.text(FIELD_USER, "u");
  EXPECT_EQ(run.add(undated), 0);
  Row dated;
  dated.text(FIELD_USER, "u").num(FIELD_DATE, 1700000000, 0x43);
  EXPECT_EQ(run.add(dated), 1);
  ASSERT_NE(run.rep->error, nullptr);
  EXPECT_STREQ(run.rep->error, "Error 10304: (group) Error preparing next group data from source field");
}

TEST(GroupDetail, CategoryTextIsCutAtANumberBoundary) {
  const unsigned char cats[] = {3, 17, 200, 0};
  struct Case {
    size_t size;
    const char *expect;
  } cases[] = {{1, ""}, {2, "3"}, {4, "3"}, {5, "3,17"}, {8, "3,17"}, {9, "3,17,200"}, {100, "3,17,200"}};
  for (const Case &c : cases) {
    std::vector<char> buf(c.size + 8, 'Z');
    EXPECT_STREQ(group_category_text(cats, buf.data(), c.size), c.expect) << c.size;
    EXPECT_EQ(buf[c.size], 'Z');  // nothing past the buffer
  }
  // A long list in the fixed text: 255 numbers of three digits.
  std::vector<unsigned char> many(255, 200);
  many.push_back(0);
  std::vector<char> buf(GROUP_CATTEXT_SIZE + 1, 'Z');
  std::string text = group_category_text(many.data(), buf.data(), GROUP_CATTEXT_SIZE);
  EXPECT_LT(text.size(), static_cast<size_t>(GROUP_CATTEXT_SIZE));
  EXPECT_EQ(text.size() % 4, 3u);  // whole "200" items
  EXPECT_EQ(text.substr(text.size() - 4), ",200");
  EXPECT_EQ(buf[GROUP_CATTEXT_SIZE], 'Z');
}

// Totals by user of a report grouped with the limit `limit`, spilling and
// re-reading the spill table like the second stage does.
std::map<std::string, std::vector<std::string>> grouped(int limit, int *passes, long long *first_spill_charge) {
  GroupRun run(summary(3, "9,10,11,12"));
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  GROUP_TREE *gl = run.tree(0, limit, typed);
  EXPECT_NE(gl, nullptr);
  *passes = 1;
  *first_spill_charge = -1;
  long long temp_before = run.rep->size_temp;
  for (int i = 0; i < 300; ++i) {
    Row row;
    row.text(FIELD_USER, grouptest::join("user", std::to_string(i % 23)))
        .num(FIELD_DENIED_FLAG, i % 3 == 0, 0x71)
        .text(FIELD_URI, i % 2 ? "http://h/a.html" : "http://h/b.zip");
    int r = run.add(row);
    if (r == 2) {
      bool first = run.rep->spill == nullptr;
      EXPECT_EQ(group_save_spill_record(run.rep, run.rep->groups, row.rec(), row.map()), -1);
      if (first) *first_spill_charge = run.rep->size_temp - temp_before;
    } else {
      EXPECT_EQ(r, 0);
    }
  }
  while (run.rep->spill) {
    int64_t bytes, recs;
    EXPECT_EQ(group_write(run.rep, &bytes, &recs), -1);
    EXPECT_EQ(group_terminate(run.rep->groups), -1);
    run.rep->groups = nullptr;
    EXPECT_EQ(table_close(run.rep->spill), -1);
    run.rep->spill = nullptr;
    std::string name = run.rep->spill_file_name;
    free(run.rep->spill_file_name);
    run.rep->spill_file_name = nullptr;
    EXPECT_EQ(name.rfind(run.rep->temp_path, 0), 0u);  // a temporary file
    TABLE *in = table_open(TABLE_READ, run.rep, name.c_str(), nullptr, 0, 0);
    EXPECT_NE(in, nullptr);
    if (!in) break;
    run.rep->groups = group_initialize(run.rep, 0, limit, in->rec, in->map);
    EXPECT_NE(run.rep->groups, nullptr);
    ++*passes;
    while (table_read_record(in) == -1) {
      int r = group_add_record(run.rep->groups, in->rec, in->map, -1, in, run.rep, run.rep->output);
      if (r == 2) EXPECT_EQ(group_save_spill_record(run.rep, run.rep->groups, in->rec, in->map), -1);
      else EXPECT_EQ(r, 0);
    }
    table_close(in);
    unlink(name.c_str());
  }
  run.write();
  auto t = grouptest::read_table(run.output());
  std::map<std::string, std::vector<std::string>> out;
  for (auto &r : t.rows) {
    EXPECT_EQ(out.count(r[0]), 0u) << r[0];
    out[r[0]] = std::vector<std::string>(r.begin() + 1, r.end());
  }
  return out;
}

TEST(GroupSpill, SpillPassesGiveTheTotalsOfARunWithoutSpill) {
  int passes_none = 0, passes_spill = 0;
  long long charge_none = 0, charge_spill = 0;
  auto plain = grouped(GROUP_MAX_GROUPS, &passes_none, &charge_none);
  auto spilled = grouped(5, &passes_spill, &charge_spill);
  EXPECT_EQ(passes_none, 1);
  EXPECT_EQ(passes_spill, 5);  // 23 users, 5 a pass
  EXPECT_EQ(plain.size(), 23u);
  EXPECT_EQ(spilled, plain);
  // The first spill row: the table's header (version, two fields of two
  // bytes, the end byte) once, and the row ("userN" text and field 49).
  EXPECT_EQ(charge_spill, 6 + 6 + 1);
}

TEST(GroupSpill, SpillRowsCarryTheRequestProperties) {
  GroupRun run(summary(3, "10,12,15"));
  run.rep->html_extensions = static_cast<char **>(calloc(1, sizeof(char *)));
  run.rep->html_extensions[0] = strdup("html");
  run.rep->html_extensions_size = 1;
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  GROUP_TREE *gl = run.tree(0, 1, typed);
  ASSERT_NE(gl, nullptr);
  EXPECT_EQ(gl->spill_analyze_mask, 3);
  Row first;
  first.text(FIELD_USER, "a");
  ASSERT_EQ(run.add(first), 0);
  struct In {
    const char *url;
    int denied;
    std::string props;
  } in[] = {{"http://h/a.html", 0, "2"}, {"http://h/a.zip", 1, "5"}, {"", 0, "0"}};
  for (const In &r : in) {
    Row row;
    row.text(FIELD_USER, "b").num(FIELD_DENIED_FLAG, r.denied, 0x71).text(FIELD_URI, r.url);
    ASSERT_EQ(run.add(row), 2);
    ASSERT_EQ(group_save_spill_record(run.rep, gl, row.rec(), row.map()), -1);
  }
  ASSERT_EQ(table_close(run.rep->spill), -1);
  run.rep->spill = nullptr;
  auto t = grouptest::read_table(run.rep->spill_file_name);
  ASSERT_EQ(t.header.size(), 2u);
  EXPECT_EQ(t.header[0], (std::pair<int, int>{3, 0x16}));
  EXPECT_EQ(t.header[1], (std::pair<int, int>{49, 0x01}));
  ASSERT_EQ(t.rows.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t.rows[i][1], in[i].props) << i;
}

TEST(GroupDetail, UnknownLevelTypeInALayoutFails) {
  GroupRun run(summary(3, "9") + "[group]\ntype=SUMMARY\ngroupby=4\nsummary=9\n");
  run.rep->def->group[1]->type = 7;
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  EXPECT_EQ(group_initialize(run.rep, 0, GROUP_MAX_GROUPS, typed.rec(), typed.map()), nullptr);
  ASSERT_NE(run.rep->error, nullptr);
  EXPECT_STREQ(run.rep->error, "Error 10301: (group) Unknown group type 7");
}

TEST(GroupDetail, ASizeLimitStopsGroupCreation) {
  GroupRun run(summary(3, "9"));
  run.rep->settings->max_report_size = 100;
  Row typed;
  typed.empty(FIELD_USER, 0x16);
  GROUP_TREE *gl = group_initialize(run.rep, 0, GROUP_MAX_GROUPS, typed.rec(), typed.map());
  ASSERT_NE(gl, nullptr);
  run.rep->groups = gl;
  int r = 0, i = 0;
  for (; i < 100 && r == 0; ++i) {
    Row row;
    row.text(FIELD_USER, grouptest::join("user", std::to_string(i)));
    r = group_add_record(gl, row.rec(), row.map(), -1, nullptr, run.rep, nullptr);
  }
  EXPECT_EQ(r, 1);
  ASSERT_NE(run.rep->error, nullptr);
  EXPECT_EQ(std::string(run.rep->error).rfind("Error 10600: (status) Report File Size Limit 100", 0), 0u);
}

}  // namespace
