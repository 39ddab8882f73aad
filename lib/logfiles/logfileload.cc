#include "lib/logfiles/logfileload.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <string_view>

namespace {

constexpr off_t kMiB = 1048576;

struct DirCloser {
  DIR *d;
  ~DirCloser() {
    if (d) closedir(d);
  }
};

void free_entry(ReqLogFile *e) {
  if (e->reader) e->reader->methods->FreeReader(e->reader);
  free(e->filename);
  delete e;
}

// Places e by its start: before the first entry starting later, and among
// entries of the same start first when it holds data, last when it is empty.
void insert_sorted(ReqLogFiles *list, ReqLogFile *e) {
  ReqLogFile *prev = nullptr;
  ReqLogFile *at = list->head;
  while (at && (at->start < e->start || (at->start == e->start && e->bytes == 0))) {
    prev = at;
    at = at->next;
  }
  e->prev = prev;
  e->next = at;
  if (at) at->prev = e;
  if (prev)
    prev->next = e;
  else
    list->head = e;
}

bool ends_with_log(std::string_view name) {
  constexpr std::string_view ext = LOGFILE_EXT;
  return name.size() >= ext.size() && name.substr(name.size() - ext.size()) == ext;
}

}  // namespace

ReqLogFiles *logfileload_init(time_t start, time_t end, int loadZeroSize, int logType,
                              ReqFileFilterFunc filter_func, void *filter) {
  ReqLogFiles *list = new (std::nothrow) ReqLogFiles;
  if (!list) return nullptr;
  DirCloser dir{opendir(REQFILEUTILS_REQUEST_PATH)};
  if (!dir.d) {
    delete list;
    return nullptr;
  }
  // An inverted window holds no instant: no log meets it (its record counts
  // would come out negative), so no log is even opened.
  while (start <= end) {
    const struct dirent *de = readdir(dir.d);
    if (!de) break;
    std::string_view name = de->d_name;
    if (!ends_with_log(name)) continue;
    std::string path;
    try {
      path = std::string(REQFILEUTILS_REQUEST_PATH).append(name);
    } catch (const std::bad_alloc &) {
      logfileload_free(list);
      return nullptr;
    }
    // The testers refuse all but regular files (a directory named like a
    // log would otherwise read as an empty one).
    LogFileReaderPtr reader = LogFileTest(path.c_str(), loadZeroSize, filter_func, filter);
    if (!reader) continue;
    const LogFileReaderMethods *m = reader->methods;
    if (logType != REQFILEUTILS_REQUEST_TYPE_ALL && m->GetFileType(reader) != logType) {
      m->FreeReader(reader);
      continue;
    }
    ReqLogFile *e = new (std::nothrow) ReqLogFile;
    char *copy = e ? strdup(path.c_str()) : nullptr;
    if (!copy) {
      delete e;
      m->FreeReader(reader);
      logfileload_free(list);
      return nullptr;
    }
    e->reader = reader;
    e->filename = copy;
    const LogFileTimeBounds *b = m->GetTimeBounds(reader);
    e->start = b->start;
    e->end = b->end;
    e->bytes = m->GetFileSize(reader);
    if (end < e->start || e->end < start) {
      free_entry(e);
      continue;
    }
    off_t n = 0;
    e->records = m->GetReportRecordsNumber(reader, start, end, &n) == 0 ? n : 0;
    insert_sorted(list, e);
    list->count++;
    list->megs += e->bytes / kMiB;
    list->records += e->records;
  }
  list->current = list->head;
  return list;
}

void logfileload_free(ReqLogFiles *list) {
  if (!list) return;
  ReqLogFile *e = list->head;
  while (e) {
    ReqLogFile *next = e->next;
    free_entry(e);
    e = next;
  }
  delete list;
}

ReqLogFilePtr logfileload_last(ReqLogFiles *list) {
  if (!list || !list->current) return nullptr;
  ReqLogFile *e = list->current;
  while (e->next) e = e->next;
  return e;
}
