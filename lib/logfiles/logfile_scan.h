// Byte scans of the record decoders, sixteen or sixty-four bytes at a step.
//
// The scans may read up to 63 bytes past end: every buffer the decoders get
// (the reader's read buffer and the walk buffer of a positioned probe) has
// a slack of at least LOGFILE_SCAN_SLACK bytes after its valid bytes. What
// lies past end is never taken as found.
#pragma once

#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define LOGFILE_SCAN_SLACK 64

// On a machine that has them (most x86-64 servers of the last decade), the
// record decoders run a copy built for AVX2 and BMI: the same scans with
// three-operand vector forms and single instructions for the bit steps. The
// copy is chosen once, when the program is loaded.
#if defined(__x86_64__) && defined(__GNUC__)
#define LOGFILE_DECODER __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define LOGFILE_DECODER
#endif

// The first NUL in [p, end), or null.
inline unsigned char *logfile_find_nul(unsigned char *p, unsigned char *end) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; p < end; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
    if (m) {
      unsigned char *z = p + __builtin_ctz(m);
      return z < end ? z : nullptr;
    }
  }
  return nullptr;
#else
  return static_cast<unsigned char *>(memchr(p, 0, static_cast<size_t>(end - p)));
#endif
}

#if defined(__SSE2__)
// Bit i set when p[i] is NUL, for the 64 bytes from p (all valid bytes).
inline uint64_t logfile_nul_mask64(const unsigned char *p) {
  const __m128i zero = _mm_setzero_si128();
  uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
    m |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (16 * k);
  }
  return m;
}
#endif

// The separators of a text record's tokens (blank, newline, NUL), walked in
// order from a start: the bytes are examined sixty-four at a time and each
// separator then costs one bit, so a line is read once whatever its tokens.
// The bytes already passed may be changed (a token's separator overwritten
// with NUL); the bytes after the last one handed out may not.
class LogfileSeparators {
 public:
  LogfileSeparators(unsigned char *p, unsigned char *end) : base_(p), end_(end), bits_(mask(p)) {}

  // The next separator, or end when there is none before end.
  unsigned char *next() {
    while (!bits_) {
      base_ += 64;
      if (base_ >= end_) return end_;
      bits_ = mask(base_);
    }
    unsigned char *z = base_ + __builtin_ctzll(bits_);
    bits_ &= bits_ - 1;
    return z < end_ ? z : end_;
  }

 private:
  // Bit i set when p[i] is a separator, for the 64 bytes from p.
  static uint64_t mask(const unsigned char *p) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), blank = _mm_set1_epi8(' '), nl = _mm_set1_epi8('\n');
    uint64_t m = 0;
    for (int k = 0; k < 4; ++k) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
      __m128i hit =
          _mm_or_si128(_mm_cmpeq_epi8(v, zero), _mm_or_si128(_mm_cmpeq_epi8(v, blank), _mm_cmpeq_epi8(v, nl)));
      m |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit))) << (16 * k);
    }
    return m;
#else
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) m |= static_cast<uint64_t>(p[i] == ' ' || p[i] == '\n' || p[i] == 0) << i;
    return m;
#endif
  }

  unsigned char *base_;  // first byte of the block the bits cover
  unsigned char *end_;
  uint64_t bits_;        // the block's separators not yet handed out
};

// The NULs ending the texts of a binary record, found from positions that
// only move forward: the bytes are examined sixty-four at a time, so texts
// close together cost one scan between them.
class LogfileNuls {
 public:
  explicit LogfileNuls(unsigned char *end) : end_(end) {}

  // The first NUL at or after p (p not before the previous p), or null when
  // there is none before end.
  unsigned char *find(unsigned char *p) {
    if (!base_ || p - base_ >= 64) {
      base_ = p;
      bits_ = mask(p);
    } else {
      bits_ &= ~uint64_t{0} << (p - base_);
    }
    while (!bits_) {
      base_ += 64;
      if (base_ >= end_) return nullptr;
      bits_ = mask(base_);
    }
    unsigned char *z = base_ + __builtin_ctzll(bits_);
    return z < end_ ? z : nullptr;
  }

 private:
  static uint64_t mask(const unsigned char *p) {
#if defined(__SSE2__)
    return logfile_nul_mask64(p);
#else
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) m |= static_cast<uint64_t>(p[i] == 0) << i;
    return m;
#endif
  }

  unsigned char *base_ = nullptr;  // first byte of the block the bits cover
  unsigned char *end_;
  uint64_t bits_ = 0;              // the block's NULs
};
