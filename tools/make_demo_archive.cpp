// make-demo-archive <data-folder> [scans-folder]
//
// Makes a demo archive for trying the program: about thirty scans of one
// family's papers (typed letters between Hannover and Chicago, a photo and its
// back, certificates, cuttings, cards and a German letter) drawn as images
// into the scans folder (default: "demo-scans" beside the data folder), added
// to the data folder's catalog through the normal intake and read by the
// printed-text reader. A few people are tagged so the sidebar has names. Ends
// when every scan has been read; exits with status 1 when a reading failed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/catalog.h"
#include "core/image_tools.h"
#include "core/import_pipeline.h"
#include "core/ocr.h"
#include "core/paths.h"
#include "tools/demo_scans.h"

// Leak reports from fontconfig's one-time font cache, built for pango's first
// layout, are not leaks of this program. LeakSanitizer reads this at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

namespace fs = std::filesystem;

int usage() {
  std::fprintf(stderr, "usage: make-demo-archive <data-folder> [scans-folder]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  quorvel::ensureSingleThreadedRecognition(argv);
  if (argc < 2 || argc > 3 || argv[1][0] == '\0') return usage();
  if (!quorvel::ImageTools::ensureStarted()) {
    std::fprintf(stderr, "make-demo-archive: the image library did not start\n");
    return 1;
  }
  const fs::path data = fs::absolute(argv[1]);
  const fs::path scans =
      argc == 3 ? fs::absolute(argv[2]) : data.parent_path() / "demo-scans";
  try {
    fs::create_directories(scans);
    const auto& demo = quorvel::DemoScans::demoScans();
    {
      // Drawing is independent per scan: spread it over the cores.
      std::vector<std::thread> painters;
      const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
      for (unsigned t = 0; t < threads; ++t) {
        painters.emplace_back([&demo, &scans, t, threads] {
          for (size_t i = t; i < demo.size(); i += threads) {
            quorvel::DemoScans::render(i, (scans / demo[i].fileName).string());
          }
        });
      }
      for (auto& painter : painters) painter.join();
    }

    quorvel::QuorvelPaths::useRoot(data.string());
    quorvel::Catalog catalog(quorvel::QuorvelPaths::catalogFile());
    auto ocr = std::make_shared<quorvel::TesseractOcrEngine>();
    if (!ocr->isAvailable()) {
      std::fprintf(stderr, "make-demo-archive: Tesseract's English language data is missing\n");
      return 1;
    }
    quorvel::ImportPipeline pipeline(catalog, ocr);
    pipeline.setOcrParallelism(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    pipeline.startOcrWorker();
    const auto added = pipeline.add({scans.string()}, /*respectRemoved=*/false);
    pipeline.waitUntilIdle(300);
    pipeline.stopOcrWorker();

    for (const quorvel::ArchiveItem& item : catalog.allItems()) {
      const std::string name = fs::path(item.path).filename().string();
      for (const quorvel::DemoScans::DemoScan& scan : demo) {
        if (name != scan.fileName) continue;
        for (const char* person : scan.people) {
          if (const auto id = catalog.ensurePerson(person)) catalog.tagPerson(item.id, id);
        }
      }
    }
    const quorvel::CatalogStats stats = catalog.stats();
    std::printf("make-demo-archive: %lld scans in %s (%zu added now), %lld read, scans in %s\n",
                static_cast<long long>(stats.items), data.c_str(), added.size(),
                static_cast<long long>(stats.transcribed), scans.c_str());
    if (stats.pending > 0 || pipeline.lastError()) {
      std::fprintf(stderr, "make-demo-archive: not every scan was read%s%s\n",
                   pipeline.lastError() ? ": " : "", pipeline.lastError().value_or("").c_str());
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make-demo-archive: %s\n", error.what());
    return 1;
  }
  return 0;
}
