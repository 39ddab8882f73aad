// Writes the seed tables of the report table fuzzer into directory argv[1].
#include <stdio.h>

#include <string>

#include "tests/fixtures/report_table_writer.h"

using namespace fixtures;

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: report_table_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  for (int ip_type = 1; ip_type <= 3; ip_type++)
    ok = write_mixed_table(dir + "/mixed" + std::to_string(ip_type) + ".tbl", ip_type) && ok;
  ok = write_example_table(dir + "/example.tbl") && ok;
  ok = write_truncated_summary(dir + "/summary.tbl") && ok;
  ok = write_table(dir + "/lookup.tbl", {{2, 0x57}, {18, 0x16}, {9, 0x04}},
                   {{tv_ip("10.0.0.1"), tv_text("a.tbl"), tv_num(1)}, {tv_ip("::1"), tv_text("b.tbl"), tv_num(2)}}) &&
       ok;
  ok = write_table(dir + "/large.tbl", {{3, 0x16}, {9, 0x04}},
                   {{tv_text("a"), tv_num(1)}, {tv_text(std::string(33000, 'x')), tv_num(2)}}) &&
       ok;
  ok = write_file_bytes(dir + "/v1.tbl", v1_table_bytes({2, 9, 5, 40}, {{tv_num(0x0A000001), tv_num(3), tv_text("\x01\x02"), tv_num(1)}})) && ok;
  std::vector<unsigned char> mixed = read_file_bytes(dir + "/mixed3.tbl");
  ok = write_file_bytes(dir + "/cut.tbl", truncated(mixed, mixed.size() - 5)) && ok;
  if (!ok) {
    fprintf(stderr, "report_table_seeds: cannot write the seeds into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
