#include "core/sqlite.h"

#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "test_support.h"

namespace quorvel {
namespace {

class DatabaseTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  Database db{dir.file("t.db")};
  void SetUp() override { db.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, v)"); }
};

TEST_F(DatabaseTest, RunReturnsLastInsertedRowIdAlsoAfterUpdate) {
  EXPECT_EQ(db.run("INSERT INTO t (name) VALUES (?)", {"a"}), 1);
  EXPECT_EQ(db.run("INSERT INTO t (name) VALUES (?)", {"b"}), 2);
  EXPECT_EQ(db.run("UPDATE t SET name = 'c' WHERE id = 1"), 2);
  EXPECT_EQ(db.changes(), 1);
}

TEST_F(DatabaseTest, QueryReturnsTypedRowsAndEmptyList) {
  EXPECT_TRUE(db.query("SELECT * FROM t").empty());
  db.run("INSERT INTO t (name, v) VALUES (?, ?)", {SQLValue::opt(std::optional<std::string>()), 2.5});
  auto rows = db.query("SELECT id, name, v FROM t WHERE id = ?", {1});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].int64("id"), 1);
  EXPECT_FALSE(rows[0].optStr("name"));
  EXPECT_EQ(rows[0].dbl("v"), 2.5);
  EXPECT_EQ(rows[0].str("v"), "2.5");
  // Of two columns of one name (a join's "a.*, b.*") the later one counts.
  rows = db.query("SELECT 1 AS n, 2 AS n, 'x' AS other");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].int64("n"), 2);
  EXPECT_EQ(rows[0].str("other"), "x");
  EXPECT_FALSE(rows[0].optInt("missing"));
}

