#include "core/tile_merger.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>

#include "core/text.h"

namespace quorvel::TileMerger {

namespace {

// A text as its user-perceived characters, each in canonical composed form,
// so that canonically equivalent characters compare equal.
using Chars = std::vector<std::string>;

Chars chars(std::string_view s) { return text::graphemes(text::nfc(s)); }

std::string joined(const Chars& cs) {
  std::string out;
  for (const std::string& c : cs) out += c;
  return out;
}

char32_t firstCodePoint(std::string_view c) {
  if (c.empty()) return 0;
  std::int32_t at = 0;
  UChar32 cp = 0;
  U8_NEXT(reinterpret_cast<const std::uint8_t*>(c.data()), at, static_cast<std::int32_t>(c.size()),
          cp);
  return cp < 0 ? 0xFFFD : static_cast<char32_t>(cp);
}

// A character is a letter or a number by its base code point.
bool isAlnum(std::string_view c) { return text::isLetterOrNumber(firstCodePoint(c)); }

std::size_t alnum(std::string_view s) {
  Chars cs = chars(s);
  return static_cast<std::size_t>(std::count_if(cs.begin(), cs.end(), [](const std::string& c) {
    return isAlnum(c);
  }));
}

std::size_t length(std::string_view s) { return chars(s).size(); }

std::string normWord(std::string_view s) {
  std::string out;
  for (const std::string& c : chars(text::lowercased(s)))
    if (isAlnum(c)) out += c;
  return out;
}

double similarityOf(const Chars& x, const Chars& y) {
  if (x.empty() && y.empty()) return 1;
  if (x.empty() || y.empty()) return 0;
  // Levenshtein distance with one row of the table.
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  double longer = static_cast<double>(std::max(x.size(), y.size()));
  return 1.0 - static_cast<double>(row[y.size()]) / longer;
}

bool isSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

std::string trimSpacesAndTabs(std::string_view s) {
  std::size_t begin = 0, end = s.size();
  while (begin < end && isSpaceOrTab(s[begin])) ++begin;
  while (end > begin && isSpaceOrTab(s[end - 1])) --end;
  return std::string(s.substr(begin, end - begin));
}


std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

const text::Regex& preambleRx() {
  static const text::Regex p("^(here'?s|here is|okay,? here|sure,? here|the text (reads|says))\\b.*",
                             /*caseInsensitive=*/true);
  return p;
}
const text::Regex& fillerRx() {
  static const text::Regex p("(\\[\\?\\]|_{2,}|\\.{3,}|\u2026|\\?{2,})");
  return p;
}
const text::Regex& spacesRx() {
  static const text::Regex p("\\s{2,}");
  return p;
}

bool inTrimSet(const std::string& c) {
  static const std::set<std::string> set = {".", ",", ";", ":", "\"", "'", "(", ")",
                                            "[", "]", "\u2026"};
  return set.count(c) > 0;
}

std::vector<std::string> tokens(std::string_view s) {
  std::vector<std::string> out;
  std::string piece;
  auto flush = [&] {
    if (piece.empty()) return;
    Chars cs = chars(piece);
    std::size_t begin = 0, end = cs.size();
    while (begin < end && inTrimSet(cs[begin])) ++begin;
    while (end > begin && inTrimSet(cs[end - 1])) --end;
    if (begin < end) out.push_back(joined(Chars(cs.begin() + static_cast<std::ptrdiff_t>(begin),
                                                cs.begin() + static_cast<std::ptrdiff_t>(end))));
    piece.clear();
  };
  for (char c : s) {
    if (isSpaceOrTab(c))
      flush();
    else
      piece += c;
  }
  flush();
  return out;
}

// Replaces `line` by `reading` when the reading is more than 3 characters longer.
void keepLonger(std::string& line, const std::string& reading) {
  if (length(reading) > length(line) + 3) line = reading;
}

bool meets(const std::string& line, const std::string& next) {
  return isSameLine(line, next).same || tryJoin(line, next).has_value();
}

std::vector<std::string> joinColumns(const std::vector<std::vector<std::string>>& columns,
                                     std::vector<UncertainWord>& uncertain) {
  if (columns.empty()) return {};
  std::vector<std::string> out = columns.front();
  for (std::size_t c = 1; c < columns.size(); ++c) {
    const std::vector<std::string>& column = columns[c];
    if (out.empty()) {
      out = column;
      continue;
    }
    std::size_t m = 0;
    for (std::size_t p = 0; p < column.size(); ++p) {
      const std::string& b = column[p];
      bool placed = false;
      for (std::size_t k = m; k < std::min(m + 12, out.size()); ++k) {
        LineMatch match = isSameLine(out[k], b);
        if (match.same) {
          if (!match.exact) collectDisagreements(out[k], b, uncertain);
          keepLonger(out[k], b);
          m = k;
          placed = true;
          break;
        }
        if (std::optional<std::string> line = tryJoin(out[k], b)) {
          out[k] = std::move(*line);
          m = k + 1;
          placed = true;
          break;
        }
      }
      if (placed) continue;
      std::size_t at = (p + 1 < column.size() && m < out.size() && meets(out[m], column[p + 1]))
                           ? m
                           : std::min(m + 1, out.size());
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), b);
      m = at + 1;
    }
  }
  return out;
}

