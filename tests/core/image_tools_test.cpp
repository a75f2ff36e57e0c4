#include "core/image_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "crafted_png.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::TempDir;
using testing::readFile;
using testing::writeFile;

class ImageToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ImageTools::ensureStarted()); }
  TempDir dir;
};

// An sRGB picture of one colour with a red block in its stored top-left corner,
// so a test can tell which way it came out.
vips::VImage picture(int width, int height, std::vector<double> rgb = {40, 90, 200}) {
  vips::VImage image = vips::VImage::black(width, height)
                           .new_from_image(rgb)
                           .cast(VIPS_FORMAT_UCHAR)
                           .copy(vips::VImage::option()->set("interpretation",
                                                             VIPS_INTERPRETATION_sRGB))
                           .copy_memory();
  image.draw_rect({255, 0, 0}, 0, 0, width / 4, height / 4,
                  vips::VImage::option()->set("fill", true));
  return image;
}

bool near(const std::vector<double>& got, const std::vector<double>& want, double tolerance) {
  if (got.size() < want.size()) return false;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (std::abs(got[i] - want[i]) > tolerance) return false;
  }
  return true;
}

TEST_F(ImageToolsTest, IsSupportedLooksAtTheLastExtensionOnly) {
  struct Case {
    const char* path;
    bool want;
  } cases[] = {
      {"/scans/Letter.JPG", true},       {"/scans/notes.txt", false},
      {"/scans/photo.HeIc", true},       {"/scans/page.tiff", true},
      {"/scans/archive.jpg.zip", false}, {"/scans.jpg/README", false},
      {"/scans/jpg", false},             {"/scans/.png", true},
      {"back.heif", true},               {"/scans/card.bmp", true},
  };
  for (const auto& c : cases) EXPECT_EQ(ImageTools::isSupported(c.path), c.want) << c.path;
  EXPECT_EQ(ImageTools::supportedExtensions().size(), 10u);
}

