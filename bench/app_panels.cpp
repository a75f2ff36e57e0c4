// Responsiveness of the panels on a large archive: the time to open the
// keepsake sheet on every item (its candidate list), to open the settings
// window, and the GUI thread's longest stall (the worst lateness of a 5 ms
// timer) while a book of 300 entries is written.
//
//   build/bench/bench_app_panels [items]      (default 50000)
//
// The archive is the one of bench_app_model, built once in the system's
// temporary folder and kept ("quorvel-bench-app-<items>").
#include <sys/resource.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <random>
#include <thread>

#include "app/app_model.h"
#include "app/keepsake_view.h"
#include "app/settings_view.h"
#include "core/image_tools.h"
#include "core/paths.h"
#include "bench/support/app_bench.h"

using namespace quorvel;
namespace fs = std::filesystem;

using namespace quorvel::bench;

namespace {

// Processes events until the window has painted once.
void settle(QWidget& window) {
  window.repaint();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The load of the machine while the figures were taken.
void printLoad() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) {
    std::printf("machine load: %.1f %.1f %.1f on %u processors\n", load[0], load[1], load[2],
                std::thread::hardware_concurrency());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 50000;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ImageTools::ensureStarted();
  QApplication application(argc, argv);

  const fs::path root = cachedArchive("quorvel-bench-app", count);
  printLoad();

  BenchPanels panels;
  NoDesktop desktop;
  app::AppModel model(app::AppModel::Options{&panels, &desktop, std::make_shared<FixedReader>(), {}});
  bool reloaded = false;
  QObject::connect(&model, &app::AppModel::reloaded, [&] { reloaded = true; });
  spinUntil([&] { return reloaded; }, 60000);
  std::printf("items listed: %zu\n", model.items().size());

  // Opening the keepsake sheet: made, shown and painted, five times.
  std::vector<double> sheetMs;
  for (int i = 0; i < 5; ++i) {
    QElapsedTimer t;
    t.start();
    app::KeepsakeView sheet(model);
    sheet.show();
    settle(sheet);
    sheetMs.push_back(t.nsecsElapsed() / 1e6);
    sheet.done(0);
  }
  std::printf("keepsake sheet opening on %zu items: median %.1f ms, worst %.1f ms (goal < 300)\n",
              model.items().size(), median(sheetMs), *std::max_element(sheetMs.begin(), sheetMs.end()));

  // Opening the settings window, each time on a different tab.
  std::vector<double> settingsMs;
  for (int i = 0; i < 8; ++i) {
    model.setSettingsTab(i % 4);
    QElapsedTimer t;
    t.start();
    app::SettingsView settings(model);
    settings.show();
    settle(settings);
    settingsMs.push_back(t.nsecsElapsed() / 1e6);
  }
  std::printf("settings window opening: median %.1f ms, worst %.1f ms (goal < 200)\n",
              median(settingsMs), *std::max_element(settingsMs.begin(), settingsMs.end()));
  spinUntil([&] { return !model.reloadPending(); }, 60000);
  spin(500);

  // A book of 300 entries: the first 300 candidates.
  const fs::path out = fs::temp_directory_path() / "quorvel-bench-panels-out";
  fs::create_directories(out);
  {
    app::KeepsakeView sheet(model);
    sheet.show();
    settle(sheet);
    auto* none = sheet.findChild<QPushButton*>("allNoneButton");
    none->click();  // every candidate is chosen at first: "None" clears them
    QAbstractItemModel* list = sheet.findChild<QListView*>("candidateList")->model();
    for (int row = 0; row < 300 && row < list->rowCount(); ++row) {
      list->setData(list->index(row, 0), Qt::Checked, Qt::CheckStateRole);
    }
    panels.saves.push_back((out / "book.pdf").string());
    StallMeter meter;
    meter.start();
    QElapsedTimer t;
    t.start();
    sheet.make();
    spinUntil([&] { return !sheet.working(); }, 600000);
    const double seconds = t.elapsed() / 1000.0;
    const double stall = meter.stop();
    std::printf("book of %zu scans: %.1f s; worst GUI stall %.1f ms (goal < 50)%s%s\n",
                static_cast<std::size_t>(300), seconds, stall, sheet.error() ? ": " : "",
                sheet.error() ? sheet.error()->c_str() : "");
    if (model.notice()) std::printf("  %s\n", model.notice()->c_str());
  }
  fs::remove_all(out);
  std::printf("peak memory: %ld MB\n", peakMb());
  printLoad();
  return 0;
}
