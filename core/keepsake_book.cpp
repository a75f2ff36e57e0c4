// The keepsake book: options, gathering the entries, body texts, the page plan
// and writing the file. Drawing is in keepsake_book_draw.cpp, text setting in
// keepsake_book_text.cpp.
#include "core/keepsake_book.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/catalog.h"
#include "core/date_extractor.h"
#include "core/failure.h"
#include "core/keepsake_book_text.h"
#include "core/text.h"

namespace quorvel {

std::string rawValue(KeepsakeOptions::PageSize size) {
  return size == KeepsakeOptions::PageSize::a4 ? "a4" : "letter";
}

std::string label(KeepsakeOptions::PageSize size) {
  return size == KeepsakeOptions::PageSize::a4 ? "A4" : "US Letter";
}

std::optional<KeepsakeOptions::PageSize> pageSizeFromRaw(std::string_view raw) {
  if (raw == "letter") return KeepsakeOptions::PageSize::letter;
  if (raw == "a4") return KeepsakeOptions::PageSize::a4;
  return std::nullopt;
}

const std::vector<KeepsakeOptions::PageSize>& allPageSizes() {
  static const std::vector<KeepsakeOptions::PageSize> all{KeepsakeOptions::PageSize::letter,
                                                          KeepsakeOptions::PageSize::a4};
  return all;
}

std::string rawValue(KeepsakeOptions::Order order) {
  return order == KeepsakeOptions::Order::asShown ? "asShown" : "byDate";
}

std::string label(KeepsakeOptions::Order order) {
  return order == KeepsakeOptions::Order::asShown ? "As shown in the library" : "Oldest first";
}

std::optional<KeepsakeOptions::Order> orderFromRaw(std::string_view raw) {
  if (raw == "byDate") return KeepsakeOptions::Order::byDate;
  if (raw == "asShown") return KeepsakeOptions::Order::asShown;
  return std::nullopt;
}

const std::vector<KeepsakeOptions::Order>& allOrders() {
  static const std::vector<KeepsakeOptions::Order> all{KeepsakeOptions::Order::byDate,
                                                       KeepsakeOptions::Order::asShown};
  return all;
}

namespace KeepsakeBook {

namespace {

using text::replaceAll;

// Scans prepared at once: one decode runs on little more than one core, and
// each one in flight holds some 45 MB.
std::size_t prefetchWorkers() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency() / 2, 1, 3);
}

std::string typedText(const std::optional<Transcription>& t) {
  if (!t) return "";
  return text::trimmed(t->text.empty() ? t->rawText : t->text);
}

}  // namespace

Page Page::contents(std::size_t from, std::size_t to) {
  Page p = of(Kind::contents);
  p.from = from;
  p.to = to;
  return p;
}

Page Page::scan(std::size_t entry) {
  Page p = of(Kind::scan);
  p.entry = entry;
  return p;
}

Page Page::text(std::size_t entry, TextRange range, bool first) {
  Page p = of(Kind::text);
  p.entry = entry;
  p.range = range;
  p.first = first;
  return p;
}

Page Page::index(std::size_t from, std::size_t to) {
  Page p = of(Kind::index);
  p.from = from;
  p.to = to;
  return p;
}

void StyledText::append(std::string_view part, TextStyle style) {
  if (part.empty()) return;
  if (!runs.empty() && runs.back().style == style && runs.back().location + runs.back().length == text.size()) {
    runs.back().length += part.size();
  } else {
    runs.push_back({text.size(), part.size(), style});
  }
  text.append(part);
}

TextStyle StyledText::styleAt(std::size_t position) const {
  for (const auto& run : runs) {
    if (position >= run.location && position < run.location + run.length) return run.style;
  }
  return TextStyle::body;
}

