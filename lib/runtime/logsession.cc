#include "lib/runtime/logsession.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/base/kxstring.h"
#include "lib/base/kxraii.h"
#include "lib/runtime/kxtime.h"

namespace {

// A set made without its own lock is used by one thread only.
struct set_guard : kx_mutex_guard {
  explicit set_guard(logsession_set_t *s)
      : kx_mutex_guard(s->locked_set == LOGSESSION_SET_LOCKED ? &s->lock : nullptr) {}
};

// "(a|b)" of the alternatives, or empty when there are none.
std::string join_group(const std::vector<std::string> &alternatives) {
  if (alternatives.empty()) return {};
  std::string group = "(";
  for (size_t i = 0; i < alternatives.size(); i++) {
    if (i > 0) group += "|";
    group += alternatives[i];
  }
  group += ")";
  return group;
}

bool compile(const std::string &expr, regex_t *re, const char *what) {
  int rc = regcomp(re, expr.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  if (rc == 0) return true;
  char err[256];
  regerror(rc, re, err, sizeof err);
  kxlog_send(KXLOG_ERROR, what, expr.c_str(), err);
  return false;
}

void session_destroy(logsession_t *s) {
  if (s == nullptr) return;
  for (int i = 0; i < s->max_entries; i++) free(s->entries[i]);
  free(s->entries);
  logsession_filter_destroy(s->filter);
  if (s->set != nullptr && s->set->query_binary_data_free_func != nullptr && s->query_binary_data != nullptr)
    s->set->query_binary_data_free_func(s->query_binary_data);
  pthread_mutex_destroy(&s->lock);
  free(s->record_buff);
  free(s->name);
  delete s;
}

void session_store(logsession_t *s, const char *entry) {
  const char *lf = strchr(entry, '\n');
  size_t len = lf != nullptr ? static_cast<size_t>(lf - entry) + 1 : strlen(entry);
  // A cut text keeps fewer characters than the line has, so cutting the
  // whole entry gives the same copy in one allocation.
  char *copy = len >= static_cast<size_t>(s->buffer_size) ? string_truncate_withdots(entry, s->buffer_size)
                                                          : strndup(entry, len);
  if (copy == nullptr) return;
  free(s->entries[s->pointer]);
  s->entries[s->pointer] = copy;
  s->pointer = (s->pointer + 1) % s->max_entries;
  if (s->count < s->max_entries)
    s->count++;
  else
    s->overflow++;
}

}  // namespace

logsession_filter *logsession_filter_create(const char *query, const char *token) {
  if (query == nullptr || token == nullptr) return nullptr;
  std::vector<std::string> match, negate;
  std::string q = query;
  size_t tlen = strlen(token);
  size_t start = 0;
  while (start <= q.size()) {
    size_t blank = q.find(' ', start);
    std::string word = q.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    if (word.compare(0, tlen, token) == 0) {
      std::string rest = word.substr(tlen);
      if (!rest.empty() && rest[0] == '!') {
        if (rest.size() > 1) negate.push_back(rest.substr(1));
      } else if (!rest.empty()) {
        match.push_back(rest);
      }
    }
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  if (match.empty() && negate.empty()) return nullptr;
  auto *f = static_cast<logsession_filter *>(calloc(1, sizeof(logsession_filter)));
  if (f == nullptr) return nullptr;
  // An expression's text is set only once it is compiled, so that
  // logsession_filter_destroy frees exactly what was made.
  auto add = [](const std::string &expr, regex_t *re, char **text, const char *what) {
    if (expr.empty()) return true;
    if (!compile(expr, re, what)) return false;
    *text = strdup(expr.c_str());
    if (*text == nullptr) regfree(re);  // no memory for its text: no filter
    return *text != nullptr;
  };
  if (!add(join_group(match), &f->regexp_match, &f->regstr_match,
           "Logsession: Failed to compile match regular expression %s: %s\n") ||
      !add(join_group(negate), &f->regexp_negate, &f->regstr_negate,
           "Logsession: Failed to compile negate regular expression %s: %s\n")) {
    logsession_filter_destroy(f);
    return nullptr;
  }
  return f;
}

void logsession_filter_destroy(logsession_filter *filter) {
  if (filter == nullptr) return;
  if (filter->regstr_match != nullptr) regfree(&filter->regexp_match);
  if (filter->regstr_negate != nullptr) regfree(&filter->regexp_negate);
  free(filter->regstr_match);
  free(filter->regstr_negate);
  free(filter);
}

int logsession_filter_match(const logsession_filter *filter, const char *line) {
  if (filter == nullptr) return 1;
  if (filter->regstr_match != nullptr && regexec(&filter->regexp_match, line, 0, nullptr, 0) != 0) return 0;
  if (filter->regstr_negate != nullptr && regexec(&filter->regexp_negate, line, 0, nullptr, 0) == 0) return 0;
  return 1;
}

logsession_set_t *logsession_set_create(int locked, logsession_binary_free_func free_func,
                                        logsession_binary_match_func match_func,
                                        logsession_binary_data2text_func data2text_func,
                                        logsession_binary_cmp_output_func cmp_func) {
  auto *set = new (std::nothrow) logsession_set_t;
  if (set == nullptr) return nullptr;
  set->query_binary_data_free_func = free_func;
  set->query_binary_data_match_func = match_func;
  set->query_binary_data2text_func = data2text_func;
  set->query_binary_data_cmp_output_func = cmp_func;
  set->size = 0;
  set->locked_set = locked ? LOGSESSION_SET_LOCKED : LOGSESSION_SET_UNLOCKED;
  if (pthread_mutex_init(&set->lock, nullptr) != 0) {
    delete set;
    return nullptr;
  }
  return set;
}

void logsession_set_destroy(logsession_set_t *set) {
  if (set == nullptr) return;
  for (auto &entry : set->sessions) session_destroy(entry.second);
  set->sessions.clear();
  pthread_mutex_destroy(&set->lock);
  delete set;
}

void logsession_set_insert(logsession_set_t *set, const char *entry, int bytes) {
  if (set == nullptr || entry == nullptr || bytes < 0) return;
  set_guard guard(set);
  for (auto &item : set->sessions) {
    logsession_t *s = item.second;
    if (logsession_filter_match(s->filter, entry)) session_store(s, entry);
  }
}

void logsession_set_insert_binary(logsession_set_t *set, const void *record, int bytes) {
  if (set == nullptr || record == nullptr || bytes < 0 || set->query_binary_data2text_func == nullptr) return;
  set_guard guard(set);
  for (auto &item : set->sessions) {
    logsession_t *s = item.second;
    if (s->record_buff == nullptr) continue;
    bool binary_query = s->query_binary_data != nullptr;
    if (binary_query && set->query_binary_data_match_func != nullptr &&
        set->query_binary_data_match_func(s->query_binary_data, record, bytes) == 0)
      continue;
    s->record_buff[0] = '\0';
    const char *text = set->query_binary_data2text_func(record, bytes, s->record_buff, LOGSESSION_MAX_LINE_SIZE);
    if (text == nullptr) continue;
    if (text == s->record_buff) s->record_buff[LOGSESSION_MAX_LINE_SIZE - 1] = '\0';
    if (!binary_query && !logsession_filter_match(s->filter, text)) continue;
    session_store(s, text);
  }
}

void logsession_set_flush(logsession_set_t *set) {
  if (set == nullptr) return;
  set_guard guard(set);
  time_t now = current_time.load();
  for (auto it = set->sessions.begin(); it != set->sessions.end();) {
    if (it->second->last_time + LOGSESSION_IDLE_SECONDS < now) {
      session_destroy(it->second);
      it = set->sessions.erase(it);
      set->size--;
    } else {
      ++it;
    }
  }
}

int logsession_set_add(logsession_set_t *set, const char *name, const char *query, void *data,
                       int max_entries, int buffer_size) {
  if (set == nullptr || name == nullptr || max_entries < 1 || buffer_size < 5) return -1;
  // Compiled before the set is locked: a compile error is logged, and the log
  // may be the one owning this set.
  logsession_filter *filter = query != nullptr ? logsession_filter_create(query, "filter=") : nullptr;
  set_guard guard(set);
  auto *s = set->sessions.count(name) == 0 ? new (std::nothrow) logsession_t{} : nullptr;
  if (s == nullptr) {
    logsession_filter_destroy(filter);
    return -1;
  }
  s->set = set;
  s->name = strdup(name);
  s->entries = static_cast<char **>(calloc(max_entries, sizeof(char *)));
  s->max_entries = max_entries;
  if (set->query_binary_data2text_func != nullptr)
    s->record_buff = static_cast<char *>(malloc(LOGSESSION_MAX_LINE_SIZE));
  if (s->name == nullptr || s->entries == nullptr ||
      (set->query_binary_data2text_func != nullptr && s->record_buff == nullptr) ||
      pthread_mutex_init(&s->lock, nullptr) != 0) {
    logsession_filter_destroy(filter);
    free(s->name);
    free(s->entries);
    free(s->record_buff);
    delete s;
    return -1;
  }
  s->filter = filter;
  s->query_binary_data = data;
  s->buffer_size = buffer_size < LOGSESSION_MAX_LINE_SIZE ? buffer_size : LOGSESSION_MAX_LINE_SIZE;
  s->last_time = current_time.load();
  try {
    set->sessions[name] = s;
  } catch (const std::bad_alloc &) {
    session_destroy(s);
    return -1;
  }
  set->size++;
  return 0;
}

int logsession_set_remove(logsession_set_t *set, const char *name) {
  if (set == nullptr || name == nullptr) return -1;
  set_guard guard(set);
  auto it = set->sessions.find(name);
  if (it == set->sessions.end()) return -1;
  session_destroy(it->second);
  set->sessions.erase(it);
  set->size--;
  return 0;
}

logsession_t *logsession_set_find(logsession_set_t *set, const char *name) {
  if (set == nullptr || name == nullptr) return nullptr;
  set_guard guard(set);
  auto it = set->sessions.find(name);
  return it == set->sessions.end() ? nullptr : it->second;
}

int logsession_set_get_count(logsession_set_t *set) {
  if (set == nullptr) return 0;
  set_guard guard(set);
  return set->size;
}

logsession_sample_t *logsession_set_sample(logsession_set_t *set, const char *name) {
  if (set == nullptr || name == nullptr) return nullptr;
  set_guard guard(set);
  auto it = set->sessions.find(name);
  if (it == set->sessions.end()) return nullptr;
  logsession_t *s = it->second;
  auto *sample = static_cast<logsession_sample_t *>(calloc(1, sizeof(logsession_sample_t)));
  if (sample == nullptr) return nullptr;
  sample->entries = static_cast<char **>(calloc(s->count > 0 ? s->count : 1, sizeof(char *)));
  if (sample->entries == nullptr) {
    free(sample);
    return nullptr;
  }
  int first = (s->pointer - s->count + s->max_entries) % s->max_entries;
  for (int i = 0; i < s->count; i++) {
    int slot = (first + i) % s->max_entries;
    sample->entries[i] = s->entries[slot];
    s->entries[slot] = nullptr;
  }
  sample->size = s->count;
  sample->overflow = s->overflow;
  s->count = 0;
  s->pointer = 0;
  s->overflow = 0;
  s->last_time = current_time.load();
  return sample;
}

void logsession_sample_destroy(logsession_sample_t *sample) {
  if (sample == nullptr) return;
  for (int i = 0; i < sample->size; i++) free(sample->entries[i]);
  free(sample->entries);
  free(sample);
}
