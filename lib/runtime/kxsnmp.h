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
#include <cstdint>

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

// The same for a 64-bit counter, answered as a Counter64 (its two 32-bit
// halves) by snmp_lib_u64_handler, which reads *var at every request.
int snmp_lib_add_counter64(const char *name, uint64_t *var, ...);

// Kept for callers of the library interface; objects stay registered until
// the agent stops, so this does nothing and returns 0.
int snmp_lib_del_int(const char *name, ...);

// --- Rate and average statistics -------------------------------------------
//
// An entry is updated by a cron task of the time service that runs once a
// minute (RATE_CRON_INTERVAL) and updates every entry whose interval divides
// the current time in seconds. Each keeps the last RATE_HISTORY_SIZE values
// in a ring with their sum, average, minimum and maximum; the fields are
// ints so that they can be published with snmp_lib_add_int. They are
// written only by the cron task; readers see plain int values. The entries
// are dropped (and the task removed) by snmp_lib_terminate; the stats
// records themselves stay the caller's.
#define RATE_CRON_INTERVAL 60
#define RATE_HISTORY_SIZE 10
// Entries the table grows by.
#define RATE_TABLE_STEP 120

struct snmp_rate_stats {
  int values[RATE_HISTORY_SIZE];  // the ring, oldest overwritten first
  int num;                        // values held
  int pos;                        // next slot
  long long sum;                  // of the values held
  int average, min, max;          // over the values held (0 while none)
  int last;                       // the latest value
};
// The same record for averages.
typedef snmp_rate_stats snmp_average_stats;

// Every `seconds` (a multiple of 60 to be reached): the increase of *counter
// since the last update (from the value at this call on). 0, or 1 for bad
// arguments, no memory or when the cron task cannot be added ("Failed to add
// rate calculation cron task\n" at level 4).
int snmp_add_rate_calc(int seconds, const unsigned long *counter, snmp_rate_stats *stats);

// Every `seconds`: the increase of *sum divided by the increase of *count
// (0 when count did not grow). Results as snmp_add_rate_calc.
int snmp_add_avg_calc(int seconds, const unsigned long *sum, const unsigned long *count, snmp_average_stats *stats);

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
