#pragma once
// Reader delivery: the runner for command-line tools and the model downloader.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

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

class ModelDownloader {
 public:
  // The size in bytes of the file at the path; 0 when there is no such item or its
  // attributes cannot be read. Never throws.
  static std::int64_t size(const std::string& of);
};

}  // namespace quorvel
