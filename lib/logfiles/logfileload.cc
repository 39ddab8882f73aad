#include "lib/logfiles/logfileload.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include <new>
#include <string>
#include <string_view>

#include "lib/base/kxlog.h"
#include "lib/base/kxraii.h"

namespace {

constexpr off_t kMiB = 1048576;

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
  kx_dir_ptr dir{opendir(REQFILEUTILS_REQUEST_PATH)};
  if (!dir) {
    delete list;
    return nullptr;
  }
  // An inverted window holds no instant: no log meets it (its record counts
  // would come out negative), so no log is even opened.
  while (start <= end) {
    const struct dirent *de = readdir(dir.get());
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
    // A log cut short (or whose last index entries lead nowhere) shows the
    // records it holds; that the others are lost is worth a line.
    off_t indexed = 0, readable = 0;
    if (LogFileReadable(reader, &indexed, &readable) == 0 && readable < indexed)
      kxlog_send(KXLOG_MESSAGE, "Request log %s is damaged: %lld of its %lld indexed records can be read\n",
                 e->filename, static_cast<long long>(readable), static_cast<long long>(indexed));
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

int logfileload_filestats(int logType, time_t *start, time_t *end, off_t *size, int64_t *records) {
  ReqLogFiles *list = logfileload_init(0, std::numeric_limits<time_t>::max(), 0, logType, nullptr, nullptr);
  if (!list) return -1;
  time_t first = 0, last = 0;
  off_t bytes = 0;
  int64_t total = 0;
  const time_t now = time(nullptr);
  for (ReqLogFile *e = list->head; e; e = e->next) {
    bytes += e->bytes;
    if (e->start > 0 && (first == 0 || e->start < first)) first = e->start;
    if (e->end > last) last = e->end;
    off_t n = 0;
    if (e->reader->methods->GetReportRecordsNumber(e->reader, 0, now, &n) == 0) total += n;
  }
  logfileload_free(list);
  if (start) *start = first;
  if (end) *end = last;
  if (size) *size = bytes;
  if (records) *records = total;
  return 0;
}

int logfileload_remove(ReqLogFiles *list, ReqLogFile *entry) {
  if (!list || !entry) return -1;
  ReqLogFile *e = list->head;
  while (e && e != entry) e = e->next;
  if (!e) return -1;
  if (e->prev)
    e->prev->next = e->next;
  else
    list->head = e->next;
  if (e->next) e->next->prev = e->prev;
  if (list->current == e) list->current = e->next;
  list->count--;
  free_entry(e);
  return 0;
}

int logfileload_remove_by_name(ReqLogFiles *list, const char *name) {
  if (!list || !name) return -1;
  for (ReqLogFile *e = list->head; e; e = e->next)
    if (e->filename && strcmp(e->filename, name) == 0) return logfileload_remove(list, e);
  return -1;
}

namespace {

// The plain file name of path when path is REQFILEUTILS_REQUEST_PATH + a
// name ending in ".log" without any "/"; empty otherwise.
std::string_view log_name_of(std::string_view path) {
  constexpr std::string_view folder = REQFILEUTILS_REQUEST_PATH;
  if (path.substr(0, folder.size()) != folder) return {};
  std::string_view name = path.substr(folder.size());
  if (name.find('/') != std::string_view::npos || !ends_with_log(name) || name.size() == strlen(LOGFILE_EXT))
    return {};
  return name;
}

// Removes the regular file name of the folder dir (never a link, never
// through one). 0 removed, 1 absent, -1 refused or failed (logged).
int remove_regular(int dir, const std::string &name) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return 1;
    kxlog_send(KXLOG_ERROR, "logfileload: could not examine %s%s: %s\n", REQFILEUTILS_REQUEST_PATH, name.c_str(),
               strerror(errno));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    kxlog_send(KXLOG_ERROR, "logfileload: %s%s is not a regular file, not removed\n", REQFILEUTILS_REQUEST_PATH,
               name.c_str());
    return -1;
  }
  // unlinkat never follows a link: a file swapped for one meanwhile loses
  // only the link.
  if (unlinkat(dir, name.c_str(), 0) != 0) {
    kxlog_send(KXLOG_ERROR, "logfileload: could not remove %s%s: %s\n", REQFILEUTILS_REQUEST_PATH, name.c_str(),
               strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int logfileload_unlink_file(const char *path) {
  if (!path) return -1;
  std::string_view name = log_name_of(path);
  if (name.empty()) {
    kxlog_send(KXLOG_ERROR, "logfileload: %s is not a log of %s, not removed\n", path, REQFILEUTILS_REQUEST_PATH);
    return -1;
  }
  kx_fd dir(open(REQFILEUTILS_REQUEST_PATH, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    kxlog_send(KXLOG_ERROR, "logfileload: could not open %s: %s\n", REQFILEUTILS_REQUEST_PATH, strerror(errno));
    return -1;
  }
  std::string base(name.substr(0, name.size() - strlen(LOGFILE_EXT)));
  int rc = 0;
  int log = remove_regular(dir.get(), base + LOGFILE_EXT);
  if (log == 1) {
    kxlog_send(KXLOG_ERROR, "logfileload: %s does not exist\n", path);
    rc = -1;
  } else if (log < 0) {
    rc = -1;
  }
  for (const char *ext : {NDXFILE_EXT, REPFILE_EXT})
    if (remove_regular(dir.get(), base + ext) < 0) rc = -1;
  return rc;
}

int logfileload_unlink(const ReqLogFile *entry) {
  if (!entry) return -1;
  return logfileload_unlink_file(entry->filename);
}

int logfileload_cleanup(ReqLogFiles *list) {
  if (!list) return -1;
  int rc = 0;
  for (ReqLogFile *e = list->current; e;) {
    ReqLogFile *next = e->next;
    if (e->records == 0) {
      if (logfileload_unlink(e) == 0)
        logfileload_remove(list, e);
      else
        rc = -1;
    }
    e = next;
  }
  return rc;
}

int logfileload_rotate(ReqLogFiles *list, int history) {
  if (!list || history < 0) return -1;
  int rc = logfileload_cleanup(list);
  for (ReqLogFile *e = list->current; e && list->count > history;) {
    ReqLogFile *next = e->next;
    if (logfileload_unlink(e) == 0)
      logfileload_remove(list, e);
    else
      rc = -1;
    e = next;
  }
  return list->count > history ? -1 : rc;
}
