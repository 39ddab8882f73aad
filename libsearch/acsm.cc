#include "libsearch/acsm.h"

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace {
struct separator_table {
  unsigned char v[256] = {};
  constexpr separator_table() {
    for (unsigned char c : {'!', '(', ')', '+', ',', '.', ':', ';', '?'}) {
      v[c] = 1;
    }
  }
};
constexpr separator_table kSeparators;
}  // namespace

const unsigned char (&separators)[256] = kSeparators.v;

unsigned char xlatcase[256];

namespace {

// 1 where the translated byte is white space: such bytes are never fed.
unsigned char blank_after_xlat[256];
std::once_flag xlat_once;

constexpr unsigned char kBlank = ' ';

void build_tables() {
  for (int i = 0; i < 256; ++i) {
    xlatcase[i] = static_cast<unsigned char>(std::toupper(i));
  }
  xlatcase[static_cast<unsigned char>('"')] = kBlank;
  for (int i = 0; i < 256; ++i) {
    blank_after_xlat[i] = std::isspace(xlatcase[i]) ? 1 : 0;
  }
}

// End of the matched text: the position after the last non-blank byte
// before position p, never before the buffer.
inline int match_end(const unsigned char *Tx, int p) {
  int q = p - 1;
  while (q >= 0 && blank_after_xlat[Tx[q]]) {
    --q;
  }
  return q + 1;
}

// Debug output and the process-wide counters of the printers.
std::atomic<int> debug_flag{0};
std::atomic<acsm_print_fn> debug_print{nullptr};
std::mutex summary_mutex;
acsm_summary_info summary{};

void no_memory(const char *where) {
  if (!debug_flag.load()) return;
  acsm_print_fn f = debug_print.load();
  if (f != nullptr)
    f("ACSM-No Memory: %s!\n", where);
  else
    printf("ACSM-No Memory: %s!\n", where);
}

void out(const char *format, ...) __attribute__((format(printf, 1, 2)));
void out(const char *format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  acsm_print_fn f = debug_print.load();
  if (f != nullptr)
    f("%s", buf);
  else
    fputs(buf, stdout);
}

// --- Packed rows (every form but the fast full one) ---------------------------

// The value a cell of width w bytes holds for "no transition" in the
// non-deterministic kind: all bits set.
uint32_t fail_value(int w) { return w >= 4 ? 0xFFFFFFFFu : (1u << (8 * w)) - 1; }

inline uint32_t cell(const unsigned char *row, int w, size_t i) {
  switch (w) {
    case 1: return row[i];
    case 2: {
      uint16_t v;
      memcpy(&v, row + 2 * i, 2);
      return v;
    }
    default: {
      uint32_t v;
      memcpy(&v, row + 4 * i, 4);
      return v;
    }
  }
}

void put_cell(std::vector<unsigned char> &to, int w, uint32_t v) {
  unsigned char b[4];
  if (w == 1) {
    b[0] = static_cast<unsigned char>(v);
  } else if (w == 2) {
    uint16_t h = static_cast<uint16_t>(v);
    memcpy(b, &h, 2);
  } else {
    memcpy(b, &v, 4);
  }
  to.insert(to.end(), b, b + w);
}

// One row (256 next states, missing ones equal to dflt) in the chosen
// format as cells; the full format when another would not be smaller or
// its counts would not fit a cell.
std::vector<uint32_t> convert_row(const uint32_t *next, uint32_t match, uint32_t dflt, int format,
                                  const ACSM_STRUCT2 *acsm, uint32_t max_cell) {
  std::vector<uint32_t> full;
  full.reserve(ACSM_ROW_CELLS);
  full.push_back(ACF_FULL);
  full.push_back(match);
  full.insert(full.end(), next, next + 256);
  std::vector<uint32_t> r;
  if (format == ACF_SPARSE) {
    int count = 0;
    for (int b = 0; b < 256; ++b) count += next[b] != dflt;
    if (count > acsm->acsmSparseMaxRowNodes || static_cast<uint32_t>(count) >= max_cell) return full;
    r = {ACF_SPARSE, match, static_cast<uint32_t>(count)};
    for (int b = 0; b < 256; ++b)
      if (next[b] != dflt) r.insert(r.end(), {static_cast<uint32_t>(b), next[b]});
  } else if (format == ACF_BANDED) {
    int lo = 0, hi = -1;
    for (int b = 0; b < 256; ++b)
      if (next[b] != dflt) {
        if (hi < 0) lo = b;
        hi = b;
      }
    const int n = hi - lo + 1;
    if (static_cast<uint32_t>(n) >= max_cell) return full;
    r = {ACF_BANDED, match, static_cast<uint32_t>(n), static_cast<uint32_t>(lo)};
    r.insert(r.end(), next + lo, next + lo + n);
  } else if (format == ACF_SPARSEBANDS) {
    // Bands of present transitions, split where more than
    // acsmSparseMaxZcnt missing ones lie between.
    std::vector<std::pair<int, int>> bands;  // first, last
    for (int b = 0; b < 256; ++b) {
      if (next[b] == dflt) continue;
      if (!bands.empty() && b - bands.back().second - 1 <= acsm->acsmSparseMaxZcnt)
        bands.back().second = b;
      else
        bands.emplace_back(b, b);
    }
    if (bands.size() >= max_cell) return full;
    r = {ACF_SPARSEBANDS, match, static_cast<uint32_t>(bands.size())};
    for (auto [first, last] : bands) {
      const int n = last - first + 1;
      if (static_cast<uint32_t>(n) >= max_cell) return full;
      r.insert(r.end(), {static_cast<uint32_t>(n), static_cast<uint32_t>(first)});
      r.insert(r.end(), next + first, next + last + 1);
    }
  } else {
    return full;
  }
  return r.size() < full.size() ? r : full;
}

// The next state of the packed row on x (dflt where it has none).
inline uint32_t packed_next(const unsigned char *row, int w, unsigned x, uint32_t dflt) {
  switch (cell(row, w, 0)) {
    case ACF_SPARSE: {
      const uint32_t n = cell(row, w, 2);
      for (uint32_t i = 0; i < n; ++i)
        if (cell(row, w, 3 + 2 * i) == x) return cell(row, w, 4 + 2 * i);
      return dflt;
    }
    case ACF_BANDED: {
      const uint32_t n = cell(row, w, 2), start = cell(row, w, 3);
      return x >= start && x < start + n ? cell(row, w, 4 + (x - start)) : dflt;
    }
    case ACF_SPARSEBANDS: {
      const uint32_t bands = cell(row, w, 2);
      size_t i = 3;
      for (uint32_t k = 0; k < bands; ++k) {
        const uint32_t n = cell(row, w, i), start = cell(row, w, i + 1);
        if (x >= start && x < start + n) return cell(row, w, i + 2 + (x - start));
        i += 2 + n;
      }
      return dflt;
    }
    default:
      return cell(row, w, 2 + x);
  }
}

}  // namespace

