// Writes the seed inputs of the definition fuzzer into the directory
// argv[1]: a first byte for the report kind (its value modulo 3: 0
// continuous, 1 demand, 2 scheduled), then a definition text using every section and key.
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string seeds[] = {
      "\x01[general]\nversion=1\nlanguage=en_US\ntimezone=Europe/Berlin\n"
      "[group]\ntype=SUMMARY\ngroupby=3\nsummary=9,10,11,33\norderby=9,-1,3,1\ntopk=10\n"
      "view=summary!3,9!25!1!0!1!1!2 layout!1!2 bar_2d!7,9t!50!1\n"
      "threshold=request_count:>= 10\nthreshold=denied:TRUE\ncatoption=2,5\n"
      "[group]\ntype=DETAIL\ndetails=1,2,7,32,53\norderby=7,1\n"
      "[static_filter]\ndate=@ 1000 2000\nuser=== \"bob\"\n"
      "[dynamic_filter]\nip=== 10.0.0.0/8\ncats=& 1,2,3\ndenied=FALSE\nsearch_terms=% \"a%20b\"\n"
      "[fields metadata precompiled]\n48=/^www\\.([a-z]+)$/\\1\n52=300\n",
      "\x02[general]\nversion=1\n[group]\ntype=SUMMARY\ngroupby=22\nsummary=9,52,65,66\n"
      "orderby=7,1\ncatgroup=4\n[static_filter]\nreldate=>= 0\ndaytime=!@ 3600 7200\n"
      "weekday=== 1\nmonthday=< 15\nhost=? \"example\"\n63=== 1\n"
      "[fields metadata precompiled]\n48=|*,co.uk,com.au\n",
      "\x03[group]\r\ntype=SUMMARY\r\ngroupby=5\r\nsummary=9,12,15\r\n"
      "[static_filter]\r\nurl=~ \"^http://[a-z]+\\.com/\"\r\ngroup=!= \"staff\"\r\n",
      "\x01[general]\nemailtest=1\n[group]\n",
      "\x01[group]\ntype= SUMMARY\n[static_filter]\ndate=>= 1\n",
      "\x01[group]\ntype=SUMMARY\nsummary=9\n[static_filter]\ndate=>= 1\nuser=== bob\n",
      "\x02[group]\ntype=SUMMARY\nsummary=265\nview=pie!3!10 line!3\n[unknown]\nx=y\n",
      "\x01[group]\ntype=DETAIL\ndetails=1,9\n[static_filter]\ncolour=1\n",
      "\x01[group]\ntype=SUMMARY\nsummary=9\nthreshold=order:<= 3\n[static_filter]\ndate=>= 1\n"
      "[fields metadata precompiled]\n48=(a{10}){10}\n",
      "\x02[general]\ntimezone=CET-1CEST,M3.5.0,M10.5.0/3\n[group]\ntype=SUMMARY\ngroupby=30\n"
      "summary=9\norderby=7,-1\nthreshold=request_count:>= +1\n[static_filter]\nreldate=>= -86400\n"
      "[fields metadata precompiled]\n48=/^(x[.])?(a0|a1|a2|a3|a4|a5|a6|a7|a8|a9|b0|b1|b2|b3|b4|b5|b6|b7)"
      "[.]([a-z]+)$/3\n",
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
