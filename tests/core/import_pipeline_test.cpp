#include "core/import_pipeline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include "crafted_png.h"
#include "intake_fixture.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Tests the condition under the lock until it holds or 10 s have passed.
template <class Condition>
void eventually(std::mutex& mutex, Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex);
      if (condition()) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> valuesOf(const std::vector<ItemDate>& dates) {
  std::vector<std::string> values;
  for (const auto& d : dates) values.push_back(d.value + (d.confirmed ? "!" : ""));
  return values;
}

TEST(ImportNames, TitlesFromFileNames) {
  struct Case {
    const char* name;
    const char* title;
  } cases[] = {
      {"grandma_letter-1923.jpg", "Grandma letter 1923"},
      {"Grandpa-Letter_1923.jpg", "Grandpa Letter 1923"},
      {"IMG_0042.JPG", ""},
      {"IMG_1234.JPG", ""},
      {"scan-0001.jpg", ""},
      {"pxl 2023 1.heic", ""},
      {"pict 12 3.jpg", ""},
      {"pic7.png", ""},
      {"DSC.jpg", "DSC"},
      {"image-12a.jpg", "Image 12a"},
      {"_ - .jpg", ""},
      {"\tmoving day \t.jpg", "Moving day"},
      {"élise.jpg", "Élise"},
      {"archive.tar.gz", "Archive.tar"},
      {"noextension", "Noextension"},
  };
  for (const auto& c : cases) EXPECT_EQ(ImportPipeline::titleFromFileName(c.name), c.title) << c.name;
}

TEST(ImportNames, KindsFromFileNames) {
  struct Case {
    const char* name;
    ItemKind kind;
  } cases[] = {
      {"IMG_1234.JPG", ItemKind::unknown},
      {"Grandpa-Letter_1923.jpg", ItemKind::letter},
      {"newsletter.jpg", ItemKind::letter},
      {"photo_back.jpg", ItemKind::photoBack},
      {"postcard_1910.jpg", ItemKind::card},
      {"FUNERAL notice.jpg", ItemKind::card},
      {"obituary.jpg", ItemKind::newspaper},
      {"Clipping.tif", ItemKind::newspaper},
      {"portrait.jpg", ItemKind::photo},
      {"birth_certificate.jpg", ItemKind::document},
      {"land deed.png", ItemKind::document},
      {"Census 1900.jpg", ItemKind::document},
  };
  for (const auto& c : cases) EXPECT_EQ(ImportPipeline::guessKind(c.name), c.kind) << c.name;
}

using ImportPipelineTest = IntakeTest;

TEST_F(ImportPipelineTest, CollectsFolderInNaturalOrderSkippingHiddenAndNonFiles) {
  scan("b10.jpg");
  scan("b9.jpg");
  scan("A1.jpg");
  scan("sub/a2.PNG");
  scan(".x.jpg");
  scan(".hidden/inside.jpg");
  testing::writeFile(scans.file("notes.txt"), "not a scan");
  fs::create_directories(scans.file("pics.jpg"));  // a folder, not a scan
  scan("pics.jpg/in-folder.jpg");
  fs::create_symlink(scans.file("A1.jpg"), scans.file("link.jpg"));
  fs::create_symlink(scans.file("missing.jpg"), scans.file("dangling.jpg"));

  const auto entries = ImportPipeline::collectEntries({scans.path()}, /*respectRemoved=*/false);
  std::vector<std::string> names;
  for (const auto& e : entries) {
    names.push_back(e.path.substr(scans.path().size() + 1));
    EXPECT_TRUE(e.respectRemoved) << "files found in a folder always respect tombstones";
  }
  EXPECT_EQ(names, (std::vector<std::string>{"A1.jpg", "b9.jpg", "b10.jpg", "link.jpg",
                                             "pics.jpg/in-folder.jpg", "sub/a2.PNG"}));

  // Named directly: kept as passed, with the caller's flag; nothing else.
  const auto direct = ImportPipeline::collectEntries(
      {scans.file("b9.jpg"), scans.file("notes.txt"), scans.file("nowhere.jpg"),
       scans.file("dangling.jpg"), scans.path() + "/./A1.jpg"},
      false);
  EXPECT_EQ(direct, (std::vector<ImportPipeline::Entry>{{scans.path() + "/./A1.jpg", false},
                                                        {scans.file("b9.jpg"), false}}));
}

