#include "lib/base/base64.h"

#include <array>
#include <cstdlib>
#include <cstring>

// Declared extern in the header, so constexpr here keeps external linkage
// and also serves the compile-time table below.
constexpr char base64_code[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

// Digit value of every byte: -1 outside the alphabet, 0 for "=". Built at
// compile time, so concurrent first use needs no care.
constexpr std::array<int, BASE64_VALUE_SZ> make_values() {
  std::array<int, BASE64_VALUE_SZ> v{};
  for (int &x : v) x = -1;
  for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(base64_code[i])] = i;
  v['='] = 0;
  return v;
}

constexpr auto base64_value = make_values();

// A hex digit as the decoder has always read it: decimal digits by value,
// anything else by its lower-case code minus 87 ('a' is 10).
int loose_hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  char l = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return static_cast<unsigned char>(l) - 87;
}

}  // namespace

int base64_decode_bin(const char *text, char *result, int result_size) {
  if (text == nullptr || result == nullptr || result_size < 1) return 0;
  int count = 0;
  unsigned group = 0;
  int digits = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    // A started group always fits together with the terminating NUL.
    if (count + 4 >= result_size) break;
    int v = base64_value[static_cast<unsigned char>(*p)];
    if (v < 0) continue;
    group = (group << 6) | static_cast<unsigned>(v);
    if (++digits == 4) {
      result[count++] = static_cast<char>((group >> 16) & 0xff);
      result[count++] = static_cast<char>((group >> 8) & 0xff);
      result[count++] = static_cast<char>(group & 0xff);
      group = 0;
      digits = 0;
    }
  }
  result[count] = '\0';
  return count;
}

int base64_decode(const char *text, char *result, int result_size) {
  int count = base64_decode_bin(text, result, result_size);
  while (count > 0 && result[count - 1] == '\0') --count;
  return count;
}

char *kxurldecode(const char *str) {
  if (str == nullptr) return nullptr;
  auto *out = static_cast<char *>(malloc(strlen(str) + 1));
  if (out == nullptr) return nullptr;
  char *w = out;
  for (const char *p = str; *p != '\0'; ++p) {
    if (*p == '+') {
      *w++ = ' ';
    } else if (*p == '%') {
      // Both characters must exist: never read past the end of the text.
      if (p[1] != '\0' && p[2] != '\0') {
        *w++ = static_cast<char>((loose_hex(p[1]) * 16 + loose_hex(p[2])) & 0xff);
        p += 2;
      }
    } else {
      *w++ = *p;
    }
  }
  *w = '\0';
  return out;
}

int base64_encode_bin(const void *data, int len, char *result, int result_size) {
  if (result == nullptr || result_size < 1) return 0;
  const auto *in = static_cast<const unsigned char *>(data);
  int out = 0;
  for (int i = 0; in != nullptr && i < len && result_size - out >= 5; i += 3) {
    unsigned group = static_cast<unsigned>(in[i]) << 16;
    int have = len - i >= 3 ? 3 : len - i;
    if (have > 1) group |= static_cast<unsigned>(in[i + 1]) << 8;
    if (have > 2) group |= in[i + 2];
    result[out++] = base64_code[(group >> 18) & 63];
    result[out++] = base64_code[(group >> 12) & 63];
    result[out++] = have > 1 ? base64_code[(group >> 6) & 63] : '=';
    result[out++] = have > 2 ? base64_code[group & 63] : '=';
  }
  result[out] = '\0';
  return out;
}

int base64_encode(const char *text, char *result, int result_size) {
  return base64_encode_bin(text, text != nullptr ? static_cast<int>(strlen(text)) : 0, result, result_size);
}

int base64_isEncoded(const char *text, int size) {
  if (text == nullptr) return 1;
  for (int i = 0; i < size; ++i) {
    if (text[i] != '=' && base64_value[static_cast<unsigned char>(text[i])] < 0) return 1;
  }
  return 0;
}
