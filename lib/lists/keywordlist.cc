#include "lib/lists/keywordlist.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lib/base/kxstring.h"

// One node of a first-byte trie: the byte at the root is implied by its slot.
struct kwl_trie {
  std::vector<std::pair<unsigned char, std::unique_ptr<kwl_trie>>> kids;
  KEYWORDLIST_WORD *word = nullptr;

  kwl_trie *child(unsigned char c) const {
    for (const auto &k : kids)
      if (k.first == c) return k.second.get();
    return nullptr;
  }
};

struct kwl_phrase_list {
  std::vector<KEYWORDLIST_PHRASE *> all;
};

int keywordlist_generate_hash(const char *word) {
  return word != nullptr ? static_cast<unsigned char>(word[0]) : 0;
}

namespace {

// Punctuation of the default POSIX locale, independent of the process locale.
bool is_punct(unsigned char c) {
  return (c >= 0x21 && c <= 0x2f) || (c >= 0x3a && c <= 0x40) || (c >= 0x5b && c <= 0x60) ||
         (c >= 0x7b && c <= 0x7e);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Splits a separator text at blanks into a null-terminated list pointing into
// its copy, with the lengths. False on no memory.
bool make_separators(const char *text, char **copy, char ***list, int **lens) {
  *copy = nullptr;
  *list = nullptr;
  *lens = nullptr;
  if (!text) return true;
  *copy = strdup(text);
  if (!*copy) return false;
  std::vector<char *> fields;
  for (char *p = *copy; *p;) {
    while (is_blank(*p)) *p++ = '\0';
    if (!*p) break;
    fields.push_back(p);
    while (*p && !is_blank(*p)) ++p;
  }
  if (fields.empty()) return true;  // only blanks: punctuation rules apply
  *list = static_cast<char **>(calloc(fields.size() + 1, sizeof(char *)));
  *lens = static_cast<int *>(calloc(fields.size(), sizeof(int)));
  if (!*list || !*lens) return false;
  for (size_t i = 0; i < fields.size(); ++i) {
    (*list)[i] = fields[i];
    (*lens)[i] = static_cast<int>(strlen(fields[i]));
  }
  return true;
}

// Whole-word test of the word of len bytes at pos of text (n bytes).
bool keywordlist_check_restriction(const KEYWORDLIST_TABLE *list, const char *text, size_t n,
                                   size_t pos, size_t len) {
  if (pos > 0) {
    if (list->prefix_list) {
      bool ok = false;
      for (int i = 0; list->prefix_list[i] && !ok; ++i) {
        size_t l = static_cast<size_t>(list->prefix_list_len[i]);
        ok = l <= pos && memcmp(text + pos - l, list->prefix_list[i], l) == 0;
      }
      if (!ok) return false;
    } else if (!is_punct(static_cast<unsigned char>(text[pos - 1]))) {
      return false;
    }
  }
  size_t end = pos + len;
  if (end >= n) return true;
  if (list->postfix_list) {
    for (int i = 0; list->postfix_list[i]; ++i) {
      size_t l = static_cast<size_t>(list->postfix_list_len[i]);
      if (end + l <= n && memcmp(text + end, list->postfix_list[i], l) == 0) return true;
    }
    return false;
  }
  return is_punct(static_cast<unsigned char>(text[end]));
}

KEYWORDLIST_WORD *find_word(const KEYWORDLIST_TABLE *list, const std::string &w) {
  kwl_trie *node = list->keywords[keywordlist_generate_hash(w.c_str())];
  for (size_t i = 1; node && i < w.size(); ++i) node = node->child(static_cast<unsigned char>(w[i]));
  return node ? node->word : nullptr;
}

// The word's record, made (without data) when new. Null on no memory.
KEYWORDLIST_WORD *get_word(KEYWORDLIST_TABLE *list, const std::string &w, short restricted, bool *created) {
  *created = false;
  if (KEYWORDLIST_WORD *found = find_word(list, w)) return found;
  try {
    kwl_trie *&root = list->keywords[keywordlist_generate_hash(w.c_str())];
    if (!root) root = new kwl_trie;
    kwl_trie *node = root;
    for (size_t i = 1; i < w.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(w[i]);
      kwl_trie *next = node->child(c);
      if (!next) {
        node->kids.emplace_back(c, std::make_unique<kwl_trie>());
        next = node->kids.back().second.get();
      }
      node = next;
    }
    auto *word = static_cast<KEYWORDLIST_WORD *>(calloc(1, sizeof(KEYWORDLIST_WORD)));
    if (!word) return nullptr;
    word->item = strdup(w.c_str());
    if (!word->item) {
      free(word);
      return nullptr;
    }
    word->table = list;
    word->length = w.size();
    word->restricted = restricted;
    word->single_restricted = restricted;
    node->word = word;
    list->count++;
    *created = true;
    return word;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

int add_single(KEYWORDLIST_TABLE *list, const std::string &w, void *data, int restricted) {
  short r = restricted ? KWL_RESTR_SET : KWL_RESTR_NO;
  bool created;
  KEYWORDLIST_WORD *word = get_word(list, w, r, &created);
  if (!word) return KEYWORDLIST_MEMORY_ERROR;
  if (created) {
    word->data = data;
    return KEYWORDLIST_SUCCESS;
  }
  if (word->data) return KEYWORDLIST_DUPLICATE_ENTRY;
  word->data = data;
  word->single_restricted = r;
  if (word->restricted != r) word->restricted = KWL_RESTR_BOTH;
  return KEYWORDLIST_SUCCESS;
}

int add_phrase_word(KEYWORDLIST_TABLE *list, const std::string &w, char type, int offset,
                    KEYWORDLIST_PHRASE *phrase) {
  short r = phrase->restricted ? KWL_RESTR_SET : KWL_RESTR_NO;
  bool created;
  KEYWORDLIST_WORD *word = get_word(list, w, r, &created);
  if (!word) return KEYWORDLIST_MEMORY_ERROR;
  if (word->phrases_num % 4 == 0) {
    auto *grown = static_cast<KWL_PHRASE_WORD *>(
        realloc(word->phrases, (static_cast<size_t>(word->phrases_num) + 4) * sizeof(KWL_PHRASE_WORD)));
    if (!grown) return KEYWORDLIST_MEMORY_ERROR;
    word->phrases = grown;
  }
  word->phrases[word->phrases_num++] = KWL_PHRASE_WORD{type, offset, phrase};
  if (!created && word->restricted != r) word->restricted = KWL_RESTR_BOTH;
  if (type == KWL_TYPE_REG) {
    phrase->length++;
    phrase->done++;
  } else if (type == KWL_TYPE_NEG) {
    phrase->cancelable = 1;
  }
  return KEYWORDLIST_SUCCESS;
}

// Takes a failed phrase back out of its words, so that no word points to it.
void unlink_phrase(KEYWORDLIST_TABLE *list, const std::vector<std::string> &words, KEYWORDLIST_PHRASE *phrase) {
  for (const auto &w : words) {
    KEYWORDLIST_WORD *word = find_word(list, w);
    if (!word) continue;
    int keep = 0;
    for (int i = 0; i < word->phrases_num; ++i)
      if (word->phrases[i].phrase != phrase) word->phrases[keep++] = word->phrases[i];
    word->phrases_num = keep;
  }
}

void free_trie(KEYWORDLIST_TABLE *list, kwl_trie *node) {
  // Iterative, so that long words cannot exhaust the stack.
  std::vector<kwl_trie *> todo{node};
  while (!todo.empty()) {
    kwl_trie *n = todo.back();
    todo.pop_back();
    if (n->word) {
      if (n->word->data && list->free_func) list->free_func(n->word->data);
      free(n->word->item);
      free(n->word->phrases);
      free(n->word);
      n->word = nullptr;
    }
    for (auto &k : n->kids) todo.push_back(k.second.get());
  }
  delete node;
}

}  // namespace

KEYWORDLIST_TABLE *keywordlist_initialize(const char *prefixes, const char *postfixes,
                                          keywordlist_free_fn free_func) {
  auto *l = static_cast<KEYWORDLIST_TABLE *>(calloc(1, sizeof(KEYWORDLIST_TABLE)));
  if (!l) return nullptr;
  l->free_func = free_func;
  if (!make_separators(prefixes, &l->prefixes, &l->prefix_list, &l->prefix_list_len) ||
      !make_separators(postfixes, &l->postfixes, &l->postfix_list, &l->postfix_list_len)) {
    keywordlist_terminate(l);
    return nullptr;
  }
  return l;
}

int keywordlist_add_keyword(KEYWORDLIST_TABLE *list, const char *keyword, void *data, int restricted,
                            int multi) {
  if (!list || !keyword || !data) return KEYWORDLIST_INVALID_ARGS;
  std::string norm;
  try {
    std::unique_ptr<char, decltype(&free)> copy(strdup(keyword), &free);
    if (!copy) return KEYWORDLIST_MEMORY_ERROR;
    string_lowercase_url(copy.get());
    norm = copy.get();
    if (norm.empty()) return KEYWORDLIST_INVALID_ARGS;
    if (!multi || norm.find('+') == std::string::npos) return add_single(list, norm, data, restricted);

    std::vector<std::string> pieces;
    for (size_t start = 0; start <= norm.size();) {
      size_t plus = norm.find('+', start);
      if (plus == std::string::npos) plus = norm.size();
      if (plus > start) pieces.push_back(norm.substr(start, plus - start));
      start = plus + 1;
    }
    if (pieces.empty()) return KEYWORDLIST_INVALID_ARGS;
    if (pieces.size() == 1) return add_single(list, pieces[0], data, restricted);

    std::vector<char> types;
    std::vector<std::string> words;
    bool needed = false;
    for (const auto &p : pieces) {
      char type = p[0] == '!' ? KWL_TYPE_NEG : p[0] == '^' ? KWL_TYPE_SKIP : KWL_TYPE_REG;
      std::string w = type == KWL_TYPE_REG ? p : p.substr(1);
      if (w.empty()) return KEYWORDLIST_INVALID_ARGS;  // a bare marker
      needed = needed || type == KWL_TYPE_REG;
      types.push_back(type);
      words.push_back(w);
    }
    if (!needed) return KEYWORDLIST_INVALID_ARGS;  // it could never be found

    if (!list->phrases) list->phrases = new kwl_phrase_list;
    size_t size = sizeof(KEYWORDLIST_PHRASE) + words.size();
    auto *phrase = static_cast<KEYWORDLIST_PHRASE *>(calloc(1, size));
    if (!phrase) return KEYWORDLIST_MEMORY_ERROR;
    phrase->item = strdup(keyword);
    if (!phrase->item) {
      free(phrase);
      return KEYWORDLIST_MEMORY_ERROR;
    }
    string_tolower(phrase->item);
    phrase->data = data;
    phrase->table = list;
    phrase->restricted = restricted ? 1 : 0;
    phrase->size = static_cast<int>(size);
    phrase->phrase = phrase;
    phrase->found_words = reinterpret_cast<char *>(phrase) + sizeof(KEYWORDLIST_PHRASE);
    phrase->words = static_cast<int>(words.size());
    list->phrases->all.push_back(phrase);
    for (size_t i = 0; i < words.size(); ++i) {
      if (add_phrase_word(list, words[i], types[i], static_cast<int>(i), phrase) != KEYWORDLIST_SUCCESS) {
        unlink_phrase(list, words, phrase);
        list->phrases->all.pop_back();
        free(phrase->item);
        free(phrase);
        return KEYWORDLIST_MEMORY_ERROR;
      }
    }
    return KEYWORDLIST_SUCCESS;
  } catch (const std::bad_alloc &) {
    return KEYWORDLIST_MEMORY_ERROR;
  }
}

KEYWORDLIST_RESULT *keywordlist_lookup(KEYWORDLIST_TABLE *list, const char *text,
                                       keywordlist_check_fn check, void *arg) {
  if (!list || !text || list->count == 0) return nullptr;
  const size_t n = strlen(text);
  const bool have_phrases = list->phrases && !list->phrases->all.empty();
  auto accepted = [&](void *data) { return !check || check(arg, data) != 0; };

  // Per-lookup state, freed on every return.
  std::unordered_map<KEYWORDLIST_PHRASE *, KEYWORDLIST_PHRASE *> copies;
  struct Cleanup {
    std::unordered_map<KEYWORDLIST_PHRASE *, KEYWORDLIST_PHRASE *> &c;
    ~Cleanup() {
      for (auto &kv : c) free(kv.second);
    }
  } cleanup{copies};
  KEYWORDLIST_PHRASE *candidates = nullptr;
  KEYWORDLIST_WORD *single = nullptr;
  int longest = 0;
  std::vector<KEYWORDLIST_WORD *> found;
  std::vector<KEYWORDLIST_PHRASE *> flagged_now;

  try {
    for (size_t i = 0; i < n; ++i) {
      kwl_trie *node = list->keywords[keywordlist_generate_hash(text + i)];
      if (!node) continue;
      found.clear();
      if (node->word) found.push_back(node->word);
      for (size_t j = i + 1; j < n; ++j) {
        node = node->child(static_cast<unsigned char>(text[j]));
        if (!node) break;
        if (node->word) found.push_back(node->word);
      }
      for (size_t k = found.size(); k-- > 0;) {  // longest first
        KEYWORDLIST_WORD *w = found[k];
        bool whole = w->restricted == KWL_RESTR_NO ||
                     keywordlist_check_restriction(list, text, n, i, w->length);
        if (w->restricted == KWL_RESTR_SET && !whole) continue;
        if (!have_phrases) {
          if (w->data && accepted(w->data)) return reinterpret_cast<KEYWORDLIST_RESULT *>(w);
          continue;
        }
        if (w->data && !single && (!w->single_restricted || whole) && accepted(w->data)) single = w;
        flagged_now.clear();
        for (int e = 0; e < w->phrases_num; ++e) {
          const KWL_PHRASE_WORD &pw = w->phrases[e];
          KEYWORDLIST_PHRASE *p = pw.phrase;
          if (p->restricted && !whole) continue;
          KEYWORDLIST_PHRASE *&copy = copies[p];
          if (!copy) {
            copy = static_cast<KEYWORDLIST_PHRASE *>(malloc(static_cast<size_t>(p->size)));
            if (!copy) return nullptr;
            memcpy(copy, p, static_cast<size_t>(p->size));
            copy->found_words = reinterpret_cast<char *>(copy) + sizeof(KEYWORDLIST_PHRASE);
            memset(copy->found_words, 0, static_cast<size_t>(p->words));
            copy->phrase = p;
            copy->next = nullptr;
            copy->done = p->length;
            copy->canceled = 0;
            copy->skipto = 0;
            copy->candidate = 0;
            if (p->length > longest) longest = p->length;
          } else if (copy->skipto > i) {
            continue;
          }
          if (pw.type == KWL_TYPE_NEG) {
            copy->canceled = 1;
          } else if (pw.type == KWL_TYPE_SKIP) {
            copy->skipto = i + w->length;
          } else if (copy->done > 0 && !copy->found_words[pw.offset]) {
            bool already = false;
            for (auto *f : flagged_now) already = already || f == p;
            if (!already) {
              copy->found_words[pw.offset] = 1;
              copy->done--;
              flagged_now.push_back(p);
            }
          }
          if (copy->canceled || copy->done != 0) continue;
          if (!p->cancelable && p->length == longest) {
            if (accepted(p->data)) return reinterpret_cast<KEYWORDLIST_RESULT *>(p);
            continue;
          }
          if (copy->candidate) continue;
          copy->candidate = 1;
          // Longest first; a newer candidate before older ones of its length.
          KEYWORDLIST_PHRASE **at = &candidates;
          while (*at && (*at)->length > copy->length) at = &(*at)->next;
          copy->next = *at;
          *at = copy;
        }
      }
    }
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  for (KEYWORDLIST_PHRASE *c = candidates; c; c = c->next)
    if (!c->canceled && accepted(c->phrase->data)) return reinterpret_cast<KEYWORDLIST_RESULT *>(c->phrase);
  return reinterpret_cast<KEYWORDLIST_RESULT *>(single);
}

void keywordlist_terminate(KEYWORDLIST_TABLE *list) {
  if (!list) return;
  for (auto &root : list->keywords)
    if (root) free_trie(list, root);
  if (list->phrases) {
    for (KEYWORDLIST_PHRASE *p : list->phrases->all) {
      if (p->data && list->free_func) list->free_func(p->data);
      free(p->item);
      free(p);
    }
    delete list->phrases;
  }
  free(list->prefixes);
  free(list->postfixes);
  free(list->prefix_list);
  free(list->postfix_list);
  free(list->prefix_list_len);
  free(list->postfix_list_len);
  free(list);
}
