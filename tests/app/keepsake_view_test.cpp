// The keepsake book sheet: its rules as tables, the choice and the options
// as widgets, and a book made through the real core and read back.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/app_model.h"
#include "app/keepsake_view.h"
#include "app/panel_style.h"
#include "app_test_support.h"
#include "core/model_delivery.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using app::AppModel;
using app::KeepsakeView;
using app::LibraryFilter;

// ---- Pure rules ----

TEST(KeepsakeRulesTest, SummaryHeadingAndEnabling) {
  EXPECT_EQ(KeepsakeView::summaryText(0), "0 scans · about 4 pages");
  EXPECT_EQ(KeepsakeView::summaryText(1), "1 scan · about 6 pages");
  EXPECT_EQ(KeepsakeView::summaryText(10), "10 scans · about 24 pages");
  EXPECT_EQ(KeepsakeView::sourceName("Library"), "your whole library");
  EXPECT_EQ(KeepsakeView::sourceName("Anna Weber"), "Anna Weber");
  EXPECT_EQ(KeepsakeView::allNoneTitle(0, 0), "None");
  EXPECT_EQ(KeepsakeView::allNoneTitle(3, 3), "None");
  EXPECT_EQ(KeepsakeView::allNoneTitle(2, 3), "All");
  EXPECT_EQ(KeepsakeView::allNoneTitle(0, 3), "All");

  struct Enabling {
    bool working;
    std::size_t chosen;
    std::string title;
    bool enabled;
  };
  for (const Enabling& c : std::vector<Enabling>{{false, 1, "Book", true},
                                                 {true, 1, "Book", false},
                                                 {false, 0, "Book", false},
                                                 {false, 1, "  \t ", false},
                                                 {false, 1, "", false},
                                                 {false, 1, " B ", true}}) {
    EXPECT_EQ(KeepsakeView::canMake(c.working, c.chosen, c.title), c.enabled) << c.title;
  }
  EXPECT_EQ(KeepsakeView::proposedFileName("  Letters 1923/1951 \t"), "Letters 1923-1951.pdf");
  EXPECT_EQ(KeepsakeView::proposedFileName("Book"), "Book.pdf");
}

TEST(KeepsakeRulesTest, InitialTitleFromAPersonFilter) {
  const std::vector<Person> people{Person{3, "Anna Weber", "", 2}, Person{5, "Carl", "", 1}};
  const std::string standard = KeepsakeOptions{}.title;
  struct Case {
    std::string title;
    LibraryFilter filter;
    std::string result;
  };
  for (const Case& c : std::vector<Case>{{standard, LibraryFilter::person(5), "Letters of Carl"},
                                         {standard, LibraryFilter::person(9), standard},
                                         {standard, LibraryFilter::year(1923), standard},
                                         {standard, LibraryFilter::all(), standard},
                                         {"My book", LibraryFilter::person(3), "My book"}}) {
    EXPECT_EQ(KeepsakeView::initialTitle(c.title, c.filter, people), c.result);
  }
}

TEST(KeepsakeRulesTest, RowDetail) {
  std::unordered_map<std::int64_t, std::string> dates{{1, "1947-06-03"}, {3, "1923"}};
  struct Case {
    std::int64_t id;
    ItemKind kind;
    std::string detail;
  };
  for (const Case& c : std::vector<Case>{{1, ItemKind::unknown, "June 3, 1947"},
                                         {2, ItemKind::unknown, ""},
                                         {3, ItemKind::letter, "1923 · Letter"},
                                         {4, ItemKind::photoBack, "Back of photo"},
                                         {4, ItemKind::newspaper, "Newspaper"}}) {
    ArchiveItem item;
    item.id = c.id;
    item.kind = c.kind;
    EXPECT_EQ(KeepsakeView::rowDetail(item, dates), c.detail);
  }
}

// ---- The sheet ----

