#pragma once
// One finished run (a sync or a verification) and its counts.
//
// Coded form, the text kept in the catalog's run history: one JSON object with
// the keys trigger, startedAt, endedAt, assetsSeen, resourcesVerified,
// resourcesFailed, bytesCopied, outcome. trigger and outcome are their stored
// strings; counts are integers; the two dates are seconds since 2001-01-01 UTC
// with a fraction. A text that does not decode is a DecodingError naming the
// key, never an empty summary.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/Date.h"
#include "core/DecodingError.h"
#include "core/RunOutcome.h"
#include "core/RunTrigger.h"

namespace kv {

struct RunSummary {
  RunTrigger trigger = RunTrigger::manual;
  Date startedAt{};
  Date endedAt{};
  std::int64_t assetsSeen = 0;         // 0 for a verification
  std::int64_t resourcesVerified = 0;  // verification: copies found intact
  std::int64_t resourcesFailed = 0;    // verification: copies put back to pending
  std::int64_t bytesCopied = 0;        // 0 for a verification
  RunOutcome outcome = RunOutcome::complete;

  bool operator==(const RunSummary&) const = default;
};

nlohmann::json encodeRunSummary(const RunSummary& summary);
std::string encodeRunSummaryText(const RunSummary& summary);
// Throw DecodingError.
RunSummary decodeRunSummary(const nlohmann::json& document);
RunSummary decodeRunSummaryText(std::string_view text);

void to_json(nlohmann::json& j, const RunSummary& summary);
void from_json(const nlohmann::json& j, RunSummary& summary);

}  // namespace kv
