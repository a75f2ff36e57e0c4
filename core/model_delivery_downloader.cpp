// The model downloader: plan, free space, attempts and mirrors, SHA-256,
// unpacking and installing the reader, and its removal.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/failure.h"
#include "core/handwriting_engine.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "core/text.h"

namespace quorvel {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kGiB = 1073741824;
constexpr int kAttemptsPerAddress = 4;

// One file to fetch.
struct Item {
  std::string target;
  std::vector<std::string> urls;  // primary, then mirrors
  std::int64_t size = 0;
  std::string sha;
  std::string label;
};

// Bytes moved over the network in this run. Read by the progress line while
// the download adds to it.
class Counter {
 public:
  void add(std::int64_t bytes) {
    std::lock_guard lock(mutex_);
    n_ += bytes;
  }
  std::int64_t value() const {
    std::lock_guard lock(mutex_);
    return n_;
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t n_ = 0;
};

class Corrupt : public std::runtime_error {
 public:
  Corrupt() : std::runtime_error("The file didn't match its checksum, so it was thrown away.") {}
};

struct EvpFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// Lower-case hex SHA-256 of the file, read in chunks; "" when it cannot be
// read. Throws Cancelled between chunks when `stop` is requested.
std::string sha256OfFile(const std::string& path, std::stop_token stop) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::unique_ptr<EVP_MD_CTX, EvpFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return "";
  std::vector<char> buffer(1 << 20);
  while (in) {
    if (stop.stop_requested()) throw Cancelled();
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::streamsize n = in.gcount();
    if (n > 0) EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n));
  }
  if (in.bad()) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The runtime id installed.json records when the system's own server is used.
constexpr const char* kSystemRuntimeId = "system";

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

std::string fixed(double value, int decimals) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return std::string(buffer, result.ptr);
}

void sleepCancellably(double seconds, std::stop_token stop) {
  std::mutex m;
  std::condition_variable_any wake;
  std::unique_lock lock(m);
  wake.wait_for(lock, stop, std::chrono::duration<double>(seconds), [] { return false; });
  if (stop.stop_requested()) throw Cancelled();
}

std::optional<std::int64_t> availableBytes(const std::string& path) {
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

}  // namespace

namespace {

// Throws when the volume of the data folder has less than `needed` bytes plus
// 1 GiB free; no check when the free space cannot be read.
void ensureSpace(std::int64_t needed, const ModelDownloader::Hooks& hooks) {
  std::optional<std::int64_t> available = hooks.freeSpace(QuorvelPaths::dataRoot());
  if (!available) return;
  std::int64_t required = needed + kGiB;
  if (*available < required)
    throw Failure("Not enough free space: the handwriting reader needs about " +
                  ModelDownloader::gb(required) + " and this computer has " +
                  ModelDownloader::gb(*available) + " free.");
}

// Fetches one item into <target>.partial, checks it and moves it into place.
// `progress` gets (file length, bytes moved in this attempt); `transferred`
// the bytes each attempt moved.
void download(const Item& item, const std::function<void(std::int64_t, std::int64_t)>& progress,
              const std::function<void(std::int64_t)>& transferred,
              const ModelDownloader::Hooks& hooks, std::stop_token stop) {
  const std::string partial = item.target + ".partial";
  const std::string wanted = text::lowercased(item.sha);
  std::optional<std::string> lastError;
  for (const std::string& url : item.urls) {
    for (int attempt = 1; attempt <= kAttemptsPerAddress; ++attempt) {
      std::int64_t moved = 0;
      try {
        std::int64_t have = ModelDownloader::size(partial);
        if (have > item.size) {
          removeQuietly(partial);
          have = 0;
        }
        if (have < item.size) {
          std::int64_t movedBefore = 0;
          auto fetchFrom = [&](std::int64_t offset) {
            std::int64_t base = offset;
            ChunkedDownload::Result r = ChunkedDownload::fetch(
                url, partial, offset,
                [&](std::int64_t n) {
                  if (n < base) base = 0;  // the server started the file again
                  moved = movedBefore + (n - base);
                  progress(n, moved);
                },
                stop);
            moved = movedBefore + (r.restarted ? r.length : r.length - offset);
            return r;
          };
          ChunkedDownload::Result r = fetchFrom(have);
          if (r.restarted && r.length == 0) {
            movedBefore = moved;
            r = fetchFrom(0);
          }
          if (r.length < item.size) throw Failure("The connection closed early.");
        }
        progress(item.size, moved);
        if (sha256OfFile(partial, stop) != wanted) {
          removeQuietly(partial);
          throw Corrupt();
        }
        std::error_code ignored;
        fs::remove(item.target, ignored);
        fs::rename(partial, item.target);
        transferred(moved);
        return;
      } catch (const Cancelled&) {
        transferred(moved);
        throw;
      } catch (const std::exception& error) {
        transferred(moved);
        if (stop.stop_requested()) throw Cancelled();
        lastError = error.what();
        if (dynamic_cast<const Corrupt*>(&error) && attempt >= 2) break;
        hooks.sleep(std::min(2.0 * attempt * attempt, 30.0), stop);
      }
    }
  }
  throw Failure("Couldn't download the " + item.label + ": " + lastError.value_or("unknown error"));
}

// Unpacks runtime/<id>.tar.gz into runtime/<id> and makes its server executable.
void unpack(const std::string& archive, const std::string& runtimeId) {
  const std::string runtimeDir = QuorvelPaths::runtimeDir();
  const std::string scratch = runtimeDir + "/" + runtimeId + ".unpacking";
  const std::string folder = runtimeDir + "/" + runtimeId;
  removeQuietly(scratch);
  fs::create_directories(scratch);
  Shell::run("/usr/bin/tar", {"-xzf", archive, "-C", scratch});

  std::optional<fs::path> server;
  std::error_code error;
  for (fs::recursive_directory_iterator it(scratch, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename() == "llama-server") {
      server = it->path();
      break;
    }
  }
  if (!server) throw Failure("The downloaded program files don't contain llama-server.");

  removeQuietly(folder);
  fs::rename(server->parent_path(), folder);
  removeQuietly(scratch);
  removeQuietly(archive);
  // Archives do not always keep the execute bit; a link is left as it is.
  std::error_code ignored;
  fs::permissions(folder + "/llama-server",
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add | fs::perm_options::nofollow, ignored);
}

}  // namespace

