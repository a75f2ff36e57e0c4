#include <gtest/gtest.h>

#include <vips/vips8>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <memory>

#include "app/app_model.h"
#include "app/components.h"
#include "app/detail_scan_pane.h"
#include "app/detail_view.h"
#include "app/panel_style.h"
#include "app/translate_view.h"
#include "app_test_support.h"
#include "core/crafted_png.h"
#include "core/image_tools.h"
#include "core/paths.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using app::DetailView;
using app::ScanPane;
using app::TranslationSection;
namespace DetailText = app::DetailText;

// ---- Pure rules ----

TEST(DetailTextTest, StatusLineByFirstMatchingRow) {
  ArchiveItem item;
  item.fileName = "letter.jpg";
  auto with = [&](OcrStatus status) {
    ArchiveItem copy = item;
    copy.ocrStatus = status;
    return std::optional<ArchiveItem>(copy);
  };
  struct Case {
    std::optional<ArchiveItem> item;
    bool corrected;
    std::string engine, text, line;
  };
  const std::vector<Case> cases{
      {std::nullopt, true, "handwriting", "x", ""},
      {with(OcrStatus::pending), true, "", "x", "Reading…"},
      {with(OcrStatus::running), false, "", "", "Reading…"},
      {with(OcrStatus::failed), true, "", "x", "Couldn't be read"},
      {with(OcrStatus::done), true, "handwriting-qwen", "", "Edited by you"},
      {with(OcrStatus::done), false, "handwriting-qwen", "", "Read by the handwriting reader"},
      {with(OcrStatus::done), false, "tesseract", "", "No text found"},
      {with(OcrStatus::skipped), false, "tesseract", "Dear Anna", "Read automatically"},
      {with(OcrStatus::done), false, "user-handwriting", "x", "Read automatically"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DetailText::statusLine(c.item, c.corrected, c.engine, c.text), c.line) << c.line;
  }
}

