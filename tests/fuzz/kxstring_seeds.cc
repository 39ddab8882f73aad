// Writes the seed texts of the string fuzzer into the directory argv[1].
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const char *seeds[] = {
      "a,,b",        "url \"two words\" other", "HTTP://A.b/%41%20x %4G %", "a+b%41%", "YWJjZGVm",
      "  trim me  ", "it's \\\"quoted\\\"\\",   "0aFf1z",
  };
  int i = 0;
  for (const char *s : seeds) std::ofstream(std::string(argv[1]) + "/seed" + std::to_string(i++)) << s;
  return 0;
}
