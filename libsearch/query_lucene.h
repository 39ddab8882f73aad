// Keyword query language: one query string (words, quoted phrases, the
// operators ! && || AND OR + - and parentheses, the modifiers ~ and ^) turned
// into a syntax tree by a tokeniser, a lexer pass that adds the implied
// operators, and a shunting-yard parser.
//
// The language's behaviour is relied on by shipped keyword lists and stays
// as it is, odd corners included: "AND" and "OR" are operators wherever they
// begin, also inside a word ('FLORIDA' reads as FL OR IDA), and a word
// followed by '!' gets no implied operator ('cat !dog' keeps only NOT(dog)).
//
// Codes: -1 memory exhaustion or a backslash ending the query, -2 a quote
// that is not closed, -3 unbalanced parentheses or a token that cannot
// become a node.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace query_token_kind {
constexpr int WORD = 1;  // a word or a quoted phrase
constexpr int LPAREN = 2;
constexpr int RPAREN = 3;
constexpr int PLUS = 4;
constexpr int MINUS = 5;
constexpr int NOT = 6;
constexpr int AND = 7;
constexpr int OR = 8;
constexpr int TILDE = 9;
constexpr int CARET = 10;
}  // namespace query_token_kind

namespace query_node_kind {
constexpr char WORD = 1;
constexpr char AND = 2;
constexpr char OR = 3;
constexpr char NOT = 4;
constexpr char TILDE = 5;
constexpr char CARET = 6;
}  // namespace query_node_kind

struct query_token {
  int type = 0;       // a query_token_kind, 0 for none
  std::string value;  // the text of a WORD token (may be empty: the phrase "")
};

using query_token_list = std::vector<query_token>;

// A syntax-tree node; owns its children.  In a two-operand node `right`
// holds the operand written first and `left` the one written second; a NOT
// node has only `right`; for TILDE and CARET `left` is the number.
// Destruction does not recurse, so deep trees are safe to drop.
struct query_ast_node {
  char type = 0;     // a query_node_kind
  std::string word;  // text of a WORD node
  std::unique_ptr<query_ast_node> left;
  std::unique_ptr<query_ast_node> right;

  query_ast_node() = default;
  query_ast_node(const query_ast_node &) = delete;
  query_ast_node &operator=(const query_ast_node &) = delete;
  ~query_ast_node();
};

// The operator kind beginning at str (0 for none), its length in *skip.
// Requires a NUL-terminated str.
int query_lucene_op_token(const char *str, int *skip);

// Cuts the next token off the NUL-terminated str into *token (type 0 when
// none).  Returns the bytes consumed (> 0), 0 at the end of the input (a
// word that runs to the end is still delivered in *token), -1 on a
// backslash ending the input or memory exhaustion, -2 on an unclosed quote.
int query_lucene_get_token(const char *str, query_token *token);

// The normalised text of the len phrase bytes at start: spaces trimmed,
// blank runs made one space, a space on each side of every separator.
// Copied unchanged when double_spaces and separators are 0 and the phrase
// neither starts nor ends with a space.  nullopt when only blanks remain.
// Throws std::bad_alloc.
std::optional<std::string> query_lucene_refine_word(const char *start, int len, int double_spaces,
                                                    int separators);

// Appends the tokens of the whole query to *tokenlist, with the implied
// operators.  0 on success, else the tokeniser's negative code with the
// list emptied.
int query_lucene_lex_parser(const char *str, query_token_list *tokenlist);

// Consumes the tokens (their texts move into the tree) and returns the root.
// nullptr with *reterr = -1 (memory) or -3 (syntax), or nullptr with *reterr
// untouched for an empty query.
std::unique_ptr<query_ast_node> query_lucene_infix_to_ast(query_token_list *tokens, int *reterr);

// The parser's operator tables.
bool query_lucene_op_is_op(int kind);           // kinds PLUS to CARET
bool query_lucene_op_is_unary(int kind);        // MINUS, NOT
bool query_lucene_op_is_right_assoc(int kind);  // all operators but PLUS, AND, OR
int query_lucene_op_cmp(int a, int b);          // precedence of a minus that of b
