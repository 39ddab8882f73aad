// Keyword search engine: a set of rules, each a keyword query with the
// caller's data pointer, compiled once into one word matcher; then any number
// of texts are searched, each with its own search state.
//
// Use: query_search_engine_new, query_add_rule for every rule,
// query_search_engine_compile once, then per text query_search_state_new,
// query_search_allwords and query_search_state_destroy; finally
// query_search_engine_destroy when no search uses the engine.
//
// Threads: building and compiling happen in one thread before the engine is
// shared; a compiled engine is read-only, and any number of threads may
// search it at once, each with its own state.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "libsearch/acsm.h"

// Where a rule word or an operator node hangs.
struct query_search_node_ptr {
  int final = 0;         // 1: node is the rule's data; 0: a query_search_node
  void *node = nullptr;  // not owned
  int index = 0;         // child position under node, or the rule's index
  int weight = 0;        // 0 unless set by a weight modifier
};

// One operator of a rule (AND, NOT): a chain of one operator is one node.
struct query_search_node {
  char op = 0;  // query_node_kind of the operator
  char ordered = 0;
  int size = 0;  // number of child slots
  unsigned proximity = 0;
  query_search_node_ptr parent;
};

// One distinct rule word.
struct query_word_data {
  int wordlen = 0;  // bytes of the upper-cased word
  int size = 0;     // number of rule references
  std::vector<query_search_node_ptr> rules;  // in the order the rules were added
  int fed_bytes = 0;  // bytes of the word that the matcher feeds (not blank)
};

struct query_search_template_info {
  int weight = 0;
  void *data = nullptr;
};

struct query_search_engine {
  int default_proximity = 0;
  // Upper-cased rule word to its data, in byte-wise order.
  std::map<std::string, std::unique_ptr<query_word_data>> allwords;
  std::vector<std::unique_ptr<query_search_node>> allnodes;
  ACSM_STRUCT2 *acsm = nullptr;  // owned
  int template_num = 0;
  std::vector<query_search_template_info> templates;
  bool compiled = false;

  query_search_engine() = default;
  query_search_engine(const query_search_engine &) = delete;
  query_search_engine &operator=(const query_search_engine &) = delete;
  ~query_search_engine();
};

struct query_search_allwords_word {
  int len = 0;  // bytes of the rule word
  // Position of the word's first byte in the text; negative for the text's
  // last word (reported by the end-of-text flush): add the text's length.
  // Either way it names the word's real first byte, never before the text.
  int offset = 0;
  void *data = nullptr;  // the rule's data
};

struct query_search_allwords_result {
  int num = 0;
  std::vector<query_search_allwords_word> words;  // num entries, in report order
};

// Most data pointers one template result records.
#define QUERY_SEARCH_RESULT_QUERIES 8

// The result of one template in rule evaluation.
struct query_search_result {
  char found = 0;   // a rule of the template reached its weight
  int weight = 0;   // the weight of the last rule that reached it
  int num = 0;      // data pointers recorded (distinct, in finding order)
  void *queries[QUERY_SEARCH_RESULT_QUERIES] = {};
};

// Rule evaluation state of one operator node.
struct query_search_node_state {
  int count = 0;  // children seen
  char done = 0;  // all children seen: the node passed its weight upward
  int weight = 0; // summed weights of the children seen
  std::vector<int> children;      // per child: word index at which it was seen, 0 unseen
  std::vector<int> child_weight;  // per child: the weight it added
};

// One search; owned by its caller; serves one text.
struct query_search_state {
  char memerr = 0;
  char stop = 0;
  char found = 0;
  const query_search_engine *engine = nullptr;
  ACSM_STATE scanner_state{};
  std::unordered_set<const query_word_data *> seen;  // words already listed
  int offset = 0;
  int rindex = 0;
  std::unique_ptr<query_search_allwords_result> allwords;
  // Rule evaluation (query_search): the operator nodes met so far (a
  // std::map stands for the tree by pointer) and one result per template.
  std::map<const query_search_node *, query_search_node_state> incomplete;
  std::vector<query_search_result> results;
};

// A new empty engine (template_num templates, zeroed); NULL when memory runs
// out.  Free it with query_search_engine_destroy.
query_search_engine *query_search_engine_new(int template_num);

// Parses the NUL-terminated query str and enters its words with result as
// the rule's data (not owned; it must outlive the engine's searches) and
// index as its template index.  0 on success (also for an empty query,
// which adds nothing); the parser's code -1, -2 or -3 for a malformed query
// (nothing added); -1 for memory (the rule may be partly entered) or when
// the engine is already compiled.
int query_add_rule(query_search_engine *engine, const char *str, void *result, int index);

// Builds the matcher from every distinct rule word; 0 on success, non-zero
// on failure (the engine must then not be searched).
int query_search_engine_compile(query_search_engine *engine);

// A zeroed state bound to the engine; NULL when memory runs out.
query_search_state *query_search_state_new(const query_search_engine *engine);

// Lists each distinct rule word occurring in the len bytes of text at its
// first occurrence, once for every rule that holds it (in the order the
// rules were added), whatever the rules' operators.  Returns the state's
// result (owned by the state, valid until it is destroyed), or NULL when no
// word occurred, the engine is not compiled or memory ran out.
query_search_allwords_result *query_search_allwords(const query_search_engine *engine,
                                                    const char *text, int len,
                                                    query_search_state *state);

// Rule evaluation: scans the len bytes of text (and the end-of-text flush)
// and, for every reported rule word, walks from its references upward. An
// AND node counts its distinct children seen, adding each one's weight (1
// when the reference has none); with a proximity, children seen more than
// proximity x child-count words before are forgotten first; once all are
// seen the node is done and passes its summed weight upward. Other
// operators pass the walk through. A rule reached with an index below the
// template count whose weight is at or above the template's weight marks
// the template's result found, records the rule's data (up to
// QUERY_SEARCH_RESULT_QUERIES distinct pointers), counts `found` and sets
// `rindex`; with the stop flag set, the scan ends at the first such result.
// Returns the matcher's report count; -1 for bad arguments or an engine not
// compiled; a memory failure sets `memerr` and ends the scan.
int query_search(const query_search_engine *engine, const char *text, int len, query_search_state *state);

// Option 0: the matcher's row format (0 to 3; before compilation); option 1
// with a value above 0: the proximity given to rules added later. 0, or -1
// for an unknown option or value.
int query_search_engine_set(query_search_engine *engine, int option, int value);

// The weight and data of a template; an index not below template_num is
// ignored (get gives NULL).
void query_search_engine_set_template_info(query_search_engine *engine, int index, int weight, void *data);
void *query_search_engine_get_template_data(const query_search_engine *engine, int index);

// Makes the state ready for a new text: the node states, the seen words,
// the scan state, `found`, `rindex`, the results and the all-words result
// are cleared.
void query_search_state_reset(query_search_state *state);

// With a non-zero value, rule evaluation stops at the first template result.
void query_search_state_set_stop(query_search_state *state, int value);

// The per-template results (template_num entries; owned by the state), and
// the index of the last template result reached.
const query_search_result *query_search_state_all_results(const query_search_state *state);
int query_search_state_result_index(const query_search_state *state);

// Frees the state with its result; the state must not be NULL.
void query_search_state_destroy(query_search_state *state);

// Frees the engine; NULL is accepted.
void query_search_engine_destroy(query_search_engine *engine);
