// Printed-text reading, accuracy and speed, beside the plain `tesseract`
// command on the same files in the same run. The pages are the generated
// evaluation set (tools/ocr_evaluation.h): letters, newspaper cuttings,
// certificates, recipe cards, postcards, telegrams, German and French
// letters, typed letters whose spaces line up, forms, a large 400-dpi scan,
// faded and grey pages and sheets on a scanner's bed, in jpg, png, tif,
// webp, heic and bmp, with and without density.
//
//   build/bench/bench_ocr [--small] [--pages NAME,...] [--repeat N] [--settings]
//                         [--keep] [--no-command]
//
// Prints the wall time of the whole set with 1 and with 4 readings at once,
// engine and command side by side, each run with the load average before
// it; then per page the character error rate (CER), word recall,
// accented-word recall and seconds of TesseractOcrEngine and of the
// command; then the mean CER and the seconds per kind and in total.
//
// --small       only the few small pages of the quick test
// --pages       only the pages of these names (e.g. typed-1,large-1)
// --repeat      timed runs of each (default 3); the ratios' median is the result
// --settings    also compare page segmentation, thresholding, filtering,
//               resolution and language models read through the library
// --keep        keep the generated pages (their folder is printed)
// --no-command  leave out the command (when tesseract-ocr is not installed)
//
// The command is `tesseract FILE stdout --psm 3 -l LANG` with the page's
// language (eng, deu, fra; eng when that language's data is not installed).
// It cannot open HEIC files; it reads a lossless PNG of the same pixels
// (without a density field, as HEIC has none) made before the timing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <tesseract/baseapi.h>

#include "core/image_tools.h"
#include "core/ocr.h"
#include "tools/ocr_evaluation.h"

using namespace quorvel;
namespace fs = std::filesystem;
using OcrEvaluation::Page;
using OcrEvaluation::Score;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// The plain command as a person runs it: automatic page segmentation, the
// page's language.
std::string readWithCommand(const std::string& path, const std::string& language) {
  const std::string command =
      "tesseract " + shellQuoted(path) + " stdout --psm 3 -l " + language + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// The command's list of installed languages.
std::vector<std::string> commandLanguages() {
  std::vector<std::string> out;
  FILE* pipe = ::popen("tesseract --list-langs 2>/dev/null", "r");
  if (!pipe) return out;
  char line[256];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string name(line, std::strcspn(line, "\r\n"));
    if (!name.empty() && name.find(' ') == std::string::npos) out.push_back(name);
  }
  ::pclose(pipe);
  return out;
}

// The load averages over 1, 5 and 15 minutes.
std::string loadAverage() {
  double one = 0, five = 0, fifteen = 0;
  FILE* f = std::fopen("/proc/loadavg", "r");
  if (!f) return "?";
  const bool read = std::fscanf(f, "%lf %lf %lf", &one, &five, &fifteen) == 3;
  std::fclose(f);
  if (!read) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
  return text;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Reading {
  std::string text;
  double seconds = 0;
};

// Reads every page with `parallel` readings at once; returns the wall time.
double readAll(const std::vector<Page>& pages, int parallel,
               const std::function<std::string(const Page&)>& read, std::vector<Reading>* out) {
  std::vector<Reading> readings(pages.size());
  std::atomic<std::size_t> next{0};
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < parallel; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < pages.size();) {
        const auto began = Clock::now();
        readings[i].text = read(pages[i]);
        readings[i].seconds = secondsSince(began);
      }
    });
  }
  for (auto& t : workers) t.join();
  const double seconds = secondsSince(start);
  if (out) *out = std::move(readings);
  return seconds;
}

// ---------------------------------------------------------------- settings

struct Setting {
  std::string label;
  std::string languages = "eng";
  int psm = tesseract::PSM_AUTO;
  const char* thresholding = "0";
  bool median = false;
  // A stated density from 100 to 1200 dpi, else: Words, judged from the word
  // heights (the engine's rule); Tesseract, its own estimate; or the old
  // rule, Guess11, any stated value up to a 24-inch sheet, else 11 inches.
  enum class Resolution { Words, Tesseract, Guess11 } resolution = Resolution::Words;
};

