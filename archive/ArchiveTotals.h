#pragma once
// The figures of the archive that the interface shows (read by
// Catalog::totals). Deleted assets are left out of the asset counts and of
// resourcesPending; resourcesFailed and bytesVerified include them.
#include <cstdint>
#include <map>
#include <optional>

#include "core/AssetKind.h"
#include "core/RunSummary.h"

namespace kv {

struct ArchiveTotals {
  std::int64_t assets = 0;               // present in the library
  std::int64_t assetsFullyVerified = 0;  // at least one resource, all verified
  std::int64_t resourcesPending = 0;     // pending or copying
  std::int64_t resourcesFailed = 0;
  std::int64_t bytesVerified = 0;
  std::optional<RunSummary> lastRun;
  std::map<AssetKind, std::int64_t> verifiedByKind;  // kinds without fully verified assets absent
  std::optional<RunSummary> lastSyncRun;    // latest run whose trigger is not verify
  std::optional<RunSummary> lastVerifyRun;  // latest verification

  bool operator==(const ArchiveTotals&) const = default;
};

}  // namespace kv
