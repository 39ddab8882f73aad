#include "lib/base/kxregex.h"

#include <cstddef>
#include <vector>

namespace {

constexpr size_t kRegexMaxDepth = 100;
constexpr long long kRegexCap = 1LL << 40;

long long sat_add(long long a, long long b) { return a + b > kRegexCap ? kRegexCap : a + b; }
long long sat_mul(long long a, long long b) { return a != 0 && b > kRegexCap / a ? kRegexCap : a * b; }

}  // namespace

bool kxregex_too_large(const char *p, long long max_nodes) {
  if (!p) return false;
  struct Frame {
    long long total = 0;
    long long last = 0;  // nodes of the piece a quantifier applies to
  };
  std::vector<Frame> st(1);
  auto add = [&](long long n, bool piece) {
    Frame &f = st.back();
    f.last = piece ? n : sat_add(f.last, n);
    f.total = sat_add(f.total, n);
  };
  auto repeat = [&](long long times) {
    Frame &f = st.back();
    const long long grown = sat_mul(f.last, times);
    f.total = sat_add(f.total, grown - f.last);
    f.last = grown;
  };
  for (size_t i = 0; p[i] != '\0'; ++i) {
    const char c = p[i];
    if (c == '\\') {
      if (p[i + 1] != '\0') ++i;
      add(1, true);
    } else if (c == '[') {
      size_t j = i + 1;
      if (p[j] == '^') ++j;
      if (p[j] == ']') ++j;
      while (p[j] != '\0' && p[j] != ']') {
        if (p[j] == '[' && (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
          const char close = p[j + 1];
          j += 2;
          while (p[j] != '\0' && !(p[j] == close && p[j + 1] == ']')) ++j;
          if (p[j] != '\0') j += 2;
          continue;
        }
        ++j;
      }
      i = p[j] == '\0' ? j - 1 : j;
      add(1, true);
    } else if (c == '(') {
      if (st.size() > kRegexMaxDepth) return true;
      st.emplace_back();
    } else if (c == ')' && st.size() > 1) {
      const long long inner = sat_add(st.back().total, 1);
      st.pop_back();
      add(inner, true);
    } else if (c == '*' || c == '?') {
      add(1, false);
    } else if (c == '+') {
      repeat(2);
      add(1, false);
    } else if (c == '{') {
      size_t j = i + 1;
      long long most = 0;
      while (p[j] != '\0' && p[j] != '}') {
        long long v = 0;
        while (p[j] >= '0' && p[j] <= '9') {
          if (v < 100000) v = v * 10 + (p[j] - '0');
          ++j;
        }
        if (v > most) most = v;
        if (p[j] != '\0' && p[j] != '}' && !(p[j] >= '0' && p[j] <= '9')) ++j;
      }
      i = p[j] == '\0' ? j - 1 : j;
      repeat(most + 1);
      add(1, false);
    } else if (c == '|') {
      st.back().last = 0;
      st.back().total = sat_add(st.back().total, 1);
    } else {
      add(1, true);
    }
    // Nodes grow only in the innermost group; closing one adds it outward.
    if (st.back().total > max_nodes) return true;
  }
  long long total = 0;
  for (const Frame &f : st) total = sat_add(total, f.total);
  return total > max_nodes;
}

bool kxregex_has_back_reference(std::string_view pat) {
  bool in_bracket = false;
  for (size_t i = 0; i < pat.size(); ++i) {
    char c = pat[i];
    if (in_bracket) {
      if (c == ']') in_bracket = false;
      continue;
    }
    if (c == '[') {
      in_bracket = true;
      if (i + 1 < pat.size() && pat[i + 1] == '^') ++i;
      if (i + 1 < pat.size() && pat[i + 1] == ']') ++i;
    } else if (c == '\\' && i + 1 < pat.size()) {
      if (pat[i + 1] >= '1' && pat[i + 1] <= '9') return true;
      ++i;
    }
  }
  return false;
}

bool kxregex_refused(const char *pattern, long long max_nodes) {
  return kxregex_too_large(pattern, max_nodes) || (pattern && kxregex_has_back_reference(pattern));
}
