#include "core/ocr.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include <tesseract/baseapi.h>

#include "core/image_tools.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::TempDir;

// Black type on white with half-inch margins, as a scanned typed page looks.
vips::VImage typedPage(const char* text, const char* font = "Liberation Serif 14", int dpi = 300) {
  const vips::VImage type =
      vips::VImage::text(text, vips::VImage::option()->set("font", font)->set("dpi", dpi));
  return (255 - type)
      .cast(VIPS_FORMAT_UCHAR)
      .embed(dpi / 2, dpi / 2, type.width() + dpi, type.height() + dpi,
             vips::VImage::option()
                 ->set("extend", VIPS_EXTEND_BACKGROUND)
                 ->set("background", std::vector<double>{255}));
}

TEST(OcrResultTest, TextJoinsTheLinesWithoutAFinalLineFeed) {
  auto text = [](std::vector<std::string> lines) {
    OcrResult result;
    result.lines = std::move(lines);
    return result.text();
  };
  EXPECT_EQ(text({"Dear friend,", "Yours truly"}), "Dear friend,\nYours truly");
  EXPECT_EQ(text({"one"}), "one");
  EXPECT_EQ(text({}), "");
}

TEST(TesseractOcrEngineTest, LinesAreTrimmedAndBlankOnesDoNotCount) {
  using Raw = TesseractOcrEngine::RawLine;
  struct Case {
    const char* name;
    std::vector<Raw> raw;
    std::vector<std::string> lines;
    std::optional<double> average;
  } cases[] = {
      {"lineFeedsStripped", {{"Dear friend,\n", 0.5}, {"Yours truly\n\n", 1.0}},
       {"Dear friend,", "Yours truly"}, 0.75},
      {"spacesAndTabsTrimmed", {{" \tAnna\t \n", 0.9}}, {"Anna"}, 0.9},
      {"blankLineDropped", {{"   \n", 0.1}, {"Mary", 0.7}}, {"Mary"}, 0.7},
      {"onlyBlank", {{" \t\n", 0.4}}, {}, std::nullopt},
      {"none", {}, {}, std::nullopt},
      {"clamped", {{"a", 1.5}, {"b", -0.5}}, {"a", "b"}, 0.5},
  };
  for (const auto& c : cases) {
    const OcrResult result = TesseractOcrEngine::resultFromLines(c.raw);
    EXPECT_EQ(result.lines, c.lines) << c.name;
    ASSERT_EQ(result.averageConfidence.has_value(), c.average.has_value()) << c.name;
    if (c.average) {
      EXPECT_DOUBLE_EQ(*result.averageConfidence, *c.average) << c.name;
    }
    EXPECT_EQ(result.engine, "tesseract") << c.name;
    EXPECT_FALSE(result.error) << c.name;
  }
}

// Lines of a page as layout gives them, for the mending of false columns:
// 30 pixels high on their baseline, words 20 pixels apart.
TesseractOcrEngine::PageLine pageLine(const char* text, int block, int left, int right,
                                      int baseline, double confidence = 0.9, int rise = 0) {
  TesseractOcrEngine::PageLine line;
  line.raw = {text, confidence};
  line.block = block;
  line.left = left;
  line.right = right;
  line.top = baseline - 22;
  line.bottom = baseline + 8;
  line.baseX1 = left;
  line.baseY1 = baseline;
  line.baseX2 = right;
  line.baseY2 = baseline + rise;
  return line;
}

