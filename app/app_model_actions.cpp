// The application model's actions: adding scans, watched folders, exports,
// questions, translations, the keepsake book, backups, favourites and removal.
#include <QDate>
#include <QUuid>
#include <algorithm>

#include "app/app_model.h"
#include "core/exporters.h"
#include "core/paths.h"

namespace quorvel::app {

static std::string lastComponent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- Adding scans ----

void AppModel::importPaths(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  ImportPipeline* pipeline = pipeline_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token stop) {
    pipeline->add(paths, false, stop);
    link->post([this] {
      reload();
      clearStatusSoon();
    });
  });
}

void AppModel::pickAndImport() {
  Panels::OpenRequest request;
  request.title = "Add scans to your archive";
  request.message = "Choose scans or whole folders. Your files stay where they are.";
  request.prompt = "Add";
  request.files = true;
  request.folders = true;
  request.multiple = true;
  const std::vector<std::string> paths = panels_->open(request);
  if (!paths.empty()) importPaths(paths);
}

// ---- Watched folders ----

void AppModel::addWatchedFolder() {
  Panels::OpenRequest request;
  request.title = "Watch a folder";
  request.message = "New scans saved in this folder are added to your archive by themselves.";
  request.prompt = "Watch";
  request.files = false;
  request.folders = true;
  request.multiple = true;
  const std::vector<std::string> folders = panels_->open(request);
  if (folders.empty()) return;
  for (const std::string& folder : folders) {
    if (std::find(watch_.folders.begin(), watch_.folders.end(), folder) == watch_.folders.end()) {
      watch_.folders.push_back(folder);
    }
  }
  watcher_->update(watch_);
  emit watchChanged();
}

void AppModel::removeWatchedFolder(const std::string& path) {
  std::erase(watch_.folders, path);
  watcher_->update(watch_);
  emit watchChanged();
}

void AppModel::setWatchingEnabled(bool enabled) {
  if (watch_.enabled == enabled) return;
  watch_.enabled = enabled;
  watcher_->update(watch_);
  emit watchChanged();
}

// ---- Exports (written on a worker; the notice follows) ----

void AppModel::exportGedcom() {
  const std::optional<std::string> path = savePanel("Export for your family tree program", "Quorvel Ink.ged");
  if (!path) return;
  Catalog* catalog = catalog_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token) {
    std::string text;
    try {
      GedcomExporter::exportTo(*catalog, *path, true);
      text = "Saved " + lastComponent(*path) + ". Open it in your family tree program.";
    } catch (const std::exception& error) {
      text = "Couldn't save the export: " + describe(error);
    }
    link->post([this, text] { setNotice(text); });
  });
}

void AppModel::exportPdf(const ArchiveItem& item) {
  const std::optional<std::string> path =
      savePanel("Save as a searchable PDF", safeFileName(item.displayTitle() + ".pdf"));
  if (!path) return;
  Catalog* catalog = catalog_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token) {
    std::string text;
    try {
      PdfExporter::exportSearchablePdf(item, catalog->getTranscription(item.id), *path);
      text = "Saved " + lastComponent(*path) + ".";
    } catch (const std::exception& error) {
      text = "Couldn't save the PDF: " + describe(error);
    }
    link->post([this, text] { setNotice(text); });
  });
}

// ---- Questions ----

void AppModel::updateAskEntry(const std::string& id, const std::function<void(AskEntry&)>& change) {
  for (AskEntry& entry : askHistory_) {
    if (entry.id == id) {
      change(entry);
      emit askChanged();
      return;
    }
  }
}

void AppModel::ask(const std::string& question) {
  AskEntry entry;
  entry.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
  entry.question = question;
  entry.status = "Finding the letters that mention it…";
  const std::string id = entry.id;
  askHistory_.insert(askHistory_.begin(), std::move(entry));
  asking_ = true;
  emit askChanged();

  Catalog* catalog = catalog_.get();
  HandwritingEngine* engine = handwriting_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token stop) {
    StatusFunction status = [link, this, id](const std::string& text) {
      link->post([this, id, text] { updateAskEntry(id, [&](AskEntry& e) { e.status = text; }); });
    };
    ArchiveAsk answerer(*catalog, *engine, status);
    std::optional<AskAnswer> answer;
    std::optional<std::string> error;
    try {
      answer = answerer.ask(question, stop);
    } catch (const std::exception& failure) {
      error = describe(failure);
    }
    link->post([this, id, answer, error] {
      updateAskEntry(id, [&](AskEntry& e) {
        if (answer) e.answer = answer;
        if (error) e.error = error;
      });
      asking_ = false;
      emit askChanged();
    });
  });
}

void AppModel::openSource(const AskSource& source) {
  setHighlight(Highlight{source.itemId, source.quote});
  setSearchText("");
  setPath({source.itemId});
}

// ---- Translation ----

std::optional<std::string> AppModel::translateText(int done, int total) {
  if (done >= total) return std::nullopt;
  if (total >= 2) {
    return "Translating part " + std::to_string(done + 1) + " of " + std::to_string(total) + "…";
  }
  return "Translating…";
}

