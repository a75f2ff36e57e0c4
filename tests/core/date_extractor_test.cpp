#include "core/date_extractor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

std::vector<std::string> values(const std::string& text) {
  std::vector<std::string> out;
  for (const ItemDate& d : DateExtractor::extract(text, 7)) out.push_back(d.value);
  return out;
}

TEST(DateExtractorTest, FindsTheDatesOfTheTable) {
  using V = std::vector<std::string>;
  struct Case {
    const char* text;
    V want;
  } cases[] = {
      {"", {}},
      {"  _ \n\r\t__ ", {}},
      {"no dates here, only 12 and 345", {}},
      {"June 3rd, 1947", {"1947-06-03"}},
      {"3 June 1947", {"1947-06-03"}},
      {"June 1947", {"1947-06"}},
      {"1947", {"1947"}},
      {"letter_june_3_1947", {"1947-06-03"}},
      {"Sept. 9, 1947", {"1947-09-09"}},
      {"MAR 5 1890", {"1890-03-05"}},
      {"6/3/47", {"1947-06-03"}},
      {"6/3/30", {"2030-06-03"}},
      {"6/3/31", {"1931-06-03"}},
      {"6/3/1492", {}},
      {"1947.06.03", {"1947-06-03"}},
      {"1947/6/03", {"1947-06-03"}},
      {"1947-6-3", {"1947"}},
      {"5000-01-01", {"5000-01-01"}},
      {"13/06/1947", {"1947"}},
      {"the 3rd day of June A.D. 19 47", {"1947-06-03"}},
      {"A.D. 19__47", {"1947"}},
      {"A.D. 1947 and then June 1947", {"1947", "1947-06"}},
      {"May 1899, December 1901 and 1850", {"1850", "1899-05", "1901-12"}},
      {"June 32, 1947", {"1947"}},
      {"1499 and 2100 are out of range", {}},
      {"in 1947 we moved; on 3 June 1947 we arrived", {"1947-06-03"}},
      {"Born 12/25/1900, married 1925-06-14", {"1900-12-25", "1925-06-14"}},
      {"tel. 555-1947", {"1947"}},
      {"19٤٧ is written with two scripts", {}},
      {"٦/٣/1947", {"1947"}},
  };
  for (const auto& c : cases) EXPECT_EQ(values(c.text), c.want) << "text: " << c.text;
}

TEST(DateExtractorTest, DaysThatAreNotOnTheCalendarAreNeverStored) {
  // Each form of a full date checks the month's length and leap years; the
  // month or year around an impossible day may still be found on its own.
  using V = std::vector<std::string>;
  struct Case {
    const char* text;
    V want;
  } cases[] = {
      {"2/30/1947", {"1947"}},
      {"29 February 1900", {"1900-02"}},
      {"February 29, 1900", {"1900"}},
      {"1900-02-29", {"1900"}},
      {"the 29th day of February A.D. 19 00", {"1900"}},
      {"31 April 1947", {"1947-04"}},
      {"April 31, 1947", {"1947"}},
      {"4/31/47", {}},
      {"1947.11.31", {"1947"}},
      {"5000-02-29", {}},
      {"February 29, 2000", {"2000-02-29"}},
      {"2/29/1904", {"1904-02-29"}},
      {"29 February 1600", {"1600-02-29"}},
      {"December 31, 1947", {"1947-12-31"}},
      {"30 April 1947", {"1947-04-30"}},
  };
  for (const auto& c : cases) EXPECT_EQ(values(c.text), c.want) << "text: " << c.text;
}

TEST(DateExtractorTest, TheTimeAfterANumericDateIsNoYear) {
  using V = std::vector<std::string>;
  struct Case {
    const char* text;
    V want;
  } cases[] = {
      {"IMG_20190704_1530", {}},
      {"VID_20190704-1530", {}},
      {"IMG 20190704 1530 1947", {"1947"}},
      {"2019-07-04_1530", {"2019-07-04"}},
      {"scan 1947.06.03 1530", {"1947-06-03"}},
      // Not after a date: still a year.
      {"IMG_1530", {"1530"}},
      {"box 12_1530", {"1530"}},
      {"2019070_1530", {"1530"}},
      {"tel. 555-1947", {"1947"}},
      {"1947-1950", {"1947", "1950"}},
  };
  for (const auto& c : cases) EXPECT_EQ(values(c.text), c.want) << "text: " << c.text;
}

TEST(DateExtractorTest, RecordsAreUnsavedAndCarryTheirSource) {
  const auto dates = DateExtractor::extract("Dear Anna,\nwritten on June 3rd, 1947 at home", 42);
  ASSERT_EQ(dates.size(), 1u);
  EXPECT_EQ(dates[0], ItemDate(42, "1947-06-03", "June 3rd, 1947", false));
  EXPECT_EQ(dates[0].id, 0);
}

TEST(DateExtractorTest, TheFirstPassToFindAValueGivesItsSource) {
  // The numeric form comes first in the text, the month-name form first in pass order.
  const auto dates = DateExtractor::extract("6/3/1947 or rather June 3, 1947", 1);
  ASSERT_EQ(dates.size(), 1u);
  EXPECT_EQ(dates[0].source, "June 3, 1947");
}

TEST(DateExtractorTest, BareYearSourceIsAnExcerptCutAtTheTextsEdges) {
  struct Case {
    const char* text;
    const char* source;
  } cases[] = {
      {"1947", "1947"},
      {"1947 was the year the house on the hill", "1947 was the year"},
      {"the house on the hill was built in\n1947", "hill was built in 1947"},
      {"we moved out of the old house\r\nin 1947, that summer it was", "the old house  in 1947, that summer"},
      {"\n\n 1947 \n", "1947"},
  };
  for (const auto& c : cases) {
    const auto dates = DateExtractor::extract(c.text, 1);
    ASSERT_EQ(dates.size(), 1u) << c.text;
    EXPECT_EQ(dates[0].source, c.source) << c.text;
  }
  // Offsets count UTF-16 units (an emoji is two); a cut through one leaves it out
  // rather than half of it.
  const auto wide = DateExtractor::extract("🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂 1947 🙂🙂🙂🙂🙂🙂🙂🙂", 1);
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_EQ(wide[0].source, "🙂🙂🙂🙂🙂🙂🙂🙂 1947 🙂🙂🙂🙂🙂🙂");
}

TEST(DateExtractorTest, Pretty) {
  struct Case {
    const char* value;
    const char* want;
  } cases[] = {
      {"1947-06-03", "June 3, 1947"}, {"1947-12", "December 1947"}, {"1947", "1947"},
      {"1947-13", "1947-13"},         {"spring 1947", "spring 1947"}, {"1947-00-01", "1947-00-01"},
      {"1947-01-xx", "1947-01-xx"},   {"1947--06", "June 1947"},     {"", ""},
      {"1-2-3-4", "1-2-3-4"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateExtractor::pretty(c.value), c.want) << c.value;
}

}  // namespace
}  // namespace quorvel
