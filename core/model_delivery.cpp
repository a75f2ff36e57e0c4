#include "core/model_delivery.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <utility>

#include "core/failure.h"
#include "core/models.h"
#include "core/paths.h"
#include "core/text.h"

extern char** environ;

namespace quorvel {

namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Never retried after EINTR: the descriptor may already be reused by another thread.
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

void throwIf(int error, const std::string& what) {
  if (error != 0) throw std::system_error(error, std::system_category(), what);
}

std::string lastComponent(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last `count` user-perceived characters. Segments only a tail of the text, so a
// failing tool that printed megabytes costs no more than one that printed a line.
std::string lastCharacters(const std::string& text, std::size_t count) {
  std::size_t window = 64 * 1024;
  while (true) {
    std::size_t start = text.size() > window ? text.size() - window : 0;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::vector<std::string> characters = text::graphemes(std::string_view(text).substr(start));
    if (characters.size() > count || start == 0) {
      std::string tail;
      std::size_t from = characters.size() > count ? characters.size() - count : 0;
      for (std::size_t i = from; i < characters.size(); ++i) tail += characters[i];
      return tail;
    }
    window *= 4;
  }
}

}  // namespace

std::string Shell::run(const std::string& tool, const std::vector<std::string>& arguments,
                       const std::optional<std::string>& cwd) {
  int pipeFds[2];
  // O_CLOEXEC: neither end stays open in the child beyond the two dup2 copies, and no
  // program spawned meanwhile by another thread inherits them.
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throwIf(errno, "pipe");
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);

  FileActions actions;
  throwIf(::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO),
          "posix_spawn_file_actions_adddup2");
  throwIf(::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO),
          "posix_spawn_file_actions_adddup2");
  // Descriptors opened elsewhere in the process without O_CLOEXEC are closed too.
  throwIf(::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1),
          "posix_spawn_file_actions_addclosefrom_np");
  if (cwd)
    throwIf(::posix_spawn_file_actions_addchdir_np(actions.get(), cwd->c_str()),
            "posix_spawn_file_actions_addchdir_np");

  // The child starts with no blocked signals and SIGPIPE at its default, whatever this
  // process or the calling thread has set.
  SpawnAttributes attributes;
  sigset_t noSignals, defaults;
  ::sigemptyset(&noSignals);
  ::sigemptyset(&defaults);
  ::sigaddset(&defaults, SIGPIPE);
  throwIf(::posix_spawnattr_setsigmask(attributes.get(), &noSignals), "posix_spawnattr_setsigmask");
  throwIf(::posix_spawnattr_setsigdefault(attributes.get(), &defaults),
          "posix_spawnattr_setsigdefault");
  throwIf(::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
          "posix_spawnattr_setflags");

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  throwIf(::posix_spawn(&pid, tool.c_str(), actions.get(), attributes.get(), argv.data(), environ),
          tool);
  // Our copy of the write end must go, or the read below never sees end of file.
  writeEnd.reset();

  // Drain the pipe before waitpid(): a child blocked on a full pipe never exits.
  std::string output;
  char buffer[64 * 1024];
  int readError = 0;
  while (true) {
    ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      readError = errno;
      break;
    }
  }
  readEnd.reset();

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwIf(errno, "waitpid");
  }
  throwIf(readError, "read");

  std::string text = replacingInvalidUtf8(output);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw Failure(lastComponent(tool) + " failed: " + lastCharacters(text, 300));
  return text;
}

std::int64_t ModelDownloader::size(const std::string& of) {
  struct stat info;
  if (::stat(of.c_str(), &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size);
}

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
    std::filesystem::recursive_directory_iterator it(root, std::filesystem::directory_options::skip_permission_denied, error);
    for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->path().filename().string().ends_with(".partial")) total += size(it->path().string());
    }
  }
  return total;
}

}  // namespace quorvel
