#include "lib/lists/urllist_action.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/base/base64.h"
#include "lib/base/kxlog.h"
#include "lib/runtime/kxtime.h"

int urllist_action_find_mod_pair(const QModData *q, const char *name, size_t name_len, const char *value,
                                 size_t value_len, bool *used) {
  if (q == nullptr || name == nullptr || used == nullptr) return 0;
  const int num = q->num < MAX_QUERY_MOD ? q->num : MAX_QUERY_MOD;
  bool remove = false;
  for (int i = 0; i < num; ++i) {
    const QModItem &it = q->items[i];
    if (it.name_len == 0 || static_cast<size_t>(it.name_len) != name_len || memcmp(it.name, name, name_len) != 0)
      continue;
    const char *iv = it.complete + it.name_len;  // the item's "=value"
    size_t iv_len = static_cast<size_t>(it.complete_len - it.name_len);
    bool same = iv_len == value_len && (value_len == 0 || memcmp(iv, value, value_len) == 0);
    if (it.flags & URLLIST_QM_DELETE) {
      if ((it.flags & URLLIST_QM_NAME_ONLY) || same) return 1;
      remove = false;
    } else {
      if (same) {
        used[i] = true;
        return 0;
      }
      remove = true;
    }
    if (!(it.flags & URLLIST_QM_MORE_VALUES)) break;
  }
  return remove ? 1 : 0;
}