void acsm_xlatcase_init() { std::call_once(xlat_once, build_tables); }

ACSM_STRUCT2 *acsmNew2(acsm_userfree_fn userfree, acsm_optiontreefree_fn optiontreefree,
                       acsm_neglistfree_fn neg_list_free) {
  acsm_xlatcase_init();
  auto *acsm = new (std::nothrow) ACSM_STRUCT2;
  if (acsm == nullptr) {
    return nullptr;
  }
  acsm->userfree = userfree;
  acsm->optiontreefree = optiontreefree;
  acsm->neg_list_free = neg_list_free;
  return acsm;
}

namespace {

// Stores a pattern: padded, the bytes translated with a blank on each side;
// else as given.
int add_pattern(ACSM_STRUCT2 *acsm, const unsigned char *pat, int n, int nocase, int offset, int depth, int negative,
                void *id, int iid, bool padded) {
  if (acsm == nullptr || acsm->compiled || n < 0 || (pat == nullptr && n > 0)) return -1;
  try {
    auto p = std::make_unique<ACSM_PATTERN2>();
    p->casepatrn.assign(reinterpret_cast<const char *>(pat), static_cast<size_t>(n));
    if (padded) {
      p->patrn.reserve(static_cast<size_t>(n) + 2);
      p->patrn.push_back(static_cast<char>(kBlank));
      for (int i = 0; i < n; ++i) p->patrn.push_back(static_cast<char>(xlatcase[pat[i]]));
      p->patrn.push_back(static_cast<char>(kBlank));
    } else {
      p->patrn = p->casepatrn;
    }
    p->n = static_cast<int>(p->patrn.size());
    p->nocase = nocase;
    p->offset = offset;
    p->depth = depth;
    p->negative = negative;
    p->udata = id;
    p->iid = iid;
    acsm->acsmPatterns.push_back(std::move(p));
    acsm->numPatterns++;
  } catch (const std::bad_alloc &) {
    no_memory("acsmAddPattern");
    return -1;
  }
  return 0;
}

}  // namespace

