// Answer checking: the model's reply against the retrieved documents.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/archive_ask.h"

namespace quorvel {
namespace {

using Doc = ArchiveAsk::Doc;

const std::vector<std::string> kTerms = {"john", "sailed"};

const std::string kLine1a = "John sailed on the Bergensfjord in 1921 from Oslo.";
const std::string kLine2a = "John Berg waited with O'Neill at the harbour.";
const std::string kLine2b = "(Note: the back says 1923 and 40 crates)";
const std::string kLine3a = "Mix flour and butter for the cake.";

std::vector<Doc> docs() {
  Doc one{1, 11, "Letter from Oslo", "1921-03-04",
          "Dear Anna,\n" + kLine1a + "\n(People tagged: John Berg)", "excerpt one"};
  Doc two{2, 12, "Harbour photo", std::nullopt, kLine2a + "\n" + kLine2b, "excerpt two"};
  Doc three{3, 13, "Recipe", "1930", kLine3a, "excerpt three"};
  return {one, two, three};
}

AskSource source(int number, bool cited, const std::string& quote) {
  const Doc doc = docs()[static_cast<std::size_t>(number - 1)];
  return AskSource{number, doc.itemId, doc.title, doc.date, quote, cited};
}

struct InterpretCase {
  const char* name;
  std::string reply;
  std::string question;
  std::optional<std::vector<std::string>> names;
  // Expected: text (empty means the not-found answer), sources, unsupported.
  std::string text;
  std::vector<AskSource> sources;
  std::vector<std::string> unsupported;
};

TEST(ArchiveAskInterpret, RepliesAgainstDocumentsAndNames) {
  const std::vector<std::string> none;
  const InterpretCase cases[] = {
      {"blankReply", "  \n\t ", "Q", none, "", {}, {}},
      {"curlyApostropheRefusal", "The letters don\u2019t contain that.", "Q", none, "", {}, {}},
      {"refusalWithCitation", "I could not find it [1].", "Q", none, "", {}, {}},
      {"noInformation", "There is No Information on that.", "Q", none, "", {}, {}},
      {"onlyAnswerPrefix", "Answer:  ", "Q", none, "", {}, {}},
      {"answerPrefixAnyCase", "ANSWER:\t John sailed in 1921 [1].\n", "Q", none,
       "John sailed in 1921 [1].", {source(1, true, kLine1a)}, {}},
      {"curlyQuotesBecomeStraight", "John\u2019s ship sailed [1].", "Q", none,
       "John's ship sailed [1].", {source(1, true, kLine1a)}, {}},
      {"citationOrderNotNumberOrder", "He sailed in 1923 [2, 1] and returned [2].", "Q", none,
       "He sailed in 1923 [2, 1] and returned [2].",
       {source(2, true, kLine2b), source(1, true, kLine1a)}, {}},
      {"outOfRangeCitationGivesAllUncited", "[7] says John sailed.", "Q", none,
       "[7] says John sailed.",
       {source(1, false, kLine1a), source(2, false, kLine2a), source(3, false, kLine3a)}, {}},
      {"numbersCheckedAgainstAllDocuments",
       "In 1921 [1] with 19 crates, 7 men and 1850 coins by 1930; 1850 again [12].", "Q", none,
       "In 1921 [1] with 19 crates, 7 men and 1850 coins by 1930; 1850 again [12].",
       {source(1, true, kLine1a)}, {"1850"}},
      {"nameMissingFromCitedDocument", "John sailed [1].", "Q",
       std::vector<std::string>{"mary"}, "", {}, {}},
      {"nameInTitleOfCitedDocument", "It was flour [3].", "Q",
       std::vector<std::string>{"recipe"}, "It was flour [3].", {source(3, true, kLine3a)}, {}},
      // The documents split at apostrophes, so must the name.
      {"apostropheNameFound", "He waited at the harbour [2].", "Q",
       std::vector<std::string>{"o'neill"}, "He waited at the harbour [2].",
       {source(2, true, kLine2a)}, {}},
      {"apostropheNameNotInCitedDocument", "John sailed [1].", "Q",
       std::vector<std::string>{"o'neill"}, "", {}, {}},
      {"namesFromQuestionWhenAbsent", "John sailed [1].", "When did Berg sail?", std::nullopt,
       "John sailed [1].", {source(1, true, kLine1a)}, {}},
      {"namesFromQuestionMissing", "John sailed [1].", "When did Grandpa Berg sail?",
       std::nullopt, "", {}, {}},
      {"emptyNameListPasses", "John sailed [1].", "When did Grandpa sail?", none,
       "John sailed [1].", {source(1, true, kLine1a)}, {}},
  };
  for (const InterpretCase& c : cases) {
    AskAnswer want;
    want.question = c.question;
    want.found = !c.text.empty();
    want.text = want.found ? c.text : ArchiveAsk::notFound();
    want.sources = c.sources;
    want.unsupported = c.unsupported;
    want.seconds = 2.5;
    AskAnswer got = ArchiveAsk::interpret(c.reply, c.question, kTerms, docs(), 2.5, c.names);
    EXPECT_EQ(got.text, want.text) << c.name;
    EXPECT_EQ(got.found, want.found) << c.name;
    ASSERT_EQ(got.sources.size(), want.sources.size()) << c.name;
    for (std::size_t i = 0; i < want.sources.size(); ++i) {
      EXPECT_EQ(got.sources[i].number, want.sources[i].number) << c.name << " source " << i;
      EXPECT_EQ(got.sources[i].cited, want.sources[i].cited) << c.name << " source " << i;
      EXPECT_EQ(got.sources[i].quote, want.sources[i].quote) << c.name << " source " << i;
    }
    EXPECT_EQ(got.unsupported, want.unsupported) << c.name;
    EXPECT_EQ(got, want) << c.name;
  }
}

TEST(ArchiveAskInterpret, NoDocumentsAtAll) {
  AskAnswer got = ArchiveAsk::interpret("It was 1921 [1].", "Q", kTerms, {}, 0, {});
  EXPECT_TRUE(got.found);
  EXPECT_TRUE(got.sources.empty());
  EXPECT_EQ(got.unsupported, std::vector<std::string>{"1921"});
  // With names and nothing to look in, the answer cannot stand.
  EXPECT_FALSE(ArchiveAsk::interpret("It was 1921.", "Q", kTerms, {}, 0,
                                     std::vector<std::string>{"mary"})
                   .found);
}

TEST(ArchiveAskWords, LowerCaseWordsWithoutStopWords) {
  // A decomposed and a composed "José" are the same word.
  EXPECT_EQ(ArchiveAsk::words("Jose\u0301 and Jos\u00e9 met Ed in 1921, the SHIP's mast"),
            (std::vector<std::string>{"jos\u00e9", "jos\u00e9", "met", "1921", "ship", "mast"}));
  EXPECT_TRUE(ArchiveAsk::words("I was at it, so what?").empty());
}

TEST(ArchiveAskBestLine, ScoresAndCuts) {
  const std::set<std::string> answer = {"sailed", "1921"};
  const std::vector<std::string> terms = {"oslo"};
  struct Case {
    const char* name;
    std::string text;
    std::string want;
  };
  const std::string longLine = "He sailed " + std::string(200, 'x');
  const Case cases[] = {
      {"answerWordsBeatTerms", "We left Oslo one cold morning\nHe sailed away in 1921 at dawn",
       "He sailed away in 1921 at dawn"},
      {"termPrefixCounts", "Nothing much happened there today\n  Osloby was cold and grey today  ",
       "Osloby was cold and grey today"},
      {"shortLinesArePenalised", "sailed 1921\nHe sailed away in 1921", "He sailed away in 1921"},
      {"tieGoesToTheEarlierLine", "He sailed away that spring\nHe sailed away that autumn",
       "He sailed away that spring"},
      {"allNegativeKeepsFirst", "\n Dear Anna, \nLove, Ida", "Dear Anna,"},
      {"peopleLineIsNoCandidate", "(People tagged: Sailed 1921 Oslo Oslo)\nDear Anna,", "Dear Anna,"},
      {"onlyPeopleLineGivesEmpty", "(People tagged: John Berg)\n  \n", ""},
      {"longLineIsCut", longLine, longLine.substr(0, 177) + "\u2026"},
  };
  for (const Case& c : cases) EXPECT_EQ(ArchiveAsk::bestLine(c.text, answer, terms), c.want) << c.name;

  // 180 user-perceived characters, decomposed: not cut.
  std::string decomposed;
  for (int i = 0; i < 180; ++i) decomposed += "e\u0301";
  EXPECT_EQ(ArchiveAsk::bestLine(decomposed, answer, terms), decomposed);
  EXPECT_EQ(ArchiveAsk::bestLine(decomposed + "e", answer, terms),
            decomposed.substr(0, 177 * 3) + "\u2026");
}

}  // namespace
}  // namespace quorvel
