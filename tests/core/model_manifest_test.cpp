#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>

#include "core/model_delivery.h"
#include "http_test_server.h"

namespace quorvel {
namespace {

using testing::HttpTestServer;
using testing::Reply;

const std::string kSha(64, 'a');

ModelManifest usableManifest() {
  ModelManifest m;
  m.revision = "r1";
  m.handwriting.id = "pack";
  m.handwriting.files = {
      {"model", "model.gguf", "https://example.org/model.gguf", std::nullopt, 100, kSha},
      {"mmproj", "mmproj.gguf", "https://example.org/mmproj.gguf", std::vector<std::string>{}, 50,
       kSha},
  };
  m.runtimes = {{"rt-linux", "linux-x64", "cpu", "https://example.org/rt.tar.gz", std::nullopt, 7,
                 kSha}};
  return m;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }

 private:
  void set(const std::optional<std::string>& value) {
    if (value)
      ::setenv(name_, value->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

TEST(BuiltInManifest, HoldsTheShippedPackAndNoRuntimeForThisPlatform) {
  const ModelManifest& m = ManifestClient::builtIn();
  EXPECT_EQ(m.format, 1);
  EXPECT_EQ(m.revision, "2026-11-10");
  EXPECT_EQ(m.minAppVersion, "0.1.0");
  EXPECT_EQ(m.handwriting.id, "gemma-3-4b-it-q4km");
  EXPECT_EQ(m.handwriting.displayName, "Handwriting reader (Gemma 3 4B)");
  EXPECT_EQ(m.handwriting.licenseName, "Gemma Terms of Use");
  EXPECT_FALSE(m.handwriting.maxSqueeze || m.handwriting.tileHeight || m.handwriting.overlap);
  ASSERT_EQ(m.handwriting.files.size(), 2u);
  EXPECT_EQ(m.handwriting.files[0].role, "model");
  EXPECT_EQ(m.handwriting.files[0].name, "gemma-3-4b-it-Q4_K_M.gguf");
  EXPECT_EQ(m.handwriting.files[0].size, 2489757856);
  EXPECT_EQ(m.handwriting.files[0].sha256,
            "882e8d2db44dc554fb0ea5077cb7e4bc49e7342a1f0da57901c0802ea21a0863");
  EXPECT_EQ(m.handwriting.files[1].role, "mmproj");
  EXPECT_EQ(m.handwriting.files[1].name, "mmproj-model-f16.gguf");
  EXPECT_EQ(m.handwriting.files[1].size, 851251104);
  EXPECT_EQ(m.handwriting.files[1].sha256,
            "8c0fb064b019a6972856aaae2c7e4792858af3ca4561be2dbf649123ba6c40cb");
  ASSERT_EQ(m.runtimes.size(), 2u);
  EXPECT_EQ(m.runtimes[0].id, "llama-b12207-macos-arm64");
  EXPECT_EQ(m.runtimes[0].platform, "macos-arm64");
  EXPECT_EQ(m.runtimes[0].size, 16708806);
  EXPECT_EQ(m.runtimes[1].id, "llama-b12207-macos-x64");
  EXPECT_EQ(m.runtimes[1].backend, "cpu");
  EXPECT_EQ(m.runtimes[1].sha256,
            "2398476ef7ee814becab7d16592a15a94e41bee13ef1e84d5c0748d9b8d6402d");
  for (const ModelFile& f : m.handwriting.files) {
    EXPECT_TRUE(f.url.starts_with("https://")) << f.url;
    EXPECT_EQ(f.mirrors, std::vector<std::string>{});
  }
  for (const RuntimeEntry& r : m.runtimes) {
    EXPECT_TRUE(r.url.starts_with("https://")) << r.url;
    EXPECT_EQ(r.mirrors, std::vector<std::string>{});
  }
  EXPECT_TRUE(m.handwriting.licenseUrl->starts_with("https://"));
  EXPECT_TRUE(ManifestClient::isUsable(m));

  EXPECT_TRUE(ModelManifest::thisPlatform() == "linux-x64" ||
              ModelManifest::thisPlatform() == "linux-arm64");
  EXPECT_FALSE(m.runtimeForThisPlatform());
  EXPECT_EQ(m.totalBytes(), 2489757856 + 851251104);
  EXPECT_EQ(ModelDownloader::gb(m.totalBytes()), "3.1 GB");
}

TEST(ManifestDecoding, RoundTripsAndLeavesOutAbsentOptionals) {
  ModelManifest m = usableManifest();
  m.handwriting.maxSqueeze = 1.5;
  m.handwriting.overlap = 120;
  std::string json = m.toJson();
  EXPECT_EQ(ModelManifest::fromJson(json), m);
  EXPECT_EQ(json.find("displayName"), std::string::npos);
  EXPECT_EQ(json.find("tileHeight"), std::string::npos);
  // The first file has no mirrors key at all, the second an empty array.
  nlohmann::json doc = nlohmann::json::parse(json);
  EXPECT_FALSE(doc["handwriting"]["files"][0].contains("mirrors"));
  EXPECT_EQ(doc["handwriting"]["files"][1]["mirrors"], nlohmann::json::array());
  EXPECT_LT(json.find("\"role\""), json.find("\"name\""));
  EXPECT_LT(json.find("\"format\""), json.find("\"handwriting\""));
  EXPECT_EQ(ModelManifest::fromJson(ManifestClient::builtIn().toJson()), ManifestClient::builtIn());
}

TEST(ManifestDecoding, IsStrictAboutRequiredKeysAndTypes) {
  struct Case {
    const char* name;
    std::function<void(nlohmann::json&)> change;
    bool decodes;
  };
  auto file0 = [](nlohmann::json& d) -> nlohmann::json& { return d["handwriting"]["files"][0]; };
  std::vector<Case> cases = {
      {"unchanged", [](nlohmann::json&) {}, true},
      {"unknownKeysIgnored", [&](nlohmann::json& d) { d["extra"] = 1; file0(d)["x"] = "y"; }, true},
      {"nullOptional", [](nlohmann::json& d) { d["minAppVersion"] = nullptr; }, true},
      {"integralMaxSqueeze", [](nlohmann::json& d) { d["handwriting"]["maxSqueeze"] = 2; }, true},
      {"noSize", [&](nlohmann::json& d) { file0(d).erase("size"); }, false},
      {"sizeAsText", [&](nlohmann::json& d) { file0(d)["size"] = "100"; }, false},
      {"fractionalSize", [&](nlohmann::json& d) { file0(d)["size"] = 2.5; }, false},
      {"sizeBeyond64Bits", [&](nlohmann::json& d) { file0(d)["size"] = 18446744073709551615ull; },
       false},
      {"nullRequired", [](nlohmann::json& d) { d["revision"] = nullptr; }, false},
      {"mirrorOfWrongType", [&](nlohmann::json& d) { file0(d)["mirrors"] = {1}; }, false},
      {"tileHeightFractional", [](nlohmann::json& d) { d["handwriting"]["tileHeight"] = 1.5; },
       false},
      {"noRuntimes", [](nlohmann::json& d) { d.erase("runtimes"); }, false},
      {"runtimeWithoutPlatform", [](nlohmann::json& d) { d["runtimes"][0].erase("platform"); },
       false},
      {"filesNotArray", [](nlohmann::json& d) { d["handwriting"]["files"] = nlohmann::json::object(); },
       false},
      {"topLevelArray", [](nlohmann::json& d) { d = nlohmann::json::array({d}); }, false},
  };
  for (const Case& c : cases) {
    nlohmann::json doc = nlohmann::json::parse(usableManifest().toJson());
    c.change(doc);
    EXPECT_EQ(ModelManifest::fromJson(doc.dump()).has_value(), c.decodes) << c.name;
  }
  EXPECT_FALSE(ModelManifest::fromJson("not json"));
  EXPECT_FALSE(ModelManifest::fromJson(""));
  std::optional<ModelManifest> noMirrors = ModelManifest::fromJson(usableManifest().toJson());
  ASSERT_TRUE(noMirrors);
  EXPECT_FALSE(noMirrors->handwriting.files[0].mirrors);
}

TEST(ManifestUsability, FollowsTheRulesInOrder) {
  struct Case {
    const char* name;
    std::function<void(ModelManifest&)> change;
    bool usable;
  };
  auto& nul = "x\0y";
  std::vector<Case> cases = {
      {"asMade", [](ModelManifest&) {}, true},
      {"format2", [](ModelManifest& m) { m.format = 2; }, false},
      {"noMmproj", [](ModelManifest& m) { m.handwriting.files[1].role = "projector"; }, false},
      {"roleIsCaseSensitive", [](ModelManifest& m) { m.handwriting.files[0].role = "Model"; }, false},
      {"extraRoleIsFine",
       [](ModelManifest& m) { m.handwriting.files.push_back(m.handwriting.files[0]);
                              m.handwriting.files.back().role = "notes";
                              m.handwriting.files.back().name = "notes.txt"; },
       true},
      {"sizeZero", [](ModelManifest& m) { m.handwriting.files[0].size = 0; }, false},
      {"sha63", [](ModelManifest& m) { m.handwriting.files[1].sha256 = std::string(63, 'a'); }, false},
      {"sha65", [](ModelManifest& m) { m.handwriting.files[1].sha256 = std::string(65, 'a'); }, false},
      {"shaNotHexStillPasses", [](ModelManifest& m) { m.handwriting.files[1].sha256 = std::string(64, 'z'); },
       true},
      {"plainHttp", [](ModelManifest& m) { m.handwriting.files[0].url = "http://example.org/m"; }, false},
      {"capitalScheme", [](ModelManifest& m) { m.handwriting.files[0].url = "HTTPS://EXAMPLE.ORG/m"; },
       true},
      {"httpMirrorPasses",
       [](ModelManifest& m) { m.handwriting.files[0].mirrors = std::vector<std::string>{"http://m/x"}; },
       true},
      {"runtimeSizeNegative", [](ModelManifest& m) { m.runtimes[0].size = -1; }, false},
      {"runtimePlainHttp", [](ModelManifest& m) { m.runtimes[0].url = "http://example.org/rt"; }, false},
      {"noRuntimesPasses", [](ModelManifest& m) { m.runtimes.clear(); }, true},
      {"onlyOtherPlatformPasses", [](ModelManifest& m) { m.runtimes[0].platform = "macos-x64"; }, true},
      // Names from the network become path components.
      {"packIdEmpty", [](ModelManifest& m) { m.handwriting.id = ""; }, false},
      {"packIdDotDot", [](ModelManifest& m) { m.handwriting.id = ".."; }, false},
      {"packIdDot", [](ModelManifest& m) { m.handwriting.id = "."; }, false},
      {"packIdSlash", [](ModelManifest& m) { m.handwriting.id = "../../etc"; }, false},
      {"fileNameSlash", [](ModelManifest& m) { m.handwriting.files[0].name = "sub/model.gguf"; }, false},
      {"fileNameBackslash", [](ModelManifest& m) { m.handwriting.files[1].name = "a\\b"; }, false},
      {"fileNameNul", [&](ModelManifest& m) { m.handwriting.files[1].name = std::string(nul, 3); }, false},
      {"fileNameEmpty", [](ModelManifest& m) { m.handwriting.files[0].name = ""; }, false},
      {"runtimeIdDotDot", [](ModelManifest& m) { m.runtimes[0].id = ".."; }, false},
      {"runtimeIdSlash", [](ModelManifest& m) { m.runtimes[0].id = "/tmp/x"; }, false},
      {"dotsInsideAreFine", [](ModelManifest& m) { m.handwriting.id = "pack.v1..2"; }, true},
  };
  for (const Case& c : cases) {
    ModelManifest m = usableManifest();
    c.change(m);
    EXPECT_EQ(ManifestClient::isUsable(m), c.usable) << c.name;
  }
}

TEST(ManifestRuntime, PrefersThisManifestThenTheBuiltInOne) {
  ModelManifest m = usableManifest();
  RuntimeEntry other = m.runtimes[0];
  other.platform = "macos-arm64";
  other.id = "mac";
  other.size = 1000;
  RuntimeEntry mine = m.runtimes[0];
  mine.platform = ModelManifest::thisPlatform();
  mine.id = "first-for-here";
  mine.size = 30;
  RuntimeEntry second = mine;
  second.id = "second-for-here";
  m.runtimes = {other, mine, second};
  ASSERT_TRUE(m.runtimeForThisPlatform());
  EXPECT_EQ(m.runtimeForThisPlatform()->id, "first-for-here");
  EXPECT_EQ(m.totalBytes(), 100 + 50 + 30);

  // The built-in manifest has no build for this platform either: the pack's files alone.
  m.runtimes = {other};
  EXPECT_FALSE(m.runtimeForThisPlatform());
  EXPECT_EQ(m.totalBytes(), 150);
}

TEST(ManifestAddress, ComesFromTheEnvironmentUnlessEmpty) {
  {
    ScopedEnv env("QUORVEL_MANIFEST_URL", std::nullopt);
    EXPECT_EQ(ManifestClient::url(), ManifestClient::defaultURL);
  }
  {
    ScopedEnv env("QUORVEL_MANIFEST_URL", "");
    EXPECT_EQ(ManifestClient::url(), ManifestClient::defaultURL);
  }
  {
    ScopedEnv env("QUORVEL_MANIFEST_URL", " http://x/m.json");
    EXPECT_EQ(ManifestClient::url(), " http://x/m.json");
  }
  EXPECT_TRUE(std::string(ManifestClient::defaultURL).starts_with("https://"));
}

class ManifestFetch : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = DeliveryNetwork::settings(); }
  void TearDown() override { DeliveryNetwork::setSettings(saved_); }

  // Serves `reply` as the manifest, fetches it and says whether the fetched one was used.
  bool fetchedOneUsed(const Reply& reply) {
    server_.script("/manifest.json", {reply});
    ScopedEnv env("QUORVEL_MANIFEST_URL", server_.url("/manifest.json"));
    ModelManifest got = ManifestClient::get();
    bool fetched = got == usableManifest();
    EXPECT_EQ(ManifestClient::lastSource(), fetched ? "127.0.0.1" : "built in");
    if (!fetched) {
      EXPECT_EQ(got, ManifestClient::builtIn());
    }
    return fetched;
  }

  HttpTestServer server_;
  DeliveryNetwork::Settings saved_;
};

TEST_F(ManifestFetch, UsesAGoodDocumentAndFallsBackOnEveryFailure) {
  std::string good = usableManifest().toJson();
  ModelManifest format2 = usableManifest();
  format2.format = 2;
  ModelManifest unsafe = usableManifest();
  unsafe.handwriting.files[0].name = "../model.gguf";
  std::string noSize = good;
  noSize.replace(noSize.find("\"size\": 100,"), 12, "");

  EXPECT_TRUE(fetchedOneUsed(Reply::file(good)));
  EXPECT_FALSE(fetchedOneUsed(Reply::withStatus(404)));
  EXPECT_FALSE(fetchedOneUsed(Reply::withStatus(500)));
  EXPECT_FALSE(fetchedOneUsed(Reply::file(format2.toJson())));
  EXPECT_FALSE(fetchedOneUsed(Reply::file(unsafe.toJson())));
  EXPECT_FALSE(fetchedOneUsed(Reply::file(noSize)));
  EXPECT_FALSE(fetchedOneUsed(Reply::file("{\"format\": 1")));
  EXPECT_FALSE(fetchedOneUsed(Reply::closeAfter(good, 20)));
}

TEST_F(ManifestFetch, FollowsARedirectAndNamesTheRequestedHost) {
  server_.script("/manifest.json", {Reply::file(usableManifest().toJson())});
  server_.script("/old.json", {Reply::redirect(server_.url("/manifest.json"))});
  ScopedEnv env("QUORVEL_MANIFEST_URL", "http://localhost:" +
                                            server_.url("").substr(std::string("http://127.0.0.1:").size()) +
                                            "/old.json");
  EXPECT_EQ(ManifestClient::get(), usableManifest());
  EXPECT_EQ(ManifestClient::lastSource(), "localhost");
}

TEST_F(ManifestFetch, BadAddressMakesNoRequest) {
  ScopedEnv env("QUORVEL_MANIFEST_URL", "not a url");
  EXPECT_EQ(ManifestClient::get(), ManifestClient::builtIn());
  EXPECT_EQ(ManifestClient::lastSource(), "built in");
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ManifestFetch, ASilentServerFallsBackAfterTheIdleTimeOut) {
  DeliveryNetwork::Settings s = saved_;
  s.manifestIdleSeconds = 1;
  DeliveryNetwork::setSettings(s);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fetchedOneUsed(Reply::stall(usableManifest().toJson(), 10)));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 10);
}

TEST_F(ManifestFetch, WorksOverHttpsWithATrustedCertificate) {
  HttpTestServer secure(HttpTestServer::Scheme::https);
  secure.script("/manifest.json", {Reply::file(usableManifest().toJson())});
  ScopedEnv env("QUORVEL_MANIFEST_URL", secure.url("/manifest.json"));
  // Not trusted: the certificate is our own.
  EXPECT_EQ(ManifestClient::get(), ManifestClient::builtIn());
  DeliveryNetwork::Settings s = saved_;
  s.extraCaBundle = secure.certificateFile();
  DeliveryNetwork::setSettings(s);
  EXPECT_EQ(ManifestClient::get(), usableManifest());
  EXPECT_EQ(ManifestClient::lastSource(), "127.0.0.1");
}

}  // namespace
}  // namespace quorvel