TEST_F(DatabaseTest, CompileErrorNamesTheHeadOfTheStatement) {
  std::string sql = "SELECT nothing FROM nowhere WHERE " + std::string(200, 'x');
  try {
    db.query(sql);
    FAIL() << "expected an error";
  } catch (const SQLError& e) {
    std::string message = e.what();
    auto at = message.find(" in: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(message.substr(at + 5), sql.substr(0, 120));
  }
}

TEST_F(DatabaseTest, FailedTransactionRollsBackAndRethrows) {
  EXPECT_THROW(db.transaction([&] {
    db.run("INSERT INTO t (name) VALUES ('gone')");
    throw SQLError("body failed");
  }), SQLError);
  EXPECT_TRUE(db.query("SELECT * FROM t").empty());
  int value = db.transaction([&] {
    db.run("INSERT INTO t (name) VALUES ('kept')");
    return 7;
  });
  EXPECT_EQ(value, 7);
  EXPECT_EQ(db.query("SELECT * FROM t").size(), 1u);
}

TEST_F(DatabaseTest, ClosedConnectionFails) {
  db.close();
  try {
    db.exec("SELECT 1");
    FAIL();
  } catch (const SQLError& e) {
    EXPECT_STREQ(e.what(), "closed");
  }
  try {
    db.query("SELECT 1");
    FAIL();
  } catch (const SQLError& e) {
    EXPECT_STREQ(e.what(), "closed in: SELECT 1");
  }
  EXPECT_THROW(db.transaction([] {}), SQLError);
}

TEST(DatabaseOpen, MissingFolderFailsWithSentence) {
  try {
    Database db("/nonexistent-folder/x/catalog.db");
    FAIL();
  } catch (const SQLError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Couldn't open /nonexistent-folder/x/catalog.db: ", 0), 0u);
  }
}

TEST(ConnectionLock, RecursiveAndTakenAheadOfAThreadTakingItBackToBack) {
  using namespace std::chrono_literals;
  ConnectionLock lock;
  std::atomic<bool> stop{false};
  std::atomic<long> rounds{0};
  std::thread busy([&] {
    while (!stop) {
      std::lock_guard outer(lock);
      std::lock_guard inner(lock);  // recursive
      rounds.fetch_add(1);
    }
  });
  while (rounds.load() < 100) std::this_thread::yield();
  ASSERT_TRUE(lock.lockAhead(5s));
  long seen = rounds.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(rounds.load(), seen) << "the other thread got in while the lock was held";
  lock.unlock();
  while (rounds.load() < seen + 100) std::this_thread::yield();

  // A holder that keeps it too long: the wait gives up, and nothing is held.
  std::promise<void> taken, release;
  std::thread holder;
  stop = true;
  busy.join();
  holder = std::thread([&] {
    std::lock_guard guard(lock);
    taken.set_value();
    release.get_future().wait();
  });
  taken.get_future().wait();
  EXPECT_FALSE(lock.lockAhead(20ms));
  release.set_value();
  holder.join();
  EXPECT_TRUE(lock.lockAhead(1s));
  lock.unlock();
}

std::uintmax_t fileSize(const std::string& path) {
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

// The writer commits on while a checkpoint is held up on the checkpointer's
// thread, and once it goes on, the WAL comes back under its bound and stays there.
TEST(WalCheckpointer, CheckpointsOffTheWriterAndKeepsTheWalBounded) {
  using namespace std::chrono_literals;
  testing::TempDir dir;
  Database db(dir.file("w.db"));
  db.exec("CREATE TABLE t (v BLOB)");
  const std::string wal = dir.file("w.db") + "-wal";
  const std::uintmax_t page = 4096, frames = 50;
  const std::uintmax_t limit = 4 * frames * page;  // where a restarted WAL is cut back

  std::mutex lock;
  std::condition_variable released;
  bool hold = true;
  std::set<std::thread::id> threads;
  std::promise<void> asked;
  bool first = true;
  WalCheckpointer checkpointer(db, {}, static_cast<int>(frames), [&] {
    std::unique_lock guard(lock);
    threads.insert(std::this_thread::get_id());
    if (first) asked.set_value();
    first = false;
    released.wait(guard, [&] { return !hold; });
  });
  EXPECT_EQ(db.query("PRAGMA page_size").front().int64("page_size"), static_cast<std::int64_t>(page));

  // Each commit adds about two pages: 600 of them, twelve times the
  // threshold, all go through while the first checkpoint is held.
  auto commit = [&] { db.run("INSERT INTO t VALUES (randomblob(5000))"); };
  auto future = asked.get_future();
  for (int i = 0; i < 600; ++i) commit();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready) << "no checkpoint was asked for";
  EXPECT_EQ(checkpointer.checkpoints(), 0);
  EXPECT_GT(fileSize(wal), 2 * limit) << "something checkpointed on the writer's thread";

  {
    std::lock_guard guard(lock);
    hold = false;
  }
  released.notify_all();
  // A stream of commits, paced like saves: without checkpoints the WAL would
  // grow to about 24 MB; with them it stays within a few times its limit,
  // even when a checkpoint's sync takes a loaded disk a good part of a second.
  auto paced = [&] {
    commit();
    std::this_thread::sleep_for(500us);
  };
  for (int i = 0; i < 20000 && fileSize(wal) > limit; ++i) paced();
  ASSERT_LE(fileSize(wal), limit) << "the WAL never started again";
  std::uintmax_t largest = 0;
  for (int i = 0; i < 3000; ++i) {
    paced();
    largest = std::max(largest, fileSize(wal));
  }
  EXPECT_LT(largest, 8 * limit);
  // Once the checkpoints have settled, the next commit starts the WAL again and cuts it back.
  for (int settled = 0, seen = -1; settled < 10; ++settled) {
    if (checkpointer.checkpoints() != seen) settled = 0;
    seen = checkpointer.checkpoints();
    std::this_thread::sleep_for(20ms);
  }
  commit();
  EXPECT_LE(fileSize(wal), limit);
  std::lock_guard guard(lock);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_FALSE(threads.count(std::this_thread::get_id()));
}

TEST(Row, AccessorConversions) {
  const Row row{{"i", SQLValue(7)}, {"t42", SQLValue("42")}, {"t4.2", SQLValue("4.2")},
                 {"tplus", SQLValue("+5")}, {"d", SQLValue(4.9)}, {"dn", SQLValue(-4.9)},
                 {"n", SQLValue()}, {"two", SQLValue(2.0)}, {"big", SQLValue(1e16)}, {"word", SQLValue("x")}};
  EXPECT_EQ(row.int64("t42"), 42);
  EXPECT_EQ(row.int64("t4.2"), 0);
  EXPECT_EQ(row.int64("tplus"), 5);
  EXPECT_EQ(row.int64("d"), 4);
  EXPECT_EQ(row.int64("dn"), -4);
  EXPECT_FALSE(row.optInt("missing"));
  EXPECT_FALSE(row.optInt("n"));
  EXPECT_EQ(row.optInt("word"), 0);
  EXPECT_EQ(row.optDouble("word"), 0.0);
  EXPECT_EQ(row.str("i"), "7");
  EXPECT_EQ(row.str("n"), "");
  EXPECT_EQ(row.str("two"), "2.0");
  EXPECT_EQ(row.str("big"), "1e+16");
  EXPECT_FALSE(row.optStr("i"));
}

}  // namespace
}  // namespace quorvel
