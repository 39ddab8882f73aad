// Byte scans of the record decoders, sixteen bytes at a step.
//
// Both scans may read up to 15 bytes past end: every buffer the decoders
// get (the reader's read buffer and the walk buffer of a positioned probe)
// has a zeroed slack of at least that much after its valid bytes. What lies
// past end is never taken as found.
#pragma once

#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
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

// The first blank, newline or NUL in [p, end), or end.
inline unsigned char *logfile_find_token_end(unsigned char *p, unsigned char *end) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), blank = _mm_set1_epi8(' '), nl = _mm_set1_epi8('\n');
  for (; p < end; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, zero), _mm_or_si128(_mm_cmpeq_epi8(v, blank), _mm_cmpeq_epi8(v, nl)));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (m) {
      unsigned char *z = p + __builtin_ctz(m);
      return z < end ? z : end;
    }
  }
  return end;
#else
  while (p < end && *p != ' ' && *p != '\n' && *p != 0) ++p;
  return p;
#endif
}
