#include "lib/runtime/kxsnmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include "lib/runtime/config.h"
#include "lib/base/kxlog.h"
#include "lib/base/rwlock.h"

// The MIB modules the agent initialises (no public header declares them).
extern "C" {
void init_system_mib(void);
void init_vacm_vars(void);
void init_vacm_conf(void);
void init_usmUser(void);
}

size_t snmp_lib_thread_stacksize = CONFIG_DEFAULT_PTHREAD_STACKSIZE;

namespace {

char *snmp_lib_agent = nullptr;  // the agent name, owned
std::atomic<int> snmp_lib_exit{0};
rwlock_t snmp_lib_thread_rwl = RWL_INITIALIZER;
std::atomic<int> debug_enabled{1};

// Guards every call into the library.
std::recursive_mutex snmp_lib_mutex;

// What the start has done, so that a stop undoes only that.
bool library_started = false;  // the agent and the library are initialised
std::atomic<bool> thread_running{false};

int snmp_lib_log_callback(int, int, void *serverarg, void *) {
  auto *m = static_cast<snmp_log_message *>(serverarg);
  if (!m || !m->msg) return 0;
  if (m->priority == LOG_EMERG)
    kxlog_send(KXLOG_ERROR, "SNMP: %s", m->msg);
  else if (debug_enabled.load())
    kxlog_send(KXLOG_DEBUG, "SNMP: %s", m->msg);
  return 0;
}

void *snmp_lib_main(void *arg) {
  // arg is the start lock: take the lifetime hold, then let the start go on.
  rwl_readlock(&snmp_lib_thread_rwl);
  rwl_readunlock(static_cast<rwlock_t *>(arg));
  kxlog_send(KXLOG_MESSAGE, "SNMP: Main Thread Active\n");
  while (!snmp_lib_exit.load()) {
    int numfds = 0;
    int fakeblock = 0;
    netsnmp_large_fd_set readfds;
    netsnmp_large_fd_set_init(&readfds, FD_SETSIZE);
    struct timeval timeout = {1, 0};
    {
      std::lock_guard<std::recursive_mutex> g(snmp_lib_mutex);
      snmp_select_info2(&numfds, &readfds, &timeout, &fakeblock);
    }
    // Wake at least once a second, whatever the library asks, so that a
    // stop is seen even when the wake-up datagram does not arrive.
    if (fakeblock || timeout.tv_sec >= 1 || timeout.tv_sec < 0) timeout = {1, 0};
    int count = netsnmp_large_fd_set_select(numfds, &readfds, nullptr, nullptr, &timeout);
    int err = errno;
    if (snmp_lib_exit.load()) {
      netsnmp_large_fd_set_cleanup(&readfds);
      break;
    }
    {
      std::lock_guard<std::recursive_mutex> g(snmp_lib_mutex);
      if (count > 0)
        snmp_read2(&readfds);
      else if (count == 0)
        snmp_timeout();
      run_alarms();
      netsnmp_check_outstanding_agent_requests();
    }
    netsnmp_large_fd_set_cleanup(&readfds);
    if (count < 0 && err != EINTR) usleep(100000);  // do not spin on a broken descriptor
  }
  rwl_readunlock(&snmp_lib_thread_rwl);
  return nullptr;
}

// The wake-up port: the number after the last ":" of the first listening
// address ("udp:127.0.0.1:16161" gives 16161), else the whole text; 161
// when there is none or it is not a positive number.
int wake_port() {
  const char *ports = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS);
  if (!ports || !*ports) return 161;
  std::string first(ports);
  size_t comma = first.find(',');
  if (comma != std::string::npos) first.resize(comma);
  size_t colon = first.rfind(':');
  std::string num = colon == std::string::npos ? first : first.substr(colon + 1);
  int port = atoi(num.c_str());
  return port > 0 && port < 65536 ? port : 161;
}

