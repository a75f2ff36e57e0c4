// The query conversion, both searches, the index rebuild, statistics and the backup copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <unordered_map>

#include "catalog_fixture.h"

namespace quorvel {
namespace {

using Ids = std::vector<std::int64_t>;

TEST(CatalogToFtsQuery, Table) {
  struct Case {
    const char* name;
    const char* text;
    const char* want;
  } cases[] = {
      {"empty", "", ""},
      {"punctuationOnly", "!!! ... ?", ""},
      {"twoWords", "Smith letters", R"("Smith"* "letters"*)"},
      {"phrase", R"("dear anna")", R"("dear anna")"},
      {"phraseAmongWords", R"(to "dear anna" from)", R"("to"* "dear anna" "from"*)"},
      {"lonePairOfQuotes", R"("")", ""},
      {"unbalancedQuote", R"(x "dear anna)", R"("x"* "dear anna"*)"},
      {"punctuationAroundWords", "(Smith), 1923.", R"("Smith"* "1923"*)"},
      {"droppedCharactersSeparateWords", "11/5/1948 e-mail:x a..b", R"("11 5 1948"* "e-mail x"* "a b"*)"},
      {"apostropheAndHyphenKept", "O'Brien Anne-Marie", R"("O'Brien"* "Anne-Marie"*)"},
      {"typographicApostrophe", "O\u2019Brien", "\"O\u2019Brien\"*"},
      {"whitespaceOfAnyKind", " a\tb\n\nc ", R"("a"* "b"* "c"*)"},
      {"accentsAndCombiningMarks", "Müller Jose\u0301", "\"Müller\"* \"Jose\u0301\"*"},
      {"numbersOfAnyKind", "\u00bd \u0663", "\"\u00bd\"* \"\u0663\"*"},
  };
  for (const Case& c : cases) EXPECT_EQ(Catalog::toFtsQuery(c.text), c.want) << c.name;
}

class CatalogSearch : public CatalogTest {
 protected:
  std::int64_t addWith(const std::string& path, std::int64_t second, const std::string& title,
                       const std::string& text) {
    ArchiveItem item = makeItem(path, second);
    item.title = title;
    std::int64_t id = catalog->addItem(item);
    if (!text.empty()) catalog->saveRecognizedText(id, text, "tesseract", std::nullopt);
    return id;
  }
  static Ids hitIds(const std::vector<SearchHit>& hits) {
    Ids ids;
    for (const auto& hit : hits) ids.push_back(hit.item.id);
    return ids;
  }
  static const SearchHit* hitFor(const std::vector<SearchHit>& hits, std::int64_t id) {
    for (const auto& hit : hits)
      if (hit.item.id == id) return &hit;
    return nullptr;
  }
};

TEST_F(CatalogSearch, RanksTitleAboveTextFoldsAccentsAndMarksSnippets) {
  std::int64_t inText = addWith("/scans/a.jpg", 1, "A letter",
                                "We visited the Müller family in the summer, and then went home.");
  std::int64_t inTitle = addWith("/scans/b.jpg", 2, "Müller wedding", "Nothing else of note here.");
  addWith("/scans/c.jpg", 3, "Unrelated", "Nothing about them.");
  auto hits = catalog->search("  muller ", 10);
  ASSERT_EQ(hitIds(hits), (Ids{inTitle, inText}));
  EXPECT_LT(hits[0].rank, hits[1].rank);
  EXPECT_LT(hits[1].rank, 0);
  EXPECT_NE(hits[1].snippet.find("[Müller]"), std::string::npos) << hits[1].snippet;
  EXPECT_EQ(hits[1].item.title, "A letter");

  // Every word must match; a word is a prefix.
  EXPECT_EQ(hitIds(catalog->search("mul summ", 10)), (Ids{inText}));
  EXPECT_EQ(hitIds(catalog->search("\"the Müller family\"", 10)), (Ids{inText}));
  EXPECT_EQ(catalog->search("muller", 1).size(), 1u);  // the full-text query is cut to limit
  EXPECT_TRUE(catalog->search(" \n ", 10).empty());
}

TEST_F(CatalogSearch, TranslationHitReplacesAWorseTextHit) {
  std::int64_t onlyEnglish = addWith("/scans/a.jpg", 1, "Brief", "Liebe Anna, wie geht es?");
  std::int64_t both = addWith("/scans/b.jpg", 2, "Letter",
                              "harvest " + std::string(400, ' ') + " one two three four five six "
                              "seven eight nine ten eleven twelve");
  catalog->saveTranslation(Translation{onlyEnglish, "de", "German", "Dear Anna, how is the harvest?",
                                       "model", "h", 0});
  catalog->saveTranslation(Translation{both, "de", "German", "harvest harvest", "model", "h", 0});

  auto hits = catalog->search("harvest", 10);
  ASSERT_EQ(hits.size(), 2u);
  const SearchHit* english = hitFor(hits, onlyEnglish);
  ASSERT_TRUE(english);
  EXPECT_EQ(english->snippet.rfind("In English: ", 0), 0u) << english->snippet;
  EXPECT_NE(english->snippet.find("[harvest]"), std::string::npos);

  // The item found in both keeps the lower of its two ranks.
  double textRank = catalog->db()
                        .query("SELECT bm25(fts, 0.0, 4.0, 2.0, 1.0, 3.0, 1.0) AS r FROM fts WHERE "
                               "fts MATCH '\"harvest\"*' AND item_id=?",
                               {both})
                        .front()
                        .dbl("r");
  double englishRank = catalog->db()
                           .query("SELECT bm25(translations_fts) AS r FROM translations_fts WHERE "
                                  "translations_fts MATCH '\"harvest\"*' AND item_id=?",
                                  {both})
                           .front()
                           .dbl("r");
  const SearchHit* kept = hitFor(hits, both);
  ASSERT_TRUE(kept);
  EXPECT_DOUBLE_EQ(kept->rank, std::min(textRank, englishRank));
  EXPECT_EQ(kept->snippet.rfind("In English: ", 0) == 0, englishRank < textRank);
}

TEST_F(CatalogSearch, RankingEqualsBm25AlsoWhenRowLengthsAreReadInBulk) {
  // 300 rows with "common" reach the bulk path; "rare" stays on the per-row one.
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (int k = 0; k <= i % 5; ++k) text += "common word ";
    text += std::string(i % 13, 'x') + " filler " + (i % 3 ? "more words here" : "");
    addWith("/scans/" + std::to_string(i) + ".jpg", i, i % 7 ? "Letter" : "Letter rare common", text);
  }
  catalog->tagPerson(1, catalog->ensurePerson("Common Person"));
  for (const char* match :
       {"\"common\"*", "\"rare\"*", "\"common\"* \"rare\"*", "\"common\"* OR \"rare\"*", "\"co\"*"}) {
    auto rows = catalog->db().query(
        "SELECT rowid, bm25(fts, 0.0, 4.0, 2.0, 1.0, 3.0, 1.0) AS a, "
        "catalog_bm25(fts, 'fts', 0.0, 4.0, 2.0, 1.0, 3.0, 1.0) AS b FROM fts WHERE fts MATCH ?",
        {match});
    ASSERT_GT(rows.size(), 10u) << match;
    for (const Row& row : rows) ASSERT_EQ(row.dbl("a"), row.dbl("b")) << match << " row " << row.int64("rowid");
  }
  catalog->saveTranslation(Translation{1, "de", "German", "common words", "m", "h", 0});
  auto rows = catalog->db().query(
      "SELECT bm25(translations_fts) AS a, catalog_bm25(translations_fts, 'translations_fts') AS b "
      "FROM translations_fts WHERE translations_fts MATCH 'common'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].dbl("a"), rows[0].dbl("b"));
}

TEST_F(CatalogSearch, RanksFollowEveryCommittedChangeOfTheRowLengths) {
  // Enough rows with "common" that the search keeps the row lengths.
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 300; ++i)
    ids.push_back(addWith("/scans/" + std::to_string(i) + ".jpg", i, "Letter",
                          "common " + std::string(i % 11 + 1, 'w') + (i % 4 ? " more words" : "")));
  auto expectBm25 = [this](const std::string& when) {
    std::unordered_map<std::int64_t, double> want;
    for (const Row& row : catalog->db().query(
             "SELECT rowid, bm25(fts, 0.0, 4.0, 2.0, 1.0, 3.0, 1.0) AS r FROM fts WHERE fts MATCH "
             "'\"common\"*'"))
      want[row.int64("rowid")] = row.dbl("r");
    auto hits = catalog->search("common", -1);
    ASSERT_EQ(hits.size(), want.size()) << when;
    for (const SearchHit& hit : hits) ASSERT_EQ(hit.rank, want[hit.item.id]) << when << " item " << hit.item.id;
  };
  expectBm25("first search");
  expectBm25("lengths kept");
  // Longer and shorter rows, a new row and a removed one change the lengths and the average.
  catalog->saveRecognizedText(ids[3], "common " + std::string(40, 'x') + " a b c d e f g h", "t", std::nullopt);
  catalog->saveCorrectedText(ids[7], "common");
  catalog->removeItems({ids[9]});
  addWith("/scans/new.jpg", 400, "Common letter", "common common words");
  expectBm25("after the writes");
  catalog->db().run("UPDATE items SET notes='x' WHERE id=?", {ids[1]});  // a commit outside the index
  expectBm25("after an unrelated commit");
}

TEST_F(CatalogSearch, YearAddsDatedItemsThatTheTextDidNotFind) {
  std::int64_t mentions = addWith("/scans/a.jpg", 1, "Letter", "Written in 1923 at the farm.");
  std::int64_t dated = addWith("/scans/b.jpg", 2, "Photo", "");
  std::int64_t both = addWith("/scans/c.jpg", 3, "Card", "Christmas 1923");
  std::int64_t outside = addWith("/scans/d.jpg", 4, "Old", "");
  catalog->addDate(dated, "1923-05-02", "", false);
  catalog->addDate(both, "1923", "", false);
  catalog->addDate(outside, "1499", "", false);
  catalog->addDate(outside, "2101", "", false);

  auto hits = catalog->search("1923", 10);
  ASSERT_EQ(hits.size(), 3u);
  const SearchHit* byDate = hitFor(hits, dated);
  ASSERT_TRUE(byDate);
  EXPECT_EQ(byDate->snippet, "Dated 1923");
  EXPECT_EQ(byDate->rank, -1.0);
  ASSERT_TRUE(hitFor(hits, both));
  EXPECT_NE(hitFor(hits, both)->snippet.find("[1923]"), std::string::npos);
  ASSERT_TRUE(hitFor(hits, mentions));
  for (std::size_t i = 1; i < hits.size(); ++i) EXPECT_LE(hits[i - 1].rank, hits[i].rank);

  EXPECT_TRUE(catalog->search("1499", 10).empty());
  EXPECT_TRUE(catalog->search("2101", 10).empty());
}

TEST_F(CatalogSearch, ADateWithSeparatorsFindsTheTextsWritingIt) {
  std::int64_t slashes = addWith("/scans/a.jpg", 1, "Letter", "Born on 11/5/1948 in Cork.");
  std::int64_t dots = addWith("/scans/b.jpg", 2, "Card", "Married 11.5.1948.");
  addWith("/scans/c.jpg", 3, "Note", "Reference 1151948 and 5/11/1948 and 11/15/1948.");
  auto hits = catalog->search("11/5/1948", 10);
  Ids found = hitIds(hits);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (Ids{slashes, dots}));
  const SearchHit* hit = hitFor(hits, slashes);
  ASSERT_TRUE(hit);
  EXPECT_NE(hit->snippet.find("[11/5/1948]"), std::string::npos) << hit->snippet;
  EXPECT_EQ(hitIds(catalog->search("born 11/5/19", 10)), (Ids{slashes}));  // the last word a prefix
}

TEST_F(CatalogSearch, YearAmongOtherWordsAddsOnlyDatedItemsTheyMatch) {
  std::int64_t datedMuller = addWith("/scans/a.jpg", 1, "Letter", "Greetings from Hedwig Müller.");
  std::int64_t datedOther = addWith("/scans/b.jpg", 2, "Photo", "A picnic by the lake.");
  std::int64_t textBoth = addWith("/scans/c.jpg", 3, "Card", "Müller, Christmas 1923");
  std::int64_t translated = addWith("/scans/d.jpg", 4, "Brief", "Ein Gruß.");
  std::int64_t undated = addWith("/scans/e.jpg", 5, "Letter", "Müller again.");
  std::int64_t datedTwice = addWith("/scans/f.jpg", 6, "Letter", "Müller twice.");
  for (std::int64_t id : {datedMuller, datedOther, translated}) catalog->addDate(id, "1923-05", "", false);
  catalog->addDate(datedTwice, "1923-07", "", false);
  catalog->addDate(datedTwice, "1923-02-01", "", false);
  catalog->saveTranslation(Translation{translated, "de", "German", "Greetings, Müller", "m", "h", 0});

  auto hits = catalog->search("Müller 1923", 10);
  Ids found = hitIds(hits);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (Ids{datedMuller, textBoth, translated, datedTwice}));
  EXPECT_EQ(hitFor(hits, datedMuller)->snippet, "Dated 1923");
  EXPECT_NE(hitFor(hits, textBoth)->snippet.find("[1923]"), std::string::npos);
  EXPECT_FALSE(hitFor(hits, undated));
  // The year's order is each item's earliest date in it.
  Ids datedOrder;
  for (const SearchHit& hit : catalog->search("1923 müll", 10))
    if (hit.rank == -1.0) datedOrder.push_back(hit.item.id);
  EXPECT_EQ(datedOrder, (Ids{datedTwice, datedMuller, translated}));

