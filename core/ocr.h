#pragma once
// The page reader interface (OcrEngine), the result of any page reading
// (OcrResult), and the printed-text reader on Tesseract.
//
// Tesseract is built with OpenMP: a process that runs recognitions must have
// OMP_THREAD_LIMIT=1 in its environment from the start (see
// ensureSingleThreadedRecognition), or parallel recognitions run many times
// slower than one after another.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vips/vips8>

#include "core/models.h"

namespace tesseract {
class TessBaseAPI;
}

namespace quorvel {

// The result of reading one page, printed or handwritten.
struct OcrResult {
  std::vector<std::string> lines;            // in reading order
  std::string engine;                        // the reader's name, stored with the text
  std::optional<double> averageConfidence;   // 0 to 1; none without lines
  std::optional<std::string> error;          // a sentence for the person when reading failed
  std::vector<UncertainWord> uncertain;      // the printed-text reader leaves it empty

  // The lines joined with "\n", no line feed at the end; "" without lines.
  std::string text() const;
};

// A page reader. Implementations are safe to call from several threads at once.
class OcrEngine {
 public:
  virtual ~OcrEngine() = default;
  // The reader's name.
  virtual std::string name() const = 0;
  // Whether the reader can be used on this machine now.
  virtual bool isAvailable() const = 0;
  // Reads the image file at the absolute path; blocks until done (run it on a
  // worker thread). Never throws: a failure is a result with error set and no lines.
  virtual OcrResult recognize(const std::string& path) = 0;
};

// The printed-text reader on Tesseract, named "tesseract". Any thread, several
// readings at once: each reading takes a recogniser of its own from a pool
// (made on demand, kept for reuse), so the pool's size follows the largest
// number of parallel readings. Setting `languages` while readings run is not
// allowed; set it before the engine is shared.
class TesseractOcrEngine : public OcrEngine {
 public:
  TesseractOcrEngine();
  ~TesseractOcrEngine() override;
  TesseractOcrEngine(const TesseractOcrEngine&) = delete;
  TesseractOcrEngine& operator=(const TesseractOcrEngine&) = delete;

  // Recognition languages in order of preference, as language tags
  // ("en-US" is Tesseract's "eng"; all of the Latin script: its model).
  std::vector<std::string> languages{"en-US"};

  std::string name() const override { return "tesseract"; }
  // True when the language data of `languages` loads (checked once per set of
  // languages and remembered).
  bool isAvailable() const override;
  // recognizeSync on the calling thread.
  OcrResult recognize(const std::string& path) override;

  // Loads the file at most 5000 pixels on its long edge and reads it;
  // "Couldn't open the image." when it cannot be loaded.
  OcrResult recognizeSync(const std::string& path);
  // Reads an already loaded image: grey, a 3x3 median against scanner grain,
  // automatic page segmentation (columns read one after the other, lines
  // that false columns cut in two joined again: mendedLines),
  // Tesseract's global thresholding, with Sauvola's local one only when that
  // finds no text; the stored resolution when it is credible for paper (100
  // to 1200 dpi, a sheet at most 24 inches long), else one judged from the
  // height of the words (resolutionFromWords) on the page shrunk below
  // 3200 pixels; a page finer than 340 dpi read at 300. Languages all of the Latin
  // script are read with the Latin-script model when it is installed
  // (tesseract-ocr-script-latn), so umlauts, accents and ß are kept, and a
  // line it is unsure of (under 60 %) is read again with the languages' own
  // models, keeping the surer reading; else with the languages' own models.
  // When the languages' own data does not load, the error says so.
  //
  // Chosen on the generated evaluation pages (tools/ocr_evaluation.h; 17
  // pages of 8 kinds in 6 formats; bench/ocr.cpp --settings, 4 at once),
  // mean character error rate and accented-word recall (German, French):
  //   one block, Sauvola, median, 11-inch guess (before)  0.130  0.16  4.2 s
  //   automatic pages, Sauvola, median                    0.016  0.16  5.0 s
  //   automatic pages, Sauvola                            0.076  0.16  4.5 s
  //   automatic pages, global threshold                   0.214  0.07  5.5 s
  //   automatic pages, global threshold, median           0.015  0.20  3.0 s
  //     with the 11-inch guess instead of word heights    0.015  0.20  2.8 s
  //     with Tesseract's estimate instead                 0.017  0.20  2.9 s
  //     Latin-script model                                0.005  0.95  3.8 s
  //       with Tesseract's estimate instead               0.007  0.95  3.5 s
  //       doubtful lines read again in English            0.004  0.95  3.7 s
  //     eng+Latin                                         0.007  0.79  3.4 s
  //     Latin+eng                                         0.005  0.87  4.1 s
  //     eng+deu+fra                                       0.007  0.80  3.1 s
  //     deu+fra+eng                                       0.005  0.92  3.2 s
  // Without the median, grainy pages came out empty; the Sauvola border
  // junk cost the certificates 0.5. Tesseract's estimate read a cutting's
  // rule as junk (newspapers 0.015); the Latin-script model alone misread a
  // postcard's date (postcards 0.012); English pages read the same with
  // every model otherwise (0.002). deu+fra+eng knows only three languages'
  // accents; the Latin-script model has every Western European one.
  OcrResult recognize(const vips::VImage& image);

