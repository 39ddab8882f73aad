// Category sets and the category numbers the lists hand out.
//
// A category set keeps its numbers sorted ascending without duplicates in a
// heap array that grows by 10 entries. Sets are not locked; a set is owned by
// whoever created it and freed with cat_free.
#pragma once

#include <cstdint>

#define CATEGORY_HOSTISIP 244
#define CATEGORY_MALFORMED_URL 247

#define CAT_INITIAL_SIZE 10
#define CAT_GROW_SIZE 10

typedef struct _cat_t {
  uint32_t num;       // categories held
  uint32_t size;      // capacity of catnums
  uint32_t *catnums;  // sorted, unique
} cat_t;

// A new empty set with room for 10; null when memory runs out.
cat_t *cat_new();

// Frees the set and its array; null-safe.
void cat_free(cat_t *cat);

// Empties the set (capacity kept); null-safe.
void cat_clear(cat_t *cat);

// Inserts n in order unless present, growing by 10 when full.
// 0 added or already present; -1 for a null set or when growth fails (the
// set is then unchanged).
int cat_add(cat_t *cat, uint32_t n);

// 1 when n is in the set, else 0 (also for null).
int cat_has(const cat_t *cat, uint32_t n);

// Adds every number of from to to; a number whose insertion cannot grow the
// set is skipped. Null-safe.
void cat_merge(cat_t *to, const cat_t *from);

// A new set with the numbers of cat; null for null or no memory.
cat_t *cat_dup(const cat_t *cat);

// Calls fn(n) for each category number of a row's category value, in order,
// until fn returns true; returns whether it did. With `numbers` (a value of
// a string print type) the value is decimal numbers separated by ",": an
// empty item gives nothing, a number past 32 bits is skipped and any other
// character ends the list. Without, each byte of the NUL-terminated value is
// one category. Reads only up to the NUL; allocates nothing.
template <class Fn>
inline bool cat_for_each_listed(const char *value, bool numbers, Fn &&fn) {
  const auto *p = reinterpret_cast<const unsigned char *>(value);
  if (!numbers) {
    for (; *p != 0; ++p)
      if (fn(uint32_t{*p})) return true;
    return false;
  }
  while (*p != 0) {
    if (*p == ',') {
      ++p;
      continue;
    }
    if (static_cast<unsigned>(*p - '0') > 9) return false;
    uint64_t v = 0;
    do {
      v = v * 10 + static_cast<unsigned>(*p - '0');
      if (v > UINT32_MAX) v = UINT32_MAX + uint64_t{1};  // stays past 32 bits, never wraps
      ++p;
    } while (static_cast<unsigned>(*p - '0') <= 9);
    if (v <= UINT32_MAX && fn(static_cast<uint32_t>(v))) return true;
    if (*p != ',') return false;
    ++p;
  }
  return false;
}

// Parses decimal numbers separated by ',' from text into a new set
// (strtol, base 10; reading stops at the first character that is not part of
// a number or is not followed by ','). Null for a null text, an empty result
// or no memory.
cat_t *cat_parse(const char *text);
