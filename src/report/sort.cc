// External sort of report table files.
#include "src/report/sort.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "lib/base/kxfile.h"
#include "lib/base/kxraii.h"
#include "src/report/report.h"
#include "src/report/status.h"
#include "src/report/tfile.h"
#include "src/table/table_file.h"

static_assert(std::endian::native == std::endian::little, "values in rows are little-endian");

namespace {

// --- Comparing values ------------------------------------------------------

template <typename T>
T load(const void *p) {
  T v;
  memcpy(&v, p, sizeof v);  // values in rows sit at any byte offset
  return v;
}

template <typename T>
int three_way(T a, T b) {
  return (a > b) - (a < b);
}

int compare_address(const void *pa, const void *pb) {
  kx_ipaddr a, b;
  memcpy(&a, pa, sizeof a);
  memcpy(&b, pb, sizeof b);
  const bool a4 = a.family == AF_INET, b4 = b.family == AF_INET;
  if (a4 && b4) return three_way(a.addr.ip, b.addr.ip);
  if (a4 != b4) return a4 ? -1 : 1;  // IPv4 sorts before every other family
  int c = memcmp(&a.addr.ip6, &b.addr.ip6, 16);
  return (c > 0) - (c < 0);
}

// -1, 0 or 1 for two values of one storage type. A missing value sorts
// first (a table's rows always carry one; this only keeps the order total).
int compare_value(const void *a, const void *b, uint8_t storage) {
  if (!a || !b) return (a != nullptr) - (b != nullptr);
  switch (storage) {
    case STORT_INT8:
      return three_way(load<uint8_t>(a), load<uint8_t>(b));
    case STORT_INT16:
      return three_way(load<uint16_t>(a), load<uint16_t>(b));
    case STORT_INT32:
      return three_way(load<uint32_t>(a), load<uint32_t>(b));
    case STORT_INT64:
      return three_way(load<int64_t>(a), load<int64_t>(b));
    case STORT_INT128: {
      // The second 8 bytes hold the high half.
      const auto *ca = static_cast<const unsigned char *>(a);
      const auto *cb = static_cast<const unsigned char *>(b);
      int c = three_way(load<uint64_t>(ca + 8), load<uint64_t>(cb + 8));
      return c ? c : three_way(load<uint64_t>(ca), load<uint64_t>(cb));
    }
    case STORT_STR: {
      int c = strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
      return (c > 0) - (c < 0);
    }
    case STORT_IPADDR:
      return compare_address(a, b);
  }
  return 0;
}

unsigned category_of(const Record &r, const std::function<unsigned(uint32_t)> *position) {
  if (!position || !*position || !r.data) return 0;
  return (*position)(static_cast<uint32_t>(record_value_uint(r)));
}

// --- Keys as bytes ---------------------------------------------------------

void put_be(unsigned char *out, uint64_t v, size_t bytes) {
  v = __builtin_bswap64(v) >> (8 * (8 - bytes));
  memcpy(out, &v, bytes);
}

// The first 8 bytes of an encoded key as a number that orders like them
// (zero-filled past a short key).
uint64_t key_prefix(const unsigned char *key, size_t len) {
  if (len >= 8) return __builtin_bswap64(load<uint64_t>(key));
  // Byte by byte: a short key was often just written in pieces, and one
  // wide load across those stores would wait for them to reach the cache.
  uint64_t v = 0;
  for (size_t i = 0; i < len; i++) v |= uint64_t{key[i]} << (56 - 8 * i);
  return v;
}

// Three-way comparison of two encoded keys with their prefixes. Encoded
// keys are prefix-free (fixed widths, texts ended by their NUL or its
// inverse), so keys equal over the shorter one's length are equal.
int key_compare(uint64_t pa, const unsigned char *a, size_t la, uint64_t pb, const unsigned char *b, size_t lb) {
  const size_t n = std::min(la, lb);
  for (size_t at = 8;; at += 8) {
    if (pa != pb) return pa < pb ? -1 : 1;
    if (n <= at) return 0;
    pa = key_prefix(a + at, n - at);
    pb = key_prefix(b + at, n - at);
  }
}

// Encodes the row's keys by the plan into sink, which takes bytes up to its
// room(). True when every key fit whole.
template <typename Sink>
bool encode_keys(const RECORD *row, const sort_plan &plan, Sink &sink) {
  for (const sort_plan::key &k : plan.keys) {
    const void *data = row[k.index].data;
    unsigned char fixed[17];
    size_t n = 0;
    const unsigned char *bytes = fixed;
    const size_t room = sink.room();
    if (k.category) {
      put_be(fixed, category_of(row[k.index], plan.category_position), 4);
      n = 4;
    } else {
      switch (k.storage) {
        case STORT_INT8:
        case STORT_INT16:
        case STORT_INT32:
          n = record_value_size(k.storage);
          put_be(fixed, data ? record_value_uint(row[k.index]) : 0, n);
          break;
        case STORT_INT64:
          // Signed: the flipped sign bit puts negatives first.
          put_be(fixed, (data ? load<uint64_t>(data) : 0) ^ (uint64_t{1} << 63), 8);
          n = 8;
          break;
        case STORT_INT128: {
          const auto *c = static_cast<const unsigned char *>(data);
          put_be(fixed, c ? load<uint64_t>(c + 8) : 0, 8);
          put_be(fixed + 8, c ? load<uint64_t>(c) : 0, 8);
          n = 16;
          break;
        }
        case STORT_STR:
          // The text with its NUL: a text sorts before every longer one it
          // starts. Only as much of it is measured as the sink takes.
          bytes = data ? static_cast<const unsigned char *>(data) : fixed;
          fixed[0] = 0;
          n = strnlen(reinterpret_cast<const char *>(bytes), room);
          if (n < room) n++;
          else n = room + 1;  // the NUL lies beyond the room
          break;
        case STORT_IPADDR: {
          kx_ipaddr ip{};
          if (data) memcpy(&ip, data, sizeof ip);
          if (ip.family == AF_INET) {
            // IPv4 sorts before every other family.
            fixed[0] = 0;
            put_be(fixed + 1, ip.addr.ip, 4);
            n = 5;
          } else {
            fixed[0] = 1;
            memcpy(fixed + 1, &ip.addr.ip6, 16);
            n = 17;
          }
          break;
        }
      }
    }
    const size_t put = std::min(n, room);
    unsigned char *dst = sink.take(put);
    if (k.descending) {
      for (size_t i = 0; i < put; i++) dst[i] = static_cast<unsigned char>(~bytes[i]);
    } else {
      memcpy(dst, bytes, put);
    }
    if (put < n) return false;
    // Equal display positions settle the order: no later key counts.
    if (k.category) return true;
  }
  return true;
}

struct vector_sink {
  std::vector<unsigned char> *out;
  size_t room() const { return SIZE_MAX - 1; }
  unsigned char *take(size_t n) {
    out->resize(out->size() + n);
    return out->data() + out->size() - n;
  }
};

// The start of a row's encoded keys, up to the room of a caller's buffer.
struct prefix_sink {
  unsigned char *bytes;
  size_t cap;
  size_t used = 0;
  size_t room() const { return cap - used; }
  unsigned char *take(size_t n) {
    used += n;
    return bytes + used - n;
  }
};

// --- Files -----------------------------------------------------------------

struct read_closer {
  void operator()(READ_TBL *t) const { read_close(t); }
};
struct write_closer {
  void operator()(WRITE_TBL *t) const { write_close(t); }
};
using reader_ptr = std::unique_ptr<READ_TBL, read_closer>;
using writer_ptr = std::unique_ptr<WRITE_TBL, write_closer>;

// Reads the NUL-terminated paths of the queue file in order. The queue
// grows while it is read (merged files are appended), so the end of the
// file is only the end of what has been written so far.
class queue_reader {
 public:
  explicit queue_reader(int fd) : fd_(fd) {}
  bool next(std::string *out) {
    for (;;) {
      size_t nul = buf_.find('\0', pos_);
      if (nul != std::string::npos) {
        out->assign(buf_, pos_, nul - pos_);
        pos_ = nul + 1;
        if (pos_ >= 65536) {
          buf_.erase(0, pos_);
          pos_ = 0;
        }
        return true;
      }
      char chunk[4096];
      ssize_t n = file_read_full(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buf_;
  size_t pos_ = 0;
};

// Chooses the next row of a merge among k runs in about log2(k)
// comparisons: a tournament whose inner nodes hold the losers with their
// key prefixes, so that most comparisons look at no row. The winner is the
// lowest current row; among equal rows the earliest run, so a merge keeps
// ties in the order of its runs. tie(a, b) compares the rows of runs a and
// b in full when their prefixes are equal.
template <typename Tie>
class merge_tree {
 public:
  static constexpr uint32_t npos = UINT32_MAX;

  // prefixes: each run's first row's prefix.
  merge_tree(std::span<const uint64_t> prefixes, Tie tie)
      : k_(static_cast<uint32_t>(prefixes.size())),
        tie_(std::move(tie)),
        losers_(prefixes.size()),
        prefix_(prefixes.begin(), prefixes.end()),
        done_(prefixes.size(), 0) {
    if (k_ > 0) winner_ = play(1);
  }
  // The run whose row goes next, or npos when every run is exhausted.
  uint32_t winner() const { return k_ == 0 || done_[winner_] ? npos : winner_; }
  // The winner moved to its next row, of this prefix: the new winner.
  uint32_t replay(uint64_t prefix) {
    prefix_[winner_] = prefix;
    return replay();
  }
  // The winner has no rows left: the new winner.
  uint32_t exhaust() {
    prefix_[winner_] = UINT64_MAX;
    done_[winner_] = 1;
    return replay();
  }

 private:
  uint32_t replay() {
    uint32_t w = winner_;
    const uint64_t *prefix = prefix_.data();
    uint32_t *losers = losers_.data();
    uint64_t pw = prefix[w];
    for (uint32_t node = (w + k_) / 2; node >= 1; node /= 2) {
      const uint32_t l = losers[node];
      const uint64_t pl = prefix[l];
      // Distinct prefixes decide by masks, not branches: which run wins a
      // node follows the data, so a branch would be mispredicted half the
      // time.
      const bool swap = __builtin_expect(pl == pw, 0) ? beats(l, w) : pl < pw;
      const uint32_t m32 = 0u - static_cast<uint32_t>(swap);
      const uint64_t m64 = 0ull - static_cast<uint64_t>(swap);
      losers[node] = l ^ ((l ^ w) & m32);
      w ^= (w ^ l) & m32;
      pw ^= (pw ^ pl) & m64;
    }
    winner_ = w;
    return winner();
  }
  // Nodes 1..k-1 are inner nodes, k..2k-1 the runs.
  uint32_t play(uint32_t node) {
    if (node >= k_) return node - k_;
    uint32_t a = play(2 * node), b = play(2 * node + 1);
    if (beats(a, b)) std::swap(a, b);
    losers_[node] = a;
    return b;
  }
  // True when run a's row goes before run b's.
  bool beats(uint32_t a, uint32_t b) const {
    if (prefix_[a] != prefix_[b]) return prefix_[a] < prefix_[b];
    if (done_[a] || done_[b]) return done_[a] == done_[b] ? a < b : done_[b];
    int c = tie_(a, b);
    return c < 0 || (c == 0 && a < b);
  }

  uint32_t k_;
  Tie tie_;
  std::vector<uint32_t> losers_;
  std::vector<uint64_t> prefix_;  // of each run's current row; UINT64_MAX once done
  std::vector<unsigned char> done_;
  uint32_t winner_ = 0;
};

std::string format_text(const char *fmt, const char *a, const char *b) {
  char text[1024];
  snprintf(text, sizeof text, fmt, a, b);
  return text;
}

// Writes one run named by env through write_rows(WRITE_TBL *), which
// returns false when a write failed, and appends the run's path to the
// queue. *name gets the path once the file exists. False after recording
// the failure's text.
template <typename WriteRows>
bool write_run_file(const sort_env &env, RECORD *layout, int ip_type, int queue_fd, std::string *name,
                    WriteRows write_rows) {
  auto fail = [&env](const char *text) {
    if (env.error) env.error(text);
    return false;
  };
  name->clear();
  if (env.next_temp_file) *name = env.next_temp_file();
  if (name->empty()) return fail("Error 10012: (sort) Error creating temporary filename");
  writer_ptr out(write_new_rec_ip(env.rep, name->c_str(), layout, TABLE_WRITE_BUFFER_SIZE, ip_type));
  if (!out) {
    name->clear();
    return fail("Error 10013: (sort) Unable to create new report file");
  }
  if (!write_rows(out.get())) return fail("Error 10014: (sort) Unable to write report record to disk");
  if (!file_write_all(queue_fd, name->c_str(), name->size() + 1))
    return fail("Error 10015: (sort) Unable to write to report queue");
  if (!write_close(out.release())) return fail("Error 10016: (sort) Unable to write report record to disk");
  return true;
}

// Sorts malloc'ed rows, writes them as one run, frees them (also on
// failure) and queues the run.
bool write_record_run(const sort_env &env, std::span<RECORD *> rows, const sort_plan &plan, RECORD *layout,
                      int ip_type, int queue_fd, std::string *name) {
  struct freer {
    std::span<RECORD *> rows;
    ~freer() {
      for (RECORD *&r : rows) {
        free(r);
        r = nullptr;
      }
    }
  } owned{rows};
  sort_rows(rows, plan);
  return write_run_file(env, layout, ip_type, queue_fd, name, [rows](WRITE_TBL *out) {
    for (RECORD *r : rows)
      if (!write_next(out, r, nullptr)) return false;
    return true;
  });
}

// The rows of one run as bytes: each row as a table of the sort's IP
// storage holds it, with its encoded keys beside it. The sort moves only
// 16-byte (key prefix, row number) entries.
class run_buffer {
 public:
  bool empty() const { return order_.empty(); }
  size_t size() const { return order_.size(); }
  void clear() {
    order_.clear();
    row_end_.clear();
    key_end_.clear();
    bytes_.clear();
    keys_.clear();
  }
  void reserve(size_t rows) {
    order_.reserve(rows);
    spare_.reserve(rows);
    row_end_.reserve(rows);
    key_end_.reserve(rows);
  }

  // Takes the row last read from t.
  void add(const READ_TBL *t, int ip_type, const sort_plan &plan) {
    read_row_encoded(t, ip_type, &bytes_);
    sort_encode_key(t->rec, plan, &keys_);
    order_.push_back({0, static_cast<uint32_t>(order_.size())});  // the prefix is set by sort()
    row_end_.push_back(bytes_.size());
    key_end_.push_back(keys_.size());
  }

  // Orders the rows by their keys; rows with equal keys stay in the order
  // they were added.
  void sort() {
    if (order_.size() < 2) return;
    // The keys of one run often share their first bytes (a text's common
    // start, the high bytes of small counters): the rows are ordered by the
    // 8 bytes after what every key shares, so that few ties need the rest.
    const unsigned char *keys = keys_.data();
    size_t common = key_end_[0];
    for (uint32_t r = 1; r < order_.size() && common > 0; r++) {
      const size_t at = key_at(r), len = std::min(common, key_end_[r] - at);
      common = static_cast<size_t>(std::mismatch(keys, keys + len, keys + at).first - keys);
    }
    for (entry &e : order_) {
      const size_t at = key_at(e.row) + common;
      e.prefix = key_prefix(keys + at, key_end_[e.row] - at);
    }
    radix_sort();
    // Rows whose 8 bytes are alike and whose keys go on: by the rest.
    for (size_t i = 0; i < order_.size();) {
      size_t j = i + 1;
      while (j < order_.size() && order_[j].prefix == order_[i].prefix) j++;
      if (j - i > 1)
        std::stable_sort(order_.begin() + static_cast<ptrdiff_t>(i), order_.begin() + static_cast<ptrdiff_t>(j),
                         [this, keys, common](const entry &a, const entry &b) {
                           const size_t ka = key_at(a.row) + common, kb = key_at(b.row) + common;
                           return key_compare(a.prefix, keys + ka, key_end_[a.row] - ka, b.prefix, keys + kb,
                                              key_end_[b.row] - kb) < 0;
                         });
      i = j;
    }
  }

  // The encoded keys of the first and the last row. REQUIRES: sorted, not
  // empty.
  void bounds(std::vector<unsigned char> *first, std::vector<unsigned char> *last) const {
    const unsigned char *keys = keys_.data();
    const uint32_t a = order_.front().row, b = order_.back().row;
    first->assign(keys + key_at(a), keys + key_end_[a]);
    last->assign(keys + key_at(b), keys + key_end_[b]);
  }

  bool write(WRITE_TBL *out) const {
    for (const entry &e : order_) {
      const size_t at = e.row ? row_end_[e.row - 1] : 0;
      if (!write_row_bytes(out, bytes_.data() + at, row_end_[e.row] - at)) return false;
    }
    return true;
  }

 private:
  struct entry {
    uint64_t prefix;
    uint32_t row;
  };
  size_t key_at(uint32_t row) const { return row ? key_end_[row - 1] : 0; }

  // Stable sort of order_ by prefix, a byte at a time from the lowest;
  // bytes every row has alike are skipped.
  void radix_sort() {
    spare_.resize(order_.size());
    uint64_t differ = 0;
    for (const entry &e : order_) differ |= e.prefix ^ order_[0].prefix;
    for (int shift = 0; shift < 64; shift += 8) {
      if (((differ >> shift) & 0xFF) == 0) continue;
      size_t count[257] = {};
      for (const entry &e : order_) count[((e.prefix >> shift) & 0xFF) + 1]++;
      for (int b = 0; b < 256; b++) count[b + 1] += count[b];
      for (const entry &e : order_) spare_[count[(e.prefix >> shift) & 0xFF]++] = e;
      order_.swap(spare_);
    }
  }

  std::vector<entry> order_, spare_;
  std::vector<size_t> row_end_, key_end_;  // where each row's bytes and keys end
  std::vector<unsigned char> bytes_;
  std::vector<unsigned char> keys_;
};

// One run of sort_table_file. Every failure goes through fail(), which
// records the text; run() then removes what the sort made.
class sorter {
 public:
  sorter(const sort_env &env, const char *path) : env_(env), path_(path) {}
  sorter(const sorter &) = delete;
  sorter &operator=(const sorter &) = delete;

  int run(std::span<const sort_key> keys) {
    int64_t size = file_size(path_.c_str());
    if (size < 0) size = 0;
    if (env_.charge_temp && size > 0 && !env_.charge_temp(size)) {
      // The charge has recorded its text.
      cleanup();
      return 0;
    }
    charged_ = size;
    bool ok;
    try {
      ok = steps(keys);
    } catch (const std::bad_alloc &) {
      ok = fail("Error 10004: (sort) Memory Allocation Error");
    }
    if (env_.sorting) *env_.sorting = 0;
    if (!ok) {
      cleanup();
      return 0;
    }
    if (env_.charge_temp && charged_ > 0) env_.charge_temp(-charged_);
    return -1;
  }

 private:
  bool fail(const std::string &text) {
    if (env_.error) env_.error(text);
    return false;
  }

  std::string next_temp() { return env_.next_temp_file ? env_.next_temp_file() : std::string(); }

  void forget(const std::string &path) {
    ::unlink(path.c_str());
    made_.erase(path);
    files_.erase(path);
  }

  bool append_to_queue(const std::string &path) {
    return file_write_all(queue_w_.get(), path.c_str(), path.size() + 1);
  }

  void clear_temp() {
    if (env_.clear_temp) env_.clear_temp();
  }

  // Closes the queue and removes every file of this sort and the input.
  void cleanup() {
    queue_w_.reset();
    queue_r_.reset();
    for (const std::string &p : made_) ::unlink(p.c_str());
    made_.clear();
    ::unlink(path_.c_str());
    clear_temp();
  }

  bool steps(std::span<const sort_key> keys) {
    reader_ptr input(read_open(path_.c_str()));
    if (!input) return fail("Error 10001: (sort) Unable to open input file");
    ip_type_ = input->ip_type ? input->ip_type : report_table_ip_type(env_.rep);
    // Addresses of two storages are rewritten in one, which can change
    // their keys: a run's bounds then say nothing of the keys read back.
    runs_bounded_ = input->ips.size() <= 1;
    try {
      layout_.assign(input->rec, input->rec + input->field_count + 1);
      for (RECORD &r : layout_) {
        r.flags = 0;
        r.data = nullptr;
      }
    } catch (const std::bad_alloc &) {
      return fail("Error 10004: (sort) Memory Allocation Error");
    }
    plan_ = sort_make_plan(layout_.data(), keys, &env_.category_position);

    queue_path_ = next_temp();
    if (queue_path_.empty()) return fail("Error 10002: (sort) Error creating temporary filename");
    queue_w_.reset(::open(queue_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0664));
    if (queue_w_.valid()) made_.insert(queue_path_);
    if (queue_w_.valid()) queue_r_.reset(::open(queue_path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!queue_w_.valid() || !queue_r_.valid()) {
      char why[256];
      // The GNU strerror_r: safe beside other report threads.
      const char *text = strerror_r(errno, why, sizeof why);
      return fail(format_text("Error 10003: (sort) Unable to open report processing queue file %s: %s",
                              queue_path_.c_str(), text));
    }

    try {
      rows_.reserve(SORT_RUN_ROWS);
    } catch (const std::bad_alloc &) {
      return fail("Error 10004: (sort) Memory Allocation Error");
    }
    if (env_.sort_done) *env_.sort_done = 0;
    if (env_.sorting) *env_.sorting = 1;

    size_t runs = 0;
    while (read_next(input.get())) {
      rows_.add(input.get(), ip_type_, plan_);
      if (rows_.size() == SORT_RUN_ROWS) {
        if (!write_run()) return false;
        runs++;
      }
    }
    if (!rows_.empty()) {
      if (!write_run()) return false;
      runs++;
    }
    input.reset();

    if (runs == 0) {
      // Nothing to order: the input stays as it is.
      forget(queue_path_);
      queue_w_.reset();
      queue_r_.reset();
      clear_temp();
      return true;
    }
    ::unlink(path_.c_str());
    return merge_all();
  }

  // Sorts the rows held, writes them as one run, frees them and queues it.
  bool write_run() {
    std::string name;
    const long long count = static_cast<long long>(rows_.size());
    rows_.sort();
    file_info info{count, runs_bounded_, {}, {}};
    if (runs_bounded_) rows_.bounds(&info.first, &info.last);
    bool ok = write_run_file(env_, layout_.data(), ip_type_, queue_w_.get(), &name,
                             [this](WRITE_TBL *out) { return rows_.write(out); });
    rows_.clear();
    if (!name.empty()) made_.insert(name);
    if (!ok) return false;
    files_[name] = std::move(info);
    if (env_.sort_done) *env_.sort_done += count;
    return true;
  }

  // Takes up to SORT_MERGE_WAY paths from the front of the queue, merges
  // them and appends the merged file to the queue, until one path is left.
  // Merged files thus meet the runs still waiting behind them, which fixes
  // the order of rows equal on every key: within a merge the earlier path
  // of the queue goes first.
  bool merge_all() {
    queue_reader queue(queue_r_.get());
    std::vector<std::string> batch(SORT_MERGE_WAY);
    for (;;) {
      size_t n = 0;
      while (n < batch.size() && queue.next(&batch[n])) n++;
      if (n == 0) return fail("Error 10005: (sort) Error when merging sort files");
      if (n == 1) {
        if (!sort_move_file(batch[0].c_str(), path_.c_str()))
          return fail("Error 10011: (sort) Unable to rename a file");
        made_.erase(batch[0]);
        queue_w_.reset();
        queue_r_.reset();
        forget(queue_path_);
        clear_temp();
        return true;
      }
      if (!merge(std::span<const std::string>(batch.data(), n))) return false;
    }
  }

  bool merge(std::span<const std::string> batch) {
    std::string name = next_temp();
    writer_ptr out;
    if (!name.empty())
      out.reset(write_new_rec_ip(env_.rep, name.c_str(), layout_.data(), TABLE_WRITE_BUFFER_SIZE, ip_type_));
    if (!out) return fail("Error 10006: (sort) Unable to create new report file");
    made_.insert(name);

    // Every key of a merge lies between the lowest first key and the
    // highest last key of its files, so all share the bytes those two
    // share; rows are ordered by the 8 key bytes after them.
    file_info merged{0, true, {}, {}};
    long long expected = 0;
    for (const std::string &p : batch) {
      auto known = files_.find(p);
      if (known == files_.end()) {
        merged.bounded = false;
        continue;
      }
      const file_info &f = known->second;
      expected += f.rows;
      merged.bounded = merged.bounded && f.bounded;
      if (!merged.bounded) continue;
      if (merged.first.empty() || f.first < merged.first) merged.first = f.first;
      if (merged.last.empty() || merged.last < f.last) merged.last = f.last;
    }
    if (!merged.bounded) {
      merged.first.clear();
      merged.last.clear();
    }
    const size_t common = static_cast<size_t>(
        std::mismatch(merged.first.begin(), merged.first.begin() + std::min(merged.first.size(), merged.last.size()),
                      merged.last.begin())
            .first -
        merged.first.begin());
    std::vector<unsigned char> scratch(common + 8);

    // Each run's current row: its bytes in the run's read buffer and the 8
    // key bytes after the shared ones; its whole keys are encoded only when
    // two rows tie on those.
    struct source {
      reader_ptr table;
      std::string path;
      const unsigned char *row = nullptr;
      size_t len = 0;
      uint64_t prefix = 0;
      bool whole = false;  // the shared bytes and the prefix hold the whole keys
      bool keyed = false;  // key holds the whole keys
      std::vector<unsigned char> key;
    };
    const sort_plan &plan = plan_;
    auto advance = [&plan, &scratch, common](source &run) {
      if (!read_next(run.table.get())) return false;
      run.row = read_row_bytes(run.table.get(), &run.len);
      prefix_sink start{scratch.data(), scratch.size()};
      run.whole = encode_keys(run.table->rec, plan, start);
      run.prefix = start.used > common ? key_prefix(scratch.data() + common, start.used - common) : 0;
      run.keyed = false;
      return true;
    };
    std::vector<source> runs;
    runs.reserve(batch.size());
    for (const std::string &p : batch) {
      source run;
      run.table.reset(read_open(p.c_str()));
      run.path = p;
      if (!run.table) return fail("Error 10007: (sort) Unable to read report file");
      if (!advance(run)) {
        run.table.reset();
        forget(p);
        continue;
      }
      runs.push_back(std::move(run));
    }
    if (env_.on_merge) env_.on_merge(std::vector<std::string>(batch.begin(), batch.end()), name);

    long long written = 0;
    if (!runs.empty()) {
      // Called for equal prefixes only. Encoded keys are prefix-free, so a
      // key held whole in an equal prefix is the other key too.
      auto tie = [&runs, &plan, common](uint32_t a, uint32_t b) {
        source &x = runs[a], &y = runs[b];
        if (x.whole || y.whole) return 0;
        for (source *run : {&x, &y}) {
          if (run->keyed) continue;
          run->key.clear();
          sort_encode_key(run->table->rec, plan, &run->key);
          run->keyed = true;
        }
        return key_compare(x.prefix, x.key.data() + common, x.key.size() - common, y.prefix, y.key.data() + common,
                           y.key.size() - common);
      };
      std::vector<uint64_t> prefixes;
      for (const source &run : runs) prefixes.push_back(run.prefix);
      merge_tree<decltype(tie)> tree(prefixes, tie);
      for (uint32_t w = tree.winner(); w != tree.npos;) {
        source &run = runs[w];
        if (!write_row_bytes(out.get(), run.row, run.len))
          return fail("Error 10008: (sort) Unable to write report record to disk");
        written++;
        if (advance(run)) {
          w = tree.replay(run.prefix);
        } else {
          run.table.reset();
          forget(run.path);
          w = tree.exhaust();
        }
      }
    }
    // The reader ends alike on a damaged row and at the end of the file:
    // the rows this sort wrote are counted, so none goes missing unseen.
    if (written != expected) return fail("Error 10007: (sort) Unable to read report file");
    if (!append_to_queue(name)) return fail("Error 10009: (sort) Unable to write to report queue");
    if (!write_close(out.release())) return fail("Error 10010: (sort) Unable to write report record to disk");
    merged.rows = written;
    files_[name] = std::move(merged);
    return true;
  }

  const sort_env &env_;
  std::string path_;
  int64_t charged_ = 0;
  int ip_type_ = 0;
  bool runs_bounded_ = true;  // runs are read back with the keys they were sorted by
  std::vector<RECORD> layout_;  // the input's ids and types, data null, ended by id 0
  sort_plan plan_;
  run_buffer rows_;             // rows read and not yet written
  std::string queue_path_;
  kx_fd queue_w_, queue_r_;
  std::unordered_set<std::string> made_;                 // files of this sort that may still exist
  // What the sort knows of each run and merged file it wrote.
  struct file_info {
    long long rows;
    bool bounded;  // first and last are known
    std::vector<unsigned char> first, last;  // encoded keys of its first and last row
  };
  std::unordered_map<std::string, file_info> files_;
};

}  // namespace

sort_plan sort_make_plan(const RECORD *layout, std::span<const sort_key> keys,
                         const std::function<unsigned(uint32_t)> *category_position) {
  sort_plan plan;
  plan.category_position = category_position;
  if (!layout) return plan;
  RecordMap map;
  if (record_build_map(map, layout) < 0) return plan;
  for (const sort_key &k : keys) {
    if (k.field == 0) break;
    const Record &e = *record_get(layout, map, k.field);
    if (e.type != k.field) continue;  // the table has no such column
    const uint8_t storage = StorageType(e.datatype);
    const bool category = k.field == FIELD_CAT;
    if (!category && (storage == STORT_UNKNOWN || (storage & STORT_BYTE_FLAG))) continue;
    plan.keys.push_back({static_cast<int>(&e - layout), storage, category, !(k.order > 0)});
  }
  return plan;
}

int sort_compare_rows(const RECORD *a, const RECORD *b, const sort_plan &plan) {
  for (const sort_plan::key &k : plan.keys) {
    const Record &ea = a[k.index], &eb = b[k.index];
    int c;
    if (k.category) {
      c = three_way(category_of(ea, plan.category_position), category_of(eb, plan.category_position));
      // Equal display positions settle the order: no later key counts.
      return k.descending ? -c : c;
    }
    c = compare_value(ea.data, eb.data, k.storage);
    if (c != 0) return k.descending ? -c : c;
  }
  return 0;
}

void sort_encode_key(const RECORD *row, const sort_plan &plan, std::vector<unsigned char> *out) {
  vector_sink sink{out};
  encode_keys(row, plan, sink);
}

void sort_rows(std::span<RECORD *> rows, const sort_plan &plan) {
  std::stable_sort(rows.begin(), rows.end(),
                   [&plan](const RECORD *a, const RECORD *b) { return sort_compare_rows(a, b, plan) < 0; });
}

int sort_table_file(const sort_env &env, const char *path, std::span<const sort_key> keys) {
  if (!path) {
    if (env.error) env.error("Error 10001: (sort) Unable to open input file");
    return 0;
  }
  sorter s(env, path);
  return s.run(keys);
}

// --- The report run's entry points -------------------------------------------

namespace {

std::vector<sort_key> keys_of(const SORT_OPTION *keys) {
  std::vector<sort_key> out;
  for (const SORT_OPTION *k = keys; k && k->field != 0; k++) out.push_back({k->field, k->order});
  out.push_back({0, 0});
  return out;
}

std::function<unsigned(uint32_t)> report_positions(const REPORT *rep) {
  if (!rep || !rep->cats) return {};
  const category_order_map *order = rep->cats;
  return [order](uint32_t cat) -> unsigned {
    auto it = order->find(cat);
    return it == order->end() ? 0u : it->second;
  };
}

}  // namespace

sort_env sort_report_env(REPORT *rep) {
  sort_env env;
  env.rep = rep;
  if (!rep) return env;
  env.next_temp_file = [rep]() -> std::string {
    kx_malloc_ptr<char> p(tfile_next_temp_file(rep));
    return p ? std::string(p.get()) : std::string();
  };
  env.clear_temp = [rep] { tfile_clear_temp(rep); };
  env.category_position = report_positions(rep);
  env.charge_temp = [rep](int64_t bytes) { return status_add_temp_size(rep, bytes) != 0; };
  env.error = [rep](const std::string &text) { status_add_error(rep, "%s", text.c_str()); };
  env.sorting = &rep->sort;
  env.sort_done = &rep->sort_done;
  return env;
}

int sort_table(REPORT *rep, const char *path, SORT_OPTION *keys) {
  sort_env env = sort_report_env(rep);
  return sort_table_file(env, path, keys_of(keys));
}

int sort_records(RECORD **rows, int first, int last, SORT_OPTION *keys, REPORT *rep, RECORD *fields, int queue_fd) {
  if (!rows || first < 0 || last < first) return -1;
  std::span<RECORD *> range(rows + first, static_cast<size_t>(last - first + 1));
  sort_env env = sort_report_env(rep);
  std::vector<sort_key> k = keys_of(keys);
  sort_plan plan = sort_make_plan(fields ? fields : range[0], k, &env.category_position);
  std::string name;
  return write_record_run(env, range, plan, fields ? fields : range[0], report_table_ip_type(rep), queue_fd, &name)
             ? -1
             : 0;
}

void sort_fields(RECORD **rows, int first, int last, SORT_OPTION *keys, REPORT *rep) {
  if (!rows || first < 0 || last <= first) return;
  std::function<unsigned(uint32_t)> position = report_positions(rep);
  std::vector<sort_key> k = keys_of(keys);
  sort_plan plan = sort_make_plan(rows[first], k, &position);
  sort_rows(std::span<RECORD *>(rows + first, static_cast<size_t>(last - first + 1)), plan);
}

int sort_record_compare(RECORD *r1, RECORD *r2, SORT_OPTION *keys, REPORT *rep) {
  if (!r1 || !r2) return 0;
  std::function<unsigned(uint32_t)> position = report_positions(rep);
  std::vector<sort_key> k = keys_of(keys);
  return sort_compare_rows(r1, r2, sort_make_plan(r1, k, &position));
}

bool sort_move_file(const char *from, const char *to) {
  if (::rename(from, to) == 0) return true;
  if (errno != EXDEV) return false;
  // The temporary directory lies on another file system: copy beside the
  // target, then rename, so the target is never left half written.
  const std::string part = std::string(to) + ".part";
  kx_fd in(::open(from, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  kx_fd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return false;
  bool ok = true;
  std::vector<unsigned char> chunk(65536);
  for (;;) {
    ssize_t n = file_read_full(in.get(), chunk.data(), chunk.size());
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!file_write_all(out.get(), chunk.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  if (out.reset() != 0) ok = false;
  if (!ok || ::rename(part.c_str(), to) != 0) {
    int saved = errno;
    ::unlink(part.c_str());
    errno = saved;
    return false;
  }
  ::unlink(from);
  return true;
}
