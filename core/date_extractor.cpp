#include "core/date_extractor.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "core/text.h"

namespace quorvel::DateExtractor {

namespace {

constexpr std::array<const char*, 12> kMonths{"january", "february", "march",     "april",
                                              "may",     "june",     "july",      "august",
                                              "september", "october", "november", "december"};

#define QUORVEL_MONTH                                                                        \
  "(jan(?:uary)?|feb(?:ruary)?|mar(?:ch)?|apr(?:il)?|may|june?|july?|aug(?:ust)?|sept?(?:" \
  "ember)?|oct(?:ober)?|nov(?:ember)?|dec(?:ember)?)"

const char* const kMonthDayYear =
    R"(\b)" QUORVEL_MONTH R"(\.?\s+(\d{1,2})(?:st|nd|rd|th)?,?\s+(1[5-9]\d\d|20\d\d)\b)";
const char* const kDayMonthYear =
    R"(\b(\d{1,2})(?:st|nd|rd|th)?\s+)" QUORVEL_MONTH R"(\.?,?\s+(1[5-9]\d\d|20\d\d)\b)";
const char* const kNumeric = R"(\b(\d{1,4})[/\-.](\d{1,2})[/\-.](\d{2,4})\b)";
const char* const kDayOfMonth =
    R"(\b(\d{1,2})(?:st|nd|rd|th)?\s+day\s+of\s+)" QUORVEL_MONTH
    R"(\.?,?\s*(?:A\.?\s?D\.?)?\s*(1[5-9]|20)\s*_*\s*(\d)\s?(\d)\b)";
const char* const kPrintedCentury = R"(A\.?\s?D\.?\s*(1[5-9]|20)\s*_*\s*(\d)\s?(\d)\b)";
const char* const kMonthYear = R"(\b)" QUORVEL_MONTH R"(\.?,?\s+(1[5-9]\d\d|20\d\d)\b)";
const char* const kYear = R"(\b(1[5-9]\d\d|20\d\d)\b)";

#undef QUORVEL_MONTH

// Compiled once; a RegexPattern is immutable and shared, each use makes its
// own matcher.
std::unique_ptr<icu::RegexPattern> compile(const char* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
      icu::UnicodeString::fromUTF8(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status)) compiled.reset();  // constant patterns: never happens
  return compiled;
}

struct Patterns {
  std::unique_ptr<icu::RegexPattern> monthDayYear = compile(kMonthDayYear);
  std::unique_ptr<icu::RegexPattern> dayMonthYear = compile(kDayMonthYear);
  std::unique_ptr<icu::RegexPattern> numeric = compile(kNumeric);
  std::unique_ptr<icu::RegexPattern> dayOfMonth = compile(kDayOfMonth);
  std::unique_ptr<icu::RegexPattern> printedCentury = compile(kPrintedCentury);
  std::unique_ptr<icu::RegexPattern> monthYear = compile(kMonthYear);
  std::unique_ptr<icu::RegexPattern> year = compile(kYear);
};

const Patterns& patterns() {
  static const Patterns compiled;
  return compiled;
}

struct Match {
  std::vector<std::string> groups;  // 0 is the whole match; "" for a group not taken
  int32_t start = 0;                // UTF-16 offset of the whole match
};

std::vector<Match> matches(const icu::RegexPattern* pattern, const icu::UnicodeString& text) {
  std::vector<Match> found;
  if (!pattern) return found;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
  if (U_FAILURE(status)) return found;
  while (matcher->find(status) && U_SUCCESS(status)) {
    Match match;
    match.start = matcher->start(status);
    const int32_t count = matcher->groupCount();
    for (int32_t i = 0; i <= count; ++i) {
      std::string group;
      matcher->group(i, status).toUTF8String(group);
      match.groups.push_back(std::move(group));
    }
    if (U_FAILURE(status)) break;
    found.push_back(std::move(match));
  }
  return found;
}

bool asciiDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A whole decimal integer with an optional sign; \d also matches digits of
// other scripts, which give none here.
std::optional<long long> integer(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  if (!asciiDigits(s)) return std::nullopt;
  long long value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return negative ? -value : value;
}

std::optional<int> month(const std::string& name) {
  const auto characters = text::graphemes(text::lowercased(name));
  if (characters.size() < 3) return std::nullopt;
  const std::string prefix = characters[0] + characters[1] + characters[2];
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (std::string_view(kMonths[i]).starts_with(prefix)) return static_cast<int>(i) + 1;
  }
  return std::nullopt;
}

