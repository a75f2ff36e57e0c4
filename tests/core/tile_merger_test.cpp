#include "core/tile_merger.h"

#include <gtest/gtest.h>

#include <sstream>

namespace quorvel {
namespace {

using namespace TileMerger;

TileText tileText(std::int64_t row, std::int64_t col, std::vector<std::string> lines) {
  TileText t;
  t.tile.row = row;
  t.tile.col = col;
  t.lines = std::move(lines);
  return t;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string joinWords(const std::vector<std::string>& w, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to && i < w.size(); ++i) out += (out.empty() ? "" : " ") + w[i];
  return out;
}

TEST(TileMerger, CleanModelOutput) {
  struct Case {
    const char* name;
    std::string in, want;
  } cases[] = {
      {"fencedReply", "```text\nDear Sir\n```", "Dear Sir"},
      {"fenceWithoutLanguage", "```\nDear Sir\nYours\n```\n", "Dear Sir\nYours"},
      {"transcriptionHeader", "Here is the transcription:\nDear Sir", "Dear Sir"},
      {"headerAloneStays", "Here is the transcription:", "Here is the transcription:"},
      {"refusal", "I'm sorry, I can't read this.", ""},
      {"refusalCaseIgnored", "  I CANNOT make this out  ", ""},
      {"refusalOnSecondLineStays", "Dear Sir\nI'm sorry", "Dear Sir\nI'm sorry"},
      {"crlf", "one line\r\ntwo line\r\n", "one line\ntwo line"},
  };
  for (const Case& c : cases) EXPECT_EQ(cleanModelOutput(c.in), c.want) << c.name;
}

TEST(TileMerger, CleanDropsChatterAndFiller) {
  EXPECT_EQ(clean({"Here's what it says", "Dear [?] Sir", "a b", "word ___ word",
                   "  The text reads as follows", "went ... home ?? today", "??", "I a"}),
            (std::vector<std::string>{"Dear Sir", "word word", "went home today"}));
  // Two letters or digits are too few before the filler goes; three stay.
  EXPECT_EQ(clean({"Ok then", "x [?] y", "x ?? 1y"}), (std::vector<std::string>{"Ok then", "x 1y"}));
  EXPECT_TRUE(clean({"I'm sorry, I cannot read this."}).empty());
}

TEST(TileMerger, MeasuresOnCharacters) {
  EXPECT_EQ(norm("Hello,  World!"), "hello world");
  EXPECT_EQ(norm("  --Dear Sir--  "), "dear sir");
  EXPECT_EQ(norm("Ça va?"), "ça va");
  EXPECT_DOUBLE_EQ(similarity("market", "arket"), 1 - 1.0 / 6);
  EXPECT_DOUBLE_EQ(similarity("", ""), 1);
  EXPECT_DOUBLE_EQ(similarity("", "a"), 0);
  // Canonically equivalent spellings are the same characters; a grapheme counts once.
  EXPECT_DOUBLE_EQ(similarity("caf\u00e9", "cafe\u0301"), 1);
  EXPECT_DOUBLE_EQ(similarity("cafe\u0301", "cafe"), 0.75);

  struct Case {
    const char* name;
    const char* a;
    const char* b;
    bool same, exact;
  } cases[] = {
      {"equalNorms", "Dear Sir,", "dear sir", true, true},
      {"similar", "the cat sat on the mat", "the cot sat on the mat", true, false},
      {"contained", "went to the market", "and then we went to the market today", true, false},
      {"shortNotContained", "the mat", "the cat sat on the mat", false, false},
      {"different", "yours faithfully", "dear sir", false, false},
  };
  for (const Case& c : cases) {
    LineMatch m = isSameLine(c.a, c.b);
    EXPECT_EQ(m.same, c.same) << c.name;
    EXPECT_EQ(m.exact, c.exact) << c.name;
  }
}

TEST(TileMerger, TryJoin) {
  struct Case {
    const char* name;
    const char* a;
    const char* b;
    std::optional<std::string> want;
  } cases[] = {
      {"oneSharedWord", "the quick brown", "brown fox jumps", "the quick brown fox jumps"},
      {"cutPieceBeatsFuzzyWord", "we went to the market", "arket and bought bread",
       "we went to the market and bought bread"},
      {"nothingShared", "a b", "c d", std::nullopt},
      {"exactScoreTwo", "sat in", "in bed", "sat in bed"},
      {"twoSharedWords", "we walked along the river", "the river was high",
       "we walked along the river was high"},
      {"longerLeftReadingWins", "to the harbour", "harbou and back", "to the harbour and back"},
      {"punctuationIgnored", "said hello,", "Hello to all", "said Hello to all"},
      {"emptyLine", "", "anything", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(tryJoin(c.a, c.b), c.want) << c.name;
}

TEST(TileMerger, CollectDisagreements) {
  struct Case {
    const char* name;
    const char* first;
    const char* second;
    std::vector<UncertainWord> want;
  } cases[] = {
      {"oneWord", "the cat sat", "the cot sat", {{"cat", "cot"}}},
      {"differentLength", "I am", "I was", {{"am", "was"}}},
      {"singleCharactersSkipped", "we saw a", "we saw o", {}},
      {"spelling", "the colour", "the color", {{"colour", "color"}}},
      {"caseKeptPunctuationTrimmed", "Dear Mary,", "Dear Marg.", {{"Mary", "Marg"}}},
      {"unpairedDropped", "one two three", "one three", {}},
      {"emptySide", "", "the cat", {}},
  };
  for (const Case& c : cases) {
    std::vector<UncertainWord> got;
    collectDisagreements(c.first, c.second, got);
    EXPECT_EQ(got, c.want) << c.name;
  }
}

TEST(TileMerger, StacksBands) {
  // A repeated last line is dropped without uncertain words.
  MergedPage p = merge({tileText(1, 1, {"Dear Sir", "the weather was fine"}),
                        tileText(2, 1, {"the weather was fine", "we sailed at noon"})});
  EXPECT_EQ(p.lines, (std::vector<std::string>{"Dear Sir", "the weather was fine", "we sailed at noon"}));
  EXPECT_TRUE(p.uncertain.empty());

  // One word differs: not appended, the page's word is Chosen.
  p = merge({tileText(1, 1, {"the cot sat on the mat"}), tileText(2, 1, {"the cat sat on the mat"})});
  EXPECT_EQ(p.lines, (std::vector<std::string>{"the cot sat on the mat"}));
  EXPECT_EQ(p.uncertain, (std::vector<UncertainWord>{{"cot", "cat"}}));

  // A longer reading of the same line replaces the page's.
  p = merge({tileText(1, 1, {"we went to the market"}),
             tileText(2, 1, {"we went to the market and back"})});
  EXPECT_EQ(p.lines, (std::vector<std::string>{"we went to the market and back"}));

  // Only the last 8 lines before the band are candidates.
  std::vector<std::string> nine = {"first line of many", "second line here", "third one now",
                                   "fourth of them",     "fifth in order",   "sixth comes next",
                                   "seventh in the row", "eighth nearly done", "ninth and last"};
  p = merge({tileText(1, 1, nine), tileText(2, 1, {"first line of many"})});
  EXPECT_EQ(p.lines.size(), 10u);
  EXPECT_EQ(p.lines.back(), "first line of many");

  // Only the first 6 lines of a band are tested.
  p = merge({tileText(1, 1, {"only line above"}),
             tileText(2, 1, {"one new line", "two new lines", "three new lines", "four new lines",
                             "five new lines", "six new lines", "only line above"})});
  EXPECT_EQ(p.lines.size(), 8u);
  EXPECT_EQ(p.lines.back(), "only line above");
}

TEST(TileMerger, UncertainPairsStoredOnceIgnoringCase) {
  MergedPage p = merge({tileText(1, 1, {"Dear Mary how are you"}),
                        tileText(2, 1, {"Dear Marg how are you", "dear mary how are you"}),
                        tileText(3, 1, {"dear MARG how are you"})});
  EXPECT_EQ(p.uncertain, (std::vector<UncertainWord>{{"Mary", "Marg"}}));
}

TEST(TileMerger, InsertsUnmatchedRightHandLines) {
  // "zebra crossing" meets nothing: it goes after the line at the search start...
  MergedPage p = merge({tileText(1, 1, {"alpha bravo charlie", "delta echo foxtrot"}),
                        tileText(1, 2, {"zebra crossing ahead"})});
  EXPECT_EQ(p.lines, (std::vector<std::string>{"alpha bravo charlie", "zebra crossing ahead",
                                               "delta echo foxtrot"}));
  // ...or before it when the following right-hand line meets that line.
  p = merge({tileText(1, 1, {"alpha bravo charlie", "delta echo foxtrot"}),
             tileText(1, 2, {"zebra crossing ahead", "charlie golf hotel"})});
  EXPECT_EQ(p.lines, (std::vector<std::string>{"zebra crossing ahead", "alpha bravo charlie golf hotel",
                                               "delta echo foxtrot"}));
}

// A known page cut like the tiler cuts it: two columns that share whole words
// on some lines, and on others see a word cut by the seam (the right tile
// reading only its end, or both tiles reading part of a word), and three
// bands that repeat two lines each. The merge must give the page back.
TEST(TileMerger, RebuildsAKnownPage) {
  const std::vector<std::string> page = {
      "My dearest Margaret, the winter has been long",
      "and the snow lay deep around the farmhouse door",
      "Father went to the market in Ashford on Tuesday",
      "and came home with flour, salt and a new lamp",
      "little Thomas has grown remarkably tall, you would hardly know him",
      "he asks every single evening whether dearest auntie will visit again",
      "the cows are well and the old mare is expecting",
      "Reverend Cole preached on patience last Sunday",
      "which made mother laugh quietly behind her gloves",
      "we hope the spring brings better roads for travel",
      "please write soon and tell us all of your news",
      "your loving sister always, Elizabeth Harrow",
  };
  std::vector<TileText> tiles;
  const std::size_t bands[][2] = {{0, 5}, {3, 9}, {7, 12}};
  for (std::size_t r = 0; r < 3; ++r) {
    std::vector<std::string> left, right;
    for (std::size_t i = bands[r][0]; i < bands[r][1]; ++i) {
      std::vector<std::string> w = words(page[i]);
      std::size_t seam = w.size() / 2;
      std::string tail = w[seam - 1].substr(w[seam - 1].size() / 2);
      switch (i % 3) {
        case 0:  // two whole words in both tiles
          left.push_back(joinWords(w, 0, seam + 1));
          right.push_back(joinWords(w, seam - 1, w.size()));
          break;
        case 1:  // the right tile reads the end of the left tile's last word
          left.push_back(joinWords(w, 0, seam));
          right.push_back(tail + " " + joinWords(w, seam, w.size()));
          break;
        default:  // the left tile ends in a word's start, the right one begins with a word's end
          left.push_back(joinWords(w, 0, seam + 1) + " " + w[seam + 1].substr(0, 2));
          right.push_back(tail + " " + joinWords(w, seam, w.size()));
          break;
      }
    }
    // The model's chatter around the text.
    left.insert(left.begin(), "Here is the transcription:");
    right.insert(right.begin(), "```");
    right.push_back("```");
    tiles.push_back(tileText(static_cast<std::int64_t>(r + 1), 2, right));
    tiles.push_back(tileText(static_cast<std::int64_t>(r + 1), 1, left));
  }
  MergedPage merged = merge(tiles);
  EXPECT_EQ(merged.lines, page);
  EXPECT_TRUE(merged.uncertain.empty());
}

}  // namespace
}  // namespace quorvel
