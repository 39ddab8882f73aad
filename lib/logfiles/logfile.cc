#include "lib/logfiles/logfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "lib/logfiles/logfile_eb.h"
#include "lib/logfiles/logfile_format.h"
#include "lib/logfiles/logfile_sb.h"
#include "lib/logfiles/logfile_txt.h"

const LogFileTestFunc LogFileTesters[] = {KXTextLogFileTest, KXExtBinaryFileTest, KXBinaryFileTest,
                                          nullptr};

LogFileReaderPtr LogFileTest(const char *filename, int loadZeroSize, ReqFileFilterFunc filter_func,
                             void *filter) {
  if (!filename) return nullptr;
  for (const LogFileTestFunc *t = LogFileTesters; *t; ++t) {
    if (LogFileReaderPtr r = (*t)(filename, loadZeroSize, filter_func, filter)) return r;
  }
  return nullptr;
}

int LogFileReadable(LogFileReaderPtr r, off_t *indexed, off_t *readable) {
  if (!r || !r->prop) return -1;
  return logfile_readable(r->prop, r->prop->hooks, indexed, readable);
}
