// The fixed texts of the question answerer and its text helpers: search
// terms, names in a question, and the excerpt of a document. Lengths are
// counted in user-perceived characters.
#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/archive_ask.h"
#include "core/text.h"

namespace quorvel {

namespace {

char32_t firstCodePoint(const std::string& grapheme) {
  auto cps = text::codePoints(grapheme);
  return cps.empty() ? U'\0' : cps.front();
}

bool isTermChar(char32_t cp) { return text::isLetterOrNumber(cp) || cp == U'\''; }
bool isNameChar(char32_t cp) { return text::isLetter(cp) || cp == U'\'' || cp == U'\u2019'; }

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// True when `word` begins with the whole user-perceived characters of `prefix`.
bool startsWithChars(const std::string& word, const std::string& prefix) {
  if (prefix.empty() || word.compare(0, prefix.size(), prefix) != 0) return false;
  if (word.size() == prefix.size()) return true;
  std::size_t at = 0;
  for (const std::string& g : text::graphemes(word)) {
    at += g.size();
    if (at >= prefix.size()) return at == prefix.size();
  }
  return false;
}

std::vector<std::string> splitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t nl = s.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(s.substr(start));
      return lines;
    }
    lines.push_back(s.substr(start, nl - start));
    start = nl + 1;
  }
}

// The first `count` user-perceived characters of s.
std::string firstChars(const std::string& s, std::size_t count) {
  std::string out;
  std::size_t n = 0;
  for (const std::string& g : text::graphemes(s)) {
    if (n++ == count) break;
    out += g;
  }
  return out;
}

}  // namespace

const std::string& ArchiveAsk::notFound() {
  static const std::string text = "I couldn't find that in your letters.";
  return text;
}

const std::string& ArchiveAsk::system() {
  static const std::string text =
      "You answer questions about one family's own old letters, records and photographs. Use "
      "only the numbered excerpts you are given. Do not use outside knowledge and do not guess. "
      "Answer every part of the question that was asked, briefly, in one or two sentences, and "
      "add no other facts. After each fact, put the number of the excerpt it came from in square "
      "brackets, like [2]. Copy names, dates, amounts and places exactly as the excerpt writes "
      "them. The date beside each excerpt is the day it was written, not necessarily the day "
      "something happened. Never answer about a different person than the one asked about. If "
      "the excerpts do not say what was asked, reply with exactly: " +
      notFound();
  return text;
}

const std::unordered_set<std::string>& ArchiveAsk::stopwords() {
  static const std::unordered_set<std::string> words = {
      "a",       "an",        "and",      "are",     "as",    "at",      "be",    "been",
      "but",     "by",        "can",      "could",   "did",   "do",      "does",  "for",
      "from",    "had",       "has",      "have",    "he",    "her",     "hers",  "him",
      "his",     "how",       "i",        "if",      "in",    "into",    "is",    "it",
      "its",     "me",        "my",       "of",      "on",    "or",      "our",   "she",
      "so",      "that",      "the",      "their",   "them",  "then",    "there", "they",
      "this",    "to",        "was",      "we",      "were",  "what",    "when",  "where",
      "which",   "who",       "whom",     "why",     "with",  "would",   "you",   "your",
      "about",   "any",       "ever",     "tell",    "say",   "said",    "says",  "letter",
      "letters", "find",      "show",     "know",    "anything", "much", "many",  "one",
      "first",   "last",      "get",      "got",     "go",    "went",    "come",  "came",
      "will",    "all",       "mention",  "mentioned", "write", "wrote", "written", "family",
  };
  return words;
}

std::vector<std::string> ArchiveAsk::splitWords(const std::string& s, bool (*inWord)(char32_t)) {
  std::vector<std::string> words;
  std::string current;
  for (const std::string& g : text::graphemes(s)) {
    if (inWord(firstCodePoint(g))) {
      current += g;
    } else if (!current.empty()) {
      words.push_back(text::nfc(current));
      current.clear();
    }
  }
  if (!current.empty()) words.push_back(text::nfc(current));
  return words;
}

std::vector<std::string> ArchiveAsk::keywords(const std::string& question) {
  std::vector<std::string> terms;
  for (std::string word : splitWords(text::lowercased(question), isTermChar)) {
    if (endsWith(word, "'s")) word.resize(word.size() - 2);
    word.erase(std::remove(word.begin(), word.end(), '\''), word.end());
    if (text::graphemeCount(word) < 3 || stopwords().count(word) ||
        std::find(terms.begin(), terms.end(), word) != terms.end())
      continue;
    terms.push_back(std::move(word));
  }
  return terms;
}

std::vector<std::string> ArchiveAsk::names(const std::string& s) {
  std::vector<std::string> words = splitWords(s, isNameChar);
  std::vector<std::string> found;
  if (words.size() < 2) return found;
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::string word = words[i];
    if (endsWith(word, "'s")) word.resize(word.size() - 2);
    else if (endsWith(word, "\u2019s")) word.resize(word.size() - 4);
    if (word.empty()) continue;
    if (!text::isUppercase(text::codePoints(word).front())) continue;
    if (text::graphemeCount(word) <= 2 || word == "I") continue;
    std::string lower = text::lowercased(word);
    if (stopwords().count(lower)) continue;
    found.push_back(std::move(lower));
  }
  return found;
}

std::string ArchiveAsk::excerpt(const std::string& s, const std::vector<std::string>& terms,
                                int limit) {
  const std::size_t budget = limit > 0 ? static_cast<std::size_t>(limit) : 0;
  if (text::graphemeCount(s) <= budget) return s;

  const std::vector<std::string> lines = splitLines(s);
  std::vector<std::size_t> lengths;
  std::vector<int> scores;
  for (const std::string& line : lines) {
    lengths.push_back(text::graphemeCount(line));
    std::vector<std::string> lineWords = splitWords(text::lowercased(line), text::isLetterOrNumber);
    int score = 0;
    for (const std::string& term : terms) {
      bool hit = std::any_of(lineWords.begin(), lineWords.end(),
                             [&term](const std::string& w) { return startsWithChars(w, term); });
      if (hit) ++score;
    }
    scores.push_back(score);
  }

  std::vector<std::size_t> ranked;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (scores[i] > 0) ranked.push_back(i);
  if (ranked.empty()) return firstChars(s, budget);
  std::stable_sort(ranked.begin(), ranked.end(),
                   [&scores](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });

  std::vector<bool> chosen(lines.size(), false);
  std::size_t used = 0;
  for (std::size_t i : ranked) {
    for (std::size_t j = (i == 0 ? 0 : i - 1); j <= i + 1 && j < lines.size(); ++j) {
      if (chosen[j]) continue;
      if (used + lengths[j] + 1 <= budget) {
        chosen[j] = true;
        used += lengths[j] + 1;
      }
    }
    if (used >= budget) break;
  }
  // Every matching line was too long for the budget: rather its first
  // characters than nothing at all.
  if (used == 0) return firstChars(s, budget);

  std::string out;
  bool first = true;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!chosen[i]) continue;
    if (i == 0 || !chosen[i - 1]) {
      if (!first) out += '\n';
      out += "\u2026";
      first = false;
    }
    if (!first) out += '\n';
    out += lines[i];
    first = false;
  }
  return out;
}

}  // namespace quorvel