int acsmAddPattern2(ACSM_STRUCT2 *acsm, const unsigned char *pat, int n, int nocase, int offset, int depth,
                    int negative, void *id, int iid) {
  return add_pattern(acsm, pat, n, nocase, offset, depth, negative, id, iid, true);
}

int acsmAddKey2(ACSM_STRUCT2 *acsm, const unsigned char *pat, int n, int nocase, int offset, int depth, int negative,
                void *id, int iid) {
  return add_pattern(acsm, pat, n, nocase, offset, depth, negative, id, iid, false);
}

int acsmCompile2(ACSM_STRUCT2 *acsm, int (*build_tree)(void *, void **), int (*neg_list_func)(void *, void **)) {
  if (acsm == nullptr || acsm->compiled) {
    return -1;
  }
  if (build_tree != nullptr && neg_list_func != nullptr) acsmBuildMatchStateTrees2(acsm, build_tree, neg_list_func);
  try {
    long long capacity = 1;
    for (const auto &p : acsm->acsmPatterns) {
      capacity += p->n;
    }
    if (capacity > INT32_MAX) {
      return -1;  // state numbers are 32-bit row cells
    }
    acsm->acsmMaxStates = static_cast<int>(capacity);

    std::vector<int32_t> &rows = acsm->acsmNextState;
    std::vector<std::vector<int>> &lists = acsm->acsmMatchList;
    rows.assign(ACSM_ROW_CELLS, 0);
    lists.assign(1, {});
    int num_states = 1;
    int num_trans = 0;

    // Trie, newest pattern first; a row cell of 0 means "no transition"
    // while building (no transition ever leads back to state 0).
    for (int k = static_cast<int>(acsm->acsmPatterns.size()) - 1; k >= 0; --k) {
      const std::string &pat = acsm->acsmPatterns[static_cast<size_t>(k)]->patrn;
      int s = 0;
      for (unsigned char b : pat) {
        int32_t next = rows[static_cast<size_t>(s) * ACSM_ROW_CELLS + 2 + b];
        if (next == 0) {
          next = num_states++;
          rows.resize(static_cast<size_t>(num_states) * ACSM_ROW_CELLS, 0);
          lists.emplace_back();
          rows[static_cast<size_t>(s) * ACSM_ROW_CELLS + 2 + b] = next;
          ++num_trans;
        }
        s = next;
      }
      lists[static_cast<size_t>(s)].insert(lists[static_cast<size_t>(s)].begin(), k);
    }

    // The trie's own transitions, for the non-deterministic kind.
    std::vector<int32_t> trie;
    if (acsm->acsmFSA == FSA_NFA) trie = rows;

    // Failure links and determinisation in one breadth-first pass: a
    // state's link target is shallower, so its row is complete when needed.
    std::vector<int> fail(static_cast<size_t>(num_states), 0);
    std::vector<int> queue;
    queue.reserve(static_cast<size_t>(num_states));
    for (int b = 0; b < 256; ++b) {
      int s = rows[2 + b];
      if (s != 0) {
        fail[static_cast<size_t>(s)] = 0;
        queue.push_back(s);
      }
    }
    for (size_t head = 0; head < queue.size(); ++head) {
      const int r = queue[head];
      const size_t rrow = static_cast<size_t>(r) * ACSM_ROW_CELLS;
      const size_t frow = static_cast<size_t>(fail[static_cast<size_t>(r)]) * ACSM_ROW_CELLS;
      for (int b = 0; b < 256; ++b) {
        const int s = rows[rrow + 2 + b];
        const int via_link = rows[frow + 2 + b];
        if (s != 0) {
          queue.push_back(s);
          fail[static_cast<size_t>(s)] = via_link;
          // The link target's entries go one by one to the front, so they
          // stand in reverse order before s's own pattern.
          const std::vector<int> &from = lists[static_cast<size_t>(via_link)];
          std::vector<int> &to = lists[static_cast<size_t>(s)];
          to.insert(to.begin(), from.rbegin(), from.rend());
        } else {
          rows[rrow + 2 + b] = via_link;
        }
      }
    }

    for (int s = 0; s < num_states; ++s) {
      rows[static_cast<size_t>(s) * ACSM_ROW_CELLS] = 0;
      rows[static_cast<size_t>(s) * ACSM_ROW_CELLS + 1] =
          lists[static_cast<size_t>(s)].empty() ? 0 : 1;
    }
    rows.shrink_to_fit();
    acsm->acsmNumStates = num_states;
    acsm->acsmNumTrans = num_trans;

    // Cell width and the packed rows of every form but the fast one.
    int w = 4;
    if (acsm->compress_states) w = num_states <= 254 ? 1 : num_states <= 65534 ? 2 : 4;
    acsm->sizeofstate = w;
    const bool nfa = acsm->acsmFSA == FSA_NFA;
    if (nfa || w != 4 || acsm->acsmFormat != ACF_FULL || acsm->acsmAlphabetSize < 256) {
      const uint32_t failv = fail_value(w);
      const int format = acsm->acsmFormat == ACF_FULLQ ? ACF_FULL : acsm->acsmFormat;
      acsm->acsmRowOffset.resize(static_cast<size_t>(num_states));
      uint32_t next[256];
      for (int st = 0; st < num_states; ++st) {
        const int32_t *from = (nfa ? trie.data() : rows.data()) + static_cast<size_t>(st) * ACSM_ROW_CELLS + 2;
        // In the trie a missing transition is 0: from the root it stays 0,
        // elsewhere it is a failure.
        const uint32_t dflt = nfa && st != 0 ? failv : 0;
        for (int b = 0; b < 256; ++b) {
          bool absent = from[b] == 0 || b >= acsm->acsmAlphabetSize;
          next[b] = absent ? dflt : static_cast<uint32_t>(from[b]);
        }
        const uint32_t match = rows[static_cast<size_t>(st) * ACSM_ROW_CELLS + 1];
        acsm->acsmRowOffset[static_cast<size_t>(st)] = acsm->acsmPacked.size();
        for (uint32_t c : convert_row(next, match, dflt, format, acsm, failv)) put_cell(acsm->acsmPacked, w, c);
      }
      acsm->acsmPacked.shrink_to_fit();
      if (nfa) acsm->acsmFailState = std::move(fail);
      // The full rows are needed only by the fast form.
      std::vector<int32_t>().swap(rows);
    }
    acsm->compiled = true;

    size_t bytes = acsm->acsmNextState.size() * sizeof(int32_t) + acsm->acsmPacked.size() +
                   acsm->acsmRowOffset.size() * sizeof(size_t) + acsm->acsmFailState.size() * sizeof(int);
    long long characters = 0, match_states = 0;
    for (const auto &pat : acsm->acsmPatterns) characters += pat->n;
    for (const auto &list : lists) {
      bytes += list.size() * sizeof(int);
      match_states += !list.empty();
    }
    acsm->memory = bytes;
    std::lock_guard<std::mutex> g(summary_mutex);
    summary.num_states += num_states;
    summary.num_transitions += num_trans;
    summary.num_patterns += acsm->numPatterns;
    summary.num_characters += characters;
    summary.num_match_states += match_states;
    summary.num_instances += 1;
    (w == 1 ? summary.num_1byte_instances : w == 2 ? summary.num_2byte_instances : summary.num_4byte_instances) += 1;
    summary.memory_bytes += static_cast<long long>(bytes);
  } catch (const std::bad_alloc &) {
    no_memory("acsmCompile");
    acsm->acsmNextState.clear();
    acsm->acsmMatchList.clear();
    acsm->acsmPacked.clear();
    acsm->acsmRowOffset.clear();
    acsm->acsmFailState.clear();
    return -1;
  }
  return 0;
}