TEST(DetailTextTest, ReadingHintTitlesFactsAndSizes) {
  const std::string edited =
      "You've edited this text, so a new reading won't replace it. Clear the text first if you want a "
      "fresh read.";
  EXPECT_EQ(DetailText::readingHint(true, "Dear Anna", "2 min"), edited);
  // A corrected text of white space only is no edit worth the warning.
  EXPECT_EQ(DetailText::readingHint(true, " \n\t ", "2 min"), "Handwriting takes about 2 min for this page.");
  EXPECT_EQ(DetailText::readingHint(false, "Dear Anna", std::nullopt), "");
  EXPECT_EQ(DetailText::readingHint(true, "", std::nullopt), "");

  ArchiveItem item;
  item.fileName = "Brief an Anna.1923.jpg";
  item.kind = ItemKind::photoBack;
  item.width = 5100;
  item.height = 6600;
  item.fileSize = 12'345'678;
  EXPECT_EQ(DetailText::title(std::nullopt), "Scan");
  EXPECT_EQ(DetailText::title(item), "Brief an Anna.1923");
  EXPECT_EQ(DetailText::subtitle(std::nullopt), "");
  EXPECT_EQ(DetailText::subtitle(item), "Back of photo · Brief an Anna.1923.jpg");
  EXPECT_EQ(DetailText::facts(item), "5100 × 6600 · 12.3 MB");

  struct Size {
    std::int64_t bytes;
    std::string text;
  };
  for (const Size& c : std::vector<Size>{{0, "Zero KB"},
                                         {1, "1 byte"},
                                         {999, "999 bytes"},
                                         {1000, "1 KB"},
                                         {845'000, "845 KB"},
                                         {1'000'000, "1.0 MB"},
                                         {2'340'000'000, "2.34 GB"}}) {
    EXPECT_EQ(DetailText::fileSize(c.bytes), c.text) << c.bytes;
  }
  EXPECT_EQ(DetailText::missingDescription("/a/b.jpg"),
            "The file isn't where it was:\n/a/b.jpg\nYour transcription, people and dates are still here.");
}

TEST(DetailTextTest, EditorColumnWidthIsClamped) {
  for (auto [page, column] : std::vector<std::pair<int, int>>{{0, 300}, {600, 300}, {1000, 440}, {1272, 560}, {3000, 560}}) {
    EXPECT_EQ(DetailText::editorWidth(page), column) << page;
  }
}

TEST(DetailTextTest, DismissingAnUncertainWordRemovesEveryEqualPair) {
  const UncertainWord a("Hannover", "Hamburg"), b("Anna", "Anne");
  EXPECT_EQ(DetailText::uncertainChip(a), "Hannover or Hamburg?");
  const auto left = DetailText::dismissing({a, b, a}, a);
  EXPECT_EQ(left, std::vector<UncertainWord>{b});
  // The same chosen reading with another alternative is another pair.
  EXPECT_EQ(DetailText::dismissing({a, UncertainWord("Hannover", "Hanau")}, a).size(), 1u);
  EXPECT_EQ(DetailText::storedUncertain({}), "");
  EXPECT_EQ(decodeUncertainWords(DetailText::storedUncertain(left)), left);
}

TEST(ScanPaneRulesTest, ZoomStepsStopAtTheLimits) {
  std::vector<double> in{1.0};
  for (int i = 0; i < 10; ++i) in.push_back(ScanPane::zoomedIn(in.back()));
  EXPECT_DOUBLE_EQ(in[1], 1.25);
  EXPECT_DOUBLE_EQ(in[2], 1.5625);
  EXPECT_DOUBLE_EQ(in[3], 1.953125);
  EXPECT_LT(in[8], 6.0);
  EXPECT_EQ(in[9], 6.0);  // the ninth step would pass 6
  EXPECT_EQ(in[10], 6.0);
  std::vector<double> out{1.0};
  for (int i = 0; i < 5; ++i) out.push_back(ScanPane::zoomedOut(out.back()));
  EXPECT_DOUBLE_EQ(out[1], 0.8);
  EXPECT_DOUBLE_EQ(out[2], 0.64);
  EXPECT_DOUBLE_EQ(out[3], 0.512);
  EXPECT_EQ(out[4], 0.5);
  EXPECT_EQ(out[5], 0.5);

  // A wide scan in a tall area is fitted by its width.
  EXPECT_DOUBLE_EQ(ScanPane::fitFactor(QSizeF(400, 1000), QSizeF(800, 400)), 0.5);
  EXPECT_DOUBLE_EQ(ScanPane::fitFactor(QSizeF(1000, 400), QSizeF(800, 800)), 0.5);
  EXPECT_DOUBLE_EQ(ScanPane::fitFactor(QSizeF(100, 100), QSizeF()), 1.0);
}

TEST(ScanPaneRulesTest, ANarrowPageKeepsTheZoomButtonsAndTheHeadersButtons) {
  // Buttons 100 wide: with margins and gaps they take 144 at the full spacing;
  // the facts are 110 wide.
  using Parts = ScanPane::ZoomBarParts;
  struct Case {
    int width;
    Parts parts;
  };
  for (const Case& c : std::vector<Case>{{400, {true, true, 10, 12, 120}},
                                         {334, {true, true, 10, 12, 120}},
                                         {333, {true, false, 10, 12, 120}},
                                         {214, {true, false, 10, 12, 120}},
                                         {213, {false, false, 10, 12, 120}},
                                         {144, {false, false, 10, 12, 120}},
                                         {143, {false, false, 4, 6, 120}},
                                         {0, {false, false, 4, 6, 120}}}) {
    EXPECT_EQ(ScanPane::zoomBarParts(c.width, 100, 110), c.parts) << c.width;
  }
  // The header's buttons stand beside the title while it keeps 200 of the page.
  EXPECT_TRUE(DetailText::toolbarBesideTitle(24 + 370 + 200, 370));
  EXPECT_FALSE(DetailText::toolbarBesideTitle(24 + 370 + 199, 370));
}

TEST(TranslationRulesTest, ShapesAndTexts) {
  using Shape = TranslationSection::Shape;
  EXPECT_EQ(TranslationSection::shapeFor(true, true), Shape::stored);
  EXPECT_EQ(TranslationSection::shapeFor(true, false), Shape::stored);
  EXPECT_EQ(TranslationSection::shapeFor(false, true), Shape::offer);
  EXPECT_EQ(TranslationSection::shapeFor(false, false), Shape::none);
  EXPECT_EQ(TranslationSection::translatedFrom("German"), "Translated from German on this computer");
  EXPECT_EQ(TranslationSection::looksLike("German"), "This looks like German.");
}

// ---- The page on a real catalog ----

const char* kGerman =
    "Liebe Anna, wir sind gut in Hamburg angekommen. Das Wetter war schlecht, aber die Kinder "
    "sind gesund und lassen dich herzlich grüßen. Am Sonntag gehen wir in die Kirche.";

class DetailViewTest : public ::testing::Test {
 protected:
  void SetUp() override { fixture.make(); }

  Catalog& catalog() { return fixture.model->catalog(); }

  // An item for a scan written into the data folder (no scan file when width is 0).
  std::int64_t addItem(const std::string& name, int width = 60, int height = 80) {
    ArchiveItem item;
    item.path = fixture.root.path() + "/scans/" + name;
    item.fileName = name;
    item.width = width;
    item.height = height;
    item.fileSize = 4321;
    item.sha256 = name;
    item.ocrStatus = OcrStatus::done;
    if (width > 0) {
      fs::create_directories(fixture.root.path() + "/scans");
      writeScan(item.path, width, height);
    }
    return catalog().addItem(item);
  }

  std::unique_ptr<DetailView> open(std::int64_t id) {
    auto view = std::make_unique<DetailView>(*fixture.model, id);
    view->resize(1100, 760);
    view->show();
    pump(10);
    return view;
  }

  template <typename T>
  static T* find(QWidget* view, const char* name) {
    T* widget = view->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  static void type(QPlainTextEdit* editor, const QString& text) {
    editor->setFocus();
    editor->moveCursor(QTextCursor::End);
    QTest::keyClicks(editor, text);
  }

  ModelFixture fixture;
};

TEST_F(DetailViewTest, TypingIsSavedAfterThePauseAsTheUsersCorrectedText) {
  const std::int64_t id = addItem("letter.png");
  catalog().setOcrStatus(id, OcrStatus::pending);
  auto view = open(id);
  auto* editor = find<QPlainTextEdit>(view.get(), "transcriptionEditor");
  auto* status = find<QLabel>(view.get(), "statusLine");
  EXPECT_EQ(editor->toPlainText().toStdString(), "");
  EXPECT_EQ(status->text().toStdString(), "Reading…");

  type(editor, "Dear Anna, 12 March 1923");
  pump(300);
  EXPECT_FALSE(catalog().getTranscription(id)) << "nothing before the pause";
  ASSERT_TRUE(waitUntil([&] { return catalog().getTranscription(id).has_value(); }, 3000));
  const Transcription saved = *catalog().getTranscription(id);
  EXPECT_EQ(saved.text, "Dear Anna, 12 March 1923");
  EXPECT_EQ(saved.engine, "user");
  EXPECT_TRUE(saved.corrected);
  EXPECT_EQ(catalog().getItem(id)->ocrStatus, OcrStatus::done);
  EXPECT_EQ(status->text().toStdString(), "Edited by you");
  // The dates found in the saved text are the item's unconfirmed dates.
  const auto dates = catalog().datesForItem(id);
  ASSERT_EQ(dates.size(), 1u);
  EXPECT_EQ(dates[0].value, "1923-03-12");
  EXPECT_FALSE(dates[0].confirmed);
}

TEST_F(DetailViewTest, ReloadKeepsUnsavedEditsAndTakesNewTextOtherwise) {
  const std::int64_t id = addItem("letter.png");
  catalog().saveRecognizedText(id, "First reading", "tesseract", 0.9);
  auto view = open(id);
  auto* editor = find<QPlainTextEdit>(view.get(), "transcriptionEditor");
  auto* title = find<QLineEdit>(view.get(), "titleField");
  ASSERT_EQ(editor->toPlainText(), "First reading");

  // No edits: a new reading replaces the text, and the same text leaves the cursor alone.
  catalog().saveRecognizedText(id, "Second reading", "tesseract", 0.9);
  fixture.model->bumpChangeTick();
  EXPECT_EQ(editor->toPlainText(), "Second reading");
  QTextCursor cursor = editor->textCursor();
  cursor.setPosition(3);
  editor->setTextCursor(cursor);
  fixture.model->bumpChangeTick();
  EXPECT_EQ(editor->textCursor().position(), 3);

  // Edits not yet saved, in the text and the title: a reload keeps them.
  type(editor, " edited");
  title->setFocus();
  QTest::keyClicks(title, "Typed title");
  catalog().saveRecognizedText(id, "Third reading", "tesseract", 0.9);
  fixture.model->bumpChangeTick();
  EXPECT_EQ(editor->toPlainText(), "Second reading edited");
  EXPECT_EQ(title->text(), "Typed title");
  EXPECT_TRUE(view->hasUnsavedText());

  view->saveNow();
  EXPECT_EQ(catalog().getTranscription(id)->text, "Second reading edited");
  EXPECT_EQ(catalog().getItem(id)->title, "Typed title");
}

TEST_F(DetailViewTest, RevertingWithinThePauseWritesNoTextButStillSavesNotes) {
  const std::int64_t id = addItem("letter.png");
  catalog().saveRecognizedText(id, "Dear Anna", "tesseract", 0.9);
  auto view = open(id);
  auto* editor = find<QPlainTextEdit>(view.get(), "transcriptionEditor");
  type(editor, "x");
  QTest::keyClick(editor, Qt::Key_Backspace);
  type(find<QPlainTextEdit>(view.get(), "notesEditor"), "From the attic box");
  ASSERT_TRUE(waitUntil([&] { return catalog().getItem(id)->notes == "From the attic box"; }, 3000));
  const Transcription stored = *catalog().getTranscription(id);
  EXPECT_FALSE(stored.corrected);
  EXPECT_EQ(stored.engine, "tesseract");
}

TEST_F(DetailViewTest, ConfirmedAndAddedDatesSurviveATextSave) {
  const std::int64_t id = addItem("letter 1901.png");
  catalog().saveRecognizedText(id, "Written in 1910", "tesseract", 0.9);
  catalog().replaceExtractedDates(id, {ItemDate(id, "1910", "1910", false)});
  auto view = open(id);

  // Confirm 1910 with its button, add 1923 by hand (the earlier of two values).
  auto* confirm = find<QToolButton>(view.get(), "confirmDateButton");
  EXPECT_EQ(confirm->toolTip(), "Mark this date as right");
  confirm->click();
  pump(20);
  auto* field = find<QLineEdit>(view.get(), "addDateField");
  field->setText("March 4, 1923 or 1925");
  QTest::keyClick(field, Qt::Key_Return);
  pump(20);
  EXPECT_EQ(field->text(), "");
  field->setText("no date here");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(field->text(), "no date here") << "kept for correcting";

  auto* editor = find<QPlainTextEdit>(view.get(), "transcriptionEditor");
  editor->selectAll();
  QTest::keyClicks(editor, "Written in 1930");
  view->saveNow();
  std::vector<std::tuple<std::string, bool, bool>> dates;
  for (const ItemDate& date : catalog().datesForItem(id)) {
    dates.emplace_back(date.value, date.confirmed, date.source == "added by you");
  }
  const std::vector<std::tuple<std::string, bool, bool>> expected{
      {"1901", false, false},  // from the file name
      {"1910", true, false},
      {"1923-03-04", true, true},
      {"1930", false, false},
  };
  EXPECT_EQ(dates, expected);
  pump(20);
  EXPECT_EQ(view->findChildren<QWidget*>("dateRow").size(), 4);
  const auto confirmButtons = view->findChildren<QToolButton*>("confirmDateButton");
  ASSERT_EQ(confirmButtons.size(), 4);
  EXPECT_EQ(confirmButtons[1]->toolTip(), "Confirmed");

  // The cross deletes a date.
  view->findChildren<QToolButton*>("deleteDateButton")[0]->click();
  pump(20);
  EXPECT_EQ(catalog().datesForItem(id).size(), 3u);
}

TEST_F(DetailViewTest, PeopleAreTaggedCaseInsensitivelyAndUntaggedWithoutDeletion) {
  const std::int64_t id = addItem("letter.png");
  const std::int64_t other = addItem("other.png", 61, 80);
  const std::int64_t anna = catalog().ensurePerson("Anna Weber");
  catalog().tagPerson(other, anna);
  auto view = open(id);
  auto* field = find<QLineEdit>(view.get(), "addPersonField");
  for (const char* name : {"anna weber", "   ", "Carl Müller"}) {
    field->setText(name);
    QTest::keyClick(field, Qt::Key_Return);
    pump(20);
    EXPECT_EQ(field->text(), "");
  }
  std::vector<std::string> names;
  for (const Person& person : catalog().peopleForItem(id)) names.push_back(person.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Anna Weber", "Carl Müller"}));
  std::vector<std::string> everyone;
  for (const Person& person : catalog().listPeople()) everyone.push_back(person.name);
  EXPECT_EQ(everyone, (std::vector<std::string>{"Anna Weber", "Carl Müller"})) << "no second Anna";

  auto chips = view->findChildren<app::Chip*>("personChip");
  ASSERT_EQ(chips.size(), 2);
  auto* remove = chips[0]->findChild<QToolButton*>("removePersonButton");
  EXPECT_EQ(remove->toolTip(), "Remove Anna Weber from this scan");
  remove->click();
  pump(20);
  ASSERT_EQ(catalog().peopleForItem(id).size(), 1u);
  EXPECT_EQ(catalog().itemsForPerson(anna).size(), 1u) << "Anna stays with her other scan";
  EXPECT_EQ(view->findChildren<app::Chip*>("personChip").size(), 1);
}

TEST_F(DetailViewTest, DismissingTheLastUncertainWordHidesTheSection) {
  const std::int64_t id = addItem("letter.png");
  const UncertainWord word("Hannover", "Hamburg");
  catalog().saveRecognizedText(id, "From Hannover", "handwriting", 0.7,
                               encodeUncertainWords({word, UncertainWord("Anna", "Anne"), word}));
  auto view = open(id);
  auto* section = find<QWidget>(view.get(), "uncertainSection");
  EXPECT_TRUE(section->isVisible());
  auto chips = view->findChildren<app::Chip*>("uncertainChip");
  ASSERT_EQ(chips.size(), 3);
  EXPECT_EQ(chips[0]->text(), "Hannover or Hamburg?");
  chips[0]->findChild<QToolButton*>()->click();
  pump(20);
  EXPECT_EQ(decodeUncertainWords(catalog().getTranscription(id)->uncertainJson),
            std::vector<UncertainWord>{UncertainWord("Anna", "Anne")});
  view->findChildren<app::Chip*>("uncertainChip").back()->findChild<QToolButton*>()->click();
  pump(20);
  EXPECT_EQ(catalog().getTranscription(id)->uncertainJson, "");
  EXPECT_FALSE(section->isVisible());
}

TEST_F(DetailViewTest, ClosingThePageWithinThePauseSavesNotesAndText) {
  const std::int64_t id = addItem("letter.png");
  {
    auto view = open(id);
    type(find<QPlainTextEdit>(view.get(), "notesEditor"), "Grandmother's hand");
    type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), "Liebe Anna");
  }
  EXPECT_EQ(catalog().getItem(id)->notes, "Grandmother's hand");
  EXPECT_EQ(catalog().getTranscription(id)->text, "Liebe Anna");
}

TEST_F(DetailViewTest, EditsOfARemovedItemAreNotWrittenAnywhere) {
  const std::int64_t id = addItem("letter 1923.png");
  auto view = open(id);
  type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), "Dear Anna, 1931");
  type(find<QPlainTextEdit>(view.get(), "notesEditor"), "notes");
  catalog().removeItems({id});
  view.reset();
  EXPECT_FALSE(catalog().getTranscription(id));
  EXPECT_TRUE(catalog().datesForItem(id).empty());
  EXPECT_EQ(catalog().stats().transcribed, 0);
}

TEST_F(DetailViewTest, APageOutlivingItsModelClosesQuietly) {
  const std::int64_t id = addItem("letter.png");
  auto view = open(id);
  type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), "Dear Anna");
  view->saveNow();
  type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), " again");
  fixture.model.reset();
  view.reset();  // must not reach the gone model
  Catalog catalog(QuorvelPaths::catalogFile());
  EXPECT_EQ(catalog.getTranscription(id)->text, "Dear Anna");
}

