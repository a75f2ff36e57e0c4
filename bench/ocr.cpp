// Printed-text reading speed and accuracy: renders typed letters at 300 dpi
// with libvips, clean and degraded (lower contrast, rotation, blur, noise),
// reads them with TesseractOcrEngine with 1, 2 and 4 readings in parallel,
// and prints pages per second and the character error rate against the
// rendered text.
//
//   build/bench/bench_ocr [--rounds N] [--settings] [--keep]
//
// --rounds N   how often each page is read per parallel setting (default 2)
// --settings   also compare Tesseract's thresholding methods on the pages
// --keep       keep the generated pages (their folder is printed)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <tesseract/baseapi.h>

#include "core/image_tools.h"
#include "core/ocr.h"
#include "core/text.h"

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Plain ASCII without markup characters: the texts go through Pango markup.
const char* const kLetters[] = {
    "Dear Margaret,\n\n"
    "Thank you for your kind letter of the twelfth, which reached us on Monday. Father has been "
    "unwell since the first cold days of November, but the doctor says he will be up and about "
    "before Christmas. The farm is quiet now that the harvest is in, and the boys spend their "
    "evenings mending fences and reading by the stove.\n\n"
    "We were glad to hear that little Thomas has started at the school in Millbrook. Please tell "
    "him that his grandmother is knitting a scarf for him, in blue and grey, and that it will "
    "come with the parcel in two weeks.\n\n"
    "Your loving sister,\nElizabeth",

    "My dear John,\n\n"
    "The train left Chicago at half past six and we arrived in Denver on Thursday evening, tired "
    "but in good spirits. The hotel is modest and clean, and the rooms face the mountains. "
    "Tomorrow I meet Mr. Harrison at the bank to sign the papers for the house on Elm Street; "
    "the price is 4,250 dollars, which is less than we feared.\n\n"
    "I have enclosed a photograph of the house taken by the agent. The garden is small but there "
    "is room for the apple trees your mother wanted. Write to me at the Palace Hotel, Room 214.\n\n"
    "With all my love,\nAnna",

    "To whom it may concern,\n\n"
    "This is to certify that Mr. Frederick William Porter has been employed by the Eastern "
    "Railway Company as a clerk in the freight office at Hartford from March 1921 until the "
    "present date. During these years he has shown himself to be honest, punctual and careful "
    "in his work, and he has earned the trust of his superiors and colleagues alike.\n\n"
    "He leaves our service at his own request, in order to move with his family to the West. We "
    "recommend him without reservation to any employer who may need a reliable man.\n\n"
    "Yours faithfully,\nGeorge H. Whitfield, Superintendent",

    "Dearest Mother,\n\n"
    "The wedding was lovely and the weather held until the very end of the afternoon. Clara wore "
    "the lace veil that Grandmother brought from Ireland, and everyone said she looked just like "
    "her in the old portrait. We sat down sixty two guests to dinner in the church hall, and the "
    "band played until nearly midnight.\n\n"
    "Uncle Patrick gave a speech that made the whole room laugh, and then cry a little. I kept a "
    "slice of the cake for you, wrapped in paper, and I will bring it when we come on Sunday.\n\n"
    "Your devoted daughter,\nMary",
};

struct Page {
  std::string path;
  std::string truth;
  bool degraded = false;
};

// A letter page, 8.5 by 11 inches at 300 dpi, black type on white.
vips::VImage renderPage(const std::string& text) {
  const vips::VImage type = vips::VImage::text(
      text.c_str(), vips::VImage::option()
                        ->set("font", "Liberation Serif 12")
                        ->set("dpi", 300)
                        ->set("width", 2000)
                        ->set("spacing", 12));
  const vips::VImage ink = (255 - type).cast(VIPS_FORMAT_UCHAR);
  return ink.embed(300, 300, 2550, 3300,
                   vips::VImage::option()
                       ->set("extend", VIPS_EXTEND_BACKGROUND)
                       ->set("background", std::vector<double>{255}));
}

