#include "libsearch/query_search.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <new>

#include "libsearch/query_lucene.h"

namespace nk = query_node_kind;

namespace {

// The decimal value of a modifier's number, 0 when it is no number.
int modifier_number(const query_ast_node *n) {
  if (n == nullptr || n->type != nk::WORD) {
    return 0;
  }
  const long v = std::strtol(n->word.c_str(), nullptr, 10);
  if (v > INT_MAX) {
    return INT_MAX;
  }
  if (v < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(v);
}

void add_word(query_search_engine *engine, std::string &&word, const query_search_node_ptr &ref) {
  for (char &c : word) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  auto it = engine->allwords.find(word);
  if (it == engine->allwords.end()) {
    auto wd = std::make_unique<query_word_data>();
    wd->wordlen = static_cast<int>(word.size());
    it = engine->allwords.emplace(std::move(word), std::move(wd)).first;
  }
  it->second->rules.push_back(ref);
  it->second->size = static_cast<int>(it->second->rules.size());
}

struct work_item {
  std::unique_ptr<query_ast_node> n;
  query_search_node_ptr parent;
  unsigned proximity;
};

// Enters a rule's syntax tree, depth first with the operand written first
// before the one written second, on an explicit stack so that long chains
// need no deep recursion.  Throws std::bad_alloc (the rule is then partly
// entered).
void add_rule_tree(query_search_engine *engine, std::unique_ptr<query_ast_node> root,
                   const query_search_node_ptr &rule, unsigned proximity) {
  std::vector<work_item> stack;
  stack.push_back(work_item{std::move(root), rule, proximity});
  while (!stack.empty()) {
    work_item w = std::move(stack.back());
    stack.pop_back();
    if (!w.n) {
      continue;
    }
    switch (w.n->type) {
      case nk::WORD:
        add_word(engine, std::move(w.n->word), w.parent);
        break;
      case nk::TILDE:
      case nk::CARET: {
        const int number = modifier_number(w.n->left.get());
        if (w.n->type == nk::TILDE) {
          w.proximity = static_cast<unsigned>(number);
        } else {
          w.parent.weight = number;
        }
        stack.push_back(work_item{std::move(w.n->right), w.parent, w.proximity});
        break;
      }
      case nk::OR:
        // No node: each alternative stands in the OR's place.
        stack.push_back(work_item{std::move(w.n->left), w.parent, w.proximity});
        stack.push_back(work_item{std::move(w.n->right), w.parent, w.proximity});
        break;
      default: {
        // A chain of one operator (a AND b AND c) becomes one node: walk
        // down the operands written first while they have the same kind.
        const char op = w.n->type;
        std::vector<std::unique_ptr<query_ast_node>> extra;  // outermost first
        std::unique_ptr<query_ast_node> cur = std::move(w.n);
        while (cur->right && cur->right->type == op) {
          extra.push_back(std::move(cur->left));
          std::unique_ptr<query_ast_node> next = std::move(cur->right);
          cur = std::move(next);
        }
        auto node = std::make_unique<query_search_node>();
        node->op = op;
        node->proximity = w.proximity;
        node->parent = w.parent;
        node->size = (op == nk::NOT && !cur->left) ? 1 : 2;
        query_search_node *np = node.get();
        engine->allnodes.push_back(std::move(node));
        // Pushed last to first: child 0, child 1, then the chain's further
        // operands from the innermost out.
        const int first_extra = np->size;
        np->size += static_cast<int>(extra.size());
        for (size_t i = 0; i < extra.size(); ++i) {
          const int index = first_extra + static_cast<int>(extra.size() - 1 - i);
          stack.push_back(work_item{std::move(extra[i]), {0, np, index, 0}, w.proximity});
        }
        stack.push_back(work_item{std::move(cur->left), {0, np, 1, 0}, w.proximity});
        stack.push_back(work_item{std::move(cur->right), {0, np, 0, 0}, w.proximity});
        break;
      }
    }
  }
}

struct scan_context {
  query_search_state *state;
  const unsigned char *text;
  int len;
  bool flush;  // scanning the end-of-text flush string
};

// Where a reported word's match ends in the text: the matcher's index is
// the end less the stored pattern (the word and a blank on each side); a
// word reported by the flush ends the text.
int reported_end(const scan_context *ctx, const query_word_data *wd, int index) {
  return ctx->flush ? ctx->len : index + wd->wordlen + 2;
}

// The arguments both searches take: a compiled engine, a state and len
// bytes of text.
bool searchable(const query_search_engine *engine, const char *text, int len, const query_search_state *state) {
  return engine != nullptr && state != nullptr && engine->compiled && len >= 0 && (text != nullptr || len == 0);
}

// Scans the text and then, with the same scan state, the two-byte flush
// string (a blank and a word byte) so that a rule word ending the text is
// reported too; the flush is skipped when ended() says a report ended the
// scan. The matcher's report count.
template <class Ended>
int scan_text(const query_search_engine *engine, const char *text, int len, query_search_state *state,
              acsm_match_fn match, Ended ended) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  scan_context ctx{state, bytes, len, false};
  int reports = 0;
  if (len > 0) reports = acsmSearch2(engine->acsm, bytes, len, match, &ctx, &state->scanner_state);
  if (!ended()) {
    static const unsigned char flush[2] = {' ', 0xBF};
    ctx.flush = true;
    reports += acsmSearch2(engine->acsm, flush, 2, match, &ctx, &state->scanner_state);
  }
  return reports;
}

// The first byte of a word whose match ends before position end: the
// matcher feeds every non-blank byte of the text once, so the word's fed
// bytes are the last fed_bytes non-blank bytes before end.
int word_start(const unsigned char *text, int end, int fed_bytes) {
  int pos = end;
  int left = fed_bytes;
  while (left > 0 && pos > 0) {
    --pos;
    if (!std::isspace(xlatcase[text[pos]])) {
      --left;
    }
  }
  return pos;
}

int allwords_match(void *id, void *, int index, void *data, void *, ACSM_STATE *) {
  auto *ctx = static_cast<scan_context *>(data);
  query_search_state *st = ctx->state;
  const auto *wd = static_cast<const query_word_data *>(id);
  try {
    if (!st->seen.insert(wd).second) {
      return 0;  // listed at its first occurrence only
    }
    const int end = std::clamp(reported_end(ctx, wd, index), 0, ctx->len);
    const int start = word_start(ctx->text, end, wd->fed_bytes);
    const int offset = ctx->flush ? start - ctx->len : start;
    if (!st->allwords) {
      st->allwords = std::make_unique<query_search_allwords_result>();
      st->allwords->words.reserve(16);
    }
    for (const query_search_node_ptr &r : wd->rules) {
      const query_search_node_ptr *ref = &r;
      while (ref->final == 0) {
        ref = &static_cast<const query_search_node *>(ref->node)->parent;
      }
      st->allwords->words.push_back(query_search_allwords_word{wd->wordlen, offset, ref->node});
      st->allwords->num = static_cast<int>(st->allwords->words.size());
    }
  } catch (const std::bad_alloc &) {
    st->memerr = 1;
    return 1;
  }
  return 0;
}

// Walks the references of a reported word upward (rule evaluation).
// Returns 1 when the scan is to stop.
int evaluate_word(query_search_state *st, const query_word_data *wd, int word_index) {
  const query_search_engine *engine = st->engine;
  for (const query_search_node_ptr &r : wd->rules) {
    const query_search_node_ptr *ref = &r;
    int weight = r.weight != 0 ? r.weight : 1;
    bool reached = true;
    while (ref->final == 0) {
      const auto *node = static_cast<const query_search_node *>(ref->node);
      if (node->op != nk::AND) {
        ref = &node->parent;  // passed through
        continue;
      }
      query_search_node_state &ns = st->incomplete[node];
      if (ns.children.empty()) {
        ns.children.assign(static_cast<size_t>(node->size), 0);
        ns.child_weight.assign(static_cast<size_t>(node->size), 0);
      }
      if (ns.done || ref->index < 0 || ref->index >= node->size) {
        reached = false;
        break;
      }
      if (node->proximity > 0) {
        const long window = static_cast<long>(node->proximity) * node->size;
        for (size_t c = 0; c < ns.children.size(); ++c) {
          if (ns.children[c] != 0 && word_index - ns.children[c] > window) {
            ns.children[c] = 0;
            ns.weight -= ns.child_weight[c];
            ns.child_weight[c] = 0;
            --ns.count;
          }
        }
      }
      const auto slot = static_cast<size_t>(ref->index);
      if (ns.children[slot] == 0) {
        ++ns.count;
        ns.weight += weight;
        ns.child_weight[slot] = weight;
      }
      ns.children[slot] = word_index;
      if (ns.count < node->size) {
        reached = false;
        break;
      }
      ns.done = 1;
      weight = ns.weight;
      ref = &node->parent;
    }
    if (!reached || ref->index < 0 || ref->index >= engine->template_num) continue;
    if (weight < engine->templates[static_cast<size_t>(ref->index)].weight) continue;
    query_search_result &res = st->results[static_cast<size_t>(ref->index)];
    res.found = 1;
    res.weight = weight;
    bool known = false;
    for (int i = 0; i < res.num; ++i) known = known || res.queries[i] == ref->node;
    if (!known && res.num < QUERY_SEARCH_RESULT_QUERIES) res.queries[res.num++] = ref->node;
    st->found = static_cast<char>(st->found < CHAR_MAX ? st->found + 1 : st->found);
    st->rindex = ref->index;
    if (st->stop) return 1;
  }
  return 0;
}

int evaluate_match(void *id, void *, int index, void *data, void *, ACSM_STATE *scan) {
  auto *ctx = static_cast<scan_context *>(data);
  query_search_state *st = ctx->state;
  const auto *wd = static_cast<const query_word_data *>(id);
  st->offset = reported_end(ctx, wd, index);
  try {
    return evaluate_word(st, wd, scan->word_index);
  } catch (const std::bad_alloc &) {
    st->memerr = 1;
    return 1;
  }
}

}  // namespace

