#pragma once
// Reader delivery: the model manifest, ranged downloads, the model downloader
// that installs the handwriting reader, and the runner for command-line tools.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/models.h"

namespace quorvel {

class HandwritingEngine;

// ---------------------------------------------------------------------------
// The model manifest: which files make up the handwriting reader, where they
// come from, how long they are and what their SHA-256 digests are. Plain values.

// One file of the handwriting pack.
struct ModelFile {
  std::string role;  // "model", "mmproj"; any other role is fetched but never looked up
  std::string name;  // the file's name in the pack folder
  std::string url;   // primary address
  std::optional<std::vector<std::string>> mirrors;  // tried after url, in order
  std::int64_t size = 0;                            // exact length in bytes
  std::string sha256;                               // 64 hex digits, any letter case

  bool operator==(const ModelFile&) const = default;
};

// The model files and the reader tuning that comes with them.
struct HandwritingPack {
  std::string id;  // names the folder models/<id>
  std::optional<std::string> displayName;
  std::optional<std::string> licenseName;
  std::optional<std::string> licenseUrl;
  std::vector<ModelFile> files;  // in download order
  std::optional<double> maxSqueeze;
  std::optional<std::int64_t> tileHeight;
  std::optional<std::int64_t> overlap;

  // The first file whose role equals `role` exactly, or none.
  std::optional<ModelFile> file(const std::string& role) const;

  bool operator==(const HandwritingPack&) const = default;
};

// One build of the model-server program, a gzip-compressed tar archive.
struct RuntimeEntry {
  std::string id;        // names runtime/<id> and runtime/<id>.tar.gz
  std::string platform;  // "linux-x64", "linux-arm64", ...
  std::optional<std::string> backend;
  std::string url;
  std::optional<std::vector<std::string>> mirrors;
  std::int64_t size = 0;
  std::string sha256;

  bool operator==(const RuntimeEntry&) const = default;
};

// The whole manifest document.
struct ModelManifest {
  std::int64_t format = 1;
  std::string revision;
  std::optional<std::string> minAppVersion;
  HandwritingPack handwriting;
  std::vector<RuntimeEntry> runtimes;

  // The platform this build runs on: "linux-x64" or "linux-arm64".
  static std::string thisPlatform();
  // The first runtime for thisPlatform() in this manifest, else the first in
  // the built-in manifest, else none.
  std::optional<RuntimeEntry> runtimeForThisPlatform() const;
  // The sizes of every pack file plus the size of runtimeForThisPlatform().
  // Counts every file whether or not it is on disk.
  std::int64_t totalBytes() const;

  // Strict decoding: every required key present with its JSON type (integers
  // must be integral and fit 64 bits), optional keys absent, null or of their
  // type, unknown keys ignored. None when the text is not such a document.
  static std::optional<ModelManifest> fromJson(const std::string& json);
  // Pretty-printed JSON with the keys in field order; absent optionals left out.
  std::string toJson() const;

  bool operator==(const ModelManifest&) const = default;
};

// Fetches the manifest and falls back to the built-in copy. Any thread may call.
namespace ManifestClient {
// The maker's address of the manifest.
extern const char* const defaultURL;
// $QUORVEL_MANIFEST_URL when set and not empty (unchanged), else defaultURL.
std::string url();
// The built-in manifest as pretty-printed JSON.
extern const char* const builtInJson;
// builtInJson decoded once, on first use.
const ModelManifest& builtIn();
// Where the last manifest came from: "built in" (the start value), or the
// host of the fetched address ("website" when it has none).
std::string lastSource();
// Whether a fetched manifest may be used: format 1, both a "model" and an
// "mmproj" file, every file and runtime with a size above 0, a sha256 of 64
// characters and an address beginning with "https://" (any letter case), and
// no pack id, runtime id or file name that could leave its folder (empty,
// ".", "..", or holding "/", "\" or a NUL).
bool isUsable(const ModelManifest& manifest);
// One GET of url() (15 s without data gives up, no retry). Any failure
// (bad address, transport, status other than 200, undecodable or unusable
// document, `stop` requested) gives builtIn(). Sets lastSource(). Never throws.
ModelManifest get(std::stop_token stop = {});
}  // namespace ManifestClient

// Settings of the HTTPS requests of the reader delivery, process-wide. Nothing
// in the application changes them; tests do.
namespace DeliveryNetwork {
struct Settings {
  // A PEM file of certificates trusted besides the system's.
  std::optional<std::string> extraCaBundle;
  double manifestIdleSeconds = 15;  // longest wait without data for the manifest
  double downloadIdleSeconds = 60;  // and for a file download
};
Settings settings();
void setSettings(const Settings& settings);
}  // namespace DeliveryNetwork

// ---------------------------------------------------------------------------
// One HTTP GET of one file into a local file, from the start or from a byte
// offset already on disk. Blocks the calling thread; any thread may call.
class ChunkedDownload {
 public:
  struct Result {
    std::int64_t length = 0;  // bytes the file holds when the request ends
    bool restarted = false;   // the file was started again from byte 0
  };

