// Writes the seed inputs of the filter fuzzer into the directory argv[1]:
// lines of a field-id byte, an options byte and a rule text.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string line(int field, int options, const std::string &rule) {
  return std::string(1, static_cast<char>(field)) + static_cast<char>('0' + options) + rule + "\n";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  std::string many_terms;
  for (int i = 0; i < 300; ++i) many_terms += "== " + std::to_string(i) + " ";
  std::string many_cats = "& ";
  for (int i = 0; i < 300; ++i) many_cats += std::to_string(i) + ",";
  std::string many_lines;
  for (int i = 0; i < 200; ++i) many_lines += line(9, 0, ">= 1");
  std::string domains;
  for (int i = 0; i < 300; ++i) domains += (i ? "|d" : "d") + std::to_string(i) + "[.]example";
  const std::vector<std::string> seeds = {
      line(31, 0, ">= -86400") + line(7, 0, "== +100 < -1") + line(9, 0, ">= 1:2"),
      line(1, 0, "? \"a.a\" !? \"a=a\"") + line(32, 0, "~ \"^(.*[.])?(" + domains + ")$\""),
      line(1, 0, "~ \"(a*)*(a*)*x?x?x?a**\"") + line(1, 0, "~ \"((a|b|c|d|e|f|g|h|i|j|k|l|m|n|o|p|q)\""),
      line(7, 0, "@ 100 200") + line(3, 0, "== \"alice\""),
      line(7, 0, "!@ 100 200 > 5") + line(2, 0, "== 10.0.0.0/8"),
      line(2, 0, "== 2001:db8::/60") + line(47, 0, "!= ::1"),
      line(1, 0, "? \"search\" % \"cheap\" !% \"x\"") + line(1, 0, "~ \"^http://[a-z.]+\""),
      line(1, 0, "!~ \"(\"") + line(1, 0, "~ \"(a)\\\\1\""),
      line(5, 0, "& 5,7") + line(8, 0, "$ 41,42") + line(54, 0, "& 5"),
      line(6, 0, "TRUE") + line(63, 0, "== keyword") + line(63, 0, "@ 1 8"),
      line(43, 0, "@ 3600 7200") + line(44, 0, "== 3") + line(45, 0, "> 2"),
      line(53, 3, "== \"Cheap%20Flights\"") + line(32, 0, "== \"www.example.com:81\""),
      line(48, 0, "== \"example.com\"") + line(70, 0, "% \"words\""),
      line(9, 0, "> 50") + line(33, 0, ">= 10") + line(36, 0, "<= 3"),
      line(58, 0, "== \"default\"") + line(51, 0, "== 5") + line(57, 0, "& 5,7"),
      line(4, 0, "== \"sales_team\"") + line(59, 0, "== \"tag\""),
      line(3, 0, "== \"unterminated") + line(7, 0, "== 99999999999999999999999"),
      line(7, 0, "<100") + line(7, 0, "== yesterday") + line(3, 0, "== alice"),
      line(7, 0, many_terms),
      line(5, 0, many_cats),
      many_lines,
  };
  int n = 0;
  for (const std::string &s : seeds) {
    std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(n++), std::ios::binary | std::ios::trunc);
    out << s;
    if (!out) {
      std::perror(argv[1]);
      return 1;
    }
  }
  return 0;
}
