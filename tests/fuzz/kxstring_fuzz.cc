// Feeds arbitrary text to the in-place string splitters, the URL
// normalisers and the decoders: none may read or write past the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lib/base/base64.h"
#include "lib/base/kxstring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  const char *c = text.c_str();
  auto run_in_place = [&](auto fn) {
    std::string copy = text;
    fn(copy.data());
  };
  run_in_place([](char *s) { free(string_explode(s, ',')); });
  run_in_place([](char *s) { free(string_explode_limit(s, ' ', 3, nullptr)); });
  run_in_place([](char *s) { free(string_explode_quotes(s)); });
  run_in_place([](char *s) { string_lowercase_url(s); });
  run_in_place([](char *s) { string_rtrim(string_ltrim(s)); });
  free(string_extract_from_quotes(c));
  free(string_escapeshellarg(c));
  free(kxurldecode(c));
  free(string_replace_string_global(c, "a", "bc"));
  free(string_truncate_withdots(c, static_cast<int>(size % 16)));
  unsigned char bin[8];
  string_hex_to_bin(c, bin, sizeof(bin));
  char out[64];
  base64_decode(c, out, static_cast<int>(size % sizeof(out)));
  run_in_place([](char *s) { string_unescape_string(s); });
  free(string_html_entities(c));
  free(string_extract_ip(c));
  string_count_string_occurences_l(text.data(), static_cast<int>(size), "ab", 2);
  base64_encode_bin(text.data(), static_cast<int>(size), out, static_cast<int>(size % sizeof(out)));
  base64_isEncoded(c, static_cast<int>(size));
  return 0;
}
