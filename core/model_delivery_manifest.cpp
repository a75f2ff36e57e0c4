// The model manifest: strict decoding, the built-in copy, the usability rules
// and the fetch with its fallback.
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/curl_support.h"
#include "core/model_delivery.h"
#include "core/text.h"

namespace quorvel {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// Thrown inside decoding only; turned into "undecodable" at the top.
struct Undecodable {};

const json& member(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) throw Undecodable{};
  return *it;
}

bool absent(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null();
}

std::string textValue(const json& value) {
  if (!value.is_string()) throw Undecodable{};
  return value.get<std::string>();
}

std::int64_t integer(const json& value) {
  if (!value.is_number_integer()) throw Undecodable{};
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    throw Undecodable{};
  return value.get<std::int64_t>();
}

double number(const json& value) {
  if (!value.is_number()) throw Undecodable{};
  return value.get<double>();
}

std::vector<std::string> texts(const json& value) {
  if (!value.is_array()) throw Undecodable{};
  std::vector<std::string> out;
  for (const json& element : value) out.push_back(textValue(element));
  return out;
}

const json& object(const json& value) {
  if (!value.is_object()) throw Undecodable{};
  return value;
}

std::optional<std::string> optionalText(const json& o, const char* key) {
  if (absent(o, key)) return std::nullopt;
  return textValue(o.at(key));
}

std::optional<std::vector<std::string>> optionalTexts(const json& o, const char* key) {
  if (absent(o, key)) return std::nullopt;
  return texts(o.at(key));
}

std::optional<std::int64_t> optionalInteger(const json& o, const char* key) {
  if (absent(o, key)) return std::nullopt;
  return integer(o.at(key));
}

ModelFile decodeFile(const json& value) {
  const json& o = object(value);
  ModelFile f;
  f.role = textValue(member(o, "role"));
  f.name = textValue(member(o, "name"));
  f.url = textValue(member(o, "url"));
  f.mirrors = optionalTexts(o, "mirrors");
  f.size = integer(member(o, "size"));
  f.sha256 = textValue(member(o, "sha256"));
  return f;
}

HandwritingPack decodePack(const json& value) {
  const json& o = object(value);
  HandwritingPack p;
  p.id = textValue(member(o, "id"));
  p.displayName = optionalText(o, "displayName");
  p.licenseName = optionalText(o, "licenseName");
  p.licenseUrl = optionalText(o, "licenseUrl");
  const json& files = member(o, "files");
  if (!files.is_array()) throw Undecodable{};
  for (const json& f : files) p.files.push_back(decodeFile(f));
  if (!absent(o, "maxSqueeze")) p.maxSqueeze = number(o.at("maxSqueeze"));
  p.tileHeight = optionalInteger(o, "tileHeight");
  p.overlap = optionalInteger(o, "overlap");
  return p;
}

RuntimeEntry decodeRuntime(const json& value) {
  const json& o = object(value);
  RuntimeEntry r;
  r.id = textValue(member(o, "id"));
  r.platform = textValue(member(o, "platform"));
  r.backend = optionalText(o, "backend");
  r.url = textValue(member(o, "url"));
  r.mirrors = optionalTexts(o, "mirrors");
  r.size = integer(member(o, "size"));
  r.sha256 = textValue(member(o, "sha256"));
  return r;
}

ordered_json encodeMirrors(const std::vector<std::string>& mirrors) {
  ordered_json a = ordered_json::array();
  for (const std::string& m : mirrors) a.push_back(m);
  return a;
}

// A name from the network becomes a path component only when it cannot leave
// its folder or name the folder itself.
bool isSafeName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool hasSoundDownload(std::int64_t size, const std::string& sha256, const std::string& url) {
  return size > 0 && sha256.size() == 64 && text::lowercased(url).starts_with("https://");
}

std::mutex sourceMutex;
std::string source = "built in";  // guarded by sourceMutex

void setSource(const std::string& value) {
  std::lock_guard lock(sourceMutex);
  source = value;
}

std::mutex networkMutex;
DeliveryNetwork::Settings network;  // guarded by networkMutex

// A manifest is a few kilobytes; a server sending more is not sending one.
constexpr std::size_t kMaxManifestBytes = 4 * 1024 * 1024;

struct Fetched {
  std::string body;
  std::stop_token stop;
  std::chrono::duration<double> idle{15};
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  curl_off_t lastBytes = 0;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* fetched = static_cast<Fetched*>(user);
  std::size_t n = size * count;
  if (fetched->body.size() + n > kMaxManifestBytes) return 0;
  fetched->body.append(data, n);
  return n;
}

