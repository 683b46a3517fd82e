#pragma once
// A small RAII layer over the SQLite C API: one connection, prepared
// statements with positional parameters, transactions.
//
// Not thread-safe: a connection is used from one strand (the catalog's) at a
// time. Every failure throws SqliteError.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <type_traits>
#include <variant>
#include <vector>

#include "archive/sqlite/SqliteError.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kv {

// A value bound to, or read from, one column.
using SqliteValue = std::variant<std::monostate, std::int64_t, double, std::string>;

// A NULL parameter.
inline constexpr std::monostate sqlNull{};

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt);
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&&) noexcept;
  SqliteStatement& operator=(SqliteStatement&&) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  // Resets the statement and clears its bindings, ready for new parameters.
  SqliteStatement& reset();
  // Resets without clearing the bindings (releases the statement's read).
  void done();

  // Binds parameter `index` (1-based).
  void bind(int index, std::monostate);
  void bind(int index, std::int64_t v);
  void bind(int index, int v) { bind(index, static_cast<std::int64_t>(v)); }
  void bind(int index, bool v) { bind(index, static_cast<std::int64_t>(v ? 1 : 0)); }
  void bind(int index, double v);
  void bind(int index, std::string_view v);
  void bind(int index, const std::string& v) { bind(index, std::string_view(v)); }
  void bind(int index, const char* v) { bind(index, std::string_view(v)); }
  template <class T>
  void bind(int index, const std::optional<T>& v) {
    if (v) bind(index, *v); else bind(index, sqlNull);
  }

  // Resets, then binds every argument in the order of the question marks.
  template <class... A>
  SqliteStatement& bindAll(const A&... args) {
    reset();
    int i = 0;
    (bind(++i, args), ...);
    return *this;
  }

  // Advances to the next row; false when done.
  bool step();
  // Runs a statement that returns no rows (steps to the end).
  void run();

  // Columns of the current row (0-based).
  int columnCount() const;
  std::string columnName(int col) const;
  // Index of the named column of the result; throws SqliteError if absent.
  int columnIndex(std::string_view name) const;
  bool isNull(int col) const;
  std::int64_t int64(int col) const;
  double real(int col) const;
  std::string text(int col) const;
  std::optional<std::int64_t> optionalInt64(int col) const;
  std::optional<double> optionalReal(int col) const;
  std::optional<std::string> optionalText(int col) const;

 private:
  void check(int rc, const char* what) const;

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDatabase {
 public:
  enum class Mode { readWriteCreate, readOnly };

  // Opens (creating, unless readOnly) the database file. Throws SqliteError.
  static SqliteDatabase open(const std::filesystem::path& file, Mode mode = Mode::readWriteCreate);
  // A private in-memory database.
  static SqliteDatabase openInMemory();

  ~SqliteDatabase();
  SqliteDatabase(SqliteDatabase&&) noexcept;
  SqliteDatabase& operator=(SqliteDatabase&&) noexcept;
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  void setBusyTimeout(std::chrono::milliseconds timeout);

  // Runs one or more statements without parameters.
  void execute(std::string_view sql);

  // A new prepared statement.
  SqliteStatement prepare(std::string_view sql);
  // A prepared statement kept by this connection for reuse (by its text),
  // reset and with cleared bindings.
  SqliteStatement& cached(const std::string& sql);

  // Runs `body` inside BEGIN IMMEDIATE ... COMMIT; any exception rolls back
  // and is rethrown. Either way every cached statement is reset first, so no
  // half-read statement keeps an old snapshot open after the transaction.
  template <class F>
  auto transaction(F&& body) -> decltype(body()) {
    execute("BEGIN IMMEDIATE");
    try {
      if constexpr (std::is_void_v<decltype(body())>) {
        body();
        finishStatements();
        execute("COMMIT");
      } else {
        auto result = body();
        finishStatements();
        execute("COMMIT");
        return result;
      }
    } catch (...) {
      finishStatements();
      rollbackQuietly();
      throw;
    }
  }

  // Runs `body` inside a read transaction (BEGIN ... COMMIT), so that all its
  // statements see one snapshot; any exception rolls back and is rethrown.
  template <class F>
  auto readTransaction(F&& body) -> decltype(body()) {
    execute("BEGIN");
    try {
      if constexpr (std::is_void_v<decltype(body())>) {
        body();
        finishStatements();
        execute("COMMIT");
      } else {
        auto result = body();
        finishStatements();
        execute("COMMIT");
        return result;
      }
    } catch (...) {
      finishStatements();
      rollbackQuietly();
      throw;
    }
  }

  // Whether the connection cannot write (a read-only file).
  bool isReadOnly() const;

  // Rows changed by the last INSERT, UPDATE or DELETE.
  std::int64_t changes() const;
  std::int64_t lastInsertRowID() const;
  sqlite3* handle() const { return db_; }

 private:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}
  void rollbackQuietly() noexcept;
  void finishStatements() noexcept;
  void close() noexcept;

  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<SqliteStatement>> cache_;
};

}  // namespace kv