TEST_F(DetailViewTest, ToolbarFavoriteRevealPdfAndRemove) {
  const std::int64_t id = addItem("letter.png");
  auto view = open(id);
  fixture.model->setPath({id});
  auto* favorite = find<QToolButton>(view.get(), "favoriteButton");
  EXPECT_EQ(favorite->toolTip(), "Add to Favorites");
  // A title saved by Return since the page opened is not written back by the toggle.
  auto* title = find<QLineEdit>(view.get(), "titleField");
  title->setFocus();
  QTest::keyClicks(title, "To Anna");
  QTest::keyClick(title, Qt::Key_Return);
  EXPECT_EQ(view->pageTitle(), "To Anna");
  favorite->click();
  EXPECT_TRUE(catalog().getItem(id)->favorite);
  EXPECT_EQ(catalog().getItem(id)->title, "To Anna");
  EXPECT_EQ(favorite->toolTip(), "Remove from Favorites");

  find<QToolButton>(view.get(), "revealButton")->click();
  EXPECT_EQ(fixture.desktop.revealed, std::vector<std::string>{catalog().getItem(id)->path});

  const std::string pdf = fixture.root.path() + "/out.pdf";
  fixture.panels.saveAnswers.push_back(pdf);
  type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), "Dear Anna");
  find<QToolButton>(view.get(), "pdfButton")->click();
  EXPECT_EQ(fixture.panels.saveRequests.back().second, "To Anna.pdf");
  EXPECT_EQ(catalog().getTranscription(id)->text, "Dear Anna") << "saved before the export";
  ASSERT_TRUE(waitUntil([&] { return fixture.model->notice().has_value(); }));
  EXPECT_EQ(fixture.model->notice(), "Saved out.pdf.");
  EXPECT_TRUE(fs::exists(pdf));

  find<QToolButton>(view.get(), "removeButton")->click();
  ASSERT_TRUE(waitUntil([&] { return !catalog().getItem(id).has_value(); }, 3000));
  EXPECT_TRUE(fixture.model->path().empty());
  fixture.model->bumpChangeTick();
  EXPECT_EQ(view->pageTitle(), "Scan");
  EXPECT_EQ(view->pageSubtitle(), "");
  EXPECT_TRUE(find<QWidget>(view.get(), "detailToolbar")->isHidden());
}

