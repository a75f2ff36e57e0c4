// GEDCOM export against a fixed expected file, and the searchable PDF read
// back with poppler.
#include "core/exporters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>

#include "catalog_fixture.h"
#include "core/failure.h"
#include "core/image_tools.h"
#include "core/model_delivery.h"

namespace quorvel {
namespace {

using testing::readFile;
using testing::writeFile;

TEST(GedcomName, Forms) {
  struct Case { const char* name; std::string in, want; };
  for (const auto& c : std::vector<Case>{{"oneWordIsSurname", "Smith", "/Smith/"},
                                         {"empty", "", "//"},
                                         {"blank", "   ", "//"},
                                         {"givenAndSurname", "Mary  Ann Smith ", "Mary Ann /Smith/"},
                                         {"atDoubled", "J@ne D@e", "J@@ne /D@@e/"},
                                         {"lineBreakIsASpace", "Mary\r\nSmith", "Mary /Smith/"}}) {
    EXPECT_EQ(GedcomExporter::nameToGedcom(c.in), c.want) << c.name;
  }
}

// The header's date line is today's: put a fixed one in its place.
std::string withFixedDate(std::string ged) {
  const auto at = ged.find("\r\n1 DATE ");
  EXPECT_NE(at, std::string::npos);
  const auto end = ged.find("\r\n", at + 2);
  const std::string date = ged.substr(at + 9, end - at - 9);
  EXPECT_EQ(date.size(), 11u) << date;  // "08 DEC 2026"
  EXPECT_EQ(date, [&] { std::string u = date; for (auto& ch : u) ch = static_cast<char>(std::toupper(ch)); return u; }());
  return ged.replace(at + 9, end - at - 9, "01 JAN 2000");
}

class GedcomExport : public CatalogTest {};

// The fixture: two people sharing one letter, a photo with an uncorrected
// long reading, a scan with a blank title, and a person without scans.
TEST_F(GedcomExport, SmallArchiveMatchesTheExpectedFile) {
  auto item = makeItem("/scans/Letter 1923.JPG", 1);
  item.title = "Letter from @home";
  const auto letter = catalog->addItem(item);
  item = makeItem("/scans/beach.png", 2);
  item.title = "Beach\r\nday";
  const auto photo = catalog->addItem(item);
  item = makeItem("/scans/untitled.tiff", 3);
  item.title = " \t ";
  const auto blank = catalog->addItem(item);

  const auto mary = catalog->ensurePerson("Mary Ann Smith");
  const auto ouellet = catalog->ensurePerson("Ouellet");
  catalog->ensurePerson("Nobody Tagged");
  catalog->db().run("UPDATE people SET notes=? WHERE id=?", {std::string("Born in Québec.\rMoved west."), mary});
  catalog->tagPerson(letter, mary);
  catalog->tagPerson(letter, ouellet);
  catalog->tagPerson(photo, mary);
  catalog->tagPerson(blank, ouellet);
  catalog->addDate(letter, "1923-04-05", "text", true);
  catalog->addDate(letter, "1923", "text", false);
  catalog->saveCorrectedText(letter, "Dear Ann,\n\nAll is well @ home.");
  catalog->saveRecognizedText(photo, "Summer " + std::string(440, 'x') + "\r\nthe end", "tesseract", 0.9);
  catalog->saveRecognizedText(blank, "   \n ", "tesseract", 0.9);

  const std::string path = dir.file("family.ged");
  GedcomExporter::exportTo(*catalog, path, true);
  const std::string ged = readFile(path);
  EXPECT_NE(ged.substr(0, 3), "\xEF\xBB\xBF");  // no byte-order mark
  const std::string expected = readFile(std::string(QUORVEL_SOURCE_DIR) + "/tests/core/data/small_archive.ged");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(withFixedDate(ged), expected);
  EXPECT_FALSE(std::filesystem::exists(path + ".partial"));

  // Without transcriptions the notes of the scans go, the person's stays.
  GedcomExporter::exportTo(*catalog, path, false);
  const std::string plain = readFile(path);
  EXPECT_EQ(plain.find("auto-transcribed"), std::string::npos);
  EXPECT_EQ(plain.find("Dear Ann"), std::string::npos);
  EXPECT_NE(plain.find("1 NOTE Born in Québec."), std::string::npos);
}

TEST_F(GedcomExport, EmptyArchiveAndWriteFailure) {
  const std::string path = dir.file("empty.ged");
  GedcomExporter::exportTo(*catalog, path, true);
  const std::string ged = withFixedDate(readFile(path));
  EXPECT_EQ(ged.substr(ged.size() - 8), "0 TRLR\r\n");
  EXPECT_EQ(ged.find("INDI"), std::string::npos);

  EXPECT_THROW(GedcomExporter::exportTo(*catalog, dir.file("missing/folder/x.ged"), true),
               std::filesystem::filesystem_error);
}

// ---- Searchable PDF ----

std::string tool(const std::string& name, const std::vector<std::string>& args) {
  return Shell::run("/usr/bin/" + name, args);
}

void writeScan(const std::string& path, int width, int height) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  // Smooth ramps: JPEG keeps them close to the original.
  vips::VImage xy = vips::VImage::xyz(width, height);
  vips::VImage grey = (xy[0] * (255.0 / width)).cast(VIPS_FORMAT_UCHAR);
  vips::VImage blue = (xy[1] * (255.0 / height)).cast(VIPS_FORMAT_UCHAR);
  vips::VImage::bandjoin(std::vector<vips::VImage>{grey, grey, blue})
      .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
      .write_to_file(path.c_str());
}

// The page rendered at one pixel per point as raw RGB bytes.
std::string render(const std::string& pdf, const std::string& prefix) {
  tool("pdftoppm", {"-r", "72", "-singlefile", pdf, prefix});
  return readFile(prefix + ".ppm");
}

class SearchablePdf : public ::testing::Test {
 protected:
  testing::TempDir dir;
  ArchiveItem item;
  void SetUp() override {
    item.path = dir.file("scan.png");
    item.fileName = "scan.png";
    writeScan(item.path, 800, 1000);
  }
  Transcription text(const std::string& current, const std::string& raw = "") {
    Transcription t;
    t.text = current;
    t.rawText = raw;
    return t;
  }
};

TEST_F(SearchablePdf, InvisibleTextIsExtractedAndThePageShowsOnlyTheScan) {
  const std::string pdf = dir.file("scan.pdf");
  PdfExporter::exportSearchablePdf(item, text("  Chère Émilie, ça va?\r\n\n\t \nNaïve café 1923 \n"), pdf);
  EXPECT_FALSE(std::filesystem::exists(pdf + ".partial"));
  const std::string info = tool("pdfinfo", {pdf});
  EXPECT_NE(info.find("800 x 1000 pts"), std::string::npos) << info;
  const std::string extracted = tool("pdftotext", {pdf, "-"});
  EXPECT_NE(extracted.find("Chère Émilie, ça va?"), std::string::npos) << extracted;
  EXPECT_NE(extracted.find("Naïve café 1923"), std::string::npos) << extracted;

  // Two lines: margin 80, pitch 420, font size 20; the first baseline 900
  // points above the bottom, the second 480, both at x = 48.
  const std::string boxes = tool("pdftotext", {"-bbox", pdf, "-"});
  auto attribute = [&](const std::string& word, const std::string& name) {
    const auto at = boxes.find(">" + word + "<");
    const auto open = boxes.rfind("<word", at);
    const auto key = boxes.find(name + "=\"", open);
    return std::stod(boxes.substr(key + name.size() + 2));
  };
  EXPECT_NEAR(attribute("Chère", "xMin"), 48, 0.5);
  EXPECT_NEAR(attribute("Chère", "yMax"), 100, 6);   // the baseline, from the top, plus the descent
  EXPECT_NEAR(attribute("Naïve", "yMax"), 520, 6);

  // The text is invisible: the page renders exactly as the scan alone does.
  const std::string bare = dir.file("bare.pdf");
  PdfExporter::exportSearchablePdf(item, std::nullopt, bare);
  EXPECT_EQ(tool("pdftotext", {bare, "-"}).find_first_not_of(" \n\f"), std::string::npos);
  const std::string withText = render(pdf, dir.file("with")), alone = render(bare, dir.file("alone"));
  ASSERT_GT(withText.size(), 800u * 1000u * 3u);
  EXPECT_TRUE(withText == alone);
  // And the scan is what it shows (JPEG-compressed: close, not exact).
  vips::VImage shown = vips::VImage::new_from_file(dir.file("alone.ppm").c_str());
  vips::VImage scan = vips::VImage::new_from_file(item.path.c_str());
  ASSERT_EQ(shown.bands(), scan.bands());
  EXPECT_LT((shown - scan).abs().avg(), 3.0);
}

TEST_F(SearchablePdf, LongLinesAreWrappedSoThatEveryWordStaysOnThePage) {
  // A paragraph of 2,000 characters in one line, a second one, and a word wider than the page.
  std::string paragraph;
  std::vector<std::string> words;
  for (int i = 0; paragraph.size() < 2000; ++i) {
    words.push_back((i % 3 ? "harvest" : "Émilie") + std::to_string(i) + (i % 7 ? "" : ","));
    paragraph += (paragraph.empty() ? "" : i % 11 ? " " : "  \t") + words.back();
  }
  const std::string second = "The second paragraph is short.";
  const std::string giant = "Llanfair" + std::string(150, 'w') + "gogogoch";
  const std::string pdf = dir.file("long.pdf");
  PdfExporter::exportSearchablePdf(item, text(paragraph + "\n" + second + "\n" + giant), pdf);

  std::set<std::string> found;
  std::istringstream extracted(tool("pdftotext", {pdf, "-"}));
  for (std::string word; extracted >> word;) found.insert(word);
  for (const std::string& word : words) EXPECT_TRUE(found.contains(word)) << word;
  EXPECT_TRUE(found.contains("paragraph")) << "the second line stays";
  EXPECT_TRUE(found.contains(giant));

  // Every word's box lies on the 800-point page, and the lines go down the page in order.
  const std::string boxes = tool("pdftotext", {"-bbox", pdf, "-"});
  int seen = 0;
  double lastTop = -1;
  for (std::size_t at = boxes.find("<word"); at != std::string::npos; at = boxes.find("<word", at + 1)) {
    auto attribute = [&](const std::string& name) {
      return std::stod(boxes.substr(boxes.find(name + "=\"", at) + name.size() + 2));
    };
    EXPECT_GE(attribute("xMin"), 0.0);
    EXPECT_LE(attribute("xMax"), 800.0);
    EXPECT_GE(attribute("yMin"), lastTop - 1.0);
    lastTop = std::max(lastTop, attribute("yMin"));
    ++seen;
  }
  EXPECT_EQ(seen, static_cast<int>(words.size()) + 5 + 1);

  // Still invisible, the narrowed word included.
  const std::string bare = dir.file("bare.pdf");
  PdfExporter::exportSearchablePdf(item, std::nullopt, bare);
  EXPECT_TRUE(render(pdf, dir.file("long")) == render(bare, dir.file("bare")));
}

TEST_F(SearchablePdf, RawTextLongTextsAndFailures) {
  // The raw text serves when the current one is empty; 300 lines keep 8 points.
  std::string many;
  for (int i = 0; i < 300; ++i) many += "row" + std::to_string(i) + "\n";
  const std::string pdf = dir.file("many.pdf");
  PdfExporter::exportSearchablePdf(item, text("", many), pdf);
  const std::string extracted = tool("pdftotext", {"-raw", pdf, "-"});
  EXPECT_NE(extracted.find("row0"), std::string::npos);
  EXPECT_NE(extracted.find("row299"), std::string::npos);

  ArchiveItem missing = item;
  missing.path = dir.file("gone.jpg");
  const std::string target = dir.file("gone.pdf");
  try {
    PdfExporter::exportSearchablePdf(missing, std::nullopt, target);
    FAIL() << "a missing scan must fail";
  } catch (const Failure& f) {
    EXPECT_EQ(std::string(f.what()), "Couldn't open the scan: " + missing.path);
  }
  EXPECT_FALSE(std::filesystem::exists(target));

  writeFile(target, "old");
  try {
    PdfExporter::exportSearchablePdf(item, std::nullopt, dir.file("no/folder/x.pdf"));
    FAIL() << "an unwritable destination must fail";
  } catch (const Failure& f) {
    EXPECT_STREQ(f.what(), "Couldn't write the PDF.");
  }
}

}  // namespace
}  // namespace quorvel
