#include "lib/base/kxstring.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Copies the collected field pointers into a new null-terminated array.
char **to_array(const std::vector<char *> &fields) {
  auto **out = static_cast<char **>(malloc((fields.size() + 1) * sizeof(char *)));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < fields.size(); ++i) out[i] = fields[i];
  out[fields.size()] = nullptr;
  return out;
}

char *heap_copy(std::string_view text) {
  auto *out = static_cast<char *>(malloc(text.size() + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

char *replace_occurrences(const char *str, const char *find, const char *replace, bool global) {
  if (str == nullptr || find == nullptr || replace == nullptr) return nullptr;
  std::string_view text(str), what(find);
  // Nothing to look for: searching for an empty text would never advance.
  if (what.empty()) return heap_copy(text);
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(what, pos);
    if (hit == std::string_view::npos) break;
    out.append(text, pos, hit - pos);
    out.append(replace);
    pos = hit + what.size();
    if (!global) break;
  }
  out.append(text, pos, std::string_view::npos);
  return heap_copy(out);
}

}  // namespace

char **string_explode(char *str, char delim) { return string_explode_limit(str, delim, 0, nullptr); }

char **string_explode_limit(char *str, char delim, int limit, int *num) {
  if (num != nullptr) *num = 0;
  if (str == nullptr) return nullptr;
  std::vector<char *> fields{str};
  for (char *p = str; *p != '\0'; ++p) {
    if (limit > 0 && static_cast<int>(fields.size()) >= limit) break;
    if (*p == delim) {
      *p = '\0';
      fields.push_back(p + 1);
    }
  }
  char **out = to_array(fields);
  if (out != nullptr && num != nullptr) *num = static_cast<int>(fields.size());
  return out;
}

char **string_explode_quotes(char *str) {
  if (str == nullptr) return nullptr;
  std::vector<char *> fields{str};
  bool quoted = false;
  for (char *p = str; *p != '\0'; ++p) {
    if (quoted) {
      if (*p == '\\') {
        if (p[1] == '\0') break;  // a final backslash protects nothing
        ++p;
      } else if (*p == '"') {
        quoted = false;
      }
    } else if (*p == '"') {
      quoted = true;
    } else if (*p == ' ') {
      *p = '\0';
      fields.push_back(p + 1);
    }
  }
  return to_array(fields);
}

char *string_extract_from_quotes(const char *text) {
  if (text == nullptr) return nullptr;
  std::string out;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '"') continue;
    if (*p == '\\' && p[1] != '\0') {
      char c = 0;
      switch (p[1]) {
        case '"': c = '"'; break;
        case '\'': c = '\''; break;
        case '\\': c = '\\'; break;
        case 'a': c = '\a'; break;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'v': c = '\v'; break;
        default: break;
      }
      if (c != 0) {
        out.push_back(c);
        ++p;
        continue;
      }
    }
    out.push_back(*p);
  }
  return heap_copy(out);
}

uint64_t *string_extract_number(const char *text) {
  if (text == nullptr) return nullptr;
  auto *v = static_cast<uint64_t *>(malloc(sizeof(uint64_t)));
  if (v != nullptr) *v = strtoull(text, nullptr, 10);
  return v;
}

uint64_t *string_extract_long_number(const char *text) { return string_extract_number(text); }

int64_t *string_extract_number_signed(const char *text) {
  if (text == nullptr) return nullptr;
  auto *v = static_cast<int64_t *>(malloc(sizeof(int64_t)));
  if (v != nullptr) *v = strtoll(text, nullptr, 10);
  return v;
}

int string_tolower(char *str) {
  string_lcase(str);
  return 0;
}

