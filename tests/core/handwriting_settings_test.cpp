#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "core/handwriting_engine.h"
#include "core/paths.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

TEST(HandwritingSettings, MissingFileGivesDefaults) {
  testing::ScopedDataRoot root;
  EXPECT_EQ(HandwritingSettings::filePath(), root.path() + "/handwriting.json");
  HandwritingSettings s = HandwritingSettings::load();
  EXPECT_EQ(s, HandwritingSettings{});
  EXPECT_FALSE(s.serverPath || s.modelPath || s.mmprojPath);
  EXPECT_EQ(s.gpuLayers, 99);
  EXPECT_DOUBLE_EQ(s.maxSqueeze, 1.2);
  EXPECT_EQ(s.tileHeight, 850);
  EXPECT_EQ(s.overlap, 200);
  EXPECT_EQ(s.tileTimeoutSeconds, 900);
  EXPECT_FALSE(s.measuredSecondsPerTile || s.measuredLoadSeconds);
  EXPECT_TRUE(s.skipBlankTiles);
}

struct ReadCase {
  const char* name;
  const char* json;
  bool readable;  // false: the whole file is ignored
};

TEST(HandwritingSettings, ReadsEachFileOrFallsBackWhole) {
  const ReadCase cases[] = {
      {"onlyGpuLayers", R"({"gpuLayers": 0})", true},
      {"nullPath", R"({"modelPath": null, "tileHeight": 600})", true},
      {"unknownKeysIgnored", R"({"colour": "blue", "tileHeight": 600})", true},
      {"integralFloatForInteger", R"({"tileHeight": 600.0})", true},
      {"integerForDouble", R"({"maxSqueeze": 2, "tileHeight": 600})", true},
      {"textForInteger", R"({"gpuLayers": 0, "tileHeight": "850"})", false},
      {"fractionForInteger", R"({"gpuLayers": 0, "tileHeight": 850.5})", false},
      {"integerOutOfRange", R"({"gpuLayers": 0, "tileHeight": 9223372036854775808})", false},
      {"numberForText", R"({"gpuLayers": 0, "serverPath": 5})", false},
      {"numberForFlag", R"({"gpuLayers": 0, "skipBlankTiles": 1})", false},
      {"textForDouble", R"({"gpuLayers": 0, "maxSqueeze": "1.2"})", false},
      {"notAnObject", R"([{"gpuLayers": 0}])", false},
      {"notJson", R"({"gpuLayers": 0,)", false},
      {"empty", "", false},
  };
  for (const ReadCase& c : cases) {
    testing::ScopedDataRoot root;
    testing::writeFile(HandwritingSettings::filePath(), c.json);
    HandwritingSettings s = HandwritingSettings::load();
    EXPECT_EQ(HandwritingSettings::fromJson(c.json).has_value(), c.readable) << c.name;
    if (!c.readable) {
      EXPECT_EQ(s, HandwritingSettings{}) << c.name;
      continue;
    }
    EXPECT_FALSE(s.modelPath) << c.name;
    EXPECT_TRUE(s.skipBlankTiles) << c.name;
    EXPECT_EQ(s.overlap, 200) << c.name;
  }
  auto only = HandwritingSettings::fromJson(R"({"gpuLayers": 0})");
  ASSERT_TRUE(only);
  HandwritingSettings want;
  want.gpuLayers = 0;
  EXPECT_EQ(*only, want);
  EXPECT_EQ(HandwritingSettings::fromJson(R"({"tileHeight": 600.0})")->tileHeight, 600);
  EXPECT_DOUBLE_EQ(HandwritingSettings::fromJson(R"({"maxSqueeze": 2})")->maxSqueeze, 2.0);
}

TEST(HandwritingSettings, WritesOnlyPresentKeysSortedAndPretty) {
  testing::ScopedDataRoot root;
  HandwritingSettings{}.save();
  EXPECT_EQ(testing::readFile(HandwritingSettings::filePath()),
            "{\n"
            "  \"gpuLayers\": 99,\n"
            "  \"maxSqueeze\": 1.2,\n"
            "  \"overlap\": 200,\n"
            "  \"skipBlankTiles\": true,\n"
            "  \"tileHeight\": 850,\n"
            "  \"tileTimeoutSeconds\": 900\n"
            "}");

  // A null path reads as absent, and the next save leaves the key out.
  testing::writeFile(HandwritingSettings::filePath(), R"({"modelPath": null, "gpuLayers": 0})");
  HandwritingSettings fromNull = HandwritingSettings::load();
  fromNull.save();
  EXPECT_EQ(testing::readFile(HandwritingSettings::filePath()).find("modelPath"), std::string::npos);
}

