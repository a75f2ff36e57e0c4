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
#include "bench/support/app_bench.h"

using namespace quorvel;
namespace fs = std::filesystem;

using namespace quorvel::bench;

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 50000;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ImageTools::ensureStarted();
  QApplication application(argc, argv);

  const fs::path root = cachedArchive("quorvel-bench-app", count);

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