// Faded ink on yellowed paper, a little turned, blurred and grainy: what an
// old carbon copy scanned on a cheap scanner looks like.
vips::VImage degrade(const vips::VImage& page, unsigned seed) {
  vips::VImage out = page.cast(VIPS_FORMAT_FLOAT) * (90.0 / 255.0) + 110.0;  // ink 110, paper 200
  out = out.rotate(1.5, vips::VImage::option()->set("background", std::vector<double>{200}));
  out = out.gaussblur(1.2);
  vips::VImage noise = vips::VImage::gaussnoise(out.width(), out.height(),
                                                vips::VImage::option()->set("sigma", 25.0)->set("mean", 0.0)->set(
                                                    "seed", static_cast<int>(seed)));
  out = (out + noise).cast(VIPS_FORMAT_UCHAR);
  return out.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
}

// Whitespace runs become one space; typographic quotes become plain ones, as
// a typist would count them.
std::vector<char32_t> normalized(const std::string& text) {
  std::vector<char32_t> out;
  bool space = false;
  for (char32_t c : text::codePoints(text)) {
    if (text::isWhitespace(c)) {
      space = !out.empty();
      continue;
    }
    if (c == U'\u2018' || c == U'\u2019') c = U'\'';
    if (c == U'\u201C' || c == U'\u201D') c = U'"';
    if (c == U'\u2014' || c == U'\u2013') c = U'-';
    if (space) out.push_back(U' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

std::size_t editDistance(const std::vector<char32_t>& a, const std::vector<char32_t>& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

struct ErrorRate {
  std::size_t edits = 0;
  std::size_t characters = 0;
  void add(const std::string& truth, const std::string& read) {
    const auto t = normalized(truth);
    edits += editDistance(t, normalized(read));
    characters += t.size();
  }
  double percent() const { return characters ? 100.0 * edits / characters : 0; }
};

// Reads every page `rounds` times with `parallel` readings at once; returns
// pages per second and fills the error rates from the first round.
double run(TesseractOcrEngine& engine, const std::vector<Page>& pages, int parallel, int rounds,
           ErrorRate* clean, ErrorRate* degraded) {
  const std::size_t total = pages.size() * static_cast<std::size_t>(rounds);
  std::vector<std::string> firstRound(pages.size());
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < parallel; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < total;) {
        const OcrResult result = engine.recognize(pages[i % pages.size()].path);
        if (result.error) failures.fetch_add(1);
        if (i < pages.size()) firstRound[i] = result.text();  // one writer per slot
      }
    });
  }
  for (auto& t : workers) t.join();
  const double seconds = secondsSince(start);
  if (failures.load() > 0) std::printf("  %d readings failed\n", failures.load());
  for (std::size_t i = 0; i < pages.size(); ++i) {
    ErrorRate* rate = pages[i].degraded ? degraded : clean;
    if (rate) rate->add(pages[i].truth, firstRound[i]);
  }
  return static_cast<double>(total) / seconds;
}

using Variables = std::vector<std::pair<const char*, const char*>>;

// Reads one page with Tesseract set up as the engine is, plus the variables.
std::string readWith(const std::string& path, const Variables& variables, bool median) {
  const auto image = ImageTools::load(path, 5000);
  if (!image) return "";
  vips::VImage grey = image->colourspace(VIPS_INTERPRETATION_B_W).cast(VIPS_FORMAT_UCHAR);
  if (grey.bands() != 1) grey = grey.extract_band(0);
  if (median) grey = grey.median(3);
  std::size_t size = 0;
  void* pixels = grey.write_to_memory(&size);
  tesseract::TessBaseAPI api;
  if (api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY) != 0) return "";
  api.SetVariable("debug_file", "/dev/null");
  for (const auto& [variable, value] : variables) api.SetVariable(variable, value);
  api.SetImage(static_cast<unsigned char*>(pixels), grey.width(), grey.height(), 1, grey.width());
  api.SetSourceResolution(300);  // as the engine reads it from these pages
  char* text = api.GetUTF8Text();
  std::string read = text ? text : "";
  delete[] text;
  g_free(pixels);
  return read;
}

