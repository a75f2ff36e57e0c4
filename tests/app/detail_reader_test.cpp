// The item page with the real reader: the handwriting reader downloaded from
// a local manifest through the page's offer, a handwriting reading of the
// page's scan and a German letter translated, both by the stand-in model
// server; quitting in the middle of typing loses nothing.
#include <gtest/gtest.h>

#include <vips/vips8>

#include <nlohmann/json.hpp>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/app_model.h"
#include "app/detail_view.h"
#include "app/translate_view.h"
#include "app_test_support.h"
#include "core/model_delivery.h"
#include "http_test_server.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;

class DetailReaderTest : public ::testing::Test {
 protected:
  // The stand-in answers every request, readings and translations alike, with this line.
  LocalReader reader_{{"Dear Anna, we arrived well in Hamburg."}};

  // A page with lines of dark strokes on paper, so that the reader finds writing on it.
  std::int64_t addItem(app::AppModel& model, const std::string& name, int width) {
    const std::string path = fixture.root.path() + "/scans/" + name;
    fs::create_directories(fixture.root.path() + "/scans");
    vips::VImage xy = vips::VImage::xyz(width, 900);
    vips::VImage column = xy.extract_band(0), row = xy.extract_band(1);
    vips::VImage stroke = ((column * 0.15).sin() * 12 + 20 - (row % 60)).abs() < 3;
    (stroke & ((row % 60) < 40)).ifthenelse(30, 235).cast(VIPS_FORMAT_UCHAR).pngsave(path.c_str());
    ArchiveItem item;
    item.path = path;
    item.fileName = name;
    item.width = width;
    item.height = 900;
    item.sha256 = name;
    item.ocrStatus = OcrStatus::done;
    return model.catalog().addItem(item);
  }

  ModelFixture fixture;
};

TEST_F(DetailReaderTest, HandwritingReadingAndTranslationFromThePage) {
  app::AppModel& model = fixture.make();
  const std::int64_t letter = addItem(model, "letter.png", 700);
  const std::int64_t brief = addItem(model, "brief.png", 720);
  model.catalog().saveCorrectedText(
      brief, "Liebe Anna, wir sind gut in Hamburg angekommen. Das Wetter war schlecht, aber die Kinder "
             "sind gesund und lassen dich herzlich grüßen.");

  {
    // The reader is missing: the page's button offers it and reads this scan once it is in.
    app::DetailView page(model, letter);
    page.resize(1100, 760);
    page.show();
    fixture.panels.confirmAnswers.push_back(true);
    page.findChild<QPushButton*>("readHandwritingButton")->click();
    ASSERT_EQ(fixture.panels.confirmRequests.size(), 1u);
    ASSERT_TRUE(waitUntil([&] { return model.readerInstalled() && !model.downloadRunning(); }, 60000));
    ASSERT_FALSE(model.downloadError()) << *model.downloadError();
    ASSERT_TRUE(waitUntil(
        [&] {
          const auto text = model.catalog().getTranscription(letter);
          return text && text->engine.rfind("handwriting", 0) == 0 && !model.queue().isBusy();
        },
        60000))
        << model.queue().lastMessage.value_or("no message") << " / "
        << (model.catalog().getTranscription(letter) ? model.catalog().getTranscription(letter)->engine : "none");
    // The reading reached the open page through the change counter.
    pump(50);
    EXPECT_EQ(page.findChild<QPlainTextEdit*>("transcriptionEditor")->toPlainText().toStdString(),
              model.catalog().getTranscription(letter)->text);
    EXPECT_EQ(page.findChild<QLabel*>("statusLine")->text().toStdString(), "Read by the handwriting reader");
  }

  app::DetailView page(model, brief);
  page.resize(1100, 760);
  page.show();
  app::TranslationSection* section = page.translationSection();
  ASSERT_EQ(section->shape(), app::TranslationSection::Shape::offer);
  page.findChild<QPushButton*>("translateButton")->click();
  EXPECT_TRUE(model.translating().count(brief));
  ASSERT_TRUE(waitUntil([&] { return model.translating().empty(); }, 60000));
  ASSERT_FALSE(model.translateErrors().count(brief)) << model.translateErrors().at(brief);
  pump(50);
  EXPECT_EQ(section->shape(), app::TranslationSection::Shape::stored);
  EXPECT_EQ(page.findChild<QLabel*>("translationText")->text().toStdString(),
            "Dear Anna, we arrived well in Hamburg.");

  // Typing and closing the window at once: the close saves the page, nothing typed is lost.
  auto* editor = page.findChild<QPlainTextEdit*>("transcriptionEditor");
  editor->setFocus();
  editor->moveCursor(QTextCursor::End);
  QTest::keyClicks(editor, " Deine Mutter");
  page.saveNow();
  EXPECT_NE(model.catalog().getTranscription(brief)->text.find("Deine Mutter"), std::string::npos);
  model.removeReader();
  ASSERT_TRUE(waitUntil([&] { return !model.readerInstalled(); }, 20000));
}

}  // namespace
}  // namespace quorvel::testing
