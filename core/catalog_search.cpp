// Catalog: the full-text query of what the user types, the two searches, the
// index rebuild, the statistics and the backup copy.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
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

// ---- Ranking ----
//
// catalog_bm25(table, weights...) gives exactly FTS5's bm25(table, weights...)
// (the same statistics, formula and order of operations), but reads the row
// lengths differently. bm25() looks up each matching row's length with one
// statement on the docsize table, which is most of the cost of ranking a
// common word (about 1 µs of 1.7 µs per row). On the read connection the
// lengths of a whole table are kept between searches, valid as long as the
// file's data version is the one they were read at; when a query term is in
// more than a sixteenth of the rows and no valid lengths are kept, the whole
// docsize table is read once (about 55 ns per row) and kept. Other
// connections read it per query under the same condition.

// The row lengths of one table, by row id (-1 for an id without a row).
using Lengths = std::vector<int>;

struct LengthCache {
  std::mutex lock;  // guards the fields below
  bool valid = false;
  unsigned version = 0;
  std::shared_ptr<const Lengths> lengths;
};

struct RankData {
  double avgdl = 0;
  std::vector<double> idf;
  std::vector<double> freq;
  std::shared_ptr<const Lengths> lengths;  // when read in bulk or kept
};

// An SQLite varint: seven bits a byte, high bit set on all but the last; a
// ninth byte gives all eight bits.
bool readVarint(const unsigned char*& at, const unsigned char* end, std::uint64_t& value) {
  value = 0;
  for (int i = 0; i < 9; ++i) {
    if (at == end) return false;
    unsigned char byte = *at++;
    if (i == 8) {
      value = (value << 8) | byte;
      return true;
    }
    value = (value << 7) | (byte & 0x7f);
    if (!(byte & 0x80)) return true;
  }
  return true;
}

// Reads every row length of the table; leaves out empty when the row ids are
// too sparse for a table by id.
int loadLengths(sqlite3* db, const std::string& table, std::shared_ptr<const Lengths>& out) {
  sqlite3_stmt* stmt = nullptr;
  std::string sql = "SELECT id, sz FROM \"" + table + "_docsize\" ORDER BY id";
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return rc;
  std::vector<std::pair<sqlite3_int64, int>> rows;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    auto blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, 1));
    const unsigned char* end = blob + sqlite3_column_bytes(stmt, 1);
    std::uint64_t total = 0, size = 0;
    for (const unsigned char* at = blob; blob && at < end;)
      if (readVarint(at, end, size)) total += size;
    rows.emplace_back(sqlite3_column_int64(stmt, 0), static_cast<int>(total));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return rc;
  sqlite3_int64 last = rows.empty() ? 0 : rows.back().first;
  if (rows.empty() || rows.front().first < 0 ||
      last > 4 * static_cast<sqlite3_int64>(rows.size()) + 4096)
    return SQLITE_OK;
  auto lengths = std::make_shared<Lengths>(static_cast<std::size_t>(last) + 1, -1);
  for (const auto& [id, length] : rows) (*lengths)[static_cast<std::size_t>(id)] = length;
  out = std::move(lengths);
  return SQLITE_OK;
}

int countRow(const Fts5ExtensionApi*, Fts5Context*, void* count) {
  ++*static_cast<sqlite3_int64*>(count);
  return SQLITE_OK;
}