void appendBand(std::vector<std::string>& out, const std::vector<std::string>& band,
                std::vector<UncertainWord>& uncertain) {
  const std::size_t n = out.size();
  const std::size_t lo = n > 8 ? n - 8 : 0;
  for (std::size_t i = 0; i < band.size(); ++i) {
    const std::string& b = band[i];
    bool matched = false;
    if (i < 6 && n > 0) {
      for (std::size_t q = n; q-- > lo;) {
        LineMatch match = isSameLine(out[q], b);
        if (!match.same) continue;
        if (!match.exact) collectDisagreements(out[q], b, uncertain);
        keepLonger(out[q], b);
        matched = true;
        break;
      }
    }
    if (!matched) out.push_back(b);
  }
}

}  // namespace

std::string cleanModelOutput(std::string_view input) {
  std::string s = text::trimmed(input);
  if (s.rfind("```", 0) == 0) {
    if (std::size_t newline = s.find('\n'); newline != std::string::npos) s.erase(0, newline + 1);
    if (std::size_t fence = s.rfind("```"); fence != std::string::npos) s.erase(fence);
  }
  std::vector<std::string> lines = text::split(text::replaceAll(s, "\r\n", "\n"), "\n");
  if (lines.size() >= 2) {
    std::string first = text::lowercased(trimSpacesAndTabs(lines.front()));
    bool header = !first.empty() && first.back() == ':' &&
                  (first.find("transcription") != std::string::npos ||
                   first.find("text reads") != std::string::npos ||
                   first.find("here is") != std::string::npos);
    if (header) lines.erase(lines.begin());
  }
  if (lines.size() == 1) {
    std::string only = text::lowercased(trimSpacesAndTabs(lines.front()));
    for (const char* refusal : {"i'm sorry", "i am sorry", "i cannot", "i can't"})
      if (only.rfind(refusal, 0) == 0) return "";
  }
  return text::trimmed(join(lines, "\n"));
}

std::vector<std::string> clean(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& raw : text::split(cleanModelOutput(join(lines, "\n")), "\n")) {
    std::string line = trimSpacesAndTabs(raw);
    if (line.empty() || preambleRx().find(line) || alnum(line) <= 2) continue;
    line = spacesRx().replaceAll(trimSpacesAndTabs(fillerRx().replaceAll(line, " ")), " ");
    if (alnum(line) >= 2) out.push_back(std::move(line));
  }
  return out;
}

