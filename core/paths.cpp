#include "core/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace quorvel {

namespace {

std::mutex& rootLock() {
  static std::mutex lock;
  return lock;
}

std::optional<std::string>& rootValue() {
  static std::optional<std::string> root;
  return root;
}

std::string homeFolder() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

}  // namespace

std::string QuorvelPaths::rootFromEnvironment() {
  const char* env = std::getenv("QUORVEL_DATA");
  if (env && *env) {
    std::string value = env;
    if (value == "~" || value.rfind("~/", 0) == 0) value = homeFolder() + value.substr(1);
    return value;
  }
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base = (xdg && *xdg) ? std::string(xdg) : homeFolder() + "/.local/share";
  return base + "/QuorvelInk";
}

std::string QuorvelPaths::dataRoot() {
  std::lock_guard guard(rootLock());
  auto& root = rootValue();
  if (!root) root = rootFromEnvironment();
  return *root;
}

std::string QuorvelPaths::thumbnailDir() { return dataRoot() + "/thumbs"; }
std::string QuorvelPaths::backupDir() { return dataRoot() + "/backups"; }
std::string QuorvelPaths::catalogFile() { return dataRoot() + "/catalog.db"; }
std::string QuorvelPaths::logDir() { return dataRoot() + "/logs"; }
std::string QuorvelPaths::runtimeDir() { return dataRoot() + "/runtime"; }
std::string QuorvelPaths::modelDir() { return dataRoot() + "/models"; }

void QuorvelPaths::useRoot(const std::string& path) {
  {
    std::lock_guard guard(rootLock());
    rootValue() = path;
  }
  ensureCreated();
}

void QuorvelPaths::ensureCreated() {
  const std::string root = dataRoot();
  for (const std::string& folder :
       {root, root + "/thumbs", root + "/models", root + "/runtime", root + "/logs"}) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
  }
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool readWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  out = buffer.str();
  return true;
}

}  // namespace quorvel
