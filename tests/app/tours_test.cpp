// The whole program end to end: the demo archive made by the real intake and
// page reader, the program started on a virtual display in its screenshot
// mode for the library tour and for the feature tour, with the stand-in model
// server as the handwriting reader. Every picture must be written, at the
// window's size, and show something; the question must have reached the
// reader and the translation the catalog.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

class Tours : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/xvfb-run")) GTEST_SKIP() << "xvfb-run is not installed";
    ASSERT_FALSE(demoTool().empty()) << "the demo archive tool was not built";
    data_ = dir_.file("data");
    Shell::run(demoTool(), {data_, dir_.file("scans")});
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

  // Runs the program's screenshot mode on the demo archive; true when it ended by itself.
  void runTour(const std::string& out, bool features, std::optional<std::int64_t> translate) {
    std::vector<std::string> env = {"QUORVEL_DATA=" + data_, "QUORVEL_SNAPSHOT=" + out,
                                    "QT_QPA_PLATFORM=xcb", "OMP_THREAD_LIMIT=1",
                                    "ASAN_OPTIONS=detect_leaks=0"};
    if (features) env.push_back("QUORVEL_SNAPSHOT_FEATURES=");
    if (translate) env.push_back("QUORVEL_SNAPSHOT_TRANSLATE=" + std::to_string(*translate));
    std::vector<std::string> args = {"-i"};
    args.insert(args.end(), env.begin(), env.end());
    args.insert(args.end(), {"/usr/bin/timeout", "300", "/usr/bin/xvfb-run", "-a", "-s",
                             "-screen 0 1600x1200x24", std::string(QUORVEL_BUILD_DIR) + "/app/quorvel-ink"});
    Shell::run("/usr/bin/env", args);
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
  runTour(library, false, std::nullopt);
  for (const char* step : {"1-library", "2-scan", "3-search"}) expectPicture(library + "/" + step + "-w0.png", window);
  for (const char* step : {"4-settings0", "4-settings1", "4-settings2", "4-settings3", "4-settings5"}) {
    // The settings window is the second window the program made.
    expectPicture(library + "/" + step + "-w1.png", QSize(560, 520));
    EXPECT_FALSE(fs::exists(library + "/" + step + "-w0.png"));
  }

  const std::string tour = dir_.file("features");
  runTour(tour, true, german);
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