TEST_F(ImportPipelineTest, AFolderRemovedDuringTheWalkIsLeftOutAndTheWalkGoesOn) {
  int seed = 0;
  for (const char* folder : {"", "one/", "two/", "two/deeper/", "three/"}) {
    for (int i = 0; i < 4; ++i) scan(std::string(folder) + "p" + std::to_string(i) + ".jpg", ++seed);
  }
  std::vector<std::string> listed;
  const auto entries = ImportPipeline::collectEntries(
      {scans.path()}, false, [&](const fs::path& folder) {
        listed.push_back(folder.string());
        auto found = ImportPipeline::listFolder(folder);
        // Gone after its parent was listed: listing it fails for a reason other than permission.
        if (folder == scans.path()) fs::remove_all(scans.file("two"));
        return found;
      });
  std::set<std::string> names;
  for (const auto& e : entries) names.insert(e.path.substr(scans.path().size() + 1));
  EXPECT_EQ(names.size(), 12u);
  for (const char* folder : {"", "one/", "three/"}) {
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(names.contains(std::string(folder) + "p" + std::to_string(i) + ".jpg"));
  }
  EXPECT_NE(std::find(listed.begin(), listed.end(), scans.file("two")), listed.end()) << "it was tried";
  // The real listing of a folder that is gone is empty.
  EXPECT_TRUE(ImportPipeline::listFolder(scans.file("two")).empty());
}

TEST_F(ImportPipelineTest, EmptyListReportsScanningThenDone) {
  std::vector<ImportProgress> reports;
  pipeline.setOnProgress([&](const ImportProgress& p) { reports.push_back(p); });
  EXPECT_TRUE(pipeline.add({}, false).empty());
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].phase, ImportPhase::scanning);
  EXPECT_EQ(reports[1].phase, ImportPhase::done);
  EXPECT_EQ(reports[1].total, 0);
  EXPECT_EQ(reports[1].message, "0 added");
}

TEST_F(ImportPipelineTest, StoresAFileWithThumbnailTitleKindAndFileNameDates) {
  const std::string path = scan("grandma_letter_1923-05-04.jpg", 3);
  fs::create_directories(scans.file("sub"));
  const auto ids = pipeline.add({scans.path() + "//./sub/../grandma_letter_1923-05-04.jpg"}, false);
  ASSERT_EQ(ids.size(), 1u);
  const auto item = catalog.getItem(ids[0]).value();
  EXPECT_EQ(item.path, path) << "stored standardised";
  EXPECT_EQ(item.fileName, "grandma_letter_1923-05-04.jpg");
  EXPECT_EQ(item.title, "Grandma letter 1923 05 04");
  EXPECT_EQ(item.kind, ItemKind::letter);
  EXPECT_EQ(item.fileSize, static_cast<std::int64_t>(fs::file_size(path)));
  EXPECT_EQ(item.width, 43);
  EXPECT_EQ(item.height, 30);
  EXPECT_EQ(item.sha256, ImageTools::sha256(path));
  EXPECT_EQ(item.ocrStatus, OcrStatus::pending);
  ASSERT_TRUE(item.thumbnailPath);
  EXPECT_EQ(*item.thumbnailPath, QuorvelPaths::thumbnailDir() + "/" + item.sha256.substr(0, 24) + ".jpg");
  EXPECT_TRUE(fs::exists(*item.thumbnailPath));
  EXPECT_EQ(valuesOf(catalog.datesForItem(item.id)), (std::vector<std::string>{"1923-05-04"}));
  EXPECT_LT(std::abs(item.fileModified -
                     std::chrono::duration_cast<std::chrono::microseconds>(
                         fs::last_write_time(path).time_since_epoch() +
                         (std::chrono::system_clock::now().time_since_epoch() -
                          fs::file_time_type::clock::now().time_since_epoch()))
                         .count()),
            2'000'000);
}

TEST_F(ImportPipelineTest, ReportsProgressEveryFifthFileAndAtTheEnd) {
  for (int i = 0; i < 12; ++i) scan("p" + std::to_string(i) + ".jpg", i);
  std::mutex mutex;
  std::vector<int> adding;
  std::optional<ImportProgress> finished;
  pipeline.setOnProgress([&](const ImportProgress& p) {
    std::lock_guard lock(mutex);
    if (p.phase == ImportPhase::adding) {
      adding.push_back(p.done);
      EXPECT_EQ(p.total, 12);
      EXPECT_TRUE(p.currentFile);
    }
    if (p.phase == ImportPhase::done) finished = p;
  });
  EXPECT_EQ(pipeline.add({scans.path()}, false).size(), 12u);
  std::sort(adding.begin(), adding.end());
  EXPECT_EQ(adding, (std::vector<int>{5, 10, 12}));
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->done, 12);
  EXPECT_EQ(finished->message, "12 added");
}

