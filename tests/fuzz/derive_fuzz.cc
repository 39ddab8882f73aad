// Fuzzes the parsers of the derived record fields and of the category
// script's output: hosts, domains and protocols of URLs from request logs,
// category lists, bandwidth texts, script lines.
//
// Input: one control byte, then the text. Control byte mod 4: 0 URL (host,
// domain by a small list and by an expression, protocol), 1 category list
// (string and byte forms), 2 bandwidth text, 3 category-script lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "src/report/fields.h"
#include "src/report/reportlists.h"

namespace {

DOMAIN_DEFINITION *lists_definition() {
  static DOMAIN_DEFINITION *dd = [] {
    auto *d = new DOMAIN_DEFINITION;
    d->type = DOMAIN_TYPE_LISTS;
    d->list = urllist_initialize(URLLIST_FLAG_NONE);
    for (const char *e : {"co.uk", "*.example.net", "com.au"}) urllist_add(d->list, e, "U", "N", nullptr, 0);
    return d;
  }();
  return dd;
}

DOMAIN_DEFINITION *regexp_definition(int part) {
  static DOMAIN_DEFINITION *dd = [] {
    auto *d = new DOMAIN_DEFINITION;
    d->type = DOMAIN_TYPE_REGEXP;
    d->regexp_set = regcomp(&d->regexp, "([a-z]*)\\.(com|org)$", REG_EXTENDED) == 0;
    return d;
  }();
  dd->regexp_part = part;
  return dd;
}

void check(char *s, size_t limit) {
  if (s && strlen(s) > limit) abort();
  free(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint8_t ctl = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.c_str();
  switch (ctl % 4) {
    case 0: {
      char *host = get_host(text.c_str());
      if (host) {
        check(extract_domain(host, lists_definition()), strlen(host));
        check(extract_domain(host, regexp_definition(ctl >> 2)), strlen(host));
        free(host);
      }
      check(extract_domain(text.c_str(), lists_definition()), text.size());
      check(find_protocol(text.c_str()), text.size());
      break;
    }
    case 1: {
      cat_t *set = cat_new();
      get_category(set, 0x16, text.c_str());
      get_category(set, 0x36, text.c_str());
      for (uint32_t i = 1; i < set->num; ++i)
        if (set->catnums[i - 1] >= set->catnums[i]) abort();
      cat_free(set);
      break;
    }
    case 2: {
      bandwidth_stats b;
      get_bandwidth_stats(text.c_str(), &b);
      if (b.input_bytes < 0 || b.output_bytes < 0) abort();
      break;
    }
    default: {
      category_order_map order;
      category_group_map groups;
      uint32_t position = 0;
      size_t from = 0;
      while (from <= text.size()) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        report_definition_parse_category_line(line.c_str(), &position, &order, &groups);
        if (nl == std::string::npos) break;
        from = nl + 1;
      }
      for (const auto &g : groups)
        if (g.second.size() > REPORT_CATEGORY_MAX_GROUPS + 1 || g.second.back() != 0) abort();
      break;
    }
  }
  return 0;
}