query_search_engine::~query_search_engine() { acsmFree2(acsm); }

int query_search(const query_search_engine *engine, const char *text, int len, query_search_state *state) {
  if (!searchable(engine, text, len, state)) return -1;
  state->engine = engine;
  if (state->results.size() != static_cast<size_t>(engine->template_num)) {
    try {
      state->results.resize(static_cast<size_t>(engine->template_num));
    } catch (const std::bad_alloc &) {
      state->memerr = 1;
      return 0;
    }
  }
  // A report that ends the scan (stop, memory) also skips the flush.
  return scan_text(engine, text, len, state, evaluate_match,
                   [state] { return state->memerr != 0 || (state->stop && state->found > 0); });
}

int query_search_engine_set(query_search_engine *engine, int option, int value) {
  if (engine == nullptr) return -1;
  if (option == 0) {
    if (engine->compiled || value < 0 || value > 3) return -1;
    return acsmSelectFormat2(engine->acsm, value) == 0 ? 0 : -1;
  }
  if (option == 1 && value > 0) {
    engine->default_proximity = value;
    return 0;
  }
  return -1;
}

void query_search_engine_set_template_info(query_search_engine *engine, int index, int weight, void *data) {
  if (engine == nullptr || index < 0 || index >= engine->template_num) return;
  engine->templates[static_cast<size_t>(index)] = query_search_template_info{weight, data};
}

