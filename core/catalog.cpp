// Catalog: schema, opening, the error convention, the transaction wrapper,
// the full-text row of one item and the row mapping of items.
#include "core/catalog.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <system_error>

#include "core/text.h"

namespace quorvel {

namespace {

// Tables, columns, defaults and the fts column order are fixed: the backup
// format and the ranking weights (fts columns 0-5) depend on them.
// The one- and two-letter prefix indexes make the first letters typed into
// the search field cheap: a one-letter search at 10,000 items took 125 ms at
// p95 without them, under 30 ms with them; a two-letter one at 50,000 items
// 150 ms with the one-letter index alone, under 60 ms with both. They cost
// 10 to 30 % more file.
constexpr const char* kSchemaMain = R"sql(
CREATE TABLE IF NOT EXISTS items (
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  file_name TEXT NOT NULL,
  title TEXT NOT NULL DEFAULT '',
  kind INTEGER NOT NULL DEFAULT 0,
  file_size INTEGER NOT NULL DEFAULT 0,
  file_modified TEXT NOT NULL,
  added TEXT NOT NULL,
  width INTEGER NOT NULL DEFAULT 0,
  height INTEGER NOT NULL DEFAULT 0,
  thumb_path TEXT,
  sha256 TEXT NOT NULL DEFAULT '',
  linked_item_id INTEGER REFERENCES items(id) ON DELETE SET NULL,
  ocr_status INTEGER NOT NULL DEFAULT 0,
  favorite INTEGER NOT NULL DEFAULT 0,
  notes TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS ix_items_sha ON items(sha256);
CREATE INDEX IF NOT EXISTS ix_items_added ON items(added);
CREATE TABLE IF NOT EXISTS transcriptions (
  item_id INTEGER PRIMARY KEY REFERENCES items(id) ON DELETE CASCADE,
  raw_text TEXT NOT NULL DEFAULT '',
  text TEXT NOT NULL DEFAULT '',
  engine TEXT NOT NULL DEFAULT '',
  confidence REAL,
  corrected INTEGER NOT NULL DEFAULT 0,
  updated TEXT NOT NULL
);
-- stats() counts the transcriptions with more than blanks by this expression,
-- which must stay the one it asks about: without the index the count reads
-- every text (160 ms at 50,000 items), with it 1 ms.
CREATE INDEX IF NOT EXISTS ix_transcriptions_text_length
  ON transcriptions(length(trim(text, char(32,9,10,13))));
CREATE TABLE IF NOT EXISTS people (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  notes TEXT NOT NULL DEFAULT ''
);
CREATE TABLE IF NOT EXISTS item_people (
  item_id INTEGER NOT NULL REFERENCES items(id) ON DELETE CASCADE,
  person_id INTEGER NOT NULL REFERENCES people(id) ON DELETE CASCADE,
  PRIMARY KEY (item_id, person_id)
);
-- The tags by person, for the counts of listPeople() (1.5 s for 300 people
-- with 100,000 tags without it, 3 ms with it) and the items of one person.
-- Made on opening an archive that lacks it: 20 to 40 ms at 100,000 tags,
-- before any write can wait for it.
CREATE INDEX IF NOT EXISTS ix_item_people_person ON item_people(person_id);
CREATE TABLE IF NOT EXISTS item_dates (
  id INTEGER PRIMARY KEY,
  item_id INTEGER NOT NULL REFERENCES items(id) ON DELETE CASCADE,
  value TEXT NOT NULL,
  source TEXT NOT NULL DEFAULT '',
  confirmed INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS ix_dates_item ON item_dates(item_id);
CREATE INDEX IF NOT EXISTS ix_dates_value ON item_dates(value);
CREATE VIRTUAL TABLE IF NOT EXISTS fts USING fts5(
  item_id UNINDEXED, title, file_name, text, people, notes,
  tokenize='unicode61 remove_diacritics 2', prefix='1 2'
);
CREATE TABLE IF NOT EXISTS removed_items (
  id INTEGER PRIMARY KEY,
  sha256 TEXT NOT NULL DEFAULT '',
  path TEXT NOT NULL DEFAULT '',
  removed TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS ix_removed_sha ON removed_items(sha256);
CREATE INDEX IF NOT EXISTS ix_removed_path ON removed_items(path);
-- Every three characters of each item's title and file name (joined by a
-- line break), so that the search's last resort, items whose title or file
-- name contains the text, finds its few candidates instead of reading every
-- item (30 ms at 50,000 items, under 1 ms with the index). Kept in step with
-- items by the catalog; about 2 % of the file.
CREATE VIRTUAL TABLE IF NOT EXISTS item_names USING fts5(name, tokenize='trigram');
-- The items whose transcription has uncertain words (uncertain neither ''
-- nor '[]'), kept in step by the catalog, so that itemsNeedingReview() does
-- not read every transcription (170 ms at 50,000 items; 20 ms with it).
CREATE TABLE IF NOT EXISTS uncertain_items (
  item_id INTEGER PRIMARY KEY REFERENCES items(id) ON DELETE CASCADE
);
)sql";

constexpr const char* kSchemaTranslations = R"sql(
CREATE TABLE IF NOT EXISTS translations (
  item_id INTEGER PRIMARY KEY REFERENCES items(id) ON DELETE CASCADE,
  language TEXT NOT NULL DEFAULT '',
  language_name TEXT NOT NULL DEFAULT '',
  text TEXT NOT NULL DEFAULT '',
  engine TEXT NOT NULL DEFAULT '',
  source_hash TEXT NOT NULL DEFAULT '',
  updated TEXT NOT NULL
);
CREATE VIRTUAL TABLE IF NOT EXISTS translations_fts USING fts5(
  item_id UNINDEXED, text,
  tokenize='unicode61 remove_diacritics 2', prefix='1 2'
);
)sql";

// PRAGMA user_version once the full-text rows are known to sit under their
// item's id, and once besides item_names and uncertain_items hold every item.
constexpr int kFullTextUnderItemIds = 1;
constexpr int kSideTablesFilled = 2;

// Items added to item_names and uncertain_items per transaction when an
// existing catalog is brought up to date, each transaction 2 to 20 ms of
// the writer at 50,000 items (the longer ones merge item_names' segments);
// how long after opening that starts, so that the start-up of the
// application has had its writes first; and the least pause between two.
constexpr int kItemsPerFillStep = 250;
constexpr auto kFillDelay = std::chrono::seconds(3);
constexpr auto kLeastFillPause = std::chrono::milliseconds(2);

// The side tables' rows of the items with ids from ?1 to ?2, for those that
// have none yet: the one statement of what each table holds, for the fill,
// the rows of one item and the whole rebuild.
constexpr const char* kFillNames =
    "INSERT INTO item_names (rowid, name) SELECT id, title || char(10) || file_name FROM items "
    "WHERE id >= ?1 AND id <= ?2 AND id NOT IN (SELECT rowid FROM item_names WHERE rowid >= ?1 "
    "AND rowid <= ?2)";
constexpr const char* kFillUncertain =
    "INSERT OR IGNORE INTO uncertain_items (item_id) SELECT item_id FROM transcriptions WHERE "
    "item_id >= ?1 AND item_id <= ?2 AND uncertain NOT IN ('', '[]')";

// The folder must exist before the connection opens; a failure shows up when
// the connection cannot create the file.
const std::string& prepared(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(parent, ignored);
  }
  return path;
}

}  // namespace

