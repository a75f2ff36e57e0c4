// The keepsake book: gathering, body texts and the page plan as tables, the
// pagination of long texts, and the written PDF read back with poppler.
#include "core/keepsake_book.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "catalog_fixture.h"
#include "core/failure.h"
#include "core/image_tools.h"
#include "core/model_delivery.h"

namespace quorvel {
namespace {

using namespace KeepsakeBook;
using Kind = Page::Kind;
using testing::readFile;
using testing::writeFile;

std::vector<Kind> kinds(const Plan& plan) {
  std::vector<Kind> out;
  for (const auto& page : plan.pages) out.push_back(page.kind);
  return out;
}

std::vector<TextPiece> onePiece() { return {TextPiece{{0, 10}, true}}; }

// ---- Page plan (no fonts involved) ----

TEST(KeepsakePlan, FrontMatterEntriesAndEvenEnd) {
  const Layout letter = Layout::forPageSize(KeepsakeOptions::PageSize::letter);
  struct Case {
    const char* name;
    bool dedication;
    std::vector<std::vector<TextPiece>> pieces;
    std::size_t indexRows;
    std::vector<Kind> want;
    PageMap wantMap;
  };
  const TextPiece first{{0, 5}, true}, second{{5, 5}, false};
  const std::vector<Case> cases = {
      {"oneEntry", false, {onePiece()}, 0,
       {Kind::cover, Kind::colophon, Kind::contents, Kind::scan, Kind::text, Kind::blank}, {{0, 4}}},
      {"withDedication", true, {onePiece()}, 0,
       {Kind::cover, Kind::colophon, Kind::dedication, Kind::blank, Kind::contents, Kind::scan, Kind::text,
        Kind::blank},
       {{0, 6}}},
      {"twoEntriesFirstLong", false, {{first, second}, onePiece()}, 0,
       {Kind::cover, Kind::colophon, Kind::contents, Kind::scan, Kind::text, Kind::text, Kind::blank, Kind::scan,
        Kind::text, Kind::blank},
       {{0, 4}, {1, 8}}},
      {"indexStartsOnRightHandPage", false, {onePiece()}, 3,
       {Kind::cover, Kind::colophon, Kind::contents, Kind::scan, Kind::text, Kind::blank, Kind::index,
        Kind::blank},
       {{0, 4}}},
      {"noTextPieceAtAll", false, {{}}, 0, {Kind::cover, Kind::colophon, Kind::contents, Kind::scan}, {{0, 4}}},
  };
  for (const auto& c : cases) {
    const Plan plan = planPages(letter, c.dedication, c.pieces, c.indexRows);
    EXPECT_EQ(kinds(plan), c.want) << c.name;
    EXPECT_EQ(plan.pageMap, c.wantMap) << c.name;
    EXPECT_EQ(plan.pages.size() % 2, 0u) << c.name;
  }
  const Plan two = planPages(letter, false, {{first, second}, onePiece()}, 0);
  EXPECT_EQ(two.pages[4], Page::text(0, first.range, true));
  EXPECT_EQ(two.pages[5], Page::text(0, second.range, false));
  EXPECT_EQ(two.pages[8], Page::text(1, {0, 10}, true));
}

TEST(KeepsakePlan, ContentsAndIndexRunsPerPaper) {
  struct Case {
    const char* name;
    KeepsakeOptions::PageSize size;
    std::size_t entries, rows;
    std::vector<std::pair<std::size_t, std::size_t>> contents, index;
  };
  const std::vector<Case> cases = {
      {"letter22", KeepsakeOptions::PageSize::letter, 22, 0, {{0, 21}, {21, 22}}, {}},
      {"letter21", KeepsakeOptions::PageSize::letter, 21, 0, {{0, 21}}, {}},
      {"a4_24", KeepsakeOptions::PageSize::a4, 24, 0, {{0, 23}, {23, 24}}, {}},
      {"letterIndex29", KeepsakeOptions::PageSize::letter, 1, 29, {{0, 1}}, {{0, 28}, {28, 29}}},
      {"a4Index31", KeepsakeOptions::PageSize::a4, 1, 31, {{0, 1}}, {{0, 30}, {30, 31}}},
  };
  for (const auto& c : cases) {
    const Layout layout = Layout::forPageSize(c.size);
    const Plan plan = planPages(layout, false, std::vector<std::vector<TextPiece>>(c.entries, onePiece()), c.rows);
    std::vector<std::pair<std::size_t, std::size_t>> contents, index;
    for (const auto& page : plan.pages) {
      if (page.kind == Kind::contents) contents.emplace_back(page.from, page.to);
      if (page.kind == Kind::index) index.emplace_back(page.from, page.to);
    }
    EXPECT_EQ(contents, c.contents) << c.name;
    EXPECT_EQ(index, c.index) << c.name;
    // Every scan page is a left-hand (even) page.
    for (const auto& [entry, number] : plan.pageMap) EXPECT_EQ(number % 2, 0) << c.name << " entry " << entry;
  }
}

TEST(KeepsakePlan, TextRectangleKeepsTheWideMarginAtTheBinding) {
  const Layout layout = Layout::forPageSize(KeepsakeOptions::PageSize::letter);
  EXPECT_DOUBLE_EQ(layout.textRect(5).x, 72);
  EXPECT_DOUBLE_EQ(layout.textRect(4).x, 54);
  EXPECT_DOUBLE_EQ(layout.textRect(4).width, 612 - 126);
  EXPECT_DOUBLE_EQ(layout.textRect(4).maxY(), 792 - 64);
}

// ---- Small texts ----

TEST(KeepsakeTexts, ListMetaAndYearSpan) {
  struct ListCase { std::vector<std::string> names; std::string want; };
  for (const auto& c : std::vector<ListCase>{{{}, ""},
                                             {{"Ann"}, "Ann"},
                                             {{"Ann", "Bo"}, "Ann and Bo"},
                                             {{"Ann", "Bo", "Cy"}, "Ann, Bo and Cy"},
                                             {{"A", "B", "C", "D"}, "A, B, C and D"}}) {
    EXPECT_EQ(list(c.names), c.want);
  }

  Entry entry;
  EXPECT_EQ(meta(entry), "");
  entry.item.kind = ItemKind::letter;
  EXPECT_EQ(meta(entry), "Letter");
  entry.date = "1923-04";
  EXPECT_EQ(meta(entry), "April 1923  \u00B7  Letter");
  entry.item.kind = ItemKind::unknown;
  EXPECT_EQ(meta(entry), "April 1923");

  struct SpanCase { const char* name; std::vector<std::optional<std::string>> dates; std::optional<std::string> want; };
  const std::vector<SpanCase> spans = {
      {"none", {std::nullopt}, std::nullopt},
      {"one", {std::string("1923-04-05"), std::nullopt}, std::string("1923")},
      {"range", {std::string("1951"), std::string("1923-04"), std::string("1930")}, std::string("1923 \u2013 1951")},
      {"notANumber", {std::string("19x3"), std::string("1940")}, std::string("1940")},
  };
  for (const auto& c : spans) {
    std::vector<Entry> entries;
    for (const auto& d : c.dates) {
      Entry e;
      e.date = d;
      entries.push_back(e);
    }
    EXPECT_EQ(yearSpan(entries), c.want) << c.name;
  }
}

TEST(KeepsakeTexts, OptionValuesAndLabels) {
  EXPECT_EQ(rawValue(KeepsakeOptions::PageSize::a4), "a4");
  EXPECT_EQ(label(KeepsakeOptions::PageSize::letter), "US Letter");
  EXPECT_EQ(pageSizeFromRaw("letter"), KeepsakeOptions::PageSize::letter);
  EXPECT_EQ(pageSizeFromRaw("A4"), std::nullopt);
  EXPECT_EQ(label(KeepsakeOptions::Order::asShown), "As shown in the library");
  EXPECT_EQ(orderFromRaw("byDate"), KeepsakeOptions::Order::byDate);
  EXPECT_EQ(allOrders().front(), KeepsakeOptions::Order::byDate);
  const KeepsakeOptions defaults;
  EXPECT_EQ(defaults.title, "Our Family Letters");
  EXPECT_TRUE(defaults.includeText && defaults.includeTranslations && defaults.includeNotes && defaults.peopleIndex);
}

struct BodyCase {
  const char* name;
  Entry entry;
  KeepsakeOptions options;
  std::string want;
  std::vector<TextStyle> styles;  // style of each run, in order
};

std::vector<TextStyle> styles(const StyledText& text) {
  std::vector<TextStyle> out;
  for (const auto& run : text.runs) out.push_back(run.style);
  return out;
}

TEST(KeepsakeTexts, BodyTextBlocks) {
  Entry full;
  full.text = "Dear Ann,\r\nall is well.";
  full.backText = "Love, Bo";
  full.translation = "Hello";
  full.notes = "From the attic";
  Entry withLanguage = full;
  withLanguage.translationLanguage = "German";
  Entry people;
  people.people = {"Ann", "Bo", "Cy"};
  KeepsakeOptions noText;
  noText.includeText = false;
  KeepsakeOptions nothing;
  nothing.includeText = false;
  nothing.includeNotes = false;
  using S = TextStyle;
  const std::vector<BodyCase> cases = {
      {"allBlocks", full, {},
       "Dear Ann,\nall is well.\n\nWRITTEN ON THE BACK\nLove, Bo\n\nIN ENGLISH\nHello\n\nNOTES\nFrom the attic\n",
       {S::body, S::heading, S::body, S::heading, S::body, S::heading, S::italic}},
      {"languageNamed", withLanguage, {},
       "Dear Ann,\nall is well.\n\nWRITTEN ON THE BACK\nLove, Bo\n\nIN ENGLISH (FROM GERMAN)\nHello\n\nNOTES\nFrom the attic\n",
       {S::body, S::heading, S::body, S::heading, S::body, S::heading, S::italic}},
      {"textOffKeepsNotes", full, noText, "NOTES\nFrom the attic\n", {S::heading, S::italic}},
      {"onlyPeople", people, {}, "With Ann, Bo and Cy.\n", {S::italic}},
      {"peopleWithNothingShown", [&] { Entry e = full; e.people = {"Ann"}; return e; }(), nothing, "With Ann.\n",
       {S::italic}},
      {"empty", Entry{}, {}, "", {}},
  };
  for (const auto& c : cases) {
    const StyledText body = Layout::bodyText(c.entry, c.options);
    EXPECT_EQ(body.text, c.want) << c.name;
    EXPECT_EQ(styles(body), c.styles) << c.name;
  }
}

// ---- Gathering from the catalog ----

class KeepsakeGather : public CatalogTest {
 protected:
  std::int64_t addKind(const std::string& path, ItemKind kind, const std::string& title = "") {
    ArchiveItem item = makeItem(dir.file(path));
    item.kind = kind;
    item.title = title;
    const std::int64_t id = catalog->addItem(item);
    EXPECT_GT(id, 0);
    return id;
  }
  std::vector<std::string> titles(const std::vector<Entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.item.displayTitle());
    return out;
  }
  void tag(std::int64_t item, const std::string& name) { catalog->tagPerson(item, catalog->ensurePerson(name)); }
};

TEST_F(KeepsakeGather, PhotoAndBackFoldIntoOneEntryWhicheverComesFirst) {
  const auto photo = addKind("photo.jpg", ItemKind::photo, "Beach");
  const auto back = addKind("back.jpg", ItemKind::photoBack, "Beach back");
  const auto other = addKind("letter.jpg", ItemKind::letter, "Letter");
  catalog->linkItems(photo, back);
  catalog->saveRecognizedText(back, "  Summer 1931  \n", "test", std::nullopt);
  catalog->saveRecognizedText(photo, "", "test", std::nullopt);
  catalog->addDate(back, "1931", "text", true);
  auto item = *catalog->getItem(photo);
  item.notes = " front note ";
  catalog->updateItem(item);
  item = *catalog->getItem(back);
  item.notes = "\nback note\n";
  catalog->updateItem(item);
  tag(photo, "Ann Lee");
  tag(back, "Bo Lee");
  tag(back, "Ann Lee");

  KeepsakeOptions shown;
  shown.order = KeepsakeOptions::Order::asShown;
  for (const auto& ids : {std::vector<std::int64_t>{other, photo, back}, std::vector<std::int64_t>{other, back, photo}}) {
    const auto entries = gather(*catalog, ids, shown);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(titles(entries), (std::vector<std::string>{"Letter", "Beach"}));
    const Entry& e = entries[1];
    EXPECT_EQ(e.item.id, photo);
    EXPECT_EQ(e.text, "");
    EXPECT_EQ(e.backText, std::optional<std::string>("Summer 1931"));
    EXPECT_EQ(e.date, std::optional<std::string>("1931"));  // the back's date stands in
    EXPECT_EQ(e.notes, "front note\n\nback note");
    EXPECT_EQ(e.people, (std::vector<std::string>{"Ann Lee", "Bo Lee"}));
  }
  // The back alone is an entry of its own, with itself as front.
  const auto alone = gather(*catalog, {back, 999}, shown);
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0].item.id, back);
  EXPECT_EQ(alone[0].text, "Summer 1931");
  EXPECT_FALSE(alone[0].backText);
}