std::string norm(std::string_view s) {
  std::string out;
  bool afterKept = false, pendingSpace = false;
  for (const std::string& c : chars(text::lowercased(s))) {
    if (isAlnum(c)) {
      if (pendingSpace) out += ' ';
      pendingSpace = false;
      out += c;
      afterKept = true;
    } else if (afterKept) {
      pendingSpace = true;  // a run of other characters after a kept one: one space
    }
  }
  // The space of a trailing run is never written: the result ends trimmed.
  return out;
}

double similarity(std::string_view x, std::string_view y) { return similarityOf(chars(x), chars(y)); }

LineMatch isSameLine(std::string_view a, std::string_view b) {
  std::string na = norm(a), nb = norm(b);
  if (na == nb) return {true, true};
  Chars ca = chars(na), cb = chars(nb);
  if (similarityOf(ca, cb) >= 0.8) return {true, false};
  const Chars& shorter = ca.size() <= cb.size() ? ca : cb;
  const Chars& longer = ca.size() <= cb.size() ? cb : ca;
  bool inside = shorter.size() >= 8 &&
                std::search(longer.begin(), longer.end(), shorter.begin(), shorter.end()) !=
                    longer.end();
  return {inside, false};
}

std::optional<std::string> tryJoin(std::string_view a, std::string_view b) {
  std::vector<std::string> aw = text::split(a, " ", false), bw = text::split(b, " ", false);
  if (aw.empty() || bw.empty()) return std::nullopt;
  std::vector<Chars> an, bn;
  for (const std::string& w : aw) an.push_back(chars(normWord(w)));
  for (const std::string& w : bw) bn.push_back(chars(normWord(w)));

  struct Best {
    std::size_t k = 0, skip = 0;
    std::size_t score = 0;
    bool exact = false;
  };
  std::optional<Best> best;
  for (std::size_t skip = 0; skip <= 1; ++skip) {
    if (bn.size() < skip) break;
    const std::size_t kFrom = std::min({bn.size() - skip, an.size(), std::size_t{6}});
    const std::size_t kTo = skip == 0 ? 1 : 0;
    for (std::size_t k = kFrom; k + 1 > kTo && k >= kTo; --k) {
      std::size_t score = 0, exactCount = 0;
      bool allExact = true, failed = false;
      for (std::size_t i = 0; i < k && !failed; ++i) {
        const Chars& x = an[an.size() - k + i];
        const Chars& y = bn[i + skip];
        if (x.empty() || y.empty()) {
          failed = true;
        } else if (x == y) {
          score += x.size();
          ++exactCount;
        } else {
          allExact = false;
          if (i == k - 1 && (exactCount > 1 || (exactCount == 1 && score > 3))) {
            // The last word may differ after a solid exact start.
          } else if (x.size() < 4 || similarityOf(x, y) < 0.75) {
            failed = true;
          } else {
            score += std::min(x.size(), y.size());
          }
        }
      }
      if (!failed && skip == 1) {
        const Chars& f = bn[0];
        if (an.size() < k + 1) {
          failed = true;
        } else {
          const Chars& w = an[an.size() - k - 1];
          const std::size_t fl = f.size();
          if (fl < 2 || w.size() <= fl) {
            failed = true;
          } else {
            Chars tail(w.end() - static_cast<std::ptrdiff_t>(fl), w.end());
            Chars head(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(fl));
            if (tail == f)
              score += fl + 2;
            else if (head == f && (k >= 1 || fl >= 4))
              score += fl + 2;
            else if (fl >= 3 && w.size() >= 6 && similarityOf(tail, f) >= 0.66)
              score += fl + 1;
            else if (k >= 1 && k + 1 == bn.size() && score >= 5)
              score += 1;
            else
              failed = true;
          }
        }
      }
      if (!failed && (!best || score > best->score))
        best = Best{k, skip, score, skip == 0 && k >= 1 && allExact};
      if (k == 0) break;
    }
  }
  if (!best || !(best->score >= 3 || (best->exact && best->score == 2))) return std::nullopt;

  std::vector<std::string> words;
  const std::size_t k = best->k, skip = best->skip;
  if (k == 1 && an.back().size() > bn[skip].size()) {
    words = aw;
    words.insert(words.end(), bw.begin() + static_cast<std::ptrdiff_t>(skip + 1), bw.end());
  } else {
    words.assign(aw.begin(), aw.begin() + static_cast<std::ptrdiff_t>(aw.size() - k + k / 2));
    words.insert(words.end(), bw.begin() + static_cast<std::ptrdiff_t>(k / 2 + skip), bw.end());
  }
  return join(words, " ");
}

