#include "libsearch/query_lucene.h"

#include <cctype>
#include <cstring>
#include <new>

#include "libsearch/acsm.h"

namespace tk = query_token_kind;
namespace nk = query_node_kind;

namespace {

inline bool is_blank(unsigned char c) { return std::isspace(c) != 0; }

int precedence(int kind) {
  switch (kind) {
    case tk::OR:
      return 1;
    case tk::AND:
    case tk::PLUS:
      return 2;
    case tk::NOT:
    case tk::MINUS:
      return 3;
    case tk::TILDE:
    case tk::CARET:
      return 4;
    default:
      return 0;
  }
}

// The node kind an operator token becomes, 0 when it cannot become one.
char node_kind_of(int kind) {
  switch (kind) {
    case tk::NOT:
      return nk::NOT;
    case tk::AND:
      return nk::AND;
    case tk::OR:
      return nk::OR;
    case tk::TILDE:
      return nk::TILDE;
    case tk::CARET:
      return nk::CARET;
    default:
      return 0;
  }
}

}  // namespace

query_ast_node::~query_ast_node() {
  // Children are taken apart one level at a time so that a long chain of
  // operators does not exhaust the stack.
  if (!left && !right) {
    return;
  }
  std::vector<std::unique_ptr<query_ast_node>> pending;
  if (left) {
    pending.push_back(std::move(left));
  }
  if (right) {
    pending.push_back(std::move(right));
  }
  while (!pending.empty()) {
    std::unique_ptr<query_ast_node> n = std::move(pending.back());
    pending.pop_back();
    if (n->left) {
      pending.push_back(std::move(n->left));
    }
    if (n->right) {
      pending.push_back(std::move(n->right));
    }
  }
}

bool query_lucene_op_is_op(int kind) { return kind >= tk::PLUS && kind <= tk::CARET; }

bool query_lucene_op_is_unary(int kind) { return kind == tk::MINUS || kind == tk::NOT; }

bool query_lucene_op_is_right_assoc(int kind) {
  return query_lucene_op_is_op(kind) && kind != tk::PLUS && kind != tk::AND && kind != tk::OR;
}

int query_lucene_op_cmp(int a, int b) { return precedence(a) - precedence(b); }

int query_lucene_op_token(const char *str, int *skip) {
  int kind = 0;
  int len = 0;
  switch (str[0]) {
    case '!':
      kind = tk::NOT, len = 1;
      break;
    case '&':
      if (str[1] == '&') {
        kind = tk::AND, len = 2;
      }
      break;
    case '(':
      kind = tk::LPAREN, len = 1;
      break;
    case ')':
      kind = tk::RPAREN, len = 1;
      break;
    case '+':
      kind = tk::PLUS, len = 1;
      break;
    case '-':
      kind = tk::MINUS, len = 1;
      break;
    case 'A':
      if (str[1] == 'N' && str[2] == 'D') {
        kind = tk::AND, len = 3;
      }
      break;
    case 'O':
      if (str[1] == 'R') {
        kind = tk::OR, len = 2;
      }
      break;
    case '^':
      kind = tk::CARET, len = 1;
      break;
    case '~':
      kind = tk::TILDE, len = 1;
      break;
    case '|':
      if (str[1] == '|') {
        kind = tk::OR, len = 2;
      }
      break;
    default:
      break;
  }
  if (skip != nullptr) {
    *skip = len;
  }
  return kind;
}

