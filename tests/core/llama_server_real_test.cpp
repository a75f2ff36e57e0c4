// The handwriting reader, questions and translations against the real
// llama-server with two tiny random-weight models: they answer gibberish
// quickly, so these tests check the protocol, the process handling and the
// error paths, not what is read. Without a server or the models they are
// skipped with the reason; with QUORVEL_REQUIRE_REAL_SERVER set they fail.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalog_fixture.h"
#include "core/archive_ask.h"
#include "core/failure.h"
#include "core/handwriting_engine.h"
#include "core/llama_server.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/translator.h"
#include "handwriting_fixture.h"
#include "http_test_server.h"
#include "llama_server_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::alive;
using testing::eventually;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One thread per server: the tiny model needs no more, and a loaded machine
// starves a server whose threads wait on each other (8 threads: 270 ms a
// token under load, 1 thread: 0.5 ms).
const std::vector<std::string> kOneThread = {"-t", "1"};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A catalog, a data folder and an engine whose settings name the real server
// and the tiny models.
class RealServer : public CatalogTest {
 protected:
  testing::ScopedDataRoot root;
  std::unique_ptr<HandwritingEngine> engine;

  void SetUp() override {
    const std::string server = QUORVEL_LLAMA_SERVER;
    std::string missing;
    if (server.empty())
      missing = "no llama-server was given (scripts/test.sh builds one from "
                "../shared/llama-server/llama.cpp-src.tar.xz)";
    else if (::access(server.c_str(), X_OK) != 0)
      missing = "the llama-server " + server + " is not there";
    else if (!fs::exists(models() + "/tiny-llama.gguf") || !fs::exists(models() + "/tiny-mmproj.gguf"))
      missing = "the tiny models are not in " + models();
    if (!missing.empty()) {
      if (std::getenv("QUORVEL_REQUIRE_REAL_SERVER")) FAIL() << missing;
      GTEST_SKIP() << missing;
    }
    engine = std::make_unique<HandwritingEngine>(settings());
    engine->server().setExtraArguments(kOneThread);
  }

  void TearDown() override {
    if (engine) engine->server().stopNow();
  }

  static std::string models() { return QUORVEL_LLAMA_MODELS; }
  static HandwritingSettings settings() {
    HandwritingSettings s;
    s.serverPath = QUORVEL_LLAMA_SERVER;
    s.modelPath = models() + "/tiny-llama.gguf";
    s.mmprojPath = models() + "/tiny-mmproj.gguf";
    return s;
  }
  LlamaServer& server() { return engine->server(); }

  std::int64_t addText(const std::string& title, const std::string& text) {
    ArchiveItem item = makeItem("/scans/" + title + ".jpg");
    item.title = title;
    const std::int64_t id = catalog->addItem(item);
    catalog->saveRecognizedText(id, text, "tesseract", std::nullopt);
    return id;
  }
};

TEST_F(RealServer, StartsChatsAndAnswersOnlyRequestsWithItsKey) {
  // The caller's key and settings must not reach the server.
  ScopedEnv staleKey("LLAMA_API_KEY", "stale");
  ScopedEnv predict("LLAMA_ARG_N_PREDICT", "1");
  auto start = Clock::now();
  ASSERT_TRUE(server().ensureStarted(settings())) << server().lastError().value_or("");
  const double started = secondsSince(start);
  ASSERT_TRUE(server().lastStartSeconds());
  EXPECT_LE(*server().lastStartSeconds(), started + 0.05);

  std::string environment = testing::readFile("/proc/" + std::to_string(*server().processId()) + "/environ");
  EXPECT_EQ(environment.find("LLAMA_ARG_"), std::string::npos);
  EXPECT_EQ(environment.find("LLAMA_API_KEY=stale"), std::string::npos);
  EXPECT_NE(environment.find("LLAMA_API_KEY="), std::string::npos);

  const std::string reply = server().chat("Answer briefly.", "Who wrote from Hannover?", 40, 0, 120);
  EXPECT_FALSE(reply.empty());  // more than the one token LLAMA_ARG_N_PREDICT would allow
  const std::optional<std::int64_t> tokens = server().countTokens("Dear Anna, greetings from Hannover.");
  ASSERT_TRUE(tokens);
  EXPECT_GT(*tokens, 5);

  const std::string base = *server().baseURL();
  const std::string body = R"({"messages":[{"role":"user","content":"hello"}],"max_tokens":4})";
  EXPECT_EQ(testing::httpStatus(base + "/v1/chat/completions", body), 401);
  EXPECT_EQ(testing::httpStatus(base + "/v1/chat/completions", body, "Authorization: Bearer stale"), 401);
  EXPECT_EQ(testing::httpStatus(base + "/tokenize", R"({"content":"hello"})"), 401);
  EXPECT_EQ(testing::httpStatus(base + "/health"), 200);
}

