#include "lib/base/lookup3.h"

namespace {

inline uint32_t rot(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
  a -= c; a ^= rot(c, 4);  c += b;
  b -= a; b ^= rot(a, 6);  a += c;
  c -= b; c ^= rot(b, 8);  b += a;
  a -= c; a ^= rot(c, 16); c += b;
  b -= a; b ^= rot(a, 19); a += c;
  c -= b; c ^= rot(b, 4);  b += a;
}

inline void final_mix(uint32_t &a, uint32_t &b, uint32_t &c) {
  c ^= b; c -= rot(b, 14);
  a ^= c; a -= rot(c, 11);
  b ^= a; b -= rot(a, 25);
  c ^= b; c -= rot(b, 16);
  a ^= c; a -= rot(c, 4);
  b ^= a; b -= rot(a, 14);
  c ^= b; c -= rot(b, 24);
}

// Little-endian word of up to 4 bytes (missing high bytes zero).
inline uint32_t le_word(const uint8_t *k, size_t n) {
  uint32_t v = 0;
  for (size_t i = n; i > 0; --i) v = (v << 8) | k[i - 1];
  return v;
}

// Big-endian word of up to 4 bytes, the missing low bytes zero.
inline uint32_t be_word(const uint8_t *k, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | (i < n ? k[i] : 0u);
  return v;
}

// Adds the last 1 to 12 bytes to a, b, c with the given word reader.
template <uint32_t (*Word)(const uint8_t *, size_t)>
inline void add_tail(const uint8_t *k, size_t length, uint32_t &a, uint32_t &b, uint32_t &c) {
  a += Word(k, length < 4 ? length : 4);
  if (length > 4) b += Word(k + 4, length < 8 ? length - 4 : 4);
  if (length > 8) c += Word(k + 8, length - 8);
}

// The shared body of hashlittle and hashbig; returns false when no byte was
// left for the final mix (the value is then c unmixed).
template <uint32_t (*Word)(const uint8_t *, size_t)>
inline bool hash_bytes(const uint8_t *k, size_t length, uint32_t &a, uint32_t &b, uint32_t &c) {
  while (length > 12) {
    a += Word(k, 4);
    b += Word(k + 4, 4);
    c += Word(k + 8, 4);
    mix(a, b, c);
    length -= 12;
    k += 12;
  }
  if (length == 0) return false;
  add_tail<Word>(k, length, a, b, c);
  final_mix(a, b, c);
  return true;
}

}  // namespace

uint32_t hashlittle(const void *key, size_t length, uint32_t initval) {
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + static_cast<uint32_t>(length) + initval;
  hash_bytes<le_word>(static_cast<const uint8_t *>(key), length, a, b, c);
  return c;
}

void hashlittle2(const void *key, size_t length, uint32_t *pc, uint32_t *pb) {
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + static_cast<uint32_t>(length) + *pc;
  c += *pb;
  hash_bytes<le_word>(static_cast<const uint8_t *>(key), length, a, b, c);
  *pc = c;
  *pb = b;
}

uint32_t hashbig(const void *key, size_t length, uint32_t initval) {
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + static_cast<uint32_t>(length) + initval;
  hash_bytes<be_word>(static_cast<const uint8_t *>(key), length, a, b, c);
  return c;
}

namespace {

void hash_words(const uint32_t *k, size_t length, uint32_t &a, uint32_t &b, uint32_t &c) {
  while (length > 3) {
    a += k[0];
    b += k[1];
    c += k[2];
    mix(a, b, c);
    length -= 3;
    k += 3;
  }
  switch (length) {
    case 3: c += k[2]; [[fallthrough]];
    case 2: b += k[1]; [[fallthrough]];
    case 1:
      a += k[0];
      final_mix(a, b, c);
      break;
    default: break;
  }
}

}  // namespace

uint32_t hashword(const uint32_t *k, size_t length, uint32_t initval) {
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + (static_cast<uint32_t>(length) << 2) + initval;
  hash_words(k, length, a, b, c);
  return c;
}

void hashword2(const uint32_t *k, size_t length, uint32_t *pc, uint32_t *pb) {
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + (static_cast<uint32_t>(length << 2)) + *pc;
  c += *pb;
  hash_words(k, length, a, b, c);
  *pc = c;
  *pb = b;
}
