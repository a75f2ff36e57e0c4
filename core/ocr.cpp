#include "core/ocr.h"

#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <unicode/uloc.h>

#include "core/image_tools.h"

namespace quorvel {

namespace {

constexpr int kMaxLongEdge = 5000;
constexpr int kMinEdge = 10;
const char* const kUnreadableImage = "Couldn't open the image.";
const char* const kNoLanguageData =
    "The language data for reading printed text isn't installed.";
const char* const kRecognitionFailed = "Couldn't read the text of the image.";

void applySettings(tesseract::TessBaseAPI& api) {
  // Tesseract's warnings go to a debug file; by default that is stderr, once per page.
  api.SetVariable("debug_file", "/dev/null");
  // Sauvola's local thresholding. Measured on generated letters, clean and
  // degraded (faded ink on grey paper, turned 1.5 degrees, blurred, grainy;
  // bench/ocr.cpp --settings): the default Otsu method read the grain as
  // text (character error rate above 1000 %, ten times slower), Sauvola read
  // them at 1.4 % with the median filter below; clean pages stayed at 0 %.
  api.SetVariable("thresholding_method", "2");
}

// The page's resolution for Tesseract, which otherwise takes 70 dpi for raw
// pixels: its thresholding windows and noise limits are sized in inches, and
// on noisy pages a wrong resolution read them as mostly noise (bench/ocr.cpp).
// The stored resolution is used when it is credible for a sheet of paper;
// cameras write 72 dpi into photographs of any size, so when the stored value
// would make the sheet longer than 24 inches (or there is none), the long
// edge is taken to be that of a letter, 11 inches.
int sourceResolution(const vips::VImage& image, double shrink) {
  const double longEdge = std::max(image.width(), image.height());
  const double stored = image.xres() * 25.4 * shrink;  // vips keeps pixels per millimetre
  if (stored >= 70 && stored <= 2400 && longEdge / stored <= 24) {
    return static_cast<int>(std::lround(stored));
  }
  return static_cast<int>(std::lround(std::clamp(longEdge / 11, 70.0, 2400.0)));
}

std::string trimmedSpacesAndTabs(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  const auto last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

}  // namespace

std::string OcrResult::text() const {
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += lines[i];
  }
  return joined;
}

// Initialised recognisers by language text. Making one loads the language
// data (tens of milliseconds and megabytes), so they are kept and reused; a
// recogniser serves one reading at a time.
struct TesseractOcrEngine::Pool {
  using Api = std::unique_ptr<tesseract::TessBaseAPI>;

  std::mutex mutex;
  std::map<std::string, std::vector<Api>> idle;  // guarded by mutex
  std::map<std::string, bool> loads;             // guarded by mutex: the data loaded

  // An idle recogniser for the languages, or a new one; none when the
  // language data does not load.
  Api take(const std::string& languages) {
    {
      std::lock_guard lock(mutex);
      auto& free = idle[languages];
      if (!free.empty()) {
        Api api = std::move(free.back());
        free.pop_back();
        return api;
      }
      if (const auto known = loads.find(languages); known != loads.end() && !known->second) {
        return nullptr;
      }
    }
    Api api = std::make_unique<tesseract::TessBaseAPI>();  // loading runs outside the lock
    const bool loaded =
        api->Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY) == 0;
    {
      std::lock_guard lock(mutex);
      loads[languages] = loaded;
    }
    if (!loaded) return nullptr;
    applySettings(*api);
    return api;
  }

  void give(const std::string& languages, Api api) {
    api->Clear();  // drops the page and its results, keeps the language data
    std::lock_guard lock(mutex);
    idle[languages].push_back(std::move(api));
  }
};

TesseractOcrEngine::TesseractOcrEngine() : pool_(std::make_shared<Pool>()) {}

TesseractOcrEngine::~TesseractOcrEngine() = default;

