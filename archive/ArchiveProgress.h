#pragma once
// One progress report of the archive engine, as the interface shows it.
// Compared field by field (the application drops repeated reports).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "archive/ArchivePhase.h"
#include "archive/ArchiveTotals.h"
#include "archive/TransferRates.h"

namespace kv {

struct ArchiveProgress {
  // How far the enumeration got: assets found so far, and while the
  // resources of new and changed assets are recorded, how many of them were
  // checked out of how many.
  struct Enumeration {
    std::int64_t found = 0;
    std::optional<std::int64_t> checked;
    std::optional<std::int64_t> toCheck;

    bool operator==(const Enumeration&) const = default;
  };

  ArchivePhase phase = ArchivePhase::idle;
  // Read from the catalog for each report (a verification may reuse a read
  // of the last quarter second).
  ArchiveTotals totals;
  std::int64_t bytesCopiedThisRun = 0;
  // The file name of the resource (or sidecar) that just finished.
  std::optional<std::string> currentFilename;
  std::optional<double> etaSeconds;
  std::optional<Enumeration> enumeration;
  // Only in the copying phase.
  std::optional<TransferRates> transfer;

  bool operator==(const ArchiveProgress&) const = default;
};

// Receives every report. Synchronous; called on the engine's strand, except
// during the library enumeration, where the photo source's own thread calls
// it: it must be safe to call from any thread.
using ArchiveProgressHandler = std::function<void(const ArchiveProgress&)>;

}  // namespace kv
