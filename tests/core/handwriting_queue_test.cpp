#include "core/handwriting_queue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>

#include "core/catalog.h"
#include "core/paths.h"
#include "handwriting_fixture.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::eventually;
using testing::FakeReader;
using testing::GeneratedPage;

// The stand-in reader, a catalog and an engine in one data folder, and a log
// of what the queue reported.
class QueueTest : public ::testing::Test {
 protected:
  FakeReader reader;
  testing::TempDir scans;
  Catalog catalog{QuorvelPaths::catalogFile()};
  HandwritingEngine engine{reader.settings()};

  std::mutex mutex;
  std::vector<QueueState> changes;
  std::vector<std::string> events;  // "done <id>" and each new message, in order
  std::function<void(const QueueState&)> extraOnChange;

  void SetUp() override {
    LlamaServer::Timing t;
    t.startTimeout = 20;
    engine.server().setTiming(t);
  }

  void watch(HandwritingQueue& queue) {
    queue.onChange = [this](const QueueState& s) {
      {
        std::lock_guard guard(mutex);
        if (s.lastMessage && (changes.empty() || changes.back().lastMessage != s.lastMessage))
          events.push_back(*s.lastMessage);
        changes.push_back(s);
      }
      if (extraOnChange) extraOnChange(s);
    };
    queue.onItemDone = [this](std::int64_t id) {
      std::lock_guard guard(mutex);
      events.push_back("done " + std::to_string(id));
    };
  }

  std::vector<std::string> eventLog() {
    std::lock_guard guard(mutex);
    return events;
  }

  std::int64_t addItem(const std::string& path, const std::string& title = "") {
    ArchiveItem item;
    item.path = path;
    item.fileName = fs::path(path).filename();
    item.title = title;
    item.sha256 = "sha-" + path;
    std::int64_t id = catalog.addItem(item);
    EXPECT_GT(id, 0);
    return id;
  }

  static std::string workFile() { return testing::readFile(HandwritingQueue::filePath()); }
  // The worker has reported its stop (its last report is the only idle one).
  bool idle(HandwritingQueue& q) {
    std::lock_guard guard(mutex);
    return !changes.empty() && !changes.back().isBusy() && !q.snapshot().isBusy() &&
           !fs::exists(HandwritingQueue::filePath());
  }
};

TEST_F(QueueTest, FirstInFirstOutWithoutDuplicates) {
  // Items whose scan files are missing are done at once, in order.
  std::int64_t a = addItem(scans.file("a.png"), "Alpha");
  std::int64_t b = addItem(scans.file("b.png"));
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  queue.enqueue({a, a, b, 999, a});
  ASSERT_TRUE(eventually([&] { return idle(queue); }));
  EXPECT_EQ(eventLog(), (std::vector<std::string>{"Alpha: the scan file is missing.",
                                                  "b: the scan file is missing.",
                                                  "That scan is no longer in the library."}));
  std::lock_guard guard(mutex);
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.front().waiting, (std::vector<std::int64_t>{a, b, 999}));
}

TEST_F(QueueTest, SavesTheListWhileAPageIsRead) {
  std::string page = GeneratedPage({"one line of words to read here"}, 2000, 1000).write(scans.file("p.png"));
  reader.setScenario({{"replies", {{{"content", "one line of words"}, {"delaySeconds", 1.5}}}}});
  std::int64_t a = addItem(page), b = addItem(page + ".missing"), c = addItem(page + ".gone");
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  queue.enqueue({a, b});
  EXPECT_EQ(workFile(), "[" + std::to_string(a) + "," + std::to_string(b) + "]");
  ASSERT_TRUE(eventually([&] { return queue.snapshot().currentItemId == a; }));
  auto changeCount = [&] {
    std::lock_guard guard(mutex);
    return changes.size();
  };
  std::size_t before = changeCount();
  queue.enqueue({a, b, c});  // only c is new; the change is reported all the same
  EXPECT_EQ(queue.snapshot().waiting, (std::vector<std::int64_t>{b, c}));
  EXPECT_EQ(workFile(), "[" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "]");
  EXPECT_GT(changeCount(), before);
  queue.cancel(b);  // a waiting item: reported at once
  {
    std::lock_guard guard(mutex);
    EXPECT_EQ(changes.back().waiting, (std::vector<std::int64_t>{c}));
  }
  ASSERT_TRUE(eventually([&] { return idle(queue); }));
  std::vector<std::string> log = eventLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "done " + std::to_string(a));  // before the message that says so
  EXPECT_EQ(log[1], "p: handwriting read");
}