namespace {

// The registers of a scan, held in locals while it runs and saved into the
// caller's ACSM_STATE before every report and at the end.
struct scan_regs {
  int s, letter, prep_sep, word_index;
};

// The fast form: full rows of 4-byte cells.
struct full_rows {
  const int32_t *cells;
  const int32_t *row(int s) const { return cells + static_cast<size_t>(s) * ACSM_ROW_CELLS; }
  static bool matches(const int32_t *row) { return row[1] != 0; }
  static int next(const int32_t *row, int, unsigned x) { return row[2 + x]; }
};

// Every other form: rows in their formats, sizeofstate bytes a cell; the
// non-deterministic kind follows failure states.
struct packed_rows {
  const unsigned char *packed;
  const size_t *offsets;
  const int *fail;  // non-deterministic kind only
  int w;
  uint32_t failv;
  const unsigned char *row(int s) const { return packed + offsets[static_cast<size_t>(s)]; }
  bool matches(const unsigned char *row) const { return cell(row, w, 1) != 0; }
  int next(const unsigned char *row, int s, unsigned x) const {
    if (fail == nullptr) return static_cast<int>(packed_next(row, w, x, 0));
    uint32_t t;
    while ((t = packed_next(row, w, x, s != 0 ? failv : 0)) == failv) {
      s = fail[static_cast<size_t>(s)];
      row = this->row(s);
    }
    return static_cast<int>(t);
  }
};

// The word normalisation of every form: feeds the automaton a blank before
// every word and before every separator, skipping the text's own white
// space, and calls hit(state, end of the matched text) at every state with
// a match, and once more after the last byte. r is brought up to date
// before every hit and at the end. True when hit asked to stop.
template <class Rows, class Hit>
inline bool scan_words(const Rows &rows, const unsigned char *Tx, int n, scan_regs &r, Hit &&hit) {
  // Locals, so that the loop keeps them in registers.
  int s = r.s, letter = r.letter, prep_sep = r.prep_sep, word_index = r.word_index;
  auto hold = [&] { r = scan_regs{s, letter, prep_sep, word_index}; };
  int p = 0;
  while (p < n) {
    const unsigned char b = Tx[p];
    if (blank_after_xlat[b]) {
      letter = 0;
      ++p;
      continue;
    }
    unsigned x;
    int next_p = p + 1;
    if (separators[b]) {
      if (prep_sep == 0) {
        x = kBlank;
        prep_sep = 1;
        next_p = p;  // the separator itself follows the blank
      } else {
        x = xlatcase[b];
        prep_sep = 0;
        letter = 0;
      }
    } else if (letter == 0) {
      x = kBlank;
      ++word_index;
      letter = 1;
      next_p = p;  // the word's first byte follows the blank
    } else {
      x = xlatcase[b];
    }
    const auto row = rows.row(s);
    if (rows.matches(row)) {
      hold();
      if (hit(s, match_end(Tx, p))) return true;
    }
    s = rows.next(row, s, x);
    p = next_p;
  }
  hold();
  return rows.matches(rows.row(s)) && hit(s, match_end(Tx, n));
}

}  // namespace