TEST_F(ImportPipelineTest, DuplicatesByPathAndByContent) {
  const std::string a = scan("a.jpg", 1);
  ASSERT_EQ(pipeline.add({a}, false).size(), 1u);
  EXPECT_TRUE(pipeline.add({a}, false).empty()) << "same path";

  fs::copy_file(a, scans.file("copy of a.jpg"));
  EXPECT_TRUE(pipeline.add({scans.file("copy of a.jpg")}, false).empty()) << "same bytes";

  // Paths are compared exactly: a name differing only in case is another file.
  scan("A.jpg", 2);
  EXPECT_EQ(pipeline.add({scans.file("A.jpg")}, false).size(), 1u);
  EXPECT_EQ(itemCount(), 2);
}

TEST_F(ImportPipelineTest, IdenticalFilesAddedInParallelSlotsGiveOneItem) {
  // Regression: the content test and the insert were separate steps, so
  // parallel slots could both pass the test with the same bytes.
  ASSERT_GE(ImportPipeline::addWindowWidth(), 2);
  const std::string first = scan("same-0.jpg", 5);
  for (int i = 1; i < 16; ++i) fs::copy_file(first, scans.file("same-" + std::to_string(i) + ".jpg"));
  const auto ids = pipeline.add({scans.path()}, false);
  EXPECT_EQ(ids.size(), 1u);
  EXPECT_EQ(itemCount(), 1);
}

TEST_F(ImportPipelineTest, TombstonesHoldForFolderEntriesNotForFilesNamedDirectly) {
  const std::string path = scan("removed.jpg", 7);
  const auto ids = pipeline.add({path}, false);
  ASSERT_EQ(ids.size(), 1u);
  ASSERT_EQ(catalog.removeItems(ids).size(), 1u);
  ASSERT_TRUE(catalog.isRemovedPath(path));

  // Found in its folder: stays out whatever the flag.
  EXPECT_TRUE(pipeline.add({scans.path()}, false).empty());
  EXPECT_EQ(pipeline.lastSkippedRemoved(), 1);
  // Named directly with respect: stays out too.
  EXPECT_TRUE(pipeline.add({path}, true).empty());
  EXPECT_EQ(pipeline.lastSkippedRemoved(), 1);
  // The same bytes under another name in the folder: stopped by the content.
  fs::copy_file(path, scans.file("renamed.jpg"));
  EXPECT_TRUE(pipeline.add({scans.path()}, true).empty());
  EXPECT_EQ(pipeline.lastSkippedRemoved(), 2);

  // Dropped again by the user: back, and its tombstone gone.
  EXPECT_EQ(pipeline.add({path}, false).size(), 1u);
  EXPECT_EQ(pipeline.lastSkippedRemoved(), 0);
  EXPECT_FALSE(catalog.isRemoved(path, ImageTools::sha256(path)));
  EXPECT_TRUE(pipeline.add({scans.path()}, true).empty()) << "renamed.jpg is a duplicate now";
  EXPECT_EQ(pipeline.lastSkippedRemoved(), 0);
}

TEST_F(ImportPipelineTest, PathThatIsNotUtf8IsSkippedAndLogged) {
  scan("good.jpg", 1);
  scan("bad-\xff\xfe.jpg", 2);
  std::optional<ImportProgress> finished;
  pipeline.setOnProgress([&](const ImportProgress& p) {
    if (p.phase == ImportPhase::done) finished = p;
  });
  const auto ids = pipeline.add({scans.path()}, false);
  EXPECT_EQ(pathsOf(ids), (std::vector<std::string>{scans.file("good.jpg")}));
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->total, 2) << "counted like an unreadable file";
  const std::string log = testing::readFile(QuorvelPaths::logDir() + "/ocr.log");
  EXPECT_NE(log.find("bad-\xEF\xBF\xBD\xEF\xBF\xBD.jpg"), std::string::npos) << log;
  EXPECT_NE(log.find("not valid UTF-8"), std::string::npos) << log;
  EXPECT_TRUE(isValidUtf8(log));
}