  // One line as the recogniser gave it, with its confidence from 0 to 1.
  struct RawLine {
    std::string text;
    double confidence = 0;
  };
  // The result of a reading from its raw lines in reading order: each line
  // loses its trailing line breaks (Tesseract ends lines with "\n"), then the
  // spaces and tabs at both ends; a line left empty is dropped and does not
  // count in the average confidence. Confidences are clamped to 0 to 1.
  static OcrResult resultFromLines(const std::vector<RawLine>& lines);

  // A line of a reading with its place on the page, in pixels: the layout
  // block it was found in, its box, and two points of its baseline.
  struct PageLine {
    RawLine raw;
    int block = 0;
    int left = 0, top = 0, right = 0, bottom = 0;
    int baseX1 = 0, baseY1 = 0, baseX2 = 0, baseY2 = 0;
  };
  // The lines in reading order, given in the layout's order, with the lines
  // that false columns cut in two joined again. Type of one width lines the
  // spaces of neighbouring lines up one under another, and page layout can
  // take that river of white for the gap between two columns: it then gives
  // the left halves of the lines as one block and the right halves as the
  // next. A line is joined, after a space, to the line of another block that
  // ends just left of it on the same baseline, no further off than a
  // word's gap (at most kFalseColumnGap times wordGap, the median gap
  // between neighbouring words on the page); the joined line stands where
  // its leftmost part stood, and its confidence is its parts' weighted by
  // their length. Real columns, a gutter or more apart, stay one after the
  // other.
  static std::vector<RawLine> mendedLines(const std::vector<PageLine>& lines, double wordGap);
  static constexpr double kFalseColumnGap = 2.5;

  // The resolution of the page set in the recogniser, judged from the median
  // height of the words its layout analysis finds (printed words stand
  // about 0.12 inches tall), from 100 to 1200 dpi; none without words. Used
  // when the file states no credible resolution. `reduction`: the image set
  // is the page shrunk by this in each direction. Leaves the layout analysis
  // in the recogniser: set the image again before reading it.
  static std::optional<int> resolutionFromWords(tesseract::TessBaseAPI& api, int reduction = 1);

  // Tesseract's language text for language tags: "en-US" -> "eng",
  // ["de-DE", "en"] -> "deu+eng". Tags with no known language are left out.
  static std::string tesseractLanguages(const std::vector<std::string>& tags);

 private:
  // shrink: the loaded size over the stored size, to correct the stored resolution.
  OcrResult recognize(const vips::VImage& image, double shrink);

  // Reads the lines of the page that the Latin-script model was unsure of
  // again, each on its own, with the languages' own models, and keeps a
  // reading that is surer.
  void readAgainWithOwnModels(const std::string& languagesText, const unsigned char* pixels,
                              int width, int height, int resolution,
                              std::vector<PageLine>& lines);

  struct Pool;
  std::shared_ptr<Pool> pool_;  // thread-safe inside
};

// Makes sure recognitions in this process run single-threaded inside
// themselves. OpenMP reads OMP_THREAD_LIMIT only when the program starts, so
// when the variable is not "1", this sets it and re-executes the current
// program (/proc/self/exe) with the same arguments; it returns only when the
// variable was already "1" or the re-execution failed. Call it first thing in
// main, before any thread starts.
void ensureSingleThreadedRecognition(char** argv);

}  // namespace quorvel
