// Checking the model's answer: cleaning, refusals, citations, the names test
// against the cited documents, quotes, source order and unsupported numbers.
// Pure functions of the reply and the documents.

#include <algorithm>
#include <charconv>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/archive_ask.h"
#include "core/text.h"

namespace quorvel {

namespace {

bool isSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

std::string trimSpacesAndTabs(const std::string& s) {
  std::size_t begin = 0, end = s.size();
  while (begin < end && isSpaceOrTab(s[begin])) ++begin;
  while (end > begin && isSpaceOrTab(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}



// A decimal integer of ASCII digits only; none for anything else or on overflow.
std::optional<int> readInt(const std::string& s) {
  if (s.empty()) return std::nullopt;
  int value = 0;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size() || s.front() == '-') return std::nullopt;
  return value;
}

bool beginsAnyWord(const std::set<std::string>& words, const std::string& term) {
  if (term.empty()) return false;
  for (auto it = words.lower_bound(term); it != words.end(); ++it) {
    if (!startsWith(*it, term)) break;
    // Whole user-perceived characters only: a term never ends inside one.
    if (it->size() == term.size()) return true;
    std::size_t at = 0;
    for (const std::string& g : text::graphemes(*it)) {
      at += g.size();
      if (at >= term.size()) break;
    }
    if (at == term.size()) return true;
  }
  return false;
}

AskAnswer notFoundAnswer(const std::string& question, double seconds) {
  AskAnswer answer;
  answer.question = question;
  answer.text = ArchiveAsk::notFound();
  answer.found = false;
  answer.seconds = seconds;
  return answer;
}

}  // namespace

std::vector<std::string> ArchiveAsk::words(const std::string& s) {
  std::vector<std::string> kept;
  for (std::string& word : splitWords(text::lowercased(s), text::isLetterOrNumber)) {
    if (text::graphemeCount(word) >= 3 && !stopwords().count(word)) kept.push_back(std::move(word));
  }
  return kept;
}

std::string ArchiveAsk::bestLine(const std::string& s, const std::set<std::string>& answerWords,
                                 const std::vector<std::string>& terms) {
  std::vector<std::string> candidates;
  for (const std::string& raw : text::split(s, "\n")) {
    std::string line = trimSpacesAndTabs(raw);
    if (!line.empty() && !startsWith(line, "(People tagged")) candidates.push_back(std::move(line));
  }
  if (candidates.empty()) return "";

  std::size_t best = 0;
  int bestScore = -1;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const std::vector<std::string> lineWords = words(candidates[i]);
    const std::set<std::string> w(lineWords.begin(), lineWords.end());
    int score = 0;
    for (const std::string& word : w)
      if (answerWords.count(word)) score += 3;
    for (const std::string& term : terms)
      if (beginsAnyWord(w, term)) score += 2;
    int pieces = 0;
    for (const std::string& piece : text::split(candidates[i], " "))
      if (!piece.empty()) ++pieces;
    if (pieces < 4) score -= 3;
    if (score > bestScore) {
      bestScore = score;
      best = i;
    }
  }

