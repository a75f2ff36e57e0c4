#pragma once
// The catalog: the one store of the archive, a single SQLite file (catalog.db)
// holding the scans (items), their transcriptions and translations, the tagged
// people, the dates, the tombstones of removed scans, and the two full-text
// tables `fts` and `translations_fts`, which the catalog keeps in step itself.
//
// Any thread may call. The catalog keeps two connections to the file. Writes
// go through the writer connection (db()): each holds its recursive lock for
// the whole of its statement, and a transactional operation holds it from
// BEGIN IMMEDIATE to COMMIT or ROLLBACK, so it is never interleaved with
// another thread's statements. Reads (searches, lists, counts, single
// records) go through a read connection of their own with its own lock and
// see the state of the last commit; WAL lets that connection read while the
// writer writes, so a read never waits behind a stream of writes and a write
// never waits behind a search. A read made inside a transaction body, on the
// thread that runs it, goes to the writer and sees the transaction's changes.
//
// Failures: only the constructor and backup() throw. Every other operation
// answers its empty result (empty list, none, 0 or false) and keeps the error's
// text in lastError(). An operation marked "one transaction" is rolled back
// whole when any of its statements fails. The full-text queries of search()
// and searchAny() swallow their errors without touching lastError().
//
// The order in which an operation issues its statements is part of its
// behaviour: callers rely on it (for example that a reading never replaces a
// text the user corrected). Paths are compared exactly, letter case included.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/models.h"
#include "core/sqlite.h"

namespace quorvel {

struct CatalogRankingCache;

class Catalog {
 public:
  // Opens or creates the catalog at path: creates the containing folder (its
  // failure is ignored), opens the connection read-write (WAL, foreign keys)
  // and creates or migrates the schema. Throws the connection's SQLError when
  // the file cannot be opened or a schema statement fails.
  explicit Catalog(const std::string& path);
  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // The writer connection, for the services that need it directly.
  Database& db() { return db_; }
  // The path the catalog was opened on.
  const std::string& filePath() const { return filePath_; }
  // The text of the most recent failure; never cleared by a later success.
  // Another thread's failure may come in between: read it right after the call.
  std::optional<std::string> lastError() const;

  // ---- Items ----

  // The item with this id, or none.
  std::optional<ArchiveItem> getItem(std::int64_t id);
  // The item stored with exactly this path, or none.
  std::optional<ArchiveItem> findByPath(const std::string& path);
  // The first item with this SHA-256; none for the empty text (without a query).
  std::optional<ArchiveItem> findBySha(const std::string& sha256);
  // Every item, newest added first, ties by higher id first.
  std::vector<ArchiveItem> allItems();
  // Items matching every filter given, newest added first (ties by higher id),
  // at most limit of them; a negative limit means no limit.
  std::vector<ArchiveItem> listItems(std::optional<ItemKind> kind = std::nullopt,
                                     std::optional<OcrStatus> status = std::nullopt,
                                     std::optional<bool> favorite = std::nullopt,
                                     std::int64_t limit = -1);
  // Items pending or failed, or whose transcription has uncertain words
  // (uncertain neither '' nor '[]'); newest added first, ties by higher id.
  std::vector<ArchiveItem> itemsNeedingReview();
  // Items tagged with the person, newest added first.
  std::vector<ArchiveItem> itemsForPerson(std::int64_t personId);
  // Distinct items with a date in that year (a value starting with the year
  // written "%04d"), by their earliest such date value, ties in the order the
  // dates were added.
  std::vector<ArchiveItem> itemsForYear(int year);
  // True when a tombstone has exactly this path.
  bool isRemovedPath(const std::string& path);
  // True when a tombstone has exactly this path or, for a non-empty tombstone
  // SHA-256, this SHA-256.
  bool isRemoved(const std::string& path, const std::string& sha256);

  // Sets the reading status; the full-text row is not touched.
  void setOcrStatus(std::int64_t id, OcrStatus status);
  // Sets the thumbnail path, or clears it with none.
  void updateThumbnailPath(std::int64_t id, const std::optional<std::string>& path);
  // Clears the item's link and every link pointing to it.
  void unlinkItem(std::int64_t id);
  // Drops every tombstone of exactly this path or, when given and not empty,
  // of this SHA-256.
  void clearRemoved(const std::string& path, const std::optional<std::string>& sha256);

