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

// The finest resolution a page is read at, in dots per inch.
constexpr int kReadingResolution = 300;

// The long edge, in pixels, from which a page is shrunk for judging its
// resolution from the words (by 2 from twice this, by 3 from three times).
constexpr int kJudgingEdge = 1600;

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

// The 3x3 median of an 8-bit image of one band, the edges repeated outwards.
// Each column of three is sorted once and serves three pixels; the median
// of the nine is then the middle one of the largest of the three columns'
// smallest, the middle of their middles and the smallest of their largest.
// libvips's rank filter took as long as a third of the recognition of a
// 400-dpi page, and ran on every core while other readings waited for them.
std::vector<unsigned char> median3x3(const unsigned char* in, int width, int height) {
  const auto w = static_cast<std::size_t>(width);
  std::vector<unsigned char> out(w * static_cast<std::size_t>(height));
  // The sorted columns of the row being made, one to the left and right
  // beyond the edges.
  std::vector<unsigned char> low(w + 2), middle(w + 2), high(w + 2);
  for (int y = 0; y < height; ++y) {
    const unsigned char* __restrict up = in + w * static_cast<std::size_t>(std::max(0, y - 1));
    const unsigned char* __restrict row = in + w * static_cast<std::size_t>(y);
    const unsigned char* __restrict down =
        in + w * static_cast<std::size_t>(std::min(height - 1, y + 1));
    unsigned char* __restrict lo = low.data() + 1;
    unsigned char* __restrict mid = middle.data() + 1;
    unsigned char* __restrict hi = high.data() + 1;
    for (std::size_t x = 0; x < w; ++x) {
      const unsigned char a = std::min(up[x], row[x]), b = std::max(up[x], row[x]);
      const unsigned char c = down[x];
      lo[x] = std::min(a, c);
      hi[x] = std::max(b, c);
      mid[x] = std::max(a, std::min(b, c));
    }
    lo[-1] = lo[0], mid[-1] = mid[0], hi[-1] = hi[0];
    lo[w] = lo[w - 1], mid[w] = mid[w - 1], hi[w] = hi[w - 1];
    unsigned char* __restrict target = out.data() + w * static_cast<std::size_t>(y);
    for (std::size_t x = 0; x < w; ++x) {
      const unsigned char maxLow = std::max(std::max(lo[x - 1], lo[x]), lo[x + 1]);
      const unsigned char minHigh = std::min(std::min(hi[x - 1], hi[x]), hi[x + 1]);
      const unsigned char m1 = std::min(mid[x - 1], mid[x]), m2 = std::max(mid[x - 1], mid[x]);
      const unsigned char midMid = std::max(m1, std::min(m2, mid[x + 1]));
      const unsigned char p = std::min(maxLow, midMid), q = std::max(maxLow, midMid);
      target[x] = std::max(p, std::min(q, minHigh));
    }
  }
  return out;
}

// The grey page scaled by the factor (below 1), with the size it then has
// in width and height.
std::vector<unsigned char> scaledPage(const std::vector<unsigned char>& page, int& width,
                                      int& height, double scale) {
  const vips::VImage scaled =
      vips::VImage::new_from_memory(const_cast<unsigned char*>(page.data()), page.size(), width,
                                    height, 1, VIPS_FORMAT_UCHAR)
          .resize(scale, vips::VImage::option()->set("kernel", VIPS_KERNEL_LINEAR))
          .cast(VIPS_FORMAT_UCHAR)
          .copy_memory();
  width = scaled.width();
  height = scaled.height();
  const auto* pixels = static_cast<const unsigned char*>(vips_image_get_data(scaled.get_image()));
  return {pixels, pixels + static_cast<std::size_t>(width) * static_cast<std::size_t>(height)};
}