int acsmSearch2(const ACSM_STRUCT2 *acsm, const unsigned char *Tx, int n, acsm_match_fn Match,
                void *data, ACSM_STATE *current_state) {
  if (acsm == nullptr || current_state == nullptr || !acsm->compiled || n <= 0 || Tx == nullptr ||
      (acsm->acsmFSA != FSA_DFA && acsm->acsmFSA != FSA_NFA)) {
    return 0;
  }
  scan_regs r{current_state->state, current_state->letter, current_state->prep_sep, current_state->word_index};
  if (r.s < 0 || r.s >= acsm->acsmNumStates) r.s = 0;
  int nfound = 0;
  auto save = [&] { *current_state = ACSM_STATE{r.s, r.letter, r.prep_sep, r.word_index}; };
  // Only the front entry of a state's match list is reported.
  auto front = [&](int st) -> const ACSM_PATTERN2 & {
    return *acsm->acsmPatterns[static_cast<size_t>(acsm->acsmMatchList[static_cast<size_t>(st)].front())];
  };
  // True when Match asks to stop.
  auto report = [&](const ACSM_PATTERN2 &pat, int index) {
    ++nfound;
    return Match(pat.udata, pat.rule_option_tree, index, data, pat.neg_list, current_state) > 0;
  };
  auto hit = [&](int st, int end) {
    save();
    const ACSM_PATTERN2 &pat = front(st);
    return report(pat, end - pat.n);
  };

  if (acsm->acsmPacked.empty()) {
    if (!scan_words(full_rows{acsm->acsmNextState.data()}, Tx, n, r, hit)) save();
    return nfound;
  }
  const int w = acsm->sizeofstate;
  const packed_rows rows{acsm->acsmPacked.data(), acsm->acsmRowOffset.data(),
                         acsm->acsmFSA == FSA_NFA ? acsm->acsmFailState.data() : nullptr, w, fail_value(w)};
  if (acsm->acsmFormat != ACF_FULLQ) {
    if (!scan_words(rows, Tx, n, r, hit)) save();
    return nfound;
  }
  // The full format with match queue collects distinct match states and
  // reports their front entries, index 0, when AC_MAX_INQ are held and at
  // the end of the call.
  int queue[AC_MAX_INQ];
  int inq = 0;
  auto flush_queue = [&] {
    const int held = inq;
    inq = 0;
    for (int i = 0; i < held; ++i)
      if (report(front(queue[i]), 0)) return true;
    return false;
  };
  auto queue_hit = [&](int st, int) {
    for (int i = 0; i < inq; ++i)
      if (queue[i] == st) return false;
    queue[inq++] = st;
    if (inq < AC_MAX_INQ) return false;
    save();
    return flush_queue();
  };
  if (!scan_words(rows, Tx, n, r, queue_hit)) {
    save();
    flush_queue();
  }
  return nfound;
}

