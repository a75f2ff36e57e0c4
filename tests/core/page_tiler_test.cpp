#include "core/page_tiler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>
#include <vips/vips8>

#include "core/image_tools.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

TEST(PageTiler, PlansTheGrid) {
  struct Case {
    const char* name;
    std::int64_t width, height, columns;
    TileLayout want;
  } cases[] = {
      {"twoByFour", 2000, 2600, 0, {2000, 2600, 2, 4, 1100, 850, 200, 1.23}},
      {"justOneColumnWide", 1075, 1500, 0, {1075, 1500, 1, 2, 1075, 850, 200, 1.2}},
      {"oneColumnMore", 1076, 1500, 0, {1076, 1500, 2, 2, 638, 850, 200, 0.71}},
      {"heightWithinOverlap", 1000, 200, 0, {1000, 200, 1, 1, 1000, 850, 200, 1.12}},
      {"givenColumns", 2000, 850, 3, {2000, 850, 3, 1, 800, 850, 200, 0.89}},
  };
  for (const Case& c : cases) {
    TileLayout got = PageTiler::plan(c.width, c.height, 1.2, 850, 200, c.columns);
    EXPECT_EQ(got, c.want) << c.name;
  }
  EXPECT_EQ(PageTiler::plan(2000, 2600, 1.2, 850, 200).count(), 8);
  // An overlap as large as the tile height steps one pixel, never zero.
  EXPECT_EQ(PageTiler::plan(1000, 1000, 1.2, 100, 100).rows, 900);
}

// A tile of 1100 x 850 pixels (548 x 423 = 231,804 samples): a vertical
// gradient from 235 to 255 keeps the deviation above 4 without edges.
std::vector<std::uint8_t> gradientTile() {
  std::vector<std::uint8_t> gray(1100 * 850);
  for (int y = 0; y < 850; ++y)
    for (int x = 0; x < 1100; ++x) gray[y * 1100 + x] = static_cast<std::uint8_t>(235 + y * 20 / 850);
  return gray;
}

// Marks n single black pixels 8 pixels apart inside the tile, at sampled
// positions (each one dark sample and two edge samples above and below it) or
// one column beside them (two edge samples, no dark one).
void dots(std::vector<std::uint8_t>& gray, int n, bool onSamples) {
  for (int i = 0; i < n; ++i) {
    int x = 10 + (i % 100) * 8 + (onSamples ? 0 : 1);
    int y = 10 + (i / 100) * 8;
    gray[y * 1100 + x] = 0;
  }
}

TEST(PageTiler, BlankTestThresholds) {
  struct Case {
    const char* name;
    int marks;
    bool onSamples;
    bool blank;
  } cases[] = {
      {"clean", 0, true, true},
      {"darkBelow", 231, true, true},      // 231 dark, 462 edges
      {"darkAt", 232, true, false},        // 232 dark: 0.1 %
      {"edgesBelow", 231, false, true},    // 462 edges, no dark
      {"edgesAt", 232, false, false},      // 464 edges: 0.2 %
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> gray = gradientTile();
    dots(gray, c.marks, c.onSamples);
    EXPECT_EQ(PageTiler::isBlank(gray.data(), 1100, 0, 0, 1100, 850), c.blank) << c.name;
  }
  // A uniform tint has no deviation; tiny tiles are blank; a tile inside a page.
  std::vector<std::uint8_t> tint(1100 * 850, 240);
  EXPECT_TRUE(PageTiler::isBlank(tint.data(), 1100, 0, 0, 1100, 850));
  tint[400 * 1100 + 400] = 0;
  EXPECT_TRUE(PageTiler::isBlank(tint.data(), 1100, 0, 0, 19, 850));
  std::vector<std::uint8_t> gray = gradientTile();
  for (int y = 500; y < 520; ++y)
    for (int x = 600; x < 700; ++x) gray[y * 1100 + x] = 20;
  EXPECT_FALSE(PageTiler::isBlank(gray.data(), 1100, 550, 450, 300, 300));
  EXPECT_TRUE(PageTiler::isBlank(gray.data(), 1100, 0, 0, 300, 300));
}

