#include "core/folder_watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <functional>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "intake_fixture.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

TEST(WatchSettingsFile, MissingOrIncompleteFileGivesDefaults) {
  testing::ScopedDataRoot root;
  EXPECT_EQ(WatchSettings::filePath(), root.path() + "/watch.json");
  struct Case {
    const char* name;
    const char* json;
  } cases[] = {
      {"no file", nullptr},
      {"not json", "{folders"},
      {"no enabled", R"({"folders": ["/a"]})"},
      {"no folders", R"({"enabled": false})"},
      {"enabled not a flag", R"({"folders": ["/a"], "enabled": "no"})"},
      {"folder not text", R"({"folders": ["/a", 3], "enabled": false})"},
      {"not an object", R"(["/a"])"},
  };
  for (const auto& c : cases) {
    fs::remove(WatchSettings::filePath());
    if (c.json) testing::writeFile(WatchSettings::filePath(), c.json);
    const WatchSettings s = WatchSettings::load();
    EXPECT_TRUE(s.folders.empty()) << c.name;
    EXPECT_TRUE(s.enabled) << c.name;
  }
}

TEST(WatchSettingsFile, SavesPrettyJsonInFieldOrderAndLoadsItBack) {
  testing::ScopedDataRoot root;
  WatchSettings s;
  s.folders = {"/home/me/Scans", "/media/Ünïcode folder"};
  s.enabled = false;
  s.save();
  const std::string text = testing::readFile(WatchSettings::filePath());
  EXPECT_LT(text.find("\"folders\""), text.find("\"enabled\"")) << text;
  EXPECT_NE(text.find('\n'), std::string::npos) << "pretty-printed";
  EXPECT_EQ(WatchSettings::load(), s);
  // Keys in any order are read.
  testing::writeFile(WatchSettings::filePath(), R"({"enabled": true, "folders": ["/x"]})");
  EXPECT_EQ(WatchSettings::load().folders, std::vector<std::string>{"/x"});
}

// Records every sweep (an add() that the watcher starts) through the
// pipeline's progress reports.
class FolderWatcherTest : public IntakeTest {
 protected:
  void SetUp() override {
    IntakeTest::SetUp();
    fs::create_directories(watched);
    pipeline.setOnProgress([this](const ImportProgress& p) {
      std::function<void(int)> hook;
      int index = 0;
      {
        std::lock_guard lock(mutex);
        if (p.phase == ImportPhase::scanning) {
          index = static_cast<int>(starts.size());
          starts.push_back(Clock::now());
          hook = onSweepStart;
        }
        if (p.phase == ImportPhase::done) ends.push_back(Clock::now());
        changed.notify_all();
      }
      if (hook) hook(index);
    });
  }

  WatchSettings watching(std::vector<std::string> folders, bool enabled = true) {
    WatchSettings s;
    s.folders = std::move(folders);
    s.enabled = enabled;
    return s;
  }
  std::unique_ptr<FolderWatcher> makeWatcher(std::vector<std::string> folders, double settle = 1.0) {
    auto w = std::make_unique<FolderWatcher>(pipeline, watching(std::move(folders)));
    w->setSettleSeconds(settle);
    w->setOnAdded([this](int n) {
      std::lock_guard lock(mutex);
      added.push_back(n);
      changed.notify_all();
    });
    return w;
  }
  // Waits until n sweeps have ended.
  bool waitForSweeps(std::size_t n, double seconds) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return ends.size() >= n; });
  }
  std::size_t sweepCount() {
    std::lock_guard lock(mutex);
    return starts.size();
  }

  std::string watched = scans.file("watched");
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Clock::time_point> starts, ends;
  std::vector<int> added;
  std::function<void(int)> onSweepStart;  // set before the watcher starts
};

TEST_F(FolderWatcherTest, StartSweepsOnceAfterAboutASecondWithoutEvents) {
  makeScan(watched + "/before.jpg", 1);
  makeScan(watched + "/older/also.jpg", 2);
  auto watcher = makeWatcher({watched});
  const auto started = Clock::now();
  watcher->start();
  ASSERT_TRUE(waitForSweeps(1, 5));
  const double after = between(started, starts[0]);
  EXPECT_GE(after, 0.9);
  EXPECT_LT(after, 2.0);
  EXPECT_EQ(itemCount(), 2) << "files that came while nobody watched";
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(sweepCount(), 1u) << "the sweep itself raises no events";
  std::lock_guard lock(mutex);
  EXPECT_EQ(added, std::vector<int>{2});
}

TEST_F(FolderWatcherTest, MissingFoldersAreNotWatchedAndNothingSweeps) {
  const std::string gone = scans.file("gone");
  auto watcher = makeWatcher({gone});
  watcher->start();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(sweepCount(), 0u);
  // Made later: still unwatched until the next start.
  makeScan(gone + "/late.jpg", 1);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(sweepCount(), 0u);
  EXPECT_EQ(watcher->sweepNow(), 1) << "sweepNow takes the folders that exist now";

  // With one missing and one existing folder only the existing one is swept.
  auto both = makeWatcher({scans.file("also-gone"), watched});
  makeScan(watched + "/here.jpg", 2);
  both->start();
  ASSERT_TRUE(waitForSweeps(2, 5));
  EXPECT_TRUE(catalog.findByPath(watched + "/here.jpg"));
}

