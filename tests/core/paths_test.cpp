#include "core/paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/import_pipeline.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

TEST(QuorvelPaths, UseRootMovesEveryPartAndCreatesTheLayout) {
  testing::ScopedDataRoot root;
  EXPECT_EQ(QuorvelPaths::dataRoot(), root.path());
  EXPECT_EQ(QuorvelPaths::thumbnailDir(), root.path() + "/thumbs");
  EXPECT_EQ(QuorvelPaths::logDir(), root.path() + "/logs");
  EXPECT_EQ(QuorvelPaths::catalogFile(), root.path() + "/catalog.db");
  for (const char* sub : {"thumbs", "models", "runtime", "logs"})
    EXPECT_TRUE(fs::is_directory(root.path() + "/" + sub)) << sub;
  EXPECT_FALSE(fs::exists(root.path() + "/backups"));
  QuorvelPaths::ensureCreated();  // all present: nothing changes, nothing thrown
  EXPECT_TRUE(fs::is_directory(root.path() + "/logs"));
}

TEST(Log, AppendsOneStampedLinePerEntry) {
  testing::ScopedDataRoot root;
  fs::remove_all(root.path() + "/logs");
  Log::append("ocr.log", "first");
  Log::append("ocr.log", "second\nmore");
  std::string text = testing::readFile(root.path() + "/logs/ocr.log");
  // "<24-char stamp> first\n<stamp> second\nmore\n"
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_EQ(text.substr(24, 7), " first\n");
  EXPECT_EQ(text.substr(23, 1), "Z");
  EXPECT_NE(text.find(" second\nmore\n"), std::string::npos);
}

TEST(AtomicWrite, ReplacesWholeFile) {
  testing::TempDir dir;
  ASSERT_TRUE(writeFileAtomically(dir.file("a.json"), "one"));
  ASSERT_TRUE(writeFileAtomically(dir.file("a.json"), "two"));
  EXPECT_EQ(testing::readFile(dir.file("a.json")), "two");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(writeFileAtomically(dir.file("missing/a.json"), "x"));
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) saved_ = v;
  }
  ~EnvGuard() {
    if (saved_) setenv(name_, saved_->c_str(), 1);
    else unsetenv(name_);
  }
 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(QuorvelPaths, RootFromEnvironment) {
  EnvGuard data("QUORVEL_DATA"), xdg("XDG_DATA_HOME"), home("HOME");
  setenv("HOME", "/home/ann", 1);
  setenv("QUORVEL_DATA", "~/Archive", 1);
  EXPECT_EQ(QuorvelPaths::rootFromEnvironment(), "/home/ann/Archive");
  setenv("QUORVEL_DATA", "/srv/data/", 1);
  EXPECT_EQ(QuorvelPaths::rootFromEnvironment(), "/srv/data/");
  setenv("QUORVEL_DATA", "", 1);
  setenv("XDG_DATA_HOME", "/xdg", 1);
  EXPECT_EQ(QuorvelPaths::rootFromEnvironment(), "/xdg/QuorvelInk");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(QuorvelPaths::rootFromEnvironment(), "/home/ann/.local/share/QuorvelInk");
}

}  // namespace
}  // namespace quorvel
