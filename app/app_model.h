#pragma once
// The application model: the one object that owns every core service for the
// life of the program, publishes what the windows show and carries every
// action that crosses the archive. Views read its fields, listen to its change
// signals and call its actions; they keep only what is typed, hovered or being
// decoded for display.
//
// Thread: everything here belongs to the GUI thread. Slow catalog work (the
// lists of reload()), the services' blocking calls (adding, questions,
// translations, the reader download, backups, exports, restores) run on
// worker threads; their results come back by queued calls that are dropped
// once the model is gone. No call on the GUI thread waits for a worker.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QObject>

#include "app/background.h"
#include "app/seams.h"
#include "core/archive_ask.h"
#include "core/backup_service.h"
#include "core/concurrency.h"
#include "core/catalog.h"
#include "core/folder_watcher.h"
#include "core/handwriting_engine.h"
#include "core/handwriting_queue.h"
#include "core/import_pipeline.h"
#include "core/keepsake_book.h"
#include "core/model_delivery.h"
#include "core/models.h"
#include "core/translator.h"

namespace quorvel {
class OcrEngine;
}

namespace quorvel::app {

// The sidebar's choice of what the library shows.
class LibraryFilter {
 public:
  enum class Case { all = 0, kind = 1, favorites = 2, needsReview = 3, person = 4, year = 5 };

  static LibraryFilter all() { return LibraryFilter(Case::all, 0); }
  static LibraryFilter kind(ItemKind kind) { return LibraryFilter(Case::kind, static_cast<int>(kind)); }
  static LibraryFilter favorites() { return LibraryFilter(Case::favorites, 0); }
  static LibraryFilter needsReview() { return LibraryFilter(Case::needsReview, 0); }
  static LibraryFilter person(std::int64_t personId) { return LibraryFilter(Case::person, personId); }
  static LibraryFilter year(int year) { return LibraryFilter(Case::year, year); }

  Case which() const { return case_; }
  // The payload: the kind (for kind), the person id (person), the year (year); 0 otherwise.
  ItemKind kindValue() const { return static_cast<ItemKind>(payload_); }
  std::int64_t personId() const { return payload_; }
  int yearValue() const { return static_cast<int>(payload_); }

  // "Library", "<kind label>s", "Favorites", "Needs Review", the person's
  // name from `people` (else "Person"), the year in digits.
  std::string title(const std::vector<Person>& people) const;

  bool operator==(const LibraryFilter&) const = default;
  // The case's position (0 to 5) combined with the payload.
  std::size_t hash() const;

 private:
  LibraryFilter(Case c, std::int64_t payload) : case_(c), payload_(payload) {}
  Case case_ = Case::all;
  std::int64_t payload_ = 0;
};

// One question of the question panel and its outcome; changed only through its id.
struct AskEntry {
  std::string id;  // made when the question is asked, never changed
  std::string question;
  std::optional<AskAnswer> answer;
  std::optional<std::string> error;
  std::optional<std::string> status;
  bool operator==(const AskEntry&) const = default;
};

// The cited excerpt to mark in the item view after a source was opened.
struct Highlight {
  std::int64_t itemId = 0;
  std::string quote;
  bool operator==(const Highlight&) const = default;
};

// The lists one reload loads; also what the reload worker hands back.
struct LibraryLists {
  std::vector<ArchiveItem> items;
  std::unordered_map<std::int64_t, std::string> snippets;
  std::unordered_map<std::int64_t, std::string> firstDates;
  std::vector<Person> people;
  std::vector<std::pair<int, int>> years;  // (year, count)
  CatalogStats stats;
};

class AppModel : public QObject {
  Q_OBJECT

 public:
  struct Options {
    Panels* panels = nullptr;    // not owned; must outlive the model
    Desktop* desktop = nullptr;  // not owned; must outlive the model
    // The page reader of the intake; a TesseractOcrEngine when none.
    std::shared_ptr<OcrEngine> ocr;
    // Hooks of the reader download (tests replace the clock, sleeps, free space).
    ModelDownloader::Hooks downloadHooks;
  };