void collectDisagreements(std::string_view first, std::string_view second,
                          std::vector<UncertainWord>& uncertain) {
  std::vector<std::string> a = tokens(first), b = tokens(second);
  if (a.empty() || b.empty()) return;
  std::vector<Chars> la, lb;
  for (const std::string& t : a) la.push_back(chars(text::lowercased(t)));
  for (const std::string& t : b) lb.push_back(chars(text::lowercased(t)));
  auto matches = [&](std::size_t i, std::size_t j) { return similarityOf(la[i], lb[j]) >= 0.85; };

  const std::size_t na = a.size(), nb = b.size();
  std::vector<std::vector<std::size_t>> l(na + 1, std::vector<std::size_t>(nb + 1, 0));
  for (std::size_t i = na; i-- > 0;)
    for (std::size_t j = nb; j-- > 0;)
      l[i][j] = matches(i, j) ? l[i + 1][j + 1] + 1 : std::max(l[i + 1][j], l[i][j + 1]);

  std::vector<std::size_t> pa, pb;  // pending token indexes
  auto flush = [&] {
    for (std::size_t p = 0; p < std::min(pa.size(), pb.size()); ++p) {
      const Chars& x = la[pa[p]];
      const Chars& y = lb[pb[p]];
      bool wordish = x.size() >= 2 && y.size() >= 2 &&
                     std::any_of(x.begin(), x.end(), [](const std::string& c) { return isAlnum(c); }) &&
                     std::any_of(y.begin(), y.end(), [](const std::string& c) { return isAlnum(c); });
      if (wordish && similarityOf(x, y) < 0.85) uncertain.emplace_back(a[pa[p]], b[pb[p]]);
    }
    pa.clear();
    pb.clear();
  };
  std::size_t i = 0, j = 0;
  while (i < na && j < nb) {
    if (matches(i, j)) {
      flush();
      ++i;
      ++j;
    } else if (l[i + 1][j] < l[i][j + 1]) {
      pb.push_back(j++);
    } else {
      pa.push_back(i++);
    }
  }
  while (i < na) pa.push_back(i++);
  while (j < nb) pb.push_back(j++);
  flush();
}

MergedPage merge(const std::vector<TileText>& tiles) {
  std::map<std::int64_t, std::vector<const TileText*>> rows;
  for (const TileText& t : tiles) rows[t.tile.row].push_back(&t);

  MergedPage page;
  for (auto& [row, rowTiles] : rows) {
    std::stable_sort(rowTiles.begin(), rowTiles.end(),
                     [](const TileText* x, const TileText* y) { return x->tile.col < y->tile.col; });
    std::vector<std::vector<std::string>> columns;
    for (const TileText* t : rowTiles) columns.push_back(clean(t->lines));
    std::vector<std::string> lines =
        columns.size() == 1 ? columns.front() : joinColumns(columns, page.uncertain);
    appendBand(page.lines, lines, page.uncertain);
  }

  std::set<std::string> seen;
  std::vector<UncertainWord> kept;
  for (UncertainWord& word : page.uncertain) {
    std::string key = text::lowercased(word.Chosen) + '\x01' + text::lowercased(word.Alternative);
    if (seen.insert(key).second) kept.push_back(std::move(word));
  }
  page.uncertain = std::move(kept);
  return page;
}

}  // namespace quorvel::TileMerger