  // The year alone, or with nothing else searchable, still adds every dated item.
  for (const char* typed : {"1923", "1923 ...", ". 1923"}) {
    Ids all = hitIds(catalog->search(typed, 10));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (Ids{datedMuller, datedOther, textBoth, translated, datedTwice})) << typed;
  }
  // A malformed rest gives no dated hits and no error.
  EXPECT_TRUE(catalog->search("1923 \"abc\"def\"", 10).empty());
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogSearch, NeverReturnsMoreThanItsLimit) {
  // Four text hits, four different translation hits, twelve items dated 1923.
  Ids textIds, englishIds;
  for (int i = 0; i < 4; ++i) textIds.push_back(addWith("/scans/t" + std::to_string(i) + ".jpg", i, "Letter", "harvest 1923"));
  for (int i = 0; i < 4; ++i) {
    std::int64_t id = addWith("/scans/e" + std::to_string(i) + ".jpg", 10 + i, "Brief", "Ernte");
    catalog->saveTranslation(Translation{id, "de", "German", "the harvest of 1923", "m", "h", 0});
    englishIds.push_back(id);
  }
  for (int i = 0; i < 12; ++i) {
    std::int64_t id = addWith("/scans/d" + std::to_string(i) + ".jpg", 20 + i, "Photo", "");
    catalog->addDate(id, "1923-" + std::to_string(10 + i), "", false);
  }
  for (const char* typed : {"harvest", "1923", "harvest 1923"}) {
    auto all = catalog->search(typed, -1);
    for (int limit : {1, 3, 5, 9, 30}) {
      auto cut = catalog->search(typed, limit);
      ASSERT_EQ(cut.size(), std::min<std::size_t>(all.size(), limit)) << typed << " " << limit;
      // The cut keeps the best hits, as the whole list orders them.
      for (std::size_t i = 0; i < cut.size(); ++i) {
        EXPECT_EQ(cut[i].rank, all[i].rank) << typed << " " << limit << " at " << i;
        if (cut[i].rank == -1.0) {
          EXPECT_EQ(cut[i].item.id, all[i].item.id) << typed << " " << limit;
        }
      }
    }
  }
  EXPECT_EQ(catalog->search("harvest", -1).size(), 8u);
  EXPECT_EQ(catalog->search("1923", -1).size(), 20u);
  EXPECT_TRUE(catalog->search("1923", 0).empty());
}