std::string twoDigits(long long n) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%02lld", n);
  return buffer;
}

std::string isoDate(long long year, long long month, long long day) {
  char buffer[72];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lld", year, month, day);
  return buffer;
}

bool validDay(const std::optional<long long>& day) { return day && *day >= 1 && *day <= 31; }

bool leapYear(long long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Whether the day exists in that month of that year on the Gregorian
// calendar: a stored date must name a real day, so 31 April and 29 February
// 1900 give none (the month or year alone may still be found by a later pass).
bool onCalendar(long long year, long long month, long long day) {
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  if (month == 2 && day == 29) return leapYear(year);
  return day <= kDays[month - 1];
}

// Whether the four digits starting at `start` follow a date written in
// digits, with one space or hyphen between: camera and phone file names put
// the time after the date ("IMG_20190704_1530", "2019-07-04_1530"), and a time
// such as 1530 is no year.
bool followsNumericDate(const icu::UnicodeString& text, int32_t start) {
  auto digit = [&](int32_t i) { return text.charAt(i) >= u'0' && text.charAt(i) <= u'9'; };
  int32_t end = start - 1;  // the separator
  if (end < 1 || (text.charAt(end) != u' ' && text.charAt(end) != u'-')) return false;
  int32_t first = end;
  while (first > 0 && digit(first - 1)) --first;
  if (end - first == 8) return true;  // 20190704
  // 2019-07-04 or 2019.07.04: two groups of one or two digits after four.
  int32_t i = end;
  for (int group = 0; group < 2; ++group) {
    const int32_t groupEnd = i;
    while (i > 0 && digit(i - 1)) --i;
    if (groupEnd - i < 1 || groupEnd - i > 2 || i < 1) return false;
    const char16_t separator = text.charAt(--i);
    if (separator != u'-' && separator != u'.' && separator != u'/') return false;
  }
  const int32_t yearEnd = i;
  while (i > 0 && digit(i - 1)) --i;
  return yearEnd - i == 4;
}

}  // namespace

