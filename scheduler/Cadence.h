#pragma once
// How often scheduled syncs run. Stored strings (the user-defaults value
// under "cadence") are the case names; a missing or unknown stored value
// reads as `daily`, the default.
#include <optional>
#include <string_view>

#include "core/StoredString.h"

namespace kv {

enum class Cadence {
  hourly,
  daily,
  manual,
};

template <>
struct StoredStrings<Cadence> {
  static constexpr std::array<std::pair<Cadence, std::string_view>, 3> table{{
      {Cadence::hourly, "hourly"},
      {Cadence::daily, "daily"},
      {Cadence::manual, "manual"},
  }};
};

inline constexpr Cadence kDefaultCadence = Cadence::daily;

// The cadence a stored value stands for; `kDefaultCadence` when the value is
// absent or not one of the stored strings.
constexpr Cadence cadenceFromStored(std::optional<std::string_view> stored) {
  if (!stored) return kDefaultCadence;
  return fromStoredString<Cadence>(*stored).value_or(kDefaultCadence);
}

}  // namespace kv
