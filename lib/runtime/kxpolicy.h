// Module registry: runtime modules that take configuration register three
// callbacks under a name (initialise from a configuration store, dump their
// settings as configuration text, terminate), and the load cycle that runs
// them over a configuration file.
//
// The registry is process-wide and not synchronised: modules are registered
// at start-up, before other threads run.
#pragma once

#include <sys/time.h>

struct configuration;

// Callbacks of one module; any may be null.
typedef int (*kxpolicy_config_initialize_fn)(int onStartup, configuration *config, void *policy, void *db);
typedef char *(*kxpolicy_config_dump_fn)(configuration *config, void *policy);  // new heap text or null
typedef void (*kxpolicy_config_terminate_fn)(int onShutdown, void *policy);

struct kxpolicy_module {
  char *name;  // owned copy
  kxpolicy_config_initialize_fn config_initialize;
  kxpolicy_config_dump_fn config_dump;
  kxpolicy_config_terminate_fn config_terminate;
};

// The stamp of one load.
struct kxpolicy_loadid {
  struct timeval starttime;
  struct timeval stoptime;
  struct timeval loadtime;
  double loadid;  // process-wide load counter
};

// The policy record of one load; this system uses only its stamp.
struct TallowmerePolicy {
  kxpolicy_loadid loadid;
};

// Creates the registry: 0, or 1 when it exists already or on failure.
int kxpolicy_module_init();
// Appends a module (name copied): 0, or 1 without a registry or on failure.
int kxpolicy_module_append(const char *name, kxpolicy_config_initialize_fn config_initialize,
                           kxpolicy_config_dump_fn config_dump, kxpolicy_config_terminate_fn config_terminate);
// Destroys the registry and its records.
void kxpolicy_module_terminate();

// Every config_initialize in registration order (each announced in the debug
// log); all run even after a failure. 1 when any failed, else 0.
int kxpolicy_module_config_initialize(int onStartup, configuration *config, void *policy, void *db);
// Every config_terminate, last registered first.
void kxpolicy_module_config_terminate(int onShutdown, void *policy);
// Writes every module's dump to "../var/run/<program_name>.<base name of
// filename>[.failed]" and the debug log (unless "module_config_dump" is
// false). 1 when some module gave no text, else 0.
int kxpolicy_module_config_dump(const char *filename, configuration *config, void *policy, int failed);

// New zero-filled policy record stamped with the next load number; null on
// allocation failure (reported).
TallowmerePolicy *kxpolicy_init();
// Terminates the modules (onShutdown), then frees policy; null-safe.
void kxpolicy_free(TallowmerePolicy *policy, int onShutdown);

// Clears a stamp / copies one; null arguments are ignored.
void kxpolicy_loadid_zero(kxpolicy_loadid *stamp);
void kxpolicy_loadid_copy(kxpolicy_loadid *to, const kxpolicy_loadid *from);
// 1 when the two load numbers differ, else 0. Requires both non-null.
int kxpolicy_loadid_cmp(const kxpolicy_loadid *a, const kxpolicy_loadid *b);

// The load cycle: reads filename, re-initialises every module from it,
// writes the dump. The new policy record, or null on failure.
TallowmerePolicy *kxpolicy_load(const char *filename, void *db, int onStartup);
