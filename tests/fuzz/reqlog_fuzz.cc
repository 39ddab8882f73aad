// Opens and reads a request log of each format made from arbitrary bytes.
//
// Input: one byte choosing the format (standard, extended, text), two bytes
// (little-endian) giving the length of the index, the index, then the .log.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "lib/logfiles/logfile.h"
#include "tests/fixtures/reqlog_writer.h"
#include "tests/fixtures/tmpdir.h"

namespace {

// The logs folder, made once; the process keeps its working folder (the
// corpus may be given by relative paths).
TempDir *dir = nullptr;
std::string *logs = nullptr;

void cleanup() {
  delete logs;
  logs = nullptr;
  delete dir;
  dir = nullptr;
}

void exercise(LogFileReaderPtr r) {
  const LogFileReaderMethods *m = r->methods;
  m->GetTimeBounds(r);
  m->GetFileSize(r);
  m->GetFileType(r);
  int n = m->GetFieldsNumber(r);
  unsigned char *ids = m->GetFieldsList(r);
  unsigned char *types = m->GetFieldsPrintTypes(r);
  char **names = m->GetFieldsNames(r);
  size_t sum = 0;
  for (int i = 0; i < n && ids && types; ++i) sum += ids[i] + types[i];
  for (int i = 0; names && names[i]; ++i) sum += strlen(names[i]);
  RecordPtr row = m->AllocateRecords(r, 4);
  if (row) {
    int count = 0;
    for (int rc = m->GetFirstRec(r, row); rc == 0 && count < 100000; rc = m->GetNextRec(r, row), ++count) {
      sum += static_cast<size_t>(m->RecordTime(r, row)) + static_cast<size_t>(m->RecordOffset(r));
      for (int i = 0; row[i].type; ++i)
        if (row[i].data && (PrintType(row[i].datatype) == PTYPE_STRING)) sum += strlen(static_cast<char *>(row[i].data));
    }
    for (off_t k : {off_t{0}, off_t{-1}, off_t{2}, off_t{-3}}) {
      if (m->GetRecByNumber(r, row, k) == 0) {
        sum += static_cast<size_t>(m->RecordTime(r, row));
        m->GetNextRec(r, row);
      }
    }
    for (time_t t : {time_t{0}, time_t{1000000005}, time_t{1700000002}, time_t{2000000000}})
      if (m->GetRecByTime(r, row, t) == 0) sum += static_cast<size_t>(m->RecordTime(r, row));
  }
  off_t c;
  m->GetRecordsNumber(r, &c);
  m->GetReportRecordsNumber(r, 1000000000, 1700000005, &c);
  m->FreeRecords(r, row);
  if (sum == 1) fputc(0, stderr);  // keeps the reads from being optimised away
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!logs) {
    dir = new TempDir("kxreqlog_fuzz");
    if (dir->path().empty()) abort();
    logs = new std::string(dir->file("logs"));
    if (mkdir(logs->c_str(), 0755) != 0) abort();
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    atexit(cleanup);
  }
  if (size < 3) return 0;
  static const char *names[] = {"kxlogger_requests_bin_f", "kxlogger_requests_ext_f", "kxlogger_requests_txt_f"};
  std::string base = *logs + "/" + names[data[0] % 3];
  size_t ndx_len = static_cast<size_t>(data[1] | data[2] << 8);
  if (ndx_len > size - 3) ndx_len = size - 3;
  std::string ndx(reinterpret_cast<const char *>(data + 3), ndx_len);
  std::string log(reinterpret_cast<const char *>(data + 3 + ndx_len), size - 3 - ndx_len);
  reqlog::write_file(base + ".ndx", ndx);
  reqlog::write_file(base + ".log", log);
  unlink((base + ".rep").c_str());
  if (LogFileReaderPtr r = LogFileTest((base + ".log").c_str(), 1, nullptr, nullptr)) {
    exercise(r);
    r->methods->FreeReader(r);
  }
  return 0;
}