TEST_F(KeepsakeGather, ByDateOrderAndTypedText) {
  const auto a = addKind("a.jpg", ItemKind::letter, "A");
  const auto b = addKind("b.jpg", ItemKind::letter, "B");
  const auto c = addKind("c.jpg", ItemKind::letter, "C");
  const auto d = addKind("d.jpg", ItemKind::letter, "D");
  catalog->addDate(a, "1923-04", "text", true);
  catalog->addDate(c, "1923", "text", true);
  catalog->addDate(d, "1923-04", "text", true);
  catalog->saveRecognizedText(a, "raw only", "test", std::nullopt);
  catalog->saveCorrectedText(b, "typed by hand");
  const auto entries = gather(*catalog, {b, a, c, d}, KeepsakeOptions{});
  EXPECT_EQ(titles(entries), (std::vector<std::string>{"C", "A", "D", "B"}));
  EXPECT_EQ(entries[1].text, "raw only");
  EXPECT_EQ(entries[3].text, "typed by hand");
  EXPECT_FALSE(entries[3].date);

  EXPECT_TRUE(gather(*catalog, {12345}, KeepsakeOptions{}).empty());
  try {
    make(*catalog, {12345}, KeepsakeOptions{}, dir.file("none.pdf"));
    FAIL() << "no entries must fail";
  } catch (const Failure& f) {
    EXPECT_STREQ(f.what(), "Choose at least one scan for the book.");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.pdf")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.pdf.partial")));
}

