// The translator: chunks, hash, cleaning, language detection, and translation
// over a temporary catalog with a fake completion function.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "catalog_fixture.h"
#include "core/failure.h"
#include "core/llama_server.h"
#include "core/text.h"
#include "core/translator.h"

namespace quorvel {
namespace {

using Chunks = std::vector<std::string>;

std::string repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

TEST(TranslatorChunks, ParagraphsThenLinesThenSentences) {
  const std::string p300 = std::string(300, 'p');
  const std::string l400 = std::string(399, 'l') + ".";
  const std::string x3000 = std::string(3000, 'x');
  // A stop at position 900 of a 2000-character line, then a space.
  const std::string stop900 = std::string(899, 'a') + ". " + std::string(1099, 'b');
  struct Case {
    const char* name;
    std::string text;
    Chunks want;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"blankParagraphsDropped", " \n\n\t\n\n  ", {}},
      {"threeParagraphsOneChunk", p300 + "\n\n" + p300 + "\n\n" + p300,
       {p300 + "\n\n" + p300 + "\n\n" + p300}},
      {"paragraphsPackedUpToTheLimit", repeat(p300 + "\n\n", 3) + p300,
       {p300 + "\n\n" + p300 + "\n\n" + p300, p300}},
      {"longParagraphSplitAtLines", l400 + "\n" + l400 + "\n" + l400,
       {l400 + "\n" + l400, l400}},
      {"longLineCutHard", x3000 + "\nend",
       {std::string(1100, 'x'), std::string(1100, 'x'), std::string(800, 'x') + "\nend"}},
      {"longLineCutAfterItsLastSentenceEnd", stop900,
       {std::string(899, 'a') + ".", std::string(1099, 'b')}},
      {"spacesAtCutsTrimmed", std::string(1099, 'c') + " " + std::string(1000, 'd') + "!  ",
       {std::string(1099, 'c'), std::string(1000, 'd') + "!"}},
      {"lastStopOfEachStretch", repeat("Ja. ", 300),
       {text::trimmed(repeat("Ja. ", 275)), text::trimmed(repeat("Ja. ", 25))}},
  };
  for (const Case& c : cases) EXPECT_EQ(Translator::chunks(c.text, 1100), c.want) << c.name;

