// The question panel and its answer cards: the rules of the question field,
// what a card shows for each state of its entry, and the wiring of the panel
// to the model, with a question answered by the stand-in model server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/answer_card.h"
#include "app/app_model.h"
#include "app/ask_view.h"
#include "app/panel_style.h"
#include "app_test_support.h"
#include "core/handwriting_engine.h"
#include "core/paths.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using app::AnswerCard;
using app::AppModel;
using app::AskEntry;
using app::AskPanel;
using app::SourceRow;

// ---- Pure rules ----

TEST(AskRulesTest, AskButtonAndSentQuestion) {
  struct Case {
    QString typed;
    bool asking;
    bool enabled;
    QString sent;  // what send() would ask; empty: nothing
  };
  const std::vector<Case> cases{
      {"", false, false, ""},
      {" \t", false, false, ""},
      {"\n\n", false, true, ""},  // enabled, but sends nothing
      {"  Q \n", false, true, "Q"},
      {"\t Where? \n\n", false, true, "Where?"},
      {"Q", true, false, "Q"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AskPanel::canAsk(c.typed, c.asking), c.enabled) << c.typed.toStdString();
    EXPECT_EQ(AskPanel::trimmedQuestion(c.typed), c.sent) << c.typed.toStdString();
  }
  EXPECT_EQ(AskPanel::examples(),
            (std::vector<std::string>{"Where did the family live in 1931?", "Who got married, and when?",
                                      "What ship did they sail on?"}));
  EXPECT_EQ(AskPanel::readerButtonTitle(true), "Resume Download");
  EXPECT_EQ(AskPanel::readerButtonTitle(false), "Download the Reader");
  const std::string needed = AskPanel::readerNeededText();
  EXPECT_NE(needed.find("runs entirely on this computer and is a one-time "), std::string::npos);
  EXPECT_EQ(needed.substr(needed.size() - 10), " download.");
  EXPECT_EQ(needed.find("Mac"), std::string::npos);
}

TEST(AnswerCardRulesTest, WhatACardShows) {
  AskAnswer answer;
  answer.text = "In Chicago.";
  struct Case {
    std::optional<AskAnswer> answer;
    std::optional<std::string> error;
    std::optional<std::string> status;
    AnswerCard::Shows shows;
    std::string progress;
  };
  const std::vector<Case> cases{
      {std::nullopt, std::nullopt, std::nullopt, AnswerCard::Shows::progress, "Reading your letters…"},
      {std::nullopt, std::nullopt, "Starting the reader…", AnswerCard::Shows::progress,
       "Starting the reader…"},
      {answer, std::nullopt, "Finding the letters that mention it…", AnswerCard::Shows::answer, ""},
      {answer, "boom", std::nullopt, AnswerCard::Shows::answer, ""},
      {std::nullopt, "The reader stopped.", "Starting…", AnswerCard::Shows::error, ""},
  };
  for (const Case& c : cases) {
    AskEntry entry{"id", "Q", c.answer, c.error, c.status};
    EXPECT_EQ(AnswerCard::shows(entry), c.shows);
    if (c.shows == AnswerCard::Shows::progress) {
      EXPECT_EQ(AnswerCard::progressText(entry), c.progress);
    }
  }
  EXPECT_EQ(AnswerCard::unsupportedText({"1931", "1932"}),
            "Check this: 1931, 1932 isn't in the letters this answer came from.");
  EXPECT_EQ(AnswerCard::unsupportedText({"7"}), "Check this: 7 isn't in the letters this answer came from.");
  EXPECT_EQ(AnswerCard::unsupportedText({}), "");
  EXPECT_EQ(SourceRow::numberText(12), "[12]");
  EXPECT_EQ(SourceRow::dateText(std::nullopt), std::nullopt);
  EXPECT_EQ(SourceRow::dateText("1947-06-03"), "· June 3, 1947");
  EXPECT_EQ(SourceRow::dateText("1931"), "· 1931");
  EXPECT_EQ(SourceRow::quoteText("we sailed"), "\u201Cwe sailed\u201D");
}

TEST(ClampedTextTest, CutsAtTheLastAllowedLine) {
  app::PanelStyle::ClampedText text(QString("word ").repeated(200).trimmed(), 3);
  const QStringList lines = text.linesAt(200);
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[2].endsWith(QChar(0x2026)));
  EXPECT_EQ(text.heightForWidth(200), 3 * QFontMetrics(text.font()).lineSpacing());
  app::PanelStyle::ClampedText shortText("A short quote", 3);
  EXPECT_EQ(shortText.linesAt(400), QStringList{"A short quote"});
  app::PanelStyle::ClampedText path("/home/anna/Scans/very/long/folder/name/for/the/scanner", 1,
                                    Qt::ElideMiddle);
  const QString middle = path.linesAt(120).front();
  EXPECT_TRUE(middle.startsWith("/h")) << middle.toStdString();
  EXPECT_TRUE(middle.endsWith("er")) << middle.toStdString();
  EXPECT_TRUE(middle.contains(QChar(0x2026)));
}

