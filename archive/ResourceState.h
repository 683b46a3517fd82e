#pragma once
// The copy state of one resource row. Stored strings (the catalog's `state`
// column) = case names: "pending", "copying", "verified", "failed".
#include "core/StoredString.h"

namespace kv {

enum class ResourceState {
  pending,   // waiting for a copy (possibly after a back-off)
  copying,   // a copy worker holds it; reset to pending at every open
  verified,  // the copy on the share was proven
  failed,    // repeated mismatches; stays until reset or re-queued
};

template <>
struct StoredStrings<ResourceState> {
  static constexpr std::array<std::pair<ResourceState, std::string_view>, 4> table{{
      {ResourceState::pending, "pending"},
      {ResourceState::copying, "copying"},
      {ResourceState::verified, "verified"},
      {ResourceState::failed, "failed"},
  }};
};

}  // namespace kv
