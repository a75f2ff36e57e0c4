// The sidebar: its rows and footer texts as tables, and choosing a row.
#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QTest>

#include "app/app_model.h"
#include "app/sidebar.h"
#include "app_test_support.h"

using namespace quorvel;
using namespace quorvel::app;
using namespace quorvel::testing;

namespace {

std::vector<std::string> texts(const Sidebar::Section& section) {
  std::vector<std::string> result;
  for (const Sidebar::Row& row : section.rows) result.push_back(row.text);
  return result;
}

}  // namespace

TEST(SidebarRowsTest, SectionsRowsAndBadges) {
  CatalogStats stats;
  auto library = Sidebar::sections(stats, {}, {});
  ASSERT_EQ(library.size(), 1u);  // no people, no years: only "Library"
  EXPECT_EQ(library[0].title, "Library");
  EXPECT_EQ(texts(library[0]), (std::vector<std::string>{"All Scans", "Letters", "Photos", "Documents", "Cards",
                                                         "Newspaper", "Favorites", "Needs Review"}));
  EXPECT_EQ(library[0].rows[0].badge, 0);  // an empty archive shows no count
  EXPECT_EQ(library[0].rows[1].filter, LibraryFilter::kind(ItemKind::letter));
  EXPECT_EQ(library[0].rows[5].filter, LibraryFilter::kind(ItemKind::newspaper));
  EXPECT_EQ(library[0].rows[7].filter, LibraryFilter::needsReview());

  stats.items = 12;
  Person anna{7, "Anna Weber", "", 3};
  Person carl{9, "Carl", "", 0};
  auto full = Sidebar::sections(stats, {anna, carl}, {{1923, 4}, {2001, 1}});
  ASSERT_EQ(full.size(), 3u);
  EXPECT_EQ(full[0].rows[0].badge, 12);
  EXPECT_EQ(full[1].title, "People");
  EXPECT_EQ(full[1].rows[0], (Sidebar::Row{LibraryFilter::person(7), "Anna Weber", "avatar-default-symbolic", 3}));
  EXPECT_EQ(full[1].rows[1].badge, 0);  // tagged on no scan: no badge
  EXPECT_EQ(full[2].title, "Years");
  EXPECT_EQ(texts(full[2]), (std::vector<std::string>{"1923", "2001"}));  // bare digits
  EXPECT_EQ(full[2].rows[0].filter, LibraryFilter::year(1923));
  EXPECT_EQ(full[2].rows[0].badge, 4);
}

TEST(SidebarFooterTest, DownloadAndReadingTexts) {
  DownloadProgress progress;
  progress.message = "120 MB of 3.1 GB";
  progress.etaSeconds = 30;
  EXPECT_EQ(Sidebar::downloadDetail(progress), "120 MB of 3.1 GB \u00b7 30 s left");
  progress.etaSeconds = 0;
  EXPECT_EQ(Sidebar::downloadDetail(progress), "120 MB of 3.1 GB");

  QueueState queue;
  queue.currentItemId = 4;
  EXPECT_EQ(Sidebar::readingTitle(queue), "Reading handwriting");
  EXPECT_EQ(Sidebar::readingDetail(queue), "Getting ready\u2026");
  EXPECT_FALSE(Sidebar::readingFraction(queue).has_value());
  queue.waiting = {5, 6, 7, 8};
  EXPECT_EQ(Sidebar::readingTitle(queue), "Reading handwriting \u00b7 4 more waiting");
  queue.progress = HandwritingProgress{0, 0, 0, 0, "Cutting the page"};
  EXPECT_FALSE(Sidebar::readingFraction(queue).has_value());  // no total yet: indeterminate
  queue.progress = HandwritingProgress{3, 12, 2.0, 18, "Tile 3 of 12"};
  EXPECT_EQ(Sidebar::readingDetail(queue), "Tile 3 of 12");
  EXPECT_DOUBLE_EQ(*Sidebar::readingFraction(queue), 0.25);
  queue.lastMessage = "The reader stopped.";
  EXPECT_FALSE(Sidebar::idleMessage(queue).has_value());  // busy: the reading block shows instead

  QueueState idle;
  EXPECT_FALSE(Sidebar::idleMessage(idle).has_value());
  idle.lastMessage = "Stopped";
  EXPECT_FALSE(Sidebar::idleMessage(idle).has_value());
  idle.lastMessage = "The reader could not start.";
  EXPECT_EQ(Sidebar::idleMessage(idle), "The reader could not start.");
  EXPECT_EQ(Sidebar::privacyLine(), "Everything stays on this computer.");
}

TEST(SidebarViewTest, ChoosingARowClearsTheSearchAndFollowsTheFilter) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  SidebarView sidebar(model);
  sidebar.resize(220, 600);
  sidebar.show();
  QListWidget* list = sidebar.list();
  ASSERT_EQ(list->count(), 9);  // the heading and eight rows
  EXPECT_EQ(list->currentItem()->text(), "All Scans");

  model.setSearchText("anna");
  QListWidgetItem* letters = list->findItems("Letters", Qt::MatchExactly).value(0);
  ASSERT_NE(letters, nullptr);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(letters).center());
  EXPECT_EQ(model.searchText(), "");
  EXPECT_EQ(model.filter(), LibraryFilter::kind(ItemKind::letter));
  EXPECT_EQ(list->currentItem(), letters);

  // The selection follows the model when another view changes the filter.
  model.setFilter(LibraryFilter::favorites());
  EXPECT_EQ(list->currentItem()->text(), "Favorites");

  // The footer: only the privacy line while nothing runs.
  EXPECT_TRUE(sidebar.findChild<QWidget*>("importBlock")->isHidden());
  EXPECT_TRUE(sidebar.findChild<QWidget*>("downloadBlock")->isHidden());
  EXPECT_TRUE(sidebar.findChild<QWidget*>("downloadErrorBlock")->isHidden());
  EXPECT_TRUE(sidebar.findChild<QWidget*>("readingBlock")->isHidden());
  EXPECT_FALSE(sidebar.findChild<QLabel*>("privacyLine")->isHidden());
}

TEST(SidebarViewTest, ImportShowsItsStatusAndPeopleAndYearsAppear) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  SidebarView sidebar(model);
  sidebar.show();
  TempDir scans;
  writeScan(scans.file("letter.png"));
  bool sawImport = false;
  QObject::connect(&model, &AppModel::importStatusChanged, [&] {
    auto* block = sidebar.findChild<QWidget*>("importBlock");
    if (model.importMessage() && !block->isHidden() &&
        sidebar.findChild<QLabel*>("importMessage")->text().toStdString() == *model.importMessage())
      sawImport = true;
  });
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
  EXPECT_TRUE(sawImport);

  const std::int64_t id = model.items()[0].id;
  const std::int64_t anna = model.catalog().ensurePerson("Anna Weber");
  model.catalog().tagPerson(id, anna);
  model.catalog().addDate(id, "1923-05", "text", false);
  fixture.reloadAndWait();
  EXPECT_NE(sidebar.list()->findItems("People", Qt::MatchExactly).value(0), nullptr);
  EXPECT_NE(sidebar.list()->findItems("Anna Weber", Qt::MatchExactly).value(0), nullptr);
  EXPECT_NE(sidebar.list()->findItems("1923", Qt::MatchExactly).value(0), nullptr);
}
