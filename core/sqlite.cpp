#include "core/sqlite.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
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

const SQLValue* Row::find(const std::string& column) const {
  if (!names_) return nullptr;
  // A row has a handful of columns: a look from the end beats hashing, and
  // finds the later of two columns of one name.
  for (std::size_t i = names_->size(); i-- > 0;) {
    if ((*names_)[i] == column) return &values_[i];
  }
  return nullptr;
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

std::string Row::str(const std::string& column) const {
  const SQLValue* v = find(column);
  if (!v || v->isNull()) return "";
  if (v->isInt()) return std::to_string(v->intValue());
  if (v->isDouble()) return shortestDouble(v->doubleValue());
  return v->textValue();
}

std::int64_t Row::int64(const std::string& column) const {
  const SQLValue* v = find(column);
  if (!v || v->isNull()) return 0;
  if (v->isInt()) return v->intValue();
  if (v->isDouble()) return truncateDouble(v->doubleValue());
  return parseInteger(v->textValue());
}

double Row::dbl(const std::string& column) const {
  const SQLValue* v = find(column);
  if (!v || v->isNull() || v->isText()) return 0;
  if (v->isInt()) return static_cast<double>(v->intValue());
  return v->doubleValue();
}

std::optional<std::string> Row::optStr(const std::string& column) const {
  const SQLValue* v = find(column);
  if (!v || !v->isText()) return std::nullopt;
  return v->textValue();
}

std::optional<std::int64_t> Row::optInt(const std::string& column) const {
  const SQLValue* v = find(column);
  if (!v || v->isNull()) return std::nullopt;
  return int64(column);
}

std::optional<double> Row::optDouble(const std::string& column) const {
  const SQLValue* v = find(column);
  if (!v || v->isNull()) return std::nullopt;
  return dbl(column);
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
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
  if (rc != SQLITE_OK || !stmt) {
    std::string message = errorIn(sql);
    sqlite3_finalize(stmt);
    throw SQLError(message);
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

std::vector<Row> Database::query(const std::string& sql, const std::vector<SQLValue>& params) {
  std::lock_guard guard(lock_);
  sqlite3_stmt* stmt = prepare(sql, params);
  const int count = sqlite3_column_count(stmt);
  auto names = std::make_shared<std::vector<std::string>>();
  names->reserve(count);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    names->emplace_back(name ? name : "");
  }
  const std::shared_ptr<const std::vector<std::string>> shared = std::move(names);
  std::vector<Row> rows;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<SQLValue> values(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      SQLValue value;
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER: value = SQLValue(static_cast<std::int64_t>(sqlite3_column_int64(stmt, i))); break;
        case SQLITE_FLOAT: value = SQLValue(sqlite3_column_double(stmt, i)); break;
        case SQLITE_NULL: break;
        default: {
          const unsigned char* text = sqlite3_column_text(stmt, i);
          if (text) value = SQLValue(replacingInvalidUtf8(reinterpret_cast<const char*>(text)));
          break;
        }
      }
      values[static_cast<std::size_t>(i)] = std::move(value);
    }
    rows.emplace_back(shared, std::move(values));
  }
  if (rc != SQLITE_DONE) {
    std::string message = errorIn(sql);
    sqlite3_finalize(stmt);
    throw SQLError(message);
  }
  sqlite3_finalize(stmt);
  return rows;
}

std::int64_t Database::run(const std::string& sql, const std::vector<SQLValue>& params) {
  std::lock_guard guard(lock_);
  sqlite3_stmt* stmt = prepare(sql, params);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    std::string message = errorIn(sql);
    sqlite3_finalize(stmt);
    throw SQLError(message);
  }
  std::int64_t id = sqlite3_last_insert_rowid(db_);
  sqlite3_finalize(stmt);
  return id;
}

int Database::changes() {
  std::lock_guard guard(lock_);
  return db_ ? sqlite3_changes(db_) : 0;
}

void Database::close() {
  std::lock_guard guard(lock_);
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

}  // namespace quorvel