std::optional<std::string> query_lucene_refine_word(const char *start, int len, int double_spaces,
                                                    int seps) {
  if (len <= 0) {
    return std::string();
  }
  bool all_blank = true;
  for (int i = 0; i < len && all_blank; ++i) {
    all_blank = is_blank(static_cast<unsigned char>(start[i]));
  }
  if (all_blank) {
    return std::nullopt;
  }
  if (double_spaces == 0 && seps == 0 && start[0] != ' ' && start[len - 1] != ' ') {
    return std::string(start, static_cast<size_t>(len));
  }
  int b = 0;
  int e = len;
  while (b < e && start[b] == ' ') {
    ++b;
  }
  while (e > b && start[e - 1] == ' ') {
    --e;
  }
  std::string out;
  out.reserve(static_cast<size_t>(e - b) * 2);
  for (int i = b; i < e; ++i) {
    const auto c = static_cast<unsigned char>(start[i]);
    if (is_blank(c)) {
      if (!out.empty() && out.back() != ' ') {
        out.push_back(' ');
      }
    } else if (separators[c]) {
      if (!out.empty() && out.back() != ' ') {
        out.push_back(' ');
      }
      out.push_back(static_cast<char>(c));
      if (i + 1 < e) {
        out.push_back(' ');
      }
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  while (!out.empty() && out.back() == ' ') {
    out.pop_back();
  }
  return out;
}

int query_lucene_get_token(const char *str, query_token *token) {
  enum { BETWEEN, IN_WORD, IN_PHRASE, PHRASE_BLANK } state = BETWEEN;
  token->type = 0;
  token->value.clear();
  const char *p = str;
  const char *start = nullptr;
  int double_spaces = 0;
  int seps = 0;
  try {
    auto end_phrase = [&](const char *quote) -> int {
      auto text = query_lucene_refine_word(start, static_cast<int>(quote - start), double_spaces,
                                           seps);
      if (text) {  // a phrase of blanks only makes no word
        token->type = tk::WORD;
        token->value = std::move(*text);
      }
      return static_cast<int>(quote + 1 - str);
    };
    auto end_word = [&](const char *end) {
      token->type = tk::WORD;
      token->value.assign(start, static_cast<size_t>(end - start));
    };
    for (; *p != '\0'; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      switch (state) {
        case BETWEEN: {
          if (c == '\\') {
            if (p[1] == '\0') {
              return -1;
            }
            start = p;  // the word's text keeps its backslashes
            ++p;
            state = IN_WORD;
          } else if (c == '"') {
            start = p + 1;
            state = IN_PHRASE;
          } else if (int skip = 0, kind = query_lucene_op_token(p, &skip); kind != 0) {
            token->type = kind;
            return static_cast<int>(p + skip - str);
          } else if (!is_blank(c)) {
            start = p;
            state = IN_WORD;
          }
          break;
        }
        case IN_WORD: {
          int skip = 0;
          if (c == '\\') {
            if (p[1] == '\0') {
              return -1;
            }
            ++p;
          } else if (c == '"' || query_lucene_op_token(p, &skip) != 0) {
            end_word(p);
            return static_cast<int>(p - str);
          } else if (is_blank(c)) {
            end_word(p);
            return static_cast<int>(p + 1 - str);
          }
          break;
        }
        case IN_PHRASE:
          if (c == '"') {
            return end_phrase(p);
          }
          if (is_blank(c)) {
            state = PHRASE_BLANK;
          } else if (separators[c]) {
            ++seps;
          }
          break;
        case PHRASE_BLANK:
          if (c == '"') {
            return end_phrase(p);
          }
          if (is_blank(c)) {
            double_spaces = 1;
          } else {
            state = IN_PHRASE;
            if (separators[c]) {
              ++seps;
            }
          }
          break;
      }
    }
    if (state == IN_WORD) {
      end_word(p);
      return 0;
    }
    if (state == IN_PHRASE || state == PHRASE_BLANK) {
      return -2;
    }
    return 0;
  } catch (const std::bad_alloc &) {
    token->type = 0;
    token->value.clear();
    return -1;
  }
}

int query_lucene_lex_parser(const char *str, query_token_list *tokenlist) {
  try {
    int last = 0;  // kind of the last kept token, 0 before the first
    const char *p = str;
    for (;;) {
      query_token tok;
      const int r = query_lucene_get_token(p, &tok);
      if (r < 0) {
        tokenlist->clear();
        return r;
      }
      if (tok.type != 0) {
        bool keep = true;
        if (tok.type == tk::PLUS) {
          if (last != 0 && last != tk::LPAREN) {
            tok.type = tk::AND;
          } else {
            keep = false;
          }
        } else if (tok.type == tk::MINUS) {
          tok.type = tk::NOT;
          if (last != 0) {
            tokenlist->push_back(query_token{tk::AND, {}});
          }
        } else if ((tok.type == tk::WORD || tok.type == tk::LPAREN) &&
                   (last == tk::WORD || last == tk::RPAREN)) {
          tokenlist->push_back(query_token{tk::OR, {}});  // adjacent terms are alternatives
        }
        if (keep) {
          last = tok.type;
          tokenlist->push_back(std::move(tok));
        }
      }
      if (r == 0) {
        return 0;
      }
      p += r;
    }
  } catch (const std::bad_alloc &) {
    tokenlist->clear();
    return -1;
  }
}

std::unique_ptr<query_ast_node> query_lucene_infix_to_ast(query_token_list *tokens, int *reterr) {
  std::vector<int> ops;
  std::vector<std::unique_ptr<query_ast_node>> operands;
  int err = 0;
  try {
    // Pops the operands of one operator into a new node; false when the
    // operator cannot become a node.
    auto make_node = [&](int kind) {
      const char node_type = node_kind_of(kind);
      if (node_type == 0) {
        return false;
      }
      auto node = std::make_unique<query_ast_node>();
      node->type = node_type;
      if (query_lucene_op_is_unary(kind)) {
        if (!operands.empty()) {
          node->right = std::move(operands.back());
          operands.pop_back();
        }
      } else {
        if (!operands.empty()) {
          node->left = std::move(operands.back());
          operands.pop_back();
        }
        if (!operands.empty()) {
          node->right = std::move(operands.back());
          operands.pop_back();
        }
      }
      operands.push_back(std::move(node));
      return true;
    };
    for (query_token &tok : *tokens) {
      if (tok.type == tk::WORD) {
        auto node = std::make_unique<query_ast_node>();
        node->type = nk::WORD;
        node->word = std::move(tok.value);
        operands.push_back(std::move(node));
      } else if (tok.type == tk::LPAREN) {
        ops.push_back(tk::LPAREN);
      } else if (tok.type == tk::RPAREN) {
        bool found = false;
        while (!ops.empty()) {
          const int top = ops.back();
          ops.pop_back();
          if (top == tk::LPAREN) {
            found = true;
            break;
          }
          if (!make_node(top)) {
            err = -3;
            break;
          }
        }
        if (err == 0 && !found) {
          err = -3;
        }
      } else if (query_lucene_op_is_op(tok.type)) {
        const bool right = query_lucene_op_is_right_assoc(tok.type);
        while (!ops.empty() && query_lucene_op_is_op(ops.back())) {
          const int cmp = query_lucene_op_cmp(tok.type, ops.back());
          if (!((!right && cmp <= 0) || (right && cmp < 0))) {
            break;
          }
          const int top = ops.back();
          ops.pop_back();
          if (!make_node(top)) {
            err = -3;
            break;
          }
        }
        ops.push_back(tok.type);
      } else {
        err = -3;
      }
      if (err != 0) {
        break;
      }
    }
    while (err == 0 && !ops.empty()) {
      const int top = ops.back();
      ops.pop_back();
      if (top == tk::LPAREN || !make_node(top)) {
        err = -3;
      }
    }
  } catch (const std::bad_alloc &) {
    err = -1;
  }
  tokens->clear();
  if (err != 0) {
    *reterr = err;
    return nullptr;
  }
  if (operands.empty()) {
    return nullptr;
  }
  return std::move(operands.back());  // any other operands take no part
}