// A model with `count` scans added and read.
class Sheet : public ::testing::Test {
 protected:
  AppModel& withScans(int count) {
    AppModel& model = f.make();
    for (int i = 0; i < count; ++i) writeScan(scans.file("scan" + std::to_string(i) + ".png"), 40 + i, 60 + i);
    if (count > 0) {
      model.importPaths({scans.path()});
      EXPECT_TRUE(waitUntil([&] { return model.stats().transcribed == count; }, 60000));
      f.reloadAndWait();
    }
    return model;
  }
  template <class T>
  static T* child(KeepsakeView& view, const char* name) {
    T* found = view.findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  static std::string status(KeepsakeView& view) {
    return child<app::PanelStyle::ClampedText>(view, "bookStatus")->text().toStdString();
  }

  ModelFixture f;
  TempDir scans;
  TempDir out;
};

TEST_F(Sheet, OpensWithEveryCandidateChosenAndChoosesAllOrNone) {
  AppModel& model = withScans(3);
  model.setShowBook(true);
  KeepsakeView view(model);
  view.show();
  auto* list = child<QListView>(view, "candidateList");
  auto* allNone = child<QPushButton>(view, "allNoneButton");
  auto* make = child<QPushButton>(view, "makeBookButton");
  EXPECT_EQ(list->model()->rowCount(), 3);
  EXPECT_EQ(view.chosenIds().size(), 3u);
  EXPECT_EQ(allNone->text(), "None");
  EXPECT_EQ(status(view), "3 scans · about 10 pages");
  EXPECT_TRUE(make->isEnabled());
  EXPECT_EQ(child<QLineEdit>(view, "titleField")->text(), "Our Family Letters");
  EXPECT_EQ(child<QLineEdit>(view, "subtitleField")->placeholderText(), "Letters home, 1923 – 1951");

  // A click on a row switches it; the candidates keep the library's order.
  const QRect second = list->visualRect(list->model()->index(1, 0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
  EXPECT_EQ(view.chosenIds(), (std::vector<std::int64_t>{model.items()[0].id, model.items()[2].id}));
  EXPECT_EQ(allNone->text(), "All");
  EXPECT_EQ(status(view), "2 scans · about 8 pages");
  allNone->click();
  EXPECT_EQ(view.chosenIds().size(), 3u);
  allNone->click();
  EXPECT_TRUE(view.chosenIds().empty());
  EXPECT_EQ(status(view), "0 scans · about 4 pages");
  EXPECT_FALSE(make->isEnabled());
  allNone->click();

  // A blank title disables the button.
  child<QLineEdit>(view, "titleField")->setText("  ");
  EXPECT_FALSE(make->isEnabled());
  child<QLineEdit>(view, "titleField")->setText("Anna's letters");
  EXPECT_TRUE(make->isEnabled());

  // Turning the typed text off disables the translations but keeps their value.
  auto* text = child<QCheckBox>(view, "includeText");
  auto* translations = child<QCheckBox>(view, "includeTranslations");
  text->click();
  EXPECT_FALSE(view.options().includeText);
  EXPECT_FALSE(translations->isEnabled());
  EXPECT_TRUE(translations->isChecked());
  EXPECT_TRUE(view.options().includeTranslations);
  text->click();
  EXPECT_TRUE(translations->isEnabled());

  // Cancel closes the sheet and lowers the model's flag.
  child<QPushButton>(view, "cancelButton")->click();
  EXPECT_FALSE(view.isVisible());
  EXPECT_FALSE(model.showBook());
}

TEST_F(Sheet, AClickAnywhereOnARowSwitchesItOnce) {
  AppModel& model = withScans(1);
  KeepsakeView view(model);
  view.show();
  auto* list = child<QListView>(view, "candidateList");
  const QRect row = list->visualRect(list->model()->index(0, 0));
  // On the drawn checkbox, where Qt's own delegate puts one, on the thumbnail and on the text.
  for (int x : {3, 9, 12, 16, 24, 50, row.width() / 2}) {
    const bool before = !view.chosenIds().empty();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(row.left() + x, row.center().y()));
    EXPECT_NE(!view.chosenIds().empty(), before) << "a click at x+" << x;
  }
}

TEST_F(Sheet, WithNoCandidatesNothingCanBeMade) {
  AppModel& model = withScans(0);
  KeepsakeView view(model);
  EXPECT_EQ(child<QPushButton>(view, "allNoneButton")->text(), "None");
  EXPECT_EQ(status(view), "0 scans · about 4 pages");
  EXPECT_FALSE(child<QPushButton>(view, "makeBookButton")->isEnabled());
}

TEST_F(Sheet, TitleOfAPersonsLettersAndTheProposedName) {
  AppModel& model = withScans(1);
  const std::int64_t anna = model.catalog().ensurePerson("Anna/Weber");
  model.catalog().tagPerson(model.items()[0].id, anna);
  f.reloadAndWait();
  model.setFilter(LibraryFilter::person(anna));
  f.reloadAndWait();
  KeepsakeView view(model);
  EXPECT_EQ(child<QLineEdit>(view, "titleField")->text(), "Letters of Anna/Weber");
  child<QLineEdit>(view, "titleField")->setText("  Letters of Anna/Weber ");
  f.panels.saveAnswers.push_back(std::nullopt);  // cancelled: nothing changes
  view.make();
  ASSERT_EQ(f.panels.saveRequests.size(), 1u);
  EXPECT_EQ(f.panels.saveRequests[0],
            (std::pair<std::string, std::string>{"Save the keepsake book", "Letters of Anna-Weber.pdf"}));
  EXPECT_FALSE(view.working());
  EXPECT_EQ(status(view), "1 scan · about 6 pages");
}

TEST_F(Sheet, MakesABookOfTwentyScansAndCannotBeClosedMeanwhile) {
  AppModel& model = withScans(20);
  model.setShowBook(true);
  KeepsakeView view(model);
  view.show();
  const std::string path = out.file("Our Family Letters.pdf");
  f.panels.saveAnswers.push_back(path);
  QTest::mouseClick(child<QPushButton>(view, "makeBookButton"), Qt::LeftButton);
  ASSERT_TRUE(view.working());
  EXPECT_EQ(status(view), "Laying out the pages…");
  EXPECT_FALSE(child<QPushButton>(view, "cancelButton")->isEnabled());
  EXPECT_FALSE(child<QPushButton>(view, "makeBookButton")->isEnabled());
  // Escape, the close button and reject() are refused while the book is made.
  QTest::keyClick(&view, Qt::Key_Escape);
  EXPECT_TRUE(view.isVisible());
  EXPECT_FALSE(view.close());
  view.reject();
  EXPECT_TRUE(view.isVisible());
  EXPECT_TRUE(model.showBook());

  ASSERT_TRUE(waitUntil([&] { return !view.working(); }, 120000));
  EXPECT_FALSE(view.error()) << *view.error();
  EXPECT_FALSE(view.isVisible());
  EXPECT_FALSE(model.showBook());
  EXPECT_EQ(model.lastBook(), path);
  ASSERT_TRUE(model.notice());
  EXPECT_EQ(model.notice()->rfind("Saved Our Family Letters.pdf: 20 scans, ", 0), 0u) << *model.notice();

  const std::string info = Shell::run("/usr/bin/pdfinfo", {path});
  const auto pagesAt = info.find("Pages:");
  ASSERT_NE(pagesAt, std::string::npos);
  const int pages = std::stoi(info.substr(pagesAt + 6));
  EXPECT_GE(pages, 2 * 20 + 4);
  EXPECT_EQ(pages % 2, 0);
  EXPECT_NE(model.notice()->find(", " + std::to_string(pages) + " pages, "), std::string::npos);
}

TEST_F(Sheet, AFailureStaysInTheSheetUntilTheNextAttempt) {
  AppModel& model = withScans(2);
  KeepsakeView view(model);
  view.show();
  f.panels.saveAnswers.push_back(out.file("missing/folder/book.pdf"));
  view.make();
  ASSERT_TRUE(waitUntil([&] { return !view.working(); }, 60000));
  ASSERT_TRUE(view.error());
  EXPECT_TRUE(view.isVisible());
  EXPECT_EQ(status(view), *view.error());
  EXPECT_EQ(child<app::PanelStyle::ClampedText>(view, "bookStatus")->color(), app::PanelStyle::red());
  EXPECT_FALSE(model.lastBook());
  EXPECT_EQ(view.chosenIds().size(), 2u);

  // A name typed without ".pdf" gets it.
  f.panels.saveAnswers.push_back(out.file("book"));
  view.make();
  EXPECT_FALSE(view.error());
  EXPECT_EQ(status(view), "Laying out the pages…");
  ASSERT_TRUE(waitUntil([&] { return !view.working(); }, 60000));
  EXPECT_EQ(model.lastBook(), out.file("book.pdf"));
  EXPECT_TRUE(fs::exists(out.file("book.pdf")));
}

TEST_F(Sheet, AResultForASheetThatIsGoneIsDropped) {
  AppModel& model = withScans(4);
  auto view = std::make_unique<KeepsakeView>(model);
  const std::string path = out.file("gone.pdf");
  f.panels.saveAnswers.push_back(path);
  view->make();
  ASSERT_TRUE(view->working());
  view.reset();  // waits for the book's worker; its results are dropped
  pump(100);
  EXPECT_FALSE(model.lastBook());
  EXPECT_TRUE(fs::exists(path));
}

}  // namespace
}  // namespace quorvel::testing