// Ends the request when the caller stops or no byte has come for `idle`.
int watch(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto* fetched = static_cast<Fetched*>(user);
  if (fetched->stop.stop_requested()) return 1;
  auto now = std::chrono::steady_clock::now();
  if (received + sent != fetched->lastBytes) {
    fetched->lastBytes = received + sent;
    fetched->lastActivity = now;
  }
  return now - fetched->lastActivity > fetched->idle ? 1 : 0;
}

// The host of a valid address ("" when it has none); none when `address` is no URL.
std::optional<std::string> hostOf(const std::string& address) {
  curl::Url u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  char* host = nullptr;
  std::string out;
  if (curl_url_get(u.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host) out = host;
  curl_free(host);
  return out;
}

}  // namespace

std::optional<ModelFile> HandwritingPack::file(const std::string& role) const {
  for (const ModelFile& f : files)
    if (f.role == role) return f;
  return std::nullopt;
}

std::string ModelManifest::thisPlatform() {
#if defined(__aarch64__)
  return "linux-arm64";
#else
  return "linux-x64";
#endif
}

std::optional<RuntimeEntry> ModelManifest::runtimeForThisPlatform() const {
  std::string platform = thisPlatform();
  for (const RuntimeEntry& r : runtimes)
    if (r.platform == platform) return r;
  for (const RuntimeEntry& r : ManifestClient::builtIn().runtimes)
    if (r.platform == platform) return r;
  return std::nullopt;
}

std::int64_t ModelManifest::totalBytes() const {
  std::int64_t total = 0;
  for (const ModelFile& f : handwriting.files) total += f.size;
  if (auto runtime = runtimeForThisPlatform()) total += runtime->size;
  return total;
}

std::optional<ModelManifest> ModelManifest::fromJson(const std::string& text) {
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return std::nullopt;
  try {
    const json& o = object(doc);
    ModelManifest m;
    m.format = integer(member(o, "format"));
    m.revision = textValue(member(o, "revision"));
    m.minAppVersion = optionalText(o, "minAppVersion");
    m.handwriting = decodePack(member(o, "handwriting"));
    const json& runtimes = member(o, "runtimes");
    if (!runtimes.is_array()) return std::nullopt;
    for (const json& r : runtimes) m.runtimes.push_back(decodeRuntime(r));
    return m;
  } catch (const Undecodable&) {
    return std::nullopt;
  }
}

std::string ModelManifest::toJson() const {
  auto fileJson = [](const ModelFile& f) {
    ordered_json o;
    o["role"] = f.role;
    o["name"] = f.name;
    o["url"] = f.url;
    if (f.mirrors) o["mirrors"] = encodeMirrors(*f.mirrors);
    o["size"] = f.size;
    o["sha256"] = f.sha256;
    return o;
  };
  ordered_json pack;
  pack["id"] = handwriting.id;
  if (handwriting.displayName) pack["displayName"] = *handwriting.displayName;
  if (handwriting.licenseName) pack["licenseName"] = *handwriting.licenseName;
  if (handwriting.licenseUrl) pack["licenseUrl"] = *handwriting.licenseUrl;
  pack["files"] = ordered_json::array();
  for (const ModelFile& f : handwriting.files) pack["files"].push_back(fileJson(f));
  if (handwriting.maxSqueeze) pack["maxSqueeze"] = *handwriting.maxSqueeze;
  if (handwriting.tileHeight) pack["tileHeight"] = *handwriting.tileHeight;
  if (handwriting.overlap) pack["overlap"] = *handwriting.overlap;

  ordered_json doc;
  doc["format"] = format;
  doc["revision"] = revision;
  if (minAppVersion) doc["minAppVersion"] = *minAppVersion;
  doc["handwriting"] = pack;
  doc["runtimes"] = ordered_json::array();
  for (const RuntimeEntry& r : runtimes) {
    ordered_json o;
    o["id"] = r.id;
    o["platform"] = r.platform;
    if (r.backend) o["backend"] = *r.backend;
    o["url"] = r.url;
    if (r.mirrors) o["mirrors"] = encodeMirrors(*r.mirrors);
    o["size"] = r.size;
    o["sha256"] = r.sha256;
    doc["runtimes"].push_back(o);
  }
  return doc.dump(2);
}

const char* const ManifestClient::defaultURL = "https://quorvel.ink/reader/manifest.json";

