// The question cycle: retrieval of numbered documents, the prompt, and the
// model's reply handed to interpret().
#include "core/archive_ask.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "core/catalog.h"
#include "core/date_extractor.h"
#include "core/failure.h"
#include "core/llama_server.h"
#include "core/text.h"

namespace quorvel {

namespace {
// Tries of a question whose prompt is too long, each with shorter excerpts.
constexpr int kFitAttempts = 3;
const char* const kTooLong =
    "The question is too long for the reader to take in with even a short excerpt of your "
    "letters. Please ask it in fewer words.";
}  // namespace

ArchiveAsk::ArchiveAsk(Catalog& catalog, CompletionFunction complete)
    : catalog_(catalog), complete_(std::move(complete)) {}

AskAnswer ArchiveAsk::ask(const std::string& question, std::stop_token stop) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  auto secondsSinceStart = [start] {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };

  const std::string asked = text::trimmed(question);
  if (asked.empty()) throw Failure("Type a question first.");

  const std::vector<std::string> terms = keywords(asked);
  std::vector<Doc> docs = retrieve(terms);
  if (docs.empty()) {
    AskAnswer answer;
    answer.question = asked;
    answer.text = notFound();
    answer.seconds = secondsSinceStart();
    return answer;
  }

  std::string reply;
  for (int attempt = 1;; ++attempt) {
    const std::string user = prompt(docs, asked);
    try {
      reply = complete_(system(), user, stop);
      break;
    } catch (const PromptTooLong& tooLong) {
      if (attempt == kFitAttempts || !shorten(docs, terms, system() + user, tooLong))
        throw Failure(kTooLong);
    }
  }
  const double seconds = secondsSinceStart();
  return interpret(reply, asked, terms, docs, seconds, archiveNames(asked));
}

std::string ArchiveAsk::prompt(const std::vector<Doc>& docs, const std::string& question) {
  std::string user = "Excerpts from the family's letters:\n\n";
  for (const Doc& doc : docs) {
    user += "[" + std::to_string(doc.number) + "] " + doc.title;
    if (doc.date) user += " (written " + DateExtractor::pretty(*doc.date) + ")";
    user += "\n" + doc.excerpt + "\n\n";
  }
  user += "Question: " + question + "\nAnswer:";
  return user;
}

bool ArchiveAsk::shorten(std::vector<Doc>& docs, const std::vector<std::string>& terms,
                         const std::string& sent, const PromptTooLong& tooLong) {
  const auto sentChars = static_cast<double>(text::graphemeCount(sent));
  std::size_t excerptChars = 0, longest = 0;
  for (const Doc& doc : docs) {
    const std::size_t n = text::graphemeCount(doc.excerpt);
    excerptChars += n;
    longest = std::max(longest, n);
  }
  const double room = tooLong.allowedChars(sent) - (sentChars - static_cast<double>(excerptChars));
  // The best-ranked documents that get a short excerpt each; the others go.
  std::size_t keep = docs.size();
  while (keep > 1 && room / static_cast<double>(keep) < kShortExcerpt) --keep;
  const double each = room / static_cast<double>(keep);
  if (each < kShortExcerpt) return false;
  docs.resize(keep);
  // Always shorter than before, so that the next count is smaller.
  const int limit = static_cast<int>(std::min(each, static_cast<double>(longest) * 0.9));
  for (Doc& doc : docs) doc.excerpt = excerpt(doc.text, terms, limit);
  return true;
}

std::vector<ArchiveAsk::Doc> ArchiveAsk::retrieve(const std::vector<std::string>& terms) {
  std::vector<Doc> docs;
  if (terms.empty()) return docs;
  const std::vector<std::int64_t> ids = catalog_.searchAny(terms, maxSources_);
  const auto dates = catalog_.firstDates();

  for (std::int64_t id : ids) {
    const std::optional<ArchiveItem> item = catalog_.getItem(id);
    if (!item) continue;
    std::string body;
    if (auto transcription = catalog_.getTranscription(id))
      body = transcription->text.empty() ? transcription->rawText : transcription->text;
    if (auto translation = catalog_.getTranslation(id); translation && !translation->text.empty())
      body += "\n(In English:) " + translation->text;
    const std::vector<Person> people = catalog_.peopleForItem(id);
    if (!people.empty()) {
      body += "\n(People tagged: ";
      for (std::size_t i = 0; i < people.size(); ++i) body += (i ? ", " : "") + people[i].name;
      body += ")";
    }
    if (!item->notes.empty()) body += "\n(Note: " + item->notes + ")";
    body = text::trimmed(body);
    if (body.empty()) continue;

    Doc doc;
    doc.number = static_cast<int>(docs.size()) + 1;
    doc.itemId = id;
    doc.title = item->displayTitle();
    if (auto date = dates.find(id); date != dates.end()) doc.date = date->second;
    doc.excerpt = excerpt(body, terms, excerptChars_);
    doc.text = std::move(body);
    docs.push_back(std::move(doc));
  }
  return docs;
}

std::vector<std::string> ArchiveAsk::archiveNames(const std::string& s) {
  std::vector<std::string> known;
  for (const std::string& name : names(s))
    if (!catalog_.searchAny({name}, 1).empty()) known.push_back(name);
  return known;
}

}  // namespace quorvel
