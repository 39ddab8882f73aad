#include "src/report/reportlists.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "lib/base/kxfile.h"
#include "lib/base/kxlog.h"
#include "lib/base/kxpath.h"
#include "lib/base/kxraii.h"
#include "src/report/kwsearch.h"

extern char **environ;

namespace {

using order_table = std::map<std::string, std::shared_ptr<const category_order_map>>;

// The current lists: readers take references, the reload swaps.
std::shared_mutex loaded_lists_lock;
std::shared_ptr<loaded_list> current_domains;
std::shared_ptr<loaded_list> current_search_terms;

// Both category maps. Orders of a new language are made on first use, the
// script run included, under this lock.
std::mutex category_orders_lock;
std::shared_ptr<const category_group_map> category_groups;
std::unique_ptr<order_table> category_orders;  // null: never loaded

std::shared_ptr<loaded_list> share(loaded_list *l) {
  try {
    return std::shared_ptr<loaded_list>(l, report_definition_loaded_list_terminate);
  } catch (const std::bad_alloc &) {
    report_definition_loaded_list_terminate(l);
    return nullptr;
  }
}

// The category script's output for one language, line by line, whole lines
// however long. The script runs without a shell: the language is its one
// argument and never command text.
class category_script {
 public:
  category_script(const category_script &) = delete;
  category_script &operator=(const category_script &) = delete;
  // Starts the script; ok() tells whether it runs.
  category_script(const char *path, const char *lang) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0) {
      close(fds[0]);
      close(fds[1]);
      return;
    }
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    char *argv[] = {const_cast<char *>(path), const_cast<char *>(lang), nullptr};
    int rc = posix_spawn(&pid_, path, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      close(fds[0]);
      return;
    }
    out_ = fdopen(fds[0], "r");
    if (!out_) close(fds[0]);
  }
  ~category_script() {
    if (out_) fclose(out_);
    if (pid_ > 0) {
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    free(line_);
  }
  bool ok() const { return out_ != nullptr; }
  // The next line without its newline, or null at the end.
  const char *next() {
    ssize_t n = getline(&line_, &cap_, out_);
    if (n < 0) return nullptr;
    if (n > 0 && line_[n - 1] == '\n') line_[n - 1] = '\0';
    return line_;
  }

 private:
  pid_t pid_ = -1;
  FILE *out_ = nullptr;
  char *line_ = nullptr;
  size_t cap_ = 0;
};

// A decimal number at p; false when p holds no digit.
bool read_number(const char *p, uint32_t *value, const char **end) {
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  unsigned long long v = 0;
  while (isdigit(static_cast<unsigned char>(*p))) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    if (v > UINT32_MAX) v = UINT32_MAX;
    ++p;
  }
  *value = static_cast<uint32_t>(v);
  *end = p;
  return true;
}

// Runs the script for lang and fills order (and groups, when given) from
// its output. False when the script cannot be run (logged).
bool read_categories(const char *lang, category_order_map *order, category_group_map *groups) {
  kx_malloc_ptr<char> path(kxpath_append(REPORT_CATEGORY_SCRIPT));
  if (!path) {
    kxlog_send(KXLOG_ERROR, "Can't allocate memory for category mapping script path\n");
    return false;
  }
  category_script script(path.get(), lang);
  if (!script.ok()) {
    kxlog_send(KXLOG_ERROR, "Can not run '%s' for category mapping\n", path.get());
    return false;
  }
  uint32_t position = 0;
  while (const char *line = script.next()) report_definition_parse_category_line(line, &position, order, groups);
  return true;
}

}  // namespace

void report_definition_parse_category_line(const char *line, uint32_t *position, category_order_map *order,
                                           category_group_map *groups) {
  uint32_t cat;
  const char *p;
  // Lines that do not begin with a category number hold no category.
  if (!line || !read_number(line, &cat, &p)) return;
  order->emplace(cat, ++*position);
  if (!groups) return;
  std::vector<uint32_t> list;
  uint32_t g;
  const char *q;
  while (*p == ' ' && read_number(p + 1, &g, &q)) {
    if (list.size() == REPORT_CATEGORY_MAX_GROUPS) {
      kxlog_send(KXLOG_ERROR, "Too many groups for the category %u\n", cat);
      break;
    }
    // A 0 would end the array early.
    if (g != 0) list.push_back(g);
    p = q;
  }
  if (list.empty()) return;
  list.push_back(0);
  groups->insert_or_assign(cat, std::move(list));
}