namespace {

// Splits s in place at every blank; empty fields count.
std::vector<char *> split_blanks(char *s) {
  std::vector<char *> f{s};
  for (char *p = s; *p; ++p) {
    if (*p == ' ') {
      *p = '\0';
      f.push_back(p + 1);
    }
  }
  return f;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

UrlAction fail_with(void *obj, void (*release)(void *)) {
  if (obj) release(obj);
  return UA_ERROR;
}

void free_qmod(QModData *q) {
  if (!q) return;
  free(q->search_string);
  free(q->add_string);
  free(q->items);
  free(q);
}

void free_regr_chain(RegRData *r) {
  while (r) {
    RegRData *next = r->next;
    if (r->pattern) pcre_free(r->pattern);
    free(r->regexp);
    free(r);
    r = next;
  }
}

void free_hdr(HdrData *h) {
  if (!h) return;
  free(h->lines);
  free(h->len);
  free(h->text);
  free(h);
}

void free_snr(SnRData *s) {
  if (!s) return;
  free(s->search);
  free(s);
}

UrlAction parse_category(const char *args, void **data) {
  cat_t *c = cat_parse(args);
  if (!c) return UA_ERROR;
  *data = c;
  return UA_CATEGORY;
}

UrlAction urllist_action_parse_query_modify(const char *args, int options, void **data) {
  if (!args) return UA_ERROR;
  auto *q = static_cast<QModData *>(calloc(1, sizeof(QModData)));
  if (!q) return UA_ERROR;
  q->options = options;
  q->search_string = strdup(args);
  q->add_string = strdup(args);
  if (!q->search_string || !q->add_string) {
    free_qmod(q);
    return UA_ERROR;
  }
  std::vector<char *> names = split_blanks(q->search_string);
  std::vector<char *> adds = split_blanks(q->add_string);
  int count = static_cast<int>(names.size());
  if (count > MAX_QUERY_MOD) {
    kxlog_send(KXLOG_WARNING, "urllist: too many query modifications (%d) in '%s', truncate to %d\n", count,
               args, MAX_QUERY_MOD);
    count = MAX_QUERY_MOD;
  }
  q->num = count;
  q->items = static_cast<QModItem *>(calloc(static_cast<size_t>(count), sizeof(QModItem)));
  if (!q->items) {
    free_qmod(q);
    return UA_ERROR;
  }
  bool any = false;
  for (int i = 0; i < count; ++i) {
    QModItem &it = q->items[i];
    char *n = names[static_cast<size_t>(i)];
    char *a = adds[static_cast<size_t>(i)];
    if (*n == '-') {
      it.flags |= URLLIST_QM_DELETE;
      ++n;
      ++a;
    } else if (*n == '+') {
      ++n;
      ++a;
    }
    it.complete = a;
    it.complete_len = static_cast<int>(strlen(a));
    it.name = n;
    char *eq = strchr(n, '=');
    if (eq && eq[1] != '\0') {
      *eq = '\0';
      it.name_len = static_cast<int>(eq - n);
    } else if (it.flags & URLLIST_QM_DELETE) {
      it.flags |= URLLIST_QM_NAME_ONLY;
      it.name_len = static_cast<int>(eq ? eq - n : static_cast<long>(strlen(n)));
      if (eq) *eq = '\0';
    } else {
      kxlog_send(KXLOG_WARNING, "urllist: query modification for adding '%s' has no value, ignored\n", a);
      it.name_len = 0;
    }
    if (it.name_len > 0) any = true;
  }
  for (int i = 0; i < count; ++i) {
    QModItem &it = q->items[i];
    if (it.name_len == 0) continue;
    for (int j = i + 1; j < count; ++j) {
      const QModItem &o = q->items[j];
      if (o.name_len == it.name_len && memcmp(o.name, it.name, static_cast<size_t>(it.name_len)) == 0) {
        it.flags |= URLLIST_QM_MORE_VALUES;
        break;
      }
    }
  }
  if (!any) {
    free_qmod(q);
    return UA_ERROR;
  }
  *data = q;
  return UA_MODQUERY;
}

UrlAction parse_replace(const char *args, void **data) {
  if (!args) return UA_ERROR;
  auto *s = static_cast<SnRData *>(calloc(1, sizeof(SnRData)));
  if (!s) return UA_ERROR;
  s->search = strdup(args);
  if (!s->search) return fail_with(s, [](void *p) { free_snr(static_cast<SnRData *>(p)); });
  std::vector<char *> f = split_blanks(s->search);
  // An empty search text would match everywhere and never advance.
  if (f.size() < 2 || f[0][0] == '\0') return fail_with(s, [](void *p) { free_snr(static_cast<SnRData *>(p)); });
  s->replace = f[1];
  s->search_len = static_cast<int>(strlen(s->search));
  s->replace_len = static_cast<int>(strlen(s->replace));
  *data = s;
  return UA_REPLACE;
}

UrlAction parse_regreplace(const char *args, int postprocess, void **data) {
  if (!args) return UA_ERROR;
  auto *r = static_cast<RegRData *>(calloc(1, sizeof(RegRData)));
  if (!r) return UA_ERROR;
  r->regexp = strdup(args);
  if (!r->regexp) {
    free(r);
    return UA_ERROR;
  }
  std::vector<char *> f = split_blanks(r->regexp);
  if (f.size() < 2) {
    free_regr_chain(r);
    return UA_ERROR;
  }
  r->replace = f[1];
  const char *err = nullptr;
  int erroff = 0;
  r->pattern = pcre_compile(r->regexp, 0, &err, &erroff, nullptr);
  if (!r->pattern) {
    kxlog_send(KXLOG_WARNING, "urllist: error compiling pcre \"%s\" regex \"%s\" at char %d\n", r->regexp,
               err ? err : "", erroff);
    free_regr_chain(r);
    return UA_ERROR;
  }
  r->postprocess = postprocess;
  *data = r;
  return UA_REGREPLACE;
}

UrlAction parse_text(const char *args, void **data) {
  if (!args || !*args) return UA_ERROR;
  char *t = strdup(args);
  if (!t) return UA_ERROR;
  *data = t;
  return UA_TEXT;
}

UrlAction urllist_action_parse_headers(const char *args, void **data) {
  if (!args || !*args) return UA_ERROR;
  const size_t n = strlen(args);
  std::vector<std::pair<size_t, size_t>> spans;  // offset, length
  if (!is_digit(args[0])) {
    spans.emplace_back(0, n);
  } else {
    // Validate the whole sequence first.
    size_t p = 0;
    while (p < n) {
      if (!is_digit(args[p])) return UA_ERROR;
      size_t len = 0;
      while (p < n && is_digit(args[p])) {
        len = len * 10 + static_cast<size_t>(args[p] - '0');
        if (len > n) return UA_ERROR;  // runs past the end in any case
        ++p;
      }
      if (p < n && args[p] == ' ') ++p;
      if (len > n - p) return UA_ERROR;
      spans.emplace_back(p, len);
      p += len;
      if (p < n && args[p] == ' ') ++p;
    }
  }
  auto *h = static_cast<HdrData *>(calloc(1, sizeof(HdrData)));
  if (!h) return UA_ERROR;
  h->num = static_cast<int>(spans.size());
  h->text = strdup(args);
  h->lines = static_cast<char **>(calloc(spans.size() + 1, sizeof(char *)));
  h->len = static_cast<int *>(calloc(spans.size(), sizeof(int)));
  if (!h->text || !h->lines || !h->len) {
    free_hdr(h);
    return UA_ERROR;
  }
  size_t bytes = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    h->lines[i] = h->text + spans[i].first;
    h->len[i] = static_cast<int>(spans[i].second);
    size_t after = spans[i].first + spans[i].second;
    if (after < n && h->text[after] == ' ') h->text[after] = '\0';
    bytes += spans[i].second + 1;
  }
  size_t needed = (spans.size() + 1) * sizeof(char *) + bytes;
  size_t size = n + 8 * spans.size() + 9;
  h->size = static_cast<int>(needed > size ? needed : size);
  *data = h;
  return UA_HEADER;
}

UrlAction parse_list(const char *args, void **data) {
  if (!args) return UA_ERROR;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(args, &end, 10);
  if (errno == ERANGE) return UA_ERROR;
  if (*end != '\0' && *end != ' ') return UA_ERROR;
  *data = reinterpret_cast<void *>(static_cast<intptr_t>(v));
  return UA_LIST;
}

// Appends to a growing text; false on no memory.
bool append(std::string &s, const char *p, size_t n) {
  try {
    s.append(p, n);
    return true;
  } catch (...) {
    return false;
  }
}

char *heap_copy(const std::string &s) {
  char *r = static_cast<char *>(malloc(s.size() + 1));
  if (r) memcpy(r, s.c_str(), s.size() + 1);
  return r;
}

// Query modification; the new URL or null when unchanged (or no memory).
char *urllist_action_query_modify(const QModData *q, const char *url) {
  const char *qm = strchr(url, '?');
  std::string out;
  bool removed = false;
  bool used[MAX_QUERY_MOD] = {};
  const int num = q->num < MAX_QUERY_MOD ? q->num : MAX_QUERY_MOD;
  if (!qm) {
    if (!(q->options & URLLIST_QM_OP_ADDQUERY)) return nullptr;
    out = url;
  } else {
    out.assign(url, static_cast<size_t>(qm - url) + 1);
    std::vector<std::pair<const char *, size_t>> kept;
    const char *p = qm + 1;
    const char *end = url + strlen(url);
    while (p <= end && *p) {
      const char *amp = strchr(p, '&');
      const char *pair_end = amp ? amp : end;
      // The name ends at the '=' unless a '&' comes first.
      const char *eq = static_cast<const char *>(memchr(p, '=', static_cast<size_t>(pair_end - p)));
      size_t name_len = static_cast<size_t>((eq ? eq : pair_end) - p);
      const char *value = eq ? eq : pair_end;  // value text from the '=' on
      size_t value_len = static_cast<size_t>(pair_end - value);
      bool remove = urllist_action_find_mod_pair(q, p, name_len, value, value_len, used) == 1;
      if (remove) removed = true;
      else kept.emplace_back(p, static_cast<size_t>(pair_end - p));
      if (!amp) break;
      p = amp + 1;
      if (!*p) {
        kept.emplace_back(p, 0);  // a trailing '&' stays as written
        break;
      }
    }
    for (size_t i = 0; i < kept.size(); ++i) {
      if (i > 0) out += '&';
      if (!append(out, kept[i].first, kept[i].second)) return nullptr;
    }
  }
  bool added = false;
  for (int i = 0; i < num; ++i) {
    const QModItem &it = q->items[i];
    if ((it.flags & URLLIST_QM_DELETE) || it.name_len == 0 || used[i]) continue;
    if (!added && !qm) out += '?';
    else if (out.back() != '?') out += '&';
    if (!append(out, it.complete, static_cast<size_t>(it.complete_len))) return nullptr;
    added = true;
  }
  if (!removed && !added) return nullptr;
  return heap_copy(out);
}

char *urllist_action_search_replace(const SnRData *s, const char *url) {
  if (s->search_len <= 0) return nullptr;
  const char *p = url;
  const char *hit = strstr(p, s->search);
  if (!hit) return nullptr;
  std::string out;
  while (hit) {
    out.append(p, static_cast<size_t>(hit - p));
    out.append(s->replace, static_cast<size_t>(s->replace_len));
    p = hit + s->search_len;
    hit = strstr(p, s->search);
  }
  out.append(p);
  if (out == url) return nullptr;
  return heap_copy(out);
}

char *urlist_action_url_postprocess(char *result, int postprocess) {
  if (postprocess == 'b') {
    size_t n = strlen(result);
    char *dec = static_cast<char *>(malloc(n + 1));
    if (!dec) {
      free(result);
      return nullptr;
    }
    base64_decode(result, dec, static_cast<int>(n + 1));
    free(result);
    return dec;
  }
  if (postprocess == 'u') {
    char *dec = kxurldecode(result);
    free(result);
    return dec;
  }
  return result;
}

char *urllist_action_regexp_replace(const RegRData *chain, const char *url) {
  int ov[MATCH_VECTOR_SIZE];
  const int len = static_cast<int>(strlen(url));
  const RegRData *win = nullptr;
  int pairs = 0;
  for (const RegRData *r = chain; r; r = r->next) {
    int rc = pcre_exec(r->pattern, nullptr, url, len, 0, 0, ov, MATCH_VECTOR_SIZE);
    if (rc > 0) {
      win = r;
      pairs = rc;
      break;
    }
  }
  if (!win) return nullptr;
  std::string out;
  const char *t = win->replace;
  while (*t) {
    if (t[0] == '$' && is_digit(t[1])) {
      ++t;
      long n = 0;
      while (is_digit(*t)) {
        if (n < 100000) n = n * 10 + (*t - '0');
        ++t;
      }
      if (n < pairs && ov[2 * n] >= 0)
        out.append(url + ov[2 * n], static_cast<size_t>(ov[2 * n + 1] - ov[2 * n]));
    } else if (t[0] == '$') {
      out += '$';  // not a group reference: kept literally
      ++t;
    } else {
      const char *next = strchr(t + 1, '$');
      size_t run = next ? static_cast<size_t>(next - t) : strlen(t);
      out.append(t, run);
      t += run;
    }
  }
  if (out.empty() || out == url) return nullptr;
  char *r = heap_copy(out);
  if (!r) return nullptr;
  return urlist_action_url_postprocess(r, win->postprocess);
}

char **urllist_action_header(const HdrData *h) {
  size_t ptrs = (static_cast<size_t>(h->num) + 1) * sizeof(char *);
  char *block = static_cast<char *>(malloc(static_cast<size_t>(h->size)));
  if (!block) return nullptr;
  char **lines = reinterpret_cast<char **>(block);
  char *w = block + ptrs;
  for (int i = 0; i < h->num; ++i) {
    lines[i] = w;
    memcpy(w, h->lines[i], static_cast<size_t>(h->len[i]));
    w[h->len[i]] = '\0';
    w += h->len[i] + 1;
  }
  lines[h->num] = nullptr;
  return lines;
}

// Bounded appending into the dump buffer.
struct Dump {
  char *buf;
  size_t size;
  size_t used = 0;
  void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (used + 1 >= size) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + used, size - used, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    used += static_cast<size_t>(n);
    if (used >= size) used = size - 1;
  }
};

}  // namespace