TEST_F(DetailViewTest, KindIsWrittenAtOnceWithoutTheUnsavedTitle) {
  const std::int64_t id = addItem("letter.png");
  auto view = open(id);
  auto* title = find<QLineEdit>(view.get(), "titleField");
  title->setFocus();
  QTest::keyClicks(title, "Unsaved");
  auto* kind = find<QComboBox>(view.get(), "kindPicker");
  ASSERT_EQ(kind->count(), 7);
  EXPECT_EQ(kind->itemText(3), "Back of photo");
  const int reloads = fixture.model->reloadsStarted();
  kind->setCurrentIndex(1);
  emit kind->activated(1);
  EXPECT_EQ(catalog().getItem(id)->kind, ItemKind::letter);
  EXPECT_EQ(catalog().getItem(id)->title, "");
  EXPECT_EQ(view->pageSubtitle(), "Letter · letter.png");
  // The same kind again is still written and reloads the lists.
  emit kind->activated(1);
  EXPECT_TRUE(fixture.model->reloadPending());
  ASSERT_TRUE(waitUntil([&] { return fixture.model->reloadsStarted() > reloads; }, 3000));
}

TEST_F(DetailViewTest, ReadingButtonsQueueStateAndCopy) {
  const std::int64_t id = addItem("letter.png");
  auto view = open(id);
  auto* readAgain = find<QPushButton>(view.get(), "readAgainButton");
  auto* handwriting = find<QPushButton>(view.get(), "readHandwritingButton");
  // Narrow and wide columns.
  view->resize(700, 700);
  EXPECT_EQ(readAgain->text(), "Read Again");
  EXPECT_EQ(handwriting->text(), "Handwriting");
  view->resize(1300, 700);
  EXPECT_EQ(readAgain->text(), "Read Printed Text Again");
  EXPECT_EQ(handwriting->text(), "Read Handwriting");

  // "Copy" copies the text as shown, unsaved edits included.
  type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), "Dear Anna");
  find<QPushButton>(view.get(), "copyTextButton")->click();
  EXPECT_EQ(QApplication::clipboard()->text(), "Dear Anna");

  // Reading the printed text again saves the edit first, and the edit stays after the reading.
  readAgain->click();
  EXPECT_EQ(catalog().getTranscription(id)->text, "Dear Anna");
  ASSERT_TRUE(waitUntil([&] { return fixture.model->pipeline().queuedForOcr() == 0; }));
  pump(50);
  EXPECT_EQ(catalog().getTranscription(id)->text, "Dear Anna");
  EXPECT_TRUE(catalog().getTranscription(id)->corrected);

  // Without the reader: the text is saved first and the offer asks about this item only.
  type(find<QPlainTextEdit>(view.get(), "transcriptionEditor"), " again");
  ASSERT_FALSE(fixture.model->readerInstalled());
  fixture.panels.confirmAnswers.push_back(false);
  handwriting->click();
  EXPECT_EQ(catalog().getTranscription(id)->text, "Dear Anna again");
  ASSERT_EQ(fixture.panels.confirmRequests.size(), 1u);
  EXPECT_EQ(fixture.panels.confirmRequests[0], "Download the handwriting reader?");
  EXPECT_TRUE(fixture.model->handwritingQueue().snapshot().waiting.empty());
  auto* hint = find<QLabel>(view.get(), "readingHint");
  EXPECT_TRUE(hint->text().startsWith("You've edited this text"));
}

