// Truncation of a sorted report table file to its first N rows.
#include "src/report/truncate.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "lib/base/kxendian.h"
#include "lib/base/kxraii.h"
#include "src/report/report.h"
#include "src/report/sort.h"
#include "src/report/status.h"
#include "src/report/tfile.h"
#include "src/table/table_file.h"

namespace {

struct read_closer {
  void operator()(READ_TBL *t) const { read_close(t); }
};
struct write_closer {
  void operator()(WRITE_TBL *t) const { write_close(t); }
};
using reader_ptr = std::unique_ptr<READ_TBL, read_closer>;
using writer_ptr = std::unique_ptr<WRITE_TBL, write_closer>;

bool bytes_zero(const void *data, size_t n) {
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

bool entry_is_zero(const Record &r) {
  if (!r.data) return true;
  switch (StorageType(r.datatype)) {
    case STORT_STR:
      return *static_cast<const char *>(r.data) == 0;
    case STORT_IPADDR: {
      kx_ipaddr ip;
      memcpy(&ip, r.data, sizeof ip);
      return ip.family == AF_INET ? ip.addr.ip == 0 : bytes_zero(&ip.addr.ip6, 16);
    }
    default:
      return bytes_zero(r.data, record_value_size(r.datatype));
  }
}

// The value a summed entry adds: counters and other numbers of up to 64
// bits; everything else adds nothing.
uint64_t summand(const Record &r) {
  if (!r.data) return 0;
  const auto *p = static_cast<const unsigned char *>(r.data);
  switch (StorageType(r.datatype)) {
    case STORT_INT8: return p[0];
    case STORT_INT16: return kx_le16(p);
    case STORT_INT32: return kx_le32(p);
    case STORT_INT64: return kx_le64(p);
  }
  return 0;
}

// Room for any one value of the 'other' and 'items' rows.
union cell {
  kx_ipaddr ip;
  unsigned char raw[20];
  char text[4];
};

// The 'other' and 'items' rows: the input's layout over cells of their own.
class fold_rows {
 public:
  explicit fold_rows(const READ_TBL *t) : count_(t->field_count) {
    row_.assign(t->rec, t->rec + count_ + 1);
    cells_.assign(static_cast<size_t>(count_), cell{});
    sums_.assign(static_cast<size_t>(count_), 0);
    for (int i = 0; i < count_; i++) {
      row_[i].flags = 0;
      row_[i].data = &cells_[i];
    }
    row_[count_].data = nullptr;
  }

  void add(const RECORD *rec) {
    // Sums wrap like the unsigned columns they are written back into.
    for (int i = 1; i < count_; i++) sums_[i] += summand(rec[i]);
  }

  // The 'other' row: the key's neutral value, every other entry its sum.
  RECORD *other() {
    fill([this](int i) { return sums_[i]; });
    return row_.data();
  }

  // The 'items' row: the key's neutral value and the count of folded rows
  // in the first counter (the entry after the key, or after the link).
  RECORD *items(uint64_t folded) {
    const int at = count_ > 1 && row_[1].type == FIELD_SUBREPORTFILENAME ? 2 : 1;
    fill([at, folded](int i) { return i == at ? folded : 0; });
    return row_.data();
  }

 private:
  template <typename Value>
  void fill(Value value) {
    for (int i = 0; i < count_; i++) {
      cell &c = cells_[i];
      memset(&c, 0, sizeof c);
      const unsigned storage = StorageType(row_[i].datatype);
      if (storage == STORT_IPADDR) {
        c.ip.family = AF_INET;  // 0.0.0.0
      } else if (storage == STORT_STR) {
        if (i == 0) memcpy(c.text, "__", 3);
      } else if (i > 0) {
        const uint64_t v = value(i);
        switch (storage) {
          case STORT_INT8: c.raw[0] = static_cast<unsigned char>(v); break;
          case STORT_INT16: kx_put_le16(c.raw, static_cast<uint16_t>(v)); break;
          case STORT_INT32: kx_put_le32(c.raw, static_cast<uint32_t>(v)); break;
          case STORT_INT64: kx_put_le64(c.raw, v); break;
        }
      }
    }
  }

  int count_;
  std::vector<RECORD> row_;
  std::vector<cell> cells_;
  std::vector<uint64_t> sums_;
};

class truncator {
 public:
  truncator(const truncate_env &env, const char *path) : env_(env), path_(path) {}

  int run(int max_records, int others, long long *removed) {
    bool ok;
    try {
      ok = steps(max_records, others != 0);
    } catch (const std::bad_alloc &) {
      ok = fail("Error 10708: (truncate) Memory allocation error");
    }
    if (!ok) {
      out_.reset();
      if (!temp_.empty()) ::unlink(temp_.c_str());
      if (env_.clear_temp) env_.clear_temp();
      return 0;
    }
    if (removed) *removed = bytes_;
    if (env_.clear_temp) env_.clear_temp();
    return -1;
  }

 private:
  bool fail(const char *text) {
    if (env_.error) env_.error(text);
    return false;
  }

  bool steps(int max_records, bool fold) {
    reader_ptr in(read_open(path_.c_str()));
    if (!in) return fail("Error 10701: (truncate) Unable to open input file");
    std::unique_ptr<fold_rows> acc;
    if (fold) {
      acc.reset(new (std::nothrow) fold_rows(in.get()));
      if (!acc) return fail("Error 10707: (truncate) Memory allocation error");
    }
    std::vector<RECORD> layout(in->rec, in->rec + in->field_count + 1);
    for (RECORD &r : layout) r.data = nullptr;

    if (env_.next_temp_file) temp_ = env_.next_temp_file();
    const int ip_type = in->ip_type ? in->ip_type : report_table_ip_type(env_.rep);
    if (!temp_.empty())
      out_.reset(write_new_rec_ip(env_.rep, temp_.c_str(), layout.data(), TABLE_WRITE_BUFFER_SIZE, ip_type));
    if (!out_) return fail("Error 10702: (truncate) Unable to create new report file");

    const int link = in->map[FIELD_SUBREPORTFILENAME];
    const bool has_link =
        in->rec[link].type == FIELD_SUBREPORTFILENAME && StorageType(in->rec[link].datatype) == STORT_STR;
    long long kept = 0;
    uint64_t folded = 0;
    while (read_next(in.get())) {
      const RECORD *rec = in->rec;
      if (kept < max_records) {
        if (!write_next(out_.get(), in->rec, nullptr))
          return fail("Error 10703: (truncate) Unable to write report record to disk");
        kept++;
        continue;
      }
      if (acc) acc->add(rec);
      if (!truncate_row_is_empty(rec)) {
        bytes_ += read_record_length(in.get());
        folded++;
      }
      if (has_link) remove_linked(static_cast<const char *>(rec[link].data));
    }

    if (acc && folded > 0) {
      int64_t n = 0;
      if (!write_next(out_.get(), acc->other(), &n))
        return fail("Error 10704: (truncate) Unable to write 'other' record to disk");
      bytes_ -= n;
      if (!write_next(out_.get(), acc->items(folded), &n))
        return fail("Error 10705: (truncate) Unable to write 'items' record to disk");
      bytes_ -= n;
    }
    in.reset();
    if (!write_close(out_.release())) return fail("Error 10703: (truncate) Unable to write report record to disk");
    // The new file replaces the input in one step: until it does, the
    // input stays whole.
    if (!sort_move_file(temp_.c_str(), path_.c_str())) return fail("Error 10706: (truncate) Unable to rename a file");
    temp_.clear();
    return true;
  }

  void remove_linked(const char *link) {
    if (!link || !*link || env_.root_path.empty()) return;
    // A link that leads out of the report directory is never followed.
    if (!truncate_link_inside(env_.root_path, link)) return;
    ::unlink((env_.root_path + link).c_str());
  }

  const truncate_env &env_;
  std::string path_;
  std::string temp_;  // the new file while it is made
  writer_ptr out_;
  long long bytes_ = 0;
};

}  // namespace

bool truncate_row_is_empty(const RECORD *row) {
  if (!row || row[0].type == 0) return true;
  for (const RECORD *r = row + 1; r->type != 0; r++)
    if (r->type != FIELD_SUBREPORTFILENAME && !entry_is_zero(*r)) return false;
  return true;
}

bool truncate_link_inside(const std::string &root, const char *link) {
  if (root.empty() || root.back() != '/' || !link || !*link || link[0] == '/') return false;
  std::string_view rest(link);
  for (;;) {
    const size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  // Directories inside the store could still be links leading out of it.
  kx_malloc_ptr<char> real_root(realpath(root.c_str(), nullptr));
  if (!real_root) return false;
  std::string full = root + link;
  std::string dir = full.substr(0, full.rfind('/'));
  kx_malloc_ptr<char> real_dir(realpath(dir.c_str(), nullptr));
  if (!real_dir) return false;
  std::string_view r(real_root.get()), d(real_dir.get());
  if (r == "/") return true;
  return d == r || (d.size() > r.size() && d.substr(0, r.size()) == r && d[r.size()] == '/');
}

int truncate_table_file(const truncate_env &env, const char *path, int max_records, int others, long long *removed) {
  if (!path) {
    if (env.error) env.error("Error 10701: (truncate) Unable to open input file");
    return 0;
  }
  truncator t(env, path);
  return t.run(max_records, others, removed);
}

int truncate_report(REPORT *rep, const char *path, int max_records, int others, long long *removed) {
  truncate_env env;
  env.rep = rep;
  if (rep) {
    env.next_temp_file = [rep]() -> std::string {
      kx_malloc_ptr<char> p(tfile_next_temp_file(rep));
      return p ? std::string(p.get()) : std::string();
    };
    env.clear_temp = [rep] { tfile_clear_temp(rep); };
    env.error = [rep](const std::string &text) { status_add_error(rep, "%s", text.c_str()); };
    if (rep->root_path) env.root_path = rep->root_path;
  }
  return truncate_table_file(env, path, max_records, others, removed);
}