TEST_F(FolderWatcherTest, TurningWatchingOffStopsTheStreamCancelsTheSweepAndIsSaved) {
  auto watcher = makeWatcher({watched});
  watcher->start();
  watcher->update(watching({watched}, /*enabled=*/false));  // before the start's sweep is due
  EXPECT_FALSE(WatchSettings::load().enabled);
  EXPECT_EQ(WatchSettings::load().folders, std::vector<std::string>{watched});
  EXPECT_EQ(watcher->settings(), watching({watched}, false));
  makeScan(watched + "/new.jpg", 1);
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(sweepCount(), 0u);
  EXPECT_EQ(watcher->sweepNow(), 1) << "sweepNow ignores enabled";
  std::lock_guard lock(mutex);
  EXPECT_TRUE(added.empty()) << "sweepNow does not call onAdded";
}

TEST_F(FolderWatcherTest, BurstOfCopiesCausesOneSweepAfterTheFolderSettles) {
  auto watcher = makeWatcher({watched}, /*settle=*/1.5);
  watcher->start();
  ASSERT_TRUE(waitForSweeps(1, 5));  // the start's own sweep, nothing to add
  Clock::time_point lastCopy;
  for (int i = 0; i < 10; ++i) {
    makeScan(scans.file("staging/f" + std::to_string(i) + ".jpg"), i);
    fs::rename(scans.file("staging/f" + std::to_string(i) + ".jpg"), watched + "/f" + std::to_string(i) + ".jpg");
    lastCopy = Clock::now();
    std::this_thread::sleep_for(300ms);
  }
  ASSERT_TRUE(waitForSweeps(2, 10));
  std::this_thread::sleep_for(2500ms);
  std::lock_guard lock(mutex);
  ASSERT_EQ(starts.size(), 2u) << "one sweep for the whole burst";
  const double after = between(lastCopy, starts[1]);
  EXPECT_GE(after, 1.5);
  EXPECT_LT(after, 1.5 + FolderWatcher::kLatencySeconds + 0.8);
  EXPECT_EQ(added, std::vector<int>{10});
}

TEST_F(FolderWatcherTest, AScanWrittenWithAPauseLongerThanTheSettleTimeIsAddedOnlyWhenWhole) {
  const std::string whole = testing::readFile(makeScan(scans.file("staging/slow.jpg"), 7));
  auto watcher = makeWatcher({watched}, /*settle=*/0.3);
  watcher->start();
  ASSERT_TRUE(waitForSweeps(1, 5));
  const std::string path = watched + "/slow.jpg";
  {
    // A scanner that stops half-way through the file, for five times the settle time.
    std::ofstream out(path, std::ios::binary);
    out.write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
    out.flush();
    ASSERT_TRUE(waitForSweeps(2, 5)) << "the first half's events cause a sweep";
    EXPECT_EQ(watcher->sweepNow(), 0) << "nor does sweeping by hand take it";
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(itemCount(), 0) << "left alone while half written";
    out.write(whole.data() + whole.size() / 2, static_cast<std::streamsize>(whole.size() - whole.size() / 2));
  }
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return !added.empty(); }));
  lock.unlock();
  const auto item = catalog.findByPath(path);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->sha256, ImageTools::sha256(scans.file("staging/slow.jpg")));
  EXPECT_EQ(item->fileSize, static_cast<std::int64_t>(whole.size()));
  EXPECT_EQ(item->width, 47);
  EXPECT_EQ(item->height, 30);
}

TEST_F(FolderWatcherTest, AFileChangedWithinTheSettleTimeIsLeftForALaterSweep) {
  // Written just before watching starts, so no event tells of it: the start's sweep, 1 s
  // later, finds it changed only 1 s ago and looks again once the settle time has passed.
  makeScan(watched + "/fresh.jpg", 3);
  const auto written = Clock::now();
  auto watcher = makeWatcher({watched}, /*settle=*/2.0);
  watcher->start();
  ASSERT_TRUE(waitForSweeps(1, 5));
  EXPECT_EQ(itemCount(), 0);
  ASSERT_TRUE(waitForSweeps(2, 5));
  EXPECT_GE(between(written, starts[1]), 2.0);
  EXPECT_TRUE(catalog.findByPath(watched + "/fresh.jpg"));
  std::unique_lock lock(mutex);
  changed.wait_for(lock, 2s, [&] { return !added.empty(); });
  EXPECT_EQ(added, std::vector<int>{1});
}

