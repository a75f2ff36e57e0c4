#pragma once
// A thin wrapper over one SQLite connection. Every call holds the connection's
// recursive lock for its whole duration, so any thread may call, and a
// transaction's body (on the same thread) may call back in.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quorvel {

// The error every failing operation throws; what() is the message alone.
class SQLError : public std::runtime_error {
 public:
  explicit SQLError(const std::string& message) : std::runtime_error(message) {}
  std::string message() const { return what(); }
};

// One bound parameter or one result column.
class SQLValue {
 public:
  using Storage = std::variant<std::monostate, std::int64_t, double, std::string>;

  SQLValue() = default;  // null
  SQLValue(std::nullptr_t) {}
  SQLValue(std::int64_t v) : value_(v) {}
  SQLValue(int v) : value_(static_cast<std::int64_t>(v)) {}
  SQLValue(double v) : value_(v) {}
  SQLValue(std::string v) : value_(std::move(v)) {}
  SQLValue(const char* v) : value_(std::string(v)) {}

  static SQLValue opt(const std::optional<std::string>& v) { return v ? SQLValue(*v) : SQLValue(); }
  static SQLValue opt(const std::optional<std::int64_t>& v) { return v ? SQLValue(*v) : SQLValue(); }
  static SQLValue opt(const std::optional<double>& v) { return v ? SQLValue(*v) : SQLValue(); }
  // A flag as the integer 1 or 0.
  static SQLValue flag(bool v) { return SQLValue(static_cast<std::int64_t>(v ? 1 : 0)); }

  bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
  bool isInt() const { return std::holds_alternative<std::int64_t>(value_); }
  bool isDouble() const { return std::holds_alternative<double>(value_); }
  bool isText() const { return std::holds_alternative<std::string>(value_); }
  std::int64_t intValue() const { return std::get<std::int64_t>(value_); }
  double doubleValue() const { return std::get<double>(value_); }
  const std::string& textValue() const { return std::get<std::string>(value_); }

  bool operator==(const SQLValue&) const = default;

  // Makes this the text, reusing the room of a text it holds.
  void assignText(std::string_view text) {
    if (auto* held = std::get_if<std::string>(&value_)) held->assign(text);
    else value_ = std::string(text);
  }

 private:
  Storage value_;
};

// One result row: its values by column name. The names are shared by the
// rows of one query; when two columns have one name, the later one counts.
// The accessors never fail.
class Row {
 public:
  Row() = default;
  Row(std::shared_ptr<const std::vector<std::string>> names, std::vector<SQLValue> values)
      : names_(std::move(names)), values_(std::move(values)) {}
  // A row of the named values, in order.
  Row(std::initializer_list<std::pair<std::string, SQLValue>> columns);

  // Text: an integer in decimal, a double in its shortest round-trip form, "" for null or missing.
  std::string str(const std::string& column) const;
  // Integer: a double truncated toward zero, a text parsed as a decimal integer (else 0).
  std::int64_t int64(const std::string& column) const;
  // Double: a text gives 0.
  double dbl(const std::string& column) const;
  std::optional<std::string> optStr(const std::string& column) const;  // only for text
  std::optional<std::int64_t> optInt(const std::string& column) const;  // absent for null
  std::optional<double> optDouble(const std::string& column) const;     // absent for null

  // The position of the column (the later of two of one name), or npos; the
  // rows of one query share their positions. The accessors by position read
  // as those by name, npos as a missing column.
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::size_t position(const std::string& column) const;
  std::string strAt(std::size_t position) const { return str(at(position)); }
  std::int64_t int64At(std::size_t position) const { return int64(at(position)); }
  std::optional<std::string> optStrAt(std::size_t position) const { return optStr(at(position)); }
  std::optional<std::int64_t> optIntAt(std::size_t position) const { return optInt(at(position)); }

 private:
  const SQLValue* find(const std::string& column) const { return at(position(column)); }
  const SQLValue* at(std::size_t position) const {
    return position < values_.size() ? &values_[position] : nullptr;
  }
  static std::string str(const SQLValue* v);
  static std::int64_t int64(const SQLValue* v);
  static double dbl(const SQLValue* v);
  static std::optional<std::string> optStr(const SQLValue* v);
  static std::optional<std::int64_t> optInt(const SQLValue* v);
  static std::optional<double> optDouble(const SQLValue* v);

  friend class Database;  // refills one row in place for each()

  std::shared_ptr<const std::vector<std::string>> names_;
  std::vector<SQLValue> values_;  // one per name
};

// The lock of one connection: recursive, so that a transaction's body (on
// the same thread) can call back in, with a way in ahead of the others for a
// thread that must not be kept out by threads taking it back to back.
class ConnectionLock {
 public:
  void lock();
  void unlock();
  // Takes the lock once its holder lets go, before any thread that asks for
  // it meanwhile; false, and nothing held, when that takes longer than timeout.
  bool lockAhead(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;  // guards the fields below
  std::condition_variable free_;
  std::thread::id owner_;
  int depth_ = 0;
  int ahead_ = 0;  // threads waiting in lockAhead()
};

class Database {
 public:
  // Opens the file (read-write creates a missing file, not its folder).
  // Throws SQLError "Couldn't open <path>: <reason>".
  explicit Database(const std::string& path, bool readOnly = false);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements without parameters.
  void exec(const std::string& sql);
  // Runs the first statement of the text and returns its rows in order.
  std::vector<Row> query(const std::string& sql, const std::vector<SQLValue>& params = {});
  // Runs the first statement of the text and hands its rows in order to
  // onRow, as query() would return them, without keeping them: the row is
  // valid only during the call, which must not use this connection. A
  // failure is thrown after the rows read before it.
  void each(const std::string& sql, const std::vector<SQLValue>& params,
            const std::function<void(const Row&)>& onRow);
  // Runs the first statement to its end; returns the connection's last inserted row id.
  std::int64_t run(const std::string& sql, const std::vector<SQLValue>& params = {});
  // Runs body inside BEGIN IMMEDIATE ... COMMIT; rolls back and rethrows when it fails.
  template <class Body>
  auto transaction(Body&& body) -> decltype(body());
  // Rows changed by the most recent INSERT, UPDATE or DELETE.
  int changes();
  // Closes the connection; later calls throw "closed".
  void close();

