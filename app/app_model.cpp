// The application model: start-up, the published state and the reloads.
#include "app/app_model.h"

#include <csignal>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "core/concurrency.h"
#include "core/llama_server.h"
#include "core/ocr.h"
#include "core/paths.h"

namespace quorvel::app {

namespace fs = std::filesystem;

// ---- LibraryFilter ----

std::string LibraryFilter::title(const std::vector<Person>& people) const {
  switch (case_) {
    case Case::all:
      return "Library";
    case Case::kind:
      return label(kindValue()) + "s";
    case Case::favorites:
      return "Favorites";
    case Case::needsReview:
      return "Needs Review";
    case Case::person:
      for (const Person& person : people) {
        if (person.id == payload_) return person.name;
      }
      return "Person";
    case Case::year:
      return std::to_string(payload_);
  }
  return "Library";
}

std::size_t LibraryFilter::hash() const {
  std::size_t h = std::hash<int>()(static_cast<int>(case_));
  h ^= std::hash<std::int64_t>()(payload_) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  return h;
}

// ---- Small helpers ----

std::string AppModel::version() { return QUORVEL_VERSION; }

std::string AppModel::recoveryRoot() {
  std::error_code error;
  fs::path temp = fs::temp_directory_path(error);
  if (error) temp = "/tmp";
  return (temp / "QuorvelInk-recovery").string();
}

std::string AppModel::describe(const std::exception& error) {
  if (auto* file = dynamic_cast<const fs::filesystem_error*>(&error)) {
    std::string reason = file->code().message();
    if (!reason.empty()) reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
    return reason + ".";
  }
  if (auto* system = dynamic_cast<const std::system_error*>(&error)) {
    std::string reason = system->code().message();
    if (!reason.empty()) reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
    return reason + ".";
  }
  std::string text = error.what();
  return text.empty() ? "Something went wrong." : text;
}

std::string AppModel::pauseMarkerPath() { return QuorvelPaths::modelDir() + "/download.paused"; }

std::string AppModel::safeFileName(const std::string& name) {
  std::string safe = name;
  for (char& c : safe) {
    if (c == '/' || c == '\0') c = '-';
  }
  return safe;
}

std::string AppModel::withExtension(const std::string& path, const std::string& extension) {
  if (extension.empty()) return path;
  const std::string ending = "." + extension;
  const std::string name = fs::path(path).filename().string();
  if (name.size() > ending.size() &&
      QString::fromStdString(name).endsWith(QString::fromStdString(ending), Qt::CaseInsensitive)) {
    return path;
  }
  return path + ending;
}

std::optional<std::string> AppModel::savePanel(const std::string& title, const std::string& name) {
  std::optional<std::string> path = panels_->save(title, name);
  if (!path) return std::nullopt;
  const auto dot = name.find_last_of('.');
  const std::string completed = withExtension(*path, dot == std::string::npos ? "" : name.substr(dot + 1));
  if (completed == *path) return path;
  // The panel asked about replacing the name as typed, not this one.
  std::error_code error;
  if (fs::exists(completed, error)) {
    const fs::path file(completed);
    if (!panels_->confirm("Replace \u201c" + file.filename().string() + "\u201d?",
                          "A file with that name is already in " + file.parent_path().string() +
                              ". Replacing it overwrites what it holds.",
                          "Replace")) {
      return std::nullopt;
    }
  }
  return completed;
}

// The write end of the pipe the signal handler writes to.
static int signalPipe[2] = {-1, -1};

static void onQuitSignal(int) {
  const char byte = 1;
  // Only async-signal-safe calls here: the GUI thread reads the pipe.
  [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void AppModel::quitOnSignals() {
  static bool installed = false;
  if (installed || ::pipe(signalPipe) != 0) return;
  installed = true;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    char byte;
    [[maybe_unused]] ssize_t got = ::read(signalPipe[0], &byte, 1);
    QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// ---- Start-up ----

AppModel::AppModel(Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      panels_(options_.panels),
      desktop_(options_.desktop),
      link_(std::make_shared<GuiLink>(this)),
      latestReload_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      reloadQueue_(std::make_unique<SerialQueue>("quorvel.reload")) {
  // 1. The reader settings, from "handwriting.json" or the defaults.
  handwriting_ = std::make_unique<HandwritingEngine>();
  // 2. The published fields have their defaults (members).
  // 3. The data folder.
  QuorvelPaths::ensureCreated();
  // 4. A restore staged by the previous run, before anything opens the catalog.
  const std::optional<std::string> restored = BackupService::applyPendingRestore();
  // 5. The catalog, or an empty temporary one when it cannot be opened.
  try {
    catalog_ = std::make_unique<Catalog>(QuorvelPaths::catalogFile());
  } catch (const std::exception& first) {
    const std::string reason = describe(first);
    QuorvelPaths::useRoot(recoveryRoot());
    try {
      catalog_ = std::make_unique<Catalog>(QuorvelPaths::catalogFile());
    } catch (const std::exception& second) {
      throw Failure("Quorvel Ink couldn't open your archive (" + reason +
                    "), nor an empty temporary archive in " + recoveryRoot() + " (" +
                    describe(second) + "). Nothing was changed.");
    }
    startupError_ = "Quorvel Ink couldn't open your archive (" + reason +
                    "). Nothing was changed; this window is showing an empty temporary archive.";
  }
  // 6. The intake with its page reader, then the reader download.
  std::shared_ptr<OcrEngine> ocr = options_.ocr;
  if (!ocr) ocr = std::make_shared<TesseractOcrEngine>();
  pipeline_ = std::make_unique<ImportPipeline>(*catalog_, std::move(ocr));
  downloader_ = std::make_unique<ModelDownloader>(*handwriting_, options_.downloadHooks);
  // 7, 8. The handwriting queue and the watcher.
  handwritingQueue_ = std::make_unique<HandwritingQueue>(*catalog_, *handwriting_);
  watcher_ = std::make_unique<FolderWatcher>(*pipeline_);
  // 9. The intake's callbacks, before its worker starts.
  GuiLinkPtr link = link_;
  pipeline_->setOnProgress([link, this](const ImportProgress& progress) {
    link->post([this, progress] { handle(progress); });
  });
  pipeline_->setOnItemRecognized([link, this](std::int64_t) {
    link->post([this] { itemChangedInBackground(); });
  });
  // 10. The printed-text worker, with what was left unread.
  pipeline_->startOcrWorker();
  pipeline_->enqueuePending();
  // 11. The published state that must be real before watching and the first reload.
  watch_ = watcher_->settings();
  readerInstalled_ = handwriting_->isAvailable();
  notice_ = restored;
  restoreStaged_ = BackupService::restorePending();
  // 12. The queue's and the watcher's callbacks.
  handwritingQueue_->onChange = [link, this](const QueueState& state) {
    link->post([this, state] {
      queue_ = state;
      emit queueChanged();
    });
  };
  handwritingQueue_->onItemDone = [link, this](std::int64_t) {
    link->post([this] { itemChangedInBackground(); });
  };
  watcher_->setOnAdded([link, this](int) { link->post([this] { reload(); }); });
  // 13. Watching.
  watcher_->start();
  // 14. The start-up task: left-over servers, thumbnails, the weekly backup, the queue.
  {
    HandwritingEngine* engine = handwriting_.get();
    ImportPipeline* pipeline = pipeline_.get();
    Catalog* catalog = catalog_.get();
    HandwritingQueue* queue = handwritingQueue_.get();
    workers_.run([=, this](std::stop_token stop) {
      LlamaServer::killOrphans(engine->settings().serverPath);
      if (stop.stop_requested()) return;
      if (pipeline->ensureThumbnails() > 0) link->post([this] { reload(); });
      if (stop.stop_requested()) return;
      BackupService::autoBackupIfDue(*catalog, version());
      if (stop.stop_requested()) return;
      queue->restore();
    });
  }
  // 15. At quit the model server is killed and waited for.
  connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
          [this] { handwriting_->server().stopNow(); });
  // 15a. A reader download interrupted by the last quit goes on, unless it was paused.
  if (!readerInstalled_ && ModelDownloader::partialBytes() > 0 && !fs::exists(pauseMarkerPath())) {
    startDownload({});
  }
  // 16. The lists.
  reload();
}

AppModel::~AppModel() {
  link_->detach();
  workers_.stopAll();
  reloadQueue_->shutdown();
  watcher_->stop();
  pipeline_->stopOcrWorker();
  handwritingQueue_.reset();
  handwriting_->server().stopNow();
}

// ---- State set by the views ----

bool AppModel::searching() const {
  const auto first = searchText_.find_first_not_of(" \t");
  return first != std::string::npos;
}

std::string AppModel::title() const {
  if (searching()) return "Search";
  return filter_.title(lists_.people);
}

void AppModel::setFilter(const LibraryFilter& filter) {
  if (filter == filter_) return;
  filter_ = filter;
  emit filterChanged();
  setPath({});
  reload();
}

void AppModel::setSearchText(const std::string& text) {
  if (text == searchText_) return;
  searchText_ = text;
  emit searchTextChanged();
  scheduleReload(0.25);
}

void AppModel::setPath(const std::vector<std::int64_t>& path) {
  if (path == path_) return;
  path_ = path;
  emit pathChanged();
}

void AppModel::setNotice(const std::optional<std::string>& notice) {
  if (notice == notice_) return;
  notice_ = notice;
  emit noticeChanged();
}

void AppModel::clearStartupError() {
  if (!startupError_) return;
  startupError_.reset();
  emit startupErrorChanged();
}

void AppModel::setSettingsTab(int tab) {
  if (tab == settingsTab_) return;
  settingsTab_ = tab;
  emit settingsTabChanged();
}

void AppModel::setShowBook(bool show) {
  if (show == showBook_) return;
  showBook_ = show;
  emit showBookChanged();
}

void AppModel::setShowAsk(bool show) {
  if (show == showAsk_) return;
  showAsk_ = show;
  emit showAskChanged();
}

void AppModel::setHighlight(const std::optional<Highlight>& highlight) {
  if (highlight == highlight_) return;
  highlight_ = highlight;
  emit highlightChanged();
}

void AppModel::bumpChangeTick() {
  ++changeTick_;
  emit changeTickChanged();
}

void AppModel::itemChangedInBackground() {
  bumpChangeTick();
  scheduleReload(0.4);
}

void AppModel::setImportStatus(std::optional<std::string> message, std::optional<double> fraction) {
  if (message == importMessage_ && fraction == importFraction_) return;
  importMessage_ = std::move(message);
  importFraction_ = fraction;
  emit importStatusChanged();
}

// ---- Reloads ----

static LibraryLists loadLists(Catalog& catalog, const std::string& query, const LibraryFilter& filter) {
  LibraryLists lists;
  if (!query.empty()) {
    for (SearchHit& hit : catalog.search(query, 500)) {
      lists.snippets[hit.item.id] = std::move(hit.snippet);
      lists.items.push_back(std::move(hit.item));
    }
  } else {
    switch (filter.which()) {
      case LibraryFilter::Case::all:
        lists.items = catalog.listItems(std::nullopt, std::nullopt, std::nullopt, 100000);
        break;
      case LibraryFilter::Case::kind:
        lists.items = catalog.listItems(filter.kindValue(), std::nullopt, std::nullopt, 100000);
        break;
      case LibraryFilter::Case::favorites:
        lists.items = catalog.listItems(std::nullopt, std::nullopt, true, 100000);
        break;
      case LibraryFilter::Case::needsReview:
        lists.items = catalog.itemsNeedingReview();
        break;
      case LibraryFilter::Case::person:
        lists.items = catalog.itemsForPerson(filter.personId());
        break;
      case LibraryFilter::Case::year:
        lists.items = catalog.itemsForYear(filter.yearValue());
        break;
    }
  }
  lists.firstDates = catalog.firstDates();
  lists.people = catalog.listPeople();
  lists.years = catalog.years();
  lists.stats = catalog.stats();
  return lists;
}

void AppModel::reload() {
  ++reloadsStarted_;
  const std::uint64_t generation = ++reloadGeneration_;
  latestReload_->store(generation);
  std::string query = searchText_;
  const auto first = query.find_first_not_of(" \t");
  if (first == std::string::npos) {
    query.clear();
  } else {
    query = query.substr(first, query.find_last_not_of(" \t") - first + 1);
  }
  Catalog* catalog = catalog_.get();
  GuiLinkPtr link = link_;
  auto latest = latestReload_;
  const LibraryFilter filter = filter_;
  reloadQueue_->async([=, this] {
    // A newer request is queued behind this one: it will load the lists.
    if (latest->load() != generation) return;
    auto lists = std::make_shared<LibraryLists>(loadLists(*catalog, query, filter));
    link->post([this, generation, lists] { applyLists(generation, std::move(*lists)); });
  });
}

void AppModel::applyLists(std::uint64_t generation, LibraryLists lists) {
  if (generation <= appliedGeneration_) return;
  appliedGeneration_ = generation;
  lists_ = std::move(lists);
  emit listsChanged();
  emit reloaded();
}

void AppModel::scheduleReload(double seconds) {
  if (reloadPending_) return;
  reloadPending_ = true;
  QTimer::singleShot(static_cast<int>(seconds * 1000), this, [this] {
    reloadPending_ = false;
    reload();
  });
}

// ---- Import progress ----

std::optional<std::string> AppModel::importText(const ImportProgress& progress, int queuedForOcr) {
  switch (progress.phase) {
    case ImportPhase::scanning:
      return "Looking for scans…";
    case ImportPhase::adding:
      return "Adding " + std::to_string(progress.done) + " of " + std::to_string(progress.total);
    case ImportPhase::recognizing:
    case ImportPhase::done:
      if (queuedForOcr > 0) return "Reading text · " + std::to_string(queuedForOcr) + " to go";
      return std::nullopt;
    case ImportPhase::cancelled:
    case ImportPhase::failed:
      return std::nullopt;
  }
  return std::nullopt;
}

void AppModel::handle(const ImportProgress& progress) {
  const int queued = pipeline_->queuedForOcr();
  std::optional<double> fraction;
  if (progress.phase == ImportPhase::adding && progress.total >= 1) {
    fraction = static_cast<double>(progress.done) / progress.total;
  }
  setImportStatus(importText(progress, queued), fraction);
  if (progress.phase == ImportPhase::adding) scheduleReload(0.8);
  if (progress.phase == ImportPhase::done) reload();
  if (progress.phase == ImportPhase::recognizing && queued == 0) clearStatusSoon();
}

void AppModel::clearStatusSoon() {
  QTimer::singleShot(1500, this, [this] {
    if (pipeline_->queuedForOcr() != 0) return;
    setImportStatus(std::nullopt, importFraction_);
    reload();
  });
}

}  // namespace quorvel::app
