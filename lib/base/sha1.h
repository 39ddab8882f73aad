// SHA-1 with the reference interface of RFC 3174.
//
// Pure computation over a caller-owned context; no allocation, no locks.
#pragma once

#include <cstdint>

enum {
  shaSuccess = 0,
  shaNull = 1,          // a null argument
  shaInputTooLong = 2,  // more input than 2^64 bits
  shaStateError = 3     // input after SHA1Result
};

#define SHA1HashSize 20

struct SHA1Context {
  uint32_t Intermediate_Hash[SHA1HashSize / 4];
  uint32_t Length_Low;   // message length in bits, low word
  uint32_t Length_High;  // and high word
  int_least16_t Message_Block_Index;
  uint8_t Message_Block[64];
  int Computed;   // the digest has been produced
  int Corrupted;  // non-zero once the context is unusable
};

// Starts a new digest. shaNull for a null context.
int SHA1Reset(SHA1Context *context);

// Feeds length bytes. Length 0 succeeds at once; shaNull for a null context
// or message; after SHA1Result it marks the context corrupted with
// shaStateError and returns that; a bit count overflowing 64 bits sets
// Corrupted to 1 and ends the input.
int SHA1Input(SHA1Context *context, const char *message, unsigned length);

// Pads the message (once) and writes the 20-byte digest. shaNull for a null
// argument, the Corrupted code for a corrupted context.
int SHA1Result(SHA1Context *context, char digest[SHA1HashSize]);

// Processes the full 64-byte block in the context.
void SHA1ProcessMessageBlock(SHA1Context *context);

// Appends the padding and the length and processes the last block(s).
void SHA1PadMessage(SHA1Context *context);

// The SHA-1 digest of datasize bytes of data into sha1result (20 bytes).
// 0, or -1 when a step fails (null arguments, negative size).
int calcsha1(const char *data, int datasize, char *sha1result);
