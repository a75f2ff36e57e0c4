#include "core/import_pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "core/models.h"
#include "core/paths.h"

namespace quorvel {

namespace {
std::mutex& logLock() {
  static std::mutex lock;
  return lock;
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

}  // namespace quorvel
