#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>
#include <vips/vips8>

#include "core/failure.h"
#include "core/handwriting_engine.h"
#include "core/image_tools.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "http_test_server.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::HttpTestServer;
using testing::readFile;
using testing::Reply;
using testing::TempDir;
using testing::writeFile;

constexpr std::int64_t kGiB = 1073741824;

std::string bytes(std::size_t n, char seed) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(seed + i % 7);
  return s;
}

std::string sha256(const std::string& path) {
  return Shell::run("/usr/bin/sha256sum", {path}).substr(0, 64);
}

// The runtime archive: the stand-in server as bin/llama-server, with a library beside it.
struct Archive {
  std::string bytes;
  std::string sha;
};

const Archive& runtimeArchive() {
  static const Archive archive = [] {
    TempDir dir;
    std::string bin = dir.file("llama-test/bin");
    fs::create_directories(bin);
    fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", bin + "/llama-server");
    writeFile(bin + "/libggml.so", "library");
    Shell::run("/usr/bin/tar", {"-czf", dir.file("rt.tar.gz"), "-C", dir.path(), "llama-test"});
    return Archive{readFile(dir.file("rt.tar.gz")), sha256(dir.file("rt.tar.gz"))};
  }();
  return archive;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class Downloader : public ::testing::Test {
 protected:
  Downloader() {
    network_ = DeliveryNetwork::settings();
    DeliveryNetwork::Settings trusted = network_;
    trusted.extraCaBundle = secure_.certificateFile();
    DeliveryNetwork::setSettings(trusted);
    modelSha_ = shaOf(model_);
    mmprojSha_ = shaOf(mmproj_);
    manifest_.revision = "test-7";
    manifest_.handwriting.id = "test-pack";
    manifest_.handwriting.files = {
        {"model", "model.gguf", secure_.url("/model.gguf"), std::nullopt,
         static_cast<std::int64_t>(model_.size()), modelSha_},
        {"mmproj", "mmproj.gguf", secure_.url("/mmproj.gguf"), std::nullopt,
         static_cast<std::int64_t>(mmproj_.size()), mmprojSha_},
    };
    manifest_.runtimes = {{"llama-mac", "macos-arm64", "metal", secure_.url("/mac.tar.gz"),
                           std::nullopt, 10, std::string(64, 'a')},
                          {"llama-test", ModelManifest::thisPlatform(), "cpu",
                           secure_.url("/rt.tar.gz"), std::nullopt,
                           static_cast<std::int64_t>(runtimeArchive().bytes.size()),
                           runtimeArchive().sha}};
    secure_.script("/model.gguf", {Reply::file(model_)});
    secure_.script("/mmproj.gguf", {Reply::file(mmproj_)});
    secure_.script("/rt.tar.gz", {Reply::file(runtimeArchive().bytes)});
  }
  ~Downloader() override { DeliveryNetwork::setSettings(network_); }

  std::string shaOf(const std::string& contents) {
    TempDir dir;
    writeFile(dir.file("f"), contents);
    return sha256(dir.file("f"));
  }

  ModelDownloader::Hooks hooks() {
    return {[this] { return clock_ += clockStep_; },
            [this](double seconds, std::stop_token stop) {
              sleeps_.push_back(seconds);
              if (stop.stop_requested()) throw Cancelled();
            },
            [this](const std::string&) { return freeSpace_; }};
  }

  // Publishes the manifest and runs the downloader, keeping every report.
  void run(const std::function<void(const DownloadProgress&)>& also = {}, std::stop_token stop = {}) {
    plain_.script("/manifest.json", {Reply::file(manifest_.toJson())});
    reports_.clear();
    downloader_.run(
        [&](const DownloadProgress& p) {
          reports_.push_back(p);
          if (also) also(p);
        },
        stop);
  }

  std::string failureOfRun() {
    try {
      run();
    } catch (const Failure& f) {
      return f.message();
    }
    ADD_FAILURE() << "the run did not fail";
    return "";
  }

  bool reported(const std::string& message) const {
    for (const DownloadProgress& p : reports_)
      if (p.message == message) return true;
    return false;
  }

  std::int64_t modelBytes() const { return static_cast<std::int64_t>(model_.size() + mmproj_.size()); }
  std::string packDir() const { return QuorvelPaths::modelDir() + "/test-pack"; }
  std::string serverPath() const { return QuorvelPaths::runtimeDir() + "/llama-test/llama-server"; }

  testing::ScopedDataRoot root_;
  HttpTestServer secure_{HttpTestServer::Scheme::https};
  HttpTestServer plain_;
  ScopedEnv manifestUrl_{"QUORVEL_MANIFEST_URL", plain_.url("/manifest.json")};
  DeliveryNetwork::Settings network_;
  std::string model_ = bytes(30000, 'm');
  std::string mmproj_ = bytes(15000, 'p');
  std::string modelSha_, mmprojSha_;
  ModelManifest manifest_;
  TimePoint clock_ = 1'800'000'000'000'000;
  TimePoint clockStep_ = 0;
  std::vector<double> sleeps_;
  std::optional<std::int64_t> freeSpace_ = 100 * kGiB;
  std::vector<DownloadProgress> reports_;
  HandwritingEngine engine_{HandwritingSettings{}};
  ModelDownloader downloader_{engine_, hooks()};
};

std::string page(const TempDir& dir) {
  EXPECT_TRUE(ImageTools::ensureStarted());
  vips::VImage img = vips::VImage::black(1000, 800, vips::VImage::option()->set("bands", 3)) + 255;
  img = img.cast(VIPS_FORMAT_UCHAR);
  img.draw_rect({0, 0, 0}, 200, 300, 400, 30, vips::VImage::option()->set("fill", true));
  std::string path = dir.file("page.png");
  img.write_to_file(path.c_str());
  return path;
}

TEST_F(Downloader, InstallsFromALocalManifestAndTheReaderThenReadsAPage) {
  manifest_.handwriting.maxSqueeze = 1.5;
  manifest_.handwriting.tileHeight = 700;
  clockStep_ = 3'000'000;  // every look at the clock is 3 s later
  run();

  ASSERT_FALSE(reports_.empty());
  EXPECT_EQ(reports_.front(), (DownloadProgress{0, 1, "Checking what to download…", 0}));
  std::int64_t total = modelBytes() + static_cast<std::int64_t>(runtimeArchive().bytes.size());
  EXPECT_TRUE(reported("Unpacking…"));
  EXPECT_EQ(reports_.back(), (DownloadProgress{total, total, "Handwriting reader is ready", 0}));
  bool sawRate = false;
  for (const DownloadProgress& p : reports_) {
    if (!p.message.starts_with("language model · ")) continue;
    EXPECT_TRUE(p.message.starts_with("language model · 0 MB of " + ModelDownloader::gb(total) + " · "))
        << p.message;
    EXPECT_GT(p.etaSeconds, 0) << p.message;
    EXPECT_TRUE(p.message.ends_with(" MB/s")) << p.message;
    sawRate = true;
  }
  EXPECT_TRUE(sawRate);
  EXPECT_EQ(ManifestClient::lastSource(), "127.0.0.1");

  HandwritingSettings s = engine_.settings();
  EXPECT_EQ(s.serverPath, serverPath());
  EXPECT_EQ(s.modelPath, packDir() + "/model.gguf");
  EXPECT_EQ(s.mmprojPath, packDir() + "/mmproj.gguf");
  EXPECT_EQ(s.maxSqueeze, 1.5);
  EXPECT_EQ(s.tileHeight, 700);
  EXPECT_EQ(s.overlap, 200);
  EXPECT_EQ(HandwritingSettings::load(), s);
  EXPECT_TRUE(engine_.isAvailable());
  EXPECT_EQ(readFile(packDir() + "/model.gguf"), model_);
  EXPECT_EQ(readFile(QuorvelPaths::runtimeDir() + "/llama-test/libggml.so"), "library");
  EXPECT_FALSE(fs::exists(QuorvelPaths::runtimeDir() + "/llama-test.tar.gz"));
  EXPECT_FALSE(fs::exists(QuorvelPaths::runtimeDir() + "/llama-test.unpacking"));
  EXPECT_EQ(ModelDownloader::partialBytes(), 0);

  nlohmann::json installed = nlohmann::json::parse(readFile(ModelDownloader::installedFile()));
  EXPECT_EQ(installed["revision"], "test-7");
  EXPECT_EQ(installed["packId"], "test-pack");
  EXPECT_EQ(installed["runtimeId"], "llama-test");
  EXPECT_EQ(installed["serverPath"], serverPath());
  EXPECT_EQ(installed["mmprojPath"], packDir() + "/mmproj.gguf");
  EXPECT_EQ(Stamp::date(installed["installed"].get<std::string>()) / 1'000'000, clock_ / 1'000'000);

  TempDir scans;
  OcrResult result = engine_.readPage(page(scans));
  EXPECT_FALSE(result.error) << result.error.value_or("");
  std::string read;
  for (const std::string& line : result.lines) read += line + "\n";
  EXPECT_NE(read.find("fake reply"), std::string::npos) << read;
  engine_.server().stopNow();
}

TEST_F(Downloader, ASecondRunFetchesNothingAndWritesTheSettingsAgain) {
  run();
  std::size_t requestsBefore = secure_.requests().size();
  fs::remove(HandwritingSettings::filePath());
  run();
  EXPECT_EQ(secure_.requests().size(), requestsBefore);
  EXPECT_FALSE(reported("Unpacking…"));
  EXPECT_EQ(reports_.back(),
            (DownloadProgress{modelBytes(), modelBytes(), "Handwriting reader is ready", 0}));
  EXPECT_EQ(HandwritingSettings::load().serverPath, serverPath());
}

TEST_F(Downloader, ResumesAfterAnInterruptionWithOnlyTheMissingBytes) {
  writeFile(packDir() + "/model.gguf.partial", model_.substr(0, 1000));
  secure_.script("/model.gguf", {Reply::closeAfter(model_, 9000), Reply::file(model_)});
  run();
  std::vector<testing::RecordedRequest> seen = secure_.requests("/model.gguf");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("range"), "bytes=1000-");
  EXPECT_EQ(seen[1].header("range"), "bytes=10000-");
  EXPECT_EQ(sleeps_, std::vector<double>{2});
  EXPECT_EQ(readFile(packDir() + "/model.gguf"), model_);
  EXPECT_EQ(seen[0].header("user-agent"), "QuorvelInk/1.0 (+https://quorvel.ink)");
  // The clock never moved: no rate and no estimate.
  for (const DownloadProgress& p : reports_) {
    EXPECT_EQ(p.message.find("MB/s"), std::string::npos) << p.message;
    EXPECT_EQ(p.etaSeconds, 0);
  }
}

