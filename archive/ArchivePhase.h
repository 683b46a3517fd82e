#pragma once
// What the archive engine is doing, as the progress reports name it. Stored
// strings equal the case names.
//
// One sync reports enumerating → (fetchingMetadata) → copying → idle; one
// verification reports verifying (once per checked copy) → idle.
#include "core/StoredString.h"

namespace kv {

enum class ArchivePhase {
  idle,
  enumerating,
  fetchingMetadata,
  copying,
  verifying,
};

template <>
struct StoredStrings<ArchivePhase> {
  static constexpr std::array<std::pair<ArchivePhase, std::string_view>, 5> table{{
      {ArchivePhase::idle, "idle"},
      {ArchivePhase::enumerating, "enumerating"},
      {ArchivePhase::fetchingMetadata, "fetchingMetadata"},
      {ArchivePhase::copying, "copying"},
      {ArchivePhase::verifying, "verifying"},
  }};
};

}  // namespace kv
