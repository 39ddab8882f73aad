#include "lib/lists/serialcrypt.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "lib/base/kxlog.h"

// The product's list-file key and IV.
unsigned char serialcrypt_key[16] = {0x5a, 0x1f, 0xc3, 0x8e, 0x27, 0xb4, 0x60, 0xd9,
                                     0x91, 0x3c, 0xe2, 0x4b, 0x08, 0xf7, 0xa6, 0x15};
unsigned char serialcrypt_iv[8] = {0x6d, 0x42, 0xb9, 0x0e, 0xf3, 0x87, 0x2c, 0x51};

namespace {

constexpr int IP_SIZE = 1024;           // input chunk
constexpr int OP_SIZE = IP_SIZE + 8;    // deciphered chunk: a chunk plus one block
constexpr int PIECE_SIZE = 1024;        // decompressed piece

struct ctx_free {
  void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using cipher_ctx = std::unique_ptr<EVP_CIPHER_CTX, ctx_free>;

// Closes the file when it goes, standard input included where asked.
struct input_file {
  FILE *f = nullptr;
  bool close_stdin = true;
  ~input_file() { close(); }
  void close() {
    if (f != nullptr && (f != stdin || close_stdin)) {
      std::fclose(f);
    }
    f = nullptr;
  }
};

FILE *open_input(const char *file) {
  return std::strcmp(file, "-") == 0 ? stdin : std::fopen(file, "rb");
}

}  // namespace

namespace {
// Loaded once and kept for the life of the process (held here, so that
// leak checkers see them as live).
OSSL_PROVIDER *volatile legacy_provider = nullptr;
OSSL_PROVIDER *volatile default_provider = nullptr;
}  // namespace

bool serialcrypt_cipher_ready() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    // Loading a provider explicitly turns off the implicit default one, so
    // both are loaded.
    legacy_provider = OSSL_PROVIDER_load(nullptr, "legacy");
    default_provider = OSSL_PROVIDER_load(nullptr, "default");
    ready = legacy_provider != nullptr && default_provider != nullptr && EVP_bf_cbc() != nullptr;
  });
  return ready;
}

serialcrypt_stream::~serialcrypt_stream() {
  if (live) {
    BZ2_bzDecompressEnd(&bz);
  }
}

int serialcrypt_bz2_init(serialcrypt_stream *stream) {
  if (stream == nullptr || stream->live) {
    return -1;
  }
  stream->bz = bz_stream{};  // default allocators, no pending input
  stream->ended = false;
  if (BZ2_bzDecompressInit(&stream->bz, 0, 0) != BZ_OK) {
    return -1;
  }
  stream->live = true;
  return 0;
}

int serialcrypt_bz2_read(serialcrypt_stream *stream, const char *inbuf, int inbuflen, char *outbuf,
                         int outbuflen) {
  if (stream == nullptr || !stream->live || outbuf == nullptr || outbuflen < 0) {
    return -1;
  }
  bz_stream &bz = stream->bz;
  if (stream->ended) {
    bz.avail_in = 0;  // whatever follows the stream's end is ignored
    return 0;
  }
  if (bz.avail_in == 0 && inbuf != nullptr && inbuflen > 0) {
    bz.next_in = const_cast<char *>(inbuf);
    bz.avail_in = static_cast<unsigned>(inbuflen);
  }
  if (outbuflen == 0) {
    return 0;
  }
  bz.next_out = outbuf;
  bz.avail_out = static_cast<unsigned>(outbuflen);
  for (;;) {
    const unsigned in_before = bz.avail_in;
    const unsigned out_before = bz.avail_out;
    const int r = BZ2_bzDecompress(&bz);
    const int produced = outbuflen - static_cast<int>(bz.avail_out);
    if (r == BZ_STREAM_END) {
      stream->ended = true;
      bz.avail_in = 0;
      return produced;
    }
    if (r != BZ_OK) {
      return -1;
    }
    if (bz.avail_out == 0) {
      return outbuflen;
    }
    if (bz.avail_in == 0) {
      return produced;
    }
    if (bz.avail_in == in_before && bz.avail_out == out_before) {
      return -1;  // no progress with input left: never leave it behind
    }
  }
}

int serialcrypt_add_buffer(std::string_view text, std::string *carry, serialcrypt_callback callback,
                           void *data) {
  carry->append(text);
  size_t start = 0;
  for (;;) {
    const size_t nl = carry->find('\n', start);
    if (nl == std::string::npos) {
      break;
    }
    (*carry)[nl] = '\0';
    if (callback(carry->data() + start, data) != 0) {
      carry->erase(0, nl + 1);
      return 0;
    }
    start = nl + 1;
  }
  carry->erase(0, start);
  return -1;
}