std::vector<Entry> gather(Catalog& catalog, const std::vector<std::int64_t>& itemIds,
                          const KeepsakeOptions& options) {
  const std::unordered_set<std::int64_t> chosen(itemIds.begin(), itemIds.end());
  const auto firstDates = catalog.firstDates();
  std::unordered_set<std::int64_t> placed;
  std::vector<Entry> entries;

  auto dateOf = [&](std::int64_t id) -> std::optional<std::string> {
    auto found = firstDates.find(id);
    if (found == firstDates.end()) return std::nullopt;
    return found->second;
  };

  for (std::int64_t id : itemIds) {
    if (placed.count(id)) continue;
    auto item = catalog.getItem(id);
    if (!item) continue;
    placed.insert(id);

    ArchiveItem front = *item;
    std::optional<ArchiveItem> back;
    if (item->linkedItemId && chosen.count(*item->linkedItemId) && !placed.count(*item->linkedItemId)) {
      if (auto partner = catalog.getItem(*item->linkedItemId)) {
        placed.insert(partner->id);
        if (item->kind == ItemKind::photoBack) {
          front = *partner;
          back = *item;
        } else {
          back = *partner;
        }
      }
    }

    Entry entry;
    entry.item = front;
    if (auto translation = catalog.getTranslation(front.id)) {
      entry.translation = translation->text;
      entry.translationLanguage = translation->languageName;
    }
    for (const auto& person : catalog.peopleForItem(front.id)) entry.people.push_back(person.name);
    if (back) {
      const std::vector<std::string> frontNames = entry.people;
      for (const auto& person : catalog.peopleForItem(back->id)) {
        if (std::find(frontNames.begin(), frontNames.end(), person.name) == frontNames.end() &&
            std::find(entry.people.begin(), entry.people.end(), person.name) == entry.people.end()) {
          entry.people.push_back(person.name);
        }
      }
    }
    std::vector<std::string> notes;
    if (auto n = text::trimmed(front.notes); !n.empty()) notes.push_back(n);
    if (back) {
      if (auto n = text::trimmed(back->notes); !n.empty()) notes.push_back(n);
    }
    for (std::size_t i = 0; i < notes.size(); ++i) entry.notes += (i ? "\n\n" : "") + notes[i];
    entry.date = dateOf(front.id);
    if (!entry.date && back) entry.date = dateOf(back->id);
    entry.text = typedText(catalog.getTranscription(front.id));
    if (back) {
      auto backText = typedText(catalog.getTranscription(back->id));
      if (!backText.empty()) entry.backText = backText;
    }
    entries.push_back(std::move(entry));
  }

  if (options.order == KeepsakeOptions::Order::byDate) {
    // stable_sort keeps the gathered order among equal dates and among the undated.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      if (a.date && b.date) return *a.date < *b.date;
      return a.date.has_value() && !b.date.has_value();
    });
  }
  return entries;
}

std::vector<IndexRow> peopleIndexRows(const std::vector<Entry>& entries) {
  std::vector<IndexRow> rows;
  std::unordered_map<std::string, std::size_t> byKey;
  for (std::size_t position = 0; position < entries.size(); ++position) {
    for (const auto& name : entries[position].people) {
      const std::string key = text::lowercased(name);
      auto [found, isNew] = byKey.try_emplace(key, rows.size());
      if (isNew) rows.push_back({name, {}});
      auto& row = rows[found->second];
      if (row.entries.empty() || row.entries.back() != position) row.entries.push_back(position);
    }
  }
  auto sortKey = [](const std::string& name) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= name.size()) {
      std::size_t space = name.find(' ', start);
      if (space == std::string::npos) space = name.size();
      if (space > start) pieces.push_back(name.substr(start, space - start));
      start = space + 1;
    }
    std::string key = pieces.empty() ? "" : pieces.back();
    key += ' ';
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) key += (i ? " " : "") + pieces[i];
    return text::lowercased(key);
  };
  std::vector<std::pair<std::string, IndexRow>> keyed;
  for (auto& row : rows) keyed.emplace_back(sortKey(row.name), std::move(row));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  rows.clear();
  for (auto& [key, row] : keyed) rows.push_back(std::move(row));
  return rows;
}

std::optional<std::string> yearSpan(const std::vector<Entry>& entries) {
  std::optional<int> low, high;
  for (const auto& entry : entries) {
    if (!entry.date || entry.date->size() < 4) continue;
    const std::string digits = entry.date->substr(0, 4);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    const int year = std::stoi(digits);
    if (!low || year < *low) low = year;
    if (!high || year > *high) high = year;
  }
  if (!low) return std::nullopt;
  char buffer[32];
  if (*low == *high) {
    std::snprintf(buffer, sizeof buffer, "%04d", *low);
  } else {
    std::snprintf(buffer, sizeof buffer, "%04d \u2013 %04d", *low, *high);
  }
  return std::string(buffer);
}

