// Catalog speed: builds catalogs through the real Catalog and times the
// searches, adding, the index rebuild, the statistics and the backup copy.
//
//   build/bench/bench_catalog [--keep] [items ...]     (default: 10000 50000)
//
// Each catalog is written to a fresh temporary folder, removed afterwards
// unless --keep is given.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/catalog.h"

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const std::vector<std::string> kFirstNames = {
    "Anna", "Hedwig", "Carl", "Margarethe", "Johann", "Elisabeth", "Seán", "Mary", "Friedrich",
    "Bridget", "José", "Łucja", "Wilhelm", "Ingrid", "Thomas", "Agnes", "Patrick", "Rosa"};
const std::vector<std::string> kLastNames = {
    "Müller", "O'Brien", "Schmidt", "Kowalski", "García", "Novák", "Fischer", "Walsh", "Becker",
    "Dvořák", "Hoffmann", "Murphy", "Larsen", "Weber", "Jansen", "Zimmermann"};

// Pronounceable made-up words; their ranks follow a Zipf-like law.
std::vector<std::string> makeVocabulary(std::mt19937& rng, int size) {
  const char* onsets[] = {"b", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v",
                          "w", "br", "st", "tr", "sch", "gr", "kl", "pf", "sp"};
  const char* vowels[] = {"a", "e", "i", "o", "u", "ei", "au", "ie", "ä", "ö", "ü"};
  const char* codas[] = {"", "n", "r", "s", "t", "ng", "ch", "l", "m", "nd"};
  std::vector<std::string> words;
  words.reserve(size);
  while (static_cast<int>(words.size()) < size) {
    int syllables = 1 + static_cast<int>(words.size() % 3);
    std::string w;
    for (int s = 0; s < syllables; ++s) {
      w += onsets[rng() % std::size(onsets)];
      w += vowels[rng() % std::size(vowels)];
      w += codas[rng() % std::size(codas)];
    }
    words.push_back(w);
  }
  return words;
}

struct Corpus {
  std::vector<std::string> vocabulary;
  std::discrete_distribution<int> zipf;

  explicit Corpus(std::mt19937& rng) : vocabulary(makeVocabulary(rng, 20000)) {
    std::vector<double> weights(vocabulary.size());
    for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 / std::pow(i + 1.0, 1.05);
    zipf = std::discrete_distribution<int>(weights.begin(), weights.end());
  }

  std::string text(std::mt19937& rng, std::size_t chars) {
    std::string out;
    while (out.size() < chars) {
      int r = static_cast<int>(rng() % 100);
      if (!out.empty()) out += ' ';
      if (r < 3) out += kFirstNames[rng() % kFirstNames.size()];
      else if (r < 5) out += kLastNames[rng() % kLastNames.size()];
      else if (r < 6) out += std::to_string(1880 + rng() % 90);
      else out += vocabulary[zipf(rng)];
      if (r % 17 == 0) out += ',';
      if (r % 29 == 0) out += '.';
    }
    return out;
  }
};

struct Timing {
  double p50, p95;
};

Timing measure(int runs, const std::function<void(int)>& body) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    body(i);
    ms.push_back(msSince(start));
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&ms](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
  return {at(0.50), at(0.95)};
}

bool keepFiles = false;