// ---- Cards as widgets ----

QLabel* labelNamed(QWidget& widget, const char* name) { return widget.findChild<QLabel*>(name); }

TEST(AnswerCardTest, ShowsTheAnswerWarningsAndSourcesAndOpensOne) {
  ModelFixture f;
  AppModel& model = f.make();
  AskAnswer answer;
  answer.text = "Nothing in your letters says so.";
  answer.found = false;
  answer.unsupported = {"1931", "1932"};
  answer.sources = {AskSource{2, 99, "Letter from Carl", "1923-05-04", "we sailed on the Bremen", true},
                    AskSource{12, 98, "Postcard", std::nullopt, "greetings", false}};
  AnswerCard card(model, AskEntry{"a", "What ship?", answer, std::nullopt, "Finding…"});
  EXPECT_EQ(labelNamed(card, "cardQuestion")->text(), "What ship?");
  EXPECT_EQ(labelNamed(card, "cardAnswer")->text(), "Nothing in your letters says so.");
  EXPECT_EQ(labelNamed(card, "cardAnswer")->palette().color(QPalette::WindowText),
            app::PanelStyle::secondary());
  ASSERT_NE(labelNamed(card, "cardAdvice"), nullptr);
  EXPECT_EQ(labelNamed(card, "cardUnsupported")->text().toStdString(),
            AnswerCard::unsupportedText({"1931", "1932"}));
  EXPECT_EQ(labelNamed(card, "cardStatus"), nullptr);
  EXPECT_EQ(card.findChild<QWidget*>("askSpinner"), nullptr);

  const QList<SourceRow*> rows = card.findChildren<SourceRow*>();
  ASSERT_EQ(rows.size(), 2);
  EXPECT_EQ(rows[0]->toolTip(), "Open this scan");
  EXPECT_EQ(labelNamed(*rows[1], "sourceNumber")->text(), "[12]");
  EXPECT_NE(rows[0]->findChild<app::PanelStyle::ClampedText*>("sourceDate"), nullptr);
  EXPECT_EQ(rows[1]->findChild<app::PanelStyle::ClampedText*>("sourceDate"), nullptr);

  card.resize(360, 400);
  card.show();
  // The pointer over a row tints it; leaving clears the tint.
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(rows[0], &enter);
  EXPECT_TRUE(rows[0]->hovering());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(rows[0], &leave);
  EXPECT_FALSE(rows[0]->hovering());
  QTest::mouseClick(rows[0], Qt::LeftButton);
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{99});
  ASSERT_TRUE(model.highlight());
  EXPECT_EQ(*model.highlight(), (app::Highlight{99, "we sailed on the Bremen"}));

  // A found answer is primary, shows no advice and no warning without unsupported numbers.
  answer.found = true;
  answer.unsupported.clear();
  card.setEntry(AskEntry{"a", "What ship?", answer, std::nullopt, std::nullopt});
  pump(20);
  EXPECT_EQ(labelNamed(card, "cardAnswer")->palette().color(QPalette::WindowText),
            card.palette().color(QPalette::WindowText));
  EXPECT_EQ(labelNamed(card, "cardAdvice"), nullptr);
  EXPECT_EQ(labelNamed(card, "cardUnsupported"), nullptr);
}

TEST(AnswerCardTest, ErrorInRedAndProgressWithSpinner) {
  ModelFixture f;
  AppModel& model = f.make();
  AnswerCard card(model, AskEntry{"b", "Who?", std::nullopt, "The reader stopped.", "Starting…"});
  ASSERT_NE(labelNamed(card, "cardError"), nullptr);
  EXPECT_EQ(labelNamed(card, "cardError")->palette().color(QPalette::WindowText), app::PanelStyle::red());
  EXPECT_EQ(card.findChild<QWidget*>("askSpinner"), nullptr);
  card.setEntry(AskEntry{"b", "Who?", std::nullopt, std::nullopt, std::nullopt});
  pump(20);
  EXPECT_EQ(labelNamed(card, "cardError"), nullptr);
  EXPECT_NE(card.findChild<QWidget*>("askSpinner"), nullptr);
  EXPECT_EQ(labelNamed(card, "cardStatus")->text(), "Reading your letters…");
}

