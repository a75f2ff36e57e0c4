// The translator's text helpers: the source text and its hash, chunks for
// the model, and language detection on CLD2 with English names from ICU.
// Lengths are counted in user-perceived characters.
#include <cstdio>  // before CLD2's header, which uses it without including it

#include <cld2/public/compact_lang_det.h>
#include <openssl/evp.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "core/translator.h"

namespace quorvel {

namespace {


std::string trimSpacesAndTabs(const std::string& s) {
  std::size_t begin = 0, end = s.size();
  while (begin < end && (s[begin] == ' ' || s[begin] == '\t')) ++begin;
  while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
  return s.substr(begin, end - begin);
}

bool isSentenceEnd(const std::string& grapheme) {
  return grapheme == "." || grapheme == "!" || grapheme == "?" || grapheme == ";";
}

class Cld2Recognizer : public LanguageRecognizer {
 public:
  LanguageGuess mostLikely(const std::string& s) const override {
    // CLD2 answers "unknown" for invalid UTF-8: replace bad bytes first.
    const std::string valid = text::fromCodePoints(text::codePoints(s));
    CLD2::Language languages[3];
    int percents[3] = {0, 0, 0};
    double scores[3] = {0, 0, 0};
    int textBytes = 0;
    bool reliable = false;
    CLD2::ExtDetectLanguageSummary(valid.data(), static_cast<int>(valid.size()),
                                   true /*is_plain_text*/, nullptr /*tld_hint*/,
                                   0 /*encoding_hint*/, CLD2::UNKNOWN_LANGUAGE, languages,
                                   percents, scores, &textBytes, &reliable);
    const CLD2::Language top = languages[0];
    if (top == CLD2::UNKNOWN_LANGUAGE || top == CLD2::TG_UNKNOWN_LANGUAGE) return {"und", 0};
    // CLD2 gives the share of the text in its top language and a reliability
    // flag, not a probability: an unreliable guess is halved, so it always
    // falls below the 0.6 a translation needs.
    double confidence = percents[0] / 100.0;
    if (!reliable) confidence /= 2;
    return {CLD2::LanguageCode(top), confidence};
  }
};

}  // namespace

const LanguageRecognizer& platformLanguageRecognizer() {
  static const Cld2Recognizer recognizer;
  return recognizer;
}

std::string englishLanguageName(const std::string& code) {
  UErrorCode status = U_ZERO_ERROR;
  UChar buffer[128];
  int32_t length = uloc_getDisplayLanguage(code.c_str(), "en_US", buffer, 128, &status);
  // ICU answers the code itself, with a warning, when its table has no name.
  if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING || length <= 0) return code;
  return text::fromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(buffer),
                                             static_cast<std::size_t>(length)));
}

std::optional<DetectedLanguage> Translator::detect(const std::string& s) {
  return detect(s, platformLanguageRecognizer());
}

std::optional<DetectedLanguage> Translator::detect(const std::string& s,
                                                   const LanguageRecognizer& recognizer) {
  int letters = 0;
  for (char32_t cp : text::codePoints(s))
    if (U_GET_GC_MASK(static_cast<UChar32>(cp)) & (U_GC_L_MASK | U_GC_M_MASK)) ++letters;
  if (letters < 40) return std::nullopt;
  const LanguageGuess guess = recognizer.mostLikely(s);
  if (guess.code.empty() || guess.confidence < 0.6) return std::nullopt;
  if (guess.code == "en" || guess.code == "und") return std::nullopt;
  return DetectedLanguage{guess.code, englishLanguageName(guess.code), guess.confidence};
}

std::string Translator::source(const std::optional<Transcription>& transcription) {
  if (!transcription) return "";
  return text::trimmed(transcription->text.empty() ? transcription->rawText : transcription->text);
}

std::string Translator::hash(const std::string& s) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(s.data(), s.size(), digest, &size, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 12; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xf];
  }
  return out;
}

std::vector<std::string> Translator::chunks(const std::string& s, int limit) {
  const std::size_t max = limit > 0 ? static_cast<std::size_t>(limit) : 1;
  std::vector<std::string> out;
  std::string current;
  auto flush = [&out, &current] {
    std::string piece = text::trimmed(current);
    if (!piece.empty()) out.push_back(std::move(piece));
    current.clear();
  };
  auto length = [](const std::string& t) { return text::graphemeCount(t); };

  for (const std::string& paragraph : text::split(s, "\n\n")) {
    const std::size_t paragraphLength = length(paragraph);
    if (length(current) + paragraphLength + 2 <= max) {
      if (!current.empty()) current += "\n\n";
      current += paragraph;
      continue;
    }
    flush();
    if (paragraphLength <= max) {
      current = paragraph;
      continue;
    }
    for (const std::string& line : text::split(paragraph, "\n")) {
      const std::size_t lineLength = length(line);
      if (length(current) + lineLength + 1 > max) flush();
      if (lineLength <= max) {
        if (!current.empty()) current += "\n";
        current += line;
        continue;
      }
      const std::vector<std::string> chars = text::graphemes(line);
      std::size_t at = 0;
      while (chars.size() - at > max) {
        std::size_t end = at + max;
        for (std::size_t k = at + max; k > at; --k) {
          if (isSentenceEnd(chars[k - 1])) {
            end = k;
            break;
          }
        }
        std::string piece;
        for (std::size_t k = at; k < end; ++k) piece += chars[k];
        piece = trimSpacesAndTabs(piece);
        if (!piece.empty()) out.push_back(std::move(piece));
        at = end;
      }
      for (std::size_t k = at; k < chars.size(); ++k) current += chars[k];
    }
  }
  flush();
  return out;
}

}  // namespace quorvel
