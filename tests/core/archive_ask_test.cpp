// Question answering: terms, names, excerpts, and the question cycle over a
// temporary catalog with a fake completion function.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "catalog_fixture.h"
#include "core/archive_ask.h"
#include "core/failure.h"
#include "core/llama_server.h"
#include "core/text.h"

namespace quorvel {
namespace {

using Terms = std::vector<std::string>;

TEST(ArchiveAskKeywords, TermsOfQuestions) {
  struct Case {
    const char* question;
    Terms want;
  };
  const Case cases[] = {
      {"Who was Grandma's brother?", {"grandma", "brother"}},
      {"What did Grandpa O'Neill say", {"grandpa", "oneill"}},
      {"Did he go to it at all?", {}},
      {"Ed's 1921 trip, TRIP! trip's", {"1921", "trip"}},
      // Decomposed and composed spellings give one term, in composed form.
      {"Letters from Jose\u0301 and JOS\u00c9", {"jos\u00e9"}},
      {"Über-Tante Åsa", {"\u00fcber", "tante", "\u00e5sa"}},
      {"'s '' abc'", {"abc"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ArchiveAsk::keywords(c.question), c.want) << c.question;
}

TEST(ArchiveAskNames, CapitalisedWordsAfterTheFirst) {
  struct Case {
    const char* text;
    Terms want;
  };
  const Case cases[] = {
      {"Did Grandma write to Aunt Mary?", {"grandma", "aunt", "mary"}},
      {"Mary wrote", {}},
      {"Mary", {}},
      {"Did I see Ed or Bo with Eva and Eva?", {"eva", "eva"}},
      {"Was it Grandpa\u2019s boat or O'Neill's?", {"grandpa", "o'neill"}},
      {"When did The Smiths come", {"smiths"}},
      {"Where is Jose\u0301's house", {"jos\u00e9"}},
      {"Ask 3Tom about mary", {"tom"}},  // digits separate words
  };
  for (const Case& c : cases) EXPECT_EQ(ArchiveAsk::names(c.text), c.want) << c.text;
}

TEST(ArchiveAskSystem, PromptEndsWithTheNotFoundSentence) {
  EXPECT_EQ(ArchiveAsk::notFound(), "I couldn't find that in your letters.");
  EXPECT_EQ(ArchiveAsk::system().size(), 674 + ArchiveAsk::notFound().size());
  EXPECT_EQ(ArchiveAsk::system().substr(0, 31), "You answer questions about one ");
  EXPECT_EQ(ArchiveAsk::system().substr(674 - 14), "with exactly: " + ArchiveAsk::notFound());
  EXPECT_EQ(ArchiveAsk::stopwords().size(), 96u);
}

// Lines "line 00 ....." of 20 characters each.
std::string numberedLines(int count, const std::map<int, std::string>& replace = {}) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    std::string line = "line " + std::string(i < 10 ? "0" : "") + std::to_string(i) + " -----------";
    if (auto it = replace.find(i); it != replace.end()) line = it->second;
    out += (i ? "\n" : "") + line;
  }
  return out;
}

TEST(ArchiveAskExcerpt, LinesAroundTheMatches) {
  const std::string twenty = "line 00 -----------";
  ASSERT_EQ(twenty.size(), 19u);

  // 40 user-perceived characters, 80 bytes.
  std::string decomposed;
  for (int i = 0; i < 40; ++i) decomposed += "e\u0301";
  EXPECT_EQ(ArchiveAsk::excerpt(decomposed, {"x"}, 40), decomposed);
  EXPECT_EQ(ArchiveAsk::excerpt(decomposed + "e", {"x"}, 40), decomposed);

  const std::string text = numberedLines(12, {{2, "the apples were red"}, {9, "Apples again here."}});
  // At the limit the text goes whole; one more character starts line selection.
  EXPECT_EQ(ArchiveAsk::excerpt(text, {"apple"}, static_cast<int>(text.size())), text);
  EXPECT_EQ(ArchiveAsk::excerpt(text, {"apple"}, static_cast<int>(text.size()) - 1),
            "\u2026\nline 01 -----------\nthe apples were red\nline 03 -----------\n"
            "\u2026\nline 08 -----------\nApples again here.\nline 10 -----------");

  // No word begins with a term: the first characters, without a "…" line.
  EXPECT_EQ(ArchiveAsk::excerpt(text, {"pear"}, 30), text.substr(0, 30));
  // A matching line longer than the budget: its neighbour may still go; when
  // nothing fits, the first characters go rather than nothing.
  EXPECT_EQ(ArchiveAsk::excerpt(std::string(40, 'a') + " pear\nshort", {"pear"}, 30),
            "\u2026\nshort");
  EXPECT_EQ(ArchiveAsk::excerpt(std::string(40, 'a') + " pear", {"pear"}, 30), std::string(30, 'a'));

  // A match on the first line still begins with a "…" line; the budget stops
  // after the ranked line whose neighbours used it up.
  EXPECT_EQ(ArchiveAsk::excerpt(numberedLines(6, {{0, "apple"}, {4, "apple pie"}}), {"apple"}, 30),
            "\u2026\napple\nline 01 -----------");

  // A neighbour too long for the budget is passed over, a shorter one is not;
  // lines matching more terms come first.
  const std::string mixed = std::string(50, 'z') + "\nplum\nshort one\n" + std::string(50, 'y') +
                            "\napple plum\n" + std::string(60, 'w');
  EXPECT_EQ(ArchiveAsk::excerpt(mixed, {"apple", "plum"}, 12), "\u2026\napple plum");
  EXPECT_EQ(ArchiveAsk::excerpt(mixed, {"plum"}, 30), "\u2026\nplum\nshort one\n\u2026\napple plum");
}

// A fake model: records each call and answers with the next reply.
struct FakeModel {
  std::vector<std::string> systems, users;
  std::string reply = "fake reply";
  std::function<std::string(const std::string& user)> answer;  // replaces `reply` when set
  int calls = 0;

