// Writes the seed inputs of urlparse_fuzz into the directory argv[1].
#include <cstdio>
#include <string>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  struct Seed {
    unsigned char ctl;
    const char *text;
  } seeds[] = {
      {1, "http://www.example.com/a/b/c.html?x=1&y=2#frag"},
      {0, "http://Example.COM/A/b.HTML?x=1"},
      {0, "host.example.com"},
      {0, "example.com/a//b/"},
      {0, "/images/"},
      {0, "?q=1"},
      {1, "http://[::1]:8080/"},
      {1, "https://u:p@10.1.2.3:443/x"},
      {0x21, "http://b\xc3\xbc" "cher.example/"},
      {0x05, "0100000000000000://0001000000000000/ffffffffffffffff"},
      {1, "http://[/%zz%%/\xff\xfe"},
      {0x40, "Qa +a=1 -b -c= d=4"},
      {0x40, "R q=([^&]*) $1$2$"},
      {0x40, "Ru (a)(b) $2$1"},
      {0x40, "S ab x"},
      {0x40, "H 3 abc 2 de"},
      {0x40, "H X-Header: value"},
      {0x40, "C 5,3,5,x,7"},
      {0x40, "L 12"},
      {0x40, "T text"},
  };
  int n = 0;
  for (const auto &s : seeds) {
    std::string path = std::string(argv[1]) + "/seed" + std::to_string(n++);
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
      perror(path.c_str());
      return 1;
    }
    fputc(s.ctl, f);
    fputs(s.text, f);
    fclose(f);
  }
  return 0;
}