TEST_F(CatalogSearch, FallsBackToFileNameAndTitleWhenNothingElseMatches) {
  std::int64_t older = add("/scans/scan_0042.jpg", 1);
  std::int64_t newer = add("/scans/scan_1042.jpg", 2);
  std::int64_t titled = addWith("/scans/x.jpg", 0, "Wow!!!", "");
  auto hits = catalog->search("n_", 10);  // no word for the index, "_" a wildcard for LIKE
  EXPECT_EQ(hitIds(hits), (Ids{newer, older}));
  EXPECT_EQ(hits[0].snippet, "scan_1042.jpg");
  EXPECT_EQ(hits[0].rank, 0);
  EXPECT_EQ(catalog->search("n_", 1).size(), 1u);
  EXPECT_EQ(hitIds(catalog->search("!!!", 10)), (Ids{titled}));
  EXPECT_TRUE(catalog->search("nothing at all", 10).empty());
}

// The last resort reads candidates from an index of titles and file names:
// every write that changes one keeps it in step.
TEST_F(CatalogSearch, FallbackFollowsEveryChangeOfTitlesAndFileNames) {
  std::int64_t a = addWith("/scans/a_1923.jpg", 1, "Wedding", "");
  std::int64_t b = addWith("/scans/b.jpg", 2, "Christening", "");
  auto found = [&](const char* typed) { return hitIds(catalog->search(typed, 10)); };
  auto indexInStep = [&] {
    return catalog->db()
               .query("SELECT COUNT(*) AS n FROM items i JOIN item_names m ON m.rowid = i.id WHERE "
                      "m.name = i.title || char(10) || i.file_name")
               .front()
               .int64("n") == count("items") &&
           count("item_names") == count("items");
  };
  EXPECT_EQ(found("edding"), (Ids{a}));
  EXPECT_EQ(found("a_19"), (Ids{a}));

  ArchiveItem retitled = *catalog->getItem(a);
  retitled.title = "Reunion";
  catalog->updateItem(retitled);
  EXPECT_TRUE(found("edding").empty());
  EXPECT_EQ(found("eunio"), (Ids{a}));

  EXPECT_EQ(catalog->relinkItems({{b, "/moved/christening_photo.jpg"}}), 1);
  EXPECT_EQ(found("ing_pho"), (Ids{b}));
  EXPECT_TRUE(indexInStep());

  auto removed = catalog->removeItems({a});
  EXPECT_TRUE(found("eunio").empty());
  EXPECT_TRUE(indexInStep());
  catalog->restoreRemovedItems(removed);
  EXPECT_EQ(found("eunio"), (Ids{a}));

  catalog->db().exec("DELETE FROM item_names");
  catalog->rebuildIndex();
  EXPECT_TRUE(indexInStep());
  EXPECT_EQ(found("eunio"), (Ids{a}));
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogSearch, MalformedQueriesGiveNoHitsAndNoError) {
  addWith("/scans/a.jpg", 1, "Letter", "text");
  EXPECT_TRUE(catalog->search(R"("abc"def")", 10).empty());
  catalog->db().exec("DROP TABLE translations_fts");
  EXPECT_EQ(catalog->search("letter", 10).size(), 1u);
  EXPECT_EQ(catalog->searchAny({"letter"}, 10).size(), 1u);
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogSearch, NamesWithApostrophesAndHyphensAreFound) {
  std::int64_t obrien = addWith("/scans/a.jpg", 1, "Letter", "Dear Mrs O'Brien, thank you.");
  std::int64_t typographic = addWith("/scans/b.jpg", 2, "Card", "From Seán O\u2019Brien");
  std::int64_t anneMarie = addWith("/scans/c.jpg", 3, "Note", "Anne-Marie wrote this.");
  addWith("/scans/d.jpg", 4, "Other", "Brien is not O.");

  for (const char* typed : {"O'Brien", "o\u2019brien", "\"O'Brien\""}) {
    auto hits = catalog->search(typed, 10);
    EXPECT_EQ(hits.size(), 2u) << typed;
    EXPECT_TRUE(hitFor(hits, obrien)) << typed;
    EXPECT_TRUE(hitFor(hits, typographic)) << typed;
  }
  EXPECT_EQ(hitIds(catalog->search("Anne-Marie", 10)), (Ids{anneMarie}));

  for (const char* term : {"O'Brien", "O\u2019Brien"}) {
    Ids found = catalog->searchAny({term}, 10);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (Ids{obrien, typographic})) << term;
  }
  EXPECT_EQ(catalog->searchAny({"Anne-Marie"}, 10), (Ids{anneMarie}));
}