void send_wakeup(int port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) {
    kxlog_send(KXLOG_ERROR, "Could not create socket to shutdown SNMP service\n");
    return;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, "127.0.0.1", &to.sin_addr) != 1) {
    kxlog_send(KXLOG_ERROR, "Could convert 127.0.0.1 to numeric entry\n");
    close(s);
    return;
  }
  char nul = 0;
  if (sendto(s, &nul, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) != 1)
    kxlog_send(KXLOG_ERROR, "Failed to send UDP packet to shutdown SNMP service\n");
  close(s);
}

// Builds the object identifier from the int arguments ended by 0.
size_t read_oid(va_list ap, oid *out, size_t max) {
  size_t n = 0;
  for (;;) {
    int v = va_arg(ap, int);
    if (v == 0 || n == max) break;
    out[n++] = static_cast<oid>(v);
  }
  return n;
}

int report_registration(const char *name, int rc) {
  if (rc == MIB_REGISTERED_OK) {
    if (debug_enabled.load()) kxlog_send(KXLOG_DEBUG, "SNMP: Registered %s\n", name);
  } else if (rc == MIB_REGISTRATION_FAILED) {
    kxlog_send(KXLOG_ERROR, "SNMP: Failed to Register %s\n", name);
  } else {
    kxlog_send(KXLOG_ERROR, "SNMP: Duplicate Bind %s\n", name);
  }
  return rc;
}

// Registers a read-only instance of var under id with the library's
// registration function for its type; the MIB_ code (reported).
template <typename Var, typename Register>
int register_read_only(const char *name, Var *var, const oid *id, size_t n, Register reg) {
  std::lock_guard<std::recursive_mutex> g(snmp_lib_mutex);
  // Nothing can be registered before the agent is set up (or after its stop).
  int rc = library_started ? reg(name, id, n, var, nullptr) : MIB_REGISTRATION_FAILED;
  return report_registration(name, rc);
}

}  // namespace

void snmp_lib_lock() { snmp_lib_mutex.lock(); }
void snmp_lib_unlock() { snmp_lib_mutex.unlock(); }
bool snmp_lib_running() { return thread_running.load(); }
void snmp_lib_set_debug(int enabled) { debug_enabled.store(enabled); }
int snmp_lib_get_debug() { return debug_enabled.load(); }

int snmp_lib_init(const char *agent) {
  if (!agent) return 1;
  std::unique_lock<std::recursive_mutex> g(snmp_lib_mutex);
  if (library_started) return 1;

  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, snmp_lib_log_callback, nullptr);
  snmp_enable_calllog();
  snmp_disable_stderrlog();
  // Alarms run from the agent loop, never from a SIGALRM handler in some
  // other thread.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  if (netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_ROOT_ACCESS, 1) !=
      SNMPERR_SUCCESS)
    kxlog_send(KXLOG_ERROR, "SNMP: Failed to NETSNMP_DS_APPLICATION_ID, to NETSNMP_DS_AGENT_NO_ROOT_ACCESS\n");

  free(snmp_lib_agent);
  snmp_lib_agent = strdup(agent);
  if (!snmp_lib_agent) {
    kxlog_send(KXLOG_ERROR, "SNMP: Could not allocate snmp_agent\n");
    return 1;
  }
  if (init_agent(snmp_lib_agent) != 0) {
    kxlog_send(KXLOG_ERROR, "SNMP: Failed to Init Agent\n");
    free(snmp_lib_agent);
    snmp_lib_agent = nullptr;
    return 1;
  }
  init_system_mib();
  init_vacm_vars();
  init_vacm_conf();
  init_usmUser();
  init_snmp(snmp_lib_agent);
  library_started = true;
  if (init_master_agent() != 0) {
    kxlog_send(KXLOG_ERROR, "SNMP: Failed to bind to port, SNMP service disabled\n");
    return 0;
  }

  snmp_lib_exit.store(0);
  // The thread's start handshake (see snmp_lib_main).
  rwlock_t start;
  if (rwl_init(&start) != 0) {
    kxlog_send(KXLOG_ERROR, "SNMP: Service failed to create thread.\n");
    return 1;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, snmp_lib_thread_stacksize);
  pthread_t thread;
  rwl_readlock(&start);
  int rc = pthread_create(&thread, &attr, snmp_lib_main, &start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    rwl_readunlock(&start);
    rwl_destroy(&start);
    kxlog_send(KXLOG_ERROR, "SNMP: Service failed to create thread.\n");
    return 1;
  }
  thread_running.store(true);
  g.unlock();  // the thread needs the lock for its first pass
  rwl_writelock(&start);  // returns once the thread holds its lifetime lock
  rwl_writeunlock(&start);
  rwl_destroy(&start);
  kxlog_send(KXLOG_MESSAGE, "SNMP: Service Started for agent %s.\n", agent);
  return 0;
}