TEST_F(ImportPipelineTest, StopRequestStartsNoFurtherFiles) {
  for (int i = 0; i < 6; ++i) scan("s" + std::to_string(i) + ".jpg", i);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_TRUE(pipeline.add({scans.path()}, false, stop.get_token()).empty());
  EXPECT_EQ(itemCount(), 0);
}

TEST_F(ImportPipelineTest, EnsureThumbnailsRemakesMissingOnesOfExistingScans) {
  scan("one.jpg", 1);
  scan("two.jpg", 2);
  const std::string gone = scan("gone.jpg", 3);
  ASSERT_EQ(pipeline.add({scans.path()}, false).size(), 3u);
  fs::remove_all(QuorvelPaths::thumbnailDir());
  fs::remove(gone);

  std::vector<std::int64_t> told;
  pipeline.setOnItemRecognized([&](std::int64_t id) { told.push_back(id); });
  EXPECT_EQ(pipeline.ensureThumbnails(), 2);
  EXPECT_EQ(told.size(), 2u);
  for (const auto& item : catalog.allItems()) {
    ASSERT_TRUE(item.thumbnailPath);
    EXPECT_EQ(fs::exists(*item.thumbnailPath), item.path != gone) << item.path;
  }
  EXPECT_EQ(pipeline.ensureThumbnails(), 0) << "nothing missing any more";
}

// ---- Printed-text worker ----

TEST_F(ImportPipelineTest, WorkerReadsStoresTextAndDatesAndTellsTheCallback) {
  ocr->setAnswer([](const std::string&) {
    OcrResult r;
    r.lines = {"Dear Mary,", "written on 12 March 1931 in the evening"};
    r.averageConfidence = 0.8;
    return r;
  });
  std::mutex mutex;
  std::vector<std::int64_t> told;
  pipeline.setOnItemRecognized([&](std::int64_t id) {
    std::lock_guard lock(mutex);
    told.push_back(id);
  });
  pipeline.startOcrWorker();
  const auto ids = pipeline.add({scan("letter_1920.jpg", 1)}, false);
  ASSERT_EQ(ids.size(), 1u);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(pipeline.queuedForOcr(), 0);

  const auto text = catalog.getTranscription(ids[0]).value();
  EXPECT_EQ(text.text, "Dear Mary,\nwritten on 12 March 1931 in the evening");
  EXPECT_EQ(text.rawText, text.text);
  EXPECT_EQ(text.engine, "fake");
  EXPECT_EQ(text.confidence, 0.8);
  EXPECT_EQ(catalog.getItem(ids[0])->ocrStatus, OcrStatus::done);
  EXPECT_EQ(valuesOf(catalog.datesForItem(ids[0])), (std::vector<std::string>{"1920", "1931-03-12"}));
  std::lock_guard lock(mutex);
  EXPECT_EQ(told, ids);
  EXPECT_FALSE(catalog.search("Mary", 10).empty());
}

TEST_F(ImportPipelineTest, EachEndedReadingReportsWhatIsLeftDownToZero) {
  for (int i = 0; i < 3; ++i) scan("r" + std::to_string(i) + ".jpg", i);
  ASSERT_EQ(pipeline.add({scans.path()}, false).size(), 3u);  // worker stopped: none queued
  std::mutex mutex;
  std::vector<ImportProgress> reports;
  pipeline.setOnProgress([&](const ImportProgress& p) {
    std::lock_guard lock(mutex);
    if (p.phase == ImportPhase::recognizing) reports.push_back(p);
  });
  pipeline.setOcrParallelism(1);
  ocr->hold(true);
  pipeline.startOcrWorker();
  EXPECT_EQ(pipeline.enqueuePending(), 3);
  ASSERT_TRUE(ocr->waitForCalls(1));
  ocr->hold(false);
  std::vector<int> ended;  // the reports made as readings end: no file, no message
  eventually(mutex, [&] {
    ended.clear();
    for (const ImportProgress& p : reports) {
      if (!p.currentFile && !p.message) ended.push_back(p.total);
    }
    return ended.size() >= 3;
  });
  EXPECT_EQ(ended, (std::vector<int>{2, 1, 0}));
  std::lock_guard lock(mutex);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().total, 0) << "the last word on reading is that nothing is left";
}