  // Characters as the user sees them: 1100 decomposed letters are one chunk.
  const std::string decomposed = repeat("e\u0301", 1100);
  EXPECT_EQ(Translator::chunks(decomposed, 1100), Chunks{decomposed});
  EXPECT_EQ(Translator::chunks(decomposed + "e", 1100).size(), 2u);
}

TEST(TranslatorHash, FirstTwelveBytesOfSha256) {
  EXPECT_EQ(Translator::hash(""), "e3b0c44298fc1c149afbf4c8");
  EXPECT_EQ(Translator::hash("abc"), "ba7816bf8f01cfea414140de");
  EXPECT_NE(Translator::hash("Jos\u00e9"), Translator::hash("Jose\u0301"));
}

TEST(TranslatorSource, CurrentTextElseRawTrimmed) {
  Transcription t;
  EXPECT_EQ(Translator::source(std::nullopt), "");
  t.rawText = "  raw\n";
  EXPECT_EQ(Translator::source(t), "raw");
  t.text = "\n current ";
  EXPECT_EQ(Translator::source(t), "current");
}

TEST(TranslatorClean, PreambleLinesAndFences) {
  struct Case {
    const char* name;
    const char* reply;
    const char* want;
  };
  const Case cases[] = {
      {"hereIsLine", "Here is the translation:\nDear Anna,\nwe arrived.", "Dear Anna,\nwe arrived."},
      {"translationLine", "  TRANSLATION:\n\n  Dear Anna  ", "Dear Anna"},
      {"inEnglishLine", "The letter in English:\nDear Anna", "Dear Anna"},
      {"otherColonLineKept", "Dear Anna:\nwe arrived.", "Dear Anna:\nwe arrived."},
      {"onlyPreamble", "Translation:", ""},
      {"fenced", "```text\nDear Sir\n```", "Dear Sir"},
      {"blank", " \n ", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Translator::clean(c.reply), c.want) << c.name;
}

// Answers every text with one fixed guess.
class FixedRecognizer : public LanguageRecognizer {
 public:
  FixedRecognizer(std::string code, double confidence) : guess_{std::move(code), confidence} {}
  LanguageGuess mostLikely(const std::string&) const override { return guess_; }

 private:
  LanguageGuess guess_;
};

TEST(TranslatorDetect, ThresholdsAndNames) {
  const std::string letters39 = std::string(39, 'a') + " 1234567890 .,;!";
  const std::string letters40 = letters39 + "b";
  struct Case {
    const char* name;
    std::string text;
    std::string code;
    double confidence;
    std::optional<DetectedLanguage> want;
  };
  const Case cases[] = {
      {"fewerThan40Letters", letters39, "de", 0.99, std::nullopt},
      {"fortyLetters", letters40, "de", 0.99, DetectedLanguage{"de", "German", 0.99}},
      {"unsure", letters40, "de", 0.59, std::nullopt},
      {"justSure", letters40, "fr", 0.6, DetectedLanguage{"fr", "French", 0.6}},
      {"english", letters40, "en", 1.0, std::nullopt},
      {"undetermined", letters40, "und", 1.0, std::nullopt},
      {"nameUnknownToTheTable", letters40, "qqq", 0.8, DetectedLanguage{"qqq", "qqq", 0.8}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Translator::detect(c.text, FixedRecognizer(c.code, c.confidence)), c.want) << c.name;
}

const std::string kGerman =
    "Liebe Anna, wir sind gestern in Hamburg angekommen und das Wetter ist sehr schön. Die Kinder "
    "spielen jeden Tag im Garten und grüßen dich herzlich. Vater arbeitet wieder im Hafen.";

TEST(TranslatorDetect, RecognisesRealLanguages) {
  auto german = Translator::detect(kGerman);
  ASSERT_TRUE(german);
  EXPECT_EQ(german->code, "de");
  EXPECT_EQ(german->name, "German");
  EXPECT_GE(german->confidence, 0.6);
  EXPECT_LE(german->confidence, 1.0);

  auto norwegian = Translator::detect(
      "Kjære Anna, vi kom til Bergen i går og været er veldig fint. Barna leker i hagen hver dag "
      "og hilser deg så mye. Far arbeider på verftet igjen.");
  ASSERT_TRUE(norwegian);
  EXPECT_EQ(norwegian->name, englishLanguageName(norwegian->code));
  EXPECT_NE(norwegian->name, norwegian->code);

  EXPECT_FALSE(Translator::detect("Dear Anna, we arrived in Hamburg yesterday and the weather is "
                                  "very fine. The children play in the garden every day."));
  EXPECT_FALSE(Translator::detect("Liebe Anna, wir sind gut angekommen."));  // fewer than 40 letters
  EXPECT_FALSE(Translator::detect(std::string("\xff\xfe") + repeat("1234 ", 40)));
}

// A fake model that records each call and answers with a reply per call.
struct FakeTranslatorModel {
  std::vector<std::pair<std::string, std::string>> calls;
  std::function<std::string(const std::string& user)> answer = [](const std::string& user) {
    return "English of " + user.substr(user.find(":\n\n") + 3);
  };
  CompletionFunction function() {
    return [this](const std::string& system, const std::string& user, std::stop_token) {
      calls.emplace_back(system, user);
      return answer(user);
    };
  }
};

class TranslatorTest : public CatalogTest {
 protected:
  FakeTranslatorModel model;
  Translator translator{*catalog, model.function()};
  std::int64_t item = add("/scans/hamburg.jpg");

  void setText(const std::string& text) { catalog->saveCorrectedText(item, text); }

  template <typename F>
  std::string failure(F&& f) {
    try {
      f();
    } catch (const Failure& e) {
      return e.message();
    }
    return "<no failure>";
  }
};

TEST_F(TranslatorTest, StoresReadsBackAndGoesStale) {
  catalog->saveRecognizedText(item, kGerman + "  \n", "tesseract", std::nullopt);
  std::vector<std::pair<int, int>> progress;
  Translation made = translator.translate(item, [&](int done, int total) { progress.emplace_back(done, total); });

  ASSERT_EQ(model.calls.size(), 1u);
  EXPECT_EQ(model.calls[0].first,
            "You translate old family letters and records from German into plain, natural modern "
            "English. Translate everything; do not summarize, explain or add notes. Keep every "
            "person's name, place name and date exactly as written in the original. Keep the "
            "original line breaks. Keep any word in [square brackets] as it is. Return only the "
            "English translation.");
  EXPECT_EQ(model.calls[0].second, "Translate this from German into English:\n\n" + kGerman);
  EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}}));

  EXPECT_EQ(made.itemId, item);
  EXPECT_EQ(made.language, "de");
  EXPECT_EQ(made.languageName, "German");
  EXPECT_EQ(made.text, "English of " + kGerman);
  EXPECT_EQ(made.engine, "translate-gemma");
  EXPECT_EQ(made.sourceHash, Translator::hash(kGerman));
  EXPECT_EQ(catalog->getTranslation(item), made);
  EXPECT_FALSE(translator.isStale(made));

  // The source is trimmed: a space more is no change; a changed word is.
  setText(kGerman + " ");
  EXPECT_FALSE(translator.isStale(made));
  setText(kGerman.substr(0, kGerman.size() - 6) + "Hause.");
  EXPECT_TRUE(translator.isStale(made));
  setText(" ");
  EXPECT_TRUE(translator.isStale(made));
}

