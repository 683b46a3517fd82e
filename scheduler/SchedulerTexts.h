#pragma once
// Every text the scheduler hands to the system or writes to a log.
#include <string_view>

namespace kv::SchedulerTexts {

// Reasons given with the sleep assertion.
inline constexpr std::string_view copyingReason = "Kelvane is copying photos to the Synology";
inline constexpr std::string_view verifyingReason = "Kelvane is verifying the archive on the Synology";

// The launch catch-up line: prefix, the missed slot (ISO 8601), suffix.
inline constexpr std::string_view catchUpPrefix = "catch-up: a scheduled sync was missed (due ";
inline constexpr std::string_view catchUpSuffix = "); running now";

}  // namespace kv::SchedulerTexts
