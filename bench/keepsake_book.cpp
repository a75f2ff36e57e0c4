// Keepsake book speed: a book of 300 letters whose scans are 600-dpi US
// Letter pages (5100 x 6600 pixels), with typed texts, dates and people.
// Prints the seconds make() takes and the peak resident memory of the process.
//
//   bench_keepsake_book [entries] [folder]
//
// The scans are 20 distinct JPEG files, each reached through 15 hard links so
// that every entry has its own path; every page is still decoded on its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/catalog.h"
#include "core/image_tools.h"
#include "core/keepsake_book.h"

using namespace quorvel;

namespace {

constexpr int kWidth = 5100, kHeight = 6600, kDistinctScans = 20;

// A grey page with noise and rows of dark strokes, so that JPEG has some work.
void writeScan(const std::string& path, int seed) {
  vips::VImage paper = vips::VImage::gaussnoise(kWidth, kHeight, vips::VImage::option()
                                                                     ->set("mean", 228.0)
                                                                     ->set("sigma", 3.0)
                                                                     ->set("seed", seed));
  vips::VImage xy = vips::VImage::xyz(kWidth, kHeight);
  vips::VImage strokes = ((xy[1] % 90) < 28) & ((xy[0] % (11 + seed % 5)) < 6) & (xy[0] > 400) & (xy[0] < 4700);
  vips::VImage page = strokes.ifthenelse(paper - 150, paper).cast(VIPS_FORMAT_UCHAR);
  page = vips::VImage::bandjoin(std::vector<vips::VImage>{page, page, page})
             .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  page.jpegsave(path.c_str(), vips::VImage::option()->set("Q", 85));
}

double peakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// The scans and the catalog of the archive.
void prepare(int entries, const std::string& folder) {
  if (!ImageTools::ensureStarted()) _exit(1);
  std::printf("writing %d distinct %dx%d scans...\n", kDistinctScans, kWidth, kHeight);
  std::fflush(stdout);
  for (int i = 0; i < kDistinctScans; ++i) writeScan(folder + "/scans/page" + std::to_string(i) + ".jpg", i + 1);
  Catalog catalog(folder + "/catalog.db");
  const char* names[] = {"Mary Ann Smith", "Joseph Ouellet", "Ann Lee", "Bo Lee", "Carl Adams"};
  std::string paragraph;
  for (int w = 0; w < 260; ++w) paragraph += (w % 17 == 16 ? "written, " : "word ");
  for (int i = 0; i < entries; ++i) {
    const std::string path = folder + "/scans/letter" + std::to_string(i) + ".jpg";
    std::filesystem::create_hard_link(folder + "/scans/page" + std::to_string(i % kDistinctScans) + ".jpg", path);
    ArchiveItem item;
    item.path = path;
    item.fileName = "letter" + std::to_string(i) + ".jpg";
    item.title = "Letter number " + std::to_string(i + 1);
    item.kind = i % 10 == 0 ? ItemKind::photo : ItemKind::letter;
    item.sha256 = "bench-" + std::to_string(i);
    item.width = kWidth;
    item.height = kHeight;
    const auto id = catalog.addItem(item);
    catalog.saveCorrectedText(id, "Dear family,\n\n" + paragraph + "\n\n" + (i % 3 == 0 ? paragraph + paragraph : ""));
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d", 1900 + i % 60, 1 + i % 12);
    catalog.addDate(id, date, "bench", true);
    catalog.tagPerson(id, catalog.ensurePerson(names[i % 5]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 300;
  const std::string folder = argc > 2 ? argv[2] : "/tmp/quorvel-bench-keepsake";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "/scans");

  // The archive is made in a child process, so that the peak memory measured
  // here is the book's alone.
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    prepare(entries, folder);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;

  Catalog catalog(folder + "/catalog.db");
  std::vector<std::int64_t> ids;
  for (const auto& item : catalog.allItems()) ids.insert(ids.begin(), item.id);  // oldest first
  const double scanMegabytes = static_cast<double>(std::filesystem::file_size(folder + "/scans/page0.jpg")) / 1e6;

  std::printf("making a book of %zu entries (scan files of %.1f MB)...\n", ids.size(), scanMegabytes);
  const double before = peakMegabytes();
  const auto start = std::chrono::steady_clock::now();
  const auto summary = KeepsakeBook::make(catalog, ids, KeepsakeOptions{}, folder + "/book.pdf");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("pages %d, entries %d, file %.1f MB\n", summary.pages, summary.entries,
              static_cast<double>(summary.bytes) / 1e6);
  std::printf("seconds %.1f, peak memory %.0f MB (%.0f MB before make)\n", seconds, peakMegabytes(), before);
  return 0;
}
