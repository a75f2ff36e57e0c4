#include "core/folder_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "core/concurrency.h"
#include "core/import_pipeline.h"
#include "core/paths.h"

namespace quorvel {

// ---- WatchSettings ----

std::string WatchSettings::filePath() { return QuorvelPaths::dataRoot() + "/watch.json"; }

WatchSettings WatchSettings::load() {
  std::string bytes;
  if (!readWholeFile(filePath(), bytes)) return WatchSettings();
  const nlohmann::json json = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return WatchSettings();
  const auto folders = json.find("folders");
  const auto enabled = json.find("enabled");
  if (folders == json.end() || !folders->is_array() || enabled == json.end() || !enabled->is_boolean()) {
    return WatchSettings();
  }
  WatchSettings settings;
  for (const auto& folder : *folders) {
    if (!folder.is_string()) return WatchSettings();
    settings.folders.push_back(folder.get<std::string>());
  }
  settings.enabled = enabled->get<bool>();
  return settings;
}

void WatchSettings::save() const {
  nlohmann::ordered_json json;
  json["folders"] = folders;
  json["enabled"] = enabled;
  std::string text;
  try {
    text = json.dump(2);  // throws on a folder path that is not UTF-8
  } catch (const nlohmann::json::exception&) {
    return;  // the old file stays
  }
  writeFileAtomically(filePath(), text + "\n");  // a failure leaves the old file
}

// ---- The event source ----

namespace {

using SteadyClock = std::chrono::steady_clock;

// A path as both the folder listing and the event source spell it.
std::string pathKey(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

// A file that was written to and not closed yet is still being written: a scanner pausing
// between pages, a slow network copy. inotify reports every write and every close after
// writing. A file reported written and never closed (truncated by name, say) is forgotten
// after a while without writes.
class OpenWrites {
 public:
  static constexpr double kForgetSeconds = 120;

  void written(const std::string& key) {
    std::lock_guard lock(mutex_);
    open_[key] = SteadyClock::now();
  }
  void ended(const std::string& key) {
    std::lock_guard lock(mutex_);
    open_.erase(key);
  }
  bool busy(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(key);
    if (it == open_.end()) return false;
    if (SteadyClock::now() - it->second < std::chrono::duration<double>(kForgetSeconds)) return true;
    open_.erase(it);
    return false;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, SteadyClock::time_point> open_;  // guarded by mutex_
};

constexpr std::uint32_t kEventMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// Change reports for everything below a set of folders, on inotify: one watch
// per folder, folders created later watched as they appear. Reading files
// raises no event, so a sweep does not report itself. The first change after
// a quiet spell is reported at once; later ones are gathered until `latency`
// has passed since the last report. Reports come on the source's own thread.
class FolderEventSource {
 public:
  // None when inotify cannot be had or not one of the folders can be watched.
  // Writes and closes of files are also told to `writes`.
  static std::unique_ptr<FolderEventSource> create(const std::vector<std::string>& folders,
                                                   double latency, std::function<void()> onBatch,
                                                   std::shared_ptr<OpenWrites> writes) {
    std::unique_ptr<FolderEventSource> source(
        new FolderEventSource(latency, std::move(onBatch), std::move(writes)));
    if (source->inotify_ < 0 || source->wake_ < 0) return nullptr;
    bool any = false;
    for (const auto& folder : folders) any = source->watchTree(folder, /*followLink=*/true) || any;
    if (!any) return nullptr;
    source->thread_ = std::thread([raw = source.get()] { raw->run(); });
    return source;
  }

  // Ends the reader thread and waits for it; called on another thread.
  ~FolderEventSource() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
      thread_.join();
    }
    if (inotify_ >= 0) ::close(inotify_);
    if (wake_ >= 0) ::close(wake_);
  }

  FolderEventSource(const FolderEventSource&) = delete;
  FolderEventSource& operator=(const FolderEventSource&) = delete;

 private:
  FolderEventSource(double latency, std::function<void()> onBatch, std::shared_ptr<OpenWrites> writes)
      : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        latency_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(latency))),
        onBatch_(std::move(onBatch)),
        writes_(std::move(writes)) {}