TEST(HandwritingSettings, FullRecordRoundTrips) {
  testing::ScopedDataRoot root;
  HandwritingSettings s;
  s.serverPath = "/data/runtime/llama-server";
  s.modelPath = "/data/models/reader ü.gguf";
  s.mmprojPath = "/data/models/mmproj.gguf";
  s.gpuLayers = -1;
  s.maxSqueeze = 1.35;
  s.tileHeight = 700;
  s.overlap = 150;
  s.tileTimeoutSeconds = 60;
  s.measuredSecondsPerTile = 12.3;
  s.measuredLoadSeconds = 4.5;
  s.skipBlankTiles = false;
  s.save();
  EXPECT_EQ(HandwritingSettings::load(), s);

  std::string text = testing::readFile(HandwritingSettings::filePath());
  const char* order[] = {"gpuLayers", "maxSqueeze", "measuredLoadSeconds", "measuredSecondsPerTile",
                         "mmprojPath", "modelPath", "overlap", "serverPath", "skipBlankTiles",
                         "tileHeight", "tileTimeoutSeconds"};
  std::size_t last = 0;
  for (const char* key : order) {
    std::size_t at = text.find(std::string("\n  \"") + key + "\": ");
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
  // No temporary file is left beside it.
  for (const auto& entry : fs::directory_iterator(root.path()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
}

TEST(HandwritingSettings, SaveIntoVanishedFolderChangesNothing) {
  testing::TempDir dir;
  std::string gone = dir.file("gone");
  QuorvelPaths::useRoot(gone);
  fs::remove_all(gone);
  HandwritingSettings{}.save();  // nothing thrown, nothing made
  EXPECT_FALSE(fs::exists(gone));

  // An unwritable replacement keeps the old file whole.
  testing::ScopedDataRoot root;
  HandwritingSettings first;
  first.gpuLayers = 7;
  first.save();
  ::chmod(root.path().c_str(), 0500);
  HandwritingSettings second;
  second.save();
  ::chmod(root.path().c_str(), 0700);
  if (::geteuid() != 0) {
    EXPECT_EQ(HandwritingSettings::load().gpuLayers, 7);
  }
}

TEST(HandwritingSettings, IsCompleteNeedsAnExecutableServerAndBothModelFiles) {
  testing::TempDir dir;
  const std::string server = dir.file("llama-server"), model = dir.file("m.gguf"),
                    proj = dir.file("p.gguf"), plain = dir.file("plain");
  testing::writeFile(server, "#!/bin/sh\n");
  ::chmod(server.c_str(), 0755);
  testing::writeFile(model, "m");
  testing::writeFile(proj, "p");
  testing::writeFile(plain, "x");
  ::chmod(plain.c_str(), 0644);

  struct Case {
    const char* name;
    std::optional<std::string> server, model, proj;
    bool complete;
  };
  const Case cases[] = {
      {"allThere", server, model, proj, true},
      {"noServer", std::nullopt, model, proj, false},
      {"noModel", server, std::nullopt, proj, false},
      {"noProjector", server, model, std::nullopt, false},
      {"emptyServer", std::string(), model, proj, false},
      {"emptyModel", server, std::string(), proj, false},
      {"emptyProjector", server, model, std::string(), false},
      {"serverNotExecutable", plain, model, proj, false},
      {"serverIsFolder", dir.path(), model, proj, false},
      {"modelMissing", server, dir.file("missing.gguf"), proj, false},
      {"projectorMissing", server, model, dir.file("missing.gguf"), false},
  };
  for (const Case& c : cases) {
    HandwritingSettings s;
    s.serverPath = c.server;
    s.modelPath = c.model;
    s.mmprojPath = c.proj;
    EXPECT_EQ(s.isComplete(), c.complete) << c.name;
  }

  // Checked anew: a model deleted after the install makes the settings incomplete.
  HandwritingSettings s;
  s.serverPath = server;
  s.modelPath = model;
  s.mmprojPath = proj;
  ASSERT_TRUE(s.isComplete());
  fs::remove(model);
  EXPECT_FALSE(s.isComplete());
}

TEST(HandwritingSettings, TilingValuesNeverExplodeTheTiler) {
  struct Case {
    const char* name;
    double squeeze;
    std::int64_t height, overlap;
    double wantSqueeze;
    std::int64_t wantHeight, wantOverlap;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"defaultsKept", 1.2, 850, 200, 1.2, 850, 200},
      {"ownValuesKept", 2.5, 1200, 300, 2.5, 1200, 300},
      {"zeroSqueeze", 0, 850, 200, 1.2, 850, 200},
      {"negativeSqueeze", -1, 850, 200, 1.2, 850, 200},
      {"nanSqueeze", std::nan(""), 850, 200, 1.2, 850, 200},
      {"infiniteSqueeze", inf, 850, 200, 1.2, 850, 200},
      {"tinySqueeze", 1e-9, 850, 200, 0.25, 850, 200},
      {"overlapEqualsHeight", 1.2, 850, 850, 1.2, 850, 425},
      {"overlapAboveHeight", 1.2, 850, 5000, 1.2, 850, 425},
      {"negativeOverlap", 1.2, 850, -10, 1.2, 850, 0},
      {"heightTooSmall", 1.2, 10, 5, 1.2, 850, 5},
      {"heightNegative", 1.2, -850, 200, 1.2, 850, 200},
      {"heightAtLeast", 1.2, 60, 200, 1.2, 60, 30},
  };
  for (const Case& c : cases) {
    HandwritingSettings s;
    s.maxSqueeze = c.squeeze;
    s.tileHeight = c.height;
    s.overlap = c.overlap;
    EXPECT_DOUBLE_EQ(s.tilingMaxSqueeze(), c.wantSqueeze) << c.name;
    EXPECT_EQ(s.tilingTileHeight(), c.wantHeight) << c.name;
    EXPECT_EQ(s.tilingOverlap(), c.wantOverlap) << c.name;
    // The stored values stay as they are.
    EXPECT_EQ(s.tileHeight, c.height) << c.name;
    EXPECT_EQ(s.overlap, c.overlap) << c.name;
  }
}

}  // namespace
}  // namespace quorvel