TEST_F(CatalogSearch, SearchAnyScoresAnyTermWithAYearBonus) {
  std::int64_t nameOnly = addWith("/scans/a.jpg", 1, "Letter", "Greetings from Hedwig Müller.");
  std::int64_t nameAndYear = addWith("/scans/b.jpg", 2, "Letter", "Greetings from Hedwig Müller.");
  std::int64_t yearOnly = addWith("/scans/c.jpg", 3, "Photo", "");
  std::int64_t translated = addWith("/scans/d.jpg", 4, "Brief", "Ein Gruß.");
  std::int64_t unrelated = addWith("/scans/e.jpg", 5, "Other", "Nothing.");
  catalog->addDate(nameAndYear, "1923-05", "", false);
  catalog->addDate(yearOnly, "1923", "", false);
  catalog->saveTranslation(Translation{translated, "de", "German", "A greeting to Hedwig.", "m", "h", 0});

  Ids ids = catalog->searchAny({"hedwig", "muller", "1923", "?!"}, 10);
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(ids[0], nameAndYear);
  auto position = [&ids](std::int64_t id) { return std::find(ids.begin(), ids.end(), id) - ids.begin(); };
  EXPECT_LT(position(nameAndYear), position(nameOnly));
  EXPECT_LT(position(yearOnly), 4);
  EXPECT_LT(position(translated), 4);
  EXPECT_EQ(position(unrelated), 4);

  EXPECT_EQ(catalog->searchAny({"hedwig", "muller", "1923"}, 2).size(), 2u);
  EXPECT_TRUE(catalog->searchAny({"hedwig"}, 0).empty());
  EXPECT_TRUE(catalog->searchAny({"hedwig"}, -3).empty());
  EXPECT_TRUE(catalog->searchAny({"...", "", "'"}, 10).empty());
  EXPECT_TRUE(catalog->searchAny({}, 10).empty());
}