  const std::string& path() const { return path_; }
  // The connection's lock, for callers that group several calls.
  ConnectionLock& lock() { return lock_; }
  // The SQLite handle, for registering functions on this connection alone;
  // null once closed.
  sqlite3* handle() { return db_; }

 private:
  // A statement for the text with the parameters bound: compiled, or the
  // one compiled for the same text before, taken out of the cache.
  sqlite3_stmt* prepare(const std::string& sql, const std::vector<SQLValue>& params);
  // Resets a statement from prepare() and keeps it for the next use of its text.
  void release(const std::string& sql, sqlite3_stmt* stmt);
  void finalizeCached();
  // Steps the prepared statement, filling values (one per column) for each
  // row and calling onRow; finalises it, and throws when stepping fails.
  void step(sqlite3_stmt* stmt, const std::string& sql, std::vector<SQLValue>& values,
            const std::function<void()>& onRow);
  // The names of the statement's result columns.
  static std::shared_ptr<const std::vector<std::string>> columnNames(sqlite3_stmt* stmt);
  std::string errorIn(const std::string& sql) const;

  // Compiling a statement takes longer than running many of the catalog's;
  // the last texts used keep theirs, the most recent last.
  static constexpr std::size_t kCachedStatements = 48;

  ConnectionLock lock_;
  std::string path_;
  sqlite3* db_ = nullptr;
  std::vector<std::pair<std::string, sqlite3_stmt*>> cache_;
};

// Runs the WAL checkpoints of a writer connection on a thread of its own, so
// that commits do not wait for them. The writer's automatic checkpoint is
// turned off; a commit that leaves at least `frames` pages in the WAL wakes
// the thread, which runs PASSIVE checkpoints on a connection of its own. A
// PASSIVE checkpoint copies into the database file what no reader still
// needs, never takes the write lock and never waits, so the writer goes on
// committing meanwhile.
//
// The WAL starts again from its beginning at the first commit after a
// checkpoint that copied all of it, and only when no read on another
// connection began before that checkpoint ended. Writes and reads with pauses
// leave room for that; a dense stream of commits or of reads may not. Only
// when the WAL has grown to four times `frames` anyway does the thread, after
// bringing the rest down to what the last checkpoint left over, copy that
// small rest while holding the locks of the given readers (a read in progress
// ends first, new ones wait) and then of the writer, so that the WAL stays
// bounded. The WAL file is cut back to four times `frames` pages when it
// starts again after having grown longer (a long read holds checkpoints back).
class WalCheckpointer {
 public:
  static constexpr int kDefaultFrames = 1000;

  // beforeEach, when given, runs on the checkpointer's thread, holding no
  // lock, before each round of checkpoints (tests use it to see where they
  // run and to hold one back).
  WalCheckpointer(Database& writer, std::vector<Database*> readers, int frames = kDefaultFrames,
                  std::function<void()> beforeEach = {});
  // Stops the thread and gives the writer its automatic checkpoint back.
  ~WalCheckpointer();
  WalCheckpointer(const WalCheckpointer&) = delete;
  WalCheckpointer& operator=(const WalCheckpointer&) = delete;

  // Checkpoints run so far, and those among them that held the locks.
  int checkpoints() const { return checkpoints_.load(); }
  int heldCheckpoints() const { return heldCheckpoints_.load(); }

 private:
  static int onCommit(void* self, sqlite3* db, const char* schema, int frames);
  void run();
  void round();
  struct Pass {
    bool ok = false;
    int log = 0;     // frames in the WAL when it began
    int copied = 0;  // frames of the WAL in the database file when it ended
  };
  // One PASSIVE checkpoint.
  Pass checkpoint();
  // One holding the readers' and the writer's locks; false when a read on
  // another connection still kept some of the WAL from being copied.
  bool checkpointHoldingLocks();

  Database& writer_;
  const std::vector<Database*> readers_;
  const int frames_;
  std::function<void()> beforeEach_;
  Database connection_;
  std::atomic<int> walFrames_{0};  // pages in the WAL after the writer's last commit
  bool pinned_ = false;  // the checkpointer's thread only
  std::mutex lock_;  // guards due_ and stop_; never held during a checkpoint
  std::condition_variable wake_;
  bool due_ = false;
  bool stop_ = false;
  std::atomic<int> checkpoints_{0};
  std::atomic<int> heldCheckpoints_{0};
  std::thread thread_;  // last: starts once everything above is made
};

template <class Body>
auto Database::transaction(Body&& body) -> decltype(body()) {
  std::lock_guard guard(lock_);
  exec("BEGIN IMMEDIATE");
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      exec("COMMIT");
    } else {
      auto value = body();
      exec("COMMIT");
      return value;
    }
  } catch (...) {
    try {
      exec("ROLLBACK");
    } catch (...) {
      // The rollback's own error is ignored; the original error is what matters.
    }
    throw;
  }
}

}  // namespace quorvel
