#include "core/handwriting_queue.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/catalog.h"
#include "core/date_extractor.h"
#include "core/failure.h"
#include "core/import_pipeline.h"
#include "core/ocr.h"
#include "core/paths.h"
#include "core/text.h"

namespace quorvel {

namespace {

using nlohmann::json;

constexpr const char* kStopped = "Stopped";

// The ids of a JSON array of integers; none for anything else.
std::optional<std::vector<std::int64_t>> decodeIds(const std::string& bytes) {
  json parsed = json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
  std::vector<std::int64_t> ids;
  for (const json& value : parsed) {
    if (value.is_number_unsigned()) {
      auto u = value.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
      ids.push_back(static_cast<std::int64_t>(u));
    } else if (value.is_number_integer()) {
      ids.push_back(value.get<std::int64_t>());
    } else {
      return std::nullopt;
    }
  }
  return ids;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

}  // namespace

HandwritingQueue::HandwritingQueue(Catalog& catalog, HandwritingEngine& engine)
    : catalog_(catalog), engine_(engine) {}

HandwritingQueue::~HandwritingQueue() {
  std::vector<std::jthread> threads;
  {
    std::lock_guard guard(lock_);
    shuttingDown_ = true;
    threads = std::move(retired_);
    if (worker_.joinable()) threads.push_back(std::move(worker_));
  }
  for (std::jthread& t : threads) t.request_stop();
  // The jthreads join as they go; the worker leaves "work.json" as it stands.
}

std::string HandwritingQueue::filePath() { return QuorvelPaths::dataRoot() + "/work.json"; }

QueueState HandwritingQueue::snapshot() const {
  std::lock_guard guard(lock_);
  return state_;
}

void HandwritingQueue::persistLocked() const {
  std::vector<std::int64_t> ids;
  if (state_.currentItemId) ids.push_back(*state_.currentItemId);
  ids.insert(ids.end(), state_.waiting.begin(), state_.waiting.end());
  if (ids.empty()) {
    std::error_code ignored;  // no file is the same as an empty list
    std::filesystem::remove(filePath(), ignored);
  } else {
    writeFileAtomically(filePath(), json(ids).dump());  // the state in memory stays authoritative
  }
}

void HandwritingQueue::notify(const QueueState& state) const {
  if (onChange) onChange(state);
}

void HandwritingQueue::reapRetired() {
  std::vector<std::jthread> done;
  {
    std::lock_guard guard(lock_);
    done = std::move(retired_);
    retired_.clear();
  }
  for (std::jthread& t : done) {
    if (t.get_id() == std::this_thread::get_id()) {
      // Called from that worker's own last callback: it cannot join itself.
      std::lock_guard guard(lock_);
      retired_.push_back(std::move(t));
    }
  }
  // The others have left their loop; their jthreads join here as they go.
}

int HandwritingQueue::restore() {
  std::string bytes;
  if (!readWholeFile(filePath(), bytes)) return 0;
  std::optional<std::vector<std::int64_t>> ids = decodeIds(bytes);
  if (!ids || ids->empty()) return 0;
  if (!engine_.settings().isComplete()) return 0;  // the file waits for a later launch
  enqueue(*ids);
  return static_cast<int>(ids->size());
}

void HandwritingQueue::enqueue(const std::vector<std::int64_t>& ids) {
  QueueState copy;
  {
    std::lock_guard guard(lock_);
    for (std::int64_t id : ids) {
      if (state_.currentItemId == id ||
          std::find(state_.waiting.begin(), state_.waiting.end(), id) != state_.waiting.end())
        continue;
      state_.waiting.push_back(id);
    }
    persistLocked();
    if (!running_ && !shuttingDown_) {
      if (worker_.joinable()) retired_.push_back(std::move(worker_));
      running_ = true;
      worker_ = std::jthread([this](std::stop_token stop) { runLoop(stop); });
    }
    copy = state_;
  }
  notify(copy);
  reapRetired();
}

void HandwritingQueue::cancel(std::int64_t id) {
  QueueState copy;
  bool current = false;
  std::optional<std::stop_source> worker;
  {
    std::lock_guard guard(lock_);
    std::erase(state_.waiting, id);
    persistLocked();
    current = state_.currentItemId == id;
    if (current && running_) worker = worker_.get_stop_source();
    copy = state_;
  }
  // Stop requests run the reading's stop callbacks: never under the lock.
  if (current) {
    if (worker) worker->request_stop();  // the worker reports when it stops
  } else {
    notify(copy);
  }
}

void HandwritingQueue::cancelAll() {
  std::optional<std::stop_source> worker;
  {
    std::lock_guard guard(lock_);
    state_.waiting.clear();
    persistLocked();
    if (running_) worker = worker_.get_stop_source();
  }
  if (worker) worker->request_stop();
}

void HandwritingQueue::runLoop(std::stop_token stop) {
  while (true) {
    QueueState copy;
    std::int64_t id = 0;
    {
      std::lock_guard guard(lock_);
      if (shuttingDown_) {
        running_ = false;
        return;
      }
      if (state_.waiting.empty() || stop.stop_requested()) {
        state_.currentItemId.reset();
        state_.progress.reset();
        if (stop.stop_requested()) {
          state_.waiting.clear();
          state_.lastMessage = kStopped;
        }
        persistLocked();
        running_ = false;
        copy = state_;
      } else {
        id = state_.waiting.front();
        state_.waiting.erase(state_.waiting.begin());
        state_.currentItemId = id;
        state_.progress.reset();
        copy = state_;
      }
    }
    notify(copy);
    if (!copy.currentItemId) return;

    std::string message;
    try {
      message = readOne(id, stop);
    } catch (...) {
      // No exception may leave the worker; the item keeps its state.
      message = "That scan couldn't be read.";
    }
    std::lock_guard guard(lock_);
    if (shuttingDown_) {
      running_ = false;  // the interrupted item stays first in "work.json"
      return;
    }
    state_.currentItemId.reset();
    state_.progress.reset();
    state_.lastMessage = message;
    persistLocked();
  }
}

std::string HandwritingQueue::readOne(std::int64_t id, std::stop_token stop) {
  std::optional<ArchiveItem> item = catalog_.getItem(id);
  if (!item) return "That scan is no longer in the library.";
  const std::string title = item->displayTitle();
  std::error_code ignored;
  if (!std::filesystem::exists(item->path, ignored)) return title + ": the scan file is missing.";

  OcrResult result;
  try {
    result = engine_.readPage(
        item->path,
        [this](const HandwritingProgress& progress) {
          QueueState copy;
          {
            std::lock_guard guard(lock_);
            state_.progress = progress;
            copy = state_;
          }
          notify(copy);
        },
        stop);
  } catch (const Cancelled&) {
    return kStopped;
  }
  if (result.error) return title + ": " + *result.error;
  if (result.lines.empty()) return title + ": no handwriting found.";

  std::string uncertainJson;
  if (!result.uncertain.empty()) {
    try {
      uncertainJson = encodeUncertainWords(result.uncertain);
    } catch (...) {
      uncertainJson.clear();  // words that cannot be encoded are left out
    }
  }
  std::optional<Transcription> existing = catalog_.getTranscription(id);
  if (existing && existing->corrected && !text::trimmed(existing->text).empty())
    return title + ": kept your corrected text.";

  const std::string text = joinLines(result.lines);
  catalog_.saveRecognizedText(id, text, result.engine, std::nullopt, uncertainJson,
                              /*replaceCorrected=*/true);
  // The catalog reports failure only through lastError(), which a success
  // never clears: read the row back to know whether the reading is stored.
  std::optional<Transcription> stored = catalog_.getTranscription(id);
  if (!stored || stored->rawText != text || stored->engine != result.engine) {
    std::string reason = catalog_.lastError().value_or("unknown error");
    Log::append("handwriting.log", item->path + ": storing the reading failed: " + reason);
    return title + ": the reading couldn't be stored (" + reason + ").";
  }

  catalog_.replaceExtractedDates(id, DateExtractor::extractForItem(text, item->fileName, id));
  catalog_.setOcrStatus(id, OcrStatus::done);
  if (onItemDone) onItemDone(id);

  std::string message = title + ": handwriting read";
  if (!result.uncertain.empty())
    message += " · " + std::to_string(result.uncertain.size()) + " to check";
  return message;
}

}  // namespace quorvel
