// reportpeek: prints one report table file as text, CSV or JSON, or answers
// which sub-report belongs to a row of a summary table.
//
//   reportpeek [-c|-j] [-m names] [-r count] [-s row | -S key] file
//
// Everything goes to standard output, errors included; the exit status is 1
// when the table cannot be opened or memory runs out, else 0.
#include <getopt.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/base/kxnet.h"
#include "lib/base/kxpath.h"
#include "lib/record/record.h"
#include "src/table/table.h"

namespace {

enum class Mode { text, csv, json };

constexpr size_t kMaxNames = 256;

struct Options {
  Mode mode = Mode::text;
  std::vector<std::string> names;  // category names by number
  long limit = 0;                  // records to print; below 1: all
  bool by_row = false;             // -s
  long row = 0;
  bool by_key = false;             // -S
  std::string key;
  const char *file = nullptr;
};

void usage() {
  fputs("Usage:\treportpeek [options] filename\n"
        "\t-h\t\tDisplay this help.\n"
        "\t-m categories\tthe category names list\n"
        "\t-c\t\tCSV format\n"
        "\t-j\t\tJSON format\t\n"
        "\t-s number\tN-th subreport file name\t\n"
        "\t-S string\tsubreport that match the string\t\n"
        "\t-r number\tlimit the number of records\t\n",
        stdout);
}

std::string json_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// A quoted CSV value doubles its double quotes.
std::string csv_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out;
}

void print_error(Mode mode, const std::string &message) {
  if (mode == Mode::json)
    printf("{ \"error\" : \"%s\" }\n", json_escape(message).c_str());
  else
    printf("-ERROR %s\n", message.c_str());
}

// --- Field values (read by record_value_*: row data sits at any offset) -----

// A value shown as 32 bits (times, category numbers): the low 32 bits.
uint32_t value32(const RECORD &r) { return static_cast<uint32_t>(record_value_uint(r)); }

std::string_view text_of(const RECORD &r) {
  const char *text = record_value_text(r);
  return text ? std::string_view(text) : std::string_view();
}

// The address of an IP field in row form (IPv4 as a host-order value);
// zeroed when the field holds none.
kx_ipaddr address_of(const RECORD &r) {
  kx_ipaddr ip;
  record_value_address(r, &ip);
  return ip;
}

std::string address_text(const RECORD &r) {
  kx_ipaddr ip = address_of(r);
  char buf[KXNET_ADDRSTRLEN] = "";
  record_ip_ntop(&ip, buf, sizeof buf);
  return buf;
}

bool is_summary_id(unsigned id) {
  return (id >= 9 && id <= 18) || (id >= 33 && id <= 35) || id == 52 || id == 65 || id == 66;
}

bool is_percent_id(unsigned id) { return id >= 33 && id <= 35; }

// A row whose first field is empty: the 'other' and 'items' rows of a
// truncated summary.
bool is_special(const RECORD &r) {
  switch (StorageType(r.datatype)) {
    case STORT_INT8:
    case STORT_INT16:
    case STORT_INT32:
    case STORT_INT64:
      return record_value_uint(r) == 0;
    case STORT_STR:
      return text_of(r) == "__";
    case STORT_IPADDR: {
      kx_ipaddr ip = address_of(r);
      static const unsigned char zero[sizeof ip.addr] = {};
      return memcmp(&ip.addr, zero, sizeof zero) == 0;
    }
    default:
      return false;
  }
}

// --- Printing -------------------------------------------------------------

class Printer {
 public:
  Printer(const Options &o, const std::vector<long long> &sums) : o_(o), sums_(sums) {}