TEST_F(RealServer, ReadsATileAndATiledPage) {
  ASSERT_TRUE(server().ensureStarted(settings())) << server().lastError().value_or("");
  testing::GeneratedPage tile({"Dear Anna"}, 280, 120, 40);
  EXPECT_NO_THROW(server().readImage(tile.write(dir.file("tile.jpg")), HandwritingEngine::prompt(), 40, 120));
  server().stopNow();

  // From a stopped server, as a reading starts: start, tiles, merge.
  testing::GeneratedPage page({"Dear Anna we arrived in Hamburg on Monday", "the children send their love",
                               "your brother Karl"},
                              1400, 900);
  std::vector<HandwritingProgress> progress;
  auto start = Clock::now();
  OcrResult result = engine->readPage(page.write(dir.file("page.png")),
                                      [&](const HandwritingProgress& p) { progress.push_back(p); });
  const double seconds = secondsSince(start);
  EXPECT_FALSE(result.error) << *result.error;
  EXPECT_FALSE(result.lines.empty());
  ASSERT_FALSE(progress.empty());
  EXPECT_GE(progress.back().total, 2);
  EXPECT_EQ(progress.back().done, progress.back().total);
  std::printf("readPage of %lld tiles from a stopped server: %.2f s (start %.1f s)\n",
              static_cast<long long>(progress.back().total), seconds,
              server().lastStartSeconds().value_or(0));
}

// Lines of a long letter, dense with dates, sums and addresses as family
// papers are: each character costs the tiny model's vocabulary more tokens.
std::string longLetter(int n) {
  std::string text;
  for (int line = 0; line < 40; ++line)
    text += "On " + std::to_string(10 + line % 18) + "." + std::to_string(1 + (line + n) % 12) +
            ".19" + std::to_string(20 + n) + " Anna paid " + std::to_string(137 + 11 * line) +
            " Mark " + std::to_string(line * 7 % 100) + " Pf. for " + std::to_string(3 + line) +
            " kg at Hannover-Linden, Wilhelmstr. " + std::to_string(2 + line) + ".\n";
  return text;
}

TEST_F(RealServer, AQuestionOverSixLongTranscriptionsIsAnswered) {
  for (int n = 0; n < 6; ++n) addText("Ledger " + std::to_string(n + 1), longLetter(n));
  const std::string question = "What did Anna pay in Hannover?";

  // The prompt as it would go out whole does not fit the server's context.
  ASSERT_TRUE(server().ensureStarted(settings())) << server().lastError().value_or("");
  std::vector<std::string> terms = ArchiveAsk::keywords(question);
  std::string whole = ArchiveAsk::system();
  for (int n = 0; n < 6; ++n) whole += ArchiveAsk::excerpt(longLetter(n), terms, 1400) + "\n\n";
  const std::optional<std::int64_t> tokens = server().countTokens(whole);
  ASSERT_TRUE(tokens);
  EXPECT_GT(*tokens, LlamaServer::contextTokens);
  server().stopNow();

  ArchiveAsk asker(*catalog, *engine);
  auto start = Clock::now();
  AskAnswer answer;
  ASSERT_NO_THROW(answer = asker.ask(question));
  std::printf("question over six long transcriptions from a stopped server: %.2f s (start %.1f s, "
              "%lld tokens whole)\n",
              secondsSince(start), server().lastStartSeconds().value_or(0),
              static_cast<long long>(*tokens));
  EXPECT_EQ(answer.question, question);
  EXPECT_FALSE(answer.text.empty());
}

