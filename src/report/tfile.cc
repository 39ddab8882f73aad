#include "src/report/tfile.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/base/kxfile.h"

namespace {

// A heap copy of s for the C interface; null when memory runs out.
char *heap_copy(const std::string &s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (p) memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::string with_slash(const char *dir) {
  std::string s = dir ? dir : "";
  if (!s.empty() && s.back() != '/') s += '/';
  return s;
}

bool separate_temp(const reporter_settings *s) {
  return s->temp_directory && s->reports_directory && strcmp(s->temp_directory, s->reports_directory) != 0;
}

// The numbered file n below dir, its subdirectory made.
char *numbered_file(const char *dir, unsigned n) {
  char sub[16], file[16];
  snprintf(sub, sizeof sub, "%u/", n / 1000);
  snprintf(file, sizeof file, "%u", n);
  return tfile_make_path_valid(dir, sub, file);
}

bool below(std::string_view path, const char *dir) {
  if (!dir || !*dir) return false;
  std::string base = with_slash(dir);
  return path.size() > base.size() && path.compare(0, base.size(), base) == 0;
}

}  // namespace

char *tfile_make_path_valid(const char *dir, const char *subdir, const char *file) {
  std::string path;
  try {
    path = std::string(dir ? dir : "") + (subdir ? subdir : "");
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    path[i] = '\0';
    // Existing directories are the common case: one stat, no mkdir.
    struct stat st;
    if (stat(path.c_str(), &st) != 0) mkdir(path.c_str(), 0777);
    path[i] = '/';
  }
  try {
    path += file ? file : "";
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return heap_copy(path);
}

char *tfile_create_root_path(REPORT *rep, int id) {
  if (!rep || !rep->settings || !rep->settings->reports_directory) return nullptr;
  char sub[32];
  snprintf(sub, sizeof sub, "%d/%d/", id / 1000, id);
  return tfile_make_path_valid(with_slash(rep->settings->reports_directory).c_str(), sub, "");
}

char *tfile_create_temp_path(REPORT *rep, int id) {
  if (!rep || !rep->settings || !rep->settings->reports_directory) return nullptr;
  const reporter_settings *s = rep->settings;
  if (separate_temp(s)) {
    char sub[16];
    snprintf(sub, sizeof sub, "%d/", id);
    return tfile_make_path_valid(with_slash(s->temp_directory).c_str(), sub, "");
  }
  if (!rep->root_path) {
    rep->root_path = tfile_create_root_path(rep, id);
    if (!rep->root_path) return nullptr;
  }
  try {
    return heap_copy(std::string(rep->root_path) + "temp/");
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

char *tfile_root_file(REPORT *rep) {
  if (!rep || !rep->root_path) return nullptr;
  return tfile_make_path_valid(rep->root_path, "", "root");
}

char *tfile_process_file(REPORT *rep) {
  if (!rep || !rep->root_path) return nullptr;
  return tfile_make_path_valid(rep->root_path, "", "process");
}

char *tfile_next_rep_file(REPORT *rep) {
  if (!rep) return nullptr;
  unsigned n = ++rep->cur_rep_count;
  if (n > TFILE_MAX_NUMBER || !rep->root_path) return nullptr;
  return numbered_file(rep->root_path, n);
}

char *tfile_next_temp_file(REPORT *rep) {
  if (!rep) return nullptr;
  unsigned n = ++rep->cur_temp_count;
  if (n > TFILE_MAX_NUMBER || !rep->temp_path) return nullptr;
  return numbered_file(rep->temp_path, n);
}

int tfile_path_inside_store(const REPORT *rep, const char *path) {
  if (!rep || !rep->settings || !path || !*path) return 0;
  std::string_view p(path);
  if (p.back() != '/') return 0;
  // No "." or ".." component may lead back out of the store.
  for (size_t i = 0; i < p.size();) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    std::string_view part = p.substr(i, j - i);
    if (part == "." || part == "..") return 0;
    i = j + 1;
  }
  return below(p, rep->settings->reports_directory) || below(p, rep->settings->temp_directory) ? -1 : 0;
}

int tfile_clear_temp(REPORT *rep) {
  if (!rep) return 0;
  rep->cur_temp_count = 0;
  if (!tfile_path_inside_store(rep, rep->temp_path)) return 0;
  file_clear_all(rep->temp_path);
  return -1;
}

int tfile_clear_report(REPORT *rep) {
  if (!rep || !tfile_path_inside_store(rep, rep->root_path)) return 0;
  file_clear_all(rep->root_path);
  return -1;
}