TEST_F(DetailViewTest, MissingScanKeepsTheFactsAndDisablesHandwriting) {
  const std::int64_t id = addItem("gone.png", 0, 0);
  auto view = open(id);
  auto* pane = view->scanPane();
  EXPECT_EQ(pane->showing(), ScanPane::Showing::missing);
  EXPECT_EQ(find<QLabel>(view.get(), "missingTitle")->text().toStdString(), "Scan not found");
  EXPECT_EQ(find<app::PanelStyle::ClampedText>(view.get(), "missingText")->text().toStdString(),
            DetailText::missingDescription(catalog().getItem(id)->path));
  EXPECT_EQ(find<QLabel>(view.get(), "scanFacts")->text(), "0 × 0 · 4 KB");
  EXPECT_FALSE(find<QPushButton>(view.get(), "readHandwritingButton")->isEnabled());
  EXPECT_TRUE(find<QPushButton>(view.get(), "readAgainButton")->isEnabled());
}

TEST_F(DetailViewTest, AFileThatIsThereButGivesNoPictureSaysItCouldNotBeOpened) {
  // Empty, text under a picture's name, and a picture larger than any scan.
  const std::vector<std::pair<std::string, std::string>> files{
      {"empty.jpg", ""}, {"notes.png", "not a picture"}, {"huge.png", ""}};
  for (const auto& [name, bytes] : files) {
    const std::int64_t id = addItem(name);
    const std::string path = catalog().getItem(id)->path;
    writeFile(path, bytes);
    if (name == "huge.png") writeHeaderBombPng(path, 30000, 30000);
    auto view = open(id);
    // Not missing at first: the file is there and its picture is being decoded.
    if (name == "notes.png") {
      EXPECT_EQ(view->scanPane()->showing(), ScanPane::Showing::progress);
    }
    ASSERT_TRUE(waitUntil([&] { return view->scanPane()->showing() == ScanPane::Showing::missing; })) << name;
    EXPECT_EQ(find<QLabel>(view.get(), "missingTitle")->text().toStdString(), "Scan couldn't be opened") << name;
    EXPECT_EQ(find<app::PanelStyle::ClampedText>(view.get(), "missingText")->text().toStdString(),
              DetailText::unreadableDescription(catalog().getItem(id)->path))
        << name;
    EXPECT_FALSE(find<QPushButton>(view.get(), "readHandwritingButton")->isEnabled()) << name;
  }
}

