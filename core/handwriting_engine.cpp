#include "core/handwriting_engine.h"


#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>

#include "core/page_tiler.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/tile_merger.h"

namespace quorvel {

namespace {
constexpr std::int64_t kMinLongEdge = 2000;  // small scans are read enlarged to this long edge
constexpr std::int64_t kTileTokens = 300;
}  // namespace

const std::string& HandwritingEngine::prompt() {
  static const std::string text =
      "This is a piece cut out of a scanned page of handwriting. Transcribe every word you can "
      "see, line by line, in reading order. Write your best guess for each word even if you are "
      "not certain of it. Do not write rows of underscores, question marks or dots. Do not "
      "describe the image or add any commentary. Return only the text itself.";
  return text;
}

HandwritingEngine::HandwritingEngine(std::optional<HandwritingSettings> settings)
    : settings_(settings ? *settings : HandwritingSettings::load()) {}

HandwritingEngine::~HandwritingEngine() = default;

HandwritingSettings HandwritingEngine::settings() const {
  std::lock_guard guard(lock_);
  return settings_;
}

void HandwritingEngine::setSettings(const HandwritingSettings& settings) {
  updateSettings([&](HandwritingSettings& live) { live = settings; });
}

void HandwritingEngine::updateSettings(const std::function<void(HandwritingSettings&)>& change) {
  {
    std::lock_guard guard(lock_);
    change(settings_);
  }
  saveSettings();
}

void HandwritingEngine::saveSettings() {
  std::lock_guard order(saveLock_);
  settings().save();
}

std::optional<std::string> HandwritingEngine::lastError() const {
  std::lock_guard guard(errorLock_);
  return lastError_;
}

void HandwritingEngine::setLastError(std::optional<std::string> error) {
  std::lock_guard guard(errorLock_);
  lastError_ = std::move(error);
}

bool HandwritingEngine::isAvailable() const { return settings().isComplete(); }

std::string HandwritingEngine::status() const {
  HandwritingSettings s = settings();
  if (!s.isComplete()) return "Not installed yet";
  std::string out = std::filesystem::path(*s.modelPath).filename().string();
  out += s.gpuLayers < 1 ? " · processor only" : " · GPU";
  if (s.measuredSecondsPerTile)
    out += " · about " + std::to_string(std::llround(*s.measuredSecondsPerTile)) +
           " s per piece on this computer";
  return out;
}

void HandwritingEngine::useInstalled(const std::string& serverPath, const std::string& modelPath,
                                     const std::string& mmprojPath,
                                     std::optional<double> maxSqueeze,
                                     std::optional<std::int64_t> tileHeight,
                                     std::optional<std::int64_t> overlap) {
  {
    std::lock_guard guard(lock_);
    settings_.serverPath = serverPath;
    settings_.modelPath = modelPath;
    settings_.mmprojPath = mmprojPath;
    if (maxSqueeze) settings_.maxSqueeze = *maxSqueeze;
    if (tileHeight) settings_.tileHeight = *tileHeight;
    if (overlap) settings_.overlap = *overlap;
  }
  server_.stop();  // its next start uses the new paths
  saveSettings();
}

std::optional<std::int64_t> HandwritingEngine::estimateSeconds(std::int64_t width,
                                                               std::int64_t height) const {
  HandwritingSettings s = settings();
  if (!s.measuredSecondsPerTile || width < 1 || height < 1) return std::nullopt;
  const std::int64_t longEdge = std::max(width, height);
  const double scale = longEdge >= kMinLongEdge ? 1.0 : static_cast<double>(kMinLongEdge) /
                                                            static_cast<double>(longEdge);
  const auto w = static_cast<std::int64_t>(static_cast<double>(width) * scale);
  const auto h = static_cast<std::int64_t>(static_cast<double>(height) * scale);
  TileLayout layout =
      PageTiler::plan(w, h, s.tilingMaxSqueeze(), s.tilingTileHeight(), s.tilingOverlap());
  double seconds = *s.measuredSecondsPerTile * static_cast<double>(layout.count());
  if (!server_.isRunning()) seconds += s.measuredLoadSeconds.value_or(10);
  return static_cast<std::int64_t>(seconds);
}

std::string HandwritingEngine::pretty(std::int64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 3600) return std::to_string(std::llround(static_cast<double>(seconds) / 60)) + " min";
  return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A random version-4 UUID in upper-case text form.
std::string newUuid() {
  std::random_device device;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    std::uint32_t r = device();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(r >> (8 * j));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 0x0F];
  }
  return out;
}