  // Gets `url` into the file `to`. With `resumeAt` above 0 asks for the bytes
  // from that offset ("Range: bytes=<resumeAt>-") and appends a 206 answer to
  // the file; a 200 answer starts the file again; a 416 answer deletes it and
  // returns length 0, restarted. Redirects are followed. `onProgress` gets the
  // file's length on the first chunk, then at most every 0.25 s, and once at
  // the end of a complete body; it runs on the calling thread.
  // Throws Failure "Bad download address." (no request made), "The server
  // answered <code>." (file untouched), "Couldn't write to the download
  // folder."; std::system_error for a failed write; TransportError for network
  // failures and time-outs (the file keeps what arrived); Cancelled when `stop`
  // is requested (within a fraction of a second, the file keeps what arrived).
  // A body that ends early is not an error here: the caller compares `length`.
  static Result fetch(const std::string& url, const std::string& to, std::int64_t resumeAt,
                      const std::function<void(std::int64_t)>& onProgress,
                      std::stop_token stop = {});
};

// ---------------------------------------------------------------------------
// Progress of the reader download.
struct DownloadProgress {
  std::int64_t doneBytes = 0;   // done in this run, counting files already complete
  std::int64_t totalBytes = 1;  // all files of this run's plan; 1 while unknown
  std::string message;          // a stage text or the progress line
  std::int64_t etaSeconds = 0;  // 0: no estimate

  // 0 when totalBytes is below 1, else doneBytes / totalBytes, at most 1.
  double fraction() const;

  bool operator==(const DownloadProgress&) const = default;
};

// Fetches, verifies and installs the handwriting reader, and removes it again.
// One per process. run() belongs on one worker thread at a time; remove() may
// be called from another thread meanwhile: a run whose reader was removed
// while it was under way never installs (it ends with Cancelled).
class ModelDownloader {
 public:
  // What the downloader takes from the outside world; tests replace them.
  struct Hooks {
    // The current time (default: the system clock).
    std::function<TimePoint()> now;
    // Waits the seconds, or throws Cancelled at once when `stop` is requested.
    std::function<void(double seconds, std::stop_token stop)> sleep;
    // Bytes available on the volume holding the path; none when unknown.
    std::function<std::optional<std::int64_t>(const std::string& path)> freeSpace;
  };

  using ProgressFunction = std::function<void(const DownloadProgress&)>;

  explicit ModelDownloader(HandwritingEngine& engine, Hooks hooks = {});

  // Gets the manifest, fetches what is missing of the pack's files and this
  // platform's program, or uses systemServer() when the manifest has none for
  // this platform (resuming partial files, retrying with growing waits,
  // trying the mirrors, checking each SHA-256), unpacks the program, points
  // the reader settings at the installed files and writes installed.json.
  // `progress` is called on the calling thread.
  // Throws Failure with a sentence for the user, std::system_error or
  // std::filesystem::filesystem_error for file errors, and Cancelled when
  // `stop` is requested (at the next item, during a fetch, a hash or a wait,
  // and before unpacking and installing) or the reader was removed meanwhile.
  void run(const ProgressFunction& progress, std::stop_token stop = {});

  // Stops the model server at once, deletes the contents of the models and
  // runtime folders and clears the three file paths of the reader settings.
  void remove();

  // Total size of the files ending in ".partial" under models and runtime.
  static std::int64_t partialBytes();
  // "%.0f MB" below 1 GiB, else "%.1f GB" (binary units, "." as the decimal point).
  static std::string gb(std::int64_t bytes);
  // The size in bytes of the file at the path; 0 when there is no such item or its
  // attributes cannot be read. Never throws.
  static std::int64_t size(const std::string& of);
  // models/installed.json in the data folder.
  static std::string installedFile();
  // The llama-server program the system has installed: the first folder of
  // PATH (absolute entries only) holding an executable file of that name;
  // none when there is no such file. run() uses it as the reader's server,
  // and fetches only the model files, when the manifest has no build of the
  // server for this platform.
  static std::optional<std::string> systemServer();
  // True when run() has a model server to install or use: the built-in
  // manifest has a build for this platform, another manifest is chosen
  // ($QUORVEL_MANIFEST_URL), or systemServer() finds one. Reads PATH anew.
  static bool canGetServer();
  // "There's no handwriting reader for this kind of computer yet." and how to
  // get one: what run() throws when it has no server, and what the offers
  // of the download say first when canGetServer() is false.
  static std::string noServerSentence();

 private:
  HandwritingEngine& engine_;
  Hooks hooks_;
  std::mutex installMutex_;          // held by the install step and by remove()
  std::uint64_t removals_ = 0;       // guarded by installMutex_
};

// Runs command-line tools as subprocesses. Stateless; any thread may call.
namespace Shell {
// Starts the program at `tool` (an absolute path) with exactly `arguments`, no shell in between,
// in the folder `cwd` when given. Standard output and standard error share one pipe, so the
// text holds both in the order they were written; the environment and standard input are
// inherited, and no other descriptor of this process reaches the child. Blocks until the
// program exits, with no time limit, and returns its output (invalid UTF-8 replaced by U+FFFD).
// Throws std::system_error when the program cannot be started (missing, not executable, no
// such `cwd`), and Failure("<tool's file name> failed: <last 300 characters of the output>")
// when it exits with a non-zero status or is killed by a signal.
std::string run(const std::string& tool, const std::vector<std::string>& arguments,
                const std::optional<std::string>& cwd = std::nullopt);
}  // namespace Shell

}  // namespace quorvel