TEST_F(ImageToolsTest, Sha256OfKnownContents) {
  writeFile(dir.file("empty"), "");
  writeFile(dir.file("abc"), "abc");
  // Longer than two 1 MiB chunks, so the digest spans chunk boundaries.
  writeFile(dir.file("long"), std::string(2'500'000, 'a'));
  EXPECT_EQ(ImageTools::sha256(dir.file("empty")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ImageTools::sha256(dir.file("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ImageTools::sha256(dir.file("long")),
            "38a637965059125eeb67f54c30e7f48a61859a467a800ba09740ba48a924f2b9");
}

TEST_F(ImageToolsTest, Sha256OfWhatIsNoRegularFileIsEmpty) {
  std::filesystem::create_directory(dir.file("x.jpg"));
  ASSERT_EQ(::mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
  EXPECT_EQ(ImageTools::sha256(dir.file("missing.jpg")), "");
  EXPECT_EQ(ImageTools::sha256(dir.file("x.jpg")), "");
  EXPECT_EQ(ImageTools::sha256(dir.file("pipe.jpg")), "");  // and returns at once
  // A regular file whose read fails (EIO at offset 0): not the digest of no bytes.
  EXPECT_EQ(ImageTools::sha256("/proc/self/mem"), "");
}

TEST_F(ImageToolsTest, EverySupportedTypeLoads) {
  const vips::VImage source = picture(64, 48);
  using Save = std::function<void(const std::string&)>;
  auto heif = [&](VipsForeignHeifCompression compression) {
    return [&source, compression](const std::string& p) {
      source.heifsave(p.c_str(), vips::VImage::option()->set("compression", compression));
    };
  };
  const std::vector<std::pair<std::string, Save>> types = {
      {"jpg", [&](const std::string& p) { source.jpegsave(p.c_str()); }},
      {"jpeg", [&](const std::string& p) { source.jpegsave(p.c_str()); }},
      {"png", [&](const std::string& p) { source.pngsave(p.c_str()); }},
      {"tif", [&](const std::string& p) { source.tiffsave(p.c_str()); }},
      {"tiff", [&](const std::string& p) { source.tiffsave(p.c_str()); }},
      {"webp", [&](const std::string& p) { source.webpsave(p.c_str()); }},
      {"gif", [&](const std::string& p) { source.gifsave(p.c_str()); }},
      {"heic", heif(VIPS_FOREIGN_HEIF_COMPRESSION_HEVC)},
      {"heif", heif(VIPS_FOREIGN_HEIF_COMPRESSION_AV1)},
      {"bmp",
       [&](const std::string& p) {
         source.magicksave(p.c_str(), vips::VImage::option()->set("format", "bmp"));
       }},
  };
  ASSERT_EQ(types.size(), ImageTools::supportedExtensions().size());
  for (const auto& [ext, save] : types) {
    SCOPED_TRACE(ext);
    EXPECT_TRUE(ImageTools::supportedExtensions().count(ext));
    const std::string path = dir.file("scan." + ext);
    ASSERT_NO_THROW(save(path));
    EXPECT_EQ(ImageTools::dimensions(path), (ImageTools::PixelSize{64, 48}));
    const auto image = ImageTools::load(path, 32);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 32);
    EXPECT_EQ(image->height(), 24);
    EXPECT_EQ(image->format(), VIPS_FORMAT_UCHAR);
    EXPECT_TRUE(near(image->getpoint(2, 2), {255, 0, 0}, 40));
    EXPECT_TRUE(near(image->getpoint(24, 18), {40, 90, 200}, 40));
  }
}

TEST_F(ImageToolsTest, LoadShrinksToTheLongEdgeAndNeverEnlarges) {
  picture(4000, 3000).jpegsave(dir.file("big.jpg").c_str());
  picture(300, 200).pngsave(dir.file("small.png").c_str());
  picture(1000, 3001).pngsave(dir.file("tall.png").c_str());
  struct Case {
    const char* file;
    int maxLongEdge, width, height;
  } cases[] = {
      {"big.jpg", 512, 512, 384},
      {"small.png", 512, 300, 200},
      {"small.png", 300, 300, 200},
      {"tall.png", 1000, 333, 1000},
  };
  for (const auto& c : cases) {
    const auto image = ImageTools::load(dir.file(c.file), c.maxLongEdge);
    ASSERT_TRUE(image) << c.file;
    EXPECT_EQ(image->width(), c.width) << c.file << " at " << c.maxLongEdge;
    EXPECT_EQ(image->height(), c.height) << c.file << " at " << c.maxLongEdge;
  }
}

TEST_F(ImageToolsTest, QuarterTurnOrientationIsAppliedAndSwapsDimensions) {
  // Stored portrait, 3000 wide and 4000 high, to be shown turned a quarter
  // clockwise: the stored top-left corner ends up at the top right.
  vips::VImage stored = picture(3000, 4000);
  stored.set(VIPS_META_ORIENTATION, 6);
  stored.jpegsave(dir.file("turned.jpg").c_str());

  EXPECT_EQ(ImageTools::dimensions(dir.file("turned.jpg")), (ImageTools::PixelSize{4000, 3000}));
  const auto image = ImageTools::load(dir.file("turned.jpg"), 800);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 800);
  EXPECT_EQ(image->height(), 600);
  EXPECT_TRUE(near(image->getpoint(790, 10), {255, 0, 0}, 40));
  EXPECT_TRUE(near(image->getpoint(10, 10), {40, 90, 200}, 40));
  // A thumbnail written from it stays upright, with no orientation left to re-apply.
  ASSERT_TRUE(ImageTools::saveJpeg(*image, dir.file("thumb.jpg"), 0.8));
  EXPECT_EQ(ImageTools::dimensions(dir.file("thumb.jpg")), (ImageTools::PixelSize{800, 600}));
}

TEST_F(ImageToolsTest, UnreadableFilesGiveTheFailureValues) {
  writeFile(dir.file("notes.jpg"), "not an image at all");
  std::filesystem::create_directory(dir.file("folder.png"));
  for (const char* name : {"notes.jpg", "folder.png", "missing.png"}) {
    EXPECT_EQ(ImageTools::dimensions(dir.file(name)), (ImageTools::PixelSize{0, 0})) << name;
    EXPECT_FALSE(ImageTools::load(dir.file(name), 512)) << name;
    const auto thumb = ImageTools::makeThumbnail(dir.file(name), dir.file("thumbs"), "k", 512);
    EXPECT_FALSE(thumb.path) << name;
    EXPECT_EQ(thumb.width, 0) << name;
  }
}

TEST_F(ImageToolsTest, HeaderClaimingMorePixelsThanAnyScanIsRefusedBeforeDecoding) {
  // The same kind of file at a small size decodes: only the claimed size is refused.
  testing::writeHeaderBombPng(dir.file("small.png"), 40, 30);
  ASSERT_TRUE(ImageTools::load(dir.file("small.png"), 512));
  EXPECT_FALSE(ImageTools::exceedsPixelBudget({17320, 17320}));
  const auto started = std::chrono::steady_clock::now();
  for (std::uint32_t edge : {1'000'000u, 100'000u, 17'321u}) {
    const std::string path = dir.file("bomb" + std::to_string(edge) + ".png");
    testing::writeHeaderBombPng(path, edge, edge);
    const ImageTools::PixelSize claimed{static_cast<int>(edge), static_cast<int>(edge)};
    EXPECT_TRUE(ImageTools::exceedsPixelBudget(claimed)) << edge;
    EXPECT_EQ(ImageTools::dimensions(path), claimed) << "the header is still read";
    EXPECT_FALSE(ImageTools::load(path, 512)) << edge;
    EXPECT_FALSE(ImageTools::load(path, 12000)) << edge;
    const auto thumb = ImageTools::makeThumbnail(path, dir.file("thumbs"), "k", 512);
    EXPECT_FALSE(thumb.path) << edge;
    EXPECT_EQ(thumb.width, claimed.width);
  }
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 2.0);
}

TEST_F(ImageToolsTest, AJpegWhoseShrunkDecodeIsStillOverTheBudgetIsRefused) {
  // A small JPEG whose frame header claims 65000 x 65000. Asked for 12000 px,
  // libvips shrinks it only by 2 while decoding (it leaves a factor of two
  // to its own resize): 1.06 billion pixels, over the budget. Taken as a
  // shrink by 4 it would have looked like 264 million and been decoded.
  picture(64, 64).jpegsave(dir.file("claims.jpg").c_str());
  std::string bytes = readFile(dir.file("claims.jpg"));
  const std::size_t frame = bytes.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  for (const std::size_t at : {frame + 5, frame + 7}) {  // height, then width, big-endian
    bytes[at] = static_cast<char>(65000 >> 8);
    bytes[at + 1] = static_cast<char>(65000 & 0xFF);
  }
  writeFile(dir.file("claims.jpg"), bytes);
  ASSERT_EQ(ImageTools::dimensions(dir.file("claims.jpg")), (ImageTools::PixelSize{65000, 65000}));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(ImageTools::load(dir.file("claims.jpg"), 12000));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 2.0);
}

