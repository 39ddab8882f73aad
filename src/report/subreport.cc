#include "src/report/subreport.h"

#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "src/report/definition.h"
#include "src/report/fields.h"
#include "src/report/filter.h"
#include "src/report/group.h"
#include "src/report/group_record.h"
#include "src/report/sort.h"
#include "src/report/status.h"
#include "src/report/tfile.h"
#include "src/report/truncate.h"
#include "src/table/table.h"
#include "src/table/table_file.h"

namespace {

constexpr int kMaxGroups = 5000;
constexpr int kOutputBuffer = 131072;
// Room for a category list written as decimal numbers and commas.
constexpr size_t kCategoryText = GROUP_CATTEXT_SIZE;

// Records a failure's text through the message catalogue.
int fail(REPORT *rep, const char *text) {
  status_add_error(rep, "%s", dgettext("Tallowmere", text));
  return 0;
}

long long size_of_file(const char *path) {
  struct stat st;
  return path && stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void close_table(TABLE *&t) {
  if (t) table_close(t);
  t = nullptr;
}

void free_name(char *&name) {
  free(name);
  name = nullptr;
}

REPORT_GROUP *level_group(REPORT *rep, int level) {
  if (!rep->def || !rep->def->group || level < 0) return nullptr;
  for (int i = 0; i < level; i++)
    if (!rep->def->group[i]) return nullptr;
  return rep->def->group[level];
}

// Defaults of a column whose value the input row lacks.
const char kDash[] = "-";
const kx_ipaddr kNoAddress = [] {
  kx_ipaddr ip{};
  ip.family = AF_INET;
  ip.addr.ip = 0xFFFFFFFFu;
  return ip;
}();
const unsigned char kZero[16] = {};

// The text area for the category list of column j, after the row's entries.
char *category_text(REPORT *rep, int columns, int j) {
  auto *base = reinterpret_cast<char *>(rep->outrec + columns + 1);
  return base + static_cast<size_t>(j) * (kCategoryText + 1);
}

int start_summary(REPORT *rep, int level) {
  TABLE *in = rep->input;
  rep->groups = group_initialize(rep, level, kMaxGroups, in ? in->rec : nullptr, in ? in->map : nullptr);
  if (!rep->groups) return fail(rep, "Error 10407: (process) Error initializing group list");
  if (!rep->output) {
    rep->output = group_open_output(rep->groups, rep, rep->output_file_name);
    if (!rep->output) return fail(rep, "Error 10408: (process) Unable to create report file");
  }
  return -1;
}

int start_detail(REPORT *rep, int level) {
  const unsigned char *details = rep->group_def->details;
  int n = 0;
  while (details && details[n]) n++;
  size_t bytes = static_cast<size_t>(n + 1) * sizeof(RECORD) + static_cast<size_t>(n) * (kCategoryText + 1);
  rep->outrec = static_cast<RECORD *>(calloc(1, bytes));
  rep->srctypes = static_cast<unsigned char *>(calloc(static_cast<size_t>(n) + 1, 1));
  if (!rep->outrec || !rep->srctypes) return fail(rep, "Error 10416: (process) Memory allocation error");
  TABLE *in = rep->input;
  for (int j = 0; j < n; j++) {
    unsigned f = details[j];
    unsigned src = f;
    const Record *has = in ? record_find(in->rec, in->map, f) : nullptr;
    if (!has && f == 60) src = FIELD_CATS;
    if (!has && f == 61) src = FIELD_ALL_CATS;
    rep->srctypes[j] = static_cast<unsigned char>(src);
    const Record *source = in ? record_find(in->rec, in->map, src) : nullptr;
    // A column without any type would write a table nobody can read.
    uint8_t type = report_definition_detail_type(rep, f, source ? source->datatype : 0, level + 1);
    if (!type) return 0;
    if (PrintType(type) == PTYPE_CATS) type = 0x16;
    rep->outrec[j].type = static_cast<uint8_t>(f);
    rep->outrec[j].datatype = type;
  }
  return -1;
}

// The queue file read through a buffer: its entries are short and many.
// The read side only moves forward, so entries appended while one is
// processed are read in turn once the buffer is used up.
class queue_reader {
 public:
  explicit queue_reader(int fd) : fd_(fd) {}
  // 1 with the next byte in c; else what the read answered: 0 at the end,
  // -1 on an error.
  ssize_t next(char &c) {
    if (at_ == end_) {
      const ssize_t n = read(fd_, buf_, sizeof buf_);
      if (n <= 0) return n;
      at_ = 0;
      end_ = static_cast<size_t>(n);
    }
    c = buf_[at_++];
    return 1;
  }

 private:
  int fd_;
  size_t at_ = 0, end_ = 0;
  char buf_[4096];
};

}  // namespace

int process_sub_report_start(REPORT *rep, const char *filename, int group_offset, TABLE *input) {
  REPORT_GROUP *g = level_group(rep, group_offset);
  if (!g) return fail(rep, "Error 10400: (process) Invalid group level");
  rep->group_def = g;
  if (filename) {
    char *temp = tfile_next_temp_file(rep);
    if (!temp) return fail(rep, "Error 10403: (process) Unable to create report temp filename");
    rep->input_file_name = temp;
    if (rename(filename, temp) != 0) return fail(rep, "Error 10404: (process) Error when renaming a file");
    rep->input = table_open(TABLE_READ, rep, temp, nullptr, 0, 0);
    if (!rep->input) return fail(rep, "Error 10405: (process) Unable to open report file");
    rep->output_file_name = strdup(filename);
    if (!rep->output_file_name) return fail(rep, "Error 10406: (process) Unable to create report filename");
  } else {
    rep->input = input;
    rep->output_file_name = tfile_root_file(rep);
    if (!rep->output_file_name) return fail(rep, "Error 10402: (process) Unable to create report root filename");
  }
  rep->sort_todo = 0;
  switch (g->type) {
    case GROUP_TYPE_SUMMARY: return start_summary(rep, group_offset);
    case GROUP_TYPE_DETAIL: return start_detail(rep, group_offset);
    default: return 0;
  }
}

int process_sub_report_record_summary(REPORT *rep, RECORD *inrec, unsigned char *inmap) {
  int r = group_add_record(rep->groups, inrec, inmap, rep->index_fd, rep->input, rep, rep->output);
  if (r == 0) return -1;
  if (r != 2) return 0;
  if (!group_save_spill_record(rep, rep->groups, inrec, inmap)) return 0;
  rep->recs_done--;
  return -1;
}

int process_sub_report_record_detail(REPORT *rep, RECORD *inrec, unsigned char *inmap) {
  const unsigned char *details = rep->group_def->details;
  int n = 0;
  while (details && details[n]) n++;
  for (int j = 0; j < n; j++) {
    RECORD &out = rep->outrec[j];
    const Record *src = record_find(inrec, inmap, rep->srctypes[j]);
    if (src && src->data) {
      if (PrintType(src->datatype) == PTYPE_CATS) {
        char *text = category_text(rep, n, j);
        group_category_text(static_cast<const unsigned char *>(src->data), text, kCategoryText);
        out.data = text;
      } else {
        out.data = src->data;
      }
      continue;
    }
    const char *derived = find_derived(rep, inrec, inmap, out.type);
    switch (out.type) {
      case 32:
      case 46:
      case 48:
      case 53:
      case 70:
        out.datatype = 0x16;
        out.data = const_cast<char *>(derived ? derived : kDash);
        break;
      default:
        if (StorageType(out.datatype) == STORT_STR) {
          out.datatype = 0x16;
          out.data = const_cast<char *>(kDash);
        } else if (StorageType(out.datatype) == STORT_IPADDR) {
          out.data = const_cast<kx_ipaddr *>(&kNoAddress);
        } else {
          out.data = const_cast<unsigned char *>(kZero);
        }
    }
  }
  long long length = record_length(rep->outrec, report_table_ip_type(rep));
  if (!status_add_report_size(rep, length)) return 0;
  if (!rep->output) {
    rep->output = table_open(TABLE_WRITE, rep, rep->output_file_name, rep->outrec, 0, kOutputBuffer);
    if (!rep->output) return fail(rep, "Error 10417: (process) Unable to create report file");
  }
  int64_t written = 0;
  if (!table_write_record(rep->output, rep->outrec, &written))
    return fail(rep, "Error 10419: (process) Unable to write a report record");
  rep->size_written += written;
  rep->sort_todo++;
  return -1;
}

int process_sub_report_close_summary_group(REPORT *rep) {
  close_table(rep->input);
  if (rep->input_file_name) {
    if (!status_add_temp_size(rep, -size_of_file(rep->input_file_name))) return 0;
    if (unlink(rep->input_file_name) != 0) return fail(rep, "Error 10411: (process) Error when removing a file");
    free_name(rep->input_file_name);
  }
  int64_t bytes = 0, records = 0;
  if (!group_write(rep, &bytes, &records)) return fail(rep, "Error 10412: (process) Error writing to a report file");
  rep->size_written += bytes;
  rep->sort_todo += records;
  GROUP_TREE *tree = rep->groups;
  rep->groups = nullptr;
  if (!group_terminate(tree)) return fail(rep, "Error 10413: (process) Error writing to a report file");
  return -1;
}

int process_sub_report_process_spill(REPORT *rep, int group_offset) {
  while (rep->spill) {
    if (!process_sub_report_close_summary_group(rep)) return 0;
    close_table(rep->spill);
    rep->input_file_name = rep->spill_file_name;
    rep->spill_file_name = nullptr;
    rep->input = table_open(TABLE_READ, rep, rep->input_file_name, nullptr, 0, 0);
    if (!rep->input) return fail(rep, "Error 10414: (process) Unable to open a report file");
    rep->groups = group_initialize(rep, group_offset, kMaxGroups, rep->input->rec, rep->input->map);
    if (!rep->groups) return fail(rep, "Error 10407: (process) Error initializing group list");
    while (table_read_record(rep->input) == -1) {
      if (rep->cancel.load()) return 0;
      rep->recs_done++;
      if (!process_sub_report_record_summary(rep, rep->input->rec, rep->input->map)) return 0;
    }
  }
  return -1;
}

int process_sub_report_finalize(REPORT *rep) {
  REPORT_GROUP *g = rep->group_def;
  int max = report_definition_get_max_records(rep);
  long long removed = 0;
  if (g->type == GROUP_TYPE_SUMMARY) {
    if (!process_sub_report_close_summary_group(rep)) return 0;
    TABLE *out = rep->output;
    rep->output = nullptr;
    if (out && !table_close(out)) return fail(rep, "Error 10412: (process) Error writing to a report file");
    if (g->orderby && g->orderby[0].field && !sort_table(rep, rep->output_file_name, g->orderby)) return 0;
    if (max > 0) {
      if (!truncate_report(rep, rep->output_file_name, max, 1, &removed)) return 0;
      rep->size_written -= removed;
    }
    if (g->threshold) {
      int reached = 0;
      if (check_threshold(&reached, rep->output_file_name, g->threshold, rep) == -1 && reached)
        g->threshold_reached = 1;
    } else {
      g->threshold_reached = 1;
    }
    return -1;
  }
  // Detail.
  if (rep->input_file_name && !status_add_temp_size(rep, -size_of_file(rep->input_file_name))) return 0;
  if (!rep->output) {
    TABLE *empty = table_open(TABLE_WRITE, rep, rep->output_file_name, rep->outrec, 0, 8);
    if (!empty || !table_close(empty)) return fail(rep, "Error 10446: (process) Unable to create report file");
  } else {
    TABLE *out = rep->output;
    rep->output = nullptr;
    if (!table_close(out)) return fail(rep, "Error 10419: (process) Unable to write a report record");
    if (g->orderby && g->orderby[0].field && !sort_table(rep, rep->output_file_name, g->orderby)) return 0;
  }
  if (max > 0) {
    if (!truncate_report(rep, rep->output_file_name, max, 0, &removed)) return 0;
    rep->size_written -= removed;
  }
  g->threshold_reached = 1;
  return -1;
}

int process_sub_report_terminate(REPORT *rep) {
  REPORT_GROUP *g = rep->group_def;
  if (!g) return 0;
  if (g->type == GROUP_TYPE_SUMMARY) {
    if (rep->groups) {
      GROUP_TREE *tree = rep->groups;
      rep->groups = nullptr;
      if (!group_terminate(tree) && !rep->error) fail(rep, "Error 10413: (process) Error writing to a report file");
    }
    close_table(rep->input);
    close_table(rep->output);
    close_table(rep->spill);
    tfile_clear_temp(rep);
    free_name(rep->input_file_name);
    free_name(rep->output_file_name);
    free_name(rep->spill_file_name);
    return -1;
  }
  if (g->type == GROUP_TYPE_DETAIL) {
    free(rep->outrec);
    rep->outrec = nullptr;
    free(rep->srctypes);
    rep->srctypes = nullptr;
    close_table(rep->input);
    close_table(rep->output);
    free_name(rep->input_file_name);
    tfile_clear_temp(rep);
    free_name(rep->output_file_name);
    return -1;
  }
  return 0;
}

int process_sub_report(REPORT *rep, const char *filename, int group_offset) {
  if (!process_sub_report_start(rep, filename, group_offset, nullptr)) {
    process_sub_report_terminate(rep);
    return 0;
  }
  const bool summary = rep->group_def->type == GROUP_TYPE_SUMMARY;
  while (table_read_record(rep->input) == -1) {
    if (rep->cancel.load()) {
      process_sub_report_terminate(rep);
      return -1;
    }
    rep->recs_done++;
    int ok = summary ? process_sub_report_record_summary(rep, rep->input->rec, rep->input->map)
                     : process_sub_report_record_detail(rep, rep->input->rec, rep->input->map);
    if (!ok) {
      process_sub_report_terminate(rep);
      return -1;
    }
  }
  if (summary && rep->spill && !process_sub_report_process_spill(rep, group_offset)) {
    process_sub_report_terminate(rep);
    return 0;
  }
  int result = process_sub_report_finalize(rep);
  process_sub_report_terminate(rep);
  return result;
}

int process_report_queue(REPORT *rep) {
  queue_reader queue{rep->index_fd_read};
  std::string path;
  for (;;) {
    path.clear();
    char c = 0;
    ssize_t n;
    while ((n = queue.next(c)) == 1 && c != '\0') path += c;
    if (n == 0 && path.empty()) return -1;
    char raw[sizeof(int32_t)];
    size_t got = 0;
    while (n == 1 && got < sizeof raw && queue.next(raw[got]) == 1) got++;
    if (n != 1 || got != sizeof raw) return fail(rep, "Error 10438: (process) Error reading from report queue file");
    int32_t level = 0;
    memcpy(&level, raw, sizeof level);
    if (access(path.c_str(), R_OK) != 0) continue;
    if (!process_sub_report(rep, path.c_str(), level)) return 0;
  }
}
