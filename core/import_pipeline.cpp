#include "core/import_pipeline.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <sys/stat.h>
#include <unicode/ucol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <system_error>

#include "core/catalog.h"
#include "core/concurrency.h"
#include "core/date_extractor.h"
#include "core/image_tools.h"
#include "core/models.h"
#include "core/ocr.h"
#include "core/paths.h"
#include "core/text.h"

namespace quorvel {

namespace {
std::mutex& logLock() {
  static std::mutex lock;
  return lock;
}

// Hands the memory freed by a reading back to the system. A reading frees
// hundreds of megabytes into its thread's malloc arena, which glibc keeps:
// with readings spread over the arenas of several threads, peak memory for
// 200 pages rose from 340 to 660 MB. Under AddressSanitizer the heap is the
// sanitizer's own and there is nothing to trim; glibc's trim of its unused
// arenas crashed there now and then, on a null read, on a loaded machine.
void returnFreedMemory() {
#if !defined(__SANITIZE_ADDRESS__)
  ::malloc_trim(0);
#endif
}
}  // namespace

void Log::append(const std::string& fileName, const std::string& entry) {
  std::lock_guard guard(logLock());
  const std::string folder = QuorvelPaths::dataRoot() + "/logs";
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const std::string path = folder + "/" + fileName;
  const std::string line = Stamp::string(nowMicros()) + " " + entry + "\n";
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    writeFileAtomically(path, line);  // a failure loses the entry
    return;
  }
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);  // a failure to close is ignored
}

// ---- ImportPipeline ----

namespace {

int processorCount() {
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

bool isHiddenName(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  return !name.empty() && name.front() == '.';
}

// The last path component.
std::string lastComponent(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "." and ".." components and doubled separators removed.
std::string standardized(const std::string& path) {
  std::string out = std::filesystem::path(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out.empty() ? path : out;
}

TimePoint micros(const struct timespec& ts) {
  return static_cast<TimePoint>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

std::string thumbnailKey(const std::string& sha256) { return sha256.substr(0, 24); }

// Why a file that could not be hashed cannot be read, as the system says it.
std::string readFailure(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::error_code(errno, std::generic_category()).message();
  ::close(fd);
  return "reading it failed";
}

constexpr int kThumbnailEdge = 512;

// The order of a file browser: case ignored, digit runs by value. One
// collator per sort: ICU collators are not to be shared between threads.
template <class Entry>
void sortNaturally(std::vector<Entry>& entries) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open("", &status);
  if (U_FAILURE(status) || collator == nullptr) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.path < b.path; });
    return;
  }
  ucol_setAttribute(collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  ucol_setStrength(collator, UCOL_SECONDARY);
  std::stable_sort(entries.begin(), entries.end(), [collator](const auto& a, const auto& b) {
    UErrorCode s = U_ZERO_ERROR;
    return ucol_strcollUTF8(collator, a.path.data(), static_cast<int32_t>(a.path.size()),
                            b.path.data(), static_cast<int32_t>(b.path.size()), &s) == UCOL_LESS;
  });
  ucol_close(collator);
}

// A camera's or scanner's own name for a file ("IMG 0042", "scan 12").
const text::Regex& defaultNamePattern() {
  static const text::Regex pattern("^(img|scan|dsc|image|pict?|pxl)\\s*[\\d ]+$",
                                   /*caseInsensitive=*/true);
  return pattern;
}

int letterCount(const std::string& text) {
  int n = 0;
  for (char32_t cp : text::codePoints(text)) n += text::isLetter(cp) ? 1 : 0;
  return n;
}

}  // namespace

struct ImportPipeline::AddState {
  std::mutex mutex;
  std::vector<std::int64_t> added;  // guarded by mutex
  int skipped = 0;                  // guarded by mutex
  int done = 0;                     // guarded by mutex

