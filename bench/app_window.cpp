// Responsiveness of the main window on a large archive: the time from start
// to the first painted grid, the frame times while the grid is scrolled from
// top to bottom with thumbnails, and the peak memory.
//
//   build/bench/bench_app_window [items]      (default 50000)
//
// The archive (with 2,000 distinct thumbnails shared round-robin by the
// items) is built once in the system's temporary folder and kept
// ("quorvel-bench-window-<items>"); delete it to build it again.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "app/app_model.h"
#include "app/library_view.h"
#include "app/main_window.h"
#include "core/catalog.h"
#include "core/image_tools.h"
#include "core/paths.h"
#include "bench/support/app_bench.h"

using namespace quorvel;
namespace fs = std::filesystem;

using namespace quorvel::bench;

namespace {

constexpr int kThumbnails = 2000;

// Cancels every panel and declines every question.
struct NoPanels : BenchPanels {
  NoPanels() { confirmAnswer = false; }
};

// Reads nothing on any page.
struct NoReader : FixedReader {
  NoReader() : FixedReader("") {}
};

void buildWindowArchive(const fs::path& root, int count) {
  QuorvelPaths::useRoot(root.string());
  QuorvelPaths::ensureCreated();
  const fs::path thumbs = root / "thumbs";
  std::vector<std::string> paths;
  for (int i = 0; i < kThumbnails; ++i) {
    QImage image(i % 3 == 0 ? QSize(512, 384) : QSize(384, 512), QImage::Format_RGB32);
    image.fill(QColor::fromHsv((i * 37) % 360, 60, 230));
    QPainter painter(&image);
    painter.setPen(Qt::black);
    QFont font = painter.font();
    font.setPixelSize(60);
    painter.setFont(font);
    painter.drawText(image.rect(), Qt::AlignCenter, QString::number(i));
    painter.end();
    const std::string path = (thumbs / ("bench-" + std::to_string(i) + ".jpg")).string();
    image.save(QString::fromStdString(path), "JPEG", 80);
    paths.push_back(path);
  }
  Catalog catalog(QuorvelPaths::catalogFile());
  std::mt19937 rng(11);
  std::vector<std::int64_t> people;
  for (const char* name : {"Anna Weber", "Carl Müller", "Mary O'Brien", "Johann Schmidt"})
    people.push_back(catalog.ensurePerson(name));
  for (int i = 0; i < count; ++i) {
    ArchiveItem item = benchItem(i);
    if (i % 40 == 0) item.ocrStatus = OcrStatus::pending;
    item.thumbnailPath = paths[static_cast<std::size_t>(i % kThumbnails)];
    const std::int64_t id = catalog.addItem(item);
    if (i % 3 == 0) catalog.tagPerson(id, people[rng() % people.size()]);
    if (i % 2 == 0) catalog.addDate(id, std::to_string(1880 + rng() % 90), "text", false);
    if (i % 10000 == 0) std::fprintf(stderr, "built %d\n", i);
  }
}

// Notes each paint of a widget that shows at least one row.
class PaintWatch : public QObject {
 public:
  PaintWatch(QListView* view) : view_(view) { view->viewport()->installEventFilter(this); }
  bool painted = false;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && view_->model() && view_->model()->rowCount() > 0) painted = true;
    return false;
  }

 private:
  QListView* view_;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer startup;
  startup.start();
  const int count = argc > 1 ? std::atoi(argv[1]) : 50000;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ImageTools::ensureStarted();
  QApplication application(argc, argv);

  bool built = false;
  const fs::path root = cachedArchive("quorvel-bench-window", count, buildWindowArchive, &built);
  if (built) startup.restart();

  NoPanels panels;
  NoDesktop desktop;
  app::AppModel model(app::AppModel::Options{&panels, &desktop, std::make_shared<NoReader>(), {}});
  app::setUpIcons();
  app::MainWindow window(model);
  QListView* grid = window.library()->grid();
  PaintWatch watch(grid);
  window.show();
  while (!watch.painted && startup.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  const double firstPaintMs = startup.nsecsElapsed() / 1e6;
  std::printf("items %zu; first painted grid %.0f ms after start (goal < 1500); peak so far %ld MB\n",
              model.items().size(), firstPaintMs, peakMb());

  // Scroll from top to bottom: a slow stretch first (40 px a frame, thumbnails
  // arriving as they are decoded), then the rest in large steps. Each frame
  // gets the rest of its 16 ms budget for queued work, as a display would.
  QScrollBar* bar = grid->verticalScrollBar();
  std::vector<double> frames, scrollMs, paintMs;
  auto frame = [&](int value) {
    QElapsedTimer t;
    t.start();
    bar->setValue(value);
    const double scrolled = t.nsecsElapsed() / 1e6;
    grid->viewport()->repaint();
    const double painted = t.nsecsElapsed() / 1e6;
    QCoreApplication::processEvents();
    const double ms = t.nsecsElapsed() / 1e6;
    scrollMs.push_back(scrolled);
    paintMs.push_back(painted - scrolled);
    frames.push_back(ms);
    while (t.elapsed() < 16) QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
  };
  const int maximum = bar->maximum();
  int value = 0;
  for (int i = 0; i < 600 && value < maximum; ++i) frame(value += 40);
  const int step = std::max(40, (maximum - value) / 2400);
  while (value < maximum) frame(value = std::min(maximum, value + step));
  const double worst = *std::max_element(frames.begin(), frames.end());
  const auto over = [&](double limit) { return std::count_if(frames.begin(), frames.end(), [&](double f) { return f > limit; }); };
  std::printf("scrolled %d px in %zu frames (%d px, then %d px a frame)\n", maximum, frames.size(), 40, step);
  std::printf("frame time: median %.1f ms, p95 %.1f ms (goal < 16), worst %.1f ms (goal < 50); over 16 ms: %ld, "
              "over 50 ms: %ld\n",
              percentile(frames, 0.5), percentile(frames, 0.95), worst, static_cast<long>(over(16)),
              static_cast<long>(over(50)));
  std::printf("of which: scrolling median %.1f ms, p95 %.1f ms; painting median %.1f ms, p95 %.1f ms\n",
              percentile(scrollMs, 0.5), percentile(scrollMs, 0.95), percentile(paintMs, 0.5),
              percentile(paintMs, 0.95));
  std::printf("peak memory: %ld MB (goal < 500)\n", peakMb());
  return 0;
}