ModelDownloader::ModelDownloader(HandwritingEngine& engine, Hooks hooks)
    : engine_(engine), hooks_(std::move(hooks)) {
  if (!hooks_.now) hooks_.now = nowMicros;
  if (!hooks_.sleep) hooks_.sleep = sleepCancellably;
  if (!hooks_.freeSpace) hooks_.freeSpace = availableBytes;
}

void ModelDownloader::run(const ProgressFunction& progress, std::stop_token stop) {
  auto report = [&](const DownloadProgress& p) {
    if (progress) progress(p);
  };
  std::uint64_t removalsAtStart;
  {
    std::lock_guard lock(installMutex_);
    removalsAtStart = removals_;
  }
  // A removal of the reader during the run ends it like a pause.
  auto removed = [&] {
    std::lock_guard lock(installMutex_);
    return removals_ != removalsAtStart;
  };
  auto stopIfCancelled = [&] {
    if (stop.stop_requested() || removed()) throw Cancelled();
  };
  report({0, 1, "Checking what to download…", 0});

  ModelManifest manifest = ManifestClient::get(stop);
  if (stop.stop_requested()) throw Cancelled();
  const HandwritingPack& pack = manifest.handwriting;
  std::optional<RuntimeEntry> runtime = manifest.runtimeForThisPlatform();
  // Without a build of the server for this platform, a llama-server the
  // system has installed serves the model files; only they are fetched.
  const std::optional<std::string> systemProgram = runtime ? std::nullopt : systemServer();
  if (!runtime && !systemProgram)
    throw Failure(noServerSentence());

  const std::string packDir = QuorvelPaths::modelDir() + "/" + pack.id;
  const std::string runtimeDir = QuorvelPaths::runtimeDir();
  fs::create_directories(packDir);
  fs::create_directories(runtimeDir);

  std::vector<Item> plan;
  for (const ModelFile& f : pack.files) {
    Item item{packDir + "/" + f.name, {f.url}, f.size, f.sha256,
              f.role == "mmproj" ? "image reader" : "language model"};
    if (f.mirrors) item.urls.insert(item.urls.end(), f.mirrors->begin(), f.mirrors->end());
    plan.push_back(std::move(item));
  }
  const std::string runtimeId = runtime ? runtime->id : kSystemRuntimeId;
  const std::string serverPath =
      runtime ? runtimeDir + "/" + runtime->id + "/llama-server" : *systemProgram;
  const std::string archive = runtimeDir + "/" + runtimeId + ".tar.gz";
  bool programPlanned = runtime && !isExecutableFile(serverPath);
  if (programPlanned) {
    Item item{archive, {runtime->url}, runtime->size, runtime->sha256, "program files"};
    if (runtime->mirrors)
      item.urls.insert(item.urls.end(), runtime->mirrors->begin(), runtime->mirrors->end());
    plan.push_back(std::move(item));
  }

  std::int64_t needed = 0;
  for (const Item& item : plan) {
    if (size(item.target) == item.size) continue;
    // A partial file longer than the file is thrown away and fetched again in full.
    std::int64_t partial = size(item.target + ".partial");
    needed += partial > item.size ? item.size : item.size - partial;
  }
  ensureSpace(needed, hooks_);

  std::int64_t total = 0;
  for (const Item& item : plan) total += item.size;
  const TimePoint start = hooks_.now();
  Counter counter;

  std::int64_t done = 0;
  for (const Item& item : plan) {
    stopIfCancelled();
    if (size(item.target) == item.size &&
        sha256OfFile(item.target, stop) == text::lowercased(item.sha)) {
      done += item.size;
      continue;
    }
    auto line = [&](std::int64_t n, std::int64_t moved) {
      DownloadProgress p{done + n, total, "", 0};
      double seconds = static_cast<double>(hooks_.now() - start) / 1e6;
      std::optional<double> rate;
      if (seconds > 2) {
        double r = static_cast<double>(moved + counter.value()) / seconds;
        if (r > 0) rate = r;
      }
      if (rate) p.etaSeconds = static_cast<std::int64_t>(static_cast<double>(total - p.doneBytes) / *rate);
      p.message = item.label + " · " + gb(p.doneBytes) + " of " + gb(total);
      if (rate) p.message += " · " + fixed(*rate / 1048576, 1) + " MB/s";
      report(p);
    };
    download(item, line, [&](std::int64_t bytes) { counter.add(bytes); }, hooks_, stop);
    done += item.size;
  }

  if (programPlanned) {
    stopIfCancelled();
    report({total, total, "Unpacking…", 0});
    try {
      unpack(archive, runtime->id);
    } catch (const std::exception&) {
      stopIfCancelled();  // the files went away under a removal
      throw;
    }
  }

  {
    // remove() takes the same lock: the reader is never installed over a removal.
    std::lock_guard lock(installMutex_);
    if (stop.stop_requested() || removals_ != removalsAtStart) throw Cancelled();
    const std::string modelPath = packDir + "/" + pack.file("model")->name;
    const std::string mmprojPath = packDir + "/" + pack.file("mmproj")->name;
    engine_.useInstalled(serverPath, modelPath, mmprojPath, pack.maxSqueeze, pack.tileHeight,
                         pack.overlap);
    nlohmann::ordered_json installed;
    installed["revision"] = manifest.revision;
    installed["packId"] = pack.id;
    installed["runtimeId"] = runtimeId;
    installed["serverPath"] = serverPath;
    installed["modelPath"] = modelPath;
    installed["mmprojPath"] = mmprojPath;
    installed["installed"] = Stamp::string(hooks_.now());
    try {
      writeFileAtomically(installedFile(), installed.dump(2));
    } catch (const std::exception&) {
      // installed.json is a record for people; the reader works without it.
    }
  }
  report({total, total, "Handwriting reader is ready", 0});
}

