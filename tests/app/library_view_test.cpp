// The library: its texts and choices as tables, the scan card's hit
// highlighting and badges, and the grid, bars and menu wired to the model.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include "app/app_model.h"
#include "app/components.h"
#include "app/library_view.h"
#include "app/scan_card.h"
#include "app_test_support.h"

using namespace quorvel;
using namespace quorvel::app;
using namespace quorvel::testing;

namespace {

ArchiveItem itemWith(std::int64_t id, ItemKind kind, OcrStatus status = OcrStatus::done, bool favorite = false) {
  ArchiveItem item;
  item.id = id;
  item.fileName = "scan" + std::to_string(id) + ".png";
  item.kind = kind;
  item.ocrStatus = status;
  item.favorite = favorite;
  return item;
}

// Three scans added through the model and read.
struct Archive {
  ModelFixture fixture;
  TempDir scans;
  AppModel& model;
  Archive() : model(fixture.make()) {
    for (int i = 1; i <= 3; ++i) writeScan(scans.file("letter" + std::to_string(i) + ".png"), 60 + i);
    model.importPaths({scans.path()});
    waitUntil([&] { return model.items().size() == 3 && model.stats().transcribed == 3; });
  }
};

QAction* menuEntry(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

}  // namespace

TEST(LibraryTextTest, CountsSubtitlesAndUndoSentences) {
  EXPECT_EQ(Library::countText(0), "");
  EXPECT_EQ(Library::countText(1), "1 scan");
  EXPECT_EQ(Library::countText(2), "2 scans");
  EXPECT_EQ(Library::undoText(1), "Removed 1 scan from your library. The file is still on your computer.");
  EXPECT_EQ(Library::undoText(3), "Removed 3 scans from your library. The files are still on your computer.");

  const std::unordered_map<std::int64_t, std::string> snippets{{1, "Dear [Anna],\nthe [harvest]"}, {2, ""}};
  const std::unordered_map<std::int64_t, std::string> dates{{2, "1947-06-03"}, {3, "1923"}};
  struct Case {
    ArchiveItem item;
    std::string subtitle;
  } cases[] = {
      {itemWith(1, ItemKind::letter), "Dear [Anna], the [harvest]"},  // line feed as a space, marks kept
      {itemWith(2, ItemKind::letter), "June 3, 1947"},                // empty snippet falls through to the date
      {itemWith(3, ItemKind::photo), "1923"},
      {itemWith(4, ItemKind::photoBack), "Back of photo"},
      {itemWith(5, ItemKind::unknown), "Scan"},
  };
  for (const Case& c : cases) EXPECT_EQ(Library::cardSubtitle(c.item, snippets, dates), c.subtitle) << c.item.id;
}

TEST(LibraryTextTest, EmptyStateFollowsWhyTheListIsEmpty) {
  using E = Library::EmptyState;
  struct Case {
    std::string search;
    int archiveItems;
    E state;
  } cases[] = {
      {"", 0, E::firstRun},       {"", 5, E::nothingHere},     {" \t ", 0, E::firstRun},
      {"  ", 5, E::nothingHere},  {" anna", 0, E::noSearchResults}, {"\n", 5, E::noSearchResults},
  };
  for (const Case& c : cases) EXPECT_EQ(Library::emptyState(c.search, c.archiveItems), c.state) << c.search;
  // The search text is shown as typed, leading space included.
  EXPECT_EQ(Library::emptyTitle(E::noSearchResults, " anna"), "No Results for \u201c anna\u201d");
  EXPECT_EQ(Library::emptyTitle(E::nothingHere, ""), "Nothing here yet");
  EXPECT_EQ(Library::emptyMessage(E::nothingHere), "No scans match this view.");
  EXPECT_EQ(Library::emptyTitle(E::firstRun, ""), "Start with the family box");
}

TEST(LibraryTextTest, NoticeBarGroups) {
  using G = Library::NoticeGroups;
  const std::optional<std::string> book = "/home/me/Family.pdf";
  EXPECT_EQ(Library::noticeGroups("Saved Family.pdf with 12 pages.", book, false), (G{true, false}));
  EXPECT_EQ(Library::noticeGroups("Backed up.", book, false), (G{false, false}));
  EXPECT_EQ(Library::noticeGroups("Saved Family.pdf", std::nullopt, false), (G{false, false}));
  EXPECT_EQ(Library::noticeGroups("Saved Other.pdf", book, true), (G{false, true}));
  EXPECT_EQ(Library::noticeGroups("Saved Family.pdf, and a restore waits.", book, true), (G{true, true}));
}

TEST(ScanCardTest, HighlightedRuns) {
  using R = ScanCard::Run;
  struct Case {
    QString text;
    std::vector<R> runs;
  } cases[] = {
      {"plain", {{"plain", false}}},
      {"a [b] c [d]", {{"a ", false}, {"b", true}, {" c ", false}, {"d", true}}},
      {"[a[b]c]", {{"a[b", true}, {"c]", false}}},  // no nesting: the first "]" closes
      {"x] [y", {{"x] [y", false}}},                // a "]" first and an unmatched "[" stay
      {"[a] then [b", {{"a", true}, {" then [b", false}}},
      {"[]gone", {{"gone", false}}},                // an empty pair vanishes
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ScanCard::highlighted(c.text), c.runs) << c.text.toStdString();
}

TEST(ScanCardTest, BadgesAndAccessibleText) {
  using B = ScanCard::Badge;
  struct Case {
    OcrStatus status;
    bool favorite;
    std::vector<B> badges;
  } cases[] = {
      {OcrStatus::pending, true, {B::waiting, B::favorite}}, {OcrStatus::running, false, {B::waiting}},
      {OcrStatus::done, false, {}},                          {OcrStatus::done, true, {B::favorite}},
      {OcrStatus::failed, false, {B::failed}},               {OcrStatus::failed, true, {B::failed, B::favorite}},
      {OcrStatus::skipped, false, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScanCard::badges(itemWith(1, ItemKind::letter, c.status, c.favorite)), c.badges);
  }
  EXPECT_EQ(ScanCard::badgeHelp(B::waiting), "Waiting to be read");
  EXPECT_EQ(ScanCard::badgeHelp(B::failed), "Couldn't be read");
  EXPECT_EQ(ScanCard::badgeHelp(B::favorite), "");
  ArchiveItem item = itemWith(1, ItemKind::letter);
  item.title = "To Anna";
  EXPECT_EQ(ScanCard::accessibleText(item, "Dear [Anna], the [harvest]"), "To Anna, Dear Anna, the harvest");
}

TEST(LibraryGridTest, AdaptiveColumns) {
  struct Case {
    int inner, count, width;
  } cases[] = {
      {100, 1, 100}, {172, 1, 172}, {300, 1, 240}, {359, 1, 240}, {360, 2, 172}, {400, 2, 192}, {1000, 5, 187},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LibraryGrid::columns(c.inner), std::make_pair(c.count, c.width)) << c.inner;
  }
}

