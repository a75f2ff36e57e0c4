#pragma once
// A fresh data root and catalog, a folder for scans, small generated JPEG
// scans and a page reader that answers what the test tells it to.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/catalog.h"
#include "core/image_tools.h"
#include "core/import_pipeline.h"
#include "core/ocr.h"
#include "core/paths.h"
#include "test_support.h"

namespace quorvel {

// Answers each reading from `answer` (lines "text of <file name>" by default),
// records the paths in the order read, and can hold readings until released.
class FakeOcr : public OcrEngine {
 public:
  std::atomic<bool> available{true};

  std::string name() const override { return "fake"; }
  bool isAvailable() const override { return available; }

  OcrResult recognize(const std::string& path) override {
    {
      std::unique_lock lock(mutex_);
      calls_.push_back(path);
      ++running_;
      most_ = std::max(most_, running_);
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_; });
    }
    OcrResult result;
    std::function<OcrResult(const std::string&)> answer;
    {
      std::lock_guard lock(mutex_);
      answer = answer_;
    }
    if (answer) {
      result = answer(path);
    } else {
      result.lines = {"text of " + std::filesystem::path(path).filename().string()};
      result.averageConfidence = 0.9;
    }
    result.engine = "fake";
    std::lock_guard lock(mutex_);
    --running_;
    changed_.notify_all();
    return result;
  }

  void setAnswer(std::function<OcrResult(const std::string&)> answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }
  // Readings wait while held.
  void hold(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
  }
  // Waits until `n` readings have started.
  bool waitForCalls(std::size_t n, double seconds = 10) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return calls_.size() >= n; });
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int mostAtOnce() const {
    std::lock_guard lock(mutex_);
    return most_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  std::function<OcrResult(const std::string&)> answer_;
  bool held_ = false;
  int running_ = 0;
  int most_ = 0;
};

class IntakeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ImageTools::ensureStarted()); }
  void TearDown() override {
    ocr->hold(false);
    pipeline.stopOcrWorker();
  }

  testing::ScopedDataRoot root;
  testing::TempDir scans;
  Catalog catalog{root.path() + "/catalog.db"};
  std::shared_ptr<FakeOcr> ocr = std::make_shared<FakeOcr>();
  ImportPipeline pipeline{catalog, ocr};

  // Writes a small JPEG whose bytes depend on `seed` (and on nothing else).
  static std::string makeScan(const std::string& path, int seed = 0) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    vips::VImage image = (vips::VImage::black(40 + seed % 50, 30 + seed / 50) + (seed * 37) % 256)
                             .cast(VIPS_FORMAT_UCHAR);
    EXPECT_TRUE(ImageTools::saveJpeg(image, path, 0.9)) << path;
    return path;
  }
  std::string scan(const std::string& name, int seed = 0) { return makeScan(scans.file(name), seed); }

  std::vector<std::string> pathsOf(const std::vector<std::int64_t>& ids) {
    std::vector<std::string> paths;
    for (auto id : ids) paths.push_back(catalog.getItem(id).value_or(ArchiveItem{}).path);
    return paths;
  }
  int itemCount() { return static_cast<int>(catalog.allItems().size()); }
};

}  // namespace quorvel