TEST(KeepsakeIndex, RowsMergeCapitalsAndSortByLastName) {
  std::vector<Entry> entries(3);
  entries[0].people = {"Mary Ann Smith", "bo"};
  entries[1].people = {"mary ann smith", "Carl Adams"};
  entries[2].people = {"Bo", "Mary Ann Smith"};
  const auto rows = peopleIndexRows(entries);
  const std::vector<IndexRow> want = {
      {"Carl Adams", {1}}, {"bo", {0, 2}}, {"Mary Ann Smith", {0, 1, 2}}};
  EXPECT_EQ(rows, want);
}

// ---- Pagination (real fonts) ----

StyledText paragraphs(int count) {
  StyledText text;
  for (int i = 1; i <= count; ++i) text.append("Line " + std::to_string(i) + "\n", TextStyle::body);
  return text;
}

TEST(KeepsakePagination, FramesTakeWholeLinesAndCoverTheText) {
  const Layout layout = Layout::forPageSize(KeepsakeOptions::PageSize::letter);
  EXPECT_EQ(layout.paginate(StyledText{}), (std::vector<TextPiece>{{{0, 0}, true}}));

  // One-line paragraphs step by 16.5 + 6: 25 fit the first frame (566 high),
  // 29 a full one (658 high).
  const StyledText text = paragraphs(60);
  const auto pieces = layout.paginate(text);
  ASSERT_EQ(pieces.size(), 3u);
  auto linesIn = [&](const TextPiece& p) {
    const std::string part = text.text.substr(p.range.location, p.range.length);
    return std::count(part.begin(), part.end(), '\n');
  };
  EXPECT_EQ(linesIn(pieces[0]), 25);
  EXPECT_EQ(linesIn(pieces[1]), 29);
  EXPECT_EQ(linesIn(pieces[2]), 6);

  // A long paragraph wraps; pieces follow each other without gap or overlap.
  StyledText prose;
  std::string words;
  for (int i = 0; i < 1500; ++i) words += "word" + std::to_string(i) + " ";
  prose.append(words + "\n", TextStyle::body);
  prose.append("NOTES\n", TextStyle::heading);
  prose.append("a note\n", TextStyle::italic);
  const auto long_ = layout.paginate(prose);
  ASSERT_GE(long_.size(), 3u);
  std::size_t next = 0;
  for (std::size_t i = 0; i < long_.size(); ++i) {
    EXPECT_EQ(long_[i].range.location, next);
    EXPECT_EQ(long_[i].first, i == 0);
    EXPECT_GT(long_[i].range.length, 0u);
    next = long_[i].range.end();
  }
  EXPECT_EQ(next, prose.text.size());
}

