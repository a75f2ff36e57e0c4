#include "app_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <vips/vips8>

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
  bool done = false;
  auto connection = QObject::connect(model.get(), &app::AppModel::reloaded, [&] { done = true; });
  model->reload();
  waitUntil([&] { return done; });
  QObject::disconnect(connection);
}

}  // namespace quorvel::testing