std::optional<std::string> ModelDownloader::systemServer() {
  const char* path = std::getenv("PATH");
  if (!path) return std::nullopt;
  std::string_view rest(path);
  while (true) {
    const std::size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    // Relative entries (also the empty one, meaning ".") depend on where the
    // program was started: never trusted for a program run in the background.
    if (!folder.empty() && folder.front() == '/') {
      std::string candidate(folder);
      while (candidate.size() > 1 && candidate.back() == '/') candidate.pop_back();
      candidate += "/llama-server";
      if (isExecutableFile(candidate)) return fs::path(candidate).lexically_normal().string();
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

bool ModelDownloader::canGetServer() {
  if (ManifestClient::builtIn().runtimeForThisPlatform()) return true;
  const char* chosen = std::getenv("QUORVEL_MANIFEST_URL");
  return (chosen && *chosen) || systemServer().has_value();
}

std::string ModelDownloader::noServerSentence() {
  return "There's no handwriting reader for this kind of computer yet. " + LlamaServer::installHint();
}

void ModelDownloader::remove() {
  std::lock_guard lock(installMutex_);
  ++removals_;
  engine_.server().stopNow();
  for (const std::string& root : {QuorvelPaths::modelDir(), QuorvelPaths::runtimeDir()}) {
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error))
      removeQuietly(it->path().string());
  }
  engine_.updateSettings([](HandwritingSettings& s) {
    s.serverPath.reset();
    s.modelPath.reset();
    s.mmprojPath.reset();
  });
}

}  // namespace quorvel
