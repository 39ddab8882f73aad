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
#include <vector>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include "lib/runtime/config.h"
#include "lib/base/kxlog.h"
#include "lib/base/rwlock.h"
#include "lib/runtime/kxtime.h"

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

int snmp_lib_u64_handler(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                         netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  if (reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  const auto *var = static_cast<const uint64_t *>(reginfo->my_reg_void);
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
    uint64_t v = var != nullptr ? *var : 0;
    struct counter64 c;
    c.high = static_cast<u_long>(v >> 32);
    c.low = static_cast<u_long>(v & 0xffffffffu);
    if (snmp_set_var_typed_value(r->requestvb, ASN_COUNTER64, &c, sizeof c) != 0) {
      kxlog_send(KXLOG_ERROR, "SNMP: snmp_lib_u64_handler fail set value\n");
      netsnmp_set_request_error(reqinfo, r, SNMP_ERR_GENERR);
    }
  }
  return SNMP_ERR_NOERROR;
}

int register_counter64(const char *name, const oid *id, size_t n, uint64_t *var, void *) {
  netsnmp_handler_registration *reg =
      netsnmp_create_handler_registration(name, snmp_lib_u64_handler, id, n, HANDLER_CAN_RONLY);
  if (reg == nullptr) return MIB_REGISTRATION_FAILED;
  reg->my_reg_void = var;
  // On failure the library frees the registration itself.
  return netsnmp_register_instance(reg);
}

// --- Rate and average statistics ---------------------------------------------

struct rate_calc_args {
  int interval;
  const unsigned long *counter;  // rate: the counter; average: the sum
  const unsigned long *count;    // average only; null for a rate
  snmp_rate_stats *stats;
  unsigned long last_counter;
  unsigned long last_count;
  // The boundary the next update is due at; a pass that runs late still
  // takes it (0: the first boundary from the first pass on).
  time_t next_due = 0;
};

// The table; std::vector stands for the array grown by RATE_TABLE_STEP.
std::mutex rate_mutex;  // guards rate_table
std::vector<rate_calc_args> rate_table;
// Serialises the adding and the removal of the cron task. Never held while
// rate_mutex is wanted by the task: the task runs under the cron list lock,
// which add_cron_task and del_cron_task take.
std::mutex rate_task_mutex;
CronTaskPtr rate_task = nullptr;

int clamp_int(long long v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

void stats_push(snmp_rate_stats *s, int v) {
  bool full = s->num == RATE_HISTORY_SIZE;
  int old = full ? s->values[s->pos] : 0;
  if (full) s->sum -= old;
  s->values[s->pos] = v;
  s->pos = (s->pos + 1) % RATE_HISTORY_SIZE;
  if (!full) ++s->num;
  s->sum += v;
  s->last = v;
  if (s->num == 1) {
    s->min = s->max = v;
  } else {
    if (v < s->min) s->min = v;
    if (v > s->max) s->max = v;
    // The value that held the minimum or maximum is gone: search again.
    if (full && ((old == s->min && v > old) || (old == s->max && v < old))) {
      s->min = s->max = s->values[0];
      for (int i = 1; i < s->num; ++i) {
        if (s->values[i] < s->min) s->min = s->values[i];
        if (s->values[i] > s->max) s->max = s->values[i];
      }
    }
  }
  s->average = clamp_int(s->sum / s->num);
}

void rate_cron(void *) {
  const time_t now = current_time.load();
  std::lock_guard<std::mutex> g(rate_mutex);
  for (rate_calc_args &a : rate_table) {
    if (a.next_due == 0) a.next_due = now + (a.interval - now % a.interval) % a.interval;
    if (now < a.next_due) continue;
    a.next_due = now - now % a.interval + a.interval;
    unsigned long c = *a.counter;
    unsigned long grown = c - a.last_counter;
    a.last_counter = c;
    long long value = static_cast<long long>(grown);
    if (a.count != nullptr) {
      unsigned long n = *a.count;
      unsigned long more = n - a.last_count;
      a.last_count = n;
      value = more != 0 ? static_cast<long long>(grown / more) : 0;
    }
    stats_push(a.stats, clamp_int(value));
  }
}

int add_rate_entry(int seconds, const unsigned long *counter, const unsigned long *count, snmp_rate_stats *stats) {
  if (seconds <= 0 || counter == nullptr || stats == nullptr) return 1;
  std::lock_guard<std::mutex> create(rate_task_mutex);
  {
    std::lock_guard<std::mutex> g(rate_mutex);
    try {
      if (rate_table.size() == rate_table.capacity()) rate_table.reserve(rate_table.size() + RATE_TABLE_STEP);
      memset(stats, 0, sizeof *stats);
      rate_table.push_back({seconds, counter, count, stats, *counter, count != nullptr ? *count : 0});
    } catch (const std::bad_alloc &) {
      return 1;
    }
  }
  if (rate_task == nullptr) {
    rate_task = add_cron_task(RATE_CRON_INTERVAL, rate_cron, nullptr);
    if (rate_task == nullptr) {
      kxlog_send(KXLOG_ERROR, "Failed to add rate calculation cron task\n");
      return 1;
    }
  }
  return 0;
}

// Frees the rate table and removes its task (the stop's last step).
void rate_terminate() {
  std::lock_guard<std::mutex> create(rate_task_mutex);
  if (rate_task != nullptr) del_cron_task(rate_task);
  rate_task = nullptr;
  std::lock_guard<std::mutex> g(rate_mutex);
  std::vector<rate_calc_args>().swap(rate_table);
}

}  // namespace

int snmp_add_rate_calc(int seconds, const unsigned long *counter, snmp_rate_stats *stats) {
  return add_rate_entry(seconds, counter, nullptr, stats);
}

int snmp_add_avg_calc(int seconds, const unsigned long *sum, const unsigned long *count, snmp_average_stats *stats) {
  if (count == nullptr) return 1;
  return add_rate_entry(seconds, sum, count, stats);
}

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
  if (!library_started) {
    g.unlock();
    rate_terminate();
    return 0;
  }
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
  g.unlock();
  rate_terminate();
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

int snmp_lib_add_counter64(const char *name, uint64_t *var, ...) {
  oid id[256];
  va_list ap;
  va_start(ap, var);
  size_t n = read_oid(ap, id, 256);
  va_end(ap);
  return register_read_only(name, var, id, n, register_counter64);
}

int snmp_lib_del_int(const char *, ...) { return 0; }

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