// A white page with a black bar in the given cells of its tile grid.
std::string page(const testing::TempDir& dir, const char* name, int width, int height,
                 const std::vector<std::pair<int, int>>& marks) {
  EXPECT_TRUE(ImageTools::ensureStarted());
  vips::VImage img = vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + 255;
  img = img.cast(VIPS_FORMAT_UCHAR);
  for (auto [x, y] : marks) img.draw_rect({0, 0, 0}, x, y, 120, 14, vips::VImage::option()->set("fill", true));
  std::string path = dir.file(name);
  img.write_to_file(path.c_str());
  return path;
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PageTiler, CutsLeavingOutBlankTiles) {
  testing::TempDir dir;
  // Marks in the cells (row 1, col 1), (row 2, col 2) and (row 4, col 1) only;
  // every other cell of the 2 x 4 grid is white paper.
  std::string path = page(dir, "page.png", 2000, 2600, {{300, 300}, {1500, 900}, {200, 2400}});
  std::string work = dir.file("work/deeper");
  std::optional<TileCut> cut = PageTiler::cut(path, work, 1.2, 850, 200, 2000, true);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->layout, (TileLayout{2000, 2600, 2, 4, 1100, 850, 200, 1.23}));
  std::vector<PageTile> want = {
      {work + "/tile01_r1c1.jpg", 1, 1, 0, 0, 1100, 850},
      {work + "/tile02_r2c2.jpg", 2, 2, 900, 650, 1100, 850},
      {work + "/tile03_r4c1.jpg", 4, 1, 0, 1750, 1100, 850},
  };
  EXPECT_EQ(cut->tiles, want);
  EXPECT_EQ(namesIn(work), (std::vector<std::string>{"tile01_r1c1.jpg", "tile02_r2c2.jpg", "tile03_r4c1.jpg"}));
  ImageTools::PixelSize size = ImageTools::dimensions(want[1].file);
  EXPECT_EQ(size, (ImageTools::PixelSize{1100, 850}));

  PageTiler::cleanup(cut->tiles);
  EXPECT_TRUE(namesIn(work).empty());

  // Without the blank test every cell is written, rows at 0, 650, 1300, 1750.
  cut = PageTiler::cut(path, work, 1.2, 850, 200, 2000, false);
  ASSERT_TRUE(cut);
  ASSERT_EQ(cut->tiles.size(), 8u);
  EXPECT_EQ(cut->tiles[5].file, work + "/tile06_r3c2.jpg");
  EXPECT_EQ(cut->tiles[5].x, 900);
  EXPECT_EQ(cut->tiles[5].y, 1300);
  EXPECT_EQ(cut->tiles[7].y, 1750);
}

TEST(PageTiler, EnlargesSmallPagesAndDropsTinyOnes) {
  testing::TempDir dir;
  std::string small = page(dir, "small.png", 1000, 1500, {{100, 100}});
  std::optional<TileCut> cut = PageTiler::cut(small, dir.file("a"), 1.2, 850, 200, 2000, false);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->layout.width, 1333);
  EXPECT_EQ(cut->layout.height, 2000);
  EXPECT_EQ(cut->layout.columns, 2);

  // A strip 50 pixels high (its long edge is already 2000): no tile at all.
  std::string strip = page(dir, "strip.png", 2000, 50, {{100, 10}});
  cut = PageTiler::cut(strip, dir.file("b"), 1.2, 850, 200, 2000, false);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->layout.rows, 1);
  EXPECT_TRUE(cut->tiles.empty());

  // A narrow page: one column as wide as the page, one row as high as it.
  std::string narrow = page(dir, "narrow.png", 2000, 180, {{100, 50}});
  cut = PageTiler::cut(narrow, dir.file("c"), 1.2, 850, 200, 2000, false);
  ASSERT_TRUE(cut);
  ASSERT_EQ(cut->tiles.size(), 2u);
  EXPECT_EQ(cut->tiles[0].height, 180);

  testing::writeFile(dir.file("broken.png"), "not an image");
  EXPECT_FALSE(PageTiler::cut(dir.file("broken.png"), dir.file("d"), 1.2, 850, 200, 2000, true));
}

}  // namespace
}  // namespace quorvel
