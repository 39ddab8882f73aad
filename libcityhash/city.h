// CityHash64 and CityHash128 of the 1.0 series.
//
// The values are stored in list files and log file names, so every output
// must stay bit-exact with the 1.0 series (a later series gives other values).
// All functions are pure: no state, no allocation, callable from any thread.
// Input is read with unaligned little-endian loads; s may be null only when
// len is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

typedef uint8_t uint8;
typedef uint32_t uint32;
typedef uint64_t uint64;
// (low, high) halves of a 128-bit value.
typedef std::pair<uint64, uint64> uint128;

inline uint64 Uint128Low64(const uint128 &x) { return x.first; }
inline uint64 Uint128High64(const uint128 &x) { return x.second; }

// Folds 128 bits to 64 (the Murmur-inspired step every length path ends in).
inline uint64 Hash128to64(const uint128 &x) {
  const uint64 kMul = 0x9ddfea08eb382d69ULL;
  uint64 a = (Uint128Low64(x) ^ Uint128High64(x)) * kMul;
  a ^= (a >> 47);
  uint64 b = (Uint128High64(x) ^ a) * kMul;
  b ^= (b >> 47);
  b *= kMul;
  return b;
}

// The hash under which URL lists store their tokens.
uint64 CityHash64(const char *s, size_t len);

// CityHash64WithSeeds(s, len, k2, seed).
uint64 CityHash64WithSeed(const char *s, size_t len, uint64 seed);

// Hash128to64 of (CityHash64(s, len) - seed0, seed1).
uint64 CityHash64WithSeeds(const char *s, size_t len, uint64 seed0, uint64 seed1);

// 128-bit hashes; inputs under 128 bytes go through the Murmur-style path.
uint128 CityHash128(const char *s, size_t len);
uint128 CityHash128WithSeed(const char *s, size_t len, uint128 seed);
