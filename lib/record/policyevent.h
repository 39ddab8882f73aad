// Names of the policy event types.
#pragma once

#define PREQ_POLICY 0
#define PREQ_BANDWIDTH 1
#define PREQ_BANDWIDTH_INT 2
#define PREQ_VIRUS 3
#define PREQ_AUTH 4
#define PREQ_DECRYPT 5
#define PREQ_CONNECT 6
#define PREQ_UNKNOWN_PROTO 7
#define PREQ_KEYWORD 8
#define PREQ_NUM 9
#define PREQ_MAX_NUMBER 8

// "policy", "bandwidth", "interim", "virus", "auth", "decrypt", "connect",
// "unknown", "keyword", then a null entry.
extern const char *const policyevent_names[PREQ_NUM + 1];

// The event type whose name's first four letters match the first four of
// name, case-insensitively (0 to 8); -1 for anything else or a null name.
int policyevent_aton(const char *name);

// The static name of types 0 to 8; "???" for any other value.
const char *policyevent_ntoa(int type);