TEST(TesseractOcrEngineTest, LinesCutInTwoByFalseColumnsAreJoined) {
  using Line = TesseractOcrEngine::PageLine;
  struct Case {
    const char* name;
    std::vector<Line> lines;  // in the layout's order
    std::vector<std::string> want;
  } cases[] = {
      {"riverBetweenBlocks",
       {pageLine("Dear Anna,", 0, 100, 300, 100), pageLine("Elsie and I have", 1, 100, 500, 140),
        pageLine("come to us. Times", 1, 100, 505, 170), pageLine("over and we", 2, 522, 800, 140),
        pageLine("everywhere, but", 2, 522, 830, 170)},
       {"Dear Anna,", "Elsie and I have over and we", "come to us. Times everywhere, but"}},
      {"realColumnsAGutterApart",
       {pageLine("The bridge was", 0, 100, 500, 100), pageLine("opened on May 6.", 0, 100, 498, 130),
        pageLine("The old ferry", 1, 580, 980, 100), pageLine("made its last", 1, 580, 975, 130)},
       {"The bridge was", "opened on May 6.", "The old ferry", "made its last"}},
      {"baselinesHalfALineApart",
       {pageLine("left one", 0, 100, 500, 100), pageLine("right one", 1, 520, 900, 115)},
       {"left one", "right one"}},
      {"turnedPage",
       {pageLine("left half", 0, 100, 500, 100, 0.9, 8),
        pageLine("right half", 1, 520, 900, 109, 0.9, 6)},
       {"left half right half"}},
      {"unpairedLinesStayInOrder",
       {pageLine("first", 0, 100, 400, 100), pageLine("second", 0, 100, 300, 130),
        pageLine("third", 0, 100, 400, 160), pageLine("end of first", 1, 415, 700, 100)},
       {"first end of first", "second", "third"}},
      {"threeBlocksOneLine",
       {pageLine("one", 0, 100, 200, 100), pageLine("two", 1, 215, 300, 100),
        pageLine("three", 2, 318, 420, 100)},
       {"one two three"}},
      {"sameBlockNotJoined",
       {pageLine("Name:", 0, 100, 200, 100), pageLine("Carl", 0, 215, 300, 100)},
       {"Name:", "Carl"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& line : TesseractOcrEngine::mendedLines(c.lines, 20)) got.push_back(line.text);
    EXPECT_EQ(got, c.want) << c.name;
  }

  // A rule between the columns is a blank, tall line of its own; the column
  // beside it stays a column.
  Line rule = pageLine(" ", 1, 490, 494, 130);
  rule.top = 70;
  const auto beside = TesseractOcrEngine::mendedLines(
      {pageLine("left", 0, 100, 450, 130), rule, pageLine("right", 2, 515, 900, 130)}, 20);
  ASSERT_EQ(beside.size(), 3u);
  EXPECT_EQ(beside[2].text, "right");

  // The joined line's confidence is its parts', weighted by their length.
  const auto joined = TesseractOcrEngine::mendedLines(
      {pageLine("abc\n", 0, 100, 200, 100, 0.9), pageLine("x\n", 1, 215, 240, 100, 0.5)}, 20);
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0].text, "abc x");
  EXPECT_DOUBLE_EQ(joined[0].confidence, (3 * 0.9 + 0.5) / 4);
}

TEST(TesseractOcrEngineTest, LanguageTagsMapToTesseractNames) {
  struct Case {
    std::vector<std::string> tags;
    const char* want;
  } cases[] = {
      {{"en-US"}, "eng"},
      {{"de-DE", "en"}, "deu+eng"},
      {{"en", "en-GB"}, "eng"},
      {{"fr_FR"}, "fra"},
      {{}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TesseractOcrEngine::tesseractLanguages(c.tags), c.want)
        << ::testing::PrintToString(c.tags);
  }
}

TEST(TesseractOcrEngineTest, ReadsAGeneratedPage) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  TempDir dir;
  typedPage("Dear friend,\nYours truly").pngsave(dir.file("page.png").c_str());
  TesseractOcrEngine engine;
  EXPECT_EQ(engine.name(), "tesseract");
  ASSERT_TRUE(engine.isAvailable());
  const OcrResult result = engine.recognize(dir.file("page.png"));
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.engine, "tesseract");
  EXPECT_EQ(result.lines, (std::vector<std::string>{"Dear friend,", "Yours truly"}));
  ASSERT_TRUE(result.averageConfidence);
  EXPECT_GT(*result.averageConfidence, 0.8);
  EXPECT_LE(*result.averageConfidence, 1.0);
  EXPECT_TRUE(result.uncertain.empty());
}

TEST(TesseractOcrEngineTest, ReadsAFadedGrainyPage) {
  // Grey ink on grey paper with scanner grain: Tesseract's default
  // thresholding reads the grain as text here.
  ASSERT_TRUE(ImageTools::ensureStarted());
  TempDir dir;
  const vips::VImage page = typedPage("Dear friend,\nYours truly");
  const vips::VImage noise = vips::VImage::gaussnoise(
      page.width(), page.height(),
      vips::VImage::option()->set("sigma", 25.0)->set("mean", 0.0)->set("seed", 7));
  ((page * (90.0 / 255.0) + 110.0).gaussblur(1.2) + noise)
      .cast(VIPS_FORMAT_UCHAR)
      .pngsave(dir.file("faded.png").c_str());
  TesseractOcrEngine engine;
  const OcrResult result = engine.recognize(dir.file("faded.png"));
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.lines, (std::vector<std::string>{"Dear friend,", "Yours truly"}));
}