// The median of the values; none without values.
std::optional<double> median(std::vector<int> values) {
  if (values.empty()) return std::nullopt;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
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
std::optional<int> TesseractOcrEngine::resolutionFromWords(tesseract::TessBaseAPI& api,
                                                            int reduction) {
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
  const std::optional<double> height = median(std::move(heights));
  if (!height) return std::nullopt;
  const long estimate = std::lround(*height * reduction / kTypicalWordHeight);
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
    std::size_t size = 0;
    std::unique_ptr<unsigned char, decltype(&g_free)> pixels(
        static_cast<unsigned char*>(grey.write_to_memory(&size)), &g_free);
    int width = grey.width();
    int height = grey.height();
    // No printed line fits in so few pixels, and Tesseract's thresholding
    // fails on them instead of finding nothing.
    if (width < kMinEdge || height < kMinEdge) {
      return OcrResult{{}, name(), std::nullopt, std::nullopt, {}};
    }
    if (!pixels || size < static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
      return failed;
    }
    // A 3x3 median takes out scanner grain, which Tesseract's thresholding
    // otherwise turns into so many specks that it finds no text at all: on
    // the evaluation pages (bench/ocr.cpp --settings) grainy letters came out
    // empty without it (mean CER 0.31 against 0.10 with it).
    std::vector<unsigned char> page = median3x3(pixels.get(), width, height);
    pixels.reset();

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

    std::optional<int> resolution = statedResolution(grey, shrink);
    if (!resolution) {
      // Judged on the page shrunk to less than twice kJudgingEdge on its
      // long edge: layout analysis takes its time from the pixels and the
      // specks, and shrinking takes out most of a grey page's specks (a
      // textured carbon copy took 5.9 s at its 300 dpi, 3.4 s at half).
      const int reduction = std::max(1, std::max(width, height) / kJudgingEdge);
      int reducedWidth = width, reducedHeight = height;
      const std::vector<unsigned char> reduced =
          reduction > 1 ? scaledPage(page, reducedWidth, reducedHeight, 1.0 / reduction) : page;
      api->SetImage(reduced.data(), reducedWidth, reducedHeight, 1, reducedWidth);
      resolution = resolutionFromWords(*api, reduction);
    }
    if (resolution && *resolution > kReadingResolution * 8 / 7) {
      // A finer scan is read at 300 dpi: Tesseract brings every line to the
      // height its model reads anyway, while finding the lines takes its
      // time from the pixels (the 400-dpi pages read a tenth sooner, to the
      // same text).
      page = scaledPage(page, width, height,
                        static_cast<double>(kReadingResolution) / *resolution);
      resolution = kReadingResolution;
    }
    api->SetImage(page.data(), width, height, 1, width);  // copies the pixels; drops any layout
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

    std::vector<PageLine> lines;
    std::vector<int> wordGaps;  // between neighbouring words of a line
    std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
    if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
      int block = -1;
      do {
        if (it->IsAtBeginningOf(tesseract::RIL_BLOCK)) ++block;
        std::unique_ptr<char[]> line(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
        if (!line) continue;
        PageLine& l = lines.emplace_back();
        l.raw = {line.get(), it->Confidence(tesseract::RIL_TEXTLINE) / 100.0};
        l.block = block;
        it->BoundingBox(tesseract::RIL_TEXTLINE, &l.left, &l.top, &l.right, &l.bottom);
        it->Baseline(tesseract::RIL_TEXTLINE, &l.baseX1, &l.baseY1, &l.baseX2, &l.baseY2);
      } while (it->Next(tesseract::RIL_TEXTLINE));
      it->Begin();
      int previousRight = -1;
      do {
        int left = 0, top = 0, right = 0, bottom = 0;
        if (!it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom)) continue;
        if (!it->IsAtBeginningOf(tesseract::RIL_TEXTLINE) && previousRight >= 0 &&
            left > previousRight) {
          wordGaps.push_back(left - previousRight);
        }
        previousRight = right;
      } while (it->Next(tesseract::RIL_WORD));
    }
    if (recognitionText != languagesText) {
      readAgainWithOwnModels(languagesText, page.data(), width, height, resolution.value_or(0),
                             lines);
    }
    return resultFromLines(mendedLines(lines, median(wordGaps).value_or(0)));
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
                                                std::vector<PageLine>& lines) {
  Pool::Api api;
  for (PageLine& line : lines) {
    if (line.raw.confidence >= kDoubtfulLine || !hasMoreThanBlanks(line.raw.text.c_str())) {
      continue;
    }
    if (!api) {
      api = pool_->take(languagesText);
      if (!api) return;
      api->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
      api->SetImage(pixels, width, height, 1, width);
      api->SetSourceResolution(resolution);
    }
    // A little room around the line, as a line cut out to its ink reads worse.
    const int margin = std::max(2, (line.bottom - line.top) / 4);
    const int x = std::max(0, line.left - margin);
    const int y = std::max(0, line.top - margin);
    api->SetRectangle(x, y, std::min(width, line.right + margin) - x,
                      std::min(height, line.bottom + margin) - y);
    std::unique_ptr<char[]> text(api->GetUTF8Text());
    const double confidence = api->MeanTextConf() / 100.0;
    if (text && confidence > line.raw.confidence) line.raw = {text.get(), confidence};
  }
  if (!api) return;
  api->SetPageSegMode(tesseract::PSM_AUTO);
  pool_->give(languagesText, std::move(api));
}

