// Catalog: the full-text query of what the user types, the two searches, the
// index rebuild, the statistics and the backup copy.
#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <unordered_map>

#include "core/catalog.h"
#include "core/text.h"

namespace quorvel {

namespace {

constexpr char32_t kTypographicApostrophe = U'\u2019';

bool isApostrophe(char32_t cp) { return cp == U'\'' || cp == kTypographicApostrophe; }

char32_t firstCodePoint(const std::string& grapheme) {
  auto cps = text::codePoints(grapheme);
  return cps.empty() ? 0 : cps.front();
}

// Trims spaces and tabs only.
std::string trimSpacesAndTabs(const std::string& s) {
  std::size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  std::size_t end = s.find_last_not_of(" \t");
  return s.substr(begin, end - begin + 1);
}

// A year from 1500 to 2100 written as exactly four ASCII digits.
std::optional<int> yearOf(const std::string& piece) {
  if (piece.size() != 4) return std::nullopt;
  int value = 0;
  for (char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1500 || value > 2100) return std::nullopt;
  return value;
}

// A searchAny term as the words the tokenizer makes of it. Apostrophes and
// hyphens separate words, as they do in the index ("O'Brien" is indexed as
// "o" "brien"), so deleting them would make a word that was never indexed;
// every other character that is no letter or number is dropped.
std::vector<std::string> retrievalWords(const std::string& term) {
  std::vector<std::string> words;
  std::string current;
  for (const std::string& g : text::graphemes(term)) {
    char32_t cp = firstCodePoint(g);
    if (text::isLetter(cp) || text::isNumber(cp)) {
      current += g;
    } else if (isApostrophe(cp) || cp == U'-') {
      if (!current.empty()) words.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) words.push_back(std::move(current));
  return words;
}

}  // namespace

std::string Catalog::toFtsQuery(const std::string& input) {
  std::vector<std::string> terms;
  auto flush = [&terms](const std::string& raw) {
    std::string token = trimSpacesAndTabs(raw);
    if (token.empty()) return;
    auto chars = text::graphemes(token);
    if (chars.size() > 2 && chars.front() == "\"" && chars.back() == "\"") {
      terms.push_back(token);
      return;
    }
    std::string kept;
    for (const std::string& g : chars) {
      char32_t cp = firstCodePoint(g);
      if (text::isLetter(cp) || text::isNumber(cp) || isApostrophe(cp) || cp == U'-') kept += g;
    }
    if (!kept.empty()) terms.push_back("\"" + kept + "\"*");
  };

  bool inQuotes = false;
  std::string token;
  for (const std::string& g : text::graphemes(input)) {
    if (g == "\"") {
      inQuotes = !inQuotes;
      token += g;
    } else if (!inQuotes && text::isWhitespace(firstCodePoint(g))) {
      flush(token);
      token.clear();
    } else {
      token += g;
    }
  }
  flush(token);

  std::string query;
  for (const std::string& term : terms) {
    if (!query.empty()) query += ' ';
    query += term;
  }
  return query;
}

std::vector<SearchHit> Catalog::search(const std::string& input, int limit) {
  std::string trimmed = text::trimmed(input);
  if (trimmed.empty()) return {};
  // Hits in the order they were found, so equal ranks keep that order (the
  // fallback's newest-first); index maps an item id to its hit.
  std::vector<SearchHit> hits;
  std::unordered_map<std::int64_t, std::size_t> index;
  auto put = [&hits, &index](SearchHit hit) {
    auto [at, inserted] = index.emplace(hit.item.id, hits.size());
    if (inserted) hits.push_back(std::move(hit));
    else hits[at->second] = std::move(hit);
  };

  // The full-text queries swallow their errors: a half-typed phrase is not a failure.
  auto quietly = [this](const std::string& sql, const std::vector<SQLValue>& params) {
    try {
      return db_.query(sql, params);
    } catch (const std::exception&) {
      return std::vector<Row>{};
    }
  };

  std::string match = toFtsQuery(trimmed);
  if (!match.empty()) {
    for (const Row& row : quietly(
             "SELECT i.*, snippet(fts, 3, '[', ']', '…', 18) AS snip, bm25(fts, 0.0, 4.0, 2.0, "
             "1.0, 3.0, 1.0) AS rank\n"
             "FROM fts JOIN items i ON i.id = fts.item_id\n"
             "WHERE fts MATCH ? ORDER BY rank LIMIT ?",
             {match, limit})) {
      put(SearchHit{item(row), row.str("snip"), row.dbl("rank")});
    }
    for (const Row& row : quietly(
             "SELECT i.*, snippet(translations_fts, 1, '[', ']', '…', 18) AS snip, "
             "bm25(translations_fts) AS rank\n"
             "FROM translations_fts JOIN items i ON i.id = translations_fts.item_id\n"
             "WHERE translations_fts MATCH ? ORDER BY rank LIMIT ?",
             {match, limit})) {
      double rank = row.dbl("rank");
      std::int64_t id = row.int64("id");
      auto found = index.find(id);
      if (found != index.end() && hits[found->second].rank <= rank) continue;
      put(SearchHit{item(row), "In English: " + row.str("snip"), rank});
    }
  }

  std::size_t at = 0;
  while (at < trimmed.size()) {
    std::size_t end = trimmed.find(' ', at);
    if (end == std::string::npos) end = trimmed.size();
    std::string piece = trimmed.substr(at, end - at);
    at = end + 1;
    auto year = yearOf(piece);
    if (!year) continue;
    for (ArchiveItem& dated : itemsForYear(*year)) {
      if (index.count(dated.id)) continue;
      put(SearchHit{std::move(dated), "Dated " + std::to_string(*year), -1.0});
    }
  }

  if (hits.empty()) {
    for (const Row& row : q("SELECT * FROM items WHERE file_name LIKE ?1 OR title LIKE ?1 ORDER BY "
                            "added DESC LIMIT ?2",
                            {"%" + trimmed + "%", limit})) {
      ArchiveItem found = item(row);
      std::string snippet = found.fileName;
      put(SearchHit{std::move(found), std::move(snippet), 0.0});
    }
  }

  std::stable_sort(hits.begin(), hits.end(),
                   [](const SearchHit& a, const SearchHit& b) { return a.rank < b.rank; });
  return hits;
}

std::vector<std::int64_t> Catalog::searchAny(const std::vector<std::string>& terms, int limit) {
  std::vector<std::vector<std::string>> cleaned;
  for (const std::string& term : terms) {
    auto words = retrievalWords(term);
    if (!words.empty()) cleaned.push_back(std::move(words));
  }
  if (cleaned.empty()) return {};

  std::string match;
  for (const auto& words : cleaned) {
    if (!match.empty()) match += " OR ";
    match += '"';
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (i) match += ' ';
      match += words[i];
    }
    match += "\"*";
  }

