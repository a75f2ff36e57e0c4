// The small text helpers shared across the core.
#include "core/text.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(TextSplit, Table) {
  using V = std::vector<std::string>;
  struct Case {
    std::string s, separator;
    bool keepEmpty;
    V expected;
  } cases[] = {
      {"a,b,,c", ",", true, {"a", "b", "", "c"}},
      {"a,b,,c", ",", false, {"a", "b", "c"}},
      {",a,", ",", true, {"", "a", ""}},
      {"", ",", true, {""}},
      {"", ",", false, {}},
      {"one\n\ntwo\n\n\nthree", "\n\n", true, {"one", "two", "\nthree"}},
      {"no separator", "", true, {"no separator"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(text::split(c.s, c.separator, c.keepEmpty), c.expected) << '"' << c.s << '"';
}

TEST(TextReplaceAll, ScansPastEachReplacement) {
  EXPECT_EQ(text::replaceAll("a@b@@", "@", "@@"), "a@@b@@@@");
  EXPECT_EQ(text::replaceAll("x\r\n\r\ny", "\r\n", "\n"), "x\n\ny");
  EXPECT_EQ(text::replaceAll("aaa", "aa", "a"), "aa");
  EXPECT_EQ(text::replaceAll("unchanged", "", "x"), "unchanged");
}

TEST(TextRegex, UnicodeAwareMatchingAndABrokenPatternMatchesNothing) {
  const text::Regex name("^(img|scan)\\s*\\d+$", /*caseInsensitive=*/true);
  EXPECT_TRUE(name.matches("IMG 0042"));
  EXPECT_FALSE(name.matches("IMG 0042 back"));
  EXPECT_TRUE(name.find("IMG 0042"));

  const text::Regex numbers("\\b\\d{2,}\\b");
  EXPECT_EQ(numbers.groups("In 1921, 3 of 12 (\u0661\u0669) came", 0),
            (std::vector<std::string>{"1921", "12", "\u0661\u0669"}));
  EXPECT_EQ(text::Regex("\\s{2,}").replaceAll("a  b\u00a0\u00a0c", " "), "a b c");
  EXPECT_EQ(text::Regex("\\[(\\d+)\\]").replaceAll("see [2]", "($1)"), "see (2)");

  const text::Regex broken("([unclosed");
  EXPECT_FALSE(broken.compiled());
  EXPECT_FALSE(broken.find("([unclosed"));
  EXPECT_EQ(broken.groups("x", 0), std::nullopt);
  EXPECT_EQ(broken.replaceAll("kept", "x"), "kept");
}

}  // namespace
}  // namespace quorvel