TEST_F(RealServer, AQuestionTooLongForEvenOneShortExcerptGetsASentence) {
  addText("Ledger", longLetter(0));
  std::string question = "What did Anna pay";
  for (int i = 0; i < 900; ++i) question += " in Hannover " + std::to_string(1900 + i);
  question += "?";
  ArchiveAsk asker(*catalog, *engine);
  try {
    asker.ask(question);
    ADD_FAILURE() << "the question was sent";
  } catch (const Failure& f) {
    EXPECT_EQ(f.message(),
              "The question is too long for the reader to take in with even a short excerpt of "
              "your letters. Please ask it in fewer words.");
  }
}

TEST_F(RealServer, TranslatesAndCutsAChunkTheModelFindsTooLong) {
  const std::int64_t german = addText(
      "Brief", "Liebe Anna, wir sind gestern in Hamburg angekommen und das Wetter ist sehr schön. "
               "Die Kinder spielen jeden Tag im Garten und grüßen dich herzlich. Dein Bruder Karl");
  Translator translator(*catalog, *engine);
  auto start = Clock::now();
  Translation translation = translator.translate(german);
  std::printf("translation from a stopped server: %.2f s (start %.1f s)\n", secondsSince(start),
              server().lastStartSeconds().value_or(0));
  EXPECT_EQ(translation.language, "de");
  EXPECT_FALSE(translation.text.empty());

  // Chinese costs the tiny model's vocabulary 1.7 tokens a character: in
  // chunks of 2400 characters the prompt leaves the reply's 900 tokens no room.
  translator.setChunkChars(2400);
  std::string chinese;
  while (text::graphemeCount(chinese) < 2350)
    chinese += "亲爱的安娜，我们昨天到达了汉堡，天气很好。孩子们每天在花园里玩耍，向你问好。";
  const std::int64_t letter = addText("Letter", chinese);
  std::vector<int> totals;
  translation = translator.translate(letter, [&](int, int total) { totals.push_back(total); });
  EXPECT_EQ(translation.language, "zh");
  EXPECT_FALSE(translation.text.empty());
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.front(), 1);
  EXPECT_GT(totals.back(), 1);  // cut into pieces and each translated
}

TEST_F(RealServer, AServerKilledDuringARequestIsStartedAgain) {
  ASSERT_TRUE(server().ensureStarted(settings())) << server().lastError().value_or("");
  const int first = *server().processId();
  std::optional<std::string> error;
  std::thread request([&] {
    try {
      server().chat(std::nullopt, "Tell me everything.", 3500, 0.8, 120);
    } catch (const TransportError& e) {
      error = e.what();
    } catch (const std::exception& e) {
      error = std::string("not a transport error: ") + e.what();
    }
  });
  ASSERT_TRUE(eventually([&] { return server().inFlight() == 1; }));
  std::this_thread::sleep_for(100ms);
  ::kill(first, SIGKILL);
  request.join();
  ASSERT_TRUE(error) << "the request ended before the kill";
  EXPECT_EQ(*error, "The network connection was lost.");
  EXPECT_TRUE(eventually([&] { return !server().isRunning(); }));

  ASSERT_TRUE(server().ensureStarted(settings())) << server().lastError().value_or("");
  EXPECT_NE(*server().processId(), first);
  EXPECT_NO_THROW(server().chat(std::nullopt, "Hello again.", 8, 0, 120));
}

TEST_F(RealServer, AnIdleServerIsStopped) {
  LlamaServer::Timing timing = server().timing();
  timing.idleShutdown = 0.5;
  timing.idleCheckPeriod = 0.2;
  server().setTiming(timing);
  ASSERT_TRUE(server().ensureStarted(settings())) << server().lastError().value_or("");
  const int pid = *server().processId();
  server().chat(std::nullopt, "Hello.", 8, 0, 120);
  EXPECT_TRUE(eventually([&] { return !server().isRunning(); }, 20));
  EXPECT_TRUE(eventually([&] { return !alive(pid); }, 20));
}

