#include "core/sqlite.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <limits>

#include "core/models.h"

namespace quorvel {

// ---- Row ----

Row::Row(std::initializer_list<std::pair<std::string, SQLValue>> columns) {
  auto names = std::make_shared<std::vector<std::string>>();
  for (const auto& [name, value] : columns) {
    names->push_back(name);
    values_.push_back(value);
  }
  names_ = std::move(names);
}

std::size_t Row::position(const std::string& column) const {
  if (!names_) return npos;
  // A row has a handful of columns: a look from the end beats hashing, and
  // finds the later of two columns of one name.
  for (std::size_t i = names_->size(); i-- > 0;) {
    if ((*names_)[i] == column) return i;
  }
  return npos;
}

namespace {

std::string shortestDouble(double v) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  std::string text(buffer, result.ptr);
  // Keep a visible fraction for whole numbers written without exponent (2 -> "2.0").
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

std::int64_t parseInteger(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return 0;
  return value;
}

std::int64_t truncateDouble(double v) {
  if (!std::isfinite(v)) return 0;
  if (v >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (v <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

}  // namespace

std::string Row::str(const std::string& column) const { return str(find(column)); }
std::int64_t Row::int64(const std::string& column) const { return int64(find(column)); }
double Row::dbl(const std::string& column) const { return dbl(find(column)); }
std::optional<std::string> Row::optStr(const std::string& column) const { return optStr(find(column)); }
std::optional<std::int64_t> Row::optInt(const std::string& column) const { return optInt(find(column)); }
std::optional<double> Row::optDouble(const std::string& column) const { return optDouble(find(column)); }

std::string Row::str(const SQLValue* v) {
  if (!v || v->isNull()) return "";
  if (v->isInt()) return std::to_string(v->intValue());
  if (v->isDouble()) return shortestDouble(v->doubleValue());
  return v->textValue();
}

std::int64_t Row::int64(const SQLValue* v) {
  if (!v || v->isNull()) return 0;
  if (v->isInt()) return v->intValue();
  if (v->isDouble()) return truncateDouble(v->doubleValue());
  return parseInteger(v->textValue());
}

double Row::dbl(const SQLValue* v) {
  if (!v || v->isNull() || v->isText()) return 0;
  if (v->isInt()) return static_cast<double>(v->intValue());
  return v->doubleValue();
}

std::optional<std::string> Row::optStr(const SQLValue* v) {
  if (!v || !v->isText()) return std::nullopt;
  return v->textValue();
}

std::optional<std::int64_t> Row::optInt(const SQLValue* v) {
  if (!v || v->isNull()) return std::nullopt;
  return int64(v);
}

std::optional<double> Row::optDouble(const SQLValue* v) {
  if (!v || v->isNull()) return std::nullopt;
  return dbl(v);
}

// ---- ConnectionLock ----

void ConnectionLock::lock() {
  std::unique_lock guard(mutex_);
  const std::thread::id me = std::this_thread::get_id();
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return;
  }
  free_.wait(guard, [this] { return depth_ == 0 && ahead_ == 0; });
  owner_ = me;
  depth_ = 1;
}

void ConnectionLock::unlock() {
  std::unique_lock guard(mutex_);
  if (--depth_ > 0) return;
  owner_ = std::thread::id();
  guard.unlock();
  free_.notify_all();
}

bool ConnectionLock::lockAhead(std::chrono::milliseconds timeout) {
  std::unique_lock guard(mutex_);
  const std::thread::id me = std::this_thread::get_id();
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return true;
  }
  ++ahead_;
  const bool got = free_.wait_for(guard, timeout, [this] { return depth_ == 0; });
  --ahead_;
  if (got) {
    owner_ = me;
    depth_ = 1;
    return true;
  }
  guard.unlock();
  free_.notify_all();  // those held back by this wait may go on
  return false;
}

// ---- Database ----

Database::Database(const std::string& path, bool readOnly) : path_(path) {
  int flags = readOnly ? (SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX)
                       : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX);
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = handle ? sqlite3_errmsg(handle) : "can't open";
    sqlite3_close_v2(handle);
    throw SQLError("Couldn't open " + path + ": " + reason);
  }
  db_ = handle;
  sqlite3_busy_timeout(db_, 5000);
  try {
    if (!readOnly) exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    exec("PRAGMA foreign_keys=ON;");
  } catch (...) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw;
  }
}

Database::~Database() {
  finalizeCached();
  if (db_) sqlite3_close_v2(db_);
}

void Database::exec(const std::string& sql) {
  std::lock_guard guard(lock_);
  if (!db_) throw SQLError("closed");
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw SQLError(message);
  }
}

std::string Database::errorIn(const std::string& sql) const {
  std::string head = db_ ? sqlite3_errmsg(db_) : "closed";
  // The head of the statement, counted in characters, not bytes.
  std::size_t end = 0;
  for (int chars = 0; end < sql.size() && chars < 120; ++chars) {
    ++end;
    while (end < sql.size() && (static_cast<unsigned char>(sql[end]) & 0xC0) == 0x80) ++end;
  }
  return head + " in: " + sql.substr(0, end);
}

