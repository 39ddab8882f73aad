// CPU placement of a thread: an affinity set, a scheduling policy and a
// priority, as read from configuration (config_parse_cpuinfo) and applied
// to a thread.
#pragma once

#include <pthread.h>
#include <sched.h>

// Scheduler numbers of the configuration words.
#define KXCPUINFO_SCHED_OTHER 0
#define KXCPUINFO_SCHED_FIFO 1
#define KXCPUINFO_SCHED_RR 2
#define KXCPUINFO_SCHED_BATCH 3
// CPUs an affinity set can name (0 to 1023).
#define KXCPUINFO_MAX_CPUS 1024

struct kxcpuinfo {
  int affinity_all;       // the whole set was asked for ("ALL")
  cpu_set_t affinity_set; // the CPUs of the affinity
  int priority_set;
  int priority;
  int scheduler_set;
  int scheduler;          // KXCPUINFO_SCHED_*
};
static_assert(CPU_SETSIZE >= KXCPUINFO_MAX_CPUS);

// Describes "nothing asked": every CPU, no policy, no priority.
void kxcpuinfo_init(kxcpuinfo *info);

// Applies info to thread: the affinity (when its set is not empty), then
// the policy and priority (when either is set; a priority alone keeps the
// thread's policy). The affinity before and after is logged at level 3 as
// "kxcpuinfo: current affinity prior to set %lld\n" and "kxcpuinfo: current
// affinity after to set %lld\n" (the first 64 CPUs as bits). 0, or -1 when
// the system refuses a step (the steps before it stay applied) or info is
// null.
int kxcpuinfo_set(pthread_t thread, const kxcpuinfo *info);