void runSize(int count) {
  fs::path folder = fs::temp_directory_path() / ("quorvel-bench-" + std::to_string(count));
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::mt19937 rng(42);
  Corpus corpus(rng);
  Catalog catalog((folder / "catalog.db").string());

  std::vector<std::int64_t> people;
  for (const auto& first : kFirstNames)
    for (const auto& last : kLastNames) people.push_back(catalog.ensurePerson(first + " " + last));

  double addMs = 0, textMs = 0;
  auto build = Clock::now();
  for (int i = 0; i < count; ++i) {
    ArchiveItem item;
    item.path = "/archive/box" + std::to_string(i / 500) + "/scan_" + std::to_string(i) + ".jpg";
    item.fileName = "scan_" + std::to_string(i) + ".jpg";
    item.title = "Letter from " + kFirstNames[rng() % kFirstNames.size()] + " " +
                 corpus.vocabulary[corpus.zipf(rng)];
    item.kind = ItemKind::letter;
    item.fileSize = 2'000'000 + static_cast<std::int64_t>(rng() % 1'000'000);
    item.sha256 = std::to_string(i);
    auto start = Clock::now();
    std::int64_t id = catalog.addItem(item);
    addMs += msSince(start);
    start = Clock::now();
    catalog.saveRecognizedText(id, corpus.text(rng, 1500), "tesseract", 0.9);
    textMs += msSince(start);
    for (int p = 0; p < 2; ++p) catalog.tagPerson(id, people[rng() % people.size()]);
    catalog.addDate(id, std::to_string(1880 + rng() % 90), "text", false);
    if (i % 3 == 0) catalog.addDate(id, std::to_string(1880 + rng() % 90) + "-05", "file name", false);
    if (i % 10 == 0)
      catalog.saveTranslation(Translation{id, "de", "German", corpus.text(rng, 800), "m", "h", 0});
  }
  double buildMs = msSince(build);
  if (catalog.lastError()) std::printf("error while building: %s\n", catalog.lastError()->c_str());

  std::printf("\n== %d items (built in %.1f s) ==\n", count, buildMs / 1000);
  std::printf("addItem per item: %.3f ms; saveRecognizedText per item: %.3f ms\n", addMs / count,
              textMs / count);

  const std::string& common0 = corpus.vocabulary[0];
  const std::string& common1 = corpus.vocabulary[1];
  struct Query {
    const char* name;
    std::vector<std::string> variants;  // each run takes the next
  };
  std::vector<Query> queries = {
      {"common term", {common0, common1, corpus.vocabulary[2]}},
      {"rare term", {corpus.vocabulary[5000], corpus.vocabulary[7001], corpus.vocabulary[9002]}},
      {"two terms", {common0 + " " + corpus.vocabulary[40], common1 + " " + corpus.vocabulary[60]}},
      {"quoted phrase", {"\"" + common0 + " " + common1 + "\"", "\"" + common1 + " " + common0 + "\""}},
      {"year", {"1923", "1901", "1955"}},
      {"accent-folded name", {"muller", "dvorak", "garcia"}},
      {"one-letter prefix", {"m", "s", "a"}},
      {"two-letter prefix", {"mu", "sc", "an"}},
  };
  const int runs = 40;
  std::printf("%-20s %12s %12s %14s %14s\n", "query", "search p50", "search p95", "searchAny p50",
              "searchAny p95");
  for (const Query& query : queries) {
    std::size_t hits = 0;
    Timing s = measure(runs, [&](int i) {
      hits = catalog.search(query.variants[i % query.variants.size()], 200).size();
    });
    Timing a = measure(runs, [&](int i) {
      std::vector<std::string> terms;
      std::string v = query.variants[i % query.variants.size()];
      v.erase(std::remove(v.begin(), v.end(), '"'), v.end());
      std::size_t at = 0;
      while (at <= v.size()) {
        std::size_t end = std::min(v.find(' ', at), v.size());
        if (end > at) terms.push_back(v.substr(at, end - at));
        at = end + 1;
      }
      catalog.searchAny(terms, 12);
    });
    std::printf("%-20s %9.2f ms %9.2f ms %11.2f ms %11.2f ms   (%zu hits)\n", query.name, s.p50,
                s.p95, a.p50, a.p95, hits);
  }

  Timing st = measure(20, [&](int) { catalog.stats(); });
  std::printf("stats: p50 %.2f ms, p95 %.2f ms\n", st.p50, st.p95);
  auto start = Clock::now();
  catalog.rebuildIndex();
  std::printf("rebuildIndex: %.0f ms\n", msSince(start));
  std::string copy = (folder / "copy.db").string();
  start = Clock::now();
  catalog.backup(copy);
  std::printf("backup(to:): %.0f ms, copy %.1f MB\n", msSince(start), fs::file_size(copy) / 1e6);
  auto ftsBytes = catalog.db().query(
      "SELECT COALESCE(SUM(length(block)),0) AS b FROM fts_data");
  std::printf("fts index blocks: %.1f MB\n", ftsBytes.front().int64("b") / 1e6);
  if (keepFiles) std::printf("kept %s\n", folder.c_str());
  else fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep") keepFiles = true;
    else sizes.push_back(std::atoi(argv[i]));
  }
  if (sizes.empty()) sizes = {10000, 50000};
  for (int size : sizes) runSize(size);
  return 0;
}
