// The library's search against a plain computation of the same answer on a
// generated archive: FTS5's own bm25() with an ORDER BY, the dated items read
// with LIKE and filtered here, the fallback's scan, merged and cut in memory.
// The catalog's own query path must give the same ids, order, ranks and
// snippets.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <unordered_map>

#include "catalog_fixture.h"

namespace quorvel {
namespace {

const char* const kNames[] = {"Müller", "O'Brien", "Dvořák", "García", "Seán", "Łucja", "Anne-Marie",
                              "Schmidt", "Walsh", "Zoë"};

std::optional<int> yearOf(const std::string& piece) {
  if (piece.size() != 4 || !std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  int year = std::stoi(piece);
  if (year < 1500 || year > 2100) return std::nullopt;
  return year;
}

class CatalogReference : public CatalogTest {
 protected:
  void SetUp() override {
    std::mt19937 rng(7);
    std::vector<std::string> words;
    for (int i = 0; i < 400; ++i) {
      std::string w;
      for (int s = 0; s <= i % 3; ++s) w += std::string(1, "bdfgklmnprstvw"[rng() % 14]) + "aeiouäö"[rng() % 5];
      words.push_back(w);
    }
    std::discrete_distribution<int> zipf;
    {
      std::vector<double> weights;
      for (std::size_t i = 0; i < words.size(); ++i) weights.push_back(1.0 / (i + 1.0));
      zipf = std::discrete_distribution<int>(weights.begin(), weights.end());
    }
    auto text = [&](std::size_t chars) {
      std::string out;
      while (out.size() < chars) {
        int r = static_cast<int>(rng() % 100);
        if (!out.empty()) out += ' ';
        if (r < 4) out += kNames[rng() % std::size(kNames)];
        else if (r < 6) out += std::to_string(1900 + rng() % 40);
        else if (r < 7) out += std::to_string(1 + rng() % 28) + "/" + std::to_string(1 + rng() % 12) + "/19" + std::to_string(20 + rng() % 10);
        else out += words[zipf(rng)];
        if (r % 13 == 0) out += ',';
      }
      return out;
    };
    for (int i = 0; i < 1500; ++i) {
      ArchiveItem item = makeItem("/box" + std::to_string(i / 100) + "/scan_" + std::to_string(i) + ".jpg", i % 700);
      item.title = i % 4 ? "Letter from " + std::string(kNames[rng() % std::size(kNames)]) : words[zipf(rng)];
      std::int64_t id = catalog->addItem(item);
      ASSERT_GT(id, 0);
      catalog->saveRecognizedText(id, text(120 + rng() % 400), "tesseract", 0.9);
      if (i % 5 == 0) catalog->tagPerson(id, catalog->ensurePerson(kNames[rng() % std::size(kNames)]));
      int dates = static_cast<int>(rng() % 3);
      for (int d = 0; d < dates; ++d) {
        std::string year = std::to_string(1900 + rng() % 40);
        const char* forms[] = {"", "-05", "-11-02", "-03"};
        catalog->addDate(id, year + forms[rng() % 4], "text", false);
      }
      if (i % 9 == 0)
        catalog->saveTranslation(Translation{id, "de", "German", text(100 + rng() % 200), "m", "h", 0});
    }
    ASSERT_FALSE(catalog->lastError());
  }

  Database& db() { return catalog->db(); }

  // The same answer, computed the plain way.
  std::vector<SearchHit> reference(const std::string& input, int limit) {
    std::string trimmed = input;
    trimmed.erase(0, trimmed.find_first_not_of(" \t\n\r"));
    trimmed.erase(trimmed.find_last_not_of(" \t\n\r") + 1);
    std::vector<SearchHit> hits;
    std::unordered_map<std::int64_t, std::size_t> index;
    auto put = [&](SearchHit hit) {
      auto [at, inserted] = index.emplace(hit.item.id, hits.size());
      if (inserted) hits.push_back(std::move(hit));
      else hits[at->second] = std::move(hit);
    };
    auto quietly = [this](const std::string& sql, const std::vector<SQLValue>& params) {
      try {
        return db().query(sql, params);
      } catch (const std::exception&) {
        return std::vector<Row>{};
      }
    };
    auto mapped = [this](const Row& row) {
      // The catalog's own row mapping, through a lookup by id.
      return *catalog->getItem(row.int64("id"));
    };
    std::string match = Catalog::toFtsQuery(trimmed);
    if (!match.empty()) {
      for (const Row& row : quietly("SELECT i.id, snippet(fts, 3, '[', ']', '…', 18) AS snip, "
                                    "bm25(fts, 0.0, 4.0, 2.0, 1.0, 3.0, 1.0) AS rank FROM fts JOIN "
                                    "items i ON i.id = fts.item_id WHERE fts MATCH ? ORDER BY rank LIMIT ?",
                                    {match, limit}))
        put(SearchHit{mapped(row), row.str("snip"), row.dbl("rank")});
      for (const Row& row : quietly("SELECT i.id, snippet(translations_fts, 1, '[', ']', '…', 18) AS snip, "
                                    "bm25(translations_fts) AS rank FROM translations_fts JOIN items i "
                                    "ON i.id = translations_fts.item_id WHERE translations_fts MATCH ? "
                                    "ORDER BY rank LIMIT ?",
                                    {match, limit})) {
        auto found = index.find(row.int64("id"));
        if (found != index.end() && hits[found->second].rank <= row.dbl("rank")) continue;
        put(SearchHit{mapped(row), "In English: " + row.str("snip"), row.dbl("rank")});
      }
    }
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < trimmed.size();) {
      std::size_t end = std::min(trimmed.find(' ', at), trimmed.size());
      if (end > at) pieces.push_back(trimmed.substr(at, end - at));
      at = end + 1;
    }
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      auto year = yearOf(pieces[k]);
      if (!year) continue;
      std::string rest;
      for (std::size_t o = 0; o < pieces.size(); ++o)
        if (o != k) rest += (rest.empty() ? "" : " ") + pieces[o];
      std::string restMatch = Catalog::toFtsQuery(rest);
      std::set<std::int64_t> matching;
      if (!restMatch.empty()) {
        for (const char* table : {"fts", "translations_fts"})
          for (const Row& row : quietly(std::string("SELECT rowid AS id FROM ") + table + " WHERE " + table + " MATCH ?", {restMatch}))
            matching.insert(row.int64("id"));
      }
      // Each item by its earliest date in the year, ties by the first date added.
      std::map<std::int64_t, std::pair<std::string, std::int64_t>> first;
      for (const Row& row : db().query("SELECT id, item_id, value FROM item_dates WHERE value LIKE ?",
                                       {std::to_string(*year) + "%"})) {
        std::int64_t item = row.int64("item_id");
        if (!restMatch.empty() && !matching.count(item)) continue;
        auto [at, inserted] = first.emplace(item, std::make_pair(row.str("value"), row.int64("id")));
        if (!inserted) at->second = std::min(at->second, std::make_pair(row.str("value"), row.int64("id")));
      }
      std::vector<std::pair<std::pair<std::string, std::int64_t>, std::int64_t>> ordered;
      for (const auto& [item, key] : first) ordered.emplace_back(key, item);
      std::sort(ordered.begin(), ordered.end());
      for (const auto& [key, item] : ordered) {
        if (index.count(item)) continue;
        put(SearchHit{*catalog->getItem(item), "Dated " + std::to_string(*year), -1.0});
      }
    }
    if (hits.empty()) {
      for (const Row& row : db().query("SELECT id FROM items WHERE file_name LIKE ?1 OR title LIKE ?1 "
                                       "ORDER BY added DESC, id DESC LIMIT ?2",
                                       {"%" + trimmed + "%", limit})) {
        ArchiveItem found = mapped(row);
        std::string name = found.fileName;
        put(SearchHit{std::move(found), std::move(name), 0.0});
      }
    }
    std::stable_sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) { return a.rank < b.rank; });
    if (limit >= 0 && hits.size() > static_cast<std::size_t>(limit)) hits.resize(limit);
    return hits;
  }
};

