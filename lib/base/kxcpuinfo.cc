#include "lib/base/kxcpuinfo.h"

#include <cstring>

#include "lib/base/kxlog.h"

namespace {

long long low_cpus(const cpu_set_t *set) {
  unsigned long long bits = 0;
  for (int i = 0; i < 64; ++i)
    if (CPU_ISSET(i, set)) bits |= 1ULL << i;
  return static_cast<long long>(bits);
}

int policy_of(int scheduler) {
  switch (scheduler) {
    case KXCPUINFO_SCHED_FIFO: return SCHED_FIFO;
    case KXCPUINFO_SCHED_RR: return SCHED_RR;
    case KXCPUINFO_SCHED_BATCH: return SCHED_BATCH;
    default: return SCHED_OTHER;
  }
}

}  // namespace

void kxcpuinfo_init(kxcpuinfo *info) {
  if (info == nullptr) return;
  memset(info, 0, sizeof *info);
  info->affinity_all = 1;
  CPU_ZERO(&info->affinity_set);
  for (int i = 0; i < KXCPUINFO_MAX_CPUS; ++i) CPU_SET(i, &info->affinity_set);
  info->scheduler = KXCPUINFO_SCHED_OTHER;
}

int kxcpuinfo_set(pthread_t thread, const kxcpuinfo *info) {
  if (info == nullptr) return -1;
  if (CPU_COUNT(&info->affinity_set) > 0) {
    cpu_set_t now;
    CPU_ZERO(&now);
    if (pthread_getaffinity_np(thread, sizeof now, &now) == 0)
      kxlog_send(KXLOG_DEBUG, "kxcpuinfo: current affinity prior to set %lld\n", low_cpus(&now));
    if (pthread_setaffinity_np(thread, sizeof info->affinity_set, &info->affinity_set) != 0) return -1;
    CPU_ZERO(&now);
    if (pthread_getaffinity_np(thread, sizeof now, &now) == 0)
      kxlog_send(KXLOG_DEBUG, "kxcpuinfo: current affinity after to set %lld\n", low_cpus(&now));
  }
  if (info->scheduler_set || info->priority_set) {
    int policy = SCHED_OTHER;
    struct sched_param param {};
    if (pthread_getschedparam(thread, &policy, &param) != 0) return -1;
    if (info->scheduler_set) {
      policy = policy_of(info->scheduler);
      param.sched_priority = 0;
    }
    if (info->priority_set) param.sched_priority = info->priority;
    if (pthread_setschedparam(thread, policy, &param) != 0) return -1;
  }
  return 0;
}
