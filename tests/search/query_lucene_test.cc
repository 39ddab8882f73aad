#include "libsearch/query_lucene.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace tk = query_token_kind;
namespace nk = query_node_kind;

namespace {

// Prints a tree with the operands in written order: OP(first,second); a
// missing child prints as _.
std::string show(const query_ast_node *n) {
  if (n == nullptr) {
    return "_";
  }
  switch (n->type) {
    case nk::WORD:
      return "'" + n->word + "'";
    case nk::NOT:
      return "NOT(" + show(n->right.get()) + (n->left ? "," + show(n->left.get()) : "") + ")";
    case nk::AND:
      return "AND(" + show(n->right.get()) + "," + show(n->left.get()) + ")";
    case nk::OR:
      return "OR(" + show(n->right.get()) + "," + show(n->left.get()) + ")";
    case nk::TILDE:
      return "TILDE(" + show(n->right.get()) + "," + show(n->left.get()) + ")";
    case nk::CARET:
      return "CARET(" + show(n->right.get()) + "," + show(n->left.get()) + ")";
    default:
      return "?";
  }
}

struct parsed {
  int code = 0;  // lexer or parser code
  std::string tree;
};

parsed parse(const std::string &query) {
  query_token_list tokens;
  parsed out;
  out.code = query_lucene_lex_parser(query.c_str(), &tokens);
  if (out.code != 0) {
    EXPECT_TRUE(tokens.empty());
    return out;
  }
  auto root = query_lucene_infix_to_ast(&tokens, &out.code);
  EXPECT_TRUE(tokens.empty());
  out.tree = root ? show(root.get()) : "";
  if (out.code != 0) {
    EXPECT_EQ(root, nullptr);
  }
  return out;
}

// The letters and digits of query, every other run of characters as one
// '_': stable, readable text for test names.
std::string letters(const char *query) {
  std::string out;
  for (const char *p = query; *p; ++p) {
    if (isalnum(static_cast<unsigned char>(*p)))
      out += *p;
    else if (out.empty() || out.back() != '_')
      out += '_';
  }
  return out;
}

// Test name of a case: its index and its query's letters.
template <typename Case>
std::string param_name(const ::testing::TestParamInfo<Case> &info) {
  return std::to_string(info.index) + "_" + letters(info.param.query);
}

struct tree_case {
  const char *query;
  const char *tree;  // "" for no tree
};

// Printed as the query itself, so the listed test names stay the same from
// build to build.
void PrintTo(const tree_case &c, std::ostream *os) { *os << letters(c.query); }

class QueryTree : public ::testing::TestWithParam<tree_case> {};

TEST_P(QueryTree, ParsesToTree) {
  const tree_case &c = GetParam();
  parsed p = parse(c.query);
  EXPECT_EQ(p.code, 0) << c.query;
  EXPECT_EQ(p.tree, c.tree) << c.query;
}

INSTANTIATE_TEST_SUITE_P(
    Language, QueryTree,
    ::testing::Values(
        tree_case{"cat dog", "OR('cat','dog')"},
        tree_case{"cat AND dog", "AND('cat','dog')"},
        tree_case{"cat && dog", "AND('cat','dog')"},
        tree_case{"cat +dog", "AND('cat','dog')"},
        tree_case{"cat -dog", "AND('cat',NOT('dog'))"},
        tree_case{"+cat", "'cat'"},
        tree_case{"(+cat)", "'cat'"},
        tree_case{"-cat", "NOT('cat')"},
        tree_case{"a b AND c", "OR('a',AND('b','c'))"},
        tree_case{"(a b) c", "OR(OR('a','b'),'c')"},
        tree_case{"a AND b AND c", "AND(AND('a','b'),'c')"},
        tree_case{"a || b OR c", "OR(OR('a','b'),'c')"},
        tree_case{"a | b", "OR(OR('a','|'),'b')"},
        tree_case{"a & b", "OR(OR('a','&'),'b')"},
        // No implied operator between a word and '!': the word is dropped.
        tree_case{"cat !dog", "NOT('dog')"},
        tree_case{"!cat", "NOT('cat')"},
        tree_case{"a\\(b", "'a\\(b'"},
        tree_case{"\\(a", "'\\(a'"},
        tree_case{"e-mail", "AND('e',NOT('mail'))"},
        tree_case{"FLORIDA", "OR('FL','IDA')"},
        tree_case{"florida", "'florida'"},
        tree_case{"BAND", "AND(_,'B')"},
        tree_case{"and or", "OR('and','or')"},
        tree_case{"\"foo,bar\"", "'foo , bar'"},
        tree_case{"x \"foo,bar\"", "OR('x','foo , bar')"},
        tree_case{"+\"foo,bar\"", "'foo , bar'"},
        tree_case{"   \"foo,bar\"", "'foo , bar'"},
        tree_case{"\"x  ( y\"", "'x ( y'"},
        tree_case{"\" hot  dog \"", "'hot dog'"},
        tree_case{"\"New York\"", "'New York'"},
        tree_case{"\"a,,b\"", "'a , , b'"},
        tree_case{"\",a.\"", "', a .'"},
        tree_case{"\"a\\b\"", "'a\\b'"},
        tree_case{"\"\"", "''"},
        tree_case{"\"   \"", ""},  // a phrase of blanks makes no word
        tree_case{"word\"ph rase\"", "OR('word','ph rase')"},
        tree_case{"cat~2", "TILDE('cat','2')"},
        tree_case{"cat^3 dog", "OR(CARET('cat','3'),'dog')"},
        tree_case{"(a OR b) -(c d)", "AND(OR('a','b'),NOT(OR('c','d')))"},
        tree_case{"", ""},
        tree_case{" \t ", ""},
        tree_case{"()", ""}),
    param_name<tree_case>);

struct error_case {
  const char *query;
  int code;
};

void PrintTo(const error_case &c, std::ostream *os) { *os << letters(c.query); }

class QueryError : public ::testing::TestWithParam<error_case> {};

TEST_P(QueryError, FailsWithCode) {
  const error_case &c = GetParam();
  EXPECT_EQ(parse(c.query).code, c.code) << c.query;
}

INSTANTIATE_TEST_SUITE_P(Language, QueryError,
                         ::testing::Values(error_case{"a (b", -3}, error_case{"a)", -3},
                                           error_case{"(a))", -3}, error_case{"\"abc", -2},
                                           error_case{"x \"ab  ", -2}, error_case{"abc\\", -1},
                                           error_case{"\\", -1}, error_case{"a \\", -1}),
                         param_name<error_case>);

TEST(QueryTokens, CountsIncludeLeadingBlanksAndTheEndingBlank) {
  query_token t;
  EXPECT_EQ(query_lucene_get_token("  cat dog", &t), 6);
  EXPECT_EQ(t.type, tk::WORD);
  EXPECT_EQ(t.value, "cat");
  EXPECT_EQ(query_lucene_get_token("cat(", &t), 3);  // the bracket is not consumed
  EXPECT_EQ(t.value, "cat");
  EXPECT_EQ(query_lucene_get_token("  AND x", &t), 5);
  EXPECT_EQ(t.type, tk::AND);
  EXPECT_EQ(query_lucene_get_token(" \"a b\" c", &t), 6);
  EXPECT_EQ(t.value, "a b");
  EXPECT_EQ(query_lucene_get_token("last", &t), 0);  // the word still comes out
  EXPECT_EQ(t.type, tk::WORD);
  EXPECT_EQ(t.value, "last");
  EXPECT_EQ(query_lucene_get_token("   ", &t), 0);
  EXPECT_EQ(t.type, 0);
}

TEST(QueryTokens, LexerAddsImpliedOperators) {
  query_token_list tokens;
  ASSERT_EQ(query_lucene_lex_parser("cat -dog (x) y", &tokens), 0);
  std::vector<int> kinds;
  for (const auto &t : tokens) {
    kinds.push_back(t.type);
  }
  EXPECT_EQ(kinds, (std::vector<int>{tk::WORD, tk::AND, tk::NOT, tk::WORD, tk::OR, tk::LPAREN,
                                     tk::WORD, tk::RPAREN, tk::OR, tk::WORD}));
}

TEST(QueryTokens, Operators) {
  struct {
    const char *text;
    int kind;
    int len;
  } cases[] = {{"!", tk::NOT, 1},   {"&&", tk::AND, 2},  {"&x", 0, 0},       {"(", tk::LPAREN, 1},
               {")", tk::RPAREN, 1}, {"+", tk::PLUS, 1}, {"-", tk::MINUS, 1}, {"AND", tk::AND, 3},
               {"ANd", 0, 0},       {"OR", tk::OR, 2},   {"or", 0, 0},        {"^", tk::CARET, 1},
               {"~", tk::TILDE, 1}, {"||", tk::OR, 2},   {"|", 0, 0}};
  for (const auto &c : cases) {
    int skip = -1;
    EXPECT_EQ(query_lucene_op_token(c.text, &skip), c.kind) << c.text;
    EXPECT_EQ(skip, c.len) << c.text;
  }
}

TEST(QueryTree, DeepChainsAreSafe) {
  std::string q;
  for (int i = 0; i < 200000; ++i) {
    q += "w ";
  }
  query_token_list tokens;
  ASSERT_EQ(query_lucene_lex_parser(q.c_str(), &tokens), 0);
  int err = 0;
  auto root = query_lucene_infix_to_ast(&tokens, &err);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->type, nk::OR);
  root.reset();  // must not recurse 200000 levels deep
}

}  // namespace