TEST_F(Downloader, AWrongDigestIsRetriedOnceThenReported) {
  std::string wrong = model_;
  wrong[100] = '!';
  secure_.script("/model.gguf", {Reply::file(wrong)});
  EXPECT_EQ(failureOfRun(),
            "Couldn't download the language model: The file didn't match its checksum, so it was "
            "thrown away.");
  EXPECT_EQ(secure_.requests("/model.gguf").size(), 2u);
  EXPECT_EQ(sleeps_, std::vector<double>{2});
  EXPECT_FALSE(fs::exists(packDir() + "/model.gguf.partial"));
  EXPECT_FALSE(fs::exists(packDir() + "/model.gguf"));
  EXPECT_FALSE(engine_.settings().serverPath);
}

TEST_F(Downloader, MirrorsAreTriedAfterThePrimaryFails) {
  // The model's primary always answers 404: four attempts with growing waits.
  secure_.script("/model.gguf", {Reply::withStatus(404)});
  plain_.script("/mirror/model.gguf", {Reply::file(model_)});
  manifest_.handwriting.files[0].mirrors = {plain_.url("/mirror/model.gguf")};
  // The projector's primary serves bad bytes: the second mismatch moves on at once.
  std::string wrong = mmproj_;
  wrong[0] = '!';
  secure_.script("/mmproj.gguf", {Reply::file(wrong)});
  plain_.script("/mirror/mmproj.gguf", {Reply::file(mmproj_)});
  manifest_.handwriting.files[1].mirrors = {plain_.url("/none"), plain_.url("/mirror/mmproj.gguf")};
  manifest_.runtimes[1].mirrors = {plain_.url("/none")};
  plain_.script("/none", {Reply::withStatus(500)});
  run();
  EXPECT_EQ(secure_.requests("/model.gguf").size(), 4u);
  EXPECT_EQ(plain_.requests("/mirror/model.gguf").size(), 1u);
  EXPECT_EQ(secure_.requests("/mmproj.gguf").size(), 2u);
  EXPECT_EQ(plain_.requests("/none").size(), 4u);
  EXPECT_EQ(sleeps_, (std::vector<double>{2, 8, 18, 30, 2, 2, 8, 18, 30}));
  EXPECT_TRUE(engine_.isAvailable());
}