TEST_F(ImageToolsTest, ThumbnailIsWrittenIntoNewFolderWithTheSourceSize) {
  picture(2000, 1000).jpegsave(dir.file("letter.jpg").c_str());
  const std::string thumbs = dir.file("data/thumbs");
  const auto thumb = ImageTools::makeThumbnail(dir.file("letter.jpg"), thumbs, "0123abcd", 512);
  ASSERT_TRUE(thumb.path);
  EXPECT_EQ(*thumb.path, thumbs + "/0123abcd.jpg");
  EXPECT_EQ(thumb.width, 2000);
  EXPECT_EQ(thumb.height, 1000);
  EXPECT_EQ(ImageTools::dimensions(*thumb.path), (ImageTools::PixelSize{512, 256}));

  // The folder cannot be made (a file is in the way): no path, the size all the same.
  writeFile(dir.file("blocked"), "");
  const auto blocked = ImageTools::makeThumbnail(dir.file("letter.jpg"), dir.file("blocked/t"),
                                                 "k", 512);
  EXPECT_FALSE(blocked.path);
  EXPECT_EQ(blocked.width, 2000);
}

TEST_F(ImageToolsTest, ResizeRoundsHalfAwayFromZeroAndKeepsAtLeastOnePixel) {
  struct Case {
    int width, height;
    double scale;
    int wantWidth, wantHeight;
  } cases[] = {
      {3, 3, 0.5, 2, 2},     {3, 3, 0.1, 1, 1},       {5, 3, 0.5, 3, 2},
      {4000, 3000, 0.128, 512, 384}, {100, 10, 2.5, 250, 25}, {7, 7, 1.0, 7, 7},
  };
  for (const auto& c : cases) {
    const vips::VImage out = ImageTools::resize(picture(c.width, c.height), c.scale);
    EXPECT_EQ(out.width(), c.wantWidth) << c.width << "x" << c.height << " by " << c.scale;
    EXPECT_EQ(out.height(), c.wantHeight) << c.width << "x" << c.height << " by " << c.scale;
    EXPECT_EQ(out.bands(), 3);
  }
  // A transparent image is scaled over white; a grey one comes back as sRGB.
  const vips::VImage clear = vips::VImage::black(10, 10, vips::VImage::option()->set("bands", 4))
                                 .copy(vips::VImage::option()->set("interpretation",
                                                                   VIPS_INTERPRETATION_sRGB));
  EXPECT_TRUE(near(ImageTools::resize(clear, 0.5).getpoint(2, 2), {255, 255, 255}, 1));
  EXPECT_EQ(ImageTools::resize(vips::VImage::black(10, 10), 0.5).bands(), 3);
}