TEST_F(TranslatorTest, ChunksAreSentInOrderAndJoined) {
  const std::string paragraph =
      "Wir sind gestern in Hamburg angekommen und das Wetter ist sehr schön gewesen.";
  setText(paragraph + "\n\n" + paragraph + "\n\n" + paragraph);
  translator.setChunkChars(static_cast<int>(paragraph.size()) + 1);
  int reply = 0;
  model.answer = [&reply](const std::string&) {
    ++reply;
    return reply == 2 ? std::string("Here is the translation:\n  ") : "Part " + std::to_string(reply);
  };
  std::vector<std::pair<int, int>> progress;
  Translation made = translator.translate(item, [&](int done, int total) { progress.emplace_back(done, total); });
  ASSERT_EQ(model.calls.size(), 3u);
  for (const auto& call : model.calls)
    EXPECT_EQ(call.second, "Translate this from German into English:\n\n" + paragraph);
  // The empty middle part still takes its place in the join.
  EXPECT_EQ(made.text, "Part 1\n\n\n\nPart 3");
  EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}, {2, 3}, {3, 3}}));
}

// A chunk the model finds too long is cut smaller at the rate it was
// counted, and its pieces are translated in its place, in order.
TEST_F(TranslatorTest, AChunkTooLongForTheModelIsCutSmaller) {
  const std::string sentence = "Wir sind gestern in Hamburg angekommen und grüßen dich herzlich. ";
  setText(repeat(sentence, 15));  // one paragraph of about 1000 characters: one chunk
  const std::int64_t budget = 600;  // tokens, one a character of the whole prompt
  std::vector<std::string> sent;
  model.answer = [&](const std::string& user) -> std::string {
    const std::string& system = model.calls.back().first;
    const auto tokens = static_cast<std::int64_t>(text::graphemeCount(system + user));
    if (tokens > budget) throw PromptTooLong(tokens, budget);
    sent.push_back(user.substr(user.find(":\n\n") + 3));
    return "Part " + std::to_string(sent.size());
  };
  std::vector<std::pair<int, int>> progress;
  Translation made = translator.translate(item, [&](int done, int total) { progress.emplace_back(done, total); });
  ASSERT_GE(sent.size(), 3u);
  std::string joined;
  for (const std::string& piece : sent) joined += (joined.empty() ? "" : " ") + piece;
  EXPECT_EQ(joined, text::trimmed(repeat(sentence, 15)));  // every word, once, in order
  EXPECT_EQ(progress.front(), (std::pair<int, int>{0, 1}));
  EXPECT_EQ(progress.back(), (std::pair<int, int>{static_cast<int>(sent.size()), static_cast<int>(sent.size())}));
  EXPECT_EQ(made.text.substr(0, 6), "Part 1");

  // Pieces of 100 characters still too long: a sentence, and nothing stored.
  catalog->saveTranslation(made);
  model.answer = [](const std::string& user) -> std::string {
    throw PromptTooLong(static_cast<std::int64_t>(user.size()) * 40, 10);
  };
  EXPECT_EQ(failure([&] { translator.translate(item); }),
            "A passage of this text is too long for the reader to translate, even in small pieces.");
  EXPECT_EQ(catalog->getTranslation(item)->text, made.text);
}

TEST_F(TranslatorTest, FailuresStoreNothing) {
  EXPECT_EQ(failure([&] { translator.translate(item); }), "This scan has no text to translate yet.");
  setText(" \n ");
  EXPECT_EQ(failure([&] { translator.translate(item); }), "This scan has no text to translate yet.");
  setText("Dear Anna, we arrived in Hamburg yesterday and the weather is very fine indeed.");
  EXPECT_EQ(failure([&] { translator.translate(item); }),
            "This text looks like it's already in English.");
  EXPECT_TRUE(model.calls.empty());

  setText(kGerman);
  model.answer = [](const std::string&) { return std::string("```\n```"); };
  EXPECT_EQ(failure([&] { translator.translate(item); }),
            "The reader didn't return a translation. Please try again.");

  Translator failing(*catalog, [](const std::string&, const std::string&, std::stop_token) -> std::string {
    throw TransportError(TransportError::Kind::connectionLost, "The reader stopped answering.");
  });
  try {
    failing.translate(item);
    FAIL() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::connectionLost);
    EXPECT_STREQ(e.what(), "The reader stopped answering.");
  }

  // Cancelled after the first of two chunks: the second is never sent.
  std::stop_source stop;
  translator.setChunkChars(100);
  model.answer = [&stop](const std::string&) {
    stop.request_stop();
    return std::string("Part");
  };
  const std::size_t before = model.calls.size();
  EXPECT_THROW(translator.translate(item, {}, stop.get_token()), Cancelled);
  EXPECT_EQ(model.calls.size(), before + 1);
  EXPECT_FALSE(catalog->getTranslation(item));
}

TEST_F(TranslatorTest, FailedStoreReturnsTheNewRecordNotTheOldOne) {
  setText(kGerman);
  Translation first = translator.translate(item);
  catalog->db().run(
      "CREATE TRIGGER refuse BEFORE UPDATE ON translations BEGIN SELECT RAISE(ABORT, 'disk full'); END");
  model.answer = [](const std::string&) { return std::string("A new translation"); };
  Translation second = translator.translate(item);
  EXPECT_EQ(second.text, "A new translation");
  EXPECT_EQ(second.sourceHash, Translator::hash(kGerman));
  EXPECT_NE(catalog->lastError().value_or("").find("disk full"), std::string::npos);
  EXPECT_EQ(catalog->getTranslation(item), first);
}

}  // namespace
}  // namespace quorvel
