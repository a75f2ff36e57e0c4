// Reads and writes from several threads: reads answer from the last commit
// without waiting for a writer, a transaction reads its own changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
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

}  // namespace
}  // namespace quorvel
