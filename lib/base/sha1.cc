#include "lib/base/sha1.h"

namespace {

inline uint32_t circular_shift(int bits, uint32_t word) {
  return (word << bits) | (word >> (32 - bits));
}

}  // namespace

int SHA1Reset(SHA1Context *context) {
  if (!context) return shaNull;
  context->Length_Low = 0;
  context->Length_High = 0;
  context->Message_Block_Index = 0;
  context->Intermediate_Hash[0] = 0x67452301;
  context->Intermediate_Hash[1] = 0xEFCDAB89;
  context->Intermediate_Hash[2] = 0x98BADCFE;
  context->Intermediate_Hash[3] = 0x10325476;
  context->Intermediate_Hash[4] = 0xC3D2E1F0;
  for (auto &b : context->Message_Block) b = 0;
  context->Computed = 0;
  context->Corrupted = 0;
  return shaSuccess;
}

int SHA1Result(SHA1Context *context, char digest[SHA1HashSize]) {
  if (!context || !digest) return shaNull;
  if (context->Corrupted) return context->Corrupted;
  if (!context->Computed) {
    SHA1PadMessage(context);
    // The message may hold sensitive data; clear it.
    for (auto &b : context->Message_Block) b = 0;
    context->Length_Low = 0;
    context->Length_High = 0;
    context->Computed = 1;
  }
  for (int i = 0; i < SHA1HashSize; ++i)
    digest[i] = static_cast<char>(context->Intermediate_Hash[i >> 2] >> 8 * (3 - (i & 0x03)));
  return shaSuccess;
}

int SHA1Input(SHA1Context *context, const char *message, unsigned length) {
  if (!length) return shaSuccess;
  if (!context || !message) return shaNull;
  if (context->Computed) {
    context->Corrupted = shaStateError;
    return shaStateError;
  }
  if (context->Corrupted) return context->Corrupted;
  const uint8_t *p = reinterpret_cast<const uint8_t *>(message);
  while (length-- && !context->Corrupted) {
    context->Message_Block[context->Message_Block_Index++] = *p;
    context->Length_Low += 8;
    if (context->Length_Low == 0) {
      context->Length_High++;
      if (context->Length_High == 0) context->Corrupted = 1;  // message too long
    }
    if (context->Message_Block_Index == 64) SHA1ProcessMessageBlock(context);
    ++p;
  }
  return shaSuccess;
}

void SHA1ProcessMessageBlock(SHA1Context *context) {
  static const uint32_t K[] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
  uint32_t W[80];
  for (int t = 0; t < 16; ++t) {
    W[t] = static_cast<uint32_t>(context->Message_Block[t * 4]) << 24;
    W[t] |= static_cast<uint32_t>(context->Message_Block[t * 4 + 1]) << 16;
    W[t] |= static_cast<uint32_t>(context->Message_Block[t * 4 + 2]) << 8;
    W[t] |= static_cast<uint32_t>(context->Message_Block[t * 4 + 3]);
  }
  for (int t = 16; t < 80; ++t) W[t] = circular_shift(1, W[t - 3] ^ W[t - 8] ^ W[t - 14] ^ W[t - 16]);

  uint32_t A = context->Intermediate_Hash[0];
  uint32_t B = context->Intermediate_Hash[1];
  uint32_t C = context->Intermediate_Hash[2];
  uint32_t D = context->Intermediate_Hash[3];
  uint32_t E = context->Intermediate_Hash[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f;
    if (t < 20) f = (B & C) | ((~B) & D);
    else if (t < 40) f = B ^ C ^ D;
    else if (t < 60) f = (B & C) | (B & D) | (C & D);
    else f = B ^ C ^ D;
    uint32_t temp = circular_shift(5, A) + f + E + W[t] + K[t / 20];
    E = D;
    D = C;
    C = circular_shift(30, B);
    B = A;
    A = temp;
  }
  context->Intermediate_Hash[0] += A;
  context->Intermediate_Hash[1] += B;
  context->Intermediate_Hash[2] += C;
  context->Intermediate_Hash[3] += D;
  context->Intermediate_Hash[4] += E;
  context->Message_Block_Index = 0;
}

void SHA1PadMessage(SHA1Context *context) {
  // The block must take the 0x80 byte and, after it, the 8 length bytes;
  // when there is no room for the length, pad this block and use another.
  if (context->Message_Block_Index > 55) {
    context->Message_Block[context->Message_Block_Index++] = 0x80;
    while (context->Message_Block_Index < 64) context->Message_Block[context->Message_Block_Index++] = 0;
    SHA1ProcessMessageBlock(context);
    while (context->Message_Block_Index < 56) context->Message_Block[context->Message_Block_Index++] = 0;
  } else {
    context->Message_Block[context->Message_Block_Index++] = 0x80;
    while (context->Message_Block_Index < 56) context->Message_Block[context->Message_Block_Index++] = 0;
  }
  context->Message_Block[56] = static_cast<uint8_t>(context->Length_High >> 24);
  context->Message_Block[57] = static_cast<uint8_t>(context->Length_High >> 16);
  context->Message_Block[58] = static_cast<uint8_t>(context->Length_High >> 8);
  context->Message_Block[59] = static_cast<uint8_t>(context->Length_High);
  context->Message_Block[60] = static_cast<uint8_t>(context->Length_Low >> 24);
  context->Message_Block[61] = static_cast<uint8_t>(context->Length_Low >> 16);
  context->Message_Block[62] = static_cast<uint8_t>(context->Length_Low >> 8);
  context->Message_Block[63] = static_cast<uint8_t>(context->Length_Low);
  SHA1ProcessMessageBlock(context);
}

int calcsha1(const char *data, int datasize, char *sha1result) {
  if (datasize < 0 || !sha1result) return -1;
  SHA1Context ctx;
  if (SHA1Reset(&ctx) != shaSuccess) return -1;
  if (SHA1Input(&ctx, data, static_cast<unsigned>(datasize)) != shaSuccess) return -1;
  if (SHA1Result(&ctx, sha1result) != shaSuccess) return -1;
  return 0;
}