void AppModel::translate(std::int64_t itemId) {
  if (translating_.count(itemId)) return;
  translateErrors_.erase(itemId);
  translating_[itemId] = "Getting the reader ready…";
  emit translatingChanged();
  if (!translator_) translator_ = std::make_unique<Translator>(*catalog_, *handwriting_);
  Translator* translator = translator_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token stop) {
    auto progress = [link, this, itemId](int done, int total) {
      link->post([this, itemId, done, total] {
        const auto text = translateText(done, total);
        auto it = translating_.find(itemId);
        if (!text || it == translating_.end()) return;
        it->second = *text;
        emit translatingChanged();
      });
    };
    std::optional<std::string> error;
    try {
      translator->translate(itemId, progress, stop);
    } catch (const std::exception& failure) {
      error = describe(failure);
    }
    link->post([this, itemId, error] { finishTranslation(itemId, error); });
  });
}

void AppModel::finishTranslation(std::int64_t itemId, std::optional<std::string> error) {
  if (error) translateErrors_[itemId] = *error;
  translating_.erase(itemId);
  emit translatingChanged();
  bumpChangeTick();
  scheduleReload(0.4);
}

// ---- Keepsake book ----

void AppModel::makeBook() {
  if (lists_.items.empty()) {
    setNotice("Add some scans first, then make a book from them.");
    return;
  }
  setShowBook(true);
}

std::string AppModel::bookSavedText(const std::string& fileName, const KeepsakeSummary& summary) {
  return "Saved " + fileName + ": " + std::to_string(summary.entries) + " " +
         (summary.entries == 1 ? "scan" : "scans") + ", " + std::to_string(summary.pages) +
         " pages, " + ModelDownloader::gb(summary.bytes) + ".";
}

void AppModel::bookSaved(const std::string& path, const KeepsakeSummary& summary) {
  lastBook_ = path;
  emit lastBookChanged();
  setNotice(bookSavedText(lastComponent(path), summary));
}

// ---- Backups ----

void AppModel::backUpNow() {
  const std::string name = "Quorvel Ink " + QDate::currentDate().toString("yyyy-MM-dd").toStdString() +
                           "." + BackupService::fileExtension;
  const std::optional<std::string> path = savePanel("Back up your archive", name);
  if (!path) return;
  setNotice("Backing up…");
  Catalog* catalog = catalog_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token) {
    std::string text;
    try {
      const BackupInfo info = BackupService::create(*catalog, *path, version(), true);
      text = "Backup saved: " + std::to_string(info.items) + " scans, " + ModelDownloader::gb(info.bytes) +
             ". It holds your transcriptions, people, dates and thumbnails, not the scan files themselves.";
    } catch (const std::exception& error) {
      text = "The backup couldn't be saved: " + describe(error);
    }
    link->post([this, text] { setNotice(text); });
  });
}

void AppModel::restoreFromBackup() {
  Panels::OpenRequest request;
  request.title = "Restore from a backup";
  request.message = "Choose a Quorvel Ink backup (made on any computer).";
  request.prompt = "Restore";
  request.files = true;
  request.folders = false;
  request.multiple = false;
  const std::vector<std::string> paths = panels_->open(request);
  if (paths.empty()) return;
  const std::string path = paths.front();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token) {
    std::optional<BackupInfo> info;
    std::string text;
    try {
      info = BackupService::stageRestore(path);
      text = "Ready to restore " + std::to_string(info->items) + " scans from " + info->machine +
             ". Quit and reopen Quorvel Ink to finish. Your current library will be set aside, not deleted.";
    } catch (const std::exception& error) {
      text = describe(error);
    }
    const bool staged = info.has_value();
    link->post([this, staged, text] {
      if (staged && !restoreStaged_) {
        restoreStaged_ = true;
        emit restoreStagedChanged();
      }
      setNotice(text);
    });
  });
}

void AppModel::cancelRestore() {
  BackupService::cancelPendingRestore();
  const bool staged = BackupService::restorePending();
  if (staged == restoreStaged_) return;
  restoreStaged_ = staged;
  emit restoreStagedChanged();
}

void AppModel::rebuildSearchIndex() {
  if (rebuildingIndex_) return;
  rebuildingIndex_ = true;
  emit rebuildingIndexChanged();
  Catalog* catalog = catalog_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token) {
    catalog->rebuildIndex();
    link->post([this] {
      rebuildingIndex_ = false;
      emit rebuildingIndexChanged();
      bumpChangeTick();
      reload();
    });
  });
}

// ---- Library edits ----

void AppModel::toggleFavorite(const ArchiveItem& item) {
  // The stored item, not the caller's copy: a title, notes or reading saved
  // since the copy was made must not be written back over.
  std::optional<ArchiveItem> stored = catalog_->getItem(item.id);
  if (!stored) return;
  stored->favorite = !stored->favorite;
  catalog_->updateItem(*stored);
  bumpChangeTick();
  reload();
}

void AppModel::remove(const std::vector<std::int64_t>& ids) {
  lastRemoved_ = catalog_->removeItems(ids);
  emit lastRemovedChanged();
  std::vector<std::int64_t> path = path_;
  std::erase_if(path, [&](std::int64_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); });
  setPath(path);
  reload();
}

void AppModel::undoRemove() {
  catalog_->restoreRemovedItems(lastRemoved_);
  lastRemoved_.clear();
  emit lastRemovedChanged();
  reload();
}

void AppModel::clearLastRemoved() {
  if (lastRemoved_.empty()) return;
  lastRemoved_.clear();
  emit lastRemovedChanged();
}

void AppModel::readHandwriting(const std::vector<std::int64_t>& ids) {
  if (ids.empty()) return;
  handwritingQueue_->enqueue(ids);
}

}  // namespace quorvel::app
