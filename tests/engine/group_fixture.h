// Helpers of the grouping-engine tests: a report run in a temporary store
// with a parsed definition, input rows built field by field, and report
// tables read back as text.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/record/record.h"
#include "src/report/definition.h"
#include "src/report/group.h"
#include "src/report/report.h"
#include "src/report/tfile.h"
#include "src/table/table.h"
#include "src/table/table_file.h"
#include "tests/fixtures/tmpdir.h"

namespace grouptest {

// The parts joined; built with += (GCC 12 warns falsely on a literal plus a
// string at -O3).
template <class... T>
std::string join(const T &...parts) {
  std::string s;
  ((s += parts), ...);
  return s;
}

// One input row. Values live as long as the row; derived values the
// engine stores in the row (owned entries) are freed by next() and at the
// end, as the request-log window does.
class Row {
 public:
  Row() = default;
  ~Row() { free_owned(); }
  Row(const Row &) = delete;
  Row &operator=(const Row &) = delete;

  Row &text(uint8_t id, const std::string &v, uint8_t type = 0x16) {
    texts_.push_back(v);
    return add(id, type, const_cast<char *>(texts_.back().c_str()));
  }
  // A category byte list (type 0x36).
  Row &cats(const std::vector<unsigned> &nums) {
    std::string s;
    for (unsigned n : nums) s += static_cast<char>(n);
    return text(FIELD_CATS, s, 0x36);
  }
  Row &num(uint8_t id, uint64_t v, uint8_t type) {
    nums_.emplace_back();
    memcpy(nums_.back().data(), &v, 8);
    return add(id, type, nums_.back().data());
  }
  Row &ip4(uint8_t id, uint32_t host_order) {
    ips_.emplace_back();
    ips_.back().family = AF_INET;
    ips_.back().addr.ip = host_order;
    return add(id, 0x57, &ips_.back());
  }
  // An entry without a value.
  Row &empty(uint8_t id, uint8_t type) { return add(id, type, nullptr); }
  // The four derived entries the request-log window appends.
  Row &derived() {
    for (uint8_t id : {FIELD_URIHOST, FIELD_URIDOMAIN, FIELD_SEARCHTERM, FIELD_DATAWORDS})
      entries_.push_back({id, 0x16, RECORD_FLAG_OWNED, nullptr});
    return *this;
  }

  RECORD *rec() {
    finish();
    return rows_.data();
  }
  unsigned char *map() {
    finish();
    return map_;
  }

 private:
  Row &add(uint8_t id, uint8_t type, void *data) {
    entries_.push_back({id, type, 0, data});
    return *this;
  }
  void finish() {
    if (!rows_.empty()) return;
    rows_ = entries_;
    rows_.push_back({0, 0, 0, nullptr});
    record_build_map(map_, rows_.data());
  }
  void free_owned() {
    if (!rows_.empty()) record_free_owned(rows_.data());
  }

  std::vector<RECORD> entries_, rows_;
  std::deque<std::string> texts_;
  std::deque<std::array<unsigned char, 16>> nums_;
  std::deque<kx_ipaddr> ips_;
  unsigned char map_[RECORD_MAP_SIZE]{};
};

// A report run of kind with a parsed definition in a fresh store: root and
// temporary directories made, the process zone, no size limits.
class GroupRun {
 public:
  explicit GroupRun(const std::string &definition, int kind = REPORT_SCHEDULED, const char *zone = nullptr)
      : dir_("kxgroup") {
    settings_.reports_directory = strdup((dir_.path() + "/reports/").c_str());
    settings_.temp_directory = strdup((dir_.path() + "/temp/").c_str());
    settings_.ip_type = 3;
    settings_.max_report_size = 0;
    settings_.max_temp_size = 0;
    rep = new_report_initialize(kind, 1, "n", "o", 0, 0, 0, &settings_);
    rep->file_id = 42;
    rep->type_hints = type_hints;
    if (zone) rep->zone.load(zone);
    EXPECT_EQ(report_definition_interpret_definition(rep, definition.c_str()), -1) << (rep->error ? rep->error : "");
    if (rep->default_cat == 0) rep->default_cat = REPORT_DEFAULT_CATEGORY;
    if (kind != REPORT_CONTINUOUS) {
      rep->root_path = tfile_create_root_path(rep, rep->file_id);
      rep->temp_path = tfile_create_temp_path(rep, rep->file_id);
    }
  }
  ~GroupRun() {
    if (rep) {
      group_terminate(rep->groups);
      rep->groups = nullptr;
      table_close(rep->output);
      table_close(rep->spill);
      if (rep->index_fd >= 0) close(rep->index_fd);
      free(rep->spill_file_name);
      rep->spill_file_name = nullptr;
      free_report(rep);
    }
    free(settings_.reports_directory);
    free(settings_.temp_directory);
  }
  GroupRun(const GroupRun &) = delete;
  GroupRun &operator=(const GroupRun &) = delete;

