// The model's reader actions end to end: the reader installed from a local
// manifest through the real downloader, then a question and a translation
// answered by the stand-in model server it installed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/app_model.h"
#include "app_test_support.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "http_test_server.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using app::AppModel;

class ReaderModel : public ::testing::Test {
 protected:
  // The stand-in's answers: the question's, then the translation of every chunk.
  LocalReader reader_{{"Anna stayed behind in Hannover with her mother [1].",
                       "Dear Carl, we are all well and the harvest was good."}};
};

TEST_F(ReaderModel, InstallsTheReaderThenAnswersAQuestionAndTranslates) {
  ModelFixture f;
  f.ocr = std::make_shared<FixedOcrEngine>("Dear Carl, Anna stayed behind in Hannover with mother.");
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("letter.png"), 64);
  writeScan(scans.file("brief.png"), 66);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 2; }));
  f.reloadAndWait();
  const std::int64_t german = model.items()[0].id;
  model.catalog().saveCorrectedText(
      german, "Lieber Carl, uns geht es allen gut und die Ernte war sehr gut in diesem Jahr. Deine Anna");

  model.startDownload({german});
  EXPECT_TRUE(model.downloadRunning());
  ASSERT_TRUE(waitUntil([&] { return !model.downloadRunning(); }, 60000));
  ASSERT_FALSE(model.downloadError()) << *model.downloadError();
  EXPECT_TRUE(model.readerInstalled());
  EXPECT_EQ(model.notice(), "The handwriting reader is ready.");
  EXPECT_TRUE(model.readAfterDownload().empty());
  // The item that waited for the reader went to the handwriting queue.
  ASSERT_TRUE(waitUntil([&] { return model.queue().isBusy() || model.queue().lastMessage.has_value(); }));
  model.handwritingQueue().cancelAll();
  ASSERT_TRUE(waitUntil([&] { return !model.queue().isBusy(); }, 30000));

  model.ask("Who stayed behind in Hannover?");
  ASSERT_TRUE(waitUntil([&] { return !model.asking(); }, 60000));
  const app::AskEntry& entry = model.askHistory().front();
  ASSERT_FALSE(entry.error) << *entry.error;
  ASSERT_TRUE(entry.answer);
  EXPECT_TRUE(entry.answer->found);
  ASSERT_FALSE(entry.answer->sources.empty());
  model.openSource(entry.answer->sources.front());
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{entry.answer->sources.front().itemId});
  ASSERT_TRUE(model.highlight());
  EXPECT_EQ(model.highlight()->itemId, entry.answer->sources.front().itemId);

  model.translate(german);
  ASSERT_TRUE(waitUntil([&] { return model.translating().empty(); }, 60000));
  EXPECT_FALSE(model.translateErrors().count(german)) << model.translateErrors().at(german);
  const auto translation = model.catalog().getTranslation(german);
  ASSERT_TRUE(translation);
  EXPECT_EQ(translation->languageName, "German");
  EXPECT_NE(translation->text.find("harvest"), std::string::npos);

  // Removing the reader leaves no settings pointing at deleted files.
  model.removeReader();
  ASSERT_TRUE(waitUntil([&] { return !model.readerInstalled(); }, 20000));
  EXPECT_FALSE(model.handwriting().isAvailable());
}

}  // namespace
}  // namespace quorvel::testing