  // Watches the folder and every folder below it; links below it are not
  // followed. False when the folder itself cannot be watched.
  bool watchTree(const std::string& folder, bool followLink) {
    if (!addWatch(folder, followLink)) return false;
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
      std::error_code typeEc;
      if (it->is_directory(typeEc) && !it->is_symlink(typeEc)) addWatch(it->path().string(), false);
    }
    return true;
  }

  bool addWatch(const std::string& folder, bool followLink) {
    const std::uint32_t mask = kEventMask | IN_ONLYDIR | (followLink ? 0u : static_cast<std::uint32_t>(IN_DONT_FOLLOW));
    const int wd = ::inotify_add_watch(inotify_, folder.c_str(), mask);
    if (wd < 0) return false;  // e.g. the watch limit: the folder goes unwatched
    folders_[wd] = folder;
    return true;
  }

  // Reads what is waiting; true when anything was read.
  bool drain() {
    alignas(inotify_event) char buffer[16384];
    bool any = false;
    for (;;) {
      const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return any;
      any = true;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_IGNORED) {
          folders_.erase(event->wd);
          continue;
        }
        if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO)) && event->len > 0) {
          const auto parent = folders_.find(event->wd);
          if (parent != folders_.end()) watchTree(parent->second + "/" + event->name, false);
        }
        if (!(event->mask & IN_ISDIR) && event->len > 0) {
          const auto parent = folders_.find(event->wd);
          if (parent == folders_.end()) continue;
          const std::string key = pathKey(parent->second + "/" + event->name);
          if (event->mask & IN_MODIFY) writes_->written(key);
          if (event->mask & (IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) writes_->ended(key);
        }
      }
    }
  }

  void run() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastReport = Clock::now() - latency_;
    bool gathered = false;
    for (;;) {
      int timeoutMs = -1;
      if (gathered) {
        const auto wait = lastReport + latency_ - Clock::now();
        timeoutMs = static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      }
      pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
      const int ready = ::poll(fds, 2, timeoutMs);
      if (ready < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      if (ready > 0 && (fds[0].revents & POLLIN) && drain()) gathered = true;
      if (gathered && Clock::now() >= lastReport + latency_) {
        gathered = false;
        lastReport = Clock::now();
        onBatch_();
      }
    }
  }

  int inotify_;
  int wake_;
  std::chrono::steady_clock::duration latency_;
  std::function<void()> onBatch_;
  const std::shared_ptr<OpenWrites> writes_;
  std::unordered_map<int, std::string> folders_;  // watch descriptor to folder; the reader thread's after start
  std::thread thread_;
};

}  // namespace

// ---- FolderWatcher ----

namespace {
// How long after a sweep that left a file open for writing the next one looks again.
constexpr double kWriterRecheckSeconds = 30;
}  // namespace

struct FolderWatcher::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(ImportPipeline& pipeline, WatchSettings settings)
      : pipeline(pipeline), settings(std::move(settings)) {}
  ~Impl() { joinOrDetach(sweepThread); }

  ImportPipeline& pipeline;
  // Declared first so that it goes last: the fields below belong to it.
  SerialQueue queue{"quorvel.watcher"};

  // Owned by the queue.
  std::unique_ptr<FolderEventSource> stream;
  DelayedWork pending;
  bool scheduled = false;  // `pending` is a sweep still to run
  bool sweeping = false;
  bool again = false;
  bool closing = false;
  WatchSettings settings;
  std::thread sweepThread;

  std::stop_source sweepStop;  // asked to stop only when the watcher goes
  std::mutex callbackLock;     // guards onAdded
  AddedCallback onAdded;
  std::atomic<double> settleSeconds{4.0};

  // Files still being written, as the event source tells them; any thread.
  const std::shared_ptr<OpenWrites> writes = std::make_shared<OpenWrites>();

  // What a sweep saw of a file it left for later, and when it first saw it so.
  struct Seen {
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    std::int64_t changed = 0;   // status change, nanoseconds
    SteadyClock::time_point since;
  };
  std::mutex seenLock;  // guards seen (sweeps run on successive threads)
  std::unordered_map<std::string, Seen> seen;

  // Why a sweep left files for later, the most pressing last: none, files still open for
  // writing, files changed too recently.
  enum class Held { none, writing, changing };

  // The files below the folders that have stopped changing: not open for writing, and their
  // size, modification and status-change times unchanged for settleSeconds (told by the
  // status-change time, or, when that lies ahead of the clock, by an earlier sweep's look).
  std::vector<std::string> settledFiles(const std::vector<std::string>& folders, Held& held) {
    held = Held::none;
    const double settle = settleSeconds;
    const auto now = SteadyClock::now();
    const auto wallNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::vector<std::string> ready;
    std::unordered_map<std::string, Seen> stillSeen;
    std::lock_guard lock(seenLock);
    for (const auto& entry : ImportPipeline::collectEntries(folders, /*respectRemoved=*/true)) {
      const std::string key = pathKey(entry.path);
      if (writes->busy(key)) {
        held = std::max(held, Held::writing);
        continue;
      }
      struct stat info {};
      if (::stat(entry.path.c_str(), &info) != 0) continue;  // gone again
      const auto nanos = [](const struct timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
      };
      const Seen state{static_cast<std::int64_t>(info.st_size), nanos(info.st_mtim),
                       nanos(info.st_ctim), now};
      const double quiet = static_cast<double>(wallNow - state.changed) / 1e9;
      bool settled = quiet >= settle;
      if (!settled) {
        const auto before = seen.find(key);
        if (before != seen.end() && before->second.size == state.size &&
            before->second.modified == state.modified && before->second.changed == state.changed) {
          settled = std::chrono::duration<double>(now - before->second.since).count() >= settle;
          if (!settled) stillSeen[key] = before->second;
        } else {
          stillSeen[key] = state;
        }
      }
      if (settled) {
        ready.push_back(entry.path);
      } else {
        held = Held::changing;
      }
    }
    seen = std::move(stillSeen);
    return ready;
  }

  std::vector<std::string> existingFolders() const {
    std::vector<std::string> found;
    for (const auto& folder : settings.folders) {
      std::error_code ec;
      if (std::filesystem::exists(folder, ec)) found.push_back(folder);
    }
    return found;
  }

  void stopStream() {
    pending.cancel();
    pending = DelayedWork();
    scheduled = false;
    stream.reset();  // joins the reader thread, which never waits for the queue
  }

  void restart() {
    stopStream();
    const auto folders = existingFolders();
    if (closing || !settings.enabled || folders.empty()) return;
    std::weak_ptr<Impl> weak = weak_from_this();
    // The source lives inside this object and is ended before the queue goes,
    // so its thread may use the queue directly.
    stream = FolderEventSource::create(
        folders, kLatencySeconds,
        [q = &queue, weak] {
          q->async([weak] {
            if (auto self = weak.lock()) self->schedule(self->settleSeconds);
          });
        },
        writes);
    if (!stream) return;
    schedule(1.0);
  }

  void schedule(double seconds) {
    pending.cancel();
    scheduled = true;
    std::weak_ptr<Impl> weak = weak_from_this();
    pending = queue.after(seconds, [weak] {
      if (auto self = weak.lock()) self->sweep();
    });
  }

  void sweep() {
    pending = DelayedWork();
    scheduled = false;
    if (closing) return;
    if (sweeping) {
      again = true;
      return;
    }
    const auto folders = existingFolders();
    if (!settings.enabled || folders.empty()) return;
    sweeping = true;
    joinOrDetach(sweepThread);  // the previous sweep has ended: it cleared `sweeping`
    std::weak_ptr<Impl> weak = weak_from_this();
    sweepThread = std::thread([weak, folders, stop = sweepStop.get_token()] {
      auto self = weak.lock();
      if (!self) return;
      std::size_t added = 0;
      Held held = Held::none;
      try {
        // Only files that have stopped changing: one still being written would be stored
        // half written, and its path then keeps the finished file out.
        const std::vector<std::string> files = self->settledFiles(folders, held);
        added = self->pipeline.add(files, /*respectRemoved=*/true, stop).size();
      } catch (...) {
        // The pipeline handles each file's failure; nothing else to report.
      }
      if (added > 0) {
        AddedCallback callback;
        {
          std::lock_guard lock(self->callbackLock);
          callback = self->onAdded;
        }
        if (callback) callback(static_cast<int>(added));
      }
      self->queue.async([weak, held] {
        auto me = weak.lock();
        if (!me) return;
        me->sweeping = false;
        if (me->again || (held == Held::changing && me->stream)) {
          me->again = false;
          me->schedule(me->settleSeconds);
        } else if (held == Held::writing && me->stream && !me->scheduled) {
          // Its close raises an event; this look is for a writer that is never heard closing.
          me->schedule(kWriterRecheckSeconds);
        }
      });
    });
  }
};