TEST(LibraryViewTest, GridOpensCardsAndItsHeadingCounts) {
  Archive archive;
  AppModel& model = archive.model;
  LibraryView view(model);
  view.resize(900, 700);
  view.show();
  ASSERT_EQ(view.listModel()->rowCount(), 3);
  EXPECT_EQ(view.findChild<QLabel*>("libraryTitle")->text(), "Library");
  EXPECT_EQ(view.findChild<QLabel*>("librarySubtitle")->text(), "3 scans");
  EXPECT_TRUE(view.makeBookAction()->isEnabled());

  // Cards sit side by side in one row at this width, all of one size.
  const QRect first = view.grid()->visualRect(view.listModel()->index(0));
  const QRect third = view.grid()->visualRect(view.listModel()->index(2));
  EXPECT_EQ(first.top(), third.top());
  EXPECT_EQ(first.size(), third.size());

  QTest::mouseClick(view.grid()->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{model.items()[0].id});

  view.addScansAction()->trigger();
  EXPECT_EQ(archive.fixture.panels.openRequests.size(), 1u);
}

TEST(LibraryViewTest, CardsFillTheirColumnsAndOnlyTheCardAnswersThePointer) {
  Archive archive;
  LibraryView view(archive.model);
  view.show();
  LibraryGrid* grid = view.grid();
  const int bar = grid->verticalScrollBar()->sizeHint().width();
  // Three columns wider than the narrowest; one column at its widest, centred.
  for (int width : {760, 1000, 355}) {
    view.resize(width, 700);
    pump(50);
    const auto [count, column] = LibraryGrid::columns(grid->width() - bar - 40);
    std::vector<QRect> cards;
    for (int row = 0; row < std::min(count, 3); ++row) {
      cards.push_back(ScanCardDelegate::cardRect(grid->visualRect(view.listModel()->index(row))));
    }
    for (std::size_t i = 0; i < cards.size(); ++i) {
      EXPECT_EQ(cards[i].width(), column) << width << " px, card " << i;
      if (i > 0) {
        EXPECT_EQ(cards[i].left() - cards[i - 1].right() - 1, 16) << width << " px, gap " << i;
      }
    }
    if (static_cast<int>(cards.size()) == count) {
      // In the grid's own coordinates: as far from its left edge as from the scroll bar.
      const int left = grid->viewport()->x() + cards.front().left();
      const int right = grid->width() - bar - (grid->viewport()->x() + cards.back().right() + 1);
      EXPECT_LE(std::abs(left - right), 2) << width << " px: " << left << " and " << right;
    }
  }

  // The margin around a card is no part of it: a click there opens nothing.
  view.resize(1000, 700);
  pump(50);
  const QRect cell = grid->visualRect(view.listModel()->index(1));
  const QPoint margin(cell.left() + ScanCardDelegate::kInset / 2, cell.center().y());
  EXPECT_FALSE(grid->indexAt(margin).isValid());
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, margin);
  EXPECT_TRUE(archive.model.path().empty());
  EXPECT_EQ(grid->indexAt(cell.center()), view.listModel()->index(1));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(archive.model.path(), std::vector<std::int64_t>{archive.model.items()[1].id});
}

