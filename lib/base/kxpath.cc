#include "lib/base/kxpath.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char *kxpath_path = nullptr;

void kxpath_init() {
  const char *root = getenv("KX_PATH");
  if (root == nullptr) {
    setenv("KX_PATH", "/usr/local/tallowmere", 0);
    root = getenv("KX_PATH");
    if (root == nullptr) root = "/usr/local/tallowmere";
  }
  char *copy = strdup(root);
  if (copy == nullptr) return;
  free(kxpath_path);
  kxpath_path = copy;
}

char *kxpath_append(const char *path) {
  if (kxpath_path == nullptr || path == nullptr) return nullptr;
  const char *sep = path[0] == '/' ? "" : "/";
  size_t n = strlen(kxpath_path) + strlen(sep) + strlen(path) + 1;
  auto *out = static_cast<char *>(malloc(n));
  if (out == nullptr) return nullptr;
  snprintf(out, n, "%s%s%s", kxpath_path, sep, path);
  return out;
}