UrlAction urllist_action_parse_action_type(const char *action_str) {
  if (!action_str) return UA_UNKNOWN;
  switch (toupper(static_cast<unsigned char>(action_str[0]))) {
    case 'N': return UA_NONE;
    case 'D': return UA_DENY;
    case 'A': return UA_ALLOW;
    case 'C': return UA_CATEGORY;
    case 'Q': return UA_MODQUERY;
    case 'S': return UA_REPLACE;
    case 'R': return UA_REGREPLACE;
    case 'T': return UA_TEXT;
    case 'H': return UA_HEADER;
    case 'L': return UA_LIST;
    default: return UA_UNKNOWN;
  }
}

UrlAction urllist_action_parse_action(const char *action_str, const char *args, void **data) {
  if (!data) return UA_ERROR;
  *data = nullptr;
  UrlAction a = urllist_action_parse_action_type(action_str);
  char second = a == UA_UNKNOWN ? '\0' : action_str[1];
  switch (a) {
    case UA_NONE:
    case UA_DENY:
    case UA_ALLOW: return a;
    case UA_CATEGORY: return parse_category(args, data);
    case UA_MODQUERY:
      return urllist_action_parse_query_modify(args, second == 'a' ? URLLIST_QM_OP_ADDQUERY : 0, data);
    case UA_REPLACE: return parse_replace(args, data);
    case UA_REGREPLACE:
      return parse_regreplace(args, second ? tolower(static_cast<unsigned char>(second)) : 0, data);
    case UA_TEXT: return parse_text(args, data);
    case UA_HEADER: return urllist_action_parse_headers(args, data);
    case UA_LIST: return parse_list(args, data);
    default: return UA_UNKNOWN;
  }
}