std::string TesseractOcrEngine::tesseractLanguages(const std::vector<std::string>& tags) {
  std::string joined;
  std::vector<std::string> seen;
  for (const std::string& tag : tags) {
    std::string bcp47 = tag;  // "en_US" names the same language as "en-US"
    std::replace(bcp47.begin(), bcp47.end(), '_', '-');
    char locale[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_forLanguageTag(bcp47.c_str(), locale, sizeof locale, nullptr, &status);
    if (U_FAILURE(status) || locale[0] == '\0') continue;
    // ISO 639-2/T, which is how Tesseract names its language data ("eng", "deu").
    const std::string code = uloc_getISO3Language(locale);
    if (code.empty() || std::find(seen.begin(), seen.end(), code) != seen.end()) continue;
    seen.push_back(code);
    if (!joined.empty()) joined += '+';
    joined += code;
  }
  return joined;
}

OcrResult TesseractOcrEngine::resultFromLines(const std::vector<RawLine>& lines) {
  OcrResult result{{}, "tesseract", std::nullopt, std::nullopt, {}};
  double confidenceSum = 0;
  for (const RawLine& line : lines) {
    std::string_view text(line.text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string trimmed = trimmedSpacesAndTabs(text);
    if (trimmed.empty()) continue;
    result.lines.push_back(std::move(trimmed));
    confidenceSum += std::isfinite(line.confidence) ? std::clamp(line.confidence, 0.0, 1.0) : 0.0;
  }
  if (!result.lines.empty()) {
    result.averageConfidence = confidenceSum / static_cast<double>(result.lines.size());
  }
  return result;
}

bool TesseractOcrEngine::isAvailable() const {
  const std::string languagesText = tesseractLanguages(languages);
  if (languagesText.empty()) return false;
  auto api = pool_->take(languagesText);
  if (!api) return false;
  pool_->give(languagesText, std::move(api));
  return true;
}

OcrResult TesseractOcrEngine::recognize(const std::string& path) { return recognizeSync(path); }

OcrResult TesseractOcrEngine::recognizeSync(const std::string& path) {
  std::optional<vips::VImage> image;
  try {
    image = ImageTools::load(path, kMaxLongEdge);
  } catch (...) {
    image.reset();
  }
  if (!image) return OcrResult{{}, name(), std::nullopt, kUnreadableImage, {}};
  // Shrinking on load leaves the stored resolution as it was.
  const ImageTools::PixelSize stored = ImageTools::dimensions(path);
  const int storedLongEdge = std::max(stored.width, stored.height);
  const double shrink =
      storedLongEdge > 0 ? static_cast<double>(std::max(image->width(), image->height())) /
                               storedLongEdge
                         : 1.0;
  return recognize(*image, shrink);
}

OcrResult TesseractOcrEngine::recognize(const vips::VImage& image) { return recognize(image, 1.0); }

OcrResult TesseractOcrEngine::recognize(const vips::VImage& image, double shrink) {
  const OcrResult failed{{}, name(), std::nullopt, kRecognitionFailed, {}};
  const std::string languagesText = tesseractLanguages(languages);
  if (languagesText.empty()) return OcrResult{{}, name(), std::nullopt, kNoLanguageData, {}};
  try {
    if (!ImageTools::ensureStarted()) return failed;
    // Grey, 8 bits, transparent parts white: what Tesseract thresholds anyway.
    vips::VImage grey = image;
    if (grey.format() != VIPS_FORMAT_UCHAR) {
      grey = grey.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
    }
    if (vips_image_hasalpha(grey.get_image())) {
      grey = grey.flatten(vips::VImage::option()->set("background", std::vector<double>{255}));
    }
    grey = grey.colourspace(VIPS_INTERPRETATION_B_W);
    if (grey.format() != VIPS_FORMAT_UCHAR) grey = grey.cast(VIPS_FORMAT_UCHAR);
    if (grey.bands() != 1) grey = grey.extract_band(0);
    // A 3x3 median takes out scanner grain that Tesseract otherwise reads as
    // specks of text: on the degraded letters of bench/ocr.cpp it brought the
    // character error rate from 15 % to 1.4 %, clean pages staying at 0 %.
    grey = grey.median(3);
    std::size_t size = 0;
    std::unique_ptr<unsigned char, decltype(&g_free)> pixels(
        static_cast<unsigned char*>(grey.write_to_memory(&size)), &g_free);
    const int width = grey.width();
    const int height = grey.height();
    // No printed line fits in so few pixels, and Tesseract's thresholding
    // fails on them instead of finding nothing.
    if (width < kMinEdge || height < kMinEdge) {
      return OcrResult{{}, name(), std::nullopt, std::nullopt, {}};
    }
    if (!pixels || size < static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
      return failed;
    }

    auto api = pool_->take(languagesText);
    if (!api) return OcrResult{{}, name(), std::nullopt, kNoLanguageData, {}};
    struct GiveBack {
      Pool& pool;
      const std::string& languages;
      Pool::Api& api;
      ~GiveBack() {
        if (api) pool.give(languages, std::move(api));
      }
    } giveBack{*pool_, languagesText, api};

    api->SetImage(pixels.get(), width, height, 1, width);  // copies the pixels
    api->SetSourceResolution(sourceResolution(grey, shrink));
    if (api->Recognize(nullptr) != 0) return failed;

    std::vector<RawLine> lines;
    std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
    if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
      do {
        std::unique_ptr<char[]> line(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
        if (!line) continue;
        lines.push_back({line.get(), it->Confidence(tesseract::RIL_TEXTLINE) / 100.0});
      } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    return resultFromLines(lines);
  } catch (const vips::VError&) {
    vips_error_clear();
    return failed;
  } catch (...) {
    return failed;
  }
}

void ensureSingleThreadedRecognition(char** argv) {
  const char* limit = std::getenv("OMP_THREAD_LIMIT");
  if (limit && std::strcmp(limit, "1") == 0) return;
  if (!argv || !argv[0]) return;
  ::setenv("OMP_THREAD_LIMIT", "1", 1);
  // OpenMP reads the variable when the runtime loads, before main: only a
  // fresh image of the program sees it. Parallel recognitions ran many times
  // slower without it (each spawns a thread per core).
  ::execv("/proc/self/exe", argv);
  // execv failed: carry on, slower but correct.
}

}  // namespace quorvel
