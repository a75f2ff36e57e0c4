#include "core/handwriting_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/paths.h"
#include "handwriting_fixture.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::eventually;
using testing::FakeReader;
using testing::GeneratedPage;

// Tile folders go to a temporary folder of the test's own, to see that
// every read removes its folder.
class ScopedTempFolder {
 public:
  ScopedTempFolder() {
    const char* old = std::getenv("TMPDIR");
    if (old) old_ = old;
    ::setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  ~ScopedTempFolder() { old_ ? ::setenv("TMPDIR", old_->c_str(), 1) : ::unsetenv("TMPDIR"); }
  std::size_t tileFolders() const {
    std::error_code ec;
    if (!fs::exists(dir_.path() + "/quorvel-tiles", ec)) return 0;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_.path() + "/quorvel-tiles"),
                                                  fs::directory_iterator()));
  }

 private:
  testing::TempDir dir_;
  std::optional<std::string> old_;
};

LlamaServer::Timing quick() {
  LlamaServer::Timing t;
  t.startTimeout = 20;
  return t;
}

TEST(HandwritingEngine, Pretty) {
  struct Case {
    std::int64_t seconds;
    const char* want;
  } cases[] = {{-5, "-5 s"}, {0, "0 s"},      {59, "59 s"},       {60, "1 min"},      {89, "1 min"},
               {90, "2 min"}, {3599, "60 min"}, {3600, "1 h 0 min"}, {7325, "2 h 2 min"}};
  for (const Case& c : cases) EXPECT_EQ(HandwritingEngine::pretty(c.seconds), c.want) << c.seconds;
}

TEST(HandwritingEngine, EstimatesFromTheMeasuredTimePerTile) {
  testing::ScopedDataRoot root;
  HandwritingSettings s;
  HandwritingEngine engine(s);
  EXPECT_EQ(engine.estimateSeconds(1000, 500), std::nullopt);
  s.measuredSecondsPerTile = 5;
  engine.setSettings(s);
  // Read as 2000 x 1000: 2 columns, 2 rows, 20 s, and 10 s to load.
  EXPECT_EQ(engine.estimateSeconds(1000, 500), 30);
  EXPECT_EQ(engine.estimateSeconds(0, 500), std::nullopt);
  s.measuredLoadSeconds = 3.7;
  engine.setSettings(s);
  EXPECT_EQ(engine.estimateSeconds(2000, 2600), 43);  // 8 tiles, 40 s + 3.7
}

TEST(HandwritingEngine, StatusAndInstall) {
  FakeReader reader;
  HandwritingEngine engine(HandwritingSettings{});
  EXPECT_EQ(engine.status(), "Not installed yet");
  EXPECT_FALSE(engine.isAvailable());

  HandwritingSettings want = reader.settings();
  engine.useInstalled(*want.serverPath, *want.modelPath, *want.mmprojPath, std::nullopt, 900);
  EXPECT_TRUE(engine.isAvailable());
  HandwritingSettings got = engine.settings();
  EXPECT_EQ(got.modelPath, want.modelPath);
  EXPECT_EQ(got.tileHeight, 900);
  EXPECT_EQ(got.maxSqueeze, 1.2);
  EXPECT_EQ(HandwritingSettings::load(), got);  // saved
  EXPECT_EQ(engine.status(), "model.gguf · GPU");

  engine.updateSettings([](HandwritingSettings& s) {
    s.gpuLayers = 0;
    s.measuredSecondsPerTile = 4.5;
  });
  EXPECT_EQ(engine.status(), "model.gguf · processor only · about 5 s per piece on this computer");
}

TEST(HandwritingEngine, CleansTileAnswers) {
  EXPECT_EQ(HandwritingEngine::cleanTileAnswer("Hello\nsome words  \n  leading words"),
            (std::vector<std::string>{"some words", "  leading words"}));
  EXPECT_EQ(HandwritingEngine::cleanTileAnswer("Hello there\r\nHELLO\r\n  hi THERE \n\n"),
            (std::vector<std::string>{"Hello there"}));
  EXPECT_EQ(HandwritingEngine::cleanTileAnswer("a start_of_turn b\n  >  \n> quoted\nHow are you?\n"
                                               "I am a helpful assistant\nend"),
            (std::vector<std::string>{"> quoted", "end"}));
}

const std::vector<std::string> kLetter = {
    "Dear Sir I write to you from the harbour town of Wells today",
    "where the fishing boats came home very late again last night",
    "with fresh fish and plenty of news from the far northern isles",
    "we hope this letter finds you well and happy in the new house",
    "yours very truly and with warm regards from John Baker",
};

