// Opening, the schema and its migration, the failure convention, the fts row
// of one item and the mapping of stored values.
#include "core/catalog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "catalog_fixture.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::set<std::string> schemaNames(Database& db, const std::string& type) {
  std::set<std::string> names;
  for (const Row& row :
       db.query("SELECT name FROM sqlite_master WHERE type=? AND name NOT LIKE 'sqlite_%'", {type}))
    names.insert(row.str("name"));
  return names;
}

std::string schemaDump(Database& db) {
  std::string dump;
  for (const Row& row : db.query("SELECT type, name, sql FROM sqlite_master ORDER BY name"))
    dump += row.str("type") + " " + row.str("name") + " " + row.str("sql") + "\n";
  return dump;
}

TEST(CatalogOpen, CreatesFolderFileTablesAndIndexesAndReopensUnchanged) {
  testing::TempDir dir;
  std::string path = dir.file("deep/er/catalog.db");
  std::string before;
  {
    Catalog catalog(path);
    EXPECT_EQ(catalog.filePath(), path);
    EXPECT_FALSE(catalog.lastError());
    EXPECT_TRUE(fs::is_regular_file(path));
    std::set<std::string> tables = schemaNames(catalog.db(), "table");
    for (const char* table : {"items", "transcriptions", "people", "item_people", "item_dates",
                              "removed_items", "translations", "fts", "translations_fts",
                              "item_names", "uncertain_items"})
      EXPECT_TRUE(tables.count(table)) << table;
    std::set<std::string> indexes = schemaNames(catalog.db(), "index");
    EXPECT_EQ(indexes, (std::set<std::string>{"ix_items_sha", "ix_items_added", "ix_dates_item",
                                              "ix_dates_value", "ix_removed_sha",
                                              "ix_removed_path", "ix_transcriptions_text_length",
                                              "ix_item_people_person"}));
    // Column order of the full-text tables is what the ranking weights rely on.
    std::vector<std::string> columns;
    for (const Row& row : catalog.db().query("PRAGMA table_info(fts)"))
      columns.push_back(row.str("name"));
    EXPECT_EQ(columns, (std::vector<std::string>{"item_id", "title", "file_name", "text", "people",
                                                 "notes"}));
    columns.clear();
    for (const Row& row : catalog.db().query("PRAGMA table_info(transcriptions)"))
      columns.push_back(row.str("name"));
    EXPECT_EQ(columns.back(), "uncertain");
    before = schemaDump(catalog.db());
  }
  Catalog again(path);
  EXPECT_EQ(schemaDump(again.db()), before);
  EXPECT_FALSE(again.lastError());
}

TEST(CatalogOpen, AddsTheUncertainColumnOnceAndAcceptsItInAnyCase) {
  testing::TempDir dir;
  const char* oldTable =
      "CREATE TABLE transcriptions (item_id INTEGER PRIMARY KEY, raw_text TEXT NOT NULL DEFAULT '',"
      " text TEXT NOT NULL DEFAULT '', engine TEXT NOT NULL DEFAULT '', confidence REAL,"
      " corrected INTEGER NOT NULL DEFAULT 0, updated TEXT NOT NULL%s);"
      "INSERT INTO transcriptions (item_id, text, updated) VALUES (1, 'old', 'x');";
  for (const char* extra : {"", ", Uncertain TEXT NOT NULL DEFAULT 'kept'"}) {
    std::string path = dir.file(std::string("old") + (*extra ? "-upper" : "") + ".db");
    {
      Database db(path);
      char sql[1024];
      std::snprintf(sql, sizeof sql, oldTable, extra);
      db.exec(sql);
    }
    Catalog catalog(path);
    auto rows = catalog.db().query("SELECT * FROM transcriptions");
    ASSERT_EQ(rows.size(), 1u) << extra;
    EXPECT_EQ(rows[0].str("text"), "old");
    int uncertainColumns = 0;
    for (const Row& row : catalog.db().query("PRAGMA table_info(transcriptions)"))
      if (row.str("name") == "uncertain" || row.str("name") == "Uncertain") ++uncertainColumns;
    EXPECT_EQ(uncertainColumns, 1) << extra;
    EXPECT_EQ(rows[0].str(*extra ? "Uncertain" : "uncertain"), *extra ? "kept" : "");
  }
}

TEST(CatalogOpen, ThrowsWhenTheFileCannotBeOpenedOrIsNoDatabase) {
  testing::TempDir dir;
  testing::writeFile(dir.file("plain"), "not a folder");
  EXPECT_THROW(Catalog(dir.file("plain/catalog.db")), SQLError);
  testing::writeFile(dir.file("junk.db"), std::string(4096, 'j'));
  EXPECT_THROW(Catalog(dir.file("junk.db")), SQLError);
}