int urllist_action_process_action(const URLLIST_ITEM_DATA *d, cat_t *cat, const char *url, char **ret_url,
                                  char ***ret_hdr) {
  if (!d) return -1;
  switch (d->action) {
    case UA_ALLOW: return 1;
    case UA_DENY: return 2;
    case UA_CATEGORY:
      if (!cat || !d->action_data) return -1;
      cat_merge(cat, static_cast<const cat_t *>(d->action_data));
      return 3;
    case UA_MODQUERY:
    case UA_REPLACE:
    case UA_REGREPLACE: {
      if (!url || !ret_url || !d->action_data) return -1;
      char *r = nullptr;
      try {
        if (d->action == UA_MODQUERY) r = urllist_action_query_modify(static_cast<QModData *>(d->action_data), url);
        else if (d->action == UA_REPLACE) r = urllist_action_search_replace(static_cast<SnRData *>(d->action_data), url);
        else r = urllist_action_regexp_replace(static_cast<RegRData *>(d->action_data), url);
      } catch (...) {
        return -1;
      }
      if (!r) return -1;
      *ret_url = r;
      return 4;
    }
    case UA_TEXT: {
      if (!ret_url || !d->action_data) return -1;
      char *t = strdup(static_cast<const char *>(d->action_data));
      if (!t) return -1;
      *ret_url = t;
      return 4;
    }
    case UA_HEADER: {
      if (!ret_hdr || !d->action_data) return -1;
      char **h = urllist_action_header(static_cast<const HdrData *>(d->action_data));
      if (!h) return -1;
      *ret_hdr = h;
      return 5;
    }
    case UA_LIST: return 6;
    default: return -1;
  }
}

