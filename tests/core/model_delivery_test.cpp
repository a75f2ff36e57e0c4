#include "core/model_delivery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "core/failure.h"
#include "test_support.h"

namespace quorvel {
namespace {

std::string sh(const std::string& script, const std::optional<std::string>& cwd = std::nullopt) {
  return Shell::run("/bin/sh", {"-c", script}, cwd);
}

std::string failureOf(const std::string& script) {
  try {
    sh(script);
  } catch (const Failure& failure) {
    return failure.message();
  }
  ADD_FAILURE() << "no Failure from: " << script;
  return "";
}

TEST(ShellRun, JoinsBothStreamsInTheOrderWritten) {
  EXPECT_EQ(sh("echo out; echo err >&2; echo out2"), "out\nerr\nout2\n");
  EXPECT_EQ(sh("echo only-stderr >&2"), "only-stderr\n");
}

TEST(ShellRun, PassesArgumentsVerbatimWithoutAShell) {
  std::string out = Shell::run("/usr/bin/printf", {"[%s]", "two words", "", "$HOME", "*", "'q'"});
  EXPECT_EQ(out, "[two words][][$HOME][*]['q']");
}

TEST(ShellRun, RunsInTheGivenFolderOrOurOwn) {
  testing::TempDir dir;
  EXPECT_EQ(sh("pwd -P", dir.path()), std::filesystem::canonical(dir.path()).string() + "\n");
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(sh("pwd -P"), std::string(here) + "\n");
}

TEST(ShellRun, NonZeroExitKeepsTheToolNameAndTheLast300Characters) {
  // 700 'a' then 300 'b': only the b's survive.
  std::string message = failureOf(
      "i=0; while [ $i -lt 700 ]; do printf a; i=$((i+1)); done;"
      "i=0; while [ $i -lt 300 ]; do printf b >&2; i=$((i+1)); done; exit 2");
  EXPECT_EQ(message, "sh failed: " + std::string(300, 'b'));
  EXPECT_EQ(failureOf("echo short; exit 1"), "sh failed: short\n");
  EXPECT_EQ(failureOf("exit 3"), "sh failed: ");
  // Three-byte characters count as one each.
  std::string euro = "\xE2\x82\xAC";
  std::string expected;
  for (int i = 0; i < 300; ++i) expected += euro;
  EXPECT_EQ(failureOf("i=0; while [ $i -lt 400 ]; do printf '\\342\\202\\254'; i=$((i+1)); done; exit 1"),
            "sh failed: " + expected);
}

TEST(ShellRun, DeathBySignalIsAFailure) {
  EXPECT_EQ(failureOf("echo dying; kill -9 $$"), "sh failed: dying\n");
}

TEST(ShellRun, InvalidUtf8IsReplacedNotRejected) {
  EXPECT_EQ(sh("printf 'a\\377b\\303'"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(ShellRun, SeveralMegabytesOnBothStreamsDoNotBlock) {
  std::string out = sh("head -c 3000000 /dev/zero | tr '\\0' x; head -c 2000000 /dev/zero | tr '\\0' y >&2");
  ASSERT_EQ(out.size(), 5000000u);
  EXPECT_EQ(out.find_first_not_of('x'), 3000000u);
  EXPECT_EQ(out.back(), 'y');
}

TEST(ShellRun, AProgramThatCannotStartThrowsThePlatformError) {
  testing::TempDir dir;
  testing::writeFile(dir.file("plain.txt"), "not a program");
  struct Case {
    std::string tool;
    std::optional<std::string> cwd;
    int error;
    const char* name;
  } cases[] = {
      {"/no/such/program", std::nullopt, ENOENT, "missing"},
      {dir.file("plain.txt"), std::nullopt, EACCES, "notExecutable"},
      {"/bin/sh", dir.file("no-such-folder"), ENOENT, "missingFolder"},
  };
  for (const Case& c : cases) {
    try {
      Shell::run(c.tool, {"-c", "true"}, c.cwd);
      ADD_FAILURE() << c.name << ": started";
    } catch (const Failure& failure) {
      ADD_FAILURE() << c.name << ": Failure instead of the platform error: " << failure.what();
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), c.error) << c.name << ": " << error.what();
    }
  }
}

TEST(ShellRun, TheChildInheritsNoOtherDescriptor) {
  testing::TempDir dir;
  testing::writeFile(dir.file("open.txt"), "x");
  int fd = ::open(dir.file("open.txt").c_str(), O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(fd, 3);
  std::string probe = "[ -e /proc/$$/fd/" + std::to_string(fd) + " ] && echo leaked || echo clean";
  EXPECT_EQ(sh(probe), "clean\n");
  EXPECT_EQ(sh("ls /proc/$$/fd"), "0\n1\n2\n");
  ::close(fd);
}

TEST(ModelDownloaderSize, ReportsBytesOrZero) {
  testing::TempDir dir;
  testing::writeFile(dir.file("ten"), "0123456789");
  testing::writeFile(dir.file("empty"), "");
  EXPECT_EQ(ModelDownloader::size(dir.file("ten")), 10);
  EXPECT_EQ(ModelDownloader::size(dir.file("empty")), 0);
  EXPECT_EQ(ModelDownloader::size(dir.file("missing")), 0);
  EXPECT_EQ(ModelDownloader::size(dir.file("ten/below-a-file")), 0);  // attributes unreadable
  EXPECT_EQ(ModelDownloader::size(""), 0);
}

}  // namespace
}  // namespace quorvel
