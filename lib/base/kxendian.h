// Little-endian loads and stores of file data at any alignment: request
// logs, their index and date cache, and report table files all store their
// integers this way.
#pragma once

#include <cstdint>

inline uint16_t kx_le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t kx_le32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t kx_le64(const unsigned char *p) {
  return static_cast<uint64_t>(kx_le32(p)) | static_cast<uint64_t>(kx_le32(p + 4)) << 32;
}

inline void kx_put_le16(unsigned char *p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void kx_put_le32(unsigned char *p, uint32_t v) {
  kx_put_le16(p, static_cast<uint16_t>(v));
  kx_put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void kx_put_le64(unsigned char *p, uint64_t v) {
  kx_put_le32(p, static_cast<uint32_t>(v));
  kx_put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}
