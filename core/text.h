#pragma once
// Unicode helpers on ICU shared by the text-handling services: code points,
// character classes, case, trimming and user-perceived characters.
// All functions take and return UTF-8.
#include <unicode/uversion.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace quorvel::text {

// The code points of the text (invalid bytes become U+FFFD).
std::vector<char32_t> codePoints(std::string_view utf8);
std::string fromCodePoints(const std::vector<char32_t>& cps);
std::string fromCodePoint(char32_t cp);

// UTF-16 for ICU and offsets counted in UTF-16 units.
std::u16string toUtf16(std::string_view utf8);
std::string fromUtf16(std::u16string_view utf16);

bool isLetter(char32_t cp);        // Unicode general category L*
bool isDigit(char32_t cp);         // Nd
bool isNumber(char32_t cp);        // N* (Nd, Nl, No)
bool isLetterOrNumber(char32_t cp);
bool isWhitespace(char32_t cp);    // white space and line breaks
bool isPunctuation(char32_t cp);   // P*
bool isUppercase(char32_t cp);

// Full Unicode case mapping (root locale).
std::string lowercased(std::string_view utf8);
std::string uppercased(std::string_view utf8);
// Unicode canonical composition (NFC), so "e" + U+0301 becomes one code point.
std::string nfc(std::string_view utf8);
// Without leading and trailing white space and line breaks.
std::string trimmed(std::string_view utf8);
// The user-perceived characters (extended grapheme clusters) in order.
std::vector<std::string> graphemes(std::string_view utf8);
std::size_t graphemeCount(std::string_view utf8);

// The pieces between occurrences of `separator` (not empty), in order; empty pieces are
// kept unless keepEmpty is false. A text without the separator is one piece.
std::vector<std::string> split(std::string_view s, std::string_view separator, bool keepEmpty = true);
// Every occurrence of `from` (not empty) replaced by `to`, scanning left to right past
// each replacement.
std::string replaceAll(std::string s, std::string_view from, std::string_view to);
// A file name without the text from its last "." ("1946 letter.png" gives "1946 letter");
// a leading dot is no extension.
std::string withoutExtension(std::string_view fileName);

// An ICU regular expression (Unicode-aware \b, \d, \s), compiled once; any thread may
// use it. A pattern that does not compile matches nothing.
class Regex {
 public:
  explicit Regex(const char* pattern, bool caseInsensitive = false);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  bool compiled() const { return pattern_ != nullptr; }
  // A match anywhere in the text.
  bool find(std::string_view s) const;
  // The whole text matches.
  bool matches(std::string_view s) const;
  // Every match replaced by `with` ($1 names a group); the text unchanged on failure.
  std::string replaceAll(std::string_view s, std::string_view with) const;
  // The given capture group of every match, in order; none when the pattern did not
  // compile or matching failed.
  std::optional<std::vector<std::string>> groups(std::string_view s, int group) const;

 private:
  std::unique_ptr<icu::RegexPattern> pattern_;
};

}  // namespace quorvel::text