// Recognisers by language text, loaded before the timing starts (the
// engine keeps its own loaded too).
struct Recognisers {
  std::mutex mutex;
  std::map<std::string, std::vector<std::unique_ptr<tesseract::TessBaseAPI>>> idle;

  // Loads `count` recognisers for the languages, `count` at once; the seconds it took.
  double load(const std::string& languages, int count) {
    const auto start = Clock::now();
    std::vector<std::thread> loaders;
    for (int i = 0; i < count; ++i) {
      loaders.emplace_back([&] {
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        if (api->Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY) != 0) return;
        api->SetVariable("debug_file", "/dev/null");
        std::lock_guard lock(mutex);
        idle[languages].push_back(std::move(api));
      });
    }
    for (auto& t : loaders) t.join();
    return secondsSince(start);
  }
  std::unique_ptr<tesseract::TessBaseAPI> take(const std::string& languages) {
    std::lock_guard lock(mutex);
    auto& free = idle[languages];
    if (free.empty()) return nullptr;
    auto api = std::move(free.back());
    free.pop_back();
    return api;
  }
  void give(const std::string& languages, std::unique_ptr<tesseract::TessBaseAPI> api) {
    api->Clear();
    std::lock_guard lock(mutex);
    idle[languages].push_back(std::move(api));
  }
};

Recognisers recognisers;

// The engine's preparation with the setting's choices, read with the library.
std::string readWithSetting(const std::string& path, const Setting& s) {
  const auto image = ImageTools::load(path, 5000);
  if (!image) return "";
  vips::VImage grey = *image;
  if (vips_image_hasalpha(grey.get_image())) {
    grey = grey.flatten(vips::VImage::option()->set("background", std::vector<double>{255}));
  }
  grey = grey.colourspace(VIPS_INTERPRETATION_B_W).cast(VIPS_FORMAT_UCHAR);
  if (grey.bands() != 1) grey = grey.extract_band(0);
  if (s.median) grey = grey.median(3);
  std::size_t size = 0;
  std::unique_ptr<unsigned char, decltype(&g_free)> pixels(
      static_cast<unsigned char*>(grey.write_to_memory(&size)), &g_free);
  auto api = recognisers.take(s.languages);
  if (!api) return "";
  api->SetVariable("thresholding_method", s.thresholding);
  api->SetPageSegMode(static_cast<tesseract::PageSegMode>(s.psm));
  api->SetImage(pixels.get(), grey.width(), grey.height(), 1, grey.width());
  const double dpi = image->xres() * 25.4;
  const double longEdge = std::max(grey.width(), grey.height());
  using Resolution = Setting::Resolution;
  if (s.resolution == Resolution::Guess11) {
    api->SetSourceResolution(dpi >= 70 && longEdge / dpi <= 24
                                 ? static_cast<int>(std::lround(dpi))
                                 : static_cast<int>(std::lround(std::clamp(longEdge / 11, 70.0, 2400.0))));
  } else if (dpi >= 100 && dpi <= 1200 && longEdge / dpi <= 24) {
    api->SetSourceResolution(static_cast<int>(std::lround(dpi)));
  } else if (s.resolution == Resolution::Words) {
    const std::optional<int> judged = TesseractOcrEngine::resolutionFromWords(*api);
    api->SetImage(pixels.get(), grey.width(), grey.height(), 1, grey.width());
    api->SetSourceResolution(judged.value_or(0));
  } else {
    api->SetSourceResolution(0);  // Tesseract estimates it from the size of the text
  }
  char* text = api->GetUTF8Text();
  std::string read = text ? text : "";
  delete[] text;
  recognisers.give(s.languages, std::move(api));
  return read;
}

