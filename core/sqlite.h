#pragma once
// A thin wrapper over one SQLite connection. Every call holds the connection's
// recursive lock for its whole duration, so any thread may call, and a
// transaction's body (on the same thread) may call back in.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
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

 private:
  const SQLValue* find(const std::string& column) const;

  std::shared_ptr<const std::vector<std::string>> names_;
  std::vector<SQLValue> values_;  // one per name
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
  std::recursive_mutex& lock() { return lock_; }
  // The SQLite handle, for registering functions on this connection alone;
  // null once closed.
  sqlite3* handle() { return db_; }

 private:
  sqlite3_stmt* prepare(const std::string& sql, const std::vector<SQLValue>& params);
  std::string errorIn(const std::string& sql) const;

  std::recursive_mutex lock_;
  std::string path_;
  sqlite3* db_ = nullptr;
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