TEST_F(Downloader, EveryAddressFailingReportsTheLastError) {
  struct Case {
    const char* name;
    Reply reply;
    std::string want;
  };
  std::vector<Case> cases = {
      {"status", Reply::withStatus(404),
       "Couldn't download the image reader: The server answered 404."},
      // Shorter than the manifest says: the resumed request is refused, restarted, still short.
      {"shortFile", Reply::file(mmproj_.substr(0, 2000)),
       "Couldn't download the image reader: The connection closed early."},
  };
  for (const Case& c : cases) {
    sleeps_.clear();
    secure_.script("/mmproj.gguf", {c.reply});
    EXPECT_EQ(failureOfRun(), c.want) << c.name;
    EXPECT_EQ(sleeps_, (std::vector<double>{2, 8, 18, 30})) << c.name;
  }
}

TEST_F(Downloader, WithoutAProgramForThisPlatformNothingIsFetched) {
  // No llama-server anywhere on PATH either.
  TempDir emptyBin;
  ScopedEnv path("PATH", emptyBin.path());
  manifest_.runtimes.pop_back();
  const std::string noServer =
      "There's no handwriting reader for this kind of computer yet. To get one, run "
      "scripts/install-reader.sh from Quorvel Ink's source folder, or install llama.cpp from your "
      "distribution, so that llama-server is on PATH.";
  EXPECT_EQ(failureOfRun(), noServer);
  // The built-in manifest, used when the fetched one is unusable, has none either.
  manifest_.format = 2;
  EXPECT_EQ(failureOfRun(), noServer);
  EXPECT_EQ(ManifestClient::lastSource(), "built in");
  EXPECT_TRUE(secure_.requests().empty());
}