// Equal ranks have no defined order, so hits compare group by group of equal
// rank; a group the limit cuts through is compared by size alone.
void expectSameHits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want, bool cut,
                    const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t start = 0; start < want.size();) {
    std::size_t end = start;
    while (end < want.size() && want[end].rank == want[start].rank) ++end;
    bool lastGroupCut = cut && end == want.size() && start > 0;
    std::map<std::int64_t, std::string> a, b;
    for (std::size_t i = start; i < end; ++i) {
      ASSERT_EQ(got[i].rank, want[i].rank) << what << " at " << i;
      a[got[i].item.id] = got[i].snippet;
      b[want[i].item.id] = want[i].snippet;
      if (want[i].rank == -1.0 || end - start == 1) {
        // Dated hits keep their date order, and a single hit has only one place.
        EXPECT_EQ(got[i].item.id, want[i].item.id) << what << " at " << i;
      }
    }
    if (!lastGroupCut) {
      EXPECT_EQ(a, b) << what << " group at " << start;
    }
    start = end;
  }
}

TEST_F(CatalogReference, SearchGivesThePlainComputationsAnswer) {
  const char* queries[] = {
      "ba", "b", "m", "mü", "muller", "müller", "o'brien", "O\u2019Brien", "dvorak", "anne-marie",
      "1923", "1931 müller", "müller 1931 walsh", "\"letter from\"", "letter from", "12/5/1925", "5/19",
      "zoe 1905", "scan_14", "box3", "nothingatall", "n_9", "%", "1931 1932", "ba 1920", "\"ba\" 1920",
  };
  std::size_t nonEmpty = 0, dated = 0, cutAtLimit = 0;
  for (const char* query : queries) {
    for (int limit : {500, 20, 3}) {
      auto want = reference(query, limit);
      auto got = catalog->search(query, limit);
      bool cut = want.size() == static_cast<std::size_t>(limit);
      expectSameHits(got, want, cut, std::string(query) + " limit " + std::to_string(limit));
      for (std::size_t i = 0; i < got.size() && i < want.size(); ++i)
        EXPECT_EQ(got[i].item.title, want[i].item.title) << query;
      if (limit == 500) {
        nonEmpty += !want.empty();
        dated += std::any_of(want.begin(), want.end(), [](const SearchHit& h) { return h.rank == -1.0; });
      }
      cutAtLimit += cut;
    }
  }
  // The corpus reaches every path: hits of each kind, and cuts.
  EXPECT_GT(nonEmpty, 20u);
  EXPECT_GE(dated, 5u);
  EXPECT_GT(cutAtLimit, 20u);
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogReference, ItemsForYearFollowTheEarliestDateInTheYear) {
  for (int year : {1900, 1923, 1939, 1950}) {
    std::map<std::int64_t, std::pair<std::string, std::int64_t>> first;
    for (const Row& row : db().query("SELECT id, item_id, value FROM item_dates WHERE value LIKE ?",
                                     {std::to_string(year) + "%"})) {
      auto key = std::make_pair(row.str("value"), row.int64("id"));
      auto [at, inserted] = first.emplace(row.int64("item_id"), key);
      if (!inserted) at->second = std::min(at->second, key);
    }
    std::vector<std::pair<std::pair<std::string, std::int64_t>, std::int64_t>> ordered;
    for (const auto& [item, key] : first) ordered.emplace_back(key, item);
    std::sort(ordered.begin(), ordered.end());
    std::vector<std::int64_t> want;
    for (const auto& entry : ordered) want.push_back(entry.second);
    EXPECT_EQ(idsOf(catalog->itemsForYear(year)), want) << year;
    if (year == 1923) {
      EXPECT_GT(want.size(), 20u);
    }
  }
}

}  // namespace
}  // namespace quorvel
