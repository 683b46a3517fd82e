#pragma once
// One row of the catalog's resources table (the `owned` flag is not part of
// it; ask Catalog::isOwned).
#include <cstdint>
#include <optional>
#include <string>

#include "archive/ResourceState.h"
#include "core/AssetID.h"
#include "core/Date.h"
#include "core/ResourceType.h"

namespace kv {

struct ResourceRow {
  std::optional<std::int64_t> id;  // present for every row read from the catalog
  AssetID assetID;
  ResourceType type = ResourceType::original;
  std::string relativePath;  // below the destination folder, "YYYY/MM/name"
  std::optional<std::int64_t> bytes;  // expected size until verified, then the verified size
  std::optional<std::string> sha256;  // lowercase hex; only when verified
  ResourceState state = ResourceState::pending;
  std::int64_t attempts = 0;  // failed attempts since the row was last reset
  std::optional<std::string> lastError;
  std::optional<Date> verifiedAt;
  std::optional<Date> nextAttemptAt;  // absent = now

  bool operator==(const ResourceRow&) const = default;
};

}  // namespace kv
