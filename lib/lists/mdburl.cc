#include "lib/lists/mdburl.h"

#include <cstdlib>
#include <cstring>

#include "lib/base/lookup3.h"
#include "lib/base/sha1.h"

unsigned int mdburl_poolid(const char *item, int length, int numPools) {
  if (numPools <= 0) return 0;
  if (length < 0) length = 0;
  uint32_t h = hashlittle(item, static_cast<size_t>(length), 5381);
  h ^= (h >> 10) ^ (h >> 20);
  return h & static_cast<uint32_t>(numPools - 1);
}

int mdburl_numpool_ispower2(int numPools) {
  if (numPools <= 0) return 0;
  return (numPools & (numPools - 1)) == 0 ? 1 : 0;
}

MDBURL *mdburl_init() {
  MDBURL *m = static_cast<MDBURL *>(calloc(1, sizeof(MDBURL)));
  if (m) m->poolId = -1;
  return m;
}

MDBURL *mdburl_init_url(URL *url, int numpools) {
  if (!url || !url->url) return nullptr;
  MDBURL *m = mdburl_init();
  if (!m) return nullptr;
  size_t len = strlen(url->url);
  m->url = strdup(url->url);
  m->urlEscape = static_cast<char *>(malloc(2 * len + 1));
  if (!m->url || !m->urlEscape ||
      calcsha1(m->url, static_cast<int>(len), reinterpret_cast<char *>(m->sha1)) != 0) {
    mdburl_free(m);
    return nullptr;
  }
  m->urlEscape[0] = '\0';
  m->poolId = static_cast<int>(mdburl_poolid(m->url, static_cast<int>(len), numpools));
  return m;
}

void mdburl_free(MDBURL *m) {
  if (!m) return;
  free(m->url);
  free(m->urlEscape);
  free(m);
}
