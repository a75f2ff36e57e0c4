// Intake speed: adds a folder of generated typed pages to an empty temporary
// archive through the real ImportPipeline with the Tesseract reader, then does
// the same work with the bare tools in shell loops of the same parallelism
// (sha256sum and vipsthumbnail for adding, tesseract for reading).
//
//   build/bench/bench_intake [--pages N] [--keep]      (default: 200 pages)
//
// Pages are letter size at 300 dpi, every tenth at 600 dpi, saved as JPEG.
// The archive run happens in a child process so that its peak memory is its
// own. The bare tools need the packages libvips-tools and tesseract-ocr.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vips/vips8>

#include "core/catalog.h"
#include "core/image_tools.h"
#include "core/import_pipeline.h"
#include "core/ocr.h"
#include "core/paths.h"

extern char** environ;

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

const char* kWords[] = {
    "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was", "with", "be",
    "by", "on", "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have",
    "an", "had", "they", "you", "were", "their", "one", "all", "we", "can", "her", "has", "there",
    "been", "if", "more", "when", "will", "would", "who", "so", "no", "family", "letter", "mother",
    "father", "brother", "sister", "farm", "church", "winter", "summer", "harvest", "village",
    "station", "wedding", "garden", "house", "school", "market", "river", "travel", "morning",
    "evening", "weather", "money", "health", "write", "soon", "dear", "love", "regards", "news"};

std::string pageText(int page) {
  std::mt19937 rng(static_cast<unsigned>(page) * 7919u + 17u);
  std::string text = "Page " + std::to_string(page) + "\n\n";
  for (int paragraph = 0; paragraph < 6; ++paragraph) {
    const int words = 40 + static_cast<int>(rng() % 30);
    bool sentenceStart = true;
    for (int w = 0; w < words; ++w) {
      std::string word = kWords[rng() % std::size(kWords)];
      if (sentenceStart) word[0] = static_cast<char>(std::toupper(word[0]));
      sentenceStart = rng() % 9 == 0;
      text += word + (sentenceStart ? ". " : " ");
    }
    text += "\n\n";
  }
  return text;
}

// A letter-size page of typed text at the given resolution, as an sRGB JPEG.
bool writePage(const std::string& path, int page, int dpi) {
  const int width = static_cast<int>(8.5 * dpi);
  const int height = 11 * dpi;
  const int margin = dpi;
  vips::VImage ink = vips::VImage::text(pageText(page).c_str(),
                                        vips::VImage::option()
                                            ->set("font", "Liberation Serif 12")
                                            ->set("width", width - 2 * margin)
                                            ->set("dpi", dpi));
  vips::VImage paper = (255 - ink)
                           .embed(margin, margin, width, height,
                                  vips::VImage::option()->set("extend", VIPS_EXTEND_WHITE))
                           .cast(VIPS_FORMAT_UCHAR)
                           .colourspace(VIPS_INTERPRETATION_sRGB);
  return ImageTools::saveJpeg(paper, path, 0.85);
}

// Runs a program and waits; its exit status, its output in `out`, its peak
// memory in kilobytes in `maxRssKb`.
int spawnAndWait(const std::vector<std::string>& argv, std::string& out, long& maxRssKb) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return -1;
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);  // drained before waiting: a child blocked on a full pipe never exits
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  maxRssKb = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double field(const std::string& out, const std::string& key) {
  const auto at = out.find(key + " ");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + key.size() + 1);
}

// The archive run, in the child: prints its figures as "key value" lines.
int runPipeline(const std::string& folder, const std::string& dataRoot) {
  QuorvelPaths::useRoot(dataRoot);
  Catalog catalog(QuorvelPaths::catalogFile());
  auto ocr = std::make_shared<TesseractOcrEngine>();
  ImportPipeline pipeline(catalog, ocr);
  pipeline.startOcrWorker();

  const auto start = Clock::now();
  const auto ids = pipeline.add({folder}, false);
  const double addSeconds = secondsSince(start);
  pipeline.waitUntilIdle(3600);
  const double readSeconds = secondsSince(start);

  int withThumb = 0;
  int read = 0;
  for (const auto& item : catalog.allItems()) {
    withThumb += item.thumbnailPath && fs::exists(*item.thumbnailPath) ? 1 : 0;
    read += item.ocrStatus == OcrStatus::done ? 1 : 0;
  }
  std::printf("items %zu\nthumbnails %d\nread %d\nadd_seconds %.3f\nread_seconds %.3f\n", ids.size(),
              withThumb, read, addSeconds, readSeconds);
  std::printf("add_width %d\nread_width %d\n", ImportPipeline::addWindowWidth(), pipeline.ocrParallelism());
  return 0;
}