int snmp_lib_terminate() {
  std::unique_lock<std::recursive_mutex> g(snmp_lib_mutex);
  if (!library_started) return 0;
  kxlog_send(KXLOG_MESSAGE, "SNMP: service stopping...\n");
  snmp_lib_exit.store(1);
  if (thread_running.load()) {
    int port = wake_port();
    g.unlock();  // the agent thread finishes its pass under the lock
    send_wakeup(port);
    rwl_writelock(&snmp_lib_thread_rwl);  // until the agent thread has left its loop
    rwl_writeunlock(&snmp_lib_thread_rwl);
    thread_running.store(false);
    g.lock();
  }
  snmp_shutdown(snmp_lib_agent);
  shutdown_master_agent();
  shutdown_agent();
  free(snmp_lib_agent);
  snmp_lib_agent = nullptr;
  library_started = false;
  kxlog_send(KXLOG_MESSAGE, "SNMP: service stopped successfully.\n");
  snmp_lib_exit.store(0);
  return 0;
}

int snmp_lib_add_int(const char *name, int *var, ...) {
  oid id[256];
  va_list ap;
  va_start(ap, var);
  size_t n = read_oid(ap, id, 256);
  va_end(ap);
  return register_read_only(name, var, id, n, netsnmp_register_read_only_int_instance);
}

int snmp_lib_add_counter32(const char *name, unsigned long *var, ...) {
  oid id[256];
  va_list ap;
  va_start(ap, var);
  size_t n = read_oid(ap, id, 256);
  va_end(ap);
  return register_read_only(name, var, id, n, netsnmp_register_read_only_counter32_instance);
}

int snmp_lib_config_initialize(int onStartup, configuration *config, void *, void *) {
  if (!onStartup) return 0;
  size_t stack = CONFIG_DEFAULT_PTHREAD_STACKSIZE;
  if (config) config_parse_thread_stacksize(config, "snmp", &stack);
  snmp_lib_thread_stacksize = stack;
  char *agent = nullptr;
  if (!config || config_parse_string(config, "snmp_agent", &agent) != 0 || !agent) {
    char *program = nullptr;
    if (!config || config_parse_string(config, "program_name", &program) != 0 || !program) {
      kxlog_send(KXLOG_ERROR, "SNMP: Could not parse snmp_agent or program_name from configuration\n");
      return 1;
    }
    if (asprintf(&agent, "%s-snmp", program) < 0) {
      free(program);
      kxlog_send(KXLOG_ERROR, "SNMP: Could not allocate snmp_agent\n");
      return 1;
    }
    free(program);
  }
  int rc = snmp_lib_init(agent);
  free(agent);
  return rc;
}

char *snmp_lib_config_dump(configuration *, void *) {
  char *out = nullptr;
  std::lock_guard<std::recursive_mutex> g(snmp_lib_mutex);
  if (asprintf(&out,
               "snmp_thread_stacksize %zu\n# snmp_agent can be generated from program_name in format "
               "program_name-snmp\nsnmp_agent %s\n",
               snmp_lib_thread_stacksize, snmp_lib_agent ? snmp_lib_agent : "") < 0)
    return nullptr;
  return out;
}

void snmp_lib_config_terminate(int onShutdown, void *) {
  if (onShutdown) snmp_lib_terminate();
}
