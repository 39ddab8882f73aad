// Helpers of the report-engine tests: a captured log, an install root in a
// temporary folder (with the category script stand-in), small file writers
// and a row with the four derived entries the request-log window appends.
#pragma once

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/base/kxlog.h"
#include "lib/base/kxpath.h"
#include "lib/record/record.h"
#include "tests/fixtures/tmpdir.h"

namespace enginetest {

// Every message logged while it lives, as "level text".
class LogCapture {
 public:
  LogCapture() {
    lines().clear();
    kxlog_set_sink(sink);
  }
  ~LogCapture() { kxlog_set_sink(nullptr); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::vector<std::string> all() const {
    std::lock_guard<std::mutex> g(mu());
    return lines();
  }
  // How many lines contain text.
  int count(const std::string &text) const {
    int n = 0;
    for (const auto &l : all())
      if (l.find(text) != std::string::npos) ++n;
    return n;
  }
  std::string joined() const {
    std::string s;
    for (const auto &l : all()) s += l;
    return s;
  }

 private:
  static std::mutex &mu() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string> &lines() {
    static std::vector<std::string> v;
    return v;
  }
  static int sink(int level, const char *format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char buf[4096];
    vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    std::lock_guard<std::mutex> g(mu());
    lines().push_back(std::to_string(level) + " " + buf);
    return 1;
  }
};

inline void write_file(const std::string &path, const std::string &text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An install root for one test: kxpath_path points at it while it lives.
// The lists folder and the category script stand-in are in place.
class InstallRoot {
 public:
  InstallRoot() : dir_("kxengine") {
    saved_ = kxpath_path;
    kxpath_path = strdup(dir_.path().c_str());
    std::filesystem::create_directories(lists());
    std::filesystem::create_directories(bin());
    std::string script = bin() + "/kxreporter_get_categories.php";
    std::filesystem::copy_file(std::string(KX_SOURCE_DIR) + "/tests/fixtures/webadmin/kxreporter_get_categories.php",
                               script, std::filesystem::copy_options::overwrite_existing);
    chmod(script.c_str(), 0755);
  }
  ~InstallRoot() {
    free(kxpath_path);
    kxpath_path = saved_;
  }
  InstallRoot(const InstallRoot &) = delete;
  InstallRoot &operator=(const InstallRoot &) = delete;

  const std::string &path() const { return dir_.path(); }
  std::string lists() const { return path() + "/var/lib/lists"; }
  std::string bin() const { return path() + "/webadmin/bin"; }

 private:
  TempDir dir_;
  char *saved_ = nullptr;
};

// A request row as the request-log window hands it out: the given fields,
// then the empty owned entries 32, 48, 53 and 70, then the terminator; map
// built. Frees the derived values like the window does.
class WindowRow {
 public:
  WindowRow() { reset(); }
  ~WindowRow() { clear_derived(); }
  WindowRow(const WindowRow &) = delete;
  WindowRow &operator=(const WindowRow &) = delete;

  // A new row: URL (may be null), event type and data (type < 0: no fields
  // 63 and 64).
  void set(const char *url, int event_type = -1, const char *data = nullptr) {
    clear_derived();
    url_ = url ? url : "";
    data_ = data ? data : "";
    type_ = event_type;
    rec_.clear();
    rec_.push_back({FIELD_URI, 0x16, 0, url ? const_cast<char *>(url_.c_str()) : nullptr});
    if (event_type >= 0) {
      rec_.push_back({FIELD_TYPE, 0x03, 0, &type_});
      rec_.push_back({FIELD_DATA, 0x16, 0, data ? const_cast<char *>(data_.c_str()) : nullptr});
    }
    for (uint8_t id : {FIELD_URIHOST, FIELD_URIDOMAIN, FIELD_SEARCHTERM, FIELD_DATAWORDS})
      rec_.push_back({id, 0x16, RECORD_FLAG_OWNED, nullptr});
    rec_.push_back({});
    record_build_map(map_, rec_.data());
  }
  // The window's step before the next row: derived values freed.
  void clear_derived() {
    if (!rec_.empty()) record_free_owned(rec_.data());
  }
  RECORD *rec() { return rec_.data(); }
  unsigned char *map() { return map_; }
  const char *value(int id) {
    Record *e = &rec_[map_[id]];
    return e->type == id ? static_cast<const char *>(e->data) : nullptr;
  }

 private:
  void reset() { set(nullptr); }
  std::string url_, data_;
  int32_t type_ = 0;
  std::vector<Record> rec_;
  unsigned char map_[RECORD_MAP_SIZE];
};

}  // namespace enginetest