TEST_F(ImportPipelineTest, DoneItemIsReadAgainOnlyWhenForcedAndACorrectionStays) {
  pipeline.startOcrWorker();
  const auto ids = pipeline.add({scan("letter.jpg", 1)}, false);
  ASSERT_EQ(ids.size(), 1u);
  const auto id = ids[0];
  pipeline.waitUntilIdle(10);
  ASSERT_EQ(ocr->calls().size(), 1u);

  pipeline.enqueue(id);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(ocr->calls().size(), 1u) << "done and not forced: not read";

  catalog.saveCorrectedText(id, "What Grandma really wrote");
  ocr->setAnswer([](const std::string&) {
    OcrResult r;
    r.lines = {"a newer reading"};
    r.averageConfidence = 0.5;
    return r;
  });
  pipeline.enqueue(id, /*force=*/true);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(ocr->calls().size(), 2u);
  const auto text = catalog.getTranscription(id).value();
  EXPECT_EQ(text.text, "What Grandma really wrote");
  EXPECT_TRUE(text.corrected);
  EXPECT_EQ(text.rawText, "a newer reading");
  EXPECT_EQ(text.confidence, 0.5);
}

TEST_F(ImportPipelineTest, KindFixUpForScansWithAlmostNoText) {
  struct Case {
    const char* name;
    const char* text;
    ItemKind want;
  } cases[] = {
      {"scan1.jpg", "abcdefghijk 123 !!", ItemKind::photo},       // 11 letters
      {"scan2.jpg", "abcdef ghijkl", ItemKind::unknown},          // 12 letters
      {"scan3.jpg", "", ItemKind::photo},
      {"scan4.jpg", "ÀÉÎÕÜ ßçñ øå", ItemKind::photo},            // 11 letters, 2-byte each
      {"letter-5.jpg", "", ItemKind::letter},
  };
  std::map<std::string, std::string> texts;
  for (const auto& c : cases) texts[c.name] = c.text;
  ocr->setAnswer([&](const std::string& path) {
    OcrResult r;
    const std::string t = texts.at(fs::path(path).filename().string());
    if (!t.empty()) r.lines = {t};
    return r;
  });
  pipeline.startOcrWorker();
  int seed = 0;
  for (const auto& c : cases) scan(c.name, ++seed);
  ASSERT_EQ(pipeline.add({scans.path()}, false).size(), std::size(cases));
  pipeline.waitUntilIdle(10);
  for (const auto& c : cases) {
    const auto item = catalog.findByPath(scans.file(c.name)).value();
    EXPECT_EQ(item.kind, c.want) << c.name;
    EXPECT_EQ(item.ocrStatus, OcrStatus::done) << c.name;
  }
}

TEST_F(ImportPipelineTest, NewReadingKeepsFileNameAndConfirmedDatesDropsOldTextDates) {
  ocr->setAnswer([](const std::string&) {
    OcrResult r;
    r.lines = {"Dated June 1931"};
    return r;
  });
  pipeline.startOcrWorker();
  const auto id = pipeline.add({scan("letter_1923.jpg", 1)}, false).at(0);
  pipeline.waitUntilIdle(10);
  ASSERT_EQ(valuesOf(catalog.datesForItem(id)), (std::vector<std::string>{"1923", "1931-06"}));
  catalog.addDate(id, "1940-01-02", "user", /*confirmed=*/true);

  ocr->setAnswer([](const std::string&) {
    OcrResult r;
    r.lines = {"no date in this text at all"};
    return r;
  });
  pipeline.enqueue(id, true);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(valuesOf(catalog.datesForItem(id)), (std::vector<std::string>{"1923", "1940-01-02!"}));
}

TEST_F(ImportPipelineTest, UnavailableReaderMarksEveryItemSkipped) {
  ocr->available = false;
  pipeline.startOcrWorker();
  for (int i = 0; i < 3; ++i) scan("u" + std::to_string(i) + ".jpg", i);
  ASSERT_EQ(pipeline.add({scans.path()}, false).size(), 3u);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(pipeline.queuedForOcr(), 0);
  EXPECT_TRUE(ocr->calls().empty());
  for (const auto& item : catalog.allItems()) EXPECT_EQ(item.ocrStatus, OcrStatus::skipped);
  EXPECT_FALSE(fs::exists(QuorvelPaths::logDir() + "/ocr.log")) << "nothing logged";
}

