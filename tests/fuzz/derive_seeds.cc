// Writes the seed inputs of derive_fuzz into the directory argv[1].
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
      {0, "http://user@WWW.Example.COM:8080/x?y=1"},
      {0, "https://a.b.c.co.uk/"},
      {4, "http://x.y.example.net:81"},
      {8, "http://www.shop.example.org/"},
      {0, "http://[::1]:8080/"},
      {0, "http://10.1.2.3/"},
      {0, "http://ftp.h1.proto.check.tallowmere.invalid:21/"},
      {1, "5,,9,x1"},
      {1, "1,2,3,99999999999"},
      {2, "IB:100;OB:250"},
      {2, "OB:1;IB:99999999999999999999"},
      {3, "1 1000\n2 1000 1001\n3\n0007 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n"},
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