  // The start-up steps in order: the reader settings, the data folder, a
  // staged restore, the catalog (or the recovery archive), the services and
  // their callbacks, the printed-text worker, the published state, watching,
  // the start-up task, the shut-down step, an interrupted reader download,
  // the first reload. Throws Failure only when not even the recovery archive
  // opens: the program cannot go on then.
  explicit AppModel(Options options, QObject* parent = nullptr);
  // Stops the background work and waits for the workers.
  ~AppModel() override;

  // "1.0.0" (the program's version).
  static std::string version();
  // The recovery folder: the system's temporary folder + "QuorvelInk-recovery".
  static std::string recoveryRoot();
  // SIGTERM, SIGINT and SIGHUP end the program by the normal quit path (call
  // once, after the QApplication exists).
  static void quitOnSignals();
  // The sentence for an error the person reads: a Failure's sentence, a file
  // error's reason; "Something went wrong." for an exception without text.
  static std::string describe(const std::exception& error);

  // ---- Services (constant for the life of the model) ----
  Catalog& catalog() { return *catalog_; }
  ImportPipeline& pipeline() { return *pipeline_; }
  HandwritingEngine& handwriting() { return *handwriting_; }
  HandwritingQueue& handwritingQueue() { return *handwritingQueue_; }
  FolderWatcher& watcher() { return *watcher_; }
  ModelDownloader& downloader() { return *downloader_; }
  Panels& panels() { return *panels_; }
  Desktop& desktop() { return *desktop_; }

  // ---- Published state (read) ----
  const std::vector<ArchiveItem>& items() const { return lists_.items; }
  const std::unordered_map<std::int64_t, std::string>& snippets() const { return lists_.snippets; }
  const std::unordered_map<std::int64_t, std::string>& firstDates() const { return lists_.firstDates; }
  const std::vector<Person>& people() const { return lists_.people; }
  const std::vector<std::pair<int, int>>& years() const { return lists_.years; }
  const CatalogStats& stats() const { return lists_.stats; }
  const LibraryFilter& filter() const { return filter_; }
  const std::string& searchText() const { return searchText_; }
  const std::vector<std::int64_t>& path() const { return path_; }
  const std::optional<std::string>& importMessage() const { return importMessage_; }
  const std::optional<double>& importFraction() const { return importFraction_; }
  const std::vector<RemovedItemSnapshot>& lastRemoved() const { return lastRemoved_; }
  int changeTick() const { return changeTick_; }
  const std::optional<std::string>& startupError() const { return startupError_; }
  const std::optional<std::string>& notice() const { return notice_; }
  const QueueState& queue() const { return queue_; }
  const std::optional<DownloadProgress>& download() const { return download_; }
  const std::optional<std::string>& downloadError() const { return downloadError_; }
  bool readerInstalled() const { return readerInstalled_; }
  const WatchSettings& watch() const { return watch_; }
  bool restoreStaged() const { return restoreStaged_; }
  int settingsTab() const { return settingsTab_; }
  bool showBook() const { return showBook_; }
  bool showAsk() const { return showAsk_; }
  const std::vector<AskEntry>& askHistory() const { return askHistory_; }
  bool asking() const { return asking_; }
  const std::optional<Highlight>& highlight() const { return highlight_; }
  const std::map<std::int64_t, std::string>& translating() const { return translating_; }
  const std::map<std::int64_t, std::string>& translateErrors() const { return translateErrors_; }
  const std::optional<std::string>& lastBook() const { return lastBook_; }
  // The items whose handwriting reading waits for the reader download.
  const std::vector<std::int64_t>& readAfterDownload() const { return readAfterDownload_; }
  // True while the reader download runs.
  bool downloadRunning() const { return downloadTask_.running() || downloadActive_; }
  // No download runs, the reader is not installed and partial files exist.
  bool downloadPaused() const;
  // True while "Rebuild Search Index" runs.
  bool rebuildingIndex() const { return rebuildingIndex_; }
  // The heading of the current list: "Search" while searching, else the filter's title.
  std::string title() const;
  // True while searchText, trimmed of spaces and tabs, is not empty.
  bool searching() const;

