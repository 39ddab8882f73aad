// Explodes one million realistic logged URLs and prints URLs per second.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "lib/lists/urllist_explode.h"

int main(int argc, char **argv) {
  size_t count = argc > 1 ? std::stoul(argv[1]) : 1000000;
  std::mt19937 rng(42);
  const char *schemes[] = {"http", "https", "http", "https", "ftp"};
  const char *tlds[] = {"com", "net", "org", "de", "co.uk", "info"};
  const char *words[] = {"news", "mail", "shop", "static", "img", "api", "video", "search",
                         "login", "cdn", "assets", "blog", "forum", "wiki", "docs", "media"};
  const char *files[] = {"index.html", "style.css", "app.js", "logo.png", "photo.jpg", "", "feed.xml"};
  std::vector<std::string> urls;
  urls.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    std::string u = schemes[rng() % 5];
    u += "://";
    if (rng() % 20 == 0) {
      u += "10." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + ".1";
    } else {
      int labels = 1 + static_cast<int>(rng() % 3);
      for (int l = 0; l < labels; ++l) u += std::string(words[rng() % 16]) + std::to_string(rng() % 100) + ".";
      u += tlds[rng() % 6];
    }
    if (rng() % 10 == 0) {
      u += ':';
      u += std::to_string(8000 + rng() % 100);
    }
    int segs = static_cast<int>(rng() % 6);
    for (int s = 0; s < segs; ++s) {
      u += '/';
      u += words[rng() % 16];
    }
    u += "/";
    u += files[rng() % 7];
    if (rng() % 3 == 0) u += "?q=" + std::string(words[rng() % 16]) + "&id=" + std::to_string(rng() % 100000);
    urls.push_back(std::move(u));
  }
  size_t ok = 0, tokens = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto &u : urls) {
    URLLIST_EXPLODED_URL *e = urllist_explode_charset(u.data(), nullptr, 1, 0, nullptr);
    if (e) {
      ++ok;
      tokens += static_cast<size_t>(e->domains_num + e->paths_num);
      urllist_free_urllist_exploded_url(e);
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("urlexplode: %zu URLs (%zu parsed, %zu host+path tokens) in %.3f s: %.0f URLs/s\n", urls.size(), ok,
         tokens, secs, static_cast<double>(urls.size()) / secs);
  return 0;
}
