#include "core/ocr.h"

#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

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
// Tesseract's model of the Latin script (Debian's tesseract-ocr-script-latn):
// every letter of the Western European languages, umlauts, accents and ß
// included, which the English model lacks ("Müller" came out "Miiller").
const std::string kLatinScript = "Latin";

void applySettings(tesseract::TessBaseAPI& api) {
  // Tesseract's warnings go to a debug file; by default that is stderr, once per page.
  api.SetVariable("debug_file", "/dev/null");
  // Automatic page segmentation: the library's default is one uniform block
  // of text, which reads the two columns of a newspaper cutting line by line
  // across both. Tesseract's own global thresholding stays: Sauvola's local
  // thresholding read a certificate's printed border and the texture of
  // faded paper as lines of junk and lost words on ruled cards.
  api.SetPageSegMode(tesseract::PSM_AUTO);
}

// The page's resolution when the file states one that is credible for paper
// scanned or photographed flat: 100 to 1200 dpi, making the sheet at most 24
// inches long. Cameras, phones and many programs write 72 or 96 dpi into
// pictures of any size (libvips reports 72 for a JPEG or PNG that states
// none), and WebP and HEIC carry no resolution at all; then there is none,
// and it is judged from the height of the words (resolutionFromWords): the
// fixed page sizes guessed before got it wrong for cards and cuttings.
std::optional<int> statedResolution(const vips::VImage& image, double shrink) {
  const double longEdge = std::max(image.width(), image.height());
  const double stated = image.xres() * 25.4 * shrink;  // vips keeps pixels per millimetre
  if (!std::isfinite(stated) || stated < 100 || stated > 1200 || longEdge / stated > 24) {
    return std::nullopt;
  }
  return static_cast<int>(std::lround(stated));
}

// Printed words stand this tall on paper, in inches, from the top of their
// tallest letter to the bottom of their lowest: the median word height over
// the resolution on the evaluation pages (tools/ocr_evaluation.h) ran from
// 0.10 on ten-point newspaper type to 0.15 on a certificate, 0.12 in the middle.
constexpr double kTypicalWordHeight = 0.12;

// A line the Latin-script model reads with less confidence than this is
// read again with the languages' own models, and the surer reading kept: on
// the evaluation pages the Latin-script model read a postcard's date line
// "Aug. 12, 1952" as "Aup I2 L52" (23 %), where the English one was sure of
// it (96 %). Lines read well came out at 90 % and more.
constexpr double kDoubtfulLine = 0.6;

// Whether a line of the recogniser's holds more than spaces and line breaks.
bool hasMoreThanBlanks(const char* line) {
  return line && std::string_view(line).find_first_not_of(" \t\r\n") != std::string_view::npos;
}

