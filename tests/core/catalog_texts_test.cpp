// Transcriptions and the corrected-text rules, people, dates and translations.
#include <gtest/gtest.h>

#include "catalog_fixture.h"

namespace quorvel {
namespace {

class CatalogTexts : public CatalogTest {
 protected:
  std::int64_t id = add("/scans/letter.jpg");
};

TEST_F(CatalogTexts, ReadingsReplaceTheTextUntilTheUserCorrectsIt) {
  catalog->setOcrStatus(id, OcrStatus::running);
  catalog->saveRecognizedText(id, "Dear Anna", "tesseract", 0.9, "", false);
  auto t = *catalog->getTranscription(id);
  EXPECT_EQ(t.rawText, "Dear Anna");
  EXPECT_EQ(t.text, "Dear Anna");
  EXPECT_FALSE(t.corrected);
  EXPECT_EQ(catalog->getItem(id)->ocrStatus, OcrStatus::done);
  EXPECT_EQ(ftsColumn(id, "text"), "Dear Anna");

  catalog->saveRecognizedText(id, "Dear Ana", "tesseract", std::nullopt, "", false);
  t = *catalog->getTranscription(id);
  EXPECT_EQ(t.rawText, "Dear Ana");
  EXPECT_EQ(t.text, "Dear Ana");
  EXPECT_FALSE(t.confidence);

  catalog->saveCorrectedText(id, "Dear Anna!");
  t = *catalog->getTranscription(id);
  EXPECT_EQ(t.text, "Dear Anna!");
  EXPECT_TRUE(t.corrected);
  EXPECT_EQ(t.rawText, "Dear Ana");  // an existing row keeps its raw text and engine
  EXPECT_EQ(t.engine, "tesseract");
  EXPECT_EQ(ftsColumn(id, "text"), "Dear Anna!");

  std::string words = encodeUncertainWords({{"Ana", "Anna"}});
  catalog->saveRecognizedText(id, "Dear Ana", "llama", 0.4, words, false);
  t = *catalog->getTranscription(id);
  EXPECT_EQ(t.text, "Dear Anna!");
  EXPECT_TRUE(t.corrected);
  EXPECT_EQ(t.rawText, "Dear Ana");
  EXPECT_EQ(t.engine, "llama");
  EXPECT_EQ(t.confidence, 0.4);
  EXPECT_EQ(t.uncertainJson, words);
  EXPECT_EQ(ftsColumn(id, "text"), "Dear Anna!");

  catalog->saveRecognizedText(id, "Dear Ana", "llama", 0.5, "", true);
  t = *catalog->getTranscription(id);
  EXPECT_EQ(t.text, "Dear Ana");
  EXPECT_FALSE(t.corrected);
  EXPECT_EQ(ftsColumn(id, "text"), "Dear Ana");
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogTexts, CorrectionWithoutTranscriptionCreatesAUserOne) {
  catalog->saveCorrectedText(id, "typed by hand");
  auto t = *catalog->getTranscription(id);
  EXPECT_EQ(t.engine, "user");
  EXPECT_EQ(t.rawText, "");
  EXPECT_EQ(t.uncertainJson, "");
  EXPECT_FALSE(t.confidence);
  EXPECT_TRUE(t.corrected);
  EXPECT_GT(t.updated, nowMicros() - 60'000'000);
  EXPECT_EQ(catalog->getItem(id)->ocrStatus, OcrStatus::done);
}

TEST_F(CatalogTexts, UncertainWordsNeedAnExistingTranscription) {
  catalog->saveUncertain(id, "[]");
  EXPECT_FALSE(catalog->getTranscription(id));
  EXPECT_FALSE(catalog->lastError());
  catalog->saveRecognizedText(id, "text", "tesseract", std::nullopt);
  catalog->saveUncertain(id, R"([{"Chosen":"a","Alternative":"b"}])");
  EXPECT_EQ(catalog->getTranscription(id)->uncertainJson, R"([{"Chosen":"a","Alternative":"b"}])");
  EXPECT_EQ(catalog->getTranscription(id)->text, "text");
}

TEST_F(CatalogTexts, PeopleAreTrimmedAndMatchedWithoutCase) {
  EXPECT_EQ(catalog->ensurePerson("  \n "), 0);
  EXPECT_EQ(count("people"), 0);
  std::int64_t anna = catalog->ensurePerson("  Anna\n");
  EXPECT_GT(anna, 0);
  EXPECT_EQ(catalog->ensurePerson("anna"), anna);
  EXPECT_GT(catalog->ensurePerson("bert"), anna);
  std::int64_t carl = catalog->ensurePerson("Carl");
  auto people = catalog->listPeople();
  ASSERT_EQ(people.size(), 3u);
  EXPECT_EQ(people[0].name, "Anna");  // stored as first given, without the spaces
  EXPECT_EQ(people[1].name, "bert");  // by name ignoring case
  EXPECT_EQ(people[2].name, "Carl");

  catalog->tagPerson(id, carl);
  catalog->tagPerson(id, anna);
  catalog->tagPerson(id, anna);  // harmless twice
  std::int64_t other = add("/scans/other.jpg", 5);
  catalog->tagPerson(other, anna);
  people = catalog->listPeople();
  EXPECT_EQ(people[0].itemCount, 2);
  EXPECT_EQ(people[1].itemCount, 0);
  EXPECT_EQ(people[2].itemCount, 1);
  auto tagged = catalog->peopleForItem(id);
  ASSERT_EQ(tagged.size(), 2u);
  EXPECT_EQ(tagged[0], (Person{anna, "Anna", "", 0}));
  EXPECT_EQ(tagged[1].name, "Carl");
  EXPECT_EQ(idsOf(catalog->itemsForPerson(anna)), (std::vector<std::int64_t>{other, id}));

  catalog->untagPerson(id, carl);
  EXPECT_EQ(ftsColumn(id, "people"), "Anna");
  EXPECT_EQ(catalog->listPeople()[2].itemCount, 0);  // the person stays
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogTexts, RenameAndDeleteKeepTheIndexInStep) {
  std::int64_t anna = catalog->ensurePerson("Anna");
  std::int64_t bert = catalog->ensurePerson("Bert");
  catalog->tagPerson(id, anna);
  std::int64_t other = add("/scans/other.jpg");
  catalog->tagPerson(other, anna);
  catalog->tagPerson(other, bert);

  catalog->renamePerson(anna, "  Annie ");
  EXPECT_EQ(catalog->peopleForItem(id)[0].name, "Annie");
  EXPECT_EQ(ftsColumn(id, "people"), "Annie");

  catalog->renamePerson(anna, "BERT");  // taken by another person, ignoring case
  EXPECT_EQ(catalog->peopleForItem(id)[0].name, "Annie");
  EXPECT_FALSE(catalog->lastError());

  catalog->deletePerson(anna);
  EXPECT_EQ(ftsColumn(id, "people"), "");
  EXPECT_EQ(ftsColumn(other, "people"), "Bert");
  EXPECT_EQ(catalog->listPeople().size(), 1u);
  EXPECT_TRUE(catalog->itemsForPerson(anna).empty());
}

TEST_F(CatalogTexts, ExtractedDatesAreReplacedAndConfirmedOnesKept) {
  catalog->addDate(id, "1923", "user", true);
  catalog->addDate(id, "1950", "text", false);
  catalog->replaceExtractedDates(
      id, {ItemDate(0, "1923", "file name", false), ItemDate(0, "1923-05-02", "text", true)});
  auto dates = catalog->datesForItem(id);
  ASSERT_EQ(dates.size(), 2u);
  EXPECT_EQ(dates[0].value, "1923");
  EXPECT_TRUE(dates[0].confirmed);
  EXPECT_EQ(dates[0].source, "user");
  EXPECT_EQ(dates[1].value, "1923-05-02");
  EXPECT_FALSE(dates[1].confirmed);  // the given flag is ignored
  EXPECT_EQ(dates[1].itemId, id);

  catalog->setDateConfirmed(dates[1].id, true);
  catalog->replaceExtractedDates(id, {});
  EXPECT_EQ(catalog->datesForItem(id).size(), 2u);
  catalog->deleteDate(dates[0].id);
  EXPECT_EQ(catalog->datesForItem(id).size(), 1u);
}

TEST_F(CatalogTexts, YearsCountItemsOnceAndSkipWhatIsNoYear) {
  std::int64_t other = add("/scans/other.jpg");
  catalog->addDate(id, "1923", "", false);
  catalog->addDate(id, "1923-05", "", false);
  catalog->addDate(other, "1924", "", false);
  catalog->addDate(other, "1923-01-01", "", false);
  catalog->addDate(other, "abcd", "", false);
  catalog->addDate(other, "-905", "", false);
  auto years = catalog->years();
  EXPECT_EQ(years, (std::vector<std::pair<int, int>>{{-905, 1}, {1923, 2}, {1924, 1}}));
  auto first = catalog->firstDates();
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(first[id], "1923");
  EXPECT_EQ(first[other], "-905");
}

TEST_F(CatalogTexts, TranslationsAreReplacedInBothTables) {
  Translation t{id, "de", "German", "Dear Anna", "model", "hash1", 0};
  catalog->saveTranslation(t);
  t.text = "Dear Annie";
  t.sourceHash = "hash2";
  catalog->saveTranslation(t);
  auto stored = *catalog->getTranslation(id);
  EXPECT_EQ(stored.text, "Dear Annie");
  EXPECT_EQ(stored.sourceHash, "hash2");
  EXPECT_EQ(stored.languageName, "German");
  EXPECT_GT(stored.updated, nowMicros() - 60'000'000);  // stamped now, not the record's time
  EXPECT_EQ(count("translations"), 1);
  auto rows = catalog->db().query("SELECT item_id, text FROM translations_fts");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].str("text"), "Dear Annie");
  EXPECT_EQ(rows[0].int64("item_id"), id);

  catalog->deleteTranslation(id);
  EXPECT_FALSE(catalog->getTranslation(id));
  EXPECT_EQ(count("translations_fts"), 0);
  EXPECT_FALSE(catalog->lastError());
}

}  // namespace
}  // namespace quorvel