void urllist_action_data_free(URLLIST_ITEM_DATA *d) {
  if (!d) return;
  void *p = d->action_data;
  switch (d->action) {
    case UA_CATEGORY: cat_free(static_cast<cat_t *>(p)); break;
    case UA_MODQUERY: free_qmod(static_cast<QModData *>(p)); break;
    case UA_REPLACE: free_snr(static_cast<SnRData *>(p)); break;
    case UA_REGREPLACE: free_regr_chain(static_cast<RegRData *>(p)); break;
    case UA_TEXT: free(p); break;
    case UA_HEADER: free_hdr(static_cast<HdrData *>(p)); break;
    default: break;  // no data, or the list number held in the pointer
  }
  d->action_data = nullptr;
}

int urllist_action_append_action_data(URLLIST_ITEM_DATA *d1, URLLIST_ITEM_DATA *d2) {
  if (!d1 || !d2 || d1->action != UA_REGREPLACE || d2->action != UA_REGREPLACE) return 0;
  auto *chain = static_cast<RegRData *>(d1->action_data);
  if (!chain) {
    d1->action_data = d2->action_data;
  } else {
    while (chain->next) chain = chain->next;
    chain->next = static_cast<RegRData *>(d2->action_data);
  }
  d2->action_data = nullptr;
  return 1;
}

