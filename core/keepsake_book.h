#pragma once
// The keepsake book: a printable PDF of chosen scans. A cover, a colophon, an
// optional dedication, the contents, then for every letter its scan on a
// left-hand page facing its typed text (continued over as many pages as it
// needs), an optional index of the people, and blank pages so that the book
// always has an even number of pages.
//
// KeepsakeBook::make() is synchronous: the caller runs it on a worker thread.
// Several books may be made at once on different threads; nothing is shared
// between calls. The PDF is drawn with cairo; text is set with pango by a frame
// filler of our own (one layout per paragraph, lines measured and stacked), the
// same code measuring for the pagination and placing for the drawing.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/models.h"

namespace quorvel {

class Catalog;

// The choices for one keepsake book.
struct KeepsakeOptions {
  enum class PageSize { letter, a4 };
  enum class Order { byDate, asShown };

  std::string title = "Our Family Letters";
  std::string subtitle;
  std::string dedication;  // a dedication page when not blank
  std::string compiledBy;
  PageSize pageSize = PageSize::letter;
  Order order = Order::byDate;
  bool includeText = true;
  bool includeTranslations = true;  // only together with includeText
  bool includeNotes = true;
  bool peopleIndex = true;

  bool operator==(const KeepsakeOptions&) const = default;
};

// "letter", "a4" (also the case's id).
std::string rawValue(KeepsakeOptions::PageSize size);
// "US Letter", "A4".
std::string label(KeepsakeOptions::PageSize size);
// The case with this raw value; none for any other text.
std::optional<KeepsakeOptions::PageSize> pageSizeFromRaw(std::string_view raw);
// letter, a4.
const std::vector<KeepsakeOptions::PageSize>& allPageSizes();

// "byDate", "asShown" (also the case's id).
std::string rawValue(KeepsakeOptions::Order order);
// "Oldest first", "As shown in the library".
std::string label(KeepsakeOptions::Order order);
std::optional<KeepsakeOptions::Order> orderFromRaw(std::string_view raw);
// byDate, asShown.
const std::vector<KeepsakeOptions::Order>& allOrders();

// What make() wrote.
struct KeepsakeSummary {
  int pages = 0;            // pages of the PDF, always even
  int entries = 0;          // letters in the book
  std::int64_t bytes = 0;   // size of the written file; 0 when it cannot be read back
};

namespace KeepsakeBook {

// One letter of the book: a scan with, when both were chosen, its linked back.
struct Entry {
  ArchiveItem item;                               // the front scan
  std::optional<std::string> date;                // front's first date, else the back's
  std::string text;                               // typed text of the front
  std::optional<std::string> translation;         // the front's translation text
  std::optional<std::string> translationLanguage; // its language name
  std::optional<std::string> backText;            // typed text of the back; none when empty
  std::string notes;                              // front's and back's notes
  std::vector<std::string> people;                // front's names, then the back's others
};

// A range of a body text, in bytes of its UTF-8.
struct TextRange {
  std::size_t location = 0;
  std::size_t length = 0;
  std::size_t end() const { return location + length; }
  bool operator==(const TextRange&) const = default;
};

// One page's share of a body text; `first` on the entry's first text page.
struct TextPiece {
  TextRange range;
  bool first = true;
  bool operator==(const TextPiece&) const = default;
};

// One page of the plan.
struct Page {
  enum class Kind { contents, scan, text, index, cover, blank, colophon, dedication };
  Kind kind = Kind::blank;
  std::size_t from = 0;   // contents: entry positions [from, to); index: row positions
  std::size_t to = 0;
  std::size_t entry = 0;  // scan and text pages
  TextRange range;        // text pages
  bool first = false;     // text pages

  static Page of(Kind kind) { Page p; p.kind = kind; return p; }
  static Page contents(std::size_t from, std::size_t to);
  static Page scan(std::size_t entry);
  static Page text(std::size_t entry, TextRange range, bool first);
  static Page index(std::size_t from, std::size_t to);
  bool operator==(const Page&) const = default;
};

// A row of the people index: the name as met first, the entry positions
// (ascending, unique) it is tagged in.
struct IndexRow {
  std::string name;
  std::vector<std::size_t> entries;
  bool operator==(const IndexRow&) const = default;
};

// Entry position to the 1-based page number of its scan page.
using PageMap = std::map<std::size_t, int>;

// The paragraph styles of the book's multi-line texts.
enum class TextStyle { body, heading, italic, coverTitle, dedication, colophon };

// A text with a style for each of its parts (runs cover the text in order).
struct StyledText {
  struct Run {
    std::size_t location = 0;
    std::size_t length = 0;
    TextStyle style = TextStyle::body;
    bool operator==(const Run&) const = default;
  };
  std::string text;
  std::vector<Run> runs;