  // One transaction: inserts the item (its id is ignored, its own `added` is
  // kept) and builds its full-text row. Returns the new items row id; 0 when
  // anything fails, for example a path that is already stored.
  std::int64_t addItem(const ArchiveItem& item);
  // One transaction: rewrites every column of the item's row except `added`,
  // then rebuilds its full-text row.
  void updateItem(const ArchiveItem& item);
  // One transaction: releases every earlier partner of a and b, then links a
  // and b to each other (front and back of a photograph).
  void linkItems(std::int64_t a, std::int64_t b);
  // One transaction: moves each item to its new path (file name = the path's
  // last component); a path another item has leaves that item unchanged.
  // Returns the number of items whose path changed, 0 on failure.
  int relinkItems(const std::vector<std::pair<std::int64_t, std::string>>& moves);
  // One transaction: removes the items, writing a tombstone for each and
  // releasing their partners; ids without an item are skipped. Returns one
  // snapshot per removed item in the order of the ids (for undo); empty on
  // failure. The scan files and thumbnails are not touched.
  std::vector<RemovedItemSnapshot> removeItems(const std::vector<std::int64_t>& ids);
  // One transaction: puts removed items back with their old ids, texts,
  // people (by name, re-created when deleted), dates (new ids) and
  // translations, drops their tombstones and links them to their partners
  // again when the partner exists and is free. A snapshot whose id or exact
  // path is in use is skipped. Returns the restored ids in snapshot order;
  // empty on failure.
  std::vector<std::int64_t> restoreRemovedItems(const std::vector<RemovedItemSnapshot>& snapshots);
  // One transaction: points every stored thumbnail path into the folder,
  // keeping its file name (both slash and backslash separate). Returns the
  // number of items whose path changed, 0 on failure.
  int repointThumbnails(const std::string& folder);

  // ---- Transcriptions ----

  // The item's transcription, or none.
  std::optional<Transcription> getTranscription(std::int64_t itemId);
  // One transaction: stores a reading (raw text, engine, confidence, uncertain
  // words). The current text follows the reading unless the user corrected it;
  // with replaceCorrected the reading replaces a correction too and clears
  // `corrected`. Sets the status done and rebuilds the full-text row.
  void saveRecognizedText(std::int64_t itemId, const std::string& raw, const std::string& engine,
                          std::optional<double> confidence, const std::string& uncertainJson = "",
                          bool replaceCorrected = false);
  // One transaction: replaces the uncertain-words JSON of an existing
  // transcription; nothing happens when the item has none. The full-text row
  // is not touched.
  void saveUncertain(std::int64_t itemId, const std::string& json);
  // One transaction: stores the user's text (corrected; a new transcription
  // gets engine "user" and an empty raw text), sets the status done and
  // rebuilds the full-text row.
  void saveCorrectedText(std::int64_t itemId, const std::string& text);

  // ---- People ----

  // The people tagged on the item, by name ignoring case, each with itemCount 0.
  std::vector<Person> peopleForItem(std::int64_t itemId);
  // Every person with the number of items tagged, by name ignoring case.
  std::vector<Person> listPeople();
  // The id of the person with this name (trimmed; ASCII case ignored), created
  // when missing; 0 for a blank name or on failure.
  std::int64_t ensurePerson(const std::string& name);
  // One transaction: tags the item (tagging twice is harmless) and rebuilds its
  // full-text row.
  void tagPerson(std::int64_t itemId, std::int64_t personId);
  // One transaction: untags and rebuilds the item's full-text row.
  void untagPerson(std::int64_t itemId, std::int64_t personId);
  // One transaction: renames the person (trimmed; a name another person has
  // leaves it unchanged) and rebuilds the full-text rows of their items.
  void renamePerson(std::int64_t personId, const std::string& to);
  // One transaction: deletes the person with their tags and rebuilds the
  // full-text rows of the items they were tagged on.
  void deletePerson(std::int64_t personId);

  // ---- Dates ----

  // The item's dates by value as text (a year sorts before the dates in it).
  std::vector<ItemDate> datesForItem(std::int64_t itemId);
  // Item id to its smallest date value, for the items that have dates.
  std::unordered_map<std::int64_t, std::string> firstDates();
  // One transaction: deletes the item's unconfirmed dates, then adds each
  // given date (unconfirmed, with its value and source) whose value the item
  // does not still have.
  void replaceExtractedDates(std::int64_t itemId, const std::vector<ItemDate>& dates);
  // Adds one date; no duplicate check.
  void addDate(std::int64_t itemId, const std::string& value, const std::string& source,
               bool confirmed);
  // Sets or clears the date's confirmed flag.
  void setDateConfirmed(std::int64_t dateId, bool confirmed);
  // Deletes one date.
  void deleteDate(std::int64_t dateId);
  // (year, number of distinct items dated in it), ascending.
  std::vector<std::pair<int, int>> years();

  // ---- Translations ----

  // The item's translation, or none.
  std::optional<Translation> getTranslation(std::int64_t itemId);
  // One transaction: stores or replaces the translation (stamped now) and its
  // translations_fts row.
  void saveTranslation(const Translation& translation);
  // One transaction: removes the translation and its translations_fts row.
  void deleteTranslation(std::int64_t itemId);

  // ---- Search, index, statistics, backup ----

