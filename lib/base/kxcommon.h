// Truth values of the directory tests, the database layer's set-up calls and
// the report engine: -1 means yes (success), 0 means no (failure).
#pragma once

#define KXTRUE (-1)
#define KXFALSE 0
#define KXSUCCESS (-1)
#define KXFAIL 0
