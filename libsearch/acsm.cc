#include "libsearch/acsm.h"

#include <cctype>
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

int acsmAddPattern2(ACSM_STRUCT2 *acsm, const unsigned char *pat, int n, int nocase, int offset,
                    int depth, int negative, void *id, int iid) {
  if (acsm == nullptr || acsm->compiled || n < 0 || (pat == nullptr && n > 0)) {
    return -1;
  }
  try {
    auto p = std::make_unique<ACSM_PATTERN2>();
    p->patrn.reserve(static_cast<size_t>(n) + 2);
    p->patrn.push_back(static_cast<char>(kBlank));
    for (int i = 0; i < n; ++i) {
      p->patrn.push_back(static_cast<char>(xlatcase[pat[i]]));
    }
    p->patrn.push_back(static_cast<char>(kBlank));
    p->casepatrn.assign(reinterpret_cast<const char *>(pat), static_cast<size_t>(n));
    p->n = n + 2;
    p->nocase = nocase;
    p->offset = offset;
    p->depth = depth;
    p->negative = negative;
    p->udata = id;
    p->iid = iid;
    acsm->acsmPatterns.push_back(std::move(p));
    acsm->numPatterns++;
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return 0;
}

int acsmCompile2(ACSM_STRUCT2 *acsm, int (*)(void *, void **), int (*)(void *, void **)) {
  if (acsm == nullptr || acsm->compiled) {
    return -1;
  }
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
    acsm->compiled = true;
  } catch (const std::bad_alloc &) {
    acsm->acsmNextState.clear();
    acsm->acsmMatchList.clear();
    return -1;
  }
  return 0;
}

int acsmSearch2(const ACSM_STRUCT2 *acsm, const unsigned char *Tx, int n, acsm_match_fn Match,
                void *data, ACSM_STATE *current_state) {
  if (acsm == nullptr || current_state == nullptr || !acsm->compiled || acsm->acsmFSA != 2 ||
      acsm->acsmFormat != 0 || n <= 0 || Tx == nullptr) {
    return 0;
  }
  const int32_t *rows = acsm->acsmNextState.data();
  int s = current_state->state;
  if (s < 0 || s >= acsm->acsmNumStates) {
    s = 0;
  }
  int letter = current_state->letter;
  int prep_sep = current_state->prep_sep;
  int word_index = current_state->word_index;
  int nfound = 0;

  auto save = [&] {
    current_state->state = s;
    current_state->letter = letter;
    current_state->prep_sep = prep_sep;
    current_state->word_index = word_index;
  };
  // Reports the front entry of s's match list; true when Match asks to stop.
  auto report = [&](int end) {
    const ACSM_PATTERN2 &pat =
        *acsm->acsmPatterns[static_cast<size_t>(acsm->acsmMatchList[static_cast<size_t>(s)].front())];
    ++nfound;
    save();
    return Match(pat.udata, pat.rule_option_tree, end - pat.n, data, pat.neg_list,
                 current_state) > 0;
  };

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
    const int32_t *row = rows + static_cast<size_t>(s) * ACSM_ROW_CELLS;
    if (row[1] != 0 && report(match_end(Tx, p))) {
      return nfound;
    }
    s = row[2 + x];
    p = next_p;
  }
  if (!acsm->acsmMatchList[static_cast<size_t>(s)].empty() && report(match_end(Tx, n))) {
    return nfound;
  }
  save();
  return nfound;
}

void acsmFree2(ACSM_STRUCT2 *acsm) {
  if (acsm == nullptr) {
    return;
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
