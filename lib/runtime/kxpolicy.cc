#include "lib/runtime/kxpolicy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lib/runtime/config.h"
#include "lib/runtime/kxlogfile.h"

namespace {

std::vector<kxpolicy_module *> *registry = nullptr;
double load_counter = 0;

struct timeval now_tv() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv;
}

// The current time as "seconds.microseconds" (microseconds without
// leading zeros), as every stamp of the registry's messages shows it.
std::string now_text() {
  struct timeval tv = now_tv();
  return std::to_string(static_cast<long>(tv.tv_sec)) + "." + std::to_string(static_cast<long>(tv.tv_usec));
}

// Writes one dump text to the debug log and the dump file.
void dump_out(FILE *f, const char *text) {
  kxlog_send(KXLOG_DEBUG, "%s", text);
  if (f != nullptr) fputs(text, f);
}

void dump_stamp(FILE *f, const char *what) {
  dump_out(f, (std::string("# Module Configuration Dump ") + what + ": " + now_text() + "\n").c_str());
}

}  // namespace

int kxpolicy_module_init() {
  if (registry != nullptr) return 1;
  registry = new (std::nothrow) std::vector<kxpolicy_module *>;
  return registry == nullptr ? 1 : 0;
}

int kxpolicy_module_append(const char *name, kxpolicy_config_initialize_fn config_initialize,
                           kxpolicy_config_dump_fn config_dump, kxpolicy_config_terminate_fn config_terminate) {
  if (registry == nullptr || name == nullptr) return 1;
  auto *m = new (std::nothrow) kxpolicy_module;
  if (m == nullptr) return 1;
  m->name = strdup(name);
  m->config_initialize = config_initialize;
  m->config_dump = config_dump;
  m->config_terminate = config_terminate;
  if (m->name == nullptr) {
    delete m;
    return 1;
  }
  try {
    registry->push_back(m);
  } catch (const std::bad_alloc &) {
    free(m->name);
    delete m;
    return 1;
  }
  return 0;
}

void kxpolicy_module_terminate() {
  if (registry == nullptr) return;
  for (kxpolicy_module *m : *registry) {
    free(m->name);
    delete m;
  }
  delete registry;
  registry = nullptr;
}

int kxpolicy_module_config_initialize(int onStartup, configuration *config, void *policy, void *db) {
  if (registry == nullptr) return 0;
  int failed = 0;
  for (kxpolicy_module *m : *registry) {
    if (m->config_initialize == nullptr) continue;
    kxlog_send(KXLOG_DEBUG, "Module Initialize %s: %s\n", now_text().c_str(), m->name);
    if (m->config_initialize(onStartup, config, policy, db) != 0) {
      kxlog_send(KXLOG_ERROR, "Module '%s' failed to initialize see log for error\n", m->name);
      failed = 1;
    }
  }
  return failed;
}

void kxpolicy_module_config_terminate(int onShutdown, void *policy) {
  if (registry == nullptr) return;
  for (auto it = registry->rbegin(); it != registry->rend(); ++it) {
    kxpolicy_module *m = *it;
    if (m->config_terminate == nullptr) continue;
    kxlog_send(KXLOG_DEBUG, "Module Terminate %s: %s\n", now_text().c_str(), m->name);
    m->config_terminate(onShutdown, policy);
  }
}

