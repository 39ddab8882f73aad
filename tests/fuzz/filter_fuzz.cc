// Filter rules from one input: each line is a rule, its first byte the field
// id it tests, its second byte the parser options (low two bits), the rest
// the rule text; the lines are ANDed as a definition's filter lines are.
// The tree is evaluated on a fixture request row and a table row, and given
// to the file-name tests with parameters from the last line. Checks that
// every verdict is 0 or 1 and that nothing crashes, leaks or hangs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/base/kxnet.h"
#include "lib/record/record.h"
#include "src/report/filter.h"
#include "src/report/report.h"

namespace {

struct Fixture {
  kx_ipaddr ip4{}, ip6{};
  char url[64] = "http://www.Example.com:81/search?q=cheap+flights";
  char user[8] = "alice";
  char group[16] = "sales_team";
  char cats[8] = "5,7,30";
  unsigned char catbytes[4] = {5, 7, 0, 0};
  uint8_t denied = 1;
  unsigned char date[4];
  uint32_t type = 8;
  char data[32] = "event text with words";
  char policy[16] = "default";
  uint64_t counts[4] = {120, 100, 20, 30};
  uint32_t cat = 42;
  RECORD req[20];
  RECORD tbl[10];
  unsigned char req_map[RECORD_MAP_SIZE];
  unsigned char tbl_map[RECORD_MAP_SIZE];
  int64_t totals[10] = {0, 0, 0, 0, 300, 0, 0, 0, 0, 0};

  Fixture() {
    kxnet_aton("10.1.2.3", &ip4);
    record_ip_to_host_order(&ip4);
    kxnet_aton("2001:db8::1", &ip6);
    uint32_t when = 1772600767;
    memcpy(date, &when, 4);
    RECORD r[] = {{1, 0x16, 0, url},        {2, 0x57, 0, &ip4},     {3, 0x16, 0, user},
                  {4, 0x16, 0, group},      {5, 0x16, 0, cats},     {6, 0x71, 0, &denied},
                  {7, 0x43, 0, date},       {47, 0x57, 0, &ip6},    {54, 0x36, 0, catbytes},
                  {63, 0x03, 0, &type},     {64, 0x16, 0, data},    {58, 0x16, 0, policy},
                  {32, 0x16, RECORD_FLAG_OWNED, nullptr}, {48, 0x16, RECORD_FLAG_OWNED, nullptr},
                  {53, 0x16, RECORD_FLAG_OWNED, nullptr}, {70, 0x16, RECORD_FLAG_OWNED, nullptr},
                  {0, 0, 0, nullptr}};
    memcpy(req, r, sizeof(r));
    record_build_map(req_map, req);
    RECORD t[] = {{3, 0x16, 0, user},        {9, 0x04, 0, &counts[0]}, {10, 0x04, 0, &counts[1]},
                  {11, 0x04, 0, &counts[2]}, {33, 0x04, 0, &counts[3]}, {8, 0x83, 0, &cat},
                  {2, 0x53, 0, &ip4.addr.ip}, {0, 0, 0, nullptr}};
    memcpy(tbl, t, sizeof(t));
    record_build_map(tbl_map, tbl);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Fixture fx;
  static REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "fuzz", "fuzz", 0, 0, 0, nullptr);
  if (rep == nullptr) return 0;
  const std::string input(reinterpret_cast<const char *>(data), size);
  REPORT_DEFINITION def;
  FILTER_RULE *tree = nullptr;
  bool rejected = false;
  int last_field = 3;
  size_t pos = 0;
  while (pos < input.size() && !rejected) {
    size_t nl = input.find('\n', pos);
    if (nl == std::string::npos) nl = input.size();
    std::string line = input.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.size() < 2) continue;
    int field = static_cast<unsigned char>(line[0]);
    int options = line[1] & 3;
    last_field = field;
    std::string rule = line.substr(2);
    tree = report_definition_add_filter(rule.c_str(), tree, field, &def, rep, options);
    rejected = tree == nullptr;
  }
  if (tree != nullptr) {
    for (int partial = 0; partial < 2; ++partial) {
      int a = check_filter_recursive(rep, tree, fx.req, fx.req_map, nullptr, 1, partial);
      record_free_owned(fx.req + 12);
      int b = check_filter_recursive(rep, tree, fx.tbl, fx.tbl_map, fx.totals, 3, partial);
      int c = check_filter_recursive(nullptr, tree, fx.req, fx.req_map, nullptr, 1, partial);
      record_free_owned(fx.req + 12);
      if ((a | b | c) & ~1) __builtin_trap();
    }
    const unsigned char *p = data;
    int offset = size > 0 ? static_cast<signed char>(p[0]) : 0;
    int length = size > 1 ? p[1] : 0;
    int pools = size > 2 ? p[2] - 8 : 16;
    int chunk = size > 3 ? p[3] : 0;
    for (int field : {1, 2, 3, 4, 6, 59, last_field}) {
      if (check_filename_filter_recursive(tree, field, "sales-team") & ~1) __builtin_trap();
      if (check_filename_hash_filter_recursive(tree, field, offset, length, pools, chunk) & ~1) __builtin_trap();
    }
    filter_tree_has_field(tree, 7);
  }
  free_filter_rule(tree);
  cat_free(def.cat_filter);
  def.cat_filter = nullptr;
  free(rep->error);
  rep->error = nullptr;
  return 0;
}