TEST_F(CatalogTest, FailingStatementInsideATransactionLeavesTheDatabaseAsItWas) {
  std::int64_t kept = add("/scans/kept.jpg");
  catalog->saveCorrectedText(kept, "before");
  // Without its fts table every transactional write fails at its last step.
  catalog->db().exec("ALTER TABLE fts RENAME TO fts_away");

  EXPECT_EQ(catalog->addItem(makeItem("/scans/new.jpg")), 0);
  std::string error = catalog->lastError().value_or("");
  EXPECT_NE(error.find("no such table: fts"), std::string::npos) << error;
  EXPECT_EQ(count("items"), 1);

  catalog->saveRecognizedText(kept, "reading", "tesseract", 0.5);
  EXPECT_EQ(catalog->getTranscription(kept)->rawText, "");
  EXPECT_EQ(catalog->getTranscription(kept)->text, "before");

  catalog->setOcrStatus(kept, OcrStatus::failed);
  catalog->saveCorrectedText(kept, "after");
  EXPECT_EQ(catalog->getTranscription(kept)->text, "before");
  EXPECT_EQ(catalog->getItem(kept)->ocrStatus, OcrStatus::failed);

  EXPECT_TRUE(catalog->removeItems({kept}).empty());
  EXPECT_TRUE(catalog->getItem(kept));
  EXPECT_FALSE(catalog->isRemovedPath("/scans/kept.jpg"));

  // Later successes leave the failure's text in place.
  catalog->db().exec("ALTER TABLE fts_away RENAME TO fts");
  EXPECT_GT(add("/scans/later.jpg"), 0);
  EXPECT_TRUE(catalog->getItem(kept));
  EXPECT_EQ(catalog->lastError().value_or(""), error);
}

TEST_F(CatalogTest, FailedReadsAndWritesAnswerEmptyAndRecordTheError) {
  std::int64_t id = add("/scans/a.jpg");
  catalog->db().exec("DROP TABLE item_dates");
  EXPECT_TRUE(catalog->datesForItem(id).empty());
  EXPECT_NE(catalog->lastError().value_or("").find("item_dates"), std::string::npos);
  catalog->db().exec("DROP TABLE translations");
  EXPECT_FALSE(catalog->getTranslation(id));
  EXPECT_NE(catalog->lastError().value_or("").find("translations"), std::string::npos);
  catalog->db().exec("DROP TABLE removed_items");
  EXPECT_FALSE(catalog->isRemoved("/scans/a.jpg", "x"));
  EXPECT_NE(catalog->lastError().value_or("").find("removed_items"), std::string::npos);
}

TEST_F(CatalogTest, FtsRowFollowsTitleTextPeopleAndNotes) {
  std::int64_t id = add("/scans/letter.jpg");
  auto rows = ftsRows(id);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].str("file_name"), "letter.jpg");
  EXPECT_EQ(rows[0].str("text"), "");
  EXPECT_EQ(rows[0].str("people"), "");
  EXPECT_TRUE(rows[0].optStr("people"));  // '' rather than NULL

  catalog->tagPerson(id, catalog->ensurePerson("Anna"));
  catalog->tagPerson(id, catalog->ensurePerson("Carl"));
  std::string people = ftsColumn(id, "people");
  EXPECT_TRUE(people == "Anna Carl" || people == "Carl Anna") << people;
  EXPECT_EQ(ftsRows(id).size(), 1u);

  // An id without an items row gets no fts row.
  EXPECT_EQ(catalog->relinkItems({{999, "/elsewhere.jpg"}}), 0);
  EXPECT_TRUE(ftsRows(999).empty());
}

TEST(CatalogOpen, RebuildsFullTextRowsNotKeptUnderTheirItemsId) {
  testing::TempDir dir;
  std::string path = dir.file("catalog.db");
  std::int64_t id = 0;
  {
    Catalog catalog(path);
    ArchiveItem item;
    item.path = "/scans/a.jpg";
    item.fileName = "a.jpg";
    id = catalog.addItem(item);
    catalog.saveTranslation(Translation{id, "de", "German", "Dear Anna", "m", "h", 0});
    // Rows as a writer would leave them that let FTS5 choose the row ids; such
    // a writer never marked the file as checked.
    catalog.db().exec("DELETE FROM fts; DELETE FROM translations_fts; PRAGMA user_version=0;");
    catalog.db().run("INSERT INTO fts (rowid, item_id, title) VALUES (500, ?, 'stale')", {id});
    catalog.db().run("INSERT INTO translations_fts (rowid, item_id, text) VALUES (501, ?, 'x')", {id});
  }
  Catalog catalog(path);
  auto rows = catalog.db().query("SELECT rowid, item_id, file_name FROM fts");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].int64("rowid"), id);
  EXPECT_EQ(rows[0].str("file_name"), "a.jpg");
  rows = catalog.db().query("SELECT rowid, text FROM translations_fts");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].int64("rowid"), id);
  EXPECT_EQ(rows[0].str("text"), "Dear Anna");
  catalog.saveCorrectedText(id, "new text");
  EXPECT_EQ(catalog.db().query("SELECT * FROM fts").size(), 1u);
}

