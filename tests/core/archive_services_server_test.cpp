// A question and a translation through the completion functions built from
// the handwriting engine, against the stand-in model server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "catalog_fixture.h"
#include "core/archive_ask.h"
#include "core/failure.h"
#include "core/handwriting_engine.h"
#include "core/llama_server.h"
#include "core/translator.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kGerman =
    "Liebe Anna, wir sind gestern in Hamburg angekommen und das Wetter ist sehr schön. Die Kinder "
    "spielen jeden Tag im Garten und grüßen dich herzlich.";

// A data folder with the stand-in server in its runtime folder, playing the
// scenario written as its model file, and an engine set up to run it.
class ServicesTest : public CatalogTest {
 protected:
  testing::ScopedDataRoot root;
  std::string models = root.path() + "/models";
  std::unique_ptr<HandwritingEngine> engine;
  std::int64_t item = 0;

  void SetUp() override {
    const std::string server = root.path() + "/runtime/llama-server";
    fs::create_directories(root.path() + "/runtime");
    fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", server);
    ::chmod(server.c_str(), 0755);
    testing::writeFile(models + "/mmproj.gguf", "projector");
    setScenario(json::object());
    HandwritingSettings settings;
    settings.serverPath = server;
    settings.modelPath = models + "/model.gguf";
    settings.mmprojPath = models + "/mmproj.gguf";
    engine = std::make_unique<HandwritingEngine>(settings);
    LlamaServer::Timing timing = engine->server().timing();
    timing.startTimeout = 20;
    engine->server().setTiming(timing);

    ArchiveItem letter = makeItem("/scans/hamburg.jpg");
    letter.title = "Letter from Hamburg";
    item = catalog->addItem(letter);
    catalog->saveRecognizedText(item, kGerman, "tesseract", std::nullopt);
  }
  void TearDown() override { engine->server().stopNow(); }

  void setScenario(const json& scenario) { testing::writeFile(models + "/model.gguf", scenario.dump()); }
  json request(int n) const {
    return json::parse(testing::readFile(models + "/fake-request-" + std::to_string(n) + ".json"));
  }
};

TEST_F(ServicesTest, OneQuestionAndOneTranslationEndToEnd) {
  setScenario({{"replies",
                json::array({{{"content", "Anna was in Hamburg [1]."}},
                             {{"content", "Here is the translation:\nDear Anna, we arrived in Hamburg."}}})}});
  std::vector<std::string> statuses;
  ArchiveAsk asker(*catalog, *engine, [&statuses](const std::string& s) { statuses.push_back(s); });
  AskAnswer answer = asker.ask("Was Anna in Hamburg?");
  EXPECT_TRUE(answer.found);
  EXPECT_EQ(answer.text, "Anna was in Hamburg [1].");
  ASSERT_EQ(answer.sources.size(), 1u);
  EXPECT_EQ(answer.sources[0].itemId, item);
  EXPECT_TRUE(answer.sources[0].cited);
  EXPECT_FALSE(statuses.empty());

  json asked = request(1);
  EXPECT_EQ(asked["max_tokens"], 320);
  EXPECT_EQ(asked["temperature"], 0);
  ASSERT_EQ(asked["messages"].size(), 2u);
  EXPECT_EQ(asked["messages"][0]["content"], ArchiveAsk::system());
  EXPECT_EQ(asked["messages"][1]["content"],
            "Excerpts from the family's letters:\n\n[1] Letter from Hamburg\n" + kGerman +
                "\n\nQuestion: Was Anna in Hamburg?\nAnswer:");

  Translator translator(*catalog, *engine);
  Translation made = translator.translate(item);
  EXPECT_EQ(made.text, "Dear Anna, we arrived in Hamburg.");
  EXPECT_EQ(made.language, "de");
  EXPECT_EQ(catalog->getTranslation(item), made);
  json translated = request(2);
  EXPECT_EQ(translated["max_tokens"], 900);
  EXPECT_EQ(translated["temperature"], 0);
  EXPECT_EQ(translated["messages"][1]["content"],
            "Translate this from German into English:\n\n" + kGerman);
}

TEST_F(ServicesTest, ReaderMissingOrNotStarting) {
  HandwritingEngine missing(HandwritingSettings{});
  ArchiveAsk asker(*catalog, missing);
  try {
    asker.ask("Was Anna in Hamburg?");
    FAIL() << "answered without a reader";
  } catch (const Failure& f) {
    EXPECT_EQ(f.message(), "The reader that runs on this computer isn't installed yet.");
  }

  setScenario({{"exitAfterSeconds", 0.2}, {"neverReady", true}});
  Translator translator(*catalog, *engine);
  try {
    translator.translate(item);
    FAIL() << "translated without a server";
  } catch (const Failure& f) {
    ASSERT_TRUE(engine->server().lastError());
    EXPECT_EQ(f.message(), *engine->server().lastError());
  }
  EXPECT_FALSE(catalog->getTranslation(item));
}

TEST_F(ServicesTest, StopRequestedIsACancellationNotAFailure) {
  std::stop_source stop;
  stop.request_stop();
  ArchiveAsk asker(*catalog, *engine);
  EXPECT_THROW(asker.ask("Was Anna in Hamburg?", stop.get_token()), Cancelled);
}

}  // namespace
}  // namespace quorvel