TEST(TesseractOcrEngineTest, ReadsAJpegWithoutDensity) {
  // A 300-dpi page in a JPEG without a density field, for which libvips
  // reports 72 dpi: the resolution is judged from the words. (A
  // small card in WebP, which has no resolution, is among the pages of
  // ocr_evaluation_test.)
  ASSERT_TRUE(ImageTools::ensureStarted());
  TempDir dir;
  const vips::VImage note = typedPage("Dear friend,\nYours truly");
  note.jpegsave(dir.file("note.jpg").c_str(), vips::VImage::option()->set("strip", true));
  ASSERT_NEAR(vips::VImage::new_from_file(dir.file("note.jpg").c_str()).xres() * 25.4, 72, 0.5);

  TesseractOcrEngine engine;
  const OcrResult page = engine.recognize(dir.file("note.jpg"));
  EXPECT_FALSE(page.error);
  EXPECT_EQ(page.lines, (std::vector<std::string>{"Dear friend,", "Yours truly"}));
}

TEST(TesseractOcrEngineTest, ReadsALetterScannedAt400Dpi) {
  // A whole letter-size sheet at 400 dpi, read at 300: stating its density,
  // and as a JPEG without one, whose resolution is judged on the sheet shrunk
  // by two.
  ASSERT_TRUE(ImageTools::ensureStarted());
  TempDir dir;
  const vips::VImage typed = typedPage("Dear friend,\nYours truly", "Liberation Serif 12", 400);
  const vips::VImage sheet =
      typed.embed(0, 0, 3400, 4400,
                  vips::VImage::option()
                      ->set("extend", VIPS_EXTEND_BACKGROUND)
                      ->set("background", std::vector<double>{255}))
          .copy(vips::VImage::option()->set("xres", 400 / 25.4)->set("yres", 400 / 25.4));
  sheet.pngsave(dir.file("stated.png").c_str());
  sheet.jpegsave(dir.file("none.jpg").c_str(), vips::VImage::option()->set("strip", true));
  TesseractOcrEngine engine;
  for (const char* name : {"stated.png", "none.jpg"}) {
    const OcrResult result = engine.recognize(dir.file(name));
    EXPECT_FALSE(result.error) << name;
    EXPECT_EQ(result.lines, (std::vector<std::string>{"Dear friend,", "Yours truly"})) << name;
  }
}

TEST(TesseractOcrEngineTest, JudgesTheResolutionFromTheWords) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  tesseract::TessBaseAPI api;
  ASSERT_EQ(api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY), 0);
  api.SetVariable("debug_file", "/dev/null");
  api.SetPageSegMode(tesseract::PSM_AUTO);
  const auto setPage = [&api](const vips::VImage& page) {
    std::size_t size = 0;
    std::unique_ptr<void, decltype(&g_free)> pixels(page.write_to_memory(&size), &g_free);
    api.SetImage(static_cast<const unsigned char*>(pixels.get()), page.width(), page.height(), 1,
                 page.width());
  };
  // Twelve-point type drawn at each resolution.
  for (const int dpi : {150, 300, 600}) {
    setPage(typedPage("Dear Margaret, we arrived in Chicago on Tuesday\n"
                      "after a long journey, and the children are well.\n"
                      "Father has found work at the mill near the river.",
                      "Liberation Serif 12", dpi));
    const std::optional<int> judged = TesseractOcrEngine::resolutionFromWords(api);
    ASSERT_TRUE(judged) << dpi;
    EXPECT_GT(*judged, dpi * 3 / 4) << dpi;
    EXPECT_LT(*judged, dpi * 4 / 3) << dpi;
  }
  // Judged on the page shrunk by two, the words' height counts twice.
  setPage(typedPage("Dear Margaret, we arrived in Chicago on Tuesday\n"
                    "after a long journey, and the children are well.",
                    "Liberation Serif 12", 300));
  const std::optional<int> reduced = TesseractOcrEngine::resolutionFromWords(api, 2);
  ASSERT_TRUE(reduced);
  EXPECT_GT(*reduced, 2 * 300 * 3 / 4);
  EXPECT_LT(*reduced, 2 * 300 * 4 / 3);
  setPage(vips::VImage::black(600, 400).cast(VIPS_FORMAT_UCHAR) + 255);
  EXPECT_FALSE(TesseractOcrEngine::resolutionFromWords(api));
}

