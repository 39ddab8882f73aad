// Keyword search throughput: an engine of a few thousand rules (words and
// phrases) scanning a megabyte of text, the way the report engine derives
// the data words of each record.  Prints the build time and MB/s.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "libsearch/query_search.h"

namespace {

std::string make_word(std::mt19937 &rng) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<int> len(3, 10);
  std::uniform_int_distribution<int> letter(0, 25);
  std::string w;
  for (int i = len(rng); i > 0; --i) {
    w += letters[letter(rng)];
  }
  return w;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  std::mt19937 rng(12345);
  constexpr int kRules = 4000;
  constexpr size_t kTextBytes = 1 << 20;

  std::vector<std::string> vocabulary;
  for (int i = 0; i < 20000; ++i) {
    vocabulary.push_back(make_word(rng));
  }
  std::uniform_int_distribution<size_t> pick(0, vocabulary.size() - 1);

  std::vector<std::string> rules;
  std::vector<std::string> categories;
  for (int i = 0; i < kRules; ++i) {
    const std::string &a = vocabulary[pick(rng)];
    const std::string &b = vocabulary[pick(rng)];
    switch (i % 4) {
      case 0: rules.push_back(a); break;
      case 1: rules.push_back(a + " " + b); break;
      case 2: rules.push_back("\"" + a + " " + b + "\""); break;
      default: rules.push_back(a + " -" + b); break;
    }
    categories.push_back("category" + std::to_string(i % 50));
  }

  auto t0 = std::chrono::steady_clock::now();
  query_search_engine *engine = query_search_engine_new(0);
  if (engine == nullptr) {
    return 1;
  }
  for (int i = 0; i < kRules; ++i) {
    if (query_add_rule(engine, rules[i].c_str(), categories[i].data(), 0) != 0) {
      std::fprintf(stderr, "rule refused: %s\n", rules[i].c_str());
      return 1;
    }
  }
  if (query_search_engine_compile(engine) != 0) {
    std::fprintf(stderr, "compilation failed\n");
    return 1;
  }
  const double build = seconds_since(t0);

  std::string text;
  static const char *punct[] = {" ", " ", " ", ", ", ". ", "  ", "\t", "; "};
  std::uniform_int_distribution<int> p(0, 7);
  while (text.size() < kTextBytes) {
    text += vocabulary[pick(rng)];
    text += punct[p(rng)];
  }
  text.resize(kTextBytes);

  constexpr int kRounds = 20;
  long long listed = 0;
  t0 = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    query_search_state *st = query_search_state_new(engine);
    if (auto *r = query_search_allwords(engine, text.data(), static_cast<int>(text.size()), st)) {
      listed += r->num;
    }
    query_search_state_destroy(st);
  }
  const double scan = seconds_since(t0);
  const double mb = static_cast<double>(text.size()) * kRounds / (1024.0 * 1024.0);

  std::printf("rules: %d, distinct words: %zu, states: %d, build: %.3f s\n", kRules,
              engine->allwords.size(), engine->acsm->acsmNumStates, build);
  std::printf("scanned %.0f MB in %.3f s: %.1f MB/s (%lld words listed per text)\n", mb, scan,
              mb / scan, listed / kRounds);
  query_search_engine_destroy(engine);
  return 0;
}
