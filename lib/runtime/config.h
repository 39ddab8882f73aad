// Configuration store: setting lines of a name and value words separated by
// single blanks, several lines per name in insertion order, and the typed
// readers that turn a setting's words into values.
//
// Store operations and readers return 0 for success and 1 for failure unless
// said otherwise. A reader writes its out value only on success, so callers
// keep their defaults for a missing or unreadable setting. Stores are not
// synchronised; the creator owns a store and frees it with
// config_configuration_free. New heap texts are freed by the caller (free()).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/kxcpuinfo.h"
#include "lib/base/kxnet.h"

#define CONFIG_FAIL_DENYPAGE 1
#define CONFIG_FAIL_SHUTDOWN 2
#define CONFIG_FAIL_ALLOW 3
#define CONFIG_DEFAULT_PTHREAD_STACKSIZE 2097152

// Deepest nesting of "include" lines that a configuration file may use.
#define CONFIG_MAX_INCLUDE_DEPTH 16

// One setting line.
struct configuration_item {
  char **tokens = nullptr;       // NULL-terminated words; tokens[0] is the name
  char *tokens_line = nullptr;   // owned copy of the line the words point into
  int token_count = 0;
  char *line = nullptr;          // owned copy of the text after the first blank; null for one word
  ~configuration_item();
};

struct configuration {
  // Setting name (byte-wise order) -> its lines in insertion order.
  std::map<std::string, std::vector<std::unique_ptr<configuration_item>>> tree;
};

// --- Store ------------------------------------------------------------------

// New empty store holding every persistent line first; null on failure.
configuration *config_configuration_create();
// Formats one line printf-style and appends it under its first word.
int config_configuration_add_line(configuration *config, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Appends one line as it is (never used as a format).
int config_configuration_add_line_verbatim(configuration *config, const char *line);
// Adds each LF-separated line of text verbatim, stopping at the first failure.
int config_configuration_add_lines(configuration *config, const char *text);
// Removes the line of line's setting whose value text equals line's; 1 when
// none matches.
int config_configuration_remove_line(configuration *config, const char *line);
// NULL-safe.
void config_configuration_free(configuration *config);
// Reads a configuration file: "#" comments, blank lines skipped, "include
// FILE" lines (nested at most CONFIG_MAX_INCLUDE_DEPTH deep; a missing or too
// deep include is logged or ignored and does not stop the read).
int config_configuration_readfile(configuration *config, const char *filename);

// Persistent lines: every store created later receives them first.
// Takes ownership of the heap line (malloc'd); 1 for a null line.
int config_persistant_add_line(char *line);
void config_persistant_terminate();

// --- Typed readers (first line of the setting unless an index is given) -----

// Words of the index-th line and their count; null when absent. The array
// belongs to the store.
char **config_parse_tokens_index(configuration *config, const char *setting, int *count, int index);
// First value word of the index-th line (belongs to the store); null when
// absent or empty.
const char *config_parse_string_index(configuration *config, const char *setting, int index);
char **config_parse_tokens(configuration *config, const char *setting, int *count);
// Word count of the first line (name included); 0 when absent.
int config_parse_token_count(configuration *config, const char *setting);
// New heap copy of the first value word.
int config_parse_string(configuration *config, const char *setting, char **out);
// New heap copy of the whole value text of the first line.
int config_parse_line(configuration *config, const char *setting, char **out);
// Decimal numbers; the whole word must be a number in range.
int config_parse_int(configuration *config, const char *setting, int *out);
int config_parse_longlong(configuration *config, const char *setting, long long *out);
// yes/y/on/true 1, no/n/off/false 0, else 1 when the number is non-zero.
int config_parse_boolean(configuration *config, const char *setting, int *out);
// Bytes with a size unit word ("10 kib", "10kib"); refused on an unknown unit,
// a unit without digits or overflow.
int config_parse_size(configuration *config, const char *setting, long long *out);
// Milliseconds with a duration unit word.
int config_parse_msec(configuration *config, const char *setting, long long *out);
// Seconds with a duration unit word (millisecond words are refused).
int config_parse_sec(configuration *config, const char *setting, int *out);
// An address whose text prints back exactly as written.
int config_parse_ipaddr(configuration *config, const char *setting, kx_ipaddr *out);
// New heap host name: "$IPADDR_<interface>" gives that interface's IPv4
// address; "$HOSTNAME" or a missing setting gives the HOSTNAME variable.
int config_parse_string_hostname(configuration *config, const char *setting, char **out);
// config_parse_string_hostname of "deny_page_host".
int config_parse_denypagehost(configuration *config, char **out);
// New heap copy of HOSTNAME from the environment; 1 when unset.
int config_get_envhostname(char **out);
// "<module>_failure", else "failure": CONFIG_FAIL_* (ALLOW when neither is
// set); 1 only without a module name.
int config_parse_failure(configuration *config, const char *module, int *out);
// "<module>_thread_stacksize", else "thread_stacksize"; 0 when read, else 1
// with CONFIG_DEFAULT_PTHREAD_STACKSIZE in *out.
int config_parse_thread_stacksize(configuration *config, const char *module, size_t *out);

// CPU placement from "<prefix>thread_affinity" (value words "ALL", or CPU
// numbers 0 to 1023; 1024 counts but adds no CPU; other words are ignored),
// "<prefix>thread_priority" (an int) and "<prefix>thread_scheduler"
// (SCHED_FIFO, SCHED_RR, SCHED_BATCH, SCHED_OTHER, any case). Only what the
// store holds is changed in *out (start from kxcpuinfo_init): an affinity
// line replaces the whole set. 0 when at least one of the three is read,
// else 1.
int config_parse_cpuinfo(configuration *config, const char *prefix, kxcpuinfo *out);

// New heap lines in file syntax.
char *config_dump_ipaddr(const char *name, const kx_ipaddr *address);
char *config_dump_thread_stacksize(const char *module, unsigned int value);
// "<prefix>thread_affinity ALL\n" or the CPUs of the set (" %d" each), then
// the priority and scheduler lines when they are set.
char *config_dump_cpuinfo(const char *prefix, const kxcpuinfo *info);

// --- Module readers: the setting "<module>-><setting>" ----------------------

const char *config_module_parse_string_index(configuration *config, const char *module, const char *setting, int index);
char **config_module_parse_tokens_index(configuration *config, const char *module, const char *setting, int *count, int index);
char **config_module_parse_tokens(configuration *config, const char *module, const char *setting, int *count);
int config_module_parse_token_count(configuration *config, const char *module, const char *setting);
int config_module_parse_longlong(configuration *config, const char *module, const char *setting, long long *out);
int config_module_parse_int(configuration *config, const char *module, const char *setting, int *out);
int config_module_parse_boolean(configuration *config, const char *module, const char *setting, int *out);
int config_module_parse_ipaddr(configuration *config, const char *module, const char *setting, kx_ipaddr *out);
int config_module_parse_size(configuration *config, const char *module, const char *setting, long long *out);
int config_module_parse_msec(configuration *config, const char *module, const char *setting, long long *out);
int config_module_parse_sec(configuration *config, const char *module, const char *setting, int *out);
int config_module_parse_string(configuration *config, const char *module, const char *setting, char **out);
int config_module_parse_line(configuration *config, const char *module, const char *setting, char **out);
int config_module_parse_string_hostname(configuration *config, const char *module, const char *setting, char **out);