void compareSettings(const std::vector<Page>& pages) {
  struct Setting {
    const char* label;
    Variables variables;
    bool median = false;
  };
  const Setting settings[] = {
      {"Otsu (default)", {{"thresholding_method", "0"}}},
      {"Leptonica Otsu", {{"thresholding_method", "1"}}},
      {"Sauvola", {{"thresholding_method", "2"}}},
      {"Sauvola, median 3x3", {{"thresholding_method", "2"}}, true},
      {"Otsu, median 3x3", {{"thresholding_method", "0"}}, true},
  };
  std::printf("\nThresholding on the same pages (one reading at a time):\n");
  for (const auto& s : settings) {
    ErrorRate clean, degraded;
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    std::vector<std::string> read(pages.size());
    std::atomic<std::size_t> next{0};
    for (int w = 0; w < 4; ++w) {
      workers.emplace_back([&] {
        for (std::size_t i; (i = next.fetch_add(1)) < pages.size();) {
          read[i] = readWith(pages[i].path, s.variables, s.median);
        }
      });
    }
    for (auto& t : workers) t.join();
    for (std::size_t i = 0; i < pages.size(); ++i) {
      (pages[i].degraded ? degraded : clean).add(pages[i].truth, read[i]);
    }
    std::printf("  %-28s CER clean %6.2f %%, degraded %6.2f %%  (%.1f s)\n", s.label,
                clean.percent(), degraded.percent(), secondsSince(start));
  }
}

}  // namespace

int main(int argc, char** argv) {
  ensureSingleThreadedRecognition(argv);
  int rounds = 2;
  bool settings = false;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--settings") == 0) {
      settings = true;
    } else if (std::strcmp(argv[i], "--keep") == 0) {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--rounds N] [--settings] [--keep]\n", argv[0]);
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

  char folderTemplate[] = "/tmp/quorvel-bench-ocr-XXXXXX";
  const char* folder = ::mkdtemp(folderTemplate);
  if (!folder) return 1;
  std::vector<Page> pages;
  unsigned seed = 1;
  for (const char* letter : kLetters) {
    const vips::VImage page = renderPage(letter);
    const std::string n = std::to_string(pages.size() / 2 + 1);
    Page clean{std::string(folder) + "/letter-" + n + ".png", letter, false};
    Page degraded{std::string(folder) + "/letter-" + n + "-degraded.png", letter, true};
    page.pngsave(clean.path.c_str());
    degrade(page, seed++).pngsave(degraded.path.c_str());
    pages.push_back(std::move(clean));
    pages.push_back(std::move(degraded));
  }
  std::printf("%zu pages (2550 x 3300 at 300 dpi, half of them degraded) in %s\n", pages.size(),
              folder);
  std::printf("OMP_THREAD_LIMIT=%s, %u processor threads\n",
              std::getenv("OMP_THREAD_LIMIT") ? std::getenv("OMP_THREAD_LIMIT") : "(unset)",
              std::thread::hardware_concurrency());

  run(engine, pages, 4, 1, nullptr, nullptr);  // loads four recognisers into the pool
  ErrorRate clean, degraded;
  double one = 0;
  for (int parallel : {1, 2, 4}) {
    const double rate = run(engine, pages, parallel, rounds, parallel == 1 ? &clean : nullptr,
                            parallel == 1 ? &degraded : nullptr);
    if (parallel == 1) one = rate;
    std::printf("%d in parallel: %.2f pages/s (%.2fx of one)\n", parallel, rate, rate / one);
  }
  std::printf("character error rate: clean %.2f %%, degraded %.2f %% (%zu characters each)\n",
              clean.percent(), degraded.percent(), clean.characters);

  if (settings) compareSettings(pages);
  if (!keep) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  return 0;
}
