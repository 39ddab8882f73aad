// Writes the seed inputs of the query fuzzer into the directory argv[1]:
// rule lines, an empty line, then a text.
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const char *seeds[] = {
      "cat dog\ndog\n\nHot dog, cat and dog",
      "cat AND dog\ncat && dog\ncat +dog\ncat -dog\n\nthe cat, the dog",
      "(a b) c\na b AND c\ncat !dog\n\na b c",
      "\"foo,bar\"\n\"hot  dog\"\n\"a , b\"\n\nfoo,bar and hot\tdog; a ,b",
      "FLORIDA\ne-mail\na\\(b\n\nfl ida e mail a\\(b",
      "word~3 x^2\n\"\"\n\"   \"\n\nword x",
      "a (b\na)\n\"open\nend\\\n\nanything",
      "B\nA B\nFOO.BAR\n\na b foo.bar",
      "caf\xe9\n\nCAF\xc9 caf\xe9!",
      "dogs\n\nI like cats and dogs",
  };
  int n = 0;
  for (const char *s : seeds) {
    std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(n++),
                      std::ios::binary | std::ios::trunc);
    out << s;
    if (!out) {
      std::perror(argv[1]);
      return 1;
    }
  }
  return 0;
}