sqlite3_stmt* Database::prepare(const std::string& sql, const std::vector<SQLValue>& params) {
  if (!db_) throw SQLError(errorIn(sql));
  sqlite3_stmt* stmt = nullptr;
  // The most recent use of a text is the last of the cache.
  for (auto at = cache_.rbegin(); at != cache_.rend(); ++at) {
    if (at->first != sql) continue;
    stmt = at->second;
    cache_.erase(std::next(at).base());
    sqlite3_clear_bindings(stmt);
    break;
  }
  if (!stmt) {
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK || !stmt) {
      std::string message = errorIn(sql);
      sqlite3_finalize(stmt);
      throw SQLError(message);
    }
  }
  int index = 1;
  for (const auto& p : params) {
    if (p.isInt()) sqlite3_bind_int64(stmt, index, p.intValue());
    else if (p.isDouble()) sqlite3_bind_double(stmt, index, p.doubleValue());
    else if (p.isText()) sqlite3_bind_text(stmt, index, p.textValue().c_str(), -1, SQLITE_TRANSIENT);
    else sqlite3_bind_null(stmt, index);
    ++index;
  }
  return stmt;
}

void Database::release(const std::string& sql, sqlite3_stmt* stmt) {
  // Reset, it holds no read or write transaction.
  sqlite3_reset(stmt);
  cache_.emplace_back(sql, stmt);
  if (cache_.size() > kCachedStatements) {
    sqlite3_finalize(cache_.front().second);
    cache_.erase(cache_.begin());
  }
}

void Database::finalizeCached() {
  for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
  cache_.clear();
}

std::shared_ptr<const std::vector<std::string>> Database::columnNames(sqlite3_stmt* stmt) {
  const int count = sqlite3_column_count(stmt);
  auto names = std::make_shared<std::vector<std::string>>();
  names->reserve(count);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    names->emplace_back(name ? name : "");
  }
  return names;
}

void Database::step(sqlite3_stmt* stmt, const std::string& sql, std::vector<SQLValue>& values,
                    const std::function<void()>& onRow) {
  struct Release {
    Database& db;
    const std::string& sql;
    sqlite3_stmt* stmt;
    ~Release() { db.release(sql, stmt); }
  } release{*this, sql, stmt};
  // Every call below takes the connection's own mutex (it is opened in
  // serialized mode); held here once, each of them takes it again at the
  // cost of a counter, where two calls for each of 16 columns of 50,000 rows
  // would otherwise spend a fifth of a listing's time on it.
  struct Hold {
    sqlite3_mutex* mutex;
    explicit Hold(sqlite3_mutex* m) : mutex(m) { sqlite3_mutex_enter(mutex); }
    ~Hold() { sqlite3_mutex_leave(mutex); }
  } hold(sqlite3_db_mutex(db_));
  const int count = sqlite3_column_count(stmt);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    values.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      SQLValue& value = values[static_cast<std::size_t>(i)];
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER: value = SQLValue(static_cast<std::int64_t>(sqlite3_column_int64(stmt, i))); break;
        case SQLITE_FLOAT: value = SQLValue(sqlite3_column_double(stmt, i)); break;
        case SQLITE_NULL: value = SQLValue(); break;
        default: {
          const unsigned char* text = sqlite3_column_text(stmt, i);
          if (!text) {
            value = SQLValue();
            break;
          }
          std::string_view bytes(reinterpret_cast<const char*>(text));  // up to the first zero byte
          if (isValidUtf8(bytes)) value.assignText(bytes);
          else value = SQLValue(replacingInvalidUtf8(bytes));
          break;
        }
      }
    }
    onRow();
  }
  if (rc != SQLITE_DONE) throw SQLError(errorIn(sql));  // the message before the reset
}

std::vector<Row> Database::query(const std::string& sql, const std::vector<SQLValue>& params) {
  std::lock_guard guard(lock_);
  sqlite3_stmt* stmt = prepare(sql, params);
  const auto names = columnNames(stmt);
  std::vector<Row> rows;
  std::vector<SQLValue> values;
  step(stmt, sql, values, [&] { rows.emplace_back(names, std::move(values)); values.clear(); });
  return rows;
}

void Database::each(const std::string& sql, const std::vector<SQLValue>& params,
                    const std::function<void(const Row&)>& onRow) {
  std::lock_guard guard(lock_);
  sqlite3_stmt* stmt = prepare(sql, params);
  Row row(columnNames(stmt), {});
  // The row's values are refilled in place, so their texts keep their room.
  step(stmt, sql, row.values_, [&] { onRow(row); });
}

