#pragma once
// The counters of one sync, kept on the engine's strand and updated in the
// order the copy workers finish.
#include <cstdint>

#include "core/Date.h"

namespace kv {

struct RunStats {
  std::int64_t downloadStreak = 0;  // download failures since the last success
  Date startedAt{};
  std::int64_t assetsSeen = 0;
  std::int64_t verified = 0;
  std::int64_t failed = 0;
  std::int64_t bytes = 0;           // copied and proven in this run; adopted files excluded
  std::int64_t processed = 0;       // copy results received
  std::int64_t lookupFailures = 0;  // assets whose resource listing failed
  bool copyStarted = false;         // the copy phase was reached

  bool operator==(const RunStats&) const = default;
};

}  // namespace kv
