#include "src/report/definition.h"

#include "lib/base/kxregex.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/lists/urllist.h"
#include "lib/record/category.h"
#include "lib/record/record.h"
#include "src/report/filter.h"
#include "src/report/report.h"
#include "src/report/reportlists.h"
#include "src/report/status.h"

namespace {

// --- Small text helpers -------------------------------------------------------

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char *ltrim(char *s) {
  while (is_blank(*s)) ++s;
  return s;
}

void rtrim(char *s) {
  size_t n = strlen(s);
  while (n > 0 && is_blank(s[n - 1])) s[--n] = '\0';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits at every delim, keeping empty fields (an empty text is one field).
std::vector<std::string_view> split(std::string_view s, char delim) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  for (;;) {
    size_t at = s.find(delim, pos);
    if (at == std::string_view::npos) {
      out.push_back(s.substr(pos));
      return out;
    }
    out.push_back(s.substr(pos, at - pos));
    pos = at + 1;
  }
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The leading integer of s as strtol reads it (blanks, a sign, digits),
// saturated to the range of long long; 0 when there is none.
long long leading_number(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && is_blank(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int d = s[i] - '0';
    if (v > (LLONG_MAX - d) / 10) {
      v = LLONG_MAX;
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
      break;
    }
    v = v * 10 + d;
  }
  return neg ? -v : v;
}

// The leading integer cut to the range of int (atoi without its undefined
// overflow).
int int_value(std::string_view s) {
  long long v = leading_number(s);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool is_field_id(long long v) { return v >= 0 && v <= 255; }

// A malloc'd NUL-terminated copy, or null.
char *copy_text(std::string_view s) {
  auto *p = static_cast<char *>(malloc(s.size() + 1));
  if (p == nullptr) return nullptr;
  memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

bool is_counter(unsigned f) { return (f >= 9 && f <= 17) || f == 52 || f == 65 || f == 66; }
bool is_percent(unsigned f) { return f >= 33 && f <= 35; }

// Cuts "key=value" in place: key (trailing blanks cut) and the raw text
// after the "=". False for a line without "=".
bool split_setting(char *line, char **key, char **raw) {
  char *eq = strchr(line, '=');
  if (eq == nullptr) return false;
  *eq = '\0';
  rtrim(line);
  *key = line;
  *raw = eq + 1;
  return true;
}

void free_group(REPORT_GROUP *g) {
  if (g == nullptr) return;
  free(g->summary);
  free(g->details);
  free(g->orderby);
  report_definition_free_view_options(g->view);
  free_filter_rule(g->threshold);
  delete g;
}

bool has_error(const REPORT *rep) { return rep->error != nullptr; }

// Every host of a run meets the domain expression: past this many nodes (an
// alternation of some ten thousand domains), or where glibc's cost
// explodes, a pattern is refused (lib/base/kxregex.h).
constexpr long long kRegexMaxNodes = 1LL << 18;


// --- Filter keys and threshold names ------------------------------------------

struct FilterKey {
  const char *key;
  int field;
  int options;        // -1: the denied rule
  const char *error;  // with "line %d"
};

const FilterKey kFilterKeys[] = {
    {"date", 7, 0, "Error 10110: (def) Date filter invalid, line %d"},
    {"reldate", 31, 0, "Error 10154: (def) Relative Date filter invalid, line %d"},
    {"daytime", 43, 0, "Error 10155: (def) Day Time filter invalid, line %d"},
    {"weekday", 44, 0, "Error 10156: (def) Week Day filter invalid, line %d"},
    {"monthday", 45, 0, "Error 10157: (def) Month Day filter invalid, line %d"},
    {"ip", 2, 0, "Error 10111: (def) IP filter invalid, line %d"},
    {"dstip", 47, 0, "Error 10111: (def) IP filter invalid, line %d"},
    {"user", 3, 0, "Error 10112: (def) User filter invalid, line %d"},
    {"group", 4, 0, "Error 10113: (def) Group filter invalid, line %d"},
    {"url", 1, 0, "Error 10114: (def) URL filter invalid, line %d"},
    {"cats", 5, 0, "Error 10115: (def) Cats filter invalid, line %d"},
    {"denied", 6, -1, "Error 10117: (def) Denied filter invalid, line %d"},
    {"host", 32, 0, "Error 10139: (def) Host filter invalid, line %d"},
    {"search_terms", 53, FILTER_OPT_LOWER | FILTER_OPT_URLDECODE,
     "Error 10143: (def) search terms filter invalid, line %d"},
};

struct ThresholdName {
  const char *name;
  int field;
};

const ThresholdName kThresholdNames[] = {
    {"date", 7},           {"reldate", 31},         {"daytime", 43},        {"weekday", 44},
    {"monthday", 45},      {"ip", 2},               {"user", 3},            {"group", 4},
    {"url", 1},            {"order", 36},           {"request_count", 9},   {"request_allowed", 10},
    {"request_denied", 11}, {"pages_count", 12},    {"pages_allowed", 13},  {"pages_denied", 14},
    {"files_count", 15},   {"host", 32},            {"cat", 8},             {"files_allowed", 16},
    {"files_denied", 17},  {"request_percent", 33}, {"pages_percent", 34},  {"files_percent", 35},
    {"input_bytes", 65},   {"output_bytes", 66},    {"online_time", 52},    {"search_terms", 53},
};

// --- Views --------------------------------------------------------------------

struct ViewKind {
  const char *keyword;
  int type;
  size_t min_parts;
};

const ViewKind kViewKinds[] = {
    {"bar_3d", 0, 4}, {"bar_2d", 1, 4}, {"line", 2, 2},   {"pie", 3, 4},
    {"summary", 4, 6}, {"detail", 5, 4}, {"layout", 6, 3}, {"raw", 7, 5},
};

// Builds one view node from its "!" parts. Null with *why -1 for a
// malformed view, DEFINITION_VALUE_BAD_FIELD for a field id
// outside a byte, DEFINITION_VALUE_NOMEM when memory runs out.
VIEW_OPTION *make_view(const std::vector<std::string_view> &parts, int *why) {
  *why = DEFINITION_VALUE_OK;
  if (parts.size() < 2 || parts[1].empty()) {
    *why = -1;
    return nullptr;
  }
  const ViewKind *kind = nullptr;
  for (const ViewKind &k : kViewKinds)
    if (parts[0] == k.keyword) kind = &k;
  if (parts.size() < (kind ? kind->min_parts : 2)) {
    *why = -1;
    return nullptr;
  }
  std::vector<unsigned char> fields;
  bool trend = false;
  bool ended = false;
  for (std::string_view e : split(parts[1], ',')) {
    if (!all_digits(e)) trend = true;
    if (ended) continue;
    long long v = leading_number(e);
    if (!is_field_id(v)) {
      *why = DEFINITION_VALUE_BAD_FIELD;
      return nullptr;
    }
    if (v == 0)
      ended = true;
    else
      fields.push_back(static_cast<unsigned char>(v));
  }
  auto *node = static_cast<VIEW_OPTION *>(calloc(1, sizeof(VIEW_OPTION) + fields.size() + 1));
  if (node == nullptr) {
    *why = DEFINITION_VALUE_NOMEM;
    return nullptr;
  }
  node->fields = reinterpret_cast<unsigned char *>(node + 1);
  if (!fields.empty()) memcpy(node->fields, fields.data(), fields.size());
  if (kind == nullptr) return node;  // unknown keyword: type 0, numbers 0
  auto part = [&](size_t n) { return n <= parts.size() ? int_value(parts[n - 1]) : 0; };
  node->type = kind->type;
  node->trendfields = trend ? 1 : 0;
  switch (kind->type) {
    case 0:
      node->recs = part(3);
      node->bar_type = part(4);
      break;
    case 1:
      node->recs = part(3);
      node->trendline = part(4);
      break;
    case 2:
      node->recs = part(3);
      break;
    case 3:
      node->recs = part(3);
      node->legend_type = part(4);
      break;
    case 4:
      node->recs = part(3);
      node->show_details = part(4);
      node->show_totals = part(5);
      node->clickable_flag = part(6);
      node->include_parents = part(7);
      node->show_count = part(8);
      break;
    case 5:
      node->recs = part(3);
      node->clickable_flag = part(4);
      break;
    case 6:
      node->horizontal = part(2);
      node->show_headers = part(3);
      break;
    case 7:
      node->recs = part(3);
      node->show_details = part(4);
      node->show_totals = part(5);
      node->show_count = part(6);
      break;
  }
  return node;
}

// Records "line %d" texts only over a report without an error yet.
void add_first_error(REPORT *rep, const char *format, int line) {
  if (!has_error(rep)) status_add_error(rep, format, line);
}

bool report_uses_search_terms(const unsigned char *fields) {
  for (const unsigned char *p = fields; p && *p; ++p)
    if (*p == FIELD_SEARCHTERM) return true;
  return false;
}

}  // namespace

// --- Value syntaxes -------------------------------------------------------------

int report_definition_process_field_arr(const char *value, unsigned char **out) {
  *out = nullptr;
  std::vector<unsigned char> list;
  bool present[256] = {};  // a set, so long lists cost no rescans
  for (std::string_view e : split(value ? value : "", ',')) {
    e = trim(e);
    long long v = leading_number(e);
    if (!is_field_id(v)) return DEFINITION_VALUE_BAD_FIELD;
    auto id = static_cast<unsigned char>(v);
    if (!all_digits(e) && present[id]) continue;
    if (id == 0) break;  // the terminator: the list ends here
    list.push_back(id);
    present[id] = true;
  }
  auto *arr = static_cast<unsigned char *>(malloc(list.size() + 1));
  if (arr == nullptr) return DEFINITION_VALUE_NOMEM;
  if (!list.empty()) memcpy(arr, list.data(), list.size());
  arr[list.size()] = 0;
  *out = arr;
  return DEFINITION_VALUE_OK;
}

int report_definition_process_field_orderby(const char *value, SORT_OPTION **out) {
  *out = nullptr;
  std::vector<SORT_OPTION> opts;
  std::vector<std::string_view> elems = split(value ? value : "", ',');
  for (size_t i = 0; i + 1 < elems.size(); i += 2) {
    std::string_view f = trim(elems[i]);
    std::string_view d = trim(elems[i + 1]);
    if (!all_digits(f)) continue;
    long long id = leading_number(f);
    if (!is_field_id(id)) return DEFINITION_VALUE_BAD_FIELD;
    long long dir = leading_number(d);
    SORT_OPTION o{};
    o.field = static_cast<unsigned char>(id);
    o.order = dir >= SCHAR_MIN && dir <= SCHAR_MAX ? static_cast<signed char>(dir) : 0;
    if (o.field == 0) break;  // would end the array anyway
    opts.push_back(o);
  }
  if (opts.empty()) return DEFINITION_VALUE_OK;
  auto *arr = static_cast<SORT_OPTION *>(calloc(opts.size() + 1, sizeof(SORT_OPTION)));
  if (arr == nullptr) return DEFINITION_VALUE_NOMEM;
  memcpy(arr, opts.data(), opts.size() * sizeof(SORT_OPTION));
  *out = arr;
  return DEFINITION_VALUE_OK;
}

int report_definition_process_view(const char *value, VIEW_OPTION **out) {
  *out = nullptr;
  VIEW_OPTION *head = nullptr;
  VIEW_OPTION **tail = &head;
  for (std::string_view item : split(value ? value : "", ' ')) {
    if (item.empty()) continue;
    int why = 0;
    VIEW_OPTION *v = make_view(split(item, '!'), &why);
    if (v == nullptr) {
      report_definition_free_view_options(head);
      return why == DEFINITION_VALUE_BAD_FIELD ? DEFINITION_VALUE_BAD_FIELD : DEFINITION_VALUE_OK;
    }
    *tail = v;
    tail = &v->next;
  }
  *out = head;
  return DEFINITION_VALUE_OK;
}

void report_definition_free_view_options(VIEW_OPTION *view) {
  while (view != nullptr) {
    VIEW_OPTION *next = view->next;
    free(view);  // the field ids share the node's allocation
    view = next;
  }
}

void report_definition_process_threshold(REPORT *rep, REPORT_DEFINITION *def, REPORT_GROUP *group,
                                         const char *value) {
  const char *colon = strchr(value, ':');
  if (colon == nullptr) {
    free_filter_rule(group->threshold);
    group->threshold = nullptr;
    return;
  }
  const std::string name(trim(std::string_view(value, colon - value)));
  const char *rule = ltrim(const_cast<char *>(colon + 1));
  if (name == "denied") {
    group->threshold = report_definition_filter_add_denied(group->threshold, rule);
    if (group->threshold == nullptr)
      status_add_error(rep, "Error 10152: (def) Invalid threshold filter for: %s", name.c_str());
    return;
  }
  int field = -1;
  for (const ThresholdName &t : kThresholdNames)
    if (name == t.name) field = t.field;
  if (field < 0 && all_digits(name) && is_field_id(leading_number(name)))
    field = static_cast<int>(leading_number(name));
  if (field < 0) {
    status_add_error(rep, "Error 10151: (def) Unknown threshold field: %s", name.c_str());
    return;
  }
  const int options = field == FIELD_SEARCHTERM ? FILTER_OPT_LOWER | FILTER_OPT_URLDECODE : 0;
  group->threshold = report_definition_add_filter(rule, group->threshold, field, def, rep, options);
  if (group->threshold == nullptr && !has_error(rep))
    status_add_error(rep, "Error 10150: (def) Invalid threshold filter for: %s", name.c_str());
}

int report_definition_process_catopt(const char *value) {
  std::vector<std::string_view> e = split(value ? value : "", ',');
  const unsigned low = static_cast<unsigned>(int_value(e[0])) & 0xFFu;
  const unsigned cat = e.size() > 1 ? static_cast<unsigned>(int_value(e[1])) : 0u;
  // Unsigned arithmetic: a huge category wraps instead of overflowing.
  return static_cast<int>(low + 256u * cat);
}

int report_definition_process_domain_definition(REPORT *rep, REPORT_DEFINITION *def,
                                                const char *value) {
  auto *d = new (std::nothrow) DOMAIN_DEFINITION;
  if (d == nullptr) {
    status_add_error(rep, "Error 10161: (def) Memory allocation error");
    return -1;
  }
  free_domain_definition(def->domain);
  def->domain = nullptr;
  if (value[0] == '|') {
    d->type = 1;
    for (std::string_view e : split(value + 1, ',')) {
      if (e == "*") {
        d->global_list = report_definition_get_domain_global_list(rep);
        continue;
      }
      if (d->list == nullptr && (d->list = urllist_initialize(0)) == nullptr) {
        status_add_error(rep, "Error 10162: (def) Memory allocation error");
        free_domain_definition(d);
        return -1;
      }
      const std::string entry(e);
      if (urllist_add(d->list, entry.c_str(), "U", "N", nullptr, 0) != 0) {
        status_add_error(rep, "Error 10164: (def) Could not all %s to domain list", entry.c_str());
        free_domain_definition(d);
        return -1;
      }
    }
    def->domain = d;
    return 0;
  }
  d->type = 2;
  def->domain = d;
  std::string pattern;
  const char *error = nullptr;
  if (value[0] == '/') {
    size_t j = 1;
    while (value[j] != '\0' && !(value[j] == '/' && value[j - 1] != '\\')) ++j;
    if (value[j] == '\0') {
      status_add_error(rep,
                       "Error 10158: (def) Invalid regular expression '%s' in the domain "
                       "definition (no closing slash)",
                       value);
      return 0;
    }
    pattern.assign(value + 1, j - 1);
    const char *rest = value + j + 1;
    if (*rest == '\\') ++rest;
    // Digits only: a capture group number is never negative.
    long long part = 0;
    for (; *rest >= '0' && *rest <= '9'; ++rest) part = part < INT_MAX / 10 ? part * 10 + (*rest - '0') : INT_MAX;
    d->regexp_part = static_cast<int>(part);
    error =
        "Error 10159: (def) Invalid regular expression '%s' in the domain definition (can not "
        "compile)";
  } else {
    pattern = value;
    error =
        "Error 10160: (def) Invalid regular expression '%s' in the domain definition (can not "
        "compile)";
  }
  if (report_definition_regcomp(&d->regexp, pattern.c_str(), REG_EXTENDED | REG_ICASE, &d->regexp_part) != 0) {
    status_add_error(rep, error, pattern.c_str());
    return 0;
  }
  d->regexp_set = true;
  return 0;
}

int report_definition_regcomp(regex_t *re, const char *pattern, int cflags, int *group) {
  return kxregex_compile(re, pattern, cflags, kRegexMaxNodes, group);
}

// --- Sections -------------------------------------------------------------------

int report_definition_interpret_general_section(REPORT *rep, REPORT_DEFINITION *def,
                                                std::span<char *const> lines, int first) {
  const int n = static_cast<int>(lines.size());
  for (int i = first; i < n; ++i) {
    char *line = lines[i];
    if (line[0] == '[') return i;
    char *key, *raw;
    if (!split_setting(line, &key, &raw)) continue;
    char *value = ltrim(raw);
    if (strcmp(key, "version") == 0) {
      if (int_value(value) != 1) {
        status_add_error(rep, "Error 10109: (def) Invalid report version");
        return -1;
      }
    } else if (strcmp(key, "language") == 0 || strcmp(key, "timezone") == 0) {
      char *copy = copy_text(value);
      if (copy == nullptr) {
        status_add_error(rep, "Error 10105: (def) Memory allocation error");
        return -1;
      }
      char **slot = key[0] == 'l' ? &def->lang : &def->tz;
      free(*slot);
      *slot = copy;
    } else if (strcmp(key, "emailtest") == 0) {
      def->email_test = 1;
    }
  }
  return n;
}

int report_definition_interpret_group_section(REPORT *rep, REPORT_DEFINITION *def,
                                              std::span<char *const> lines, int first,
                                              int group) {
  const int n = static_cast<int>(lines.size());
  REPORT_GROUP *g = def->group[group];
  auto bad_field = [&] {
    status_add_error(rep, "Error 10119: (def) Invalid field id, group %d", group + 1);
    return -1;
  };
  for (int i = first; i < n; ++i) {
    char *line = lines[i];
    if (line[0] == '[') return i;
    char *key, *raw;
    if (!split_setting(line, &key, &raw)) continue;
    char *value = ltrim(raw);
    if (strcmp(key, "type") == 0) {
      g->type = strcmp(raw, "SUMMARY") == 0 ? 1 : strcmp(raw, "DETAIL") == 0 ? 2 : 0;
    } else if (strcmp(key, "groupby") == 0) {
      long long v = leading_number(trim(value));
      if (!is_field_id(v)) return bad_field();
      g->groupby = static_cast<unsigned char>(v);
      if (g->groupby == FIELD_SEARCHTERM) rep->searchterms = report_definition_get_search_terms_list(rep);
    } else if (strcmp(key, "topk") == 0) {
      g->topk = int_value(value);
    } else if (strcmp(key, "catgroup") == 0) {
      g->catgroup = int_value(trim(value));
    } else if (strcmp(key, "summary") == 0 || strcmp(key, "details") == 0) {
      unsigned char *list = nullptr;
      int r = report_definition_process_field_arr(value, &list);
      if (r == DEFINITION_VALUE_BAD_FIELD) return bad_field();
      if (r != DEFINITION_VALUE_OK) continue;  // no list; the text stays as it was
      unsigned char **slot = key[0] == 's' ? &g->summary : &g->details;
      free(*slot);
      *slot = list;
      if (key[0] == 'd' && report_uses_search_terms(list))
        rep->searchterms = report_definition_get_search_terms_list(rep);
    } else if (strcmp(key, "orderby") == 0) {
      SORT_OPTION *opts = nullptr;
      int r = report_definition_process_field_orderby(value, &opts);
      if (r == DEFINITION_VALUE_BAD_FIELD) return bad_field();
      if (r != DEFINITION_VALUE_OK) continue;
      free(g->orderby);
      g->orderby = opts;
    } else if (strcmp(key, "view") == 0) {
      VIEW_OPTION *views = nullptr;
      int r = report_definition_process_view(value, &views);
      if (r == DEFINITION_VALUE_BAD_FIELD) return bad_field();
      report_definition_free_view_options(g->view);
      g->view = views;
    } else if (strcmp(key, "threshold") == 0) {
      report_definition_process_threshold(rep, def, g, value);
    } else if (strcmp(key, "catoption") == 0) {
      def->cats_group_option = report_definition_process_catopt(value);
    }
  }
  return n;
}

int report_definition_interpret_filter_section(REPORT *rep, REPORT_DEFINITION *def,
                                               std::span<char *const> lines, int first) {
  const int n = static_cast<int>(lines.size());
  for (int i = first; i < n; ++i) {
    char *line = lines[i];
    if (line[0] == '[') return i;
    char *key, *raw;
    if (!split_setting(line, &key, &raw)) continue;
    char *value = ltrim(raw);
    const int lineno = i + 1;
    const FilterKey *k = nullptr;
    for (const FilterKey &fk : kFilterKeys)
      if (strcmp(key, fk.key) == 0) k = &fk;
    int field = -1;
    int options = 0;
    const char *error = "Error 10165: (def) Filter invalid, line %d";
    if (k != nullptr) {
      field = k->field;
      options = k->options;
      error = k->error;
    } else if (all_digits(key)) {
      long long v = leading_number(key);
      if (!is_field_id(v)) {
        // A row has one-byte ids: a larger one could never match.
        free_filter_rule(def->filter);
        def->filter = nullptr;
        add_first_error(rep, error, lineno);
        return -1;
      }
      field = static_cast<int>(v);
    } else {
      if (!has_error(rep)) status_add_error(rep, "Error 10166: (def) Unknown filter field: %s", key);
      return -1;
    }
    FILTER_RULE *prev = def->filter;
    def->filter = nullptr;  // consumed by the rule readers, even on rejection
    FILTER_RULE *tree = options < 0
                            ? report_definition_filter_add_denied(prev, value)
                            : report_definition_add_filter(value, prev, field, def, rep, options);
    if (tree == nullptr) {
      add_first_error(rep, error, lineno);
      return -1;
    }
    def->filter = tree;
  }
  return n;
}

int report_definition_interpret_metadata_section(REPORT *rep, REPORT_DEFINITION *def,
                                                 std::span<char *const> lines, int first) {
  const int n = static_cast<int>(lines.size());
  for (int i = first; i < n; ++i) {
    char *line = lines[i];
    if (line[0] == '[') return i;
    char *key, *raw;
    if (!split_setting(line, &key, &raw)) continue;
    char *value = ltrim(raw);
    if (strcmp(key, "48") == 0) {
      if (report_definition_process_domain_definition(rep, def, value) != 0) return -1;
    } else if (strcmp(key, "52") == 0) {
      def->btime = int_value(value);
    }
  }
  return n;
}

// --- Validation -------------------------------------------------------------------

bool report_definition_detail_field_typed(unsigned field) {
  if (record_type_hint(field) != 0) return true;
  const RecordFieldInfo *info = record_field_info(field);
  return info != nullptr && info->macro != nullptr;
}

uint8_t report_definition_detail_type(REPORT *rep, unsigned field, uint8_t input_type, int group) {
  if (input_type != 0) return input_type;
  uint8_t hint = record_type_hint(field);
  if (PrintType(hint) == PTYPE_CATS) hint = 0x16;
  if (hint == 0)
    status_add_error(rep, "Error 10125: (def) Detail field %d has no type, group %d",
                     static_cast<int>(field), group);
  return hint;
}

int report_definition_validate_group_fields(REPORT *rep, REPORT_GROUP *group, int n, int last) {
  const bool continuous = rep->report_type == 3;
  if (group->type != 1 && group->type != 2) {
    status_add_error(rep, "Error 10118: (def) Invalid group type, group %d", n);
    return -1;
  }
  if (group->type == 1) {
    for (const unsigned char *f = group->summary; f && *f; ++f) {
      if (is_counter(*f)) continue;
      if (is_percent(*f)) {
        if (!continuous) continue;
        status_add_error(rep, "Error 10142: (def) Continuous reports cannot contain percent totals, group %d",
                         n);
        return -1;
      }
      status_add_error(rep, "Error 10122: (def) Invalid summary field, group %d", n);
      return -1;
    }
    if (continuous && (group->summary == nullptr || group->summary[0] == 0)) {
      status_add_error(rep, "Error 10123: (def) Missing Summary Info, group %d", n);
      return -1;
    }
    return 0;
  }
  if (group->details == nullptr || group->details[0] == 0) {
    status_add_error(rep, "Error 10126: (def) Missing detail field info, group %d", n);
    return -1;
  }
  if (continuous) {
    status_add_error(rep, "Error 10124: (def) Continuous reports cannot have detail groups, group %d", n);
    return -1;
  }
  if (!last) {
    status_add_error(rep, "Error 10127: (def) Detail group must be last in the group list, group %d", n);
    return -1;
  }
  for (const unsigned char *f = group->details; *f; ++f) {
    if (report_definition_detail_field_typed(*f)) continue;
    status_add_error(rep, "Error 10125: (def) Detail field %d has no type, group %d", *f, n);
    return -1;
  }
  return 0;
}

int report_definition_validate_group_orderby(REPORT *rep, REPORT_GROUP *group, int n) {
  if (group->orderby == nullptr || group->orderby[0].field == 0) return 0;
  if (rep->report_type == 3) {
    status_add_error(rep, "Error 10132: (def) Continuous reports cannot be ordered, group %d", n);
    return -1;
  }
  for (const SORT_OPTION *o = group->orderby; o->field != 0; ++o) {
    const bool dir_ok = o->order == 1 || o->order == -1;
    if (group->type != 1) {
      if (!dir_ok) {
        status_add_error(rep, "Error 10131: (def) Invalid orderby direction, group %d", n);
        return -1;
      }
      continue;
    }
    const unsigned f = o->field;
    const unsigned by = group->groupby;
    if (!is_counter(f) && !is_percent(f)) {
      if (by == 5 || by == 54 || by == 60 || by == 61) {
        if (f != 8 && f != 62) {
          status_add_error(rep, "Error 10141: (def) Invalid orderby field, group %d", n);
          return -1;
        }
      } else if (by >= 19 && by <= 30) {
        if (f != 7) {
          status_add_error(rep, "Error 10140: (def) Invalid orderby field, group %d", n);
          return -1;
        }
      } else if (f != by) {
        status_add_error(rep, "Error 10128: (def) Invalid orderby field, group %d", n);
        return -1;
      }
    }
    if (!dir_ok) {
      status_add_error(rep, "Error 10129: (def) Invalid orderby direction, group %d", n);
      return -1;
    }
  }
  return 0;
}

int check_for_relative_dates(const FILTER_RULE *tree) {
  return filter_tree_has_field(tree, FIELD_RELDATE) ? 0 : -1;
}

int check_for_absolute_dates(const FILTER_RULE *tree) {
  return filter_tree_has_field(tree, FIELD_DATE) ? 0 : -1;
}

// --- The whole text -----------------------------------------------------------------

namespace {

// Parse steps that may fail: true when the definition stands, false after
// an error was recorded.
bool interpret(REPORT *rep, const char *text, std::string &buf, std::vector<char *> &lines) {
  // 1. Lines, trimmed, NUL-terminated in a private copy of the text.
  try {
    buf.assign(text ? text : "");
    buf.push_back('\0');
    size_t start = 0;
    for (size_t i = 0; i < buf.size(); ++i) {
      if (buf[i] != '\n' && buf[i] != '\0') continue;
      buf[i] = '\0';
      char *line = ltrim(&buf[start]);
      rtrim(line);
      lines.push_back(line);
      start = i + 1;
    }
  } catch (const std::bad_alloc &) {
    status_add_error(rep, "Error 10104: (def) Memory allocation error");
    return false;
  }
  auto *def = new (std::nothrow) REPORT_DEFINITION;
  if (def == nullptr || (def->cat_filter = cat_new()) == nullptr) {
    delete def;
    status_add_error(rep, "Error 10105: (def) Memory allocation error");
    return false;
  }
  // 2. The groups.
  size_t ngroups = 0;
  for (const char *l : lines)
    if (strcmp(l, "[group]") == 0) ++ngroups;
  if (ngroups == 0) {
    free_report_definition(def);
    status_add_error(rep, "Error 10106: (def) No report groups found");
    return false;
  }
  def->group = static_cast<REPORT_GROUP **>(calloc(ngroups + 1, sizeof(REPORT_GROUP *)));
  if (def->group == nullptr) {
    free_report_definition(def);
    status_add_error(rep, "Error 10107: (def) Memory Allocation Error");
    return false;
  }
  for (size_t g = 0; g < ngroups; ++g) {
    if ((def->group[g] = new (std::nothrow) REPORT_GROUP) == nullptr) {
      free_report_definition(def);
      status_add_error(rep, "Error 10108: (def) Memory allocation error");
      return false;
    }
  }
  rep->def = def;
  // 3. The sections.
  const std::span<char *const> all(lines);
  const int n = static_cast<int>(lines.size());
  int group = 0;
  for (int i = 0; i < n;) {
    const char *l = lines[i];
    int r;
    if (strcmp(l, "[general]") == 0)
      r = report_definition_interpret_general_section(rep, def, all, i + 1);
    else if (strcmp(l, "[group]") == 0)
      r = report_definition_interpret_group_section(rep, def, all, i + 1, group++);
    else if (strcmp(l, "[static_filter]") == 0 || strcmp(l, "[dynamic_filter]") == 0)
      r = report_definition_interpret_filter_section(rep, def, all, i + 1);
    else if (strcmp(l, "[fields metadata precompiled]") == 0)
      r = report_definition_interpret_metadata_section(rep, def, all, i + 1);
    else {
      ++i;
      continue;
    }
    if (r < 0) return false;
    i = r;
  }
  // 4. Defaults.
  rep->default_cat = REPORT_DEFAULT_CATEGORY;
  if (def->lang == nullptr && (def->lang = copy_text("en_US")) == nullptr) {
    status_add_error(rep, "Error 10105: (def) Memory allocation error");
    return false;
  }
  // 5. An e-mail test needs nothing more.
  if (def->email_test) return true;
  // 6. Each group.
  for (size_t g = 0; g < ngroups; ++g) {
    REPORT_GROUP *grp = def->group[g];
    const int num = static_cast<int>(g + 1);
    if (report_definition_validate_group_fields(rep, grp, num, g + 1 == ngroups) != 0) return false;
    if (report_definition_validate_group_orderby(rep, grp, num) != 0) return false;
    if (grp->catgroup != 0 && rep->category_groups == nullptr) {
      grp->catgroup = 0;
      kxlog_send(4, "Report requires category group restriction but category group mapping is not found\n");
    }
  }
  // 7. Dates by kind.
  switch (rep->report_type) {
    case 1:
      if (def->filter == nullptr) {
        status_add_error(rep, "Error 10134: (def) Missing filter");
        return false;
      }
      if (check_for_relative_dates(def->filter) == 0) {
        status_add_error(rep, "Error 10135: (def) Demand reports cannot contain relative dates");
        return false;
      }
      break;
    case 2:
      if (check_for_absolute_dates(def->filter) == 0) {
        status_add_error(rep, "Error 10136: (def) Scheduled reports cannot contain absolute dates");
        return false;
      }
      break;
    case 3:
      if (check_for_absolute_dates(def->filter) == 0) {
        status_add_error(rep, "Error 10137: (def) Continuous reports cannot contain absolute dates");
        return false;
      }
      if (ngroups != 1) {
        status_add_error(rep, "Error 10138: (def) Too many groups found for continuous report");
        return false;
      }
      break;
  }
  return true;
}

}  // namespace

int report_definition_interpret_definition(REPORT *rep, const char *text) {
  if (rep == nullptr) return 0;
  free_report_definition(rep->def);
  rep->def = nullptr;
  std::string buf;
  std::vector<char *> lines;
  try {
    if (interpret(rep, text, buf, lines)) return -1;
  } catch (const std::bad_alloc &) {
    status_add_error(rep, "Error 10105: (def) Memory allocation error");
  }
  free_report_definition(rep->def);
  rep->def = nullptr;
  return 0;
}

// --- Definition objects ---------------------------------------------------------------

void free_report_definition(REPORT_DEFINITION *def) {
  if (def == nullptr) return;
  free_filter_rule(def->filter);
  if (def->group != nullptr) {
    for (REPORT_GROUP **g = def->group; *g != nullptr; ++g) free_group(*g);
    free(def->group);
  }
  free(def->lang);
  free(def->tz);
  free_domain_definition(def->domain);
  cat_free(def->cat_filter);
  delete def;
}

int report_definition_add_date_range(REPORT *rep) {
  if (rep == nullptr || rep->def == nullptr) return 0;
  auto *from = static_cast<uint64_t *>(malloc(sizeof(uint64_t)));
  auto *to = static_cast<uint64_t *>(malloc(sizeof(uint64_t)));
  if (from == nullptr || to == nullptr) {
    free(from);
    free(to);
    return 0;
  }
  *from = static_cast<uint64_t>(static_cast<int64_t>(rep->start));
  *to = static_cast<uint64_t>(static_cast<int64_t>(rep->end));
  FILTER_RULE *ge = new_filter_data_node(FILTER_GE, FIELD_DATE, from, FILTER_VALUE_NUMBER);
  FILTER_RULE *le = new_filter_data_node(FILTER_LE, FIELD_DATE, to, FILTER_VALUE_NUMBER);
  if (ge == nullptr || le == nullptr) {
    free_filter_rule(ge);
    free_filter_rule(le);
    return 0;
  }
  FILTER_RULE *range = new_filter_op_node(FILTER_AND, ge, le);
  if (range == nullptr) return 0;
  FILTER_RULE *old = rep->def->filter;
  if (old == nullptr) {
    rep->def->filter = range;
    return -1;
  }
  // The node is made over the range alone and the filter hung under it
  // after: a failed allocation must not release the report's filter.
  FILTER_RULE *top = new_filter_op_node(FILTER_AND, range, nullptr);
  if (top == nullptr) return 0;
  top->right = old;
  old->parent = top;
  rep->def->filter = top;
  return -1;
}

int report_definition_get_max_records(REPORT *rep) {
  if (rep == nullptr || rep->group_def == nullptr) return 0;
  long long best = 0;
  bool any = false;
  for (const VIEW_OPTION *v = rep->group_def->view; v != nullptr; v = v->next) {
    if (v->type == 6) continue;
    if (v->recs == 0) return 0;
    long long recs = v->trendfields ? 3LL * v->recs : v->recs;
    if (!any || recs > best) best = recs;
    any = true;
  }
  if (best > INT_MAX) return INT_MAX;
  if (best < INT_MIN) return INT_MIN;
  return static_cast<int>(best);
}
