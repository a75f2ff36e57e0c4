#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/handwriting_engine.h"
#include "core/paths.h"

namespace quorvel {

namespace {

using nlohmann::json;

constexpr double kDefaultMaxSqueeze = 1.2;
constexpr double kLeastMaxSqueeze = 0.25;
constexpr std::int64_t kDefaultTileHeight = 850;
constexpr std::int64_t kLeastTileHeight = 60;  // the tiler leaves out anything lower

// Thrown inside fromJson() for a value of the wrong kind; never leaves it.
struct WrongKind {};

const json* present(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

void readText(const json& object, const char* key, std::optional<std::string>& field) {
  const json* value = present(object, key);
  if (!value) return;
  if (!value->is_string()) throw WrongKind{};
  field = value->get<std::string>();
}

double numberOf(const json& value) {
  if (!value.is_number()) throw WrongKind{};
  return value.get<double>();
}

void readDouble(const json& object, const char* key, double& field) {
  if (const json* value = present(object, key)) field = numberOf(*value);
}

void readDouble(const json& object, const char* key, std::optional<double>& field) {
  if (const json* value = present(object, key)) field = numberOf(*value);
}

// A whole number in the 64-bit range; 850.0 counts, 850.5 and "850" do not.
void readInteger(const json& object, const char* key, std::int64_t& field) {
  const json* value = present(object, key);
  if (!value) return;
  if (value->is_number_integer() && !value->is_number_unsigned()) {
    field = value->get<std::int64_t>();
  } else if (value->is_number_unsigned()) {
    auto u = value->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) throw WrongKind{};
    field = static_cast<std::int64_t>(u);
  } else if (value->is_number_float()) {
    double d = value->get<double>();
    // 2^63 itself is out of range, so the upper bound is exclusive.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
        d >= 9223372036854775808.0)
      throw WrongKind{};
    field = static_cast<std::int64_t>(d);
  } else {
    throw WrongKind{};
  }
}

void readFlag(const json& object, const char* key, bool& field) {
  const json* value = present(object, key);
  if (!value) return;
  if (!value->is_boolean()) throw WrongKind{};
  field = value->get<bool>();
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return !path.empty() && std::filesystem::exists(path, ignored);
}

}  // namespace

std::string HandwritingSettings::filePath() { return QuorvelPaths::dataRoot() + "/handwriting.json"; }

HandwritingSettings HandwritingSettings::load() {
  std::string bytes;
  if (!readWholeFile(filePath(), bytes)) return {};
  return fromJson(bytes).value_or(HandwritingSettings{});
}

void HandwritingSettings::save() const {
  try {
    writeFileAtomically(filePath(), toJson());  // a failed write keeps the old file
  } catch (...) {
    // An encoding failure leaves the old file, like a failed write.
  }
}

bool HandwritingSettings::isComplete() const {
  if (!serverPath || !modelPath || !mmprojPath) return false;
  return isExecutableFile(*serverPath) && fileExists(*modelPath) && fileExists(*mmprojPath);
}

std::string HandwritingSettings::toJson() const {
  json out = json::object();  // nlohmann's object keeps its keys sorted
  if (serverPath) out["serverPath"] = *serverPath;
  if (modelPath) out["modelPath"] = *modelPath;
  if (mmprojPath) out["mmprojPath"] = *mmprojPath;
  out["gpuLayers"] = gpuLayers;
  out["maxSqueeze"] = maxSqueeze;
  out["tileHeight"] = tileHeight;
  out["overlap"] = overlap;
  out["tileTimeoutSeconds"] = tileTimeoutSeconds;
  if (measuredSecondsPerTile) out["measuredSecondsPerTile"] = *measuredSecondsPerTile;
  if (measuredLoadSeconds) out["measuredLoadSeconds"] = *measuredLoadSeconds;
  out["skipBlankTiles"] = skipBlankTiles;
  return out.dump(2);
}

std::optional<HandwritingSettings> HandwritingSettings::fromJson(std::string_view text) {
  json parsed = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  HandwritingSettings s;
  try {
    readText(parsed, "serverPath", s.serverPath);
    readText(parsed, "modelPath", s.modelPath);
    readText(parsed, "mmprojPath", s.mmprojPath);
    readInteger(parsed, "gpuLayers", s.gpuLayers);
    readDouble(parsed, "maxSqueeze", s.maxSqueeze);
    readInteger(parsed, "tileHeight", s.tileHeight);
    readInteger(parsed, "overlap", s.overlap);
    readInteger(parsed, "tileTimeoutSeconds", s.tileTimeoutSeconds);
    readDouble(parsed, "measuredSecondsPerTile", s.measuredSecondsPerTile);
    readDouble(parsed, "measuredLoadSeconds", s.measuredLoadSeconds);
    readFlag(parsed, "skipBlankTiles", s.skipBlankTiles);
  } catch (const WrongKind&) {
    return std::nullopt;
  }
  return s;
}

double HandwritingSettings::tilingMaxSqueeze() const {
  if (!std::isfinite(maxSqueeze) || maxSqueeze <= 0) return kDefaultMaxSqueeze;
  return std::max(maxSqueeze, kLeastMaxSqueeze);
}

std::int64_t HandwritingSettings::tilingTileHeight() const {
  return tileHeight < kLeastTileHeight ? kDefaultTileHeight : tileHeight;
}

std::int64_t HandwritingSettings::tilingOverlap() const {
  return std::clamp<std::int64_t>(overlap, 0, tilingTileHeight() / 2);
}

}  // namespace quorvel
