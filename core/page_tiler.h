#pragma once
// Cutting a scanned page into a grid of overlapping tiles for the handwriting
// model, leaving out tiles that hold nothing but paper. Stateless; every
// operation may be called from any thread at the same time.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// The grid a page is cut into.
struct TileLayout {
  std::int64_t width = 0;       // page width in pixels, after loading and scaling
  std::int64_t height = 0;      // page height in pixels, after loading and scaling
  std::int64_t columns = 1;     // at least 1
  std::int64_t rows = 1;        // at least 1
  std::int64_t tileWidth = 0;   // planned tile width
  std::int64_t tileHeight = 0;  // planned tile height (the setting)
  std::int64_t overlap = 0;     // between neighbours, both directions (the setting)
  double squeeze = 0;           // tileWidth / encoderEdge, to two decimals

  // Planned tiles, the ones left out as blank or too small included.
  std::int64_t count() const { return columns * rows; }

  bool operator==(const TileLayout&) const = default;
};

// One tile written for reading.
struct PageTile {
  std::string file;  // full path of the tile's JPEG file
  std::int64_t row = 0;  // from 1 at the top
  std::int64_t col = 0;  // from 1 at the left
  std::int64_t x = 0;    // left edge in the page image
  std::int64_t y = 0;    // top edge in the page image
  std::int64_t width = 0;
  std::int64_t height = 0;

  bool operator==(const PageTile&) const = default;
};

// What cut() gives: the grid and the tiles written, row by row from the top,
// left to right within a row.
struct TileCut {
  TileLayout layout;
  std::vector<PageTile> tiles;
};

namespace PageTiler {

// The edge of the model's image encoder: tile widths are planned in its units.
inline constexpr std::int64_t encoderEdge = 896;

// The grid for a page of this size. A column count below 1 lets the width
// choose it: ceil(width / (maxSqueeze * encoderEdge)), at least 1.
TileLayout plan(std::int64_t width, std::int64_t height, double maxSqueeze,
                std::int64_t tileHeight, std::int64_t overlap, std::int64_t columns = 0);

// Loads the scan (long edge at most 12000 pixels), enlarges it to a long edge
// of minLongEdge when smaller, and writes every tile of at least 60 x 60
// pixels that is not blank (blank test only with skipBlank) into workDir as
// "tile%02d_r%dc%d.jpg" (running number, row, column), JPEG quality 0.92 on
// white. workDir is created with its parents; the caller owns and deletes it.
// None when the scan cannot be loaded. A tile that cannot be cropped or
// written is missing from the list; the running numbers stay consecutive.
// The values must be sane (HandwritingSettings' tiling accessors give such).
std::optional<TileCut> cut(const std::string& source, const std::string& workDir,
                           double maxSqueeze, std::int64_t tileHeight, std::int64_t overlap,
                           std::int64_t minLongEdge, bool skipBlank);

// True when the tile (x0, y0, tw, th) of an 8-bit gray page (0 black, 255
// white, rows of `stride` bytes, top first) holds nothing worth reading: no
// more than a trace of edges and dark pixels on a sample of every second
// pixel. The rectangle must lie inside the page.
bool isBlank(const std::uint8_t* gray, std::size_t stride, std::int64_t x0, std::int64_t y0,
             std::int64_t tw, std::int64_t th);

// Deletes each tile's file, ignoring errors.
void cleanup(const std::vector<PageTile>& tiles);

}  // namespace PageTiler

}  // namespace quorvel
