// Keyword matcher: an Aho-Corasick automaton compiled into a deterministic
// automaton with one full row of 256 next states per state.
//
// Words are matched on word boundaries and regardless of letter case: every
// pattern is stored with one blank on each side, and the scanner feeds the
// automaton a blank before every word and before every separator while it
// skips the text's own white space.  A scan may be split over several calls
// that share one ACSM_STATE.
//
// Threads: patterns are added and the automaton compiled in one thread; a
// compiled automaton is read-only, and any number of threads may scan it at
// once, each with its own ACSM_STATE.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// 1 for the nine separator bytes ! ( ) + , . : ; ? and 0 for every other byte
// (bytes 128 to 255 included); indexed by the unsigned byte value.  The query
// tokeniser counts its phrase separators with the same table.
extern const unsigned char (&separators)[256];

// Upper-case mapping of every byte in the process's character-type locale,
// except that the double quote maps to a blank.  Built once, by the first
// acsmNew2 (or acsm_xlatcase_init); never rewritten while automata scan.
extern unsigned char xlatcase[256];
void acsm_xlatcase_init();

// Scan state of one text, owned by the caller; all zero at the start of a
// text.
struct ACSM_STATE {
  int state;       // current automaton state
  int letter;      // 1 while the scan is inside a word
  int prep_sep;    // 1 when a blank has just been fed before a separator
  int word_index;  // number of word starts seen so far
};
static_assert(sizeof(ACSM_STATE) == 16);

struct ACSM_PATTERN2 {
  std::string patrn;      // stored form: blank, translated bytes, blank
  std::string casepatrn;  // the bytes as given
  int n = 0;              // stored length = given length + 2
  int nocase = 0, offset = 0, depth = 0, negative = 0;
  void *udata = nullptr;  // the caller's identifier, returned in every report
  int iid = 0;
  void *rule_option_tree = nullptr;
  void *neg_list = nullptr;
};

// Release callbacks for pattern data (the keyword engine passes none).
using acsm_userfree_fn = void (*)(void *);
using acsm_optiontreefree_fn = void (*)(void **);
using acsm_neglistfree_fn = void (*)(void **);

// Report callback: id is the pattern's udata, index the end of the matched
// text in the buffer minus the stored pattern length (see acsmSearch2).  A
// result above 0 stops the scan.
using acsm_match_fn = int (*)(void *id, void *rule_option_tree, int index, void *data,
                              void *neg_list, ACSM_STATE *state);

// Row formats (acsmSelectFormat2) and automaton kinds (acsmSelectFSA2).
#define ACF_FULL 0
#define ACF_SPARSE 1
#define ACF_BANDED 2
#define ACF_SPARSEBANDS 3
#define ACF_FULLQ 4
#define FSA_TRIE 0
#define FSA_NFA 1
#define FSA_DFA 2
// Distinct match lists the full format with match queue (4) collects
// before it reports them.
#define AC_MAX_INQ 32

struct ACSM_STRUCT2 {
  int acsmMaxStates = 0;
  int acsmNumStates = 0;
  // In the order added; compilation takes them newest first.
  std::vector<std::unique_ptr<ACSM_PATTERN2>> acsmPatterns;
  // Per state, indexes into acsmPatterns; only the front entry is reported.
  std::vector<std::vector<int>> acsmMatchList;
  // Per state, a row of 258 cells: 0 the row format (0, full), 1 the match
  // flag, 2 + b the next state on byte b.
  std::vector<int32_t> acsmNextState;
  int acsmFormat = ACF_FULL;
  int acsmSparseMaxRowNodes = 256;
  int acsmSparseMaxZcnt = 10;
  int acsmNumTrans = 0;
  int acsmAlphabetSize = 256;
  int acsmFSA = FSA_DFA;
  int numPatterns = 0;
  int sizeofstate = 4;
  int compress_states = 0;
  bool compiled = false;
  // Every form but the full deterministic one of 4-byte cells (which scans
  // acsmNextState directly): the rows in their formats, sizeofstate bytes a
  // cell, each starting at its state's offset, and for the
  // non-deterministic kind the failure state of every state.
  std::vector<unsigned char> acsmPacked;
  std::vector<size_t> acsmRowOffset;
  std::vector<int> acsmFailState;
  size_t memory = 0;  // bytes of rows, lists and tables, for the counters
  acsm_userfree_fn userfree = nullptr;
  acsm_optiontreefree_fn optiontreefree = nullptr;
  acsm_neglistfree_fn neg_list_free = nullptr;
};

