#pragma once
// What storing a batch of assets changed: identifiers seen for the first time
// and those whose modification time differs (both in input order), and how
// many were unchanged.
#include <cstdint>
#include <vector>

#include "core/AssetID.h"

namespace kv {

struct UpsertDelta {
  std::vector<AssetID> added;  // "new" (a keyword in C++)
  std::vector<AssetID> changed;
  std::int64_t unchanged = 0;

  bool operator==(const UpsertDelta&) const = default;
};

}  // namespace kv