TEST_F(DetailViewTest, ZoomButtonsSliderAndFit) {
  const std::int64_t id = addItem("wide.png", 800, 400);
  auto view = open(id);
  ScanPane* pane = view->scanPane();
  ASSERT_TRUE(waitUntil([&] { return pane->showing() == ScanPane::Showing::picture; }));
  // Fitted by width in the tall pane, centred vertically.
  const QRect fitted = pane->pictureRect();
  EXPECT_EQ(fitted.width(), pane->viewportSize().width());
  EXPECT_GT(fitted.y(), 0);
  auto* zoomIn = find<QToolButton>(view.get(), "zoomInButton");
  for (int i = 0; i < 12; ++i) zoomIn->click();
  EXPECT_EQ(pane->zoom(), 6.0);
  EXPECT_EQ(find<QSlider>(view.get(), "zoomSlider")->value(), 6000);
  EXPECT_GT(pane->pictureRect().width(), 5 * fitted.width());
  find<QPushButton>(view.get(), "fitButton")->click();
  EXPECT_EQ(pane->zoom(), 1.0);
  EXPECT_EQ(pane->pictureRect(), fitted);
  find<QSlider>(view.get(), "zoomSlider")->setValue(2500);
  EXPECT_DOUBLE_EQ(pane->zoom(), 2.5);
  for (int i = 0; i < 12; ++i) find<QToolButton>(view.get(), "zoomOutButton")->click();
  EXPECT_EQ(pane->zoom(), 0.5);
}