  const std::vector<std::string> chars = text::graphemes(candidates[best]);
  if (chars.size() <= 180) return candidates[best];
  std::string quote;
  for (std::size_t i = 0; i < 177; ++i) quote += chars[i];
  return quote + "\u2026";
}

AskAnswer ArchiveAsk::interpret(const std::string& reply, const std::string& question,
                                const std::vector<std::string>& terms, const std::vector<Doc>& docs,
                                double seconds, const std::optional<std::vector<std::string>>& names) {
  std::string answerText = text::trimmed(reply);
  answerText = text::replaceAll(answerText, "\u2019", "'");
  answerText = text::replaceAll(answerText, "\u2018", "'");
  if (startsWith(text::lowercased(answerText), "answer:"))
    answerText = trimSpacesAndTabs(answerText.substr(7));

  const std::string lower = text::lowercased(answerText);
  static const char* const kRefusals[] = {"couldn't find", "could not find", "do not contain",
                                          "don't contain", "no information"};
  if (answerText.empty() ||
      std::any_of(std::begin(kRefusals), std::end(kRefusals),
                  [&lower](const char* phrase) { return lower.find(phrase) != std::string::npos; }))
    return notFoundAnswer(question, seconds);

  std::vector<int> citations;
  static const text::Regex citationRx("\\[(\\d+(?:\\s*,\\s*\\d+)*)\\]");
  if (auto cited = citationRx.groups(answerText, 1)) {
    for (const std::string& group : *cited) {
      for (const std::string& piece : text::split(group, ",")) {
        auto number = readInt(trimSpacesAndTabs(piece));
        if (!number || *number < 1 || *number > static_cast<int>(docs.size())) continue;
        if (std::find(citations.begin(), citations.end(), *number) == citations.end())
          citations.push_back(*number);
      }
    }
  }
  std::vector<int> numbers = citations;
  if (numbers.empty())
    for (const Doc& doc : docs) numbers.push_back(doc.number);
  auto listed = [&numbers](int number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
  };

  const std::vector<std::string> asked = names ? *names : ArchiveAsk::names(question);
  if (!asked.empty()) {
    std::string cited;
    for (const Doc& doc : docs) {
      if (!listed(doc.number)) continue;
      if (!cited.empty()) cited += ' ';
      cited += text::lowercased(doc.text + " " + doc.title);
    }
    const std::vector<std::string> citedWords = splitWords(cited, text::isLetter);
    const std::set<std::string> known(citedWords.begin(), citedWords.end());
    for (const std::string& name : asked) {
      // Split like the documents: "o'neill" must find "o" and "neill".
      const std::vector<std::string> pieces = splitWords(name, text::isLetter);
      if (known.empty() || pieces.empty() ||
          !std::all_of(pieces.begin(), pieces.end(),
                       [&known](const std::string& piece) { return known.count(piece) > 0; }))
        return notFoundAnswer(question, seconds);
    }
  }

  const std::vector<std::string> answerWordList = words(answerText);
  const std::set<std::string> answerWords(answerWordList.begin(), answerWordList.end());

  std::vector<AskSource> sources;
  for (const Doc& doc : docs) {
    if (!listed(doc.number)) continue;
    AskSource source;
    source.number = doc.number;
    source.itemId = doc.itemId;
    source.title = doc.title;
    source.date = doc.date;
    source.quote = bestLine(doc.text, answerWords, terms);
    source.cited = !citations.empty();
    sources.push_back(std::move(source));
  }
  auto position = [&numbers](int number) {
    auto it = std::find(numbers.begin(), numbers.end(), number);
    return it == numbers.end() ? 99 : static_cast<int>(it - numbers.begin());
  };
  std::stable_sort(sources.begin(), sources.end(), [&position](const AskSource& a, const AskSource& b) {
    return position(a.number) < position(b.number);
  });

  std::vector<std::string> unsupported;
  std::string reference;
  for (const Doc& doc : docs) {
    if (!reference.empty()) reference += ' ';
    reference += doc.text + " " + doc.title + " " + doc.date.value_or("");
  }
  static const text::Regex bracketsRx("\\[[\\d,\\s]+\\]");
  static const text::Regex numberRx("\\b\\d{2,}\\b");
  if (auto found = numberRx.groups(bracketsRx.replaceAll(answerText, ""), 0)) {
    for (const std::string& number : *found) {
      if (reference.find(number) == std::string::npos &&
          std::find(unsupported.begin(), unsupported.end(), number) == unsupported.end())
        unsupported.push_back(number);
    }
  }

  AskAnswer answer;
  answer.question = question;
  answer.text = answerText;
  answer.found = true;
  answer.sources = std::move(sources);
  answer.unsupported = std::move(unsupported);
  answer.seconds = seconds;
  return answer;
}

}  // namespace quorvel
