// The whole program end to end: the demo archive made by the real intake and
// page reader, the program started on a virtual display in its screenshot
// mode for the library tour and for the feature tour, with the stand-in model
// server as the handwriting reader. Every picture must be written, at the
// window's size, and show something; the question must have reached the
// reader and the translation the catalog.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "app_test_support.h"
#include "core/catalog.h"
#include "core/handwriting_engine.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "core/translator.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;

std::string demoTool() {
  for (const char* name : {"make-demo-archive", "make_demo_archive"}) {
    const std::string path = std::string(QUORVEL_TOOLS_DIR) + "/" + name;
    if (fs::exists(path)) return path;
  }
  return "";
}

// A picture is "not blank" when it holds a fair spread of colours.
int distinctColours(const QImage& image) {
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 7) {
    for (int x = 0; x < image.width(); x += 7) {
      colours.insert(image.pixel(x, y));
      if (colours.size() > 200) return 200;
    }
  }
  return static_cast<int>(colours.size());
}

// A virtual display for the tours. Xvfb writes its display number to the
// -displayfd descriptor once it accepts clients, so there is no guessing of a
// free number and no wait on a signal that may come before the wait starts.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const std::string& log) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> args = {"/usr/bin/Xvfb", "-displayfd", fd, "-screen", "0",
                                     "1600x1200x24", "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (pid_ && ::poll(&ready, 1, 30000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (!pid_) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // ":<number>", or empty when the display did not start.
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = 0;
  std::string name_;
};

class Tours : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(demoTool().empty()) << "the demo archive tool was not built";
    data_ = dir_.file("data");
    Shell::run("/usr/bin/timeout", {"-k", "10", "240", demoTool(), data_, dir_.file("scans")});
    QuorvelPaths::useRoot(data_);
    // The stand-in as the installed reader: the question's answer, then translations.
    const std::string server = QuorvelPaths::runtimeDir() + "/llama-test/llama-server";
    fs::create_directories(fs::path(server).parent_path());
    fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", server,
                  fs::copy_options::overwrite_existing);
    ::chmod(server.c_str(), 0755);
    const std::string model = QuorvelPaths::modelDir() + "/demo/model.gguf";
    writeFile(model, nlohmann::json{{"replies",
                                     {{{"content", "Anna stayed behind in Hannover with her mother [1]."}},
                                      {{"content", "Dear Carl, we are all well. The harvest was good."}}}}}
                         .dump());
    writeFile(QuorvelPaths::modelDir() + "/demo/mmproj.gguf", "projector");
    HandwritingSettings settings;
    settings.serverPath = server;
    settings.modelPath = model;
    settings.mmprojPath = QuorvelPaths::modelDir() + "/demo/mmproj.gguf";
    settings.save();
  }

  // Runs the program's screenshot mode on the demo archive on its own
  // display, for at most four minutes (a tour takes under two); a run that
  // fails or overruns fails the test with the end of its output, which names
  // the step it reached.
  void runTour(const std::string& out, bool features, std::optional<std::int64_t> translate) {
    SCOPED_TRACE(out);
    VirtualDisplay display(dir_.file("xvfb.log"));
    ASSERT_FALSE(display.name().empty()) << "Xvfb did not start: " << readFile(dir_.file("xvfb.log"));
    std::vector<std::string> env = {"QUORVEL_DATA=" + data_, "QUORVEL_SNAPSHOT=" + out,
                                    "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(),
                                    "OMP_THREAD_LIMIT=1", "ASAN_OPTIONS=detect_leaks=0"};
    if (features) env.push_back("QUORVEL_SNAPSHOT_FEATURES=");
    if (translate) env.push_back("QUORVEL_SNAPSHOT_TRANSLATE=" + std::to_string(*translate));
    std::vector<std::string> args = {"-i"};
    args.insert(args.end(), env.begin(), env.end());
    args.insert(args.end(), {"/usr/bin/timeout", "-k", "10", "240",
                             std::string(QUORVEL_BUILD_DIR) + "/app/quorvel-ink"});
    try {
      Shell::run("/usr/bin/env", args);
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  }

  void expectPicture(const std::string& file, std::optional<QSize> size = std::nullopt) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(fs::exists(file));
    const QImage image(QString::fromStdString(file));
    ASSERT_FALSE(image.isNull());
    if (size) {
      EXPECT_EQ(image.size(), *size);
    }
    EXPECT_GT(distinctColours(image), 20);
  }

  TempDir dir_;
  std::string data_;
};

TEST_F(Tours, LibraryAndFeatureToursPictureEveryStep) {
  // The German letter of the demo is the one translated.
  std::optional<std::int64_t> german;
  {
    Catalog catalog(QuorvelPaths::catalogFile());
    ASSERT_GE(catalog.stats().items, 20);
    EXPECT_FALSE(catalog.search("Chicago", 50).empty());
    for (const ArchiveItem& item : catalog.allItems()) {
      auto detected = Translator::detect(Translator::source(catalog.getTranscription(item.id)));
      if (detected && detected->code == "de") german = item.id;
    }
  }
  ASSERT_TRUE(german.has_value());

  const QSize window(1240, 800);
  const std::string library = dir_.file("library");
  ASSERT_NO_FATAL_FAILURE(runTour(library, false, std::nullopt));
  for (const char* step : {"1-library", "2-scan", "3-search"}) expectPicture(library + "/" + step + "-w0.png", window);
  for (const char* step : {"4-settings0", "4-settings1", "4-settings2", "4-settings3", "4-settings5"}) {
    // The settings window is the second window the program made.
    expectPicture(library + "/" + step + "-w1.png", QSize(560, 520));
    EXPECT_FALSE(fs::exists(library + "/" + step + "-w0.png"));
  }

  const std::string tour = dir_.file("features");
  ASSERT_NO_FATAL_FAILURE(runTour(tour, true, german));
  for (const char* step : {"5-ask", "6-source", "7-offer", "8-translated", "9-book"}) {
    expectPicture(tour + "/" + step + "-w0.png", window);
  }
  QuorvelPaths::useRoot(data_);
  Catalog catalog(QuorvelPaths::catalogFile());
  const auto translation = catalog.getTranslation(*german);
  ASSERT_TRUE(translation.has_value());
  EXPECT_EQ(translation->languageName, "German");
  // The question went to the reader with the numbered excerpts.
  const std::string asked = readFile(QuorvelPaths::modelDir() + "/demo/fake-request-1.json");
  EXPECT_NE(asked.find("Who stayed behind in Hannover?"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::testing
