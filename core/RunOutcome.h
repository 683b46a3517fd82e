#pragma once
// How a run ended. Stored strings = case names.
#include "core/StoredString.h"

namespace kv {

enum class RunOutcome {
  complete,
  partial,
  cancelled,
  failed,
};

template <>
struct StoredStrings<RunOutcome> {
  static constexpr std::array<std::pair<RunOutcome, std::string_view>, 4> table{{
      {RunOutcome::complete, "complete"},
      {RunOutcome::partial, "partial"},
      {RunOutcome::cancelled, "cancelled"},
      {RunOutcome::failed, "failed"},
  }};
};

}  // namespace kv
