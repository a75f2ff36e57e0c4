#pragma once
// Adding scans and the printed-text worker; also home of the log writer.
//
// ImportPipeline is the one way scan files enter the catalog. add() expands
// folders, tests each file against the tombstones of removed scans and the
// catalog (same path, same content), writes its thumbnail, gives it a title,
// a kind and the dates of its file name, stores it and queues it for the
// printed-text worker, which reads it in the background and stores the text.
//
// Threads: any thread may call add(), ensureThumbnails(), enqueue(),
// enqueuePending(), queuedForOcr() and waitUntilIdle(), also at the same time;
// startOcrWorker() and stopOcrWorker() are for one owning thread. Callbacks are
// called from the pipeline's own threads (several at once are possible); the
// receiver hops to its own thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/models.h"

namespace quorvel {

class Catalog;
class OcrEngine;
template <class T>
class Channel;

// Appends time-stamped lines to files in the data folder's logs folder.
// Any thread; whole entries never interleave. Failures are silent.
namespace Log {
// Appends "<stamp> <entry>\n" to logs/<fileName>, creating folder and file as needed.
void append(const std::string& fileName, const std::string& entry);
}  // namespace Log

enum class ImportPhase { scanning, adding, recognizing, done, cancelled, failed };

// Progress of adding scans or of printed-text reading.
struct ImportProgress {
  ImportPhase phase = ImportPhase::scanning;
  int done = 0;   // files finished so far
  int total = 0;  // files in this run; for recognizing: requests waiting
  std::optional<std::string> currentFile;
  std::optional<std::string> message;
};

class ImportPipeline {
 public:
  using ProgressCallback = std::function<void(const ImportProgress&)>;
  using ItemCallback = std::function<void(std::int64_t itemId)>;

  // Keeps the catalog (which must outlive the pipeline) and the page reader.
  // Starts nothing.
  ImportPipeline(Catalog& catalog, std::shared_ptr<OcrEngine> ocr);
  // Stops the printed-text worker (see stopOcrWorker()).
  ~ImportPipeline();
  ImportPipeline(const ImportPipeline&) = delete;
  ImportPipeline& operator=(const ImportPipeline&) = delete;

  Catalog& catalog() { return catalog_; }
  OcrEngine& ocr() { return *ocr_; }

  // Progress of adding (scanning, adding, done) and of reading (recognizing:
  // when a reading starts, when one fails and when one has ended, with the
  // requests still queued as the total).
  void setOnProgress(ProgressCallback callback);
  // An item's text, dates or thumbnail changed.
  void setOnItemRecognized(ItemCallback callback);

  // Readings at once; read when the worker starts. Defaults to 1 below 4
  // processor cores, else cores / 4.
  int ocrParallelism() const { return ocrParallelism_; }
  void setOcrParallelism(int width) { ocrParallelism_ = width; }
  // "<file name>: <message>" of the last failed reading.
  std::optional<std::string> lastError() const;
  // Files the last finished add() skipped because of a tombstone.
  int lastSkippedRemoved() const { return lastSkippedRemoved_; }

  // ---- Adding scans ----

  // Adds the supported scan files named and those inside the named folders
  // (in depth, hidden ones skipped), in the natural order of their paths, at
  // most addWindowWidth() at a time. Files found in a folder always respect
  // tombstones; files named directly follow respectRemoved (false: a removed
  // scan comes back and its tombstone goes). Blocks until done and returns
  // the ids of the new items in the order their additions finished. Never
  // fails as a whole: a file that cannot be added is counted and skipped.
  // A stop request starts no further files and returns what was added.
  std::vector<std::int64_t> add(const std::vector<std::string>& paths, bool respectRemoved,
                                std::stop_token stop = {});

  // The entries of one folder, for the walk of collectEntries(). Listing
  // errors (no permission, the folder removed since its parent was listed, a
  // failing disk) end that folder's list, not the walk.
  using FolderListing = std::function<std::vector<std::filesystem::directory_entry>(const std::filesystem::path&)>;
  static std::vector<std::filesystem::directory_entry> listFolder(const std::filesystem::path& folder);