std::vector<ItemDate> extract(const std::string& input, std::int64_t itemId) {
  std::string replaced = input;
  for (char& c : replaced) {
    if (c == '_') c = ' ';
  }
  if (text::trimmed(replaced).empty()) return {};
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(replaced);
  const Patterns& rx = patterns();

  std::map<std::string, ItemDate> found;
  auto add = [&](const std::string& value, const std::string& source) {
    if (found.count(value)) return;  // the first finding of a value keeps its source
    found.emplace(value, ItemDate(itemId, value, text::trimmed(source), false));
  };
  auto hasPrefix = [&](const std::string& value) {
    for (const auto& [stored, date] : found) {
      if (std::string_view(stored).starts_with(value)) return true;
    }
    return false;
  };
  // A year as written goes into the value; one with digits of another script
  // would be stored as a date no year filter or sort understands.
  auto year = [](const std::string& written) { return asciiDigits(written); };

  for (const Match& m : matches(rx.monthDayYear.get(), text)) {
    const auto mon = month(m.groups[1]);
    const auto day = integer(m.groups[2]);
    if (!mon || !validDay(day) || !year(m.groups[3])) continue;
    if (!onCalendar(*integer(m.groups[3]), *mon, *day)) continue;
    add(m.groups[3] + "-" + twoDigits(*mon) + "-" + twoDigits(*day), m.groups[0]);
  }
  for (const Match& m : matches(rx.dayMonthYear.get(), text)) {
    const auto day = integer(m.groups[1]);
    const auto mon = month(m.groups[2]);
    if (!validDay(day) || !mon || !year(m.groups[3])) continue;
    if (!onCalendar(*integer(m.groups[3]), *mon, *day)) continue;
    add(m.groups[3] + "-" + twoDigits(*mon) + "-" + twoDigits(*day), m.groups[0]);
  }
  for (const Match& m : matches(rx.numeric.get(), text)) {
    const auto a = integer(m.groups[1]);
    const auto b = integer(m.groups[2]);
    auto c = integer(m.groups[3]);
    if (!a || !b || !c) continue;
    if (*a < 1500) {  // month/day/year
      if (*a < 1 || *a > 12 || !validDay(b)) continue;
      if (m.groups[3].size() == 2) *c += *c > 30 ? 1900 : 2000;
      if (*c < 1500 || *c > 2100 || !onCalendar(*c, *a, *b)) continue;
      add(isoDate(*c, *a, *b), m.groups[0]);
    } else {  // year-month-day
      if (*b < 1 || *b > 12 || !validDay(c) || !onCalendar(*a, *b, *c)) continue;
      add(isoDate(*a, *b, *c), m.groups[0]);
    }
  }
  for (const Match& m : matches(rx.dayOfMonth.get(), text)) {
    const auto mon = month(m.groups[2]);
    const auto day = integer(m.groups[1]);
    const std::string written = m.groups[3] + m.groups[4] + m.groups[5];
    if (!mon || !validDay(day) || !year(written)) continue;
    if (!onCalendar(*integer(written), *mon, *day)) continue;
    add(written + "-" + twoDigits(*mon) + "-" + twoDigits(*day), m.groups[0]);
  }
  for (const Match& m : matches(rx.printedCentury.get(), text)) {
    const std::string value = m.groups[1] + m.groups[2] + m.groups[3];
    if (year(value) && !hasPrefix(value)) add(value, m.groups[0]);
  }
  for (const Match& m : matches(rx.monthYear.get(), text)) {
    const auto mon = month(m.groups[1]);
    if (!mon || !year(m.groups[2])) continue;
    const std::string value = m.groups[2] + "-" + twoDigits(*mon);
    if (!hasPrefix(value)) add(value, m.groups[0]);
  }
  for (const Match& m : matches(rx.year.get(), text)) {
    const std::string& value = m.groups[1];
    if (!year(value) || hasPrefix(value) || followsNumericDate(text, m.start)) continue;
    // Up to 18 UTF-16 units either side of the year's start.
    int32_t from = std::max<int32_t>(m.start - 18, 0);
    int32_t to = std::min<int32_t>(m.start + 18, text.length());
    // A cut through a surrogate pair would leave half a character (U+FFFD).
    if (from > 0 && U16_IS_TRAIL(text.charAt(from)) && U16_IS_LEAD(text.charAt(from - 1))) ++from;
    if (to < text.length() && U16_IS_TRAIL(text.charAt(to)) && U16_IS_LEAD(text.charAt(to - 1))) --to;
    icu::UnicodeString excerpt = text.tempSubStringBetween(from, to);
    excerpt.findAndReplace(u"\n", u" ");
    excerpt.findAndReplace(u"\r", u" ");
    std::string source;
    excerpt.toUTF8String(source);
    add(value, source);
  }

  std::vector<ItemDate> dates;
  dates.reserve(found.size());
  for (auto& [value, date] : found) dates.push_back(std::move(date));
  return dates;
}

std::vector<ItemDate> extractForItem(const std::string& text, const std::string& fileName,
                                     std::int64_t itemId) {
  return extract(text + "\n" + quorvel::text::withoutExtension(fileName), itemId);
}

std::string pretty(const std::string& value) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= value.size()) {
    const std::size_t dash = std::min(value.find('-', start), value.size());
    if (dash > start) pieces.push_back(value.substr(start, dash - start));
    start = dash + 1;
  }
  if (pieces.size() == 1) return pieces[0];
  if (pieces.size() != 2 && pieces.size() != 3) return value;
  const auto mon = integer(pieces[1]);
  if (!mon || *mon < 1 || *mon > 12) return value;
  std::string name = kMonths[static_cast<std::size_t>(*mon - 1)];
  name[0] = static_cast<char>(name[0] - 'a' + 'A');
  if (pieces.size() == 2) return name + " " + pieces[0];
  const auto day = integer(pieces[2]);
  if (!day) return value;
  return name + " " + std::to_string(*day) + ", " + pieces[0];
}

}  // namespace quorvel::DateExtractor
