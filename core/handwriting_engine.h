#pragma once
// The handwriting reader's settings ("handwriting.json" in the data folder).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// The one record that configures the handwriting reader. A plain value; any
// thread may use its own copy. The numbers are stored as the file holds them;
// the tiling accessors below make them safe to cut a page with.
struct HandwritingSettings {
  std::optional<std::string> serverPath;
  std::optional<std::string> modelPath;
  std::optional<std::string> mmprojPath;
  std::int64_t gpuLayers = 99;  // below 1: the model runs on the processor only
  double maxSqueeze = 1.2;
  std::int64_t tileHeight = 850;
  std::int64_t overlap = 200;
  std::int64_t tileTimeoutSeconds = 900;
  std::optional<double> measuredSecondsPerTile;
  std::optional<double> measuredLoadSeconds;
  bool skipBlankTiles = true;

  // The data root + "/handwriting.json", worked out anew at every call.
  static std::string filePath();
  // The record in filePath(), or the defaults when the file is missing,
  // unreadable or malformed. Never throws.
  static HandwritingSettings load();
  // Writes the record to filePath() atomically; every error is dropped and the
  // old file, if any, stays. The data folder is not created here.
  void save() const;

  // True when the three paths are present, serverPath names an executable
  // regular file and files exist at modelPath and mmprojPath. Checked anew
  // at every call; nothing is opened.
  bool isComplete() const;

  // Pretty-printed JSON with sorted keys; absent optional fields are left out.
  // Throws nlohmann::json's type_error when a path is not valid UTF-8.
  std::string toJson() const;
  // Every key optional (absent or null keeps the default), unknown keys
  // ignored; a value of the wrong kind (text for a number, a fractional number
  // for an integer field) or a top level that is not an object fails the whole
  // read. None on failure.
  static std::optional<HandwritingSettings> fromJson(std::string_view json);

  // Tiling values safe to cut a page with; the stored fields stay as they are.
  // maxSqueeze: 1.2 unless finite and positive, raised to at least 0.25 so
  // the column count cannot explode.
  double tilingMaxSqueeze() const;
  // tileHeight: 850 when below 60 pixels (a tile that small is always left out).
  std::int64_t tilingTileHeight() const;
  // overlap: 0 when negative, at most half of tilingTileHeight() (an overlap
  // near the tile height makes the vertical step 1 pixel and the rows explode).
  std::int64_t tilingOverlap() const;

  bool operator==(const HandwritingSettings&) const = default;
};

}  // namespace quorvel