  // The FTS5 MATCH expression for what the user typed: each word a quoted
  // prefix term, each quoted phrase kept, joined by spaces (all must match);
  // empty when nothing searchable is left. Characters that are neither
  // letters, numbers, apostrophes nor hyphens are dropped and separate the
  // words on either side ("11/5/1948" is the phrase 11 5 1948).
  static std::string toFtsQuery(const std::string& text);
  // The library's search: ranked full-text hits of the items and their
  // translations (the better one per item), items dated in a year named in the
  // text that the rest of the text also matches (rank -1), and, when nothing
  // else is found, items whose file name or title contains the text (rank 0).
  // Best (lowest rank) first, at most limit hits (a negative limit means no
  // limit).
  std::vector<SearchHit> search(const std::string& text, int limit);
  // The question answerer's retrieval: items matching any of the terms, scored
  // over both full-text tables with a bonus for a year among the terms; best
  // first, at most limit ids (none for a limit of 0 or below).
  std::vector<std::int64_t> searchAny(const std::vector<std::string>& terms, int limit);
  // One transaction: rebuilds fts and translations_fts (and the index of
  // titles and file names) from the tables; a failure leaves them as they were.
  void rebuildIndex();
  // The totals of the archive; a failed query leaves its fields 0.
  CatalogStats stats();
  // Writes a consistent, compacted copy of the live database to path,
  // replacing a file there: the state of the last commit before the copy
  // began. The copy is read through a connection of its own, so writes and
  // reads go on meanwhile. Throws SQLError (not put into lastError), also
  // when path names the catalog's own file.
  void backup(const std::string& to);

 private:
  // A query with its parameters bound in order; errors recorded, empty list.
  std::vector<Row> q(const std::string& sql, const std::vector<SQLValue>& params = {});
  // One statement; the last inserted row id, or 0 with the error recorded.
  std::int64_t x(const std::string& sql, const std::vector<SQLValue>& params = {});
  // Runs body as one transaction (BEGIN IMMEDIATE ... COMMIT); on any error
  // rolls back, records the error and answers false. Body statements must go
  // to db_ directly so their errors propagate.
  bool tx(const std::function<void()>& body);
  // Rebuilds the fts row of one item; call only inside a transaction body.
  void updateFts(std::int64_t itemId);
  // Rebuilds the item_names row of one item (its title and file name); call
  // only inside a transaction body.
  void updateNames(std::int64_t itemId);
  // Rebuilds the uncertain_items row of one item from its transcription;
  // call only inside a transaction body.
  void updateUncertain(std::int64_t itemId);
  // Rebuilds item_names and uncertain_items whole; call only inside a
  // transaction body.
  void refillSideTables();
  // Brings an existing catalog's item_names and uncertain_items up to date,
  // in short transactions, a little after opening; runs on filler_ until done
  // or the catalog closes.
  void fillSideTables();
  // The items of a query's rows, in order; errors recorded, empty list.
  std::vector<ArchiveItem> itemsOf(const std::string& sql, const std::vector<SQLValue>& params = {});
  // The ArchiveItem of an items row (extra columns ignored).
  static ArchiveItem item(const Row& row);
  // Where the columns of an items row sit among a query's result columns.
  struct ItemColumns {
    explicit ItemColumns(const Row& row);
    std::size_t id, path, fileName, title, kind, fileSize, fileModified, added, width, height,
        thumbPath, sha256, linkedItemId, ocrStatus, favorite, notes;
  };
  // The same for a row of a query whose positions are known.
  static ArchiveItem item(const Row& row, const ItemColumns& at);
  // Makes catalog_bm25(), the ranking of both searches, known to every
  // connection opened from now on.
  static void installRanking();
  // Gives the read connection's catalog_bm25() the row lengths it keeps
  // between searches.
  void installReaderRanking();
  // Creates and migrates the schema; throws.
  void migrate();
  // The connection for a read: the writer inside a transaction body on the
  // thread running it, else the read connection.
  Database& reader();
  // Items dated in the year, by earliest date value in it; when match is not
  // empty, only items whose full-text or translation row matches it; at most
  // limit rows (negative: all). Throws the connection's error.
  std::vector<Row> datedRows(int year, const std::string& match, std::int64_t limit);
  // Items whose file name or title is LIKE the pattern, newest added first,
  // at most limit; errors recorded.
  std::vector<Row> namedRows(const std::string& pattern, int limit);
  // Refills fts, translations_fts and item_names from the tables; call only
  // inside a transaction.
  void rebuildFullText();
  void recordError(const std::string& message);

  Database db_;
  std::string filePath_;
  std::shared_ptr<CatalogRankingCache> rankingCache_;  // internally locked; outlives readDb_
  std::unique_ptr<Database> readDb_;         // made once the schema exists; never replaced
  std::unique_ptr<WalCheckpointer> checkpointer_;  // the writer's checkpoints, off its thread
  std::atomic<bool> sideTablesFilled_{false};  // item_names and uncertain_items hold every item
  std::mutex stopLock_;  // guards stopping_
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::thread filler_;  // runs fillSideTables() on a catalog opened before they were filled
  std::atomic<std::thread::id> txThread_{};  // the thread inside tx(), if any
  mutable std::mutex errorLock_;  // guards lastError_; a leaf lock
  std::optional<std::string> lastError_;
};

}  // namespace quorvel