// Removes the page's tile folder however the read ends.
class WorkFolder {
 public:
  explicit WorkFolder(std::string path) : path_(std::move(path)) {}
  ~WorkFolder() {
    std::error_code ignored;  // a folder that cannot be removed is left to the system
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The shortest text that reads back as the same double, with a digit after the point.
std::string decimal(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string out = ec == std::errc() ? std::string(buffer, end) : std::to_string(value);
  if (out.find_first_of(".eEn") == std::string::npos) out += ".0";
  return out;
}

bool noise(std::string_view line) {
  static const text::Regex pattern(
      "start_of_turn|end_of_turn|helpful assistant|^Hello$|^Hi there$|^How are you\\?$|"
      "^\\s*>\\s*$",
      /*caseInsensitive=*/true);
  return pattern.find(line);
}

std::string withoutTrailingSpace(const std::string& line) {
  std::vector<char32_t> cps = text::codePoints(line);
  while (!cps.empty() && text::isWhitespace(cps.back())) cps.pop_back();
  return text::fromCodePoints(cps);
}

void writeLastReadLog(const std::string& page, const TileLayout& layout, double seconds,
                      const std::vector<TileText>& tiles, const MergedPage& merged) {
  std::string out = page + "\n";
  out += std::to_string(layout.width) + "x" + std::to_string(layout.height) + " → " +
         std::to_string(layout.columns) + "x" + std::to_string(layout.rows) + " tiles, squeeze " +
         decimal(layout.squeeze) + ", " + std::to_string(static_cast<std::int64_t>(seconds)) +
         " s\n";
  auto joined = [](const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
    return text;
  };
  for (const TileText& t : tiles)
    out += "\n--- row " + std::to_string(t.tile.row) + " col " + std::to_string(t.tile.col) + "\n" +
           joined(t.lines) + "\n";
  out += "\n=== merged\n" + joined(merged.lines) + "\n";
  if (!merged.uncertain.empty()) {
    out += "\n=== needs a look\n";
    for (std::size_t i = 0; i < merged.uncertain.size(); ++i)
      out += (i ? "\n" : "") + merged.uncertain[i].Chosen + " / " + merged.uncertain[i].Alternative;
    out += "\n";
  }
  writeFileAtomically(HandwritingEngine::lastReadLogPath(), out);  // errors are ignored
}

}  // namespace

std::vector<std::string> HandwritingEngine::cleanTileAnswer(std::string_view answer) {
  std::string text(answer);
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  std::vector<std::string> kept;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::size_t first = line.find_first_not_of(" \t"), last = line.find_last_not_of(" \t");
    std::string trimmed = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (!trimmed.empty() && !noise(trimmed)) kept.push_back(withoutTrailingSpace(line));
    start = end + 1;
  }
  return kept;
}

