#include "core/llama_server.h"

#include <atomic>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "core/handwriting_engine.h"
#include "core/paths.h"
#include "llama_server_support.h"
#include "test_support.h"

extern char** environ;

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Condition>
bool eventually(Condition condition, double seconds = 5) {
  auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// The last `count` code points of UTF-8 text.
std::string lastCodePoints(const std::string& s, std::size_t count) {
  std::size_t at = s.size(), seen = 0;
  while (at > 0 && seen < count) {
    --at;
    if ((static_cast<unsigned char>(s[at]) & 0xC0) != 0x80) ++seen;
  }
  return s.substr(at);
}

using testing::alive;

// A data folder with the stand-in server installed in its runtime folder and
// a scenario as the model file. The stand-in records beside the model file.
class FakeReader {
 public:
  explicit FakeReader(const json& scenario = json::object()) {
    server_ = root_.path() + "/runtime/llama-server";
    fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", server_);
    ::chmod(server_.c_str(), 0755);
    models_ = root_.path() + "/models";
    setScenario(scenario);
    testing::writeFile(models_ + "/mmproj.gguf", "projector");
  }

  void setScenario(const json& scenario) { testing::writeFile(models_ + "/model.gguf", scenario.dump()); }

  HandwritingSettings settings(std::int64_t gpuLayers = 99) const {
    HandwritingSettings s;
    s.serverPath = server_;
    s.modelPath = models_ + "/model.gguf";
    s.mmprojPath = models_ + "/mmproj.gguf";
    s.gpuLayers = gpuLayers;
    return s;
  }

  const std::string& serverPath() const { return server_; }
  const std::string& root() const { return root_.path(); }
  std::string record(const std::string& name) const { return models_ + "/" + name; }

  // The stand-in's record of its command line, once it is listening.
  json argv() const {
    std::string text;
    eventually([&] { return !(text = testing::readFile(record("fake-argv.json"))).empty(); });
    return json::parse(text);
  }
  int pid() const { return argv()["pid"].get<int>(); }
  int launches() const {
    std::string text = testing::readFile(record("fake-launches.txt"));
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  // The first launch's pid, recorded as it starts (before it listens); 0 when none started.
  int firstLaunchPid() const { return std::atoi(testing::readFile(record("fake-launches.txt")).c_str()); }
  json request(int n) const {
    return json::parse(testing::readFile(record("fake-request-" + std::to_string(n) + ".json")));
  }
  bool hasRequest(int n) const { return fs::exists(record("fake-request-" + std::to_string(n) + ".json")); }

 private:
  testing::ScopedDataRoot root_;
  std::string server_;
  std::string models_;
};

LlamaServer::Timing quick() {
  LlamaServer::Timing t;
  t.startTimeout = 5;
  return t;
}

TEST(LlamaServer, StartsWithTheExactCommandLineAndAnswersAtOnceWhenRunning) {
  struct Case {
    const char* name;
    std::int64_t gpuLayers;
    std::size_t arguments;
  };
  for (const Case& c : {Case{"gpu", 99, 14}, Case{"processorOnly", 0, 15}}) {
    FakeReader reader;
    LlamaServer server;
    server.setTiming(quick());
    std::vector<std::string> statuses;
    ASSERT_TRUE(server.ensureStarted(reader.settings(c.gpuLayers),
                                     [&](const std::string& s) { statuses.push_back(s); }))
        << c.name << ": " << server.lastError().value_or("");
    EXPECT_TRUE(server.isRunning()) << c.name;
    EXPECT_FALSE(server.lastError()) << c.name;
    ASSERT_TRUE(server.lastStartSeconds()) << c.name;
    EXPECT_EQ(statuses, std::vector<std::string>{"Loading the handwriting model\u2026"}) << c.name;

    json record = reader.argv();
    std::vector<std::string> argv = record["argv"];
    ASSERT_EQ(argv.size(), c.arguments + 1) << c.name;
    std::string port = argv[10];
    std::vector<std::string> want = {reader.serverPath(),
                                     "-m", *reader.settings().modelPath,
                                     "--mmproj", *reader.settings().mmprojPath,
                                     "-ngl", std::to_string(c.gpuLayers),
                                     "--host", "127.0.0.1",
                                     "--port", port,
                                     "-c", "4096",
                                     "-np", "1"};
    if (c.gpuLayers < 1) want.push_back("--no-mmproj-offload");
    EXPECT_EQ(argv, want) << c.name;
    EXPECT_EQ(server.baseURL(), "http://127.0.0.1:" + port) << c.name;
    EXPECT_EQ(record["cwd"], reader.root() + "/runtime") << c.name;

    // Running: true at once, nothing launched, only the last use refreshed.
    TimePoint before = server.lastUse();
    std::this_thread::sleep_for(5ms);
    auto start = Clock::now();
    ASSERT_TRUE(server.ensureStarted(reader.settings(c.gpuLayers),
                                     [&](const std::string& s) { statuses.push_back(s); }));
    EXPECT_LT(secondsSince(start), 0.2) << c.name;
    EXPECT_GT(server.lastUse(), before) << c.name;
    EXPECT_EQ(reader.launches(), 1) << c.name;
    EXPECT_EQ(statuses.size(), 1u) << c.name;
  }
}

TEST(LlamaServer, SlowLoadingIsReadyOnceHealthAnswers200) {
  FakeReader reader(json{{"loadSeconds", 1.2}});
  LlamaServer server;
  server.setTiming(quick());
  auto start = Clock::now();
  ASSERT_TRUE(server.ensureStarted(reader.settings())) << server.lastError().value_or("");
  double took = secondsSince(start);
  EXPECT_GE(took, 1.2);
  EXPECT_LT(took, 2.5);
  ASSERT_TRUE(server.lastStartSeconds());
  double seconds = *server.lastStartSeconds();
  EXPECT_GE(seconds, 1.2);
  EXPECT_LE(seconds, took + 0.05);
  EXPECT_DOUBLE_EQ(seconds * 10, std::round(seconds * 10));  // to one decimal
}

TEST(LlamaServer, FailedStartsSayWhy) {
  // 500 characters, multibyte ones among them, then white space that the tail leaves out.
  std::string body;
  for (int i = 0; i < 100; ++i) body += i % 2 ? "abcd\n" : "\u00fcber ";
  body.pop_back();
  const std::string output = body + "\n  \n";
  const std::string tail400 = "\u2026" + lastCodePoints(body, 400);

  struct Case {
    const char* name;
    json scenario;
    double startTimeout;
    std::string want;
  };
  const Case cases[] = {
      {"neverReadyNoOutput", {{"neverReady", true}}, 1,
       "The handwriting reader didn't become ready in 1 seconds. "},
      {"neverReadyWithOutput", {{"neverReady", true}, {"output", output}}, 1,
       "The handwriting reader didn't become ready in 1 seconds. " + tail400},
      {"exitsWhileLoading",
       {{"neverReady", true}, {"stderr", "error: model is broken\n"}, {"exitAfterSeconds", 0.2},
        {"exitCode", 1}},
       5, "The handwriting reader stopped while loading (code 1). error: model is broken"},
      {"tooOldForImages", {{"rejectArgument", "--mmproj"}}, 5,
       "The llama-server on this computer is too old to read scans: it doesn't know the "
       "--mmproj option. " + LlamaServer::installHint()},
      {"exitsWithLongOutput",
       {{"neverReady", true}, {"output", output}, {"exitAfterSeconds", 0.2}, {"exitCode", 7}}, 5,
       "The handwriting reader stopped while loading (code 7). " + tail400},
  };
  for (const Case& c : cases) {
    FakeReader reader(c.scenario);
    LlamaServer server;
    LlamaServer::Timing timing;
    timing.startTimeout = c.startTimeout;
    server.setTiming(timing);
    auto start = Clock::now();
    EXPECT_FALSE(server.ensureStarted(reader.settings())) << c.name;
    // Well within the 240 s a start is otherwise given, with room for a loaded machine.
    EXPECT_LT(secondsSince(start), 10) << c.name;
    EXPECT_EQ(server.lastError().value_or("none"), c.want) << c.name;
    EXPECT_FALSE(server.isRunning()) << c.name;
    EXPECT_FALSE(server.baseURL()) << c.name;
    // A slow start may be given up before the stand-in listens and records its argv.
    const int pid = reader.firstLaunchPid();
    ASSERT_GT(pid, 0) << c.name;
    EXPECT_TRUE(eventually([&] { return !alive(pid); })) << c.name;
  }
}

TEST(LlamaServer, SetUpAndLaunchFailures) {
  FakeReader reader;
  LlamaServer server;
  server.setTiming(quick());

  HandwritingSettings missing = reader.settings();
  missing.mmprojPath.reset();
  EXPECT_FALSE(server.ensureStarted(missing));
  EXPECT_EQ(server.lastError(), "The handwriting reader isn't set up.");

  // An executable file that is not a program.
  testing::writeFile(reader.root() + "/runtime/broken-server", "not a program\n");
  ::chmod((reader.root() + "/runtime/broken-server").c_str(), 0755);
  HandwritingSettings broken = reader.settings();
  broken.serverPath = reader.root() + "/runtime/broken-server";
  bool called = false;
  EXPECT_FALSE(server.ensureStarted(broken, [&](const std::string&) { called = true; }));
  EXPECT_EQ(server.lastError(), "Couldn't start the handwriting reader: Exec format error.");
  EXPECT_FALSE(called);

  // A successful start clears the reason.
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  EXPECT_FALSE(server.lastError());
}

TEST(LlamaServer, CancellingDuringLoadingStopsTheProcessAndKeepsLastError) {
  FakeReader reader(json{{"neverReady", true}});
  LlamaServer server;
  server.setTiming(quick());
  HandwritingSettings incomplete;
  EXPECT_FALSE(server.ensureStarted(incomplete));

  // Cancelled once the stand-in is up and loading (it never becomes ready).
  std::stop_source stop;
  std::atomic<Clock::rep> cancelledAt{0};
  std::jthread canceller([&] {
    reader.argv();
    cancelledAt = Clock::now().time_since_epoch().count();
    stop.request_stop();
  });
  EXPECT_FALSE(server.ensureStarted(reader.settings(), {}, stop.get_token()));
  const Clock::time_point cancelled{Clock::duration(cancelledAt.load())};
  EXPECT_LT(secondsSince(cancelled), 1.0);
  EXPECT_EQ(server.lastError(), "The handwriting reader isn't set up.");
  int pid = reader.pid();
  EXPECT_TRUE(eventually([&] { return !alive(pid); }));
}

TEST(LlamaServer, ConcurrentStartsShareOneServer) {
  FakeReader reader(json{{"loadSeconds", 1.0}});
  LlamaServer server;
  server.setTiming(quick());
  bool first = false, second = false;
  {
    std::jthread a([&] { first = server.ensureStarted(reader.settings()); });
    std::this_thread::sleep_for(300ms);  // a is loading
    std::jthread b([&] { second = server.ensureStarted(reader.settings()); });
    // A third caller that gives up while waiting returns false without harm.
    std::stop_source giveUp;
    std::jthread c([&] {
      EXPECT_FALSE(server.ensureStarted(reader.settings(), {}, giveUp.get_token()));
    });
    std::this_thread::sleep_for(100ms);
    giveUp.request_stop();
  }
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_EQ(reader.launches(), 1);
  EXPECT_TRUE(server.isRunning());
}

TEST(LlamaServer, ChatAndImageBodies) {
  FakeReader reader(json{{"replies", json::array({json{{"content", "one"}}, json{{"content", "two"}},
                                              json{{"content", "three"}}, json{{"content", "four"}}})}});
  LlamaServer server;
  server.setTiming(quick());
  ASSERT_TRUE(server.ensureStarted(reader.settings()));

  EXPECT_EQ(server.chat("Be brief.", "Who wrote this?", 320, 0.25, 120), "one");
  EXPECT_EQ(server.chat(std::nullopt, "Only user", 900, 0, 120), "two");
  EXPECT_EQ(server.chat(std::string(), "Empty system", 5, 0, 120), "three");

  json withSystem = reader.request(1);
  EXPECT_EQ(withSystem,
            (json{{"model", "quorvel"},
                  {"messages", json::array({json{{"role", "system"}, {"content", "Be brief."}},
                                            json{{"role", "user"}, {"content", "Who wrote this?"}}})},
                  {"temperature", 0.25},
                  {"max_tokens", 320},
                  {"repeat_penalty", 1.1},
                  {"stream", false}}));
  EXPECT_EQ(reader.request(2)["messages"],
            json::array({json{{"role", "user"}, {"content", "Only user"}}}));
  EXPECT_EQ(reader.request(3)["messages"].size(), 1u);
  // Compact JSON: no line breaks.
  EXPECT_EQ(testing::readFile(reader.record("fake-request-1.json")).find('\n'), std::string::npos);

  // Bytes that need padding, sent unchanged.
  const std::string image = std::string("\xFF\xD8\xFF\xE0", 4) + std::string("JFIF\0x", 6);
  testing::writeFile(reader.root() + "/tile01_r1c1.jpg", image);
  EXPECT_EQ(server.readImage(reader.root() + "/tile01_r1c1.jpg", "Read the writing.", 300, 900),
            "four");
  EXPECT_EQ(reader.request(4),
            (json{{"model", "quorvel"},
                  {"messages",
                   json::array({json{
                       {"role", "user"},
                       {"content",
                        json::array({json{{"type", "image_url"},
                                          {"image_url", {{"url", "data:image/jpeg;base64,/9j/4EpGSUYAeA=="}}}},
                                     json{{"type", "text"}, {"text", "Read the writing."}}})}}})},
                  {"temperature", 0},
                  {"max_tokens", 300},
                  {"repeat_penalty", 1.2},
                  {"stream", false}}));
  EXPECT_EQ(server.inFlight(), 0);
}

TEST(LlamaServer, AnswersThatFail) {
  const std::string longBody(1000, 'e');
  struct Case {
    const char* name;
    json reply;
    std::string want;  // "" : an empty reply without error
  };
  const std::string unreadable = "llama-server sent an answer that couldn't be read.";
  const Case cases[] = {
      {"status500", {{"status", 500}, {"body", longBody}}, "llama-server HTTP 500: " + longBody.substr(0, 300)},
      {"cutMultibyte", {{"status", 503}, {"body", std::string(299, 'a') + "\u00fc tail"}},
       "llama-server HTTP 503: " + std::string(299, 'a') + "\uFFFD"},
      {"noChoices", {{"json", {{"choices", json::array()}}}}, unreadable},
      {"choicesNotArray", {{"json", {{"choices", {{"message", {{"content", "x"}}}}}}}}, unreadable},
      {"choiceNotObject", {{"json", {{"choices", json::array({"x"})}}}}, unreadable},
      {"noMessage", {{"json", {{"choices", json::array({json{{"index", 0}}})}}}}, unreadable},
      {"notAnObject", {{"json", json::array({1, 2})}}, unreadable},
      {"noContent", {{"json", {{"choices", json::array({json{{"message", {{"role", "assistant"}}}}})}}}}, ""},
      {"contentNotText", {{"json", {{"choices", json::array({json{{"message", {{"content", 5}}}}})}}}}, ""},
  };
  json replies = json::array();
  for (const Case& c : cases) replies.push_back(c.reply);
  replies.push_back({{"body", "this is not json"}});
  FakeReader reader(json{{"replies", replies}});
  LlamaServer server;
  server.setTiming(quick());
  ASSERT_TRUE(server.ensureStarted(reader.settings()));

  for (const Case& c : cases) {
    TimePoint before = server.lastUse();
    try {
      std::string reply = server.chat(std::nullopt, c.name, 10, 0, 120);
      EXPECT_EQ(c.want, "") << c.name;
      EXPECT_EQ(reply, "") << c.name;
    } catch (const Failure& f) {
      EXPECT_EQ(f.message(), c.want) << c.name;
    }
    EXPECT_EQ(server.inFlight(), 0) << c.name;
    EXPECT_GE(server.lastUse(), before) << c.name;
  }
  EXPECT_THROW(server.chat(std::nullopt, "parse", 10, 0, 120), nlohmann::json::parse_error);
  EXPECT_EQ(server.inFlight(), 0);
  EXPECT_THROW(server.readImage(reader.root() + "/missing.jpg", "p", 10, 120), std::system_error);
  EXPECT_EQ(server.inFlight(), 0);
}

TEST(LlamaServer, RequestsWhileNotReadyFailAtOnceAndSendNothing) {
  FakeReader reader(json{{"loadSeconds", 1.5}});
  LlamaServer server;
  server.setTiming(quick());
  auto expectFailure = [&](auto call, const std::string& want) {
    try {
      call();
      ADD_FAILURE() << "no failure for " << want;
    } catch (const Failure& f) {
      EXPECT_EQ(f.message(), want);
    }
    EXPECT_EQ(server.inFlight(), 0);
  };
  auto chat = [&] { server.chat(std::nullopt, "hello", 10, 0, 120); };
  auto image = [&] { server.readImage(reader.root() + "/models/mmproj.gguf", "p", 10, 120); };
  expectFailure(chat, "The reader isn't running.");
  expectFailure(image, "The handwriting reader isn't running.");

  // While loading, no address is known yet.
  std::jthread starting([&] { server.ensureStarted(reader.settings()); });
  ASSERT_TRUE(eventually([&] { return fs::exists(reader.record("fake-argv.json")); }));
  expectFailure(chat, "The reader isn't running.");
  starting.join();
  EXPECT_FALSE(reader.hasRequest(1));
  EXPECT_TRUE(server.isRunning());
}

TEST(LlamaServer, ServerCrashingOnARequest) {
  FakeReader reader(json{{"replies", json::array({json{{"content", "fine"}}, json{{"crash", true}}})}});
  LlamaServer server;
  server.setTiming(quick());
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  EXPECT_EQ(server.chat(std::nullopt, "first", 10, 0, 120), "fine");
  int pid = reader.pid();
  try {
    server.chat(std::nullopt, "second", 10, 0, 120);
    ADD_FAILURE() << "the crash went unnoticed";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::connectionLost) << e.what();
    EXPECT_FALSE(e.cancelled());
  }
  EXPECT_EQ(server.inFlight(), 0);
  EXPECT_TRUE(eventually([&] { return !server.isRunning(); }));
  EXPECT_FALSE(alive(pid));  // reaped by us
  // The dead server is cleaned up and a new one started.
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  EXPECT_EQ(reader.launches(), 2);
  EXPECT_EQ(server.chat(std::nullopt, "third", 10, 0, 120), "fine");
}

TEST(LlamaServer, CancellingARequestInFlightAbortsItAtOnce) {
  FakeReader reader(json{{"replies", json::array({json{{"content", "late"}, {"delaySeconds", 20}}})}});
  LlamaServer server;
  server.setTiming(quick());
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  testing::writeFile(reader.root() + "/tile.jpg", "jpeg");

  std::stop_source stop;
  std::jthread canceller([&] {
    ASSERT_TRUE(eventually([&] { return reader.hasRequest(1); }));
    stop.request_stop();
  });
  auto start = Clock::now();
  try {
    server.readImage(reader.root() + "/tile.jpg", "p", 300, 900, stop.get_token());
    ADD_FAILURE() << "not cancelled";
  } catch (const TransportError& e) {
    EXPECT_TRUE(e.cancelled()) << e.what();
  }
  EXPECT_LT(secondsSince(start), 1.5);
  EXPECT_EQ(server.inFlight(), 0);
  EXPECT_TRUE(server.isRunning());

  // Already cancelled: nothing is sent.
  EXPECT_THROW(server.chat(std::nullopt, "x", 10, 0, 120, stop.get_token()), TransportError);
  EXPECT_FALSE(reader.hasRequest(2));
}

TEST(LlamaServer, RequestTimeOuts) {
  LlamaServer server;
  EXPECT_DOUBLE_EQ(server.requestTimeout(10), 60);
  EXPECT_DOUBLE_EQ(server.requestTimeout(900), 900);
  EXPECT_DOUBLE_EQ(server.requestTimeout(5000), 3600);

  FakeReader reader(json{{"replies", json::array({json{{"content", "late"}, {"delaySeconds", 10}}})}});
  LlamaServer::Timing timing = quick();
  timing.minRequestTimeout = 0.3;
  server.setTiming(timing);
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  auto start = Clock::now();
  try {
    server.chat(std::nullopt, "slow", 10, 0, 0.1);
    ADD_FAILURE() << "no time-out";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::timedOut) << e.what();
    EXPECT_STREQ(e.what(), "The request timed out.");
  }
  double took = secondsSince(start);
  EXPECT_GE(took, 0.25);
  EXPECT_LT(took, 2);
}