struct PageRead {
  FakeReader reader;
  testing::TempDir dir;
  ScopedTempFolder temp;
  GeneratedPage page{kLetter, 2000, 2600};
  std::string path = page.write(dir.file("letter.png"));
};

TEST(HandwritingEngine, ReadsAPageTileByTile) {
  PageRead t;
  HandwritingSettings s = t.reader.settings();
  json replies = testing::repliesFor(t.page, t.path, s, t.dir.file("plan"));
  ASSERT_EQ(replies.size(), 4u);  // the text fills the top two rows; the other 4 cells are blank
  for (const json& r : replies) ASSERT_FALSE(r["content"].get<std::string>().empty());
  t.reader.setScenario({{"replies", replies}});
  HandwritingEngine engine(s);
  engine.server().setTiming(quick());

  std::vector<HandwritingProgress> reports;
  OcrResult result = engine.readPage(t.path, [&](const HandwritingProgress& p) { reports.push_back(p); });
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.lines, kLetter);
  EXPECT_EQ(result.engine, "handwriting-gemma");
  EXPECT_TRUE(result.uncertain.empty());
  EXPECT_EQ(engine.lastError(), std::nullopt);
  EXPECT_EQ(t.temp.tileFolders(), 0u);

  ASSERT_GE(reports.size(), 6u);
  EXPECT_EQ(reports.front().message, "Cutting the page into pieces…");
  EXPECT_EQ(reports.back(), (HandwritingProgress{4, 4, 0, 0, "Stitching the pieces together…"}));
  auto first = std::find_if(reports.begin(), reports.end(),
                            [](const HandwritingProgress& p) { return p.message.rfind("Reading", 0) == 0; });
  ASSERT_NE(first, reports.end());
  EXPECT_EQ(first->message, "Reading piece 1 of 4 (4 blank skipped)");  // no time measured yet
  EXPECT_EQ(first->total, 4);
  EXPECT_EQ(std::next(first)->message.rfind("Reading piece 2 of 4 (4 blank skipped)", 0), 0u);

  // The request carries the prompt and the tile as a JPEG.
  json request = json::parse(testing::readFile(t.reader.record("fake-request-1.json")));
  EXPECT_NE(request.dump().find("Transcribe every word"), std::string::npos);
  EXPECT_EQ(request["max_tokens"], 300);

  ASSERT_TRUE(engine.settings().measuredSecondsPerTile);
  std::string report = testing::readFile(HandwritingEngine::lastReadLogPath());
  // The whole seconds the tiles took: 0 here, more on a loaded machine.
  const std::string head = t.path + "\n2000x2600 → 2x4 tiles, squeeze 1.23, ";
  EXPECT_EQ(report.rfind(head, 0), 0u) << report;
  const std::size_t seconds = report.find(" s\n\n--- row 1 col 1\nDear", head.size());
  ASSERT_NE(seconds, std::string::npos) << report;
  EXPECT_EQ(report.substr(head.size(), seconds - head.size()).find_first_not_of("0123456789"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\n=== merged\n" + kLetter[0] + "\n"), std::string::npos);
  EXPECT_EQ(report.find("needs a look"), std::string::npos);
}

TEST(HandwritingEngine, OutcomesWithoutText) {
  PageRead t;
  HandwritingEngine unset(HandwritingSettings{});
  EXPECT_EQ(unset.readPage(t.path).error, "The handwriting reader isn't set up.");

  HandwritingEngine engine(t.reader.settings());
  engine.server().setTiming(quick());
  testing::writeFile(t.dir.file("broken.jpg"), "not a picture");
  EXPECT_EQ(engine.readPage(t.dir.file("broken.jpg")).error, "Couldn't open the scan.");

  // A blank page: no tiles, no error, and the server is not started.
  GeneratedPage blank({}, 2000, 2600);
  OcrResult result = engine.readPage(blank.write(t.dir.file("blank.png")));
  EXPECT_TRUE(result.lines.empty());
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(t.reader.launches(), 0);
  EXPECT_EQ(engine.lastError(), std::nullopt);
  EXPECT_EQ(t.temp.tileFolders(), 0u);

  // Only chatter comes back.
  t.reader.setScenario({{"replies", {{{"content", "Hello\n```\n```"}}}}});
  result = engine.readPage(t.path);
  EXPECT_TRUE(result.lines.empty());
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(engine.lastError(), "The model returned nothing.");
}

TEST(HandwritingEngine, ServerDyingDuringATile) {
  PageRead t;
  HandwritingSettings s = t.reader.settings();
  json replies = testing::repliesFor(t.page, t.path, s, t.dir.file("plan"));
  // Tile 2 kills the server, which then refuses to start again.
  t.reader.setScenario({{"onceOnly", true}, {"replies", {replies[0], {{"crash", true}}}}});
  HandwritingEngine engine(s);
  engine.server().setTiming(quick());
  OcrResult result = engine.readPage(t.path);
  EXPECT_EQ(result.error, std::nullopt);
  // The first tile's lines, merged alone.
  EXPECT_EQ(result.lines, HandwritingEngine::cleanTileAnswer(replies[0]["content"].get<std::string>()));
  EXPECT_FALSE(result.lines.empty());
  // One restart at most, refused (the controller may notice the death only
  // after the remaining tiles failed).
  EXPECT_LE(t.reader.launches(), 2);

  // Nothing read before the failure: the tile's failure is the error.
  FakeReader again(json{{"onceOnly", true}, {"replies", {{{"crash", true}}}}});
  HandwritingEngine second(again.settings());
  second.server().setTiming(quick());
  result = second.readPage(t.path);
  EXPECT_TRUE(result.lines.empty());
  ASSERT_TRUE(result.error);
  EXPECT_EQ(second.lastError(), result.error);
}

TEST(HandwritingEngine, CancelledDuringATile) {
  PageRead t;
  t.reader.setScenario({{"replies", {{{"content", "slow words here"}, {"delaySeconds", 30}}}}});
  HandwritingEngine engine(t.reader.settings());
  engine.server().setTiming(quick());
  std::stop_source stop;
  std::atomic<bool> reading{false};
  std::jthread canceller([&] {
    eventually([&] { return reading.load() && t.reader.launches() > 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.request_stop();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(engine.readPage(
                   t.path,
                   [&](const HandwritingProgress& p) {
                     if (p.message.rfind("Reading piece 1", 0) == 0) reading = true;
                   },
                   stop.get_token()),
               Cancelled);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20);
  EXPECT_EQ(t.temp.tileFolders(), 0u);
  EXPECT_FALSE(engine.settings().measuredSecondsPerTile);
  EXPECT_FALSE(fs::exists(HandwritingEngine::lastReadLogPath()));
}

// Mended fault: a settings change made while a page is read (the reader
// installed anew) was lost when the read stored its timing from a copy.
TEST(HandwritingEngine, ChangeDuringAReadIsKept) {
  PageRead t;
  HandwritingSettings s = t.reader.settings();
  json replies = testing::repliesFor(t.page, t.path, s, t.dir.file("plan"));
  for (json& r : replies) r["delaySeconds"] = 0.3;
  t.reader.setScenario({{"replies", replies}});
  testing::writeFile(t.dir.file("other-model.gguf"), "{}");
  HandwritingEngine engine(s);
  engine.server().setTiming(quick());
  std::atomic<bool> changed{false};
  OcrResult result = engine.readPage(t.path, [&](const HandwritingProgress& p) {
    if (p.message.rfind("Reading piece 2", 0) == 0 && !changed.exchange(true)) {
      std::thread([&] {
        engine.updateSettings([&](HandwritingSettings& live) { live.modelPath = t.dir.file("other-model.gguf"); });
      }).join();
    }
  });
  EXPECT_EQ(result.lines, kLetter);
  HandwritingSettings after = engine.settings();
  EXPECT_EQ(after.modelPath, t.dir.file("other-model.gguf"));
  EXPECT_TRUE(after.measuredSecondsPerTile);
  EXPECT_EQ(HandwritingSettings::load(), after);
}

TEST(HandwritingEngine, CompleteNeedsTheReader) {
  testing::ScopedDataRoot root;
  HandwritingEngine engine(HandwritingSettings{});
  try {
    engine.complete(std::nullopt, "hi", 10);
    ADD_FAILURE() << "no failure";
  } catch (const Failure& f) {
    EXPECT_EQ(f.message(), "The reader that runs on this computer isn't installed yet.");
  }
  FakeReader reader(json{{"replies", {{{"content", "an answer"}}}}});
  HandwritingEngine ready(reader.settings());
  ready.server().setTiming(quick());
  EXPECT_EQ(ready.complete("system", "question", 320), "an answer");
  json request = json::parse(testing::readFile(reader.record("fake-request-1.json")));
  EXPECT_EQ(request["max_tokens"], 320);
  EXPECT_EQ(request["temperature"], 0);
}

}  // namespace
}  // namespace quorvel