  int record(std::optional<std::int64_t> id, bool wasSkipped) {
    std::lock_guard lock(mutex);
    if (id) added.push_back(*id);
    if (wasSkipped) ++skipped;
    return ++done;
  }
};

ImportPipeline::ImportPipeline(Catalog& catalog, std::shared_ptr<OcrEngine> ocr)
    : catalog_(catalog), ocr_(std::move(ocr)) {}

ImportPipeline::~ImportPipeline() { stopOcrWorker(); }

void ImportPipeline::setOnProgress(ProgressCallback callback) {
  std::lock_guard lock(callbackLock_);
  onProgress_ = std::move(callback);
}

void ImportPipeline::setOnItemRecognized(ItemCallback callback) {
  std::lock_guard lock(callbackLock_);
  onItemRecognized_ = std::move(callback);
}

std::optional<std::string> ImportPipeline::lastError() const {
  std::lock_guard lock(errorLock_);
  return lastError_;
}

int ImportPipeline::addWindowWidth() {
  const int cores = processorCount();
  return cores < 4 ? 2 : cores / 2;
}

int ImportPipeline::defaultOcrParallelism() {
  const int cores = processorCount();
  return cores < 4 ? 1 : cores / 4;
}

void ImportPipeline::report(const ImportProgress& progress) {
  ProgressCallback callback;
  {
    std::lock_guard lock(callbackLock_);
    callback = onProgress_;
  }
  if (callback) callback(progress);
}

void ImportPipeline::recognized(std::int64_t itemId) {
  ItemCallback callback;
  {
    std::lock_guard lock(callbackLock_);
    callback = onItemRecognized_;
  }
  if (callback) callback(itemId);
}

std::vector<std::filesystem::directory_entry> ImportPipeline::listFolder(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::vector<fs::directory_entry> entries;
  std::error_code ec;
  fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
  return entries;
}

std::vector<ImportPipeline::Entry> ImportPipeline::collectEntries(const std::vector<std::string>& paths,
                                                                  bool respectRemoved,
                                                                  const FolderListing& list) {
  namespace fs = std::filesystem;
  std::vector<Entry> entries;
  for (const auto& path : paths) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);  // follows a symbolic link
    if (ec || !fs::exists(status)) continue;
    if (fs::is_directory(status)) {
      // In depth, one folder at a time, so that a folder that cannot be
      // listed leaves out only what it holds.
      std::vector<fs::path> folders{path};
      while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        for (const fs::directory_entry& entry : list(folder)) {
          if (isHiddenName(entry.path())) continue;
          std::error_code typeEc;
          // Links to folders are not entered, so no link leads the walk in a circle.
          if (entry.is_directory(typeEc) && !entry.is_symlink(typeEc)) {
            folders.push_back(entry.path());  // a folder named "pics.jpg" is entered, not added
          } else if (entry.is_regular_file(typeEc) && ImageTools::isSupported(entry.path().string())) {
            entries.push_back(Entry{entry.path().string(), true});
          }
        }
      }
    } else if (fs::is_regular_file(status) && ImageTools::isSupported(path)) {
      entries.push_back(Entry{path, respectRemoved});
    }
  }
  sortNaturally(entries);
  return entries;
}

std::vector<std::int64_t> ImportPipeline::add(const std::vector<std::string>& paths,
                                              bool respectRemoved, std::stop_token stop) {
  report(ImportProgress{ImportPhase::scanning, 0, 0, std::nullopt, std::nullopt});

  const std::vector<Entry> entries = collectEntries(paths, respectRemoved);
  const int total = static_cast<int>(entries.size());
  AddState state;
  {
    WorkWindow window(addWindowWidth());
    for (const Entry& entry : entries) {
      if (stop.stop_requested()) break;
      window.submit([this, &state, total, path = entry.path, respect = entry.respectRemoved] {
        std::pair<std::optional<std::int64_t>, bool> result{std::nullopt, false};
        try {
          result = addOne(path, respect);
        } catch (...) {
          // Counted as done like any other file that could not be added.
        }
        const int count = state.record(result.first, result.second);
        if (count % 5 == 0 || count == total) {
          report(ImportProgress{ImportPhase::adding, count, total, path, std::nullopt});
        }
      });
    }
    window.wait();
  }

  std::lock_guard lock(state.mutex);
  lastSkippedRemoved_ = state.skipped;
  const int finished = stop.stop_requested() ? state.done : total;
  report(ImportProgress{ImportPhase::done, finished, total, std::nullopt,
                        std::to_string(state.added.size()) + " added"});
  return state.added;
}

