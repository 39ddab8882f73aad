// Fuzzes the report table reader and reportpeek's printing over arbitrary
// files: every input is one table file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "src/table/table_file.h"

#define REPORTPEEK_NO_MAIN
#include "tools/reportpeek.cc"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // reportpeek prints to standard output; keep the fuzzer's own output readable.
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = memfd_create("report_table", 0);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string name = "/proc/self/fd/" + std::to_string(fd);

  if (READ_TBL *t = read_open(name.c_str())) {
    size_t rows = 0;
    while (read_next(t)) {
      if (++rows > size) abort();  // every row takes at least one byte
      if (read_record_length(t) <= 0) abort();
    }
    read_close(t);
  }
  if (READ_TBL *t = read_open(name.c_str())) {
    while (RECORD *row = read_next_separate(t)) free(row);
    read_close(t);
  }

  const char *runs[][6] = {
      {"reportpeek", name.c_str()},
      {"reportpeek", "-c", "-m", "a,,\"c\",d", name.c_str()},
      {"reportpeek", "-j", "-r", "3", name.c_str()},
      {"reportpeek", "-S", "10.0.0.1", name.c_str()},
      {"reportpeek", "-S", "on", name.c_str()},
      {"reportpeek", "-s", "1", name.c_str()},
  };
  for (auto &run : runs) {
    int argc = 0;
    while (argc < 6 && run[argc]) argc++;
    reportpeek_run(argc, const_cast<char **>(run));
  }
  close(fd);
  return 0;
}