TEST_F(QueueTest, CancellingTheCurrentItemStopsEverything) {
  std::string page = GeneratedPage({"one line of words to read here"}, 2000, 1000).write(scans.file("p.png"));
  reader.setScenario({{"replies", {{{"content", "slow"}, {"delaySeconds", 30}}}}});
  std::int64_t a = addItem(page), b = addItem(page + ".b");
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  queue.enqueue({a, b});
  ASSERT_TRUE(eventually([&] {
    auto s = queue.snapshot();
    return s.progress && s.progress->message.rfind("Reading piece", 0) == 0;
  }));
  queue.cancel(a);
  ASSERT_TRUE(eventually([&] { return idle(queue); }, 10));
  QueueState s = queue.snapshot();
  EXPECT_EQ(s.lastMessage, "Stopped");
  EXPECT_TRUE(s.waiting.empty());
  EXPECT_FALSE(s.progress);
  EXPECT_FALSE(catalog.getTranscription(a));
}

TEST_F(QueueTest, CancelAllKeepsTheCurrentIdUntilTheWorkerStops) {
  std::string page = GeneratedPage({"one line of words to read here"}, 2000, 1000).write(scans.file("p.png"));
  reader.setScenario({{"replies", {{{"content", "slow"}, {"delaySeconds", 30}}}}});
  std::int64_t a = addItem(page), b = addItem(page + ".b");
  HandwritingQueue queue(catalog, engine);
  // The worker is held inside its first tile report until the file is checked.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> held{false};
  extraOnChange = [&](const QueueState& s) {
    if (s.progress && s.progress->message.rfind("Reading piece 1", 0) == 0 && !held.exchange(true))
      released.wait();
  };
  watch(queue);
  queue.enqueue({a, b});
  ASSERT_TRUE(eventually([&] { return held.load(); }));
  queue.cancelAll();
  EXPECT_EQ(workFile(), "[" + std::to_string(a) + "]");
  release.set_value();
  ASSERT_TRUE(eventually([&] { return idle(queue); }, 10));
  EXPECT_EQ(queue.snapshot().lastMessage, "Stopped");
}

TEST_F(QueueTest, RestoresOnlyACompleteReader) {
  std::int64_t a = addItem(scans.file("a.png")), b = addItem(scans.file("b.png"));
  std::string saved = "[" + std::to_string(b) + "," + std::to_string(a) + "]";
  testing::writeFile(HandwritingQueue::filePath(), saved);
  {
    HandwritingEngine unset{HandwritingSettings{}};
    HandwritingQueue queue(catalog, unset);
    EXPECT_EQ(queue.restore(), 0);
    EXPECT_EQ(workFile(), saved);
  }
  for (const char* bad : {"[]", "{}", "[1,\"x\"]", "[1.5]", "not json"}) {
    testing::writeFile(HandwritingQueue::filePath(), bad);
    HandwritingQueue queue(catalog, engine);
    EXPECT_EQ(queue.restore(), 0) << bad;
  }
  testing::writeFile(HandwritingQueue::filePath(), saved);
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  EXPECT_EQ(queue.restore(), 2);
  ASSERT_TRUE(eventually([&] { return idle(queue); }));
  EXPECT_EQ(eventLog(), (std::vector<std::string>{"b: the scan file is missing.", "a: the scan file is missing."}));
}

TEST_F(QueueTest, StoppingTheProcessKeepsTheList) {
  std::string page = GeneratedPage({"one line of words to read here"}, 2000, 1000).write(scans.file("p.png"));
  reader.setScenario({{"replies", {{{"content", "slow"}, {"delaySeconds", 30}}}}});
  std::int64_t a = addItem(page), b = addItem(page + ".b");
  {
    HandwritingQueue queue(catalog, engine);
    queue.enqueue({a, b});
    ASSERT_TRUE(eventually([&] { return queue.snapshot().currentItemId == a; }));
  }
  EXPECT_EQ(workFile(), "[" + std::to_string(a) + "," + std::to_string(b) + "]");
}

