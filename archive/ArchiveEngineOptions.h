#pragma once
// The settings of one archive engine (a sync or a verification). The
// defaults are the values the application uses (its "copyWorkers" setting
// gives `concurrency`).
#include <cstdint>
#include <optional>

#include "core/Date.h"

namespace kv {

struct ArchiveEngineOptions {
  // Copy workers (and parallel checks of a verification); below 2 counts as 1.
  int concurrency = 6;
  // Identifiers per metadata request.
  int metadataBatch = 200;
  // A resource whose copy mismatched this many times becomes failed (a
  // verification does not use it).
  int maxVerifyMismatches = 3;
  // The copier's stall timeout: no data for this long abandons a download.
  Seconds stallTimeout{300};
  // The copier's crawl window; absent disables the crawl check.
  std::optional<Seconds> crawlWindow = Seconds{120};
  // A download slower than this over one crawl window is abandoned.
  std::int64_t crawlBytesPerSecond = 16'384;
  // Download failures in a row that stop the copy phase; below 1 counts as 1.
  int maxConsecutiveDownloadFailures = 25;

  bool operator==(const ArchiveEngineOptions&) const = default;
};

}  // namespace kv
