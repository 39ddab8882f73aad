// Log sessions: each session keeps the recent lines of one log that match
// its regular-expression filter in a bounded ring, until someone samples
// them. Every log owns a set; a session not sampled for more than 60 seconds
// is dropped by the log maintenance pass.
#pragma once

#include <map>
#include <pthread.h>
#include <regex.h>
#include <string>
#include <ctime>

#define LOGSESSION_SET_LOCKED 1
#define LOGSESSION_SET_UNLOCKED 0
// Longest text a session keeps from one entry.
#define LOGSESSION_MAX_LINE_SIZE 1048576
// Seconds a session lives without being sampled.
#define LOGSESSION_IDLE_SECONDS 60

struct logsession_t;

// Callbacks of sessions that filter binary records (the logs pass none).
typedef void (*logsession_binary_free_func)(void *data);
typedef int (*logsession_binary_match_func)(void *query, const void *record, int bytes);
typedef char *(*logsession_binary_data2text_func)(const void *record, int bytes, char *buff, int size);
typedef int (*logsession_binary_cmp_output_func)(void *a, void *b);

struct logsession_set_t {
  logsession_binary_free_func query_binary_data_free_func;
  logsession_binary_match_func query_binary_data_match_func;
  logsession_binary_data2text_func query_binary_data2text_func;
  logsession_binary_cmp_output_func query_binary_data_cmp_output_func;
  std::map<std::string, logsession_t *> sessions;  // by session name
  int size;        // sessions held
  int locked_set;  // LOGSESSION_SET_LOCKED: every call takes `lock`
  pthread_mutex_t lock;
};

// A compiled filter: a line matches when regexp_match (when set) matches and
// regexp_negate (when set) does not.
struct logsession_filter {
  char *regstr_match;  // null when there is no match expression
  regex_t regexp_match;
  char *regstr_negate;  // null when there is no negate expression
  regex_t regexp_negate;
};

struct logsession_t {
  logsession_set_t *set;
  char *name;                  // owned
  logsession_filter *filter;   // null: every line matches
  void *query_binary_data;
  int max_entries;             // ring size
  int buffer_size;             // longest entry kept, in bytes with its NUL
  unsigned int overflow;       // entries lost to wrap-around since the last sample
  int pointer;                 // next ring slot
  int count;                   // entries held
  time_t last_time;            // cached time of creation or of the last sample
  int locked_session;
  pthread_mutex_t lock;
  // LOGSESSION_MAX_LINE_SIZE bytes into which a binary record is turned to
  // text; made with the session when its set converts binary records (has a
  // data2text callback), else null.
  char *record_buff;
  char **entries;              // max_entries owned strings (null when empty)
};

// Held entries handed out by a sample, oldest first.
struct logsession_sample_t {
  int size;
  unsigned int overflow;
  char **entries;  // size owned strings
};

// Filter from the words of query that start with token ("filter=" by the
// logs): "filter=RE" adds a match alternative, "filter=!RE" a negate one.
// Null when the query has no such word or an expression does not compile
// (logged at level 4).
logsession_filter *logsession_filter_create(const char *query, const char *token);
// Frees the compiled expressions, their texts and filter; null-safe.
void logsession_filter_destroy(logsession_filter *filter);
// Non-zero when line passes the filter (a null filter passes every line).
int logsession_filter_match(const logsession_filter *filter, const char *line);

// New set (null on failure); callbacks may be null.
logsession_set_t *logsession_set_create(int locked, logsession_binary_free_func free_func,
                                        logsession_binary_match_func match_func,
                                        logsession_binary_data2text_func data2text_func,
                                        logsession_binary_cmp_output_func cmp_func);
// Destroys every session and the set; null-safe.
void logsession_set_destroy(logsession_set_t *set);
// Offers entry (bytes long, NUL-terminated) to every session whose filter
// matches; each keeps a copy cut after the first line feed and to its
// buffer_size with "...".
void logsession_set_insert(logsession_set_t *set, const char *entry, int bytes);
// Offers a binary record (bytes long) to every session of a set made with a
// data2text callback: a session with a binary query takes it when the match
// callback (when set) accepts it, a session without one when its text
// filter accepts the record's text; the text is made by data2text into the
// session's record_buff and stored as logsession_set_insert stores an
// entry. Nothing happens for a set without data2text.
void logsession_set_insert_binary(logsession_set_t *set, const void *record, int bytes);

// Drops every session whose last_time is more than 60 seconds before the
// cached current time.
void logsession_set_flush(logsession_set_t *set);
// Adds a session; 0, or -1 when the name exists, an argument is invalid or
// creation fails.
int logsession_set_add(logsession_set_t *set, const char *name, const char *query, void *data,
                       int max_entries, int buffer_size);
// 0, or -1 when no such session.
int logsession_set_remove(logsession_set_t *set, const char *name);
// The session (owned by the set) or null; only meaningful while no other
// thread changes the set.
logsession_t *logsession_set_find(logsession_set_t *set, const char *name);
// Sessions held; 0 for a null set.
int logsession_set_get_count(logsession_set_t *set);
// Hands the session's held entries to a new sample and empties its ring;
// null for an unknown session or on failure. Free with
// logsession_sample_destroy.
logsession_sample_t *logsession_set_sample(logsession_set_t *set, const char *name);
// Frees the sample and its entries; null-safe.
void logsession_sample_destroy(logsession_sample_t *sample);