void acsmFree2(ACSM_STRUCT2 *acsm) {
  if (acsm == nullptr) {
    return;
  }
  if (acsm->compiled) {
    std::lock_guard<std::mutex> g(summary_mutex);
    summary.memory_bytes -= static_cast<long long>(acsm->memory);
  }
  for (const auto &p : acsm->acsmPatterns) {
    if (acsm->optiontreefree != nullptr && p->rule_option_tree != nullptr) acsm->optiontreefree(&p->rule_option_tree);
    if (acsm->neg_list_free != nullptr && p->neg_list != nullptr) acsm->neg_list_free(&p->neg_list);
  }
  if (acsm->userfree != nullptr) {
    for (const auto &p : acsm->acsmPatterns) {
      if (p->udata != nullptr) {
        acsm->userfree(p->udata);
      }
    }
  }
  delete acsm;
}

int acsmPatternCount2(const ACSM_STRUCT2 *acsm) { return acsm == nullptr ? 0 : acsm->numPatterns; }

namespace {

int set_if(ACSM_STRUCT2 *acsm, int *field, int value, int lo, int hi) {
  if (acsm == nullptr || acsm->compiled || value < lo || value > hi) return -1;
  *field = value;
  return 0;
}

}  // namespace

int acsmSelectFormat2(ACSM_STRUCT2 *acsm, int format) {
  return acsm == nullptr ? -1 : set_if(acsm, &acsm->acsmFormat, format, ACF_FULL, ACF_FULLQ);
}
int acsmSelectFSA2(ACSM_STRUCT2 *acsm, int fsa) {
  return acsm == nullptr ? -1 : set_if(acsm, &acsm->acsmFSA, fsa, FSA_TRIE, FSA_DFA);
}
int acsmSetAlphabetSize2(ACSM_STRUCT2 *acsm, int n) {
  return acsm == nullptr ? -1 : set_if(acsm, &acsm->acsmAlphabetSize, n, 1, 256);
}
int acsmSetMaxSparseElements2(ACSM_STRUCT2 *acsm, int n) {
  return acsm == nullptr ? -1 : set_if(acsm, &acsm->acsmSparseMaxRowNodes, n, 1, 256);
}
int acsmSetMaxSparseBandZeros2(ACSM_STRUCT2 *acsm, int n) {
  return acsm == nullptr ? -1 : set_if(acsm, &acsm->acsmSparseMaxZcnt, n, 0, 256);
}
int acsmCompressStates(ACSM_STRUCT2 *acsm, int flag) {
  return acsm == nullptr ? -1 : set_if(acsm, &acsm->compress_states, flag != 0 ? 1 : 0, 0, 1);
}

