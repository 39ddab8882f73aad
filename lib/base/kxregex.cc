#include "lib/base/kxregex.h"

#include <cstddef>
#include <string>
#include <utility>
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

namespace {

// The closing "]" of the bracket expression opening at p[i], or npos.
size_t bracket_end(std::string_view p, size_t i) {
  size_t j = i + 1;
  if (j < p.size() && p[j] == '^') ++j;
  if (j < p.size() && p[j] == ']') ++j;
  while (j < p.size() && p[j] != ']') {
    if (p[j] == '[' && j + 1 < p.size() && (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
      const char close = p[j + 1];
      j += 2;
      while (j + 1 < p.size() && !(p[j] == close && p[j + 1] == ']')) ++j;
      if (j + 1 >= p.size()) return std::string_view::npos;
      j += 2;
      continue;
    }
    ++j;
  }
  return j < p.size() ? j : std::string_view::npos;
}

// Budgets of the closure estimate, in units measured on glibc 2.36. glibc
// keeps for every node the set of nodes it reaches without reading a
// character (its closure): a run of n pieces that may match nothing costs
// about 8 n^2 bytes (n^2 units), a flat alternation of k alternatives about
// 16 k^2 bytes (2 k^2 units). Time: each quantifier over something that may
// match nothing in such a run makes glibc walk the run's closures again
// (run^2 per one: 500 "x*?" take a tenth of a second). For each anchor
// glibc copies the closure that follows it, and looks for each copy among
// all copies made before (200 "$" in a row take 15 MB, 500 take 160 MB).
constexpr long long kMaxClosureUnits = 1LL << 23;  // about 70 MB
constexpr long long kMaxClosureTime = 1LL << 29;   // about a tenth of a second

// What a piece, group or alternation reaches from its start without reading
// a character (all of it when it may match the empty text).
struct Part {
  bool nullable = false;  // may match the empty text
  long long weight = 0;   // quantifiers, alternatives and anchors reached
  long long loops = 0;    // quantifiers over something that may match nothing
  long long words = 0;    // "\b" and "\B" reached
  long long anchors = 0;  // anchors anywhere in it ("\b" and "\B" as 8)
};

// A recursive reading of the pattern's structure (depth bounded: deeper
// groups are read as characters, and kxregex_too_large refuses them).
class ClosureEstimate {
 public:
  explicit ClosureEstimate(std::string_view p) : p_(p) {}

  void read() {
    alternation(0);
    while (i_ < p_.size()) {  // a ")" without its "(" is a character
      ++i_;
      alternation(0);
    }
  }
  // glibc looks for an earlier copy of a node among all copies made so far.
  bool too_large() const {
    return units_ > kMaxClosureUnits || sat_add(time_, sat_mul(copies_, copies_) / 2) > kMaxClosureTime;
  }
  bool empty_loop() const { return empty_loop_; }

 private:
  static void add(Part &to, const Part &a) {
    to.weight = sat_add(to.weight, a.weight);
    to.loops = sat_add(to.loops, a.loops);
    to.words = sat_add(to.words, a.words);
  }

  // A run: its closures, walked again per loop.
  void charge(const Part &closure, long long square) {
    units_ = sat_add(units_, square);
    time_ = sat_add(time_, sat_mul(square, closure.loops));
  }

  // glibc copies, for every anchor of a run, the closure that follows it:
  // the pieces after it (a quantifier over empty matches among them copies
  // many times more: 114 "x*?$" take 530 MB).
  void copy_after(const Part &run, long long weight, long long loops) {
    const long long copies = sat_mul(sat_mul(run.anchors, weight), 1 + loops);
    copies_ = sat_add(copies_, copies);
    units_ = sat_add(units_, sat_mul(sat_mul(copies, sat_add(run.weight, weight)), 1 + 8 * loops));
  }

  Part alternation(int depth) {
    Part all;
    long long branches = 0;
    for (;;) {
      Part b = branch(depth);
      all.nullable = all.nullable || b.nullable;
      add(all, b);
      all.anchors = sat_add(all.anchors, b.anchors);
      ++branches;
      if (i_ < p_.size() && p_[i_] == '|') {
        ++i_;
        continue;
      }
      break;
    }
    if (branches > 1) {
      all.weight = sat_add(all.weight, branches - 1);
      // The closure at the alternation holds every alternative's start; its
      // quantifiers over empty matches are walked again for each of them
      // (its anchors are not: a list of "^name$" costs little).
      units_ = sat_add(units_, sat_mul(2 * branches, branches));
      time_ = sat_add(time_, sat_mul(sat_mul(64, all.weight), all.loops));
      // A "\b" reached there is copied with all of the closure (2000
      // alternatives that begin with one take 100 MB).
      units_ = sat_add(units_, sat_mul(3 * all.words, all.words));
    }
    return all;
  }

  // A branch reaches its pieces up to the first that must match a
  // character; consecutive pieces that may match nothing form a run.
  Part branch(int depth) {
    Part out, run;
    out.nullable = true;
    auto close_run = [&] {
      charge(run, sat_mul(run.weight, run.weight));
      run = Part();
    };
    while (i_ < p_.size() && p_[i_] != '|' && !(p_[i_] == ')' && depth > 0)) {
      Part a = atom(depth);
      quantifiers(a);
      if (out.nullable) add(out, a);
      out.anchors = sat_add(out.anchors, a.anchors);
      if (a.nullable) {
        if (a.weight < 1) a.weight = 1;
        copy_after(run, a.weight, a.loops);
        add(run, a);
        run.anchors = sat_add(run.anchors, a.anchors);
      } else {
        // Copies of what must match a character reach only themselves.
        const long long copies = sat_mul(run.anchors, a.weight + 1);
        copies_ = sat_add(copies_, copies);
        units_ = sat_add(units_, copies);
        close_run();
        out.nullable = false;
      }
    }
    close_run();
    return out;
  }

  Part atom(int depth) {
    Part a;
    const char c = p_[i_];
    if (c == '(' && depth < 200) {
      ++i_;
      a = alternation(depth + 1);
      if (i_ < p_.size() && p_[i_] == ')') ++i_;
      return a;
    }
    if (c == '[') {
      const size_t end = bracket_end(p_, i_);
      i_ = end == std::string_view::npos ? p_.size() : end + 1;
      return a;
    }
    // Anchors match no character; "\b" and "\B" (either of two conditions)
    // weigh many times more (forty of them in a row take 190 MB).
    if (c == '\\') {
      const char n = i_ + 1 < p_.size() ? p_[i_ + 1] : '\0';
      i_ += n != '\0' ? 2 : 1;
      if (n == 'b' || n == 'B') {
        a.nullable = true;
        a.weight = 8;
        a.words = 1;
        a.anchors = 8;
      } else if (n == '<' || n == '>' || n == '`' || n == '\'') {
        a.nullable = true;
        a.weight = 1;
        a.anchors = 1;
      }
      return a;
    }
    ++i_;
    if (c == '^' || c == '$') {
      a.nullable = true;
      a.weight = 1;
      a.anchors = 1;
    }
    return a;
  }

  void quantifiers(Part &a) {
    while (i_ < p_.size()) {
      const char c = p_[i_];
      long long most = 1, least = 1;
      bool unbounded = false;
      if (c == '*' || c == '+') {
        least = c == '*' ? 0 : 1;
        most = c == '*' ? 1 : 2;  // glibc builds x+ as x x*
        unbounded = true;
        ++i_;
      } else if (c == '?') {
        least = 0;
        ++i_;
      } else if (c == '{') {
        size_t j = i_ + 1;
        long long first = -1, second = -1;
        bool comma = false;
        auto number = [&](long long *v) {
          if (j >= p_.size() || p_[j] < '0' || p_[j] > '9') return;
          *v = 0;
          while (j < p_.size() && p_[j] >= '0' && p_[j] <= '9') {
            if (*v < 100000) *v = *v * 10 + (p_[j] - '0');
            ++j;
          }
        };
        number(&first);
        if (j < p_.size() && p_[j] == ',') {
          comma = true;
          ++j;
          number(&second);
        }
        if (j >= p_.size() || p_[j] != '}') return;  // not an interval
        i_ = j + 1;
        least = first < 0 ? 0 : first;
        unbounded = comma && second < 0;
        most = comma ? (second < 0 ? least + 1 : second) : least;
        if (most < 1) most = 1;
      } else {
        return;
      }
      // Bounds are built as copies. A quantifier over something that may
      // match nothing makes empty steps glibc's closures walk again; an
      // unbounded one makes a loop of them.
      if (a.nullable && unbounded) empty_loop_ = true;
      a.weight = c == '+' ? sat_add(sat_mul(a.weight, 2), 1) : sat_mul(a.weight + 1, c == '{' ? most : 1);
      a.loops = sat_add(sat_mul(a.loops, most), a.nullable ? 1 : 0);
      a.words = sat_mul(a.words, most);
      a.anchors = sat_mul(a.anchors, most);
      a.nullable = a.nullable || least == 0;
    }
  }

  std::string_view p_;
  size_t i_ = 0;
  long long units_ = 0;
  long long time_ = 0;
  long long copies_ = 0;  // nodes copied for anchors
  bool empty_loop_ = false;
};

constexpr size_t kFanOut = 16;

// The pattern with every long alternation nested kFanOut alternatives at a
// time. With captures kept, an alternation whose alternatives hold groups
// stays as written (the new groups would take numbers before theirs).
class Nester {
 public:
  Nester(std::string_view p, bool keep_groups) : p_(p), keep_(keep_groups) {}

  // False when the pattern is not read the way this reads it (a ")" without
  // its "(", an unclosed group or bracket, nesting past 100): it is then
  // compiled as written.
  bool run(std::string *out) {
    *out = alternation(0, 0);
    return ok_ && i_ == p_.size();
  }

  // The compiled number of group n (from 1) of the pattern as written.
  int group_number(int n) const {
    if (n <= 0 || static_cast<size_t>(n) > opens_.size()) return n;
    const size_t at = opens_[static_cast<size_t>(n) - 1];
    long long added = 0;
    for (const auto &[start, count] : inserted_)
      if (start < at) added += count;
    return static_cast<int>(n + added);
  }

 private:
  std::string alternation(size_t start, int depth) {
    std::vector<std::string> branches(1);
    bool has_group = false;
    while (ok_ && i_ < p_.size()) {
      const char c = p_[i_];
      std::string &b = branches.back();
      if (c == '|') {
        ++i_;
        branches.emplace_back();
      } else if (c == ')') {
        if (depth == 0) ok_ = false;
        break;
      } else if (c == '\\') {
        const size_t n = i_ + 1 < p_.size() ? 2 : 1;
        b.append(p_.substr(i_, n));
        i_ += n;
      } else if (c == '[') {
        const size_t end = bracket_end(p_, i_);
        if (end == std::string_view::npos) {
          ok_ = false;
          break;
        }
        b.append(p_.substr(i_, end + 1 - i_));
        i_ = end + 1;
      } else if (c == '(') {
        if (depth >= 100) {
          ok_ = false;
          break;
        }
        has_group = true;
        opens_.push_back(i_);
        ++i_;
        std::string inner = alternation(i_, depth + 1);
        if (i_ >= p_.size() || p_[i_] != ')') {
          ok_ = false;
          break;
        }
        ++i_;
        b += '(';
        b += inner;
        b += ')';
      } else {
        b += c;
        ++i_;
      }
    }
    if (branches.size() <= kFanOut || (keep_ && has_group)) return join(branches, 0, branches.size());
    long long count = 0;
    std::string out = nest(branches, 0, branches.size(), &count);
    inserted_.emplace_back(start, count);
    return out;
  }

  static std::string join(const std::vector<std::string> &b, size_t lo, size_t hi) {
    std::string out;
    for (size_t k = lo; k < hi; ++k) {
      if (k > lo) out += '|';
      out += b[k];
    }
    return out;
  }

  // Alternatives lo..hi as at most kFanOut parts, each part a group of
  // kFanOut^n alternatives nested the same way.
  static std::string nest(const std::vector<std::string> &b, size_t lo, size_t hi, long long *count) {
    if (hi - lo <= kFanOut) return join(b, lo, hi);
    size_t chunk = 1;
    while (chunk * kFanOut < hi - lo) chunk *= kFanOut;
    std::string out;
    for (size_t k = lo; k < hi; k += chunk) {
      const size_t end = k + chunk < hi ? k + chunk : hi;
      if (k > lo) out += '|';
      if (end - k == 1) {
        out += b[k];
        continue;
      }
      out += '(';
      out += nest(b, k, end, count);
      out += ')';
      ++*count;
    }
    return out;
  }

  std::string_view p_;
  bool keep_;
  size_t i_ = 0;
  bool ok_ = true;
  std::vector<size_t> opens_;                           // "(" of each group as written
  std::vector<std::pair<size_t, long long>> inserted_;  // where groups were added, how many
};

}  // namespace

bool kxregex_closures_too_large(const char *pattern) {
  if (pattern == nullptr) return false;
  ClosureEstimate e(pattern);
  e.read();
  return e.too_large();
}

bool kxregex_has_empty_loop(const char *pattern) {
  if (pattern == nullptr) return false;
  ClosureEstimate e(pattern);
  e.read();
  return e.empty_loop();
}

bool kxregex_refused(const char *pattern, long long max_nodes) {
  if (pattern == nullptr) return false;
  if (kxregex_too_large(pattern, max_nodes) || kxregex_has_back_reference(pattern)) return true;
  ClosureEstimate e(pattern);
  e.read();
  return e.empty_loop() || e.too_large();
}

int kxregex_compile(regex_t *re, const char *pattern, int cflags, long long max_nodes, int *group) {
  if (pattern == nullptr) return REG_BADPAT;
  const bool captures = (cflags & REG_NOSUB) == 0;
  Nester nester(pattern, captures);
  std::string nested;
  if (nester.run(&nested) && nested != pattern && !kxregex_refused(nested.c_str(), max_nodes)) {
    if (regcomp(re, nested.c_str(), cflags) == 0) {
      if (group != nullptr && captures) *group = nester.group_number(*group);
      return 0;
    }
  }
  if (kxregex_refused(pattern, max_nodes)) return REG_ESPACE;
  return regcomp(re, pattern, cflags);
}