  void field(const RECORD &r, size_t column) {
    const unsigned id = r.type;
    const unsigned type = r.datatype;
    switch (PrintType(type)) {
      case PTYPE_STRING:
        text(text_of(r));
        break;
      case PTYPE_OCTETS:
      case PTYPE_CATS:
        categories(text_of(r));
        break;
      case PTYPE_TIMESTAMP:
        if (o_.mode == Mode::csv)
          text(local_time(value32(r)));
        else
          number(value32(r));
        break;
      case PTYPE_IP:
        text(address_text(r));
        break;
      case PTYPE_CHAR: {
        char c = static_cast<char>(record_value_uint(r));
        if (o_.mode == Mode::text)
          printf("%c\n", c);
        else
          text(std::string_view(&c, 1));
        break;
      }
      case PTYPE_BOOL: {
        bool set = record_value_uint(r) != 0;
        if (o_.mode == Mode::csv && id == FIELD_DENIED_FLAG)
          text(set ? "Denied" : "Allowed");
        else
          text(set ? "on" : "off");
        break;
      }
      case PTYPE_CAT: {
        uint32_t n = value32(r);
        const std::string *name = category_name(n);
        if (n <= 254 && name)
          text(*name);
        else
          number(n);
        break;
      }
      default:
        switch (StorageType(type)) {
          case STORT_INT8:
          case STORT_INT16:
          case STORT_INT32:
            number(static_cast<uint32_t>(record_value_uint(r)));
            break;
          case STORT_INT64:
            if (is_percent_id(id)) {
              long long sum = sums_[column];
              double v = static_cast<double>(static_cast<int64_t>(record_value_uint(r)));
              percent(sum == 0 ? 0.0 : v * 100.0 / static_cast<double>(sum));
            } else {
              wide(record_value_uint(r));
            }
            break;
          case STORT_STR:
            text(text_of(r));
            break;
          default:
            text("");
        }
    }
  }

 private:
  const std::string *category_name(uint32_t n) const {
    if (n < o_.names.size() && !o_.names[n].empty()) return &o_.names[n];
    return nullptr;
  }

  void text(std::string_view s) {
    switch (o_.mode) {
      case Mode::text:
        fwrite(s.data(), 1, s.size(), stdout);
        fputc('\n', stdout);
        break;
      case Mode::csv:
        printf("\"%s\"", csv_escape(s).c_str());
        break;
      case Mode::json:
        printf("\"%s\"", json_escape(s).c_str());
        break;
    }
  }

  void number(uint32_t v) { printf(o_.mode == Mode::text ? "%u\n" : "\"%u\"", v); }

  void wide(uint64_t v) {
    printf(o_.mode == Mode::text ? "%llu\n" : "\"%llu\"", static_cast<unsigned long long>(v));
  }

  void percent(double v) {
    printf(o_.mode == Mode::text ? "%.2f\n" : o_.mode == Mode::csv ? "\"%.2f%%\"" : "\"%.2f\"", v);
  }

  void categories(std::string_view list) {
    if (!list.empty() && static_cast<unsigned char>(list[0]) == 0xFF) {
      text(list);
      return;
    }
    std::string joined;
    for (size_t i = 0; i < list.size(); i++) {
      if (i) joined += ',';
      unsigned n = static_cast<unsigned char>(list[i]);
      if (const std::string *name = category_name(n))
        joined += *name;
      else
        joined += std::to_string(n);
    }
    // A JSON list of categories is followed by a line break, unlike every
    // other JSON value.
    if (o_.mode == Mode::json)
      printf("\"%s\"\n", json_escape(joined).c_str());
    else
      text(joined);
  }

  static std::string local_time(uint32_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    char buf[64] = "";
    if (localtime_r(&t, &tm)) strftime(buf, sizeof buf, "%F %T", &tm);
    return buf;
  }

  const Options &o_;
  const std::vector<long long> &sums_;
};

TABLE *open_table(const Options &o) {
  TABLE *t = table_open(TABLE_READ, nullptr, o.file, nullptr, 0, 0);
  if (!t) print_error(o.mode, std::string("Can't open the report file '") + o.file + "':");
  return t;
}

// Rows counted and counter columns summed over the whole table.
struct Totals {
  long long total = 0;
  std::vector<long long> sums;
  bool has_items = false;  // a truncated summary: its second special row counts folded rows
};

