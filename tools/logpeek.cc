// logpeek: lists the request logs of ../logs/, or prints records of one of
// them field by field.
//
//   logpeek -d                      the logs: start end bytes records path
//   logpeek [-f name] [-s n] [-l n]  records of ../logs/name from record n
//                                   (negative: from the end); without -f the
//                                   newest log's last 50 records
//
// Output and the program's own errors go to standard output; exit status 1
// when no log can be opened or the start record cannot be read, else 0.
// The viewer runtime start-up always reports "Failed on Opening Database"
// on standard error (it has no database to open); that is expected.
#include <getopt.h>
#include <locale.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <string_view>

#include "lib/base/kxnet.h"
#include "lib/base/kxpath.h"
#include "lib/logfiles/logfile.h"
#include "lib/logfiles/logfileload.h"
#include "lib/record/record.h"
#include "src/support/runtime.h"

namespace {

constexpr int kDefaultCount = 100;
constexpr int kTailCount = 50;
// The window of the listing: every log whatever its times.
constexpr time_t kListEnd = 2147483647;

void usage() {
  fputs("Usage:\tlogpeek -f filename -s start_from_record -l records_to_read\n\tlogpeek -d\n", stdout);
}

// The viewer-mode runtime: configuration lines that silence every log, and
// the logging module. Its server identification fails without database
// variables; the viewer needs neither, so the result does not matter.
void start_viewer_runtime() { (void)support_viewer_initialize(); }

// --- Values of a decoded row (read by record_value_*: any byte offset) ------

// The address text of an IP value; empty when the entry holds no address.
std::string address_text(const Record &r) {
  kx_ipaddr ip;
  if (!record_value_address(r, &ip)) return {};
  char buf[KXNET_ADDRSTRLEN] = "";
  record_ip_ntop(&ip, buf, sizeof buf);
  return buf;
}

// Category numbers, one per byte up to the NUL (within the value's own size
// for a fixed-size value), printed unsigned.
void print_bytes(const Record &r) {
  const unsigned char *p = static_cast<const unsigned char *>(r.data);
  const char *text = record_value_text(r);
  size_t n = text ? strlen(text) : record_value_size(r.datatype);
  for (size_t i = 0; i < n && p[i]; i++) printf(i ? ",%u" : "%u", static_cast<unsigned>(p[i]));
  fputs("\n", stdout);
}

void print_time(const Record &r) {
  time_t t;
  if (StorageType(r.datatype) == STORT_INT64)
    t = static_cast<time_t>(static_cast<int64_t>(record_value_uint(r)));
  else if (StorageType(r.datatype) == STORT_INT32)
    t = static_cast<int32_t>(static_cast<uint32_t>(record_value_uint(r)));
  else
    t = static_cast<time_t>(record_value_uint(r));
  struct tm tm;
  char buf[64] = "";
  if (localtime_r(&t, &tm)) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  printf("%s\n", buf);
}

// A number or text by the row's storage; nothing for other storage.
void print_other(const Record &r) {
  switch (StorageType(r.datatype)) {
    case STORT_INT8:
    case STORT_INT16:
    case STORT_INT32:
      printf("%u\n", static_cast<unsigned>(record_value_uint(r)));
      break;
    case STORT_INT64:
      printf("%llu\n", static_cast<unsigned long long>(record_value_uint(r)));
      break;
    case STORT_STR:
      printf("%s\n", record_value_text(r));
      break;
    default:
      break;
  }
}

// One value: printed as the reader's layout types the field (ptype), read
// as the row holds it (the row's type byte tells the value's form).
void print_value(const Record &r, unsigned ptype) {
  if (!r.data) {
    // A field the record does not carry: an empty line where a value goes.
    unsigned s = StorageType(r.datatype);
    if (ptype != PTYPE_UNDEFINED && ptype <= PTYPE_BOOL) fputs("\n", stdout);
    else if ((s >= STORT_INT8 && s <= STORT_INT64) || s == STORT_STR) fputs("\n", stdout);
    return;
  }
  switch (ptype) {
    case PTYPE_STRING:
      if (const char *text = record_value_text(r))
        printf("%s\n", text);
      else
        print_other(r);
      break;
    case PTYPE_OCTETS:
    case PTYPE_CATS:
      print_bytes(r);
      break;
    case PTYPE_TIMESTAMP:
      print_time(r);
      break;
    case PTYPE_IP:
      printf("%s\n", address_text(r).c_str());
      break;
    case PTYPE_CHAR:
      // The value's first byte: the character of a text, the low byte of a
      // (little-endian) number.
      printf("%c\n", static_cast<char>(*static_cast<const unsigned char *>(r.data)));
      break;
    case PTYPE_BOOL:
      fputs(record_value_uint(r) != 0 ? "on\n" : "off\n", stdout);
      break;
    default:
      print_other(r);
      break;
  }
}

// --- The two runs ---------------------------------------------------------------

int list_logs() {
  ReqLogFiles *list =
      logfileload_init(0, kListEnd, 1, REQFILEUTILS_REQUEST_TYPE_ALL, nullptr, nullptr);
  if (!list) return 0;
  for (ReqLogFile *f = list->head; f; f = f->next) {
    printf("%ld %ld %lld", static_cast<long>(f->start), static_cast<long>(f->end),
           static_cast<long long>(f->bytes));
    off_t n = 0;
    if (f->reader->methods->GetRecordsNumber(f->reader, &n) == 0)
      printf(" %zd", static_cast<ssize_t>(n));
    else
      fputs(" -1", stdout);
    printf(" %s\n", f->filename);
  }
  logfileload_free(list);
  return 0;
}

// The reader of the log with the latest start (empty logs left out), now the
// caller's; null when there is none.
LogFileReaderPtr newest_log() {
  ReqLogFiles *list =
      logfileload_init(0, time(nullptr), 0, REQFILEUTILS_REQUEST_TYPE_ALL, nullptr, nullptr);
  LogFileReaderPtr reader = nullptr;
  if (ReqLogFile *last = logfileload_last(list)) {
    reader = last->reader;
    last->reader = nullptr;
  }
  logfileload_free(list);
  return reader;
}

int print_records(LogFileReaderPtr reader, off_t first, long long count) {
  const LogFileReaderMethods *m = reader->methods;
  RecordPtr row = m->AllocateRecords(reader, 0);
  if (!row) {
    // A log whose header lines cannot be read has no layout: it cannot be
    // opened as a log at all, which is not a memory shortage.
    fputs(m->GetFieldsNumber(reader) > 0 ? "-ERROR Memory allocation error\n" : "-ERROR No files\n", stdout);
    m->FreeReader(reader);
    return 1;
  }
  const int nfields = m->GetFieldsNumber(reader);
  char **names = m->GetFieldsNames(reader);
  const unsigned char *types = m->GetFieldsPrintTypes(reader);
  // Names and types go with the row's entries by position; a header naming
  // fewer fields than it declares leaves the rest unnamed.
  int nnames = 0;
  while (names && nnames < nfields && names[nnames]) nnames++;
  fputs("+FIELDS ", stdout);
  for (int i = 0; i < nnames; i++) printf(i ? ",%s" : "%s", names[i]);
  fputs("\n", stdout);

  int status = 0;
  if (m->GetRecByNumber(reader, row, first) != 0) {
    fputs("-ERROR Wrong start record\n", stdout);
    status = 1;
  } else {
    for (long long i = 0; i < count; i++) {
      fputs("+RECORD\n", stdout);
      for (int f = 0; f < nfields && row[f].type != 0; f++) {
        printf("%s ", f < nnames ? names[f] : "");
        print_value(row[f], types ? PrintType(types[f]) : PrintType(row[f].datatype));
      }
      fputs("+ENDRECORD\n", stdout);
      if (m->GetNextRec(reader, row) != 0) break;
    }
    fputs("+END\n", stdout);
  }
  m->FreeRecords(reader, row);
  m->FreeReader(reader);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  setlocale(LC_ALL, "C");
  kxpath_init();
  start_viewer_runtime();

  bool list = false;
  const char *file = nullptr;
  off_t first = 0;
  long long count = kDefaultCount;
  int c;
  while ((c = getopt(argc, argv, "?hdf:s:l:")) != -1) {
    switch (c) {
      case 'd':
        list = true;
        break;
      case 'f':
        file = optarg;
        break;
      case 's':
        first = static_cast<off_t>(strtoll(optarg, nullptr, 10));
        break;
      case 'l':
        count = strtoll(optarg, nullptr, 10);
        break;
      default:
        usage();
        return 0;
    }
  }
  if (list) return list_logs();

  LogFileReaderPtr reader = nullptr;
  if (file) {
    std::string path = std::string(REQFILEUTILS_REQUEST_PATH) + file;
    reader = LogFileTest(path.c_str(), 0, nullptr, nullptr);
  } else {
    reader = newest_log();
    first = -kTailCount;
    count = kTailCount;
  }
  if (!reader) {
    fputs("-ERROR No files\n", stdout);
    return 1;
  }
  return print_records(reader, first, count);
}
