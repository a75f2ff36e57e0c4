// Responsiveness of the application model on a large archive: the time to
// construct it and apply its first reload, and the GUI thread's longest stall
// (the worst lateness of a 5 ms timer) while it reloads, while readings finish
// at 20 a second, while it exports and while it stages a restore.
//
//   build/bench/bench_app_model [items]      (default 50000)
//
// The archive is built once in the system's temporary folder and kept
// ("quorvel-bench-app-<items>"); delete it to build it again.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <random>
#include <thread>

#include "app/app_model.h"
#include "core/image_tools.h"
#include "core/paths.h"

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

// Answers every save panel with the next queued path and every open panel
// with the next queued list.
struct BenchPanels : app::Panels {
  std::deque<std::string> saves;
  std::deque<std::vector<std::string>> opens;
  std::vector<std::string> open(const OpenRequest&) override {
    if (opens.empty()) return {};
    auto answer = opens.front();
    opens.pop_front();
    return answer;
  }
  std::optional<std::string> save(const std::string&, const std::string&) override {
    if (saves.empty()) return std::nullopt;
    auto answer = saves.front();
    saves.pop_front();
    return answer;
  }
  using app::Panels::confirm;
  bool confirm(const std::string&, const std::string&, const std::string&,
               const std::string&) override {
    return true;
  }
};

struct NoDesktop : app::Desktop {
  void openFile(const std::string&) override {}
  void reveal(const std::string&) override {}
  void openFolder(const std::string&) override {}
  void openUrl(const std::string&) override {}
  void quit() override {}
};

struct FixedReader : OcrEngine {
  std::string name() const override { return "tesseract"; }
  bool isAvailable() const override { return true; }
  OcrResult recognize(const std::string&) override {
    OcrResult result;
    result.lines = {"Dear Anna, the harvest in Hannover was good in 1923."};
    result.engine = "tesseract";
    return result;
  }
};

const char* kWords[] = {"letter", "harvest", "Chicago", "Hannover", "steamer", "wedding",
                        "brother", "sister", "church", "school", "winter", "garden",
                        "Müller", "O'Brien", "Schmidt", "Weber", "mother", "father"};

void buildArchive(const fs::path& root, int count) {
  QuorvelPaths::useRoot(root.string());
  Catalog catalog(QuorvelPaths::catalogFile());
  std::mt19937 rng(7);
  std::vector<std::int64_t> people;
  for (const char* name : {"Anna Weber", "Carl Müller", "Mary O'Brien", "Johann Schmidt"})
    people.push_back(catalog.ensurePerson(name));
  for (int i = 0; i < count; ++i) {
    ArchiveItem item;
    item.path = "/archive/box" + std::to_string(i / 500) + "/scan_" + std::to_string(i) + ".jpg";
    item.fileName = "scan_" + std::to_string(i) + ".jpg";
    item.kind = static_cast<ItemKind>(i % 7);
    item.fileSize = 2'000'000 + i;
    item.sha256 = std::to_string(i);
    item.ocrStatus = OcrStatus::done;
    item.favorite = i % 50 == 0;
    const std::int64_t id = catalog.addItem(item);
    std::string text;
    while (text.size() < 1400) {
      text += kWords[rng() % std::size(kWords)];
      text += rng() % 9 == 0 ? ".\n" : " ";
    }
    catalog.saveRecognizedText(id, text, "tesseract", 0.9);
    catalog.tagPerson(id, people[rng() % people.size()]);
    catalog.addDate(id, std::to_string(1880 + rng() % 90), "text", false);
    if (i % 5000 == 0) std::fprintf(stderr, "built %d\n", i);
  }
}

long peakMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

// The worst lateness of a 5 ms timer while the body's events are processed.
class StallMeter {
 public:
  StallMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const double gap = clock_.nsecsElapsed() / 1e6;
      clock_.restart();
      worst_ = std::max(worst_, gap - 5.0);
    });
  }
  void start() {
    worst_ = 0;
    clock_.start();
    timer_.start(5);
  }
  double stop() {
    timer_.stop();
    return worst_;
  }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  double worst_ = 0;
};