  // ---- Published state (set by views) ----
  // A different filter closes the opened item and reloads at once.
  void setFilter(const LibraryFilter& filter);
  // A different text schedules a reload after 0.25 s.
  void setSearchText(const std::string& text);
  void setPath(const std::vector<std::int64_t>& path);
  void setNotice(const std::optional<std::string>& notice);
  void clearStartupError();
  void setSettingsTab(int tab);
  void setShowBook(bool show);
  void setShowAsk(bool show);
  void setHighlight(const std::optional<Highlight>& highlight);
  void bumpChangeTick();
  // Gives up the undo of the last removal (the undo bar's dismiss button).
  void clearLastRemoved();

  // ---- Reloads ----
  // Loads the lists from the catalog on the reload worker; the newest request
  // wins and its result is applied on the GUI thread (listsChanged, reloaded).
  void reload();
  // One reload after the delay, coalesced with a request already waiting:
  // the first request's delay wins.
  void scheduleReload(double seconds);
  bool reloadPending() const { return reloadPending_; }
  // Reloads started so far (for tests and the benchmark).
  int reloadsStarted() const { return reloadsStarted_; }
  // True once the result of the newest reload requested so far was applied
  // (an earlier one may be applied first, while the newest still runs).
  bool newestReloadApplied() const { return appliedGeneration_ == reloadGeneration_; }

  // ---- Actions ----
  void importPaths(const std::vector<std::string>& paths);
  void pickAndImport();
  void addWatchedFolder();
  void removeWatchedFolder(const std::string& path);
  // Turns watching on or off, saving "watch.json".
  void setWatchingEnabled(bool enabled);
  void exportGedcom();
  void exportPdf(const ArchiveItem& item);
  void ask(const std::string& question);
  void openSource(const AskSource& source);
  void translate(std::int64_t itemId);
  void makeBook();
  void bookSaved(const std::string& path, const KeepsakeSummary& summary);
  void backUpNow();
  void restoreFromBackup();
  void cancelRestore();
  // Rebuilds both full-text indexes on a worker, then reloads.
  void rebuildSearchIndex();
  // Re-reads the item and flips only its favourite flag.
  void toggleFavorite(const ArchiveItem& item);
  void remove(const std::vector<std::int64_t>& ids);
  void undoRemove();
  // Queues the items for a handwriting reading.
  void readHandwriting(const std::vector<std::int64_t>& ids);

  // ---- The reader download ----
  void startDownload(const std::vector<std::int64_t>& thenRead);
  void pauseDownload();
  void removeReader();
  // The pause marker: models/download.paused.
  static std::string pauseMarkerPath();

  // ---- Save panels ----
  // The name with every "/" and NUL replaced by "-", so it never names a folder.
  static std::string safeFileName(const std::string& name);
  // The path with "." and the extension added, unless its file name already
  // ends in them (letter case aside).
  static std::string withExtension(const std::string& path, const std::string& extension);
  // The save panel with the title and the proposed name; the path chosen,
  // given the proposed name's extension when it was typed without it (and
  // then asked before a file of that name is replaced), or none.
  std::optional<std::string> savePanel(const std::string& title, const std::string& name);

  // ---- Texts (pure, for the views and tests) ----
  // The status line of an import progress given the printed-text queue length.
  static std::optional<std::string> importText(const ImportProgress& progress, int queuedForOcr);
  // "Translating part 2 of 3…", "Translating…", or none when done >= total.
  static std::optional<std::string> translateText(int done, int total);
  // The notice after a book was saved.
  static std::string bookSavedText(const std::string& fileName, const KeepsakeSummary& summary);

