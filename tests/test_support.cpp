#include "test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/paths.h"

// Leak reports from libraries' one-time set-up, not from our code: the font
// cache fontconfig builds for pango's first text layout, and a global of the
// HEVC encoder behind libheif's saver. LeakSanitizer reads this at exit.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libx265.so\n";
}

namespace quorvel::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedDataRoot::ScopedDataRoot() { QuorvelPaths::useRoot(dir_.path()); }

void writeFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out << contents;
  ASSERT_TRUE(out.good()) << path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace quorvel::testing
