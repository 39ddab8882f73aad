// Keyword rules and a text from one input: the lines before the first empty
// line are queries, the rest is the text searched.  Checks that malformed
// queries fail cleanly, that every listed offset names a byte of the text,
// and that a scan split in two reports what the whole scan reports.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libsearch/acsm.h"
#include "libsearch/query_lucene.h"
#include "libsearch/query_search.h"

namespace {

int count_reports(void *, void *, int, void *data, void *, ACSM_STATE *) {
  ++*static_cast<int *>(data);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const size_t split = input.find("\n\n");
  const std::string rules = input.substr(0, split);
  const std::string text = split == std::string::npos ? input : input.substr(split + 2);

  query_search_engine *engine = query_search_engine_new(0);
  if (engine == nullptr) {
    return 0;
  }
  static char rule_data[] = "rule";
  size_t pos = 0;
  while (pos <= rules.size()) {
    size_t nl = rules.find('\n', pos);
    if (nl == std::string::npos) {
      nl = rules.size();
    }
    const std::string line = rules.substr(pos, nl - pos);
    query_token_list tokens;
    int err = query_lucene_lex_parser(line.c_str(), &tokens);
    if (err == 0) {
      auto root = query_lucene_infix_to_ast(&tokens, &err);
      if (root == nullptr && err != 0 && err != -1 && err != -3) {
        __builtin_trap();
      }
    } else if (err != -1 && err != -2) {
      __builtin_trap();
    }
    const int r = query_add_rule(engine, line.c_str(), rule_data, 0);
    if (r != 0 && r != -1 && r != -2 && r != -3) {
      __builtin_trap();
    }
    pos = nl + 1;
  }
  if (query_search_engine_compile(engine) == 0) {
    const int len = static_cast<int>(text.size());
    query_search_state *st = query_search_state_new(engine);
    if (st != nullptr) {
      if (auto *res = query_search_allwords(engine, text.data(), len, st)) {
        for (const auto &w : res->words) {
          const int start = w.offset < 0 ? w.offset + len : w.offset;
          if (start < 0 || start >= len || w.data != rule_data) {
            __builtin_trap();
          }
        }
      }
      query_search_state_destroy(st);
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    int whole = 0;
    int parts = 0;
    ACSM_STATE a{};
    ACSM_STATE b{};
    acsmSearch2(engine->acsm, bytes, len, count_reports, &whole, &a);
    acsmSearch2(engine->acsm, bytes, len / 2, count_reports, &parts, &b);
    acsmSearch2(engine->acsm, bytes + len / 2, len - len / 2, count_reports, &parts, &b);
    if (whole != parts || a.state != b.state || a.word_index != b.word_index) {
      __builtin_trap();
    }
  }
  query_search_engine_destroy(engine);
  return 0;
}
