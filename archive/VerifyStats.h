#pragma once
// The counters of one verification, kept on the engine's strand.
#include <chrono>
#include <cstdint>
#include <optional>

#include "archive/ArchiveTotals.h"
#include "core/Date.h"

namespace kv {

struct VerifyStats {
  std::int64_t intact = 0;      // copies whose digest matched
  std::int64_t mismatches = 0;  // copies put back to pending
  std::int64_t checked = 0;     // reports handled so far
  std::optional<std::uint64_t> device;  // the destination's device when verification began
  std::optional<ArchiveTotals> totals;  // last read, for progress reports
  Date totalsAt = Date::min();          // when `totals` was read
  std::int64_t filesSinceTotals = 0;    // reports that reused `totals`

  bool operator==(const VerifyStats&) const = default;
};

}  // namespace kv