std::pair<std::optional<std::int64_t>, bool> ImportPipeline::addOne(const std::string& rawPath,
                                                                    bool respectRemoved) {
  // A path that is not UTF-8 could be stored but never found again by text.
  if (!isValidUtf8(rawPath)) {
    Log::append("ocr.log", replacingInvalidUtf8(rawPath) + "\n" +
                               "The file's path is not valid UTF-8, so it was not added." + "\n");
    return {std::nullopt, false};
  }
  const std::string path = standardized(rawPath);

  if (auto existing = catalog_.findByPath(path)) {
    if (existing->ocrStatus == OcrStatus::pending || existing->ocrStatus == OcrStatus::failed) {
      enqueue(existing->id, false);
    }
    return {std::nullopt, false};
  }
  // Before the file is read: a removed scan in a watched folder is never hashed.
  if (respectRemoved && catalog_.isRemovedPath(path)) return {std::nullopt, true};

  const std::string sha = ImageTools::sha256(path);
  if (sha.empty()) {
    // No permission, or gone since the folder was listed.
    Log::append("ocr.log", path + "\n" + "The file couldn't be read (" + readFailure(path) +
                               "), so it was not added." + "\n");
    return {std::nullopt, false};
  }

  if (respectRemoved) {
    if (catalog_.isRemoved(path, sha)) return {std::nullopt, true};
  } else {
    catalog_.clearRemoved(path, sha);
  }

  // Claim the content: a second file with the same bytes waits here until the
  // first is stored, then finds it below.
  {
    std::unique_lock lock(intakeLock_);
    intakeDone_.wait(lock, [&] { return !inFlight_.contains(sha); });
    if (catalog_.findBySha(sha)) return {std::nullopt, false};
    inFlight_.insert(sha);
  }
  struct Release {
    ImportPipeline* pipeline;
    const std::string& sha;
    ~Release() {
      {
        std::lock_guard lock(pipeline->intakeLock_);
        pipeline->inFlight_.erase(sha);
      }
      pipeline->intakeDone_.notify_all();
    }
  } release{this, sha};

  struct stat attributes {};
  const bool haveAttributes = ::stat(path.c_str(), &attributes) == 0;

  const std::string fileName = lastComponent(path);
  const ImageTools::Thumbnail thumb =
      ImageTools::makeThumbnail(path, QuorvelPaths::thumbnailDir(), thumbnailKey(sha), kThumbnailEdge);
  if (ImageTools::exceedsPixelBudget({thumb.width, thumb.height})) {
    // Stored all the same, without a thumbnail; its reading fails at once.
    Log::append("ocr.log", path + "\n" + "The image claims " + std::to_string(thumb.width) + " by " +
                               std::to_string(thumb.height) +
                               " pixels, more than any scan has, so it was not decoded." + "\n");
  }

  ArchiveItem item;
  item.id = 0;
  item.path = path;
  item.fileName = fileName;
  item.title = titleFromFileName(fileName);
  item.kind = guessKind(fileName);
  item.fileSize = haveAttributes ? static_cast<std::int64_t>(attributes.st_size) : 0;
  item.fileModified = haveAttributes ? micros(attributes.st_mtim) : nowMicros();
  item.added = nowMicros();
  item.width = thumb.width;
  item.height = thumb.height;
  item.thumbnailPath = thumb.path;
  item.sha256 = sha;
  item.linkedItemId = std::nullopt;
  item.ocrStatus = OcrStatus::pending;
  item.favorite = false;
  item.notes = "";

  const std::int64_t id = catalog_.addItem(item);
  if (id == 0) return {std::nullopt, false};  // the catalog's lastError says why

  auto dates = DateExtractor::extract(text::withoutExtension(fileName), id);
  if (!dates.empty()) catalog_.replaceExtractedDates(id, dates);

  enqueue(id, false);
  return {id, false};
}

