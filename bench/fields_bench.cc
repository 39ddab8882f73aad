// Derives the host (32) and the domain (48) of one million request rows with
// a realistic host mix (a few popular sites take most requests, a long tail
// of others) and prints rows per second: through the caches, and uncached
// (host, then the domain walk with its URL explosion, per row); each the
// best of a few passes. The domain definition holds a list of public
// suffixes, or none with "plain" (the last two labels, as the report
// benchmark's definition).
//
//   fields_bench [ROWS [SITES [RUN_CACHE_SLOTS [lists|plain]]]]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "src/report/fields.h"

namespace {

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

}  // namespace

int main(int argc, char **argv) {
  size_t count = argc > 1 ? std::stoul(argv[1]) : 1000000;
  size_t sites = argc > 2 ? std::stoul(argv[2]) : 20000;
  size_t slots = argc > 3 ? std::stoul(argv[3]) : FIELDS_CACHE_SLOTS;
  const bool lists = argc <= 4 || std::string(argv[4]) != "plain";

  // A domain list of public suffixes, as the shared list would hold.
  const char *suffixes[] = {"co.uk", "org.uk", "ac.uk", "com.au", "net.au", "co.jp", "ne.jp",
                            "com.br", "co.nz", "co.za", "*.blogspot.com", "gov.uk"};
  URLLIST *global = urllist_initialize(URLLIST_FLAG_NONE);
  for (const char *s : suffixes) urllist_add(global, s, "U", "N", nullptr, 0);

  // The sites: a name under a top-level domain or a listed suffix, seen
  // through a few host names each.
  std::mt19937 rng(42);
  const char *tlds[] = {"com", "net", "org", "de", "co.uk", "com.au", "co.jp", "fr", "blogspot.com"};
  const char *subs[] = {"www", "img", "cdn", "api", "static", "mail", "m", "news"};
  std::vector<std::string> hosts;
  for (size_t i = 0; i < sites; ++i) {
    std::string site = "site" + std::to_string(i) + "." + tlds[rng() % 9];
    int variants = 1 + static_cast<int>(rng() % 4);
    for (int v = 0; v < variants; ++v) {
      std::string h = std::string(subs[rng() % 8]) + "." + site;
      if (rng() % 20 == 0) h += ":8080";
      hosts.push_back(h);
    }
  }
  for (int i = 0; i < 200; ++i) hosts.push_back("10.0." + std::to_string(i) + ".1");
  // Zipf-like popularity: host rank r drawn with weight 1/r.
  std::vector<double> weights(hosts.size());
  for (size_t r = 0; r < hosts.size(); ++r) weights[r] = 1.0 / static_cast<double>(r + 1);
  std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
  // The URLs one after the other in one buffer, as a reader's block holds
  // a file's records: the rows are read in order from memory, not from a
  // heap string each.
  std::string block;
  std::vector<size_t> at;
  at.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    at.push_back(block.size());
    block += "http://" + hosts[pick(rng)] + "/path/" + std::to_string(rng() % 1000) + ".html?id=" +
             std::to_string(i);
    block += '\0';
  }
  std::vector<const char *> urls;
  urls.reserve(count);
  for (size_t a : at) urls.push_back(block.data() + a);

  reporter_settings settings;
  REPORT *rep = new_report_initialize(REPORT_DEMAND, 1, "bench", "bench", 0, 0, 0, &settings);
  rep->def = new REPORT_DEFINITION;
  rep->def->domain = new DOMAIN_DEFINITION;
  rep->def->domain->type = DOMAIN_TYPE_LISTS;
  rep->def->domain->global_list = lists ? global : nullptr;
  report_field_cache_set_size(rep, slots);

  // A window row: the URL, then the owned derived entries 32 and 48.
  RECORD row[] = {{FIELD_URI, 0x16, 0, nullptr},
                  {FIELD_URIHOST, 0x16, RECORD_FLAG_OWNED, nullptr},
                  {FIELD_URIDOMAIN, 0x16, RECORD_FLAG_OWNED, nullptr},
                  {}};
  unsigned char map[RECORD_MAP_SIZE];
  record_build_map(map, row);

  auto best_of = [](int passes, auto &&pass) {
    double best = 1e30;
    for (int k = 0; k < passes; ++k) {
      auto start = std::chrono::steady_clock::now();
      pass();
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  };
  size_t chars = 0;
  double cached = best_of(5, [&] {
    chars = 0;
    for (const char *u : urls) {
      row[0].data = const_cast<char *>(u);
      find_host(row, map);
      const char *d = find_domain(rep, row, map);
      chars += d ? strlen(d) : 0;
      // As the window does before its next row: a derived entry may hold a
      // view the row does not own, so both kinds are emptied.
      record_free_owned(row + 1);
      row[1].data = row[2].data = nullptr;
    }
  });

  size_t chars2 = 0;
  double uncached = best_of(2, [&] {
    chars2 = 0;
    for (const char *u : urls) {
      char *host = get_host(u);
      char *d = host ? extract_domain(host, rep->def->domain) : nullptr;
      chars2 += d ? strlen(d) : 0;
      free(d);
      free(host);
    }
  });

  printf("fields: %s, %u threads available; %zu rows over %zu host names (%zu sites), %s\n", cpu_model().c_str(),
         std::thread::hardware_concurrency(), urls.size(), hosts.size(), sites,
         lists ? "suffix list" : "no lists");
  printf("fields: host+domain cached (%zu run entries, %d thread entries): %.3f s, %.0f rows/s\n", slots,
         FIELDS_HOST_SLOTS, cached, static_cast<double>(urls.size()) / cached);
  printf("fields: host+domain uncached: %.3f s, %.0f rows/s\n", uncached,
         static_cast<double>(urls.size()) / uncached);
  if (chars != chars2) printf("fields: MISMATCH between cached and uncached domains\n");

  free_report(rep);
  urllist_terminate(global);
  return chars == chars2 ? 0 : 1;
}