void compareSettings(const std::vector<Page>& pages) {
  using Resolution = Setting::Resolution;
  const std::vector<Setting> settings = {
      {"one block, Sauvola, median, 11-inch guess (old)", "eng", tesseract::PSM_SINGLE_BLOCK,
       "2", true, Resolution::Guess11},
      {"auto pages, Sauvola, median", "eng", tesseract::PSM_AUTO, "2", true},
      {"auto pages, Sauvola", "eng", tesseract::PSM_AUTO, "2", false},
      {"auto pages, Otsu", "eng", tesseract::PSM_AUTO, "0", false},
      {"auto pages, Otsu, median", "eng", tesseract::PSM_AUTO, "0", true},
      {"auto pages, Otsu, median, 11-inch guess", "eng", tesseract::PSM_AUTO, "0", true,
       Resolution::Guess11},
      {"auto pages, Otsu, median, Tesseract's estimate", "eng", tesseract::PSM_AUTO, "0", true,
       Resolution::Tesseract},
      {"auto pages, Otsu, median, Latin", "Latin", tesseract::PSM_AUTO, "0", true},
      {"auto pages, Otsu, median, Latin, Tesseract's estimate", "Latin", tesseract::PSM_AUTO, "0",
       true, Resolution::Tesseract},
      {"auto pages, Otsu, median, eng+Latin", "eng+Latin", tesseract::PSM_AUTO, "0", true},
      {"auto pages, Otsu, median, Latin+eng", "Latin+eng", tesseract::PSM_AUTO, "0", true},
      {"auto pages, Otsu, median, eng+deu+fra", "eng+deu+fra", tesseract::PSM_AUTO, "0", true},
      {"auto pages, Otsu, median, deu+fra+eng", "deu+fra+eng", tesseract::PSM_AUTO, "0", true},
  };

  std::printf("\nSettings read through the library, 4 at once (mean CER over pages; accented "
              "recall on German and French; wall time):\n");
  for (const Setting& s : settings) {
    if (recognisers.idle[s.languages].empty()) {
      std::printf("  (loading 4 recognisers for %s: %.1f s)\n", s.languages.c_str(),
                  recognisers.load(s.languages, 4));
    }
    std::vector<Reading> readings;
    const double seconds =
        readAll(pages, 4, [&](const Page& p) { return readWithSetting(p.path, s); }, &readings);
    double cerSum = 0;
    Score accented;
    std::map<std::string, std::pair<double, int>> kinds;
    for (std::size_t i = 0; i < pages.size(); ++i) {
      const Score score = OcrEvaluation::score(pages[i].truth, readings[i].text);
      cerSum += score.cer();
      kinds[pages[i].kind].first += score.cer();
      ++kinds[pages[i].kind].second;
      if (pages[i].kind == "german" || pages[i].kind == "french") accented += score;
    }
    std::printf("  %-48s CER %.4f  accented %.3f  %6.1f s  |", s.label.c_str(),
                cerSum / static_cast<double>(pages.size()), accented.accentedRecall(), seconds);
    for (const auto& [kind, sum] : kinds) {
      std::printf(" %s %.3f", kind.c_str(), sum.first / sum.second);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ensureSingleThreadedRecognition(argv);
  bool small = false;
  bool settings = false;
  bool keep = false;
  bool command = true;
  int repeat = 3;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--small") == 0) {
      small = true;
    } else if (std::strcmp(argv[i], "--pages") == 0 && i + 1 < argc) {
      for (std::string_view rest = argv[++i]; !rest.empty();) {
        const auto comma = rest.find(',');
        only.emplace_back(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      }
    } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--settings") == 0) {
      settings = true;
    } else if (std::strcmp(argv[i], "--keep") == 0) {
      keep = true;
    } else if (std::strcmp(argv[i], "--no-command") == 0) {
      command = false;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--small] [--pages NAME,...] [--repeat N] [--settings] [--keep] "
                   "[--no-command]\n",
                   argv[0]);
      return 2;
    }
  }
  if (!ImageTools::ensureStarted()) {
    std::fprintf(stderr, "libvips did not start\n");
    return 1;
  }
  TesseractOcrEngine engine;
  if (!engine.isAvailable()) {
    std::fprintf(stderr, "Tesseract's English language data is not installed\n");
    return 1;
  }
  if (command && std::system("tesseract --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "the tesseract command is missing (tesseract-ocr); use --no-command\n");
    return 1;
  }

  char folderTemplate[] = "/tmp/quorvel-bench-ocr-XXXXXX";
  const char* folder = ::mkdtemp(folderTemplate);
  if (!folder) return 1;
  const std::vector<Page> pages = only.empty() ? OcrEvaluation::writePages(folder, small)
                                               : OcrEvaluation::writeNamedPages(folder, only);
  // The command's file and language per page: the same file, except a
  // lossless PNG for HEIC; the page's language when its data is installed.
  const std::vector<std::string> installed =
      command ? commandLanguages() : std::vector<std::string>{};
  std::map<std::string, std::pair<std::string, std::string>> commandInput;
  std::string fellBack;
  for (const Page& page : pages) {
    std::string language = TesseractOcrEngine::tesseractLanguages({page.language});
    if (std::find(installed.begin(), installed.end(), language) == installed.end()) {
      if (fellBack.find(language) == std::string::npos) fellBack += " " + language;
      language = "eng";
    }
    commandInput[page.path] = {page.path, language};
    if (page.format == "heic") {
      const auto image = ImageTools::load(page.path, 100000);
      const std::string png = page.path + ".png";
      if (image) {
        image->pngsave(png.c_str());
        commandInput[page.path].first = png;
      }
    }
  }
  std::printf("%zu pages in %s; OMP_THREAD_LIMIT=%s, %u processor threads, load %s\n",
              pages.size(), folder,
              std::getenv("OMP_THREAD_LIMIT") ? std::getenv("OMP_THREAD_LIMIT") : "(unset)",
              std::thread::hardware_concurrency(), loadAverage().c_str());
  if (command && !fellBack.empty()) {
    std::printf("the command reads in English where these are not installed:%s\n",
                fellBack.c_str());
  }
  std::fflush(stdout);

  const auto readEngine = [&](const Page& p) {
    const OcrResult result = engine.recognize(p.path);
    if (result.error) std::printf("  %s: %s\n", p.name.c_str(), result.error->c_str());
    return result.text();
  };
  const auto readCommand = [&](const Page& p) {
    const auto& [file, language] = commandInput[p.path];
    return readWithCommand(file, language);
  };

  readAll(pages, 4, readEngine, nullptr);  // loads four recognisers into the pool
  // Timed runs, engine and command one after the other (which goes first
  // alternates), so that both see about the same load.
  std::vector<Reading> engineReadings, commandReadings(pages.size());
  std::vector<double> ratio1, ratio4;
  std::printf("\nwall time of the set   load before        engine   command  engine/command\n");
  for (int run = 0; run < repeat; ++run) {
    for (const int parallel : {1, 4}) {
      const std::string load = loadAverage();
      std::vector<Reading> e, c;
      double engineSeconds = 0, commandSeconds = 0;
      const auto timeEngine = [&] { engineSeconds = readAll(pages, parallel, readEngine, &e); };
      const auto timeCommand = [&] {
        if (command) commandSeconds = readAll(pages, parallel, readCommand, &c);
      };
      if (run % 2 == 0) {
        timeEngine();
        timeCommand();
      } else {
        timeCommand();
        timeEngine();
      }
      if (run == 0 && parallel == 1) {
        engineReadings = std::move(e);
        if (command) commandReadings = std::move(c);
      }
      const double ratio = commandSeconds > 0 ? engineSeconds / commandSeconds : 0.0;
      (parallel == 1 ? ratio1 : ratio4).push_back(ratio);
      std::printf("  run %d, %d at once   %-17s %7.2f s %7.2f s  %.2f\n", run + 1, parallel,
                  load.c_str(), engineSeconds, commandSeconds, ratio);
      std::fflush(stdout);
    }
  }

  std::printf("\n%-14s %-11s %-4s %-7s %3s | %-6s %-5s %-5s %-5s | %-6s %-5s %-5s %-5s\n", "page",
              "kind", "fmt", "density", "dpi", "engine", "words", "accnt", "s", "cmd", "words",
              "accnt", "s");
  struct Kind {
    double engineCer = 0, commandCer = 0, engineSeconds = 0, commandSeconds = 0;
    int pages = 0;
  };
  std::map<std::string, Kind> kinds;
  Kind all, readByCommand;
  Score engineAll, commandAll;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const Page& p = pages[i];
    const Score e = OcrEvaluation::score(p.truth, engineReadings[i].text);
    const Score c = OcrEvaluation::score(p.truth, commandReadings[i].text);
    auto accent = [](const Score& s) {
      static char buffer[16];
      if (s.accentedWords == 0) return "-";
      std::snprintf(buffer, sizeof buffer, "%.3f", s.accentedRecall());
      return static_cast<const char*>(buffer);
    };
    std::printf("%-14s %-11s %-4s %-7s %3d | %6.4f %5.3f %5s %5.2f |", p.name.c_str(),
                p.kind.c_str(), p.format.c_str(), p.density.c_str(), p.dpi, e.cer(),
                e.wordRecall(), accent(e), engineReadings[i].seconds);
    std::printf(" %6.4f %5.3f %5s %5.2f\n", c.cer(), c.wordRecall(), accent(c),
                commandReadings[i].seconds);
    for (Kind* k : {&kinds[p.kind], &all}) {
      k->engineCer += e.cer();
      k->commandCer += c.cer();
      k->engineSeconds += engineReadings[i].seconds;
      k->commandSeconds += commandReadings[i].seconds;
      ++k->pages;
    }
    engineAll += e;
    commandAll += c;
    if (c.cer() < 0.05) {  // the command read the page: its failures cost it time
      readByCommand.engineSeconds += engineReadings[i].seconds;
      readByCommand.commandSeconds += commandReadings[i].seconds;
      ++readByCommand.pages;
    }
  }
  std::printf("\nper kind, first run      mean CER: engine  command   "
              "seconds at 1 at once: engine  command\n");
  const auto printKind = [](const std::string& kind, const Kind& k) {
    std::printf("  %-12s %2d pages            %6.4f   %6.4f                         %6.2f   "
                "%6.2f\n",
                kind.c_str(), k.pages, k.engineCer / k.pages, k.commandCer / k.pages,
                k.engineSeconds, k.commandSeconds);
  };
  for (const auto& [kind, k] : kinds) printKind(kind, k);
  printKind("all", all);
  std::printf("word recall, all pages            %6.3f   %6.3f\n", engineAll.wordRecall(),
              commandAll.wordRecall());
  std::printf("accented-word recall, all pages   %6.3f   %6.3f (%zu words)\n",
              engineAll.accentedRecall(), commandAll.accentedRecall(), engineAll.accentedWords);
  std::printf("pages the command reads (CER under 0.05), %d of them, seconds at 1 at once: "
              "engine %.2f, command %.2f (%.2f)\n",
              readByCommand.pages, readByCommand.engineSeconds, readByCommand.commandSeconds,
              readByCommand.commandSeconds > 0
                  ? readByCommand.engineSeconds / readByCommand.commandSeconds
                  : 0.0);
  std::printf("wall time engine/command, median of %d runs: 1 at once %.2f, 4 at once %.2f\n",
              repeat, median(ratio1), median(ratio4));
  std::fflush(stdout);

  if (settings) compareSettings(pages);
  if (!keep) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  } else {
    std::printf("pages kept in %s\n", folder);
  }
  return 0;
}