char *string_lcase(char *str) {
  if (str == nullptr) return nullptr;
  for (char *p = str; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  return str;
}

int string_hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void string_lowercase_url(char *url) {
  if (url == nullptr) return;
  char *w = url;
  for (const char *r = url; *r != '\0'; ++r) {
    char c = *r;
    if (c == '%') {
      // r[1] is checked first, so a "%" at the end never reads past the NUL.
      int hi = string_hex_digit(r[1]);
      int lo = hi >= 0 ? string_hex_digit(r[2]) : -1;
      if (lo >= 0) {
        c = static_cast<char>(hi * 16 + lo);
        r += 2;
      }
    }
    if (c == ' ') c = '+';
    *w++ = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  *w = '\0';
}

char *string_append(char *str, const char *more, int len) {
  if (len < 0 || (len > 0 && more == nullptr)) return nullptr;
  size_t have = str != nullptr ? strlen(str) : 0;
  auto *out = static_cast<char *>(realloc(str, have + static_cast<size_t>(len) + 1));
  if (out == nullptr) return nullptr;
  if (len > 0) memcpy(out + have, more, static_cast<size_t>(len));
  out[have + static_cast<size_t>(len)] = '\0';
  return out;
}

char *string_add(char *base, const char *add) {
  size_t n = add != nullptr ? strlen(add) : 0;
  if (n > INT_MAX) return nullptr;
  return string_append(base, add, static_cast<int>(n));
}

char *string_replace(char *str, char from, char to) {
  if (str == nullptr) return nullptr;
  for (char *p = str; *p != '\0'; ++p)
    if (*p == from) *p = to;
  return str;
}

char *string_replace_string_global(const char *str, const char *find, const char *replace) {
  return replace_occurrences(str, find, replace, true);
}

char *string_replace_string(const char *str, const char *find, const char *replace) {
  return replace_occurrences(str, find, replace, false);
}

char *string_ltrim(char *str) {
  if (str == nullptr) return nullptr;
  while (*str != '\0' && isspace(static_cast<unsigned char>(*str))) ++str;
  return str;
}

char *string_rtrim(char *str) {
  if (str == nullptr) return nullptr;
  size_t n = strlen(str);
  while (n > 0 && isspace(static_cast<unsigned char>(str[n - 1]))) --n;
  str[n] = '\0';
  return str;
}

char *string_security_key() {
  static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";
  constexpr unsigned n_alpha = sizeof(alphabet) - 1;
  constexpr unsigned key_len = 20;
  // Bytes at or above the largest multiple of the alphabet size are drawn
  // again, so every character is equally likely.
  constexpr unsigned limit = 256 / n_alpha * n_alpha;
  auto *key = static_cast<char *>(malloc(key_len + 1));
  if (key == nullptr) return nullptr;
  unsigned have = 0;
  unsigned char pool[64];
  while (have < key_len) {
    ssize_t got = getrandom(pool, sizeof(pool), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      free(key);
      return nullptr;
    }
    for (ssize_t i = 0; i < got && have < key_len; ++i)
      if (pool[i] < limit) key[have++] = alphabet[pool[i] % n_alpha];
  }
  key[key_len] = '\0';
  return key;
}

char *string_escapeshellarg(const char *str) {
  std::string out = "'";
  if (str != nullptr) {
    for (const char *p = str; *p != '\0'; ++p) {
      if (*p == '\'')
        out += "'\\''";
      else
        out.push_back(*p);
    }
  }
  out.push_back('\'');
  return heap_copy(out);
}

int string_hex_to_bin(const char *hex, unsigned char *out, int size) {
  if (hex == nullptr || out == nullptr || size <= 0) return 1;
  for (int i = 0; hex[i] != '\0'; ++i) {
    int at = i / 2;
    // Once size bytes are filled the rest of the text is not examined.
    if (at >= size) break;
    int v = string_hex_digit(hex[i]);
    if (v < 0) return 1;
    if (i % 2 == 0)
      out[at] = static_cast<unsigned char>(v << 4);
    else
      out[at] = static_cast<unsigned char>(out[at] | v);
  }
  return 0;
}

char *string_implode(char **items, char delim) { return string_nimplode(items, delim, INT_MAX); }

char *string_nimplode(char **items, char delim, int num) {
  std::string out;
  if (items != nullptr) {
    for (int i = 0; i < num && items[i] != nullptr; ++i) {
      out.append(items[i]);
      out.push_back(delim);
    }
  }
  return heap_copy(out);
}

char *string_truncate_withdots(const char *str, int shortsize) {
  if (str == nullptr) return nullptr;
  std::string_view text(str);
  if (shortsize > 0 && text.size() < static_cast<size_t>(shortsize)) return heap_copy(text);
  // Keep shortsize-4 characters and as much of "..." as fits in shortsize-1.
  int room = shortsize > 1 ? shortsize - 1 : 0;
  int keep = room > 3 ? room - 3 : 0;
  std::string out(text.substr(0, static_cast<size_t>(keep)));
  out.append(static_cast<size_t>(room - keep), '.');
  return heap_copy(out);
}

namespace {

int count_occurrences(std::string_view text, std::string_view what) {
  if (what.empty()) return 0;
  int count = 0;
  for (size_t pos = text.find(what); pos != std::string_view::npos; pos = text.find(what, pos + what.size()))
    ++count;
  return count;
}

}  // namespace

int string_count_string_occurences(const char *str, const char *find) {
  if (str == nullptr || find == nullptr) return 0;
  return count_occurrences(str, find);
}

int string_count_string_occurences_l(const char *str, int str_len, const char *find, int find_len) {
  if (str == nullptr || find == nullptr || str_len <= 0 || find_len <= 0) return 0;
  return count_occurrences(std::string_view(str, static_cast<size_t>(str_len)),
                           std::string_view(find, static_cast<size_t>(find_len)));
}

int string_unescape_char(const char *in, char *out) {
  if (in == nullptr || out == nullptr || *in == '\0') return 0;
  char c = *in;
  if (c >= '0' && c <= '7') {
    int v = 0, n = 0;
    while (n < 3 && in[n] >= '0' && in[n] <= '7') v = v * 8 + (in[n++] - '0');
    *out = static_cast<char>(v & 0xff);
    return n;
  }
  if (c == 'x') {
    int v = 0, n = 0;
    while (n < 2 && string_hex_digit(in[1 + n]) >= 0) v = v * 16 + string_hex_digit(in[1 + n++]);
    *out = n > 0 ? static_cast<char>(v) : 'x';
    return 1 + n;
  }
  switch (c) {
    case 'b': *out = '\b'; break;
    case 'f': *out = '\f'; break;
    case 'n': *out = '\n'; break;
    case 'r': *out = '\r'; break;
    case 't': *out = '\t'; break;
    default: *out = c; break;
  }
  return 1;
}

char *string_unescape_string(char *str) {
  if (str == nullptr) return nullptr;
  char *w = str;
  for (const char *r = str; *r != '\0';) {
    if (*r != '\\' || r[1] == '\0') {
      *w++ = *r++;
      continue;
    }
    char c;
    r += 1 + string_unescape_char(r + 1, &c);
    *w++ = c;
    if (c == '\0') return str;
  }
  *w = '\0';
  return str;
}

uint32_t *string_extract_ip(const char *text) {
  if (text == nullptr) return nullptr;
  uint32_t value = 0;
  const char *p = text;
  for (int field = 0; field < 4; ++field) {
    if (field > 0 && *p++ != '.') return nullptr;
    int v = 0, n = 0;
    while (n < 3 && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0'), ++n;
    if (n == 0 || v > 255) return nullptr;
    value = (value << 8) | static_cast<uint32_t>(v);
  }
  if (*p != '\0') return nullptr;
  auto *out = static_cast<uint32_t *>(malloc(sizeof(uint32_t)));
  if (out != nullptr) *out = value;
  return out;
}

namespace {

// HTML names of the Latin-1 bytes 0xA0 to 0xFE, in byte order.
constexpr const char *kLatin1Entities[] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",
    "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12",
    "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde",
    "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",
    "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn"};
static_assert(sizeof kLatin1Entities / sizeof kLatin1Entities[0] == 0xFF - 0xA0);

}  // namespace

char *string_html_entities(const char *str) {
  if (str == nullptr) return nullptr;
  std::string out;
  try {
    for (const char *p = str; *p != '\0'; ++p) {
      auto b = static_cast<unsigned char>(*p);
      switch (b) {
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default:
          if (b >= 0xA0 && b < 0xFF) {
            out += '&';
            out += kLatin1Entities[b - 0xA0];
            out += ';';
          } else {
            out += static_cast<char>(b);
          }
      }
    }
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return strdup(out.c_str());
}

STRING *str_new() {
  auto *s = static_cast<STRING *>(malloc(sizeof(STRING)));
  if (s == nullptr) return nullptr;
  s->data = static_cast<char *>(malloc(1000));
  if (s->data == nullptr) {
    free(s);
    return nullptr;
  }
  s->data[0] = '\0';
  s->length = 0;
  s->allocated = 1000;
  return s;
}

int str_add(STRING *s, const char *format, ...) {
  if (s == nullptr || format == nullptr) return 0;
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int needed = vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  int ok = 0;
  if (needed >= 0) {
    if (static_cast<int64_t>(s->length) + needed + 1 > s->allocated) {
      int64_t grown = static_cast<int64_t>(s->allocated) + needed + 3000;
      auto *data = grown <= INT_MAX ? static_cast<char *>(realloc(s->data, static_cast<size_t>(grown))) : nullptr;
      if (data != nullptr) {
        s->data = data;
        s->allocated = static_cast<int>(grown);
      }
    }
    if (static_cast<int64_t>(s->length) + needed + 1 <= s->allocated) {
      vsnprintf(s->data + s->length, static_cast<size_t>(s->allocated - s->length), format, again);
      s->length += needed;
      ok = -1;
    }
  }
  va_end(again);
  return ok;
}

void str_free(STRING *s) {
  if (s == nullptr) return;
  free(s->data);
  free(s);
}