// Whether the last recognition found a line with more than spaces.
bool hasText(tesseract::TessBaseAPI& api) {
  std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
  if (!it || it->Empty(tesseract::RIL_TEXTLINE)) return false;
  do {
    std::unique_ptr<char[]> line(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
    if (hasMoreThanBlanks(line.get())) return true;
  } while (it->Next(tesseract::RIL_TEXTLINE));
  return false;
}

// Whether every tag names a language whose usual script is Latin.
bool latinScriptOnly(const std::vector<std::string>& tags) {
  if (tags.empty()) return false;
  for (const std::string& tag : tags) {
    std::string bcp47 = tag;
    std::replace(bcp47.begin(), bcp47.end(), '_', '-');
    char locale[ULOC_FULLNAME_CAPACITY] = {};
    char likely[ULOC_FULLNAME_CAPACITY] = {};
    char script[ULOC_SCRIPT_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_forLanguageTag(bcp47.c_str(), locale, sizeof locale, nullptr, &status);
    uloc_addLikelySubtags(locale, likely, sizeof likely, &status);
    uloc_getScript(likely, script, sizeof script, &status);
    if (U_FAILURE(status) || std::string_view(script) != "Latn") return false;
  }
  return true;
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
    // Init succeeds when any of the languages loads; each must.
    bool loaded = api->Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY) == 0;
    if (loaded) {
      std::vector<std::string> have;
      api->GetLoadedLanguagesAsVector(&have);
      std::string_view rest(languages);
      while (loaded && !rest.empty()) {
        const auto plus = rest.find('+');
        const std::string one(rest.substr(0, plus));
        loaded = std::find(have.begin(), have.end(), one) != have.end();
        rest = plus == std::string_view::npos ? std::string_view() : rest.substr(plus + 1);
      }
    }
    {
      std::lock_guard lock(mutex);
      loads[languages] = loaded;
    }
    if (!loaded) return nullptr;
    applySettings(*api);
    return api;
  }

  // Whether the languages' data loaded, when a load was tried.
  std::optional<bool> loaded(const std::string& languages) {
    std::lock_guard lock(mutex);
    const auto known = loads.find(languages);
    if (known == loads.end()) return std::nullopt;
    return known->second;
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

// Layout analysis alone takes about a fifth of the time of a reading.
// Tesseract's own estimate, from the size of the text, comes only after it
// has looked for rules and boxes at its lowest resolution, 70 dpi, where a
// rule a few pixels thick is too thick to be taken for a line: a cutting's
// rule under the headline was then read as a line of junk.
std::optional<int> TesseractOcrEngine::resolutionFromWords(tesseract::TessBaseAPI& api) {
  api.SetSourceResolution(0);
  std::unique_ptr<tesseract::PageIterator> it(api.AnalyseLayout());
  if (!it || it->Empty(tesseract::RIL_WORD)) return std::nullopt;
  std::vector<int> heights;
  do {
    int left = 0, top = 0, right = 0, bottom = 0;
    if (it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom) && bottom > top) {
      heights.push_back(bottom - top);
    }
  } while (it->Next(tesseract::RIL_WORD));
  if (heights.empty()) return std::nullopt;
  const auto middle = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2);
  std::nth_element(heights.begin(), middle, heights.end());
  const long estimate = std::lround(*middle / kTypicalWordHeight);
  return static_cast<int>(std::clamp(estimate, 100L, 1200L));
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
  if (const auto known = pool_->loaded(languagesText)) return *known;
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
    // A 3x3 median takes out scanner grain, which Tesseract's thresholding
    // otherwise turns into so many specks that it finds no text at all: on
    // the evaluation pages (bench/ocr.cpp --settings) grainy letters came out
    // empty without it (mean CER 0.31 against 0.10 with it).
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

    // Languages all written in the Latin script are read with its model when
    // it is installed; otherwise, or without it, with the languages' own.
    // Either way the languages' own data must be there, as isAvailable says.
    if (!isAvailable()) return OcrResult{{}, name(), std::nullopt, kNoLanguageData, {}};
    std::string recognitionText = latinScriptOnly(languages) ? kLatinScript : languagesText;
    auto api = pool_->take(recognitionText);
    if (!api && recognitionText != languagesText) {
      recognitionText = languagesText;
      api = pool_->take(recognitionText);
    }
    if (!api) return OcrResult{{}, name(), std::nullopt, kNoLanguageData, {}};
    struct GiveBack {
      Pool& pool;
      const std::string& languages;
      Pool::Api& api;
      ~GiveBack() {
        if (api) pool.give(languages, std::move(api));
      }
    } giveBack{*pool_, recognitionText, api};

    api->SetImage(pixels.get(), width, height, 1, width);  // copies the pixels
    std::optional<int> resolution = statedResolution(grey, shrink);
    if (!resolution) {
      resolution = resolutionFromWords(*api);
      api->SetImage(pixels.get(), width, height, 1, width);  // drops the layout found
    }
    // 0, no resolution, leaves it to Tesseract's estimate.
    api->SetSourceResolution(resolution.value_or(0));
    if (api->Recognize(nullptr) != 0) return failed;
    if (!hasText(*api)) {
      // Tesseract's global threshold can turn heavy grain on a small page
      // into specks that hide every line; Sauvola's local one, slower and
      // worse elsewhere, still finds them. A page with text never needs it.
      api->SetVariable("thresholding_method", "2");
      const bool recognized = api->Recognize(nullptr) == 0;
      api->SetVariable("thresholding_method", "0");
      if (!recognized) return failed;
    }

    std::vector<RawLine> lines;
    std::vector<DoubtfulLine> doubtful;  // to read again with the languages' own models
    std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
    if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
      do {
        std::unique_ptr<char[]> line(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
        if (!line) continue;
        lines.push_back({line.get(), it->Confidence(tesseract::RIL_TEXTLINE) / 100.0});
        if (recognitionText != languagesText && lines.back().confidence < kDoubtfulLine &&
            hasMoreThanBlanks(line.get())) {
          DoubtfulLine& d = doubtful.emplace_back();
          d.index = lines.size() - 1;
          it->BoundingBox(tesseract::RIL_TEXTLINE, &d.left, &d.top, &d.right, &d.bottom);
        }
      } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    if (!doubtful.empty()) {
      readAgainWithOwnModels(languagesText, pixels.get(), width, height, resolution.value_or(0),
                             doubtful, lines);
    }
    return resultFromLines(lines);
  } catch (const vips::VError&) {
    vips_error_clear();
    return failed;
  } catch (...) {
    return failed;
  }
}

void TesseractOcrEngine::readAgainWithOwnModels(const std::string& languagesText,
                                                const unsigned char* pixels, int width,
                                                int height, int resolution,
                                                const std::vector<DoubtfulLine>& doubtful,
                                                std::vector<RawLine>& lines) {
  auto api = pool_->take(languagesText);
  if (!api) return;
  api->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
  api->SetImage(pixels, width, height, 1, width);
  api->SetSourceResolution(resolution);
  for (const auto& [i, left, top, right, bottom] : doubtful) {
    // A little room around the line, as a line cut out to its ink reads worse.
    const int margin = std::max(2, (bottom - top) / 4);
    const int x = std::max(0, left - margin);
    const int y = std::max(0, top - margin);
    api->SetRectangle(x, y, std::min(width, right + margin) - x,
                      std::min(height, bottom + margin) - y);
    std::unique_ptr<char[]> text(api->GetUTF8Text());
    const double confidence = api->MeanTextConf() / 100.0;
    if (text && confidence > lines[i].confidence) lines[i] = {text.get(), confidence};
  }
  api->SetPageSegMode(tesseract::PSM_AUTO);
  pool_->give(languagesText, std::move(api));
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