  struct Source {
    const char* sql;
    double weight;
  };
  static const Source kSources[] = {
      {"SELECT item_id AS id, bm25(fts, 0.0, 2.0, 1.0, 1.0, 3.0, 1.0) AS rank FROM fts WHERE fts "
       "MATCH ? ORDER BY rank LIMIT 200",
       1.0},
      {"SELECT item_id AS id, bm25(translations_fts) AS rank FROM translations_fts WHERE "
       "translations_fts MATCH ? ORDER BY rank LIMIT 200",
       0.9},
  };
  // Scores in the order the items were first met, so equal scores keep it.
  std::vector<std::pair<std::int64_t, double>> ranked;
  std::unordered_map<std::int64_t, std::size_t> index;
  auto score = [&ranked, &index](std::int64_t id) -> double& {
    auto [at, inserted] = index.emplace(id, ranked.size());
    if (inserted) ranked.emplace_back(id, 0.0);
    return ranked[at->second].second;
  };
  for (const Source& source : kSources) {
    std::vector<Row> rows;
    try {
      rows = db_.query(source.sql, {match});
    } catch (const std::exception&) {
      // Counted as no rows, like a query that matched nothing.
    }
    for (const Row& row : rows) score(row.int64("id")) += row.dbl("rank") * source.weight;
  }

  for (const auto& words : cleaned) {
    if (words.size() != 1) continue;
    auto year = yearOf(words.front());
    if (!year) continue;
    for (const ArchiveItem& dated : itemsForYear(*year)) score(dated.id) += -2.0;
  }

  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  std::size_t count = limit <= 0 ? 0 : std::min(ranked.size(), static_cast<std::size_t>(limit));
  std::vector<std::int64_t> ids;
  ids.reserve(count);
  for (std::size_t i = 0; i < count; ++i) ids.push_back(ranked[i].first);
  return ids;
}

void Catalog::rebuildIndex() {
  tx([&] {
    db_.run("DELETE FROM fts");
    for (const Row& row : db_.query("SELECT id FROM items")) updateFts(row.int64("id"));
    db_.run("DELETE FROM translations_fts");
    db_.run("INSERT INTO translations_fts (item_id, text) SELECT item_id, text FROM translations");
  });
}

CatalogStats Catalog::stats() {
  CatalogStats s;
  auto items = q(
      "SELECT COUNT(*) AS n, COALESCE(SUM(file_size),0) AS b, COALESCE(SUM(ocr_status IN (0,1)),0) "
      "AS p FROM items");
  if (!items.empty()) {
    s.items = static_cast<int>(items.front().int64("n"));
    s.totalBytes = items.front().int64("b");
    s.pending = static_cast<int>(items.front().int64("p"));
  }
  auto count = [this](const char* sql) {
    auto rows = q(sql);
    return rows.empty() ? 0 : static_cast<int>(rows.front().int64("n"));
  };
  // trim() alone strips only spaces: a text of line breaks and tabs is no transcription either.
  s.transcribed = count(
      "SELECT COUNT(*) AS n FROM transcriptions WHERE length(trim(text, char(32,9,10,13))) > 0");
  s.people = count("SELECT COUNT(*) AS n FROM people");
  s.dates = count("SELECT COUNT(*) AS n FROM item_dates");
  return s;
}

void Catalog::backup(const std::string& to) {
  std::error_code ec;
  // Deleting the live file would lose the archive: refuse to copy onto it.
  if (std::filesystem::equivalent(to, filePath_, ec))
    throw SQLError("Can't back up the catalog onto its own file " + to);
  std::filesystem::remove(to, ec);
  db_.run("VACUUM INTO ?", {to});
}

}  // namespace quorvel
