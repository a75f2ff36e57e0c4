#pragma once
// Questions about the family answered from the archive alone: search terms
// from the question, the best matching scans as numbered documents, an excerpt
// of each sent with the question to the local model, and the model's reply
// tested against the documents it cites.
//
// ArchiveAsk keeps no state between questions and has no threads or locks of
// its own: ask() blocks the calling thread while the model answers. One
// instance is used by one thread at a time; the type-level helpers may run on
// any thread at once.
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <unordered_set>
#include <vector>

namespace quorvel {

class Catalog;
class HandwritingEngine;
class PromptTooLong;

// Asks the local model: (system prompt, user text) to the reply text. Callable
// from any thread. Throws Failure with a sentence for the user when the model
// cannot answer, and Cancelled (or the request's cancellation) once `stop` is
// requested.
using CompletionFunction =
    std::function<std::string(const std::string& system, const std::string& user, std::stop_token stop)>;

// Receives the model server's start-up status texts; may be called from any thread.
using StatusFunction = std::function<void(const std::string&)>;

// The completion function over the engine's model server: on each call it
// copies the engine's settings, throws Failure "The reader that runs on this
// computer isn't installed yet." when they are not complete, starts the server
// if needed (status texts go to `status`), throws Failure with the server's
// reason (or "The reader couldn't start.") when it does not start, throws
// Cancelled when `stop` was requested by then, throws PromptTooLong when the
// prompt leaves the reply less than its `maxTokens` of the server's context
// (counted by the server, or refused by it), and sends the chat request with
// at most `maxTokens` tokens, temperature 0 and a time-out of the larger of
// tileTimeoutSeconds and 120 seconds. Errors of the request pass through
// unchanged. The engine must outlive the function.
CompletionFunction makeEngineCompletion(HandwritingEngine& engine, StatusFunction status,
                                        std::int64_t maxTokens);

// One numbered source of an answer.
struct AskSource {
  int number = 0;  // the number its excerpt had in the prompt
  std::int64_t itemId = 0;
  std::string title;
  std::optional<std::string> date;  // the catalog's date text
  std::string quote;                // the line that best supports the answer, at most 180 characters
  bool cited = false;               // the answer cited excerpt numbers

  int id() const { return number; }
  bool operator==(const AskSource&) const = default;
};

// The result of one question.
struct AskAnswer {
  std::string question;  // trimmed
  std::string text;      // shown to the user; notFound when found is false
  bool found = false;
  std::vector<AskSource> sources;    // in the order the answer cites them
  std::vector<std::string> unsupported;  // numbers of the answer no document contains
  double seconds = 0;                // from the start of ask() to the model's reply

  bool operator==(const AskAnswer&) const = default;
};

class ArchiveAsk {
 public:
  // One retrieved, numbered document.
  struct Doc {
    int number = 0;  // 1-based position in retrieval order, without gaps
    std::int64_t itemId = 0;
    std::string title;
    std::optional<std::string> date;  // earliest date text of the item
    std::string text;                 // everything the archive knows of the scan
    std::string excerpt;              // the part of text sent to the model
  };

  // The answer of every question the archive cannot answer, and what the
  // model is told to reply then.
  static const std::string& notFound();
  // The system prompt; ends with notFound().
  static const std::string& system();
  // The 96 lower-case English words that are never search terms, names or
  // answer words.
  static const std::unordered_set<std::string>& stopwords();

  ArchiveAsk(Catalog& catalog, CompletionFunction complete);
  // With makeEngineCompletion(engine, status, 320). Starts nothing.
  ArchiveAsk(Catalog& catalog, HandwritingEngine& engine, StatusFunction status = {});

  int maxSources() const { return maxSources_; }
  void setMaxSources(int value) { maxSources_ = value; }
  int excerptChars() const { return excerptChars_; }
  void setExcerptChars(int value) { excerptChars_ = value; }

  // The whole question cycle. Throws Failure "Type a question first." for a
  // blank question; errors of the completion function pass through unchanged,
  // except PromptTooLong: the prompt is then sent again with shorter excerpts,
  // and without the lowest-ranked documents when even short ones don't fit,
  // up to three tries in all, and Failure with a sentence when not even one
  // short excerpt fits beside the question.
  // When nothing in the archive matches, answers notFound() without asking
  // the model.
  AskAnswer ask(const std::string& question, std::stop_token stop = {});

  // Search terms of a question: lower-case words of letters, numbers and
  // apostrophes, "'s" cut and apostrophes removed, at least 3 characters, no
  // stop words, each once, in order.
  static std::vector<std::string> keywords(const std::string& question);
  // The part of a document sent to the model: the whole text when it has at
  // most `limit` characters, else the lines around those matching the terms
  // (each run of them after a "…" line), else the first `limit` characters.
  static std::string excerpt(const std::string& text, const std::vector<std::string>& terms,
                             int limit);
  // Words after the first that look like names (capitalised, more than two
  // characters, not stop words), lower-cased, repeats kept.
  static std::vector<std::string> names(const std::string& text);

  // Tests the model's reply against the documents and makes the answer: a
  // refusal, an empty reply or a name missing from the cited documents gives
  // the not-found answer. `names` absent: names(question). Never throws.
  static AskAnswer interpret(const std::string& reply, const std::string& question,
                             const std::vector<std::string>& terms, const std::vector<Doc>& docs,
                             double seconds,
                             const std::optional<std::vector<std::string>>& names = std::nullopt);
  // Lower-case words of letters and numbers, at least 3 characters, no stop
  // words, in order, repeats kept.
  static std::vector<std::string> words(const std::string& text);
  // The line of a document that best supports an answer; empty when the
  // document has no line besides the tagged people.
  static std::string bestLine(const std::string& text, const std::set<std::string>& answerWords,
                              const std::vector<std::string>& terms);

 private:
  // The maximal runs of user-perceived characters whose first code point
  // passes `inWord`, each in composed form (NFC), so that a decomposed "José"
  // is one word and compares equal to a composed one.
  static std::vector<std::string> splitWords(const std::string& text, bool (*inWord)(char32_t));

  // The excerpts a document gets at least, when a prompt must be shortened.
  static constexpr int kShortExcerpt = 200;

  std::vector<Doc> retrieve(const std::vector<std::string>& terms);
  // The user text: the numbered excerpts and the question.
  static std::string prompt(const std::vector<Doc>& docs, const std::string& question);
  // Cuts the excerpts (and drops the last documents) so that a prompt like
  // `sent`, found too long, fits; false when not even one short excerpt does.
  static bool shorten(std::vector<Doc>& docs, const std::vector<std::string>& terms,
                      const std::string& sent, const PromptTooLong& tooLong);
  // The names of names(text) that the archive knows.
  std::vector<std::string> archiveNames(const std::string& text);

  Catalog& catalog_;
  CompletionFunction complete_;
  int maxSources_ = 6;
  int excerptChars_ = 1400;
};

}  // namespace quorvel