std::string list(const std::vector<std::string>& names) {
  if (names.empty()) return "";
  if (names.size() == 1) return names[0];
  std::string joined;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) joined += (i ? ", " : "") + names[i];
  return joined + " and " + names.back();
}

std::string meta(const Entry& entry) {
  std::vector<std::string> parts;
  if (entry.date) parts.push_back(DateExtractor::pretty(*entry.date));
  if (entry.item.kind != ItemKind::unknown) parts.push_back(label(entry.item.kind));
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) joined += (i ? "  \u00B7  " : "") + parts[i];
  return joined;
}

StyledText Layout::bodyText(const Entry& entry, const KeepsakeOptions& options) {
  StyledText body;
  auto block = [&](const std::optional<std::string>& heading, const std::string& text,
                   TextStyle style) {
    if (!body.empty()) body.append("\n", TextStyle::body);
    if (heading) body.append(text::uppercased(*heading) + "\n", TextStyle::heading);
    body.append(replaceAll(text, "\r\n", "\n") + "\n", style);
  };
  if (options.includeText) {
    if (!entry.text.empty()) block(std::nullopt, entry.text, TextStyle::body);
    if (entry.backText) block(std::string("Written on the back"), *entry.backText, TextStyle::body);
    if (options.includeTranslations && entry.translation && !entry.translation->empty()) {
      const std::string heading = entry.translationLanguage
                                      ? "In English (from " + *entry.translationLanguage + ")"
                                      : std::string("In English");
      block(heading, *entry.translation, TextStyle::body);
    }
  }
  if (options.includeNotes && !entry.notes.empty()) {
    block(std::string("Notes"), entry.notes, TextStyle::italic);
  }
  if (body.empty() && !entry.people.empty()) {
    body.append("With " + list(entry.people) + ".\n", TextStyle::italic);
  }
  return body;
}

Layout Layout::forPageSize(KeepsakeOptions::PageSize size) {
  Layout layout;
  if (size == KeepsakeOptions::PageSize::a4) {
    layout.pageWidth = 595.28;
    layout.pageHeight = 841.89;
  }
  layout.typesetter = std::make_shared<Typesetter>();
  return layout;
}

Rect Layout::textRect(int number) const {
  return {number % 2 == 1 ? marginInner : marginOuter, marginBottom,
          pageWidth - marginInner - marginOuter, pageHeight - marginTop - marginBottom};
}

int Layout::contentsRowsPerPage() const {
  return std::max(1, static_cast<int>(std::floor((pageHeight - 224) / contentsRowHeight)));
}

int Layout::indexRowsPerPage() const {
  return std::max(1, static_cast<int>(std::floor((pageHeight - 224) / 20)));
}

Plan planPages(const Layout& layout, bool hasDedication,
               const std::vector<std::vector<TextPiece>>& pieces, std::size_t indexRows) {
  Plan plan;
  auto& pages = plan.pages;
  pages.push_back(Page::of(Page::Kind::cover));
  pages.push_back(Page::of(Page::Kind::colophon));
  if (hasDedication) {
    pages.push_back(Page::of(Page::Kind::dedication));
    pages.push_back(Page::of(Page::Kind::blank));
  }
  const std::size_t perContents = static_cast<std::size_t>(layout.contentsRowsPerPage());
  std::size_t from = 0;
  do {
    const std::size_t to = std::min(pieces.size(), from + perContents);
    pages.push_back(Page::contents(from, to));
    from = to;
  } while (from < pieces.size());

  for (std::size_t entry = 0; entry < pieces.size(); ++entry) {
    if (pages.size() % 2 == 0) pages.push_back(Page::of(Page::Kind::blank));
    plan.pageMap[entry] = static_cast<int>(pages.size()) + 1;
    pages.push_back(Page::scan(entry));
    for (const auto& piece : pieces[entry]) pages.push_back(Page::text(entry, piece.range, piece.first));
  }

  if (indexRows > 0) {
    if (pages.size() % 2 == 1) pages.push_back(Page::of(Page::Kind::blank));
    const std::size_t perIndex = static_cast<std::size_t>(layout.indexRowsPerPage());
    for (std::size_t row = 0; row < indexRows; row += perIndex) {
      pages.push_back(Page::index(row, std::min(indexRows, row + perIndex)));
    }
  }
  if (pages.size() % 2 == 1) pages.push_back(Page::of(Page::Kind::blank));
  return plan;
}