Totals count_rows(TABLE *t) {
  Totals s;
  int fields = record_count(t->rec);
  std::vector<uint64_t> sums(static_cast<size_t>(fields), 0);  // unsigned: hostile files may overflow
  bool summary = fields >= 2 && is_summary_id(t->rec[1].type);
  // The counter columns (plain integers); the types are the table's, the
  // same in every row.
  std::vector<int> counters;
  for (int i = 0; i < fields; i++) {
    unsigned storage = StorageType(t->rec[i].datatype);
    if (t->rec[i].datatype < 0x10 && storage >= STORT_INT8 && storage <= STORT_INT64) counters.push_back(i);
  }
  int specials = 0;
  uint64_t rows = 0;
  while (table_read_record(t)) {
    const RECORD *rec = t->rec;
    if (summary && is_special(rec[0]) && ++specials == 2) {
      // rec[2] is the terminator (no value) in a two-field table.
      const RECORD &count = rec[1].type == FIELD_SUBREPORTFILENAME ? rec[2] : rec[1];
      rows += record_value_uint(count) - 1;
      s.has_items = true;
      break;
    }
    rows++;
    for (int i : counters) sums[static_cast<size_t>(i)] += record_value_uint(rec[i]);
  }
  s.total = static_cast<long long>(rows);
  for (uint64_t v : sums) s.sums.push_back(static_cast<long long>(v));
  return s;
}

void print_header(const Options &o, const TABLE *t, const Totals &s) {
  const RECORD *rec = t->rec;
  int fields = record_count(rec);
  auto sum_of = [&](int i) { return is_percent_id(rec[i].type) ? 100LL : s.sums[static_cast<size_t>(i)]; };
  if (o.mode == Mode::text) {
    printf("+TOTAL %lld\n+FIELDS ", s.total);
    for (int i = 0; i < fields; i++) printf("%s%s", i ? "," : "", record_field_name(rec[i].type));
    fputs("\n+SUM ", stdout);
    for (int i = 0; i < fields; i++) printf("%s%d=%lld", i ? "," : "", rec[i].type, sum_of(i));
    fputs("\n", stdout);
  } else if (o.mode == Mode::json) {
    printf("{ \"total\" : \"%lld\",\n  \"fields\" : [", s.total);
    for (int i = 0; i < fields; i++) printf("%s \"%d\"", i ? "," : "", rec[i].type);
    fputs(" ],\n  \"names\" : [", stdout);
    for (int i = 0; i < fields; i++) printf("%s \"%s\"", i ? "," : "", record_field_name(rec[i].type));
    fputs(" ],\n  \"sum\" : [ ", stdout);
    for (int i = 0; i < fields; i++) printf("%s \"%lld\"", i ? "," : "", sum_of(i));
    fputs(" ],\n  \"records\" : [\n", stdout);
  }
}

int print_table(const Options &o) {
  TABLE *t = open_table(o);
  if (!t) return 1;
  Totals s = count_rows(t);
  table_close(t);

  t = open_table(o);
  if (!t) return 1;
  print_header(o, t, s);
  Printer printer(o, s.sums);
  int fields = record_count(t->rec);
  int specials = 0;
  long printed = 0;
  while (table_read_record(t)) {
    const RECORD *rec = t->rec;
    if (s.has_items && is_special(rec[0]) && ++specials > 1) continue;
    if (o.limit > 0 && printed >= o.limit) break;
    if (o.mode == Mode::text) fputs("+REC\n", stdout);
    if (o.mode == Mode::json) fputs(printed ? ",\n    {" : "    {", stdout);
    bool first = true;
    for (int i = 0; i < fields; i++) {
      if (o.mode == Mode::csv && rec[i].type == FIELD_SUBREPORTFILENAME) continue;
      switch (o.mode) {
        case Mode::text: printf("%d ", rec[i].type); break;
        case Mode::csv: if (!first) fputc(',', stdout); break;
        case Mode::json: printf("%s\"%d\" : ", first ? "" : ", ", rec[i].type); break;
      }
      first = false;
      printer.field(rec[i], static_cast<size_t>(i));
    }
    switch (o.mode) {
      case Mode::text: fputs("+END\n", stdout); break;
      case Mode::csv: fputc('\n', stdout); break;
      case Mode::json: fputc('}', stdout); break;
    }
    printed++;
  }
  if (o.mode == Mode::json) fputs("\n  ]\n}\n", stdout);
  table_close(t);
  return 0;
}