TEST_F(ImportPipelineTest, FailedReadingIsLoggedReportedAndQueuedAgainOnReAdd) {
  ocr->setAnswer([](const std::string&) {
    OcrResult r;
    r.error = "Couldn't open the image.";
    return r;
  });
  std::mutex mutex;
  std::vector<ImportProgress> reading;
  pipeline.setOnProgress([&](const ImportProgress& p) {
    std::lock_guard lock(mutex);
    if (p.phase == ImportPhase::recognizing) reading.push_back(p);
  });
  pipeline.startOcrWorker();
  const std::string path = scan("broken.jpg", 1);
  const auto id = pipeline.add({path}, false).at(0);
  pipeline.waitUntilIdle(10);

  EXPECT_EQ(catalog.getItem(id)->ocrStatus, OcrStatus::failed);
  EXPECT_EQ(pipeline.lastError(), "broken.jpg: Couldn't open the image.");
  const std::string log = testing::readFile(QuorvelPaths::logDir() + "/ocr.log");
  // "<stamp> broken.jpg", the message, then an empty line.
  const auto space = log.find(' ');
  ASSERT_NE(space, std::string::npos);
  EXPECT_EQ(log.substr(space + 1), "broken.jpg\nCouldn't open the image.\n\n");
  {
    // The report of the reading's end follows the count going to 0.
    eventually(mutex, [&] { return reading.size() >= 3; });
    std::lock_guard lock(mutex);
    ASSERT_EQ(reading.size(), 3u);
    EXPECT_EQ(reading[0].message, std::nullopt);
    EXPECT_EQ(reading[0].currentFile, "broken.jpg");
    EXPECT_EQ(reading[1].message, "Couldn't open the image.");
    EXPECT_EQ(reading[2].message, std::nullopt);
    EXPECT_EQ(reading[2].total, 0);
  }

  // Adding the same file again queues the failed item once more.
  EXPECT_TRUE(pipeline.add({path}, false).empty());
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(ocr->calls().size(), 2u);
}

TEST_F(ImportPipelineTest, ItemRemovedDuringItsReadingStoresNothing) {
  std::atomic<int> told{0};
  pipeline.setOnItemRecognized([&](std::int64_t) { ++told; });
  const std::string path = scan("going.jpg", 1);
  ocr->setAnswer([&](const std::string& p) {
    catalog.removeItems({catalog.findByPath(p)->id});
    OcrResult r;
    r.lines = {"too late"};
    return r;
  });
  pipeline.startOcrWorker();
  const auto id = pipeline.add({path}, false).at(0);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(ocr->calls().size(), 1u);
  EXPECT_FALSE(catalog.getTranscription(id));
  EXPECT_EQ(told, 0);
}

TEST_F(ImportPipelineTest, MissingScanIsMarkedFailedWithALoggedReason) {
  const std::string a = scan("a.jpg", 1);
  const std::string b = scan("b.jpg", 2);
  const auto ids = pipeline.add({a, b}, false);  // worker stopped: nothing queued
  ASSERT_EQ(ids.size(), 2u);
  const auto idA = catalog.findByPath(a)->id;
  const auto idB = catalog.findByPath(b)->id;
  catalog.setOcrStatus(idA, OcrStatus::running);  // pending and running alike
  fs::remove(a);
  fs::remove(b);
  pipeline.recognizeOne(idA, false);
  pipeline.recognizeOne(idB, false);
  EXPECT_EQ(catalog.getItem(idA)->ocrStatus, OcrStatus::failed);
  EXPECT_EQ(catalog.getItem(idB)->ocrStatus, OcrStatus::failed);
  EXPECT_TRUE(ocr->calls().empty());
  EXPECT_EQ(pipeline.lastError(), "b.jpg: The scan's file is missing: " + b);
  const std::string log = testing::readFile(QuorvelPaths::logDir() + "/ocr.log");
  EXPECT_NE(log.find("a.jpg\nThe scan's file is missing: " + a + "\n"), std::string::npos) << log;
  EXPECT_EQ(pipeline.enqueuePending(), 0) << "not queued again at the next launch";

  // Back in its place, it is read when queued again.
  makeScan(a, 1);
  EXPECT_EQ(pipeline.enqueuePending(), 1);
  pipeline.recognizeOne(idA, false);
  EXPECT_EQ(catalog.getItem(idA)->ocrStatus, OcrStatus::done);
}

