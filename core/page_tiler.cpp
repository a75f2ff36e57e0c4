#include "core/page_tiler.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace quorvel::PageTiler {

namespace {

std::int64_t ceilDiv(double numerator, double denominator) {
  return static_cast<std::int64_t>(std::ceil(numerator / denominator));
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

std::optional<TileCut> cut(const std::string&, const std::string&, double, std::int64_t,
                           std::int64_t, std::int64_t, bool) {
  return std::nullopt;
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