  CompletionFunction function() {
    return [this](const std::string& system, const std::string& user, std::stop_token) {
      ++calls;
      systems.push_back(system);
      users.push_back(user);
      return answer ? answer(user) : reply;
    };
  }
};

class ArchiveAskTest : public CatalogTest {
 protected:
  FakeModel model;
  ArchiveAsk asker{*catalog, model.function()};
  std::int64_t oslo = 0, harbour = 0, blank = 0, recipe = 0;

  // Letter with text, date, person and note; a photo with only a translation;
  // an item that matches by its title but has no text at all; a recipe.
  void fill() {
    ArchiveItem letter = makeItem("/scans/oslo.jpg", 1);
    letter.title = "Letter from Oslo";
    letter.notes = "Found in the attic";
    oslo = catalog->addItem(letter);
    catalog->saveRecognizedText(oslo, "John sailed on the Bergensfjord.\nLove, Anna", "tesseract",
                                std::nullopt);
    catalog->addDate(oslo, "1930", "text", false);
    catalog->addDate(oslo, "1921-03-04", "text", false);
    catalog->tagPerson(oslo, catalog->ensurePerson("John Berg"));

    harbour = add("/scans/harbour-photo.jpg", 2);
    Translation english;
    english.itemId = harbour;
    english.language = "nb";
    english.languageName = "Norwegian Bokmål";
    english.text = "John at the harbour";
    english.engine = "translate-gemma";
    catalog->saveTranslation(english);

    ArchiveItem empty = makeItem("/scans/john.jpg", 3);
    empty.title = "John";
    blank = catalog->addItem(empty);

    recipe = add("/scans/recipe.jpg", 4);
    catalog->saveRecognizedText(recipe, "Mix flour and butter.", "tesseract", std::nullopt);
  }
};

TEST_F(ArchiveAskTest, NothingToAskAboutNeverCallsTheModel) {
  recipe = add("/scans/recipe.jpg");
  catalog->saveRecognizedText(recipe, "Mix flour and butter.", "tesseract", std::nullopt);
  try {
    asker.ask(" \n\t\n ");
    FAIL() << "blank question answered";
  } catch (const Failure& f) {
    EXPECT_EQ(f.message(), "Type a question first.");
  }
  // Only an item whose title matches, with no text, translation, people or note.
  ArchiveItem empty = makeItem("/scans/john.jpg");
  empty.title = "John";
  ASSERT_GT(catalog->addItem(empty), 0);
  ASSERT_FALSE(catalog->searchAny({"john"}, 6).empty());

  for (const char* question : {"Did he go to it?", "Where is Zanzibar?", "  What about John?\n"}) {
    AskAnswer answer = asker.ask(question);
    EXPECT_FALSE(answer.found) << question;
    EXPECT_EQ(answer.text, ArchiveAsk::notFound()) << question;
    EXPECT_TRUE(answer.sources.empty()) << question;
    EXPECT_TRUE(answer.unsupported.empty()) << question;
    EXPECT_EQ(answer.question, text::trimmed(question));
    EXPECT_GE(answer.seconds, 0);
  }
  EXPECT_EQ(model.calls, 0);
}

TEST_F(ArchiveAskTest, PromptIsExactAndNumberingHasNoGaps) {
  fill();
  model.reply = "John sailed in 1921 [1] and waited [2].";
  const std::vector<std::int64_t> hits = catalog->searchAny({"john", "sail"}, 6);
  // The blank item is among the hits, so it must be skipped without a gap.
  ASSERT_EQ(hits.size(), 3u);
  ASSERT_NE(std::find(hits.begin(), hits.end(), blank), hits.end());

  const std::map<std::int64_t, std::string> blocks = {
      {oslo,
       "Letter from Oslo (written March 4, 1921)\nJohn sailed on the Bergensfjord.\nLove, Anna\n"
       "(People tagged: John Berg)\n(Note: Found in the attic)\n\n"},
      {harbour, "harbour-photo\n(In English:) John at the harbour\n\n"},
  };
  std::string want = "Excerpts from the family's letters:\n\n";
  std::vector<std::int64_t> numbered;
  for (std::int64_t id : hits) {
    if (id == blank) continue;
    numbered.push_back(id);
    want += "[" + std::to_string(numbered.size()) + "] " + blocks.at(id);
  }
  want += "Question: When did John sail?\nAnswer:";

  AskAnswer answer = asker.ask("\n When did John sail? ");
  ASSERT_EQ(model.calls, 1);
  EXPECT_EQ(model.systems[0], ArchiveAsk::system());
  EXPECT_EQ(model.users[0], want);
  EXPECT_TRUE(answer.found);
  EXPECT_EQ(answer.question, "When did John sail?");
  EXPECT_EQ(answer.text, model.reply);
  ASSERT_EQ(answer.sources.size(), 2u);
  EXPECT_EQ(answer.sources[0].number, 1);
  EXPECT_EQ(answer.sources[0].itemId, numbered[0]);
  EXPECT_EQ(answer.sources[1].number, 2);
  EXPECT_EQ(answer.sources[1].itemId, numbered[1]);
  const AskSource& letter = answer.sources[numbered[0] == oslo ? 0 : 1];
  EXPECT_EQ(letter.title, "Letter from Oslo");
  EXPECT_EQ(letter.date, std::optional<std::string>("1921-03-04"));
  EXPECT_EQ(letter.quote, "John sailed on the Bergensfjord.");
  EXPECT_TRUE(letter.cited);
  EXPECT_EQ(answer.unsupported, std::vector<std::string>{});
}

TEST_F(ArchiveAskTest, ExcerptBudgetAndSourceLimit) {
  fill();
  // One matching line longer than the budget: its first characters are sent
  // rather than an empty excerpt.
  asker.setExcerptChars(20);
  asker.ask("Who is Mix?");
  ASSERT_EQ(model.calls, 1);
  EXPECT_EQ(model.users[0],
            "Excerpts from the family's letters:\n\n[1] recipe\nMix flour and butter\n\n"
            "Question: Who is Mix?\nAnswer:");

  asker.setMaxSources(2);
  const Terms terms = ArchiveAsk::keywords("Mix flour, butter, John");
  ASSERT_EQ(catalog->searchAny(terms, 6).size(), 4u);
  std::size_t expected = 0;
  for (std::int64_t id : catalog->searchAny(terms, 2)) expected += id != blank;
  asker.ask("Mix flour, butter, John");
  ASSERT_EQ(model.calls, 2);
  std::size_t blocks = 0;
  for (std::size_t at = model.users[1].find("\n\n["); at != std::string::npos;
       at = model.users[1].find("\n\n[", at + 1))
    ++blocks;
  EXPECT_EQ(blocks, expected);
}

TEST_F(ArchiveAskTest, OnlyNamesTheArchiveKnowsAreTested) {
  fill();
  const std::vector<std::int64_t> hits = catalog->searchAny({"berg"}, 6);
  ASSERT_EQ(hits, std::vector<std::int64_t>{oslo});
  // "Grandpa" is in no document: were it tested, the answer would be refused.
  model.reply = "He sailed on the Bergensfjord [1].";
  AskAnswer answer = asker.ask("Did Grandpa Berg sail?");
  EXPECT_TRUE(answer.found);
  EXPECT_EQ(answer.text, model.reply);
  // "Anna" is known to the archive but not in the cited harbour document.
  model.answer = [](const std::string& user) {
    const std::size_t at = user.find("] harbour-photo");
    return "She waited [" + user.substr(at - 1, 1) + "].";
  };
  AskAnswer refused = asker.ask("Did Anna wait at the harbour?");
  ASSERT_NE(model.users.back().find("] Letter from Oslo"), std::string::npos);
  EXPECT_FALSE(refused.found);
}

TEST_F(ArchiveAskTest, CompletionErrorsReachTheCallerUnchanged) {
  fill();
  ArchiveAsk failing(*catalog, [](const std::string&, const std::string&, std::stop_token) -> std::string {
    throw Failure("The reader couldn't start.");
  });
  try {
    failing.ask("When did John sail?");
    FAIL() << "no error";
  } catch (const Failure& f) {
    EXPECT_EQ(f.message(), "The reader couldn't start.");
  }
  ArchiveAsk timedOut(*catalog, [](const std::string&, const std::string&, std::stop_token) -> std::string {
    throw TransportError(TransportError::Kind::timedOut, "The reader took too long to answer.");
  });
  try {
    timedOut.ask("When did John sail?");
    FAIL() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::timedOut);
    EXPECT_STREQ(e.what(), "The reader took too long to answer.");
  }
}

TEST_F(ArchiveAskTest, StopTokenReachesTheCompletionFunction) {
  fill();
  std::stop_source source;
  source.request_stop();
  ArchiveAsk cancelled(*catalog, [](const std::string&, const std::string&, std::stop_token stop) -> std::string {
    if (stop.stop_requested()) throw Cancelled();
    return "answered";
  });
  EXPECT_THROW(cancelled.ask("When did John sail?", source.get_token()), Cancelled);
}

// A model that takes in at most `budget` tokens, one a character, and says
// so as the server does; a question over six long letters overflows it.
TEST_F(ArchiveAskTest, PromptsTooLongForTheModelAreShortened) {
  std::string letter;
  for (int line = 0; line < 40; ++line)
    letter += "Line " + std::to_string(line) + ": Anna wrote about the harvest and the weather.\n";
  for (int n = 0; n < 6; ++n) catalog->saveRecognizedText(add("/scans/l" + std::to_string(n) + ".jpg"),
                                                           letter, "tesseract", std::nullopt);
  const std::string question = "What did Anna write about the harvest?";
  struct Case {
    const char* name;
    std::int64_t budget;
    int calls;       // model calls in all, the refused ones included
    int documents;   // excerpts in the prompt that was answered; 0: a failure instead
  };
  const Case cases[] = {
      {"fitsAtOnce", 20000, 1, 6},
      {"shorterExcerpts", 5000, 2, 6},
      {"fewerDocuments", 1500, 2, 2},
      {"notEvenOneShortExcerpt", 900, 1, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> users;
    ArchiveAsk fitted(*catalog, [&](const std::string& system, const std::string& user,
                                    std::stop_token) -> std::string {
      users.push_back(user);
      const auto tokens = static_cast<std::int64_t>(text::graphemeCount(system + user));
      if (tokens > c.budget) throw PromptTooLong(tokens, c.budget);
      return "Anna wrote about the harvest [1].";
    });
    if (c.documents == 0) {
      try {
        fitted.ask(question);
        ADD_FAILURE() << c.name << ": answered";
      } catch (const Failure& f) {
        EXPECT_EQ(f.message(),
                  "The question is too long for the reader to take in with even a short excerpt "
                  "of your letters. Please ask it in fewer words.")
            << c.name;
      }
      EXPECT_EQ(static_cast<int>(users.size()), c.calls) << c.name;
      continue;
    }
    AskAnswer answer = fitted.ask(question);
    EXPECT_EQ(static_cast<int>(users.size()), c.calls) << c.name;
    EXPECT_TRUE(answer.found) << c.name;
    const std::string& sent = users.back();
    EXPECT_LE(static_cast<std::int64_t>(text::graphemeCount(ArchiveAsk::system() + sent)), c.budget) << c.name;
    for (int n = 1; n <= 6; ++n)
      EXPECT_EQ(sent.find("[" + std::to_string(n) + "] ") != std::string::npos, n <= c.documents)
          << c.name << " " << n;
    EXPECT_NE(sent.find("Question: " + question), std::string::npos) << c.name;
  }

  // A model that never finds the prompt short enough: three tries, then the sentence.
  int calls = 0;
  ArchiveAsk never(*catalog, [&](const std::string&, const std::string& user, std::stop_token) -> std::string {
    ++calls;
    throw PromptTooLong(static_cast<std::int64_t>(user.size()), static_cast<std::int64_t>(user.size()) - 1);
  });
  EXPECT_THROW(never.ask(question), Failure);
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace quorvel