int serialcrypt_add_file(const char *file, serialcrypt_callback callback, void *data) {
  if (file == nullptr || callback == nullptr) {
    return 0;
  }
  input_file in;
  in.f = open_input(file);
  if (in.f == nullptr) {
    return 0;
  }
  if (!serialcrypt_cipher_ready()) {
    kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: Blowfish cipher not available\n");
    return 0;
  }
  cipher_ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_bf_cbc(), nullptr, serialcrypt_key,
                                 serialcrypt_iv) != 1) {
    kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error in decrypt init\n");
    return 0;
  }
  serialcrypt_stream bz;
  if (serialcrypt_bz2_init(&bz) != 0) {
    kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error in decompress init\n");
    return 0;
  }

  std::string carry;
  int result = -1;
  enum class fed { ok, stopped, failed };
  // Feeds deciphered bytes to the decompressor and delivers every piece
  // that comes out, by length, so that a NUL in the text loses nothing.
  auto feed = [&](const unsigned char *buf, int len) {
    const char *input = reinterpret_cast<const char *>(buf);
    char piece[PIECE_SIZE];
    for (;;) {
      const int n = serialcrypt_bz2_read(&bz, input, len, piece, PIECE_SIZE);
      input = nullptr;
      len = 0;
      if (n < 0) {
        kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error in decompress\n");
        return fed::failed;
      }
      if (n == 0) {
        return fed::ok;
      }
      if (serialcrypt_add_buffer(std::string_view(piece, static_cast<size_t>(n)), &carry, callback,
                                 data) == 0) {
        return fed::stopped;
      }
    }
  };

  try {
    unsigned char chunk[IP_SIZE];
    unsigned char plain[OP_SIZE + 1];
    bool failed = false;
    bool stopped = false;
    for (;;) {
      const size_t got = std::fread(chunk, 1, sizeof chunk, in.f);
      if (got == 0) {
        if (std::ferror(in.f)) {
          kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error reading %s\n", file);
          failed = true;
        }
        break;
      }
      int outl = 0;
      if (EVP_DecryptUpdate(ctx.get(), plain, &outl, chunk, static_cast<int>(got)) != 1) {
        kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error in decrypt update\n");
        failed = true;
        break;
      }
      const fed f = feed(plain, outl);
      if (f != fed::ok) {
        failed = f == fed::failed;
        stopped = f == fed::stopped;
        break;
      }
    }
    in.close();
    if (failed || stopped) {
      result = 0;
    } else {
      int outl = 0;
      if (EVP_DecryptFinal_ex(ctx.get(), plain, &outl) != 1) {
        kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error in decrypt final\n");
        result = 0;
      } else {
        const fed f = feed(plain, outl);
        if (f != fed::ok) {
          result = 0;
        } else if (!bz.ended) {
          // The text stops before the stream's end: a truncated or
          // corrupt file, not a whole list.
          kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: error in decompress\n");
          result = 0;
        }
      }
    }
  } catch (const std::bad_alloc &) {
    kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: memory allocation error\n");
    result = 0;
  }
  if (!carry.empty()) {
    kxlog_send(KXLOG_DEBUG, "serialcrypt_add_file: buffer should be NULL\n");
  }
  return result;
}

namespace {

// Runs the file through the list-file cipher to standard output.
int cipher_to_stdout(const char *file, bool encrypt) {
  const char *what = encrypt ? "encrypt" : "decrypt";
  const char *write_error = encrypt ? "error on write" : "error on fwrite";
  input_file in;
  in.close_stdin = false;
  in.f = open_input(file);
  if (in.f == nullptr) {
    std::printf("Could not open file %s\n", file);
    return 0;
  }
  cipher_ctx ctx(serialcrypt_cipher_ready() ? EVP_CIPHER_CTX_new() : nullptr);
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_bf_cbc(), nullptr, serialcrypt_key,
                                serialcrypt_iv, encrypt ? 1 : 0) != 1) {
    std::printf("error in %s init\n", what);
    return 0;
  }
  unsigned char chunk[IP_SIZE];
  unsigned char out[OP_SIZE];
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, in.f);
    if (got == 0) {
      if (std::ferror(in.f)) {
        std::printf("Could not read file %s\n", file);
        return 0;
      }
      break;
    }
    int outl = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &outl, chunk, static_cast<int>(got)) != 1) {
      std::printf("error in %s update\n", what);
      return 0;
    }
    if (std::fwrite(out, 1, static_cast<size_t>(outl), stdout) != static_cast<size_t>(outl)) {
      std::printf("%s\n", write_error);
      return 0;
    }
  }
  int outl = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out, &outl) != 1) {
    std::printf("error in %s final\n", what);
    return 0;
  }
  // A failed write of the last bytes, or of what the stream still buffers,
  // is as much a failure as any other.
  if (std::fwrite(out, 1, static_cast<size_t>(outl), stdout) != static_cast<size_t>(outl) ||
      std::fflush(stdout) != 0) {
    std::printf("%s\n", write_error);
    return 0;
  }
  return 1;
}

}  // namespace

int serialcrypt_encrypt_file(const char *file) {
  return file == nullptr ? 0 : cipher_to_stdout(file, true);
}

int serialcrypt_decrypt_file(const char *file) {
  return file == nullptr ? 0 : cipher_to_stdout(file, false);
}
