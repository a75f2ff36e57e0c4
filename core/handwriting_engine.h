#pragma once
// The handwriting reader: its settings ("handwriting.json" in the data
// folder) and the engine that reads one page with the local vision model.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/llama_server.h"
#include "core/ocr.h"

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

// Progress of one page read.
struct HandwritingProgress {
  std::int64_t done = 0;   // tiles finished
  std::int64_t total = 0;  // tiles of the page; 0 while the page is being cut
  double secondsPerTile = 0;   // 0 while there is no estimate
  std::int64_t etaSeconds = 0;  // 0 while there is no estimate
  std::string message;

  bool operator==(const HandwritingProgress&) const = default;
};

// Reads the handwriting of one scanned page with the local vision model: cuts
// it into tiles, reads each tile through the model server, merges the texts.
// Holds the live reader settings and the process's one model-server
// controller. Any thread may call; the lock guards the settings only, and
// every operation works on a copy taken at its start. Page reads are not
// serialised here (the handwriting queue makes one at a time).
class HandwritingEngine {
 public:
  using ProgressCallback = std::function<void(const HandwritingProgress&)>;

  // Stored with every transcription the engine produces.
  static constexpr const char* engineName = "handwriting-gemma";
  // The instruction sent with every tile.
  static const std::string& prompt();

  // With no settings given, loads "handwriting.json" (or its defaults).
  // Starts nothing.
  explicit HandwritingEngine(std::optional<HandwritingSettings> settings = std::nullopt);
  ~HandwritingEngine();
  HandwritingEngine(const HandwritingEngine&) = delete;
  HandwritingEngine& operator=(const HandwritingEngine&) = delete;

  // A copy of the live settings.
  HandwritingSettings settings() const;
  // Replaces the settings, then saves the file.
  void setSettings(const HandwritingSettings& settings);
  // Changes the live settings in place under one hold of the lock, so that a
  // change made meanwhile by another thread (a page read storing its timing,
  // an install) is never overwritten by a stale copy; then saves the file.
  // `change` must not call back into the engine.
  void updateSettings(const std::function<void(HandwritingSettings&)>& change);

  // The model-server controller; made with the engine, never replaced.
  LlamaServer& server() { return server_; }
  const LlamaServer& server() const { return server_; }

  // The failure of the last page read that produced no text; cleared by a
  // read that produced text.
  std::optional<std::string> lastError() const;

  // The settings are complete: the reader can run.
  bool isAvailable() const;
  // "Not installed yet", or the model file's name, " · processor only" or
  // " · GPU", and the measured speed when there is one.
  std::string status() const;

  // Installs new reader paths (and tiling values where given), stops the
  // server so that its next start uses them, and saves the file.
  void useInstalled(const std::string& serverPath, const std::string& modelPath,
                    const std::string& mmprojPath, std::optional<double> maxSqueeze = std::nullopt,
                    std::optional<std::int64_t> tileHeight = std::nullopt,
                    std::optional<std::int64_t> overlap = std::nullopt);

  // Expected whole seconds to read a page of this pixel size from the
  // measured time per tile (plus the load time when the server is not
  // running); none without a measurement or for a size below 1.
  std::optional<std::int64_t> estimateSeconds(std::int64_t width, std::int64_t height) const;
  // A short duration: "59 s", "2 min", "1 h 0 min".
  static std::string pretty(std::int64_t seconds);

  // Reads one page. Every failure except cancellation comes back inside the
  // result (error set, no lines); a stop request throws Cancelled. `progress`
  // is called on the calling thread. The tile work folder is removed in every
  // case. Writes logs/last-handwriting-read.txt after every read that went
  // through its tiles.
  OcrResult readPage(const std::string& path, const ProgressCallback& progress = {},
                     std::stop_token stop = {});

  // One text completion by the model server, started when needed. Throws
  // Failure when the reader is not installed or cannot start, Cancelled on a
  // stop request before the request, and whatever LlamaServer::chat() throws.
  std::string complete(const std::optional<std::string>& system, const std::string& user,
                       std::int64_t maxTokens, const LlamaServer::StatusCallback& status = {},
                       std::stop_token stop = {});

  // The lines of one tile answer that are kept: empty lines and model noise
  // (turn markers, greetings, a lone ">") dropped, trailing white space
  // removed, leading white space kept.
  static std::vector<std::string> cleanTileAnswer(std::string_view answer);

  // The data root + "/logs/last-handwriting-read.txt".
  static std::string lastReadLogPath();

 private:
  void saveSettings();
  void setLastError(std::optional<std::string> error);

  mutable std::mutex lock_;      // guards settings_ only
  HandwritingSettings settings_;
  std::mutex saveLock_;          // orders saves so the newest settings are written last
  mutable std::mutex errorLock_;  // guards lastError_; a leaf lock
  std::optional<std::string> lastError_;
  LlamaServer server_;           // last: stopped before the rest goes
};

}  // namespace quorvel
