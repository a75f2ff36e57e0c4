// The model downloader: plan, free space, attempts and mirrors, SHA-256,
// unpacking and installing the reader, and its removal.
#include <charconv>
#include <filesystem>
#include <string>

#include "core/model_delivery.h"
#include "core/paths.h"

namespace quorvel {

namespace fs = std::filesystem;

double DownloadProgress::fraction() const {
  if (totalBytes < 1) return 0;
  double f = static_cast<double>(doneBytes) / static_cast<double>(totalBytes);
  return f > 1 ? 1 : f;
}

std::string ModelDownloader::gb(std::int64_t bytes) {
  // to_chars ignores the locale: the text always uses ".".
  constexpr std::int64_t kGiB = 1073741824;
  bool inGb = bytes >= kGiB;
  double value = static_cast<double>(bytes) / (inGb ? 1073741824.0 : 1048576.0);
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                              inGb ? 1 : 0);
  return std::string(buffer, result.ptr) + (inGb ? " GB" : " MB");
}

std::string ModelDownloader::installedFile() { return QuorvelPaths::modelDir() + "/installed.json"; }

std::int64_t ModelDownloader::partialBytes() {
  std::int64_t total = 0;
  for (const std::string& root : {QuorvelPaths::modelDir(), QuorvelPaths::runtimeDir()}) {
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (it->path().filename().string().ends_with(".partial")) total += size(it->path().string());
    }
  }
  return total;
}

}  // namespace quorvel