int prepareRanking(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx,
                   const std::string& table, LengthCache* cache, RankData*& out) {
  out = static_cast<RankData*>(api->xGetAuxdata(fts, 0));
  if (out) return SQLITE_OK;
  auto data = std::make_unique<RankData>();
  int phrases = api->xPhraseCount(fts);
  data->idf.resize(phrases);
  data->freq.resize(phrases);
  sqlite3_int64 rows = 0, tokens = 0;
  int rc = api->xRowCount(fts, &rows);
  if (rc == SQLITE_OK) rc = api->xColumnTotalSize(fts, -1, &tokens);
  if (rc != SQLITE_OK) return rc;
  data->avgdl = static_cast<double>(tokens) / static_cast<double>(rows);
  sqlite3_int64 mostHits = 0;
  for (int i = 0; i < phrases; ++i) {
    sqlite3_int64 hits = 0;
    rc = api->xQueryPhrase(fts, i, &hits, countRow);
    if (rc != SQLITE_OK) return rc;
    // Floored as bm25() does: a term in more than half the rows would weigh less than none.
    double idf = std::log((rows - hits + 0.5) / (hits + 0.5));
    data->idf[i] = idf <= 0.0 ? 1e-6 : idf;
    mostHits = std::max(mostHits, hits);
  }
  // The data version of the read transaction this query runs in: lengths
  // kept at the same version are those of this query's rows.
  sqlite3* db = sqlite3_context_db_handle(ctx);
  unsigned version = 0;
  bool versioned =
      cache && sqlite3_file_control(db, "main", SQLITE_FCNTL_DATA_VERSION, &version) == SQLITE_OK;
  if (versioned) {
    std::lock_guard guard(cache->lock);
    if (cache->valid && cache->version == version) data->lengths = cache->lengths;
  }
  if (!data->lengths && mostHits >= 256 && mostHits * 16 > rows) {
    rc = loadLengths(db, table, data->lengths);
    if (rc != SQLITE_OK) return rc;
    if (versioned && data->lengths) {
      std::lock_guard guard(cache->lock);
      cache->valid = true;
      cache->version = version;
      cache->lengths = data->lengths;
    }
  }
  rc = api->xSetAuxdata(fts, data.get(), [](void* p) { delete static_cast<RankData*>(p); });
  if (rc != SQLITE_OK) return rc;  // xSetAuxdata has already called the deleter
  out = data.release();
  return SQLITE_OK;
}

}  // namespace

// The lengths kept for the read connection, one set per full-text table.
struct CatalogRankingCache {
  LengthCache fts;
  LengthCache translations;
};

namespace {

void rankFunction(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* ctx, int argc,
                  sqlite3_value** argv) {
  constexpr double k1 = 1.2;
  constexpr double b = 0.75;
  if (argc < 1 || sqlite3_value_type(argv[0]) != SQLITE_TEXT) {
    sqlite3_result_error(ctx, "catalog_bm25: the first argument names the table", -1);
    return;
  }
  std::string table = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  if (table != "fts" && table != "translations_fts") {
    sqlite3_result_error(ctx, "catalog_bm25: unknown table", -1);
    return;
  }
  auto* caches = static_cast<CatalogRankingCache*>(api->xUserData(fts));
  LengthCache* cache = caches ? (table == "fts" ? &caches->fts : &caches->translations) : nullptr;
  int weights = argc - 1;
  sqlite3_value** weight = argv + 1;
  try {
    RankData* data = nullptr;
    int rc = prepareRanking(api, fts, ctx, table, cache, data);
    int instances = 0;
    if (rc == SQLITE_OK) {
      std::fill(data->freq.begin(), data->freq.end(), 0.0);
      rc = api->xInstCount(fts, &instances);
    }
    for (int i = 0; rc == SQLITE_OK && i < instances; ++i) {
      int phrase = 0, column = 0, offset = 0;
      rc = api->xInst(fts, i, &phrase, &column, &offset);
      if (rc == SQLITE_OK) data->freq[phrase] += weights > column ? sqlite3_value_double(weight[column]) : 1.0;
    }
    int length = -1;
    if (rc == SQLITE_OK) {
      sqlite3_int64 rowid = api->xRowid(fts);
      if (data->lengths && rowid >= 0 && static_cast<std::uint64_t>(rowid) < data->lengths->size())
        length = (*data->lengths)[static_cast<std::size_t>(rowid)];
      if (length < 0) rc = api->xColumnSize(fts, -1, &length);
    }
    if (rc != SQLITE_OK) {
      sqlite3_result_error_code(ctx, rc);
      return;
    }
    double D = static_cast<double>(length);
    double score = 0.0;
    for (std::size_t i = 0; i < data->idf.size(); ++i) {
      double f = data->freq[i];
      score += data->idf[i] * ((f * (k1 + 1.0)) / (f + k1 * (1 - b + b * D / data->avgdl)));
    }
    sqlite3_result_double(ctx, -1.0 * score);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(ctx);
  }
}

// catalog_beaten(id, rank): whether the search running on this thread
// already has a hit for the item ranked at or below rank; false outside one.
thread_local const std::function<bool(std::int64_t, double)>* runningSearch = nullptr;

void beatenFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_int(ctx, runningSearch && (*runningSearch)(sqlite3_value_int64(argv[0]),
                                                            sqlite3_value_double(argv[1])));
}