  // The tree of level (limit max_groups) typed from row, installed as
  // rep->groups, with its output table on out_file (root + "root" when
  // empty).
  GROUP_TREE *tree(int level, int max_groups, Row &row, const std::string &out_file = "") {
    rep->groups = group_initialize(rep, level, max_groups, row.rec(), row.map());
    if (!rep->groups) return nullptr;
    output_ = out_file.empty() ? std::string(rep->root_path) + "root" : out_file;
    rep->output = group_open_output(rep->groups, rep, output_.c_str());
    EXPECT_NE(rep->output, nullptr);
    return rep->groups;
  }
  int add(Row &row) {
    return group_add_record(rep->groups, row.rec(), row.map(), rep->index_fd, nullptr, rep, rep->output);
  }
  // Writes and closes the output; the written counts.
  std::pair<int64_t, int64_t> write() {
    int64_t bytes = -1, recs = -1;
    EXPECT_EQ(group_write(rep, &bytes, &recs), -1);
    EXPECT_EQ(table_close(rep->output), -1);
    rep->output = nullptr;
    return {bytes, recs};
  }
  const std::string &output() const { return output_; }
  const std::string &path() const { return dir_.path(); }

  REPORT *rep = nullptr;

 private:
  TempDir dir_;
  reporter_settings settings_{};
  std::string output_;
};

// A value of a table row as text: texts as they are, integers in decimal,
// addresses dotted, "" for none.
inline std::string value_text(const Record &r) {
  if (!r.data) return "";
  switch (StorageType(r.datatype)) {
    case STORT_STR: return static_cast<const char *>(r.data);
    case STORT_IPADDR: {
      char buf[KXNET_ADDRSTRLEN];
      return record_ip_ntop(static_cast<const kx_ipaddr *>(r.data), buf, sizeof buf) ? buf : "?";
    }
    case STORT_INT64: {
      int64_t v;
      memcpy(&v, r.data, 8);
      return std::to_string(v);
    }
    default: return std::to_string(record_value_uint(r));
  }
}

// Every row of a report table, each as "id=value" texts in field order.
struct Table {
  std::vector<std::pair<int, int>> header;  // (id, type)
  std::vector<std::vector<std::string>> rows;
  bool ok = false;
  // The value of field id in row i ("" when absent).
  std::string at(size_t i, int id) const {
    for (size_t k = 0; k < header.size(); ++k)
      if (header[k].first == id) return rows[i][k];
    return "";
  }
};

inline Table read_table(const std::string &path) {
  Table t;
  READ_TBL *r = read_open(path.c_str());
  if (!r) return t;
  t.ok = true;
  for (int i = 0; i < r->field_count; ++i) t.header.push_back({r->rec[i].type, r->rec[i].datatype});
  while (read_next(r)) {
    std::vector<std::string> row;
    for (int i = 0; i < r->field_count; ++i) row.push_back(value_text(r->rec[i]));
    t.rows.push_back(row);
  }
  read_close(r);
  return t;
}

// The entries of a report queue file: (path, level).
inline std::vector<std::pair<std::string, int32_t>> read_queue(int fd) {
  std::vector<std::pair<std::string, int32_t>> out;
  std::string bytes;
  char buf[4096];
  ssize_t n;
  off_t pos = 0;
  while ((n = pread(fd, buf, sizeof buf, pos)) > 0) {
    bytes.append(buf, static_cast<size_t>(n));
    pos += n;
  }
  size_t i = 0;
  while (i < bytes.size()) {
    size_t z = bytes.find('\0', i);
    if (z == std::string::npos || z + 5 > bytes.size()) {
      out.push_back({"<damaged>", -1});
      break;
    }
    int32_t level;
    memcpy(&level, bytes.data() + z + 1, 4);
    out.push_back({bytes.substr(i, z - i), level});
    i = z + 5;
  }
  return out;
}

// An anonymous queue file for rep (as the worker makes one).
inline int open_queue(const std::string &dir) {
  std::string tmpl = dir + "/queueXXXXXX";
  int fd = mkstemp(tmpl.data());
  if (fd >= 0) unlink(tmpl.c_str());
  return fd;
}

}  // namespace grouptest
