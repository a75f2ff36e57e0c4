#include "core/handwriting_engine.h"

#include "core/paths.h"

namespace quorvel {

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

std::string HandwritingEngine::status() const { return "Not installed yet"; }

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
  server_.stop();
  saveSettings();
}

std::optional<std::int64_t> HandwritingEngine::estimateSeconds(std::int64_t, std::int64_t) const {
  return std::nullopt;
}

std::string HandwritingEngine::pretty(std::int64_t seconds) { return std::to_string(seconds) + " s"; }

std::string HandwritingEngine::complete(const std::optional<std::string>&, const std::string&,
                                        std::int64_t, const LlamaServer::StatusCallback&,
                                        std::stop_token) {
  throw Failure("The reader that runs on this computer isn't installed yet.");
}

OcrResult HandwritingEngine::readPage(const std::string&, const ProgressCallback&, std::stop_token) {
  OcrResult result;
  result.engine = engineName;
  result.error = "The handwriting reader isn't set up.";
  return result;
}

std::vector<std::string> HandwritingEngine::cleanTileAnswer(std::string_view) { return {}; }

std::string HandwritingEngine::lastReadLogPath() {
  return QuorvelPaths::logDir() + "/last-handwriting-read.txt";
}

}  // namespace quorvel