// ---- The panel ----

struct Panel {
  explicit Panel(AppModel& model) : view(model) {
    view.resize(340, 700);
    view.show();
    field = view.findChild<QPlainTextEdit*>("questionField");
    ask = view.findChild<QPushButton*>("askButton");
  }
  AskPanel view;
  QPlainTextEdit* field = nullptr;
  QPushButton* ask = nullptr;
  QWidget* readerBox() { return view.findChild<QWidget*>("readerNeeded"); }
  QWidget* examples() { return view.findChild<QWidget*>("askExamples"); }
};

TEST(AskPanelTest, TheEmptyFieldIsTallEnoughForItsPlaceholderAtEveryWidth) {
  ModelFixture f;
  AppModel& model = f.make();
  Panel panel(model);
  const QFontMetrics metrics = panel.field->fontMetrics();
  // The lines the field shows: its viewport, where the text and the
  // placeholder are drawn, inside the document's margins.
  auto lines = [&] {
    const int inner = panel.field->viewport()->height() -
                      2 * static_cast<int>(panel.field->document()->documentMargin());
    return inner / metrics.lineSpacing();
  };
  auto placeholderLines = [&] {
    const int width = panel.field->contentsRect().width() -
                      2 * static_cast<int>(panel.field->document()->documentMargin());
    const QRect wrapped = metrics.boundingRect(QRect(0, 0, width, 10000), Qt::TextWordWrap,
                                               panel.field->placeholderText());
    return (wrapped.height() + metrics.lineSpacing() - 1) / metrics.lineSpacing();
  };
  // As wide as the panel is at the window's smallest, and wider.
  for (int width : {240, 300, 500}) {
    panel.view.resize(width, 700);
    pump(50);
    EXPECT_GE(lines(), placeholderLines()) << width << " px";
  }
  panel.view.resize(240, 700);
  pump(50);
  ASSERT_GE(placeholderLines(), 2) << "the placeholder no longer wraps at 240 px";
  const int empty = panel.field->height();
  // A short question takes one line, whatever the placeholder needed.
  panel.view.setQuestion("Who?");
  pump(50);
  EXPECT_LT(panel.field->height(), empty);
  EXPECT_EQ(lines(), 1);
}

TEST(AskPanelTest, WithoutTheReaderReturnStartsTheDownloadAndKeepsTheQuestion) {
  setenv("QUORVEL_MANIFEST_URL", "https://127.0.0.1:1/manifest.json", 1);
  ModelFixture f;
  AppModel& model = f.make();
  ASSERT_FALSE(model.readerInstalled());
  Panel panel(model);
  EXPECT_TRUE(panel.readerBox()->isVisible());
  EXPECT_FALSE(panel.examples()->isVisible());
  EXPECT_EQ(panel.field->placeholderText(), "When did Tobias start at the mill?");
  EXPECT_FALSE(panel.ask->isEnabled());
  auto* readerButton = panel.view.findChild<QPushButton*>("readerButton");
  EXPECT_TRUE(readerButton->isVisible());
  EXPECT_EQ(readerButton->text(), "Download the Reader");

  QTest::keyClicks(panel.field, " \t");
  EXPECT_FALSE(panel.ask->isEnabled());
  QTest::keyClick(panel.field, Qt::Key_Return);
  EXPECT_FALSE(model.downloadRunning());

  panel.view.setQuestion("When did Anna leave?");
  EXPECT_TRUE(panel.ask->isEnabled());
  QTest::keyClick(panel.field, Qt::Key_Return);
  EXPECT_TRUE(model.downloadRunning());
  EXPECT_EQ(panel.view.question(), "When did Anna leave?");
  EXPECT_TRUE(model.askHistory().empty());
  // The box shows the progress in place of the button while the model holds it.
  ASSERT_TRUE(model.download());
  EXPECT_TRUE(panel.view.findChild<QWidget*>("readerProgress")->isVisible());
  EXPECT_FALSE(readerButton->isVisible());
  EXPECT_EQ(panel.view.findChild<QLabel*>("readerMessage")->text().toStdString(), model.download()->message);
  ASSERT_TRUE(waitUntil([&] { return !model.downloadRunning(); }, 60000));
  EXPECT_TRUE(readerButton->isVisible());
  unsetenv("QUORVEL_MANIFEST_URL");
}