// The look-up key in each form a first field may take, parsed once for
// the whole table.
struct LookUpKey {
  explicit LookUpKey(const std::string &k) : text(k), on(k == "on"), number(strtoull(k.c_str(), nullptr, 10)) {
    kxnet_aton(k.c_str(), &ip);
    record_ip_to_host_order(&ip);
  }
  const std::string &text;
  bool on;
  uint64_t number;
  kx_ipaddr ip{};
};

// Does the look-up key name this first field?
bool key_matches(const RECORD &r, const LookUpKey &key) {
  const unsigned type = r.datatype;
  switch (PrintType(type)) {
    case PTYPE_IP: {
      kx_ipaddr have = address_of(r);
      return kxnet_compare(&key.ip, &have) == 0;
    }
    case PTYPE_BOOL:
      return key.on == (record_value_uint(r) != 0);
    case PTYPE_STRING:
      return r.data && StorageType(type) == STORT_STR && text_of(r) == key.text;
    default: {
      size_t n = record_fixed_size(type);
      if (n == 0 || n > 8 || !r.data) return false;
      uint64_t want = key.number;
      if (n < 8) want &= (uint64_t{1} << (8 * n)) - 1;
      return record_value_uint(r) == want;
    }
  }
}

int look_up(const Options &o) {
  TABLE *t = open_table(o);
  if (!t) return 1;
  bool linked = record_count(t->rec) >= 2 && t->rec[1].type == FIELD_SUBREPORTFILENAME;
  if (o.by_row) {
    for (long i = 0; linked && table_read_record(t); i++) {
      if (i == o.row) {
        printf("%s\n", std::string(text_of(t->rec[1])).c_str());
        break;
      }
    }
  } else {
    const LookUpKey key(o.key);
    bool found = false;
    while (linked && !found && table_read_record(t)) {
      if (key_matches(t->rec[0], key)) {
        printf("%s\n", std::string(text_of(t->rec[1])).c_str());
        found = true;
      }
    }
    if (!found) fputs("-\n", stdout);
  }
  table_close(t);
  return 0;
}

std::vector<std::string> split_names(const char *list) {
  std::vector<std::string> names;
  std::string_view rest = list;
  while (names.size() < kMaxNames) {
    size_t comma = rest.find(',');
    names.emplace_back(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return names;
}

}  // namespace

// The whole program after the install root is set up: options, then one
// table printed or one look-up answered. Returns the exit status.
int reportpeek_run(int argc, char **argv) {
  Options o;
  try {
    optind = 0;  // a full rescan of argv on every call
    int c;
    while ((c = getopt(argc, argv, "?hm:cjr:s:S:")) != -1) {
      switch (c) {
        case 'm': o.names = split_names(optarg); break;
        case 'c': o.mode = Mode::csv; break;
        case 'j': o.mode = Mode::json; break;
        case 'r': o.limit = atol(optarg); break;
        case 's': o.by_row = true; o.row = atol(optarg); break;
        case 'S': o.by_key = true; o.key = optarg; break;
        default:
          usage();
          return 0;
      }
    }
    if (optind >= argc) {
      print_error(o.mode, "Report file name is missing");
      return 0;
    }
    o.file = argv[optind];
    int status = o.by_row || o.by_key ? look_up(o) : print_table(o);
    fflush(stdout);
    return status;
  } catch (const std::bad_alloc &) {
    print_error(o.mode, "Memory allocation error");
    fflush(stdout);
    return 1;
  }
}

#ifndef REPORTPEEK_NO_MAIN
int main(int argc, char **argv) {
  kxpath_init();
  setlocale(LC_ALL, "C");
  return reportpeek_run(argc, argv);
}
#endif