OcrResult HandwritingEngine::readPage(const std::string& path, const ProgressCallback& progress,
                                      std::stop_token stop) {
  const HandwritingSettings s = settings();
  OcrResult result;
  result.engine = engineName;
  if (!s.isComplete()) {
    result.error = "The handwriting reader isn't set up.";
    return result;
  }
  auto report = [&](std::int64_t done, std::int64_t total, double perTile, std::int64_t eta,
                    const std::string& message) {
    if (progress) progress(HandwritingProgress{done, total, perTile, eta, message});
  };

  std::error_code ignored;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ignored);
  if (temp.empty()) temp = "/tmp";
  WorkFolder work((temp / "quorvel-tiles" / newUuid()).string());

  report(0, 0, 0, 0, "Cutting the page into pieces…");
  std::optional<TileCut> cut =
      PageTiler::cut(path, work.path(), s.tilingMaxSqueeze(), s.tilingTileHeight(),
                     s.tilingOverlap(), kMinLongEdge, s.skipBlankTiles);
  if (!cut) {
    result.error = "Couldn't open the scan.";
    return result;
  }
  const auto n = static_cast<std::int64_t>(cut->tiles.size());
  if (n == 0) return result;
  if (stop.stop_requested()) throw Cancelled();

  bool started = server_.ensureStarted(
      s, [&](const std::string& text) { report(0, n, 0, 0, text); }, stop);
  if (!started) {
    if (stop.stop_requested()) throw Cancelled();
    std::string error = server_.lastError().value_or("The handwriting reader couldn't start.");
    setLastError(error);
    result.error = error;
    return result;
  }
  if (std::optional<double> load = server_.lastStartSeconds(); load && *load > 1)
    updateSettings([&](HandwritingSettings& live) { live.measuredLoadSeconds = *load; });

  const std::int64_t skipped = cut->layout.count() - n;
  const std::string skipNote =
      skipped > 0 ? " (" + std::to_string(skipped) + " blank skipped)" : std::string();
  const auto start = std::chrono::steady_clock::now();
  std::vector<TileText> texts;
  std::optional<std::string> lastTileError;
  for (std::int64_t i = 0; i < n; ++i) {
    if (stop.stop_requested()) throw Cancelled();
    const double perTile = i > 0 ? secondsSince(start) / static_cast<double>(i)
                                 : s.measuredSecondsPerTile.value_or(0);
    const std::int64_t left = std::llround(perTile * static_cast<double>(n - i));
    std::string message = "Reading piece " + std::to_string(i + 1) + " of " + std::to_string(n) +
                          skipNote;
    if (left >= 1) message += " · about " + pretty(left) + " left";
    report(i, n, perTile, left, message);

    const PageTile& tile = cut->tiles[static_cast<std::size_t>(i)];
    std::optional<std::string> failure;
    try {
      std::string answer = server_.readImage(tile.file, prompt(), kTileTokens,
                                             static_cast<double>(s.tileTimeoutSeconds), stop);
      texts.push_back(TileText{tile, cleanTileAnswer(answer)});
    } catch (const TransportError& e) {
      if (e.cancelled() || stop.stop_requested()) throw Cancelled();
      failure = e.what();
    } catch (const Failure& e) {
      if (stop.stop_requested()) throw Cancelled();
      failure = e.message();
    } catch (const std::exception&) {
      if (stop.stop_requested()) throw Cancelled();
      failure = "The reader's answer for a piece of the page couldn't be read.";
    }
    if (!failure) continue;
    lastTileError = failure;
    texts.push_back(TileText{tile, {}});
    if (!server_.isRunning() && !server_.ensureStarted(s, {}, stop)) {
      if (stop.stop_requested()) throw Cancelled();
      break;  // the remaining tiles stay unread
    }
  }

  const double perTile = secondsSince(start) / static_cast<double>(std::max<std::int64_t>(n, 1));
  updateSettings([&](HandwritingSettings& live) {
    live.measuredSecondsPerTile = std::round(perTile * 10) / 10;
  });
  report(n, n, 0, 0, "Stitching the pieces together…");
  MergedPage merged = TileMerger::merge(texts);
  writeLastReadLog(path, cut->layout, secondsSince(start), texts, merged);

  if (!merged.lines.empty()) {
    setLastError(std::nullopt);
    result.lines = std::move(merged.lines);
    result.uncertain = std::move(merged.uncertain);
  } else {
    setLastError(lastTileError.value_or("The model returned nothing."));
    result.error = lastTileError;
  }
  return result;
}

std::string HandwritingEngine::complete(const std::optional<std::string>& system,
                                        const std::string& user, std::int64_t maxTokens,
                                        const LlamaServer::StatusCallback& status,
                                        std::stop_token stop) {
  const HandwritingSettings s = settings();
  if (!s.isComplete()) throw Failure("The reader that runs on this computer isn't installed yet.");
  if (!server_.ensureStarted(s, status, stop)) {
    if (stop.stop_requested()) throw Cancelled();
    throw Failure(server_.lastError().value_or("The reader couldn't start."));
  }
  if (stop.stop_requested()) throw Cancelled();
  const double timeout = static_cast<double>(std::max<std::int64_t>(s.tileTimeoutSeconds, 120));
  return server_.chat(system, user, maxTokens, 0, timeout, stop);
}

std::string HandwritingEngine::lastReadLogPath() {
  return QuorvelPaths::logDir() + "/last-handwriting-read.txt";
}

}  // namespace quorvel
