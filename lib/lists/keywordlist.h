// The keyword list: keywords and multi-word phrases found anywhere in a
// URL's lower-cased text, optionally only as whole words.
//
// Filled while its owner loads and then only read: a lookup keeps its state
// (phrase copies, candidates) per call, so lookups may run in parallel;
// adding must not overlap lookups.
#pragma once

#include <cstddef>

#define KEYWORDLIST_HASH_SIZE 256

#define KEYWORDLIST_SUCCESS 0
#define KEYWORDLIST_MEMORY_ERROR (-1)
#define KEYWORDLIST_DUPLICATE_ENTRY (-2)
#define KEYWORDLIST_INVALID_ARGS (-3)

#define KWL_RESTR_NO 0    // match anywhere
#define KWL_RESTR_SET 1   // whole word only
#define KWL_RESTR_BOTH 2  // serves entries of both kinds

#define KWL_TYPE_REG 0   // a word the phrase needs
#define KWL_TYPE_NEG 1   // a word that cancels the phrase
#define KWL_TYPE_SKIP 2  // a word whose occurrences hide the phrase's words beginning inside them

typedef void (*keywordlist_free_fn)(void *data);
// Check function of a lookup: accepts an answer's data with a non-zero result.
typedef int (*keywordlist_check_fn)(void *arg, void *data);

struct _keywordlist_table;
struct _keywordlist_phrase;
struct kwl_trie;  // one first-byte trie; private to the list

typedef struct _kwl_phrase_word {
  char type;    // KWL_TYPE_
  int offset;   // index among the phrase's words
  struct _keywordlist_phrase *phrase;
} KWL_PHRASE_WORD;

typedef struct _keywordlist_word {
  char *item;  // the word, lower-cased heap copy
  void *data;  // data of a single-word entry; null for a word only in phrases
  struct _keywordlist_table *table;
  size_t length;
  short restricted;  // KWL_RESTR_
  int phrases_num;
  KWL_PHRASE_WORD *phrases;  // room grown 4 at a time
  short single_restricted;   // whole-word flag of the single-word entry itself
} KEYWORDLIST_WORD;

typedef struct _keywordlist_phrase {
  char *item;  // the phrase as given, lower-cased
  void *data;
  struct _keywordlist_table *table;
  char restricted;  // 1: its words only as whole words
  char cancelable;  // 1: it has a negative word
  int size;         // bytes of the record with its found flags
  int length;       // needed words
  struct _keywordlist_phrase *phrase;  // the listed phrase (per-lookup copies point to it)
  struct _keywordlist_phrase *next;    // per-lookup candidate list
  int done;         // needed words not yet found
  char canceled;
  size_t skipto;    // no words count before this text position
  char *found_words;  // one flag per word of the phrase (inside this record)
  int words;          // words of the phrase
  char candidate;     // already in the lookup's candidate list
} KEYWORDLIST_PHRASE;

// What a lookup returns: the matching word or phrase, read through its two
// leading fields. It belongs to the list.
typedef struct _keywordlist_result {
  char *item;
  void *data;
} KEYWORDLIST_RESULT;

typedef struct _keywordlist_table {
  struct kwl_trie *keywords[KEYWORDLIST_HASH_SIZE];  // by first byte; made on first use
  int count;  // distinct words
  char *prefixes, *postfixes;       // copies of the separator texts, or null
  char **prefix_list, **postfix_list;  // blank-separated separators (null-terminated)
  int *prefix_list_len, *postfix_list_len;  // their lengths
  keywordlist_free_fn free_func;
  struct kwl_phrase_list *phrases;  // every phrase; made with the first
} KEYWORDLIST_TABLE;

// Trie (of KEYWORDLIST_HASH_SIZE) that holds word: its first byte as an
// unsigned value 0 to 255; 0 for a null word.
int keywordlist_generate_hash(const char *word);

// A new empty list; prefixes and postfixes are blank-separated separator
// texts (or null: punctuation counts as a word border). Null on no memory.
KEYWORDLIST_TABLE *keywordlist_initialize(const char *prefixes, const char *postfixes,
                                          keywordlist_free_fn free_func);

// Adds keyword with data (never null). restricted: whole words only. multi:
// '+' separates the words of a phrase ("!word" cancels it, "^word" hides the
// phrase's words that begin inside it). The keyword is normalised as URLs
// are (escapes decoded, blanks as '+', lower case). Returns a
// KEYWORDLIST_ code; -3 also for a keyword that normalises to nothing or a
// phrase without a needed word. On failure the list is unchanged and data
// stays the caller's.
int keywordlist_add_keyword(KEYWORDLIST_TABLE *list, const char *keyword, void *data, int restricted,
                            int multi);

// The listed word or phrase found in text (which callers give lower-cased),
// or null. A completed phrase wins over single words; check (when given)
// must accept an answer's data.
KEYWORDLIST_RESULT *keywordlist_lookup(KEYWORDLIST_TABLE *list, const char *text,
                                       keywordlist_check_fn check, void *arg);

// Frees every word and phrase (free_func on their data) and the list;
// null is ignored.
void keywordlist_terminate(KEYWORDLIST_TABLE *list);
