// The standard binary request-log format: packed records of seven fixed
// fields from offset 0, no header, integers little-endian.
//
//   DATE (id 7)        4 bytes, signed Unix time
//   IP (2)             4 bytes, IPv4 as a host-order 32-bit value
//   USER (3)           text and NUL
//   GROUP (4)          text and NUL
//   CATS (5)           0xFF then the list as text, or category-number bytes;
//                      then NUL
//   DENIEDFLAG (6)     1 byte, non-zero = denied
//   URI (1)            text and NUL
//
// In a decoded row the IP entry points at the row's own kx_ipaddr (family 2,
// host-order value); CATS has type 0x16 (text form) or 0x36 (number bytes)
// as the record holds it; the other entries point into the read buffer.
#pragma once

#include "lib/logfiles/logfile.h"

extern const LogFileReaderMethods SBMethods;

// Layout tables (7 fields; SBFields is 0-terminated).
extern unsigned char SBFields[];
extern unsigned char SBFTypes[];
extern char *SBFNames[];

#define LOGGER_CATSTR_PREFIX 0xFF

// The reader of a standard binary log, or null. Accepts names starting with
// REQFILEUTILS_REQUEST_TYPE_BINARY_PREFIX or the older
// REQFILEUTILS_OLD_REQUEST_TYPE_BINARY_PREFIX; the file must hold a first
// time value at or after THRESHOLD_DATE, or be empty when loadZeroSize is
// non-zero.
LogFileReaderPtr KXBinaryFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                                  void *filter);

// A standard binary reader of filename (copied); null when out of memory.
LogFileReaderPtr CreateBinaryReader(const char *filename);