TEST(LlamaServer, IdleShutdownSparesABusyServer) {
  FakeReader reader(json{{"replies", json::array({json{{"content", "slow"}, {"delaySeconds", 1.2}}})}});
  LlamaServer server;
  LlamaServer::Timing timing = quick();
  timing.idleShutdown = 0.3;
  timing.idleCheckPeriod = 0.1;
  server.setTiming(timing);
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  int pid = reader.pid();

  std::string reply;
  std::jthread request([&] { reply = server.chat(std::nullopt, "busy", 10, 0, 120); });
  ASSERT_TRUE(eventually([&] { return reader.hasRequest(1); }));
  std::this_thread::sleep_for(700ms);  // well past the idle limit, request still in flight
  EXPECT_TRUE(server.isRunning());
  request.join();
  EXPECT_EQ(reply, "slow");

  // Idle from the end of the request on: stopped and reaped.
  auto end = Clock::now();
  EXPECT_TRUE(eventually([&] { return !server.isRunning(); }, 3));
  EXPECT_GE(secondsSince(end), 0.3);
  EXPECT_TRUE(eventually([&] { return !alive(pid); }, 3));
  EXPECT_FALSE(server.baseURL());
}

TEST(LlamaServer, StopAndStopNow) {
  FakeReader reader(json{{"ignoreSigterm", true}});
  LlamaServer server;
  server.setTiming(quick());
  server.stop();  // no process: nothing happens
  server.stopNow();

  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  int pid = reader.pid();
  auto start = Clock::now();
  server.stop();
  EXPECT_LT(secondsSince(start), 0.1);  // returns at once
  EXPECT_FALSE(server.isRunning());
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(alive(pid));  // ignored the terminate request
  EXPECT_TRUE(eventually([&] { return !alive(pid); }, 3));
  EXPECT_LT(secondsSince(start), 3);

  fs::remove(reader.record("fake-argv.json"));
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  pid = reader.pid();
  start = Clock::now();
  server.stopNow();
  EXPECT_LT(secondsSince(start), 1);
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));  // killed and reaped
  EXPECT_FALSE(server.isRunning());
}