TEST_F(ImportPipelineTest, FileGoneBetweenListingAndReadingIsLogged) {
  // More files than can start before the fifth is done, so the last ones are
  // still only listed when the report of the fifth removes them.
  const int count = 5 + 2 * ImportPipeline::addWindowWidth() + 10;
  std::vector<std::string> late;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.jpg", i);
    const std::string path = scan(name, i);
    if (i >= count - 10) late.push_back(path);
  }
  pipeline.setOnProgress([&](const ImportProgress& p) {
    if (p.phase == ImportPhase::adding && p.done == 5) {
      for (const auto& path : late) fs::remove(path);
    }
  });
  const auto ids = pipeline.add({scans.path()}, false);
  EXPECT_EQ(static_cast<int>(ids.size()), count - 10);
  const std::string log = testing::readFile(QuorvelPaths::logDir() + "/ocr.log");
  for (const auto& path : late) {
    EXPECT_FALSE(catalog.findByPath(path)) << path;
    EXPECT_NE(log.find(path + "\nThe file couldn't be read (No such file or directory), so it was not added.\n"),
              std::string::npos)
        << log;
  }
}

TEST_F(ImportPipelineTest, EnqueuePendingQueuesPendingFailedRunningInThatOrder) {
  EXPECT_EQ(pipeline.enqueuePending(), 0);
  std::map<std::string, std::int64_t> ids;
  int seed = 0;
  for (const char* name : {"p1", "p2", "f1", "r1", "d1"}) {
    // One add per file, so each is newer than the one before.
    ids[name] = pipeline.add({scan(std::string(name) + ".jpg", ++seed)}, false).at(0);
  }
  catalog.setOcrStatus(ids["f1"], OcrStatus::failed);
  catalog.setOcrStatus(ids["r1"], OcrStatus::running);
  catalog.setOcrStatus(ids["d1"], OcrStatus::done);

  pipeline.setOcrParallelism(1);
  pipeline.startOcrWorker();
  EXPECT_EQ(pipeline.enqueuePending(), 4);
  pipeline.waitUntilIdle(10);
  std::vector<std::string> names;
  for (const auto& p : ocr->calls()) names.push_back(fs::path(p).stem().string());
  EXPECT_EQ(names, (std::vector<std::string>{"p2", "p1", "f1", "r1"}));
}

TEST_F(ImportPipelineTest, WorkerRunsAtMostItsParallelismAndWaitUntilIdleTimesOut) {
  for (int i = 0; i < 6; ++i) scan("w" + std::to_string(i) + ".jpg", i);
  ASSERT_EQ(pipeline.add({scans.path()}, false).size(), 6u);  // worker stopped: none queued

  auto start = Clock::now();
  pipeline.waitUntilIdle(0.5);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.2) << "nothing queued";

  pipeline.setOcrParallelism(2);
  ocr->hold(true);
  pipeline.startOcrWorker();
  EXPECT_EQ(pipeline.enqueuePending(), 6);
  ASSERT_TRUE(ocr->waitForCalls(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ocr->calls().size(), 2u) << "only two readings at once";
  EXPECT_EQ(pipeline.queuedForOcr(), 6);

  start = Clock::now();
  pipeline.waitUntilIdle(0.5);
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(waited, 0.5);
  EXPECT_LT(waited, 1.0);

  ocr->hold(false);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(pipeline.queuedForOcr(), 0);
  EXPECT_EQ(ocr->calls().size(), 6u);
  EXPECT_EQ(ocr->mostAtOnce(), 2);
}

TEST_F(ImportPipelineTest, StoppedWorkerDropsRequestsAndCanStartAgain) {
  const auto id = pipeline.add({scan("x.jpg", 1)}, false).at(0);
  pipeline.enqueue(id);
  EXPECT_EQ(pipeline.queuedForOcr(), 0) << "a request while stopped is not counted";

  pipeline.startOcrWorker();
  pipeline.stopOcrWorker();
  pipeline.enqueue(id);
  EXPECT_EQ(pipeline.queuedForOcr(), 0);
  EXPECT_TRUE(ocr->calls().empty());

  pipeline.startOcrWorker();
  pipeline.enqueue(id);
  pipeline.waitUntilIdle(10);
  EXPECT_EQ(ocr->calls().size(), 1u);
  EXPECT_EQ(catalog.getItem(id)->ocrStatus, OcrStatus::done);
}

// ---- End to end ----

// A typed page at 300 dpi: black type on white with a margin, as a JPEG.
void writeTypedPage(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  const vips::VImage ink = vips::VImage::text(
      text.c_str(), vips::VImage::option()->set("font", "Liberation Serif 14")->set("dpi", 300)->set("width", 2000));
  const vips::VImage page = (255 - ink)
                                .embed(150, 150, ink.width() + 300, ink.height() + 300,
                                       vips::VImage::option()->set("extend", VIPS_EXTEND_WHITE))
                                .cast(VIPS_FORMAT_UCHAR);
  ASSERT_TRUE(ImageTools::saveJpeg(page, path, 0.9)) << path;
}