std::string ImportPipeline::titleFromFileName(const std::string& fileName) {
  std::string title = text::withoutExtension(fileName);
  std::replace(title.begin(), title.end(), '_', ' ');
  std::replace(title.begin(), title.end(), '-', ' ');
  const auto first = title.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  title = title.substr(first, title.find_last_not_of(" \t") - first + 1);

  if (defaultNamePattern().matches(title)) return "";
  const std::vector<std::string> characters = text::graphemes(title);
  if (characters.empty()) return title;
  return text::uppercased(characters.front()) + title.substr(characters.front().size());
}

ItemKind ImportPipeline::guessKind(const std::string& fileName) {
  const std::string name = text::lowercased(fileName);
  const auto has = [&name](std::initializer_list<const char*> words) {
    for (const char* word : words) {
      if (name.find(word) != std::string::npos) return true;
    }
    return false;
  };
  if (has({"letter"})) return ItemKind::letter;
  if (has({"back"})) return ItemKind::photoBack;
  if (has({"card", "funeral"})) return ItemKind::card;
  if (has({"news", "clipping", "obit"})) return ItemKind::newspaper;
  if (has({"photo", "portrait"})) return ItemKind::photo;
  if (has({"census", "deed", "certificate", "record"})) return ItemKind::document;
  return ItemKind::unknown;
}

int ImportPipeline::ensureThumbnails() {
  int made = 0;
  for (const ArchiveItem& item : catalog_.allItems()) {
    std::error_code ec;
    if (item.thumbnailPath && std::filesystem::exists(*item.thumbnailPath, ec)) continue;
    if (!std::filesystem::exists(item.path, ec)) continue;
    const std::string sha = item.sha256.size() >= 24 ? item.sha256 : ImageTools::sha256(item.path);
    if (sha.size() < 24) continue;  // unreadable now: no key to name the file by
    const auto thumb =
        ImageTools::makeThumbnail(item.path, QuorvelPaths::thumbnailDir(), thumbnailKey(sha), kThumbnailEdge);
    if (!thumb.path) continue;
    catalog_.updateThumbnailPath(item.id, thumb.path);
    ++made;
    recognized(item.id);
  }
  return made;
}

// ---- Printed-text worker ----

void ImportPipeline::startOcrWorker() {
  if (worker_.joinable()) return;
  auto channel = std::make_shared<Channel<Request>>();
  {
    std::lock_guard lock(lock_);
    continuation_ = channel;
  }
  const int width = std::max(1, ocrParallelism_.load());
  worker_ = std::jthread([this, channel, width](std::stop_token stop) {
    WorkWindow window(width);
    while (auto request = channel->receive(stop)) {
      window.submit([this, request = *request] {
        try {
          recognizeOne(request.id, request.force);
        } catch (...) {
          // One reading's failure never stops the worker.
        }
        returnFreedMemory();
        // Told after each reading, so the status line counts down and clears
        // once the last one has ended.
        report(ImportProgress{ImportPhase::recognizing, 0, finishRequest(), std::nullopt, std::nullopt});
      });
    }
    window.wait();
  });
}

void ImportPipeline::stopOcrWorker() {
  std::shared_ptr<Channel<Request>> channel;
  {
    std::lock_guard lock(lock_);
    channel.swap(continuation_);
  }
  if (channel) channel->close();
  if (worker_.joinable()) {
    worker_.request_stop();
    worker_.join();
  }
  worker_ = std::jthread();
}

