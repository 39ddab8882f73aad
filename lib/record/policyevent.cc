#include "lib/record/policyevent.h"

#include <strings.h>

const char *const policyevent_names[PREQ_NUM + 1] = {
    "policy", "bandwidth", "interim", "virus", "auth", "decrypt", "connect", "unknown", "keyword", nullptr};

int policyevent_aton(const char *name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < PREQ_NUM; ++i)
    if (strncasecmp(name, policyevent_names[i], 4) == 0) return i;
  return -1;
}

const char *policyevent_ntoa(int type) {
  if (type < 0 || type > PREQ_MAX_NUMBER) return "???";
  return policyevent_names[type];
}