TEST(LlamaServer, KillOrphansSparesOurOwnServerAndForeignPaths) {
  FakeReader reader;
  EXPECT_EQ(LlamaServer::killOrphans(std::nullopt), 0);
  EXPECT_EQ(LlamaServer::killOrphans(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server"), 0);
  EXPECT_EQ(LlamaServer::killOrphans(reader.root() + "/runtime/../elsewhere/llama-server"), 0);

  // A left-over server: detached from us, as after a crash of an earlier run.
  testing::TempDir leftDir;
  testing::writeFile(leftDir.file("model.gguf"), json{{"detach", true}}.dump());
  std::vector<std::string> args = {reader.serverPath(), "-m", leftDir.file("model.gguf"),
                                   "--port", "0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t launcher = 0;
  ASSERT_EQ(::posix_spawn(&launcher, args[0].c_str(), nullptr, nullptr, argv.data(), environ), 0);
  ::waitpid(launcher, nullptr, 0);  // the launcher exits; its detached copy serves on
  std::string record;
  ASSERT_TRUE(eventually([&] { return !(record = testing::readFile(leftDir.file("fake-argv.json"))).empty(); }));
  int leftOver = json::parse(record)["pid"].get<int>();
  ASSERT_TRUE(alive(leftOver));

  // Our own server, started just now, is a child of this process.
  LlamaServer server;
  server.setTiming(quick());
  ASSERT_TRUE(server.ensureStarted(reader.settings()));
  int ours = reader.pid();

  // A server of the same program at another path is not the configured one.
  EXPECT_EQ(LlamaServer::killOrphans(reader.root() + "/runtime/other-server"), 0);
  EXPECT_EQ(LlamaServer::killOrphans(reader.serverPath()), 1);
  EXPECT_TRUE(eventually([&] { return !alive(leftOver); }));
  EXPECT_TRUE(alive(ours));
  EXPECT_TRUE(server.isRunning());
  EXPECT_EQ(server.chat(std::nullopt, "still there", 10, 0, 120), "fake reply");
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value, 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(LlamaServer, EachStartHasAFreshKeyAndNoneOfTheCallersSettings) {
  ScopedEnv staleKey("LLAMA_API_KEY", "stale");
  ScopedEnv context("LLAMA_ARG_CTX_SIZE", "128");
  ScopedEnv threads("LLAMA_ARG_THREADS", "3");
  FakeReader reader;
  LlamaServer server;
  server.setTiming(quick());
  std::vector<std::string> keys;
  for (int start = 1; start <= 2; ++start) {
    ASSERT_TRUE(server.ensureStarted(reader.settings())) << server.lastError().value_or("");
    json env = reader.argv()["env"];
    ASSERT_EQ(env.size(), 1u) << env.dump();
    const std::string key = env.value("LLAMA_API_KEY", "");
    EXPECT_EQ(key.size(), 64u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
    keys.push_back(key);
    // The stand-in, as the real server, answers only requests with the key.
    EXPECT_EQ(server.chat(std::nullopt, "hello", 10, 0, 120), "fake reply");
    const std::string chat = *server.baseURL() + "/v1/chat/completions";
    EXPECT_EQ(testing::httpStatus(chat, R"({"messages":[]})"), 401);
    EXPECT_EQ(testing::httpStatus(chat, R"({"messages":[]})", "Authorization: Bearer stale"), 401);
    EXPECT_EQ(testing::httpStatus(*server.baseURL() + "/health"), 200);
    server.stopNow();
    fs::remove(reader.record("fake-argv.json"));
  }
  EXPECT_NE(keys[0], keys[1]);
}

TEST(LlamaServer, TheServerEndsWithTheProgramThatStartedIt) {
  FakeReader reader;
  testing::HeldServer held = testing::holdServer(reader.settings(), {}, 30);
  ASSERT_GT(held.server, 0) << held.output;
  ASSERT_TRUE(alive(held.server));
  EXPECT_TRUE(testing::killHolderAndItsServerEnds(held));
}

TEST(LlamaServer, AServerOutlivesTheThreadThatStartedIt) {
  FakeReader reader;
  LlamaServer server;
  server.setTiming(quick());
  bool started = false;
  std::thread([&] { started = server.ensureStarted(reader.settings()); }).join();
  ASSERT_TRUE(started) << server.lastError().value_or("");
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(server.isRunning());
  EXPECT_EQ(server.chat(std::nullopt, "still there", 10, 0, 120), "fake reply");
}

TEST(LlamaServer, OutputIsKeptBoundedToItsLastCharacters) {
  std::string output;
  for (int i = 0; i < 7000; ++i) output += (i % 7 == 0) ? "\u00fc" : std::string(1, static_cast<char>('a' + i % 26));
  FakeReader reader(json{{"output", output}, {"neverReady", true}, {"exitAfterSeconds", 0.3}});
  LlamaServer server;
  server.setTiming(quick());
  EXPECT_FALSE(server.ensureStarted(reader.settings()));
  EXPECT_EQ(server.recentLog(), lastCodePoints(output, 4000));
}

}  // namespace
}  // namespace quorvel
