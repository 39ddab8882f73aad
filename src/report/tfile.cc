#include "src/report/tfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/kxfile.h"

namespace {

void plain_root_path_setter(REPORT *rep, char *path) {
  char *old = rep->root_path;
  rep->root_path = path;
  free(old);
}

std::atomic<tfile_root_path_setter> root_path_setter{plain_root_path_setter};

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

// True when the decimal text is all digits (and not empty).
bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The temporary directory of file number id when the run has one of its own
// (the configured spelling), or empty when its files go to root + "temp/":
// the two settings name one directory, or the folder would lie at or inside
// one of the store's numbered folders (where it would be a store folder, or
// the run's own root).
std::string separate_temp_path(const reporter_settings *s, int id) {
  if (!s->temp_directory || !*s->temp_directory || !s->reports_directory) return std::string();
  if (strcmp(s->temp_directory, s->reports_directory) == 0) return std::string();
  const std::string reports = tfile_real_dir(s->reports_directory);
  const std::string temp = tfile_real_dir(s->temp_directory);
  if (reports.empty() || temp.empty() || temp == reports) return std::string();
  const std::string own = temp + std::to_string(id) + "/";
  if (tfile_dir_within(own, reports)) {
    std::string_view rest = std::string_view(own).substr(reports.size());
    if (all_digits(rest.substr(0, rest.find('/')))) return std::string();
  }
  return with_slash(s->temp_directory) + std::to_string(id) + "/";
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
  // Every temporary and table file is named through here, almost always
  // into a folder that exists: one stat of the deepest folder settles that
  // case, in place of a stat of each folder on the way.
  bool settled = false;
  if (const size_t last = path.find_last_of('/'); last != std::string::npos && last > 0) {
    path[last] = '\0';
    struct stat st;
    settled = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    path[last] = '/';
  }
  // A parent removed meanwhile (a store clean-up takes empty first-level
  // folders) makes the next mkdir fail: the walk then starts again, a few
  // times at most.
  for (int attempt = 0; attempt < 3 && !settled; ++attempt) {
    bool lost_parent = false;
    for (size_t i = 1; i < path.size() && !lost_parent; ++i) {
      if (path[i] != '/') continue;
      path[i] = '\0';
      // Existing directories are the common case: one stat, no mkdir.
      struct stat st;
      if (stat(path.c_str(), &st) != 0 && mkdir(path.c_str(), 0777) != 0 && errno == ENOENT) lost_parent = true;
      path[i] = '/';
    }
    if (!lost_parent) break;
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

void tfile_set_root_path_setter(tfile_root_path_setter setter) {
  root_path_setter.store(setter ? setter : plain_root_path_setter);
}

void tfile_set_root_path(REPORT *rep, char *path) {
  if (!rep) {
    free(path);
    return;
  }
  root_path_setter.load()(rep, path);
}

char *tfile_take_root_path(REPORT *rep, int id) {
  if (!rep || !rep->settings || !rep->settings->reports_directory) {
    tfile_set_root_path(rep, nullptr);
    return nullptr;
  }
  char sub[32];
  snprintf(sub, sizeof sub, "%d/", id / 1000);
  char *path = nullptr;
  try {
    path = heap_copy(with_slash(rep->settings->reports_directory) + sub + std::to_string(id) + "/");
  } catch (const std::bad_alloc &) {
  }
  tfile_set_root_path(rep, path);
  if (!path) return nullptr;
  free(tfile_make_path_valid(path, "", ""));
  return rep->root_path;
}

char *tfile_create_temp_path(REPORT *rep, int id) {
  if (!rep || !rep->settings || !rep->settings->reports_directory) return nullptr;
  std::string separate;
  try {
    separate = separate_temp_path(rep->settings, id);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  if (!separate.empty()) return tfile_make_path_valid(separate.c_str(), "", "");
  if (!rep->root_path && !tfile_take_root_path(rep, id)) return nullptr;
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

namespace {

// The components of a relative path, empty ones dropped; false when one is
// "." or "..".
bool split_components(std::string_view rel, std::vector<std::string> *out) {
  for (size_t i = 0; i < rel.size();) {
    size_t j = rel.find('/', i);
    if (j == std::string_view::npos) j = rel.size();
    std::string_view part = rel.substr(i, j - i);
    if (part == "." || part == "..") return false;
    if (!part.empty()) out->emplace_back(part);
    i = j + 1;
  }
  return true;
}

// The configured directory that path was made below: of the two that it
// lies below, the longer (a temporary directory inside the report
// directory is walked from itself); null for neither.
const char *store_base(const REPORT *rep, const char *path) {
  const reporter_settings *s = rep->settings;
  const char *best = nullptr;
  for (const char *dir : {s->reports_directory, s->temp_directory})
    if (below(path, dir) && (!best || strlen(dir) > strlen(best))) best = dir;
  return best;
}

}  // namespace

int tfile_clear_below(const char *base, const char *path) {
  if (!base || !*base || !path) return 0;
  try {
    const std::string b = with_slash(base);
    std::string_view p(path);
    if (p.size() <= b.size() || p.compare(0, b.size(), b) != 0) return 0;
    std::vector<std::string> parts;
    if (!split_components(p.substr(b.size()), &parts) || parts.empty()) return 0;
    // The configured directory itself may be a link the admin made; below
    // it nothing is followed.
    int fd = open(b.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      close(fd);
      if (next < 0) return 0;
      fd = next;
    }
    file_clear_at(fd, parts.back().c_str());
    close(fd);
    return -1;
  } catch (const std::bad_alloc &) {
    return 0;
  }
}

std::string tfile_real_dir(const char *dir) {
  if (!dir || !*dir) return std::string();
  std::string path = dir;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return std::string();
    path = std::string(cwd) + "/" + path;
  }
  // Down from "/": each existing prefix resolved by the system, the part
  // that does not exist yet taken as written.
  std::string real = "/";
  bool resolving = true;
  for (size_t i = 0; i < path.size();) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    const std::string part = path.substr(i, j - i);
    i = j + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (real.size() > 1) real.erase(real.find_last_of('/', real.size() - 2) + 1);
      continue;
    }
    real += part;
    if (resolving) {
      char buf[PATH_MAX];
      if (realpath(real.c_str(), buf)) {
        real = buf;
      } else {
        resolving = false;
      }
    }
    if (real.back() != '/') real += '/';
  }
  return real;
}

bool tfile_dir_within(std::string_view inner, std::string_view outer) {
  return !outer.empty() && inner.size() >= outer.size() && inner.compare(0, outer.size(), outer) == 0;
}

int tfile_clear_temp(REPORT *rep) {
  if (!rep) return 0;
  rep->cur_temp_count = 0;
  if (!tfile_path_inside_store(rep, rep->temp_path)) return 0;
  tfile_clear_below(store_base(rep, rep->temp_path), rep->temp_path);
  return -1;
}

int tfile_clear_report(REPORT *rep) {
  if (!rep || !tfile_path_inside_store(rep, rep->root_path)) return 0;
  tfile_clear_below(store_base(rep, rep->root_path), rep->root_path);
  return -1;
}
