#include "lib/record/category.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

cat_t *cat_new() {
  cat_t *c = static_cast<cat_t *>(calloc(1, sizeof(cat_t)));
  if (!c) return nullptr;
  c->catnums = static_cast<uint32_t *>(calloc(CAT_INITIAL_SIZE, sizeof(uint32_t)));
  if (!c->catnums) {
    free(c);
    return nullptr;
  }
  c->size = CAT_INITIAL_SIZE;
  return c;
}

void cat_free(cat_t *cat) {
  if (!cat) return;
  free(cat->catnums);
  free(cat);
}

void cat_clear(cat_t *cat) {
  if (cat) cat->num = 0;
}

int cat_add(cat_t *cat, uint32_t n) {
  if (!cat) return -1;
  uint32_t *end = cat->catnums + cat->num;
  uint32_t *pos = std::lower_bound(cat->catnums, end, n);
  if (pos != end && *pos == n) return 0;
  if (cat->num >= cat->size) {
    size_t idx = static_cast<size_t>(pos - cat->catnums);
    auto *grown = static_cast<uint32_t *>(
        realloc(cat->catnums, (static_cast<size_t>(cat->size) + CAT_GROW_SIZE) * sizeof(uint32_t)));
    if (!grown) return -1;
    cat->catnums = grown;
    cat->size += CAT_GROW_SIZE;
    pos = cat->catnums + idx;
    end = cat->catnums + cat->num;
  }
  memmove(pos + 1, pos, static_cast<size_t>(end - pos) * sizeof(uint32_t));
  *pos = n;
  cat->num++;
  return 0;
}

int cat_has(const cat_t *cat, uint32_t n) {
  if (!cat || cat->num == 0) return 0;
  return std::binary_search(cat->catnums, cat->catnums + cat->num, n) ? 1 : 0;
}

void cat_merge(cat_t *to, const cat_t *from) {
  if (!to || !from) return;
  for (uint32_t i = 0; i < from->num; ++i) cat_add(to, from->catnums[i]);
}

cat_t *cat_dup(const cat_t *cat) {
  if (!cat) return nullptr;
  cat_t *c = cat_new();
  if (!c) return nullptr;
  for (uint32_t i = 0; i < cat->num; ++i) {
    if (cat_add(c, cat->catnums[i]) != 0) {
      cat_free(c);
      return nullptr;
    }
  }
  return c;
}

cat_t *cat_parse(const char *text) {
  if (!text) return nullptr;
  cat_t *c = cat_new();
  if (!c) return nullptr;
  const char *p = text;
  for (;;) {
    char *end = nullptr;
    long v = strtol(p, &end, 10);
    if (end == p) break;
    if (cat_add(c, static_cast<uint32_t>(v)) != 0) {
      cat_free(c);
      return nullptr;
    }
    if (*end != ',') break;
    p = end + 1;
  }
  if (c->num == 0) {
    cat_free(c);
    return nullptr;
  }
  return c;
}
