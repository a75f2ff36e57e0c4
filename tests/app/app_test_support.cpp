#include "app_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <vips/vips8>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "core/handwriting_engine.h"
#include "core/image_tools.h"
#include "core/paths.h"

namespace quorvel::testing {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

void pump(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
}

std::vector<std::string> FakePanels::open(const OpenRequest& request) {
  openRequests.push_back(request);
  if (openAnswers.empty()) return {};
  auto answer = openAnswers.front();
  openAnswers.pop_front();
  return answer;
}

std::optional<std::string> FakePanels::save(const std::string& title, const std::string& name) {
  saveRequests.emplace_back(title, name);
  if (saveAnswers.empty()) return std::nullopt;
  auto answer = saveAnswers.front();
  saveAnswers.pop_front();
  return answer;
}

bool FakePanels::confirm(const std::string& title, const std::string& message,
                         const std::string& button, const std::string& cancel) {
  confirmRequests.push_back(title);
  confirmMessages.push_back(message);
  confirmButtons.emplace_back(button, cancel);
  if (confirmAnswers.empty()) return false;
  bool answer = confirmAnswers.front();
  confirmAnswers.pop_front();
  return answer;
}

OcrResult FixedOcrEngine::recognize(const std::string&) {
  OcrResult result;
  result.lines = {text_};
  result.engine = name();
  result.averageConfidence = 0.9;
  return result;
}

void writeScan(const std::string& path, int width, int height) {
  vips::VImage image = vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + 220;
  image.cast(VIPS_FORMAT_UCHAR).write_to_file(path.c_str());
}

app::AppModel& ModelFixture::make() {
  model = std::make_unique<app::AppModel>(app::AppModel::Options{&panels, &desktop, ocr, {}});
  const int before = model->reloadsStarted();
  (void)before;
  waitUntil([&] { return !model->reloadPending(); });
  reloadAndWait();
  return *model;
}

void ModelFixture::reloadAndWait() {
  model->reload();
  waitUntil([&] { return model->newestReloadApplied(); });
}

void installStandInReader(const std::string& scenario) {
  QuorvelPaths::ensureCreated();
  const std::string folder = QuorvelPaths::dataRoot() + "/stand-in";
  std::filesystem::create_directories(folder);
  writeFile(folder + "/model.gguf", scenario);
  writeFile(folder + "/mmproj.gguf", "p");
  HandwritingSettings settings;
  settings.serverPath = std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server";
  settings.modelPath = folder + "/model.gguf";
  settings.mmprojPath = folder + "/mmproj.gguf";
  settings.save();
}

LocalReader::LocalReader(const std::vector<std::string>& replies, bool stallProjector) {
  namespace fs = std::filesystem;
  network_ = DeliveryNetwork::settings();
  DeliveryNetwork::Settings trusted = network_;
  trusted.extraCaBundle = secure_.certificateFile();
  DeliveryNetwork::setSettings(trusted);

  nlohmann::json scenario = nlohmann::json::array();
  for (const std::string& reply : replies) scenario.push_back({{"content", reply}});
  const std::string model = nlohmann::json{{"replies", scenario}}.dump();
  const std::string mmproj(2000, 'p');
  TempDir dir;
  const std::string bin = dir.file("llama-test/bin");
  fs::create_directories(bin);
  fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", bin + "/llama-server");
  Shell::run("/usr/bin/tar", {"-czf", dir.file("rt.tar.gz"), "-C", dir.path(), "llama-test"});
  const std::string runtime = readFile(dir.file("rt.tar.gz"));
  const auto shaOf = [&](const std::string& contents) {
    writeFile(dir.file("digest"), contents);
    return ImageTools::sha256(dir.file("digest"));
  };

  ModelManifest manifest;
  manifest.revision = "test-1";
  manifest.handwriting.id = "test-pack";
  manifest.handwriting.files = {
      {"model", "model.gguf", secure_.url("/model.gguf"), std::nullopt,
       static_cast<std::int64_t>(model.size()), shaOf(model)},
      {"mmproj", "mmproj.gguf", secure_.url("/mmproj.gguf"), std::nullopt,
       static_cast<std::int64_t>(mmproj.size()), shaOf(mmproj)},
  };
  manifest.runtimes = {{"llama-test", ModelManifest::thisPlatform(), "cpu", secure_.url("/rt.tar.gz"),
                        std::nullopt, static_cast<std::int64_t>(runtime.size()), shaOf(runtime)}};
  secure_.script("/model.gguf", {Reply::file(model)});
  if (stallProjector) {
    secure_.script("/mmproj.gguf", {Reply::stall(mmproj, 500), Reply::file(mmproj)});
  } else {
    secure_.script("/mmproj.gguf", {Reply::file(mmproj)});
  }
  secure_.script("/rt.tar.gz", {Reply::file(runtime)});
  plain_.script("/manifest.json", {Reply::file(manifest.toJson())});
  ::setenv("QUORVEL_MANIFEST_URL", plain_.url("/manifest.json").c_str(), 1);
}

LocalReader::~LocalReader() {
  ::unsetenv("QUORVEL_MANIFEST_URL");
  DeliveryNetwork::setSettings(network_);
}

}  // namespace quorvel::testing
