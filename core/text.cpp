#include "core/text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <memory>

#include "core/models.h"

namespace quorvel::text {

namespace {
icu::UnicodeString toUnicode(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}
std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}
}  // namespace

std::vector<char32_t> codePoints(std::string_view utf8) {
  icu::UnicodeString s = toUnicode(utf8);
  std::vector<char32_t> out;
  out.reserve(static_cast<std::size_t>(s.length()));
  for (std::int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    out.push_back(static_cast<char32_t>(c));
    i += U16_LENGTH(c);
  }
  return out;
}

std::string fromCodePoints(const std::vector<char32_t>& cps) {
  icu::UnicodeString s;
  for (char32_t c : cps) s.append(static_cast<UChar32>(c));
  return toUtf8(s);
}

std::string fromCodePoint(char32_t cp) { return fromCodePoints({cp}); }

std::u16string toUtf16(std::string_view utf8) {
  icu::UnicodeString s = toUnicode(utf8);
  return std::u16string(reinterpret_cast<const char16_t*>(s.getBuffer()),
                        static_cast<std::size_t>(s.length()));
}

std::string fromUtf16(std::u16string_view utf16) {
  icu::UnicodeString s(utf16.data(), static_cast<std::int32_t>(utf16.size()));
  return toUtf8(s);
}

bool isLetter(char32_t cp) {
  auto t = u_charType(static_cast<UChar32>(cp));
  return t >= U_UPPERCASE_LETTER && t <= U_OTHER_LETTER;
}
bool isDigit(char32_t cp) { return u_charType(static_cast<UChar32>(cp)) == U_DECIMAL_DIGIT_NUMBER; }
bool isNumber(char32_t cp) {
  auto t = u_charType(static_cast<UChar32>(cp));
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}
bool isLetterOrNumber(char32_t cp) { return isLetter(cp) || isNumber(cp); }
bool isWhitespace(char32_t cp) {
  return u_isUWhiteSpace(static_cast<UChar32>(cp)) || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}
bool isPunctuation(char32_t cp) { return u_ispunct(static_cast<UChar32>(cp)); }
bool isUppercase(char32_t cp) { return u_isupper(static_cast<UChar32>(cp)); }

std::string lowercased(std::string_view utf8) { return toUtf8(toUnicode(utf8).toLower(icu::Locale::getRoot())); }
std::string uppercased(std::string_view utf8) { return toUtf8(toUnicode(utf8).toUpper(icu::Locale::getRoot())); }

std::string nfc(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(utf8);
  icu::UnicodeString out = n->normalize(toUnicode(utf8), status);
  if (U_FAILURE(status)) return std::string(utf8);
  return toUtf8(out);
}

std::string trimmed(std::string_view utf8) {
  auto cps = codePoints(utf8);
  std::size_t begin = 0, end = cps.size();
  while (begin < end && isWhitespace(cps[begin])) ++begin;
  while (end > begin && isWhitespace(cps[end - 1])) --end;
  if (begin == 0 && end == cps.size() && isValidUtf8(utf8)) return std::string(utf8);
  return fromCodePoints(std::vector<char32_t>(cps.begin() + static_cast<std::ptrdiff_t>(begin),
                                              cps.begin() + static_cast<std::ptrdiff_t>(end)));
}

std::vector<std::string> graphemes(std::string_view utf8) {
  icu::UnicodeString s = toUnicode(utf8);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  std::vector<std::string> out;
  if (U_FAILURE(status) || !it) {
    for (char32_t c : codePoints(utf8)) out.push_back(fromCodePoint(c));
    return out;
  }
  it->setText(s);
  std::int32_t start = it->first();
  for (std::int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    icu::UnicodeString piece;
    s.extract(start, end - start, piece);
    out.push_back(toUtf8(piece));
  }
  return out;
}

std::size_t graphemeCount(std::string_view utf8) { return graphemes(utf8).size(); }

std::vector<std::string> split(std::string_view s, std::string_view separator, bool keepEmpty) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    std::size_t at = separator.empty() ? std::string_view::npos : s.find(separator, start);
    std::string_view piece = s.substr(start, at == std::string_view::npos ? s.npos : at - start);
    if (keepEmpty || !piece.empty()) out.emplace_back(piece);
    if (at == std::string_view::npos) return out;
    start = at + separator.size();
  }
}

std::string replaceAll(std::string s, std::string_view from, std::string_view to) {
  if (from.empty()) return s;
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
    s.replace(at, from.size(), to);
  return s;
}

std::string withoutExtension(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? fileName : fileName.substr(0, dot));
}

Regex::Regex(const char* pattern, bool caseInsensitive) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern),
                                            caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0,
                                            parseError, status));
  if (U_FAILURE(status)) pattern_.reset();
}

Regex::~Regex() = default;

bool Regex::find(std::string_view s) const {
  if (!pattern_) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString subject = toUnicode(s);
  std::unique_ptr<icu::RegexMatcher> m(pattern_->matcher(subject, status));
  return U_SUCCESS(status) && m->find(status) && U_SUCCESS(status);
}

bool Regex::matches(std::string_view s) const {
  if (!pattern_) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString subject = toUnicode(s);
  std::unique_ptr<icu::RegexMatcher> m(pattern_->matcher(subject, status));
  return U_SUCCESS(status) && m->matches(status) && U_SUCCESS(status);
}

std::string Regex::replaceAll(std::string_view s, std::string_view with) const {
  if (!pattern_) return std::string(s);
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString subject = toUnicode(s);
  std::unique_ptr<icu::RegexMatcher> m(pattern_->matcher(subject, status));
  if (U_FAILURE(status)) return std::string(s);
  icu::UnicodeString result = m->replaceAll(toUnicode(with), status);
  if (U_FAILURE(status)) return std::string(s);
  return toUtf8(result);
}

std::optional<std::vector<std::string>> Regex::groups(std::string_view s, int group) const {
  if (!pattern_) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString subject = toUnicode(s);
  std::unique_ptr<icu::RegexMatcher> m(pattern_->matcher(subject, status));
  if (U_FAILURE(status)) return std::nullopt;
  std::vector<std::string> found;
  while (m->find(status) && U_SUCCESS(status)) {
    icu::UnicodeString g = m->group(group, status);
    if (U_FAILURE(status)) return std::nullopt;
    found.push_back(toUtf8(g));
  }
  if (U_FAILURE(status)) return std::nullopt;
  return found;
}

}  // namespace quorvel::text