TEST_F(ImageToolsTest, CropClipsToTheImage) {
  const vips::VImage image = picture(100, 80);
  struct Case {
    int x, y, width, height;
    std::optional<std::pair<int, int>> want;
  } cases[] = {
      {10, 20, 30, 40, std::pair{30, 40}}, {90, 70, 30, 30, std::pair{10, 10}},
      {-5, -5, 20, 20, std::pair{15, 15}}, {100, 0, 10, 10, std::nullopt},
      {0, 0, 0, 10, std::nullopt},         {-50, 0, 10, 10, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto out = ImageTools::crop(image, c.x, c.y, c.width, c.height);
    ASSERT_EQ(out.has_value(), c.want.has_value()) << c.x << "," << c.y;
    if (out) {
      EXPECT_EQ(std::pair(out->width(), out->height()), *c.want) << c.x << "," << c.y;
    }
  }
  // The crop's origin is the image's top-left corner: the red block is there.
  EXPECT_TRUE(near(ImageTools::crop(image, 0, 0, 5, 5)->getpoint(0, 0), {255, 0, 0}, 0));
}

TEST_F(ImageToolsTest, TransparentImagesBecomeWhiteInJpeg) {
  vips::VImage clear = vips::VImage::black(40, 30, vips::VImage::option()->set("bands", 4))
                           .copy(vips::VImage::option()->set("interpretation",
                                                             VIPS_INTERPRETATION_sRGB));
  clear.pngsave(dir.file("clear.png").c_str());
  const auto loaded = ImageTools::load(dir.file("clear.png"), 100);
  ASSERT_TRUE(loaded);
  ASSERT_TRUE(ImageTools::saveJpeg(*loaded, dir.file("clear.jpg"), 0.9));
  const vips::VImage written = vips::VImage::new_from_file(dir.file("clear.jpg").c_str());
  EXPECT_EQ(written.bands(), 3);
  EXPECT_NEAR(written.avg(), 255, 1);

  const auto bytes = ImageTools::jpegData(*loaded, 0.9);
  ASSERT_TRUE(bytes);
  ASSERT_GT(bytes->size(), 2u);
  EXPECT_EQ((*bytes)[0], 0xFF);
  EXPECT_EQ((*bytes)[1], 0xD8);
  const vips::VImage decoded = vips::VImage::new_from_buffer(bytes->data(), bytes->size(), "");
  EXPECT_NEAR(decoded.avg(), 255, 1);

  EXPECT_FALSE(ImageTools::saveJpeg(*loaded, dir.file("no/such/folder/x.jpg"), 0.9));
}

TEST_F(ImageToolsTest, JpegQualityIsUsed) {
  // Noise compresses badly, so the quality shows in the size.
  const vips::VImage noise =
      vips::VImage::gaussnoise(200, 200).cast(VIPS_FORMAT_UCHAR).copy_memory();
  const auto low = ImageTools::jpegData(noise, 0.1);
  const auto high = ImageTools::jpegData(noise, 0.95);
  ASSERT_TRUE(low && high);
  EXPECT_LT(low->size() * 2, high->size());
}

TEST_F(ImageToolsTest, LuminanceStats) {
  auto grey = [](int w, int h, double v) {
    return vips::VImage::black(w, h).new_from_image({v}).cast(VIPS_FORMAT_UCHAR);
  };
  const auto flat = ImageTools::luminanceStats(grey(500, 300, 128));
  EXPECT_DOUBLE_EQ(flat.mean, 128);
  EXPECT_DOUBLE_EQ(flat.stddev, 0);
  const auto one = ImageTools::luminanceStats(grey(1, 1, 77));
  EXPECT_DOUBLE_EQ(one.mean, 77);
  EXPECT_DOUBLE_EQ(one.stddev, 0);
  // Half black, half white: mean and deviation both half the scale.
  const vips::VImage halves = grey(80, 320, 0).join(grey(80, 320, 255), VIPS_DIRECTION_HORIZONTAL);
  const auto split = ImageTools::luminanceStats(halves);
  EXPECT_NEAR(split.mean, 127.5, 1);
  EXPECT_NEAR(split.stddev, 127.5, 1);
  // Colour is measured as its grey value.
  const auto white = ImageTools::luminanceStats(picture(10, 10, {255, 255, 255}).extract_area(5, 5, 5, 5));
  EXPECT_NEAR(white.mean, 255, 0.5);
}

}  // namespace
}  // namespace quorvel