// ---- The written book ----

std::string tool(const std::string& name, const std::vector<std::string>& args) {
  return Shell::run("/usr/bin/" + name, args);
}

std::string pageText(const std::string& pdf, int page) {
  return tool("pdftotext", {"-layout", "-f", std::to_string(page), "-l", std::to_string(page), pdf, "-"});
}

std::string infoField(const std::string& pdf, const std::string& field) {
  const std::string info = tool("pdfinfo", {pdf});
  const auto at = info.find(field + ":");
  if (at == std::string::npos) return "";
  auto end = info.find('\n', at);
  std::string value = info.substr(at + field.size() + 1, end - at - field.size() - 1);
  return value.substr(value.find_first_not_of(' '));
}

// The line of the text holding the needle ("" when none).
std::string lineWith(const std::string& text, const std::string& needle) {
  const auto at = text.find(needle);
  if (at == std::string::npos) return "";
  const auto start = text.rfind('\n', at);
  const auto end = text.find('\n', at);
  return text.substr(start == std::string::npos ? 0 : start + 1, end == std::string::npos ? std::string::npos : end - (start == std::string::npos ? 0 : start + 1));
}

// The number at the end of a line; -1 when it ends otherwise.
int lastNumber(std::string line) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  const auto digits = line.find_last_not_of("0123456789");
  const std::string tail = digits == std::string::npos ? line : line.substr(digits + 1);
  return tail.empty() ? -1 : std::stoi(tail);
}

