// Handwriting pipeline speed: reads generated letter-size pages of 300 and
// 600 dpi through the real engine, with the stand-in model server answering
// at once, and reports the time per tile that the pipeline itself adds
// (cutting, JPEG encoding, the request, merging) and the peak memory of
// each page read.
//
//   build/bench/bench_handwriting [reads per page]     (default: 3)
//
// Everything is written to a fresh temporary data folder, removed afterwards.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>
#include <vips/vips8>

#include "core/handwriting_engine.h"
#include "core/image_tools.h"
#include "core/page_tiler.h"
#include "core/paths.h"
#include "core/tile_merger.h"

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Peak resident memory since the last reset, in MB.
double peakMb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

void resetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";  // resets VmHWM to the current size
}

const std::vector<std::string> kWords = {
    "dear", "mother", "father", "letter", "winter", "harbour", "church", "market", "evening",
    "garden", "sister", "brother", "travel", "weather", "children", "family", "summer", "house",
    "again", "write", "soon", "love", "from", "with", "the", "and", "news", "ship", "farm"};

// A scanned page of "handwriting": rows of dark word strokes on off-white
// paper with a little noise, 11 x 8.5 inches at the given dpi, as JPEG.
std::string makePage(const std::string& path, int dpi) {
  ImageTools::ensureStarted();
  const int width = 17 * dpi / 2, height = 11 * dpi;
  vips::VImage paper = vips::VImage::gaussnoise(width, height, vips::VImage::option()
                                                                   ->set("mean", 238.0)
                                                                   ->set("sigma", 3.0));
  std::mt19937 rng(dpi);
  const int lineGap = dpi / 3, stroke = dpi / 12, letter = dpi / 15;
  for (int y = dpi / 2; y + stroke < height - dpi / 2; y += lineGap) {
    for (int x = dpi / 2; x < width - dpi / 2;) {
      int w = letter * static_cast<int>(3 + rng() % 6);
      if (x + w > width - dpi / 2) break;
      paper.draw_rect({40.0}, x, y, w, stroke, vips::VImage::option()->set("fill", true));
      x += w + letter * 2;
    }
  }
  vips::VImage page = paper.cast(VIPS_FORMAT_UCHAR).bandjoin({paper, paper}).cast(VIPS_FORMAT_UCHAR);
  page = page.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  page.jpegsave(path.c_str(), vips::VImage::option()->set("Q", 90));
  return path;
}

// One answer per tile: a dozen lines of words, different for every tile.
nlohmann::json replies(int count) {
  std::mt19937 rng(7);
  nlohmann::json out = nlohmann::json::array();
  for (int t = 0; t < count; ++t) {
    std::string text;
    for (int l = 0; l < 12; ++l) {
      for (int w = 0; w < 8; ++w) text += kWords[rng() % kWords.size()] + (w < 7 ? " " : "\n");
    }
    out.push_back({{"content", text}});
  }
  return out;
}

std::string findStandIn(const char* argv0) {
  fs::path self = fs::weakly_canonical(fs::path(argv0));
  for (fs::path candidate : {self.parent_path().parent_path() / "tools" / "fake-llama-server",
                             fs::path("build/tools/fake-llama-server")})
    if (fs::exists(candidate)) return candidate.string();
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string standIn = findStandIn(argv[0]);
  if (standIn.empty()) {
    std::fprintf(stderr, "build the fake-llama-server tool first\n");
    return 1;
  }
  const fs::path root = fs::temp_directory_path() / ("quorvel-bench-" + std::to_string(::getpid()));
  QuorvelPaths::useRoot(root.string());
  const std::string server = (root / "runtime" / "llama-server").string();
  fs::copy_file(standIn, server);
  ::chmod(server.c_str(), 0755);
  const std::string model = (root / "models" / "model.gguf").string();
  writeFileAtomically((root / "models" / "mmproj.gguf").string(), "projector");
  writeFileAtomically(model, nlohmann::json{{"replies", replies(400)}}.dump());

  HandwritingSettings settings;
  settings.serverPath = server;
  settings.modelPath = model;
  settings.mmprojPath = (root / "models" / "mmproj.gguf").string();
  HandwritingEngine engine(settings);

  std::printf("%-8s %6s %6s %10s %10s %10s %10s %9s\n", "page", "tiles", "reads", "ms/page",
              "ms/tile", "cut ms", "merge ms", "peak MB");
  for (int dpi : {300, 600}) {
    const std::string page = makePage((root / ("page-" + std::to_string(dpi) + ".jpg")).string(), dpi);
    // Warm-up: starts the stand-in and fills the caches.
    engine.readPage(page);

    // The cut alone (decode, gray pixels, blank test, crops, JPEG files).
    auto cutStart = Clock::now();
    std::optional<TileCut> cut = PageTiler::cut(page, (root / "cut").string(), 1.2, 850, 200, 2000, true);
    const double cutMs = msSince(cutStart);
    fs::remove_all(root / "cut");
    const std::size_t tiles = cut ? cut->tiles.size() : 0;

    // The merge alone, on answers like the stand-in's.
    std::vector<TileText> texts;
    nlohmann::json answers = replies(static_cast<int>(tiles));
    for (std::size_t i = 0; i < tiles; ++i)
      texts.push_back({cut->tiles[i], HandwritingEngine::cleanTileAnswer(answers[i]["content"].get<std::string>())});
    auto mergeStart = Clock::now();
    MergedPage merged = TileMerger::merge(texts);
    const double mergeMs = msSince(mergeStart);

    resetPeak();
    double total = 0;
    std::size_t lines = 0;
    for (int r = 0; r < reads; ++r) {
      auto start = Clock::now();
      OcrResult result = engine.readPage(page);
      total += msSince(start);
      lines = result.lines.size();
    }
    const double perPage = total / reads;
    std::printf("%-8s %6zu %6d %10.1f %10.1f %10.1f %10.1f %9.1f\n",
                (std::to_string(dpi) + " dpi").c_str(), tiles, reads, perPage,
                tiles ? perPage / static_cast<double>(tiles) : 0.0, cutMs, mergeMs, peakMb());
    (void)merged;
    (void)lines;
  }
  engine.server().stopNow();
  std::error_code ignored;
  fs::remove_all(root, ignored);
  return 0;
}
