#pragma once
// Translation of one scan's text into English by the local model, in chunks
// small enough for it, stored as the item's Translation with a hash of the
// text it was made from so that a later change of the text shows; and the
// language detection the translation section shows.
//
// Translator keeps no state between calls and has no threads or locks of its
// own: translate() blocks the calling thread while the model answers, one
// chunk at a time. One instance is used by one thread at a time; the
// type-level helpers may run on any thread at once.
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/archive_ask.h"
#include "core/models.h"

namespace quorvel {

class Catalog;
class HandwritingEngine;

// A language found in a text.
struct DetectedLanguage {
  std::string code;  // the recognizer's language code
  std::string name;  // the language's name in English
  double confidence = 0;  // 0.6 to 1

  bool operator==(const DetectedLanguage&) const = default;
};

// The one most likely language of a text, as a recognizer reports it.
struct LanguageGuess {
  std::string code;       // "en" for English, "und" when it cannot tell
  double confidence = 0;  // 0 to 1
};

// Language recognition behind one call. Implementations are stateless and
// may be used from any thread at once.
class LanguageRecognizer {
 public:
  virtual ~LanguageRecognizer() = default;
  virtual LanguageGuess mostLikely(const std::string& text) const = 0;
};

// The recognizer on CLD2.
const LanguageRecognizer& platformLanguageRecognizer();
// The English name of a language code from ICU's locale table, or the code
// itself when the table has none.
std::string englishLanguageName(const std::string& code);

class Translator {
 public:
  // (chunks done, chunks in all); called on the translating thread.
  using ProgressFunction = std::function<void(int done, int total)>;

  // Stored as the engine of every translation made here.
  static const std::string& engineName();

  Translator(Catalog& catalog, CompletionFunction complete);
  // With makeEngineCompletion(engine, status, 900). Starts nothing.
  Translator(Catalog& catalog, HandwritingEngine& engine, StatusFunction status = {});

  int chunkChars() const { return chunkChars_; }
  void setChunkChars(int value) { chunkChars_ = value; }

  // Translates the item's text chunk by chunk, stores the translation
  // (replacing an older one) and returns it as read back. Throws Failure
  // "This scan has no text to translate yet." for a blank text, "This text
  // looks like it's already in English." when no other language is detected,
  // and "The reader didn't return a translation. Please try again." when
  // every reply is empty. A chunk the completion finds too long
  // (PromptTooLong) is cut smaller and its pieces sent instead (the progress
  // total grows); Failure with a sentence when pieces of 100 characters are
  // still too long. Other errors of the completion function and Cancelled
  // (checked before each chunk) pass through and nothing is stored. A failed
  // store is not thrown: it stays in the catalog's lastError() and the
  // unsaved record is returned.
  Translation translate(std::int64_t itemId, const ProgressFunction& progress = {},
                        std::stop_token stop = {});

  // The language of a text when it is not English and the recognizer is
  // sure enough (confidence 0.6 or more); none for texts of fewer than 40
  // letters.
  static std::optional<DetectedLanguage> detect(const std::string& text);
  static std::optional<DetectedLanguage> detect(const std::string& text,
                                                const LanguageRecognizer& recognizer);
  // The text that is translated: the current text, else the raw text,
  // trimmed; empty without a transcription.
  static std::string source(const std::optional<Transcription>& transcription);
  // True when the item's current source text no longer has the translation's hash.
  bool isStale(const Translation& translation);
  // The same against the item's transcription as read.
  static bool isStale(const Translation& translation, const std::optional<Transcription>& transcription);
  // The first 12 bytes of the SHA-256 of the UTF-8 text in lower-case hex.
  static std::string hash(const std::string& text);
  // Pieces of at most `limit` characters, cut at paragraphs, then lines,
  // then sentence ends, and hard within a sentence longer than the limit.
  static std::vector<std::string> chunks(const std::string& text, int limit);
  // The translated text of a model reply, without fences, a leading
  // "Here is the translation:" line and surrounding white space.
  static std::string clean(const std::string& reply);

 private:
  Catalog& catalog_;
  CompletionFunction complete_;
  int chunkChars_ = 1100;
};

}  // namespace quorvel