  void append(std::string_view part, TextStyle style);
  bool empty() const { return text.empty(); }
  // The style of the byte at this position (body past the end).
  TextStyle styleAt(std::size_t position) const;
};

struct Color {
  double red, green, blue, alpha;
};
inline constexpr Color ink{0.13, 0.13, 0.15, 1};
inline constexpr Color soft{0.42, 0.41, 0.40, 1};
inline constexpr Color accent{0.55, 0.42, 0.24, 1};
inline constexpr Color paperShadow{0, 0, 0, 0.18};

// A rectangle in PDF points, origin at the bottom left of the page.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
};

class Typesetter;  // pango measuring and line breaking (keepsake_book_text.cpp)
class Canvas;      // one PDF page being drawn (keepsake_book_draw.cpp)

// The page geometry of one book, handed to every drawing routine. Holds the
// book's typesetter, so copies share it; one thread at a time.
struct Layout {
  double pageWidth = 612;
  double pageHeight = 792;
  double marginTop = 64;
  double marginBottom = 70;
  double marginInner = 72;
  double marginOuter = 54;
  double bodySize = 11.5;
  double lineHeight = 16.5;
  double firstTextDrop = 92;
  double contentsRowHeight = 26;
  std::shared_ptr<Typesetter> typesetter;

  // The geometry for the paper, with a fresh typesetter.
  static Layout forPageSize(KeepsakeOptions::PageSize size);

  // The text rectangle of a numbered page: the 72-point margin at the binding
  // (left on odd pages, right on even ones).
  Rect textRect(int number) const;
  // Entries per contents page and rows per index page (at least 1).
  int contentsRowsPerPage() const;
  int indexRowsPerPage() const;

  // The pieces of a body text, one per text page; the first frame is
  // firstTextDrop shorter. An empty text gives one empty first piece; a first
  // frame that shows nothing gives no piece at all.
  std::vector<TextPiece> paginate(const StyledText& body) const;
  // The styled body text of an entry (no drawing).
  static StyledText bodyText(const Entry& entry, const KeepsakeOptions& options);

  // Drawing of the page kinds; `number` is the 1-based page number.
  void drawCover(Canvas& canvas, const KeepsakeOptions& options,
                 const std::optional<std::string>& yearSpan,
                 const std::vector<Entry>& entries) const;
  void drawColophon(Canvas& canvas, const KeepsakeOptions& options) const;
  void drawDedication(Canvas& canvas, const std::string& dedication) const;
  void drawContents(Canvas& canvas, const std::vector<Entry>& entries, std::size_t from,
                    std::size_t to, const PageMap& pageMap, bool first, int number) const;
  void drawScan(Canvas& canvas, const Entry& entry, int number) const;
  void drawText(Canvas& canvas, const Entry& entry, const StyledText& body, TextRange range,
                bool first, int number) const;
  void drawIndex(Canvas& canvas, const std::vector<IndexRow>& rows, std::size_t from,
                 std::size_t to, const PageMap& pageMap, bool first, int number) const;

 private:
  double pageHeading(Canvas& canvas, const std::string& text, const Rect& rect) const;
  void folio(Canvas& canvas, int number) const;
  void captionBlock(Canvas& canvas, const Entry& entry, double x, double width,
                    double top) const;
  void ornament(Canvas& canvas, double centreX, double y) const;
};

// The page plan and the page map.
struct Plan {
  std::vector<Page> pages;
  PageMap pageMap;
};

// Makes the book of the items (in this order under asShown) as a PDF at `to`:
// written as "<to>.partial" and moved into place when complete. `progress`
// (optional) gets the fraction of scan pages drawn, on the calling thread.
// Throws Failure "Choose at least one scan for the book." when the ids give no
// entry; Failure "Couldn't write the book to <to>." when the PDF cannot be
// created or written (the partial file is then removed and nothing replaces
// `to`); std::filesystem::filesystem_error when the move into place fails.
KeepsakeSummary make(Catalog& catalog, const std::vector<std::int64_t>& itemIds,
                     const KeepsakeOptions& options, const std::string& to,
                     const std::function<void(double)>& progress = {});

// The building blocks of make(), public for the tests.

// The entries in book order; ids missing from the catalog are skipped, a
// chosen photo and its chosen back are folded into one entry.
std::vector<Entry> gather(Catalog& catalog, const std::vector<std::int64_t>& itemIds,
                          const KeepsakeOptions& options);
// The rows of the people index, sorted by last name.
std::vector<IndexRow> peopleIndexRows(const std::vector<Entry>& entries);
// "1923", "1923 – 1951", or none when no entry has a year.
std::optional<std::string> yearSpan(const std::vector<Entry>& entries);
// The pages of the book: `pieces` holds each entry's text pieces in book order.
Plan planPages(const Layout& layout, bool hasDedication,
               const std::vector<std::vector<TextPiece>>& pieces, std::size_t indexRows);
// Names joined for reading: "A", "A and B", "A, B and C".
std::string list(const std::vector<std::string>& names);
// The entry's date and kind label joined by "  ·  ".
std::string meta(const Entry& entry);

}  // namespace KeepsakeBook
}  // namespace quorvel