TEST(LibraryViewTest, ContextMenuFavouriteRemoveUndoAndReaderOffer) {
  Archive archive;
  AppModel& model = archive.model;
  LibraryView view(model);
  const ArchiveItem item = model.items()[0];
  ASSERT_FALSE(item.favorite);

  std::unique_ptr<QMenu> menu(view.contextMenu(item, &view));
  QStringList texts;
  for (QAction* action : menu->actions()) texts << (action->isSeparator() ? "-" : action->text());
  EXPECT_EQ(texts, (QStringList{"Open", "Add to Favorites", "Show in File Manager", "Read Handwriting",
                                "Save as Searchable PDF\u2026", "-", "Remove from Library"}));
  menuEntry(menu.get(), "Add to Favorites")->trigger();
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 3 && model.items()[0].favorite; }));
  menu.reset(view.contextMenu(model.items()[0], &view));
  EXPECT_NE(menuEntry(menu.get(), "Remove from Favorites"), nullptr);

  menuEntry(menu.get(), "Show in File Manager")->trigger();
  EXPECT_EQ(archive.fixture.desktop.revealed, std::vector<std::string>{item.path});

  // The reader is missing: the offer comes up for exactly this item; "Not Now" starts nothing.
  archive.fixture.panels.confirmAnswers.push_back(false);
  menuEntry(menu.get(), "Read Handwriting")->trigger();
  ASSERT_TRUE(waitUntil([&] { return !archive.fixture.panels.confirmRequests.empty(); }));
  EXPECT_EQ(archive.fixture.panels.confirmRequests.front(), "Download the handwriting reader?");
  EXPECT_FALSE(model.downloadRunning());

  auto* undoBar = view.findChild<QWidget*>("undoBar");
  EXPECT_TRUE(undoBar->isHidden());
  menuEntry(menu.get(), "Remove from Library")->trigger();
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 2; }));
  EXPECT_FALSE(undoBar->isHidden());
  EXPECT_EQ(view.findChild<QLabel*>("undoText")->text(),
            "Removed 1 scan from your library. The file is still on your computer.");
  view.findChild<QPushButton*>("undoButton")->click();
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 3; }));
  EXPECT_TRUE(undoBar->isHidden());

  model.remove({model.items()[0].id, model.items()[1].id});
  EXPECT_EQ(view.findChild<QLabel*>("undoText")->text(),
            "Removed 2 scans from your library. The files are still on your computer.");
  view.findChild<QToolButton*>("dismissUndoButton")->click();
  EXPECT_TRUE(model.lastRemoved().empty());
  EXPECT_TRUE(undoBar->isHidden());
}