// ---- Decoding ----

class ScanDecodeTest : public DetailViewTest {
 protected:
  std::int64_t addFile(const std::string& name, const vips::VImage& image, int orientation = 0) {
    const std::string path = fixture.root.path() + "/scans/" + name;
    fs::create_directories(fixture.root.path() + "/scans");
    vips::VImage out = image.copy();
    if (orientation) out.set("orientation", orientation);
    out.write_to_file(path.c_str());
    ArchiveItem item;
    item.path = path;
    item.fileName = name;
    item.sha256 = name;
    return catalog().addItem(item);
  }

  static vips::VImage page(int width, int height, int bands = 3) {
    // Left half dark, right half light: the orientation shows where the dark half went.
    vips::VImage x = vips::VImage::xyz(width, height).extract_band(0);
    vips::VImage grey = (x < width / 2).ifthenelse(40, 220).cast(VIPS_FORMAT_UCHAR);
    return bands == 1 ? grey : grey.bandjoin({grey, grey});
  }

  QSize decodedSize(std::int64_t id, int timeoutMs = 20000) {
    auto view = open(id);
    ScanPane* pane = view->scanPane();
    if (!waitUntil([&] { return pane->finalPicture() || pane->showing() == ScanPane::Showing::missing; },
                   timeoutMs)) {
      return QSize(-1, -1);
    }
    return pane->pictureSize();
  }
};

TEST_F(ScanDecodeTest, HeicAndRotatedJpegAreShownUpright) {
  const std::int64_t rotated = addFile("rotated.jpg", page(60, 40), 6);
  EXPECT_EQ(decodedSize(rotated), QSize(40, 60));
  const auto picture = ScanPane::decodeFile(catalog().getItem(rotated)->path, 4200);
  ASSERT_TRUE(picture);
  const QImage& upright = picture->levels[0];
  // Turned a quarter clockwise: the dark left half is now at the top.
  EXPECT_LT(qGray(upright.pixel(20, 5)), 100);
  EXPECT_GT(qGray(upright.pixel(20, 55)), 160);

  const std::int64_t heic = addFile("letter.heic", page(64, 48));
  EXPECT_EQ(decodedSize(heic), QSize(64, 48));
  const std::int64_t grey = addFile("grey.png", page(30, 20, 1));
  EXPECT_EQ(decodedSize(grey), QSize(30, 20));
}

TEST_F(ScanDecodeTest, ALargeScanIsShownAtABoundedSizeAfterAQuickFirstPicture) {
  // 17000 x 17000 pixels: 867 MB decoded, far more than one picture Qt reads by itself.
  const std::int64_t id = addFile("huge.jpg", page(17000, 17000, 1));
  auto view = open(id);
  ScanPane* pane = view->scanPane();
  ASSERT_TRUE(waitUntil([&] { return pane->showing() == ScanPane::Showing::picture; }, 30000));
  EXPECT_LE(std::max(pane->pictureSize().width(), pane->pictureSize().height()), ScanPane::kPreviewLongEdge);
  ASSERT_TRUE(waitUntil([&] { return pane->finalPicture(); }, 60000));
  EXPECT_EQ(pane->pictureSize(), QSize(4200, 4200));
}

TEST_F(ScanDecodeTest, AScanOverThePixelBudgetIsShownShrunkWhereTheFormatAllows) {
  // 400 million pixels: a JPEG is shrunk while it is decoded, so it opens at
  // a bounded size; a PNG would be decoded whole and shows the unusable state.
  const std::int64_t id = addFile("over.jpg", vips::VImage::black(20000, 20000));
  auto view = open(id);
  ScanPane* pane = view->scanPane();
  ASSERT_TRUE(waitUntil([&] { return pane->finalPicture(); }, 60000));
  EXPECT_EQ(pane->pictureSize(), QSize(4200, 4200));
  EXPECT_TRUE(find<QPlainTextEdit>(view.get(), "transcriptionEditor")->isEnabled());
}

TEST_F(ScanDecodeTest, APictureArrivingAfterThePageClosedIsDropped) {
  const std::int64_t id = addFile("page.jpg", page(3000, 4000));
  for (int i = 0; i < 5; ++i) open(id).reset();
  pump(1500);  // the decodes finish and post to pages that are gone
  EXPECT_TRUE(catalog().getItem(id));
}

// ---- Translation section ----