void ImportPipeline::enqueue(std::int64_t itemId, bool force) {
  std::shared_ptr<Channel<Request>> channel;
  {
    std::lock_guard lock(lock_);
    channel = continuation_;
    if (channel) ++queued_;
  }
  if (channel && !channel->send(Request{itemId, force})) finishRequest();
}

int ImportPipeline::finishRequest() {
  std::lock_guard lock(lock_);
  queued_ = std::max(0, queued_ - 1);
  return queued_;
}

int ImportPipeline::enqueuePending() {
  std::vector<ArchiveItem> items;
  for (OcrStatus status : {OcrStatus::pending, OcrStatus::failed, OcrStatus::running}) {
    auto some = catalog_.listItems(std::nullopt, status, std::nullopt, 100000);
    // A failed reading whose scan is gone would only fail again, at every launch; adding
    // the file again, or a sweep that finds it, queues it once more.
    if (status == OcrStatus::failed) {
      std::erase_if(some, [](const ArchiveItem& item) {
        std::error_code ec;
        return !std::filesystem::exists(item.path, ec);
      });
    }
    items.insert(items.end(), some.begin(), some.end());
  }
  for (const auto& item : items) enqueue(item.id, false);
  return static_cast<int>(items.size());
}

int ImportPipeline::queuedForOcr() const {
  std::lock_guard lock(lock_);
  return queued_;
}

void ImportPipeline::waitUntilIdle(double timeout) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeout));
  while (queuedForOcr() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void ImportPipeline::recognizeOne(std::int64_t itemId, bool force) {
  const auto before = catalog_.getItem(itemId);
  if (!before) return;
  if (!force && before->ocrStatus == OcrStatus::done) return;
  if (!ocr_->isAvailable()) {
    catalog_.setOcrStatus(itemId, OcrStatus::skipped);
    return;
  }
  std::error_code ec;
  if (!std::filesystem::exists(before->path, ec)) {
    // Failed, not pending: a pending item would be queued at every launch
    // and never read. Found again, it is read when queued once more.
    const std::string message = "The scan's file is missing: " + before->path;
    logError(before->fileName, message);
    catalog_.setOcrStatus(itemId, OcrStatus::failed);
    report(ImportProgress{ImportPhase::recognizing, 0, queuedForOcr(), before->fileName, message});
    return;
  }
  catalog_.setOcrStatus(itemId, OcrStatus::running);
  report(ImportProgress{ImportPhase::recognizing, 0, queuedForOcr(), before->fileName, std::nullopt});

  const OcrResult result = ocr_->recognize(before->path);

  auto item = catalog_.getItem(itemId);
  if (!item) return;  // removed while it was read
  if (result.error) {
    logError(item->fileName, *result.error);
    catalog_.setOcrStatus(itemId, OcrStatus::failed);
    report(ImportProgress{ImportPhase::recognizing, 0, queuedForOcr(), item->fileName, *result.error});
    return;
  }

  std::string text;
  for (std::size_t i = 0; i < result.lines.size(); ++i) text += (i ? "\n" : "") + result.lines[i];
  catalog_.saveRecognizedText(itemId, text, result.engine, result.averageConfidence, "",
                              false /*replaceCorrected*/);

  // Almost no printed text and no kind from the file name: a photograph.
  if (item->kind == ItemKind::unknown && letterCount(text) < 12) {
    item->kind = ItemKind::photo;
    item->ocrStatus = OcrStatus::done;
    catalog_.updateItem(*item);
  }

  catalog_.replaceExtractedDates(itemId, DateExtractor::extractForItem(text, item->fileName, itemId));
  recognized(itemId);
}

void ImportPipeline::logError(const std::string& file, const std::string& message) {
  {
    std::lock_guard lock(errorLock_);
    lastError_ = file + ": " + message;
  }
  Log::append("ocr.log", file + "\n" + message + "\n");
}

}  // namespace quorvel