Catalog::Catalog(const std::string& path) : db_((installRanking(), prepared(path))), filePath_(path) {
  migrate();
  // Opened read-write so that it can take part in WAL recovery and checkpoints
  // like any connection; query_only keeps it from ever changing the file.
  readDb_ = std::make_unique<Database>(path);
  readDb_->exec("PRAGMA query_only=ON;");
  installReaderRanking();
  checkpointer_ = std::make_unique<WalCheckpointer>(db_, std::vector<Database*>{readDb_.get()});
  if (!sideTablesFilled_) filler_ = std::thread([this] { fillSideTables(); });
}

Catalog::~Catalog() {
  {
    std::lock_guard guard(stopLock_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (filler_.joinable()) filler_.join();
}

void Catalog::fillSideTables() {
  // True once the catalog is closing, after waiting at most for the pause.
  auto closedWithin = [this](std::chrono::steady_clock::duration pause) {
    std::unique_lock guard(stopLock_);
    return stopped_.wait_for(guard, pause, [this] { return stopping_; });
  };
  // A catalog opened only for a moment (a backup's copy, a restore's check)
  // closes before this starts, and is left as it is.
  if (closedWithin(kFillDelay)) return;
  // Any failure leaves the catalog as it was, read as before, and the work
  // to the next opening.
  try {
    // Writes keep the rows of every item they touch in step meanwhile; this
    // adds those of the items no write has touched yet.
    for (std::int64_t last = 0;;) {
      const auto began = std::chrono::steady_clock::now();
      const bool more = db_.transaction([this, &last] {
        auto rows = db_.query("SELECT id FROM items WHERE id > ? ORDER BY id LIMIT ?", {last, kItemsPerFillStep});
        if (rows.empty()) return false;
        const std::int64_t to = rows.back().int64("id");
        db_.run(kFillNames, {last + 1, to});
        db_.run(kFillUncertain, {last + 1, to});
        last = to;
        return true;
      });
      if (!more) {
        db_.transaction([this] { db_.exec("PRAGMA user_version=" + std::to_string(kSideTablesFilled)); });
        sideTablesFilled_ = true;
        return;
      }
      // The connection's lock lets in whoever asks first once it is free:
      // steps back to back would keep a save waiting for several of them
      // (190 ms seen at 50,000 items). A pause as long as the step lets the
      // writes waiting meanwhile go first.
      if (closedWithin(std::max<std::chrono::steady_clock::duration>(
              std::chrono::steady_clock::now() - began, kLeastFillPause)))
        return;
    }
  } catch (const std::exception&) {
  }
}

void Catalog::migrate() {
  db_.exec(kSchemaMain);
  db_.exec(kSchemaTranslations);
  bool hasUncertain = false;
  for (const Row& row : db_.query("PRAGMA table_info(transcriptions)")) {
    if (text::lowercased(row.str("name")) == "uncertain") hasUncertain = true;
  }
  if (!hasUncertain) db_.exec("ALTER TABLE transcriptions ADD COLUMN uncertain TEXT NOT NULL DEFAULT ''");

  // Full-text rows are kept under the item's id as their row id, so that one
  // item's row is found through the row id; an item_id lookup in FTS5 scans
  // the whole table. A file written otherwise gets its index rebuilt once.
  // The check reads every page of both content tables (about a second cold at
  // 50,000 items), so a file that passed it is marked with user_version 1 and
  // not checked again; the catalog itself only ever writes rows under their
  // item's id.
  if (db_.query("PRAGMA user_version").front().int64("user_version") < kFullTextUnderItemIds) {
    const bool misplaced =
        !db_.query("SELECT 1 FROM fts_content WHERE id IS NOT c0 LIMIT 1").empty() ||
        !db_.query("SELECT 1 FROM translations_fts_content WHERE id IS NOT c0 LIMIT 1").empty();
    db_.transaction([this, misplaced] {
      if (misplaced) rebuildFullText();
      db_.exec("PRAGMA user_version=" + std::to_string(kFullTextUnderItemIds));
    });
  }

  // A catalog without items is brought up to date at once; one with items
  // after opening (fillSideTables()), which would otherwise take a second or
  // two at 50,000 items.
  if (db_.query("PRAGMA user_version").front().int64("user_version") < kSideTablesFilled &&
      db_.query("SELECT 1 FROM items LIMIT 1").empty()) {
    db_.transaction([this] {
      db_.exec("DELETE FROM item_names; DELETE FROM uncertain_items;");
      db_.exec("PRAGMA user_version=" + std::to_string(kSideTablesFilled));
    });
  }
  sideTablesFilled_ =
      db_.query("PRAGMA user_version").front().int64("user_version") >= kSideTablesFilled;
}

Database& Catalog::reader() {
  if (txThread_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return db_;
  return *readDb_;
}

std::optional<std::string> Catalog::lastError() const {
  std::lock_guard guard(errorLock_);
  return lastError_;
}

void Catalog::recordError(const std::string& message) {
  std::lock_guard guard(errorLock_);
  lastError_ = message;
}

std::vector<Row> Catalog::q(const std::string& sql, const std::vector<SQLValue>& params) {
  try {
    return reader().query(sql, params);
  } catch (const std::exception& e) {
    recordError(e.what());
    return {};
  }
}

std::int64_t Catalog::x(const std::string& sql, const std::vector<SQLValue>& params) {
  try {
    return db_.run(sql, params);
  } catch (const std::exception& e) {
    recordError(e.what());
    return 0;
  }
}

bool Catalog::tx(const std::function<void()>& body) {
  std::lock_guard guard(db_.lock());
  try {
    db_.exec("BEGIN IMMEDIATE");
  } catch (const std::exception& e) {
    recordError(e.what());
    return false;
  }
  // Reads of the body (getItem() in removeItems(), say) must see its own
  // uncommitted changes, so they go to the writer while this thread is here.
  // A nested tx() on the same thread fails at its BEGIN and never gets here.
  txThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  struct Leave {
    std::atomic<std::thread::id>& thread;
    ~Leave() { thread.store(std::thread::id(), std::memory_order_relaxed); }
  } leave{txThread_};
  try {
    body();
    db_.exec("COMMIT");
    return true;
  } catch (const std::exception& e) {
    try {
      db_.exec("ROLLBACK");
    } catch (...) {
      // The rollback's own error is dropped: the body's error is the one that counts.
    }
    recordError(e.what());
    return false;
  }
}

void Catalog::updateFts(std::int64_t itemId) {
  db_.run("DELETE FROM fts WHERE rowid=?", {itemId});
  db_.run(
      "INSERT INTO fts (rowid, item_id, title, file_name, text, people, notes) "
      "SELECT i.id, i.id, i.title, i.file_name, "
      "COALESCE((SELECT t.text FROM transcriptions t WHERE t.item_id=i.id), ''), "
      "COALESCE((SELECT group_concat(p.name, ' ') FROM item_people ip "
      "JOIN people p ON p.id=ip.person_id WHERE ip.item_id=i.id), ''), "
      "i.notes FROM items i WHERE i.id=?",
      {itemId});
}

void Catalog::updateUncertain(std::int64_t itemId) {
  db_.run("DELETE FROM uncertain_items WHERE item_id=?", {itemId});
  db_.run(kFillUncertain, {itemId, itemId});
}

void Catalog::updateNames(std::int64_t itemId) {
  db_.run("DELETE FROM item_names WHERE rowid=?", {itemId});
  db_.run(kFillNames, {itemId, itemId});
}

void Catalog::refillSideTables() {
  constexpr std::int64_t first = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t last = std::numeric_limits<std::int64_t>::max();
  db_.run("DELETE FROM item_names");
  db_.run(kFillNames, {first, last});
  db_.run("DELETE FROM uncertain_items");
  db_.run(kFillUncertain, {first, last});
}

Catalog::ItemColumns::ItemColumns(const Row& row)
    : id(row.position("id")),
      path(row.position("path")),
      fileName(row.position("file_name")),
      title(row.position("title")),
      kind(row.position("kind")),
      fileSize(row.position("file_size")),
      fileModified(row.position("file_modified")),
      added(row.position("added")),
      width(row.position("width")),
      height(row.position("height")),
      thumbPath(row.position("thumb_path")),
      sha256(row.position("sha256")),
      linkedItemId(row.position("linked_item_id")),
      ocrStatus(row.position("ocr_status")),
      favorite(row.position("favorite")),
      notes(row.position("notes")) {}

ArchiveItem Catalog::item(const Row& row) { return item(row, ItemColumns(row)); }

ArchiveItem Catalog::item(const Row& row, const ItemColumns& at) {
  ArchiveItem it;
  it.id = row.int64At(at.id);
  it.path = row.strAt(at.path);
  it.fileName = row.strAt(at.fileName);
  it.title = row.strAt(at.title);
  it.kind = itemKindFromInt(row.int64At(at.kind)).value_or(ItemKind::unknown);
  it.fileSize = row.int64At(at.fileSize);
  it.fileModified = Stamp::date(row.strAt(at.fileModified));
  it.added = Stamp::date(row.strAt(at.added));
  it.width = static_cast<int>(row.int64At(at.width));
  it.height = static_cast<int>(row.int64At(at.height));
  it.thumbnailPath = row.optStrAt(at.thumbPath);
  it.sha256 = row.strAt(at.sha256);
  it.linkedItemId = row.optIntAt(at.linkedItemId);
  it.ocrStatus = ocrStatusFromInt(row.int64At(at.ocrStatus)).value_or(OcrStatus::pending);
  it.favorite = row.int64At(at.favorite) == 1;
  it.notes = row.strAt(at.notes);
  return it;
}

}  // namespace quorvel
