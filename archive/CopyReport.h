#pragma once
// What one copy worker hands back to the engine.
#include <cstdint>
#include <string>

#include "archive/CopyOutcome.h"

namespace kv {

struct CopyReport {
  std::int64_t rowID = 0;
  std::string filename;  // last path component of the row's relative path
  CopyOutcome outcome;

  bool operator==(const CopyReport&) const = default;
};

}  // namespace kv
