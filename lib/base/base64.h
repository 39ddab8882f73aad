// Base64 and URL decoding.
#pragma once

#define BASE64_VALUE_SZ 256
#define BASE64_RESULT_SZ 8192

// The alphabet, in digit order.
extern const char base64_code[];

// Decodes text into result, skipping every character outside the alphabet
// ("=" counts as the digit 0); decoding stops before a group that might not
// fit with its NUL, so at most result_size-2 bytes are decoded; an incomplete
// last group is dropped; result is NUL-terminated at the decoded length.
// Returns the byte count less any trailing NUL bytes (from padding). A null
// text gives 0 and leaves result untouched; so does a result_size below 1.
int base64_decode(const char *text, char *result, int result_size);

// As base64_decode without trimming trailing NUL bytes from the count.
int base64_decode_bin(const char *text, char *result, int result_size);

// New heap string in which "+" becomes a blank and "%" followed by two
// characters becomes the byte of those two hex digits (not validated: a
// decimal digit counts its value, any other character its lower-case code
// minus 87); a "%" not followed by two characters is dropped. Null for a null
// str or on allocation failure.
char *kxurldecode(const char *str);

// Standard Base64 with "=" padding of the NUL-terminated text (respectively
// the len bytes at data) into result: a group of four characters is written
// only while at least 5 bytes of room remain, so the result always ends in
// a NUL (for result_size of 1 or more). Returns the characters written.
int base64_encode(const char *text, char *result, int result_size);
int base64_encode_bin(const void *data, int len, char *result, int result_size);

// 0 when each of the first size characters of text is in the alphabet or is
// "=", else 1 (also for a null text; a text shorter than size fails at its
// NUL).
int base64_isEncoded(const char *text, int size);
