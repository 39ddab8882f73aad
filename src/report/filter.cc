#include "src/report/filter.h"

#include "lib/base/kxregex.h"

#include <locale.h>
#include <stdint.h>
#include <strings.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/base64.h"
#include "lib/base/kxstring.h"
#include "lib/record/policyevent.h"
#include "lib/lists/mdburl.h"
#include "src/report/fields.h"
#include "src/report/period.h"
#include "src/report/report.h"
#include "src/report/reportlists.h"
#include "src/report/status.h"
#include "src/table/table.h"

namespace {

// --- What the filter needs of the report run -----------------------------

// Records a "(def)" error text in the run (arg fills a %s); no run: none.
void filter_glue_error(REPORT *rep, const char *format, const char *arg) {
  if (rep == nullptr) return;
  if (arg == nullptr) {
    status_add_error(rep, "%s", format);
    return;
  }
  std::string_view f(format);
  size_t at = f.find("%s");
  std::string text(f.substr(0, at));
  if (at != std::string_view::npos) {
    text += arg;
    text += f.substr(at + 2);
  }
  status_add_error(rep, "%s", text.c_str());
}

// A rule on the search terms needs the run's search-engine list.
void filter_glue_attach_search_terms(REPORT *rep) {
  if (rep != nullptr) rep->searchterms = report_definition_get_search_terms_list(rep);
}

// Replaces the definition's category filter with a copy of set.
bool filter_glue_set_cat_filter(REPORT_DEFINITION *def, const cat_t *set) {
  if (def == nullptr) return true;
  cat_t *copy = cat_dup(set);
  if (copy == nullptr) return false;
  cat_free(def->cat_filter);
  def->cat_filter = copy;
  return true;
}

// Local time of t in the run's zone; without a run, the process zone (read
// without TZ, so no other thread's zone can leak in).
bool filter_glue_localtime(REPORT *rep, time_t t, struct tm *out) {
  const report_tz &zone = rep != nullptr ? rep->zone : report_tz::process();
  return zone.localtime(t, out);
}

// The derived text of 32, 48, 53 or 70, computed on first use and stored in
// the row's own entry (or the derivation's per-thread scratch text).
const char *filter_glue_derived(REPORT *rep, RECORD *row, unsigned char *map, int field) {
  return field == FIELD_PROTOCOL ? nullptr : find_derived(rep, row, map, field);
}

// --- Value kinds by field ----------------------------------------------

enum field_kind { KIND_OTHER, KIND_NUMBER, KIND_ADDRESS, KIND_TEXT, KIND_CATEGORY, KIND_DENIED };

field_kind kind_of_field(int field) {
  switch (field) {
    case 7: case 31: case 33: case 34: case 35: case 36: case 43: case 44: case 45: case 63:
    case 9: case 10: case 11: case 12: case 13: case 14: case 15: case 16: case 17:
    case 52: case 65: case 66:
      return KIND_NUMBER;
    case 2: case 47: case 50:
      return KIND_ADDRESS;
    case 1: case 3: case 4: case 32: case 53: case 64: case 70:
      return KIND_TEXT;
    case 5: case 8: case 54: case 60: case 61: case 62:
      return KIND_CATEGORY;
    case 6:
      return KIND_DENIED;
    default:
      return KIND_OTHER;
  }
}

// Category numbers of one rule; more than this is not a list of categories.
constexpr size_t kMaxRuleCategories = 4096;

// Filters run on every record: past this many nodes (an alternation of some
// ten thousand domains), or where glibc's cost explodes, a pattern is
// refused (lib/base/kxregex.h).
constexpr long long kRegexMaxNodes = 1LL << 18;


// Expressions are compiled in the "C" locale of this thread only: matching
// is then byte by byte, whatever locale the daemon runs in, and glibc's
// regexec keeps no per-call buffers (in a multibyte locale it allocates
// wide-character copies of the text on every call).
locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

regex_t *compile_regex(const char *pattern) {
  auto *re = static_cast<regex_t *>(malloc(sizeof(regex_t)));
  if (re == nullptr) return nullptr;
  locale_t loc = c_locale();
  locale_t old = loc ? uselocale(loc) : static_cast<locale_t>(nullptr);
  int rc = kxregex_compile(re, pattern, REG_EXTENDED | REG_NOSUB, kRegexMaxNodes);
  if (loc) uselocale(old);
  if (rc != 0) {
    free(re);
    return nullptr;
  }
  return re;
}

void free_value(FILTER_RULE *r) {
  if (r->data == nullptr) return;
  switch (r->valuekind) {
    case FILTER_VALUE_REGEX:
      regfree(static_cast<regex_t *>(r->data));
      free(r->data);
      break;
    case FILTER_VALUE_CATEGORY:
      cat_free(static_cast<cat_t *>(r->data));
      break;
    default:
      free(r->data);
      break;
  }
  r->data = nullptr;
}

void free_node(FILTER_RULE *r) {
  free_value(r);
  free(r->filename_substr);
  delete r;
}

// --- Tree walks without recursion ---------------------------------------

// Evaluates the AND/OR tree below root with leaf(node) -> bool for leaves:
// an empty tree or side passes, AND stops at a false left side, OR at a true
// one. Walks by the parent links, so it needs no stack.
template <class Leaf>
int eval_tree(FILTER_RULE *root, Leaf &&leaf) {
  if (root == nullptr) return 1;
  FILTER_RULE *node = root;
  int v = 0;
  for (;;) {
    for (;;) {
      if (node->operation == FILTER_LEAF) {
        v = leaf(node) ? 1 : 0;
        break;
      }
      if (node->operation != FILTER_AND && node->operation != FILTER_OR) {
        v = 0;
        break;
      }
      if (node->left != nullptr) {
        node = node->left;
        continue;
      }
      if (node->operation == FILTER_OR || node->right == nullptr) {
        v = 1;
        break;
      }
      node = node->right;
    }
    bool descend = false;
    while (node != root) {
      FILTER_RULE *p = node->parent;
      if (p == nullptr) return v;
      if (node == p->left) {
        if (p->right == nullptr) {
          if (p->operation == FILTER_OR) v = 1;  // an empty right side passes
        } else if (p->operation == FILTER_AND ? v : !v) {
          node = p->right;
          descend = true;
          break;
        }
      }
      node = p;
    }
    if (!descend) return v;
  }
}

// --- Reading operands ---------------------------------------------------

// The whole token as an unsigned decimal; false for anything else (signs,
// blanks, trailing text, values past 64 bits).
bool parse_u64(const char *s, uint64_t *out) {
  if (s == nullptr || *s == '\0') return false;
  uint64_t v = 0;
  for (const char *p = s; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    unsigned d = static_cast<unsigned>(*p - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

// A number operand as the C library's unsigned conversion reads it: blanks
// around it, an optional sign (a minus negates in 64 bits, so a relative
// date of -86400 keeps its low 32 bits), then digits. Refused besides what
// strtoull refuses: text after the digits and values past 64 bits, which
// strtoull would cut silently.
bool parse_number_operand(const char *s, uint64_t *out) {
  if (s == nullptr) return false;
  while (isspace(static_cast<unsigned char>(*s))) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  std::string digits(s);
  while (!digits.empty() && isspace(static_cast<unsigned char>(digits.back()))) digits.pop_back();
  uint64_t v = 0;
  if (!parse_u64(digits.c_str(), &v)) return false;
  *out = negative ? 0 - v : v;
  return true;
}

bool is_decimal(const char *s) {
  uint64_t v;
  return parse_u64(s, &v);
}

// An address with an optional "/prefix" into an ipfilter (row form).
bool parse_address(const char *text, ipfilter *out) {
  std::string addr(text);
  std::string prefix;
  size_t slash = addr.find('/');
  bool has_prefix = slash != std::string::npos;
  if (has_prefix) {
    prefix = addr.substr(slash + 1);
    addr.resize(slash);
  }
  memset(out, 0, sizeof(*out));
  if (kxnet_aton(addr.c_str(), &out->ip) != 0) return false;
  if (out->ip.family != AF_INET && out->ip.family != AF_INET6) return false;
  if (out->ip.family == AF_INET) out->ip.addr.ip = ntohl(out->ip.addr.ip);
  if (!has_prefix) return true;
  uint64_t bits = 0;
  if (!parse_u64(prefix.c_str(), &bits) || bits == 0) return false;
  out->mask.family = out->ip.family;
  if (out->ip.family == AF_INET) {
    if (bits > 32) bits = 32;
    out->mask.addr.ip = bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits);
  } else {
    if (bits > 128) bits = 128;
    auto *m = reinterpret_cast<unsigned char *>(&out->mask.addr.ip6);
    for (int i = 0; i < 16; ++i) {
      int left = static_cast<int>(bits) - i * 8;
      m[i] = left >= 8 ? 0xFF : left <= 0 ? 0 : static_cast<unsigned char>(0xFF << (8 - left));
    }
  }
  return true;
}

bool parses_as_address(const char *text) {
  kx_ipaddr ip;
  return kxnet_aton(text, &ip) == 0;
}

// Category numbers separated by "," into a new set: reading stops at the
// first number not followed by ","; null for an empty list, a number past
// 32 bits, too many numbers or no memory.
cat_t *parse_categories(const char *list) {
  if (list == nullptr) return nullptr;
  cat_t *set = cat_new();
  if (set == nullptr) return nullptr;
  size_t count = 0;
  const char *p = list;
  while (*p >= '0' && *p <= '9') {
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<unsigned>(*p - '0');
      if (v > UINT32_MAX) {
        cat_free(set);
        return nullptr;
      }
      ++p;
    }
    if (++count > kMaxRuleCategories || cat_add(set, static_cast<uint32_t>(v)) != 0) {
      cat_free(set);
      return nullptr;
    }
    if (*p != ',') break;
    ++p;
  }
  if (set->num == 0) {
    cat_free(set);
    return nullptr;
  }
  return set;
}

// --- Operators ------------------------------------------------------------

enum op_token { OP_NONE = 0, OP_BETWEEN = 100, OP_OUTSIDE = 101 };

int recognise_operator(const char *tok) {
  static const struct {
    const char *text;
    int code;
  } whole[] = {{"<=", FILTER_LE}, {">=", FILTER_GE}, {"==", FILTER_EQ}, {"!=", FILTER_NE},
               {"!~", FILTER_NOMATCH}, {"!%", FILTER_NOTCONTAINS}, {"!?", FILTER_NOTWORD},
               {"!@", OP_OUTSIDE}};
  for (const auto &w : whole)
    if (strcmp(tok, w.text) == 0) return w.code;
  switch (tok[0]) {
    case '<': return FILTER_LT;
    case '>': return FILTER_GT;
    case '@': return OP_BETWEEN;
    case '%': return FILTER_CONTAINS;
    case '?': return FILTER_WORD;
    case '~': return FILTER_MATCH;
    case '&': return FILTER_CAT_ANY;
    case '$': return FILTER_CAT_NONE;
    default: return OP_NONE;
  }
}

bool is_order_op(int op) { return op >= FILTER_LT && op <= FILTER_NE; }
bool is_text_op(int op) {
  return is_order_op(op) || op == FILTER_CONTAINS || op == FILTER_NOTCONTAINS || op == FILTER_WORD ||
         op == FILTER_NOTWORD || op == FILTER_MATCH || op == FILTER_NOMATCH;
}

// Builds one value; null (nothing recorded) when it cannot be read, or with
// an error text recorded for an invalid expression or a failed decode.
struct value_builder {
  field_kind kind;
  int field;
  int options;
  REPORT *rep;

  FILTER_RULE *leaf(int code, const char *operand, bool pair) {
    switch (kind) {
      case KIND_NUMBER: {
        uint64_t v = 0;
        if (field == FIELD_TYPE && !pair) {
          int t = policyevent_aton(operand);
          if (t < 0) return nullptr;
          v = static_cast<uint64_t>(t);
        } else if (!parse_number_operand(operand, &v)) {
          return nullptr;
        }
        auto *p = static_cast<uint64_t *>(malloc(sizeof(uint64_t)));
        if (p == nullptr) return nullptr;
        *p = v;
        return new_filter_data_node(code, field, p, FILTER_VALUE_NUMBER);
      }
      case KIND_ADDRESS: {
        auto *f = static_cast<ipfilter *>(malloc(sizeof(ipfilter)));
        if (f == nullptr) return nullptr;
        if (!parse_address(operand, f)) {
          free(f);
          return nullptr;
        }
        return new_filter_data_node(code, field, f, FILTER_VALUE_ADDRESS);
      }
      case KIND_TEXT: {
        char *text = string_extract_from_quotes(operand);
        if (text == nullptr) return nullptr;
        if (code == FILTER_MATCH || code == FILTER_NOMATCH) {
          regex_t *re = compile_regex(text);
          if (re == nullptr) {
            filter_glue_error(rep, "Error 10153: (def) Invalid regular expression '%s' in the filter", text);
            free(text);
            return nullptr;
          }
          free(text);
          return new_filter_data_node(code, field, re, FILTER_VALUE_REGEX);
        }
        if (options & FILTER_OPT_URLDECODE) {
          char *decoded = kxurldecode(text);
          free(text);
          if (decoded == nullptr) {
            filter_glue_error(rep, pair ? "Error 10149: (def) Memory allocation error"
                                        : "Error 10148: (def) Memory allocation error",
                              nullptr);
            return nullptr;
          }
          text = decoded;
        }
        if (options & FILTER_OPT_LOWER) string_tolower(text);
        return new_filter_data_node(code, field, text, FILTER_VALUE_TEXT);
      }
      default:
        return nullptr;
    }
  }
};

// One rule text (without the joining to prev); null when rejected.
FILTER_RULE *parse_rule(const char *text, int field, REPORT_DEFINITION *def, REPORT *rep, int options) {
  if (text == nullptr) return nullptr;
  std::string buf(text);
  char **raw = string_explode_quotes(buf.data());
  if (raw == nullptr) return nullptr;
  std::vector<const char *> tokens;
  try {
    for (char **t = raw; *t != nullptr; ++t) {
      char *s = string_rtrim(string_ltrim(*t));
      if (*s != '\0') tokens.push_back(s);
    }
  } catch (const std::bad_alloc &) {
    free(raw);
    return nullptr;
  }
  FILTER_RULE *result = nullptr;
  auto reject = [&]() -> FILTER_RULE * {
    free_filter_rule(result);
    free(raw);
    return nullptr;
  };
  if (tokens.empty()) return reject();

  field_kind kind = kind_of_field(field);
  if (kind == KIND_DENIED) {
    // Field 6 takes only "TRUE" or "FALSE".
    if (tokens.size() != 1) return reject();
    result = report_definition_filter_add_denied(nullptr, tokens[0]);
    free(raw);
    return result;
  }
  if (kind == KIND_OTHER) {
    if (tokens.size() < 2) return reject();
    const char *second = tokens[1];
    if (second[0] == '"')
      kind = KIND_TEXT;
    else if (is_decimal(second))
      kind = KIND_NUMBER;
    else if (parses_as_address(second))
      kind = KIND_ADDRESS;
    else if (tokens[0][0] == '$' || tokens[0][0] == '&')
      kind = KIND_CATEGORY;
    else
      return reject();
  }
  if (kind == KIND_CATEGORY) {
    if (tokens.size() != 2 || (tokens[0][0] != '&' && tokens[0][0] != '$')) return reject();
    int op = tokens[0][0] == '&' ? FILTER_CAT_ANY : FILTER_CAT_NONE;
    result = report_definition_filter_add_cats(nullptr, tokens[1], op, def, field);
    free(raw);
    return result;
  }

  value_builder vb{kind, field, options, rep};
  size_t i = 0;
  while (i < tokens.size()) {
    int op = recognise_operator(tokens[i]);
    bool pair = op == OP_BETWEEN || op == OP_OUTSIDE;
    bool allowed = pair || (kind == KIND_TEXT ? is_text_op(op) : is_order_op(op));
    if (!allowed) return reject();
    size_t count = pair ? 2 : 1;
    if (i + count >= tokens.size()) return reject();
    for (size_t k = 1; k <= count; ++k) {
      bool quoted = tokens[i + k][0] == '"';
      if (quoted != (kind == KIND_TEXT)) return reject();
    }
    FILTER_RULE *term = nullptr;
    if (pair) {
      int first = op == OP_BETWEEN ? FILTER_GE : FILTER_LT;
      int second = op == OP_BETWEEN ? FILTER_LE : FILTER_GT;
      FILTER_RULE *a = vb.leaf(first, tokens[i + 1], true);
      if (a == nullptr) return reject();
      FILTER_RULE *b = vb.leaf(second, tokens[i + 2], true);
      if (b == nullptr) {
        free_filter_rule(a);
        return reject();
      }
      term = new_filter_op_node(op == OP_BETWEEN ? FILTER_AND : FILTER_OR, a, b);
    } else {
      term = vb.leaf(op, tokens[i + 1], false);
    }
    if (term == nullptr) return reject();
    // Later terms go on the left of the OR.
    result = report_definition_add_to_filter(result, term, FILTER_OR);
    if (result == nullptr) {
      free(raw);
      return nullptr;
    }
    i += 1 + count;
  }
  free(raw);
  if (field == FIELD_SEARCHTERM) filter_glue_attach_search_terms(rep);
  return result;
}

// --- Evaluation -----------------------------------------------------------

const Record *present(const Record *row, const unsigned char *map, int id) {
  const Record *e = row + map[id & 0xFF];
  return (e->type == id && e->data != nullptr) ? e : nullptr;
}

// The value of an integer field (storage 1 to 4, or a one-byte value).
bool row_uint(const Record *e, uint64_t *out) {
  unsigned st = StorageType(e->datatype);
  if (st & STORT_BYTE_FLAG) st = STORT_INT8;
  switch (st) {
    case STORT_INT8: {
      uint8_t v;
      memcpy(&v, e->data, 1);
      *out = v;
      return true;
    }
    case STORT_INT16: {
      uint16_t v;
      memcpy(&v, e->data, 2);
      *out = v;
      return true;
    }
    case STORT_INT32: {
      uint32_t v;
      memcpy(&v, e->data, 4);
      *out = v;
      return true;
    }
    case STORT_INT64: {
      uint64_t v;
      memcpy(&v, e->data, 8);
      *out = v;
      return true;
    }
    default:
      return false;
  }
}

// Bits of the results (less, equal, greater) for which codes 1 to 6 are
// true; other codes are true for none.
uint8_t order_mask_of(int code) {
  switch (code) {
    case FILTER_LT: return 1;
    case FILTER_LE: return 3;
    case FILTER_EQ: return 2;
    case FILTER_GE: return 6;
    case FILTER_GT: return 4;
    case FILTER_NE: return 5;
    default: return 0;
  }
}

// Whether the leaf's operator (codes 1 to 6) holds for a row value a
// against the leaf's value b.
template <class T>
bool order_holds(const FILTER_RULE *leaf, T a, T b) {
  return (leaf->order_mask >> ((a >= b) + (a > b))) & 1;
}

#if defined(__SSE2__)
// The sixteen bytes from p, which may run past the text's NUL but not into
// the next page; as text_block, unwatched.
[[gnu::no_sanitize_address]] inline __m128i text_bytes(const char *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline __m128i leaf_bytes(const unsigned char *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }
#endif

// Makes the leaf's search tables of its text value (filter.h).
void resolve_find(FILTER_RULE *r) {
  r->text_len = 0;
  r->find_mask = 0;
  memset(r->find_first, 0, sizeof r->find_first);
  memset(r->find_second, 0, sizeof r->find_second);
  memset(r->find_head, 0, sizeof r->find_head);
  if (r->valuekind != FILTER_VALUE_TEXT || r->data == nullptr) return;
  const char *v = static_cast<const char *>(r->data);
  r->text_len = strlen(v);
  size_t head = std::min<size_t>(r->text_len, sizeof r->find_head);
  memcpy(r->find_head, v, head);
  r->find_mask = (1u << head) - 1;
  memset(r->find_first, v[0], sizeof r->find_first);
  memset(r->find_second, r->text_len > 1 ? v[1] : 0, sizeof r->find_second);
}

// Whether the text at t starts with the leaf's text value. Its first
// sixteen bytes are compared at once unless that would read into the next
// page: a byte read past the text's NUL cannot make a match, since the NUL
// already differs from the value's byte there.
inline bool starts_with_value(const FILTER_RULE *leaf, const char *t) {
  const char *v = static_cast<const char *>(leaf->data);
  size_t i = 0;
#if defined(__SSE2__)
  if ((reinterpret_cast<uintptr_t>(t) & 4095) <= 4096 - 16) {
    if ((byte_bits(text_bytes(t), leaf_bytes(leaf->find_head)) & leaf->find_mask) != leaf->find_mask) return false;
    i = std::min<size_t>(leaf->text_len, 16);
  }
#endif
  while (i < leaf->text_len && t[i] == v[i]) ++i;
  return i == leaf->text_len;
}

// The first place in the NUL-terminated text s where the leaf's text value
// starts, or null: strstr's result without its per-call study of the
// value. Sixteen bytes at a step; a place is tried only where the value's
// first two bytes are.
const char *find_text(const FILTER_RULE *leaf, const char *s) {
  size_t n = leaf->text_len;
  if (n == 0) return s;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i c0 = leaf_bytes(leaf->find_first), c1 = leaf_bytes(leaf->find_second);
  const uintptr_t skip = reinterpret_cast<uintptr_t>(s) & 15;
  const char *p = s - skip;
  unsigned live = 0xFFFFu << skip;  // the block's bytes from s on
  for (;;) {
    const __m128i block = text_block(p);
    unsigned nul = byte_bits(block, zero) & live;
    unsigned at = byte_bits(block, c0) & live;
    // A place whose second byte opens the next block is tried as it is.
    if (n > 1) at &= (byte_bits(block, c1) >> 1) | 0x8000u;
    if (nul) at &= (nul & (0u - nul)) - 1;
    for (; at != 0; at &= at - 1) {
      const char *t = p + __builtin_ctz(at);
      if (starts_with_value(leaf, t)) return t;
    }
    if (nul) return nullptr;
    p += 16;
    live = 0xFFFFu;
  }
#else
  return strstr(s, static_cast<const char *>(leaf->data));
#endif
}

bool is_word_separator(char c) { return c != '\0' && strchr("./?=&+ ", c) != nullptr; }

// Each search starts one character past the start of the previous
// occurrence: an occurrence that overlaps one that does not count ("a.a" in
// "xa.a.a") is still found.
bool word_occurs(const FILTER_RULE *leaf, const char *text) {
  size_t wl = leaf->text_len;
  const char *p = text;
  while ((p = find_text(leaf, p)) != nullptr) {
    bool starts = p == text || is_word_separator(p[-1]);
    bool ends = p[wl] == '\0' || is_word_separator(p[wl]);
    if (starts && ends) return true;
    if (*p == '\0') break;
    ++p;
  }
  return false;
}

// How a leaf tests a text, by its operator and the kind of its value.
enum text_test : uint8_t {
  TEXT_NEVER = 0,    // no operator that applies to the value: false
  TEXT_ORDER,        // codes 1 to 6
  TEXT_CONTAINS,     // 7
  TEXT_NOTCONTAINS,  // 12
  TEXT_WORD,         // 13
  TEXT_NOTWORD,      // 14
  TEXT_MATCH,        // 10
  TEXT_NOMATCH,      // 11
};

text_test text_test_of(const FILTER_RULE *r) {
  int code = r->comparetype;
  if (r->valuekind == FILTER_VALUE_REGEX)
    return code == FILTER_MATCH ? TEXT_MATCH : code == FILTER_NOMATCH ? TEXT_NOMATCH : TEXT_NEVER;
  if (r->valuekind != FILTER_VALUE_TEXT || r->data == nullptr) return TEXT_NEVER;
  switch (code) {
    case FILTER_CONTAINS: return TEXT_CONTAINS;
    case FILTER_NOTCONTAINS: return TEXT_NOTCONTAINS;
    case FILTER_WORD: return TEXT_WORD;
    case FILTER_NOTWORD: return TEXT_NOTWORD;
    default: return order_mask_of(code) != 0 ? TEXT_ORDER : TEXT_NEVER;
  }
}

inline bool text_order(const FILTER_RULE *leaf, const char *s) {
  const char *v = static_cast<const char *>(leaf->data);
  // Most rows differ from the value in the first byte.
  auto a = static_cast<unsigned char>(s[0]), b = static_cast<unsigned char>(v[0]);
  int c = a != b || a == 0 ? a - b : strcmp(s, v);
  return order_holds(leaf, c, 0);
}

bool text_leaf(const FILTER_RULE *leaf, const char *s) {
  switch (leaf->text) {
    case TEXT_ORDER: return text_order(leaf, s);
    case TEXT_CONTAINS: return find_text(leaf, s) != nullptr;
    case TEXT_NOTCONTAINS: return find_text(leaf, s) == nullptr;
    case TEXT_WORD: return word_occurs(leaf, s);
    case TEXT_NOTWORD: return !word_occurs(leaf, s);
    case TEXT_MATCH: case TEXT_NOMATCH: {
      bool m = regexec(static_cast<const regex_t *>(leaf->data), s, 0, nullptr, 0) == 0;
      return m == (leaf->text == TEXT_MATCH);
    }
    default: return false;
  }
}

// The row's value against the leaf's number (already cut for 7 and 33 to
// 35), cut further to rule_mask.
// The row's value against the leaf's interval (resolve_interval).
inline bool number_leaf(const FILTER_RULE *leaf, uint64_t row_value) {
  return (row_value - leaf->number_from <= leaf->number_span) != leaf->number_outside;
}

// As above with the leaf's number cut to rule_mask first. A leaf whose value
// is not a number has no order_mask.
bool number_leaf(const FILTER_RULE *leaf, uint64_t row_value, uint64_t rule_mask) {
  return order_holds(leaf, row_value, leaf->number & rule_mask);
}

// The values a number leaf's operator holds for (codes 1 to 6 against the
// leaf's number), as one interval or, for "!=", all but one: a row's value
// then costs one comparison. No operator gives the empty set.
void resolve_interval(FILTER_RULE *r) {
  const uint64_t b = r->number;
  const uint8_t m = r->order_mask;
  r->number_outside = false;
  if (m == 5) {  // less or greater
    r->number_from = b;
    r->number_span = 0;
    r->number_outside = true;
    return;
  }
  bool any = false;
  uint64_t from = 0, to = 0;
  if ((m & 1) && b > 0) {
    to = b - 1;
    any = true;
  }
  if (m & 2) {
    if (!any) from = b;
    to = b;
    any = true;
  }
  if ((m & 4) && b < UINT64_MAX) {
    if (!any) from = b + 1;
    to = UINT64_MAX;
    any = true;
  }
  if (!any) {  // nothing: outside of everything
    from = 0;
    to = UINT64_MAX;
    r->number_outside = true;
  }
  r->number_from = from;
  r->number_span = to - from;
}

// An address of a row (kx_ipaddr, or a 4-byte host-order value of an old
// table) against an ipfilter.
bool address_leaf(const FILTER_RULE *leaf, const Record *e) {
  if (leaf->valuekind != FILTER_VALUE_ADDRESS) return false;
  const auto *f = static_cast<const ipfilter *>(leaf->data);
  kx_ipaddr row{};
  unsigned st = StorageType(e->datatype);
  if (st == STORT_IPADDR) {
    memcpy(&row, e->data, sizeof(row));
  } else if (st == STORT_INT32) {
    row.family = AF_INET;
    memcpy(&row.addr.ip, e->data, 4);
  } else {
    return false;
  }
  int c;
  if (row.family == AF_INET && f->ip.family == AF_INET6) {
    c = -1;
  } else if (row.family == AF_INET6 && f->ip.family == AF_INET) {
    c = 1;
  } else if (row.family == AF_INET && f->ip.family == AF_INET) {
    uint32_t a = row.addr.ip, b = f->ip.addr.ip;
    if (f->mask.family != 0) {
      a &= f->mask.addr.ip;
      b &= f->mask.addr.ip;
    }
    c = a < b ? -1 : a > b ? 1 : 0;
  } else if (row.family == AF_INET6 && f->ip.family == AF_INET6) {
    const auto *a = reinterpret_cast<const unsigned char *>(&row.addr.ip6);
    const auto *b = reinterpret_cast<const unsigned char *>(&f->ip.addr.ip6);
    const auto *m = reinterpret_cast<const unsigned char *>(&f->mask.addr.ip6);
    bool masked = f->mask.family != 0;
    c = 0;
    for (int i = 0; i < 16 && c == 0; ++i) {
      unsigned x = a[i], y = b[i];
      if (masked) {
        if (m[i] == 0) break;
        x &= m[i];
        y &= m[i];
      }
      c = x < y ? -1 : x > y ? 1 : 0;
    }
  } else {
    return false;
  }
  return order_holds(leaf, c, 0);
}

// Whether n is in the leaf's category set: numbers below 256 by the bits
// made with the leaf.
bool category_in_set(const FILTER_RULE *leaf, uint32_t n) {
  if (n < 256) return (leaf->cat_low[n >> 6] >> (n & 63)) & 1;
  return leaf->cat_wide && cat_has(static_cast<const cat_t *>(leaf->data), n) != 0;
}

// A category leaf's verdicts (filter.h: `verdicts`): "&" is true when a
// number is in the set, "$" when none is; any other operator or value kind
// is false either way.
uint8_t category_verdicts(const FILTER_RULE *r) {
  if (r->valuekind != FILTER_VALUE_CATEGORY) return 0;
  return r->comparetype == FILTER_CAT_ANY ? 2 : r->comparetype == FILTER_CAT_NONE ? 1 : 0;
}

// Inlined into the evaluator's loop, as text_leaf.
inline __attribute__((always_inline)) bool category_list_leaf(const FILTER_RULE *leaf, const Record *e) {
  if (leaf->verdicts == 0 || StorageType(e->datatype) != STORT_STR) return false;
  bool any = cat_for_each_listed(static_cast<const char *>(e->data), PrintType(e->datatype) == PTYPE_STRING,
                                 [leaf](uint32_t n) { return category_in_set(leaf, n); });
  return (leaf->verdicts >> any) & 1;
}

bool category_number_leaf(const FILTER_RULE *leaf, uint64_t n) {
  if (leaf->verdicts == 0 || n > UINT32_MAX) return false;
  return (leaf->verdicts >> category_in_set(leaf, static_cast<uint32_t>(n))) & 1;
}

// A denied-flag leaf's verdicts: the flag (any non-zero value is 1) against
// the leaf's 0 or 1 with "==" or "!="; any other operator or value kind is
// false either way.
uint8_t denied_verdicts(const FILTER_RULE *r) {
  if (r->valuekind != FILTER_VALUE_DENIED || r->data == nullptr) return 0;
  uint8_t v = *static_cast<const uint8_t *>(r->data);
  uint8_t same = static_cast<uint8_t>((v == 0 ? 1 : 0) | (v == 1 ? 2 : 0));
  return r->comparetype == FILTER_EQ ? same : r->comparetype == FILTER_NE ? static_cast<uint8_t>(~same & 3) : 0;
}

// Daytime, weekday or month day of a request time in the report's zone (the
// process zone without a report). A leaf keeps the local day of its last
// conversion: inside it the daytime is the distance from its start and the
// weekday and month day do not change.
// Converts t and keeps its local day in the leaf; false when the
// conversion fails. Out of line: a day of rows calls it once.
[[gnu::noinline]] bool time_part_convert(FILTER_RULE *leaf, REPORT *rep, int64_t t, int64_t *out) {
  struct tm tm{};
  if (!filter_glue_localtime(rep, static_cast<time_t>(t), &tm)) return false;
  int64_t from = t - (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
  const report_tz &zone = rep != nullptr ? rep->zone : report_tz::process();
  // A day with an offset change is not 86400 seconds of one clock: only
  // this second is kept then.
  bool steady = zone.gmtoff(static_cast<time_t>(from)) == tm.tm_gmtoff &&
                zone.gmtoff(static_cast<time_t>(from + 86399)) == tm.tm_gmtoff;
  leaf->day_from = steady ? from : t;
  leaf->day_to = steady ? from + 86400 : t + 1;
  leaf->cached_part = leaf->datatype == FIELD_WEEKDAY ? tm.tm_wday : tm.tm_mday;
  if (!steady && leaf->datatype == FIELD_DAYTIME) leaf->cached_part = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  *out = leaf->datatype == FIELD_DAYTIME && steady ? t - from : leaf->cached_part;
  return true;
}

inline bool time_part(FILTER_RULE *leaf, REPORT *rep, int64_t t, int64_t *out) {
  if (t < leaf->day_from || t >= leaf->day_to) return time_part_convert(leaf, rep, t, out);
  if (leaf->datatype == FIELD_DAYTIME)
    *out = leaf->day_to - leaf->day_from == 1 ? leaf->cached_part : t - leaf->day_from;
  else
    *out = leaf->cached_part;
  return true;
}

int source_field(int field) {
  switch (field) {
    case 32: case 48: case 53: return FIELD_URI;
    case 43: case 44: case 45: return FIELD_DATE;
    case 54: case 60: case 61: return FIELD_CATS;
    case 70: return FIELD_DATA;
    default: return 0;
  }
}

// How a leaf tests a row, by its field.
enum leaf_test : uint8_t {
  TEST_BY_STORAGE = 0,  // any other field: by the row's storage type and the value's kind
  TEST_PASS,            // 59
  TEST_ORDER,           // 36: the row number
  TEST_TEXT,            // 1, 3, 4 (by the text test)
  TEST_TEXT_ORDER,      // ... with codes 1 to 6
  TEST_TEXT_FIND,       // ... with codes 7 and 12 (`verdicts`: found or not)
  TEST_DERIVED,         // 32, 48, 53, 70
  TEST_ADDRESS,         // 2, 47, 50
  TEST_CATEGORY_LIST,   // 5, 54, 60, 61
  TEST_CATEGORY,        // 8, 62
  TEST_DENIED,          // 6
  TEST_DATE,            // 7
  TEST_TIME_PART,       // 43, 44, 45
  TEST_PERCENT,         // 33, 34, 35
  TEST_NUMBER,          // the other number and counter fields
  TEST_VERDICT_PASS,    // not a leaf: where a row passes
  TEST_VERDICT_FAIL,    // ... and where it fails
};

leaf_test test_of_field(int field) {
  switch (field) {
    case FIELD_LOGFILE_TAG: return TEST_PASS;
    case FIELD_ORDER: return TEST_ORDER;
    case FIELD_URI: case FIELD_USER: case FIELD_GROUP: return TEST_TEXT;
    case FIELD_URIHOST: case FIELD_URIDOMAIN: case FIELD_SEARCHTERM: case FIELD_DATAWORDS: return TEST_DERIVED;
    case FIELD_IP: case FIELD_DST_IP: case FIELD_PEER_IP: return TEST_ADDRESS;
    case FIELD_CATS: case FIELD_ALL_CATS: case FIELD_CATSNUM: case FIELD_ALLCATSNUM: return TEST_CATEGORY_LIST;
    case FIELD_CAT: case FIELD_CATNUM: return TEST_CATEGORY;
    case FIELD_DENIED_FLAG: return TEST_DENIED;
    case FIELD_DATE: return TEST_DATE;
    case FIELD_DAYTIME: case FIELD_WEEKDAY: case FIELD_MONTHDAY: return TEST_TIME_PART;
    case FIELD_REQUESTCOUNTPERCENT: case FIELD_PAGESCOUNTPERCENT: case FIELD_FILESCOUNTPERCENT: return TEST_PERCENT;
    default: return kind_of_field(field) == KIND_NUMBER ? TEST_NUMBER : TEST_BY_STORAGE;
  }
}

// Resolves what a leaf's tests need from its field, operator and value.
void resolve_leaf(FILTER_RULE *r) {
  r->number = 0;
  r->cat_wide = false;
  for (uint64_t &bits : r->cat_low) bits = 0;
  r->test = test_of_field(r->datatype);
  r->source = static_cast<uint8_t>(source_field(r->datatype));
  r->text = text_test_of(r);
  resolve_find(r);
  r->verdicts = r->test == TEST_DENIED ? denied_verdicts(r) : category_verdicts(r);
  if (r->test == TEST_TEXT && r->text == TEXT_ORDER) r->test = TEST_TEXT_ORDER;
  if (r->test == TEST_TEXT && (r->text == TEXT_CONTAINS || r->text == TEXT_NOTCONTAINS)) {
    r->test = TEST_TEXT_FIND;
    r->verdicts = r->text == TEXT_CONTAINS ? 2 : 1;
  }
  // Leaves that compare numbers need a number to compare with.
  bool numbers = r->test == TEST_ORDER || r->test == TEST_DATE || r->test == TEST_TIME_PART ||
                 r->test == TEST_NUMBER || r->test == TEST_PERCENT;
  r->order_mask = numbers && r->valuekind != FILTER_VALUE_NUMBER ? 0 : order_mask_of(r->comparetype);
  if (r->valuekind == FILTER_VALUE_NUMBER && r->data != nullptr) {
    r->number = *static_cast<const uint64_t *>(r->data);
    if (r->test == TEST_DATE || r->test == TEST_PERCENT) r->number &= 0xFFFFFFFFu;
  }
  resolve_interval(r);
  if (r->valuekind == FILTER_VALUE_CATEGORY && r->data != nullptr) {
    const auto *set = static_cast<const cat_t *>(r->data);
    for (uint32_t i = 0; i < set->num; ++i) {
      uint32_t n = set->catnums[i];
      if (n < 256)
        r->cat_low[n >> 6] |= uint64_t{1} << (n & 63);
      else
        r->cat_wide = true;
    }
  }
}

struct eval_ctx {
  REPORT *rep;
  RECORD *row;
  unsigned char *map;
  const int64_t *totals;
  int64_t rownum;
  int partial;
  // The number the last date, time-part or number leaf read from the row
  // (or that it had none, `read_ok` false, with the verdict `read_none`):
  // a range's second leaf on the same field reads it again for nothing.
  int read_field = -1;
  bool read_ok = false;
  bool read_none = false;
  uint64_t read_value = 0;

  // The row's entry of the leaf's field, else of its source field; null
  // when the row has neither.
  const Record *entry(const FILTER_RULE *leaf) const {
    if (const Record *e = present(row, map, leaf->datatype)) return e;
    return leaf->source != 0 ? present(row, map, leaf->source) : nullptr;
  }

  // The number a date (7), time-part (43 to 45) or number leaf compares;
  // false with *none the leaf's verdict when there is none.
  bool read_number(FILTER_RULE *leaf, uint64_t *out, bool *none) {
    int field = leaf->datatype;
    *none = false;
    const Record *e = entry(leaf);
    if (e == nullptr) {
      *none = partial != 0;
      return false;
    }
    uint64_t t;
    if (leaf->test == TEST_TIME_PART && e->type != FIELD_DATE && e->type != field) return false;
    if (!row_uint(e, &t)) return false;
    if (leaf->test == TEST_DATE) {
      *out = t & 0xFFFFFFFFu;
    } else if (leaf->test == TEST_TIME_PART && e->type != field) {
      int64_t part;
      if (!time_part(leaf, rep, static_cast<int64_t>(t & 0xFFFFFFFFu), &part)) return false;
      *out = static_cast<uint64_t>(part);
    } else {
      *out = t;
    }
    return true;
  }

  // Follows the links from leaf to a verdict: each leaf is one jump on its
  // test, resolved when the tree was linked.
  [[gnu::always_inline]] int run(FILTER_RULE *leaf) {
    for (;;) {
      bool v;
      switch (leaf->test) {
        case TEST_VERDICT_FAIL:
          return 0;
        case TEST_VERDICT_PASS:
          return 1;
        case TEST_PASS:
          v = true;
          break;
        case TEST_ORDER:
          v = number_leaf(leaf, static_cast<uint64_t>(rownum));
          break;
        case TEST_DATE: case TEST_TIME_PART: case TEST_NUMBER:
          if (leaf->datatype != read_field) {
            read_field = leaf->datatype;
            read_ok = read_number(leaf, &read_value, &read_none);
          }
          v = read_ok ? number_leaf(leaf, read_value) : read_none;
          break;
        // The tests of one entry of the row: the most common here, the
        // others out of line.
        case TEST_TEXT_ORDER:
          if (const Record *e = entry(leaf))
            v = StorageType(e->datatype) == STORT_STR && text_order(leaf, static_cast<const char *>(e->data));
          else
            v = partial != 0;
          break;
        case TEST_TEXT_FIND:
          if (const Record *e = entry(leaf))
            v = StorageType(e->datatype) == STORT_STR &&
                ((leaf->verdicts >> (find_text(leaf, static_cast<const char *>(e->data)) != nullptr)) & 1);
          else
            v = partial != 0;
          break;
        case TEST_CATEGORY_LIST:
          if (const Record *e = entry(leaf))
            v = category_list_leaf(leaf, e);
          else
            v = partial != 0;
          break;
        case TEST_DENIED:
          if (const Record *e = entry(leaf)) {
            uint64_t n;
            v = row_uint(e, &n) && ((leaf->verdicts >> (n != 0)) & 1);
          } else {
            v = partial != 0;
          }
          break;
        case TEST_BY_STORAGE: case TEST_TEXT: case TEST_DERIVED: case TEST_ADDRESS: case TEST_CATEGORY:
        case TEST_PERCENT:
          if (const Record *e = entry(leaf))
            v = test_entry(rep, row, map, totals, leaf, e);
          else
            v = partial != 0;
          break;
        default:
          // Every node reached was resolved when the tree was linked; the
          // jump needs no bounds check.
          __builtin_unreachable();
      }
      leaf = v ? leaf->on_true : leaf->on_false;
    }
  }

  // The other leaves that test one entry of the row (their field's or
  // their source field's). Static, so that the evaluation's state need not
  // leave its registers for them.
  [[gnu::noinline]] static bool test_entry(REPORT *rep, RECORD *row, unsigned char *map, const int64_t *totals,
                                           FILTER_RULE *leaf, const Record *e) {
    switch (leaf->test) {
      case TEST_TEXT:
        return StorageType(e->datatype) == STORT_STR && text_leaf(leaf, static_cast<const char *>(e->data));
      case TEST_DERIVED: {
        const char *s = filter_glue_derived(rep, row, map, leaf->datatype);
        return s != nullptr && text_leaf(leaf, s);
      }
      case TEST_ADDRESS:
        return address_leaf(leaf, e);
      case TEST_CATEGORY: {
        uint64_t n;
        return row_uint(e, &n) && category_number_leaf(leaf, n);
      }
      case TEST_PERCENT: {
        uint64_t count;
        if (!row_uint(e, &count)) return false;
        int64_t total = totals != nullptr ? totals[map[leaf->datatype]] : 0;
        uint64_t pct = total > 0 ? static_cast<uint64_t>(static_cast<unsigned __int128>(count) * 100 /
                                                         static_cast<uint64_t>(total))
                                 : 0;
        return number_leaf(leaf, pct);
      }
      default:
        break;
    }
    // Any other field: by the row's storage type and the rule's kind.
    unsigned st = StorageType(e->datatype);
    if (st & STORT_BYTE_FLAG) st = STORT_INT8;
    switch (leaf->valuekind) {
      case FILTER_VALUE_NUMBER: {
        uint64_t n;
        if (st < STORT_INT8 || st > STORT_INT64 || !row_uint(e, &n)) return false;
        static const uint64_t width[] = {0, 0xFF, 0xFFFF, 0xFFFFFFFFu, UINT64_MAX};
        return number_leaf(leaf, n, width[st]);
      }
      case FILTER_VALUE_TEXT: case FILTER_VALUE_REGEX:
        return st == STORT_STR && text_leaf(leaf, static_cast<const char *>(e->data));
      case FILTER_VALUE_ADDRESS:
        return st == STORT_IPADDR && address_leaf(leaf, e);
      case FILTER_VALUE_CATEGORY: {
        if (st == STORT_STR) return category_list_leaf(leaf, e);
        uint64_t n;
        return row_uint(e, &n) && category_number_leaf(leaf, n);
      }
      default:
        return false;
    }
  }
};

FILTER_RULE verdict_node(leaf_test test) {
  FILTER_RULE r;
  r.test = test;
  return r;
}

// The verdicts a leaf's link can lead to.
FILTER_RULE pass_node = verdict_node(TEST_VERDICT_PASS), fail_node = verdict_node(TEST_VERDICT_FAIL);

// Links the tree below root for short-circuit evaluation: each node's
// on_true/on_false are where evaluation goes once it is true or false (a
// leaf, or a verdict), `entry` the first leaf it evaluates. The right side of
// a node is linked before its left, whose links lead into it; the walk goes
// by the parent links, without recursion. Leaves are resolved here, so what
// was changed in them before (relative dates made absolute) counts. Ancestors of root forget their
// links, which led through root's leaves.
void link_tree(FILTER_RULE *root) {
  for (FILTER_RULE *a = root->parent; a != nullptr; a = a->parent) a->linked_for = nullptr;
  root->on_true = &pass_node;
  root->on_false = &fail_node;
  FILTER_RULE *node = root;
  for (;;) {
    // Arrived at node with its on_true/on_false set: go down if it has a
    // side to link first.
    node->linked_for = root;
    FILTER_RULE *down = nullptr;
    if (node->operation == FILTER_LEAF) {
      resolve_leaf(node);
      node->entry = node;
    } else if (node->operation != FILTER_AND && node->operation != FILTER_OR) {
      node->entry = node->on_false;
    } else if (node->operation == FILTER_OR && node->left == nullptr) {
      node->entry = node->on_true;  // an empty left side of OR passes
    } else if (node->right != nullptr) {
      down = node->right;
      down->on_true = node->on_true;
      down->on_false = node->on_false;
    } else if (node->left != nullptr) {
      // An empty right side: AND is its left side, OR passes after it.
      down = node->left;
      down->on_true = node->on_true;
      down->on_false = node->operation == FILTER_AND ? node->on_false : node->on_true;
    } else {
      node->entry = node->on_true;
    }
    if (down != nullptr) {
      node = down;
      continue;
    }
    // Node is linked: climb while the parent is done too.
    for (;;) {
      if (node == root) return;
      FILTER_RULE *p = node->parent;
      if (node == p->right && p->left != nullptr) {
        down = p->left;
        down->on_true = p->operation == FILTER_AND ? p->right->entry : p->on_true;
        down->on_false = p->operation == FILTER_AND ? p->on_false : p->right->entry;
        break;
      }
      p->entry = node->entry;
      node = p;
    }
    node = down;
  }
}

}  // namespace

// --- Building ---------------------------------------------------------------

FILTER_RULE *new_filter_data_node(int comparetype, int datatype, void *value, filter_value_kind kind) {
  auto *r = new (std::nothrow) FILTER_RULE;
  if (r == nullptr) {
    FILTER_RULE tmp;
    tmp.data = value;
    tmp.valuekind = kind;
    free_value(&tmp);
    return nullptr;
  }
  r->comparetype = comparetype;
  r->datatype = datatype;
  r->data = value;
  r->valuekind = kind;
  return r;
}

FILTER_RULE *new_filter_op_node(int kind, FILTER_RULE *left, FILTER_RULE *right) {
  FILTER_RULE *r = nullptr;
  if (kind == FILTER_AND || kind == FILTER_OR) r = new (std::nothrow) FILTER_RULE;
  if (r == nullptr) {
    free_filter_rule(left);
    free_filter_rule(right);
    return nullptr;
  }
  r->operation = kind;
  r->left = left;
  r->right = right;
  if (left) left->parent = r;
  if (right) right->parent = r;
  return r;
}

FILTER_RULE *report_definition_add_to_filter(FILTER_RULE *old, FILTER_RULE *newf, int kind) {
  if (newf == nullptr) return old;
  if (old == nullptr) return newf;
  return new_filter_op_node(kind, newf, old);
}

void free_filter_rule(FILTER_RULE *tree) {
  // Rotates each left child up so that every node is freed with an empty
  // left side: no recursion, no stack.
  FILTER_RULE *n = tree;
  while (n != nullptr) {
    if (n->left != nullptr) {
      FILTER_RULE *l = n->left;
      n->left = l->right;
      l->right = n;
      n = l;
    } else {
      FILTER_RULE *r = n->right;
      free_node(n);
      n = r;
    }
  }
}

FILTER_RULE *report_definition_add_filter(const char *text, FILTER_RULE *prev, int field,
                                          REPORT_DEFINITION *def, REPORT *rep, int options) {
  FILTER_RULE *rule = parse_rule(text, field, def, rep, options);
  if (rule == nullptr) {
    free_filter_rule(prev);
    return nullptr;
  }
  if (prev == nullptr) return rule;
  return new_filter_op_node(FILTER_AND, prev, rule);
}

FILTER_RULE *report_definition_filter_add_denied(FILTER_RULE *prev, const char *text) {
  int v = -1;
  if (text != nullptr && strcmp(text, "TRUE") == 0) v = 1;
  if (text != nullptr && strcmp(text, "FALSE") == 0) v = 0;
  auto *p = v >= 0 ? static_cast<uint8_t *>(malloc(1)) : nullptr;
  if (p == nullptr) {
    free_filter_rule(prev);
    return nullptr;
  }
  *p = static_cast<uint8_t>(v);
  FILTER_RULE *leaf = new_filter_data_node(FILTER_EQ, FIELD_DENIED_FLAG, p, FILTER_VALUE_DENIED);
  if (leaf == nullptr) {
    free_filter_rule(prev);
    return nullptr;
  }
  return prev == nullptr ? leaf : new_filter_op_node(FILTER_AND, prev, leaf);
}

FILTER_RULE *report_definition_filter_add_cats(FILTER_RULE *prev, const char *list, int op,
                                               REPORT_DEFINITION *def, int field) {
  cat_t *set = (op == FILTER_CAT_ANY || op == FILTER_CAT_NONE) ? parse_categories(list) : nullptr;
  if (set == nullptr) {
    free_filter_rule(prev);
    return nullptr;
  }
  if (field == FIELD_CATS || field == FIELD_ALL_CATS || field == FIELD_CATSNUM || field == FIELD_ALLCATSNUM) {
    if (!filter_glue_set_cat_filter(def, set)) {
      cat_free(set);
      free_filter_rule(prev);
      return nullptr;
    }
  }
  FILTER_RULE *leaf = new_filter_data_node(op, field, set, FILTER_VALUE_CATEGORY);
  if (leaf == nullptr) {
    free_filter_rule(prev);
    return nullptr;
  }
  return prev == nullptr ? leaf : new_filter_op_node(FILTER_AND, prev, leaf);
}

void report_definition_sort_cats(unsigned char *bytes, int from, int to) {
  if (bytes == nullptr || from < 0 || to <= from) return;
  std::sort(bytes + from, bytes + to + 1);
}

int filter_tree_has_field(const FILTER_RULE *tree, int field) {
  auto *root = const_cast<FILTER_RULE *>(tree);
  if (root == nullptr) return 0;
  // An OR tree of "is this leaf on field" finds any such leaf.
  bool found = false;
  FILTER_RULE *node = root;
  // Depth-first by parent links: down the left, then each right side.
  for (;;) {
    while (node->operation != FILTER_LEAF && (node->left || node->right))
      node = node->left ? node->left : node->right;
    if (node->operation == FILTER_LEAF && node->datatype == field) found = true;
    if (found) return 1;
    for (;;) {
      if (node == root) return 0;
      FILTER_RULE *p = node->parent;
      if (p == nullptr) return 0;
      if (node == p->left && p->right) {
        node = p->right;
        break;
      }
      node = p;
    }
  }
}

// --- Evaluation ---------------------------------------------------------------

int check_filter_recursive(REPORT *rep, FILTER_RULE *tree, RECORD *row, unsigned char *map,
                           const int64_t *totals, int64_t rownum, int partial) {
  if (tree == nullptr) return 1;
  if (row == nullptr || map == nullptr) return 0;
  if (tree->linked_for != tree) link_tree(tree);
  eval_ctx ctx{rep, row, map, totals, rownum, partial};
  return ctx.run(tree->entry);
}

int check_threshold(int *reached, const char *name, FILTER_RULE *threshold, REPORT *rep) {
  if (reached != nullptr) *reached = 0;
  TABLE *t = table_open(TABLE_READ, rep, name, nullptr, 0, 0);
  if (t == nullptr) return 0;
  std::vector<int64_t> totals;
  bool percents = false;
  int columns = record_count(t->rec);
  for (int i = 0; i < columns; ++i)
    if (t->rec[i].type >= FIELD_REQUESTCOUNTPERCENT && t->rec[i].type <= FIELD_FILESCOUNTPERCENT) percents = true;
  if (percents) {
    try {
      totals.assign(static_cast<size_t>(columns) + 1, 0);
    } catch (const std::bad_alloc &) {
      table_close(t);
      return 0;
    }
    while (table_read_record(t)) {
      for (int i = 1; i < columns; ++i) {
        const Record &e = t->rec[i];
        uint64_t v;
        if (e.type >= FIELD_REQUESTCOUNTPERCENT && e.type <= FIELD_FILESCOUNTPERCENT && e.data && row_uint(&e, &v))
          totals[static_cast<size_t>(i)] += static_cast<int64_t>(v);
      }
    }
    table_close(t);
    t = table_open(TABLE_READ, rep, name, nullptr, 0, 0);
    if (t == nullptr) return 0;
  }
  int64_t rownum = 0;
  while (table_read_record(t)) {
    ++rownum;
    if (check_filter_recursive(rep, threshold, t->rec, t->map, percents ? totals.data() : nullptr, rownum, 0)) {
      if (reached != nullptr) *reached = 1;
      break;
    }
  }
  table_close(t);
  return -1;
}

// --- File-name tests -------------------------------------------------------------

int check_filename_filter_recursive(FILTER_RULE *tree, int field, const char *text) {
  return eval_tree(tree, [&](FILTER_RULE *leaf) {
    if (leaf->comparetype != FILTER_EQ || leaf->datatype != field || leaf->valuekind != FILTER_VALUE_TEXT)
      return true;
    if (leaf->filename_substr == nullptr) {
      leaf->filename_substr = strdup(static_cast<const char *>(leaf->data));
      if (leaf->filename_substr == nullptr) return false;
      for (char *p = leaf->filename_substr; *p; ++p)
        if (*p == '_' || *p == '/') *p = '-';
    }
    return text != nullptr && strcmp(leaf->filename_substr, text) == 0;
  });
}

int check_filename_hash_filter_recursive(FILTER_RULE *tree, int field, int offset, int length, int pools,
                                         int chunk) {
  return eval_tree(tree, [&](FILTER_RULE *leaf) {
    if (leaf->comparetype != FILTER_EQ || leaf->datatype != field || pools < 1) return true;
    // The cache is kept per slice too: files hashed over another slice
    // with the same pool count must not reuse it.
    if (!(leaf->hashsize == pools && leaf->hashoffset == offset && leaf->hashlength == length) &&
        !filter_calc_hash(leaf, offset, length, pools))
      return true;
    return leaf->hashchunk == chunk;
  });
}

int filter_calc_hash(FILTER_RULE *leaf, int offset, int length, int pools) {
  if (leaf == nullptr || leaf->data == nullptr || pools < 1) return 0;
  int result;
  switch (leaf->datatype) {
    case FIELD_URI: case FIELD_USER: case FIELD_GROUP: {
      if (leaf->valuekind != FILTER_VALUE_TEXT) return 0;
      const char *s = static_cast<const char *>(leaf->data);
      size_t len = strlen(s);
      const char *part = s;
      size_t n = len;
      if (offset >= 0) {
        if (static_cast<size_t>(offset) >= len) return 0;  // nothing left to hash
        part = s + offset;
        n = len - static_cast<size_t>(offset);
      } else {
        size_t keep = static_cast<size_t>(-static_cast<int64_t>(offset));
        if (len > keep) {
          part = s + (len - keep);
          n = keep;
        }
      }
      if (length > 0 && n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
      if (n > INT_MAX) return 0;
      result = static_cast<int>(mdburl_poolid(part, static_cast<int>(n), pools));
      break;
    }
    case FIELD_IP: {
      if (leaf->valuekind != FILTER_VALUE_ADDRESS) return 0;
      const auto *f = static_cast<const ipfilter *>(leaf->data);
      unsigned char bytes[16], mask[16];
      int nbytes;
      if (f->ip.family == AF_INET) {
        nbytes = 4;
        uint32_t be = htonl(f->ip.addr.ip), mbe = htonl(f->mask.addr.ip);
        memcpy(bytes, &be, 4);
        memcpy(mask, &mbe, 4);
      } else if (f->ip.family == AF_INET6) {
        nbytes = 16;
        memcpy(bytes, &f->ip.addr.ip6, 16);
        memcpy(mask, &f->mask.addr.ip6, 16);
      } else {
        return 0;
      }
      int whole = nbytes, r = 0;
      if (length > 0) {
        if (length > nbytes * 8) return 0;  // past the address: no chunk
        whole = length / 8;
        r = length % 8;
      }
      bool masked = f->mask.family != 0;
      unsigned sum = 0;
      for (int i = 0; i < whole; ++i) {
        if (masked && mask[i] != 0xFF) return 0;
        sum += bytes[i];
      }
      if (r != 0) {
        if (masked && mask[whole] < ((0xFFu << (8 - r)) & 0xFFu)) return 0;
        sum += static_cast<unsigned>(bytes[whole]) >> (8 - r);
      }
      result = static_cast<int>(sum % static_cast<unsigned>(pools));
      break;
    }
    case FIELD_DENIED_FLAG: {
      if (leaf->valuekind != FILTER_VALUE_DENIED) return 0;
      result = (*static_cast<const uint8_t *>(leaf->data) == 1 && pools != 1) ? 1 : 0;
      break;
    }
    default:
      return 0;
  }
  leaf->hashsize = pools;
  leaf->hashoffset = offset;
  leaf->hashlength = length;
  leaf->hashchunk = result;
  return 1;
}
