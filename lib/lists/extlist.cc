#include "lib/lists/extlist.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/record/category.h"

namespace {

std::string lower(const char *s) {
  std::string r(s);
  for (auto &c : r) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return r;
}

// Whether s lower-cased equals the already lower-cased text lowered; no
// copy, as lookups run once per request.
bool equals_lowered(const char *s, const char *lowered) {
  for (;; ++s, ++lowered) {
    if (static_cast<char>(tolower(static_cast<unsigned char>(*s))) != *lowered) return false;
    if (*s == '\0') return true;
  }
}

// First blank-separated fields of a line (blanks are spaces and tabs).
std::string field(const char *line, int index) {
  const char *p = line;
  for (int i = 0;; ++i) {
    while (*p == ' ' || *p == '\t') ++p;
    const char *start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    if (i == index) return std::string(start, static_cast<size_t>(p - start));
    if (!*p) return std::string();
  }
}

// Opens the file and loads it with the buffer loader; the loader's count, 0
// for a list that cannot take entries, -1 when the file does not open.
int add_from_file(EXTLIST_TABLE *list, const char *filename, int (*load)(EXTLIST_TABLE *, file_buffer *)) {
  if (list && list->hash_count <= 0) return 0;
  file_buffer *fb = file_buffer_open(filename);
  if (!fb) return -1;
  int n = load(list, fb);
  file_buffer_close(fb);
  return n;
}

}  // namespace

// Bucket of ext: its first up to four characters (no more than the bucket
// count), lower-cased, as little-endian bytes of a 32-bit value, modulo the
// bucket count.
int extlist_create_hash(const EXTLIST_TABLE *list, const char *ext) {
  if (list == nullptr || ext == nullptr || list->hash_count <= 0) return 0;
  size_t n = strlen(ext);
  if (n > 4) n = 4;
  if (n > static_cast<size_t>(list->hash_count)) n = static_cast<size_t>(list->hash_count);
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i)
    v |= static_cast<uint32_t>(static_cast<unsigned char>(tolower(static_cast<unsigned char>(ext[i]))))
         << (8 * i);
  return static_cast<int>(v % static_cast<uint32_t>(list->hash_count));
}

EXTLIST_TABLE *extlist_initialize(int hash_count, extlist_free_fn free_func) {
  if (hash_count < 0) hash_count = 0;
  auto *l = static_cast<EXTLIST_TABLE *>(calloc(1, sizeof(EXTLIST_TABLE)));
  if (!l) return nullptr;
  l->hash_count = hash_count;
  l->free_func = free_func;
  if (hash_count > 0) {
    l->hash = static_cast<EXTLIST_ITEM **>(calloc(static_cast<size_t>(hash_count), sizeof(EXTLIST_ITEM *)));
    if (!l->hash) {
      free(l);
      return nullptr;
    }
    for (int i = 0; i < hash_count; ++i) {
      l->hash[i] = static_cast<EXTLIST_ITEM *>(calloc(1, sizeof(EXTLIST_ITEM)));
      if (!l->hash[i]) {
        extlist_terminate(l);
        return nullptr;
      }
    }
  }
  return l;
}

int extlist_add_item(EXTLIST_TABLE *list, const char *ext, void *data) {
  if (!list || !ext || !data || !*ext || list->hash_count <= 0) return -1;
  int b = extlist_create_hash(list, ext);
  EXTLIST_ITEM *bucket = list->hash[b];
  size_t n = 0;
  while (bucket[n].item) ++n;
  char *copy = strdup(lower(ext).c_str());
  if (!copy) return -1;
  auto *grown = static_cast<EXTLIST_ITEM *>(realloc(bucket, (n + 2) * sizeof(EXTLIST_ITEM)));
  if (!grown) {
    free(copy);
    return -1;
  }
  grown[n].item = copy;
  grown[n].data = data;
  grown[n + 1].item = nullptr;
  grown[n + 1].data = nullptr;
  list->hash[b] = grown;
  return 0;
}

void *extlist_lookup_diag(EXTLIST_TABLE *list, const char *ext, char **text) {
  if (!list || !ext || !*ext || list->hash_count <= 0) return nullptr;
  for (EXTLIST_ITEM *it = list->hash[extlist_create_hash(list, ext)]; it->item; ++it) {
    if (equals_lowered(ext, it->item)) {
      if (text) *text = strdup(it->item);
      return it->data;
    }
  }
  return nullptr;
}

void *extlist_lookup(EXTLIST_TABLE *list, const char *ext) { return extlist_lookup_diag(list, ext, nullptr); }

void extlist_terminate(EXTLIST_TABLE *list) {
  if (!list) return;
  for (int i = 0; list->hash && i < list->hash_count; ++i) {
    if (!list->hash[i]) continue;
    for (EXTLIST_ITEM *it = list->hash[i]; it->item; ++it) {
      free(it->item);
      if (list->free_func) list->free_func(it->data);
    }
    free(list->hash[i]);
  }
  free(list->hash);
  free(list);
}

int extlist_add_category_item(EXTLIST_TABLE *list, const char *ext, const char *cats) {
  if (list && list->hash_count <= 0) return 0;
  cat_t *set = cat_parse(cats);
  if (!set) return -1;
  if (extlist_add_item(list, ext, set) != 0) {
    cat_free(set);
    return -1;
  }
  return 0;
}

int extlist_add_file_buffer(EXTLIST_TABLE *list, file_buffer *fb) {
  if (!list || list->hash_count <= 0 || !fb) return 0;
  int added = 0;
  while (file_buffer_read_string(fb) == 0) {
    std::string ext = field(fb->line, 0);
    if (!ext.empty() && extlist_add_item(list, ext.c_str(), reinterpret_cast<void *>(1)) == 0) ++added;
  }
  return added;
}

int extlist_add_file(EXTLIST_TABLE *list, const char *filename) {
  return add_from_file(list, filename, extlist_add_file_buffer);
}

int extlist_add_category_file_buffer(EXTLIST_TABLE *list, file_buffer *fb) {
  if (!list || list->hash_count <= 0 || !fb) return 0;
  int added = 0;
  while (file_buffer_read_string(fb) == 0) {
    std::string ext = field(fb->line, 0);
    std::string cats = field(fb->line, 1);
    if (!ext.empty() && extlist_add_category_item(list, ext.c_str(), cats.c_str()) == 0) ++added;
  }
  return added;
}

int extlist_add_category_file(EXTLIST_TABLE *list, const char *filename) {
  return add_from_file(list, filename, extlist_add_category_file_buffer);
}
