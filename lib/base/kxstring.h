// Small string utilities shared by the lists, the report engine and the tools.
//
// Conventions: a function that returns a new heap string (or array) hands it
// to the caller, who frees it with free(); a function that works "in place"
// modifies its argument and allocates nothing. Read-only arguments are const,
// so plain char* texts may be passed everywhere.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>

// The sixteen bytes of the aligned block at p (16-byte aligned), for scans
// of NUL-terminated texts a block at a step. An aligned load never reaches a
// page the text does not touch, but in a text's first and last blocks it
// reads bytes before the text and past its NUL; callers mask those bits off,
// which is why the address sanitizer may not watch the load.
[[gnu::no_sanitize_address]] inline __m128i text_block(const char *p) {
  return _mm_load_si128(reinterpret_cast<const __m128i *>(p));
}

// Bit i set when byte i of block equals byte i of c.
inline unsigned byte_bits(__m128i block, __m128i c) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, c)));
}

// Bit i set when byte i of block is c.
inline unsigned byte_bits(__m128i block, char c) { return byte_bits(block, _mm_set1_epi8(c)); }
#endif

// A growable text made by str_new() and grown by str_add().
struct STRING {
  int length;     // characters held (not counting the NUL)
  int allocated;  // bytes allocated for data
  char *data;     // heap, always NUL-terminated
};

// strdup of a non-null string, else null.
#define string_new(s) ((s) != nullptr ? strdup(s) : nullptr)

// Splits str in place at every delim (each replaced by NUL, empty fields
// kept) and returns a new null-terminated array of pointers into str. The
// caller frees only the array. An empty text gives one empty field. Null for
// a null str or on allocation failure.
char **string_explode(char *str, char delim);

// As string_explode but at most limit fields: after limit-1 splits the last
// field keeps the rest of the text with its delimiters. A limit below 1 means
// no limit. *num (when not null) receives the field count (0 on failure).
char **string_explode_limit(char *str, char delim, int limit, int *num);

// Splits in place at every blank outside double-quoted stretches; inside
// quotes a backslash protects the next character; an unterminated quote runs
// to the end of the text; quotes stay in the fields; consecutive blanks give
// empty fields. New null-terminated pointer array (the first field is str
// itself); null for a null str or on allocation failure.
char **string_explode_quotes(char *str);

// New heap string with every double quote removed except one escaped by a
// backslash; the escapes \" \' \\ \a \b \f \n \r \t \v become their
// characters; a backslash before any other character is kept. Null for a
// null text or on allocation failure.
char *string_extract_from_quotes(const char *text);

// New heap integer holding the decimal value of text (strtoull / strtoll,
// base 10, no error check). Null for a null text or on allocation failure.
uint64_t *string_extract_number(const char *text);
uint64_t *string_extract_long_number(const char *text);
int64_t *string_extract_number_signed(const char *text);

// Lower-cases str in place; null-safe. string_tolower returns 0,
// string_lcase returns str.
int string_tolower(char *str);
char *string_lcase(char *str);

// Normalises a URL in place for lookups: "%" and two hex digits become the
// decoded byte (a decoded blank becomes "+"), a literal blank becomes "+",
// everything is lower-cased, an invalid escape is kept (lower-cased). The
// text can only shrink. Null-safe.
void string_lowercase_url(char *url);

// Grows the heap string str (null counts as empty) with realloc and appends
// len bytes of more and a NUL. Returns the new pointer, or null on failure
// (str is then unchanged and still the caller's).
char *string_append(char *str, const char *more, int len);

// string_append of the whole of add (a null add appends nothing).
char *string_add(char *base, const char *add);

// Replaces every from character by to, in place; null-safe; returns str.
char *string_replace(char *str, char from, char to);

// New heap string with every non-overlapping occurrence of find (left to
// right) replaced by replace; a copy of str when find does not occur or is
// empty. Null when an argument is null or on allocation failure.
char *string_replace_string_global(const char *str, const char *find, const char *replace);

// As above but only the first occurrence is replaced.
char *string_replace_string(const char *str, const char *find, const char *replace);

// Pointer to the first character of str that is not whitespace (isspace);
// str itself is unchanged. Null for null.
char *string_ltrim(char *str);

// Cuts trailing whitespace in place; returns str (null-safe).
char *string_rtrim(char *str);

// New heap string of 20 random characters from [a-zA-Z0-9], drawn from the
// kernel's random source (getrandom). Null when no randomness or memory.
char *string_security_key();

// New heap string quoting str as one shell argument: a single quote at each
// end, every single quote inside written as '\''. A null or empty str gives
// '' so the argument keeps its place. Null on allocation failure.
char *string_escapeshellarg(const char *str);

// Converts hex digits pairwise into out, high nibble first, until the text
// ends or size bytes are filled; an odd last digit leaves its byte with only
// the high nibble. 0 ok; 1 on a non-hex character (bytes written stay) or a
// null or zero-size argument.
int string_hex_to_bin(const char *hex, unsigned char *out, int size);

// Value 0-15 of one hex digit, -1 for any other character.
int string_hex_digit(char c);

// New heap string of all items (null-terminated array), each followed by
// delim; string_nimplode takes the first num items (stopping at a null).
char *string_implode(char **items, char delim);
char *string_nimplode(char **items, char delim, int num);

// New heap copy of str when it is shorter than shortsize characters, else its
// first shortsize-4 characters followed by "..."; the result never exceeds
// shortsize-1 characters (so it fits a buffer of shortsize bytes). Null for
// a null str or on allocation failure.
char *string_truncate_withdots(const char *str, int shortsize);

// Non-overlapping occurrences of find in str; 0 for null or empty arguments.
int string_count_string_occurences(const char *str, const char *find);

// The same over the first str_len bytes of str and find_len bytes of find
// (NUL bytes count as any other); 0 for null arguments or non-positive
// lengths.
int string_count_string_occurences_l(const char *str, int str_len, const char *find, int find_len);

// Decodes the escape whose text starts at in (just after its backslash) into
// *out and returns how many bytes of in it takes: \ooo octal (one to three
// digits), \xHH (one or two hex digits; "\x" without one stands for "x"),
// \b \f \n \r \t; any other character stands for itself. 0 when in is at
// the end of the text (nothing to decode) or an argument is null.
int string_unescape_char(const char *in, char *out);

// Decodes every backslash escape of str in place (see string_unescape_char);
// a backslash at the very end is kept. An escape giving a NUL byte ends the
// text there. Returns str (null-safe).
char *string_unescape_string(char *str);

// New heap 32-bit value of a dotted IPv4 text of exactly four decimal fields
// of one to three digits, each 0 to 255, the first field in the high byte;
// null for any other text or on allocation failure.
uint32_t *string_extract_ip(const char *text);

// New heap string in which & " < > become &amp; &quot; &lt; &gt; and the
// Latin-1 bytes 0xA0 to 0xFE their HTML named entities (&nbsp; to &thorn;);
// every other byte, 0xFF included, is copied. Null for a null str or on
// allocation failure.
char *string_html_entities(const char *str);

// A new STRING with 1000 bytes allocated and empty text; null on failure.
// Free with str_free.
STRING *str_new();

// Appends printf output to s, growing it when needed. -1 ok, 0 on failure
// (s unchanged).
int str_add(STRING *s, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Frees s and its data; null-safe.
void str_free(STRING *s);