FolderWatcher::FolderWatcher(ImportPipeline& pipeline, std::optional<WatchSettings> settings)
    : impl_(std::make_shared<Impl>(pipeline, settings ? std::move(*settings) : WatchSettings::load())) {}

FolderWatcher::~FolderWatcher() {
  std::thread sweeper;
  impl_->queue.sync([&] {
    impl_->closing = true;
    impl_->stopStream();
    sweeper = std::move(impl_->sweepThread);
  });
  impl_->sweepStop.request_stop();
  impl_->queue.shutdown();
  joinOrDetach(sweeper);  // on the sweep thread itself (from onAdded) it finishes alone
}

void FolderWatcher::start() {
  impl_->queue.sync([this] { impl_->restart(); });
}

void FolderWatcher::update(const WatchSettings& settings) {
  impl_->queue.sync([&] { impl_->settings = settings; });
  settings.save();
  impl_->queue.sync([this] { impl_->restart(); });
}

void FolderWatcher::stop() {
  impl_->queue.sync([this] { impl_->stopStream(); });
}

int FolderWatcher::sweepNow() {
  std::vector<std::string> folders;
  impl_->queue.sync([&] { folders = impl_->existingFolders(); });
  if (folders.empty()) return 0;
  // At once, but never a file known to be open for writing.
  std::vector<std::string> files;
  for (const auto& entry : ImportPipeline::collectEntries(folders, /*respectRemoved=*/true)) {
    if (!impl_->writes->busy(pathKey(entry.path))) files.push_back(entry.path);
  }
  return static_cast<int>(impl_->pipeline.add(files, /*respectRemoved=*/true).size());
}

WatchSettings FolderWatcher::settings() const {
  WatchSettings copy;
  impl_->queue.sync([&] { copy = impl_->settings; });
  return copy;
}

void FolderWatcher::setOnAdded(AddedCallback callback) {
  std::lock_guard lock(impl_->callbackLock);
  impl_->onAdded = std::move(callback);
}

double FolderWatcher::settleSeconds() const { return impl_->settleSeconds; }

void FolderWatcher::setSettleSeconds(double seconds) { impl_->settleSeconds = seconds; }

}  // namespace quorvel
