// The text request-log format: one record per line, fields as tokens
// separated by single blanks. Two optional header lines declare the layout:
//
//   1000000001 7:43 1:16 ...      field id ":" type byte, both hexadecimal
//   1000000002 DATE URI ...       the field names
//
// Without them the layout is DATE URI IP USER GROUP DENIEDFLAG CATS. A date
// token is Unix seconds (a number above 1000000000) or "%Y-%m-%d %H:%M:%S"
// (two tokens) in local time.
//
// In a decoded row: timestamps are 64-bit values in the row's own storage;
// IP entries (type 0x57) hold a kx_ipaddr (IPv4 as a host-order value);
// strings point into the read buffer (their separator overwritten with NUL);
// other print types are decimal numbers stored by storage type.
#pragma once

#include <string>
#include <vector>

#include "lib/logfiles/logfile_format.h"

#define CODES_HEADER_TIMESTAMP 1000000001
#define NAMES_HEADER_TIMESTAMP 1000000002
#define BUFF_SIZE 1024
#define DATE_LENGTH 20

extern const LogFileReaderMethods TxtMethods;

// The default layout (7 fields; TxtFields is 0-terminated).
extern unsigned char TxtFields[];
extern unsigned char TxtFieldTypes[];
extern char *TxtFieldNames[];

// Local-time conversion of "%Y-%m-%d %H:%M:%S" texts, caching each hour's
// base time so that most records need no mktime, and the hour's text so
// that most dates need no parse of their day and hour either.
struct TxtTimeCache {
  long long key = -1;    // year*1000000 + month*10000 + day*100 + hour
  time_t base = 0;       // local time of the hour's start
  bool linear = false;   // no clock change within the hour
  bool has_text = false; // text_head and text_tail hold the hour as text
  uint64_t text_head = 0, text_tail = 0;  // bytes 0-7 and 5-12 of "YYYY-MM-DD HH"
  time_t convert(int year, int mon, int day, int hour, int min, int sec) {
    long long k = ((static_cast<long long>(year) * 100 + mon) * 100 + day) * 100 + hour;
    if (k == key && linear) return base + min * 60 + sec;
    return convert_slow(k, year, mon, day, hour, min, sec);
  }
  // A new hour, or one the clock jumps in (key k): mktime.
  time_t convert_slow(long long k, int year, int mon, int day, int hour, int min, int sec);
  // Keeps the hour of the date at p as text when p holds "YYYY-MM-DD HH"
  // at fixed places and that is the cached hour without a clock change.
  // Reads 13 bytes.
  void remember_text(const unsigned char *p);
  // The time of "YYYY-MM-DD HH:MM:SS" at p followed by a separator (blank,
  // newline or NUL), when its first 13 bytes are the remembered hour's and
  // its minute and second are valid, as convert gives it; else -1. Reads
  // 20 bytes.
  time_t same_hour(const unsigned char *p) const;
};

struct TxtLogReaderData : CommonReaderData {
  TxtLogReaderData(const char *name);
  ~TxtLogReaderData() override;

  off_t data_begin = 0;              // offset after the header lines
  char *field_names_str = nullptr;   // own copy of the names
  char **field_names = nullptr;      // the names, pointing into it
  bool has_header_layout = false;    // layout arrays are the reader's own
  std::vector<unsigned char> own_fields, own_ftypes;
  TxtTimeCache time_cache;
};

// The time at the start of len bytes: Unix seconds (a number above
// 1000000000 followed by a blank or newline) or "%Y-%m-%d %H:%M:%S" in local
// time; -1 when there is none. Looks at no more than len bytes (at most
// DATE_LENGTH are needed).
time_t get_text_date(const char *p, int len);

// Reads the header lines into the layout (the default layout when the file
// has none). 0, or -1 for a malformed header (no layout is kept).
int TxtGetHeader(TxtLogReaderData *d);

// The reader of a text log, or null: names starting with
// REQFILEUTILS_REQUEST_TYPE_TEXT_PREFIX whose first DATE_LENGTH bytes begin
// with a date (or an empty file when loadZeroSize is non-zero).
LogFileReaderPtr KXTextLogFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                                   void *filter);

// A text reader of filename (copied); null when out of memory.
LogFileReaderPtr CreateTextFileReader(const char *filename);
