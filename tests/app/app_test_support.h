#pragma once
// Fixtures of the application tests: panels and a desktop that record what
// was asked of them, a page reader with fixed answers, and waiting for the
// GUI thread's queued work.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_model.h"
#include "app/seams.h"
#include "core/model_delivery.h"
#include "core/ocr.h"
#include "http_test_server.h"
#include "test_support.h"

namespace quorvel::testing {

// Processes events until the condition holds or the time is up; true when it held.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);
// Processes events for the given time.
void pump(int ms);

// Panels that answer from queues filled by the test and record every request.
class FakePanels : public app::Panels {
 public:
  std::deque<std::vector<std::string>> openAnswers;      // empty front = cancel
  std::deque<std::optional<std::string>> saveAnswers;    // none = cancel
  std::deque<bool> confirmAnswers;
  std::vector<OpenRequest> openRequests;
  std::vector<std::pair<std::string, std::string>> saveRequests;  // (title, name)
  std::vector<std::string> confirmRequests;  // titles
  std::vector<std::string> confirmMessages;
  std::vector<std::pair<std::string, std::string>> confirmButtons;  // (button, cancel)

  std::vector<std::string> open(const OpenRequest& request) override;
  std::optional<std::string> save(const std::string& title, const std::string& name) override;
  using app::Panels::confirm;
  bool confirm(const std::string& title, const std::string& message, const std::string& button,
               const std::string& cancel) override;
};

class FakeDesktop : public app::Desktop {
 public:
  std::vector<std::string> opened, revealed, folders, urls;
  int quits = 0;
  void openFile(const std::string& path) override { opened.push_back(path); }
  void reveal(const std::string& path) override { revealed.push_back(path); }
  void openFolder(const std::string& path) override { folders.push_back(path); }
  void openUrl(const std::string& url) override { urls.push_back(url); }
  void quit() override { ++quits; }
};

// A page reader that reads every page as the same text.
class FixedOcrEngine : public OcrEngine {
 public:
  explicit FixedOcrEngine(std::string text = "Dear Anna, greetings from Chicago.")
      : text_(std::move(text)) {}
  std::string name() const override { return "tesseract"; }
  bool isAvailable() const override { return true; }
  OcrResult recognize(const std::string& path) override;

 private:
  std::string text_;
};

// Writes a small PNG scan (width x height, light grey) to the path; scans of
// one size have the same bytes, so give each scan of a test its own size.
void writeScan(const std::string& path, int width = 60, int height = 80);

// A data folder of its own and an application model on it, with fake panels,
// desktop and page reader. make() builds the model (a test may prepare the
// data folder first) and waits for its first reload.
class ModelFixture {
 public:
  ScopedDataRoot root;
  FakePanels panels;
  FakeDesktop desktop;
  std::shared_ptr<OcrEngine> ocr = std::make_shared<FixedOcrEngine>();
  std::unique_ptr<app::AppModel> model;

  app::AppModel& make();
  // Calls reload() and waits until its result (not an earlier one) is applied.
  void reloadAndWait();
};

// The stand-in server installed as the reader of the current data folder, with
// `scenario` (its JSON) as the model file.
void installStandInReader(const std::string& scenario);

// The handwriting reader published on local servers while this lives: a
// manifest over plain HTTP (QUORVEL_MANIFEST_URL names it) with the two model
// files and a runtime holding the stand-in server as bin/llama-server, served
// over HTTPS with a test certificate the downloads trust. The stand-in answers
// requests with `replies` in turn (its scenario is the model file). With
// stallProjector, the projector's first request stops after 500 bytes, so a
// download can be paused part-way.
class LocalReader {
 public:
  explicit LocalReader(const std::vector<std::string>& replies, bool stallProjector = false);
  ~LocalReader();
  LocalReader(const LocalReader&) = delete;
  LocalReader& operator=(const LocalReader&) = delete;
  // The server of the model files and the runtime, with its record of requests.
  HttpTestServer& secure() { return secure_; }

 private:
  HttpTestServer secure_{HttpTestServer::Scheme::https};
  HttpTestServer plain_;
  DeliveryNetwork::Settings network_;
};

}  // namespace quorvel::testing
