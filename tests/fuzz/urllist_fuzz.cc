// URL-list text from one input, loaded as it would arrive in pieces (split
// where the first byte says), then every line of the input looked up as a
// logged URL and as a list-mode URL, and the list dumped. Loading must take
// what it can and never crash; lookups must answer with a live entry or
// none, and every entry text must be a string.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/base/kxlog.h"
#include "lib/runtime/kxtime.h"
#include "lib/lists/urllist.h"
#include "lib/lists/urllist_lookup.h"

namespace {

void look(URLLIST *l, const std::string &line, int logged) {
  std::string text = line;
  URLLIST_EXPLODED_URL *u = urllist_explode_charset(text.data(), nullptr, logged, 0, nullptr);
  if (u == nullptr) return;
  void *data = nullptr;
  char *listurl = nullptr;
  if (urllist_lookup_diag(l, u, &data, &listurl) == 0) {
    if (data == nullptr || listurl == nullptr) __builtin_trap();
    if (strlen(listurl) > 1000000) __builtin_trap();
    if (!urllist_data_live(static_cast<URLLIST_ITEM_DATA *>(data))) __builtin_trap();
  }
  free(listurl);
  void *again = nullptr;
  int rc = urllist_lookup_data(l, u, &again);
  if ((rc == 0) != (data != nullptr) || again != data) __builtin_trap();
  urllist_free_urllist_exploded_url(u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Regular expressions make the cost of large inputs unbounded.
  if (size < 1 || size > 8192) return 0;
  kxlog_silent_mode = 1;
  current_time.store(1700000000);
  const std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
  std::string clean = input;
  for (char &ch : clean)
    if (ch == '\0') ch = ' ';
  const size_t split = clean.empty() ? 0 : data[0] % (clean.size() + 1);
  const int hint = data[0] % 6;

  URLLIST *l = urllist_initialize(data[0] & 0x80 ? URLLIST_FLAG_LOCKED : URLLIST_FLAG_NONE);
  if (l == nullptr) return 0;
  char *buf = nullptr;
  int held = 0;
  urllist_add_buffer(l, clean.substr(0, split).c_str(), &buf, &held, hint);
  urllist_add_buffer(l, clean.substr(split).c_str(), &buf, &held, hint);
  if (held > 0) urllist_add_line(l, buf, hint);
  free(buf);
  if (l->loaded_count > l->total_count) __builtin_trap();

  size_t pos = 0;
  int lines = 0;
  while (pos <= clean.size() && lines < 64) {
    size_t nl = clean.find('\n', pos);
    if (nl == std::string::npos) nl = clean.size();
    std::string line = clean.substr(pos, nl - pos);
    size_t blank = line.find(' ');
    std::string item = line.substr(0, blank);
    look(l, item, 1);
    look(l, item, 0);
    look(l, "http://" + item, 1);
    pos = nl + 1;
    ++lines;
  }
  char *nc = nullptr;
  void *d = nullptr;
  urllist_lookup_string_data(l, clean.c_str(), &nc, &d);
  free(nc);
  for (int i = -1; i <= 9; ++i) urllist_lookup_num_data(l, i, &d);
  FILE *null = fopen("/dev/null", "w");
  if (null != nullptr) {
    urllist_dump_file(l, null);
    fclose(null);
  }
  urllist_terminate(l);
  return 0;
}