// An archive written before the side tables (the index of titles and file
// names, the items with uncertain words) and the index of tags by person:
// opening makes the index and reads as before; a catalog open only for a
// moment is left as it was; a few seconds after opening the tables are filled
// in steps, and writes before and between those steps are kept. The lists
// answer by their rule throughout.
TEST(CatalogOpen, FillsTheSideTablesOfAnOlderCatalogAfterOpening) {
  using namespace std::chrono_literals;
  using Ids = std::vector<std::int64_t>;
  testing::TempDir dir;
  const std::string path = dir.file("catalog.db");
  const std::string words = R"([{"Chosen":"a","Alternative":"b"}])";
  // Item i: "Wedding" when even; a reading when i % 3 == 0, with uncertain
  // words when i % 6 == 3 and "[]" when i % 6 == 0.
  std::vector<std::int64_t> ids;
  {
    Catalog catalog(path);
    for (int i = 0; i < 6000; ++i) {
      ArchiveItem item;
      item.path = "/scans/scan_" + std::to_string(i) + ".jpg";
      item.fileName = "scan_" + std::to_string(i) + ".jpg";
      item.title = i % 2 ? "Letter from Anna" : "Wedding";
      item.ocrStatus = OcrStatus::done;
      ids.push_back(catalog.addItem(item));
      if (i % 3 == 0) catalog.saveRecognizedText(ids.back(), "text", "e", std::nullopt, i % 6 ? words : "[]");
    }
    catalog.db().exec(
        "DROP TABLE item_names; DROP TABLE uncertain_items; DROP INDEX ix_item_people_person; "
        "PRAGMA user_version=1;");
  }
  auto versionOf = [](Database& db) { return db.query("PRAGMA user_version").front().int64("user_version"); };
  {
    const auto opened = std::chrono::steady_clock::now();
    { Catalog briefly(path); }
    EXPECT_LT(std::chrono::steady_clock::now() - opened, 2s);  // the fill waits 3 s
    Database db(path);
    EXPECT_EQ(versionOf(db), 1);
  }

  Catalog catalog(path);
  // Reads the committed state without the writer's lock.
  Database watcher(path, /*readOnly=*/true);
  auto count = [&](const std::string& table) {
    return watcher.query("SELECT COUNT(*) AS n FROM " + table).front().int64("n");
  };
  auto byRule = [&] {
    Ids found;
    for (const Row& row : watcher.query(
             "SELECT i.id FROM items i LEFT JOIN transcriptions t ON t.item_id=i.id WHERE "
             "i.ocr_status IN (0,3) OR (t.uncertain IS NOT NULL AND t.uncertain NOT IN ('', '[]')) "
             "ORDER BY i.added DESC, i.id DESC"))
      found.push_back(row.int64("id"));
    return found;
  };
  auto reviewIds = [&] {
    Ids found;
    for (const ArchiveItem& item : catalog.itemsNeedingReview()) found.push_back(item.id);
    return found;
  };

  // Before the fill.
  EXPECT_EQ(versionOf(watcher), 1);
  EXPECT_EQ(schemaNames(watcher, "index").count("ix_item_people_person"), 1u);
  EXPECT_EQ(catalog.search("edding", -1).size(), 3000u);
  ArchiveItem renamed = *catalog.getItem(ids[5000]);
  renamed.title = "Christening";
  catalog.updateItem(renamed);
  catalog.saveUncertain(ids[5997], "[]");
  catalog.saveUncertain(ids[5994], words);
  EXPECT_EQ(reviewIds(), byRule());
  EXPECT_EQ(reviewIds().size(), 1000u);

  // Between two steps of the fill: the writer's lock, taken ahead of the
  // filler once its first step is in, holds the rest back.
  const std::int64_t namedBefore = count("item_names");
  for (int i = 0; i < 10000 && count("item_names") == namedBefore; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(catalog.db().lock().lockAhead(10s));
  std::int64_t late = 0;
  {
    std::unique_lock hold(catalog.db().lock(), std::adopt_lock);
    auto next = catalog.db().query("SELECT MIN(id) AS m FROM items WHERE id NOT IN (SELECT rowid FROM item_names)");
    ASSERT_TRUE(next.front().optInt("m")) << "the fill ended before it could be held";
    const auto cursor = static_cast<std::size_t>(
        std::find(ids.begin(), ids.end(), next.front().int64("m")) - ids.begin());
    ASSERT_GE(cursor, 12u);
    ASSERT_LT(cursor, 5000u);
    const std::size_t behind = cursor / 6 * 6 - 6, ahead = cursor / 6 * 6 + 6;
    catalog.saveUncertain(ids[behind + 3], "[]");
    catalog.saveUncertain(ids[behind], words);
    catalog.saveUncertain(ids[ahead + 3], "[]");
    catalog.saveUncertain(ids[ahead], words);
    catalog.saveRecognizedText(ids[ahead + 1], "text", "e", std::nullopt, words);
    catalog.removeItems({ids[ahead + 9]});
    ArchiveItem added;
    added.path = "/scans/late.jpg";
    added.fileName = "late.jpg";
    added.title = "Christening too";
    late = catalog.addItem(added);
    EXPECT_EQ(reviewIds(), byRule());
  }

  for (int i = 0; i < 2000 && versionOf(watcher) < 2; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(versionOf(watcher), 2);
  auto column = [&](const std::string& sql) {
    Ids values;
    for (const Row& row : watcher.query(sql)) values.push_back(row.int64("id"));
    return values;
  };
  EXPECT_EQ(column("SELECT item_id AS id FROM uncertain_items ORDER BY item_id"),
            column("SELECT item_id AS id FROM transcriptions WHERE uncertain NOT IN ('', '[]') ORDER BY item_id"));
  EXPECT_EQ(reviewIds(), byRule());
  EXPECT_EQ(reviewIds().size(), 1001u);  // the writes between add and take away as many; late waits for reading
  EXPECT_EQ(watcher
                .query("SELECT COUNT(*) AS n FROM items i JOIN item_names m ON m.rowid = i.id WHERE "
                       "m.name = i.title || char(10) || i.file_name")
                .front()
                .int64("n"),
            6000);  // one removed, one added
  EXPECT_EQ(count("item_names"), 6000);
  Ids christened;
  for (const SearchHit& hit : catalog.search("hristen", 10)) christened.push_back(hit.item.id);
  EXPECT_EQ(christened, (Ids{late, ids[5000]}));
  EXPECT_EQ(catalog.search("edding", -1).size(), 2999u);  // one renamed
  EXPECT_FALSE(catalog.lastError());
}

TEST_F(CatalogTest, DeletingAnItemsRowCascadesButLeavesFullTextRows) {
  std::int64_t a = add("/scans/a.jpg");
  std::int64_t b = add("/scans/b.jpg");
  catalog->linkItems(a, b);
  catalog->saveCorrectedText(a, "text");
  catalog->tagPerson(a, catalog->ensurePerson("Anna"));
  catalog->addDate(a, "1923", "file name", false);
  catalog->saveTranslation(Translation{a, "de", "German", "text", "model", "h", 0});
  catalog->db().run("DELETE FROM items WHERE id=?", {a});
  for (const char* table : {"transcriptions", "item_people", "item_dates", "translations"})
    EXPECT_EQ(count(table), 0) << table;
  EXPECT_FALSE(catalog->getItem(b)->linkedItemId);
  EXPECT_EQ(count("people"), 1);
  EXPECT_EQ(ftsRows(a).size(), 1u);
  EXPECT_EQ(count("translations_fts"), 1);
}

TEST_F(CatalogTest, StoredValuesOutOfRangeReadBackAsDefaults) {
  std::int64_t id = add("/scans/a.jpg");
  catalog->db().run("UPDATE items SET kind=9, ocr_status=7, favorite=2, thumb_path=NULL WHERE id=?",
                    {id});
  ArchiveItem item = *catalog->getItem(id);
  EXPECT_EQ(item.kind, ItemKind::unknown);
  EXPECT_EQ(item.ocrStatus, OcrStatus::pending);
  EXPECT_FALSE(item.favorite);
  EXPECT_FALSE(item.thumbnailPath);

  ArchiveItem full = makeItem("/scans/full.jpg");
  full.kind = ItemKind::photoBack;
  full.ocrStatus = OcrStatus::skipped;
  full.favorite = true;
  full.thumbnailPath = "/thumbs/x.jpg";
  full.notes = "notes";
  full.title = "Title";
  full.fileModified = 1'234'567'890'123'000;
  full.id = catalog->addItem(full);
  EXPECT_EQ(*catalog->getItem(full.id), full);
}

TEST_F(CatalogTest, LastErrorCanBeWrittenAndReadFromSeveralThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i) {
        catalog->addItem(makeItem("/dup.jpg"));  // all but the first fail on the unique path
        catalog->getItem(t);
        (void)catalog->lastError();
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(count("items"), 1);
  EXPECT_NE(catalog->lastError().value_or("").find("UNIQUE"), std::string::npos);
}

}  // namespace
}  // namespace quorvel