int kxpolicy_module_config_dump(const char *filename, configuration *config, void *policy, int failed) {
  if (registry == nullptr) return 0;
  int enabled = 1;
  config_parse_boolean(config, "module_config_dump", &enabled);
  if (!enabled) return 0;
  const char *file = filename != nullptr ? filename : "";
  FILE *f = nullptr;
  char *program = nullptr;
  if (config_parse_string(config, "program_name", &program) == 0) {
    const char *slash = strrchr(file, '/');
    std::string path = std::string("../var/run/") + program + "." + (slash != nullptr ? slash + 1 : file) +
                       (failed ? ".failed" : "");
    free(program);
    f = fopen(path.c_str(), "w");
  }
  int missing = 0;
  dump_stamp(f, "Start");
  std::string running = std::string("# running configuration file ") + file + "\n";
  dump_out(f, running.c_str());
  for (kxpolicy_module *m : *registry) {
    if (m->config_dump == nullptr) continue;
    dump_out(f, (std::string("# Module Dump ") + m->name + ": " + now_text() + "\n").c_str());
    char *text = m->config_dump(config, policy);
    if (text != nullptr) {
      dump_out(f, text);
      free(text);
    } else {
      dump_out(f, "# no configuration\n");
      missing = 1;
    }
  }
  dump_stamp(f, "Complete");
  if (f != nullptr) fclose(f);
  return missing;
}

TallowmerePolicy *kxpolicy_init() {
  auto *policy = static_cast<TallowmerePolicy *>(calloc(1, sizeof(TallowmerePolicy)));
  if (policy == nullptr) {
    sendMemoryMessage();
    return nullptr;
  }
  load_counter += 1;
  policy->loadid.loadid = load_counter;
  return policy;
}

void kxpolicy_free(TallowmerePolicy *policy, int onShutdown) {
  kxpolicy_module_config_terminate(onShutdown, policy);
  free(policy);
}

void kxpolicy_loadid_zero(kxpolicy_loadid *stamp) {
  if (stamp != nullptr) memset(stamp, 0, sizeof *stamp);
}

void kxpolicy_loadid_copy(kxpolicy_loadid *to, const kxpolicy_loadid *from) {
  if (to != nullptr && from != nullptr) *to = *from;
}

int kxpolicy_loadid_cmp(const kxpolicy_loadid *a, const kxpolicy_loadid *b) {
  return a->loadid != b->loadid ? 1 : 0;
}

TallowmerePolicy *kxpolicy_load(const char *filename, void *db, int onStartup) {
  kxlog_send(KXLOG_MESSAGE, "Configuration data loading.\n");
  TallowmerePolicy *policy = kxpolicy_init();
  if (policy == nullptr) {
    kxlog_send(KXLOG_ERROR, "Could not allocate new configuration\n");
    return nullptr;
  }
  policy->loadid.starttime = now_tv();
  kxlog_send(KXLOG_MESSAGE, "Configuration data loading from file (%s).\n", filename);
  configuration *config = config_configuration_create();
  if (config == nullptr) {
    kxlog_send(KXLOG_ERROR, "Could not allocate new configuration for file '%s'\n", filename);
    free(policy);
    return nullptr;
  }
  kxpolicy_module_config_terminate(0, nullptr);
  if (config_configuration_readfile(config, filename) != 0) {
    kxlog_send(KXLOG_ERROR, "Could not load configuration data for file '%s'\n", filename);
    free(policy);  // the modules were terminated above already
    config_configuration_free(config);
    return nullptr;
  }
  int failed = kxpolicy_module_config_initialize(onStartup, config, policy, db);
  kxpolicy_module_config_dump(filename, config, policy, failed);
  config_configuration_free(config);
  kxpolicy_loadid &stamp = policy->loadid;
  stamp.stoptime = now_tv();
  long sec = stamp.stoptime.tv_sec - stamp.starttime.tv_sec;
  long usec = stamp.stoptime.tv_usec - stamp.starttime.tv_usec;
  if (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  stamp.loadtime.tv_sec = sec;
  stamp.loadtime.tv_usec = usec;
  if (failed) {
    kxlog_send(KXLOG_ERROR, "Error loading configuration from file (%s) in %li.%06li seconds..\n", filename, sec, usec);
    kxpolicy_free(policy, 0);
    return nullptr;
  }
  kxlog_send(KXLOG_MESSAGE, "Configuration data loaded from file (%s) in %li.%06li seconds..\n", filename, sec, usec);
  return policy;
}