TEST(SystemServer, IsTheFirstExecutableOnAnAbsolutePathEntry) {
  TempDir dir;
  const std::string program = std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server";
  for (const char* folder : {"a", "b", "c", "rel"}) fs::create_directories(dir.file(folder));
  fs::copy_file(program, dir.file("b/llama-server"));
  fs::copy_file(program, dir.file("c/llama-server"));
  fs::copy_file(program, dir.file("rel/llama-server"));
  writeFile(dir.file("a/llama-server"), "not executable");  // a plain file is passed over
  fs::create_directories(dir.file("d/llama-server"));         // and so is a folder of that name
  struct Case {
    std::string path;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {dir.file("a") + ":" + dir.file("b") + ":" + dir.file("c"), dir.file("b/llama-server")},
      {dir.file("d") + "::" + dir.file("c") + "/", dir.file("c/llama-server")},
      {dir.file("a") + ":" + dir.file("d"), std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnv path("PATH", c.path);
    EXPECT_EQ(ModelDownloader::systemServer(), c.want) << c.path;
  }
  // A relative entry would depend on the folder the program was started in.
  const fs::path here = fs::current_path();
  fs::current_path(dir.path());
  {
    ScopedEnv relative("PATH", "rel:.");
    EXPECT_EQ(ModelDownloader::systemServer(), std::nullopt);
  }
  fs::current_path(here);
}

TEST(SystemServer, ADownloadCanGetAServerFromPathOrAChosenManifestOnly) {
  // The built-in manifest has no build of the server for this platform.
  ASSERT_FALSE(ManifestClient::builtIn().runtimeForThisPlatform());
  TempDir withServer, without;
  fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", withServer.file("llama-server"));
  struct Case {
    std::string path;
    std::string manifestUrl;
    bool want;
  };
  const std::vector<Case> cases = {
      {without.path(), "", false},
      {without.path() + ":" + withServer.path(), "", true},
      {without.path(), "https://example.org/manifest.json", true},
  };
  for (const Case& c : cases) {
    ScopedEnv path("PATH", c.path);
    ScopedEnv url("QUORVEL_MANIFEST_URL", c.manifestUrl);
    EXPECT_EQ(ModelDownloader::canGetServer(), c.want) << c.path << " " << c.manifestUrl;
  }
}

TEST_F(Downloader, WithoutAProgramForThisPlatformTheSystemServerIsUsed) {
  TempDir bin;
  const std::string system = bin.file("llama-server");
  fs::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", system);
  // tar and gzip are still found, after the folder holding the server.
  ScopedEnv path("PATH", "/nonexistent:" + bin.path() + ":/usr/bin:/bin");
  manifest_.runtimes.pop_back();
  run();

  EXPECT_TRUE(secure_.requests("/rt.tar.gz").empty());
  EXPECT_FALSE(reported("Unpacking…"));
  EXPECT_EQ(reports_.back(), (DownloadProgress{modelBytes(), modelBytes(), "Handwriting reader is ready", 0}));
  EXPECT_EQ(engine_.settings().serverPath, system);
  EXPECT_EQ(engine_.settings().modelPath, packDir() + "/model.gguf");
  EXPECT_TRUE(engine_.isAvailable());
  nlohmann::json installed = nlohmann::json::parse(readFile(ModelDownloader::installedFile()));
  EXPECT_EQ(installed["runtimeId"], "system");
  EXPECT_EQ(installed["serverPath"], system);
  EXPECT_TRUE(fs::is_empty(QuorvelPaths::runtimeDir()));

  // Removing the reader takes the model files and leaves the system's program alone.
  downloader_.remove();
  EXPECT_TRUE(fs::exists(system));
  EXPECT_FALSE(fs::exists(packDir()));
  EXPECT_FALSE(engine_.settings().serverPath);

  // A manifest that has a build for this platform is still preferred.
  manifest_.runtimes.push_back({"llama-test", ModelManifest::thisPlatform(), "cpu", secure_.url("/rt.tar.gz"),
                                std::nullopt, static_cast<std::int64_t>(runtimeArchive().bytes.size()),
                                runtimeArchive().sha});
  run();
  EXPECT_EQ(secure_.requests("/rt.tar.gz").size(), 1u);
  EXPECT_EQ(engine_.settings().serverPath, serverPath());
}

TEST_F(Downloader, FreeSpaceCountsWhatIsStillMissingPlusAMargin) {
  std::int64_t archive = static_cast<std::int64_t>(runtimeArchive().bytes.size());
  // The model is on disk already and the projector half done: the rest is needed.
  writeFile(packDir() + "/model.gguf", model_);
  writeFile(packDir() + "/mmproj.gguf.partial", mmproj_.substr(0, 5000));
  std::int64_t need = static_cast<std::int64_t>(mmproj_.size()) - 5000 + archive;
  freeSpace_ = kGiB + need - 1;
  EXPECT_EQ(failureOfRun(),
            "Not enough free space: the handwriting reader needs about 1.0 GB and this computer "
            "has 1.0 GB free.");
  EXPECT_TRUE(secure_.requests().empty());
  freeSpace_ = kGiB + need;
  run();
  EXPECT_TRUE(engine_.isAvailable());
}

TEST_F(Downloader, APartialLongerThanItsFileCountsInFullAndStartsAgain) {
  std::int64_t archive = static_cast<std::int64_t>(runtimeArchive().bytes.size());
  writeFile(packDir() + "/model.gguf.partial", model_ + model_);
  std::int64_t need = modelBytes() + archive;
  freeSpace_ = kGiB + need - 1;
  EXPECT_NE(failureOfRun().find("Not enough free space"), std::string::npos);
  freeSpace_ = kGiB + need;
  run();
  ASSERT_EQ(secure_.requests("/model.gguf").size(), 1u);
  EXPECT_FALSE(secure_.requests("/model.gguf")[0].header("range"));
  EXPECT_EQ(readFile(packDir() + "/model.gguf"), model_);
}

TEST_F(Downloader, FreeSpaceMessagesNameTheRequirementWithTheMargin) {
  // 2 GiB still needed on 2.5 GiB.
  manifest_.handwriting.files[0].size =
      2 * kGiB - static_cast<std::int64_t>(mmproj_.size() + runtimeArchive().bytes.size());
  freeSpace_ = 5 * kGiB / 2;
  EXPECT_EQ(failureOfRun(),
            "Not enough free space: the handwriting reader needs about 3.0 GB and this computer "
            "has 2.5 GB free.");
  // Nothing needed at all still asks for the margin.
  manifest_.handwriting.files[0].size = static_cast<std::int64_t>(model_.size());
  run();
  freeSpace_ = 512 * 1048576;
  EXPECT_EQ(failureOfRun(),
            "Not enough free space: the handwriting reader needs about 1.0 GB and this computer "
            "has 512 MB free.");
  // An unknown free space is no reason to stop.
  freeSpace_ = std::nullopt;
  run();
}

TEST_F(Downloader, AProgramFolderWithoutTheServerIsUnpackedAgainFromTheArchive) {
  run();
  fs::remove(serverPath());
  writeFile(QuorvelPaths::runtimeDir() + "/llama-test.tar.gz", runtimeArchive().bytes);
  std::size_t before = secure_.requests("/rt.tar.gz").size();
  run();
  EXPECT_EQ(secure_.requests("/rt.tar.gz").size(), before);
  EXPECT_TRUE(reported("Unpacking…"));
  EXPECT_EQ(::access(serverPath().c_str(), X_OK), 0);
}

TEST_F(Downloader, AnArchiveWithoutTheServerFails) {
  TempDir dir;
  writeFile(dir.file("other/readme.txt"), "no server here");
  Shell::run("/usr/bin/tar", {"-czf", dir.file("bad.tar.gz"), "-C", dir.path(), "other"});
  std::string bad = readFile(dir.file("bad.tar.gz"));
  secure_.script("/rt.tar.gz", {Reply::file(bad)});
  manifest_.runtimes[1].size = static_cast<std::int64_t>(bad.size());
  manifest_.runtimes[1].sha256 = sha256(dir.file("bad.tar.gz"));
  EXPECT_EQ(failureOfRun(), "The downloaded program files don't contain llama-server.");
  EXPECT_FALSE(engine_.settings().serverPath);

  secure_.script("/rt.tar.gz", {Reply::file("not gzip")});
  manifest_.runtimes[1].size = 8;
  manifest_.runtimes[1].sha256 = shaOf("not gzip");
  EXPECT_TRUE(failureOfRun().starts_with("tar failed: "));
}

TEST_F(Downloader, StoppingBeforeTheInstallLeavesTheSettingsAlone) {
  std::stop_source stop;
  EXPECT_THROW(run([&](const DownloadProgress& p) {
                 if (p.message == "Unpacking…") stop.request_stop();
               },
                   stop.get_token()),
               Cancelled);
  EXPECT_FALSE(engine_.settings().serverPath);
  EXPECT_FALSE(fs::exists(ModelDownloader::installedFile()));
}

TEST_F(Downloader, StoppingWhileTheLastFileIsCheckedKeepsItPartial) {
  std::stop_source stop;
  std::int64_t archive = static_cast<std::int64_t>(runtimeArchive().bytes.size());
  EXPECT_THROW(run([&](const DownloadProgress& p) {
                 if (p.message.starts_with("program files") && p.doneBytes == modelBytes() + archive)
                   stop.request_stop();
               },
                   stop.get_token()),
               Cancelled);
  EXPECT_TRUE(fs::exists(QuorvelPaths::runtimeDir() + "/llama-test.tar.gz.partial"));
  EXPECT_FALSE(fs::exists(QuorvelPaths::runtimeDir() + "/llama-test.tar.gz"));
  EXPECT_EQ(ModelDownloader::partialBytes(), archive);
}

TEST_F(Downloader, RemovingTheReaderDuringARunNeverLeavesSettingsPointingAtDeletedFiles) {
  EXPECT_THROW(run([&](const DownloadProgress& p) {
                 if (p.message == "Unpacking…") downloader_.remove();
               }),
               Cancelled);
  EXPECT_FALSE(engine_.settings().serverPath);
  EXPECT_FALSE(HandwritingSettings::load().modelPath);
}

TEST_F(Downloader, CancellingDuringTheWaitBetweenAttemptsEndsAtOnce) {
  // The real sleeper: the first wait would be 2 s.
  ModelDownloader real(engine_, {[] { return nowMicros(); }, {}, [](const std::string&) {
                                   return std::optional<std::int64_t>();
                                 }});
  secure_.script("/model.gguf", {Reply::closeAfter(model_, 700)});
  plain_.script("/manifest.json", {Reply::file(manifest_.toJson())});
  std::stop_source stop;
  std::chrono::steady_clock::time_point stopped;
  std::thread canceller([&] {
    while (secure_.requests("/model.gguf").empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopped = std::chrono::steady_clock::now();
    stop.request_stop();
  });
  EXPECT_THROW(real.run({}, stop.get_token()), Cancelled);
  auto ended = std::chrono::steady_clock::now();
  canceller.join();
  EXPECT_LT(ended - stopped, std::chrono::milliseconds(500));
  EXPECT_EQ(readFile(packDir() + "/model.gguf.partial"), model_.substr(0, 700));
}

TEST_F(Downloader, RemoveTakesEverythingAndKeepsTheOtherSettings) {
  manifest_.handwriting.tileHeight = 640;
  run();
  TempDir scans;
  engine_.readPage(page(scans));
  writeFile(QuorvelPaths::runtimeDir() + "/other.tar.gz.partial", "12345");
  writeFile(QuorvelPaths::modelDir() + "/download.paused", "");
  EXPECT_EQ(ModelDownloader::partialBytes(), 5);

  downloader_.remove();
  EXPECT_FALSE(engine_.server().isRunning());
  EXPECT_TRUE(fs::is_empty(QuorvelPaths::modelDir()));
  EXPECT_TRUE(fs::is_empty(QuorvelPaths::runtimeDir()));
  HandwritingSettings s = HandwritingSettings::load();
  EXPECT_FALSE(s.serverPath || s.modelPath || s.mmprojPath);
  EXPECT_EQ(s.tileHeight, 640);
  EXPECT_EQ(engine_.settings(), s);
  EXPECT_FALSE(engine_.isAvailable());
  EXPECT_EQ(ModelDownloader::partialBytes(), 0);
}

TEST(ModelDownloaderSizes, PartialBytesSumsNestedPartialFilesAndIsZeroWithoutFolders) {
  testing::ScopedDataRoot root;
  fs::remove_all(QuorvelPaths::modelDir());
  fs::remove_all(QuorvelPaths::runtimeDir());
  EXPECT_EQ(ModelDownloader::partialBytes(), 0);
  writeFile(QuorvelPaths::modelDir() + "/pack/a.gguf.partial", "123");
  writeFile(QuorvelPaths::modelDir() + "/pack/b.gguf", "not counted");
  writeFile(QuorvelPaths::runtimeDir() + "/rt.tar.gz.partial", "1234567");
  writeFile(QuorvelPaths::dataRoot() + "/elsewhere.partial", "not counted");
  EXPECT_EQ(ModelDownloader::partialBytes(), 10);
}

TEST(ModelDownloaderSizes, GbShowsMegabytesBelowOneGibibyte) {
  struct Case {
    std::int64_t bytes;
    const char* text;
  };
  for (const Case& c : {Case{0, "0 MB"}, Case{1048576 * 812LL, "812 MB"},
                        Case{1073741823, "1024 MB"}, Case{1073741824, "1.0 GB"},
                        Case{kGiB * 5 / 2, "2.5 GB"}, Case{2489757856 + 851251104, "3.1 GB"}})
    EXPECT_EQ(ModelDownloader::gb(c.bytes), c.text) << c.bytes;
}

TEST(ModelDownloaderSizes, FractionStaysBetweenZeroAndOne) {
  struct Case {
    std::int64_t done, total;
    double want;
  };
  for (const Case& c : {Case{5, 0, 0}, Case{5, -1, 0}, Case{0, 1, 0}, Case{50, 200, 0.25},
                        Case{300, 200, 1}})
    EXPECT_DOUBLE_EQ((DownloadProgress{c.done, c.total, "", 0}.fraction()), c.want)
        << c.done << "/" << c.total;
}

}  // namespace
}  // namespace quorvel