  // The first step of add(): the files to add with their tombstone flag,
  // sorted like a file browser sorts them (case ignored, runs of digits by
  // value). Only regular files with a supported extension count (a symbolic
  // link is followed, a link to a folder is not entered); hidden files and
  // folders are skipped. Folders are walked in depth with `list`.
  struct Entry {
    std::string path;
    bool respectRemoved = true;
    bool operator==(const Entry&) const = default;
  };
  static std::vector<Entry> collectEntries(const std::vector<std::string>& paths, bool respectRemoved,
                                           const FolderListing& list = listFolder);

  // Remakes missing thumbnails of items whose scan still exists; returns how
  // many it made. Blocks.
  int ensureThumbnails();

  // The title a new item gets from its file name ("" for a camera's or
  // scanner's numbered default name).
  static std::string titleFromFileName(const std::string& fileName);
  // The kind a new item gets from words in its file name.
  static ItemKind guessKind(const std::string& fileName);

  // 2 below 4 processor cores, else cores / 2.
  static int addWindowWidth();
  // 1 below 4 processor cores, else cores / 4.
  static int defaultOcrParallelism();

  // ---- Printed-text worker ----

  // Starts the worker thread if it is not running.
  void startOcrWorker();
  // Ends the request stream and cancels the worker: requests not yet started
  // are dropped. Waits for the readings that are running. queuedForOcr() is
  // not reset. Must not be called from a callback of this pipeline.
  void stopOcrWorker();
  // Queues one reading; without force an item already read is left alone.
  // A request made while the worker is stopped is dropped and not counted.
  void enqueue(std::int64_t itemId, bool force = false);
  // Queues every item whose reading is pending, failed or running (in that
  // order, each newest first), except failed ones whose scan is gone;
  // returns how many.
  int enqueuePending();
  // Requests queued and not yet finished.
  int queuedForOcr() const;
  // Blocks until queuedForOcr() is 0 or `timeout` seconds have passed.
  void waitUntilIdle(double timeout);
  // One reading, on the calling thread: stores the text (a corrected text
  // stays), marks the item done, takes dates from text and file name and
  // calls the item callback. The worker calls it; tests may too.
  void recognizeOne(std::int64_t itemId, bool force);

 private:
  struct Request {
    std::int64_t id = 0;
    bool force = false;
  };
  struct AddState;

  // The new item id, or none; and whether a tombstone stopped the file.
  std::pair<std::optional<std::int64_t>, bool> addOne(const std::string& path, bool respectRemoved);
  void logError(const std::string& file, const std::string& message);
  void report(const ImportProgress& progress);
  void recognized(std::int64_t itemId);
  // Counts one request as finished; returns how many are left.
  int finishRequest();

  Catalog& catalog_;
  const std::shared_ptr<OcrEngine> ocr_;

  mutable std::mutex lock_;  // guards queued_ and continuation_
  int queued_ = 0;
  std::shared_ptr<Channel<Request>> continuation_;

  std::jthread worker_;  // touched only by the owning thread

  mutable std::mutex callbackLock_;  // guards the two callbacks
  ProgressCallback onProgress_;
  ItemCallback onItemRecognized_;

  std::atomic<int> ocrParallelism_{defaultOcrParallelism()};
  mutable std::mutex errorLock_;  // guards lastError_
  std::optional<std::string> lastError_;
  std::atomic<int> lastSkippedRemoved_{0};

  // Content being added right now, by SHA-256: a second file with the same
  // bytes waits for the first to be stored, so the content test and the
  // insert of identical files never overlap.
  std::mutex intakeLock_;
  std::condition_variable intakeDone_;
  std::set<std::string> inFlight_;  // guarded by intakeLock_
};

}  // namespace quorvel