 signals:
  void listsChanged();  // items, snippets, firstDates, people, years, stats
  void reloaded();      // a reload's result was applied
  void filterChanged();
  void searchTextChanged();
  void pathChanged();
  void importStatusChanged();  // importMessage, importFraction
  void lastRemovedChanged();
  void changeTickChanged();
  void startupErrorChanged();
  void noticeChanged();
  void queueChanged();
  void downloadChanged();  // download, downloadError, readerInstalled, running, readAfterDownload
  void watchChanged();
  void restoreStagedChanged();
  void settingsTabChanged();
  void showBookChanged();
  void showAskChanged();
  void askChanged();  // askHistory, asking
  void highlightChanged();
  void translatingChanged();  // translating, translateErrors
  void lastBookChanged();
  void rebuildingIndexChanged();

 private:
  void handle(const ImportProgress& progress);
  void clearStatusSoon();
  void applyLists(std::uint64_t generation, LibraryLists lists);
  void itemChangedInBackground();
  void updateAskEntry(const std::string& id, const std::function<void(AskEntry&)>& change);
  void finishTranslation(std::int64_t itemId, std::optional<std::string> error);
  void downloadEnded(std::optional<std::string> error, bool cancelled);
  void installShutdown();
  void setImportStatus(std::optional<std::string> message, std::optional<double> fraction);

  Options options_;
  Panels* panels_ = nullptr;
  Desktop* desktop_ = nullptr;
  GuiLinkPtr link_;

  std::unique_ptr<HandwritingEngine> handwriting_;
  std::unique_ptr<Catalog> catalog_;
  std::unique_ptr<ImportPipeline> pipeline_;
  std::unique_ptr<ModelDownloader> downloader_;
  std::unique_ptr<HandwritingQueue> handwritingQueue_;
  std::unique_ptr<FolderWatcher> watcher_;
  std::unique_ptr<Translator> translator_;  // made on first use

  // Published fields.
  LibraryLists lists_;
  LibraryFilter filter_ = LibraryFilter::all();
  std::string searchText_;
  std::vector<std::int64_t> path_;
  std::optional<std::string> importMessage_;
  std::optional<double> importFraction_;
  std::vector<RemovedItemSnapshot> lastRemoved_;
  int changeTick_ = 0;
  std::optional<std::string> startupError_;
  std::optional<std::string> notice_;
  QueueState queue_;
  std::optional<DownloadProgress> download_;
  std::optional<std::string> downloadError_;
  bool readerInstalled_ = false;
  WatchSettings watch_;
  bool restoreStaged_ = false;
  int settingsTab_ = 0;
  bool showBook_ = false;
  bool showAsk_ = false;
  std::vector<AskEntry> askHistory_;
  bool asking_ = false;
  std::optional<Highlight> highlight_;
  std::map<std::int64_t, std::string> translating_;
  std::map<std::int64_t, std::string> translateErrors_;
  std::optional<std::string> lastBook_;
  bool rebuildingIndex_ = false;

  // Reloads.
  bool reloadPending_ = false;
  int reloadsStarted_ = 0;
  std::uint64_t reloadGeneration_ = 0;   // of the newest request
  std::uint64_t appliedGeneration_ = 0;  // of the newest result applied
  std::shared_ptr<std::atomic<std::uint64_t>> latestReload_;  // shared with the reload worker
  std::unique_ptr<SerialQueue> reloadQueue_;

  // The reader download.
  std::vector<std::int64_t> readAfterDownload_;
  WorkerHandle downloadTask_;
  bool downloadActive_ = false;  // from start until its end was applied on the GUI thread

  Workers workers_;  // last but the queue: joined first when the model goes
};

}  // namespace quorvel::app
