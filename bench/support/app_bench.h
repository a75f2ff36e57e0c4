#pragma once
// What the application benchmarks share: panels and a desktop that answer
// without dialogs, a page reader with a fixed text, the generated archive of
// typed letters, the GUI thread's longest stall and the peak memory.
#include <QElapsedTimer>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/seams.h"
#include "core/models.h"
#include "core/ocr.h"

namespace quorvel::bench {

// Answers every save panel with the next queued path, every open panel with
// the next queued list (cancel when none) and every question with confirmAnswer.
struct BenchPanels : app::Panels {
  std::deque<std::string> saves;
  std::deque<std::vector<std::string>> opens;
  bool confirmAnswer = true;
  std::vector<std::string> open(const OpenRequest&) override;
  std::optional<std::string> save(const std::string&, const std::string&) override;
  using app::Panels::confirm;
  bool confirm(const std::string&, const std::string&, const std::string&,
               const std::string&) override {
    return confirmAnswer;
  }
};

struct NoDesktop : app::Desktop {
  void openFile(const std::string&) override {}
  void reveal(const std::string&) override {}
  void openFolder(const std::string&) override {}
  void openUrl(const std::string&) override {}
  void quit() override {}
};

// Reads every page as the same text (nothing when the text is empty).
struct FixedReader : OcrEngine {
  explicit FixedReader(std::string text = "Dear Anna, the harvest in Hannover was good in 1923.")
      : text_(std::move(text)) {}
  std::string name() const override { return "tesseract"; }
  bool isAvailable() const override { return true; }
  OcrResult recognize(const std::string&) override;

 private:
  std::string text_;
};

// The i-th scan of a generated archive: its own path, name, size and digest,
// the kinds in turn, read, every 50th a favourite.
ArchiveItem benchItem(int i);

// A catalog of `count` typed letters of about 1,400 characters, each tagged
// with one of four people and dated, in the data folder `root`.
void buildArchive(const std::filesystem::path& root, int count);

// The archive kept in the system's temporary folder as "<name>-<count>",
// built by `build` the first time (true in *built then), made the data folder.
std::filesystem::path cachedArchive(
    const std::string& name, int count,
    const std::function<void(const std::filesystem::path&, int)>& build = buildArchive,
    bool* built = nullptr);

// The process's peak resident memory in MB.
long peakMb();

// The worst lateness of a 5 ms timer while the body's events are processed.
class StallMeter {
 public:
  StallMeter();
  void start();
  double stop();

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  double worst_ = 0;
};

// Processes events for the time, or until done() holds (false when the time ran out).
void spin(int ms);
bool spinUntil(const std::function<bool()>& done, int ms);

}  // namespace quorvel::bench
