// Writes the seed inputs of the URL-list fuzzer into the directory argv[1]:
// a first byte (hint, split point, lock) and list-file text with every
// entry type, plain and hashed.
#include <cstdio>
#include <fstream>
#include <string>

#include "lib/lists/urllist_explode.h"

namespace {

std::string hex(const char *s) {
  myhash_t h;
  urllist_hash(s, static_cast<int>(std::string(s).size()), &h);
  char buf[17];
  urllist_hash2str(&h, buf, sizeof buf);
  return buf;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string hashed = hex("http") + "://" + hex("example") + "." + hex("com") + ":" + hex("80") + "/" +
                             hex("a") + " Uh D\n";
  const std::string seeds[] = {
      std::string("\x00", 1) +
          "# every kind\n"
          "http://example.com/a U D\n"
          "example.com:8000-8080/x?q&r=1 U A\n"
          "*.example.org Uc C 5,7\n"
          "Example.net/Path Uc T text here\n"
          "ftp S A\n/ads/ P D\n?utm_source Q D\n"
          "|^http://re\\.example/| R D\n/AB+C/ Rc A\n.exe E D\n"
          "word K D\nwhole W A\nbig+cat k D\nred+!dog w A\nvirus T D\n"
          "10.0.0.0-10.0.0.255 U D\nhttp://10.0.0.5/p U A\n[2001:db8::1-2001:db8::ff] U D\n"
          "0123456789abcdef0123456789abcdef01234567 D D\n"
          "* N A\n",
      std::string("\x05") + "example.com 1\nexample.com 2\nsite 5 12,14\nplain.example\n",
      std::string("\x03") + "a.example 1\nb.example 0\nc.example U A\nd.example U C 5\ne.example U D x\n",
      std::string("\x84") + "example.com U R q=([^&]*) $1\nexample.com U R x y\n10.0.0.1 U R a b\n"
                            "10.0.0.1-10.0.0.2 U R c d\n",
      std::string("\x01") + hashed + "bad U Z\n/(/ R D\nzz D D\nx Y D\n[::1-\nhttp://[ U D\n",
      std::string("\x02") + "host.example.com U N\nhttp://host.example.com/x?a=1#frag U Q -a +b=2\n"
                            "http://host.example.com/h U H 3 abc 2 de\nhttp://l.example U L 12\n",
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
