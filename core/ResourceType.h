#pragma once
// The kinds of file that one asset can have, in this order (also the order of
// allCases). Stored strings (the JSON form) = case names; the catalog and the
// share use their own strings.
#include "core/StoredString.h"

namespace kv {

enum class ResourceType {
  original,
  edited,
  liveVideo,
  editedLiveVideo,
  rawAlternate,
  adjustmentData,
};

template <>
struct StoredStrings<ResourceType> {
  static constexpr std::array<std::pair<ResourceType, std::string_view>, 6> table{{
      {ResourceType::original, "original"},
      {ResourceType::edited, "edited"},
      {ResourceType::liveVideo, "liveVideo"},
      {ResourceType::editedLiveVideo, "editedLiveVideo"},
      {ResourceType::rawAlternate, "rawAlternate"},
      {ResourceType::adjustmentData, "adjustmentData"},
  }};
};

}  // namespace kv