void *query_search_engine_get_template_data(const query_search_engine *engine, int index) {
  if (engine == nullptr || index < 0 || index >= engine->template_num) return nullptr;
  return engine->templates[static_cast<size_t>(index)].data;
}

void query_search_state_reset(query_search_state *state) {
  if (state == nullptr) return;
  state->incomplete.clear();
  state->seen.clear();
  state->scanner_state = ACSM_STATE{};
  state->found = 0;
  state->rindex = 0;
  state->offset = 0;
  state->memerr = 0;
  for (query_search_result &r : state->results) r = query_search_result{};
  state->allwords.reset();
}

void query_search_state_set_stop(query_search_state *state, int value) {
  if (state != nullptr) state->stop = value != 0 ? 1 : 0;
}

const query_search_result *query_search_state_all_results(const query_search_state *state) {
  return state != nullptr && !state->results.empty() ? state->results.data() : nullptr;
}

int query_search_state_result_index(const query_search_state *state) { return state != nullptr ? state->rindex : 0; }

query_search_engine *query_search_engine_new(int template_num) {
  try {
    auto engine = std::make_unique<query_search_engine>();
    engine->acsm = acsmNew2(nullptr, nullptr, nullptr);
    if (engine->acsm == nullptr) {
      return nullptr;
    }
    if (template_num > 0) {
      engine->template_num = template_num;
      engine->templates.resize(static_cast<size_t>(template_num));
    }
    return engine.release();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

int query_add_rule(query_search_engine *engine, const char *str, void *result, int index) {
  if (engine == nullptr || str == nullptr || engine->compiled) {
    return -1;
  }
  try {
    query_token_list tokens;
    int err = query_lucene_lex_parser(str, &tokens);
    if (err != 0) {
      return err;
    }
    std::unique_ptr<query_ast_node> root = query_lucene_infix_to_ast(&tokens, &err);
    if (!root) {
      return err;  // 0 for an empty query
    }
    add_rule_tree(engine, std::move(root), query_search_node_ptr{1, result, index, 0},
                  static_cast<unsigned>(engine->default_proximity));
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return 0;
}

int query_search_engine_compile(query_search_engine *engine) {
  if (engine == nullptr || engine->compiled || engine->acsm == nullptr) {
    return -1;
  }
  for (auto &[word, wd] : engine->allwords) {
    wd->fed_bytes = 0;
    for (unsigned char c : word) {
      if (!std::isspace(xlatcase[c])) {
        ++wd->fed_bytes;
      }
    }
    if (acsmAddPattern2(engine->acsm, reinterpret_cast<const unsigned char *>(word.data()),
                        static_cast<int>(word.size()), 1, 0, 0, 0, wd.get(), 0) != 0) {
      return -1;
    }
  }
  if (acsmCompile2(engine->acsm, nullptr, nullptr) != 0) {
    return -1;
  }
  engine->compiled = true;
  return 0;
}

query_search_state *query_search_state_new(const query_search_engine *engine) {
  try {
    auto state = std::make_unique<query_search_state>();
    state->engine = engine;
    if (engine != nullptr && engine->template_num > 0)
      state->results.resize(static_cast<size_t>(engine->template_num));
    return state.release();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

query_search_allwords_result *query_search_allwords(const query_search_engine *engine,
                                                    const char *text, int len,
                                                    query_search_state *state) {
  if (!searchable(engine, text, len, state)) return nullptr;
  // Only a memory failure ends the listing.
  scan_text(engine, text, len, state, allwords_match, [state] { return state->memerr != 0; });
  if (state->memerr != 0 || !state->allwords || state->allwords->num == 0) {
    return nullptr;
  }
  return state->allwords.get();
}

void query_search_state_destroy(query_search_state *state) { delete state; }

void query_search_engine_destroy(query_search_engine *engine) { delete engine; }
