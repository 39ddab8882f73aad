// SNMP agent glue: a Net-SNMP master agent inside the process on a thread
// of its own, the library's log messages routed into the logging module,
// and read-only integer objects whose values the caller keeps.
//
// The Net-SNMP library is not thread-safe.  Every call into it, from any
// thread, is made while holding the agent lock (snmp_lib_lock or
// snmp_lib_guard); the functions of this module take it themselves.  The
// agent thread holds it only while it handles requests, so request
// handlers (which run in the agent thread) already hold it; the lock is
// recursive, so a handler may call these functions too.
//
// The agent reads its own configuration files (NAME.conf for the agent name,
// found through SNMPCONFPATH) and keeps persistent data in
// SNMP_PERSISTENT_DIR; "agentaddress" there sets the listening address.
#pragma once

#include <cstddef>

struct configuration;

// Module callbacks.  Initialise (onStartup non-zero only) reads
// "snmp_thread_stacksize" (else "thread_stacksize", else 2097152) and
// "snmp_agent" (else "program_name" followed by "-snmp") and starts the
// agent: 0 ok (also when the port cannot be bound and SNMP is disabled), 1
// on failure.  Terminate (onShutdown non-zero only) stops it.  Dump gives a
// new heap text (caller frees).
int snmp_lib_config_initialize(int onStartup, configuration *config, void *policy, void *db);
char *snmp_lib_config_dump(configuration *config, void *policy);
void snmp_lib_config_terminate(int onShutdown, void *policy);

// Starts the master agent under the name agent (copied) and its thread.
// 0 ok or SNMP disabled (port not bound), 1 on failure or when already
// started.
int snmp_lib_init(const char *agent);

// Stops the agent thread and shuts the library down; does only what the
// start did (nothing before a start).  Returns 0.
int snmp_lib_terminate();

// True while the agent thread runs (started and port bound).
bool snmp_lib_running();

// Registers *var as a read-only integer instance named name at the object
// identifier given by the further int arguments, ended by 0 (at most 256
// sub-identifiers).  The agent reads *var at every request; var must live
// until the agent stops.  0 ok; otherwise the library's error (logged).
int snmp_lib_add_int(const char *name, int *var, ...);

// The same for a Counter32 value.
int snmp_lib_add_counter32(const char *name, unsigned long *var, ...);

// Forwarding of the library's non-emergency messages and of registration
// confirmations to the debug log (on at start).
void snmp_lib_set_debug(int enabled);
int snmp_lib_get_debug();

// The agent lock (recursive) for callers that use the Net-SNMP API
// directly, e.g. to register handlers or tables.
void snmp_lib_lock();
void snmp_lib_unlock();

class snmp_lib_guard {
 public:
  snmp_lib_guard() { snmp_lib_lock(); }
  ~snmp_lib_guard() { snmp_lib_unlock(); }
  snmp_lib_guard(const snmp_lib_guard &) = delete;
  snmp_lib_guard &operator=(const snmp_lib_guard &) = delete;
};

// The stack size of the agent thread (default 2097152), set by initialise.
extern size_t snmp_lib_thread_stacksize;