// A page of five lines read end to end: cut, read tile by tile by the
// stand-in (answering each tile with the words in its region), merged,
// stored with its dates; row 2 reads one shared line differently.
TEST_F(QueueTest, ReadsAndStoresAPage) {
  const std::vector<std::string> letter = {
      "Dear Mary we arrived in Boston on June 3, 1921 after a long trip",
      "the weather was kind to all of us and the children slept well",
      "Father found work at the docks within the first week of June",
      "we have two rooms above the bakery near the old market square",
      "write soon and give our love to everyone at home from Anne",
  };
  GeneratedPage page(letter, 2000, 2600);
  std::string path = page.write(scans.file("Letter from Anne.png"));
  json replies = testing::repliesFor(page, path, engine.settings(), scans.file("plan"));
  ASSERT_EQ(replies.size(), 4u);
  // Row 2, column 1 misreads a word of the line it shares with row 1.
  std::string misread = replies[2]["content"];
  ASSERT_NE(misread.find("bakery"), std::string::npos) << misread;
  misread.replace(misread.find("bakery"), 6, "bakers");
  replies[2]["content"] = misread;
  reader.setScenario({{"replies", replies}});

  std::int64_t id = addItem(path);
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  queue.enqueue({id});
  ASSERT_TRUE(eventually([&] { return idle(queue); }));
  EXPECT_EQ(eventLog(), (std::vector<std::string>{"done " + std::to_string(id),
                                                  "Letter from Anne: handwriting read · 1 to check"}));
  std::optional<Transcription> t = catalog.getTranscription(id);
  ASSERT_TRUE(t);
  std::string want;
  for (const std::string& line : letter) want += (want.empty() ? "" : "\n") + line;
  EXPECT_EQ(t->text, want);
  EXPECT_EQ(t->engine, "handwriting-gemma");
  EXPECT_FALSE(t->corrected);
  EXPECT_EQ(decodeUncertainWords(t->uncertainJson), (std::vector<UncertainWord>{{"bakery", "bakers"}}));
  EXPECT_EQ(catalog.getItem(id)->ocrStatus, OcrStatus::done);
  std::vector<std::string> dates;
  for (const ItemDate& d : catalog.datesForItem(id)) dates.push_back(d.value);
  EXPECT_NE(std::find(dates.begin(), dates.end(), "1921-06-03"), dates.end());
  EXPECT_FALSE(fs::exists(HandwritingQueue::filePath()));
}

TEST_F(QueueTest, CorrectedTextIsKeptUnlessBlank) {
  std::string path = GeneratedPage({"one line of words to read here"}, 2000, 1000).write(scans.file("p.png"));
  reader.setScenario({{"replies", {{{"content", "a new reading of it"}}}}});
  fs::copy_file(path, scans.file("q.png"));
  std::int64_t kept = addItem(path, "Kept"), blank = addItem(scans.file("q.png"), "Blank");
  catalog.saveCorrectedText(kept, "my own text");
  catalog.saveCorrectedText(blank, "  \n ");
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  queue.enqueue({kept, blank});
  ASSERT_TRUE(eventually([&] { return idle(queue); }));
  EXPECT_EQ(eventLog(), (std::vector<std::string>{"Kept: kept your corrected text.", "done " + std::to_string(blank),
                                                  "Blank: handwriting read"}));
  EXPECT_EQ(catalog.getTranscription(kept)->text, "my own text");
  std::optional<Transcription> t = catalog.getTranscription(blank);
  EXPECT_EQ(t->text, "a new reading of it");
  EXPECT_FALSE(t->corrected);
}

// Mended fault: a reading the catalog failed to store was reported as read
// and its item marked done.
TEST_F(QueueTest, AFailedStoreIsReportedAndTheItemLeftUnread) {
  std::string path = GeneratedPage({"one line of words to read here"}, 2000, 1000).write(scans.file("p.png"));
  reader.setScenario({{"replies", {{{"content", "a reading that won't fit"}}}}});
  std::int64_t id = addItem(path, "Page");
  catalog.db().exec(
      "CREATE TRIGGER full BEFORE INSERT ON transcriptions BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;");
  HandwritingQueue queue(catalog, engine);
  watch(queue);
  queue.enqueue({id});
  ASSERT_TRUE(eventually([&] { return idle(queue); }));
  std::vector<std::string> log = eventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Page: the reading couldn't be stored (", 0), 0u) << log[0];
  EXPECT_NE(log[0].find("database or disk is full"), std::string::npos) << log[0];
  EXPECT_NE(catalog.getItem(id)->ocrStatus, OcrStatus::done);
  EXPECT_FALSE(catalog.getTranscription(id));
}

}  // namespace
}  // namespace quorvel
