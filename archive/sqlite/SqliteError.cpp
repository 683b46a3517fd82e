#include "archive/sqlite/SqliteError.h"

namespace kv {

SqliteError::SqliteError(int code, int extendedCode, const std::string& message)
    : std::runtime_error(message), code_(code), extended_(extendedCode) {}

}  // namespace kv