fts5_api* ftsApi(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &stmt, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(stmt, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  return api;
}

int registerRanking(sqlite3* db, const char**, const sqlite3_api_routines*) {
  // Without FTS5 the schema cannot be created, and opening reports that.
  if (fts5_api* api = ftsApi(db)) api->xCreateFunction(api, "catalog_bm25", nullptr, rankFunction, nullptr);
  sqlite3_create_function_v2(db, "catalog_beaten", 2, SQLITE_UTF8, nullptr, beatenFunction, nullptr,
                             nullptr, nullptr);
  return SQLITE_OK;
}

// Makes a test the answer of catalog_beaten() on this thread while it lives.
class BeatenBy {
 public:
  explicit BeatenBy(const std::function<bool(std::int64_t, double)>& test) { runningSearch = &test; }
  ~BeatenBy() { runningSearch = nullptr; }
  BeatenBy(const BeatenBy&) = delete;
  BeatenBy& operator=(const BeatenBy&) = delete;
};

}  // namespace

void Catalog::installRanking() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Memory statistics put one process-wide mutex around every allocation,
    // so a search and a save on their two connections would still take turns
    // on it. Nothing reads the statistics; SQLite refuses the setting (and
    // keeps them) when it is already in use.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(registerRanking));
  });
}

void Catalog::installReaderRanking() {
  rankingCache_ = std::make_shared<CatalogRankingCache>();
  std::lock_guard guard(readDb_->lock());
  // Registered again with the cache: the later registration replaces the first.
  if (fts5_api* api = ftsApi(readDb_->handle()))
    api->xCreateFunction(api, "catalog_bm25", rankingCache_.get(), rankFunction, nullptr);
}

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
    // A dropped character separates the words on either side: inside the
    // quotes a space makes them a phrase, as the index holds "11/5/1948" as
    // the words 11, 5 and 1948 one after another. Deleting it would join
    // them into a word that was never indexed.
    std::string kept;
    bool gap = false;
    for (const std::string& g : chars) {
      char32_t cp = firstCodePoint(g);
      if (text::isLetter(cp) || text::isNumber(cp) || isApostrophe(cp) || cp == U'-') {
        if (gap && !kept.empty()) kept += ' ';
        gap = false;
        kept += g;
      } else {
        gap = true;
      }
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
  if (trimmed.empty() || limit == 0) return {};
  const std::size_t cap = limit < 0 ? std::numeric_limits<std::size_t>::max()
                                    : static_cast<std::size_t>(limit);
  Database& db = reader();
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
  auto quietly = [&db](const std::string& sql, const std::vector<SQLValue>& params) {
    try {
      return db.query(sql, params);
    } catch (const std::exception&) {
      return std::vector<Row>{};
    }
  };

  // Ranking goes through FTS5's own rank column (set to the weighted bm25)
  // rather than a bm25() result column: FTS5 then sorts before the snippets are
  // made, so only the rows returned get one, not every matching row. Items are
  // joined on the row id, under which every full-text row sits (see
  // migrate()): reading item_id would read each matching content row.
  std::string match = toFtsQuery(trimmed);
  if (!match.empty()) {
    for (const Row& row : quietly(
             "SELECT i.*, snippet(fts, 3, '[', ']', '…', 18) AS snip, fts.rank AS rank\n"
             "FROM fts JOIN items i ON i.id = fts.rowid\n"
             "WHERE fts MATCH ? AND fts.rank MATCH 'catalog_bm25(''fts'', 0.0, 4.0, 2.0, 1.0, 3.0, "
             "1.0)'\n"
             "ORDER BY fts.rank LIMIT ?",
             {match, limit})) {
      put(SearchHit{item(row), row.str("snip"), row.dbl("rank")});
    }
    // A translation's row is kept only when its item has no hit ranked as
    // well yet, and it can make the cut below only when it ranks better than
    // the worst of a full set of text hits (every one of those stays ahead of
    // it). Its snippet is made only when both hold (catalog_beaten() asks
    // this search), which spares most of the snippets of a common word; a
    // row kept that cannot make the cut still keeps its item from a dated
    // hit of its own.
    const bool fullOfText = hits.size() >= cap;
    double worstText = hits.empty() ? 0 : hits.front().rank;
    for (const SearchHit& hit : hits) worstText = std::max(worstText, hit.rank);
    auto kept = [&](std::int64_t id, double rank) {
      auto found = index.find(id);
      return found == index.end() || hits[found->second].rank > rank;
    };
    const std::function<bool(std::int64_t, double)> beaten = [&](std::int64_t id, double rank) {
      return !kept(id, rank) || (fullOfText && rank >= worstText);
    };
    const BeatenBy scope(beaten);
    for (const Row& row : quietly(
             "SELECT i.*, CASE WHEN catalog_beaten(translations_fts.rowid, translations_fts.rank) "
             "THEN NULL ELSE snippet(translations_fts, 1, '[', ']', '…', 18) END AS snip, "
             "translations_fts.rank AS rank\n"
             "FROM translations_fts JOIN items i ON i.id = translations_fts.rowid\n"
             "WHERE translations_fts MATCH ? AND translations_fts.rank MATCH "
             "'catalog_bm25(''translations_fts'')'\n"
             "ORDER BY translations_fts.rank LIMIT ?",
             {match, limit})) {
      double rank = row.dbl("rank");
      if (!kept(row.int64("id"), rank)) continue;
      put(SearchHit{item(row), "In English: " + row.str("snip"), rank});
    }
  }

  // Year pass: a piece that is a year adds the items dated in it, but only
  // those the rest of the text matches too ("Müller 1923" adds the items
  // dated 1923 that mention Müller, not every item of 1923). All dated hits
  // rank -1 and keep their date order, so no more of them can survive the
  // cut below than the limit leaves after the hits ranked -1 or better.
  const std::vector<std::string> pieces = text::split(trimmed, " ", /*keepEmpty=*/false);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    auto year = yearOf(pieces[k]);
    if (!year) continue;
    // Dated hits come after every hit ranked -1 or better that is already
    // here: when those fill the limit, none of the year's items would be kept.
    const std::size_t better = static_cast<std::size_t>(
        std::count_if(hits.begin(), hits.end(), [](const SearchHit& hit) { return hit.rank <= -1.0; }));
    if (better >= cap) continue;
    std::string rest;
    for (std::size_t other = 0; other < pieces.size(); ++other) {
      if (other == k) continue;
      if (!rest.empty()) rest += ' ';
      rest += pieces[other];
    }
    std::string restMatch = toFtsQuery(rest);
    // Of the year's items, those that already have a hit are passed over.
    std::int64_t wanted = cap == std::numeric_limits<std::size_t>::max()
                              ? -1
                              : static_cast<std::int64_t>(cap - better + hits.size());
    std::vector<Row> rows;
    try {
      rows = datedRows(*year, restMatch, wanted);
    } catch (const std::exception& e) {
      // Like the full-text queries, a malformed rest gives no dated hits quietly.
      if (restMatch.empty()) recordError(e.what());
    }
    for (const Row& row : rows) {
      ArchiveItem dated = item(row);
      if (index.count(dated.id)) continue;
      put(SearchHit{std::move(dated), "Dated " + std::to_string(*year), -1.0});
    }
  }

  if (hits.empty()) {
    for (const Row& row : namedRows("%" + trimmed + "%", limit)) {
      ArchiveItem found = item(row);
      std::string snippet = found.fileName;
      put(SearchHit{std::move(found), std::move(snippet), 0.0});
    }
  }

  std::stable_sort(hits.begin(), hits.end(),
                   [](const SearchHit& a, const SearchHit& b) { return a.rank < b.rank; });
  if (hits.size() > cap) hits.resize(cap);
  return hits;
}

