#pragma once
// A failure reported by SQLite: the (extended) result code and SQLite's
// message, prefixed by what we were doing ("open /path/catalog.sqlite: file
// is not a database"). Thrown unchanged through every catalog operation.
#include <stdexcept>
#include <string>

namespace kv {

class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, int extendedCode, const std::string& message);

  int code() const noexcept { return code_; }  // primary result code (SQLITE_BUSY, ...)
  int extendedCode() const noexcept { return extended_; }

 private:
  int code_;
  int extended_;
};

}  // namespace kv
