#pragma once
// Why a run started: the cadence timer, a change in the Photos library, the
// user's request, or an archive verification. Stored strings = case names.
#include "core/StoredString.h"

namespace kv {

enum class RunTrigger {
  schedule,
  change,
  manual,
  verify,
};

template <>
struct StoredStrings<RunTrigger> {
  static constexpr std::array<std::pair<RunTrigger, std::string_view>, 4> table{{
      {RunTrigger::schedule, "schedule"},
      {RunTrigger::change, "change"},
      {RunTrigger::manual, "manual"},
      {RunTrigger::verify, "verify"},
  }};
};

}  // namespace kv
