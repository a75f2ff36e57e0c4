// The question cycle: retrieval of numbered documents, the prompt, and the
// model's reply handed to interpret().
#include "core/archive_ask.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "core/catalog.h"
#include "core/date_extractor.h"
#include "core/failure.h"
#include "core/text.h"

namespace quorvel {

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
  const std::vector<Doc> docs = retrieve(terms);
  if (docs.empty()) {
    AskAnswer answer;
    answer.question = asked;
    answer.text = notFound();
    answer.seconds = secondsSinceStart();
    return answer;
  }

  std::string user = "Excerpts from the family's letters:\n\n";
  for (const Doc& doc : docs) {
    user += "[" + std::to_string(doc.number) + "] " + doc.title;
    if (doc.date) user += " (written " + DateExtractor::pretty(*doc.date) + ")";
    user += "\n" + doc.excerpt + "\n\n";
  }
  user += "Question: " + asked + "\nAnswer:";

  const std::string reply = complete_(system(), user, stop);
  const double seconds = secondsSinceStart();
  return interpret(reply, asked, terms, docs, seconds, archiveNames(asked));
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
