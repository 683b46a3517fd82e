#include "archive/sqlite/SqliteDatabase.h"

#include <sqlite3.h>

namespace kv {

namespace {

[[noreturn]] void fail(sqlite3* db, int rc, const std::string& what) {
  const int extended = db ? sqlite3_extended_errcode(db) : rc;
  std::string message = what + ": ";
  message += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  message += " (" + std::to_string(extended) + ")";
  throw SqliteError(rc & 0xff, extended, message);
}

}  // namespace

// --- SqliteStatement

SqliteStatement::SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement::SqliteStatement(SqliteStatement&& o) noexcept
    : db_(std::exchange(o.db_, nullptr)), stmt_(std::exchange(o.stmt_, nullptr)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& o) noexcept {
  if (this != &o) {
    sqlite3_finalize(stmt_);
    db_ = std::exchange(o.db_, nullptr);
    stmt_ = std::exchange(o.stmt_, nullptr);
  }
  return *this;
}

void SqliteStatement::check(int rc, const char* what) const {
  if (rc != SQLITE_OK) fail(db_, rc, std::string(what) + " \"" + sqlite3_sql(stmt_) + "\"");
}

SqliteStatement& SqliteStatement::reset() {
  // The result of reset repeats the last step's error, which was reported then.
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  return *this;
}

void SqliteStatement::done() { sqlite3_reset(stmt_); }

void SqliteStatement::bind(int index, std::monostate) { check(sqlite3_bind_null(stmt_, index), "bind"); }
void SqliteStatement::bind(int index, std::int64_t v) { check(sqlite3_bind_int64(stmt_, index, v), "bind"); }
void SqliteStatement::bind(int index, double v) { check(sqlite3_bind_double(stmt_, index, v), "bind"); }
void SqliteStatement::bind(int index, std::string_view v) {
  check(sqlite3_bind_text64(stmt_, index, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8), "bind");
}

bool SqliteStatement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, rc, std::string("step \"") + sqlite3_sql(stmt_) + "\"");
}

void SqliteStatement::run() {
  while (step()) {
  }
}

int SqliteStatement::columnCount() const { return sqlite3_column_count(stmt_); }

std::string SqliteStatement::columnName(int col) const {
  const char* name = sqlite3_column_name(stmt_, col);
  return name ? name : "";
}

int SqliteStatement::columnIndex(std::string_view name) const {
  const int n = columnCount();
  for (int i = 0; i < n; ++i) {
    if (const char* c = sqlite3_column_name(stmt_, i); c && name == c) return i;
  }
  throw SqliteError(SQLITE_ERROR, SQLITE_ERROR, "no column " + std::string(name) + " in \"" + sqlite3_sql(stmt_) + "\"");
}

bool SqliteStatement::isNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
std::int64_t SqliteStatement::int64(int col) const { return sqlite3_column_int64(stmt_, col); }
double SqliteStatement::real(int col) const { return sqlite3_column_double(stmt_, col); }

std::string SqliteStatement::text(int col) const {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
  if (!p) return {};
  return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)));
}

std::optional<std::int64_t> SqliteStatement::optionalInt64(int col) const {
  if (isNull(col)) return std::nullopt;
  return int64(col);
}
std::optional<double> SqliteStatement::optionalReal(int col) const {
  if (isNull(col)) return std::nullopt;
  return real(col);
}
std::optional<std::string> SqliteStatement::optionalText(int col) const {
  if (isNull(col)) return std::nullopt;
  return text(col);
}

// --- SqliteDatabase

SqliteDatabase SqliteDatabase::open(const std::filesystem::path& file, Mode mode) {
  sqlite3* db = nullptr;
  const int flags = (mode == Mode::readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    try {
      fail(db, rc, "open " + file.string());
    } catch (...) {
      sqlite3_close_v2(db);
      throw;
    }
  }
  sqlite3_extended_result_codes(db, 1);
  return SqliteDatabase(db);
}

SqliteDatabase SqliteDatabase::openInMemory() {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    try {
      fail(db, rc, "open in-memory database");
    } catch (...) {
      sqlite3_close_v2(db);
      throw;
    }
  }
  sqlite3_extended_result_codes(db, 1);
  return SqliteDatabase(db);
}

SqliteDatabase::~SqliteDatabase() { close(); }

SqliteDatabase::SqliteDatabase(SqliteDatabase&& o) noexcept
    : db_(std::exchange(o.db_, nullptr)), cache_(std::move(o.cache_)) {}

SqliteDatabase& SqliteDatabase::operator=(SqliteDatabase&& o) noexcept {
  if (this != &o) {
    close();
    db_ = std::exchange(o.db_, nullptr);
    cache_ = std::move(o.cache_);
  }
  return *this;
}

void SqliteDatabase::close() noexcept {
  cache_.clear();  // statements first
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void SqliteDatabase::setBusyTimeout(std::chrono::milliseconds timeout) {
  const int rc = sqlite3_busy_timeout(db_, static_cast<int>(timeout.count()));
  if (rc != SQLITE_OK) fail(db_, rc, "busy timeout");
}

void SqliteDatabase::execute(std::string_view sql) {
  std::string text(sql);
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw SqliteError(rc & 0xff, sqlite3_extended_errcode(db_), "execute \"" + text + "\": " + message);
  }
}

SqliteStatement SqliteDatabase::prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK) fail(db_, rc, "prepare \"" + std::string(sql) + "\"");
  return SqliteStatement(db_, stmt);
}

SqliteStatement& SqliteDatabase::cached(const std::string& sql) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) {
    it = cache_.emplace(sql, std::make_unique<SqliteStatement>(prepare(sql))).first;
  }
  return it->second->reset();
}

bool SqliteDatabase::isReadOnly() const { return sqlite3_db_readonly(db_, "main") == 1; }

std::int64_t SqliteDatabase::changes() const { return sqlite3_changes64(db_); }
std::int64_t SqliteDatabase::lastInsertRowID() const { return sqlite3_last_insert_rowid(db_); }

void SqliteDatabase::finishStatements() noexcept {
  for (auto& [_, statement] : cache_) statement->done();
}

void SqliteDatabase::rollbackQuietly() noexcept {
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace kv