std::int64_t Database::run(const std::string& sql, const std::vector<SQLValue>& params) {
  std::lock_guard guard(lock_);
  sqlite3_stmt* stmt = prepare(sql, params);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    std::string message = errorIn(sql);
    release(sql, stmt);
    throw SQLError(message);
  }
  std::int64_t id = sqlite3_last_insert_rowid(db_);
  release(sql, stmt);
  return id;
}

int Database::changes() {
  std::lock_guard guard(lock_);
  return db_ ? sqlite3_changes(db_) : 0;
}

void Database::close() {
  std::lock_guard guard(lock_);
  finalizeCached();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

// ---- WalCheckpointer ----

WalCheckpointer::WalCheckpointer(Database& writer, std::vector<Database*> readers, int frames,
                                 std::function<void()> beforeEach)
    : writer_(writer),
      readers_(std::move(readers)),
      frames_(frames),
      beforeEach_(std::move(beforeEach)),
      connection_(writer.path()) {
  {
    std::lock_guard guard(writer_.lock());
    if (sqlite3* db = writer_.handle()) {
      const int pageSize = static_cast<int>(writer_.query("PRAGMA page_size").front().int64("page_size"));
      writer_.exec("PRAGMA journal_size_limit=" +
                   std::to_string(4 * static_cast<std::int64_t>(frames_) * pageSize));
      // Replaces the automatic checkpoint, which is a WAL hook of its own.
      sqlite3_wal_hook(db, &WalCheckpointer::onCommit, this);
    }
  }
  thread_ = std::thread([this] { run(); });
}

WalCheckpointer::~WalCheckpointer() {
  {
    std::lock_guard guard(writer_.lock());
    if (sqlite3* db = writer_.handle()) sqlite3_wal_autocheckpoint(db, frames_);
  }
  {
    std::lock_guard guard(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

int WalCheckpointer::onCommit(void* self, sqlite3*, const char*, int frames) {
  auto* checkpointer = static_cast<WalCheckpointer*>(self);
  checkpointer->walFrames_.store(frames);
  if (frames >= checkpointer->frames_) {
    {
      std::lock_guard guard(checkpointer->lock_);
      checkpointer->due_ = true;
    }
    checkpointer->wake_.notify_one();
  }
  return SQLITE_OK;
}

void WalCheckpointer::run() {
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return due_ || stop_; });
    if (stop_) return;
    due_ = false;
    guard.unlock();
    round();
    guard.lock();
  }
}

WalCheckpointer::Pass WalCheckpointer::checkpoint() {
  Pass pass;
  int rc;
  {
    std::lock_guard connection(connection_.lock());
    // A checkpoint already running elsewhere makes this one give way (busy).
    rc = sqlite3_wal_checkpoint_v2(connection_.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                   &pass.log, &pass.copied);
  }
  checkpoints_.fetch_add(1);
  pass.ok = rc == SQLITE_OK;
  return pass;
}

namespace {

// Writes what the system still holds of the database file and its WAL to
// disk, through descriptors of its own. A checkpoint syncs both; after a large
// transaction (an index rebuild) that took 300 ms, and one holding the locks
// kept a save waiting that long. Synced first, without the locks, it finds
// little left to write.
void syncCatalogFiles(const std::string& path) {
  for (const std::string& file : {path, path + "-wal"}) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::fdatasync(fd);
    ::close(fd);
  }
}

}  // namespace

bool WalCheckpointer::checkpointHoldingLocks() {
  using namespace std::chrono_literals;
  syncCatalogFiles(writer_.path());
  // Readers first, so that the writer waits only for the checkpoint itself;
  // a long transaction of the writer makes this give way rather than keep
  // the reads waiting.
  std::vector<std::unique_lock<ConnectionLock>> held;
  for (Database* reader : readers_) {
    if (!reader->lock().lockAhead(500ms)) return true;
    held.emplace_back(reader->lock(), std::adopt_lock);
  }
  if (!writer_.lock().lockAhead(100ms)) return true;
  std::unique_lock writer(writer_.lock(), std::adopt_lock);
  heldCheckpoints_.fetch_add(1);
  Pass pass = checkpoint();
  return !pass.ok || pass.copied == pass.log;
}

void WalCheckpointer::round() {
  if (beforeEach_) beforeEach_();
  const int cap = 4 * frames_;
  // Each checkpoint copies what the writer added during the one before, so
  // the rest shrinks to what a checkpoint's time of commits adds.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Pass pass = checkpoint();
    if (!pass.ok) return;
    if (pass.copied == pass.log) pinned_ = false;
    const int rest = walFrames_.load() - pass.copied;
    // Below the cap, later commits wake the thread again, and pauses will
    // let a checkpoint end in time. At or past it, the rest is copied
    // holding the locks once it is small or has stopped shrinking much,
    // unless a read on a connection not given held even that back last
    // time: the locks would then be taken for nothing until it ends.
    if (rest <= 0 || walFrames_.load() < cap || pinned_) return;
    if (rest <= frames_ / 4 || attempt == 1) {
      pinned_ = !checkpointHoldingLocks();
      return;
    }
  }
}

}  // namespace quorvel
