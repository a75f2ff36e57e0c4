#include "bench/support/app_bench.h"

#include <sys/resource.h>

#include <QCoreApplication>
#include <cstdio>
#include <random>

#include "core/catalog.h"
#include "core/paths.h"

namespace quorvel::bench {

namespace fs = std::filesystem;

std::vector<std::string> BenchPanels::open(const OpenRequest&) {
  if (opens.empty()) return {};
  auto answer = opens.front();
  opens.pop_front();
  return answer;
}

std::optional<std::string> BenchPanels::save(const std::string&, const std::string&) {
  if (saves.empty()) return std::nullopt;
  auto answer = saves.front();
  saves.pop_front();
  return answer;
}

OcrResult FixedReader::recognize(const std::string&) {
  OcrResult result;
  if (text_.empty()) return result;
  result.lines = {text_};
  result.engine = "tesseract";
  return result;
}

namespace {
const char* kWords[] = {"letter", "harvest", "Chicago", "Hannover", "steamer", "wedding",
                        "brother", "sister", "church", "school", "winter", "garden",
                        "Müller", "O'Brien", "Schmidt", "Weber", "mother", "father"};
}  // namespace

ArchiveItem benchItem(int i) {
  ArchiveItem item;
  item.path = "/archive/box" + std::to_string(i / 500) + "/scan_" + std::to_string(i) + ".jpg";
  item.fileName = "scan_" + std::to_string(i) + ".jpg";
  item.kind = static_cast<ItemKind>(i % 7);
  item.fileSize = 2'000'000 + i;
  item.sha256 = std::to_string(i);
  item.ocrStatus = OcrStatus::done;
  item.favorite = i % 50 == 0;
  return item;
}

void buildArchive(const fs::path& root, int count) {
  QuorvelPaths::useRoot(root.string());
  Catalog catalog(QuorvelPaths::catalogFile());
  std::mt19937 rng(7);
  std::vector<std::int64_t> people;
  for (const char* name : {"Anna Weber", "Carl Müller", "Mary O'Brien", "Johann Schmidt"})
    people.push_back(catalog.ensurePerson(name));
  for (int i = 0; i < count; ++i) {
    const ArchiveItem item = benchItem(i);
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

fs::path cachedArchive(const std::string& name, int count,
                       const std::function<void(const fs::path&, int)>& build, bool* built) {
  const fs::path root = fs::temp_directory_path() / (name + "-" + std::to_string(count));
  const bool missing = !fs::exists(root / "catalog.db");
  if (missing) {
    QElapsedTimer t;
    t.start();
    build(root, count);
    std::printf("built %d items in %.1f s\n", count, t.elapsed() / 1000.0);
  }
  if (built) *built = missing;
  QuorvelPaths::useRoot(root.string());
  fs::remove_all(root / "restore-pending");
  return root;
}

long peakMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

StallMeter::StallMeter() {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    const double gap = clock_.nsecsElapsed() / 1e6;
    clock_.restart();
    worst_ = std::max(worst_, gap - 5.0);
  });
}

void StallMeter::start() {
  worst_ = 0;
  clock_.start();
  timer_.start(5);
}

double StallMeter::stop() {
  timer_.stop();
  return worst_;
}

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

}  // namespace quorvel::bench