void writeScan(const std::string& path, int width, int height) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  vips::VImage grey = (vips::VImage::grey(width, height) * 200 + 30).cast(VIPS_FORMAT_UCHAR);
  vips::VImage::bandjoin(std::vector<vips::VImage>{grey, grey, grey}).write_to_file(path.c_str());
}

class KeepsakePdf : public KeepsakeGather {};

TEST_F(KeepsakePdf, PagesTextsAndMissingScanReadBack) {
  writeScan(dir.file("letter.jpg"), 600, 800);
  const auto letter = addKind("letter.jpg", ItemKind::letter, "A letter from Ottawa");
  const auto missing = addKind("gone.jpg", ItemKind::photo, "The lost photograph");
  std::string text;
  for (int i = 1; i <= 60; ++i) text += "Line " + std::to_string(i) + "\n\n";
  catalog->saveCorrectedText(letter, text);
  catalog->addDate(letter, "1923-04-05", "text", true);
  tag(missing, "Ann Lee");

  KeepsakeOptions options;
  options.subtitle = "The Lee family";
  options.compiledBy = "Bo";
  options.dedication = "For our grandchildren";
  std::vector<double> progress;
  const std::string pdf = dir.file("book.pdf");
  writeFile(pdf, "old book");
  const auto summary = make(*catalog, {missing, letter}, options, pdf, [&](double f) { progress.push_back(f); });

  EXPECT_EQ(summary.entries, 2);
  EXPECT_EQ(summary.pages % 2, 0);
  EXPECT_EQ(infoField(pdf, "Pages"), std::to_string(summary.pages));
  EXPECT_EQ(summary.bytes, static_cast<std::int64_t>(std::filesystem::file_size(pdf)));
  EXPECT_FALSE(std::filesystem::exists(pdf + ".partial"));
  EXPECT_EQ(infoField(pdf, "Title"), "Our Family Letters");
  EXPECT_EQ(infoField(pdf, "Creator"), "Quorvel Ink");
  EXPECT_EQ(infoField(pdf, "Page size").substr(0, 9), "612 x 792");
  EXPECT_EQ(progress, (std::vector<double>{0.5, 1.0}));

  EXPECT_NE(pageText(pdf, 1).find("Our Family Letters"), std::string::npos);
  EXPECT_NE(pageText(pdf, 1).find("The Lee family"), std::string::npos);
  EXPECT_NE(pageText(pdf, 1).find("Compiled by Bo"), std::string::npos);
  EXPECT_NE(pageText(pdf, 1).find("1923"), std::string::npos);  // the year span
  EXPECT_NE(pageText(pdf, 2).find("Made with Quorvel Ink."), std::string::npos);
  EXPECT_NE(pageText(pdf, 3).find("For our grandchildren"), std::string::npos);

  // Contents on page 5, the dated letter first, each row ending in its scan page.
  const std::string contents = pageText(pdf, 5);
  EXPECT_NE(contents.find("Contents"), std::string::npos);
  const std::string letterRow = lineWith(contents, "A letter from Ottawa");
  EXPECT_NE(letterRow.find("April 5, 1923"), std::string::npos);
  const int letterPage = lastNumber(letterRow);
  const int photoPage = lastNumber(lineWith(contents, "The lost photograph"));
  EXPECT_EQ(letterPage, 6);
  EXPECT_LT(contents.find("A letter from Ottawa"), contents.find("The lost photograph"));
  EXPECT_EQ(photoPage % 2, 0);

  const std::string scan = pageText(pdf, letterPage);
  EXPECT_NE(scan.find("A letter from Ottawa"), std::string::npos);
  EXPECT_NE(lineWith(scan, "April 5, 1923").find("\u00B7 Letter"), std::string::npos) << scan;
  EXPECT_EQ(scan.find("couldn't be found"), std::string::npos);
  const std::string images = tool("pdfimages", {"-list", "-f", std::to_string(letterPage), "-l",
                                                std::to_string(letterPage), pdf});
  EXPECT_NE(images.find("jpeg"), std::string::npos) << images;

  // Empty lines are paragraphs too: 25 paragraphs (13 lines) on the first
  // text page, 29 (14 lines) on the next.
  const std::string first = pageText(pdf, letterPage + 1);
  EXPECT_NE(first.find("Line 13"), std::string::npos);
  EXPECT_EQ(first.find("Line 14"), std::string::npos);
  const std::string second = pageText(pdf, letterPage + 2);
  EXPECT_NE(second.find("A letter from Ottawa (continued)"), std::string::npos);
  EXPECT_NE(second.find("Line 14"), std::string::npos);
  EXPECT_NE(second.find("Line 27"), std::string::npos);
  EXPECT_EQ(second.find("Line 28"), std::string::npos);

  const std::string lost = pageText(pdf, photoPage);
  EXPECT_NE(lost.find("The scan couldn't be found when this book was made."), std::string::npos);
  EXPECT_NE(lost.find("The lost photograph"), std::string::npos);
  EXPECT_NE(pageText(pdf, photoPage + 1).find("With Ann Lee."), std::string::npos);

  const std::string index = pageText(pdf, summary.pages - 1);
  EXPECT_NE(index.find("People in this book"), std::string::npos);
  EXPECT_EQ(lastNumber(lineWith(index, "Ann Lee")), photoPage);
}