TEST(ImportEndToEnd, TypedPagesAreAddedReadAndFound) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  testing::ScopedDataRoot root;
  testing::TempDir scans;
  Catalog catalog(root.path() + "/catalog.db");
  auto reader = std::make_shared<TesseractOcrEngine>();
  ASSERT_TRUE(reader->isAvailable()) << "English language data for Tesseract is missing";
  ImportPipeline pipeline(catalog, reader);
  pipeline.startOcrWorker();

  writeTypedPage(scans.file("letter_1931.jpg"),
                 "Dear Margaret,\nThe harvest came early this year and the barn is full.\n"
                 "Your loving brother, Thomas");
  writeTypedPage(scans.file("cutting.jpg"),
                 "The steamship Lusitania arrived in the harbour on 12 March 1912\n"
                 "with four hundred passengers aboard.");
  writeTypedPage(scans.file("notes/recipe.jpg"),
                 "Grandmother's apple cake: flour, butter, sugar, apples and cinnamon.");

  const auto ids = pipeline.add({scans.path()}, false);
  ASSERT_EQ(ids.size(), 3u);
  pipeline.waitUntilIdle(120);
  ASSERT_EQ(pipeline.queuedForOcr(), 0);

  for (const auto& item : catalog.allItems()) {
    EXPECT_EQ(item.ocrStatus, OcrStatus::done) << item.fileName;
    ASSERT_TRUE(item.thumbnailPath) << item.fileName;
    EXPECT_TRUE(fs::exists(*item.thumbnailPath)) << item.fileName;
    EXPECT_EQ(catalog.getTranscription(item.id).value_or(Transcription{}).engine, "tesseract");
  }
  const auto hits = catalog.search("Lusitania", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].item.fileName, "cutting.jpg");
  EXPECT_NE(hits[0].snippet.find("[Lusitania]"), std::string::npos) << hits[0].snippet;
  EXPECT_EQ(catalog.search("cinnamon", 10).at(0).item.fileName, "recipe.jpg");
  EXPECT_EQ(catalog.getItem(hits[0].item.id)->kind, ItemKind::unknown) << "enough text: not taken for a photo";

  // Dates from the printed text join those from the file name.
  std::vector<std::string> dates;
  for (const auto& d : catalog.datesForItem(hits[0].item.id)) dates.push_back(d.value);
  EXPECT_EQ(dates, std::vector<std::string>{"1912-03-12"});
}

TEST(ImportEndToEnd, HeaderBombIsStoredAtOnceWithoutThumbnailAndItsReadingFails) {
  ASSERT_TRUE(ImageTools::ensureStarted());
  testing::ScopedDataRoot root;
  testing::TempDir scans;
  Catalog catalog(root.path() + "/catalog.db");
  auto reader = std::make_shared<TesseractOcrEngine>();
  ImportPipeline pipeline(catalog, reader);
  pipeline.startOcrWorker();
  const std::string bomb = scans.file("bomb.png");
  testing::writeHeaderBombPng(bomb, 1'000'000, 1'000'000);
  ASSERT_LT(fs::file_size(bomb), 4096u);

  const auto started = Clock::now();
  ASSERT_EQ(pipeline.add({bomb}, false).size(), 1u);
  pipeline.waitUntilIdle(60);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - started).count(), 5.0);
  const ArchiveItem item = catalog.allItems().at(0);
  EXPECT_FALSE(item.thumbnailPath);
  EXPECT_EQ(item.width, 1'000'000);
  EXPECT_EQ(item.ocrStatus, OcrStatus::failed);
  EXPECT_EQ(pipeline.lastError(), "bomb.png: Couldn't open the image.");
  const std::string log = testing::readFile(QuorvelPaths::logDir() + "/ocr.log");
  EXPECT_NE(log.find(bomb + "\nThe image claims 1000000 by 1000000 pixels, more than any scan has, so it "
                            "was not decoded.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("bomb.png\nCouldn't open the image.\n"), std::string::npos) << log;
  EXPECT_EQ(pipeline.ensureThumbnails(), 0) << "refused again, as fast";
}

}  // namespace
}  // namespace quorvel
