#pragma once
// Watched folders: the settings file "watch.json" and the watcher that adds
// scans appearing in those folders by itself.
//
// The watcher listens with inotify to every folder below the watched ones
// (folders created later are watched as they appear). Once the folders have
// been quiet for settleSeconds after a change it sweeps them: the files of
// the folders go to ImportPipeline::add with tombstones respected, which skips
// what is already in the archive and what the user removed. A sweep leaves
// out files that have not stopped changing (still open for writing, or
// changed within settleSeconds) and looks at them again later.
//
// All state lives on the watcher's serial queue "quorvel.watcher": events,
// delayed sweeps and the end of each sweep run there, and start(), update(),
// stop(), settings() and sweepNow() reach it synchronously, so they must not
// be called from onAdded. The adding itself runs on a sweep thread of its own.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class ImportPipeline;

// The watched folders and whether watching is on.
struct WatchSettings {
  std::vector<std::string> folders;  // absolute paths, in the user's order
  bool enabled = true;

  // The data root followed by "/watch.json", worked out on every call.
  static std::string filePath();
  // The file's settings; the defaults when it is missing, unreadable, or
  // lacks a key or has one of the wrong type. Never fails.
  static WatchSettings load();
  // Writes the settings as pretty-printed JSON, atomically; a failure is
  // ignored and leaves the old file.
  void save() const;

  bool operator==(const WatchSettings&) const = default;
};

class FolderWatcher {
 public:
  using AddedCallback = std::function<void(int added)>;

  // Keeps the pipeline (which must outlive the watcher) and the settings, or
  // loads them from "watch.json" when none are given. Starts nothing.
  explicit FolderWatcher(ImportPipeline& pipeline,
                         std::optional<WatchSettings> settings = std::nullopt);
  // Stops watching, drops a scheduled sweep, stops a running sweep from
  // starting further files and waits for it (unless called on its thread).
  ~FolderWatcher();
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Watches the existing folders of the settings when watching is on, and
  // sweeps them once 1 s later (files that came while nobody watched).
  void start();
  // Replaces the settings, saves them to "watch.json" and restarts watching.
  void update(const WatchSettings& settings);
  // Stops watching and drops a scheduled sweep; start() may follow.
  void stop();
  // Adds the existing watched folders at once, whatever `enabled` says and
  // whether or not a sweep is running, leaving out files known to be still
  // open for writing; returns the number of scans added. Blocks; does not
  // call onAdded.
  int sweepNow();

  WatchSettings settings() const;

  // Called on the sweep thread after a sweep that added at least one scan.
  void setOnAdded(AddedCallback callback);
  // How long the folders must be quiet after a change before a sweep: 4 s.
  double settleSeconds() const;
  void setSettleSeconds(double seconds);

  // Seconds the event source gathers events after the first of a batch.
  static constexpr double kLatencySeconds = 1.0;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;  // shared weakly with delayed sweeps and the sweep thread
};

}  // namespace quorvel
