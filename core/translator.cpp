// Translation of an item's text chunk by chunk, its cleaning and its storage.
#include "core/translator.h"

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/catalog.h"
#include "core/failure.h"
#include "core/llama_server.h"
#include "core/text.h"
#include "core/tile_merger.h"

namespace quorvel {

const std::string& Translator::engineName() {
  static const std::string name = "translate-gemma";
  return name;
}

namespace {

// The least a chunk is cut to when the reader finds one too long.
constexpr std::size_t kShortChunk = 100;
const char* const kTooLong =
    "A passage of this text is too long for the reader to translate, even in small pieces.";

// The pieces of a chunk whose prompt `sent` was found too long, each small
// enough to fit; none when they would be shorter than kShortChunk.
std::vector<std::string> shorterChunks(const std::string& chunk, const std::string& sent,
                                       const PromptTooLong& tooLong) {
  const auto sentChars = static_cast<double>(text::graphemeCount(sent));
  const auto chunkChars = static_cast<double>(text::graphemeCount(chunk));
  // Always shorter than before, so that every piece's count is smaller.
  const double limit =
      std::min(tooLong.allowedChars(sent) - (sentChars - chunkChars), chunkChars * 0.9);
  if (limit < static_cast<double>(kShortChunk)) return {};
  return Translator::chunks(chunk, static_cast<int>(limit));
}

}  // namespace

Translator::Translator(Catalog& catalog, CompletionFunction complete)
    : catalog_(catalog), complete_(std::move(complete)) {}

bool Translator::isStale(const Translation& translation) {
  return isStale(translation, catalog_.getTranscription(translation.itemId));
}

bool Translator::isStale(const Translation& translation,
                         const std::optional<Transcription>& transcription) {
  return hash(source(transcription)) != translation.sourceHash;
}

std::string Translator::clean(const std::string& reply) {
  const std::string cleaned = TileMerger::cleanModelOutput(reply);
  std::size_t firstBreak = cleaned.find('\n');
  const std::string firstLine = text::lowercased(cleaned.substr(0, firstBreak));
  const bool preamble = !firstLine.empty() && firstLine.back() == ':' &&
                        (firstLine.find("translation") != std::string::npos ||
                         firstLine.find("here is") != std::string::npos ||
                         firstLine.find("in english") != std::string::npos);
  if (!preamble) return text::trimmed(cleaned);
  return firstBreak == std::string::npos ? "" : text::trimmed(cleaned.substr(firstBreak + 1));
}

Translation Translator::translate(std::int64_t itemId, const ProgressFunction& progress,
                                  std::stop_token stop) {
  const std::string text = source(catalog_.getTranscription(itemId));
  if (text.empty()) throw Failure("This scan has no text to translate yet.");
  const std::optional<DetectedLanguage> language = detect(text);
  if (!language) throw Failure("This text looks like it's already in English.");

  // Chunks still to send, the next first; one the reader finds too long is
  // cut smaller in its place.
  const std::vector<std::string> cut = chunks(text, chunkChars_);
  std::deque<std::string> pending(cut.begin(), cut.end());
  int total = static_cast<int>(pending.size());
  const std::string system =
      "You translate old family letters and records from " + language->name +
      " into plain, natural modern English. Translate everything; do not summarize, explain or "
      "add notes. Keep every person's name, place name and date exactly as written in the "
      "original. Keep the original line breaks. Keep any word in [square brackets] as it is. "
      "Return only the English translation.";
  std::vector<std::string> parts;
  while (!pending.empty()) {
    if (stop.stop_requested()) throw Cancelled();
    const int done = static_cast<int>(parts.size());
    if (progress) progress(done, total);
    const std::string user =
        "Translate this from " + language->name + " into English:\n\n" + pending.front();
    std::string reply;
    try {
      reply = complete_(system, user, stop);
    } catch (const PromptTooLong& tooLong) {
      std::vector<std::string> smaller = shorterChunks(pending.front(), system + user, tooLong);
      if (smaller.empty()) throw Failure(kTooLong);
      pending.pop_front();
      pending.insert(pending.begin(), smaller.begin(), smaller.end());
      total += static_cast<int>(smaller.size()) - 1;
      continue;
    }
    pending.pop_front();
    parts.push_back(clean(reply));
  }
  if (progress) progress(total, total);

  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) joined += (i ? "\n\n" : "") + parts[i];
  joined = text::trimmed(joined);
  if (joined.empty()) throw Failure("The reader didn't return a translation. Please try again.");

  Translation translation;
  translation.itemId = itemId;
  translation.language = language->code;
  translation.languageName = language->name;
  translation.text = std::move(joined);
  translation.engine = engineName();
  translation.sourceHash = hash(text);
  translation.updated = nowMicros();
  catalog_.saveTranslation(translation);
  // After a failed save the catalog may still hold an older translation: only
  // the one just made counts as read back.
  if (auto stored = catalog_.getTranslation(itemId);
      stored && stored->text == translation.text && stored->sourceHash == translation.sourceHash &&
      stored->language == translation.language && stored->engine == translation.engine)
    return *stored;
  return translation;
}

}  // namespace quorvel
