#include "lib/runtime/config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <strings.h>
#include <unistd.h>

#include "lib/base/kxlog.h"
#include "lib/base/kxstring.h"

configuration_item::~configuration_item() {
  free(tokens);
  free(tokens_line);
  free(line);
}

namespace {

// Process-wide persistent lines, in insertion order.
std::mutex persistent_lock;
std::vector<char *> *persistent_lines = nullptr;

std::unique_ptr<configuration_item> make_item(const char *text) {
  auto item = std::make_unique<configuration_item>();
  item->tokens_line = strdup(text);
  if (item->tokens_line == nullptr) return nullptr;
  item->tokens = string_explode(item->tokens_line, ' ');
  if (item->tokens == nullptr) return nullptr;
  while (item->tokens[item->token_count] != nullptr) item->token_count++;
  if (item->token_count >= 2) {
    const char *blank = strchr(text, ' ');
    item->line = strdup(blank + 1);
    if (item->line == nullptr) return nullptr;
  }
  return item;
}

configuration_item *find_item(configuration *config, const char *setting, int index) {
  if (config == nullptr || setting == nullptr || index < 0) return nullptr;
  auto it = config->tree.find(setting);
  if (it == config->tree.end() || static_cast<size_t>(index) >= it->second.size()) return nullptr;
  return it->second[index].get();
}

// Hands *out a new heap copy of text: 0, or 1 (out untouched) for a null
// text or no memory.
int copy_out(const char *text, char **out) {
  char *copy = text != nullptr ? strdup(text) : nullptr;
  if (copy == nullptr) return 1;
  *out = copy;
  return 0;
}

// Whole-word decimal numbers.
bool read_longlong(const char *word, long long *out) {
  if (word == nullptr || *word == '\0') return false;
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(word, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

struct unit_word {
  const char *word;
  long long factor;
};

const unit_word size_units[] = {
    {"k", 1000LL}, {"kb", 1000LL}, {"kbs", 1000LL}, {"kilo", 1000LL}, {"kilos", 1000LL},
    {"kbyte", 1000LL}, {"kbytes", 1000LL}, {"kilobyte", 1000LL}, {"kilobytes", 1000LL},
    {"kbit", 125LL}, {"kbits", 125LL}, {"kilobit", 125LL}, {"kilobits", 125LL},
    {"kib", 1024LL}, {"kibs", 1024LL}, {"kibyte", 1024LL}, {"kibytes", 1024LL},
    {"kibibyte", 1024LL}, {"kibibytes", 1024LL},
    {"kibit", 128LL}, {"kibits", 128LL}, {"kibibit", 128LL}, {"kibibits", 128LL},
    {"m", 1000000LL}, {"mb", 1000000LL}, {"mbs", 1000000LL}, {"meg", 1000000LL}, {"megs", 1000000LL},
    {"mbyte", 1000000LL}, {"mbytes", 1000000LL}, {"megabyte", 1000000LL}, {"megabytes", 1000000LL},
    {"mbit", 125000LL}, {"mbits", 125000LL}, {"megabit", 125000LL}, {"megabits", 125000LL},
    {"mib", 1048576LL}, {"mibs", 1048576LL}, {"mibyte", 1048576LL}, {"mibytes", 1048576LL},
    {"mebibyte", 1048576LL}, {"mebibytes", 1048576LL},
    {"mibit", 131072LL}, {"mibits", 131072LL}, {"mebibit", 131072LL}, {"mebibits", 131072LL},
    {"g", 1000000000LL}, {"gb", 1000000000LL}, {"gbs", 1000000000LL}, {"gig", 1000000000LL},
    {"gigs", 1000000000LL}, {"gbyte", 1000000000LL}, {"gbytes", 1000000000LL},
    {"gigabyte", 1000000000LL}, {"gigabytes", 1000000000LL},
    {"gbit", 125000000LL}, {"gbits", 125000000LL}, {"gigabit", 125000000LL}, {"gigabits", 125000000LL},
    {"gib", 1073741824LL}, {"gibs", 1073741824LL}, {"gibyte", 1073741824LL}, {"gibytes", 1073741824LL},
    {"gibibyte", 1073741824LL}, {"gibibytes", 1073741824LL},
    {"gibit", 134217728LL}, {"gibits", 134217728LL}, {"gibibit", 134217728LL}, {"gibibits", 134217728LL},
    {"t", 1000000000000LL}, {"tb", 1000000000000LL}, {"tbs", 1000000000000LL},
    {"tera", 1000000000000LL}, {"teras", 1000000000000LL}, {"tbyte", 1000000000000LL},
    {"tbytes", 1000000000000LL}, {"terabyte", 1000000000000LL}, {"terabytes", 1000000000000LL},
    {"tbit", 125000000000LL}, {"tbits", 125000000000LL}, {"terabit", 125000000000LL},
    {"terabits", 125000000000LL},
    {"teb", 1099511627776LL}, {"tebs", 1099511627776LL}, {"tebyte", 1099511627776LL},
    {"tebytes", 1099511627776LL}, {"tebibyte", 1099511627776LL}, {"tebibytes", 1099511627776LL},
    {"tebit", 137438953472LL}, {"tebits", 137438953472LL}, {"tebibit", 137438953472LL},
    {"tebibits", 137438953472LL},
};

const unit_word msec_units[] = {
    {"ms", 1}, {"msec", 1}, {"msecs", 1}, {"msecond", 1}, {"mseconds", 1}, {"millis", 1},
    {"millisec", 1}, {"millisecond", 1}, {"milliseconds", 1},
    {"s", 1000}, {"sec", 1000}, {"secs", 1000}, {"second", 1000}, {"seconds", 1000},
    {"m", 60000}, {"min", 60000}, {"mins", 60000}, {"minute", 60000}, {"minutes", 60000},
    {"h", 3600000}, {"hour", 3600000}, {"hours", 3600000},
    {"d", 86400000}, {"day", 86400000}, {"days", 86400000},
};

template <size_t N>
long long unit_factor(const unit_word (&table)[N], const std::string &word) {
  for (const auto &u : table)
    if (strcasecmp(u.word, word.c_str()) == 0) return u.factor;
  return 0;
}

// The number and unit word of a size or duration setting (steps of the
// format: the unit either inside the first value word or as a later word).
// False when the setting is absent or the number is not a whole number.
bool split_number_unit(configuration *config, const char *setting, long long *number,
                       std::string *unit, bool *has_unit) {
  configuration_item *item = find_item(config, setting, 0);
  if (item == nullptr || item->token_count < 2) return false;
  std::string word = item->tokens[1];
  size_t p = 0;
  bool inside = false;
  if (!word.empty() && word[0] == '-') {
    if (word.size() > 1 && isdigit(static_cast<unsigned char>(word[1]))) p = 1;
    else p = word.size();  // no unit inside: the whole word must be the number
  }
  if (p < word.size()) {
    while (p < word.size() && isdigit(static_cast<unsigned char>(word[p]))) p++;
    if (p < word.size()) {
      *unit = word.substr(p);
      word.resize(p);
      inside = true;
    }
  }
  if (!inside) {
    for (int i = 2; i < item->token_count; i++) {
      if (item->tokens[i][0] != '\0') {
        *unit = item->tokens[i];
        inside = true;
        break;
      }
    }
  }
  *has_unit = inside;
  // A unit word needs digits before it; "kb" alone is not a size.
  return read_longlong(word.c_str(), number);
}

template <size_t N>
bool parse_scaled(configuration *config, const char *setting, const unit_word (&table)[N],
                  long long divisor, long long *out) {
  long long number = 0;
  std::string unit;
  bool has_unit = false;
  if (!split_number_unit(config, setting, &number, &unit, &has_unit)) return false;
  long long factor = has_unit ? unit_factor(table, unit) / divisor : 1;
  if (factor == 0) return false;
  long long value = 0;
  if (__builtin_mul_overflow(number, factor, &value)) return false;
  *out = value;
  return true;
}

char *module_setting(const char *module, const char *setting) {
  if (module == nullptr || setting == nullptr) return nullptr;
  char *name = nullptr;
  if (asprintf(&name, "%s->%s", module, setting) < 0) return nullptr;
  return name;
}

// The whole file; false when it cannot be opened or read (a directory opens
// but cannot be read, and is no empty configuration).
bool read_whole_file(const char *filename, std::string *text) {
  FILE *f = fopen(filename, "rb");
  if (f == nullptr) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

int read_file(configuration *config, const char *filename, int depth) {
  std::string text;
  if (!read_whole_file(filename, &text)) {
    kxlog_send(KXLOG_ERROR, "Could not open configuration file '%s'.\n", filename);
    return 1;
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    std::string line = text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    start = lf == std::string::npos ? text.size() : lf + 1;
    size_t cr = line.find('\r');
    if (cr != std::string::npos) line.resize(cr);
    size_t nul = line.find('\0');
    if (nul != std::string::npos) line.resize(nul);
    size_t first = 0;
    while (first < line.size() && isspace(static_cast<unsigned char>(line[first]))) first++;
    line.erase(0, first);
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, 8, "include ") == 0) {
      size_t b = 8;
      size_t e = line.find(' ', b);
      std::string name = line.substr(b, e == std::string::npos ? std::string::npos : e - b);
      if (name.empty()) continue;
      if (depth >= CONFIG_MAX_INCLUDE_DEPTH) {
        // Also ends include cycles (a file that includes itself).
        kxlog_send(KXLOG_ERROR, "Configuration include '%s' ignored: nested deeper than %d files\n",
                   name.c_str(), CONFIG_MAX_INCLUDE_DEPTH);
        continue;
      }
      if (access(name.c_str(), R_OK) == 0) {
        read_file(config, name.c_str(), depth + 1);
      } else {
        const char *slash = strrchr(filename, '/');
        if (slash != nullptr) {
          std::string joined(filename, slash + 1 - filename);
          joined += name;
          if (access(joined.c_str(), R_OK) == 0) read_file(config, joined.c_str(), depth + 1);
        }
      }
      continue;
    }
    if (config_configuration_add_line_verbatim(config, line.c_str()) != 0) return 1;
  }
  return 0;
}

}  // namespace

// --- Store ------------------------------------------------------------------

configuration *config_configuration_create() {
  auto *config = new (std::nothrow) configuration;
  if (config == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(persistent_lock);
  if (persistent_lines != nullptr) {
    for (char *line : *persistent_lines) {
      if (config_configuration_add_line_verbatim(config, line) != 0) {
        delete config;
        return nullptr;
      }
    }
  }
  return config;
}

int config_configuration_add_line_verbatim(configuration *config, const char *line) {
  if (config == nullptr || line == nullptr) return 1;
  try {
    auto item = make_item(line);
    if (item == nullptr) return 1;
    config->tree[item->tokens[0]].push_back(std::move(item));
  } catch (const std::bad_alloc &) {
    return 1;
  }
  return 0;
}

int config_configuration_add_line(configuration *config, const char *format, ...) {
  if (config == nullptr || format == nullptr) return 1;
  va_list ap;
  va_start(ap, format);
  char *line = nullptr;
  int n = vasprintf(&line, format, ap);
  va_end(ap);
  if (n < 0) return 1;
  int result = config_configuration_add_line_verbatim(config, line);
  free(line);
  return result;
}

int config_configuration_add_lines(configuration *config, const char *text) {
  if (config == nullptr || text == nullptr) return 1;
  const char *p = text;
  while (*p != '\0') {
    const char *lf = strchr(p, '\n');
    std::string line = lf != nullptr ? std::string(p, lf - p) : std::string(p);
    if (config_configuration_add_line_verbatim(config, line.c_str()) != 0) return 1;
    if (lf == nullptr) break;
    p = lf + 1;
  }
  return 0;
}

int config_configuration_remove_line(configuration *config, const char *line) {
  if (config == nullptr || line == nullptr) return 1;
  auto probe = make_item(line);
  if (probe == nullptr) return 1;
  auto it = config->tree.find(probe->tokens[0]);
  if (it == config->tree.end()) return 1;
  auto &lines = it->second;
  for (auto l = lines.begin(); l != lines.end(); ++l) {
    const char *a = (*l)->line;
    const char *b = probe->line;
    if ((a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && strcmp(a, b) == 0)) {
      lines.erase(l);
      if (lines.empty()) config->tree.erase(it);
      return 0;
    }
  }
  return 1;
}

void config_configuration_free(configuration *config) { delete config; }

int config_configuration_readfile(configuration *config, const char *filename) {
  if (config == nullptr || filename == nullptr) return 1;
  return read_file(config, filename, 0);
}

int config_persistant_add_line(char *line) {
  if (line == nullptr) return 1;
  std::lock_guard<std::mutex> guard(persistent_lock);
  try {
    if (persistent_lines == nullptr) persistent_lines = new std::vector<char *>;
    persistent_lines->push_back(line);
  } catch (const std::bad_alloc &) {
    return 1;
  }
  return 0;
}

void config_persistant_terminate() {
  std::lock_guard<std::mutex> guard(persistent_lock);
  if (persistent_lines == nullptr) return;
  for (char *line : *persistent_lines) free(line);
  delete persistent_lines;
  persistent_lines = nullptr;
}

// --- Typed readers ----------------------------------------------------------

char **config_parse_tokens_index(configuration *config, const char *setting, int *count, int index) {
  configuration_item *item = find_item(config, setting, index);
  if (item == nullptr) return nullptr;
  if (count != nullptr) *count = item->token_count;
  return item->tokens;
}

const char *config_parse_string_index(configuration *config, const char *setting, int index) {
  configuration_item *item = find_item(config, setting, index);
  if (item == nullptr || item->token_count < 2 || item->tokens[1][0] == '\0') return nullptr;
  return item->tokens[1];
}

char **config_parse_tokens(configuration *config, const char *setting, int *count) {
  return config_parse_tokens_index(config, setting, count, 0);
}

int config_parse_token_count(configuration *config, const char *setting) {
  configuration_item *item = find_item(config, setting, 0);
  return item == nullptr ? 0 : item->token_count;
}

int config_parse_string(configuration *config, const char *setting, char **out) {
  const char *word = config_parse_string_index(config, setting, 0);
  if (word == nullptr || out == nullptr) return 1;
  return copy_out(word, out);
}

int config_parse_line(configuration *config, const char *setting, char **out) {
  configuration_item *item = find_item(config, setting, 0);
  if (item == nullptr || out == nullptr) return 1;
  return copy_out(item->line, out);
}

int config_parse_longlong(configuration *config, const char *setting, long long *out) {
  long long v = 0;
  if (out == nullptr || !read_longlong(config_parse_string_index(config, setting, 0), &v)) return 1;
  *out = v;
  return 0;
}

int config_parse_int(configuration *config, const char *setting, int *out) {
  long long v = 0;
  if (out == nullptr || config_parse_longlong(config, setting, &v) != 0) return 1;
  if (v < INT32_MIN || v > INT32_MAX) return 1;
  *out = static_cast<int>(v);
  return 0;
}

int config_parse_boolean(configuration *config, const char *setting, int *out) {
  const char *word = config_parse_string_index(config, setting, 0);
  if (word == nullptr || out == nullptr) return 1;
  static const char *const yes[] = {"yes", "y", "on", "true"};
  static const char *const no[] = {"no", "n", "off", "false"};
  for (const char *w : yes)
    if (strcasecmp(word, w) == 0) return *out = 1, 0;
  for (const char *w : no)
    if (strcasecmp(word, w) == 0) return *out = 0, 0;
  *out = strtoll(word, nullptr, 10) != 0 ? 1 : 0;
  return 0;
}

int config_parse_size(configuration *config, const char *setting, long long *out) {
  long long v = 0;
  if (out == nullptr || !parse_scaled(config, setting, size_units, 1, &v)) return 1;
  *out = v;
  return 0;
}

int config_parse_msec(configuration *config, const char *setting, long long *out) {
  long long v = 0;
  if (out == nullptr || !parse_scaled(config, setting, msec_units, 1, &v)) return 1;
  *out = v;
  return 0;
}

int config_parse_sec(configuration *config, const char *setting, int *out) {
  long long v = 0;
  if (out == nullptr || !parse_scaled(config, setting, msec_units, 1000, &v)) return 1;
  if (v < INT32_MIN || v > INT32_MAX) return 1;
  *out = static_cast<int>(v);
  return 0;
}

int config_parse_ipaddr(configuration *config, const char *setting, kx_ipaddr *out) {
  const char *word = config_parse_string_index(config, setting, 0);
  if (word == nullptr || out == nullptr) return 1;
  kx_ipaddr ip;
  if (kxnet_aton(word, &ip) != 0) return 1;
  char text[KXNET_ADDRSTRLEN];
  if (kxnet_ntop(&ip, text, sizeof text) == nullptr || strcmp(text, word) != 0) return 1;
  *out = ip;
  return 0;
}

int config_get_envhostname(char **out) {
  if (out == nullptr) return 1;
  return copy_out(getenv("HOSTNAME"), out);
}

int config_parse_string_hostname(configuration *config, const char *setting, char **out) {
  if (out == nullptr) return 1;
  const char *word = config_parse_string_index(config, setting, 0);
  if (word == nullptr || strcmp(word, "$HOSTNAME") == 0) return config_get_envhostname(out);
  if (strncmp(word, "$IPADDR_", 8) == 0) {
    struct in_addr addr;
    if (kxif_get_ipv4_addr(word + 8, &addr) != 0) {
      int err = errno;
      kxlog_send(KXLOG_ERROR,
                 "config: couldnt convert ipaddr for '%s' = '%s': %s.  Expected valid ipv4 device name\n",
                 setting, word, strerror(err));
      return 1;
    }
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) return 1;
    return copy_out(text, out);
  }
  return copy_out(word, out);
}

int config_parse_denypagehost(configuration *config, char **out) {
  return config_parse_string_hostname(config, "deny_page_host", out);
}

int config_parse_failure(configuration *config, const char *module, int *out) {
  if (module == nullptr || out == nullptr) return 1;
  std::string name = std::string(module) + "_failure";
  const char *word = config_parse_string_index(config, name.c_str(), 0);
  if (word == nullptr) word = config_parse_string_index(config, "failure", 0);
  if (word != nullptr && strcmp(word, "shutdown") == 0)
    *out = CONFIG_FAIL_SHUTDOWN;
  else if (word != nullptr && strcmp(word, "denypage") == 0)
    *out = CONFIG_FAIL_DENYPAGE;
  else
    *out = CONFIG_FAIL_ALLOW;
  return 0;
}

int config_parse_thread_stacksize(configuration *config, const char *module, size_t *out) {
  if (out == nullptr) return 1;
  if (module != nullptr) {
    std::string name = std::string(module) + "_thread_stacksize";
    int v = 0;
    if (config_parse_int(config, name.c_str(), &v) == 0 || config_parse_int(config, "thread_stacksize", &v) == 0) {
      *out = static_cast<size_t>(v);
      return 0;
    }
  }
  *out = CONFIG_DEFAULT_PTHREAD_STACKSIZE;
  return 1;
}

char *config_dump_ipaddr(const char *name, const kx_ipaddr *address) {
  char text[KXNET_ADDRSTRLEN];
  if (name == nullptr || kxnet_ntop(address, text, sizeof text) == nullptr) return nullptr;
  char *out = nullptr;
  return asprintf(&out, "%s %s\n", name, text) < 0 ? nullptr : out;
}

char *config_dump_thread_stacksize(const char *module, unsigned int value) {
  if (module == nullptr) return nullptr;
  char *out = nullptr;
  return asprintf(&out, "%s_thread_stacksize %u\n", module, value) < 0 ? nullptr : out;
}

namespace {

const char *const kSchedulerWords[] = {"SCHED_OTHER", "SCHED_FIFO", "SCHED_RR", "SCHED_BATCH"};

std::string prefixed(const char *prefix, const char *name) { return std::string(prefix) + name; }

}  // namespace

int config_parse_cpuinfo(configuration *config, const char *prefix, kxcpuinfo *out) {
  if (config == nullptr || prefix == nullptr || out == nullptr) return 1;
  bool read = false;
  int count = 0;
  char **words = config_parse_tokens(config, prefixed(prefix, "thread_affinity").c_str(), &count);
  if (words != nullptr) {
    read = true;
    out->affinity_all = 0;
    CPU_ZERO(&out->affinity_set);
    for (int i = 1; i < count; ++i) {
      const char *w = words[i];
      if (strcasecmp(w, "ALL") == 0) {
        out->affinity_all = 1;
        break;
      }
      char *end = nullptr;
      errno = 0;
      long cpu = w[0] != '\0' ? strtol(w, &end, 10) : -1;
      if (w[0] == '\0' || errno != 0 || *end != '\0' || cpu < 0 || cpu > KXCPUINFO_MAX_CPUS) continue;
      out->affinity_all = 0;
      if (cpu < KXCPUINFO_MAX_CPUS) CPU_SET(static_cast<int>(cpu), &out->affinity_set);
    }
    if (out->affinity_all)
      for (int cpu = 0; cpu < KXCPUINFO_MAX_CPUS; ++cpu) CPU_SET(cpu, &out->affinity_set);
  }
  int priority = 0;
  if (config_parse_int(config, prefixed(prefix, "thread_priority").c_str(), &priority) == 0) {
    read = true;
    out->priority = priority;
    out->priority_set = 1;
  }
  const char *word = config_parse_string_index(config, prefixed(prefix, "thread_scheduler").c_str(), 0);
  for (int i = 0; word != nullptr && i < 4; ++i) {
    if (strcasecmp(word, kSchedulerWords[i]) == 0) {
      read = true;
      out->scheduler = i;
      out->scheduler_set = 1;
    }
  }
  return read ? 0 : 1;
}

char *config_dump_cpuinfo(const char *prefix, const kxcpuinfo *info) {
  if (prefix == nullptr || info == nullptr) return nullptr;
  std::string text;
  try {
    text = prefixed(prefix, "thread_affinity");
    if (info->affinity_all) {
      text += " ALL";
    } else {
      for (int cpu = 0; cpu < KXCPUINFO_MAX_CPUS; ++cpu)
        if (CPU_ISSET(cpu, &info->affinity_set)) text.append(" ").append(std::to_string(cpu));
    }
    text.append("\n");
    if (info->priority_set)
      text.append(prefix).append("thread_priority ").append(std::to_string(info->priority)).append("\n");
    if (info->scheduler_set && info->scheduler >= 0 && info->scheduler < 4)
      text.append(prefix).append("thread_scheduler ").append(kSchedulerWords[info->scheduler]).append("\n");
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return strdup(text.c_str());
}

// --- Module readers ---------------------------------------------------------

namespace {

template <typename F>
auto with_module_name(const char *module, const char *setting, F f, decltype(f(nullptr)) failure) {
  char *name = module_setting(module, setting);
  if (name == nullptr) return failure;
  auto result = f(name);
  free(name);
  return result;
}

}  // namespace

const char *config_module_parse_string_index(configuration *config, const char *module, const char *setting, int index) {
  return with_module_name(module, setting, [&](const char *n) { return config_parse_string_index(config, n, index); },
                          static_cast<const char *>(nullptr));
}

char **config_module_parse_tokens_index(configuration *config, const char *module, const char *setting, int *count, int index) {
  return with_module_name(module, setting, [&](const char *n) { return config_parse_tokens_index(config, n, count, index); },
                          static_cast<char **>(nullptr));
}

char **config_module_parse_tokens(configuration *config, const char *module, const char *setting, int *count) {
  return config_module_parse_tokens_index(config, module, setting, count, 0);
}

int config_module_parse_token_count(configuration *config, const char *module, const char *setting) {
  return with_module_name(module, setting, [&](const char *n) { return config_parse_token_count(config, n); }, 0);
}

#define KX_MODULE_READER(reader, type)                                                              \
  int config_module_##reader(configuration *config, const char *module, const char *setting, type out) { \
    return with_module_name(module, setting, [&](const char *n) { return config_##reader(config, n, out); }, 1); \
  }

KX_MODULE_READER(parse_longlong, long long *)
KX_MODULE_READER(parse_int, int *)
KX_MODULE_READER(parse_boolean, int *)
KX_MODULE_READER(parse_ipaddr, kx_ipaddr *)
KX_MODULE_READER(parse_size, long long *)
KX_MODULE_READER(parse_msec, long long *)
KX_MODULE_READER(parse_sec, int *)
KX_MODULE_READER(parse_string, char **)
KX_MODULE_READER(parse_line, char **)
KX_MODULE_READER(parse_string_hostname, char **)
