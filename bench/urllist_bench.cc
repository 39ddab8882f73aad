// URL-list throughput: loads a list file of 100,000 entries (domains, paths,
// IP ranges and a few regular expressions), then looks up a mix of hits
// and misses the way the report engine does per request record. Prints the
// load time and lookups per second (exploding the URLs is not counted).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "lib/base/kxlog.h"
#include "lib/runtime/kxtime.h"
#include "lib/lists/urllist.h"
#include "lib/lists/urllist_lookup.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

const char *const kTlds[] = {"com", "net", "org", "de", "co.uk", "io"};

std::string domain(int i) { return "site" + std::to_string(i) + "." + kTlds[i % 6]; }

}  // namespace

int main() {
  kxlog_silent_mode = 1;
  current_time.store(time(nullptr));
  constexpr int kDomains = 70000, kPaths = 20000, kRanges = 9990, kRegexps = 10;
  constexpr int kLookups = 400000;

  char dir[] = "/tmp/urllist_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string file = std::string(dir) + "/list.txt";
  FILE *f = fopen(file.c_str(), "w");
  if (f == nullptr) {
    perror(file.c_str());
    return 1;
  }
  for (int i = 0; i < kDomains; ++i) fprintf(f, "%s U C %d\n", domain(i).c_str(), 1 + i % 200);
  for (int i = 0; i < kPaths; ++i) fprintf(f, "%s/section%d/page U D\n", domain(kDomains + i).c_str(), i % 50);
  for (int i = 0; i < kRanges; ++i) fprintf(f, "10.%d.%d.0-10.%d.%d.127 U A\n", i / 250, i % 250, i / 250, i % 250);
  for (int i = 0; i < kRegexps; ++i) fprintf(f, "/^https?://ads%d\\.[a-z]+\\.example/ R D\n", i);
  fclose(f);

  URLLIST *l = urllist_initialize(URLLIST_FLAG_NONE);
  auto t0 = std::chrono::steady_clock::now();
  int rc = urllist_add_file(l, file.c_str(), 0);
  double load = seconds_since(t0);
  unlink(file.c_str());
  rmdir(dir);
  if (rc != 0 || l->loaded_count != l->total_count) {
    fprintf(stderr, "load failed: %d, %d of %d entries\n", rc, l->loaded_count, l->total_count);
    return 1;
  }
  printf("load: %d entries in %.3f s (%.0f entries/s)\n", l->loaded_count, load, l->loaded_count / load);

  // Half hits (hosts below listed domains, listed paths, addresses in
  // ranges, regular-expression matches), half misses.
  std::mt19937 rng(42);
  std::vector<std::string> urls;
  urls.reserve(kLookups);
  for (int i = 0; i < kLookups; ++i) {
    int k = static_cast<int>(rng() % 100000);
    switch (i % 8) {
      case 0: urls.push_back("http://www." + domain(k % kDomains) + "/index.html?x=" + std::to_string(k)); break;
      case 1: urls.push_back("https://" + domain(kDomains + k % kPaths) + "/section" + std::to_string(k % kPaths % 50) + "/page/a.js"); break;
      case 2: urls.push_back("http://10." + std::to_string(k % kRanges / 250) + "." + std::to_string(k % kRanges % 250) + "." + std::to_string(k % 128) + "/"); break;
      case 3: urls.push_back("http://ads" + std::to_string(k % kRegexps) + ".banner.example/x"); break;
      case 4: urls.push_back("http://www.unlisted" + std::to_string(k) + ".com/index.html"); break;
      case 5: urls.push_back("https://" + domain(kDomains + k % kPaths) + "/other/page"); break;
      case 6: urls.push_back("http://10." + std::to_string(k % kRanges / 250) + "." + std::to_string(k % kRanges % 250) + ".200/"); break;
      default: urls.push_back("http://cdn" + std::to_string(k) + ".example.net/a/b/c?q=" + std::to_string(k)); break;
    }
  }
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<URLLIST_EXPLODED_URL *> ex;
    ex.reserve(urls.size());
    for (std::string &u : urls) ex.push_back(urllist_explode_charset(u.data(), nullptr, 1, 0, nullptr));
    long hits = 0;
    t0 = std::chrono::steady_clock::now();
    for (URLLIST_EXPLODED_URL *u : ex) {
      if (pass == 0) {
        void *d = nullptr;
        hits += urllist_lookup_data(l, u, &d) == 0;
      } else {
        char *text = nullptr;
        if (urllist_lookup_diag(l, u, nullptr, &text) == 0) ++hits;
        free(text);
      }
    }
    double s = seconds_since(t0);
    printf("%s: %d lookups in %.3f s (%.0f lookups/s), %ld hits\n",
           pass == 0 ? "urllist_lookup_data" : "urllist_lookup_diag", kLookups, s, kLookups / s, hits);
    for (URLLIST_EXPLODED_URL *u : ex) urllist_free_urllist_exploded_url(u);
  }
  t0 = std::chrono::steady_clock::now();
  urllist_terminate(l);
  printf("terminate: %.3f s\n", seconds_since(t0));
  return 0;
}
