// The lookup3 hash functions (public-domain hash of May 2006), little-endian
// reading for hashlittle/hashlittle2, big-endian for hashbig.
//
// Pure functions: the key may have any alignment and gives the same value at
// every alignment. key may be null only when length is 0.
#pragma once

#include <cstddef>
#include <cstdint>

// Hash of length bytes of key with the seed initval.
uint32_t hashlittle(const void *key, size_t length, uint32_t initval);

// Two 32-bit hashes in one pass. *pc and *pb are the seeds on entry
// (*pc the primary) and receive the results (*pc the value hashlittle gives
// with initval *pc when *pb is 0). Both pointers must be valid.
void hashlittle2(const void *key, size_t length, uint32_t *pc, uint32_t *pb);

// Hash of length 32-bit words of k.
uint32_t hashword(const uint32_t *k, size_t length, uint32_t initval);

// Two hashes of length 32-bit words; seeds and results as hashlittle2.
void hashword2(const uint32_t *k, size_t length, uint32_t *pc, uint32_t *pb);

// As hashlittle, but reading the key as big-endian words.
uint32_t hashbig(const void *key, size_t length, uint32_t initval);