const char* const ManifestClient::builtInJson = R"json({
  "format": 1,
  "revision": "2026-11-10",
  "minAppVersion": "0.1.0",
  "handwriting": {
    "id": "gemma-3-4b-it-q4km",
    "displayName": "Handwriting reader (Gemma 3 4B)",
    "licenseName": "Gemma Terms of Use",
    "licenseUrl": "https://ai.google.dev/gemma/terms",
    "files": [
      {
        "role": "model",
        "name": "gemma-3-4b-it-Q4_K_M.gguf",
        "url": "https://huggingface.co/ggml-org/gemma-3-4b-it-GGUF/resolve/main/gemma-3-4b-it-Q4_K_M.gguf",
        "mirrors": [],
        "size": 2489757856,
        "sha256": "882e8d2db44dc554fb0ea5077cb7e4bc49e7342a1f0da57901c0802ea21a0863"
      },
      {
        "role": "mmproj",
        "name": "mmproj-model-f16.gguf",
        "url": "https://huggingface.co/ggml-org/gemma-3-4b-it-GGUF/resolve/main/mmproj-model-f16.gguf",
        "mirrors": [],
        "size": 851251104,
        "sha256": "8c0fb064b019a6972856aaae2c7e4792858af3ca4561be2dbf649123ba6c40cb"
      }
    ]
  },
  "runtimes": [
    {
      "id": "llama-b12207-macos-arm64",
      "platform": "macos-arm64",
      "backend": "metal",
      "url": "https://github.com/ggml-org/llama.cpp/releases/download/b12207/llama-b12207-bin-macos-arm64.tar.gz",
      "mirrors": [],
      "size": 16708806,
      "sha256": "1faf4a630ad03816128266ac0e58e70c70a6886d2483f3ccaa3c4d95c37640f5"
    },
    {
      "id": "llama-b12207-macos-x64",
      "platform": "macos-x64",
      "backend": "cpu",
      "url": "https://github.com/ggml-org/llama.cpp/releases/download/b12207/llama-b12207-bin-macos-x64.tar.gz",
      "mirrors": [],
      "size": 12455011,
      "sha256": "2398476ef7ee814becab7d16592a15a94e41bee13ef1e84d5c0748d9b8d6402d"
    }
  ]
}
)json";

std::string ManifestClient::url() {
  const char* value = std::getenv("QUORVEL_MANIFEST_URL");
  if (value && *value) return value;
  return defaultURL;
}

const ModelManifest& ManifestClient::builtIn() {
  static const ModelManifest manifest = [] {
    std::optional<ModelManifest> decoded = ModelManifest::fromJson(builtInJson);
    if (!decoded) std::abort();  // the constant above always decodes
    return *decoded;
  }();
  return manifest;
}

std::string ManifestClient::lastSource() {
  std::lock_guard lock(sourceMutex);
  return source;
}

bool ManifestClient::isUsable(const ModelManifest& m) {
  if (m.format != 1) return false;
  if (!m.handwriting.file("model") || !m.handwriting.file("mmproj")) return false;
  for (const ModelFile& f : m.handwriting.files)
    if (!hasSoundDownload(f.size, f.sha256, f.url)) return false;
  for (const RuntimeEntry& r : m.runtimes)
    if (!hasSoundDownload(r.size, r.sha256, r.url)) return false;
  if (!isSafeName(m.handwriting.id)) return false;
  for (const ModelFile& f : m.handwriting.files)
    if (!isSafeName(f.name)) return false;
  for (const RuntimeEntry& r : m.runtimes)
    if (!isSafeName(r.id)) return false;
  return true;
}

ModelManifest ManifestClient::get(std::stop_token stop) {
  curl::initOnce();
  std::string address = url();
  std::optional<std::string> host = hostOf(address);
  auto fallBack = [] {
    setSource("built in");
    return builtIn();
  };
  if (!host) return fallBack();

  DeliveryNetwork::Settings settings = DeliveryNetwork::settings();
  curl::Easy easy(curl_easy_init());
  if (!easy) return fallBack();
  Fetched fetched;
  fetched.stop = stop;
  fetched.idle = std::chrono::duration<double>(settings.manifestIdleSeconds);
  CURL* c = easy.get();
  curl_easy_setopt(c, CURLOPT_URL, address.c_str());
  curl::setWebDefaults(c, settings.extraCaBundle);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &fetched);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, watch);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &fetched);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  if (curl_easy_perform(c) != CURLE_OK) return fallBack();
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return fallBack();

  std::optional<ModelManifest> manifest = ModelManifest::fromJson(fetched.body);
  if (!manifest || !isUsable(*manifest)) return fallBack();
  setSource(host->empty() ? "website" : *host);
  return *manifest;
}

DeliveryNetwork::Settings DeliveryNetwork::settings() {
  std::lock_guard lock(networkMutex);
  return network;
}

void DeliveryNetwork::setSettings(const Settings& settings) {
  std::lock_guard lock(networkMutex);
  network = settings;
}

}  // namespace quorvel
