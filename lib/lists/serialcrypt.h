// Enciphered list files: a file that is one Blowfish-CBC ciphertext (PKCS#5
// padding, no header) of one bzip2 stream of text lines.  The reader streams
// such a file through the cipher and the decompressor and hands each line to
// a callback, so that an enciphered list loads line by line like a plain one.
// An enciphered list file is made by compressing the text with bzip2 and
// enciphering the result with serialcrypt_encrypt_file.
//
// Threads: no shared state besides the key and the IV, which are only read;
// calls on different files may run in different threads.
#pragma once

#include <bzlib.h>

#include <string>
#include <string_view>

// The list-file key and initialisation vector, the same pair for every file.
// Set from the product's built-in values; read-only for the reader.
extern unsigned char serialcrypt_key[16];
extern unsigned char serialcrypt_iv[8];

// Receives one line: NUL-terminated, without its '\n' (a '\r' before it
// stays); the text belongs to the reader and is valid during the call only.
// Returns 0 to go on, non-zero to stop.
using serialcrypt_callback = int (*)(char *line, void *data);

// Reads the file (or standard input for "-", closed at the end like a file),
// deciphers and decompresses it and delivers every line to callback with
// data.  A last line without '\n' is not delivered (a debug message says
// so).  Returns -1 when the whole file was read and delivered; 0 when the
// file cannot be opened, on a decipher, read or decompress error (a file
// whose bzip2 stream does not end counts as corrupt), or when the callback
// asked to stop.  Lines delivered before a failure stay delivered.
int serialcrypt_add_file(const char *file, serialcrypt_callback callback, void *data);

// One bzip2 decompression stream; releases itself when destroyed.
struct serialcrypt_stream {
  bz_stream bz{};
  bool live = false;   // initialised, to be ended
  bool ended = false;  // the stream's end marker was decoded

  serialcrypt_stream() = default;
  serialcrypt_stream(const serialcrypt_stream &) = delete;
  serialcrypt_stream &operator=(const serialcrypt_stream &) = delete;
  ~serialcrypt_stream();
};

// Starts decompression (default allocators, no verbosity, normal memory
// use); 0 on success, -1 on failure.
int serialcrypt_bz2_init(serialcrypt_stream *stream);

// Decompresses into outbuf (outbuflen bytes of room).  inbuf (inbuflen
// bytes) is taken when the stream has no unconsumed input; with no input
// the stream still hands out what it holds.  All given input is consumed
// before the call returns less than outbuflen.  Returns the bytes placed in
// outbuf (0 once nothing more comes, also after the stream's end; bytes
// after the end are ignored), or -1 on a decompression error or a bad
// argument (null stream or output, negative room).
int serialcrypt_bz2_read(serialcrypt_stream *stream, const char *inbuf, int inbuflen, char *outbuf,
                         int outbuflen);

// Appends text (any bytes, NULs included) to *carry and delivers every
// complete line; the unterminated rest stays in *carry.  -1 to go on, 0 when
// the callback asked to stop (the lines after it stay undelivered).  Throws
// std::bad_alloc.
int serialcrypt_add_buffer(std::string_view text, std::string *carry, serialcrypt_callback callback,
                           void *data);

// Encipher or decipher the file ("-" = standard input) with the list-file
// cipher, key and IV and write the result to standard output; no
// compression.  1 on success, 0 on failure (a message on standard output).
int serialcrypt_encrypt_file(const char *file);
int serialcrypt_decrypt_file(const char *file);

// Loads the OpenSSL providers that hold Blowfish (once per process); false
// when they cannot be loaded.
bool serialcrypt_cipher_ready();