void spin(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool spinUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 50000;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ImageTools::ensureStarted();
  QApplication application(argc, argv);

  const fs::path root = fs::temp_directory_path() / ("quorvel-bench-app-" + std::to_string(count));
  if (!fs::exists(root / "catalog.db")) {
    QElapsedTimer t;
    t.start();
    buildArchive(root, count);
    std::printf("built %d items in %.1f s\n", count, t.elapsed() / 1000.0);
  }
  QuorvelPaths::useRoot(root.string());
  fs::remove_all(root / "restore-pending");

  BenchPanels panels;
  NoDesktop desktop;
  StallMeter meter;

  QElapsedTimer startup;
  startup.start();
  app::AppModel model(app::AppModel::Options{&panels, &desktop, std::make_shared<FixedReader>(), {}});
  const double constructMs = startup.nsecsElapsed() / 1e6;
  bool reloaded = false;
  QObject::connect(&model, &app::AppModel::reloaded, [&] { reloaded = true; });
  meter.start();
  spinUntil([&] { return reloaded; }, 60000);
  const double firstReloadMs = startup.nsecsElapsed() / 1e6;
  const double startupStall = meter.stop();
  std::printf("items listed: %zu; people %zu; years %zu; stats.items %d\n", model.items().size(),
              model.people().size(), model.years().size(), model.stats().items);
  std::printf("peak memory after the first reload: %ld MB\n", peakMb());
  {
    auto time = [](const char* what, const std::function<void()>& body) {
      QElapsedTimer t;
      t.start();
      body();
      std::printf("  %s: %.1f ms\n", what, t.nsecsElapsed() / 1e6);
    };
    Catalog& c = model.catalog();
    time("listItems(limit 100000)", [&] { c.listItems(std::nullopt, std::nullopt, std::nullopt, 100000); });
    time("firstDates", [&] { c.firstDates(); });
    time("listPeople", [&] { c.listPeople(); });
    time("years", [&] { c.years(); });
    time("stats", [&] { c.stats(); });
    time("search harvest 500", [&] { c.search("harvest", 500); });
  }
  std::printf("construct: %.0f ms (on the GUI thread, before the window shows)\n", constructMs);
  std::printf("first reload applied: %.0f ms after start (goal < 1000); worst stall meanwhile %.1f ms\n",
              firstReloadMs, startupStall);

  // Reloads: searches and filters back to back.
  meter.start();
  const char* searches[] = {"harvest", "Chicago 1923", "Müller", "O'Brien", "winter garden", "a"};
  for (const char* text : searches) {
    reloaded = false;
    model.setSearchText(text);
    spinUntil([&] { return reloaded; }, 30000);
  }
  model.setSearchText("");
  for (auto filter : {app::LibraryFilter::favorites(), app::LibraryFilter::kind(ItemKind::letter),
                      app::LibraryFilter::year(1923), app::LibraryFilter::needsReview(),
                      app::LibraryFilter::all()}) {
    reloaded = false;
    model.setFilter(filter);
    spinUntil([&] { return reloaded; }, 30000);
  }
  std::printf("reloads (6 searches, 5 filters): worst stall %.1f ms (goal < 50)\n", meter.stop());

  // Readings finishing at 20 a second for 5 s.
  {
    std::atomic<bool> stop{false};
    std::vector<std::int64_t> ids;
    for (std::size_t i = 0; i < 100 && i < model.items().size(); ++i) ids.push_back(model.items()[i].id);
    meter.start();
    std::thread reader([&] {
      for (std::int64_t id : ids) {
        if (stop) break;
        model.pipeline().recognizeOne(id, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    spin(5200);
    stop = true;
    reader.join();
    spin(600);
    std::printf("readings at 20/s for 5 s: worst stall %.1f ms (goal < 50), reloads %d; peak so far %ld MB\n", meter.stop(),
                model.reloadsStarted(), peakMb());
  }

  // Exports.
  const fs::path out = fs::temp_directory_path() / "quorvel-bench-app-out";
  fs::create_directories(out);
  meter.start();
  panels.saves.push_back((out / "tree.ged").string());
  model.setNotice(std::nullopt);
  model.exportGedcom();
  spinUntil([&] { return model.notice().has_value(); }, 120000);
  std::printf("GEDCOM export: worst stall %.1f ms (goal < 50): %s; peak so far %ld MB\n", meter.stop(), model.notice()->c_str(), peakMb());

  // A backup (worker), then staging it as a restore.
  meter.start();
  panels.saves.push_back((out / "archive.quorvel-backup").string());
  model.backUpNow();
  spinUntil([&] { return model.notice() && model.notice()->rfind("Backing up", 0) != 0; }, 300000);
  std::printf("backup: worst stall %.1f ms: %s; peak so far %ld MB\n", meter.stop(), model.notice()->c_str(), peakMb());
  meter.start();
  panels.opens.push_back({(out / "archive.quorvel-backup").string()});
  model.setNotice(std::nullopt);
  model.restoreFromBackup();
  spinUntil([&] { return model.notice().has_value(); }, 300000);
  std::printf("staging a restore: worst stall %.1f ms (goal < 50): %s\n", meter.stop(), model.notice()->c_str());
  model.cancelRestore();
  fs::remove_all(out);

  std::printf("peak memory: %ld MB (goal < 400)\n", peakMb());
  return 0;
}