constexpr int ACSM_ROW_CELLS = 258;

// A new empty automaton (full format, deterministic); NULL when memory runs
// out.  Free it with acsmFree2.
ACSM_STRUCT2 *acsmNew2(acsm_userfree_fn userfree, acsm_optiontreefree_fn optiontreefree,
                       acsm_neglistfree_fn neg_list_free);

// Stores the n bytes of pat (translated, with a blank on each side) with
// the identifier id.  No duplicate check.  0, or -1 when memory runs out or
// the automaton is already compiled or the arguments are bad.
int acsmAddPattern2(ACSM_STRUCT2 *acsm, const unsigned char *pat, int n, int nocase, int offset,
                    int depth, int negative, void *id, int iid);

// Builds the automaton from the patterns added so far.  The two callbacks
// are accepted for the interface's sake and not used (no caller gives them).
// 0, or -1 when memory runs out.
int acsmCompile2(ACSM_STRUCT2 *acsm, int (*build_tree)(void *id, void **existing_tree),
                 int (*neg_list_func)(void *id, void **list));

// Scans the n bytes at Tx, continuing from *current_state and leaving the
// scan state there.  Returns the number of reports made (0 when the
// automaton is not compiled or current_state is NULL).
int acsmSearch2(const ACSM_STRUCT2 *acsm, const unsigned char *Tx, int n, acsm_match_fn Match,
                void *data, ACSM_STATE *current_state);

// Frees the automaton (calling userfree on every pattern's udata when set).
// NULL is accepted.
void acsmFree2(ACSM_STRUCT2 *acsm);

int acsmPatternCount2(const ACSM_STRUCT2 *acsm);

// Stores the n bytes of pat as they are (no blanks around them, no case
// change). Results as acsmAddPattern2.
int acsmAddKey2(ACSM_STRUCT2 *acsm, const unsigned char *pat, int n, int nocase, int offset, int depth,
                int negative, void *id, int iid);

// Setters, before compilation; 0, or -1 for a value out of range (left
// unchanged) or a compiled automaton. Format 0 to 4; kind 0 to 2 (a kind
// other than 1 or 2 scans nothing); alphabet size 1 to 256 (bytes from it
// up have no transition); the sparse bounds at least 1 (row nodes up to
// 256) and 0 (band zeros); state compression on (non-zero) gives cells of 1
// byte for at most 254 states, 2 for at most 65534, else 4.
int acsmSelectFormat2(ACSM_STRUCT2 *acsm, int format);
int acsmSelectFSA2(ACSM_STRUCT2 *acsm, int fsa);
int acsmSetAlphabetSize2(ACSM_STRUCT2 *acsm, int n);
int acsmSetMaxSparseElements2(ACSM_STRUCT2 *acsm, int n);
int acsmSetMaxSparseBandZeros2(ACSM_STRUCT2 *acsm, int n);
int acsmCompressStates(ACSM_STRUCT2 *acsm, int flag);

// Process-wide debug output: with flag set, allocation failures print
// "ACSM-No Memory: %s!\n"; print (or standard output when null) takes the
// messages and the printers' output.
using acsm_print_fn = int (*)(const char *format, ...);
void acsmSetDebug(int flag, acsm_print_fn print);

// Hands every pattern's rule option tree and negative list to the two
// callbacks (either may be null). 0.
int acsmBuildMatchStateTrees2(ACSM_STRUCT2 *acsm, int (*build_tree)(void *id, void **existing_tree),
                              int (*neg_list_func)(void *id, void **list));

// Statistics of one automaton, and of every automaton compiled so far in
// the process, through the debug print function.
void acsmPrintInfo2(const ACSM_STRUCT2 *acsm);
void acsmPrintSummaryInfo2();

// The process-wide counters the printers show.
struct acsm_summary_info {
  long long num_states, num_transitions, num_instances, num_patterns, num_characters, num_match_states;
  long long num_1byte_instances, num_2byte_instances, num_4byte_instances;
  long long memory_bytes;  // held by live automata
};
acsm_summary_info acsmSummary2();
