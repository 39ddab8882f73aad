// Speed of the filter evaluator: a filter of five leaves (user, denied,
// category, a text contains, a time-of-day range) over request rows held in
// memory, in records per second. Usage: filter_bench [records]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "src/report/filter.h"
#include "src/report/report.h"

namespace {

struct Row {
  std::string url, user, cats;
  uint8_t denied;
  uint32_t date;
  RECORD rec[8];
  unsigned char map[RECORD_MAP_SIZE];
};

}  // namespace

int main(int argc, char **argv) {
  long long records = argc > 1 ? atoll(argv[1]) : 10000000;
  REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "bench", "bench", 0, 0, 0, nullptr);
  if (rep == nullptr) return 1;

  const char *users[] = {"alice", "bob", "carol", "dave"};
  std::vector<Row> rows(4096);
  for (size_t i = 0; i < rows.size(); ++i) {
    Row &r = rows[i];
    r.url = "http://www.example" + std::to_string(i % 37) + ".com/path/" + std::to_string(i) +
            (i % 3 ? "/news/today?id=1" : "/shop/cart");
    r.user = users[i % 4];
    r.cats = std::to_string(i % 20) + "," + std::to_string(100 + i % 7);
    r.denied = i % 5 == 0;
    r.date = static_cast<uint32_t>(1772600767 + i * 97);
    RECORD rec[] = {{1, 0x16, 0, r.url.data()},  {3, 0x16, 0, r.user.data()}, {5, 0x16, 0, r.cats.data()},
                    {6, 0x71, 0, &r.denied},     {7, 0x43, 0, &r.date},       {0, 0, 0, nullptr}};
    memcpy(r.rec, rec, sizeof(rec));
    record_build_map(r.map, r.rec);
  }

  FILTER_RULE *tree = nullptr;
  tree = report_definition_add_filter("!= \"carol\"", tree, 3, nullptr, rep, 0);
  tree = report_definition_filter_add_denied(tree, "FALSE");
  tree = report_definition_add_filter("& 1,2,3,4,5,6,7,8,9,10,11,12", tree, 5, nullptr, rep, 0);
  tree = report_definition_add_filter("% \"/news/\"", tree, 1, nullptr, rep, 0);
  tree = report_definition_add_filter("@ 0 64800", tree, 43, nullptr, rep, 0);
  if (tree == nullptr) {
    fprintf(stderr, "filter rejected\n");
    return 1;
  }

  long long passed = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (long long n = 0; n < records; ++n) {
    Row &r = rows[static_cast<size_t>(n) & (rows.size() - 1)];
    passed += check_filter_recursive(rep, tree, r.rec, r.map, nullptr, 1, 0);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("filter of 5 leaves: %lld records in %.3f s, %.0f records/s (%lld passed)\n", records, secs,
         secs > 0 ? records / secs : 0.0, passed);
  free_filter_rule(tree);
  free_report(rep);
  return 0;
}
