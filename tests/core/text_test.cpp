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

}  // namespace
}  // namespace quorvel