TEST(TesseractOcrEngineTest, KeepsTheAccentsOfGermanAndFrenchWords) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  TempDir dir;
  typedPage("Liebe Frau M\u00fcller, viele Gr\u00fc\u00dfe aus der Gro\u00dfen Stra\u00dfe.\n"
            "Ch\u00e8re H\u00e9l\u00e8ne, le gar\u00e7on est arriv\u00e9 \u00e0 No\u00ebl.")
      .pngsave(dir.file("accents.png").c_str());
  TesseractOcrEngine engine;
  const OcrResult result = engine.recognize(dir.file("accents.png"));
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.lines,
            (std::vector<std::string>{
                "Liebe Frau M\u00fcller, viele Gr\u00fc\u00dfe aus der Gro\u00dfen Stra\u00dfe.",
                "Ch\u00e8re H\u00e9l\u00e8ne, le gar\u00e7on est arriv\u00e9 \u00e0 No\u00ebl."}));
}

TEST(TesseractOcrEngineTest, ParallelReadingsGiveTheSameText) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  TempDir dir;
  typedPage("The train left Chicago at half past six.\nWe arrived on Thursday.")
      .pngsave(dir.file("page.png").c_str());
  TesseractOcrEngine engine;
  std::vector<OcrResult> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back(
        [&engine, &result, &dir] { result = engine.recognize(dir.file("page.png")); });
  }
  for (auto& t : threads) t.join();
  for (const auto& result : results) {
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.text(), "The train left Chicago at half past six.\nWe arrived on Thursday.");
  }
}

TEST(TesseractOcrEngineTest, PagesWithoutTextGiveNoLinesAndNoError) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  TesseractOcrEngine engine;
  for (const auto& [w, h] : {std::pair{2000, 2500}, std::pair{5, 5}, std::pair{400, 3}}) {
    const vips::VImage white =
        vips::VImage::black(w, h).new_from_image({255}).cast(VIPS_FORMAT_UCHAR);
    const OcrResult result = engine.recognize(white);
    EXPECT_TRUE(result.lines.empty()) << w << "x" << h;
    EXPECT_FALSE(result.averageConfidence) << w << "x" << h;
    EXPECT_FALSE(result.error) << w << "x" << h;
  }
}

TEST(TesseractOcrEngineTest, UnreadableFilesAreReportedInTheResult) {
  TempDir dir;
  testing::writeFile(dir.file("notes.png"), "no picture in here");
  TesseractOcrEngine engine;
  for (const std::string& path : {dir.file("missing.jpg"), dir.file("notes.png"), dir.path()}) {
    const OcrResult result = engine.recognize(path);
    EXPECT_EQ(result.error, "Couldn't open the image.") << path;
    EXPECT_EQ(result.engine, "tesseract") << path;
    EXPECT_TRUE(result.lines.empty()) << path;
    EXPECT_FALSE(result.averageConfidence) << path;
  }
}

TEST(TesseractOcrEngineTest, MissingLanguageDataMakesItUnavailable) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  TesseractOcrEngine engine;
  engine.languages = {"yo"};  // Yoruba: no language data installed
  EXPECT_FALSE(engine.isAvailable());
  const OcrResult result = engine.recognize(typedPage("Hello"));
  EXPECT_TRUE(result.error);
  EXPECT_TRUE(result.lines.empty());
}

// Run by the test below in a re-executed copy of this program.
TEST(SingleThreadedRecognitionTest, EnvironmentHasTheLimit) {
  ASSERT_NE(std::getenv("OMP_THREAD_LIMIT"), nullptr);
  EXPECT_STREQ(std::getenv("OMP_THREAD_LIMIT"), "1");
}

TEST(SingleThreadedRecognitionTest, ReexecutesWhenTheLimitIsMissing) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::unsetenv("OMP_THREAD_LIMIT");
    char program[] = "ocr_test";
    char filter[] = "--gtest_filter=SingleThreadedRecognitionTest.EnvironmentHasTheLimit";
    char* args[] = {program, filter, nullptr};
    ensureSingleThreadedRecognition(args);
    ::_exit(99);  // only when it did not re-execute
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quorvel