TEST(AskPanelTest, ResumeDownloadWhilePartialFilesWait) {
  ModelFixture f;
  QuorvelPaths::ensureCreated();
  writeFile(QuorvelPaths::modelDir() + "/pack/model.gguf.partial", "half");
  writeFile(AppModel::pauseMarkerPath(), "");
  AppModel& model = f.make();
  ASSERT_TRUE(model.downloadPaused());
  Panel panel(model);
  EXPECT_EQ(panel.view.findChild<QPushButton*>("readerButton")->text(), "Resume Download");
}

TEST(AskPanelTest, AsksThroughTheStandInServerAndOpensASource) {
  ModelFixture f;
  f.ocr = std::make_shared<FixedOcrEngine>("Dear Carl, Anna stayed behind in Hannover with mother.");
  installStandInReader(
      nlohmann::json{{"replies", {{{"content", "Anna stayed behind in Hannover with her mother [1]."}}}}}
          .dump());
  AppModel& model = f.make();
  ASSERT_TRUE(model.readerInstalled());
  TempDir scans;
  writeScan(scans.file("letter.png"), 64);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
  f.reloadAndWait();

  Panel panel(model);
  EXPECT_FALSE(panel.readerBox()->isVisible());
  EXPECT_TRUE(panel.examples()->isVisible());

  // While a question is answered, Ask is disabled and Return keeps the text.
  panel.view.setQuestion("  Who stayed behind in Hannover? \n");
  QTest::mouseClick(panel.ask, Qt::LeftButton);
  EXPECT_TRUE(panel.view.question().isEmpty());
  ASSERT_EQ(model.askHistory().size(), 1u);
  EXPECT_EQ(model.askHistory().front().question, "Who stayed behind in Hannover?");
  EXPECT_FALSE(panel.examples()->isVisible());
  ASSERT_TRUE(model.asking());
  panel.view.setQuestion("And who went?");
  EXPECT_FALSE(panel.ask->isEnabled());
  QTest::keyClick(panel.field, Qt::Key_Return);
  EXPECT_EQ(panel.view.question(), "And who went?");
  EXPECT_EQ(model.askHistory().size(), 1u);
  // An example replaces the text and asks nothing while busy.
  panel.view.findChildren<QPushButton*>("askExample")[1]->click();
  EXPECT_EQ(panel.view.question(), "Who got married, and when?");
  EXPECT_EQ(model.askHistory().size(), 1u);

  ASSERT_TRUE(waitUntil([&] { return !model.asking(); }, 60000));
  pump(50);
  const AskEntry& entry = model.askHistory().front();
  ASSERT_FALSE(entry.error) << *entry.error;
  ASSERT_TRUE(entry.answer);
  auto* card = panel.view.findChild<AnswerCard*>("answerCard");
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->entry(), entry);
  EXPECT_EQ(labelNamed(*card, "cardAnswer")->text().toStdString(), entry.answer->text);
  const QList<SourceRow*> rows = card->findChildren<SourceRow*>();
  ASSERT_FALSE(rows.empty());
  EXPECT_TRUE(panel.ask->isEnabled());
  QTest::mouseClick(rows.front(), Qt::LeftButton);
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{model.items().front().id});
  ASSERT_TRUE(model.highlight());
  EXPECT_EQ(model.highlight()->quote, rows.front()->source().quote);

  // A second question goes on top; the first card is kept.
  panel.view.setQuestion("Where?");
  QTest::keyClick(panel.field, Qt::Key_Return);
  ASSERT_EQ(model.askHistory().size(), 2u);
  pump(20);
  const QList<AnswerCard*> cards = panel.view.findChildren<AnswerCard*>("answerCard");
  ASSERT_EQ(cards.size(), 2);
  AnswerCard* top = cards[0] == card ? cards[1] : cards[0];
  EXPECT_LT(top->y(), card->y());
  ASSERT_TRUE(waitUntil([&] { return !model.asking(); }, 60000));
}

TEST(AskPanelTest, AnExampleIsAskedAtOnceWhenIdle) {
  ModelFixture f;
  installStandInReader(nlohmann::json{{"replies", {{{"content", "In Chicago [1]."}}}}}.dump());
  AppModel& model = f.make();
  Panel panel(model);
  ASSERT_TRUE(panel.examples()->isVisible());
  panel.view.findChildren<QPushButton*>("askExample")[0]->click();
  EXPECT_TRUE(panel.view.question().isEmpty());
  ASSERT_EQ(model.askHistory().size(), 1u);
  EXPECT_EQ(model.askHistory().front().question, "Where did the family live in 1931?");
  EXPECT_FALSE(panel.examples()->isVisible());
  ASSERT_TRUE(waitUntil([&] { return !model.asking(); }, 60000));
}

}  // namespace
}  // namespace quorvel::testing