int urllist_action_expired(const URLLIST_ITEM_DATA *d) {
  if (!d) return 0;
  return d->ttl > 0 && d->ttl < current_time.load() ? 1 : 0;
}

void *urllist_action_get_raw_data(const URLLIST_ITEM_DATA *d) { return d ? d->action_data : nullptr; }

void urllist_action_set_raw_data(URLLIST_ITEM_DATA *d, void *raw) {
  if (d) d->action_data = raw;
}

int urllist_action_get_category(const URLLIST_ITEM_DATA *d, cat_t *cat) {
  if (!d || d->action != UA_CATEGORY) return 0;
  if (cat) cat_merge(cat, static_cast<const cat_t *>(d->action_data));
  return 1;
}

const char *urllist_action_name(const URLLIST_ITEM_DATA *d) {
  static const char *const names[] = {"no_action", "deny", "allow", "category", "modify_query",
                                      "search_replace", "regexp_replace", "text", "header", "list"};
  if (!d || d->action < UA_NONE || d->action > UA_LIST) return "unknown";
  return names[d->action];
}

void urllist_action_dump_action(const URLLIST_ITEM_DATA *d, char *buffer, size_t size) {
  if (!buffer || size == 0) return;
  buffer[0] = '\0';
  if (!d) return;
  Dump out{buffer, size};
  const void *p = d->action_data;
  switch (d->action) {
    case UA_NONE: out.add("N"); break;
    case UA_DENY: out.add("D"); break;
    case UA_ALLOW: out.add("A"); break;
    case UA_CATEGORY: {
      out.add("C ");
      const auto *c = static_cast<const cat_t *>(p);
      for (uint32_t i = 0; c && i < c->num; ++i) out.add(i ? ",%u" : "%u", c->catnums[i]);
      break;
    }
    case UA_MODQUERY: {
      const auto *q = static_cast<const QModData *>(p);
      out.add("Q%s", q && (q->options & URLLIST_QM_OP_ADDQUERY) ? "a" : "");
      for (int i = 0; q && i < q->num; ++i) {
        const QModItem &it = q->items[i];
        const char *sign = "";
        if (it.flags & URLLIST_QM_DELETE) sign = "-";
        else if (it.complete > q->add_string && it.complete[-1] == '+') sign = "+";
        out.add(" %s%s", sign, it.complete);
      }
      break;
    }
    case UA_REPLACE: {
      const auto *s = static_cast<const SnRData *>(p);
      if (s) out.add("S %s %s", s->search, s->replace);
      break;
    }
    case UA_REGREPLACE: {
      const auto *r = static_cast<const RegRData *>(p);
      if (!r) break;
      if (r->postprocess > 0 && r->postprocess < 256 && isprint(r->postprocess) && r->postprocess != ' ')
        out.add("R%c %s %s", r->postprocess, r->regexp, r->replace);
      else
        out.add("R %s %s", r->regexp, r->replace);
      break;
    }
    case UA_TEXT: out.add("T %s", p ? static_cast<const char *>(p) : ""); break;
    case UA_HEADER: {
      const auto *h = static_cast<const HdrData *>(p);
      out.add("H");
      if (!h) break;
      if (h->num == 1 && !is_digit(h->lines[0][0])) {
        out.add(" %.*s", h->len[0], h->lines[0]);
      } else {
        for (int i = 0; i < h->num; ++i) out.add(" %d %.*s", h->len[i], h->len[i], h->lines[i]);
      }
      break;
    }
    case UA_LIST: out.add("L %" PRIdPTR, reinterpret_cast<intptr_t>(p)); break;
    default: out.add("unknown"); break;
  }
}