TEST_F(KeepsakePdf, MeasuredPiecesAreTheDrawnPages) {
  const auto id = addKind("x.jpg", ItemKind::letter, "Lines");
  std::string text;
  for (int i = 1; i <= 60; ++i) text += "Line " + std::to_string(i) + "\n";
  catalog->saveCorrectedText(id, text);
  KeepsakeOptions options;
  options.pageSize = KeepsakeOptions::PageSize::a4;
  const std::string pdf = dir.file("a4.pdf");
  const auto summary = make(*catalog, {id}, options, pdf);
  EXPECT_EQ(infoField(pdf, "Page size").substr(0, 15), "595.28 x 841.89");
  EXPECT_EQ(infoField(pdf, "Pages"), std::to_string(summary.pages));
  // A4 frames 615.89 and 707.89 high hold 27, then 31 one-line paragraphs.
  struct Case { int page; const char* first; const char* last; const char* next; };
  for (const auto& c : std::vector<Case>{{5, "Line 1\n", "Line 27", "Line 28"},
                                         {6, "Line 28", "Line 58", "Line 59"},
                                         {7, "Line 59", "Line 60", "Line 1\n"}}) {
    const std::string t = pageText(pdf, c.page);
    EXPECT_NE(t.find(c.first), std::string::npos) << c.page;
    EXPECT_NE(t.find(c.last), std::string::npos) << c.page;
    EXPECT_EQ(t.find(c.next), std::string::npos) << c.page;
  }
}

TEST_F(KeepsakePdf, FailedWriteKeepsTheOldBookAndLeavesNoPartial) {
  writeScan(dir.file("big.jpg"), 1200, 1600);
  const auto id = addKind("big.jpg", ItemKind::letter, "Big");
  const std::string pdf = dir.file("book.pdf");
  writeFile(pdf, "the old book");

  // A file-size limit makes the writes fail as a full disk would.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 20000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    make(*catalog, {id}, KeepsakeOptions{}, pdf);
  } catch (const Failure& f) {
    message = f.what();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(message, "Couldn't write the book to " + pdf + ".");
  EXPECT_EQ(readFile(pdf), "the old book");
  EXPECT_FALSE(std::filesystem::exists(pdf + ".partial"));

  const std::string nowhere = dir.file("no/such/folder/book.pdf");
  try {
    make(*catalog, {id}, KeepsakeOptions{}, nowhere);
    FAIL() << "an unwritable destination must fail";
  } catch (const Failure& f) {
    EXPECT_EQ(std::string(f.what()), "Couldn't write the book to " + nowhere + ".");
  }
}

}  // namespace
}  // namespace quorvel