TEST_F(FolderWatcherTest, EventsDuringASweepCauseExactlyOneMoreSweep) {
  onSweepStart = [this](int index) {
    if (index != 0) return;
    // While the first sweep runs, files keep arriving.
    for (int i = 0; i < 5; ++i) {
      makeScan(watched + "/during" + std::to_string(i) + ".jpg", i);
      std::this_thread::sleep_for(250ms);
    }
    // Let the last batch of events arrive while this sweep still runs.
    std::this_thread::sleep_for(std::chrono::duration<double>(FolderWatcher::kLatencySeconds + 0.3));
  };
  auto watcher = makeWatcher({watched}, /*settle=*/0.5);
  watcher->start();
  ASSERT_TRUE(waitForSweeps(2, 10));
  std::this_thread::sleep_for(2000ms);
  std::lock_guard lock(mutex);
  ASSERT_EQ(starts.size(), 2u);
  const double gap = between(ends[0], starts[1]);
  EXPECT_GE(gap, 0.45);
  EXPECT_LT(gap, 1.2);
  EXPECT_EQ(itemCount(), 5);
}

TEST_F(FolderWatcherTest, NewSubfoldersOfAWatchedFolderAreWatchedToo) {
  auto watcher = makeWatcher({watched}, /*settle=*/0.3);
  watcher->start();
  ASSERT_TRUE(waitForSweeps(1, 5));
  fs::create_directories(watched + "/new/deeper/deepest");
  ASSERT_TRUE(waitForSweeps(2, 5));  // the folders themselves are a change
  std::this_thread::sleep_for(300ms);
  // Only the watch on the new folder can see this file arrive.
  makeScan(scans.file("staging/deep.jpg"), 9);
  fs::rename(scans.file("staging/deep.jpg"), watched + "/new/deeper/deepest/deep.jpg");
  ASSERT_TRUE(waitForSweeps(3, 5));
  EXPECT_TRUE(catalog.findByPath(watched + "/new/deeper/deepest/deep.jpg"));
  std::unique_lock lock(mutex);
  changed.wait_for(lock, 2s, [&] { return !added.empty(); });
  EXPECT_EQ(added, std::vector<int>{1}) << "sweeps that add nothing do not call onAdded";
}

TEST_F(FolderWatcherTest, RemovedScanInAWatchedFolderStaysOut) {
  makeScan(watched + "/a.jpg", 1);
  makeScan(watched + "/b.jpg", 2);
  makeScan(watched + "/c.jpg", 3);
  auto watcher = makeWatcher({watched}, /*settle=*/0.3);
  EXPECT_EQ(watcher->sweepNow(), 3);
  catalog.removeItems({catalog.findByPath(watched + "/b.jpg")->id});
  watcher->start();
  ASSERT_TRUE(waitForSweeps(2, 5));
  makeScan(watched + "/d.jpg", 4);
  {
    // A loaded machine may still be writing d when its event's sweep looks;
    // a later sweep adds it.
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !added.empty(); }));
    EXPECT_EQ(added, std::vector<int>{1});
  }
  EXPECT_FALSE(catalog.findByPath(watched + "/b.jpg"));
  EXPECT_TRUE(catalog.findByPath(watched + "/d.jpg"));
  EXPECT_EQ(pipeline.lastSkippedRemoved(), 1);
}

TEST_F(FolderWatcherTest, StopThenStartWatchesAgain) {
  auto watcher = makeWatcher({watched}, /*settle=*/0.3);
  watcher->start();
  watcher->stop();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(sweepCount(), 0u) << "stop cancels the start's sweep";
  makeScan(watched + "/x.jpg", 1);
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(sweepCount(), 0u) << "no stream after stop";
  watcher->start();
  ASSERT_TRUE(waitForSweeps(1, 5));
  EXPECT_EQ(itemCount(), 1);
}

TEST_F(FolderWatcherTest, DestroyedWhileASweepRunsOrFromOnAdded) {
  // During a sweep: the destructor stops it from starting more files and waits.
  for (int i = 0; i < 40; ++i) makeScan(watched + "/m" + std::to_string(i) + ".jpg", i);
  std::promise<void> sweeping;
  onSweepStart = [&](int index) {
    if (index == 0) sweeping.set_value();
    std::this_thread::sleep_for(200ms);
  };
  auto watcher = makeWatcher({watched});
  watcher->start();
  sweeping.get_future().wait();
  watcher.reset();
  EXPECT_LT(itemCount(), 40);

  // From onAdded, on the sweep thread itself: must not join itself.
  {
    std::lock_guard lock(mutex);
    onSweepStart = nullptr;
  }
  std::unique_ptr<FolderWatcher> second = makeWatcher({watched});
  auto gone = std::make_shared<std::promise<void>>();
  std::future<void> wasGone = gone->get_future();
  second->setOnAdded([&second, gone](int) {
    second.reset();
    gone->set_value();
  });
  second->start();
  ASSERT_EQ(wasGone.wait_for(120s), std::future_status::ready);
}

}  // namespace
}  // namespace quorvel
