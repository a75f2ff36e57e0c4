#include "core/models.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(ArchiveItem, DisplayTitleFallsBackToFileNameWithoutLastExtension) {
  struct Case { std::string title, fileName, expected; };
  for (const auto& c : std::vector<Case>{
           {"", "letter_1947.tiff", "letter_1947"},
           {"", "scan", "scan"},
           {"", "a.b.jpg", "a.b"},
           {" ", "x.jpg", " "},
           {"Grandma's letter", "x.jpg", "Grandma's letter"},
       }) {
    ArchiveItem item;
    item.title = c.title;
    item.fileName = c.fileName;
    EXPECT_EQ(item.displayTitle(), c.expected) << c.fileName;
  }
}

TEST(ArchiveItem, EqualityAndHashCoverEveryField) {
  ArchiveItem a;
  a.id = 4;
  ArchiveItem b = a;
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<ArchiveItem>{}(a), std::hash<ArchiveItem>{}(b));
  b.favorite = true;
  EXPECT_NE(a, b);
  EXPECT_EQ(a.id, b.id);
  b = a;
  b.linkedItemId = 9;
  EXPECT_NE(a, b);
}

TEST(ItemKind, FromIntegerAndLabels) {
  EXPECT_FALSE(itemKindFromInt(7));
  EXPECT_FALSE(itemKindFromInt(-1));
  ASSERT_TRUE(itemKindFromInt(3));
  EXPECT_EQ(*itemKindFromInt(3), ItemKind::photoBack);
  EXPECT_EQ(label(ItemKind::photoBack), "Back of photo");
  ASSERT_EQ(allItemKinds().size(), 7u);
  EXPECT_EQ(allItemKinds().front(), ItemKind::unknown);
  EXPECT_EQ(label(allItemKinds().front()), "Scan");
  EXPECT_FALSE(ocrStatusFromInt(5));
  EXPECT_EQ(*ocrStatusFromInt(4), OcrStatus::skipped);
}

TEST(UncertainWord, JsonRoundTripAndStrictDecoding) {
  auto words = decodeUncertainWords(R"([{"Chosen":"Mary","Alternative":"Mary?","extra":1}])");
  ASSERT_TRUE(words);
  ASSERT_EQ(words->size(), 1u);
  EXPECT_EQ((*words)[0], UncertainWord("Mary", "Mary?"));
  EXPECT_FALSE(decodeUncertainWords(R"([{"Chosen":"Mary"}])"));
  EXPECT_FALSE(decodeUncertainWords(R"([{"Chosen":"Mary","Alternative":3}])"));
  EXPECT_FALSE(decodeUncertainWords("not json"));
  auto back = decodeUncertainWords(encodeUncertainWords({{"a", "b"}, {"c\"", "d"}}));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), 2u);
  EXPECT_EQ((*back)[1].Chosen, "c\"");
  EXPECT_EQ(encodeUncertainWords({}), "[]");
}

TEST(ItemDate, NewDateHasIdZero) {
  ItemDate d(12, "1947-05", "May 1947", true);
  EXPECT_EQ(d.id, 0);
  EXPECT_EQ(d.itemId, 12);
  EXPECT_TRUE(d.confirmed);
}

// 2024-03-05T14:07:09Z in microseconds.
constexpr TimePoint kBase = 1709647629LL * 1000000;

TEST(Stamp, ReadsStoredAndLooserForms) {
  struct Case { std::string text; TimePoint expected; };
  for (const auto& c : std::vector<Case>{
           {"2024-03-05T14:07:09.250Z", kBase + 250000},
           {"2024-03-05T14:07:09.123456Z", kBase + 123000},
           {"2024-03-05T14:07:09.5", kBase + 500000},
           {"2024-03-05T14:07:09", kBase},
           {"2024-03-05T14:07:09Z", kBase},
           {"2024-03-05T14:07:09+02:00", kBase - 2 * 3600 * 1000000LL},
           {"2024-03-05T14:07:09-05:00", kBase + 5 * 3600 * 1000000LL},
           {"2024-03-05T14:07:09.250-05:00", kBase + 250000 + 5 * 3600 * 1000000LL},
           {"", 0},
           {"yesterday", 0},
           {"2024-02-30T00:00:00Z", 0},
       }) {
    EXPECT_EQ(Stamp::date(c.text), c.expected) << c.text;
  }
}

TEST(Stamp, WritesUtcWithMilliseconds) {
  EXPECT_EQ(Stamp::string(kBase + 250000), "2024-03-05T14:07:09.250Z");
  EXPECT_EQ(Stamp::string(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(Stamp::string(-1000), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(Stamp::string(Stamp::date("2000-02-29T23:59:59.999Z")), "2000-02-29T23:59:59.999Z");
}

TEST(Utf8, InvalidBytesAreReplaced) {
  EXPECT_TRUE(isValidUtf8("Jos\xC3\xA9"));
  EXPECT_FALSE(isValidUtf8("a\xFF" "b"));
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_EQ(replacingInvalidUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(replacingInvalidUtf8("\xC3"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quorvel
