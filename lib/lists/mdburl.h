// Pool numbers of strings and the URL record (a URL with its SHA-1 digest
// and pool number).
//
// The pool number sorts a filter value into one of numPools chunks; table
// file names carry it, so its value must stay bit-exact.
#pragma once

#include <cstdint>

#include "lib/record/category.h"

// A URL with its list attributes, as handed to mdburl_init_url.
typedef struct _url {
  int flags;
  int ttl;
  cat_t *cats;
  char **queries;   // matched queries
  int data_length;
  char *url;        // the URL text
} URL;

typedef struct _mdburl {
  int poolId;           // -1 until computed
  unsigned char sha1[20];
  char sha1Escape[41];  // room for the digest in hex; never filled
  char *url;            // owned copy of the URL text
  char *urlEscape;      // owned buffer of 2 x length + 1 bytes; never filled
} MDBURL;

// Pool number of length bytes of item: lookup3 hashlittle with the seed
// 5381, folded (h ^= (h >> 10) ^ (h >> 20)) and masked with numPools - 1.
// Meant for a power-of-two numPools; any other positive count still gives
// h & (numPools - 1). A count of 0 or less gives 0.
unsigned int mdburl_poolid(const char *item, int length, int numPools);

// 1 when numPools is a power of two (1, 2, 4, ...), else 0.
int mdburl_numpool_ispower2(int numPools);

// A new record with poolId -1, a zero digest and no strings; null when
// memory runs out. Free with mdburl_free.
MDBURL *mdburl_init();

// A new record for url->url: its copy, SHA-1 digest, pool number among
// numpools pools and escape buffer. Null (nothing kept) for a null url or
// text, or on any failure.
MDBURL *mdburl_init_url(URL *url, int numpools);

// Frees both strings and the record; null-safe.
void mdburl_free(MDBURL *m);