TEST_F(CatalogSearch, RebuildIndexRestoresLostRowsOrKeepsTheOldIndex) {
  std::int64_t a = addWith("/scans/a.jpg", 1, "Letter", "Dear Anna");
  std::int64_t b = addWith("/scans/b.jpg", 2, "Card", "");
  catalog->tagPerson(b, catalog->ensurePerson("Carl"));
  catalog->saveTranslation(Translation{a, "de", "German", "Dear Anna", "m", "h", 0});
  catalog->db().exec("DELETE FROM fts; DELETE FROM translations_fts;");
  catalog->db().run("INSERT INTO fts (item_id, title) VALUES (77, 'stale')");
  catalog->rebuildIndex();
  EXPECT_EQ(count("fts"), 2);
  EXPECT_EQ(ftsColumn(a, "text"), "Dear Anna");
  EXPECT_EQ(ftsColumn(b, "people"), "Carl");
  EXPECT_EQ(count("translations_fts"), 1);
  EXPECT_FALSE(catalog->lastError());

  catalog->db().exec("DROP TABLE translations");
  catalog->rebuildIndex();
  EXPECT_TRUE(catalog->lastError());
  EXPECT_EQ(count("fts"), 2);
  EXPECT_EQ(count("translations_fts"), 1);
}

TEST_F(CatalogSearch, StatsCountTheArchive) {
  CatalogStats empty = catalog->stats();
  EXPECT_EQ(empty.items + empty.transcribed + empty.pending + empty.people + empty.dates, 0);
  EXPECT_EQ(empty.totalBytes, 0);

  std::int64_t a = addWith("/scans/a.jpg", 1, "", "text");
  std::int64_t b = addWith("/scans/b.jpg", 2, "", "");
  std::int64_t c = addWith("/scans/c.jpg", 3, "", "");
  catalog->saveCorrectedText(b, " \n\t ");
  catalog->setOcrStatus(c, OcrStatus::running);
  catalog->addDate(a, "1923", "", false);
  catalog->ensurePerson("Anna");
  CatalogStats s = catalog->stats();
  EXPECT_EQ(s.items, 3);
  EXPECT_EQ(s.totalBytes, 300);
  EXPECT_EQ(s.transcribed, 1);  // white space only is no text
  EXPECT_EQ(s.pending, 1);
  EXPECT_EQ(s.people, 1);
  EXPECT_EQ(s.dates, 1);
}

TEST_F(CatalogSearch, BackupWritesAConsistentCopy) {
  addWith("/scans/a.jpg", 1, "Letter", "Dear Anna");
  std::string target = dir.file("copy.db");
  testing::writeFile(target, "an older file");
  catalog->backup(target);
  {
    Catalog copy(target);
    EXPECT_EQ(copy.allItems().size(), 1u);
    EXPECT_EQ(copy.search("anna", 10).size(), 1u);
  }
  EXPECT_THROW(catalog->backup(dir.file("missing/copy.db")), SQLError);
  EXPECT_THROW(catalog->backup(catalog->filePath()), SQLError);
  EXPECT_FALSE(catalog->lastError());
  EXPECT_EQ(catalog->allItems().size(), 1u);
  EXPECT_GT(add("/scans/b.jpg"), 0);
}

}  // namespace
}  // namespace quorvel
