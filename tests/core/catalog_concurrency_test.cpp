// Reads and writes from several threads: reads answer from the last commit
// without waiting for a writer, a transaction reads its own changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include "catalog_fixture.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

class CatalogConcurrency : public CatalogTest {
 protected:
  std::int64_t addWith(const std::string& path, std::int64_t second, const std::string& text) {
    std::int64_t id = add(path, second);
    catalog->saveRecognizedText(id, text, "tesseract", std::nullopt);
    return id;
  }
};

TEST_F(CatalogConcurrency, ReadsAnswerFromTheLastCommitWhileAWriteIsOpen) {
  std::int64_t id = addWith("/scans/a.jpg", 1, "Dear Anna, the harvest was good.");
  catalog->addDate(id, "1923-05", "", false);

  std::promise<void> opened, release;
  std::thread writer([&] {
    catalog->db().transaction([&] {
      catalog->db().run("UPDATE items SET title='Changed' WHERE id=?", {id});
      catalog->db().run("DELETE FROM fts WHERE rowid=?", {id});
      opened.set_value();
      release.get_future().wait();
    });
  });
  opened.get_future().wait();

  // Every kind of read finishes while the writer holds its lock and its
  // transaction, and sees the state before it.
  auto reads = std::async(std::launch::async, [&] {
    EXPECT_EQ(catalog->getItem(id)->title, "");
    EXPECT_EQ(catalog->search("harvest", 10).size(), 1u);
    EXPECT_EQ(catalog->search("1923", 10).size(), 1u);
    EXPECT_EQ(catalog->searchAny({"anna"}, 10).size(), 1u);
    EXPECT_EQ(catalog->listItems().size(), 1u);
    EXPECT_EQ(catalog->itemsForYear(1923).size(), 1u);
    EXPECT_EQ(catalog->stats().items, 1);
    EXPECT_EQ(catalog->years().size(), 1u);
  });
  bool finished = reads.wait_for(10s) == std::future_status::ready;
  EXPECT_TRUE(finished) << "a read waited for the writer";
  release.set_value();
  writer.join();
  reads.wait();

  EXPECT_EQ(catalog->getItem(id)->title, "Changed");
  EXPECT_TRUE(catalog->search("harvest", 10).empty());
  EXPECT_FALSE(catalog->lastError());
}

TEST_F(CatalogConcurrency, ATransactionReadsItsOwnChanges) {
  std::int64_t a = addWith("/scans/a.jpg", 1, "text");
  // The second lookup of a inside the one transaction must see it gone.
  auto snapshots = catalog->removeItems({a, a});
  EXPECT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(count("removed_items"), 1);
  EXPECT_EQ(count("items"), 0);
}

TEST_F(CatalogConcurrency, SearchesAndSavesRunTogether) {
  constexpr int kItems = 120;
  std::vector<std::int64_t> ids;
  for (int i = 0; i < kItems; ++i)
    ids.push_back(addWith("/scans/" + std::to_string(i) + ".jpg", i, "harvest letter number " + std::to_string(i)));

  std::atomic<bool> done{false};
  std::atomic<int> searches{0};
  auto searcher = [&](int limit) {
    while (!done.load()) {
      auto hits = catalog->search("harvest", limit);
      // Every save keeps "harvest" in the text, so each committed state has every item.
      EXPECT_EQ(hits.size(), static_cast<std::size_t>(std::min(limit, kItems)));
      EXPECT_EQ(catalog->listItems().size(), static_cast<std::size_t>(kItems));
      EXPECT_EQ(catalog->stats().transcribed, kItems);
      searches.fetch_add(1);
    }
  };
  std::thread first(searcher, 500);
  std::thread second(searcher, 50);
  std::thread dates([&] {
    for (int i = 0; i < 200; ++i) catalog->addDate(ids[i % kItems], "1900", "", false);
  });
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < kItems; ++i)
      catalog->saveRecognizedText(ids[i], "harvest round " + std::to_string(round), "tesseract", 0.5);
  dates.join();
  // The searchers get at least a few rounds in even when the saves end first.
  while (searches.load() < 6) std::this_thread::sleep_for(1ms);
  done = true;
  first.join();
  second.join();

  EXPECT_FALSE(catalog->lastError());
  EXPECT_EQ(catalog->search("round 2", -1).size(), static_cast<std::size_t>(kItems));
  EXPECT_EQ(catalog->datesForItem(ids[0]).size(), 2u);
}