double timeShell(const std::string& script) {
  const auto start = Clock::now();
  std::string out;
  long rss = 0;
  const int rc = spawnAndWait({"/bin/sh", "-c", script}, out, rss);
  if (rc != 0) std::fprintf(stderr, "bench_intake: shell loop exited with %d\n", rc);
  return secondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  ensureSingleThreadedRecognition(argv);
  if (argc == 4 && std::strcmp(argv[1], "--pipeline") == 0) return runPipeline(argv[2], argv[3]);

  int pages = 200;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pages") == 0 && i + 1 < argc) pages = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--keep") == 0) keep = true;
  }
  if (!ImageTools::ensureStarted()) {
    std::fprintf(stderr, "bench_intake: libvips did not start\n");
    return 1;
  }

  std::string base = (fs::temp_directory_path() / "quorvel-bench-intake-XXXXXX").string();
  if (!::mkdtemp(base.data())) return 1;
  const std::string scans = base + "/scans";
  fs::create_directories(scans);
  fs::create_directories(base + "/bare-thumbs");

  std::printf("Generating %d pages in %s ...\n", pages, scans.c_str());
  std::fflush(stdout);
  const auto genStart = Clock::now();
  std::atomic<int> next{1};
  std::atomic<bool> failed{false};
  std::vector<std::thread> makers;
  for (int t = 0; t < 4; ++t) {
    makers.emplace_back([&] {
      for (int page; (page = next++) <= pages;) {
        char name[32];
        std::snprintf(name, sizeof name, "/page-%03d.jpg", page);
        if (!writePage(scans + name, page, page % 10 == 0 ? 600 : 300)) failed = true;
      }
    });
  }
  for (auto& t : makers) t.join();
  if (failed) {
    std::fprintf(stderr, "bench_intake: a page could not be written\n");
    return 1;
  }
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::directory_iterator(scans)) bytes += e.file_size();
  std::printf("  %.1f s, %.1f MB\n", secondsSince(genStart), bytes / 1e6);

  // The archive, in a child process of its own.
  std::string out;
  long rssKb = 0;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  if (spawnAndWait({self, "--pipeline", scans, base + "/data"}, out, rssKb) != 0) {
    std::fprintf(stderr, "bench_intake: the archive run failed\n%s", out.c_str());
    return 1;
  }
  const int addWidth = static_cast<int>(field(out, "add_width"));
  const int readWidth = static_cast<int>(field(out, "read_width"));
  const double addSeconds = field(out, "add_seconds");
  const double readSeconds = field(out, "read_seconds");

  // The bare tools on the same files with the same parallelism.
  const std::string list = "find '" + scans + "' -name '*.jpg' -print0 | xargs -0 -n 1 ";
  const double bareAdd = timeShell(list + "-P " + std::to_string(addWidth) +
                                   " sh -c 'sha256sum \"$1\" >/dev/null && vipsthumbnail \"$1\" -s 512 -o \"" +
                                   base + "/bare-thumbs/%s.jpg[Q=82]\"' _");
  const double bareRead = timeShell(list + "-P " + std::to_string(readWidth) +
                                    " sh -c 'tesseract \"$1\" - >/dev/null 2>&1' _");

  std::printf("\nArchive (%d cores; adding %d at a time, reading %d at a time)\n",
              static_cast<int>(std::thread::hardware_concurrency()), addWidth, readWidth);
  std::printf("  items %d, with thumbnails %d, read %d\n", static_cast<int>(field(out, "items")),
              static_cast<int>(field(out, "thumbnails")), static_cast<int>(field(out, "read")));
  std::printf("  every item stored with its thumbnail: %8.2f s\n", addSeconds);
  std::printf("  every printed text read:              %8.2f s  (from the start; reading runs beside adding)\n",
              readSeconds);
  std::printf("  peak memory:                          %8.1f MB\n", rssKb / 1024.0);
  std::printf("Bare tools\n");
  std::printf("  sha256sum + vipsthumbnail loop:       %8.2f s\n", bareAdd);
  std::printf("  tesseract loop:                       %8.2f s\n", bareRead);
  std::printf("Ratios\n");
  std::printf("  adding  (archive / bare):             %8.2f   goal <= 1.2\n", addSeconds / bareAdd);
  std::printf("  reading (archive / bare tesseract):   %8.2f   goal <= 1.1\n", readSeconds / bareRead);

  if (!keep) fs::remove_all(base);
  else std::printf("kept %s\n", base.c_str());
  return 0;
}