std::vector<TesseractOcrEngine::RawLine> TesseractOcrEngine::mendedLines(
    const std::vector<PageLine>& lines, double wordGap) {
  const auto baselineAt = [](const PageLine& l, int x) {
    if (l.baseX2 == l.baseX1) return static_cast<double>(l.baseY1);
    return l.baseY1 + static_cast<double>(l.baseY2 - l.baseY1) * (x - l.baseX1) /
                          (l.baseX2 - l.baseX1);
  };
  // Each line's left neighbour on its baseline in another block, if any: a
  // line of text of about its height (not a rule, which layout gives as a
  // blank line of its own).
  std::vector<std::ptrdiff_t> leftOf(lines.size(), -1);
  for (std::size_t b = 0; b < lines.size(); ++b) {
    const PageLine& right = lines[b];
    if (!hasMoreThanBlanks(right.raw.text.c_str())) continue;
    double nearest = 0;
    for (std::size_t a = 0; a < lines.size(); ++a) {
      const PageLine& left = lines[a];
      if (left.block == right.block || left.left >= right.left ||
          !hasMoreThanBlanks(left.raw.text.c_str())) {
        continue;
      }
      const double gap = right.left - left.right;
      if (gap < -wordGap / 2 || gap > kFalseColumnGap * wordGap) continue;
      const int lower = std::min(left.bottom - left.top, right.bottom - right.top);
      const int higher = std::max(left.bottom - left.top, right.bottom - right.top);
      if (higher > 2 * lower ||
          std::abs(baselineAt(left, right.left) - baselineAt(right, right.left)) > 0.3 * lower) {
        continue;
      }
      if (leftOf[b] < 0 || gap < nearest) {
        leftOf[b] = static_cast<std::ptrdiff_t>(a);
        nearest = gap;
      }
    }
  }
  const auto first = [&leftOf](std::size_t i) {
    while (leftOf[i] >= 0) i = static_cast<std::size_t>(leftOf[i]);
    return i;
  };
  std::vector<std::vector<std::size_t>> parts(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) parts[first(i)].push_back(i);
  std::vector<RawLine> mended;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (leftOf[i] >= 0) continue;  // stands in its leftmost part's line
    std::vector<std::size_t>& row = parts[i];
    std::sort(row.begin(), row.end(),
              [&lines](std::size_t x, std::size_t y) { return lines[x].left < lines[y].left; });
    RawLine joined;
    double weighted = 0, length = 0;
    for (const std::size_t part : row) {
      std::string_view text(lines[part].raw.text);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
      if (!joined.text.empty()) joined.text += ' ';
      joined.text += text;
      weighted += lines[part].raw.confidence * static_cast<double>(text.size());
      length += static_cast<double>(text.size());
    }
    joined.confidence = length > 0 ? weighted / length : lines[i].raw.confidence;
    mended.push_back(std::move(joined));
  }
  return mended;
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