TEST(LibraryViewTest, NoticeBarButtons) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  LibraryView view(model);
  auto* bar = view.findChild<QWidget*>("noticeBar");
  EXPECT_TRUE(bar->isHidden());
  model.setNotice(std::string("Backed up to archive.quorvel-backup."));
  EXPECT_FALSE(bar->isHidden());
  EXPECT_EQ(view.findChild<QLabel*>("noticeText")->text(), "Backed up to archive.quorvel-backup.");
  EXPECT_TRUE(view.findChild<QPushButton*>("openBookButton")->isHidden());
  EXPECT_TRUE(view.findChild<QPushButton*>("quitNowButton")->isHidden());
  view.findChild<QToolButton*>("dismissNoticeButton")->click();
  EXPECT_FALSE(model.notice().has_value());
  EXPECT_TRUE(bar->isHidden());
}

TEST(LibraryViewTest, EmptyStates) {
  Archive archive;
  AppModel& model = archive.model;
  LibraryView view(model);
  auto* content = view.findChild<QStackedWidget*>();
  model.setFilter(LibraryFilter::favorites());
  ASSERT_TRUE(waitUntil([&] { return model.items().empty(); }));
  EXPECT_EQ(content->currentWidget()->objectName(), "emptyState");
  EXPECT_EQ(view.findChild<QLabel*>("emptyTitle")->text(), "Nothing here yet");
  EXPECT_TRUE(view.findChild<QPushButton*>("emptyAddScansButton")->isHidden());
  EXPECT_EQ(view.findChild<QLabel*>("librarySubtitle")->text(), "");
  EXPECT_FALSE(view.makeBookAction()->isEnabled());
}

TEST(LibraryViewTest, AnEmptyStatesExplanationGetsTheHeightOfAllItsLines) {
  ModelFixture fresh;
  AppModel& model = fresh.make();
  LibraryView view(model);
  view.show();
  auto* message = view.findChild<QLabel*>("emptyMessage");
  for (const std::string& search : {std::string(), std::string("zzqq")}) {  // first run, no results
    model.setSearchText(search);
    ASSERT_TRUE(waitUntil([&] { return model.newestReloadApplied() && !model.reloadPending(); }));
    for (int width : {360, 700, 1400}) {
      view.resize(width, 700);
      pump(50);
      ASSERT_TRUE(message->isVisible());
      EXPECT_GE(message->height(), message->heightForWidth(message->width()))
          << width << " px: \"" << message->text().toStdString() << "\"";
      EXPECT_LE(message->width(), 460);
      const QRect at(message->mapTo(&view, QPoint(0, 0)), message->size());
      EXPECT_LE(std::abs(at.left() - (view.width() - at.right() - 1)), 2) << "centred at " << width << " px";
    }
  }
}

TEST(LibraryViewTest, FirstRunOffersAddScans) {
  ModelFixture fresh;
  AppModel& empty = fresh.make();
  LibraryView first(empty);
  EXPECT_EQ(first.findChild<QLabel*>("emptyTitle")->text(), "Start with the family box");
  auto* add = first.findChild<QPushButton*>("emptyAddScansButton");
  EXPECT_FALSE(add->isHidden());
  add->click();
  EXPECT_EQ(fresh.panels.openRequests.size(), 1u);
}

TEST(ThumbnailCacheTest, DecodesSmallAndRetriesABadFileOnlyWhenAsked) {
  TempDir dir;
  const QString path = QString::fromStdString(dir.file("thumb.jpg"));
  writeFile(path.toStdString(), "not an image");
  ThumbnailCache& cache = ThumbnailCache::shared();
  int loads = 0;
  QObject::connect(&cache, &ThumbnailCache::loaded, [&](const QString& loaded, bool) { loads += loaded == path; });
  cache.request(path);
  ASSERT_TRUE(waitUntil([&] { return loads == 1; }));
  EXPECT_TRUE(cache.failed(path));
  cache.request(path);  // a repaint asking again reads nothing
  pump(100);
  EXPECT_EQ(loads, 1);

  QImage image(512, 384, QImage::Format_RGB32);
  image.fill(Qt::darkCyan);
  ASSERT_TRUE(image.save(path, "JPEG"));
  cache.retry(path);
  ASSERT_TRUE(waitUntil([&] { return loads == 2; }));
  ASSERT_TRUE(cache.cached(path).has_value());
  EXPECT_EQ(cache.cached(path)->size(), QSize(200, 150));  // decoded to fit a card, 240 by 150
  EXPECT_FALSE(cache.failed(path));
}