std::vector<Row> Catalog::namedRows(const std::string& pattern, int limit) {
  const std::string scan =
      "SELECT * FROM items WHERE file_name LIKE ?1 OR title LIKE ?1 ORDER BY added DESC, id DESC "
      "LIMIT ?2";
  if (!sideTablesFilled_) return q(scan, {pattern, limit});
  // Names that contain every run of three or more characters of the pattern
  // without a wildcard, checked against the pattern whole: a few candidates,
  // or, when the text is common in names, enough of them that reading the
  // items newest first meets the limit soon.
  constexpr int kFewCandidates = 2000;
  const std::size_t candidates =
      q("SELECT rowid FROM item_names WHERE name LIKE ?1 LIMIT ?2", {pattern, kFewCandidates + 1}).size();
  if (candidates == 0) return {};
  if (candidates > static_cast<std::size_t>(kFewCandidates)) return q(scan, {pattern, limit});
  return q("SELECT i.* FROM item_names m JOIN items i ON i.id = m.rowid WHERE m.name LIKE ?1 AND "
           "(i.file_name LIKE ?1 OR i.title LIKE ?1) ORDER BY i.added DESC, i.id DESC LIMIT ?2",
           {pattern, limit});
}

std::vector<Row> Catalog::datedRows(int year, const std::string& match, std::int64_t limit) {
  // A value starts with the year exactly when it lies in [year, year with its
  // last character raised by one), so the index on value serves the lookup.
  char from[32];
  std::snprintf(from, sizeof from, "%04d", year);
  std::string to = from;
  ++to.back();
  std::string sql =
      "SELECT i.* FROM (SELECT item_id, MIN(value) AS v, MIN(id) AS first FROM item_dates "
      "WHERE value >= ?1 AND value < ?2";
  std::vector<SQLValue> params{std::string(from), to, limit};
  if (!match.empty()) {
    // The unary plus keeps the plan on the year's few dates, checked against
    // the matching row ids, rather than a date lookup for every matching row.
    sql +=
        " AND (+item_id IN (SELECT rowid FROM fts WHERE fts MATCH ?4) OR +item_id IN "
        "(SELECT rowid FROM translations_fts WHERE translations_fts MATCH ?4))";
    params.emplace_back(match);
  }
  sql += " GROUP BY item_id) d JOIN items i ON i.id = d.item_id ORDER BY d.v, d.first LIMIT ?3";
  return reader().query(sql, params);
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
      {"SELECT item_id AS id, rank FROM fts WHERE fts MATCH ? AND rank MATCH "
       "'catalog_bm25(''fts'', 0.0, 2.0, 1.0, 1.0, 3.0, 1.0)' ORDER BY rank LIMIT 200",
       1.0},
      {"SELECT item_id AS id, rank FROM translations_fts WHERE translations_fts MATCH ? AND rank "
       "MATCH 'catalog_bm25(''translations_fts'')' ORDER BY rank LIMIT 200",
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
      rows = reader().query(source.sql, {match});
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
  tx([this] { rebuildFullText(); });
}


void Catalog::rebuildFullText() {
  db_.run("DELETE FROM fts");
  for (const Row& row : db_.query("SELECT id FROM items")) updateFts(row.int64("id"));
  refillSideTables();
  db_.run("DELETE FROM translations_fts");
  db_.run(
      "INSERT INTO translations_fts (rowid, item_id, text) SELECT item_id, item_id, text FROM "
      "translations");
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
  // The expression is that of the index ix_transcriptions_text_length, which answers it.
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
  // VACUUM INTO reads one snapshot in a single read transaction, which in WAL
  // mode neither takes nor waits for the write lock. On a connection of its
  // own it holds neither the writer's lock nor the searches' for the seconds
  // a large archive takes.
  Database copier(filePath_, /*readOnly=*/true);
  copier.run("VACUUM INTO ?", {to});
}

}  // namespace quorvel