std::uintmax_t fileSize(const std::string& path) {
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

TEST_F(CatalogConcurrency, TheWalStaysBoundedWhileSavesAndSearchesRun) {
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 50; ++i)
    ids.push_back(addWith("/scans/" + std::to_string(i) + ".jpg", i, "harvest letter " + std::to_string(i)));
  std::atomic<bool> done{false};
  std::thread searcher([&] {
    while (!done.load()) catalog->search("harvest", 50);
  });
  // About 20 pages a save: 5000 saves would leave some 400 MB in a WAL that
  // nothing checkpoints, and 8 MB in one checkpointed at every 1000 pages.
  // Back-to-back searches keep a read open nearly all the time, so the WAL
  // rarely starts again by itself: it is bounded only if the checkpointer
  // makes room for that.
  const std::string wal = catalog->filePath() + "-wal";
  const std::string text(3000, 'x');
  std::uintmax_t largest = 0;
  for (int i = 0; i < 5000; ++i) {
    catalog->saveRecognizedText(ids[i % ids.size()], "harvest " + std::to_string(i) + " " + text,
                                "tesseract", 0.5);
    largest = std::max(largest, fileSize(wal));
  }
  done = true;
  searcher.join();
  EXPECT_FALSE(catalog->lastError());
  EXPECT_LT(largest, 96u << 20);
  EXPECT_EQ(catalog->search("harvest", -1).size(), ids.size());
}

// A backup copies one committed state while the saves go on: saves start and
// end during the copy, and the copy holds, for every item, the text of the
// last save before some point of the stream, never a mix.
TEST_F(CatalogConcurrency, ABackupLetsSavesGoOnAndCopiesOneCommittedState) {
  constexpr int kItems = 400;
  std::vector<std::int64_t> ids;
  const std::string filler(12000, 'y');
  for (int i = 0; i < kItems; ++i)
    ids.push_back(addWith("/scans/" + std::to_string(i) + ".jpg", i, "save -1 " + filler));

  using Clock = std::chrono::steady_clock;
  std::atomic<bool> done{false};
  std::mutex lock;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> saves;  // start and end of each
  std::thread saver([&] {
    for (int n = 0; !done.load(); ++n) {
      auto start = Clock::now();
      catalog->saveRecognizedText(ids[n % kItems], "save " + std::to_string(n) + " " + filler,
                                  "tesseract", 0.5);
      std::lock_guard guard(lock);
      saves.emplace_back(start, Clock::now());
    }
  });
  std::this_thread::sleep_for(20ms);
  // During the copy, saves keep finishing, and none waits anywhere near as
  // long as the copy takes (one that waited for it would take most of it).
  const std::string copy = dir.file("copy.db");
  int during = 0;
  double copyMs = 0, longestMs = 0;
  for (int attempt = 0; attempt < 3 && (during < 5 || longestMs * 4 >= copyMs); ++attempt) {
    auto begin = Clock::now();
    catalog->backup(copy);
    auto end = Clock::now();
    std::this_thread::sleep_for(50ms);  // lets a save held up by the copy end too
    std::lock_guard guard(lock);
    during = 0;
    longestMs = 0;
    copyMs = std::chrono::duration<double, std::milli>(end - begin).count();
    for (const auto& [start, finish] : saves) {
      if (finish < begin || start > end) continue;
      during += start > begin && finish < end;
      longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(finish - start).count());
    }
  }
  done = true;
  saver.join();
  EXPECT_GE(during, 5) << "saves stopped while the copy was made";
  EXPECT_LT(longestMs * 4, copyMs) << "a save waited for the copy";

  Catalog copied(copy);
  EXPECT_EQ(copied.db().query("PRAGMA integrity_check").front().str("integrity_check"), "ok");
  // The number of each item's last save in the copy; the stream went round
  // the items in order, so the copy's state is that after the save `last`.
  std::map<std::int64_t, int> saved;
  int last = -1;
  for (const Row& row : copied.db().query("SELECT t.item_id, t.text, f.text AS indexed FROM "
                                          "transcriptions t JOIN fts f ON f.rowid = t.item_id")) {
    EXPECT_EQ(row.str("text"), row.str("indexed")) << "index and text of one item apart";
    int n = std::stoi(row.str("text").substr(5));
    saved[row.int64("item_id")] = n;
    last = std::max(last, n);
  }
  ASSERT_EQ(saved.size(), static_cast<std::size_t>(kItems));
  for (int i = 0; i < kItems; ++i) {
    // The last n <= last with n % kItems == i, or none (-1) before the stream reached it.
    int want = last - ((last - i) % kItems + kItems) % kItems;
    EXPECT_EQ(saved[ids[i]], want < 0 ? -1 : want) << "item " << i << " after save " << last;
  }
  EXPECT_FALSE(catalog->lastError());
}

}  // namespace
}  // namespace quorvel
