// Fuzzes URL parsing and the list-entry action parser.
//
// Input: one control byte, then the text. Control bits: 0 logged URL,
// 1-4 entry-type flags, 5 IDN conversion, 6 parse the text as an action
// ("WORD args") instead and apply it to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/record/category.h"
#include "lib/lists/urllist_action.h"
#include "lib/lists/urllist_explode.h"

namespace {

void explode(std::string &text, int logged, int flags, bool idn) {
  static CHARSET *utf8 = urllist_init_charset("UTF-8");
  cat_t *cats = cat_new();
  URLLIST_EXPLODED_URL *u =
      urllist_explode_charset(text.data(), cats, logged, flags, idn ? utf8 : nullptr);
  if (u) {
    size_t n = 0;
    for (URLLIST_TOKEN *t = u->tokens; t->type != UP_NULL; ++t) {
      if (!t->item) abort();
      n += strlen(t->item);  // every token text must be a readable string
    }
    if (u->fileExtension) n += strlen(u->fileExtension);
    if (u->anchor) n += strlen(u->anchor);
    if (u->host_length < 0 || n > 2 * text.size() + 64) abort();
    urllist_free_urllist_exploded_url(u);
  }
  cat_free(cats);
}

void action(const std::string &text) {
  size_t sp = text.find(' ');
  std::string word = text.substr(0, sp);
  std::string args = sp == std::string::npos ? "" : text.substr(sp + 1);
  URLLIST_ITEM_DATA d{};
  d.action = urllist_action_parse_action(word.c_str(), sp == std::string::npos ? nullptr : args.c_str(),
                                         &d.action_data);
  if (d.action == UA_UNKNOWN || d.action == UA_ERROR) return;
  cat_t *cat = cat_new();
  char *out = nullptr;
  char **hdr = nullptr;
  urllist_action_process_action(&d, cat, args.c_str(), &out, &hdr);
  free(out);
  free(hdr);
  out = nullptr;
  hdr = nullptr;
  urllist_action_process_action(&d, cat, "/p?a=1&b=2&flag&c", &out, &hdr);
  free(out);
  free(hdr);
  char buf[256];
  urllist_action_dump_action(&d, buf, sizeof buf);
  if (strlen(buf) >= sizeof buf) abort();
  cat_free(cat);
  urllist_action_data_free(&d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint8_t ctl = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.c_str();  // parsers take NUL-terminated texts
  if (ctl & 0x40) action(text);
  else explode(text, ctl & 1, (ctl >> 1) & 0x0f, (ctl & 0x20) != 0);
  return 0;
}