void acsmSetDebug(int flag, acsm_print_fn print) {
  debug_flag.store(flag);
  debug_print.store(print);
}

int acsmBuildMatchStateTrees2(ACSM_STRUCT2 *acsm, int (*build_tree)(void *id, void **existing_tree),
                              int (*neg_list_func)(void *id, void **list)) {
  if (acsm == nullptr) return 0;
  for (const auto &p : acsm->acsmPatterns) {
    if (build_tree != nullptr) build_tree(p->udata, &p->rule_option_tree);
    if (neg_list_func != nullptr) neg_list_func(p->udata, &p->neg_list);
  }
  return 0;
}

void acsmPrintInfo2(const ACSM_STRUCT2 *acsm) {
  if (acsm == nullptr) return;
  static const char *const kFormats[] = {"Full", "Sparse", "Banded", "Sparse-Bands", "Full-Q"};
  static const char *const kKinds[] = {"TRIE", "NFA", "DFA"};
  long long characters = 0;
  for (const auto &p : acsm->acsmPatterns) characters += p->n;
  out("+--[Pattern Matcher:Aho-Corasick]-----------------------------\n");
  out("| Alphabet Size    : %d Chars\n", acsm->acsmAlphabetSize);
  out("| Sizeof State     : %d bytes\n", acsm->sizeofstate);
  out("| Storage Format   : %s\n", kFormats[acsm->acsmFormat >= 0 && acsm->acsmFormat <= 4 ? acsm->acsmFormat : 0]);
  out("| Sparse Row Nodes : %d Max\n", acsm->acsmSparseMaxRowNodes);
  out("| Sparse Band Zeros: %d Max\n", acsm->acsmSparseMaxZcnt);
  out("| Automaton        : %s\n", kKinds[acsm->acsmFSA >= 0 && acsm->acsmFSA <= 2 ? acsm->acsmFSA : 0]);
  out("| Patterns         : %d\n", acsm->numPatterns);
  out("| Pattern Chars    : %lld\n", characters);
  out("| States           : %d\n", acsm->acsmNumStates);
  out("| Transitions      : %d\n", acsm->acsmNumTrans);
  out("| Memory           : %.2fKbytes\n", static_cast<double>(acsm->memory) / 1024.0);
  out("+-------------------------------------------------------------\n");
}

void acsmPrintSummaryInfo2() {
  acsm_summary_info s = acsmSummary2();
  out("+--[Pattern Matcher:Aho-Corasick Summary]----------------------\n");
  out("| Instances        : %lld\n", s.num_instances);
  out("|     1 byte states : %lld\n", s.num_1byte_instances);
  out("|     2 byte states : %lld\n", s.num_2byte_instances);
  out("|     4 byte states : %lld\n", s.num_4byte_instances);
  out("| Patterns         : %lld\n", s.num_patterns);
  out("| Pattern Chars    : %lld\n", s.num_characters);
  out("| States           : %lld\n", s.num_states);
  out("| Transitions      : %lld\n", s.num_transitions);
  out("| Match States     : %lld\n", s.num_match_states);
  out("| Memory           : %.2fKbytes\n", static_cast<double>(s.memory_bytes) / 1024.0);
  out("+-------------------------------------------------------------\n");
}

acsm_summary_info acsmSummary2() {
  std::lock_guard<std::mutex> g(summary_mutex);
  return summary;
}