bool report_language_is_safe(const char *lang) {
  if (!lang || !*lang) return false;
  for (const char *p = lang; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!isalnum(c) && c != '_' && c != '-' && c != '.' && c != '@') return false;
  }
  return true;
}

int report_definition_cat_cmp(uint32_t a, uint32_t b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

loaded_list *report_definition_new_loaded_list() {
  loaded_list *l = new (std::nothrow) loaded_list;
  if (!l) return nullptr;
  l->list = urllist_initialize(URLLIST_FLAG_NONE);
  if (!l->list) {
    delete l;
    return nullptr;
  }
  return l;
}

void report_definition_loaded_list_terminate(loaded_list *list) { delete list; }

std::shared_ptr<loaded_list> report_definition_load_domain_list() {
  kx_malloc_ptr<char> path(kxpath_append(REPORT_DOMAIN_LIST_FILE));
  if (!path) {
    kxlog_send(KXLOG_ERROR, "Can't allocate memory for domain list path\n");
    return nullptr;
  }
  file_buffer *fb = file_buffer_open(path.get());
  if (!fb) {
    kxlog_send(KXLOG_MESSAGE, "No Domain List loaded\n");
    return nullptr;
  }
  std::shared_ptr<loaded_list> l = share(report_definition_new_loaded_list());
  if (!l) {
    file_buffer_close(fb);
    kxlog_send(KXLOG_ERROR, "Can't allocate memory for domain list\n");
    return nullptr;
  }
  while (file_buffer_read_string(fb) == 0) {
    if (!*fb->line) continue;
    if (urllist_add(l->list, fb->line, "U", "N", nullptr, 0) != 0)
      kxlog_send(KXLOG_ERROR, "Can't add entry '%s' to domain list\n", fb->line);
  }
  file_buffer_close(fb);
  kxlog_send(KXLOG_MESSAGE, "Domain List loaded: %d entries\n", l->list->loaded_count);
  return l;
}

std::shared_ptr<loaded_list> report_definition_load_search_terms_list() {
  kx_malloc_ptr<char> path(kxpath_append(REPORT_SEARCH_TERMS_FILE));
  if (!path) {
    kxlog_send(KXLOG_ERROR, "Can't allocate memory for search terms list path\n");
    return nullptr;
  }
  std::shared_ptr<loaded_list> l = share(report_definition_new_loaded_list());
  if (!l) {
    kxlog_send(KXLOG_ERROR, "Can't allocate memory for search terms list\n");
    return nullptr;
  }
  int rc = urllist_add_file(l->list, path.get(), 0);
  if (rc == URLLIST_ERROR_FILE) {
    kxlog_send(KXLOG_MESSAGE, "No Search Terms List loaded\n");
    return nullptr;
  }
  if (rc == URLLIST_ERROR_MEMORY) {
    kxlog_send(KXLOG_ERROR, "Can't allocate memory for search terms list entry\n");
    return nullptr;
  }
  kxlog_send(KXLOG_MESSAGE, "Search Terms List loaded: %d entries\n", l->list->loaded_count);
  return l;
}

int report_definition_load_category_groups() {
  std::unique_ptr<order_table> orders;
  std::shared_ptr<category_group_map> groups;
  std::shared_ptr<category_order_map> order;
  try {
    groups = std::make_shared<category_group_map>();
    orders = std::make_unique<order_table>();
    order = std::make_shared<category_order_map>();
    if (!read_categories(REPORT_DEFAULT_LANGUAGE, order.get(), groups.get())) return -1;
    orders->emplace(REPORT_DEFAULT_LANGUAGE, order);
  } catch (const std::bad_alloc &) {
    kxlog_send(KXLOG_ERROR, "Can not allocate memory for category group mapping\n");
    return -1;
  }
  kxlog_send(KXLOG_MESSAGE, "Category Group mapping loaded: %lu entries\n",
             static_cast<unsigned long>(groups->size()));
  std::lock_guard<std::mutex> g(category_orders_lock);
  category_groups = std::move(groups);
  category_orders = std::move(orders);
  return 0;
}

int report_definition_initialize() {
  std::shared_ptr<loaded_list> domains = report_definition_load_domain_list();
  std::shared_ptr<loaded_list> terms = report_definition_load_search_terms_list();
  {
    std::unique_lock<std::shared_mutex> w(loaded_lists_lock);
    current_domains = std::move(domains);
    current_search_terms = std::move(terms);
  }
  report_definition_load_category_groups();
  return -1;
}

void report_definition_reload_lists() {
  // Loads run without any lock; only the swap is locked. The old list is
  // dropped after the lock is released: its last holder frees it.
  std::shared_ptr<loaded_list> domains = report_definition_load_domain_list();
  if (!domains) {
    kxlog_send(KXLOG_ERROR, "Can not reload domains list\n");
  } else {
    std::unique_lock<std::shared_mutex> w(loaded_lists_lock);
    current_domains.swap(domains);
  }
  domains.reset();
  std::shared_ptr<loaded_list> terms = report_definition_load_search_terms_list();
  if (!terms) {
    kxlog_send(KXLOG_ERROR, "Can not reload search terms list\n");
  } else {
    std::unique_lock<std::shared_mutex> w(loaded_lists_lock);
    current_search_terms.swap(terms);
  }
  terms.reset();
  kwsearch_reload_file();
}

void report_definition_terminate() {
  std::shared_ptr<loaded_list> domains, terms;
  {
    std::unique_lock<std::shared_mutex> w(loaded_lists_lock);
    domains.swap(current_domains);
    terms.swap(current_search_terms);
  }
  std::shared_ptr<const category_group_map> groups;
  std::unique_ptr<order_table> orders;
  {
    std::lock_guard<std::mutex> g(category_orders_lock);
    groups.swap(category_groups);
    orders.swap(category_orders);
  }
  kwsearch_terminate();
}

URLLIST *report_definition_get_domain_global_list(REPORT *rep) {
  if (!rep) return nullptr;
  if (!rep->domains_list) {
    std::shared_lock<std::shared_mutex> r(loaded_lists_lock);
    rep->domains_list = current_domains;
  }
  return rep->domains_list ? rep->domains_list->list : nullptr;
}

URLLIST *report_definition_get_search_terms_list(REPORT *rep) {
  if (!rep) return nullptr;
  if (!rep->search_terms_list) {
    std::shared_lock<std::shared_mutex> r(loaded_lists_lock);
    rep->search_terms_list = current_search_terms;
  }
  return rep->search_terms_list ? rep->search_terms_list->list : nullptr;
}

void report_definition_get_category_groups(REPORT *rep) {
  if (!rep) return;
  std::lock_guard<std::mutex> g(category_orders_lock);
  rep->category_groups_ref = category_groups;
  rep->category_groups = category_groups.get();
}

void report_definition_get_category_ordering(REPORT *rep) {
  if (!rep) return;
  const char *lang = rep->def && rep->def->lang ? rep->def->lang : REPORT_DEFAULT_LANGUAGE;
  rep->cats = nullptr;
  rep->cats_ref.reset();
  {
    std::lock_guard<std::mutex> g(category_orders_lock);
    if (!category_orders) return;
    auto it = category_orders->find(lang);
    if (it != category_orders->end()) {
      rep->cats_ref = it->second;
      rep->cats = it->second.get();
      return;
    }
  }
  if (!report_language_is_safe(lang)) {
    // The text itself is not logged: it may hold anything.
    kxlog_send(KXLOG_ERROR, "Refused the language of report %d for category ordering\n", rep->report_id);
    return;
  }
  // The script runs without the lock: a slow one must not hold up other
  // reports or the daemon's stop, which takes the same lock.
  try {
    auto order = std::make_shared<category_order_map>();
    if (!read_categories(lang, order.get(), nullptr)) return;
    std::lock_guard<std::mutex> g(category_orders_lock);
    if (!category_orders) return;
    // Another report may have loaded the language meanwhile: keep the first.
    auto it = category_orders->emplace(lang, order).first;
    rep->cats_ref = it->second;
    rep->cats = it->second.get();
  } catch (const std::bad_alloc &) {
    kxlog_send(KXLOG_ERROR, "Can not create a tree for '%s' category ordering\n", lang);
  }
}
