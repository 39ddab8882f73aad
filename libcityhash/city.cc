#include "libcityhash/city.h"

#include <cstring>

namespace {

const uint64 k0 = 0xc3a5c85c97cb3127ULL;
const uint64 k1 = 0xb492b66fbe98f273ULL;
const uint64 k2 = 0x9ae16a3b2f90404fULL;
const uint64 k3 = 0xc949d7c7509e6557ULL;

// Little-endian loads at any alignment (the hosts are little-endian; the
// byte assembly keeps the values right elsewhere too).
inline uint64 Fetch64(const char *p) {
  const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
  uint64 v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

inline uint32 Fetch32(const char *p) {
  const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
  return static_cast<uint32>(b[0]) | (static_cast<uint32>(b[1]) << 8) |
         (static_cast<uint32>(b[2]) << 16) | (static_cast<uint32>(b[3]) << 24);
}

// Right rotation; a shift of 0 leaves the value (a plain shift by 64 would be
// undefined).
inline uint64 Rotate(uint64 val, int shift) {
  return shift == 0 ? val : ((val >> shift) | (val << (64 - shift)));
}

// Callers guarantee 1 <= shift <= 63.
inline uint64 RotateByAtLeast1(uint64 val, int shift) {
  return (val >> shift) | (val << (64 - shift));
}

inline uint64 ShiftMix(uint64 val) { return val ^ (val >> 47); }

inline uint64 HashLen16(uint64 u, uint64 v) { return Hash128to64(uint128(u, v)); }

uint64 HashLen0to16(const char *s, size_t len) {
  if (len > 8) {
    uint64 a = Fetch64(s);
    uint64 b = Fetch64(s + len - 8);
    return HashLen16(a, RotateByAtLeast1(b + len, static_cast<int>(len))) ^ b;
  }
  if (len >= 4) {
    uint64 a = Fetch32(s);
    return HashLen16(len + (a << 3), Fetch32(s + len - 4));
  }
  if (len > 0) {
    uint8 a = static_cast<uint8>(s[0]);
    uint8 b = static_cast<uint8>(s[len >> 1]);
    uint8 c = static_cast<uint8>(s[len - 1]);
    uint32 y = static_cast<uint32>(a) + (static_cast<uint32>(b) << 8);
    uint32 z = static_cast<uint32>(len) + (static_cast<uint32>(c) << 2);
    return ShiftMix(y * k2 ^ z * k3) * k2;
  }
  return k2;
}

uint64 HashLen17to32(const char *s, size_t len) {
  uint64 a = Fetch64(s) * k1;
  uint64 b = Fetch64(s + 8);
  uint64 c = Fetch64(s + len - 8) * k2;
  uint64 d = Fetch64(s + len - 16) * k0;
  return HashLen16(Rotate(a - b, 43) + Rotate(c, 30) + d, a + Rotate(b ^ k3, 20) - c + len);
}

// Thirty-two bytes w, x, y, z mixed with two seeds a and b.
std::pair<uint64, uint64> WeakHashLen32WithSeeds(uint64 w, uint64 x, uint64 y, uint64 z, uint64 a,
                                                 uint64 b) {
  a += w;
  b = Rotate(b + a + z, 21);
  uint64 c = a;
  a += x;
  a += y;
  b += Rotate(a, 44);
  return std::make_pair(a + z, b + c);
}

std::pair<uint64, uint64> WeakHashLen32WithSeeds(const char *s, uint64 a, uint64 b) {
  return WeakHashLen32WithSeeds(Fetch64(s), Fetch64(s + 8), Fetch64(s + 16), Fetch64(s + 24), a, b);
}

uint64 HashLen33to64(const char *s, size_t len) {
  uint64 z = Fetch64(s + 24);
  uint64 a = Fetch64(s) + (len + Fetch64(s + len - 16)) * k0;
  uint64 b = Rotate(a + z, 52);
  uint64 c = Rotate(a, 37);
  a += Fetch64(s + 8);
  c += Rotate(a, 7);
  a += Fetch64(s + 16);
  uint64 vf = a + z;
  uint64 vs = b + Rotate(a, 31) + c;
  a = Fetch64(s + 16) + Fetch64(s + len - 32);
  z = Fetch64(s + len - 8);
  b = Rotate(a + z, 52);
  c = Rotate(a, 37);
  a += Fetch64(s + len - 24);
  c += Rotate(a, 7);
  a += Fetch64(s + len - 16);
  uint64 wf = a + z;
  uint64 ws = b + Rotate(a, 31) + c;
  uint64 r = ShiftMix((vf + ws) * k2 + (wf + vs) * k0);
  return ShiftMix(r * k0 + vs) * k2;
}

// One 64-byte chunk of the long-input loop of the 1.0 series (CityHash64 and
// CityHash128 share it).
inline void ChunkStep(const char *s, uint64 &x, uint64 &y, uint64 &z, std::pair<uint64, uint64> &v,
                      std::pair<uint64, uint64> &w) {
  x = Rotate(x + y + v.first + Fetch64(s + 16), 37) * k1;
  y = Rotate(y + v.second + Fetch64(s + 48), 42) * k1;
  x ^= w.second;
  y ^= v.first;
  z = Rotate(z ^ w.first, 33);
  v = WeakHashLen32WithSeeds(s, v.second * k1, x + w.first);
  w = WeakHashLen32WithSeeds(s + 32, z + w.second, y);
  std::swap(z, x);
}

// Murmur-style 128-bit hash used for inputs under 128 bytes.
uint128 CityMurmur(const char *s, size_t len, uint128 seed) {
  uint64 a = Uint128Low64(seed);
  uint64 b = Uint128High64(seed);
  uint64 c = 0;
  uint64 d = 0;
  long l = static_cast<long>(len) - 16;
  if (l <= 0) {
    a = ShiftMix(a * k1) * k1;
    c = b * k1 + HashLen0to16(s, len);
    d = ShiftMix(a + (len >= 8 ? Fetch64(s) : c));
  } else {
    c = HashLen16(Fetch64(s + len - 8) + k1, a);
    d = HashLen16(b + len, c + Fetch64(s + len - 16));
    a += d;
    do {
      a ^= ShiftMix(Fetch64(s) * k1) * k1;
      a *= k1;
      b ^= a;
      c ^= ShiftMix(Fetch64(s + 8) * k1) * k1;
      c *= k1;
      d ^= c;
      s += 16;
      l -= 16;
    } while (l > 0);
  }
  a = HashLen16(a, c);
  b = HashLen16(d, b);
  return uint128(a ^ b, HashLen16(b, a));
}

}  // namespace

uint64 CityHash64(const char *s, size_t len) {
  if (len <= 32) {
    if (len <= 16) return HashLen0to16(s, len);
    return HashLen17to32(s, len);
  }
  if (len <= 64) return HashLen33to64(s, len);

  // Longer inputs: hash the end first, then 64-byte chunks from the start
  // with 56 bytes of state v, w, x, y, z (the 1.0 series' seeding; the 1.1
  // series seeds and steps differently and gives other values).
  uint64 x = Fetch64(s);
  uint64 y = Fetch64(s + len - 16) ^ k1;
  uint64 z = Fetch64(s + len - 56) ^ k0;
  std::pair<uint64, uint64> v = WeakHashLen32WithSeeds(s + len - 64, len, y);
  std::pair<uint64, uint64> w = WeakHashLen32WithSeeds(s + len - 32, len * k1, k0);
  z += ShiftMix(v.second) * k1;
  x = Rotate(z + x, 39) * k1;
  y = Rotate(y, 33) * k1;

  len = (len - 1) & ~static_cast<size_t>(63);
  do {
    ChunkStep(s, x, y, z, v, w);
    s += 64;
    len -= 64;
  } while (len != 0);
  return HashLen16(HashLen16(v.first, w.first) + ShiftMix(y) * k1 + z,
                   HashLen16(v.second, w.second) + x);
}

uint64 CityHash64WithSeed(const char *s, size_t len, uint64 seed) {
  return CityHash64WithSeeds(s, len, k2, seed);
}

uint64 CityHash64WithSeeds(const char *s, size_t len, uint64 seed0, uint64 seed1) {
  return HashLen16(CityHash64(s, len) - seed0, seed1);
}

uint128 CityHash128WithSeed(const char *s, size_t len, uint128 seed) {
  if (len < 128) return CityMurmur(s, len, seed);

  std::pair<uint64, uint64> v, w;
  uint64 x = Uint128Low64(seed);
  uint64 y = Uint128High64(seed);
  uint64 z = len * k1;
  v.first = Rotate(y ^ k1, 49) * k1 + Fetch64(s);
  v.second = Rotate(v.first, 42) * k1 + Fetch64(s + 8);
  w.first = Rotate(y + z, 35) * k1 + x;
  w.second = Rotate(x + Fetch64(s + 88), 53) * k1;

  // The chunk step of CityHash64, two chunks per round.
  do {
    for (int half = 0; half < 2; ++half) {
      ChunkStep(s, x, y, z, v, w);
      s += 64;
    }
    len -= 128;
  } while (len >= 128);

  // Up to four 32-byte chunks from the end of what is left.
  y += Rotate(w.first, 37) * k0 + z;
  x += Rotate(v.first + z, 49) * k0;
  for (size_t tail_done = 0; tail_done < len;) {
    tail_done += 32;
    y = Rotate(y - x, 42) * k0 + v.second;
    w.first += Fetch64(s + len - tail_done + 16);
    x = Rotate(x, 49) * k0 + w.first;
    w.first += v.first;
    v = WeakHashLen32WithSeeds(s + len - tail_done, v.first, v.second);
  }
  x = HashLen16(x, v.first);
  y = HashLen16(y, w.first);
  return uint128(HashLen16(x + v.second, w.second) + y, HashLen16(x + w.second, y + v.second));
}

uint128 CityHash128(const char *s, size_t len) {
  if (len >= 16)
    return CityHash128WithSeed(s + 16, len - 16, uint128(Fetch64(s) ^ k3, Fetch64(s + 8)));
  if (len >= 8)
    return CityHash128WithSeed(nullptr, 0,
                               uint128(Fetch64(s) ^ (len * k0), Fetch64(s + len - 8) ^ k1));
  return CityHash128WithSeed(s, len, uint128(k0, k1));
}