TEST_F(RealServer, ACorruptModelFileEndsTheStartWithItsReason) {
  struct Case {
    const char* name;
    bool projector;
  };
  for (const Case& c : {Case{"model", false}, Case{"projector", true}}) {
    HandwritingSettings s = settings();
    const std::string corrupt = dir.file(std::string(c.name) + ".gguf");
    testing::writeFile(corrupt, "GGUF" + std::string(4096, '\x7f'));
    (c.projector ? s.mmprojPath : s.modelPath) = corrupt;
    auto start = Clock::now();
    EXPECT_FALSE(server().ensureStarted(s)) << c.name;
    EXPECT_LT(secondsSince(start), 60) << c.name;
    const std::string error = server().lastError().value_or("");
    EXPECT_EQ(error.rfind("The handwriting reader stopped while loading (code 1). ", 0), 0u)
        << c.name << ": " << error;
    EXPECT_GT(error.size(), 60u) << c.name << ": the server's own words follow";
  }
}

TEST_F(RealServer, KillingTheProgramEndsItsServer) {
  testing::HeldServer held = testing::holdServer(settings(), kOneThread);
  ASSERT_GT(held.server, 0) << held.output;
  ASSERT_TRUE(alive(held.server));
  EXPECT_TRUE(testing::killHolderAndItsServerEnds(held));
}

// The server the install script put in its folder, found on PATH the way
// the program finds one, with the model files fetched by the downloader from
// a manifest without a build for this computer.
TEST_F(RealServer, TheInstalledServerIsFoundOnPathAndRun) {
  testing::HttpTestServer files{testing::HttpTestServer::Scheme::https};
  testing::HttpTestServer manifestHost;
  DeliveryNetwork::Settings network = DeliveryNetwork::settings();
  DeliveryNetwork::Settings trusted = network;
  trusted.extraCaBundle = files.certificateFile();
  DeliveryNetwork::setSettings(trusted);

  ModelManifest manifest;
  manifest.revision = "tiny";
  manifest.handwriting.id = "tiny-pack";
  const std::string model = testing::readFile(settings().modelPath.value());
  const std::string mmproj = testing::readFile(settings().mmprojPath.value());
  auto sha = [](const std::string& path) { return Shell::run("/usr/bin/sha256sum", {path}).substr(0, 64); };
  manifest.handwriting.files = {
      {"model", "tiny-llama.gguf", files.url("/tiny-llama.gguf"), std::nullopt,
       static_cast<std::int64_t>(model.size()), sha(*settings().modelPath)},
      {"mmproj", "tiny-mmproj.gguf", files.url("/tiny-mmproj.gguf"), std::nullopt,
       static_cast<std::int64_t>(mmproj.size()), sha(*settings().mmprojPath)}};
  files.script("/tiny-llama.gguf", {testing::Reply::file(model)});
  files.script("/tiny-mmproj.gguf", {testing::Reply::file(mmproj)});
  manifestHost.script("/manifest.json", {testing::Reply::file(manifest.toJson())});
  ScopedEnv manifestUrl("QUORVEL_MANIFEST_URL", manifestHost.url("/manifest.json"));
  const std::string folder = fs::path(QUORVEL_LLAMA_SERVER).parent_path().string();
  ScopedEnv path("PATH", folder + ":/usr/bin:/bin");

  HandwritingEngine installed;  // the defaults: nothing set up yet
  installed.server().setExtraArguments(kOneThread);
  ModelDownloader downloader(installed);
  downloader.run({});
  DeliveryNetwork::setSettings(network);
  EXPECT_EQ(installed.settings().serverPath, folder + "/llama-server");
  ASSERT_TRUE(installed.isAvailable());
  EXPECT_NO_THROW(installed.complete(std::nullopt, "Hello.", 8));
  EXPECT_TRUE(installed.server().isRunning());
  installed.server().stopNow();
}

}  // namespace
}  // namespace quorvel