TEST_F(DetailViewTest, TranslationSectionShapesDebounceAndActions) {
  const std::int64_t id = addItem("brief.png");
  catalog().saveRecognizedText(id, "Short", "tesseract", 0.9);
  auto view = open(id);
  TranslationSection* section = view->translationSection();
  EXPECT_EQ(section->shape(), TranslationSection::Shape::none);
  EXPECT_FALSE(section->isVisible());

  // Each change restarts the 0.6 s wait: one refresh after the last one.
  auto* editor = find<QPlainTextEdit>(view.get(), "transcriptionEditor");
  const int before = section->refreshes();
  editor->selectAll();
  editor->insertPlainText(QString::fromUtf8(kGerman));
  pump(300);
  QTest::keyClicks(editor, " Ja.");
  pump(400);
  EXPECT_EQ(section->refreshes(), before);
  ASSERT_TRUE(waitUntil([&] { return section->refreshes() > before; }, 2000));
  EXPECT_EQ(section->refreshes(), before + 1);
  EXPECT_EQ(section->shape(), TranslationSection::Shape::offer);
  EXPECT_EQ(find<app::PanelStyle::ClampedText>(view.get(), "detectedLanguage")->text(), "This looks like German.");

  // Without the reader the button posts the notice and starts the download, translating nothing.
  setenv("QUORVEL_MANIFEST_URL", "https://127.0.0.1:1/manifest.json", 1);
  find<QPushButton>(view.get(), "translateButton")->click();
  EXPECT_EQ(fixture.model->notice(), std::optional<std::string>(TranslationSection::kNeedsReaderNotice));
  EXPECT_TRUE(fixture.model->downloadRunning());
  EXPECT_TRUE(fixture.model->translating().empty());
  ASSERT_TRUE(waitUntil([&] { return !fixture.model->downloadRunning(); }, 30000));
  unsetenv("QUORVEL_MANIFEST_URL");

  // A stored translation shows with the stale warning once the stored text changed.
  view->saveNow();
  Translation translation;
  translation.itemId = id;
  translation.language = "de";
  translation.languageName = "German";
  translation.text = "Dear Anna, we arrived well in Hamburg.";
  translation.sourceHash = Translator::hash(Translator::source(catalog().getTranscription(id)));
  catalog().saveTranslation(translation);
  fixture.model->bumpChangeTick();
  EXPECT_EQ(section->shape(), TranslationSection::Shape::stored);
  EXPECT_TRUE(section->isVisible());
  EXPECT_FALSE(section->stale());
  EXPECT_EQ(find<QLabel>(view.get(), "translatedFrom")->text(), "Translated from German on this computer");
  type(editor, " Noch etwas.");
  view->saveNow();
  fixture.model->bumpChangeTick();
  EXPECT_TRUE(section->stale());
  EXPECT_FALSE(find<QWidget>(view.get(), "staleWarning")->isHidden());

  find<QPushButton>(view.get(), "copyTranslationButton")->click();
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), translation.text);
  find<QPushButton>(view.get(), "removeTranslationButton")->click();
  EXPECT_FALSE(catalog().getTranslation(id));
  EXPECT_EQ(section->shape(), TranslationSection::Shape::offer);
}

TEST_F(DetailViewTest, TranslationFailureShowsInRedUntilTheNextStart) {
  const std::int64_t id = addItem("brief.png");
  catalog().saveRecognizedText(id, kGerman, "tesseract", 0.9);
  auto view = open(id);
  TranslationSection* section = view->translationSection();
  ASSERT_EQ(section->shape(), TranslationSection::Shape::offer);
  // No reader is installed: the model's translation fails and says why.
  fixture.model->translate(id);
  EXPECT_FALSE(find<QPushButton>(view.get(), "translateButton")->isEnabled());
  EXPECT_FALSE(find<app::PanelStyle::ClampedText>(view.get(), "translationProgress")->isHidden());
  ASSERT_TRUE(waitUntil([&] { return fixture.model->translateErrors().count(id) > 0; }, 20000));
  auto* error = view->findChild<QWidget*>("translationOffer")->findChild<QLabel*>("translationError");
  ASSERT_NE(error, nullptr);
  EXPECT_FALSE(error->isHidden());
  EXPECT_EQ(error->text().toStdString(), fixture.model->translateErrors().at(id));
  EXPECT_TRUE(find<QPushButton>(view.get(), "translateButton")->isEnabled());
}

TEST_F(DetailViewTest, HighlightShowsOnlyOnItsOwnPageUntilDismissed) {
  const std::int64_t id = addItem("letter.png");
  const std::int64_t other = addItem("other.png", 61, 80);
  fixture.model->setHighlight(app::Highlight{id, "wir sind gut angekommen"});
  auto view = open(id);
  auto otherView = open(other);
  EXPECT_TRUE(find<QWidget>(view.get(), "highlightLine")->isVisible());
  EXPECT_EQ(find<QLabel>(view.get(), "highlightQuote")->text(), "“wir sind gut angekommen”");
  EXPECT_FALSE(find<QWidget>(otherView.get(), "highlightLine")->isVisible());
  find<QToolButton>(view.get(), "dismissHighlightButton")->click();
  EXPECT_FALSE(fixture.model->highlight());
  EXPECT_FALSE(find<QWidget>(view.get(), "highlightLine")->isVisible());
}

}  // namespace
}  // namespace quorvel::testing
