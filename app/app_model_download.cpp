// The application model's side of the reader download: one download at a
// time, joined by every view that offers it, paused by a marker file that
// keeps the next launch from resuming it.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/app_model.h"
#include "core/paths.h"

namespace quorvel::app {

namespace fs = std::filesystem;

bool AppModel::downloadPaused() const {
  return !downloadRunning() && !readerInstalled_ && ModelDownloader::partialBytes() >= 1;
}

void AppModel::startDownload(const std::vector<std::int64_t>& thenRead) {
  readAfterDownload_.insert(readAfterDownload_.end(), thenRead.begin(), thenRead.end());
  if (downloadActive_) {
    emit downloadChanged();
    return;
  }
  downloadError_.reset();
  std::error_code ignored;
  fs::remove(pauseMarkerPath(), ignored);
  DownloadProgress starting;
  starting.doneBytes = 0;
  starting.totalBytes = 1;
  starting.message = "Starting…";
  starting.etaSeconds = 0;
  download_ = starting;
  downloadActive_ = true;

  ModelDownloader* downloader = downloader_.get();
  GuiLinkPtr link = link_;
  downloadTask_ = workers_.run([=, this](std::stop_token stop) {
    auto progress = [link, this](const DownloadProgress& report) {
      link->post([this, report] {
        // A report that arrives after the download has ended is dropped.
        if (!downloadActive_) return;
        download_ = report;
        emit downloadChanged();
      });
    };
    std::optional<std::string> error;
    bool cancelled = false;
    try {
      downloader->run(progress, stop);
    } catch (const Cancelled&) {
      cancelled = true;
    } catch (const std::exception& failure) {
      // A pause or a removal may surface as a transfer or file error.
      cancelled = stop.stop_requested();
      error = describe(failure);
    }
    link->post([this, error, cancelled] { downloadEnded(cancelled ? std::nullopt : error, cancelled); });
  });
  emit downloadChanged();
}

void AppModel::downloadEnded(std::optional<std::string> error, bool cancelled) {
  downloadActive_ = false;
  downloadTask_ = WorkerHandle();
  download_.reset();
  if (!error && !cancelled) {
    readerInstalled_ = handwriting_->isAvailable();
    setNotice("The handwriting reader is ready.");
    std::vector<std::int64_t> ids;
    ids.swap(readAfterDownload_);
    if (!ids.empty()) handwritingQueue_->enqueue(ids);
  } else if (error) {
    downloadError_ = error;
  }
  emit downloadChanged();
}

void AppModel::pauseDownload() {
  {
    std::ofstream marker(pauseMarkerPath(), std::ios::trunc);
  }
  downloadTask_.requestStop();
  emit downloadChanged();
}

void AppModel::removeReader() {
  handwritingQueue_->cancelAll();
  const WorkerHandle running = downloadTask_;
  running.requestStop();
  ModelDownloader* downloader = downloader_.get();
  GuiLinkPtr link = link_;
  workers_.run([=, this](std::stop_token stop) {
    // The files go only once the download has ended, so a download finishing
    // meanwhile never leaves settings that point at deleted files.
    while (running.running() && !stop.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    downloader->remove();
    link->post([this] {
      readerInstalled_ = false;
      emit downloadChanged();
    });
  });
}

}  // namespace quorvel::app