KeepsakeSummary make(Catalog& catalog, const std::vector<std::int64_t>& itemIds,
                     const KeepsakeOptions& options, const std::string& to,
                     const std::function<void(double)>& progress) {
  const auto entries = gather(catalog, itemIds, options);
  if (entries.empty()) throw Failure("Choose at least one scan for the book.");
  const Layout layout = Layout::forPageSize(options.pageSize);

  std::vector<StyledText> bodies;
  bodies.reserve(entries.size());
  for (const auto& entry : entries) bodies.push_back(Layout::bodyText(entry, options));
  const auto rows = options.peopleIndex ? peopleIndexRows(entries) : std::vector<IndexRow>{};

  std::vector<std::vector<TextPiece>> pieces;
  pieces.reserve(bodies.size());
  for (const auto& body : bodies) pieces.push_back(layout.paginate(body));
  const Plan plan = planPages(layout, !text::trimmed(options.dedication).empty(), pieces, rows.size());

  const std::string partial = to + ".partial";
  const std::string failure = "Couldn't write the book to " + to + ".";
  {
    PdfBook pdf(partial, layout.pageWidth, layout.pageHeight, options.title, "Quorvel Ink");
    if (!pdf.ok()) {
      pdf.abandon();
      throw Failure(failure);
    }
    // Joined on every way out of this block, a failed write and an exception included.
    ImagePrefetch prefetch(imageRequests(plan.pages, entries), prefetchWorkers(), prefetchWorkers() + 1);
    Canvas& firstCanvas = pdf.canvas(*layout.typesetter);
    firstCanvas.setPrefetch(&prefetch);
    // Destroyed before the prefetch, so the canvas never holds a dangling pointer.
    struct Detach {
      Canvas& canvas;
      ~Detach() { canvas.setPrefetch(nullptr); }
    } detach{firstCanvas};
    const auto span = yearSpan(entries);
    std::size_t scansDrawn = 0;
    for (std::size_t i = 0; i < plan.pages.size(); ++i) {
      const Page& page = plan.pages[i];
      const int number = static_cast<int>(i) + 1;
      Canvas& canvas = pdf.canvas(*layout.typesetter);
      switch (page.kind) {
        case Page::Kind::cover: layout.drawCover(canvas, options, span, entries); break;
        case Page::Kind::colophon: layout.drawColophon(canvas, options); break;
        case Page::Kind::dedication: layout.drawDedication(canvas, options.dedication); break;
        case Page::Kind::contents:
          layout.drawContents(canvas, entries, page.from, page.to, plan.pageMap, page.from == 0, number);
          break;
        case Page::Kind::scan: layout.drawScan(canvas, entries[page.entry], number); break;
        case Page::Kind::text:
          layout.drawText(canvas, entries[page.entry], bodies[page.entry], page.range, page.first, number);
          break;
        case Page::Kind::index:
          layout.drawIndex(canvas, rows, page.from, page.to, plan.pageMap, page.from == 0, number);
          break;
        case Page::Kind::blank: break;
      }
      pdf.endPage();
      if (!pdf.ok()) break;  // a write failed (full disk): stop drawing
      if (page.kind == Page::Kind::scan) {
        ++scansDrawn;
        if (progress) progress(static_cast<double>(scansDrawn) / static_cast<double>(entries.size()));
      }
    }
    if (!pdf.finish()) {
      pdf.abandon();
      throw Failure(failure);
    }
  }

  std::error_code ignored;
  std::filesystem::remove(to, ignored);  // may not exist
  std::filesystem::rename(partial, to);  // throws filesystem_error; the partial stays
  std::error_code sizeError;
  const auto size = std::filesystem::file_size(to, sizeError);
  return {static_cast<int>(plan.pages.size()), static_cast<int>(entries.size()),
          sizeError ? 0 : static_cast<std::int64_t>(size)};
}

}  // namespace KeepsakeBook
}  // namespace quorvel
