#include "core/page_tiler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/image_tools.h"

namespace quorvel::PageTiler {

namespace {

std::int64_t ceilDiv(double numerator, double denominator) {
  return static_cast<std::int64_t>(std::ceil(numerator / denominator));
}

constexpr int kMaxLoadEdge = 12000;
constexpr std::int64_t kLeastTileEdge = 60;
constexpr double kTileQuality = 0.92;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// 8-bit gray pixels of the whole image, one byte a pixel, rows top first,
// stride = width; transparent parts count as white. None when they cannot be made.
std::unique_ptr<std::uint8_t, FreeDeleter> grayBytes(const vips::VImage& image) {
  try {
    vips::VImage img = image;
    if (img.format() != VIPS_FORMAT_UCHAR) img = img.colourspace(VIPS_INTERPRETATION_sRGB);
    if (img.format() != VIPS_FORMAT_UCHAR) img = img.cast(VIPS_FORMAT_UCHAR);
    if (img.has_alpha()) {
      img = img.flatten(vips::VImage::option()->set(
          "background", std::vector<double>(static_cast<std::size_t>(img.bands() - 1), 255.0)));
    }
    if (img.bands() >= 3) img = img.colourspace(VIPS_INTERPRETATION_B_W);
    if (img.format() != VIPS_FORMAT_UCHAR) img = img.cast(VIPS_FORMAT_UCHAR);
    if (img.bands() > 1) img = img.extract_band(0);
    std::size_t size = 0;
    auto* bytes = static_cast<std::uint8_t*>(img.write_to_memory(&size));
    std::unique_ptr<std::uint8_t, FreeDeleter> out(bytes);
    if (!bytes || size != static_cast<std::size_t>(image.width()) *
                              static_cast<std::size_t>(image.height()))
      return nullptr;
    return out;
  } catch (const vips::VError&) {
    return nullptr;
  }
}

std::string tileName(std::size_t number, std::int64_t row, std::int64_t col) {
  char name[96];
  std::snprintf(name, sizeof name, "tile%02zu_r%lldc%lld.jpg", number, static_cast<long long>(row),
                static_cast<long long>(col));
  return name;
}

}  // namespace

TileLayout plan(std::int64_t width, std::int64_t height, double maxSqueeze,
                std::int64_t tileHeight, std::int64_t overlap, std::int64_t columns) {
  TileLayout layout;
  layout.width = width;
  layout.height = height;
  layout.tileHeight = tileHeight;
  layout.overlap = overlap;
  layout.columns = columns >= 1 ? columns
                                : std::max<std::int64_t>(
                                      1, ceilDiv(static_cast<double>(width),
                                                 maxSqueeze * static_cast<double>(encoderEdge)));
  layout.tileWidth = ceilDiv(static_cast<double>(width + (layout.columns - 1) * overlap),
                             static_cast<double>(layout.columns));
  layout.rows = std::max<std::int64_t>(
      1, ceilDiv(static_cast<double>(height - overlap),
                 static_cast<double>(std::max<std::int64_t>(tileHeight - overlap, 1))));
  // std::round rounds halves away from zero.
  layout.squeeze =
      std::round(static_cast<double>(layout.tileWidth) / static_cast<double>(encoderEdge) * 100) /
      100;
  return layout;
}

std::optional<TileCut> cut(const std::string& source, const std::string& workDir,
                           double maxSqueeze, std::int64_t tileHeight, std::int64_t overlap,
                           std::int64_t minLongEdge, bool skipBlank) {
  {
    std::error_code ignored;  // a missing folder makes every tile write fail: no tiles
    std::filesystem::create_directories(workDir, ignored);
  }
  std::optional<vips::VImage> loaded = ImageTools::load(source, kMaxLoadEdge);
  if (!loaded) return std::nullopt;
  vips::VImage page = *loaded;
  const std::int64_t longEdge = std::max(page.width(), page.height());
  if (longEdge > 0 && longEdge < minLongEdge)
    page = ImageTools::resize(page, static_cast<double>(minLongEdge) / static_cast<double>(longEdge));

  const std::int64_t width = page.width(), height = page.height();
  TileCut result;
  result.layout = plan(width, height, maxSqueeze, tileHeight, overlap);
  const TileLayout& layout = result.layout;
  const std::int64_t stepX = std::max<std::int64_t>(layout.tileWidth - overlap, 1);
  const std::int64_t stepY = std::max<std::int64_t>(tileHeight - overlap, 1);

  std::unique_ptr<std::uint8_t, FreeDeleter> gray;
  if (skipBlank) gray = grayBytes(page);

  for (std::int64_t r = 0; r < layout.rows; ++r) {
    const std::int64_t y = std::min(r * stepY, std::max<std::int64_t>(height - tileHeight, 0));
    const std::int64_t th = std::min(height - y, tileHeight);
    for (std::int64_t c = 0; c < layout.columns; ++c) {
      const std::int64_t x =
          std::min(c * stepX, std::max<std::int64_t>(width - layout.tileWidth, 0));
      const std::int64_t tw = std::min(width - x, layout.tileWidth);
      if (tw < kLeastTileEdge || th < kLeastTileEdge) continue;
      if (gray && isBlank(gray.get(), static_cast<std::size_t>(width), x, y, tw, th)) continue;
      std::optional<vips::VImage> piece = ImageTools::crop(
          page, static_cast<int>(x), static_cast<int>(y), static_cast<int>(tw), static_cast<int>(th));
      if (!piece) continue;
      std::string file = workDir + "/" + tileName(result.tiles.size() + 1, r + 1, c + 1);
      if (!ImageTools::saveJpeg(*piece, file, kTileQuality)) continue;
      result.tiles.push_back(PageTile{file, r + 1, c + 1, x, y, tw, th});
    }
  }
  return result;
}

bool isBlank(const std::uint8_t* gray, std::size_t stride, std::int64_t x0, std::int64_t y0,
             std::int64_t tw, std::int64_t th) {
  if (tw < 20 || th < 20) return true;
  auto at = [&](std::int64_t x, std::int64_t y) -> int {
    return gray[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)];
  };
  double sum = 0, squares = 0;
  std::int64_t n = 0;
  for (std::int64_t y = y0 + 2; y < y0 + th - 2; y += 2) {
    for (std::int64_t x = x0 + 2; x < x0 + tw - 2; x += 2) {
      double p = at(x, y);
      sum += p;
      squares += p * p;
      ++n;
    }
  }
  if (n == 0) return true;
  double mean = sum / static_cast<double>(n);
  double variance = squares / static_cast<double>(n) - mean * mean;
  double deviation = variance > 0 ? std::sqrt(variance) : 0;
  if (deviation < 4) return true;

  std::int64_t edges = 0, dark = 0;
  for (std::int64_t y = y0 + 2; y < y0 + th - 2; y += 2) {
    for (std::int64_t x = x0 + 2; x < x0 + tw - 2; x += 2) {
      int p = at(x, y);
      int strength = std::abs(at(x + 1, y) - at(x - 1, y)) + std::abs(at(x, y + 2) - at(x, y - 2));
      if (strength > 21) {
        ++edges;
        if (p < mean - 22) ++dark;
      } else if (p < mean - 35) {
        ++dark;
      }
    }
  }
  double count = static_cast<double>(n);
  return static_cast<double>(edges) / count < 0.002 && static_cast<double>(dark) / count < 0.001;
}

void cleanup(const std::vector<PageTile>& tiles) {
  for (const PageTile& tile : tiles) {
    std::error_code ignored;  // a tile already gone is fine
    std::filesystem::remove(tile.file, ignored);
  }
}

}  // namespace quorvel::PageTiler
