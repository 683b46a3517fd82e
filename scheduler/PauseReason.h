#pragma once
// Why runs are held back. When several reasons hold at once, the one reported
// is the first in declaration order ("by priority"): the user's own pause
// before Low Power Mode before system sleep.
#include <optional>

#include "core/StoredString.h"

namespace kv {

enum class PauseReason {
  user,
  lowPower,
  systemSleep,
};

template <>
struct StoredStrings<PauseReason> {
  static constexpr std::array<std::pair<PauseReason, std::string_view>, 3> table{{
      {PauseReason::user, "user"},
      {PauseReason::lowPower, "lowPower"},
      {PauseReason::systemSleep, "systemSleep"},
  }};
};

// The reason by priority among the flags that are set; none when none is.
constexpr std::optional<PauseReason> pauseReasonByPriority(bool userPaused, bool lowPower, bool systemAsleep) {
  if (userPaused) return PauseReason::user;
  if (lowPower) return PauseReason::lowPower;
  if (systemAsleep) return PauseReason::systemSleep;
  return std::nullopt;
}

}  // namespace kv
