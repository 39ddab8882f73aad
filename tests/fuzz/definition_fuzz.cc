// Report definition texts: the first byte picks the report kind, the rest
// is the text. Any text must give a definition or a numbered "(def)" error
// (never both missing), and everything built must be freed with the run.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/base/kxlog.h"
#include "src/report/definition.h"
#include "src/report/report.h"

namespace {

int quiet(int, const char *, va_list) { return 1; }

// "Error 1NNNN: (word) ..." with a code of the definition range or of the
// filter readers it calls.
bool numbered(const char *e) {
  int code = 0;
  char word[16];
  if (e == nullptr || std::sscanf(e, "Error %5d: (%15[a-z])", &code, word) != 2) return false;
  return code >= 10100 && code <= 10166 && std::strcmp(word, "def") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kxlog_set_sink(quiet);
    return true;
  }();
  (void)once;
  if (size == 0) return 0;
  const int kind = data[0] % 3 + 1;
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  REPORT *rep = new_report_initialize(kind, 1, "fuzz", "fuzz", 0, 0, 0, nullptr);
  if (rep == nullptr) return 0;
  const int rc = report_definition_interpret_definition(rep, text.c_str());
  if (rc == -1) {
    if (rep->def == nullptr || rep->def->group == nullptr || rep->def->group[0] == nullptr) __builtin_trap();
    if (rep->error != nullptr && !numbered(rep->error)) __builtin_trap();
    for (REPORT_GROUP **g = rep->def->group; *g; ++g) {
      rep->group_def = *g;
      (void)report_definition_get_max_records(rep);
    }
    rep->group_def = nullptr;
    rep->start = 100;
    rep->end = 200;
    if (report_definition_add_date_range(rep) != -1) __builtin_trap();
  } else {
    if (rc != 0 || rep->def != nullptr || !numbered(rep->error)) __builtin_trap();
  }
  free_report(rep);
  return 0;
}
