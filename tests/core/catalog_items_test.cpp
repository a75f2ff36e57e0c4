// Items: lookups, lists, tombstones, links, moves, removal with undo, thumbnails.
#include <gtest/gtest.h>

#include <functional>

#include "catalog_fixture.h"

namespace quorvel {
namespace {

using Ids = std::vector<std::int64_t>;

std::optional<std::int64_t> linkOf(Catalog& catalog, std::int64_t id) {
  return catalog.getItem(id)->linkedItemId;
}

TEST_F(CatalogTest, AddItemReturnsTheItemsRowIdNotTheFtsRowId) {
  std::int64_t a = add("/scans/a.jpg");
  // Rebuilding a's fts row several times must not shift the ids handed out.
  for (int i = 0; i < 3; ++i) catalog->saveCorrectedText(a, "text " + std::to_string(i));
  std::int64_t b = add("/scans/b.jpg");
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(catalog->getItem(b)->path, "/scans/b.jpg");
  EXPECT_EQ(ftsColumn(b, "file_name"), "b.jpg");
}

TEST_F(CatalogTest, PathsAreComparedExactly) {
  std::int64_t upper = add("/Scans/A.JPG");
  EXPECT_EQ(catalog->findByPath("/Scans/A.JPG")->id, upper);
  EXPECT_FALSE(catalog->findByPath("/scans/a.jpg"));
  // Two files that differ only in case are two scans on this file system.
  std::int64_t lower = add("/scans/a.jpg");
  EXPECT_NE(lower, upper);

  EXPECT_EQ(catalog->addItem(makeItem("/scans/a.jpg")), 0);  // the exact path exists
  EXPECT_NE(catalog->lastError().value_or("").find("UNIQUE"), std::string::npos);
  EXPECT_EQ(count("items"), 2);
  EXPECT_EQ(count("fts"), 2);

  catalog->removeItems({upper});
  EXPECT_TRUE(catalog->isRemovedPath("/Scans/A.JPG"));
  EXPECT_FALSE(catalog->isRemovedPath("/scans/A.JPG"));
  EXPECT_TRUE(catalog->isRemoved("/elsewhere.jpg", "sha-/Scans/A.JPG"));
  EXPECT_FALSE(catalog->isRemoved("/SCANS/A.JPG", "other"));
  catalog->clearRemoved("/SCANS/A.JPG", std::nullopt);
  EXPECT_TRUE(catalog->isRemovedPath("/Scans/A.JPG"));
  catalog->clearRemoved("/Scans/A.JPG", std::nullopt);
  EXPECT_FALSE(catalog->isRemovedPath("/Scans/A.JPG"));
}

TEST_F(CatalogTest, TombstonesMatchByPathOrNonEmptySha) {
  ArchiveItem noSha = makeItem("/scans/nosha.jpg");
  noSha.sha256 = "";
  std::int64_t a = catalog->addItem(noSha);
  std::int64_t b = add("/scans/b.jpg");
  catalog->removeItems({a, b});
  EXPECT_FALSE(catalog->isRemoved("/x.jpg", ""));  // an empty tombstone SHA matches nothing
  EXPECT_TRUE(catalog->isRemoved("/x.jpg", "sha-/scans/b.jpg"));
  catalog->clearRemoved("/other.jpg", "sha-/scans/b.jpg");
  EXPECT_FALSE(catalog->isRemovedPath("/scans/b.jpg"));
  EXPECT_TRUE(catalog->isRemovedPath("/scans/nosha.jpg"));
  EXPECT_FALSE(catalog->findBySha(""));
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogTest, ListsAreNewestFirstWithTiesByHigherId) {
  Ids ids;
  for (int i = 0; i < 12; ++i) ids.push_back(add("/scans/" + std::to_string(i) + ".jpg", i / 2));
  auto listed = idsOf(catalog->listItems(std::nullopt, std::nullopt, std::nullopt, 10));
  EXPECT_EQ(listed, (Ids{ids[11], ids[10], ids[9], ids[8], ids[7], ids[6], ids[5], ids[4], ids[3],
                         ids[2]}));
  EXPECT_EQ(catalog->allItems().size(), 12u);
  EXPECT_EQ(catalog->allItems().back().id, ids[0]);
  EXPECT_EQ(catalog->findBySha("sha-/scans/3.jpg")->id, ids[3]);

  ArchiveItem item = *catalog->getItem(ids[1]);
  item.kind = ItemKind::letter;
  item.favorite = true;
  catalog->updateItem(item);
  catalog->setOcrStatus(ids[1], OcrStatus::done);
  catalog->setOcrStatus(ids[2], OcrStatus::done);
  struct Case {
    const char* name;
    std::optional<ItemKind> kind;
    std::optional<OcrStatus> status;
    std::optional<bool> favorite;
    std::int64_t limit;
    Ids want;
  } cases[] = {
      {"kind", ItemKind::letter, std::nullopt, std::nullopt, 5, {ids[1]}},
      {"status", std::nullopt, OcrStatus::done, std::nullopt, -1, {ids[2], ids[1]}},
      {"statusLimited", std::nullopt, OcrStatus::done, std::nullopt, 1, {ids[2]}},
      {"favorite", std::nullopt, std::nullopt, true, -1, {ids[1]}},
      {"all", ItemKind::letter, OcrStatus::done, true, 10, {ids[1]}},
      {"none", ItemKind::letter, OcrStatus::pending, std::nullopt, 10, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(idsOf(catalog->listItems(c.kind, c.status, c.favorite, c.limit)), c.want) << c.name;
  EXPECT_EQ(catalog->listItems(std::nullopt, std::nullopt, false, -1).size(), 11u);
}

TEST_F(CatalogTest, ItemsNeedingReview) {
  struct Case {
    OcrStatus status;
    std::optional<std::string> uncertain;  // none: no transcription
    bool needsReview;
  } cases[] = {
      {OcrStatus::pending, std::nullopt, true},
      {OcrStatus::failed, std::nullopt, true},
      {OcrStatus::running, std::nullopt, false},
      {OcrStatus::skipped, std::nullopt, false},
      {OcrStatus::done, std::string(R"([{"Chosen":"a","Alternative":"b"}])"), true},
      {OcrStatus::done, std::string(""), false},
      {OcrStatus::done, std::string("[]"), false},
  };
  Ids want;
  int n = 0;
  for (const Case& c : cases) {
    std::int64_t id = add("/scans/" + std::to_string(n) + ".jpg", n);
    ++n;
    if (c.uncertain) catalog->saveRecognizedText(id, "text", "e", std::nullopt, *c.uncertain);
    catalog->setOcrStatus(id, c.status);
    if (c.needsReview) want.insert(want.begin(), id);
  }
  EXPECT_EQ(idsOf(catalog->itemsNeedingReview()), want);
}

// The list is read through a table of the items with uncertain words: every
// write of a transcription keeps it in step, checked against the rule itself
// asked of the transcriptions.
TEST_F(CatalogTest, ItemsNeedingReviewFollowEveryChangeOfUncertainWords) {
  const std::string words = R"([{"Chosen":"a","Alternative":"b"}])";
  std::int64_t a = add("/scans/a.jpg", 1);
  std::int64_t b = add("/scans/b.jpg", 2);
  std::int64_t c = add("/scans/c.jpg", 3);
  for (std::int64_t id : {a, b, c}) catalog->setOcrStatus(id, OcrStatus::done);
  auto byRule = [&] {
    Ids ids;
    for (const Row& row : catalog->db().query(
             "SELECT i.id FROM items i LEFT JOIN transcriptions t ON t.item_id=i.id WHERE "
             "i.ocr_status IN (0,3) OR (t.uncertain IS NOT NULL AND t.uncertain NOT IN ('', '[]')) "
             "ORDER BY i.added DESC, i.id DESC"))
      ids.push_back(row.int64("id"));
    return ids;
  };
  std::vector<RemovedItemSnapshot> removed;
  const struct Step {
    const char* name;
    std::function<void()> write;
    Ids want;
  } steps[] = {
      {"reading with words", [&] { catalog->saveRecognizedText(a, "t", "e", std::nullopt, words); }, {a}},
      {"words without a transcription", [&] { catalog->saveUncertain(b, words); }, {a}},
      {"reading without words", [&] { catalog->saveRecognizedText(b, "t", "e", std::nullopt, "[]"); }, {a}},
      {"words saved", [&] { catalog->saveUncertain(b, words); }, {b, a}},
      {"words cleared", [&] { catalog->saveUncertain(a, "[]"); }, {b}},
      {"correction keeps the words", [&] { catalog->saveCorrectedText(b, "typed"); }, {b}},
      {"correction of a new one", [&] { catalog->saveCorrectedText(c, "typed"); }, {b}},
      {"forced reading without words",
       [&] { catalog->saveRecognizedText(b, "t", "e", std::nullopt, "", true); }, {}},
      {"words of a corrected text", [&] { catalog->saveUncertain(c, words); }, {c}},
      {"removed", [&] { removed = catalog->removeItems({c}); }, {}},
      {"restored", [&] { catalog->restoreRemovedItems(removed); }, {c}},
      {"index rebuilt after a loss",
       [&] {
         catalog->db().exec("DELETE FROM uncertain_items");
         catalog->rebuildIndex();
       },
       {c}},
  };
  for (const Step& step : steps) {
    step.write();
    EXPECT_EQ(byRule(), step.want) << step.name;
    EXPECT_EQ(idsOf(catalog->itemsNeedingReview()), step.want) << step.name;
  }
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogTest, ItemsForYearPadsTheYearAndReturnsEachItemOnce) {
  std::int64_t old = add("/scans/old.jpg");
  std::int64_t thrice = add("/scans/thrice.jpg");
  catalog->addDate(old, "0905-01", "", false);
  catalog->addDate(old, "1905", "", false);
  for (const char* value : {"1923", "1923-02", "1923-11-30"}) catalog->addDate(thrice, value, "", false);
  EXPECT_EQ(idsOf(catalog->itemsForYear(905)), (Ids{old}));
  EXPECT_EQ(idsOf(catalog->itemsForYear(1923)), (Ids{thrice}));
  EXPECT_TRUE(catalog->itemsForYear(1924).empty());
}

TEST_F(CatalogTest, UpdateRewritesEverythingButAddedAndRebuildsTheFtsRow) {
  std::int64_t id = add("/scans/a.jpg");
  ArchiveItem item = *catalog->getItem(id);
  TimePoint added = item.added;
  item.added = 5'000'000;
  item.title = "Grandmother's letter";
  item.notes = "from the attic";
  item.thumbnailPath = "/thumbs/a.jpg";
  catalog->updateItem(item);
  ArchiveItem stored = *catalog->getItem(id);
  EXPECT_EQ(stored.added, added);
  EXPECT_EQ(stored.title, "Grandmother's letter");
  EXPECT_EQ(ftsColumn(id, "title"), "Grandmother's letter");
  EXPECT_EQ(ftsColumn(id, "notes"), "from the attic");
  catalog->updateThumbnailPath(id, std::nullopt);
  EXPECT_FALSE(catalog->getItem(id)->thumbnailPath);
}

TEST_F(CatalogTest, LinksStaySymmetric) {
  std::int64_t a = add("/scans/a.jpg");
  std::int64_t b = add("/scans/b.jpg");
  std::int64_t c = add("/scans/c.jpg");
  catalog->linkItems(a, c);
  EXPECT_EQ(linkOf(*catalog, c), a);
  catalog->linkItems(a, b);
  EXPECT_EQ(linkOf(*catalog, a), b);
  EXPECT_EQ(linkOf(*catalog, b), a);
  EXPECT_FALSE(linkOf(*catalog, c));
  catalog->unlinkItem(b);
  EXPECT_FALSE(linkOf(*catalog, a));
  EXPECT_FALSE(linkOf(*catalog, b));
}

TEST_F(CatalogTest, RelinkMovesItemsAndSkipsTakenPaths) {
  std::int64_t a = add("/scans/a.jpg");
  std::int64_t b = add("/scans/b.jpg");
  EXPECT_EQ(catalog->relinkItems({{a, "/moved/new name.jpg"}, {b, "/moved/new name.jpg"}}), 1);
  EXPECT_EQ(catalog->getItem(a)->fileName, "new name.jpg");
  EXPECT_EQ(ftsColumn(a, "file_name"), "new name.jpg");
  EXPECT_EQ(catalog->getItem(b)->path, "/scans/b.jpg");
  EXPECT_EQ(ftsColumn(b, "file_name"), "b.jpg");
  EXPECT_FALSE(catalog->lastError());
}

class CatalogRemoval : public CatalogTest {
 protected:
  std::int64_t a = add("/scans/a.jpg", 1);
  std::int64_t b = add("/scans/b.jpg", 2);
  std::int64_t anna = catalog->ensurePerson("Anna");
  std::int64_t carl = catalog->ensurePerson("carl");

  void SetUp() override {
    catalog->linkItems(a, b);
    catalog->saveRecognizedText(a, "raw", "tesseract", 0.75, "[]");
    catalog->saveCorrectedText(a, "Dear Anna");
    catalog->tagPerson(a, carl);
    catalog->tagPerson(a, anna);
    catalog->addDate(a, "1923-05", "text", false);
    catalog->addDate(a, "1923", "user", true);
    catalog->saveTranslation(Translation{a, "de", "German", "Dear Anna", "model", "h", 0});
  }
};

TEST_F(CatalogRemoval, RemovalSnapshotsTombstonesAndClearsEverything) {
  auto snapshots = catalog->removeItems({a, 999});
  ASSERT_EQ(snapshots.size(), 1u);
  const RemovedItemSnapshot& s = snapshots[0];
  EXPECT_EQ(s.item.id, a);
  EXPECT_EQ(s.item.linkedItemId, b);
  ASSERT_TRUE(s.transcription);
  EXPECT_EQ(s.transcription->text, "Dear Anna");
  EXPECT_EQ(s.people, (std::vector<std::string>{"Anna", "carl"}));
  ASSERT_EQ(s.dates.size(), 2u);
  EXPECT_EQ(s.dates[0].value, "1923");
  ASSERT_TRUE(s.translation);

  EXPECT_FALSE(catalog->getItem(a));
  EXPECT_FALSE(linkOf(*catalog, b));
  EXPECT_EQ(count("removed_items"), 1);
  EXPECT_TRUE(catalog->isRemoved("/scans/a.jpg", ""));
  EXPECT_TRUE(ftsRows(a).empty());
  for (const char* table : {"transcriptions", "item_people", "item_dates", "translations",
                            "translations_fts"})
    EXPECT_EQ(count(table), 0) << table;
  EXPECT_EQ(count("people"), 2);
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogRemoval, RestoreBringsEverythingBackAndRelinks) {
  auto snapshots = catalog->removeItems({a});
  catalog->deletePerson(anna);
  EXPECT_EQ(catalog->restoreRemovedItems(snapshots), (Ids{a}));

  ArchiveItem restored = *catalog->getItem(a);
  ArchiveItem before = snapshots[0].item;
  EXPECT_EQ(restored, before);
  EXPECT_EQ(linkOf(*catalog, b), a);
  auto t = *catalog->getTranscription(a);
  EXPECT_EQ(t.text, "Dear Anna");
  EXPECT_EQ(t.rawText, "raw");
  EXPECT_TRUE(t.corrected);
  EXPECT_EQ(t.confidence, 0.75);
  EXPECT_EQ(t.uncertainJson, "[]");
  EXPECT_EQ(t.updated, snapshots[0].transcription->updated);
  auto people = catalog->peopleForItem(a);
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(people[0].name, "Anna");  // re-created by name
  EXPECT_NE(people[0].id, anna);
  EXPECT_EQ(people[1].id, carl);
  auto dates = catalog->datesForItem(a);
  ASSERT_EQ(dates.size(), 2u);
  EXPECT_TRUE(dates[0].confirmed);
  EXPECT_FALSE(dates[1].confirmed);
  EXPECT_NE(dates[0].id, snapshots[0].dates[0].id);
  EXPECT_EQ(*catalog->getTranslation(a), *snapshots[0].translation);
  EXPECT_EQ(count("translations_fts"), 1);
  EXPECT_FALSE(catalog->isRemovedPath("/scans/a.jpg"));
  std::string ftsPeople = ftsColumn(a, "people");
  EXPECT_NE(ftsPeople.find("Anna"), std::string::npos) << ftsPeople;
  EXPECT_EQ(ftsColumn(a, "text"), "Dear Anna");
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogRemoval, RestoredPairsRelinkOnlyWithPartnersThatAreThereAndFree) {
  // Both removed, only one restored: it stays unlinked.
  auto both = catalog->removeItems({a, b});
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(catalog->restoreRemovedItems({both[1]}), (Ids{b}));
  EXPECT_FALSE(linkOf(*catalog, b));
  // The rest comes back later and finds its partner free.
  EXPECT_EQ(catalog->restoreRemovedItems({both[0]}), (Ids{a}));
  EXPECT_EQ(linkOf(*catalog, a), b);
  EXPECT_EQ(linkOf(*catalog, b), a);

  // The partner got linked to another item in the meantime: that link stays.
  auto removedA = catalog->removeItems({a});
  std::int64_t c = add("/scans/c.jpg");
  catalog->linkItems(b, c);
  EXPECT_EQ(catalog->restoreRemovedItems(removedA), (Ids{a}));
  EXPECT_FALSE(linkOf(*catalog, a));
  EXPECT_EQ(linkOf(*catalog, b), c);
  EXPECT_EQ(linkOf(*catalog, c), b);

  // Removed and restored together: linked again.
  auto pair = catalog->removeItems({b, c});
  EXPECT_EQ(catalog->restoreRemovedItems(pair), (Ids{b, c}));
  EXPECT_EQ(linkOf(*catalog, b), c);
  EXPECT_EQ(linkOf(*catalog, c), b);
}

TEST_F(CatalogRemoval, RestoreSkipsSnapshotsWhosePathOrIdIsTaken) {
  std::int64_t keep = add("/scans/keep.jpg");  // new items get ids above a and b
  auto snapshots = catalog->removeItems({a, b});
  std::int64_t again = add("/scans/a.jpg");  // a's path is taken, its id free
  EXPECT_GT(again, keep);
  catalog->db().run(
      "INSERT INTO items (id, path, file_name, file_modified, added) VALUES (?, '/x.jpg', 'x.jpg', "
      "'', '')",
      {b});  // b's id is taken
  EXPECT_TRUE(catalog->restoreRemovedItems(snapshots).empty());
  EXPECT_TRUE(catalog->isRemovedPath("/scans/a.jpg"));
  EXPECT_TRUE(catalog->isRemovedPath("/scans/b.jpg"));
  EXPECT_FALSE(catalog->lastError());

  // A path that differs in letter case is another file: the scan comes back.
  catalog->db().run("UPDATE items SET path='/SCANS/A.JPG' WHERE id=?", {again});
  EXPECT_EQ(catalog->restoreRemovedItems({snapshots[0]}), (Ids{a}));
  EXPECT_FALSE(catalog->isRemovedPath("/scans/a.jpg"));
}

TEST_F(CatalogRemoval, FailedRestoreRollsBackWhole) {
  auto snapshots = catalog->removeItems({a, b});
  catalog->db().exec("DROP TABLE translations_fts");  // a has a translation, b none
  EXPECT_TRUE(catalog->restoreRemovedItems(snapshots).empty());
  EXPECT_TRUE(catalog->lastError());
  EXPECT_EQ(count("items"), 0);
  EXPECT_EQ(count("removed_items"), 2);
}

TEST_F(CatalogTest, RepointThumbnailsKeepsFileNamesAndCountsChanges) {
  struct Case {
    std::optional<std::string> stored;
    std::optional<std::string> want;
  } cases[] = {
      {std::string("C:\\old\\thumbs\\ab.jpg"), std::string("/new/thumbs/ab.jpg")},
      {std::string("/new/thumbs/cd.jpg"), std::string("/new/thumbs/cd.jpg")},
      {std::string("/home/me/.local/share/QuorvelInk/thumbs/ef.jpg/"), std::string("/new/thumbs/ef.jpg")},
      {std::string("gh.jpg"), std::string("/new/thumbs/gh.jpg")},
      {std::nullopt, std::nullopt},
      {std::string(""), std::string("")},
  };
  Ids ids;
  for (const Case& c : cases) {
    ids.push_back(add("/scans/" + std::to_string(ids.size()) + ".jpg"));
    catalog->updateThumbnailPath(ids.back(), c.stored);
  }
  EXPECT_EQ(catalog->repointThumbnails("/new/thumbs"), 3);
  for (std::size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(catalog->getItem(ids[i])->thumbnailPath, cases[i].want) << i;
}

}  // namespace
}  // namespace quorvel
